// Timers 0, 1 and 2 of the 8052.
//
// Timers 0 and 1 (TMOD, TCON, TL0/TH0, TL1/TH1): modes 0 (13 bits: TH and the low five bits of
// TL; TL's upper three bits are kept as written), 1 (16 bits), 2 (8-bit auto-reload from TH) and
// 3 (timer 0 split into TL0 with TR0/TF0 and TH0 with TR1/TF1; timer 1 then runs whenever it is
// not itself in mode 3 and sets no flag, and in mode 3 it holds its count). They count machine
// cycles while TRx is set. Not modelled: the pins. GATE therefore has no effect (the INTx pins
// read high) and counter mode (C/T) counts nothing.
//
// Timer 2 (T2CON, RCAP2L/H, TL2/TH2): 16-bit auto-reload from RCAP2 with TF2, the baud-rate
// generator (RCLK or TCLK: counts states, reloads without setting TF2) and capture mode, which
// only counts and sets TF2 on overflow, as the capture pin T2EX is not modelled (EXF2 is set
// only by firmware). C/T2 counts nothing.
//
// Overflow flags are written into the SFR array when the timer is brought up to date (Sync).
#pragma once

#include <cstdint>
#include <span>

#include "counter.h"
#include "regs.h"

namespace chip {

using SfrArray = std::span<uint8_t, 0x80>;

inline uint8_t& At(SfrArray sfrs, uint8_t address) { return sfrs[address - 0x80u]; }

class Timers01 {
public:
    explicit Timers01(SfrArray sfrs) : sfrs_(sfrs) {}
    void Reset();
    // Brings the counters to machine cycle `now`, sets TF0/TF1 on overflows, mirrors the counts.
    void Sync(uint64_t now);
    // A program write of TCON, TMOD or a count register at `now`, after Sync(now).
    void Write(uint8_t address, uint8_t value, uint64_t now);
    // The cycle at which a clear overflow flag would be set next, or kNever.
    uint64_t NextEvent() const;
    // Timer 1 as the serial port's baud source: nothing when it does not count.
    const Counter* Timer1Overflows() const { return t1_.running ? &t1_ : nullptr; }

private:
    void Configure(uint64_t now);
    void Mirror();
    void Load(uint8_t address, uint8_t value);
    uint8_t Mode(unsigned timer) const;

    SfrArray sfrs_;
    Counter t0_;    // timer 0 whole, or TL0 in mode 3
    Counter th0_;   // TH0 in mode 3
    Counter t1_;
    uint8_t tl_high_bits_[2] = {0, 0};  // TL bits 7..5 in mode 0, which do not count
};

class Timer2 {
public:
    explicit Timer2(SfrArray sfrs) : sfrs_(sfrs) {}
    void Reset();
    void Sync(uint64_t now);
    void Write(uint8_t address, uint8_t value, uint64_t now);
    uint64_t NextEvent() const;
    // Timer 2 as a baud-rate generator for receive or transmit, or nothing.
    const Counter* BaudOverflows() const { return baud_ && counter_.running ? &counter_ : nullptr; }
    bool Receives() const { return (At(sfrs_, sfr::kT2con) & t2con::kRclk) != 0; }
    bool Transmits() const { return (At(sfrs_, sfr::kT2con) & t2con::kTclk) != 0; }

private:
    void Configure(uint64_t now);
    void Mirror();

    SfrArray sfrs_;
    Counter counter_;
    bool baud_ = false;
};

}  // namespace chip
