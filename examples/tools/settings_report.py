#!/usr/bin/env python3
"""Prints what the settings-store example did, from pelto-sim's JSON result and its --trace=registers log.

usage: settings_report.py RESULT.json TRACE.txt CLOCK_HZ
Exits 1 when the example did not pass or the trace does not match the firmware's own log."""

import json
import sys

import pelto_examples as pe

OP_NAMES = {1: "program", 2: "erase"}


def slot_of(address):
    return (address - pe.STORE_BASE) // pe.RECORD_SIZE


def describe_op(kind, address):
    if kind == 1:
        return f"program record slot {slot_of(address)} (0x{address:04X})"
    sector = 8 + (address - pe.STORE_BASE) // 128
    return f"erase sector {sector} (0x{address:04X}-0x{address + 127:04X})"


def slots(mask):
    return ", ".join(str(i) for i in range(8) if mask >> i & 1) or "none"


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1]) as f:
        result = json.load(f)
    with open(argv[2]) as f:
        trace = f.read()
    clock = int(argv[3])
    rep = pe.report(result)
    r = rep["bytes"]
    if not rep["valid"]:
        print("demo: the firmware left no report", file=sys.stderr)
        return 1

    # The firmware's own log of the operations it started (kind, start, address) ...
    logged = [(r[0x60 + 4 * i], r[0x61 + 4 * i], int.from_bytes(r[0x62 + 4 * i:0x64 + 4 * i], "little"))
              for i in range(r[0x06])]
    # ... and the operations the trace shows, in the same order.
    ops, ecc_reads = pe.flash_operations(trace)
    if len(ops) != len(logged) or any(OP_NAMES[k] != o["kind"] for (k, _, _), o in zip(logged, ops)):
        print(f"demo: the trace shows {len(ops)} flash operations, the firmware logged {len(logged)}", file=sys.stderr)
        return 1

    us = 12e6 / clock  # machine cycles of 12 clocks: microseconds per cycle
    print(f"Flash operations (one machine cycle = {us:g} us at {clock / 1e6:g} MHz)")
    print(f"  {'#':>2}  {'boot':>4}  {'operation':<38} {'start cycle':>11} {'end cycle':>10} {'duration':>9}  outcome")
    for n, ((kind, boot, address), op) in enumerate(zip(logged, ops), 1):
        end = op["end"]
        duration = end - op["start"] if end is not None else None
        outcome = op["outcome"]
        if outcome == "completed":
            outcome += ", signalled (NMISTAT bit 2)" if op["signalled"] else ", not signalled"
            if op["kind"] == "erase" and op["phase2"]:
                outcome += f"; phases {op['phase2'] - op['start']} + {end - op['phase2']}"
        elif outcome == "cut off":
            outcome += " by the simulated reset" + (" in erase phase 2" if op["phase2"] else "")
        print(f"  {n:>2}  {boot:>4}  {describe_op(kind, address):<38} {op['start']:>11} "
              f"{end if end is not None else '-':>10} {duration if duration is not None else '-':>9}  {outcome}")

    print()
    print("Boots (what the scan of the store found at each start)")
    for boot in range(1, rep["boots"] + 1):
        entry = r[0x08 + 4 * (boot - 1):0x0C + 4 * (boot - 1)]
        version = int.from_bytes(entry[0:2], "little")
        found = f"newest record version {version}; valid records in slot {slots(entry[2])}" if version \
            else "empty store"
        ecc = f"; ECC error reading slot {slots(entry[3])} (skipped)" if entry[3] else ""
        print(f"  boot {boot}: {found}{ecc}")

    before = pe.decode_record(r[0x20:0x40])
    after = pe.decode_record(r[0x40:0x60])
    print()
    print("Record before (newest at the last boot): " + (pe.describe_record(before) if before else "none"))
    print("Record after:                             " + (pe.describe_record(after) if after else "none"))

    final_ecc = r[0x18 + 5]
    print()
    print(f"ECC status: {ecc_reads} MOVC reads set NMISTAT bit 6 (ECC error) during the run; "
          f"at the end slot {slots(final_ecc)} still reports errors.")
    if final_ecc:
        print("  That slot held the record being programmed when the reset hit: its check bits were stored")
        print("  when the bytes were captured, but the program operation never completed. The store skips it")
        print("  until the sector is erased.")
    else:
        print("  Every record reads back clean.")

    verdict = {pe.REPORT_PASSED: "PASSED", pe.REPORT_FAILED: "FAILED"}.get(rep["result"], "did not finish")
    print()
    print(f"Firmware self-checks: {rep['checks']} passed, result {verdict}"
          + (f" (first failed check {rep['failed']})" if rep["failed"] else ""))
    return 0 if rep["result"] == pe.REPORT_PASSED else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
