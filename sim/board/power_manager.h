// The power manager's register page (0x40F00000) of the XScale-class processors: a plain register
// file as far as this board goes, with the power-manager I2C unit inside it (pxa_i2c.h). Its
// configuration register PCFR decides whether that unit reaches its pins.
#pragma once

#include <cstdint>

namespace sim {

constexpr uint32_t kPowerManagerBase = 0x40F00000u;
constexpr uint32_t kPowerManagerConfig = 0x40F0001Cu;  // PCFR
constexpr uint32_t kPowerManagerConfigI2c = 0x40u;     // PCFR: routes the power-manager unit to its pins

// PCFR as the power manager holds it: whether the power-manager I2C unit drives its pins.
bool powerManagerI2cRouted();

}  // namespace sim
