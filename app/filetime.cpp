#include "filetime.h"

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
