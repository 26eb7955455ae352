// The register-level driver on the simulated controller: the control words it writes, the status
// outcomes of each wait, busy and refused addresses, opening with and without bus recovery, the
// lock's interrupt, the bus speed across a run, and DelayUs across a counter wrap.
#include <pkfuncs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "driver_test_util.h"
#include "sim/ceapi/kernel_objects.h"

namespace {

using i2c_test::boardFor;

constexpr uint32_t CONTROL = 0x10, DATA = 0x08, STATUS = 0x18;
constexpr uint32_t START = 0x1, STOP = 0x2, NAK = 0x4, TRANSFER = 0x8, ABORT = 0x10, FAST = 0x8000;

class I2cDriver : public i2c_test::DriverTest {
  protected:
    std::vector<uint32_t> transferWords() const {
        std::vector<uint32_t> out;
        for (uint32_t w : writesTo(CONTROL))
            if (w & TRANSFER) out.push_back(w);
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
        EXPECT_EQ((words[i] & START) != 0, i == 0) << i;
        EXPECT_EQ((words[i] & STOP) != 0, i == 4) << i;
        EXPECT_EQ(words[i] & NAK, 0u) << i;
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
    EXPECT_EQ(words[2] & START, START) << "repeated start";
    EXPECT_EQ(words[3] & (NAK | STOP), NAK | STOP);
    EXPECT_EQ(transactions().size(), 1u);
    EXPECT_EQ(transactions()[0].substr(0, 15), "S D0 A 07 A Sr ");
}

// A stop bit left in the control register (by another user of the unit, or a path that did not
// clear it) must not ride on the next address byte: the transaction would end after its address.
TEST_F(I2cDriver, AddressByteClearsAStopBitLeftInTheControlRegister) {
    for (bool read : {false, true}) {
        SCOPED_TRACE(read ? "read" : "write");
        openAndLock(boardFor(17));
        sim::physWrite32(I2C_UNIT_STANDARD + CONTROL, sim::physRead32(I2C_UNIT_STANDARD + CONTROL) | STOP);
        sim::clearRegisterAccessLog();
        BYTE b = 0x42;
        ASSERT_EQ(read ? I2CReadRegs(0x68, &b, 0x07, 1) : I2CWriteRegs(0x68, &b, 0x07, 1), 1);
        const std::vector<uint32_t> words = transferWords();
        ASSERT_FALSE(words.empty());
        EXPECT_EQ(words[0] & (START | STOP), START) << std::hex << words[0];
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

TEST_F(I2cDriver, ZeroLengthReadRefusesTheByteTheChipAlreadyDrivesThenStops) {
    // A slave that acknowledged its read address drives the first bit of its first byte at once,
    // and a stop cannot be made over a 0 bit: whatever that bit, the master reads the byte,
    // refuses it and stops, and nothing is stored.
    for (uint8_t first : {0x00, 0x80}) {
        SCOPED_TRACE(static_cast<int>(first));
        openAndLock(boardFor(17));
        setChipRegs(0x68, {first});
        BYTE b = 0x5A;
        ASSERT_EQ(I2CReadRegs(0x68, &b, 0xFFFF, 0), 1) << "reg 0xFFFF: no register byte";
        EXPECT_EQ(b, 0x5A);
        const std::vector<uint32_t> words = transferWords();
        ASSERT_EQ(words.size(), 2u);
        EXPECT_EQ(words[1] & (START | NAK | STOP | ABORT), NAK | STOP);
        char expected[32];
        std::snprintf(expected, sizeof expected, "S D1 A %02X N P", first);
        EXPECT_EQ(transactions(), std::vector<std::string>({expected}));
        EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SDA)) << "the bus is free";
        I2CUnlock();
    }
}

struct OutcomeCase {
    const char* name;
    sim::json faults;
    bool read;  // the wait is I2CWaitRx (a received data byte)
    int result;
    DWORD lastError;
};
constexpr DWORD kBefore = 0xDEADu;

TEST_F(I2cDriver, EveryStatusOutcomeOfAWaitInBothDirections) {
    auto at = [](unsigned byte, const char* fault) {
        return sim::json{{"i2c", {{{"byte", byte}, {"fault", fault}}}}};
    };
    // Byte 2 of a register write is the register byte (sent); byte 4 of a register read is the
    // first received byte. The byte counts start after the opening, which moves no byte.
    const OutcomeCase cases[] = {
        {"tx own bit", sim::json::object(), false, 1, 0},
        {"tx stop detected", at(2, "stop"), false, 0, 1117},
        {"tx slave addressed", at(2, "slaveAddress"), false, 0, 1117},
        {"tx general call", at(2, "generalCall"), false, 0, 1117},
        {"tx arbitration lost", at(2, "arbitrationLoss"), false, 0, 1117},
        {"tx bus error", at(2, "nak"), false, 0, 487},
        // No status bit: the last error stays as the address byte's successful wait left it.
        {"tx nothing", at(2, "interruptWithoutStatus"), false, 0, 0},
        {"tx no interrupt", at(2, "noInterrupt"), false, 0, 1460},
        {"rx own bit", sim::json::object(), true, 1, 0},
        {"rx stop detected", at(4, "stop"), true, 0, 1117},
        {"rx slave addressed", at(4, "slaveAddress"), true, 0, 1117},
        {"rx arbitration lost", at(4, "arbitrationLoss"), true, 0, 1117},
        {"rx bus error", at(4, "busError"), true, 0, 1117},
        {"rx nothing", at(4, "interruptWithoutStatus"), true, 0, 0},
        {"rx no interrupt", at(4, "noInterrupt"), true, 0, 1460},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        openAndLock(boardFor(17, 1, c.faults));
        SetLastError(kBefore);
        BYTE buf[2] = {0x01, 0x02};
        const int r = c.read ? I2CReadRegs(0x68, buf, 0x00, 2) : I2CWriteRegs(0x68, buf, 0x03, 2);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(GetLastError(), c.lastError);
        ASSERT_NE(I2CUnlock(), 0) << "the lock is still held and released";
    }
}

TEST_F(I2cDriver, CompletionInTheWrongDirectionIsAnAbortedOperation) {
    openAndLock(boardFor(17));
    // The read transaction is open (address byte acknowledged, no stop): a byte "sent" now is
    // moved as a received byte, and the other way round.
    ASSERT_EQ(I2CReceive(0x68, nullptr, 0, 0), 1);
    const BYTE out = 0x00;
    EXPECT_EQ(I2CSend(I2C_SLAVE_NONE, &out, 1, 0), 0);
    EXPECT_EQ(GetLastError(), 995u);
    ASSERT_EQ(I2CSend(0x68, &out, 1, 0), 1);  // write direction
    BYTE in = 0;
    EXPECT_EQ(I2CReceive(I2C_SLAVE_NONE, &in, 1, 1), 0);
    EXPECT_EQ(GetLastError(), 995u);
}

TEST_F(I2cDriver, BusyControllerRefusesAfterOneMillisecondAndSendsNothing) {
    openAndLock(boardFor(17, 1, {{"i2c", {{{"byte", 0}, {"fault", "stayBusy"}}}}}));
    const BYTE data = 0;
    const uint64_t t0 = sim::nowNs();
    EXPECT_EQ(I2CWriteRegs(0x68, &data, 0, 1), 0);
    EXPECT_EQ(GetLastError(), 170u);
    EXPECT_GE(sim::nowNs() - t0, 1000000u);
    BYTE in = 0;
    EXPECT_EQ(I2CReadRegs(0x68, &in, 0, 1), 0);
    EXPECT_EQ(GetLastError(), 170u);
    EXPECT_TRUE(writesTo(DATA).empty());
    EXPECT_TRUE(transferWords().empty());
}

TEST_F(I2cDriver, RefusedAddressesSendNothing) {
    openAndLock(boardFor(17));
    for (DWORD slave : {0x00u, 0x12u, 0x80u, 0xFEu, 0x112u}) {
        SCOPED_TRACE(slave);
        BYTE b = 0;
        SetLastError(0);
        EXPECT_EQ(I2CWriteRegs(slave, &b, 0, 1), 0);
        EXPECT_EQ(GetLastError(), 87u);
        SetLastError(0);
        EXPECT_EQ(I2CReadRegs(slave, &b, 0, 1), 0);
        EXPECT_EQ(GetLastError(), 87u);
    }
    EXPECT_TRUE(writesTo(DATA).empty());
    EXPECT_TRUE(transferWords().empty());
}

TEST_F(I2cDriver, MissingChipFailsWithInvalidAddressAndTheTransactionEndsWithAStop) {
    openAndLock(boardFor(17));
    BYTE b = 0;
    EXPECT_EQ(I2CReadRegs(0x50, &b, 0, 1), 0);
    EXPECT_EQ(GetLastError(), 487u);
    EXPECT_EQ(transactions(), std::vector<std::string>({"S A0 N P"}));
    // The driver stays usable, and the next transfer starts on a free bus.
    EXPECT_EQ(I2CReadRegs(0x68, &b, 0, 1), 1);
    ASSERT_EQ(transactions().size(), 2u);
    EXPECT_EQ(transactions()[1].substr(0, 5), "S D0 ");
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
};

TEST_F(I2cDriver, FailedTransferEndsItsTransactionAndLeavesTheControllerClean) {
    const EndCase cases[] = {
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
        openAndLock(boardFor(17, 1, {{"i2c", {{{"byte", c.byte}, {"fault", c.fault}}}}}));
        BYTE buf[2] = {0x01, 0x02};
        ASSERT_EQ(c.read ? I2CReadRegs(0x68, buf, 0x00, 2) : I2CWriteRegs(0x68, buf, 0x03, 2), 0);
        std::vector<std::string> t = transactions();
        ASSERT_EQ(t.size(), c.transactions.size());
        for (size_t i = 0; i < t.size(); ++i) {
            std::string pattern = c.transactions[i];
            for (size_t at; (at = pattern.find("xx")) != std::string::npos;)
                pattern.replace(at, 2, "[0-9A-F]{2}");
            EXPECT_TRUE(std::regex_match(t[i], std::regex(pattern))) << t[i];
        }
        EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SCL) && sim::i2cbus::high(sim::BusLine::SDA))
            << "bus released";
        EXPECT_EQ(sim::physRead32(I2C_UNIT_STANDARD + STATUS) & STS_EVENTS, 0u) << "event bits cleared";
        EXPECT_EQ(sim::physRead32(I2C_UNIT_STANDARD + CONTROL) & (START | STOP | NAK | ABORT | TRANSFER), 0u);
        EXPECT_FALSE(sim::sysIntrInfo(g_i2c.sysIntr)->masked) << "interrupt acknowledged";

        // The next transfer starts afresh and succeeds.
        std::remove(board_->path("trace.log").c_str());
        BYTE b = 0;
        EXPECT_EQ(I2CReadRegs(0x68, &b, 0x00, 1), 1);
        t = transactions();
        ASSERT_EQ(t.size(), 1u);
        EXPECT_TRUE(std::regex_match(t[0], std::regex("S D0 A 00 A Sr D1 A [0-9A-F]{2} N P"))) << t[0];
        EXPECT_NE(I2CUnlock(), 0);
    }
}

TEST_F(I2cDriver, ByteThatNeverCompletesIsAbandonedByAUnitResetThatKeepsItsSettings) {
    // Every byte takes 15 ms longer: longer than the driver waits for one.
    openAndLock(boardFor(17, 1, {{"i2cChipTimeNs", 15000000}}));
    const uint32_t settings = sim::physRead32(I2C_UNIT_STANDARD + CONTROL);
    BYTE b = 0;
    EXPECT_EQ(I2CReadRegs(0x68, &b, 0x00, 1), 0);
    EXPECT_EQ(GetLastError(), 1460u);
    EXPECT_EQ(sim::physRead32(I2C_UNIT_STANDARD + CONTROL), settings) << "enabled, interrupts, speed";
    EXPECT_EQ(sim::physRead32(I2C_UNIT_STANDARD + STATUS), 0u) << "nothing in flight, no event";
    EXPECT_EQ(sim::physRead32(I2C_UNIT_STANDARD + 0x20), I2C_OWN_SLAVE_ADDR);
    EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SCL) && sim::i2cbus::high(sim::BusLine::SDA));
    EXPECT_FALSE(sim::sysIntrInfo(g_i2c.sysIntr)->masked);
    // Nothing of the abandoned byte turns up later.
    sim::sleepUntilNs(sim::nowNs() + 50000000u);
    EXPECT_EQ(sim::physRead32(I2C_UNIT_STANDARD + STATUS), 0u);
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

TEST_F(I2cDriver, FirstOpeningClearsTheBusWithTenPulsesAndAStop) {
    boardWith(boardFor(17));
    ASSERT_NE(I2CInitStandard(), 0);
    EXPECT_EQ(GetLastError(), 0u);
    const Recovery r = recoveryOnTheLines(trace());
    // Ten times low and released again (the last release is the one before the stop condition).
    EXPECT_EQ(r.pulses, 10);
    EXPECT_GE(r.shortestHighNs, 5000u);
    EXPECT_GE(r.shortestLowNs, 5000u);
    EXPECT_TRUE(r.stopAtEnd);
    EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SCL));
    EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SDA));
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

TEST_F(I2cDriver, RecoveryEndsWithAStopWhosePhasesEachLastFiveMicroseconds) {
    for (uint32_t processor : {2u, 8u, 9u, 17u}) {
        SCOPED_TRACE(processor);
        boardWith(boardFor(processor));
        ASSERT_NE(I2CInitStandard(), 0);
        const StopPhases p = stopOfTheRecovery(trace());
        ASSERT_TRUE(p.found) << "SDA pulled while SCL is low, then SCL and SDA released in turn";
        EXPECT_GE(p.sclLowBeforeSdaNs, 5000u);
        EXPECT_GE(p.sdaLowBeforeSclNs, 5000u);
        EXPECT_GE(p.sclHighBeforeStopNs, 5000u);
    }
}

TEST_F(I2cDriver, OpeningWhileAnotherProcessHasTheMutexSkipsTheRecovery) {
    boardWith(boardFor(17));
    i2c_test::MutexOpenElsewhere other;
    ASSERT_TRUE(other.open());
    ASSERT_NE(I2CInitStandard(), 0);
    EXPECT_EQ(recoveryOnTheLines(trace()).pulses, 0) << "both lines read high: no recovery";
}

TEST_F(I2cDriver, StuckBusIsRecoveredAtOpeningWhateverTheMutex) {
    for (int n : {1, 5, 9}) {
        SCOPED_TRACE(n);
        boardWith(boardFor(17, 1, {{"i2cStuckSda", n}}));
        ASSERT_NE(I2CInitStandard(), 0);
        EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SDA));
        ASSERT_NE(I2CLock(INFINITE), 0);
        BYTE b = 0;
        EXPECT_EQ(I2CReadRegs(0x68, &b, 0, 1), 1);
        I2CUnlock();
    }
}

TEST_F(I2cDriver, SlaveThatNeverLetsGoEndsEveryTransferWithoutAHang) {
    boardWith(boardFor(17, 1, {{"i2cStuckSda", "forever"}}));
    ASSERT_NE(I2CInitStandard(), 0);
    ASSERT_NE(I2CLock(INFINITE), 0);
    BYTE b = 0;
    EXPECT_EQ(I2CReadRegs(0x68, &b, 0, 1), 0);
    EXPECT_EQ(GetLastError(), 1460u) << "arbitration lost on the address byte, whose loss interrupt is off";
    EXPECT_NE(I2CUnlock(), 0);
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
        {8, I2C_UNIT_PWRMGR, 87, "ERROR: I2C Unknown I2C Unit\n\r"},
        {2, I2C_UNIT_PWRMGR, 87, "ERROR: I2C Unknown I2C Unit\n\r"},
        {3, I2C_UNIT_STANDARD, 1210, "ERROR: I2C Unknown Processor ID\n\r"},
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
    EXPECT_EQ(info->irq, 6u);  // IRQ 18 belongs to the standard unit and never fires for this one
    BYTE regs[8] = {};
    SetLastError(12345);
    EXPECT_EQ(I2CReadRegs(0x68, regs, 0x00, 8), 1);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_GT(sim::sysIntrInfo(g_i2c.sysIntr)->signals, 0u);
    EXPECT_NE(I2CUnlock(), 0);

    // Back on the standard unit, its own line again.
    ASSERT_NE(I2CInitStandard(), 0);
    ASSERT_NE(I2CLock(INFINITE), 0);
    EXPECT_EQ(sim::sysIntrInfo(g_i2c.sysIntr)->irq, 18u);
    EXPECT_EQ(I2CReadRegs(0x68, regs, 0x00, 8), 1);
    EXPECT_NE(I2CUnlock(), 0);
}

TEST_F(I2cDriver, BusSpeedOfTheTransfersIsTheOneTheControllerHadBeforeOpening) {
    for (bool fastBefore : {false, true}) {
        SCOPED_TRACE(fastBefore);
        boardWith(boardFor(17));
        sim::physWrite32(0x41300004, sim::physRead32(0x41300004) | (1u << 14));
        sim::physWrite32(I2C_UNIT_STANDARD + CONTROL, fastBefore ? FAST : 0);
        ASSERT_NE(I2CInitStandard(), 0);
        EXPECT_EQ(g_i2c.fastModeSetting, fastBefore ? 1 : 0);
        EXPECT_EQ(sim::physRead32(I2C_UNIT_STANDARD + CONTROL), 0xE0u | (fastBefore ? FAST : 0));
        ASSERT_NE(I2CLock(INFINITE), 0);
        EXPECT_EQ(sim::physRead32(I2C_UNIT_STANDARD + CONTROL), 0x17E0u | (fastBefore ? FAST : 0));
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
        sim::physWrite32(0x40A00010, start);
        DelayUs(5);
        const uint32_t ticks = sim::physRead32(0x40A00010) - start;
        // At least 3 ticks per microsecond, and 5 us of the 3.25 MHz counter.
        EXPECT_GE(ticks, 17u) << std::hex << start;
        EXPECT_LT(ticks, 17u + 20u) << std::hex << start;
    }
}

}  // namespace
