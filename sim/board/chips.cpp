#include "chips.h"

#include <cstdio>
#include <ctime>

#include "simtime.h"

namespace sim {

namespace {

std::string key(uint8_t address) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", address);
    return buf;
}

uint8_t bcd(unsigned v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }

// Where each protocol keeps its seconds register; the other time registers follow in the
// protocol's order.
struct Layout {
    size_t size;
    uint8_t seconds, minutes, hours, weekday, day, month, year;
    int weekdayOffset;
};

const Layout* layoutOf(int protocol) {
    static const Layout p1{8, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 1};
    static const Layout p2{17, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 1};
    static const Layout p3{16, 0x02, 0x03, 0x04, 0x06, 0x05, 0x07, 0x08, 0};
    static const Layout p4{13, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 1};
    switch (protocol) {
        case 1:
            return &p1;
        case 2:
            return &p2;
        case 3:
            return &p3;
        case 4:
            return &p4;
    }
    return nullptr;
}

}  // namespace

uint8_t defaultChipAddress(int protocol) { return protocol == 3 ? 0x51 : 0x68; }

size_t chipRegisterCount(int protocol) {
    const Layout* l = layoutOf(protocol);
    return l ? l->size : 0;
}

bool chipConfigKeyKnown(const std::string&) { return false; }

json initialChipState(const ChipConfig& chip, int64_t fileTime) {
    const Layout* l = layoutOf(chip.protocol);
    if (!l) throw BoardError("chip protocol " + std::to_string(chip.protocol) + " is not 1..4");
    std::vector<uint8_t> regs(l->size, 0);
    time_t secs = static_cast<time_t>(fileTime / kFileTimeUnitsPerSecond - 11644473600LL);
    struct tm tm;
    gmtime_r(&secs, &tm);
    regs[l->seconds] = bcd(tm.tm_sec);
    regs[l->minutes] = bcd(tm.tm_min);
    regs[l->hours] = bcd(tm.tm_hour);
    regs[l->weekday] = static_cast<uint8_t>(tm.tm_wday + l->weekdayOffset);
    regs[l->day] = bcd(tm.tm_mday);
    regs[l->month] = bcd(tm.tm_mon + 1);
    regs[l->year] = bcd(tm.tm_year % 100);
    return json{{"protocol", chip.protocol}, {"regs", regs}, {"pointer", 0}};
}

bool I2cBus::start(uint8_t addressByte) {
    active_ = true;
    reading_ = (addressByte & 1) != 0;
    pointerSet_ = false;
    const uint8_t address = addressByte >> 1;
    bool present = false;
    for (const ChipConfig& c : Board::current().config().chips) present = present || c.address == address;
    selected_ = present ? address : -1;
    return present;
}

bool I2cBus::writeByte(uint8_t value) {
    if (selected_ < 0 || reading_) return false;
    bool ack = false;
    Board::current().updateState([&](json& s) {
        json& chip = s["chips"][key(static_cast<uint8_t>(selected_))];
        if (!chip.is_object()) return;
        json& regs = chip["regs"];
        const size_t n = regs.size();
        if (n == 0) return;
        if (!pointerSet_) {
            chip["pointer"] = value % n;
        } else {
            size_t p = chip["pointer"].get<size_t>();
            regs[p] = value;
            chip["pointer"] = (p + 1) % n;
        }
        ack = true;
    });
    pointerSet_ = true;
    return ack;
}

uint8_t I2cBus::readByte(bool) {
    if (selected_ < 0 || !reading_) return 0xFF;  // nobody drives SDA: the pull-up reads high
    uint8_t value = 0xFF;
    Board::current().updateState([&](json& s) {
        json& chip = s["chips"][key(static_cast<uint8_t>(selected_))];
        if (!chip.is_object()) return;
        json& regs = chip["regs"];
        const size_t n = regs.size();
        if (n == 0) return;
        size_t p = chip["pointer"].get<size_t>();
        value = regs[p].get<uint8_t>();
        chip["pointer"] = (p + 1) % n;
    });
    return value;
}

void I2cBus::stop() {
    active_ = false;
    selected_ = -1;
}

I2cBus& boardBus() {
    static I2cBus bus;
    return bus;
}

}  // namespace sim
