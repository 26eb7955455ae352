#include "i2c_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "board.h"

namespace sim {

namespace {

bool gSuppress = false;

std::string hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

}  // namespace

std::string formatTraceRecord(const TraceRecord& r) {
    std::string s = std::to_string(r.ns) + " " + r.kind;
    if (r.kind == "L") return s + " " + r.line + " " + (r.value ? "1" : "0");
    s += " " + std::to_string(r.bitNs);
    if (r.kind == "B") s += " " + hex2(r.value) + (r.ack ? " A" : " N");
    return s;
}

void traceRecord(const TraceRecord& r) {
    const std::string line = formatTraceRecord(r) + "\n";
    // O_APPEND keeps the records of concurrent processes whole.
    int fd =
        ::open(Board::current().path("trace.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t n = ::write(fd, line.data(), line.size());
    (void)n;
    ::close(fd);
}

void traceSuppressLines(bool on) {
    gSuppress = on;
}
bool traceLinesSuppressed() {
    return gSuppress;
}

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
            ok = static_cast<bool>(f >> r.line >> level) && (r.line == "SCL" || r.line == "SDA");
            r.value = level ? 1 : 0;
        } else if (ok && (r.kind == "S" || r.kind == "Sr" || r.kind == "P" || r.kind == "ARB")) {
            ok = static_cast<bool>(f >> r.bitNs);
        } else if (ok && r.kind == "B") {
            std::string value, ack;
            ok = static_cast<bool>(f >> r.bitNs >> value >> ack) && (ack == "A" || ack == "N");
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

std::vector<std::string> traceTransactions(const std::vector<TraceRecord>& records) {
    std::vector<std::string> out;
    std::string current;
    for (const TraceRecord& r : records) {
        if (r.kind == "S") {
            if (!current.empty()) out.push_back(current);  // a start without a stop before it
            current = "S";
        } else if (r.kind == "Sr") {
            current += current.empty() ? "Sr" : " Sr";
        } else if (r.kind == "B") {
            current += (current.empty() ? "" : " ") + hex2(r.value) + (r.ack ? " A" : " N");
        } else if (r.kind == "P") {
            current += current.empty() ? "P" : " P";
            out.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

std::vector<TraceEdge> traceEdges(const std::vector<TraceRecord>& records) {
    struct Edge {
        uint64_t ns;
        int line;  // 0 SCL, 1 SDA
        int level;
        size_t order;
    };
    std::vector<Edge> edges;
    auto add = [&](uint64_t ns, int line, int level) { edges.push_back({ns, line, level, edges.size()}); };
    for (const TraceRecord& r : records) {
        const uint64_t t = r.ns, T = r.bitNs;
        if (r.kind == "S" || r.kind == "Sr") {
            // SDA falls while SCL is high; from an idle bus the first two edges change nothing.
            add(t, 1, 1);
            add(t + T / 4, 0, 1);
            add(t + T / 2, 1, 0);
            add(t + 3 * T / 4, 0, 0);
        } else if (r.kind == "P") {
            // SDA rises while SCL is high.
            add(t, 1, 0);
            add(t + T / 4, 0, 1);
            add(t + T / 2, 1, 1);
        } else if (r.kind == "B") {
            for (int i = 0; i < 9; ++i) {
                const int bit = i < 8 ? (r.value >> (7 - i)) & 1 : (r.ack ? 0 : 1);
                const uint64_t b = t + static_cast<uint64_t>(i) * T;
                add(b + T / 8, 1, bit);
                add(b + T / 2, 0, 1);
                add(b + 7 * T / 8, 0, 0);
            }
        } else if (r.kind == "L") {
            add(t, r.line == "SCL" ? 0 : 1, r.value);
        }
    }
    std::stable_sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) { return a.ns < b.ns; });
    std::vector<TraceEdge> out;
    int level[2] = {1, 1};
    for (const Edge& e : edges) {
        if (level[e.line] == e.level) continue;
        level[e.line] = e.level;
        out.push_back({e.ns, e.line, e.level});
    }
    return out;
}

void writeVcd(const std::vector<TraceRecord>& records, std::ostream& out) {
    const std::vector<TraceEdge> edges = traceEdges(records);
    // The dump starts a little before the first edge so that the idle levels are visible; readers
    // such as sigrok begin at the first timestamp rather than at zero.
    const uint64_t first = edges.empty() ? 0 : edges.front().ns;
    const uint64_t start = first > 1000 ? first - 1000 : 0;
    out << "$date tamblin virtual board $end\n"
        << "$timescale 1ns $end\n"
        << "$scope module i2c $end\n"
        << "$var wire 1 ! SCL $end\n"
        << "$var wire 1 \" SDA $end\n"
        << "$upscope $end\n"
        << "$enddefinitions $end\n"
        << "#" << start << "\n$dumpvars\n1!\n1\"\n$end\n";
    uint64_t last = start;
    for (const TraceEdge& e : edges) {
        if (e.ns != last) {
            out << "#" << e.ns << "\n";
            last = e.ns;
        }
        out << e.level << (e.line == 0 ? "!" : "\"") << "\n";
    }
    out << "#" << last + 10000 << "\n";
}

}  // namespace sim
