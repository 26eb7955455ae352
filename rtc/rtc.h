// RTC chips: the time codec shared by the four chip protocols, and the table that ties protocol
// numbers to their routines and default slave addresses.
#pragma once

#include <windows.h>

#define RTC_INVALID_YEAR 0xFFFFu  // wYear of a read whose chip flagged its time as not valid

#define RTC_PROTOCOL_AUTODETECT 0u
#define RTC_PROTOCOL_COUNT 5u  // protocol numbers 0..4

typedef DWORD RtcProtocol;

// Tens-digit masks of the time fields (units are always bits 0..3).
#define RTC_TENS_SECONDS 0x70u
#define RTC_TENS_MINUTES 0x70u
#define RTC_TENS_HOURS 0x30u
#define RTC_TENS_DAY 0x30u
#define RTC_TENS_MONTH 0x10u
#define RTC_TENS_YEAR 0xF0u
#define RTC_WEEKDAY_MASK 0x07u

// Where a protocol keeps each time field within the buffer of one transfer.
typedef struct RtcTimeLayout {
    BYTE seconds, minutes, hours, weekday, day, month, year;
    BYTE weekdayOffset;  // chip weekday = wDayOfWeek + weekdayOffset: one of RTC_SUNDAY_IS_*
} RtcTimeLayout;
#define RTC_SUNDAY_IS_0 0u  // the chip counts weekdays 0..6 from Sunday, as wDayOfWeek does
#define RTC_SUNDAY_IS_1 1u  // the chip counts weekdays 1..7 from Sunday

WORD RtcDecodeField(BYTE reg, BYTE tensMask);
BYTE RtcEncodeField(WORD value, BYTE tensMask);
// The years two digits can hold: the window RtcDecodeYear reads them back in.
#define RTC_YEAR_FIRST 1970u
#define RTC_YEAR_LAST 2069u

WORD RtcDecodeYear(BYTE reg);
// Whether `year` survives a write and a read: any other year comes back a century off.
BOOL RtcYearFitsChip(WORD year);
BYTE RtcEncodeYear(WORD year);
WORD RtcDecodeWeekday(BYTE reg, BYTE weekdayOffset);
BYTE RtcEncodeWeekday(WORD dayOfWeek, BYTE weekdayOffset);
// Decodes all eight fields from `regs` (wMilliseconds = 0); no validation.
void RtcDecodeTime(const BYTE* regs, const RtcTimeLayout* layout, SYSTEMTIME* time);
// Places the seven time fields into `regs`, which the caller has zero-filled.
void RtcEncodeTime(const SYSTEMTIME* time, const RtcTimeLayout* layout, BYTE* regs);
// I2CReadRegs, repeated once at once when the first attempt fails.
int RtcReadRegsTwice(BYTE slave, BYTE* buffer, int reg, DWORD length);

typedef int (*RtcReadFn)(SYSTEMTIME* time, BYTE slave);
typedef int (*RtcWriteFn)(const SYSTEMTIME* time, BYTE slave);
typedef int (*RtcPrepareFn)(BYTE slave);

typedef struct RtcProtocolEntry {
    RtcReadFn read;        // null: no routine for this protocol number
    RtcPrepareFn prepare;  // step before the read on the restore path; null when none
    RtcWriteFn write;
    DWORD defaultSlaveAddr;
    // Where the chip's second can be watched and how a write restarts it (second-edge timing).
    BYTE counterReg;         // the seconds register, or the hundredths with the seconds after them
    BYTE counterHundredths;  // 1: counterReg counts hundredths of a second
    BYTE restartByte;        // bytes on the wire from the write's start to the one that restarts the second
    DWORD firstTickUs;       // from that restart to the chip's next second
} RtcProtocolEntry;

extern const RtcProtocolEntry g_rtcProtocols[RTC_PROTOCOL_COUNT];

// The chip's time as the restore reads it: the protocol's step before the read, then the read.
int RtcReadChip(const RtcProtocolEntry* entry, BYTE slave, SYSTEMTIME* time);

// The chip's place in its minute, in hundredths of a second (0..5999), from one read of its
// counter register(s), tried once: the second-edge watch reads it again and again. 0 when the read
// failed or the registers hold no count.
int ReadRtcCounter(const RtcProtocolEntry* entry, BYTE slave, DWORD* hundredths);
// Bytes on the wire of that read: two addresses, the register, the data.
#define RTC_COUNTER_READ_BYTES(entry) (4u + ((entry)->counterHundredths ? 1u : 0u))

// Protocol 1: time in registers 0x00..0x06, register 0x07 after it; invalid flag 0x01 bit 7.
int ReadRtcProtocol1(SYSTEMTIME* time, BYTE slave);
int WriteRtcProtocol1(const SYSTEMTIME* time, BYTE slave);
// Protocol 2: time in 0x00..0x06; control 0x0E and status 0x0F (invalid flag 0x0F bit 7).
int ReadRtcProtocol2(SYSTEMTIME* time, BYTE slave);
int WriteRtcProtocol2(const SYSTEMTIME* time, BYTE slave);
// Protocol 3: time in 0x02..0x08 (day before weekday, Sunday = 0); lost backup voltage is
// flagged in 0x02 bit 7 and answered by re-initialising everything but the time; a clock left
// stopped (0x00 bit 5) makes the time invalid too.
int ReadRtcProtocol3(SYSTEMTIME* time, BYTE slave);
int WriteRtcProtocol3(const SYSTEMTIME* time, BYTE slave);
int ReinitRtcProtocol3(BYTE slave);
// Protocol 4: time in 0x01..0x07; the halt bit 0x0C bit 6 is cleared before the time is read.
int PrepareRtcProtocol4(BYTE slave);
int ReadRtcProtocol4(SYSTEMTIME* time, BYTE slave);
int WriteRtcProtocol4(const SYSTEMTIME* time, BYTE slave);
