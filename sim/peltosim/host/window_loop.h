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

// Says whether an update is due: at most one per interval, and, once told how long an update
// took, no sooner than `budget_factor` times that after it, so that updates take at most one
// part in budget_factor + 1 of the time (a window's redraw is slow under Wine).
class UpdateThrottle {
public:
    using Clock = std::chrono::steady_clock;
    explicit UpdateThrottle(Clock::duration interval, int budget_factor = 0)
        : interval_(interval), budget_factor_(budget_factor) {}
    bool Due(Clock::time_point now);
    // The update that Due() allowed last took this long.
    void Took(Clock::duration duration) { spent_ = duration; }

private:
    Clock::duration interval_;
    int budget_factor_;
    bool updated_ = false;
    Clock::time_point last_{};
    Clock::duration spent_{};
};

class WindowLoop {
public:
    // The host polls every this many cycles while a window is open, and after every event.
    static constexpr uint64_t kPollCycles = 20000;
    static constexpr int kUpdatesPerSecond = 10;
    // Messages are pumped at most this often: enough for typing, and a pump costs a server
    // round trip under Wine.
    static constexpr int kPumpsPerSecond = 20;
    // The windows' updates may take at most one part in kUpdateBudget + 1 of the run.
    static constexpr int kUpdateBudget = 19;

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
    // In milliseconds: a second divided in whole seconds would be no time at all.
    static constexpr std::chrono::milliseconds kSecond = std::chrono::seconds(1);
    UpdateThrottle throttle_{kSecond / kUpdatesPerSecond, kUpdateBudget};
    UpdateThrottle pump_{kSecond / kPumpsPerSecond};
};

}  // namespace peltosim
