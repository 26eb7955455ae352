// The whole cycle per chip protocol, with the real programs on a board of the test's own: a boot
// restores the system clock from the chip, a time set by the user is stored in the chip by the
// program that the notification service starts, and a chip that lost its backup supply is
// reported, left alone and set right by the next time set.
#include <gtest/gtest.h>

#include "e2e_util.h"
#include "sim/board/rtc_chip.h"

namespace {

struct ProtocolCase {
    int protocol;
    uint8_t address;
};

const ProtocolCase kProtocols[] = {{1, 0x68}, {2, 0x68}, {3, 0x51}, {4, 0x68}};

sim::ChipTime chipTime(const e2e::Board& board, const ProtocolCase& p, bool* invalid) {
    const std::vector<uint8_t> regs = board.state().chips.at(p.address).regs;
    const sim::RtcChipModel& model = sim::chipModel(p.protocol);
    *invalid = model.timeInvalid(regs);
    return model.timeOf(regs);
}

// The program's registrations as "event N: ARGUMENTS".
std::vector<std::string> registrations(const e2e::Board& board) {
    std::vector<std::string> out;
    for (const sim::NotificationRecord& r : board.state().notifications.list)
        out.push_back("event " + std::to_string(r.event) + ": " + r.arguments.value_or("(none)"));
    return out;
}

// What a boot leaves: the program is started after every time change and every zone change.
const std::vector<std::string> kBootRegistrations = {"event 1: AppRunAfterTimeChange",
                                                     "event 12: AppRunAfterTzChange"};

void expectChipAt(const e2e::Board& board, const ProtocolCase& p, unsigned yy, unsigned mo, unsigned d,
                  unsigned h, unsigned mi, unsigned s) {
    bool invalid = true;
    const sim::ChipTime t = chipTime(board, p, &invalid);
    EXPECT_FALSE(invalid);
    EXPECT_EQ(t.year2, yy);
    EXPECT_EQ(t.month, mo);
    EXPECT_EQ(t.day, d);
    EXPECT_EQ(t.hour, h);
    EXPECT_EQ(t.minute, mi);
    EXPECT_EQ(t.second, s);
}

TEST(RtcEndToEnd, BootRestoresTheClockAndATimeSetIsStoredInTheChip) {
    for (const ProtocolCase& p : kProtocols) {
        SCOPED_TRACE(p.protocol);
        e2e::Board board(e2e::frozenConfig(p.protocol), e2e::registryFor(p.protocol));
        ASSERT_EQ(board.runVboard({"set-time", "2005-01-01 00:00:00"}), 0);
        ASSERT_EQ(board.runVboard({"chip", "time", "2011-11-29 14:59:55"}), 0);
        if (p.protocol == 4) {
            // A power cycle leaves the halt bit set; the preparation clears it before the read.
            ASSERT_EQ(board.runVboard({"power", "down"}), 0);
            ASSERT_EQ(board.runVboard({"power", "up"}), 0);
        }
        EXPECT_EQ(board.runTamblin(), 1);
        EXPECT_EQ(board.debugLog(), "RTC Time restored (29.11.2011 14:59:55)\r\n");
        std::string out;
        ASSERT_EQ(board.runVboard({"show"}, &out), 0);
        EXPECT_NE(out.find("system time     2011-11-29 14:59:55"), std::string::npos) << out;
        EXPECT_EQ(registrations(board), kBootRegistrations);

        ASSERT_EQ(board.runVboard({"set-time", "2012-02-29 23:59:58"}), 0);
        expectChipAt(board, p, 12, 2, 29, 23, 59, 58);
        EXPECT_NE(board.debugLog().find("RTC Time set (29.02.2012 23:59:58)\r\n"), std::string::npos);
        EXPECT_EQ(registrations(board), kBootRegistrations);
    }
}

TEST(RtcEndToEnd, LostBackupSupplyIsReportedAndTheNextTimeSetRepairsTheChip) {
    for (const ProtocolCase& p : kProtocols) {
        SCOPED_TRACE(p.protocol);
        e2e::Board board(e2e::frozenConfig(p.protocol), e2e::registryFor(p.protocol));
        ASSERT_EQ(board.runVboard({"set-time", "2005-01-01 00:00:00"}), 0);
        ASSERT_EQ(board.runVboard({"chip", "backup-loss"}), 0);
        EXPECT_EQ(board.runTamblin(), 1);
        const std::string expected =
            std::string(
                p.protocol == 3
                    ? "External RTC has lost backup voltage - reinitializing RTC, except Date/Time\r\n"
                    : "") +
            "Invalid time on External RTC, please set a valid time\r\n";
        EXPECT_EQ(board.debugLog(), expected);
        std::string out;
        ASSERT_EQ(board.runVboard({"show"}, &out), 0);
        EXPECT_NE(out.find("system time     2005-01-01 00:00:00"), std::string::npos) << out;
        EXPECT_EQ(registrations(board), kBootRegistrations);
        bool invalid = false;
        chipTime(board, p, &invalid);
        EXPECT_TRUE(invalid);

        ASSERT_EQ(board.runVboard({"set-time", "2013-05-06 07:08:09"}), 0);
        expectChipAt(board, p, 13, 5, 6, 7, 8, 9);
    }
}

}  // namespace
