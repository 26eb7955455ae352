// The device-side seams as the real instructions, run in a Linux user process on an ARM core
// (qemu-arm): the process really is in user mode, and the privileged reads really trap.
#include <gtest/gtest.h>

#include <csignal>

#include "gpiolib/gpiolib.h"
#include "platform/hwaccess.h"
#include "platform/platform.h"

namespace {

constexpr DWORD kModeMask = 0x1F;
constexpr DWORD kModeUser = 0x10;

TEST(ArmSeams, StatusRegisterShowsUserModeInALinuxProcess) {
    EXPECT_EQ(HwReadCpsr() & kModeMask, kModeUser);
    EXPECT_EQ(ReadStatusRegister() & kModeMask, kModeUser);
}

TEST(ArmSeams, UserModeProcessIsNotPrivileged) {
    EXPECT_FALSE(IsPrivileged());
}

TEST(ArmSeams, StatusRegisterReadIsAnArmStateRead) {
    // T bit (5) clear: the product is built for ARM mode, not Thumb.
    EXPECT_EQ(HwReadCpsr() & 0x20u, 0u);
}

using ArmSeamsDeathTest = ::testing::Test;

TEST_F(ArmSeamsDeathTest, MainIdReadInUserModeRaisesUndefinedInstruction) {
    EXPECT_EXIT(ReadMainIdRegister(), ::testing::KilledBySignal(SIGILL), "");
}

TEST_F(ArmSeamsDeathTest, MainIdSeamItselfIsTheCoprocessorInstruction) {
    EXPECT_EXIT(HwReadMainId(), ::testing::KilledBySignal(SIGILL), "");
}

TEST_F(ArmSeamsDeathTest, KernelDataWordIsAPlainLoadFromTheKernelDataPage) {
    // Outside the platform's kernel the page is not there: the load itself faults.
    EXPECT_EXIT(HwReadKDataWord(KDATA_CURRENT_PROCESS_ADDR), ::testing::KilledBySignal(SIGSEGV), "");
}

TEST(ArmSeams, RegisterAccessesAreStraightVolatileLoadsAndStores) {
    // The device build reaches memory directly; the host seams would refuse an address outside
    // every mapped register window.
    volatile DWORD word = 0;
    HwWrite32(&word, 0xA5C3E1F0u);
    EXPECT_EQ(word, 0xA5C3E1F0u);
    word = 0x0F1E2D3Cu;
    EXPECT_EQ(HwRead32(&word), 0x0F1E2D3Cu);
}

}  // namespace
