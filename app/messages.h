// Texts that more than one path prints, and the one way a time is printed: day first, UTC.
#pragma once

#include <windows.h>

extern const WCHAR g_msgNoRtc[];     // "No external RTC found\r\n"
extern const WCHAR g_msgSetError[];  // "Error while setting RTC time\r\n"
extern const WCHAR g_fmtTimeSet[];   // "RTC Time set (dd.mm.yyyy hh:mm:ss)\r\n"

// `format` with the day, month, year, hour, minute and second of `t`.
void PrintTime(const WCHAR* format, const SYSTEMTIME* t);
