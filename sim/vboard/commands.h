// vboard's subcommands, grouped by the part of the board they act on.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace vboard {

// The board directory chosen with --board, $TAMBLIN_BOARD or ./board.
std::string& boardDirOption();
// Opens the chosen board (it must exist).
void openBoard();

void addBoardCommands(CLI::App& app);         // init, show, set-time, log, registry
void addChipCommands(CLI::App& app);          // chip dump/set/time, power, backup loss
void addNotificationCommands(CLI::App& app);  // notification list/add/clear
void addRegistryCommands(CLI::App& app);      // registry show/set

// A 32-bit number, decimal or 0x...; `what` names it in the error.
uint32_t parseNumber(const std::string& text, const std::string& what);
// A whole file ("" when it cannot be read).
std::string readText(const std::string& path);

// One line per registration of the board's notification database.
void printNotifications();

void addTraceCommands(CLI::App& app);  // trace show/vcd/clear, i2c-hold

}  // namespace vboard
