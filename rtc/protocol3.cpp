// Protocol 3: time registers 0x02..0x08 with the day of month before the weekday and Sunday as 0.
// Bit 7 of the seconds register reports a lost backup voltage; the read then re-initialises all
// registers but the time. Register 0x00 holds 0x20 while the time is written, which stops the
// clock, and 0x00 afterwards; the read fetches it together with the time.
#include "../i2c/i2c.h"
#include "rtc.h"

#define P3_REG_CONTROL1 0x00
#define P3_REG_SECONDS 0x02
#define P3_REG_ALARMS 0x09
#define P3_TIME_COUNT 7
#define P3_READ_COUNT 9      // registers 0x00..0x08
#define P3_INVALID_BIT 0x80  // seconds register: the backup voltage was lost
#define P3_CLOCK_STOP 0x20   // control register 1: the clock does not count
#define P3_CLOCK_RUN 0x00    // control register 1 as every time write leaves it
#define P3_ALARM_OFF 0x80    // each alarm register: that alarm is disabled

// Where each field sits in the buffer: the time write starts at register 0x02 (kP3Layout), the read
// at 0x00 (kP3ReadLayout).
// clang-format off
//                                          seconds minutes hours weekday day month year Sunday as
static const RtcTimeLayout kP3Layout =     {0,      1,      2,    4,      3,  5,    6,   RTC_SUNDAY_IS_0};
static const RtcTimeLayout kP3ReadLayout = {2,      3,      4,    6,      5,  7,    8,   RTC_SUNDAY_IS_0};
// clang-format on

int ReinitRtcProtocol3(BYTE slave) {
    // Both control registers cleared; the four alarms and the clock output off, the timer stopped.
    static const BYTE control[2] = {P3_CLOCK_RUN, 0x00};
    static const BYTE rest[7] = {P3_ALARM_OFF, P3_ALARM_OFF, P3_ALARM_OFF, P3_ALARM_OFF,
                                 P3_ALARM_OFF, 0x00,         0x00};
    if (!I2CWriteRegs(slave, control, P3_REG_CONTROL1, 2)) return 0;
    return I2CWriteRegs(slave, rest, P3_REG_ALARMS, 7) ? 1 : 0;
}

int ReadRtcProtocol3(SYSTEMTIME* time, BYTE slave) {
    BYTE regs[P3_READ_COUNT] = {0};
    if (!RtcReadRegsTwice(slave, regs, P3_REG_CONTROL1, P3_READ_COUNT)) return 0;
    RtcDecodeTime(regs, &kP3ReadLayout, time);
    if (regs[P3_REG_SECONDS] & P3_INVALID_BIT) {
        OutputDebugStringW(
            TEXT("External RTC has lost backup voltage - reinitializing RTC, except Date/Time\r\n"));
        ReinitRtcProtocol3(slave);  // the read succeeds whatever this returns
        time->wYear = RTC_INVALID_YEAR;
    } else if (regs[P3_REG_CONTROL1] & P3_CLOCK_STOP) {
        // A time write cut short (power lost while the time was being set) leaves the clock
        // stopped: what it holds no longer moves. Reported as invalid, so that the next time the
        // user sets is written whole and starts the clock again.
        time->wYear = RTC_INVALID_YEAR;
    }
    return 1;
}

int WriteRtcProtocol3(const SYSTEMTIME* time, BYTE slave) {
    static const BYTE stop = P3_CLOCK_STOP;
    static const BYTE run = P3_CLOCK_RUN;
    BYTE regs[P3_TIME_COUNT] = {0};
    if (!I2CWriteRegs(slave, &stop, P3_REG_CONTROL1, 1)) return 0;
    RtcEncodeTime(time, &kP3Layout, regs);
    if (!I2CWriteRegs(slave, regs, P3_REG_SECONDS, P3_TIME_COUNT)) {
        // Left at 0x20 the chip's clock would stand still from now on; start it again even
        // though this write has failed.
        I2CWriteRegs(slave, &run, P3_REG_CONTROL1, 1);
        return 0;
    }
    return I2CWriteRegs(slave, &run, P3_REG_CONTROL1, 1) ? 1 : 0;
}
