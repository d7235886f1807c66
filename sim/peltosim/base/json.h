// pelto-sim's JSON, through nlohmann-json. Objects keep their members in the order written.
//
// pelto-sim's texts are bytes (a serial transcript may hold any): each byte goes into a JSON
// string as the character of the same number, U+0000-U+00FF, which the output writes as a \u
// escape outside printable ASCII, and comes back as that byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace peltosim {

using Json = nlohmann::ordered_json;

// The bytes as the text of a JSON string (for a value, or an object's key).
std::string JsonText(std::string_view bytes);
// The bytes back from a JSON string; nothing for a character above U+00FF or a value that is no string.
std::optional<std::string> BytesFromJson(const Json& value);

// One line, ASCII only.
std::string JsonLine(const Json& value);
// A discarded value (is_discarded()) when `text` is not JSON.
Json ParseJson(std::string_view text);

}  // namespace peltosim
