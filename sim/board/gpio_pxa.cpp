// The GPIO block of the ARMv5 processors (IDs 2, 8, 9, 17) at 0x40E00000 and, on IDs 2, 8 and 9,
// their pin-function registers in the page 0x40E10000.
//
// Pins are counted by their bit in the block, 0..127 (banks of 32; bank 3 at word 64 for the
// level, direction, set- and clear-level registers, 0x100 bytes above bank 0). ID 17 has pins
// 0..120 and selects functions with 2-bit fields in the block; IDs 2, 8 and 9 have a pin-function
// register per pin, set- and clear-direction registers, and no function fields in the block.
// Offsets that are no register of the part read as zero and ignore writes, as the parts do; the
// log marks them (reglog.h).
#include <array>
#include <map>
#include <memory>
#include <set>

#include "cpu.h"
#include "fault.h"
#include "i2c_bus.h"
#include "i2c_trace.h"
#include "gpio_pins.h"
#include "mmio.h"
#include "reglog.h"
#include "simtime.h"

namespace sim {

namespace {

constexpr uint32_t kGpioBase = 0x40E00000u;
constexpr uint32_t kPinFnBase = 0x40E10000u;

// Bank-indexed register groups: banks 0..2 at base + 4b, bank 3 at base + 0x100.
constexpr uint32_t GPLR = 0x000, GPDR = 0x00C, GPSR = 0x018, GPCR = 0x024, GRER = 0x030, GFER = 0x03C,
                   GEDR = 0x048;
constexpr uint32_t GAFR = 0x054;  // ID 17: eight registers, 16 pins each
// IDs 2, 8, 9: bit-wise set and clear of direction and edge enables; bank 3 follows bank 2.
constexpr uint32_t GSDR = 0x400, GCDR = 0x420, GSRER = 0x440, GCRER = 0x460, GSFER = 0x480, GCFER = 0x4A0;

// Pin-function registers: bits 2..0 the function, the rest pad settings; bits 31..16 unused.
constexpr uint32_t kMfprImplemented = 0xFFFFu;
constexpr uint32_t kMfprReset = 0x0840u;  // function 0 (GPIO), medium drive, pull enabled
constexpr uint32_t kMfprFunction = 7u;

struct Variant {
    uint32_t id;
    uint32_t lastPin;  // highest bit of the block that exists
    unsigned sclPin;   // bus pins (bits of the block)
    uint32_t sclMfpr;  // their pin-function registers (page offsets), IDs 2, 8, 9
    std::vector<std::pair<uint32_t, uint32_t>> mfprRuns;  // page offsets that hold registers
};

const Variant* variantFor(uint32_t id) {
    static const Variant v2{
        2, 127, 32, 0x414, {{0x124, 0x134}, {0x28C, 0x2DC}, {0x400, 0x550}, {0x600, 0x688}}};
    static const Variant v8{
        8, 127, 21, 0x2C4, {{0x0B4, 0x0BC}, {0x27C, 0x2EC}, {0x400, 0x51C}, {0x600, 0x678}}};
    // ID 9 moved the registers of pins 30..98 three words on and added pins 135..138 behind them.
    static const Variant v9{
        9, 127, 21, 0x2C4, {{0x0B4, 0x0BC}, {0x27C, 0x2EC}, {0x400, 0x408}, {0x418, 0x538}, {0x600, 0x678}}};
    static const Variant v17{17, 120, 117, 0, {}};
    switch (id) {
        case 2:
            return &v2;
        case 8:
            return &v8;
        case 9:
            return &v9;
        case 17:
            return &v17;
        default:
            return nullptr;
    }
}

// Which bank a register of a bank-indexed group is for, or -1.
int bankOf(uint32_t offset, uint32_t base, bool bank3AtWord64) {
    for (int b = 0; b < 3; ++b)
        if (offset == base + 4u * b) return b;
    if (offset == (bank3AtWord64 ? base + 0x100u : base + 12u)) return 3;
    return -1;
}

class PxaGpio {
  public:
    PxaGpio(const BoardConfig& config, const Variant& v) : v_(v) {
        for (int b = 0; b < 4; ++b) {
            const uint32_t first = 32u * b;
            exists_[b] = first > v.lastPin         ? 0u
                         : v.lastPin - first >= 31 ? 0xFFFFFFFFu
                                                   : (1u << (v.lastPin - first + 1)) - 1u;
        }
        for (uint32_t pin : config.faults.gpioInputsLow) {
            if (pin > v.lastPin)
                throw BoardError("board.json: faults.gpioInputsLow: this processor's pins are 0.." +
                                 std::to_string(v.lastPin));
            padLow_.insert(pin);
        }
        for (const auto& [first, last] : v.mfprRuns)
            for (uint32_t off = first; off <= last; off += 4) mfpr_[off] = kMfprReset;
        // A bus pin's pad is the bus wire: the board holding it low holds the line low.
        for (unsigned which = 0; which < 2; ++which) {
            if (!padLow_.count(v.sclPin + which)) continue;
            const uint32_t pad = v.sclPin + which;
            traceFault(nowNs(), "gpioInputsLow=" + std::to_string(pad) + ": the board holds pad " +
                                    std::to_string(pad) + ", the " + (which == 0 ? "SCL" : "SDA") +
                                    " line, low");
            i2cbus::holdFromTheStart(which == 0 ? BusLine::SCL : BusLine::SDA,
                                     i2cbus::addDriver("pad held low (fault)"));
        }
        // Out of reset every pin is a GPIO input: nothing drives the bus.
        updateBusDrive();
    }

    bool hasPinFunctionPage() const { return !v_.mfprRuns.empty(); }

    uint32_t read(uint32_t offset) {
        const uint32_t phys = kGpioBase + offset;
        bool known = true;
        const uint32_t value = readBlock(offset, known);
        if (!known) {
            noteReservedAccess("GPIO block", phys, false, 0);
            return 0;
        }
        logRegisterAccess({phys, false, value, false});
        return value;
    }

    void write(uint32_t offset, uint32_t value) {
        const uint32_t phys = kGpioBase + offset;
        if (!writeBlock(offset, value)) {
            noteReservedAccess("GPIO block", phys, true, value);
            return;
        }
        logRegisterAccess({phys, true, value, false});
        updateBusDrive();
    }

    uint32_t readPinFn(uint32_t offset) {
        auto it = mfpr_.find(offset);
        if (it == mfpr_.end()) {
            noteReservedAccess("pin-function page", kPinFnBase + offset, false, 0);
            return 0;
        }
        logRegisterAccess({kPinFnBase + offset, false, it->second, false});
        return it->second;
    }

    void writePinFn(uint32_t offset, uint32_t value) {
        auto it = mfpr_.find(offset);
        if (it == mfpr_.end()) {
            noteReservedAccess("pin-function page", kPinFnBase + offset, true, value);
            return;
        }
        logRegisterAccess({kPinFnBase + offset, true, value, false});
        it->second = value & kMfprImplemented;
        updateBusDrive();
    }

    // The function selected for a bus pin (0 = its GPIO function, 1 = the I2C controller).
    uint32_t busPinFunction(unsigned which) const {
        const unsigned pin = v_.sclPin + which;
        if (v_.id == 17) return (gafr_[pin >> 4] >> (2 * (pin & 15))) & 3u;
        return mfpr_.at(v_.sclMfpr + 4 * which) & kMfprFunction;
    }

    void setPad(uint32_t pin, bool high) {
        if (pin > v_.lastPin)
            boardFault("virtual board: GPIO pin " + std::to_string(pin) + " does not exist");
        if (high)
            padLow_.erase(pin);
        else
            padLow_.insert(pin);
    }

  private:
    bool bit(const std::array<uint32_t, 4>& r, unsigned pin) const {
        return (r[pin >> 5] >> (pin & 31)) & 1u;
    }

    uint32_t level(int bank) const {
        uint32_t v = 0;
        for (unsigned i = 0; i < 32; ++i) {
            const unsigned pin = 32u * bank + i;
            if (!((exists_[bank] >> i) & 1u)) continue;
            bool high;
            if (pin == v_.sclPin)
                high = i2cbus::high(BusLine::SCL);  // the pad is the bus wire, whoever drives it
            else if (pin == v_.sclPin + 1)
                high = i2cbus::high(BusLine::SDA);
            else if (bit(dir_, pin))
                high = bit(latch_, pin);
            else
                high = !padLow_.count(pin);
            if (high) v |= 1u << i;
        }
        return v;
    }

    uint32_t readBlock(uint32_t offset, bool& known) const {
        const bool v5 = hasPinFunctionPage();
        int b;
        if ((b = bankOf(offset, GPLR, true)) >= 0) return level(b);
        if ((b = bankOf(offset, GPDR, true)) >= 0) return dir_[b];
        // Set and clear registers are write-only; they read as zero.
        if (bankOf(offset, GPSR, true) >= 0 || bankOf(offset, GPCR, true) >= 0) return 0;
        if ((b = bankOf(offset, GRER, true)) >= 0) return rising_[b];
        if ((b = bankOf(offset, GFER, true)) >= 0) return falling_[b];
        if (bankOf(offset, GEDR, true) >= 0) return 0;  // edges are not modelled: none detected
        if (!v5 && offset >= GAFR && offset < GAFR + 32) return gafr_[(offset - GAFR) / 4];
        if (v5) {
            for (uint32_t base : {GSDR, GCDR, GSRER, GCRER, GSFER, GCFER})
                if (bankOf(offset, base, false) >= 0) return 0;  // write-only
        }
        known = false;
        return 0;
    }

    bool writeBlock(uint32_t offset, uint32_t value) {
        const bool v5 = hasPinFunctionPage();
        int b;
        if (bankOf(offset, GPLR, true) >= 0) return true;  // read-only: the write is ignored
        if ((b = bankOf(offset, GPDR, true)) >= 0) return dir_[b] = value & exists_[b], true;
        if ((b = bankOf(offset, GPSR, true)) >= 0) return latch_[b] |= value & exists_[b], true;
        if ((b = bankOf(offset, GPCR, true)) >= 0) return latch_[b] &= ~value, true;
        if ((b = bankOf(offset, GRER, true)) >= 0) return rising_[b] = value & exists_[b], true;
        if ((b = bankOf(offset, GFER, true)) >= 0) return falling_[b] = value & exists_[b], true;
        if (bankOf(offset, GEDR, true) >= 0) return true;  // write 1 to clear: nothing is set
        if (!v5 && offset >= GAFR && offset < GAFR + 32) {
            // Fields of pins that do not exist stay 0.
            const unsigned first = (offset - GAFR) / 4 * 16;
            uint32_t mask = 0;
            for (unsigned i = 0; i < 16; ++i)
                if (first + i <= v_.lastPin) mask |= 3u << (2 * i);
            gafr_[(offset - GAFR) / 4] = value & mask;
            return true;
        }
        if (v5) {
            if ((b = bankOf(offset, GSDR, false)) >= 0) return dir_[b] |= value, true;
            if ((b = bankOf(offset, GCDR, false)) >= 0) return dir_[b] &= ~value, true;
            if ((b = bankOf(offset, GSRER, false)) >= 0) return rising_[b] |= value, true;
            if ((b = bankOf(offset, GCRER, false)) >= 0) return rising_[b] &= ~value, true;
            if ((b = bankOf(offset, GSFER, false)) >= 0) return falling_[b] |= value, true;
            if ((b = bankOf(offset, GCFER, false)) >= 0) return falling_[b] &= ~value, true;
        }
        return false;
    }

    // A bus pin pulls its line low only as a GPIO output with its latch low; in its I2C function
    // the controller has the pad.
    void updateBusDrive() {
        for (unsigned which = 0; which < 2; ++which) {
            const unsigned pin = v_.sclPin + which;
            const bool low = busPinFunction(which) == 0 && bit(dir_, pin) && !bit(latch_, pin);
            if (low == driving_[which]) continue;
            driving_[which] = low;
            i2cbus::pull(which == 0 ? BusLine::SCL : BusLine::SDA, busDriver_, low);
        }
    }

    const Variant& v_;
    int busDriver_ = i2cbus::addDriver("GPIO pads");
    bool driving_[2] = {false, false};
    std::array<uint32_t, 4> exists_{}, latch_{}, dir_{}, rising_{}, falling_{};
    std::array<uint32_t, 8> gafr_{};  // out of reset every pin is in its GPIO function
    std::map<uint32_t, uint32_t> mfpr_;
    std::set<uint32_t> padLow_;
};

class GpioBlockDevice : public MmioDevice {
  public:
    explicit GpioBlockDevice(std::shared_ptr<PxaGpio> gpio) : gpio_(std::move(gpio)) {}
    const char* name() const override { return "GPIO block"; }
    uint32_t read32(uint32_t offset) override { return gpio_->read(offset); }
    void write32(uint32_t offset, uint32_t value) override { gpio_->write(offset, value); }
    std::shared_ptr<PxaGpio> gpio_;
};

class PinFunctionDevice : public MmioDevice {
  public:
    explicit PinFunctionDevice(std::shared_ptr<PxaGpio> gpio) : gpio_(std::move(gpio)) {}
    const char* name() const override { return "pin-function registers"; }
    uint32_t read32(uint32_t offset) override { return gpio_->readPinFn(offset); }
    void write32(uint32_t offset, uint32_t value) override { gpio_->writePinFn(offset, value); }
    std::shared_ptr<PxaGpio> gpio_;
};

DeviceFactoryRegistration gPxaGpio([](const BoardConfig& config) {
    const Variant* v = variantFor(boardProcessorId(config));
    if (!v) return;
    auto gpio = std::make_shared<PxaGpio>(config, *v);
    mapDevice(kGpioBase, cpu::kPageSize, std::make_shared<GpioBlockDevice>(gpio));
    // ID 17 has nothing at 0x40E10000: an access there is a bus fault.
    if (gpio->hasPinFunctionPage())
        mapDevice(kPinFnBase, cpu::kPageSize, std::make_shared<PinFunctionDevice>(gpio));
});

std::shared_ptr<PxaGpio> currentPxaGpio() {
    auto dev = std::dynamic_pointer_cast<GpioBlockDevice>(deviceAt(kGpioBase));
    return dev ? dev->gpio_ : nullptr;
}

}  // namespace

uint32_t boardProcessorId(const BoardConfig& config) {
    return processorIdForMainId(config.mainId);
}

bool i2cPinsRoutedToController() {
    auto gpio = currentPxaGpio();
    if (!gpio) return true;
    return gpio->busPinFunction(0) == 1 && gpio->busPinFunction(1) == 1;
}

void setGpioPadLevel(uint32_t pin, bool high) {
    if (auto gpio = currentPxaGpio()) return gpio->setPad(pin, high);
    if (!detail::setA9GpioPadLevel(pin, high))
        boardFault("virtual board: this board's processor has no GPIO model");
}

}  // namespace sim
