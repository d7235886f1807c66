// The Intel HEX reader on arbitrary text, and the writer and reader together on arbitrary data.
//  - Whatever the text, the reader stays inside the 64 KB image, reports at most one stored byte
//    per two hex digits, changes no more bytes than it reports, and names a line and a reason
//    exactly when it fails.
//  - What the writer makes of any data at any address, the reader loads back unchanged.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>

#include "sim/cpu/ihex.h"

namespace {

constexpr std::size_t kImageSize = 0x10000;
constexpr uint8_t kUntouched = 0xA5;
constexpr std::size_t kAddressBytes = 2;

using Image = std::array<uint8_t, kImageSize>;

// Whole-image scans are the harness's own work, not code under test: no coverage feedback.
__attribute__((noinline, no_sanitize("coverage"))) std::size_t CountChanged(const Image& image) {
    std::size_t changed = 0;
    for (uint8_t b : image) changed += b != kUntouched;
    return changed;
}

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}

void CheckText(std::string_view text, Image& image) {
    image.fill(kUntouched);
    const auto result = sim8051::LoadIntelHex(text, image);
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    Check(result.bytes <= text.size() / 2, "more bytes stored than the text holds");
    Check(CountChanged(image) <= result.bytes, "bytes changed beyond those reported");
    if (result.ok) {
        Check(result.error.empty(), "success with an error message");
    } else {
        Check(!result.error.empty(), "failure without a reason");
        // An empty text has no line to name.
        Check(result.line <= lines && (text.empty() || result.line >= 1), "failure on a line the text does not have");
    }
}

void CheckRoundTrip(std::span<const uint8_t> data, Image& image) {
    if (data.size() < kAddressBytes) return;
    const auto address = static_cast<uint16_t>(data[0] << 8 | data[1]);
    const auto payload = data.subspan(kAddressBytes);
    if (payload.size() > kImageSize) return;
    image.fill(kUntouched);
    const auto result = sim8051::LoadIntelHex(sim8051::ToIntelHex(payload, address), image);
    Check(result.ok, "the reader refuses what the writer made");
    Check(result.bytes == payload.size(), "the reader stored another number of bytes than written");
    for (std::size_t i = 0; i < payload.size(); ++i)
        Check(image[(address + i) % kImageSize] == payload[i], "a byte came back changed or misplaced");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    auto image = std::make_unique<Image>();
    CheckText(std::string_view(reinterpret_cast<const char*>(data), size), *image);
    CheckRoundTrip(std::span<const uint8_t>(data, size), *image);
    return 0;
}
