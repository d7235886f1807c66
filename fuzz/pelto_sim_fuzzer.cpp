// pelto-sim with the flash extension loaded, as the pelto-sim command sets them up (SimHost,
// the extension loader, OnReset, Reset, Run), running short random 8051 programs made of pieces
// that touch the flash: flash page selects, writes and ORs of the flash registers, FDATA captures
// and MOVC reads through DPTR, calls of ROM_PROGRAM and ROM_ERASE through the entry table, and
// delay loops long enough for programs and erases to end; so that pelto-sim's own timer
// scheduling and watch dispatch are fuzzed with the extension. Each 4-byte block of the input is
// one piece; the program sits outside the banks (the reset vector jumps to it) and ends in SJMP $.
//
// Checked through the host's memory after every slice of the run:
//  - both views of each DFLASH bank hold the same bytes, in code and in external data (the
//    programs make no MOVX write);
//  - code and external data outside the banks are as start-up left them (no write lands
//    outside a bank or its shadow).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "flash/regmap.h"
#include "fuzz/fill_random.h"
#include "flash/rom/images.h"
#include "sim/peltosim/base/extension_loader.h"
#include "sim/peltosim/host/sim_host.h"

namespace {

constexpr std::size_t kPieceBytes = 4;
constexpr std::size_t kMaxPieces = 64;
constexpr uint16_t kProgramAt = 0x8000;  // in no bank
constexpr uint64_t kSliceCycles = 250'000;
constexpr uint64_t kMaxCycles = 3'000'000;  // one whole erase and more
constexpr uint8_t kRamBlock = 0x30;         // internal RAM that ROM_PROGRAM reads
constexpr std::size_t kRamBlockBytes = 0x40;  // what a PFLASH block takes from there
constexpr uint64_t kFillSeed = 0x5EED;

// 8051 encodings the pieces use.
constexpr uint8_t kMovDirectImm = 0x75, kOrlDirectImm = 0x43, kMovDptr = 0x90, kMovAImm = 0x74, kMovDirectA = 0xF5,
                  kClrA = 0xE4, kMovcDptr = 0x93, kLcall = 0x12, kLjmp = 0x02, kSjmp = 0x80, kSelf = 0xFE,
                  kDjnzR7 = 0xDF, kDjnzR6 = 0xDE, kDjnzR5 = 0xDD, kMovR0 = 0x78, kMovR5 = 0x7D, kMovR6 = 0x7E,
                  kMovR7 = 0x7F, kMovR1 = 0x79, kMovR3 = 0x7B, kMovR4 = 0x7C;
constexpr uint8_t kMapSfr = 0x8F, kFlashPageSfr = 0xDF, kFirstPagedSfr = 0xD1, kPagedSfrCount = 14, kFdataSfr = 0xF7;
constexpr uint8_t kPageCount = 8;
constexpr uint16_t kRomProgram = 0xDFF6, kRomErase = 0xDFF9;

[[noreturn]] void Broken(const std::string& what, uint64_t cycle) {
    std::fprintf(stderr, "invariant broken at cycle %llu: %s\n", static_cast<unsigned long long>(cycle), what.c_str());
    std::abort();
}

// A code address in one of the banks, from two bytes.
uint16_t BankAddress(uint8_t which, uint8_t offset) {
    const auto& bank = flash::kBanks[which % flash::kBankCount];
    const uint16_t view = (bank.IsData() && (which & 0x80)) ? bank.second_view : bank.base;
    return static_cast<uint16_t>(view + (offset * 16u) % bank.size);
}

void Emit(std::vector<uint8_t>& p, std::initializer_list<uint8_t> bytes) { p.insert(p.end(), bytes); }

void Piece(std::vector<uint8_t>& p, const uint8_t* b) {
    switch (b[0] % 9) {
    case 0:
        Emit(p, {kMovDirectImm, kMapSfr, 1, kMovDirectImm, kFlashPageSfr, static_cast<uint8_t>(b[1] % kPageCount)});
        break;
    case 1:
        Emit(p, {(b[3] & 1) ? kOrlDirectImm : kMovDirectImm, static_cast<uint8_t>(kFirstPagedSfr + b[1] % kPagedSfrCount), b[2]});
        break;
    case 2: {
        const uint16_t a = static_cast<uint16_t>(BankAddress(b[1], b[2]) + b[3] % 16);
        Emit(p, {kMovDptr, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), kMovAImm, b[3], kMovDirectA, kFdataSfr});
        break;
    }
    case 3: {
        const uint16_t a = BankAddress(b[1], b[2]);
        Emit(p, {kMovDptr, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), kClrA, kMovcDptr});
        break;
    }
    case 4:
        Emit(p, {kMovR7, b[1], kDjnzR7, kSelf});
        break;
    case 5:  // up to about 130000 cycles: one program operation
        Emit(p, {kMovR6, b[1], kMovR7, 0, kDjnzR7, kSelf, kDjnzR6, 0xFA});
        break;
    case 6:  // up to about 2.6 million cycles: one erase
        Emit(p, {kMovR5, static_cast<uint8_t>(b[1] % 20 + 1), kMovR6, 0, kMovR7, 0, kDjnzR7, kSelf, kDjnzR6, 0xFA, kDjnzR5, 0xF6});
        break;
    case 7: {
        const uint16_t a = BankAddress(b[1], b[2]);
        Emit(p, {kMovDptr, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), kMovR0, kRamBlock, kLcall,
                 static_cast<uint8_t>(kRomProgram >> 8), static_cast<uint8_t>(kRomProgram)});
        break;
    }
    default:
        Emit(p, {kMovR5, static_cast<uint8_t>(b[1] & 7), kMovR6, static_cast<uint8_t>(b[1] >> 3 & 7), kMovR7, 0,
                 kMovR0, b[2], kMovR1, static_cast<uint8_t>(b[3] & 3), kMovR3, 0, kMovR4, 0, kLcall,
                 static_cast<uint8_t>(kRomErase >> 8), static_cast<uint8_t>(kRomErase)});
        break;
    }
}

bool InBank(uint32_t address) { return flash::BankOfAddress(address).has_value(); }

void Check(const peltosim::SimHost& host, const std::vector<uint8_t>& code0, const std::vector<uint8_t>& xram0) {
    const auto code = host.cpu().Code();
    const auto xram = host.cpu().Xram();
    const uint64_t cycle = host.cpu().Cycles();
    for (int b = flash::kPairCount; b < flash::kBankCount; ++b) {
        const auto& bank = flash::kBanks[b];
        if (std::memcmp(&code[bank.base], &code[bank.second_view], bank.size) != 0) Broken("code views differ in " + std::string(bank.name), cycle);
        if (std::memcmp(&xram[bank.base], &xram[bank.second_view], bank.size) != 0) Broken("shadow views differ in " + std::string(bank.name), cycle);
    }
    for (uint32_t a = 0; a < code.size(); ++a) {
        if (InBank(a)) continue;
        if (code[a] != code0[a]) Broken("code outside the banks changed at " + std::to_string(a), cycle);
        if (xram[a] != xram0[a]) Broken("external data outside the banks changed at " + std::to_string(a), cycle);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    peltosim::SimHost host;
    static peltosim::LoadedExtension extension = [] {
        peltosim::LoadedExtension loaded;
        std::string error;
        if (!peltosim::LoadExtension(PELTO_EXTENSION_PATH, loaded, error)) {
            std::fprintf(stderr, "cannot load the extension: %s\n", error.c_str());
            std::abort();
        }
        return loaded;
    }();
    // A new host each input: start the loaded extension again on it, as a host does at load.
    PeltoStartupRecord record{};
    if (extension.entry(PELTO_ENTRY_START, &record) != 1) Broken("start-up on a fresh host failed", 0);
    std::vector<uint8_t> program{kLjmp, static_cast<uint8_t>(kProgramAt >> 8), static_cast<uint8_t>(kProgramAt)};
    auto code = host.cpu().Code();
    std::copy(program.begin(), program.end(), code.begin());
    program.clear();
    for (std::size_t i = 0; i < kMaxPieces && (i + 1) * kPieceBytes <= size; ++i) Piece(program, data + i * kPieceBytes);
    Emit(program, {kSjmp, kSelf});
    std::copy(program.begin(), program.end(), code.begin() + kProgramAt);
    host.OnReset([&] {
        if (peltosim::ResetExtension(extension) != 1) Broken("reset failed", 0);
    });
    host.Reset();
    // Flash contents and the RAM block as a program would have them: bytes that show where an
    // erase or a commit lands (the DFLASH views equal).
    uint64_t state = fuzz::FillRandom(host.cpu().Iram().subspan(kRamBlock, kRamBlockBytes), kFillSeed + size);
    for (const auto& bank : flash::kBanks) {
        state = fuzz::FillRandom(code.subspan(bank.base, bank.size), state);
        state = fuzz::FillRandom(host.cpu().Xram().subspan(bank.base, bank.size), state);
        if (!bank.IsData()) continue;
        std::copy_n(code.begin() + bank.base, bank.size, code.begin() + bank.second_view);
        std::copy_n(host.cpu().Xram().begin() + bank.base, bank.size, host.cpu().Xram().begin() + bank.second_view);
    }
    // The reset vector lies in PFLASH pair 0.
    code[1] = static_cast<uint8_t>(kProgramAt >> 8);
    code[2] = static_cast<uint8_t>(kProgramAt);
    code[0] = kLjmp;
    const std::vector<uint8_t> code0(code.begin(), code.end());
    const std::vector<uint8_t> xram0(host.cpu().Xram().begin(), host.cpu().Xram().end());
    for (uint64_t limit = kSliceCycles; limit <= kMaxCycles; limit += kSliceCycles) {
        const peltosim::RunEnd end = host.Run(limit);
        Check(host, code0, xram0);
        if (end != peltosim::RunEnd::kCycleLimit) break;
    }
    return 0;
}
