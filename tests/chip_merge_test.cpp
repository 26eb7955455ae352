// A chip changed by another process while this one has it on the bus: what this process writes
// back when the bus is free again is merged with that change, never written over it.
#include <gtest/gtest.h>

#include <vector>

#include "sim/board/i2c_master.h"
#include "sim/board/rtc_chip.h"
#include "testboard.h"

namespace chip_merge_test {

struct MergeCase {
    const char* what;
    uint8_t ourRegister, ourValue;      // written over the bus by this process
    uint8_t theirRegister, theirValue;  // changed meanwhile by another process
    bool theyMoveTheClock;              // their change sets the time (the clock's reference moves)
    bool theirClockStands;              // ... and stands: this process wrote no time register
};

// Protocol 1: 0x00..0x06 the time, 0x07 control.
const MergeCase kCases[] = {
    {"our control register, their time", 0x07, 0x10, 0x00, 0x30, true, true},
    {"our time, their control register", 0x02, 0x21, 0x07, 0x93, false, false},
    {"our seconds, their minutes and clock", 0x00, 0x12, 0x01, 0x45, true, false},
};

TEST(ChipWriteBack, MergesWithAChangeAnotherProcessMadeMeanwhile) {
    for (const MergeCase& c : kCases) {
        TestBoard board;
        sim::I2cWireMaster bus;
        // The transaction begins: this process loads the chip.
        ASSERT_TRUE(bus.start(0x68 << 1)) << c.what;
        ASSERT_TRUE(bus.write(c.ourRegister)) << c.what;
        sim::ChipState theirs;
        sim::updateBoardState(board.dir, [&](sim::BoardState& s) {
            sim::ChipState& chip = s.chips.at(0x68);
            chip.regs[c.theirRegister] = c.theirValue;
            if (c.theyMoveTheClock) chip.clockAt += 7;
            theirs = chip;
        });
        ASSERT_TRUE(bus.write(c.ourValue)) << c.what;
        bus.stop();  // the bus is free: the chip goes back into the state
        const sim::ChipState after = sim::readBoardState(board.dir).chips.at(0x68);
        EXPECT_EQ(after.regs[c.theirRegister], c.theirValue) << c.what << ": their change was written over";
        EXPECT_EQ(after.regs[c.ourRegister], c.ourValue) << c.what << ": our write was lost";
        if (c.theirClockStands) EXPECT_EQ(after.clockAt, theirs.clockAt) << c.what;
        if (!c.theirClockStands) EXPECT_NE(after.clockAt, theirs.clockAt) << c.what;
        EXPECT_EQ(after.pointer, (c.ourRegister + 1) % 8) << c.what;
    }
}

TEST(ChipWriteBack, AChipTakenOffTheBoardMeanwhileIsNotWrittenBack) {
    TestBoard board;
    sim::I2cWireMaster bus;
    ASSERT_TRUE(bus.start(0x68 << 1));
    ASSERT_TRUE(bus.write(0x07));
    sim::updateBoardState(board.dir, [](sim::BoardState& s) { s.chips.erase(0x68); });
    ASSERT_TRUE(bus.write(0x10));
    bus.stop();
    EXPECT_EQ(sim::readBoardState(board.dir).chips.count(0x68), 0u);
}

}  // namespace chip_merge_test
