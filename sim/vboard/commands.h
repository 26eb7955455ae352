// vboard's subcommands, grouped by the part of the board they act on.
//
// Exit codes: 0 the command did all it says; 1 the board refused or failed (nothing changed);
// 2 the command line is wrong (unknown command or option, a missing or malformed argument).
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <stdexcept>
#include <iosfwd>
#include <string>
#include <vector>

#include "../board/board.h"
#include "../board/i2c_trace.h"

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

void addBoardCommands(CLI::App& app);         // init, show, set-time, log
void addChipCommands(CLI::App& app);          // chip dump/add/remove/time/set/..., power
void addNotificationCommands(CLI::App& app);  // notify list/add/clear
void addRegistryCommands(CLI::App& app);      // registry show/set/delete
void addTraceCommands(CLI::App& app);         // trace show/vcd/svg/clear, i2c-hold
void addZoneCommands(CLI::App& app);          // zone show/set/list

// A number written in decimal or as 0x... (no sign, no octal), at most `max`; `what` names it in
// the refusal.
uint32_t parseNumber(const std::string& text, const std::string& what, uint32_t max = 0xFFFFFFFFu);
// A chip protocol, 1..4.
int protocolNumber(const std::string& text, const std::string& what);
// A 7-bit I2C address.
uint8_t parseAddress(const std::string& text, const std::string& what);
// A whole file ("" when it cannot be read).
std::string readText(const std::string& path);
// Replaces a file through a temporary one, so that readers see the old or the new text.
void writeText(const std::string& path, const std::string& text);

// One line per registration of the board's notification database.
void printNotifications();

// ---- Times (timetext.cpp) ---------------------------------------------------------------------
// Every time vboard takes: "now", or ISO 8601 as people write it, YYYY-MM-DD[(T| )HH:MM[:SS[.f]]]
// with an optional Z or UTC offset (+02:00, +0200, +02), which is applied; without one the time
// is UTC. Returns a file time (100 ns units since 1601-01-01 UTC); refuses anything else.
int64_t parseTime(const std::string& text, const std::string& what);
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
std::string zoneInfoDir();

// ---- Trace picture (trace_svg.cpp) ------------------------------------------------------------
// SCL and SDA as a logic analyser draws them, with the decoded bytes, addresses, acknowledges
// and bus conditions above the lines.
void writeTraceSvg(const std::vector<sim::TraceRecord>& records, std::ostream& out);

}  // namespace vboard
