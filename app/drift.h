// The chip's drift, learnt at each time change from how far the chip has wandered since it was
// set, and taken off each restore. Pure arithmetic: the learner hands back what it decided, and
// the store reports it (drift_report.h); the registry keeps the records (calibration.h).
#pragma once

#include <windows.h>

#include "filetime.h"

#define APP_PPB_PER_PPM 1000
#define APP_PPB_PER_WHOLE 1000000000                  // parts per billion of the whole
#define APP_DRIFT_MAX_PPB (500 * APP_PPB_PER_PPM)     // a drift beyond 500 ppm is refused
#define APP_DRIFT_OUTLIER_PPB (20 * APP_PPB_PER_PPM)  // a sample this far from the learned drift is set aside
#define APP_CALIBRATION_MIN_HOURS 4                   // a calibration spans hours
#define APP_CALIBRATION_MIN_UNITS (APP_CALIBRATION_MIN_HOURS * APP_UNITS_PER_HOUR)
#define APP_DRIFT_SETTLED_HOURS 24     // a learned drift of less weight takes every sample in
#define APP_DRIFT_MAX_HOURS (30 * 24)  // the weight of the learned drift stops growing here

// What the restore needs of the chip: when its time was last set, how far off it was left, and
// the drift learned for it.
typedef struct ChipModel {
    int chipSet;       // the chip was set by a store at `setAt`
    LONGLONG setAt;    // system time at which the chip's second restarted
    LONG setOffsetUs;  // the chip minus the system clock just after
    LONG driftPpb;     // learned drift, parts per billion (the chip gains when positive)
    DWORD driftHours;  // calibration hours behind it; 0: none learned
} ChipModel;

// The learner's working state between time changes.
typedef struct DriftLearner {
    LONGLONG calibratedAt;  // start of the calibration under way
    LONG intervalDriftUs;   // drift measured in it so far, across the chip's settings
    LONG asidePpb;          // a sample far from the learned drift, held until another agrees
    DWORD asideHours;       // its weight; 0: none held
} DriftLearner;

// What the program keeps in the registry about the chip.
typedef struct Calibration {
    ChipModel chip;
    DriftLearner learner;
} Calibration;

// What a time change taught the learner.
typedef enum DriftVerdict {
    DRIFT_FIRST,         // the chip was never set by a store: nothing to compare with yet
    DRIFT_TOO_SHORT,     // the calibration spans too little time: kept for the next time change
    DRIFT_LEARNED,       // a sample folded into the learned drift
    DRIFT_SET_ASIDE,     // a sample far from the learned drift, held aside
    DRIFT_REFUSED,       // a sample beyond what any crystal drifts
    DRIFT_CLOCK_SET,     // the chip was further off than drift can take it: a person set the clock
    DRIFT_NOT_MEASURED,  // the chip could not be measured: the calibration starts afresh
    DRIFT_ZONE_CHANGE    // a change of the time zone moved UTC: the calibration starts afresh
} DriftVerdict;

typedef struct DriftOutcome {
    DriftVerdict verdict;
    LONG samplePpb;      // learned, set aside, refused: the sample
    DWORD sampleHours;   // learned, set aside: its weight
    LONG learnedPpb;     // learned, set aside: the learned drift afterwards
    LONGLONG chipAhead;  // clock set: the chip less the new time
} DriftOutcome;

BOOL DriftOutOfBounds(LONG ppb);
// The chip's time `chipUnits` corrected for the offset it was set with and its drift since.
LONGLONG CorrectChipTime(const ChipModel* chip, LONGLONG chipUnits);
// At a time change to `systemUnits`: the chip stood `chipAhead` units ahead of it, before its
// writing. Learns the drift from it when the calibration spans long enough.
DriftOutcome LearnFromStore(Calibration* c, LONGLONG chipAhead, LONGLONG systemUnits);
// At a time change whose chip was not measured (`zoneChange`: for a change of the time zone): the
// calibration under way was timed on the clock as it stood before; it starts afresh at
// `systemUnits`. What was learned stays.
DriftOutcome RestartCalibration(DriftLearner* learner, LONGLONG systemUnits, int zoneChange);
// The chip's second restarted at system time `restartAt`, `offsetUnits` ahead of it.
void NoteChipSet(ChipModel* chip, LONGLONG restartAt, LONGLONG offsetUnits);
