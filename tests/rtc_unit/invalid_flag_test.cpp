// The invalid-time flags of the four protocols over every value of every register they read: the
// time is invalid exactly when a flag bit is set, never because of another bit or register, and
// the flag bit is no part of the time field that shares its register.
#include "rtc_test_util.h"

namespace rtctest {
// A namespace per file: the tests are compiled together.
namespace invalid_flag_test {
namespace {

struct Flag {
    int index;  // register within the read buffer
    BYTE mask;
};

struct FlagRow {
    const char* name;
    RtcReadFn read;
    BYTE slave;
    DWORD readLength;
    std::vector<Flag> flags;
    int sharedField;  // the first flag's register when a time field shares it, else -1
    WORD SYSTEMTIME::*field;
    bool reinitOnFirstFlag;
};

// Protocol 1: minutes bit 7. Protocol 2: status register 0x0F bit 7. Protocol 3: seconds bit 7
// (backup supply lost, answered by a re-initialisation), and bit 5 of register 0x00 (clock
// stopped). Protocol 4: minutes bit 7 (register 0x02).
const FlagRow kRows[] = {
    {"protocol 1", ReadRtcProtocol1, 0x68, 8, {{1, 0x80}}, 1, &SYSTEMTIME::wMinute, false},
    {"protocol 2", ReadRtcProtocol2, 0x68, 17, {{15, 0x80}}, -1, nullptr, false},
    {"protocol 3", ReadRtcProtocol3, 0x51, 9, {{2, 0x80}, {0, 0x20}}, 2, &SYSTEMTIME::wSecond, true},
    {"protocol 4", ReadRtcProtocol4, 0x68, 13, {{2, 0x80}}, 2, &SYSTEMTIME::wMinute, false},
};

class InvalidFlags : public RtcBusTest {};

TEST_F(InvalidFlags, TimeIsInvalidExactlyWhenAFlagBitIsSetWhateverTheOtherBits) {
    for (const FlagRow& r : kRows) {
        for (int index = 0; index < static_cast<int>(r.readLength); ++index) {
            for (int value = 0; value < 256; ++value) {
                b().reset();
                std::vector<BYTE> regs(r.readLength, 0);
                regs[index] = static_cast<BYTE>(value);
                b().script.push_back(regs);
                bool flagged = false;
                for (const Flag& f : r.flags) flagged = flagged || (f.index == index && (value & f.mask));
                const bool first = index == r.flags[0].index && (value & r.flags[0].mask);

                SYSTEMTIME t = rubbish();
                ASSERT_EQ(r.read(&t, r.slave), 1);
                EXPECT_EQ(t.wYear == RTC_INVALID_YEAR, flagged)
                    << r.name << ", register " << index << " = 0x" << std::hex << value;
                // Only a lost backup supply is reported and re-initialised.
                const bool reinit = r.reinitOnFirstFlag && first;
                EXPECT_EQ(b().debug.size(), reinit ? 1u : 0u) << r.name << " " << index << " " << value;
                EXPECT_EQ(b().calls.size(), reinit ? 3u : 1u) << r.name << " " << index << " " << value;
                if (index == r.sharedField) {
                    // Seconds and minutes: tens digit in bits 4..6 (0x70).
                    const WORD field = static_cast<WORD>(10 * ((value & 0x70) >> 4) + (value & 0x0F));
                    EXPECT_EQ(t.*r.field, field) << r.name << " " << value;
                }
            }
        }
    }
}

}  // namespace
}  // namespace invalid_flag_test
}  // namespace rtctest
