// Protocol 1 chip: eight registers. 0x00..0x06 hold seconds, minutes, hours (24-hour), weekday
// (1..7, Sunday 1), day of month, month and the year within the century; 0x07 is a control
// register the clock does not use. Bit 7 of the minutes register is the chip's invalid-time flag:
// set when the backup supply failed, cleared only by a write. Default address 0x68.
#include "rtc_chip.h"

namespace sim {

// A namespace per chip: the chips' register names are alike and are compiled together.
namespace chip1 {
namespace {

constexpr uint8_t kMinutes = 0x01, kControl = 0x07;
constexpr uint8_t kInvalidBit = 0x80;  // in the minutes register

class Protocol1Chip : public RtcChipModel {
  public:
    Protocol1Chip() : RtcChipModel(1, 0x68, 8, {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 1}) {}

    bool timeInvalid(const std::vector<uint8_t>& regs) const override { return regs[kMinutes] & kInvalidBit; }

    void loseBackupSupply(ChipState& chip, int64_t now) const override {
        RtcChipModel::loseBackupSupply(chip, now);
        chip.regs[kMinutes] |= kInvalidBit;
        chip.regs[kControl] = 0x80;  // the control register's power-on value
    }
};

}  // namespace
}  // namespace chip1

const RtcChipModel& protocol1Chip() {
    static const chip1::Protocol1Chip chip;
    return chip;
}

}  // namespace sim
