// The system clock, time conversions, the time zone and the kernel's daylight flag.
//
// As on the platform, the kernel keeps its clock in local time (the OAL's real-time clock holds
// local time): the state's systemClock is the local file time it was set to and the board's true
// time at that moment (the host's clock, or a board's virtual time). It advances with that time;
// on a frozen board it stands at the time it was set to. UTC is derived from it with the zone
// record and the daylight flag (UTC = local + bias), so a change of the zone or of the flag keeps
// the local time and moves UTC. The zone is board.json's record (the registry's persistent copy),
// unless a program set another that nobody has flushed yet (state.json timeZoneNotFlushed).
#include <notify.h>

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

int64_t minutes(int32_t m) {
    return static_cast<int64_t>(m) * kFileTimeUnitsPerMinute;
}

TimeZoneConfig kernelZone(const Board& board, const BoardState& s) {
    return s.timeZoneNotFlushed ? *s.timeZoneNotFlushed : board.persistedTimeZone();
}

// The kernel's clock (local time) now.
int64_t localNow(const Board& board, const BoardState& s) {
    const SystemClockState& clock = s.systemClock;
    if (board.config().clocksStill()) return clock.local;
    return clock.local + (boardNow() - clock.atHost);
}

int64_t biasNow(const Board& board, const BoardState& s) {
    return minutes(zoneBiasMinutes(kernelZone(board, s), s.daylight.value_or(false)));
}

// A record the board's files could not hold is one the platform's own tools would not make.
bool zoneRecordProblem(const TIME_ZONE_INFORMATION& tzi) {
    auto badBias = [](LONG b) { return b < -kMaxBiasMinutes || b > kMaxBiasMinutes; };
    auto badChange = [](const SYSTEMTIME& t) {
        if (t.wMonth == 0) return false;
        if (t.wMonth > 12 || t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 || t.wMilliseconds > 999)
            return true;
        if (t.wYear == 0) return t.wDay < 1 || t.wDay > 5 || t.wDayOfWeek > 6;
        return !validDate(t.wYear, t.wMonth, t.wDay);
    };
    return badBias(tzi.Bias) || badBias(tzi.StandardBias) || badBias(tzi.DaylightBias) ||
           badChange(tzi.StandardDate) || badChange(tzi.DaylightDate);
}

std::string nameOf(const WCHAR (&name)[32]) {
    size_t n = 0;
    while (n < 31 && name[n]) ++n;
    return toUtf8(std::u16string(name, name + n));
}

}  // namespace

SysTime fromSystemTime(const SYSTEMTIME& t) {
    return SysTime{t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

SYSTEMTIME toSystemTime(const SysTime& s) {
    return SYSTEMTIME{s.year, s.month, s.dayOfWeek, s.day, s.hour, s.minute, s.second, s.milliseconds};
}

TimeZoneConfig currentTimeZone() {
    const Board& board = Board::current();
    return kernelZone(board, board.readState());
}

int64_t boardLocalFileTime() {
    const Board& board = Board::current();
    return localNow(board, board.readState());
}

int64_t boardSystemFileTime() {
    const Board& board = Board::current();
    const BoardState s = board.readState();
    return localNow(board, s) + biasNow(board, s);
}

void setBoardSystemFileTime(int64_t fileTime) {
    const int64_t host = boardNow();
    const Board& board = Board::current();
    board.updateState([&](BoardState& s) {
        s.systemClock = SystemClockState{fileTime - biasNow(board, s), host};
    });
}

void setBoardLocalFileTime(int64_t fileTime) {
    const int64_t host = boardNow();
    Board::current().updateState([&](BoardState& s) { s.systemClock = SystemClockState{fileTime, host}; });
}

void setKernelTimeZone(const TimeZoneConfig& zone) {
    // The clock keeps its local time; UTC moves by the difference of the two zones' biases.
    Board::current().updateState([&](BoardState& s) { s.timeZoneNotFlushed = zone; });
    notifyEvent(NOTIFICATION_EVENT_TZ_CHANGE);
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

namespace {

// GetSystemTime and GetLocalTime: the clock as `read` gives it, in UTC or local time.
void readClock(const char* call, int64_t (*read)(), LPSYSTEMTIME out) {
    if (!out) boardFault(std::string(call) + " with a null record: the device would take a data abort");
    int64_t now;
    try {
        now = read();
    } catch (const std::exception& e) {
        boardFault(std::string(call) + ": " + e.what());
    }
    if (now < 0) boardFault(std::string(call) + ": the board's system clock lies before 1601");
    *out = toSystemTime(sysTimeOf(now));
}

// SetSystemTime and SetLocalTime: `set` takes the time as a file time; the programs registered for
// time changes start.
BOOL setClock(const SYSTEMTIME* time, void (*set)(int64_t)) {
    FILETIME ft;
    if (!SystemTimeToFileTime(time, &ft)) return FALSE;  // last error already set
    set(static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime));
    notifyTimeChanged();
    return TRUE;
}

}  // namespace

void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    readClock("GetSystemTime", boardSystemFileTime, lpSystemTime);
}

BOOL SetSystemTime(const SYSTEMTIME* lpSystemTime) {
    return setClock(lpSystemTime, setBoardSystemFileTime);
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    readClock("GetLocalTime", boardLocalFileTime, lpSystemTime);
}

BOOL SetLocalTime(const SYSTEMTIME* lpSystemTime) {
    return setClock(lpSystemTime, setBoardLocalFileTime);
}

DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION tzi) {
    if (!tzi) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return TIME_ZONE_ID_INVALID;
    }
    const Board& board = Board::current();
    const BoardState s = board.readState();
    const TimeZoneConfig z = kernelZone(board, s);
    std::memset(tzi, 0, sizeof *tzi);
    tzi->Bias = z.bias;
    copyName(z.standardName, tzi->StandardName);
    tzi->StandardDate = toSystemTime(z.standardDate);
    tzi->StandardBias = z.standardBias;
    copyName(z.daylightName, tzi->DaylightName);
    tzi->DaylightDate = toSystemTime(z.daylightDate);
    tzi->DaylightBias = z.daylightBias;
    if (!hasDaylightRules(z)) return TIME_ZONE_ID_UNKNOWN;
    return s.daylight.value_or(false) ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

BOOL SetTimeZoneInformation(const TIME_ZONE_INFORMATION* lpTimeZoneInformation) {
    if (!lpTimeZoneInformation || zoneRecordProblem(*lpTimeZoneInformation)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const TIME_ZONE_INFORMATION& tzi = *lpTimeZoneInformation;
    TimeZoneConfig zone;
    zone.bias = tzi.Bias;
    zone.standardName = nameOf(tzi.StandardName);
    zone.standardDate = fromSystemTime(tzi.StandardDate);
    zone.standardBias = tzi.StandardBias;
    zone.daylightName = nameOf(tzi.DaylightName);
    zone.daylightDate = fromSystemTime(tzi.DaylightDate);
    zone.daylightBias = tzi.DaylightBias;
    setKernelTimeZone(zone);
    return TRUE;
}

// The flag alone changes: the clock keeps its local time, and UTC moves by the daylight bias.
void SetDaylightTime(DWORD dst) {
    Board::current().updateState([&](BoardState& s) { s.daylight = dst != 0; });
}
