// Loads the built extension the way a host does: the services are exported by name from this
// executable, the library is opened with dlopen / LoadLibrary, and PeltoEntry is found by name.
// This proves the real lookup path, the calling convention and the record layouts.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "flash/regmap.h"
#include "pelto/pelto.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

std::string g_library_path;

struct MiniHost {
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> sfr;  // current, previous
    std::array<uint8_t, 0x10000> code{};
    std::array<uint8_t, 0x10000> xdata{};
    std::vector<std::pair<uint32_t, PeltoHandler>> sfr_watches;
    std::vector<PeltoHandler> memory_watches;
    std::vector<PeltoHandler> timers;
    std::map<uint32_t, uint64_t> timer_due;
    std::vector<std::string> vtrs;
    std::vector<PeltoMenuItem*> menu_items;
    uint64_t cycles = 0;
    uint32_t last = 0;
    uint32_t pc = 0;
    int uncalled = 0;

    uint8_t* Memory(uint32_t address, uint32_t count) {
        const uint32_t offset = address & 0xFFFF;
        if (count > 0x10000 - offset) return nullptr;
        if ((address & PELTO_SPACE_MASK) == PELTO_SPACE_CODE) return code.data() + offset;
        if ((address & PELTO_SPACE_MASK) == PELTO_SPACE_XDATA) return xdata.data() + offset;
        return nullptr;
    }
    void ProgramWrite(flash::Reg reg, uint32_t value) {
        auto& v = sfr[flash::Id(reg)];
        v = {value, v.first};
        last = flash::Id(reg);
        pc = 0xC100;
        code[pc] = flash::kOpMovDirectA;
        for (auto& [id, handler] : sfr_watches)
            if (id == flash::Id(reg)) handler();
    }

    // ---- the services ----
    uint32_t DefineVTR(const char* name, uint32_t, uint32_t) {
        vtrs.emplace_back(name);
        return static_cast<uint32_t>(vtrs.size());
    }
    uint32_t SetWatchOnSFR(uint32_t id, PeltoHandler handler, uint32_t) {
        sfr_watches.emplace_back(id, handler);
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t SetWatchOnMemory(uint32_t, uint32_t, PeltoHandler handler, uint32_t) {
        memory_watches.push_back(handler);
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t CreateTimer(PeltoHandler callback) {
        timers.push_back(callback);
        return static_cast<uint32_t>(timers.size());
    }
    uint32_t SetTimer(uint32_t timer, uint32_t count) {
        if (count == PELTO_TIMER_DISARM) timer_due.erase(timer);
        else timer_due[timer] = cycles + count;
        return PELTO_RESULT_SUCCESS;
    }
    uint64_t GetStates() const { return cycles; }
    uint32_t DefineMenuItem(PeltoMenuItem* item) {
        menu_items.push_back(item);
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t ReadSFR(uint32_t id, uint32_t* value, uint32_t* previous, uint32_t mask) {
        const auto v = sfr[id];
        *value = v.first & mask;
        *previous = v.second & mask;
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t WriteSFR(uint32_t id, uint32_t value, uint32_t mask) {
        auto& v = sfr[id];
        v = {(v.first & ~mask) | (value & mask), v.first};
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t ReadMemory(uint32_t address, uint32_t count, uint8_t* destination) {
        const uint8_t* source = Memory(address, count);
        if (!source) return PELTO_RESULT_FAILURE;
        std::memcpy(destination, source, count);
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t WriteMemory(uint32_t address, uint32_t count, const uint8_t* source) {
        uint8_t* destination = Memory(address, count);
        if (!destination) return PELTO_RESULT_FAILURE;
        std::memcpy(destination, source, count);
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t GetLastMemoryAddress() const { return last; }
    uint32_t GetProgramCounter() const { return pc; }
    void HandleFocus(uintptr_t) {}
};
MiniHost* g_host = nullptr;

}  // namespace

extern "C" {
// The exports, one per called service, onto the host's member of the same name.
#define PELTO_MINI_EXPORT(name, result, parameters, arguments) \
    PELTO_EXPORT result Pelto##name parameters { return g_host->name arguments; }
PELTO_CALLED_SERVICES(PELTO_MINI_EXPORT)
#undef PELTO_MINI_EXPORT

// Looked up by the extension, never called: each counts a call so the test can tell.
static uint32_t Uncalled() { return static_cast<uint32_t>(++g_host->uncalled); }
// Their signatures are this host's own choice.
#define PELTO_UNCALLED_EXPORT(name) PELTO_EXPORT uint32_t Pelto##name(void) { return Uncalled(); }
PELTO_LOOKED_UP_SERVICES(PELTO_UNCALLED_EXPORT)
#undef PELTO_UNCALLED_EXPORT
}

namespace {

struct Library {
#if defined(_WIN32)
    HMODULE handle = LoadLibraryA(g_library_path.c_str());
    ~Library() { if (handle) FreeLibrary(handle); }
    PeltoEntryFunction Entry() const {
        return reinterpret_cast<PeltoEntryFunction>(reinterpret_cast<void (*)()>(GetProcAddress(handle, "PeltoEntry")));
    }
    static uintptr_t HostModule() { return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)); }
#else
    void* handle = dlopen(g_library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ~Library() { if (handle) dlclose(handle); }
    PeltoEntryFunction Entry() const {
        void* symbol = dlsym(handle, "PeltoEntry");
        PeltoEntryFunction f = nullptr;
        std::memcpy(&f, &symbol, sizeof f);
        return f;
    }
    static uintptr_t HostModule() { return reinterpret_cast<uintptr_t>(dlopen(nullptr, RTLD_NOW)); }
#endif
};

TEST(Load, StartsResetsAndRunsAProgramOperation) {
    MiniHost host;
    g_host = &host;
    Library library;
    ASSERT_NE(library.handle, nullptr) << "cannot load " << g_library_path;
    const PeltoEntryFunction entry = library.Entry();
    ASSERT_NE(entry, nullptr);

    PeltoCheckRecord check{PELTO_PROCESSOR_8051};
    EXPECT_EQ(entry(PELTO_ENTRY_CHECK, &check), 1u);
    PeltoStartupRecord startup{Library::HostModule(), {0xDEAD, 0xBEEF, 0, 0}};
    ASSERT_EQ(entry(PELTO_ENTRY_START, &startup), 1u);
    EXPECT_EQ(host.vtrs, (std::vector<std::string>{"IVWL0", "IVWL1", "IVWL2", "IVWL3"}));
    EXPECT_EQ(host.sfr_watches.size(), 10u);
    EXPECT_EQ(host.memory_watches.size(), 2u);
    ASSERT_EQ(host.timers.size(), 1u);
    EXPECT_EQ(host.uncalled, 0);

    ASSERT_EQ(entry(PELTO_ENTRY_RESET, nullptr), 1u);
    for (const auto& reg : flash::kRegisters)
        if (reg.reset != flash::kNotReset) {
            EXPECT_EQ(host.sfr[reg.id].first, static_cast<uint32_t>(reg.reset)) << reg.name;
        }

    // One DFLASH program operation through the registered handlers.
    for (uint32_t i = 0; i < flash::kDataBlock; ++i) {
        host.sfr[flash::Id(flash::Reg::DPH)] = {0xA0, 0};
        host.sfr[flash::Id(flash::Reg::DPL)] = {0x20 + i, 0};
        host.ProgramWrite(flash::Reg::FDATA, 0x40 + i);
    }
    host.ProgramWrite(flash::Reg::FCTL_D0, 0x28);
    EXPECT_EQ(host.sfr[flash::Id(flash::Reg::FCTL_D0)].first, 0x80u);
    host.ProgramWrite(flash::Reg::FCMD, 0x06);
    ASSERT_EQ(host.timer_due.count(1), 1u);
    host.cycles = host.timer_due[1];
    host.last = 0;
    host.timers[0]();
    EXPECT_EQ(host.code[0xA020], 0x40);
    EXPECT_EQ(host.code[0x703F], 0x40 + 31);
    EXPECT_EQ(host.sfr[flash::Id(flash::Reg::FCTL_D0)].first, 0x20u);
    g_host = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH-TO-EXTENSION\n", argv[0]);
        return 2;
    }
    g_library_path = argv[1];
    return RUN_ALL_TESTS();
}
