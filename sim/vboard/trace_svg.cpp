// vboard trace svg: the bus trace as a logic analyser draws it. SCL and SDA are step lines from
// the same edges the VCD file holds; above them each byte's bits carry the decoded value (an
// address byte as its 7-bit address and R or W), each ninth bit ACK or NAK, and every start,
// repeated start and stop is a dashed line on the SDA edge that makes it; below them the notes:
// an injected fault (red) or a lost arbitration where it struck, and where each program's part
// of the trace begins (grey).
//
// Time runs left to right at 4 px per microsecond (a 100 kHz bit is 40 px wide). Idle stretches
// longer than 200 us are cut down to a 60 px break labelled with the time left out, so that the
// transactions of a whole boot fit one picture; each stretch drawn to scale is labelled with its
// board-uptime start. The drawing is cut into rows of 1600 px, one under the other, so that the
// picture stays within what common renderers draw (librsvg: 32767 px either way); a trace too
// long even for that is drawn at a smaller scale, which the header says.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <ostream>

#include "trace_views.h"

namespace sim {

namespace {

constexpr double kPxPerNs = 4.0 / 1000.0;
constexpr uint64_t kLongIdleNs = 200'000;  // idle longer than this is cut short
constexpr uint64_t kMarginNs = 20'000;     // drawn to scale around every edge
constexpr double kBreakPx = 60;
constexpr double kLeft = 70, kRight = 30;
constexpr double kRowWidth = 1600;  // of the drawing, per row
constexpr double kHeader = 24;
constexpr double kRowHeight = 236;
constexpr double kMaxPicture = 32000;  // under the renderers' limit of 32767 px
constexpr double kCharPx = 6.7;        // a character of the 11 px monospace font
// Within a row: label lanes, byte boxes, the two lines, note lanes, the time labels.
constexpr double kConditionLanes[] = {14, 26};
constexpr double kBoxTop = 32, kBoxHeight = 18;
constexpr double kSclHigh = 76, kSclLow = 106, kSdaHigh = 136, kSdaLow = 166;
constexpr double kMarkTop = 54, kMarkBottom = 172;
constexpr double kNoteLanes[] = {186, 198, 210};
constexpr double kTimeLabel = 226;
constexpr const char* kSclColour = "#008000";
constexpr const char* kSdaColour = "#0000c8";

// A stretch of time drawn to scale, from x of the drawing.
struct Stretch {
    uint64_t from, to;
    double x;
};

class TimeAxis {
  public:
    // `times`: every time something is drawn at, in order.
    explicit TimeAxis(const std::vector<uint64_t>& times) {
        const uint64_t first = times.empty() ? 0 : times.front();
        const uint64_t last = times.empty() ? 0 : times.back();
        uint64_t from = first > kMarginNs ? first - kMarginNs : 0;
        uint64_t drawn = 0;
        for (size_t i = 1; i < times.size(); ++i) {
            if (times[i] - times[i - 1] <= kLongIdleNs) continue;
            const uint64_t to = times[i - 1] + kMarginNs;
            stretches_.push_back({from, to, 0});
            drawn += to - from;
            from = times[i] - kMarginNs;
        }
        stretches_.push_back({from, last + kMarginNs, 0});
        drawn += last + kMarginNs - from;
        // Too long for the rows a renderer takes: everything smaller, breaks included.
        const double length =
            static_cast<double>(drawn) * kPxPerNs + kBreakPx * static_cast<double>(stretches_.size() - 1);
        const double maxRows = std::floor((kMaxPicture - kHeader) / kRowHeight);
        scale_ = std::min(1.0, maxRows * kRowWidth / std::max(length, 1.0));
        double x = 0;
        for (Stretch& s : stretches_) {
            s.x = x;
            x += static_cast<double>(s.to - s.from) * pxPerNs() + breakPx();
        }
    }

    double pxPerNs() const { return kPxPerNs * scale_; }
    double breakPx() const { return kBreakPx * scale_; }
    double scale() const { return scale_; }

    double x(uint64_t ns) const {
        // The first stretch that ends at or after `ns`.
        auto it = std::lower_bound(stretches_.begin(), stretches_.end(), ns,
                                   [](const Stretch& s, uint64_t t) { return s.to < t; });
        if (it == stretches_.end()) --it;
        if (ns < it->from && it != stretches_.begin()) {  // inside the break before it
            const Stretch& before = *(it - 1);
            return end(before) + breakPx() * static_cast<double>(ns - before.to) /
                                     static_cast<double>(it->from - before.to);
        }
        return it->x + static_cast<double>(std::clamp(ns, it->from, it->to) - it->from) * pxPerNs();
    }
    // The time drawn at x (within a break: where the break begins).
    uint64_t ns(double x) const {
        auto it = std::lower_bound(stretches_.begin(), stretches_.end(), x,
                                   [this](const Stretch& s, double at) { return end(s) < at; });
        if (it == stretches_.end()) return stretches_.back().to;
        return it->from + static_cast<uint64_t>(std::max(0.0, x - it->x) / pxPerNs());
    }
    double end(const Stretch& s) const { return s.x + static_cast<double>(s.to - s.from) * pxPerNs(); }
    double length() const { return end(stretches_.back()); }
    const std::vector<Stretch>& stretches() const { return stretches_; }

  private:
    std::vector<Stretch> stretches_;
    double scale_ = 1;
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

double textWidth(const std::string& s) {
    return static_cast<double>(s.size()) * kCharPx;
}

void text(std::ostream& out, double x, double y, const std::string& s, const char* extra = "",
          const char* anchor = "middle") {
    out << "<text x=\"" << num(x) << "\" y=\"" << num(y) << "\" text-anchor=\"" << anchor << "\"" << extra
        << ">" << s << "</text>\n";
}

// Something drawn at [x0, x1] of the drawing (text included); `draw` writes it in drawing
// coordinates.
struct Item {
    double x0, x1;
    std::function<void(std::ostream&)> draw;
};

// Labels in lanes: each goes into the first lane where it clears the one before it, so that no
// two labels print over each other (while there are lanes enough).
class Lanes {
  public:
    explicit Lanes(size_t n) : right_(n, -1e30) {}
    size_t place(double x0, double x1) {
        size_t best = 0;
        for (size_t i = 0; i < right_.size(); ++i) {
            if (x0 > right_[i] + 4) {
                best = i;
                break;
            }
            if (right_[i] < right_[best]) best = i;
        }
        right_[best] = std::max(right_[best], x1);
        return best;
    }

  private:
    std::vector<double> right_;
};

// A byte's box with its label, the short form or none where the long one does not fit.
void byteBox(std::vector<Item>& items, double x0, double x1, const char* fill, const std::string& label,
             const std::string& shortLabel) {
    const double w = std::max(1.0, x1 - x0 - 2);
    const std::string shown = textWidth(label) <= w ? label : textWidth(shortLabel) <= w ? shortLabel : "";
    items.push_back({x0, x1, [=](std::ostream& out) {
                         out << "<rect x=\"" << num(x0 + 1) << "\" y=\"" << num(kBoxTop) << "\" width=\""
                             << num(w) << "\" height=\"" << num(kBoxHeight) << "\" fill=\"" << fill
                             << "\" stroke=\"#808080\"/>\n";
                         if (!shown.empty()) text(out, (x0 + x1) / 2, kBoxTop + 13, shown);
                     }});
}

}  // namespace

void writeTraceSvg(const std::vector<TraceRecord>& trace, std::ostream& out, const TraceWindow& window,
                   I2cBusId bus) {
    const bool pwr = bus == I2cBusId::PowerManager;
    BusLevels start;
    std::vector<LineEdge> edges;
    for (const LineEdge& e : traceEdges(trace, &start, bus)) {
        if (window.fromNs && e.ns < *window.fromNs)
            (e.line == BusLine::SCL ? start.scl : start.sda) = e.high;
        else if (window.contains(e.ns))
            edges.push_back(e);
    }
    // The bus conditions and bytes as a decoder on the wire finds them, with the notes in their
    // place.
    // A program's part is named where it takes over the bus (each of its flushes repeats it).
    std::vector<TraceRecord> records;
    int program = 0;
    for (const TraceRecord& r : decodeTrace(trace)) {
        if (r.kind == "R" && r.pid == program) continue;
        if (r.kind == "R") program = r.pid;
        const bool note = r.kind == "R" || r.kind == "F";  // of the board, not of one bus
        if (window.contains(r.ns) && r.kind != "L" && r.kind != "H" && (note || r.bus == bus))
            records.push_back(r);
    }
    std::vector<uint64_t> times;
    for (const LineEdge& e : edges) times.push_back(e.ns);
    for (const TraceRecord& r : records) {
        times.push_back(r.ns);
        if (r.kind == "B" || (r.kind == "RCV" && r.endNs)) times.push_back(r.endNs);
    }
    std::sort(times.begin(), times.end());
    const TimeAxis axis(times);
    const bool empty = edges.empty() && records.empty();

    // Everything drawn, in drawing coordinates (x from 0, y within a row).
    std::vector<Item> items;
    const std::vector<Stretch>& stretches = axis.stretches();
    for (size_t i = 0; i < stretches.size(); ++i) {
        const double x = stretches[i].x;
        const std::string label = "t=" + duration(stretches[i].from);
        items.push_back({x, x + textWidth(label),
                         [=](std::ostream& o) { text(o, x + 4, kTimeLabel, label, "", "start"); }});
        if (i + 1 == stretches.size()) break;
        const double x0 = axis.end(stretches[i]), w = axis.breakPx();
        const std::string left = "+" + duration(stretches[i + 1].from - stretches[i].to);
        items.push_back({x0, x0 + w, [=](std::ostream& o) {
                             o << "<rect x=\"" << num(x0) << "\" y=\"" << num(kMarkTop - 4) << "\" width=\""
                               << num(w) << "\" height=\"120\" fill=\"#e8e8e8\"/>\n";
                             text(o, x0 + w / 2, kMarkBottom + 6, left, " font-size=\"9\"");
                         }});
    }
    Lanes top(std::size(kConditionLanes)), bottom(std::size(kNoteLanes));
    // A start, repeated start or stop: a dashed line on its SDA edge, its name beside it (a stop's
    // left of it, a start's right of it).
    auto condition = [&](const std::string& kind, double x) {
        const double w = textWidth(kind);
        const bool stop = kind == "P";
        const double y = kConditionLanes[top.place(stop ? x - w - 2 : x + 2, stop ? x - 2 : x + 2 + w)];
        items.push_back({x - w - 2, x + w + 2, [=](std::ostream& o) {
                             o << "<line x1=\"" << num(x) << "\" y1=\"" << num(kMarkTop) << "\" x2=\""
                               << num(x) << "\" y2=\"" << num(kMarkBottom)
                               << "\" stroke=\"#c00000\" stroke-dasharray=\"3,3\"/>\n";
                             text(o, stop ? x - 2 : x + 2, y, kind, " fill=\"#c00000\" font-weight=\"bold\"",
                                  stop ? "end" : "start");
                         }});
    };
    bool addressNext = false;
    for (const TraceRecord& r : records) {
        const double x = axis.x(r.ns);
        if (r.kind == "S" || r.kind == "Sr" || r.kind == "P") {
            condition(r.kind, x);
            addressNext = r.kind != "P";
        } else if (r.kind == "ARB" || r.kind == "F" || r.kind == "R" || r.kind == "RCV") {
            if (r.kind == "RCV" && r.endNs) condition("P", axis.x(r.endNs));
            const std::string label = r.kind == "ARB" ? "arbitration lost"
                                      : r.kind == "F" ? "fault: " + escaped(r.text)
                                      : r.kind == "RCV"
                                          ? "bus recovery: " + std::to_string(r.pulses) + " clock pulses"
                                          : escaped(r.text) + " (process " + std::to_string(r.pid) + ")";
            const char* style = r.kind == "R"     ? " fill=\"#707070\""
                                : r.kind == "RCV" ? " fill=\"#0000c8\""
                                                  : " fill=\"#c00000\"";
            const double w = textWidth(label);
            const double y = kNoteLanes[bottom.place(x, x + w)];
            items.push_back({x, x + w, [=](std::ostream& o) {
                                 o << "<line x1=\"" << num(x) << "\" y1=\"" << num(kSdaLow + 2) << "\" x2=\""
                                   << num(x) << "\" y2=\"" << num(y - 9) << "\" stroke=\"#c0c0c0\"/>\n";
                                 text(o, x, y, label, style, "start");
                             }});
        } else if (r.kind == "B") {
            char label[16], shortLabel[8];
            const bool address = addressNext;
            if (address) {
                std::snprintf(label, sizeof label, "0x%02X %c", r.value >> 1, (r.value & 1) ? 'R' : 'W');
                std::snprintf(shortLabel, sizeof shortLabel, "%02X%c", r.value >> 1,
                              (r.value & 1) ? 'R' : 'W');
            } else {
                std::snprintf(label, sizeof label, "0x%02X", r.value);
                std::snprintf(shortLabel, sizeof shortLabel, "%02X", r.value);
            }
            addressNext = false;
            byteBox(items, x, axis.x(r.ackNs), address ? "#fff4d0" : "#f0f0ff", label, shortLabel);
            byteBox(items, axis.x(r.ackNs), axis.x(r.endNs), r.ack ? "#d8f5d8" : "#ffd8d8",
                    r.ack ? "ACK" : "NAK", r.ack ? "A" : "N");
        }
    }

    const double length = axis.length();
    // Rows of up to kRowWidth, each ending before a byte that would run over its end, so that a
    // byte and its acknowledge stand whole in one row (unless a byte alone is wider than a row).
    std::vector<std::pair<double, double>> bytes;  // drawn from, to
    for (const TraceRecord& r : records)
        if (r.kind == "B") bytes.push_back({axis.x(r.ns), axis.x(r.endNs)});
    std::vector<double> rowStarts{0};
    while (rowStarts.back() + kRowWidth < length) {
        const double x0 = rowStarts.back();
        double x1 = x0 + kRowWidth;
        // The first byte that ends past the row's end.
        const auto it =
            std::upper_bound(bytes.begin(), bytes.end(), x1,
                             [](double at, const std::pair<double, double>& b) { return at < b.second; });
        if (it != bytes.end() && it->first < x1 && it->first > x0) x1 = it->first;
        rowStarts.push_back(x1);
    }
    // Rows a byte shortens are more: past what a renderer takes, rows are cut evenly after all.
    if (kHeader + kRowHeight * static_cast<double>(rowStarts.size()) > kMaxPicture) {
        rowStarts.clear();
        for (double x = 0; x < std::max(length, 1.0); x += kRowWidth) rowStarts.push_back(x);
    }
    const size_t rows = rowStarts.size();
    const double width = kLeft + kRowWidth + kRight;
    const double height = std::ceil(kHeader + kRowHeight * static_cast<double>(rows));
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(width) << "\" height=\"" << num(height)
        << "\" viewBox=\"0 0 " << num(width) << " " << num(height)
        << "\" font-family=\"monospace\" font-size=\"11\" shape-rendering=\"crispEdges\">\n"
        << "<rect x=\"0\" y=\"0\" width=\"" << num(width) << "\" height=\"" << num(height)
        << "\" fill=\"#ffffff\"/>\n";
    std::string header =
        pwr ? "I2C bus of the power-manager unit (PWR_SCL, PWR_SDA), board uptime" : "I2C bus, board uptime";
    if (!times.empty()) header += " " + duration(times.front()) + " .. " + duration(times.back());
    char scale[64];
    std::snprintf(scale, sizeof scale, ", %.3g px per us%s", axis.pxPerNs() * 1000,
                  axis.scale() < 1 ? " (scaled down to fit)" : "");
    header += scale;
    header += "; idle over " + duration(kLongIdleNs) + " cut short (grey)";
    text(out, 8, 16,
         empty ? "the bus trace is empty" + std::string(window.fromNs || window.toNs ? " in this window" : "")
               : header,
         "", "start");

    // The drawing, a row at a time: each row shows its stretch of the drawing, clipped to it.
    BusLevels level = start;
    size_t nextEdge = 0;
    for (size_t row = 0; row < rows; ++row) {
        const double x0 = rowStarts[row], x1 = row + 1 < rows ? rowStarts[row + 1] : x0 + kRowWidth;
        const double top = kHeader + kRowHeight * static_cast<double>(row);
        // Labels may run on a little past the row's end, but nothing of a byte of the next row shows.
        double clipEnd = x0 + kRowWidth + kRight - 4;
        const auto next =
            std::lower_bound(bytes.begin(), bytes.end(), x1,
                             [](const std::pair<double, double>& b, double at) { return b.first < at; });
        if (row + 1 < rows && next != bytes.end()) clipEnd = std::min(clipEnd, next->first);
        out << "<clipPath id=\"row" << row << "\"><rect x=\"" << num(x0 - 1) << "\" y=\"0\" width=\""
            << num(clipEnd - x0 + 1) << "\" height=\"" << num(kRowHeight) << "\"/></clipPath>\n";
        text(out, 30, top + (kSclHigh + kSclLow) / 2 + 4, pwr ? "PWR_SCL" : "SCL", " font-weight=\"bold\"");
        text(out, 30, top + (kSdaHigh + kSdaLow) / 2 + 4, pwr ? "PWR_SDA" : "SDA", " font-weight=\"bold\"");
        if (!empty)
            text(out, 4, top + kTimeLabel, "t=" + duration(axis.ns(x0)), " font-size=\"9\" fill=\"#707070\"",
                 "start");
        out << "<g transform=\"translate(" << num(kLeft - x0) << " " << num(top) << ")\" clip-path=\"url(#row"
            << row << ")\">\n";
        for (const Item& item : items)
            if (item.x1 >= x0 && item.x0 <= x1) item.draw(out);
        // The lines: from the level at the row's start, every edge within it.
        std::string scl = "M" + num(x0) + " " + num(level.scl ? kSclHigh : kSclLow);
        std::string sda = "M" + num(x0) + " " + num(level.sda ? kSdaHigh : kSdaLow);
        for (; nextEdge < edges.size(); ++nextEdge) {
            const LineEdge& e = edges[nextEdge];
            const double x = axis.x(e.ns);
            if (x > x1) break;
            const bool isScl = e.line == BusLine::SCL;
            (isScl ? scl : sda) += " H" + num(x) + " V" +
                                   num(isScl ? (e.high ? kSclHigh : kSclLow) : (e.high ? kSdaHigh : kSdaLow));
            (isScl ? level.scl : level.sda) = e.high;
        }
        const double lineEnd = std::min(x1, length);
        for (const auto& [path, colour] : {std::pair{scl, kSclColour}, std::pair{sda, kSdaColour}})
            out << "<path fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"2\" d=\"" << path << " H"
                << num(lineEnd) << "\"/>\n";
        out << "</g>\n";
    }
    out << "</svg>\n";
}

}  // namespace sim
