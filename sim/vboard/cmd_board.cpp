// vboard init / show / set-time / log: the board as a whole and its operating system's state; init,
// show and set-time each have a file of their own.
#include <cstdio>
#include <fstream>

#include "../board/board.h"
#include "commands.h"

namespace vboard {

void addBoardCommands(CLI::App& app) {
    addInitCommand(app);
    addShowCommand(app);
    addSetTimeCommand(app);

    static bool clear = false;
    CLI::App* log = app.add_subcommand("log", "Print the board's debug log");
    log->add_flag("--clear", clear, "Empty the log afterwards");
    log->callback([] {
        openBoard();
        const std::string path = sim::Board::current().path("debug.log");
        const std::string text = sim::readFile(path);
        // Emptied before it is shown, so that a log that cannot be emptied is refused whole.
        if (clear && !std::ofstream(path, std::ios::trunc))
            throw sim::BoardError(path + ": cannot empty the log");
        std::fputs(text.c_str(), stdout);
    });
}

}  // namespace vboard
