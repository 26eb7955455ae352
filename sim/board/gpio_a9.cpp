// The Cortex-A9-class processor's (0x0411FC09) GPIO controller at 0x6000D000 and its pin-mux
// block at 0x70000000.
//
// GPIO controller: 7 banks of 0x80 bytes, each with four 8-pin ports per register; pins 0..221
// (bits 6 and 7 of bank 6 port 3 do not exist). Registers per bank: CNF 0x00 (1 = GPIO mode),
// OE 0x10 (1 = output), OUT 0x20, IN 0x30 (read-only), INT_STA 0x40, INT_ENB 0x50, INT_LVL 0x60,
// INT_CLR 0x70 (write 1 to clear). The same registers 0x800 higher take masked writes: bits 15..8
// select the bits that change, bits 7..0 carry their values; those ports are write-only here and
// read as zero.
//
// Pin-mux block: tristate registers A..D at 0x14..0x20 (1 = the group's pads are not driven;
// every group starts tristated), function registers A..H at 0x80..0x9C (2-bit field per group),
// pull-up/down registers at 0xA0..0xB0. The rest of the page is other pad control not modelled:
// reserved here (read as zero, writes ignored, marked in the log).
//
// Pin groups and tristate are not wired into the pads of the model: an output pin in GPIO mode
// drives its pad whatever its group's tristate bit.
#include <array>
#include <memory>
#include <set>

#include "cpu.h"
#include "fault.h"
#include "gpio_pins.h"
#include "mmio.h"
#include "reglog.h"

namespace sim {

namespace {

constexpr uint32_t kA9Id = 0x0411FC09u;
constexpr uint32_t kGpioCtlBase = 0x6000D000u;
constexpr uint32_t kPinMuxBase = 0x70000000u;
constexpr unsigned kBanks = 7;
constexpr uint32_t kBankStride = 0x80u;
constexpr uint32_t kMaskedPorts = 0x800u;
constexpr unsigned kLastPin = 221;
enum Reg { CNF = 0, OE, OUT, IN, INT_STA, INT_ENB, INT_LVL, INT_CLR };

class A9Gpio : public MmioDevice {
  public:
    explicit A9Gpio(const BoardConfig& config) {
        for (uint32_t pin : config.faults.gpioInputsLow) {
            if (pin > kLastPin)
                throw BoardError("board.json: faults.gpioInputsLow: this processor's pins are 0.." +
                                 std::to_string(kLastPin));
            padLow_.insert(pin);
        }
    }
    const char* name() const override { return "GPIO controller"; }

    uint32_t read32(uint32_t offset) override {
        unsigned port;
        int reg;
        bool masked;
        if (!decode(offset, port, reg, masked) || (masked && (reg == IN || reg == INT_CLR))) {
            noteReservedAccess(name(), kGpioCtlBase + offset, false, 0);
            return 0;
        }
        uint32_t value = 0;
        if (!masked) {
            if (reg == IN)
                value = input(port);
            else if (reg != INT_CLR)  // write-only
                value = regs_[reg][port];
        }
        logRegisterAccess({kGpioCtlBase + offset, false, value, false});
        return value;
    }

    void write32(uint32_t offset, uint32_t value) override {
        unsigned port;
        int reg;
        bool masked;
        if (!decode(offset, port, reg, masked) || (masked && (reg == IN || reg == INT_CLR))) {
            noteReservedAccess(name(), kGpioCtlBase + offset, true, value);
            return;
        }
        logRegisterAccess({kGpioCtlBase + offset, true, value, false});
        const uint32_t exists = existing(port);
        if (reg == IN) return;  // read-only: the write is ignored
        if (reg == INT_CLR) {
            regs_[INT_STA][port] &= ~value;
            return;
        }
        uint32_t& r = regs_[reg][port];
        if (masked) {
            const uint32_t select = (value >> 8) & 0xFFu & exists;
            r = (r & ~select) | (value & select);
        } else {
            r = value & exists;
        }
    }

    void setPad(uint32_t pin, bool high) {
        if (pin > kLastPin) boardFault("virtual board: GPIO pin " + std::to_string(pin) + " does not exist");
        if (high)
            padLow_.erase(pin);
        else
            padLow_.insert(pin);
    }

  private:
    // `port` counts over all banks: bank * 4 + port within the bank.
    static bool decode(uint32_t offset, unsigned& port, int& reg, bool& masked) {
        masked = offset >= kMaskedPorts;
        const uint32_t off = masked ? offset - kMaskedPorts : offset;
        const unsigned bank = off / kBankStride;
        if (bank >= kBanks) return false;
        reg = static_cast<int>((off % kBankStride) >> 4);
        port = bank * 4 + ((off & 0xFu) >> 2);
        return true;
    }

    static uint32_t existing(unsigned port) {
        const unsigned first = port * 8;
        if (first > kLastPin) return 0;
        return kLastPin - first >= 7 ? 0xFFu : (1u << (kLastPin - first + 1)) - 1u;
    }

    uint32_t input(unsigned port) const {
        uint32_t v = 0;
        for (unsigned i = 0; i < 8; ++i) {
            const unsigned pin = port * 8 + i;
            if (!((existing(port) >> i) & 1u)) continue;
            const bool drives = ((regs_[CNF][port] & regs_[OE][port]) >> i) & 1u;
            const bool high = drives ? ((regs_[OUT][port] >> i) & 1u) : !padLow_.count(pin);
            if (high) v |= 1u << i;
        }
        return v;
    }

    std::array<std::array<uint32_t, kBanks * 4>, 8> regs_{};
    std::set<uint32_t> padLow_;
};

class A9PinMux : public MmioDevice {
  public:
    A9PinMux() { tristate_.fill(0xFFFFFFFFu); }
    const char* name() const override { return "pin-mux block"; }

    uint32_t read32(uint32_t offset) override {
        uint32_t* r = reg(offset);
        if (!r) {
            noteReservedAccess(name(), kPinMuxBase + offset, false, 0);
            return 0;
        }
        logRegisterAccess({kPinMuxBase + offset, false, *r, false});
        return *r;
    }

    void write32(uint32_t offset, uint32_t value) override {
        uint32_t* r = reg(offset);
        if (!r) {
            noteReservedAccess(name(), kPinMuxBase + offset, true, value);
            return;
        }
        logRegisterAccess({kPinMuxBase + offset, true, value, false});
        *r = value;
    }

  private:
    uint32_t* reg(uint32_t offset) {
        if (offset >= 0x14 && offset <= 0x20) return &tristate_[(offset - 0x14) / 4];
        if (offset >= 0x80 && offset <= 0x9C) return &mux_[(offset - 0x80) / 4];
        if (offset >= 0xA0 && offset <= 0xB0) return &pull_[(offset - 0xA0) / 4];
        return nullptr;
    }

    std::array<uint32_t, 4> tristate_{};
    std::array<uint32_t, 8> mux_{};
    std::array<uint32_t, 5> pull_{};
};

DeviceFactoryRegistration gA9Gpio([](const BoardConfig& config) {
    if (boardProcessorId(config) != kA9Id) return;
    mapDevice(kGpioCtlBase, cpu::kPageSize, std::make_shared<A9Gpio>(config));
    mapDevice(kPinMuxBase, cpu::kPageSize, std::make_shared<A9PinMux>());
});

}  // namespace

namespace detail {
bool setA9GpioPadLevel(uint32_t pin, bool high) {
    auto gpio = std::dynamic_pointer_cast<A9Gpio>(deviceAt(kGpioCtlBase));
    if (!gpio) return false;
    gpio->setPad(pin, high);
    return true;
}
}  // namespace detail

}  // namespace sim
