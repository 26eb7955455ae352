#include "counter.h"

#include "filetime.h"

#define SPIN_BELOW_MS 2     // waits shorter than this spin on the counter; longer ones sleep first
#define MS_PER_SECOND 1000  // without a counter, the tick count in milliseconds stands in

typedef struct CounterState {
    LONGLONG frequency;  // counts per second; 0 until asked
} CounterState;

static CounterState s_counter;

static LONGLONG Frequency(void) {
    if (s_counter.frequency == 0) {
        LARGE_INTEGER f;
        s_counter.frequency = QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : MS_PER_SECOND;
    }
    return s_counter.frequency;
}

LONGLONG CounterNow(void) {
    LARGE_INTEGER c;
    if (!QueryPerformanceCounter(&c)) return (LONGLONG)GetTickCount() * Frequency() / MS_PER_SECOND;
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
