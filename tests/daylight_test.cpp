// The daylight-saving decision made before the system clock is set from the chip.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/daylight.h"
#include "testboard.h"

namespace {

SYSTEMTIME utc(WORD y, WORD mo, WORD d, WORD h, WORD mi = 0, WORD s = 0) {
    return SYSTEMTIME{y, mo, 0, d, h, mi, s, 0};
}

sim::SysTime rule(WORD month, WORD weekday, WORD occurrence, WORD hour) {
    return sim::SysTime{0, month, weekday, occurrence, hour, 0, 0, 0};
}

// Bias -60, DaylightBias -60, StandardBias 0; daylight from the last Sunday of March 02:00 to
// the last Sunday of October 03:00.
sim::BoardConfig centralEurope() {
    sim::BoardConfig c = testing_board::frozenDefaults();
    c.timeZone.bias = -60;
    c.timeZone.standardBias = 0;
    c.timeZone.daylightBias = -60;
    c.timeZone.daylightDate = rule(3, 0, 5, 2);
    c.timeZone.standardDate = rule(10, 0, 5, 3);
    return c;
}

// Ten hours ahead of UTC, daylight from the first Sunday of October 02:00 to the first Sunday
// of April 03:00.
sim::BoardConfig southEastAustralia() {
    sim::BoardConfig c = testing_board::frozenDefaults();
    c.timeZone.bias = -600;
    c.timeZone.standardName = "AUS Eastern Standard Time";
    c.timeZone.daylightName = "AUS Eastern Daylight Time";
    c.timeZone.standardBias = 0;
    c.timeZone.daylightBias = -60;
    c.timeZone.daylightDate = rule(10, 0, 1, 2);
    c.timeZone.standardDate = rule(4, 0, 1, 3);
    return c;
}

const char* const kAutoDstOn =
    "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock]\r\n\"AutoDST\"=dword:00000001\r\n";

// The flag as the kernel last heard it: absent when SetDaylightTime was never called.
const char* recordedFlag() {
    const std::optional<bool> flag = sim::Board::current().readState().daylight;
    if (!flag) return "none";
    return *flag ? "daylight" : "standard";
}

void forgetFlag() {
    sim::Board::current().updateState([](sim::BoardState& s) { s.daylight.reset(); });
}

struct Case {
    const char* what;
    SYSTEMTIME utc;
    int result;
    WORD localDay, localHour, localMinute, localSecond;
};

void runCases(const Case* cases, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const Case& c = cases[i];
        forgetFlag();
        SYSTEMTIME local = {};
        EXPECT_EQ(EvaluateDaylightTime(&c.utc, &local), c.result) << c.what;
        EXPECT_STREQ(recordedFlag(), c.result == 2 ? "daylight" : "standard") << c.what;
        EXPECT_EQ(local.wDay, c.localDay) << c.what;
        EXPECT_EQ(local.wHour, c.localHour) << c.what;
        EXPECT_EQ(local.wMinute, c.localMinute) << c.what;
        EXPECT_EQ(local.wSecond, c.localSecond) << c.what;
    }
}

TEST(DaylightEvaluation, CentralEuropeSwitchesAtBothInclusiveEnds) {
    TestBoard board(centralEurope(), kAutoDstOn);
    const Case cases[] = {
        {"winter", utc(2011, 1, 15, 12), 1, 15, 13, 0, 0},
        {"last second before spring change", utc(2011, 3, 27, 0, 59, 59), 1, 27, 1, 59, 59},
        {"spring change itself", utc(2011, 3, 27, 1, 0, 0), 2, 27, 3, 0, 0},
        {"mid-summer", utc(2011, 7, 1, 12), 2, 1, 14, 0, 0},
        {"autumn change itself", utc(2011, 10, 30, 1, 0, 0), 2, 30, 3, 0, 0},
        {"one second after autumn change", utc(2011, 10, 30, 1, 0, 1), 1, 30, 2, 0, 1},
        {"late December", utc(2011, 12, 31, 23, 30), 1, 1, 0, 30, 0},
    };
    runCases(cases, sizeof cases / sizeof cases[0]);
}

TEST(DaylightEvaluation, RulesAreResolvedInTheYearOfTheTime) {
    // 2012: last Sunday of March is the 25th, of October the 28th.
    TestBoard board(centralEurope(), kAutoDstOn);
    const Case cases[] = {
        {"2012 before spring", utc(2012, 3, 25, 0, 59, 59), 1, 25, 1, 59, 59},
        {"2012 spring change", utc(2012, 3, 25, 1), 2, 25, 3, 0, 0},
        {"2012 autumn change", utc(2012, 10, 28, 1), 2, 28, 3, 0, 0},
        {"2012 after autumn", utc(2012, 10, 28, 1, 0, 1), 1, 28, 2, 0, 1},
    };
    runCases(cases, sizeof cases / sizeof cases[0]);
}

TEST(DaylightEvaluation, SouthernZoneHasDaylightAcrossTheNewYear) {
    // 2011: first Sunday of April is the 3rd (change at 03:00 daylight = 2 April 16:00 UTC), first
    // Sunday of October the 2nd (02:00 standard = 1 October 16:00 UTC).
    TestBoard board(southEastAustralia(), kAutoDstOn);
    const Case cases[] = {
        {"January", utc(2011, 1, 15, 0), 2, 15, 11, 0, 0},
        {"June", utc(2011, 6, 15, 0), 1, 15, 10, 0, 0},
        {"end of daylight itself", utc(2011, 4, 2, 16, 0, 0), 2, 3, 3, 0, 0},
        {"one second after the end", utc(2011, 4, 2, 16, 0, 1), 1, 3, 2, 0, 1},
        {"one second before the start", utc(2011, 10, 1, 15, 59, 59), 1, 2, 1, 59, 59},
        {"start of daylight itself", utc(2011, 10, 1, 16, 0, 0), 2, 2, 3, 0, 0},
        {"December", utc(2011, 12, 20, 0), 2, 20, 11, 0, 0},
    };
    runCases(cases, sizeof cases / sizeof cases[0]);
}

TEST(DaylightEvaluation, AbsoluteRuleDatesAreTakenAsTheyAre) {
    sim::BoardConfig c = centralEurope();
    c.timeZone.daylightDate = sim::SysTime{2011, 4, 0, 10, 2, 0, 0, 0};  // 10 April 2011 02:00
    c.timeZone.standardDate = sim::SysTime{2011, 9, 0, 20, 3, 0, 0, 0};  // 20 September 2011 03:00
    TestBoard board(c, kAutoDstOn);
    const Case cases[] = {
        {"before the absolute start", utc(2011, 4, 10, 0, 59, 59), 1, 10, 1, 59, 59},
        {"absolute start", utc(2011, 4, 10, 1), 2, 10, 3, 0, 0},
        {"absolute end", utc(2011, 9, 20, 1), 2, 20, 3, 0, 0},
        {"after the absolute end", utc(2011, 9, 20, 1, 0, 1), 1, 20, 2, 0, 1},
    };
    runCases(cases, sizeof cases / sizeof cases[0]);
}

TEST(DaylightEvaluation, WithoutAutoDstItIsStandardTimeEvenInSummer) {
    const char* const registries[] = {
        "",                                                                             // no clock key
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock]\r\n\"Other\"=dword:1\r\n",    // no value
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock]\r\n\"AutoDST\"=dword:0\r\n",  // switched off
    };
    for (const char* text : registries) {
        TestBoard board(centralEurope(), text);
        SetDaylightTime(1);  // the kernel must be told otherwise
        SYSTEMTIME t = utc(2011, 7, 1, 12);
        SYSTEMTIME local = {};
        EXPECT_EQ(EvaluateDaylightTime(&t, &local), 1) << text;
        EXPECT_STREQ(recordedFlag(), "standard") << text;
        EXPECT_EQ(local.wHour, 13) << text;
        EXPECT_EQ(IsAutoDstEnabled(), 0u) << text;
    }
}

TEST(DaylightEvaluation, AnyNonZeroAutoDstEnables) {
    TestBoard board(centralEurope(),
                    "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock]\r\n\"AutoDST\"=dword:00000100\r\n");
    EXPECT_EQ(IsAutoDstEnabled(), 0x100u);
    SYSTEMTIME t = utc(2011, 7, 1, 12);
    EXPECT_EQ(EvaluateDaylightTime(&t, nullptr), 2);
    EXPECT_STREQ(recordedFlag(), "daylight");
}

TEST(DaylightEvaluation, ZoneWithoutRulesGivesZeroAndLeavesTheKernelFlagAlone) {
    sim::BoardConfig c = testing_board::frozenDefaults();
    c.timeZone = sim::TimeZoneConfig{};
    c.timeZone.bias = 300;
    c.timeZone.daylightBias = -60;
    c.timeZone.standardDate = rule(11, 0, 1, 2);  // a standard rule alone is not a rule set
    TestBoard board(c, kAutoDstOn);
    forgetFlag();
    SYSTEMTIME t = utc(2011, 7, 1, 12, 34, 56);
    SYSTEMTIME local = {};
    EXPECT_EQ(EvaluateDaylightTime(&t, &local), 0);
    EXPECT_STREQ(recordedFlag(), "none");
    EXPECT_EQ(local.wDay, 1);
    EXPECT_EQ(local.wHour, 7);
    EXPECT_EQ(local.wMinute, 34);
    EXPECT_EQ(local.wSecond, 56);
    EXPECT_EQ(EvaluateDaylightTime(&t, nullptr), 0);
    EXPECT_STREQ(recordedFlag(), "none");
}

TEST(DaylightRules, PresentOnlyWhenBothRulesHaveAMonth) {
    TIME_ZONE_INFORMATION tzi = {};
    EXPECT_FALSE(HasDaylightRules(&tzi));
    tzi.StandardDate.wMonth = 10;
    EXPECT_FALSE(HasDaylightRules(&tzi));
    tzi.DaylightDate.wMonth = 3;
    EXPECT_TRUE(HasDaylightRules(&tzi));
    tzi.StandardDate.wMonth = 0;
    EXPECT_FALSE(HasDaylightRules(&tzi));
}

struct ResolveCase {
    const char* what;
    WORD month, weekday, occurrence, year;
    WORD day;
};

TEST(DaylightRules, TransitionDatesResolveToTheRightDay) {
    const ResolveCase cases[] = {
        {"last Sunday of March 2011", 3, 0, 5, 2011, 27},
        {"last Sunday of October 2011", 10, 0, 5, 2011, 30},
        {"July 2011 has five Sundays", 7, 0, 5, 2011, 31},
        {"fourth Sunday of July 2011", 7, 0, 4, 2011, 24},
        {"first Sunday of July 2011 (the 1st is a Friday)", 7, 0, 1, 2011, 3},
        {"first Friday of July 2011 is the 1st", 7, 5, 1, 2011, 1},
        {"last Friday of July 2011 is the fifth", 7, 5, 5, 2011, 29},
        {"first Saturday of October 2011 is the 1st", 10, 6, 1, 2011, 1},
        {"occurrence 0 counts as the first", 10, 6, 0, 2011, 1},
        {"February 2012 has five Wednesdays", 2, 3, 5, 2012, 29},
        {"February 2011 has four Tuesdays", 2, 2, 5, 2011, 22},
        {"second Sunday of March 2007", 3, 0, 2, 2007, 11},
    };
    for (const ResolveCase& c : cases) {
        SYSTEMTIME r = {0, c.month, c.weekday, c.occurrence, 2, 30, 15, 7};
        EXPECT_EQ(ResolveTransitionDate(&r, c.year), 1) << c.what;
        EXPECT_EQ(r.wYear, c.year) << c.what;
        EXPECT_EQ(r.wMonth, c.month) << c.what;
        EXPECT_EQ(r.wDay, c.day) << c.what;
        EXPECT_EQ(r.wDayOfWeek, c.weekday) << c.what;
        EXPECT_EQ(r.wHour, 2) << c.what;
        EXPECT_EQ(r.wMinute, 30) << c.what;
        EXPECT_EQ(r.wSecond, 15) << c.what;
        EXPECT_EQ(r.wMilliseconds, 7) << c.what;
    }
}

TEST(DaylightRules, FirstWeekdayOfMonth) {
    const struct {
        WORD year, month, weekday;
    } cases[] = {{2011, 3, 2}, {2011, 7, 5}, {2011, 10, 6}, {2012, 2, 3}, {2000, 1, 6}, {1601, 1, 1}};
    for (const auto& c : cases) {
        SYSTEMTIME t = {c.year, c.month, 4, 17, 23, 59, 59, 999};
        EXPECT_EQ(FirstWeekdayOfMonth(&t), c.weekday) << c.year << "-" << c.month;
    }
}

}  // namespace
