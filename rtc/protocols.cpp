#include "../i2c/i2c.h"
#include "rtc.h"

// One row per protocol number: its routines (read; the step before the read on the restore path,
// 0 for none; write) and the chip's default slave address. Protocol 0 stands for automatic
// detection, which is not implemented: its row has no routines.
//
// The last four columns are the second-edge timing's: the register where the chip's second can be
// watched, and whether it counts hundredths (1) or seconds (0); the byte on the wire, counted from
// the write's start, whose taking restarts the chip's second; and the time from that restart to
// the chip's next second. Protocols 1 and 2 reset their divider when the seconds byte (the third on
// the wire) is taken; protocol 3's write holds the prescaler with STOP and releases it with the
// last byte of its third transfer (3 + 9 + 3 bytes), and the prescaler's lowest stages, which STOP
// does not reset, bring the first tick 0.5079 s after; protocol 4 copies its clock registers to the
// counters and resets the divider at the end of its ten-byte transfer.
// clang-format off
const RtcProtocolEntry g_rtcProtocols[RTC_PROTOCOL_COUNT] = {
    // read            prepare              write              slave counter  hundredths restart first tick
    //                                                               register            byte    (us)
    {0,                0,                   0,                 0x00, 0x00,    0,         0,      0},
    {ReadRtcProtocol1, 0,                   WriteRtcProtocol1, 0x68, 0x00,    0,         3,      1000000},
    {ReadRtcProtocol2, 0,                   WriteRtcProtocol2, 0x68, 0x00,    0,         3,      1000000},
    {ReadRtcProtocol3, 0,                   WriteRtcProtocol3, 0x51, 0x02,    0,         15,     507874},
    {ReadRtcProtocol4, PrepareRtcProtocol4, WriteRtcProtocol4, 0x68, 0x00,    1,         10,     1000000},
};
// clang-format on

int RtcReadChip(const RtcProtocolEntry* entry, BYTE slave, SYSTEMTIME* time) {
    if (entry->prepare != 0 && !entry->prepare(slave)) return 0;
    return entry->read(time, slave);
}

int ReadRtcCounter(const RtcProtocolEntry* entry, BYTE slave, DWORD* hundredths) {
    BYTE regs[2] = {0, 0};
    DWORD length = entry->counterHundredths ? 2 : 1;
    if (entry->read == 0 || !I2CReadRegs(slave, regs, entry->counterReg, length)) return 0;
    WORD seconds = RtcDecodeField(regs[length - 1], RTC_TENS_SECONDS);
    WORD fraction = entry->counterHundredths ? RtcDecodeField(regs[0], 0xF0) : 0;
    // Digits beyond a count (a chip flagging its time, a stopped one) make no place in a minute.
    if (seconds > 59 || fraction > 99) return 0;
    *hundredths = (DWORD)seconds * 100 + fraction;
    return 1;
}
