// The RTC chips on the board's I2C bus, as seen from the bus: each acknowledges its own address
// and moves bytes in and out of its register file. A chip's registers live in the board's state,
// so every process on the board sees the same chip.
#pragma once

#include <cstdint>
#include <string>

#include "board.h"

namespace sim {

uint8_t defaultChipAddress(int protocol);
size_t chipRegisterCount(int protocol);
bool chipConfigKeyKnown(const std::string& key);

// The state of a new chip: registers holding the given wall time (a file time), valid.
json initialChipState(const ChipConfig& chip, int64_t fileTime);

// The board's I2C bus seen from a master, one bus event per call. The transaction-level bus and
// the register-level controller both drive the chips through it.
class I2cBus {
public:
    // Start (or repeated start) followed by the address byte. True when a chip acknowledged.
    bool start(uint8_t addressByte);
    // A byte sent by the master to the addressed chip; true when acknowledged.
    bool writeByte(uint8_t value);
    // A byte sent by the addressed chip; `masterAck` false for the last byte of a read.
    uint8_t readByte(bool masterAck);
    void stop();
    bool inTransaction() const { return active_; }

private:
    bool active_ = false;
    int selected_ = -1;  // address of the acknowledging chip, -1 when nobody answered
    bool reading_ = false;
    bool pointerSet_ = false;
};

I2cBus& boardBus();

}  // namespace sim
