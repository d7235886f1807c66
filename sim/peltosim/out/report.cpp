#include "sim/peltosim/out/report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "sim/peltosim/base/numbers.h"
#include "sim/peltosim/run/register_ref.h"

namespace peltosim {
namespace {

// The working registers of the current bank, by number.
constexpr std::array<const char*, 8> kRegisterNames{"r0", "r1", "r2", "r3", "r4", "r5", "r6", "r7"};

std::vector<uint8_t> DumpBytes(const SimHost& host, const Dump& d) {
    const auto bytes = host.SpaceBytes(d.space).subspan(d.address, d.length);
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

Json RunJson(const SimHost& host, const Options& options, RunEnd end) {
    const sim8051::Cpu& cpu = host.cpu();
    Json j{{"end", RunEndName(end)}, {"cycles", cpu.Cycles()},    {"instructions", cpu.Instructions()},
           {"pc", cpu.Pc()},         {"a", cpu.Acc()},            {"b", cpu.B()},
           {"psw", cpu.Psw()},       {"sp", cpu.Sp()},            {"dptr", cpu.Dptr()}};
    for (unsigned r = 0; r < kRegisterNames.size(); ++r) j[kRegisterNames[r]] = cpu.Reg(r);
    Json& dumps = j["dumps"] = Json::object();
    for (const auto& d : options.dumps) dumps[JsonText(d.text)] = DumpBytes(host, d);
    Json& sfrs = j["sfr"] = Json::object();
    for (const auto& s : options.sfrs) sfrs[JsonText(s.text)] = ReadRegister(host, s.ref);
    j["serial"] = JsonText(host.serial_text());
    j["resets"] = host.resets();
    j["power_cuts"] = host.power_cuts();
    j["ram_fill"] = RamFillText(options);
    return j;
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
