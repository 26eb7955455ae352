// The RTC chips' register behaviour: their BCD clocks, what a register write sets off, and the
// states that a power-down or a loss of the backup supply leave behind.
#include <array>

#include "chips.h"
#include "simtime.h"

namespace sim {

namespace {

// Digit masks of the time registers (units bits 0..3, tens digit above them).
constexpr uint8_t kSecondsMask = 0x7F, kMinutesMask = 0x7F, kHoursMask = 0x3F, kDayMask = 0x3F,
                  kMonthMask = 0x1F, kYearMask = 0xFF, kWeekdayMask = 0x07;

struct Layout {
    size_t size;
    uint8_t seconds, minutes, hours, weekday, day, month, year;
    unsigned weekdayMin;                // first value of the chip's weekday count (Sunday)
    uint8_t flagReg, flagBit;           // invalid-time flag
    uint8_t firstTimeReg, lastTimeReg;  // a write here restarts the chip's second
};

const Layout* layoutOf(int protocol) {
    static const Layout p1{8, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 1, 0x01, 0x80, 0x00, 0x06};
    static const Layout p2{17, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 1, 0x0F, 0x80, 0x00, 0x06};
    static const Layout p3{16, 0x02, 0x03, 0x04, 0x06, 0x05, 0x07, 0x08, 0, 0x02, 0x80, 0x02, 0x08};
    // Register 0x00 of protocol 4 counts fractions of a second on the chip.
    static const Layout p4{13, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 1, 0x02, 0x80, 0x00, 0x07};
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

const Layout& layoutOrThrow(int protocol) {
    const Layout* l = layoutOf(protocol);
    if (!l) throw BoardError("chip protocol " + std::to_string(protocol) + " is not 1..4");
    return *l;
}

constexpr uint8_t kP3Control1 = 0x00, kP3Stop = 0x20;
constexpr uint8_t kP2Status = 0x0F, kP2Oscillator = 0x80;
constexpr uint8_t kP4HaltReg = 0x0C, kP4HaltBit = 0x40, kP4FrozenCount = 8;  // registers 0x00..0x07

unsigned dec(uint8_t v, uint8_t mask) {
    return ((v & mask) >> 4) * 10u + (v & 0x0Fu);
}

void put(uint8_t& reg, uint8_t mask, unsigned value) {
    reg = static_cast<uint8_t>((reg & ~mask) | ((((value / 10) << 4) | (value % 10)) & mask));
}

bool digitsValid(uint8_t v, uint8_t mask) {
    return (v & 0x0F) <= 9 && ((v & mask) >> 4) <= 9;
}

unsigned monthLength(unsigned month, unsigned year2) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 31;
    // The chips know no century: every year divisible by four is a leap year.
    return days[month - 1] + (month == 2 && year2 % 4 == 0 ? 1 : 0);
}

// Day number of a date of 2000..2099 (civil calendar; 2000 is a leap year as the chips think).
int64_t daysFrom2000(unsigned year2, unsigned month, unsigned day) {
    int64_t days = 0;
    for (unsigned y = 0; y < year2; ++y) days += y % 4 == 0 ? 366 : 365;
    for (unsigned m = 1; m < month; ++m) days += monthLength(m, year2);
    return days + day - 1;
}

void setWeekday(const Layout& l, std::vector<uint8_t>& regs, unsigned w) {
    regs[l.weekday] = static_cast<uint8_t>((regs[l.weekday] & ~kWeekdayMask) | (w & kWeekdayMask));
}

// One second on, the chip's counters one by one. Values outside a counter's range (the chip was
// set so) roll over at the next carry into that counter.
void stepOneSecond(const Layout& l, std::vector<uint8_t>& regs) {
    auto bump = [&](uint8_t reg, uint8_t mask, unsigned last, unsigned first) {
        unsigned v = dec(regs[reg], mask);
        if (v < last) {
            put(regs[reg], mask, v + 1);
            return false;
        }
        put(regs[reg], mask, first);
        return true;  // carry
    };
    if (!bump(l.seconds, kSecondsMask, 59, 0)) return;
    if (!bump(l.minutes, kMinutesMask, 59, 0)) return;
    if (!bump(l.hours, kHoursMask, 23, 0)) return;
    const unsigned w = regs[l.weekday] & kWeekdayMask;
    setWeekday(l, regs, w >= l.weekdayMin + 6 ? l.weekdayMin : w + 1);
    const unsigned length = monthLength(dec(regs[l.month], kMonthMask), dec(regs[l.year], kYearMask));
    if (!bump(l.day, kDayMask, length, 1)) return;
    if (!bump(l.month, kMonthMask, 12, 1)) return;
    bump(l.year, kYearMask, 99, 0);
}

bool timeValid(const Layout& l, const std::vector<uint8_t>& regs) {
    const std::array<std::pair<uint8_t, uint8_t>, 6> fields = {{{l.seconds, kSecondsMask},
                                                                {l.minutes, kMinutesMask},
                                                                {l.hours, kHoursMask},
                                                                {l.day, kDayMask},
                                                                {l.month, kMonthMask},
                                                                {l.year, kYearMask}}};
    for (const auto& [reg, mask] : fields)
        if (!digitsValid(regs[reg], mask)) return false;
    const unsigned w = regs[l.weekday] & kWeekdayMask;
    const unsigned month = dec(regs[l.month], kMonthMask), year2 = dec(regs[l.year], kYearMask);
    const unsigned day = dec(regs[l.day], kDayMask);
    return dec(regs[l.seconds], kSecondsMask) < 60 && dec(regs[l.minutes], kMinutesMask) < 60 &&
           dec(regs[l.hours], kHoursMask) < 24 && month >= 1 && month <= 12 && day >= 1 &&
           day <= monthLength(month, year2) && year2 <= 99 && w >= l.weekdayMin && w <= l.weekdayMin + 6;
}

// Many seconds on at once, for a valid time: the same result as stepping second by second.
void jumpSeconds(const Layout& l, std::vector<uint8_t>& regs, uint64_t n) {
    constexpr uint64_t kDay = 86400;
    const int64_t kCentury = daysFrom2000(99, 12, 31) + 1;  // days of 2000..2099
    while (n > 0) {
        const unsigned year2 = dec(regs[l.year], kYearMask);
        const int64_t day = daysFrom2000(year2, dec(regs[l.month], kMonthMask), dec(regs[l.day], kDayMask));
        const uint64_t secondOfDay = dec(regs[l.hours], kHoursMask) * 3600u +
                                     dec(regs[l.minutes], kMinutesMask) * 60u +
                                     dec(regs[l.seconds], kSecondsMask);
        const uint64_t total = secondOfDay + n;
        uint64_t newDay = static_cast<uint64_t>(day) + total / kDay;
        uint64_t used = n;
        if (newDay >= static_cast<uint64_t>(kCentury)) {
            // Up to 00-01-01 00:00:00 after year 99 only; the rest goes round again.
            newDay = static_cast<uint64_t>(kCentury);
            used = (static_cast<uint64_t>(kCentury - day)) * kDay - secondOfDay;
        }
        const uint64_t sod = newDay == static_cast<uint64_t>(kCentury) ? 0 : total % kDay;
        const uint64_t daysMoved = newDay - static_cast<uint64_t>(day);
        uint64_t rest = newDay == static_cast<uint64_t>(kCentury) ? 0 : newDay;
        unsigned y = 0, m = 1;
        for (;; ++y) {
            const uint64_t len = y % 4 == 0 ? 366 : 365;
            if (rest < len) break;
            rest -= len;
        }
        for (;; ++m) {
            const uint64_t len = monthLength(m, y);
            if (rest < len) break;
            rest -= len;
        }
        put(regs[l.year], kYearMask, y);
        put(regs[l.month], kMonthMask, m);
        put(regs[l.day], kDayMask, static_cast<unsigned>(rest + 1));
        put(regs[l.hours], kHoursMask, static_cast<unsigned>(sod / 3600));
        put(regs[l.minutes], kMinutesMask, static_cast<unsigned>(sod / 60 % 60));
        put(regs[l.seconds], kSecondsMask, static_cast<unsigned>(sod % 60));
        const unsigned w = regs[l.weekday] & kWeekdayMask;
        setWeekday(l, regs, l.weekdayMin + static_cast<unsigned>((w - l.weekdayMin + daysMoved % 7) % 7));
        n -= used;
    }
}

std::vector<uint8_t> regsOf(const json& chip) {
    const json& r = chip.at("regs");
    std::vector<uint8_t> out;
    out.reserve(r.size());
    for (const json& v : r) out.push_back(v.get<uint8_t>());
    return out;
}

int protocolOf(const json& chip) {
    return chip.at("protocol").get<int>();
}

void setTimeRegisters(const Layout& l, std::vector<uint8_t>& regs, const ChipTime& t) {
    put(regs[l.seconds], kSecondsMask, t.second);
    put(regs[l.minutes], kMinutesMask, t.minute);
    put(regs[l.hours], kHoursMask, t.hour);
    setWeekday(l, regs, t.weekday);
    put(regs[l.day], kDayMask, t.day);
    put(regs[l.month], kMonthMask, t.month);
    put(regs[l.year], kYearMask, t.year2);
}

}  // namespace

size_t chipRegisterCount(int protocol) {
    const Layout* l = layoutOf(protocol);
    return l ? l->size : 0;
}

std::vector<uint8_t> chipTimeRegisters(int protocol) {
    const Layout& l = layoutOrThrow(protocol);
    return {l.seconds, l.minutes, l.hours, l.weekday, l.day, l.month, l.year};
}

ChipTime decodeChipTime(int protocol, const std::vector<uint8_t>& regs) {
    const Layout& l = layoutOrThrow(protocol);
    ChipTime t;
    t.second = dec(regs[l.seconds], kSecondsMask);
    t.minute = dec(regs[l.minutes], kMinutesMask);
    t.hour = dec(regs[l.hours], kHoursMask);
    t.weekday = regs[l.weekday] & kWeekdayMask;
    t.day = dec(regs[l.day], kDayMask);
    t.month = dec(regs[l.month], kMonthMask);
    t.year2 = dec(regs[l.year], kYearMask);
    return t;
}

bool chipTimeInvalidFlag(int protocol, const std::vector<uint8_t>& regs) {
    const Layout& l = layoutOrThrow(protocol);
    return (regs[l.flagReg] & l.flagBit) != 0;
}

void tickChipClock(int protocol, std::vector<uint8_t>& regs, uint64_t seconds) {
    const Layout& l = layoutOrThrow(protocol);
    while (seconds > 0 && !timeValid(l, regs)) {
        stepOneSecond(l, regs);
        --seconds;
    }
    if (seconds > 0) jumpSeconds(l, regs, seconds);
}

json initialChipState(const ChipConfig& chip, int64_t fileTime) {
    const Layout& l = layoutOrThrow(chip.protocol);
    std::vector<uint8_t> regs(l.size, 0);
    if (chip.protocol == 2) regs[0x0E] = 0x1C;  // alarms off, square wave off, oscillator on
    if (chip.protocol == 2) regs[kP2Status] = 0x08;
    if (chip.protocol == 3)
        for (int r = 0x09; r <= 0x0D; ++r) regs[r] = 0x80;  // alarms and clock output off
    // 2000-01-01 (a Saturday) moved on to the given time.
    setTimeRegisters(l, regs, ChipTime{0, 1, 1, 0, 0, 0, l.weekdayMin + 6});
    const int64_t since2000 =
        fileTime / kFileTimeUnitsPerSecond - 12591158400LL;  // 2000-01-01 in file-time seconds
    if (since2000 > 0) tickChipClock(chip.protocol, regs, static_cast<uint64_t>(since2000));
    return json{{"protocol", chip.protocol},
                {"regs", regs},
                {"pointer", 0},
                {"clockAt", fileTime - fileTime % kFileTimeUnitsPerSecond}};
}

void chipCatchUp(json& chip, const ChipSettings& settings, int64_t now) {
    const int protocol = protocolOf(chip);
    std::vector<uint8_t> regs = regsOf(chip);
    const int64_t clockAt = chip.contains("clockAt") ? chip["clockAt"].get<int64_t>() : now;
    const bool stopped = settings.frozen || (protocol == 3 && (regs[kP3Control1] & kP3Stop) != 0);
    if (stopped || now < clockAt) {
        chip["clockAt"] = now;
        return;
    }
    const int64_t seconds = (now - clockAt) / kFileTimeUnitsPerSecond;
    if (seconds == 0) return;
    tickChipClock(protocol, regs, static_cast<uint64_t>(seconds));
    chip["regs"] = regs;
    chip["clockAt"] = clockAt + seconds * kFileTimeUnitsPerSecond;
}

std::vector<uint8_t> chipVisibleRegisters(const json& chip) {
    std::vector<uint8_t> regs = regsOf(chip);
    if (protocolOf(chip) == 4 && (regs[kP4HaltReg] & kP4HaltBit) && chip.contains("halt")) {
        const json& frozen = chip["halt"];
        for (size_t i = 0; i < kP4FrozenCount && i < frozen.size(); ++i) regs[i] = frozen[i].get<uint8_t>();
    }
    return regs;
}

void chipWriteRegister(json& chip, uint8_t reg, uint8_t value, int64_t now) {
    const int protocol = protocolOf(chip);
    const Layout& l = layoutOrThrow(protocol);
    std::vector<uint8_t> regs = regsOf(chip);
    if (reg >= regs.size())
        throw BoardError("chip register " + std::to_string(reg) + " beyond the register file");
    const uint8_t old = regs[reg];
    if (protocol == 2 && reg == kP2Status) {
        // The oscillator-stop flag can be cleared by writing 0, but only the chip sets it.
        value = static_cast<uint8_t>((value & ~kP2Oscillator) | (old & value & kP2Oscillator));
    }
    if (protocol == 3 && reg == kP3Control1 && (old & kP3Stop) && !(value & kP3Stop)) {
        chip["clockAt"] = now;  // the prescaler starts from zero when the clock runs again
    }
    if (protocol == 4 && reg == kP4HaltReg) {
        if (!(value & kP4HaltBit)) {
            chip.erase("halt");
        } else if (!(old & kP4HaltBit) || !chip.contains("halt")) {
            chip["halt"] = std::vector<uint8_t>(regs.begin(), regs.begin() + kP4FrozenCount);
        }
    }
    regs[reg] = value;
    if (reg >= l.firstTimeReg && reg <= l.lastTimeReg) {
        chip["clockAt"] = now;  // writing the time restarts the current second
        if (protocol == 4 && chip.contains("halt") && reg < kP4FrozenCount) chip["halt"][reg] = value;
    }
    chip["regs"] = regs;
}

void chipSetTime(json& chip, const ChipTime& t, int64_t now) {
    const Layout& l = layoutOrThrow(protocolOf(chip));
    std::vector<uint8_t> regs = regsOf(chip);
    setTimeRegisters(l, regs, t);
    for (uint8_t reg : {l.seconds, l.minutes, l.hours, l.weekday, l.day, l.month, l.year})
        chipWriteRegister(chip, reg, regs[reg], now);
}

void chipLoseBackupPower(json& chip, int64_t now) {
    const int protocol = protocolOf(chip);
    const Layout& l = layoutOrThrow(protocol);
    std::vector<uint8_t> regs(l.size, 0);
    setTimeRegisters(l, regs, ChipTime{0, 1, 1, 0, 0, 0, l.weekdayMin + 6});
    regs[l.flagReg] |= l.flagBit;
    switch (protocol) {
        case 1:
            regs[0x07] = 0x80;
            break;
        case 2:
            regs[0x0E] = 0x1C;
            regs[kP2Status] = 0x88;
            break;
        case 3:
            regs[kP3Control1] = 0x08;
            for (int r = 0x09; r <= 0x0D; ++r) regs[r] = 0x80;
            regs[0x0E] = 0x03;
            break;
        case 4:
            regs[kP4HaltReg] = kP4HaltBit;
            break;
    }
    chip["regs"] = regs;
    chip["pointer"] = 0;
    chip["clockAt"] = now;
    chip.erase("latch");
    chip.erase("halt");
    if (protocol == 4) chip["halt"] = std::vector<uint8_t>(regs.begin(), regs.begin() + kP4FrozenCount);
}

void chipPowerDown(json& chip, int64_t) {
    if (protocolOf(chip) != 4) return;
    std::vector<uint8_t> regs = regsOf(chip);
    // Halted already (a power-down that no driver has answered yet): the earlier time stays.
    if (!(regs[kP4HaltReg] & kP4HaltBit) || !chip.contains("halt"))
        chip["halt"] = std::vector<uint8_t>(regs.begin(), regs.begin() + kP4FrozenCount);
    regs[kP4HaltReg] |= kP4HaltBit;
    chip["regs"] = regs;
}

}  // namespace sim
