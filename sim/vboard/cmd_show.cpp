// vboard show: the board's configuration, clocks, notifications, registry and debug log.
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "../board/board.h"
#include "../board/calendar.h"
#include "../board/config.h"
#include "../board/format.h"
#include "../board/rtc_chip.h"
#include "../board/simtime.h"
#include "../ceapi/tools_api.h"
#include "commands.h"

namespace vboard {

const char* clockModeText(const sim::BoardConfig& c) {
    return c.virtualClocks ? "virtual (they run on the board's virtual time)"
           : c.frozen      ? "frozen"
                           : "running";
}

// The platform's clock setting AutoDST (absent: off), read as the program reads it.
bool autoDstEnabled() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Software\\Microsoft\\Clock"), 0, 0, &key) != ERROR_SUCCESS)
        return false;
    DWORD value = 0, size = sizeof value;
    const bool ok = RegQueryValueExW(key, TEXT("AutoDST"), nullptr, nullptr, reinterpret_cast<LPBYTE>(&value),
                                     &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok && value != 0;
}

namespace {

constexpr size_t kShownLogLines = 20;

// The chip the program will look for: its registry values Protocol and SlaveAddr, read as the
// program reads them (4-byte queries of the program's key, the protocol's address by default), and
// whether the board has that chip. One line, and a warning where the program will find none.
std::vector<std::string> programChipLines(const sim::BoardConfig& c) {
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Vorlack\\Tamblin"), 0, 0, &key);
    DWORD protocol = 1, size = sizeof protocol;
    const bool protocolSet =
        key && RegQueryValueExW(key, TEXT("Protocol"), nullptr, nullptr, reinterpret_cast<LPBYTE>(&protocol),
                                &size) == ERROR_SUCCESS;
    const bool known = protocol >= 1 && protocol <= 4;
    DWORD address = known ? sim::chipModel(static_cast<int>(protocol)).defaultAddress : 0;
    size = sizeof address;
    const bool addressSet =
        key && RegQueryValueExW(key, TEXT("SlaveAddr"), nullptr, nullptr, reinterpret_cast<LPBYTE>(&address),
                                &size) == ERROR_SUCCESS;
    // The unit, as the program reads I2CBus: absent is the standard unit.
    DWORD busValue = 0, busType = 0;
    size = sizeof busValue;
    const LONG busResult = key ? RegQueryValueExW(key, TEXT("I2CBus"), nullptr, &busType,
                                                  reinterpret_cast<LPBYTE>(&busValue), &size)
                               : ERROR_FILE_NOT_FOUND;
    if (key) RegCloseKey(key);
    const bool busSet = busResult != ERROR_FILE_NOT_FOUND;
    const sim::I2cBusId bus = busSet && busValue == 1 ? sim::I2cBusId::PowerManager : sim::I2cBusId::Standard;
    const std::string from = std::string(" (registry: ") + (protocolSet ? "Protocol" : "no Protocol, so 1") +
                             ", " + (addressSet ? "SlaveAddr" : "no SlaveAddr, so the protocol's") +
                             (busSet ? ", I2CBus" : "") + ")";
    std::vector<std::string> lines;
    if (busSet &&
        (busResult != ERROR_SUCCESS || busType != REG_DWORD || size != sizeof busValue || busValue > 1)) {
        lines.push_back("the program looks for no chip: I2CBus " +
                        (busResult == ERROR_SUCCESS && busType == REG_DWORD && size == sizeof busValue
                             ? std::to_string(busValue) + " names"
                             : std::string("is no dword and names")) +
                        " no I2C unit (0 the standard unit, 1 the power-manager unit)");
        lines.push_back("WARNING: the program will say so and report \"Tamblin: I2C bus not available\"");
        return lines;
    }
    if (bus == sim::I2cBusId::PowerManager && sim::processorIdForMainId(c.mainId) != 17) {
        lines.push_back("the program looks for its chip on the power-manager unit's bus (registry: I2CBus)");
        lines.push_back("WARNING: " + powerManagerBusMissing(c.mainId) +
                        ": the program will report \"ERROR: I2C Unknown I2C Unit\"");
        return lines;
    }
    if (!known) {
        lines.push_back("the program looks for no chip: Protocol " + std::to_string(protocol) +
                        (protocol == 0 ? " asks for detection, which the program does not do"
                                       : " is no protocol it knows"));
        lines.push_back(
            "WARNING: the program will report \"" +
            std::string(protocol == 0 ? "No external RTC found" : "Invalid RTC Protocol in Registry") + "\"");
        return lines;
    }
    const std::string wanted = "a protocol-" + std::to_string(protocol) + " chip at " +
                               (bus == sim::I2cBusId::PowerManager ? "pwr:" : "") +
                               sim::hex(address & 0xFF, 2);
    lines.push_back("the program looks for " + wanted + from);
    const sim::ChipConfig* chip = address <= 0x7F ? c.chipAt(static_cast<uint8_t>(address), bus) : nullptr;
    const sim::ChipConfig* elsewhere =
        address <= 0x7F ? c.chipAt(static_cast<uint8_t>(address), bus == sim::I2cBusId::PowerManager
                                                                      ? sim::I2cBusId::Standard
                                                                      : sim::I2cBusId::PowerManager)
                        : nullptr;
    if (address > 0x7F)
        lines.push_back("WARNING: SlaveAddr " + sim::hex(address, 2) + " is no 7-bit address" +
                        (address <= 0xFF
                             ? " (an 8-bit one? the 7-bit address is " + sim::hex(address >> 1, 2) + ")"
                             : "") +
                        ": the program finds no chip");
    else if (!chip)
        lines.push_back(
            "WARNING: no chip is on the " +
            std::string(bus == sim::I2cBusId::PowerManager ? "power-manager unit's " : "") + "bus at " +
            sim::hex(address, 2) + ": the program will report \"No external RTC found\"" +
            (elsewhere ? std::string(" (the chip at ") + sim::chipLabel(*elsewhere) + " is on the " +
                             (elsewhere->bus == sim::I2cBusId::PowerManager
                                  ? "power-manager unit's bus: I2CBus 1 reads it)"
                                  : "standard bus: I2CBus 0, or none, reads it)")
                       : ""));
    else if (chip->protocol != static_cast<int>(protocol))
        lines.push_back("WARNING: the chip at " + sim::chipLabel(*chip) + " is a protocol-" +
                        std::to_string(chip->protocol) + " chip, not protocol " + std::to_string(protocol));
    else if (!chip->present)
        lines.push_back("WARNING: the chip at " + sim::chipLabel(*chip) +
                        " is configured absent and never answers");
    return lines;
}

std::string formatFileTime(int64_t ft) {
    FILETIME f{static_cast<DWORD>(ft & 0xFFFFFFFF), static_cast<DWORD>(static_cast<uint64_t>(ft) >> 32)};
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&f, &st)) return "(not a valid time)";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return buf;
}

// Why the kernel's daylight flag stands as it does, against the platform's rule for the board's
// zone record at `utc`, and where the host's time-zone database has it otherwise.
std::string daylightExplained(const sim::TimeZoneConfig& zone, const sim::BoardState& s, int64_t utc) {
    const std::optional<bool> rules = daylightByRules(zone, utc);
    const bool flag = s.daylight.value_or(false);
    std::string text = flag ? "on" : "off";
    if (!s.daylight) text += " (never set since the board was created)";
    if (!rules) return text + ": the zone has no daylight saving time";
    const char* now = *rules ? "daylight saving time" : "standard time";
    const std::string rule =
        "the platform's rule for the zone record (daylight time from its start up to and including the "
        "instant "
        "it ends)";
    if (flag == *rules)
        text += ": " + std::string(now) + ", as " + rule + " has it for the system time";
    else if (*rules && !autoDstEnabled())
        text +=
            ": automatic daylight saving is off (AutoDST in HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock), "
            "so standard time is kept although " +
            rule + " has daylight saving time now";
    else
        text += ", but " + rule + " has " + now +
                " for the system time: the flag was set for another time (the program sets it when it "
                "restores the "
                "clock at boot; setting the time does not move it)";
    const std::optional<bool> database = daylightByDatabase(zone.name, utc);
    if (!database || *database == *rules) return text;
    // The record holds one year's rule in the platform's form; the database knows every year's,
    // and starts the new offset at the very instant of a change.
    const int year = civilTime(utc).year;
    const bool atTheEnd =
        *rules && !*database && daylightByRules(zone, utc + sim::kFileTimeUnitsPerSecond) == false;
    text +=
        "\n                  the time-zone database (" + zone.name + ") has " +
        (*database ? "daylight saving time" : "standard time") + " for this instant: " +
        (atTheEnd
             ? "it counts the instant daylight time ends as standard time already, the platform as daylight "
               "time"
             : "the record holds one rule for every year, and the database's rules for " +
                   std::to_string(year) + " differ");
    return text;
}

// A difference of file times: below a minute to the millisecond, in ms ("+12.345 ms") or in s
// ("+1.234 s") as `inSeconds` asks; from a minute on in days, hours, minutes and whole seconds as
// timedatectl and systemd print a span ("-159d 23h 55min 44s"), which a long power-down makes
// readable where a count of milliseconds is not.
std::string differenceText(int64_t units, bool inSeconds) {
    char buf[64];
    const uint64_t magnitude = units < 0 ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
    const uint64_t seconds = magnitude / sim::kFileTimeUnitsPerSecond;
    if (seconds < 60) {
        std::snprintf(buf, sizeof buf, inSeconds ? "%+.3f s" : "%+.3f ms",
                      static_cast<double>(units) / (inSeconds ? sim::kFileTimeUnitsPerSecond : 10000.0));
        return buf;
    }
    std::string out = units < 0 ? "-" : "+";
    const std::pair<uint64_t, const char*> parts[] = {
        {seconds / 86400, "d"}, {seconds / 3600 % 24, "h"}, {seconds / 60 % 60, "min"}, {seconds % 60, "s"}};
    bool first = true;
    for (const auto& [n, unit] : parts) {
        if (n == 0) continue;
        out += (first ? "" : " ") + std::to_string(n) + unit;
        first = false;
    }
    return out;
}

std::string busPhaseText(const sim::SlaveBusState& b) {
    using sim::SlavePhase;
    std::string text;
    switch (b.phase) {
        case SlavePhase::Idle:
            return "";
        case SlavePhase::Ignore:
            return "";
        case SlavePhase::Address:
            text = "in the middle of an address byte";
            break;
        case SlavePhase::Receive:
            text = "in the middle of a byte it receives";
            break;
        case SlavePhase::Transmit:
            text = "in the middle of a byte it sends";
            break;
    }
    text += " (" + std::to_string(b.bit) + " clock pulses of 9 seen)";
    if (b.sdaLow) text += ", holding SDA low";
    return text;
}

// The chip's time as a UTC file time, the fraction of a second its own clock has run included;
// nothing when its registers hold no date.
std::optional<int64_t> chipFileTime(const sim::ChipConfig& config, const sim::ChipState& chip,
                                    int64_t phase) {
    const sim::RtcChipModel& model = sim::chipModel(config.protocol);
    const std::vector<uint8_t> regs = model.visibleRegisters(chip);
    const sim::ChipTime t = model.timeOf(regs);
    const int year = t.year2 < 70 ? 2000 + static_cast<int>(t.year2) : 1900 + static_cast<int>(t.year2);
    if (t.year2 > 99 || !sim::validDate(year, t.month, t.day) || t.hour > 23 || t.minute > 59 ||
        t.second > 59)
        return std::nullopt;
    int64_t ft = fileTimeOf(year, t.month, t.day, t.hour, t.minute, t.second);
    // A halted chip shows the time of its power-down, without the second's fraction.
    if (regs == chip.regs) ft += phase;
    return ft;
}

void doShow() {
    openBoard();
    const sim::Board& b = sim::Board::current();
    const sim::BoardConfig& c = b.config();
    const sim::BoardState state = b.readState();
    const int64_t now = sim::boardNow();
    const uint32_t processorId = sim::processorIdForMainId(c.mainId);
    std::printf("Board %s\n", b.dir().c_str());
    std::printf("  processor main ID 0x%08X%s; program %s, in %s mode\n", c.mainId,
                processorId ? (" (processor ID " + std::to_string(processorId) + ")").c_str() : "",
                c.programPath.c_str(), c.privileged ? "a privileged" : "user");
    std::printf("  power %s\n", powerText(state.power).c_str());
    std::printf("  clocks %s; notification service ready %s\n", clockModeText(c),
                c.apiReady == sim::ApiReady::AtStart ? "at start"
                : c.apiReady == sim::ApiReady::Never
                    ? "never"
                    : ("after " + std::to_string(c.apiReadyAfterMs) + " ms").c_str());
    const sim::TimeZoneConfig zone = sim::currentTimeZone();
    std::printf("  time zone %s%s\n", zone.name.empty() ? "(made by hand)" : zone.name.c_str(),
                state.timeZoneNotFlushed ? " (set by a program, not flushed: a power-down loses it)" : "");

    // As hwclock --show compares them: the system clock, the local time it stands for, each chip.
    std::printf("Clocks:\n");
    const int64_t utc = sim::boardSystemFileTime();
    // The reference every clock gains or loses against; a frozen board's clocks have none.
    if (!c.clocksStill())
        std::printf("  true time       %s UTC (%s)\n", formatFileTime(now).c_str(),
                    c.virtualClocks ? "the board's virtual time" : "the host's clock");
    // The kernel keeps the local time; UTC is derived from it by the zone and the flag.
    const bool daylight = state.daylight.value_or(false);
    const int32_t bias = sim::zoneBiasMinutes(zone, daylight);
    std::printf("  system time     %s UTC%s\n", formatFileTime(utc).c_str(),
                state.power.on ? "" : " (the board is powered down; it restarts at power-up)");
    std::printf("  local time      %s %s, %s\n", formatFileTime(sim::boardLocalFileTime()).c_str(),
                utcOffset(bias).c_str(), (daylight ? zone.daylightName : zone.standardName).c_str());
    for (const sim::ChipConfig& chip : c.chips) {
        int64_t phase = 0;
        const sim::ChipState cs = chipStateAt(chip, state, now, &phase);
        const std::optional<int64_t> t = chipFileTime(chip, cs, phase);
        if (!t) {
            std::printf("  chip %-10s (its registers hold no valid date)\n", sim::chipLabel(chip).c_str());
            continue;
        }
        const sim::RtcChipModel& model = sim::chipModel(chip.protocol);
        std::printf(
            "  chip %-10s %s UTC, system - chip = %s%s\n", sim::chipLabel(chip).c_str(),
            formatFileTime(*t).c_str(), differenceText(utc - *t, true).c_str(),
            model.timeInvalid(model.visibleRegisters(cs)) ? " (the chip flags its time invalid)" : "");
        // The same in milliseconds, against the true time too, and how fast the chip runs.
        const bool still = c.clocksStill() || chip.frozen;
        std::string offsets;
        if (!c.clocksStill()) offsets = "chip - true time = " + differenceText(*t - now, false) + ", ";
        offsets += "chip - system = " + differenceText(*t - utc, false);
        std::printf("                  %s; crystal %s%s\n", offsets.c_str(), rateText(chip.ppm).c_str(),
                    still ? ", the clock stands still" : "");
    }
    std::printf("  daylight flag   %s\n", daylightExplained(zone, state, utc).c_str());

    std::printf("Chips:\n");
    for (const std::string& l : programChipLines(c)) std::printf("  %s\n", l.c_str());
    if (c.chips.empty()) std::printf("  (none)\n");
    for (const sim::ChipConfig& chip : c.chips) {
        const sim::RtcChipModel& model = sim::chipModel(chip.protocol);
        const sim::ChipState cs = chipStateAt(chip, state, now);
        const std::vector<uint8_t> regs = model.visibleRegisters(cs);
        std::printf("  %s protocol %d: %s, invalid-time flag %s\n", sim::chipLabel(chip).c_str(),
                    chip.protocol, chipTimeText(chip.protocol, regs).c_str(),
                    model.timeInvalid(regs) ? "SET" : "clear");
        std::vector<std::string> notes = model.describe(cs);
        std::erase(notes, "time flagged invalid");
        if (c.clocksStill() || chip.frozen) notes.push_back("clock frozen");
        if (!chip.present) notes.push_back("configured absent (never answers)");
        if (cs.nakNext)
            notes.push_back("refuses its next " + std::to_string(cs.nakNext) + " address phase" +
                            (cs.nakNext == 1 ? "" : "s"));
        const std::string bus = busPhaseText(cs.bus);
        if (!bus.empty()) notes.push_back("bus: " + bus);
        for (const std::string& n : notes) std::printf("       %s\n", n.c_str());
    }
    std::printf("Faults in force:\n");
    const std::vector<std::string> faults = faultLines(c.faults);
    if (faults.empty()) std::printf("  (none)\n");
    for (const std::string& f : faults) std::printf("  %s\n", f.c_str());
    std::printf("Notifications:\n");
    printNotifications();
    std::string registry;
    try {
        registry = sim::reg::readText(b.path("registry.reg"));
    } catch (const sim::reg::ParseError& e) {
        registry = std::string("(not shown: ") + e.what() + ")\n";
    }
    std::printf("Registry (%s):\n%s%s\n", b.path("registry.reg").c_str(), registry.c_str(),
                unflushedText().c_str());
    // The end of the debug log, as `tail` shows it: the whole of it is `vboard log`'s.
    const std::string log = sim::readFile(b.path("debug.log"));
    std::vector<size_t> starts;  // where each line begins
    for (size_t at = 0; at < log.size();
         at = log.find('\n', at) == std::string::npos ? log.size() : log.find('\n', at) + 1)
        starts.push_back(at);
    const size_t earlier = starts.size() > kShownLogLines ? starts.size() - kShownLogLines : 0;
    std::printf("Debug log%s:\n%s",
                earlier ? (" (its last " + std::to_string(kShownLogLines) + " lines; " +
                           std::to_string(earlier) + " earlier: 'vboard log')")
                              .c_str()
                        : "",
                log.c_str() + (earlier ? starts[earlier] : 0));
}

}  // namespace

void addShowCommand(CLI::App& app) {
    app.add_subcommand("show", "Show configuration, clocks, notifications, registry and debug log")
        ->callback([] { doShow(); });
}

}  // namespace vboard
