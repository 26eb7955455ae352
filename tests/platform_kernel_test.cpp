// The simulated CPU, kernel and HAL refuse what the device refuses: privileged instructions and
// services from user mode, malformed bridge requests, accesses where nothing is mapped.
#include <pkfuncs.h>

#include "platform/hwaccess.h"
#include "platform_test_util.h"
#include "sim/ceapi/kernel_objects.h"

namespace {

using namespace platform_test;

TEST_F(PlatformTest, CpsrShowsTheModeTheCodeRunsIn) {
    boot(false);
    EXPECT_EQ(HwReadCpsr() & 0x1Fu, 0x10u);  // user
    DWORD block[2] = {BRIDGE_CALL, routine(HwReadCpsr)};
    EXPECT_EQ(KernelCall(block, sizeof block) & 0x1Fu, 0x13u);  // SVC while the HAL runs a routine
    EXPECT_EQ(HwReadCpsr() & 0x1Fu, 0x10u);
    boot(true);
    EXPECT_EQ(HwReadCpsr() & 0x1Fu, 0x1Fu);  // system
}

TEST_F(PlatformTest, UserModeMainIdReadIsAnUndefinedInstruction) {
    boot(false);
    EXPECT_EXIT(HwReadMainId(), ::testing::ExitedWithCode(3), "undefined instruction.*user mode");
    boot(true);
    EXPECT_EQ(HwReadMainId(), sim::Board::current().config().mainId);
}

TEST_F(PlatformTest, KernelDataPageHasOnlyTheProcessWord) {
    boot(false);
    EXPECT_EXIT(HwReadKDataWord(0xFFFFC800u), ::testing::ExitedWithCode(3),
                "kernel data page word 0xFFFFC800");
}

TEST_F(PlatformTest, PrivilegedServicesCalledFromUserModeAreRefused) {
    boot(false);
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    const DWORD sysIntr = RequestSysIntr(18);
    SetLastError(0);
    EXPECT_FALSE(InterruptInitialize(sysIntr, event, NULL, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(sim::sysIntrInfo(sysIntr)->attached);

    LPVOID window = VirtualAlloc(NULL, 0x2000, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(window, nullptr);
    SetLastError(0);
    EXPECT_FALSE(VirtualCopy(window, reinterpret_cast<LPVOID>(kRamBase >> 8), 0x2000, 0x604));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(sim::translateWindowAddress(addr(window)));
    EXPECT_TRUE(VirtualFree(window, 0, MEM_RELEASE));

    // Attached through the bridge and fired: a direct re-arm changes nothing, nor does a direct
    // detach.
    ASSERT_TRUE(BridgeInterruptInitialize(sysIntr, event, NULL, 0));
    sim::setIrqLine(18, true);
    EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_OBJECT_0);
    InterruptDone(sysIntr);
    EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_TIMEOUT);
    InterruptDisable(sysIntr);
    EXPECT_TRUE(sim::sysIntrInfo(sysIntr)->attached);

    const std::string log = board->debugLog();
    for (const char* service : {"InterruptInitialize", "VirtualCopy", "InterruptDone", "InterruptDisable"})
        EXPECT_NE(log.find(std::string(service) + " called from user mode: access denied"), std::string::npos)
            << service;
}

TEST_F(PlatformTest, KernelRoutineRejectsAHandleOfTheUserProcess) {
    boot(false);
    KernelBridgeProbe();
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    const DWORD sysIntr = RequestSysIntr(18);
    // Not duplicated into the kernel's process: the handle means nothing there.
    DWORD block[6] = {BRIDGE_CALL, BridgeEntryTable[BRIDGE_ENTRY_INTERRUPT_INIT], sysIntr, addr(event), 0, 0};
    EXPECT_EQ(KernelCall(block, sizeof block), 0u);
    EXPECT_FALSE(sim::sysIntrInfo(sysIntr)->attached);
}

// The HAL's routines are kernel code: run from user mode, what they would do is refused.
TEST_F(PlatformTest, KernelRoutineRunFromUserModeIsRefused) {
    boot(false, sim::json::object(), true);
    KernelBridgeProbe();
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    const DWORD sysIntr = RequestSysIntr(18);
    ASSERT_TRUE(BridgeInterruptInitialize(sysIntr, event, NULL, 0));
    sim::setIrqLine(18, true);
    ASSERT_EQ(WaitForSingleObject(event, 1), WAIT_OBJECT_0);
    auto done = reinterpret_cast<DWORD (*)(DWORD)>(
        static_cast<uintptr_t>(BridgeEntryTable[BRIDGE_ENTRY_INTERRUPT_DONE]));
    done(sysIntr);
    EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_TIMEOUT) << "re-armed from user mode";
    EXPECT_NE(board->debugLog().find("InterruptDone called from user mode: access denied"),
              std::string::npos);
    auto mainId =
        reinterpret_cast<DWORD (*)()>(static_cast<uintptr_t>(BridgeEntryTable[BRIDGE_ENTRY_READ_MAIN_ID]));
    EXPECT_EXIT(mainId(), ::testing::ExitedWithCode(3), "undefined instruction");
}

DWORD Nothing() {
    return 0x600D;
}

struct BlockCase {
    const char* name;
    std::vector<DWORD> block;
    DWORD size;     // bytes sent
    DWORD outSize;  // output buffer
    BOOL accepted;
};

TEST_F(PlatformTest, BridgeAcceptsOnlyWellFormedBlocks) {
    boot(false);
    const DWORD r = routine(Nothing);
    const BlockCase cases[] = {
        {"call, no argument", {BRIDGE_CALL, r}, 8, 4, TRUE},
        {"call, four arguments", {BRIDGE_CALL, r, 1, 2, 3, 4}, 24, 4, TRUE},
        {"call, five arguments", {BRIDGE_CALL, r, 1, 2, 3, 4, 5}, 28, 4, FALSE},
        {"call, no routine word", {BRIDGE_CALL}, 4, 4, FALSE},
        {"call, ragged size", {BRIDGE_CALL, r, 1}, 10, 4, FALSE},
        {"call, null routine", {BRIDGE_CALL, 0}, 8, 4, FALSE},
        {"call, no room for the result", {BRIDGE_CALL, r}, 8, 0, FALSE},
        {"virtual copy, short", {BRIDGE_VIRTUAL_COPY, 0, 0, 0}, 16, 4, FALSE},
        {"virtual copy, long", {BRIDGE_VIRTUAL_COPY, 0, 0, 0, 0, 0}, 24, 4, FALSE},
        {"probe, long", {BRIDGE_PROBE, 0}, 8, 200, FALSE},
        {"probe, small table", {BRIDGE_PROBE}, 4, 196, FALSE},
        {"unknown command", {3, r}, 8, 200, FALSE},
        {"empty block", {0}, 0, 4, FALSE},
    };
    for (const BlockCase& c : cases) {
        std::vector<DWORD> block = c.block;
        std::vector<DWORD> out(64, 0);
        SetLastError(0);
        const BOOL ok =
            KernelIoControl(IOCTL_KERNEL_BRIDGE, block.data(), c.size, out.data(), c.outSize, NULL);
        EXPECT_EQ(ok != 0, c.accepted != 0) << c.name;
        if (c.accepted) {
            EXPECT_EQ(out[0], 0x600Du) << c.name;
        } else {
            EXPECT_EQ(GetLastError() != 0, true) << c.name;
        }
    }
}

TEST_F(PlatformTest, HalWithoutBridgeDoesNotKnowTheControl) {
    boot(false, {{"kernelBridge", "absent"}});
    DWORD probe = BRIDGE_PROBE;
    DWORD table[BRIDGE_ENTRY_COUNT] = {};
    EXPECT_FALSE(KernelIoControl(IOCTL_KERNEL_BRIDGE, &probe, 4, table, sizeof table, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(PlatformTest, AccessToPhysicalAddressWithoutDeviceIsABusFault) {
    boot(false);
    volatile DWORD* p = MapRegisters(kNoDevice + 0x10u);
    ASSERT_NE(p, nullptr);  // binding does not look at what is behind the page
    EXPECT_EXIT(HwRead32(p), ::testing::ExitedWithCode(3), "bus fault.*0x5D000010");
    EXPECT_EXIT(HwWrite32(p, 1), ::testing::ExitedWithCode(3), "bus fault.*0x5D000010");
}

TEST_F(PlatformTest, AccessOutsideEveryWindowIsADataAbort) {
    boot(false);
    static DWORD plainMemory = 0;
    EXPECT_EXIT(HwRead32(&plainMemory), ::testing::ExitedWithCode(3),
                "data abort.*outside every bound register window");
    LPVOID reserved = VirtualAlloc(NULL, 0x1000, MEM_RESERVE, PAGE_NOACCESS);  // reserved, never bound
    EXPECT_EXIT(HwWrite32(static_cast<volatile DWORD*>(reserved), 1), ::testing::ExitedWithCode(3),
                "data abort");
}

// A model registered from a static initialiser, the way the board's device models are: it is on
// every board, made afresh for each.
class MagicRegister : public sim::MmioDevice {
  public:
    const char* name() const override { return "test magic register"; }
    uint32_t read32(uint32_t) override { return value; }
    void write32(uint32_t, uint32_t v) override { value = v; }
    uint32_t value = 0x5EED0001u;
};
constexpr uint32_t kMagicBase = 0x5C000000u;
sim::DeviceFactoryRegistration gMagic([](const sim::BoardConfig&) {
    sim::mapDevice(kMagicBase, 0x1000, std::make_shared<MagicRegister>());
});

TEST_F(PlatformTest, RegisteredDeviceModelsAppearOnEveryBoard) {
    boot(false);
    EXPECT_EQ(sim::physRead32(kMagicBase + 0x40), 0x5EED0001u);
    sim::physWrite32(kMagicBase, 7);
    EXPECT_EQ(sim::physRead32(kMagicBase), 7u);
    boot(true);  // a new board: its own device
    EXPECT_EQ(sim::physRead32(kMagicBase), 0x5EED0001u);
    EXPECT_EXIT(sim::mapDevice(kMagicBase + 0x800, 0x10, std::make_shared<MagicRegister>()),
                ::testing::ExitedWithCode(3), "overlaps test magic register");
}

}  // namespace
