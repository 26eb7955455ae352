// Faults injected on the wires themselves, from board.json "faults":
//   "i2cStuckSda": N (1..9) | "forever"   at the start of each process a slave that lost track in
//        the middle of a byte holds SDA low until it has seen N more clock pulses (it lets go
//        after the falling edge of the last), or never lets go;
//   "i2cSclLowMs": N | "forever"          something holds SCL low for the first N ms of each
//        process, or for good: no byte can be clocked, and the bus looks busy.
#include <memory>

#include "i2c_bus.h"
#include "i2c_trace.h"
#include "mmio.h"
#include "simtime.h"

namespace sim {

namespace {

class StuckSlave : public BusDevice {
  public:
    explicit StuckSlave(int pulses) : pulses_(pulses), driver_(i2cbus::addDriver("stuck slave (fault)")) {}

    void hold() { i2cbus::holdFromTheStart(BusLine::SDA, driver_); }

    void lineChanged(BusLine line, const BusLevels& levels, uint64_t ns) override {
        if (!holding_ || pulses_ < 0 || line != BusLine::SCL) return;
        if (levels.scl) {
            ++seen_;
        } else if (seen_ >= pulses_) {
            holding_ = false;
            i2cbus::pull(BusLine::SDA, driver_, false, ns + 300);
        }
    }

  private:
    int pulses_;  // < 0: never lets go
    int seen_ = 0;
    bool holding_ = true;
    int driver_;
};

DeviceFactoryRegistration gWireFaults([](const BoardConfig& config) {
    const FaultConfig& f = config.faults;
    if (f.i2cStuckSda) {
        traceFault(nowNs(), *f.i2cStuckSda < 0
                                ? std::string("i2cStuckSda=forever: a slave holds SDA low for good")
                                : "i2cStuckSda=" + std::to_string(*f.i2cStuckSda) +
                                      ": a slave holds SDA low until it has seen " +
                                      std::to_string(*f.i2cStuckSda) + " more clock pulses");
        auto slave = std::make_shared<StuckSlave>(*f.i2cStuckSda);
        i2cbus::attach(slave);
        slave->hold();
    }
    if (f.i2cSclLowMs) {
        traceFault(nowNs(), *f.i2cSclLowMs < 0 ? std::string("i2cSclLowMs=forever: SCL is held low for good")
                                               : "i2cSclLowMs=" + std::to_string(*f.i2cSclLowMs) +
                                                     ": SCL is held low for the first " +
                                                     std::to_string(*f.i2cSclLowMs) + " ms");
        const int holder = i2cbus::addDriver("SCL held low (fault)");
        i2cbus::holdFromTheStart(BusLine::SCL, holder);
        // Let go after the given time, as the edge of a device that recovered.
        if (*f.i2cSclLowMs > 0)
            i2cbus::pull(BusLine::SCL, holder, true, std::nullopt,
                         nowNs() + static_cast<uint64_t>(*f.i2cSclLowMs) * 1'000'000u);
    }
});

}  // namespace

}  // namespace sim
