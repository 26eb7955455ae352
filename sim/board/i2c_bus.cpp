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

Wires& wires(I2cBusId bus = I2cBusId::Standard) {
    static Wires* w = new Wires[2];  // outlives every static that might still move the bus at exit
    return w[static_cast<int>(bus)];
}

// A driver's number holds its bus in the lowest bit, its place among the bus's drivers above it.
I2cBusId busOf(int driver) {
    return static_cast<I2cBusId>(driver & 1);
}
size_t indexOf(int driver) {
    return static_cast<size_t>(driver >> 1);
}

bool computeLevel(const Wires& w, BusLine line) {
    for (const auto& p : w.pulls)
        if (p[static_cast<int>(line)].low) return false;
    return true;
}

bool& levelOf(BusLevels& l, BusLine line) {
    return line == BusLine::SCL ? l.scl : l.sda;
}

void deliver(I2cBusId bus) {
    Wires& w = wires(bus);
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
        traceLevelChange(c.line, c.line == BusLine::SCL ? c.levels.scl : c.levels.sda, c.ns, bus);
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
void update(BusLine line, uint64_t ns, I2cBusId bus) {
    Wires& w = wires(bus);
    const bool level = computeLevel(w, line);
    if (level == levelOf(w.level, line)) return;
    levelOf(w.level, line) = level;
    w.lastNs = ns;
    w.queue.push_back(Change{line, w.level, ns});
}

}  // namespace

int addDriver(const std::string& name, I2cBusId bus) {
    Wires& w = wires(bus);
    w.names.push_back(name);
    w.pulls.push_back({});
    return static_cast<int>((w.pulls.size() - 1) << 1) | static_cast<int>(bus);
}

void settle(uint64_t ns, I2cBusId bus) {
    Wires& w = wires(bus);
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
        update(static_cast<BusLine>(line), at > w.lastNs ? at : w.lastNs, bus);
    }
    deliver(bus);
}

void pull(BusLine line, int driver, bool low, std::optional<uint64_t> ns, std::optional<uint64_t> until) {
    const I2cBusId bus = busOf(driver);
    Wires& w = wires(bus);
    if (driver < 0 || indexOf(driver) >= w.pulls.size())
        throw std::logic_error("I2C bus: driver " + std::to_string(driver) + " was made for another board");
    uint64_t t = ns ? *ns : nowNs();
    settle(t, bus);
    if (t < w.lastNs) t = w.lastNs;
    w.pulls[indexOf(driver)][static_cast<int>(line)] = Pull{low, low ? until : std::nullopt};
    update(line, t, bus);
    deliver(bus);
}

void holdFromTheStart(BusLine line, int driver) {
    const I2cBusId bus = busOf(driver);
    Wires& w = wires(bus);
    w.pulls.at(indexOf(driver))[static_cast<int>(line)] = Pull{true, std::nullopt};
    levelOf(w.level, line) = false;
    w.busy = true;
    // The level the wire had before anybody here moved it, so that the trace's readers know it.
    const uint64_t now = nowNs();
    if (now > w.lastNs) w.lastNs = now;
    traceLevelFound(line, false, w.lastNs, bus);
}

bool high(BusLine line, I2cBusId bus) {
    settle(nowNs(), bus);
    return levelOf(wires(bus).level, line);
}

BusLevels levels(I2cBusId bus) {
    return wires(bus).level;
}

std::optional<uint64_t> lowUntil(BusLine line, uint64_t from, I2cBusId bus) {
    settle(from, bus);
    Wires& w = wires(bus);
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

uint64_t lastChangeNs(I2cBusId bus) {
    return wires(bus).lastNs;
}

void attach(std::shared_ptr<BusDevice> device, I2cBusId bus) {
    wires(bus).devices.push_back(std::move(device));
}

bool transactionOpen(I2cBusId bus) {
    return wires(bus).open;
}

void withholdNextAck(I2cBusId bus) {
    wires(bus).withheldAck = true;
}

bool takeWithheldAck(I2cBusId bus) {
    const bool w = wires(bus).withheldAck;
    wires(bus).withheldAck = false;
    return w;
}

void onBusy(std::function<void()> f, I2cBusId bus) {
    wires(bus).busyHooks.push_back(std::move(f));
}

void onIdle(std::function<void()> f, I2cBusId bus) {
    wires(bus).idleHooks.push_back(std::move(f));
}

void endProcess() {
    for (I2cBusId bus : kI2cBuses)
        for (auto& hook : wires(bus).idleHooks) hook();
    traceFlush();
}

void reset() {
    for (I2cBusId bus : kI2cBuses) wires(bus) = Wires{};
    traceDiscard();
}

}  // namespace sim::i2cbus
