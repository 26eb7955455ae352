// A master on the board's I2C wires that moves whole bytes at 100 kHz, for what drives the bus
// without an I2C unit of the processor: the board tool's bus scan and the in-process chip tests.
// It waits while somebody stretches the clock and gives up where nobody ever lets SCL go.
#pragma once

#include <cstdint>
#include <optional>

#include "i2c_bus.h"

namespace sim {

class I2cWireMaster {
  public:
    explicit I2cWireMaster(I2cBusId bus = I2cBusId::Standard);
    // A start (a repeated start while a transaction is open) and the address byte; true when a
    // chip acknowledged it.
    bool start(uint8_t addressByte);
    // A byte to the addressed chip; true when acknowledged.
    bool write(uint8_t value);
    // A byte from the addressed chip, acknowledged unless it is the last one wanted.
    uint8_t read(bool acknowledge);
    void stop();
    // The last start found the bus held (a line low for good, or somebody else's transaction
    // open) and sent nothing.
    bool busHeld() const { return held_; }
    // Frees SDA from a slave left in the middle of a byte, as bus recovery does: SCL pulses, at
    // most nine, until SDA comes up, then a stop. The pulses it took; nothing when SCL is held
    // low or SDA stays low.
    std::optional<int> recover();

  private:
    bool clock(bool level, bool* seen);
    I2cBusId bus_;
    int driver_;
    uint64_t t_ = 0;
    bool holding_ = false;  // SCL held low between bytes
    bool stuck_ = false;    // SCL never came back up
    bool held_ = false;     // the last start found the bus held
};

}  // namespace sim
