#!/usr/bin/env python3
"""End-to-end cases: 8051 programs on pelto-sim with the extension loaded, checked through --json,
and hostile input that must end in one clear error line and a non-zero exit."""
import argparse
import json
import os
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
parser.add_argument("--sim", required=True, nargs="+", help="command that runs pelto-sim")
parser.add_argument("--ext", required=True)
parser.add_argument("--programs", required=True, help="folder with the assembled .ihx files")
parser.add_argument("--no-entry-lib", required=True)
parser.add_argument("--refusing-lib", required=True)
args = parser.parse_args()


def run(extra):
    result = subprocess.run(args.sim + extra, capture_output=True, text=True, timeout=120)
    return result.returncode, result.stdout, result.stderr


def prog(name):
    return os.path.join(args.programs, name + ".ihx")


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

print(f"e2e: {passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
