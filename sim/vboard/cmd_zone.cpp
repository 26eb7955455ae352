// vboard zone: the board's time zone, shown, set from the host's time-zone database, or listed.
// Setting it on a board that is on does what the platform's Control Panel does: the platform call
// (SetTimeZoneInformation: the kernel's clock keeps its local time, UTC moves by the difference of
// the two zones, the notification service raises the zone-change event), the daylight flag as the
// new zone's rules have it now, then the registry's flush, which writes board.json's "timeZone".
// On a board that is off it changes board.json's record alone.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "../board/board.h"
#include "../board/calendar.h"
#include "../ceapi/tools_api.h"
#include "commands.h"

namespace vboard {

std::string utcOffset(int32_t biasMinutes) {
    const int32_t offset = -biasMinutes;
    char buf[16];
    std::snprintf(buf, sizeof buf, "UTC%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 60,
                  std::abs(offset) % 60);
    return buf;
}

namespace {

// "the last Sunday of March 02:00", as the record's day-in-month form reads.
std::string change(const sim::SysTime& t) {
    static const char* const kWeek[] = {"?", "first", "second", "third", "fourth", "last"};
    static const char* const kDay[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                       "Thursday", "Friday", "Saturday"};
    static const char* const kMonth[] = {"?",       "January",  "February", "March",  "April",
                                         "May",     "June",     "July",     "August", "September",
                                         "October", "November", "December"};
    char buf[96];
    std::snprintf(buf, sizeof buf, "the %s %s of %s %02u:%02u", kWeek[t.day <= 5 ? t.day : 0],
                  t.dayOfWeek < 7 ? kDay[t.dayOfWeek] : "?", t.month <= 12 ? kMonth[t.month] : "?", t.hour,
                  t.minute);
    std::string out = buf;
    if (t.second) out += ":" + std::string(t.second < 10 ? "0" : "") + std::to_string(t.second);
    return out;
}

void describe(const sim::TimeZoneConfig& z) {
    std::printf("Time zone: %s\n", z.name.empty() ? "(made by hand)" : z.name.c_str());
    std::printf("  standard time: %s, %s (bias %d minutes)\n", z.standardName.c_str(),
                utcOffset(z.bias + z.standardBias).c_str(), z.bias);
    if (z.standardDate.month == 0 || z.daylightDate.month == 0) {
        std::printf("  no daylight saving time\n");
        return;
    }
    std::printf("  daylight time: %s, %s (daylight bias %d minutes)\n", z.daylightName.c_str(),
                utcOffset(z.bias + z.daylightBias).c_str(), z.daylightBias);
    std::printf("    from %s to %s, local time\n", change(z.daylightDate).c_str(),
                change(z.standardDate).c_str());
}

// The moment (UTC file time) a change of `rule` falls on in `year`: the day-in-month form (year 0:
// the n-th weekday of the month, 5 = the last) or a fixed date; `biasMinutes` turns the rule's
// local time into UTC.
// A record the board would not load (week 0, month 13) is brought into range rather than trusted:
// nothing here may loop on it.
int64_t changeAt(const sim::SysTime& rule, int year, int32_t biasMinutes) {
    unsigned day = rule.day;
    if (rule.year == 0) {
        const unsigned first = sim::dateOfDayNumber(sim::dayNumber(year, rule.month, 1)).weekday;
        const unsigned week = std::clamp<unsigned>(rule.day, 1, 5);
        day = 1 + (rule.dayOfWeek % 7 + 7 - first) % 7 + 7 * (week - 1);
        const unsigned last = sim::daysInMonth(year, rule.month);
        while (day > last && day > 7) day -= 7;
    }
    return fileTimeOf(year, rule.month, day, rule.hour, rule.minute, rule.second) +
           static_cast<int64_t>(biasMinutes) * sim::kFileTimeUnitsPerMinute;
}

}  // namespace

std::optional<bool> daylightByRules(const sim::TimeZoneConfig& z, int64_t utc) {
    if (z.standardDate.month == 0 || z.daylightDate.month == 0) return std::nullopt;
    if (z.standardDate.month > 12 || z.daylightDate.month > 12) return std::nullopt;
    const sim::SysTime& d = z.daylightDate;
    const sim::SysTime& s = z.standardDate;
    // A rule with a year of its own holds for that year only.
    const int year = civilTime(utc - static_cast<int64_t>(z.bias) * sim::kFileTimeUnitsPerMinute).year;
    if ((d.year != 0 && d.year != year) || (s.year != 0 && s.year != year)) return false;
    // The start of daylight time is given in standard time, its end in daylight time.
    const int64_t start = changeAt(d, year, z.bias + z.standardBias);
    const int64_t end = changeAt(s, year, z.bias + z.daylightBias);
    // Both ends count as daylight time, as the program's own decision has it.
    return start <= end ? (utc >= start && utc <= end) : (utc >= start || utc <= end);
}

void addZoneCommands(CLI::App& app) {
    CLI::App* cmd = app.add_subcommand("zone", "The board's time zone (board.json \"timeZone\")");
    cmd->require_subcommand(1);
    cmd->add_subcommand("show", "Show the zone, its offsets and its daylight saving rules")->callback([] {
        openBoard();
        describe(sim::currentTimeZone());
        if (sim::Board::current().readState().timeZoneNotFlushed)
            std::printf(
                "  set by a program and not flushed: the registry holds it in RAM, a power-down loses it\n");
    });

    static std::string name;
    static bool noWait = false;
    CLI::App* set = cmd->add_subcommand(
        "set",
        "Set the zone from the host's time-zone database, as the Control Panel does: local time stays, UTC "
        "moves; wait for the programs started for the zone change");
    set->add_option("name", name,
                    "A zone name such as Europe/Berlin (any letter case), or utc, cet, us-eastern, sydney")
        ->required();
    set->add_flag("--no-wait", noWait, "Do not wait for the programs the notification service starts");
    set->callback([] {
        const StartedAppsCapture capture(!noWait);
        sim::TimeZoneConfig zone;
        bool on = false;
        {
            const auto lock = openBoardForChange();
            const sim::Board& board = sim::Board::current();
            on = board.readState().power.on;
            // The rules in force in the board's own year.
            zone = resolveZone(name, civilTime(sim::boardLocalFileTime()).year);
            if (!on) {
                // No kernel runs: the record the registry keeps for the next boot.
                replaceBoardJsonEntry("timeZone", sim::timeZoneToJson(zone));
            } else {
                sim::setKernelTimeZone(zone);
                // As the boot decides it for this zone (a zone without rules: standard time), so
                // that the next boot restores the same local time. The flag, too, keeps local time.
                const int64_t local = sim::boardLocalFileTime();
                const int64_t asDaylight = local + static_cast<int64_t>(sim::zoneBiasMinutes(zone, true)) *
                                                       sim::kFileTimeUnitsPerMinute;
                SetDaylightTime(autoDstEnabled() && daylightByRules(zone, asDaylight).value_or(false));
                sim::flushRegistry();
            }
        }
        describe(zone);
        const std::string note = zoneNameNote(name, zone);
        if (!note.empty()) std::fprintf(stderr, "vboard: note: %s\n", note.c_str());
        if (!on) {
            std::printf(
                "The board is off: board.json's zone record changed, the kernel takes it at power-up\n");
            return;
        }
        const int64_t local = sim::boardLocalFileTime();
        const int64_t utc = sim::boardSystemFileTime();
        std::printf("Local time kept: %s %s; system time now %s UTC\n", formatTime(local, true).c_str(),
                    utcOffset(static_cast<int32_t>((utc - local) / sim::kFileTimeUnitsPerMinute)).c_str(),
                    formatTime(utc, true).c_str());
        waitForStartedApps("zone set", "the zone is set", !noWait);
    });

    static std::string filter;
    CLI::App* list = cmd->add_subcommand("list", "List the zone names of the host's time-zone database");
    list->add_option("filter", filter, "Only names containing this text (any letter case)");
    list->callback([] {
        const std::string f = lowerCase(filter);
        size_t shown = 0;
        for (const std::string& n : zoneNames()) {
            if (lowerCase(n).find(f) == std::string::npos) continue;
            std::printf("%s\n", n.c_str());
            ++shown;
        }
        if (shown == 0) throw sim::BoardError("no zone name contains \"" + filter + "\" in " + zoneInfoDir());
    });
}

}  // namespace vboard
