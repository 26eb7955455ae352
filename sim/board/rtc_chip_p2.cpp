// Protocol 2 chip: seventeen registers. 0x00..0x06 hold seconds, minutes, hours (24-hour),
// weekday (1..7, Sunday 1), day of month, month and the year within the century; 0x07..0x0D are
// alarms, 0x0E the control register and 0x0F the status register, 0x10 an ageing offset. Bit 7
// of the status register is the oscillator-stop flag, the chip's invalid-time flag: the chip sets
// it when its oscillator stopped (the backup supply failed), and software can only clear it.
// Default address 0x68.
#include "rtc_chip.h"

namespace sim {

namespace chip2 {
namespace {

constexpr uint8_t kControl = 0x0E, kStatus = 0x0F;
constexpr uint8_t kOscillatorStopped = 0x80;  // in the status register
constexpr uint8_t kControlReset = 0x1C;       // alarms and square wave off, oscillator on
constexpr uint8_t kStatusReset = 0x08;        // 32 kHz output on

class Protocol2Chip : public RtcChipModel {
  public:
    Protocol2Chip() : RtcChipModel(2, 0x68, 17, {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 1}) {}

    bool timeInvalid(const std::vector<uint8_t>& regs) const override {
        return regs[kStatus] & kOscillatorStopped;
    }

    void writeRegister(ChipState& chip, uint8_t reg, uint8_t value, int64_t now) const override {
        // Writing 0 clears the oscillator-stop flag; writing 1 leaves it as it is.
        if (reg == kStatus)
            value = static_cast<uint8_t>((value & ~kOscillatorStopped) |
                                         (chip.regs[kStatus] & value & kOscillatorStopped));
        RtcChipModel::writeRegister(chip, reg, value, now);
    }

    void loseBackupSupply(ChipState& chip, int64_t now) const override {
        RtcChipModel::loseBackupSupply(chip, now);
        chip.regs[kStatus] |= kOscillatorStopped;
    }

  protected:
    std::vector<uint8_t> resetRegisters() const override {
        std::vector<uint8_t> regs = RtcChipModel::resetRegisters();
        regs[kControl] = kControlReset;
        regs[kStatus] = kStatusReset;
        return regs;
    }
};

}  // namespace
}  // namespace chip2

const RtcChipModel& protocol2Chip() {
    static const chip2::Protocol2Chip chip;
    return chip;
}

}  // namespace sim
