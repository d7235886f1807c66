#include "transport.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>

namespace peltosim::debug {
namespace {

constexpr std::string_view kLengthHeader = "Content-Length:";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::size_t kChunk = 4096;

}  // namespace

std::optional<nlohmann::json> Transport::Take(bool& bad) {
    bad = false;
    const auto end = buffer_.find(kHeaderEnd);
    if (end == std::string::npos) return std::nullopt;
    const auto at = buffer_.find(kLengthHeader);
    if (at == std::string::npos || at > end) {
        error_ = "a message without Content-Length";
        bad = true;
        return std::nullopt;
    }
    auto digits = std::string_view(buffer_).substr(at + kLengthHeader.size(), end - at - kLengthHeader.size());
    while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
    const auto line_end = digits.find('\r');
    digits = digits.substr(0, line_end);
    std::size_t length = 0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
    if (ec != std::errc{} || ptr != digits.data() + digits.size()) {
        error_ = "a bad Content-Length";
        bad = true;
        return std::nullopt;
    }
    const auto body = end + kHeaderEnd.size();
    if (buffer_.size() < body + length) return std::nullopt;
    auto message = nlohmann::json::parse(buffer_.begin() + static_cast<std::ptrdiff_t>(body),
                                         buffer_.begin() + static_cast<std::ptrdiff_t>(body + length), nullptr, false);
    buffer_.erase(0, body + length);
    if (message.is_discarded() || !message.is_object()) {
        error_ = "a message that is not a JSON object";
        bad = true;
        return std::nullopt;
    }
    return message;
}

bool Transport::Fill(bool wait) {
    if (closed_) return false;
    pollfd p{in_, POLLIN, 0};
    if (!wait && (::poll(&p, 1, 0) <= 0 || (p.revents & (POLLIN | POLLHUP)) == 0)) return false;
    std::array<char, kChunk> chunk{};
    for (;;) {
        const auto n = ::read(in_, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.append(chunk.data(), static_cast<std::size_t>(n));
        return true;
    }
}

std::optional<nlohmann::json> Transport::Read() {
    for (;;) {
        bool bad = false;
        if (auto message = Take(bad)) return message;
        if (bad || !Fill(true)) return std::nullopt;
    }
}

bool Transport::Ready() {
    bool bad = false;
    // Peeking: a complete message stays in the buffer for Read().
    const auto end = buffer_.find(kHeaderEnd);
    if (end != std::string::npos) {
        const std::string saved = buffer_;
        const bool whole = Take(bad).has_value() || bad;
        buffer_ = saved;
        if (whole) return true;
    }
    while (Fill(false)) {
        const std::string saved = buffer_;
        const bool whole = Take(bad).has_value() || bad;
        buffer_ = saved;
        if (whole) return true;
    }
    return closed_;
}

void Transport::Send(const nlohmann::json& message) {
    const std::string body = message.dump();
    const std::string frame = std::string(kLengthHeader) + " " + std::to_string(body.size()) + std::string(kHeaderEnd) + body;
    std::size_t done = 0;
    while (done < frame.size()) {
        const auto n = ::write(out_, frame.data() + done, frame.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the client is gone; the next read ends the session
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace peltosim::debug
