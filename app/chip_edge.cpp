#include "chip_edge.h"

#include "../i2c/i2c.h"
#include "filetime.h"

#define EDGE_READ_FAILURES 3  // reads of the counter that may fail in a row before the watch gives up
#define LATCH_BYTE 3          // the chip takes its registers as it acknowledges its read address, this byte
#define HUNDREDTHS_PER_SECOND 100
#define HUNDREDTHS_PER_MINUTE (60 * HUNDREDTHS_PER_SECOND)

// One read of the chip's counter, timed on the performance counter.
typedef struct CounterRead {
    DWORD place;  // hundredths into the chip's minute
    LONGLONG before, after;
} CounterRead;

// The read with the bus lock taken for it alone: 1, 0 when the read failed, -1 when the lock could
// not be had within `lockMs`.
static int TimedCounterRead(const RtcProtocolEntry* entry, BYTE slave, DWORD lockMs, CounterRead* r) {
    r->place = 0;
    if (!I2CLock(lockMs)) return -1;
    r->before = CounterNow();
    int ok = ReadRtcCounter(entry, slave, &r->place);
    r->after = CounterNow();
    I2CUnlock();
    return ok ? 1 : 0;
}

// A watch under way.
typedef struct EdgeWatch {
    const RtcProtocolEntry* entry;
    const SYSTEMTIME* read;  // the chip's time read before the watch
    LONGLONG readUnits;
    int polls;
    DWORD first;         // where the counter stood at the first read
    LONGLONG lastLatch;  // counter moment of the last read's latch
    LONGLONG busUnits;   // the reads' time on the bus
} EdgeWatch;

// Whether this read saw the counter move on; then `edge` (and `byteUnits`) are filled in.
static int SawTick(EdgeWatch* w, const CounterRead* r, TimePoint* edge, LONGLONG* byteUnits) {
    DWORD bytes = RTC_COUNTER_READ_BYTES(w->entry);
    w->busUnits += CounterSpanUnits(r->before, r->after);
    LONGLONG latch = r->before + (r->after - r->before) * LATCH_BYTE / bytes;
    if (w->polls++ == 0) {
        w->first = r->place;
    } else if (r->place != w->first) {
        // The tick fell between the last two reads: half-way is the best guess.
        edge->counter = w->lastLatch + (latch - w->lastLatch) / 2;
        DWORD ahead = (r->place + HUNDREDTHS_PER_MINUTE - (DWORD)w->read->wSecond * HUNDREDTHS_PER_SECOND) %
                      HUNDREDTHS_PER_MINUTE;  // hundredths since `read`
        edge->units = w->readUnits + (LONGLONG)ahead * (APP_UNITS_PER_SECOND / HUNDREDTHS_PER_SECOND);
        if (byteUnits) *byteUnits = w->busUnits / w->polls / bytes;
        return 1;
    }
    w->lastLatch = latch;
    return 0;
}

int FindChipEdge(const RtcProtocolEntry* entry, BYTE slave, const SYSTEMTIME* read, TimePoint* edge,
                 LONGLONG* byteUnits) {
    EdgeWatch w = {entry, read, UnitsOf(read), 0, 0, 0, 0};
    if (w.readUnits < 0) return APP_EDGE_LOST;
    LONGLONG deadline = CounterNow() + CountsOfUnits((LONGLONG)APP_EDGE_WAIT_MS * APP_UNITS_PER_MS);
    int failures = 0;
    for (;;) {
        LONGLONG now = CounterNow();
        if (now >= deadline) return w.polls ? APP_EDGE_STOPPED : APP_EDGE_LOST;
        // Every other user of the bus gets it between two reads.
        CounterRead r;
        int got = TimedCounterRead(entry, slave,
                                   (DWORD)(CounterSpanUnits(now, deadline) / APP_UNITS_PER_MS) + 1, &r);
        if (got < 0) return APP_EDGE_LOST;
        if (got == 0) {
            if (++failures >= EDGE_READ_FAILURES) return APP_EDGE_LOST;
        } else {
            failures = 0;
            if (SawTick(&w, &r, edge, byteUnits)) return APP_EDGE_FOUND;
        }
        Sleep(1);
    }
}

int MeasureChip(const RtcProtocolEntry* entry, BYTE slave, TimePoint* edge, LONGLONG* byteUnits) {
    SYSTEMTIME chip;
    if (!I2CLock(APP_EDGE_WAIT_MS)) return 0;
    int read = RtcReadChip(entry, slave, &chip);
    I2CUnlock();
    if (!read || chip.wYear == RTC_INVALID_YEAR || UnitsOf(&chip) < 0) return 0;
    return FindChipEdge(entry, slave, &chip, edge, byteUnits) == APP_EDGE_FOUND;
}

LONGLONG ProbeByteUnits(const RtcProtocolEntry* entry, BYTE slave) {
    CounterRead r;
    if (TimedCounterRead(entry, slave, APP_EDGE_WAIT_MS, &r) <= 0) return 0;
    return CounterSpanUnits(r.before, r.after) / RTC_COUNTER_READ_BYTES(entry);
}
