// The host events of flash_events.h from pseudo-random blocks, for a time budget, built without
// sanitizers beside the sanitizer fuzzer so that many more events are checked in the same time.
//
//   flash_property_run SECONDS [SEED [FINDING]]
//
// Prints the events checked; on a broken invariant the run, the event and the events just before
// it, writes the run up to there to FINDING as an input of fuzz_extension_events (replay it
// there, PELTO_FUZZ_TRACE set for a trace), and exits 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/flash_events.h"

namespace {

constexpr std::size_t kEventsPerRun = 2000;
constexpr uint64_t kDefaultSeed = 20261210;
constexpr std::size_t kEventsShown = 24;

bool ParseNumber(const char* text, uint64_t& out) {
    char* end = nullptr;
    out = std::strtoull(text, &end, 0);
    return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seconds = 0;
    uint64_t seed = kDefaultSeed;
    if (argc < 2 || argc > 4 || !ParseNumber(argv[1], seconds) || (argc >= 3 && !ParseNumber(argv[2], seed))) {
        std::fprintf(stderr, "usage: %s SECONDS [SEED [FINDING]] (SECONDS and SEED whole numbers)\n", argv[0]);
        return 2;
    }
    const char* finding = argc == 4 ? argv[3] : nullptr;
    flash_events::StartedHost started;
    if (!started.started()) {
        std::fprintf(stderr, "the extension did not start on the fake host\n");
        return 1;
    }
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    const auto end = begin + std::chrono::seconds(seconds);
    std::vector<uint8_t> blocks((kEventsPerRun + 1) * flash_events::kBlockBytes);
    uint64_t state = seed;
    uint64_t events = 0;
    uint64_t runs = 0;
    for (; Clock::now() < end; ++runs) {
        state = flash_events::FillBlocks(blocks, state);
        testing_host::FakeHost& h = started.Restore();
        h.cycles = flash_events::U32(flash_events::Block(blocks.data(), flash_events::kBlockBytes), 0);
        flash_events::Driver driver(h);
        const std::span<const uint8_t> run(blocks.data() + flash_events::kBlockBytes, kEventsPerRun * flash_events::kBlockBytes);
        for (std::size_t e = 0; e < kEventsPerRun; ++e) {
            const uint64_t before = driver.events();
            const std::string broken = driver.Run(run.subspan(e * flash_events::kBlockBytes).first<flash_events::kBlockBytes>());
            events += driver.events() - before;
            if (!broken.empty()) {
                const double at = std::chrono::duration<double>(Clock::now() - begin).count();
                const std::size_t first = e >= kEventsShown ? e - kEventsShown + 1 : 0;
                std::printf("invariant broken in run %llu (seed %llu) at event %zu, after %llu checked host events (%.2f s): %s\n"
                            "events %zu to %zu of the run:\n%s",
                            static_cast<unsigned long long>(runs), static_cast<unsigned long long>(seed), e,
                            static_cast<unsigned long long>(events), at, broken.c_str(), first, e,
                            flash_events::EventList(run.subspan(first * flash_events::kBlockBytes), e - first).c_str());
                if (finding) {
                    std::FILE* out = std::fopen(finding, "wb");
                    const std::size_t bytes = (e + 2) * flash_events::kBlockBytes;  // prologue and events
                    if (!out || std::fwrite(blocks.data(), 1, bytes, out) != bytes || std::fclose(out) != 0) {
                        std::fprintf(stderr, "cannot write the finding to %s\n", finding);
                    } else {
                        std::printf("run written to %s\n", finding);
                    }
                }
                return 1;
            }
        }
    }
    const double took = std::chrono::duration<double>(Clock::now() - begin).count();
    std::printf("%llu runs, %llu checked host events in %.1f s (seed %llu), 0 broken\n", static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(events), took, static_cast<unsigned long long>(seed));
    return 0;
}
