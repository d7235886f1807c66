// The "FLASH STATUS" window as the host sees it: the menu item record handed to the host at
// start-up, the window descriptor it points to, and the three functions the host calls.
//
// Choosing the menu entry opens the window, choosing it again closes it; at most one window
// exists. Descriptor field 2 (window) is nonzero exactly while a window is open, and the saved
// rectangle (fields 4 to 7) holds where it was at its last close.
#pragma once

#include "services/services.h"
#include "pelto/pelto.h"

namespace ui {

PeltoMenuItem& TheMenuItem();
PeltoWindowDescriptor& TheDescriptor();

inline constexpr int32_t kNoSavedPosition = -1;

// The service table the window calls through, handed over at start-up. The window calls nothing
// while the table is incomplete (a later start-up found a service missing).
void UseServices(const host::Services& services);
// The table handed over, or nullptr when none is or it is incomplete.
const host::Services* UsableServices();

// Opens the window when the descriptor names none, else closes it through PeriDialogKill.
void PeriDialogMenu(PeltoMenuItem* item);
// Refreshes the open window; nothing when none is open.
void PeriDialogUpdate();
// Closes the open window (saving its rectangle) and clears descriptor fields 1 and 2; nothing at
// all when no window is open.
void PeriDialogKill(PeltoWindowDescriptor* descriptor);

}  // namespace ui
