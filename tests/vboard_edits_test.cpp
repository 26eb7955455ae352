// The board under changes that meet: commands that change the board in parallel with each other
// and with the programs running on it, a board that goes off under a program, set-time's exit code
// for the programs it starts, and a board the user may not write.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "sim/board/rtc_chip.h"

// A namespace of its own: the tests are compiled together in unity builds.
namespace vboard_edits_test {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

e2e::Output vboardRun(const e2e::Board& b, const std::vector<std::string>& args) {
    std::vector<std::string> argv{std::string(TAMBLIN_BIN_DIR) + "/vboard", "--board", b.dir};
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e::runProgram(argv, b.dir);
}

// Waits for every program started; their exit codes.
std::vector<int> waitAll(std::vector<e2e::Board::Started>& started) {
    std::vector<int> codes;
    for (e2e::Board::Started& s : started) {
        codes.push_back(s.waitMs(60000));
        s.kill();
    }
    return codes;
}

// The time a chip's registers hold, as the chip tool prints it.
std::string chipTime(const e2e::Board& b, uint8_t address) {
    const sim::BoardState s = b.state();
    const sim::ChipState& c = s.chips.at(address);
    const sim::ChipTime t = sim::chipModel(c.protocol).timeOf(c.regs);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02u-%02u-%02u %02u:%02u:%02u", t.year2, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buf;
}

// ---- N changes in parallel leave N changes ---------------------------------------------------

// Every kind of change at once, with a boot of the program on the same board: each command must
// succeed and each change must be there afterwards.
TEST(ParallelChanges, EveryCommandsChangeIsKeptAndTheProgramsToo) {
    for (int round = 0; round < 2; ++round) {
        e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
        const std::vector<std::vector<std::string>> commands = {
            {"registry", "set", "SOFTWARE\\Test", "A", "dword:1"},
            {"registry", "set", "SOFTWARE\\Test", "B", "dword:2"},
            {"registry", "set", "SOFTWARE\\Test", "C", "sz:three"},
            {"registry", "set", "SOFTWARE\\Other", "D", "dword:4"},
            {"fault", "add", "localAllocFail=101"},
            {"fault", "add", "localAllocFail=102"},
            {"fault", "add", "localAllocFail=103"},
            {"fault", "add", "clockStuckOnBits=20"},
            {"notify", "add", "\\Windows\\One.exe", "x"},
            {"notify", "add", "\\Windows\\Two.exe", "y"},
            {"chip", "add", "3", "-a", "0x51", "--time", "2030-01-02T03:04:05"},
            {"chip", "add", "2", "-a", "0x6f", "--time", "2031-01-02T03:04:05"},
            {"chip", "set", "-a", "0x68", "0x07=0x93"},
            {"zone", "set", "Europe/London"},
        };
        std::vector<e2e::Board::Started> started;
        started.push_back(board.startTamblin());
        for (const auto& c : commands) started.push_back(board.startVboard(c));
        const std::vector<int> codes = waitAll(started);
        EXPECT_EQ(codes[0], 1) << "tamblin";
        for (size_t i = 1; i < codes.size(); ++i)
            EXPECT_EQ(codes[i], 0) << commands[i - 1][0] << " " << commands[i - 1][1] << "\n"
                                   << started[i].output() << board.file(".stderr");

        const std::string reg = board.file("registry.reg");
        for (const char* v : {"\"A\"=dword:00000001", "\"B\"=dword:00000002", "\"C\"=\"three\"",
                              "\"D\"=dword:00000004", "\"AutoDST\"=dword:00000001", "\"Protocol\""})
            EXPECT_TRUE(contains(reg, v)) << v << "\n" << reg;
        const sim::BoardConfig config = sim::loadBoardConfig(board.dir + "/board.json");
        EXPECT_EQ(
            std::set<uint32_t>(config.faults.localAllocFail.begin(), config.faults.localAllocFail.end()),
            (std::set<uint32_t>{101, 102, 103}));
        EXPECT_EQ(config.faults.clockStuckOnBits, std::vector<uint32_t>{20});
        EXPECT_EQ(config.timeZone.name, "Europe/London");
        ASSERT_EQ(config.chips.size(), 3u);
        const sim::BoardState s = board.state();
        std::set<std::string> apps;
        for (const sim::NotificationRecord& n : s.notifications.list) apps.insert(n.application);
        EXPECT_EQ(apps, (std::set<std::string>{"\\Windows\\One.exe", "\\Windows\\Two.exe",
                                               "\\WINDOWS\\TAMBLIN.EXE"}));
        EXPECT_EQ(chipTime(board, 0x51), "30-01-02 03:04:05");
        EXPECT_EQ(chipTime(board, 0x6f), "31-01-02 03:04:05");
        EXPECT_EQ(s.chips.at(0x68).regs.at(7), 0x93) << "the boot's copy of the chip undid chip set";
    }
}

// A chip time set while a boot reads the chip: the tool takes the bus as another master would, and
// what the program writes back is merged with it, so the time set is never undone.
TEST(ParallelChanges, AChipTimeSetWhileABootReadsTheChipIsNeverUndone) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    for (int round = 0; round < 8; ++round) {
        const std::string when = "2011-11-" + std::to_string(10 + round) + "T14:59:55";
        e2e::Board::Started boot = board.startTamblin();
        usleep(static_cast<useconds_t>(round * 4000));
        std::string out;
        EXPECT_EQ(board.runVboard({"chip", "time", when}, &out), 0) << out;
        EXPECT_EQ(boot.waitMs(60000), 1);
        boot.kill();
        EXPECT_EQ(chipTime(board, 0x68), "11-11-" + std::to_string(10 + round) + " 14:59:55")
            << "round " << round;
    }
}

TEST(ParallelChanges, AChipChangeWaitsForTheBusLikeAnotherMaster) {
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.frozen = false;  // the holder and the tool meet in real time
    e2e::Board board(config, e2e::registryFor(1));
    e2e::Board::Started holder = board.startVboard({"i2c-hold", "800"});
    for (int i = 0; i < 1000 && holder.output().empty(); ++i) usleep(5000);
    ASSERT_EQ(holder.output(), "holding I2C\n");
    e2e::Board::Started change = board.startVboard({"chip", "time", "2012-01-01"});
    EXPECT_EQ(change.waitMs(400), -1) << "the chip changed under a bus held by another master";
    EXPECT_EQ(change.waitMs(20000), 0) << change.output();
    EXPECT_TRUE(contains(holder.output(), "releasing I2C")) << holder.output();
    holder.waitMs(20000);
    EXPECT_EQ(chipTime(board, 0x68).substr(0, 8), "12-01-01");
}

// ---- A board that is off runs nothing ----------------------------------------------------------

TEST(PowerDown, EndsAProgramWaitingOnTheBoardAndItChangesNothingMore) {
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.frozen = false;  // the boot waits in real time for a service that becomes ready late
    config.apiReady = sim::ApiReady::AfterMs;
    config.apiReadyAfterMs = 1500;
    e2e::Board board(config, e2e::registryFor(1));
    board.changeState([](sim::BoardState& s) {
        s.systemClock = {e2e::fileTimeOf(2020, 1, 1, 0, 0, 0), s.systemClock.atHost};
    });
    const sim::BoardState before = board.state();
    e2e::Board::Started boot = board.startTamblin();
    // The boot has read the chip (its bytes are in the trace) and waits for the service.
    for (int i = 0; i < 2000 && board.file("trace.log").find(" L SDA") == std::string::npos; ++i)
        usleep(2000);
    std::string out;
    ASSERT_EQ(board.runVboard({"power", "down"}, &out), 0) << out;
    EXPECT_EQ(boot.waitMs(30000), 3);
    EXPECT_TRUE(contains(board.debugLog(), "powered down while the program ran")) << board.debugLog();
    const sim::BoardState after = board.state();
    EXPECT_FALSE(after.power.on);
    EXPECT_EQ(after.systemClock.fileTime, before.systemClock.fileTime) << "the clock of an off board was set";
    EXPECT_TRUE(after.notifications.list.empty()) << "an off board registered a program";
    EXPECT_FALSE(contains(board.debugLog(), "RTC Time restored"));
}

// ---- set-time's exit code: the programs it started -----------------------------------------

struct SetTimeCase {
    std::string name;
    std::function<void(const e2e::Board&)> prepare;
    std::string time;
    int code;
    std::string says;  // on standard output or standard error
};

void PrintTo(const SetTimeCase& c, std::ostream* os) {
    e2e::printCase(c.name, os);
}

void registered(const e2e::Board& b) {
    std::string out;
    EXPECT_EQ(b.runVboard({"notify", "add", "\\Windows\\Tamblin.exe", "AppRunAfterTimeChange"}, &out), 0)
        << out;
}

const SetTimeCase kSetTimes[] = {
    {"stored", registered, "2026-07-01T10:00:00", 0, "exited with 1: RTC Time set (01.07.2026 10:00:00)"},
    {"a year the chip cannot hold", registered, "2070-07-01T10:00:00", 1, "\"Error while setting RTC time\""},
    {"a bus held low",
     [](const e2e::Board& b) {
         registered(b);
         std::string out;
         EXPECT_EQ(b.runVboard({"fault", "add", "i2cSclLowMs=forever"}, &out), 0) << out;
     },
     "2026-07-01T10:00:00", 1, "exited with"},
    {"a board that is powered down",
     [](const e2e::Board& b) {
         registered(b);
         std::string out;
         EXPECT_EQ(b.runVboard({"power", "down"}, &out), 0) << out;
     },
     "2026-07-01T10:00:00", 1, "powered down"},
    {"nothing registered", [](const e2e::Board&) {}, "2026-07-01T10:00:00", 0, "System time set"},
};

class SetTimeExit : public ::testing::TestWithParam<SetTimeCase> {};

TEST_P(SetTimeExit, FailsWhenTheProgramItStartedFailedAndNamesItsResult) {
    const SetTimeCase& c = GetParam();
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    c.prepare(board);
    const int64_t clockBefore = board.state().systemClock.fileTime;
    const e2e::Output r = vboardRun(board, {"set-time", c.time});
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_TRUE(contains(r.out + r.err, c.says)) << r.out << r.err;
    if (c.code != 0) EXPECT_TRUE(contains(r.err, "vboard: set-time: ")) << r.err;
    if (!board.state().power.on)
        EXPECT_EQ(board.state().systemClock.fileTime, clockBefore) << "set-time changed an off board";
}

INSTANTIATE_TEST_SUITE_P(Vboard, SetTimeExit, ::testing::ValuesIn(kSetTimes), e2e::CaseNames());

// ---- A board the user may read but not write ---------------------------------------------------

TEST(ReadOnlyBoardProgram, TamblinNamesTheFileItCannotWriteAndExitsWithTwo) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    std::filesystem::remove_all(board.dir + "/objects");
    for (const auto& f : std::filesystem::directory_iterator(board.dir)) chmod(f.path().c_str(), 0444);
    chmod(board.dir.c_str(), 0555);
    std::vector<std::string> argv;
    // As root every file is writable: the program then runs as nobody, who must reach it.
    if (geteuid() == 0) {
        if (access(TAMBLIN_BIN_DIR, R_OK | X_OK) != 0 ||
            system(("setpriv --reuid=65534 --regid=65534 --clear-groups -- test -x " +
                    std::string(TAMBLIN_BIN_DIR) + "/tamblin")
                       .c_str()) != 0) {
            chmod(board.dir.c_str(), 0755);
            GTEST_SKIP() << "the user nobody cannot reach " << TAMBLIN_BIN_DIR << " to run the program";
        }
        argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    }
    argv.push_back(std::string(TAMBLIN_BIN_DIR) + "/tamblin");
    const e2e::Output r = e2e::runProgram(argv, board.dir);
    chmod(board.dir.c_str(), 0755);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_TRUE(contains(r.err, board.dir + "/")) << r.err;
    EXPECT_TRUE(contains(r.err, "Permission denied")) << r.err;
    EXPECT_FALSE(contains(r.err, "I2C bus not available")) << r.err;
}

}  // namespace vboard_edits_test
