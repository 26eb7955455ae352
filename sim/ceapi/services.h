// Services of the board's operating system that several parts of the stand-in use.
#pragma once

#include "layer.h"

#include <windows.h>

#include <string>
#include <vector>

namespace sim {

// The notification service's reaction to a change of the system time: starts every application
// registered for the time-change event, with its arguments, as a new process on this board.
// Returns the host process IDs it started (they run on; nobody waits for them here).
std::vector<int> notifyTimeChanged();

// Waits for processes started by the notification service (vboard, tests); returns their exit
// codes in the same order.
std::vector<int> waitForStartedApps(const std::vector<int>& pids);

// The board's system clock (UTC) as a file time, and setting it without the notification
// service's reaction (board initialisation).
int64_t boardSystemFileTime();
void setBoardSystemFileTime(int64_t fileTime);

}  // namespace sim
