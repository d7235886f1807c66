#include "sim_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace peltosim {
namespace {

constexpr uint32_t kAccessAfterWrite = 1;
constexpr uint32_t kAccessOnRead = 0;

// Register addresses whose paging the host must follow (read and write hooks).
void HookPagedAddresses(sim8051::Cpu& cpu) {
    for (unsigned a = kFlashWindowFirst; a <= kFlashWindowLast; ++a) {
        cpu.HookSfrRead(static_cast<uint8_t>(a), true);
        cpu.HookSfrWrite(static_cast<uint8_t>(a), true);
    }
    for (const auto& p : kPagedAddresses) {
        cpu.HookSfrRead(p.address, true);
        cpu.HookSfrWrite(p.address, true);
    }
    // Page registers: writes tracked so their previous values are known.
    cpu.HookSfrWrite(kMapBitSfr, true);
    cpu.HookSfrWrite(kSystemPageSfr, true);
}

}  // namespace

SimHost::SimHost() : cpu_(std::make_unique<sim8051::Cpu>()), sfrs_(*cpu_) {
    current_ = this;
    cpu_->SetHooks({&SimHost::OnSfrRead, &SimHost::OnSfrWrite, &SimHost::OnMovcRead, this});
    HookPagedAddresses(*cpu_);
}

SimHost::~SimHost() {
    if (current_ == this) current_ = nullptr;
}

bool SimHost::FailService(std::string_view name) {
    for (std::size_t i = 0; i < kServiceNames.size(); ++i) {
        if (kServiceNames[i] != name) continue;
        failing_ |= 1u << i;
        return true;
    }
    return false;
}

uint8_t SimHost::OnSfrRead(void* ctx, uint8_t address, uint16_t) {
    return static_cast<SimHost*>(ctx)->sfrs_.ProgramRead(address);
}

void SimHost::OnSfrWrite(void* ctx, uint8_t address, uint8_t value, uint16_t) {
    auto& self = *static_cast<SimHost*>(ctx);
    const uint32_t id = self.sfrs_.ProgramWrite(address, value, self.cpu_->PreviousSfrValue());
    self.NotifyWrite(id, value, true);
    for (std::size_t i = 0; i < self.watches_.size(); ++i) {
        // Copied: a handler may register further watches.
        const Watch watch = self.watches_[i];
        if (watch.id != id) continue;
        self.last_address_ = id;
        watch.handler();
    }
}

void SimHost::OnMovcRead(void* ctx, uint16_t address, uint16_t) {
    auto& self = *static_cast<SimHost*>(ctx);
    const uint32_t host_address = PELTO_SPACE_CODE | address;
    for (std::size_t i = 0; i < self.memory_watches_.size(); ++i) {
        const MemoryWatch watch = self.memory_watches_[i];
        if (host_address < watch.first || host_address > watch.last) continue;
        self.last_address_ = host_address;
        watch.handler();
    }
}

void SimHost::NotifyWrite(uint32_t id, uint8_t value, bool by_program) {
    if (observer_) observer_->RegisterWritten(GetStates(), id, value, by_program);
}

void SimHost::Reset() {
    cpu_->Reset();
    for (auto& listener : reset_listeners_) listener();
}

std::optional<uint64_t> SimHost::NextDue() const {
    std::optional<uint64_t> next;
    for (const auto& t : timers_)
        if (t.due && (!next || *t.due < *next)) next = t.due;
    return next;
}

void SimHost::FireDueTimers() {
    for (;;) {
        std::optional<std::size_t> next;
        for (std::size_t i = 0; i < timers_.size(); ++i)
            if (timers_[i].due && *timers_[i].due <= cpu_->Cycles() && (!next || *timers_[i].due < *timers_[*next].due))
                next = i;
        if (!next) return;
        const uint64_t due = *timers_[*next].due;
        timers_[*next].due.reset();
        states_override_ = due;
        last_address_ = kNoAddress;
        if (observer_) observer_->TimerExpired(due, static_cast<uint32_t>(*next + 1));
        timers_[*next].callback();
        states_override_.reset();
    }
}

RunEnd SimHost::Run(uint64_t max_cycles, const std::function<void()>& poll, uint64_t poll_cycles) {
    stop_requested_ = false;
    for (;;) {
        if (reset_requested_) {
            reset_requested_ = false;
            Reset();
        }
        uint64_t limit = max_cycles;
        if (const auto due = NextDue()) limit = std::min(limit, *due);
        if (poll && poll_cycles) limit = std::min(limit, cpu_->Cycles() + poll_cycles);
        run_limit_ = limit;
        rescheduled_ = false;
        const sim8051::StopReason reason = cpu_->Run(limit);
        FireDueTimers();
        if (poll) poll();
        if (interrupted_.load(std::memory_order_relaxed)) return RunEnd::kInterrupted;
        switch (reason) {
        case sim8051::StopReason::kSelfJump: return RunEnd::kHalted;
        case sim8051::StopReason::kBreakpoint: return RunEnd::kBreakpoint;
        case sim8051::StopReason::kRequested:
            if (stop_requested_) return RunEnd::kStopped;
            break;  // a timer was set nearer, or a reset was asked for: go on
        case sim8051::StopReason::kCycleLimit:
        case sim8051::StopReason::kNone:
            break;
        }
        if (stop_requested_) return RunEnd::kStopped;
        if (cpu_->Cycles() >= max_cycles) return RunEnd::kCycleLimit;
    }
}

// ---- services ----

uint32_t SimHost::DefineVTR(const char* name, uint32_t, uint32_t initial) {
    if (Failing(Service::kDefineVTR) || name == nullptr) return kResultFailure;
    vtrs_.push_back({name, initial, {}});
    return static_cast<uint32_t>(vtrs_.size());
}

uint32_t SimHost::SetWatchOnSFR(uint32_t id, PeltoHandler handler, uint32_t access) {
    if (Failing(Service::kSetWatchOnSFR) || handler == nullptr || access != kAccessAfterWrite) return kResultFailure;
    if (!sfrs_.Read(id)) return kResultFailure;
    // An unpaged register needs its writes hooked to be seen.
    if ((id & 0xFFFFFF00) == kIdPrefix) cpu_->HookSfrWrite(static_cast<uint8_t>(id), true);
    watches_.push_back({id, handler});
    return kResultSuccess;
}

uint32_t SimHost::SetWatchOnMemory(uint32_t first, uint32_t last, PeltoHandler handler, uint32_t access) {
    if (Failing(Service::kSetWatchOnMemory) || handler == nullptr || access != kAccessOnRead) return kResultFailure;
    if ((first & kSpaceMask) != PELTO_SPACE_CODE || (last & kSpaceMask) != PELTO_SPACE_CODE || first > last ||
        ((first | last) & ~(kSpaceMask | kOffsetMask)) != 0)
        return kResultFailure;
    memory_watches_.push_back({first, last, handler});
    cpu_->WatchMovc(static_cast<uint16_t>(first), static_cast<uint16_t>(last), true);
    return kResultSuccess;
}

uint32_t SimHost::CreateTimer(PeltoHandler callback) {
    if (Failing(Service::kCreateTimer) || callback == nullptr) return kResultFailure;
    timers_.push_back({callback, std::nullopt});
    return static_cast<uint32_t>(timers_.size());
}

uint32_t SimHost::SetTimer(uint32_t timer, uint32_t cycles) {
    if (Failing(Service::kSetTimer) || timer == 0 || timer > timers_.size()) return kResultFailure;
    auto& t = timers_[timer - 1];
    if (cycles == kTimerDisarm) {
        t.due.reset();
    } else {
        t.due = GetStates() + cycles;
        // Set from inside an instruction: end the current slice early so it fires on time.
        if (*t.due < run_limit_) {
            rescheduled_ = true;
            cpu_->RequestStop();
        }
    }
    if (observer_) observer_->TimerArmed(GetStates(), timer, t.due);
    return kResultSuccess;
}

uint64_t SimHost::GetStates() const { return states_override_ ? *states_override_ : cpu_->Cycles(); }

uint32_t SimHost::DefineMenuItem(PeltoMenuItem* item) {
    if (Failing(Service::kDefineMenuItem) || item == nullptr) return kResultFailure;
    menu_items_.push_back(item);
    return kResultSuccess;
}

uint32_t SimHost::ReadSFR(uint32_t id, uint32_t* value, uint32_t* previous, uint32_t mask) {
    if (Failing(Service::kReadSFR)) return kResultFailure;
    const auto v = sfrs_.Read(id);
    if (!v) return kResultFailure;
    if (value) *value = v->current & mask;
    if (previous) *previous = v->previous & mask;
    return kResultSuccess;
}

uint32_t SimHost::WriteSFR(uint32_t id, uint32_t value, uint32_t mask) {
    if (Failing(Service::kWriteSFR)) return kResultFailure;
    const auto v = sfrs_.Read(id);
    if (!v) return kResultFailure;
    const auto merged = static_cast<uint8_t>((v->current & ~mask) | (value & mask));
    sfrs_.Write(id, merged);
    NotifyWrite(id, merged, false);
    return kResultSuccess;
}

uint32_t SimHost::WriteMemory(uint32_t address, uint32_t count, const uint8_t* source) {
    if (Failing(Service::kWriteMemory) || source == nullptr) return kResultFailure;
    uint8_t* destination = Memory(address, count);
    if (destination == nullptr) return kResultFailure;
    std::memmove(destination, source, count);
    return kResultSuccess;
}

uint32_t SimHost::WriteVTR(uint32_t vtr, uint32_t value) {
    if (vtr == 0 || vtr > vtrs_.size()) return kResultFailure;
    vtrs_[vtr - 1].value = value;
    for (PeltoHandler h : std::vector<PeltoHandler>(vtrs_[vtr - 1].watches)) h();
    return kResultSuccess;
}

uint32_t SimHost::ReadVTR(uint32_t vtr, uint32_t* value) {
    if (vtr == 0 || vtr > vtrs_.size() || value == nullptr) return kResultFailure;
    *value = vtrs_[vtr - 1].value;
    return kResultSuccess;
}

uint32_t SimHost::SetWatchOnVTR(uint32_t vtr, PeltoHandler handler, uint32_t) {
    if (vtr == 0 || vtr > vtrs_.size() || handler == nullptr) return kResultFailure;
    vtrs_[vtr - 1].watches.push_back(handler);
    return kResultSuccess;
}

uint32_t SimHost::Stop() {
    stop_requested_ = true;
    cpu_->RequestStop();
    return kResultSuccess;
}

uint32_t SimHost::TriggerReset() {
    reset_requested_ = true;
    cpu_->RequestStop();
    return kResultSuccess;
}

uint32_t SimHost::UpdateWindows() {
    for (PeltoMenuItem* item : std::vector<PeltoMenuItem*>(menu_items_))
        if (item->descriptor && item->descriptor->window && item->descriptor->update) item->descriptor->update();
    return kResultSuccess;
}

}  // namespace peltosim
