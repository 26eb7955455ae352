// The two wires of the board's I2C bus. Every driver (a GPIO pin configured as an output, the I2C
// controller, a chip) can only pull a line low or let it go; the pull-up resistor makes a line
// high when nobody pulls it (open drain, wired AND). The GPIO pins that the processor wires to the
// bus read these levels, and observers (a chip stuck mid-byte counting clock pulses, the bus
// trace) see every change.
#pragma once

#include <functional>

namespace sim {

enum class BusLine { SCL = 0, SDA = 1 };
enum class LineDriver { GpioPin = 0, Controller = 1, Chip = 2 };

void pullLine(BusLine line, LineDriver who, bool pullLow);
bool lineHigh(BusLine line);
// Called after a line's level changed, with the new level.
void onLineChange(std::function<void(BusLine line, bool high)> observer);
// Tests: every driver lets go, observers are dropped.
void resetBusLinesForTests();

}  // namespace sim
