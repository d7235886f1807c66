// The extension over the fake host, driven by an arbitrary sequence of host events: program
// writes of the controls, FCMD, FDATA and the other flash registers, data reads of flash, time
// passing, timer calls at odd moments, resets, host services that start or stop failing, and
// reads that fail now and then or for some registers.
// After every event the invariants of flash_invariants.h must hold, and whatever fails:
//  - a byte written to FDATA is captured as written, where it was addressed, or not at all;
//  - an ECC error is reported only for a byte that disagrees with its valid shadow;
//  - code memory receives only zeros or a capture row, the shadow only zeros or valid marks.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "flash/capture.h"
#include "fuzz/fill_random.h"
#include "fuzz/flash_invariants.h"
#include "host/extension.h"
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
    kCodeRead, kReset, kToggleFailure, kOtherRegisterWrite, kDebuggerSetsControl, kFlakyReads,
    kUnreadRegister, kEventCount
};

constexpr uint32_t kMaxFlakyPeriod = 16;

// Reads that fail now and then, or always for some registers: a host that loses a call, or
// does not model a register. Writes never fail this way, since a host that drops one of two
// view writes makes the views differ whatever the extension does.
struct ReadFaults {
    uint32_t period = 0;  // every period-th read fails; 0: none
    uint32_t count = 0;
    uint32_t result = 0;
    std::vector<uint32_t> unread_registers;

    // Set when a failed GetLastMemoryAddress answered: its answer may name any byte.
    bool address_unreliable = false;

    std::optional<uint32_t> operator()(const testing_host::Call& c) {
        const bool read = c.service == "PeltoReadSFR" || c.service == "PeltoReadMemory" || c.service == "PeltoGetStates" ||
                          c.service == "PeltoGetLastMemoryAddress" || c.service == "PeltoGetProgramCounter";
        if (!read) return std::nullopt;
        if (c.service == "PeltoReadSFR" &&
            std::find(unread_registers.begin(), unread_registers.end(), c.args[0]) != unread_registers.end())
            return result;
        if (period == 0 || ++count % period != 0) return std::nullopt;
        address_unreliable = address_unreliable || c.service == "PeltoGetLastMemoryAddress";
        return result;
    }
};

// Flash contents as a host that keeps the DFLASH views equal would hold them.
void FillMemory(FakeHost& h, uint64_t seed) {
    seed = fuzz::FillRandom(h.code, seed);
    fuzz::FillRandom(h.xdata, seed);
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

[[noreturn]] void Broken(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::abort();
}

// A byte the program wrote to FDATA is captured only as written and where it was addressed, or
// not at all; nothing else in the capture state changes.
void CheckCapture(const flash::FlashState& before, const flash::FlashState& after, uint16_t address, uint8_t data) {
    for (int b = 0; b < flash::kBankCount; ++b) {
        if (before.capture[b] == after.capture[b] && before.last_captured[b] == after.last_captured[b] &&
            before.captured[b] == after.captured[b])
            continue;
        const auto& bank = flash::kBanks[b];
        const std::size_t index = address & (bank.write_block - 1u);
        auto expected = before.capture[b];
        expected[index] = data;
        if (flash::BankOfAddress(address) != b || after.last_captured[b] != address || !after.captured[b] ||
            after.capture[b] != expected)
            Broken("a capture other than the byte written, where it was written, in " + std::string(bank.name));
    }
}

// An ECC error is reported only for a byte whose shadow is valid and disagrees with it.
void CheckEccReport(const FakeHost& h, uint32_t nmi_before, uint16_t address) {
    if ((nmi_before & flash::kNmiEccError) || !(h.Sfr(Reg::NMISTAT) & flash::kNmiEccError)) return;
    const uint8_t shadow = h.xdata[address];
    if (!(shadow & flash::kEccValid) || flash::EccCheckBits(h.code[address]) == (shadow & flash::kEccCheckMask))
        Broken("an ECC error reported for a byte that agrees with its shadow");
}

// What reached memory: code only zeros (erase) or a bank's capture row (program), shadow only
// zeros (erase) or bytes marked valid (capture).
void CheckMemoryWrites(const FakeHost& h, std::size_t from) {
    const auto& state = host::TheExtension().flash;
    for (std::size_t i = from; i < h.memory_writes.size(); ++i) {
        const auto& w = h.memory_writes[i];
        const uint32_t first = w.address & flash::kAddressBits;
        const bool code = (w.address & flash_invariants::kSpaceBits) == flash::kCodeSpace;
        const auto& memory = code ? h.code : h.xdata;
        const auto begin = memory.begin() + first;
        const bool zeros = std::all_of(begin, begin + w.count, [](uint8_t b) { return b == 0; });
        if (zeros) continue;
        const auto bank = flash::BankOfAddress(first);
        if (code) {
            if (!bank || w.count != flash::kBanks[*bank].write_block ||
                !std::equal(begin, begin + w.count, state.capture[*bank].begin()))
                Broken("code written with bytes other than zeros or the bank's capture row at " + flash_invariants::Hex(w.address));
        } else if (w.count != 1 || !(*begin & flash::kEccValid)) {
            Broken("shadow written with neither zeros nor a valid mark at " + flash_invariants::Hex(w.address));
        }
    }
}

void Run(FuzzedDataProvider& in, FakeHost& h, ReadFaults& faults, std::size_t& checked) {
    const std::size_t writes_before = h.memory_writes.size();
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
        const flash::FlashState before = host::TheExtension().flash;
        h.CaptureByte(address, data, opcode);
        CheckCapture(before, host::TheExtension().flash, address, data);
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
        const uint32_t nmi_before = h.Sfr(Reg::NMISTAT);
        faults.address_unreliable = h.fail.count("PeltoGetLastMemoryAddress") != 0;
        h.ProgramCodeRead(address, opcode);
        // A host that answers with another address than the one read is beyond any check.
        if (!faults.address_unreliable) CheckEccReport(h, nmi_before, address);
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
    case kFlakyReads:
        faults.period = in.ConsumeIntegralInRange<uint32_t>(0, kMaxFlakyPeriod);
        faults.result = in.ConsumeIntegral<uint32_t>();
        break;
    case kUnreadRegister:
        faults.unread_registers.push_back(
            flash::kRegisters[in.ConsumeIntegralInRange<std::size_t>(0, flash::kRegisters.size() - 1)].id);
        break;
    case kEventCount:
        break;
    }
    const std::string broken = flash_invariants::BrokenInvariant(h, checked);
    if (!broken.empty()) Broken(broken);
    CheckMemoryWrites(h, writes_before);
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
    ReadFaults faults;
    h->fail_call = [&faults](const testing_host::Call& c) { return faults(c); };
    std::size_t checked = h->calls.size();
    for (int event = 0; event < kMaxEvents && in.remaining_bytes() > 0; ++event) Run(in, *h, faults, checked);
    return 0;
}
