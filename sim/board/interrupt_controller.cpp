#include "interrupt_controller.h"

#include <string>

#include "fault.h"

namespace sim {

namespace {

struct Lines {
    bool asserted[kIrqLineCount] = {};
    std::function<void(unsigned)> listener;
};

Lines& lines() {
    static Lines l;
    return l;
}

}  // namespace

void setIrqLine(unsigned irq, bool asserted) {
    if (irq >= kIrqLineCount) boardFault("board model: IRQ line " + std::to_string(irq) + " does not exist");
    Lines& l = lines();
    l.asserted[irq] = asserted;
    if (asserted && l.listener) l.listener(irq);
}

bool irqLineAsserted(unsigned irq) {
    return irq < kIrqLineCount && lines().asserted[irq];
}

void setIrqListener(std::function<void(unsigned irq)> listener) {
    lines().listener = std::move(listener);
}

void resetIrqLinesForTests() {
    for (bool& a : lines().asserted) a = false;
}

}  // namespace sim
