// Time to the millisecond: the performance counter, the system clock read as its millisecond ticks
// over, and the watch for the chip's second to tick over.
#include "../i2c/i2c.h"
#include "../rtc/rtc.h"
#include "app.h"

#define EDGE_READ_FAILURES 3  // reads of the counter that may fail in a row before the watch gives up
#define SPIN_BELOW_MS 2       // waits shorter than this spin on the counter; longer ones sleep first

typedef struct CounterState {
    LONGLONG frequency;  // counts per second; 0 until asked
} CounterState;

static CounterState s_counter;

static LONGLONG Frequency(void) {
    if (s_counter.frequency == 0) {
        LARGE_INTEGER f;
        s_counter.frequency = QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 1000;
    }
    return s_counter.frequency;
}

LONGLONG CounterNow(void) {
    LARGE_INTEGER c;
    if (!QueryPerformanceCounter(&c)) return (LONGLONG)GetTickCount() * Frequency() / 1000;
    return c.QuadPart;
}

LONGLONG CounterSpanUnits(LONGLONG fromCount, LONGLONG toCount) {
    // Whole seconds and the rest apart, so that no product leaves 64 bits.
    LONGLONG span = toCount - fromCount;
    LONGLONG f = Frequency();
    return span / f * APP_UNITS_PER_SECOND + span % f * APP_UNITS_PER_SECOND / f;
}

LONGLONG CountsOfUnits(LONGLONG units) {
    LONGLONG f = Frequency();
    return units / APP_UNITS_PER_SECOND * f +
           (units % APP_UNITS_PER_SECOND * f + APP_UNITS_PER_SECOND - 1) / APP_UNITS_PER_SECOND;
}

void WaitForCounter(LONGLONG count) {
    for (;;) {
        LONGLONG left = CounterSpanUnits(CounterNow(), count);
        if (left <= 0) return;
        // Sleep takes whole milliseconds and may run a little long: the last of it is spun.
        if (left >= (LONGLONG)SPIN_BELOW_MS * APP_UNITS_PER_MS) Sleep((DWORD)(left / APP_UNITS_PER_MS) - 1);
    }
}

LONGLONG UnitsOfFileTime(const FILETIME* ft) {
    return (LONGLONG)(((ULONGLONG)ft->dwHighDateTime << 32) | ft->dwLowDateTime);
}

void FileTimeOfUnits(LONGLONG units, FILETIME* ft) {
    ft->dwLowDateTime = (DWORD)((ULONGLONG)units & 0xFFFFFFFFu);
    ft->dwHighDateTime = (DWORD)((ULONGLONG)units >> 32);
}

LONGLONG UnitsOf(const SYSTEMTIME* time) {
    FILETIME ft;
    if (!SystemTimeToFileTime(time, &ft)) return -1;
    return UnitsOfFileTime(&ft);
}

void SystemTimeOfUnits(LONGLONG units, SYSTEMTIME* time) {
    FILETIME ft;
    FileTimeOfUnits(units, &ft);
    FileTimeToSystemTime(&ft, time);
}

void SystemClockNow(TimePoint* now) {
    SYSTEMTIME t;
    GetSystemTime(&t);
    WORD ms = t.wMilliseconds;
    LONGLONG start = CounterNow();
    LONGLONG limit = start + CountsOfUnits((LONGLONG)SPIN_BELOW_MS * APP_UNITS_PER_MS);
    // The clock keeps whole milliseconds: the moment it moves to the next is the moment it is exact.
    for (;;) {
        GetSystemTime(&t);
        now->counter = CounterNow();
        if (t.wMilliseconds != ms || now->counter >= limit) break;
    }
    now->units = UnitsOf(&t);
}

int FindChipEdge(DWORD protocol, BYTE slave, const SYSTEMTIME* read, TimePoint* edge, LONGLONG* byteUnits) {
    const RtcProtocolEntry* entry = &g_rtcProtocols[protocol];
    LONGLONG readUnits = UnitsOf(read);
    if (readUnits < 0 || entry->read == 0) return APP_EDGE_LOST;
    LONGLONG deadline = CounterNow() + CountsOfUnits((LONGLONG)APP_EDGE_WAIT_MS * APP_UNITS_PER_MS);
    DWORD first = 0;
    DWORD place = 0;
    int polls = 0;
    int failures = 0;
    LONGLONG lastLatch = 0;
    LONGLONG busUnits = 0;
    for (;;) {
        LONGLONG now = CounterNow();
        if (now >= deadline) return polls ? APP_EDGE_STOPPED : APP_EDGE_LOST;
        // Every other user of the bus gets it between two reads.
        if (!I2CLock((DWORD)(CounterSpanUnits(now, deadline) / APP_UNITS_PER_MS) + 1)) return APP_EDGE_LOST;
        LONGLONG before = CounterNow();
        int ok = ReadRtcCounter(entry, slave, &place);
        LONGLONG after = CounterNow();
        I2CUnlock();
        if (!ok) {
            if (++failures >= EDGE_READ_FAILURES) return APP_EDGE_LOST;
            Sleep(1);
            continue;
        }
        failures = 0;
        busUnits += CounterSpanUnits(before, after);
        // The chip takes its registers for a read when it acknowledges its read address, the third
        // byte on the wire.
        LONGLONG latch = before + (after - before) * 3 / RTC_COUNTER_READ_BYTES(entry);
        if (polls++ == 0) {
            first = place;
        } else if (place != first) {
            // The tick fell between the last two reads: half-way is the best guess.
            edge->counter = lastLatch + (latch - lastLatch) / 2;
            DWORD ahead = (place + 6000 - (DWORD)read->wSecond * 100) % 6000;  // hundredths since `read`
            edge->units = readUnits + (LONGLONG)ahead * (APP_UNITS_PER_SECOND / 100);
            if (byteUnits) *byteUnits = busUnits / polls / RTC_COUNTER_READ_BYTES(entry);
            return APP_EDGE_FOUND;
        }
        lastLatch = latch;
        Sleep(1);
    }
}
