// The daylight-saving decision for a UTC time about to be set.
#pragma once

#include <windows.h>

// 0 = the zone has no daylight rules, 1 = standard time, 2 = daylight time; tells the kernel
// through SetDaylightTime for 1 and 2.
int EvaluateDaylightTime(const SYSTEMTIME* utc, SYSTEMTIME* localOut);
BOOL HasDaylightRules(const TIME_ZONE_INFORMATION* tzi);
DWORD IsAutoDstEnabled(void);
int ResolveTransitionDate(SYSTEMTIME* rule, WORD year);
WORD FirstWeekdayOfMonth(const SYSTEMTIME* record);
