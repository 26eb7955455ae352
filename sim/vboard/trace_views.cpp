#include "trace_views.h"

#include <algorithm>
#include <cstdio>
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
        if (ok && r.kind == "L") {
            int level = 0;
            ok = static_cast<bool>(f >> r.line >> level) && (r.line == "SCL" || r.line == "SDA") &&
                 (level == 0 || level == 1);
            r.value = level ? 1 : 0;
        } else if (ok && r.kind == "F") {
            std::getline(f >> std::ws, r.text);
            ok = !r.text.empty();
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

std::vector<TraceRecord> decodeTrace(const std::vector<TraceRecord>& input) {
    // Records from one process come in time order; those of several, flushed one after the
    // other, need sorting.
    std::vector<TraceRecord> sorted;
    if (!std::is_sorted(input.begin(), input.end(), byTime)) {
        sorted = input;
        std::stable_sort(sorted.begin(), sorted.end(), byTime);
    }
    const std::vector<TraceRecord>& records = sorted.empty() ? input : sorted;
    std::vector<TraceRecord> out;
    BusLevels level;
    bool open = false;
    int bits = -1;  // bits of the current byte seen; -1 outside a transaction
    uint8_t byte = 0;
    uint64_t byteStart = 0, lastRise = 0, bitNs = 0;
    for (const TraceRecord& r : records) {
        if (r.kind != "L") {
            out.push_back(r);
            continue;
        }
        const bool high = r.value != 0;
        if (r.line == "SCL") {
            if (high && !level.scl && bits >= 0) {
                if (lastRise) bitNs = r.ns - lastRise;
                lastRise = r.ns;
                if (bits < 8) {
                    if (bits == 0) byteStart = r.ns;
                    byte = static_cast<uint8_t>((byte << 1) | (level.sda ? 1 : 0));
                    ++bits;
                } else {
                    TraceRecord b;
                    b.ns = byteStart;
                    b.kind = "B";
                    b.bitNs = bitNs;
                    b.value = byte;
                    b.ack = !level.sda;
                    out.push_back(b);
                    bits = 0;
                    byte = 0;
                }
            }
            level.scl = high;
        } else {
            if (level.scl && level.sda && !high) {  // start or repeated start
                TraceRecord s;
                s.ns = r.ns;
                s.kind = open ? "Sr" : "S";
                s.bitNs = bitNs;
                out.push_back(s);
                open = true;
                bits = 0;
                byte = 0;
                lastRise = 0;
            } else if (level.scl && !level.sda && high) {  // stop
                TraceRecord p;
                p.ns = r.ns;
                p.kind = "P";
                p.bitNs = bitNs;
                out.push_back(p);
                open = false;
                bits = -1;
            }
            level.sda = high;
        }
    }
    return out;
}

std::vector<std::string> traceTransactions(const std::vector<TraceRecord>& records) {
    std::vector<std::string> out;
    std::string current;
    for (const TraceRecord& r : decodeTrace(records)) {
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

std::vector<LineEdge> traceEdges(const std::vector<TraceRecord>& records) {
    struct Edge {
        LineEdge e;
        size_t order;
    };
    std::vector<Edge> edges;
    auto add = [&](uint64_t ns, BusLine line, bool high) {
        edges.push_back({{ns, line, high}, edges.size()});
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
        } else if (r.kind == "L") {
            add(t, r.line == "SCL" ? BusLine::SCL : BusLine::SDA, r.value != 0);
        }
    }
    std::stable_sort(edges.begin(), edges.end(),
                     [](const Edge& a, const Edge& b) { return a.e.ns < b.e.ns; });
    std::vector<LineEdge> out;
    bool level[2] = {true, true};
    for (const Edge& e : edges) {
        const int i = static_cast<int>(e.e.line);
        if (level[i] == e.e.high) continue;
        level[i] = e.e.high;
        out.push_back(e.e);
    }
    return out;
}

void writeVcd(const std::vector<TraceRecord>& records, std::ostream& out) {
    const std::vector<LineEdge> edges = traceEdges(records);
    std::vector<uint64_t> faults;
    for (const TraceRecord& r : records)
        if (r.kind == "F") faults.push_back(r.ns);
    std::sort(faults.begin(), faults.end());
    uint64_t first = edges.empty() ? 0 : edges.front().ns;
    if (!faults.empty() && faults.front() < first) first = faults.front();
    // The idle levels a little before the first change; viewers and decoders start there.
    const uint64_t start = first > 1000 ? first - 1000 : 0;
    out << "$date tamblin virtual board $end\n"
        << "$timescale 1ns $end\n"
        << "$scope module i2c $end\n"
        << "$var wire 1 ! SCL $end\n"
        << "$var wire 1 \" SDA $end\n"
        << "$var wire 1 # FAULT $end\n"
        << "$upscope $end\n"
        << "$enddefinitions $end\n"
        << "#" << start << "\n$dumpvars\n1!\n1\"\n0#\n$end\n";
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
