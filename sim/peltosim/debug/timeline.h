// Checkpoints of a deterministic run, for going back in time.
//
// A checkpoint is a copy of the whole adapter process (fork), made at an instruction boundary
// and left waiting on a pipe: it holds the simulator, the extensions' own state and the
// session as they were at that cycle. Going back asks a checkpoint for a copy of itself, which
// runs forward to the cycle wanted: a scout copy finds that cycle and reports it on the reply
// pipe, a resumed copy takes over the session (the client's connection is shared by every
// copy and read only by the live one) while the process that asked ends.
//
// Checkpoints come every kInterval cycles and at every stop, so that a step back replays at most
// one interval and usually much less.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace peltosim::debug {

class Timeline {
public:
    // About 0.1 s of simulation at the core's speed with an extension loaded.
    static constexpr uint64_t kInterval = 4'000'000;
    // Beyond this many checkpoints (processes), the one closest to its predecessor is ended, so
    // that a long session thins out its past instead of filling the machine.
    static constexpr std::size_t kMaxPoints = 64;

    Timeline() = default;
    Timeline(const Timeline&) = delete;
    Timeline& operator=(const Timeline&) = delete;
    // Ends the checkpoints this process knows.
    ~Timeline();

    // False where processes cannot be copied; then nothing is recorded and going back fails.
    bool Start();
    bool enabled() const { return reply_read_ >= 0; }
    uint64_t NextDue(uint64_t now) const { return (now / kInterval + 1) * kInterval; }
    // A checkpoint of this process at `cycle`. In this process: nothing. In a copy made from it
    // later: the command that the copy is for ({"op": "scout"|"resume", ...}).
    std::optional<nlohmann::json> Take(uint64_t cycle);
    // Checkpoints strictly before `cycle`... or at it when `inclusive`, newest first: their indices.
    std::vector<std::size_t> Before(uint64_t cycle, bool inclusive) const;
    uint64_t CycleOf(std::size_t index) const { return points_[index].cycle; }
    std::size_t size() const { return points_.size(); }
    // A scout from checkpoint `index` with `command`; its reply.
    std::optional<nlohmann::json> Scout(std::size_t index, nlohmann::json command);
    // A scout's answer, then the scout ends.
    [[noreturn]] void Reply(const nlohmann::json& answer);
    // Hands the session to a copy of checkpoint `index`; checkpoints after it end, and so
    // does this process.
    [[noreturn]] void ResumeFrom(std::size_t index, nlohmann::json command);
    // The live process forgets checkpoints after `cycle` (a write changed what follows).
    void DropAfter(uint64_t cycle);

private:
    struct Point {
        uint64_t cycle;
        pid_t pid;
        int command_write;  // this process's end of the checkpoint's command pipe
    };
    bool Send(const Point& p, const nlohmann::json& command);
    // A checkpoint's life: copies made on command; returns only in a copy, with its command.
    nlohmann::json Wait(int command_read);
    void EndPoint(const Point& p);
    void Thin();

    std::vector<Point> points_;
    int reply_read_ = -1;
    int reply_write_ = -1;
};

}  // namespace peltosim::debug
