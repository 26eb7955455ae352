// Shared set-up of the platform access layer tests: a fresh board in user or privileged mode,
// the simulated kernel and the product's bridge state back at power-on, and a RAM block that
// stands in for a register block at a physical address no board model uses.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "sim/board/interrupt_controller.h"
#include "sim/board/mmio.h"
#include "sim/ceapi/kernel_hal.h"
#include "testboard.h"

namespace platform_test {

constexpr uint32_t kRamBase = 0x5E000000u;  // two pages of test registers
constexpr uint32_t kRamSize = 0x2000u;
constexpr uint32_t kNoDevice = 0x5D000000u;  // nothing answers here

class RamBlock : public sim::MmioDevice {
  public:
    explicit RamBlock(uint32_t size) : words(size / 4, 0) {}
    const char* name() const override { return "test RAM block"; }
    uint32_t read32(uint32_t offset) override { return words.at(offset / 4); }
    void write32(uint32_t offset, uint32_t value) override { words.at(offset / 4) = value; }
    std::vector<uint32_t> words;
};

inline void resetPlatformState() {
    sim::resetKernelForTests();
    sim::resetPhysicalMapForTests();
    std::memset(BridgeEntryTable, 0, sizeof BridgeEntryTable);
    g_BridgeState = BridgeModuleState{};
}

class PlatformTest : public ::testing::Test {
  protected:
    void TearDown() override {
        resetPlatformState();
        board.reset();
    }

    // A new board; the module state of a process that has just started. Its HAL's bridge runs any
    // routine and binds any page ("bridgeHandler": "plain") unless `restricted`: these tests are of
    // the program's layer, and the test RAM block is no register block of the program's (the OAL
    // handler's restrictions have tests of their own, kernel_bridge_test.cpp).
    void boot(bool privileged, sim::json faults = sim::json::object(), bool restricted = false) {
        sim::BoardConfig config = testing_board::frozenDefaults();
        config.privileged = privileged;
        if (!restricted) faults["bridgeHandler"] = "plain";
        config.faults = sim::faultsFromJson(faults);
        bootWith(config);
    }
    void bootWith(const sim::BoardConfig& config) {
        board.reset();
        board = std::make_unique<TestBoard>(config);
        resetPlatformState();
        ram = std::make_shared<RamBlock>(kRamSize);
        sim::mapDevice(kRamBase, kRamSize, ram);
    }

    // The requests of one I/O control code sent so far.
    static std::vector<sim::HalRequest> requests(DWORD code) {
        std::vector<sim::HalRequest> out;
        for (const sim::HalRequest& r : sim::halRequests())
            if (r.code == code) out.push_back(r);
        return out;
    }
    static std::vector<sim::HalRequest> bridgeRequests() { return requests(IOCTL_KERNEL_BRIDGE); }
    static size_t probes() {
        size_t n = 0;
        for (const sim::HalRequest& r : bridgeRequests())
            if (!r.words.empty() && r.words[0] == BRIDGE_PROBE) ++n;
        return n;
    }

    std::unique_ptr<TestBoard> board;
    std::shared_ptr<RamBlock> ram;
};

inline DWORD addr(const volatile void* p) {
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p));
}
template <typename F>
DWORD routine(F* f) {
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(f));
}

}  // namespace platform_test
