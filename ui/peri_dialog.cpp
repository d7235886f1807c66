#include "peri_dialog.h"

#include <string>

#include "status_ids.h"
#include "status_logic.h"
#include "status_window.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace ui {
namespace {

// The one window while it exists.
PeriDialog* g_window = nullptr;


// The module holding the dialog template: this library, whoever loaded it.
HINSTANCE ThisModule() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

constexpr UINT kPositionOnly = SWP_NOSIZE | SWP_NOZORDER;
constexpr UINT kWarningBeep = MB_ICONEXCLAMATION;
constexpr UINT kWarningStyle = MB_OK | MB_ICONHAND;

class WindowSurface final : public DialogSurface {
public:
    explicit WindowSurface(HWND dialog) : dialog_(dialog) {}

    std::string Text(int control) const override {
        char text[kTextBufferSize] = {};
        GetWindowTextA(GetDlgItem(dialog_, control), text, static_cast<int>(sizeof text));
        return text;
    }
    void SetText(int control, const std::string& text) override {
        SetDlgItemTextA(dialog_, control, text.c_str());
        SendDlgItemMessageA(dialog_, control, EM_SETMODIFY, FALSE, 0);
    }
    bool Edited(int control) const override { return SendDlgItemMessageA(dialog_, control, EM_GETMODIFY, 0, 0) != 0; }
    void Warn(int control, const Warning& warning) override {
        MessageBeep(kWarningBeep);
        MessageBoxA(GetDlgItem(dialog_, control), warning.text, warning.caption, kWarningStyle);
    }

private:
    HWND dialog_;
};

}  // namespace

std::span<const ModelessDialog::MessageEntry> PeriDialog::MessageTable() const {
    static constexpr MessageEntry kMessages[] = {
        {WM_CLOSE, 0, 0, &Call<PeriDialog, &PeriDialog::OnClose>},
        {WM_ACTIVATE, 0, 0, &Call<PeriDialog, &PeriDialog::OnActivate>},
        {WM_COMMAND, EN_KILLFOCUS, kPasswordField, &Call<PeriDialog, &PeriDialog::OnPasswordKillFocus>},
    };
    return kMessages;
}

void PeriDialog::Refresh() {
    const host::Services* services = UsableServices();
    if (services == nullptr) return;
    WindowSurface surface(Handle());
    ShowRefresh(surface, ReadRefreshValues(*services));
}

BOOL PeriDialog::OnInitDialog() {
    ModelessDialog::OnInitDialog();
    RestorePosition();
    Refresh();
    return TRUE;
}

void PeriDialog::RestorePosition() {
    const PeltoWindowDescriptor& d = *item_->descriptor;
    // Only the left edge tells whether a position was saved.
    if (d.saved_left == kNoSavedPosition) return;
    SetWindowPos(Handle(), nullptr, d.saved_left, d.saved_top, 0, 0, kPositionOnly);
}

// Enter neither closes the window nor commits the password field.
void PeriDialog::OnOK() {}

void PeriDialog::OnCancel() { Close(); }

LRESULT PeriDialog::OnClose(WPARAM, LPARAM) {
    Close();
    return 0;
}

void PeriDialog::Close() {
    PeltoWindowDescriptor& d = *item_->descriptor;
    RECT r{};
    GetWindowRect(Handle(), &r);
    d.saved_left = r.left;
    d.saved_top = r.top;
    d.saved_right = r.right;
    d.saved_bottom = r.bottom;
    d.window = 0;
    DestroyWindow(Handle());
}

LRESULT PeriDialog::OnActivate(WPARAM wparam, LPARAM lparam) {
    const LRESULT result = Default(WM_ACTIVATE, wparam, lparam);
    const host::Services* services = UsableServices();
    if (services == nullptr) return result;
    switch (LOWORD(wparam)) {
    case WA_INACTIVE:
        services->HandleFocus(0);
        break;
    case WA_ACTIVE:
    case WA_CLICKACTIVE:
        services->HandleFocus(reinterpret_cast<uintptr_t>(Handle()));
        break;
    default:
        break;
    }
    return result;
}

LRESULT PeriDialog::OnPasswordKillFocus(WPARAM, LPARAM) {
    const host::Services* services = UsableServices();
    if (services == nullptr) return 0;
    WindowSurface surface(Handle());
    CommitPassword(*services, surface, password_);
    return 0;
}

void PeriDialog::PostNcDestroy() {
    if (g_window == this) g_window = nullptr;
    // The window can also go without Close(), for instance together with its owner; the
    // descriptor must not go on naming it, or the menu entry could never open a window again.
    PeltoWindowDescriptor& d = *item_->descriptor;
    if (Handle() != nullptr && d.window == reinterpret_cast<uintptr_t>(Handle())) d.window = 0;
    delete this;
}

void PeriDialogMenu(PeltoMenuItem* item) {
    if (item == nullptr || item->descriptor == nullptr) return;
    if (item->descriptor->window != 0) {
        PeriDialogKill(item->descriptor);
        return;
    }
    auto* dialog = new PeriDialog(item);
    const HWND hwnd = ModelessDialog::Create(dialog, ThisModule(), kTemplateId, GetActiveWindow());
    // Without a window the object is gone already, and nothing may claim an open window.
    if (hwnd == nullptr) return;
    g_window = dialog;
    item->descriptor->window = reinterpret_cast<uintptr_t>(hwnd);
}

void PeriDialogUpdate() {
    if (g_window != nullptr) g_window->Refresh();
}

void PeriDialogKill(PeltoWindowDescriptor* descriptor) {
    if (g_window == nullptr) return;
    // Sent, not posted: the window is closed and its rectangle saved when this returns.
    SendMessageA(g_window->Handle(), WM_CLOSE, 0, 0);
    g_window = nullptr;
    if (descriptor == nullptr) return;
    descriptor->host_word1 = 0;
    descriptor->window = 0;
}

}  // namespace ui
