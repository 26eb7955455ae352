// Protocol 3: time in 0x02..0x08, read together with the control register 0x00, the write
// bracketed by 0x20/0x00 in register 0x00, and the re-initialisation after a lost backup voltage.
#include "rtc_test_util.h"

namespace rtctest {
// A namespace per file: the tests are compiled together.
namespace protocol3_test {
namespace {

const std::u16string kLostBackup =
    u"External RTC has lost backup voltage - reinitializing RTC, except Date/Time\r\n";
const std::vector<BYTE> kReinitRest = {0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0x00};

class Protocol3 : public RtcBusTest {};

TEST_F(Protocol3, WorkedExampleWriteMakesThreeTransfersAndNeverReads) {
    const SYSTEMTIME t = workedExampleTime();
    EXPECT_EQ(WriteRtcProtocol3(&t, 0x51), 1);
    ASSERT_EQ(b().calls.size(), 3u);
    expectCall(b().calls[0], true, 0x51, 0x00, {0x20});
    expectCall(b().calls[1], true, 0x51, 0x02, {0x55, 0x59, 0x14, 0x29, 0x02, 0x11, 0x11});
    expectCall(b().calls[2], true, 0x51, 0x00, {0x00});
    EXPECT_EQ(b().reads(), 0u);
    EXPECT_TRUE(b().debug.empty());
}

TEST_F(Protocol3, FailedTimeWriteStillRestartsTheClockAndReturnsZero) {
    b().failCall(1);
    const SYSTEMTIME t = workedExampleTime();
    EXPECT_EQ(WriteRtcProtocol3(&t, 0x51), 0);
    ASSERT_EQ(b().calls.size(), 3u);
    expectCall(b().calls[2], true, 0x51, 0x00, {0x00});
    EXPECT_TRUE(b().calls[2].ok);
    EXPECT_EQ(b().image[0x00], 0x00);  // the chip is left running

    // When the restart fails as well the result stays 0.
    b().reset();
    b().failCall(1);
    b().failCall(2);
    EXPECT_EQ(WriteRtcProtocol3(&t, 0x51), 0);
    EXPECT_EQ(b().calls.size(), 3u);
}

TEST_F(Protocol3, FailedStopOrRestartEndsTheWriteWithZero) {
    const SYSTEMTIME t = workedExampleTime();
    b().failCall(0);
    EXPECT_EQ(WriteRtcProtocol3(&t, 0x51), 0);
    EXPECT_EQ(b().calls.size(), 1u);

    b().reset();
    b().failCall(2);
    EXPECT_EQ(WriteRtcProtocol3(&t, 0x51), 0);
    EXPECT_EQ(b().calls.size(), 3u);
}

TEST_F(Protocol3, ReadWithFlagClearMakesOneTransferAndPrintsNothing) {
    b().setImage(0x02, {0x55, 0x59, 0x14, 0x29, 0x02, 0x11, 0x11});
    SYSTEMTIME t = rubbish();
    EXPECT_EQ(ReadRtcProtocol3(&t, 0x51), 1);
    ASSERT_EQ(b().calls.size(), 1u);
    expectRead(b().calls[0], 0x51, 0x00, 9);
    expectTime(t, 2011, 11, 2, 29, 14, 59, 55);
    EXPECT_TRUE(b().debug.empty());
}

TEST_F(Protocol3, WorkedExampleReadWithLostBackupVoltageReinitialises) {
    b().setImage(0x00, {0x08, 0x11});
    b().setImage(0x02, {0xD5, 0x59, 0x14, 0x29, 0x02, 0x11, 0x11});
    b().setImage(0x09, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE});
    SYSTEMTIME t = rubbish();
    EXPECT_EQ(ReadRtcProtocol3(&t, 0x51), 1);
    ASSERT_EQ(b().debug.size(), 1u);
    EXPECT_EQ(b().debug[0], kLostBackup);
    ASSERT_EQ(b().calls.size(), 3u);
    expectRead(b().calls[0], 0x51, 0x00, 9);
    expectCall(b().calls[1], true, 0x51, 0x00, {0x00, 0x00});
    expectCall(b().calls[2], true, 0x51, 0x09, kReinitRest);
    expectTime(t, RTC_INVALID_YEAR, 11, 2, 29, 14, 59, 55);
    EXPECT_EQ(b().image[0x02], 0xD5);  // the time registers are not touched
}

TEST_F(Protocol3, FailedReinitialisationLeavesTheReadSuccessful) {
    b().setImage(0x02, {0xD5, 0x59, 0x14, 0x29, 0x02, 0x11, 0x11});
    b().failCall(1);  // first re-initialisation transfer
    SYSTEMTIME t = rubbish();
    EXPECT_EQ(ReadRtcProtocol3(&t, 0x51), 1);
    EXPECT_EQ(b().calls.size(), 2u);  // the second is not attempted
    EXPECT_EQ(b().debug.size(), 1u);
    EXPECT_EQ(t.wYear, RTC_INVALID_YEAR);

    b().reset();
    b().setImage(0x02, {0xD5, 0x59, 0x14, 0x29, 0x02, 0x11, 0x11});
    b().failCall(2);
    t = rubbish();
    EXPECT_EQ(ReadRtcProtocol3(&t, 0x51), 1);
    EXPECT_EQ(b().calls.size(), 3u);
    EXPECT_EQ(t.wYear, RTC_INVALID_YEAR);
}

TEST_F(Protocol3, ReinitialisationAloneWritesTwoBlocksAndReportsTheLast) {
    EXPECT_EQ(ReinitRtcProtocol3(0x51), 1);
    ASSERT_EQ(b().calls.size(), 2u);
    expectCall(b().calls[0], true, 0x51, 0x00, {0x00, 0x00});
    expectCall(b().calls[1], true, 0x51, 0x09, kReinitRest);
    b().reset();
    b().failCall(1);
    EXPECT_EQ(ReinitRtcProtocol3(0x51), 0);
    b().reset();
    b().failCall(0);
    EXPECT_EQ(ReinitRtcProtocol3(0x51), 0);
    EXPECT_EQ(b().calls.size(), 1u);
}

TEST_F(Protocol3, RetriedReadWithFlagSetReinitialisesOnce) {
    b().failCall(0);
    b().setImage(0x02, {0x80, 0x00, 0x00, 0x01, 0x06, 0x01, 0x00});
    SYSTEMTIME t = rubbish();
    EXPECT_EQ(ReadRtcProtocol3(&t, 0x51), 1);
    EXPECT_EQ(b().calls.size(), 4u);
    EXPECT_EQ(b().debug.size(), 1u);
    expectTime(t, RTC_INVALID_YEAR, 1, 6, 1, 0, 0, 0);
}

}  // namespace
}  // namespace protocol3_test
}  // namespace rtctest
