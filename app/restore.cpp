#include "restore.h"

#include <notify.h>

#include "../i2c/i2c.h"
#include "daylight.h"
#include "filetime.h"
#include "messages.h"
#include "timekeeping.h"

#define CLEANUP_RETRY_MS 5000     // how long the boot retries the clean-up of old registrations
#define CLEANUP_PAUSE_MAX_MS 256  // its pauses double from 1 ms up to this
#define SERVICE_NOTE_MS 10000     // a boot that has waited this long for the notification service says so

static const WCHAR kApiReadyEvent[] = TEXT("system/events/notify/APIReady");
static const WCHAR kShellDstEvent[] = TEXT("\\\\.\\Notifications\\NamedEvents\\ShellDSTEvent");
static const WCHAR kRestoreError[] =
    TEXT("Error while restoring RTC time (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n");

// Indexed by the bus layer's I2C_LINE_* bits.
static const WCHAR* const kHeldLines[] = {TEXT("no line"), TEXT("SCL"), TEXT("SDA"), TEXT("SCL and SDA")};

// A missing chip, a bus held low, a stuck SDA line and a controller that stays busy all end in
// "No external RTC found": the line before it says which, as the bus layer saw it.
static void ReportFailedRead(void) {
    DWORD error = GetLastError();
    NKDbgPrintfW(TEXT("Tamblin: RTC read failed: last error %u, %s held low\r\n"), error,
                 kHeldLines[I2CHeldLines() & (I2C_LINE_SCL | I2C_LINE_SDA)]);
}

int ReadForRestore(ChipRun* run) {
    if (!RtcReadChip(run->entry, run->slave, &run->time)) {
        ReportFailedRead();
        OutputDebugStringW(g_msgNoRtc);
        return 0;
    }
    return 1;
}

// Earlier registrations of this program go before the new one is added. A clean-up that keeps
// failing must not hold up the boot for good: after a while the registration is added anyway,
// since a second registration is better than none.
static void ClearOwnNotificationsForAWhile(const WCHAR* fileName) {
    DWORD start = GetTickCount();
    DWORD pauseMs = 1;
    while (!ClearOwnNotifications(fileName)) {
        if (GetTickCount() - start >= CLEANUP_RETRY_MS) {
            OutputDebugStringW(TEXT("Tamblin: Could not clear old notifications\r\n"));
            return;
        }
        Sleep(pauseMs);
        // A failure that persists is not helped by asking the notification service every
        // millisecond for seconds on end.
        if (pauseMs < CLEANUP_PAUSE_MAX_MS) pauseMs *= 2;
    }
}

void PrepareRegistration(WCHAR* modulePath) {
    modulePath[0] = 0;
    GetModuleFileNameW(0, modulePath, APP_MODULE_PATH_CHARS);
    // Registered path and searched name must agree in letter case.
    _wcsupr(modulePath);

    // Hold here until the notification service is up; without the event there is nothing to
    // wait for. A boot held up that long says so, once: the programs that depend on its launch
    // wait with it, since the clock is restored only after the wait.
    HANDLE apiReady = OpenEventW(EVENT_ALL_ACCESS, FALSE, kApiReadyEvent);
    if (WaitForSingleObject(apiReady, SERVICE_NOTE_MS) == WAIT_TIMEOUT) {
        OutputDebugStringW(TEXT("Tamblin: waiting for the notification service\r\n"));
        WaitForSingleObject(apiReady, INFINITE);
    }
    if (apiReady != 0) CloseHandle(apiReady);

    ClearOwnNotificationsForAWhile(FileNamePart(modulePath));
}

void RegisterForTimeChanges(WCHAR* modulePath) {
    int time = RegisterTimeChangeNotification(modulePath);
    int zone = RegisterZoneChangeNotification(modulePath);
    if (!time || !zone) {
        OutputDebugStringW(TEXT("Tamblin: Could not add notification\r\n"));
    }
}

// Unless the chip's time is invalid or no date at all: the daylight decision and the clock.
static void SetClockFromChip(ChipRun* run) {
    SYSTEMTIME* rtcTime = &run->time;
    SYSTEMTIME localTime;
    FILETIME asFileTime;
    if (rtcTime->wYear == RTC_INVALID_YEAR) {
        OutputDebugStringW(TEXT("Invalid time on External RTC, please set a valid time\r\n"));
        return;
    }
    if (!SystemTimeToFileTime(rtcTime, &asFileTime)) {
        // No date at all (month 13, 31 November, ...): the clock would refuse it, and a daylight
        // decision taken for it would shift the local time of a clock that stays as it is.
        PrintTime(kRestoreError, rtcTime);
        return;
    }
    TakeStep(run, STEP_MOVE_ON);
    EvaluateDaylightTime(rtcTime, &localTime);
    // The shell recomputes its daylight-saving event for the new clock.
    CeRunAppAtTime(kShellDstEvent, 0);
    TakeStep(run, STEP_SETTING);
    if (SetSystemTime(rtcTime)) {
        PrintTime(TEXT("RTC Time restored (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), rtcTime);
    } else {
        PrintTime(kRestoreError, rtcTime);
    }
}

void Restore(ChipRun* run) {
    TakeStep(run, STEP_SETTLE);
    WCHAR modulePath[APP_MODULE_PATH_CHARS];
    PrepareRegistration(modulePath);
    SetClockFromChip(run);
    RegisterForTimeChanges(modulePath);
}
