#include "sim/peltosim/base/spawn.h"

#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
extern char** environ;
#endif

namespace peltosim {

unsigned CoreCount() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

#ifdef _WIN32

namespace {

// One argument as the C runtime's command-line parser reads it back.
std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string s = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') s.append(backslashes * 2 + 1, '\\');
        else s.append(backslashes, '\\');
        backslashes = 0;
        s += c;
    }
    s.append(backslashes * 2, '\\');
    return s + '"';
}

HANDLE TempFile() {
    char dir[MAX_PATH];
    char path[MAX_PATH];
    if (GetTempPathA(MAX_PATH, dir) == 0 || GetTempFileNameA(dir, "pcs", 0, path) == 0) return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

std::string ReadBack(HANDLE file) {
    std::string text;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0) text.append(buf, got);
    return text;
}

}  // namespace

struct Children::Impl {
    struct Child {
        std::size_t tag;
        HANDLE process;
        HANDLE out;
        HANDLE err;
    };
    std::vector<Child> children;
};

std::size_t Children::MaxRunning() { return MAXIMUM_WAIT_OBJECTS; }

std::string SelfPath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) return path.substr(0, n);
        path.resize(path.size() * 2);
    }
}

bool Children::Start(std::size_t tag, const std::string& program, const std::vector<std::string>& args, std::string& error) {
    std::string line = Quote(program);
    for (const auto& a : args) line += ' ' + Quote(a);
    const HANDLE out = TempFile();
    const HANDLE err = TempFile();
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
        error = "cannot create a temporary file for a cut run";
        return false;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    const BOOL ok = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (!ok) {
        CloseHandle(out);
        CloseHandle(err);
        error = "cannot start '" + program + "' (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    CloseHandle(info.hThread);
    impl_->children.push_back({tag, info.hProcess, out, err});
    return true;
}

ChildResult Children::WaitAny() {
    std::vector<HANDLE> handles;
    for (const auto& c : impl_->children) handles.push_back(c.process);
    const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
    std::size_t i = which - WAIT_OBJECT_0;
    if (i >= impl_->children.size()) i = 0;
    const Impl::Child child = impl_->children[i];
    impl_->children.erase(impl_->children.begin() + static_cast<std::ptrdiff_t>(i));
    WaitForSingleObject(child.process, INFINITE);
    DWORD code = 0;
    const int status = GetExitCodeProcess(child.process, &code) ? static_cast<int>(code) : kChildCrashed;
    ChildResult result{child.tag, status, ReadBack(child.out), ReadBack(child.err)};
    CloseHandle(child.process);
    CloseHandle(child.out);
    CloseHandle(child.err);
    return result;
}

#else

namespace {

int TempFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/pelto-sim-cut-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd >= 0) unlink(path.c_str());  // gone once closed
    return fd;
}

std::string ReadBack(int fd) {
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    for (;;) {
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0) break;
        text.append(buf, static_cast<std::size_t>(got));
    }
    return text;
}

}  // namespace

struct Children::Impl {
    struct Child {
        std::size_t tag;
        pid_t pid;
        int out;
        int err;
    };
    std::vector<Child> children;
};

std::size_t Children::MaxRunning() { return ~std::size_t{0}; }

std::string SelfPath() {
    std::string path(PATH_MAX, '\0');
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    return n > 0 ? path.substr(0, static_cast<std::size_t>(n)) : std::string();
}

bool Children::Start(std::size_t tag, const std::string& program, const std::vector<std::string>& args, std::string& error) {
    const int out = TempFile();
    const int err = TempFile();
    if (out < 0 || err < 0) {
        if (out >= 0) close(out);
        if (err >= 0) close(err);
        error = "cannot create a temporary file for a cut run";
        return false;
    }
    std::vector<char*> argv;
    std::string name = program;
    argv.push_back(name.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        close(out);
        close(err);
        error = "cannot start '" + program + "'";
        return false;
    }
    impl_->children.push_back({tag, pid, out, err});
    return true;
}

ChildResult Children::WaitAny() {
    int wstatus = 0;
    for (;;) {
        const pid_t pid = waitpid(-1, &wstatus, 0);
        if (pid < 0) break;
        for (std::size_t i = 0; i < impl_->children.size(); ++i) {
            if (impl_->children[i].pid != pid) continue;
            const Impl::Child child = impl_->children[i];
            impl_->children.erase(impl_->children.begin() + static_cast<std::ptrdiff_t>(i));
            const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : kChildCrashed;
            ChildResult result{child.tag, status, ReadBack(child.out), ReadBack(child.err)};
            close(child.out);
            close(child.err);
            return result;
        }
    }
    // No child left to wait for: report the first one as lost rather than wait forever.
    const Impl::Child child = impl_->children.front();
    impl_->children.erase(impl_->children.begin());
    close(child.out);
    close(child.err);
    return {child.tag, kChildCrashed, {}, "lost track of the cut run"};
}

#endif

Children::Children() : impl_(std::make_unique<Impl>()) {}
Children::~Children() {
    while (running() > 0) WaitAny();
}
std::size_t Children::running() const { return impl_->children.size(); }

}  // namespace peltosim
