// The register-level driver on the simulated controller: the control words it writes, the status
// outcomes of each wait, busy and refused addresses, opening with and without bus recovery, the
// lock's interrupt, the bus speed across a run, and DelayUs across a counter wrap.
#include <pkfuncs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "driver_test_util.h"
#include "gpiolib/gpiolib.h"
#include "gpiolib/gpiolib_regs.h"
#include "sim/ceapi/kernel_objects.h"

namespace {

using i2c_test::boardFor;
using i2c_test::setUnitRegister;
using i2c_test::unitRegister;

class I2cDriver : public i2c_test::DriverTest {
  protected:
    std::vector<uint32_t> transferWords() const {
        std::vector<uint32_t> out;
        for (uint32_t w : writesTo(I2C_CONTROL))
            if (w & CTL_TRANSFER) out.push_back(w);
        return out;
    }
};

TEST_F(I2cDriver, RegisterWriteOfThreeBytesStartsFiveBytesFirstWithStartLastWithStop) {
    openAndLock(boardFor(17));
    const BYTE data[3] = {0x11, 0x22, 0x33};
    ASSERT_EQ(I2CWriteRegs(0x68, data, 0x0105, 3), 1);
    EXPECT_EQ(GetLastError(), 0u);
    const std::vector<uint32_t> words = transferWords();
    ASSERT_EQ(words.size(), 5u);
    for (size_t i = 0; i < words.size(); ++i) {
        EXPECT_EQ((words[i] & CTL_START) != 0, i == 0) << i;
        EXPECT_EQ((words[i] & CTL_STOP) != 0, i == 4) << i;
        EXPECT_EQ(words[i] & CTL_NAK, 0u) << i;
    }
    EXPECT_EQ(transactions(), std::vector<std::string>({"S D0 A 05 A 11 A 22 A 33 A P"}))
        << "reg 0x0105 sends 0x05";
    const std::vector<int> regs = chipRegs(0x68);
    EXPECT_EQ(regs[5], 0x11);
    EXPECT_EQ(regs[6], 0x22);
    EXPECT_EQ(regs[7], 0x33);
}

TEST_F(I2cDriver, OneByteReadSendsNakAndStopWithItsOnlyByte) {
    openAndLock(boardFor(17));
    BYTE b = 0;
    ASSERT_EQ(I2CReadRegs(0x68, &b, 0x07, 1), 1);
    const std::vector<uint32_t> words = transferWords();
    ASSERT_EQ(words.size(), 4u);  // address, register, read address, the byte
    EXPECT_EQ(words[2] & CTL_START, CTL_START) << "repeated start";
    EXPECT_EQ(words[3] & (CTL_NAK | CTL_STOP), CTL_NAK | CTL_STOP);
    EXPECT_EQ(transactions().size(), 1u);
    EXPECT_EQ(transactions()[0].substr(0, 15), "S D0 A 07 A Sr ");
}

// A stop bit left in the control register (by another user of the unit, or a path that did not
// clear it) must not ride on the next address byte: the transaction would end after its address.
TEST_F(I2cDriver, AddressByteClearsAStopBitLeftInTheControlRegister) {
    for (bool read : {false, true}) {
        SCOPED_TRACE(read ? "read" : "write");
        openAndLock(boardFor(17));
        setUnitRegister(I2C_CONTROL, unitRegister(I2C_CONTROL) | CTL_STOP);
        sim::clearRegisterAccessLog();
        BYTE b = 0x42;
        ASSERT_EQ(read ? I2CReadRegs(0x68, &b, 0x07, 1) : I2CWriteRegs(0x68, &b, 0x07, 1), 1);
        const std::vector<uint32_t> words = transferWords();
        ASSERT_FALSE(words.empty());
        EXPECT_EQ(words[0] & (CTL_START | CTL_STOP), CTL_START) << std::hex << words[0];
        const std::vector<std::string> t = transactions();
        ASSERT_EQ(t.size(), 1u);
        if (read) {
            EXPECT_EQ(t[0].substr(0, 15), "S D0 A 07 A Sr ") << t[0];
        } else {
            EXPECT_EQ(t[0], "S D0 A 07 A 42 A P");
        }
        EXPECT_NE(I2CUnlock(), 0);
    }
}

TEST_F(I2cDriver, CompletionInTheWrongDirectionIsAnAbortedOperation) {
    openAndLock(boardFor(17));
    // The read transaction is open (address byte acknowledged, no stop): a byte "sent" now is
    // moved as a received byte, and the other way round.
    ASSERT_EQ(I2CReceive(0x68, nullptr, 0, 0), 1);
    const BYTE out = 0x00;
    EXPECT_EQ(I2CSend(I2C_SLAVE_NONE, &out, 1, 0), 0);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
    ASSERT_EQ(I2CSend(0x68, &out, 1, 0), 1);  // write direction
    BYTE in = 0;
    EXPECT_EQ(I2CReceive(I2C_SLAVE_NONE, &in, 1, 1), 0);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
}

TEST_F(I2cDriver, RefusedAddressesSendNothing) {
    openAndLock(boardFor(17));
    for (DWORD slave : {0x00u, 0x12u, 0x80u, 0xFEu, 0x112u}) {
        SCOPED_TRACE(slave);
        BYTE b = 0;
        SetLastError(0);
        EXPECT_EQ(I2CWriteRegs(slave, &b, 0, 1), 0);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
        SetLastError(0);
        EXPECT_EQ(I2CReadRegs(slave, &b, 0, 1), 0);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    }
    EXPECT_TRUE(writesTo(I2C_DATA).empty());
    EXPECT_TRUE(transferWords().empty());
}

// A transfer that fails ends its transaction, so that the bus is free and the chip expects a new
// start, and hands the next transfer a clean controller: no event bit left, the interrupt
// acknowledged, no start, stop, NAK or abort left in the control word. A slave that transmits
// drives SDA until the master refuses a byte: the master reads one more, refuses it and stops.
// "xx" stands for any byte the chip sends.
struct EndCase {
    const char* name;
    unsigned byte;  // of the call, counted from 1
    const char* fault;
    bool read;  // register read of 2 bytes from 0x00, else register write of 2 bytes at 0x03
    std::vector<const char*> transactions;  // what the failed call leaves on the wire
    DWORD slave = 0x68;
};

TEST_F(I2cDriver, FailedTransferEndsItsTransactionAndLeavesTheControllerClean) {
    const EndCase cases[] = {
        {"read, no chip at the address", 0, nullptr, true, {"S A0 N P"}, 0x50},
        {"read, address not acknowledged", 1, "nak", true, {"S D0 N P"}},
        {"read, register byte not acknowledged", 2, "nak", true, {"S D0 A 00 N P"}},
        {"read, read address not acknowledged", 3, "nak", true, {"S D0 A 00 A Sr D1 N P"}},
        {"read, address interrupt lost", 1, "noInterrupt", true, {"S D0 A P"}},
        {"read, read address interrupt lost", 3, "noInterrupt", true, {"S D0 A 00 A Sr D1 A xx N P"}},
        {"read, first byte's interrupt lost", 4, "noInterrupt", true, {"S D0 A 00 A Sr D1 A xx A xx N P"}},
        {"read, last byte's interrupt lost", 5, "noInterrupt", true, {"S D0 A 00 A Sr D1 A xx A xx N P"}},
        {"read, stop detected with the read address", 3, "stop", true, {"S D0 A 00 A Sr D1 A xx N P"}},
        {"read, slave addressed with the first byte",
         4,
         "slaveAddress",
         true,
         {"S D0 A 00 A Sr D1 A xx A xx N P"}},
        // The byte is clocked in, acknowledged as any but the last, and reported with the bus error.
        {"read, bus error on the first byte", 4, "busError", true, {"S D0 A 00 A Sr D1 A xx A xx N P"}},
        // The last byte carries its own stop.
        {"read, bus error on the last byte", 5, "busError", true, {"S D0 A 00 A Sr D1 A xx A xx N P"}},
        {"read, interrupt without status for the register", 2, "interruptWithoutStatus", true, {"S D0 A P"}},
        {"read, interrupt without status for the read address",
         3,
         "interruptWithoutStatus",
         true,
         {"S D0 A 00 A P"}},
        {"read, interrupt without status for the first byte",
         4,
         "interruptWithoutStatus",
         true,
         {"S D0 A 00 A Sr D1 A xx N P"}},
        // The other master ends its transaction with a start and a stop; the unit sends its start
        // and address again, and the driver ends that transaction after the reported loss.
        {"read, arbitration lost on the address", 1, "arbitrationLoss", true, {"S Sr P", "S D0 A P"}},
        {"write, first data byte not acknowledged", 3, "nak", false, {"S D0 A 03 A 01 N P"}},
        {"write, general call with the register", 2, "generalCall", false, {"S D0 A 03 A P"}},
        {"write, last byte's interrupt lost", 4, "noInterrupt", false, {"S D0 A 03 A 01 A 02 A P"}},
        {"write, arbitration lost on a data byte", 3, "arbitrationLoss", false, {"S D0 A 03 A Sr P"}},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        const sim::json fault = {{"i2c", {{{"byte", c.byte}, {"fault", c.fault ? c.fault : ""}}}}};
        openAndLock(boardFor(17, 1, c.fault ? fault : sim::json::object()));
        BYTE buf[2] = {0x01, 0x02};
        ASSERT_EQ(c.read ? I2CReadRegs(c.slave, buf, 0x00, 2) : I2CWriteRegs(c.slave, buf, 0x03, 2), 0);
        std::vector<std::string> t = transactions();
        ASSERT_EQ(t.size(), c.transactions.size());
        for (size_t i = 0; i < t.size(); ++i) EXPECT_TRUE(i2c_test::transactionIs(t[i], c.transactions[i]));
        EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SCL) && sim::i2cbus::high(sim::BusLine::SDA))
            << "bus released";
        EXPECT_EQ(unitRegister(I2C_STATUS) & STS_EVENTS, 0u) << "event bits cleared";
        EXPECT_EQ(unitRegister(I2C_CONTROL) & (CTL_START | CTL_STOP | CTL_NAK | CTL_ABORT | CTL_TRANSFER),
                  0u);
        EXPECT_FALSE(sim::sysIntrInfo(g_i2c.sysIntr)->masked) << "interrupt acknowledged";

        // The next transfer starts afresh and succeeds.
        std::remove(board_->path("trace.log").c_str());
        BYTE b = 0;
        EXPECT_EQ(I2CReadRegs(0x68, &b, 0x00, 1), 1);
        t = transactions();
        ASSERT_EQ(t.size(), 1u);
        EXPECT_TRUE(i2c_test::transactionIs(t[0], "S D0 A 00 A Sr D1 A xx N P"));
        EXPECT_NE(I2CUnlock(), 0);
    }
}

TEST_F(I2cDriver, ByteThatNeverCompletesIsAbandonedByAUnitResetThatKeepsItsSettings) {
    // Every byte takes 15 ms longer: longer than the driver waits for one.
    openAndLock(boardFor(17, 1, {{"i2cChipTimeNs", 15000000}}));
    const uint32_t settings = unitRegister(I2C_CONTROL);
    BYTE b = 0;
    EXPECT_EQ(I2CReadRegs(0x68, &b, 0x00, 1), 0);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_TIMEOUT});
    EXPECT_EQ(unitRegister(I2C_CONTROL), settings) << "enabled, interrupts, speed";
    EXPECT_EQ(unitRegister(I2C_STATUS), 0u) << "nothing in flight, no event";
    EXPECT_EQ(unitRegister(I2C_OWN_ADDR), I2C_OWN_SLAVE_ADDR);
    EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SCL) && sim::i2cbus::high(sim::BusLine::SDA));
    EXPECT_FALSE(sim::sysIntrInfo(g_i2c.sysIntr)->masked);
    // Nothing of the abandoned byte turns up later.
    sim::sleepUntilNs(sim::nowNs() + 50000000u);
    EXPECT_EQ(unitRegister(I2C_STATUS), 0u);
    EXPECT_NE(I2CUnlock(), 0);
}

// Clock pulses and stop condition on the lines, from the trace's line records.
struct Recovery {
    int pulses = 0;
    uint64_t shortestHighNs = UINT64_MAX, shortestLowNs = UINT64_MAX;
    bool stopAtEnd = false;
};

Recovery recoveryOnTheLines(const std::vector<sim::TraceRecord>& trace) {
    Recovery r;
    bool scl = true, sda = true;
    uint64_t sclSince = 0;
    bool started = false;
    for (const sim::TraceRecord& t : trace) {
        if (t.kind != "L") continue;
        if (t.line == "SCL") {
            if (started) {
                const uint64_t d = t.ns - sclSince;
                if (scl) r.shortestHighNs = std::min(r.shortestHighNs, d);
                if (!scl && t.value && r.pulses < 10) r.shortestLowNs = std::min(r.shortestLowNs, d);
            }
            if (t.value && started) ++r.pulses;
            started = true;
            scl = t.value;
            sclSince = t.ns;
            r.stopAtEnd = false;
        } else {
            r.stopAtEnd = scl && !sda && t.value;  // SDA rises while SCL is high
            sda = t.value;
        }
    }
    return r;
}

// The stop condition that ends the bus recovery, phase by phase from the trace's line records:
// SCL low after its last pulse before SDA is pulled, SDA low before SCL is released, and SCL high
// before SDA is released (the stop). Each lasts at least the recovery's 5 us step.
struct StopPhases {
    bool found = false;
    uint64_t sclLowBeforeSdaNs = 0, sdaLowBeforeSclNs = 0, sclHighBeforeStopNs = 0;
};

StopPhases stopOfTheRecovery(const std::vector<sim::TraceRecord>& trace) {
    std::vector<const sim::TraceRecord*> edges;
    for (const sim::TraceRecord& t : trace)
        if (t.kind == "L") edges.push_back(&t);
    // The recovery's stop: SDA falls while SCL is low, SCL rises, SDA rises; before it, SCL fell.
    StopPhases p;
    for (size_t i = 1; i + 2 < edges.size(); ++i) {
        const sim::TraceRecord &sdaFall = *edges[i], &sclRise = *edges[i + 1], &sdaRise = *edges[i + 2];
        const sim::TraceRecord& sclFall = *edges[i - 1];
        if (sclFall.line == "SCL" && !sclFall.value && sdaFall.line == "SDA" && !sdaFall.value &&
            sclRise.line == "SCL" && sclRise.value && sdaRise.line == "SDA" && sdaRise.value) {
            p.found = true;
            p.sclLowBeforeSdaNs = sdaFall.ns - sclFall.ns;
            p.sdaLowBeforeSclNs = sclRise.ns - sdaFall.ns;
            p.sclHighBeforeStopNs = sdaRise.ns - sclRise.ns;
            return p;
        }
    }
    return p;
}

// The opening clears the bus when no other component has the bus lock open (whoever used the bus
// last may have left it mid-transfer) or when a line reads low: ten clock pulses, each at least
// 5 us released and 5 us low, then a stop. A slave left holding SDA is freed by them, and the bus
// is free afterwards.
TEST_F(I2cDriver, OpeningClearsTheBusWhenItMustWithTenPulsesAndAStop) {
    struct Case {
        const char* name;
        uint32_t processor;
        bool lockOpenElsewhere;
        int stuckSdaClocks;  // a slave holds SDA for this many clocks more; 0: none
        bool recovery;
    };
    const Case cases[] = {
        {"first user of the bus, processor 2", 2, false, 0, true},
        {"first user of the bus, processor 8", 8, false, 0, true},
        {"first user of the bus, processor 9", 9, false, 0, true},
        {"first user of the bus, processor 17", 17, false, 0, true},
        {"lock open elsewhere, both lines high", 17, true, 0, false},
        {"lock open elsewhere, SDA held for 5 clocks", 17, true, 5, true},
        {"first user, SDA held for 1 clock", 17, false, 1, true},
        {"first user, SDA held for 9 clocks", 17, false, 9, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const sim::json stuck = {{"i2cStuckSda", c.stuckSdaClocks}};
        boardWith(boardFor(c.processor, 1, c.stuckSdaClocks ? stuck : sim::json::object()));
        std::unique_ptr<i2c_test::MutexOpenElsewhere> other;
        if (c.lockOpenElsewhere) {
            other = std::make_unique<i2c_test::MutexOpenElsewhere>();
            ASSERT_TRUE(other->open());
        }
        ASSERT_NE(I2CInitStandard(), 0);
        const std::vector<sim::TraceRecord> lines = trace();
        const Recovery r = recoveryOnTheLines(lines);
        if (!c.recovery) {
            EXPECT_EQ(r.pulses, 0);
        } else {
            // Ten times low and released again (the last release is the one before the stop).
            EXPECT_EQ(r.pulses, 10);
            EXPECT_GE(r.shortestHighNs, 5000u);
            EXPECT_GE(r.shortestLowNs, 5000u);
            EXPECT_TRUE(r.stopAtEnd);
        }
        // The stop's phases, where no slave's edge falls among the master's.
        if (c.recovery && c.stuckSdaClocks == 0) {
            const StopPhases p = stopOfTheRecovery(lines);
            ASSERT_TRUE(p.found) << "SDA pulled while SCL is low, then SCL and SDA released in turn";
            EXPECT_GE(p.sclLowBeforeSdaNs, 5000u);
            EXPECT_GE(p.sdaLowBeforeSclNs, 5000u);
            EXPECT_GE(p.sclHighBeforeStopNs, 5000u);
        }
        EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SCL) && sim::i2cbus::high(sim::BusLine::SDA));
        ASSERT_NE(I2CLock(INFINITE), 0);
        BYTE b = 0;
        EXPECT_EQ(I2CReadRegs(0x68, &b, 0x00, 1), 1);
        EXPECT_NE(I2CUnlock(), 0);
    }
}

TEST_F(I2cDriver, EachLockRequestsTheSystemInterruptAndEachUnlockReleasesIt) {
    boardWith(boardFor(17));
    ASSERT_NE(I2CInitStandard(), 0);
    sim::clearHalRequests();
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(I2CLock(INFINITE), 0);
        EXPECT_NE(g_i2c.sysIntr, 0u);
        EXPECT_NE(I2CUnlock(), 0);
        EXPECT_EQ(g_i2c.sysIntr, 0u);
    }
    int requests = 0, releases = 0;
    for (const sim::HalRequest& r : sim::halRequests()) {
        requests += r.code == IOCTL_HAL_REQUEST_SYSINTR;
        releases += r.code == IOCTL_HAL_RELEASE_SYSINTR;
    }
    EXPECT_EQ(requests, 2);
    EXPECT_EQ(releases, 2);
}

// Whether another process could take the bus lock at once.
bool lockFreeForAnotherProcess() {
    const pid_t child = fork();
    if (child == 0) {
        sim::releaseProcessObjects();
        HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("I2C"));
        _exit(m && WaitForSingleObject(m, 0) == WAIT_OBJECT_0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(I2cDriver, UnitsAProcessorDoesNotHaveAreRefusedWithTheirMessageAndTheLockReleased) {
    struct Case {
        uint32_t processor;
        DWORD unit;
        DWORD error;
        const char* message;
    };
    const Case cases[] = {
        {8, I2C_UNIT_PWRMGR, ERROR_INVALID_PARAMETER, "ERROR: I2C Unknown I2C Unit\n\r"},
        {2, I2C_UNIT_PWRMGR, ERROR_INVALID_PARAMETER, "ERROR: I2C Unknown I2C Unit\n\r"},
        {3, I2C_UNIT_STANDARD, ERROR_INVALID_COMPUTERNAME, "ERROR: I2C Unknown Processor ID\n\r"},
    };
    for (const Case& c : cases) {
        boardWith(boardFor(c.processor));
        SetLastError(0);
        EXPECT_EQ(I2CInit(c.unit), 0) << c.processor;
        EXPECT_EQ(GetLastError(), c.error) << c.processor;
        const std::string log = board_->debugLog();
        const std::string message = c.message;
        EXPECT_TRUE(log.size() >= message.size() &&
                    log.compare(log.size() - message.size(), message.size(), message) == 0)
            << log;
        EXPECT_EQ(g_i2c.sysIntr, 0u) << "the interrupt went with the lock";
        EXPECT_TRUE(lockFreeForAnotherProcess()) << c.processor;
    }
    // The check itself sees a lock that is held.
    boardWith(boardFor(17));
    ASSERT_NE(I2CInitStandard(), 0);
    ASSERT_NE(I2CLock(INFINITE), 0);
    EXPECT_FALSE(lockFreeForAnotherProcess());
    EXPECT_NE(I2CUnlock(), 0);
}

TEST_F(I2cDriver, PowerManagerUnitTransfersCompleteOnItsOwnInterrupt) {
    // A chip at 0x68 on each unit's bus.
    sim::BoardConfig config = boardFor(17);
    config.chips.push_back(config.chips[0]);
    config.chips[1].bus = sim::I2cBusId::PowerManager;
    boardWith(config);
    ASSERT_NE(I2CInit(I2C_UNIT_PWRMGR), 0);
    EXPECT_EQ(GetLastError(), 0u);
    ASSERT_NE(I2CLock(INFINITE), 0);
    const std::optional<sim::SysIntrInfo> info = sim::sysIntrInfo(g_i2c.sysIntr);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->irq, I2C_IRQ_PWRMGR);  // the standard unit's IRQ never fires for this one
    BYTE regs[8] = {};
    SetLastError(12345);
    EXPECT_EQ(I2CReadRegs(0x68, regs, 0x00, 8), 1);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_GT(sim::sysIntrInfo(g_i2c.sysIntr)->signals, 0u);
    EXPECT_NE(I2CUnlock(), 0);

    // Back on the standard unit, its own line again.
    ASSERT_NE(I2CInitStandard(), 0);
    ASSERT_NE(I2CLock(INFINITE), 0);
    EXPECT_EQ(sim::sysIntrInfo(g_i2c.sysIntr)->irq, I2C_IRQ_STANDARD);
    EXPECT_EQ(I2CReadRegs(0x68, regs, 0x00, 8), 1);
    EXPECT_NE(I2CUnlock(), 0);
}

TEST_F(I2cDriver, BusSpeedOfTheTransfersIsTheOneTheControllerHadBeforeOpening) {
    for (bool fastBefore : {false, true}) {
        SCOPED_TRACE(fastBefore);
        boardWith(boardFor(17));
        // Another driver left the unit clocked and at its speed (on ID 17 the clock index is the
        // bit number).
        const uint32_t clocks = CLOCK_BLOCK_PHYS_ID17 + CLOCK_ENABLE_OFFSET_ID17;
        sim::physWrite32(clocks, sim::physRead32(clocks) | (1u << CLOCK_I2C_STANDARD));
        const uint32_t speed = fastBefore ? CTL_FAST_MODE : 0;
        setUnitRegister(I2C_CONTROL, speed);
        ASSERT_NE(I2CInitStandard(), 0);
        EXPECT_EQ(g_i2c.fastModeSetting, fastBefore ? I2C_SPEED_FAST : I2C_SPEED_STANDARD);
        // Enabled (SCL driven, unit on, general calls ignored), the speed put back.
        EXPECT_EQ(unitRegister(I2C_CONTROL), (CTL_SCL_ENABLE | CTL_UNIT_ENABLE | CTL_GCALL_DISABLE) | speed);
        ASSERT_NE(I2CLock(INFINITE), 0);
        EXPECT_EQ(unitRegister(I2C_CONTROL), (CTL_SCL_ENABLE | CTL_UNIT_ENABLE | CTL_GCALL_DISABLE) |
                                                 CTL_TX_EMPTY_IE | CTL_RX_FULL_IE | CTL_BUS_ERROR_IE |
                                                 CTL_ARB_LOSS_IE | speed);
        std::remove(board_->path("trace.log").c_str());
        BYTE b = 0;
        ASSERT_EQ(I2CReadRegs(0x68, &b, 0, 1), 1);
        int bytes = 0;
        for (const sim::TraceRecord& t : sim::decodeTrace(trace())) {
            if (t.kind != "B") continue;
            ++bytes;
            EXPECT_EQ(t.bitNs, fastBefore ? 2500u : 10000u);
        }
        EXPECT_EQ(bytes, 4);
        I2CUnlock();
    }
}

TEST_F(I2cDriver, DelayUsWaitsItsTicksAcrossACounterWrap) {
    boardWith(boardFor(17));
    for (uint32_t start : {0x00001000u, 0xFFFFFFF8u}) {
        sim::physWrite32(OS_TIMER_COUNTER_ADDR, start);
        DelayUs(5);
        const uint32_t ticks = sim::physRead32(OS_TIMER_COUNTER_ADDR) - start;
        // At least 3 ticks per microsecond, and 5 us of the 3.25 MHz counter.
        EXPECT_GE(ticks, 17u) << std::hex << start;
        EXPECT_LT(ticks, 17u + 20u) << std::hex << start;
    }
}

}  // namespace
