#include "i2c_trace.h"

#include <cstdio>

#include "board.h"

namespace sim {

namespace {

std::string& pending() {
    static std::string* p = new std::string;  // flushed at exit after other statics are gone
    return *p;
}

}  // namespace

// Every edge of every bit comes through here: written straight into the pending text.
void traceLevelChange(BusLine line, bool high, uint64_t ns) {
    char text[40];
    const int n = std::snprintf(text, sizeof text, "%llu L %s %c\n", static_cast<unsigned long long>(ns),
                                line == BusLine::SCL ? "SCL" : "SDA", high ? '1' : '0');
    pending().append(text, static_cast<size_t>(n));
}

void traceArbitrationLost(uint64_t ns, uint64_t bitNs) {
    pending() += std::to_string(ns) + " ARB " + std::to_string(bitNs) + "\n";
}

void traceFault(uint64_t ns, const std::string& text) {
    pending() += std::to_string(ns) + " F " + text + "\n";
}

void traceFlush() {
    std::string& p = pending();
    if (p.empty() || !Board::isOpen()) return;
    // One append per flush: O_APPEND keeps the records of concurrent processes whole.
    Board::current().appendTrace(p);
    p.clear();
}

void traceDiscard() {
    pending().clear();
}

}  // namespace sim
