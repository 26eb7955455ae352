// The I2C bus contract: open a controller unit, hold the system-wide bus lock, and move blocks of
// chip registers. Every operation returns non-zero for success; the transfers and I2CInit set the
// thread's last error on success (0) and on every failure.
#pragma once

#include <windows.h>

#define I2C_UNIT_STANDARD 0x40301680u  // standard I2C unit
#define I2C_UNIT_PWRMGR 0x40F00180u    // power-manager I2C unit (processor ID 17 only)

#define I2C_OWN_SLAVE_ADDR 0x12u  // the controller's own address: never a chip's
#define I2C_SLAVE_NONE 0xFFu      // no address phase: continue the transfer in progress
#define I2C_REG_NONE 0x8000       // bit 15 of the register selector: no register byte

// Opens the unit at `unitBase` for this process (bus lock created, registers mapped, clock on,
// bus idle, controller reset and enabled).
int I2CInit(DWORD unitBase);
// The standard unit: exactly I2CInit(I2C_UNIT_STANDARD).
int I2CInitStandard(void);
// Takes the bus lock (INFINITE waits for ever) and attaches the controller's interrupt.
int I2CLock(DWORD timeoutMs);
// Detaches the interrupt, restores the bus speed found by I2CLock and releases the lock.
int I2CUnlock(void);
// `slave`: 7-bit address in the low 8 bits. `reg`: register number in bits 0..7; bit 15 set
// means no register byte. One transaction each. C names, so that a test can put itself between
// the chip routines and the driver by the functions' plain names (the linker's --wrap).
extern "C" {
int I2CWriteRegs(DWORD slave, const BYTE* data, int reg, DWORD length);
int I2CReadRegs(DWORD slave, BYTE* buffer, int reg, DWORD length);
}

// The bus lines that the last transfer, having failed, left low once it had ended its
// transaction (0 after a transfer that succeeded): a slave or another device holding the line.
#define I2C_LINE_SCL 0x1u
#define I2C_LINE_SDA 0x2u
DWORD I2CHeldLines(void);
