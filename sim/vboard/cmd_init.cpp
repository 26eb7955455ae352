// vboard init: a new board directory.
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

// --processor: a processor ID of the list, or a main ID register value written as `show` prints
// it (0x and eight hex digits). The two never meet: every main ID has its implementer code in the
// top byte, and no listed processor ID is written with eight digits after 0x but 0x0411FC09, whose
// top byte (0x04) is no implementer.
uint32_t mainIdOption(const std::string& text) {
    const uint32_t v = parseNumber(text, "--processor");
    for (const sim::KnownProcessor& p : sim::kKnownProcessors)
        if (v == p.id) return p.mainId;
    const bool mainIdForm = text.size() == 10 && (text[1] == 'x' || text[1] == 'X');
    if (mainIdForm && (v >> 24) != 0) return v;
    throw UsageError(
        "--processor: \"" + text + "\" is neither a processor ID (" + sim::knownProcessorsText() +
        ") nor a main ID (0x and eight hex "
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

}  // namespace

void addInitCommand(CLI::App& app) {
    static InitOptions init;
    CLI::App* cmd = app.add_subcommand("init", "Create a board directory");
    cmd->add_flag("-f,--force", init.force, "Replace an existing board (its state and log are lost)");
    cmd->add_option("-p,--processor", init.processor,
                    "Processor ID " + sim::knownProcessorsText(17, " (default)") +
                        ", or a main ID as 'show' prints it: 0x and "
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
}

}  // namespace vboard
