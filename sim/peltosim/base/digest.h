#pragma once
// A file's contents reduced to a short text, to tell whether two machines ran the same input.
// Not a security measure: FNV-1a over the bytes, 64 bits.

#include <optional>
#include <string>

namespace peltosim {

// "fnv1a64:" and 16 hex digits; nullopt when the file cannot be read.
std::optional<std::string> FileDigest(const std::string& path);

}  // namespace peltosim
