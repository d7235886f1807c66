// Child processes of pelto-sim itself, for the power-loss sweep: each cut runs in a fresh
// process, since an extension keeps its state in globals.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace peltosim {

struct ChildResult {
    std::size_t tag;
    int status;  // the exit status; kChildCrashed when the child did not exit normally
    std::string out;
    std::string err;
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
    // Waits until one of the running children ends.
    ChildResult WaitAny();
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
