#include "chip_reading.h"

#include "calibration.h"
#include "chip_edge.h"
#include "drift_report.h"
#include "filetime.h"
#include "timepoint.h"

void NoteReadCounter(ChipRun* run) {
    run->reading.counter = CounterNow();
}

// Precise: 1 with the reading at the chip's edge (`atEdge`) or, when the bus would not let it be
// watched, at the start of its second; 0 for a chip whose second never ends, flagged invalid.
static int WatchEdge(ChipRun* run, int* atEdge) {
    TimePoint edge;
    int found = FindChipEdge(run->entry, run->slave, &run->time, &edge, 0);
    *atEdge = found == APP_EDGE_FOUND;
    if (*atEdge) {
        run->reading = edge;
        return 1;
    }
    if (found == APP_EDGE_STOPPED) {
        // A chip whose second never ends keeps no time: its oscillator has stopped.
        NKDbgPrintfW(TEXT("Tamblin: RTC second did not tick over within %u ms\r\n"), APP_EDGE_WAIT_MS);
        run->time.wYear = RTC_INVALID_YEAR;
        return 0;
    }
    OutputDebugStringW(TEXT("Tamblin: RTC second edge not found, the whole second is used\r\n"));
    return 1;
}

static void CorrectReading(ChipRun* run, int atEdge) {
    Calibration calibration;
    ReadCalibration(&calibration);
    // Without its edge the chip's second may have run anything up to a whole one: the middle of it
    // is the best guess of the time the chip stands for, which halves the worst error of taking
    // its start.
    if (!atEdge) run->reading.units += APP_UNITS_PER_SECOND / 2;
    LONGLONG corrected = CorrectChipTime(&calibration.chip, run->reading.units);
    ReportCorrection(corrected - run->reading.units, calibration.chip.driftPpb);
    run->reading.units = corrected;
}

void TakeChipReading(ChipRun* run) {
    run->reading.units = UnitsOf(&run->time);
    // A time the chip does not vouch for, or no date at all, is reported as it always was.
    if (run->time.wYear == RTC_INVALID_YEAR || run->reading.units < 0) return;
    int atEdge = 0;
    if (run->options.precise && !WatchEdge(run, &atEdge)) return;
    if (run->options.driftCorrection) CorrectReading(run, atEdge);
}

void ReadingNow(ChipRun* run, int toMillisecond) {
    LONGLONG units = UnitsAt(&run->reading, CounterNow());
    if (toMillisecond) {
        // The clock takes whole milliseconds: it is set as the reading reaches the next one.
        LONGLONG wait = (APP_UNITS_PER_MS - units % APP_UNITS_PER_MS) % APP_UNITS_PER_MS;
        TimePoint from = {CounterNow(), units};
        WaitForCounter(CounterWhen(&from, units + wait));
        units = UnitsAt(&run->reading, CounterNow());
    }
    SystemTimeOfUnits(units, &run->time);
}

void NoteReadTick(ChipRun* run) {
    run->readTick = GetTickCount();
}

// The chip was read before the wait for the notification service; move its time on by the
// time that has passed since, so the clock is not set behind by the length of that wait.
void AdvanceByElapsed(ChipRun* run) {
    DWORD elapsedMs = GetTickCount() - run->readTick;
    LONGLONG units = UnitsOf(&run->time);
    if (elapsedMs == 0 || units < 0) return;
    SystemTimeOfUnits(units + (LONGLONG)elapsedMs * APP_UNITS_PER_MS, &run->time);
}
