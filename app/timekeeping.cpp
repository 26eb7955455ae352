#include "timekeeping.h"

#include "aligned_store.h"
#include "chip_reading.h"
#include "store.h"

// Steps a way does not name are nothing to it: the plain restore sets the clock to the time it
// moved on to, and the timed store writes at a moment of its own, after the bus is let go.
void TakeStep(ChipRun* run, TimekeepingStep step) {
    if (run->way == WAY_PLAIN) {
        if (step == STEP_READ_TAKEN) NoteReadTick(run);
        if (step == STEP_MOVE_ON) AdvanceByElapsed(run);
        if (step == STEP_STORE_HOLDING_BUS) StoreWrite(run);
        return;
    }
    switch (step) {
        case STEP_READ_TAKEN:
            NoteReadCounter(run);
            break;
        case STEP_SETTLE:
            TakeChipReading(run);
            break;
        case STEP_MOVE_ON:
        case STEP_SETTING:
            ReadingNow(run, step == STEP_SETTING);
            break;
        case STEP_STORE_AFTER_BUS:
            StoreAligned(run);
            break;
        default:
            break;
    }
}
