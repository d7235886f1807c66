// Child processes of pelto-sim itself, for the power-loss sweep: each cut runs in a fresh
// process, since an extension keeps its state in globals.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace peltosim {

struct ChildResult {
    std::size_t tag = 0;
    int status = 0;  // the exit status; kChildCrashed when the child did not exit normally
    std::string out;
    std::string err;
    std::string crash;  // how a crashed child ended: "SIGSEGV", "exception 0xC0000005"
    bool killed = false;  // ended by KillAll (or killed from outside): no result of its own
};
inline constexpr int kChildCrashed = -1;

class Children {
public:
    Children();
    ~Children();
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;

    // Starts `program` with `args`; its standard output and error are kept for the result.
    bool Start(std::size_t tag, const std::string& program, const std::vector<std::string>& args, std::string& error);
    std::size_t running() const;
    // Ends every running child at once and waits for them: a child that had ended by itself
    // keeps its result, the others are marked killed.
    std::vector<ChildResult> KillAll();
    // Forks this process (where the system can): returns kForkedChild in the child, whose
    // standard output and error then go to the files kept for the result (input from the null
    // device), kForkedParent in the parent, and kForkFailed with `error` set.
    enum ForkResult { kForkFailed, kForkedParent, kForkedChild };
    ForkResult Fork(std::size_t tag, std::string& error);
    static constexpr bool kCanFork =
#ifdef _WIN32
        false;
#else
        true;
#endif
    // Waits until one of the running children ends.
    ChildResult WaitAny();
    // The same, unless `stop` turns true first (asked again at least every kStopCheckMs, and
    // at once when a signal arrives): then nothing.
    std::optional<ChildResult> WaitAnyUnless(const std::function<bool()>& stop);
    static constexpr int kStopCheckMs = 50;
    // How many children may run at once on this system.
    static std::size_t MaxRunning();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The path of the running executable.
std::string SelfPath();
unsigned CoreCount();

}  // namespace peltosim
