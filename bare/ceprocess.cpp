// The platform services a whole program (Tamblin.exe) needs beyond the driver layers' calls: the
// registry, the system clock and time zone, the notification database, local memory, the module
// name, the C run-time's wide-string routines, and the end of the process. Small and fixed: one
// board, one program, its configuration written here.
#include <notify.h>
#include <windows.h>

#include "bare_platform.h"
#include "board.h"

namespace {

// ---- Registry: the values this board's image would carry in platform.reg --------------------

struct RegEntry {
    const WCHAR* key;  // below HKEY_LOCAL_MACHINE
    const WCHAR* name;
    DWORD value;
    bool present;
};

// Protocol 1 (the ds1338 on the standard unit's bus at 0x68, as device/tamblin.reg fills in), and
// automatic daylight saving; I2CBus only for the checks of a chip on the power-manager unit's bus.
const WCHAR kProgramKey[] = u"SOFTWARE\\Vorlack\\Tamblin";
const WCHAR kClockKey[] = u"Software\\Microsoft\\Clock";
RegEntry g_registry[] = {
    {kProgramKey, u"Protocol", 1, true},
    {kProgramKey, u"SlaveAddr", 0x68, true},
    {kProgramKey, u"I2CBus", 0, false},
    {kClockKey, u"AutoDST", 1, true},
};
constexpr DWORD kRegEntries = sizeof g_registry / sizeof g_registry[0];
const WCHAR* const kKeys[] = {kProgramKey, kClockKey};
constexpr uintptr_t kKeyHandleBase = 0x2000;

WCHAR Upper(WCHAR c) {
    return (c >= u'a' && c <= u'z') ? (WCHAR)(c - u'a' + u'A') : c;
}

int CompareIgnoringCase(const WCHAR* a, const WCHAR* b) {
    while (*a && Upper(*a) == Upper(*b)) ++a, ++b;
    return (int)Upper(*a) - (int)Upper(*b);
}

const WCHAR* KeyOf(HKEY key) {
    const uintptr_t i = (uintptr_t)key - kKeyHandleBase;
    return i < sizeof kKeys / sizeof kKeys[0] ? kKeys[i] : nullptr;
}

// ---- Time ------------------------------------------------------------------------------------

constexpr uint64_t kFileTimePerMs = 10000;  // file time counts 100 ns
uint64_t g_clockFileTime;                   // the system clock (UTC) as last set ...
uint32_t g_clockSetTick;                    // ... at this OS timer count
BareProcessRecord g_record;

bool Leap(uint32_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}
uint32_t DaysIn(uint32_t y, uint32_t m) {
    static const uint8_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return kDays[m - 1] + (m == 2 && Leap(y) ? 1 : 0);
}

// ---- Notifications ---------------------------------------------------------------------------

constexpr DWORD kMaxNotifications = 8;
constexpr DWORD kMaxText = MAX_PATH;
struct Notification {
    DWORD handle;  // 0: free
    DWORD type, event;
    WCHAR application[kMaxText];
    WCHAR arguments[kMaxText];
    BOOL hasArguments;
};
Notification g_notifications[kMaxNotifications];
DWORD g_nextNotification = 1;

DWORD Length(const WCHAR* s) {
    DWORD n = 0;
    while (s[n]) ++n;
    return n;
}

bool CopyText(WCHAR* to, const WCHAR* from) {
    const DWORD n = Length(from);
    if (n >= kMaxText) return false;
    for (DWORD i = 0; i <= n; ++i) to[i] = from[i];
    return true;
}

Notification* NotificationOf(HANDLE h) {
    for (Notification& n : g_notifications)
        if (n.handle != 0 && n.handle == (DWORD)(uintptr_t)h) return &n;
    return nullptr;
}

// ---- Local memory: a small arena, given back whole when nothing is allocated -----------------

alignas(8) uint8_t g_heap[16384];
uint32_t g_heapUsed, g_heapLive;

}  // namespace

const BareProcessRecord& BareGetProcessRecord(void) {
    return g_record;
}

DWORD BareNotificationCount(void) {
    DWORD n = 0;
    for (const Notification& e : g_notifications) n += e.handle != 0;
    return n;
}

bool BareNotification(DWORD index, const WCHAR** application, const WCHAR** arguments) {
    for (const Notification& e : g_notifications) {
        if (e.handle == 0 || index-- != 0) continue;
        *application = e.application;
        *arguments = e.hasArguments ? e.arguments : nullptr;
        return true;
    }
    return false;
}

LONG RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (root != HKEY_LOCAL_MACHINE || !subKey) return ERROR_FILE_NOT_FOUND;
    for (DWORD i = 0; i < sizeof kKeys / sizeof kKeys[0]; ++i) {
        if (CompareIgnoringCase(kKeys[i], subKey) == 0) {
            *result = (HKEY)(kKeyHandleBase + i);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    const WCHAR* path = KeyOf(key);
    if (!path) return ERROR_INVALID_HANDLE;
    if (!name || (data && !size)) return ERROR_INVALID_PARAMETER;
    for (DWORD i = 0; i < kRegEntries; ++i) {
        const RegEntry& e = g_registry[i];
        if (!e.present || e.key != path || CompareIgnoringCase(e.name, name) != 0) continue;
        if (type) *type = REG_DWORD;
        if (data && *size < sizeof(DWORD)) {
            *size = sizeof(DWORD);
            return ERROR_MORE_DATA;
        }
        if (data) {
            for (int b = 0; b < 4; ++b) data[b] = (BYTE)(e.value >> (8 * b));
        }
        if (size) *size = sizeof(DWORD);
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

void BareSetProgramValue(const WCHAR* name, DWORD value) {
    for (DWORD i = 0; i < kRegEntries; ++i) {
        RegEntry& e = g_registry[i];
        if (e.key != kProgramKey || CompareIgnoringCase(e.name, name) != 0) continue;
        e.value = value;
        e.present = true;
    }
}

LONG RegCloseKey(HKEY key) {
    return KeyOf(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// The image's registry is fixed: its keys open, nothing new is kept.
LONG RegCreateKeyExW(HKEY root, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM sam, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition) {
    const LONG r = RegOpenKeyExW(root, subKey, 0, sam, result);
    if (r == ERROR_FILE_NOT_FOUND) return ERROR_ACCESS_DENIED;
    if (r == ERROR_SUCCESS && disposition) *disposition = REG_OPENED_EXISTING_KEY;
    return r;
}

LONG RegSetValueExW(HKEY key, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) {
    return KeyOf(key) ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
}

LONG RegFlushKey(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || KeyOf(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* t, LPFILETIME ft) {
    if (!t || !ft || t->wYear < 1601 || t->wYear > 30827 || t->wMonth < 1 || t->wMonth > 12 || t->wDay < 1 ||
        t->wDay > DaysIn(t->wYear, t->wMonth) || t->wHour > 23 || t->wMinute > 59 || t->wSecond > 59 ||
        t->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t days = 0;
    for (uint32_t y = 1601; y < t->wYear; ++y) days += Leap(y) ? 366 : 365;
    for (uint32_t m = 1; m < t->wMonth; ++m) days += DaysIn(t->wYear, m);
    days += t->wDay - 1u;
    const uint64_t ms =
        ((days * 24 + t->wHour) * 60 + t->wMinute) * 60000ull + t->wSecond * 1000ull + t->wMilliseconds;
    const uint64_t value = ms * kFileTimePerMs;
    ft->dwLowDateTime = (DWORD)value;
    ft->dwHighDateTime = (DWORD)(value >> 32);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME t) {
    if (!ft || !t || (ft->dwHighDateTime & 0x80000000u)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t ms = ((((uint64_t)ft->dwHighDateTime) << 32) | ft->dwLowDateTime) / kFileTimePerMs;
    uint32_t days = (uint32_t)(ms / 86400000ull);
    uint32_t inDay = (uint32_t)(ms % 86400000ull);
    t->wDayOfWeek = (WORD)((days + 1) % 7);  // 1 January 1601 was a Monday
    uint32_t y = 1601;
    while (days >= (Leap(y) ? 366u : 365u)) days -= Leap(y++) ? 366 : 365;
    uint32_t m = 1;
    while (days >= DaysIn(y, m)) days -= DaysIn(y, m++);
    t->wYear = (WORD)y;
    t->wMonth = (WORD)m;
    t->wDay = (WORD)(days + 1);
    t->wHour = (WORD)(inDay / 3600000);
    t->wMinute = (WORD)(inDay / 60000 % 60);
    t->wSecond = (WORD)(inDay / 1000 % 60);
    t->wMilliseconds = (WORD)(inDay % 1000);
    return TRUE;
}

void GetSystemTime(LPSYSTEMTIME t) {
    const uint64_t elapsedMs = (BareTicks() - g_clockSetTick) / PXA_OSCR_TICKS_PER_MS;
    const uint64_t value = g_clockFileTime + elapsedMs * kFileTimePerMs;
    FILETIME ft = {(DWORD)value, (DWORD)(value >> 32)};
    FileTimeToSystemTime(&ft, t);
}

BOOL SetSystemTime(const SYSTEMTIME* t) {
    FILETIME ft;
    if (!SystemTimeToFileTime(t, &ft)) return FALSE;
    g_clockFileTime = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    g_clockSetTick = BareTicks();
    ++g_record.clockSets;
    return TRUE;
}

DWORD GetTickCount(void) {
    return BareTicks() / PXA_OSCR_TICKS_PER_MS;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (!count) return FALSE;
    count->QuadPart = BareTicks();  // the OS timer; it wraps after 22 minutes, longer than any run here
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (!frequency) return FALSE;
    frequency->QuadPart = PXA_OSCR_TICKS_PER_MS * 1000;
    return TRUE;
}

// Central European time, daylight saving from the last Sunday of March 02:00 to the last Sunday of
// October 03:00.
DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION tz) {
    if (!tz) return TIME_ZONE_ID_INVALID;
    *tz = TIME_ZONE_INFORMATION{};
    tz->Bias = -60;
    CopyText(tz->StandardName, u"W. Europe Standard Time");
    tz->StandardDate = SYSTEMTIME{0, 10, 0, 5, 3, 0, 0, 0};
    CopyText(tz->DaylightName, u"W. Europe Daylight Time");
    tz->DaylightDate = SYSTEMTIME{0, 3, 0, 5, 2, 0, 0, 0};
    tz->DaylightBias = -60;
    return g_record.daylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

void SetDaylightTime(DWORD daylight) {
    g_record.daylight = daylight;
    ++g_record.daylightSets;
}

void SignalStarted(DWORD dw) {
    ++g_record.startedSignals;
    g_record.lastStarted = dw;
}

BOOL CeRunAppAtTime(const WCHAR* name, SYSTEMTIME* time) {
    if (!name) return FALSE;
    if (time == nullptr) ++g_record.runAppAtTimeCancels;
    return TRUE;
}

HANDLE CeSetUserNotificationEx(HANDLE existing, CE_NOTIFICATION_TRIGGER* trigger, CE_USER_NOTIFICATION*) {
    if (existing || !trigger || trigger->dwSize != sizeof(CE_NOTIFICATION_TRIGGER) ||
        !trigger->lpszApplication) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    for (Notification& n : g_notifications) {
        if (n.handle) continue;
        if (!CopyText(n.application, trigger->lpszApplication) ||
            (trigger->lpszArguments && !CopyText(n.arguments, trigger->lpszArguments))) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        n.hasArguments = trigger->lpszArguments != nullptr;
        n.type = trigger->dwType;
        n.event = trigger->dwEvent;
        n.handle = g_nextNotification++;
        return (HANDLE)(uintptr_t)n.handle;
    }
    SetLastError(ERROR_OUTOFMEMORY);
    return nullptr;
}

BOOL CeGetUserNotificationHandles(HANDLE* handles, DWORD count, LPDWORD needed) {
    const DWORD n = BareNotificationCount();
    if (needed) *needed = n;
    if (count == 0) return TRUE;
    if (!handles || count < n) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DWORD i = 0;
    for (const Notification& e : g_notifications)
        if (e.handle) handles[i++] = (HANDLE)(uintptr_t)e.handle;
    return TRUE;
}

// The header, the trigger and its strings, in one buffer, as the platform returns them.
BOOL CeGetUserNotification(HANDLE h, DWORD size, LPDWORD needed, LPBYTE buffer) {
    Notification* n = NotificationOf(h);
    if (!n || !needed) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD appBytes = 2 * (Length(n->application) + 1);
    const DWORD argBytes = n->hasArguments ? 2 * (Length(n->arguments) + 1) : 0;
    const DWORD total =
        sizeof(CE_NOTIFICATION_INFO_HEADER) + sizeof(CE_NOTIFICATION_TRIGGER) + appBytes + argBytes;
    *needed = total;
    if (!buffer || size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* header = (CE_NOTIFICATION_INFO_HEADER*)buffer;
    auto* trigger = (CE_NOTIFICATION_TRIGGER*)(buffer + sizeof *header);
    WCHAR* app = (WCHAR*)(buffer + sizeof *header + sizeof *trigger);
    WCHAR* args = (WCHAR*)((BYTE*)app + appBytes);
    *trigger = CE_NOTIFICATION_TRIGGER{};
    trigger->dwSize = sizeof *trigger;
    trigger->dwType = n->type;
    trigger->dwEvent = n->event;
    CopyText(app, n->application);
    trigger->lpszApplication = app;
    if (n->hasArguments) {
        CopyText(args, n->arguments);
        trigger->lpszArguments = args;
    }
    header->hNotification = h;
    header->dwStatus = 0;
    header->pcent = trigger;
    header->pceun = nullptr;
    return TRUE;
}

BOOL CeClearUserNotification(HANDLE h) {
    Notification* n = NotificationOf(h);
    if (!n) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    n->handle = 0;
    return TRUE;
}

HLOCAL LocalAlloc(UINT flags, UINT bytes) {
    const uint32_t size = (bytes + 7u) & ~7u;
    if (size < bytes || size > sizeof g_heap - g_heapUsed) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    uint8_t* p = g_heap + g_heapUsed;
    g_heapUsed += size ? size : 8;
    ++g_heapLive;
    if (flags & LMEM_ZEROINIT)
        for (uint32_t i = 0; i < size; ++i) p[i] = 0;
    return p;
}

HLOCAL LocalFree(HLOCAL block) {
    if (block && g_heapLive && --g_heapLive == 0) g_heapUsed = 0;
    return nullptr;
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR name, DWORD size) {
    const WCHAR path[] = u"\\Windows\\Tamblin.exe";
    const DWORD length = sizeof path / sizeof path[0] - 1;
    if (!name || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const DWORD n = length < size ? length : size - 1;
    for (DWORD i = 0; i < n; ++i) name[i] = path[i];
    name[n] = 0;
    return n;
}

void ExitThread(DWORD code) {
    BareProcessEnd();
    BareEndProgram(code);
}

// The C run-time's routines on 16-bit characters, as COREDLL exports them (see coredll_imports.h).
extern "C" int tamblin_crt_wcscmp(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b) ++a, ++b;
    return (int)*a - (int)*b;
}

extern "C" int tamblin_crt__wcsicmp(const WCHAR* a, const WCHAR* b) {
    return CompareIgnoringCase(a, b);
}

extern "C" WCHAR* tamblin_crt__wcsupr(WCHAR* s) {
    for (WCHAR* p = s; p && *p; ++p) *p = Upper(*p);
    return s;
}
