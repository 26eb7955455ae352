// The program as a whole, run as its own process on a board of the test's own: which path a command
// line selects, every message byte for byte, exit codes, the clock and the registrations it leaves.
#include <gtest/gtest.h>
#include <notify.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "e2e_util.h"
#include "sim/vboard/trace_views.h"
#include "sim/board/simtime.h"
#include "sim/ceapi/kernel_objects.h"

namespace {

const std::vector<uint8_t> kWorkedExampleP1 = {0x55, 0x59, 0x14, 0x03,
                                               0x29, 0x11, 0x11, 0x00};  // 2011-11-29 14:59:55

using e2e::fileTimeOf;

void setChipRegs(const e2e::Board& board, uint8_t address, const std::vector<uint8_t>& regs) {
    board.changeState([&](sim::BoardState& s) {
        for (size_t i = 0; i < regs.size(); ++i) s.chips.at(address).regs[i] = regs[i];
    });
}

void setSystemClock(const e2e::Board& board, int64_t fileTime) {
    board.setSystemClock(fileTime, sim::hostFileTimeNow());
}

int64_t systemClock(const e2e::Board& board) {
    return board.systemClockSetTo();
}

struct Registration {
    std::u16string application;
    std::u16string arguments;
    DWORD event = 0;
};

// The board's notification database, read through the platform API as any program would.
std::vector<Registration> registrations(const e2e::Board& board) {
    sim::Board::use(board.dir);
    std::vector<Registration> out;
    DWORD count = 0;
    if (!CeGetUserNotificationHandles(nullptr, 0, &count)) return out;
    std::vector<HANDLE> handles(count);
    if (count == 0 || !CeGetUserNotificationHandles(handles.data(), count, &count)) return out;
    for (HANDLE h : handles) {
        DWORD needed = 0;
        CeGetUserNotification(h, 0, &needed, nullptr);
        std::vector<BYTE> buf(needed);
        if (!CeGetUserNotification(h, needed, &needed, buf.data())) continue;
        auto* header = reinterpret_cast<CE_NOTIFICATION_INFO_HEADER*>(buf.data());
        out.push_back({header->pcent->lpszApplication ? header->pcent->lpszApplication : u"",
                       header->pcent->lpszArguments ? header->pcent->lpszArguments : u"",
                       header->pcent->dwEvent});
    }
    return out;
}

// What a boot registers, from `regs[from]` on and nothing after: one registration for time
// changes and one for zone changes, each with its command line.
void expectBootRegistrations(const std::vector<Registration>& regs, size_t from = 0) {
    ASSERT_EQ(regs.size(), from + 2);
    EXPECT_EQ(regs[from].application, u"\\WINDOWS\\TAMBLIN.EXE");
    EXPECT_EQ(regs[from].event, static_cast<DWORD>(NOTIFICATION_EVENT_TIME_CHANGE));
    EXPECT_EQ(regs[from].arguments, u"AppRunAfterTimeChange");
    EXPECT_EQ(regs[from + 1].application, u"\\WINDOWS\\TAMBLIN.EXE");
    EXPECT_EQ(regs[from + 1].event, static_cast<DWORD>(NOTIFICATION_EVENT_TZ_CHANGE));
    EXPECT_EQ(regs[from + 1].arguments, u"AppRunAfterTzChange");
}

void registerFor(const e2e::Board& board, const char16_t* app, const char16_t* args) {
    sim::Board::use(board.dir);
    CE_NOTIFICATION_TRIGGER t{};
    t.dwSize = sizeof t;
    t.dwType = CNT_EVENT;
    t.dwEvent = NOTIFICATION_EVENT_TIME_CHANGE;
    t.lpszApplication = const_cast<WCHAR*>(app);
    t.lpszArguments = const_cast<WCHAR*>(args);
    ASSERT_NE(CeSetUserNotificationEx(nullptr, &t, nullptr), nullptr);
}

struct MessageCase {
    const char* name;
    int registryProtocol;  // -1: no configuration key
    bool chip;
    std::vector<std::string> args;
    const char* log;
};

TEST(Program, ReportsEveryOutcomeExactlyAndExitsWithOne) {
    const std::string set = "AppRunAfterTimeChange";
    const MessageCase cases[] = {
        {"auto-detect, boot",
         0,
         true,
         {},
         "RTC AutoDetect Function is not implemented!No external RTC found\r\n"},
        {"auto-detect, store",
         0,
         true,
         {set},
         "RTC AutoDetect Function is not implemented!Error while setting RTC time\r\n"},
        {"protocol 7, boot", 7, true, {}, "Invalid RTC Protocol in Registry: 7No external RTC found\r\n"},
        {"protocol 7, store",
         7,
         true,
         {set},
         "Invalid RTC Protocol in Registry: 7Error while setting RTC time\r\n"},
        {"no chip, boot",
         -1,
         false,
         {},
         "Tamblin: RTC read failed: last error 487, no line held low\r\n"
         "No external RTC found\r\n"},
        {"no chip, store", -1, false, {set}, "Error while setting RTC time\r\n"},
        {"store", -1, true, {set}, "RTC Time set (29.11.2011 14:59:55)\r\n"},
        {"boot", -1, true, {}, "RTC Time restored (29.11.2011 14:59:55)\r\n"},
    };
    for (const MessageCase& c : cases) {
        sim::BoardConfig config = e2e::frozenConfig(1);
        if (!c.chip) config.chips.clear();
        e2e::Board board(config, c.registryProtocol < 0 ? sim::defaultRegistryText()
                                                        : e2e::registryFor(c.registryProtocol));
        if (c.chip) setChipRegs(board, 0x68, kWorkedExampleP1);
        setSystemClock(board, fileTimeOf(2011, 11, 29, 14, 59, 55));
        EXPECT_EQ(board.runTamblin(c.args), 1) << c.name;
        EXPECT_EQ(board.debugLog(), c.log) << c.name;
    }
}

struct PathCase {
    std::vector<std::string> args;
    bool store;
};

TEST(Program, OnlyTheExactCommandLineSelectsTheStorePath) {
    const PathCase cases[] = {
        {{"AppRunAfterTimeChange"}, true},
        {{}, false},
        {{"apprunaftertimechange"}, false},
        {{"AppRunAfterTimeChange", "now"}, false},  // the command line is the arguments joined
        {{"AppRunAfterTime", "Change"}, false},
        {{"AppRunAfterTimeChange "}, false},
    };
    for (const PathCase& c : cases) {
        e2e::Board board(e2e::frozenConfig(1));
        setChipRegs(board, 0x68, kWorkedExampleP1);
        setSystemClock(board, fileTimeOf(2020, 2, 29, 23, 1, 2));
        EXPECT_EQ(board.runTamblin(c.args), 1);
        const std::string log = board.debugLog();
        const std::string expected = c.store ? "RTC Time set (29.02.2020 23:01:02)\r\n"
                                             : "RTC Time restored (29.11.2011 14:59:55)\r\n";
        EXPECT_EQ(log, expected) << (c.args.empty() ? "(empty)" : c.args[0]);
    }
}

TEST(Program, StorePathWritesTheSystemTimeIntoTheChip) {
    e2e::Board board(e2e::frozenConfig(1));
    setSystemClock(board, fileTimeOf(2011, 11, 29, 14, 59, 55, 640));
    ASSERT_EQ(board.runTamblin({"AppRunAfterTimeChange"}), 1);
    const std::vector<uint8_t> regs = board.state().chips.at(0x68).regs;
    for (size_t i = 0; i < kWorkedExampleP1.size(); ++i) EXPECT_EQ(regs[i], kWorkedExampleP1[i]) << i;
    EXPECT_TRUE(registrations(board).empty());  // the store path registers nothing
}

TEST(Program, BootSetsTheClockDecidesDaylightAndLeavesItsTwoRegistrations) {
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.apps["\\Windows\\Other.exe"] = "/bin/true";  // started by the clock change
    e2e::Board board(config);
    setChipRegs(board, 0x68, {0x00, 0x30, 0x12, 0x06, 0x01, 0x07, 0x11, 0x00});  // Fri 2011-07-01 12:30:00
    registerFor(board, u"\\WINDOWS\\TAMBLIN.EXE", u"AppRunAfterTimeChange");
    registerFor(board, u"\\Windows\\Other.exe", u"x");
    registerFor(board, u"\\WINDOWS\\TAMBLIN.EXE", u"AppRunAfterTimeChange");  // a second one left behind

    ASSERT_EQ(board.runTamblin(), 1);
    EXPECT_EQ(board.debugLog(), "RTC Time restored (01.07.2011 12:30:00)\r\n");
    EXPECT_EQ(systemClock(board), fileTimeOf(2011, 7, 1, 12, 30, 0));
    EXPECT_EQ(board.state().daylight, true);  // July in Central Europe

    std::vector<Registration> regs = registrations(board);
    ASSERT_FALSE(regs.empty());
    EXPECT_EQ(regs[0].application, u"\\Windows\\Other.exe");
    expectBootRegistrations(regs, 1);  // both old ones of its own cleared
}

TEST(Program, InvalidChipTimeLeavesTheClockAloneButStillRegisters) {
    e2e::Board board(e2e::frozenConfig(1));
    std::vector<uint8_t> regs = kWorkedExampleP1;
    regs[1] |= 0x80;  // the chip's invalid-time flag
    setChipRegs(board, 0x68, regs);
    const int64_t before = fileTimeOf(2020, 1, 2, 3, 4, 5);
    setSystemClock(board, before);
    ASSERT_EQ(board.runTamblin(), 1);
    EXPECT_EQ(board.debugLog(), "Invalid time on External RTC, please set a valid time\r\n");
    EXPECT_EQ(systemClock(board), before);
    expectBootRegistrations(registrations(board));
}

TEST(Program, ClockThePlatformRefusesIsReportedNotClaimedAsRestored) {
    e2e::Board board(e2e::frozenConfig(1));
    std::vector<uint8_t> regs = kWorkedExampleP1;
    regs[5] = 0x1F;  // month register decodes to 25
    setChipRegs(board, 0x68, regs);
    const int64_t before = fileTimeOf(2020, 1, 2, 3, 4, 5);
    setSystemClock(board, before);
    ASSERT_EQ(board.runTamblin(), 1);
    EXPECT_EQ(board.debugLog(), "Error while restoring RTC time (29.25.2011 14:59:55)\r\n");
    EXPECT_EQ(systemClock(board), before);
    expectBootRegistrations(registrations(board));  // the next manual time setting still reaches the chip
}

TEST(Program, TimeSpentWaitingForTheNotificationServiceIsAddedToTheChipTime) {
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.apiReady = sim::ApiReady::AfterMs;
    config.apiReadyAfterMs = 4500;
    e2e::Board board(config);
    setChipRegs(board, 0x68, kWorkedExampleP1);
    ASSERT_EQ(board.runTamblin(), 1);
    // The chip (frozen here) was read a few bus milliseconds after power-on and the clock is set when
    // the service is ready, 4.5 s after power-on: the chip's time moves on by the time in between.
    const int64_t chipTime = fileTimeOf(2011, 11, 29, 14, 59, 55);
    EXPECT_GE(systemClock(board), chipTime + 4'450 * 10'000LL);
    EXPECT_LE(systemClock(board), chipTime + 4'500 * 10'000LL);
    EXPECT_EQ(board.debugLog().rfind("RTC Time restored (29.11.2011 14:59:59)\r\n", 0), 0u)
        << board.debugLog();
}

// The wait for the notification service has no bound; a boot held up by it says so, once.
TEST(Program, ABootThatHasWaitedTenSecondsForTheNotificationServiceSaysSoOnce) {
    struct Case {
        sim::ApiReady ready;
        uint32_t afterMs;
        int exitCode;
        std::string log;
    };
    const std::string waiting = "Tamblin: waiting for the notification service\r\n";
    const Case cases[] = {
        {sim::ApiReady::AfterMs, 9900, 1, "RTC Time restored (29.11.2011 15:00:04)\r\n"},
        {sim::ApiReady::AfterMs, 10100, 1, waiting + "RTC Time restored (29.11.2011 15:00:05)\r\n"},
        {sim::ApiReady::AfterMs, 95500, 1, waiting + "RTC Time restored (29.11.2011 15:01:30)\r\n"},
        // The board's virtual time shows a wait that nothing will ever end as a fault.
        {sim::ApiReady::Never, 0, 3, waiting},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.afterMs);
        sim::BoardConfig config = e2e::frozenConfig(1);
        config.apiReady = c.ready;
        config.apiReadyAfterMs = c.afterMs;
        e2e::Board board(config);
        setChipRegs(board, 0x68, kWorkedExampleP1);
        EXPECT_EQ(board.runTamblin(), c.exitCode);
        const std::string log = board.debugLog();
        EXPECT_EQ(log.substr(0, c.log.size()), c.log) << log;
    }
}

}  // namespace

namespace {

std::vector<std::string> transactionsOf(const e2e::Board& board) {
    return sim::traceTransactions(sim::parseTrace(board.file("trace.log")));
}

// A registration is the program's when the file name of its path is the program's file name, in
// any letter case; a name that merely contains it belongs to another program.
TEST(Program, BootClearsItsOwnRegistrationsByFileNameInAnyCaseAndLeavesOtherPrograms) {
    struct Case {
        const char16_t* application;
        bool ours;
    };
    const Case cases[] = {
        {u"\\WINDOWS\\TAMBLIN.EXE", true},
        {u"\\windows\\tamblin.exe", true},  // an older build registered its path in lower case
        {u"\\Storage Card\\Tamblin.Exe", true},
        {u"/Windows/TAMBLIN.EXE", true},
        {u"TAMBLIN.EXE", true},
        {u"\\WINDOWS\\NOTTAMBLIN.EXE", false},
        {u"\\WINDOWS\\TAMBLIN.EXE.BAK", false},
        {u"\\Program Files\\MyTamblin.exe", false},
        {u"\\Tamblin.exe\\Setup.exe", false},
        {u"\\WINDOWS\\TAMBLIN.EX", false},
    };
    sim::BoardConfig config = e2e::frozenConfig(1);
    // Whatever stays registered is started by the clock the boot sets.
    for (const Case& c : cases)
        if (!c.ours) config.apps[sim::toUtf8(c.application)] = "/bin/true";
    e2e::Board board(config);
    setChipRegs(board, 0x68, kWorkedExampleP1);
    std::vector<std::u16string> expected;
    for (const Case& c : cases) {
        registerFor(board, c.application, u"AppRunAfterTimeChange");
        if (!c.ours) expected.push_back(c.application);
    }
    expected.push_back(u"\\WINDOWS\\TAMBLIN.EXE");  // the two the boot adds: time and zone changes
    expected.push_back(u"\\WINDOWS\\TAMBLIN.EXE");

    ASSERT_EQ(board.runTamblin(), 1);
    EXPECT_EQ(board.debugLog(), "RTC Time restored (29.11.2011 14:59:55)\r\n");
    std::vector<std::u16string> left;
    for (const Registration& r : registrations(board)) left.push_back(r.application);
    EXPECT_EQ(left, expected);
}

// The chips keep two year digits, read back in the window 1970..2069.
TEST(Program, TimeChangeOutsideTheChipsYearWindowIsRefusedWithoutABusTransfer) {
    struct Case {
        int y, mo, d, h, mi, s;
        const char* log;  // nullptr: refused
        std::vector<uint8_t> regs;
    };
    const Case cases[] = {
        {1970,
         1,
         1,
         0,
         0,
         0,
         "RTC Time set (01.01.1970 00:00:00)\r\n",
         {0x00, 0x00, 0x00, 0x05, 0x01, 0x01, 0x70, 0x00}},  // a Thursday
        {2069,
         12,
         31,
         23,
         59,
         59,
         "RTC Time set (31.12.2069 23:59:59)\r\n",
         {0x59, 0x59, 0x23, 0x03, 0x31, 0x12, 0x69, 0x00}},  // a Tuesday
        {1969, 12, 31, 23, 59, 59, nullptr, {}},
        {2070, 1, 1, 0, 0, 0, nullptr, {}},
        {2099, 6, 15, 12, 0, 0, nullptr, {}},
        {1601, 1, 1, 0, 0, 0, nullptr, {}},
        {2400, 2, 29, 0, 0, 0, nullptr, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.y);
        e2e::Board board(e2e::frozenConfig(1));
        setChipRegs(board, 0x68, kWorkedExampleP1);
        setSystemClock(board, fileTimeOf(c.y, c.mo, c.d, c.h, c.mi, c.s));
        std::remove((board.dir + "/trace.log").c_str());
        EXPECT_EQ(board.runTamblin({"AppRunAfterTimeChange"}), 1);
        const std::vector<uint8_t> regs = board.state().chips.at(0x68).regs;
        const std::vector<uint8_t>& want = c.log ? c.regs : kWorkedExampleP1;
        for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(regs[i], want[i]) << "register " << i;
        if (c.log) {
            EXPECT_EQ(board.debugLog(), c.log);
            EXPECT_EQ(transactionsOf(board).size(), 1u);
        } else {
            EXPECT_EQ(board.debugLog(), "Error while setting RTC time\r\n");
            EXPECT_TRUE(transactionsOf(board).empty()) << "nothing goes to the chip";
        }
    }
}

// A chip time that is no date: the kernel's daylight flag, the shell's pending daylight-saving
// event and the clock stay as they are; the registration still happens.
TEST(Program, ChipTimeThatIsNoDateTouchesNeitherDaylightFlagNorClock) {
    struct Case {
        uint8_t reg, value;  // protocol-1 register changed from the worked example
        const char* log;
    };
    const Case cases[] = {
        {5, 0x13, "Error while restoring RTC time (29.13.2011 14:59:55)\r\n"},
        {5, 0x1F, "Error while restoring RTC time (29.25.2011 14:59:55)\r\n"},
        {5, 0x00, "Error while restoring RTC time (29.00.2011 14:59:55)\r\n"},
        {4, 0x32, "Error while restoring RTC time (32.11.2011 14:59:55)\r\n"},
        {4, 0x31, "Error while restoring RTC time (31.11.2011 14:59:55)\r\n"},  // November has 30
        {4, 0x00, "Error while restoring RTC time (00.11.2011 14:59:55)\r\n"},
        {2, 0x24, "Error while restoring RTC time (29.11.2011 24:59:55)\r\n"},
        {1, 0x60, "Error while restoring RTC time (29.11.2011 14:60:55)\r\n"},
        {0, 0x60, "Error while restoring RTC time (29.11.2011 14:59:60)\r\n"},
    };
    const SYSTEMTIME shellDst = {2020, 3, 0, 29, 1, 0, 0, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        e2e::Board board(e2e::frozenConfig(1));
        std::vector<uint8_t> regs = kWorkedExampleP1;
        regs[c.reg] = c.value;
        setChipRegs(board, 0x68, regs);
        // The flag first: the kernel keeps local time, so a flag set after the clock moves UTC.
        board.changeState([](sim::BoardState& s) { s.daylight = true; });
        const int64_t before = fileTimeOf(2020, 1, 2, 3, 4, 5);
        setSystemClock(board, before);
        sim::Board::use(board.dir);
        SYSTEMTIME at = shellDst;
        ASSERT_TRUE(CeRunAppAtTime(u"\\\\.\\Notifications\\NamedEvents\\ShellDSTEvent", &at));

        ASSERT_EQ(board.runTamblin(), 1);
        EXPECT_EQ(board.debugLog(), c.log);
        EXPECT_EQ(systemClock(board), before);
        EXPECT_EQ(board.state().daylight, true) << "the daylight flag is left alone";
        std::vector<Registration> left = registrations(board);
        ASSERT_FALSE(left.empty());
        EXPECT_EQ(left[0].application, u"\\\\.\\Notifications\\NamedEvents\\ShellDSTEvent");
        expectBootRegistrations(left, 1);
    }
}

// A store cut short between "clock stopped" and "clock running" leaves a protocol-3 chip holding
// a time that no longer moves: the boot does not trust it.
TEST(Program, ProtocolThreeChipWithItsClockStoppedIsReportedLikeALostBackupSupply) {
    struct Case {
        uint8_t control1;
        bool stopped;
    };
    const Case cases[] = {{0x20, true},  {0x28, true},  {0xFF, true},
                          {0x00, false}, {0xDF, false}, {0x08, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.control1));
        e2e::Board board(e2e::frozenConfig(3), e2e::registryFor(3));
        ASSERT_EQ(board.runVboard({"chip", "time", "2011-11-29 14:59:55"}), 0);
        char set[32];
        std::snprintf(set, sizeof set, "0x00=0x%02X", c.control1);
        ASSERT_EQ(board.runVboard({"chip", "set", set}), 0);
        const int64_t before = fileTimeOf(2020, 1, 2, 3, 4, 5);
        setSystemClock(board, before);
        ASSERT_EQ(board.runTamblin(), 1);
        if (c.stopped) {
            EXPECT_EQ(board.debugLog(), "Invalid time on External RTC, please set a valid time\r\n");
            EXPECT_EQ(systemClock(board), before);
        } else {
            EXPECT_EQ(board.debugLog(), "RTC Time restored (29.11.2011 14:59:55)\r\n");
        }
        expectBootRegistrations(registrations(board));
    }

    // The user's next time setting writes a valid, running time.
    e2e::Board board(e2e::frozenConfig(3), e2e::registryFor(3));
    ASSERT_EQ(board.runVboard({"chip", "set", "0x00=0x20"}), 0);
    ASSERT_EQ(board.runTamblin(), 1);
    ASSERT_EQ(board.runVboard({"set-time", "2013-05-06 07:08:09"}), 0);
    EXPECT_NE(board.debugLog().find("RTC Time set (06.05.2013 07:08:09)\r\n"), std::string::npos);
    const std::vector<uint8_t> regs = board.state().chips.at(0x51).regs;
    EXPECT_EQ(regs[0], 0x00) << "the clock runs";
    EXPECT_EQ(regs[2], 0x09);
    EXPECT_EQ(regs[8], 0x13);
}

// Exit code 0 and one line of the program's own, after whatever the bus layer said. A boot still
// registers for time changes and leaves the clock alone; a store names the time it has lost.
TEST(Program, BusThatCannotBeOpenedOrLockedIsReportedInOneLineAndExitsWithZero) {
    struct Case {
        const char* name;
        uint32_t processor;
        sim::json faults;
        const char* log;
    };
    const Case cases[] = {
        {"unknown processor", 3, sim::json::object(),
         "ERROR: I2C Unknown Processor ID\n\rTamblin: I2C bus not available\r\n"},
        {"controller not mapped", 17, {{"virtualAlloc", "fail"}}, "Tamblin: I2C bus not available\r\n"},
        {"interrupt refused", 17, {{"requestSysIntr", "refuse"}}, "Tamblin: I2C bus not available\r\n"},
    };
    const std::string lost = "Error while setting RTC time (29.11.2011 14:59:55)\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::BoardConfig config = e2e::frozenConfig(1);
        config.mainId = sim::mainIdForProcessor(c.processor);
        config.faults = sim::faultsFromJson(c.faults);
        e2e::Board board(config);
        setChipRegs(board, 0x68, kWorkedExampleP1);
        const int64_t clock = fileTimeOf(2011, 11, 29, 14, 59, 55);
        setSystemClock(board, clock);
        EXPECT_EQ(board.runTamblin(), 0);
        const std::string log = board.debugLog();
        const std::string tail = c.log;
        ASSERT_GE(log.size(), tail.size()) << log;
        EXPECT_EQ(log.substr(log.size() - tail.size()), tail) << "GPIOLib may report the processor first";
        EXPECT_EQ(systemClock(board), clock);
        // Later time and zone changes still reach the program.
        expectBootRegistrations(registrations(board));

        std::remove((board.dir + "/debug.log").c_str());
        EXPECT_EQ(board.runTamblin({"AppRunAfterTimeChange"}), 0);
        const std::string stored = board.debugLog();
        const size_t at = stored.find(lost);
        ASSERT_NE(at, std::string::npos) << stored;
        EXPECT_EQ(stored.substr(at), lost + "Tamblin: I2C bus not available\r\n");
        EXPECT_EQ(board.state().chips.at(0x68).regs[0], kWorkedExampleP1[0]) << "nothing written";
    }
}

TEST(Program, BusLockThatCannotBeCreatedIsReportedInOneLineAndExitsWithZero) {
    e2e::Board board(e2e::frozenConfig(1));
    // The board keeps its named kernel objects in objects/: a file there instead of a folder
    // leaves no room for the mutex "I2C".
    std::filesystem::remove_all(board.dir + "/objects");
    std::ofstream(board.dir + "/objects") << "not a folder\n";
    EXPECT_EQ(board.runTamblin(), 0);
    EXPECT_EQ(board.debugLog(), "Tamblin: I2C bus not available\r\n");
}

// Another driver that takes the bus mutex before the program starts and holds it for `ms`; its
// output says "holding I2C" once it has it.
e2e::Board::Started holdTheBus(const e2e::Board& board, unsigned ms) {
    e2e::Board::Started holder = board.startVboard({"i2c-hold", std::to_string(ms)});
    for (int i = 0; i < 1000 && holder.output().empty(); ++i) usleep(10000);
    return holder;
}

// Another driver holds the bus mutex from before the start, on a frozen board, so that the hold
// and the program's tries are counted in board time. Opening waits 2 s for the lock each time and
// is tried again for about 30 s: a hold of 3 s is waited out, one of 60 s is not.
TEST(Program, BusHeldByAnotherDriverIsWaitedForAboutThirtySeconds) {
    struct Case {
        bool store;
        unsigned holdMs;
        int exitCode;
        const char* log;
    };
    const Case cases[] = {
        {false, 3000, 1, "RTC Time restored (29.11.2011 14:59:55)\r\n"},
        {false, 60000, 0, "Tamblin: I2C bus not available\r\n"},
        {true, 3000, 1, "RTC Time set (01.07.2012 08:09:10)\r\n"},
        {true, 60000, 0,
         "Error while setting RTC time (01.07.2012 08:09:10)\r\nTamblin: I2C bus not available\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.store ? "store" : "boot") + ", hold of " + std::to_string(c.holdMs) +
                     " ms");
        e2e::Board board(e2e::frozenConfig(1));
        setChipRegs(board, 0x68, kWorkedExampleP1);
        const int64_t clock = fileTimeOf(2012, 7, 1, 8, 9, 10);
        setSystemClock(board, clock);
        e2e::Board::Started holder = holdTheBus(board, c.holdMs);
        ASSERT_EQ(holder.output(), "holding I2C\n");
        EXPECT_EQ(board.runTamblin(c.store ? std::vector<std::string>{"AppRunAfterTimeChange"}
                                           : std::vector<std::string>{}),
                  c.exitCode);
        holder.kill();
        EXPECT_EQ(board.debugLog(), c.log);
        const std::vector<uint8_t> chip = board.state().chips.at(0x68).regs;
        const bool written = c.store && c.exitCode == 1;
        EXPECT_EQ(chip[6], written ? 0x12 : 0x11) << "the chip's year";
        if (c.store) {
            EXPECT_TRUE(registrations(board).empty());
        } else {
            expectBootRegistrations(registrations(board));  // whatever became of the bus
            EXPECT_EQ(systemClock(board) == clock, c.exitCode == 0) << "the clock is set only from the chip";
        }
        if (c.exitCode == 0) {
            // Given up after about half a minute of the program's own (board) time, and in far
            // less real time: the program's clock moved on to each timeout at once.
            const uint64_t uptime = board.state().uptimeNs;
            EXPECT_GE(uptime, 30'000'000'000u);
            EXPECT_LE(uptime, 34'000'000'000u);
        }
    }
}

// The boot met a bus that another driver held for good; once the bus is free again, the next
// time setting reaches the chip through the registration the boot made anyway.
TEST(Program, TimeChangeAfterABootThatFoundNoBusReachesTheChip) {
    e2e::Board board(e2e::frozenConfig(1));
    setChipRegs(board, 0x68, kWorkedExampleP1);
    e2e::Board::Started holder = holdTheBus(board, 60000);
    ASSERT_EQ(holder.output(), "holding I2C\n");
    EXPECT_EQ(board.runTamblin(), 0);
    holder.kill();
    EXPECT_EQ(board.debugLog(), "Tamblin: I2C bus not available\r\n");

    std::string out;
    ASSERT_EQ(board.runVboard({"set-time", "2013-05-06 07:08:09"}, &out), 0) << out;
    EXPECT_EQ(board.debugLog(), "Tamblin: I2C bus not available\r\nRTC Time set (06.05.2013 07:08:09)\r\n");
    const std::vector<uint8_t> regs = board.state().chips.at(0x68).regs;
    EXPECT_EQ(regs[0], 0x09);
    EXPECT_EQ(regs[4], 0x06);
    EXPECT_EQ(regs[6], 0x13);
}

// The line before "No external RTC found" tells a missing chip from a broken bus.
TEST(Program, FailedChipReadSaysWhatTheBusLayerSaw) {
    struct Case {
        const char* name;
        bool chip;
        sim::json faults;
        const char* line;
    };
    const Case cases[] = {
        {"no chip", false, sim::json::object(),
         "Tamblin: RTC read failed: last error 487, no line held low\r\n"},
        {"SCL held low",
         true,
         {{"i2cSclLowMs", "forever"}},
         "Tamblin: RTC read failed: last error 1460, SCL held low\r\n"},
        {"a slave holds SDA",
         true,
         {{"i2cStuckSda", "forever"}},
         "Tamblin: RTC read failed: last error 1460, SDA held low\r\n"},
        {"both lines held",
         true,
         {{"gpioInputsLow", {117, 118}}},
         "Tamblin: RTC read failed: last error 1460, SCL and SDA held low\r\n"},
        {"controller stays busy",
         true,
         {{"i2c", {{{"byte", 0}, {"fault", "stayBusy"}}}}},
         "Tamblin: RTC read failed: last error 170, no line held low\r\n"},
        {"controller without its clock",
         true,
         {{"clockStuckBits", {14}}},
         "Tamblin: RTC read failed: last error 1460, no line held low\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::BoardConfig config = e2e::frozenConfig(1);
        if (!c.chip) config.chips.clear();
        config.faults = sim::faultsFromJson(c.faults);
        e2e::Board board(config);
        EXPECT_EQ(board.runTamblin(), 1);
        EXPECT_EQ(board.debugLog(), std::string(c.line) + "No external RTC found\r\n");
    }
    // A chip read of protocol 4 fails in its preparation as well.
    sim::BoardConfig config = e2e::frozenConfig(4);
    config.chips.clear();
    e2e::Board board(config, e2e::registryFor(4));
    EXPECT_EQ(board.runTamblin(), 1);
    EXPECT_EQ(board.debugLog(),
              "Tamblin: RTC read failed: last error 487, no line held low\r\nNo external "
              "RTC found\r\n");
}

// The restore run does not use the bus after the chip has been read: it lets go of the lock
// before it waits for the notification service, which may itself need the bus.
TEST(Program, AnotherDriverTakesTheBusLockWhileTheBootWaitsForTheNotificationService) {
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.frozen = false;  // two processes meet in real time
    config.apiReady = sim::ApiReady::Never;
    e2e::Board board(config);
    e2e::Board::Started boot = board.startTamblin();
    // The chip has been read once the trace holds the read's stop.
    bool read = false;
    for (int i = 0; i < 2000 && !read; ++i) {
        const std::vector<std::string> t = transactionsOf(board);
        read = !t.empty() && t.back().size() > 2 && t.back().substr(t.back().size() - 1) == "P";
        if (!read) usleep(10000);
    }
    ASSERT_TRUE(read) << "the boot read the chip";
    e2e::Board::Started other = board.startVboard({"i2c-hold", "1"});
    const int otherExit = other.waitMs(10000);
    const bool bootStillWaiting = boot.waitMs(0) < 0;
    other.kill();
    boot.kill();
    EXPECT_EQ(otherExit, 0) << "the other driver got the lock";
    EXPECT_EQ(other.output(), "holding I2C\nreleasing I2C\n");
    EXPECT_TRUE(bootStillWaiting) << "while the boot was still waiting for the notification service";
    EXPECT_EQ(board.debugLog(), "");
}

// The clean-up of earlier registrations gives up after about 5 s of retries, says so, and still
// registers, so that the next time change reaches the chip.
TEST(Program, CleanUpThatKeepsFailingGivesUpAfterFiveSecondsAndStillRegisters) {
    sim::BoardConfig config = e2e::frozenConfig(1);
    // Every allocation of the clean-up fails: far more than 5 s of retries make, one allocation
    // each, with pauses from 1 ms doubling up to a quarter second.
    sim::json failing = sim::json::array();
    for (unsigned n = 1; n <= 500; ++n) failing.push_back(n);
    config.faults = sim::faultsFromJson({{"localAllocFail", failing}});
    e2e::Board board(config);
    setChipRegs(board, 0x68, kWorkedExampleP1);
    registerFor(board, u"\\WINDOWS\\TAMBLIN.EXE", u"AppRunAfterTimeChange");
    ASSERT_EQ(board.runTamblin(), 1);
    // The registration left behind still answers the boot's own time change: the store path runs
    // beside the end of the boot, and its line may come before or after the boot's last one.
    ASSERT_EQ(board.state().launches.size(), 1u);
    const std::string stored = "RTC Time set (29.11.2011 15:00:00)\r\n";
    for (int i = 0; i < 1000 && board.debugLog().find(stored) == std::string::npos; ++i) usleep(10000);
    // The chip time moves on by the time spent retrying: 5 s and a few milliseconds.
    const std::string cleanUp = "Tamblin: Could not clear old notifications\r\n";
    const std::string restored = "RTC Time restored (29.11.2011 15:00:00)\r\n";
    const std::string log = board.debugLog();
    EXPECT_TRUE(log == cleanUp + restored + stored || log == cleanUp + stored + restored) << log;
    // The old registration could not be cleared; the new ones are added.
    const std::vector<Registration> left = registrations(board);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left[0].arguments, u"AppRunAfterTimeChange");
    expectBootRegistrations(left, 1);
}

}  // namespace
