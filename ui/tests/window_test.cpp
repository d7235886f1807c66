// The status window on a real window system (Wine under a virtual X server).
//
// This executable is the host: it exports the Pelto services by name, loads the built library
// with LoadLibrary, starts and resets it, and drives the window the way a user and a host do:
// through the menu callback, the descriptor's update and kill functions, keys posted to the
// focused control and passed through IsDialogMessage, and a mouse click on the close box.
// Message boxes are found by caption from a second thread, read, and dismissed with IDOK.
//
// usage: ui_window_test LIBRARY [SCREENSHOT-DIRECTORY]
// With a screenshot directory, the Screenshot test writes "request" there holding the window's
// screen rectangle and waits for a file "done" from whoever takes the picture.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "flash/regmap.h"
#include "pelto/pelto.h"
#include "ui/status_ids.h"

namespace {

struct Call {
    std::string service;
    std::vector<uint32_t> args;
    bool operator==(const Call&) const = default;
};

struct Host {
    std::map<uint32_t, uint32_t> sfr;
    std::array<uint8_t, 0x10000> code{};
    std::vector<Call> calls;
    std::vector<uintptr_t> focus_log;
    uintptr_t focus = 0;  // the dialog whose keys go through IsDialogMessage
    std::vector<PeltoMenuItem*> menu_items;
    uint32_t timers = 0;

    // ---- the services: the window's own are logged, the rest only succeed ----
    uint32_t DefineVTR(const char*, uint32_t, uint32_t) { return PELTO_RESULT_SUCCESS; }
    uint32_t SetWatchOnSFR(uint32_t, PeltoHandler, uint32_t) { return PELTO_RESULT_SUCCESS; }
    uint32_t SetWatchOnMemory(uint32_t, uint32_t, PeltoHandler, uint32_t) { return PELTO_RESULT_SUCCESS; }
    uint32_t CreateTimer(PeltoHandler) { return ++timers; }
    uint32_t SetTimer(uint32_t, uint32_t) { return PELTO_RESULT_SUCCESS; }
    uint64_t GetStates() const { return 0; }
    uint32_t DefineMenuItem(PeltoMenuItem* item) {
        menu_items.push_back(item);
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t ReadSFR(uint32_t id, uint32_t* value, uint32_t* previous, uint32_t mask) {
        calls.push_back({"PeltoReadSFR", {id, mask}});
        *value = sfr[id] & mask;
        *previous = 0;
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t WriteSFR(uint32_t id, uint32_t value, uint32_t mask) {
        calls.push_back({"PeltoWriteSFR", {id, value, mask}});
        sfr[id] = (sfr[id] & ~mask) | (value & mask);
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t ReadMemory(uint32_t address, uint32_t count, uint8_t* destination) {
        calls.push_back({"PeltoReadMemory", {address, count}});
        if ((address & PELTO_SPACE_MASK) != PELTO_SPACE_CODE || count != 1) return PELTO_RESULT_FAILURE;
        *destination = code[address & 0xFFFF];
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t WriteMemory(uint32_t address, uint32_t count, const uint8_t* source) {
        calls.push_back({"PeltoWriteMemory", {address, count, count ? source[0] : 0u}});
        if ((address & PELTO_SPACE_MASK) != PELTO_SPACE_CODE || count > 0x10000 - (address & 0xFFFF))
            return PELTO_RESULT_FAILURE;
        std::memcpy(&code[address & 0xFFFF], source, count);
        return PELTO_RESULT_SUCCESS;
    }
    uint32_t GetLastMemoryAddress() const { return 0; }
    uint32_t GetProgramCounter() const { return 0; }
    void HandleFocus(uintptr_t window) {
        calls.push_back({"PeltoHandleFocus", {static_cast<uint32_t>(window)}});
        focus_log.push_back(window);
        focus = window;
    }
};
Host g_host;
HWND g_main_window = nullptr;
HMODULE g_library = nullptr;
PeltoEntryFunction g_entry = nullptr;
std::string g_screenshot_directory;

constexpr uint16_t kPasswordAddress = flash::kPasswordAddress;
const uint32_t kFprot = flash::Id(flash::Reg::FPROT);
const uint32_t kFmargin = flash::Id(flash::Reg::FMARGIN);

}  // namespace

extern "C" {
// The exports, one per called service, onto the host's member of the same name.
#define PELTO_WINDOW_HOST_EXPORT(name, result, parameters, arguments) \
    PELTO_EXPORT result Pelto##name parameters { return g_host.name arguments; }
PELTO_CALLED_SERVICES(PELTO_WINDOW_HOST_EXPORT)
#undef PELTO_WINDOW_HOST_EXPORT
// Looked up, never called; their signatures are this host's own choice.
#define PELTO_UNCALLED_EXPORT(name) PELTO_EXPORT uint32_t Pelto##name(void) { return 0; }
PELTO_LOOKED_UP_SERVICES(PELTO_UNCALLED_EXPORT)
#undef PELTO_UNCALLED_EXPORT
}

namespace {

// ---- the host's message loop ----------------------------------------------------------------

void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        const HWND dialog = reinterpret_cast<HWND>(g_host.focus);
        if (dialog != nullptr && IsDialogMessageA(dialog, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

template <class Done>
bool PumpUntil(Done done, int milliseconds = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        Pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

void PumpFor(int milliseconds) {
    PumpUntil([] { return false; }, milliseconds);
}

// Key message details: a repeat count of one; key up also carries "was down" and "released".
constexpr LPARAM kKeyDown = 1;
constexpr LPARAM kKeyUp = kKeyDown | (LPARAM{1} << 30) | static_cast<LPARAM>(0x80000000u);

// A key pressed on the focused control, as the host's loop receives it.
void Key(UINT key) {
    const HWND target = GetFocus();
    PostMessageA(target, WM_KEYDOWN, key, kKeyDown);
    PostMessageA(target, WM_KEYUP, key, kKeyUp);
    Pump();
}

// Replaces the text of an edit control by typing.
void Type(HWND dialog, int id, const std::string& text) {
    const HWND edit = GetDlgItem(dialog, id);
    SetFocus(edit);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    if (text.empty()) PostMessageA(edit, WM_CHAR, VK_BACK, kKeyDown);
    for (char c : text) PostMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), kKeyDown);
    Pump();
}

std::string Text(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, static_cast<int>(sizeof text));
    return text;
}
std::string Field(HWND dialog, int id) { return Text(GetDlgItem(dialog, id)); }

std::vector<Call> Writes() {
    std::vector<Call> out;
    for (const auto& c : g_host.calls)
        if (c.service == "PeltoWriteSFR" || c.service == "PeltoWriteMemory") out.push_back(c);
    return out;
}

RECT WindowRect(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

// ---- message boxes, watched from a second thread ---------------------------------------------

struct BoxSeen {
    bool found = false;
    std::string text;
    HWND owner = nullptr;
    bool hand_icon = false;
    int buttons = 0;
    bool has_ok = false;
};

class BoxWatcher {
public:
    // Waits for a box with `caption`, reads it and dismisses it with IDOK after `delay_ms`.
    explicit BoxWatcher(const char* caption, int delay_ms = 0)
        : thread_([this, caption, delay_ms] { Run(caption, delay_ms); }) {}
    ~BoxWatcher() {
        if (thread_.joinable()) thread_.join();
    }
    BoxSeen Wait() {
        thread_.join();
        return seen_;
    }
    // The box was still there when the delay ran out.
    bool HadToDismiss() const { return dismissed_; }

private:
    static BOOL CALLBACK Inspect(HWND child, LPARAM param) {
        auto& seen = *reinterpret_cast<BoxSeen*>(param);
        char cls[32] = {};
        GetClassNameA(child, cls, sizeof cls);
        const LONG style = GetWindowLongA(child, GWL_STYLE);
        if (lstrcmpiA(cls, "Static") == 0) {
            if ((style & SS_TYPEMASK) == SS_ICON)
                seen.hand_icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0)) == LoadIcon(nullptr, IDI_HAND);
            else if (!Text(child).empty())
                seen.text = Text(child);
        } else if (lstrcmpiA(cls, "Button") == 0 && (style & WS_VISIBLE)) {
            ++seen.buttons;
            if (GetDlgCtrlID(child) == IDOK) seen.has_ok = true;
        }
        return TRUE;
    }

    void Run(const char* caption, int delay_ms) {
        HWND box = nullptr;
        for (int i = 0; i < 500 && box == nullptr; ++i) {
            box = FindWindowA("#32770", caption);
            if (box == nullptr || !IsWindowVisible(box)) {
                box = nullptr;
                Sleep(10);
            }
        }
        if (box == nullptr) return;
        seen_.found = true;
        seen_.owner = GetWindow(box, GW_OWNER);
        EnumChildWindows(box, Inspect, reinterpret_cast<LPARAM>(&seen_));
        for (int waited = 0; waited < delay_ms && IsWindow(box); waited += 10) Sleep(10);
        if (!IsWindow(box)) return;
        dismissed_ = delay_ms > 0;
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }

    BoxSeen seen_;
    std::atomic<bool> dismissed_{false};
    std::thread thread_;
};

// ---- the fixture ------------------------------------------------------------------------------

constexpr const char* kInvalidText =
    "You have entered an invalid number!\nThe previous value will be restored.\nExamples: 0x12\n";
constexpr const char* kOutOfRangeText = "You have entered a number that is out of range!\n";

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(g_host.menu_items.size(), 1u);
        item_ = g_host.menu_items[0];
        descriptor_ = item_->descriptor;
        ASSERT_EQ(descriptor_->window, 0u) << "a window was left open";
        SetForegroundWindow(g_main_window);
        SetActiveWindow(g_main_window);
        ASSERT_EQ(g_entry(PELTO_ENTRY_RESET, nullptr), 1u);
        g_host.code[kPasswordAddress] = 0;
        g_host.calls.clear();
        g_host.focus_log.clear();
    }
    void TearDown() override {
        if (descriptor_->window != 0) descriptor_->kill(descriptor_);
        Pump();
    }

    HWND Open() {
        item_->callback(item_);
        Pump();
        return reinterpret_cast<HWND>(descriptor_->window);
    }
    void Update() {
        descriptor_->update();
        Pump();
    }
    // The dialog's own measure of template units, in pixels.
    static RECT DialogUnits(HWND dialog, int x, int y, int cx, int cy) {
        RECT r{x, y, x + cx, y + cy};
        MapDialogRect(dialog, &r);
        return r;
    }

    PeltoMenuItem* item_ = nullptr;
    PeltoWindowDescriptor* descriptor_ = nullptr;
};

// ---- the template -----------------------------------------------------------------------------

struct ExpectedControl {
    WORD cls;
    DWORD style;
    int x, y, cx, cy;
    int id;            // -1: not checked
    std::string text;  // for edits: not checked
    bool label;        // x may be one more, y one or two more than given
};

std::vector<ExpectedControl> ExpectedControls() {
    constexpr WORD kButton = 0x80, kEdit = 0x81, kStatic = 0x82;
    constexpr DWORD kShown = WS_CHILD | WS_VISIBLE;
    constexpr DWORD kGroupBox = kShown | BS_GROUPBOX;
    constexpr DWORD kLabel = kShown | WS_GROUP | SS_LEFT;
    constexpr DWORD kField = kShown | WS_BORDER | WS_TABSTOP | ES_READONLY;
    struct Group {
        const char* caption;
        int x, y, cx, cy;
        std::array<int, 5> ids;
    };
    const char* labels[] = {"Read Margin", "Read Mode", "Erase Mode", "Program Mode", "PWD Mode"};
    const int rows[] = {12, 29, 44, 60, 75};
    std::vector<ExpectedControl> out;
    const auto bank = [&](const Group& g) {
        out.push_back({kButton, kGroupBox, g.x, g.y, g.cx, g.cy, -1, g.caption, false});
        for (int r = 0; r < 5; ++r) {
            out.push_back({kStatic, kLabel, g.x + 5, g.y + rows[r] + 1, 47, 8, -1, labels[r], true});
            out.push_back({kEdit, kField, g.x + 56, g.y + rows[r], 24, 12, g.ids[static_cast<std::size_t>(r)], "", false});
        }
    };
    bank({"PFLASH PAIR 0", 4, 0, 90, 94, {1035, 1039, 1040, 1041, 1042}});
    bank({"PFLASH PAIR 1", 101, 0, 90, 94, {1043, 1044, 1045, 1046, 1047}});
    bank({"PFLASH PAIR 2", 199, 0, 86, 95, {1058, 1059, 1060, 1061, 1062}});
    bank({"DFLASH 0", 4, 96, 90, 94, {1063, 1064, 1065, 1066, 1067}});
    out.push_back({kButton, kGroupBox, 4, 195, 86, 20, -1, "", false});
    out.push_back({kStatic, kLabel, 9, 201, 47, 8, -1, "FPASSWD", false});
    out.push_back({kEdit, kShown | WS_BORDER | WS_TABSTOP, 60, 200, 24, 12, 1068, "", false});
    bank({"DFLASH 1", 101, 96, 90, 94, {1069, 1070, 1071, 1072, 1073}});
    out.push_back({kButton, WS_CHILD | WS_TABSTOP | BS_PUSHBUTTON, 95, 200, 50, 14, IDOK, "OK", false});
    out.push_back({kButton, WS_CHILD | WS_TABSTOP | BS_PUSHBUTTON, 140, 200, 50, 14, IDCANCEL, "Cancel", false});
    return out;
}

// Reads a DLGTEMPLATE field by field.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* p) : p_(p), start_(p) {}
    WORD Word() {
        WORD w;
        std::memcpy(&w, p_, sizeof w);
        p_ += sizeof w;
        return w;
    }
    DWORD Dword() {
        DWORD d;
        std::memcpy(&d, p_, sizeof d);
        p_ += sizeof d;
        return d;
    }
    short Short() { return static_cast<short>(Word()); }
    std::string String() {
        std::string s;
        for (WORD c = Word(); c != 0; c = Word()) s += static_cast<char>(c);
        return s;
    }
    // A class or title: an ordinal after 0xFFFF, or a string.
    std::string OrdinalOrString(WORD* ordinal) {
        *ordinal = 0;
        WORD first;
        std::memcpy(&first, p_, sizeof first);
        if (first == 0xFFFF) {
            Word();
            *ordinal = Word();
            return {};
        }
        return String();
    }
    void AlignDword() {
        while ((p_ - start_) % 4 != 0) ++p_;
    }
    void Skip(std::size_t n) { p_ += n; }

private:
    const BYTE* p_;
    const BYTE* start_;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR out) {
    reinterpret_cast<std::vector<LANGID>*>(out)->push_back(language);
    return TRUE;
}

TEST_F(Window, TemplateIsResource200InGerman) {
    std::vector<LANGID> languages;
    EnumResourceLanguagesA(g_library, RT_DIALOG, MAKEINTRESOURCEA(200), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, std::vector<LANGID>{MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)});
    EXPECT_EQ(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), 1031);

    const HRSRC resource = FindResourceExA(g_library, RT_DIALOG, MAKEINTRESOURCEA(200), 1031);
    ASSERT_NE(resource, nullptr);
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(g_library, resource)));
    ASSERT_NE(data, nullptr);
    TemplateReader t(data);
    EXPECT_EQ(t.Dword(), 0x90C800C0u) << "style";
    EXPECT_EQ(t.Dword(), 0u) << "extended style";
    const WORD count = t.Word();
    EXPECT_EQ(count, 60);
    EXPECT_EQ(t.Short(), 110);
    EXPECT_EQ(t.Short(), 60);
    EXPECT_EQ(t.Short(), 287);
    EXPECT_EQ(t.Short(), 221);
    WORD ordinal = 0;
    EXPECT_EQ(t.OrdinalOrString(&ordinal), "") << "no menu";
    EXPECT_EQ(t.OrdinalOrString(&ordinal), "") << "no class";
    EXPECT_EQ(t.String(), "FLASH STATUS");
    EXPECT_EQ(t.Word(), 8) << "point size";
    EXPECT_EQ(t.String(), "MS Sans Serif");

    const auto expected = ExpectedControls();
    ASSERT_EQ(expected.size(), 60u);
    std::vector<int> edits;
    int first_tab_stop = 0;
    for (std::size_t i = 0; i < count && i < expected.size(); ++i) {
        const ExpectedControl& e = expected[i];
        t.AlignDword();
        const DWORD style = t.Dword();
        const DWORD ex_style = t.Dword();
        const int x = t.Short(), y = t.Short(), cx = t.Short(), cy = t.Short();
        const int id = static_cast<short>(t.Word());
        WORD cls = 0;
        const std::string class_name = t.OrdinalOrString(&cls);
        WORD title_ordinal = 0;
        const std::string title = t.OrdinalOrString(&title_ordinal);
        t.Skip(t.Word());
        SCOPED_TRACE("control " + std::to_string(i) + " \"" + title + "\" id " + std::to_string(id));
        EXPECT_EQ(cls, e.cls);
        EXPECT_EQ(class_name, "");
        EXPECT_EQ(style, e.style);
        EXPECT_EQ(ex_style, 0u);
        if (e.label) {
            EXPECT_TRUE(x == e.x || x == e.x + 1) << x;
            EXPECT_TRUE(y >= e.y && y <= e.y + 2) << y;
        } else {
            EXPECT_EQ(x, e.x);
            EXPECT_EQ(y, e.y);
        }
        EXPECT_EQ(cx, e.cx);
        EXPECT_EQ(cy, e.cy);
        if (e.id != -1) {
            EXPECT_EQ(id, e.id);
        }
        if (e.cls != 0x81) {
            EXPECT_EQ(title, e.text);
        }
        if (cls == 0x81) edits.push_back(id);
        if (first_tab_stop == 0 && (style & WS_TABSTOP)) first_tab_stop = id;
    }
    EXPECT_TRUE(std::is_sorted(edits.begin(), edits.end()));
    EXPECT_EQ(edits.size(), 26u);
    EXPECT_EQ(first_tab_stop, 1035);
}

// ---- showing the registers --------------------------------------------------------------------

TEST_F(Window, OpensShowingTheResetState) {
    g_host.code[kPasswordAddress] = 0xA5;
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(Text(dialog), "FLASH STATUS");
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), g_main_window);
    for (const auto& bank : ui::kBankFields) {
        EXPECT_EQ(Field(dialog, bank.margin), "50%");
        EXPECT_EQ(Field(dialog, bank.read), "1");
        EXPECT_EQ(Field(dialog, bank.erase), "0");
        EXPECT_EQ(Field(dialog, bank.program), "0");
        EXPECT_EQ(Field(dialog, bank.pwd), "0");
    }
    EXPECT_EQ(Field(dialog, ui::kPasswordField), "0xA5");
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, ui::kBankFields[0].margin));
    EXPECT_EQ(g_host.focus, reinterpret_cast<uintptr_t>(dialog)) << "activation reaches the host";
    RECT client{};
    GetClientRect(dialog, &client);
    const RECT size = DialogUnits(dialog, 0, 0, 287, 221);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    EXPECT_TRUE(Writes().empty());
}

TEST_F(Window, UpdateFollowsTheRegisters) {
    using R = flash::Reg;
    struct Case {
        std::vector<std::pair<R, uint32_t>> registers;
        std::vector<std::pair<int, const char*>> fields;
    };
    const auto& p0 = ui::kBankFields[0];
    const auto& p1 = ui::kBankFields[1];
    const auto& d1 = ui::kBankFields[4];
    const Case cases[] = {
        {{{R::FMARGIN, 0xFF}}, {{1035, "100%"}, {1043, "100%"}, {1058, "100%"}, {1063, "100%"}, {1069, "100%"}}},
        {{{R::FMARGIN, 0xFC}}, {{1035, "25%"}, {1043, "25%"}, {1058, "25%"}, {1063, "25%"}, {1069, "25%"}}},
        {{{R::FMARGIN, 0x2E}}, {{1035, "80%"}, {1069, "80%"}}},
        {{{R::FCTL_P0A, 0x20}, {R::FCTL_P0B, 0x40}}, {{p0.read, "0"}, {p0.erase, "1"}, {p0.program, "0"}}},
        {{{R::FCTL_P0A, 0x20}, {R::FCTL_P0B, 0x20}}, {{p0.read, "1"}, {p0.erase, "0"}}},
        {{{R::FCTL_P1A, 0x10}}, {{p1.pwd, "1"}, {p1.read, "0"}, {p0.pwd, "0"}}},
        {{{R::FCTL_D1, 0x80}}, {{d1.program, "1"}, {d1.read, "0"}, {p1.program, "0"}}},
    };
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    for (const auto& c : cases) {
        ASSERT_EQ(g_entry(PELTO_ENTRY_RESET, nullptr), 1u);
        for (const auto& [reg, value] : c.registers) g_host.sfr[flash::Id(reg)] = value;
        Update();
        for (const auto& [id, text] : c.fields)
            EXPECT_EQ(Field(dialog, id), text) << "field " << id << " after " << flash::Info(c.registers[0].first).name;
    }
}

TEST_F(Window, RefreshReplacesTextBeingTyped) {
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    Type(dialog, ui::kPasswordField, "4");
    ASSERT_EQ(Field(dialog, ui::kPasswordField), "4");
    g_host.code[kPasswordAddress] = 0x3C;
    g_host.calls.clear();
    Update();
    EXPECT_EQ(Field(dialog, ui::kPasswordField), "0x3C");
    EXPECT_TRUE(Writes().empty());
}

// ---- the password field -----------------------------------------------------------------------

TEST_F(Window, LeavingThePasswordFieldWritesTheByteAndFprot) {
    struct Case {
        const char* typed;
        uint8_t byte;
        uint8_t fprot;
    } cases[] = {{"12", 0x12, 0x01}, {"0x12", 0x12, 0x01}, {"12zz", 0x12, 0x01}, {"0", 0x00, 0x04}, {"80", 0x80, 0x03}};
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    for (const auto& c : cases) {
        g_host.code[kPasswordAddress] = 0x5A;
        g_host.calls.clear();
        Type(dialog, ui::kPasswordField, c.typed);
        ASSERT_EQ(Field(dialog, ui::kPasswordField), c.typed) << "the field takes the whole entry";
        Key(VK_TAB);
        EXPECT_NE(GetFocus(), GetDlgItem(dialog, ui::kPasswordField));
        const std::vector<Call> expected{{"PeltoWriteMemory", {0xFF00FE80, 1, c.byte}},
                                         {"PeltoWriteSFR", {kFprot, c.fprot, 0xFF}}};
        EXPECT_EQ(Writes(), expected) << c.typed;
        EXPECT_EQ(g_host.code[kPasswordAddress], c.byte) << c.typed;
        EXPECT_EQ(g_host.sfr[kFprot], c.fprot) << c.typed;
        EXPECT_EQ(Field(dialog, ui::kPasswordField), c.typed) << "no refresh follows";
    }
}

TEST_F(Window, WrongEntriesAreRefusedWithAMessageBox) {
    struct Case {
        const char* typed;
        const char* caption;
        const char* text;
    } cases[] = {{"zz", "Invalid number", kInvalidText},
                 {"", "Invalid number", kInvalidText},
                 {"1FF", "Out of range", kOutOfRangeText}};
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    for (const auto& c : cases) {
        g_host.code[kPasswordAddress] = 0x5A;
        g_host.sfr[kFprot] = 0x01;
        Type(dialog, ui::kPasswordField, c.typed);
        g_host.calls.clear();
        BoxWatcher watcher(c.caption);
        Key(VK_TAB);
        const BoxSeen seen = watcher.Wait();
        Pump();
        SCOPED_TRACE(std::string("typed \"") + c.typed + "\"");
        ASSERT_TRUE(seen.found);
        EXPECT_EQ(seen.text, c.text);
        EXPECT_EQ(seen.owner, dialog) << "owned by the field's window";
        EXPECT_TRUE(seen.hand_icon);
        EXPECT_EQ(seen.buttons, 1);
        EXPECT_TRUE(seen.has_ok);
        EXPECT_EQ(Field(dialog, ui::kPasswordField), "0x5A");
        EXPECT_TRUE(Writes().empty());
        EXPECT_EQ(g_host.code[kPasswordAddress], 0x5A);
        EXPECT_EQ(g_host.sfr[kFprot], 0x01u);
        EXPECT_TRUE(IsWindow(dialog));
    }
}

TEST_F(Window, EnterChangesNothing) {
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    Type(dialog, ui::kPasswordField, "45");
    g_host.calls.clear();
    Key(VK_RETURN);
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(descriptor_->window, reinterpret_cast<uintptr_t>(dialog));
    EXPECT_EQ(Field(dialog, ui::kPasswordField), "45");
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, ui::kPasswordField));
    EXPECT_TRUE(Writes().empty());
}

// ---- closing and reopening ----------------------------------------------------------------------

bool ClickCloseBox(HWND dialog) {
    const RECT r = WindowRect(dialog);
    for (LONG y = r.top; y < r.top + 40; ++y)
        for (LONG x = r.right - 1; x > r.right - 80; --x) {
            if (SendMessageA(dialog, WM_NCHITTEST, 0, MAKELPARAM(x, y)) != HTCLOSE) continue;
            const int width = GetSystemMetrics(SM_CXSCREEN) - 1, height = GetSystemMetrics(SM_CYSCREEN) - 1;
            INPUT input[3] = {};
            for (auto& i : input) {
                i.type = INPUT_MOUSE;
                i.mi.dx = x * 65535 / width;
                i.mi.dy = y * 65535 / height;
                i.mi.dwFlags = MOUSEEVENTF_ABSOLUTE;
            }
            input[0].mi.dwFlags |= MOUSEEVENTF_MOVE;
            input[1].mi.dwFlags |= MOUSEEVENTF_LEFTDOWN;
            input[2].mi.dwFlags |= MOUSEEVENTF_LEFTUP;
            return SendInput(3, input, sizeof(INPUT)) == 3;
        }
    return false;
}

enum class Way { kEscape, kCloseBox, kMenu, kKill };
struct CloseWay {
    Way way;
    const char* name;
    bool clears_host_word;
};
constexpr CloseWay kCloseWays[] = {{Way::kEscape, "Escape", false},
                                   {Way::kCloseBox, "close box", false},
                                   {Way::kMenu, "menu", true},
                                   {Way::kKill, "kill", true}};

// Closes the window the way a user or the host does; Escape goes to the focused control.
void CloseBy(Way way, HWND dialog, PeltoMenuItem* item) {
    switch (way) {
    case Way::kEscape:
        Key(VK_ESCAPE);
        break;
    case Way::kCloseBox:
        ASSERT_TRUE(ClickCloseBox(dialog)) << "no close box found";
        break;
    case Way::kMenu:
        item->callback(item);
        break;
    case Way::kKill:
        item->descriptor->kill(item->descriptor);
        break;
    }
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(dialog); }));
}

TEST_F(Window, EveryWayOfClosingSavesTheRectangleAndItReopensThere) {
    const auto& ways = kCloseWays;
    int shift = 0;
    for (const auto& w : ways) {
        SCOPED_TRACE(w.name);
        const HWND dialog = Open();
        ASSERT_NE(dialog, nullptr);
        shift += 37;
        SetWindowPos(dialog, nullptr, 60 + shift, 40 + shift / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        Pump();
        const RECT before = WindowRect(dialog);
        descriptor_->host_word1 = 0x77;
        g_host.calls.clear();

        if (w.way == Way::kEscape) {
            ASSERT_EQ(GetFocus(), GetDlgItem(dialog, ui::kBankFields[0].margin));
        }
        CloseBy(w.way, dialog, item_);
        EXPECT_EQ(descriptor_->window, 0u);
        EXPECT_EQ(descriptor_->saved_left, before.left);
        EXPECT_EQ(descriptor_->saved_top, before.top);
        EXPECT_EQ(descriptor_->saved_right, before.right);
        EXPECT_EQ(descriptor_->saved_bottom, before.bottom);
        EXPECT_EQ(descriptor_->host_word1, w.clears_host_word ? 0u : 0x77u);
        EXPECT_TRUE(Writes().empty());

        const HWND again = Open();
        ASSERT_NE(again, nullptr);
        const RECT after = WindowRect(again);
        EXPECT_EQ(after.left, before.left);
        EXPECT_EQ(after.top, before.top);
        EXPECT_EQ(after.right - after.left, before.right - before.left);
        EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);
        descriptor_->kill(descriptor_);
        Pump();
        descriptor_->host_word1 = 0;
    }
}

// A refused entry shows the stored byte again and writes nothing; the field's last loss of the
// focus when the window closes, whichever way, must not commit that shown value.
TEST_F(Window, ClosingAfterARefusedEntryWritesNothing) {
    for (const auto& w : kCloseWays) {
        SCOPED_TRACE(w.name);
        g_host.code[kPasswordAddress] = 0x5A;
        g_host.sfr[kFprot] = 0x04;  // what 0x5A would not give
        const HWND dialog = Open();
        ASSERT_NE(dialog, nullptr);
        Type(dialog, ui::kPasswordField, "zz");
        {
            BoxWatcher watcher("Invalid number");
            Key(VK_TAB);
            ASSERT_TRUE(watcher.Wait().found);
        }
        Pump();
        ASSERT_EQ(Field(dialog, ui::kPasswordField), "0x5A");
        SetFocus(GetDlgItem(dialog, ui::kPasswordField));
        Pump();
        g_host.calls.clear();
        CloseBy(w.way, dialog, item_);
        EXPECT_TRUE(Writes().empty());
        EXPECT_EQ(g_host.code[kPasswordAddress], 0x5A);
        EXPECT_EQ(g_host.sfr[kFprot], 0x04u);
    }
}

// A good entry not yet committed when the window closes is committed by the field's last loss
// of the focus, whichever way the window goes.
TEST_F(Window, ClosingWithAnUnsavedValidEntryCommitsIt) {
    for (const auto& w : kCloseWays) {
        SCOPED_TRACE(w.name);
        g_host.code[kPasswordAddress] = 0x00;
        g_host.sfr[kFprot] = 0x04;
        const HWND dialog = Open();
        ASSERT_NE(dialog, nullptr);
        Type(dialog, ui::kPasswordField, "0x83");
        g_host.calls.clear();
        CloseBy(w.way, dialog, item_);
        const std::vector<Call> expected{{"PeltoWriteMemory", {0xFF00FE80, 1, 0x83}},
                                         {"PeltoWriteSFR", {kFprot, 0x03, 0xFF}}};
        EXPECT_EQ(Writes(), expected);
        EXPECT_EQ(g_host.code[kPasswordAddress], 0x83);
        EXPECT_EQ(g_host.sfr[kFprot], 0x03u);
    }
}

TEST_F(Window, WithoutASavedLeftEdgeItOpensAtTheTemplatePosition) {
    descriptor_->saved_left = -1;
    descriptor_->saved_top = 300;
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    // The template position is that of the client area, from the owner's client area.
    const auto client_origin = [](HWND window) {
        POINT p{0, 0};
        ClientToScreen(window, &p);
        return p;
    };
    const POINT origin = client_origin(g_main_window);
    const RECT offset = DialogUnits(dialog, 110, 60, 0, 0);
    EXPECT_EQ(client_origin(dialog).x, origin.x + offset.left);
    EXPECT_EQ(client_origin(dialog).y, origin.y + offset.top);

    // A close at a left edge of exactly -1 looks like no saved position.
    SetWindowPos(dialog, nullptr, -1, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    descriptor_->kill(descriptor_);
    Pump();
    ASSERT_EQ(descriptor_->saved_left, -1);
    const HWND again = Open();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(client_origin(again).x, origin.x + offset.left);
    EXPECT_EQ(client_origin(again).y, origin.y + offset.top);
}

TEST_F(Window, UpdateAndKillWithoutAWindowChangeNothing) {
    for (uintptr_t window_field : {uintptr_t{0}, uintptr_t{0x1234}}) {
        descriptor_->host_word1 = 5;
        descriptor_->window = window_field;
        PeltoWindowDescriptor before;
        std::memcpy(&before, descriptor_, sizeof before);
        g_host.calls.clear();
        descriptor_->update();
        descriptor_->kill(descriptor_);
        Pump();
        EXPECT_TRUE(g_host.calls.empty()) << window_field;
        EXPECT_EQ(std::memcmp(&before, descriptor_, sizeof before), 0) << window_field;
    }
    descriptor_->host_word1 = 0;
    descriptor_->window = 0;
}

TEST_F(Window, ActivationIsReportedToTheHost) {
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    const auto handle = reinterpret_cast<uintptr_t>(dialog);
    EXPECT_EQ(g_host.focus_log, std::vector<uintptr_t>{handle});
    SetActiveWindow(g_main_window);
    Pump();
    SetActiveWindow(dialog);
    Pump();
    EXPECT_EQ(g_host.focus_log, (std::vector<uintptr_t>{handle, 0, handle}));
}

// ---- faults the window must survive -------------------------------------------------------------

HHOOK g_creation_hook = nullptr;
const char* g_refused_class = nullptr;

LRESULT CALLBACK RefuseCreation(int code, WPARAM wparam, LPARAM lparam) {
    if (code == HCBT_CREATEWND) {
        char cls[32] = {};
        GetClassNameA(reinterpret_cast<HWND>(wparam), cls, sizeof cls);
        if (lstrcmpiA(cls, g_refused_class) == 0) return 1;
    }
    return CallNextHookEx(g_creation_hook, code, wparam, lparam);
}

TEST_F(Window, AWindowThatCannotBeCreatedIsNotClaimedOpen) {
    // The dialog itself, or one of its controls, cannot be made.
    for (const char* refused : {"#32770", "Edit"}) {
        SCOPED_TRACE(refused);
        g_refused_class = refused;
        g_creation_hook = SetWindowsHookExA(WH_CBT, RefuseCreation, nullptr, GetCurrentThreadId());
        ASSERT_NE(g_creation_hook, nullptr);
        const HWND dialog = Open();
        UnhookWindowsHookEx(g_creation_hook);
        EXPECT_EQ(dialog, nullptr);
        EXPECT_EQ(FindWindowA("#32770", "FLASH STATUS"), nullptr);
        descriptor_->host_word1 = 9;
        PeltoWindowDescriptor before;
        std::memcpy(&before, descriptor_, sizeof before);
        g_host.calls.clear();
        descriptor_->update();
        descriptor_->kill(descriptor_);
        EXPECT_TRUE(g_host.calls.empty()) << "no window is left to update or close";
        EXPECT_EQ(std::memcmp(&before, descriptor_, sizeof before), 0);
        descriptor_->host_word1 = 0;

        const HWND later = Open();
        ASSERT_NE(later, nullptr) << "the menu entry still opens a window";
        EXPECT_EQ(Field(later, ui::kBankFields[0].margin), "50%");
        descriptor_->kill(descriptor_);
        Pump();
    }
}

TEST_F(Window, ClosingWithItsOwnerLeavesTheMenuUsable) {
    const HWND owner = CreateWindowExA(0, "PeltoTestHost", "other owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 500, 20,
                                       200, 120, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(owner, nullptr);
    SetActiveWindow(owner);
    Pump();
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(GetWindow(dialog, GW_OWNER), owner);
    DestroyWindow(owner);
    Pump();
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(descriptor_->window, 0u) << "the descriptor must not name a destroyed window";
    SetActiveWindow(g_main_window);
    const HWND again = Open();
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(IsWindowVisible(again));
}

PeltoWindowDescriptor* g_kill_target = nullptr;
bool g_killed_under_box = false;

void CALLBACK KillWhileBoxIsUp(HWND, UINT, UINT_PTR timer, DWORD) {
    if (FindWindowA("#32770", "Invalid number") == nullptr) return;
    KillTimer(nullptr, timer);
    g_killed_under_box = true;
    g_kill_target->kill(g_kill_target);
}

TEST_F(Window, KillWhileAMessageBoxIsUp) {
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    g_host.code[kPasswordAddress] = 0x21;
    Type(dialog, ui::kPasswordField, "zz");
    g_host.calls.clear();
    g_kill_target = descriptor_;
    g_killed_under_box = false;
    descriptor_->host_word1 = 3;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, KillWhileBoxIsUp);
    // Dismisses the box only if the kill failed to take it down.
    BoxWatcher watcher("Invalid number", 3000);
    Key(VK_TAB);
    watcher.Wait();
    KillTimer(nullptr, timer);
    Pump();
    EXPECT_TRUE(g_killed_under_box);
    EXPECT_FALSE(watcher.HadToDismiss()) << "closing the window takes its message box along";
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(descriptor_->window, 0u);
    EXPECT_EQ(descriptor_->host_word1, 0u);
    EXPECT_TRUE(Writes().empty());

    const HWND again = Open();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Field(again, ui::kPasswordField), "0x21");
    Update();
    EXPECT_EQ(Field(again, ui::kBankFields[0].read), "1");
}

// ---- a picture for people ---------------------------------------------------------------------

TEST_F(Window, Screenshot) {
    ASSERT_FALSE(g_screenshot_directory.empty()) << "run through run-window-test, which takes the picture";
    g_host.sfr[kFmargin] = 0x2E;
    g_host.sfr[flash::Id(flash::Reg::FCTL_P1A)] = 0x40;
    g_host.sfr[flash::Id(flash::Reg::FCTL_P1B)] = 0x40;
    g_host.sfr[flash::Id(flash::Reg::FCTL_D0)] = 0x80;
    g_host.code[kPasswordAddress] = 0x5A;
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    UpdateWindow(dialog);
    PumpFor(500);
    const RECT r = WindowRect(dialog);
    const std::string done = g_screenshot_directory + "\\done";
    DeleteFileA(done.c_str());
    {
        std::ofstream request(g_screenshot_directory + "\\request.tmp");
        request << r.left << ' ' << r.top << ' ' << (r.right - r.left) << ' ' << (r.bottom - r.top) << '\n';
    }
    MoveFileA((g_screenshot_directory + "\\request.tmp").c_str(), (g_screenshot_directory + "\\request").c_str());
    EXPECT_TRUE(PumpUntil([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, 30000))
        << "nobody took the picture";
}

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s LIBRARY [SCREENSHOT-DIRECTORY]\n", argv[0]);
        return 2;
    }
    if (argc > 2) g_screenshot_directory = argv[2];

    WNDCLASSA main_class{};
    main_class.lpfnWndProc = MainWindowProc;
    main_class.hInstance = GetModuleHandleA(nullptr);
    main_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
    main_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    main_class.lpszClassName = "PeltoTestHost";
    RegisterClassA(&main_class);
    g_main_window = CreateWindowExA(0, "PeltoTestHost", "test host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 640,
                                    480, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (g_main_window == nullptr) {
        std::fprintf(stderr, "cannot create the host window\n");
        return 1;
    }
    Pump();

    g_library = LoadLibraryA(argv[1]);
    if (g_library == nullptr) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    g_entry = reinterpret_cast<PeltoEntryFunction>(reinterpret_cast<void (*)()>(GetProcAddress(g_library, "PeltoEntry")));
    PeltoCheckRecord check{PELTO_PROCESSOR_8051};
    PeltoStartupRecord startup{reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)), {}};
    if (g_entry == nullptr || g_entry(PELTO_ENTRY_CHECK, &check) != 1 || g_entry(PELTO_ENTRY_START, &startup) != 1 ||
        g_entry(PELTO_ENTRY_RESET, nullptr) != 1) {
        std::fprintf(stderr, "the library did not start\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
