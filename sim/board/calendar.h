// The one civil calendar of the simulation (proleptic Gregorian, UTC), on file times: 100 ns
// units since 1601-01-01 00:00:00, as the platform counts them.
#pragma once

#include <cstdint>

#include "state.h"

namespace sim {

constexpr int64_t kFileTimeUnitsPerSecond = 10'000'000;
constexpr int64_t kFileTimeUnitsPerMs = 10'000;
constexpr int64_t kFileTimeUnitsPerMinute = 60 * kFileTimeUnitsPerSecond;

bool isLeapYear(int year);
unsigned daysInMonth(int year, unsigned month);  // 0 for a month that does not exist
bool validDate(int year, unsigned month, unsigned day);

// Days since 1601-01-01 (a Monday) of a valid date, and back; weekday 0 = Sunday.
int64_t dayNumber(int year, unsigned month, unsigned day);
struct CivilDate {
    int year;
    unsigned month, day, weekday;
};
CivilDate dateOfDayNumber(int64_t days);

// A SYSTEMTIME-shaped record as a file time (the record must be a valid date and time of day),
// and a non-negative file time as such a record, with its weekday.
int64_t fileTimeOf(const SysTime& t);
SysTime sysTimeOf(int64_t fileTime);
// What the platform accepts: years 1601..30827, an existing day, a time of day within range.
bool validSysTime(const SysTime& t);

}  // namespace sim
