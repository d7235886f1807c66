// Cost of the flash handlers over a host whose services do the least possible work, so the
// figures are the handlers' own cost plus a plain call per service used.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <string_view>

#include "flash/capture.h"
#include "flash/regmap.h"
#include "flash/sequencer.h"
#include "host/extension.h"

namespace {

struct LeanHost {
    std::array<uint32_t, 0x10000> sfr{};  // by the low 16 bits of the identifier
    std::array<uint8_t, 0x10000> code{};
    std::array<uint8_t, 0x10000> xdata{};
    uint64_t cycles = 0;
    uint32_t last = 0;
    uint32_t pc = 0;
} g;

uint8_t* Memory(uint32_t address) {
    return ((address >> 24) == 0xFF ? g.code.data() : g.xdata.data()) + (address & 0xFFFF);
}

uint32_t ReadSFR(uint32_t id, uint32_t* value, uint32_t* previous, uint32_t mask) {
    *value = g.sfr[id & 0xFFFF] & mask;
    *previous = *value;
    return 1;
}
uint32_t WriteSFR(uint32_t id, uint32_t value, uint32_t mask) {
    auto& v = g.sfr[id & 0xFFFF];
    v = (v & ~mask) | (value & mask);
    return 1;
}
uint32_t ReadMemory(uint32_t address, uint32_t count, uint8_t* destination) {
    std::memcpy(destination, Memory(address), count);
    return 1;
}
uint32_t WriteMemory(uint32_t address, uint32_t count, const uint8_t* source) {
    std::memcpy(Memory(address), source, count);
    return 1;
}
uint32_t SetTimer(uint32_t, uint32_t) { return 1; }
uint64_t GetStates() { return g.cycles; }
uint32_t GetLast() { return g.last; }
uint32_t GetPc() { return g.pc; }
uint32_t Other() { return 1; }

host::GenericFunction Resolve(uintptr_t, const char* name) {
    auto f = [](auto fn) { return reinterpret_cast<host::GenericFunction>(fn); };
    const auto is = [name](host::Service s) { return std::string_view{name} == host::kServiceNames[s]; };
    if (is(host::kReadSFR)) return f(&ReadSFR);
    if (is(host::kWriteSFR)) return f(&WriteSFR);
    if (is(host::kReadMemory)) return f(&ReadMemory);
    if (is(host::kWriteMemory)) return f(&WriteMemory);
    if (is(host::kSetTimer)) return f(&SetTimer);
    if (is(host::kGetStates)) return f(&GetStates);
    if (is(host::kGetLastMemoryAddress)) return f(&GetLast);
    if (is(host::kGetProgramCounter)) return f(&GetPc);
    return f(&Other);
}

host::Extension& Started() {
    auto& ext = host::TheExtension();
    ext = host::Extension{};
    ext.services.Resolve(0, &Resolve);
    ext.flash.timer = 1;
    return ext;
}

void SetSfr(flash::Reg reg, uint32_t value) { g.sfr[flash::Id(reg) & 0xFFFF] = value; }

void BM_CaptureFlashByte(benchmark::State& state) {
    auto& ext = Started();
    g.pc = 0xC100;
    g.code[g.pc] = flash::kOpMovDirectA;
    SetSfr(flash::Reg::DPH, 0xA0);
    uint32_t low = 0;
    for (auto _ : state) {
        SetSfr(flash::Reg::DPL, low++ & 0x1F);
        SetSfr(flash::Reg::FDATA, low);
        flash::CaptureFlashByte(ext.flash, ext.services);
    }
}
BENCHMARK(BM_CaptureFlashByte);

void BM_CheckFlashReadEcc(benchmark::State& state) {
    auto& ext = Started();
    g.pc = 0xC200;
    g.code[g.pc] = flash::kOpMovcDptr;
    for (uint32_t a = 0; a < 0x100; ++a) g.xdata[0x1000 + a] = static_cast<uint8_t>(flash::kEccValid | flash::EccCheckBits(0));
    uint32_t a = 0;
    for (auto _ : state) {
        g.last = flash::CodeAddress(0x1000 + (a++ & 0xFF));
        flash::CheckFlashReadEcc(ext.flash, ext.services);
    }
}
BENCHMARK(BM_CheckFlashReadEcc);

void BM_ProgramCommitPflash(benchmark::State& state) {
    auto& ext = Started();
    ext.flash.captured[0] = true;
    ext.flash.last_captured[0] = 0x1240;
    g.last = 0;
    for (auto _ : state) {
        SetSfr(flash::Reg::FCTL_P0A, flash::kModeProgram);
        ext.flash.start_time = g.cycles - flash::kProgramCycles;
        flash::RunSequencer(ext.flash, ext.services);
    }
}
BENCHMARK(BM_ProgramCommitPflash);

void BM_EraseCommitLargestSector(benchmark::State& state) {
    auto& ext = Started();
    g.last = 0;
    for (auto _ : state) {
        SetSfr(flash::Reg::FCTL_P0A, flash::kModeErase);
        SetSfr(flash::Reg::FSEL_P0, 0x01);
        ext.flash.start_time = g.cycles - flash::kEraseSecondPhaseCycles;
        flash::RunSequencer(ext.flash, ext.services);
    }
}
BENCHMARK(BM_EraseCommitLargestSector);

}  // namespace

BENCHMARK_MAIN();
