// Protocol 2: seventeen registers from 0x00; the write ends with a read-modify-write of the
// control and status registers 0x0E/0x0F.
#include "rtc_test_util.h"

namespace rtctest {
// A namespace per file: the tests are compiled together.
namespace protocol2_test {
namespace {

class Protocol2 : public RtcBusTest {};

struct RmwCase {
    BYTE control, status;        // as read
    BYTE newControl, newStatus;  // as written back
};

TEST_F(Protocol2, WriteStoresTheTimeThenRewritesControlAndStatus) {
    const RmwCase cases[] = {
        {0x1C, 0x88, 0x1C, 0x0B}, {0xFF, 0xFF, 0x7F, 0x7F}, {0x00, 0x00, 0x00, 0x03},
        {0x80, 0x80, 0x00, 0x03}, {0x45, 0x34, 0x45, 0x37},
    };
    for (const RmwCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "0x" << int(c.control) << " 0x" << int(c.status));
        b().reset();
        b().setImage(0x0E, {c.control, c.status});
        const SYSTEMTIME t = workedExampleTime();
        EXPECT_EQ(WriteRtcProtocol2(&t, 0x68), 1);
        ASSERT_EQ(b().calls.size(), 3u);
        expectCall(b().calls[0], true, 0x68, 0x00, {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11});
        expectRead(b().calls[1], 0x68, 0x0E, 2);
        expectCall(b().calls[2], true, 0x68, 0x0E, {c.newControl, c.newStatus});
    }
}

TEST_F(Protocol2, FirstFailureOfTheWriteEndsIt) {
    for (size_t failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE(failing);
        b().reset();
        b().failCall(failing);
        const SYSTEMTIME t = workedExampleTime();
        EXPECT_EQ(WriteRtcProtocol2(&t, 0x68), 0);
        // The read of 0x0E/0x0F is tried once like the writes.
        EXPECT_EQ(b().calls.size(), failing + 1);
    }
}

TEST_F(Protocol2, OnlyBit7OfTheStatusRegisterMarksTheTimeInvalid) {
    b().setImage(0x00, {0xD5, 0xD9, 0xD4, 0xFB, 0xE9, 0xF1, 0x11});
    b().setImage(0x07, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF});
    SYSTEMTIME t = rubbish();
    EXPECT_EQ(ReadRtcProtocol2(&t, 0x68), 1);
    ASSERT_EQ(b().calls.size(), 1u);
    expectRead(b().calls[0], 0x68, 0x00, 17);
    expectTime(t, 2011, 11, 2, 29, 14, 59, 55);

    b().reset();
    b().setImage(0x00, {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11});
    b().image[0x0F] = 0x80;
    t = rubbish();
    EXPECT_EQ(ReadRtcProtocol2(&t, 0x68), 1);
    expectTime(t, RTC_INVALID_YEAR, 11, 2, 29, 14, 59, 55);
}

}  // namespace
}  // namespace protocol2_test
}  // namespace rtctest
