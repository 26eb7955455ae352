// Time zones from the host's time-zone database (Debian's tzdata, /usr/share/zoneinfo), made into
// the platform's time-zone record: a bias, the standard and daylight names, and the two changes
// of the year in day-in-month form (month, weekday, which of its weekdays, local time).
//
// A zone file (TZif, RFC 8536) ends with a POSIX TZ string that gives the zone's rule for every
// time after its last listed transition, which is where the present lies. date/ptz.h reads that
// string and says when its changes fall in a given year; the record holds the rule as it falls in
// that year, as the platform's own zone tables do.
#include <date/date.h>
// C++20 brings std::chrono::hh_mm_ss beside date::hh_mm_ss; ptz.h names it unqualified under
// both namespaces, and a name found in its own namespace first settles which one.
namespace Posix {
using date::hh_mm_ss;
}
#include <date/ptz.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "commands.h"

namespace vboard {

namespace {

using std::chrono::seconds;

// The records the platform's own images carry for the four zones boards were first made with
// (cet: the default board's).
std::optional<sim::TimeZoneConfig> shortName(const std::string& name) {
    static const sim::TimeZoneConfig kShortNames[] = {
        {.name = "utc", .standardDate = {}, .daylightDate = {}},  // no daylight rules
        {.name = "us-eastern",
         .bias = 300,
         .standardName = "Eastern Standard Time",
         .standardDate = {0, 11, 0, 1, 2, 0, 0, 0},  // first Sunday of November 02:00
         .daylightName = "Eastern Daylight Time",
         .daylightDate = {0, 3, 0, 2, 2, 0, 0, 0},  // second Sunday of March 02:00
         .daylightBias = -60},
        {.name = "sydney",
         .bias = -600,
         .standardName = "AUS Eastern Standard Time",
         .standardDate = {0, 4, 0, 1, 3, 0, 0, 0},  // first Sunday of April 03:00
         .daylightName = "AUS Eastern Daylight Time",
         .daylightDate = {0, 10, 0, 1, 2, 0, 0, 0},  // first Sunday of October 02:00
         .daylightBias = -60},
    };
    const std::string n = lowerCase(name);
    if (n == "cet") return sim::defaultBoardConfig().timeZone;
    for (const sim::TimeZoneConfig& z : kShortNames)
        if (z.name == n) return z;
    return std::nullopt;
}

// What people mean by the abbreviations they type for a zone. The database's EST, MST and GMT are
// offsets that hold all year, without the daylight saving time of the places that use those names;
// PST, CEST and their kind are no zone names at all.
const char* abbreviationMeant(const std::string& typed) {
    static const std::pair<const char*, const char*> kMeant[] = {
        {"est", "US Eastern time, with daylight saving time, is us-eastern or America/New_York"},
        {"edt", "US Eastern time, with daylight saving time, is us-eastern or America/New_York"},
        {"cst", "US Central time, with daylight saving time, is America/Chicago"},
        {"cdt", "US Central time, with daylight saving time, is America/Chicago"},
        {"mst",
         "US Mountain time, with daylight saving time, is America/Denver (America/Phoenix keeps MST all "
         "year)"},
        {"mdt", "US Mountain time, with daylight saving time, is America/Denver"},
        {"pst", "US Pacific time, with daylight saving time, is America/Los_Angeles"},
        {"pdt", "US Pacific time, with daylight saving time, is America/Los_Angeles"},
        {"gmt", "UK time, with summer time (BST), is Europe/London"},
        {"bst", "UK time, with summer time (BST), is Europe/London"},
        {"cest", "Central European time, with summer time, is cet or Europe/Berlin"},
        {"aest", "Eastern Australian time, with daylight saving time, is sydney or Australia/Sydney"},
        {"aedt", "Eastern Australian time, with daylight saving time, is sydney or Australia/Sydney"},
    };
    const std::string n = lowerCase(typed);
    for (const auto& [abbreviation, meant] : kMeant)
        if (n == abbreviation) return meant;
    return nullptr;
}

bool isZoneFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    char magic[4] = {};
    return in.read(magic, 4) && std::string(magic, 4) == "TZif";
}

uint32_t bigEndian(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8 | static_cast<uint8_t>(s[at + 3]);
}

// A TZif file of version 2 or later (RFC 8536), as far as the board needs it: the 64-bit
// transitions with whether each begins daylight time, and the POSIX TZ string at its end that
// gives the rule for every time after the last of them.
struct ZoneFile {
    std::vector<int64_t> transitions;  // UTC seconds since 1970
    std::vector<bool> daylightFrom;    // at each transition
    bool daylightBefore = false;       // before the first
    std::string footer;
};

ZoneFile readZoneFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    const std::string data = s.str();
    const std::string problem = file + ": not a zone file of version 2 or later";
    if (data.size() < 44 || data.compare(0, 4, "TZif") != 0 || data[4] < '2') throw sim::BoardError(problem);
    // A header and its data block: counts of UT/local flags, standard/wall flags, leap seconds,
    // transitions, local time types and abbreviation characters.
    struct Counts {
        size_t isut, isstd, leap, times, types, chars;
    };
    auto counts = [&](size_t at) {
        if (at + 44 > data.size() || data.compare(at, 4, "TZif") != 0) throw sim::BoardError(problem);
        return Counts{bigEndian(data, at + 20), bigEndian(data, at + 24), bigEndian(data, at + 28),
                      bigEndian(data, at + 32), bigEndian(data, at + 36), bigEndian(data, at + 40)};
    };
    auto blockSize = [](const Counts& c, size_t timeSize) {
        return 44 + c.times * timeSize + c.times + c.types * 6 + c.chars + c.leap * (timeSize + 4) + c.isstd +
               c.isut;
    };
    const size_t v2 = blockSize(counts(0), 4);
    const Counts c = counts(v2);
    const size_t at = v2 + blockSize(c, 8);
    const size_t end = at < data.size() ? data.find('\n', at + 1) : std::string::npos;
    if (at >= data.size() || data[at] != '\n' || end == std::string::npos) throw sim::BoardError(problem);
    ZoneFile z;
    z.footer = data.substr(at + 1, end - at - 1);
    const size_t times = v2 + 44, indices = times + c.times * 8, types = indices + c.times;
    auto isDst = [&](size_t type) { return type < c.types && data[types + type * 6 + 4] != 0; };
    for (size_t i = 0; i < c.times; ++i) {
        const uint64_t t =
            static_cast<uint64_t>(bigEndian(data, times + i * 8)) << 32 | bigEndian(data, times + i * 8 + 4);
        z.transitions.push_back(static_cast<int64_t>(t));
        z.daylightFrom.push_back(isDst(static_cast<uint8_t>(data[indices + i])));
    }
    z.daylightBefore = isDst(0);
    return z;
}

std::string footerOf(const std::string& file) {
    return readZoneFile(file).footer;
}

// RFC 8536 lets a rule's time lie outside 0..24 h (America/Nuuk changes at -1:00, the Saturday
// 23:00 before a Sunday); ptz.h reads only 0..24. Such a time is written as its time of day, and
// the whole days it stood for are added back to the change afterwards.
struct RuleText {
    std::string text;
    int startDays = 0, endDays = 0;
};

RuleText withTimesOfDay(const std::string& rule) {
    RuleText out{rule};
    std::vector<std::string> parts;
    std::stringstream in(rule);
    for (std::string p; std::getline(in, p, ',');) parts.push_back(p);
    if (parts.size() != 3) return out;
    for (int i = 1; i <= 2; ++i) {
        const size_t slash = parts[i].find('/');
        if (slash == std::string::npos) continue;
        const std::string t = parts[i].substr(slash + 1);
        int sign = 1, h = 0, m = 0, s = 0;
        size_t pos = 0;
        if (pos < t.size() && (t[pos] == '-' || t[pos] == '+')) sign = t[pos++] == '-' ? -1 : 1;
        if (std::sscanf(t.c_str() + pos, "%d:%d:%d", &h, &m, &s) < 1) continue;
        const int total = sign * ((h * 60 + m) * 60 + s);
        if (total >= 0 && total <= 24 * 3600) continue;
        const int days = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
        const int rest = total - days * 86400;
        parts[i] = parts[i].substr(0, slash) + "/" + std::to_string(rest / 3600) + ":" +
                   std::to_string(rest / 60 % 60) + ":" + std::to_string(rest % 60);
        (i == 1 ? out.startDays : out.endDays) = days;
    }
    out.text = parts[0] + "," + parts[1] + "," + parts[2];
    return out;
}

// A local time as the record's day-in-month form: the month, the weekday, and which of the
// month's weekdays (5: the last, whether the month has four or five of them).
sim::SysTime dayInMonth(date::local_seconds t) {
    const date::local_days day = date::floor<date::days>(t);
    const date::year_month_day ymd{day};
    const unsigned d = static_cast<unsigned>(ymd.day());
    const unsigned last = static_cast<unsigned>((ymd.year() / ymd.month() / date::last).day());
    const date::hh_mm_ss<seconds> time{t - day};
    sim::SysTime r;
    r.month = static_cast<uint16_t>(static_cast<unsigned>(ymd.month()));
    r.dayOfWeek = static_cast<uint16_t>(date::weekday{day}.c_encoding());
    r.day = static_cast<uint16_t>(d + 7 > last ? 5 : (d - 1) / 7 + 1);
    r.hour = static_cast<uint16_t>(time.hours().count());
    r.minute = static_cast<uint16_t>(time.minutes().count());
    r.second = static_cast<uint16_t>(time.seconds().count());
    return r;
}

std::string recordName(const std::string& abbreviation) {
    return abbreviation.substr(0, 31);
}

int32_t minutesOf(seconds s) {
    return static_cast<int32_t>(s.count() / 60);
}

sim::TimeZoneConfig recordFromRule(const std::string& rule, int year) {
    const RuleText text = withTimesOfDay(rule);
    const Posix::time_zone zone{text.text};
    struct Change {
        date::sys_seconds at;
        seconds before, after;  // UTC offsets
        bool intoDaylight;      // the rule's first change (the POSIX "start")
        std::string name;       // the abbreviation from then on
    };
    std::vector<Change> changes;
    const date::sys_seconds end{date::sys_days{date::year{year + 1} / 1 / 1}};
    date::sys_info info = zone.get_info(date::sys_seconds{date::sys_days{date::year{year} / 1 / 1}});
    while (info.end < end && changes.size() < 4) {
        const date::sys_info next = zone.get_info(info.end);
        changes.push_back(
            {info.end, info.offset, next.offset, next.save != std::chrono::minutes{0}, next.abbrev});
        info = next;
    }
    sim::TimeZoneConfig z;
    auto into = [&](bool daylight) {
        return std::find_if(changes.begin(), changes.end(),
                            [&](const Change& c) { return c.intoDaylight == daylight; });
    };
    const auto start = into(true), stop = into(false);
    if (start == changes.end() || stop == changes.end() || start->after == stop->after) {
        // One offset all year: no daylight rules.
        z.bias = -minutesOf(info.offset);
        z.standardName = z.daylightName = recordName(info.abbrev);
        return z;
    }
    // The platform's daylight time is the later clock; a zone whose rule calls its winter time
    // "daylight" (Europe/Dublin) has its changes the other way round in the record.
    const bool summerIsDaylight = start->after > stop->after;
    const Change& toDaylight = summerIsDaylight ? *start : *stop;
    const Change& toStandard = summerIsDaylight ? *stop : *start;
    const int daylightShift = summerIsDaylight ? text.startDays : text.endDays;
    const int standardShift = summerIsDaylight ? text.endDays : text.startDays;
    // Each change is written in the local time that runs up to it.
    auto local = [](const Change& c, int shiftDays) {
        return date::local_seconds{(c.at + c.before).time_since_epoch()} + date::days{shiftDays};
    };
    z.bias = -minutesOf(toStandard.after);
    z.standardName = recordName(toStandard.name);
    z.standardDate = dayInMonth(local(toStandard, standardShift));
    z.daylightName = recordName(toDaylight.name);
    z.daylightDate = dayInMonth(local(toDaylight, daylightShift));
    z.daylightBias = -minutesOf(toDaylight.after - toStandard.after);
    return z;
}

}  // namespace

std::string zoneInfoDir() {
    const char* dir = std::getenv("TZDIR");
    return dir && *dir ? dir : "/usr/share/zoneinfo";
}

std::vector<std::string> zoneNames() {
    namespace fs = std::filesystem;
    const fs::path root = zoneInfoDir();
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string rel = it->path().lexically_relative(root).generic_string();
        // posix/ and right/ repeat the database (right/ with leap seconds); localtime and
        // posixrules are the host's settings, not zones.
        if (it.depth() == 0 && (rel == "posix" || rel == "right")) {
            it.disable_recursion_pending();
            continue;
        }
        if (rel == "localtime" || rel == "posixrules" || !it->is_regular_file(ec)) continue;
        if (isZoneFile(it->path())) names.push_back(rel);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<bool> daylightByDatabase(const std::string& name, int64_t utc) {
    if (name.empty() || name.find("..") != std::string::npos) return std::nullopt;
    const std::string file = zoneInfoDir() + "/" + name;
    if (!isZoneFile(file)) return std::nullopt;
    try {
        const ZoneFile z = readZoneFile(file);
        const int64_t t = utc / sim::kFileTimeUnitsPerSecond - 11644473600LL;  // seconds since 1970
        const auto next = std::upper_bound(z.transitions.begin(), z.transitions.end(), t);
        if (next != z.transitions.end() || z.footer.empty()) {
            if (next == z.transitions.begin()) return z.daylightBefore;
            return z.daylightFrom[static_cast<size_t>(next - z.transitions.begin()) - 1];
        }
        const RuleText rule = withTimesOfDay(z.footer);
        if (rule.startDays || rule.endDays) return std::nullopt;  // a rule ptz.h cannot read as it stands
        const Posix::time_zone zone{rule.text};
        return zone.get_info(date::sys_seconds{seconds{t}}).save != std::chrono::minutes{0};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

sim::TimeZoneConfig resolveZone(const std::string& name, int year) {
    if (std::optional<sim::TimeZoneConfig> z = shortName(name)) return *z;
    const std::vector<std::string> names = zoneNames();
    if (names.empty())
        throw sim::BoardError("no time-zone database in " + zoneInfoDir() + " (Debian package tzdata)");
    std::string found;
    for (const std::string& n : names)
        if (n == name || (found.empty() && lowerCase(n) == lowerCase(name))) found = n;
    if (found.empty() && abbreviationMeant(name))
        throw UsageError("unknown time zone \"" + name + "\" (" + abbreviationMeant(name) + ")");
    if (found.empty()) {
        // A slip of the keyboard first ("Europe/Berln"), else the names that hold what was typed.
        std::vector<std::string> lowered;
        for (const std::string& n : names) lowered.push_back(lowerCase(n));
        const std::string near = closest(lowerCase(name), lowered);
        std::string suggestions;
        if (!near.empty())
            suggestions = names[std::find(lowered.begin(), lowered.end(), near) - lowered.begin()];
        int count = 0;
        for (const std::string& n : names)
            if (near.empty() && !name.empty() && lowerCase(n).find(lowerCase(name)) != std::string::npos &&
                count++ < 4)
                suggestions += (suggestions.empty() ? "" : ", ") + n;
        throw UsageError(
            "unknown time zone \"" + name + "\"" +
            (suggestions.empty() ? " (see 'vboard zone list')" : " (did you mean " + suggestions + "?)"));
    }
    const std::string file = zoneInfoDir() + "/" + found;
    const std::string rule = footerOf(file);
    if (rule.empty())
        throw sim::BoardError(file + ": the database gives no rule for the present (no TZ string)");
    sim::TimeZoneConfig z;
    try {
        z = recordFromRule(rule, year);
    } catch (const std::runtime_error& e) {
        throw sim::BoardError(file + ": cannot read its rule \"" + rule + "\": " + e.what());
    }
    z.name = found;
    return z;
}

std::string zoneNameNote(const std::string& typed, const sim::TimeZoneConfig& zone) {
    const char* meant = abbreviationMeant(typed);
    if (!meant || zone.standardDate.month != 0) return "";
    return zone.name + " is " + utcOffset(zone.bias) + " all year, without daylight saving time; " + meant;
}

}  // namespace vboard
