// The driver's state and its internal routines: what controller set-up and locking
// (i2c_setup.cpp) and the transfer engine (i2c_engine.cpp) share.
#pragma once

#include <windows.h>

#include "i2c_regs.h"

// The bus speed: the one I2CLock found on the controller, and the one it applies.
typedef enum I2CBusSpeed {
    I2C_SPEED_STANDARD = 0,  // 100 kHz: CTL_FAST_MODE clear
    I2C_SPEED_FAST = 1,      // 400 kHz: CTL_FAST_MODE set
    // Process start: fast, until I2CInit's unlock records the speed the controller had before.
    I2C_SPEED_FAST_AT_START = 2
} I2CBusSpeed;

typedef struct I2CDriverState {
    volatile DWORD* regs;         // mapped register block of the open unit
    HANDLE busMutex;              // the system-wide mutex "I2C"
    HANDLE intrEvent;             // signalled by the kernel on the controller's interrupt
    DWORD sysIntr;                // for the open unit's IRQ; 0 = none
    I2CBusSpeed savedFastMode;    // the speed I2CLock found, put back by I2CUnlock
    int recoveryNeeded;           // clear the bus at the next opening of the standard unit
    I2CBusSpeed fastModeSetting;  // applied by I2CLock; I2CSetFastMode records what it set
    DWORD irq;                    // interrupt of the open unit, chosen by I2CInit
    DWORD byteStatus;             // I2C_STATUS as the wait for the last byte found it
    int slaveTransmits;           // a slave acknowledged its read address and has not been refused a byte
                                  // since: it drives SDA for its next byte
    DWORD heldLines;              // I2C_LINE_* found low after the last transfer failed
} I2CDriverState;

extern I2CDriverState g_i2c;

int I2CCreateLock(void);
void I2CSetFastMode(int on);
int I2CSend(DWORD slave, const BYTE* bytes, DWORD count, int stop);
int I2CReceive(DWORD slave, BYTE* buffer, DWORD count, int stop);
int I2CWaitTx(DWORD timeoutMs);
int I2CWaitRx(DWORD timeoutMs);
// Unit reset, then enabled again with the control bits of `keep` (interrupt enables, bus speed).
void I2CResetUnit(DWORD keep);
void DelayUs(DWORD microseconds);
