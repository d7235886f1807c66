// Intel HEX for 64 KB images: a loader for the host and an emitter for tests and tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim8051 {

// Where one data record stored its bytes.
struct HexRecordSpan {
    uint16_t address;
    uint16_t count;
    std::size_t line;
};

struct HexLoadResult {
    bool ok = false;
    std::size_t bytes = 0;  // data bytes stored
    std::size_t line = 0;   // on failure: the 1-based line at fault
    std::string error;      // on failure: what is wrong with it
    std::vector<HexRecordSpan> records;  // the data records stored, in file order
};

// Stores the data records of `text` into `memory` (64 KB). Accepts record types 00 (data),
// 01 (end, without data), 02 and 04 with a zero base, 03 and 05 (start address, ignored). Stops
// at the end record, which must be present. Rejects bad checksums, bad digits, short records,
// data beyond 64 KB, an end record carrying data and a record storing a byte an earlier record
// stored (the error names the earlier line); on failure the bytes of earlier records have been
// stored.
HexLoadResult LoadIntelHex(std::string_view text, std::span<uint8_t, 0x10000> memory);

// Data records of at most 16 bytes for `data` placed at `address`, then the end record.
std::string ToIntelHex(std::span<const uint8_t> data, uint16_t address);

}  // namespace sim8051
