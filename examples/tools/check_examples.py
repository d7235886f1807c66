#!/usr/bin/env python3
"""Runs every example firmware on pelto-sim with the flash extension and checks its outcome.

usage: check_examples.py HEX_DIR NAME SIM EXTENSION [NAME SIM EXTENSION ...]
Each NAME SIM EXTENSION triple is one host to run the examples on (SIM may be a command with
arguments, such as "wine pelto-sim.exe"). Prints one line per example and host and a closing
summary; exits 1 when an example failed."""

import json
import pathlib
import re
import shlex
import subprocess
import sys
import tempfile

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


def check_power_cuts(cuts, ops, boots):
    """Each cut fell into the operation it is meant for, the last one its start began."""
    for n, (cycle, kind, note) in enumerate(cuts):
        hit = [o for o in ops if o["cut"] == cycle]
        expect(len(hit) == 1, f"the power cut at cycle {cycle} ({note}) cut off no flash operation; "
                              "choose the cycles again (examples/settings/power-cuts)")
        op = hit[0]
        wanted = kind.split("-")[0]
        expect(op["kind"] == wanted and (kind != "erase-phase-2" or (op["phase2"] and op["phase2"] <= cycle)),
               f"the power cut at cycle {cycle} hit the {op['kind']} operation"
               f"{' in phase 2' if op['phase2'] else ''}, not {kind} ({note})")
        expect(n < len(boots) and boots[n]["ops"] and boots[n]["ops"][-1][0] == wanted,
               f"boot {n + 1}'s serial log does not end with the {wanted} the cut at cycle {cycle} hit")


def check_settings(sim, ext, hex_dir):
    cuts = pe.power_cuts()
    res, trace = pe.run(sim, ext, f"{hex_dir}/settings.hex",
                        [f"xdata:0x{pe.REPORT_ADDRESS:04X}:0x{pe.REPORT_SIZE:02X}", "code:0xAF00:256",
                         "code:0x7F00:256", "xdata:0xAF00:256"], pe.power_cut_options(cuts) + ["--trace=registers"])
    expect(res.get("power_cuts") == len(cuts), f"pelto-sim reports {res.get('power_cuts')} power cuts, expected {len(cuts)}")
    rep = pe.report(res)
    # The last start found no report from before it: the cut refilled the RAM.
    expect_report(rep, checks=5, boots=1)
    try:
        boots, end = pe.settings_log(pe.serial_lines(res))
    except ValueError as e:
        raise Failure(f"serial log: {e}")
    expect(len(boots) == len(cuts) + 1, f"the serial log shows {len(boots)} starts, expected {len(cuts) + 1}")
    ops, _ = pe.flash_operations(trace, [c for c, _, _ in cuts])
    expect(len(ops) == sum(len(b["ops"]) for b in boots),
           f"the trace shows {len(ops)} flash operations, the serial log {sum(len(b['ops']) for b in boots)}")
    check_power_cuts(cuts, ops, boots)

    # What each start found and did, from its log.
    scans = [b["scan"] for b in boots]
    expect(scans[0] == {"version": 0, "slot": None, "valid": 0, "blank": 0xFF, "ecc": 0},
           f"boot 1 should find an empty store, found {scans[0]}")
    expect(scans[1] == {"version": 5, "slot": 4, "valid": 0x1F, "blank": 0xC0, "ecc": 0x20},
           f"boot 2 should find record 5 in slot 4 and an ECC error in slot 5 (the cut-off write), found {scans[1]}")
    expect(scans[2] == {"version": 7, "slot": 7, "valid": 0xDF, "blank": 0, "ecc": 0x20},
           f"boot 3 should find record 7 and records 1-4 still in sector 8 (the cut-off erase erased nothing), "
           f"found {scans[2]}")
    expect([b["ops"] for b in boots] == [[("program", s) for s in range(6)],
                                         [("program", 6), ("program", 7), ("erase", 8)],
                                         [("erase", 8), ("program", 0)]],
           f"flash operations by boot {[b['ops'] for b in boots]}")
    expect(end == {"version": 8, "slot": 0, "valid": 0xD1, "blank": 0x0E, "ecc": 0x20}, f"the end scan {end}")

    # The flash: sector 8 erased and rewritten with record 8; sector 9: 5, cut-off write, 6, 7.
    flash = pe.dump(res, "code:0xAF00:256")
    expect(flash == pe.dump(res, "code:0x7F00:256"), "the two views of DFLASH 0 differ")
    slots = [flash[i * 32:(i + 1) * 32] for i in range(pe.STORE_SLOTS)]
    records = [pe.decode_record(s) for s in slots]
    found = [(r["version"], r["nth"]) if r else None for r in records]
    # (version, write number within its start): boot 1 wrote 1-5, boot 2 6 and 7, boot 3 8.
    expect(found == [(8, 1), None, None, None, (5, 5), None, (6, 1), (7, 2)], f"(record, write) by slot {found}")
    for i in (1, 2, 3, 5):
        expect(slots[i] == bytes(32), f"slot {i} should read erased")
    shadow = pe.dump(res, "xdata:0xAF00:256")
    expect(all(b & 0x10 for b in shadow[5 * 32:6 * 32]),
           "the cut-off write should have left valid ECC check bits in slot 5's shadow")
    expect(all(b == 0 for b in shadow[32:128]), "erased slots 1-3 should have a cleared ECC shadow")
    expect(records[0]["label"] == "day mode, 19200 baud", f"record 8 is {records[0]}")
    expect(rep["bytes"][0x20:0x40] == slots[7], "the reported record before differs from slot 7 (record 7)")
    expect(rep["bytes"][0x40:0x60] == slots[0], "the reported final record differs from the flash")
    return (f"5 firmware checks; power cut at cycles {', '.join(str(c) for c, _, _ in cuts)}; "
            "boots 2 and 3 found records 5 and 7; records 5-8 in flash")


def check_interrupts(sim, ext, hex_dir):
    area = f"xdata:0x{pe.REPORT_ADDRESS:04X}:0x{pe.REPORT_SIZE:02X}"
    res, _ = pe.run(sim, ext, f"{hex_dir}/interrupts.hex", [area, "code:0xB000:1024", "xdata:0xB000:1024"])
    rep = pe.report(res)
    expect_report(rep, checks=5)
    expect(res["end"] == "halted", f"the run ended as {res['end']}")
    r = rep["bytes"]
    nmis = r[0x06]
    program_ticks, program_wakeups, erase_ticks, erase_wakeups = (
        int.from_bytes(r[a:a + 2], "little") for a in (0x08, 0x0A, 0x0C, 0x0E))
    log = pe.serial_lines(res)
    tick = re.match(r"^interrupts: tick every (\d+) cycles, flash completion by NMI$", log[0]) if log else None
    expect(tick, f"serial log starts with {log[:1]}")
    tick_cycles = int(tick.group(1))

    def ms(ticks):
        return f"{ticks * tick_cycles // 1000}.{ticks * tick_cycles % 1000 // 10:02d} ms"

    expected_log = [
        log[0],
        f"program 0xB040: NMI after {program_ticks} ticks ({ms(program_ticks)}), {program_wakeups} wake-ups",
        "read back: ok",
        f"erase 0xB000-0xB3FF: NMI after {erase_ticks} ticks ({ms(erase_ticks)}), {erase_wakeups} wake-ups",
        "sector reads erased: yes",
    ]
    expect(log[:-1] == expected_log, f"serial log {log}, expected {expected_log} and a closing line")
    expect(re.match(rf"^{nmis} NMIs, \d+ ticks in all: passed$", log[-1]), f"closing serial line {log[-1]!r}")
    expect(nmis == 2, f"{nmis} NMIs taken, expected one per operation")
    # The tick counts measure the operations: the ROM returns a few hundred cycles after the start.
    for what, ticks, wakeups, cycles in (("program", program_ticks, program_wakeups, pe.PROGRAM_CYCLES),
                                         ("erase", erase_ticks, erase_wakeups, sum(pe.ERASE_PHASE_CYCLES))):
        expect(abs(ticks - cycles / tick_cycles) <= 2,
               f"{what}: NMI after {ticks} ticks of {tick_cycles} cycles, the operation takes {cycles} cycles")
        # Idle ends at every tick and at the NMI.
        expect(ticks <= wakeups <= ticks + 2, f"{what}: {wakeups} wake-ups from idle in {ticks} ticks")
    expect(pe.dump(res, "code:0xB000:1024") == bytes(1024), "DFLASH 1 sector 0 should read erased at the end")
    expect(pe.dump(res, "xdata:0xB000:1024") == bytes(1024), "DFLASH 1 sector 0's ECC shadow should be cleared")
    return (f"5 firmware checks; NMI after {program_ticks} and {erase_ticks} ticks of {tick_cycles} cycles; "
            "serial log as expected")


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


def check_settings_sweep(sim, ext, hex_dir):
    """A power cut at any moment that matters leaves a store the next start reads back."""
    # Torn cells that read differently each time (--metastable) must not fool it either.
    for cells in ([], ["--metastable"]):
        res, _ = pe.run(sim, ext, f"{hex_dir}/settings.hex", extra=["--expect", pe.REPORT_PASSED_EXPECTATION,
                                                                   "--power-cut-sweep"] + cells)
        operations = res["recording"]["operations"]
        expect(len(operations) > 0, "the uncut run recorded no flash operation")
        expect(res["tried"] == res["cut_points"] and res["cut_points"] > len(operations),
               f"{res['tried']} of {res['cut_points']} cut points tried for {len(operations)} operations")
        expect(res["cut_model"] == "torn" and res["runs"] > res["tried"], f"cuts inside operations torn: {res['runs']} runs")
        expect(res["sweep"]["metastable"] == bool(cells), f"the sweep's metastable is {res['sweep']['metastable']}")
        failures = [f"cycle {f['cycle']} ({f['operation']}, torn {f['torn']})" for f in res["failures"]]
        expect(res["failed"] == 0 and not failures, f"{' '.join(cells)} {res['failed']} cuts failed: {', '.join(failures[:5])}")
    return (f"{res['cut_points']} cut points pass in {res['passed']} runs with torn operations, metastable or not "
            f"({len(operations)} flash operations)")


README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
DEMO_CLOCK = 12_000_000  # scripts/demo's --clock


def readme_block(after):
    """The first fenced block of the README after the text `after`, as its lines."""
    text = README.read_text()
    at = text.find(after)
    expect(at >= 0, f"the README no longer says {after!r}")
    start = text.index("```", at)
    start = text.index("\n", start) + 1
    return text[start:text.index("```", start)].splitlines()


def run_text(sim, ext, args):
    """pelto-sim's standard output and error, as text (files rather than pipes, as pe.run)."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        code = subprocess.run(list(sim) + ["--ext", ext] + args, stdout=out, stderr=err, stdin=subprocess.DEVNULL).returncode
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    expect(code == 0, f"pelto-sim {' '.join(args)} exited with {code}")
    return stdout, stderr


def check_readme(sim, ext, hex_dir):
    """The outputs the README quotes are what pelto-sim prints today."""
    summary, _ = run_text(sim, ext, [f"{hex_dir}/settings.hex"])
    quoted = readme_block("It prints the CPU registers at the end")
    expect(summary.splitlines()[:len(quoted)] == quoted,
           f"the settings run's summary is now {summary.splitlines()[:1]}, the README quotes {quoted[:1]}")
    driver, _ = run_text(sim, ext, [f"{hex_dir}/driver.hex", "--json", "--sfr", "NMISTAT", "--dump", "xdata:0x9F00:6"])
    sample = [l for l in readme_block("examples' outcome is checked") if l.startswith("{")]
    expect(len(sample) == 1 and json.loads(sample[0]) == json.loads(driver),
           f"the driver's JSON is now {driver.strip()[:120]}..., not the README's sample")
    result = json.loads(driver)
    closing = f"The driver example ends at pc 0x{result['pc']:04X} after {result['cycles']} cycles."
    expect(closing in README.read_text(), f"the README should say: {closing}")
    cuts = pe.power_cut_options(pe.power_cuts())
    _, trace = run_text(sim, ext, [f"{hex_dir}/settings.hex", "--trace"] + cuts)
    missing = [l for l in readme_block("the completion signal. From the settings example") if l not in trace.splitlines()]
    expect(not missing, f"the README's trace lines are not in the trace: {missing[:2]}")
    demo = demo_output(sim, ext, hex_dir, cuts)
    shown = [l for l in readme_block("## What the demo shows") if l.strip() != "..."]
    missing = [l for l in shown if l not in demo]
    expect(not missing, f"the README's demo lines are not in the demo's output: {missing[:2]}")
    return "the demo table, the settings summary, the driver's JSON and closing line, the trace excerpt"


def demo_output(sim, ext, hex_dir, cuts):
    """The lines scripts/demo prints for the settings run's report and the interrupts example."""
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        result, trace = run_text(sim, ext, [f"{hex_dir}/settings.hex", "--clock", str(DEMO_CLOCK), "--trace=registers",
                                            "--json", "--dump", "xdata:0x9F00:0x100",
                                            "--serial-out", str(work / "settings.serial")] + cuts)
        (work / "settings.json").write_text(result)
        (work / "settings.trace").write_text(trace)
        report = subprocess.run([sys.executable, str(pathlib.Path(__file__).with_name("settings_report.py")),
                                 str(work / "settings.json"), str(work / "settings.trace"), str(DEMO_CLOCK)],
                                capture_output=True, text=True)
        expect(report.returncode == 0, f"settings_report.py failed: {report.stderr.strip()[-300:]}")
        run_text(sim, ext, [f"{hex_dir}/interrupts.hex", "--clock", str(DEMO_CLOCK),
                            "--serial-out", str(work / "interrupts.serial")])
        serial = (work / "interrupts.serial").read_text(errors="replace").splitlines()
    return report.stdout.splitlines() + ["  " + l for l in serial]


EXAMPLES = [("settings", check_settings), ("settings-sweep", check_settings_sweep), ("arith", check_arith), ("driver", check_driver),
            ("interrupts", check_interrupts), ("readme", check_readme)]


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
            except (Failure, pe.SimError, ValueError, OSError) as e:
                print(f"FAIL {name} ({host}): {e}", flush=True)
                failed += 1
    print(f"examples: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
