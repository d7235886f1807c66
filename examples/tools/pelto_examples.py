"""Running the example firmware on pelto-sim and reading what it leaves behind.

As a command: `pelto_examples.py power-cut-options` prints the pelto-sim options that cut the
settings example's power (for scripts/demo)."""

import json
import os
import re
import subprocess
import sys
import tempfile

REPORT_ADDRESS = 0x9F00
REPORT_SIZE = 0x100
REPORT_PASSED = 0x01
REPORT_FAILED = 0xFF
REPORT_MAGIC = b"PF"
# The expectation that the report says "passed": its magic, then the result byte.
REPORT_PASSED_EXPECTATION = (f"xdata:0x{REPORT_ADDRESS:04X}="
                             + ",".join(f"0x{b:02X}" for b in REPORT_MAGIC + bytes([REPORT_PASSED])))

STORE_BASE = 0xAF00
STORE_SLOTS = 8
RECORD_SIZE = 32

# The flash's operation times in machine cycles.
PROGRAM_CYCLES = 58575
ERASE_PHASE_CYCLES = (119990, 2319059)

POWER_CUTS_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "settings", "power-cuts")
CUT_KINDS = ("program", "erase-phase-2")


class SimError(Exception):
    pass


def run(sim, ext, program, dumps=(), extra=(), max_cycles=50_000_000):
    """Runs `program` and returns (result JSON, standard error text). `sim` is the command (a list)."""
    cmd = list(sim) + ["--ext", ext, program, "--json", "--max-cycles", str(max_cycles)]
    for d in dumps:
        cmd += ["--dump", d]
    cmd += list(extra)
    # Files rather than pipes: a Wine service the first Windows program starts inherits them and
    # outlives it, and a pipe would then never reach its end.
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        returncode = subprocess.run(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL).returncode
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    try:
        result = json.loads(stdout) if stdout.strip() else None
    except json.JSONDecodeError:
        result = None
    if returncode != 0 or result is None:
        tail = "\n".join(l for l in stderr.splitlines() if not l.startswith("trace:"))[-600:]
        raise SimError(f"pelto-sim exited with {returncode}: {tail.strip() or 'no output'}")
    return result, stderr


def dump(result, text):
    return bytes(result["dumps"][text])


def serial_lines(result):
    """What the firmware sent over the serial port, line by line."""
    return result.get("serial", "").splitlines()


def power_cuts(path=POWER_CUTS_FILE):
    """The settings example's power cuts (examples/settings/power-cuts): (cycle, kind, note) each."""
    cuts = []
    with open(path) as f:
        for n, line in enumerate(f, 1):
            fields = line.split("#", 1)[0].split(None, 2)
            if not fields:
                continue
            if len(fields) < 2 or not fields[0].isdigit() or fields[1] not in CUT_KINDS:
                raise ValueError(f"{path}:{n}: expected 'CYCLE {'|'.join(CUT_KINDS)} NOTE', got {line.strip()!r}")
            cuts.append((int(fields[0]), fields[1], fields[2].strip() if len(fields) > 2 else ""))
    if [c for c, _, _ in cuts] != sorted(c for c, _, _ in cuts):
        raise ValueError(f"{path}: the cuts are not in cycle order")
    return cuts


def power_cut_options(cuts):
    # The walkthrough names what each cut-off operation left: nothing, in the atomic model. The
    # sweep (check_settings_sweep) judges the example under torn operations.
    return ["--cut-model", "atomic"] + [arg for cycle, _, _ in cuts for arg in ("--power-cut-at", str(cycle))]


def report(result):
    """The report header (see examples/lib/report.h)."""
    r = dump(result, f"xdata:0x{REPORT_ADDRESS:04X}:0x{REPORT_SIZE:02X}")
    return {"valid": r[0:2] == REPORT_MAGIC, "result": r[2], "failed": r[3], "checks": r[4], "boots": r[5], "bytes": r}


def fletcher16(data):
    a = b = 0
    for x in data:
        a = (a + x) % 255
        b = (b + a) % 255
    return b << 8 | a


def decode_record(raw):
    """A settings record (examples/settings/store.h), or None when the bytes are not a valid one."""
    if len(raw) != RECORD_SIZE or raw[0:2] != b"SR":
        return None
    if int.from_bytes(raw[30:32], "little") != fletcher16(raw[:30]):
        return None
    label = raw[9:30].split(b"\0", 1)[0].decode("ascii", "replace")
    return {
        "version": int.from_bytes(raw[2:4], "little"),
        "volume": raw[4],
        "brightness": raw[5],
        "baud": int.from_bytes(raw[6:8], "little") * 100,
        "nth": raw[8],
        "label": label,
    }


def describe_record(r):
    return (f'version {r["version"]}: "{r["label"]}", volume {r["volume"]}, brightness {r["brightness"]}%, '
            f'{r["baud"]} baud ({ordinal(r["nth"])} write after its start)')


def ordinal(n):
    return f"{n}{'th' if 10 <= n % 100 <= 20 else {1: 'st', 2: 'nd', 3: 'rd'}.get(n % 10, 'th')}"


# ---- the settings example's serial log (examples/settings/settings.c) ----

SCAN_LINE = re.compile(r"^(scan|end): (?:no record|record (\d+) in slot (\d)); "
                       r"valid ([0-7]+|-); blank ([0-7]+|-); ECC error ([0-7]+|-)$")
OP_LINE = re.compile(r"^(program slot|erase sector) (\d+)$")


def slot_mask(text):
    return 0 if text == "-" else sum(1 << int(c) for c in text)


def settings_log(lines):
    """The boots in a settings serial log: per start its scan and the operations it started, then
    the end scan. A scan is a dict (version, slot, valid, blank, ecc; version 0 and slot None when
    the store was empty); an operation is ("program", slot) or ("erase", sector)."""
    boots, end = [], None
    for line in lines:
        m = SCAN_LINE.match(line)
        if m:
            scan = {"version": int(m.group(2) or 0), "slot": int(m.group(3)) if m.group(3) else None,
                    "valid": slot_mask(m.group(4)), "blank": slot_mask(m.group(5)), "ecc": slot_mask(m.group(6))}
            if m.group(1) == "scan":
                if end is not None:
                    raise ValueError(f"a start after the end line: {line!r}")
                boots.append({"scan": scan, "ops": []})
            else:
                end = scan
            continue
        m = OP_LINE.match(line)
        if m and boots and end is None:
            boots[-1]["ops"].append(("program" if m.group(1) == "program slot" else "erase", int(m.group(2))))
            continue
        raise ValueError(f"unexpected serial log line {line!r}")
    return boots, end


# ---- trace ----

TRACE_LINE = re.compile(r"^trace: cycle (\d+): (\S+) <- 0x([0-9A-F]{2}) \((program|extension)\)$")
CONTROLS = {
    "FCTL_P0A": "PFLASH pair 0", "FCTL_P0B": "PFLASH pair 0", "FCTL_P1A": "PFLASH pair 1",
    "FCTL_P1B": "PFLASH pair 1", "FCTL_P2A": "PFLASH pair 2", "FCTL_P2B": "PFLASH pair 2",
    "FCTL_D0": "DFLASH 0", "FCTL_D1": "DFLASH 1",
}


def flash_operations(trace_text, cuts=()):
    """Flash operations seen in a --trace=registers log: kind, bank, start, phase-2 start, end, outcome.

    An operation starts when the program writes FCMD with low nibble 6 while a bank is in program
    (0x80) or erase (0x40) mode; it completes when the extension returns that bank's control to
    0x20, is aborted when the program changes FCMD's low nibble from 6 to 4, and is cut off by a
    reset or power cut at one of the cycles in `cuts` (the trace does not show those)."""
    mode = {c: 0x20 for c in CONTROLS}
    fcmd = 0x04
    ops, current, ecc_reads = [], None, 0
    pending = sorted(cuts)
    for line in trace_text.splitlines():
        m = TRACE_LINE.match(line)
        if not m:
            continue
        cycle, reg, value, who = int(m.group(1)), m.group(2), int(m.group(3), 16), m.group(4)
        while pending and pending[0] <= cycle:
            if current and current["end"] is None:
                current["end"], current["outcome"], current["cut"] = pending[0], "cut off", pending[0]
            pending.pop(0)
        if reg in CONTROLS:
            mode[reg] = value
            if who == "extension" and value == 0x20 and current and current["end"] is None \
                    and CONTROLS[reg] == current["bank"]:
                current["end"] = cycle
                current["outcome"] = "aborted" if current.get("aborted") else "completed"
        elif reg == "FCMD":
            previous, fcmd = fcmd, value
            if who == "program" and value & 0x0F == 6:
                kind = bank = None
                for c in CONTROLS:
                    if mode[c] & 0x80:
                        kind, bank = "program", CONTROLS[c]
                        break
                else:
                    for c in CONTROLS:
                        if mode[c] & 0x40:
                            kind, bank = "erase", CONTROLS[c]
                            break
                if kind:
                    current = {"kind": kind, "bank": bank, "start": cycle, "phase2": None, "end": None,
                               "outcome": "running", "signalled": False, "cut": None}
                    ops.append(current)
            elif who == "program" and previous & 0x0F == 6 and value & 0x0F == 4 and current and current["end"] is None:
                current["aborted"] = True
        elif reg == "FPHASE0" and who == "extension" and value == 0x1F and current and current["kind"] == "erase" \
                and current["end"] is None:
            current["phase2"] = cycle
        elif reg == "NMISTAT" and who == "extension":
            if value & 0x04 and current and current["end"] is None:
                current["signalled"] = True
            if value & 0x40:
                ecc_reads += 1
    return ops, ecc_reads


if __name__ == "__main__":
    if sys.argv[1:] != ["power-cut-options"]:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    try:
        print(" ".join(power_cut_options(power_cuts())))
    except (OSError, ValueError) as e:
        print(f"pelto_examples.py: {e}", file=sys.stderr)
        sys.exit(1)
