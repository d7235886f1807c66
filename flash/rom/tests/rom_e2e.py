#!/usr/bin/env python3
"""The flash routines of the ROM images, called through the ROM entry table by 8051 programs
running on pelto-sim with the extension loaded. Results come from pelto-sim's --json output:
the call records that the programs store (see rom_test.inc), memory dumps and registers."""

import argparse
import json
import os
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser(description=__doc__)
parser.add_argument("--sim", required=True, nargs="+", help="command that runs pelto-sim")
parser.add_argument("--ext", required=True, help="the extension library")
parser.add_argument("--programs", required=True, help="folder with the assembled test programs")
args = parser.parse_args()

RESULTS = 0x8000
READBACK = 0x9000
RECORD = 48
BLOCK_RAM = 0x80
FIELDS = ["r0", "r1", "r2", "r3", "r4", "r5", "r6", "r7", "a", "b", "dph", "dpl", "psw", "sp", "map", "syspage"]
STATE = ["FCTL_P0A", "FCTL_P0B", "FCMD", "FSEL_P0", "FIRQCFG", "FCTL_D0", "FSEL_D0L", "FSEL_D0H",
         "FCTL_D1", "FSEL_D1L", "FSEL_D1H", "FCTL_P1A", "FSEL_P1", "FCTL_P2A", "FSEL_P2"]
TIMING = ["P_D1", "P_D2", "P_D3", "P_D4", "P_D6", "P_D7", "P_DB", "P_DC", "E_D1", "E_D3", "E_D4", "E_D5", "E_D6",
          "FPHASE2"]
KEPT_PSW_BITS = 0x38  # register bank and F0
CARRY = 0x80
PFLASH_TABLE = 0xFC00
DFLASH_TABLE = 0xFD83
TABLE_SIZE = 13
ERASED = 0x00
FILL = 0xFF

passed = 0
failed = 0


def expect(what, got, want):
    global passed, failed
    if got == want:
        passed += 1
    else:
        failed += 1
        print(f"FAIL {what}: got {fmt(got)}, expected {fmt(want)}")


def fmt(value):
    if isinstance(value, int):
        return f"0x{value:02X}"
    if isinstance(value, list) and len(value) > 8:
        return "[" + " ".join(f"{v:02X}" for v in value[:8]) + " ...]"
    return str(value)


class Record:
    def __init__(self, raw):
        self.before = dict(zip(FIELDS, raw[0:16]))
        self.after = dict(zip(FIELDS, raw[16:32]))
        self.fpage = raw[32]
        self.state = dict(zip(STATE, raw[33:48]))
        self.timing = dict(zip(TIMING, raw[33:47]))
        self.extra = raw[33:48]

    @property
    def carry(self):
        return 1 if self.after["psw"] & CARRY else 0

    @property
    def dptr(self):
        return self.after["dph"] << 8 | self.after["dpl"]


class Run:
    def __init__(self, program, extra=(), dumps=(), sfrs=(), records=0, fill=()):
        self.name = program
        with tempfile.TemporaryDirectory() as tmp:
            options = []
            for address, length in fill:
                path = os.path.join(tmp, f"fill{address:04X}.bin")
                with open(path, "wb") as f:
                    f.write(bytes([FILL]) * length)
                options += ["--load-bin", f"{path}@0x{address:04X}"]
            self.dump_keys = {}
            wanted = list(dumps) + [("code", PFLASH_TABLE, TABLE_SIZE), ("code", DFLASH_TABLE, TABLE_SIZE)]
            if records:
                wanted.append(("xdata", RESULTS, records * RECORD))
            for space, address, length in wanted:
                key = f"{space}:0x{address:04X}:{length}"
                self.dump_keys[(space, address)] = key
                options += ["--dump", key]
            for sfr in sfrs:
                options += ["--sfr", sfr]
            command = args.sim + ["--ext", args.ext, os.path.join(args.programs, program + ".ihx"), "--json"]
            result = subprocess.run(command + options + list(extra), capture_output=True, text=True, timeout=300)
        if result.returncode != 0:
            raise SystemExit(f"{program}: pelto-sim failed ({result.returncode}): {result.stderr.strip()}")
        self.data = json.loads(result.stdout)
        raw = self.dump("xdata", RESULTS) if records else []
        self.records = [Record(raw[i * RECORD:(i + 1) * RECORD]) for i in range(records)]

    def dump(self, space, address):
        return self.data["dumps"][self.dump_keys[(space, address)]]

    def sfr(self, name):
        return self.data["sfr"][name]

    def table(self, address):
        return self.dump("code", address)


def kept(run, index, changes):
    """Every register not named in `changes` is as before the call; SP, SFR 0x8F, the system
    page register, the register bank and F0 always are."""
    record = run.records[index]
    for field in FIELDS:
        if field in changes:
            continue
        before, after = record.before[field], record.after[field]
        if field == "psw":
            before, after = before & KEPT_PSW_BITS, after & KEPT_PSW_BITS
        expect(f"{run.name} record {index}: {field} kept", after, before)


def rl(x):
    return (x << 1 | x >> 7) & 0xFF


def rr2(x):
    return (x >> 2 | x << 6) & 0xFF


def program_timing(t):
    low = (t[2] * t[3]) & 0xFF
    p = (t[4] * t[2] - low * ((t[1] - t[0]) & 0xFF)) & 0xFFFF
    return {"P_D1": (rl(t[7]) & 0x1E) | (rr2(t[5]) & 0xC0), "P_D2": rl(t[0]), "P_D3": rl(t[1]), "P_D4": t[6],
            "P_D6": low, "P_D7": (t[2] * t[3]) >> 8, "P_DB": p & 0xFF, "P_DC": p >> 8}


def erase_timing(t):
    low = (t[10] * t[11]) & 0xFF
    q = (t[12] * t[10] - low * ((t[9] - t[8]) & 0xFF)) & 0xFFFF
    return {"E_D1": rl(t[8]) & 0x1E, "E_D3": low, "E_D4": (t[10] * t[11]) >> 8, "E_D5": q & 0xFF, "E_D6": q >> 8}


def expect_timing(run, index, program_table=None, erase_table=None, phase_reference=False):
    """`phase_reference`: FPHASE2 still holds the erase load, as no erase started after it."""
    record = run.records[index]
    want = {}
    if program_table is not None:
        want.update(program_timing(run.table(program_table)))
    if erase_table is not None:
        want.update(erase_timing(run.table(erase_table)))
        if phase_reference:
            want["FPHASE2"] = rl(run.table(erase_table)[9]) & 0x1E
    for name, value in want.items():
        expect(f"{run.name} record {index}: timing register {name}", record.timing[name], value)


def pattern(first, count):
    return [(first + 3 * i) & 0xFF for i in range(count)]


# ---- the full cycle: program, poll, read back, erase, poll, read zeros ----------------------
run = Run("rom_cycle", records=5, dumps=[("code", 0x1240, 64), ("xdata", READBACK, 128)],
          sfrs=["NMISTAT", "FIRQCFG", "FSEL_P0"])
r = run.records
expect("program 0x1240: carry", r[0].carry, 0)
expect("program 0x1240: DPTR after the block", r[0].dptr, 0x1280)
expect("program 0x1240: R0 advanced", r[0].after["r0"], 0xC0)
expect("program 0x1240: flash page register", r[0].fpage, 3)
for name, value in [("FCTL_P0A", 0x80), ("FCTL_P0B", 0x80), ("FCMD", 0x06), ("FIRQCFG", 0x01)]:
    expect(f"program 0x1240: {name}", r[0].state[name], value)
kept(run, 0, {"a", "b", "r0", "r1", "r2", "r3", "r4", "dph", "dpl", "psw"})
expect("read-mode poll: carry", r[1].carry, 1)
expect("read-mode poll: A is the control last read", r[1].after["a"], 0x20)
expect("read-mode poll: flash page register := A", r[1].fpage, 0)
kept(run, 1, {"a", "psw"})
expect("program 0x1240: completion flags", (r[1].state["FIRQCFG"] & 0x21, run.sfr("NMISTAT") & 0x04), (0x21, 0x04))
expect("programmed block read back with MOVC", run.dump("xdata", READBACK)[:64], pattern(0x11, 64))
expect("no ECC error on reading the block", run.sfr("NMISTAT") & 0x40, 0)
expect("erase pair 0 sector 0: carry", r[2].carry, 0)
expect("erase: R7 is the bank mask", r[2].after["r7"], 0x01)
expect("erase: R5 and R6 keep their select bits", [r[2].after[x] for x in ("r5", "r6")], [1, 0])
for name, value in [("FSEL_P0", 0x01), ("FCTL_P0A", 0x40), ("FCTL_P0B", 0x40), ("FCMD", 0x06)]:
    expect(f"erase pair 0: {name}", r[2].state[name], value)
kept(run, 2, {"a", "b", "r1", "r2", "r3", "r4", "r5", "r6", "r7", "psw"})
expect("erase: DPTR kept", r[2].dptr, 0x1234)
expect("erase completes: read mode", r[3].carry, 1)
expect("erase completes: FSEL_P0 cleared", r[3].state["FSEL_P0"], 0)
expect("erased block reads zeros through MOVC", run.dump("xdata", READBACK)[64:], [ERASED] * 64)
expect("erased block in code memory", run.dump("code", 0x1240), [ERASED] * 64)
expect_timing(run, 4, program_table=PFLASH_TABLE, erase_table=PFLASH_TABLE)

# ---- DFLASH through both views, and a block leaving the bank --------------------------------
run = Run("rom_dflash", records=7,
          dumps=[("code", 0xA020, 32), ("code", 0x7020, 32), ("code", 0x7FE0, 32), ("code", 0xAFE0, 32)])
r = run.records
expect("program 0xA020: carry", r[0].carry, 0)
expect("program 0xA020: DPTR", r[0].dptr, 0xA040)
expect("program 0xA020: R0", r[0].after["r0"], 0xA0)
expect("program 0xA020: FCTL_D0", r[0].state["FCTL_D0"], 0x80)
kept(run, 0, {"a", "b", "r0", "r1", "r2", "r3", "r4", "dph", "dpl", "psw"})
expect_timing(run, 6, program_table=DFLASH_TABLE)
expect("0xA020 block, primary view", run.dump("code", 0xA020), pattern(0x40, 32))
expect("0xA020 block, second view", run.dump("code", 0x7020), pattern(0x40, 32))
expect("program 0x7FE0: DPTR", r[2].dptr, 0x8000)
expect("program 0x7FE0: FCTL_D0", r[2].state["FCTL_D0"], 0x80)
expect("0x7FE0 block, second view", run.dump("code", 0x7FE0), pattern(0x70, 32))
expect("0x7FE0 block, primary view", run.dump("code", 0xAFE0), pattern(0x70, 32))
expect("program 0x7FF0: carry", r[4].carry, 0)
expect("program 0x7FF0: DPTR", r[4].dptr, 0x8010)
expect("program 0x7FF0: no control requested", r[4].state["FCTL_D0"], 0x20)
expect("program 0x7FF0: FCMD still started", r[4].state["FCMD"], 0x06)
expect("program 0x7FF0: nothing starts", (r[5].state["FCTL_D0"], run.dump("code", 0x7FE0)[16:32]),
       (0x20, pattern(0x70 + 3 * 16, 16)))

# ---- protection and addresses outside every bank --------------------------------------------
run = Run("rom_protect", records=11, dumps=[("xdata", READBACK, 32)], sfrs=["FDATA"])
r = run.records
expect("FPROT 0x01: PFLASH refused", (r[0].carry, r[0].dptr, r[0].after["r0"]), (1, 0x1240, BLOCK_RAM))
expect("FPROT 0x01: PFLASH control untouched", r[0].state["FCTL_P0A"], 0x20)
kept(run, 0, {"a", "b", "r1", "r2", "r3", "r4", "psw"})
expect("FPROT 0x01: DFLASH accepted", (r[1].carry, r[1].dptr), (0, 0xA040))
expect("FPROT 0x01: DFLASH block programmed", run.dump("xdata", READBACK), pattern(0x21, 32))
expect("FPROT 0x03: PFLASH refused", (r[3].carry, r[3].dptr), (1, 0x1240))
expect("FPROT 0x03: DFLASH refused", (r[4].carry, r[4].dptr, r[4].state["FCTL_D0"]), (1, 0xA040, 0x20))
expect("DPTR 0x8000 refused", (r[5].carry, r[5].dptr, r[5].after["r0"]), (1, 0x8000, BLOCK_RAM))
expect("DPTR 0xFC00 refused", (r[6].carry, r[6].dptr, r[6].after["r0"]), (1, 0xFC00, BLOCK_RAM))
expect("refusals write no FDATA", run.sfr("FDATA"), 0x5A)
expect("FPROT 0x01: PFLASH-only erase refused", r[7].carry, 1)
expect("FPROT 0x01: R5..R7 cleared", [r[7].after[x] for x in ("r5", "r6", "r7")], [0, 0, 0])
expect("FPROT 0x01: selects cleared", [r[7].state[x] for x in ("FSEL_P0", "FSEL_P1", "FSEL_P2")], [0, 0, 0])
expect("FPROT 0x01: mixed erase keeps DFLASH only", (r[8].carry, r[8].after["r7"]), (0, 0x08))
expect("FPROT 0x01: mixed erase selects", (r[8].state["FSEL_P0"], r[8].state["FSEL_D0L"], r[8].state["FCTL_D0"],
                                          r[8].state["FCTL_P0A"]), (0, 0x01, 0x40, 0x20))
expect("FPROT 0x03: erase refused", (r[10].carry, r[10].state["FCTL_D0"], r[10].state["FSEL_D0L"]), (1, 0x20, 0))

# ---- erase selections -----------------------------------------------------------------------
# The reset vector at 0x0000 stays: the programs start there.
FILLED = [(0x0100, 0x7F00), (0xA000, 0x2000)]
run = Run("rom_erase", records=10, fill=FILLED,
          dumps=[("code", 0xB000, 0x1000), ("code", 0x6000, 0x1000), ("code", 0xA000, 0x1000),
                 ("code", 0x0100, 0x100), ("code", 0x4000, 0x2000)],
          sfrs=["FSEL_P0"])
r = run.records
expect("erase DFLASH 1: carry and mask", (r[0].carry, r[0].after["r7"]), (0, 0x10))
expect("erase DFLASH 1: control and selects", (r[0].state["FCTL_D1"], r[0].state["FSEL_D1L"], r[0].state["FSEL_D1H"]),
       (0x40, 0x01, 0x02))
expect("erase DFLASH 1: DPTR kept", r[0].dptr, 0x4321)
kept(run, 0, {"a", "b", "r1", "r2", "r3", "r4", "r5", "r6", "r7", "psw"})
for view in (0xB000, 0x6000):
    bank = run.dump("code", view)
    expect(f"DFLASH 1 view 0x{view:04X}: sector 0 erased", bank[0x000:0x400], [ERASED] * 0x400)
    expect(f"DFLASH 1 view 0x{view:04X}: sectors 1-8 kept", bank[0x400:0xF80], [FILL] * 0xB80)
    expect(f"DFLASH 1 view 0x{view:04X}: sector 9 erased", bank[0xF80:], [ERASED] * 0x80)
expect("mixed erase: only DFLASH 0", (r[2].carry, r[2].after["r7"], r[2].state["FCTL_D0"], r[2].state["FCTL_P0A"]),
       (0, 0x08, 0x40, 0x20))
expect("mixed erase: selects", (r[2].state["FSEL_D0L"], r[2].state["FSEL_D0H"], r[2].state["FSEL_P0"]),
       (0x81, 0x03, 0x01))
expect_timing(run, 3, erase_table=DFLASH_TABLE)
bank = run.dump("code", 0xA000)
expect("mixed erase: DFLASH 0 sectors 0, 7, 8, 9", (bank[0:0x400], bank[0xE80:]), ([ERASED] * 0x400, [ERASED] * 0x180))
expect("mixed erase: DFLASH 0 sectors 1-6 kept", bank[0x400:0xE80], [FILL] * 0xA80)
expect("mixed erase: pair 0 untouched", run.dump("code", 0x0100), [FILL] * 0x100)
expect("mixed erase: the pair's select stays", r[4].state["FSEL_P0"], 0x01)
expect("unused select bit: refused", (r[5].carry, r[5].after["r5"], r[5].after["r7"]), (1, 0, 0))
expect("unused select bit: selects cleared", [r[5].state[x] for x in ("FSEL_P0", "FSEL_D0L", "FSEL_D1L")], [0, 0, 0])
expect_timing(run, 6, erase_table=PFLASH_TABLE, phase_reference=True)
expect("nothing selected: refused", r[7].carry, 1)
expect("erase pair 2: carry, mask and controls", (r[8].carry, r[8].after["r7"], r[8].state["FCTL_P2A"]),
       (0, 0x04, 0x40))
expect("erase pair 2: all of it", run.dump("code", 0x4000), [ERASED] * 0x2000)
expect("erase pair 2: completes", (r[9].carry, r[9].state["FSEL_P2"]), (1, 0))

# ---- abort ----------------------------------------------------------------------------------
run = Run("rom_abort", records=8, fill=FILLED, dumps=[("code", 0x0100, 0x100), ("code", 0x1E00, 0x100),
                                                      ("code", 0xA000, 0x100)])
r = run.records
expect("abort in the first phase: carry", r[1].carry, 0)
expect("abort in the first phase: FCMD 6 to 4, controls to read mode",
       (r[1].state["FCMD"], r[1].state["FCTL_P0A"], r[1].state["FCTL_P0B"]), (0x04, 0x20, 0x20))
kept(run, 1, {"a", "psw"})
expect("abort in the second phase: carry", r[3].carry, 0)
expect("abort in the second phase: FCMD and control", (r[3].state["FCMD"], r[3].state["FCTL_D0"]), (0x04, 0x20))
kept(run, 3, {"a", "psw"})
expect("phase registers disagree: refused", r[5].carry, 1)
expect("phase registers disagree: nothing written", (r[5].state["FCMD"], r[5].state["FCTL_P0A"]), (0x06, 0x40))
kept(run, 5, {"a", "psw"})
expect("no bank in erase mode: refused", r[7].carry, 1)
expect("aborted erases erased nothing", (run.dump("code", 0x0100), run.dump("code", 0xA000)),
       ([FILL] * 0x100, [FILL] * 0x100))
expect("the erase that was not aborted completed", run.dump("code", 0x1E00), [ERASED] * 0x100)

# ---- read-mode test, margin, parameters, FCMD bit 0 -----------------------------------------
run = Run("rom_misc", records=14, dumps=[("code", 0x2000, 64), ("code", 0xFC05, 1), ("code", 0xFE80, 1)],
          sfrs=["FCMD", "FMARGIN"])
r = run.records
expect("read-mode test, second control in program mode", (r[0].carry, r[0].after["a"]), (0, 0x80))
expect("read-mode test, both in read mode", (r[1].carry, r[1].after["a"]), (1, 0x20))
expect("read-mode test, bank 5", (r[2].carry, r[2].after["a"], r[2].fpage), (0, 5, 5))
expect("read-mode test, DFLASH 0", (r[3].carry, r[3].after["a"], r[3].fpage), (1, 0x20, 3))
for i in range(4):
    kept(run, i, {"a", "psw"})
expect("set margin 0x13: A, FMARGIN, SFR 0xDB, page", (r[4].after["a"], r[4].extra[0], r[4].extra[1], r[4].fpage),
       (0x03, 0x23, 0xF1, 0))
expect("set margin 0x0C: A, FMARGIN, SFR 0xDB", (r[5].after["a"], r[5].extra[0], r[5].extra[1]), (0x0C, 0x2C, 0xF0))
kept(run, 4, {"a", "psw"})
expect("read parameter 0xFC05", (r[6].carry, r[6].after["a"]), (0, run.dump("code", 0xFC05)[0]))
expect("read parameter below the area", (r[7].carry, r[7].after["a"]), (1, 0x12))
expect("read parameter 0xFE80", (r[8].carry, r[8].after["a"]), (0, run.dump("code", 0xFE80)[0]))
for i in (6, 7, 8):
    kept(run, i, {"a", "psw"})
expect("FCMD bit 0 set", (r[9].state["FCMD"], r[9].fpage), (0x05, 0))
kept(run, 9, {"psw"})
expect("program held back: FCMD and controls", (r[10].state["FCMD"], r[10].state["FCTL_P1A"]), (0x07, 0x80))
expect("program held back: still in program mode later", r[11].state["FCTL_P1A"], 0x80)
expect("FCMD bit 0 cleared starts it", (r[12].state["FCMD"], r[12].fpage), (0x06, 0))
kept(run, 12, {"psw"})
expect("the held-back block is programmed", run.dump("code", 0x2000), pattern(0x31, 64))

# ---- register bank 2 selected -----------------------------------------------------------------
run = Run("rom_bank2", records=4, dumps=[("xdata", READBACK, 128)])
r = run.records


def bank2(index):
    return r[index].extra[0:8]


expect("bank 2 program: carry", r[0].carry, 0)
expect("bank 2 program: DPTR after the block", r[0].dptr, 0x1280)
expect("bank 2 program: bank 2's R0 advanced, R5..R7 kept", [bank2(0)[0]] + bank2(0)[5:8], [0xC0, 0x25, 0x26, 0x27])
kept(run, 0, {"a", "b", "dph", "dpl", "psw"})
kept(run, 1, {"a", "psw"})
expect("bank 2 program: the block read back", run.dump("xdata", READBACK)[:64], pattern(0x11, 64))
expect("bank 2 erase: carry", r[2].carry, 0)
expect("bank 2 erase: bank 2's R0 and R5, R6 kept, R7 the bank mask", [bank2(2)[0]] + bank2(2)[5:8],
       [0x00, 0x01, 0x00, 0x01])
kept(run, 2, {"a", "b", "psw"})
kept(run, 3, {"a", "psw"})
expect("bank 2 erase: the block reads zeros", run.dump("xdata", READBACK)[64:], [ERASED] * 64)

# ---- page-select helpers, each called once ---------------------------------------------------
CALLER_MAP = 0x40
MAP_BIT = 0x01
PAGE_START = 0xEA
PAGE_KEEP = 0x38
CHECK_A = 0x5A
STACK = 0x20
HELPER_RECORD = 8
# (address, page register, page, map bit after, system page 1's SFR 0xBB after)
PAGE_HELPERS = [
    (0xC000, 0xBF, 1, 0, 0x9F), (0xC010, 0xBF, 1, 0, 0xAF),
    (0xC020, 0xD1, 0, 1, None), (0xC027, 0xD1, 1, 1, None), (0xC02E, 0xD1, 2, 1, None),
    (0xC035, 0xD1, 3, 1, None), (0xC03C, 0xD1, 4, 1, None), (0xC043, 0xD1, 5, 1, None),
    (0xC04A, 0xD1, 6, 1, None),
    (0xC051, 0xB2, 0, 0, None), (0xC05B, 0xB2, 1, 0, None), (0xC065, 0xB2, 2, 0, None),
    (0xC06F, 0xBF, 0, 0, None), (0xC079, 0xBF, 1, 0, None), (0xC083, 0xBF, 2, 0, None),
    (0xC08D, 0xDF, 0, 1, None), (0xC097, 0xDF, 1, 1, None), (0xC0A1, 0xDF, 2, 1, None),
    (0xC0AB, 0xDF, 3, 1, None), (0xC0B5, 0xDF, 4, 1, None), (0xC0BF, 0xDF, 6, 1, None),
    (0xC0C9, 0xDF, 7, 1, None),
]
run = Run("rom_pagesel", dumps=[("xdata", RESULTS, HELPER_RECORD * len(PAGE_HELPERS))])
raw = run.dump("xdata", RESULTS)
for index, (address, register, page, map_after, bb) in enumerate(PAGE_HELPERS):
    psw_before, a, psw, map_sfr, value, sfr_bb, sp = raw[HELPER_RECORD * index:HELPER_RECORD * index + 7]
    name = f"helper 0x{address:04X}"
    expect(f"{name}: A and PSW unchanged", (a, psw), (CHECK_A, psw_before))
    expect(f"{name}: SFR 0x{register:02X} := {page}, bits 5..3 kept", value, (PAGE_START & PAGE_KEEP) | page)
    expect(f"{name}: SFR 0x8F", map_sfr, CALLER_MAP | (MAP_BIT if map_after else 0))
    expect(f"{name}: stack balanced", sp, STACK)
    if bb is not None:
        expect(f"{name}: SFR 0xBB of system page 1", sfr_bb, bb)

# ---- reserved entries never return ----------------------------------------------------------
for entry, address in ((0, 0xDFE4), (1, 0xDFE7)):
    run = Run(f"rom_reserved{entry}")
    expect(f"entry {entry} jumps to itself", (run.data["end"], run.data["pc"]), ("halted", address))

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
