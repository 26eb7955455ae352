// Tamblin's main routine: at boot it restores the system clock from the RTC chip and registers
// for time and zone changes; started with "AppRunAfterTimeChange" or "AppRunAfterTzChange" it
// stores the system clock in the chip.
#include <notify.h>

#include "../i2c/i2c.h"
#include "../platform/platform.h"
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
    LONGLONG units = UnitsOf(time);
    if (elapsedMs == 0 || units < 0) return;
    SystemTimeOfUnits(units + (LONGLONG)elapsedMs * APP_UNITS_PER_MS, time);
}

int StoreCanWrite(DWORD protocol, const SYSTEMTIME* now) {
    if (protocol == RTC_PROTOCOL_AUTODETECT) {
        OutputDebugStringW(TEXT("RTC AutoDetect Function is not implemented!"));
        OutputDebugStringW(TEXT("Error while setting RTC time\r\n"));
        return 0;
    }
    // A year the chip's two digits cannot hold would come back a century off at the next boot:
    // better not to write it at all.
    if (protocol >= RTC_PROTOCOL_COUNT || g_rtcProtocols[protocol].write == 0 ||
        !RtcYearFitsChip(now->wYear)) {
        OutputDebugStringW(TEXT("Error while setting RTC time\r\n"));
        return 0;
    }
    return 1;
}

static void StorePath(DWORD protocol, BYTE slave) {
    SYSTEMTIME rtcTime;
    GetSystemTime(&rtcTime);
    if (!StoreCanWrite(protocol, &rtcTime)) return;
    if (!g_rtcProtocols[protocol].write(&rtcTime, slave)) {
        OutputDebugStringW(TEXT("Error while setting RTC time\r\n"));
        return;
    }
    PrintTime(TEXT("RTC Time set (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), &rtcTime);
}

// Indexed by the bus layer's I2C_LINE_* bits.
static const WCHAR* const kHeldLines[] = {TEXT("no line"), TEXT("SCL"), TEXT("SDA"), TEXT("SCL and SDA")};

// A missing chip, a bus held low, a stuck SDA line and a controller that stays busy all end in
// "No external RTC found": the line before it says which, as the bus layer saw it.
static void ReportFailedRead(void) {
    DWORD error = GetLastError();
    NKDbgPrintfW(TEXT("Tamblin: RTC read failed: last error %u, %s held low\r\n"), error,
                 kHeldLines[I2CHeldLines() & (I2C_LINE_SCL | I2C_LINE_SDA)]);
}

// The restore path's part on the bus: reads the chip, or says why there is no time to restore.
static int ReadForRestore(DWORD protocol, BYTE slave, SYSTEMTIME* rtcTime) {
    if (protocol == RTC_PROTOCOL_AUTODETECT) {
        OutputDebugStringW(TEXT("RTC AutoDetect Function is not implemented!"));
        OutputDebugStringW(TEXT("No external RTC found\r\n"));
        return 0;
    }
    if (protocol >= RTC_PROTOCOL_COUNT || g_rtcProtocols[protocol].read == 0) {
        OutputDebugStringW(TEXT("No external RTC found\r\n"));
        return 0;
    }
    if (!RtcReadChip(&g_rtcProtocols[protocol], slave, rtcTime)) {
        ReportFailedRead();
        OutputDebugStringW(TEXT("No external RTC found\r\n"));
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
        if (GetTickCount() - start >= APP_CLEANUP_RETRY_MS) {
            OutputDebugStringW(TEXT("Tamblin: Could not clear old notifications\r\n"));
            return;
        }
        Sleep(pauseMs);
        // A failure that persists is not helped by asking the notification service every
        // millisecond for seconds on end.
        if (pauseMs < APP_CLEANUP_PAUSE_MAX_MS) pauseMs *= 2;
    }
}

// Before the boot touches the clock or registers: its own path, the notification service up,
// the registrations of earlier boots gone.
static void PrepareRegistration(WCHAR* modulePath) {
    modulePath[0] = 0;
    GetModuleFileNameW(0, modulePath, APP_MODULE_PATH_CHARS);
    // Registered path and searched name must agree in letter case.
    _wcsupr(modulePath);

    // Hold here until the notification service is up; without the event there is nothing to
    // wait for. A boot held up that long says so, once: the programs that depend on its launch
    // wait with it, since the clock is restored only after the wait.
    HANDLE apiReady = OpenEventW(EVENT_ALL_ACCESS, FALSE, kApiReadyEvent);
    if (WaitForSingleObject(apiReady, APP_SERVICE_NOTE_MS) == WAIT_TIMEOUT) {
        OutputDebugStringW(TEXT("Tamblin: waiting for the notification service\r\n"));
        WaitForSingleObject(apiReady, INFINITE);
    }
    if (apiReady != 0) CloseHandle(apiReady);

    ClearOwnNotificationsForAWhile(FileNamePart(modulePath));
}

// A zone change keeps the local time and moves UTC, which the chip holds: it must reach the chip
// as a time change does.
static void RegisterForTimeChanges(WCHAR* modulePath) {
    int time = RegisterTimeChangeNotification(modulePath);
    int zone = RegisterZoneChangeNotification(modulePath);
    if (!time || !zone) {
        OutputDebugStringW(TEXT("Tamblin: Could not add notification\r\n"));
    }
}

// The restore path's part off the bus: clock and registration. `reading`: the chip's time to the
// millisecond (Precise, DriftCorrection), else null.
static void RestoreClock(SYSTEMTIME* rtcTime, DWORD readTick, const ChipReading* reading) {
    SYSTEMTIME localTime;
    WCHAR modulePath[APP_MODULE_PATH_CHARS];
    PrepareRegistration(modulePath);

    FILETIME asFileTime;
    if (rtcTime->wYear == RTC_INVALID_YEAR) {
        OutputDebugStringW(TEXT("Invalid time on External RTC, please set a valid time\r\n"));
    } else if (!SystemTimeToFileTime(rtcTime, &asFileTime)) {
        // No date at all (month 13, 31 November, ...): the clock would refuse it, and a daylight
        // decision taken for it would shift the local time of a clock that stays as it is.
        PrintTime(TEXT("Error while restoring RTC time (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), rtcTime);
    } else {
        if (reading == 0)
            AdvanceByElapsed(rtcTime, readTick);
        else
            ReadingNow(reading, 0, rtcTime);
        EvaluateDaylightTime(rtcTime, &localTime);
        // The shell recomputes its daylight-saving event for the new clock.
        CeRunAppAtTime(kShellDstEvent, 0);
        if (reading != 0) ReadingNow(reading, 1, rtcTime);
        if (SetSystemTime(rtcTime)) {
            PrintTime(TEXT("RTC Time restored (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), rtcTime);
        } else {
            PrintTime(TEXT("Error while restoring RTC time (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), rtcTime);
        }
    }

    RegisterForTimeChanges(modulePath);
}

// A user-mode run reaches the controller only through the HAL's kernel-call bridge; when that is
// what failed, "I2C bus not available" alone would send a person after the bus.
static void ReportBridgeFailure(void) {
    DWORD error = g_BridgeState.failure;
    if (error == 0) return;
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_PROC_NOT_FOUND)
        NKDbgPrintfW(TEXT("Tamblin: kernel bridge IOCTL_KERNEL_BRIDGE not available (last error %u)\r\n"),
                     error);
    else
        NKDbgPrintfW(
            TEXT("Tamblin: kernel bridge IOCTL_KERNEL_BRIDGE refused the program (last error %u)\r\n"),
            error);
}

// The bus layer names an unknown processor or unit; a busy lock, a controller that cannot be
// mapped or an interrupt that cannot be had would otherwise leave no trace.
static void ReportBusNotAvailable(void) {
    ReportBridgeFailure();
    OutputDebugStringW(TEXT("Tamblin: I2C bus not available\r\n"));
}

// Opens and locks the bus of `unit`. The bus is shared with the touch, audio, power and battery
// drivers, any of which may hold it for a few seconds (at boot above all): the opening is tried
// again for about half a minute, with pauses that grow, and the lock is not held between the tries.
// An unknown processor, a unit the processor does not have, or a bridge that is missing or refuses,
// is no wait's to mend.
static int OpenBus(DWORD unit) {
    if (unit == 0) return 0;
    DWORD start = GetTickCount();
    DWORD pauseMs = APP_BUS_PAUSE_FIRST_MS;
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        if (I2CInit(unit) && I2CLock(INFINITE)) return 1;
        if (GetLastError() == ERROR_INVALID_COMPUTERNAME || GetLastError() == ERROR_INVALID_PARAMETER ||
            g_BridgeState.failure != 0)
            return 0;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= APP_BUS_RETRY_MS) return 0;
        if (pauseMs > APP_BUS_RETRY_MS - elapsed) pauseMs = APP_BUS_RETRY_MS - elapsed;
        Sleep(pauseMs);
        if (pauseMs < APP_BUS_PAUSE_MAX_MS) pauseMs *= 2;
    }
}

// What a run reads from the registry once it has the bus.
typedef struct RunConfig {
    DWORD protocol;
    BYTE slave;
    AppOptions options;
} RunConfig;

static void ReadConfig(RunConfig* c) {
    DWORD slaveAddr = 0;
    ReadRtcConfig(&c->protocol, &slaveAddr);
    c->slave = (BYTE)(slaveAddr & 0xFF);
    ReadTimeOptions(&c->options);
}

// The store path: after a change of the time or of the zone.
static int Store(int zoneChange) {
    // The time that this run was started to store: what is lost when the bus cannot be had.
    SYSTEMTIME changedTo = {};
    GetSystemTime(&changedTo);
    if (!OpenBus(ReadI2CUnit())) {
        PrintTime(TEXT("Error while setting RTC time (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), &changedTo);
        ReportBusNotAvailable();
        return 0;
    }
    RunConfig c;
    ReadConfig(&c);
    if (c.options.precise || c.options.driftCorrection) {
        StoreTimed(c.protocol, c.slave, &c.options, zoneChange);  // lets go of the bus itself
        return 1;
    }
    StorePath(c.protocol, c.slave);
    I2CUnlock();
    return 1;
}

// The restore path: the boot.
static int Boot(void) {
    if (!OpenBus(ReadI2CUnit())) {
        // Later time changes must still reach the chip, whatever the bus does at boot. The
        // clock stays as it is.
        WCHAR modulePath[APP_MODULE_PATH_CHARS];
        PrepareRegistration(modulePath);
        RegisterForTimeChanges(modulePath);
        ReportBusNotAvailable();
        return 0;
    }
    RunConfig c;
    ReadConfig(&c);
    BOOL timed = c.options.precise || c.options.driftCorrection;

    SYSTEMTIME rtcTime;
    int read = ReadForRestore(c.protocol, c.slave, &rtcTime);
    DWORD readTick = GetTickCount();
    LONGLONG readCounter = timed ? CounterNow() : 0;
    // Nothing after the chip read uses the bus. Every other I2C user on the device shares this
    // lock, and the notification service (or a driver it loads) may need the bus before it
    // reports ready: the lock must not be held across that wait.
    I2CUnlock();
    if (!read) return 1;
    ChipReading reading;
    if (timed) TakeChipReading(c.protocol, c.slave, &c.options, &rtcTime, readCounter, &reading);
    RestoreClock(&rtcTime, readTick, timed ? &reading : 0);
    return 1;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
    int timeChange = lpCmdLine != 0 && wcscmp(lpCmdLine, APP_RUN_AFTER_TIME_CHANGE) == 0;
    int zoneChange = lpCmdLine != 0 && wcscmp(lpCmdLine, APP_RUN_AFTER_TZ_CHANGE) == 0;
    if (timeChange || zoneChange) return Store(zoneChange);

    int result = Boot();
    // Started by the kernel from [HKEY_LOCAL_MACHINE\init]: the programs that depend on this launch
    // start once it says so, on every way the boot ends, so that none of them waits for ever.
    DWORD launch = 0;
    if (LaunchNumberOf(lpCmdLine, &launch)) SignalStarted(launch);
    return result;
}
