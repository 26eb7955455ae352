// Protocol 4: the halt-bit preparation, thirteen registers from 0x00 on read, eight on write.
#include "rtc_test_util.h"

namespace rtctest {
// A namespace per file: the tests are compiled together.
namespace protocol4_test {
namespace {

class Protocol4 : public RtcBusTest {};

TEST_F(Protocol4, PreparationClearsOnlyTheHaltBitAndAlwaysWritesBack) {
    const BYTE cases[][2] = {{0x40, 0x00}, {0xFF, 0xBF}, {0x00, 0x00}, {0x81, 0x81}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c[0]));
        b().reset();
        b().image[0x0C] = c[0];
        EXPECT_NE(PrepareRtcProtocol4(0x68), 0);
        ASSERT_EQ(b().calls.size(), 2u);
        expectRead(b().calls[0], 0x68, 0x0C, 1);
        expectCall(b().calls[1], true, 0x68, 0x0C, {c[1]});
    }
}

TEST_F(Protocol4, PreparationRetriesItsReadOnce) {
    b().failCall(0);
    b().image[0x0C] = 0x41;
    EXPECT_NE(PrepareRtcProtocol4(0x68), 0);
    ASSERT_EQ(b().calls.size(), 3u);
    expectRead(b().calls[1], 0x68, 0x0C, 1);
    expectCall(b().calls[2], true, 0x68, 0x0C, {0x01});
}

TEST_F(Protocol4, PreparationFailures) {
    b().failCall(0);
    b().failCall(1);
    EXPECT_EQ(PrepareRtcProtocol4(0x68), 0);
    EXPECT_EQ(b().calls.size(), 2u);
    EXPECT_EQ(b().writes(), 0u);

    b().reset();
    b().failCall(1);  // the write-back
    EXPECT_EQ(PrepareRtcProtocol4(0x68), 0);
    EXPECT_EQ(b().calls.size(), 2u);
}

TEST_F(Protocol4, WorkedExampleWritesEightBytesAndLeavesTheHaltRegister) {
    b().image[0x0C] = 0x40;
    const SYSTEMTIME t = workedExampleTime();
    EXPECT_EQ(WriteRtcProtocol4(&t, 0x68), 1);
    ASSERT_EQ(b().calls.size(), 1u);
    expectCall(b().calls[0], true, 0x68, 0x00, {0x00, 0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11});
    EXPECT_EQ(b().image[0x0C], 0x40);
}

TEST_F(Protocol4, FailedWriteIsNotRepeated) {
    b().failCall(0);
    const SYSTEMTIME t = workedExampleTime();
    EXPECT_EQ(WriteRtcProtocol4(&t, 0x68), 0);
    EXPECT_EQ(b().calls.size(), 1u);
}

TEST_F(Protocol4, BitsAboveTheDigitsAndRegister0AreIgnoredOnRead) {
    b().setImage(0x00, {0xFF, 0xD5, 0x59, 0xD4, 0xFB, 0xE9, 0xF1, 0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    SYSTEMTIME t = rubbish();
    EXPECT_EQ(ReadRtcProtocol4(&t, 0x68), 1);
    ASSERT_EQ(b().calls.size(), 1u);
    expectRead(b().calls[0], 0x68, 0x00, 13);
    expectTime(t, 2011, 11, 2, 29, 14, 59, 55);
}

TEST_F(Protocol4, MinutesBit7MarksTheTimeInvalid) {
    b().setImage(0x00, {0x00, 0x55, 0xD9, 0x14, 0x03, 0x29, 0x11, 0x11});
    SYSTEMTIME t = rubbish();
    EXPECT_EQ(ReadRtcProtocol4(&t, 0x68), 1);
    expectTime(t, RTC_INVALID_YEAR, 11, 2, 29, 14, 59, 55);
}

}  // namespace
}  // namespace protocol4_test
}  // namespace rtctest
