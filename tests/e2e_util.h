// Running the real programs (tamblin, vboard) on a board of the test's own, as a person would.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/board/board.h"

namespace e2e {

// A new board directory under the system's temporary directory; removed by the destructor.
struct Board {
    // `program` is the program in the build's bin directory that runs for the board's program
    // path: the host build's tamblin, or tamblin-exe (the device's Tamblin.exe through the loader).
    explicit Board(sim::BoardConfig config, const std::string& registry = sim::defaultRegistryText(),
                   const std::string& program = "tamblin");
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    std::string dir;
    std::string program;

    // Runs the board's program (build/bin/tamblin unless another was given) on this board with `args` as its
    // arguments; returns its exit code.
    int runTamblin(const std::vector<std::string>& args = {}) const;
    // Runs build/bin/vboard --board <dir> <args>; returns its exit code, output in `out`.
    int runVboard(const std::vector<std::string>& args, std::string* out = nullptr) const;

    // A program started on this board without waiting for it.
    struct Started {
        int pid = -1;
        int exitCode = -1;
        std::string outFile;
        // Its exit code once it has ended within `ms` of real time, else -1.
        int waitMs(int ms);
        // Ends it (only this process, by its id) if it still runs.
        void kill();
        std::string output() const;
    };
    Started startTamblin(const std::vector<std::string>& args = {}) const;
    Started startVboard(const std::vector<std::string>& args) const;

    std::string debugLog() const;
    // A file of the board directory ("trace.log", ...), empty when it does not exist.
    std::string file(const std::string& name) const;

    sim::BoardState state() const;
    void changeState(const std::function<void(sim::BoardState&)>& change) const;

    // The kernel keeps its clock in local time; these give and take it in UTC, by the board's zone
    // and daylight flag. The UTC the system clock was last set to (where a frozen board's stands),
    // and setting it to `utc` at the board's true time `at`.
    int64_t systemClockSetTo() const;
    void setSystemClock(int64_t utc, int64_t at) const;

    // A board with virtual clocks: its true time, system clock and every chip set to `trueTime`,
    // each chip's second starting there.
    void startAt(int64_t trueTime) const;
    // Its true time between runs.
    int64_t trueTime() const;
    // Lets `ns` of its time pass (uptime and clocks), as `vboard advance` does.
    void advance(uint64_t ns) const;
    // The system clock, and the time the chip at `address` (with sim::kPowerManagerBusKey on that
    // bus) shows with its second's fraction, at the true time; and the system clock less the true time.
    int64_t chipTime(uint8_t address) const;
    int64_t systemTime() const;

  private:
    mutable int started_ = 0;
};

// The built programs where another user can run them, for tests that run them as nobody: the build
// may lie inside a directory that only its owner may enter (mktemp -d makes them so), which the
// other user cannot pass. Each named program (and, in the ARM build, the program its wrapper
// script runs under qemu-arm) is copied into a directory that anybody may enter; removed again by
// the destructor.
struct ProgramsForAnyone {
    explicit ProgramsForAnyone(const std::vector<std::string>& names);
    ~ProgramsForAnyone();
    ProgramsForAnyone(const ProgramsForAnyone&) = delete;
    ProgramsForAnyone& operator=(const ProgramsForAnyone&) = delete;

    // The command line that runs the copy of `name` as nobody; empty, with the reason in `why`,
    // when nobody cannot read and execute the copy even so.
    std::vector<std::string> asNobody(const std::string& name, std::string* why) const;

    std::string dir;
};

// The whole of a file, empty when it cannot be read.
std::string readFile(const std::string& path);
// Runs `command` with /bin/sh and returns its standard output; `exitCode` gets its exit code, or
// -1 when it did not exit normally.
std::string runShell(const std::string& command, int* exitCode);

// sigrok-cli's I2C decoder on the VCD wires SCL and SDA, with every annotation the transactions
// need; and its annotations ("Start", "Address write: 68", "Data read: 43", "ACK", "NACK",
// "Stop") in the trace's transaction notation ("S D0 A 00 A P").
inline const std::string kSigrokI2c =
    "-P i2c:scl=SCL:sda=SDA -A "
    "i2c=start:repeat-start:stop:ack:nack:address-read:address-write:data-read:data-write";
std::vector<std::string> sigrokTransactions(const std::string& annotations);

// A parameterised case's name from its words: letters and digits kept, every other run of
// characters one '_', and its index after them so that cases of the same words stay apart.
std::string caseName(const std::string& words, size_t index);
// A case's words as a test list shows them: what CTest's discovery of the list would misread
// (list separators, brackets, quotes, line breaks, bytes beyond ASCII) shown as '_'.
void printCase(const std::string& words, std::ostream* os);
// A suite's name generator: each case named by what PrintTo says of its parameter, so that test
// lists and CTest read as the cases do.
struct CaseNames {
    template <typename Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
        return caseName(::testing::PrintToString(info.param), info.index);
    }
};

// What a program wrote and how it ended.
struct Output {
    int code = -1;
    std::string out, err;
};
// Runs `argv` (the program first) with TAMBLIN_BOARD set to `board`, or unset when it is empty, in
// `cwd` when one is given; standard input is empty.
Output runProgram(const std::vector<std::string>& argv, const std::string& board,
                  const std::string& cwd = "");

// A UTC date as a file time, by the Gregorian rules alone (independent of the platform stand-in).
int64_t fileTimeOf(int y, int mo, int d, int h, int mi, int s, int ms = 0);

// A frozen board with one chip of `protocol` at its default address, the notification service ready.
sim::BoardConfig frozenConfig(int protocol = 1);
// The same with virtual clocks: they run on the board's virtual time.
sim::BoardConfig virtualConfig(int protocol = 1);
// Registry text selecting `protocol` (and `slaveAddr` when non-negative).
std::string registryFor(int protocol, int slaveAddr = -1);

}  // namespace e2e
