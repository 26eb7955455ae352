// Device model: the OS timer block (0x40A00000). Its counter runs at 3.25 MHz of board uptime and
// can be written, as the real one can; the match, status, watchdog-enable and interrupt-enable
// registers hold what is written (no match interrupts are modelled: nothing on the board uses
// them).
#include <memory>

#include "os_timer.h"

#include "fault.h"
#include "mmio.h"
#include "simtime.h"

namespace sim {

uint32_t osTimerTicksAt(uint64_t ns) {
    // 3.25 ticks per microsecond = 13 ticks per 4000 ns; the counter is 32 bits wide and wraps.
    return static_cast<uint32_t>(ns * 13u / 4000u);
}

namespace {

constexpr uint32_t REG_MATCH0 = 0x00, REG_MATCH3 = 0x0C, REG_COUNTER = 0x10, REG_STATUS = 0x14,
                   REG_WATCHDOG_ENABLE = 0x18, REG_INTERRUPT_ENABLE = 0x1C;
constexpr uint32_t kBlockSize = 0x20;

class OsTimer : public MmioDevice {
  public:
    const char* name() const override { return "OS timer"; }

    uint32_t read32(uint32_t offset) override {
        if (offset >= REG_MATCH0 && offset <= REG_MATCH3) return match_[offset / 4];
        switch (offset) {
            case REG_COUNTER:
                return osTimerTicksAt(nowNs()) + offset_;
            case REG_STATUS:
                return status_;
            case REG_WATCHDOG_ENABLE:
                return watchdog_;
            case REG_INTERRUPT_ENABLE:
                return interruptEnable_;
        }
        boardFault("bus fault: read of reserved OS timer offset " + std::to_string(offset));
    }

    void write32(uint32_t offset, uint32_t value) override {
        if (offset <= REG_MATCH3) {
            match_[offset / 4] = value;
            return;
        }
        switch (offset) {
            case REG_COUNTER:
                offset_ = value - osTimerTicksAt(nowNs());
                return;
            case REG_STATUS:
                status_ &= ~value;  // writing 1 clears a match flag
                return;
            case REG_WATCHDOG_ENABLE:
                watchdog_ |= value & 1;  // once set, only a reset clears it
                return;
            case REG_INTERRUPT_ENABLE:
                interruptEnable_ = value & 0xF;
                return;
        }
        boardFault("bus fault: write of reserved OS timer offset " + std::to_string(offset));
    }

  private:
    uint32_t match_[4] = {};
    uint32_t offset_ = 0;
    uint32_t status_ = 0, watchdog_ = 0, interruptEnable_ = 0;
};

DeviceFactoryRegistration gOsTimer([](const BoardConfig&) {
    mapDevice(kOsTimerBase, kBlockSize, std::make_shared<OsTimer>());
});

}  // namespace

}  // namespace sim
