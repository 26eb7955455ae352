#include "notification.h"

#include <notify.h>

const WCHAR* FileNamePart(const WCHAR* path) {
    const WCHAR* name = path;
    for (const WCHAR* p = path; *p; ++p) {
        if (*p == TEXT('\\') || *p == TEXT('/')) name = p + 1;
    }
    return name;
}

// Examines one registration and clears it when it is this program's: 1 when examined (`result`
// then gets the clear's result, if one was made), 0 when it could not be examined.
static int ClearIfOwn(HANDLE handle, const WCHAR* fileName, int* result) {
    DWORD needed = 0;
    CeGetUserNotification(handle, 0, &needed, 0);
    BYTE* info = (BYTE*)LocalAlloc(LMEM_FIXED, needed);
    if (info == 0) return 0;
    if (CeGetUserNotification(handle, needed, &needed, info)) {
        const CE_NOTIFICATION_INFO_HEADER* header = (const CE_NOTIFICATION_INFO_HEADER*)info;
        const CE_NOTIFICATION_TRIGGER* trigger = header->pcent;
        // The file system ignores letter case, so an older build's "\windows\tamblin.exe" is
        // this program; "NOTTAMBLIN.EXE" or "TAMBLIN.EXE.BAK" only contain its name.
        if (trigger != 0 && trigger->lpszApplication != 0 &&
            _wcsicmp(FileNamePart(trigger->lpszApplication), fileName) == 0) {
            *result = CeClearUserNotification(handle);
        }
    }
    LocalFree(info);
    return 1;
}

int ClearOwnNotifications(const WCHAR* fileName) {
    // An empty name would match every path that ends in a separator: nothing is this program's.
    if (fileName == 0 || fileName[0] == 0) return 1;

    DWORD count = 0;
    if (!CeGetUserNotificationHandles(0, 0, &count)) return 0;

    HANDLE* handles = (HANDLE*)LocalAlloc(LMEM_FIXED, count * sizeof(HANDLE));
    if (handles == 0 && count != 0) return 0;
    int result = CeGetUserNotificationHandles(handles, count, &count);
    if (!result) {
        LocalFree(handles);
        return 0;
    }

    // A registration that could not be examined may be one of ours: the call has failed even if
    // a later clear succeeds, so that the caller tries again rather than registering twice.
    int unexamined = 0;
    for (DWORD i = count; i > 0; --i) {
        if (!ClearIfOwn(handles[i - 1], fileName, &result)) unexamined = 1;
    }

    LocalFree(handles);
    return unexamined ? 0 : result;
}

static int RegisterForEvent(WCHAR* modulePath, DWORD event, const WCHAR* arguments) {
    CE_NOTIFICATION_TRIGGER trigger;
    trigger.dwSize = sizeof(CE_NOTIFICATION_TRIGGER);
    trigger.dwType = CNT_EVENT;
    trigger.dwEvent = event;
    trigger.lpszApplication = modulePath;
    trigger.lpszArguments = (WCHAR*)arguments;
    // An event trigger has no start or end time.
    HANDLE handle = CeSetUserNotificationEx(0, &trigger, 0);
    return handle != 0 ? 1 : 0;
}

int RegisterTimeChangeNotification(WCHAR* modulePath) {
    return RegisterForEvent(modulePath, NOTIFICATION_EVENT_TIME_CHANGE, APP_RUN_AFTER_TIME_CHANGE);
}

int RegisterZoneChangeNotification(WCHAR* modulePath) {
    return RegisterForEvent(modulePath, NOTIFICATION_EVENT_TZ_CHANGE, APP_RUN_AFTER_TZ_CHANGE);
}

int LaunchNumberOf(const WCHAR* commandLine, DWORD* number) {
    if (commandLine == 0 || commandLine[0] == 0) return 0;
    DWORD n = 0;
    for (const WCHAR* p = commandLine; *p; ++p) {
        if (*p < TEXT('0') || *p > TEXT('9')) return 0;
        DWORD digit = (DWORD)(*p - TEXT('0'));
        // No launch number the kernel gives is beyond 32 bits.
        if (n > (0xFFFFFFFFu - digit) / 10) return 0;
        n = n * 10 + digit;
    }
    *number = n;
    return 1;
}
