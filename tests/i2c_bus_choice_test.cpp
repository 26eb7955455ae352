// The I2C unit the program opens, by the registry value I2CBus: a chip on the power-manager unit's
// bus is read at boot and written at a time change, with and without the timing options; without
// the value (or with 0) the standard unit as always, byte for byte; a value that names no unit, or a
// unit the processor lacks, is said in one line and no bus is opened. And the board tool's chips on
// either bus: chosen, scanned, shown and traced as the bus they are on.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "e2e_util.h"
#include "sim/vboard/trace_views.h"

namespace i2c_bus_choice_test {

constexpr int64_t kMs = 10'000;  // file time units
const int64_t kT0 = e2e::fileTimeOf(2026, 3, 2, 9, 0, 0);
constexpr uint8_t kPwr68 = 0x68 | sim::kPowerManagerBusKey;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The program's key with `lines` ("\"I2CBus\"=dword:00000001\r\n", ...) after Protocol.
std::string registryWith(int protocol, const std::string& lines) {
    return e2e::registryFor(protocol) + lines;
}

sim::BoardConfig onPowerManagerBus(sim::BoardConfig c) {
    c.chips[0].bus = sim::I2cBusId::PowerManager;
    return c;
}

// The bus's own records of trace.log: without the lines that name the process.
std::string busRecords(const e2e::Board& board) {
    std::istringstream in(board.file("trace.log"));
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (!contains(line, " R ")) out += line + "\n";
    return out;
}

// The board tool on `board`: its exit code, and what it wrote on either stream.
int vboard(const e2e::Board& board, const std::vector<std::string>& args, std::string* said) {
    std::vector<std::string> argv{std::string(TAMBLIN_BIN_DIR) + "/vboard", "--board", board.dir};
    argv.insert(argv.end(), args.begin(), args.end());
    const e2e::Output o = e2e::runProgram(argv, "");
    *said = o.out + o.err;
    return o.code;
}

std::vector<std::string> transactions(const e2e::Board& board) {
    return sim::traceTransactions(sim::parseTrace(board.file("trace.log")));
}

TEST(I2cBusChoice, BothPathsReachTheChipOnThePowerManagerBusWithEveryOption) {
    const struct {
        const char* name;
        const char* options;
    } kOptions[] = {
        {"the original rules", ""},
        {"Precise and DriftCorrection",
         "\"Precise\"=dword:00000001\r\n\"DriftCorrection\"=dword:00000001\r\n"},
    };
    for (const auto& o : kOptions) {
        SCOPED_TRACE(o.name);
        e2e::Board board(onPowerManagerBus(e2e::virtualConfig(1)),
                         registryWith(1, std::string("\"I2CBus\"=dword:00000001\r\n") + o.options));
        board.startAt(kT0);
        board.advance(950 * 1'000'000ULL);
        ASSERT_EQ(board.runTamblin(), 1) << board.debugLog();
        EXPECT_TRUE(contains(board.debugLog(), "RTC Time restored (02.03.2026 09:00:0")) << board.debugLog();
        EXPECT_LT(std::abs(board.systemTime() - board.trueTime()), 1100 * kMs);
        std::string out;
        ASSERT_EQ(board.runVboard({"set-time", "2026-07-01 12:00:00"}, &out), 0) << out;
        EXPECT_TRUE(contains(board.debugLog(), "RTC Time set (01.07.2026 12:00:0")) << board.debugLog();
        EXPECT_LT(std::abs(board.chipTime(kPwr68) - board.systemTime()), 1100 * kMs);
        const std::vector<std::string> t = transactions(board);
        ASSERT_FALSE(t.empty());
        for (const std::string& line : t) EXPECT_EQ(line.rfind("pwr: ", 0), 0u) << line;
        EXPECT_FALSE(contains(board.file("trace.log"), " L SCL ")) << "nothing on the standard unit's bus";
    }
}

// Without the value, or with 0, the run is the standard unit's, the same bytes on the bus and in
// the log; a chip on the other bus is not found there.
TEST(I2cBusChoice, WithoutTheValueTheStandardUnitAsAlways) {
    std::string firstTrace, firstLog;
    for (const char* value : {"", "\"I2CBus\"=dword:00000000\r\n"}) {
        SCOPED_TRACE(value);
        e2e::Board board(e2e::frozenConfig(1), registryWith(1, value));
        ASSERT_EQ(board.runVboard({"chip", "time", "2011-11-29 14:59:55"}), 0);
        ASSERT_EQ(board.runTamblin(), 1);
        ASSERT_EQ(board.runTamblin({"AppRunAfterTimeChange"}), 1);
        EXPECT_FALSE(contains(board.file("trace.log"), "PWR_"));
        if (firstTrace.empty()) {
            firstTrace = busRecords(board);
            firstLog = board.debugLog();
        } else {
            EXPECT_EQ(busRecords(board), firstTrace);
            EXPECT_EQ(board.debugLog(), firstLog);
        }
    }
    e2e::Board elsewhere(onPowerManagerBus(e2e::frozenConfig(1)), e2e::registryFor(1));
    EXPECT_EQ(elsewhere.runTamblin(), 1);
    EXPECT_EQ(elsewhere.debugLog(),
              "Tamblin: RTC read failed: last error 487, no line held low\r\nNo external RTC found\r\n");
}

struct Refusal {
    const char* value;  // the registry line
    uint32_t processor;
    const char* said;  // before "Tamblin: I2C bus not available"
};

void PrintTo(const Refusal& r, std::ostream* os) {
    e2e::printCase(r.value + std::string(" ") + std::to_string(r.processor), os);
}

const Refusal kRefusals[] = {
    {"\"I2CBus\"=dword:00000002", 17,
     "Tamblin: Invalid I2CBus in Registry: 2 (0 standard unit, 1 power-manager unit)\r\n"},
    {"\"I2CBus\"=dword:ffffffff", 17,
     "Tamblin: Invalid I2CBus in Registry: 4294967295 (0 standard unit, 1 power-manager unit)\r\n"},
    {"\"I2CBus\"=\"1\"", 17,
     "Tamblin: Invalid I2CBus in Registry: not a dword (0 standard unit, 1 power-manager unit)\r\n"},
    {"\"I2CBus\"=hex:01", 17,
     "Tamblin: Invalid I2CBus in Registry: not a dword (0 standard unit, 1 power-manager unit)\r\n"},
    // A unit the processor does not have: said once, not tried again for half a minute.
    {"\"I2CBus\"=dword:00000001", 8, "ERROR: I2C Unknown I2C Unit\n\r"},
};

class I2cBusRefused : public ::testing::TestWithParam<Refusal> {};

// No bus is opened, so nothing can reach a chip the value did not mean; the boot still
// registers for time changes and leaves the clock alone, the store names the time it lost.
TEST_P(I2cBusRefused, InOneLineWithNoBusOpened) {
    const Refusal& c = GetParam();
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.mainId = sim::mainIdForProcessor(c.processor);
    e2e::Board board(config, registryWith(1, std::string(c.value) + "\r\n"));
    const int64_t clockBefore = board.state().systemClock.local;
    EXPECT_EQ(board.runTamblin(), 0);
    EXPECT_EQ(board.debugLog(), std::string(c.said) + "Tamblin: I2C bus not available\r\n");
    EXPECT_EQ(board.state().systemClock.local, clockBefore);
    EXPECT_EQ(board.state().notifications.list.size(), 2u)
        << "registered for time and zone changes all the same";
    EXPECT_EQ(board.file("trace.log").find(" L "), std::string::npos) << "no line moved";
    std::ofstream(board.dir + "/debug.log", std::ios::trunc);
    // The program the time change starts fails, and set-time says so.
    EXPECT_EQ(board.runVboard({"set-time", "2026-07-01 12:00:00"}), 1);
    EXPECT_EQ(board.debugLog(), std::string(c.said) +
                                    "Error while setting RTC time (01.07.2026 12:00:00)\r\n"
                                    "Tamblin: I2C bus not available\r\n");
}

INSTANTIATE_TEST_SUITE_P(Values, I2cBusRefused, ::testing::ValuesIn(kRefusals), e2e::CaseNames());

// Chips on both buses, one address on each: the tool chooses, scans, shows and traces each on its
// own bus, and the program reads the one I2CBus names.
TEST(I2cBusChoice, TheBoardToolKeepsTheBusesApart) {
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.chips = {sim::ChipConfig{1, 0x68}, sim::ChipConfig{4, 0x68}, sim::ChipConfig{3, 0x51}};
    config.chips[1].bus = config.chips[2].bus = sim::I2cBusId::PowerManager;
    e2e::Board board(config, registryWith(4, "\"I2CBus\"=dword:00000001\r\n"));
    struct Step {
        std::vector<std::string> args;
        int code;
        const char* said;
    };
    const Step kSteps[] = {
        {{"chip", "time", "-a", "pwr:0x68", "2011-11-29 14:59:55"},
         0,
         "Chip pwr:0x68 set to 2011-11-29 14:59:55"},
        {{"chip", "time", "-a", "0x68", "--bus", "std", "2012-01-01 00:00:00"},
         0,
         "Chip 0x68 set to 2012-01-01"},
        {{"chip", "dump", "-a", "0x68"},
         1,
         "two chips answer at 0x68, one on each bus: choose one with --bus std or --bus pwr"},
        {{"chip", "dump", "-a", "0x68", "--bus", "pwr"}, 0, "chip pwr:0x68: protocol 4, 13 registers"},
        {{"chip", "dump", "-a", "std:0x68", "--bus", "pwr"}, 2, "name different buses"},
        {{"chip", "dump", "--bus", "pwm"}, 2, "--bus: expected std"},
        {{"chip", "add", "1", "--bus", "pwr"}, 1, "a chip answers at pwr:0x68 already"},
        {{"scan", "0x50", "0x6f"},
         0,
         "50: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --\n60: -- -- -- -- -- -- -- -- 68"},
        {{"scan", "--bus", "pwr", "0x50", "0x6f"}, 0, "50: -- 51 --"},
        {{"show"},
         0,
         "the program looks for a protocol-4 chip at pwr:0x68 (registry: Protocol, no SlaveAddr, so the "
         "protocol's, I2CBus)"},
        {{"show"}, 0, "  chip pwr:0x68   2011-11-29 14:59:55.000 UTC"},
        {{"show"}, 0, "  pwr:0x51 protocol 3:"},
    };
    for (const Step& s : kSteps) {
        std::string out;
        std::string words;
        for (const std::string& a : s.args) words += a + " ";
        SCOPED_TRACE(words);
        EXPECT_EQ(vboard(board, s.args, &out), s.code) << out;
        EXPECT_TRUE(contains(out, s.said)) << out;
    }
    // The program reads the chip on the bus it was told, and only that bus moves.
    ASSERT_EQ(board.runVboard({"trace", "clear"}), 0);
    EXPECT_EQ(board.runTamblin(), 1);
    EXPECT_EQ(board.debugLog(), "RTC Time restored (29.11.2011 14:59:55)\r\n");
    std::string shown, vcd, svg;
    ASSERT_EQ(board.runVboard({"trace", "show"}, &shown), 0);
    EXPECT_TRUE(contains(shown, " us  pwr: start (100 kHz bus)")) << shown;
    EXPECT_TRUE(contains(shown, " us  pwr: byte 0xD1 ACK")) << shown;
    const std::vector<std::string> t = transactions(board);
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.front(), "pwr: S D0 A 0C A Sr D1 A 00 N P");
    // An independent decoder reads the same transactions off the VCD's power-manager wires.
    int status = 0;
    std::string sigrok = e2e::kSigrokI2c;
    sigrok.replace(sigrok.find("scl=SCL:sda=SDA"), 15, "scl=PWR_SCL:sda=PWR_SDA");
    const std::string decoded =
        e2e::runShell(std::string(TAMBLIN_BIN_DIR) + "/vboard --board " + board.dir +
                          " trace vcd - | sigrok-cli -I vcd:compress=10000 -i - " + sigrok,
                      &status);
    ASSERT_EQ(status, 0) << decoded;
    std::vector<std::string> withoutBus;
    for (const std::string& line : t) withoutBus.push_back(line.substr(5));
    EXPECT_EQ(e2e::sigrokTransactions(decoded), withoutBus);
    ASSERT_EQ(board.runVboard({"trace", "svg", "-"}, &svg), 0);
    EXPECT_TRUE(contains(svg, ">PWR_SCL<") && contains(svg, ">0x68 R<")) << "the bus with traffic is drawn";
    // The files say which bus: board.json the chip's, state.json its key.
    EXPECT_TRUE(contains(board.file("board.json"), "\"bus\": \"pwr\""));
    EXPECT_TRUE(contains(board.file("state.json"), "\"pwr:0x68\""));
}

TEST(I2cBusChoice, OnlyAProcessorWithThePowerManagerUnitHasItsBus) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    std::string out;
    EXPECT_EQ(vboard(board, {"init", "--force", "--processor", "8", "--bus", "pwr"}, &out), 2);
    EXPECT_TRUE(contains(out, "processor ID 8 has no power-manager I2C unit")) << out;
    ASSERT_EQ(vboard(board, {"init", "--force", "--processor", "8"}, &out), 0);
    EXPECT_EQ(vboard(board, {"chip", "add", "4", "--bus", "pwr"}, &out), 1);
    EXPECT_EQ(vboard(board, {"scan", "--bus", "pwr"}, &out), 1);
    EXPECT_TRUE(contains(out, "processor ID 8 has no power-manager I2C unit")) << out;
    ASSERT_EQ(vboard(board, {"init", "--force", "--bus", "pwr", "--protocol", "4"}, &out), 0);
    EXPECT_TRUE(
        contains(out, "a protocol-4 chip at pwr:0x68 (registry: Protocol, SlaveAddr and I2CBus to match)"))
        << out;
    EXPECT_TRUE(contains(board.file("registry.reg"), "\"I2CBus\"=dword:00000001"))
        << board.file("registry.reg");
}

}  // namespace i2c_bus_choice_test
