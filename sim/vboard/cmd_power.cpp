// vboard power: the board's own supply; vboard advance: time passing on a board with virtual clocks. The
// chips keep their backup supply through a power-down. Powering the board up starts the system clock afresh
// at 2000-01-01 00:00:00 UTC, as a board whose clock has no battery of its own does, unless --keep-clock is
// given.
#include <cstdio>
#include <optional>

#include "../board/board.h"
#include "../board/board_power.h"
#include "../board/calendar.h"
#include "../board/simtime.h"
#include "commands.h"

namespace vboard {

namespace {
constexpr int64_t kColdBootClock = 12591158400LL * sim::kFileTimeUnitsPerSecond;  // 2000-01-01 00:00:00 UTC

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
    CLI::App* up = power->add_subcommand("up", "Power the board up (the system clock starts at 2000-01-01)");
    up->add_flag("--keep-clock", keepClock, "Keep the system clock running as it was");
    up->callback([] {
        const auto lock = openBoardForChange();
        sim::powerUpBoard(keepClock ? std::nullopt : std::optional<int64_t>(kColdBootClock));
        std::printf(keepClock ? "Board powered up, the system clock kept\n"
                              : "Board powered up, the system clock at 2000-01-01 00:00:00 UTC\n");
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
