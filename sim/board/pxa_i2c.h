// The processor's two I2C units (XScale class: the standard unit and, on the PXA27x, the
// power-manager unit, which sits inside the power manager's register page, power_manager.h).
// Both units reach the board's one I2C bus (i2c_bus.h); the standard unit only while both bus
// pins are in their alternate function 1, the power-manager unit only while bit 0x40 of the power
// manager's configuration register (PCFR) routes it to its pins.
#pragma once

#include <cstdint>

namespace sim {

constexpr uint32_t kI2cStandardUnit = 0x40301680u;
constexpr uint32_t kI2cPowerManagerUnit = 0x40F00180u;
constexpr uint32_t kI2cUnitSize = 0x24;      // IBMR .. ISAR
constexpr unsigned kI2cIrq = 18;             // the standard unit's interrupt line
constexpr unsigned kI2cPowerManagerIrq = 6;  // the power-manager unit has a line of its own

// Register offsets of an I2C unit, and their bits, as the processor manuals name them.
namespace pxa_i2c {
constexpr uint32_t IBMR = 0x00;  // bus monitor: the levels of the unit's two pins
constexpr uint32_t IDBR = 0x08;  // data buffer
constexpr uint32_t ICR = 0x10;   // control
constexpr uint32_t ISR = 0x18;   // status
constexpr uint32_t ISAR = 0x20;  // the unit's own slave address

constexpr uint32_t IBMR_SDA = 1u << 0, IBMR_SCL = 1u << 1;

constexpr uint32_t ICR_START = 1u << 0, ICR_STOP = 1u << 1, ICR_ACKNAK = 1u << 2, ICR_TB = 1u << 3,
                   ICR_MA = 1u << 4, ICR_SCLE = 1u << 5, ICR_IUE = 1u << 6, ICR_GCD = 1u << 7,
                   ICR_ITEIE = 1u << 8, ICR_IRFIE = 1u << 9, ICR_BEIE = 1u << 10, ICR_SSDIE = 1u << 11,
                   ICR_ALDIE = 1u << 12, ICR_SADIE = 1u << 13, ICR_UR = 1u << 14, ICR_FM = 1u << 15;

constexpr uint32_t ISR_RWM = 1u << 0, ISR_ACKNAK = 1u << 1, ISR_UB = 1u << 2, ISR_IBB = 1u << 3,
                   ISR_SSD = 1u << 4, ISR_ALD = 1u << 5, ISR_ITE = 1u << 6, ISR_IRF = 1u << 7,
                   ISR_GCAD = 1u << 8, ISR_SAD = 1u << 9, ISR_BED = 1u << 10;
// Bits 4..10 record events and clear when 1 is written to them; bits 0..3 show the unit's state.
constexpr uint32_t ISR_EVENTS = ISR_SSD | ISR_ALD | ISR_ITE | ISR_IRF | ISR_GCAD | ISR_SAD | ISR_BED;
}  // namespace pxa_i2c

}  // namespace sim
