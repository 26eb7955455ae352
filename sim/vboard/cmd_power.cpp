// vboard power: the board's own supply. The chips keep their backup supply through a power-down.
// Powering the board up starts the system clock afresh at 2000-01-01 00:00:00 UTC, as a board
// whose clock has no battery of its own does, unless --keep-clock is given.
#include <cstdio>
#include <optional>

#include "../board/board.h"
#include "../board/board_power.h"
#include "../board/calendar.h"
#include "commands.h"

namespace vboard {

namespace {
constexpr int64_t kColdBootClock = 12591158400LL * sim::kFileTimeUnitsPerSecond;  // 2000-01-01 00:00:00 UTC
}  // namespace

std::string powerText(const sim::PowerState& p) {
    std::string text = p.on ? "on" : "off (the chips run on their backup supply)";
    if (p.changedAt) text += ", since " + formatTime(p.changedAt, false) + " UTC (host time)";
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
    CLI::App* up = power->add_subcommand("up", "Power the board up (the system clock starts at 2000-01-01)");
    up->add_flag("--keep-clock", keepClock, "Keep the system clock running as it was");
    up->callback([] {
        const auto lock = openBoardForChange();
        sim::powerUpBoard(keepClock ? std::nullopt : std::optional<int64_t>(kColdBootClock));
        std::printf(keepClock ? "Board powered up, the system clock kept\n"
                              : "Board powered up, the system clock at 2000-01-01 00:00:00 UTC\n");
    });
}

}  // namespace vboard
