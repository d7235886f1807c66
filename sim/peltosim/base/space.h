// The 8051's memory spaces as pelto-sim's options name them.
#pragma once

#include <cstdint>

namespace peltosim {

enum class Space : uint8_t { kCode, kXdata, kIdata };

}  // namespace peltosim
