#include "arith_runner.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace rom_test {
namespace {

constexpr std::size_t kHexLine = 16;
constexpr std::size_t kResultSize = 16;
constexpr int kSimulatorSeconds = 300;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool IsHex(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
}

// Values of the labels and equates of an sdas symbol file: a name, an optional "=", then six
// hexadecimal digits.
std::map<std::string, uint16_t> ReadSymbols(const std::string& path) {
    constexpr std::size_t kValueDigits = 6;
    std::map<std::string, uint16_t> symbols;
    std::istringstream in(ReadFile(path));
    for (std::string text; std::getline(in, text);) {
        std::istringstream words(text);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        for (std::size_t i = 0; i + 1 < w.size(); ++i) {
            std::size_t value = i + 1;
            if (w[value] == "=" && value + 1 < w.size()) ++value;
            if (w[value].size() == kValueDigits && IsHex(w[value]) && !IsHex(w[i])) {
                symbols[w[i]] = static_cast<uint16_t>(std::stoul(w[value], nullptr, 16));
                break;
            }
        }
    }
    return symbols;
}

uint16_t Symbol(const std::map<std::string, uint16_t>& symbols, const std::string& name) {
    const auto it = symbols.find(name);
    if (it == symbols.end()) throw std::runtime_error("driver symbol " + name + " not found");
    return it->second;
}

std::string IntelHex(const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& blocks) {
    std::ostringstream out;
    char hex[4];
    for (const auto& [base, data] : blocks) {
        for (std::size_t offset = 0; offset < data.size(); offset += kHexLine) {
            const std::size_t count = std::min(kHexLine, data.size() - offset);
            const unsigned address = base + static_cast<unsigned>(offset);
            std::vector<uint8_t> record{static_cast<uint8_t>(count), static_cast<uint8_t>(address >> 8),
                                        static_cast<uint8_t>(address), 0};
            record.insert(record.end(), data.begin() + static_cast<long>(offset),
                          data.begin() + static_cast<long>(offset + count));
            unsigned sum = 0;
            for (uint8_t b : record) sum += b;
            record.push_back(static_cast<uint8_t>(-sum));
            out << ':';
            for (uint8_t b : record) {
                std::snprintf(hex, sizeof hex, "%02X", b);
                out << hex;
            }
            out << '\n';
        }
    }
    out << ":00000001FF\n";
    return out.str();
}

// Data records of Intel HEX text, from every line that starts with ':', into `memory`.
void ParseIntelHex(const std::string& text, std::vector<uint8_t>& memory) {
    constexpr std::size_t kRecordHeader = 9;  // ':', count, address, type
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.size() < kRecordHeader || line[0] != ':' || !IsHex(line.substr(1))) continue;
        const auto byte = [&line](std::size_t index) {
            return static_cast<uint8_t>(std::stoul(line.substr(1 + 2 * index, 2), nullptr, 16));
        };
        const std::size_t count = byte(0);
        const std::size_t address = std::size_t{byte(1)} << 8 | byte(2);
        if (byte(3) != 0 || line.size() < kRecordHeader + 2 * count) continue;
        for (std::size_t i = 0; i < count; ++i)
            if (address + i < memory.size()) memory[address + i] = byte(4 + i);
    }
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "rom_arith_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

void RunCommand(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

uint32_t Be32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

std::array<uint8_t, 4> Be32Bytes(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

uint32_t Returned::High() const { return Be32(r4_r7.data()); }
uint32_t Returned::Low() const { return Be32(r0_r3.data()); }

ArithRunner::ArithRunner(std::string driver_ihx, std::string driver_sym, std::string rom_ihx, std::string s51)
    : driver_ihx_(std::move(driver_ihx)), rom_ihx_(std::move(rom_ihx)), s51_(std::move(s51)) {
    if (const char* sim = std::getenv("PELTO_ARITH_SIM")) pelto_sim_ = sim;
    const auto symbols = ReadSymbols(driver_sym);
    header_ = Symbol(symbols, "HEADER");
    records_ = Symbol(symbols, "RECORDS");
    done_ = Symbol(symbols, "done");
}

std::vector<Returned> ArithRunner::Run(uint16_t entry, const std::vector<Operands>& batch) const {
    if (batch.size() > kMaxBatch) throw std::runtime_error("batch too large");
    const std::vector<uint8_t> header{static_cast<uint8_t>(entry >> 8), static_cast<uint8_t>(entry),
                                      static_cast<uint8_t>(batch.size() >> 8), static_cast<uint8_t>(batch.size())};
    std::vector<uint8_t> records;
    for (const auto& op : batch) records.insert(records.end(), op.bytes.begin(), op.bytes.end());

    TempDir dir;
    const std::string batch_ihx = dir.File("batch.ihx");
    WriteFile(batch_ihx, IntelHex({{header_, header}, {records_, records}}));
    const std::size_t result_bytes = batch.size() * kResultSize;
    const auto memory = pelto_sim_.empty() ? RunS51(batch_ihx, result_bytes) : RunPeltoSim(batch_ihx, result_bytes);

    std::vector<Returned> results(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const uint8_t* r = memory.data() + i * kResultSize;
        auto& out = results[i];
        std::copy(r, r + 4, out.r4_r7.begin());
        std::copy(r + 4, r + 8, out.r0_r3.begin());
        out.a = r[8];
        out.psw = r[9];
        out.b = r[10];
        out.dptr = static_cast<uint16_t>(r[11] << 8 | r[12]);
        out.sp = r[13];
    }
    return results;
}

std::vector<uint8_t> ArithRunner::RunS51(const std::string& batch_ihx, std::size_t result_bytes) const {
    const std::string dir = std::filesystem::path(batch_ihx).parent_path().string();
    const std::string commands = dir + "/commands.txt";
    const std::string output = dir + "/s51.txt";
    std::ostringstream text;
    text << "file \"" << driver_ihx_ << "\"\n"
         << "file \"" << rom_ihx_ << "\"\n"
         << "file \"" << batch_ihx << "\"\n"
         << "break 0x" << std::hex << done_ << "\n"
         << "run\n"
         << "dump /i xram 0 0x" << (result_bytes - 1) << "\n"
         << "quit\n";
    WriteFile(commands, text.str());
    RunCommand("timeout " + std::to_string(kSimulatorSeconds) + " " + Quoted(s51_) + " -t 8052 -b -C " +
               Quoted(commands) + " </dev/null >" + Quoted(output) + " 2>&1");
    // The dump follows the dump command's echo; Intel HEX records before it are not results.
    const std::string all = ReadFile(output);
    const auto at = all.find("dump /i");
    if (at == std::string::npos) throw std::runtime_error("s51 printed no dump; see " + output);
    std::vector<uint8_t> memory(result_bytes, 0);
    ParseIntelHex(all.substr(at), memory);
    return memory;
}

std::vector<uint8_t> ArithRunner::RunPeltoSim(const std::string& batch_ihx, std::size_t result_bytes) const {
    const std::string output = std::filesystem::path(batch_ihx).parent_path().string() + "/result.json";
    const std::string dump = "xdata:0:" + std::to_string(result_bytes);
    RunCommand("timeout " + std::to_string(kSimulatorSeconds) + " " + Quoted(pelto_sim_) + " " + Quoted(driver_ihx_) +
               " " + Quoted(rom_ihx_) + " " + Quoted(batch_ihx) + " --json --dump " + dump + " >" + Quoted(output));
    const std::string json = ReadFile(output);
    const auto key = json.find("\"" + dump + "\"");
    const auto open = json.find('[', key);
    if (key == std::string::npos || open == std::string::npos) throw std::runtime_error("no dump in " + output);
    std::vector<uint8_t> memory;
    std::istringstream values(json.substr(open + 1));
    for (int v; memory.size() < result_bytes && values >> v;) {
        memory.push_back(static_cast<uint8_t>(v));
        values.ignore(1);
    }
    if (memory.size() != result_bytes) throw std::runtime_error("short dump in " + output);
    return memory;
}

}  // namespace rom_test
