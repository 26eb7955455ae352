// The bus contract carried out a whole transaction at a time on the board's bus, with the
// system-wide mutex "I2C" as the lock. It lets the application and the chip routines run before
// (and independently of) the register-level controller driver.
#include "../../i2c/i2c.h"
#include "../board/chips.h"

namespace {

HANDLE gBusMutex = nullptr;
bool gLocked = false;

bool slaveRefused(BYTE slave) {
    return slave == 0x00 || slave == I2C_OWN_SLAVE_ADDR || slave > 0x7F;
}

// Address phase (and register byte) of a transaction; false with the contract's last error.
bool beginTransaction(sim::I2cBus& bus, BYTE slave, bool read) {
    if (!bus.start(static_cast<uint8_t>((slave << 1) | (read ? 1 : 0)))) {
        bus.stop();
        SetLastError(ERROR_INVALID_ADDRESS);  // nobody acknowledged
        return false;
    }
    return true;
}

}  // namespace

int I2CInit(DWORD unitBase) {
    // Created or opened at every call: a test process moves from board to board, and the
    // handle of an earlier board's mutex is gone.
    gBusMutex = CreateMutexW(nullptr, FALSE, TEXT("I2C"));
    if (!gBusMutex) return 0;
    if (unitBase != I2C_UNIT_STANDARD && unitBase != I2C_UNIT_PWRMGR) {
        NKDbgPrintfW(TEXT("ERROR: I2C Unknown I2C Unit\n\r"));
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    return 1;
}

int I2CInitStandard(void) {
    return I2CInit(I2C_UNIT_STANDARD);
}

int I2CLock(DWORD timeoutMs) {
    if (WaitForSingleObject(gBusMutex, timeoutMs) != WAIT_OBJECT_0) return 0;
    gLocked = true;
    return 1;
}

int I2CUnlock(void) {
    gLocked = false;
    return ReleaseMutex(gBusMutex);
}

int I2CWriteRegs(DWORD slaveArg, const BYTE* data, int reg, DWORD length) {
    const BYTE slave = static_cast<BYTE>(slaveArg & 0xFF);
    if (!gLocked) {
        SetLastError(ERROR_TIMEOUT);  // no interrupt attached outside the lock
        return 0;
    }
    if (slaveRefused(slave)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    sim::I2cBus& bus = sim::boardBus();
    if (!beginTransaction(bus, slave, false)) return 0;
    const bool noRegister = (reg & I2C_REG_NONE) != 0;
    if (noRegister && length == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);  // the address went out; no stop follows
        return 0;
    }
    if (!noRegister && !bus.writeByte(static_cast<uint8_t>(reg & 0xFF))) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return 0;
    }
    for (DWORD i = 0; i < length; ++i) {
        if (!bus.writeByte(data[i])) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return 0;
        }
    }
    bus.stop();
    SetLastError(ERROR_SUCCESS);
    return 1;
}

int I2CReadRegs(DWORD slaveArg, BYTE* buffer, int reg, DWORD length) {
    const BYTE slave = static_cast<BYTE>(slaveArg & 0xFF);
    if (!gLocked) {
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    if (slaveRefused(slave)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    sim::I2cBus& bus = sim::boardBus();
    if ((reg & I2C_REG_NONE) == 0) {
        if (!beginTransaction(bus, slave, false)) return 0;
        if (!bus.writeByte(static_cast<uint8_t>(reg & 0xFF))) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return 0;
        }
    }
    if (!beginTransaction(bus, slave, true)) return 0;  // repeated start when a register went first
    for (DWORD i = 0; i < length; ++i) buffer[i] = bus.readByte(i + 1 < length);
    bus.stop();
    SetLastError(ERROR_SUCCESS);
    return 1;
}
