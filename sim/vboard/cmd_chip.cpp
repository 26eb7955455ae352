// vboard chip ...: the RTC chips on the board's bus.
//
// A chip that loses its backup supply (chip backup-loss) restarts from its power-on state: the
// invalid-time flag set, the time at 2000-01-01 00:00:00 (a Saturday) and running on from there,
// the other registers at the chip's reset values.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>

#include "../board/board.h"
#include "../board/calendar.h"
#include "../board/format.h"
#include "../board/rtc_chip.h"
#include "../board/simtime.h"
#include "../ceapi/tools_api.h"
#include "commands.h"

namespace vboard {

namespace {

// A change of the chips takes the bus first, as another master on it would (i2cset waits for the
// bus too), so that it never lands in the middle of a program's transfer; then the board's lock.
class ChipAccess {
  public:
    ChipAccess() : bus_((openBoard(), takeBusMutex())), lock_(openBoardForChange()) {}

  private:
    std::shared_ptr<void> bus_;
    std::unique_ptr<sim::BoardLock> lock_;
};

// The chip that --address (and --bus) name, or the board's only chip (on that bus).
const sim::ChipConfig& selectChip(const std::string& addressText, const std::string& busText) {
    const sim::BoardConfig& c = sim::Board::current().config();
    std::optional<sim::I2cBusId> bus = parseBus(busText, "--bus");
    std::optional<uint8_t> address;
    if (!addressText.empty()) {
        const auto [a, onBus] = parseChipAddress(addressText, "--address");
        if (onBus && bus && *onBus != *bus)
            throw UsageError("--address " + addressText + " and --bus " + busText + " name different buses");
        address = a;
        if (onBus) bus = onBus;
    }
    std::vector<const sim::ChipConfig*> found;
    for (const sim::ChipConfig& chip : c.chips)
        if ((!address || chip.address == *address) && (!bus || chip.bus == *bus)) found.push_back(&chip);
    if (found.size() == 1) return *found[0];
    const std::string where = bus == sim::I2cBusId::PowerManager ? " on the power-manager bus"
                              : bus                              ? " on the standard bus"
                                                                 : "";
    if (address && found.empty())
        throw sim::BoardError("no chip at " +
                              sim::chipLabel(*address, bus.value_or(sim::I2cBusId::Standard)));
    if (address)
        throw sim::BoardError("two chips answer at " + sim::hex(*address, 2) +
                              ", one on each bus: choose one with --bus std or --bus pwr (or --address pwr:" +
                              sim::hex(*address, 2) + ")");
    std::string list;
    for (const sim::ChipConfig* chip : found)
        list += (list.empty() ? "" : ", ") + sim::chipLabel(*chip) + " (protocol " +
                std::to_string(chip->protocol) + ")";
    throw sim::BoardError(found.empty() ? "the board has no chip" + where
                                        : "the board has several chips" + where + ", " + list +
                                              ": choose one with --address");
}

// Changes one chip's state, its clock brought up to the present first.
void changeChip(const sim::ChipConfig& config, const std::function<void(sim::ChipState&, int64_t)>& change) {
    const sim::Board& board = sim::Board::current();
    const int64_t now = sim::boardNow();
    const sim::RtcChipModel& model = sim::chipModel(config.protocol);
    board.updateState([&](sim::BoardState& s) {
        auto it = s.chips.find(config.stateKey());
        if (it == s.chips.end()) it = s.chips.emplace(config.stateKey(), model.initialState(now)).first;
        sim::ChipState& chip = it->second;
        chip.latch.reset();
        model.catchUp(chip, sim::crystalOf(board.config(), config), now);
        change(chip, now);
    });
}

// A time for a chip: the chips keep a two-digit year, which reads back as 1970..2069.
int64_t parseChipTime(const std::string& text, const std::string& what,
                      const sim::TimeZoneConfig* local = nullptr) {
    const int64_t t = parseTime(text, what, local);
    const int year = civilTime(t).year;
    if (year < 1970 || year > 2069)
        throw UsageError(what + ": a chip holds the years 1970..2069 (two digits), \"" + text + "\" is in " +
                         std::to_string(year));
    return t;
}

// The chip's time fields for a file time, the weekday in the chip's own count.
sim::ChipTime chipTimeOf(int64_t fileTime, int protocol) {
    const CivilTime c = civilTime(fileTime);
    sim::ChipTime t;
    t.year2 = static_cast<unsigned>(c.year % 100);
    t.month = c.month;
    t.day = c.day;
    t.hour = c.hour;
    t.minute = c.minute;
    t.second = c.second;
    t.weekday = c.weekday + sim::chipModel(protocol).time.sunday;
    return t;
}

void printChip(const sim::ChipConfig& config, const sim::ChipState& chip) {
    const sim::RtcChipModel& model = sim::chipModel(config.protocol);
    const std::vector<uint8_t> regs = model.visibleRegisters(chip);
    const std::string timeText = chipTimeText(config.protocol, regs);
    std::printf("chip %s: protocol %d, %zu registers, pointer 0x%02x%s\n", sim::chipLabel(config).c_str(),
                config.protocol, regs.size(), chip.pointer,
                config.bus == sim::I2cBusId::PowerManager ? ", on the power-manager unit's bus" : "");
    std::printf("     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n");
    for (size_t row = 0; row < regs.size(); row += 16) {
        std::printf("%02zx: ", row);
        for (size_t i = row; i < row + 16; ++i) {
            if (i < regs.size())
                std::printf("%02x ", regs[i]);
            else
                std::printf("   ");
        }
        std::printf("   %s\n", row == 0 ? timeText.c_str() : "");
    }
    std::printf("invalid-time flag %s", model.timeInvalid(regs) ? "SET" : "clear");
    if (sim::Board::current().config().clocksStill() || config.frozen)
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

void doDump(const std::string& addressText, const std::string& busText) {
    openBoard();
    const sim::BoardConfig& c = sim::Board::current().config();
    if (c.chips.empty()) {
        std::printf("(no chip on the board)\n");
        return;
    }
    std::vector<const sim::ChipConfig*> chips;
    const std::optional<sim::I2cBusId> bus = parseBus(busText, "--bus");
    if (addressText.empty()) {
        for (const sim::ChipConfig& chip : c.chips)
            if (!bus || chip.bus == *bus) chips.push_back(&chip);
        if (chips.empty())
            throw sim::BoardError(
                "no chip on the " +
                std::string(*bus == sim::I2cBusId::PowerManager ? "power-manager" : "standard") + " bus");
    } else {
        chips.push_back(&selectChip(addressText, busText));
    }
    // Shown as the chip's clock stands now, without writing to the board: dumping is reading,
    // and works on a board the user may only read.
    const sim::BoardState state = sim::Board::current().readState();
    const int64_t now = sim::boardNow();
    for (const sim::ChipConfig* config : chips) printChip(*config, chipStateAt(*config, state, now));
}

struct AddOptions {
    std::string protocol, address, time, ppm, bus;
    bool frozen = false;
    bool local = false;
};

// A crystal's error, "50", "-20", "12.5": parts per million, within what a crystal can be off.
double parsePpm(const std::string& text, const std::string& what) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    const bool plain = !text.empty() && text.find_first_not_of("+-.0123456789") == std::string::npos;
    if (!plain || end != text.c_str() + text.size())
        throw UsageError(what + ": expected parts per million as a number (50, -20, 12.5), got \"" + text +
                         "\"");
    if (v < -sim::kMaxCrystalPpm || v > sim::kMaxCrystalPpm)
        throw UsageError(what + ": " + text + " ppm is beyond what a crystal can be off (-10000..10000)");
    return v;
}

// Writes board.json and then the state; when the state cannot be written, board.json goes back
// to what it was, so that the command changes nothing.
void writeConfigThenState(const sim::BoardConfig& config,
                          const std::function<void(sim::BoardState&)>& change) {
    const std::string dir = sim::Board::current().dir();
    const std::string file = dir + "/board.json";
    const std::string before = sim::readFile(file);
    sim::writeBoardConfig(dir, config);
    try {
        sim::Board::use(dir);
        sim::Board::current().updateState(change);
    } catch (...) {
        sim::writeFileAtomically(file, before);
        throw;
    }
}

void doAdd(const AddOptions& o) {
    sim::ChipConfig chip;
    chip.protocol = protocolNumber(o.protocol, "chip add: protocol");
    chip.address = sim::chipModel(chip.protocol).defaultAddress;
    std::optional<sim::I2cBusId> bus = parseBus(o.bus, "--bus");
    if (!o.address.empty()) {
        const auto [a, onBus] = parseChipAddress(o.address, "--address");
        if (onBus && bus && *onBus != *bus)
            throw UsageError("--address " + o.address + " and --bus " + o.bus + " name different buses");
        chip.address = a;
        if (onBus) bus = onBus;
    }
    chip.bus = bus.value_or(sim::I2cBusId::Standard);
    chip.frozen = o.frozen;
    if (!o.ppm.empty()) chip.ppm = parsePpm(o.ppm, "chip add --ppm");
    if (!o.time.empty() && !o.local) parseChipTime(o.time, "chip add --time");  // before the board is touched
    const ChipAccess access;
    const sim::TimeZoneConfig zone = sim::currentTimeZone();
    const std::optional<int64_t> when =
        o.time.empty()
            ? std::nullopt
            : std::optional<int64_t>(parseChipTime(o.time, "chip add --time", o.local ? &zone : nullptr));
    sim::BoardConfig c = sim::Board::current().config();
    if (c.chipAt(chip.address, chip.bus))
        throw sim::BoardError("a chip answers at " + sim::chipLabel(chip) + " already");
    if (chip.bus == sim::I2cBusId::PowerManager && sim::processorIdForMainId(c.mainId) != 17)
        throw sim::BoardError(powerManagerBusMissing(c.mainId));
    c.chips.push_back(chip);
    sim::ChipState state;
    writeConfigThenState(c, [&](sim::BoardState& s) {
        const int64_t now = sim::boardNow();
        state = sim::chipModel(chip.protocol).initialState(when && o.time != "now" ? *when : now);
        if (when && o.time != "now") sim::RtcChipModel::restartSecond(state, now);
        s.chips[chip.stateKey()] = state;
    });
    std::printf("Added a protocol %d chip at %s holding %s", chip.protocol, sim::chipLabel(chip).c_str(),
                chipTimeText(chip.protocol, state.regs).c_str());
    if (chip.ppm != 0) std::printf(", crystal %s", rateText(chip.ppm).c_str());
    std::printf("\n");
}

// The chip's crystal from now on: its clock runs at the old rate up to now, at the new after.
void setCrystal(const sim::ChipConfig& chip, double ppm) {
    sim::BoardConfig c = sim::Board::current().config();
    for (sim::ChipConfig& e : c.chips)
        if (e.stateKey() == chip.stateKey()) e.ppm = ppm;
    const sim::Crystal before = sim::crystalOf(c, chip);
    writeConfigThenState(c, [&](sim::BoardState& s) {
        auto it = s.chips.find(chip.stateKey());
        if (it != s.chips.end()) sim::chipModel(chip.protocol).rebase(it->second, before, sim::boardNow());
    });
    std::printf("Chip %s: crystal %s\n", sim::chipLabel(chip).c_str(), rateText(ppm).c_str());
}

void doRemove(const std::string& addressText, const std::string& busText) {
    const ChipAccess access;
    const sim::ChipConfig chip = selectChip(addressText, busText);
    sim::BoardConfig c = sim::Board::current().config();
    std::erase_if(c.chips, [&](const sim::ChipConfig& e) { return e.stateKey() == chip.stateKey(); });
    writeConfigThenState(c, [&](sim::BoardState& s) { s.chips.erase(chip.stateKey()); });
    std::printf("Removed the chip at %s\n", sim::chipLabel(chip).c_str());
}

}  // namespace

std::string rateText(double ppm) {
    char buf[80];
    const double perDay = ppm * 86400e-6;
    if (ppm == 0)
        std::snprintf(buf, sizeof buf, "+0.000 ppm (keeps true time)");
    else
        std::snprintf(buf, sizeof buf, "%+.3f ppm (%s %.3f s a day)", ppm, ppm > 0 ? "gains" : "loses",
                      perDay > 0 ? perDay : -perDay);
    return buf;
}

std::string chipTimeText(int protocol, const std::vector<uint8_t>& regs) {
    const sim::RtcChipModel& model = sim::chipModel(protocol);
    const sim::ChipTime t = model.timeOf(regs);
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    const unsigned first = model.time.sunday;
    const char* day = t.weekday >= first && t.weekday - first < 7 ? kDays[t.weekday - first] : "?";
    char text[64];
    std::snprintf(text, sizeof text, "%u-%02u-%02u %02u:%02u:%02u %s (weekday %u)",
                  t.year2 < 70 ? 2000 + t.year2 : 1900 + t.year2, t.month, t.day, t.hour, t.minute, t.second,
                  day, t.weekday);
    return text;
}

sim::ChipState chipStateAt(const sim::ChipConfig& config, const sim::BoardState& state, int64_t now,
                           int64_t* phase) {
    const sim::RtcChipModel& model = sim::chipModel(config.protocol);
    const auto it = state.chips.find(config.stateKey());
    sim::ChipState chip = it != state.chips.end() ? it->second : model.initialState(now);
    chip.latch.reset();
    const int64_t p = model.catchUp(chip, sim::crystalOf(sim::Board::current().config(), config), now);
    if (phase) *phase = p;
    return chip;
}

void addChipCommands(CLI::App& app) {
    CLI::App* chip = app.add_subcommand("chip", "The RTC chips on the board's I2C bus");
    chip->require_subcommand(1);
    static std::string address;
    static std::string bus;
    auto addressOption = [](CLI::App* cmd) {
        cmd->add_option(
            "-a,--address", address,
            "The chip's 7-bit address, pwr:0x68 on the power-manager bus (default: the board's only "
            "chip)");
        cmd->add_option("--bus", bus,
                        "The chip's bus: std (the standard unit's) or pwr (the power-manager unit's)");
    };

    CLI::App* dump = chip->add_subcommand("dump", "Registers as a hex table, with the time they hold");
    addressOption(dump);
    dump->callback([] { doDump(address, bus); });

    static AddOptions add;
    CLI::App* addCmd = chip->add_subcommand("add", "Put a chip on the bus");
    addCmd->add_option("protocol", add.protocol, "Chip protocol 1..4")->required();
    addCmd->add_option("-a,--address", add.address, "7-bit address, 0x00..0x7F (default: the protocol's)");
    addCmd->add_option("--bus", add.bus,
                       "The bus it is wired to: std (the standard unit's, default) or pwr (the power-manager "
                       "unit's, processor ID 17)");
    addCmd->add_option("--time", add.time,
                       std::string("Time the chip holds (UTC, years 1970..2069), default now: ") + kTimeForm);
    addCmd->add_flag("--frozen", add.frozen, "The chip's clock stands still");
    addCmd->add_option(
        "--ppm", add.ppm,
        "The crystal's error in parts per million (+ gains, - loses), e.g. 50 or -20; default 0");
    addCmd->add_flag("--local", add.local, "--time is the board's local time; the chip is given its UTC");
    addCmd->callback([] { doAdd(add); });

    CLI::App* remove = chip->add_subcommand("remove", "Take a chip off the bus");
    addressOption(remove);
    remove->callback([] { doRemove(address, bus); });

    static std::string timeText;
    static bool timeLocal = false;
    CLI::App* time = chip->add_subcommand("time", "Set the time digits of the chip (flags are kept)");
    addressOption(time);
    time->add_option("time", timeText,
                     std::string("The chip holds UTC, years 1970..2069, whole seconds: ") + kTimeForm)
        ->required();
    time->add_flag("--local", timeLocal, "TIME is the board's local time; the chip is given its UTC");
    time->callback([] {
        if (!timeLocal) parseChipTime(timeText, "chip time");  // refused before the board is touched
        if (!address.empty()) parseChipAddress(address, "--address");
        parseBus(bus, "--bus");
        const ChipAccess access;
        const sim::TimeZoneConfig zone = sim::currentTimeZone();
        const int64_t when = parseChipTime(timeText, "chip time", timeLocal ? &zone : nullptr);
        const sim::ChipConfig config = selectChip(address, bus);
        const sim::ChipTime t = chipTimeOf(when, config.protocol);
        std::vector<uint8_t> stored;
        changeChip(config, [&](sim::ChipState& c, int64_t now) {
            sim::chipModel(config.protocol).setTime(c, t, now);
            stored = c.regs;  // the running time, also while a halt bit shows a frozen copy
        });
        std::printf("Chip %s set to %s\n", sim::chipLabel(config).c_str(),
                    chipTimeText(config.protocol, stored).c_str());
    });

    static std::vector<std::string> assignments;
    static std::string setPpm;
    CLI::App* set = chip->add_subcommand(
        "set", "Set registers, REG=VALUE (stored as given, flags included), or the crystal's error (--ppm)");
    addressOption(set);
    set->add_option("values", assignments, "REG=VALUE, e.g. 0x0f=0x88");
    set->add_option(
        "--ppm", setPpm,
        "The crystal's error from now on, in parts per million (+ gains, - loses), e.g. 50 or -20");
    set->callback([] {
        if (assignments.empty() && setPpm.empty())
            throw UsageError("chip set: give registers as REG=VALUE, or the crystal's error with --ppm");
        const std::optional<double> ppm =
            setPpm.empty() ? std::nullopt : std::optional<double>(parsePpm(setPpm, "chip set --ppm"));
        const ChipAccess access;
        const sim::ChipConfig config = selectChip(address, bus);
        if (ppm) setCrystal(config, *ppm);
        if (assignments.empty()) return;
        std::vector<std::pair<uint8_t, uint8_t>> writes;
        for (const std::string& a : assignments) {
            const size_t eq = a.find('=');
            if (eq == std::string::npos) throw UsageError("chip set: expected REG=VALUE, got \"" + a + "\"");
            const uint32_t reg = parseNumber(a.substr(0, eq), "register");
            const uint32_t value = parseNumber(a.substr(eq + 1), "value");
            if (reg >= sim::chipRegisterCount(config.protocol) || value > 0xFF)
                throw UsageError("chip set: \"" + a + "\" is outside the chip's registers or a byte");
            writes.emplace_back(static_cast<uint8_t>(reg), static_cast<uint8_t>(value));
        }
        std::vector<uint8_t> before, after;
        sim::ChipState changed;
        changeChip(config, [&](sim::ChipState& c, int64_t now) {
            const sim::RtcChipModel& model = sim::chipModel(config.protocol);
            for (const auto& [reg, value] : writes) {
                before.push_back(c.regs[reg]);
                model.writeRegister(c, reg, value, now);
                c.regs[reg] = value;  // also bits that a bus write could not set
            }
            model.transferEnded(c, now);
            changed = c;
        });
        for (size_t i = 0; i < writes.size(); ++i)
            std::printf("Chip %s register 0x%02x = 0x%02x (was 0x%02x)\n", sim::chipLabel(config).c_str(),
                        writes[i].first, writes[i].second, before[i]);
        const sim::RtcChipModel& model = sim::chipModel(config.protocol);
        const std::vector<uint8_t> regs = model.visibleRegisters(changed);
        std::printf("Chip %s holds %s, invalid-time flag %s\n", sim::chipLabel(config).c_str(),
                    chipTimeText(config.protocol, regs).c_str(), model.timeInvalid(regs) ? "SET" : "clear");
    });

    CLI::App* loss = chip->add_subcommand("backup-loss", "Cut the chip's backup supply (invalid time)");
    addressOption(loss);
    loss->callback([] {
        const ChipAccess access;
        const sim::ChipConfig config = selectChip(address, bus);
        changeChip(config, [&](sim::ChipState& c, int64_t now) {
            sim::chipModel(config.protocol).loseBackupSupply(c, now);
        });
        std::printf("Chip %s lost its backup supply\n", sim::chipLabel(config).c_str());
    });

    static std::string nakText;
    CLI::App* nak =
        chip->add_subcommand("nak", "Make the chip ignore its address for the next N address phases");
    addressOption(nak);
    nak->add_option("count", nakText, "Number of address phases (0: answer again)")->required();
    nak->callback([] {
        const unsigned nakCount = parseNumber(nakText, "chip nak", 0x7FFFFFFF);
        const ChipAccess access;
        const sim::ChipConfig config = selectChip(address, bus);
        changeChip(config, [nakCount](sim::ChipState& c, int64_t) { c.nakNext = nakCount; });
        if (nakCount == 0)
            std::printf("Chip %s answers its address again\n", sim::chipLabel(config).c_str());
        else
            std::printf("Chip %s refuses its next %u address phase%s\n", sim::chipLabel(config).c_str(),
                        nakCount, nakCount == 1 ? "" : "s");
    });
}

}  // namespace vboard
