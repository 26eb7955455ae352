// One run's chip, once WinMain has the bus, and the way the run keeps time (timekeeping.h).
#pragma once

#include "../rtc/rtc.h"
#include "config.h"
#include "counter.h"

typedef enum TimekeepingWay {
    WAY_PLAIN,  // neither value
    WAY_TIMED   // Precise, DriftCorrection or both
} TimekeepingWay;

typedef struct ChipRun {
    TimekeepingWay way;
    const RtcProtocolEntry* entry;
    BYTE slave;
    AppOptions options;
    int zoneChange;     // store: started for a change of the time zone
    SYSTEMTIME time;    // restore: the chip's time; store: the system time to write
    DWORD readTick;     // restore, plain way: the tick count at the chip's read
    TimePoint reading;  // restore, timed way: the chip's time (corrected) at a counter moment
} ChipRun;
