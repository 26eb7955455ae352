// The system clock, time conversions, the time zone and the kernel's daylight flag.
//
// The board's system clock is the state's systemClock: the UTC file time it was set to and the
// host's file time at that moment. On a running board it advances with the host; on a frozen one
// it stands at the time it was set to.
#include <cstring>
#include <string>

#include "../board/board.h"
#include "../board/calendar.h"
#include "../board/simtime.h"
#include "kernel_objects.h"
#include "tools_api.h"

namespace sim {

namespace {

bool hasDaylightRules(const TimeZoneConfig& z) {
    return z.standardDate.month != 0 && z.daylightDate.month != 0;
}

void copyName(const std::string& utf8, WCHAR (&out)[32]) {
    std::memset(out, 0, sizeof out);
    const std::u16string w = fromUtf8(utf8);
    for (size_t i = 0; i < w.size() && i < 31; ++i) out[i] = w[i];
}

}  // namespace

SysTime fromSystemTime(const SYSTEMTIME& t) {
    return SysTime{t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

SYSTEMTIME toSystemTime(const SysTime& s) {
    return SYSTEMTIME{s.year, s.month, s.dayOfWeek, s.day, s.hour, s.minute, s.second, s.milliseconds};
}

int64_t boardSystemFileTime() {
    const Board& board = Board::current();
    const SystemClockState clock = board.readState().systemClock;
    if (board.config().frozen) return clock.fileTime;
    return clock.fileTime + (hostFileTimeNow() - clock.atHost);
}

void setBoardSystemFileTime(int64_t fileTime) {
    const int64_t host = hostFileTimeNow();
    Board::current().updateState([&](BoardState& s) { s.systemClock = SystemClockState{fileTime, host}; });
}

}  // namespace sim

using namespace sim;

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    if (!lpSystemTime || !lpFileTime || !validSysTime(fromSystemTime(*lpSystemTime))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t ft = static_cast<uint64_t>(fileTimeOf(fromSystemTime(*lpSystemTime)));
    lpFileTime->dwLowDateTime = static_cast<DWORD>(ft);
    lpFileTime->dwHighDateTime = static_cast<DWORD>(ft >> 32);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (!lpFileTime || !lpSystemTime || (lpFileTime->dwHighDateTime & 0x80000000u)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpSystemTime = toSystemTime(sysTimeOf(static_cast<int64_t>(
        (static_cast<uint64_t>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime)));
    return TRUE;
}

void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    if (!lpSystemTime) boardFault("GetSystemTime with a null record: the device would take a data abort");
    int64_t now;
    try {
        now = boardSystemFileTime();
    } catch (const std::exception& e) {
        boardFault(std::string("GetSystemTime: ") + e.what());
    }
    if (now < 0) boardFault("GetSystemTime: the board's system clock lies before 1601");
    *lpSystemTime = toSystemTime(sysTimeOf(now));
}

BOOL SetSystemTime(const SYSTEMTIME* lpSystemTime) {
    FILETIME ft;
    if (!SystemTimeToFileTime(lpSystemTime, &ft)) return FALSE;  // last error already set
    setBoardSystemFileTime(
        static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime));
    notifyTimeChanged();
    return TRUE;
}

DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION tzi) {
    if (!tzi) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return TIME_ZONE_ID_INVALID;
    }
    const Board& board = Board::current();
    const TimeZoneConfig& z = board.config().timeZone;
    std::memset(tzi, 0, sizeof *tzi);
    tzi->Bias = z.bias;
    copyName(z.standardName, tzi->StandardName);
    tzi->StandardDate = toSystemTime(z.standardDate);
    tzi->StandardBias = z.standardBias;
    copyName(z.daylightName, tzi->DaylightName);
    tzi->DaylightDate = toSystemTime(z.daylightDate);
    tzi->DaylightBias = z.daylightBias;
    if (!hasDaylightRules(z)) return TIME_ZONE_ID_UNKNOWN;
    return board.readState().daylight.value_or(false) ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

void SetDaylightTime(DWORD dst) {
    Board::current().updateState([&](BoardState& s) { s.daylight = dst != 0; });
}
