// The program's registrations with the notification service, and what the kernel's start-up
// hands it on its command line.
#pragma once

#include <windows.h>

#define APP_RUN_AFTER_TIME_CHANGE TEXT("AppRunAfterTimeChange")
#define APP_RUN_AFTER_TZ_CHANGE TEXT("AppRunAfterTzChange")
#define APP_MODULE_PATH_CHARS 260

// Clears every registration whose application path has `fileName` as its file name, in any letter
// case.
int ClearOwnNotifications(const WCHAR* fileName);
// Registers `modulePath` to be started with "AppRunAfterTimeChange" after every time change.
int RegisterTimeChangeNotification(WCHAR* modulePath);
// Registers `modulePath` to be started with "AppRunAfterTzChange" after every change of the time
// zone, which keeps the local time and moves UTC.
int RegisterZoneChangeNotification(WCHAR* modulePath);
// A command line of decimal digits alone is the launch number the kernel gives a program it starts
// from [HKEY_LOCAL_MACHINE\init]: 1 and the number in `number`; 0 for any other command line.
int LaunchNumberOf(const WCHAR* commandLine, DWORD* number);
// The part of `path` after its last "\" or "/" (the whole path when it has neither).
const WCHAR* FileNamePart(const WCHAR* path);
