// A virtual board carrying a chosen processor, with GPIOLib's module state cleared, and the
// register accesses that the processor's GPIO, pin-function, pin-mux and clock models answered.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gpiolib/gpiolib.h"
#include "gpiolib/gpiolib_state.h"
#include "platform/platform.h"
#include "sim/board/i2c_bus.h"
#include "sim/board/interrupt_controller.h"
#include "sim/board/mmio.h"
#include "sim/board/reglog.h"
#include "sim/ceapi/kernel_hal.h"
#include "testboard.h"

namespace gpiolib_test {

constexpr uint32_t kA9 = 0x0411FC09u;

inline sim::BoardConfig configFor(uint32_t processorId, const sim::json& faults = sim::json::object(),
                                  bool privileged = false) {
    sim::BoardConfig c = testing_board::frozenDefaults();
    c.mainId = sim::mainIdForProcessor(processorId);
    c.faults = sim::faultsFromJson(faults);
    c.privileged = privileged;
    return c;
}

// One board per test; GPIOLib starts uninitialised on it.
class GpioLibTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (board_) {
            for (const sim::RegisterAccess& a : sim::registerAccessLog())
                if (a.reserved) ADD_FAILURE() << "access to reserved address 0x" << std::hex << a.phys;
            board_.reset();
        }
    }

    void boardWith(const sim::BoardConfig& config) {
        board_.reset();
        sim::resetKernelForTests();
        sim::resetPhysicalMapForTests();
        board_ = std::make_unique<TestBoard>(config);
        g_GpioState = GpioModuleState{};
        g_ClockState = ClockModuleState{};
        // The bridge's table and probes as a process starts: each board's HAL is asked afresh.
        std::memset(BridgeEntryTable, 0, sizeof BridgeEntryTable);
        g_BridgeState = BridgeModuleState{};
        sim::clearRegisterAccessLog();
    }
    void boardWith(uint32_t processorId, const sim::json& faults = sim::json::object()) {
        boardWith(configFor(processorId, faults));
    }

    // Sets a register through the bus, outside the record.
    void preset(uint32_t phys, uint32_t value) {
        sim::physWrite32(phys, value);
        sim::clearRegisterAccessLog();
    }
    uint32_t peek(uint32_t phys) {
        const uint32_t v = sim::physRead32(phys);
        sim::clearRegisterAccessLog();
        return v;
    }

    static std::vector<sim::RegisterAccess> accesses() { return sim::registerAccessLog(); }
    static std::vector<sim::RegisterAccess> writes() {
        std::vector<sim::RegisterAccess> w;
        for (const auto& a : sim::registerAccessLog())
            if (a.write) w.push_back(a);
        return w;
    }
    static void clearLog() { sim::clearRegisterAccessLog(); }
    std::string debugLog() const { return board_->debugLog(); }

    std::unique_ptr<TestBoard> board_;
};

struct Write {
    uint32_t phys;
    uint32_t value;
    bool operator==(const Write&) const = default;
};
inline std::vector<Write> asWrites(const std::vector<sim::RegisterAccess>& log) {
    std::vector<Write> w;
    for (const auto& a : log)
        if (a.write) w.push_back({a.phys, a.value});
    return w;
}
inline void PrintTo(const Write& w, std::ostream* os) {
    *os << "{0x" << std::hex << w.phys << ", 0x" << w.value << "}";
}

}  // namespace gpiolib_test
