// An extension that refuses every processor.
#include "pelto/pelto.h"

extern "C" PELTO_EXPORT uint32_t PeltoEntry(uint32_t, void*) { return 0; }
