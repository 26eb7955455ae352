// The clock-enable registers of the ARMv5 processors' clock managers.
//
// ID 17: clock manager at 0x41300000 — CCCR 0x00, CKEN 0x04 (one bit per peripheral clock),
// OSCC 0x08, CCSR 0x0C (read-only). IDs 2, 8, 9: clock manager at 0x41340000 — ACCR 0x00, ACSR
// 0x04 (read-only), AICSR 0x08, D0CKEN_A 0x0C, D0CKEN_B 0x10, AC97_DIV 0x14. The enable
// registers come up as this board's boot loader leaves them: the OS timer and memory controller
// clocks on, every other peripheral off. Other offsets of the page are reserved: read as zero,
// writes ignored, marked in the log. Other processors have no model here.
//
// The I2C units' clocks: ID 17 CKEN bit 14 (standard unit) and bit 15 (power-manager unit); IDs
// 2, 8, 9 bit 4 of D0CKEN_B (standard unit) and bit 4 of D0CKEN_A (power-manager unit).
//
// Faults (board.json "faults"): "clockStuckBits" and "clockStuckOnBits", see gpio_pins.h. A stuck
// bit still takes the written value in the register; only its read-back is stuck, and the clock
// behind it runs as the bit reads back.
#include "clocks.h"

#include <array>
#include <memory>
#include <string>

#include "fault.h"
#include "gpio_pins.h"
#include "mmio.h"
#include "reglog.h"

namespace sim {

namespace {

constexpr uint32_t kPageSize = 0x1000u;

// An enable bit: which enable register (0, 1) and the bit in it.
struct EnableBit {
    unsigned enable;
    uint32_t mask;
};

struct Layout {
    uint32_t base;
    uint32_t enableOffset;          // first enable register
    unsigned enableCount;           // 1 or 2
    std::array<uint32_t, 6> reset;  // by word 0..5
    std::array<bool, 6> present;
    std::array<bool, 6> readOnly;
    EnableBit i2c, powerManagerI2c;
};

const Layout kCken{0x41300000u,
                   0x04,
                   1,
                   {0x00000161u, 0x00400200u, 0x00000002u, 0x00000161u, 0, 0},
                   {true, true, true, true, false, false},
                   {false, false, false, true, false, false},
                   {0, 1u << 14},
                   {0, 1u << 15}};
const Layout kD0Cken{0x41340000u,
                     0x0C,
                     2,
                     {0x00000000u, 0x00000000u, 0, 0x00000300u, 0x00000000u, 0},
                     {true, true, true, true, true, true},
                     {false, true, false, false, false, false},
                     {1, 1u << 4},
                     {0, 1u << 4}};

class ClockManager : public MmioDevice {
  public:
    ClockManager(const BoardConfig& config, const Layout& layout) : l_(layout), regs_(layout.reset) {
        const uint32_t bits = 32u * layout.enableCount;
        stuckOff_ = maskOf(config.faults.clockStuckBits, "clockStuckBits", bits);
        stuckOn_ = maskOf(config.faults.clockStuckOnBits, "clockStuckOnBits", bits);
    }
    const char* name() const override { return "clock manager"; }

    uint32_t read32(uint32_t offset) override {
        const int w = word(offset);
        if (w < 0) {
            noteReservedAccess(name(), l_.base + offset, false, 0);
            return 0;
        }
        uint32_t value = regs_[w];
        const int e = enableIndex(offset);
        if (e >= 0) value = enableAsItReads(static_cast<unsigned>(e));
        logRegisterAccess({l_.base + offset, false, value, false});
        return value;
    }

    bool running(const EnableBit& bit) const { return (enableAsItReads(bit.enable) & bit.mask) != 0; }
    const Layout& layout() const { return l_; }

    void write32(uint32_t offset, uint32_t value) override {
        const int w = word(offset);
        if (w < 0) {
            noteReservedAccess(name(), l_.base + offset, true, value);
            return;
        }
        logRegisterAccess({l_.base + offset, true, value, false});
        if (!l_.readOnly[w]) regs_[w] = value;  // a status register ignores the write
    }

  private:
    uint32_t enableAsItReads(unsigned e) const {
        return (regs_[l_.enableOffset / 4 + e] & ~stuckOff_[e]) | stuckOn_[e];
    }
    int word(uint32_t offset) const {
        const uint32_t w = offset / 4;
        return w < 6 && l_.present[w] ? static_cast<int>(w) : -1;
    }
    int enableIndex(uint32_t offset) const {
        if (offset < l_.enableOffset) return -1;
        const uint32_t e = (offset - l_.enableOffset) / 4;
        return e < l_.enableCount ? static_cast<int>(e) : -1;
    }

    static std::array<uint32_t, 2> maskOf(const std::vector<uint32_t>& bits, const char* key,
                                          uint32_t limit) {
        std::array<uint32_t, 2> mask{};
        for (uint32_t n : bits) {
            if (n >= limit)
                throw BoardError(std::string("board.json: faults.") + key + ": bit numbers are 0.." +
                                 std::to_string(limit - 1) + " on this processor");
            mask[n >> 5] |= 1u << (n & 31);
        }
        return mask;
    }

    const Layout& l_;
    std::array<uint32_t, 6> regs_;
    std::array<uint32_t, 2> stuckOff_{}, stuckOn_{};
};

// The clock manager of the board this process has built its hardware for.
std::weak_ptr<ClockManager>& current() {
    static std::weak_ptr<ClockManager> c;
    return c;
}

DeviceFactoryRegistration gClocks([](const BoardConfig& config) {
    current().reset();
    const uint32_t id = boardProcessorId(config);
    const Layout* layout = id == 17 ? &kCken : (id == 2 || id == 8 || id == 9) ? &kD0Cken : nullptr;
    if (!layout) return;
    auto manager = std::make_shared<ClockManager>(config, *layout);
    current() = manager;
    mapDevice(layout->base, kPageSize, manager);
});

}  // namespace

bool i2cUnitClockRunning(bool powerManagerUnit) {
    const std::shared_ptr<ClockManager> manager = current().lock();
    if (!manager) return true;
    return manager->running(powerManagerUnit ? manager->layout().powerManagerI2c : manager->layout().i2c);
}

}  // namespace sim
