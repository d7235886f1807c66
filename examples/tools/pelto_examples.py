"""Running the example firmware on pelto-sim and reading what it leaves behind."""

import json
import re
import subprocess

REPORT_ADDRESS = 0x9F00
REPORT_SIZE = 0x100
REPORT_PASSED = 0x01
REPORT_FAILED = 0xFF

STORE_BASE = 0xAF00
STORE_SLOTS = 8
RECORD_SIZE = 32


class SimError(Exception):
    pass


def run(sim, ext, program, dumps=(), extra=(), max_cycles=50_000_000):
    """Runs `program` and returns (result JSON, standard error text). `sim` is the command (a list)."""
    cmd = list(sim) + ["--ext", ext, program, "--json", "--max-cycles", str(max_cycles)]
    for d in dumps:
        cmd += ["--dump", d]
    cmd += list(extra)
    p = subprocess.run(cmd, capture_output=True, text=True)
    try:
        result = json.loads(p.stdout) if p.stdout.strip() else None
    except json.JSONDecodeError:
        result = None
    if p.returncode != 0 or result is None:
        tail = "\n".join(l for l in p.stderr.splitlines() if not l.startswith("trace:"))[-600:]
        raise SimError(f"pelto-sim exited with {p.returncode}: {tail.strip() or 'no output'}")
    return result, p.stderr


def dump(result, text):
    return bytes(result["dumps"][text])


def report(result):
    """The report header (see examples/lib/report.h)."""
    r = dump(result, f"xdata:0x{REPORT_ADDRESS:04X}:0x{REPORT_SIZE:02X}")
    return {"valid": r[0:2] == b"PF", "result": r[2], "failed": r[3], "checks": r[4], "boots": r[5], "bytes": r}


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
        "boot": raw[8],
        "label": label,
    }


def describe_record(r):
    return (f'version {r["version"]}: "{r["label"]}", volume {r["volume"]}, brightness {r["brightness"]}%, '
            f'{r["baud"]} baud (written in boot {r["boot"]})')


# ---- trace ----

TRACE_LINE = re.compile(r"^trace: cycle (\d+): (\S+) <- 0x([0-9A-F]{2}) \((program|extension)\)$")
CONTROLS = {
    "FCTL_P0A": "PFLASH pair 0", "FCTL_P0B": "PFLASH pair 0", "FCTL_P1A": "PFLASH pair 1",
    "FCTL_P1B": "PFLASH pair 1", "FCTL_P2A": "PFLASH pair 2", "FCTL_P2B": "PFLASH pair 2",
    "FCTL_D0": "DFLASH 0", "FCTL_D1": "DFLASH 1",
}


def flash_operations(trace_text):
    """Flash operations seen in a --trace=registers log: kind, bank, start, phase-2 start, end, outcome.

    An operation starts when the program writes FCMD with low nibble 6 while a bank is in program
    (0x80) or erase (0x40) mode; it completes when the extension returns that bank's control to
    0x20, and is cut off when the program aborts it (FCMD low nibble 6 -> 4)."""
    mode = {c: 0x20 for c in CONTROLS}
    fcmd = 0x04
    ops, current, ecc_reads = [], None, 0
    for line in trace_text.splitlines():
        m = TRACE_LINE.match(line)
        if not m:
            continue
        cycle, reg, value, who = int(m.group(1)), m.group(2), int(m.group(3), 16), m.group(4)
        if reg in CONTROLS:
            mode[reg] = value
            if who == "extension" and value == 0x20 and current and current["end"] is None \
                    and CONTROLS[reg] == current["bank"]:
                current["end"] = cycle
                current["outcome"] = "cut off" if current.get("aborted") else "completed"
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
                               "outcome": "running", "signalled": False}
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
