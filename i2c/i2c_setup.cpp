// Opening a unit (clock, pins, recovery of a stuck bus, reset) and the system-wide bus lock.
#include "../gpiolib/gpiolib.h"
#include "../platform/hwaccess.h"
#include "../platform/platform.h"
#include "i2c.h"
#include "i2c_driver.h"

static const WCHAR kBusMutexName[] = TEXT("I2C");

static DWORD ReadReg(DWORD offset) {
    return HwRead32(g_i2c.regs + offset / 4);
}
static void WriteReg(DWORD offset, DWORD value) {
    HwWrite32(g_i2c.regs + offset / 4, value);
}

// Bus pins of the standard unit; SDA is always the pin after SCL.
typedef struct I2CPins {
    DWORD processorId;
    DWORD scl;
} I2CPins;

static const I2CPins kStandardUnitPins[] = {
    {PROCESSOR_ID_2, 32},
    {PROCESSOR_ID_8, 21},
    {PROCESSOR_ID_9, 21},
    {PROCESSOR_ID_17, 117},
};

int I2CCreateLock(void) {
    if (g_i2c.busMutex != 0) return 1;
    g_i2c.busMutex = CreateMutexW(0, FALSE, kBusMutexName);
    // Nobody else had the bus open (or the mutex could not be made): whoever used it last may
    // have left it mid-transfer.
    if (GetLastError() != ERROR_ALREADY_EXISTS) g_i2c.recoveryNeeded = 1;
    return g_i2c.busMutex != 0 ? 1 : 0;
}

void I2CSetFastMode(int on) {
    DWORD ctl = ReadReg(I2C_CONTROL);
    if (on) {
        WriteReg(I2C_CONTROL, ctl | CTL_FAST_MODE);
        g_i2c.fastModeSetting = I2C_SPEED_FAST;
    } else {
        WriteReg(I2C_CONTROL, ctl & ~CTL_FAST_MODE);
        g_i2c.fastModeSetting = I2C_SPEED_STANDARD;
    }
}

// Ten clock pulses free a slave that holds SDA low in the middle of a byte, and a stop condition
// ends whatever it thought was going on. Lines are only pulled low or released, never driven high.
static void RecoverBus(DWORD scl, DWORD sda) {
    GPIOSetLevel(scl, 0);
    GPIOSetLevel(sda, 0);
    for (int i = 0; i < I2C_RECOVERY_PULSES; ++i) {
        GPIOSetDir(scl, 0);
        DelayUs(I2C_RECOVERY_STEP_US);
        GPIOSetDir(scl, 1);
        DelayUs(I2C_RECOVERY_STEP_US);
    }
    GPIOSetDir(sda, 1);
    DelayUs(I2C_RECOVERY_STEP_US);
    GPIOSetDir(scl, 0);
    DelayUs(I2C_RECOVERY_STEP_US);
    GPIOSetDir(sda, 0);
}

static int OpenStandardUnit(DWORD processorId) {
    ClockEnable(CLOCK_I2C_STANDARD, 1);
    GPIOInit();
    DWORD scl = 0;
    for (DWORD i = 0; i < sizeof(kStandardUnitPins) / sizeof(kStandardUnitPins[0]); ++i) {
        if (kStandardUnitPins[i].processorId == processorId) scl = kStandardUnitPins[i].scl;
    }
    if (scl == 0) {
        NKDbgPrintfW(TEXT("ERROR: I2C Unknown Processor ID\n\r"));
        SetLastError(ERROR_INVALID_COMPUTERNAME);
        return 0;
    }
    DWORD sda = scl + 1;
    GPIOSetAltFn(scl, -1, 0);
    GPIOSetAltFn(sda, -1, 0);
    if (GPIOGetLevel(scl) == 0 || GPIOGetLevel(sda) == 0) g_i2c.recoveryNeeded = 1;
    if (g_i2c.recoveryNeeded) {
        RecoverBus(scl, sda);
        g_i2c.recoveryNeeded = 0;
    }
    GPIOSetAltFn(scl, 1, 1);
    GPIOSetAltFn(sda, 1, 1);
    return 1;
}

static int OpenPowerManagerUnit(void) {
    volatile DWORD* config = MapRegisters(PWRMGR_CONFIG_ADDR);
    if (config == 0) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return 0;
    }
    HwWrite32(config, HwRead32(config) | PWRMGR_CONFIG_I2C);
    UnmapRegisters(config);
    ClockEnable(CLOCK_I2C_PWRMGR, 1);
    return 1;
}

int I2CInit(DWORD unitBase) {
    if (!I2CCreateLock()) return 0;
    // Each unit has an interrupt line of its own; a SYSINTR still recorded for the other one
    // (after a failed attach) is no use here.
    DWORD irq = unitBase == I2C_UNIT_PWRMGR ? I2C_IRQ_PWRMGR : I2C_IRQ_STANDARD;
    if (irq != g_i2c.irq && g_i2c.sysIntr != 0) {
        ReleaseSysIntr(g_i2c.sysIntr);
        g_i2c.sysIntr = 0;
    }
    g_i2c.irq = irq;
    // An opening that is tried again maps the unit again: the window of the earlier try goes.
    if (g_i2c.regs != 0) UnmapRegisters(g_i2c.regs);
    g_i2c.regs = MapRegisters(unitBase);
    if (g_i2c.regs == 0) {
        // Without the controller's registers there is nothing to lock or open.
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return 0;
    }
    if (!I2CLock(I2C_INIT_LOCK_MS)) return 0;

    DWORD processorId = GetProcessorID();
    ClockInit();

    int opened;
    if (unitBase == I2C_UNIT_STANDARD) {
        opened = OpenStandardUnit(processorId);
    } else if (unitBase == I2C_UNIT_PWRMGR && processorId == PROCESSOR_ID_17) {
        opened = OpenPowerManagerUnit();
    } else {
        NKDbgPrintfW(TEXT("ERROR: I2C Unknown I2C Unit\n\r"));
        SetLastError(ERROR_INVALID_PARAMETER);
        opened = 0;
    }
    if (!opened) {
        DWORD error = GetLastError();
        I2CUnlock();
        SetLastError(error);
        return 0;
    }

    // Interrupt enables and fast mode come back with the next lock.
    I2CResetUnit(0);
    SetLastError(ERROR_SUCCESS);
    return I2CUnlock();
}

int I2CInitStandard(void) {
    return I2CInit(I2C_UNIT_STANDARD);
}

int I2CLock(DWORD timeoutMs) {
    if (WaitForSingleObject(g_i2c.busMutex, timeoutMs) != WAIT_OBJECT_0) return 0;
    g_i2c.savedFastMode = (ReadReg(I2C_CONTROL) & CTL_FAST_MODE) ? I2C_SPEED_FAST : I2C_SPEED_STANDARD;
    I2CSetFastMode(g_i2c.fastModeSetting);
    g_i2c.intrEvent = CreateEventW(0, FALSE, FALSE, 0);
    if (g_i2c.sysIntr == 0) g_i2c.sysIntr = RequestSysIntr(g_i2c.irq);
    if (g_i2c.sysIntr == 0 || !BridgeInterruptInitialize(g_i2c.sysIntr, g_i2c.intrEvent, 0, 0)) {
        // A SYSINTR already obtained stays recorded for the next attempt.
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        CloseHandle(g_i2c.intrEvent);
        g_i2c.intrEvent = 0;
        ReleaseMutex(g_i2c.busMutex);
        return 0;
    }
    WriteReg(I2C_CONTROL, ReadReg(I2C_CONTROL) | CTL_INTERRUPTS);
    return 1;
}

int I2CUnlock(void) {
    BridgeInterruptDisable(g_i2c.sysIntr);
    ReleaseSysIntr(g_i2c.sysIntr);
    g_i2c.sysIntr = 0;
    CloseHandle(g_i2c.intrEvent);
    g_i2c.intrEvent = 0;
    I2CSetFastMode(g_i2c.savedFastMode);
    return ReleaseMutex(g_i2c.busMutex);
}
