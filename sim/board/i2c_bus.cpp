#include "i2c_bus.h"

#include <array>
#include <deque>
#include <stdexcept>
#include <vector>

#include "i2c_trace.h"
#include "simtime.h"

namespace sim::i2cbus {

namespace {

struct Pull {
    bool low = false;
    std::optional<uint64_t> until;  // lets go by itself then
};

struct Change {
    BusLine line;
    BusLevels levels;
    uint64_t ns;
};

struct Wires {
    std::vector<std::string> names;
    std::vector<std::array<Pull, 2>> pulls;
    BusLevels level;
    uint64_t lastNs = 0;
    std::vector<std::shared_ptr<BusDevice>> devices;
    std::deque<Change> queue;
    bool delivering = false;
    bool open = false;  // a start condition has been seen and no stop since
    bool busy = false;  // not free: a transaction is open or a line is low
    bool withheldAck = false;
    std::vector<std::function<void()>> busyHooks, idleHooks;
};

Wires& wires() {
    static Wires* w = new Wires;  // outlives every static that might still move the bus at exit
    return *w;
}

bool computeLevel(const Wires& w, BusLine line) {
    for (const auto& p : w.pulls)
        if (p[static_cast<int>(line)].low) return false;
    return true;
}

bool& levelOf(BusLevels& l, BusLine line) {
    return line == BusLine::SCL ? l.scl : l.sda;
}

void deliver() {
    Wires& w = wires();
    if (w.delivering) return;
    w.delivering = true;
    while (!w.queue.empty()) {
        const Change c = w.queue.front();
        w.queue.pop_front();
        const bool wasBusy = w.busy;
        if (!wasBusy) {
            w.busy = true;
            for (auto& hook : w.busyHooks) hook();
        }
        traceLevelChange(c.line, c.line == BusLine::SCL ? c.levels.scl : c.levels.sda, c.ns);
        if (c.line == BusLine::SDA && c.levels.scl) w.open = !c.levels.sda;  // start or stop
        for (auto& d : std::vector<std::shared_ptr<BusDevice>>(w.devices))
            d->lineChanged(c.line, c.levels, c.ns);
        if (!w.open && c.levels.scl && c.levels.sda && w.queue.empty()) {
            w.busy = false;
            for (auto& hook : w.idleHooks) hook();
            traceFlush();
        }
    }
    w.delivering = false;
}

// Records the new level of `line` at `ns` when it differs from the last one.
void update(BusLine line, uint64_t ns) {
    Wires& w = wires();
    const bool level = computeLevel(w, line);
    if (level == levelOf(w.level, line)) return;
    levelOf(w.level, line) = level;
    w.lastNs = ns;
    w.queue.push_back(Change{line, w.level, ns});
}

}  // namespace

int addDriver(const std::string& name) {
    Wires& w = wires();
    w.names.push_back(name);
    w.pulls.push_back({});
    return static_cast<int>(w.pulls.size() - 1);
}

void settle(uint64_t ns) {
    Wires& w = wires();
    for (;;) {
        // The earliest hold that has run out by `ns`.
        int driver = -1, line = -1;
        uint64_t at = 0;
        for (size_t d = 0; d < w.pulls.size(); ++d)
            for (int l = 0; l < 2; ++l) {
                const Pull& p = w.pulls[d][l];
                if (p.low && p.until && *p.until <= ns && (driver < 0 || *p.until < at)) {
                    driver = static_cast<int>(d);
                    line = l;
                    at = *p.until;
                }
            }
        if (driver < 0) break;
        w.pulls[driver][line] = Pull{};
        update(static_cast<BusLine>(line), at > w.lastNs ? at : w.lastNs);
    }
    deliver();
}

void pull(BusLine line, int driver, bool low, std::optional<uint64_t> ns, std::optional<uint64_t> until) {
    Wires& w = wires();
    if (driver < 0 || static_cast<size_t>(driver) >= w.pulls.size())
        throw std::logic_error("I2C bus: driver " + std::to_string(driver) + " was made for another board");
    uint64_t t = ns ? *ns : nowNs();
    settle(t);
    if (t < w.lastNs) t = w.lastNs;
    w.pulls[driver][static_cast<int>(line)] = Pull{low, low ? until : std::nullopt};
    update(line, t);
    deliver();
}

void holdFromTheStart(BusLine line, int driver) {
    Wires& w = wires();
    w.pulls.at(static_cast<size_t>(driver))[static_cast<int>(line)] = Pull{true, std::nullopt};
    levelOf(w.level, line) = false;
    w.busy = true;
    // The level the wire had before anybody here moved it, so that the trace's readers know it.
    const uint64_t now = nowNs();
    if (now > w.lastNs) w.lastNs = now;
    traceLevelFound(line, false, w.lastNs);
}

bool high(BusLine line) {
    settle(nowNs());
    return levelOf(wires().level, line);
}

BusLevels levels() {
    return wires().level;
}

std::optional<uint64_t> lowUntil(BusLine line, uint64_t from) {
    settle(from);
    Wires& w = wires();
    if (levelOf(w.level, line)) return from;
    uint64_t latest = from;
    for (const auto& p : w.pulls) {
        const Pull& h = p[static_cast<int>(line)];
        if (!h.low) continue;
        if (!h.until) return std::nullopt;
        if (*h.until > latest) latest = *h.until;
    }
    return latest;
}

uint64_t lastChangeNs() {
    return wires().lastNs;
}

void attach(std::shared_ptr<BusDevice> device) {
    wires().devices.push_back(std::move(device));
}

bool transactionOpen() {
    return wires().open;
}

void withholdNextAck() {
    wires().withheldAck = true;
}

bool takeWithheldAck() {
    const bool w = wires().withheldAck;
    wires().withheldAck = false;
    return w;
}

void onBusy(std::function<void()> f) {
    wires().busyHooks.push_back(std::move(f));
}

void onIdle(std::function<void()> f) {
    wires().idleHooks.push_back(std::move(f));
}

void endProcess() {
    Wires& w = wires();
    for (auto& hook : w.idleHooks) hook();
    traceFlush();
}

void reset() {
    Wires& w = wires();
    w = Wires{};
    traceDiscard();
}

}  // namespace sim::i2cbus
