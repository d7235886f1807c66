#include "sim/peltosim/base/digest.h"

#include <cstdint>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace peltosim {
namespace {

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

}  // namespace

std::optional<std::string> FileDigest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    uint64_t hash = kFnvOffset;
    for (auto it = std::istreambuf_iterator<char>(in); it != std::istreambuf_iterator<char>(); ++it) {
        hash ^= static_cast<unsigned char>(*it);
        hash *= kFnvPrime;
    }
    if (in.bad()) return std::nullopt;
    char text[32];
    std::snprintf(text, sizeof text, "fnv1a64:%016" PRIx64, hash);
    return text;
}

}  // namespace peltosim
