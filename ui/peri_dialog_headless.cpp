// The status window where there is no window system (the native Linux build).
//
// Start-up still defines the "&Flash" menu entry, so a host lists it as usual. Choosing it does
// nothing: no window can exist, so the window pointer stays empty, descriptor field 2 stays 0, no
// host service is called and the records are left untouched. Update and kill therefore never
// find a window to act on and do nothing either.
#include "status_window.h"

namespace ui {

void PeriDialogMenu(PeltoMenuItem*) {}
void PeriDialogUpdate() {}
void PeriDialogKill(PeltoWindowDescriptor*) {}

}  // namespace ui
