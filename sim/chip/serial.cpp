#include "serial.h"

namespace chip {
namespace {

constexpr unsigned kMode0 = 0;
constexpr unsigned kMode1 = 1;
constexpr unsigned kMode2 = 2;
constexpr unsigned kModeMask = 0x03;
constexpr unsigned kShiftBits = 8;
constexpr unsigned kTenBitFrame = 10;
constexpr unsigned kElevenBitFrame = 11;
constexpr uint64_t kMode0StatesPerBit = kStatesPerCycle;  // one bit per machine cycle
constexpr uint64_t kMode2StatesPerBit = 32;                // 64 oscillator periods
constexpr uint64_t kTimer1OverflowsPerBit = 32;
constexpr uint64_t kTimer2OverflowsPerBit = 16;

}  // namespace

void SerialPort::Reset() {
    tx_ = {};
    rx_ = {};
    receive_buffer_ = 0;
}

unsigned SerialPort::FrameBits() const {
    switch (At(sfrs_, sfr::kScon) >> scon::kModeShift & kModeMask) {
    case kMode0: return kShiftBits;
    case kMode1: return kTenBitFrame;
    default: return kElevenBitFrame;
    }
}

SerialPort::Rate SerialPort::RateOf(bool transmit) const {
    const unsigned mode = At(sfrs_, sfr::kScon) >> scon::kModeShift & kModeMask;
    const bool smod = (At(sfrs_, sfr::kPcon) & pcon::kSmod) != 0;
    if (mode == kMode0) return {Clock::kStates, kMode0StatesPerBit};
    if (mode == kMode2) return {Clock::kStates, smod ? kMode2StatesPerBit / 2 : kMode2StatesPerBit};
    if (transmit ? timer2_.Transmits() : timer2_.Receives()) return {Clock::kTimer2, kTimer2OverflowsPerBit};
    return {Clock::kTimer1, smod ? kTimer1OverflowsPerBit / 2 : kTimer1OverflowsPerBit};
}

const Counter* SerialPort::Source(Clock clock) const {
    switch (clock) {
    case Clock::kTimer1: return timers_.Timer1Overflows();
    case Clock::kTimer2: return timer2_.BaudOverflows();
    default: return nullptr;
    }
}

// Counts down what has passed since the transfer's last update; true when it completed.
bool SerialPort::Advance(Transfer& t, bool transmit, uint64_t now_state) {
    if (!t.active) return false;
    const Rate rate = RateOf(transmit);
    uint64_t passed = 0;
    if (now_state <= t.base) return false;  // a transfer started at the end of the running instruction
    if (rate.clock == Clock::kStates) {
        passed = now_state - t.base;
    } else if (const Counter* source = Source(rate.clock)) {
        passed = source->OverflowsUntil(now_state);
    }
    t.base = now_state;
    if (passed < t.remaining) {
        t.remaining -= passed;
        return false;
    }
    t.active = false;
    return true;
}

void SerialPort::Sync(uint64_t now) {
    const uint64_t t = now * kStatesPerCycle;
    uint8_t& scon_value = At(sfrs_, sfr::kScon);
    if (Advance(tx_, true, t)) scon_value |= scon::kTi;
    if (Advance(rx_, false, t)) {
        receive_buffer_ = rx_.byte;
        scon_value = static_cast<uint8_t>(scon_value | scon::kRi | scon::kRb8);
    }
    StartReceive(now);
}

void SerialPort::StartReceive(uint64_t now) {
    const uint8_t scon_value = At(sfrs_, sfr::kScon);
    if (rx_.active || (scon_value & scon::kRen) == 0 || (scon_value & scon::kRi) != 0 || InputLeft() == 0) return;
    rx_.active = true;
    rx_.byte = input_[next_input_++];
    rx_.base = now * kStatesPerCycle;
    rx_.remaining = RateOf(false).per_bit * FrameBits();
}

void SerialPort::Write(uint8_t address, uint8_t value, uint64_t now) {
    if (address == sfr::kSbuf) {
        tx_.active = true;
        tx_.byte = value;
        tx_.base = now * kStatesPerCycle;
        tx_.remaining = RateOf(true).per_bit * FrameBits();
        if (output_ != nullptr) output_(output_ctx_, value);
        return;
    }
    StartReceive(now);  // SCON: REN set or RI cleared
}

uint64_t SerialPort::DueCycle(const Transfer& t, bool transmit) const {
    if (!t.active) return kNever;
    const Rate rate = RateOf(transmit);
    if (rate.clock == Clock::kStates) return CycleOfState(t.base + t.remaining);
    const Counter* source = Source(rate.clock);
    return source ? CycleOfState(source->NthOverflow(t.remaining)) : kNever;
}

uint64_t SerialPort::NextEvent() const { return std::min(DueCycle(tx_, true), DueCycle(rx_, false)); }

}  // namespace chip
