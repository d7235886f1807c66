// The 8051 core on arbitrary code and memory contents, with hooks on arbitrary SFRs and MOVC
// watches. Out-of-range accesses are caught by the sanitizers and the checked standard library
// (this build defines _GLIBCXX_ASSERTIONS); the harness checks what the core promises:
//  - every Step advances the cycle counter by one to four machine cycles and the instruction
//    counter by one;
//  - a self jump is reported only for a jump to its own address, and not at all when disabled;
//  - a stop request is reported only when a hook asked for one;
//  - hooks run only for hooked SFRs and watched code, with the address of the running instruction;
//  - Run() returns only at its limit, a breakpoint, a self jump or a request, and a second Run()
//    resumes past the breakpoint it stopped at.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "fuzz/fill_random.h"
#include "sim/cpu/cpu.h"

using sim8051::Cpu;
using sim8051::StopReason;

namespace {

constexpr int kMaxSteps = 1000;
constexpr uint64_t kRunCycles = 4000;
constexpr unsigned kMaxCyclesPerInstruction = 4;
constexpr std::size_t kMaxBreakpoints = 8;
constexpr std::size_t kMaxWatchRanges = 4;
constexpr std::size_t kMaxReadValues = 16;
constexpr unsigned kStopOneIn = 64;  // how often a hook asks the core to stop

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}

struct Harness {
    std::unique_ptr<Cpu> cpu = std::make_unique<Cpu>();
    std::vector<uint8_t> read_values;  // what hooked reads return, in turn
    std::size_t next_read = 0;
    uint8_t stop_selector = 0;
    uint16_t code_patch_at = 0;  // where write hooks store the written value (self-modifying code)
    bool patch_code = false;
    bool stop_requested = false;
    bool stop_on_self_jump = false;
    bool stepping = false;  // in Step(), where the running instruction is known beforehand
    uint16_t instruction_pc = 0;

    void CallbackAt(uint16_t pc) {
        Check(cpu->Pc() == pc, "Pc() inside a callback differs from the reported address");
        Check(!stepping || pc == instruction_pc, "callback reports another instruction's address");
    }
    void MaybeStop(uint8_t value) {
        if (static_cast<uint8_t>(value ^ stop_selector) % kStopOneIn == 0) {
            stop_requested = true;
            cpu->RequestStop();
        }
    }

    static uint8_t Read(void* ctx, uint8_t addr, uint16_t pc) {
        auto& self = *static_cast<Harness*>(ctx);
        self.CallbackAt(pc);
        Check(self.cpu->SfrReadHooked(addr), "read hook for an SFR not hooked for reads");
        if (self.read_values.empty()) return addr;
        const uint8_t v = self.read_values[self.next_read++ % self.read_values.size()];
        self.MaybeStop(v);
        return v;
    }
    static void Write(void* ctx, uint8_t addr, uint8_t value, uint16_t pc) {
        auto& self = *static_cast<Harness*>(ctx);
        self.CallbackAt(pc);
        Check(self.cpu->SfrWriteHooked(addr), "write hook for an SFR not hooked for writes");
        // Only P may differ, which follows A.
        const uint8_t compared = addr == sim8051::sfr::kPsw ? static_cast<uint8_t>(~sim8051::psw::kP) : 0xFF;
        Check(((self.cpu->Sfr(addr) ^ value) & compared) == 0, "the written value is not in the SFR array during the write hook");
        if (self.patch_code) self.cpu->Code()[self.code_patch_at++] = value;
        self.MaybeStop(value);
    }
    static void Movc(void* ctx, uint16_t addr, uint16_t pc) {
        auto& self = *static_cast<Harness*>(ctx);
        self.CallbackAt(pc);
        Check(self.cpu->MovcWatched(addr), "MOVC hook for an unwatched address");
        self.MaybeStop(static_cast<uint8_t>(addr));
    }
};

// The code at the PC and wrapping past 0xFFFF; the rest of code memory repeats it. The harness's
// own work, not code under test: no coverage feedback.
__attribute__((noinline, no_sanitize("coverage"))) void FillCode(Cpu& cpu, const std::vector<uint8_t>& code) {
    if (code.empty()) return;
    std::vector<uint8_t> from_pc(Cpu::kCodeSize);
    for (std::size_t i = 0; i < Cpu::kCodeSize; i += code.size())
        std::memcpy(from_pc.data() + i, code.data(), std::min(code.size(), Cpu::kCodeSize - i));
    const std::size_t pc = cpu.Pc();
    std::memcpy(cpu.Code().data() + pc, from_pc.data(), Cpu::kCodeSize - pc);
    std::memcpy(cpu.Code().data(), from_pc.data() + (Cpu::kCodeSize - pc), pc);
}

// Hooks one SFR per set bit (bit i: SFR 0x80 + i).
void HookSfrs(Cpu& cpu, uint64_t low, uint64_t high, bool reads) {
    constexpr unsigned kBits = 64;
    for (unsigned i = 0; i < Cpu::kSfrCount; ++i) {
        const bool on = ((i < kBits ? low >> i : high >> (i - kBits)) & 1u) != 0;
        const auto address = static_cast<uint8_t>(Cpu::kSfrBase + i);
        if (reads) cpu.HookSfrRead(address, on);
        else cpu.HookSfrWrite(address, on);
    }
}

// The input: code from the front, everything else from the back; memory contents the input does
// not give come from a seed it does.
void Setup(FuzzedDataProvider& in, Harness& t) {
    Cpu& cpu = *t.cpu;
    t.stop_on_self_jump = in.ConsumeBool();
    cpu.SetStopOnSelfJump(t.stop_on_self_jump);
    t.patch_code = in.ConsumeBool();
    t.code_patch_at = in.ConsumeIntegral<uint16_t>();
    t.stop_selector = in.ConsumeIntegral<uint8_t>();
    cpu.SetHooks({&Harness::Read, &Harness::Write, &Harness::Movc, &t});
    HookSfrs(cpu, in.ConsumeIntegral<uint64_t>(), in.ConsumeIntegral<uint64_t>(), true);
    HookSfrs(cpu, in.ConsumeIntegral<uint64_t>(), in.ConsumeIntegral<uint64_t>(), false);
    for (std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, kMaxWatchRanges); i > 0; --i) {
        const auto first = in.ConsumeIntegral<uint16_t>();
        const auto last = in.ConsumeIntegralInRange<uint16_t>(first, 0xFFFF);
        cpu.WatchMovc(first, last, true);
    }
    for (std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, kMaxBreakpoints); i > 0; --i)
        cpu.SetBreakpoint(in.ConsumeIntegral<uint16_t>(), true);
    for (std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, kMaxReadValues); i > 0; --i)
        t.read_values.push_back(in.ConsumeIntegral<uint8_t>());

    const uint64_t seed = in.ConsumeIntegral<uint64_t>();
    fuzz::FillRandom(cpu.Sfrs(), seed);
    cpu.SyncParity();
    fuzz::FillRandom(cpu.Iram(), ~seed);
    fuzz::FillRandom(cpu.Xram(), seed + 1);
    cpu.SetPc(in.ConsumeIntegral<uint16_t>());
    FillCode(cpu, in.ConsumeRemainingBytes<uint8_t>());
}

void CheckStep(Harness& t) {
    Cpu& cpu = *t.cpu;
    const uint64_t cycles = cpu.Cycles();
    const uint64_t instructions = cpu.Instructions();
    t.instruction_pc = cpu.Pc();
    t.stop_requested = false;
    t.stepping = true;
    const StopReason reason = cpu.Step();
    t.stepping = false;
    const uint64_t spent = cpu.Cycles() - cycles;
    Check(spent >= 1 && spent <= kMaxCyclesPerInstruction, "a Step took no cycles or too many");
    Check(cpu.Instructions() == instructions + 1, "a Step did not count one instruction");
    Check(cpu.Parity(cpu.Acc()) == (cpu.Psw() & sim8051::psw::kP), "P differs from the parity of A");
    switch (reason) {
    case StopReason::kNone:
        Check(!t.stop_requested, "a requested stop was not reported");
        break;
    case StopReason::kSelfJump:
        Check(t.stop_on_self_jump, "a self jump was reported while disabled");
        Check(cpu.Pc() == t.instruction_pc, "a self jump was reported for a jump elsewhere");
        break;
    case StopReason::kRequested:
        Check(t.stop_requested, "a stop was reported that nobody requested");
        break;
    case StopReason::kCycleLimit:
    case StopReason::kBreakpoint:
        Check(false, "Step reported a Run-only reason");
    }
}

void CheckRun(Harness& t) {
    Cpu& cpu = *t.cpu;
    for (int round = 0; round < 2; ++round) {
        const uint64_t start = cpu.Cycles();
        const uint64_t limit = start + kRunCycles;
        t.stop_requested = false;
        const StopReason reason = cpu.Run(limit);
        switch (reason) {
        case StopReason::kCycleLimit:
            Check(cpu.Cycles() >= limit, "Run stopped for its limit before reaching it");
            break;
        case StopReason::kBreakpoint:
            Check(cpu.Breakpoint(cpu.Pc()), "Run stopped for a breakpoint where there is none");
            break;
        case StopReason::kRequested:
            Check(t.stop_requested, "Run reported a stop that nobody requested");
            break;
        case StopReason::kSelfJump:
            Check(t.stop_on_self_jump, "Run reported a self jump while disabled");
            Check(cpu.Cycles() > start, "Run reported a self jump without running");
            break;
        case StopReason::kNone:
            Check(false, "Run returned without a reason");
        }
        if (reason != StopReason::kBreakpoint) return;
        // Resuming from a breakpoint runs at least the instruction there.
        const uint64_t before = cpu.Cycles();
        cpu.Run(before + 1);
        Check(cpu.Cycles() > before, "Run did not resume past the breakpoint it stopped at");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Harness t;
    Setup(in, t);
    for (int i = 0; i < kMaxSteps; ++i) CheckStep(t);
    CheckRun(t);
    return 0;
}
