#include "sim/peltosim/out/report.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "sim/peltosim/run/register_ref.h"

namespace peltosim {
namespace {

std::string Hex(uint32_t value, int digits) {
    std::ostringstream s;
    s << "0x" << std::uppercase << std::hex << std::setw(digits) << std::setfill('0') << value;
    return s.str();
}

std::vector<uint8_t> DumpBytes(const SimHost& host, const Dump& d) {
    const sim8051::Cpu& cpu = host.cpu();
    std::span<const uint8_t> memory = d.space == Space::kCode ? std::span<const uint8_t>(cpu.Code())
                                      : d.space == Space::kXdata ? std::span<const uint8_t>(cpu.Xram())
                                                                 : std::span<const uint8_t>(cpu.Iram());
    const auto bytes = memory.subspan(d.address, d.length);
    return {bytes.begin(), bytes.end()};
}

// As the program would read it now (direct), or the register model's value (identifier).
uint8_t ReadRegister(const SimHost& host, const RegisterRef& ref) {
    if (ref.kind == RegisterRef::Kind::kDirect) return host.sfrs().ProgramRead(static_cast<uint8_t>(ref.value));
    const auto v = host.sfrs().Read(ref.value);
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
    case RunEnd::kInterrupted: return "interrupted";
    }
    return "unknown";
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
        out << (i ? "," : "") << '"' << options.sfrs[i].text << "\":" << int(ReadRegister(host, options.sfrs[i].ref));
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
        out << s.text << ' ' << Hex(ReadRegister(host, s.ref), 2) << '\n';
    if (host.resets() || host.power_cuts())
        out << "resets " << host.resets() << "  power cuts " << host.power_cuts() << " (RAM filled with "
            << RamFillText(options) << ")\n";
}

}  // namespace peltosim
