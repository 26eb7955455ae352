#include "calendar.h"

#include <date/date.h>

namespace sim {

namespace {

constexpr int64_t kMsPerDay = 86'400'000;
// 1601-01-01 counted from date's epoch (1970-01-01).
const int64_t kDay1601 = date::sys_days{date::year{1601} / 1 / 1}.time_since_epoch().count();

}  // namespace

bool isLeapYear(int year) {
    return date::year{year}.is_leap();
}

unsigned daysInMonth(int year, unsigned month) {
    if (month < 1 || month > 12) return 0;
    return static_cast<unsigned>((date::year{year} / date::month{month} / date::last).day());
}

bool validDate(int year, unsigned month, unsigned day) {
    return day >= 1 && day <= daysInMonth(year, month);
}

int64_t dayNumber(int year, unsigned month, unsigned day) {
    const date::sys_days d{date::year{year} / date::month{month} / date::day{day}};
    return d.time_since_epoch().count() - kDay1601;
}

CivilDate dateOfDayNumber(int64_t days) {
    const date::sys_days d{date::days{days + kDay1601}};
    const date::year_month_day ymd{d};
    return CivilDate{static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                     static_cast<unsigned>(ymd.day()), date::weekday{d}.c_encoding()};
}

int64_t fileTimeOf(const SysTime& t) {
    const int64_t ms = dayNumber(t.year, t.month, t.day) * kMsPerDay +
                       ((t.hour * 60 + t.minute) * 60 + t.second) * 1000LL + t.milliseconds;
    return ms * kFileTimeUnitsPerMs;
}

SysTime sysTimeOf(int64_t fileTime) {
    const int64_t ms = fileTime / kFileTimeUnitsPerMs;
    const CivilDate d = dateOfDayNumber(ms / kMsPerDay);
    int64_t rest = ms % kMsPerDay;
    SysTime t;
    t.year = static_cast<uint16_t>(d.year);
    t.month = static_cast<uint16_t>(d.month);
    t.day = static_cast<uint16_t>(d.day);
    t.dayOfWeek = static_cast<uint16_t>(d.weekday);
    t.milliseconds = static_cast<uint16_t>(rest % 1000);
    rest /= 1000;
    t.second = static_cast<uint16_t>(rest % 60);
    rest /= 60;
    t.minute = static_cast<uint16_t>(rest % 60);
    t.hour = static_cast<uint16_t>(rest / 60);
    return t;
}

bool validSysTime(const SysTime& t) {
    return t.year >= 1601 && t.year <= 30827 && validDate(t.year, t.month, t.day) && t.hour <= 23 &&
           t.minute <= 59 && t.second <= 59 && t.milliseconds <= 999;
}

}  // namespace sim
