#include "report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "flash/regmap.h"

namespace peltosim {
namespace {

constexpr int kTimerSignal = -1;
constexpr int kBitsPerRegister = 8;

std::optional<int> FlashRegisterIndex(uint32_t id) {
    for (std::size_t i = 0; i < flash::kRegisters.size(); ++i)
        if (flash::kRegisters[i].id == id) return static_cast<int>(i);
    return std::nullopt;
}

std::string Hex(uint32_t value, int digits) {
    std::ostringstream s;
    s << "0x" << std::uppercase << std::hex << std::setw(digits) << std::setfill('0') << value;
    return s.str();
}

std::string RegisterName(uint32_t id) {
    if (const auto i = FlashRegisterIndex(id)) return std::string(flash::kRegisters[*i].name);
    return Hex(id, 8);
}

std::vector<uint8_t> DumpBytes(const SimHost& host, const Dump& d) {
    const sim8051::Cpu& cpu = host.cpu();
    std::span<const uint8_t> memory = d.space == Space::kCode ? std::span<const uint8_t>(cpu.Code())
                                      : d.space == Space::kXdata ? std::span<const uint8_t>(cpu.Xram())
                                                                 : std::span<const uint8_t>(cpu.Iram());
    const auto bytes = memory.subspan(d.address, d.length);
    return {bytes.begin(), bytes.end()};
}

uint32_t RegisterValue(const SimHost& host, const std::string& text) {
    const auto v = host.sfrs().Read(*ParseRegister(text));
    return v ? v->current : 0;
}

std::string RamFillText(const Options& o) {
    return o.ram_fill_random ? "random:" + std::to_string(o.ram_fill_seed) : Hex(o.ram_fill_byte, 2);
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string s = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (u < 0x20 || u >= 0x7F) {
            // Bytes outside printable ASCII as \u00XX: the text stays valid JSON whatever was sent.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            s += buf;
        } else {
            s += c;
        }
    }
    return s + '"';
}

const char* RunEndName(RunEnd end) {
    switch (end) {
    case RunEnd::kHalted: return "halted";
    case RunEnd::kBreakpoint: return "breakpoint";
    case RunEnd::kCycleLimit: return "cycle-limit";
    case RunEnd::kStopped: return "stopped";
    case RunEnd::kPowerDown: return "power-down";
    }
    return "unknown";
}

Recorder::Recorder(bool trace, bool keep) : trace_(trace), keep_(keep) {}

void Recorder::RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) {
    const auto index = FlashRegisterIndex(id);
    if (!index) return;
    if (trace_)
        std::fprintf(stderr, "trace: cycle %llu: %s <- %s (%s)\n", static_cast<unsigned long long>(cycle),
                     RegisterName(id).c_str(), Hex(value, 2).c_str(), by_program ? "program" : "extension");
    if (keep_) events_.push_back({cycle, *index, value});
}

void Recorder::TimerArmed(uint64_t cycle, uint32_t timer, std::optional<uint64_t> due) {
    if (trace_) {
        if (due)
            std::fprintf(stderr, "trace: cycle %llu: timer %u set for cycle %llu\n", static_cast<unsigned long long>(cycle),
                         timer, static_cast<unsigned long long>(*due));
        else
            std::fprintf(stderr, "trace: cycle %llu: timer %u cancelled\n", static_cast<unsigned long long>(cycle), timer);
    }
    if (keep_) events_.push_back({cycle, kTimerSignal, due ? 1u : 0u});
}

void Recorder::TimerExpired(uint64_t cycle, uint32_t timer) {
    if (trace_) std::fprintf(stderr, "trace: cycle %llu: timer %u expired\n", static_cast<unsigned long long>(cycle), timer);
    if (keep_) events_.push_back({cycle, kTimerSignal, 0});
}

bool Recorder::WriteVcd(const std::string& path, uint64_t end_cycle, uint32_t clock_hz, std::string& error) const {
    std::ofstream out(path);
    if (!out) {
        error = "cannot write '" + path + "'";
        return false;
    }
    // One time unit is one machine cycle.
    const double cycle_ns = 1e9 * kClocksPerCycle / clock_hz;
    out << "$comment pelto-sim flash registers; one time unit is one machine cycle (" << cycle_ns
        << " ns at " << clock_hz << " Hz) $end\n";
    out << "$timescale 1 ns $end\n$scope module flash $end\n";
    auto code = [](int signal) {
        const int n = signal + 1;  // 0 is the timer
        std::string s;
        s += static_cast<char>('!' + n % 90);
        if (n >= 90) s += static_cast<char>('!' + n / 90);
        return s;
    };
    for (std::size_t i = 0; i < flash::kRegisters.size(); ++i)
        out << "$var wire " << kBitsPerRegister << ' ' << code(static_cast<int>(i)) << ' ' << flash::kRegisters[i].name << " $end\n";
    out << "$var wire 1 " << code(kTimerSignal) << " flash_timer_armed $end\n";
    out << "$upscope $end\n$enddefinitions $end\n";
    auto events = events_;
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.cycle < b.cycle; });
    auto value = [&](const Event& e) {
        if (e.signal == kTimerSignal) return std::to_string(e.value) + code(kTimerSignal);
        std::string bits = "b";
        for (int b = kBitsPerRegister - 1; b >= 0; --b) bits += (e.value >> b & 1) ? '1' : '0';
        return bits + ' ' + code(e.signal);
    };
    out << "#0\n$dumpvars\n";
    for (std::size_t i = 0; i < flash::kRegisters.size(); ++i) out << "bxxxxxxxx " << code(static_cast<int>(i)) << '\n';
    out << "0" << code(kTimerSignal) << "\n$end\n";
    std::optional<uint64_t> time;
    for (const auto& e : events) {
        if (time != e.cycle) {
            out << '#' << e.cycle << '\n';
            time = e.cycle;
        }
        out << value(e) << '\n';
    }
    if (!time || *time < end_cycle) out << '#' << end_cycle << '\n';
    if (!out) {
        error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

void WriteJson(std::ostream& out, const SimHost& host, const Options& options, RunEnd end, const std::string& more) {
    const sim8051::Cpu& cpu = host.cpu();
    out << "{\"end\":\"" << RunEndName(end) << "\",\"cycles\":" << cpu.Cycles() << ",\"instructions\":" << cpu.Instructions()
        << ",\"pc\":" << cpu.Pc() << ",\"a\":" << int(cpu.Acc()) << ",\"b\":" << int(cpu.B()) << ",\"psw\":" << int(cpu.Psw())
        << ",\"sp\":" << int(cpu.Sp()) << ",\"dptr\":" << cpu.Dptr();
    for (unsigned r = 0; r < 8; ++r) out << ",\"r" << r << "\":" << int(cpu.Reg(r));
    out << ",\"dumps\":{";
    for (std::size_t i = 0; i < options.dumps.size(); ++i) {
        out << (i ? "," : "") << '"' << options.dumps[i].text << "\":[";
        const auto bytes = DumpBytes(host, options.dumps[i]);
        for (std::size_t b = 0; b < bytes.size(); ++b) out << (b ? "," : "") << int(bytes[b]);
        out << ']';
    }
    out << "},\"sfr\":{";
    for (std::size_t i = 0; i < options.sfrs.size(); ++i)
        out << (i ? "," : "") << '"' << options.sfrs[i] << "\":" << RegisterValue(host, options.sfrs[i]);
    out << "},\"serial\":" << JsonString(host.serial_text()) << ",\"resets\":" << host.resets()
        << ",\"power_cuts\":" << host.power_cuts() << ",\"ram_fill\":" << JsonString(RamFillText(options)) << more << "}\n";
}

void WriteSummary(std::ostream& out, const SimHost& host, const Options& options, RunEnd end) {
    const sim8051::Cpu& cpu = host.cpu();
    out << "end " << RunEndName(end) << " at pc " << Hex(cpu.Pc(), 4) << " after " << cpu.Cycles() << " cycles ("
        << cpu.Instructions() << " instructions)\n";
    out << "a " << Hex(cpu.Acc(), 2) << "  b " << Hex(cpu.B(), 2) << "  psw " << Hex(cpu.Psw(), 2) << "  sp "
        << Hex(cpu.Sp(), 2) << "  dptr " << Hex(cpu.Dptr(), 4) << '\n';
    for (unsigned r = 0; r < 8; ++r) out << 'r' << r << ' ' << Hex(cpu.Reg(r), 2) << (r == 7 ? '\n' : ' ');
    for (const auto& d : options.dumps) {
        const auto bytes = DumpBytes(host, d);
        for (std::size_t i = 0; i < bytes.size(); i += 16) {
            out << d.text.substr(0, d.text.find(':')) << ' ' << Hex(static_cast<uint32_t>(d.address + i), 4) << ':';
            for (std::size_t b = i; b < std::min(bytes.size(), i + 16); ++b) out << ' ' << Hex(bytes[b], 2).substr(2);
            out << '\n';
        }
    }
    for (const auto& s : options.sfrs)
        out << s << ' ' << Hex(RegisterValue(host, s), 2) << '\n';
    if (host.resets() || host.power_cuts())
        out << "resets " << host.resets() << "  power cuts " << host.power_cuts() << " (RAM filled with "
            << RamFillText(options) << ")\n";
}

}  // namespace peltosim
