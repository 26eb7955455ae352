// Time on the virtual board.
//
// Two clocks matter. The board's wall clocks (the system clock and each chip's clock) follow the
// host's real time, or stand still on a frozen board. The process's own timing (tick count, the OS
// timer counter, bus timing, Sleep and wait timeouts) is board uptime in nanoseconds: real time on
// a normal board, and on a frozen board a virtual time that moves only when the simulation says
// so (a sleep, a wait, a register access), which makes every run replayable.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "calendar.h"

namespace sim {

// Host wall clock as a file time (100 ns units since 1601-01-01 UTC).
int64_t hostFileTimeNow();

// The board's true time, the reference its clocks gain or lose against: the host's clock, or on a
// board with virtual clocks ("clock": "virtual") its power-on time plus its virtual uptime, so
// that its system clock and chips run on the same virtual time as its processes.
int64_t boardNow();
// The board's true time at uptime `ns` (the bus computes its edges ahead of the present).
int64_t boardTimeAtUptime(uint64_t ns);
// Lets `ns` of the board's time pass at once (a board with virtual clocks): its uptime moves on,
// and its clocks with it.
void skipBoardTime(uint64_t ns);

// Board uptime in nanoseconds, real or virtual.
uint64_t nowNs();
bool virtualTiming();
// Virtual timing: moves the clock forward (the cost of an access). Real timing: nothing.
void advanceNs(uint64_t ns);
// Waits until uptime `t`: sleeps on a real board, jumps on a frozen one.
void sleepUntilNs(uint64_t t);

// Device events in board time, for models whose effects appear later (a byte completing on the
// bus, the notification service becoming ready). They run from runDue(), which every register
// access and every wait calls first.
using EventId = uint64_t;
EventId scheduleAt(uint64_t atNs, std::function<void()> fn);
void cancelEvent(EventId id);
void runDue();
std::optional<uint64_t> nextEventNs();

// Called once when the process starts and ends (start-up code, vboard): loads and saves the
// board's virtual uptime.
void timeStartProcess();
void timeEndProcess();
// A tool that waited for programs on a board with virtual time takes up the uptime they reached.
void timeSyncWithBoard();
// Tests: forget every pending event and restart the process clock from the board.
void timeResetForTests();

}  // namespace sim
