#include "timers.h"

#include <algorithm>

namespace chip {
namespace {

constexpr uint32_t kByteModulus = 0x100;
constexpr uint32_t kThirteenBitModulus = 0x2000;
constexpr uint32_t kWordModulus = 0x10000;
constexpr unsigned kMode0LowBits = 5;
constexpr uint8_t kMode0LowMask = 0x1F;
constexpr unsigned kByteBits = 8;
constexpr uint8_t kByteMask = 0xFF;

constexpr uint64_t States(uint64_t cycle) { return cycle * kStatesPerCycle; }
uint8_t Low(uint32_t v) { return static_cast<uint8_t>(v & kByteMask); }
uint8_t High(uint32_t v) { return static_cast<uint8_t>(v >> kByteBits & kByteMask); }

// The next overflow of a counter as a machine cycle.
uint64_t NextOverflowCycle(const Counter& c) { return CycleOfState(c.NthOverflow(1)); }

}  // namespace

// ---- Timers 0 and 1 ----

void Timers01::Reset() {
    t0_ = {};
    th0_ = {};
    t1_ = {};
    tl_high_bits_[0] = tl_high_bits_[1] = 0;
    Configure(0);
}

uint8_t Timers01::Mode(unsigned timer) const {
    const uint8_t nibble = static_cast<uint8_t>(At(sfrs_, sfr::kTmod) >> (timer ? tmod::kTimer1Shift : 0));
    return nibble & tmod::kModeMask;
}

void Timers01::Sync(uint64_t now) {
    const uint64_t t = States(now);
    const bool split = Mode(0) == tmod::kModeSplit;
    uint8_t& tcon = At(sfrs_, sfr::kTcon);
    if (t0_.Advance(t)) tcon |= tcon::kTf0;
    if (split && th0_.Advance(t)) tcon |= tcon::kTf1;
    if (t1_.Advance(t) && !split) tcon |= tcon::kTf1;
    Mirror();
}

// Writes the counts back into TLx/THx.
void Timers01::Mirror() {
    const Counter* counters[2] = {&t0_, &t1_};
    for (unsigned timer = 0; timer < 2; ++timer) {
        uint8_t& tl = At(sfrs_, timer ? sfr::kTl1 : sfr::kTl0);
        uint8_t& th = At(sfrs_, timer ? sfr::kTh1 : sfr::kTh0);
        const uint32_t v = counters[timer]->value;
        switch (Mode(timer)) {
        case tmod::kMode13Bit:
            tl = static_cast<uint8_t>(tl_high_bits_[timer] | (v & kMode0LowMask));
            th = static_cast<uint8_t>(v >> kMode0LowBits);
            break;
        case tmod::kMode16Bit:
            tl = Low(v);
            th = High(v);
            break;
        case tmod::kModeAutoReload:
            tl = Low(v);
            break;
        case tmod::kModeSplit:
            if (timer == 0) {
                tl = Low(v);
                th = Low(th0_.value);
            }
            break;  // timer 1 holds its registers in mode 3
        }
    }
}

// Builds the counters from the registers and the mode bits, at `now` (already synced).
void Timers01::Configure(uint64_t now) {
    const uint64_t t = States(now);
    const uint8_t tmod_value = At(sfrs_, sfr::kTmod);
    const uint8_t tcon = At(sfrs_, sfr::kTcon);
    const bool split = Mode(0) == tmod::kModeSplit;
    for (unsigned timer = 0; timer < 2; ++timer) {
        Counter& c = timer ? t1_ : t0_;
        const uint8_t tl = At(sfrs_, timer ? sfr::kTl1 : sfr::kTl0);
        const uint8_t th = At(sfrs_, timer ? sfr::kTh1 : sfr::kTh0);
        const uint8_t nibble = static_cast<uint8_t>(tmod_value >> (timer ? tmod::kTimer1Shift : 0));
        const bool counts_cycles = (nibble & tmod::kCounter) == 0;
        bool run = timer ? (split || (tcon & tcon::kTr1) != 0) : (tcon & tcon::kTr0) != 0;
        c.reload = 0;
        switch (Mode(timer)) {
        case tmod::kMode13Bit:
            c.modulus = kThirteenBitModulus;
            c.value = static_cast<uint32_t>(th) << kMode0LowBits | (tl & kMode0LowMask);
            tl_high_bits_[timer] = static_cast<uint8_t>(tl & ~kMode0LowMask);
            break;
        case tmod::kMode16Bit:
            c.modulus = kWordModulus;
            c.value = static_cast<uint32_t>(th) << kByteBits | tl;
            break;
        case tmod::kModeAutoReload:
            c.modulus = kByteModulus;
            c.reload = th;
            c.value = tl;
            break;
        case tmod::kModeSplit:
            c.modulus = kByteModulus;
            c.value = tl;
            if (timer == 1) run = false;  // timer 1 in mode 3 holds
            break;
        }
        c.running = run && counts_cycles;
        c.base = t;  // the value was just rebuilt from the registers at t
    }
    th0_.modulus = kByteModulus;
    th0_.reload = 0;
    th0_.value = At(sfrs_, sfr::kTh0);
    th0_.running = split && (tcon & tcon::kTr1) != 0;  // TH0 in mode 3 always counts cycles
    th0_.base = t;
}

void Timers01::Write(uint8_t, uint8_t, uint64_t now) {
    // The SFR array already holds the written value; the counters are rebuilt from the registers,
    // with a timer's upper TL bits in mode 0 taken from what was written.
    Configure(now);
    Mirror();
}

uint64_t Timers01::NextEvent() const {
    const uint8_t tcon = At(sfrs_, sfr::kTcon);
    const bool split = Mode(0) == tmod::kModeSplit;
    uint64_t next = kNever;
    auto consider = [&](const Counter& c, uint8_t flag) {
        if (c.running && (tcon & flag) == 0) next = std::min(next, NextOverflowCycle(c));
    };
    consider(t0_, tcon::kTf0);
    if (split) consider(th0_, tcon::kTf1);
    else consider(t1_, tcon::kTf1);
    return next;
}

// ---- Timer 2 ----

void Timer2::Reset() {
    counter_ = {};
    baud_ = false;
    Configure(0);
}

void Timer2::Sync(uint64_t now) {
    if (counter_.Advance(States(now)) && !baud_) At(sfrs_, sfr::kT2con) |= t2con::kTf2;
    Mirror();
}

void Timer2::Mirror() {
    At(sfrs_, sfr::kTl2) = Low(counter_.value);
    At(sfrs_, sfr::kTh2) = High(counter_.value);
}

void Timer2::Configure(uint64_t now) {
    const uint8_t t2 = At(sfrs_, sfr::kT2con);
    baud_ = (t2 & (t2con::kRclk | t2con::kTclk)) != 0;
    counter_.modulus = kWordModulus;
    const uint32_t rcap = static_cast<uint32_t>(At(sfrs_, sfr::kRcap2h)) << kByteBits | At(sfrs_, sfr::kRcap2l);
    // Capture mode wraps to 0; auto-reload and the baud-rate generator reload RCAP2.
    counter_.reload = (!baud_ && (t2 & t2con::kCapture)) ? 0 : rcap;
    counter_.value = static_cast<uint32_t>(At(sfrs_, sfr::kTh2)) << kByteBits | At(sfrs_, sfr::kTl2);
    counter_.states_per_count = baud_ ? 1 : kStatesPerCycle;
    counter_.running = (t2 & t2con::kTr2) != 0 && (t2 & t2con::kCounter) == 0;
    counter_.base = States(now);  // the value was just rebuilt from the registers
}

void Timer2::Write(uint8_t, uint8_t, uint64_t now) {
    Configure(now);
    Mirror();
}

uint64_t Timer2::NextEvent() const {
    if (!counter_.running || baud_ || (At(sfrs_, sfr::kT2con) & t2con::kTf2)) return kNever;
    return NextOverflowCycle(counter_);
}

}  // namespace chip
