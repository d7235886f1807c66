#include "sim/peltosim/host/sfr_model.h"

namespace peltosim {

namespace {
constexpr uint8_t kSfrBase = sim8051::Cpu::kSfrBase;
}  // namespace

uint32_t SfrModel::Resolve(uint8_t address) const {
    const bool mapped = cpu_.Sfr(kMapBitSfr) & kMapBit;
    switch (PagingOf(address)) {
    case Paging::kFlashWindow:
        if (!mapped) break;
        return PagedId(kFlashPageBase + (paged_[kFlashPageBase][kFlashPageSfr - kSfrBase].current & kPageMask), address);
    case Paging::kFlashFixed:
        if (!mapped) break;
        return PagedId(kFlashPageBase, address);
    case Paging::kSystem:
        if (mapped) break;
        return PagedId(cpu_.Sfr(kSystemPageSfr) & kPageMask, address);
    case Paging::kNone:
        break;
    }
    return UnpagedId(address);
}

SfrValue* SfrModel::Paged(uint32_t id) {
    const auto decoded = DecodeId(id);
    if (!decoded || !decoded->paged) return nullptr;
    return &paged_[decoded->page][decoded->address - kSfrBase];
}

const SfrValue* SfrModel::Paged(uint32_t id) const { return const_cast<SfrModel*>(this)->Paged(id); }

std::optional<SfrValue> SfrModel::Read(uint32_t id) const {
    const auto decoded = DecodeId(id);
    if (!decoded) return std::nullopt;
    const unsigned index = decoded->address - kSfrBase;
    if (decoded->paged) return paged_[decoded->page][index];
    const uint8_t current = cpu_.Sfr(decoded->address);
    return SfrValue{current, cpu_.SfrWriteHooked(decoded->address) ? unpaged_previous_[index] : current};
}

bool SfrModel::Write(uint32_t id, uint8_t value) {
    const auto decoded = DecodeId(id);
    if (!decoded) return false;
    const unsigned index = decoded->address - kSfrBase;
    if (decoded->paged) {
        SfrValue& v = paged_[decoded->page][index];
        v = {value, v.current};
    } else {
        unpaged_previous_[index] = cpu_.Sfr(decoded->address);
        cpu_.SetSfr(decoded->address, value);
    }
    return true;
}

uint32_t SfrModel::ProgramWrite(uint8_t address, uint8_t value, uint8_t stored_before) {
    const uint32_t id = Resolve(address);
    if (SfrValue* v = Paged(id)) {
        *v = {value, v->current};
        // The CPU array holds the unpaged register at this address; the paged write is not it.
        cpu_.Sfrs()[address - kSfrBase] = stored_before;
        cpu_.SyncParity();
    } else {
        unpaged_previous_[address - kSfrBase] = stored_before;
    }
    return id;
}

uint8_t SfrModel::ProgramRead(uint8_t address) const {
    const uint32_t id = Resolve(address);
    if (const SfrValue* v = Paged(id)) return v->current;
    return cpu_.Sfr(address);
}

}  // namespace peltosim
