// Peripheral clock gating against the simulated clock-enable registers.
#include <windows.h>

#include "gpiolib_test_util.h"

namespace {

using namespace gpiolib_test;

// Bit number per clock index: ID 17, ID 2, IDs 8 and 9 (32..63: the second register).
const int kBits[3][37] = {
    {0,  31, 2,  3,  4,  6,  7,  5, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18,
     19, 20, 21, 22, 23, 24, 25, 0, 0, 0, 0,  0,  0,  0,  0,  0,  0,  0},
    {32, 33, 24, 27, 28, 22, 21, 23, 41, 48, 2, 20, 12, 0,  36, 4,  1,  30, 17,
     14, 10, 8,  9,  26, 3,  11, 7,  13, 15, 6, 18, 49, 38, 39, 40, 25, 29},
    {32, 33, 24, 27, 28, 22, 21, 23, 41, 48, 2, 20, 12, 43, 36, 4,  1, 30, 17,
     14, 10, 8,  9,  26, 3,  11, 42, 13, 15, 6, 18, 49, 38, 39, 40, 5, 29},
};

uint32_t firstRegister(uint32_t id) {
    return id == 17 ? 0x41300004u : 0x4134000Cu;
}

class Clocks : public GpioLibTest {};

TEST_F(Clocks, TableColumnsFollowTheirRules) {
    for (int i = 0; i < 37; ++i) {
        if (i != 13 && i != 26 && i != 35) {
            EXPECT_EQ(kBits[1][i], kBits[2][i]) << i;
        }
        if (i >= 26) {
            EXPECT_EQ(kBits[0][i], 0) << i;
        }
        for (int c = 0; c < 3; ++c) EXPECT_EQ(ClockBitTable[c * 37 + i], kBits[c][i]) << c << "/" << i;
    }
}

// Each index switches exactly its bit in its register, on and off, and reads it back.
TEST_F(Clocks, EveryIndexSwitchesItsOwnBit) {
    for (auto [id, column] : {std::pair{17u, 0}, std::pair{2u, 1}, std::pair{8u, 2}, std::pair{9u, 2}}) {
        boardWith(id);
        const uint32_t first = firstRegister(id);
        for (int i = 0; i < 37; ++i) {
            preset(first, 0);
            if (id != 17) preset(first + 4, 0);
            const int n = kBits[column][i];
            const uint32_t reg = first + 4u * (n >> 5), mask = 1u << (n & 31);
            EXPECT_EQ(ClockEnable(i, 1), 1);
            EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{reg, mask}})) << id << " index " << i;
            EXPECT_EQ(ClockIsEnabled(i), 1);
            clearLog();
            EXPECT_EQ(ClockEnable(i, 0), 1);
            EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{reg, 0}})) << id << " index " << i;
            EXPECT_EQ(ClockIsEnabled(i), 0);
            clearLog();
        }
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
