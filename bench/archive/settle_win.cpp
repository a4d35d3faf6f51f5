#include <windows.h>

#include "settle.h"

// Flushing a whole volume needs administrator rights; a pause lets the
// system's lazy writer catch up instead.
void SettleDisk() { ::Sleep(2000); }
