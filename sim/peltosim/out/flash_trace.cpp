#include "sim/peltosim/out/flash_trace.h"

#include <cinttypes>

#include "sim/peltosim/base/numbers.h"
#include "sim/peltosim/host/sim_host.h"

namespace peltosim {
namespace {

constexpr uint8_t kRequestBits = 0x0F;
constexpr uint8_t kModeBits = 0xF0;
constexpr uint32_t kHostSpaceBits = PELTO_SPACE_MASK;
constexpr unsigned kBitsPerByte = 8;

struct ModeName {
    uint8_t request;
    uint8_t mode;
    std::string_view name;
};
constexpr std::array kModeNames{
    ModeName{flash::kRequestPwd, flash::kModePwd, "password"},
    ModeName{flash::kRequestRead, flash::kModeRead, "read"},
    ModeName{flash::kRequestErase, flash::kModeErase, "erase"},
    ModeName{flash::kRequestProgram, flash::kModeProgram, "program"},
};

std::string Range(uint32_t first, uint32_t size) { return Hex(first, 4) + "-" + Hex(first + size - 1, 4); }

std::optional<int> ControlIndex(uint32_t id) {
    for (int c = 0; c < flash::kControlCount; ++c)
        if (flash::Id(flash::kControls[c]) == id) return c;
    return std::nullopt;
}

std::string_view ControlName(int control) { return flash::Info(flash::kControls[control]).name; }

std::string ModeText(uint8_t value, bool request) {
    for (const auto& m : kModeNames)
        if ((request ? value & kRequestBits : value & kModeBits) == (request ? m.request : m.mode)) return std::string(m.name);
    return Hex(value, 2);
}

}  // namespace

void FlashTrace::Line(uint64_t cycle, uint16_t pc, const std::string& text) {
    std::fprintf(out_, "trace: cycle %" PRIu64 " pc %s: %s\n", cycle, Hex(pc, 4).c_str(), text.c_str());
}

void FlashTrace::Line(uint64_t cycle, const std::string& text) {
    Line(cycle, static_cast<uint16_t>(host_.GetProgramCounter()), text);
}

uint8_t FlashTrace::Value(flash::Reg reg) const {
    const auto v = host_.sfrs().Read(flash::Id(reg));
    return v ? v->current : 0;
}

std::optional<int> FlashTrace::ControlIn(uint8_t mode) const {
    for (int c = 0; c < flash::kControlCount; ++c)
        if (Value(flash::kControls[c]) & mode) return c;
    return std::nullopt;
}

std::string FlashTrace::ProgramBlock(int bank) const {
    const flash::Bank& b = flash::kBanks[bank];
    const auto& last = last_data_address_[bank];
    if (!last) return std::string(b.name) + ", no byte captured";
    return std::string(b.name) + " block " + Range(*last & ~(b.write_block - 1u), b.write_block);
}

std::string FlashTrace::EraseSectors(int bank) const {
    const flash::Bank& b = flash::kBanks[bank];
    std::string list;
    auto add = [&](std::size_t number, const flash::Sector& sector) {
        list += (list.empty() ? " " : ", ") + std::to_string(number) + " (" + Range(b.base + sector.offset, sector.size) + ")";
    };
    if (!b.IsData()) {
        const uint8_t select = Value(b.select_low);
        for (std::size_t i = 0; i < flash::kPairSectors.size(); ++i)
            if (select >> i & 1) add(i, flash::kPairSectors[i]);
    } else {
        const uint32_t select = Value(*b.select_high) << kBitsPerByte | Value(b.select_low);
        const auto low = static_cast<uint32_t>(flash::kDataSectorsInLowSelect);
        for (std::size_t i = 0; i < flash::kDataSectors.size(); ++i) {
            const uint32_t bit = i < low ? static_cast<uint32_t>(i) : kBitsPerByte + static_cast<uint32_t>(i) - low;
            if (select >> bit & 1) add(i, flash::kDataSectors[i]);
        }
    }
    return std::string(b.name) + (list.empty() ? ", no sector selected" : " sector" + list);
}

std::optional<FlashTrace::Operation> FlashTrace::Describe() const {
    if (const auto c = ControlIn(flash::kModeProgram)) return Operation{false, ProgramBlock(flash::BankOfControl(*c))};
    if (const auto c = ControlIn(flash::kModeErase)) return Operation{true, EraseSectors(flash::BankOfControl(*c))};
    return std::nullopt;
}

void FlashTrace::SettleRequest() {
    if (!request_) return;
    Line(request_->cycle, request_->pc,
         std::string(ControlName(request_->control)) + " <- " + Hex(request_->value, 2) + ": " +
             ModeText(request_->value, true) + " request refused, bank mode unchanged");
    request_.reset();
}

void FlashTrace::RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) {
    const auto control = ControlIndex(id);
    if (by_program) {
        SettleRequest();
        answered_ = false;
        expired_ = false;
        if (id == flash::Id(flash::Reg::FDATA)) {
            const uint16_t address = host_.cpu().Dptr();
            if (const auto bank = flash::BankOfAddress(address)) last_data_address_[*bank] = address;
        }
        if (control && (value & kRequestBits) != 0)
            request_ = Request{*control, value, cycle, static_cast<uint16_t>(host_.GetProgramCounter())};
        return;
    }
    const uint32_t last = host_.GetLastMemoryAddress();
    if (request_ && control == request_->control && last == id) {
        Line(request_->cycle, request_->pc,
             std::string(ControlName(request_->control)) + " <- " + Hex(request_->value, 2) + ": " +
                 ModeText(request_->value, true) + " request accepted, bank in " + ModeText(value, false) + " mode");
        request_.reset();
        return;
    }
    SettleRequest();
    if (control && last == flash::Id(flash::Reg::FCMD)) {
        if (answered_) return;
        answered_ = true;
        Line(cycle, running_ ? "abort: " + std::string(running_->erase ? "erase of " : "program of ") + running_->what + " cancelled, nothing written; every bank back in read mode"
                             : "abort: no operation was running; every bank back in read mode");
        running_.reset();
        return;
    }
    if (last == kNoAddress) {  // a timer callback, or the extension's reset
        if (!expired_) return;
        if (id == flash::Id(flash::Reg::NMISTAT) && (value & flash::kNmiFlashDone)) {
            Line(cycle, "completion signalled: FIRQCFG bit 5 and NMISTAT bit 2 set");
        } else if (control && (value & kModeBits) == flash::kModeRead && !answered_) {
            answered_ = true;
            Line(cycle, running_ ? std::string(running_->erase ? "erase" : "program") + " committed: " + running_->what +
                                       "; bank back in read mode"
                                 : "operation committed; bank back in read mode");
            running_.reset();
        }
        return;
    }
    if ((last & kHostSpaceBits) == PELTO_SPACE_CODE && id == flash::Id(flash::Reg::NMISTAT) && (value & flash::kNmiEccError))
        Line(cycle, "ECC error: MOVC read of " + Hex(last & flash::kAddressBits, 4) +
                        " does not match its check bits (NMISTAT bit 6 set)");
}

void FlashTrace::TimerArmed(uint64_t cycle, std::optional<uint64_t> due) {
    SettleRequest();
    const uint32_t last = host_.GetLastMemoryAddress();
    if (due && last == flash::Id(flash::Reg::FCMD)) {
        running_ = Describe();
        if (running_)
            Line(cycle, std::string(running_->erase ? "erase" : "program") + " started: " + running_->what +
                            (running_->erase ? "; first phase until cycle " : "; until cycle ") + std::to_string(*due));
    } else if (due && last == kNoAddress && running_ && running_->erase) {
        Line(cycle, "erase second phase: " + running_->what + "; until cycle " + std::to_string(*due));
    } else if (!due && running_) {
        if (const auto control = ControlIndex(last)) {
            Line(cycle, std::string(running_->erase ? "erase of " : "program of ") + running_->what + " dropped: a new request on " + std::string(ControlName(*control)) +
                            " stops the running operation");
            running_.reset();
        }
    }
}

void FlashTrace::TimerExpired(uint64_t) {
    SettleRequest();
    answered_ = false;
    expired_ = true;
}

void FlashTrace::Finish() { SettleRequest(); }

}  // namespace peltosim
