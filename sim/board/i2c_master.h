// A master on the board's I2C wires that moves whole bytes at 100 kHz, for what drives the bus
// without an I2C unit of the processor: the board tool's bus scan and the in-process chip tests.
// It waits while somebody stretches the clock and gives up where nobody ever lets SCL go.
#pragma once

#include <cstdint>

namespace sim {

class I2cWireMaster {
  public:
    I2cWireMaster();
    // A start (a repeated start while a transaction is open) and the address byte; true when a
    // chip acknowledged it.
    bool start(uint8_t addressByte);
    // A byte to the addressed chip; true when acknowledged.
    bool write(uint8_t value);
    // A byte from the addressed chip, acknowledged unless it is the last one wanted.
    uint8_t read(bool acknowledge);
    void stop();

  private:
    bool clock(bool level, bool* seen);
    int driver_;
    uint64_t t_ = 0;
    bool holding_ = false;  // SCL held low between bytes
    bool stuck_ = false;    // SCL never came back up
};

}  // namespace sim
