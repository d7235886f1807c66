// A modeless dialog over plain Win32 whose object lives exactly as long as its window.
//
// Create() makes the window from a template and hands the object to it. Messages reach the
// object through a subclassed window procedure: first the derived class's handler table, then
// the IDOK and IDCANCEL commands (OnOK, OnCancel), then the dialog manager's default processing.
// Once the window is destroyed, PostNcDestroy runs, where an object may delete itself; it waits
// until no handler of the object is on the stack, because a handler that shows a message box can
// see its window destroyed while the box is up.
#pragma once

#include <windows.h>

#include <span>

namespace ui {

class ModelessDialog {
public:
    ModelessDialog() = default;
    ModelessDialog(const ModelessDialog&) = delete;
    ModelessDialog& operator=(const ModelessDialog&) = delete;
    // Destroys a window that is still there (the object deleted from outside).
    virtual ~ModelessDialog();

    // Creates the window of `dialog` from template `template_id` of `module`, owned by `owner`.
    // On success the window owns the object. On failure the result is null and the object has
    // already been through PostNcDestroy, as if its window had been destroyed.
    static HWND Create(ModelessDialog* dialog, HINSTANCE module, int template_id, HWND owner);

    // The window; after its destruction the stale handle, for comparison only.
    HWND Handle() const { return hwnd_; }

protected:
    using Handler = LRESULT (*)(ModelessDialog& self, WPARAM wparam, LPARAM lparam);
    struct MessageEntry {
        UINT message;
        WORD notification;  // for WM_COMMAND: the notification code and control that match
        WORD control;
        Handler handler;
    };
    template <class Derived, LRESULT (Derived::*Member)(WPARAM, LPARAM)>
    static LRESULT Call(ModelessDialog& self, WPARAM wparam, LPARAM lparam) {
        return (static_cast<Derived&>(self).*Member)(wparam, lparam);
    }

    virtual std::span<const MessageEntry> MessageTable() const;
    virtual void PostNcDestroy();
    // WM_INITDIALOG; nonzero lets the system put the focus on the first tab stop.
    virtual BOOL OnInitDialog();
    // The defaults end a modeless dialog by destroying its window.
    virtual void OnOK();
    virtual void OnCancel();

    // The dialog manager's processing of a message.
    LRESULT Default(UINT message, WPARAM wparam, LPARAM lparam);

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    LRESULT Dispatch(UINT message, WPARAM wparam, LPARAM lparam);
    void Attach(HWND hwnd);
    void Detach();
    void Enter() { ++depth_; }
    void Leave();

    HWND hwnd_ = nullptr;
    WNDPROC dialog_manager_ = nullptr;  // the window procedure before subclassing
    bool attached_ = false;
    bool gone_ = false;  // the window is destroyed, or was never made
    int depth_ = 0;      // calls into this object still on the stack
};

}  // namespace ui
