#include "sim/peltosim/base/output_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#define PELTO_GETPID _getpid
#else
#include <unistd.h>
#define PELTO_GETPID getpid
#endif

namespace peltosim {
namespace {

// Replaces `to` with `from`; MoveFileEx because rename() on Windows refuses an existing target.
bool ReplaceFile(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

OutputFile::~OutputFile() {
    if (file_) std::fclose(file_);
    if (!temporary_.empty()) std::remove(temporary_.c_str());
}

std::string OutputFile::Describe(int error_number) const {
    return "cannot write '" + path_ + "': " + std::strerror(error_number);
}

bool OutputFile::Open(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    path_ = path;
    std::error_code ec;
    const auto status = fs::status(path, ec);
    const bool direct = !ec && fs::exists(status) && !fs::is_regular_file(status);
    if (!ec && fs::is_directory(status)) {
        error = "cannot write '" + path + "': is a directory";
        return false;
    }
    if (!direct) temporary_ = path + ".part-" + std::to_string(PELTO_GETPID());
    file_ = std::fopen(direct ? path.c_str() : temporary_.c_str(), "wb");
    if (!file_) {
        error = Describe(errno);
        temporary_.clear();
        return false;
    }
    return true;
}

bool OutputFile::OpenStreamed(const std::string& path, std::string& error) {
    path_ = path;
    if (std::filesystem::is_directory(path)) {
        error = "cannot write '" + path + "': is a directory";
        return false;
    }
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_ || std::setvbuf(file_, nullptr, _IONBF, 0) != 0) {
        error = Describe(errno);
        return false;
    }
    return true;
}

bool OutputFile::Commit(std::string& error) {
    if (!file_) {
        error = "cannot write '" + path_ + "': not open";
        return false;
    }
    errno = 0;
    const bool written = std::fflush(file_) == 0 && !std::ferror(file_);
    const int write_errno = errno;
    const bool closed = std::fclose(file_) == 0;
    const int close_errno = errno;
    file_ = nullptr;
    if (!written || !closed) {
        error = Describe(!written ? (write_errno ? write_errno : EIO) : (close_errno ? close_errno : EIO));
        return false;
    }
    if (!temporary_.empty()) {
        if (!ReplaceFile(temporary_, path_)) {
            error = "cannot replace '" + path_ + "' with the finished '" + temporary_ + "': " + std::strerror(errno);
            return false;
        }
        temporary_.clear();
    }
    return true;
}

std::string WriteError(const std::string& name) {
    return "cannot write " + name + ": " + std::strerror(errno ? errno : EIO);
}

bool FinishStandardOutput(std::string& error) {
    errno = 0;
    std::cout.flush();
    bool ok = std::cout.good() && std::fflush(stdout) == 0 && !std::ferror(stdout);
    // Closed here so that a close error (a full disk behind a redirection) is seen too.
    ok = std::fclose(stdout) == 0 && ok;
    if (!ok) error = WriteError("standard output");
    return ok;
}

}  // namespace peltosim
