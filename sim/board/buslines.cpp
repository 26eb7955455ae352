#include "buslines.h"

#include <vector>

namespace sim {

namespace {

struct Lines {
    bool pulled[2][3] = {};
    std::vector<std::function<void(BusLine, bool)>> observers;
};

Lines& lines() {
    static Lines l;
    return l;
}

bool levelOf(const Lines& l, BusLine line) {
    const bool* p = l.pulled[static_cast<int>(line)];
    return !(p[0] || p[1] || p[2]);
}

}  // namespace

void pullLine(BusLine line, LineDriver who, bool pullLow) {
    Lines& l = lines();
    const bool before = levelOf(l, line);
    l.pulled[static_cast<int>(line)][static_cast<int>(who)] = pullLow;
    const bool after = levelOf(l, line);
    if (before == after) return;
    for (auto& observer : l.observers) observer(line, after);
}

bool lineHigh(BusLine line) {
    return levelOf(lines(), line);
}

void onLineChange(std::function<void(BusLine, bool)> observer) {
    lines().observers.push_back(std::move(observer));
}

void resetBusLinesForTests() {
    lines() = Lines{};
}

}  // namespace sim
