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

// A program's process on this board: what it holds when it ends (objects it made, references it
// took, SYSINTRs, register windows) is taken back, as the kernel does.
void BareProcessStart(void);
void BareProcessEnd(void);

// What the program did to the board's clock and notification database.
struct BareProcessRecord {
    DWORD daylight;             // the kernel's daylight flag, as SetDaylightTime last left it
    DWORD daylightSets;         // SetDaylightTime calls
    DWORD clockSets;            // SetSystemTime calls that set the clock
    DWORD runAppAtTimeCancels;  // CeRunAppAtTime(name, null) calls
    DWORD startedSignals;       // SignalStarted calls
    DWORD lastStarted;          // the launch number of the last one
};
const BareProcessRecord& BareGetProcessRecord(void);
// Sets a value of the program's key in the image's registry, for the checks of another board's
// configuration (the chip on the power-manager unit's bus).
void BareSetProgramValue(const WCHAR* name, DWORD value);
DWORD BareNotificationCount(void);
// The index-th registration's application and arguments (null: none); false past the last.
bool BareNotification(DWORD index, const WCHAR** application, const WCHAR** arguments);
