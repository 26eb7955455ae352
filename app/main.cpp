// Tamblin's main routine: at boot it restores the system clock from the RTC chip and registers
// for time changes; started with "AppRunAfterTimeChange" it stores the system clock in the chip.
#include <notify.h>

#include "../i2c/i2c.h"
#include "../rtc/rtc.h"
#include "app.h"

static const WCHAR kApiReadyEvent[] = TEXT("system/events/notify/APIReady");
static const WCHAR kShellDstEvent[] = TEXT("\\\\.\\Notifications\\NamedEvents\\ShellDSTEvent");

static void PrintTime(const WCHAR* format, const SYSTEMTIME* t) {
    NKDbgPrintfW(format, t->wDay, t->wMonth, t->wYear, t->wHour, t->wMinute, t->wSecond);
}

// The chip was read before the wait for the notification service; move its time on by the
// time that has passed since, so the clock is not set behind by the length of that wait.
static void AdvanceByElapsed(SYSTEMTIME* time, DWORD readTick) {
    DWORD elapsedMs = GetTickCount() - readTick;
    FILETIME ft;
    if (elapsedMs == 0 || !SystemTimeToFileTime(time, &ft)) return;
    ULONGLONG value = ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    value += (ULONGLONG)elapsedMs * 10000u;
    ft.dwLowDateTime = (DWORD)(value & 0xFFFFFFFFu);
    ft.dwHighDateTime = (DWORD)(value >> 32);
    FileTimeToSystemTime(&ft, time);
}

static void StorePath(DWORD protocol, BYTE slave) {
    SYSTEMTIME rtcTime;
    GetSystemTime(&rtcTime);

    if (protocol == RTC_PROTOCOL_AUTODETECT) {
        OutputDebugStringW(TEXT("RTC AutoDetect Function is not implemented!"));
        OutputDebugStringW(TEXT("Error while setting RTC time\r\n"));
        return;
    }
    // A year the chip's two digits cannot hold would come back a century off at the next boot:
    // better not to write it at all.
    if (protocol >= RTC_PROTOCOL_COUNT || g_rtcProtocols[protocol].write == 0 ||
        !RtcYearFitsChip(rtcTime.wYear) || !g_rtcProtocols[protocol].write(&rtcTime, slave)) {
        OutputDebugStringW(TEXT("Error while setting RTC time\r\n"));
        return;
    }
    PrintTime(TEXT("RTC Time set (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), &rtcTime);
}

static int ReadChip(DWORD protocol, BYTE slave, SYSTEMTIME* rtcTime) {
    const RtcProtocolEntry* entry = &g_rtcProtocols[protocol];
    if (entry->read == 0) return 0;
    if (entry->prepare != 0 && !entry->prepare(slave)) return 0;
    return entry->read(rtcTime, slave);
}

static void RestorePath(DWORD protocol, BYTE slave) {
    SYSTEMTIME rtcTime;
    SYSTEMTIME localTime;
    WCHAR modulePath[APP_MODULE_PATH_CHARS];

    if (protocol == RTC_PROTOCOL_AUTODETECT) {
        OutputDebugStringW(TEXT("RTC AutoDetect Function is not implemented!"));
        OutputDebugStringW(TEXT("No external RTC found\r\n"));
        return;
    }
    if (protocol >= RTC_PROTOCOL_COUNT || !ReadChip(protocol, slave, &rtcTime)) {
        OutputDebugStringW(TEXT("No external RTC found\r\n"));
        return;
    }
    DWORD readTick = GetTickCount();

    modulePath[0] = 0;
    GetModuleFileNameW(0, modulePath, APP_MODULE_PATH_CHARS);
    // Registered path and searched name must agree in letter case.
    _wcsupr(modulePath);

    // Hold here until the notification service is up; without the event there is nothing to
    // wait for.
    HANDLE apiReady = OpenEventW(EVENT_ALL_ACCESS, FALSE, kApiReadyEvent);
    WaitForSingleObject(apiReady, INFINITE);
    if (apiReady != 0) CloseHandle(apiReady);

    const WCHAR* fileName = FileNamePart(modulePath);
    while (!ClearOwnNotifications(fileName)) Sleep(1);

    if (rtcTime.wYear == RTC_INVALID_YEAR) {
        OutputDebugStringW(TEXT("Invalid time on External RTC, please set a valid time\r\n"));
    } else {
        AdvanceByElapsed(&rtcTime, readTick);
        EvaluateDaylightTime(&rtcTime, &localTime);
        // The shell recomputes its daylight-saving event for the new clock.
        CeRunAppAtTime(kShellDstEvent, 0);
        if (SetSystemTime(&rtcTime)) {
            PrintTime(TEXT("RTC Time restored (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), &rtcTime);
        } else {
            PrintTime(TEXT("Error while restoring RTC time (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), &rtcTime);
        }
    }

    if (!RegisterTimeChangeNotification(modulePath)) {
        OutputDebugStringW(TEXT("Tamblin: Could not add notification\r\n"));
    }
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
    if (!I2CInitStandard()) return 0;
    if (!I2CLock(INFINITE)) return 0;

    DWORD protocol = 0;
    DWORD slaveAddr = 0;
    ReadRtcConfig(&protocol, &slaveAddr);

    if (lpCmdLine != 0 && wcscmp(lpCmdLine, APP_RUN_AFTER_TIME_CHANGE) == 0) {
        StorePath(protocol, (BYTE)(slaveAddr & 0xFF));
    } else {
        RestorePath(protocol, (BYTE)(slaveAddr & 0xFF));
    }

    I2CUnlock();
    return 1;
}
