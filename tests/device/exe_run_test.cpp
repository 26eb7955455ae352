// Tamblin.exe, the device's own file, run on the virtual board through the loader (celoader under
// qemu-arm) beside the host build of the same sources on a twin board: each case must leave the
// same debug log, the same bus trace byte for byte, the same exit code and the same board state.
// And the loader refuses, with the reason and without touching the board, a file it cannot run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "sim/board/state_json.h"
#include "tests/e2e_util.h"

namespace {

struct RunCase {
    const char* words;
    int protocol;
    bool privileged = false;
    std::vector<std::vector<std::string>> setup;  // vboard commands before the program runs
    std::vector<std::string> args = {};           // the program's command line
    bool thenTimeSet = false;  // a time set afterwards, which starts the program registered for it
    int exitCode;
    const char* log;  // what the debug log must say (both must say it, and say the same)
    uint32_t processor = 17;
    const char* faults = "{}";  // board.json's, set before the program runs
};

void PrintTo(const RunCase& c, std::ostream* os) {
    e2e::printCase(c.words, os);
}

const std::vector<std::string> kChipTime = {"chip", "time", "2011-11-29 14:59:55"};
const std::vector<std::string> kClock = {"set-time", "2005-01-01 00:00:00"};
const char* const kRestored = "RTC Time restored (29.11.2011 14:59:55)\r\n";
const char* const kRestoredAndSet =
    "RTC Time restored (29.11.2011 14:59:55)\r\nRTC Time set (29.02.2012 23:59:58)\r\n";

const RunCase kRunCases[] = {
    {.words = "protocol 1 restore then store",
     .protocol = 1,
     .setup = {kClock, kChipTime},
     .thenTimeSet = true,
     .exitCode = 1,
     .log = kRestoredAndSet},
    {.words = "protocol 2 restore then store",
     .protocol = 2,
     .setup = {kClock, kChipTime},
     .thenTimeSet = true,
     .exitCode = 1,
     .log = kRestoredAndSet},
    {.words = "protocol 3 restore then store",
     .protocol = 3,
     .setup = {kClock, kChipTime},
     .thenTimeSet = true,
     .exitCode = 1,
     .log = kRestoredAndSet},
    {.words = "protocol 4 restore then store after a power cycle",
     .protocol = 4,
     .setup = {kClock, kChipTime, {"power", "down"}, {"power", "up"}},
     .thenTimeSet = true,
     .exitCode = 1,
     .log = kRestoredAndSet},
    {.words = "protocol 3 lost backup supply",
     .protocol = 3,
     .setup = {kClock, {"chip", "backup-loss"}},
     .exitCode = 1,
     .log = "External RTC has lost backup voltage - reinitializing RTC, except Date/Time\r\n"
            "Invalid time on External RTC, please set a valid time\r\n"},
    {.words = "protocol 1 invalid time flag then store",
     .protocol = 1,
     .setup = {kClock, kChipTime, {"chip", "set", "0x01=0xD9"}},
     .thenTimeSet = true,
     .exitCode = 1,
     .log =
         "Invalid time on External RTC, please set a valid time\r\nRTC Time set (29.02.2012 23:59:58)\r\n"},
    {.words = "a lost byte interrupt survived by the second read",
     .protocol = 1,
     .setup = {kClock, kChipTime, {"fault", "add", "i2c:5=noInterrupt"}},
     .exitCode = 1,
     .log = kRestored},
    {.words = "bus not available: no interrupt to be had",
     .protocol = 1,
     .setup = {kClock, kChipTime, {"fault", "add", "requestSysIntr=refuse"}},
     .exitCode = 0,
     .log = "Tamblin: I2C bus not available\r\n"},
    {.words = "user mode needs the kernel-call bridge",
     .protocol = 1,
     .setup = {kClock, kChipTime, {"fault", "add", "kernelBridge=absent"}},
     .exitCode = 0,
     .log = "Tamblin: kernel bridge IOCTL_KERNEL_BRIDGE not available (last error 50)\r\n"
            "Tamblin: I2C bus not available\r\n"},
    {.words = "user mode on processor 2",
     .protocol = 1,
     .setup = {kChipTime},
     .exitCode = 1,
     .log = kRestored,
     .processor = 2},
    {.words = "user mode on processor 8",
     .protocol = 1,
     .setup = {kChipTime},
     .exitCode = 1,
     .log = kRestored,
     .processor = 8},
    {.words = "user mode on processor 9",
     .protocol = 1,
     .setup = {kChipTime},
     .exitCode = 1,
     .log = kRestored,
     .processor = 9},
    {.words = "user mode on the Cortex-A9 class processor: GPIO and clocks, no I2C unit",
     .protocol = 1,
     .setup = {kClock, kChipTime},
     .exitCode = 0,
     .log = "ERROR: I2C Unknown Processor ID\n\rTamblin: I2C bus not available\r\n",
     .processor = 0x0411FC09},
    {.words = "a bridge that runs the program's own routines",
     .protocol = 1,
     .setup = {kClock, kChipTime},
     .thenTimeSet = true,
     .exitCode = 1,
     .log = kRestoredAndSet,
     .faults = R"({"bridgeHandler": "plain"})"},
    {.words = "a bridge that refuses a program the image does not trust fully",
     .protocol = 1,
     .setup = {kClock, kChipTime},
     .exitCode = 0,
     .log = "OAL: IOCTL_KERNEL_BRIDGE refused: the calling process is not fully trusted (trust level 1)\r\n"
            "OAL: IOCTL_KERNEL_BRIDGE refused: the calling process is not fully trusted (trust level 1)\r\n"
            "Tamblin: kernel bridge IOCTL_KERNEL_BRIDGE refused the program (last error 5)\r\n"
            "Tamblin: I2C bus not available\r\n",
     .faults = R"({"programTrust": "run"})"},
    {.words = "privileged mode does without the bridge",
     .protocol = 1,
     .privileged = true,
     .setup = {kClock, kChipTime, {"fault", "add", "kernelBridge=absent"}},
     .exitCode = 1,
     .log = kRestored},
    // SignalStarted through the loader's shim: the state's signalled launches are compared too.
    {.words = "a boot started as launch 25 signals it",
     .protocol = 1,
     .setup = {kClock, kChipTime},
     .args = {"25"},
     .exitCode = 1,
     .log = kRestored},
    {.words = "protocol 1 on the power-manager unit's bus, restore then store",
     .protocol = 1,
     .setup = {{"chip", "remove"},
               {"chip", "add", "1", "--bus", "pwr"},
               {"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "I2CBus", "dword:1"},
               kClock,
               kChipTime},
     .thenTimeSet = true,
     .exitCode = 1,
     .log = kRestoredAndSet},
    {.words = "an I2CBus that names no unit",
     .protocol = 1,
     .setup = {kClock, kChipTime, {"registry", "set", "SOFTWARE\\Vorlack\\Tamblin", "I2CBus", "dword:2"}},
     .exitCode = 0,
     .log = "Tamblin: Invalid I2CBus in Registry: 2 (0 standard unit, 1 power-manager unit)\r\n"
            "Tamblin: I2C bus not available\r\n"},
    {.words = "store path on a privileged board",
     .protocol = 2,
     .privileged = true,
     .setup = {{"set-time", "2020-02-29 23:01:02"}},
     .args = {"AppRunAfterTimeChange"},
     .exitCode = 1,
     .log = "RTC Time set (29.02.2020 23:01:02)\r\n"},
};

struct Outcome {
    int code = -1;
    std::string log, trace, stateWithoutHostTimes;
};

// state.json without what differs between any two boards and runs: the host times that anchor
// the clocks and the power, and the host programs and process numbers of the launches.
std::string comparableState(const e2e::Board& board) {
    sim::BoardState s = board.state();
    s.systemClock.atHost = 0;
    s.power.changedAt = 0;
    s.powerOnHost = 0;
    for (auto& [address, chip] : s.chips) chip.clockAt = 0;
    for (sim::LaunchRecord& launch : s.launches) launch.exe.clear(), launch.pid = 0;
    return sim::stateToJson(s).dump();
}

Outcome runOn(const RunCase& c, const std::string& program) {
    sim::BoardConfig config = e2e::frozenConfig(c.protocol);
    config.privileged = c.privileged;
    config.mainId = sim::mainIdForProcessor(c.processor);
    config.faults = sim::faultsFromJson(sim::json::parse(c.faults));
    e2e::Board board(config, e2e::registryFor(c.protocol), program);
    for (const std::vector<std::string>& command : c.setup) {
        std::string out;
        EXPECT_EQ(board.runVboard(command, &out), 0) << command[0] << ": " << out;
    }
    Outcome o;
    o.code = board.runTamblin(c.args);
    if (c.thenTimeSet) EXPECT_EQ(board.runVboard({"set-time", "2012-02-29 23:59:58"}), 0);
    o.log = board.debugLog();
    // The records that name the process (its number, its program's name) differ between any
    // two runs; the bus's own records must not.
    std::istringstream in(board.file("trace.log"));
    for (std::string line; std::getline(in, line);)
        if (line.find(' ') == std::string::npos || line.compare(line.find(' '), 3, " R ") != 0)
            o.trace += line + "\n";
    o.stateWithoutHostTimes = comparableState(board);
    return o;
}

class DeviceFileRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(DeviceFileRun, LeavesWhatTheHostBuildLeavesByteForByte) {
    const RunCase& c = GetParam();
    const Outcome host = runOn(c, "tamblin");
    const Outcome exe = runOn(c, "tamblin-exe");
    EXPECT_EQ(host.code, c.exitCode);
    EXPECT_EQ(host.log, c.log);
    EXPECT_EQ(exe.code, host.code);
    EXPECT_EQ(exe.log, host.log);
    EXPECT_TRUE(c.exitCode == 0 || !host.trace.empty());
    EXPECT_TRUE(exe.trace == host.trace) << "the bus traces differ";
    EXPECT_EQ(exe.stateWithoutHostTimes, host.stateWithoutHostTimes);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeviceFileRun, ::testing::ValuesIn(kRunCases), e2e::CaseNames());

std::vector<uint8_t> deviceFile() {
    const std::string text = e2e::readFile(TAMBLIN_DEVICE_EXE);
    return std::vector<uint8_t>(text.begin(), text.end());
}

uint32_t word(const std::vector<uint8_t>& f, size_t at) {
    return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (static_cast<uint32_t>(f[at + 3]) << 24);
}
void setWord(std::vector<uint8_t>& f, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
size_t peHeader(const std::vector<uint8_t>& f) {
    return word(f, 0x3C);
}
void replaceText(std::vector<uint8_t>& f, const std::string& from, const std::string& to) {
    auto it = std::search(f.begin(), f.end(), from.begin(), from.end());
    ASSERT_NE(it, f.end()) << from;
    std::copy(to.begin(), to.end(), it);
}

struct Damage {
    const char* words;
    void (*apply)(std::vector<uint8_t>&);
    const char* said;  // what the refusal must name
};

void PrintTo(const Damage& d, std::ostream* os) {
    e2e::printCase(d.words, os);
}

const Damage kDamages[] = {
    {"an import this system does not export",
     [](std::vector<uint8_t>& f) { replaceText(f, std::string("Sleep\0", 6), std::string("Slerp\0", 6)); },
     "imports what this system does not export: Slerp"},
    {"imports from another DLL",
     [](std::vector<uint8_t>& f) { replaceText(f, "COREDLL.dll", "COREDLX.dll"); },
     "COREDLX.dll!CloseHandle"},
    {"an x86 file", [](std::vector<uint8_t>& f) { f[peHeader(f) + 4] = 0x4C, f[peHeader(f) + 5] = 0x01; },
     "machine 0x014C is not ARM"},
    {"a desktop Windows program", [](std::vector<uint8_t>& f) { f[peHeader(f) + 24 + 68] = 2; },
     "subsystem 2 is not a Windows CE program's"},
    {"made for a newer Windows CE", [](std::vector<uint8_t>& f) { f[peHeader(f) + 24 + 48] = 6; },
     "made for Windows CE 6.0, newer than this system's 5.00"},
    {"base relocations stripped",
     [](std::vector<uint8_t>& f) {
         f[peHeader(f) + 22] |= 1;
         setWord(f, peHeader(f) + 24 + 96 + 8 * 5, 0);
         setWord(f, peHeader(f) + 24 + 96 + 8 * 5 + 4, 0);
     },
     "has no base relocations, so it cannot run at"},
    {"cut short", [](std::vector<uint8_t>& f) { f.resize(f.size() / 2); }, "its data lies outside the file"},
    {"a relocation block running off the image",
     [](std::vector<uint8_t>& f) {
         // The first block's size word: the reloc section's data starts at its raw pointer.
         const size_t table = peHeader(f) + 24 + 224;
         const size_t relocSection = table + 40 * (f[peHeader(f) + 6] - 1);
         setWord(f, word(f, relocSection + 20) + 4, 0x7FFFFFF0u);
     },
     "base relocation block of an impossible size"},
    {"not a PE file at all", [](std::vector<uint8_t>& f) { f[0] = 'Z'; }, "not an executable: no MZ header"},
};

class DeviceFileRefused : public ::testing::TestWithParam<Damage> {};

TEST_P(DeviceFileRefused, IsNamedAndNothingOnTheBoardChanges) {
    const Damage& d = GetParam();
    std::vector<uint8_t> f = deviceFile();
    ASSERT_GT(f.size(), 4096u);
    d.apply(f);
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1), "tamblin-exe");
    const std::string exe = board.dir + "/Damaged.exe";
    FILE* out = std::fopen(exe.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(f.data(), 1, f.size(), out);
    std::fclose(out);
    const std::string stateBefore = board.file("state.json");
    const e2e::Output r = e2e::runProgram({std::string(TAMBLIN_BIN_DIR) + "/celoader", exe}, board.dir);
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("celoader: Damaged.exe: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(d.said), std::string::npos) << r.err;
    EXPECT_EQ(board.debugLog(), "");
    EXPECT_EQ(board.file("trace.log"), "");
    EXPECT_EQ(board.file("state.json"), stateBefore);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeviceFileRefused, ::testing::ValuesIn(kDamages), e2e::CaseNames());

int numberBefore(const std::string& text, const std::string& words) {
    const size_t at = text.find(words);
    if (at == std::string::npos) return -1;
    size_t start = at;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
    return std::atoi(text.substr(start, at - start).c_str());
}

// What the loader reports having done, against what independent tools find in the file and in
// the linked code it came from.
TEST(DeviceFileLoad, RelocatesEveryAddressBindsEveryImportAndTrapsEveryStatusRead) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1), "tamblin-exe");
    const e2e::Output r = e2e::runProgram({std::string(TAMBLIN_BIN_DIR) + "/celoader", "--verbose",
                                           TAMBLIN_DEVICE_EXE, "AppRunAfterTimeChange"},
                                          board.dir);
    EXPECT_EQ(r.code, 1) << r.err;
    int code = 0;
    const std::string readobj = e2e::runShell(
        std::string("llvm-readobj --coff-basereloc --coff-imports ") + TAMBLIN_DEVICE_EXE, &code);
    ASSERT_EQ(code, 0);
    size_t highlow = 0, symbols = 0;
    for (size_t at = 0; (at = readobj.find("Type: HIGHLOW", at)) != std::string::npos; ++at) ++highlow;
    for (size_t at = 0; (at = readobj.find("Symbol: ", at)) != std::string::npos; ++at) ++symbols;
    const std::string disassembly = e2e::runShell(
        std::string("llvm-objdump -d --no-show-raw-insn ") + TAMBLIN_DEVICE_ELF + " | grep -cE '\\smrs\\s'",
        &code);
    EXPECT_GT(highlow, 100u);
    EXPECT_EQ(numberBefore(r.err, " base relocations applied"), static_cast<int>(highlow)) << r.err;
    EXPECT_EQ(numberBefore(r.err, " imports bound"), static_cast<int>(symbols)) << r.err;
    EXPECT_EQ(numberBefore(r.err, " CPSR reads trapped"), std::atoi(disassembly.c_str())) << r.err;
    EXPECT_EQ(r.err.find("mapped at 0x00010000"), std::string::npos) << r.err;
}

}  // namespace
