// The three 8051 code images that start-up writes into code memory, and their fixed layout.
//
// The bytes come from the assembly sources beside this header, assembled during the build.
// The tables below are the one statement of the layout: the build reads them (romtool.py
// parses the Image/Entry/Fixed rows) to check the assembled images, and fails naming the
// routine when an image has the wrong size, an entry point or helper is not at its address,
// a routine runs into the next fixed address, or the entry table differs from its rows.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace flash::rom {

struct ImageLayout {
    std::string_view name;
    uint16_t address;
    uint16_t size;
};

// In write order.
inline constexpr std::array kImageLayout{
    ImageLayout{"flash routine image", 0xC000, 1274},
    ImageLayout{"ROM entry table", 0xDFE4, 30},
    ImageLayout{"arithmetic library", 0xE95C, 1430},
};
inline constexpr std::size_t kFlashImage = 0;
inline constexpr std::size_t kEntryTableImage = 1;
inline constexpr std::size_t kArithmeticImage = 2;

// ROM entry table: entry i is a long jump at the table's address + 3 * i to its target.
// The reserved entries jump to themselves.
struct Entry {
    std::string_view name;
    uint16_t target;
};
inline constexpr uint8_t kLongJump = 0x02;
inline constexpr std::size_t kEntrySize = 3;
inline constexpr std::array kEntryTable{
    Entry{"ROM_RESERVED_0", 0xDFE4},
    Entry{"ROM_RESERVED_1", 0xDFE7},
    Entry{"ROM_READ_PARAM", 0xC3F6},
    Entry{"ROM_SET_MARGIN", 0xC4C6},
    Entry{"ROM_READ_MODE_TEST", 0xC3CF},
    Entry{"ROM_ERASE_ABORT", 0xC379},
    Entry{"ROM_PROGRAM", 0xC462},
    Entry{"ROM_ERASE", 0xC406},
    Entry{"ROM_FCMD_CLR0", 0xC4E4},
    Entry{"ROM_FCMD_SET0", 0xC4EF},
};
static_assert(kEntryTable.size() * kEntrySize == kImageLayout[kEntryTableImage].size);

constexpr uint16_t EntryAddress(std::size_t index) {
    return static_cast<uint16_t>(kImageLayout[kEntryTableImage].address + index * kEntrySize);
}

// Other routines at fixed addresses: the page-select helpers of the flash routine image
// and the arithmetic library's entry points.
struct Fixed {
    std::string_view name;
    uint16_t address;
};
inline constexpr std::array kFlashHelpers{
    Fixed{"PAGE_SYS1_B7_B4", 0xC000}, Fixed{"PAGE_SYS1_B7_B5", 0xC010},
    Fixed{"PAGE_D1_0", 0xC020},       Fixed{"PAGE_D1_1", 0xC027},
    Fixed{"PAGE_D1_2", 0xC02E},       Fixed{"PAGE_D1_3", 0xC035},
    Fixed{"PAGE_D1_4", 0xC03C},       Fixed{"PAGE_D1_5", 0xC043},
    Fixed{"PAGE_D1_6", 0xC04A},       Fixed{"PAGE_B2_0", 0xC051},
    Fixed{"PAGE_B2_1", 0xC05B},       Fixed{"PAGE_B2_2", 0xC065},
    Fixed{"PAGE_SYS_0", 0xC06F},      Fixed{"PAGE_SYS_1", 0xC079},
    Fixed{"PAGE_SYS_2", 0xC083},      Fixed{"PAGE_FLASH_0", 0xC08D},
    Fixed{"PAGE_FLASH_1", 0xC097},    Fixed{"PAGE_FLASH_2", 0xC0A1},
    Fixed{"PAGE_FLASH_3", 0xC0AB},    Fixed{"PAGE_FLASH_4", 0xC0B5},
    Fixed{"PAGE_FLASH_6", 0xC0BF},    Fixed{"PAGE_FLASH_7", 0xC0C9},
};

// Register conventions: 32-bit values in R4 (most significant) to R7, the second operand in
// R0 to R3; 16-bit values in R6:R7, the second in R4:R5; single-precision floats as 32-bit
// values. Results replace the first operand.
inline constexpr std::array kArithmeticEntries{
    Fixed{"MATH_MUL16", 0xE95C},  Fixed{"MATH_DIVU16", 0xE96E}, Fixed{"MATH_MUL32", 0xE9C3},
    Fixed{"MATH_DIVU32", 0xEA4E}, Fixed{"MATH_NEG32", 0xEAE0},  Fixed{"MATH_SHR32", 0xEAEE},
    Fixed{"MATH_SAR32", 0xEB01},  Fixed{"MATH_SHL32", 0xEB15},  Fixed{"MATH_FSUB", 0xEB2B},
    Fixed{"MATH_FADD", 0xEB2F},   Fixed{"MATH_FMUL", 0xEC20},   Fixed{"MATH_FDIV", 0xED29},
    Fixed{"MATH_FCMP", 0xEDC6},   Fixed{"MATH_I32TOF", 0xEE33}, Fixed{"MATH_I16TOF", 0xEE38},
    Fixed{"MATH_I8TOF", 0xEE3D},  Fixed{"MATH_FTOI32", 0xEE71},
};

struct Image {
    uint16_t address;
    std::span<const uint8_t> bytes;
};

// The assembled images in write order, at the addresses of kImageLayout.
std::span<const Image> Images();

}  // namespace flash::rom
