// vboard's everyday tools on a board of the tests' own: faults added and cleared as board.json
// holds them, the bus scan as i2cdetect draws it, and `show` comparing the clocks as hwclock does.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e_util.h"

// A namespace of its own: the tests are compiled together in unity builds.
namespace vboard_tools_test {

sim::json boardJson(const e2e::Board& b) {
    return sim::json::parse(b.file("board.json"));
}

std::string vboardOut(const e2e::Board& b, const std::vector<std::string>& args, int expectedCode = 0) {
    std::string out;
    EXPECT_EQ(b.runVboard(args, &out), expectedCode) << args[0] << "\n" << out;
    return out;
}

// Exit code, standard output and standard error.
e2e::Output vboardRun(const e2e::Board& b, const std::vector<std::string>& args) {
    std::vector<std::string> argv{std::string(TAMBLIN_BIN_DIR) + "/vboard", "--board", b.dir};
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e::runProgram(argv, b.dir);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// ---- Faults ------------------------------------------------------------------------------------

struct FaultCase {
    std::string typed;   // as typed
    std::string listed;  // as `fault list` prints it
    std::string key;     // board.json "faults" key
    sim::json stored;    // its value there
    std::string effect;  // a part of what `fault list` says it does
};

const FaultCase kFaults[] = {
    {"i2c:3=nak", "i2c:3=nak", "i2c", sim::json::array({{{"byte", 3}, {"fault", "nak"}}}),
     "does not acknowledge byte 3"},
    {"I2C:0=stayBusy", "i2c:0=stayBusy", "i2c", sim::json::array({{{"byte", 0}, {"fault", "stayBusy"}}}),
     "from the start the unit stays busy"},
    {"kernelBridge", "kernelBridge=absent", "kernelBridge", "absent", "does not know the kernel-call bridge"},
    {"bridgeprobe=zero", "bridgeProbe=zero", "bridgeProbe", "zero", "answers zero"},
    {"BRIDGEHANDLER=Plain", "bridgeHandler=plain", "bridgeHandler", "plain", "has no restrictions"},
    {"localAllocFail=0x10", "localAllocFail=16", "localAllocFail", sim::json::array({16}), "number 16"},
    {"gpioInputsLow=117", "gpioInputsLow=117", "gpioInputsLow", sim::json::array({117}), "pad 117 low"},
    {"i2cStuckSda=5", "i2cStuckSda=5", "i2cStuckSda", 5, "until it has seen 5 more clock pulses"},
    {"i2cSclLowMs=forever", "i2cSclLowMs=forever", "i2cSclLowMs", "forever", "held low for good"},
    {"i2cClockStretchNs=20000", "i2cClockStretchNs=20000", "i2cClockStretchNs", 20000, "20000 ns"},
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    e2e::printCase(c.typed, os);
}

class FaultAdd : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultAdd, StoresWhatTheBoardReadsListsItAsAddTakesItAndClearsIt) {
    const FaultCase& c = GetParam();
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    EXPECT_TRUE(contains(vboardOut(board, {"fault", "add", c.typed}), "Fault added: " + c.listed));
    EXPECT_EQ(boardJson(board)["faults"][c.key], c.stored);

    const std::string list = vboardOut(board, {"fault", "list"});
    EXPECT_TRUE(contains(list, c.listed)) << list;
    EXPECT_TRUE(contains(list, c.effect)) << list;
    EXPECT_TRUE(contains(vboardOut(board, {"show"}), c.listed));

    // What the list prints is what clear takes.
    EXPECT_TRUE(contains(vboardOut(board, {"fault", "clear", c.listed}), "Cleared 1 fault; 0 in force"));
    EXPECT_FALSE(boardJson(board).contains("faults"));
    EXPECT_TRUE(contains(vboardOut(board, {"fault", "list"}), "No faults in force."));
}

INSTANTIATE_TEST_SUITE_P(Vboard, FaultAdd, ::testing::ValuesIn(kFaults), e2e::CaseNames());

TEST(FaultAdd, ReplacesAScalarOrAByteFaultAndRefusesAListEntryTwice) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"fault", "add", "i2c:2=nak", "i2cStuckSda=3", "localAllocFail=1"});
    const std::string out = vboardOut(board, {"fault", "add", "i2c:2=busError", "i2cStuckSda=forever"});
    EXPECT_TRUE(contains(out, "Fault added: i2c:2=busError (replaces i2c:2=nak)")) << out;
    EXPECT_TRUE(contains(out, "(replaces i2cStuckSda=3)")) << out;
    const sim::json f = boardJson(board)["faults"];
    EXPECT_EQ(f["i2c"], sim::json::array({{{"byte", 2}, {"fault", "busError"}}}));
    EXPECT_EQ(f["i2cStuckSda"], "forever");

    const std::string before = board.file("board.json");
    vboardOut(board, {"fault", "add", "localAllocFail=1"}, 1);
    EXPECT_EQ(board.file("board.json"), before);
}

TEST(FaultClear, RemovesOneListEntryOneByteOrEverything) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"fault", "add", "localAllocFail=1", "localAllocFail=4", "i2c:2=nak", "i2c:5=stop",
                      "virtualCopy"});
    vboardOut(board, {"fault", "clear", "localAllocFail=4", "i2c:5"});
    sim::json f = boardJson(board)["faults"];
    EXPECT_EQ(f["localAllocFail"], sim::json::array({1}));
    EXPECT_EQ(f["i2c"], sim::json::array({{{"byte", 2}, {"fault", "nak"}}}));
    // One that is not in force refuses the whole command.
    const std::string before = board.file("board.json");
    vboardOut(board, {"fault", "clear", "virtualCopy", "i2c:9"}, 1);
    EXPECT_EQ(board.file("board.json"), before);
    EXPECT_TRUE(contains(vboardOut(board, {"fault", "clear"}), "Cleared 3 faults; 0 in force"));
    EXPECT_FALSE(boardJson(board).contains("faults"));
}

TEST(FaultAdd, StrikesTheProgramAndIsMarkedInTheTrace) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"fault", "add", "i2c:1=nak", "i2c:2=nak", "i2c:3=nak", "i2c:4=nak"});
    board.runTamblin();
    EXPECT_TRUE(contains(board.debugLog(), "No external RTC found")) << board.debugLog();
    const std::string trace = vboardOut(board, {"trace", "show"});
    EXPECT_TRUE(contains(trace, "FAULT: nak")) << trace;
}

// ---- The bus scan ------------------------------------------------------------------------------

TEST(Scan, DrawsTheAnsweringAddressesAsI2cdetectDoes) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"chip", "add", "3", "-a", "0x51"});
    const std::string out = vboardOut(board, {"scan"});
    EXPECT_EQ(out,
              "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
              "00:          -- -- -- -- -- -- -- -- -- -- -- -- --\n"
              "10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --\n"
              "20: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --\n"
              "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --\n"
              "40: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --\n"
              "50: -- 51 -- -- -- -- -- -- -- -- -- -- -- -- -- --\n"
              "60: -- -- -- -- -- -- -- -- 68 -- -- -- -- -- -- --\n"
              "70: -- -- -- -- -- -- -- --\n");
    EXPECT_TRUE(contains(vboardOut(board, {"scan", "--all", "0x70"}),
                         "70: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --"));
    // Each probe is an address phase on the wires, in the trace.
    const std::string trace = vboardOut(board, {"trace", "show"});
    EXPECT_TRUE(contains(trace, "byte 0xD0 ACK")) << trace;
    EXPECT_TRUE(contains(trace, "byte 0xA2 ACK")) << trace;
    EXPECT_TRUE(contains(trace, "byte 0xD2 NAK")) << trace;
}

TEST(Scan, AChipToldToRefuseCountsTheProbeAsAnAddressPhase) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"chip", "nak", "1"});
    EXPECT_TRUE(contains(vboardOut(board, {"show"}), "refuses its next 1 address phase"));
    EXPECT_TRUE(contains(vboardOut(board, {"scan", "0x68", "0x68"}), "60:                         --"));
    EXPECT_TRUE(contains(vboardOut(board, {"scan", "0x68", "0x68"}), "60:                         68"));
}

struct HeldBus {
    std::vector<std::string> faults;
    bool recovers;
    std::string message;
};

const HeldBus kHeld[] = {
    {{"i2cStuckSda=3"}, true, "SDA is held low"},
    {{"i2cStuckSda=9"}, true, "SDA is held low"},
    {{"i2cStuckSda=forever"}, false, "SDA is held low"},
    {{"i2cSclLowMs=forever"}, false, "SCL is held low"},
};

void PrintTo(const HeldBus& c, std::ostream* os) {
    e2e::printCase(c.faults[0], os);
}

class ScanHeld : public ::testing::TestWithParam<HeldBus> {};

TEST_P(ScanHeld, RefusesWithTheLineNamedAndRecoversWhatNinePulsesFree) {
    const HeldBus& c = GetParam();
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    std::vector<std::string> add{"fault", "add"};
    add.insert(add.end(), c.faults.begin(), c.faults.end());
    vboardOut(board, add);
    const e2e::Output refused = vboardRun(board, {"scan"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(contains(refused.err, c.message)) << refused.err;
    EXPECT_EQ(refused.out, "");
    const e2e::Output recovered = vboardRun(board, {"scan", "--recover"});
    EXPECT_EQ(recovered.code, c.recovers ? 0 : 1) << recovered.err;
    EXPECT_EQ(contains(recovered.out, "60: -- -- -- -- -- -- -- -- 68"), c.recovers) << recovered.out;
}

INSTANTIATE_TEST_SUITE_P(Vboard, ScanHeld, ::testing::ValuesIn(kHeld), e2e::CaseNames());

TEST(Scan, BusRecoveryTakesThePulsesTheStuckSlaveNeeds) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"fault", "add", "i2cStuckSda=4"});
    EXPECT_TRUE(contains(vboardOut(board, {"scan", "--recover"}), "SDA free after 4 clock pulses"));
}

TEST(Scan, RefusesOnABoardThatIsPoweredDown) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"power", "down"});
    EXPECT_TRUE(contains(vboardOut(board, {"power", "status"}), "Board power: off"));
    const std::string before = board.file("state.json");
    const e2e::Output r = vboardRun(board, {"scan"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(contains(r.err, "powered down")) << r.err;
    EXPECT_EQ(board.file("state.json"), before);
}

TEST(Scan, WaitsForTheBusMutexLikeEveryDriver) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    e2e::Board::Started holder = board.startVboard({"i2c-hold", "400"});
    // The holder says so once it has the mutex; the scan then has to wait for it.
    for (int i = 0; i < 200 && !contains(holder.output(), "holding I2C"); ++i) usleep(10000);
    ASSERT_TRUE(contains(holder.output(), "holding I2C"));
    const std::string out = vboardOut(board, {"scan", "0x68", "0x68"});
    EXPECT_TRUE(contains(holder.output(), "releasing I2C")) << "the scan ended before the holder let go";
    EXPECT_EQ(holder.waitMs(5000), 0);
    EXPECT_TRUE(contains(out, "68")) << out;
}

// ---- show: the clocks compared, the chips, the faults -----------------------------------------

TEST(Show, ComparesTheSystemClockWithEachChipAsHwclockDoes) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"set-time", "2026-01-15T10:00:05.250"});
    vboardOut(board, {"chip", "time", "2026-01-15T10:00:00"});
    vboardOut(board, {"chip", "add", "4", "-a", "0x32", "--time", "2026-01-15T10:00:09"});
    const std::string out = vboardOut(board, {"show"});
    EXPECT_TRUE(contains(out, "system time     2026-01-15 10:00:05.250 UTC")) << out;
    EXPECT_TRUE(contains(out, "local time      2026-01-15 11:00:05.250 UTC+01:00")) << out;
    EXPECT_TRUE(contains(out, "chip 0x68       2026-01-15 10:00:00.000 UTC, system - chip = +5.250 s"))
        << out;
    EXPECT_TRUE(contains(out, "chip 0x32       2026-01-15 10:00:09.000 UTC, system - chip = -3.750 s"))
        << out;
    EXPECT_TRUE(contains(out, "0x68 protocol 1: 2026-01-15 10:00:00 Thu")) << out;
    EXPECT_TRUE(contains(out, "power on")) << out;
}

TEST(Show, NamesAChipWhoseTimeIsNotValidAndTheBoardsPower) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"chip", "backup-loss"});
    vboardOut(board, {"power", "down"});
    const std::string out = vboardOut(board, {"show"});
    EXPECT_TRUE(contains(out, "invalid-time flag SET")) << out;
    EXPECT_TRUE(contains(out, "power off (the chips run on their backup supply)")) << out;
    EXPECT_TRUE(contains(out, "the board is powered down")) << out;
}

struct DaylightCase {
    std::string zone;
    std::string time;          // system time, UTC
    std::optional<bool> flag;  // the kernel's daylight flag
    bool autoDst;
    std::string explanation;
};

const DaylightCase kDaylight[] = {
    {"cet", "2026-07-01T12:00:00", true, true,
     "on: daylight saving time, as the platform's rule for the zone record (daylight time from its start up "
     "to and including the instant it ends) has it"},
    {"cet", "2026-01-15T12:00:00", false, true,
     "off: standard time, as the platform's rule for the zone record (daylight time from its start up to and "
     "including the instant it ends) has it"},
    {"cet", "2026-07-01T12:00:00", false, true, "the flag was set for another time"},
    {"cet", "2026-07-01T12:00:00", false, false, "automatic daylight saving is off"},
    {"cet", "2026-07-01T12:00:00", std::nullopt, true, "never set"},
    // Both changes, at 01:00 UTC in the EU.
    {"Europe/Berlin", "2026-03-29T00:59:59", false, true, "standard time, as the platform's rule"},
    {"Europe/Berlin", "2026-03-29T01:00:00", true, true, "daylight saving time, as the platform's rule"},
    {"Europe/Berlin", "2026-10-25T01:00:01", false, true, "standard time, as the platform's rule"},
    // Southern hemisphere: summer across the new year.
    {"sydney", "2026-01-15T00:00:00", true, true, "daylight saving time, as the platform's rule"},
    {"sydney", "2026-06-15T00:00:00", false, true, "standard time, as the platform's rule"},
    {"utc", "2026-07-01T12:00:00", false, true, "the zone has no daylight saving time"},
    // The instant daylight time ends is still daylight time to the platform, standard time to the
    // time-zone database; and the record's one rule is not the rules of every year.
    {"Europe/Berlin", "2026-10-25T01:00:00Z", true, true,
     "daylight saving time, as the platform's rule for the zone record (daylight time from its start up to "
     "and "
     "including the instant it ends) has it for the system time\n                  the time-zone database "
     "(Europe/Berlin) has standard time for this instant: it counts the instant daylight time ends as "
     "standard "
     "time already"},
    {"Europe/Berlin", "1990-10-15T12:00:00Z", true, true,
     "the time-zone database (Europe/Berlin) has standard time for this instant: the record holds one rule "
     "for "
     "every year, and the database's rules for 1990 differ"},
};

void PrintTo(const DaylightCase& c, std::ostream* os) {
    e2e::printCase(c.zone + " " + c.time, os);
}

class ShowDaylight : public ::testing::TestWithParam<DaylightCase> {};

TEST_P(ShowDaylight, ExplainsTheFlagAgainstTheZonesRulesAndAutoDst) {
    const DaylightCase& c = GetParam();
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"zone", "set", c.zone});
    vboardOut(board, {"set-time", c.time});
    board.changeState([&](sim::BoardState& s) { s.daylight = c.flag; });
    if (!c.autoDst) vboardOut(board, {"registry", "set", "Software\\Microsoft\\Clock", "AutoDST", "dword:0"});
    const std::string out = vboardOut(board, {"show"});
    EXPECT_TRUE(contains(out, c.explanation)) << c.zone << " " << c.time << "\n" << out;
}

INSTANTIATE_TEST_SUITE_P(Vboard, ShowDaylight, ::testing::ValuesIn(kDaylight), e2e::CaseNames());

TEST(Show, AfterABootTheFlagIsTheOneTheProgramDecided) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    vboardOut(board, {"chip", "time", "2026-07-01T12:00:00"});
    EXPECT_EQ(board.runTamblin(), 1);  // the program's exit code when it ran
    const std::string out = vboardOut(board, {"show"});
    EXPECT_TRUE(contains(out, "daylight flag   on: daylight saving time")) << out;
    EXPECT_TRUE(contains(out, "system - chip = +0.000 s")) << out;
}

// ---- Time on a board with virtual clocks: crystals, the true time, advance -----------------

TEST(Show, GivesEachChipsOffsetFromTrueTimeAndSystemInMillisecondsAndItsRate) {
    e2e::Board board(e2e::virtualConfig(1), e2e::registryFor(1));
    const int64_t t0 = e2e::fileTimeOf(2026, 1, 15, 10, 0, 0);
    board.startAt(t0);
    board.changeState([&](sim::BoardState& s) { s.systemClock = {t0 + 52'500'000, t0}; });  // 5.25 s ahead
    EXPECT_TRUE(contains(vboardOut(board, {"chip", "set", "--ppm", "50"}),
                         "crystal +50.000 ppm (gains 4.320 s a day)"));
    vboardOut(board, {"chip", "add", "4", "-a", "0x32", "--ppm", "-20", "--time", "2026-01-15T10:00:00"});
    EXPECT_TRUE(contains(vboardOut(board, {"advance", "1d"}), "Board time now 2026-01-16 10:00:00.000 UTC"));
    const std::string out = vboardOut(board, {"show"});
    EXPECT_TRUE(contains(out, "clocks virtual")) << out;
    EXPECT_TRUE(contains(out, "true time       2026-01-16 10:00:00.000 UTC (the board's virtual time)"))
        << out;
    EXPECT_TRUE(contains(out, "chip 0x68       2026-01-16 10:00:04.320 UTC, system - chip = +0.930 s"))
        << out;
    EXPECT_TRUE(contains(out,
                         "chip - true time = +4320.000 ms, chip - system = -930.000 ms; crystal +50.000 ppm "
                         "(gains 4.320 s a day)"))
        << out;
    EXPECT_TRUE(contains(out, "chip 0x32       2026-01-16 09:59:58.272 UTC")) << out;
    EXPECT_TRUE(contains(out, "chip - true time = -1728.000 ms, chip - system = -6978.000 ms")) << out;
    EXPECT_TRUE(contains(out, "crystal -20.000 ppm (loses 1.728 s a day)")) << out;
}

TEST(Advance, MovesTheChipsOnThroughAPowerCycleAndOnlyOnABoardWithVirtualClocks) {
    e2e::Board board(e2e::virtualConfig(1), e2e::registryFor(1));
    const int64_t t0 = e2e::fileTimeOf(2026, 1, 15, 10, 0, 0);
    board.startAt(t0);
    vboardOut(board, {"chip", "set", "--ppm", "-20"});
    vboardOut(board, {"power", "down"});
    vboardOut(board, {"advance", "8h"});
    vboardOut(board, {"power", "up"});
    EXPECT_EQ(board.trueTime(), t0 + 8 * 3600 * 10'000'000LL);
    const std::string out = vboardOut(board, {"show"});
    // 8 h at -20 ppm: 576 ms lost while the board was off.
    EXPECT_TRUE(contains(out, "chip 0x68       2026-01-15 17:59:59.424 UTC")) << out;

    struct Refusal {
        sim::BoardConfig config;
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    sim::BoardConfig real = e2e::frozenConfig(1);
    real.frozen = false;
    const Refusal refusals[] = {
        {e2e::frozenConfig(1), {"advance", "1h"}, 1, "stand still"},
        {real, {"advance", "1h"}, 1, "run with the host's"},
        {e2e::virtualConfig(1), {"advance", "1x"}, 2, "expected a duration"},
        {e2e::virtualConfig(1), {"advance", "0s"}, 2, "not a duration"},
        {e2e::virtualConfig(1), {"chip", "set"}, 2, "--ppm"},
        {e2e::virtualConfig(1), {"chip", "set", "--ppm", "fast"}, 2, "parts per million"},
        {e2e::virtualConfig(1), {"chip", "add", "2", "-a", "0x50", "--ppm", "20000"}, 2, "beyond"},
    };
    for (const Refusal& r : refusals) {
        e2e::Board b(r.config, e2e::registryFor(1));
        const std::string before = b.file("state.json") + b.file("board.json");
        const e2e::Output o = vboardRun(b, r.args);
        EXPECT_EQ(o.code, r.code) << r.args[0] << " " << r.args[1] << "\n" << o.err;
        EXPECT_TRUE(contains(o.err, r.says)) << o.err;
        EXPECT_EQ(b.file("state.json") + b.file("board.json"), before);
    }
}

}  // namespace vboard_tools_test

namespace vboard_tools_test {

// ---- make run's demo ---------------------------------------------------------------------------

TEST(MakeRunDemo, ReadsTopToBottomWithTheProgramsLinesWhereTheyHappen) {
    e2e::Board scratch(e2e::frozenConfig(1));
    const std::string board = scratch.dir + "/demo";
    // In the C locale: a shell started under a locale the machine lacks warns on its standard
    // error, which is the environment's noise, not the demo's.
    const e2e::Output r =
        e2e::runProgram({"/usr/bin/env", "LC_ALL=C", "/bin/bash",
                         std::string(TAMBLIN_SOURCE_DIR) + "/scripts/run-demo.sh", TAMBLIN_BIN_DIR, board},
                        "");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string& out = r.out;
    EXPECT_EQ(r.err, "");
    // In the order things happen: the boot's debug line inside the boot, the exit code explained,
    // the time set before the program it starts writes to the chip.
    const std::vector<std::string> order = {
        "== A fresh default board",
        "== Boot:",
        "| RTC Time restored (",
        "tamblin exited with 1 (it ran; the debug output says what it did)",
        "System time set to",
        "Notification service started",
        "RTC Time set (",
        "process ",
        "== The board afterwards",
        "system - chip = ",
        "== The RTC chip's registers",
        "60: -- -- -- -- -- -- -- -- 68",
        "S D0 A 00 A Sr D1 A"};
    size_t at = 0;
    for (const std::string& part : order) {
        const size_t found = out.find(part, at);
        ASSERT_NE(found, std::string::npos) << "\"" << part << "\" after offset " << at << ":\n" << out;
        at = found + part.size();
    }
    // The time set and the boot fall in one season: the flag agrees with the zone's rules.
    EXPECT_TRUE(contains(out,
                         "as the platform's rule for the zone record (daylight time from its start up to and "
                         "including the instant it ends) has it for the system time"))
        << out;
}

}  // namespace vboard_tools_test
