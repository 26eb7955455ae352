// Device model: the power manager's register page. Its registers hold what is written (nothing on
// this board acts on them but PCFR's I2C bit); the power-manager I2C unit occupies 0x180..0x1A3
// of the page, so the page is mapped as the two stretches around it, sharing one register file.
#include "power_manager.h"

#include <map>
#include <memory>

#include "mmio.h"
#include "pxa_i2c.h"

namespace sim {

namespace {

using Registers = std::map<uint32_t, uint32_t>;  // by physical address

class PowerManagerPart : public MmioDevice {
  public:
    PowerManagerPart(uint32_t base, std::shared_ptr<Registers> regs) : base_(base), regs_(std::move(regs)) {}
    const char* name() const override { return "power manager"; }
    uint32_t read32(uint32_t offset) override {
        auto it = regs_->find(base_ + offset);
        return it == regs_->end() ? 0 : it->second;
    }
    void write32(uint32_t offset, uint32_t value) override { (*regs_)[base_ + offset] = value; }

  private:
    uint32_t base_;
    std::shared_ptr<Registers> regs_;
};

// The register file of the board this process has built its hardware for.
std::weak_ptr<Registers>& current() {
    static std::weak_ptr<Registers> r;
    return r;
}

DeviceFactoryRegistration gPowerManager([](const BoardConfig&) {
    auto regs = std::make_shared<Registers>();
    current() = regs;
    mapDevice(kPowerManagerBase, kI2cPowerManagerUnit - kPowerManagerBase,
              std::make_shared<PowerManagerPart>(kPowerManagerBase, regs));
    const uint32_t above = kI2cPowerManagerUnit + kI2cUnitSize;
    mapDevice(above, kPowerManagerBase + 0x1000 - above, std::make_shared<PowerManagerPart>(above, regs));
});

}  // namespace

bool powerManagerI2cRouted() {
    const std::shared_ptr<Registers> regs = current().lock();
    if (!regs) return false;
    auto it = regs->find(kPowerManagerConfig);
    return it != regs->end() && (it->second & kPowerManagerConfigI2c) != 0;
}

}  // namespace sim
