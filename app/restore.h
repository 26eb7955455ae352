// The restore path, at boot: the chip's time to the system clock, and the registrations that
// bring the program back after each change of the time or of the zone.
#pragma once

#include "notification.h"
#include "chip_run.h"

// Holding the bus: reads the chip into `run->time`, or says why there is no time to restore.
int ReadForRestore(ChipRun* run);
// After the bus is let go: the clock set from the chip's time, the way `run->way` takes it, and
// the registrations made.
void Restore(ChipRun* run);

// Before the boot touches the clock or registers: its own path, the notification service up, the
// registrations of earlier boots gone.
void PrepareRegistration(WCHAR* modulePath);
// A zone change keeps the local time and moves UTC, which the chip holds: it must reach the chip
// as a time change does.
void RegisterForTimeChanges(WCHAR* modulePath);
