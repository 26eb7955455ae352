// A throw-away virtual board for one test: created in a temporary directory, made the board of
// this process, removed again at the end.
#pragma once

#include <string>

#include "sim/board/board.h"

namespace testing_board {

// The default board, but with a frozen clock so that runs are repeatable.
sim::BoardConfig frozenDefaults();

struct TestBoard {
    explicit TestBoard(sim::BoardConfig config = frozenDefaults(),
                       std::string registryText = sim::defaultRegistryText());
    ~TestBoard();
    TestBoard(const TestBoard&) = delete;
    TestBoard& operator=(const TestBoard&) = delete;

    std::string path(const std::string& name) const { return dir + "/" + name; }
    // The board's debug log as written so far (UTF-8).
    std::string debugLog() const;
    // Replaces registry.reg.
    void writeRegistry(const std::string& text) const;

    std::string dir;
};

}  // namespace testing_board

using testing_board::TestBoard;
