#!/usr/bin/env python3
"""Prints what the settings-store example did, from pelto-sim's JSON result (with the serial log
and --dump xdata:0x9F00:0x100) and its --trace log, run with the power cuts of
examples/settings/power-cuts.

usage: settings_report.py RESULT.json TRACE.txt CLOCK_HZ
Exits 1 when the example did not pass or the trace does not match the firmware's serial log."""

import json
import sys

import pelto_examples as pe


def describe_op(kind, n):
    if kind == "program":
        return f"program record slot {n} (0x{pe.STORE_BASE + n * pe.RECORD_SIZE:04X})"
    first = pe.STORE_BASE + (n - 8) * 128
    return f"erase sector {n} (0x{first:04X}-0x{first + 127:04X})"


def slots(mask):
    return ", ".join(str(i) for i in range(8) if mask >> i & 1) or "none"


def describe_scan(scan):
    if not scan["version"]:
        return "empty store"
    ecc = f"; ECC error reading slot {slots(scan['ecc'])} (skipped)" if scan["ecc"] else ""
    return f"newest record version {scan['version']} in slot {scan['slot']}; valid records in slot {slots(scan['valid'])}{ecc}"


def what_the_cut_left(op, scan):
    """What the operation the power cut hit left behind, as the next start's scan saw it."""
    kind, n = op
    if kind == "program":
        damaged = scan["ecc"] >> n & 1
        return (f"the cut-off write of slot {n} " +
                ("left check bits without data: its read reports an ECC error" if damaged else "left no trace"))
    first = (n - 8) * 4
    valid = [s for s in range(first, first + 4) if scan["valid"] >> s & 1]
    if len(valid) == 4:
        return f"the cut-off erase of sector {n} erased nothing: slots {first}-{first + 3} still hold their records"
    return f"the cut-off erase of sector {n} left slot {', '.join(map(str, valid)) or 'none'} valid"


def outcome_of(op):
    if op["outcome"] == "completed":
        text = "completed, " + ("signalled (NMISTAT bit 2)" if op["signalled"] else "not signalled")
        if op["kind"] == "erase" and op["phase2"]:
            text += f"; phases {op['phase2'] - op['start']} + {op['end'] - op['phase2']}"
        return text
    if op["outcome"] == "cut off":
        return "cut off by the power cut" + (" in erase phase 2" if op["phase2"] else "")
    return op["outcome"]


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        with open(argv[1]) as f:
            result = json.load(f)
        with open(argv[2]) as f:
            trace = f.read()
        clock = int(argv[3])
        cuts = [c for c, _, _ in pe.power_cuts()]
        boots, end = pe.settings_log(pe.serial_lines(result))
    except (OSError, ValueError) as e:
        print(f"demo: {e}", file=sys.stderr)
        return 1
    rep = pe.report(result)
    r = rep["bytes"]
    if not rep["valid"]:
        print("demo: the firmware left no report", file=sys.stderr)
        return 1
    if result.get("power_cuts") != len(cuts) or len(boots) != len(cuts) + 1:
        print(f"demo: {result.get('power_cuts')} power cuts and {len(boots)} starts in the serial log, "
              f"expected {len(cuts)} and {len(cuts) + 1}", file=sys.stderr)
        return 1

    # The operations each start logged over the serial port, and those the trace shows, in order.
    logged = [(n, kind, number) for n, b in enumerate(boots, 1) for kind, number in b["ops"]]
    ops, ecc_reads = pe.flash_operations(trace, cuts)
    if len(ops) != len(logged) or any(kind != o["kind"] for (_, kind, _), o in zip(logged, ops)):
        print(f"demo: the trace shows {len(ops)} flash operations, the serial log {len(logged)}", file=sys.stderr)
        return 1
    starts = [0] + cuts
    if any(not starts[boot - 1] <= o["start"] < (starts[boot] if boot < len(starts) else float("inf"))
           for (boot, _, _), o in zip(logged, ops)):
        print("demo: the serial log puts an operation in another boot than the trace", file=sys.stderr)
        return 1

    us = 12e6 / clock  # machine cycles of 12 clocks: microseconds per cycle
    print(f"Flash operations (one machine cycle = {us:g} us at {clock / 1e6:g} MHz)")
    print(f"  {'#':>2}  {'boot':>4}  {'operation':<38} {'start cycle':>11} {'end cycle':>10} {'duration':>9}  outcome")
    for n, ((boot, kind, number), op) in enumerate(zip(logged, ops), 1):
        end_cycle = op["end"]
        duration = end_cycle - op["start"] if end_cycle is not None else None
        print(f"  {n:>2}  {boot:>4}  {describe_op(kind, number):<38} {op['start']:>11} "
              f"{end_cycle if end_cycle is not None else '-':>10} {duration if duration is not None else '-':>9}  "
              f"{outcome_of(op)}")

    print()
    print("Boots (what the scan of the store found at each start, from the firmware's serial log)")
    for n, b in enumerate(boots, 1):
        when = "power on" if n == 1 else f"after the power cut at cycle {cuts[n - 2]}"
        print(f"  boot {n} ({when}): {describe_scan(b['scan'])}")
        if n > 1:
            print(f"    {what_the_cut_left(boots[n - 2]['ops'][-1], b['scan'])}")
    print(f"  end: {describe_scan(end)}")

    before = pe.decode_record(r[0x20:0x40])
    after = pe.decode_record(r[0x40:0x60])
    print()
    print("Record before (newest at the last boot): " + (pe.describe_record(before) if before else "none"))
    print("Record after:                             " + (pe.describe_record(after) if after else "none"))

    print()
    print(f"ECC status: {ecc_reads} MOVC reads set NMISTAT bit 6 (ECC error) during the run; "
          f"at the end slot {slots(end['ecc'])} still reports errors.")
    if end["ecc"]:
        print("  That slot held the record being programmed when the power went: its check bits were stored")
        print("  when the bytes were captured, but the program operation never completed. The store skips it")
        print("  until the sector is erased.")
    else:
        print("  Every record reads back clean.")

    verdict = {pe.REPORT_PASSED: "PASSED", pe.REPORT_FAILED: "FAILED"}.get(rep["result"], "did not finish")
    print()
    print(f"Firmware self-checks at the last boot: {rep['checks']} passed, result {verdict}"
          + (f" (first failed check {rep['failed']})" if rep["failed"] else ""))
    return 0 if rep["result"] == pe.REPORT_PASSED else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
