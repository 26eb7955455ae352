// The bus contract carried out on the board's wires a transaction at a time, by a master that
// moves whole bytes, with the system-wide mutex "I2C" as the lock. It lets the application and
// the chip routines run in a test process without the register-level controller driver; what the
// driver decides (which addresses it refuses, its messages, its last errors but the bus's
// answer) is the driver's, not this stand-in's.
#include "../../i2c/i2c.h"
#include "../board/i2c_master.h"

namespace {

HANDLE gBusMutex = nullptr;
bool gLocked = false;

// A transaction the chip did not acknowledge ends with a stop; the contract's last error for it.
int refused(sim::I2cWireMaster& bus) {
    bus.stop();
    SetLastError(ERROR_INVALID_ADDRESS);
    return 0;
}

}  // namespace

int I2CInit(DWORD) {
    // Created or opened at every call: a test process moves from board to board, and the
    // handle of an earlier board's mutex is gone.
    gBusMutex = CreateMutexW(nullptr, FALSE, TEXT("I2C"));
    if (!gBusMutex) return 0;
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

int I2CWriteRegs(DWORD slave, const BYTE* data, int reg, DWORD length) {
    if (!gLocked) {
        SetLastError(ERROR_TIMEOUT);  // no interrupt attached outside the lock
        return 0;
    }
    sim::I2cWireMaster bus;
    if (!bus.start(static_cast<uint8_t>((slave & 0x7F) << 1))) return refused(bus);
    if (!(reg & I2C_REG_NONE) && !bus.write(static_cast<uint8_t>(reg & 0xFF))) return refused(bus);
    for (DWORD i = 0; i < length; ++i)
        if (!bus.write(data[i])) return refused(bus);
    bus.stop();
    SetLastError(ERROR_SUCCESS);
    return 1;
}

int I2CReadRegs(DWORD slave, BYTE* buffer, int reg, DWORD length) {
    if (!gLocked) {
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    sim::I2cWireMaster bus;
    const uint8_t address = static_cast<uint8_t>((slave & 0x7F) << 1);
    if (!(reg & I2C_REG_NONE)) {
        if (!bus.start(address) || !bus.write(static_cast<uint8_t>(reg & 0xFF))) return refused(bus);
    }
    if (!bus.start(address | 1)) return refused(bus);  // a repeated start when a register went first
    for (DWORD i = 0; i < length; ++i) buffer[i] = bus.read(i + 1 < length);
    bus.stop();
    SetLastError(ERROR_SUCCESS);
    return 1;
}
