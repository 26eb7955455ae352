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
            ok = static_cast<bool>(f >> r.line >> level) && (r.line == "SCL" || r.line == "SDA") &&
                 (level == 0 || level == 1);
            r.value = level ? 1 : 0;
        } else if (ok && r.kind == "F") {
            std::getline(f >> std::ws, r.text);
            ok = !r.text.empty();
        } else if (ok && r.kind == "R") {
            ok = static_cast<bool>(f >> r.pid);
            std::getline(f >> std::ws, r.text);
        } else if (ok && (r.kind == "S" || r.kind == "Sr" || r.kind == "P" || r.kind == "ARB")) {
            ok = static_cast<bool>(f >> r.bitNs);
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

}  // namespace

std::vector<TraceRecord> decodeTrace(const std::vector<TraceRecord>& input) {
    std::vector<TraceRecord> copy;
    const std::vector<TraceRecord>& records = inTimeOrder(input, copy);
    std::vector<TraceRecord> out;
    BusLevels level;
    bool open = false;
    int bits = -1;  // clock pulses of the current byte seen; -1 outside a transaction
    uint8_t byte = 0;
    uint64_t firstRise = 0, lastRise = 0, shortest = 0;
    for (const TraceRecord& r : records) {
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
            TraceRecord s;
            s.ns = r.ns;
            s.kind = open ? "Sr" : "S";
            out.push_back(s);
            open = true;
            bits = 0;
            byte = 0;
        } else if (level.scl && !level.sda && high) {  // stop
            TraceRecord p;
            p.ns = r.ns;
            p.kind = "P";
            out.push_back(p);
            open = false;
            bits = -1;
        }
        level.sda = high;
    }
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

std::vector<std::string> traceTransactions(const std::vector<TraceRecord>& records,
                                           const TraceWindow& window) {
    std::vector<std::string> out;
    std::string current;
    for (const TraceRecord& r : decodeTrace(records)) {
        if (!window.contains(r.ns)) continue;
        if (r.kind == "S") {
            if (!current.empty()) out.push_back(current);  // a start without a stop before it
            current = "S";
        } else if (r.kind == "Sr") {
            current += current.empty() ? "Sr" : " Sr";
        } else if (r.kind == "B") {
            current += (current.empty() ? "" : " ") + hex2(r.value) + (r.ack ? " A" : " N");
        } else if (r.kind == "P" && !current.empty()) {  // a stop outside a transaction ends nothing
            out.push_back(current + " P");
            current.clear();
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

std::vector<LineEdge> traceEdges(const std::vector<TraceRecord>& records, BusLevels* initial) {
    struct Edge {
        LineEdge e;
        bool held;
    };
    std::vector<Edge> edges;
    auto add = [&](uint64_t ns, BusLine line, bool high, bool held = false) {
        edges.push_back({{ns, line, high}, held});
    };
    for (const TraceRecord& r : records) {
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
    BusLevels level;
    const std::vector<LineEdge> all = traceEdges(records, &level);
    // The levels where the window begins, and the changes within it.
    std::vector<LineEdge> edges;
    for (const LineEdge& e : all) {
        if (window.fromNs && e.ns < *window.fromNs)
            (e.line == BusLine::SCL ? level.scl : level.sda) = e.high;
        else if (window.contains(e.ns))
            edges.push_back(e);
    }
    std::vector<uint64_t> faults;
    for (const TraceRecord& r : records)
        if (r.kind == "F" && window.contains(r.ns)) faults.push_back(r.ns);
    std::sort(faults.begin(), faults.end());
    uint64_t first = edges.empty() ? window.fromNs.value_or(0) : edges.front().ns;
    if (!faults.empty() && faults.front() < first) first = faults.front();
    // The levels a little before the first change; viewers and decoders start there.
    uint64_t start = first > 1000 ? first - 1000 : 0;
    if (window.fromNs) start = std::max(start, *window.fromNs);
    out << "$date tamblin virtual board $end\n"
        << "$timescale 1ns $end\n"
        << "$scope module i2c $end\n"
        << "$var wire 1 ! SCL $end\n"
        << "$var wire 1 \" SDA $end\n"
        << "$var wire 1 # FAULT $end\n"
        << "$upscope $end\n"
        << "$enddefinitions $end\n"
        << "#" << start << "\n$dumpvars\n"
        << (level.scl ? 1 : 0) << "!\n"
        << (level.sda ? 1 : 0) << "\"\n0#\n$end\n";
    // Changes in time order; a fault is a pulse of 100 ns on FAULT.
    struct Change {
        uint64_t ns;
        char id;
        int level;
    };
    std::vector<Change> changes;
    for (const LineEdge& e : edges)
        changes.push_back({e.ns, e.line == BusLine::SCL ? '!' : '"', e.high ? 1 : 0});
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
