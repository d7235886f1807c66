// Base64 (RFC 4648, with padding), as the Debug Adapter Protocol carries memory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace peltosim::debug {

std::string Base64Encode(std::string_view bytes);
// Nothing for text that is not base64.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace peltosim::debug
