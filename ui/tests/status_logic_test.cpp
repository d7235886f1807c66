// The status window's logic without a window: refresh values, numeric fields, password commit,
// the menu records and start-up's menu step, against the fake host.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake_host.h"
#include "flash/regmap.h"
#include "host/extension.h"
#include "ui/status_logic.h"
#include "ui/status_window.h"

using testing_host::Call;
using testing_host::FakeHost;

namespace {

constexpr uint32_t kPasswordHostAddress = 0xFF00FE80;
constexpr const char* kInvalidText =
    "You have entered an invalid number!\nThe previous value will be restored.\nExamples: 0x12\n";
constexpr const char* kOutOfRangeText = "You have entered a number that is out of range!\n";

// Edit controls held as strings; every text change and warning is recorded.
class FakeSurface final : public ui::DialogSurface {
public:
    std::string Text(int control) const override {
        const auto it = texts.find(control);
        return it == texts.end() ? std::string() : it->second;
    }
    void SetText(int control, const std::string& text) override {
        texts[control] = text;
        set_order.push_back(control);
        edited.erase(control);
    }
    bool Edited(int control) const override { return edited.count(control) != 0; }
    // The user replaces the control's text.
    void Type(int control, const std::string& text) {
        texts[control] = text;
        edited.insert(control);
    }
    void Warn(int control, const ui::Warning& warning) override {
        warnings.push_back({control, warning.text, warning.caption});
    }

    struct Shown {
        int control;
        std::string text;
        std::string caption;
    };
    std::map<int, std::string> texts;
    std::set<int> edited;
    std::vector<int> set_order;
    std::vector<Shown> warnings;
};

std::vector<Call> WritesOf(const FakeHost& h) {
    std::vector<Call> out;
    for (const auto& c : h.calls)
        if (c.service == "PeltoWriteMemory" || c.service == "PeltoWriteSFR") out.push_back(c);
    return out;
}

TEST(MarginText, FollowsOnlyTheTwoLowBits) {
    const std::pair<uint32_t, const char*> cases[] = {{0x00, "25%"}, {0x01, "50%"}, {0x02, "80%"}, {0x03, "100%"},
                                                      {0x2D, "50%"}, {0xFF, "100%"}, {0xFC, "25%"}, {0x2E, "80%"},
                                                      {0xFFFFFF01, "50%"}};
    for (const auto& [fmargin, text] : cases) EXPECT_EQ(ui::MarginText(fmargin), text) << std::hex << fmargin;
}

TEST(Refresh, ReadsControlsMarginAndPasswordInOrder) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    ASSERT_EQ(h.Reset(), 1u);
    h.code[0xFE80] = 0xA5;
    h.ClearCalls();

    const ui::RefreshValues v = ui::ReadRefreshValues(host::TheExtension().services);

    std::vector<Call> expected;
    for (uint32_t id : {0xF00108D3u, 0xF00108D4u, 0xF00109D3u, 0xF00109D4u, 0xF0010AD3u, 0xF0010AD4u, 0xF0010BD2u,
                        0xF0010CD2u, 0xF00108DDu})
        expected.push_back({"PeltoReadSFR", {id, 0xFF}});
    expected.push_back({"PeltoReadMemory", {kPasswordHostAddress, 1}});
    EXPECT_EQ(h.calls, expected);

    EXPECT_EQ(v.margin, "50%");
    EXPECT_EQ(v.password, 0xA5);
    for (std::size_t b = 0; b < v.banks.size(); ++b)
        EXPECT_EQ(v.banks[b], (ui::BankFlags{false, true, false, false})) << "bank " << b;
}

TEST(Refresh, BankFlagsFromControlValues) {
    using R = flash::Reg;
    struct Case {
        R a;
        uint32_t a_value;
        std::optional<R> b;
        uint32_t b_value;
        std::size_t bank;
        ui::BankFlags flags;  // pwd, read, erase, program
    } cases[] = {
        {R::FCTL_P0A, 0x20, R::FCTL_P0B, 0x40, 0, {false, false, true, false}},
        {R::FCTL_P0A, 0x20, R::FCTL_P0B, 0x20, 0, {false, true, false, false}},
        {R::FCTL_P1A, 0x10, R::FCTL_P1B, 0x20, 1, {true, false, false, false}},
        {R::FCTL_P1A, 0x20, R::FCTL_P1B, 0x10, 1, {true, false, false, false}},
        {R::FCTL_P2A, 0x80, R::FCTL_P2B, 0x20, 2, {false, false, false, true}},
        {R::FCTL_P2A, 0x00, R::FCTL_P2B, 0x80, 2, {false, false, false, true}},
        {R::FCTL_P2A, 0x2F, R::FCTL_P2B, 0x2F, 2, {false, true, false, false}},  // request bits show nothing
        {R::FCTL_D0, 0x40, std::nullopt, 0, 3, {false, false, true, false}},
        {R::FCTL_D1, 0xF0, std::nullopt, 0, 4, {true, true, true, true}},
        {R::FCTL_D1, 0x0F, std::nullopt, 0, 4, {false, false, false, false}},
    };
    for (const auto& c : cases) {
        FakeHost h;
        ASSERT_EQ(h.Start(), 1u);
        ASSERT_EQ(h.Reset(), 1u);
        h.SetSfr(c.a, c.a_value);
        if (c.b) h.SetSfr(*c.b, c.b_value);
        const auto v = ui::ReadRefreshValues(host::TheExtension().services);
        for (std::size_t b = 0; b < v.banks.size(); ++b) {
            const ui::BankFlags expected = b == c.bank ? c.flags : ui::BankFlags{false, true, false, false};
            EXPECT_EQ(v.banks[b], expected) << flash::Info(c.a).name << "=" << c.a_value << " bank " << b;
        }
    }
}

TEST(Refresh, FailedHostReadsShowZero) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    ASSERT_EQ(h.Reset(), 1u);
    h.code[0xFE80] = 0x77;
    h.fail["PeltoReadSFR"] = 0;
    h.fail["PeltoReadMemory"] = 0;
    const auto v = ui::ReadRefreshValues(host::TheExtension().services);
    EXPECT_EQ(v.margin, "25%");
    EXPECT_EQ(v.password, 0);
    for (const auto& flags : v.banks) EXPECT_EQ(flags, ui::BankFlags{});
}

TEST(Refresh, ShowsEveryFieldInOrderAndReplacesTyping) {
    FakeSurface dialog;
    dialog.texts[1068] = "4";  // the user is typing
    ui::RefreshValues v;
    v.margin = "80%";
    v.password = 0x0C;
    v.banks[1] = {true, false, true, false};
    v.banks[4] = {false, true, false, true};
    ui::ShowRefresh(dialog, v);

    const std::vector<int> order{1035, 1043, 1058, 1063, 1069,   // margins
                                 1042, 1047, 1062, 1067, 1073,   // PWD mode
                                 1039, 1044, 1059, 1064, 1070,   // read mode
                                 1040, 1045, 1060, 1065, 1071,   // erase mode
                                 1041, 1046, 1061, 1066, 1072,   // program mode
                                 1068};
    EXPECT_EQ(dialog.set_order, order);
    EXPECT_EQ(dialog.texts[1069], "80%");
    EXPECT_EQ(dialog.texts[1047], "1");
    EXPECT_EQ(dialog.texts[1044], "0");
    EXPECT_EQ(dialog.texts[1045], "1");
    EXPECT_EQ(dialog.texts[1070], "1");
    EXPECT_EQ(dialog.texts[1072], "1");
    EXPECT_EQ(dialog.texts[1039], "0");
    EXPECT_EQ(dialog.texts[1068], "0x0C");
}

TEST(HexParse, FollowsPercentXAndStaysWithin32Bits) {
    using K = ui::HexNumber::Kind;
    const std::string many_digits(99, 'F');
    struct Case {
        std::string text;
        ui::HexNumber expected;
    } cases[] = {
        {"12", {K::kValue, 0x12}},
        {"0x12", {K::kValue, 0x12}},
        {"0X1f", {K::kValue, 0x1F}},
        {"12zz", {K::kValue, 0x12}},
        {" \t\r\n\v\f7", {K::kValue, 0x7}},
        {"+12", {K::kValue, 0x12}},
        {"-0", {K::kValue, 0}},
        {"0x", {K::kValue, 0}},       // the 0 is the number, x the rest
        {"0xzz", {K::kValue, 0}},
        {"0x-1", {K::kValue, 0}},
        {"0000000000000012", {K::kValue, 0x12}},  // leading zeros never overflow
        {"FFFFFFFF", {K::kValue, 0xFFFFFFFF}},
        {"", {K::kNone, 0}},
        {"   ", {K::kNone, 0}},
        {"zz", {K::kNone, 0}},
        {"x12", {K::kNone, 0}},
        {"- 1", {K::kNone, 0}},
        {"+", {K::kNone, 0}},
        {"-1", {K::kTooLarge, 0}},
        {"-FFFFFFFF", {K::kTooLarge, 0}},  // would wrap round to 1 in 32 bits
        {"100000000", {K::kTooLarge, 0}},
        {"100000012", {K::kTooLarge, 0}},  // would wrap round to 0x12 in 32 bits
        {many_digits, {K::kTooLarge, 0}},
        {std::string(150, '0') + "5A", {K::kValue, 0x5A}},
        {"\xC3\xA4" "12", {K::kNone, 0}},   // non-ASCII before the digits
        {"1\xC3\xA4", {K::kValue, 0x1}},    // and after them
        {"\xEF\xBC\x91", {K::kNone, 0}},   // a full-width digit is no hex digit
    };
    for (const auto& c : cases) EXPECT_EQ(ui::ParseHexNumber(c.text), c.expected) << '"' << c.text << '"';
}

TEST(NumericFields, ShowBitAndShowHexByte) {
    FakeSurface dialog;
    const std::pair<uint32_t, const char*> bits[] = {{0, "0"}, {1, "1"}, {2, "0"}, {3, "1"}, {0xFFFFFFFF, "1"}};
    for (const auto& [value, text] : bits) {
        ui::ShowBit({dialog, 1040}, value);
        EXPECT_EQ(dialog.texts[1040], text) << value;
    }
    const std::pair<uint32_t, const char*> bytes[] = {{0, "0x00"}, {0x5, "0x05"}, {0xAB, "0xAB"}, {0xFF, "0xFF"}};
    for (const auto& [value, text] : bytes) {
        ui::ShowHexByte({dialog, 1068}, value);
        EXPECT_EQ(dialog.texts[1068], text) << value;
    }
}

TEST(NumericFields, ReadHexByteWarnsAndRestoresOnWrongEntries) {
    struct Case {
        std::string typed;
        std::optional<uint8_t> result;
        const char* warning;   // text of the box, or null for none
        const char* caption;
    } cases[] = {
        {"12", 0x12, nullptr, nullptr},
        {"ff", 0xFF, nullptr, nullptr},
        {"zz", std::nullopt, kInvalidText, "Invalid number"},
        {"", std::nullopt, kInvalidText, "Invalid number"},
        {"100", std::nullopt, kOutOfRangeText, "Out of range"},
        {"1FF", std::nullopt, kOutOfRangeText, "Out of range"},
        {"100000012", std::nullopt, kOutOfRangeText, "Out of range"},
        // Only the first 99 characters are read: the 2 at position 99 is cut off.
        {std::string(98, ' ') + "12", 0x01, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        FakeSurface dialog;
        dialog.texts[1068] = c.typed;
        EXPECT_EQ(ui::ReadHexByte({dialog, 1068}, 0x5A), c.result) << c.typed;
        if (c.warning == nullptr) {
            EXPECT_TRUE(dialog.warnings.empty()) << c.typed;
            EXPECT_EQ(dialog.texts[1068], c.typed) << "a good entry stays as typed";
        } else {
            ASSERT_EQ(dialog.warnings.size(), 1u) << c.typed;
            EXPECT_EQ(dialog.warnings[0].control, 1068);
            EXPECT_EQ(dialog.warnings[0].text, c.warning);
            EXPECT_EQ(dialog.warnings[0].caption, c.caption);
            EXPECT_EQ(dialog.texts[1068], "0x5A") << c.typed;
        }
    }
}

TEST(PasswordCommit, GoodEntriesWriteTheByteAndFprot) {
    struct Case {
        const char* typed;
        uint8_t byte;
        uint8_t fprot;
    } cases[] = {{"12", 0x12, 0x01}, {"0x12", 0x12, 0x01}, {"12zz", 0x12, 0x01}, {"0", 0x00, 0x04},
                 {"80", 0x80, 0x03}, {"7F", 0x7F, 0x01}, {"FF", 0xFF, 0x03}, {"0x5A", 0x5A, 0x01}};
    for (const auto& c : cases) {
        FakeHost h;
        ASSERT_EQ(h.Start(), 1u);
        ASSERT_EQ(h.Reset(), 1u);
        h.code[0xFE80] = 0x5A;
        h.ClearCalls();
        FakeSurface dialog;
        dialog.texts[1068] = c.typed;

        ui::PasswordField field;
        ui::CommitPassword(host::TheExtension().services, dialog, field);

        const uint32_t fprot_id = flash::Id(flash::Reg::FPROT);
        const std::vector<Call> expected{{"PeltoReadMemory", {kPasswordHostAddress, 1}},
                                         {"PeltoWriteMemory", {kPasswordHostAddress, 1}},
                                         {"PeltoWriteSFR", {fprot_id, c.fprot, 0xFF}}};
        EXPECT_EQ(h.calls, expected) << c.typed;
        EXPECT_EQ(h.code[0xFE80], c.byte) << c.typed;
        EXPECT_EQ(h.Sfr(fprot_id), c.fprot) << c.typed;
        EXPECT_EQ(dialog.texts[1068], c.typed) << "no refresh follows a commit";
        EXPECT_TRUE(dialog.warnings.empty());
    }
}

TEST(PasswordCommit, WrongEntriesWriteNothingAndShowTheStoredByte) {
    for (const char* typed : {"zz", "", "1FF", "-1", "100000012"}) {
        FakeHost h;
        ASSERT_EQ(h.Start(), 1u);
        ASSERT_EQ(h.Reset(), 1u);
        h.code[0xFE80] = 0x9C;
        h.ClearCalls();
        FakeSurface dialog;
        dialog.texts[1068] = typed;

        ui::PasswordField field;
        ui::CommitPassword(host::TheExtension().services, dialog, field);

        EXPECT_TRUE(WritesOf(h).empty()) << typed;
        EXPECT_EQ(h.code[0xFE80], 0x9C);
        EXPECT_EQ(h.Sfr(flash::Reg::FPROT), 0x04u) << "FPROT keeps its reset value";
        EXPECT_EQ(dialog.texts[1068], "0x9C") << typed;
        EXPECT_EQ(dialog.warnings.size(), 1u) << typed;
    }
}

// A refused entry leaves the stored byte and FPROT alone: the stored value shown again in its
// place is no entry, however often the field loses the focus, until the user types again.
TEST(PasswordCommit, AfterARefusalOnlyANewEntryIsCommitted) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    ASSERT_EQ(h.Reset(), 1u);
    h.code[0xFE80] = 0x5A;  // FPROT keeps its reset value 0x04, which 0x5A would not give
    FakeSurface dialog;
    ui::PasswordField field;
    const auto& services = host::TheExtension().services;

    dialog.Type(1068, "zz");
    ui::CommitPassword(services, dialog, field);
    ASSERT_EQ(dialog.texts[1068], "0x5A");
    h.ClearCalls();
    ui::CommitPassword(services, dialog, field);  // the final loss of the focus at a close
    ui::ShowRefresh(dialog, ui::ReadRefreshValues(services));
    ui::CommitPassword(services, dialog, field);  // a refresh shows the stored value: still no entry
    EXPECT_TRUE(WritesOf(h).empty());
    EXPECT_EQ(dialog.warnings.size(), 1u) << "no second message box";
    EXPECT_EQ(h.Sfr(flash::Reg::FPROT), 0x04u);

    dialog.Type(1068, "0x5A");  // the user types the stored value: that is an entry
    ui::CommitPassword(services, dialog, field);
    const uint32_t fprot_id = flash::Id(flash::Reg::FPROT);
    EXPECT_EQ(WritesOf(h), (std::vector<Call>{{"PeltoWriteMemory", {kPasswordHostAddress, 1}},
                                              {"PeltoWriteSFR", {fprot_id, 0x01, 0xFF}}}));
    h.ClearCalls();
    ui::CommitPassword(services, dialog, field);
    EXPECT_EQ(WritesOf(h).size(), 2u) << "without a refusal every loss of the focus commits, as before";
}

TEST(MenuRecords, HoldTheirInitialValues) {
    const PeltoMenuItem& item = ui::TheMenuItem();
    EXPECT_EQ(item.host_word1, 1u);
    EXPECT_STREQ(item.text, "&Flash");
    EXPECT_EQ(item.callback, &ui::PeriDialogMenu);
    EXPECT_EQ(item.host_word4, 0u);
    EXPECT_EQ(item.identifier, 200u);
    ASSERT_EQ(item.descriptor, &ui::TheDescriptor());

    const PeltoWindowDescriptor& d = *item.descriptor;
    EXPECT_EQ(d.host_word1, 0u);
    EXPECT_EQ(d.window, 0u);
    EXPECT_EQ(d.host_word3, 0u);
    EXPECT_EQ(d.saved_left, -1);
    EXPECT_EQ(d.saved_top, -1);
    EXPECT_EQ(d.saved_right, -1);
    EXPECT_EQ(d.saved_bottom, -1);
    EXPECT_EQ(d.update, &ui::PeriDialogUpdate);
    EXPECT_EQ(d.kill, &ui::PeriDialogKill);
}

TEST(StartUp, DefinesTheMenuItemAfterTheTimer) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    ASSERT_EQ(h.menu_items.size(), 1u);
    EXPECT_EQ(h.menu_items[0], &ui::TheMenuItem());

    const auto position = [&](const std::string& service) {
        for (std::size_t i = 0; i < h.calls.size(); ++i)
            if (h.calls[i].service == service) return i;
        return h.calls.size();
    };
    EXPECT_LT(position("PeltoCreateTimer"), position("PeltoDefineMenuItem"));
    EXPECT_LT(position("PeltoDefineMenuItem"), position("PeltoWriteMemory")) << "before the ROM images";
    EXPECT_LT(position("PeltoDefineMenuItem"), position("PeltoSetTimer"));
}

TEST(StartUp, MenuItemResult) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 0}, {1, 1}, {2, 1}, {0xFFFFFFFF, 1}};
    for (const auto& [result, start] : cases) {
        FakeHost h;
        h.fail["PeltoDefineMenuItem"] = result;
        EXPECT_EQ(h.Start(), start) << result;
        EXPECT_EQ(h.CallsTo("PeltoDefineMenuItem").size(), 1u);
        // A refused menu entry stops start-up before the images are written and the timer disarmed.
        EXPECT_EQ(h.CallsTo("PeltoSetTimer").size(), start) << result;
        EXPECT_EQ(h.CallsTo("PeltoWriteMemory").empty(), start == 0) << result;
    }
}

#if !defined(_WIN32)
TEST(HeadlessWindow, MenuUpdateAndKillDoNothing) {
    FakeHost h;
    ASSERT_EQ(h.Start(), 1u);
    ASSERT_EQ(h.Reset(), 1u);
    PeltoMenuItem* item = h.menu_items.at(0);
    PeltoWindowDescriptor& d = *item->descriptor;
    PeltoWindowDescriptor before;
    std::memcpy(&before, &d, sizeof before);
    h.ClearCalls();

    item->callback(item);
    d.update();
    item->callback(item);
    d.host_word1 = 7;
    before.host_word1 = 7;
    d.kill(&d);

    EXPECT_TRUE(h.calls.empty());
    EXPECT_EQ(std::memcmp(&before, &d, sizeof before), 0);
    d.host_word1 = 0;
}
#endif

}  // namespace
