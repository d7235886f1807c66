// The Debug Adapter Protocol's framing: "Content-Length: N\r\n\r\n" and N bytes of JSON, both
// ways, over a pair of file descriptors (standard input and output, or a TCP connection).
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace peltosim::debug {

class Transport {
public:
    Transport(int in_fd, int out_fd) : in_(in_fd), out_(out_fd) {}

    // The next message; nothing at the end of input. A frame that is not JSON or has no length
    // ends the input as well, with `error()` saying why.
    std::optional<nlohmann::json> Read();
    // Whether a whole message can be read without waiting.
    bool Ready();
    void Send(const nlohmann::json& message);
    const std::string& error() const { return error_; }
    // Bytes read but not yet taken as messages, for a process that carries the session on.
    const std::string& Buffered() const { return buffer_; }
    void SetBuffered(std::string bytes) { buffer_ = std::move(bytes); }

private:
    // A whole message from the buffer, when it holds one.
    std::optional<nlohmann::json> Take(bool& bad);
    bool Fill(bool wait);

    int in_;
    int out_;
    std::string buffer_;
    std::string error_;
    bool closed_ = false;
};

}  // namespace peltosim::debug
