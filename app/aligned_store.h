// The timed way's store (Precise, DriftCorrection): the chip measured against the new time and
// its drift learnt, then written so that its restarted second lines up with the system's. Called
// after WinMain has let go of the bus: the bus lock is taken for each transfer alone, never across
// a wait.
#pragma once

#include "counter.h"
#include "chip_run.h"

void StoreAligned(ChipRun* run);

// When the chip is written: the second written, and when its second restarts.
typedef struct WritePlan {
    LONGLONG latency;  // from the write's start to the byte that restarts the chip's second
    LONGLONG lead;     // how far into the second written the chip's second restarts
    LONGLONG written;  // the second written, in file time units
    LONGLONG restart;  // the system time at which the chip's second restarts
} WritePlan;
// Precise: the first second of the system clock (read at `system`) whose restart the write can
// still reach, at most a second away.
void PlanAtSecond(const TimePoint* system, WritePlan* plan);
// Without it: the second the system clock is in now, written at once.
void PlanAtOnce(const TimePoint* system, WritePlan* plan);
