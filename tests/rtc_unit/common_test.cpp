// What the four chip protocols share: the read retry, the invalid marker, the weekday convention
// and the one-transfer writes, checked row by row over the protocol table.
#include "rtc_test_util.h"

namespace rtctest {
// A namespace per file: the tests are compiled together.
namespace common_test {
namespace {

struct ProtocolRow {
    const char* name;
    RtcReadFn read;
    RtcWriteFn write;
    DWORD slave;
    DWORD readLength;  // every read starts at register 0x00
    int secondsIndex;  // within the read buffer
    int weekdayIndex;
    int dayIndex;
    int invalidIndex;  // register holding the invalid flag, within the read buffer
    BYTE sunday;       // the chip's weekday number for Sunday
};

// Protocol 3 reads its control register 0x00 (clock stop) with the time.
// clang-format off
const ProtocolRow kRows[] = {
    {.name = "protocol 1", .read = ReadRtcProtocol1, .write = WriteRtcProtocol1, .slave = 0x68,
     .readLength = 8, .secondsIndex = 0, .weekdayIndex = 3, .dayIndex = 4, .invalidIndex = 1, .sunday = 1},
    {.name = "protocol 2", .read = ReadRtcProtocol2, .write = WriteRtcProtocol2, .slave = 0x68,
     .readLength = 17, .secondsIndex = 0, .weekdayIndex = 3, .dayIndex = 4, .invalidIndex = 15, .sunday = 1},
    {.name = "protocol 3", .read = ReadRtcProtocol3, .write = WriteRtcProtocol3, .slave = 0x51,
     .readLength = 9, .secondsIndex = 2, .weekdayIndex = 6, .dayIndex = 5, .invalidIndex = 2, .sunday = 0},
    {.name = "protocol 4", .read = ReadRtcProtocol4, .write = WriteRtcProtocol4, .slave = 0x68,
     .readLength = 13, .secondsIndex = 1, .weekdayIndex = 4, .dayIndex = 5, .invalidIndex = 2, .sunday = 1},
};
// clang-format on

class RtcCommon : public RtcBusTest {};

// The table as the main routine uses it: what each row's routines, called with the row's default
// address, put on the bus is that protocol's chip at its own address (the worked example written to
// its time registers; a read after the step before it, where there is one).
TEST_F(RtcCommon, EachTableRowDrivesItsOwnChip) {
    const struct {
        int protocol;
        DWORD slave;                // the chip's own address
        bool prepared;              // a step before the read (protocol 4: register 0x0C)
        int timeReg;                // first register of the written time
        std::vector<BYTE> written;  // the worked example as the protocol's write sends it
    } rows[] = {
        // clang-format off
        {.protocol = 1, .slave = 0x68, .prepared = false,
         .timeReg = 0x00, .written = {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11, 0x00}},
        {.protocol = 2, .slave = 0x68, .prepared = false,
         .timeReg = 0x00, .written = {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11}},
        {.protocol = 3, .slave = 0x51, .prepared = false,
         .timeReg = 0x02, .written = {0x55, 0x59, 0x14, 0x29, 0x02, 0x11, 0x11}},
        {.protocol = 4, .slave = 0x68, .prepared = true,
         .timeReg = 0x00, .written = {0x00, 0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.protocol);
        const RtcProtocolEntry& e = g_rtcProtocols[row.protocol];
        const BYTE slave = static_cast<BYTE>(e.defaultSlaveAddr);
        b().reset();
        const SYSTEMTIME t = workedExampleTime();
        ASSERT_EQ(e.write(&t, slave), 1);
        bool seen = false;
        for (const BusCall& c : b().calls) {
            EXPECT_EQ(c.slave, row.slave);
            seen = seen || (c.write && c.reg == row.timeReg && c.bytes == row.written);
        }
        EXPECT_TRUE(seen) << "the time write of this protocol";
        b().reset();
        ASSERT_EQ(e.prepare != nullptr, row.prepared);
        SYSTEMTIME got = rubbish();
        ASSERT_EQ(RtcReadChip(&e, slave, &got), 1);
        for (const BusCall& c : b().calls) EXPECT_EQ(c.slave, row.slave);
        EXPECT_FALSE(b().calls.back().write) << "the read comes last";
        EXPECT_EQ(b().calls.size(), row.prepared ? 3u : 1u);
    }
}

TEST_F(RtcCommon, ReadThatFailsTwiceReturnsZeroAfterExactlyTwoTransfers) {
    for (const ProtocolRow& r : kRows) {
        SCOPED_TRACE(r.name);
        b().reset();
        b().failCall(0);
        b().failCall(1);
        SYSTEMTIME t = rubbish();
        EXPECT_EQ(r.read(&t, static_cast<BYTE>(r.slave)), 0);
        ASSERT_EQ(b().calls.size(), 2u);
        for (const BusCall& c : b().calls) expectRead(c, r.slave, 0x00, r.readLength);
        EXPECT_TRUE(b().debug.empty());
    }
}

TEST_F(RtcCommon, ReadRetriedOnceUsesTheSecondTransfersData) {
    for (const ProtocolRow& r : kRows) {
        SCOPED_TRACE(r.name);
        b().reset();
        b().failCall(0);
        // The worked example's registers, at the protocol's places.
        std::vector<BYTE> regs(r.readLength, 0);
        const int base = r.secondsIndex;
        const BYTE timeBytes[7] = {0x55, 0x59, 0x14, 0, 0, 0x11, 0x11};
        for (int i = 0; i < 7; ++i) regs[base + i] = timeBytes[i];
        regs[r.dayIndex] = 0x29;
        regs[r.weekdayIndex] = static_cast<BYTE>(2 + r.sunday);
        b().script.push_back(regs);
        SYSTEMTIME t = rubbish();
        EXPECT_EQ(r.read(&t, static_cast<BYTE>(r.slave)), 1);
        ASSERT_EQ(b().calls.size(), 2u);
        expectRead(b().calls[0], r.slave, 0x00, r.readLength);
        expectRead(b().calls[1], r.slave, 0x00, r.readLength);
        expectTime(t, 2011, 11, 2, 29, 14, 59, 55);
    }
}

TEST_F(RtcCommon, WeekdayRegisterOfZeroAndSevenFollowTheProtocolsConvention) {
    struct Case {
        BYTE reg;
        WORD plusOne;  // protocols 1, 2, 4
        WORD plain;    // protocol 3
    };
    const Case cases[] = {{0, 0xFFFF, 0}, {7, 6, 7}, {1, 0, 1}, {0xFB, 2, 3}};
    for (const ProtocolRow& r : kRows) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(r.name) + " weekday register " + std::to_string(c.reg));
            b().reset();
            std::vector<BYTE> regs(r.readLength, 0);
            regs[r.weekdayIndex] = c.reg;
            b().script.push_back(regs);
            SYSTEMTIME t = rubbish();
            ASSERT_EQ(r.read(&t, static_cast<BYTE>(r.slave)), 1);
            EXPECT_EQ(t.wDayOfWeek, r.sunday ? c.plusOne : c.plain);
        }
    }
}

TEST_F(RtcCommon, InvalidFlagMarksTheYearAndKeepsTheOtherFields) {
    for (const ProtocolRow& r : kRows) {
        SCOPED_TRACE(r.name);
        b().reset();
        std::vector<BYTE> regs(r.readLength, 0);
        const int base = r.secondsIndex;
        regs[base + 0] = 0x30;                          // seconds
        regs[base + 1] = 0x45;                          // minutes
        regs[base + 2] = 0x08;                          // hours
        regs[r.weekdayIndex] = r.sunday ? 0x05 : 0x04;  // Thursday
        regs[r.dayIndex] = 0x17;                        // day
        regs[base + 5] = 0x06;                          // month
        regs[base + 6] = 0x21;                          // year
        regs[r.invalidIndex] |= 0x80;
        b().script.push_back(regs);
        SYSTEMTIME t = rubbish();
        EXPECT_EQ(r.read(&t, static_cast<BYTE>(r.slave)), 1);
        expectTime(t, RTC_INVALID_YEAR, 6, 4, 17, 8, 45, 30);
    }
}

TEST_F(RtcCommon, WriteIgnoresMillisecondsAndPassesTheSlaveUnchanged) {
    for (const ProtocolRow& r : kRows) {
        SCOPED_TRACE(r.name);
        b().reset();
        SYSTEMTIME t = workedExampleTime();
        ASSERT_EQ(r.write(&t, 0x3A), 1);
        const std::vector<BusCall> plain = b().calls;
        b().reset();
        t.wMilliseconds = 999;
        ASSERT_EQ(r.write(&t, 0x3A), 1);
        ASSERT_EQ(b().calls.size(), plain.size());
        for (size_t i = 0; i < plain.size(); ++i) {
            EXPECT_EQ(b().calls[i].slave, 0x3Au);
            EXPECT_EQ(b().calls[i].bytes, plain[i].bytes);
        }
    }
}

TEST_F(RtcCommon, TensDigitThatDoesNotFitIsCutInTheWrittenBytes) {
    // wHour 45 goes out as 0x05; minutes 99 as 0x19, so the bit above the digits stays 0.
    SYSTEMTIME t = workedExampleTime();
    t.wHour = 45;
    t.wMinute = 99;
    ASSERT_EQ(WriteRtcProtocol1(&t, 0x68), 1);
    ASSERT_EQ(b().calls.size(), 1u);
    EXPECT_EQ(b().calls[0].bytes[2], 0x05);
    EXPECT_EQ(b().calls[0].bytes[1], 0x19);
}

}  // namespace
}  // namespace common_test
}  // namespace rtctest
