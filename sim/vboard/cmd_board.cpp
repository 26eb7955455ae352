// vboard init / show / set-time / log: the board as a whole and its operating system's state.
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>
#include <ctime>
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

struct InitOptions {
    bool force = false;
    std::string processor = "17";
    bool privileged = false;
    std::string program;
    std::string protocol = "1";
    std::string address;
    bool noChip = false;
    std::string zone = "cet";
    bool frozen = false;
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

void doInit(const InitOptions& o) {
    const std::string dir = boardDir();
    // Everything is checked before anything on disk changes.
    sim::BoardConfig c = sim::defaultBoardConfig();
    c.mainId = mainIdOption(o.processor);
    c.privileged = o.privileged;
    if (!o.program.empty()) c.programPath = o.program;
    c.apps.clear();
    c.apps[c.programPath] = o.tamblinExe.empty() ? sim::selfExeDir() + "/tamblin" : o.tamblinExe;
    c.frozen = o.frozen;
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
        c.chips.push_back(chip);
    }
    std::string registry = sim::defaultRegistryText();
    for (const std::string& r : o.registry) {
        std::string key, name, value;
        splitRegOption(r, key, name, value);
        registry = registryWithValue(registry, key, name, value, "--reg \"" + r + "\"");
    }
    sim::parseBoardConfig(sim::boardConfigToJson(c), dir + "/board.json");  // as every program will read it

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
                                   sim::hex(c.chips[0].address, 2))
                                      .c_str());
    std::printf(", time zone %s, clocks %s\n", c.timeZone.name.c_str(), c.frozen ? "frozen" : "running");
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

// Why the kernel's daylight flag stands as it does, against the zone's rules for `utc`.
std::string daylightExplained(const sim::BoardConfig& c, const sim::BoardState& s, int64_t utc) {
    const std::optional<bool> rules = daylightByRules(c.timeZone, utc);
    const bool flag = s.daylight.value_or(false);
    std::string text = flag ? "on" : "off";
    if (!s.daylight) text += " (never set since the board was created)";
    if (!rules) return text + ": the zone has no daylight saving time";
    const char* now = *rules ? "daylight saving time" : "standard time";
    if (flag == *rules) return text + ": " + now + ", as the zone's rules have it for the system time";
    if (*rules && !autoDstEnabled())
        return text +
               ": automatic daylight saving is off (AutoDST in HKEY_LOCAL_MACHINE\\Software\\"
               "Microsoft\\Clock), so standard time is kept although the zone's rules have daylight "
               "saving time now";
    return text + ", but the zone's rules have " + now +
           " for the system time: the flag was set for another time (the program sets it when it restores "
           "the clock at boot; setting the time does not move it)";
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

// The chip's time as a UTC file time, its fraction of a second included; nothing when its
// registers hold no date.
std::optional<int64_t> chipFileTime(const sim::ChipConfig& config, const sim::ChipState& chip, bool frozen,
                                    int64_t now) {
    const sim::RtcChipModel& model = sim::chipModel(config.protocol);
    const std::vector<uint8_t> regs = model.visibleRegisters(chip);
    const sim::ChipTime t = model.timeOf(regs);
    const int year = t.year2 < 70 ? 2000 + static_cast<int>(t.year2) : 1900 + static_cast<int>(t.year2);
    if (t.year2 > 99 || !sim::validDate(year, t.month, t.day) || t.hour > 23 || t.minute > 59 ||
        t.second > 59)
        return std::nullopt;
    int64_t ft = fileTimeOf(year, t.month, t.day, t.hour, t.minute, t.second);
    const bool running = !frozen && !model.clockStopped(chip) && regs == chip.regs;
    if (running && now >= chip.clockAt)
        ft += std::min<int64_t>(now - chip.clockAt, sim::kFileTimeUnitsPerSecond - 1);
    return ft;
}

void doShow() {
    openBoard();
    const sim::Board& b = sim::Board::current();
    const sim::BoardConfig& c = b.config();
    const sim::BoardState state = b.readState();
    const int64_t now = sim::hostFileTimeNow();
    const uint32_t processorId = sim::processorIdForMainId(c.mainId);
    std::printf("Board %s\n", b.dir().c_str());
    std::printf("  processor main ID 0x%08X%s; program %s, in %s mode\n", c.mainId,
                processorId ? (" (processor ID " + std::to_string(processorId) + ")").c_str() : "",
                c.programPath.c_str(), c.privileged ? "a privileged" : "user");
    std::printf("  power %s\n", powerText(state.power).c_str());
    std::printf("  clocks %s; notification service ready %s\n", c.frozen ? "frozen" : "running",
                c.apiReady == sim::ApiReady::AtStart ? "at start"
                : c.apiReady == sim::ApiReady::Never
                    ? "never"
                    : ("after " + std::to_string(c.apiReadyAfterMs) + " ms").c_str());
    std::printf("  time zone %s\n", c.timeZone.name.empty() ? "(made by hand)" : c.timeZone.name.c_str());

    // As hwclock --show compares them: the system clock, the local time it stands for, each chip.
    std::printf("Clocks:\n");
    const int64_t utc = sim::boardSystemFileTime();
    const bool daylight = state.daylight.value_or(false);
    const int32_t bias = c.timeZone.bias + (daylight ? c.timeZone.daylightBias : c.timeZone.standardBias);
    std::printf("  system time     %s UTC%s\n", formatFileTime(utc).c_str(),
                state.power.on ? "" : " (the board is powered down; it restarts at power-up)");
    std::printf("  local time      %s %s, %s\n",
                formatFileTime(utc - static_cast<int64_t>(bias) * 600000000LL).c_str(),
                utcOffset(bias).c_str(),
                (daylight ? c.timeZone.daylightName : c.timeZone.standardName).c_str());
    for (const sim::ChipConfig& chip : c.chips) {
        const sim::ChipState cs = chipStateAt(chip, state, now);
        const std::optional<int64_t> t = chipFileTime(chip, cs, c.frozen || chip.frozen, now);
        if (!t) {
            std::printf("  chip %s       (its registers hold no valid date)\n",
                        sim::hex(chip.address, 2).c_str());
            continue;
        }
        char diff[48];
        std::snprintf(diff, sizeof diff, "%+.3f",
                      static_cast<double>(utc - *t) / sim::kFileTimeUnitsPerSecond);
        const sim::RtcChipModel& model = sim::chipModel(chip.protocol);
        std::printf(
            "  chip %s       %s UTC, system - chip = %s s%s\n", sim::hex(chip.address, 2).c_str(),
            formatFileTime(*t).c_str(), diff,
            model.timeInvalid(model.visibleRegisters(cs)) ? " (the chip flags its time invalid)" : "");
    }
    std::printf("  daylight flag   %s\n", daylightExplained(c, state, utc).c_str());

    std::printf("Chips:\n");
    if (c.chips.empty()) std::printf("  (none)\n");
    for (const sim::ChipConfig& chip : c.chips) {
        const sim::RtcChipModel& model = sim::chipModel(chip.protocol);
        const sim::ChipState cs = chipStateAt(chip, state, now);
        const std::vector<uint8_t> regs = model.visibleRegisters(cs);
        std::printf("  %s protocol %d: %s, invalid-time flag %s\n", sim::hex(chip.address, 2).c_str(),
                    chip.protocol, chipTimeText(chip.protocol, regs).c_str(),
                    model.timeInvalid(regs) ? "SET" : "clear");
        std::vector<std::string> notes = model.describe(cs);
        std::erase(notes, "time flagged invalid");
        if (c.frozen || chip.frozen) notes.push_back("clock frozen");
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
    std::printf("Registry (%s):\n%s\n", b.path("registry.reg").c_str(),
                sim::readFile(b.path("registry.reg")).c_str());
    std::printf("Debug log:\n%s", sim::readFile(b.path("debug.log")).c_str());
}

void doSetTime(const std::string& text, bool wait) {
    const int64_t when = parseTime(text, "set-time");
    const CivilTime t = civilTime(when);
    // SYSTEMTIME holds milliseconds: that is what the clock takes.
    SYSTEMTIME st{static_cast<WORD>(t.year),    static_cast<WORD>(t.month),
                  static_cast<WORD>(t.weekday), static_cast<WORD>(t.day),
                  static_cast<WORD>(t.hour),    static_cast<WORD>(t.minute),
                  static_cast<WORD>(t.second),  static_cast<WORD>(t.subsecond / 10000)};
    openBoard();
    const size_t before = sim::Board::current().readState().launches.size();
    if (!SetSystemTime(&st))
        throw sim::BoardError("set-time: the platform refused " + formatTime(when, true));
    std::printf("System time set to %s UTC\n", formatTime(when - when % 10000, true).c_str());
    const sim::BoardState s = sim::Board::current().readState();
    std::vector<int> pids;
    for (size_t i = before; i < s.launches.size(); ++i) {
        const sim::LaunchRecord& l = s.launches[i];
        std::printf("Notification service started %s %s\n", l.app.c_str(), l.args.value_or("").c_str());
        pids.push_back(l.pid);
    }
    // Out before the started programs write their debug output to the same terminal.
    std::fflush(stdout);
    if (!wait || pids.empty()) return;
    std::vector<int> codes = sim::waitForStartedApps(pids);
    for (size_t i = 0; i < codes.size(); ++i) std::printf("  process %d exited with %d\n", pids[i], codes[i]);
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
    cmd->add_flag("--no-chip", init.noChip, "No RTC chip on the bus")->excludes(protocol)->excludes(address);
    cmd->add_option("--zone", init.zone,
                    "Time zone: utc, cet (default), us-eastern, sydney, or a name of the host's time-zone "
                    "database such as Europe/Berlin (see 'vboard zone list')");
    cmd->add_flag("--frozen", init.frozen, "Clocks stand still; process timing is virtual (replayable runs)");
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
    CLI::App* st = app.add_subcommand("set-time", "Set the system time (UTC) as a program would");
    st->add_option("time", when, std::string("The new time: ") + kTimeForm)->required();
    st->add_flag("--no-wait", noWait, "Do not wait for the programs the notification service starts");
    st->callback([] { doSetTime(when, !noWait); });

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
