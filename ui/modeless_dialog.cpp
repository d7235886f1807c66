#include "modeless_dialog.h"

namespace ui {

ModelessDialog::~ModelessDialog() {
    if (!attached_) return;
    const HWND hwnd = hwnd_;
    Detach();
    DestroyWindow(hwnd);
}

HWND ModelessDialog::Create(ModelessDialog* dialog, HINSTANCE module, int template_id, HWND owner) {
    // Held across creation so that a window destroyed during it cannot take the object along
    // before this function is done with it.
    dialog->Enter();
    const HWND hwnd = CreateDialogParamA(module, MAKEINTRESOURCEA(template_id), owner, DialogProc,
                                         reinterpret_cast<LPARAM>(dialog));
    if (hwnd == nullptr) {
        dialog->Detach();
        dialog->gone_ = true;
    }
    dialog->Leave();
    return hwnd;
}

std::span<const ModelessDialog::MessageEntry> ModelessDialog::MessageTable() const { return {}; }
void ModelessDialog::PostNcDestroy() {}
BOOL ModelessDialog::OnInitDialog() { return TRUE; }
void ModelessDialog::OnOK() { DestroyWindow(hwnd_); }
void ModelessDialog::OnCancel() { DestroyWindow(hwnd_); }

LRESULT ModelessDialog::Default(UINT message, WPARAM wparam, LPARAM lparam) {
    return CallWindowProcA(dialog_manager_, hwnd_, message, wparam, lparam);
}

void ModelessDialog::Attach(HWND hwnd) {
    hwnd_ = hwnd;
    attached_ = true;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    dialog_manager_ =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc)));
}

void ModelessDialog::Detach() {
    if (!attached_) return;
    SetWindowLongPtrA(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(dialog_manager_));
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
    attached_ = false;
}

void ModelessDialog::Leave() {
    if (--depth_ == 0 && gone_) PostNcDestroy();
}

INT_PTR CALLBACK ModelessDialog::DialogProc(HWND hwnd, UINT message, WPARAM, LPARAM lparam) {
    // Every later message reaches the object through WindowProc; the dialog manager calls this
    // procedure only to let it decline them.
    if (message != WM_INITDIALOG) return FALSE;
    auto* self = reinterpret_cast<ModelessDialog*>(lparam);
    self->Attach(hwnd);
    self->Enter();
    const BOOL result = self->OnInitDialog();
    self->Leave();
    return result;
}

LRESULT CALLBACK ModelessDialog::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<ModelessDialog*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    // Reached through a procedure chained after ours once the object let go of the window.
    if (self == nullptr) return DefDlgProcA(hwnd, message, wparam, lparam);
    self->Enter();
    const LRESULT result = self->Dispatch(message, wparam, lparam);
    if (message == WM_NCDESTROY) {
        self->Detach();
        self->gone_ = true;
    }
    self->Leave();
    return result;
}

LRESULT ModelessDialog::Dispatch(UINT message, WPARAM wparam, LPARAM lparam) {
    for (const MessageEntry& entry : MessageTable()) {
        if (entry.message != message) continue;
        if (message == WM_COMMAND && (HIWORD(wparam) != entry.notification || LOWORD(wparam) != entry.control))
            continue;
        return entry.handler(*this, wparam, lparam);
    }
    if (message == WM_COMMAND && HIWORD(wparam) == BN_CLICKED) {
        switch (LOWORD(wparam)) {
        case IDOK:
            OnOK();
            return 0;
        case IDCANCEL:
            OnCancel();
            return 0;
        default:
            break;
        }
    }
    return Default(message, wparam, lparam);
}

}  // namespace ui
