// The application's notification routines against the board's notification service: removing
// the program's earlier registrations, registering for time changes, and the file-name part of
// the module path that ties the two together.
#include <gtest/gtest.h>
#include <notify.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/notification.h"
#include "sim/ceapi/kernel_objects.h"
#include "sim/ceapi/notifydb.h"
#include "testboard.h"

namespace {

const char* const kOurs = "\\WINDOWS\\TAMBLIN.EXE";
const char* const kOther = "\\WINDOWS\\OTHER.EXE";

HANDLE registerApp(const std::string& app, const WCHAR* args = u"AppRunAfterTimeChange") {
    std::u16string wide = sim::fromUtf8(app);
    CE_NOTIFICATION_TRIGGER t{};
    t.dwSize = sizeof t;
    t.dwType = CNT_EVENT;
    t.dwEvent = NOTIFICATION_EVENT_TIME_CHANGE;
    t.lpszApplication = wide.data();
    t.lpszArguments = const_cast<WCHAR*>(args);
    HANDLE h = CeSetUserNotificationEx(nullptr, &t, nullptr);
    EXPECT_NE(h, nullptr) << app;
    return h;
}

std::vector<std::string> registeredApps() {
    std::vector<std::string> out;
    for (const sim::NotificationRecord& r : sim::listNotifications()) out.push_back(r.application);
    return out;
}

sim::BoardConfig boardWith(const std::string& programPath, sim::json faults = sim::json::object()) {
    sim::BoardConfig c = testing_board::frozenDefaults();
    c.programPath = programPath;
    c.faults = sim::faultsFromJson(faults);
    return c;
}

// Steps 3, 4 and 6 of a restore run as the main routine makes them: its own path, upper-cased,
// cut to the file name, and the clean-up called until it reports success (bounded here).
int clearAsTheRestoreRunDoes(WCHAR* modulePath) {
    modulePath[0] = 0;
    GetModuleFileNameW(nullptr, modulePath, APP_MODULE_PATH_CHARS);
    _wcsupr(modulePath);
    const WCHAR* name = FileNamePart(modulePath);
    for (int attempt = 0; attempt < 10; ++attempt)
        if (ClearOwnNotifications(name)) return attempt + 1;
    return 0;
}

}  // namespace

TEST(FileNamePart, IsWhatFollowsTheLastSeparator) {
    struct Case {
        const WCHAR* path;
        size_t offset;  // where the file name starts
    };
    const Case cases[] = {
        {u"\\Windows\\Tamblin.exe", 9},
        {u"\\WINDOWS\\SUB\\TAMBLIN.EXE", 13},
        {u"/storage/tamblin.exe", 9},
        {u"\\a/b\\c", 5},
        {u"a/b\\c", 4},
        {u"TAMBLIN.EXE", 0},  // no separator: the whole path
        {u"\\Windows\\", 9},  // ends in a separator: empty
        {u"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::toUtf8(c.path));
        EXPECT_EQ(FileNamePart(c.path), c.path + c.offset);
    }
}

TEST(ClearOwnNotifications, WithNothingRegisteredSucceedsAndClearsNothing) {
    TestBoard board;
    EXPECT_NE(ClearOwnNotifications(u"TAMBLIN.EXE"), 0);
    EXPECT_TRUE(registeredApps().empty());
}

TEST(ClearOwnNotifications, ClearsEveryRegistrationOfThisProgramInOneCallAndLeavesOthers) {
    TestBoard board;
    registerApp(kOurs);
    registerApp(kOther);
    registerApp(kOurs);
    // Matched by file name: a copy of the program registered from another folder is ours too.
    registerApp("\\STORAGE CARD\\TAMBLIN.EXE", nullptr);
    EXPECT_NE(ClearOwnNotifications(u"TAMBLIN.EXE"), 0);
    EXPECT_EQ(registeredApps(), std::vector<std::string>{kOther});
}

TEST(ClearOwnNotifications, LeavesEverythingWhenOnlyOtherProgramsAreRegistered) {
    TestBoard board;
    registerApp(kOther);
    registerApp("\\Windows\\Clock.exe", nullptr);
    EXPECT_NE(ClearOwnNotifications(u"TAMBLIN.EXE"), 0);
    EXPECT_EQ(registeredApps(), (std::vector<std::string>{kOther, "\\Windows\\Clock.exe"}));
}

TEST(ClearOwnNotifications, AnEmptyNameNeverClearsAnything) {
    TestBoard board;
    registerApp(kOther);
    registerApp(kOurs);
    EXPECT_NE(ClearOwnNotifications(u""), 0);
    EXPECT_EQ(registeredApps(), (std::vector<std::string>{kOther, kOurs}));
}

TEST(ClearOwnNotifications, AProgramPathEndingInASeparatorClearsNoOtherProgram) {
    TestBoard board(boardWith("\\Windows\\"));
    registerApp(kOther);
    WCHAR path[APP_MODULE_PATH_CHARS];
    EXPECT_EQ(clearAsTheRestoreRunDoes(path), 1);
    EXPECT_EQ(registeredApps(), std::vector<std::string>{kOther});
}

TEST(ClearOwnNotifications, AnUnknownOwnPathClearsNoOtherProgram) {
    TestBoard board(boardWith(kOurs, {{"moduleFileName", "fail"}}));
    registerApp(kOther);
    registerApp(kOurs);
    WCHAR path[APP_MODULE_PATH_CHARS];
    EXPECT_EQ(clearAsTheRestoreRunDoes(path), 1);
    EXPECT_EQ(registeredApps(), (std::vector<std::string>{kOther, kOurs}));
}

TEST(ClearOwnNotifications, AProgramPathWithoutSeparatorIsSearchedWhole) {
    TestBoard board(boardWith("Tamblin.exe"));
    registerApp(kOurs);
    registerApp(kOther);
    WCHAR path[APP_MODULE_PATH_CHARS];
    EXPECT_EQ(clearAsTheRestoreRunDoes(path), 1);
    EXPECT_EQ(std::u16string(path), u"TAMBLIN.EXE");
    EXPECT_EQ(registeredApps(), std::vector<std::string>{kOther});
}

// Memory running out inside the clean-up. The board's LocalAlloc fault counts a process's calls on
// its board, so each case runs in a child process on a board of its own, where the clean-up's
// allocations are calls 1 (the handle array), 2, 3, ... (one per registration, last registration
// first).
TEST(ClearOwnNotifications, AFailedAllocationCountsAsAFailedCallAndIsNeverUsed) {
    struct Case {
        const char* what;
        std::vector<unsigned> failingCalls;
        std::vector<std::string> registered;
        bool firstCallSucceeds;
        std::vector<std::string> afterFirstCall;
    };
    const std::vector<Case> cases = {
        {"handle array", {1}, {kOurs, kOurs}, false, {kOurs, kOurs}},
        {"information of our last registration", {2}, {kOurs, kOurs}, false, {kOurs}},
        {"information of another program's registration", {2}, {kOurs, kOther}, false, {kOther}},
        {"information of our only registration", {3}, {kOurs, kOther}, false, {kOurs, kOther}},
        {"handle array with nothing registered", {1}, {}, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto body = [&] {
            TestBoard board(boardWith(kOurs, {{"localAllocFail", c.failingCalls}}));
            for (const std::string& app : c.registered) registerApp(app);
            int first = ClearOwnNotifications(u"TAMBLIN.EXE");
            std::vector<std::string> afterFirst = registeredApps();
            // The restore run calls again until it succeeds; by then the faults are behind it.
            int second = ClearOwnNotifications(u"TAMBLIN.EXE");
            std::vector<std::string> afterSecond = registeredApps();
            bool ok = (first != 0) == c.firstCallSucceeds && afterFirst == c.afterFirstCall && second != 0;
            for (const std::string& app : afterSecond) ok = ok && app != kOurs;
            std::fprintf(stderr, "first call %d, then %zu registered; second call %d, then %zu registered\n",
                         first, afterFirst.size(), second, afterSecond.size());
            std::fflush(stderr);
            std::error_code ec;
            std::filesystem::remove_all(board.dir, ec);
            std::_Exit(ok ? 0 : 1);
        };
        EXPECT_EXIT(body(), testing::ExitedWithCode(0), "");
    }
}

TEST(RegisterTimeChangeNotification, AddsExactlyOneTimeChangeRegistrationForThePath) {
    TestBoard board;
    WCHAR path[] = u"\\WINDOWS\\TAMBLIN.EXE";
    EXPECT_EQ(RegisterTimeChangeNotification(path), 1);
    std::vector<sim::NotificationRecord> list = sim::listNotifications();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].type, static_cast<uint32_t>(CNT_EVENT));
    EXPECT_EQ(list[0].event, static_cast<uint32_t>(NOTIFICATION_EVENT_TIME_CHANGE));
    EXPECT_EQ(list[0].application, "\\WINDOWS\\TAMBLIN.EXE");
    EXPECT_EQ(list[0].arguments.value_or("(null)"), "AppRunAfterTimeChange");
    EXPECT_FALSE(list[0].user.has_value());
}

TEST(RegisterTimeChangeNotification, ReportsARefusedRegistration) {
    TestBoard board;
    WCHAR empty[] = u"";
    EXPECT_EQ(RegisterTimeChangeNotification(empty), 0);
    EXPECT_TRUE(sim::listNotifications().empty());
}

TEST(RegisterTimeChangeNotification, RepeatedRestoreRunsLeaveExactlyOneRegistration) {
    TestBoard board;
    registerApp(kOther);
    for (int run = 0; run < 3; ++run) {
        WCHAR path[APP_MODULE_PATH_CHARS];
        ASSERT_EQ(clearAsTheRestoreRunDoes(path), 1);
        ASSERT_EQ(RegisterTimeChangeNotification(path), 1);
    }
    std::vector<sim::NotificationRecord> list = sim::listNotifications();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].application, kOther);
    // The default board's program path, upper-cased as the program registers it.
    EXPECT_EQ(list[1].application, "\\WINDOWS\\TAMBLIN.EXE");
    EXPECT_EQ(list[1].arguments.value_or("(null)"), "AppRunAfterTimeChange");
}
