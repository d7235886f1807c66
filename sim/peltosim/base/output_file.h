// An output file that is complete or absent: written under a temporary name beside the target
// and renamed over it only by Commit(), so that an interrupted or failed run leaves an earlier
// file as it was. A target that exists and is not a regular file (a device such as /dev/null,
// a pipe) is written directly. Every write and close error is kept and reported by Commit().
#pragma once

#include <cstdio>
#include <string>

namespace peltosim {

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // an uncommitted temporary file is removed

    // Creates the temporary file (or opens the device); false with a reason naming the target.
    bool Open(const std::string& path, std::string& error);
    // Writes the target itself, unbuffered: every byte is in the file as soon as it is written,
    // and a killed run loses none (the file is then as far as the run got).
    bool OpenStreamed(const std::string& path, std::string& error);
    std::FILE* stream() { return file_; }
    bool IsOpen() const { return file_ != nullptr; }
    // Flushes, closes and renames; false with the first write, close or rename error.
    bool Commit(std::string& error);

private:
    std::string Describe(int error_number) const;
    std::string path_;
    std::string temporary_;  // empty when writing to the target directly
    std::FILE* file_ = nullptr;
};

// "cannot write NAME: REASON" for a failed stream (errno as it stands).
std::string WriteError(const std::string& name);

// Flushes and closes standard output (nothing may be written to it afterwards); false with the reason when anything written to it was lost.
bool FinishStandardOutput(std::string& error);

}  // namespace peltosim
