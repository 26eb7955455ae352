#include "drift.h"

// Beyond drift's reach: a crystal twice as far off as any that is learned, and a little slack for
// the readings. A chip further off than that was set to another time (by a person, an hour on).
#define REACH_PPB (2 * APP_DRIFT_MAX_PPB)
#define REACH_SLACK_UNITS ((LONGLONG)2 * APP_UNITS_PER_SECOND)
// A sample is worked out in steps of 10 ms of the calibration's span, which keeps its product
// inside 64 bits for any drift within reach.
#define SAMPLE_STEP_UNITS (10 * APP_UNITS_PER_MS)
// A sample is clamped to what a LONG holds, far beyond any that is not refused.
#define SAMPLE_LIMIT_PPB 2000000000

BOOL DriftOutOfBounds(LONG ppb) {
    return ppb > APP_DRIFT_MAX_PPB || ppb < -APP_DRIFT_MAX_PPB;
}

// Of `counted` units a chip `ppb` fast has counted, those its drift added: counted x ppb / (1e9 +
// ppb), in whole units; worked in whole seconds and the rest, so that no product leaves 64 bits
// for any span a chip can count.
static LONGLONG DriftOf(LONGLONG counted, LONG ppb) {
    LONGLONG rate = (LONGLONG)APP_PPB_PER_WHOLE + ppb;
    LONGLONG seconds = counted / APP_UNITS_PER_SECOND;
    LONGLONG a = seconds * ppb;
    return a / rate * APP_UNITS_PER_SECOND + a % rate * APP_UNITS_PER_SECOND / rate +
           (counted % APP_UNITS_PER_SECOND) * ppb / rate;
}

LONGLONG CorrectChipTime(const ChipModel* chip, LONGLONG chipUnits) {
    if (!chip->chipSet) return chipUnits;
    // What the chip has counted since it was set, and what that is in true time at its rate.
    LONGLONG counted = chipUnits - (LONGLONG)chip->setOffsetUs * APP_UNITS_PER_US - chip->setAt;
    if (counted < 0) return chipUnits;  // set back since, by someone else: nothing is known
    return chip->setAt + counted - DriftOf(counted, chip->driftPpb);
}

static void StartInterval(DriftLearner* learner, LONGLONG systemUnits) {
    learner->calibratedAt = systemUnits;
    learner->intervalDriftUs = 0;
}

// n / d to the nearest whole number (d > 0).
static LONGLONG Rounded(LONGLONG n, LONGLONG d) {
    return (n < 0 ? n - d / 2 : n + d / 2) / d;
}

static LONG Average(LONG a, DWORD aHours, LONG b, DWORD bHours) {
    return (LONG)Rounded((LONGLONG)a * aHours + (LONGLONG)b * bHours, (LONGLONG)aHours + bHours);
}

static DWORD Capped(DWORD hours) {
    return hours > APP_DRIFT_MAX_HOURS ? APP_DRIFT_MAX_HOURS : hours;
}

static int Near(LONG a, LONG b) {
    return a - b <= APP_DRIFT_OUTLIER_PPB && a - b >= -APP_DRIFT_OUTLIER_PPB;
}

// Folds one sample into the learned drift. Samples weigh by the hours they span; one that is far
// from what was learned is held aside, and changes the drift only when the next agrees with it
// (the crystal has moved to another temperature, say), so that one bad sample never does.
static DriftVerdict FoldSample(Calibration* c, LONG sample, DWORD hours) {
    ChipModel* chip = &c->chip;
    DriftLearner* learner = &c->learner;
    if (chip->driftHours == 0) {
        chip->driftPpb = sample;
        chip->driftHours = Capped(hours);
    } else if (Near(sample, chip->driftPpb) || chip->driftHours < APP_DRIFT_SETTLED_HOURS) {
        chip->driftPpb = Average(chip->driftPpb, chip->driftHours, sample, hours);
        chip->driftHours = Capped(chip->driftHours + hours);
    } else if (learner->asideHours != 0 && Near(sample, learner->asidePpb)) {
        chip->driftPpb = Average(learner->asidePpb, learner->asideHours, sample, hours);
        chip->driftHours = Capped(learner->asideHours + hours);
    } else {
        learner->asidePpb = sample;
        learner->asideHours = hours;
        return DRIFT_SET_ASIDE;
    }
    learner->asideHours = 0;
    return DRIFT_LEARNED;
}

// The drift measured over a calibration's span, in parts per billion: measured x 1e9 / span.
static LONG SampleOf(LONGLONG measured, LONGLONG span) {
    LONGLONG rate = Rounded(measured * (APP_PPB_PER_WHOLE / SAMPLE_STEP_UNITS), span / SAMPLE_STEP_UNITS);
    if (rate > SAMPLE_LIMIT_PPB) return SAMPLE_LIMIT_PPB;
    if (rate < -SAMPLE_LIMIT_PPB) return -SAMPLE_LIMIT_PPB;
    return (LONG)rate;
}

static int WithinReach(LONGLONG sinceSet, LONGLONG drift) {
    LONGLONG reach = (sinceSet > 0 ? sinceSet : 0) / (APP_PPB_PER_WHOLE / REACH_PPB) + REACH_SLACK_UNITS;
    return sinceSet > 0 && drift <= reach && drift >= -reach;
}

static DriftOutcome Outcome(DriftVerdict verdict) {
    DriftOutcome o = {verdict, 0, 0, 0, 0};
    return o;
}

DriftOutcome LearnFromStore(Calibration* c, LONGLONG chipAhead, LONGLONG systemUnits) {
    DriftLearner* learner = &c->learner;
    if (!c->chip.chipSet) {
        StartInterval(learner, systemUnits);
        return Outcome(DRIFT_FIRST);
    }
    LONGLONG drift = chipAhead - (LONGLONG)c->chip.setOffsetUs * APP_UNITS_PER_US;
    if (!WithinReach(systemUnits - c->chip.setAt, drift)) {
        StartInterval(learner, systemUnits);
        DriftOutcome o = Outcome(DRIFT_CLOCK_SET);
        o.chipAhead = chipAhead;
        return o;
    }
    // No calibration under way (or one from a clock set back since): it starts where the chip was set.
    if (learner->calibratedAt == 0 || learner->calibratedAt > systemUnits)
        StartInterval(learner, c->chip.setAt);
    LONGLONG measured = (LONGLONG)learner->intervalDriftUs * APP_UNITS_PER_US + drift;
    LONGLONG span = systemUnits - learner->calibratedAt;
    if (span < APP_CALIBRATION_MIN_UNITS) {
        // Too short to tell drift from the error of the readings: kept for the next time change.
        learner->intervalDriftUs = (LONG)(measured / APP_UNITS_PER_US);
        return Outcome(DRIFT_TOO_SHORT);
    }
    DriftOutcome o = Outcome(DRIFT_REFUSED);
    o.samplePpb = SampleOf(measured, span);
    o.sampleHours = (DWORD)(span / APP_UNITS_PER_HOUR);
    StartInterval(learner, systemUnits);
    if (DriftOutOfBounds(o.samplePpb)) return o;
    o.verdict = FoldSample(c, o.samplePpb, o.sampleHours);
    o.learnedPpb = c->chip.driftPpb;
    return o;
}

DriftOutcome RestartCalibration(DriftLearner* learner, LONGLONG systemUnits, int zoneChange) {
    StartInterval(learner, systemUnits);
    return Outcome(zoneChange ? DRIFT_ZONE_CHANGE : DRIFT_NOT_MEASURED);
}

void NoteChipSet(ChipModel* chip, LONGLONG restartAt, LONGLONG offsetUnits) {
    chip->chipSet = 1;
    chip->setAt = restartAt;
    chip->setOffsetUs = (LONG)(offsetUnits / APP_UNITS_PER_US);
}
