// The processor's GPIO pins as the rest of the board sees them. Which GPIO hardware exists
// depends on the processor the board carries (board.json "processor").
//
// Pins are electrical. A GPIO output drives its pad; an input reads the pad. The board's I2C SCL
// and SDA lines are wired to the processor's bus pins (ID 2: 32/33; IDs 8, 9: 21/22; ID 17:
// 117/118): such a pin in its GPIO function, as an output with its latch low, pulls the line low
// (LineDriver::GpioPin), and its level bit reads the line whatever its function. Other input pads
// read high (pull-up) unless the board holds them low.
//
// Fault injection, from the "faults" object of board.json:
//   "gpioInputsLow": [p, ...]     the pads of these pins are held low by the board: as inputs they
//                                 read 0 (ARMv5: bit number in the GPIO block, 0..127;
//                                 Cortex-A9 class: pin number 0..221)
//   "clockStuckBits": [n, ...]    these clock-enable bits never read back as 1 (the clock does not
//                                 start); n as the clock table numbers them: ID 17 bits 0..31 of
//                                 0x41300004, IDs 2, 8, 9 bits 0..31 of 0x4134000C and 32..63 for
//                                 bits 0..31 of 0x41340010
//   "clockStuckOnBits": [n, ...]  these clock-enable bits never read back as 0
#pragma once

#include <cstdint>

#include "board.h"

namespace sim {

// The processor ID the board's main ID register stands for (0 when unknown).
uint32_t boardProcessorId(const BoardConfig& config);

// True when both bus pins of the standard I2C unit are in alternate function 1 (the I2C
// controller). Boards without a GPIO model have the pins wired straight to the controller.
bool i2cPinsRoutedToController();

// Tests: the level an input pad reads (pin numbering as for "gpioInputsLow"). The bus pins
// always read their line.
void setGpioPadLevel(uint32_t pin, bool high);

namespace detail {
// The Cortex-A9-class controller's half of setGpioPadLevel; false when that model is absent.
bool setA9GpioPadLevel(uint32_t pin, bool high);
}  // namespace detail

}  // namespace sim
