// The extension over the fake host, driven by the host events of flash_events.h: the input is a
// prologue block (the cycle counter at the start) and then one block per event. The host is
// started once; every input begins from a snapshot of it. At exit the harness prints how many
// events it checked.
//
// PELTO_FUZZ_TRACE set: every event and the state after it, to follow a finding.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "fuzz/flash_events.h"

namespace {

uint64_t g_events = 0;

void PrintEvents() { std::fprintf(stderr, "checked host events: %llu\n", static_cast<unsigned long long>(g_events)); }

flash_events::StartedHost& Started() {
    static auto* started = [] {
        auto* s = new flash_events::StartedHost;
        if (!s->started()) std::abort();
        std::atexit(PrintEvents);
        return s;
    }();
    return *started;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using flash_events::kBlockBytes;
    std::array<uint8_t, kBlockBytes> prologue{};  // a short input reads as padded with zeros
    std::copy_n(data, std::min(size, kBlockBytes), prologue.begin());
    testing_host::FakeHost& h = Started().Restore();
    h.cycles = flash_events::U32(flash_events::Block(prologue), 0);
    flash_events::Driver driver(h);
    static const bool trace = std::getenv("PELTO_FUZZ_TRACE") != nullptr;
    const std::span<const uint8_t> events(data + std::min(size, kBlockBytes),
                                          (size - std::min(size, kBlockBytes)) / kBlockBytes * kBlockBytes);
    for (std::size_t e = 0; e * kBlockBytes < events.size(); ++e) {
        const auto block = events.subspan(e * kBlockBytes).first<kBlockBytes>();
        const uint64_t before = driver.events();
        const std::string broken = driver.Run(block);
        g_events += driver.events() - before;
        if (trace) std::fprintf(stderr, "%s -> %s\n", flash_events::kEventNames[flash_events::kEventOf[block[0]]], driver.Describe().c_str());
        if (!broken.empty()) {
            std::fprintf(stderr, "invariant broken at event %zu: %s\nevents up to there:\n%s", e, broken.c_str(),
                         flash_events::EventList(events, e).c_str());
            std::abort();
        }
    }
    return 0;
}
