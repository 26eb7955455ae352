#include "trace_views.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>
#include <sstream>

#include "../board/json_fields.h"

namespace sim {

namespace {

std::string hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

bool byTime(const TraceRecord& a, const TraceRecord& b) {
    return a.ns < b.ns;
}

}  // namespace

std::vector<TraceRecord> parseTrace(const std::string& text) {
    std::vector<TraceRecord> out;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty()) continue;
        std::istringstream f(line);
        TraceRecord r;
        bool ok = static_cast<bool>(f >> r.ns >> r.kind);
        if (ok && (r.kind == "L" || r.kind == "H")) {
            int level = 0;
            ok = static_cast<bool>(f >> r.line >> level);
            if (r.line.rfind("PWR_", 0) == 0) {
                r.line = r.line.substr(4);
                r.bus = I2cBusId::PowerManager;
            }
            ok = ok && (r.line == "SCL" || r.line == "SDA") && (level == 0 || level == 1);
            r.value = level ? 1 : 0;
        } else if (ok && r.kind == "F") {
            std::getline(f >> std::ws, r.text);
            ok = !r.text.empty();
        } else if (ok && r.kind == "R") {
            ok = static_cast<bool>(f >> r.pid);
            std::getline(f >> std::ws, r.text);
        } else if (ok && (r.kind == "S" || r.kind == "Sr" || r.kind == "P" || r.kind == "ARB")) {
            ok = static_cast<bool>(f >> r.bitNs);
            std::string bus;
            if (ok && r.kind == "ARB" && f >> bus) {
                ok = bus == "PWR";
                r.bus = I2cBusId::PowerManager;
            }
        } else if (ok && r.kind == "B") {
            std::string value, ack;
            ok = static_cast<bool>(f >> r.bitNs >> value >> ack) && (ack == "A" || ack == "N") &&
                 value.size() <= 2 && value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
            if (ok) {
                r.value = static_cast<uint8_t>(std::stoul(value, nullptr, 16));
                r.ack = ack == "A";
            }
        } else {
            ok = false;
        }
        if (!ok)
            throw BoardError("trace.log line " + std::to_string(number) + ": cannot read \"" + line + "\"");
        out.push_back(r);
    }
    return out;
}

namespace {

// Records from one process come in time order; those of several, flushed one after the other,
// need sorting.
const std::vector<TraceRecord>& inTimeOrder(const std::vector<TraceRecord>& input,
                                            std::vector<TraceRecord>& copy) {
    if (std::is_sorted(input.begin(), input.end(), byTime)) return input;
    copy = input;
    std::stable_sort(copy.begin(), copy.end(), byTime);
    return copy;
}

// A decoded record of an older trace, its times brought to the points the decoder gives: the
// SDA edge of a condition, the cells of a byte.
TraceRecord normalised(TraceRecord r) {
    const uint64_t T = r.bitNs;
    if (r.kind == "S" || r.kind == "Sr" || r.kind == "P") r.ns += T / 2;
    if (r.kind == "B") {
        r.ackNs = r.ns + 8 * T;
        r.endNs = r.ns + 9 * T;
    }
    return r;
}

bool& levelOf(BusLevels& l, const std::string& line) {
    return line == "SCL" ? l.scl : l.sda;
}

// A record of the lines of one bus (the notes, F and R, belong to neither).
bool ofBus(const TraceRecord& r) {
    return r.kind != "F" && r.kind != "R";
}

// The decoder on the wires of `bus`: its conditions and bytes with the notes (when `notes`) in
// their place, in the order the decoder finds them.
std::vector<TraceRecord> decodeBus(const std::vector<TraceRecord>& records, I2cBusId bus, bool notes) {
    std::vector<TraceRecord> out;
    BusLevels level;
    bool open = false;
    int bits = -1;  // clock pulses of the current byte seen; -1 outside a transaction
    uint8_t byte = 0;
    uint64_t firstRise = 0, lastRise = 0, shortest = 0;
    // Clock pulses outside a transaction: a bus recovery, ended by the stop that follows them.
    TraceRecord recovery;
    bool sclFellOutside = false;
    auto endRecovery = [&](uint64_t stopNs) {
        if (recovery.pulses == 0) return false;
        recovery.kind = "RCV";
        recovery.bus = bus;
        recovery.endNs = stopNs;
        out.push_back(recovery);
        recovery = TraceRecord{};
        return true;
    };
    for (const TraceRecord& r : records) {
        if (ofBus(r) ? r.bus != bus : !notes) continue;
        if (r.kind == "H") {
            // A line as the process found it: a level, not an edge any master made.
            levelOf(level, r.line) = r.value != 0;
            out.push_back(r);
            continue;
        }
        if (r.kind != "L") {
            out.push_back(r.kind == "S" || r.kind == "Sr" || r.kind == "P" || r.kind == "B" ? normalised(r)
                                                                                            : r);
            continue;
        }
        const bool high = r.value != 0;
        if (r.line == "SCL") {
            // A pulse is a fall and a rise: a line held low since before (H) that is let go is none.
            if (bits < 0 && !high && level.scl) sclFellOutside = true;
            if (bits < 0 && high && !level.scl && sclFellOutside) {
                if (recovery.pulses++ == 0) recovery.ns = r.ns;
                sclFellOutside = false;
            }
            if (high && !level.scl && bits >= 0) {
                // The bit time is the shortest from one rise to the next within a byte: waits
                // between bytes and a chip stretching the clock only ever make it longer.
                if (bits == 0) {
                    firstRise = r.ns;
                    shortest = 0;
                } else if (shortest == 0 || r.ns - lastRise < shortest) {
                    shortest = r.ns - lastRise;
                }
                lastRise = r.ns;
                if (bits < 8) {
                    byte = static_cast<uint8_t>((byte << 1) | (level.sda ? 1 : 0));
                    ++bits;
                } else {
                    // Each bit's cell is a bit time around the rise of SCL that samples it.
                    TraceRecord b;
                    b.bus = bus;
                    b.kind = "B";
                    b.bitNs = shortest;
                    b.ns = firstRise - std::min(firstRise, shortest / 2);
                    b.value = byte;
                    b.ack = !level.sda;
                    b.ackNs = r.ns - shortest / 2;
                    b.endNs = r.ns + shortest / 2;
                    out.push_back(b);
                    bits = 0;
                    byte = 0;
                }
            }
            level.scl = high;
            continue;
        }
        if (level.scl && level.sda && !high) {  // start or repeated start
            endRecovery(0);
            TraceRecord s;
            s.bus = bus;
            s.ns = r.ns;
            s.kind = open ? "Sr" : "S";
            out.push_back(s);
            open = true;
            bits = 0;
            byte = 0;
        } else if (level.scl && !level.sda && high) {  // stop
            if (open || !endRecovery(r.ns)) {
                TraceRecord p;
                p.bus = bus;
                p.ns = r.ns;
                p.kind = "P";
                out.push_back(p);
            }
            open = false;
            bits = -1;
            sclFellOutside = false;
        }
        level.sda = high;
    }
    endRecovery(0);
    // A condition has no speed of its own: a start takes the bus speed of the byte that follows
    // it, a stop that of the byte before it.
    for (size_t i = 0; i < out.size(); ++i) {
        TraceRecord& c = out[i];
        if (c.bitNs || (c.kind != "S" && c.kind != "Sr" && c.kind != "P")) continue;
        if (c.kind == "P") {
            for (size_t j = i; j-- > 0 && out[j].kind != "S" && out[j].kind != "Sr" && out[j].kind != "P";)
                if (out[j].kind == "B") {
                    c.bitNs = out[j].bitNs;
                    break;
                }
        } else {
            for (size_t j = i + 1;
                 j < out.size() && out[j].kind != "S" && out[j].kind != "Sr" && out[j].kind != "P"; ++j)
                if (out[j].kind == "B") {
                    c.bitNs = out[j].bitNs;
                    break;
                }
        }
    }
    return out;
}

}  // namespace

bool traceHasPowerManagerBus(const std::vector<TraceRecord>& records) {
    for (const TraceRecord& r : records)
        if (ofBus(r) && r.bus == I2cBusId::PowerManager) return true;
    return false;
}

std::vector<TraceRecord> decodeTrace(const std::vector<TraceRecord>& input) {
    std::vector<TraceRecord> copy;
    const std::vector<TraceRecord>& records = inTimeOrder(input, copy);
    const bool pwr = traceHasPowerManagerBus(records);
    bool standard = !pwr;
    for (const TraceRecord& r : records) standard = standard || (ofBus(r) && r.bus == I2cBusId::Standard);
    if (!pwr || !standard) return decodeBus(records, pwr ? I2cBusId::PowerManager : I2cBusId::Standard, true);
    // Both buses: each decoded on its own, merged by time, each keeping its own order.
    const std::vector<TraceRecord> a = decodeBus(records, I2cBusId::Standard, true);
    const std::vector<TraceRecord> b = decodeBus(records, I2cBusId::PowerManager, false);
    std::vector<TraceRecord> out;
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size())
        out.push_back(j < b.size() && (i == a.size() || b[j].ns < a[i].ns) ? b[j++] : a[i++]);
    return out;
}

std::vector<std::string> traceTransactions(const std::vector<TraceRecord>& records,
                                           const TraceWindow& window) {
    std::vector<std::string> out;
    std::string open[2];  // the transaction under way on each bus
    auto end = [&](I2cBusId bus, const std::string& last) {
        std::string& current = open[static_cast<int>(bus)];
        out.push_back((bus == I2cBusId::PowerManager ? "pwr: " : "") + current + last);
        current.clear();
    };
    for (const TraceRecord& r : decodeTrace(records)) {
        if (!window.contains(r.ns) || !ofBus(r)) continue;
        std::string& current = open[static_cast<int>(r.bus)];
        if (r.kind == "S") {
            if (!current.empty()) end(r.bus, "");  // a start without a stop before it
            current = "S";
        } else if (r.kind == "Sr") {
            current += current.empty() ? "Sr" : " Sr";
        } else if (r.kind == "B") {
            current += (current.empty() ? "" : " ") + hex2(r.value) + (r.ack ? " A" : " N");
        } else if (r.kind == "P" && !current.empty()) {  // a stop outside a transaction ends nothing
            end(r.bus, " P");
        }
    }
    for (I2cBusId bus : kI2cBuses)
        if (!open[static_cast<int>(bus)].empty()) end(bus, "");
    return out;
}

std::vector<LineEdge> traceEdges(const std::vector<TraceRecord>& records, BusLevels* initial, I2cBusId bus) {
    struct Edge {
        LineEdge e;
        bool held;
    };
    std::vector<Edge> edges;
    auto add = [&](uint64_t ns, BusLine line, bool high, bool held = false) {
        edges.push_back({{ns, line, high}, held});
    };
    for (const TraceRecord& r : records) {
        if (r.bus != bus) continue;
        const uint64_t t = r.ns, T = r.bitNs;
        if (r.kind == "S" || r.kind == "Sr") {
            // SDA falls while SCL is high; from an idle bus the first two edges change nothing.
            add(t, BusLine::SDA, true);
            add(t + T / 4, BusLine::SCL, true);
            add(t + T / 2, BusLine::SDA, false);
            add(t + 3 * T / 4, BusLine::SCL, false);
        } else if (r.kind == "P") {
            add(t, BusLine::SDA, false);
            add(t + T / 4, BusLine::SCL, true);
            add(t + T / 2, BusLine::SDA, true);
        } else if (r.kind == "B") {
            for (int i = 0; i < 9; ++i) {
                const bool bit = i < 8 ? (r.value >> (7 - i)) & 1 : !r.ack;
                const uint64_t b = t + static_cast<uint64_t>(i) * T;
                add(b + T / 8, BusLine::SDA, bit);
                add(b + T / 2, BusLine::SCL, true);
                add(b + 7 * T / 8, BusLine::SCL, false);
            }
        } else if (r.kind == "L" || r.kind == "H") {
            add(t, r.line == "SCL" ? BusLine::SCL : BusLine::SDA, r.value != 0, r.kind == "H");
        }
    }
    std::stable_sort(edges.begin(), edges.end(),
                     [](const Edge& a, const Edge& b) { return a.e.ns < b.e.ns; });
    std::vector<LineEdge> out;
    bool level[2] = {true, true}, seen[2] = {false, false};
    for (const Edge& e : edges) {
        const int i = static_cast<int>(e.e.line);
        // A line found held before anything moved it: that is the level the trace begins with.
        if (!seen[i] && e.held) level[i] = e.e.high;
        seen[i] = true;
        if (level[i] == e.e.high) continue;
        level[i] = e.e.high;
        out.push_back(e.e);
    }
    if (initial) {
        // The level before each line's first change, else the level it kept throughout.
        bool changed[2] = {false, false};
        initial->scl = level[0];
        initial->sda = level[1];
        for (const LineEdge& e : out) {
            const int i = static_cast<int>(e.line);
            if (changed[i]) continue;
            changed[i] = true;
            (i == 0 ? initial->scl : initial->sda) = !e.high;
        }
    }
    return out;
}

std::optional<TraceWindow> lastProgramWindow(const std::vector<TraceRecord>& records) {
    struct Part {
        uint64_t first = UINT64_MAX, last = 0;
        size_t order = 0;
    };
    std::map<int, Part> parts;
    Part* current = nullptr;
    for (size_t i = 0; i < records.size(); ++i) {
        const TraceRecord& r = records[i];
        if (r.kind == "R") {
            current = &parts[r.pid];
            current->first = std::min(current->first, r.ns);
            current->order = i;
        }
        if (current) current->last = std::max(current->last, r.ns);
    }
    const Part* last = nullptr;
    for (const auto& [pid, part] : parts)
        if (!last || part.first > last->first || (part.first == last->first && part.order > last->order))
            last = &part;
    if (!last) return std::nullopt;
    return TraceWindow{last->first, last->last};
}

void writeVcd(const std::vector<TraceRecord>& records, std::ostream& out, const TraceWindow& window) {
    // The power-manager unit's lines only where the trace has them: a trace of the standard bus
    // alone gives the file it always gave.
    const bool pwr = traceHasPowerManagerBus(records);
    std::vector<std::pair<char, const char*>> wires = {{'!', "SCL"}, {'"', "SDA"}};
    if (pwr) wires.insert(wires.end(), {{'$', "PWR_SCL"}, {'%', "PWR_SDA"}});
    // The levels where the window begins, and the changes within it.
    struct Change {
        uint64_t ns;
        char id;
        int level;
    };
    std::vector<Change> changes;
    std::vector<bool> level;
    for (I2cBusId bus : kI2cBuses) {
        if (bus == I2cBusId::PowerManager && !pwr) break;
        BusLevels initial;
        const std::vector<LineEdge> all = traceEdges(records, &initial, bus);
        const char scl = bus == I2cBusId::Standard ? '!' : '$', sda = bus == I2cBusId::Standard ? '"' : '%';
        for (const LineEdge& e : all) {
            if (window.fromNs && e.ns < *window.fromNs)
                (e.line == BusLine::SCL ? initial.scl : initial.sda) = e.high;
            else if (window.contains(e.ns))
                changes.push_back({e.ns, e.line == BusLine::SCL ? scl : sda, e.high ? 1 : 0});
        }
        level.push_back(initial.scl);
        level.push_back(initial.sda);
    }
    std::vector<uint64_t> faults;
    for (const TraceRecord& r : records)
        if (r.kind == "F" && window.contains(r.ns)) faults.push_back(r.ns);
    std::sort(faults.begin(), faults.end());
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Change& a, const Change& b) { return a.ns < b.ns; });
    uint64_t first = changes.empty() ? window.fromNs.value_or(0) : changes.front().ns;
    if (!faults.empty() && faults.front() < first) first = faults.front();
    // The levels a little before the first change; viewers and decoders start there.
    uint64_t start = first > 1000 ? first - 1000 : 0;
    if (window.fromNs) start = std::max(start, *window.fromNs);
    out << "$date tamblin virtual board $end\n"
        << "$timescale 1ns $end\n"
        << "$scope module i2c $end\n";
    for (size_t i = 0; i < wires.size(); ++i) {
        out << "$var wire 1 " << wires[i].first << " " << wires[i].second << " $end\n";
        if (i == 1) out << "$var wire 1 # FAULT $end\n";
    }
    out << "$upscope $end\n"
        << "$enddefinitions $end\n"
        << "#" << start << "\n$dumpvars\n";
    for (size_t i = 0; i < wires.size(); ++i) {
        out << (level[i] ? 1 : 0) << wires[i].first << "\n";
        if (i == 1) out << "0#\n";
    }
    out << "$end\n";
    // Changes in time order; a fault is a pulse of 100 ns on FAULT.
    for (uint64_t f : faults) {
        changes.push_back({f, '#', 1});
        changes.push_back({f + 100, '#', 0});
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Change& a, const Change& b) { return a.ns < b.ns; });
    uint64_t last = start;
    bool any = false;
    for (const Change& c : changes) {
        if (!any || c.ns != last) out << "#" << c.ns << "\n";
        any = true;
        last = c.ns;
        out << c.level << c.id << "\n";
    }
    out << "#" << last + 10000 << "\n";
}

}  // namespace sim
