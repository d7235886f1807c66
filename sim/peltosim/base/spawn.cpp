#include "sim/peltosim/base/spawn.h"

#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
extern char** environ;
#endif

namespace peltosim {

unsigned CoreCount() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

#ifdef _WIN32

namespace {

constexpr DWORD kFirstExceptionCode = 0xC0000000;  // NTSTATUS error codes
constexpr UINT kKilledExitCode = 1;

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
        bool killed = false;
    };
    std::vector<Child> children;
    // Every child is in this job, which ends them all when its last handle closes: when the
    // sweep ends, however it ends (killed too), no cut run outlives it.
    HANDLE job = nullptr;

    Impl() {
        job = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (job != nullptr && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            CloseHandle(job);
            job = nullptr;
        }
    }
    ~Impl() {
        if (job != nullptr) CloseHandle(job);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // The result of child i, which has ended; it is no longer ours.
    ChildResult Reap(std::size_t i);
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
    // Suspended until it is in the job: it runs no instruction outside it.
    const BOOL ok =
        CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &info);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (!ok) {
        CloseHandle(out);
        CloseHandle(err);
        error = "cannot start '" + program + "' (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (impl_->job == nullptr || !AssignProcessToJobObject(impl_->job, info.hProcess)) {
        error = "cannot tie the cut run to the sweep (job object: error " + std::to_string(GetLastError()) + ")";
        TerminateProcess(info.hProcess, kKilledExitCode);
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        CloseHandle(out);
        CloseHandle(err);
        return false;
    }
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    impl_->children.push_back({tag, info.hProcess, out, err});
    return true;
}

ChildResult Children::Impl::Reap(std::size_t i) {
    const Child child = children[i];
    children.erase(children.begin() + static_cast<std::ptrdiff_t>(i));
    WaitForSingleObject(child.process, INFINITE);
    DWORD code = 0;
    int status = GetExitCodeProcess(child.process, &code) ? static_cast<int>(code) : kChildCrashed;
    std::string crash;
    // An unhandled exception ends a process with its code (0xC0000005 and the like).
    if (code >= kFirstExceptionCode) {
        char text[sizeof "exception 0x00000000"];
        std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(code));
        crash = text;
        status = kChildCrashed;
    }
    if (child.killed) {
        crash = "killed";
        status = kChildCrashed;
    }
    ChildResult result{child.tag, status, ReadBack(child.out), ReadBack(child.err), crash, child.killed};
    CloseHandle(child.process);
    CloseHandle(child.out);
    CloseHandle(child.err);
    return result;
}

std::optional<ChildResult> Children::WaitAnyUnless(const std::function<bool()>& stop) {
    while (!impl_->children.empty()) {
        std::vector<HANDLE> handles;
        for (const auto& c : impl_->children) handles.push_back(c.process);
        const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, kStopCheckMs);
        if (which >= WAIT_OBJECT_0 && which - WAIT_OBJECT_0 < handles.size()) return impl_->Reap(which - WAIT_OBJECT_0);
        if (which == WAIT_FAILED) return impl_->Reap(0);
        if (stop()) break;
    }
    return std::nullopt;
}

Children::ForkResult Children::Fork(std::size_t, std::string& error) {
    error = "this system cannot fork: cut runs are started afresh";
    return kForkFailed;
}

std::vector<ChildResult> Children::KillAll() {
    for (auto& c : impl_->children)
        if (WaitForSingleObject(c.process, 0) == WAIT_TIMEOUT) c.killed = TerminateProcess(c.process, kKilledExitCode) != 0;
    std::vector<ChildResult> results;
    while (running() > 0) results.push_back(impl_->Reap(0));
    return results;
}

#else

namespace {

// The exit status of a child whose exec failed (it reports why through a pipe).
constexpr int kExecFailed = 127;

int TempFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/pelto-sim-cut-XXXXXX";
    // Not inherited by the cut runs: each gets only its own, as its standard output and error.
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) unlink(path.c_str());  // gone once closed
    return fd;
}

// A cut run's standard output and error; both or neither.
bool OutputFiles(int& out, int& err, std::string& error) {
    out = TempFile();
    err = TempFile();
    if (out >= 0 && err >= 0) return true;
    error = std::string("cannot create a temporary file for a cut run: ") + std::strerror(errno);
    if (out >= 0) close(out);
    if (err >= 0) close(err);
    return false;
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
        int pidfd;  // readable once the child has ended; -1 where the kernel has none (then polled)
    };
    std::vector<Child> children;

    void Add(std::size_t tag, pid_t pid, int out, int err) {
        children.push_back({tag, pid, out, err, static_cast<int>(syscall(SYS_pidfd_open, pid, 0))});
    }
    // The result of child i if it has ended (waiting for it when `block`); it is then no longer ours.
    std::optional<ChildResult> Reap(std::size_t i, bool block);
};

std::optional<ChildResult> Children::Impl::Reap(std::size_t i, bool block) {
    const Child child = children[i];
    int wstatus = 0;
    pid_t got;
    do got = waitpid(child.pid, &wstatus, block ? 0 : WNOHANG);
    while (got < 0 && errno == EINTR);
    if (got == 0) return std::nullopt;
    children.erase(children.begin() + static_cast<std::ptrdiff_t>(i));
    if (child.pidfd >= 0) close(child.pidfd);
    ChildResult result{child.tag, kChildCrashed, {}, {}, {}};
    if (got < 0) {
        result.err = "lost track of the cut run";
        result.crash = "lost";
    } else {
        result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : kChildCrashed;
        if (WIFSIGNALED(wstatus)) {
            const char* abbreviation = sigabbrev_np(WTERMSIG(wstatus));
            result.crash = abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(WTERMSIG(wstatus));
            result.killed = WTERMSIG(wstatus) == SIGKILL;
        }
        result.out = ReadBack(child.out);
        result.err = ReadBack(child.err);
    }
    close(child.out);
    close(child.err);
    return result;
}

std::size_t Children::MaxRunning() { return ~std::size_t{0}; }

std::string SelfPath() {
    std::string path(PATH_MAX, '\0');
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    return n > 0 ? path.substr(0, static_cast<std::size_t>(n)) : std::string();
}

bool Children::Start(std::size_t tag, const std::string& program, const std::vector<std::string>& args, std::string& error) {
    int out = -1;
    int err = -1;
    if (!OutputFiles(out, err, error)) return false;
    std::vector<char*> argv;
    std::string name = program;
    argv.push_back(name.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    // The child reports a failed exec through this pipe (closed by a successful one).
    int report[2];
    if (in < 0 || pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("cannot start a cut run: ") + std::strerror(errno);
        if (in >= 0) close(in);
        close(out);
        close(err);
        return false;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only what is safe between fork and exec: no cut run outlives the sweep.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(kExecFailed);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(program.c_str(), argv.data(), environ);
        const int why = errno;
        (void)!write(report[1], &why, sizeof why);
        _exit(kExecFailed);
    }
    close(in);
    close(report[1]);
    int why = 0;
    const bool exec_failed = pid > 0 && read(report[0], &why, sizeof why) == static_cast<ssize_t>(sizeof why);
    close(report[0]);
    if (pid < 0 || exec_failed) {
        if (exec_failed) waitpid(pid, nullptr, 0);
        close(out);
        close(err);
        error = "cannot start '" + program + "': " + std::strerror(pid < 0 ? errno : why);
        return false;
    }
    impl_->Add(tag, pid, out, err);
    return true;
}

Children::ForkResult Children::Fork(std::size_t tag, std::string& error) {
    int out = -1;
    int err = -1;
    if (!OutputFiles(out, err, error)) return kForkFailed;
    std::fflush(nullptr);  // nothing buffered before the fork is written twice
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("cannot fork a cut run: ") + std::strerror(errno);
        close(out);
        close(err);
        return kForkFailed;
    }
    if (pid > 0) {
        impl_->Add(tag, pid, out, err);
        return kForkedParent;
    }
    // The child: it does not outlive the sweep, and its siblings are not its own.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const auto& c : impl_->children) {
        close(c.out);
        close(c.err);
        if (c.pidfd >= 0) close(c.pidfd);
    }
    impl_->children.clear();
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in >= 0) {
        dup2(in, 0);
        close(in);
    }
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    return kForkedChild;
}

std::vector<ChildResult> Children::KillAll() {
    for (const auto& c : impl_->children) kill(c.pid, SIGKILL);
    std::vector<ChildResult> results;
    while (running() > 0) results.push_back(*impl_->Reap(0, true));
    return results;
}

std::optional<ChildResult> Children::WaitAnyUnless(const std::function<bool()>& stop) {
    while (!impl_->children.empty()) {
        for (std::size_t i = 0; i < impl_->children.size(); ++i)
            if (auto result = impl_->Reap(i, false)) return result;
        if (stop()) break;
        // Wakes when a child ends, or on a signal (poll is never restarted), or after a while.
        std::vector<pollfd> ends;
        for (const auto& c : impl_->children)
            if (c.pidfd >= 0) ends.push_back({c.pidfd, POLLIN, 0});
        poll(ends.data(), ends.size(), kStopCheckMs);
    }
    return std::nullopt;
}

#endif

ChildResult Children::WaitAny() {
    if (auto result = WaitAnyUnless([] { return false; })) return std::move(*result);
    return {0, kChildCrashed, {}, "no cut run to wait for", "lost"};
}

Children::Children() : impl_(std::make_unique<Impl>()) {}
Children::~Children() {
    while (running() > 0) WaitAny();
}
std::size_t Children::running() const { return impl_->children.size(); }

}  // namespace peltosim
