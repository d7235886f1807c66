#include "timeline.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace peltosim::debug {
namespace {

// One command or reply a line of JSON.
bool WriteLine(int fd, const std::string& text) {
    const std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const auto n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> ReadLine(int fd) {
    std::string line;
    char c = 0;
    for (;;) {
        const auto n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        if (c == '\n') return line;
        line.push_back(c);
    }
}

}  // namespace

Timeline::~Timeline() {
    for (const auto& p : points_) EndPoint(p);
}

bool Timeline::Start() {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    reply_read_ = fds[0];
    reply_write_ = fds[1];
    // Copies that end are reaped by the system; the session never waits for them.
    ::signal(SIGCHLD, SIG_IGN);
    return true;
}

void Timeline::EndPoint(const Point& p) {
    ::kill(p.pid, SIGKILL);
    ::close(p.command_write);
}

std::optional<nlohmann::json> Timeline::Take(uint64_t cycle) {
    if (!enabled() || (!points_.empty() && points_.back().cycle >= cycle)) return std::nullopt;
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        // The checkpoint keeps its command pipe's write end, for the copies it makes; a copy
        // returns from here with its command, at the checkpoint's cycle.
        points_.push_back({cycle, ::getpid(), fds[1]});
        return Wait(fds[0]);
    }
    ::close(fds[0]);
    points_.push_back({cycle, pid, fds[1]});
    Thin();
    return std::nullopt;
}

void Timeline::Thin() {
    // The first (the start) and the newest stay; of the others, the one nearest its predecessor.
    while (points_.size() > kMaxPoints) {
        std::size_t victim = 1;
        for (std::size_t i = 2; i + 1 < points_.size(); ++i)
            if (points_[i].cycle - points_[i - 1].cycle < points_[victim].cycle - points_[victim - 1].cycle) victim = i;
        EndPoint(points_[victim]);
        points_.erase(points_.begin() + static_cast<std::ptrdiff_t>(victim));
    }
}

nlohmann::json Timeline::Wait(int command_read) {
    for (;;) {
        const auto line = ReadLine(command_read);
        if (!line) ::_exit(0);
        auto command = nlohmann::json::parse(*line, nullptr, false);
        if (command.is_discarded()) continue;
        if (::fork() == 0) {
            ::close(command_read);
            return command;
        }
    }
}

std::vector<std::size_t> Timeline::Before(uint64_t cycle, bool inclusive) const {
    std::vector<std::size_t> indices;
    for (std::size_t i = points_.size(); i-- > 0;)
        if (points_[i].cycle < cycle || (inclusive && points_[i].cycle == cycle)) indices.push_back(i);
    return indices;
}

bool Timeline::Send(const Point& p, const nlohmann::json& command) { return WriteLine(p.command_write, command.dump()); }

std::optional<nlohmann::json> Timeline::Scout(std::size_t index, nlohmann::json command) {
    command["op"] = "scout";
    if (!Send(points_[index], command)) return std::nullopt;
    const auto line = ReadLine(reply_read_);
    if (!line) return std::nullopt;
    auto answer = nlohmann::json::parse(*line, nullptr, false);
    if (answer.is_discarded()) return std::nullopt;
    return answer;
}

void Timeline::Reply(const nlohmann::json& answer) {
    WriteLine(reply_write_, answer.dump());
    ::_exit(0);
}

void Timeline::ResumeFrom(std::size_t index, nlohmann::json command) {
    command["op"] = "resume";
    Send(points_[index], command);
    for (std::size_t i = index + 1; i < points_.size(); ++i) EndPoint(points_[i]);
    ::_exit(0);
}

void Timeline::DropAfter(uint64_t cycle) {
    while (!points_.empty() && points_.back().cycle > cycle) {
        EndPoint(points_.back());
        points_.pop_back();
    }
}

}  // namespace peltosim::debug
