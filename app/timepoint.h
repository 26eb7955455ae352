// A clock read at a moment of the performance counter, and what it shows at another: how the
// restore moves the chip's time on to the clock's setting, and how the store times its write.
#pragma once

#include "counter.h"

// What a clock that showed `point->units` at `point->counter` shows at the counter's `count`.
LONGLONG UnitsAt(const TimePoint* point, LONGLONG count);
// The counter when that clock will show `units`.
LONGLONG CounterWhen(const TimePoint* point, LONGLONG units);
