#!/usr/bin/env python3
"""End-to-end cases of expectations (--expect, --expect-serial), the power-loss sweep
(--power-cut-sweep, --shard, --sweep-svg) and the flash lint (--lint), on small programs."""
import argparse
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

parser = argparse.ArgumentParser()
parser.add_argument("--sim", required=True, nargs="+", help="command that runs pelto-sim")
parser.add_argument("--ext", required=True)
parser.add_argument("--programs", required=True, help="folder with the assembled .ihx files")
parser.add_argument("--crash-lib", help="an extension that crashes when started after a power cut")
args = parser.parse_args()
UNDER_WINE = any("wine" in os.path.basename(part) for part in args.sim[:-1])

passed = failed = 0


def report(ok, name, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print(f"PASS {name}")
    else:
        failed += 1
        print(f"FAIL {name}: {detail}")


def run(extra, timeout=600):
    result = subprocess.run(args.sim + extra, capture_output=True, text=True, timeout=timeout)
    return result.returncode, result.stdout, result.stderr


def prog(name):
    return os.path.join(args.programs, name + ".ihx")


def run_json(extra):
    code, out, err = run(extra + ["--json"])
    try:
        return code, json.loads(out), err
    except ValueError:
        return code, None, err


# ---- expectations: met, unmet (exit 3, expected and found), malformed (exit 2) ----
# name, program, options, exit status, unmet [(expected, found)]
EXPECTATIONS = [
    ("memory and serial met", "serial_hello", ["--expect", "xdata:0x9F00=0x42", "--expect-serial", "OK\\n"], 0, []),
    ("bytes from an address met", "naive_store", ["--ext", args.ext, "--expect", "code:0xAF00=0x5A,0x02,0x00"], 0, []),
    ("memory unmet", "serial_hello", ["--expect", "xdata:0x9EFF=0x00,0x41"], 3, [("xdata:0x9EFF=0x00,0x41", "0x00,0x42")]),
    ("serial unmet", "serial_hello", ["--expect-serial", "KO", "--expect", "idata:0x07=0x00"], 3,
     [('serial "KO"', 'serial "OK\\n"')]),
]
for name, program, extra, status, unmet in EXPECTATIONS:
    code, data, err = run_json(extra + [prog(program)])
    got = [(u["expected"], u["found"]) for u in data["expect"]["unmet"]] if data else None
    checked = data["expect"]["checked"] if data else None
    want_checked = sum(1 for e in extra if e.startswith("--expect"))
    report(code == status and got == unmet and checked == want_checked, f"expectations: {name}",
           f"exit {code}, unmet {got}, checked {checked}, stderr {err.strip()[:200]!r}")

MALFORMED = [
    (["--expect", "xdata:0x9F00"], "SPACE:ADDR=VALUE"),
    (["--expect", "flash:0x10=0x01"], "unknown space"),
    (["--expect", "xdata:0x9F00=0x100"], "bytes"),
    (["--expect", "xdata:0x9F00=0x01,"], "bytes"),
    (["--expect", "idata:0xFF=0x01,0x02"], "past the end"),
    (["--expect", "xdata:0x10000=0x01"], "address"),
    (["--expect-serial", "bad\\q"], "escape"),
    (["--expect-serial", "bad\\x4"], "two hex digits"),
]
for extra, mention in MALFORMED:
    code, out, err = run(extra + [prog("serial_hello")])
    first = err.splitlines()[0] if err else ""
    report(code == 2 and mention in first and out == "", f"malformed {' '.join(extra)}", f"exit {code}, stderr {first!r}")

# ---- the sweep over a store that rewrites its record in place ----
# Today's model first: an interrupted operation leaves nothing (the torn model below).
NAIVE = ["--ext", args.ext, prog("naive_store"), "--cut-model", "atomic", "--expect", "xdata:0x9F00=0x02"]
code, sweep, err = run_json(NAIVE + ["--power-cut-sweep", "--jobs", "2"])
if sweep is None:
    report(False, "naive store sweep", f"exit {code}, stderr {err.strip()[:300]!r}")
    sys.exit(1)
ops = sweep["recording"]["operations"]
erase = next(o for o in ops if o["operation"].startswith("erase"))
program = next(o for o in ops if o["operation"].startswith("program"))
cuts = [c["cycle"] for c in sweep["cuts"]]
failing = [f["cycle"] for f in sweep["failures"]]
# A cut loses the record from the erase's commit on until the program's commit.
window = [c for c in cuts if erase["end"] <= c < program["end"]]
report(code == 3 and failing == window and failing[0] == erase["end"] + 1 and failing[-1] == program["start"] + 1,
       "naive store: the failing cuts are exactly those between the erase and the program commit",
       f"exit {code}, failing {failing[:3]}..{failing[-3:]}, erase {erase}, program {program}")
report(sweep["tried"] == len(cuts) == sweep["cut_points"] and sweep["failed"] == len(failing)
       and sweep["passed"] == len(cuts) - len(failing) and len(set(cuts)) == len(cuts),
       "naive store: counts agree", json.dumps({k: sweep[k] for k in ("cut_points", "tried", "passed", "failed")}))
# One cut per persistent change: erase commit, 32 captures, program commit; plus both starts
# and the ROM images written at start-up.
report(len(cuts) == 1 + 1 + 1 + 32 + 1 + 1, "naive store: one cut point per change and per operation start", f"{len(cuts)} cuts")
names = {f["cycle"]: f["operation"] for f in sweep["failures"]}
report(names.get(erase["end"] + 1) == "between operations" and names.get(program["start"] + 1) == "program of block 0xAF00"
       and erase["operation"] == "erase of DFLASH 0 sector 8",
       "naive store: the operation in progress is named", f"{names.get(erase['end'] + 1)!r}, {names.get(program['start'] + 1)!r}")
unmet = sweep["failures"][0]["unmet"]
report(unmet == [{"expected": "xdata:0x9F00=0x02", "found": "0xEE"}], "naive store: the unmet expectation", repr(unmet))

# The window's edges, cut one at a time: the reproduce command of a failure, and its neighbours.
command = shlex.split(sweep["failures"][0]["command"])
code_repro, _, _ = run(command[1:])
report(command[-2:] == ["--power-cut-at", str(erase["end"] + 1)] and code_repro == 3,
       "naive store: the reproduce command fails the same way", f"{command[-4:]} exit {code_repro}")
# An expiry due at a cycle runs before a reset at the same boundary, so the window is
# [erase end, program end); the wait loop's instructions take at most two cycles, so a cut two
# cycles before an end falls on a boundary before it.
for cycle, status in [(erase["end"] - 2, 0), (erase["end"], 3), (program["end"] - 2, 3), (program["end"], 0)]:
    code_one, _, _ = run(NAIVE + ["--power-cut-at", str(cycle)])
    report(code_one == status, f"naive store: one cut at cycle {cycle} exits {status}", f"exit {code_one}")

# Cuts inside the erase are named with their phase.
phases = [c["cycle"] for c in sweep["cuts"] if erase["start"] < c["cycle"] <= erase["end"]]
report(len(phases) == 1, "naive store: the erase start is a cut point", f"{phases}")

# ---- nothing of the flash controller survives a power cut ----
# The erase that a cut ends leaves no timer behind: the next boot waits past the first phase's end
# and still finds FPHASE2 at its reset value. A plain reset keeps the extension's timer running.
PHANTOM = ["--ext", args.ext, prog("cut_phantom_phase"), "--expect", "xdata:0x9F00=0x00"]
for option, status in (("--power-cut-at", 0), ("--reset-at", 3)):
    code_p, _, _ = run(PHANTOM + [option, "140000"])
    report(code_p == status, f"phantom phase: {option} inside the erase's first phase exits {status}", f"exit {code_p}")
code_p, out, _ = run(PHANTOM + ["--power-cut-sweep", "--jobs", "2"])
report(code_p == 0, "phantom phase: the sweep finds no phase of an erase that was cut off", out.strip()[-300:])
def commit_window(sweep):
    """A sweep's cut points from its erase's commit to its program's, and its failing cuts."""
    erase, program = sweep["recording"]["operations"]
    return ([c["cycle"] for c in sweep["cuts"] if erase["end"] <= c["cycle"] < program["end"]],
            [f["cycle"] for f in sweep["failures"]])


# Bytes captured before a cut are gone: a recovery that programs 2 of 32 bytes loses the rest,
# whether the cut came before or after the update's captures.
code_c, short, err = run_json(["--ext", args.ext, prog("cut_short_recovery"), "--cut-model", "atomic",
                               "--expect", "code:0xAF00=0x5A,0x02,0x10", "--power-cut-sweep", "--jobs", "2"])
if short is None:
    report(False, "stale captures", f"exit {code_c}, {err.strip()[:300]!r}")
else:
    s_window, s_failing = commit_window(short)
    report(code_c == 3 and s_failing == s_window and len(s_window) > 2,
           "stale captures: every cut from the erase's commit to the program's fails, captures done or not",
           f"failing {len(s_failing)} {s_failing[:3]}, window {len(s_window)}")

# ---- every cut that fails alone fails in the sweep ----
# A flag in the ECC shadow is kept by a cut: the sweep cuts after the program's write of it.
code_f, flag, err = run_json(["--ext", args.ext, prog("cut_shadow_flag"), "--expect", "xdata:0x9F00=0x02",
                              "--power-cut-sweep", "--jobs", "2"])
f_ops = flag["recording"]["operations"] if flag else []
f_failing = [f["cycle"] for f in flag["failures"]] if flag else []
report(code_f == 3 and len(f_failing) == 1 and f_ops and f_failing[0] > f_ops[-1]["end"],
       "shadow flag: the cut after the flag's write fails, after the last operation", f"exit {code_f}, failing {f_failing}, {err[:200]!r}")
# --expect-serial looks at what the boot after the cut sent, not at an earlier boot's "OK".
code_s, serial, err = run_json(["--ext", args.ext, prog("cut_serial_boot"), "--cut-model", "atomic", "--expect-serial", "OK",
                                "--power-cut-sweep", "--jobs", "2"])
if serial is None:
    report(False, "serial after the cut", f"exit {code_s}, {err.strip()[:300]!r}")
else:
    v_window, v_failing = commit_window(serial)
    report(code_s == 3 and v_failing == v_window and serial["failures"][0]["unmet"][0]["found"] == 'serial "LOST\\n"',
           "serial after the cut: an earlier boot's text does not meet the expectation",
           f"exit {code_s}, failing {len(v_failing)}, window {len(v_window)}, {serial['failures'][:1]}")
# The lint runs after each cut: a recovery that programs 2 of 32 bytes fails the sweep under
# --lint=error, and its reproducer lints the same way.
code_l, linted, err = run_json(["--ext", args.ext, prog("cut_short_recovery"), "--cut-model", "atomic", "--expect", "xdata:0x9F00=0x02",
                                "--lint=error", "--power-cut-sweep", "--jobs", "2"])
if linted is None:
    report(False, "lint after the cut", f"exit {code_l}, {err.strip()[:300]!r}")
else:
    l_window, l_failing = commit_window(linted)
    first = linted["failures"][0] if linted["failures"] else {}
    report(code_l == 3 and l_failing == l_window and first.get("lint", [{}])[0].get("name") == "program-short"
           and first["lint"][0]["cycle"] >= first["cycle"] and "--lint=error" in first["command"],
           "lint after the cut: each cut whose recovery programs a short block fails under --lint=error",
           f"exit {code_l}, failing {len(l_failing)}, window {len(l_window)}, {first}")
    code_r, _, _ = run(shlex.split(first.get("command", "x"))[1:])
    report(code_r == 4, "lint after the cut: the reproducer fails on the lint", f"exit {code_r}")
code_w, warned, _ = run(["--ext", args.ext, prog("cut_short_recovery"), "--expect", "xdata:0x9F00=0x02",
                         "--lint", "--power-cut-sweep", "--jobs", "2"])
report(code_w == 0 and "lint after the cut at cycle" in warned, "lint after the cut: reported, not failed, without =error",
       f"exit {code_w}, {warned.strip()[-300:]!r}")

# Cut runs are the recorded scenario: no cut or reset of their own, a budget counted from the cut.
for option in ("--power-cut-at", "--reset-at"):
    code_a, _, err = run(NAIVE + ["--power-cut-sweep", option, "100"])
    report(code_a == 2 and option in err and "--power-cut-sweep" in err, f"{option} with --power-cut-sweep refused", f"exit {code_a} {err!r}")
code_m, _, err = run(["--ext", args.ext, prog("naive_store"), "--power-cut-at", "2439100", "--max-cycles", "1000000"])
report(code_m == 0, "--max-cycles counts from the last power cut", f"exit {code_m} {err!r}")
code_m, _, err = run(["--ext", args.ext, prog("naive_store"), "--cut-model", "atomic", "--power-cut-at", "5000",
                      "--max-cycles", "3000"])
report(code_m == 1 and "3000 cycles after the power cut at cycle 5000" in err, "a run that does not halt names the cut it counts from",
       f"exit {code_m} {err!r}")
code_n, _, err = run([prog("serial_hello"), "--expect-serial", "OK", "--power-cut-sweep"])
report(code_n == 2 and "no flash operation" in err and "--ext" in err, "a sweep without flash operations is a usage error",
       f"exit {code_n} {err!r}")

# ---- torn operations ----
def torn_state(program, cycle, seed, dump):
    """What a cut at `cycle` with torn variant `seed` leaves, before the next boot runs."""
    code_t, data, _ = run_json(["--ext", args.ext, prog(program), "--power-cut-at", str(cycle), "--torn-seed", str(seed),
                                "--max-cycles", "1", "--dump", dump])
    return bytes(data["dumps"][dump]) if data and code_t == 1 else None


def bits(data):
    return sum(bin(b).count("1") for b in data)


# The naive store under torn cuts fails from the erase's start on: a torn erase breaks the record.
code_t, torn, err = run_json(NAIVE[:3] + NAIVE[5:] + ["--power-cut-sweep", "--jobs", "2"])
if torn is None:
    report(False, "naive store, torn", f"exit {code_t}, {err.strip()[:300]!r}")
else:
    t_erase, t_program = torn["recording"]["operations"]
    inside = {c["cycle"] for c in torn["cuts"] if any(o["start"] < c["cycle"] < o["end"] for o in (t_erase, t_program))}
    t_failing = sorted({f["cycle"] for f in torn["failures"]})
    t_window = sorted({c["cycle"] for c in torn["cuts"] if t_erase["start"] < c["cycle"] < t_program["end"]})
    report(code_t == 3 and torn["cut_model"] == "torn" and t_failing == t_window and t_failing[0] == t_erase["start"] + 1,
           "naive store, torn: the failing cuts are exactly those from the erase's start to the program's commit",
           f"failing {t_failing[:3]}.., window {t_window[:3]}..")
    variants = sorted(c["torn"] for c in torn["cuts"] if c["cycle"] == t_erase["start"] + 1)
    report(variants == [0, 1, 2, 3] and all(c["torn"] is None for c in torn["cuts"] if c["cycle"] not in inside),
           "naive store, torn: a cut inside an operation runs the two extremes and 2 random variants, others once",
           f"{variants}")
    # What each variant leaves: one bit cleared, all but one bit cleared, a random subset.
    start = t_erase["start"] + 1
    record = torn_state("naive_store", start, 0, "code:0xAF00:128")
    most = torn_state("naive_store", start, 1, "code:0xAF00:128")
    randoms = [torn_state("naive_store", start, seed, "code:0xAF00:128") for seed in (2, 2, 3)]
    report(record is not None and bits(record) == bits(bytes([0x5A, 0x01])) - 1 and most is not None and bits(most) == 1
           and randoms[0] == randoms[1] and randoms[0] is not None,
           "torn erase: one bit cleared, all bits but one, and a random variant reproducible from its seed",
           f"{record and record[:2].hex()}, {most and bits(most)}, {[r and r[:2].hex() for r in randoms]}")
    program_start = t_program["start"] + 1
    new_bits = bits(bytes([0x5A, 0x02] + list(range(30))))
    one = torn_state("naive_store", program_start, 0, "code:0xAF00:32")
    all_but = torn_state("naive_store", program_start, 1, "code:0xAF00:32")
    report(one is not None and bits(one) == 1 and all_but is not None and bits(all_but) == new_bits - 1,
           "torn program: one new bit set, all new bits but one", f"{one and bits(one)}, {all_but and bits(all_but)} of {new_bits}")
    first = torn["failures"][0] if torn["failures"] else {}
    code_r, _, _ = run(shlex.split(first.get("command", "x"))[1:])
    report("--torn-seed" in first.get("command", "") and code_r == 3, "naive store, torn: a failure's command reproduces it",
           f"{first.get('command', '')[-60:]!r} exit {code_r}")

# A store that trusts its marker passes atomic cuts and fails torn ones; one that checks its
# record against a checksum passes both.
RECORD = "xdata:0x9F00=" + ",".join(f"0x{b:02X}" for b in [0x5A, 0x02] + list(range(0x10, 0x2D)) + [0xC2])
for program, model, status in [("torn_marker_store", "atomic", 0), ("torn_marker_store", "torn", 3),
                               ("torn_checked_store", "atomic", 0), ("torn_checked_store", "torn", 0)]:
    code_m, data, err = run_json(["--ext", args.ext, prog(program), "--expect", RECORD, "--power-cut-sweep", "--jobs", "2",
                                  "--cut-model", model])
    kinds = sorted({f["torn"] for f in data["failures"]}) if data else None
    report(code_m == status and (status == 0 or 1 in kinds), f"{program} under {model} cuts exits {status}",
           f"exit {code_m}, failing variants {kinds}, {err.strip()[:200]!r}")

# ---- --metastable: torn cells read anew at each MOVC until written again ----
# A store that commits its record with a one-bit marker and checks the marker on every access
# passes every torn cut: what a tear left reads alike each time. With --metastable a marker that a
# cut left half-programmed reads set at boot and clear later, and the store shows bytes missing.
META = ["--ext", args.ext, prog("metastable_commit_store"), "--expect", RECORD, "--power-cut-sweep", "--jobs", "2"]
code_p, plain, err_p = run_json(META)
code_m, meta, err_m = run_json(META + ["--metastable"])
if plain is None or meta is None:
    report(False, "metastable commit store", f"exit {code_p}/{code_m}, {err_p.strip()[:200]!r} {err_m.strip()[:200]!r}")
else:
    commit = meta["recording"]["operations"][-1]
    meta_failing = sorted((f["cycle"], f["torn"]) for f in meta["failures"])
    report(code_p == 0 and plain["failed"] == 0 and code_m == 3 and meta_failing and
           all(commit["start"] < cycle < commit["end"] and torn is not None for cycle, torn in meta_failing),
           "metastable commit store: passes every torn cut, fails with --metastable inside the marker's program",
           f"exit {code_p}/{code_m}, failing {meta_failing}, marker program {commit['start']}-{commit['end']}")
    report(meta["sweep"]["metastable"] is True and plain["sweep"]["metastable"] is False and
           "--metastable" in meta["sweep"]["arguments"], "metastable commit store: the sweep's identity names --metastable",
           f"{meta['sweep']}")
    command = meta["failures"][0]["command"] if meta["failures"] else ""
    alone = shlex.split(command)[1:]
    code_r, _, _ = run(alone)
    code_n, _, _ = run([a for a in alone if a != "--metastable"])
    report("--metastable" in alone and "--torn-seed" in alone and code_r == 3 and code_n == 0,
           "metastable commit store: the reproducer fails alone, and passes without --metastable",
           f"{command[-80:]!r} exit {code_r}, without the flag {code_n}")
code_t, text, _ = run(META + ["--metastable"])
summary = text.strip().splitlines()[-1] if text.strip() else ""
report(code_t == 3 and "torn cells metastable" in summary, "metastable commit store: the report's summary says so", summary)

for bad, mention in ((["--cut-model", "partial"], "--cut-model"), (["--torn-seed", "x"], "--torn-seed"),
                     (["--torn-variants", "2"], "--power-cut-sweep"), (["--cut-model", "atomic", "--torn-seed", "3"], "torn"),
                     (["--power-cut-sweep", "--torn-seed", "3"], "--torn-seed"),
                     (["--cut-model", "atomic", "--metastable"], "--metastable")):
    code_b, _, err = run(NAIVE + bad)
    report(code_b == 2 and mention in err, f"{' '.join(bad)} refused", f"exit {code_b} {err.strip()!r}")

# ---- forked cut runs give the reports of cut runs started afresh ----
def without_timing(report_data):
    return {k: v for k, v in report_data.items() if k not in ("seconds", "cuts_per_second", "forked")}


for name, extra in [("naive store, torn", NAIVE[:3] + NAIVE[5:]),
                    ("marker store, torn", ["--ext", args.ext, prog("torn_marker_store"), "--expect", RECORD]),
                    ("commit store, metastable", ["--ext", args.ext, prog("metastable_commit_store"), "--expect", RECORD,
                                                  "--metastable"]),
                    ("lint after the cut", ["--ext", args.ext, prog("cut_short_recovery"), "--expect", "xdata:0x9F00=0x02",
                                            "--lint=error", "--cut-model", "atomic"]),
                    ("shadow flag, every 100000 cycles", ["--ext", args.ext, prog("cut_shadow_flag"), "--expect", "xdata:0x9F00=0x02",
                                                          "--sweep-every", "100000"]),
                    # More cut runs that never halt than jobs, before the recording knows their budget.
                    ("hang after the cut", ["--ext", args.ext, prog("hang_after_cut"), "--expect", "xdata:0x9F00=0x01",
                                            "--sweep-every", "20000"])]:
    code_f, by_fork, _ = run_json(extra + ["--power-cut-sweep", "--jobs", "2"])
    code_s, by_spawn, _ = run_json(extra + ["--power-cut-sweep", "--jobs", "2", "--sweep-spawn"])
    same = by_fork is not None and by_spawn is not None and without_timing(by_fork) == without_timing(by_spawn)
    # Windows has no fork: both sweeps start their cut runs afresh there.
    report(same and code_f == code_s and (by_fork["forked"] > 0 or UNDER_WINE) and by_spawn["forked"] == 0,
           f"{name}: forked and spawned cut runs give the same report",
           f"exit {code_f}/{code_s}, forked {by_fork and by_fork['forked']}/{by_spawn and by_spawn['forked']}")
hung = [f["cycle"] for f in (by_fork or {}).get("failures", []) if f["problem"].startswith("did not halt")]
report(code_f == 3 and len(hung) > 2, "hang after the cut: each cut run that never halts fails as not halted",
       f"exit {code_f}, not halted at {hung}")

# ---- --sweep-depth 2: each recovery after a cut is cut again at its own persistent changes ----
# Two journal stores: both recover from every single cut; the one whose recovery rewrites its
# journal in place (erase, then program) loses the record when that rewrite is cut in turn.
JOURNAL = ["--expect", "xdata:0x9F00=0x5A,0x02,0x33,0x8F", "--cut-model", "atomic", "--power-cut-sweep", "--jobs", "2"]
deep = {}
for program, depth, status in [("journal_store", 1, 0), ("journal_store", 2, 0), ("journal_refresh_store", 1, 0),
                               ("journal_refresh_store", 2, 3)]:
    code_d, data, err = run_json(["--ext", args.ext, prog(program)] + JOURNAL + ["--sweep-depth", str(depth)])
    deep[program, depth] = data
    seconds = [c for c in data["cuts"] if "second" in c] if data else []
    report(data is not None and code_d == status and data["sweep"]["depth"] == depth and data["second_cuts"] == len(seconds)
           and (len(seconds) > 0) == (depth == 2) and all(c["second"]["cycle"] > c["cycle"] for c in seconds),
           f"{program} at depth {depth} exits {status}",
           f"exit {code_d}, {data and data['second_cuts']} second cuts, {data and data['failed']} failed, {err.strip()[:200]!r}")
unsafe = deep.get(("journal_refresh_store", 2))
if unsafe and unsafe["failures"]:
    # Every failure is a second cut into the rewrite of the journal at 0xAF00 (its captures or its
    # program), after a first cut that left the slot at 0xAF80 broken: the record is lost (0xEE).
    first_cuts = {c["cycle"] for c in deep["journal_refresh_store", 1]["cuts"]}
    report(all(f["second"] and f["cycle"] in first_cuts and f["unmet"][0]["found"].startswith("0xEE,")
               and f["second"]["operation"] in ("between operations", "program of block 0xAF00") for f in unsafe["failures"]),
           "refreshing journal at depth 2: each failure is a first cut of the depth-1 sweep, then a cut in the journal's rewrite",
           json.dumps(unsafe["failures"][:1]))
    failure = unsafe["failures"][0]
    command = shlex.split(failure["command"])
    code_r, alone, _ = run_json(command[1:])
    cut_values = [command[i + 1] for i, a in enumerate(command) if a == "--power-cut-at"]
    report(cut_values == [str(failure["cycle"]), str(failure["second"]["cycle"])] and code_r == 3 and alone
           and alone["power_cuts"] == 2 and alone["expect"]["unmet"] == failure["unmet"],
           "refreshing journal at depth 2: the reproducer of a failure gives both cuts and fails the same way alone",
           f"{cut_values}, exit {code_r}, {alone and alone['expect']}")
    launch = failure["launch"]["args"]
    report([launch[i + 1] for i, a in enumerate(launch) if a == "--power-cut-at"] == cut_values
           and failure["launch"]["name"] == f"power cuts at cycles {cut_values[0]} and {cut_values[1]}",
           "refreshing journal at depth 2: the debugger's launch configuration gives both cuts", json.dumps(failure["launch"]))
    with tempfile.TemporaryDirectory() as tmp:
        whole = os.path.join(tmp, "whole.json")
        with open(whole, "w") as f:
            json.dump(unsafe, f)
        _, text, _ = run(["--sweep-merge", whole])
        fails = [line for line in text.splitlines() if line.startswith("FAIL")]
        report(fails and all(re.match(r"FAIL cut at cycle \d+ \([^)]*\), then at cycles? \d+(-\d+)? after reboot", line) for line in fails)
               and "cut again during the recovery" in text,
               "refreshing journal at depth 2: the text report names both cuts", f"{fails[:2]}")
else:
    report(False, "refreshing journal at depth 2: failures", "no failure to look at")
# The same verdicts forked and started afresh with both cuts, atomic and torn.
for name, extra, ran in [("refreshing journal", ["--ext", args.ext, prog("journal_refresh_store")] + JOURNAL, unsafe),
                         ("naive store, torn", NAIVE[:3] + NAIVE[5:] + ["--power-cut-sweep", "--jobs", "2"], None)]:
    code_f, by_fork, _ = (3 if ran and ran["failed"] else 0, ran, "") if ran else run_json(extra + ["--sweep-depth", "2"])
    code_s, by_spawn, _ = run_json(extra + ["--sweep-depth", "2", "--sweep-spawn"])
    same = by_fork is not None and by_spawn is not None and without_timing(by_fork) == without_timing(by_spawn)
    report(same and code_f == code_s == 3 and by_fork["second_cuts"] > 0 and (by_fork["forked"] > 0 or UNDER_WINE)
           and by_spawn["forked"] == 0, f"{name} at depth 2: forked and spawned cut runs give the same report",
           f"exit {code_f}/{code_s}, second cuts {by_fork and by_fork['second_cuts']}/{by_spawn and by_spawn['second_cuts']}")
code_d, _, err = run(NAIVE + ["--power-cut-sweep", "--sweep-depth", "3"])
report(code_d == 2 and "--sweep-depth" in err, "--sweep-depth 3 refused", f"exit {code_d} {err!r}")

# ---- --sweep-until: a cut run ends once the firmware has recovered ----
code_u, data, _ = run_json(["--ext", args.ext, prog("cut_serial_boot"), "--power-cut-at", "2442300", "--sweep-until", "serial:LOST"])
report(code_u == 0 and data and data["end"] == "stopped" and data["serial"].endswith("LOST"),
       "--sweep-until serial: the run ends once the boot after the cut has sent the text", f"exit {code_u}, {data and data['end']}")
code_u, data, _ = run_json(["--ext", args.ext, prog("naive_store"), "--cut-model", "atomic", "--power-cut-at", "100",
                            "--sweep-until", "xdata:0x9F00=0x02", "--dump", "xdata:0x9F00:1"])
report(code_u == 0 and data and data["end"] == "stopped" and data["dumps"]["xdata:0x9F00:1"] == [2],
       "--sweep-until memory: the run ends when the value is written", f"exit {code_u}, {data and (data['end'], data['cycles'])}")
UNTIL_SWEEP = NAIVE[:3] + NAIVE[5:] + ["--expect", "code:0xAF00=0x5A,0x02", "--power-cut-sweep", "--jobs", "2"]
code_a, whole, _ = run_json(UNTIL_SWEEP)
for until, name in (("xdata:0x9F00=0x02", "reached"), ("xdata:0x9F00=0x77", "never reached")):
    for spawn in ([], ["--sweep-spawn"]):
        code_b, stopped, _ = run_json(UNTIL_SWEEP + ["--sweep-until", until] + spawn)
        same = whole and stopped and [(c["cycle"], c["torn"], c["passed"]) for c in whole["cuts"]] == \
            [(c["cycle"], c["torn"], c["passed"]) for c in stopped["cuts"]]
        report(code_a == code_b == 3 and same and all(f"--sweep-until {until}" in f["command"] for f in stopped["failures"]),
               f"--sweep-until {name} at the report{' (spawned)' if spawn else ''}: the verdicts of the runs to the end",
               f"exit {code_a}/{code_b}")
code_u, _, err = run(["--ext", args.ext, prog("naive_store"), "--sweep-until", "pc:0x10"])
report(code_u == 2 and "--sweep-until" in err, "--sweep-until without a cut is refused", f"exit {code_u} {err!r}")
code_u, _, err = run(["--ext", args.ext, prog("naive_store"), "--power-cut-at", "5", "--sweep-until", "pc:x"])
report(code_u == 2 and "pc:" in err, "--sweep-until pc: needs an address", f"exit {code_u} {err!r}")

# ---- signals, crashes and outputs that cannot be written ----
# The first SIGINT or SIGTERM stops the sweep: a report of what was done, marked, and no cut run
# left behind (forked ones have the sweep's own command line, spawned ones the program's name).
# Forked cut runs pace the recording run (2 at a time, each a whole boot), so a signal 3 s in lands
# while it records: the report covers the forked runs that had ended, of the cut points reached.
with tempfile.TemporaryDirectory() as tmp:
    # signal, exit status, options, --json, the recording run interrupted (forked cut runs)
    stops = [(signal.SIGINT, 130, [], False, not UNDER_WINE), (signal.SIGINT, 130, ["--sweep-depth", "2"], False, not UNDER_WINE)]
    # Under Wine a SIGTERM ends the Windows process at once, as Windows itself has no such signal.
    if not UNDER_WINE:
        stops += [(signal.SIGTERM, 143, [], True, True), (signal.SIGTERM, 143, ["--sweep-spawn"], False, False)]
    for number, (signal_number, status, spawn, as_json, in_recording) in enumerate(stops):
        name = signal.Signals(signal_number).name
        unique = os.path.join(tmp, f"interrupted_{number}_{name}.ihx")
        svg = unique + ".svg"
        shutil.copy(prog("naive_store"), unique)
        sweep_proc = subprocess.Popen(args.sim + ["--ext", args.ext, unique, "--expect", "xdata:0x9F00=0x02", "--cut-model", "atomic",
                                                  "--power-cut-sweep", "--sweep-every", "2000", "--jobs", "2", "--sweep-svg", svg]
                                      + spawn + (["--json"] if as_json else []),
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(3)
        sweep_proc.send_signal(signal_number)
        out, err = sweep_proc.communicate(timeout=120)
        time.sleep(0.5)
        left = subprocess.run(["pgrep", "-f", unique], capture_output=True, text=True).stdout.split()
        if as_json:
            try:
                data = json.loads(out)
                done, planned = data["runs"], data["planned"]
                marked = data["stopped"] == f"interrupted by {name}" and len(data["cuts"]) == done
                recording_end = data["recording"]["end"]
            except (ValueError, KeyError):
                done = planned = recording_end = None
                marked = False
        else:
            mark = re.search(rf"^sweep: interrupted by {name} after (\d+) of (\d+) cut runs$", out, re.M)
            tried = re.search(r"^sweep: (\d+) cut points tried(?: in \d+ cut runs \([^)]*\))?, (\d+) passed, (\d+) failed", out, re.M)
            done, planned = (int(mark[1]), int(mark[2])) if mark else (None, None)
            marked = bool(mark and tried) and int(tried[2]) + int(tried[3]) == done
            recording_end = "interrupted" if "during the run without a power cut" in err else "halted"
        try:
            ticks = sum(1 for line in ET.parse(svg).getroot().iter("{http://www.w3.org/2000/svg}line")
                        if line.get("stroke") in ("red", "#2a9d4a"))
        except (ET.ParseError, OSError):
            ticks = None
        # Interrupted while recording, the forked runs done are reported (at least one by 3 s).
        report(sweep_proc.returncode == status and marked and ticks == done and done is not None and planned >= done
               and (done > 0 if in_recording else True) and recording_end == ("interrupted" if in_recording else "halted")
               and not left,
               f"{name} during a sweep{' (' + ' '.join(spawn) + ')' if spawn else ''}{' while it records' if in_recording else ''}: exit {status}, "
               f"the {'JSON' if as_json else 'text'} report and the picture of the runs done, marked, no process left",
               f"exit {sweep_proc.returncode}, done {done} of {planned}, ticks {ticks}, recording {recording_end}, "
               f"{out.strip()[-200:]!r} {err.strip()[-200:]!r}, left {left}")
    # A sweep killed outright (SIGKILL: no report, nothing of its own done) takes its cut runs with
    # it: a parent-death signal on Linux, on Windows a job object that ends them with its last
    # handle. A sweep interrupted while its cut runs run (the signal to it alone) ends them and
    # reports. slow_halt's runs take seconds, so a run not ended would still be there.
    def alive(pattern):
        return [int(pid) for pid in subprocess.run(["pgrep", "-f", pattern], capture_output=True, text=True).stdout.split()]

    # signal, exit status (None: killed, no report), options
    ends = [(signal.SIGKILL, None, []), (signal.SIGINT, 130, [])]
    if not UNDER_WINE:
        ends += [(signal.SIGKILL, None, ["--sweep-spawn"]), (signal.SIGTERM, 143, ["--sweep-spawn"])]
    for signal_number, status, spawn in ends:
        name = signal.Signals(signal_number).name
        unique = os.path.join(tmp, f"ended_{name}{'_spawn' if spawn else ''}.ihx")
        shutil.copy(prog("slow_halt"), unique)
        sweep_proc = subprocess.Popen(args.sim + ["--ext", args.ext, unique, "--expect", "xdata:0x9F00=0x01", "--power-cut-sweep",
                                                  "--jobs", "2"] + spawn, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        deadline = time.time() + 120
        cut_runs = []
        while len(cut_runs) < 2 and time.time() < deadline and sweep_proc.poll() is None:
            time.sleep(0.2)
            cut_runs = [pid for pid in alive(unique) if pid != sweep_proc.pid]
        sweep_proc.send_signal(signal_number)
        out, _ = sweep_proc.communicate(timeout=120)
        time.sleep(0.5)
        left = alive(unique)
        for pid in left:
            os.kill(pid, signal.SIGKILL)
        reported = status is None or (sweep_proc.returncode == status and f"interrupted by {name} after" in out)
        report(len(cut_runs) == 2 and reported and not left,
               f"a sweep {'killed outright' if status is None else 'given ' + name + ' while its cut runs run'}"
               f"{' (spawned)' if spawn else ''} leaves no cut run behind",
               f"exit {sweep_proc.returncode}, cut runs seen {cut_runs}, left {left}, {out.strip()[-200:]!r}")
    code_full, _, err = (lambda r: (r.returncode, r.stdout, r.stderr))(
        subprocess.run(args.sim + NAIVE + ["--power-cut-sweep", "--jobs", "2"], stdout=open("/dev/full", "w"),
                       stderr=subprocess.PIPE, text=True, timeout=600))
    report(code_full == 2 and "standard output" in err, "a sweep whose report cannot be written exits 2", f"exit {code_full} {err!r}")
    # A standard output that takes nothing is refused before the recording run, with its reason.
    for how, command, stdout in (("closed", ["sh", "-c", 'exec "$@" >&-', "sh"], None),
                                 ("open for reading only", [], open(os.devnull, "r"))):
        r = subprocess.run(command + args.sim + NAIVE + ["--power-cut-sweep", "--jobs", "2"], stdout=stdout,
                           stderr=subprocess.PIPE, text=True, timeout=600)
        report(r.returncode == 2 and "cannot write the sweep's report to standard output: Bad file descriptor" in r.stderr,
               f"a sweep with standard output {how} is refused before the first cut", f"exit {r.returncode} {r.stderr!r}")
if args.crash_lib:
    code_c, crashed, err = run_json(["--ext", args.ext, "--ext", args.crash_lib, prog("naive_store"), "--cut-model", "atomic",
                                     "--expect", "xdata:0x9F00=0x02", "--power-cut-sweep", "--jobs", "2"])
    problems = {f["problem"].split(":")[0] + ":" + f["problem"].split(":")[1] if ":" in f["problem"] else f["problem"]
                for f in crashed["failures"]} if crashed else None
    report(code_c == 3 and crashed and crashed["failed"] == crashed["runs"] and
           all(f["problem"].startswith("crashed: ") and "did not halt" not in f["problem"] for f in crashed["failures"]),
           "a crashing cut run is reported as a crash, with its signal", f"exit {code_c}, {problems}")

# ---- a cut you can see: the trace names it, the waveform shows it ----
def vcd_changes(path, name):
    """(time, value) of a 1-bit signal in a value change dump."""
    code, time_now, changes = None, 0, []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if parts[:1] == ["$var"] and parts[4] == name:
                code = parts[3]
            elif line.startswith("#"):
                time_now = int(line[1:])
            elif code and line.strip() in ("0" + code, "1" + code):
                changes.append((time_now, int(line[0])))
    return changes


with tempfile.TemporaryDirectory() as tmp:
    for cycle, what, wrong in ((200000, "erase of DFLASH 0 sector 8 (0xAF00-0xAF7F) cut off", "erase committed"),
                               (2439300, "program of DFLASH 0 block 0xAF00-0xAF1F cut off", "abort:"),
                               (2439100, "between operations", "dropped")):
        vcd = os.path.join(tmp, "cut.vcd")
        code_t, _, err = run(["--ext", args.ext, prog("naive_store"), "--cut-model", "atomic", "--power-cut-at", str(cycle),
                              "--trace", "--vcd", vcd])
        lines = err.splitlines()
        at = [i for i, line in enumerate(lines) if f"power cut at cycle {cycle}: {what}" in line]
        after_cut = [line for line in lines[at[0]:] if f"cycle {cycle} " in line and wrong in line] if at else None
        pulse = vcd_changes(vcd, "power_cut")
        report(code_t == 0 and len(at) == 1 and after_cut == [] and pulse == [(0, 0), (cycle, 1), (cycle + 1, 0)],
               f"a power cut at {cycle} is traced as {what!r} and pulses power_cut in the waveform",
               f"exit {code_t}, lines {at}, wrong {after_cut}, pulse {pulse}")

# ---- failing cuts grouped: neighbouring cut runs with one cause are one range ----
code_r, text_report, _ = run(NAIVE + ["--power-cut-sweep", "--jobs", "2"])
fails = [line for line in text_report.splitlines() if line.startswith("FAIL")]
report(code_r == 3 and fails == [f"FAIL cycles {failing[0]}-{failing[-1]}, {len(failing)} cut runs (program of block 0xAF00): "
                                 "run ended halted"] and text_report.count("reproduce:") == 1,
       "the naive store's failing cuts are listed once, as one range", f"{fails}")
code_r, torn_ranges, _ = run_json(NAIVE[:3] + NAIVE[5:] + ["--power-cut-sweep", "--jobs", "2"])
runs = [(c["cycle"], c["torn"]) for c in torn_ranges["cuts"]] if torn_ranges else []
covered = sorted(r for rng in torn_ranges["ranges"]
                 for r in runs[runs.index((rng["first"], rng["first_torn"])):runs.index((rng["last"], rng["last_torn"])) + 1]
                 ) if torn_ranges else None
report(torn_ranges and sum(r["runs"] for r in torn_ranges["ranges"]) == torn_ranges["failed"] and
       covered == sorted((f["cycle"], f["torn"]) for f in torn_ranges["failures"]),
       "torn naive store: the ranges cover every failing cut run once", f"{torn_ranges and torn_ranges['ranges']}")

# ---- shards partition the cut points ----
union = []
for k in (1, 2, 3):
    code_k, shard, err = run_json(NAIVE + ["--power-cut-sweep", "--shard", f"{k}/3", "--jobs", "2"])
    if shard is None:
        report(False, f"shard {k}/3", f"exit {code_k}, {err.strip()[:200]!r}")
        continue
    union += [c["cycle"] for c in shard["cuts"]]
    report(shard["cut_points"] == len(cuts) and shard["shard"] == f"{k}/3", f"shard {k}/3 knows the whole sweep", "")
report(sorted(union) == cuts and len(union) == len(set(union)), "shards: every cut point once", f"{len(union)} of {len(cuts)}")
for bad in ("0/3", "4/3", "1", "a/b"):
    code_b, _, err = run(NAIVE + ["--power-cut-sweep", "--shard", bad])
    report(code_b == 2 and "--shard" in err, f"shard {bad} refused", f"exit {code_b}")

# ---- shards merged (--sweep-merge) give the unsharded sweep's report, text, JSON and picture ----
def without_time(text):
    return re.sub(r" in [0-9.]+ s \([^)]*\)$", "", text, flags=re.M)


def merge_case(name, sweep, count, tmp):
    sweep = sweep + ["--power-cut-sweep", "--jobs", "2"]
    whole_svg, merged_svg = os.path.join(tmp, name + "-whole.svg"), os.path.join(tmp, name + "-merged.svg")
    code_w, whole_text, _ = run(sweep + ["--sweep-svg", whole_svg])
    _, whole, _ = run_json(sweep)
    files = []
    for k in range(1, count + 1):
        files.append(os.path.join(tmp, f"{name}-{k}.json"))
        code_k, out, _ = run(sweep + ["--shard", f"{k}/{count}", "--json"])
        with open(files[-1], "w") as f:
            f.write(out)
    code_m, merged_text, err = run(["--sweep-merge"] + files[::-1])
    _, merged, _ = run_json(["--sweep-merge"] + files + ["--sweep-svg", merged_svg])
    same_json = whole is not None and merged is not None and without_timing(whole) == without_timing(merged)
    with open(whole_svg) as a, open(merged_svg) as b:
        same_svg = a.read() == b.read()
    report(code_m == code_w == 3 and without_time(merged_text) == without_time(whole_text) and same_json and same_svg,
           f"{name}: shards 1/{count}..{count}/{count} merged give the unsharded report",
           f"exit {code_m}/{code_w}, json {same_json}, svg {same_svg}, {err.strip()[:200]!r}")
    return files


with tempfile.TemporaryDirectory() as tmp:
    merge_case("atomic", NAIVE, 3, tmp)
    shards = merge_case("torn", NAIVE[:3] + NAIVE[5:], 2, tmp)
    other = os.path.join(tmp, "other.json")
    with open(other, "w") as f:
        f.write(run(NAIVE[:3] + NAIVE[5:] + ["--expect", "xdata:0x9F01=0x00", "--power-cut-sweep", "--shard", "2/2", "--json"])[1])
    with open(shards[0]) as f:
        first = json.load(f)
    with open(shards[1]) as f:
        taken = json.load(f)["cuts"][0]
    edited = {}
    for label, change in (("stopped", lambda d: d.update(stopped="interrupted by SIGINT")),
                          ("stray", lambda d: d["cuts"].append(taken)),
                          ("broken", lambda d: d["recording"].pop("operations"))):
        data = json.loads(json.dumps(first))
        change(data)
        edited[label] = os.path.join(tmp, label + ".json")
        with open(edited[label], "w") as f:
            json.dump(data, f)
    # The same path holding another build of the program between two shards: one more byte,
    # never run, at the end of code memory.
    moved = os.path.join(tmp, "moved.ihx")
    with open(prog("naive_store")) as f:
        original = f.read()
    padded = original.replace(":00000001FF", ":015000000AA5\n:00000001FF")
    rebuilt = []
    for k, text in ((1, original), (2, padded)):
        with open(moved, "w") as f:
            f.write(text)
        rebuilt.append(os.path.join(tmp, f"rebuilt-{k}.json"))
        with open(rebuilt[-1], "w") as f:
            f.write(run(["--ext", args.ext, moved] + NAIVE[3:] + ["--power-cut-sweep", "--shard", f"{k}/2", "--json"])[1])
    not_json = os.path.join(tmp, "not.json")
    with open(not_json, "w") as f:
        f.write("{\"cuts\": [")
    deep_shards = merge_case("torn-depth-2", NAIVE[:3] + NAIVE[5:] + ["--sweep-depth", "2"], 2, tmp)
    a, b = shards
    # shards given, what the message names
    REFUSED = [
        ("a shard missing", [a], ["in no shard", "1 shards given"]),
        ("a shard twice", [a, b, a], ["in both", a, "given twice"]),
        ("a cut point in two shards", [a, b, edited["stray"]], ["in both", edited["stray"]]),
        ("a shard of another sweep", [a, other], [other, "another sweep", "arguments"]),
        ("a shard of another program at the same path", rebuilt, [rebuilt[1], "another sweep", "inputs"]),
        ("a shard of another depth", [a, deep_shards[1]], [deep_shards[1], "another sweep", "depth"]),
        ("a shard that did not finish", [edited["stopped"], b], [edited["stopped"], "did not finish"]),
        ("a malformed recording", [edited["broken"], b], [edited["broken"], "malformed"]),
        ("a file that is no JSON", [a, not_json], [not_json, "not the JSON report"]),
        ("a file that cannot be read", [a, os.path.join(tmp, "absent.json")], ["absent.json", "No such file"]),
    ]
    for name, files, mentions in REFUSED:
        code_r, out, err = run(["--sweep-merge"] + files)
        report(code_r == 2 and out == "" and all(m in err for m in mentions) and "Traceback" not in err,
               f"--sweep-merge refuses {name}", f"exit {code_r}, {err.strip()!r}")

# ---- a sweep that passes, with --sweep-every, and the picture ----
with tempfile.TemporaryDirectory() as tmp:
    svg = os.path.join(tmp, "sweep.svg")
    code_ok, out, err = run(["--ext", args.ext, prog("program_dflash"), "--expect", "code:0xA020=0x40,0x41,0x42",
                             "--power-cut-sweep", "--sweep-every", "50000", "--sweep-svg", svg])
    closing = out.strip().splitlines()[-1] if out.strip() else ""
    report(code_ok == 0 and " 0 failed" in closing and "cut runs per second" in closing,
           "a store that reprograms its block survives every cut", f"exit {code_ok}, {closing!r} {err.strip()[:200]!r}")
    code_svg, _, _ = run(NAIVE + ["--power-cut-sweep", "--sweep-svg", svg])
    try:
        root = ET.parse(svg).getroot()
        ns = "{http://www.w3.org/2000/svg}"
        red = [l for l in root.iter(ns + "line") if l.get("stroke") == "red"]
        named = [t.text for t in root.iter(ns + "text") if (t.text or "").startswith(("cut at cycle", "cycles "))]
        report(code_svg == 3 and len(red) == len(failing) and named == [f"cycles {failing[0]}-{failing[-1]}, {len(failing)} cut runs "
                                                                         "(program of block 0xAF00): xdata:0x9F00=0x02 found 0xEE"],
               "sweep picture: one red mark per failing cut, one line per range of them",
               f"{len(red)} red, {len(named)} named, {len(failing)} failing")
    except (ET.ParseError, OSError) as e:
        report(False, "sweep picture", repr(e))
    code_nosvg, out_nosvg, err = run(NAIVE + ["--power-cut-sweep", "--sweep-svg", os.path.join(tmp, "absent", "x.svg")])
    report(code_nosvg == 2 and "cannot write" in err and "No such file" in err and out_nosvg == "",
           "sweep picture: an unwritable file is refused before the first cut", f"exit {code_nosvg} {err!r}")

code_alone, _, err = run(["--jobs", "2", prog("serial_hello")])
report(code_alone == 2 and "--power-cut-sweep" in err, "sweep options need --power-cut-sweep", f"exit {code_alone}")
code_base, _, err = run(NAIVE[:-1] + ["xdata:0x9F00=0x03", "--power-cut-sweep"])
report(code_base == 3 and "without a power cut" in err, "a sweep whose uncut run fails its expectations", f"exit {code_base}")

# ---- the lint: each finding on the program that makes that mistake, and nothing else ----
# program, the findings it makes: (check, address)
LINT = [
    ("lint_not_erased", [("program-not-erased", 0xA020)]),
    ("lint_unaligned", [("program-unaligned", 0xA021)]),
    ("lint_short", [("program-short", 0xA020)]),
    # The read during the program also meets check bits that do not match, unread.
    ("lint_read_during", [("read-during-operation", 0x7025), ("ecc-unread", 0x7025)]),
    ("lint_shadow_write", [("shadow-write", 0xA000)]),
    ("lint_at_end", [("operation-at-end", 0xAF80)]),
    ("lint_sfr_unmapped", [("sfr-unmapped", 0xBC)]),
    ("lint_ecc_unread", [("ecc-unread", 0xA020)]),
]
for program_name, expected in LINT:
    check = expected[0][0]
    code_l, data, err = run_json(["--ext", args.ext, prog(program_name), "--lint"])
    found = [(f["name"], f["address"]) for f in data["lint"]] if data else None
    report(code_l == 0 and found == expected and f"lint: {check}: cycle" in err, f"lint {check}",
           f"exit {code_l}, findings {found}")
    code_e, _, _ = run(["--ext", args.ext, prog(program_name), f"--lint=error"])
    off = ",".join("-" + name for name, _ in expected)
    code_off, data_off, _ = run_json(["--ext", args.ext, prog(program_name), f"--lint=error,{off}"])
    report(code_e == 4 and code_off == 0 and data_off and data_off["lint"] == [], f"lint {check}: =error fails, {off} silences",
           f"exit {code_e} / {code_off}")
code_l, data, err = run_json(["--ext", args.ext, prog("naive_store"), "--lint"])
report(code_l == 0 and data and data["lint"] == [] and "lint: no findings (9 of 9 checks on)" in err,
       "lint: silent on a store that waits for its operations, and says so", f"{data and data['lint']} {err!r}")
# Check bits that a cut-off program left in the shadow: the erased byte reads 0x00, but a capture
# over it mixes old and new check bits. A cut before the captures leaves none.
for cycle, stale in ((2439290, [0xAF00, 0xAF01]), (2439074, [])):
    code_s, data, _ = run_json(["--ext", args.ext, prog("cut_short_recovery"), "--cut-model", "atomic", "--power-cut-at",
                                str(cycle), "--lint"])
    found = [f["address"] for f in data["lint"] if f["name"] == "stale-check-bits"] if data else None
    report(code_s == 0 and found == stale, f"lint: a capture over check bits of a cut-off program (cut at {cycle})",
           f"exit {code_s}, {found}")
code_bad, _, err = run(["--lint=-nonsense", prog("serial_hello")])
report(code_bad == 2 and "program-not-erased" in err, "lint: an unknown name is refused with the list", f"exit {code_bad}")

print(f"sweep e2e: {passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
