// Host events for the extension over the fake host, each decoded from one block of eight bytes
// (a fuzzer's input, or pseudo-random blocks), with every invariant checked after each event:
// program writes of the controls, FCMD, FDATA and the other flash registers, whole write blocks
// captured, data reads of flash, time passing, timer calls on time, early or late, resets, a
// second start-up, host services that start or stop failing, and reads that fail now and then
// or for some registers.
//
// After every event the invariants of flash_invariants.h hold (the outcome model while no
// service fails: after a timer call the host served late, which ends nothing, every operation
// started later still ends at its exact due cycle, so none is left stuck), and whatever fails:
//  - a byte written to FDATA is captured as written, where it was addressed, or not at all;
//  - an ECC error is reported only for a byte that disagrees with its valid shadow;
//  - code memory receives only zeros or a capture row, the shadow only zeros or valid marks.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "flash/capture.h"
#include "flash/regmap.h"
#include "flash/rom/images.h"
#include "fuzz/fill_random.h"
#include "fuzz/flash_invariants.h"
#include "host/extension.h"
#include "services/services.h"
#include "tests/fake_host.h"

namespace flash_events {

inline constexpr std::size_t kBlockBytes = 8;
using Block = std::span<const uint8_t, kBlockBytes>;

enum Event : uint8_t {
    kControlWrite, kCommandWrite, kCapture, kCaptureBlock, kSectorSelect, kAdvanceToDue, kAdvanceToPhaseEnd,
    kAdvance, kTimerNow, kLateTimer, kCodeRead, kReset, kStartAgain, kOtherRegisterWrite, kDebuggerSetsControl,
    kToggleFailure, kFlakyReads, kUnreadRegister, kClearFaults, kEventCount
};

inline constexpr std::array<const char*, kEventCount> kEventNames{
    "control write", "FCMD write", "capture", "capture of a write block", "sector select", "advance to the due cycle",
    "advance to a phase end", "advance", "timer call now", "late timer call", "code read", "reset",
    "second start-up", "other register write", "debugger sets a control", "service failure toggled",
    "flaky reads", "unread register", "faults cleared"};

// Shares of the 256 values of an event block's first byte: mostly the program's flash work and
// time, host faults rarely, so that most events are checked against the outcome model.
struct Share {
    Event event;
    uint8_t share;
};
inline constexpr std::array kShares{
    Share{kControlWrite, 32}, Share{kCommandWrite, 24},     Share{kCapture, 36},      Share{kCaptureBlock, 12},
    Share{kSectorSelect, 16}, Share{kAdvanceToDue, 28},     Share{kAdvanceToPhaseEnd, 8}, Share{kAdvance, 10},
    Share{kTimerNow, 8},      Share{kLateTimer, 6},         Share{kCodeRead, 28},     Share{kReset, 5},
    Share{kStartAgain, 2},    Share{kOtherRegisterWrite, 14}, Share{kDebuggerSetsControl, 6},
    Share{kToggleFailure, 6}, Share{kFlakyReads, 3},        Share{kUnreadRegister, 3}, Share{kClearFaults, 9},
};

constexpr std::array<Event, 256> MakeEventTable() {
    std::array<Event, 256> table{};
    std::size_t next = 0;
    for (const auto& s : kShares)
        for (unsigned i = 0; i < s.share; ++i) table[next++] = s.event;
    return table;
}
constexpr std::size_t ShareTotal() {
    std::size_t total = 0;
    for (const auto& s : kShares) total += s.share;
    return total;
}
static_assert(ShareTotal() == 256 && kShares.size() == kEventCount);
inline constexpr auto kEventOf = MakeEventTable();

inline constexpr uint64_t kMaxIdleCycles = 3'000'000;  // longer than the whole erase
inline constexpr uint32_t kMaxOddTimerDelay = 1000;
inline constexpr uint32_t kMaxFlakyPeriod = 16;

// Pseudo-random event blocks, for runs that are not driven by a fuzzer.
inline uint64_t FillBlocks(std::span<uint8_t> bytes, uint64_t state) { return fuzz::FillRandom(bytes, state); }

// Services that fail whole (any of those the extension calls, with a given result and no effect,
// as FakeHost::fail has them), and reads that fail now and then, or always for some registers:
// a host that loses a call, or does not model a register. Single writes never fail, since a host
// that drops one of two view writes makes the views differ whatever the extension does.
struct HostFaults {
    std::array<std::optional<uint32_t>, host::kDefineSFR> failing{};  // by service number
    std::size_t failing_count = 0;

    uint32_t period = 0;  // every period-th read fails; 0: none
    uint32_t count = 0;
    uint32_t result = 0;
    std::vector<uint32_t> unread_registers;

    // Set when a failed GetLastMemoryAddress answered: its answer may name any byte.
    bool address_unreliable = false;

    std::optional<uint32_t> operator()(const testing_host::Call& c) {
        if (c.id < failing.size() && failing[c.id]) return failing[c.id];
        const bool read = c.id == host::kReadSFR || c.id == host::kReadMemory || c.id == host::kGetStates ||
                          c.id == host::kGetLastMemoryAddress || c.id == host::kGetProgramCounter;
        if (!read) return std::nullopt;
        if (c.id == host::kReadSFR &&
            std::find(unread_registers.begin(), unread_registers.end(), c.args[0]) != unread_registers.end())
            return result;
        if (period == 0 || ++count % period != 0) return std::nullopt;
        address_unreliable = address_unreliable || c.id == host::kGetLastMemoryAddress;
        return result;
    }
    bool Active() const { return failing_count != 0 || period != 0 || !unread_registers.empty(); }
    void Toggle(std::size_t service, uint32_t answer) {
        if (failing[service]) --failing_count;
        else ++failing_count;
        failing[service] = failing[service] ? std::nullopt : std::optional<uint32_t>(answer);
    }
    void Clear() {
        failing = {};
        failing_count = 0;
        period = 0;
        unread_registers.clear();
    }
};

inline uint16_t U16(Block b, std::size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
inline uint32_t U32(Block b, std::size_t at) { return uint32_t{U16(b, at)} | uint32_t{U16(b, at + 2)} << 16; }

// A host started once, its flash filled with pseudo-random bytes whose DFLASH views agree, and
// saved: every run begins from the saved state instead of starting again.
class StartedHost {
public:
    static constexpr uint64_t kMemorySeed = 0x5EED;

    StartedHost() {
        started_ = host_.Start() == host::kResultSuccess && host_.Reset() == host::kResultSuccess;
        const uint64_t state = FillBlocks(host_.code, kMemorySeed);
        FillBlocks(host_.xdata, state);
        for (int b = flash::kPairCount; b < flash::kBankCount; ++b) {
            const auto& bank = flash::kBanks[b];
            std::copy_n(host_.code.begin() + bank.base, bank.size, host_.code.begin() + bank.second_view);
            std::copy_n(host_.xdata.begin() + bank.base, bank.size, host_.xdata.begin() + bank.second_view);
        }
        snapshot_ = host_.Save();
    }
    bool started() const { return started_; }
    testing_host::FakeHost& Restore() {
        host_.Restore(snapshot_);
        return host_;
    }

private:
    testing_host::FakeHost host_;
    testing_host::FakeHost::Snapshot snapshot_;
    bool started_ = false;
};

// The events of `blocks` by name with their bytes, one a line, up to and with event `last`.
inline std::string EventList(std::span<const uint8_t> blocks, std::size_t last) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t e = 0; e <= last && (e + 1) * kBlockBytes <= blocks.size(); ++e) {
        out += "  " + std::string(kEventNames[kEventOf[blocks[e * kBlockBytes]]]) + ":";
        for (std::size_t i = 1; i < kBlockBytes; ++i) {
            const uint8_t v = blocks[e * kBlockBytes + i];
            out += {' ', kDigits[v >> 4], kDigits[v & 0xF]};
        }
        out += "\n";
    }
    return out;
}

// Drives one started host; keeps the host's logs short by clearing them after every event.
class Driver {
public:
    explicit Driver(testing_host::FakeHost& h) : h_(h) {
        h_.fail_call = nullptr;  // set while faults are on
        h_.calls.clear();
        h_.memory_writes.clear();
        model_.Sync(h_);
    }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;
    ~Driver() { h_.fail_call = nullptr; }

    // Runs the event the block names; returns the first broken invariant, empty when all hold.
    // A block that captures a whole write block counts (and is checked) as one event per byte.
    std::string Run(Block b) {
        const Event event = kEventOf[b[0]];
        faulty_before_ = FaultsActive();
        std::string broken = Dispatch(event, b);
        if (broken.empty()) broken = Checked();
        if (!broken.empty()) return std::string(kEventNames[event]) + ": " + broken;
        return {};
    }

    uint64_t events() const { return events_; }

    // The host's cycle and flash timer, the extension's start time and the model's view.
    std::string Describe() const {
        const auto t = Timer();
        const auto due = t ? h_.timers[*t - 1].due : std::nullopt;
        const auto& state = host::TheExtension().flash;
        return "cycle " + std::to_string(h_.cycles) + ", host timer due " + (due ? std::to_string(*due) : "never") +
               ", extension start " + std::to_string(state.start_time) + " armed for " + std::to_string(state.armed_for) + (model_live_ ? "; " + model_.Describe() : "; model not followed (faults)");
    }

private:
    bool FaultsActive() const { return faults_.Active(); }

    // The checks after one event, with faults on before it in faulty_before_.
    std::string Checked() {
        std::string broken = flash_invariants::BrokenInvariant(h_, 0);
        if (broken.empty()) broken = CheckMemoryWrites();
        const bool faulty = faulty_before_ || FaultsActive() || refused_;
        if (model_live_ && !faulty && broken.empty()) broken = model_.Check(h_, 0);
        else model_.Skip();
        if (faulty) model_live_ = false;
        // A start-up under faults may leave the extension with a timer the host never created
        // (a failing CreateTimer answering a nonzero result): no operation can end any more.
        if (!Timer()) refused_ = true;
        if (!model_live_ && !FaultsActive() && !refused_) {
            model_.Sync(h_);
            model_live_ = true;
        }
        h_.calls.clear();
        h_.memory_writes.clear();
        ++events_;
        return broken;
    }
    // The host asks about single calls only while some fault is on.
    void FollowFaults() {
        if (faults_.Active()) h_.fail_call = [this](const testing_host::Call& c) { return faults_(c); };
        else h_.fail_call = nullptr;
    }

    uint16_t FlashAddress(Block b) const {
        // Mostly inside the banks, sometimes anywhere.
        if (b[1] & 1) return U16(b, 2);
        const auto& bank = flash::kBanks[(b[1] >> 1) % flash::kBankCount];
        const uint16_t view = (bank.IsData() && (b[1] & 0x80)) ? bank.second_view : bank.base;
        return static_cast<uint16_t>(view + U16(b, 2) % bank.size);
    }

    std::optional<uint32_t> Timer() const {
        const uint32_t timer = host::TheExtension().flash.timer;
        if (timer == 0 || timer > h_.timers.size()) return std::nullopt;
        return timer;
    }

    std::string Dispatch(Event event, Block b) {
        using flash::Reg;
        switch (event) {
        case kControlWrite: {
            const Reg c = flash::kControls[b[1] % flash::kControlCount];
            const uint32_t v = (b[2] & 1) ? (h_.Sfr(c) | (1u << (b[3] % 4))) : b[4];
            model_.ProgramWrite(h_, flash::Id(c), static_cast<uint8_t>(v), testing_host::FakeHost::kDefaultPc,
                                flash::kOpMovDirectA);
            break;
        }
        case kCommandWrite: {
            const uint32_t v = (b[1] % 4 < 2) ? (h_.Sfr(Reg::FCMD) | flash::kCommandStart)
                               : (b[1] % 4 == 2) ? flash::kCommandIdle
                                                 : b[2];
            model_.ProgramWrite(h_, flash::Id(Reg::FCMD), static_cast<uint8_t>(v), testing_host::FakeHost::kDefaultPc,
                                flash::kOpMovDirectA);
            break;
        }
        case kCapture: {
            const uint8_t opcode = (b[5] & 7) ? flash::kOpMovDirectA : b[6];
            return Capture(FlashAddress(b), b[4], opcode);
        }
        case kCaptureBlock: {
            // ROM_PROGRAM's captures of one write block, bytes drawn from the rest of the block.
            const uint16_t address = FlashAddress(b);
            const auto bank = flash::BankOfAddress(address);
            if (!bank) break;
            const uint16_t size = flash::kBanks[*bank].write_block;
            std::array<uint8_t, flash::kCaptureRowSize> bytes{};
            FillBlocks(bytes, U32(b, 4));
            const auto first = static_cast<uint16_t>(address & ~(size - 1u));
            for (uint16_t i = 0; i + 1 < size; ++i) {
                std::string broken = Capture(static_cast<uint16_t>(first + i), bytes[i], flash::kOpMovDirectA);
                if (broken.empty()) broken = Checked();
                if (!broken.empty()) return broken;
                faulty_before_ = FaultsActive();
            }
            return Capture(static_cast<uint16_t>(first + size - 1), bytes[size - 1], flash::kOpMovDirectA);
        }
        case kSectorSelect:
            model_.SetSfr(h_, flash::Id(flash::kSectorSelects[b[1] % flash::kSectorSelects.size()]), b[2]);
            break;
        case kAdvanceToDue:
            if (const auto t = Timer(); t && h_.timers[*t - 1].due && *h_.timers[*t - 1].due >= h_.cycles)
                model_.Advance(h_, *h_.timers[*t - 1].due - h_.cycles);
            break;
        case kAdvanceToPhaseEnd: {
            // Exactly one duration after the extension's start time, armed or not.
            static constexpr std::array kDurations{flash::kProgramCycles, flash::kEraseFirstPhaseCycles,
                                                   flash::kEraseSecondPhaseCycles};
            const uint64_t end = host::TheExtension().flash.start_time + kDurations[b[1] % kDurations.size()];
            if (end >= h_.cycles) model_.Advance(h_, end - h_.cycles);
            break;
        }
        case kAdvance:
            model_.Advance(h_, U32(b, 1) % (kMaxIdleCycles + 1));
            break;
        case kTimerNow:
            if (!Timer()) break;
            h_.cycles += (b[1] & 1) ? 0 : U16(b, 2) % (kMaxOddTimerDelay + 1);
            model_.TimerCall(h_, false);
            break;
        case kLateTimer: {
            const auto t = Timer();
            if (!t || !h_.timers[*t - 1].due) break;
            h_.cycles = *h_.timers[*t - 1].due + 1 + U16(b, 1) % kMaxOddTimerDelay;
            model_.TimerCall(h_, true);
            break;
        }
        case kCodeRead: {
            const auto& range = flash::kWatchedCode[b[1] % flash::kWatchedCode.size()];
            const auto address = static_cast<uint16_t>(range.first + U16(b, 2) % (range.last - range.first + 1));
            const uint8_t opcode = (b[4] % 4 < 2) ? flash::kOpMovcDptr : (b[4] % 4 == 2) ? flash::kOpMovcPc : b[5];
            const uint32_t nmi_before = h_.Sfr(Reg::NMISTAT);
            faults_.address_unreliable = faults_.failing[host::kGetLastMemoryAddress].has_value();
            model_.CodeRead(h_, address, opcode);
            // A host that answers with another address than the one read is beyond any check.
            if (!faults_.address_unreliable) return CheckEccReport(nmi_before, address);
            break;
        }
        case kReset:
            model_.Reset(h_);
            break;
        case kStartAgain: {
            const bool faulty = FaultsActive();
            const uint32_t result = model_.StartAgain(h_);
            // A refused start-up promises nothing more (a host would unload the extension);
            // only the invariants that hold whatever fails are checked from here on.
            if (result != host::kResultSuccess) refused_ = true;
            if (!faulty) {
                if (result != host::kResultSuccess) return "a second start-up over a host that fails nothing was refused";
                const auto images = flash::rom::Images();
                bool only_images = h_.memory_writes.size() == images.size();
                for (std::size_t i = 0; only_images && i < images.size(); ++i)
                    only_images = h_.memory_writes[i].address == flash::CodeAddress(images[i].address) &&
                                  h_.memory_writes[i].count == images[i].bytes.size();
                if (!only_images) return "a second start-up wrote memory other than the ROM images";
            }
            // Start-up's own calls (registrations, the images) are not flash events.
            h_.calls.clear();
            h_.memory_writes.clear();
            break;
        }
        case kOtherRegisterWrite: {
            const auto& info = flash::kRegisters[b[1] % flash::kRegisters.size()];
            model_.ProgramWrite(h_, info.id, b[2], testing_host::FakeHost::kDefaultPc, b[3]);
            break;
        }
        case kDebuggerSetsControl:
            // A host may change a register behind the extension's back (a debugger, say).
            model_.SetSfr(h_, flash::Id(flash::kControls[b[1] % flash::kControlCount]), b[2]);
            break;
        case kToggleFailure: {
            // Only the services the extension calls after start-up matter here, but any may fail.
            faults_.Toggle(b[1] % host::kDefineSFR, (b[2] & 1) ? 0u : U32(b, 3));
            FollowFaults();
            break;
        }
        case kFlakyReads:
            faults_.period = b[1] % (kMaxFlakyPeriod + 1);
            faults_.result = U32(b, 2);
            FollowFaults();
            break;
        case kUnreadRegister:
            faults_.unread_registers.push_back(flash::kRegisters[b[1] % flash::kRegisters.size()].id);
            FollowFaults();
            break;
        case kClearFaults:
            faults_.Clear();
            FollowFaults();
            break;
        case kEventCount:
            break;
        }
        return {};
    }

    // A byte the program wrote to FDATA is captured only as written and where it was addressed,
    // or not at all; nothing else in the capture state changes.
    std::string Capture(uint16_t address, uint8_t data, uint8_t opcode) {
        const flash::FlashState before = host::TheExtension().flash;
        model_.CaptureByte(h_, address, data, opcode);
        const flash::FlashState& after = host::TheExtension().flash;
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
                return "a capture other than the byte written, where it was written, in " + std::string(bank.name);
        }
        return {};
    }

    // An ECC error is reported only for a byte whose shadow is valid and disagrees with it.
    std::string CheckEccReport(uint32_t nmi_before, uint16_t address) const {
        if ((nmi_before & flash::kNmiEccError) || !(h_.Sfr(flash::Reg::NMISTAT) & flash::kNmiEccError)) return {};
        const uint8_t shadow = h_.xdata[address];
        if (!(shadow & flash::kEccValid) || flash::EccCheckBits(h_.code[address]) == (shadow & flash::kEccCheckMask))
            return "an ECC error reported for a byte that agrees with its shadow";
        return {};
    }

    // What reached memory: code only zeros (erase) or a bank's capture row (program), shadow only
    // zeros (erase) or bytes marked valid (capture). Start-up's images lie outside the banks.
    std::string CheckMemoryWrites() const {
        const auto& state = host::TheExtension().flash;
        for (const auto& w : h_.memory_writes) {
            const uint32_t first = w.address & flash::kAddressBits;
            const bool code = (w.address & flash_invariants::kSpaceBits) == flash::kCodeSpace;
            const auto bank = flash::BankOfAddress(first);
            if (!bank) continue;
            const auto& memory = code ? h_.code : h_.xdata;
            const auto begin = memory.begin() + first;
            if (std::all_of(begin, begin + w.count, [](uint8_t v) { return v == 0; })) continue;
            if (code) {
                if (w.count != flash::kBanks[*bank].write_block || !std::equal(begin, begin + w.count, state.capture[*bank].begin()))
                    return "code written with bytes other than zeros or the bank's capture row at " +
                           flash_invariants::Hex(w.address);
            } else if (w.count != 1 || !(*begin & flash::kEccValid)) {
                return "shadow written with neither zeros nor a valid mark at " + flash_invariants::Hex(w.address);
            }
        }
        return {};
    }

    testing_host::FakeHost& h_;
    flash_invariants::OutcomeModel model_;
    HostFaults faults_;
    bool model_live_ = true;
    bool refused_ = false;
    bool faulty_before_ = false;
    uint64_t events_ = 0;
};

}  // namespace flash_events
