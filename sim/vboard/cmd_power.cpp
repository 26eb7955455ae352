// vboard power: the board's own supply; vboard advance: time passing on a board with virtual clocks. The
// chips keep their backup supply through a power-down. Powering the board up starts the kernel's clock
// afresh at 2000-01-01 00:00:00 local time, as a board whose clock has no battery of its own does, unless
// --keep-clock is given; then the kernel starts what [HKEY_LOCAL_MACHINE\init] lists.
#include <cstdio>
#include <filesystem>
#include <optional>

#include "../board/board.h"
#include "../board/board_power.h"
#include "../board/calendar.h"
#include "../board/simtime.h"
#include "../ceapi/tools_api.h"
#include "commands.h"

namespace vboard {

namespace {
constexpr int64_t kColdBootClock = 12591158400LL * sim::kFileTimeUnitsPerSecond;  // 2000-01-01 00:00:00

std::string launchName(const sim::InitOutcome& o) {
    return "Launch" + std::to_string(o.launch.number) +
           (o.launch.program.empty() ? "" : " " + o.launch.program);
}

void reportLaunch(const sim::InitOutcome& o) {
    using Kind = sim::InitOutcome::Kind;
    switch (o.kind) {
        case Kind::Platform:
            std::printf("  %s: the platform's own, started\n", launchName(o).c_str());
            break;
        case Kind::Started:
            std::printf("  %s: started %s %u (process %d)\n", launchName(o).c_str(), o.devicePath.c_str(),
                        o.launch.number, o.pid);
            break;
        case Kind::NotFound:
            std::printf("  %s: not found, skipped: %s\n", launchName(o).c_str(), o.why.c_str());
            break;
        case Kind::NotStarted:
            std::printf("  %s: not started: %s\n", launchName(o).c_str(), o.why.c_str());
            break;
        case Kind::NeverStarted:
            std::printf("  %s: never starts: %s\n", launchName(o).c_str(), o.why.c_str());
            break;
    }
    std::fflush(stdout);
}

// The kernel's start-up after the power-up: what [HKEY_LOCAL_MACHINE\init] lists, each launch
// shown as it is made; with `wait`, the programs it started are waited for. Throws (exit 1) when a
// launch was not made or a program ended without SignalStarted, the board being on all the same.
void startUp(bool wait) {
    std::string captureDir;
    if (wait) {
        char tmpl[] = "/tmp/vboard-power-up-XXXXXX";
        if (::mkdtemp(tmpl)) captureDir = tmpl;
    }
    struct Cleanup {
        std::string dir;
        ~Cleanup() {
            if (!dir.empty()) std::filesystem::remove_all(dir);
        }
    } cleanup{captureDir};
    bool headed = false;
    auto head = [&] {
        if (!headed) std::printf("Start-up, [HKEY_LOCAL_MACHINE\\init]:\n");
        headed = true;
    };
    const sim::InitStartUp r = sim::runInitStartUp(
        captureDir,
        [&](const sim::InitOutcome& o) {
            head();
            reportLaunch(o);
        },
        [&](const sim::InitOutcome& o, uint32_t on) {
            std::printf("  %s: still waiting for launch %u to call SignalStarted\n", launchName(o).c_str(),
                        on);
            std::fflush(stdout);
        });
    if (!r.registryReadable)
        throw sim::BoardError(
            "power up: the board is on, but its registry cannot be read: nothing of "
            "[HKEY_LOCAL_MACHINE\\init] "
            "was started");
    for (const std::string& n : r.notes) {
        head();
        std::printf("  note: %s\n", n.c_str());
    }
    std::string failures;
    auto fail = [&](const std::string& what) { failures += (failures.empty() ? "" : "; ") + what; };
    std::vector<const sim::InitOutcome*> running;
    for (const sim::InitOutcome& o : r.outcomes) {
        if (o.kind == sim::InitOutcome::Kind::Started)
            running.push_back(&o);
        else if (o.kind != sim::InitOutcome::Kind::Platform)
            fail(launchName(o) + " " + o.why);
    }
    std::fflush(stdout);
    if (!wait) {
        if (!failures.empty()) throw sim::BoardError("power up: the board is on, but " + failures);
        return;
    }
    for (const sim::InitOutcome* o : running) {
        const int code = o->exitCode ? *o->exitCode : sim::waitForStartedApps({o->pid}).front();
        std::fputs(sim::readFile(o->outputFile).c_str(), stderr);
        std::fflush(stderr);
        const std::vector<uint32_t> signalled = sim::Board::current().readState().signalledStarted;
        const bool said = std::find(signalled.begin(), signalled.end(), o->launch.number) != signalled.end();
        const std::string last = lastLine(sim::readFile(o->outputFile));
        std::printf("  process %d (%s %u) %s %d%s%s\n", o->pid, o->devicePath.c_str(), o->launch.number,
                    code >= 128 ? "ended by signal" : "exited with", code >= 128 ? code - 128 : code,
                    said ? ", having called SignalStarted" : ", without calling SignalStarted",
                    last.empty() ? "" : (": \"" + last + "\"").c_str());
        if (!said)
            fail(launchName(*o) + " (process " + std::to_string(o->pid) + ") ended without SignalStarted(" +
                 std::to_string(o->launch.number) + ")");
        else if (code >= 128 || code == 2 || code == 3 || code == 127)
            fail(launchName(*o) + " (process " + std::to_string(o->pid) + ") " +
                 (code >= 128 ? "ended by signal " + std::to_string(code - 128)
                              : "exited with " + std::to_string(code)));
    }
    std::fflush(stdout);
    if (!failures.empty()) throw sim::BoardError("power up: the board is on, but " + failures);
}

}  // namespace

// "8h", "90s", "1d12h", "250ms": whole numbers, each with its unit (d, h, m, s, ms, us); a bare
// number of milliseconds where `bareMs` allows it.
uint64_t parseDuration(const std::string& text, const std::string& what, bool bareMs) {
    static const std::pair<const char*, uint64_t> kUnits[] = {
        {"ms", 1'000'000ULL},        {"us", 1'000ULL},         {"d", 86'400'000'000'000ULL},
        {"h", 3'600'000'000'000ULL}, {"m", 60'000'000'000ULL}, {"s", 1'000'000'000ULL}};
    const std::string form = what + ": expected a duration such as " +
                             (bareMs ? "500 (milliseconds), 5s, 2m" : "8h, 90s, 1d12h") +
                             " or 250ms, got \"" + text + "\"";
    uint64_t total = 0;
    size_t at = 0;
    if (text.empty()) throw UsageError(form);
    if (bareMs && text.find_first_not_of("0123456789") == std::string::npos)
        return uint64_t{parseNumber(text, what)} * 1'000'000ULL;
    while (at < text.size()) {
        size_t digits = at;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        if (digits == at || digits - at > 9) throw UsageError(form);
        const uint64_t n = std::stoull(text.substr(at, digits - at));
        bool found = false;
        for (const auto& [unit, ns] : kUnits) {
            const size_t len = std::char_traits<char>::length(unit);
            if (text.compare(digits, len, unit) != 0) continue;
            total += n * ns;
            at = digits + len;
            found = true;
            break;
        }
        if (!found) throw UsageError(form);
    }
    // A century is more than any board's life; it keeps every sum far inside 64 bits.
    if (total == 0 || total > 100ULL * 366 * 86'400'000'000'000ULL)
        throw UsageError(what + ": " + text + " is not a duration from 1 us to a hundred years");
    return total;
}

namespace {}  // namespace

std::string powerText(const sim::PowerState& p) {
    std::string text = p.on ? "on" : "off (the chips run on their backup supply)";
    const bool virtualClocks = sim::Board::isOpen() && sim::Board::current().config().virtualClocks;
    if (p.changedAt)
        text += ", since " + formatTime(p.changedAt, false) + " UTC (" + (virtualClocks ? "board" : "host") +
                " time)";
    return text;
}

void addPowerCommands(CLI::App& app) {
    CLI::App* power =
        app.add_subcommand("power", "Switch the board's supply (chips keep their backup supply)");
    power->require_subcommand(1);
    power->add_subcommand("status", "Say whether the board is powered")->callback([] {
        openBoard();
        std::printf("Board power: %s\n", powerText(sim::Board::current().readState().power).c_str());
    });
    power->add_subcommand("down", "Power the board down")->callback([] {
        const auto lock = openBoardForChange();
        sim::powerDownBoard();
        std::printf("Board powered down\n");
    });
    static bool keepClock = false;
    static bool noWait = false;
    CLI::App* up = power->add_subcommand(
        "up",
        "Power the board up (the system clock starts at 2000-01-01 local time) and start what "
        "[HKEY_LOCAL_MACHINE\\init] lists, as the kernel does at boot");
    up->add_flag("--keep-clock", keepClock, "Keep the system clock running as it was");
    up->add_flag("--no-wait", noWait, "Do not wait for the programs of the start-up to end");
    up->callback([] {
        {
            const auto lock = openBoardForChange();
            sim::powerUpBoard(keepClock ? std::nullopt : std::optional<int64_t>(kColdBootClock));
            std::printf(keepClock ? "Board powered up, the system clock kept\n"
                                  : "Board powered up, the system clock at 2000-01-01 00:00:00 local time\n");
            std::fflush(stdout);
        }
        // The programs of the start-up run on the board: its lock is not held while they do.
        startUp(!noWait);
    });

    static std::string duration;
    CLI::App* advance = app.add_subcommand(
        "advance", "Let time pass at once on a board with virtual clocks (its clocks and chips move on)");
    advance->add_option("duration", duration, "How long: 8h, 90s, 1d12h, 250ms (units d h m s ms us)")
        ->required();
    advance->callback([] {
        const uint64_t ns = parseDuration(duration, "advance");
        openBoard();
        if (!sim::Board::current().config().virtualClocks)
            throw sim::BoardError(
                std::string("advance: this board's clocks ") +
                (sim::Board::current().config().frozen ? "stand still" : "run with the host's") +
                "; only a board made with 'init --virtual-time' lets time pass at once");
        sim::skipBoardTime(ns);
        std::printf("Board time now %s UTC\n", formatTime(sim::boardNow(), true).c_str());
    });
}

}  // namespace vboard
