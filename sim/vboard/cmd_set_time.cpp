// vboard set-time, and the programs the notification service starts for a change.
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
            formatTime(when - when % 10000 - static_cast<int64_t>(bias) * sim::kFileTimeUnitsPerMinute, true)
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
                                                   sim::kFileTimeUnitsPerMinute;
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

void addSetTimeCommand(CLI::App& app) {
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
}

}  // namespace vboard
