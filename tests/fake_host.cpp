#include "fake_host.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "host/extension.h"

namespace testing_host {

FakeHost* FakeHost::current = nullptr;

FakeHost::FakeHost() { current = this; }
FakeHost::~FakeHost() {
    if (current == this) current = nullptr;
}

namespace {

FakeHost& H() { return *FakeHost::current; }

// The exported-symbol thunks, one per called service, onto the current host.
#define PELTO_FAKE_THUNK(name, result, parameters, arguments) \
    result name parameters { return H().name arguments; }
PELTO_CALLED_SERVICES(PELTO_FAKE_THUNK)
#undef PELTO_FAKE_THUNK

template <host::Service N>
uint32_t Uncalled() { return H().Uncalled(host::kServiceNames[N]); }

template <typename F>
host::GenericFunction G(F f) { return reinterpret_cast<host::GenericFunction>(f); }

#define PELTO_FAKE_CALLED_ENTRY(name, ...) G(&name),
#define PELTO_FAKE_UNCALLED_ENTRY(name, ...) G(&Uncalled<host::k##name>),
const std::array<host::GenericFunction, host::kServiceCount> kTable{
    PELTO_CALLED_SERVICES(PELTO_FAKE_CALLED_ENTRY) PELTO_LOOKED_UP_SERVICES(PELTO_FAKE_UNCALLED_ENTRY)};
#undef PELTO_FAKE_CALLED_ENTRY
#undef PELTO_FAKE_UNCALLED_ENTRY

}  // namespace

host::GenericFunction FakeHost::Resolve(uintptr_t, const char* name) {
    if (current != nullptr && current->missing.count(name)) return nullptr;
    for (std::size_t i = 0; i < host::kServiceCount; ++i)
        if (std::strcmp(host::kServiceNames[i], name) == 0) return kTable[i];
    return nullptr;
}

uint32_t FakeHost::Start() {
    host::TheExtension() = host::Extension{};
    PeltoStartupRecord record{};
    return host::Entry(PELTO_ENTRY_START, &record, &FakeHost::Resolve);
}

FakeHost::Snapshot FakeHost::Save() const {
    return {sfrs_, code, xdata, cycles, last_address, pc, sfr_watches, memory_watches, timers, virtual_registers,
            menu_items, host::TheExtension()};
}

void FakeHost::Restore(const Snapshot& saved) {
    sfrs_ = saved.sfrs;
    code = saved.code;
    xdata = saved.xdata;
    cycles = saved.cycles;
    last_address = saved.last_address;
    pc = saved.pc;
    sfr_watches = saved.sfr_watches;
    memory_watches = saved.memory_watches;
    timers = saved.timers;
    virtual_registers = saved.virtual_registers;
    menu_items = saved.menu_items;
    focus.clear();
    calls.clear();
    memory_writes.clear();
    fail.clear();
    missing.clear();
    refused_virtual_registers.clear();
    unmasked_bits = 0;
    watch_own_writes = false;
    fail_call = nullptr;
    host::TheExtension() = saved.extension;
    current = this;
}

uint32_t FakeHost::Reset() { return host::Entry(PELTO_ENTRY_RESET, nullptr, &FakeHost::Resolve); }

// The names as views, measured once.
template <std::size_t... I>
constexpr std::array<std::string_view, host::kServiceCount> ServiceViews(std::index_sequence<I...>) {
    return {std::string_view(host::kServiceNames[I])...};
}
constexpr auto kServiceViews = ServiceViews(std::make_index_sequence<host::kServiceCount>{});

bool FakeHost::Failing(host::Service service, Args args, uint32_t* result) {
    calls.push_back({kServiceViews[service], args, service});
    if (!fail.empty()) {
        const auto it = fail.find(host::kServiceNames[service]);
        if (it != fail.end()) {
            *result = it->second;
            return true;
        }
    }
    if (!fail_call) return false;
    const auto answer = fail_call(calls.back());
    if (!answer) return false;
    *result = *answer;
    return true;
}

uint8_t* FakeHost::Memory(uint32_t address, uint32_t count) {
    const uint32_t offset = address & 0xFFFF;
    if (count > 0x10000 - offset) return nullptr;
    switch (address & PELTO_SPACE_MASK) {
    case PELTO_SPACE_CODE: return code.data() + offset;
    case PELTO_SPACE_XDATA: return xdata.data() + offset;
    default: return nullptr;
    }
}

uint32_t FakeHost::DefineVTR(const char* name, uint32_t type, uint32_t initial) {
    uint32_t result = 0;
    if (Failing(host::kDefineVTR, {type, initial}, &result)) return result;
    if (refused_virtual_registers.count(name)) return 0;
    virtual_registers.emplace_back(name);
    return static_cast<uint32_t>(virtual_registers.size());
}

uint32_t FakeHost::SetWatchOnSFR(uint32_t id, PeltoHandler handler, uint32_t access) {
    uint32_t result = 0;
    if (Failing(host::kSetWatchOnSFR, {id, access}, &result)) return result;
    sfr_watches.push_back({id, handler, access});
    return 1;
}

uint32_t FakeHost::SetWatchOnMemory(uint32_t first, uint32_t last, PeltoHandler handler, uint32_t access) {
    uint32_t result = 0;
    if (Failing(host::kSetWatchOnMemory, {first, last, access}, &result)) return result;
    memory_watches.push_back({first, last, handler, access});
    return 1;
}

uint32_t FakeHost::CreateTimer(PeltoHandler callback) {
    uint32_t result = 0;
    if (Failing(host::kCreateTimer, {}, &result)) return result;
    timers.push_back({callback, std::nullopt});
    return static_cast<uint32_t>(timers.size());
}

uint32_t FakeHost::SetTimer(uint32_t timer, uint32_t count) {
    uint32_t result = 0;
    if (Failing(host::kSetTimer, {timer, count}, &result)) return result;
    if (timer == 0 || timer > timers.size()) return 0;
    auto& t = timers[timer - 1];
    if (count == flash::kTimerDisarm) t.due.reset();
    else t.due = cycles + count;
    return 1;
}

uint64_t FakeHost::GetStates() {
    uint32_t result = 0;
    if (Failing(host::kGetStates, {}, &result)) return result;
    return cycles;
}

uint32_t FakeHost::DefineMenuItem(PeltoMenuItem* item) {
    uint32_t result = 0;
    if (Failing(host::kDefineMenuItem, {}, &result)) return result;
    menu_items.push_back(item);
    return 1;
}

uint32_t FakeHost::ReadSFR(uint32_t id, uint32_t* value, uint32_t* previous, uint32_t mask) {
    uint32_t result = 0;
    if (Failing(host::kReadSFR, {id, mask}, &result)) return result;
    const auto it = sfrs_.find(id);
    const SfrValue v = it != sfrs_.end() ? it->second : SfrValue{};
    if (value) *value = (v.current & mask) | (unmasked_bits & ~mask);
    if (previous) *previous = (v.previous & mask) | (unmasked_bits & ~mask);
    return 1;
}

uint32_t FakeHost::WriteSFR(uint32_t id, uint32_t value, uint32_t mask) {
    uint32_t result = 0;
    if (Failing(host::kWriteSFR, {id, value, mask}, &result)) return result;
    auto& v = sfrs_[id];
    v.previous = v.current;
    v.current = (v.current & ~mask) | (value & mask);
    if (watch_own_writes) RunWatches(id);
    return 1;
}

uint32_t FakeHost::ReadMemory(uint32_t address, uint32_t count, uint8_t* destination) {
    uint32_t result = 0;
    if (Failing(host::kReadMemory, {address, count}, &result)) return result;
    const uint8_t* source = Memory(address, count);
    if (source == nullptr) return 0;
    std::memcpy(destination, source, count);
    return 1;
}

uint32_t FakeHost::WriteMemory(uint32_t address, uint32_t count, const uint8_t* source) {
    uint32_t result = 0;
    if (Failing(host::kWriteMemory, {address, count}, &result)) return result;
    memory_writes.push_back({address, count});
    uint8_t* destination = Memory(address, count);
    if (destination == nullptr) return 0;
    std::memcpy(destination, source, count);
    return 1;
}

uint32_t FakeHost::GetLastMemoryAddress() {
    uint32_t result = 0;
    if (Failing(host::kGetLastMemoryAddress, {}, &result)) return result;
    return last_address;
}

uint32_t FakeHost::GetProgramCounter() {
    uint32_t result = 0;
    if (Failing(host::kGetProgramCounter, {}, &result)) return result;
    return pc;
}

void FakeHost::HandleFocus(uintptr_t window) {
    uint32_t ignored = 0;
    if (Failing(host::kHandleFocus, {window}, &ignored)) return;
    focus.push_back(window);
}

uint32_t FakeHost::Uncalled(const char* name) {
    calls.push_back({name, {}, host::kServiceCount});
    return 0;
}

uint32_t FakeHost::Sfr(uint32_t id) const {
    const auto it = sfrs_.find(id);
    return it != sfrs_.end() ? it->second.current : 0;
}
uint32_t FakeHost::Previous(uint32_t id) const {
    const auto it = sfrs_.find(id);
    return it != sfrs_.end() ? it->second.previous : 0;
}
void FakeHost::SetSfr(uint32_t id, uint32_t value) { sfrs_[id] = {value, value}; }

void FakeHost::ProgramWrite(uint32_t id, uint32_t value, uint16_t at, uint8_t opcode) {
    auto& v = sfrs_[id];
    v.previous = v.current;
    v.current = value & 0xFF;
    code[at] = opcode;
    pc = at;
    last_address = id;
    RunWatches(id);
}

void FakeHost::RunWatches(uint32_t id) {
    // By index: a handler may add watches.
    for (std::size_t i = 0; i < sfr_watches.size(); ++i)
        if (sfr_watches[i].id == id) sfr_watches[i].handler();
}

void FakeHost::ProgramCodeRead(uint16_t address, uint8_t opcode, uint16_t at) {
    code[at] = opcode;
    pc = at;
    last_address = PELTO_SPACE_CODE | address;
    for (std::size_t i = 0; i < memory_watches.size(); ++i)
        if (memory_watches[i].first <= last_address && last_address <= memory_watches[i].last) memory_watches[i].handler();
}

void FakeHost::CaptureByte(uint16_t address, uint8_t data, uint8_t opcode) {
    SetSfr(flash::Reg::DPH, address >> 8);
    SetSfr(flash::Reg::DPL, address & 0xFF);
    ProgramWrite(flash::Reg::FDATA, data, kDefaultPc, opcode);
}

void FakeHost::Advance(uint64_t count) {
    const uint64_t end = cycles + count;
    for (;;) {
        std::optional<std::size_t> next;
        for (std::size_t i = 0; i < timers.size(); ++i)
            if (timers[i].due && *timers[i].due <= end && (!next || *timers[i].due < *timers[*next].due)) next = i;
        if (!next) break;
        cycles = *timers[*next].due;
        timers[*next].due.reset();
        last_address = 0;  // agrees with no watched register
        timers[*next].callback();
    }
    cycles = end;
}

void FakeHost::FireTimerNow(uint32_t timer) {
    last_address = 0;
    timers.at(timer - 1).callback();
}

std::vector<Call> FakeHost::CallsTo(const std::string& service) const {
    std::vector<Call> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out), [&](const Call& c) { return c.service == service; });
    return out;
}

std::vector<Call> FakeHost::WritesOnly() const {
    std::vector<Call> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out), [](const Call& c) {
        return c.service == "PeltoWriteSFR" || c.service == "PeltoWriteMemory" || c.service == "PeltoSetTimer";
    });
    return out;
}

}  // namespace testing_host
