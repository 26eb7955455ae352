// Protocol 2: seven time registers from 0x00; the control (0x0E) and status (0x0F) registers
// are updated by a read-modify-write after the time, which clears the invalid-time flag.
#include "../i2c/i2c.h"
#include "rtc.h"

#define P2_REG_COUNT 17  // registers 0x00..0x10
#define P2_TIME_COUNT 7
#define P2_REG_CONTROL 0x0E
#define P2_REG_STATUS 0x0F
#define P2_INVALID_BIT 0x80   // status register: the chip does not vouch for its time
#define P2_STATUS_SET 0x03    // status bits 0 and 1: set after every time write
#define P2_CONTROL_BIT7 0x80  // control register bit 7: cleared after every time write
#define P2_STATUS_KEPT ((BYTE) ~(P2_INVALID_BIT | P2_STATUS_SET))  // bits 2..6: written back as read

// The register of each field (the time's transfers start at 0x00).
// clang-format off
//                                      seconds minutes hours weekday day   month year  Sunday as
static const RtcTimeLayout kP2Layout = {0x00,   0x01,   0x02, 0x03,   0x04, 0x05, 0x06, RTC_SUNDAY_IS_1};
// clang-format on

int ReadRtcProtocol2(SYSTEMTIME* time, BYTE slave) {
    BYTE regs[P2_REG_COUNT] = {0};
    if (!RtcReadRegsTwice(slave, regs, 0x00, P2_REG_COUNT)) return 0;
    RtcDecodeTime(regs, &kP2Layout, time);
    if (regs[P2_REG_STATUS] & P2_INVALID_BIT) time->wYear = RTC_INVALID_YEAR;
    return 1;
}

int WriteRtcProtocol2(const SYSTEMTIME* time, BYTE slave) {
    BYTE regs[P2_TIME_COUNT] = {0};
    BYTE ctl[2] = {0};
    RtcEncodeTime(time, &kP2Layout, regs);
    if (!I2CWriteRegs(slave, regs, 0x00, P2_TIME_COUNT)) return 0;
    // One attempt only: the time is already stored, and the flag is cleared only on success.
    if (!I2CReadRegs(slave, ctl, P2_REG_CONTROL, 2)) return 0;
    ctl[0] = (BYTE)(ctl[0] & ~P2_CONTROL_BIT7);
    ctl[1] = (BYTE)((ctl[1] & P2_STATUS_KEPT) | P2_STATUS_SET);
    return I2CWriteRegs(slave, ctl, P2_REG_CONTROL, 2) ? 1 : 0;
}
