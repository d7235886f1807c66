#include "window_loop.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace peltosim {

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

void WindowLoop::Poll() {
#if defined(_WIN32)
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
#endif
    host_.UpdateWindows();
}

void WindowLoop::Finish(bool keep_open) {
    if (!chosen_) return;
    host_.UpdateWindows();
#if defined(_WIN32)
    MSG message;
    while (keep_open && AnyWindowOpen() && GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
#else
    (void)keep_open;  // no windows on this platform
#endif
}

}  // namespace peltosim
