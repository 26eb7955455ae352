// Running the real programs (tamblin, vboard) on a board of the test's own, as a person would.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/board/board.h"

namespace e2e {

// A new board directory under the system's temporary directory; removed by the destructor.
struct Board {
    explicit Board(sim::BoardConfig config, const std::string& registry = sim::defaultRegistryText());
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    std::string dir;

    // Runs build/bin/tamblin on this board with `args` as its arguments; returns its exit code.
    int runTamblin(const std::vector<std::string>& args = {}) const;
    // Runs build/bin/vboard --board <dir> <args>; returns its exit code, output in `out`.
    int runVboard(const std::vector<std::string>& args, std::string* out = nullptr) const;

    std::string debugLog() const;
    sim::BoardState state() const;
    void changeState(const std::function<void(sim::BoardState&)>& change) const;
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
// Registry text selecting `protocol` (and `slaveAddr` when non-negative).
std::string registryFor(int protocol, int slaveAddr = -1);

}  // namespace e2e
