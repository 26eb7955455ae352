// The restore's reading of the chip, moved on from its read to the clock's setting. The plain way
// moves it on by the tick count; the timed way takes it at the chip's second's edge (Precise),
// corrects it for drift (DriftCorrection) and moves it on by the performance counter.
#pragma once

#include "chip_run.h"

// The plain way: the tick count at the read; the chip's time moved on by the ticks since.
void NoteReadTick(ChipRun* run);
void AdvanceByElapsed(ChipRun* run);

// Just after the chip's read: the counter at that moment.
void NoteReadCounter(ChipRun* run);
// After the bus is let go: the chip's edge and its correction. A chip that does not tick is
// flagged as not vouching for its time.
void TakeChipReading(ChipRun* run);
// The reading moved on to now; `toMillisecond`: to the next whole millisecond of it, which is
// waited for.
void ReadingNow(ChipRun* run, int toMillisecond);
