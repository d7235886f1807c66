// The 8052 serial port (SCON, SBUF).
//
// Modes: 0, the shift register at one bit per machine cycle, 8 bits; 1, 10 bits (start, 8 data,
// stop) and 3, 11 bits (with TB8/RB8), at the Timer 1 overflow rate divided by 32 (16 with SMOD,
// PCON bit 7) or, with TCLK/RCLK in T2CON, the Timer 2 overflow rate divided by 16; 2, 11 bits at
// 64 oscillator periods per bit (32 with SMOD).
//
// Transmit: a write of SBUF starts a frame in the cycle of the write (a frame in progress starts
// again with the new byte); TI is set when the frame's last bit has left. The byte goes to the
// output as it is written.
// Receive: bytes come from the input. A byte starts to arrive when REN is set, RI is clear and
// no byte is arriving; RI is set when its frame has arrived, with the byte in SBUF and RB8 = 1
// (the stop bit, or the ninth bit in modes 2 and 3). The input waits while RI is set, so no
// byte is ever lost.
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

    // SFRs to reset values; the input position is kept (the line goes on).
    void Reset();
    // Brings the transfers to cycle `now`. Call before the timers are brought there: the
    // overflows counted are those since their last update.
    void Sync(uint64_t now);
    // A program write of SCON or SBUF at `now`, after Sync(now).
    void Write(uint8_t address, uint8_t value, uint64_t now);
    // Any change that may start a reception (RI cleared, REN set, a reset) at `now`.
    void Poll(uint64_t now) { StartReceive(now); }
    uint8_t ReceiveBuffer() const { return receive_buffer_; }
    uint64_t NextEvent() const;

private:
    struct Transfer {
        bool active = false;
        uint64_t remaining = 0;  // states, or baud source overflows
        uint64_t base = 0;       // state time of the last update
        uint8_t byte = 0;
    };
    enum class Clock : uint8_t { kStates, kTimer1, kTimer2, kNone };
    struct Rate {
        Clock clock;
        uint64_t per_bit;  // states or overflows per bit
    };
    Rate RateOf(bool transmit) const;
    unsigned FrameBits() const;
    const Counter* Source(Clock clock) const;
    bool Advance(Transfer& t, bool transmit, uint64_t now_state);
    uint64_t DueCycle(const Transfer& t, bool transmit) const;
    void StartReceive(uint64_t now);

    SfrArray sfrs_;
    const Timers01& timers_;
    const Timer2& timer2_;
    Transfer tx_;
    Transfer rx_;
    uint8_t receive_buffer_ = 0;
    std::vector<uint8_t> input_;
    std::size_t next_input_ = 0;
    OutputFn output_ = nullptr;
    void* output_ctx_ = nullptr;
};

}  // namespace chip
