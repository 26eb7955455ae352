// Tamblin's main routine: at boot it restores the system clock from the RTC chip and registers
// for time and zone changes; started with "AppRunAfterTimeChange" or "AppRunAfterTzChange" it
// stores the system clock in the chip. WinMain holds the bus lock from the bus's opening to the
// end of what each path does on the bus, and chooses the way the options take, once.
#include "../i2c/i2c.h"
#include "../platform/platform.h"
#include "messages.h"
#include "restore.h"
#include "store_rule.h"
#include "timekeeping.h"

#define BUS_RETRY_MS 30000      // how long both paths try again to open a bus another driver holds
#define BUS_PAUSE_FIRST_MS 250  // the first pause between those tries; it doubles
#define BUS_PAUSE_MAX_MS 4000   // up to this

// What one run is: its path, and once it has the bus, its chip and the way it keeps time.
typedef struct Run {
    int store;             // a store after a change of the time or of the zone; else the boot's restore
    SYSTEMTIME changedTo;  // store: the time it was started to store, which is lost without the bus
    ChipRun chip;
} Run;

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
static void ReportNoBus(Run* run) {
    if (run->store) {
        PrintTime(TEXT("Error while setting RTC time (%.2d.%.2d.%.4d %.2d:%.2d:%.2d)\r\n"), &run->changedTo);
    } else {
        // Later time changes must still reach the chip, whatever the bus does at boot. The clock
        // stays as it is.
        WCHAR modulePath[APP_MODULE_PATH_CHARS];
        PrepareRegistration(modulePath);
        RegisterForTimeChanges(modulePath);
    }
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
    DWORD pauseMs = BUS_PAUSE_FIRST_MS;
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        if (I2CInit(unit) && I2CLock(INFINITE)) return 1;
        if (GetLastError() == ERROR_INVALID_COMPUTERNAME || GetLastError() == ERROR_INVALID_PARAMETER ||
            g_BridgeState.failure != 0)
            return 0;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= BUS_RETRY_MS) return 0;
        if (pauseMs > BUS_RETRY_MS - elapsed) pauseMs = BUS_RETRY_MS - elapsed;
        Sleep(pauseMs);
        if (pauseMs < BUS_PAUSE_MAX_MS) pauseMs *= 2;
    }
}

// The chip's row in the protocol table; null when `protocol` has none, said with the path's
// `failure` (after the auto-detect message for 0, which is not implemented).
static const RtcProtocolEntry* ProtocolEntry(DWORD protocol, const WCHAR* failure) {
    if (protocol == RTC_PROTOCOL_AUTODETECT)
        OutputDebugStringW(TEXT("RTC AutoDetect Function is not implemented!"));
    if (protocol == RTC_PROTOCOL_AUTODETECT || protocol >= RTC_PROTOCOL_COUNT) {
        OutputDebugStringW(failure);
        return 0;
    }
    return &g_rtcProtocols[protocol];
}

// What a run reads from the registry once it has the bus; the way it keeps time follows from it.
static void ReadConfig(Run* run) {
    DWORD protocol = 0;
    DWORD slaveAddr = 0;
    ReadRtcConfig(&protocol, &slaveAddr);
    run->chip.slave = (BYTE)(slaveAddr & 0xFF);
    ReadTimeOptions(&run->chip.options);
    run->chip.entry = ProtocolEntry(protocol, run->store ? g_msgSetError : g_msgNoRtc);
    run->chip.way = run->chip.options.precise || run->chip.options.driftCorrection ? WAY_TIMED : WAY_PLAIN;
}

// A path's part on the bus: 1 when there is more to do once the bus is let go.
static int HoldingBus(Run* run) {
    ChipRun* chip = &run->chip;
    if (run->store) {
        GetSystemTime(&chip->time);
        int may = chip->entry != 0 && StoreMayWrite(&chip->time);
        if (may) TakeStep(chip, STEP_STORE_HOLDING_BUS);
        return may;
    }
    int read = chip->entry != 0 && ReadForRestore(chip);
    TakeStep(chip, STEP_READ_TAKEN);
    return read;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
    Run run = {};
    run.chip.zoneChange = lpCmdLine != 0 && wcscmp(lpCmdLine, APP_RUN_AFTER_TZ_CHANGE) == 0;
    run.store = run.chip.zoneChange || (lpCmdLine != 0 && wcscmp(lpCmdLine, APP_RUN_AFTER_TIME_CHANGE) == 0);
    if (run.store) GetSystemTime(&run.changedTo);
    int opened = OpenBus(ReadI2CUnit());
    if (opened) {
        ReadConfig(&run);
        int more = HoldingBus(&run);
        // Nothing after this uses the bus but the timed store, which takes it for each transfer
        // alone. Every other I2C user on the device shares this lock, and the notification service
        // (or a driver it loads) may need the bus before it reports ready: the lock must not be
        // held across the boot's wait for it.
        I2CUnlock();
        if (more && run.store) TakeStep(&run.chip, STEP_STORE_AFTER_BUS);
        if (more && !run.store) Restore(&run.chip);
    } else {
        ReportNoBus(&run);
    }
    // Started by the kernel from [HKEY_LOCAL_MACHINE\init]: the programs that depend on this launch
    // start once it says so, on every way the boot ends, so that none of them waits for ever.
    DWORD launch = 0;
    if (LaunchNumberOf(lpCmdLine, &launch)) SignalStarted(launch);
    return opened;
}
