// The simulated RTC chips: register file and pointer, the BCD clock with its carries, the latch
// of a read, the invalid-time flags, protocol 3's stopped clock and protocol 4's halt bit.
#include <gtest/gtest.h>

#include <vector>

#include "i2c/i2c.h"
#include "rtc/rtc.h"
#include "sim/board/board_power.h"
#include "sim/board/i2c_master.h"
#include "sim/board/rtc_chip.h"
#include "sim/board/simtime.h"
#include "e2e_util.h"
#include "testboard.h"

namespace {

using Regs = std::vector<uint8_t>;

int64_t gNow = 0;
int64_t fakeNow() {
    return gNow;
}

constexpr int64_t kSecond = sim::kFileTimeUnitsPerSecond;

using e2e::fileTimeOf;

// ---- The clock arithmetic -----------------------------------------------------------------

struct TickCase {
    const char* what;
    Regs before;  // protocol 1 registers 0x00..0x07
    uint64_t seconds;
    Regs after;
};

TEST(ChipClock, TicksCarryThroughEveryField) {
    const TickCase cases[] = {
        {"seconds into minutes and hours",
         {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11, 0},
         5,
         {0x00, 0x00, 0x15, 0x03, 0x29, 0x11, 0x11, 0}},
        {"end of a 30-day month",
         {0x59, 0x59, 0x23, 0x04, 0x30, 0x04, 0x23, 0},
         1,
         {0x00, 0x00, 0x00, 0x05, 0x01, 0x05, 0x23, 0}},
        {"31 January",
         {0x59, 0x59, 0x23, 0x04, 0x31, 0x01, 0x23, 0},
         1,
         {0x00, 0x00, 0x00, 0x05, 0x01, 0x02, 0x23, 0}},
        {"28 February of a leap year",
         {0x59, 0x59, 0x23, 0x04, 0x28, 0x02, 0x24, 0},
         1,
         {0x00, 0x00, 0x00, 0x05, 0x29, 0x02, 0x24, 0}},
        {"29 February",
         {0x59, 0x59, 0x23, 0x05, 0x29, 0x02, 0x24, 0},
         1,
         {0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x24, 0}},
        {"28 February of a common year",
         {0x59, 0x59, 0x23, 0x03, 0x28, 0x02, 0x23, 0},
         1,
         {0x00, 0x00, 0x00, 0x04, 0x01, 0x03, 0x23, 0}},
        {"31 December 99 into 00, Saturday into Sunday",
         {0x59, 0x59, 0x23, 0x07, 0x31, 0x12, 0x99, 0},
         1,
         {0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0}},
        {"31 December 2011",
         {0x59, 0x59, 0x23, 0x07, 0x31, 0x12, 0x11, 0},
         1,
         {0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x12, 0}},
        {"a whole leap year",
         {0x00, 0x00, 0x00, 0x07, 0x01, 0x01, 0x00, 0},
         366 * 86400ull,
         {0x00, 0x00, 0x00, 0x02, 0x01, 0x01, 0x01, 0}},  // 2000-01-01 Sat -> 2001-01-01 Mon
        {"across the century",
         {0x50, 0x59, 0x23, 0x06, 0x31, 0x12, 0x99, 0},
         20,
         {0x10, 0x00, 0x00, 0x07, 0x01, 0x01, 0x00, 0}},
        {"bits above the digits stay",
         {0xD9, 0xD9, 0xE3, 0xF3, 0xF0, 0xE6, 0x11, 0x5A},
         1,
         {0x80, 0x80, 0xC0, 0xF4, 0xC1, 0xE7, 0x11, 0x5A}},
    };
    for (const TickCase& c : cases) {
        Regs regs = c.before;
        sim::chipModel(1).tick(regs, c.seconds);
        EXPECT_EQ(regs, c.after) << c.what;
    }
}

TEST(ChipClock, Protocol3CountsWeekdaysFromSundayZero) {
    // 2011-12-31 23:59:59, a Saturday (6), in registers 0x02..0x08: day before weekday.
    Regs regs(16, 0);
    const Regs time = {0x59, 0x59, 0x23, 0x31, 0x06, 0x12, 0x11};
    std::copy(time.begin(), time.end(), regs.begin() + 2);
    regs[2] |= 0x80;  // the backup-voltage flag rides in the seconds register
    sim::chipModel(3).tick(regs, 1);
    const Regs expected = {0x80, 0x00, 0x00, 0x01, 0x00, 0x01, 0x12};
    EXPECT_EQ(Regs(regs.begin() + 2, regs.begin() + 9), expected);
}

TEST(ChipClock, LongJumpsAgreeWithSingleSteps) {
    const Regs starts[] = {
        {0x17, 0x42, 0x21, 0x02, 0x27, 0x02, 0x23, 0},
        {0x00, 0x00, 0x00, 0x06, 0x28, 0x12, 0x99, 0},
        {0x33, 0x03, 0x09, 0x01, 0x31, 0x01, 0x96, 0},
    };
    for (const Regs& start : starts) {
        Regs stepped = start, jumped = start;
        const uint64_t n = 3 * 86400 + 3 * 3600 + 7;
        for (uint64_t i = 0; i < n; ++i) sim::chipModel(1).tick(stepped, 1);
        sim::chipModel(1).tick(jumped, n);
        EXPECT_EQ(jumped, stepped);
    }
}

TEST(ChipClock, OutOfRangeValuesRollOverAtTheNextCarry) {
    Regs regs = {0x59, 0x59, 0x23, 0x00, 0x3F, 0x15, 0xA5, 0};  // day 45, month 15, year 105, weekday 0
    sim::chipModel(1).tick(regs, 1);
    // Day 45 and month 15 are past their ends, the weekday 0 is below the chip's 1..7 count.
    EXPECT_EQ(regs, (Regs{0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0}));
}

// What a crystal off by `ppb` counts of a true span: exact, whatever the span and the sign.
TEST(ChipClock, CrystalCountsTheTrueSpanAtItsOwnRate) {
    const int64_t day = 86400 * kSecond;
    const struct {
        int64_t elapsed, ppb, counted;
    } cases[] = {
        {day, 0, day},
        {day, 50'000, day + 43'200'000},               // +50 ppm gains 4.32 s a day
        {day, -20'000, day - 17'280'000},              // -20 ppm loses 1.728 s
        {30 * day, 50'000, 30 * day + 1'296'000'000},  // 129.6 s in 30 days
        {1, 1, 1},                                     // a billionth of 100 ns: nothing yet
        {1, -1, 0},                                    // rounded down, not towards zero
        {kSecond - 1, 100, kSecond - 1 + 0},           // 999.9999 ms x 1e-7 = 0.99 units
        {kSecond, 100, kSecond + 1},                   // 1 s x 1e-7 = one unit
        {10 * 366 * day, 10'000'000, 10 * 366 * day + 31'622'400'000'000},  // 1 % over ten years
        {-kSecond, 50'000, -kSecond - 500},                                 // a span backwards
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::crystalUnits(c.elapsed, c.ppb), c.counted)
            << c.elapsed << " units at " << c.ppb << " ppb";
}

// ---- The chips on the bus -------------------------------------------------------------------

sim::BoardConfig boardWith(int protocol, uint8_t address, bool frozen = false) {
    sim::BoardConfig c = sim::defaultBoardConfig();
    c.frozen = frozen;
    c.chips = {sim::ChipConfig{protocol, address}};
    return c;
}

bool busWrite(uint8_t address, uint8_t reg, const Regs& bytes) {
    sim::I2cWireMaster bus;
    bool ok = bus.start(static_cast<uint8_t>(address << 1)) && bus.write(reg);
    for (size_t i = 0; ok && i < bytes.size(); ++i) ok = bus.write(bytes[i]);
    bus.stop();
    return ok;
}

Regs busRead(uint8_t address, uint8_t reg, size_t n) {
    sim::I2cWireMaster bus;
    Regs out;
    if (bus.start(static_cast<uint8_t>(address << 1)) && bus.write(reg) &&
        bus.start(static_cast<uint8_t>((address << 1) | 1))) {
        for (size_t i = 0; i < n; ++i) out.push_back(bus.read(i + 1 < n));
    }
    bus.stop();
    return out;
}

class ChipOnBus : public ::testing::Test {
  protected:
    void SetUp() override {
        gNow = fileTimeOf(2011, 11, 29, 14, 59, 55) + kSecond / 2;
        sim::setChipTimeSourceForTests(fakeNow);
    }
    void TearDown() override {
        sim::setChipTimeSourceForTests(nullptr);
        board_.reset();
    }
    void makeBoard(const sim::BoardConfig& c) { board_ = std::make_unique<TestBoard>(c); }
    void editChip(uint8_t address, const std::function<void(sim::ChipState&)>& f) {
        sim::Board::current().updateState([&](sim::BoardState& s) { f(s.chips.at(address)); });
    }
    std::unique_ptr<TestBoard> board_;
};

TEST_F(ChipOnBus, AcknowledgesOnlyItsOwnAddress) {
    makeBoard(boardWith(3, 0x51));
    sim::I2cWireMaster bus;
    for (uint8_t a : {0x50, 0x52, 0x68, 0x00, 0x7F}) {
        EXPECT_FALSE(bus.start(static_cast<uint8_t>(a << 1))) << int(a);
        EXPECT_FALSE(bus.write(0x00));
        bus.stop();
    }
    EXPECT_TRUE(bus.start(0x51 << 1));
    bus.stop();
    EXPECT_TRUE(bus.start((0x51 << 1) | 1));
    bus.stop();
}

TEST_F(ChipOnBus, ChipConfiguredAbsentOrToRefuseAnswersNobody) {
    sim::BoardConfig c = boardWith(1, 0x68);
    c.chips[0].present = false;
    makeBoard(c);
    EXPECT_TRUE(busRead(0x68, 0, 1).empty());

    makeBoard(boardWith(1, 0x68));
    editChip(0x68, [](sim::ChipState& ch) { ch.nakNext = 2; });
    EXPECT_TRUE(busRead(0x68, 0, 1).empty());  // two address phases: write, then read
    EXPECT_EQ(busRead(0x68, 0, 1).size(), 0u);
    EXPECT_EQ(busRead(0x68, 0, 1).size(), 1u);
}

TEST_F(ChipOnBus, PointerAdvancesAndWrapsAtTheEndOfEachFile) {
    const struct {
        int protocol;
        uint8_t address;
        size_t size;
    } chips[] = {{1, 0x68, 8}, {2, 0x68, 17}, {3, 0x51, 16}, {4, 0x68, 13}};
    for (const auto& c : chips) {
        SCOPED_TRACE(c.protocol);
        makeBoard(boardWith(c.protocol, c.address, true));
        const uint8_t last = static_cast<uint8_t>(c.size - 1);
        // Registers not touched by the clock: the last one and register 0x0?/0x01 differ per
        // chip, so check through a read that wraps.
        const Regs whole = busRead(c.address, 0, c.size);
        ASSERT_EQ(whole.size(), c.size);
        const Regs wrapped = busRead(c.address, last, 3);
        EXPECT_EQ(wrapped, (Regs{whole[last], whole[0], whole[1]}));
        // A read without a register byte goes on where the last one ended.
        sim::I2cWireMaster bus;
        ASSERT_TRUE(bus.start(static_cast<uint8_t>((c.address << 1) | 1)));
        EXPECT_EQ(bus.read(false), whole[2]);
        bus.stop();
        // A register byte beyond the file is not acknowledged.
        EXPECT_FALSE(busWrite(c.address, static_cast<uint8_t>(c.size), {0x00}));
    }
}

TEST_F(ChipOnBus, WriteWrapsToRegisterZero) {
    makeBoard(boardWith(2, 0x68, true));
    ASSERT_TRUE(busWrite(0x68, 0x10, {0x11, 0x22}));  // 0x10, then 0x00
    const Regs r = busRead(0x68, 0x10, 2);
    EXPECT_EQ(r, (Regs{0x11, 0x22}));
}

TEST_F(ChipOnBus, UninterpretedBitsReadBackAsWritten) {
    makeBoard(boardWith(2, 0x68, true));
    ASSERT_TRUE(busWrite(0x68, 0x0E, {0x5A, 0x37}));
    EXPECT_EQ(busRead(0x68, 0x0E, 2), (Regs{0x5A, 0x37}));
    makeBoard(boardWith(3, 0x51, true));
    const Regs rest = {0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7};
    ASSERT_TRUE(busWrite(0x51, 0x09, rest));
    EXPECT_EQ(busRead(0x51, 0x09, 7), rest);
    makeBoard(boardWith(4, 0x68, true));
    ASSERT_TRUE(busWrite(0x68, 0x0C, {0xBF}));
    EXPECT_EQ(busRead(0x68, 0x0C, 1), (Regs{0xBF}));
}

TEST_F(ChipOnBus, ClockFollowsTheWallClockOnANormalBoard) {
    makeBoard(boardWith(1, 0x68));
    ASSERT_TRUE(busWrite(0x68, 0x00, {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11, 0x00}));
    gNow += 4 * kSecond + kSecond / 2;  // 4.5 s after the write
    EXPECT_EQ(busRead(0x68, 0, 7), (Regs{0x59, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11}));
    gNow += kSecond;
    EXPECT_EQ(busRead(0x68, 0, 3), (Regs{0x00, 0x00, 0x15}));
    gNow += 9 * 3600 * kSecond;  // past midnight: Wednesday the 30th
    EXPECT_EQ(busRead(0x68, 0, 7), (Regs{0x00, 0x00, 0x00, 0x04, 0x30, 0x11, 0x11}));
}

TEST_F(ChipOnBus, CrystalErrorMakesTheChipGainOrLose) {
    const struct {
        double ppm;
        Regs afterADay;  // seconds, minutes, hours of the day after 14:59:55 written
        Regs threeQuartersLater;
    } cases[] = {
        {0, {0x55, 0x59, 0x14}, {0x55, 0x59, 0x14}},
        {50, {0x59, 0x59, 0x14}, {0x00, 0x00, 0x15}},   // 4.32 s gained: the fifth second is 0.32 s in
        {-20, {0x53, 0x59, 0x14}, {0x54, 0x59, 0x14}},  // 1.728 s lost: 0.272 s into the 53rd
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ppm);
        sim::BoardConfig config = boardWith(1, 0x68);
        config.chips[0].ppm = c.ppm;
        makeBoard(config);
        gNow = fileTimeOf(2011, 11, 29, 14, 59, 55);
        ASSERT_TRUE(busWrite(0x68, 0x00, {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11, 0x00}));
        gNow += 86400 * kSecond;
        EXPECT_EQ(busRead(0x68, 0, 3), c.afterADay);
        gNow += kSecond * 3 / 4;
        EXPECT_EQ(busRead(0x68, 0, 3), c.threeQuartersLater);
    }
}

TEST_F(ChipOnBus, WritingTheSecondsRestartsTheSecondWhateverItsPhase) {
    makeBoard(boardWith(2, 0x68));
    ASSERT_TRUE(busWrite(0x68, 0x00, {0x10}));
    gNow += kSecond * 9 / 10;  // 0.9 s into the chip's second
    ASSERT_TRUE(busWrite(0x68, 0x00, {0x30}));
    gNow += kSecond * 9 / 10;
    EXPECT_EQ(busRead(0x68, 0, 1), (Regs{0x30}));  // not 0.8 s but 1.8 s would have ticked
    gNow += kSecond / 10;
    EXPECT_EQ(busRead(0x68, 0, 1), (Regs{0x31}));
    // Minutes alone do not touch the divider.
    gNow += kSecond / 2;
    ASSERT_TRUE(busWrite(0x68, 0x01, {0x07}));
    gNow += kSecond / 2;
    EXPECT_EQ(busRead(0x68, 0, 2), (Regs{0x32, 0x07}));
}

TEST_F(ChipOnBus, Protocol4HundredthsCountTheSecondAndAWriteRestartsItAtTheStop) {
    makeBoard(boardWith(4, 0x68));
    gNow = fileTimeOf(2011, 11, 29, 14, 59, 55);
    // Hundredths 0x50: the second restarts half-way through when the transfer ends.
    ASSERT_TRUE(busWrite(0x68, 0x00, {0x50, 0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11}));
    gNow += kSecond / 4;
    EXPECT_EQ(busRead(0x68, 0, 2), (Regs{0x75, 0x55}));
    gNow += kSecond / 4 + kSecond / 100;
    EXPECT_EQ(busRead(0x68, 0, 2), (Regs{0x01, 0x56}));
    gNow += 3 * kSecond + kSecond * 37 / 100;
    EXPECT_EQ(busRead(0x68, 0, 2), (Regs{0x38, 0x59}));
}

TEST_F(ChipOnBus, Protocol3FirstSecondAfterStopEndsHalfASecondLater) {
    makeBoard(boardWith(3, 0x51));
    ASSERT_TRUE(busWrite(0x51, 0x00, {0x20}));
    ASSERT_TRUE(busWrite(0x51, 0x02, {0x50}));
    gNow += 5 * kSecond;
    ASSERT_TRUE(busWrite(0x51, 0x00, {0x00}));
    // The prescaler's upper stages start from zero, its lowest two do not: 0.5078 to 0.5079 s.
    gNow += kSecond * 5078 / 10000;
    EXPECT_EQ(busRead(0x51, 0x02, 1), (Regs{0x50}));
    gNow += kSecond / 1000;
    EXPECT_EQ(busRead(0x51, 0x02, 1), (Regs{0x51}));
    gNow += kSecond;
    EXPECT_EQ(busRead(0x51, 0x02, 1), (Regs{0x52}));
}

TEST_F(ChipOnBus, ClockStandsStillOnAFrozenBoardOrChip) {
    makeBoard(boardWith(1, 0x68, true));
    const Regs before = busRead(0x68, 0, 8);
    gNow += 3600 * kSecond;
    EXPECT_EQ(busRead(0x68, 0, 8), before);

    sim::BoardConfig c = boardWith(4, 0x68);
    c.chips[0].frozen = true;
    makeBoard(c);
    const Regs p4 = busRead(0x68, 0, 13);
    gNow += 3600 * kSecond;
    EXPECT_EQ(busRead(0x68, 0, 13), p4);
}

TEST_F(ChipOnBus, ReadIsLatchedAtItsStart) {
    makeBoard(boardWith(1, 0x68));
    ASSERT_TRUE(busWrite(0x68, 0x00, {0x59, 0x59, 0x23, 0x07, 0x31, 0x12, 0x11, 0x00}));
    gNow += kSecond / 2;
    sim::I2cWireMaster bus;
    ASSERT_TRUE(bus.start(0x68 << 1));
    ASSERT_TRUE(bus.write(0x00));
    ASSERT_TRUE(bus.start((0x68 << 1) | 1));
    Regs got;
    for (int i = 0; i < 3; ++i) got.push_back(bus.read(true));
    gNow += kSecond;  // the year turns while the read is under way
    for (int i = 3; i < 7; ++i) got.push_back(bus.read(i < 6));
    bus.stop();
    EXPECT_EQ(got, (Regs{0x59, 0x59, 0x23, 0x07, 0x31, 0x12, 0x11}));
    EXPECT_EQ(busRead(0x68, 0, 7), (Regs{0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x12}));
}

TEST_F(ChipOnBus, MasterNotAcknowledgingEndsTheChipsBytes) {
    makeBoard(boardWith(1, 0x68, true));
    sim::I2cWireMaster bus;
    ASSERT_TRUE(busWrite(0x68, 0x07, {0x00}));
    ASSERT_TRUE(bus.start((0x68 << 1) | 1));
    bus.read(false);
    EXPECT_EQ(bus.read(false), 0xFF);  // the chip has let go of the bus
    bus.stop();
}

// ---- Flags, stop and halt, with the chip routines on the transaction bus --------------------

class ChipWithDriver : public ChipOnBus {
  protected:
    void lock() {
        ASSERT_NE(I2CInitStandard(), 0);
        ASSERT_NE(I2CLock(INFINITE), 0);
    }
    void TearDown() override {
        I2CUnlock();
        ChipOnBus::TearDown();
    }
};

struct FlagCase {
    int protocol;
    uint8_t address;
    uint8_t flagReg;
};

TEST_F(ChipWithDriver, BackupLossSetsTheFlagAndTheProtocolsWriteClearsIt) {
    const FlagCase cases[] = {{1, 0x68, 0x01}, {2, 0x68, 0x0F}, {3, 0x51, 0x02}, {4, 0x68, 0x02}};
    for (const FlagCase& c : cases) {
        SCOPED_TRACE(c.protocol);
        makeBoard(boardWith(c.protocol, c.address));
        lock();
        const RtcProtocolEntry& p = g_rtcProtocols[c.protocol];
        editChip(c.address,
                 [&](sim::ChipState& ch) { sim::chipModel(c.protocol).loseBackupSupply(ch, gNow); });
        EXPECT_NE(busRead(c.address, c.flagReg, 1).at(0) & 0x80, 0);
        SYSTEMTIME t{};
        if (p.prepare) {
            ASSERT_NE(p.prepare(c.address), 0);
        }
        ASSERT_EQ(p.read(&t, c.address), 1);
        EXPECT_EQ(t.wYear, RTC_INVALID_YEAR);
        EXPECT_EQ(t.wMonth, 1);  // the chip restarted from its reset time
        EXPECT_EQ(t.wDay, 1);
        EXPECT_EQ(t.wDayOfWeek, 6);

        const SYSTEMTIME set = {2011, 11, 2, 29, 14, 59, 55, 0};
        ASSERT_EQ(p.write(&set, c.address), 1);
        gNow += 2 * kSecond;
        if (p.prepare) {
            ASSERT_NE(p.prepare(c.address), 0);
        }
        ASSERT_EQ(p.read(&t, c.address), 1);
        EXPECT_EQ(t.wYear, 2011);
        EXPECT_EQ(t.wSecond, 57);
        EXPECT_EQ(t.wDayOfWeek, 2);
        I2CUnlock();
    }
}

TEST_F(ChipWithDriver, Protocol2StatusFlagIsClearedByTheWriteAndNeverSetByOne) {
    makeBoard(boardWith(2, 0x68));
    lock();
    editChip(0x68, [](sim::ChipState& ch) { sim::chipModel(2).loseBackupSupply(ch, gNow); });
    const SYSTEMTIME set = {2011, 11, 2, 29, 14, 59, 55, 0};
    ASSERT_EQ(WriteRtcProtocol2(&set, 0x68), 1);
    EXPECT_EQ(busRead(0x68, 0x0E, 2), (Regs{0x1C, 0x0B}));
    ASSERT_TRUE(busWrite(0x68, 0x0F, {0xFF}));
    EXPECT_EQ(busRead(0x68, 0x0F, 1), (Regs{0x7F}));
}

TEST_F(ChipWithDriver, Protocol3ReinitialisationResetsAllButTheTime) {
    makeBoard(boardWith(3, 0x51));
    lock();
    editChip(0x51, [](sim::ChipState& ch) { sim::chipModel(3).loseBackupSupply(ch, gNow); });
    EXPECT_EQ(busRead(0x51, 0x0E, 1), (Regs{0x03}));
    SYSTEMTIME t{};
    ASSERT_EQ(ReadRtcProtocol3(&t, 0x51), 1);
    EXPECT_EQ(busRead(0x51, 0x00, 2), (Regs{0x00, 0x00}));
    EXPECT_EQ(busRead(0x51, 0x09, 7), (Regs{0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0x00}));
    EXPECT_EQ(busRead(0x51, 0x02, 1).at(0) & 0x80, 0x80);  // still flagged until a time write
}

TEST_F(ChipWithDriver, Protocol3ClockStandsStillWhileRegister0Holds0x20) {
    makeBoard(boardWith(3, 0x51));
    lock();
    ASSERT_TRUE(busWrite(0x51, 0x02, {0x50, 0x59, 0x14, 0x29, 0x02, 0x11, 0x11}));
    ASSERT_TRUE(busWrite(0x51, 0x00, {0x20}));
    gNow += 30 * kSecond;
    EXPECT_EQ(busRead(0x51, 0x02, 2), (Regs{0x50, 0x59}));
    ASSERT_TRUE(busWrite(0x51, 0x00, {0x00}));
    gNow += 12 * kSecond;
    EXPECT_EQ(busRead(0x51, 0x02, 2), (Regs{0x02, 0x00}));
}

TEST_F(ChipWithDriver, Protocol4HaltBitFreezesTheTimeOfThePowerDown) {
    makeBoard(boardWith(4, 0x68));
    lock();
    const SYSTEMTIME set = {2011, 11, 2, 29, 14, 59, 55, 0};
    ASSERT_EQ(WriteRtcProtocol4(&set, 0x68), 1);
    I2CUnlock();
    gNow += 3 * kSecond;
    sim::powerDownBoard();
    gNow += 3600 * kSecond;
    sim::powerUpBoard(std::nullopt);
    lock();
    EXPECT_EQ(busRead(0x68, 0x0C, 1).at(0) & 0x40, 0x40);
    SYSTEMTIME t{};
    ASSERT_EQ(ReadRtcProtocol4(&t, 0x68), 1);  // a driver skipping the preparation
    EXPECT_EQ(t.wHour, 14);
    EXPECT_EQ(t.wMinute, 59);
    EXPECT_EQ(t.wSecond, 58);
    ASSERT_NE(PrepareRtcProtocol4(0x68), 0);
    ASSERT_EQ(ReadRtcProtocol4(&t, 0x68), 1);
    EXPECT_EQ(t.wHour, 15);
    EXPECT_EQ(t.wMinute, 59);
    EXPECT_EQ(t.wSecond, 58);
}

TEST_F(ChipOnBus, BusUseWhileThePowerIsDownIsABoardFault) {
    makeBoard(boardWith(1, 0x68, true));
    sim::powerDownBoard();
    EXPECT_EXIT(sim::I2cWireMaster().start(0x68 << 1), ::testing::ExitedWithCode(3), "powered down");
    sim::powerUpBoard(std::nullopt);
    EXPECT_EQ(busRead(0x68, 0, 1).size(), 1u);
}

}  // namespace
