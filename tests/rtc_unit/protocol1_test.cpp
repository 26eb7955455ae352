// Protocol 1: eight registers from 0x00, invalid flag in bit 7 of the minutes.
#include "rtc_test_util.h"

namespace rtctest {
// A namespace per file: the tests are compiled together.
namespace protocol1_test {
namespace {

class Protocol1 : public RtcBusTest {};

TEST_F(Protocol1, WorkedExampleWritesEightBytesInOneTransfer) {
    b().setImage(0x00, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    const SYSTEMTIME t = workedExampleTime();
    EXPECT_EQ(WriteRtcProtocol1(&t, 0x68), 1);
    ASSERT_EQ(b().calls.size(), 1u);
    expectCall(b().calls[0], true, 0x68, 0x00, {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11, 0x00});
}

TEST_F(Protocol1, WorkedExampleReadWithFlagSetGivesTheInvalidMarker) {
    b().setImage(0x00, {0x55, 0xD9, 0x14, 0x03, 0x29, 0x11, 0x11, 0x00});
    SYSTEMTIME t = rubbish();
    EXPECT_EQ(ReadRtcProtocol1(&t, 0x68), 1);
    ASSERT_EQ(b().calls.size(), 1u);
    expectRead(b().calls[0], 0x68, 0x00, 8);
    expectTime(t, RTC_INVALID_YEAR, 11, 2, 29, 14, 59, 55);
}

TEST_F(Protocol1, BitsAboveTheDigitsAndRegister7DoNotMarkTheTimeInvalid) {
    // Seconds 0xD5 and hours 0xD4 carry set bits above their digits; register 0x07 is rubbish.
    b().setImage(0x00, {0xD5, 0x59, 0xD4, 0xFB, 0xE9, 0xF1, 0x11, 0xFF});
    SYSTEMTIME t = rubbish();
    EXPECT_EQ(ReadRtcProtocol1(&t, 0x68), 1);
    expectTime(t, 2011, 11, 2, 29, 14, 59, 55);
}

TEST_F(Protocol1, FailedWriteIsNotRepeated) {
    b().failCall(0);
    const SYSTEMTIME t = workedExampleTime();
    EXPECT_EQ(WriteRtcProtocol1(&t, 0x68), 0);
    EXPECT_EQ(b().calls.size(), 1u);
}

}  // namespace
}  // namespace protocol1_test
}  // namespace rtctest
