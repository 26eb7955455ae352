// The processor's interrupt controller as the board's devices drive it: one level-sensitive
// request line per interrupt source. A device holds its line asserted until its cause is cleared.
// The operating system's interrupt dispatch listens to the lines; the controller knows nothing of
// what it does with them.
#pragma once

#include <functional>

namespace sim {

constexpr unsigned kIrqLineCount = 64;

// A line that does not exist is a fault of the board's own models (boardFault).
void setIrqLine(unsigned irq, bool asserted);
bool irqLineAsserted(unsigned irq);

// Called whenever a line becomes (or is driven again while) asserted. One listener: the
// dispatcher of the operating system that runs on the board.
void setIrqListener(std::function<void(unsigned irq)> listener);

// Tests: every line deasserted (the listener stays).
void resetIrqLinesForTests();

}  // namespace sim
