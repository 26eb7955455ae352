// vboard as a person uses it: the built program on boards of the tests' own, its exit codes and
// messages, and a board that stays exactly as it was whenever a command is refused.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "sim/ceapi/regfile.h"

// A namespace of its own: the tests are compiled together in unity builds.
namespace vboard_cli_test {

const std::string kBin = TAMBLIN_BIN_DIR;

using e2e::readFile;

using Result = e2e::Output;

Result spawn(const std::vector<std::string>& argv, const std::string& board, const std::string& cwd = "") {
    return e2e::runProgram(argv, board, cwd);
}

Result vboard(const e2e::Board& b, const std::vector<std::string>& args) {
    std::vector<std::string> argv{kBin + "/vboard", "--board", b.dir};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(argv, b.dir);
}

// Every file of a board that a command could change.
std::map<std::string, std::string> snapshot(const e2e::Board& b) {
    std::map<std::string, std::string> files;
    for (const char* f : {"board.json", "registry.reg", "state.json", "debug.log", "trace.log"}) {
        const std::string path = b.dir + "/" + f;
        files[f] = std::filesystem::exists(path) ? readFile(path) : "(absent)";
    }
    return files;
}

std::string describe(const std::vector<std::string>& args) {
    std::string s;
    for (const std::string& a : args) s += (s.empty() ? "" : " ") + ("'" + a + "'");
    return s;
}

// A frozen board with one protocol-1 chip at 0x68, a registration, a debug log and a bus trace,
// so that a refused command has something to lose.
struct CliBoard : e2e::Board {
    CliBoard() : e2e::Board(e2e::frozenConfig(1), e2e::registryFor(1)) {
        EXPECT_EQ(runVboard({"notify", "add", "\\Windows\\Tamblin.exe", "AppRunAfterTimeChange"}), 0);
        std::ofstream(dir + "/debug.log") << "an earlier run\n";
        std::ofstream(dir + "/trace.log") << "1000 S 10000\n3500 B 10000 D0 A\n93500 P 10000\n";
    }
};

// Days since 1601-01-01, a Monday; 0 = Sunday.
int weekdayOf(int y, int mo, int d) {
    return static_cast<int>((e2e::fileTimeOf(y, mo, d, 0, 0, 0) / 864000000000LL + 1) % 7);
}

// ---- Refusals: the exit code, the message, and the board unchanged -----------------------------

struct Refusal {
    std::vector<std::string> args;
    int code;
    std::string message;  // a part of what is written on standard error
};

// What a test list shows of the case, and its name there.
void PrintTo(const Refusal& c, std::ostream* os) {
    std::string words;
    for (const std::string& a : c.args) words += a + ' ';
    e2e::printCase(words, os);
}

const Refusal kRefusals[] = {
    // The command line itself.
    {{"shwo"}, 2, "unknown command 'shwo' (did you mean 'show'?)"},
    {{"chip", "dmp"}, 2, "unknown command 'chip dmp' (did you mean 'chip dump'?)"},
    {{"init", "--force", "--protocl", "2"},
     2,
     "unknown option '--protocl' for 'vboard init' (did you mean '--protocol'?)"},
    {{"chip", "dump", "--adress", "0x68"}, 2, "unknown option '--adress'"},
    {{}, 2, "needs a command"},
    {{"chip"}, 2, "'vboard chip' needs a command"},
    {{"set-time"}, 2, "time is required"},
    {{"show", "extra"}, 2, "unexpected argument 'extra'"},
    {{"help", "shwo"}, 2, "unknown command 'shwo' (did you mean 'show'?)"},
    {{"trace", "svg"}, 2, "file is required"},
    // init --force checks every option before the old board goes.
    {{"init", "--force", "--protocol", "5"}, 2, "--protocol: the chip protocols are 1, 2, 3 and 4"},
    {{"init", "--force", "--protocol", "0"}, 2, "--protocol"},
    {{"init", "--force", "--protocol", "x"}, 2, "--protocol"},
    {{"init", "--force", "--address", "0x168"}, 2, "a 7-bit I2C address is 0x00..0x7F, got \"0x168\""},
    {{"init", "--force", "--address", "0xD0"}, 2, "the 7-bit address is 0x68"},
    {{"init", "--force", "--address", "104x"}, 2, "--address"},
    {{"init", "--force", "--zone", "Mars/Olympus"}, 2, "unknown time zone \"Mars/Olympus\""},
    {{"init", "--force", "--zone", "berlin"}, 2, "did you mean Europe/Berlin?"},
    {{"init", "--force", "--api-ready", "soon"}, 2, "--api-ready: expected start, never or a number"},
    {{"init", "--force", "--api-ready", "4294967296"}, 2, "--api-ready"},
    {{"init", "--force", "--processor", "5"}, 2, "neither a processor ID"},
    {{"init", "--force", "--processor", "0x00000005"}, 2, "neither a processor ID"},
    {{"init", "--force", "--processor", "0x1FFFFFFFF"}, 2, "--processor"},
    {{"init", "--force", "--processor", "-17"}, 2, ""},
    {{"init", "--force", "--reg", "SOFTWARE\\X:N=hex:zz"}, 2, "hex: takes bytes"},
    {{"init", "--force", "--reg", "SOFTWARE\\X:N=3"}, 2, "expected a value dword:N"},
    {{"init", "--force", "--reg", "SOFTWARE\\X]:N=dword:1"}, 2, "contains ]"},
    {{"init", "--force", "--reg", "SOFTWARE\\X:N\n=dword:1"}, 2, "line break"},
    {{"init", "--force", "--reg", "no colon"}, 2, "expected KEY:NAME=dword:N"},
    {{"init", "--force", "--reg", "SOFTWARE\\X:N=dword:-1"}, 2, "dword"},
    {{"init", "--force", "--no-chip", "--protocol", "2"}, 2, "excludes"},
    {{"init", "--force", "--program", ""}, 2, "--program: the device path is empty"},
    {{"init"}, 1, "already holds a board (use --force to replace it)"},
    // Chips.
    {{"chip", "add", "2", "-a", "0x50", "--time", "garbage"}, 2, "expected YYYY-MM-DD"},
    {{"chip", "add", "2", "-a", "0x50", "--time", "2070-01-01"}, 2, "a chip holds the years 1970..2069"},
    {{"chip", "add", "5"}, 2, "the chip protocols are 1, 2, 3 and 4"},
    {{"chip", "add", "2", "-a", "0x168"}, 2, "a 7-bit I2C address"},
    {{"chip", "add", "1"}, 1, "a chip answers at 0x68 already"},
    {{"chip", "dump", "-a", "0x50"}, 1, "no chip at 0x50"},
    {{"chip", "dump", "-a", "0x168"}, 2, "a 7-bit I2C address"},
    {{"chip", "time", "2011-11-29T14:59:55x"}, 2, "expected YYYY-MM-DD"},
    {{"chip", "time", "1850-01-01 00:00:00"},
     2,
     "a chip holds the years 1970..2069 (two digits), \"1850-01-01 00:00:00\" is in 1850"},
    {{"chip", "time", "2011-02-29"}, 2, "day 29 does not exist (February 2011 has 28 days)"},
    {{"chip", "time", "2011-11-29 14:59:55+24:00"}, 2, "offset is out of range"},
    {{"chip", "set", "0x40=1"}, 2, "outside the chip's registers"},
    {{"chip", "set", "0x00=0x100"}, 2, "outside the chip's registers or a byte"},
    {{"chip", "set", "0x00"}, 2, "expected REG=VALUE"},
    {{"chip", "nak", "many"}, 2, "chip nak"},
    {{"chip", "nak", "2147483648"}, 2, "out of range"},
    {{"chip", "remove", "-a", "0x50"}, 1, "no chip at 0x50"},
    {{"power", "up"}, 1, "powered on already"},
    // The registry.
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Protocol", "3"},
     2,
     "expected a value dword:N (decimal or 0x...), sz:TEXT or hex:BYTES"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Protocol", "dword:0x1FFFFFFFF"},
     2,
     "out of range (0..0xFFFFFFFF)"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Protocol", "dword:-1"}, 2, "expected a number"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Protocol", "dword:"}, 2, "expected a number"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Protocol", "dword: 3"}, 2, "expected a number"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Protocol", "dword:3x"}, 2, "expected a number"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Blob", "hex:zz"}, 2, "hex: takes bytes"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Blob", "hex:01,"}, 2, "hex:"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Blob", "hex:123"}, 2, "hex: takes bytes"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Two\nLines", "dword:1"},
     2,
     "the value name contains a line break"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Name", "sz:two\nlines"},
     2,
     "the string contains a line break"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Name", "sz:cr\r"}, 2, "line break"},
    {{"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "Name", "sz:\xff\xfe"}, 2, "not valid UTF-8"},
    {{"registry", "set", "SOFTWARE\\Vor]lack", "Name", "dword:1"}, 2, "contains ]"},
    {{"registry", "set", "SOFTWARE\\Vor\nlack", "Name", "dword:1"}, 2, "line break"},
    {{"registry", "set", "SOFTWARE\\\\Vorlack", "Name", "dword:1"}, 2, "empty name between backslashes"},
    {{"registry", "set", "\\SOFTWARE", "Name", "dword:1"}, 2, "empty name between backslashes"},
    {{"registry", "set", "SOFTWARE\\", "Name", "dword:1"}, 2, "empty name between backslashes"},
    {{"registry", "set", "", "Name", "dword:1"}, 2, "the key is empty"},
    {{"registry", "delete", "HKEY_LOCAL_MACHINE"}, 2, "root key"},
    {{"registry", "delete", "SOFTWARE\\Nobody"}, 1, "no key HKEY_LOCAL_MACHINE\\SOFTWARE\\Nobody"},
    {{"registry", "delete", "SOFTWARE\\Vorlack\\Tamblin", "Nothing"}, 1, "has no value \"Nothing\""},
    // Notifications, the bus mutex and the zone.
    {{"notify", "clear", "99"}, 1, "no notification has handle 99"},
    {{"notify", "clear", "0x1FFFFFFFF"}, 2, "out of range"},
    {{"notify", "add", "\\Windows\\x.exe", "--event", "x1"}, 2, "--event"},
    {{"i2c-hold", "4294967296"}, 2, "out of range"},
    {{"i2c-hold", "5x"}, 2, "expected a duration such as 500 (milliseconds), 5s, 2m or 250ms"},
    {{"i2c-hold", "1500us"}, 2, "not a whole number of milliseconds"},
    {{"i2c-hold", "4294967295"}, 2, "not a whole number of milliseconds from 1 ms to 49 days"},
    {{"i2c-hold", "0"}, 2, "not a whole number of milliseconds"},
    {{"zone", "set", "pst"},
     2,
     "unknown time zone \"pst\" (US Pacific time, with daylight saving time, is America/Los_Angeles)"},
    {{"zone", "set", "CEST"}, 2, "is cet or Europe/Berlin"},
    {{"zone", "set", "Nowhere/City"}, 2, "unknown time zone"},
    {{"zone", "set", "../../etc/passwd"}, 2, "unknown time zone"},
    {{"zone", "list", "no-such-zone-anywhere"}, 1, "no zone name contains"},
    // Faults: checked by the board's own reader, all or nothing.
    {{"fault", "add", "i2c:3=nack"}, 2, "unknown value \"nack\" (did you mean 'nak'?); i2c takes nak,"},
    {{"fault", "add", "i2cStuckSdaa=1"}, 2, "unknown fault \"i2cStuckSdaa\" (did you mean 'i2cStuckSda'?)"},
    {{"fault", "add", "i2c=nak"}, 2, "an I2C byte fault is written i2c:N=FAULT"},
    {{"fault", "add", "i2c:0=nak"}, 2, "bytes count from 1"},
    {{"fault", "add", "i2c:x=nak"}, 2, "byte number"},
    {{"fault", "add", "i2cStuckSda=10"}, 2, "i2cStuckSda"},
    {{"fault", "add", "i2cStuckSda:2=1"}, 2, "only i2c takes a byte number"},
    {{"fault", "add", "localAllocFail"}, 2, "a value is needed (localAllocFail=VALUE)"},
    {{"fault", "add", "kernelBridge=present"}, 2, "kernelBridge"},
    {{"fault", "add", "bridgeProbe=maybe"}, 2, "unknown value \"maybe\"; bridgeProbe takes zero, fail"},
    {{"fault", "add", "i2c:3=nak", "i2cSclLowMs=soon"}, 2, "i2cSclLowMs"},
    {{"fault", "add"}, 2, "faults is required"},
    {{"fault", "clear", "i2c:3"}, 1, "no such fault in force"},
    {{"fault", "clear", "nothing"}, 2, "unknown fault \"nothing\""},
    // The bus scan.
    {{"scan", "0x70", "0x10"}, 2, "lies above the last"},
    {{"scan", "0x80"}, 2, "a 7-bit I2C address"},
    {{"scan", "0x10", "0x20", "0x30"}, 2, "unexpected argument"},
};

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, WithItsExitCodeAndMessageAndTheBoardUnchanged) {
    const Refusal& c = GetParam();
    CliBoard board;
    const auto before = snapshot(board);
    const Result r = vboard(board, c.args);
    EXPECT_EQ(r.code, c.code) << describe(c.args) << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << describe(c.args) << "\n" << r.err;
    EXPECT_NE(r.err.find("vboard: "), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
    EXPECT_EQ(snapshot(board), before) << describe(c.args);
}

INSTANTIATE_TEST_SUITE_P(Vboard, Refused, ::testing::ValuesIn(kRefusals), e2e::CaseNames());

// ---- Times: what set-time stores, by the calendar --------------------------------------------

struct TimeCase {
    std::string text;
    int y, mo, d, h, mi, s, ms;
};

// What a test list shows of the case, and its name there.
void PrintTo(const TimeCase& c, std::ostream* os) {
    e2e::printCase(c.text, os);
}

const TimeCase kTimes[] = {
    {"2026-07-01T12:00:00", 2026, 7, 1, 12, 0, 0, 0},
    {"2026-07-01 12:00:00", 2026, 7, 1, 12, 0, 0, 0},
    {"2026-07-01t08:09", 2026, 7, 1, 8, 9, 0, 0},
    {"2026-07-01", 2026, 7, 1, 0, 0, 0, 0},
    {"2026-07-01T12:00:00Z", 2026, 7, 1, 12, 0, 0, 0},
    {"2026-07-01T12:00:00+02:00", 2026, 7, 1, 10, 0, 0, 0},
    {"2026-07-01T12:00:00+0200", 2026, 7, 1, 10, 0, 0, 0},
    {"2026-07-01T12:00:00-05", 2026, 7, 1, 17, 0, 0, 0},
    {"2026-07-01T12:00:00+05:45", 2026, 7, 1, 6, 15, 0, 0},
    {"2026-07-01T00:30:00+01:00", 2026, 6, 30, 23, 30, 0, 0},
    {"2026-12-31T23:30:00-01:00", 2027, 1, 1, 0, 30, 0, 0},
    {"2026-07-01T12:00:00.5", 2026, 7, 1, 12, 0, 0, 500},
    {"2026-07-01T12:00:00,25", 2026, 7, 1, 12, 0, 0, 250},
    {"2026-07-01T12:00:00.123456789Z", 2026, 7, 1, 12, 0, 0, 123},
    {"2024-02-29 23:59:59.999", 2024, 2, 29, 23, 59, 59, 999},
    {"2000-02-29", 2000, 2, 29, 0, 0, 0, 0},
    {"1601-01-01T00:00:00", 1601, 1, 1, 0, 0, 0, 0},
    {"9999-12-31T23:59:59", 9999, 12, 31, 23, 59, 59, 0},
};

class SetTime : public ::testing::TestWithParam<TimeCase> {};

TEST_P(SetTime, StoresTheInstantWrittenAndSaysSo) {
    const TimeCase& c = GetParam();
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    const Result r = vboard(board, {"set-time", c.text});
    ASSERT_EQ(r.code, 0) << c.text << "\n" << r.err;
    EXPECT_EQ(board.systemClockSetTo(), e2e::fileTimeOf(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms)) << c.text;
    char expected[80];
    std::snprintf(expected, sizeof expected, "System time set to %04d-%02d-%02d %02d:%02d:%02d.%03d UTC\n",
                  c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms);
    EXPECT_EQ(r.out, expected);
}

INSTANTIATE_TEST_SUITE_P(Vboard, SetTime, ::testing::ValuesIn(kTimes), e2e::CaseNames());

const char* const kBadTimes[] = {
    "2026-02-30",
    "2026-02-29",
    "1900-02-29",
    "2100-02-29",
    "2026-04-31",
    "2026-13-01",
    "2026-00-10",
    "2026-07-00",
    "2026-07-01T24:00:00",
    "2026-07-01T12:60:00",
    "2026-07-01T12:00:60",
    "67562-07-01",
    "12026-07-01",
    "2026-7-1",
    "26-07-01",
    "2026-07-01 12",
    "2026-07-01T12:00:00.",
    "2026-07-01T12:00:00.1234567890",
    "2026-07-01 12:00:00 UTC",
    "2026-07-01 12:00:00 garbage",
    "2026-07-01T12:00:00+2",
    "2026-07-01T12:00:00+24:00",
    "2026-07-01T12:00:00+02:60",
    "2026-07-01Z",
    " 2026-07-01",
    "2026-07-01 ",
    "tomorrow",
    "",
    "NOW",
    "1600-12-31T23:59:59",
    "1601-01-01T00:30:00+01:00",
    "2026/07/01",
    "20260701T120000Z",
    "2026-07-01T12:00:00Z+01:00",
};

class SetTimeRefuses : public ::testing::TestWithParam<const char*> {};

TEST_P(SetTimeRefuses, EveryOtherFormAndEveryDayThatDoesNotExist) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    const auto before = snapshot(board);
    const Result r = vboard(board, {"set-time", GetParam()});
    EXPECT_EQ(r.code, 2) << "\"" << GetParam() << "\": " << r.out;
    EXPECT_EQ(r.err.rfind("vboard: set-time: ", 0), 0u) << r.err;
    EXPECT_EQ(snapshot(board), before);
}

INSTANTIATE_TEST_SUITE_P(Vboard, SetTimeRefuses, ::testing::ValuesIn(kBadTimes), e2e::CaseNames());

TEST(SetTimeRefusal, NamesTheExpectedForm) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    const Result r = vboard(board, {"set-time", "tomorrow"});
    EXPECT_NE(r.err.find("expected YYYY-MM-DD[THH:MM[:SS[.fraction]]][Z|+HH:MM]"), std::string::npos)
        << r.err;
}

TEST(SetTimeNow, TakesTheHostsClock) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    ASSERT_EQ(vboard(board, {"set-time", "2005-01-01"}).code, 0);
    const Result r = vboard(board, {"set-time", "now"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_GT(board.systemClockSetTo(), e2e::fileTimeOf(2020, 1, 1, 0, 0, 0));
}

// ---- Chip times: what the chip's registers hold afterwards ------------------------------------

struct ChipTimeCase {
    std::string text;
    int y, mo, d, h, mi, s;
};

// What a test list shows of the case, and its name there.
void PrintTo(const ChipTimeCase& c, std::ostream* os) {
    e2e::printCase(c.text, os);
}

const ChipTimeCase kChipTimes[] = {
    {"2011-11-29T14:59:55", 2011, 11, 29, 14, 59, 55},  // not midnight
    {"2011-11-29 14:59:55", 2011, 11, 29, 14, 59, 55},
    {"2011-11-29T16:59:55+02:00", 2011, 11, 29, 14, 59, 55},
    {"2011-11-29T14:59:55.9Z", 2011, 11, 29, 14, 59, 55},  // the chip counts whole seconds
    {"1970-01-01T00:00:00", 1970, 1, 1, 0, 0, 0},
    {"2069-12-31T23:59:59", 2069, 12, 31, 23, 59, 59},
    {"2000-02-29T12:00", 2000, 2, 29, 12, 0, 0},
};

std::string chipTimeLine(const ChipTimeCase& c) {
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d %s", c.y, c.mo, c.d, c.h, c.mi, c.s,
                  kDays[weekdayOf(c.y, c.mo, c.d)]);
    return buf;
}

class ChipTime : public ::testing::TestWithParam<ChipTimeCase> {};

TEST_P(ChipTime, HoldsTheTimeWrittenWithItsWeekdayAndConfirmsWhatItHolds) {
    const ChipTimeCase& c = GetParam();
    for (int protocol : {1, 3}) {
        e2e::Board board(e2e::frozenConfig(protocol), e2e::registryFor(protocol));
        const Result r = vboard(board, {"chip", "time", c.text});
        ASSERT_EQ(r.code, 0) << c.text << "\n" << r.err;
        EXPECT_NE(r.out.find("set to " + chipTimeLine(c)), std::string::npos) << r.out;
        const Result dump = vboard(board, {"chip", "dump"});
        EXPECT_NE(dump.out.find(chipTimeLine(c)), std::string::npos) << dump.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Vboard, ChipTime, ::testing::ValuesIn(kChipTimes), e2e::CaseNames());

TEST(ChipAdd, HoldsTheTimeGivenAndSaysSo) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    const Result r = vboard(board, {"chip", "add", "2", "-a", "0x50", "--time", "2011-11-29T15:59:55+01:00"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Added a protocol 2 chip at 0x50 holding 2011-11-29 14:59:55 Tue (weekday 3)\n");
    EXPECT_NE(vboard(board, {"chip", "dump", "-a", "0x50"}).out.find("2011-11-29 14:59:55 Tue"),
              std::string::npos);
}

// ---- Numbers and processors -------------------------------------------------------------------

// The processor ID that identification derives from a main ID: the product number (bits 9..4)
// when the architecture field (bits 19..16) is 5, else the main ID shifted right by four.
uint32_t processorIdOf(uint32_t mainId) {
    return ((mainId >> 16) & 0xF) == 5 ? (mainId >> 4) & 0x3F : mainId >> 4;
}

TEST(InitProcessor, TakesAProcessorIdOrAMainIdAndSaysWhichMainIdResulted) {
    const struct {
        const char* option;
        uint32_t processorId;
        uint32_t mainId;  // 0: whatever the processor's is
    } cases[] = {
        {"2", 2, 0},
        {"8", 8, 0},
        {"9", 9, 0},
        {"17", 17, 0x69054117},
        {"0x0411FC09", 0x0411FC09, 0},
        {"0x69054117", 17, 0x69054117},
        {"0x411fc090", 0x0411FC09, 0x411FC090},
        {"0x69052080", 8, 0x69052080},
    };
    for (const auto& c : cases) {
        e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
        const Result r = vboard(board, {"init", "--force", "--frozen", "--processor", c.option});
        ASSERT_EQ(r.code, 0) << c.option << r.err;
        const std::string field =
            sim::json::parse(readFile(board.dir + "/board.json"))["processor"]["mainId"];
        const uint32_t mainId = static_cast<uint32_t>(std::stoul(field, nullptr, 16));
        EXPECT_EQ(processorIdOf(mainId), c.processorId) << c.option;
        if (c.mainId) {
            EXPECT_EQ(mainId, c.mainId) << c.option;
        }
        char said[32];
        std::snprintf(said, sizeof said, "main ID 0x%08X", mainId);
        EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
    }
}

TEST(InitAddress, IsTheSevenBitAddressGiven) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    ASSERT_EQ(vboard(board, {"init", "--force", "--protocol", "2", "--address", "0x7F"}).code, 0);
    EXPECT_EQ(sim::json::parse(readFile(board.dir + "/board.json"))["chips"][0]["address"], "0x7F");
    ASSERT_EQ(vboard(board, {"init", "--force", "--protocol", "2", "--address", "010"}).code, 0);
    EXPECT_EQ(sim::json::parse(readFile(board.dir + "/board.json"))["chips"][0]["address"], "0x0A")
        << "decimal, not octal";
}

TEST(InitForce, ReplacesTheBoardOnlyWhenEveryOptionHolds) {
    CliBoard board;
    ASSERT_EQ(vboard(board, {"init", "--force", "--frozen", "--protocol", "3"}).code, 0);
    EXPECT_EQ(board.debugLog(), "");
    EXPECT_FALSE(std::filesystem::exists(board.dir + "/trace.log"));
    EXPECT_TRUE(board.state().notifications.list.empty());
    EXPECT_EQ(sim::json::parse(readFile(board.dir + "/board.json"))["chips"][0]["address"], "0x51");
}

// ---- Registry writes read back through the registry's own reader ------------------------------

std::vector<uint8_t> utf16(const std::u16string& s) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

struct RegCase {
    std::string key, name, value;
    std::string readKey;  // the key as read back
    uint32_t type;
    std::vector<uint8_t> data;
};

// What a test list shows of the case, and its name there.
void PrintTo(const RegCase& c, std::ostream* os) {
    e2e::printCase(c.name + " " + c.value, os);
}

const RegCase kRegCases[] = {
    {"SOFTWARE\\Vorlack\\Tamblin",
     "Protocol",
     "dword:3",
     "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin",
     4,
     {3, 0, 0, 0}},
    {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin",
     "SlaveAddr",
     "dword:0x68",
     "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin",
     4,
     {0x68, 0, 0, 0}},
    {"hkey_local_machine\\SOFTWARE\\X",
     "Max",
     "dword:4294967295",
     "HKEY_LOCAL_MACHINE\\SOFTWARE\\X",
     4,
     {0xFF, 0xFF, 0xFF, 0xFF}},
    {"SOFTWARE\\X", "Ten", "dword:010", "HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 4, {10, 0, 0, 0}},
    {"SOFTWARE\\X", "a\"b", "dword:1", "HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 4, {1, 0, 0, 0}},
    {"SOFTWARE\\X", "back\\slash", "sz:C:\\Windows\\", "HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 1,
     utf16(u"C:\\Windows\\")},
    {"SOFTWARE\\X", "brackets]", "sz:[x]\"y\"", "HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 1, utf16(u"[x]\"y\"")},
    {"SOFTWARE\\X", "; not a comment", "sz:= ; \"", "HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 1, utf16(u"= ; \"")},
    {"SOFTWARE\\X", "", "sz:the default value", "HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 1,
     utf16(u"the default value")},
    {"SOFTWARE\\X", "Empty", "sz:", "HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 1, utf16(u"")},
    {"SOFTWARE\\X", "Zone", "sz:Zürich\tOst", "HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 1,
     utf16(u"Z\u00fcrich\tOst")},
    {"SOFTWARE\\[Odd Key;\"x\"",
     "N",
     "dword:7",
     "HKEY_LOCAL_MACHINE\\SOFTWARE\\[Odd Key;\"x\"",
     4,
     {7, 0, 0, 0}},
    {"SOFTWARE\\X", "Blob", "hex:01,ff,0", "HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 3, {0x01, 0xFF, 0x00}},
    {"SOFTWARE\\X", "NoBytes", "hex:", "HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 3, {}},
};

class RegistryWrite : public ::testing::TestWithParam<RegCase> {};

TEST_P(RegistryWrite, ReadsBackToTheSameValueAndKeepsTheOthers) {
    const RegCase& c = GetParam();
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    const Result r = vboard(board, {"registry", "set", c.key, c.name, c.value});
    ASSERT_EQ(r.code, 0) << r.err;
    const sim::reg::Registry reg = sim::reg::load(board.dir + "/registry.reg");
    const sim::reg::Value* v = reg.findValue(c.readKey, c.name);
    ASSERT_NE(v, nullptr) << readFile(board.dir + "/registry.reg");
    EXPECT_EQ(v->name, c.name);
    EXPECT_EQ(v->type, c.type);
    EXPECT_EQ(v->data, c.data);
    const sim::reg::Value* autoDst =
        reg.findValue("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock", "AutoDST");
    ASSERT_NE(autoDst, nullptr);
    EXPECT_EQ(autoDst->data, (std::vector<uint8_t>{1, 0, 0, 0}));
    // The same value through init --reg.
    const Result init = vboard(board, {"init", "--force", "--reg", c.key + ":" + c.name + "=" + c.value});
    if (c.key.find(':') != std::string::npos || c.name.find('=') != std::string::npos) return;
    ASSERT_EQ(init.code, 0) << init.err;
    const sim::reg::Registry reread = sim::reg::load(board.dir + "/registry.reg");
    const sim::reg::Value* again = reread.findValue(c.readKey, c.name);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->data, c.data);
}

INSTANTIATE_TEST_SUITE_P(Vboard, RegistryWrite, ::testing::ValuesIn(kRegCases), e2e::CaseNames());

TEST(RegistryDelete, RemovesAValueOrAKeyWithEverythingBelowIt) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1, 0x68));
    ASSERT_EQ(vboard(board, {"registry", "set", "SOFTWARE\\Vorlack\\Tamblin\\Sub", "N", "dword:1"}).code, 0);
    ASSERT_EQ(vboard(board, {"registry", "delete", "SOFTWARE\\Vorlack\\Tamblin", "slaveaddr"}).code, 0);
    sim::reg::Registry reg = sim::reg::load(board.dir + "/registry.reg");
    EXPECT_EQ(reg.findValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin", "SlaveAddr"), nullptr);
    EXPECT_NE(reg.findValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin", "Protocol"), nullptr);
    const Result r = vboard(board, {"registry", "delete", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Deleted [HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack] (2 keys)\n");
    reg = sim::reg::load(board.dir + "/registry.reg");
    EXPECT_FALSE(reg.keyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack"));
    EXPECT_NE(reg.findValue("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock", "AutoDST"), nullptr);
}

// ---- The command line -------------------------------------------------------------------------

TEST(CommandLine, BoardOptionStandsAnywhereAndHelpAndVersionAnswer) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    // TAMBLIN_BOARD names no board: only --board can have found it.
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"show", "--board", board.dir},
                                               {"chip", "dump", "--board", board.dir},
                                               {"chip", "--board", board.dir, "dump"},
                                               {"--board", board.dir, "chip", "dump"},
                                               {"trace", "show", "-t", "--board=" + board.dir}}) {
        std::vector<std::string> argv{kBin + "/vboard"};
        argv.insert(argv.end(), args.begin(), args.end());
        const Result r = spawn(argv, "/nonexistent/board");
        EXPECT_EQ(r.code, 0) << describe(args) << "\n" << r.err;
    }
    Result r = spawn({kBin + "/vboard", "--version"}, "");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("vboard ", 0), 0u) << r.out;
    r = spawn({kBin + "/vboard", "help"}, "");
    EXPECT_EQ(r.code, 0);
    for (const char* command : {"init", "show", "set-time", "chip", "registry", "zone", "trace", "help"})
        EXPECT_NE(r.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    r = spawn({kBin + "/vboard", "help", "registry", "set"}, "");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Usage: vboard registry set"), std::string::npos) << r.out;
    r = spawn({kBin + "/vboard", "zone", "set", "--help"}, "");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Europe/Berlin"), std::string::npos) << r.out;
}

// ---- A board the user may only read ----------------------------------------------------------

TEST(ReadOnlyBoard, CanStillBeInspected) {
    // As root every file is writable: the commands then run as nobody, with a copy of the tool
    // that nobody can reach.
    std::vector<std::string> tool = {kBin + "/vboard"};
    e2e::ProgramsForAnyone copy({"vboard"});
    if (geteuid() == 0) {
        std::string why;
        tool = copy.asNobody("vboard", &why);
        if (tool.empty()) GTEST_SKIP() << why;
    }
    for (bool lockFileExists : {false, true}) {
        e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
        std::ofstream(board.dir + "/trace.log") << "1000 S 10000\n3500 B 10000 D0 A\n93500 P 10000\n";
        std::ofstream(board.dir + "/debug.log") << "a line of the log\n";
        if (lockFileExists) {
            ASSERT_EQ(vboard(board, {"show"}).code, 0);
        }
        std::filesystem::remove_all(board.dir + "/objects");
        for (const auto& f : std::filesystem::directory_iterator(board.dir)) chmod(f.path().c_str(), 0444);
        chmod(board.dir.c_str(), 0555);
        const auto before = snapshot(board);
        const struct {
            std::vector<std::string> args;
            const char* shows;
        } cases[] = {{{"show"}, "0x68 protocol 1: "},         {{"log"}, "a line of the log"},
                     {{"chip", "dump"}, "invalid-time flag"}, {{"trace", "show"}, "byte 0xD0 ACK"},
                     {{"trace", "show", "-t"}, "S D0 A P"},   {{"registry", "show"}, "AutoDST"},
                     {{"zone", "show"}, "Time zone: cet"},    {{"notify", "list"}, "No notifications"}};
        for (const auto& c : cases) {
            std::vector<std::string> argv = tool;
            argv.insert(argv.end(), {"--board", board.dir});
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            const Result r = spawn(argv, board.dir);
            EXPECT_EQ(r.code, 0) << describe(c.args) << (lockFileExists ? " (lock file there)" : "") << "\n"
                                 << r.err;
            EXPECT_NE(r.out.find(c.shows), std::string::npos) << describe(c.args) << "\n" << r.out;
        }
        // What would change it is refused, not skipped.
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"log", "--clear"},
                                                   {"trace", "clear"},
                                                   {"set-time", "2026-07-01"},
                                                   {"zone", "set", "UTC"}}) {
            std::vector<std::string> argv = tool;
            argv.insert(argv.end(), {"--board", board.dir});
            argv.insert(argv.end(), args.begin(), args.end());
            EXPECT_EQ(spawn(argv, board.dir).code, 1) << describe(args);
        }
        EXPECT_EQ(snapshot(board), before);
        chmod(board.dir.c_str(), 0755);
    }
}

// ---- show: the clocks compared -----------------------------------------------------------------

struct Difference {
    std::string what;
    std::string system, chip;  // set-time and chip time
    std::string systemLessChip, chipLessSystem;
};

void PrintTo(const Difference& c, std::ostream* os) {
    e2e::printCase(c.what, os);
}

// Below a minute to the millisecond; from a minute on in days, hours, minutes and seconds, as
// timedatectl prints a span, the units that are 0 left out.
const Difference kDifferences[] = {
    {"none", "2026-07-01 12:00:00", "2026-07-01 12:00:00", "+0.000 s", "+0.000 ms"},
    {"just under a minute", "2026-07-01 12:00:59.500", "2026-07-01 12:00:00", "+59.500 s", "-59500.000 ms"},
    {"a minute", "2026-07-01 12:01:00", "2026-07-01 12:00:00", "+1min", "-1min"},
    {"a day and more", "2026-07-01 12:00:00.750", "2026-06-30 09:56:56", "+1d 2h 3min 4s", "-1d 2h 3min 4s"},
    {"a long power-down", "2026-07-01 12:00:00", "2026-12-08 12:00:00", "-160d", "+160d"},
    {"decades", "2026-07-01 12:00:00", "1990-01-01 00:00:00", "+13330d 12h", "-13330d 12h"},
};

class ShowDifference : public ::testing::TestWithParam<Difference> {};

TEST_P(ShowDifference, IsReadableAtAnySize) {
    const Difference& c = GetParam();
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    ASSERT_EQ(vboard(board, {"set-time", c.system}).code, 0);
    ASSERT_EQ(vboard(board, {"chip", "time", c.chip}).code, 0);
    const Result r = vboard(board, {"show"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("system - chip = " + c.systemLessChip + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("chip - system = " + c.chipLessSystem + ";"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Vboard, ShowDifference, ::testing::ValuesIn(kDifferences), e2e::CaseNames());

TEST(ShowDifference, AgainstTheTrueTimeToo) {
    e2e::Board board(e2e::virtualConfig(1), e2e::registryFor(1));
    board.startAt(e2e::fileTimeOf(2026, 7, 1, 12, 0, 0));
    ASSERT_EQ(vboard(board, {"chip", "time", "2026-07-01 08:35:00"}).code, 0);
    const Result r = vboard(board, {"show"});
    EXPECT_NE(r.out.find("system - chip = +3h 25min\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("chip - true time = -3h 25min, chip - system = -3h 25min;"), std::string::npos)
        << r.out;
}

// ---- Small messages ------------------------------------------------------------------------------

TEST(ZoneSet, AnAbbreviationTheDatabaseHoldsAsAFixedOffsetGetsANote) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    const struct {
        const char* name;
        const char* note;  // "" none
    } kCases[] = {
        {"est",
         "note: EST is UTC-05:00 all year, without daylight saving time; US Eastern time, with daylight "
         "saving time, is us-eastern or America/New_York"},
        {"MST", "America/Denver (America/Phoenix keeps MST all year)"},
        {"gmt", "UK time, with summer time (BST), is Europe/London"},
        {"America/New_York", ""},
        {"cet", ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Result r = vboard(board, {"zone", "set", c.name});
        EXPECT_EQ(r.code, 0) << r.err;
        if (*c.note)
            EXPECT_NE(r.err.find(c.note), std::string::npos) << r.err;
        else
            EXPECT_EQ(r.err, "");
    }
    const Result init = vboard(board, {"init", "--force", "--zone", "EST"});
    EXPECT_EQ(init.code, 0);
    EXPECT_NE(init.err.find("us-eastern or America/New_York"), std::string::npos) << init.err;
}

// A bare number is milliseconds; with a unit it is what the unit says. Only the lower bound is
// checked: a hold never ends before its time.
TEST(I2cHold, TakesMillisecondsOrAUnit) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    for (const auto& [text, ms] : {std::pair{"150", 150}, std::pair{"150ms", 150}, std::pair{"1s", 1000}}) {
        SCOPED_TRACE(text);
        const auto start = std::chrono::steady_clock::now();
        const Result r = vboard(board, {"i2c-hold", text});
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, "holding I2C\nreleasing I2C\n");
        EXPECT_GE(took, std::chrono::milliseconds(ms));
    }
}

// Two time changes at once: the program the first started may read the clock after the second
// set it, and then stores the second's time. The first says so rather than seem to store a
// wrong time.
TEST(SetTimeRace, TheCommandOvertakenSaysWhichChangeItsProgramStored) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    ASSERT_EQ(board.runTamblin(), 1);  // registered for time changes
    // The program started for a change waits for the file "go", so that both changes are made
    // before either program reads the clock.
    const std::string wrapper = board.dir + "/tamblin-after-go";
    std::ofstream(wrapper) << "#!/bin/sh\nwhile [ ! -e " << board.dir << "/go ]; do sleep 0.02; done\nexec "
                           << kBin << "/tamblin \"$@\"\n";
    chmod(wrapper.c_str(), 0755);
    sim::json config = sim::json::parse(readFile(board.dir + "/board.json"));
    config["apps"]["\\Windows\\Tamblin.exe"] = wrapper;
    std::ofstream(board.dir + "/board.json") << config.dump(2);
    const auto clockAt = [&](int64_t t) {
        for (int i = 0; i < 2000 && board.systemClockSetTo() != t; ++i) usleep(5000);
        return board.systemClockSetTo() == t;
    };
    e2e::Board::Started first = board.startVboard({"set-time", "2026-07-01 10:00"});
    ASSERT_TRUE(clockAt(e2e::fileTimeOf(2026, 7, 1, 10, 0, 0)));
    e2e::Board::Started second = board.startVboard({"set-time", "2026-07-01 11:00"});
    ASSERT_TRUE(clockAt(e2e::fileTimeOf(2026, 7, 1, 11, 0, 0)));
    std::ofstream(board.dir + "/go");
    EXPECT_EQ(first.waitMs(60000), 0);
    EXPECT_EQ(second.waitMs(60000), 0);
    first.kill();
    second.kill();
    EXPECT_NE(
        first.output().find("exited with 1: RTC Time set (01.07.2026 11:00:00): that is a later change's "
                            "time, not this command's 2026-07-01 10:00:00 UTC (the system time was set "
                            "again, to 2026-07-01 11:00:00.000 UTC, after this command set it"),
        std::string::npos)
        << first.output();
    EXPECT_EQ(second.output().find("later change"), std::string::npos) << second.output();
    EXPECT_NE(second.output().find("exited with 1: RTC Time set (01.07.2026 11:00:00)\n"), std::string::npos)
        << second.output();
}

// ---- tamblin and i2c_bench ------------------------------------------------------------------

TEST(TamblinWithoutBoard, SaysInOneLineThatItCreatedTheDefaultBoard) {
    char tmpl[] = "/tmp/tamblin-cwd-XXXXXX";
    const std::string cwd = mkdtemp(tmpl);
    const Result first = spawn({kBin + "/tamblin"}, "", cwd);
    EXPECT_EQ(first.code, 1) << first.err;
    EXPECT_TRUE(std::filesystem::exists(cwd + "/board/board.json"));
    // The program's own output (its debug lines, mirrored on standard error) follows unchanged.
    const size_t end = first.err.find('\n');
    ASSERT_NE(end, std::string::npos) << first.err;
    EXPECT_NE(first.err.substr(0, end).find("created the default board in ./board"), std::string::npos)
        << first.err;
    const Result second = spawn({kBin + "/tamblin"}, "", cwd);
    EXPECT_EQ(second.code, 1);
    EXPECT_EQ(second.err.find("./board"), std::string::npos) << second.err;
    const std::string rest = first.err.substr(end + 1);
    EXPECT_EQ(std::count(rest.begin(), rest.end(), '\n'),
              std::count(second.err.begin(), second.err.end(), '\n'))
        << first.err << "---\n"
        << second.err;
    std::filesystem::remove_all(cwd);
}

// A TAMBLIN_BOARD with a slip in it names no board: refused, and nothing made there.
TEST(TamblinWithoutBoard, RefusesATamblinBoardThatNamesNoBoard) {
    char tmpl[] = "/tmp/tamblin-cwd-XXXXXX";
    const std::string cwd = mkdtemp(tmpl);
    const Result r = spawn({kBin + "/tamblin"}, cwd + "/bord", cwd);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("TAMBLIN_BOARD=" + cwd +
                         "/bord: No such file or directory, so no board there; nothing "
                         "was created"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(std::filesystem::exists(cwd + "/bord"));
    EXPECT_FALSE(std::filesystem::exists(cwd + "/board"));
    std::filesystem::remove_all(cwd);
}

TEST(I2cBench, PrintsItsUsageForHelpInsteadOfRunning) {
    const Result r = spawn({kBin + "/i2c_bench", "--help"}, "");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("usage: i2c_bench", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("protocol  "), std::string::npos) << "it ran the benchmark: " << r.out;
    EXPECT_EQ(spawn({kBin + "/i2c_bench", "--frobnicate"}, "").code, 2);
}

}  // namespace vboard_cli_test
