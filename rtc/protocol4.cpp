// Protocol 4: register 0x00 before the time, time registers 0x01..0x07, and the halt bit (bit 6
// of 0x0C), which the chip sets at every power-down and which freezes the time registers at the
// time of the power-down until it is cleared. The invalid-time flag is bit 7 of the minutes.
#include "../i2c/i2c.h"
#include "rtc.h"

#define P4_REG_COUNT 13   // registers 0x00..0x0C
#define P4_WRITE_COUNT 8  // registers 0x00..0x07
#define P4_REG_HALT 0x0C
#define P4_HALT_BIT 0x40
#define P4_INVALID_REG 0x02
#define P4_INVALID_BIT 0x80

// The register of each field (the time's transfers start at 0x00).
// clang-format off
//                                      seconds minutes hours weekday day   month year  Sunday as
static const RtcTimeLayout kP4Layout = {0x01,   0x02,   0x03, 0x04,   0x05, 0x06, 0x07, RTC_SUNDAY_IS_1};
// clang-format on

int PrepareRtcProtocol4(BYTE slave) {
    BYTE halt = 0;
    if (!RtcReadRegsTwice(slave, &halt, P4_REG_HALT, 1)) return 0;
    halt = (BYTE)(halt & ~P4_HALT_BIT);
    // Written back also when the bit was clear already.
    return I2CWriteRegs(slave, &halt, P4_REG_HALT, 1);
}

int ReadRtcProtocol4(SYSTEMTIME* time, BYTE slave) {
    BYTE regs[P4_REG_COUNT] = {0};
    if (!RtcReadRegsTwice(slave, regs, 0x00, P4_REG_COUNT)) return 0;
    RtcDecodeTime(regs, &kP4Layout, time);
    if (regs[P4_INVALID_REG] & P4_INVALID_BIT) time->wYear = RTC_INVALID_YEAR;
    return 1;
}

int WriteRtcProtocol4(const SYSTEMTIME* time, BYTE slave) {
    // Register 0x00 and every bit above the time digits (the invalid flag included) go out as 0;
    // the halt register is left alone.
    BYTE regs[P4_WRITE_COUNT] = {0};
    RtcEncodeTime(time, &kP4Layout, regs);
    return I2CWriteRegs(slave, regs, 0x00, P4_WRITE_COUNT) ? 1 : 0;
}
