// The stand-in simulator host: an 8051 core, its register model, and the Pelto services that
// extensions call, with watches and timers.
//
// It gives every extension what include/pelto/pelto.h says each host guarantees.
// The chip around the CPU (timers, serial port, interrupts, idle and power-down) is
// sim/chip's; this host runs it, adds the flash NMI line (NMISTAT AND NMICON), resets and power
// cuts at given cycles, and stop conditions on data accesses.
// Not modelled: write watches on memory, watches on external data memory (refused with 0).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pelto/pelto.h"
#include "sim/peltosim/base/space.h"
#include "sim/peltosim/host/observer.h"
#include "sim/chip/chip.h"
#include "sim/cpu/cpu.h"
#include "sim/peltosim/host/sfr_model.h"

namespace peltosim {

class Metastable;

inline constexpr uint32_t kResultFailure = PELTO_RESULT_FAILURE;
inline constexpr uint32_t kResultSuccess = PELTO_RESULT_SUCCESS;
inline constexpr uint32_t kTimerDisarm = PELTO_TIMER_DISARM;
// The last memory address reported during a timer callback: bits 11..0 name no register.
inline constexpr uint32_t kNoAddress = 0;
inline constexpr uint32_t kDefaultClockHz = 12'000'000;
inline constexpr uint32_t kClocksPerCycle = 12;


enum class RunEnd : uint8_t { kHalted, kBreakpoint, kCycleLimit, kStopped, kPowerDown, kInterrupted };

// What fills volatile memory at a power cut: one byte, or a pseudo-random pattern from a seed.
struct RamFill {
    bool random = true;
    uint8_t byte = 0;
    uint64_t seed = 0;
};

// A data access that ends the run (--stop-on-read, --stop-on-write).
struct StopAccess {
    using Space = peltosim::Space;  // the one enum, also by this name
    Space space;
    uint16_t address;
    bool write;
};

// The services extensions call, in pelto.h's order; any of them can be made to fail, as a faulty
// host would.
#define PELTOSIM_SERVICE_ENUMERATOR(name, ...) k##name,
enum class Service : uint8_t { PELTO_CALLED_SERVICES(PELTOSIM_SERVICE_ENUMERATOR) kCount };
#undef PELTOSIM_SERVICE_ENUMERATOR
#define PELTOSIM_SERVICE_NAME(name, ...) "Pelto" #name,
inline constexpr std::array<std::string_view, static_cast<std::size_t>(Service::kCount)> kServiceNames{
    PELTO_CALLED_SERVICES(PELTOSIM_SERVICE_NAME)};
#undef PELTOSIM_SERVICE_NAME

class SimHost {
public:
    SimHost();
    ~SimHost();
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;

    // The one host the exported services act on.
    static SimHost* Current() { return current_; }

    sim8051::Cpu& cpu() { return *cpu_; }
    const sim8051::Cpu& cpu() const { return *cpu_; }
    SfrModel& sfrs() { return sfrs_; }
    const SfrModel& sfrs() const { return sfrs_; }

    void SetObserver(Observer* observer) { observer_ = observer; }
    // Code bytes that read unreliably (--metastable): told of every watched MOVC after the
    // extensions have seen what it read. Null: none, and MOVC reads do not look.
    void SetMetastable(Metastable* metastable);
    void SetClock(uint32_t hz) { clock_hz_ = hz; }
    // The named service fails from now on (its export returns 0 and does nothing); false for a
    // name that is not one of the services extensions call.
    bool FailService(std::string_view name);

    chip::Chip& chip() { return chip_; }
    const chip::Chip& chip() const { return chip_; }

    // Chip reset: SFRs (all pages) to their reset values, PC 0, the peripherals and the
    // interrupt system stopped, then ENTRY_RESET of every extension. RAM is kept.
    using ResetListener = std::function<void()>;
    void OnReset(ResetListener listener) { reset_listeners_.push_back(std::move(listener)); }
    void Reset();
    // A reset that also loses volatile memory: internal RAM, and external data outside
    // `kept_xdata` ranges (the flash's ECC shadow), refilled as `fill` says. Nothing an extension
    // set up survives either: its timers are disarmed (none armed before the cut may fire), its
    // watches, timers, registers and menu entries are forgotten, and the power-on listeners start
    // the extensions afresh before the reset, as at power-on.
    void PowerCut();
    using PowerOnListener = std::function<void()>;
    void OnPowerOn(PowerOnListener listener) { power_on_listeners_.push_back(std::move(listener)); }
    // Resets and power cuts at the first instruction boundary at or after each cycle.
    void ScheduleReset(uint64_t cycle, bool power_cut);
    void SetRamFill(const RamFill& fill) { ram_fill_ = fill; }
    // External data ranges (inclusive) that survive a power cut.
    void KeepOnPowerCut(uint16_t first, uint16_t last) { kept_xdata_.push_back({first, last}); }
    uint64_t resets() const { return resets_; }
    uint64_t power_cuts() const { return power_cuts_; }
    // Ends the run after an access of a data byte.
    void StopOn(const StopAccess& access);
    // Reports the program's accesses (sim8051::kWatchRead, kWatchWrite) of data bytes first..last
    // to the observer.
    void ObserveData(sim8051::DataSpace space, uint16_t first, uint16_t last, uint8_t access);
    // Where transmitted serial bytes go: a stream (may be null) and, when `keep`, a transcript.
    void SetSerialOutput(std::FILE* stream, bool keep) {
        serial_stream_ = stream;
        keep_serial_ = keep;
    }
    const std::string& serial_text() const { return serial_text_; }
    // The whole of one memory space as the program sees it now.
    std::span<const uint8_t> SpaceBytes(Space space) const;
    // Ends the run once what was sent since the last reset or power cut contains `text` (kept).
    void StopOnSerial(std::string text) {
        keep_serial_ = true;
        stop_serial_ = std::move(text);
    }
    // What was sent since the last reset or power cut (what the firmware now running sent).
    std::string_view serial_text_since_reset() const { return std::string_view(serial_text_).substr(serial_since_reset_); }
    bool serial_output_failed() const { return serial_failed_; }

    // Runs until the program jumps to itself, a breakpoint, `max_cycles`, or a stop request.
    // `poll` runs between slices of at most `poll_cycles` cycles (window messages, updates).
    RunEnd Run(uint64_t max_cycles, const std::function<void()>& poll = {}, uint64_t poll_cycles = 0);
    // Moves the running Run's limit (from a poll or a hook).
    void SetCycleLimit(uint64_t max_cycles) { max_cycles_ = max_cycles; }
    uint64_t cycle_limit() const { return max_cycles_; }
    // A hook called at the first instruction boundary at or after `cycle`, where a reset at that
    // cycle would happen (after the timers due there, before the resets): the sweep forks its cut
    // runs there. Requests keep the earliest cycle; the hook may request again.
    void SetCutHook(std::function<void()> hook) {
        cut_hook_ = std::move(hook);
        cut_hook_at_.reset();
    }
    void RequestCutHookAt(uint64_t cycle);
    // For a signal handler: Run() ends with kInterrupted after the current instruction. The flag
    // is a lock-free atomic; the CPU stop request can be lost when it races with the start of a
    // slice, and then the run ends after that slice.
    void Interrupt() {
        interrupted_.store(true, std::memory_order_relaxed);
        cpu_->RequestStop();
    }

    const std::vector<PeltoMenuItem*>& menu_items() const { return menu_items_; }

    // ---- the services ----
    uint32_t DefineVTR(const char* name, uint32_t type, uint32_t initial);
    uint32_t SetWatchOnSFR(uint32_t id, PeltoHandler handler, uint32_t access);
    uint32_t SetWatchOnMemory(uint32_t first, uint32_t last, PeltoHandler handler, uint32_t access);
    uint32_t CreateTimer(PeltoHandler callback);
    uint32_t SetTimer(uint32_t timer, uint32_t cycles);
    uint64_t GetStates() const;
    uint32_t DefineMenuItem(PeltoMenuItem* item);
    uint32_t ReadSFR(uint32_t id, uint32_t* value, uint32_t* previous, uint32_t mask);
    uint32_t WriteSFR(uint32_t id, uint32_t value, uint32_t mask);
    // Inline: on every watched MOVC the extension reads the opcode and the ECC shadow here.
    uint32_t ReadMemory(uint32_t address, uint32_t count, uint8_t* destination) {
        if (destination == nullptr) return kResultFailure;
        const uint8_t* source = Memory(address, count);
        if (source == nullptr) return kResultFailure;
        if (count == 1) *destination = *source;
        else std::memcpy(destination, source, count);
        return kResultSuccess;
    }
    uint32_t WriteMemory(uint32_t address, uint32_t count, const uint8_t* source);
    uint32_t GetLastMemoryAddress() const { return last_address_; }
    uint32_t GetProgramCounter() const { return cpu_->Pc(); }
    // Keys reach the window system directly; this host keeps no focus of its own.
    void HandleFocus(uintptr_t) {}
    uint32_t WriteVTR(uint32_t vtr, uint32_t value);
    uint32_t ReadVTR(uint32_t vtr, uint32_t* value);
    uint32_t SetWatchOnVTR(uint32_t vtr, PeltoHandler handler, uint32_t access);
    uint32_t Stop();
    uint32_t TriggerReset();
    uint32_t UpdateWindows();
    uint32_t ExternalClock() const { return clock_hz_; }
    uint32_t InternalClock() const { return clock_hz_ / kClocksPerCycle; }
    uint32_t TargetKey() const { return target_key_; }
    void SetTargetKey(uint32_t key) { target_key_ = key; }

    bool Failing(Service service) const { return failing_ >> static_cast<unsigned>(service) & 1u; }

private:
    struct Watch {
        uint32_t id;
        PeltoHandler handler;
    };
    struct MemoryWatch {
        uint32_t first;
        uint32_t last;
        PeltoHandler handler;
    };
    struct Timer {
        PeltoHandler callback;
        std::optional<uint64_t> due;
    };
    struct Vtr {
        std::string name;
        uint32_t value;
        std::vector<PeltoHandler> watches;
    };

    static uint8_t OnSfrRead(void* ctx, uint8_t address, uint16_t pc);
    static void OnSfrWrite(void* ctx, uint8_t address, uint8_t value, uint16_t pc);
    static void OnMovcRead(void* ctx, uint16_t address, uint16_t pc);
    static void OnMovcReadUnstable(void* ctx, uint16_t address, uint16_t pc);
    void SetCpuHooks();
    static void OnReti(void* ctx);
    static void OnDataAccess(void* ctx, sim8051::DataSpace space, uint16_t address, uint8_t access, uint16_t pc);
    static bool NmiRequested(void* ctx);
    static bool NmiEnabled(void* ctx);
    static void OnSerialByte(void* ctx, uint8_t byte);
    struct ScheduledReset {
        uint64_t cycle;
        bool power_cut;
    };
    struct XdataRange {
        uint16_t first;
        uint16_t last;
    };
    bool ResetsDue();  // true when one happened
    bool ResetPending() const { return next_reset_ < scheduled_resets_.size(); }
    void FillVolatileMemory();
    // What extensions registered with this host, dropped at a power cut.
    void ForgetExtensions();
    // After an idle loop stopped the core: moves time on to the boundary of the loop's
    // instruction at or after `until`.
    void SkipIdleLoop(uint64_t until);
    static constexpr uint32_t kSpaceMask = PELTO_SPACE_MASK;
    static constexpr uint32_t kOffsetMask = 0xFFFF;
    static constexpr uint32_t kSpaceSize = 0x10000;
    // The bytes at a host memory address, or nothing when the range is not all in one space.
    uint8_t* Memory(uint32_t address, uint32_t count) {
        const uint32_t offset = address & kOffsetMask;
        if ((address & ~(kSpaceMask | kOffsetMask)) != 0 || count > kSpaceSize - offset) return nullptr;
        switch (address & kSpaceMask) {
        case PELTO_SPACE_CODE: return cpu_->Code().data() + offset;
        case PELTO_SPACE_XDATA: return cpu_->Xram().data() + offset;
        default: return nullptr;
        }
    }
    std::optional<uint64_t> NextDue() const;
    void FireDueTimers();
    void NotifyWrite(uint32_t id, uint8_t value, bool by_program);

    std::unique_ptr<sim8051::Cpu> cpu_;
    SfrModel sfrs_;
    chip::Chip chip_;
    std::vector<ScheduledReset> scheduled_resets_;  // by cycle
    std::size_t next_reset_ = 0;
    std::vector<XdataRange> kept_xdata_;
    std::array<bool, sim8051::Cpu::kCodeSize> stop_code_reads_{};
    // Watch flags of the data bytes that stop the run (the others are only observed).
    std::array<uint8_t, sim8051::Cpu::kXramSize> stop_xdata_{};
    std::array<uint8_t, sim8051::Cpu::kIramSize> stop_idata_{};
    RamFill ram_fill_;
    std::FILE* serial_stream_ = nullptr;
    bool keep_serial_ = false;
    bool serial_failed_ = false;
    std::string serial_text_;
    std::size_t serial_since_reset_ = 0;
    std::optional<std::string> stop_serial_;
    uint64_t resets_ = 0;
    uint64_t power_cuts_ = 0;
    Observer* observer_ = nullptr;
    Metastable* metastable_ = nullptr;
    std::vector<Watch> watches_;
    std::vector<MemoryWatch> memory_watches_;
    std::vector<Timer> timers_;
    std::vector<Vtr> vtrs_;
    std::vector<PeltoMenuItem*> menu_items_;
    std::vector<ResetListener> reset_listeners_;
    std::vector<PowerOnListener> power_on_listeners_;
    uint32_t failing_ = 0;  // one bit per Service
    static_assert(static_cast<unsigned>(Service::kCount) <= 32, "one bit of failing_ per service");
    static inline SimHost* current_ = nullptr;
    uint32_t last_address_ = kNoAddress;
    std::optional<uint64_t> states_override_;  // the due cycle while a timer callback runs
    uint64_t run_limit_ = 0;
    uint64_t max_cycles_ = 0;
    std::function<void()> cut_hook_;
    std::optional<uint64_t> cut_hook_at_;
    bool stop_requested_ = false;
    std::atomic<bool> interrupted_{false};
    static_assert(std::atomic<bool>::is_always_lock_free);
    bool reset_requested_ = false;
    uint32_t clock_hz_ = kDefaultClockHz;
    uint32_t target_key_ = 0;
};

}  // namespace peltosim
