// vboard's subcommands, grouped by the part of the board they act on, and the helpers they share
// (common.cpp); main.cpp is the entry point alone.
//
// Exit codes: 0 the command did all it says; 1 the board refused or failed (nothing changed);
// 2 the command line is wrong (unknown command or option, a missing or malformed argument).
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <stdexcept>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../board/board.h"

namespace vboard {

// A command line that cannot be carried out as written: exit code 2, the board untouched.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The board directory chosen with --board, $TAMBLIN_BOARD or ./board.
std::string& boardDirOption();
std::string boardDir();
// Opens the chosen board (it must exist).
void openBoard();
// Opens the chosen board for a command that changes it: the board's lock (sim::BoardLock) is held
// until the returned object goes, and the board is read afresh under it, so that commands in
// parallel and the programs on the board never lose each other's changes.
std::unique_ptr<sim::BoardLock> openBoardForChange();

// Takes the bus mutex "I2C" as every driver on the board takes it for its transfers, waiting up to
// 5 s for another holder; it is released when the returned handle goes. The board must be open.
std::shared_ptr<void> takeBusMutex();

void addBoardCommands(CLI::App& app);         // init, show, set-time, log
void addInitCommand(CLI::App& app);           // cmd_init.cpp
void addShowCommand(CLI::App& app);           // cmd_show.cpp
void addSetTimeCommand(CLI::App& app);        // cmd_set_time.cpp
void addChipCommands(CLI::App& app);          // chip dump/add/remove/time/set/...
void addNotificationCommands(CLI::App& app);  // notify list/add/clear
void addRegistryCommands(CLI::App& app);      // registry show/set/delete
void addTraceCommands(CLI::App& app);         // trace show/vcd/svg/clear
void addZoneCommands(CLI::App& app);          // zone show/set/list
void addPowerCommands(CLI::App& app);         // power status/down/up
void addBusCommands(CLI::App& app);           // scan, i2c-hold
void addFaultCommands(CLI::App& app);         // fault add/list/clear

// A number written in decimal or as 0x... (no sign, no octal), at most `max`; `what` names it in
// the refusal.
uint32_t parseNumber(const std::string& text, const std::string& what, uint32_t max = 0xFFFFFFFFu);
// A duration, "8h", "90s", "1d12h", "250ms" (units d h m s ms us), in ns; with `bareMs` a bare number
// is milliseconds, else refused. Refuses 0 and more than a century, naming `what`.
uint64_t parseDuration(const std::string& text, const std::string& what, bool bareMs = false);
// A chip protocol, 1..4.
int protocolNumber(const std::string& text, const std::string& what);
// A 7-bit I2C address.
uint8_t parseAddress(const std::string& text, const std::string& what);
// A bus, "std" (the standard unit's) or "pwr" (the power-manager unit's); nothing for "".
std::optional<sim::I2cBusId> parseBus(const std::string& text, const std::string& what);
// A chip's address as show prints it: "0x68", or with its bus, "pwr:0x68" or "std:0x68".
std::pair<uint8_t, std::optional<sim::I2cBusId>> parseChipAddress(const std::string& text,
                                                                  const std::string& what);
// Why a board with this main ID has no power-manager bus (only processor ID 17 has the unit).
std::string powerManagerBusMissing(uint32_t mainId);

// Replaces one top-level entry of the board's board.json (absent: removes it), the rest of the
// file as it was; the new file must read as a board, or nothing changes.
void replaceBoardJsonEntry(const std::string& key, const std::optional<sim::json>& value);
// The candidate closest to `word`, when it is close enough to be a slip of the keyboard ("" else).
std::string closest(const std::string& word, const std::vector<std::string>& candidates);
// ASCII letters in lower case (names compared without regard to letter case).
std::string lowerCase(std::string s);

// ---- Chips (cmd_chip.cpp) ---------------------------------------------------------------------
// A chip's state as its clock stands at the board's true time `now`, from `state`, with nothing
// written; `phase` gets how far its second has run (its own 100-ns units).
sim::ChipState chipStateAt(const sim::ChipConfig& config, const sim::BoardState& state, int64_t now,
                           int64_t* phase = nullptr);
// "+50.000 ppm (gains 4.320 s a day)": a crystal's error and what it makes of a day.
std::string rateText(double ppm);
// "2026-12-08 02:18:10 Tue (weekday 2)": the time a chip's registers hold.
std::string chipTimeText(int protocol, const std::vector<uint8_t>& regs);
// "on, since ...", or off.
std::string powerText(const sim::PowerState& p);

// The platform's clock setting AutoDST (absent: off), read as the program reads it.
bool autoDstEnabled();
// "frozen", "running" or "virtual (...)": how the board's clocks go.
const char* clockModeText(const sim::BoardConfig& c);

// ---- Programs started on the board (cmd_board.cpp) ---------------------------------------------
// The last line a program wrote.
std::string lastLine(const std::string& output);
// While it lives (when `wait`), the programs the notification service starts write their standard
// error each into a file of its own, so that what became of each can be told.
struct StartedAppsCapture {
    explicit StartedAppsCapture(bool wait);
    ~StartedAppsCapture();
    StartedAppsCapture(const StartedAppsCapture&) = delete;
    StartedAppsCapture& operator=(const StartedAppsCapture&) = delete;
    std::string dir;
};
// Names the programs the notification service started for a change `command` made; with `wait`,
// waits for them, shows their output and how each ended, and throws (exit 1) when one failed,
// saying that `done` is done all the same.
// `noteOn`, when given, adds to the line of each program what it makes of its output.
void waitForStartedApps(const std::string& command, const std::string& done, bool wait,
                        const std::function<std::string(const std::string&)>& noteOn = nullptr);

// ---- Faults (cmd_fault.cpp) -------------------------------------------------------------------
// One line per fault in force, as `fault add` takes it and what it does.
std::vector<std::string> faultLines(const sim::FaultConfig& faults);

// One line per registration of the board's notification database.
void printNotifications();

// ---- Times (timetext.cpp) ---------------------------------------------------------------------
// Every time vboard takes: "now", or ISO 8601 as people write it, YYYY-MM-DD[(T| )HH:MM[:SS[.f]]]
// with an optional Z or UTC offset (+02:00, +0200, +02), which is applied; without one the time
// is UTC. Returns a file time (100 ns units since 1601-01-01 UTC); refuses anything else.
// With `local`, a time without Z or offset is the board's local time under that zone record, as
// `timedatectl set-time` takes it; a time the clocks skip is refused, one they pass twice is the
// first of the two (said on standard error).
int64_t parseTime(const std::string& text, const std::string& what,
                  const sim::TimeZoneConfig* local = nullptr);
extern const char* const kTimeForm;  // the accepted form, for help texts

struct CivilTime {
    int year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
    unsigned weekday = 0;    // 0 = Sunday
    unsigned subsecond = 0;  // 100 ns units
};
CivilTime civilTime(int64_t fileTime);
// "YYYY-MM-DD HH:MM:SS" with ".mmm" when `millis`.
std::string formatTime(int64_t fileTime, bool millis);
// The file time of a day and time of the proleptic Gregorian calendar.
int64_t fileTimeOf(int year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second);

// ---- Registry values (cmd_registry.cpp) -------------------------------------------------------
// What programs set in the registry and did not flush, as .reg text after a comment ("" when none).
std::string unflushedText();
// Sets KEY's NAME to VALUE (dword:N, sz:TEXT or hex:BYTES) in the registry text `regText` and
// returns the new text, which the registry's own reader reads back to exactly that value;
// refuses what the .reg format cannot hold.
std::string registryWithValue(const std::string& regText, const std::string& key, const std::string& name,
                              const std::string& value, const std::string& file);

// ---- Time zones (tzdb.cpp) --------------------------------------------------------------------
// The short names utc, cet, us-eastern and sydney, or a name of the host's time-zone database
// (any letter case), as the platform's time-zone record for the rules in force in `year`.
sim::TimeZoneConfig resolveZone(const std::string& name, int year);
std::vector<std::string> zoneNames();
// A note for a zone name typed as an abbreviation that the database takes for an offset without
// daylight saving time ("EST" for US Eastern time); "" when there is nothing to say.
std::string zoneNameNote(const std::string& typed, const sim::TimeZoneConfig& zone);
std::string zoneInfoDir();
// "UTC+01:00" for a bias of -60 minutes (UTC = local + bias).
std::string utcOffset(int32_t biasMinutes);
// Whether the zone record's rules put the UTC file time `utc` in daylight saving time, as the
// platform decides it (the instant daylight time ends still counts as daylight time); nothing when
// the zone has none.
std::optional<bool> daylightByRules(const sim::TimeZoneConfig& zone, int64_t utc);
// Whether the host's time-zone database has daylight saving time at `utc` in the zone `name`;
// nothing when `name` is no zone of the database.
std::optional<bool> daylightByDatabase(const std::string& name, int64_t utc);

}  // namespace vboard
