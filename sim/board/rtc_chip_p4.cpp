// Protocol 4 chip: thirteen registers. 0x00 counts hundredths of a second; 0x01..0x07 hold
// seconds, minutes, hours (24-hour), weekday (1..7, Sunday 1), day of month, month and the year
// within the century; 0x08..0x0B are calibration and alarms, and bit 6 of 0x0C is the halt bit.
// Bit 7 of the minutes register is the chip's invalid-time flag. Default address 0x68.
//
// The hundredths count with the chip's own second. A write of the clock registers (0x00..0x07)
// reaches the counters at the end of its transfer, and the divider chain restarts there.
//
// At every power-down the chip sets the halt bit: the registers 0x00..0x07 that a read sees stand
// at the time of the power-down until software clears the bit, while the clock counts on
// underneath. Clearing the bit shows the running time again.
#include <algorithm>

#include "rtc_chip.h"

namespace sim {

namespace chip4 {
namespace {

constexpr uint8_t kHundredths = 0x00, kMinutes = 0x02, kHaltRegister = 0x0C;
constexpr uint8_t kHalt = 0x40;         // in register 0x0C
constexpr uint8_t kInvalidBit = 0x80;   // in the minutes register
constexpr size_t kFrozenRegisters = 8;  // 0x00..0x07, the clock registers
constexpr int64_t kUnitsPerHundredth = 100'000;

class Protocol4Chip : public RtcChipModel {
  public:
    Protocol4Chip() : RtcChipModel(4, 0x68, 13, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 1}) {}

    bool timeInvalid(const std::vector<uint8_t>& regs) const override { return regs[kMinutes] & kInvalidBit; }

    std::vector<uint8_t> visibleRegisters(const ChipState& chip) const override {
        std::vector<uint8_t> regs = chip.regs;
        if ((regs[kHaltRegister] & kHalt) && chip.halt)
            for (size_t i = 0; i < kFrozenRegisters && i < chip.halt->size(); ++i) regs[i] = (*chip.halt)[i];
        return regs;
    }

    void writeRegister(ChipState& chip, uint8_t reg, uint8_t value, int64_t) const override {
        if (reg == kHaltRegister) {
            if (!(value & kHalt))
                chip.halt.reset();
            else if (!(chip.regs[kHaltRegister] & kHalt) || !chip.halt)
                chip.halt = frozen(chip);
        }
        chip.regs[reg] = value;
        // The clock registers take a write into their buffer; at the end of the transfer the
        // buffer goes to the counters and the divider chain restarts, from the hundredths written.
        // A time written while halted is what the frozen registers show.
        if (reg < kFrozenRegisters) chip.restartAtStop = true;
        if (chip.halt && reg < kFrozenRegisters) (*chip.halt)[reg] = value;
    }

    void transferEnded(ChipState& chip, int64_t now) const override {
        if (!chip.restartAtStop) return;
        chip.restartAtStop = false;
        const unsigned hundredths = std::min(bcdValue(chip.regs[kHundredths], 0xFF), 99u);
        restartSecond(chip, now, hundredths * kUnitsPerHundredth);
    }

    std::vector<std::string> describe(const ChipState& chip) const override {
        std::vector<std::string> out = RtcChipModel::describe(chip);
        if (chip.regs[kHaltRegister] & kHalt) out.push_back("halted (shows the time of the power-down)");
        return out;
    }

    void loseBackupSupply(ChipState& chip, int64_t now) const override {
        RtcChipModel::loseBackupSupply(chip, now);
        chip.regs[kMinutes] |= kInvalidBit;
        chip.regs[kHaltRegister] = kHalt;
        chip.halt = frozen(chip);
    }

    void powerDown(ChipState& chip, int64_t) const override {
        // Halted already (a power-down no driver has answered yet): the earlier time stays.
        if (!(chip.regs[kHaltRegister] & kHalt) || !chip.halt) chip.halt = frozen(chip);
        chip.regs[kHaltRegister] |= kHalt;
    }

  protected:
    // The hundredths counter runs with the chip's second.
    void showPhase(ChipState& chip, int64_t phase) const override {
        bcdPut(chip.regs[kHundredths], 0xFF, static_cast<unsigned>(phase / kUnitsPerHundredth));
    }

  private:
    static std::vector<uint8_t> frozen(const ChipState& chip) {
        return std::vector<uint8_t>(chip.regs.begin(), chip.regs.begin() + kFrozenRegisters);
    }
};

}  // namespace
}  // namespace chip4

const RtcChipModel& protocol4Chip() {
    static const chip4::Protocol4Chip chip;
    return chip;
}

}  // namespace sim
