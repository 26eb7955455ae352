// The platform stand-in's one header for the tools that work on a board beside its programs:
// vboard, the start-up code of a program, the tests. A program reaches the stand-in through the
// platform's own API (<windows.h>, <notify.h>, ...); a tool may use that too, and this for what
// the platform gives no call for: the board's clock without the notification service's reaction,
// the notification database from outside a program, the registry's file, the end of a process.
// The rest of sim/ceapi is the stand-in's own.
#pragma once

#include "layer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// ---- The system clock -------------------------------------------------------------------------
// The board's system clock (UTC) as a file time, and setting it without the notification
// service's reaction (board initialisation).
int64_t boardSystemFileTime();
void setBoardSystemFileTime(int64_t fileTime);

// The notification service's reaction to a change of the system time: starts every application
// registered for the time-change event, with its arguments, as a new process on this board.
// Returns the host process IDs it started (they run on; nobody waits for them here).
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

// ---- The notification database, from outside a program ---------------------------------------
// Every registration, oldest first.
std::vector<NotificationRecord> listNotifications();
// Adds a registration with a new handle and returns that handle. The record is checked as the
// platform checks a trigger; a record it would refuse throws BoardError saying why.
uint32_t addNotification(const NotificationRecord& record);
// Removes one registration; false when no registration has that handle.
bool clearNotification(uint32_t handle);

}  // namespace sim
