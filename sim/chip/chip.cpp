#include "chip.h"

#include <algorithm>

#include "sim/cpu/opcodes.h"

namespace chip {
namespace {

constexpr std::array<bool, 0x80> kOwned = [] {
    std::array<bool, 0x80> t{};
    for (const ChipRegister& r : kChipRegisters) t[r.address - sim8051::Cpu::kSfrBase] = true;
    return t;
}();

bool IsTimer01(uint8_t a) { return a == sfr::kTcon || a == sfr::kTmod || (a >= sfr::kTl0 && a <= sfr::kTh1); }
bool IsTimer2(uint8_t a) { return a == sfr::kT2con || (a >= sfr::kRcap2l && a <= sfr::kTh2); }

}  // namespace

Chip::Chip(sim8051::Cpu& cpu)
    : cpu_(cpu), sfrs_(cpu.Sfrs()), timers_(sfrs_), timer2_(sfrs_), serial_(sfrs_, timers_, timer2_), interrupts_(sfrs_) {
    Reset();
}

void Chip::AttachHooks() {
    for (const ChipRegister& r : kChipRegisters) {
        cpu_.HookSfrWrite(r.address, true);
        if (r.read_hooked) cpu_.HookSfrRead(r.address, true);
    }
}

bool Chip::Owns(uint8_t address) { return address >= sim8051::Cpu::kSfrBase && kOwned[address - sim8051::Cpu::kSfrBase]; }

void Chip::Reset() {
    poll_at_ = 0;
    synced_ = cpu_.Cycles();
    timers_.Reset();
    timer2_.Reset();
    serial_.Reset(synced_);
    interrupts_.Reset();
    sampled_ = interrupts_.Sample();
}

void Chip::Sync() { AdvanceTo(cpu_.Cycles()); }

// The cycle at which the running instruction accesses the chip: its end. A write takes effect
// there (SETB TR0 does not count its own cycle) and a read sees the counts up to there.
uint64_t Chip::AccessCycle() const { return cpu_.Cycles() + sim8051::kMachineCycles[cpu_.Code()[cpu_.Pc()]]; }

void Chip::SyncTo(uint64_t now) {
    serial_.Sync(now);  // counts the timers' overflows since their last update: first
    timers_.Sync(now);
    timer2_.Sync(now);
}

void Chip::AdvanceTo(uint64_t now) {
    if (now <= synced_) return;
    SyncTo(now - kPollDelay);
    sampled_ = interrupts_.Sample();
    SyncTo(now);
    synced_ = now;
}

uint8_t Chip::Read(uint8_t address) {
    AdvanceTo(AccessCycle());
    return address == sfr::kSbuf ? serial_.ReceiveBuffer() : At(sfrs_, address);
}

void Chip::Write(uint8_t address, uint8_t value, uint8_t previous) {
    // The peripherals catch up under the register's old value, then take the new one.
    const uint64_t now = AccessCycle();
    At(sfrs_, address) = previous;
    AdvanceTo(now);
    At(sfrs_, address) = value;
    if (IsTimer01(address)) timers_.Write(address, value, now);
    else if (IsTimer2(address)) timer2_.Write(address, value, now);
    if (address == sfr::kScon || address == sfr::kSbuf) serial_.Write(address, value, now);
    if (address == sfr::kIe || address == sfr::kIp) interrupts_.Hold();
    // Any write may raise a request, change when the next event falls or start idle mode.
    cpu_.Attention();
}

void Chip::OnReti() {
    interrupts_.Reti();
    cpu_.Attention();
}

bool Chip::Boundary() {
    // A flag set in a cycle is polled in the next one: the poll here sees the flags as they
    // were in the cycle before this boundary, whether the peripherals or the program set or
    // cleared them since (three cycles at least from a flag to its handler).
    const uint64_t now = cpu_.Cycles();
    AdvanceTo(now);
    // A flag changed in this very cycle is polled in the next: the core must stop there too,
    // which NextEvent() no longer says once the flag is set.
    if (interrupts_.Sample() != sampled_) poll_at_ = now + kPollDelay;
    Vectoring v;
    if (!interrupts_.Held()) {
        const bool nmi = nmi_.requested != nullptr && nmi_.requested(nmi_.ctx);
        v = interrupts_.Decide(nmi, sampled_);
    }
    if (!v.take) return false;
    uint8_t& pcon = At(sfrs_, sfr::kPcon);
    pcon = static_cast<uint8_t>(pcon & ~pcon::kIdle);  // an interrupt ends idle mode
    cpu_.EnterInterrupt(v.vector, kInterruptCallCycles);
    ++entries_[v.source < 0 ? kInterruptSources.size() : static_cast<std::size_t>(v.source)];
    serial_.Poll(now);
    return true;
}

uint64_t Chip::NextEvent() const {
    const uint64_t next = std::min({timers_.NextEvent(), timer2_.NextEvent(), serial_.NextEvent()});
    const uint64_t poll = poll_at_ > cpu_.Cycles() ? poll_at_ : kNever;
    return std::min(poll, next == kNever ? kNever : next + kPollDelay);
}

Power Chip::power() const {
    const uint8_t pcon = At(sfrs_, sfr::kPcon);
    if (pcon & pcon::kPowerDown) return Power::kPowerDown;
    if (pcon & pcon::kIdle) return Power::kIdle;
    return Power::kRunning;
}

bool Chip::CanInterrupt() const {
    return interrupts_.CanInterrupt(nmi_.enabled != nullptr && nmi_.enabled(nmi_.ctx));
}

}  // namespace chip
