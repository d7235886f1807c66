// The host's register model: every register's current value and its value before the most
// recent write, by host register identifier, and the paging that turns a direct SFR address
// into an identifier.
//
// Paging. With the map bit (SFR 0x8F bit 0) set, 0xD1-0xDE lie in flash page n, n = bits 2..0 of
// the flash page register 0xDF (identifier page byte 0x08 + n); 0xDF itself and 0xF7 are flash
// page registers whatever the page. With the map bit clear, the system-paged addresses lie in
// the system page selected by bits 2..0 of SFR 0xBF. Every other address is unpaged
// (0xF00000xx) and lives in the CPU's own SFR array.
//
// Previous values are kept for every paged register and for the unpaged registers the host hooks
// (the page registers and any with a watch); for other unpaged registers the previous value
// reads as the current one.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "sim/cpu/cpu.h"

namespace peltosim {

inline constexpr uint32_t kIdPrefix = 0xF0000000;
inline constexpr uint32_t kPagedGroup = 0x00010000;
inline constexpr uint8_t kMapBitSfr = 0x8F;
inline constexpr uint8_t kMapBit = 0x01;
inline constexpr uint8_t kSystemPageSfr = 0xBF;
inline constexpr uint8_t kFlashPageSfr = 0xDF;
inline constexpr uint8_t kFlashDataSfr = 0xF7;
inline constexpr uint8_t kPageMask = 0x07;
inline constexpr uint8_t kFlashPageBase = 0x08;
inline constexpr uint8_t kFlashWindowFirst = 0xD1;
inline constexpr uint8_t kFlashWindowLast = 0xDE;
inline constexpr uint32_t kPageCount = 16;

enum class Paging : uint8_t {
    kNone,         // always unpaged
    kFlashWindow,  // flash page n while the map bit is set, unpaged otherwise
    kFlashFixed,   // flash page 0 (the page byte's base) while the map bit is set, unpaged otherwise
    kSystem,       // system page n while the map bit is clear, flash-fixed never
};

// Which register pages each direct SFR address. One table for the whole host.
struct PagedAddress {
    uint8_t address;
    Paging paging;
};
inline constexpr std::array kPagedAddresses{
    PagedAddress{0xB2, Paging::kSystem}, PagedAddress{0xBA, Paging::kSystem}, PagedAddress{0xBB, Paging::kSystem},
    PagedAddress{0xBC, Paging::kSystem}, PagedAddress{0xE9, Paging::kSystem}, PagedAddress{kFlashPageSfr, Paging::kFlashFixed},
    PagedAddress{kFlashDataSfr, Paging::kFlashFixed},
};

constexpr Paging PagingOf(uint8_t address) {
    if (address >= kFlashWindowFirst && address <= kFlashWindowLast) return Paging::kFlashWindow;
    for (const auto& p : kPagedAddresses)
        if (p.address == address) return p.paging;
    return Paging::kNone;
}

inline constexpr uint32_t kIdPageShift = 8;
inline constexpr uint32_t kIdByte = 0xFF;
inline constexpr uint32_t kIdGroupMask = 0xFFFF0000;

constexpr uint32_t UnpagedId(uint8_t address) { return kIdPrefix | address; }
constexpr uint32_t PagedId(uint32_t page, uint8_t address) { return kIdPrefix | kPagedGroup | page << kIdPageShift | address; }

// An identifier this host models, taken apart: unpaged 0xF00000aa or paged 0xF001ppaa, with
// aa an SFR address (0x80 and up) and pp a page below kPageCount.
struct DecodedId {
    bool paged;
    uint8_t page;  // 0 when unpaged
    uint8_t address;
};
constexpr std::optional<DecodedId> DecodeId(uint32_t id) {
    const auto address = static_cast<uint8_t>(id & kIdByte);
    if (address < sim8051::Cpu::kSfrBase) return std::nullopt;
    if ((id & ~kIdByte) == kIdPrefix) return DecodedId{false, 0, address};
    const uint32_t page = id >> kIdPageShift & kIdByte;
    if ((id & kIdGroupMask) != (kIdPrefix | kPagedGroup) || page >= kPageCount) return std::nullopt;
    return DecodedId{true, static_cast<uint8_t>(page), address};
}

// This host's own register: the NMI enable of the flash NMI, in system page 0. Bit n enables the
// NMI for NMISTAT bit n.
inline constexpr uint32_t kNmiconId = PagedId(0, 0xBB);
inline constexpr const char* kNmiconName = "NMICON";

struct SfrValue {
    uint8_t current = 0;
    uint8_t previous = 0;
};

class SfrModel {
public:
    explicit SfrModel(sim8051::Cpu& cpu) : cpu_(cpu) {}

    // The identifier a direct access to `address` reaches with the pages as they stand.
    uint32_t Resolve(uint8_t address) const;

    // By identifier; nothing for an identifier this host does not model.
    std::optional<SfrValue> Read(uint32_t id) const;
    // Stores a value (the previous becomes the old current). False for an unknown identifier.
    bool Write(uint32_t id, uint8_t value);
    // A write by the program through the CPU's write hook: `stored_before` is what the CPU's
    // array held before it stored `value` at `address`.
    uint32_t ProgramWrite(uint8_t address, uint8_t value, uint8_t stored_before);
    uint8_t ProgramRead(uint8_t address) const;

    // Clears the paged registers (power-on).
    void Clear() { paged_ = {}; unpaged_previous_ = {}; }

private:
    SfrValue* Paged(uint32_t id);
    const SfrValue* Paged(uint32_t id) const;

    sim8051::Cpu& cpu_;
    std::array<std::array<SfrValue, sim8051::Cpu::kSfrCount>, kPageCount> paged_{};
    std::array<uint8_t, sim8051::Cpu::kSfrCount> unpaged_previous_{};
};

}  // namespace peltosim
