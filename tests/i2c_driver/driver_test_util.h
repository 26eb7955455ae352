// Boards for the register-level I2C driver running in this process: each test gets a new board
// and the driver, GPIOLib and the simulated kernel start as in a new process.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gpiolib/gpiolib_state.h"
#include "i2c/i2c.h"
#include "i2c/i2c_regs.h"
#include "sim/board/i2c_bus.h"
#include "sim/board/i2c_trace.h"
#include "sim/board/interrupt_controller.h"
#include "sim/board/mmio.h"
#include "sim/board/reglog.h"
#include "sim/board/simtime.h"
#include "sim/ceapi/kernel_hal.h"
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

inline void freshProcessState() {
    sim::resetKernelForTests();
    sim::resetPhysicalMapForTests();
    g_i2c = I2CDriverState{0, 0, 0, 0, 0, 0, 2, I2C_IRQ_STANDARD};
    g_GpioState = GpioModuleState{};
    g_ClockState = ClockModuleState{};
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
