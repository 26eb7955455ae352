#include "aligned_store.h"

#include "../i2c/i2c.h"
#include "calibration.h"
#include "chip_edge.h"
#include "drift_report.h"
#include "filetime.h"
#include "messages.h"
#include "timepoint.h"

#define WRITE_MARGIN_UNITS \
    ((LONGLONG)1 * APP_UNITS_PER_MS)  // the bus lock is taken this long before the write is due

void PlanAtSecond(const TimePoint* system, WritePlan* plan) {
    LONGLONG earliest = UnitsAt(system, CounterNow()) + plan->latency + WRITE_MARGIN_UNITS;
    plan->written =
        (earliest - plan->lead + APP_UNITS_PER_SECOND - 1) / APP_UNITS_PER_SECOND * APP_UNITS_PER_SECOND;
    plan->restart = plan->written + plan->lead;
}

void PlanAtOnce(const TimePoint* system, WritePlan* plan) {
    LONGLONG start = UnitsAt(system, CounterNow());
    plan->written = start - start % APP_UNITS_PER_SECOND;
    plan->restart = start + plan->latency;
}

// DriftCorrection, before the write: the calibration, and the chip measured at its edge. A zone
// change keeps the local time and moves UTC: the chip still holds the old UTC, and its distance
// from the new one is the zone's difference, not drift nor a person's hour.
static int MeasureForDrift(const ChipRun* run, Calibration* c, TimePoint* chip, LONGLONG* byteUnits) {
    ReadCalibration(c);
    return !run->zoneChange && MeasureChip(run->entry, run->slave, chip, byteUnits);
}

// What the chip's distance from the new time teaches the learner.
static DriftOutcome Learn(const ChipRun* run, Calibration* c, int measured, const TimePoint* chip,
                          const TimePoint* system) {
    if (!measured) return RestartCalibration(&c->learner, system->units, run->zoneChange);
    return LearnFromStore(c, UnitsAt(chip, system->counter) - system->units, system->units);
}

// The write, at the planned moment with Precise, else at once: 1 when the chip took it.
static int WriteInLine(const ChipRun* run, const TimePoint* system, WritePlan* plan) {
    if (run->options.precise) {
        PlanAtSecond(system, plan);
        WaitForCounter(CounterWhen(system, plan->restart - plan->latency - WRITE_MARGIN_UNITS));
    }
    SYSTEMTIME time;
    int locked = I2CLock(INFINITE);
    if (run->options.precise)
        WaitForCounter(CounterWhen(system, plan->restart - plan->latency));
    else
        PlanAtOnce(system, plan);
    SystemTimeOfUnits(plan->written, &time);
    int ok = locked && RtcYearFitsChip(time.wYear) && run->entry->write(&time, run->slave);
    if (locked) I2CUnlock();
    if (ok)
        PrintTime(g_fmtTimeSet, &time);
    else
        OutputDebugStringW(g_msgSetError);
    return ok;
}

static void KeepCalibration(Calibration* c, int written, const WritePlan* plan) {
    if (written) NoteChipSet(&c->chip, plan->restart, plan->written + plan->lead - plan->restart);
    if (!SaveCalibration(c)) OutputDebugStringW(TEXT("Tamblin: Could not save the RTC calibration\r\n"));
}

void StoreAligned(ChipRun* run) {
    int drift = run->options.driftCorrection != 0;
    Calibration calibration;
    TimePoint chip = {0, 0};
    LONGLONG byteUnits = 0;
    int measured = drift && MeasureForDrift(run, &calibration, &chip, &byteUnits);
    if (byteUnits == 0) byteUnits = ProbeByteUnits(run->entry, run->slave);
    WritePlan plan = {0, 0, 0, 0};
    plan.latency = (LONGLONG)run->entry->restartByte * byteUnits;
    // The chip's second restarts `lead` into the second written: whole for most chips, protocol 3
    // half-way, since its first second after the restart is short.
    plan.lead = APP_UNITS_PER_SECOND - (LONGLONG)run->entry->firstTickUs * APP_UNITS_PER_US;
    TimePoint system;
    SystemClockNow(&system);
    if (drift) {
        DriftOutcome learnt = Learn(run, &calibration, measured, &chip, &system);
        ReportDriftOutcome(&learnt);
    }
    int ok = WriteInLine(run, &system, &plan);
    if (drift) KeepCalibration(&calibration, ok, &plan);
}
