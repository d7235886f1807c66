// The host side of extension windows: choosing a menu entry, keeping window messages flowing
// while the program runs, and calling every open window's update function.
#pragma once

#include <cstdint>
#include <string>

#include "sim_host.h"

namespace peltosim {

class WindowLoop {
public:
    // Messages are pumped and windows updated every this many cycles while a window is open.
    static constexpr uint64_t kPollCycles = 20000;

    explicit WindowLoop(SimHost& host) : host_(host) {}
    // Calls the callback of the menu entry whose text is `text`.
    bool Choose(const std::string& text, std::string& error);
    bool Active() const { return chosen_; }
    void Poll();
    // Updates the windows once more; with `keep_open`, waits until every window is closed.
    void Finish(bool keep_open);

private:
    bool AnyWindowOpen() const;
    SimHost& host_;
    bool chosen_ = false;
};

}  // namespace peltosim
