// The extension over the fake host, driven by an arbitrary sequence of host events: program
// writes of the controls, FCMD, FDATA and the other flash registers, data reads of flash, time
// passing, timer calls at odd moments, resets, and host services that start or stop failing.
// After every event the invariants of flash_invariants.h must hold.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <cstring>
#include <span>

#include "fuzz/flash_invariants.h"
#include "host/services.h"
#include "tests/fake_host.h"

using flash::Reg;
using testing_host::FakeHost;

namespace {

constexpr int kMaxEvents = 400;
constexpr uint64_t kMaxIdleCycles = 3'000'000;  // longer than the whole erase
constexpr uint32_t kMaxOddTimerDelay = 1000;

enum Event : uint8_t {
    kControlWrite, kCommandWrite, kCapture, kSectorSelect, kAdvanceToDue, kAdvance, kTimerNow,
    kCodeRead, kReset, kToggleFailure, kOtherRegisterWrite, kDebuggerSetsControl, kEventCount
};

// Pseudo-random bytes, eight per step (splitmix64): cheap enough to refill 128 KB per input.
// The harness's own work, not code under test: no coverage feedback.
__attribute__((noinline, no_sanitize("coverage"))) void FillRandom(std::span<uint8_t> memory, uint64_t& state) {
    for (std::size_t i = 0; i < memory.size(); i += sizeof(uint64_t)) {
        uint64_t z = (state += 0x9E3779B97F4A7C15);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        z ^= z >> 31;
        std::memcpy(memory.data() + i, &z, std::min(sizeof z, memory.size() - i));
    }
}

// Flash contents as a host that keeps the DFLASH views equal would hold them.
void FillMemory(FakeHost& h, uint64_t seed) {
    FillRandom(h.code, seed);
    FillRandom(h.xdata, seed);
    for (int b = flash::kPairCount; b < flash::kBankCount; ++b) {
        const auto& bank = flash::kBanks[b];
        std::copy_n(h.code.begin() + bank.base, bank.size, h.code.begin() + bank.second_view);
        std::copy_n(h.xdata.begin() + bank.base, bank.size, h.xdata.begin() + bank.second_view);
    }
}

uint16_t FlashAddress(FuzzedDataProvider& in) {
    // Mostly inside the banks, sometimes anywhere.
    if (in.ConsumeBool()) return in.ConsumeIntegral<uint16_t>();
    const auto& bank = flash::kBanks[in.ConsumeIntegralInRange<int>(0, flash::kBankCount - 1)];
    const uint16_t view = (bank.IsData() && in.ConsumeBool()) ? bank.second_view : bank.base;
    return static_cast<uint16_t>(view + in.ConsumeIntegralInRange<uint16_t>(0, static_cast<uint16_t>(bank.size - 1)));
}

void Run(FuzzedDataProvider& in, FakeHost& h, std::size_t& checked) {
    switch (static_cast<Event>(in.ConsumeIntegralInRange<int>(0, kEventCount - 1))) {
    case kControlWrite: {
        const Reg c = flash::kControls[in.ConsumeIntegralInRange<int>(0, flash::kControlCount - 1)];
        const uint32_t v = in.ConsumeBool() ? (h.Sfr(c) | (1u << in.ConsumeIntegralInRange(0, 3)))
                                            : in.ConsumeIntegral<uint8_t>();
        h.ProgramWrite(c, v);
        break;
    }
    case kCommandWrite: {
        const uint32_t v = in.ConsumeBool() ? (h.Sfr(Reg::FCMD) | flash::kCommandStart)
                           : in.ConsumeBool() ? flash::kCommandIdle
                                              : in.ConsumeIntegral<uint8_t>();
        h.ProgramWrite(Reg::FCMD, v);
        break;
    }
    case kCapture: {
        const uint16_t address = FlashAddress(in);
        const uint8_t data = in.ConsumeIntegral<uint8_t>();
        const uint8_t opcode = in.ConsumeBool() ? flash::kOpMovDirectA : in.ConsumeIntegral<uint8_t>();
        h.CaptureByte(address, data, opcode);
        break;
    }
    case kSectorSelect:
        h.SetSfr(flash::kSectorSelects[in.ConsumeIntegralInRange<std::size_t>(0, flash::kSectorSelects.size() - 1)],
                 in.ConsumeIntegral<uint8_t>());
        break;
    case kAdvanceToDue:
        if (const auto due = h.timers.empty() ? std::nullopt : h.timers[0].due) h.Advance(*due - h.cycles);
        break;
    case kAdvance:
        h.Advance(in.ConsumeIntegralInRange<uint64_t>(0, kMaxIdleCycles));
        break;
    case kTimerNow:
        h.cycles += in.ConsumeIntegralInRange<uint32_t>(0, kMaxOddTimerDelay);
        if (!h.timers.empty()) h.FireTimerNow(1);
        break;
    case kCodeRead: {
        const auto& range = flash::kWatchedCode[in.ConsumeIntegralInRange<std::size_t>(0, flash::kWatchedCode.size() - 1)];
        const auto address = in.ConsumeIntegralInRange<uint16_t>(range.first, range.last);
        const uint8_t opcode = in.ConsumeBool() ? (in.ConsumeBool() ? flash::kOpMovcDptr : flash::kOpMovcPc)
                                                : in.ConsumeIntegral<uint8_t>();
        h.ProgramCodeRead(address, opcode);
        break;
    }
    case kReset:
        h.Reset();
        break;
    case kToggleFailure: {
        // Only the services the extension calls after start-up matter here, but any may fail.
        const char* service = host::kServiceNames[in.ConsumeIntegralInRange<std::size_t>(0, host::kDefineSFR - 1)];
        if (h.fail.count(service)) h.fail.erase(service);
        else h.fail[service] = in.ConsumeBool() ? 0u : in.ConsumeIntegral<uint32_t>();
        break;
    }
    case kOtherRegisterWrite: {
        const auto& info = flash::kRegisters[in.ConsumeIntegralInRange<std::size_t>(0, flash::kRegisters.size() - 1)];
        h.ProgramWrite(info.id, in.ConsumeIntegral<uint8_t>(), FakeHost::kDefaultPc, in.ConsumeIntegral<uint8_t>());
        break;
    }
    case kDebuggerSetsControl:
        // A host may change a register behind the extension's back (a debugger, say).
        h.SetSfr(flash::kControls[in.ConsumeIntegralInRange<int>(0, flash::kControlCount - 1)], in.ConsumeIntegral<uint8_t>());
        break;
    case kEventCount:
        break;
    }
    const std::string broken = flash_invariants::BrokenInvariant(h, checked);
    if (!broken.empty()) {
        std::fprintf(stderr, "invariant broken: %s\n", broken.c_str());
        std::abort();
    }
    checked = h.calls.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    auto h = std::make_unique<FakeHost>();
    if (h->Start() != 1) std::abort();
    h->Reset();
    FillMemory(*h, in.ConsumeIntegral<uint32_t>());
    h->cycles = in.ConsumeIntegral<uint32_t>();
    std::size_t checked = h->calls.size();
    for (int event = 0; event < kMaxEvents && in.remaining_bytes() > 0; ++event) Run(in, *h, checked);
    return 0;
}
