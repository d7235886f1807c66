// The host side of extension windows: choosing a menu entry, keeping window messages flowing
// while the program runs, and calling the open windows' update functions.
//
// Messages go through IsDialogMessage first, so that Tab, Enter and Escape work as in any
// dialog. Windows are updated at most kUpdatesPerSecond times a second of wall time, and once
// at the end; a window is not updated while its keyboard focus is in an edit field the user
// has changed and not yet left, since an update rewrites every field.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "sim/peltosim/host/sim_host.h"

namespace peltosim {

// Says whether an update is due: at most one per interval.
class UpdateThrottle {
public:
    using Clock = std::chrono::steady_clock;
    explicit UpdateThrottle(Clock::duration interval) : interval_(interval) {}
    bool Due(Clock::time_point now);

private:
    Clock::duration interval_;
    bool updated_ = false;
    Clock::time_point last_{};
};

class WindowLoop {
public:
    // Messages are pumped every this many cycles while a window is open.
    static constexpr uint64_t kPollCycles = 20000;
    static constexpr int kUpdatesPerSecond = 10;

    explicit WindowLoop(SimHost& host) : host_(host) {}
    // Calls the callback of the menu entry whose text is `text`.
    bool Choose(const std::string& text, std::string& error);
    bool Active() const { return chosen_; }
    void Poll();
    // Updates the windows once more; with `keep_open`, waits until every window is closed.
    void Finish(bool keep_open);

private:
    bool AnyWindowOpen() const;
    void UpdateWindows();
    void Dispatch();
    SimHost& host_;
    bool chosen_ = false;
    UpdateThrottle throttle_{std::chrono::seconds(1) / kUpdatesPerSecond};
};

}  // namespace peltosim
