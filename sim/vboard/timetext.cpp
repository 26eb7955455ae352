// The one reader of times for every vboard command that takes one, and the calendar behind it.
//
// The form is checked whole first (a regular expression), so that nothing is half-read: no
// trailing text, no five-digit year, no one-digit month. The calendar (which days exist, weekdays,
// day counts) is date.h's.
#include <date/date.h>

#include <chrono>
#include <cstdio>
#include <regex>

#include "../board/board.h"
#include "../board/simtime.h"
#include "commands.h"

namespace vboard {

const char* const kTimeForm =
    "YYYY-MM-DD[THH:MM[:SS[.fraction]]][Z|+HH:MM] (UTC unless an offset is given) or \"now\"";

namespace {

using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;  // file time units

// Days from 1601-01-01 (file time zero) to 1970-01-01 (date.h's epoch).
constexpr int64_t kDaysFrom1601To1970 = 134774;
static_assert(date::sys_days{date::year{1970} / 1 / 1} - date::sys_days{date::year{1601} / 1 / 1} ==
              date::days{kDaysFrom1601To1970});

constexpr int64_t kTicksPerDay = 86400LL * sim::kFileTimeUnitsPerSecond;

const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

unsigned digits(const std::string& s) {
    unsigned v = 0;
    for (char c : s) v = v * 10 + static_cast<unsigned>(c - '0');
    return v;
}

[[noreturn]] void refuse(const std::string& what, const std::string& text, const std::string& why) {
    throw UsageError(what + ": " + why + " in \"" + text + "\"");
}

}  // namespace

int64_t fileTimeOf(int year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    const date::sys_days d{date::year{year} / date::month{month} / date::day{day}};
    const int64_t days = d.time_since_epoch().count() + kDaysFrom1601To1970;
    return days * kTicksPerDay + ((hour * 60LL + minute) * 60 + second) * sim::kFileTimeUnitsPerSecond;
}

int64_t localToUtc(int64_t local, const sim::TimeZoneConfig& zone, const std::string& what,
                   const std::string& text) {
    const int64_t asStandard = local + (zone.bias + zone.standardBias) * sim::kFileTimeUnitsPerMinute;
    const int64_t asDaylight = local + (zone.bias + zone.daylightBias) * sim::kFileTimeUnitsPerMinute;
    const std::optional<bool> standardRules = daylightByRules(zone, asStandard);
    if (!standardRules || asStandard == asDaylight) return asStandard;  // one offset all year
    const bool standardFits = !*standardRules;
    const bool daylightFits = daylightByRules(zone, asDaylight).value_or(false);
    if (daylightFits && standardFits) {
        // The hour the clocks go back happens twice: the first of the two, in daylight time.
        std::fprintf(stderr,
                     "vboard: %s: note: \"%s\" happens twice in the board's local time; taken as %s %s\n",
                     what.c_str(), text.c_str(), zone.daylightName.c_str(),
                     utcOffset(zone.bias + zone.daylightBias).c_str());
        return asDaylight;
    }
    if (daylightFits) return asDaylight;
    if (standardFits) return asStandard;
    refuse(what, text,
           "the local time does not exist in the board's time zone " +
               (zone.name.empty() ? std::string("(made by hand)") : zone.name) +
               ": the clocks skip it when daylight time begins");
}

int64_t parseTime(const std::string& text, const std::string& what, const sim::TimeZoneConfig* local) {
    // The board's own time once a board is open (a board with virtual clocks has its own).
    if (text == "now") return sim::Board::isOpen() ? sim::boardNow() : sim::hostFileTimeNow();
    static const std::regex form(
        R"(([0-9]{4})-([0-9]{2})-([0-9]{2}))"                                    // date
        R"((?:[Tt ]([0-9]{2}):([0-9]{2})(?::([0-9]{2})(?:[.,]([0-9]{1,9}))?)?)"  // time of day
        R"((?:([Zz])|([+-])([0-9]{2})(?::?([0-9]{2}))?)?)?)");                   // Z or offset
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
        std::string hint;
        static const std::regex longYear("[0-9]{5,}-.*");
        if (std::regex_match(text, longYear)) hint = " (a year has four digits)";
        throw UsageError(what + ": expected " + kTimeForm + ", got \"" + text + "\"" + hint);
    }
    const int y = static_cast<int>(digits(m[1]));
    const unsigned mo = digits(m[2]), d = digits(m[3]);
    const unsigned h = m[4].matched ? digits(m[4]) : 0, mi = m[5].matched ? digits(m[5]) : 0,
                   s = m[6].matched ? digits(m[6]) : 0;
    if (mo < 1 || mo > 12) refuse(what, text, "month " + m[2].str() + " does not exist");
    const date::year_month_day ymd{date::year{y} / date::month{mo} / date::day{d}};
    if (!ymd.ok()) {
        const unsigned last = static_cast<unsigned>((date::year{y} / date::month{mo} / date::last).day());
        refuse(what, text,
               "day " + m[3].str() + " does not exist (" + kMonthNames[mo - 1] + " " + m[1].str() + " has " +
                   std::to_string(last) + " days)");
    }
    if (h > 23) refuse(what, text, "hour " + m[4].str() + " is out of range (00..23)");
    if (mi > 59) refuse(what, text, "minute " + m[5].str() + " is out of range (00..59)");
    if (s > 59) refuse(what, text, "second " + m[6].str() + " is out of range (00..59)");
    int64_t ticks = 0;
    if (m[7].matched) {
        std::string f = m[7].str().substr(0, 7);  // finer than 100 ns is dropped
        f.resize(7, '0');
        ticks = digits(f);
    }
    int64_t offsetMinutes = 0;
    if (m[9].matched) {
        const unsigned oh = digits(m[10]), om = m[11].matched ? digits(m[11]) : 0;
        if (oh > 23 || om > 59) refuse(what, text, "the UTC offset is out of range (-23:59..+23:59)");
        offsetMinutes = (m[9].str() == "-" ? -1 : 1) * static_cast<int64_t>(oh * 60 + om);
    }
    if (local && (m[8].matched || m[9].matched))
        refuse(what, text, "a time with Z or a UTC offset is no local time (leave out --local)");
    const int64_t written = fileTimeOf(y, mo, d, h, mi, s) + ticks;
    const int64_t utc = local ? localToUtc(written, *local, what, text)
                              : written - offsetMinutes * sim::kFileTimeUnitsPerMinute;
    if (utc < 0 || utc >= fileTimeOf(10000, 1, 1, 0, 0, 0))
        refuse(what, text, "the time lies outside the years 1601..9999 (UTC)");
    return utc;
}

CivilTime civilTime(int64_t fileTime) {
    const int64_t days = fileTime / kTicksPerDay;
    int64_t rest = fileTime % kTicksPerDay;
    const date::sys_days day{date::days{days - kDaysFrom1601To1970}};
    const date::year_month_day ymd{day};
    CivilTime t;
    t.year = static_cast<int>(ymd.year());
    t.month = static_cast<unsigned>(ymd.month());
    t.day = static_cast<unsigned>(ymd.day());
    t.weekday = date::weekday{day}.c_encoding();
    t.subsecond = static_cast<unsigned>(rest % sim::kFileTimeUnitsPerSecond);
    rest /= sim::kFileTimeUnitsPerSecond;
    t.second = static_cast<unsigned>(rest % 60);
    t.minute = static_cast<unsigned>(rest / 60 % 60);
    t.hour = static_cast<unsigned>(rest / 3600);
    return t;
}

std::string formatTime(int64_t fileTime, bool millis) {
    const CivilTime t = civilTime(fileTime);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    std::string out = buf;
    if (millis) {
        std::snprintf(buf, sizeof buf, ".%03u", t.subsecond / 10000);
        out += buf;
    }
    return out;
}

}  // namespace vboard
