// The chips as the bus and the board see them: which chip answers an address, the bus events
// carried into its state, and the board's power switching.
#include "chips.h"

#include <cstdio>

#include "fault.h"
#include "simtime.h"

namespace sim {

namespace {

int64_t (*gTimeSource)() = nullptr;

int64_t chipNow() {
    return gTimeSource ? gTimeSource() : hostFileTimeNow();
}

const ChipConfig* configuredChip(const BoardConfig& config, uint8_t address) {
    for (const ChipConfig& c : config.chips)
        if (c.address == address) return &c;
    return nullptr;
}

bool boolSetting(const json& entry, const char* key, bool fallback, size_t index) {
    if (!entry.contains(key)) return fallback;
    if (!entry[key].is_boolean())
        throw BoardError("board.json: chips[" + std::to_string(index) + "]." + key +
                         ": expected true or false");
    return entry[key].get<bool>();
}

// The chip's state, created from the configuration when the board's state has none yet.
json& chipState(json& state, const ChipConfig& config, int64_t now) {
    json& chips = state["chips"];
    if (!chips.is_object()) chips = json::object();
    const std::string key = chipKey(config.address);
    if (!chips.contains(key)) chips[key] = initialChipState(config, now);
    json& chip = chips[key];
    if (!chip.is_object() || !chip.contains("regs") || !chip["regs"].is_array() || !chip.contains("protocol"))
        throw BoardError("state.json: chips." + key + ": expected an object with protocol and regs");
    if (chip["protocol"] != config.protocol)
        throw BoardError("state.json: chips." + key + ": protocol " + chip["protocol"].dump() +
                         ", but board.json puts a protocol " + std::to_string(config.protocol) +
                         " chip there");
    if (chip["regs"].size() != chipRegisterCount(config.protocol))
        throw BoardError("state.json: chips." + key + ".regs: a protocol " + std::to_string(config.protocol) +
                         " chip has " + std::to_string(chipRegisterCount(config.protocol)) + " registers");
    return chip;
}

}  // namespace

void setChipTimeSourceForTests(int64_t (*source)()) {
    gTimeSource = source;
}

uint8_t defaultChipAddress(int protocol) {
    return protocol == 3 ? 0x51 : 0x68;
}

bool chipConfigKeyKnown(const std::string& key) {
    return key == "frozen" || key == "present";
}

std::string chipKey(uint8_t address) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", address);
    return buf;
}

ChipSettings chipSettings(const BoardConfig& config, uint8_t address) {
    ChipSettings s;
    s.frozen = config.frozen;
    const json& list = config.raw.is_object() && config.raw.contains("chips") ? config.raw["chips"] : json();
    for (size_t i = 0; i < config.chips.size(); ++i) {
        if (config.chips[i].address != address || !list.is_array() || i >= list.size()) continue;
        s.present = boolSetting(list[i], "present", true, i);
        s.frozen = s.frozen || boolSetting(list[i], "frozen", false, i);
    }
    return s;
}

bool boardPoweredOn(const json& state) {
    return !state.contains("power") || state["power"].value("on", true);
}

void powerDownBoard() {
    const Board& board = Board::current();
    const int64_t now = chipNow();
    board.updateState([&](json& s) {
        if (!boardPoweredOn(s)) throw BoardError("the board is powered down already");
        for (const ChipConfig& c : board.config().chips) {
            json& chip = chipState(s, c, now);
            chip.erase("latch");
            chipCatchUp(chip, chipSettings(board.config(), c.address), now);
            chipPowerDown(chip, now);
        }
        s["power"] = json{{"on", false}, {"changedAt", now}};
    });
}

void powerUpBoard(std::optional<int64_t> systemClockAtBoot) {
    const Board& board = Board::current();
    const int64_t now = hostFileTimeNow();
    board.updateState([&](json& s) {
        if (boardPoweredOn(s)) throw BoardError("the board is powered on already");
        s["power"] = json{{"on", true}, {"changedAt", now}};
        s["powerOnHost"] = now;
        s["uptimeNs"] = 0;
        if (systemClockAtBoot) s["systemClock"] = json{{"fileTime", *systemClockAtBoot}, {"atHost", now}};
    });
}

bool I2cBus::start(uint8_t addressByte) {
    reading_ = (addressByte & 1) != 0;
    pointerSet_ = false;
    released_ = false;
    selected_ = -1;
    const uint8_t address = addressByte >> 1;
    const Board& board = Board::current();
    const ChipConfig* config = configuredChip(board.config(), address);
    if (!config) return false;
    const ChipSettings settings = chipSettings(board.config(), address);
    if (!settings.present) return false;
    const int64_t now = chipNow();
    bool ack = false, poweredOff = false;
    board.updateState([&](json& s) {
        if (!boardPoweredOn(s)) {
            poweredOff = true;
            return;
        }
        json& chip = chipState(s, *config, now);
        const int nak = chip.value("nakNext", 0);
        if (nak > 0) {
            if (nak == 1)
                chip.erase("nakNext");
            else
                chip["nakNext"] = nak - 1;
            return;
        }
        chipCatchUp(chip, settings, now);
        // A read sees the registers as they were at its start, even across a second boundary.
        if (reading_)
            chip["latch"] = chipVisibleRegisters(chip);
        else
            chip.erase("latch");
        ack = true;
    });
    if (poweredOff) boardFault("I2C bus used while the board is powered down");
    if (ack) selected_ = address;
    return ack;
}

bool I2cBus::writeByte(uint8_t value) {
    if (selected_ < 0 || reading_) return false;
    bool ack = false;
    const int64_t now = chipNow();
    Board::current().updateState([&](json& s) {
        const std::string key = chipKey(static_cast<uint8_t>(selected_));
        if (!s["chips"].contains(key)) return;  // removed meanwhile
        json& chip = s["chips"][key];
        const size_t n = chip["regs"].size();
        if (!pointerSet_) {
            // A register number beyond the file is refused rather than wrapped.
            if (value >= n) return;
            chip["pointer"] = value;
        } else {
            const size_t p = chip["pointer"].get<size_t>() % n;
            chipWriteRegister(chip, static_cast<uint8_t>(p), value, now);
            chip["pointer"] = (p + 1) % n;
        }
        ack = true;
    });
    if (ack) pointerSet_ = true;
    return ack;
}

uint8_t I2cBus::readByte(bool masterAck) {
    // Nobody drives SDA (no chip, or the chip let go after the master's not-acknowledge): the
    // pull-up reads high.
    if (selected_ < 0 || !reading_ || released_) return 0xFF;
    uint8_t value = 0xFF;
    Board::current().updateState([&](json& s) {
        const std::string key = chipKey(static_cast<uint8_t>(selected_));
        if (!s["chips"].contains(key)) return;
        json& chip = s["chips"][key];
        const size_t n = chip["regs"].size();
        const size_t p = chip["pointer"].get<size_t>() % n;
        value = chip.contains("latch") ? chip["latch"][p].get<uint8_t>() : chipVisibleRegisters(chip)[p];
        chip["pointer"] = (p + 1) % n;
    });
    if (!masterAck) released_ = true;
    return value;
}

void I2cBus::stop() {
    if (selected_ >= 0 && reading_) {
        const std::string key = chipKey(static_cast<uint8_t>(selected_));
        Board::current().updateState([&](json& s) {
            if (s.contains("chips") && s["chips"].contains(key)) s["chips"][key].erase("latch");
        });
    }
    selected_ = -1;
    reading_ = false;
    released_ = false;
}

I2cBus& boardBus() {
    static I2cBus bus;
    return bus;
}

}  // namespace sim
