// The performance counter, and moments read on it: how the options of "Keeping time to the
// millisecond" tell what has passed between two steps of a run.
#pragma once

#include <windows.h>

// A moment on two clocks: the performance counter, and a time in file time units.
typedef struct TimePoint {
    LONGLONG counter;
    LONGLONG units;
} TimePoint;

LONGLONG CounterNow(void);
// A span of the counter in file time units, and the counts of a span (rounded up).
LONGLONG CounterSpanUnits(LONGLONG fromCount, LONGLONG toCount);
LONGLONG CountsOfUnits(LONGLONG units);
// Waits until the counter reaches `count` (a sleep for the long part, a spin for the rest).
void WaitForCounter(LONGLONG count);
// The system clock, read as its millisecond ticks over, with the counter at that moment.
void SystemClockNow(TimePoint* now);
