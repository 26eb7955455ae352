// The system clock, time conversions, the time zone and the kernel's daylight flag.
//
// The board's system clock is kept in state.json as "systemClock": {"fileTime", "atHost"}: the
// UTC file time it was set to and the host's file time at that moment. On a running board it
// advances with the host; on a frozen one it stands at "fileTime".
#include <cstring>
#include <string>

#include "../board/board.h"
#include "../board/simtime.h"
#include "kernel_objects.h"
#include "services.h"

namespace sim {

namespace {

constexpr int64_t kUnitsPerMs = 10'000;
constexpr int64_t kMsPerDay = 86'400'000;
constexpr int kDaysBefore[2][13] = {{0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
                                    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};

bool isLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m) {
    return kDaysBefore[isLeap(y)][m] - kDaysBefore[isLeap(y)][m - 1];
}

bool validRecord(const SYSTEMTIME& t) {
    return t.wYear >= 1601 && t.wYear <= 30827 && t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 &&
           t.wDay <= daysInMonth(t.wYear, t.wMonth) && t.wHour <= 23 && t.wMinute <= 59 && t.wSecond <= 59 &&
           t.wMilliseconds <= 999;
}

// Days from 1601-01-01 to the record's date.
int64_t dayNumber(int y, int m, int d) {
    const int64_t y1 = y - 1601;
    return y1 * 365 + y1 / 4 - y1 / 100 + y1 / 400 + kDaysBefore[isLeap(y)][m - 1] + (d - 1);
}

void fromDayNumber(int64_t days, SYSTEMTIME& t) {
    t.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    int64_t cycles = days / 146097;                    // 400-year cycles
    int64_t r = days % 146097;
    int64_t centuries = r / 36524;
    if (centuries == 4) centuries = 3;  // the last day of a leap 400th year
    r -= centuries * 36524;
    int64_t quads = r / 1461;
    r -= quads * 1461;
    int64_t years = r / 365;
    if (years == 4) years = 3;  // the last day of a leap year
    r -= years * 365;
    const int y = static_cast<int>(1601 + cycles * 400 + centuries * 100 + quads * 4 + years);
    int m = 1;
    while (r >= kDaysBefore[isLeap(y)][m]) ++m;
    t.wYear = static_cast<WORD>(y);
    t.wMonth = static_cast<WORD>(m);
    t.wDay = static_cast<WORD>(r - kDaysBefore[isLeap(y)][m - 1] + 1);
}

int64_t toFileTime(const SYSTEMTIME& t) {
    const int64_t ms = dayNumber(t.wYear, t.wMonth, t.wDay) * kMsPerDay +
                       ((t.wHour * 60 + t.wMinute) * 60 + t.wSecond) * 1000LL + t.wMilliseconds;
    return ms * kUnitsPerMs;
}

void toSystemTime(int64_t fileTime, SYSTEMTIME& t) {
    const int64_t ms = fileTime / kUnitsPerMs;
    fromDayNumber(ms / kMsPerDay, t);
    int64_t rest = ms % kMsPerDay;
    t.wMilliseconds = static_cast<WORD>(rest % 1000);
    rest /= 1000;
    t.wSecond = static_cast<WORD>(rest % 60);
    rest /= 60;
    t.wMinute = static_cast<WORD>(rest % 60);
    t.wHour = static_cast<WORD>(rest / 60);
}

bool hasDaylightRules(const TimeZoneConfig& z) {
    return z.standardDate.month != 0 && z.daylightDate.month != 0;
}

void copyName(const std::string& utf8, WCHAR (&out)[32]) {
    std::memset(out, 0, sizeof out);
    const std::u16string w = fromUtf8(utf8);
    for (size_t i = 0; i < w.size() && i < 31; ++i) out[i] = w[i];
}

SYSTEMTIME toRecord(const SysTime& s) {
    return SYSTEMTIME{s.year, s.month, s.dayOfWeek, s.day, s.hour, s.minute, s.second, s.milliseconds};
}

int64_t int64Field(const json& obj, const char* key, const std::string& where) {
    if (!obj.is_object() || !obj.contains(key) || !obj[key].is_number_integer())
        throw BoardError(where + ": \"" + key + "\" is missing or not an integer");
    return obj[key].get<int64_t>();
}

}  // namespace

int64_t boardSystemFileTime() {
    const Board& board = Board::current();
    const json s = board.readState();
    const std::string where = board.path("state.json") + ": systemClock";
    if (!s.contains("systemClock")) throw BoardError(where + ": missing");
    const json& clock = s["systemClock"];
    const int64_t set = int64Field(clock, "fileTime", where);
    if (board.config().frozen) return set;
    return set + (hostFileTimeNow() - int64Field(clock, "atHost", where));
}

void setBoardSystemFileTime(int64_t fileTime) {
    const int64_t host = hostFileTimeNow();
    Board::current().updateState([&](json& s) {
        s["systemClock"] = json{{"fileTime", fileTime}, {"atHost", host}};
    });
}

}  // namespace sim

using namespace sim;

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    if (!lpSystemTime || !lpFileTime || !validRecord(*lpSystemTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t ft = static_cast<uint64_t>(toFileTime(*lpSystemTime));
    lpFileTime->dwLowDateTime = static_cast<DWORD>(ft);
    lpFileTime->dwHighDateTime = static_cast<DWORD>(ft >> 32);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (!lpFileTime || !lpSystemTime || (lpFileTime->dwHighDateTime & 0x80000000u)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    toSystemTime(static_cast<int64_t>((static_cast<uint64_t>(lpFileTime->dwHighDateTime) << 32) |
                                      lpFileTime->dwLowDateTime),
                 *lpSystemTime);
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
    toSystemTime(now, *lpSystemTime);
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
    tzi->StandardDate = toRecord(z.standardDate);
    tzi->StandardBias = z.standardBias;
    copyName(z.daylightName, tzi->DaylightName);
    tzi->DaylightDate = toRecord(z.daylightDate);
    tzi->DaylightBias = z.daylightBias;
    if (!hasDaylightRules(z)) return TIME_ZONE_ID_UNKNOWN;
    const json s = board.readState();
    const bool daylight = s.contains("daylight") && s["daylight"].is_boolean() && s["daylight"].get<bool>();
    return daylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

BOOL SetDaylightTime(DWORD dst) {
    Board::current().updateState([&](json& s) { s["daylight"] = dst != 0; });
    return TRUE;
}
