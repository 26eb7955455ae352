// The driver's edge paths: a bus lock that cannot be created, a controller busy at the first look,
// the last error after a successful opening, transfers of zero bytes, what a failed transfer leaves
// on the lines, and the pauses (or their absence) after a stop and between attempts.
#include <filesystem>
#include <fstream>

#include "driver_test_util.h"
#include "rtc/rtc.h"
#include "sim/ceapi/kernel_objects.h"

namespace {

unsigned gBusyReadsLeft = 0;  // status reads of the standard unit still to report busy
std::vector<DWORD> gSleeps;   // Sleep arguments, in order

}  // namespace

// The linker sends the product's register loads and Sleep calls here (--wrap on their symbols).
extern "C" {
DWORD __real_HwRead32(const volatile DWORD* reg);
DWORD __wrap_HwRead32(const volatile DWORD* reg) {
    const DWORD value = __real_HwRead32(reg);
    if (gBusyReadsLeft > 0 && g_i2c.regs != nullptr && reg == g_i2c.regs + I2C_STATUS / 4) {
        --gBusyReadsLeft;
        return value | STS_BUSY;
    }
    return value;
}

void __real_Sleep(DWORD ms);
void __wrap_Sleep(DWORD ms) {
    gSleeps.push_back(ms);
    __real_Sleep(ms);
}
}

namespace {

using i2c_test::boardFor;

class DriverEdges : public i2c_test::DriverTest {
  protected:
    void TearDown() override {
        gBusyReadsLeft = 0;
        DriverTest::TearDown();
    }
    void open(const sim::BoardConfig& config) {
        openAndLock(config);
        gSleeps.clear();
    }
};

TEST_F(DriverEdges, BusLockThatCannotBeCreatedFailsTheOpeningBeforeAnyRegisterIsTouched) {
    boardWith(boardFor(17));
    // The board keeps its named objects in objects/: a file in its place leaves no room.
    std::filesystem::remove_all(board_->path("objects"));
    std::ofstream(board_->path("objects")) << "not a folder\n";
    HANDLE probe = CreateMutexW(nullptr, FALSE, TEXT("I2C"));
    ASSERT_EQ(probe, nullptr);
    const DWORD leftByCreate = GetLastError();
    ASSERT_NE(leftByCreate, 0u);

    SetLastError(0);
    EXPECT_EQ(I2CInitStandard(), 0);
    EXPECT_EQ(GetLastError(), leftByCreate) << "as the creation left it";
    EXPECT_EQ(g_i2c.busMutex, nullptr);
    EXPECT_EQ(g_i2c.regs, nullptr) << "nothing mapped";
    EXPECT_TRUE(sim::registerAccessLog().empty()) << "no register touched";
    EXPECT_EQ(g_i2c.recoveryNeeded, 1) << "whoever used the bus last is unknown";
    EXPECT_EQ(I2CLock(0), 0);
}

// The busy check looks twice, 1 ms apart, and never more.
TEST_F(DriverEdges, ControllerBusyAtTheFirstLookWaitsOneMillisecondOnce) {
    struct Case {
        unsigned busyLooks;
        int result;
        DWORD error;
        std::vector<DWORD> sleeps;
    };
    const Case cases[] = {
        {0, 1, ERROR_SUCCESS, {}},
        {1, 1, ERROR_SUCCESS, {1}},
        {2, 0, ERROR_BUSY, {1}},
        {3, 0, ERROR_BUSY, {1}},
    };
    for (bool read : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(read ? "read" : "write") + ", busy looks " +
                         std::to_string(c.busyLooks));
            open(boardFor(17));
            gBusyReadsLeft = c.busyLooks;
            BYTE b = 0x42;
            SetLastError(12345);
            const int r = read ? I2CReadRegs(0x68, &b, 0x07, 1) : I2CWriteRegs(0x68, &b, 0x07, 1);
            EXPECT_EQ(r, c.result);
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(gSleeps, c.sleeps);
            const std::vector<std::string> t = transactions();
            if (c.result) {
                ASSERT_EQ(t.size(), 1u);
                EXPECT_TRUE(i2c_test::transactionIs(
                    t[0], read ? "S D0 A 07 A Sr D1 A xx N P" : "S D0 A 07 A 42 A P"));
            } else {
                EXPECT_TRUE(t.empty()) << "nothing sent";
            }
            EXPECT_NE(I2CUnlock(), 0);
        }
    }
}

// Whatever platform call ran last during the opening (a mutex that already existed leaves 183),
// a successful opening ends with last error 0.
TEST_F(DriverEdges, SuccessfulOpeningEndsWithLastErrorZero) {
    struct Case {
        const char* name;
        DWORD unit;
        sim::json faults;
        bool mutexOpenElsewhere;
    };
    const Case cases[] = {
        {"first user of the bus", I2C_UNIT_STANDARD, sim::json::object(), false},
        {"bus lock already open in another process", I2C_UNIT_STANDARD, sim::json::object(), true},
        {"stuck bus cleared", I2C_UNIT_STANDARD, {{"i2cStuckSda", 5}}, false},
        {"power-manager unit", I2C_UNIT_PWRMGR, sim::json::object(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boardWith(boardFor(17, 1, c.faults));
        std::unique_ptr<i2c_test::MutexOpenElsewhere> other;
        if (c.mutexOpenElsewhere) {
            other = std::make_unique<i2c_test::MutexOpenElsewhere>();
            ASSERT_TRUE(other->open());
        }
        SetLastError(12345);
        EXPECT_NE(I2CInit(c.unit), 0);
        EXPECT_EQ(GetLastError(), 0u);
    }
}

// No data: a write sets the chip's register pointer only. A read of nothing finds the chip already
// driving the first bit of its first byte, and no stop can be made over a 0 bit: whatever that bit,
// the master reads the byte, refuses it and stops, and nothing is stored. A write without a
// register byte has no byte to carry its stop: refused after its address, and that transaction is
// ended.
TEST_F(DriverEdges, TransfersOfZeroBytes) {
    struct Case {
        const char* name;
        bool read;
        int reg;
        BYTE held;  // what the chip holds where its register pointer stands
        int result;
        DWORD error;
        const char* transaction;
    };
    const Case cases[] = {
        {"write with a register byte", false, 0x06, 0x00, 1, ERROR_SUCCESS, "S D0 A 06 A P"},
        {"write without a register byte", false, I2C_REG_NONE, 0x00, 0, ERROR_INVALID_PARAMETER, "S D0 A P"},
        {"read with a register byte", true, 0x05, 0x80, 1, ERROR_SUCCESS, "S D0 A 05 A Sr D1 A 80 N P"},
        {"read without a register byte, first bit 0", true, I2C_REG_NONE, 0x00, 1, ERROR_SUCCESS,
         "S D1 A 00 N P"},
        {"read without a register byte, first bit 1", true, I2C_REG_NONE, 0x80, 1, ERROR_SUCCESS,
         "S D1 A 80 N P"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        open(boardFor(17));
        std::vector<uint8_t> held(c.reg == I2C_REG_NONE ? 1 : c.reg + 1, 0);
        held.back() = c.held;
        setChipRegs(0x68, held);
        const std::vector<int> before = chipRegs(0x68);
        sim::clearRegisterAccessLog();
        BYTE b = 0x5A;
        SetLastError(12345);
        EXPECT_EQ(c.read ? I2CReadRegs(0x68, &b, c.reg, 0) : I2CWriteRegs(0x68, &b, c.reg, 0), c.result);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(b, 0x5A) << "nothing stored";
        const std::vector<std::string> t = transactions();
        ASSERT_EQ(t.size(), 1u);
        EXPECT_TRUE(i2c_test::transactionIs(t[0], c.transaction));
        if (c.read) {
            // The byte is refused and carries the stop: no master abort.
            uint32_t last = 0;
            for (uint32_t w : writesTo(I2C_CONTROL))
                if (w & CTL_TRANSFER) last = w;
            EXPECT_EQ(last & (CTL_START | CTL_NAK | CTL_STOP | CTL_ABORT), CTL_NAK | CTL_STOP);
        }
        EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SCL) && sim::i2cbus::high(sim::BusLine::SDA));
        EXPECT_EQ(i2c_test::unitRegister(I2C_CONTROL) & (CTL_STOP | CTL_NAK | CTL_ABORT), 0u);
        EXPECT_EQ(chipRegs(0x68), before);
        EXPECT_NE(I2CUnlock(), 0);
    }

    // The register pointer set by a write of nothing is where the next read without a register
    // byte starts.
    open(boardFor(17));
    const std::vector<int> regs = chipRegs(0x68);
    BYTE b = 0;
    ASSERT_EQ(I2CWriteRegs(0x68, &b, 0x04, 0), 1);
    ASSERT_EQ(I2CReadRegs(0x68, &b, I2C_REG_NONE, 1), 1);
    EXPECT_EQ(b, regs[4]);
}

// Without a stop, a phase of nothing leaves its transaction open for the next one, which follows
// with a repeated start.
TEST_F(DriverEdges, PhasesOfZeroBytesWithoutAStopKeepTheBusForTheNext) {
    for (bool receive : {false, true}) {
        SCOPED_TRACE(receive ? "receive" : "send");
        open(boardFor(17));
        BYTE b = 0;
        SetLastError(12345);
        EXPECT_EQ(receive ? I2CReceive(0x68, &b, 0, 0) : I2CSend(0x68, &b, 0, 0), 1);
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(transactions(), std::vector<std::string>({receive ? "S D1 A" : "S D0 A"}));
        EXPECT_EQ(sim::physRead32(I2C_UNIT_STANDARD + I2C_CONTROL) & (CTL_STOP | CTL_NAK), 0u);
        // A write phase of nothing is continued by the next transfer's repeated start.
        if (!receive) {
            ASSERT_EQ(I2CReadRegs(0x68, &b, 0x00, 1), 1);
            ASSERT_EQ(transactions().size(), 1u);
            EXPECT_TRUE(i2c_test::transactionIs(transactions()[0], "S D0 A Sr D0 A 00 A Sr D1 A xx N P"));
        }
        EXPECT_NE(I2CUnlock(), 0);
    }
}

// What a failed transfer leaves on the lines once it has ended its transaction: what tells a
// missing chip from a broken bus. A unit without its clock says nothing about the lines.
TEST_F(DriverEdges, FailedTransferReportsTheLinesLeftHeldLow) {
    struct Case {
        const char* name;
        bool chip;
        sim::json faults;
        DWORD error;
        DWORD held;
    };
    const Case cases[] = {
        {"no chip", false, sim::json::object(), ERROR_INVALID_ADDRESS, 0},
        {"SCL held low", true, {{"i2cSclLowMs", "forever"}}, ERROR_TIMEOUT, I2C_LINE_SCL},
        // Arbitration is lost on the address byte, whose loss interrupt is off: no interrupt comes.
        {"a slave holds SDA", true, {{"i2cStuckSda", "forever"}}, ERROR_TIMEOUT, I2C_LINE_SDA},
        {"both pads held", true, {{"gpioInputsLow", {117, 118}}}, ERROR_TIMEOUT, I2C_LINE_SCL | I2C_LINE_SDA},
        {"controller stays busy", true, {{"i2c", {{{"byte", 0}, {"fault", "stayBusy"}}}}}, ERROR_BUSY, 0},
        // On ID 17 a clock's index is its bit in the clock-enable register.
        {"controller without its clock", true, {{"clockStuckBits", {CLOCK_I2C_STANDARD}}}, ERROR_TIMEOUT, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::BoardConfig config = boardFor(17, 1, c.faults);
        if (!c.chip) config.chips.clear();
        open(config);
        BYTE b = 0;
        EXPECT_EQ(I2CReadRegs(0x68, &b, 0x00, 1), 0);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(I2CHeldLines(), c.held);
        EXPECT_NE(I2CUnlock(), 0);
    }
    // A transfer that succeeds reports no line.
    open(boardFor(17));
    BYTE b = 0;
    ASSERT_EQ(I2CReadRegs(0x50, &b, 0x00, 1), 0);
    ASSERT_EQ(I2CReadRegs(0x68, &b, 0x00, 1), 1);
    EXPECT_EQ(I2CHeldLines(), 0u);
}

// The program tries the opening again while another driver holds the bus: each try maps the unit
// afresh, and the mapping of the try before goes.
TEST_F(DriverEdges, OpeningTriedAgainKeepsOneMappingOfTheUnit) {
    boardWith(boardFor(17));
    ASSERT_NE(I2CInitStandard(), 0);
    const size_t windows = sim::reservedWindowCount();
    for (int i = 0; i < 5; ++i) ASSERT_NE(I2CInitStandard(), 0);
    EXPECT_EQ(sim::reservedWindowCount(), windows);
    ASSERT_NE(I2CLock(INFINITE), 0);
    BYTE b = 0;
    EXPECT_EQ(I2CReadRegs(0x68, &b, 0x00, 1), 1);
    EXPECT_NE(I2CUnlock(), 0);
}

// After every stop it makes, the driver leaves the bus free for 10 us before it does anything
// else: the next start, its own or another master's, comes no sooner. The first transfer here ends
// its transaction with a stop on each of the driver's paths; a read of register 0x00 follows it.
TEST_F(DriverEdges, EveryStopIsFollowedByTenMicrosecondsOfFreeBus) {
    struct Case {
        const char* name;
        unsigned lostInterrupt;  // the byte whose interrupt never comes, counted from 1; 0: none
        int (*transfer)(BYTE* buffer);
        int result;
        const char* transaction;  // the first transfer's, ended by the stop that is measured
    };
    const Case cases[] = {
        {"register write", 0, [](BYTE* b) { return I2CWriteRegs(0x68, b, 0x07, 1); }, 1,
         "S D0 A 07 A 42 A P"},
        {"register read", 0, [](BYTE* b) { return I2CReadRegs(0x68, b, 0x07, 1); }, 1,
         "S D0 A 07 A Sr D1 A xx N P"},
        {"read of nothing: the chip's first byte refused", 0,
         [](BYTE* b) { return I2CReadRegs(0x68, b, I2C_REG_NONE, 0); }, 1, "S D1 A xx N P"},
        {"no chip: a master abort", 0, [](BYTE* b) { return I2CReadRegs(0x50, b, 0x00, 1); }, 0, "S A0 N P"},
        {"a received byte lost: one more read, refused", 4,
         [](BYTE* b) { return I2CReadRegs(0x68, b, 0x00, 2); }, 0, "S D0 A 00 A Sr D1 A xx A xx N P"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::json faults = sim::json::object();
        if (c.lostInterrupt) faults["i2c"] = {{{"byte", c.lostInterrupt}, {"fault", "noInterrupt"}}};
        // Interrupts that reach the driver at once: the pause is the driver's, not the kernel's.
        sim::BoardConfig config = boardFor(17, 1, faults);
        config.timing.interruptLatencyNs = 0;
        config.timing.threadWakeNs = 0;
        open(config);
        BYTE buffer[2] = {0x42, 0x43};
        EXPECT_EQ(c.transfer(buffer), c.result);
        BYTE b = 0;
        ASSERT_EQ(I2CReadRegs(0x68, &b, 0x00, 1), 1);
        const std::vector<std::string> t = transactions();
        ASSERT_EQ(t.size(), 2u);
        EXPECT_TRUE(i2c_test::transactionIs(t[0], c.transaction));
        std::vector<uint64_t> stops, starts;
        for (const sim::TraceRecord& r : sim::decodeTrace(trace())) {
            if (r.kind == "P") stops.push_back(r.ns);
            if (r.kind == "S") starts.push_back(r.ns);
        }
        ASSERT_EQ(stops.size(), 2u);
        ASSERT_EQ(starts.size(), 2u);
        EXPECT_GE(starts[1] - stops[0], 10000u) << "ns of free bus between the stop and the next start";
        EXPECT_NE(I2CUnlock(), 0);
    }
}

// The chip routines try a failed read again at once: no pause, no other bus traffic in between.
TEST_F(DriverEdges, FailedFirstReadIsTriedAgainAtOnce) {
    struct Case {
        unsigned byte;
        const char* fault;  // a byte the chip sends can only fail on the master's side
    };
    for (const Case& c : {Case{1, "nak"}, Case{3, "nak"}, Case{6, "noInterrupt"}}) {
        SCOPED_TRACE(c.byte);
        open(boardFor(17, 1, {{"i2c", {{{"byte", c.byte}, {"fault", c.fault}}}}}));
        SYSTEMTIME t = {};
        EXPECT_EQ(ReadRtcProtocol1(&t, 0x68), 1);
        EXPECT_TRUE(gSleeps.empty()) << "no pause";
        const std::vector<std::string> tr = transactions();
        ASSERT_EQ(tr.size(), 2u);
        EXPECT_TRUE(i2c_test::transactionIs(tr[1], "S D0 A 00 A Sr D1 A( xx A){7} xx N P"));
        EXPECT_NE(I2CUnlock(), 0);
    }
}

}  // namespace
