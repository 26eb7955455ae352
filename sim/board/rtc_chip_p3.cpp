// Protocol 3 chip: sixteen registers. 0x00 and 0x01 are control registers; 0x02..0x08 hold
// seconds, minutes, hours (24-hour), day of month, weekday (0..6, Sunday 0), month and the year
// within the century; 0x09..0x0C are alarms (bit 7 disables each), 0x0D the clock output and
// 0x0E/0x0F the timer. Bit 7 of the seconds register is the voltage-low flag, the chip's
// invalid-time flag: set when the backup supply failed, cleared only by a write. While bit 5 of
// control register 0x00 (STOP) is set the clock does not count. Default address 0x51.
#include "calendar.h"
#include "rtc_chip.h"

namespace sim {

namespace chip3 {
namespace {

constexpr uint8_t kControl1 = 0x00, kSeconds = 0x02, kAlarmsFirst = 0x09, kClockOut = 0x0D,
                  kTimerControl = 0x0E;
constexpr uint8_t kStop = 0x20;                     // in control register 1
constexpr uint8_t kVoltageLow = 0x80;               // in the seconds register
constexpr uint8_t kDisabled = 0x80;                 // alarm and clock-output registers at power-on
constexpr int64_t kFirstTickAfterStop = 5'078'735;  // 100-ns units from STOP cleared to the first tick

class Protocol3Chip : public RtcChipModel {
  public:
    Protocol3Chip() : RtcChipModel(3, 0x51, 16, {0x02, 0x03, 0x04, 0x06, 0x05, 0x07, 0x08, 0}) {}

    bool timeInvalid(const std::vector<uint8_t>& regs) const override { return regs[kSeconds] & kVoltageLow; }

    bool clockStopped(const ChipState& chip) const override { return chip.regs[kControl1] & kStop; }

    void writeRegister(ChipState& chip, uint8_t reg, uint8_t value, int64_t now) const override {
        // STOP holds the prescaler's upper stages in reset; its two lowest stages run on, so the
        // first second after STOP is cleared ends 0.507813 to 0.507935 s later (the middle is
        // taken). Writing the time does not touch the prescaler: only STOP starts a second afresh.
        if (reg == kControl1 && (chip.regs[kControl1] & kStop) && !(value & kStop))
            restartSecond(chip, now, kFileTimeUnitsPerSecond - kFirstTickAfterStop);
        chip.regs[reg] = value;
    }

    void loseBackupSupply(ChipState& chip, int64_t now) const override {
        RtcChipModel::loseBackupSupply(chip, now);
        chip.regs[kSeconds] |= kVoltageLow;
        chip.regs[kControl1] = 0x08;
        chip.regs[kTimerControl] = 0x03;
    }

  protected:
    std::vector<uint8_t> resetRegisters() const override {
        std::vector<uint8_t> regs = RtcChipModel::resetRegisters();
        for (uint8_t r = kAlarmsFirst; r <= kClockOut; ++r) regs[r] = kDisabled;
        return regs;
    }
};

}  // namespace
}  // namespace chip3

const RtcChipModel& protocol3Chip() {
    static const chip3::Protocol3Chip chip;
    return chip;
}

}  // namespace sim
