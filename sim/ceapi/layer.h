// Included by every header of the platform stand-in: the board's hardware models sit below the
// stand-in and are built with TAMBLIN_HARDWARE_MODEL, so reaching up into it fails the build.
#pragma once

#ifdef TAMBLIN_HARDWARE_MODEL
#error "a hardware model (sim/board) must not depend on the platform stand-in (sim/ceapi)"
#endif
