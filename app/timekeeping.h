// The one seam of the registry's Precise and DriftCorrection values. WinMain chooses a way once,
// when it has read the configuration; the restore and the store call through it and know no
// option. The plain way is the program as it always was; the timed way takes the chip's time at
// its second edge and corrects it for drift, and writes the chip in line with the system's second.
#pragma once

#include "../rtc/rtc.h"
#include "config.h"
#include "counter.h"

// One run's chip, once WinMain has the bus: its protocol's row and address, the options, and the
// time each path works on.
typedef struct ChipRun {
    const RtcProtocolEntry* entry;
    BYTE slave;
    AppOptions options;
    int zoneChange;     // store: started for a change of the time zone
    SYSTEMTIME time;    // restore: the chip's time; store: the system time to write
    DWORD readTick;     // restore, plain way: the tick count at the chip's read
    TimePoint reading;  // restore, timed way: the chip's time (corrected) at a counter moment
} ChipRun;

typedef void (*ChipRunStep)(ChipRun* run);

typedef struct Timekeeping {
    // The restore: just after the chip's read, the bus still held; after the bus is let go (the
    // time may be flagged invalid there); the time moved on to now, for the daylight decision;
    // the time moved on again, just before the clock is set.
    ChipRunStep readTaken;
    ChipRunStep settle;
    ChipRunStep moveOn;
    ChipRunStep setting;
    // The store of `run->time`, which its rule allows: holding the bus, and after it is let go.
    ChipRunStep storeHoldingBus;
    ChipRunStep storeAfterBus;
} Timekeeping;
