#include "rtc.h"

#include "../i2c/i2c.h"

WORD RtcDecodeField(BYTE reg, BYTE tensMask) {
    // Nibbles of 0xA..0xF count at face value: the chip's bytes are not validated here.
    return (WORD)(10 * ((reg & tensMask) >> 4) + (reg & 0x0F));
}

BYTE RtcEncodeField(WORD value, BYTE tensMask) {
    WORD units = value % 10;
    WORD tens = value / 10;
    // A tens digit wider than the field is cut to the field.
    return (BYTE)((((tens << 4) & tensMask)) | (units & 0x0F));
}

WORD RtcDecodeYear(BYTE reg) {
    // The chips hold no century: 70..165 are 1970.., everything below 2000..
    WORD v = RtcDecodeField(reg, RTC_TENS_YEAR);
    return (WORD)(v < 70 ? 2000 + v : 1900 + v);
}

BOOL RtcYearFitsChip(WORD year) {
    return year >= RTC_YEAR_FIRST && year <= RTC_YEAR_LAST;
}

BYTE RtcEncodeYear(WORD year) {
    return RtcEncodeField((WORD)(year % 100), RTC_TENS_YEAR);
}

WORD RtcDecodeWeekday(BYTE reg, BYTE weekdayOffset) {
    return (WORD)((reg & RTC_WEEKDAY_MASK) - weekdayOffset);
}

BYTE RtcEncodeWeekday(WORD dayOfWeek, BYTE weekdayOffset) {
    return (BYTE)((dayOfWeek + weekdayOffset) & RTC_WEEKDAY_MASK);
}

void RtcDecodeTime(const BYTE* regs, const RtcTimeLayout* layout, SYSTEMTIME* time) {
    time->wSecond = RtcDecodeField(regs[layout->seconds], RTC_TENS_SECONDS);
    time->wMinute = RtcDecodeField(regs[layout->minutes], RTC_TENS_MINUTES);
    time->wHour = RtcDecodeField(regs[layout->hours], RTC_TENS_HOURS);
    time->wDayOfWeek = RtcDecodeWeekday(regs[layout->weekday], layout->weekdayOffset);
    time->wDay = RtcDecodeField(regs[layout->day], RTC_TENS_DAY);
    time->wMonth = RtcDecodeField(regs[layout->month], RTC_TENS_MONTH);
    time->wYear = RtcDecodeYear(regs[layout->year]);
    time->wMilliseconds = 0;
}

void RtcEncodeTime(const SYSTEMTIME* time, const RtcTimeLayout* layout, BYTE* regs) {
    regs[layout->seconds] = RtcEncodeField(time->wSecond, RTC_TENS_SECONDS);
    regs[layout->minutes] = RtcEncodeField(time->wMinute, RTC_TENS_MINUTES);
    regs[layout->hours] = RtcEncodeField(time->wHour, RTC_TENS_HOURS);
    regs[layout->weekday] = RtcEncodeWeekday(time->wDayOfWeek, layout->weekdayOffset);
    regs[layout->day] = RtcEncodeField(time->wDay, RTC_TENS_DAY);
    regs[layout->month] = RtcEncodeField(time->wMonth, RTC_TENS_MONTH);
    regs[layout->year] = RtcEncodeYear(time->wYear);
}

int RtcReadRegsTwice(BYTE slave, BYTE* buffer, int reg, DWORD length) {
    if (I2CReadRegs(slave, buffer, reg, length)) return 1;
    return I2CReadRegs(slave, buffer, reg, length) ? 1 : 0;
}
