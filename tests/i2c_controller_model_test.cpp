// The simulated I2C controllers, OS timer and power manager at register level, driven through the
// physical address space as the hardware would be: bit timing, status and interrupt rules, the
// chips reached, faults, and the wire as the bus trace and the bus lines show it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "sim/board/buslines.h"
#include "sim/board/i2c_controller.h"
#include "sim/board/i2c_trace.h"
#include "sim/board/interrupt_controller.h"
#include "sim/board/mmio.h"
#include "sim/board/simtime.h"
#include "sim/ceapi/kernel_hal.h"
#include "testboard.h"

namespace {

// Register offsets and bits as the controller's manual gives them.
constexpr uint32_t DATA = 0x08, CONTROL = 0x10, STATUS = 0x18;
constexpr uint32_t START = 0x1, STOP = 0x2, NAK = 0x4, TRANSFER = 0x8, ABORT = 0x10, ENABLE = 0xE0,
                   TX_IE = 0x100, RX_IE = 0x200, BUS_ERR_IE = 0x400, ARB_IE = 0x1000, RESET = 0x4000,
                   FAST = 0x8000;
constexpr uint32_t BUSY = 0x1, STOP_DET = 0x10, ARB_LOST = 0x20, TX_EMPTY = 0x40, RX_FULL = 0x80,
                   GCALL = 0x100, SLAVE_ADDR = 0x200, BUS_ERROR = 0x400;
constexpr uint32_t IRQS = TX_IE | RX_IE | BUS_ERR_IE | ARB_IE;

struct ModelBoard {
    explicit ModelBoard(sim::BoardConfig config) : board(config) {
        sim::resetPhysicalMapForTests();
        sim::resetBusLinesForTests();
        sim::resetKernelForTests();
    }
    ~ModelBoard() {
        sim::resetPhysicalMapForTests();
        sim::resetBusLinesForTests();
        sim::resetKernelForTests();
    }
    TestBoard board;

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
    }
    // Sends one byte and lets it complete; returns the status.
    uint32_t byte(uint32_t ctlBits, int value = -1, uint32_t base = sim::kI2cStandardUnit) {
        if (value >= 0) wr(DATA, static_cast<uint32_t>(value), base);
        wr(CONTROL, (rd(CONTROL, base) & ~(START | STOP | NAK | ABORT)) | ctlBits | TRANSFER, base);
        settle();
        const uint32_t s = rd(STATUS, base);
        wr(STATUS, 0x7F0, base);
        return s;
    }
    std::vector<std::string> transactions() {
        std::ifstream in(board.path("trace.log"));
        std::stringstream s;
        s << in.rdbuf();
        return sim::traceTransactions(sim::parseTrace(s.str()));
    }
    std::vector<int> chipRegs(const char* addr) {
        std::vector<int> out;
        const sim::json state = sim::Board::current().readState();
        for (auto& v : state["chips"][addr]["regs"]) out.push_back(v.get<int>());
        return out;
    }
    void setChipRegs(const char* addr, const std::vector<int>& regs) {
        sim::Board::current().updateState([&](sim::json& s) {
            for (size_t i = 0; i < regs.size(); ++i) s["chips"][addr]["regs"][i] = regs[i];
        });
    }
};

sim::BoardConfig oneChip(int protocol = 1) {
    sim::BoardConfig c = testing_board::frozenDefaults();
    c.chips = {sim::ChipConfig{protocol, protocol == 3 ? uint8_t(0x51) : uint8_t(0x68)}};
    return c;
}

sim::BoardConfig withFaults(sim::json faults, int protocol = 1) {
    sim::BoardConfig c = oneChip(protocol);
    c.faults = faults;
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
    b.wr(CONTROL, RESET, base);
    b.wr(STATUS, 0x7F0, base);
    b.wr(0x20, 0x12, base);
    b.wr(CONTROL, ENABLE | extra, base);
}

TEST(I2cControllerModel, ByteCompletesAfterItsBitTimesAtEitherSpeed) {
    struct Case {
        uint32_t fast;
        uint64_t bitNs;
    } cases[] = {{0, 10000}, {FAST, 2500}};
    for (const Case& c : cases) {
        ModelBoard b(oneChip());
        enable(b, IRQS | c.fast);
        b.wr(DATA, 0xD0);
        const uint64_t t0 = sim::nowNs();
        b.wr(CONTROL, b.rd(CONTROL) | START | TRANSFER);
        EXPECT_EQ(b.rd(STATUS) & (TX_EMPTY | BUSY), BUSY) << "busy while the byte is on the wire";
        EXPECT_NE(b.rd(CONTROL) & TRANSFER, 0u);
        // Start condition plus nine bits (eight data bits and the acknowledge).
        sim::sleepUntilNs(t0 + 10 * c.bitNs - 1);
        sim::runDue();
        EXPECT_EQ(b.rd(STATUS) & TX_EMPTY, 0u);
        EXPECT_FALSE(sim::irqLineAsserted(18));
        sim::sleepUntilNs(t0 + 10 * c.bitNs);
        sim::runDue();
        EXPECT_EQ(b.rd(STATUS), TX_EMPTY) << "acknowledged, not busy any more";
        EXPECT_EQ(b.rd(CONTROL) & TRANSFER, 0u) << "the unit clears the transfer bit";
        EXPECT_TRUE(sim::irqLineAsserted(18));
    }
}

TEST(I2cControllerModel, InterruptFollowsEnablesAndStatusEventsClearOnlyByWritingOne) {
    ModelBoard b(oneChip());
    enable(b);
    EXPECT_EQ(b.byte(START, 0xD0) & TX_EMPTY, TX_EMPTY);
    // Completion without the enable: no interrupt.
    b.wr(DATA, 0x00);
    b.wr(CONTROL, (b.rd(CONTROL) & ~START) | TRANSFER);
    b.settle();
    EXPECT_EQ(b.rd(STATUS) & TX_EMPTY, TX_EMPTY);
    EXPECT_FALSE(sim::irqLineAsserted(18));
    b.wr(CONTROL, b.rd(CONTROL) | TX_IE);  // enabling it with the event pending raises the line
    EXPECT_TRUE(sim::irqLineAsserted(18));
    b.wr(STATUS, 0);  // writing 0 changes nothing
    EXPECT_EQ(b.rd(STATUS) & TX_EMPTY, TX_EMPTY);
    EXPECT_TRUE(sim::irqLineAsserted(18));
    b.wr(STATUS, RX_FULL);  // another bit: still pending
    EXPECT_TRUE(sim::irqLineAsserted(18));
    b.wr(STATUS, TX_EMPTY);
    EXPECT_EQ(b.rd(STATUS) & TX_EMPTY, 0u);
    EXPECT_FALSE(sim::irqLineAsserted(18)) << "level interrupt: gone with its cause";
}

TEST(I2cControllerModel, RegisterReadWithRepeatedStartMovesTheChipsBytesAndShowsOnTheWire) {
    ModelBoard b(oneChip());
    b.setChipRegs("0x68", {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11, 0x00});
    enable(b, IRQS);
    EXPECT_EQ(b.byte(START, 0xD0), TX_EMPTY);
    EXPECT_EQ(b.byte(0, 0x01), TX_EMPTY);
    EXPECT_EQ(b.byte(START, 0xD1), TX_EMPTY);
    EXPECT_EQ(b.byte(0), RX_FULL);
    EXPECT_EQ(b.rd(DATA), 0x59u);
    EXPECT_EQ(b.byte(NAK | STOP), RX_FULL);
    EXPECT_EQ(b.rd(DATA), 0x14u);
    EXPECT_TRUE(sim::lineHigh(sim::BusLine::SCL));
    EXPECT_TRUE(sim::lineHigh(sim::BusLine::SDA));
    EXPECT_EQ(b.transactions(), std::vector<std::string>({"S D0 A 01 A Sr D1 A 59 A 14 N P"}));
}

TEST(I2cControllerModel, WrittenBytesReachTheChipAndStopEndsTheTransaction) {
    ModelBoard b(oneChip());
    enable(b, IRQS);
    b.byte(START, 0xD0);
    b.byte(0, 0x02);
    b.byte(0, 0x21);
    EXPECT_EQ(b.byte(STOP, 0x07), TX_EMPTY);
    std::vector<int> regs = b.chipRegs("0x68");
    EXPECT_EQ(regs[2], 0x21);
    EXPECT_EQ(regs[3], 0x07);
    EXPECT_EQ(b.transactions(), std::vector<std::string>({"S D0 A 02 A 21 A 07 A P"}));
}

TEST(I2cControllerModel, MissingAcknowledgeSetsBusErrorWithTxEmpty) {
    ModelBoard b(oneChip());
    enable(b, IRQS);
    EXPECT_EQ(b.byte(START, 0xA0), TX_EMPTY | BUS_ERROR) << "nobody at 0x50";
    EXPECT_EQ(b.byte(START | STOP, 0xD0), TX_EMPTY) << "a repeated start reaches the chip";
    // A data byte with no transaction open: nobody is addressed.
    EXPECT_EQ(b.byte(0, 0x00), TX_EMPTY | BUS_ERROR);
}

TEST(I2cControllerModel, MasterAbortSendsAStopWithoutAByte) {
    ModelBoard b(oneChip());
    enable(b, IRQS);
    b.byte(START, 0xD1);
    b.wr(CONTROL, (b.rd(CONTROL) & ~START) | STOP | ABORT);
    b.settle();
    EXPECT_EQ(b.rd(STATUS), 0u) << "no byte moved";
    EXPECT_EQ(b.transactions(), std::vector<std::string>({"S D1 A P"}));
}

TEST(I2cControllerModel, ResetForgetsStatusAndLetsTheBusGo) {
    ModelBoard b(oneChip());
    enable(b, IRQS);
    b.wr(DATA, 0xD0);
    b.wr(CONTROL, b.rd(CONTROL) | START | TRANSFER);
    EXPECT_EQ(b.rd(STATUS) & BUSY, BUSY);
    b.wr(CONTROL, RESET);
    b.settle();
    EXPECT_EQ(b.rd(STATUS), 0u) << "the byte in flight is dropped";
    EXPECT_EQ(b.rd(0x20), 0u);
    EXPECT_FALSE(sim::irqLineAsserted(18));
    // Transfers need the unit enabled: in reset, the transfer bit moves nothing.
    b.wr(DATA, 0xD0);
    b.wr(CONTROL, RESET | START | TRANSFER);
    b.settle();
    EXPECT_EQ(b.rd(STATUS), 0u);
}

TEST(I2cControllerModel, PinsInTheirGpioFunctionKeepTheControllerOffTheWire) {
    ModelBoard b(oneChip());
    enable(b, IRQS);
    routePins(false);
    EXPECT_EQ(b.byte(START | STOP, 0xD0), TX_EMPTY | BUS_ERROR) << "the chip never heard its address";
    EXPECT_TRUE(b.transactions().size() == 1);
    routePins(true);
    EXPECT_EQ(b.byte(START | STOP, 0xD0), TX_EMPTY);
}

TEST(I2cControllerModel, PowerManagerUnitNeedsItsConfigurationBit) {
    ModelBoard b(oneChip());
    EXPECT_EQ(sim::physRead32(sim::kPowerManagerConfig), 0u);
    enable(b, IRQS, sim::kI2cPowerManagerUnit);
    EXPECT_EQ(b.byte(START | STOP, 0xD0, sim::kI2cPowerManagerUnit), TX_EMPTY | BUS_ERROR)
        << "its pins are not connected yet";
    sim::physWrite32(sim::kPowerManagerConfig, sim::physRead32(sim::kPowerManagerConfig) | 0x40);
    EXPECT_EQ(sim::physRead32(sim::kPowerManagerConfig), 0x40u);
    EXPECT_EQ(b.byte(START | STOP, 0xD0, sim::kI2cPowerManagerUnit), TX_EMPTY);
    EXPECT_EQ(b.rd(STATUS), 0u) << "the standard unit saw nothing";
}

TEST(I2cControllerModel, PowerManagerUnitSignalsOnItsOwnInterruptLine) {
    ModelBoard b(oneChip());
    sim::physWrite32(sim::kPowerManagerConfig, 0x40);
    enable(b, IRQS, sim::kI2cPowerManagerUnit);
    b.wr(DATA, 0xD0, sim::kI2cPowerManagerUnit);
    b.wr(CONTROL, ENABLE | IRQS | START | TRANSFER, sim::kI2cPowerManagerUnit);
    b.settle();
    EXPECT_TRUE(sim::irqLineAsserted(6));
    EXPECT_FALSE(sim::irqLineAsserted(18)) << "the standard unit's line stays quiet";
    b.wr(STATUS, 0x7F0, sim::kI2cPowerManagerUnit);
    EXPECT_FALSE(sim::irqLineAsserted(6));
}

TEST(I2cControllerModel, GatedClockUnitDoesNotRespond) {
    ModelBoard b(oneChip());  // processor 17: CKEN at 0x41300004, bit 14
    if (!sim::deviceAt(kClockEnable)) GTEST_SKIP() << "this board has no clock model";
    sim::physWrite32(kClockEnable, sim::physRead32(kClockEnable) & ~(1u << 14));
    b.wr(CONTROL, ENABLE | IRQS);
    EXPECT_EQ(b.rd(CONTROL), 0u);
    b.wr(DATA, 0xD0);
    b.wr(CONTROL, ENABLE | IRQS | START | TRANSFER);
    b.settle();
    EXPECT_EQ(b.rd(STATUS), 0u);
    EXPECT_FALSE(sim::irqLineAsserted(18));
    enable(b, IRQS);
    EXPECT_EQ(b.byte(START | STOP, 0xD0), TX_EMPTY);
}

struct FaultCase {
    const char* fault;
    uint32_t status;  // status after the faulted byte
    bool irq;         // the interrupt came
};

TEST(I2cControllerModel, InjectedFaultsShowAsTheControllerWouldReportThem) {
    // The faulted byte is the second one: a data byte the master sends.
    const FaultCase cases[] = {
        {"nak", TX_EMPTY | BUS_ERROR, true},     {"arbitrationLoss", ARB_LOST, true},
        {"stop", TX_EMPTY | STOP_DET, true},     {"slaveAddress", TX_EMPTY | SLAVE_ADDR, true},
        {"generalCall", TX_EMPTY | GCALL, true}, {"stayBusy", TX_EMPTY | BUSY, true},
        {"noInterrupt", TX_EMPTY, false},        {"interruptWithoutStatus", 0, true},
    };
    for (const FaultCase& c : cases) {
        ModelBoard b(withFaults({{"i2c", {{{"byte", 2}, {"fault", c.fault}}}}}));
        enable(b, IRQS);
        EXPECT_EQ(b.byte(START, 0xD0), TX_EMPTY) << c.fault;
        b.wr(DATA, 0x03);
        b.wr(CONTROL, (b.rd(CONTROL) & ~START) | TRANSFER | STOP);
        b.settle();
        EXPECT_EQ(b.rd(STATUS), c.status) << c.fault;
        EXPECT_EQ(sim::irqLineAsserted(18), c.irq) << c.fault;
        b.wr(STATUS, 0x7F0);
        EXPECT_FALSE(sim::irqLineAsserted(18)) << c.fault;
    }
}

TEST(I2cControllerModel, BusErrorWhileReceivingReportsBothBits) {
    ModelBoard b(withFaults({{"i2c", {{{"byte", 2}, {"fault", "busError"}}}}}));
    enable(b, IRQS);
    b.byte(START, 0xD1);
    EXPECT_EQ(b.byte(NAK | STOP), RX_FULL | BUS_ERROR);
}

TEST(I2cControllerModel, ArbitrationLossOnAnAddressByteRaisesNoInterruptWhileItsEnableIsOff) {
    ModelBoard b(withFaults({{"i2c", {{{"byte", 1}, {"fault", "arbitrationLoss"}}}}}));
    enable(b, TX_IE | RX_IE | BUS_ERR_IE);
    b.wr(DATA, 0xD0);
    b.wr(CONTROL, b.rd(CONTROL) | START | TRANSFER);
    b.settle();
    EXPECT_EQ(b.rd(STATUS), ARB_LOST);
    EXPECT_FALSE(sim::irqLineAsserted(18));
}

TEST(I2cControllerModel, StuckSlaveLetsGoAfterItsClockPulses) {
    for (int n = 1; n <= 9; ++n) {
        ModelBoard b(withFaults({{"i2cStuckSda", n}}));
        enable(b, IRQS);
        EXPECT_FALSE(sim::lineHigh(sim::BusLine::SDA)) << n;
        for (int i = 0; i < n; ++i) {
            EXPECT_FALSE(sim::lineHigh(sim::BusLine::SDA)) << n << " after " << i;
            sim::pullLine(sim::BusLine::SCL, sim::LineDriver::GpioPin, true);
            sim::pullLine(sim::BusLine::SCL, sim::LineDriver::GpioPin, false);
        }
        EXPECT_TRUE(sim::lineHigh(sim::BusLine::SDA)) << n;
    }
}

TEST(I2cControllerModel, SlaveThatNeverLetsGoDefeatsEveryStart) {
    ModelBoard b(withFaults({{"i2cStuckSda", "forever"}}));
    enable(b, IRQS);
    for (int i = 0; i < 20; ++i) {
        sim::pullLine(sim::BusLine::SCL, sim::LineDriver::GpioPin, true);
        sim::pullLine(sim::BusLine::SCL, sim::LineDriver::GpioPin, false);
    }
    EXPECT_FALSE(sim::lineHigh(sim::BusLine::SDA));
    EXPECT_EQ(b.byte(START, 0xD0), ARB_LOST);
}

TEST(I2cControllerModelDeathTest, UnknownFaultNameStopsTheBoard) {
    ModelBoard b(withFaults({{"i2c", {{{"byte", 1}, {"fault", "gremlins"}}}}}));
    EXPECT_EXIT(sim::physRead32(sim::kI2cStandardUnit + STATUS), testing::ExitedWithCode(3),
                "unknown fault \"gremlins\"");
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
