// vboard: creates, shows and changes virtual boards.
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstdlib>

#include "../board/board.h"
#include "../board/simtime.h"
#include "../ceapi/kernel_objects.h"
#include "commands.h"

namespace vboard {

std::string& boardDirOption() {
    static std::string dir;
    return dir;
}

uint32_t parseNumber(const std::string& text, const std::string& what) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull)
        throw sim::BoardError(what + ": not a 32-bit number: \"" + text + "\"");
    return static_cast<uint32_t>(v);
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void openBoard() {
    std::string dir = boardDirOption();
    if (dir.empty()) {
        const char* env = std::getenv("TAMBLIN_BOARD");
        dir = (env && *env) ? env : "board";
    }
    sim::Board::use(dir);
    sim::timeStartProcess();
}

}  // namespace vboard

int main(int argc, char** argv) {
    CLI::App app{
        "vboard: the virtual board that Tamblin runs on.\n"
        "A board is a directory (board.json, registry.reg, state.json, debug.log)."};
    app.require_subcommand(1);
    app.add_option("-b,--board", vboard::boardDirOption(),
                   "Board directory (default: $TAMBLIN_BOARD, else ./board)");
    vboard::addBoardCommands(app);
    vboard::addChipCommands(app);
    vboard::addNotificationCommands(app);
    vboard::addRegistryCommands(app);
    vboard::addTraceCommands(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vboard: %s\n", e.what());
        return 2;
    }
    sim::timeEndProcess();
    sim::releaseProcessObjects();
    return 0;
}
