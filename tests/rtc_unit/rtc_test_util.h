// Shared pieces of the chip-routine tests: the worked-example time and record checks.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "recording_bus.h"
#include "rtc/rtc.h"

namespace rtctest {

// 2011-11-29 14:59:55 UTC, a Tuesday.
inline SYSTEMTIME workedExampleTime() {
    SYSTEMTIME t = {2011, 11, 2, 29, 14, 59, 55, 0};
    return t;
}

inline void expectTime(const SYSTEMTIME& t, WORD year, WORD month, WORD dow, WORD day, WORD hour, WORD minute,
                       WORD second) {
    EXPECT_EQ(t.wYear, year);
    EXPECT_EQ(t.wMonth, month);
    EXPECT_EQ(t.wDayOfWeek, dow);
    EXPECT_EQ(t.wDay, day);
    EXPECT_EQ(t.wHour, hour);
    EXPECT_EQ(t.wMinute, minute);
    EXPECT_EQ(t.wSecond, second);
    EXPECT_EQ(t.wMilliseconds, 0);
}

inline void expectCall(const BusCall& c, bool write, DWORD slave, int reg, std::vector<BYTE> bytes) {
    EXPECT_EQ(c.write, write) << (write ? "expected a write" : "expected a read");
    EXPECT_EQ(c.slave, slave);
    EXPECT_EQ(c.reg, reg);
    EXPECT_EQ(c.length, bytes.size());
    if (write) {
        EXPECT_EQ(c.bytes, bytes);
    }
}

inline void expectRead(const BusCall& c, DWORD slave, int reg, DWORD length) {
    EXPECT_FALSE(c.write) << "expected a read";
    EXPECT_EQ(c.slave, slave);
    EXPECT_EQ(c.reg, reg);
    EXPECT_EQ(c.length, length);
}

// Every test starts from an empty bus record.
class RtcBusTest : public ::testing::Test {
  protected:
    void SetUp() override { bus().reset(); }
    RecordingBus& b() { return bus(); }
    // A record filled with rubbish, so that a field the read forgets to set shows.
    static SYSTEMTIME rubbish() {
        SYSTEMTIME t;
        t.wYear = t.wMonth = t.wDayOfWeek = t.wDay = t.wHour = t.wMinute = t.wSecond = t.wMilliseconds =
            0xBEEF;
        return t;
    }
};

}  // namespace rtctest
