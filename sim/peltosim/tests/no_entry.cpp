// A library that is not an extension: it has no PeltoEntry.
#include "pelto/pelto.h"

extern "C" PELTO_EXPORT int NotAnExtension(void) { return 1; }
