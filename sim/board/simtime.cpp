#include "simtime.h"

#include <time.h>

#include <map>

#include "board.h"
#include "i2c_bus.h"

namespace sim {

namespace {

struct ProcessTime {
    bool started = false;
    bool virt = false;
    bool virtualClocks = false;  // the board's clocks run on the virtual uptime
    int64_t powerOnHost = 0;     // host file time of the board's power-on (virtual clocks: its true time)
    uint64_t virtualNs = 0;      // virtual timing: uptime now
    uint64_t startNs = 0;
    std::optional<uint64_t> eventNs;  // the time of the device event running now
    EventId nextId = 1;
    std::multimap<uint64_t, std::pair<EventId, std::function<void()>>> events;
};

ProcessTime& pt() {
    // Never destroyed: device models may still cancel their events while statics go away.
    static ProcessTime* t = new ProcessTime;
    return *t;
}

void ensureStarted() {
    if (!pt().started) timeStartProcess();
}

}  // namespace

int64_t hostFileTimeNow() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<int64_t>(ts.tv_sec) + 11644473600LL) * kFileTimeUnitsPerSecond + ts.tv_nsec / 100;
}

void timeStartProcess() {
    ProcessTime& t = pt();
    t.started = true;
    const Board& board = Board::current();
    t.virt = board.config().frozen;
    t.virtualClocks = board.config().virtualClocks;
    const BoardState s = board.readState();
    t.powerOnHost = s.powerOnHost;
    t.virtualNs = s.uptimeNs;
    t.startNs = t.virtualNs;
}

void timeEndProcess() {
    i2cbus::endProcess();
    ProcessTime& t = pt();
    if (!t.started || !t.virt || t.virtualNs == t.startNs) return;
    const uint64_t end = t.virtualNs;
    Board::current().updateState([&](BoardState& s) {
        if (end > s.uptimeNs) s.uptimeNs = end;
    });
}

void timeSyncWithBoard() {
    ensureStarted();
    ProcessTime& t = pt();
    if (!t.virt) return;
    const BoardState s = Board::current().readState();
    t.powerOnHost = s.powerOnHost;
    if (s.uptimeNs > t.virtualNs) t.virtualNs = s.uptimeNs;
    t.startNs = t.virtualNs;
}

int64_t boardNow() {
    ensureStarted();
    const ProcessTime& t = pt();
    if (!t.virtualClocks) return hostFileTimeNow();
    return t.powerOnHost + static_cast<int64_t>(t.virtualNs / 100);
}

int64_t boardTimeAtUptime(uint64_t ns) {
    ensureStarted();
    const ProcessTime& t = pt();
    // Real timing: uptime counts from the power-on on the host's clock. A frozen board's clocks
    // stand still and only need a reference.
    if (!t.virtualClocks && t.virt) return hostFileTimeNow();
    return t.powerOnHost + static_cast<int64_t>(ns / 100);
}

void skipBoardTime(uint64_t ns) {
    ensureStarted();
    ProcessTime& t = pt();
    if (!t.virtualClocks) throw BoardError("only a board with virtual clocks lets time be skipped");
    Board::current().updateState([&](BoardState& s) {
        if (t.virtualNs > s.uptimeNs) s.uptimeNs = t.virtualNs;
        s.uptimeNs += ns;
        t.powerOnHost = s.powerOnHost;
        t.virtualNs = s.uptimeNs;
        t.startNs = t.virtualNs;
    });
}

void timeResetForTests() {
    ProcessTime& t = pt();
    t = ProcessTime{};
}

bool virtualTiming() {
    ensureStarted();
    return pt().virt;
}

namespace {

uint64_t hostUptimeNs(const ProcessTime& t) {
    int64_t d = hostFileTimeNow() - t.powerOnHost;
    return d > 0 ? static_cast<uint64_t>(d) * 100 : 0;
}

}  // namespace

uint64_t nowNs() {
    ensureStarted();
    ProcessTime& t = pt();
    if (t.virt) return t.virtualNs;
    // A device event happens at its own time, however late the host gets round to it: what it
    // sets going (an interrupt's dispatch, the next edge) follows from then. On the device the
    // hardware and the kernel do not wait for a process that the host has not scheduled.
    if (t.eventNs) return *t.eventNs;
    return hostUptimeNs(t);
}

void advanceNs(uint64_t ns) {
    ensureStarted();
    if (pt().virt) pt().virtualNs += ns;
}

void sleepUntilNs(uint64_t target) {
    ensureStarted();
    ProcessTime& t = pt();
    if (t.virt) {
        if (target > t.virtualNs) t.virtualNs = target;
        return;
    }
    for (;;) {
        uint64_t now = hostUptimeNs(t);
        if (now >= target) return;
        uint64_t d = target - now;
        struct timespec ts {
            static_cast<time_t>(d / 1000000000u), static_cast<long>(d % 1000000000u)
        };
        nanosleep(&ts, nullptr);
    }
}

EventId scheduleAt(uint64_t atNs, std::function<void()> fn) {
    EventId id = pt().nextId++;
    pt().events.emplace(atNs, std::make_pair(id, std::move(fn)));
    return id;
}

void cancelEvent(EventId id) {
    auto& ev = pt().events;
    for (auto it = ev.begin(); it != ev.end(); ++it) {
        if (it->second.first == id) {
            ev.erase(it);
            return;
        }
    }
}

void runDue() {
    ProcessTime& t = pt();
    auto& ev = t.events;
    for (;;) {
        if (ev.empty()) return;
        auto it = ev.begin();
        if (it->first > nowNs()) return;
        auto fn = std::move(it->second.second);
        const uint64_t at = it->first;
        ev.erase(it);
        // On a board in real time, the event runs at its own time (see nowNs).
        struct AtEventTime {
            ProcessTime& t;
            std::optional<uint64_t> outer;
            ~AtEventTime() { t.eventNs = outer; }
        } scope{t, t.eventNs};
        if (!t.virt) t.eventNs = at;
        fn();
    }
}

std::optional<uint64_t> nextEventNs() {
    auto& ev = pt().events;
    if (ev.empty()) return std::nullopt;
    return ev.begin()->first;
}

}  // namespace sim
