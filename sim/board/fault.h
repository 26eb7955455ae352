// A fault that the real board would show as a trap, a hang or a refusal that stops the process
// (a data abort, an undefined instruction, a bus cycle nobody answers, a board that cannot hold
// what the program asks of it): written to stderr and the board's debug log, then the process
// ends with exit code 3.
#pragma once

#include <string>

namespace sim {

[[noreturn]] void boardFault(const std::string& what);

}  // namespace sim
