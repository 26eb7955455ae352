// The store path as the program always made it: the system time read holding the bus, written
// through the protocol's routine at once.
#pragma once

#include "chip_run.h"

void StoreWrite(ChipRun* run);
