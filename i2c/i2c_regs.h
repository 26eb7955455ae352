// The processor's I2C controller (XScale class): its register map and bits, and the driver's
// timing constants.
#pragma once

#include <windows.h>

// Register offsets from the unit base, in bytes; every register is a 32-bit word.
#define I2C_BUS_MONITOR 0x00u  // the levels of SCL and SDA as the unit sees them
#define I2C_DATA 0x08u         // next byte to send / last byte received (low 8 bits)
#define I2C_CONTROL 0x10u      // read-modify-write for every byte
#define I2C_STATUS 0x18u       // event bits 4..10 clear by writing 1
#define I2C_OWN_ADDR 0x20u     // the controller's own slave address

// I2C_CONTROL
#define CTL_START 0x0001u          // start (or repeated start) before this byte
#define CTL_STOP 0x0002u           // stop after this byte
#define CTL_NAK 0x0004u            // receiving: do not acknowledge this byte
#define CTL_TRANSFER 0x0008u       // move one byte
#define CTL_ABORT 0x0010u          // master abort
#define CTL_SCL_ENABLE 0x0020u     // drive SCL
#define CTL_UNIT_ENABLE 0x0040u    // unit on
#define CTL_GCALL_DISABLE 0x0080u  // ignore general calls
#define CTL_TX_EMPTY_IE 0x0100u    // interrupt when a byte has been sent
#define CTL_RX_FULL_IE 0x0200u     // interrupt when a byte has been received
#define CTL_BUS_ERROR_IE 0x0400u   // interrupt on a missing acknowledge
#define CTL_ARB_LOSS_IE 0x1000u    // interrupt on lost arbitration
#define CTL_RESET 0x4000u          // unit reset
#define CTL_FAST_MODE 0x8000u      // 400 kHz instead of 100 kHz

#define CTL_ENABLE_VALUE (CTL_SCL_ENABLE | CTL_UNIT_ENABLE | CTL_GCALL_DISABLE)                 // 0xE0
#define CTL_INTERRUPTS (CTL_TX_EMPTY_IE | CTL_RX_FULL_IE | CTL_BUS_ERROR_IE | CTL_ARB_LOSS_IE)  // 0x1700

// I2C_BUS_MONITOR: a line's bit is set while the line is high
#define BUS_MONITOR_SDA 0x1u
#define BUS_MONITOR_SCL 0x2u

// I2C_STATUS
#define STS_BUSY 0x001u             // a transfer is in progress
#define STS_STOP_DETECTED 0x010u    // bus event
#define STS_ARB_LOST 0x020u         // arbitration lost
#define STS_TX_EMPTY 0x040u         // a byte has been sent
#define STS_RX_FULL 0x080u          // a byte has been received
#define STS_GCALL_DETECTED 0x100u   // bus event
#define STS_SLAVE_ADDRESSED 0x200u  // bus event
#define STS_BUS_ERROR 0x400u        // missing acknowledge

// 0x330: the bus events
#define STS_BUS_EVENTS (STS_STOP_DETECTED | STS_ARB_LOST | STS_GCALL_DETECTED | STS_SLAVE_ADDRESSED)
#define STS_EVENTS (STS_BUS_EVENTS | STS_TX_EMPTY | STS_RX_FULL | STS_BUS_ERROR)  // 0x7F0: all event bits
#define STS_EVENTS_BUT_TX_EMPTY (STS_EVENTS & ~STS_TX_EMPTY)                      // 0x7B0
#define STS_EVENTS_BUT_RX_FULL (STS_EVENTS & ~STS_RX_FULL)                        // 0x770

#define I2C_IRQ_STANDARD 18u     // the standard unit's interrupt
#define I2C_IRQ_PWRMGR 6u        // the power-manager unit's interrupt: it has a line of its own
#define I2C_WAIT_MS 10u          // longest wait for one byte
#define I2C_INIT_LOCK_MS 2000u   // I2CInit's wait for the bus lock
#define I2C_STOP_SETTLE_US 10u   // after every stop condition
#define I2C_RECOVERY_STEP_US 5u  // half a clock of the bus recovery
#define I2C_RECOVERY_PULSES 10

#define PWRMGR_CONFIG_ADDR 0x40F0001Cu  // power manager's configuration register
#define PWRMGR_CONFIG_I2C 0x40u         // routes the power-manager I2C unit
#define OS_TIMER_COUNTER_ADDR 0x40A00010u
// The counter runs at 3.25 MHz: 13 ticks every 4 microseconds. Counting only 3 ticks per
// microsecond would cut every delay by 1/13 (DelayUs(5) = 4.6 us, short of the bus's 4.7 us low
// time), so the tick count is rounded up from the true rate; it is never below 3 per microsecond.
#define OS_TIMER_TICKS_PER_4US 13u
