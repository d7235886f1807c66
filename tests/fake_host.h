// An in-process host for driving the extension in tests.
//
// Plain state: SFR current and previous values by identifier, 64 KB code and 64 KB external
// data, watches, timers, a cycle counter, the last memory address and the program counter. Every
// service call is recorded in order; any service can be made to fail or be left out of the
// lookup. The Program* methods act as the simulated program would, running the watches the way a
// host does; writes made by the extension run none.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "flash/regmap.h"
#include "host/extension.h"
#include "services/services.h"
#include "pelto/pelto.h"

namespace testing_host {

// A service's arguments in order, the unused ones 0 (no service takes more than three that
// are worth recording).
using Args = std::array<uint64_t, 3>;

struct Call {
    std::string_view service;  // one of host::kServiceNames
    Args args{};
    host::Service id = host::kServiceCount;  // the service by number, for quick comparison
    bool operator==(const Call& other) const { return service == other.service && args == other.args; }
};

struct SfrValue {
    uint32_t current = 0;
    uint32_t previous = 0;
};

struct SfrWatch {
    uint32_t id;
    PeltoHandler handler;
    uint32_t access;
};

struct MemoryWatch {
    uint32_t first;
    uint32_t last;
    PeltoHandler handler;
    uint32_t access;
};

struct Timer {
    PeltoHandler callback;
    std::optional<uint64_t> due;
};

class FakeHost {
public:
    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // The resolver to hand to host::Entry; names in `missing` are not found.
    static host::GenericFunction Resolve(uintptr_t module, const char* name);
    std::set<std::string> missing;

    // A service named here returns the given result and has no effect: outputs stay untouched,
    // GetStates, GetLastMemoryAddress and GetProgramCounter answer the result itself.
    std::map<std::string, uint32_t> fail;
    // Fails single calls (one register, one address): a result answered for a call is returned
    // as with `fail`, and the call has no effect.
    std::function<std::optional<uint32_t>(const Call&)> fail_call;
    // Virtual registers whose definition fails.
    std::set<std::string> refused_virtual_registers;
    // ORed into every value ReadSFR hands out: a host that leaves the bits above the mask as
    // they happen to be.
    uint32_t unmasked_bits = 0;
    // Runs the watches on the extension's own register writes too, which hosts must not do; the
    // last memory address stays that of the program's access.
    bool watch_own_writes = false;

    // Starts the extension (fresh state) through this host; returns the entry result.
    uint32_t Start();
    uint32_t Reset();

    // ---- the simulated program ----
    // A write by an instruction at `pc` whose opcode is `opcode` (stored in code memory there).
    void ProgramWrite(uint32_t id, uint32_t value, uint16_t at = kDefaultPc, uint8_t opcode = flash::kOpMovDirectA);
    void ProgramWrite(flash::Reg reg, uint32_t value, uint16_t at = kDefaultPc, uint8_t opcode = flash::kOpMovDirectA) {
        ProgramWrite(flash::Id(reg), value, at, opcode);
    }
    // An OR into a register, as ORL direct,#data does.
    void ProgramOr(flash::Reg reg, uint32_t bits) { ProgramWrite(reg, Sfr(reg) | bits); }
    // A data read of code memory at `address` by the instruction at `pc`.
    void ProgramCodeRead(uint16_t address, uint8_t opcode = flash::kOpMovcDptr, uint16_t at = kDefaultPc);
    // Writes FDATA with the data pointer on `address`, as the ROM routine does per byte.
    void CaptureByte(uint16_t address, uint8_t data, uint8_t opcode = flash::kOpMovDirectA);
    // Lets `cycles` cycles pass, running every timer that falls due at its exact due cycle.
    void Advance(uint64_t cycles);
    // Runs the timer callback now, due or not (a host calling at another time).
    void FireTimerNow(uint32_t timer);

    // ---- state ----
    uint32_t Sfr(uint32_t id) const;
    uint32_t Sfr(flash::Reg reg) const { return Sfr(flash::Id(reg)); }
    uint32_t Previous(uint32_t id) const;
    void SetSfr(uint32_t id, uint32_t value);
    void SetSfr(flash::Reg reg, uint32_t value) { SetSfr(flash::Id(reg), value); }
    bool HasSfr(uint32_t id) const { return sfrs_.count(id) != 0; }
    std::unordered_map<uint32_t, SfrValue>& sfrs() { return sfrs_; }

    std::array<uint8_t, 0x10000> code{};
    std::array<uint8_t, 0x10000> xdata{};
    uint64_t cycles = 0;
    uint32_t last_address = 0;
    uint32_t pc = 0;

    std::vector<SfrWatch> sfr_watches;
    std::vector<MemoryWatch> memory_watches;
    std::vector<Timer> timers;
    std::vector<std::string> virtual_registers;
    std::vector<PeltoMenuItem*> menu_items;
    std::vector<uintptr_t> focus;

    // Recorded calls; `record_reads` off leaves out the read-only services to keep logs short.
    std::vector<Call> calls;
    std::vector<Call> CallsTo(const std::string& service) const;
    std::vector<Call> WritesOnly() const;  // WriteSFR, WriteMemory, SetTimer calls in order
    void ClearCalls() { calls.clear(); }

    // Memory writes made by the extension (host address, length), for range checks.
    struct MemoryWrite {
        uint32_t address;
        uint32_t count;
    };
    std::vector<MemoryWrite> memory_writes;

    // The host's state and the extension's, logs and failures left out: many runs can start
    // from one started host without starting it again.
    struct Snapshot {
        std::unordered_map<uint32_t, SfrValue> sfrs;
        std::array<uint8_t, 0x10000> code;
        std::array<uint8_t, 0x10000> xdata;
        uint64_t cycles;
        uint32_t last_address;
        uint32_t pc;
        std::vector<SfrWatch> sfr_watches;
        std::vector<MemoryWatch> memory_watches;
        std::vector<Timer> timers;
        std::vector<std::string> virtual_registers;
        std::vector<PeltoMenuItem*> menu_items;
        host::Extension extension;
    };
    Snapshot Save() const;
    // Back to a saved state with empty logs and no failing or missing service.
    void Restore(const Snapshot& saved);

    static constexpr uint16_t kDefaultPc = 0xC100;
    static FakeHost* current;

    // Service implementations, public for the exported-symbol thunks.
    uint32_t DefineVTR(const char* name, uint32_t type, uint32_t initial);
    uint32_t SetWatchOnSFR(uint32_t id, PeltoHandler handler, uint32_t access);
    uint32_t SetWatchOnMemory(uint32_t first, uint32_t last, PeltoHandler handler, uint32_t access);
    uint32_t CreateTimer(PeltoHandler callback);
    uint32_t SetTimer(uint32_t timer, uint32_t cycles);
    uint64_t GetStates();
    uint32_t DefineMenuItem(PeltoMenuItem* item);
    uint32_t ReadSFR(uint32_t id, uint32_t* value, uint32_t* previous, uint32_t mask);
    uint32_t WriteSFR(uint32_t id, uint32_t value, uint32_t mask);
    uint32_t ReadMemory(uint32_t address, uint32_t count, uint8_t* destination);
    uint32_t WriteMemory(uint32_t address, uint32_t count, const uint8_t* source);
    uint32_t GetLastMemoryAddress();
    uint32_t GetProgramCounter();
    void HandleFocus(uintptr_t window);
    uint32_t Uncalled(const char* name);

private:
    bool Failing(host::Service service, Args args, uint32_t* result);
    void RunWatches(uint32_t id);
    uint8_t* Memory(uint32_t address, uint32_t count);

    std::unordered_map<uint32_t, SfrValue> sfrs_;
};

}  // namespace testing_host
