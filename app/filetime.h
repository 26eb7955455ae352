// Times as one 64-bit number of file time units (100 ns since 1 January 1601), the platform's
// FILETIME: the daylight decision, the restore's and the store's arithmetic and the calibration's
// registry values all count in them.
#pragma once

#include <windows.h>

#define APP_UNITS_PER_US 10
#define APP_UNITS_PER_MS (1000 * APP_UNITS_PER_US)
#define APP_UNITS_PER_SECOND (1000 * APP_UNITS_PER_MS)
#define APP_UNITS_PER_MINUTE ((LONGLONG)60 * APP_UNITS_PER_SECOND)
#define APP_UNITS_PER_HOUR (60 * APP_UNITS_PER_MINUTE)

LONGLONG UnitsOfFileTime(const FILETIME* ft);
void FileTimeOfUnits(LONGLONG units, FILETIME* ft);
// A time as file time units; -1 when it is no date.
LONGLONG UnitsOf(const SYSTEMTIME* time);
void SystemTimeOfUnits(LONGLONG units, SYSTEMTIME* time);
