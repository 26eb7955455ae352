// The board under changes that meet: commands that change the board in parallel with each other
// and with the programs running on it, a board that goes off under a program, set-time's exit code
// for the programs it starts, and a board the user may not write.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
    {
        e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
        const std::vector<std::vector<std::string>> commands = {
            {"registry", "set", "SOFTWARE\\Test", "A", "dword:1"},
            {"registry", "set", "SOFTWARE\\Test", "B", "dword:2"},
            {"registry", "set", "SOFTWARE\\Test", "C", "sz:three"},
            {"fault", "add", "localAllocFail=101"},
            {"fault", "add", "localAllocFail=102"},
            {"fault", "add", "localAllocFail=103"},
            {"notify", "add", "\\Windows\\One.exe", "x"},
            {"chip", "add", "3", "-a", "0x51", "--time", "2030-01-02T03:04:05"},
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
                              "\"AutoDST\"=dword:00000001", "\"Protocol\""})
            EXPECT_TRUE(contains(reg, v)) << v << "\n" << reg;
        const sim::BoardConfig config = sim::loadBoardConfig(board.dir + "/board.json");
        EXPECT_EQ(
            std::set<uint32_t>(config.faults.localAllocFail.begin(), config.faults.localAllocFail.end()),
            (std::set<uint32_t>{101, 102, 103}));
        EXPECT_EQ(config.timeZone.name, "Europe/London");
        ASSERT_EQ(config.chips.size(), 2u);
        const sim::BoardState s = board.state();
        std::set<std::string> apps;
        for (const sim::NotificationRecord& n : s.notifications.list) apps.insert(n.application);
        EXPECT_EQ(apps, (std::set<std::string>{"\\Windows\\One.exe", "\\WINDOWS\\TAMBLIN.EXE"}));
        EXPECT_EQ(chipTime(board, 0x51), "30-01-02 03:04:05");
        // A zone change after the boot registered starts a store, which writes the whole chip;
        // otherwise nothing but the boot's copy could have undone the register set.
        const bool stored = std::any_of(s.launches.begin(), s.launches.end(), [](const sim::LaunchRecord& l) {
            return l.args.value_or("") == "AppRunAfterTzChange";
        });
        if (stored)
            EXPECT_TRUE(contains(board.debugLog(), "RTC Time set (")) << board.debugLog();
        else
            EXPECT_EQ(s.chips.at(0x68).regs.at(7), 0x93) << "the boot's copy of the chip undid chip set";
    }
}

// A chip time set while a boot reads the chip: the tool takes the bus as another master would, and
// what the program writes back is merged with it, so the time set is never undone.
TEST(ParallelChanges, AChipTimeSetWhileABootReadsTheChipIsNeverUndone) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    // The rounds start the tool a little later into the boot each time.
    for (int round = 0; round < 3; ++round) {
        const std::string when = "2011-11-" + std::to_string(10 + round) + "T14:59:55";
        e2e::Board::Started boot = board.startTamblin();
        usleep(static_cast<useconds_t>(round * 5000));
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
    // The boot waits in real time for a service that never becomes ready, or becomes ready late:
    // late enough, on a slow machine, only at a later try (the power-down must come first).
    struct Try {
        sim::ApiReady ready;
        uint32_t afterMs;
    };
    for (const Try t : {Try{sim::ApiReady::Never, 0}, Try{sim::ApiReady::AfterMs, 1000},
                        Try{sim::ApiReady::AfterMs, 4000}, Try{sim::ApiReady::AfterMs, 16000}}) {
        sim::BoardConfig config = e2e::frozenConfig(1);
        config.frozen = false;
        config.apiReady = t.ready;
        config.apiReadyAfterMs = t.afterMs;
        e2e::Board board(config, e2e::registryFor(1));
        board.setSystemClock(e2e::fileTimeOf(2020, 1, 1, 0, 0, 0), board.state().systemClock.atHost);
        const sim::BoardState before = board.state();
        e2e::Board::Started boot = board.startTamblin();
        // The boot has read the chip (its bytes are in the trace) and waits for the service.
        for (int i = 0; i < 2000 && board.file("trace.log").find(" L SDA") == std::string::npos; ++i)
            usleep(2000);
        std::string out;
        ASSERT_EQ(board.runVboard({"power", "down"}, &out), 0) << out;
        const int code = boot.waitMs(60000);
        boot.kill();
        // The service became ready before the board went off: this try proves nothing.
        if (t.ready == sim::ApiReady::AfterMs && contains(board.debugLog(), "RTC Time restored")) continue;
        EXPECT_EQ(code, 3);
        EXPECT_TRUE(contains(board.debugLog(), "powered down while the program ran")) << board.debugLog();
        const sim::BoardState after = board.state();
        EXPECT_FALSE(after.power.on);
        EXPECT_EQ(after.systemClock.local, before.systemClock.local) << "the clock of an off board was set";
        EXPECT_TRUE(after.notifications.list.empty()) << "an off board registered a program";
        EXPECT_FALSE(contains(board.debugLog(), "RTC Time restored"));
        if (t.ready == sim::ApiReady::AfterMs) return;
    }
    ADD_FAILURE() << "the boot went past its wait for the service before every power-down";
}

// ---- set-time's exit code: the programs it started -----------------------------------------

struct SetTimeCase {
    std::string name;
    std::string fault;  // in force ("" none)
    bool registered;    // the program registered for time changes
    bool poweredDown;
    std::string time;
    int code;
    std::string says;  // on standard output or standard error
};

void PrintTo(const SetTimeCase& c, std::ostream* os) {
    e2e::printCase(c.name, os);
}

const SetTimeCase kSetTimes[] = {
    {"stored", "", true, false, "2026-07-01T10:00:00", 0,
     "exited with 1: RTC Time set (01.07.2026 10:00:00)"},
    {"a year the chip cannot hold", "", true, false, "2070-07-01T10:00:00", 1,
     "\"Error while setting RTC time\""},
    {"a bus held low", "i2cSclLowMs", true, false, "2026-07-01T10:00:00", 1, "exited with"},
    {"a board that is powered down", "", true, true, "2026-07-01T10:00:00", 1, "powered down"},
    {"nothing registered", "", false, false, "2026-07-01T10:00:00", 0, "System time set"},
};

class SetTimeExit : public ::testing::TestWithParam<SetTimeCase> {};

TEST_P(SetTimeExit, FailsWhenTheProgramItStartedFailedAndNamesItsResult) {
    const SetTimeCase& c = GetParam();
    sim::BoardConfig config = e2e::frozenConfig(1);
    if (!c.fault.empty()) config.faults = sim::faultsFromJson(sim::json{{c.fault, "forever"}});
    e2e::Board board(config, e2e::registryFor(1));
    board.changeState([&](sim::BoardState& s) {
        if (c.registered) {
            sim::NotificationRecord r;
            r.type = 1;   // CNT_EVENT
            r.event = 1;  // NOTIFICATION_EVENT_TIME_CHANGE
            r.application = "\\Windows\\Tamblin.exe";
            r.arguments = "AppRunAfterTimeChange";
            r.handle = s.notifications.nextHandle++;
            s.notifications.list.push_back(r);
        }
        if (c.poweredDown) s.power.on = false;
    });
    const int64_t clockBefore = board.state().systemClock.local;
    const e2e::Output r = vboardRun(board, {"set-time", c.time});
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_TRUE(contains(r.out + r.err, c.says)) << r.out << r.err;
    if (c.code != 0) EXPECT_TRUE(contains(r.err, "vboard: set-time: ")) << r.err;
    if (!board.state().power.on)
        EXPECT_EQ(board.state().systemClock.local, clockBefore) << "set-time changed an off board";
}

INSTANTIATE_TEST_SUITE_P(Vboard, SetTimeExit, ::testing::ValuesIn(kSetTimes), e2e::CaseNames());

// ---- A board the user may read but not write ---------------------------------------------------

TEST(ReadOnlyBoardProgram, TamblinNamesTheFileItCannotWriteAndExitsWithTwo) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    std::filesystem::remove_all(board.dir + "/objects");
    for (const auto& f : std::filesystem::directory_iterator(board.dir)) chmod(f.path().c_str(), 0444);
    chmod(board.dir.c_str(), 0555);
    // As root every file is writable: the program then runs as nobody, from a copy that nobody
    // can reach.
    std::vector<std::string> argv = {std::string(TAMBLIN_BIN_DIR) + "/tamblin"};
    e2e::ProgramsForAnyone copy({"tamblin"});
    if (geteuid() == 0) {
        std::string why;
        argv = copy.asNobody("tamblin", &why);
        if (argv.empty()) {
            chmod(board.dir.c_str(), 0755);
            GTEST_SKIP() << why;
        }
    }
    const e2e::Output r = e2e::runProgram(argv, board.dir);
    chmod(board.dir.c_str(), 0755);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_TRUE(contains(r.err, board.dir + "/")) << r.err;
    EXPECT_TRUE(contains(r.err, "Permission denied")) << r.err;
    EXPECT_FALSE(contains(r.err, "I2C bus not available")) << r.err;
}

// ---- A board built as asked is one the program can use ---------------------------------------

struct InitCase {
    std::vector<std::string> args;
    std::string registry;  // what registry.reg holds of the program's key ("" nothing)
    std::string boot;      // the boot's debug output holds this
    std::string warning;   // show warns so ("" no warning)
};

void PrintTo(const InitCase& c, std::ostream* os) {
    std::string words;
    for (const std::string& a : c.args) words += a + " ";
    e2e::printCase(words, os);
}

const InitCase kInits[] = {
    {{"--protocol", "3", "--address", "0x52"},
     "\"Protocol\"=dword:00000003\r\n\"SlaveAddr\"=dword:00000052",
     "RTC Time restored",
     ""},
    {{"--protocol", "3", "--address", "0x52", "--no-chip-registry"},
     "",
     "No external RTC found",
     "WARNING: no chip is on the bus at 0x68"},
    {{"--protocol", "2", "--reg", "SOFTWARE\\Vorlack\\Tamblin:SlaveAddr=dword:0x69"},
     "\"SlaveAddr\"=dword:00000069",
     "No external RTC found",
     "WARNING: no chip is on the bus at 0x69"},
    {{"--no-chip"}, "", "No external RTC found", "WARNING: no chip is on the bus at 0x68"},
};

class InitRegistry : public ::testing::TestWithParam<InitCase> {};

TEST_P(InitRegistry, WritesTheChipsRegistryValuesAndShowWarnsWhenTheProgramWillFindNoChip) {
    const InitCase& c = GetParam();
    e2e::Board scratch(e2e::frozenConfig(1));
    const std::string dir = scratch.dir + "/b";
    std::vector<std::string> argv{std::string(TAMBLIN_BIN_DIR) + "/vboard", "--board", dir, "init",
                                  "--frozen"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const e2e::Output init = e2e::runProgram(argv, "");
    ASSERT_EQ(init.code, 0) << init.err;
    const std::string reg = e2e::readFile(dir + "/registry.reg");
    if (c.registry.empty())
        EXPECT_FALSE(contains(reg, "Vorlack")) << reg;
    else
        EXPECT_TRUE(contains(reg, c.registry)) << reg;
    EXPECT_EQ(e2e::runProgram({std::string(TAMBLIN_BIN_DIR) + "/tamblin"}, dir).code, 1);
    EXPECT_TRUE(contains(e2e::readFile(dir + "/debug.log"), c.boot)) << e2e::readFile(dir + "/debug.log");
    const e2e::Output show =
        e2e::runProgram({std::string(TAMBLIN_BIN_DIR) + "/vboard", "--board", dir, "show"}, "");
    EXPECT_TRUE(contains(show.out, "the program looks for")) << show.out;
    if (c.warning.empty())
        EXPECT_FALSE(contains(show.out, "WARNING")) << show.out;
    else
        EXPECT_TRUE(contains(show.out, c.warning)) << show.out;
}

INSTANTIATE_TEST_SUITE_P(Vboard, InitRegistry, ::testing::ValuesIn(kInits), e2e::CaseNames());

// ---- Hostile board files ---------------------------------------------------------------------

struct HostileCase {
    std::string name;
    std::function<void(const e2e::Board&)> spoil;
    std::string field;  // the refusal names it
    bool boot = true;   // tamblin is tried too (the reader is the same; once per kind of file is enough)
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    e2e::printCase(c.name, os);
}

void changeJson(const e2e::Board& b, const std::function<void(sim::json&)>& change) {
    sim::json j = sim::json::parse(b.file("board.json"));
    change(j);
    std::ofstream(b.dir + "/board.json") << j.dump(2);
}

std::function<void(const e2e::Board&)> zoneField(const char* change, const char* field, int value) {
    return [=](const e2e::Board& b) {
        changeJson(b, [&](sim::json& j) { j["timeZone"][change][field] = value; });
    };
}

const HostileCase kHostile[] = {
    {"transition week 0", zoneField("daylightDate", "day", 0),
     "timeZone.daylightDate.day: week of the month 0"},
    {"transition week 6", zoneField("standardDate", "day", 6),
     "timeZone.standardDate.day: week of the month 6", false},
    {"hour 24", zoneField("standardDate", "hour", 24), "timeZone.standardDate.hour: hour 24", false},
    {"month 13", zoneField("daylightDate", "month", 13), "timeZone.daylightDate.month: month 13", false},
    {"weekday 7", zoneField("daylightDate", "dayOfWeek", 7), "timeZone.daylightDate.dayOfWeek: weekday 7",
     false},
    {"minute 60", zoneField("daylightDate", "minute", 60), "timeZone.daylightDate.minute: minute 60", false},
    {"a fault list of 20000 entries",
     [](const e2e::Board& b) {
         changeJson(b, [](sim::json& j) {
             sim::json list = sim::json::array();
             for (int i = 1; i <= 20000; ++i) list.push_back(i);
             j["faults"]["localAllocFail"] = list;
         });
     },
     "faults.localAllocFail: 20000 entries; a board takes at most 1000"},
    {"a byte fault list of 1001 entries",
     [](const e2e::Board& b) {
         changeJson(b, [](sim::json& j) {
             sim::json list = sim::json::array();
             for (int i = 1; i <= 1001; ++i) list.push_back({{"byte", i}, {"fault", "nak"}});
             j["faults"]["i2c"] = list;
         });
     },
     "faults.i2c: 1001 entries"},
};

class HostileFile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileFile, IsRefusedAtOnceWithTheFieldNamedByTheToolAndTheProgram) {
    const HostileCase& c = GetParam();
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    c.spoil(board);
    e2e::Board::Started show = board.startVboard({"show"});
    EXPECT_EQ(show.waitMs(20000), 1) << "show did not end";
    show.kill();
    EXPECT_TRUE(contains(board.file(".stderr"), c.field)) << board.file(".stderr");
    if (!c.boot) return;
    const e2e::Output boot = e2e::runProgram({std::string(TAMBLIN_BIN_DIR) + "/tamblin"}, board.dir);
    EXPECT_EQ(boot.code, 2) << boot.err;
    EXPECT_TRUE(contains(boot.err, c.field)) << boot.err;
}

INSTANTIATE_TEST_SUITE_P(Vboard, HostileFile, ::testing::ValuesIn(kHostile), e2e::CaseNames());

TEST(HostileFile, AFaultListAtTheLimitIsReadQuickly) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    changeJson(board, [](sim::json& j) {
        sim::json bytes = sim::json::array(), allocs = sim::json::array();
        for (int i = 1000; i < 2000; ++i) bytes.push_back({{"byte", i}, {"fault", "nak"}});
        for (int i = 1000; i < 2000; ++i) allocs.push_back(i);
        j["faults"]["i2c"] = bytes;
        j["faults"]["localAllocFail"] = allocs;
    });
    e2e::Board::Started boot = board.startTamblin();
    EXPECT_EQ(boot.waitMs(30000), 1) << "the program took too long over a list of 1000 faults";
    boot.kill();
    EXPECT_TRUE(contains(board.debugLog(), "RTC Time restored")) << board.debugLog();
    e2e::Board::Started show = board.startVboard({"fault", "list"});
    EXPECT_EQ(show.waitMs(30000), 0);
    show.kill();
    EXPECT_TRUE(contains(show.output(), "i2c:1999=nak")) << show.output().substr(0, 200);
}

TEST(HostileFile, ARegistryWithCarriageReturnLineEndsIsRead) {
    e2e::Board board(e2e::frozenConfig(3), "");
    std::ofstream(board.dir + "/registry.reg")
        << "; written on an old "
           "Mac\r[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin]\r\"Protocol\"=dword:00000003\r";
    std::string out;
    EXPECT_EQ(board.runVboard({"registry", "show"}, &out), 0);
    EXPECT_TRUE(contains(out, "\"Protocol\"=dword:00000003")) << out;
    EXPECT_EQ(board.runTamblin(), 1);
    EXPECT_TRUE(contains(board.debugLog(), "RTC Time restored")) << board.debugLog();
}

// Files saved by an editor that adds no line end after the last line: the tool's edits and the
// program's flush go on from a line of their own, and the comments at the top stay.
TEST(HostileFile, ARegistryWithoutAFinalLineEndIsEdited) {
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]";
    const struct {
        std::string text;
        std::string kept;  // what of it must still be there
    } kFiles[] = {
        {"; Regist", "; Regist\r\n"},
        {"; Registry\r\n; of the board", "; Registry\r\n; of the board\r\n"},
        {"; head\r" + key + "\r\"A\"=dword:1", "\"A\"=dword:00000001"},
        {key + "\n\"A\"=hex:01,\\\n  02", "\"A\"=hex:01,02"},
        {"; head\n" + key, "; head\n"},
    };
    for (const auto& f : kFiles) {
        SCOPED_TRACE(f.text);
        e2e::Board board(e2e::frozenConfig(1), f.text);
        std::string out;
        EXPECT_EQ(board.runVboard({"registry", "set", "SOFTWARE\\Test", "B", "dword:2"}, &out), 0) << out;
        std::string reg = board.file("registry.reg");
        EXPECT_TRUE(contains(reg, f.kept)) << reg;
        EXPECT_TRUE(contains(reg, key + "\r\n")) << reg;
        EXPECT_TRUE(contains(reg, "\"B\"=dword:00000002\r\n")) << reg;
        EXPECT_EQ(board.runVboard({"registry", "delete", "SOFTWARE\\Test", "B"}, &out), 0) << out;
        reg = board.file("registry.reg");
        EXPECT_FALSE(contains(reg, "\"B\"")) << reg;
        EXPECT_TRUE(contains(reg, f.kept)) << reg;
    }
}

// ---- Input as people type it -------------------------------------------------------------------

struct InputCase {
    int code;
    std::vector<std::string> args;
    std::string says;  // on standard output or standard error
};

void PrintTo(const InputCase& c, std::ostream* os) {
    std::string words;
    for (const std::string& a : c.args) words += a + " ";
    e2e::printCase(words, os);
}

const InputCase kInputs[] = {
    {0, {"registry", "set", "HKLM\\SOFTWARE\\Test", "A", "dword:1"}, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]"},
    {0, {"registry", "set", "hkcu\\Software\\Test", "A", "dword:1"}, "[HKEY_CURRENT_USER\\Software\\Test]"},
    {0, {"registry", "set", "HKLM\\SOFTWARE\\Vorlack\\Tamblin", "SlaveAddr", "dword:0xD0"}, "is 0x68"},
    {0, {"set-time", "--local", "2026-07-01 14:00"}, "UTC (local time 2026-07-01 14:00:00.000 UTC+02:00)"},
    {0, {"set-time", "--local", "2026-01-15 14:00"}, "System time set to 2026-01-15 13:00:00.000 UTC"},
    {2, {"set-time", "--local", "2026-03-29 02:30"}, "does not exist in the board's time zone"},
    {0, {"set-time", "--local", "2026-10-25 02:30"}, "System time set to 2026-10-25 00:30:00.000 UTC"},
    {2, {"set-time", "--local", "2026-07-01T14:00Z"}, "no local time"},
    {0, {"chip", "time", "--local", "2026-01-15 10:00:05"}, "Chip 0x68 set to 2026-01-15 09:00:05"},
    {0, {"chip", "set", "0x07=0x93"}, "Chip 0x68 register 0x07 = 0x93 (was 0x"},
    {0, {"chip", "nak", "3"}, "Chip 0x68 refuses its next 3 address phases"},
    {0, {"chip", "nak", "0"}, "Chip 0x68 answers its address again"},
    {0, {"fault", "add", "i2c:2=NAK", "KERNELBRIDGE=Absent"}, "i2c:2=nak\nFault added: kernelBridge=absent"},
    {2, {"fault", "add", "i2c:2=nack"}, "(did you mean 'nak'?)"},
    {0, {"fault", "add", "i2cSclLowMs=Forever"}, "Fault added: i2cSclLowMs=forever"},
    {2, {"zone", "set", "Europe/Berln"}, "(did you mean Europe/Berlin?)"},
    {2, {"set-time"}, "vboard: set-time: "},
};

class Input : public ::testing::TestWithParam<InputCase> {};

TEST_P(Input, IsTakenAsPeopleTypeIt) {
    const InputCase& c = GetParam();
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    const e2e::Output r = vboardRun(board, c.args);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_TRUE(contains(r.out + r.err, c.says)) << r.out << r.err;
    EXPECT_FALSE(contains(r.err, "vboard: vboard")) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Vboard, Input, ::testing::ValuesIn(kInputs), e2e::CaseNames());

TEST(Input, ScanReadProbesAsI2cdetectDashR) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    std::string out;
    ASSERT_EQ(board.runVboard({"scan", "-r", "0x68", "0x69"}, &out), 0) << out;
    EXPECT_TRUE(contains(out, "60:                         68 --")) << out;
    ASSERT_EQ(board.runVboard({"trace", "show", "-t"}, &out), 0);
    EXPECT_EQ(out.rfind("S D1 A ", 0), 0u) << out;  // the address with the read bit, then a byte read
    EXPECT_TRUE(contains(out, " N P\nS D3 N P")) << out;
}

TEST(Input, SeveralChipsAreListedWhenOneMustBeChosen) {
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.chips.push_back(sim::ChipConfig{3, 0x51});
    e2e::Board board(config, e2e::registryFor(1));
    const e2e::Output r = vboardRun(board, {"chip", "time", "2026-01-01"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(
        contains(r.err, "several chips, 0x68 (protocol 1), 0x51 (protocol 3): choose one with --address"))
        << r.err;
}

TEST(Input, ShowEndsWithTheLastLinesOfTheDebugLog) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    std::ofstream log(board.dir + "/debug.log");
    for (int i = 1; i <= 50; ++i) log << "line " << i << "\r\n";
    log.close();
    std::string out;
    ASSERT_EQ(board.runVboard({"show"}, &out), 0);
    EXPECT_TRUE(contains(out, "Debug log (its last 20 lines; 30 earlier: 'vboard log'):\nline 31\r\n"))
        << out;
    EXPECT_FALSE(contains(out, "line 30\r\n"));
    EXPECT_EQ(out.substr(out.size() - 9), "line 50\r\n");
}

}  // namespace vboard_edits_test
