#include "status_logic.h"

#include <cstdio>

#include "flash/host_access.h"

namespace ui {
namespace {

constexpr std::array<std::string_view, flash::kMarginMask + 1> kMarginTexts{"25%", "50%", "80%", "100%"};

constexpr uint32_t kPasswordHostAddress = flash::CodeAddress(flash::kPasswordAddress);
constexpr uint32_t kPasswordLength = 1;
constexpr uint32_t kLargestByte = 0xFF;
constexpr uint32_t kHexRadix = 16;

constexpr bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

std::optional<uint32_t> HexDigit(char c) {
    const char upper = c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
    const std::size_t value = kHexDigits.find(upper);
    if (value == std::string_view::npos) return std::nullopt;
    return static_cast<uint32_t>(value);
}

BankFlags FlagsOf(uint32_t control) {
    return {(control & flash::kModePwd) != 0, (control & flash::kModeRead) != 0,
            (control & flash::kModeErase) != 0, (control & flash::kModeProgram) != 0};
}

}  // namespace

std::string_view MarginText(uint32_t fmargin) { return kMarginTexts[fmargin & flash::kMarginMask]; }

std::array<BankFlags, flash::kBanks.size()> BankFlagsFromControls(
    const std::array<uint32_t, flash::kControls.size()>& controls) {
    std::array<BankFlags, flash::kBanks.size()> out{};
    for (std::size_t b = 0; b < flash::kBanks.size(); ++b) {
        const auto& bank = flash::kBanks[b];
        BankFlags flags = FlagsOf(controls[static_cast<std::size_t>(bank.first_control)]);
        // A pair is in read mode only when both halves are; any other mode of either half shows.
        for (int c = bank.first_control + 1; c < bank.first_control + bank.control_count; ++c) {
            const BankFlags half = FlagsOf(controls[static_cast<std::size_t>(c)]);
            flags.pwd = flags.pwd || half.pwd;
            flags.read = flags.read && half.read;
            flags.erase = flags.erase || half.erase;
            flags.program = flags.program || half.program;
        }
        out[b] = flags;
    }
    return out;
}

RefreshValues ReadRefreshValues(const host::Services& services) {
    std::array<uint32_t, flash::kControls.size()> controls{};
    for (std::size_t c = 0; c < flash::kControls.size(); ++c)
        controls[c] = flash::ReadRegister(services, flash::kControls[c]);
    const uint32_t fmargin = flash::ReadRegister(services, flash::Reg::FMARGIN);
    RefreshValues values;
    values.password = flash::ReadByte(services, kPasswordHostAddress);
    values.margin = MarginText(fmargin);
    values.banks = BankFlagsFromControls(controls);
    return values;
}

HexNumber ParseHexNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // A prefix with no digit after it leaves the 0 as the number, as "%x" does.
    const std::string_view prefix = text.substr(i, 2);
    if ((prefix == "0x" || prefix == "0X") && i + 2 < text.size() && HexDigit(text[i + 2])) i += 2;
    HexNumber out;
    uint64_t magnitude = 0;
    bool too_large = false;
    for (; i < text.size(); ++i) {
        const auto digit = HexDigit(text[i]);
        if (!digit) break;
        out.kind = HexNumber::Kind::kValue;
        magnitude = magnitude * kHexRadix + *digit;
        // Keep reading so that the whole number is consumed, but never past 32 bits.
        if (magnitude > UINT32_MAX) {
            too_large = true;
            magnitude = UINT32_MAX;
        }
    }
    if (out.kind == HexNumber::Kind::kNone) return out;
    if (too_large || (negative && magnitude != 0)) return {HexNumber::Kind::kTooLarge, 0};
    out.value = static_cast<uint32_t>(magnitude);
    return out;
}

ByteEntryResult ClassifyByteEntry(std::string_view text) {
    const HexNumber n = ParseHexNumber(text);
    switch (n.kind) {
    case HexNumber::Kind::kNone:
        return {ByteEntry::kInvalid, 0};
    case HexNumber::Kind::kTooLarge:
        return {ByteEntry::kOutOfRange, 0};
    case HexNumber::Kind::kValue:
        break;
    }
    if (n.value > kLargestByte) return {ByteEntry::kOutOfRange, 0};
    return {ByteEntry::kByte, static_cast<uint8_t>(n.value)};
}

void ShowBit(EditControl control, uint32_t value) {
    char text[2];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(value & 1));
    control.dialog.SetText(control.id, text);
}

void ShowHexByte(EditControl control, uint32_t value) {
    char text[sizeof "0xFFFFFFFF"];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
    control.dialog.SetText(control.id, text);
}

std::optional<uint8_t> ReadHexByte(EditControl control, uint8_t previous) {
    const std::string text = control.dialog.Text(control.id);
    const ByteEntryResult entry = ClassifyByteEntry(std::string_view(text).substr(0, kTextBufferSize - 1));
    if (entry.kind == ByteEntry::kByte) return entry.byte;
    control.dialog.Warn(control.id, entry.kind == ByteEntry::kInvalid ? kInvalidNumber : kOutOfRange);
    ShowHexByte(control, previous);
    return std::nullopt;
}

void ShowRefresh(DialogSurface& dialog, const RefreshValues& values) {
    const std::string margin(values.margin);
    for (const auto& fields : kBankFields) dialog.SetText(fields.margin, margin);
    for (std::size_t b = 0; b < kBankFields.size(); ++b) ShowBit({dialog, kBankFields[b].pwd}, values.banks[b].pwd);
    for (std::size_t b = 0; b < kBankFields.size(); ++b) ShowBit({dialog, kBankFields[b].read}, values.banks[b].read);
    for (std::size_t b = 0; b < kBankFields.size(); ++b) ShowBit({dialog, kBankFields[b].erase}, values.banks[b].erase);
    for (std::size_t b = 0; b < kBankFields.size(); ++b)
        ShowBit({dialog, kBankFields[b].program}, values.banks[b].program);
    ShowHexByte({dialog, kPasswordField}, values.password);
}

void CommitPassword(const host::Services& services, DialogSurface& dialog, PasswordField& field) {
    if (field.refused && !dialog.Edited(kPasswordField)) return;
    field.refused = false;
    const uint8_t stored = flash::ReadByte(services, kPasswordHostAddress);
    const auto entered = ReadHexByte({dialog, kPasswordField}, stored);
    if (!entered) {
        field.refused = true;
        return;
    }
    services.WriteMemory(kPasswordHostAddress, kPasswordLength, &*entered);
    flash::WriteRegister(services, flash::Reg::FPROT, flash::ProtectionFromPassword(*entered));
}

}  // namespace ui
