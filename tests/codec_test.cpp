// The RTC time codec: BCD fields, the two-digit year window and the weekday conventions.
#include <gtest/gtest.h>

#include "rtc/rtc.h"

namespace {

struct YearCase {
    BYTE reg;
    WORD year;
};

TEST(RtcCodec, YearRegisterReadsThroughTheFixedWindow) {
    const YearCase cases[] = {{0x00, 2000}, {0x69, 2069}, {0x70, 1970},
                              {0x99, 1999}, {0xA5, 2005}, {0x11, 2011}};
    for (const YearCase& c : cases) EXPECT_EQ(RtcDecodeYear(c.reg), c.year) << std::hex << int(c.reg);
}

TEST(RtcCodec, YearsOfTheWindowSurviveAWriteAndARead) {
    for (WORD y = 1970; y <= 2069; ++y) EXPECT_EQ(RtcDecodeYear(RtcEncodeYear(y)), y);
    EXPECT_EQ(RtcEncodeYear(1999), 0x99);
    EXPECT_EQ(RtcEncodeYear(2099), 0x99);
    EXPECT_EQ(RtcDecodeYear(RtcEncodeYear(2099)), 1999);
}

TEST(RtcCodec, WorkedExampleEncodesAndDecodes) {
    // 2011-11-29 14:59:55 UTC, a Tuesday.
    const SYSTEMTIME t = {2011, 11, 2, 29, 14, 59, 55, 0};
    // Protocol 1's registers 0x00..0x06, Sunday as 1.
    const RtcTimeLayout p1 = {.seconds = 0,
                              .minutes = 1,
                              .hours = 2,
                              .weekday = 3,
                              .day = 4,
                              .month = 5,
                              .year = 6,
                              .weekdayOffset = 1};
    BYTE regs[8] = {0};
    RtcEncodeTime(&t, &p1, regs);
    const BYTE expected[8] = {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11, 0x00};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(regs[i], expected[i]) << "register " << i;
    SYSTEMTIME back = {};
    back.wMilliseconds = 999;
    RtcDecodeTime(regs, &p1, &back);
    EXPECT_EQ(back.wYear, 2011);
    EXPECT_EQ(back.wMonth, 11);
    EXPECT_EQ(back.wDayOfWeek, 2);
    EXPECT_EQ(back.wDay, 29);
    EXPECT_EQ(back.wHour, 14);
    EXPECT_EQ(back.wMinute, 59);
    EXPECT_EQ(back.wSecond, 55);
    EXPECT_EQ(back.wMilliseconds, 0);
    EXPECT_EQ(RtcEncodeWeekday(2, 0), 0x02);  // protocol 3 keeps wDayOfWeek itself
}

struct FieldCase {
    BYTE reg;
    BYTE mask;
    WORD value;
};

TEST(RtcCodec, FieldsDecodeWithoutValidation) {
    const FieldCase cases[] = {
        {0x1F, RTC_TENS_MONTH, 25},    // a nibble above 9 counts at face value
        {0xD5, RTC_TENS_SECONDS, 55},  // bit 7 is not part of the seconds
        {0xD4, RTC_TENS_HOURS, 14},    // bits 6..7 are not part of the hours
        {0xE9, RTC_TENS_DAY, 29},     {0xF1, RTC_TENS_MONTH, 11},
    };
    for (const FieldCase& c : cases)
        EXPECT_EQ(RtcDecodeField(c.reg, c.mask), c.value) << std::hex << int(c.reg);
}

TEST(RtcCodec, WeekdayConventions) {
    EXPECT_EQ(RtcDecodeWeekday(0, 1), 0xFFFF);  // register 0 on a chip counting from 1
    EXPECT_EQ(RtcDecodeWeekday(7, 1), 6);
    EXPECT_EQ(RtcDecodeWeekday(0, 0), 0);
    EXPECT_EQ(RtcDecodeWeekday(7, 0), 7);
    EXPECT_EQ(RtcDecodeWeekday(0xFB, 1), 2);  // bits 3..7 are ignored
    EXPECT_EQ(RtcEncodeWeekday(0, 1), 1);     // Sunday
    EXPECT_EQ(RtcEncodeWeekday(6, 1), 7);     // Saturday
}

TEST(RtcCodec, TensDigitThatDoesNotFitIsCutToTheField) {
    EXPECT_EQ(RtcEncodeField(45, RTC_TENS_HOURS), 0x05);
    EXPECT_EQ(RtcEncodeField(59, RTC_TENS_SECONDS), 0x59);
    EXPECT_EQ(RtcEncodeField(12, RTC_TENS_MONTH), 0x12);
}

}  // namespace
