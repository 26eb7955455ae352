// What every RTC chip model shares: the register file and pointer, the read latch and the BCD
// clock with its carries; and the table that picks a chip's model.
#include "rtc_chip.h"

#include <array>
#include <cmath>

#include "calendar.h"
#include "config.h"
#include "simtime.h"
#include "json_fields.h"

namespace sim {

const RtcChipModel& protocol1Chip();
const RtcChipModel& protocol2Chip();
const RtcChipModel& protocol3Chip();
const RtcChipModel& protocol4Chip();

namespace {

// Digit masks of the time registers (units bits 0..3, the tens digit above them).
constexpr uint8_t kSecondsMask = 0x7F, kMinutesMask = 0x7F, kHoursMask = 0x3F, kDayMask = 0x3F,
                  kMonthMask = 0x1F, kYearMask = 0xFF, kWeekdayMask = 0x07;

constexpr int64_t kSecondsPerDay = 86400;
constexpr int kCenturyDays = 36525;  // 2000..2099: every fourth year a leap year, 2000 included

bool digitsValid(uint8_t v, uint8_t mask) {
    return (v & 0x0F) <= 9 && ((v & mask) >> 4) <= 9;
}

// Days since 2000-01-01 of a date the chip can hold.
int64_t chipDay(unsigned year2, unsigned month, unsigned day) {
    return dayNumber(2000 + static_cast<int>(year2), month, day) - dayNumber(2000, 1, 1);
}

struct Entry {
    int protocol;
    const RtcChipModel& (*model)();
};
constexpr Entry kChips[] = {
    {1, protocol1Chip},
    {2, protocol2Chip},
    {3, protocol3Chip},
    {4, protocol4Chip},
};

}  // namespace

namespace {
int64_t (*gTimeSource)() = nullptr;
}  // namespace

int64_t chipNow() {
    return gTimeSource ? gTimeSource() : boardNow();
}

int64_t chipNowAt(uint64_t ns) {
    return gTimeSource ? gTimeSource() : boardTimeAtUptime(ns);
}

namespace {
int64_t floorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}
}  // namespace

int64_t crystalUnits(int64_t elapsed, int64_t ppb) {
    // elapsed x ppb / 1e9, with elapsed taken apart into whole seconds q and the rest r: the
    // seconds contribute q x ppb / 100, the rest r x ppb / 1e9; no product leaves 64 bits.
    const int64_t q = floorDiv(elapsed, kFileTimeUnitsPerSecond);
    const int64_t r = elapsed - q * kFileTimeUnitsPerSecond;
    const int64_t a = q * ppb;
    const int64_t whole = floorDiv(a, 100);
    const int64_t rest = (a - whole * 100) * kFileTimeUnitsPerSecond + r * ppb;
    return elapsed + whole + floorDiv(rest, 1'000'000'000);
}

Crystal crystalOf(const BoardConfig& board, const ChipConfig& chip) {
    return Crystal{board.clocksStill() || chip.frozen, static_cast<int64_t>(std::llround(chip.ppm * 1000))};
}

void setChipTimeSourceForTests(int64_t (*source)()) {
    gTimeSource = source;
}

unsigned bcdValue(uint8_t reg, uint8_t mask) {
    return ((reg & mask) >> 4) * 10u + (reg & 0x0Fu);
}

void bcdPut(uint8_t& reg, uint8_t mask, unsigned value) {
    reg = static_cast<uint8_t>((reg & ~mask) | ((((value / 10) << 4) | (value % 10)) & mask));
}

const RtcChipModel& chipModel(int protocol) {
    for (const Entry& e : kChips)
        if (e.protocol == protocol) return e.model();
    throw BoardError("no RTC chip speaks protocol " + std::to_string(protocol) + " (1..4)");
}

size_t chipRegisterCount(int protocol) {
    for (const Entry& e : kChips)
        if (e.protocol == protocol) return e.model().registerCount;
    return 0;
}

RtcChipModel::RtcChipModel(int protocol_, uint8_t defaultAddress_, size_t registerCount_, TimeRegisters time_)
    : protocol(protocol_), defaultAddress(defaultAddress_), registerCount(registerCount_), time(time_) {}

std::vector<uint8_t> RtcChipModel::resetRegisters() const {
    std::vector<uint8_t> regs(registerCount, 0);
    setTimeDigits(regs, ChipTime{0, 1, 1, 0, 0, 0, time.sunday + 6});  // 2000-01-01, a Saturday
    return regs;
}

void RtcChipModel::setTimeDigits(std::vector<uint8_t>& regs, const ChipTime& t) const {
    bcdPut(regs[time.seconds], kSecondsMask, t.second);
    bcdPut(regs[time.minutes], kMinutesMask, t.minute);
    bcdPut(regs[time.hours], kHoursMask, t.hour);
    regs[time.weekday] =
        static_cast<uint8_t>((regs[time.weekday] & ~kWeekdayMask) | (t.weekday & kWeekdayMask));
    bcdPut(regs[time.day], kDayMask, t.day);
    bcdPut(regs[time.month], kMonthMask, t.month);
    bcdPut(regs[time.year], kYearMask, t.year2);
}

ChipState RtcChipModel::initialState(int64_t fileTime) const {
    ChipState c;
    c.protocol = protocol;
    c.regs = resetRegisters();
    const int64_t since2000 = fileTime / kFileTimeUnitsPerSecond - dayNumber(2000, 1, 1) * kSecondsPerDay;
    if (since2000 > 0) tick(c.regs, static_cast<uint64_t>(since2000));
    c.clockAt = fileTime - fileTime % kFileTimeUnitsPerSecond;
    return c;
}

uint8_t RtcChipModel::readRegister(const ChipState& chip, uint8_t reg) const {
    return chip.latch ? (*chip.latch)[reg] : visibleRegisters(chip)[reg];
}

bool RtcChipModel::isTimeRegister(uint8_t reg) const {
    for (uint8_t r : {time.seconds, time.minutes, time.hours, time.weekday, time.day, time.month, time.year})
        if (r == reg) return true;
    return false;
}

void RtcChipModel::writeRegister(ChipState& chip, uint8_t reg, uint8_t value, int64_t now) const {
    chip.regs[reg] = value;
    // Writing the seconds resets the divider chain: the chip's next second is a whole one.
    if (reg == time.seconds) restartSecond(chip, now);
}

void RtcChipModel::transferEnded(ChipState&, int64_t) const {}

void RtcChipModel::showPhase(ChipState&, int64_t) const {}

void RtcChipModel::restartSecond(ChipState& chip, int64_t now, int64_t phase) {
    chip.clockAt = now;
    chip.phase = phase;
    chip.ticks = 0;
}

bool RtcChipModel::setPointer(ChipState& chip, uint8_t value) const {
    if (value >= registerCount) return false;
    chip.pointer = value;
    return true;
}

void RtcChipModel::advancePointer(ChipState& chip) const {
    chip.pointer = static_cast<uint8_t>((chip.pointer + 1) % registerCount);
}

void RtcChipModel::latchForRead(ChipState& chip) const {
    chip.latch = visibleRegisters(chip);
}

bool RtcChipModel::clockStopped(const ChipState&) const {
    return false;
}

std::vector<uint8_t> RtcChipModel::visibleRegisters(const ChipState& chip) const {
    return chip.regs;
}

ChipTime RtcChipModel::timeOf(const std::vector<uint8_t>& regs) const {
    ChipTime t;
    t.second = bcdValue(regs[time.seconds], kSecondsMask);
    t.minute = bcdValue(regs[time.minutes], kMinutesMask);
    t.hour = bcdValue(regs[time.hours], kHoursMask);
    t.weekday = regs[time.weekday] & kWeekdayMask;
    t.day = bcdValue(regs[time.day], kDayMask);
    t.month = bcdValue(regs[time.month], kMonthMask);
    t.year2 = bcdValue(regs[time.year], kYearMask);
    return t;
}

void RtcChipModel::setTime(ChipState& chip, const ChipTime& t, int64_t now) const {
    std::vector<uint8_t> regs = chip.regs;
    setTimeDigits(regs, t);
    for (uint8_t reg :
         {time.seconds, time.minutes, time.hours, time.weekday, time.day, time.month, time.year})
        writeRegister(chip, reg, regs[reg], now);
    transferEnded(chip, now);
}

int64_t RtcChipModel::catchUp(ChipState& chip, const Crystal& crystal, int64_t now) const {
    if (crystal.still || clockStopped(chip) || now < chip.clockAt) {
        // The second stands where it stood.
        chip.clockAt = now;
        chip.ticks = 0;
        showPhase(chip, chip.phase);
        return chip.phase;
    }
    const int64_t units = chip.phase + crystalUnits(now - chip.clockAt, crystal.ppb);
    const int64_t total = units / kFileTimeUnitsPerSecond;
    if (total > chip.ticks) tick(chip.regs, static_cast<uint64_t>(total - chip.ticks));
    chip.ticks = total;
    const int64_t phase = units - total * kFileTimeUnitsPerSecond;
    // An exact crystal ticks on whole units of the true time: its last tick is the new reference.
    if (crystal.ppb == 0) restartSecond(chip, now - phase);
    showPhase(chip, phase);
    return phase;
}

void RtcChipModel::rebase(ChipState& chip, const Crystal& crystal, int64_t now) const {
    restartSecond(chip, now, catchUp(chip, crystal, now));
}

namespace {

// One second on, the chip's counters one by one. Values outside a counter's range (the chip was
// set so) roll over at the next carry into that counter.
void stepOneSecond(const TimeRegisters& l, std::vector<uint8_t>& regs) {
    auto bump = [&](uint8_t reg, uint8_t mask, unsigned last, unsigned first) {
        const unsigned v = bcdValue(regs[reg], mask);
        if (v < last) {
            bcdPut(regs[reg], mask, v + 1);
            return false;
        }
        bcdPut(regs[reg], mask, first);
        return true;  // carry
    };
    if (!bump(l.seconds, kSecondsMask, 59, 0)) return;
    if (!bump(l.minutes, kMinutesMask, 59, 0)) return;
    if (!bump(l.hours, kHoursMask, 23, 0)) return;
    const unsigned w = regs[l.weekday] & kWeekdayMask;
    const unsigned next = w >= l.sunday + 6 ? l.sunday : w + 1;
    regs[l.weekday] = static_cast<uint8_t>((regs[l.weekday] & ~kWeekdayMask) | next);
    const unsigned month = bcdValue(regs[l.month], kMonthMask);
    const unsigned length = month >= 1 && month <= 12
                                ? daysInMonth(2000 + int(bcdValue(regs[l.year], kYearMask) % 100), month)
                                : 31;
    if (!bump(l.day, kDayMask, length, 1)) return;
    if (!bump(l.month, kMonthMask, 12, 1)) return;
    bump(l.year, kYearMask, 99, 0);
}

bool timeValid(const TimeRegisters& l, const std::vector<uint8_t>& regs) {
    const std::array<std::pair<uint8_t, uint8_t>, 6> fields = {{{l.seconds, kSecondsMask},
                                                                {l.minutes, kMinutesMask},
                                                                {l.hours, kHoursMask},
                                                                {l.day, kDayMask},
                                                                {l.month, kMonthMask},
                                                                {l.year, kYearMask}}};
    for (const auto& [reg, mask] : fields)
        if (!digitsValid(regs[reg], mask)) return false;
    const unsigned w = regs[l.weekday] & kWeekdayMask;
    const unsigned month = bcdValue(regs[l.month], kMonthMask), year2 = bcdValue(regs[l.year], kYearMask);
    return bcdValue(regs[l.seconds], kSecondsMask) < 60 && bcdValue(regs[l.minutes], kMinutesMask) < 60 &&
           bcdValue(regs[l.hours], kHoursMask) < 24 && year2 <= 99 &&
           validDate(2000 + static_cast<int>(year2), month, bcdValue(regs[l.day], kDayMask)) &&
           w >= l.sunday && w <= l.sunday + 6;
}

}  // namespace

void RtcChipModel::tick(std::vector<uint8_t>& regs, uint64_t seconds) const {
    // A time the chip could not have counted to moves a second at a time until it is one.
    while (seconds > 0 && !timeValid(time, regs)) {
        stepOneSecond(time, regs);
        --seconds;
    }
    if (seconds == 0) return;
    // A valid time jumps: the same result as stepping second by second, the century wrapping
    // from 99-12-31 to 00-01-01 as the two year digits do.
    const ChipTime t = timeOf(regs);
    const uint64_t at = static_cast<uint64_t>(chipDay(t.year2, t.month, t.day)) * kSecondsPerDay +
                        t.hour * 3600u + t.minute * 60u + t.second;
    const uint64_t century = static_cast<uint64_t>(kCenturyDays) * kSecondsPerDay;
    const uint64_t then = (at + seconds % century) % century;
    const uint64_t daysMoved = (at % kSecondsPerDay + seconds) / kSecondsPerDay;
    const CivilDate d = dateOfDayNumber(dayNumber(2000, 1, 1) + static_cast<int64_t>(then / kSecondsPerDay));
    const unsigned sod = static_cast<unsigned>(then % kSecondsPerDay);
    const unsigned weekday =
        time.sunday + static_cast<unsigned>((t.weekday - time.sunday + daysMoved % 7) % 7);
    setTimeDigits(regs, ChipTime{static_cast<unsigned>(d.year - 2000), d.month, d.day, sod / 3600,
                                 sod / 60 % 60, sod % 60, weekday});
}

std::vector<std::string> RtcChipModel::describe(const ChipState& chip) const {
    std::vector<std::string> out;
    if (timeInvalid(visibleRegisters(chip))) out.push_back("time flagged invalid");
    if (clockStopped(chip)) out.push_back("clock stopped");
    return out;
}

void RtcChipModel::loseBackupSupply(ChipState& chip, int64_t now) const {
    chip.regs = resetRegisters();
    chip.pointer = 0;
    restartSecond(chip, now);
    chip.restartAtStop = false;
    chip.latch.reset();
    chip.halt.reset();
}

void RtcChipModel::powerDown(ChipState&, int64_t) const {}

}  // namespace sim
