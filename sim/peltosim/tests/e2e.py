#!/usr/bin/env python3
"""End-to-end cases: 8051 programs on pelto-sim with the extension loaded, checked through --json,
and hostile input that must end in one clear error line and a non-zero exit."""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

parser = argparse.ArgumentParser()
parser.add_argument("--sim", required=True, nargs="+", help="command that runs pelto-sim")
parser.add_argument("--ext", required=True)
parser.add_argument("--programs", required=True, help="folder with the assembled .ihx files")
parser.add_argument("--chip-programs", required=True, help="folder with the chip's assembled test programs (chip_*.ihx)")
parser.add_argument("--no-entry-lib", required=True)
parser.add_argument("--refusing-lib", required=True)
args = parser.parse_args()


def run(extra):
    result = subprocess.run(args.sim + extra, capture_output=True, text=True, timeout=120)
    return result.returncode, result.stdout, result.stderr


def prog(name):
    return os.path.join(args.chip_programs if name.startswith("chip_") else args.programs, name + ".ihx")


# Under Wine the host's paths, devices and signals are not those of Linux.
UNDER_WINE = any("wine" in os.path.basename(part) for part in args.sim[:-1])


def hex_records(*chunks):
    """Intel HEX text with one data record per (address, bytes) chunk, then the end record."""
    lines = []
    for address, data in chunks:
        record = bytes([len(data), address >> 8, address & 0xFF, 0]) + bytes(data)
        lines.append(":" + (record + bytes([-sum(record) & 0xFF])).hex().upper())
    return "\n".join(lines + [":00000001FF"]) + "\n"


def parse_vcd(text):
    """Checks a value change dump and returns (timescale, {name: [(time, value), ...]}, end time).
    Raises ValueError when it is incomplete or repeats a value a signal already has."""
    timescale = re.search(r"\$timescale\s+(.*?)\s*\$end", text)
    if not timescale or "$enddefinitions $end" not in text:
        raise ValueError("no header")
    names = dict(re.findall(r"\$var wire \d+ (\S+) (\S+) \$end", text))
    body = text.split("$enddefinitions $end", 1)[1].split()
    changes = {name: [] for name in names.values()}
    time_now, last_time, in_dumpvars = None, -1, False
    i = 0
    while i < len(body):
        token = body[i]
        if token == "$dumpvars":
            in_dumpvars = True
        elif token == "$end":
            in_dumpvars = False
        elif token.startswith("#"):
            time_now = int(token[1:])
            if time_now <= last_time:
                raise ValueError(f"time {time_now} after {last_time}")
            last_time = time_now
        else:
            if token.startswith("b"):
                value, code = int(token[1:], 2), body[i + 1]
                i += 1
            else:
                value, code = int(token[0]), token[1:]
            history = changes[names[code]]
            if history and history[-1][1] == value:
                raise ValueError(f"{names[code]} rewritten with {value} at {time_now}")
            if time_now is None or (time_now > 0 and in_dumpvars):
                raise ValueError("a value outside a time step")
            history.append((time_now, value))
        i += 1
    missing = [n for n, h in changes.items() if not h or h[0][0] != 0]
    if missing:
        raise ValueError(f"no value at time 0 for {missing}")
    return timescale.group(1), changes, last_time


def idata(data, address):
    return data["dumps"]["idata:0x30:8"][address - 0x30]


# name, program, extra options, checks on the JSON object
RUNS = [
    ("program PFLASH pair 0", "program_pflash", ["--dump", "code:0x1240:64", "--sfr", "FIRQCFG"],
     lambda d: [
         (d["dumps"]["code:0x1240:64"], list(range(0x80, 0xC0))),
         (idata(d, 0x30), 0x20), (idata(d, 0x31), 0x20),
         (idata(d, 0x32), sum(range(0x80, 0xC0)) & 0xFF),
         (idata(d, 0x33) & 0x44, 0x04),  # completion, no ECC error
         (d["sfr"]["FIRQCFG"], 0x21),
     ]),
    ("program DFLASH 0 through both views", "program_dflash", ["--dump", "code:0xA020:32", "--dump", "code:0x7020:32"],
     lambda d: [
         (d["dumps"]["code:0xA020:32"], list(range(0x40, 0x60))),
         (d["dumps"]["code:0x7020:32"], list(range(0x40, 0x60))),
         (idata(d, 0x30), 0x80), (idata(d, 0x31), 0x5F), (idata(d, 0x33) & 0x40, 0),
     ]),
    ("erase with both phases", "erase_phases",
     ["--load-bin", "@FILL@0x7000", "--load-bin", "@FILL@0xA000", "--dump", "code:0x7000:8", "--dump", "code:0xA3F8:16",
      "--dump", "code:0xAF78:16", "--sfr", "FPHASE2", "--sfr", "FCTL_D0"],
     lambda d: [
         (idata(d, 0x30), 0x00), (idata(d, 0x31), 0x1F), (idata(d, 0x32), 0x1E),
         (idata(d, 0x34), 0), (idata(d, 0x35), 0),
         (d["dumps"]["code:0x7000:8"], [0] * 8),
         (d["dumps"]["code:0xA3F8:16"], [0] * 8 + [0xFF] * 8),
         (d["dumps"]["code:0xAF78:16"], [0xFF] * 8 + [0] * 8),
         (d["sfr"]["FCTL_D0"], 0x20),
         (d["cycles"] > 119990 + 2319059, True),
     ]),
    ("abort in the second phase", "abort", ["--load-bin", "@FILL@0x5F00", "--dump", "code:0x5F00:4", "--sfr", "FCMD"],
     lambda d: [
         (idata(d, 0x30), 0x20), (idata(d, 0x31), 0x20), (idata(d, 0x32), 0x04),
         (d["dumps"]["code:0x5F00:4"], [0xFF] * 4), (d["sfr"]["FCMD"], 0x04),
         (d["cycles"] > 3_000_000, True),
     ]),
    ("ECC error on a MOVC read", "ecc_error", [],
     lambda d: [(idata(d, 0x30) & 0x40, 0), (idata(d, 0x31) & 0x40, 0x40)]),
]

passed = failed = 0


def report(ok, name, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print(f"PASS {name}")
    else:
        failed += 1
        print(f"FAIL {name}: {detail}")


with tempfile.TemporaryDirectory() as tmp:
    fill = os.path.join(tmp, "fill.bin")
    with open(fill, "wb") as f:
        f.write(b"\xff" * 0x1000)

    for name, program, extra, checks in RUNS:
        extra = [e.replace("@FILL@", fill + "@") if "@FILL@" in e else e for e in extra]
        code, out, err = run(["--ext", args.ext, prog(program), "--json", "--dump", "idata:0x30:8"] + extra)
        if code != 0:
            report(False, name, f"exit {code}: {err.strip()}")
            continue
        try:
            data = json.loads(out)
            bad = [(got, want) for got, want in checks(data) if got != want]
        except (ValueError, KeyError) as e:
            report(False, name, f"unreadable output {e!r}: {out[:200]}")
            continue
        report(not bad and data["end"] == "halted", name, f"got/wanted {bad} end {data.get('end')}")

    # The extension's menu entry is found and chosen (on Linux its callback opens no window).
    code, out, err = run(["--ext", args.ext, "--menu", "&Flash", prog("ecc_error"), "--json"])
    report(code == 0 and json.loads(out or "{}").get("end") == "halted", "menu entry &Flash", f"exit {code}: {err.strip()}")

    # The chip's serial line through files, stop conditions, power cuts.
    serial_in = os.path.join(tmp, "in.txt")
    serial_out = os.path.join(tmp, "out.txt")
    with open(serial_in, "wb") as f:
        f.write(b"abc")
    code, out, err = run([prog("chip_serial"), "--serial-in", serial_in, "--serial-out", serial_out, "--json"])
    sent = open(serial_out, "rb").read() if os.path.exists(serial_out) else b""
    report(code == 0 and sent == b"Hi!bcd" and json.loads(out or "{}").get("serial") == "Hi!bcd",
           "serial line: file in, file out, JSON", f"exit {code}, sent {sent!r}, stderr {err.strip()[:200]!r}")
    code, out, err = run([prog("chip_serial"), "--stop-on-read", "code:0x0100", "--json"])
    data = json.loads(out or "{}")
    report(code == 0 and data.get("end") == "stopped" and data.get("pc") == 0x0045, "stop on a MOVC read",
           f"exit {code}, end {data.get('end')}, pc {data.get('pc')}")
    code, out, err = run([prog("chip_boot"), "--stop-on-write", "xdata:0x1000", "--json", "--dump", "xdata:0x1000:1"])
    data = json.loads(out or "{}")
    report(code == 0 and data.get("end") == "stopped" and data["dumps"]["xdata:0x1000:1"] == [1], "stop on a MOVX write",
           f"exit {code}, {out[:200]}")
    for with_ext, shadow in ((True, 2), (False, 0x5B)):
        extra = ["--ext", args.ext] if with_ext else []
        code, out, err = run(extra + [prog("chip_boot"), "--power-cut-at", "3000", "--ram-fill", "0x5A", "--max-cycles", "6000",
                                      "--json", "--dump", "idata:0x30:1", "--dump", "xdata:0x1000:1", "--dump", "xdata:0x9000:1"])
        data = json.loads(out or "{}")
        got = (data.get("dumps", {}).get("idata:0x30:1"), data.get("dumps", {}).get("xdata:0x1000:1"),
               data.get("dumps", {}).get("xdata:0x9000:1"), data.get("power_cuts"), data.get("ram_fill"))
        report(code == 1 and got == ([0x5B], [shadow], [0x5B], 1, "0x5A"),
               f"power cut {'with' if with_ext else 'without'} the extension's ECC shadow kept", f"exit {code}, got {got}")

    # Hostile input: one error line naming the problem, a non-zero exit, nothing on stdout.
    good = open(prog("ecc_error")).read()
    lines = good.splitlines()
    bad_checksum = lines[0][:-2] + ("00" if lines[0][-2:] != "00" else "01")
    hostile = {
        "truncated.hex": ("\n".join(lines[:-1]) + "\n", "end"),
        "checksum.hex": ("\n".join([bad_checksum] + lines[1:]) + "\n", "line 1"),
        "digits.hex": (":10000000ZZ\n", "line 1"),
        "nocolon.hex": ("hello\n", "line 1"),
        "beyond.hex": (":020000040001F9\n:00000001FF\n", "line 1"),
    }
    for file_name, (text, mention) in hostile.items():
        path = os.path.join(tmp, file_name)
        with open(path, "w") as f:
            f.write(text)
        code, out, err = run(["--ext", args.ext, path, "--json"])
        ok = code != 0 and out == "" and file_name in err and mention in err and len(err.strip().splitlines()) == 1
        report(ok, f"rejects {file_name}", f"exit {code}, stderr {err.strip()!r}")

    not_a_library = os.path.join(tmp, "notalib.dll")
    with open(not_a_library, "w") as f:
        f.write("plain text\n")
    errors = [
        ("unknown option", ["--frobnicate", prog("ecc_error")], "unknown option"),
        ("missing extension", ["--ext", os.path.join(tmp, "absent.so"), prog("ecc_error")], "no such file"),
        ("not a library", ["--ext", not_a_library, prog("ecc_error")], "not a loadable library"),
        ("no PeltoEntry", ["--ext", args.no_entry_lib, prog("ecc_error")], "no PeltoEntry"),
        ("refused processor", ["--ext", args.refusing_lib, prog("ecc_error")], "refuses the 8051"),
        ("failed start-up", ["--ext", args.ext, "--fail-service", "PeltoCreateTimer", prog("ecc_error")], "start-up failed"),
        ("missing program", ["--ext", args.ext, os.path.join(tmp, "absent.hex")], "cannot read"),
        ("bad dump", ["--dump", "code:0xFFFF:2", prog("ecc_error")], "out of range"),
        ("no halt", ["--max-cycles", "1000", "--load-bin", fill + "@0"], "did not halt"),
        ("unknown menu entry", ["--ext", args.ext, "--menu", "&Nothing", prog("ecc_error")], "no extension has a menu entry"),
        ("unwritable VCD", ["--vcd", os.path.join(tmp, "absent-dir", "x.vcd"), prog("ecc_error")], "cannot write"),
        ("stop on a code write", ["--stop-on-write", "code:0x10", prog("ecc_error")], "cannot write code memory"),
        ("stop on an unknown space", ["--stop-on-read", "flash:0x10", prog("ecc_error")], "expected SPACE:ADDR"),
        ("idata address beyond 0xFF", ["--stop-on-read", "idata:0x100", prog("ecc_error")], "expected SPACE:ADDR"),
        ("RAM fill over a byte", ["--ram-fill", "0x100", prog("ecc_error")], "expected a byte"),
        ("RAM fill seed not a number", ["--ram-fill", "random:x", prog("ecc_error")], "expected a byte"),
        ("reset cycle not a number", ["--reset-at", "soon", prog("ecc_error")], "not a cycle count"),
        ("missing serial input", ["--serial-in", os.path.join(tmp, "absent.txt"), prog("ecc_error")], "cannot read"),
        ("unwritable serial output", ["--serial-out", os.path.join(tmp, "absent-dir", "o.txt"), prog("ecc_error")],
         "cannot write"),
    ]
    for name, extra, mention in errors:
        code, out, err = run(extra)
        first_error = next((l for l in err.splitlines() if l.startswith("pelto-sim: error:")), "")
        report(code != 0 and mention in first_error, name, f"exit {code}, stderr {err.strip()[:200]!r}")


    # ---- program loading: bad input, overlaps, the ROM ranges and the DFLASH views ----------
    def write(name, text, mode="w"):
        path = os.path.join(tmp, name)
        with open(path, mode) as f:
            f.write(text)
        return path

    SJMP_SELF = [0x80, 0xFE]
    big = os.path.join(tmp, "big.hex")
    with open(big, "wb") as f:
        f.truncate(17 * 1024 * 1024)
    a_hex = write("a.hex", hex_records((0x0100, [1, 2, 3])))
    b_hex = write("b.hex", hex_records((0x0102, [9])))
    conflict_views = write("views.hex", hex_records((0x7010, [1]), (0xA010, [2])))
    rom_hex = write("rom.hex", hex_records((0x0000, SJMP_SELF), (0xC100, [0])))
    calls_rom = write("calls_rom.hex", hex_records((0x0000, [0x12, 0xDF, 0xF6] + SJMP_SELF)))  # LCALL ROM_PROGRAM
    loading = [
        # name, options, words the error must hold, exit status
        ("a directory as the program", [tmp], ["is a directory"], 2),
        ("a directory in --load-bin", ["--load-bin", tmp + "@0x100"], ["is a directory"], 2),
        ("a file over 16 MB", [big], ["big.hex", "larger than 16 MB"], 2),
        ("an end-of-file record with data", [write("eofdata.hex", ":0100000055AA\n:01000001AA54\n")],
         ["line 2", "end-of-file record carries data"], 2),
        ("overlapping records", [write("overlap.hex", ":0100000055AA\n:010001006698\n:020000001122CB\n:00000001FF\n")],
         ["line 3", "overlaps line 1"], 2),
        ("overlapping files", [a_hex, b_hex], ["b.hex' line 1", "0x0102", "a.hex' line 1"], 2),
        ("a raw binary over a HEX file", [a_hex, "--load-bin", write("one.bin", "x") + "@0x101"], ["one.bin", "a.hex' line 1"], 2),
        ("two values for one DFLASH byte", ["--ext", args.ext, conflict_views], ["0x7010", "0xA010", "same DFLASH byte"], 2),
        ("code in the ROM images", ["--ext", args.ext, rom_hex], ["0xC100", "flash routine image", "at reset"], 2),
        ("a ROM call without --ext", [calls_rom], ["0xDFF6", "ROM_PROGRAM", "ROM is empty", "--ext"], 2),
    ]
    if not UNDER_WINE:
        loading.append(("a device as the program", ["/dev/zero"], ["/dev/zero", "not a regular file"], 2))
    for name, extra, words, status in loading:
        code, out, err = run(extra + ["--json"])
        lines = err.strip().splitlines()
        ok = code == status and out == "" and len(lines) == 1 and all(w in lines[0] for w in words)
        report(ok, f"loading: {name}", f"exit {code}, stderr {err.strip()[:300]!r}")

    # Without an extension, code at the ROM addresses is the program's own.
    code, out, err = run([write("own_rom.hex", hex_records((0x0000, [0x02, 0xDF, 0xF6]), (0xDFF6, SJMP_SELF))), "--json"])
    data = json.loads(out or "{}")
    report(code == 0 and data.get("end") == "halted" and data.get("pc") == 0xDFF6, "loading: own code at ROM addresses",
           f"exit {code}, {out.strip()[:200]} {err.strip()[:200]}")

    # Without an extension code memory is a flat 64 KB: a program filling all of it, with other
    # bytes at 0x6000-0x7FFF than at 0xA000-0xBFFF, loads and runs (0x0000 jumps to 0x7000, which
    # copies the byte at 0xA010 to 0x30 and jumps to 0xA000: SJMP $). With the extension those two
    # ranges are the views of one DFLASH bank, and the same file is refused.
    flat = bytearray([0x11]) * 0x10000
    flat[0xA000:0xC000] = bytes([0x22]) * 0x2000
    flat[0x0000:0x0003] = [0x02, 0x70, 0x00]                                          # LJMP 0x7000
    flat[0x7000:0x700A] = [0x90, 0xA0, 0x10, 0xE4, 0x93, 0xF5, 0x30, 0x02, 0xA0, 0x00]  # MOVC from 0xA010
    flat[0xA000:0xA002] = SJMP_SELF
    full = write("full64k.hex", hex_records(*[(a, flat[a:a + 0x80]) for a in range(0, 0x10000, 0x80)]))
    code, out, err = run([full, "--json", "--dump", "idata:0x30:1", "--dump", "code:0x7010:1", "--dump", "code:0xA010:1"])
    data = json.loads(out or "{}")
    d = data.get("dumps", {})
    report(code == 0 and data.get("end") == "halted" and data.get("pc") == 0xA000 and d.get("idata:0x30:1") == [0x22]
           and d.get("code:0x7010:1") == [0x11] and d.get("code:0xA010:1") == [0x22],
           "loading: 64 KB without --ext, 0x6000-0x7FFF and 0xA000-0xBFFF apart", f"exit {code}, {out.strip()[:300]} {err.strip()[:200]}")
    code, out, err = run(["--ext", args.ext, full, "--json"])
    report(code == 2 and out == "" and "same DFLASH byte" in err, "loading: the same 64 KB refused with --ext",
           f"exit {code}, stderr {err.strip()[:300]!r}")

    # Code loaded into either view of a DFLASH bank reads the same in both.
    one_view = write("one_view.hex", hex_records((0x0000, SJMP_SELF), (0x7010, [0x11, 0x22]), (0xB020, [0x33])))
    code, out, err = run(["--ext", args.ext, one_view, "--json", "--dump", "code:0xA010:2", "--dump", "code:0x7010:2",
                          "--dump", "code:0x6020:1", "--dump", "code:0xB020:1"])
    d = json.loads(out or "{}").get("dumps", {})
    report(code == 0 and d.get("code:0xA010:2") == [0x11, 0x22] == d.get("code:0x7010:2")
           and d.get("code:0x6020:1") == [0x33] == d.get("code:0xB020:1"), "loading: a DFLASH load appears in both views",
           f"exit {code}, {d} {err.strip()[:200]}")

    # ---- --sfr: names in any case, direct addresses through the paging, identifiers --------------
    # SP 0x6F; map bit set and flash page 3 selected, so that 0xD2 is FCTL_D0 (0x20 after reset).
    paged = write("paged.hex", hex_records((0x0000, [0x75, 0x81, 0x6F, 0x43, 0x8F, 0x01, 0x75, 0xDF, 0x03] + SJMP_SELF)))
    code, out, err = run(["--ext", args.ext, paged, "--json", "--sfr", "0x81", "--sfr", "nmistat", "--sfr", "Fctl_D0",
                          "--sfr", "0xD2", "--sfr", "0xF00000D2", "--sfr", "0xF0010BD2"])
    sfr = json.loads(out or "{}").get("sfr", {})
    want = {"0x81": 0x6F, "nmistat": 0, "Fctl_D0": 0x20, "0xD2": 0x20, "0xF00000D2": 0, "0xF0010BD2": 0x20}
    report(code == 0 and sfr == want, "--sfr reads names, direct addresses and identifiers", f"exit {code}, {sfr} {err.strip()[:200]}")
    option_errors = [
        (["--sfr", "0x7F"], ["--sfr '0x7F'", "0x80-0xFF"]),
        (["--sfr", "FCTL_X"], ["--sfr 'FCTL_X'", "not a register name"]),
        (["--sfr", "0xF0020000"], ["--sfr '0xF0020000'", "not a register identifier"]),
        (["--max-cycles", "many"], ["--max-cycles 'many'"]),
        (["--trace=everything"], ["unknown option '--trace=everything'"]),
    ]
    for extra, words in option_errors:
        code, out, err = run(extra + [paged])
        lines = err.strip().splitlines()
        ok = code == 2 and len(lines) == 1 and all(w in lines[0] for w in words) and "--help" in lines[0]
        report(ok, f"option error in one line: {' '.join(extra)}", f"exit {code}, stderr {err.strip()[:300]!r}")

    # ---- the trace: flash events by default, register writes only with --trace=registers --------
    traces = [
        ("program_pflash", [], ["program request accepted, bank in program mode",
                                "program started: PFLASH PAIR 0 block 0x1240-0x127F; until cycle",
                                "completion signalled", "program committed: PFLASH PAIR 0 block 0x1240-0x127F"]),
        ("erase_phases", ["--load-bin", fill + "@0xA000"],
         ["erase request accepted", "erase started: DFLASH 0 sector 0 (0xA000-0xA3FF), 9 (0xAF80-0xAFFF); first phase",
          "erase second phase", "erase committed: DFLASH 0 sector 0"]),
        ("abort", ["--load-bin", fill + "@0x5F00"], ["erase started: PFLASH PAIR 2 sector 2 (0x5F00-0x5FFF)",
                                                     "abort: erase of PFLASH PAIR 2 sector 2 (0x5F00-0x5FFF) cancelled"]),
        ("ecc_error", [], ["ECC error: MOVC read of 0x0300"]),
    ]
    for program, extra, wanted in traces:
        code, out, err = run(["--ext", args.ext, prog(program), "--trace"] + extra)
        lines = [l for l in err.splitlines() if l.startswith("trace:")]
        missing = [w for w in wanted if not any(w in l for l in lines)]
        unframed = [l for l in lines if not re.match(r"^trace: cycle \d+ pc 0x[0-9A-F]{4}: ", l)]
        report(code == 0 and not missing and not unframed and len(lines) < 40, f"trace of {program}",
               f"exit {code}, missing {missing}, unframed {unframed[:3]}, {len(lines)} lines")
    code, out, err = run(["--ext", args.ext, prog("program_pflash"), "--trace=registers"])
    report(code == 0 and "FDATA <- 0x80 (program)" in err and "timer 1 set for cycle" in err
           and "program started: PFLASH PAIR 0" in err, "trace with register writes", f"exit {code}")

    # ---- the value change dump -----------------------------------------------------------------
    # The erase's timer is armed once for both phases: re-armed at the phase change in the same
    # cycle it expired, it never reads 0 in between.
    vcd = os.path.join(tmp, "run.vcd")
    for clock, timescale, per_cycle in [(12000000, "1 us", 1), (1200000, "10 us", 1), (24000000, "1 ns", 500),
                                        (11059200, "1 ps", 1085069)]:
        code, out, err = run(["--ext", args.ext, prog("erase_phases"), "--load-bin", fill + "@0xA000", "--json",
                              "--clock", str(clock), "--vcd", vcd])
        try:
            with open(vcd) as f:
                got_scale, changes, end = parse_vcd(f.read())
            cycles = json.loads(out)["cycles"]
            fcmd = [v for _, v in changes["FCMD"]]
            ok = (code == 0 and got_scale == timescale and end == cycles * per_cycle
                  and 0x06 in fcmd and [v for _, v in changes["flash_timer_armed"]] == [0, 1, 0])
            detail = f"timescale {got_scale}, end {end} for {cycles} cycles, FCMD {fcmd}, timer {changes['flash_timer_armed']}"
        except (OSError, ValueError, KeyError) as e:
            ok, detail = False, repr(e)
        report(ok, f"VCD at {clock} Hz", f"exit {code}: {detail} {err.strip()[:200]}")

    # A run interrupted by a signal: the old file stays until the end, then a complete one
    # replaces it, the results say "interrupted" and the exit status is 128 + the signal.
    if not UNDER_WINE:
        spin = write("spin.hex", hex_records((0x0000, [0x04, 0x80, 0xFD])))  # INC A; SJMP back
        for sig, status in [(signal.SIGINT, 130), (signal.SIGTERM, 143)]:
            with open(vcd, "w") as f:
                f.write("earlier run\n")
            p = subprocess.Popen(args.sim + ["--ext", args.ext, spin, "--max-cycles", "0", "--json", "--vcd", vcd],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            time.sleep(1.0)
            with open(vcd) as f:
                kept = f.read() == "earlier run\n"
            p.send_signal(sig)
            out, err = p.communicate(timeout=60)
            try:
                with open(vcd) as f:
                    _, _, end = parse_vcd(f.read())
                data = json.loads(out)
                ok = (p.returncode == status and kept and data["end"] == "interrupted" and end == data["cycles"] > 0
                      and not [n for n in os.listdir(tmp) if ".part-" in n])
                detail = f"exit {p.returncode}, kept {kept}, end {data['end']}, vcd end {end}, cycles {data['cycles']}"
            except (OSError, ValueError, KeyError) as e:
                ok, detail = False, f"exit {p.returncode}: {e!r} {out[:200]!r} {err[:200]!r}"
            report(ok, f"interrupted by {sig.name}", detail)

        # Write errors on every output end in an error and a non-zero exit.
        for name, extra, stdout, words in [
            ("VCD on a full disk", ["--vcd", "/dev/full"], subprocess.DEVNULL, ["cannot write '/dev/full'"]),
            ("JSON on a full disk", ["--json"], open("/dev/full", "w"), ["cannot write standard output"]),
            ("summary on a full disk", [], open("/dev/full", "w"), ["cannot write standard output"]),
        ]:
            r = subprocess.run(args.sim + ["--ext", args.ext, prog("ecc_error")] + extra, stdout=stdout,
                               stderr=subprocess.PIPE, text=True, timeout=120)
            report(r.returncode != 0 and all(w in r.stderr for w in words), f"write error: {name}",
                   f"exit {r.returncode}, stderr {r.stderr.strip()[:200]!r}")

print(f"e2e: {passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
