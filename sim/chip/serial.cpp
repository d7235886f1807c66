#include "serial.h"

#include <algorithm>

namespace chip {
namespace {

constexpr unsigned kMode0 = 0;
constexpr unsigned kMode1 = 1;
constexpr unsigned kMode2 = 2;
constexpr unsigned kModeMask = 0x03;
constexpr unsigned kTenBitFrame = 10;
constexpr unsigned kElevenBitFrame = 11;
// Mode 0 sets TI or RI at the start of the tenth cycle after the write that began the transfer:
// in the cycle ending ten cycles after the write's.
constexpr uint64_t kMode0FlagCycles = 10;
// TI is set in the cycle after the bit clock's last rollover of the frame.
constexpr uint64_t kTransmitFlagDelay = 1;
constexpr uint64_t kBitClockSteps = 16;
constexpr uint64_t kHalfStage = 2;

// Ticks of the bit clock until its k-th rollover from `c` (k >= 1).
uint64_t TicksToRollover(const auto& c, uint64_t k, bool halved) {
    return halved ? kHalfStage * kBitClockSteps * k - (c.steps * kHalfStage + c.half) : kBitClockSteps * k - c.steps;
}

// Advances the bit clock by `ticks`; returns its rollovers. The divide-by-2 stage counts the
// ticks of its own source whether or not SMOD bypasses it.
uint64_t Step(auto& c, uint64_t ticks, bool halved, bool half_counts) {
    if (halved) {
        const uint64_t v = c.steps * kHalfStage + c.half + ticks;
        c.steps = v / kHalfStage % kBitClockSteps;
        c.half = v % kHalfStage;
        return v / (kHalfStage * kBitClockSteps);
    }
    if (half_counts) c.half = (c.half + ticks) % kHalfStage;
    const uint64_t s = c.steps + ticks;
    c.steps = s % kBitClockSteps;
    return s / kBitClockSteps;
}

}  // namespace

void SerialPort::Reset(uint64_t now) {
    tx_ = {};
    rx_ = {};
    base_ = now * kStatesPerCycle;
    receive_buffer_ = 0;
}

unsigned SerialPort::Mode() const { return At(sfrs_, sfr::kScon) >> scon::kModeShift & kModeMask; }

unsigned SerialPort::FrameBits() const { return Mode() == kMode1 ? kTenBitFrame : kElevenBitFrame; }

SerialPort::Rate SerialPort::RateOf(bool transmit) const {
    const unsigned mode = Mode();
    const bool smod = (At(sfrs_, sfr::kPcon) & pcon::kSmod) != 0;
    if (mode == kMode0) return {Clock::kNone, false};
    if (mode == kMode2) return {Clock::kStates, !smod};
    if (transmit ? timer2_.Transmits() : timer2_.Receives()) return {Clock::kTimer2, false};
    return {Clock::kTimer1, !smod};
}

const Counter* SerialPort::Source(Clock clock) const {
    switch (clock) {
    case Clock::kTimer1: return timers_.Timer1Overflows();
    case Clock::kTimer2: return timer2_.BaudOverflows();
    default: return nullptr;
    }
}

// Ticks of `clock` in (base_, state].
uint64_t SerialPort::TicksUntil(Clock clock, uint64_t state) const {
    if (state <= base_) return 0;
    if (clock == Clock::kStates) return state - base_;
    const Counter* source = Source(clock);
    return source ? source->OverflowsUntil(state) : 0;
}

// State time of the n-th tick of `clock` after base_ (n >= 1), or kNever.
uint64_t SerialPort::TickTime(Clock clock, uint64_t n) const {
    if (clock == Clock::kStates) return base_ + n;
    const Counter* source = Source(clock);
    return source ? source->NthOverflow(n) : kNever;
}

// Brings one side to cycle `now`; true when its frame completed.
bool SerialPort::Advance(Transfer& t, bool transmit, uint64_t now) {
    const Rate rate = RateOf(transmit);
    if (rate.clock != Clock::kNone && (transmit || t.active)) {
        const uint64_t ticks = TicksUntil(rate.clock, now * kStatesPerCycle);
        const bool counting = t.active && t.done == kNever;
        const uint64_t needed = counting ? TicksToRollover(t.clock, t.rollovers, rate.halved) : 0;
        const uint64_t rollovers = Step(t.clock, ticks, rate.halved, rate.clock != Clock::kTimer2);
        if (counting && rollovers >= t.rollovers) {
            t.done = CycleOfState(TickTime(rate.clock, needed)) + (transmit ? kTransmitFlagDelay : 0);
            t.rollovers = 0;
        } else if (counting) {
            t.rollovers -= rollovers;
        }
    }
    if (!t.active || t.done > now) return false;
    t.active = false;
    t.done = kNever;
    return true;
}

void SerialPort::Sync(uint64_t now) {
    const uint64_t t = now * kStatesPerCycle;
    if (t <= base_) return;
    uint8_t& scon_value = At(sfrs_, sfr::kScon);
    if (Advance(tx_, true, now)) scon_value |= scon::kTi;
    if (Advance(rx_, false, now)) {
        receive_buffer_ = rx_.byte;
        scon_value |= scon::kRi;
        if (Mode() != kMode0) scon_value |= scon::kRb8;
    }
    base_ = t;
    StartReceive(now);
}

// Starts a frame on one side at `now`.
void SerialPort::Start(Transfer& t, uint64_t now) {
    t.active = true;
    if (Mode() == kMode0) {
        t.done = now + kMode0FlagCycles;
        t.rollovers = 0;
    } else {
        t.done = kNever;
        t.rollovers = FrameBits();
    }
}

void SerialPort::StartReceive(uint64_t now) {
    const uint8_t scon_value = At(sfrs_, sfr::kScon);
    if (rx_.active || (scon_value & scon::kRen) == 0 || (scon_value & scon::kRi) != 0 || InputLeft() == 0) return;
    rx_.byte = input_[next_input_++];
    rx_.clock = {};  // the receiver's bit clock starts with the frame
    Start(rx_, now);
}

void SerialPort::Write(uint8_t address, uint8_t value, uint64_t now) {
    if (address == sfr::kSbuf) {
        tx_.byte = value;
        Start(tx_, now);
        if (output_ != nullptr) output_(output_ctx_, value);
        return;
    }
    StartReceive(now);  // SCON: REN set or RI cleared
}

uint64_t SerialPort::DueCycle(const Transfer& t, bool transmit) const {
    if (!t.active) return kNever;
    if (t.done != kNever) return t.done;
    const Rate rate = RateOf(transmit);
    if (rate.clock == Clock::kNone) return kNever;
    const uint64_t at = TickTime(rate.clock, TicksToRollover(t.clock, t.rollovers, rate.halved));
    return at == kNever ? kNever : CycleOfState(at) + (transmit ? kTransmitFlagDelay : 0);
}

uint64_t SerialPort::NextEvent() const { return std::min(DueCycle(tx_, true), DueCycle(rx_, false)); }

}  // namespace chip
