// The extension's entry over the fake host: a few entry calls (ENTRY_CHECK with any processor or
// no record, ENTRY_START with or without a record, with a service missing from the host, one
// failing with any result, or a virtual register refused, ENTRY_RESET, unknown codes), each from
// one 8-byte block, then, when the last start-up succeeded with no service failing, host events
// (flash_events.h) with every invariant and the outcome model. The first byte of the input
// gives the number of entry calls. Each input begins from a host that has not started it.
//
// After every entry call:
//  - an unknown code answers 1 and calls nothing; ENTRY_CHECK answers 1 exactly for the 8051
//    and calls nothing;
//  - a start-up without a record, or with a service missing, answers 0 and calls nothing;
//  - a start-up answers 1 exactly when every virtual register, the watches (their results
//    ANDed), the timer and the menu entry were granted; when it answers 0 it writes no memory
//    and arms no timer, when 1 it writes exactly the ROM images and leaves its timer disarmed;
//  - a reset before a start-up that found every service answers 0 and calls nothing; after one
//    it writes the reset value of every register in table order and answers the AND of those
//    writes' results;
//  - the register and timer invariants of flash_invariants.h hold.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/flash_events.h"
#include "fuzz/flash_invariants.h"

using testing_host::FakeHost;

namespace {

constexpr std::size_t kMaxEntryCalls = 4;
constexpr uint32_t kUnknownCodeShift = 4;  // moves a known code out of the way

[[noreturn]] void Broken(const std::string& what, std::size_t call) {
    std::fprintf(stderr, "invariant broken at entry call %zu: %s\n", call, what.c_str());
    std::abort();
}

struct Unstarted {
    FakeHost host;
    FakeHost::Snapshot snapshot;
    Unstarted() {
        host::TheExtension() = host::Extension{};
        snapshot = host.Save();
    }
};

// What a start-up must answer when every service is found, from what the host grants.
uint32_t ExpectedStart(const FakeHost& h) {
    const auto answer = [&](const char* service, uint32_t granted) {
        const auto it = h.fail.find(service);
        return it != h.fail.end() ? it->second : granted;
    };
    bool ok = true;
    uint32_t next_vtr = 1;
    for (const auto& vtr : host::kVirtualRegisters) {
        const bool refused = h.refused_virtual_registers.count(vtr.name) != 0;
        ok = ok && answer("PeltoDefineVTR", refused ? 0 : next_vtr) != 0;
        if (!refused) ++next_vtr;
    }
    if (!ok) return host::kResultFailure;
    const uint32_t watches = host::kResultSuccess & answer("PeltoSetWatchOnSFR", 1) & answer("PeltoSetWatchOnMemory", 1);
    const uint32_t timer = answer("PeltoCreateTimer", static_cast<uint32_t>(h.timers.size() + 1));
    if (watches == 0 || timer == 0) return host::kResultFailure;
    return answer("PeltoDefineMenuItem", 1) != 0 ? host::kResultSuccess : host::kResultFailure;
}

std::string CheckStart(const FakeHost& h, uint32_t result, uint32_t expected) {
    if (result != expected) return "start-up answered " + std::to_string(result) + ", expected " + std::to_string(expected);
    const auto images = flash::rom::Images();
    std::size_t writes = 0;
    for (const auto& c : h.calls) {
        if (c.id == host::kWriteMemory) {
            if (result != host::kResultSuccess) return "a refused start-up wrote memory";
            if (writes >= images.size() || c.args[0] != flash::CodeAddress(images[writes].address) ||
                c.args[1] != images[writes].bytes.size())
                return "start-up wrote memory other than the ROM images";
            ++writes;
        }
        if (c.id == host::kSetTimer && (result != host::kResultSuccess || c.args[1] != flash::kTimerDisarm))
            return "start-up armed a timer";
    }
    if (result == host::kResultSuccess && writes != images.size()) return "start-up left out a ROM image";
    return {};
}

std::string CheckReset(const FakeHost& h, uint32_t result, bool complete) {
    if (!complete) {
        if (result != host::kResultFailure || !h.calls.empty()) return "a reset before a complete start-up acted";
        return {};
    }
    const auto it = h.fail.find("PeltoWriteSFR");
    const uint32_t expected = it == h.fail.end() ? host::kResultSuccess : (host::kResultSuccess & it->second);
    if (result != expected) return "reset answered " + std::to_string(result) + ", expected " + std::to_string(expected);
    std::size_t i = 0;
    for (const auto& reg : flash::kRegisters) {
        if (reg.reset == flash::kNotReset) continue;
        if (i >= h.calls.size() || h.calls[i].id != host::kWriteSFR || h.calls[i].args[0] != reg.id ||
            h.calls[i].args[1] != static_cast<uint64_t>(reg.reset))
            return "reset did not write " + std::string(reg.name) + " its reset value in table order";
        ++i;
    }
    if (i != h.calls.size()) return "reset made calls beyond the register writes";
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using flash_events::Block;
    using flash_events::kBlockBytes;
    static auto* unstarted = new Unstarted;
    if (size < 1) return 0;
    FakeHost& h = unstarted->host;
    h.Restore(unstarted->snapshot);
    const std::size_t entry_calls = data[0] % kMaxEntryCalls + 1;
    std::size_t at = 1;
    bool complete = false;  // the last start-up with a record found every service
    bool started = false;   // and succeeded with no service failing (a failing service that
                            // answers success has still registered nothing)
    for (std::size_t n = 0; n < entry_calls && at + kBlockBytes <= size; ++n, at += kBlockBytes) {
        const Block b(data + at, kBlockBytes);
        h.calls.clear();
        h.fail.clear();
        h.missing.clear();
        h.refused_virtual_registers.clear();
        std::string broken;
        switch (b[0] % 4) {
        case 0: {
            PeltoCheckRecord record{(b[1] & 2) ? PELTO_PROCESSOR_8051 : flash_events::U32(b, 2)};
            const bool none = (b[1] & 1) != 0;
            const uint32_t result = host::Entry(PELTO_ENTRY_CHECK, none ? nullptr : &record, &FakeHost::Resolve);
            const uint32_t expected = !none && record.processor_type == PELTO_PROCESSOR_8051;
            if (result != expected || !h.calls.empty()) broken = "ENTRY_CHECK answered " + std::to_string(result);
            break;
        }
        case 1: {
            if (b[1] % 8 == 0) {
                if (host::Entry(PELTO_ENTRY_START, nullptr, &FakeHost::Resolve) != 0 || !h.calls.empty())
                    broken = "a start-up without a record acted";
                break;
            }
            const bool missing = b[2] % 4 == 0;
            if (missing) h.missing = {host::kServiceNames[b[3] % host::kServiceCount]};
            if (b[4] % 4 == 0)
                h.fail[host::kServiceNames[b[5] % host::kDefineSFR]] = b[6] % 3 == 0 ? 0u : b[6] % 3 == 1 ? 1u : b[7];
            if (b[7] % 8 == 0) h.refused_virtual_registers = {host::kVirtualRegisters[(b[7] / 8) % host::kVirtualRegisters.size()].name};
            const uint32_t expected = missing ? host::kResultFailure : ExpectedStart(h);
            PeltoStartupRecord record{};
            const uint32_t result = host::Entry(PELTO_ENTRY_START, &record, &FakeHost::Resolve);
            if (missing && (result != 0 || !h.calls.empty())) broken = "a start-up with a service missing acted";
            else if (!missing) broken = CheckStart(h, result, expected);
            complete = !missing;
            started = complete && result == host::kResultSuccess && h.fail.empty();
            break;
        }
        case 2: {
            if (b[1] % 4 == 0) h.fail["PeltoWriteSFR"] = b[2];
            broken = CheckReset(h, h.Reset(), complete);
            if (broken.empty()) broken = flash_invariants::BrokenInvariant(h, 0);
            break;
        }
        default: {
            uint32_t code = flash_events::U32(b, 1);
            if (code == PELTO_ENTRY_CHECK || code == PELTO_ENTRY_START || code == PELTO_ENTRY_RESET) code += kUnknownCodeShift;
            if (host::Entry(code, nullptr, &FakeHost::Resolve) != host::kResultSuccess || !h.calls.empty())
                broken = "unknown entry code " + std::to_string(code) + " acted";
            break;
        }
        }
        if (!broken.empty()) Broken(broken, n);
    }
    if (!started) return 0;
    // The host is healthy from here on; the extension runs as any started one.
    h.fail.clear();
    h.missing.clear();
    if (h.Reset() != host::kResultSuccess) Broken("reset over a healthy host failed", entry_calls);
    flash_events::Driver driver(h);
    for (std::size_t e = 0; at + kBlockBytes <= size; ++e, at += kBlockBytes) {
        const std::string broken = driver.Run(Block(data + at, kBlockBytes));
        if (!broken.empty()) Broken("event " + std::to_string(e) + ": " + broken, entry_calls);
    }
    return 0;
}
