#include <unistd.h>

#include "settle.h"

void SettleDisk() { ::sync(); }
