// Peripheral clock gating against the simulated clock-enable registers.
#include <windows.h>

#include <map>
#include <set>

#include "gpiolib_test_util.h"

namespace {

using namespace gpiolib_test;

uint32_t firstRegister(uint32_t id) {
    return id == 17 ? 0x41300004u : 0x4134000Cu;
}

class Clocks : public GpioLibTest {};

// Each index switches one bit of one of the processor's one (ID 17) or two clock-enable registers,
// on and off, and reads it back; no two indices share a bit, but on ID 17 indices 26..36 have no
// clock of their own and switch bit 0 as index 0 does. IDs 2 and 8/9 differ at indices 13, 26 and
// 35 only. The worked rows name the bits of the indices the program uses.
TEST_F(Clocks, EveryIndexSwitchesItsOwnBit) {
    struct Known {
        uint32_t id;
        int index;
        uint32_t reg, mask;
    };
    const Known known[] = {
        {17, 14, 0x41300004, 1u << 14}, {17, 15, 0x41300004, 1u << 15}, {17, 30, 0x41300004, 1u << 0},
        {2, 14, 0x41340010, 1u << 4},   {8, 15, 0x4134000C, 1u << 4},   {9, 35, 0x4134000C, 1u << 5},
        {2, 35, 0x4134000C, 1u << 25},
    };
    std::map<uint32_t, std::vector<Write>> switched;  // by processor: each index's bit
    for (uint32_t id : {17u, 2u, 8u, 9u}) {
        boardWith(id);
        const uint32_t first = firstRegister(id);
        std::set<std::pair<uint32_t, uint32_t>> used;
        for (int i = 0; i < 37; ++i) {
            SCOPED_TRACE("ID " + std::to_string(id) + " index " + std::to_string(i));
            preset(first, 0);
            if (id != 17) preset(first + 4, 0);
            EXPECT_EQ(ClockEnable(i, 1), 1);
            const std::vector<Write> on = asWrites(accesses());
            ASSERT_EQ(on.size(), 1u);
            const uint32_t reg = on[0].phys, mask = on[0].value;
            EXPECT_TRUE(reg == first || (id != 17 && reg == first + 4));
            EXPECT_EQ(mask & (mask - 1), 0u) << "exactly one bit";
            EXPECT_NE(mask, 0u);
            EXPECT_EQ(ClockIsEnabled(i), 1);
            clearLog();
            EXPECT_EQ(ClockEnable(i, 0), 1);
            EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{reg, 0}}));
            EXPECT_EQ(ClockIsEnabled(i), 0);
            clearLog();
            switched[id].push_back(on[0]);
            if (id == 17 && i >= 26) {
                EXPECT_EQ(on[0], switched[17][0]) << "as index 0";
            } else {
                EXPECT_TRUE(used.insert(std::make_pair(reg, mask)).second) << "a bit of its own";
            }
            for (const Known& k : known) {
                if (k.id == id && k.index == i) {
                    EXPECT_EQ(on[0], (Write{k.reg, k.mask}));
                }
            }
        }
    }
    for (int i = 0; i < 37; ++i) {
        EXPECT_EQ(switched[8][i], switched[9][i]) << i;
        EXPECT_EQ(switched[2][i] == switched[8][i], i != 13 && i != 26 && i != 35) << i;
    }
}

TEST_F(Clocks, WorkedExamples) {
    boardWith(17);
    preset(0x41300004, 0x00400200);
    EXPECT_EQ(ClockEnable(14, 1), 1);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x41300004, 0x00404200}}));
    clearLog();
    EXPECT_EQ(ClockEnable(30, 1), 1);  // no clock of its own: bit 0
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x41300004, 0x00404201}}));

    boardWith(2);
    preset(0x41340010, 0x00000001);
    EXPECT_EQ(ClockEnable(14, 1), 1);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x41340010, 0x00000011}}));
    clearLog();
    EXPECT_EQ(ClockEnable(35, 1), 1);
    EXPECT_EQ(writes().back().phys, 0x4134000Cu);
    EXPECT_EQ(writes().back().value & (1u << 25), 1u << 25);

    boardWith(8);
    preset(0x4134000C, 0xFFFFFFFF);
    EXPECT_EQ(ClockEnable(15, 0), 1);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x4134000C, 0xFFFFFFEF}}));

    boardWith(9);
    preset(0x4134000C, 0);
    EXPECT_EQ(ClockEnable(35, 1), 1);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x4134000C, 1u << 5}}));
}

TEST_F(Clocks, BitThatNeverSetsFailsAfter1000002ReadBacks) {
    boardWith(17, {{"clockStuckBits", {14}}});
    preset(0x41300004, 0);
    EXPECT_EQ(ClockEnable(14, 1), 0);
    size_t reads = 0, writesSeen = 0;
    for (const auto& a : accesses()) {
        EXPECT_EQ(a.phys, 0x41300004u);
        (a.write ? writesSeen : reads)++;
    }
    EXPECT_EQ(writesSeen, 1u);
    EXPECT_EQ(reads, 1u + 1000002u);  // the read of the update, then the read-backs
}

TEST_F(Clocks, BitThatNeverClearsFailsToo) {
    boardWith(2, {{"clockStuckOnBits", {36}}});
    EXPECT_EQ(ClockEnable(14, 0), 0);
    EXPECT_EQ(ClockIsEnabled(14), 1);
}

TEST_F(Clocks, AnyNonZeroRequestMeansOn) {
    boardWith(17);
    preset(0x41300004, 0);
    EXPECT_EQ(ClockEnable(14, 2), 1);
    EXPECT_EQ(accesses().size(), 3u);  // read, write, one read-back
    EXPECT_EQ(ClockIsEnabled(14), 1);
}

TEST_F(Clocks, WithoutAColumnOrAMappingNothingIsTouched) {
    for (auto [id, faults] : {std::pair{kA9, sim::json::object()}, std::pair{3u, sim::json::object()},
                              std::pair{17u, sim::json{{"virtualCopy", "fail"}}}}) {
        boardWith(id, faults);
        EXPECT_EQ(ClockEnable(14, 1), 0);
        EXPECT_EQ(ClockIsEnabled(14), 0);
        EXPECT_TRUE(g_ClockState.initialised);
        EXPECT_TRUE(accesses().empty());
    }
}

TEST_F(Clocks, IndexBeyondTheTableIsRefused) {
    boardWith(2);
    for (DWORD i : {37u, 38u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ClockEnable(i, 1), 0);
        EXPECT_EQ(ClockIsEnabled(i), 0);
    }
    EXPECT_TRUE(accesses().empty());
}

TEST_F(Clocks, SecondInitChangesNothing) {
    boardWith(8);
    ClockInit();
    const ClockModuleState before = g_ClockState;
    const size_t windows = sim::reservedWindowCount();
    ClockInit();
    EXPECT_EQ(sim::reservedWindowCount(), windows);
    EXPECT_EQ(g_ClockState.enableRegs, before.enableRegs);
    EXPECT_EQ(g_ClockState.column, 2u);
    EXPECT_TRUE(accesses().empty());
}

}  // namespace
