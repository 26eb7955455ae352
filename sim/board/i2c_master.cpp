#include "i2c_master.h"

#include <algorithm>

#include "i2c_bus.h"
#include "mmio.h"
#include "simtime.h"

namespace sim {

namespace {
constexpr uint64_t T = kI2cStandardBitNs;
}  // namespace

I2cWireMaster::I2cWireMaster(I2cBusId bus) : bus_(bus) {
    ensureBoardHardware();
    driver_ = i2cbus::addDriver("bus master (board tool)", bus);
}

// One bit: SDA set a quarter bit into the low phase, sampled once SCL has risen.
bool I2cWireMaster::clock(bool level, bool* seen) {
    i2cbus::pull(BusLine::SDA, driver_, !level, t_ + T / 4);
    t_ += T / 2;
    i2cbus::pull(BusLine::SCL, driver_, false, t_);
    const std::optional<uint64_t> up = i2cbus::lowUntil(BusLine::SCL, t_, bus_);
    if (!up) {
        stuck_ = true;
        return false;
    }
    t_ = *up;
    if (seen) *seen = i2cbus::high(BusLine::SDA, bus_);
    t_ += T / 2;
    i2cbus::pull(BusLine::SCL, driver_, true, t_);
    return true;
}

bool I2cWireMaster::start(uint8_t addressByte) {
    t_ = std::max({t_, nowNs(), i2cbus::lastChangeNs(bus_)});
    stuck_ = false;
    held_ = false;
    if (holding_) {
        // Repeated start: SDA up while SCL is low, SCL up, then SDA down.
        i2cbus::pull(BusLine::SDA, driver_, false, t_ + T / 4);
        t_ += T / 2;
        i2cbus::pull(BusLine::SCL, driver_, false, t_);
        const std::optional<uint64_t> up = i2cbus::lowUntil(BusLine::SCL, t_, bus_);
        stuck_ = !up;
        if (stuck_) return false;
        t_ = *up + T / 2;
    } else {
        // A start needs a free bus: somebody holding a line low for good keeps it busy.
        const std::optional<uint64_t> scl = i2cbus::lowUntil(BusLine::SCL, t_, bus_);
        const std::optional<uint64_t> sda = i2cbus::lowUntil(BusLine::SDA, t_, bus_);
        held_ = !scl || !sda || i2cbus::transactionOpen(bus_);
        if (held_) return false;
        t_ = std::max(*scl, *sda);
    }
    i2cbus::pull(BusLine::SDA, driver_, true, t_);
    t_ += T / 2;
    i2cbus::pull(BusLine::SCL, driver_, true, t_);
    holding_ = true;
    return write(addressByte);
}

bool I2cWireMaster::write(uint8_t value) {
    if (stuck_) return false;
    for (int i = 7; i >= 0; --i)
        if (!clock((value >> i) & 1, nullptr)) return false;
    bool ackLine = true;
    if (!clock(true, &ackLine)) return false;
    sleepUntilNs(t_);
    return !ackLine;
}

uint8_t I2cWireMaster::read(bool acknowledge) {
    uint8_t value = 0;
    for (int i = 7; i >= 0; --i) {
        bool bit = true;
        if (!clock(true, &bit)) return 0xFF;
        value = static_cast<uint8_t>((value << 1) | (bit ? 1 : 0));
    }
    clock(!acknowledge, nullptr);
    sleepUntilNs(t_);
    return value;
}

void I2cWireMaster::stop() {
    if (!holding_) return;
    i2cbus::pull(BusLine::SDA, driver_, true, t_ + T / 4);
    t_ += T / 2;
    i2cbus::pull(BusLine::SCL, driver_, false, t_);
    const std::optional<uint64_t> up = i2cbus::lowUntil(BusLine::SCL, t_, bus_);
    t_ = (up ? *up : t_) + T / 2;
    i2cbus::pull(BusLine::SDA, driver_, false, t_);
    holding_ = false;
    sleepUntilNs(t_);
}

std::optional<int> I2cWireMaster::recover() {
    t_ = std::max({t_, nowNs(), i2cbus::lastChangeNs(bus_)});
    auto sclUp = [this] {
        const std::optional<uint64_t> up = i2cbus::lowUntil(BusLine::SCL, t_, bus_);
        if (up) t_ = *up;
        return up.has_value();
    };
    if (!sclUp()) return std::nullopt;
    for (int pulses = 0;; ++pulses) {
        // SCL is high. A slave that has seen its last pulse lets go of SDA after the falling edge.
        i2cbus::pull(BusLine::SCL, driver_, true, t_);
        t_ += T / 2;
        if (i2cbus::high(BusLine::SDA, bus_)) {
            // A stop, so that every slave starts afresh.
            i2cbus::pull(BusLine::SDA, driver_, true, t_);
            t_ += T / 4;
            i2cbus::pull(BusLine::SCL, driver_, false, t_);
            if (!sclUp()) return std::nullopt;
            t_ += T / 2;
            i2cbus::pull(BusLine::SDA, driver_, false, t_);
            t_ += T / 2;
            sleepUntilNs(t_);
            // A transmitter with a 0 bit to send took SDA again at the falling edge: more pulses.
            if (i2cbus::high(BusLine::SDA, bus_)) return pulses;
            continue;
        }
        i2cbus::pull(BusLine::SCL, driver_, false, t_);
        if (pulses == 9 || !sclUp()) return std::nullopt;
        t_ += T / 2;
    }
}

}  // namespace sim
