#include "fault.h"

#include <unistd.h>

#include <cstdio>

#include "board.h"

namespace sim {

void boardFault(const std::string& what) {
    const std::string line = "virtual board: " + what + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    if (Board::isOpen()) Board::current().appendDebugLog(line);
    ::_exit(3);
}

}  // namespace sim
