// Register mapping: window arithmetic, binding through the bridge or directly, release, and the
// failures that must leave nothing behind.
#include <pkfuncs.h>

#include "platform/hwaccess.h"
#include "platform_test_util.h"

namespace {

using namespace platform_test;

struct OffsetCase {
    DWORD address;
    uint32_t windowOffset;  // where the returned pointer lies in the window
    uint32_t physical;      // the physical register it reaches
};

// A register pointer lies at the address's offset in its page with bits 1..0 dropped; the
// window's first page is the address's page and its second page the one after.
const OffsetCase kOffsets[] = {
    {0x40301680u, 0x680u, 0x40301680u},  // I2C controller
    {0x40E100B4u, 0x0B4u, 0x40E100B4u},  // pin-function registers of IDs 8 and 9
    {0x5E000FFEu, 0xFFCu, 0x5E000FFCu},  // low bits ignored
    {0x5E000FFFu, 0xFFCu, 0x5E000FFCu}, {0x5E000001u, 0x000u, 0x5E000000u},
    {0x40A00010u, 0x010u, 0x40A00010u},  // OS timer counter
};

class MappingTest : public PlatformTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MappingTest, PointerIsWindowStartPlusRegisterOffsetInPage) {
    boot(GetParam());
    for (const OffsetCase& c : kOffsets) {
        volatile DWORD* p = MapRegisters(c.address);
        ASSERT_NE(p, nullptr) << std::hex << c.address;
        std::optional<sim::WindowInfo> w = sim::findWindow(addr(p));
        ASSERT_TRUE(w) << std::hex << c.address;
        EXPECT_EQ(w->size, 0x2000u);
        EXPECT_EQ(addr(p) - w->base, c.windowOffset) << std::hex << c.address;
        EXPECT_EQ(sim::translateWindowAddress(addr(p)), c.physical) << std::hex << c.address;
        EXPECT_EQ(sim::translateWindowAddress(w->base), c.address & 0xFFFFF000u);
        EXPECT_EQ(sim::translateWindowAddress(w->base + 0x1000u), (c.address & 0xFFFFF000u) + 0x1000u);
        EXPECT_TRUE(UnmapRegisters(p));
    }
    EXPECT_EQ(sim::reservedWindowCount(), 0u);
}

TEST_P(MappingTest, RegisterAtPageOffsetFFCStillHas4KBehindIt) {
    boot(GetParam());
    volatile DWORD* p = MapRegisters(kRamBase + 0xFFCu);
    ASSERT_NE(p, nullptr);
    // 0x2000 - 0xFFC - 4 = 0x1000 bytes further: words 0 .. 0x400 from the pointer.
    for (DWORD i = 0; i <= 0x400; ++i) HwWrite32(p + i, 0xA5000000u | i);
    for (DWORD i = 0; i <= 0x400; ++i) {
        ASSERT_EQ(ram->words[(0xFFCu + 4 * i) / 4], 0xA5000000u | i) << i;
        ASSERT_EQ(HwRead32(p + i), 0xA5000000u | i) << i;
    }
    EXPECT_EXIT(HwRead32(p + 0x401), ::testing::ExitedWithCode(3), "outside every bound register window");
}

TEST_P(MappingTest, AccessThroughWindowReachesDeviceAtThatPhysicalAddress) {
    boot(GetParam());
    ram->words[0x1684 / 4] = 0x12345678u;
    volatile DWORD* p = MapRegisters(kRamBase + 0x680u);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(HwRead32(p + 0x401), 0x12345678u);  // 0x680 + 0x1004 = second page + 0x684
    HwWrite32(p, 0xCAFEF00Du);
    EXPECT_EQ(ram->words[0x680 / 4], 0xCAFEF00Du);
}

TEST_P(MappingTest, TwoMappingsOfOneAddressAreIndependent) {
    boot(GetParam());
    volatile DWORD* a = MapRegisters(kRamBase + 0x10u);
    volatile DWORD* b = MapRegisters(kRamBase + 0x10u);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(sim::reservedWindowCount(), 2u);
    HwWrite32(a, 7);
    EXPECT_EQ(HwRead32(b), 7u);
    EXPECT_TRUE(UnmapRegisters(a));
    EXPECT_EQ(sim::reservedWindowCount(), 1u);
    HwWrite32(b, 9);
    EXPECT_EQ(HwRead32(b), 9u);
    EXPECT_EXIT(HwRead32(a), ::testing::ExitedWithCode(3), "outside every bound register window");
    EXPECT_TRUE(UnmapRegisters(b));
}

TEST_P(MappingTest, UnmapReleasesTheWholeWindowAndRefusesNull) {
    boot(GetParam());
    volatile DWORD* keep = MapRegisters(kRamBase);
    volatile DWORD* p = MapRegisters(kRamBase + 0x7F8u);
    ASSERT_NE(p, nullptr);
    const uint32_t base = sim::findWindow(addr(p))->base;
    EXPECT_TRUE(UnmapRegisters(p));
    EXPECT_FALSE(sim::findWindow(base));
    EXPECT_FALSE(sim::findWindow(base + 0x1FFCu));
    EXPECT_EQ(sim::reservedWindowCount(), 1u);
    EXPECT_FALSE(UnmapRegisters(p));  // already released
    EXPECT_FALSE(UnmapRegisters(nullptr));
    EXPECT_EQ(sim::reservedWindowCount(), 1u);
    EXPECT_TRUE(UnmapRegisters(keep));
}

struct BindFailure {
    const char* name;
    bool privileged;
    const char* faultKey;
    const char* faultValue;
};

// The reservation or the binding fails: null, and no window left behind.
const BindFailure kBindFailures[] = {
    {"no address space", false, "virtualAlloc", "fail"},
    {"no address space, privileged", true, "virtualAlloc", "fail"},
    {"binding refused", false, "virtualCopy", "fail"},
    {"binding refused, privileged", true, "virtualCopy", "fail"},
    {"no kernel bridge", false, "kernelBridge", "absent"},
};

TEST_F(PlatformTest, FailedMappingReturnsNullAndLeavesNothingReserved) {
    for (const BindFailure& f : kBindFailures) {
        boot(f.privileged, sim::json{{f.faultKey, f.faultValue}});
        EXPECT_EQ(MapRegisters(0x40301680u), nullptr) << f.name;
        EXPECT_EQ(sim::reservedWindowCount(), 0u) << f.name;
    }
}

TEST_F(PlatformTest, UnprivilegedMappingSendsOneVirtualCopyBlock) {
    boot(false);
    volatile DWORD* p = MapRegisters(0x40301680u);
    ASSERT_NE(p, nullptr);
    const uint32_t window = sim::findWindow(addr(p))->base;
    std::vector<sim::HalRequest> sent = bridgeRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].inSize, 4u);
    EXPECT_EQ(sent[0].words, std::vector<uint32_t>({BRIDGE_PROBE}));
    // Source: the page's physical address / 256; protection PAGE_PHYSICAL | PAGE_NOCACHE | PAGE_READWRITE.
    EXPECT_EQ(sent[1].inSize, 20u);
    EXPECT_EQ(sent[1].words,
              std::vector<uint32_t>({BRIDGE_VIRTUAL_COPY, window, 0x00403010u, 0x2000u, 0x604u}));
    EXPECT_EQ(sent[1].outSize, 4u);
    EXPECT_FALSE(sent[1].bytesReturnedGiven);
    ASSERT_EQ(sim::kernelServiceCalls().size(), 1u);
    EXPECT_TRUE(sim::kernelServiceCalls()[0].bridged);
}

TEST_F(PlatformTest, PrivilegedMappingCallsVirtualCopyDirectly) {
    boot(true);
    volatile DWORD* p = MapRegisters(0x40E100B4u);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(bridgeRequests().empty());
    ASSERT_EQ(sim::kernelServiceCalls().size(), 1u);
    EXPECT_EQ(sim::kernelServiceCalls()[0].service, "VirtualCopy");
    EXPECT_TRUE(sim::kernelServiceCalls()[0].kernelMode);
    EXPECT_FALSE(sim::kernelServiceCalls()[0].bridged);
}

TEST_F(PlatformTest, WindowIsReallyReservedAndNotReadableDirectly) {
    boot(false);
    volatile DWORD* p = MapRegisters(kRamBase);
    ASSERT_NE(p, nullptr);
    // Product code must go through the register seam; a plain load from the window faults.
    EXPECT_DEATH((void)*p, "");
}

INSTANTIATE_TEST_SUITE_P(UserAndPrivileged, MappingTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Privileged" : "User";
                         });

}  // namespace
