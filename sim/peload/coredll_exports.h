// COREDLL.dll as a loader binds a program's imports to it here: each export the program may import
// (device/coredll_imports.h) is a shim that bridges the platform's calling convention to the
// function of the same name in the platform layer it runs on (the virtual board's stand-in under
// qemu-arm, the bare image's own platform layer on QEMU's mainstone).
#pragma once

#include <stdint.h>

namespace peload {

// The shim of `name` when `dll` is COREDLL.dll (in any letter case), else 0.
uint32_t CoredllExport(const char* dll, const char* name);

}  // namespace peload
