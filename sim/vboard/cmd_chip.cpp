// vboard chip ... and vboard power ...: the RTC chips on the board's bus and the board's supply.
//
// A chip that loses its backup supply (chip backup-loss) restarts from its power-on state: the
// invalid-time flag set, the time at 2000-01-01 00:00:00 (a Saturday) and running on from there,
// the other registers at the chip's reset values. Powering the board up starts the system clock
// afresh at 2000-01-01 00:00:00 UTC, as a board whose clock has no battery of its own does,
// unless --keep-clock is given.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "../board/board.h"
#include "../board/board_power.h"
#include "../board/calendar.h"
#include "../board/format.h"
#include "../board/rtc_chip.h"
#include "../board/simtime.h"
#include "commands.h"

namespace vboard {

namespace {

constexpr int64_t kColdBootClock = 12591158400LL * sim::kFileTimeUnitsPerSecond;  // 2000-01-01 00:00:00 UTC

// The chip that an --address option names, or the board's only chip.
const sim::ChipConfig& selectChip(const std::string& addressText) {
    const sim::BoardConfig& c = sim::Board::current().config();
    if (addressText.empty()) {
        if (c.chips.size() == 1) return c.chips[0];
        throw sim::BoardError(c.chips.empty() ? "the board has no chip"
                                              : "the board has several chips: choose one with --address");
    }
    const uint32_t a = parseNumber(addressText, "--address");
    for (const sim::ChipConfig& chip : c.chips)
        if (chip.address == a) return chip;
    throw sim::BoardError("no chip at " + sim::hex(a, 2));
}

// Changes one chip's state, its clock brought up to the present first.
void changeChip(const sim::ChipConfig& config, const std::function<void(sim::ChipState&, int64_t)>& change) {
    const sim::Board& board = sim::Board::current();
    const int64_t now = sim::hostFileTimeNow();
    const sim::RtcChipModel& model = sim::chipModel(config.protocol);
    board.updateState([&](sim::BoardState& s) {
        auto it = s.chips.find(config.address);
        if (it == s.chips.end()) it = s.chips.emplace(config.address, model.initialState(now)).first;
        sim::ChipState& chip = it->second;
        chip.latch.reset();
        model.catchUp(chip, board.config().frozen || config.frozen, now);
        change(chip, now);
    });
}

// "YYYY-MM-DD HH:MM:SS" -> the chip's time fields, weekday from the date.
sim::ChipTime parseChipTime(const std::string& text, int protocol) {
    unsigned y, mo, d, h = 0, mi = 0, s = 0;
    const int n = std::sscanf(text.c_str(), "%u-%u-%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s);
    if (n < 3 || !sim::validDate(static_cast<int>(y), mo, d) || h > 23 || mi > 59 || s > 59)
        throw sim::BoardError("expected a time \"YYYY-MM-DD HH:MM:SS\", got \"" + text + "\"");
    const sim::CivilDate date = sim::dateOfDayNumber(sim::dayNumber(static_cast<int>(y), mo, d));
    sim::ChipTime t;
    t.year2 = y % 100;
    t.month = mo;
    t.day = d;
    t.hour = h;
    t.minute = mi;
    t.second = s;
    t.weekday = date.weekday + sim::chipModel(protocol).time.sunday;
    return t;
}

int64_t parseFileTime(const std::string& text) {
    unsigned y, mo, d, h = 0, mi = 0, s = 0;
    if (std::sscanf(text.c_str(), "%u-%u-%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s) < 3 || y < 1601 ||
        !sim::validDate(static_cast<int>(y), mo, d) || h > 23 || mi > 59 || s > 59)
        throw sim::BoardError("expected a time \"YYYY-MM-DD HH:MM:SS\", got \"" + text + "\"");
    return sim::fileTimeOf(sim::SysTime{static_cast<uint16_t>(y), static_cast<uint16_t>(mo), 0,
                                        static_cast<uint16_t>(d), static_cast<uint16_t>(h),
                                        static_cast<uint16_t>(mi), static_cast<uint16_t>(s), 0});
}

void printChip(const sim::ChipConfig& config, const sim::ChipState& chip) {
    const sim::RtcChipModel& model = sim::chipModel(config.protocol);
    const std::vector<uint8_t> regs = model.visibleRegisters(chip);
    const sim::ChipTime t = model.timeOf(regs);
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    const unsigned first = model.time.sunday;
    const char* day = t.weekday >= first && t.weekday - first < 7 ? kDays[t.weekday - first] : "?";
    char timeText[64];
    std::snprintf(timeText, sizeof timeText, "%u-%02u-%02u %02u:%02u:%02u %s (weekday %u)",
                  t.year2 < 70 ? 2000 + t.year2 : 1900 + t.year2, t.month, t.day, t.hour, t.minute, t.second,
                  day, t.weekday);
    std::printf("chip %s: protocol %d, %zu registers, pointer 0x%02x\n", sim::hex(config.address, 2).c_str(),
                config.protocol, regs.size(), chip.pointer);
    std::printf("     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n");
    for (size_t row = 0; row < regs.size(); row += 16) {
        std::printf("%02zx: ", row);
        for (size_t i = row; i < row + 16; ++i) {
            if (i < regs.size())
                std::printf("%02x ", regs[i]);
            else
                std::printf("   ");
        }
        std::printf("   %s\n", row == 0 ? timeText : "");
    }
    std::printf("invalid-time flag %s", model.timeInvalid(regs) ? "SET" : "clear");
    if (sim::Board::current().config().frozen || config.frozen)
        std::printf(", clock frozen");
    else if (model.clockStopped(chip))
        std::printf(", clock stopped");
    else
        std::printf(", clock running");
    if (regs != chip.regs) {
        const sim::ChipTime live = model.timeOf(chip.regs);
        std::printf(", halted: the time registers show the power-down time (the clock is at %02u:%02u:%02u)",
                    live.hour, live.minute, live.second);
    }
    if (!config.present) std::printf(", configured absent (never answers)");
    if (chip.nakNext > 0) std::printf(", refuses the next %u address phases", chip.nakNext);
    std::printf("\n");
}

void doDump(const std::string& addressText) {
    openBoard();
    const sim::BoardConfig& c = sim::Board::current().config();
    if (c.chips.empty()) {
        std::printf("(no chip on the board)\n");
        return;
    }
    std::vector<const sim::ChipConfig*> chips;
    if (addressText.empty())
        for (const sim::ChipConfig& chip : c.chips) chips.push_back(&chip);
    else
        chips.push_back(&selectChip(addressText));
    for (const sim::ChipConfig* config : chips) {
        sim::ChipState copy;
        changeChip(*config, [&](sim::ChipState& chip, int64_t) { copy = chip; });
        printChip(*config, copy);
    }
}

struct AddOptions {
    int protocol = 0;
    std::string address, time;
    bool frozen = false;
};

void doAdd(const AddOptions& o) {
    openBoard();
    if (o.protocol < 1 || o.protocol > 4) throw sim::BoardError("chip add: the protocol is 1..4");
    sim::ChipConfig chip;
    chip.protocol = o.protocol;
    chip.address = o.address.empty() ? sim::chipModel(o.protocol).defaultAddress
                                     : static_cast<uint8_t>(parseNumber(o.address, "--address"));
    chip.frozen = o.frozen;
    const int64_t when = o.time.empty() ? sim::hostFileTimeNow() : parseFileTime(o.time);
    sim::BoardConfig c = sim::Board::current().config();
    if (chip.address > 0x7F) throw sim::BoardError("--address: a 7-bit address is 0x00..0x7F");
    if (c.chipAt(chip.address))
        throw sim::BoardError("a chip answers at " + sim::hex(chip.address, 2) + " already");
    c.chips.push_back(chip);
    const std::string dir = sim::Board::current().dir();
    sim::writeBoardConfig(dir, c);
    sim::Board::use(dir);
    sim::Board::current().updateState([&](sim::BoardState& s) {
        s.chips[chip.address] = sim::chipModel(chip.protocol).initialState(when);
    });
    std::printf("Added a protocol %d chip at %s\n", chip.protocol, sim::hex(chip.address, 2).c_str());
}

void doRemove(const std::string& addressText) {
    openBoard();
    const sim::ChipConfig chip = selectChip(addressText);
    sim::BoardConfig c = sim::Board::current().config();
    std::erase_if(c.chips, [&](const sim::ChipConfig& e) { return e.address == chip.address; });
    sim::writeBoardConfig(sim::Board::current().dir(), c);
    sim::Board::current().updateState([&](sim::BoardState& s) { s.chips.erase(chip.address); });
    std::printf("Removed the chip at %s\n", sim::hex(chip.address, 2).c_str());
}

}  // namespace

void addChipCommands(CLI::App& app) {
    CLI::App* chip = app.add_subcommand("chip", "The RTC chips on the board's I2C bus");
    chip->require_subcommand(1);
    static std::string address;
    auto addressOption = [](CLI::App* cmd) {
        cmd->add_option("-a,--address", address, "The chip's 7-bit address (default: the board's only chip)");
    };

    CLI::App* dump = chip->add_subcommand("dump", "Registers as a hex table, with the time they hold");
    addressOption(dump);
    dump->callback([] { doDump(address); });

    static AddOptions add;
    CLI::App* addCmd = chip->add_subcommand("add", "Put a chip on the bus");
    addCmd->add_option("protocol", add.protocol, "Chip protocol 1..4")->required();
    addCmd->add_option("-a,--address", add.address, "7-bit address (default: the protocol's)");
    addCmd->add_option("--time", add.time, "Time the chip holds, \"YYYY-MM-DD HH:MM:SS\" (default: now)");
    addCmd->add_flag("--frozen", add.frozen, "The chip's clock stands still");
    addCmd->callback([] { doAdd(add); });

    CLI::App* remove = chip->add_subcommand("remove", "Take a chip off the bus");
    addressOption(remove);
    remove->callback([] { doRemove(address); });

    static std::string timeText;
    CLI::App* time = chip->add_subcommand("time", "Set the time digits of the chip (flags are kept)");
    addressOption(time);
    time->add_option("time", timeText, "\"YYYY-MM-DD HH:MM:SS\" (the chip holds UTC)")->required();
    time->callback([] {
        openBoard();
        const sim::ChipConfig config = selectChip(address);
        const sim::ChipTime t = parseChipTime(timeText, config.protocol);
        changeChip(config, [&](sim::ChipState& c, int64_t now) {
            sim::chipModel(config.protocol).setTime(c, t, now);
        });
        std::printf("Chip %s set to %s\n", sim::hex(config.address, 2).c_str(), timeText.c_str());
    });

    static std::vector<std::string> assignments;
    CLI::App* set = chip->add_subcommand("set", "Set registers, REG=VALUE (stored as given, flags included)");
    addressOption(set);
    set->add_option("values", assignments, "REG=VALUE, e.g. 0x0f=0x88")->required();
    set->callback([] {
        openBoard();
        const sim::ChipConfig config = selectChip(address);
        std::vector<std::pair<uint8_t, uint8_t>> writes;
        for (const std::string& a : assignments) {
            const size_t eq = a.find('=');
            if (eq == std::string::npos)
                throw sim::BoardError("chip set: expected REG=VALUE, got \"" + a + "\"");
            const uint32_t reg = parseNumber(a.substr(0, eq), "register");
            const uint32_t value = parseNumber(a.substr(eq + 1), "value");
            if (reg >= sim::chipRegisterCount(config.protocol) || value > 0xFF)
                throw sim::BoardError("chip set: \"" + a + "\" is outside the chip's registers or a byte");
            writes.emplace_back(static_cast<uint8_t>(reg), static_cast<uint8_t>(value));
        }
        changeChip(config, [&](sim::ChipState& c, int64_t now) {
            for (const auto& [reg, value] : writes) {
                sim::chipModel(config.protocol).writeRegister(c, reg, value, now);
                c.regs[reg] = value;  // also bits that a bus write could not set
            }
        });
    });

    CLI::App* loss = chip->add_subcommand("backup-loss", "Cut the chip's backup supply (invalid time)");
    addressOption(loss);
    loss->callback([] {
        openBoard();
        const sim::ChipConfig config = selectChip(address);
        changeChip(config, [&](sim::ChipState& c, int64_t now) {
            sim::chipModel(config.protocol).loseBackupSupply(c, now);
        });
        std::printf("Chip %s lost its backup supply\n", sim::hex(config.address, 2).c_str());
    });

    static int nakCount = 0;
    CLI::App* nak =
        chip->add_subcommand("nak", "Make the chip ignore its address for the next N address phases");
    addressOption(nak);
    nak->add_option("count", nakCount, "Number of address phases")->required();
    nak->callback([] {
        openBoard();
        changeChip(selectChip(address),
                   [](sim::ChipState& c, int64_t) { c.nakNext = nakCount > 0 ? nakCount : 0; });
    });

    CLI::App* power =
        app.add_subcommand("power", "Switch the board's supply (chips keep their backup supply)");
    power->require_subcommand(1);
    power->add_subcommand("down", "Power the board down")->callback([] {
        openBoard();
        sim::powerDownBoard();
        std::printf("Board powered down\n");
    });
    static bool keepClock = false;
    CLI::App* up = power->add_subcommand("up", "Power the board up (the system clock starts at 2000-01-01)");
    up->add_flag("--keep-clock", keepClock, "Keep the system clock running as it was");
    up->callback([] {
        openBoard();
        sim::powerUpBoard(keepClock ? std::nullopt : std::optional<int64_t>(kColdBootClock));
        std::printf("Board powered up\n");
    });
}

}  // namespace vboard
