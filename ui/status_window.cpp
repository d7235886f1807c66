#include "status_window.h"

#include "status_ids.h"

namespace ui {
namespace {

constexpr uint32_t kMenuHostWord1 = 1;
constexpr char kMenuText[] = "&Flash";

PeltoWindowDescriptor g_descriptor{0,
                                   0,
                                   0,
                                   kNoSavedPosition,
                                   kNoSavedPosition,
                                   kNoSavedPosition,
                                   kNoSavedPosition,
                                   PeriDialogUpdate,
                                   PeriDialogKill};

const host::Services* g_services = nullptr;

// The host reads the identifier only; it matches the template so hosts can tell windows apart.
PeltoMenuItem g_menu_item{kMenuHostWord1, kMenuText, PeriDialogMenu, 0, kTemplateId, &g_descriptor};

}  // namespace

PeltoMenuItem& TheMenuItem() { return g_menu_item; }
PeltoWindowDescriptor& TheDescriptor() { return g_descriptor; }

void UseServices(const host::Services& services) { g_services = &services; }
const host::Services* UsableServices() { return g_services != nullptr && g_services->Complete() ? g_services : nullptr; }

}  // namespace ui
