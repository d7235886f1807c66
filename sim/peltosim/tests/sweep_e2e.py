#!/usr/bin/env python3
"""End-to-end cases of expectations (--expect, --expect-serial), the power-loss sweep
(--power-cut-sweep, --shard, --sweep-svg) and the flash lint (--lint), on small programs."""
import argparse
import json
import os
import shlex
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

parser = argparse.ArgumentParser()
parser.add_argument("--sim", required=True, nargs="+", help="command that runs pelto-sim")
parser.add_argument("--ext", required=True)
parser.add_argument("--programs", required=True, help="folder with the assembled .ihx files")
args = parser.parse_args()

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
NAIVE = ["--ext", args.ext, prog("naive_store"), "--expect", "xdata:0x9F00=0x02"]
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

# ---- a sweep that passes, with --sweep-every, and the picture ----
with tempfile.TemporaryDirectory() as tmp:
    svg = os.path.join(tmp, "sweep.svg")
    code_ok, out, err = run(["--ext", args.ext, prog("program_dflash"), "--expect", "code:0xA020=0x40,0x41,0x42",
                             "--power-cut-sweep", "--sweep-every", "50000", "--sweep-svg", svg])
    closing = out.strip().splitlines()[-1] if out.strip() else ""
    report(code_ok == 0 and " 0 failed" in closing and "cut points per second" in closing,
           "a store that reprograms its block survives every cut", f"exit {code_ok}, {closing!r} {err.strip()[:200]!r}")
    code_svg, _, _ = run(NAIVE + ["--power-cut-sweep", "--sweep-svg", svg])
    try:
        root = ET.parse(svg).getroot()
        ns = "{http://www.w3.org/2000/svg}"
        red = [l for l in root.iter(ns + "line") if l.get("stroke") == "red"]
        named = [t for t in root.iter(ns + "text") if (t.text or "").startswith("cut at cycle")]
        report(code_svg == 3 and len(red) == len(failing) == len(named), "sweep picture: one red mark and line per failing cut",
               f"{len(red)} red, {len(named)} named, {len(failing)} failing")
    except (ET.ParseError, OSError) as e:
        report(False, "sweep picture", repr(e))
    code_nosvg, _, err = run(NAIVE + ["--power-cut-sweep", "--sweep-svg", os.path.join(tmp, "absent", "x.svg")])
    report(code_nosvg == 2 and "cannot write" in err, "sweep picture: unwritable file", f"exit {code_nosvg}")

code_alone, _, err = run(["--jobs", "2", prog("serial_hello")])
report(code_alone == 2 and "--power-cut-sweep" in err, "sweep options need --power-cut-sweep", f"exit {code_alone}")
code_base, _, err = run(NAIVE[:-1] + ["xdata:0x9F00=0x03", "--power-cut-sweep"])
report(code_base == 3 and "without a power cut" in err, "a sweep whose uncut run fails its expectations", f"exit {code_base}")

# ---- the lint: each finding on the program that makes that mistake, and nothing else ----
LINT = [
    ("lint_not_erased", "program-not-erased", 0xA020),
    ("lint_unaligned", "program-unaligned", 0xA021),
    ("lint_short", "program-short", 0xA020),
    ("lint_read_during", "read-during-operation", 0x7025),
    ("lint_shadow_write", "shadow-write", 0xA000),
    ("lint_at_end", "operation-at-end", 0xAF80),
]
for program_name, check, address in LINT:
    code_l, data, err = run_json(["--ext", args.ext, prog(program_name), "--lint"])
    found = [(f["name"], f["address"]) for f in data["lint"]] if data else None
    report(code_l == 0 and found == [(check, address)] and f"lint: {check}: cycle" in err, f"lint {check}",
           f"exit {code_l}, findings {found}")
    code_e, _, _ = run(["--ext", args.ext, prog(program_name), f"--lint=error"])
    code_off, data_off, _ = run_json(["--ext", args.ext, prog(program_name), f"--lint=error,-{check}"])
    report(code_e == 4 and code_off == 0 and data_off and data_off["lint"] == [], f"lint {check}: =error fails, -{check} silences",
           f"exit {code_e} / {code_off}")
code_l, data, _ = run_json(["--ext", args.ext, prog("naive_store"), "--lint"])
report(code_l == 0 and data and data["lint"] == [], "lint: silent on a store that waits for its operations", f"{data and data['lint']}")
code_bad, _, err = run(["--lint=-nonsense", prog("serial_hello")])
report(code_bad == 2 and "program-not-erased" in err, "lint: an unknown name is refused with the list", f"exit {code_bad}")

print(f"sweep e2e: {passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
