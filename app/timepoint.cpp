#include "timepoint.h"

LONGLONG UnitsAt(const TimePoint* point, LONGLONG count) {
    return point->units + CounterSpanUnits(point->counter, count);
}

LONGLONG CounterWhen(const TimePoint* point, LONGLONG units) {
    return point->counter + CountsOfUnits(units - point->units);
}
