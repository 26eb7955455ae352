// The timed way's restore: the chip's time taken at its second's edge (Precise) and corrected for
// its drift (DriftCorrection), then moved on by the performance counter to the clock's setting.
#pragma once

#include "timekeeping.h"

// Just after the chip's read: the counter at that moment.
void NoteReadCounter(ChipRun* run);
// After the bus is let go: the chip's edge and its correction. A chip that does not tick is
// flagged as not vouching for its time.
void TakeChipReading(ChipRun* run);
// The reading moved on to now; and again to the next whole millisecond of it, which is waited for.
void ReadingNow(ChipRun* run);
void ReadingAtMillisecond(ChipRun* run);
