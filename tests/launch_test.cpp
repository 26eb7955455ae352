// Starting as a Windows CE 5.0 image does: the platform's common launches of
// [HKEY_LOCAL_MACHINE\init] merged with device/tamblin.reg, the kernel's start-up of them on the
// board (vboard power up), and Tamblin's SignalStarted on every way its boot ends.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "app/notification.h"
#include "sim/ceapi/regfile.h"
#include "sim/ceapi/tools_api.h"
#include "tests/e2e_util.h"

namespace {

const std::string kFixture = std::string(TAMBLIN_SOURCE_DIR) + "/tests/fixtures/ce5-common-init.reg";
const std::string kFragment = std::string(TAMBLIN_SOURCE_DIR) + "/device/tamblin.reg";

bool contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// ---- The fragment merged with the platform's launches -------------------------------------------

std::set<std::string> launchNames(const sim::reg::Registry& r) {
    std::set<std::string> out;
    for (const sim::InitLaunch& l : sim::initLaunches(r, nullptr))
        out.insert("Launch" + std::to_string(l.number));
    return out;
}

// What goes wrong when `fragment` is merged after `base` as the image builder merges .reg files.
std::vector<std::string> mergeProblems(const std::string& base, const std::string& fragment) {
    std::vector<std::string> problems;
    const sim::reg::Registry b = sim::reg::parse(base, "base");
    const sim::reg::Registry f = sim::reg::parse(fragment, "fragment");
    // A value merged later replaces one of its name without a word: a slot taken twice loses a program.
    for (const std::string& n : launchNames(f))
        if (launchNames(b).count(n)) problems.push_back(n + " taken twice");
    const sim::reg::Registry merged = sim::reg::parse(base + "\r\n" + fragment, "merged");
    const std::vector<sim::InitLaunch> launches = sim::initLaunches(merged, nullptr);
    std::map<uint32_t, std::vector<uint32_t>> graph;
    for (const sim::InitLaunch& l : launches) graph[l.number] = l.depends;
    for (const sim::InitLaunch& l : launches) {
        if (!l.problem.empty()) problems.push_back(l.problem);
        for (uint32_t d : l.depends) {
            if (!graph.count(d))
                problems.push_back("Launch" + std::to_string(l.number) + " depends on " + std::to_string(d) +
                                   ", which is no launch");
            else if (d >= l.number)
                problems.push_back("Launch" + std::to_string(l.number) + " depends on " + std::to_string(d) +
                                   ", which does not come before it");
        }
    }
    // A cycle: a launch reachable from itself.
    for (const auto& [start, _] : graph) {
        std::vector<uint32_t> todo = graph[start];
        std::set<uint32_t> seen;
        while (!todo.empty()) {
            const uint32_t n = todo.back();
            todo.pop_back();
            if (n == start) {
                problems.push_back("Launch" + std::to_string(start) + " waits for itself");
                break;
            }
            if (!seen.insert(n).second || !graph.count(n)) continue;
            todo.insert(todo.end(), graph[n].begin(), graph[n].end());
        }
    }
    return problems;
}

TEST(ImageLaunches, TheFragmentTakesNoSlotOfThePlatformAndWaitsOnlyForOnesBeforeIt) {
    const std::string base = e2e::readFile(kFixture);
    const std::string fragment = e2e::readFile(kFragment);
    ASSERT_FALSE(base.empty());
    ASSERT_FALSE(fragment.empty());
    EXPECT_EQ(mergeProblems(base, fragment), std::vector<std::string>{});

    // What the merge gives: the platform's five and Tamblin's, which waits for the device manager.
    const std::vector<sim::InitLaunch> launches =
        sim::initLaunches(sim::reg::parse(base + "\r\n" + fragment, "merged"), nullptr);
    std::vector<std::string> order;
    for (const sim::InitLaunch& l : launches) order.push_back(std::to_string(l.number) + " " + l.program);
    EXPECT_EQ(order, (std::vector<std::string>{"10 shell.exe", "20 device.exe", "25 Tamblin.exe",
                                               "30 gwes.exe", "50 explorer.exe", "60 servicesStart.exe"}));
    EXPECT_EQ(launches[2].depends, std::vector<uint32_t>{20});
}

TEST(ImageLaunches, TheMergeCheckFindsWhatWouldBreakAnImage) {
    struct Case {
        const char* what;
        const char* fragment;
        std::vector<std::string> problems;
    };
    const Case cases[] = {
        {"the slot of the platform's services (what the fragment once shipped)",
         "[HKEY_LOCAL_MACHINE\\init]\r\n\"Launch60\"=\"Tamblin.exe\"\r\n\"Depend60\"=hex:14,00\r\n",
         {"Launch60 taken twice"}},
        {"a dependency on no launch",
         "[HKEY_LOCAL_MACHINE\\init]\r\n\"Launch25\"=\"Tamblin.exe\"\r\n\"Depend25\"=hex:28,00\r\n",
         {"Launch25 depends on 40, which is no launch"}},
        {"a dependency on a later launch",
         "[HKEY_LOCAL_MACHINE\\init]\r\n\"Launch25\"=\"Tamblin.exe\"\r\n\"Depend25\"=hex:32,00\r\n",
         {"Launch25 depends on 50, which does not come before it"}},
        {"two launches waiting for each other",
         "[HKEY_LOCAL_MACHINE\\init]\r\n\"Launch70\"=\"A.exe\"\r\n\"Depend70\"=hex:47,00\r\n"
         "\"Launch71\"=\"B.exe\"\r\n\"Depend71\"=hex:46,00\r\n",
         {"Launch70 depends on 71, which does not come before it", "Launch70 waits for itself",
          "Launch71 waits for itself"}},
    };
    const std::string base = e2e::readFile(kFixture);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(mergeProblems(base, c.fragment), c.problems);
    }
}

// ---- The start-up on a board ---------------------------------------------------------------------

// A program that says when it started in the board's debug log, and never calls SignalStarted.
void addProbe(const e2e::Board& board) {
    const std::string path = board.dir + "/probe.sh";
    std::ofstream(path) << "#!/bin/sh\necho \"probe $1 started\" >> \"$TAMBLIN_BOARD/debug.log\"\n";
    ::chmod(path.c_str(), 0755);
}

sim::BoardConfig withProbe(sim::BoardConfig config) {
    config.apps["\\Windows\\Probe.exe"] = "probe.sh";
    return config;
}

// Boots the board as its power comes on; the output of vboard power up.
int bootByPower(const e2e::Board& board, std::string* out) {
    board.changeState([](sim::BoardState& s) { s.power.on = false; });
    return board.runVboard({"power", "up"}, out);
}

const std::string kProbeAfterTamblin =
    "[HKEY_LOCAL_MACHINE\\init]\r\n\"Launch26\"=\"Probe.exe\"\r\n\"Depend26\"=hex:19,00\r\n";

// A program that needs the restored clock depends on Tamblin's launch: it starts once Tamblin has
// restored the clock, or once its boot has ended without a time to restore.
TEST(ImageLaunches, AProgramThatDependsOnTamblinStartsAfterTheBootOnEveryWayItEnds) {
    struct Case {
        const char* what;
        std::function<void(sim::BoardConfig&)> board;
        std::string registry;  // more registry text
        std::string lastLine;  // Tamblin's last line before the probe starts
        bool backupLost = false;
    };
    const Case cases[] = {
        {"the clock restored", nullptr, "", "RTC Time restored (29.11.2011 14:59:55)\r\n"},
        {"a time the chip does not vouch for", nullptr, "",
         "Invalid time on External RTC, please set a valid time\r\n", true},
        {"no chip", [](sim::BoardConfig& c) { c.chips.clear(); }, "", "No external RTC found\r\n"},
        {"an unknown protocol", nullptr,
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin]\r\n\"Protocol\"=dword:00000007\r\n",
         // The program's own message before it has no line end.
         "Invalid RTC Protocol in Registry: 7No external RTC found\r\n"},
        {"the bus not available",
         [](sim::BoardConfig& c) {
             c.faults = sim::faultsFromJson({{"kernelBridge", "absent"}});
         },
         "", "Tamblin: I2C bus not available\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::BoardConfig config = withProbe(e2e::frozenConfig(1));
        if (c.board) c.board(config);
        e2e::Board board(config, sim::defaultRegistryText() + e2e::readFile(kFixture) + "\r\n" +
                                     e2e::readFile(kFragment) + "\r\n" + kProbeAfterTamblin + c.registry);
        addProbe(board);
        // The chip holds 2011-11-29 14:59:55, a Tuesday (protocol 1's registers, BCD); one that
        // lost its backup supply holds its reset time with the invalid-time flag.
        if (!config.chips.empty())
            board.changeState([&](sim::BoardState& s) {
                s.chips.begin()->second.regs =
                    c.backupLost ? std::vector<uint8_t>{0x00, 0x80, 0x00, 0x07, 0x01, 0x01, 0x00, 0x00}
                                 : std::vector<uint8_t>{0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11, 0x00};
            });
        std::string out;
        // The probe never calls SignalStarted, which the start-up reports; Tamblin did.
        EXPECT_EQ(bootByPower(board, &out), 1) << out;
        EXPECT_TRUE(contains(out, "  Launch25 Tamblin.exe: started \\Windows\\Tamblin.exe 25 (process "))
            << out;
        EXPECT_TRUE(contains(out, "(\\Windows\\Tamblin.exe 25) exited with ")) << out;
        EXPECT_TRUE(
            contains(out, ", having called SignalStarted: \"" + c.lastLine.substr(0, c.lastLine.size() - 2)))
            << out;
        EXPECT_TRUE(contains(out, "  Launch26 Probe.exe: started \\Windows\\Probe.exe 26 (process ")) << out;
        EXPECT_TRUE(
            contains(board.file(".stderr"), "power up: the board is on, but Launch26 Probe.exe (process "))
            << board.file(".stderr");
        const std::string log = board.debugLog();
        const std::string tail = c.lastLine + "probe 26 started\n";
        ASSERT_GE(log.size(), tail.size()) << log;
        EXPECT_EQ(log.substr(log.size() - tail.size()), tail) << log;
        EXPECT_EQ(board.state().signalledStarted, std::vector<uint32_t>{25});
    }
}

struct StartUpCase {
    const char* what;
    std::string init;  // [HKEY_LOCAL_MACHINE\init] values below the platform's
    int exitCode;
    std::vector<std::string> says;     // lines of vboard's output
    std::vector<std::string> started;  // probes that started, in order
};

void PrintTo(const StartUpCase& c, std::ostream* os) {
    e2e::printCase(c.what, os);
}

const StartUpCase kStartUps[] = {
    {"the platform's launches alone",
     "",
     0,
     {"  Launch10 shell.exe: the platform's own, started",
      "  Launch60 servicesStart.exe: the platform's own, started"},
     {}},
    {"a program the board does not know",
     "\"Launch40\"=\"Nothing.exe\"\r\n\"Launch45\"=\"Probe.exe\"\r\n\"Depend45\"=hex:28,00\r\n"
     "\"Launch70\"=\"Probe.exe\"\r\n",
     1,
     {"  Launch40 Nothing.exe: not found, skipped: the board has no program \\Windows\\Nothing.exe",
      "  Launch45 Probe.exe: never starts: it waits for launch 40 (Nothing.exe), which was not started",
      "  Launch50 explorer.exe: never starts: the start-up waits at Launch45 for ever",
      "  Launch70 Probe.exe: never starts: the start-up waits at Launch45 for ever"},
     {}},
    {"a program that ends without SignalStarted",
     "\"Launch40\"=\"Probe.exe\"\r\n\"Launch45\"=\"\\\\Windows\\\\Probe.exe\"\r\n\"Depend45\"=hex:28,00\r\n",
     1,
     {"  Launch40 Probe.exe: started \\Windows\\Probe.exe 40 (process ",
      "  Launch45 \\Windows\\Probe.exe: never starts: it waits for launch 40 (Probe.exe), which ended "
      "without SignalStarted"},
     {"probe 40 started"}},
    {"a dependency the registry does not have",
     "\"Launch40\"=\"Probe.exe\"\r\n\"Depend40\"=hex:21,00\r\n",
     1,
     {"  Launch40 Probe.exe: never starts: it waits for launch 33, which the registry does not have"},
     {}},
    {"a dependency later in the order",
     "\"Launch40\"=\"Probe.exe\"\r\n\"Depend40\"=hex:3c,00\r\n",
     1,
     {"  Launch40 Probe.exe: never starts: it waits for launch 60, which comes after it in the order"},
     {}},
    {"a launch that waits for itself",
     "\"Launch40\"=\"Probe.exe\"\r\n\"Depend40\"=hex:28,00\r\n",
     1,
     {"  Launch40 Probe.exe: never starts: it waits for itself"},
     {}},
    {"a launch value that is no string",
     "\"Launch40\"=dword:00000001\r\n\"Launch41\"=\"Probe.exe\"\r\n",
     1,
     {"  Launch40: not started: Launch40 is not a string (REG_SZ)",
      "  Launch41 Probe.exe: started \\Windows\\Probe.exe 41 (process "},
     {"probe 41 started"}},
    {"a dependency list of odd length",
     "\"Launch40\"=\"Probe.exe\"\r\n\"Depend40\"=hex:14,00,1e\r\n",
     1,
     {"  Launch40 Probe.exe: not started: Depend40 is not a list of launch numbers"},
     {}},
    {"values the kernel ignores",
     "\"Launch100\"=\"Probe.exe\"\r\n\"Depend41\"=hex:14,00\r\n",
     0,
     {"  note: \"Launch100\" is no LaunchNN or DependNN value: the kernel ignores it",
      "  note: Depend41 without Launch41: ignored"},
     {}},
};

class StartUp : public ::testing::TestWithParam<StartUpCase> {};

TEST_P(StartUp, TakesTheLaunchesInOrderAndStopsWhereThePlatformWouldWaitForEver) {
    const StartUpCase& c = GetParam();
    e2e::Board board(withProbe(e2e::frozenConfig(1)),
                     sim::defaultRegistryText() + e2e::readFile(kFixture) + c.init);
    addProbe(board);
    std::string out;
    EXPECT_EQ(bootByPower(board, &out), c.exitCode) << out << board.file(".stderr");
    for (const std::string& line : c.says) EXPECT_TRUE(contains(out, line)) << line << "\n" << out;
    std::vector<std::string> started;
    std::istringstream log(board.debugLog());
    for (std::string l; std::getline(log, l);)
        if (l.rfind("probe ", 0) == 0) started.push_back(l);
    EXPECT_EQ(started, c.started);
}

INSTANTIATE_TEST_SUITE_P(ImageLaunches, StartUp, ::testing::ValuesIn(kStartUps), e2e::CaseNames());

TEST(ImageLaunches, ABoardWhoseRegistryHasNoLaunchesStartsNothingAtPowerUp) {
    e2e::Board board(e2e::frozenConfig(1));
    std::string out;
    ASSERT_EQ(bootByPower(board, &out), 0);
    EXPECT_EQ(out, "Board powered up, the system clock at 2000-01-01 00:00:00 local time\n");
    EXPECT_TRUE(board.state().launches.empty());
    EXPECT_TRUE(board.debugLog().empty());
}

// ---- Tamblin's launch number ---------------------------------------------------------------------

TEST(LaunchNumber, OnlyACommandLineOfDecimalDigitsIsOne) {
    struct Case {
        const char16_t* commandLine;
        int isNumber;
        DWORD number;
    };
    const Case cases[] = {
        {u"25", 1, 25},
        {u"0", 1, 0},
        {u"007", 1, 7},
        {u"4294967295", 1, 4294967295u},
        {u"4294967296", 0, 0},
        {u"99999999999", 0, 0},
        {u"", 0, 0},
        {u"25 ", 0, 0},
        {u" 25", 0, 0},
        {u"-25", 0, 0},
        {u"+25", 0, 0},
        {u"2a", 0, 0},
        {u"AppRunAfterTimeChange", 0, 0},
        {u"\u0662\u0665", 0, 0},  // digits of another script
    };
    for (const Case& c : cases) {
        DWORD n = 12345;
        EXPECT_EQ(LaunchNumberOf(reinterpret_cast<const WCHAR*>(c.commandLine), &n), c.isNumber)
            << sim::toUtf8(c.commandLine);
        EXPECT_EQ(n, c.isNumber ? c.number : 12345u) << sim::toUtf8(c.commandLine);
    }
    EXPECT_EQ(LaunchNumberOf(nullptr, nullptr), 0);
}

TEST(LaunchNumber, TheProgramSignalsOnlyWhenStartedWithOne) {
    struct Case {
        std::vector<std::string> args;
        std::vector<uint32_t> signalled;
    };
    const Case cases[] = {
        {{"25"}, {25}},
        {{"25x"}, {}},
        {{"AppRunAfterTzChange"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        sim::BoardConfig config = e2e::frozenConfig(1);
        config.chips.clear();  // the boot ends at once
        e2e::Board board(config);
        board.runTamblin(c.args);
        EXPECT_EQ(board.state().signalledStarted, c.signalled);
    }
}

}  // namespace
