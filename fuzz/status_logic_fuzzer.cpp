// The status window's logic without the window (ui/status_logic.h) over the fake host: the
// fields refreshed from random controls, margin and password byte, then the password field
// committed with whatever the user typed, any bytes at all, while the host's memory or register
// services fail or not. The first block gives the host's state and faults; then each commit is
// a length byte and that many characters of text.
//
// Invariants:
//  - the typed text is read as a reference reading of "%x" into a byte (strtoull over the
//    field's first 99 characters) reads it: a byte, invalid, or out of range;
//  - only a byte the user typed is ever written, once, to the password byte; a wrong entry
//    writes nothing, warns once with the matching text and shows the stored byte again;
//  - FPROT is written only with a written byte, always the protection of that byte; over a
//    host that fails nothing it then matches the password byte in code memory;
//  - a refresh shows every bank's margin text of FMARGIN bits 1..0, each bank's mode flags as
//    its controls have them (a pair's read flag only when both halves are in read mode) and the
//    password byte as 0x and two upper-case digits.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "flash/regmap.h"
#include "fuzz/flash_events.h"
#include "host/extension.h"
#include "tests/fake_host.h"
#include "ui/status_logic.h"

using testing_host::FakeHost;

namespace {

[[noreturn]] void Broken(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::abort();
}

class Surface final : public ui::DialogSurface {
public:
    std::string Text(int control) const override {
        const auto it = texts.find(control);
        return it == texts.end() ? std::string() : it->second;
    }
    void SetText(int control, const std::string& text) override { texts[control] = text; }
    // Every text the fuzzer puts in is typed.
    bool Edited(int) const override { return true; }
    void Warn(int control, const ui::Warning& warning) override {
        ++warnings;
        last_warning = warning.text;
        warned_control = control;
    }
    std::map<int, std::string> texts;
    int warnings = 0;
    const char* last_warning = nullptr;
    int warned_control = 0;
};

struct Started {
    FakeHost host;
    FakeHost::Snapshot snapshot;
    Started() {
        if (host.Start() != host::kResultSuccess || host.Reset() != host::kResultSuccess) std::abort();
        snapshot = host.Save();
    }
};

// "%x" into a byte as the C library reads it: the reference for the field's parse.
ui::ByteEntryResult ReferenceEntry(const std::string& typed) {
    const std::string text = typed.substr(0, ui::kTextBufferSize - 1);
    const char* begin = text.c_str();
    std::size_t i = 0;
    while (begin[i] == ' ' || (begin[i] >= '\t' && begin[i] <= '\r')) ++i;
    const bool negative = begin[i] == '-';
    char* end = nullptr;
    errno = 0;
    const unsigned long long read = std::strtoull(begin, &end, 16);
    if (end == begin) return {ui::ByteEntry::kInvalid, 0};
    if (errno == ERANGE) return {ui::ByteEntry::kOutOfRange, 0};
    const unsigned long long magnitude = negative ? 0 - read : read;
    if ((negative && magnitude != 0) || magnitude > 0xFF) return {ui::ByteEntry::kOutOfRange, 0};
    return {ui::ByteEntry::kByte, static_cast<uint8_t>(magnitude)};
}

std::string HexByteText(uint8_t v) {
    char text[sizeof "0xFF"];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

void CheckRefresh(const FakeHost& h, Surface& surface) {
    const ui::RefreshValues values = ui::ReadRefreshValues(host::TheExtension().services);
    ui::ShowRefresh(surface, values);
    static constexpr std::array<const char*, 4> kMargins{"25%", "50%", "80%", "100%"};
    const std::string margin = kMargins[h.Sfr(flash::Reg::FMARGIN) & flash::kMarginMask];
    for (std::size_t b = 0; b < flash::kBanks.size(); ++b) {
        const auto& bank = flash::kBanks[b];
        const auto& fields = ui::kBankFields[b];
        if (surface.Text(fields.margin) != margin) Broken("margin of bank " + std::string(bank.name));
        const auto flag = [&](uint8_t mode, bool all) {
            bool any = false, every = true;
            for (int c = bank.first_control; c < bank.first_control + bank.control_count; ++c) {
                const bool set = (h.Sfr(flash::kControls[c]) & mode) != 0;
                any = any || set;
                every = every && set;
            }
            return std::string((all ? every : any) ? "1" : "0");
        };
        if (surface.Text(fields.pwd) != flag(flash::kModePwd, false) || surface.Text(fields.read) != flag(flash::kModeRead, true) ||
            surface.Text(fields.erase) != flag(flash::kModeErase, false) ||
            surface.Text(fields.program) != flag(flash::kModeProgram, false))
            Broken("mode flags of bank " + std::string(bank.name));
    }
    if (surface.Text(ui::kPasswordField) != HexByteText(h.code[flash::kPasswordAddress])) Broken("password field after refresh");
}

void CheckCommit(FakeHost& h, Surface& surface, const std::string& typed, bool faulty) {
    h.calls.clear();
    surface.texts[ui::kPasswordField] = typed;
    surface.warnings = 0;
    const uint8_t stored = h.code[flash::kPasswordAddress];
    const bool read_fails = h.fail.count("PeltoReadMemory") != 0;
    ui::PasswordField field;
    ui::CommitPassword(host::TheExtension().services, surface, field);
    const ui::ByteEntryResult expected = ReferenceEntry(typed);
    const bool good = expected.kind == ui::ByteEntry::kByte;
    int memory_writes = 0;
    int fprot_writes = 0;
    for (const auto& c : h.calls) {
        if (c.id == host::kWriteMemory) {
            ++memory_writes;
            if (!good || c.args[0] != flash::CodeAddress(flash::kPasswordAddress) || c.args[1] != 1)
                Broken("password commit wrote memory it must not");
        } else if (c.id == host::kWriteSFR) {
            ++fprot_writes;
            if (!good || c.args[0] != flash::Id(flash::Reg::FPROT) || c.args[1] != flash::ProtectionFromPassword(expected.byte))
                Broken("FPROT written other than the protection of the typed byte");
        }
    }
    if (good && (memory_writes != 1 || fprot_writes != 1)) Broken("a good entry was not written once with FPROT");
    if (good && !faulty && (h.code[flash::kPasswordAddress] != expected.byte ||
                            h.Sfr(flash::Reg::FPROT) != flash::ProtectionFromPassword(expected.byte)))
        Broken("password byte or FPROT after a good entry");
    if (!good && h.code[flash::kPasswordAddress] != stored) Broken("a wrong entry changed the password byte");
    if (good && (surface.warnings != 0 || surface.Text(ui::kPasswordField) != typed)) Broken("a good entry was not left as typed");
    if (!good) {
        const char* warning = expected.kind == ui::ByteEntry::kInvalid ? ui::kInvalidNumber.text : ui::kOutOfRange.text;
        if (surface.warnings != 1 || std::string_view(surface.last_warning) != warning ||
            surface.warned_control != ui::kPasswordField)
            Broken("a wrong entry was not warned of once, with its own text: " + std::to_string(surface.warnings) +
                   " warnings, the last " + (surface.last_warning ? surface.last_warning : "none"));
        // The byte shown again is the stored one as read (0 when the read fails).
        if (surface.Text(ui::kPasswordField) != HexByteText(read_fails ? 0 : stored)) Broken("a wrong entry did not show the stored byte");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using flash_events::kBlockBytes;
    static auto* started = new Started;
    std::array<uint8_t, kBlockBytes> first{};  // a short input reads as padded with zeros
    std::copy_n(data, std::min(size, kBlockBytes), first.begin());
    FakeHost& h = started->host;
    h.Restore(started->snapshot);
    const flash_events::Block b(first);
    h.code[flash::kPasswordAddress] = b[0];
    for (int c = 0; c < flash::kControlCount; ++c) h.SetSfr(flash::kControls[c], flash_events::U32(b, 1) >> (c * 4) & 0xF0);
    h.SetSfr(flash::Reg::FMARGIN, b[5]);
    Surface surface;
    CheckRefresh(h, surface);
    const uint8_t faults = b[6];
    if (faults & 1) h.fail["PeltoWriteMemory"] = b[7];
    if (faults & 2) h.fail["PeltoWriteSFR"] = b[7];
    if (faults & 4) h.fail["PeltoReadMemory"] = b[7];
    const bool faulty = !h.fail.empty();
    for (std::size_t at = kBlockBytes; at < size;) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        CheckCommit(h, surface, std::string(reinterpret_cast<const char*>(data + at + 1), length), faulty);
        at += 1 + length;
    }
    return 0;
}
