// The time synchronisation application: configuration, time-change registration and the
// daylight-saving decision. The entry point is WinMain (main.cpp).
#pragma once

#include <windows.h>

#define APP_RUN_AFTER_TIME_CHANGE TEXT("AppRunAfterTimeChange")
#define APP_MODULE_PATH_CHARS 260
#define APP_CLEANUP_RETRY_MS 5000     // how long the boot retries the clean-up of old registrations
#define APP_CLEANUP_PAUSE_MAX_MS 256  // its pauses double from 1 ms up to this
#define APP_BUS_RETRY_MS 30000        // how long both paths try again to open a bus another driver holds
#define APP_BUS_PAUSE_FIRST_MS 250    // the first pause between those tries; it doubles
#define APP_BUS_PAUSE_MAX_MS 4000     // up to this

// Registry configuration: protocol number and chip address.
void ReadRtcConfig(DWORD* protocolOut, DWORD* slaveAddrOut);
// Clears every registration whose application path has `fileName` as its file name, in any letter
// case.
int ClearOwnNotifications(const WCHAR* fileName);
// Registers `modulePath` to be started with "AppRunAfterTimeChange" after every time change.
int RegisterTimeChangeNotification(WCHAR* modulePath);
// The part of `path` after its last "\" or "/" (the whole path when it has neither).
const WCHAR* FileNamePart(const WCHAR* path);

// Daylight-saving decision for a UTC time about to be set: 0 = the zone has no daylight rules,
// 1 = standard time, 2 = daylight time; tells the kernel through SetDaylightTime for 1 and 2.
int EvaluateDaylightTime(const SYSTEMTIME* utc, SYSTEMTIME* localOut);
BOOL HasDaylightRules(const TIME_ZONE_INFORMATION* tzi);
DWORD IsAutoDstEnabled(void);
int ResolveTransitionDate(SYSTEMTIME* rule, WORD year);
WORD FirstWeekdayOfMonth(const SYSTEMTIME* record);
