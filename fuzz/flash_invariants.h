// What the extension must never do, whatever the host reports or refuses, checked over the fake
// host's call log: shared by the host-event fuzzer, the property test and run, and the host-fault
// tests.
//
//  - A bank control is only ever written a whole mode value (0x10, 0x20, 0x40, 0x80).
//  - Registers are written only among the flash registers, with the masks 0xFF, 0x40, 0x20, 0x04.
//  - Memory writes, failed ones included, lie wholly inside one bank or its ECC shadow.
//  - Memory reads are one byte of code or external data memory.
//  - The flash timer is only armed with one of the three durations, or disarmed.
//  - Both views of each DFLASH bank hold the same bytes, in code and in the shadow.
//
// OutcomeModel adds what the operations must achieve, checked after every event while no host
// service fails (see there).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "flash/capture.h"
#include "flash/regmap.h"
#include "flash/rom/images.h"
#include "flash/sequencer.h"
#include "host/extension.h"
#include "tests/fake_host.h"

namespace flash_invariants {

inline constexpr uint64_t kSpaceBits = 0xFF000000;  // host memory address: the space
inline constexpr uint64_t kAddressFields = kSpaceBits | flash::kAddressBits;

inline bool InBankOrShadow(uint64_t address, uint64_t count) {
    const uint64_t space = address & kSpaceBits;
    if (space != flash::kCodeSpace && space != flash::kShadowSpace) return false;
    if ((address & ~kAddressFields) != 0 || count == 0) return false;
    const uint64_t first = address & flash::kAddressBits;
    const uint64_t last = first + count - 1;
    if (last > flash::kAddressBits) return false;
    const auto bank = flash::BankOfAddress(static_cast<uint32_t>(first));
    return bank && flash::BankOfAddress(static_cast<uint32_t>(last)) == bank;
}

inline bool IsControl(uint64_t id) {
    for (flash::Reg control : flash::kControls)
        if (id == flash::Id(control)) return true;
    return false;
}

inline bool IsFlashRegister(uint64_t id) {
    for (const auto& info : flash::kRegisters)
        if (id == info.id) return true;
    return false;
}

inline bool IsModeValue(uint64_t v) {
    return v == flash::kModePwd || v == flash::kModeRead || v == flash::kModeErase || v == flash::kModeProgram;
}

inline bool IsWriteMask(uint64_t mask) {
    return mask == 0xFF || mask == flash::kNmiEccError || mask == flash::kIrqDone || mask == flash::kNmiFlashDone;
}

inline bool IsTimerCount(uint64_t count) {
    return count == flash::kProgramCycles || count == flash::kEraseFirstPhaseCycles ||
           count == flash::kEraseSecondPhaseCycles || count == flash::kTimerDisarm;
}

inline std::string Hex(uint64_t v) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[v & 0xF]);
        v >>= 4;
    } while (v != 0);
    return "0x" + out;
}

// The first broken invariant among the calls from `from` on and in the memory they wrote; empty
// when all hold. The views are compared where those calls wrote (they part nowhere else).
inline std::string BrokenInvariant(const testing_host::FakeHost& h, std::size_t from) {
    for (std::size_t i = from; i < h.calls.size(); ++i) {
        const auto& call = h.calls[i];
        const auto& a = call.args;
        if (call.id == host::kWriteSFR) {
            if (!IsFlashRegister(a[0])) return "write of a register outside the flash map: " + Hex(a[0]);
            if (!IsWriteMask(a[2])) return "register " + Hex(a[0]) + " written with mask " + Hex(a[2]);
            if (IsControl(a[0]) && !IsModeValue(a[1])) return "control " + Hex(a[0]) + " written " + Hex(a[1]);
        } else if (call.id == host::kWriteMemory) {
            if (!InBankOrShadow(a[0], a[1])) return "memory write outside the banks: " + Hex(a[0]) + " +" + Hex(a[1]);
        } else if (call.id == host::kReadMemory) {
            const uint64_t space = a[0] & kSpaceBits;
            if (a[1] != 1 || (space != flash::kCodeSpace && space != flash::kShadowSpace))
                return "memory read of " + Hex(a[1]) + " bytes at " + Hex(a[0]);
        } else if (call.id == host::kSetTimer) {
            if (!IsTimerCount(a[1])) return "timer armed for " + Hex(a[1]) + " cycles";
        }
    }
    // The views were equal before; only the extension's writes since `from` can part them.
    for (std::size_t i = from; i < h.calls.size(); ++i) {
        const auto& call = h.calls[i];
        if (call.id != host::kWriteMemory || !InBankOrShadow(call.args[0], call.args[1])) continue;
        const auto first = static_cast<uint16_t>(call.args[0] & flash::kAddressBits);
        const int b = *flash::BankOfAddress(first);
        const auto& bank = flash::kBanks[b];
        if (!bank.IsData()) continue;
        const auto& memory = (call.args[0] & kSpaceBits) == flash::kCodeSpace ? h.code : h.xdata;
        const auto here = memory.begin() + first;
        const auto there = memory.begin() + flash::OtherView(bank, first);
        const auto differs = std::mismatch(here, here + static_cast<std::ptrdiff_t>(call.args[1]), there).first;
        if (differs != here + static_cast<std::ptrdiff_t>(call.args[1]))
            return std::string(&memory == &h.code ? "code" : "shadow") + " views differ in " + std::string(bank.name) +
                   " at offset " + Hex(static_cast<uint64_t>(differs - memory.begin()) & (bank.size - 1u));
    }
    return {};
}

// ---- Outcomes ------------------------------------------------------------------------------
//
// What the firmware must see, followed in a model of its own beside the host: every flash
// register, the flash timer, code memory and the ECC shadow. The caller acts on host and model
// together through the Act methods and calls Check after every event:
//  - an erase clears exactly the selected sectors of the bank in erase mode, in code memory and
//    shadow (both views for DFLASH), and nothing else;
//  - a program commit writes the capture row at the write block of the bank's last captured
//    address (both views for DFLASH), and nothing else;
//  - a phase ends only on a timer call (or a request) at exactly its duration after its start,
//    and only while the timer is armed for it: never after a cancel, before a start, at another
//    cycle, or at another phase's duration;
//  - the FPHASE registers hold the values of the phase the erase is in;
//  - completion is signalled exactly when FIRQCFG bit 0 was set at the commit;
//  - every shadow byte is the OR of the check bits, with the valid bit, of the bytes captured
//    at its address since the last erase (over what the shadow held before);
//  - an ECC error is reported exactly for a MOVC read of a byte that disagrees with its valid
//    shadow.
// The model holds while no host service fails: a failing host makes the extension take safe
// ways of its own. Once the faults are gone it starts again from the host as it stands.
class OutcomeModel {
public:
    enum class Phase : uint8_t { kNone, kProgram, kEraseFirst, kEraseSecond };

    // Takes memory, registers and the flash timer from the host, and the start time and capture
    // rows, which the firmware cannot see, from the extension.
    void Sync(const testing_host::FakeHost& h) {
        code_ = h.code;
        xdata_ = h.xdata;
        for (std::size_t i = 0; i < flash::kRegisters.size(); ++i)
            regs_[i] = {h.Sfr(flash::kRegisters[i].id), h.Previous(flash::kRegisters[i].id)};
        const auto& state = host::TheExtension().flash;
        timer_ = state.timer;
        due_ = HostDue(h);
        start_ = state.start_time;
        phase_ = PhaseLasting(state.armed_for);
        capture_ = state.capture;
        last_ = state.last_captured;
        captured_ = state.captured;
        dirty_.clear();
    }

    // ---- the program and the host, acting on both ----

    void ProgramWrite(testing_host::FakeHost& h, uint32_t id, uint8_t value, uint16_t at, uint8_t opcode) {
        SetCode(at, opcode);
        if (const auto i = IndexOf(id)) {
            auto& r = regs_[*i];
            r.previous = r.current;
            r.current = value;
        }
        if (id == flash::Id(flash::Reg::FDATA)) Capture(at);
        else if (id == flash::Id(flash::Reg::FCMD)) Command(h.cycles);
        else if (const auto c = ControlOf(id)) Request(*c, h.cycles);
        h.ProgramWrite(id, value, at, opcode);
    }

    void CaptureByte(testing_host::FakeHost& h, uint16_t address, uint8_t data, uint8_t opcode) {
        SetSfr(h, flash::Id(flash::Reg::DPH), address >> 8);
        SetSfr(h, flash::Id(flash::Reg::DPL), address & 0xFF);
        ProgramWrite(h, flash::Id(flash::Reg::FDATA), data, testing_host::FakeHost::kDefaultPc, opcode);
    }

    void CodeRead(testing_host::FakeHost& h, uint16_t address, uint8_t opcode) {
        SetCode(testing_host::FakeHost::kDefaultPc, opcode);
        const bool watched = std::any_of(flash::kWatchedCode.begin(), flash::kWatchedCode.end(),
                                         [&](const flash::Range& r) { return r.first <= address && address <= r.last; });
        if (watched) EccRead(address, opcode);
        h.ProgramCodeRead(address, opcode);
    }

    // A register changed behind the extension's back (a debugger, or the harness).
    void SetSfr(testing_host::FakeHost& h, uint32_t id, uint32_t value) {
        if (const auto i = IndexOf(id)) regs_[*i] = {value, value};
        h.SetSfr(id, value);
    }

    // Time passes; every timer the host holds runs at its due cycle, those of an earlier
    // start-up included (each is a timer call to the extension).
    void Advance(testing_host::FakeHost& h, uint64_t cycles) {
        const uint64_t end = h.cycles + cycles;
        std::vector<std::optional<uint64_t>> others(h.timers.size());
        for (std::size_t t = 0; t < h.timers.size(); ++t)
            if (t + 1 != timer_) others[t] = h.timers[t].due;
        for (;;) {
            // A flag and a plain cycle: gcc -O3 takes an optional here for maybe uninitialized.
            bool any = due_ && *due_ <= end;
            uint64_t next = any ? *due_ : 0;
            std::optional<std::size_t> other;
            for (std::size_t t = 0; t < others.size(); ++t)
                if (others[t] && *others[t] <= end && (!any || *others[t] < next)) {
                    any = true;
                    next = *others[t];
                    other = t;
                }
            if (!any) break;
            if (other) others[*other].reset();
            else due_.reset();
            Call(next);
        }
        h.Advance(cycles);
    }

    // The host calls the timer at the current cycle, due or not; `consumed`: the host counts the
    // timer as served (it is no longer armed), as a host serving it late does.
    void TimerCall(testing_host::FakeHost& h, bool consumed) {
        if (consumed) {
            h.timers.at(timer_ - 1).due.reset();
            due_.reset();
        }
        Call(h.cycles);
        h.FireTimerNow(timer_);
    }

    uint32_t Reset(testing_host::FakeHost& h) {
        for (const auto& reg : flash::kRegisters)
            if (reg.reset != flash::kNotReset) Write(reg.reg, static_cast<uint8_t>(reg.reset));
        return h.Reset();
    }

    // ENTRY_START again over a started extension: buffers cleared, a new timer, the images again.
    uint32_t StartAgain(testing_host::FakeHost& h) {
        capture_ = {};
        last_ = {};
        captured_ = {};
        start_ = flash::kNoStartTime;
        for (const auto& image : flash::rom::Images()) {
            std::copy(image.bytes.begin(), image.bytes.end(), code_.begin() + image.address);
            dirty_.push_back({flash::kCodeSpace | image.address, static_cast<uint32_t>(image.bytes.size())});
        }
        PeltoStartupRecord record{};
        const uint32_t result = host::Entry(PELTO_ENTRY_START, &record, &testing_host::FakeHost::Resolve);
        timer_ = static_cast<uint32_t>(h.timers.size());
        Disarm();
        return result;
    }

    // ---- what the model knows ----

    std::optional<uint64_t> due() const { return due_; }
    uint64_t start() const { return start_; }
    uint32_t timer() const { return timer_; }

    // The first outcome that differs between host and model, looking at the memory the extension
    // wrote from `writes_from` on and what the model changed; empty when all agree.
    std::string Check(const testing_host::FakeHost& h, std::size_t writes_from) {
        std::string broken;
        for (std::size_t i = 0; i < flash::kRegisters.size() && broken.empty(); ++i) {
            const auto& info = flash::kRegisters[i];
            if (h.Sfr(info.id) != regs_[i].current)
                broken = std::string(info.name) + " is " + Hex(h.Sfr(info.id)) + ", the firmware must see " +
                         Hex(regs_[i].current) + PhaseText();
        }
        if (broken.empty() && HostDue(h) != due_)
            broken = "flash timer due at " + DueText(HostDue(h)) + ", expected " + DueText(due_) + PhaseText();
        for (std::size_t i = writes_from; i < h.memory_writes.size() && broken.empty(); ++i)
            broken = Compare(h, h.memory_writes[i].address, h.memory_writes[i].count);
        for (std::size_t i = 0; i < dirty_.size() && broken.empty(); ++i)
            broken = Compare(h, dirty_[i].address, dirty_[i].count);
        dirty_.clear();
        return broken;
    }

    // Timer and phase as the model has them, for a trace of a finding.
    std::string Describe() const {
        return "model: due " + DueText(due_) + ", start " + std::to_string(start_) + PhaseText();
    }

    // Forgets what was changed since the last check (the model is not followed meanwhile).
    void Skip() { dirty_.clear(); }

private:
    struct Value {
        uint32_t current = 0;
        uint32_t previous = 0;
    };
    struct Range {
        uint32_t address;  // host address
        uint32_t count;
    };

    static std::optional<std::size_t> IndexOf(uint32_t id) {
        for (std::size_t i = 0; i < flash::kRegisters.size(); ++i)
            if (flash::kRegisters[i].id == id) return i;
        return std::nullopt;
    }
    static std::optional<int> ControlOf(uint32_t id) {
        for (int c = 0; c < flash::kControlCount; ++c)
            if (flash::Id(flash::kControls[c]) == id) return c;
        return std::nullopt;
    }
    static uint64_t Duration(Phase phase) {
        switch (phase) {
        case Phase::kProgram: return flash::kProgramCycles;
        case Phase::kEraseFirst: return flash::kEraseFirstPhaseCycles;
        case Phase::kEraseSecond: return flash::kEraseSecondPhaseCycles;
        case Phase::kNone: break;
        }
        return 0;
    }
    static Phase PhaseLasting(uint64_t cycles) {
        if (cycles == flash::kProgramCycles) return Phase::kProgram;
        if (cycles == flash::kEraseFirstPhaseCycles) return Phase::kEraseFirst;
        if (cycles == flash::kEraseSecondPhaseCycles) return Phase::kEraseSecond;
        return Phase::kNone;
    }
    std::optional<uint64_t> HostDue(const testing_host::FakeHost& h) const {
        if (timer_ == 0 || timer_ > h.timers.size()) return std::nullopt;
        return h.timers[timer_ - 1].due;
    }
    static std::string DueText(std::optional<uint64_t> due) { return due ? std::to_string(*due) : "never"; }
    std::string PhaseText() const {
        static constexpr std::array<const char*, 4> kNames{"no operation", "program", "first erase phase",
                                                           "second erase phase"};
        return " (" + std::string(kNames[static_cast<std::size_t>(phase_)]) + ")";
    }

    uint32_t& Current(flash::Reg r) { return regs_[static_cast<std::size_t>(r)].current; }
    uint8_t Read(flash::Reg r) { return static_cast<uint8_t>(Current(r) & 0xFF); }
    void Write(flash::Reg r, uint8_t value, uint8_t mask = 0xFF) {
        auto& v = regs_[static_cast<std::size_t>(r)];
        v.previous = v.current;
        v.current = (v.current & ~uint32_t{mask}) | (value & mask);
    }
    void SetCode(uint16_t at, uint8_t value) {
        code_[at] = value;
        dirty_.push_back({flash::CodeAddress(at), 1});
    }
    void Clear(uint16_t first, uint16_t count) {
        std::fill_n(code_.begin() + first, count, 0);
        std::fill_n(xdata_.begin() + first, count, 0);
        dirty_.push_back({flash::CodeAddress(first), count});
        dirty_.push_back({flash::ShadowAddress(first), count});
    }

    void Arm(Phase phase, uint64_t now, uint64_t cycles) {
        phase_ = phase;
        start_ = now;
        due_ = now + cycles;
    }
    void Disarm() {
        phase_ = Phase::kNone;
        due_.reset();
    }
    // Whether the phase the extension armed the timer for ends at `now`.
    bool Ends(uint64_t now) const { return phase_ != Phase::kNone && now - start_ == Duration(phase_); }

    // A timer call: ends the timed phase at exactly its duration, at any other cycle nothing.
    void Call(uint64_t now) {
        if (!Ends(now)) return;
        const Phase ending = phase_;
        Disarm();
        EndPhase(ending, now);
    }

    std::optional<int> FirstControlIn(uint8_t mode) {
        for (int c = 0; c < flash::kControlCount; ++c)
            if (Read(flash::kControls[c]) & mode) return c;
        return std::nullopt;
    }

    void Request(int control, uint64_t now) {
        const auto mode = flash::ClassifyRequest(Read(flash::kControls[control]));
        if (!mode) return;
        Write(flash::kControls[control], *mode);
        // A request in the very cycle the timer falls due ends the phase first; any other
        // cancels the operation.
        const bool ends = Ends(now);
        const Phase ending = phase_;
        Disarm();
        if (ends) EndPhase(ending, now);
    }

    void Command(uint64_t now) {
        const uint8_t value = Read(flash::Reg::FCMD);
        const auto previous = static_cast<uint8_t>(regs_[static_cast<std::size_t>(flash::Reg::FCMD)].previous & 0xFF);
        if ((value & flash::kCommandMask) == flash::kCommandStart) {
            if (FirstControlIn(flash::kModeProgram)) {
                Arm(Phase::kProgram, now, flash::kProgramCycles);
            } else if (FirstControlIn(flash::kModeErase)) {
                Arm(Phase::kEraseFirst, now, flash::kEraseFirstPhaseCycles);
                for (flash::Reg phase : {flash::Reg::FPHASE0, flash::Reg::FPHASE1, flash::Reg::FPHASE2})
                    Write(phase, flash::kPhaseStart);
            }
        } else if ((previous & flash::kCommandMask) == flash::kCommandStart &&
                   (value & flash::kCommandMask) == flash::kCommandIdle) {
            for (flash::Reg control : flash::kControls) Write(control, flash::kModeRead);
            Disarm();
            start_ = flash::kNoStartTime;
        }
    }

    void EndPhase(Phase phase, uint64_t now) {
        switch (phase) {
        case Phase::kNone: break;
        case Phase::kProgram: ProgramCommit(); break;
        case Phase::kEraseFirst:
            Write(flash::Reg::FPHASE0, flash::kPhaseSecond);
            Write(flash::Reg::FPHASE1, flash::kPhaseSecond);
            Write(flash::Reg::FPHASE2, flash::kPhaseSecondReference);
            Arm(Phase::kEraseSecond, now, flash::kEraseSecondPhaseCycles);
            break;
        case Phase::kEraseSecond: EraseCommit(); break;
        }
    }

    void Complete(int control, uint8_t irq_config) {
        if (irq_config & flash::kIrqEnable) {
            Write(flash::Reg::FIRQCFG, flash::kIrqDone, flash::kIrqDone);
            Write(flash::Reg::NMISTAT, flash::kNmiFlashDone, flash::kNmiFlashDone);
        }
        const auto& bank = flash::kBanks[flash::BankOfControl(control)];
        for (int c = bank.first_control; c < bank.first_control + bank.control_count; ++c)
            Write(flash::kControls[c], flash::kModeRead);
    }

    void ProgramCommit() {
        const uint8_t irq_config = Read(flash::Reg::FIRQCFG);
        const auto control = FirstControlIn(flash::kModeProgram);
        if (!control) return;
        const int b = flash::BankOfControl(*control);
        const auto& bank = flash::kBanks[b];
        if (captured_[b]) {
            const auto block = static_cast<uint16_t>(last_[b] & ~(bank.write_block - 1u));
            const std::array<uint16_t, 2> views{block, flash::OtherView(bank, block)};
            for (uint16_t view : std::span(views).first(bank.IsData() ? 2 : 1)) {
                std::copy_n(capture_[b].begin(), bank.write_block, code_.begin() + view);
                dirty_.push_back({flash::CodeAddress(view), bank.write_block});
            }
        }
        Complete(*control, irq_config);
    }

    void ClearSelected(uint16_t view, uint8_t select, std::span<const flash::Sector> sectors) {
        for (std::size_t bit = 0; bit < sectors.size(); ++bit)
            if (select & (1u << bit)) Clear(static_cast<uint16_t>(view + sectors[bit].offset), sectors[bit].size);
    }

    void EraseCommit() {
        const uint8_t irq_config = Read(flash::Reg::FIRQCFG);
        const auto control = FirstControlIn(flash::kModeErase);
        if (!control) return;
        const auto& bank = flash::kBanks[flash::BankOfControl(*control)];
        if (!bank.IsData()) {
            ClearSelected(bank.base, Read(bank.select_low), flash::kPairSectors);
            Write(bank.select_low, 0);
        } else {
            const std::span<const flash::Sector> sectors{flash::kDataSectors};
            for (uint16_t view : {bank.base, bank.second_view}) {
                ClearSelected(view, Read(bank.select_low), sectors.first(flash::kDataSectorsInLowSelect));
                ClearSelected(view, Read(*bank.select_high), sectors.subspan(flash::kDataSectorsInLowSelect));
            }
            Write(bank.select_low, 0);
            Write(*bank.select_high, 0);
        }
        Complete(*control, irq_config);
    }

    void Capture(uint16_t pc) {
        if (code_[pc] != flash::kOpMovDirectA) return;
        const auto address = static_cast<uint16_t>(Read(flash::Reg::DPH) << 8 | Read(flash::Reg::DPL));
        const auto b = flash::BankOfAddress(address);
        if (!b) return;
        const auto& bank = flash::kBanks[*b];
        const uint8_t data = Read(flash::Reg::FDATA);
        capture_[*b][address & (bank.write_block - 1u)] = data;
        last_[*b] = address;
        captured_[*b] = true;
        const auto shadow = static_cast<uint8_t>(xdata_[address] | flash::kEccValid | flash::EccCheckBits(data));
        const std::array<uint16_t, 2> views{address, flash::OtherView(bank, address)};
        for (uint16_t view : std::span(views).first(bank.IsData() ? 2 : 1)) {
            xdata_[view] = shadow;
            dirty_.push_back({flash::ShadowAddress(view), 1});
        }
    }

    void EccRead(uint16_t address, uint8_t opcode) {
        if (opcode != flash::kOpMovcPc && opcode != flash::kOpMovcDptr) return;
        if (!flash::BankOfAddress(address)) return;
        const uint8_t shadow = xdata_[address];
        if (!(shadow & flash::kEccValid) || flash::EccCheckBits(code_[address]) == (shadow & flash::kEccCheckMask)) return;
        Write(flash::Reg::NMISTAT, flash::kNmiEccError, flash::kNmiEccError);
    }

    std::string Compare(const testing_host::FakeHost& h, uint32_t address, uint32_t count) const {
        const bool code = (address & kSpaceBits) == flash::kCodeSpace;
        const uint32_t first = address & flash::kAddressBits;
        const auto& host_memory = code ? h.code : h.xdata;
        const auto& model = code ? code_ : xdata_;
        const uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(model.size() - first));
        if (std::memcmp(host_memory.data() + first, model.data() + first, n) == 0) return {};
        const auto at = static_cast<std::size_t>(
            std::mismatch(host_memory.begin() + first, host_memory.begin() + first + n, model.begin() + first).first -
            host_memory.begin());
        return std::string(code ? "code " : "shadow ") + Hex(at) + " holds " + Hex(host_memory[at]) +
               ", the firmware must see " + Hex(model[at]) + PhaseText();
    }

    std::array<uint8_t, 0x10000> code_{};
    std::array<uint8_t, 0x10000> xdata_{};
    std::array<Value, flash::kRegisters.size()> regs_{};
    uint32_t timer_ = 0;
    std::optional<uint64_t> due_;
    uint64_t start_ = flash::kNoStartTime;
    Phase phase_ = Phase::kNone;
    std::array<std::array<uint8_t, flash::kCaptureRowSize>, flash::kBankCount> capture_{};
    std::array<uint32_t, flash::kBankCount> last_{};
    std::array<bool, flash::kBankCount> captured_{};
    std::vector<Range> dirty_;
};

}  // namespace flash_invariants
