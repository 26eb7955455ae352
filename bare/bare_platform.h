// What the bare board's platform layer counts, for the checks.
#pragma once

#include <windows.h>

struct BareStats {
    DWORD irqDeliveries[32];  // IRQs taken, per interrupt-controller input
    DWORD interruptDones;     // InterruptDone calls
    DWORD waitTimeouts;       // event waits that ran out
    DWORD bridgeRequests;     // IOCTL_KERNEL_BRIDGE (or any unknown) requests
    DWORD liveObjects;        // mutexes and events not yet closed
    DWORD liveSysIntrs;       // SYSINTRs not yet released
    DWORD liveWindows;        // register windows not yet freed
};

const BareStats& BareGetStats(void);
void BareResetIrqCounts(void);
