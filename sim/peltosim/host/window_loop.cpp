#include "sim/peltosim/host/window_loop.h"

#include <algorithm>

#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace peltosim {
namespace {

#if defined(_WIN32)
constexpr char kEditClass[] = "Edit";
constexpr int kClassNameLength = 16;

// The user has typed into the focused edit field of `window` and not left it yet.
bool UserIsEditing(HWND window) {
    const HWND focus = GetFocus();
    if (focus == nullptr || !IsChild(window, focus)) return false;
    char name[kClassNameLength] = {};
    GetClassNameA(focus, name, kClassNameLength);
    return lstrcmpiA(name, kEditClass) == 0 && SendMessageA(focus, EM_GETMODIFY, 0, 0) != 0;
}

bool ForDialog(const std::vector<PeltoMenuItem*>& items, MSG& message) {
    for (const PeltoMenuItem* item : items)
        if (item->descriptor && item->descriptor->window &&
            IsDialogMessageA(reinterpret_cast<HWND>(item->descriptor->window), &message))
            return true;
    return false;
}
#endif

}  // namespace

bool UpdateThrottle::Due(Clock::time_point now) {
    if (updated_ && now - last_ < std::max(interval_, spent_ * budget_factor_)) return false;
    updated_ = true;
    last_ = now;
    return true;
}

bool WindowLoop::Choose(const std::string& text, std::string& error) {
    for (PeltoMenuItem* item : host_.menu_items()) {
        if (item->text == nullptr || text != item->text) continue;
        if (item->callback) item->callback(item);
        chosen_ = true;
        return true;
    }
    error = "no extension has a menu entry '" + text + "'";
    return false;
}

bool WindowLoop::AnyWindowOpen() const {
    for (const PeltoMenuItem* item : host_.menu_items())
        if (item->descriptor && item->descriptor->window) return true;
    return false;
}

void WindowLoop::UpdateWindows() {
    // Copied: an update may define further entries.
    for (PeltoMenuItem* item : std::vector<PeltoMenuItem*>(host_.menu_items())) {
        if (!item->descriptor || !item->descriptor->window || !item->descriptor->update) continue;
#if defined(_WIN32)
        if (UserIsEditing(reinterpret_cast<HWND>(item->descriptor->window))) continue;
#endif
        item->descriptor->update();
    }
}

void WindowLoop::Dispatch() {
#if defined(_WIN32)
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (ForDialog(host_.menu_items(), message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
#endif
}

void WindowLoop::Poll() {
    const auto now = UpdateThrottle::Clock::now();
    if (pump_.Due(now)) Dispatch();
    if (!throttle_.Due(now)) return;
    UpdateWindows();
    throttle_.Took(UpdateThrottle::Clock::now() - now);
}

void WindowLoop::Finish(bool keep_open) {
    if (!chosen_) return;
    Dispatch();
    UpdateWindows();
#if defined(_WIN32)
    MSG message;
    while (keep_open && AnyWindowOpen() && GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (ForDialog(host_.menu_items(), message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
#else
    (void)keep_open;  // no windows on this platform
#endif
}

}  // namespace peltosim
