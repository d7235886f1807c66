// What the status window shows and what its password field writes, without the window.
//
// The window itself (Win32) only hands its edit controls to these routines through
// DialogSurface; everything here runs the same on every platform.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "flash/regmap.h"
#include "services/services.h"
#include "status_ids.h"

namespace ui {

static_assert(kBankFields.size() == flash::kBanks.size());

// ---- refresh values -----------------------------------------------------------------------

struct BankFlags {
    bool pwd = false;
    bool read = false;
    bool erase = false;
    bool program = false;
    bool operator==(const BankFlags&) const = default;
};

struct RefreshValues {
    std::string_view margin;  // the same text for every bank
    std::array<BankFlags, flash::kBanks.size()> banks{};
    uint8_t password = 0;
};

// "25%", "50%", "80%" or "100%" from the read-margin bits of FMARGIN; other bits are ignored.
std::string_view MarginText(uint32_t fmargin);

// Flags of every bank from the eight control registers in control-table order.
std::array<BankFlags, flash::kBanks.size()> BankFlagsFromControls(
    const std::array<uint32_t, flash::kControls.size()>& controls);

// Reads the controls, FMARGIN and the password byte through the host, in that order. A value the
// host does not deliver counts as 0.
RefreshValues ReadRefreshValues(const host::Services& services);

// ---- hexadecimal entry --------------------------------------------------------------------

// The text of an edit control is read into a buffer of this many characters, terminator included.
inline constexpr std::size_t kTextBufferSize = 100;

struct HexNumber {
    enum class Kind { kNone, kValue, kTooLarge };
    Kind kind = Kind::kNone;
    uint32_t value = 0;  // meaningful for kValue only
    bool operator==(const HexNumber&) const = default;
};

// What "%x" reads from the start of `text`: white space, an optional sign, an optional 0x or 0X
// before a digit, then hexadecimal digits up to the first other character. Unlike "%x" into a
// 32-bit variable, a magnitude beyond 32 bits is kTooLarge rather than wrapped (or undefined),
// and a minus sign makes every value but 0 kTooLarge instead of wrapping round to a small one.
HexNumber ParseHexNumber(std::string_view text);

enum class ByteEntry { kByte, kInvalid, kOutOfRange };
struct ByteEntryResult {
    ByteEntry kind;
    uint8_t byte;  // meaningful for kByte only
};
ByteEntryResult ClassifyByteEntry(std::string_view text);

struct Warning {
    const char* text;
    const char* caption;
};
inline constexpr Warning kInvalidNumber{
    "You have entered an invalid number!\nThe previous value will be restored.\nExamples: 0x12\n",
    "Invalid number"};
inline constexpr Warning kOutOfRange{"You have entered a number that is out of range!\n", "Out of range"};

// ---- the window's edit controls -----------------------------------------------------------

// The status window as its logic sees it: edit controls by identifier.
class DialogSurface {
public:
    // The control's text, at most kTextBufferSize - 1 characters of it.
    virtual std::string Text(int control) const = 0;
    virtual void SetText(int control, const std::string& text) = 0;
    // Beep, then a modal box owned by the control; returns when the user has closed it.
    virtual void Warn(int control, const Warning& warning) = 0;
    // Whether the user has changed the control's text since SetText last set it.
    virtual bool Edited(int control) const = 0;

protected:
    ~DialogSurface() = default;
};

struct EditControl {
    DialogSurface& dialog;
    int id;
};

// "0" or "1" from bit 0 of the value.
void ShowBit(EditControl control, uint32_t value);
// "0x" and at least two upper-case hexadecimal digits.
void ShowHexByte(EditControl control, uint32_t value);
// The byte typed into the control; on a wrong entry warns, shows `previous` again and yields
// nothing. A good entry is left as typed.
std::optional<uint8_t> ReadHexByte(EditControl control, uint8_t previous);

// Puts every value into its field: the margins, then the flags (PWD, read, erase, program mode,
// each by bank index), then the password byte, replacing whatever the user was typing.
void ShowRefresh(DialogSurface& dialog, const RefreshValues& values);

// What the password field remembers between two losses of the focus.
struct PasswordField {
    // The last entry was refused and the stored value shown again in its place.
    bool refused = false;
};

// The password field lost the focus: a good entry becomes the password byte and FPROT follows.
// After a refused entry the field shows the stored value again, which is no entry: nothing is
// written on any later loss of the focus (closing the window included) until the user types.
void CommitPassword(const host::Services& services, DialogSurface& dialog, PasswordField& field);

}  // namespace ui
