// Random sequences of host events; the flash model's invariants must hold after every event.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "fake_host.h"
#include "flash/regmap.h"
#include "host/extension.h"

using flash::Reg;
using testing_host::FakeHost;

namespace {

uint64_t SeedFromEnvironment() {
    const char* text = std::getenv("PELTO_PROPERTY_SEED");
    return text ? std::strtoull(text, nullptr, 0) : 20261210;
}

int RunsFromEnvironment() {
    const char* text = std::getenv("PELTO_PROPERTY_RUNS");
    return text ? std::atoi(text) : 200;
}

bool InBankOrShadow(uint32_t address, uint32_t count) {
    const uint32_t space = address & 0xFF000000;
    if (space != flash::kCodeSpace && space != flash::kShadowSpace) return false;
    const uint32_t first = address & flash::kAddressBits;
    const uint32_t last = first + count - 1;
    const auto bank = flash::BankOfAddress(first);
    return bank && flash::BankOfAddress(last) == bank && last <= flash::kAddressBits;
}

// Checks every invariant; returns a description of the first one broken.
std::string BrokenInvariant(const FakeHost& h, std::size_t calls_checked) {
    for (std::size_t i = calls_checked; i < h.calls.size(); ++i) {
        const auto& call = h.calls[i];
        if (call.service != "PeltoWriteSFR") continue;
        for (Reg control : flash::kControls) {
            if (call.args[0] != flash::Id(control)) continue;
            const uint64_t v = call.args[1];
            if (v != 0x10 && v != 0x20 && v != 0x40 && v != 0x80)
                return "control " + std::string(flash::Info(control).name) + " written " + std::to_string(v);
        }
    }
    for (const auto& w : h.memory_writes)
        if (!InBankOrShadow(w.address, w.count)) return "memory write outside the banks at " + std::to_string(w.address);
    for (int b = flash::kPairCount; b < flash::kBankCount; ++b) {
        const auto& bank = flash::kBanks[b];
        for (uint32_t i = 0; i < bank.size; ++i) {
            if (h.code[bank.base + i] != h.code[bank.second_view + i]) return "code views differ in " + std::string(bank.name);
            if (h.xdata[bank.base + i] != h.xdata[bank.second_view + i]) return "shadow views differ in " + std::string(bank.name);
        }
    }
    return {};
}

TEST(FlashProperty, InvariantsHoldUnderRandomHostEvents) {
    const uint64_t seed = SeedFromEnvironment();
    const int runs = RunsFromEnvironment();
    constexpr int kEventsPerRun = 300;
    std::mt19937_64 rng(seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };

    for (int run = 0; run < runs; ++run) {
        FakeHost h;
        ASSERT_EQ(h.Start(), 1u);
        h.Reset();
        h.memory_writes.clear();  // the ROM images lie outside the banks by design
        // Random flash contents with matching views, as a host that keeps them equal would have.
        for (auto& b : h.code) b = static_cast<uint8_t>(rng());
        for (auto& b : h.xdata) b = static_cast<uint8_t>(rng());
        for (int b = flash::kPairCount; b < flash::kBankCount; ++b) {
            const auto& bank = flash::kBanks[b];
            std::copy_n(h.code.begin() + bank.base, bank.size, h.code.begin() + bank.second_view);
            std::copy_n(h.xdata.begin() + bank.base, bank.size, h.xdata.begin() + bank.second_view);
        }
        std::size_t checked = 0;
        for (int event = 0; event < kEventsPerRun; ++event) {
            const uint32_t kind = pick(9);
            std::string what;
            switch (kind) {
            case 0: {  // control write, biased to accepted requests
                const Reg c = flash::kControls[pick(8)];
                const uint32_t v = pick(2) ? (h.Sfr(c) | (1u << pick(4))) : pick(256);
                what = "write " + std::string(flash::Info(c).name) + " " + std::to_string(v);
                h.ProgramWrite(c, v);
                break;
            }
            case 1: {
                const uint32_t v = pick(2) ? (h.Sfr(Reg::FCMD) | 0x06) : pick(2) ? 0x04 : pick(256);
                what = "write FCMD " + std::to_string(v);
                h.ProgramWrite(Reg::FCMD, v);
                break;
            }
            case 2: {
                const uint16_t address = static_cast<uint16_t>(rng());
                const uint8_t opcode = pick(4) ? flash::kOpMovDirectA : static_cast<uint8_t>(rng());
                what = "FDATA at " + std::to_string(address);
                h.CaptureByte(address, static_cast<uint8_t>(rng()), opcode);
                break;
            }
            case 3:
                what = "selects";
                h.SetSfr(flash::kSectorSelects[pick(7)], pick(256));
                break;
            case 4:
            case 5: {  // let time pass: to the due cycle or past it
                const auto due = h.timers[0].due;
                const uint64_t step = (due && pick(2)) ? *due - h.cycles : pick(3'000'000);
                what = "advance " + std::to_string(step);
                h.Advance(step);
                break;
            }
            case 6:
                what = "timer call at another time";
                h.cycles += pick(1000);
                h.FireTimerNow(1);
                break;
            case 7: {
                const uint16_t address = static_cast<uint16_t>(pick(2) ? pick(0x8000) : 0xA000 + pick(0x2000));
                what = "MOVC " + std::to_string(address);
                h.ProgramCodeRead(address, pick(2) ? flash::kOpMovcDptr : flash::kOpMovcPc);
                break;
            }
            default:
                what = "reset";
                h.Reset();
                break;
            }
            const std::string broken = BrokenInvariant(h, checked);
            ASSERT_TRUE(broken.empty()) << broken << " after event " << event << " (" << what << ") of run " << run
                                        << "; seed " << seed << " (set PELTO_PROPERTY_SEED to replay)";
            checked = h.calls.size();
        }
    }
}

}  // namespace
