// The clock managers of the ARMv5 processors (clocks.cpp), as the devices they gate ask them.
#pragma once

namespace sim {

// Whether the clock of an I2C unit (the standard unit, or the power manager's) runs: its enable
// bit as the clock manager holds it, a stuck bit as it reads back. A board whose processor has no
// clock model here runs every unit.
bool i2cUnitClockRunning(bool powerManagerUnit);

}  // namespace sim
