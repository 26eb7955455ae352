// The processor's two I2C controllers (standard unit and power-manager unit) at register level,
// the OS timer and the power manager's register page.
//
// A byte starts with a control write carrying the transfer bit and completes 9 bit times later
// (plus one bit time for a start and one for a stop condition) at 100 kHz, or 400 kHz with the
// fast-mode bit; completion sets the status bit, clears the transfer bit, and raises IRQ 18 while
// the matching interrupt enable is set. The chips are the board's (boardBus()); the wire is the
// board's SCL/SDA (buslines.h), reached only while the pins are routed to the controller.
//
// Fault injection, from the "faults" object of board.json:
//   "i2c": [{"byte": N, "fault": F}, ...]   N counts the bytes the controllers start in this
//        process, from 1 (address, register and data bytes alike). F is one of
//          "nak"                     the chip does not acknowledge byte N (sent bytes)
//          "arbitrationLoss"         another master wins the bus during byte N
//          "busError"                bus error while receiving byte N (no data reaches the master)
//          "stop" | "slaveAddress" | "generalCall"
//                                    byte N completes, and that bus event is reported with it
//          "stayBusy"                from the completion of byte N (N = 0: from power-on) the
//                                    unit reports STS_BUSY for good
//          "noInterrupt"             byte N completes but its interrupt never comes
//          "interruptWithoutStatus"  instead of moving byte N the unit raises its interrupt with
//                                    no status bit set
//   "i2cStuckSda": N (1..9) | "forever"   at power-on a chip holds SDA low until it has seen N
//        clock pulses (a slave stuck in the middle of a byte), or never lets go
//   "i2cChipTimeNs": extra board time each byte costs (default 0)
#pragma once

#include <cstdint>

namespace sim {

constexpr uint32_t kI2cStandardUnit = 0x40301680u;
constexpr uint32_t kI2cPowerManagerUnit = 0x40F00180u;
constexpr uint32_t kPowerManagerBase = 0x40F00000u;
constexpr uint32_t kPowerManagerConfig = 0x40F0001Cu;
constexpr uint32_t kPowerManagerConfigI2c = 0x40u;  // routes the power-manager unit to its pins
constexpr uint32_t kOsTimerBase = 0x40A00000u;
constexpr uint32_t kOsTimerCounter = 0x40A00010u;
constexpr unsigned kI2cIrq = 18;             // the standard unit's interrupt line
constexpr unsigned kI2cPowerManagerIrq = 6;  // the power-manager unit has a line of its own

// One bit time on the wire.
constexpr uint64_t kI2cStandardBitNs = 10000;  // 100 kHz
constexpr uint64_t kI2cFastBitNs = 2500;       // 400 kHz

// The OS timer counter's value at board uptime `ns` (3.25 MHz, before any write to the counter).
uint32_t osTimerTicksAt(uint64_t ns);

}  // namespace sim
