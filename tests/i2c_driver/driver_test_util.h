// Boards for the register-level I2C driver running in this process: each test gets a new board
// and the driver, GPIOLib and the simulated kernel start as in a new process.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "gpiolib/gpiolib.h"
#include "gpiolib/gpiolib_state.h"
#include "i2c/i2c.h"
#include "i2c/i2c_driver.h"
#include "sim/board/i2c_bus.h"
#include "sim/board/i2c_trace.h"
#include "sim/vboard/trace_views.h"
#include "sim/board/interrupt_controller.h"
#include "sim/board/mmio.h"
#include "sim/board/reglog.h"
#include "sim/board/simtime.h"
#include "sim/ceapi/kernel_hal.h"
#include "sim/ceapi/kernel_objects.h"
#include "tests/testboard.h"

namespace i2c_test {

inline sim::BoardConfig boardFor(uint32_t processorId, int protocol = 1,
                                 const sim::json& faults = sim::json::object(), bool privileged = false) {
    sim::BoardConfig c = testing_board::frozenDefaults();
    c.mainId = sim::mainIdForProcessor(processorId);
    c.privileged = privileged;
    c.faults = sim::faultsFromJson(faults);
    c.chips = {sim::ChipConfig{protocol, protocol == 3 ? uint8_t(0x51) : uint8_t(0x68)}};
    return c;
}

// The driver's state as a process starts: g_i2c's own initialiser (constant, so in place before
// this copy is taken), kept before any test changes it.
inline const I2CDriverState kI2CStateAtStart = g_i2c;

inline void freshProcessState() {
    sim::resetKernelForTests();
    sim::resetPhysicalMapForTests();
    g_i2c = kI2CStateAtStart;
    g_GpioState = GpioModuleState{};
    g_ClockState = ClockModuleState{};
}

// Another process that holds the bus mutex "I2C" open (without taking it) while this lives.
class MutexOpenElsewhere {
  public:
    MutexOpenElsewhere() {
        if (pipe(ready_) != 0 || pipe(done_) != 0) return;
        child_ = fork();
        if (child_ == 0) {
            sim::releaseProcessObjects();
            HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("I2C"));
            char c = m ? 'y' : 'n';
            (void)!write(ready_[1], &c, 1);
            (void)!read(done_[0], &c, 1);
            _exit(0);
        }
        char c = 0;
        open_ = child_ > 0 && read(ready_[0], &c, 1) == 1 && c == 'y';
    }
    ~MutexOpenElsewhere() {
        if (child_ > 0) {
            char c = 0;
            (void)!write(done_[1], &c, 1);
            waitpid(child_, nullptr, 0);
        }
        for (int fd : {ready_[0], ready_[1], done_[0], done_[1]})
            if (fd >= 0) close(fd);
    }
    MutexOpenElsewhere(const MutexOpenElsewhere&) = delete;
    MutexOpenElsewhere& operator=(const MutexOpenElsewhere&) = delete;
    bool open() const { return open_; }

  private:
    int ready_[2] = {-1, -1}, done_[2] = {-1, -1};
    pid_t child_ = -1;
    bool open_ = false;
};

// Whether a transaction as the trace shows it ("S D0 A 07 A Sr D1 A 5A N P") is `pattern`, in which
// "xx" stands for any byte the chip sends.
inline ::testing::AssertionResult transactionIs(const std::string& transaction, std::string pattern) {
    for (size_t at; (at = pattern.find("xx")) != std::string::npos;) pattern.replace(at, 2, "[0-9A-F]{2}");
    if (std::regex_match(transaction, std::regex(pattern))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << transaction;
}

// A register of the standard unit, read or set outside the driver.
inline uint32_t unitRegister(uint32_t offset) {
    return sim::physRead32(I2C_UNIT_STANDARD + offset);
}
inline void setUnitRegister(uint32_t offset, uint32_t value) {
    sim::physWrite32(I2C_UNIT_STANDARD + offset, value);
}

class DriverTest : public ::testing::Test {
  protected:
    void TearDown() override {
        board_.reset();
        freshProcessState();
    }

    void boardWith(const sim::BoardConfig& config) {
        board_.reset();
        freshProcessState();
        board_ = std::make_unique<TestBoard>(config);
        sim::clearRegisterAccessLog();
    }

    // Opened and locked as the main routine does it; the register log and the trace start
    // afterwards.
    void openAndLock(const sim::BoardConfig& config) {
        boardWith(config);
        ASSERT_NE(I2CInitStandard(), 0);
        ASSERT_NE(I2CLock(INFINITE), 0);
        sim::clearRegisterAccessLog();
        sim::traceFlush();
        std::remove(board_->path("trace.log").c_str());
    }

    std::vector<sim::TraceRecord> trace() const {
        sim::traceFlush();
        std::ifstream in(board_->path("trace.log"));
        std::stringstream s;
        s << in.rdbuf();
        return sim::parseTrace(s.str());
    }
    std::vector<std::string> transactions() const { return sim::traceTransactions(trace()); }

    // Values written to one register of the standard unit, in order, since the last clear.
    std::vector<uint32_t> writesTo(uint32_t offset, uint32_t base = I2C_UNIT_STANDARD) const {
        std::vector<uint32_t> out;
        for (const sim::RegisterAccess& a : sim::registerAccessLog())
            if (a.write && a.phys == base + offset) out.push_back(a.value);
        return out;
    }

    void setChipRegs(uint8_t address, const std::vector<uint8_t>& regs) const {
        sim::Board::current().updateState([&](sim::BoardState& s) {
            for (size_t i = 0; i < regs.size(); ++i) s.chips.at(address).regs[i] = regs[i];
        });
    }
    std::vector<int> chipRegs(uint8_t address) const {
        const std::vector<uint8_t> regs = sim::Board::current().readState().chips.at(address).regs;
        return std::vector<int>(regs.begin(), regs.end());
    }

    std::unique_ptr<TestBoard> board_;
};

}  // namespace i2c_test
