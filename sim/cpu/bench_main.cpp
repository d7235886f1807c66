// sim8051-bench: runs an Intel HEX program from address 0 until it jumps to itself and prints
// the instruction and cycle counts, the final registers and the speed.
//
//   sim8051-bench program.ihx [max_cycles]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "sim/cpu/cpu.h"
#include "sim/cpu/ihex.h"

namespace {

constexpr uint64_t kDefaultMaxCycles = 10'000'000'000ull;
constexpr double kMega = 1e6;

const char* ReasonName(sim8051::StopReason reason) {
    switch (reason) {
    case sim8051::StopReason::kNone: return "none";
    case sim8051::StopReason::kCycleLimit: return "cycle-limit";
    case sim8051::StopReason::kRequested: return "requested";
    case sim8051::StopReason::kBreakpoint: return "breakpoint";
    case sim8051::StopReason::kSelfJump: return "self-jump";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s program.ihx [max_cycles]\n", argv[0]);
        return 2;
    }
    uint64_t max_cycles = kDefaultMaxCycles;
    if (argc == 3) {
        char* end = nullptr;
        max_cycles = std::strtoull(argv[2], &end, 0);
        if (end == argv[2] || *end != '\0') {
            std::fprintf(stderr, "bad cycle count: %s\n", argv[2]);
            return 2;
        }
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();

    auto cpu = std::make_unique<sim8051::Cpu>();
    const auto loaded = sim8051::LoadIntelHex(text.str(), cpu->Code());
    if (!loaded.ok) {
        std::fprintf(stderr, "%s:%zu: %s\n", argv[1], loaded.line, loaded.error.c_str());
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    const sim8051::StopReason reason = cpu->Run(max_cycles);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

    const double seconds = elapsed.count();
    std::printf("stop=%s\n", ReasonName(reason));
    std::printf("pc=0x%04X\n", cpu->Pc());
    std::printf("instructions=%llu\n", static_cast<unsigned long long>(cpu->Instructions()));
    std::printf("cycles=%llu\n", static_cast<unsigned long long>(cpu->Cycles()));
    std::printf("acc=0x%02X b=0x%02X psw=0x%02X sp=0x%02X dptr=0x%04X\n", cpu->Acc(), cpu->B(), cpu->Psw(),
                cpu->Sp(), cpu->Dptr());
    std::printf("seconds=%.6f\n", seconds);
    std::printf("mips=%.2f\n", seconds > 0 ? static_cast<double>(cpu->Instructions()) / seconds / kMega : 0.0);
    return reason == sim8051::StopReason::kSelfJump ? 0 : 1;
}
