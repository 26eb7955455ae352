// The platform's user-notification service: the database of registrations, the calls that read
// and change it, and the service's reaction to a change of the system time.
//
// The database lives in the board's state.json under "notifications": {"nextHandle": N, "list":
// [...]}. Every call is one locked read-modify-write of the state, so processes running on the
// board at the same time never lose each other's registrations, and a handle names the same
// registration in every process.
#include <notify.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernel_objects.h"
#include "notifydb.h"
#include "services.h"

extern char** environ;

// The records are the platform's 32-bit layouts; the information buffer below is laid out with
// these sizes, and callers check dwSize against them.
static_assert(sizeof(CE_NOTIFICATION_TRIGGER) == 52, "CE_NOTIFICATION_TRIGGER is 52 bytes on the device");
static_assert(sizeof(CE_USER_NOTIFICATION) == 24, "CE_USER_NOTIFICATION is 24 bytes on the device");
static_assert(sizeof(CE_NOTIFICATION_INFO_HEADER) == 16,
              "CE_NOTIFICATION_INFO_HEADER is 16 bytes on the device");

namespace sim {

namespace {

// What the application is started with when a CeRunAppAtTime request comes due.
constexpr const char* kRunAtTimeArgument = "AppRunAtTime";
// Launch records kept in the state for inspection; older ones are dropped.
constexpr size_t kMaxLaunchRecords = 64;
// The platform's event numbers run from NOTIFICATION_EVENT_TIME_CHANGE (1) to
// NOTIFICATION_EVENT_INTERNET_PROXY_CHANGE (15); NOTIFICATION_EVENT_NONE is no event.
constexpr uint32_t kLastKnownEvent = 15;

// ---- Records <-> JSON ------------------------------------------------------------------------

json optString(const std::optional<std::string>& s) {
    return s ? json(*s) : json(nullptr);
}

std::optional<std::string> getOptString(const json& j, const char* key) {
    if (!j.contains(key) || j[key].is_null()) return std::nullopt;
    return j[key].get<std::string>();
}

json sysTimeJson(const SysTime& t) {
    return json{
        {"year", t.year}, {"month", t.month},   {"dayOfWeek", t.dayOfWeek}, {"day", t.day},
        {"hour", t.hour}, {"minute", t.minute}, {"second", t.second},       {"milliseconds", t.milliseconds}};
}

SysTime sysTimeFrom(const json& j) {
    SysTime t;
    if (!j.is_object()) return t;
    t.year = j.value("year", uint16_t{0});
    t.month = j.value("month", uint16_t{0});
    t.dayOfWeek = j.value("dayOfWeek", uint16_t{0});
    t.day = j.value("day", uint16_t{0});
    t.hour = j.value("hour", uint16_t{0});
    t.minute = j.value("minute", uint16_t{0});
    t.second = j.value("second", uint16_t{0});
    t.milliseconds = j.value("milliseconds", uint16_t{0});
    return t;
}

json recordJson(const NotificationRecord& r) {
    json j{{"handle", r.handle},
           {"type", r.type},
           {"event", r.event},
           {"application", r.application},
           {"arguments", optString(r.arguments)},
           {"start", sysTimeJson(r.start)},
           {"end", sysTimeJson(r.end)},
           {"status", r.status}};
    if (r.user) {
        const UserNotificationRecord& u = *r.user;
        j["user"] = json{{"actionFlags", u.actionFlags},
                         {"dialogTitle", optString(u.dialogTitle)},
                         {"dialogText", optString(u.dialogText)},
                         {"sound", optString(u.sound)},
                         {"maxSound", u.maxSound},
                         {"reserved", u.reserved}};
    } else {
        j["user"] = nullptr;
    }
    return j;
}

NotificationRecord recordFrom(const json& j) {
    try {
        NotificationRecord r;
        r.handle = j.at("handle").get<uint32_t>();
        r.type = j.at("type").get<uint32_t>();
        r.event = j.value("event", uint32_t{0});
        r.application = j.at("application").get<std::string>();
        r.arguments = getOptString(j, "arguments");
        r.start = sysTimeFrom(j.value("start", json::object()));
        r.end = sysTimeFrom(j.value("end", json::object()));
        r.status = j.value("status", uint32_t{0});
        if (j.contains("user") && j["user"].is_object()) {
            const json& u = j["user"];
            UserNotificationRecord user;
            user.actionFlags = u.value("actionFlags", uint32_t{0});
            user.dialogTitle = getOptString(u, "dialogTitle");
            user.dialogText = getOptString(u, "dialogText");
            user.sound = getOptString(u, "sound");
            user.maxSound = u.value("maxSound", uint32_t{0});
            user.reserved = u.value("reserved", uint32_t{0});
            r.user = user;
        }
        return r;
    } catch (const json::exception& e) {
        throw BoardError("state.json: notifications.list: bad entry " + j.dump() + ": " + e.what());
    }
}

// The database inside a state object, created when an older state has none.
json& database(json& state) {
    json& db = state["notifications"];
    if (!db.is_object()) db = json::object();
    if (!db.contains("nextHandle")) db["nextHandle"] = 1;
    if (!db.contains("list") || !db["list"].is_array()) db["list"] = json::array();
    return db;
}

std::vector<NotificationRecord> recordsIn(const json& state) {
    std::vector<NotificationRecord> out;
    if (!state.contains("notifications")) return out;
    const json& db = state["notifications"];
    if (!db.is_object() || !db.contains("list")) return out;
    for (const json& e : db["list"]) out.push_back(recordFrom(e));
    return out;
}

// Adds `r` with a fresh handle; returns the handle.
uint32_t insertRecord(json& state, NotificationRecord r) {
    json& db = database(state);
    uint32_t handle = db["nextHandle"].get<uint32_t>();
    if (handle == 0) handle = 1;  // a null handle means "no notification"
    db["nextHandle"] = handle + 1;
    r.handle = handle;
    db["list"].push_back(recordJson(r));
    return handle;
}

bool eraseRecord(json& state, uint32_t handle) {
    json& list = database(state)["list"];
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].value("handle", uint32_t{0}) == handle) {
            list.erase(i);
            return true;
        }
    }
    return false;
}

// ---- Checks ----------------------------------------------------------------------------------

bool leapYear(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool validTime(const SysTime& t) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12) return false;
    unsigned dim = days[t.month - 1] + ((t.month == 2 && leapYear(t.year)) ? 1 : 0);
    return t.day >= 1 && t.day <= dim && t.hour < 24 && t.minute < 60 && t.second < 60 &&
           t.milliseconds < 1000;
}

std::string asciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

// ---- Conversions at the API boundary ---------------------------------------------------------

SysTime fromSystemTime(const SYSTEMTIME& s) {
    return SysTime{s.wYear, s.wMonth, s.wDayOfWeek, s.wDay, s.wHour, s.wMinute, s.wSecond, s.wMilliseconds};
}

SYSTEMTIME toSystemTime(const SysTime& t) {
    return SYSTEMTIME{t.year, t.month, t.dayOfWeek, t.day, t.hour, t.minute, t.second, t.milliseconds};
}

std::optional<std::string> optUtf8(const WCHAR* s) {
    return s ? std::optional<std::string>(toUtf8(s)) : std::nullopt;
}

HANDLE handleOf(uint32_t h) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h));
}

uint32_t handleValue(HANDLE h) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h));
}

// A fault in the board's own files is not something a program on the device could see: stop
// loudly rather than answer from a database we could not read.
template <typename F>
auto guarded(const char* call, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const std::exception& e) {
        boardFault(std::string(call) + ": notification database: " + e.what());
    }
}

// ---- Starting applications -------------------------------------------------------------------

std::string absoluteDir(const std::string& dir) {
    char buf[PATH_MAX];
    if (::realpath(dir.c_str(), buf)) return buf;
    return dir;
}

// Arguments as the device passes them: one string, which the start-up code of the program
// rebuilds by joining argv with single spaces. Splitting at every space (keeping empty pieces)
// makes that round trip exact.
std::vector<std::string> splitArguments(const std::optional<std::string>& args) {
    std::vector<std::string> out;
    if (!args || args->empty()) return out;
    size_t from = 0;
    for (;;) {
        size_t sp = args->find(' ', from);
        out.push_back(args->substr(from, sp == std::string::npos ? std::string::npos : sp - from));
        if (sp == std::string::npos) break;
        from = sp + 1;
    }
    return out;
}

const std::string* hostProgramFor(const BoardConfig& config, const std::string& devicePath) {
    const std::string want = asciiLower(devicePath);
    for (const auto& [path, exe] : config.apps)
        if (asciiLower(path) == want) return &exe;
    return nullptr;
}

// Starts `exe` with `args` on the board in `boardDir`; returns the pid or -errno.
int spawnOnBoard(const std::string& exe, const std::vector<std::string>& args, const std::string& boardDir) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "TAMBLIN_BOARD=", 14) != 0) env.emplace_back(*e);
    env.push_back("TAMBLIN_BOARD=" + boardDir);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argvStore;
    argvStore.push_back(exe);
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argvStore) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data());
    return rc == 0 ? static_cast<int>(pid) : -rc;
}

}  // namespace

std::string notificationRecordProblem(const NotificationRecord& r) {
    switch (r.type) {
        case CNT_EVENT:
            if (r.event == NOTIFICATION_EVENT_NONE || r.event > kLastKnownEvent)
                return "unknown event " + std::to_string(r.event);
            break;
        case CNT_TIME:
        case CNT_CLASSICTIME:
            if (!validTime(r.start)) return "start time is not a valid date and time";
            break;
        case CNT_PERIOD:
            if (!validTime(r.start)) return "start time is not a valid date and time";
            if (!validTime(r.end)) return "end time is not a valid date and time";
            break;
        default:
            return "unknown trigger type " + std::to_string(r.type);
    }
    if (r.application.empty()) return "no application";
    return {};
}

std::vector<NotificationRecord> listNotifications() {
    return recordsIn(Board::current().readState());
}

uint32_t addNotification(const NotificationRecord& record) {
    const std::string problem = notificationRecordProblem(record);
    if (!problem.empty()) throw BoardError("notification refused: " + problem);
    uint32_t handle = 0;
    Board::current().updateState([&](json& s) { handle = insertRecord(s, record); });
    return handle;
}

bool clearNotification(uint32_t handle) {
    bool found = false;
    Board::current().updateState([&](json& s) { found = eraseRecord(s, handle); });
    return found;
}

std::vector<int> notifyTimeChanged() {
    const Board& board = Board::current();
    const std::vector<NotificationRecord> records = recordsIn(board.readState());
    const std::string boardDir = absoluteDir(board.dir());
    std::vector<int> pids;
    json launches = json::array();
    // Event registrations stay in the database after firing: they fire on every time change.
    for (const NotificationRecord& r : records) {
        if (r.type != CNT_EVENT || r.event != NOTIFICATION_EVENT_TIME_CHANGE) continue;
        const std::string* exe = hostProgramFor(board.config(), r.application);
        if (!exe) {
            board.appendDebugLog("notification service: no program for " + r.application + "\n");
            continue;
        }
        // A relative program path in board.json is taken from the board directory.
        const std::string path = (!exe->empty() && (*exe)[0] == '/') ? *exe : boardDir + "/" + *exe;
        int pid = spawnOnBoard(path, splitArguments(r.arguments), boardDir);
        if (pid < 0) {
            board.appendDebugLog("notification service: cannot start " + path + " for " + r.application +
                                 ": " + std::strerror(-pid) + "\n");
            continue;
        }
        pids.push_back(pid);
        launches.push_back(
            json{{"app", r.application}, {"args", optString(r.arguments)}, {"exe", path}, {"pid", pid}});
    }
    if (!launches.empty()) {
        board.updateState([&](json& s) {
            json& all = s["launches"];
            if (!all.is_array()) all = json::array();
            for (json& l : launches) all.push_back(l);
            while (all.size() > kMaxLaunchRecords) all.erase(0);
        });
    }
    return pids;
}

std::vector<int> waitForStartedApps(const std::vector<int>& pids) {
    std::vector<int> codes;
    for (int pid : pids) {
        int status = 0;
        pid_t r;
        do r = ::waitpid(pid, &status, 0);
        while (r < 0 && errno == EINTR);
        if (r < 0)
            codes.push_back(-1);
        else if (WIFEXITED(status))
            codes.push_back(WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
            codes.push_back(128 + WTERMSIG(status));
        else
            codes.push_back(-1);
    }
    return codes;
}

}  // namespace sim

using namespace sim;

HANDLE CeSetUserNotificationEx(HANDLE hNotification, CE_NOTIFICATION_TRIGGER* pcnt,
                               CE_USER_NOTIFICATION* pceun) {
    if (!pcnt || pcnt->dwSize != sizeof(CE_NOTIFICATION_TRIGGER) || !pcnt->lpszApplication) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    NotificationRecord r;
    r.type = pcnt->dwType;
    r.event = pcnt->dwType == CNT_EVENT ? pcnt->dwEvent : 0;
    r.application = toUtf8(pcnt->lpszApplication);
    r.arguments = optUtf8(pcnt->lpszArguments);
    // An event trigger has no times; whatever the caller left there is not looked at.
    if (r.type != CNT_EVENT) {
        r.start = fromSystemTime(pcnt->stStartTime);
        r.end = fromSystemTime(pcnt->stEndTime);
    }
    if (pceun) {
        UserNotificationRecord u;
        u.actionFlags = pceun->ActionFlags;
        u.dialogTitle = optUtf8(pceun->pwszDialogTitle);
        u.dialogText = optUtf8(pceun->pwszDialogText);
        u.sound = optUtf8(pceun->pwszSound);
        u.maxSound = pceun->nMaxSound;
        u.reserved = pceun->dwReserved;
        r.user = u;
    }
    if (!notificationRecordProblem(r).empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const uint32_t existing = handleValue(hNotification);
    uint32_t result = 0;
    guarded("CeSetUserNotificationEx", [&] {
        Board::current().updateState([&](json& s) {
            if (existing == 0) {
                result = insertRecord(s, r);
                return;
            }
            // Replacing keeps the registration's handle and its place in the list.
            json& list = database(s)["list"];
            for (json& e : list) {
                if (e.value("handle", uint32_t{0}) == existing) {
                    r.handle = existing;
                    e = recordJson(r);
                    result = existing;
                    return;
                }
            }
        });
    });
    if (result == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return handleOf(result);
}

BOOL CeGetUserNotificationHandles(HANDLE* rghNotifications, DWORD cHandles, LPDWORD pcHandlesNeeded) {
    if (!pcHandlesNeeded || (!rghNotifications && cHandles != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::vector<NotificationRecord> records =
        guarded("CeGetUserNotificationHandles", [] { return listNotifications(); });
    *pcHandlesNeeded = static_cast<DWORD>(records.size());
    if (!rghNotifications) return TRUE;  // the size query
    if (cHandles < records.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (size_t i = 0; i < records.size(); ++i) rghNotifications[i] = handleOf(records[i].handle);
    return TRUE;
}

BOOL CeGetUserNotification(HANDLE hNotification, DWORD cBufferSize, LPDWORD pcBytesNeeded, LPBYTE pBuffer) {
    if (!pcBytesNeeded || (!pBuffer && cBufferSize != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint32_t wanted = handleValue(hNotification);
    const std::vector<NotificationRecord> records =
        guarded("CeGetUserNotification", [] { return listNotifications(); });
    const NotificationRecord* r = nullptr;
    for (const NotificationRecord& e : records)
        if (wanted != 0 && e.handle == wanted) r = &e;
    if (!r) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    // One block: header, trigger, user notification (if any), then the strings. The record
    // sizes are multiples of 4, so each record is aligned as the device needs; the strings that
    // follow need only 2-byte alignment.
    std::vector<std::optional<std::u16string>> strings;
    auto addString = [&](const std::optional<std::string>& s) {
        strings.push_back(s ? std::optional<std::u16string>(fromUtf8(*s)) : std::nullopt);
    };
    addString(r->application);
    addString(r->arguments);
    if (r->user) {
        addString(r->user->dialogTitle);
        addString(r->user->dialogText);
        addString(r->user->sound);
    }
    size_t needed = sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER) +
                    (r->user ? sizeof(CE_USER_NOTIFICATION) : 0);
    for (const auto& s : strings)
        if (s) needed += (s->size() + 1) * sizeof(WCHAR);
    *pcBytesNeeded = static_cast<DWORD>(needed);
    if (cBufferSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }

    std::memset(pBuffer, 0, needed);
    auto* header = reinterpret_cast<CE_NOTIFICATION_INFO_HEADER*>(pBuffer);
    auto* trigger = reinterpret_cast<CE_NOTIFICATION_TRIGGER*>(pBuffer + sizeof(CE_NOTIFICATION_INFO_HEADER));
    BYTE* next = pBuffer + sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER);
    CE_USER_NOTIFICATION* user = nullptr;
    if (r->user) {
        user = reinterpret_cast<CE_USER_NOTIFICATION*>(next);
        next += sizeof(CE_USER_NOTIFICATION);
    }
    size_t index = 0;
    auto placeString = [&]() -> WCHAR* {
        const auto& s = strings[index++];
        if (!s) return nullptr;
        WCHAR* out = reinterpret_cast<WCHAR*>(next);
        std::memcpy(out, s->c_str(), (s->size() + 1) * sizeof(WCHAR));
        next += (s->size() + 1) * sizeof(WCHAR);
        return out;
    };

    header->hNotification = handleOf(r->handle);
    header->dwStatus = r->status;
    header->pcent = trigger;
    header->pceun = user;
    trigger->dwSize = sizeof(CE_NOTIFICATION_TRIGGER);
    trigger->dwType = r->type;
    trigger->dwEvent = r->event;
    trigger->lpszApplication = placeString();
    trigger->lpszArguments = placeString();
    trigger->stStartTime = toSystemTime(r->start);
    trigger->stEndTime = toSystemTime(r->end);
    if (user) {
        user->ActionFlags = r->user->actionFlags;
        user->pwszDialogTitle = placeString();
        user->pwszDialogText = placeString();
        user->pwszSound = placeString();
        user->nMaxSound = r->user->maxSound;
        user->dwReserved = r->user->reserved;
    }
    return TRUE;
}

BOOL CeClearUserNotification(HANDLE hNotification) {
    const uint32_t handle = handleValue(hNotification);
    bool found = handle != 0 && guarded("CeClearUserNotification", [&] { return clearNotification(handle); });
    if (!found) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL CeRunAppAtTime(const WCHAR* pwszAppName, SYSTEMTIME* lpTime) {
    if (!pwszAppName || !*pwszAppName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    NotificationRecord r;
    r.type = CNT_TIME;
    r.application = toUtf8(pwszAppName);
    r.arguments = std::string(kRunAtTimeArgument);
    if (lpTime) {
        r.start = fromSystemTime(*lpTime);
        r.end = r.start;
        if (!notificationRecordProblem(r).empty()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    const std::string name = asciiLower(r.application);
    guarded("CeRunAppAtTime", [&] {
        Board::current().updateState([&](json& s) {
            // No time cancels everything the application has pending; a time replaces its
            // earlier timed request and leaves its event registrations alone.
            json& list = database(s)["list"];
            for (size_t i = list.size(); i > 0; --i) {
                const json& e = list[i - 1];
                if (asciiLower(e.value("application", std::string())) != name) continue;
                if (!lpTime || e.value("type", uint32_t{0}) == CNT_TIME) list.erase(i - 1);
            }
            if (lpTime) insertRecord(s, r);
        });
    });
    return TRUE;
}
