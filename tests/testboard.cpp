#include "testboard.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sim/board/simtime.h"
#include "sim/ceapi/kernel_objects.h"

namespace testing_board {

sim::BoardConfig frozenDefaults() {
    sim::BoardConfig c = sim::defaultBoardConfig();
    c.frozen = true;
    return c;
}

TestBoard::TestBoard(sim::BoardConfig config, std::string registryText) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tamblin-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary board directory");
    dir = pattern;
    sim::createBoard(dir, config, registryText);
    sim::Board::use(dir);
    sim::releaseProcessObjects();
    sim::timeResetForTests();
}

TestBoard::~TestBoard() {
    sim::releaseProcessObjects();
    sim::timeResetForTests();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

std::string TestBoard::debugLog() const {
    std::ifstream in(path("debug.log"), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void TestBoard::writeRegistry(const std::string& text) const {
    // A new file rather than rewriting the old one in place, as an editor would: the stand-in
    // notices the change even within one timestamp tick.
    const std::string tmp = path("registry.reg.new");
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::filesystem::rename(tmp, path("registry.reg"));
}

}  // namespace testing_board
