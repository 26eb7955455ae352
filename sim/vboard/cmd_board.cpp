// vboard init / show / set-time / log: the board as a whole and its operating system's state.
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

namespace {

constexpr size_t kShownLogLines = 20;

// The program's registry key, where it finds its chip.
constexpr const char* kProgramKey = "SOFTWARE\\Vorlack\\Tamblin";

struct InitOptions {
    bool force = false;
    std::string processor = "17";
    bool privileged = false;
    std::string program;
    std::string protocol = "1";
    std::string address;
    std::string bus;
    bool noChip = false;
    bool noChipRegistry = false;
    std::string zone = "cet";
    bool frozen = false;
    bool virtualTime = false;
    std::string apiReady = "start";
    std::vector<std::string> registry;
    std::string tamblinExe;
};

// The processor IDs the program knows, as the README lists them.
constexpr uint32_t kProcessorIds[] = {2, 8, 9, 17, 0x0411FC09};

// --processor: a processor ID of the list, or a main ID register value written as `show` prints
// it (0x and eight hex digits). The two never meet: every main ID has its implementer code in the
// top byte, and no listed processor ID is written with eight digits after 0x but 0x0411FC09, whose
// top byte (0x04) is no implementer.
uint32_t mainIdOption(const std::string& text) {
    const uint32_t v = parseNumber(text, "--processor");
    for (uint32_t id : kProcessorIds)
        if (v == id) return sim::mainIdForProcessor(id);
    const bool mainIdForm = text.size() == 10 && (text[1] == 'x' || text[1] == 'X');
    if (mainIdForm && (v >> 24) != 0) return v;
    throw UsageError(
        "--processor: \"" + text +
        "\" is neither a processor ID (2, 8, 9, 17 or 0x0411FC09) nor a main ID (0x and eight hex "
        "digits with the implementer in the top byte, as 'vboard show' prints it, e.g. 0x69054117)");
}

// --reg "KEY:NAME=VALUE": the key ends at the first colon, the name at the first = after it.
void splitRegOption(const std::string& entry, std::string& key, std::string& name, std::string& value) {
    const size_t colon = entry.find(':');
    const size_t eq = colon == std::string::npos ? std::string::npos : entry.find('=', colon);
    if (eq == std::string::npos)
        throw UsageError("--reg \"" + entry +
                         "\": expected KEY:NAME=dword:N, KEY:NAME=sz:TEXT or KEY:NAME=hex:BYTES");
    key = entry.substr(0, colon);
    name = entry.substr(colon + 1, eq - colon - 1);
    value = entry.substr(eq + 1);
}

const char* clockModeText(const sim::BoardConfig& c) {
    return c.virtualClocks ? "virtual (they run on the board's virtual time)"
           : c.frozen      ? "frozen"
                           : "running";
}

void doInit(const InitOptions& o) {
    const std::string dir = boardDir();
    // Everything is checked before anything on disk changes.
    sim::BoardConfig c = sim::defaultBoardConfig();
    c.mainId = mainIdOption(o.processor);
    c.privileged = o.privileged;
    if (!o.program.empty()) c.programPath = o.program;
    c.apps.clear();
    c.apps[c.programPath] = o.tamblinExe.empty() ? sim::selfExeDir() + "/tamblin" : o.tamblinExe;
    c.frozen = o.frozen || o.virtualTime;
    c.virtualClocks = o.virtualTime;
    c.timeZone = resolveZone(o.zone, civilTime(sim::hostFileTimeNow()).year);
    if (o.apiReady == "start") {
        c.apiReady = sim::ApiReady::AtStart;
    } else if (o.apiReady == "never") {
        c.apiReady = sim::ApiReady::Never;
    } else {
        c.apiReady = sim::ApiReady::AfterMs;
        try {
            c.apiReadyAfterMs = parseNumber(o.apiReady, "--api-ready");
        } catch (const UsageError&) {
            throw UsageError("--api-ready: expected start, never or a number of milliseconds, got \"" +
                             o.apiReady + "\"");
        }
    }
    c.chips.clear();
    if (!o.noChip) {
        sim::ChipConfig chip;
        chip.protocol = protocolNumber(o.protocol, "--protocol");
        chip.address = o.address.empty() ? sim::chipModel(chip.protocol).defaultAddress
                                         : parseAddress(o.address, "--address");
        chip.bus = parseBus(o.bus, "--bus").value_or(sim::I2cBusId::Standard);
        if (chip.bus == sim::I2cBusId::PowerManager && sim::processorIdForMainId(c.mainId) != 17)
            throw UsageError("--bus pwr: " + powerManagerBusMissing(c.mainId));
        c.chips.push_back(chip);
    }
    // The program finds the chip by its registry values: a board built with a chip has them
    // (the --reg values come after, and win).
    std::string registry = sim::defaultRegistryText();
    if (!c.chips.empty() && !o.noChipRegistry) {
        const sim::ChipConfig& chip = c.chips.front();
        registry = registryWithValue(registry, kProgramKey, "Protocol",
                                     "dword:" + std::to_string(chip.protocol), "--protocol");
        registry = registryWithValue(registry, kProgramKey, "SlaveAddr", "dword:" + sim::hex(chip.address, 2),
                                     "--address");
        // The standard unit is the program's default: only the other bus needs the value.
        if (chip.bus == sim::I2cBusId::PowerManager)
            registry = registryWithValue(registry, kProgramKey, "I2CBus", "dword:1", "--bus");
    }
    for (const std::string& r : o.registry) {
        std::string key, name, value;
        splitRegOption(r, key, name, value);
        registry = registryWithValue(registry, key, name, value, "--reg \"" + r + "\"");
    }
    sim::parseBoardConfig(sim::boardConfigToJson(c), dir + "/board.json");  // as every program will read it

    // Under the board's lock: two inits never both find the directory empty, and a replaced board
    // is replaced whole while no other command changes it.
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw sim::BoardError(dir + ": cannot create the board directory: " + std::strerror(errno));
    const sim::BoardLock lock(dir);
    struct stat st;
    if (::stat((dir + "/board.json").c_str(), &st) == 0 && !o.force)
        throw sim::BoardError(dir + " already holds a board (use --force to replace it)");
    sim::createBoard(dir, c, registry);
    if (o.force) {
        std::ofstream(dir + "/debug.log", std::ios::trunc);
        std::remove((dir + "/trace.log").c_str());
    }
    std::printf("Created board %s: processor main ID 0x%08X, %s", dir.c_str(), c.mainId,
                c.chips.empty() ? "no chip"
                                : ("a protocol-" + std::to_string(c.chips[0].protocol) + " chip at " +
                                   sim::chipLabel(c.chips[0]))
                                      .c_str());
    if (!c.chips.empty() && !o.noChipRegistry)
        std::printf(c.chips[0].bus == sim::I2cBusId::PowerManager
                        ? " (registry: Protocol, SlaveAddr and I2CBus to match)"
                        : " (registry: Protocol and SlaveAddr to match)");
    std::printf(", time zone %s, clocks %s\n", c.timeZone.name.c_str(), clockModeText(c));
    const std::string note = zoneNameNote(o.zone, c.timeZone);
    if (!note.empty()) std::fprintf(stderr, "vboard: note: %s\n", note.c_str());
}

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

// What became of a program the notification service started, from its exit and its standard
// error. The board's own program, started for a time or zone change, has stored the time when it
// says "RTC Time set"; anything else (its exit code 0, "I2C bus not available"; "Error while
// setting RTC time"; a board it could not run on; a board fault) is a failure. Of other programs
// only a signal or a program that could not be run is known to be one.
struct AppResult {
    bool failed = false;
    std::string text;  // "exited with 1: RTC Time set (...)"
};

AppResult judge(const sim::StartedApp& app, int code, const std::string& output) {
    AppResult r;
    const bool signalled = code >= 128;
    r.text =
        signalled ? "ended by signal " + std::to_string(code - 128) : "exited with " + std::to_string(code);
    // The device's file system ignores letter case in paths.
    const bool boardProgram = lowerCase(app.app) == lowerCase(sim::Board::current().config().programPath);
    if (boardProgram && app.args &&
        (*app.args == "AppRunAfterTimeChange" || *app.args == "AppRunAfterTzChange")) {
        const size_t set = output.find("RTC Time set (");
        r.failed = signalled || code != 1 || set == std::string::npos;
        if (!r.failed) return {false, r.text + ": " + lastLine(output.substr(0, output.find('\n', set)))};
    } else {
        r.failed = signalled || code == 127;
    }
    const std::string said = lastLine(output);
    if (!said.empty()) r.text += ": \"" + said + "\"";
    return r;
}

// The UTC time a store reports as set ("RTC Time set (DD.MM.YYYY hh:mm:ss)"), if it does.
std::optional<int64_t> storedTime(const std::string& output) {
    const size_t at = output.find("RTC Time set (");
    unsigned day, month, year, hour, minute, second;
    if (at == std::string::npos || std::sscanf(output.c_str() + at, "RTC Time set (%u.%u.%u %u:%u:%u)", &day,
                                               &month, &year, &hour, &minute, &second) != 6)
        return std::nullopt;
    return fileTimeOf(static_cast<int>(year), month, day, hour, minute, second);
}

}  // namespace

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

std::string lastLine(const std::string& output) {
    std::string text = output;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const size_t nl = text.find_last_of("\r\n");
    return nl == std::string::npos ? text : text.substr(nl + 1);
}

StartedAppsCapture::StartedAppsCapture(bool wait) {
    // The programs started for the change write their standard error each into a file of its
    // own, so that what became of each can be told; it is shown once they have ended.
    if (!wait) return;
    char tmpl[] = "/tmp/vboard-started-XXXXXX";
    if (::mkdtemp(tmpl)) dir = tmpl;
    sim::captureStartedAppsOutput(dir);
}

StartedAppsCapture::~StartedAppsCapture() {
    if (!dir.empty()) std::filesystem::remove_all(dir);
}

void waitForStartedApps(const std::string& command, const std::string& done, bool wait,
                        const std::function<std::string(const std::string&)>& noteOn) {
    const std::vector<sim::StartedApp> started = sim::startedApps();
    for (const sim::StartedApp& a : started)
        std::printf("Notification service started %s%s\n", a.app.c_str(),
                    a.args ? (" " + *a.args).c_str() : "");
    // Out before the started programs' output.
    std::fflush(stdout);
    if (!wait || started.empty()) return;
    std::vector<int> pids;
    for (const sim::StartedApp& a : started) pids.push_back(a.pid);
    const std::vector<int> codes = sim::waitForStartedApps(pids);
    std::string failures;
    for (size_t i = 0; i < started.size(); ++i) {
        const std::string output = sim::readFile(started[i].outputFile);
        std::fputs(output.c_str(), stderr);
        std::fflush(stderr);
        const AppResult r = judge(started[i], codes[i], output);
        const std::string note = noteOn ? noteOn(output) : "";
        std::printf("  process %d (%s) %s%s\n", pids[i], started[i].app.c_str(), r.text.c_str(),
                    note.c_str());
        if (r.failed)
            failures += std::string(failures.empty() ? "" : "; ") + started[i].app +
                        (started[i].args ? " " + *started[i].args : "") + " (process " +
                        std::to_string(pids[i]) + ") " + r.text;
    }
    std::fflush(stdout);
    if (!failures.empty())
        throw sim::BoardError(command + ": " + done +
                              ", but the program started for the change failed: " + failures);
}

namespace {

void doSetTime(const std::string& text, bool wait, bool local) {
    openBoard();
    // A copy: the board is opened afresh under its lock below.
    const sim::TimeZoneConfig zone = sim::currentTimeZone();
    const int64_t when = parseTime(text, "set-time", local ? &zone : nullptr);
    const CivilTime t = civilTime(when);
    // SYSTEMTIME holds milliseconds: that is what the clock takes.
    SYSTEMTIME st{static_cast<WORD>(t.year),    static_cast<WORD>(t.month),
                  static_cast<WORD>(t.weekday), static_cast<WORD>(t.day),
                  static_cast<WORD>(t.hour),    static_cast<WORD>(t.minute),
                  static_cast<WORD>(t.second),  static_cast<WORD>(t.subsecond / 10000)};
    const StartedAppsCapture capture(wait);
    sim::SystemClockState setClock;  // the clock as this command left it
    {
        // A board that is off runs nothing: checked and set under the board's lock, so that a
        // power-down comes before (refused) or after (the programs end at once), never between.
        const auto lock = openBoardForChange();
        if (!sim::Board::current().readState().power.on)
            throw sim::BoardError(
                "set-time: the board is powered down, and a board that is off runs nothing "
                "('vboard power up')");
        if (!SetSystemTime(&st))
            throw sim::BoardError("set-time: the platform refused " + formatTime(when, true));
        setClock = sim::Board::current().readState().systemClock;
    }
    std::printf("System time set to %s UTC", formatTime(when - when % 10000, true).c_str());
    if (local) {
        const bool daylight = daylightByRules(zone, when).value_or(false);
        const int32_t bias = zone.bias + (daylight ? zone.daylightBias : zone.standardBias);
        std::printf(
            " (local time %s %s)",
            formatTime(when - when % 10000 - static_cast<int64_t>(bias) * 60 * sim::kFileTimeUnitsPerSecond,
                       true)
                .c_str(),
            utcOffset(bias).c_str());
    }
    std::printf("\n");
    // Another change of the system time made meanwhile (a set-time in parallel, say) is what the
    // programs found if it came before they read the clock: said, so that a store of another time
    // does not read as a fault.
    const auto overtakenNote = [&](const std::string& output) -> std::string {
        const sim::BoardState now = sim::Board::current().readState();
        const sim::SystemClockState& clockNow = now.systemClock;
        if (clockNow.local == setClock.local && clockNow.atHost == setClock.atHost) return "";
        const std::optional<int64_t> stored = storedTime(output);
        const int64_t second = when - when % sim::kFileTimeUnitsPerSecond;
        const int64_t ran = sim::boardNow() - setClock.atHost;
        const bool ours = stored && *stored >= second - sim::kFileTimeUnitsPerSecond &&
                          *stored <= when + std::max<int64_t>(ran, 0) + 2 * sim::kFileTimeUnitsPerSecond;
        // The time the later change set, in UTC: the kernel keeps it in local time.
        const int64_t setTo = clockNow.local + static_cast<int64_t>(sim::zoneBiasMinutes(
                                                   sim::currentTimeZone(), now.daylight.value_or(false))) *
                                                   60 * sim::kFileTimeUnitsPerSecond;
        const std::string later = "the system time was set again, to " +
                                  formatTime(setTo - setTo % 10000, true) + " UTC, after this command set it";
        if (stored && !ours)
            return ": that is a later change's time, not this command's " + formatTime(when, false) +
                   " UTC (" + later + " and before the program read the clock)";
        if (stored) return "; " + later + ", and the program started for that change stores it";
        return "";
    };
    waitForStartedApps("set-time", "the system time is set", wait, overtakenNote);
}

}  // namespace

void addBoardCommands(CLI::App& app) {
    static InitOptions init;
    CLI::App* cmd = app.add_subcommand("init", "Create a board directory");
    cmd->add_flag("-f,--force", init.force, "Replace an existing board (its state and log are lost)");
    cmd->add_option(
        "-p,--processor", init.processor,
        "Processor ID 2, 8, 9, 17 (default) or 0x0411FC09, or a main ID as 'show' prints it: 0x and "
        "eight hex digits, e.g. 0x69054117");
    cmd->add_flag("--privileged", init.privileged, "Run the program in a privileged processor mode");
    CLI::Option* program = cmd->add_option("--program", init.program,
                                           "Device path of the program (default \\Windows\\Tamblin.exe)");
    CLI::Option* protocol =
        cmd->add_option("--protocol", init.protocol, "Protocol of the RTC chip, 1..4 (default 1)");
    CLI::Option* address = cmd->add_option("--address", init.address,
                                           "7-bit address of the chip, 0x00..0x7F (default: the protocol's)");
    CLI::Option* bus = cmd->add_option("--bus", init.bus,
                                       "The bus the chip is wired to: std (the standard I2C unit's, default) "
                                       "or pwr (the power-manager unit's, "
                                       "processor ID 17); pwr writes the program's I2CBus to match");
    CLI::Option* noChip = cmd->add_flag("--no-chip", init.noChip, "No RTC chip on the bus")
                              ->excludes(protocol)
                              ->excludes(address)
                              ->excludes(bus);
    cmd->add_flag(
           "--no-chip-registry", init.noChipRegistry,
           "Leave the chip's Protocol and SlaveAddr out of the registry (the program then looks for its "
           "defaults, a protocol-1 chip at 0x68)")
        ->excludes(noChip);
    cmd->add_option("--zone", init.zone,
                    "Time zone: utc, cet (default), us-eastern, sydney, or a name of the host's time-zone "
                    "database such as Europe/Berlin (see 'vboard zone list')");
    CLI::Option* frozen = cmd->add_flag("--frozen", init.frozen,
                                        "Clocks stand still; process timing is virtual (replayable runs)");
    cmd->add_flag(
           "--virtual-time", init.virtualTime,
           "Process timing is virtual and the clocks run on it: the system clock and the chips move as "
           "the programs spend time, and with 'vboard advance' (replayable runs)")
        ->excludes(frozen);
    cmd->add_option("--api-ready", init.apiReady,
                    "Notification service ready: start (default), never, or N ms");
    cmd->add_option("--reg", init.registry,
                    "Registry value KEY:NAME=dword:N, KEY:NAME=sz:TEXT or KEY:NAME=hex:BYTES (repeatable)");
    CLI::Option* tamblin = cmd->add_option("--tamblin", init.tamblinExe,
                                           "Host executable started for the program's device path");
    cmd->callback([program, tamblin] {
        if (program->count() && init.program.empty()) throw UsageError("--program: the device path is empty");
        if (tamblin->count() && init.tamblinExe.empty())
            throw UsageError("--tamblin: the executable is empty");
        doInit(init);
    });

    app.add_subcommand("show", "Show configuration, clocks, notifications, registry and debug log")
        ->callback([] { doShow(); });

    static std::string when;
    static bool noWait = false;
    static bool local = false;
    CLI::App* st = app.add_subcommand(
        "set-time",
        "Set the system time (UTC) as a program would; wait for the programs the notification service "
        "starts, and fail (exit 1) when one of them fails");
    st->add_option("time", when, std::string("The new time: ") + kTimeForm)->required();
    st->add_flag("--local", local, "TIME is the board's local time (its time zone), as timedatectl takes it");
    st->add_flag("--no-wait", noWait, "Do not wait for the programs the notification service starts");
    st->callback([] { doSetTime(when, !noWait, local); });

    static bool clear = false;
    CLI::App* log = app.add_subcommand("log", "Print the board's debug log");
    log->add_flag("--clear", clear, "Empty the log afterwards");
    log->callback([] {
        openBoard();
        const std::string path = sim::Board::current().path("debug.log");
        const std::string text = sim::readFile(path);
        // Emptied before it is shown, so that a log that cannot be emptied is refused whole.
        if (clear && !std::ofstream(path, std::ios::trunc))
            throw sim::BoardError(path + ": cannot empty the log");
        std::fputs(text.c_str(), stdout);
    });
}

}  // namespace vboard
