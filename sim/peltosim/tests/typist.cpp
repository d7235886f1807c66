// Types into the password field of the status window that another process (pelto-sim) shows,
// the way a user does: clicks into the field, selects its text, types one character at a time
// with a pause between them (longer than the host's update interval), then presses Tab to leave
// the field. The window's own thread sees only posted input, as it sees a user's.
//
// usage: typist TEXT PAUSE_MS
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ui/status_ids.h"

namespace {

constexpr char kCaption[] = "FLASH STATUS";  // the dialog template's caption
constexpr auto kFindTimeout = std::chrono::seconds(90);
constexpr auto kFindPoll = std::chrono::milliseconds(100);
constexpr LPARAM kKeyDown = 1;  // repeat count 1
constexpr LPARAM kKeyUp = kKeyDown | (LPARAM{1} << 30) | static_cast<LPARAM>(0x80000000u);
constexpr LPARAM kInsideField = MAKELPARAM(2, 2);
constexpr UINT kSendTimeoutMs = 5000;

// The status window once it is shown with its controls: FindWindow can see the dialog while it
// is still being created, before its fields exist.
HWND FindPasswordField() {
    const auto end = std::chrono::steady_clock::now() + kFindTimeout;
    while (std::chrono::steady_clock::now() < end) {
        const HWND window = FindWindowA(nullptr, kCaption);
        if (window != nullptr && IsWindowVisible(window))
            if (const HWND field = GetDlgItem(window, ui::kPasswordField)) return field;
        std::this_thread::sleep_for(kFindPoll);
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: typist TEXT PAUSE_MS\n");
        return 2;
    }
    const std::string text = argv[1];
    const auto pause = std::chrono::milliseconds(std::atoi(argv[2]));
    const HWND field = FindPasswordField();
    if (field == nullptr) {
        std::fprintf(stderr, "typist: no '%s' window with a password field appeared\n", kCaption);
        return 1;
    }
    PostMessageA(field, WM_LBUTTONDOWN, MK_LBUTTON, kInsideField);
    PostMessageA(field, WM_LBUTTONUP, 0, kInsideField);
    std::this_thread::sleep_for(pause);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(field, EM_SETSEL, 0, -1, SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
    for (char c : text) {
        PostMessageA(field, WM_CHAR, static_cast<unsigned char>(c), kKeyDown);
        std::this_thread::sleep_for(pause);
    }
    PostMessageA(field, WM_KEYDOWN, VK_TAB, kKeyDown);
    PostMessageA(field, WM_KEYUP, VK_TAB, kKeyUp);
    std::printf("typist: typed '%s' into the password field and pressed Tab\n", text.c_str());
    return 0;
}
