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

TEST_F(ProcessorId, FollowsTheMainIdRegisterInPrivilegedAndUserMode) {
    for (bool privileged : {true, false}) {
        for (const MainIdCase& c : kMainIdCases) {
            sim::BoardConfig config = configFor(17, sim::json::object(), privileged);
            config.mainId = c.mainId;
            boardWith(config);
            sim::clearHalRequests();
            EXPECT_EQ(GetProcessorID(), c.id)
                << std::hex << c.mainId << (privileged ? " privileged" : " user");

            // User mode reaches CP15 only through the bridge: one 12-byte call to the trampoline.
            size_t bridgeCalls = 0;
            for (const sim::HalRequest& r : sim::halRequests()) {
                if (r.code != IOCTL_KERNEL_BRIDGE) continue;
                ++bridgeCalls;
                EXPECT_EQ(r.inSize, 12u);
                EXPECT_EQ(r.words[0], BRIDGE_CALL);
                EXPECT_EQ(r.words[1], (DWORD)(uintptr_t)CallPackedRoutine);
            }
            EXPECT_EQ(bridgeCalls, privileged ? 0u : 1u);
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
