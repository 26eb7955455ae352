// The kernel's clock as the platform keeps it: in local time, UTC derived by the zone record and
// the daylight flag. Each call moves what its page says it moves; a zone set by a program lives in
// the registry's RAM until a flush; a clock written in UTC by an earlier build keeps its time.
#include <gtest/gtest.h>
#include <notify.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "sim/board/board_power.h"
#include "sim/board/simtime.h"
#include "sim/ceapi/tools_api.h"
#include "testboard.h"
#include "tests/e2e_util.h"

namespace {

constexpr int64_t kMinute = 600'000'000LL;  // file time units

// 2026-07-01 12:00:00 UTC.
const int64_t kNoon = e2e::fileTimeOf(2026, 7, 1, 12, 0, 0);

int64_t fileTime(const SYSTEMTIME& t) {
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(&t, &ft));
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

SYSTEMTIME systemTime(int64_t ft) {
    FILETIME f{static_cast<DWORD>(ft), static_cast<DWORD>(static_cast<uint64_t>(ft) >> 32)};
    SYSTEMTIME t{};
    EXPECT_TRUE(FileTimeToSystemTime(&f, &t));
    return t;
}

int64_t utcNow() {
    SYSTEMTIME t;
    GetSystemTime(&t);
    return fileTime(t);
}

int64_t localNow() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return fileTime(t);
}

// A zone record as a program hands it to the platform; `bias` in minutes (UTC = local + bias).
TIME_ZONE_INFORMATION zone(LONG bias, LONG daylightBias = 0) {
    TIME_ZONE_INFORMATION z;
    std::memset(&z, 0, sizeof z);
    z.Bias = bias;
    z.DaylightBias = daylightBias;
    if (daylightBias) {
        z.DaylightDate = SYSTEMTIME{0, 3, 0, 5, 2, 0, 0, 0};
        z.StandardDate = SYSTEMTIME{0, 10, 0, 5, 3, 0, 0, 0};
    }
    return z;
}

// ---- Each call and what it moves ---------------------------------------------------------------

struct CallCase {
    const char* what;
    std::function<void()> call;
    int64_t localAfter;  // minutes from 12:00 UTC
    int64_t utcAfter;
};

// The board starts in Central European time, daylight flag off, at 12:00 UTC: local 13:00.
TEST(KernelClock, EachCallMovesWhatItsPageSays) {
    const CallCase cases[] = {
        // SetTimeZoneInformation "does not change the clock": local time stays, UTC moves.
        {"a zone one hour west",
         [] {
             const auto z = zone(0);
             SetTimeZoneInformation(&z);
         },
         60, 60},
        {"a zone six hours west",
         [] {
             const auto z = zone(300);
             SetTimeZoneInformation(&z);
         },
         60, 360},
        {"a zone eight hours east",
         [] {
             const auto z = zone(-540);
             SetTimeZoneInformation(&z);
         },
         60, -480},
        // The daylight flag is silent on the clock; kept consistent with a clock in local time.
        {"the daylight flag on", [] { SetDaylightTime(1); }, 60, 0 - 60},
        {"the daylight flag off again", [] { SetDaylightTime(0); }, 60, 0},
        // SetSystemTime takes UTC and converts it with the zone and the flag in force.
        {"UTC set to 10:00",
         [] {
             const SYSTEMTIME t = systemTime(kNoon - 120 * kMinute);
             SetSystemTime(&t);
         },
         -60, -120},
        {"UTC set with the flag on",
         [] {
             SetDaylightTime(1);
             const SYSTEMTIME t = systemTime(kNoon);
             SetSystemTime(&t);
         },
         120, 0},
        // SetLocalTime sets the clock itself.
        {"local time set to 14:30",
         [] {
             const SYSTEMTIME t = systemTime(kNoon + 150 * kMinute);
             SetLocalTime(&t);
         },
         150, 90},
    };
    for (const CallCase& c : cases) {
        SCOPED_TRACE(c.what);
        TestBoard board;
        SetDaylightTime(0);
        const SYSTEMTIME noon = systemTime(kNoon);
        ASSERT_TRUE(SetSystemTime(&noon));
        ASSERT_EQ(localNow(), kNoon + 60 * kMinute);
        c.call();
        EXPECT_EQ(localNow(), kNoon + c.localAfter * kMinute);
        EXPECT_EQ(utcNow(), kNoon + c.utcAfter * kMinute);
        EXPECT_EQ(sim::boardSystemFileTime(), utcNow()) << "the tools see what the programs see";
    }
}

TEST(KernelClock, TheZoneSetIsWhatGetTimeZoneInformationReturns) {
    TestBoard board;
    TIME_ZONE_INFORMATION set = zone(300, -60);
    const char16_t name[] = u"Eastern Standard Time";
    std::memcpy(set.StandardName, name, sizeof name);
    ASSERT_TRUE(SetTimeZoneInformation(&set));
    SetDaylightTime(1);
    TIME_ZONE_INFORMATION got;
    EXPECT_EQ(GetTimeZoneInformation(&got), static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT));
    EXPECT_EQ(got.Bias, 300);
    EXPECT_EQ(got.DaylightBias, -60);
    EXPECT_EQ(got.DaylightDate.wMonth, 3);
    EXPECT_EQ(std::u16string(got.StandardName), u"Eastern Standard Time");
}

TEST(KernelClock, ZoneRecordsThePlatformCouldNotHoldAreRefusedAndChangeNothing) {
    struct BadCase {
        const char* what;
        std::function<void(TIME_ZONE_INFORMATION&)> spoil;
    };
    const BadCase cases[] = {
        {"a bias beyond a day", [](TIME_ZONE_INFORMATION& z) { z.Bias = 24 * 60 + 1; }},
        {"a daylight bias beyond a day", [](TIME_ZONE_INFORMATION& z) { z.DaylightBias = -(24 * 60 + 1); }},
        {"month 13", [](TIME_ZONE_INFORMATION& z) { z.DaylightDate.wMonth = 13; }},
        {"week 6 of the month", [](TIME_ZONE_INFORMATION& z) { z.StandardDate.wDay = 6; }},
        {"weekday 7", [](TIME_ZONE_INFORMATION& z) { z.DaylightDate.wDayOfWeek = 7; }},
        {"hour 24", [](TIME_ZONE_INFORMATION& z) { z.StandardDate.wHour = 24; }},
        {"a fixed date that does not exist",
         [](TIME_ZONE_INFORMATION& z) { z.DaylightDate = SYSTEMTIME{2026, 2, 0, 30, 2, 0, 0, 0}; }},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.what);
        TestBoard board;
        const int64_t before = utcNow();
        TIME_ZONE_INFORMATION z = zone(0, -60);
        c.spoil(z);
        SetLastError(0);
        EXPECT_FALSE(SetTimeZoneInformation(&z));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(utcNow(), before);
        EXPECT_FALSE(sim::Board::current().readState().timeZoneNotFlushed);
    }
    TestBoard board;
    EXPECT_FALSE(SetTimeZoneInformation(nullptr));
}

// ---- The zone in the registry's RAM until a flush ---------------------------------------------

TEST(KernelClock, AZoneSetSurvivesAPowerCutOnlyOnceFlushed) {
    for (const bool flushed : {false, true}) {
        SCOPED_TRACE(flushed ? "flushed" : "not flushed");
        TestBoard board;
        SetDaylightTime(0);
        const SYSTEMTIME noon = systemTime(kNoon);
        ASSERT_TRUE(SetSystemTime(&noon));
        const TIME_ZONE_INFORMATION london = zone(0, -60);
        ASSERT_TRUE(SetTimeZoneInformation(&london));
        // Every program sees it at once; board.json holds it only after the flush.
        TIME_ZONE_INFORMATION got;
        GetTimeZoneInformation(&got);
        EXPECT_EQ(got.Bias, 0);
        if (flushed) EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
        EXPECT_EQ(sim::loadBoardConfig(board.path("board.json")).timeZone.bias, flushed ? 0 : -60);

        // The power goes; the board's clock is kept (as a battery-backed one would be).
        sim::powerDownBoard();
        sim::powerUpBoard(std::nullopt);
        GetTimeZoneInformation(&got);
        EXPECT_EQ(got.Bias, flushed ? 0 : -60);
        EXPECT_EQ(localNow(), kNoon + 60 * kMinute) << "the clock kept its local time";
        EXPECT_EQ(utcNow(), kNoon + (flushed ? 60 : 0) * kMinute);
    }
}

TEST(KernelClock, AZoneChangeStartsTheZoneChangeRegistrationsAndATimeChangeTheOthers) {
    sim::BoardConfig config = testing_board::frozenDefaults();
    config.apps["\\Windows\\Zone.exe"] = "/bin/true";
    config.apps["\\Windows\\Time.exe"] = "/bin/true";
    TestBoard board(config);
    sim::NotificationRecord r;
    r.type = CNT_EVENT;
    r.event = NOTIFICATION_EVENT_TZ_CHANGE;
    r.application = "\\Windows\\Zone.exe";
    r.arguments = "AppRunAfterTzChange";
    sim::addNotification(r);
    r.event = NOTIFICATION_EVENT_TIME_CHANGE;
    r.application = "\\Windows\\Time.exe";
    r.arguments = "AppRunAfterTimeChange";
    sim::addNotification(r);

    const TIME_ZONE_INFORMATION london = zone(0);
    ASSERT_TRUE(SetTimeZoneInformation(&london));
    std::vector<sim::LaunchRecord> launches = sim::Board::current().readState().launches;
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].app, "\\Windows\\Zone.exe");
    EXPECT_EQ(launches[0].args.value_or(""), "AppRunAfterTzChange");

    const SYSTEMTIME noon = systemTime(kNoon);
    ASSERT_TRUE(SetSystemTime(&noon));
    launches = sim::Board::current().readState().launches;
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[1].app, "\\Windows\\Time.exe");
    std::vector<int> pids;
    for (const sim::LaunchRecord& l : launches) pids.push_back(l.pid);
    EXPECT_EQ(sim::waitForStartedApps(pids), (std::vector<int>{0, 0}));
}

// ---- state.json of an earlier build ------------------------------------------------------------

TEST(KernelClock, AClockAnEarlierBuildWroteInUtcKeepsItsTime) {
    sim::TimeZoneConfig eastern;
    eastern.bias = 300;
    eastern.daylightBias = -60;
    eastern.daylightDate = sim::SysTime{0, 3, 0, 2, 2, 0, 0, 0};
    eastern.standardDate = sim::SysTime{0, 11, 0, 1, 2, 0, 0, 0};
    struct LegacyCase {
        const char* what;
        sim::TimeZoneConfig zone;
        const char* daylight;  // the flag as the file has it ("" when absent)
        int32_t biasMinutes;   // the one in force for it
    };
    const LegacyCase cases[] = {
        {"cet", sim::defaultBoardConfig().timeZone, "false", -60},
        {"cet in summer", sim::defaultBoardConfig().timeZone, "true", -120},
        {"cet, the flag never set", sim::defaultBoardConfig().timeZone, "", -60},
        {"us-eastern in summer", eastern, "true", 240},
        {"utc", sim::TimeZoneConfig{}, "false", 0},
    };
    for (const LegacyCase& c : cases) {
        SCOPED_TRACE(c.what);
        sim::BoardConfig config = e2e::frozenConfig(1);
        config.timeZone = c.zone;
        e2e::Board board(config);
        const int64_t utc = e2e::fileTimeOf(2011, 11, 29, 14, 59, 55);
        std::ofstream(board.dir + "/state.json")
            << "{\"chips\": {}, " << (*c.daylight ? std::string("\"daylight\": ") + c.daylight + ", " : "")
            << "\"notifications\": {\"list\": [], \"nextHandle\": 1}, \"powerOnHost\": 130000000000000000, "
            << "\"systemClock\": {\"atHost\": 130000000000000000, \"fileTime\": " << utc << "}}\n";
        EXPECT_EQ(board.systemClockSetTo(), utc);
        EXPECT_EQ(board.state().systemClock.local, utc - c.biasMinutes * kMinute);
        if (&c == &cases[0]) {
            std::string out;
            ASSERT_EQ(board.runVboard({"show"}, &out), 0);
            EXPECT_TRUE(out.find("system time     2011-11-29 14:59:55.000 UTC") != std::string::npos) << out;
        }
        // Written back in the new form at the next change, the time the same.
        board.changeState([](sim::BoardState&) {});
        EXPECT_NE(board.file("state.json").find("\"local\""), std::string::npos);
        EXPECT_EQ(board.systemClockSetTo(), utc);
    }
}

TEST(KernelClock, AStateFileWithBothClockFormsOrNeitherIsRefused) {
    for (const char* clock : {"{\"atHost\": 1, \"fileTime\": 2, \"local\": 3}", "{\"atHost\": 1}"}) {
        SCOPED_TRACE(clock);
        e2e::Board board(e2e::frozenConfig(1));
        std::ofstream(board.dir + "/state.json")
            << "{\"notifications\": {\"list\": [], \"nextHandle\": 1}, \"powerOnHost\": 1, \"systemClock\": "
            << clock << "}\n";
        EXPECT_EQ(board.runVboard({"show"}), 1);
        const std::string err = board.file(".stderr");
        EXPECT_NE(err.find("state.json: systemClock: expected the kernel's clock as \"local\""),
                  std::string::npos)
            << err;
    }
}

}  // namespace
