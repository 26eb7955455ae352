#include "messages.h"

const WCHAR g_msgNoRtc[] = TEXT("No external RTC found\r\n");
const WCHAR g_msgSetError[] = TEXT("Error while setting RTC time\r\n");
const WCHAR g_fmtTimeSet[] = TEXT("RTC Time set (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n");

void PrintTime(const WCHAR* format, const SYSTEMTIME* t) {
    NKDbgPrintfW(format, t->wDay, t->wMonth, t->wYear, t->wHour, t->wMinute, t->wSecond);
}
