// The user-notification service of the virtual board: the platform calls' contract, the database
// kept in the board's state, and the start of registered applications after a time change.
#include <gtest/gtest.h>
#include <notify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/ceapi/kernel_objects.h"
#include "sim/ceapi/notifydb.h"
#include "sim/ceapi/tools_api.h"
#include "testboard.h"

static_assert(sizeof(CE_NOTIFICATION_TRIGGER) == 52, "the device's trigger record is 52 bytes");

namespace {

CE_NOTIFICATION_TRIGGER eventTrigger(const WCHAR* app, const WCHAR* args,
                                     DWORD event = NOTIFICATION_EVENT_TIME_CHANGE) {
    CE_NOTIFICATION_TRIGGER t{};
    t.dwSize = sizeof t;
    t.dwType = CNT_EVENT;
    t.dwEvent = event;
    t.lpszApplication = const_cast<WCHAR*>(app);
    t.lpszArguments = const_cast<WCHAR*>(args);
    return t;
}

HANDLE addEvent(const WCHAR* app, const WCHAR* args, DWORD event = NOTIFICATION_EVENT_TIME_CHANGE) {
    CE_NOTIFICATION_TRIGGER t = eventTrigger(app, args, event);
    return CeSetUserNotificationEx(nullptr, &t, nullptr);
}

std::vector<HANDLE> allHandles() {
    DWORD n = 0;
    EXPECT_TRUE(CeGetUserNotificationHandles(nullptr, 0, &n));
    std::vector<HANDLE> h(n + 1);
    EXPECT_TRUE(CeGetUserNotificationHandles(h.data(), n, &n));
    h.resize(n);
    return h;
}

// The information block of one registration, fetched the way a program does it.
std::vector<BYTE> info(HANDLE h) {
    DWORD needed = 0;
    CeGetUserNotification(h, 0, &needed, nullptr);
    std::vector<BYTE> buf(needed);
    EXPECT_TRUE(CeGetUserNotification(h, needed, &needed, buf.data()));
    return buf;
}

const CE_NOTIFICATION_TRIGGER& triggerOf(const std::vector<BYTE>& buf) {
    return *reinterpret_cast<const CE_NOTIFICATION_INFO_HEADER*>(buf.data())->pcent;
}

std::u16string str(const WCHAR* s) {
    return s ? std::u16string(s) : u"(null)";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A host program standing in for a device application: writes its argument count, each
// argument on its own line and the board it was given, then exits with `exitCode`.
std::string writeProbeScript(const TestBoard& board, int exitCode) {
    const std::string path = board.path("probe.sh");
    std::ofstream(path)
        << "#!/bin/sh\n"
           "{ echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; echo \"$TAMBLIN_BOARD\"; } "
           ">> \"$TAMBLIN_BOARD/probe.out\"\n"
           "exit "
        << exitCode << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

sim::BoardConfig withApps(std::map<std::string, std::string> apps) {
    sim::BoardConfig c = testing_board::frozenDefaults();
    c.apps = std::move(apps);
    return c;
}

}  // namespace

// ---- Registration ----------------------------------------------------------------------------

TEST(NotificationService, RegisteringReturnsAHandleAndKeepsCopiesOfTheStrings) {
    TestBoard board;
    WCHAR app[] = u"\\WINDOWS\\TAMBLIN.EXE";
    WCHAR args[] = u"AppRunAfterTimeChange";
    HANDLE h = addEvent(app, args);
    ASSERT_NE(h, nullptr);
    // The caller's buffers are its own again once the call returns.
    app[1] = u'X';
    args[0] = u'X';
    std::vector<BYTE> buf = info(h);
    const CE_NOTIFICATION_TRIGGER& t = triggerOf(buf);
    EXPECT_EQ(str(t.lpszApplication), u"\\WINDOWS\\TAMBLIN.EXE");
    EXPECT_EQ(str(t.lpszArguments), u"AppRunAfterTimeChange");
    EXPECT_EQ(t.dwType, static_cast<DWORD>(CNT_EVENT));
    EXPECT_EQ(t.dwEvent, static_cast<DWORD>(NOTIFICATION_EVENT_TIME_CHANGE));
    EXPECT_EQ(t.dwSize, 52u);
}

TEST(NotificationService, RefusesTriggersThePlatformRefuses) {
    struct Case {
        const char* what;
        DWORD size, type, event;
        const WCHAR* app;
        WORD startMonth;
    };
    const Case cases[] = {
        {"size one short", 51, CNT_EVENT, NOTIFICATION_EVENT_TIME_CHANGE, u"\\A.exe", 1},
        {"size one long", 53, CNT_EVENT, NOTIFICATION_EVENT_TIME_CHANGE, u"\\A.exe", 1},
        {"size zero", 0, CNT_EVENT, NOTIFICATION_EVENT_TIME_CHANGE, u"\\A.exe", 1},
        {"type zero", 52, 0, NOTIFICATION_EVENT_TIME_CHANGE, u"\\A.exe", 1},
        {"type five", 52, 5, NOTIFICATION_EVENT_TIME_CHANGE, u"\\A.exe", 1},
        {"event none", 52, CNT_EVENT, NOTIFICATION_EVENT_NONE, u"\\A.exe", 1},
        {"event unknown", 52, CNT_EVENT, 99, u"\\A.exe", 1},
        {"no application", 52, CNT_EVENT, NOTIFICATION_EVENT_TIME_CHANGE, nullptr, 1},
        {"empty application", 52, CNT_EVENT, NOTIFICATION_EVENT_TIME_CHANGE, u"", 1},
        {"time with month 13", 52, CNT_TIME, 0, u"\\A.exe", 13},
        {"time with month 0", 52, CNT_TIME, 0, u"\\A.exe", 0},
    };
    TestBoard board;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CE_NOTIFICATION_TRIGGER t{};
        t.dwSize = c.size;
        t.dwType = c.type;
        t.dwEvent = c.event;
        t.lpszApplication = const_cast<WCHAR*>(c.app);
        t.stStartTime = SYSTEMTIME{2012, c.startMonth, 0, 1, 12, 0, 0, 0};
        t.stEndTime = t.stStartTime;
        SetLastError(0);
        EXPECT_EQ(CeSetUserNotificationEx(nullptr, &t, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    SetLastError(0);
    EXPECT_EQ(CeSetUserNotificationEx(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(sim::listNotifications().empty());
}

TEST(NotificationService, AValidTimeTriggerIsAccepted) {
    TestBoard board;
    CE_NOTIFICATION_TRIGGER t{};
    t.dwSize = sizeof t;
    t.dwType = CNT_TIME;
    t.lpszApplication = const_cast<WCHAR*>(u"\\Windows\\Alarm.exe");
    t.stStartTime = SYSTEMTIME{2012, 2, 3, 29, 23, 59, 59, 999};  // a leap day
    t.stEndTime = t.stStartTime;
    HANDLE h = CeSetUserNotificationEx(nullptr, &t, nullptr);
    ASSERT_NE(h, nullptr);
    std::vector<BYTE> buf = info(h);
    EXPECT_EQ(triggerOf(buf).stStartTime.wDay, 29);
    EXPECT_EQ(triggerOf(buf).stStartTime.wMilliseconds, 999);
    EXPECT_EQ(triggerOf(buf).lpszArguments, nullptr);
}

TEST(NotificationService, ReplacingKeepsTheHandleAndChangesTheRegistration) {
    TestBoard board;
    HANDLE first = addEvent(u"\\A.exe", u"one");
    HANDLE second = addEvent(u"\\B.exe", u"two");
    CE_NOTIFICATION_TRIGGER t = eventTrigger(u"\\C.exe", u"three", NOTIFICATION_EVENT_WAKEUP);
    EXPECT_EQ(CeSetUserNotificationEx(first, &t, nullptr), first);
    EXPECT_EQ(allHandles(), (std::vector<HANDLE>{first, second}));
    std::vector<BYTE> buf = info(first);
    EXPECT_EQ(str(triggerOf(buf).lpszApplication), u"\\C.exe");
    EXPECT_EQ(str(triggerOf(buf).lpszArguments), u"three");
    EXPECT_EQ(triggerOf(buf).dwEvent, static_cast<DWORD>(NOTIFICATION_EVENT_WAKEUP));
}

TEST(NotificationService, ReplacingAnUnknownHandleFails) {
    TestBoard board;
    HANDLE h = addEvent(u"\\A.exe", u"one");
    ASSERT_TRUE(CeClearUserNotification(h));
    CE_NOTIFICATION_TRIGGER t = eventTrigger(u"\\C.exe", u"three");
    SetLastError(0);
    EXPECT_EQ(CeSetUserNotificationEx(h, &t, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(sim::listNotifications().empty());
}

// ---- Handles ---------------------------------------------------------------------------------

TEST(NotificationService, HandleCountQueryWithoutABufferSucceeds) {
    TestBoard board;
    DWORD n = 99;
    EXPECT_TRUE(CeGetUserNotificationHandles(nullptr, 0, &n));
    EXPECT_EQ(n, 0u);
    addEvent(u"\\A.exe", nullptr);
    addEvent(u"\\B.exe", nullptr);
    addEvent(u"\\C.exe", nullptr);
    EXPECT_TRUE(CeGetUserNotificationHandles(nullptr, 0, &n));
    EXPECT_EQ(n, 3u);
}

TEST(NotificationService, HandleBufferTooSmallFailsAndTellsTheCount) {
    TestBoard board;
    HANDLE a = addEvent(u"\\A.exe", nullptr);
    HANDLE b = addEvent(u"\\B.exe", nullptr);
    HANDLE c = addEvent(u"\\C.exe", nullptr);
    HANDLE buf[4] = {nullptr, nullptr, nullptr, nullptr};
    DWORD n = 0;
    SetLastError(0);
    EXPECT_FALSE(CeGetUserNotificationHandles(buf, 2, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(CeGetUserNotificationHandles(buf, 3, &n));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(buf[0], a);
    EXPECT_EQ(buf[1], b);
    EXPECT_EQ(buf[2], c);
    EXPECT_EQ(buf[3], nullptr);  // nothing written past the count
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
}

// ---- Information block -----------------------------------------------------------------------

TEST(NotificationService, InformationSizeQueryFailsWithInsufficientBufferAndGivesTheSize) {
    TestBoard board;
    HANDLE h = addEvent(u"\\WINDOWS\\TAMBLIN.EXE", u"AppRunAfterTimeChange");
    // Header (16) + trigger (52) + both strings with their terminators.
    const DWORD expected = 16 + 52 + (20 + 1) * 2 + (21 + 1) * 2;
    DWORD needed = 0;
    SetLastError(0);
    EXPECT_FALSE(CeGetUserNotification(h, 0, &needed, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, expected);

    std::vector<BYTE> small(expected - 1, 0xEE);
    needed = 0;
    SetLastError(0);
    EXPECT_FALSE(CeGetUserNotification(h, expected - 1, &needed, small.data()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, expected);
    for (BYTE b : small) ASSERT_EQ(b, 0xEE);  // a refused fetch leaves the buffer alone
}

TEST(NotificationService, InformationPointsIntoTheCallersBuffer) {
    TestBoard board;
    HANDLE h = addEvent(u"\\WINDOWS\\TAMBLIN.EXE", u"AppRunAfterTimeChange");
    DWORD needed = 0;
    CeGetUserNotification(h, 0, &needed, nullptr);
    std::vector<BYTE> buf(needed + 8, 0xEE);
    ASSERT_TRUE(CeGetUserNotification(h, static_cast<DWORD>(buf.size()), &needed, buf.data()));
    const BYTE* lo = buf.data();
    const BYTE* hi = buf.data() + needed;
    auto inside = [&](const void* p, size_t size) {
        const BYTE* b = static_cast<const BYTE*>(p);
        return b >= lo && b + size <= hi;
    };
    const auto* header = reinterpret_cast<const CE_NOTIFICATION_INFO_HEADER*>(buf.data());
    EXPECT_EQ(header->hNotification, h);
    EXPECT_EQ(header->pceun, nullptr);
    ASSERT_TRUE(inside(header->pcent, 52));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(header->pcent) % 4, 0u);
    const CE_NOTIFICATION_TRIGGER& t = *header->pcent;
    ASSERT_TRUE(inside(t.lpszApplication, (20 + 1) * 2));
    ASSERT_TRUE(inside(t.lpszArguments, (21 + 1) * 2));
    EXPECT_EQ(str(t.lpszApplication), u"\\WINDOWS\\TAMBLIN.EXE");
    EXPECT_EQ(str(t.lpszArguments), u"AppRunAfterTimeChange");
    // The block stays good after the registration is gone: it belongs to the caller.
    ASSERT_TRUE(CeClearUserNotification(h));
    EXPECT_EQ(str(t.lpszApplication), u"\\WINDOWS\\TAMBLIN.EXE");
}

TEST(NotificationService, InformationCarriesTheUserNotificationInsideTheBuffer) {
    TestBoard board;
    CE_NOTIFICATION_TRIGGER t = eventTrigger(u"\\Windows\\Shell.exe", nullptr, NOTIFICATION_EVENT_WAKEUP);
    CE_USER_NOTIFICATION u{};
    u.ActionFlags = 0x5;
    u.pwszDialogTitle = const_cast<WCHAR*>(u"Title");
    u.pwszDialogText = nullptr;
    u.pwszSound = const_cast<WCHAR*>(u"\\Windows\\Alarm1.wav");
    u.nMaxSound = 260;
    HANDLE h = CeSetUserNotificationEx(nullptr, &t, &u);
    ASSERT_NE(h, nullptr);
    DWORD needed = 0;
    CeGetUserNotification(h, 0, &needed, nullptr);
    // Header, trigger, user record (24), application, title and sound; no arguments, no text.
    EXPECT_EQ(needed, 16u + 52 + 24 + (18 + 1) * 2 + (5 + 1) * 2 + (19 + 1) * 2);
    std::vector<BYTE> buf(needed);
    ASSERT_TRUE(CeGetUserNotification(h, needed, &needed, buf.data()));
    const auto* header = reinterpret_cast<const CE_NOTIFICATION_INFO_HEADER*>(buf.data());
    ASSERT_NE(header->pceun, nullptr);
    const BYTE* p = reinterpret_cast<const BYTE*>(header->pceun);
    EXPECT_TRUE(p >= buf.data() && p + 24 <= buf.data() + needed);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4, 0u);
    EXPECT_EQ(header->pceun->ActionFlags, 0x5u);
    EXPECT_EQ(str(header->pceun->pwszDialogTitle), u"Title");
    EXPECT_EQ(header->pceun->pwszDialogText, nullptr);
    EXPECT_EQ(str(header->pceun->pwszSound), u"\\Windows\\Alarm1.wav");
    EXPECT_EQ(header->pceun->nMaxSound, 260u);
    EXPECT_EQ(header->pcent->lpszArguments, nullptr);
}

TEST(NotificationService, UnknownHandlesAreRefused) {
    TestBoard board;
    HANDLE h = addEvent(u"\\A.exe", nullptr);
    ASSERT_TRUE(CeClearUserNotification(h));
    for (HANDLE bad : {h, static_cast<HANDLE>(nullptr)}) {
        DWORD needed = 1234;
        BYTE buf[256];
        SetLastError(0);
        EXPECT_FALSE(CeGetUserNotification(bad, sizeof buf, &needed, buf));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(CeClearUserNotification(bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST(NotificationService, ClearingRemovesOnlyThatRegistration) {
    TestBoard board;
    HANDLE a = addEvent(u"\\A.exe", nullptr);
    HANDLE b = addEvent(u"\\B.exe", nullptr);
    HANDLE c = addEvent(u"\\C.exe", nullptr);
    EXPECT_TRUE(CeClearUserNotification(b));
    EXPECT_EQ(allHandles(), (std::vector<HANDLE>{a, c}));
    EXPECT_FALSE(CeClearUserNotification(b));
    // A cleared handle is not handed out again.
    HANDLE d = addEvent(u"\\D.exe", nullptr);
    EXPECT_NE(d, a);
    EXPECT_NE(d, b);
    EXPECT_NE(d, c);
}

// ---- Persistence and other processes ---------------------------------------------------------

TEST(NotificationService, RegistrationsSurviveReopeningTheBoard) {
    TestBoard board;
    HANDLE a = addEvent(u"\\WINDOWS\\TAMBLIN.EXE", u"AppRunAfterTimeChange");
    HANDLE b = addEvent(u"\\Windows\\Other.exe", nullptr, NOTIFICATION_EVENT_WAKEUP);
    sim::Board::use(board.dir);
    EXPECT_EQ(allHandles(), (std::vector<HANDLE>{a, b}));
    std::vector<BYTE> buf = info(a);
    EXPECT_EQ(str(triggerOf(buf).lpszApplication), u"\\WINDOWS\\TAMBLIN.EXE");
    EXPECT_EQ(str(triggerOf(buf).lpszArguments), u"AppRunAfterTimeChange");
    // Handles keep counting after a reopen instead of starting over.
    ASSERT_TRUE(CeClearUserNotification(b));
    HANDLE c = addEvent(u"\\C.exe", nullptr);
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
}

TEST(NotificationService, AHandleFromOneProcessWorksInAnother) {
    TestBoard board;
    HANDLE a = addEvent(u"\\A.exe", nullptr);
    HANDLE b = addEvent(u"\\B.exe", nullptr);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(CeClearUserNotification(a) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(allHandles(), (std::vector<HANDLE>{b}));
}

TEST(NotificationService, ConcurrentRegistrationsFromSeveralProcessesAreAllKept) {
    TestBoard board;
    constexpr int kProcesses = 4;
    constexpr int kEach = 15;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kEach; ++i) {
                std::u16string app =
                    sim::fromUtf8("\\P" + std::to_string(p) + "_" + std::to_string(i) + ".exe");
                if (!addEvent(app.c_str(), nullptr)) ++failures;
            }
            ::_exit(failures);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    std::vector<HANDLE> handles = allHandles();
    EXPECT_EQ(handles.size(), static_cast<size_t>(kProcesses * kEach));
    EXPECT_EQ(std::set<HANDLE>(handles.begin(), handles.end()).size(), handles.size());
    std::set<std::string> apps;
    for (const sim::NotificationRecord& r : sim::listNotifications()) apps.insert(r.application);
    EXPECT_EQ(apps.size(), static_cast<size_t>(kProcesses * kEach));
}

// ---- CeRunAppAtTime --------------------------------------------------------------------------

TEST(NotificationService, RunAppAtTimeWithoutATimeRemovesEveryRegistrationOfThatApplication) {
    TestBoard board;
    addEvent(u"\\\\.\\Notifications\\NamedEvents\\ShellDSTEvent", nullptr, NOTIFICATION_EVENT_TZ_CHANGE);
    HANDLE other = addEvent(u"\\Windows\\Other.exe", nullptr);
    SYSTEMTIME at{2012, 3, 0, 25, 2, 0, 0, 0};
    ASSERT_TRUE(CeRunAppAtTime(u"\\\\.\\Notifications\\NamedEvents\\ShellDSTEvent", &at));
    EXPECT_EQ(sim::listNotifications().size(), 3u);

    // Letter case of the name does not matter.
    EXPECT_TRUE(CeRunAppAtTime(u"\\\\.\\NOTIFICATIONS\\namedevents\\SHELLDSTEVENT", nullptr));
    EXPECT_EQ(allHandles(), (std::vector<HANDLE>{other}));
    // Nothing pending is not an error.
    EXPECT_TRUE(CeRunAppAtTime(u"\\\\.\\Notifications\\NamedEvents\\ShellDSTEvent", nullptr));
}

TEST(NotificationService, RunAppAtTimeRegistersOneTimedRequestPerApplication) {
    TestBoard board;
    SYSTEMTIME first{2012, 10, 0, 28, 3, 0, 0, 0};
    SYSTEMTIME second{2013, 3, 0, 31, 2, 0, 0, 0};
    HANDLE event = addEvent(u"\\Windows\\Alarm.exe", nullptr, NOTIFICATION_EVENT_WAKEUP);
    ASSERT_TRUE(CeRunAppAtTime(u"\\Windows\\Alarm.exe", &first));
    ASSERT_TRUE(CeRunAppAtTime(u"\\WINDOWS\\ALARM.EXE", &second));
    std::vector<sim::NotificationRecord> list = sim::listNotifications();
    // The second request replaces the first; the event registration is not a timed request.
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(allHandles()[0], event);
    list.erase(list.begin());
    EXPECT_EQ(list[0].type, static_cast<uint32_t>(CNT_TIME));
    EXPECT_EQ(list[0].application, "\\WINDOWS\\ALARM.EXE");
    EXPECT_EQ(list[0].arguments.value_or("(null)"), "AppRunAtTime");
    EXPECT_EQ(list[0].start.year, 2013);
    EXPECT_EQ(list[0].start.month, 3);
    EXPECT_EQ(list[0].start.day, 31);

    SYSTEMTIME bad{2013, 2, 0, 30, 2, 0, 0, 0};
    SetLastError(0);
    EXPECT_FALSE(CeRunAppAtTime(u"\\Windows\\Alarm.exe", &bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(sim::listNotifications().size(), 2u);
}

// ---- The C++ view ----------------------------------------------------------------------------

TEST(NotificationDatabase, AddListAndClearAgreeWithThePlatformCalls) {
    TestBoard board;
    sim::NotificationRecord r;
    r.type = CNT_EVENT;
    r.event = NOTIFICATION_EVENT_TIME_CHANGE;
    r.application = "\\Windows\\Tamblin.exe";
    r.arguments = "AppRunAfterTimeChange";
    uint32_t h = sim::addNotification(r);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(allHandles(), (std::vector<HANDLE>{reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h))}));
    r.event = 0;
    EXPECT_THROW(sim::addNotification(r), sim::BoardError);
    EXPECT_TRUE(sim::clearNotification(h));
    EXPECT_FALSE(sim::clearNotification(h));
    EXPECT_TRUE(sim::listNotifications().empty());
}

// ---- The service's reaction to a time change -------------------------------------------------

TEST(NotificationService, TimeChangeStartsTheMappedProgramWithItsArgumentsOnThisBoard) {
    TestBoard board(withApps({{"\\Windows\\Probe.exe", "probe.sh"}}));
    writeProbeScript(board, 7);
    // Registered upper-cased, as the application does; the mapping is written in mixed case.
    addEvent(u"\\WINDOWS\\PROBE.EXE", u"one two  three");
    addEvent(u"\\WINDOWS\\PROBE.EXE", u"woken", NOTIFICATION_EVENT_WAKEUP);  // not a time change

    std::vector<int> pids = sim::notifyTimeChanged();
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_EQ(sim::waitForStartedApps(pids), std::vector<int>{7});

    char real[PATH_MAX];
    ASSERT_NE(::realpath(board.dir.c_str(), real), nullptr);
    // Split at every space, so that joining with single spaces gives back the same text.
    EXPECT_EQ(readFile(board.path("probe.out")), "4\n[one]\n[two]\n[]\n[three]\n" + std::string(real) + "\n");

    // The registration stays: it fires on every time change.
    EXPECT_EQ(sim::listNotifications().size(), 2u);
    const std::vector<sim::LaunchRecord> launches = sim::Board::current().readState().launches;
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].app, "\\WINDOWS\\PROBE.EXE");
    EXPECT_EQ(launches[0].args, "one two  three");
    EXPECT_EQ(launches[0].pid, pids[0]);

    std::vector<int> again = sim::notifyTimeChanged();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(sim::waitForStartedApps(again), std::vector<int>{7});
}

TEST(NotificationService, TimeChangeStartsAProgramRegisteredWithoutArgumentsWithNone) {
    TestBoard board(withApps({{"\\Windows\\Probe.exe", "probe.sh"}}));
    writeProbeScript(board, 0);
    addEvent(u"\\Windows\\Probe.exe", nullptr);
    EXPECT_EQ(sim::waitForStartedApps(sim::notifyTimeChanged()), std::vector<int>{0});
    EXPECT_EQ(readFile(board.path("probe.out")).substr(0, 2), "0\n");
}

TEST(NotificationService, TimeChangeLogsAnApplicationWithoutAProgramAndSkipsIt) {
    TestBoard board(withApps({{"\\Windows\\Probe.exe", "probe.sh"}}));
    writeProbeScript(board, 0);
    addEvent(u"\\Windows\\Ghost.exe", u"AppRunAfterTimeChange");
    addEvent(u"\\Windows\\Probe.exe", u"x");
    std::vector<int> pids = sim::notifyTimeChanged();
    EXPECT_EQ(sim::waitForStartedApps(pids), std::vector<int>{0});
    EXPECT_NE(board.debugLog().find("notification service: no program for \\Windows\\Ghost.exe\n"),
              std::string::npos);
    EXPECT_EQ(
        readFile(board.path("probe.out")), "1\n[x]\n" + [&] {
            char real[PATH_MAX];
            return std::string(::realpath(board.dir.c_str(), real)) + "\n";
        }());
}

TEST(NotificationService, TimeChangeWithNothingRegisteredStartsNothing) {
    TestBoard board(withApps({{"\\Windows\\Probe.exe", "probe.sh"}}));
    writeProbeScript(board, 0);
    SYSTEMTIME at{2012, 3, 0, 25, 2, 0, 0, 0};
    ASSERT_TRUE(CeRunAppAtTime(u"\\Windows\\Probe.exe", &at));  // timed, not a time-change event
    EXPECT_TRUE(sim::notifyTimeChanged().empty());
    EXPECT_TRUE(sim::Board::current().readState().launches.empty());
}
