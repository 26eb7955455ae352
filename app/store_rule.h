// The store's rule: whether the system time may be written to the chip at all.
#pragma once

#include <windows.h>

// When not, it has said so in the debug log.
int StoreMayWrite(const SYSTEMTIME* now);
