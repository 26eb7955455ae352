// Protocol 1: seven time registers from 0x00 and one further register, 0x07, which every write
// clears. The invalid-time flag is bit 7 of the minutes register.
#include "../i2c/i2c.h"
#include "rtc.h"

#define P1_REG_COUNT 8
#define P1_INVALID_REG 0x01
#define P1_INVALID_BIT 0x80

// The register of each field (the time's transfers start at 0x00).
// clang-format off
//                                      seconds minutes hours weekday day   month year  Sunday as
static const RtcTimeLayout kP1Layout = {0x00,   0x01,   0x02, 0x03,   0x04, 0x05, 0x06, RTC_SUNDAY_IS_1};
// clang-format on

int ReadRtcProtocol1(SYSTEMTIME* time, BYTE slave) {
    BYTE regs[P1_REG_COUNT] = {0};
    if (!RtcReadRegsTwice(slave, regs, 0x00, P1_REG_COUNT)) return 0;
    RtcDecodeTime(regs, &kP1Layout, time);
    if (regs[P1_INVALID_REG] & P1_INVALID_BIT) time->wYear = RTC_INVALID_YEAR;
    return 1;
}

int WriteRtcProtocol1(const SYSTEMTIME* time, BYTE slave) {
    // Register 0x07 and every bit above the time digits (the invalid flag included) go out as 0.
    BYTE regs[P1_REG_COUNT] = {0};
    RtcEncodeTime(time, &kP1Layout, regs);
    return I2CWriteRegs(slave, regs, 0x00, P1_REG_COUNT) ? 1 : 0;
}
