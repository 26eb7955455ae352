// The one seam of the registry's Precise and DriftCorrection values. WinMain chooses a way once,
// when it has read the configuration; the restore and the store take their steps through it and
// know no option. The plain way is the program as it always was; the timed way takes the chip's
// time at its second edge and corrects it for drift, and writes the chip in line with the
// system's second.
#pragma once

#include "chip_run.h"

// One run's chip, once WinMain has the bus: its protocol's row and address, the options, and the
// time each path works on.
typedef enum TimekeepingStep {
    // The restore: just after the chip's read, the bus still held; after the bus is let go (the
    // time may be flagged invalid there); the time moved on to now, for the daylight decision;
    // the time moved on again, just before the clock is set.
    STEP_READ_TAKEN,
    STEP_SETTLE,
    STEP_MOVE_ON,
    STEP_SETTING,
    // The store of `run->time`, which its rule allows: holding the bus, and after it is let go.
    STEP_STORE_HOLDING_BUS,
    STEP_STORE_AFTER_BUS
} TimekeepingStep;

// Takes `step` the way `run->way` says.
void TakeStep(ChipRun* run, TimekeepingStep step);
