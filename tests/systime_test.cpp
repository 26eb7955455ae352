// Time conversions, the board's system clock, the time zone and the daylight flag.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "sim/board/simtime.h"
#include "sim/ceapi/tools_api.h"
#include "testboard.h"

namespace {

constexpr int64_t kUnitsPerSecond = 10'000'000;
constexpr int64_t kUnixEpoch = 116444736000000000LL;  // 1970-01-01 as a file time

int64_t ft64(const FILETIME& ft) {
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME toFt(uint64_t v) {
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

SYSTEMTIME st(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
    return SYSTEMTIME{y, mo, 0, d, h, mi, s, ms};
}

struct DateCase {
    SYSTEMTIME t;
    bool valid;
};

TEST(TimeConversion, AcceptsOnlyRealDatesAndTimes) {
    const DateCase cases[] = {
        {st(1601, 1, 1), true},
        {st(1600, 12, 31, 23, 59, 59, 999), false},
        {st(30827, 12, 31, 23, 59, 59, 999), true},
        {st(30828, 1, 1), false},
        {st(2011, 11, 30), true},
        {st(2011, 11, 31), false},
        {st(2011, 12, 31), true},
        {st(2011, 4, 31), false},
        {st(2011, 2, 28), true},
        {st(2011, 2, 29), false},
        {st(2012, 2, 29), true},
        {st(2000, 2, 29), true},
        {st(1900, 2, 29), false},
        {st(2100, 2, 29), false},
        {st(2400, 2, 29), true},
        {st(2012, 2, 30), false},
        {st(2011, 0, 1), false},
        {st(2011, 13, 1), false},
        {st(2011, 1, 0), false},
        {st(2011, 1, 32), false},
        {st(2011, 1, 1, 23, 59, 59, 999), true},
        {st(2011, 1, 1, 24), false},
        {st(2011, 1, 1, 0, 60), false},
        {st(2011, 1, 1, 0, 0, 60), false},
        {st(2011, 1, 1, 0, 0, 0, 1000), false},
    };
    for (const DateCase& c : cases) {
        FILETIME ft = {0xAAAAAAAA, 0x55555555};
        SetLastError(0);
        const BOOL ok = SystemTimeToFileTime(&c.t, &ft);
        EXPECT_EQ(ok != 0, c.valid) << c.t.wYear << "-" << c.t.wMonth << "-" << c.t.wDay << " " << c.t.wHour
                                    << ":" << c.t.wMinute << ":" << c.t.wSecond << "." << c.t.wMilliseconds;
        if (!c.valid) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(ft.dwLowDateTime, 0xAAAAAAAAu);
        }
    }
}

struct KnownCase {
    SYSTEMTIME t;
    int64_t fileTime;
    WORD weekday;
};

TEST(TimeConversion, KnownInstantsAndTheirWeekdays) {
    const KnownCase cases[] = {
        {st(1601, 1, 1), 0, 1},  // a Monday
        {st(1970, 1, 1), kUnixEpoch, 4},
        {st(2000, 2, 29, 12), kUnixEpoch + 951825600LL * kUnitsPerSecond, 2},
        {st(2011, 3, 27, 1), kUnixEpoch + 1301187600LL * kUnitsPerSecond, 0},
        {st(2011, 11, 29, 14, 59, 55), kUnixEpoch + 1322578795LL * kUnitsPerSecond, 2},
        {st(2038, 1, 19, 3, 14, 8, 250), kUnixEpoch + 2147483648LL * kUnitsPerSecond + 2'500'000, 2},
        {st(2100, 3, 1), kUnixEpoch + 4107542400LL * kUnitsPerSecond, 1},
    };
    for (const KnownCase& c : cases) {
        SYSTEMTIME in = c.t;
        in.wDayOfWeek = 5;  // ignored on input
        FILETIME ft;
        ASSERT_TRUE(SystemTimeToFileTime(&in, &ft)) << c.t.wYear;
        EXPECT_EQ(ft64(ft), c.fileTime) << c.t.wYear;
        SYSTEMTIME out;
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &out));
        EXPECT_EQ(out.wYear, c.t.wYear);
        EXPECT_EQ(out.wMonth, c.t.wMonth);
        EXPECT_EQ(out.wDay, c.t.wDay);
        EXPECT_EQ(out.wHour, c.t.wHour);
        EXPECT_EQ(out.wMinute, c.t.wMinute);
        EXPECT_EQ(out.wSecond, c.t.wSecond);
        EXPECT_EQ(out.wMilliseconds, c.t.wMilliseconds);
        EXPECT_EQ(out.wDayOfWeek, c.weekday) << c.t.wYear << "-" << c.t.wMonth << "-" << c.t.wDay;
    }
}

TEST(TimeConversion, EveryDayAroundLeapYearsRoundTrips) {
    // Consecutive days: the file time grows by one day each, the weekday cycles, and the calendar
    // goes through 29 February only in leap years.
    for (int startYear : {1601, 1899, 1999, 2099, 2399}) {
        SYSTEMTIME t = st(static_cast<WORD>(startYear), 1, 1, 6, 30, 15, 123);
        FILETIME ft;
        ASSERT_TRUE(SystemTimeToFileTime(&t, &ft));
        int64_t v = ft64(ft);
        SYSTEMTIME prev;
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &prev));
        int leapDays = 0;
        for (int i = 1; i < 3 * 366; ++i) {
            v += 86400 * kUnitsPerSecond;
            FILETIME next = toFt(static_cast<uint64_t>(v));
            SYSTEMTIME cur;
            ASSERT_TRUE(FileTimeToSystemTime(&next, &cur));
            EXPECT_EQ(cur.wDayOfWeek, (prev.wDayOfWeek + 1) % 7);
            EXPECT_EQ(cur.wHour, 6);
            EXPECT_EQ(cur.wMilliseconds, 123);
            if (cur.wMonth == 2 && cur.wDay == 29) {
                ++leapDays;
                const int y = cur.wYear;
                EXPECT_TRUE((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) << y;
            }
            FILETIME back;
            ASSERT_TRUE(SystemTimeToFileTime(&cur, &back));
            EXPECT_EQ(ft64(back), v);
            prev = cur;
        }
        // 1601..1603, 1899..1901 and 2099..2101 hold no 29 February; 1999..2001 and 2399..2401 one.
        EXPECT_EQ(leapDays, (startYear == 1999 || startYear == 2399) ? 1 : 0) << startYear;
    }
}

TEST(TimeConversion, SubMillisecondUnitsAreDropped) {
    FILETIME ft = toFt(kUnixEpoch + 9'999);
    SYSTEMTIME t;
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &t));
    EXPECT_EQ(t.wMilliseconds, 0);
    ft = toFt(kUnixEpoch + 10'000);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &t));
    EXPECT_EQ(t.wMilliseconds, 1);
}

TEST(TimeConversion, FileTimesFromTheTopBitOnAreRefused) {
    SYSTEMTIME t = {};
    FILETIME ft = toFt(0x7FFFFFFFFFFFFFFFull);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &t));
    EXPECT_EQ(t.wYear, 30828);
    EXPECT_EQ(t.wMonth, 9);
    EXPECT_EQ(t.wDay, 14);
    for (uint64_t bad : {0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull}) {
        SYSTEMTIME out = st(1, 2, 3);
        ft = toFt(bad);
        SetLastError(0);
        EXPECT_FALSE(FileTimeToSystemTime(&ft, &out));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(out.wYear, 1);
    }
}

// The UTC the clock was last set to: a frozen board's clock stands there.
int64_t storedClock() {
    return sim::boardSystemFileTime();
}

TEST(SystemClock, SetThenGetOnAFrozenBoard) {
    TestBoard board;
    SYSTEMTIME in = {2011, 11, 6, 29, 14, 59, 55, 500};  // weekday deliberately wrong
    ASSERT_TRUE(SetSystemTime(&in));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SYSTEMTIME out;
    GetSystemTime(&out);
    EXPECT_EQ(out.wYear, 2011);
    EXPECT_EQ(out.wMonth, 11);
    EXPECT_EQ(out.wDay, 29);
    EXPECT_EQ(out.wDayOfWeek, 2);
    EXPECT_EQ(out.wHour, 14);
    EXPECT_EQ(out.wMinute, 59);
    EXPECT_EQ(out.wSecond, 55);
    EXPECT_EQ(out.wMilliseconds, 500);
    EXPECT_EQ(storedClock(), kUnixEpoch + 1322578795LL * kUnitsPerSecond + 5'000'000);
}

TEST(SystemClock, InvalidRecordsAreRefusedAndLeaveTheClockAlone) {
    TestBoard board;
    SYSTEMTIME good = st(2011, 3, 27, 1);
    ASSERT_TRUE(SetSystemTime(&good));
    const int64_t before = storedClock();
    for (SYSTEMTIME bad : {st(2011, 11, 31), st(2011, 2, 29), st(2011, 13, 1), st(2011, 1, 1, 24),
                           st(2011, 1, 1, 0, 0, 0, 1000), st(1600, 1, 1)}) {
        SetLastError(0);
        EXPECT_FALSE(SetSystemTime(&bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(storedClock(), before);
    }
    SetLastError(0);
    EXPECT_FALSE(SetSystemTime(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(storedClock(), before);
}

TEST(SystemClock, FrozenBoardClockStandsStill) {
    TestBoard board;
    const int64_t a = sim::boardSystemFileTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(sim::boardSystemFileTime(), a);
}

TEST(SystemClock, RunningBoardClockFollowsTheHost) {
    sim::BoardConfig c = sim::defaultBoardConfig();
    c.frozen = false;
    TestBoard board(c);
    const int64_t set = kUnixEpoch + 1301187600LL * kUnitsPerSecond;
    const int64_t hostBefore = sim::hostFileTimeNow();
    sim::setBoardSystemFileTime(set);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int64_t now = sim::boardSystemFileTime();
    const int64_t hostElapsed = sim::hostFileTimeNow() - hostBefore;
    EXPECT_GE(now - set, 50 * 10'000);
    EXPECT_LE(now - set, hostElapsed);

    // A clock set ten minutes ago (host time) is ten minutes further on.
    const int64_t bias = sim::zoneBiasMinutes(sim::currentTimeZone(), false) * 60 * kUnitsPerSecond;
    sim::Board::current().updateState([&](sim::BoardState& s) {
        s.daylight = false;
        s.systemClock = {set - bias, sim::hostFileTimeNow() - 600 * kUnitsPerSecond};
    });
    SYSTEMTIME t;
    GetSystemTime(&t);
    EXPECT_EQ(t.wDay, 27);
    EXPECT_EQ(t.wHour, 1);
    EXPECT_EQ(t.wMinute, 10);
}

// On a board in real time the host may come to a device event late (other processes ran): the
// event still happens at its own time, and what it sets going follows from then. A byte's
// completion and the interrupt it raises are over by the driver's deadline even when the driver's
// process wakes after it.
TEST(BoardTime, LateDeviceEventRunsAtItsOwnTimeOnABoardInRealTime) {
    sim::BoardConfig c = sim::defaultBoardConfig();
    c.frozen = false;
    TestBoard board(c);
    const uint64_t due = sim::nowNs() + 1'000'000;
    uint64_t first = 0, second = 0;
    sim::scheduleAt(due, [&] {
        first = sim::nowNs();
        sim::scheduleAt(sim::nowNs() + 20'000, [&] { second = sim::nowNs(); });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    sim::runDue();
    EXPECT_EQ(first, due);
    EXPECT_EQ(second, due + 20'000) << "set going by the first, and due as well";
    EXPECT_GE(sim::nowNs(), due + 29'000'000) << "outside the events, the host's time";
}

TEST(TimeZone, ComesFromTheBoardWithTheRecordedDaylightFlag) {
    TestBoard board;  // Central European rules
    TIME_ZONE_INFORMATION tzi;
    std::memset(&tzi, 0xCC, sizeof tzi);
    EXPECT_EQ(GetTimeZoneInformation(&tzi), static_cast<DWORD>(TIME_ZONE_ID_STANDARD));
    EXPECT_EQ(tzi.Bias, -60);
    EXPECT_EQ(tzi.StandardBias, 0);
    EXPECT_EQ(tzi.DaylightBias, -60);
    EXPECT_EQ(std::u16string(tzi.StandardName), u"W. Europe Standard Time");
    EXPECT_EQ(std::u16string(tzi.DaylightName), u"W. Europe Daylight Time");
    EXPECT_EQ(tzi.StandardDate.wMonth, 10);
    EXPECT_EQ(tzi.StandardDate.wDay, 5);
    EXPECT_EQ(tzi.StandardDate.wHour, 3);
    EXPECT_EQ(tzi.DaylightDate.wMonth, 3);
    EXPECT_EQ(tzi.DaylightDate.wHour, 2);
    EXPECT_EQ(tzi.DaylightDate.wYear, 0);

    SetDaylightTime(1);
    EXPECT_EQ(sim::Board::current().readState().daylight, true);
    EXPECT_EQ(GetTimeZoneInformation(&tzi), static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT));
    SetDaylightTime(0);
    EXPECT_EQ(sim::Board::current().readState().daylight, false);
    EXPECT_EQ(GetTimeZoneInformation(&tzi), static_cast<DWORD>(TIME_ZONE_ID_STANDARD));
}

TEST(TimeZone, ZoneWithoutRulesIsUnknownWhateverTheFlag) {
    sim::BoardConfig c = testing_board::frozenDefaults();
    c.timeZone = sim::TimeZoneConfig{};
    c.timeZone.bias = 300;
    c.timeZone.standardName = "0123456789012345678901234567890";  // 31 characters, the most there is room for
    TestBoard board(c);
    SetDaylightTime(1);
    TIME_ZONE_INFORMATION tzi;
    EXPECT_EQ(GetTimeZoneInformation(&tzi), static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN));
    EXPECT_EQ(tzi.Bias, 300);
    EXPECT_EQ(std::u16string(tzi.StandardName), u"0123456789012345678901234567890");
    EXPECT_EQ(tzi.StandardName[31], 0);
}

}  // namespace
