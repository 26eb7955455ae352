// vboard init / show / set-time / log: the board as a whole and its operating system's state.
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

#include "../board/board.h"
#include "../board/rtc_chip.h"
#include "../board/simtime.h"
#include "../ceapi/kernel_objects.h"
#include "../ceapi/services.h"
#include "commands.h"

namespace vboard {

namespace {

struct InitOptions {
    bool force = false;
    std::string processor = "17";
    bool privileged = false;
    std::string program;
    int protocol = 1;
    std::string address;
    bool noChip = false;
    std::string zone = "cet";
    bool frozen = false;
    std::string apiReady = "start";
    std::vector<std::string> registry;
    std::string tamblinExe;
};

sim::TimeZoneConfig zoneByName(const std::string& name) {
    sim::TimeZoneConfig z;
    if (name == "utc") return z;  // no daylight rules
    if (name == "cet") return sim::defaultBoardConfig().timeZone;
    if (name == "us-eastern") {
        z.bias = 300;
        z.standardName = "Eastern Standard Time";
        z.daylightName = "Eastern Daylight Time";
        z.standardDate = sim::SysTime{0, 11, 0, 1, 2, 0, 0, 0};  // first Sunday of November 02:00
        z.daylightDate = sim::SysTime{0, 3, 0, 2, 2, 0, 0, 0};   // second Sunday of March 02:00
        z.daylightBias = -60;
        return z;
    }
    if (name == "sydney") {
        z.bias = -600;
        z.standardName = "AUS Eastern Standard Time";
        z.daylightName = "AUS Eastern Daylight Time";
        z.standardDate = sim::SysTime{0, 4, 0, 1, 3, 0, 0, 0};   // first Sunday of April 03:00
        z.daylightDate = sim::SysTime{0, 10, 0, 1, 2, 0, 0, 0};  // first Sunday of October 02:00
        z.daylightBias = -60;
        return z;
    }
    throw sim::BoardError("unknown zone \"" + name + "\" (known: utc, cet, us-eastern, sydney)");
}

// "SOFTWARE\Vorlack\Tamblin:Protocol=dword:3" or "...:Name=text" -> a .reg section line pair.
std::string registryEntry(const std::string& entry) {
    size_t colon = entry.find(':');
    size_t eq = entry.find('=', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || eq == std::string::npos)
        throw sim::BoardError("--reg \"" + entry + "\": expected KEY:NAME=dword:N or KEY:NAME=text");
    std::string key = entry.substr(0, colon);
    std::string name = entry.substr(colon + 1, eq - colon - 1);
    std::string value = entry.substr(eq + 1);
    std::string line = "\"" + name + "\"=";
    if (value.rfind("dword:", 0) == 0) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", parseNumber(value.substr(6), "--reg " + name));
        line += std::string("dword:") + buf;
    } else if (value.rfind("hex:", 0) == 0) {
        line += value;
    } else {
        std::string escaped;
        for (char c : value) {
            if (c == '\\' || c == '"') escaped += '\\';
            escaped += c;
        }
        line += "\"" + escaped + "\"";
    }
    return "\r\n[HKEY_LOCAL_MACHINE\\" + key + "]\r\n" + line + "\r\n";
}

void doInit(const InitOptions& o) {
    const std::string dir = boardDirOption().empty()
                                ? (std::getenv("TAMBLIN_BOARD") ? std::getenv("TAMBLIN_BOARD") : "board")
                                : boardDirOption();
    struct stat st;
    if (::stat((dir + "/board.json").c_str(), &st) == 0 && !o.force)
        throw sim::BoardError(dir + " already holds a board (use --force to replace it)");
    if (o.force) {
        for (const char* f : {"state.json", "debug.log", "trace.log"}) std::remove((dir + "/" + f).c_str());
    }
    sim::BoardConfig c = sim::defaultBoardConfig();
    const uint32_t cpu = parseNumber(o.processor, "--processor");
    c.mainId = sim::mainIdForProcessor(cpu);
    c.privileged = o.privileged;
    if (!o.program.empty()) c.programPath = o.program;
    c.apps.clear();
    c.apps[c.programPath] = o.tamblinExe.empty() ? sim::selfExeDir() + "/tamblin" : o.tamblinExe;
    c.frozen = o.frozen;
    c.timeZone = zoneByName(o.zone);
    if (o.apiReady == "start") {
        c.apiReady = sim::ApiReady::AtStart;
    } else if (o.apiReady == "never") {
        c.apiReady = sim::ApiReady::Never;
    } else {
        c.apiReady = sim::ApiReady::AfterMs;
        c.apiReadyAfterMs = parseNumber(o.apiReady, "--api-ready");
    }
    c.chips.clear();
    if (!o.noChip) {
        if (o.protocol < 1 || o.protocol > 4) throw sim::BoardError("--protocol: expected 1..4");
        sim::ChipConfig chip;
        chip.protocol = o.protocol;
        chip.address = o.address.empty() ? sim::chipModel(o.protocol).defaultAddress
                                         : static_cast<uint8_t>(parseNumber(o.address, "--address"));
        if (chip.address > 0x7F) throw sim::BoardError("--address: a 7-bit address is 0x00..0x7F");
        c.chips.push_back(chip);
    }
    std::string registry = sim::defaultRegistryText();
    for (const std::string& r : o.registry) registry += registryEntry(r);
    sim::createBoard(dir, c, registry);
    std::printf("Created board %s\n", dir.c_str());
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

bool parseTime(const std::string& text, SYSTEMTIME& st) {
    unsigned y, mo, d, h = 0, mi = 0, s = 0, ms = 0;
    int n = std::sscanf(text.c_str(), "%u-%u-%u %u:%u:%u.%u", &y, &mo, &d, &h, &mi, &s, &ms);
    if (n < 3) n = std::sscanf(text.c_str(), "%u-%u-%uT%u:%u:%u.%u", &y, &mo, &d, &h, &mi, &s, &ms);
    if (n < 3) return false;
    st = SYSTEMTIME{static_cast<WORD>(y), static_cast<WORD>(mo), 0,
                    static_cast<WORD>(d), static_cast<WORD>(h),  static_cast<WORD>(mi),
                    static_cast<WORD>(s), static_cast<WORD>(ms)};
    return true;
}

void doShow() {
    openBoard();
    const sim::Board& b = sim::Board::current();
    const sim::BoardConfig& c = b.config();
    const sim::BoardState state = b.readState();
    std::printf("Board %s\n", b.dir().c_str());
    std::printf("  processor main ID 0x%08X, program in %s mode, path %s\n", c.mainId,
                c.privileged ? "a privileged" : "user", c.programPath.c_str());
    std::printf("  clocks %s, notification service ready %s\n", c.frozen ? "frozen" : "running",
                c.apiReady == sim::ApiReady::AtStart ? "at start"
                : c.apiReady == sim::ApiReady::Never
                    ? "never"
                    : ("after " + std::to_string(c.apiReadyAfterMs) + " ms").c_str());
    const int64_t utc = sim::boardSystemFileTime();
    const bool daylight = state.daylight.value_or(false);
    const int32_t bias = c.timeZone.bias + (daylight ? c.timeZone.daylightBias : c.timeZone.standardBias);
    std::printf("System time (UTC):   %s\n", formatFileTime(utc).c_str());
    std::printf("Local time:          %s (%s, daylight flag %s)\n",
                formatFileTime(utc - static_cast<int64_t>(bias) * 600000000LL).c_str(),
                (daylight ? c.timeZone.daylightName : c.timeZone.standardName).c_str(),
                daylight ? "on" : "off");
    std::printf("Chips:\n");
    if (c.chips.empty()) std::printf("  (none)\n");
    for (const sim::ChipConfig& chip : c.chips)
        std::printf("  protocol %d at 0x%02X\n", chip.protocol, chip.address);
    std::printf("Notifications:\n");
    printNotifications();
    std::printf("Registry (%s):\n%s\n", b.path("registry.reg").c_str(),
                readText(b.path("registry.reg")).c_str());
    std::printf("Debug log:\n%s", readText(b.path("debug.log")).c_str());
}

void doSetTime(const std::string& text, bool wait) {
    openBoard();
    SYSTEMTIME st{};
    if (text == "now") {
        const int64_t ft = sim::hostFileTimeNow();
        FILETIME f{static_cast<DWORD>(ft & 0xFFFFFFFF), static_cast<DWORD>(static_cast<uint64_t>(ft) >> 32)};
        FileTimeToSystemTime(&f, &st);
    } else if (!parseTime(text, st)) {
        throw sim::BoardError("set-time: expected \"YYYY-MM-DD HH:MM:SS[.mmm]\" (UTC) or \"now\", got \"" +
                              text + "\"");
    }
    const size_t before = sim::Board::current().readState().launches.size();
    if (!SetSystemTime(&st))
        throw sim::BoardError("set-time: the platform refused " + text + " (not a valid date)");
    std::printf("System time set to %s UTC\n", formatFileTime(sim::boardSystemFileTime()).c_str());
    const sim::BoardState s = sim::Board::current().readState();
    std::vector<int> pids;
    for (size_t i = before; i < s.launches.size(); ++i) {
        const sim::LaunchRecord& l = s.launches[i];
        std::printf("Notification service started %s %s\n", l.app.c_str(), l.args.value_or("").c_str());
        pids.push_back(l.pid);
    }
    if (!wait || pids.empty()) return;
    std::vector<int> codes = sim::waitForStartedApps(pids);
    for (size_t i = 0; i < codes.size(); ++i) std::printf("  process %d exited with %d\n", pids[i], codes[i]);
}

}  // namespace

void addBoardCommands(CLI::App& app) {
    static InitOptions init;
    CLI::App* cmd = app.add_subcommand("init", "Create a board directory");
    cmd->add_flag("-f,--force", init.force, "Replace an existing board (its state and log are lost)");
    cmd->add_option("-p,--processor", init.processor, "Processor ID: 2, 8, 9, 17 or 0x0411FC09 (default 17)");
    cmd->add_flag("--privileged", init.privileged, "Run the program in a privileged processor mode");
    cmd->add_option("--program", init.program, "Device path of the program (default \\Windows\\Tamblin.exe)");
    cmd->add_option("--protocol", init.protocol, "Protocol of the RTC chip, 1..4 (default 1)");
    cmd->add_option("--address", init.address, "7-bit address of the chip (default: the protocol's)");
    cmd->add_flag("--no-chip", init.noChip, "No RTC chip on the bus");
    cmd->add_option("--zone", init.zone, "Time zone: utc, cet (default), us-eastern, sydney");
    cmd->add_flag("--frozen", init.frozen, "Clocks stand still; process timing is virtual (replayable runs)");
    cmd->add_option("--api-ready", init.apiReady,
                    "Notification service ready: start (default), never, or N ms");
    cmd->add_option("--reg", init.registry, "Registry value KEY:NAME=dword:N or KEY:NAME=text (repeatable)");
    cmd->add_option("--tamblin", init.tamblinExe, "Host executable started for the program's device path");
    cmd->callback([] { doInit(init); });

    app.add_subcommand("show", "Show configuration, clocks, notifications, registry and debug log")
        ->callback([] { doShow(); });

    static std::string when;
    static bool noWait = false;
    CLI::App* st = app.add_subcommand("set-time", "Set the system time (UTC) as a program would");
    st->add_option("time", when, "\"YYYY-MM-DD HH:MM:SS[.mmm]\" in UTC, or now")->required();
    st->add_flag("--no-wait", noWait, "Do not wait for the programs the notification service starts");
    st->callback([] { doSetTime(when, !noWait); });

    static bool clear = false;
    CLI::App* log = app.add_subcommand("log", "Print the board's debug log");
    log->add_flag("--clear", clear, "Empty the log afterwards");
    log->callback([] {
        openBoard();
        const std::string path = sim::Board::current().path("debug.log");
        std::fputs(readText(path).c_str(), stdout);
        if (clear) std::ofstream(path, std::ios::trunc);
    });
}

}  // namespace vboard
