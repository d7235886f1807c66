#include "adapter.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "sim/peltosim/run/exit_codes.h"
#include "sim/peltosim/run/options.h"

#ifdef _WIN32
namespace peltosim::debug {
int RunAdapter(const std::vector<std::string>&) {
    std::cerr << "pelto-sim: error: --dap is not available in the Windows build\n";
    return kExitBadInput;
}
}  // namespace peltosim::debug
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "session.h"
#include "transport.h"

namespace peltosim::debug {
namespace {

constexpr uint64_t kMaxPort = 65535;

int Fail(const std::string& message) {
    std::cerr << "pelto-sim: error: " << message << '\n';
    return kExitBadInput;
}

// Accepts one connection on 127.0.0.1:port; -1 with a message on failure.
int AcceptOne(uint16_t port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) return -1;
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0) {
        ::close(listener);
        return -1;
    }
    std::cerr << "pelto-sim: debug adapter listening on 127.0.0.1:" << port << '\n';
    const int connection = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    return connection;
}

}  // namespace

int RunAdapter(const std::vector<std::string>& args) {
    std::optional<uint16_t> port;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--dap") continue;
        if (args[i] == "--dap-port" && i + 1 < args.size()) {
            const auto n = ParseNumber(args[++i], kMaxPort);
            if (!n || *n == 0) return Fail("--dap-port: not a port number: '" + args[i] + "'");
            port = static_cast<uint16_t>(*n);
            continue;
        }
        return Fail("with --dap, the program and its options come in the launch request, not '" + args[i] + "'");
    }
    int in = STDIN_FILENO;
    int out = STDOUT_FILENO;
    if (port) {
        in = out = AcceptOne(*port);
        if (in < 0) return Fail("--dap-port " + std::to_string(*port) + ": cannot accept a connection");
    }
    // The session runs in a child: going back in time replaces the process that serves it (see
    // timeline.h), while this one stays, as the client's adapter, until every copy has ended.
    int alive[2];
    if (::pipe(alive) != 0) return Fail("cannot create a pipe");
    const pid_t session = ::fork();
    if (session < 0) return Fail("cannot start the session");
    if (session == 0) {
        ::close(alive[0]);
        Transport transport(in, out);
        Session s(transport);
        const int status = s.Serve();
        std::fflush(nullptr);
        return status;
    }
    ::close(alive[1]);
    if (port) ::close(in);
    char byte = 0;
    while (::read(alive[0], &byte, 1) > 0) {
    }
    return 0;
}

}  // namespace peltosim::debug
#endif

namespace peltosim::debug {
bool WantsAdapter(const std::vector<std::string>& args) { return std::find(args.begin(), args.end(), "--dap") != args.end(); }
}  // namespace peltosim::debug
