#include "sfr_model.h"

namespace peltosim {

namespace {
constexpr uint8_t kSfrBase = sim8051::Cpu::kSfrBase;
constexpr uint32_t kGroupMask = 0xFFFF0000;
constexpr uint32_t kPageShift = 8;
constexpr uint32_t kByte = 0xFF;
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
    if ((id & kGroupMask) != (kIdPrefix | kPagedGroup)) return nullptr;
    const uint32_t page = id >> kPageShift & kByte;
    const uint32_t address = id & kByte;
    if (page >= kPageCount || address < kSfrBase) return nullptr;
    return &paged_[page][address - kSfrBase];
}

const SfrValue* SfrModel::Paged(uint32_t id) const { return const_cast<SfrModel*>(this)->Paged(id); }

std::optional<SfrValue> SfrModel::Read(uint32_t id) const {
    if (const SfrValue* v = Paged(id)) return *v;
    if ((id & ~kByte) == kIdPrefix && (id & kByte) >= kSfrBase) {
        const auto address = static_cast<uint8_t>(id & kByte);
        const uint8_t current = cpu_.Sfr(address);
        const bool tracked = cpu_.SfrWriteHooked(address);
        return SfrValue{current, tracked ? unpaged_previous_[address - kSfrBase] : current};
    }
    return std::nullopt;
}

bool SfrModel::Write(uint32_t id, uint8_t value) {
    if (SfrValue* v = Paged(id)) {
        *v = {value, v->current};
        return true;
    }
    if ((id & ~kByte) == kIdPrefix && (id & kByte) >= kSfrBase) {
        const auto address = static_cast<uint8_t>(id & kByte);
        unpaged_previous_[address - kSfrBase] = cpu_.Sfr(address);
        cpu_.SetSfr(address, value);
        return true;
    }
    return false;
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
