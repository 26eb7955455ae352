// The I2C units, the OS timer and the power manager at register level, driven through the
// physical address space as software on the processor would drive them (no product driver): bit
// timing, the status bits and their set and clear rules as the processor manuals give them, the
// interrupt, the chips reached, injected faults, and the wires as a logic analyser would see them.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "sim/board/i2c_bus.h"
#include "sim/board/i2c_trace.h"
#include "sim/vboard/trace_views.h"
#include "sim/board/interrupt_controller.h"
#include "sim/board/mmio.h"
#include "sim/board/os_timer.h"
#include "sim/board/power_manager.h"
#include "sim/board/pxa_i2c.h"
#include "sim/board/simtime.h"
#include "sim/ceapi/kernel_hal.h"
#include "testboard.h"

namespace {

using namespace sim::pxa_i2c;

constexpr uint32_t kEnable = ICR_SCLE | ICR_IUE | ICR_GCD;
constexpr uint32_t kIrqs = ICR_ITEIE | ICR_IRFIE | ICR_BEIE | ICR_ALDIE;
constexpr uint64_t T = 10000;  // one bit at 100 kHz

struct ModelBoard {
    explicit ModelBoard(sim::BoardConfig config) : board(config) {
        sim::resetPhysicalMapForTests();
        sim::resetKernelForTests();
        sim::ensureBoardHardware();
        tester = sim::i2cbus::addDriver("test");
    }
    ~ModelBoard() {
        sim::resetPhysicalMapForTests();
        sim::resetKernelForTests();
    }
    TestBoard board;
    int tester = -1;  // the test's own hand on the wires (a GPIO pad, another device)

    uint32_t rd(uint32_t off, uint32_t base = sim::kI2cStandardUnit) { return sim::physRead32(base + off); }
    void wr(uint32_t off, uint32_t v, uint32_t base = sim::kI2cStandardUnit) {
        sim::physWrite32(base + off, v);
    }
    // Lets board time run until nothing more is scheduled.
    void settle() {
        while (auto next = sim::nextEventNs()) {
            sim::sleepUntilNs(*next);
            sim::runDue();
        }
        sim::sleepUntilNs(std::max(sim::nowNs(), sim::i2cbus::lastChangeNs()));
    }
    // Moves one byte with these control bits (START, STOP, ACKNAK) and lets it complete;
    // returns the status and clears its events.
    uint32_t byte(uint32_t ctlBits, int value = -1, uint32_t base = sim::kI2cStandardUnit) {
        if (value >= 0) wr(IDBR, static_cast<uint32_t>(value), base);
        wr(ICR, (rd(ICR, base) & ~(ICR_START | ICR_STOP | ICR_ACKNAK | ICR_MA)) | ctlBits | ICR_TB, base);
        settle();
        const uint32_t s = rd(ISR, base);
        wr(ISR, ISR_EVENTS, base);
        return s;
    }
    std::vector<sim::TraceRecord> trace() {
        sim::traceFlush();
        std::ifstream in(board.path("trace.log"));
        std::stringstream s;
        s << in.rdbuf();
        return sim::parseTrace(s.str());
    }
    std::vector<std::string> transactions() { return sim::traceTransactions(trace()); }
    void setChipRegs(uint8_t addr, const std::vector<uint8_t>& regs) {
        sim::Board::current().updateState([&](sim::BoardState& s) {
            for (size_t i = 0; i < regs.size(); ++i) s.chips.at(addr).regs[i] = regs[i];
        });
    }
    std::vector<uint8_t> chipRegs(uint8_t addr) {
        return sim::Board::current().readState().chips.at(addr).regs;
    }
    bool sda() { return sim::i2cbus::high(sim::BusLine::SDA); }
    bool scl() { return sim::i2cbus::high(sim::BusLine::SCL); }
    // A clock pulse made by the test's own driver (as the bus recovery's GPIO pulses are).
    void pulse() {
        const uint64_t t = std::max(sim::nowNs(), sim::i2cbus::lastChangeNs());
        sim::i2cbus::pull(sim::BusLine::SCL, tester, true, t + 5000);
        sim::i2cbus::pull(sim::BusLine::SCL, tester, false, t + 10000);
        sim::sleepUntilNs(t + 10000);
    }
    void stopCondition() {
        const uint64_t t = std::max(sim::nowNs(), sim::i2cbus::lastChangeNs());
        sim::i2cbus::pull(sim::BusLine::SCL, tester, true, t + 2500);
        sim::i2cbus::pull(sim::BusLine::SDA, tester, true, t + 5000);
        sim::i2cbus::pull(sim::BusLine::SCL, tester, false, t + 7500);
        sim::i2cbus::pull(sim::BusLine::SDA, tester, false, t + 10000);
        sim::sleepUntilNs(t + 10000);
    }
};

sim::BoardConfig oneChip(int protocol = 1) {
    sim::BoardConfig c = testing_board::frozenDefaults();
    c.chips = {sim::ChipConfig{protocol, protocol == 3 ? uint8_t(0x51) : uint8_t(0x68)}};
    return c;
}

sim::BoardConfig withFaults(const sim::json& faults, int protocol = 1) {
    sim::BoardConfig c = oneChip(protocol);
    c.faults = sim::faultsFromJson(faults);
    return c;
}

// Processor 17: both units' clocks are bits 14 and 15 of the clock-enable register.
constexpr uint32_t kClockEnable = 0x41300004;

void clocksOn() {
    if (sim::deviceAt(kClockEnable)) sim::physWrite32(kClockEnable, sim::physRead32(kClockEnable) | 0xC000);
}

// Processor 17: bus pins 117 and 118 to alternate function 1 (bits 10..13 of GAFR3_U).
constexpr uint32_t kPinFunctions112To127 = 0x40E00070;

void routePins(bool toController) {
    uint32_t v = sim::physRead32(kPinFunctions112To127) & ~0x3C00u;
    if (toController) v |= 0x1400u;
    sim::physWrite32(kPinFunctions112To127, v);
}

void enable(ModelBoard& b, uint32_t extra = 0, uint32_t base = sim::kI2cStandardUnit) {
    clocksOn();
    routePins(true);
    b.wr(ICR, ICR_UR, base);
    b.wr(ISR, ISR_EVENTS, base);
    b.wr(ISAR, 0x12, base);
    b.wr(ICR, kEnable | extra, base);
}

TEST(PxaI2cModel, AByteTakesItsStartAndNineBitTimesAtEitherSpeed) {
    for (uint32_t fast : {0u, ICR_FM}) {
        const uint64_t bit = fast ? 2500 : 10000;
        ModelBoard b(oneChip());
        enable(b, kIrqs | fast);
        b.wr(IDBR, 0xD0);
        const uint64_t t0 = sim::nowNs();
        b.wr(ICR, b.rd(ICR) | ICR_START | ICR_TB);
        EXPECT_EQ(b.rd(ISR) & (ISR_ITE | ISR_UB), ISR_UB) << "master of a transaction from its start";
        EXPECT_NE(b.rd(ICR) & ICR_TB, 0u);
        sim::sleepUntilNs(t0 + 9 * bit);
        sim::runDue();
        EXPECT_EQ(b.rd(ISR) & ISR_ITE, 0u) << "the start and nine bits are not over yet";
        EXPECT_FALSE(sim::irqLineAsserted(18));
        sim::sleepUntilNs(t0 + 10 * bit);
        sim::runDue();
        EXPECT_EQ(b.rd(ISR), ISR_ITE | ISR_UB) << "acknowledged; the unit holds the bus for the next byte";
        EXPECT_EQ(b.rd(ICR) & ICR_TB, 0u) << "the unit clears TB";
        EXPECT_TRUE(sim::irqLineAsserted(18));
        EXPECT_FALSE(b.scl()) << "SCL held low until software sets TB again";
    }
}

TEST(PxaI2cModel, InterruptFollowsEnablesAndEventsClearOnlyByWritingOne) {
    ModelBoard b(oneChip());
    enable(b);
    EXPECT_EQ(b.byte(ICR_START, 0xD0) & ISR_ITE, ISR_ITE);
    b.wr(IDBR, 0x00);
    b.wr(ICR, (b.rd(ICR) & ~ICR_START) | ICR_TB);
    b.settle();
    EXPECT_EQ(b.rd(ISR) & ISR_ITE, ISR_ITE);
    EXPECT_FALSE(sim::irqLineAsserted(18)) << "no enable, no interrupt";
    b.wr(ICR, b.rd(ICR) | ICR_ITEIE);  // enabling it with the event pending raises the line
    EXPECT_TRUE(sim::irqLineAsserted(18));
    b.wr(ISR, 0);  // writing 0 changes nothing
    EXPECT_EQ(b.rd(ISR) & ISR_ITE, ISR_ITE);
    b.wr(ISR, ISR_IRF | ISR_UB | ISR_RWM);  // another event bit, and state bits that ignore writes
    EXPECT_TRUE(sim::irqLineAsserted(18));
    EXPECT_EQ(b.rd(ISR) & ISR_UB, ISR_UB);
    b.wr(ISR, ISR_ITE);
    EXPECT_EQ(b.rd(ISR) & ISR_ITE, 0u);
    EXPECT_FALSE(sim::irqLineAsserted(18)) << "level interrupt: gone with its cause";
}

TEST(PxaI2cModel, StatusBitsThroughARegisterReadFollowTheManual) {
    ModelBoard b(oneChip());
    b.setChipRegs(0x68, {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11, 0x00});
    enable(b, kIrqs);
    EXPECT_EQ(b.byte(ICR_START, 0xD0), ISR_ITE | ISR_UB) << "write address: RWM clear";
    EXPECT_EQ(b.byte(0, 0x01), ISR_ITE | ISR_UB);
    EXPECT_EQ(b.byte(ICR_START, 0xD1), ISR_ITE | ISR_UB | ISR_RWM) << "read address: RWM set";
    EXPECT_EQ(b.byte(0), ISR_IRF | ISR_UB | ISR_RWM) << "received and acknowledged";
    EXPECT_EQ(b.rd(IDBR), 0x59u);
    // The last byte: not acknowledged by the master, then a stop. The unit is master no longer,
    // RWM is cleared by the stop, and ACKNAK shows the master's NAK.
    EXPECT_EQ(b.byte(ICR_ACKNAK | ICR_STOP), ISR_IRF | ISR_ACKNAK);
    EXPECT_EQ(b.rd(IDBR), 0x14u);
    EXPECT_TRUE(b.scl());
    EXPECT_TRUE(b.sda());
    EXPECT_EQ(b.rd(IBMR), IBMR_SDA | IBMR_SCL);
    EXPECT_EQ(b.transactions(), std::vector<std::string>({"S D0 A 01 A Sr D1 A 59 A 14 N P"}));
}

TEST(PxaI2cModel, ReadWriteModeCanBeLeftSetUntilTheNextWriteAddress) {
    sim::BoardConfig c = oneChip();
    c.rwmClears = sim::RwmClears::AtNextWriteAddress;  // QEMU's reading of the bit
    ModelBoard b(c);
    enable(b, kIrqs);
    b.byte(ICR_START, 0xD1);
    EXPECT_EQ(b.byte(ICR_ACKNAK | ICR_STOP), ISR_IRF | ISR_ACKNAK | ISR_RWM) << "still set after the stop";
    EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xD0), ISR_ITE) << "a write address clears it";
}

TEST(PxaI2cModel, WrittenBytesReachTheChipAndStopEndsTheTransaction) {
    ModelBoard b(oneChip());
    enable(b, kIrqs);
    b.byte(ICR_START, 0xD0);
    b.byte(0, 0x02);
    b.byte(0, 0x21);
    EXPECT_EQ(b.byte(ICR_STOP, 0x07), ISR_ITE);
    const std::vector<uint8_t> regs = b.chipRegs(0x68);
    EXPECT_EQ(regs[2], 0x21);
    EXPECT_EQ(regs[3], 0x07);
    EXPECT_EQ(b.transactions(), std::vector<std::string>({"S D0 A 02 A 21 A 07 A P"}));
}

TEST(PxaI2cModel, NotAcknowledgedWhileSendingTheUnitReportsABusErrorAndStopsByItself) {
    ModelBoard b(oneChip());
    enable(b, kIrqs);
    EXPECT_EQ(b.byte(ICR_START, 0xA0), ISR_ITE | ISR_BED | ISR_ACKNAK) << "nobody at 0x50; master no longer";
    EXPECT_TRUE(b.sda());
    EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xD0), ISR_ITE) << "the next start is a fresh one";
    EXPECT_EQ(b.transactions(), std::vector<std::string>({"S A0 N P", "S D0 A P"}));
    // A byte without a start while the unit is not master would move only if another master
    // addressed the unit: nothing happens, and TB stays set.
    b.wr(IDBR, 0x00);
    b.wr(ICR, (b.rd(ICR) & ~(ICR_START | ICR_STOP)) | ICR_TB);
    b.settle();
    EXPECT_EQ(b.rd(ISR), 0u);
    EXPECT_NE(b.rd(ICR) & ICR_TB, 0u);
}

TEST(PxaI2cModel, MasterAbortSendsAStopWithoutAByteUnlessTheChipHoldsSda) {
    // After a read address the chip drives the first bit of its first byte at once: a stop can
    // only be made when that bit is 1.
    for (uint8_t first : {0x80, 0x00}) {
        ModelBoard b(oneChip());
        b.setChipRegs(0x68, {first});
        enable(b, kIrqs);
        b.byte(ICR_START, 0xD0);
        b.byte(0, 0x00);
        b.byte(ICR_START, 0xD1);
        b.wr(ICR, (b.rd(ICR) & ~ICR_START) | ICR_STOP | ICR_MA);
        b.settle();
        EXPECT_EQ(b.rd(ISR) & (ISR_ITE | ISR_IRF), 0u) << "no byte moved";
        EXPECT_EQ(b.sda(), first == 0x80);
        if (first == 0x80) {
            EXPECT_EQ(b.transactions(), std::vector<std::string>({"S D0 A 00 A Sr D1 A P"}));
        } else {
            EXPECT_EQ(b.rd(ISR) & (ISR_UB | ISR_IBB), ISR_IBB) << "the unit let go; the bus stays busy";
        }
    }
}

TEST(PxaI2cModel, MasterThatAcknowledgesItsLastByteFindsSdaHeldAndTheRecoveryFreesIt) {
    ModelBoard b(oneChip());
    b.setChipRegs(0x68, {0x12, 0x34});  // the byte after the wanted one starts with a 0 bit
    enable(b, kIrqs);
    b.byte(ICR_START, 0xD0);
    b.byte(0, 0x00);
    b.byte(ICR_START, 0xD1);
    // A driver fault: the last byte acknowledged, then a stop.
    // The stop did not happen: the unit let go, the bus looks busy, and RWM, which a stop would
    // have cleared, is still set.
    EXPECT_EQ(b.byte(ICR_STOP), ISR_IRF | ISR_IBB | ISR_RWM);
    EXPECT_EQ(b.rd(IDBR), 0x12u);
    EXPECT_TRUE(b.scl());
    EXPECT_FALSE(b.sda()) << "the chip drives the first bit of 0x34";
    EXPECT_EQ(b.rd(IBMR), IBMR_SCL);
    // The next transfer cannot start on a busy bus.
    b.wr(IDBR, 0xD0);
    b.wr(ICR, (b.rd(ICR) & ~ICR_STOP) | ICR_START | ICR_TB);
    b.settle();
    EXPECT_EQ(b.rd(ISR) & ISR_ITE, 0u);
    EXPECT_FALSE(sim::irqLineAsserted(18));
    // The recovery: clock pulses until the chip lets go at its acknowledge slot, then a stop.
    b.wr(ICR, ICR_UR);
    int pulses = 0;
    while (!b.sda() && pulses < 10) {
        b.pulse();
        ++pulses;
    }
    EXPECT_LE(pulses, 9);
    for (int i = pulses; i < 10; ++i) b.pulse();
    b.stopCondition();
    EXPECT_TRUE(b.sda());
    enable(b, kIrqs);
    EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xD0), ISR_ITE) << "the bus is free again";
}

TEST(PxaI2cModel, AUnitWithoutSclEnableMovesNoByte) {
    ModelBoard b(oneChip());
    enable(b, kIrqs);
    b.wr(ICR, b.rd(ICR) & ~ICR_SCLE);
    b.wr(IDBR, 0xD0);
    b.wr(ICR, b.rd(ICR) | ICR_START | ICR_STOP | ICR_TB);
    b.settle();
    EXPECT_EQ(b.rd(ISR), 0u);
    EXPECT_FALSE(sim::irqLineAsserted(18));
    EXPECT_TRUE(b.transactions().empty());
}

TEST(PxaI2cModel, SclHeldLowMakesTheBusLookBusy) {
    {
        ModelBoard b(withFaults({{"i2cSclLowMs", "forever"}}));
        enable(b, kIrqs);
        EXPECT_EQ(b.rd(ISR), ISR_IBB);
        EXPECT_EQ(b.rd(IBMR), IBMR_SDA);
        b.wr(IDBR, 0xD0);
        b.wr(ICR, b.rd(ICR) | ICR_START | ICR_STOP | ICR_TB);
        b.settle();
        EXPECT_EQ(b.rd(ISR), ISR_IBB) << "the start waits for a free bus";
        EXPECT_FALSE(sim::irqLineAsserted(18));
    }
    {
        ModelBoard b(withFaults({{"i2cSclLowMs", 2}}));
        enable(b, kIrqs);
        EXPECT_EQ(b.rd(ISR), ISR_IBB);
        const uint64_t t0 = sim::nowNs();
        EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xD0), ISR_ITE) << "once SCL is let go the byte goes";
        EXPECT_GE(sim::nowNs(), 2'000'000u);
        EXPECT_GT(sim::nowNs() - t0, 11 * T);
    }
}

TEST(PxaI2cModel, AChipThatStretchesTheClockMakesEveryByteLonger) {
    ModelBoard b(withFaults({{"i2cClockStretchNs", 50000}}));
    enable(b, kIrqs);
    b.wr(IDBR, 0xD0);
    const uint64_t t0 = sim::nowNs();
    b.wr(ICR, b.rd(ICR) | ICR_START | ICR_TB);
    b.settle();
    const uint64_t took = sim::nowNs() - t0;
    EXPECT_GE(took, 9 * T + 50000);
    EXPECT_LT(took, 11 * T + 50000);
    EXPECT_EQ(b.rd(ISR), ISR_ITE | ISR_UB);
}

TEST(PxaI2cModel, ResetForgetsStatusAndLetsTheWiresGo) {
    ModelBoard b(oneChip());
    enable(b, kIrqs);
    b.byte(ICR_START, 0xD0);
    EXPECT_EQ(b.rd(ISR) & ISR_UB, ISR_UB);
    b.wr(ICR, ICR_UR);
    b.settle();
    EXPECT_EQ(b.rd(ISR), 0u) << "reset: no state, no event";
    EXPECT_EQ(b.rd(ISAR), 0u);
    EXPECT_TRUE(b.scl());
    EXPECT_FALSE(sim::irqLineAsserted(18));
    // Held in reset, TB moves nothing.
    b.wr(IDBR, 0xD0);
    b.wr(ICR, ICR_UR | ICR_START | ICR_TB);
    b.settle();
    EXPECT_EQ(b.rd(ISR), 0u);
}

TEST(PxaI2cModel, PinsInTheirGpioFunctionKeepTheUnitOffTheWire) {
    ModelBoard b(oneChip());
    enable(b, kIrqs);
    routePins(false);
    EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xD0), ISR_ITE | ISR_BED | ISR_ACKNAK)
        << "the chip never heard it";
    EXPECT_TRUE(b.transactions().empty());
    routePins(true);
    EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xD0), ISR_ITE);
}

// Each unit has wires of its own: a chip on the power-manager unit's bus answers that unit only,
// and only once PCFR connects the unit to its pins.
TEST(PxaI2cModel, PowerManagerUnitNeedsItsConfigurationBitHasItsOwnInterruptLineAndItsOwnBus) {
    sim::BoardConfig config = oneChip();
    config.chips = {sim::ChipConfig{1, 0x68}, sim::ChipConfig{1, 0x51}};
    config.chips[0].bus = sim::I2cBusId::PowerManager;
    ModelBoard b(config);
    EXPECT_EQ(sim::physRead32(sim::kPowerManagerConfig), 0u);
    enable(b, kIrqs, sim::kI2cPowerManagerUnit);
    EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xD0, sim::kI2cPowerManagerUnit), ISR_ITE | ISR_BED | ISR_ACKNAK)
        << "its pins are not connected yet";
    sim::physWrite32(sim::kPowerManagerConfig, sim::physRead32(sim::kPowerManagerConfig) | 0x40);
    b.wr(IDBR, 0xD0, sim::kI2cPowerManagerUnit);
    b.wr(ICR, kEnable | kIrqs | ICR_START | ICR_STOP | ICR_TB, sim::kI2cPowerManagerUnit);
    b.settle();
    EXPECT_TRUE(sim::irqLineAsserted(6));
    EXPECT_FALSE(sim::irqLineAsserted(18)) << "the standard unit's line stays quiet";
    EXPECT_EQ(b.rd(ISR, sim::kI2cPowerManagerUnit), ISR_ITE);
    EXPECT_EQ(b.rd(ISR), 0u) << "the standard unit's bus saw nothing";
    b.wr(ISR, ISR_EVENTS, sim::kI2cPowerManagerUnit);
    EXPECT_FALSE(sim::irqLineAsserted(6));
    EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xA2, sim::kI2cPowerManagerUnit), ISR_ITE | ISR_BED | ISR_ACKNAK)
        << "the chip at 0x51 is on the other bus";
    enable(b, kIrqs);
    EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xD0), ISR_ITE | ISR_BED | ISR_ACKNAK) << "and 0x68 on this one";
    EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xA2), ISR_ITE);
    // The trace keeps the two buses' lines apart (the unit away from its pins moved none).
    EXPECT_EQ(b.transactions(),
              (std::vector<std::string>{"pwr: S D0 A P", "pwr: S A2 N P", "S D0 N P", "S A2 A P"}));
}

TEST(PxaI2cModel, GatedClockUnitDoesNotRespond) {
    ModelBoard b(oneChip());  // processor 17: CKEN at 0x41300004, bit 14
    ASSERT_TRUE(sim::deviceAt(kClockEnable));
    sim::physWrite32(kClockEnable, sim::physRead32(kClockEnable) & ~(1u << 14));
    b.wr(ICR, kEnable | kIrqs);
    EXPECT_EQ(b.rd(ICR), 0u);
    b.wr(IDBR, 0xD0);
    b.wr(ICR, kEnable | kIrqs | ICR_START | ICR_TB);
    b.settle();
    EXPECT_EQ(b.rd(ISR), 0u);
    EXPECT_FALSE(sim::irqLineAsserted(18));
    enable(b, kIrqs);
    EXPECT_EQ(b.byte(ICR_START | ICR_STOP, 0xD0), ISR_ITE);
}

TEST(PxaI2cModel, AddressingTheUnitsOwnAddressIsABoardFault) {
    ModelBoard b(oneChip());
    enable(b, kIrqs);
    b.wr(IDBR, 0x12 << 1);
    EXPECT_EXIT(b.wr(ICR, b.rd(ICR) | ICR_START | ICR_TB), ::testing::ExitedWithCode(3), "own slave address");
}

struct FaultCase {
    const char* fault;
    uint32_t status;  // after the faulted byte
    bool irq;         // the interrupt came
};

TEST(PxaI2cModel, InjectedFaultsShowAsTheUnitWouldReportThem) {
    // The faulted byte is the second one: a data byte the master sends, with a stop after it.
    const FaultCase cases[] = {
        {"nak", ISR_ITE | ISR_BED | ISR_ACKNAK, true},
        {"arbitrationLoss", ISR_ALD, true},
        {"stop", ISR_ITE | ISR_SSD, true},
        {"slaveAddress", ISR_ITE | ISR_SAD, true},
        {"generalCall", ISR_ITE | ISR_GCAD, true},
        {"stayBusy", ISR_ITE | ISR_UB | ISR_RWM, true},
        {"noInterrupt", ISR_ITE, false},
        {"interruptWithoutStatus", ISR_UB, true},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.fault);
        ModelBoard b(withFaults({{"i2c", {{{"byte", 2}, {"fault", c.fault}}}}}));
        enable(b, kIrqs);
        EXPECT_EQ(b.byte(ICR_START, 0xD0), ISR_ITE | ISR_UB);
        b.wr(IDBR, 0x03);
        b.wr(ICR, (b.rd(ICR) & ~ICR_START) | ICR_TB | ICR_STOP);
        b.settle();
        EXPECT_EQ(b.rd(ISR), c.status);
        EXPECT_EQ(sim::irqLineAsserted(18), c.irq);
        b.wr(ISR, ISR_EVENTS);
        EXPECT_FALSE(sim::irqLineAsserted(18));
        // Every strike is marked in the trace where it happened.
        bool marked = false;
        for (const sim::TraceRecord& r : b.trace())
            marked = marked || (r.kind == "F" && r.text == std::string(c.fault) + " on byte 2");
        EXPECT_TRUE(marked);
    }
}

TEST(PxaI2cModel, BusErrorWhileReceivingReportsBothBits) {
    ModelBoard b(withFaults({{"i2c", {{{"byte", 2}, {"fault", "busError"}}}}}));
    enable(b, kIrqs);
    b.byte(ICR_START, 0xD1);
    EXPECT_EQ(b.byte(ICR_ACKNAK | ICR_STOP), ISR_IRF | ISR_BED | ISR_ACKNAK);
}

TEST(PxaI2cModel, ArbitrationLostDuringTheAddressIsRetriedOnceTheBusIsFree) {
    ModelBoard b(withFaults({{"i2c", {{{"byte", 1}, {"fault", "arbitrationLoss"}}}}}));
    enable(b, ICR_ITEIE | ICR_IRFIE | ICR_BEIE);  // as for an address byte: no ALD interrupt
    b.wr(IDBR, 0xD0);
    b.wr(ICR, b.rd(ICR) | ICR_START | ICR_TB);
    b.settle();
    EXPECT_EQ(b.rd(ISR), ISR_ITE | ISR_ALD | ISR_UB) << "the address went out again and was acknowledged";
    EXPECT_TRUE(sim::irqLineAsserted(18)) << "by ITE";
    // On the wire: the other master's stop, then the unit's own fresh start.
    const std::vector<std::string> t = b.transactions();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back(), "S D0 A");
}

TEST(PxaI2cModel, StuckSlaveLetsGoAfterItsClockPulses) {
    for (int n = 1; n <= 9; ++n) {
        SCOPED_TRACE(n);
        ModelBoard b(withFaults({{"i2cStuckSda", n}}));
        enable(b, kIrqs);
        EXPECT_FALSE(b.sda());
        EXPECT_EQ(b.rd(ISR), ISR_IBB) << "a line held low: the bus is busy";
        for (int i = 0; i < n; ++i) {
            EXPECT_FALSE(b.sda()) << "after " << i;
            b.pulse();
        }
        EXPECT_FALSE(b.sda()) << "a slave lets go only while SCL is low, never with a stop";
        const uint64_t t = std::max(sim::nowNs(), sim::i2cbus::lastChangeNs()) + 5000;
        sim::i2cbus::pull(sim::BusLine::SCL, b.tester, true, t);
        EXPECT_TRUE(b.sda());
        sim::i2cbus::pull(sim::BusLine::SCL, b.tester, false, t + 5000);
        sim::sleepUntilNs(t + 5000);
        EXPECT_EQ(b.rd(ISR), 0u);
    }
}

TEST(PxaI2cModel, SlaveThatNeverLetsGoKeepsEveryStartWaiting) {
    ModelBoard b(withFaults({{"i2cStuckSda", "forever"}}));
    enable(b, kIrqs);
    for (int i = 0; i < 20; ++i) b.pulse();
    EXPECT_FALSE(b.sda());
    b.wr(IDBR, 0xD0);
    b.wr(ICR, b.rd(ICR) | ICR_START | ICR_TB);
    b.settle();
    EXPECT_EQ(b.rd(ISR), ISR_IBB);
    EXPECT_FALSE(sim::irqLineAsserted(18));
}

TEST(OsTimerModel, CounterRunsAtThreePointTwoFiveMegahertzAndWraps) {
    ModelBoard b(oneChip());
    const uint32_t c0 = sim::physRead32(sim::kOsTimerCounter);
    sim::advanceNs(1000000);  // 1 ms
    const uint32_t c1 = sim::physRead32(sim::kOsTimerCounter);
    EXPECT_NEAR(static_cast<double>(c1 - c0), 3250.0, 1.0);
    sim::physWrite32(sim::kOsTimerCounter, 0xFFFFFFF0u);
    sim::advanceNs(10000);  // 10 us = 32.5 ticks
    const uint32_t c2 = sim::physRead32(sim::kOsTimerCounter);
    EXPECT_GE(c2, 16u);
    EXPECT_LE(c2, 17u);
}

}  // namespace
