// Processor identification from the main ID register, privileged and through the kernel bridge.
#include <windows.h>

#include "gpiolib_test_util.h"
#include "platform/platform.h"

namespace {

using namespace gpiolib_test;

struct MainIdCase {
    uint32_t mainId;
    DWORD id;
};

// Architecture field (bits 19..16) 5: the product number, bits 9..4; else M >> 4.
const MainIdCase kMainIdCases[] = {
    {0x69054117u, 17},           // ARMv5, product number 0x11
    {0x00050110u, 17},           // any implementer, revision and other bits
    {0xFFF5FD1Fu, 17},           //
    {0x69052020u, 2},            //
    {0x69052080u, 8},            //
    {0x69052090u, 9},            //
    {0x69050000u, 0},            // ARMv5, product number 0
    {0x411FC090u, 0x0411FC09u},  // Cortex-A9 class, revision 0
    {0x411FC09Fu, 0x0411FC09u},  // any revision
    {0x410FC090u, 0x0410FC09u},  // variant 0: another, unsupported, ID
};

class ProcessorId : public GpioLibTest {};

// How the main ID register is read, by privilege and by the HAL's bridge.
struct ReadCase {
    const char* name;
    bool privileged;
    sim::json faults;
    std::vector<DWORD> blockSizes;  // the bridge requests sent: the probe, then the read
    bool packed;                    // the read is the program's own trampoline (else the HAL's routine)
};

TEST_F(ProcessorId, FollowsTheMainIdRegisterInPrivilegedAndUserMode) {
    const ReadCase reads[] = {
        {"privileged", true, sim::json::object(), {}, false},
        {"user mode, the OAL's handler", false, sim::json::object(), {4, 8}, false},
        {"user mode, a plain handler", false, {{"bridgeHandler", "plain"}}, {4, 12}, true},
    };
    for (const ReadCase& r : reads) {
        for (const MainIdCase& c : kMainIdCases) {
            SCOPED_TRACE(std::string(r.name) + ", main ID " + std::to_string(c.mainId));
            sim::BoardConfig config = configFor(17, r.faults, r.privileged);
            config.mainId = c.mainId;
            boardWith(config);
            sim::clearHalRequests();
            EXPECT_EQ(GetProcessorID(), c.id);
            // User mode reaches CP15 only through the bridge: after the probe, one call without an
            // argument to the HAL's own routine, or one to the program's trampoline.
            std::vector<DWORD> sizes;
            for (const sim::HalRequest& h : sim::halRequests())
                if (h.code == IOCTL_KERNEL_BRIDGE) sizes.push_back(h.inSize);
            EXPECT_EQ(sizes, r.blockSizes);
            if (sizes.size() != 2) continue;
            const sim::HalRequest& read = sim::halRequests().back();
            EXPECT_EQ(read.words[1], r.packed ? (DWORD)(uintptr_t)CallPackedRoutine
                                              : BridgeEntryTable[BRIDGE_ENTRY_READ_MAIN_ID]);
            // A second read sends no second probe.
            sim::clearHalRequests();
            EXPECT_EQ(GetProcessorID(), c.id);
            EXPECT_EQ(sim::halRequests().size(), 1u);
        }
    }
}

TEST_F(ProcessorId, IsZeroWhenTheBridgeFails) {
    boardWith(17, {{"kernelBridge", "absent"}});
    EXPECT_EQ(GetProcessorID(), 0u);
    // ... which GPIOLib then treats as an unsupported processor.
    GPIOInit();
    EXPECT_EQ(debugLog(), "ERROR: GPIOLib: This processor is not supported (procID: 0)\n\r");
    EXPECT_EQ(g_GpioState.pinCount, 0u);
}

TEST_F(ProcessorId, StatusRegisterShowsTheProcessorMode) {
    boardWith(configFor(17, sim::json::object(), false));
    EXPECT_EQ(ReadStatusRegister() & 0x1Fu, 0x10u);  // user mode
    boardWith(configFor(17, sim::json::object(), true));
    EXPECT_NE(ReadStatusRegister() & 0x0Fu, 0u);
    EXPECT_EQ(ReadMainIdRegister(), 0x69054117u);
}

}  // namespace
