#include "sim/peltosim/host/sim_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "flash/regmap.h"
#include "sim/cpu/opcodes.h"
#include "sim/peltosim/host/metastable.h"

namespace peltosim {
namespace {

constexpr uint32_t kNmistatId = flash::Id(flash::Reg::NMISTAT);

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

SimHost::SimHost() : cpu_(std::make_unique<sim8051::Cpu>()), sfrs_(*cpu_), chip_(*cpu_) {
    current_ = this;
    SetCpuHooks();
    HookPagedAddresses(*cpu_);
    chip_.AttachHooks();
    chip_.SetNmiLine({&SimHost::NmiRequested, &SimHost::NmiEnabled, this});
    chip_.serial().SetOutput(&SimHost::OnSerialByte, this);
}

void SimHost::OnSerialByte(void* ctx, uint8_t byte) {
    auto& self = *static_cast<SimHost*>(ctx);
    if (self.keep_serial_) self.serial_text_.push_back(static_cast<char>(byte));
    if (self.stop_serial_ && self.serial_text_since_reset().find(*self.stop_serial_) != std::string_view::npos) self.Stop();
    if (self.serial_stream_ != nullptr && std::fputc(byte, self.serial_stream_) == EOF) self.serial_failed_ = true;
}

void SimHost::SetCpuHooks() {
    // Only with unstable cells does a MOVC pay for them.
    const sim8051::MovcReadFn movc = metastable_ != nullptr ? &SimHost::OnMovcReadUnstable : &SimHost::OnMovcRead;
    cpu_->SetHooks({&SimHost::OnSfrRead, &SimHost::OnSfrWrite, movc, this, &SimHost::OnReti, &SimHost::OnDataAccess});
}

void SimHost::SetMetastable(Metastable* metastable) {
    metastable_ = metastable;
    SetCpuHooks();
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

uint8_t SimHost::OnSfrRead(void* ctx, uint8_t address, uint16_t pc) {
    auto& self = *static_cast<SimHost*>(ctx);
    if (chip::Chip::Owns(address)) return self.chip_.Read(address);
    if (self.observer_ && PagingOf(address) != Paging::kNone)
        self.observer_->SfrAccessed(self.GetStates(), address, self.sfrs_.Resolve(address), false, pc);
    return self.sfrs_.ProgramRead(address);
}

void SimHost::OnSfrWrite(void* ctx, uint8_t address, uint8_t value, uint16_t pc) {
    auto& self = *static_cast<SimHost*>(ctx);
    const uint8_t previous = self.cpu_->PreviousSfrValue();
    if (chip::Chip::Owns(address)) self.chip_.Write(address, value, previous);
    if (self.observer_ && PagingOf(address) != Paging::kNone)
        self.observer_->SfrAccessed(self.GetStates(), address, self.sfrs_.Resolve(address), true, pc);
    const uint32_t id = self.sfrs_.ProgramWrite(address, value, previous);
    if (id == kNmiconId || id == kNmistatId) self.chip_.NmiChanged();
    self.NotifyWrite(id, value, true);
    for (std::size_t i = 0; i < self.watches_.size(); ++i) {
        // Copied: a handler may register further watches.
        const Watch watch = self.watches_[i];
        if (watch.id != id) continue;
        self.last_address_ = id;
        watch.handler();
    }
}

void SimHost::OnReti(void* ctx) { static_cast<SimHost*>(ctx)->chip_.OnReti(); }

bool SimHost::NmiRequested(void* ctx) {
    const auto& sfrs = static_cast<SimHost*>(ctx)->sfrs_;
    return (sfrs.Read(kNmistatId)->current & sfrs.Read(kNmiconId)->current) != 0;
}

bool SimHost::NmiEnabled(void* ctx) { return static_cast<SimHost*>(ctx)->sfrs_.Read(kNmiconId)->current != 0; }

void SimHost::OnDataAccess(void* ctx, sim8051::DataSpace space, uint16_t address, uint8_t access, uint16_t pc) {
    auto& self = *static_cast<SimHost*>(ctx);
    const uint8_t stops = space == sim8051::DataSpace::kXdata ? self.stop_xdata_[address] : self.stop_idata_[address & 0xFF];
    if (stops & access) self.Stop();
    if (self.observer_)
        self.observer_->DataAccessed(self.GetStates(), space, address, access == sim8051::kWatchWrite, pc);
}

void SimHost::ObserveData(sim8051::DataSpace space, uint16_t first, uint16_t last, uint8_t access) {
    cpu_->WatchData(space, first, last, access, true);
}

std::span<const uint8_t> SimHost::SpaceBytes(Space space) const {
    switch (space) {
    case Space::kCode: return cpu_->Code();
    case Space::kXdata: return cpu_->Xram();
    case Space::kIdata: break;
    }
    return cpu_->Iram();
}

void SimHost::StopOn(const StopAccess& access) {
    switch (access.space) {
    case Space::kCode:
        stop_code_reads_[access.address] = true;
        cpu_->WatchMovc(access.address, access.address, true);
        break;
    case Space::kXdata:
    case Space::kIdata: {
        const uint8_t flag = access.write ? sim8051::kWatchWrite : sim8051::kWatchRead;
        if (access.space == Space::kXdata) stop_xdata_[access.address] |= flag;
        else stop_idata_[access.address & 0xFF] |= flag;
        cpu_->WatchData(access.space == Space::kXdata ? sim8051::DataSpace::kXdata : sim8051::DataSpace::kIdata,
                        access.address, access.address, flag, true);
        break;
    }
    }
}

void SimHost::OnMovcRead(void* ctx, uint16_t address, uint16_t pc) {
    auto& self = *static_cast<SimHost*>(ctx);
    if (self.stop_code_reads_[address]) self.Stop();
    if (self.observer_) self.observer_->CodeRead(self.GetStates(), address, pc);
    const uint32_t host_address = PELTO_SPACE_CODE | address;
    for (std::size_t i = 0; i < self.memory_watches_.size(); ++i) {
        const MemoryWatch watch = self.memory_watches_[i];
        if (host_address < watch.first || host_address > watch.last) continue;
        self.last_address_ = host_address;
        watch.handler();
    }
}

void SimHost::OnMovcReadUnstable(void* ctx, uint16_t address, uint16_t pc) {
    OnMovcRead(ctx, address, pc);
    static_cast<SimHost*>(ctx)->metastable_->AfterRead(address);
}

void SimHost::NotifyWrite(uint32_t id, uint8_t value, bool by_program) {
    if (observer_) observer_->RegisterWritten(GetStates(), id, value, by_program);
}

void SimHost::Reset() {
    serial_since_reset_ = serial_text_.size();
    cpu_->Reset();
    sfrs_.Clear();
    chip_.Reset();
    for (auto& listener : reset_listeners_) listener();
}

void SimHost::PowerCut() {
    FillVolatileMemory();
    ForgetExtensions();
    for (auto& listener : power_on_listeners_) listener();
    Reset();
}

void SimHost::ForgetExtensions() {
    // The MOVC watch flags stay set in the core: without a registered range they call nothing.
    watches_.clear();
    memory_watches_.clear();
    timers_.clear();
    vtrs_.clear();
    menu_items_.clear();
}

void SimHost::FillVolatileMemory() {
    std::mt19937_64 random(ram_fill_.seed);
    auto next = [&]() { return ram_fill_.random ? static_cast<uint8_t>(random()) : ram_fill_.byte; };
    for (uint8_t& b : cpu_->Iram()) b = next();
    std::array<bool, sim8051::Cpu::kXramSize> kept{};
    for (const XdataRange& r : kept_xdata_) std::fill(kept.begin() + r.first, kept.begin() + r.last + 1, true);
    auto xram = cpu_->Xram();
    for (std::size_t a = 0; a < xram.size(); ++a) {
        const uint8_t fill = next();  // drawn for every byte: the pattern does not depend on the kept ranges
        if (!kept[a]) xram[a] = fill;
    }
}

void SimHost::ScheduleReset(uint64_t cycle, bool power_cut) {
    const ScheduledReset r{cycle, power_cut};
    const auto at = std::upper_bound(scheduled_resets_.begin() + static_cast<std::ptrdiff_t>(next_reset_), scheduled_resets_.end(), r,
                                     [](const ScheduledReset& a, const ScheduledReset& b) { return a.cycle < b.cycle; });
    scheduled_resets_.insert(at, r);
}

bool SimHost::ResetsDue() {
    bool any = false;
    if (reset_requested_) {
        reset_requested_ = false;
        ++resets_;
        Reset();
        any = true;
    }
    while (ResetPending() && scheduled_resets_[next_reset_].cycle <= cpu_->Cycles()) {
        const bool cut = scheduled_resets_[next_reset_++].power_cut;
        if (observer_) observer_->ChipReset(cpu_->Cycles(), cut);
        if (cut) {
            ++power_cuts_;
            PowerCut();
        } else {
            ++resets_;
            Reset();
        }
        any = true;
    }
    return any;
}

void SimHost::SkipIdleLoop(uint64_t until) {
    const uint64_t now = cpu_->Cycles();
    if (until <= now) return;
    const uint64_t step = sim8051::kMachineCycles[cpu_->Code()[cpu_->Pc()]];
    const uint64_t loops = (until - now + step - 1) / step;
    cpu_->Skip(loops * step, loops);
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

void SimHost::RequestCutHookAt(uint64_t cycle) {
    if (!cut_hook_) return;
    if (!cut_hook_at_ || cycle < *cut_hook_at_) cut_hook_at_ = cycle;
    // From inside an instruction: end the slice at the boundary the hook is due at.
    if (cycle < run_limit_) cpu_->RequestStop();
}

RunEnd SimHost::Run(uint64_t max_cycles, const std::function<void()>& poll, uint64_t poll_cycles) {
    stop_requested_ = false;
    max_cycles_ = max_cycles;
    // The PC of a jump to itself that an interrupt could leave: time is skipped there instead of
    // running it pass by pass.
    bool in_idle_loop = false;
    uint16_t idle_loop_pc = 0;
    for (;;) {
        // One instruction boundary: the cut hook, resets, the extensions' timers, then the chip's
        // interrupts.
        if (cut_hook_at_ && *cut_hook_at_ <= cpu_->Cycles()) {
            cut_hook_at_.reset();
            cut_hook_();
        }
        if (ResetsDue()) in_idle_loop = false;
        FireDueTimers();
        if (chip_.Boundary()) {
            in_idle_loop = false;
            continue;  // the call took cycles: look again before the handler runs
        }
        if (stop_requested_) return RunEnd::kStopped;
        if (cpu_->Cycles() >= max_cycles_) return RunEnd::kCycleLimit;

        uint64_t limit = max_cycles_;
        if (cut_hook_at_) limit = std::min(limit, *cut_hook_at_);
        if (const auto due = NextDue()) limit = std::min(limit, *due);
        if (poll && poll_cycles) limit = std::min(limit, cpu_->Cycles() + poll_cycles);
        if (ResetPending()) limit = std::min(limit, scheduled_resets_[next_reset_].cycle);
        const bool can_leave = chip_.CanInterrupt() || ResetPending() || reset_requested_;

        switch (chip_.power()) {
        case chip::Power::kPowerDown:
            // The oscillator stops; only a reset ends it.
            if (!ResetPending() && !reset_requested_) return RunEnd::kPowerDown;
            cpu_->Skip(limit - std::min(limit, cpu_->Cycles()), 0);
            if (poll) poll();
            continue;
        case chip::Power::kIdle:
            if (!can_leave) return RunEnd::kHalted;
            limit = std::min(limit, chip_.NextEvent());
            cpu_->Skip(limit - std::min(limit, cpu_->Cycles()), 0);
            if (poll) poll();
            continue;
        case chip::Power::kRunning:
            break;
        }

        limit = std::min(limit, chip_.NextEvent());
        if (in_idle_loop && idle_loop_pc == cpu_->Pc() && !chip_.Held()) {
            if (!can_leave) return RunEnd::kHalted;
            SkipIdleLoop(limit);
            if (poll) poll();
            continue;
        }
        run_limit_ = limit;
        sim8051::StopReason reason;
        if (chip_.Held()) {
            // RETI or a write of IE/IP: one more instruction runs before any request is taken.
            chip_.ReleaseHold();
            reason = cpu_->Step();
            if (reason == sim8051::StopReason::kNone && cpu_->Breakpoint(cpu_->Pc())) reason = sim8051::StopReason::kBreakpoint;
        } else {
            reason = cpu_->Run(limit);
        }
        FireDueTimers();
        if (poll) poll();
        if (interrupted_.load(std::memory_order_relaxed)) return RunEnd::kInterrupted;
        switch (reason) {
        case sim8051::StopReason::kSelfJump:
            // A jump to itself ends the run only when nothing could ever leave it.
            if (!chip_.CanInterrupt() && !ResetPending() && !reset_requested_) return RunEnd::kHalted;
            in_idle_loop = true;
            idle_loop_pc = cpu_->Pc();
            break;
        case sim8051::StopReason::kBreakpoint: return RunEnd::kBreakpoint;
        case sim8051::StopReason::kRequested:
            if (stop_requested_) return RunEnd::kStopped;
            break;  // a timer was set nearer, or a reset was asked for: go on
        case sim8051::StopReason::kCycleLimit:
        case sim8051::StopReason::kNone:
            break;
        }
        if (stop_requested_) return RunEnd::kStopped;
    }
}

// ---- services ----

uint32_t SimHost::DefineVTR(const char* name, uint32_t, uint32_t initial) {
    if (name == nullptr) return kResultFailure;
    vtrs_.push_back({name, initial, {}});
    return static_cast<uint32_t>(vtrs_.size());
}

uint32_t SimHost::SetWatchOnSFR(uint32_t id, PeltoHandler handler, uint32_t access) {
    if (handler == nullptr || access != PELTO_ACCESS_AFTER_WRITE) return kResultFailure;
    if (!sfrs_.Read(id)) return kResultFailure;
    // An unpaged register needs its writes hooked to be seen.
    if ((id & 0xFFFFFF00) == kIdPrefix) cpu_->HookSfrWrite(static_cast<uint8_t>(id), true);
    watches_.push_back({id, handler});
    return kResultSuccess;
}

uint32_t SimHost::SetWatchOnMemory(uint32_t first, uint32_t last, PeltoHandler handler, uint32_t access) {
    if (handler == nullptr || access != PELTO_ACCESS_ON_READ) return kResultFailure;
    if ((first & kSpaceMask) != PELTO_SPACE_CODE || (last & kSpaceMask) != PELTO_SPACE_CODE || first > last ||
        ((first | last) & ~(kSpaceMask | kOffsetMask)) != 0)
        return kResultFailure;
    memory_watches_.push_back({first, last, handler});
    cpu_->WatchMovc(static_cast<uint16_t>(first), static_cast<uint16_t>(last), true);
    return kResultSuccess;
}

uint32_t SimHost::CreateTimer(PeltoHandler callback) {
    if (callback == nullptr) return kResultFailure;
    timers_.push_back({callback, std::nullopt});
    return static_cast<uint32_t>(timers_.size());
}

uint32_t SimHost::SetTimer(uint32_t timer, uint32_t cycles) {
    if (timer == 0 || timer > timers_.size()) return kResultFailure;
    auto& t = timers_[timer - 1];
    if (cycles == kTimerDisarm) {
        t.due.reset();
    } else {
        t.due = GetStates() + cycles;
        // Set from inside an instruction: end the current slice early so it fires on time.
        if (*t.due < run_limit_) cpu_->RequestStop();
    }
    if (observer_) observer_->TimerArmed(GetStates(), timer, t.due);
    return kResultSuccess;
}

uint64_t SimHost::GetStates() const { return states_override_ ? *states_override_ : cpu_->Cycles(); }

uint32_t SimHost::DefineMenuItem(PeltoMenuItem* item) {
    if (item == nullptr) return kResultFailure;
    menu_items_.push_back(item);
    return kResultSuccess;
}

uint32_t SimHost::ReadSFR(uint32_t id, uint32_t* value, uint32_t* previous, uint32_t mask) {
    const auto v = sfrs_.Read(id);
    if (!v) return kResultFailure;
    if (value) *value = v->current & mask;
    if (previous) *previous = v->previous & mask;
    return kResultSuccess;
}

uint32_t SimHost::WriteSFR(uint32_t id, uint32_t value, uint32_t mask) {
    const auto v = sfrs_.Read(id);
    if (!v) return kResultFailure;
    const auto merged = static_cast<uint8_t>((v->current & ~mask) | (value & mask));
    sfrs_.Write(id, merged);
    if (id == kNmistatId || id == kNmiconId) chip_.NmiChanged();
    NotifyWrite(id, merged, false);
    return kResultSuccess;
}

uint32_t SimHost::WriteMemory(uint32_t address, uint32_t count, const uint8_t* source) {
    if (source == nullptr) return kResultFailure;
    uint8_t* destination = Memory(address, count);
    if (destination == nullptr) return kResultFailure;
    if (observer_) observer_->MemoryWritten(GetStates(), address, count);
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
