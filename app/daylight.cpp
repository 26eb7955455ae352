#include "daylight.h"

#include "filetime.h"

static const WCHAR kClockKey[] = TEXT("Software\\Microsoft\\Clock");

// The zone's rules are taken as valid: a date that does not convert counts as the first file time.
static LONGLONG Units(const SYSTEMTIME* st) {
    LONGLONG units = UnitsOf(st);
    return units < 0 ? 0 : units;
}

static LONGLONG Minutes(LONG minutes) {
    return (LONGLONG)minutes * APP_UNITS_PER_MINUTE;
}

BOOL HasDaylightRules(const TIME_ZONE_INFORMATION* tzi) {
    return tzi->StandardDate.wMonth != 0 && tzi->DaylightDate.wMonth != 0;
}

DWORD IsAutoDstEnabled(void) {
    HKEY key = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClockKey, 0, 0, &key) != ERROR_SUCCESS) return 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key, TEXT("AutoDST"), 0, 0, (LPBYTE)&value, &size) != ERROR_SUCCESS) value = 0;
    RegCloseKey(key);
    return value;
}

WORD FirstWeekdayOfMonth(const SYSTEMTIME* record) {
    SYSTEMTIME copy = *record;
    copy.wDayOfWeek = 0;
    copy.wDay = 1;
    // The platform fills in the weekday on the way back.
    FILETIME ft;
    SystemTimeToFileTime(&copy, &ft);
    FileTimeToSystemTime(&ft, &copy);
    return copy.wDayOfWeek;
}

int ResolveTransitionDate(SYSTEMTIME* rule, WORD year) {
    SYSTEMTIME copy = *rule;
    if (copy.wYear == 0) {
        copy.wYear = year;
        rule->wYear = year;
    }
    WORD first = FirstWeekdayOfMonth(&copy);
    WORD target = rule->wDayOfWeek;
    copy.wDay = (WORD)(first <= target ? target - first + 1 : target - first + 8);

    // Occurrence 5 means the last one: stop at the first step that leaves the month.
    for (WORD n = 2; n <= rule->wDay; ++n) {
        copy.wDay = (WORD)(copy.wDay + 7);
        FILETIME ft;
        if (!SystemTimeToFileTime(&copy, &ft)) {
            copy.wDay = (WORD)(copy.wDay - 7);
            break;
        }
    }
    *rule = copy;
    return 1;
}

int EvaluateDaylightTime(const SYSTEMTIME* utc, SYSTEMTIME* localOut) {
    TIME_ZONE_INFORMATION tzi;
    GetTimeZoneInformation(&tzi);

    LONGLONG now = Units(utc);
    if (!HasDaylightRules(&tzi)) {
        if (localOut) SystemTimeOfUnits(now - Minutes(tzi.Bias), localOut);
        return 0;
    }

    // The rules are resolved in the UTC year of the time being evaluated.
    if (tzi.StandardDate.wYear == 0) ResolveTransitionDate(&tzi.StandardDate, utc->wYear);
    if (tzi.DaylightDate.wYear == 0) ResolveTransitionDate(&tzi.DaylightDate, utc->wYear);

    // StandardDate is given in local daylight time, DaylightDate in local standard time.
    LONGLONG stdStart = Units(&tzi.StandardDate) + Minutes(tzi.Bias + tzi.DaylightBias);
    LONGLONG dstStart = Units(&tzi.DaylightDate) + Minutes(tzi.Bias);

    int daylight = 0;
    if (IsAutoDstEnabled()) {
        if (dstStart <= stdStart)
            daylight = dstStart <= now && now <= stdStart;
        else  // the daylight period spans the new year (southern hemisphere)
            daylight = now >= dstStart || now <= stdStart;
    }

    if (daylight) {
        if (localOut) SystemTimeOfUnits(now - Minutes(tzi.Bias + tzi.DaylightBias), localOut);
        SetDaylightTime(1);
        return 2;
    }
    if (localOut) SystemTimeOfUnits(now - Minutes(tzi.Bias + tzi.StandardBias), localOut);
    SetDaylightTime(0);
    return 1;
}
