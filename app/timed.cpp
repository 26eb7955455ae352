// The restore and the store with the registry's Precise and DriftCorrection values: the restore
// takes the chip's time at its second edge and corrects it for drift; the store measures the chip
// against the new time, learns its drift, and writes it so that the chip's restarted second lines
// up with the system's. The bus lock is taken for each transfer alone, never across a wait.
#include "../i2c/i2c.h"
#include "../rtc/rtc.h"
#include "app.h"

#define WRITE_MARGIN_MS 1  // the bus lock is taken this long before the write is due

static const WCHAR kSetError[] = TEXT("Error while setting RTC time\r\n");

// The chip's time and where its second stands, for the store: read, then watched for its edge.
static int MeasureChip(DWORD protocol, BYTE slave, TimePoint* edge, LONGLONG* byteUnits) {
    const RtcProtocolEntry* entry = &g_rtcProtocols[protocol];
    SYSTEMTIME chip;
    if (!I2CLock(APP_EDGE_WAIT_MS)) return 0;
    int read = RtcReadChip(entry, slave, &chip);
    I2CUnlock();
    if (!read || chip.wYear == RTC_INVALID_YEAR || UnitsOf(&chip) < 0) return 0;
    return FindChipEdge(protocol, slave, &chip, edge, byteUnits) == APP_EDGE_FOUND;
}

// How long a byte takes on the bus, from one timed read of the chip's counter; 0 when unknown.
static LONGLONG ProbeByteUnits(const RtcProtocolEntry* entry, BYTE slave) {
    DWORD place = 0;
    if (!I2CLock(APP_EDGE_WAIT_MS)) return 0;
    LONGLONG before = CounterNow();
    int ok = ReadRtcCounter(entry, slave, &place);
    LONGLONG after = CounterNow();
    I2CUnlock();
    return ok ? CounterSpanUnits(before, after) / RTC_COUNTER_READ_BYTES(entry) : 0;
}

// The system clock now, from a moment read on it.
static LONGLONG SystemUnitsNow(const TimePoint* system) {
    return system->units + CounterSpanUnits(system->counter, CounterNow());
}

// The counter when the system clock will show `units`.
static LONGLONG CounterWhen(const TimePoint* system, LONGLONG units) {
    return system->counter + CountsOfUnits(units - system->units);
}

void TakeChipReading(DWORD protocol, BYTE slave, const AppOptions* options, SYSTEMTIME* rtcTime,
                     LONGLONG readCounter, ChipReading* reading) {
    reading->at.counter = readCounter;
    reading->at.units = UnitsOf(rtcTime);
    // A time the chip does not vouch for, or no date at all, is reported as it always was.
    if (rtcTime->wYear == RTC_INVALID_YEAR || reading->at.units < 0) return;
    int exact = 0;
    if (options->precise) {
        TimePoint edge;
        int found = FindChipEdge(protocol, slave, rtcTime, &edge, 0);
        exact = found == APP_EDGE_FOUND;
        if (exact) {
            reading->at = edge;
        } else if (found == APP_EDGE_STOPPED) {
            // A chip whose second never ends keeps no time: its oscillator has stopped.
            NKDbgPrintfW(TEXT("Tamblin: RTC second did not tick over within %u ms\r\n"), APP_EDGE_WAIT_MS);
            rtcTime->wYear = RTC_INVALID_YEAR;
            return;
        } else {
            OutputDebugStringW(TEXT("Tamblin: RTC second edge not found, the whole second is used\r\n"));
        }
    }
    if (options->driftCorrection) {
        Calibration calibration;
        ReadCalibration(&calibration);
        // Without its edge the chip's second may have run anything up to a whole one: the middle
        // of it is the best guess of the time the chip stands for, which halves the worst error
        // of taking its start.
        if (!exact) reading->at.units += APP_UNITS_PER_SECOND / 2;
        reading->at.units = CorrectChipTime(&calibration, reading->at.units);
    }
}

void ReadingNow(const ChipReading* reading, int exact, SYSTEMTIME* out) {
    LONGLONG units = reading->at.units + CounterSpanUnits(reading->at.counter, CounterNow());
    if (exact) {
        // The clock takes whole milliseconds: it is set as the reading reaches the next one.
        LONGLONG wait = (APP_UNITS_PER_MS - units % APP_UNITS_PER_MS) % APP_UNITS_PER_MS;
        TimePoint from = {CounterNow(), units};
        WaitForCounter(CounterWhen(&from, units + wait));
        units = reading->at.units + CounterSpanUnits(reading->at.counter, CounterNow());
    }
    SystemTimeOfUnits(units, out);
}

void StoreTimed(DWORD protocol, BYTE slave, const AppOptions* options, int zoneChange) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    int possible = StoreCanWrite(protocol, &now);
    I2CUnlock();
    if (!possible) return;
    const RtcProtocolEntry* entry = &g_rtcProtocols[protocol];

    Calibration calibration;
    TimePoint chip;
    LONGLONG byteUnits = 0;
    int measured = 0;
    if (options->driftCorrection) {
        ReadCalibration(&calibration);
        // A zone change keeps the local time and moves UTC: the chip still holds the old UTC, and
        // its distance from the new one is the zone's difference, not drift nor a person's hour.
        if (!zoneChange) measured = MeasureChip(protocol, slave, &chip, &byteUnits);
    }
    if (byteUnits == 0) byteUnits = ProbeByteUnits(entry, slave);
    LONGLONG latency = (LONGLONG)entry->restartByte * byteUnits;
    TimePoint system;
    SystemClockNow(&system);
    if (options->driftCorrection) {
        if (measured) {
            LONGLONG chipNow = chip.units + CounterSpanUnits(chip.counter, system.counter);
            LearnFromStore(&calibration, chipNow - system.units, system.units);
        } else {
            // The calibration under way was timed on the clock as it stood before; it starts
            // afresh from the time written now. What was learned stays.
            OutputDebugStringW(zoneChange ? TEXT("Tamblin: time-zone change, no drift learned\r\n")
                                          : TEXT("Tamblin: RTC time not measured, no drift learned\r\n"));
            calibration.calibratedAt = system.units;
            calibration.intervalDriftUs = 0;
        }
    }

    // The chip's second restarts `lead` into the second written: whole for most chips, protocol 3
    // half-way, since its first second after the restart is short.
    LONGLONG lead = APP_UNITS_PER_SECOND - (LONGLONG)entry->firstTickUs * 10;
    LONGLONG written = 0;
    LONGLONG restart = 0;
    if (options->precise) {
        // The first second whose restart the bus can still reach: at most a second away.
        LONGLONG earliest = SystemUnitsNow(&system) + latency + (LONGLONG)WRITE_MARGIN_MS * APP_UNITS_PER_MS;
        written = (earliest - lead + APP_UNITS_PER_SECOND - 1) / APP_UNITS_PER_SECOND * APP_UNITS_PER_SECOND;
        restart = written + lead;
        WaitForCounter(
            CounterWhen(&system, restart - latency - (LONGLONG)WRITE_MARGIN_MS * APP_UNITS_PER_MS));
    }
    SYSTEMTIME time;
    int locked = I2CLock(INFINITE);
    if (options->precise) {
        WaitForCounter(CounterWhen(&system, restart - latency));
    } else {
        LONGLONG start = SystemUnitsNow(&system);
        written = start - start % APP_UNITS_PER_SECOND;
        restart = start + latency;
    }
    SystemTimeOfUnits(written, &time);
    int ok = locked && RtcYearFitsChip(time.wYear) && entry->write(&time, slave);
    if (locked) I2CUnlock();

    if (ok) {
        NKDbgPrintfW(TEXT("RTC Time set (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), time.wDay, time.wMonth,
                     time.wYear, time.wHour, time.wMinute, time.wSecond);
    } else {
        OutputDebugStringW(kSetError);
    }
    if (!options->driftCorrection) return;
    if (ok) NoteChipSet(&calibration, restart, written + lead - restart);
    if (!SaveCalibration(&calibration))
        OutputDebugStringW(TEXT("Tamblin: Could not save the RTC calibration\r\n"));
}
