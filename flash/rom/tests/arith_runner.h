// Runs the arithmetic driver program on an 8051 simulator: one library routine over a batch of
// operand records, every register it returns read back per record.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace rom_test {

// R4..R7 and R0..R3 as the driver loads them.
struct Operands {
    std::array<uint8_t, 8> bytes{};
};

// What the routine left, in the driver's record order.
struct Returned {
    std::array<uint8_t, 4> r4_r7{};
    std::array<uint8_t, 4> r0_r3{};
    uint8_t a = 0;
    uint8_t psw = 0;
    uint8_t b = 0;
    uint16_t dptr = 0;
    uint8_t sp = 0;

    uint32_t High() const;  // R4..R7 as one value, R4 most significant
    uint32_t Low() const;   // R0..R3
    bool Carry() const { return (psw & 0x80) != 0; }
};

inline constexpr uint8_t kSentinelB = 0xA5;
inline constexpr uint16_t kSentinelDptr = 0x5A3C;
inline constexpr uint8_t kStackBase = 0x3F;

class ArithRunner {
public:
    // Paths to the assembled driver (.ihx and .sym) and the linked ROM images. The simulator is
    // s51 unless PELTO_ARITH_SIM names a pelto-sim executable.
    ArithRunner(std::string driver_ihx, std::string driver_sym, std::string rom_ihx, std::string s51);

    // Calls the routine at `entry` once per operand record.
    std::vector<Returned> Run(uint16_t entry, const std::vector<Operands>& batch) const;

    static constexpr std::size_t kMaxBatch = 2048;

private:
    std::vector<uint8_t> RunS51(const std::string& batch_ihx, std::size_t result_bytes) const;
    std::vector<uint8_t> RunPeltoSim(const std::string& batch_ihx, std::size_t result_bytes) const;

    std::string driver_ihx_;
    std::string rom_ihx_;
    std::string s51_;
    std::string pelto_sim_;
    uint16_t header_ = 0;
    uint16_t records_ = 0;
    uint16_t done_ = 0;
};

uint32_t Be32(const uint8_t* bytes);
std::array<uint8_t, 4> Be32Bytes(uint32_t value);

}  // namespace rom_test
