// The platform stand-in's one header for the tools that work on a board beside its programs:
// vboard, the start-up code of a program, the tests. A program reaches the stand-in through the
// platform's own API (<windows.h>, <notify.h>, ...); a tool may use that too, and this for what
// the platform gives no call for: the board's clock without the notification service's reaction,
// the notification database from outside a program, the registry's file, the end of a process.
// The rest of sim/ceapi is the stand-in's own.
#pragma once

#include "layer.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../board/config.h"
#include "../board/state.h"
#include "regfile.h"

namespace sim {

// ---- Text at the stand-in's boundaries (debug log, file names, registry text) ---------------
std::string toUtf8(const std::u16string& s);
std::u16string fromUtf8(const std::string& s);

// ---- A process on the board -------------------------------------------------------------------
// Named mutexes still owned by this process are released when it ends (start-up code, vboard,
// tests).
void releaseProcessObjects();

// ---- The system clock and the zone -----------------------------------------------------------
// The board's system clock (UTC) as a file time, and setting it without the notification
// service's reaction (board initialisation). The kernel keeps the clock in local time: UTC comes
// from it by the zone record and the daylight flag.
int64_t boardSystemFileTime();
void setBoardSystemFileTime(int64_t fileTime);
// The kernel's clock itself, in local time.
int64_t boardLocalFileTime();
void setBoardLocalFileTime(int64_t fileTime);
// The zone the kernel converts by: one a program set and nobody flushed yet, else board.json's.
TimeZoneConfig currentTimeZone();
// What SetTimeZoneInformation does, with the record's name kept (vboard's zone names): the zone
// goes into the registry's RAM (a flush writes it to board.json), the clock keeps its local time,
// and the notification service raises the zone-change event.
void setKernelTimeZone(const TimeZoneConfig& zone);

// The notification service's reaction to an event (NOTIFICATION_EVENT_TIME_CHANGE,
// NOTIFICATION_EVENT_TZ_CHANGE): starts every application registered for it, with its arguments,
// as a new process on this board. Returns the host process IDs it started (they run on; nobody
// waits for them here).
std::vector<int> notifyEvent(uint32_t event);
std::vector<int> notifyTimeChanged();
// Waits for processes started by the notification service; returns their exit codes in the same
// order (128 + N for a process ended by signal N).
std::vector<int> waitForStartedApps(const std::vector<int>& pids);

// A tool that waits for what the notification service starts (vboard set-time) may ask for the
// standard error of each program in a file of its own in `dir` ("": inherited, the default), to
// tell what became of it.
void captureStartedAppsOutput(const std::string& dir);
struct StartedApp {
    int pid = 0;
    std::string app;  // device path
    std::optional<std::string> args;
    std::string outputFile;  // its standard error, when captured
};
// The programs the notification service of this process has started, oldest first.
const std::vector<StartedApp>& startedApps();

// ---- The kernel's start-up: the programs of [HKEY_LOCAL_MACHINE\init] -------------------------
// One launch as the registry lists it: LaunchNN names the program, DependNN (two bytes a launch
// number, low byte first) the launches that must have called SignalStarted before it starts.
struct InitLaunch {
    uint32_t number = 0;
    std::string program;            // LaunchNN's text as written
    std::vector<uint32_t> depends;  // from DependNN
    std::string problem;            // why the kernel cannot start it as written ("" when it can)
};
// The launches of [HKEY_LOCAL_MACHINE\init] in `registry`, in the order the kernel takes them
// (ascending); `notes` gets what the kernel ignores (a DependNN without its LaunchNN, other values).
std::vector<InitLaunch> initLaunches(const reg::Registry& registry, std::vector<std::string>* notes);

// What became of one launch at boot.
struct InitOutcome {
    enum class Kind {
        Platform,      // one of the platform's own programs (device.exe, gwes.exe, ...): it signals at once
        Started,       // a program of the board, started with its launch number as the command line
        NotFound,      // the board knows no such program: reported and skipped, as the platform does
        NotStarted,    // the kernel could not start it (a malformed value, a program that would not run)
        NeverStarted,  // it waits for a launch that will never signal: the start-up stops there
    };
    InitLaunch launch;
    Kind kind = Kind::NotFound;
    std::string devicePath;       // the program's device path ("" when none)
    int pid = 0;                  // Started
    bool signalled = false;       // it has called SignalStarted with its number (as far as was waited)
    std::optional<int> exitCode;  // Started: when it ended while the start-up waited for it
    std::string why;              // NotFound, NotStarted, NeverStarted
    std::string outputFile;       // its standard error, when captured
};
struct InitStartUp {
    bool registryReadable = true;
    std::vector<std::string> notes;  // values the kernel ignores, more than 32 launches
    std::vector<InitOutcome> outcomes;
};
// The kernel's start-up on this board, as the platform does it at boot: each launch in ascending
// order, each only once every launch in its DependNN has called SignalStarted; the program gets
// its launch number as its command line. A program the board does not know (board.json "apps",
// a name without a path looked for in \Windows) is reported and skipped; the platform's own
// programs signal at once. A launch that waits for one that will never signal (skipped, ended
// without signalling, not in the registry, or later in the order) stops the start-up there, as
// the platform's would wait for ever. `report` is told of each launch as it is made or given up;
// `stillWaiting` once for a launch whose dependency has not signalled after 10 s. Standard error
// of each program goes to a file of its own in `captureDir` unless it is "".
InitStartUp runInitStartUp(const std::string& captureDir,
                           const std::function<void(const InitOutcome&)>& report,
                           const std::function<void(const InitOutcome&, uint32_t)>& stillWaiting);

// ---- The registry ----------------------------------------------------------------------------------
// Writes what programs set in the registry but did not flush into registry.reg, and a zone set
// and not flushed into board.json (RegFlushKey).
void flushRegistry();

// ---- The notification database, from outside a program ---------------------------------------
// Every registration, oldest first.
std::vector<NotificationRecord> listNotifications();
// Adds a registration with a new handle and returns that handle. The record is checked as the
// platform checks a trigger; a record it would refuse throws BoardError saying why.
uint32_t addNotification(const NotificationRecord& record);
// Removes one registration; false when no registration has that handle.
bool clearNotification(uint32_t handle);

}  // namespace sim
