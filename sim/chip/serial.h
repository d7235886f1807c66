// The 8052 serial port (SCON, SBUF).
//
// Modes: 0, the shift register at one bit per machine cycle, 8 bits; 1, 10 bits (start, 8 data,
// stop) and 3, 11 bits (with TB8/RB8), at the Timer 1 overflow rate divided by 32 (16 with SMOD,
// PCON bit 7) or, with TCLK/RCLK in T2CON, the Timer 2 overflow rate divided by 16; 2, 11 bits at
// 64 oscillator periods per bit (32 with SMOD).
//
// Bit times in modes 1-3 come from a divide-by-16 counter, fed through a divide-by-2 stage that
// SMOD bypasses (Timer 1 and mode 2) or directly by Timer 2's overflows. The transmitter's
// counter runs freely from reset: a frame starts with the first rollover after the write of
// SBUF, TI is set in the cycle after the rollover that ends it (the 10th after the write in mode
// 1, the 11th in modes 2 and 3), so back-to-back frames follow each other exactly. A change of
// SMOD or of the baud source takes effect from the counter's next step. In mode 0, TI is set at
// the start of the tenth cycle after the write. A write of SBUF during a frame starts it again
// with the new byte. The byte goes to the output as it is written.
// Receive: bytes come from the input. A byte starts to arrive when REN is set, RI is clear and
// no byte is arriving; RI is set when its frame has arrived, with the byte in SBUF and, in modes
// 1-3, RB8 = 1 (the stop bit, or the ninth bit in modes 2 and 3; mode 0 leaves RB8 alone). In
// mode 0 that is at the start of the tenth cycle after the write that allowed it; in modes 1-3
// the receiver's own counter starts with the frame (there is no pin, so no start bit to detect)
// and RI is set at its rollover after the frame's last bit. The input waits while RI is set, so
// no byte is ever lost.
// Not modelled: the pins (RXD/TXD), framing errors, SM2's address filtering (every byte arrives
// with RB8 = 1, which passes it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "counter.h"
#include "timers.h"

namespace chip {

class SerialPort {
public:
    SerialPort(SfrArray sfrs, const Timers01& timers, const Timer2& timer2)
        : sfrs_(sfrs), timers_(timers), timer2_(timer2) {}

    using OutputFn = void (*)(void* ctx, uint8_t byte);
    void SetOutput(OutputFn fn, void* ctx) {
        output_ = fn;
        output_ctx_ = ctx;
    }
    void SetInput(std::vector<uint8_t> bytes) {
        input_ = std::move(bytes);
        next_input_ = 0;
    }
    std::size_t InputLeft() const { return input_.size() - next_input_; }

    // SFRs to reset values at cycle `now`; the input position is kept (the line goes on).
    void Reset(uint64_t now);
    // Brings the transfers to cycle `now`. Call before the timers are brought there: the
    // overflows counted are those since their last update.
    void Sync(uint64_t now);
    // A program write of SCON or SBUF at `now`, after Sync(now).
    void Write(uint8_t address, uint8_t value, uint64_t now);
    // Any change that may start a reception (RI cleared, REN set, a reset) at `now`, after Sync(now).
    void Poll(uint64_t now) { StartReceive(now); }
    uint8_t ReceiveBuffer() const { return receive_buffer_; }
    uint64_t NextEvent() const;

private:
    // The divide-by-16 counter of the bit times and the divide-by-2 stage in front of it.
    struct BitClock {
        uint64_t steps = 0;  // 0..15
        uint64_t half = 0;   // 0..1
    };
    struct Transfer {
        bool active = false;
        uint64_t rollovers = 0;  // of the bit clock still to come before the frame ends (modes 1-3)
        uint64_t done = kNever;  // the cycle its flag is set, once known
        uint8_t byte = 0;
        BitClock clock;
    };
    enum class Clock : uint8_t { kStates, kTimer1, kTimer2, kNone };
    struct Rate {
        Clock clock;  // what ticks the bit clock
        bool halved;  // through the divide-by-2 stage
    };
    unsigned Mode() const;
    Rate RateOf(bool transmit) const;
    unsigned FrameBits() const;
    const Counter* Source(Clock clock) const;
    uint64_t TicksUntil(Clock clock, uint64_t state) const;
    uint64_t TickTime(Clock clock, uint64_t n) const;
    bool Advance(Transfer& t, bool transmit, uint64_t now);
    uint64_t DueCycle(const Transfer& t, bool transmit) const;
    void Start(Transfer& t, uint64_t now);
    void StartReceive(uint64_t now);

    SfrArray sfrs_;
    const Timers01& timers_;
    const Timer2& timer2_;
    Transfer tx_;
    Transfer rx_;
    uint64_t base_ = 0;  // state time of the last update
    uint8_t receive_buffer_ = 0;
    std::vector<uint8_t> input_;
    std::size_t next_input_ = 0;
    OutputFn output_ = nullptr;
    void* output_ctx_ = nullptr;
};

}  // namespace chip
