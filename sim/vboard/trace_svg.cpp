// vboard trace svg: the bus trace as a logic analyser draws it. SCL and SDA are step lines from
// the same edges the VCD file holds; an injected fault is a red note where it struck; above them each byte's
// bits carry the decoded value (an address byte as its 7-bit address and R or W), each ninth bit ACK or NAK,
// and every start, repeated start and stop is a dashed line with its name.
//
// Time runs left to right at 4 px per microsecond (a 100 kHz bit is 40 px wide). Idle stretches
// longer than 200 us are cut down to a 60 px break labelled with the time left out, so that the
// transactions of a whole boot fit one picture; below each stretch drawn to scale stands its
// board-uptime start.
#include <cmath>
#include <cstdio>
#include <ostream>

#include "trace_views.h"

namespace sim {

namespace {

constexpr double kPxPerNs = 4.0 / 1000.0;
constexpr uint64_t kLongIdleNs = 200'000;  // idle longer than this is cut short
constexpr uint64_t kMarginNs = 20'000;     // drawn to scale around every edge
constexpr double kBreakPx = 60;
constexpr double kLeft = 70, kRight = 30;
constexpr int kHeight = 200;
constexpr double kSclHigh = 70, kSclLow = 100, kSdaHigh = 130, kSdaLow = 160;
constexpr const char* kSclColour = "#008000";
constexpr const char* kSdaColour = "#0000c8";

// A stretch of time drawn to scale, from x.
struct Stretch {
    uint64_t from, to;
    double x;
};

class TimeAxis {
  public:
    explicit TimeAxis(const std::vector<sim::LineEdge>& edges) {
        const uint64_t first = edges.empty() ? 0 : edges.front().ns;
        const uint64_t last = edges.empty() ? 0 : edges.back().ns;
        uint64_t from = first > kMarginNs ? first - kMarginNs : 0;
        double x = kLeft;
        for (size_t i = 1; i < edges.size(); ++i) {
            if (edges[i].ns - edges[i - 1].ns <= kLongIdleNs) continue;
            const uint64_t to = edges[i - 1].ns + kMarginNs;
            stretches_.push_back({from, to, x});
            x += static_cast<double>(to - from) * kPxPerNs + kBreakPx;
            from = edges[i].ns - kMarginNs;
        }
        stretches_.push_back({from, last + kMarginNs, x});
    }

    double x(uint64_t ns) const {
        for (size_t i = 0; i < stretches_.size(); ++i) {
            const Stretch& s = stretches_[i];
            if (ns <= s.to || i + 1 == stretches_.size()) {
                if (ns < s.from) ns = s.from;
                return s.x + static_cast<double>(std::min(ns, s.to) - s.from) * kPxPerNs;
            }
            const Stretch& next = stretches_[i + 1];
            if (ns < next.from)  // inside the break
                return end(s) +
                       kBreakPx * static_cast<double>(ns - s.to) / static_cast<double>(next.from - s.to);
        }
        return kLeft;
    }
    double end(const Stretch& s) const { return s.x + static_cast<double>(s.to - s.from) * kPxPerNs; }
    double right() const { return end(stretches_.back()); }
    const std::vector<Stretch>& stretches() const { return stretches_; }

  private:
    std::vector<Stretch> stretches_;
};

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

std::string duration(uint64_t ns) {
    char buf[32];
    if (ns >= 1'000'000'000)
        std::snprintf(buf, sizeof buf, "%.3f s", static_cast<double>(ns) / 1e9);
    else if (ns >= 1'000'000)
        std::snprintf(buf, sizeof buf, "%.3f ms", static_cast<double>(ns) / 1e6);
    else
        std::snprintf(buf, sizeof buf, "%.1f us", static_cast<double>(ns) / 1e3);
    return buf;
}

// Text of the trace's notes as XML character data.
std::string escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out;
}

void text(std::ostream& out, double x, double y, const std::string& s, const char* extra = "",
          const char* anchor = "middle") {
    out << "<text x=\"" << num(x) << "\" y=\"" << num(y) << "\" text-anchor=\"" << anchor << "\"" << extra
        << ">" << s << "</text>\n";
}

void box(std::ostream& out, double x0, double x1, const char* fill, const std::string& label) {
    out << "<rect x=\"" << num(x0 + 1) << "\" y=\"26\" width=\"" << num(std::max(1.0, x1 - x0 - 2))
        << "\" height=\"18\" fill=\"" << fill << "\" stroke=\"#808080\"/>\n";
    text(out, (x0 + x1) / 2, 39, label);
}

void line(std::ostream& out, const std::vector<sim::LineEdge>& edges, const TimeAxis& axis,
          sim::BusLine which, double high, double low, const char* colour) {
    out << "<path fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"2\" d=\"M" << num(kLeft) << " "
        << num(high);
    for (const sim::LineEdge& e : edges) {
        if (e.line != which) continue;
        out << " H" << num(axis.x(e.ns)) << " V" << num(e.high ? high : low);
    }
    out << " H" << num(axis.right()) << "\"/>\n";
}

}  // namespace

void writeTraceSvg(const std::vector<sim::TraceRecord>& trace, std::ostream& out) {
    const std::vector<sim::LineEdge> edges = sim::traceEdges(trace);
    // The bus conditions and bytes as a decoder on the wire finds them, with the notes (lost
    // arbitration, injected faults) in their place.
    const std::vector<sim::TraceRecord> records = sim::decodeTrace(trace);
    const TimeAxis axis(edges);
    const double width = std::ceil(axis.right() + kRight);  // whole pixels, as renderers size it
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(width) << "\" height=\"" << kHeight
        << "\" viewBox=\"0 0 " << num(width) << " " << kHeight
        << "\" font-family=\"monospace\" font-size=\"11\" shape-rendering=\"crispEdges\">\n"
        << "<rect x=\"0\" y=\"0\" width=\"" << num(width) << "\" height=\"" << kHeight
        << "\" fill=\"#ffffff\"/>\n";
    text(out, 30, (kSclHigh + kSclLow) / 2 + 4, "SCL", " font-weight=\"bold\"");
    text(out, 30, (kSdaHigh + kSdaLow) / 2 + 4, "SDA", " font-weight=\"bold\"");
    if (edges.empty()) text(out, kLeft + 80, 40, "the bus trace is empty");

    // Breaks, and the board uptime at which each stretch drawn to scale begins.
    const std::vector<Stretch>& stretches = axis.stretches();
    for (size_t i = 0; i < stretches.size(); ++i) {
        text(out, stretches[i].x + 4, 190, "t=" + duration(stretches[i].from), "", "start");
        if (i + 1 == stretches.size()) break;
        const double x0 = axis.end(stretches[i]);
        out << "<rect x=\"" << num(x0) << "\" y=\"50\" width=\"" << num(kBreakPx)
            << "\" height=\"120\" fill=\"#e8e8e8\"/>\n";
        text(out, x0 + kBreakPx / 2, 178, "+" + duration(stretches[i + 1].from - stretches[i].to),
             " font-size=\"9\"");
    }

    bool addressNext = false;
    for (const sim::TraceRecord& r : records) {
        const uint64_t T = r.bitNs;
        if (r.kind == "S" || r.kind == "Sr" || r.kind == "P") {
            const double x = axis.x(r.ns + T / 2);  // where SDA changes while SCL is high
            out << "<line x1=\"" << num(x) << "\" y1=\"50\" x2=\"" << num(x)
                << "\" y2=\"168\" stroke=\"#c00000\" stroke-dasharray=\"3,3\"/>\n";
            // A stop's name stands left of its line, a start's right of it: a stop and the start
            // that follows it at once stay readable.
            text(out, r.kind == "P" ? x - 2 : x + 2, 16, r.kind, " fill=\"#c00000\" font-weight=\"bold\"",
                 r.kind == "P" ? "end" : "start");
            addressNext = r.kind != "P";
        } else if (r.kind == "ARB") {
            text(out, axis.x(r.ns), 16, "arbitration lost", " fill=\"#c00000\"");
        } else if (r.kind == "F") {
            text(out, axis.x(r.ns), 178, "fault: " + escaped(r.text), " fill=\"#c00000\"");
        } else if (r.kind == "B") {
            char label[16];
            const bool address = addressNext;
            if (address)
                std::snprintf(label, sizeof label, "0x%02X %c", r.value >> 1, (r.value & 1) ? 'R' : 'W');
            else
                std::snprintf(label, sizeof label, "0x%02X", r.value);
            addressNext = false;
            const double x0 = axis.x(r.ns), x8 = axis.x(r.ns + 8 * T), x9 = axis.x(r.ns + 9 * T);
            box(out, x0, x8, address ? "#fff4d0" : "#f0f0ff", label);
            const bool wide = x9 - x8 >= 24;
            box(out, x8, x9, r.ack ? "#d8f5d8" : "#ffd8d8",
                r.ack ? (wide ? "ACK" : "A") : (wide ? "NAK" : "N"));
        }
    }
    line(out, edges, axis, sim::BusLine::SCL, kSclHigh, kSclLow, kSclColour);
    line(out, edges, axis, sim::BusLine::SDA, kSdaHigh, kSdaLow, kSdaColour);
    out << "</svg>\n";
}

}  // namespace sim
