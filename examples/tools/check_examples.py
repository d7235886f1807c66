#!/usr/bin/env python3
"""Runs every example firmware on pelto-sim with the flash extension and checks its outcome.

usage: check_examples.py HEX_DIR NAME SIM EXTENSION [NAME SIM EXTENSION ...]
Each NAME SIM EXTENSION triple is one host to run the examples on (SIM may be a command with
arguments, such as "wine pelto-sim.exe"). Prints one line per example and host and a closing
summary; exits 1 when an example failed."""

import shlex
import sys

import pelto_examples as pe


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def expect_report(rep, checks=None, boots=1):
    expect(rep["valid"], "no report at 0x9F00: the program never started")
    expect(rep["result"] == pe.REPORT_PASSED,
           f"result 0x{rep['result']:02X}, first failed check {rep['failed']}, {rep['checks']} checks passed")
    if checks is not None:
        expect(rep["checks"] == checks, f"{rep['checks']} checks passed, expected {checks}")
    expect(rep["boots"] == boots, f"{rep['boots']} starts, expected {boots}")


def check_settings(sim, ext, hex_dir):
    res, _ = pe.run(sim, ext, f"{hex_dir}/settings.hex",
                    [f"xdata:0x{pe.REPORT_ADDRESS:04X}:0x{pe.REPORT_SIZE:02X}", "code:0xAF00:256",
                     "code:0x7F00:256", "xdata:0xAF00:256"])
    rep = pe.report(res)
    expect_report(rep, checks=8, boots=3)
    flash = pe.dump(res, "code:0xAF00:256")
    expect(flash == pe.dump(res, "code:0x7F00:256"), "the two views of DFLASH 0 differ")
    slots = [flash[i * 32:(i + 1) * 32] for i in range(pe.STORE_SLOTS)]
    records = [pe.decode_record(s) for s in slots]
    versions = [r["version"] if r else None for r in records]
    # Sector 8 erased and rewritten with record 8; sector 9: 5, cut-off write, 6, 7.
    expect(versions == [8, None, None, None, 5, None, 6, 7], f"record versions by slot {versions}")
    for i in (1, 2, 3, 5):
        expect(slots[i] == bytes(32), f"slot {i} should read erased")
    shadow = pe.dump(res, "xdata:0xAF00:256")
    expect(all(b & 0x10 for b in shadow[5 * 32:6 * 32]),
           "the cut-off write should have left valid ECC check bits in slot 5's shadow")
    expect(all(b == 0 for b in shadow[32:128]), "erased slots 1-3 should have a cleared ECC shadow")
    expect(records[0]["label"] == "day mode, 19200 baud" and records[0]["boot"] == 3, f"record 8 is {records[0]}")
    expect(rep["bytes"][0x40:0x60] == slots[0], "the reported final record differs from the flash")
    return "8 firmware checks; records 5-8 in flash; the cut-off write's slot is erased with ECC bits set"


def check_arith(sim, ext, hex_dir):
    res, _ = pe.run(sim, ext, f"{hex_dir}/arith.hex", [f"xdata:0x{pe.REPORT_ADDRESS:04X}:0x{pe.REPORT_SIZE:02X}"])
    rep = pe.report(res)
    if rep["valid"] and rep["failed"]:
        got = int.from_bytes(rep["bytes"][8:12], "little")
        want = int.from_bytes(rep["bytes"][12:16], "little")
        raise Failure(f"check {rep['failed']} got 0x{got:08X}, expected 0x{want:08X}")
    expect_report(rep)
    expect(rep["checks"] >= 100, f"only {rep['checks']} checks ran")
    return f"{rep['checks']} firmware checks of the integer and floating-point routines"


def check_driver(sim, ext, hex_dir):
    res, _ = pe.run(sim, ext, f"{hex_dir}/driver.hex",
                    [f"xdata:0x{pe.REPORT_ADDRESS:04X}:0x{pe.REPORT_SIZE:02X}", "code:0x5000:128", "xdata:0x5000:128",
                     "code:0x5E00:64", "code:0xB040:32", "code:0x6040:32"])
    rep = pe.report(res)
    expect_report(rep, checks=26)
    expect(pe.dump(res, "code:0x5000:128") == bytes(128), "0x5000-0x507F should be erased at the end")
    expect(pe.dump(res, "xdata:0x5000:128") == bytes(128), "the ECC shadow of 0x5000-0x507F should be cleared")
    expect(pe.dump(res, "code:0x5E00:64") == bytes(64), "0x5E00-0x5E3F should be erased at the end")
    pattern = bytes((i * 7 + 17) & 0xFF for i in range(32))
    expect(pe.dump(res, "code:0xB040:32") == pattern, "DFLASH 1 at 0xB040 does not hold the programmed block")
    expect(pe.dump(res, "code:0x6040:32") == pattern, "DFLASH 1 at 0x6040 does not hold the programmed block")
    return "26 firmware checks; final flash contents as expected"


EXAMPLES = [("settings", check_settings), ("arith", check_arith), ("driver", check_driver)]


def main(argv):
    if len(argv) < 5 or (len(argv) - 2) % 3 != 0:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    hex_dir = argv[1]
    hosts = [argv[i:i + 3] for i in range(2, len(argv), 3)]
    passed = failed = 0
    for host, sim, ext in hosts:
        for name, check in EXAMPLES:
            try:
                detail = check(shlex.split(sim), ext, hex_dir)
                print(f"PASS {name} ({host}): {detail}", flush=True)
                passed += 1
            except (Failure, pe.SimError) as e:
                print(f"FAIL {name} ({host}): {e}", flush=True)
                failed += 1
    print(f"examples: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
