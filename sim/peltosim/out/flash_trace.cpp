#include "sim/peltosim/out/flash_trace.h"

#include <cinttypes>

#include "sim/peltosim/base/numbers.h"
#include "sim/peltosim/host/sim_host.h"

namespace peltosim {
namespace {

constexpr uint8_t kRequestBits = 0x0F;
constexpr uint8_t kModeBits = 0xF0;
constexpr uint32_t kHostSpaceBits = PELTO_SPACE_MASK;

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

std::string FlashTrace::What(const FlashOperation& op) const {
    const flash::Bank& b = flash::kBanks[op.bank];
    if (op.kind == OpKind::kProgram) {
        if (!op.block_captured) return std::string(b.name) + ", no byte captured";
        return std::string(b.name) + " block " + Range(op.block, b.write_block);
    }
    std::string list;
    for (unsigned s = 0; s < SectorCount(b); ++s) {
        if (!(op.sectors >> s & 1u)) continue;
        const flash::Sector& sector = b.IsData() ? flash::kDataSectors[s] : flash::kPairSectors[s];
        list += (list.empty() ? " " : ", ") + std::to_string(s) + " (" + Range(b.base + sector.offset, sector.size) + ")";
    }
    return std::string(b.name) + (list.empty() ? ", no sector selected" : " sector" + list);
}

void FlashTrace::SettleRequest() {
    if (!request_) return;
    Line(request_->cycle, request_->pc,
         std::string(ControlName(request_->control)) + " <- " + Hex(request_->value, 2) + ": " +
             ModeText(request_->value, true) + " request refused, bank mode unchanged");
    request_.reset();
}

void FlashTrace::ChipReset(uint64_t cycle, bool power_cut) {
    SettleRequest();
    const FlashOperation* op = tracker_.Running();
    const std::string what = op ? std::string(op->kind == OpKind::kErase ? "erase of " : "program of ") + What(*op) + " cut off"
                                : std::string("between operations");
    Line(cycle, std::string(power_cut ? "power cut" : "reset") + " at cycle " + std::to_string(cycle) + ": " + what);
    request_.reset();
    answered_ = true;
    expired_ = false;
    resetting_ = true;
}

void FlashTrace::RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) {
    if (by_program) resetting_ = false;
    if (resetting_) return;
    const auto control = ControlIndex(id);
    if (by_program) {
        SettleRequest();
        answered_ = false;
        expired_ = false;
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
        // With an operation running, the tracker reports the abort when the timer is cancelled.
        if (answered_ || tracker_.Running()) return;
        answered_ = true;
        Line(cycle, "abort: no operation was running; every bank back in read mode");
        return;
    }
    if (last == kNoAddress) {  // a timer callback, or the extension's reset
        if (expired_ && id == flash::Id(flash::Reg::NMISTAT) && (value & flash::kNmiFlashDone))
            Line(cycle, "completion signalled: FIRQCFG bit 5 and NMISTAT bit 2 set");
        return;
    }
    if ((last & kHostSpaceBits) == PELTO_SPACE_CODE && id == flash::Id(flash::Reg::NMISTAT) && (value & flash::kNmiEccError))
        Line(cycle, "ECC error: MOVC read of " + Hex(last & flash::kAddressBits, 4) +
                        " does not match its check bits (NMISTAT bit 6 set)");
}

void FlashTrace::TimerArmed() {
    if (!resetting_) SettleRequest();
}

void FlashTrace::TimerExpired() {
    if (resetting_) return;
    SettleRequest();
    answered_ = false;
    expired_ = true;
}

void FlashTrace::Started(const FlashOperation& op, uint64_t due) {
    const bool erase = op.kind == OpKind::kErase;
    Line(op.start, std::string(erase ? "erase" : "program") + " started: " + What(op) +
                       (erase ? "; first phase until cycle " : "; until cycle ") + std::to_string(due));
}

void FlashTrace::SecondPhase(const FlashOperation& op, uint64_t due) {
    Line(*op.second_phase, "erase second phase: " + What(op) + "; until cycle " + std::to_string(due));
}

void FlashTrace::Ended(const FlashOperation& op) {
    const std::string kind = op.kind == OpKind::kErase ? "erase" : "program";
    const uint32_t last = host_.GetLastMemoryAddress();
    switch (op.outcome) {
    case OpEnd::kCompleted:
        answered_ = true;
        Line(*op.end, kind + " committed: " + What(op) + "; bank back in read mode");
        break;
    case OpEnd::kAborted:
        if (last == flash::Id(flash::Reg::FCMD)) {
            answered_ = true;
            Line(*op.end, "abort: " + kind + " of " + What(op) + " cancelled, nothing written; every bank back in read mode");
        } else if (const auto control = ControlIndex(last)) {
            Line(*op.end, kind + " of " + What(op) + " dropped: a new request on " + std::string(ControlName(*control)) +
                              " stops the running operation");
        }
        break;
    case OpEnd::kRunning:
    case OpEnd::kRestarted:
    case OpEnd::kReset: break;
    }
}

void FlashTrace::Finish() { SettleRequest(); }

}  // namespace peltosim
