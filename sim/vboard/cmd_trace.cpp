// vboard trace: the board's I2C bus trace as text, as transactions, as a VCD file of SCL and SDA
// or as a picture; the whole of it, a window of board uptime, or the part of the last program
// that used the bus.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>

#include "../board/board.h"
#include "commands.h"
#include "trace_views.h"

namespace vboard {

namespace {

struct WindowOptions {
    std::string from, to;
    bool last = false;
};

std::vector<sim::TraceRecord> boardTrace() {
    openBoard();
    return sim::parseTrace(sim::readFile(sim::Board::current().path("trace.log")));
}

// A time of board uptime as `trace show` prints it: a number with ns, us, ms or s after it, or
// a bare number of microseconds.
uint64_t uptimeNs(const std::string& text, const std::string& what) {
    static const std::pair<const char*, double> kUnits[] = {{"ns", 1}, {"us", 1e3}, {"ms", 1e6}, {"s", 1e9}};
    size_t digits = 0;
    while (digits < text.size() && ((text[digits] >= '0' && text[digits] <= '9') || text[digits] == '.'))
        ++digits;
    const std::string number = text.substr(0, digits), unit = text.substr(digits);
    double scale = unit.empty() ? 1e3 : 0;
    for (const auto& [name, factor] : kUnits)
        if (unit == name) scale = factor;
    char* end = nullptr;
    const double v = number.empty() ? -1 : std::strtod(number.c_str(), &end);
    if (scale == 0 || v < 0 || end != number.c_str() + number.size() || v * scale > 1.8e19)
        throw UsageError(what +
                         ": expected a time of board uptime as 'trace show' prints it, a number with ns, us, "
                         "ms or s (a bare number is us), got \"" +
                         text + "\"");
    return static_cast<uint64_t>(v * scale + 0.5);
}

sim::TraceWindow windowOf(const WindowOptions& o, const std::vector<sim::TraceRecord>& records) {
    sim::TraceWindow w;
    if (o.last) {
        const std::optional<sim::TraceWindow> last = sim::lastProgramWindow(records);
        if (!last)
            throw sim::BoardError(
                "--last: the trace names no program (it is empty, or an earlier build wrote it)");
        w = *last;
    }
    if (!o.from.empty()) w.fromNs = uptimeNs(o.from, "--from");
    if (!o.to.empty()) w.toNs = uptimeNs(o.to, "--to");
    if (w.fromNs && w.toNs && *w.fromNs > *w.toNs)
        throw UsageError("--from " + o.from + " lies after --to " + o.to);
    return w;
}

void addWindowOptions(CLI::App* cmd, WindowOptions& o) {
    CLI::Option* last =
        cmd->add_flag("--last", o.last, "Only the stretch of the last program that used the bus");
    cmd->add_option("--from", o.from,
                    "From this board uptime on, as 'trace show' prints it (e.g. 1200us, 3.5ms)")
        ->excludes(last);
    cmd->add_option("--to", o.to, "Up to this board uptime")->excludes(last);
}

void show(bool transactions, bool edges, const WindowOptions& o) {
    const std::vector<sim::TraceRecord> records = boardTrace();
    const sim::TraceWindow window = windowOf(o, records);
    if (transactions) {
        const std::vector<std::string> lines = sim::traceTransactions(records, window);
        if (records.empty()) std::printf("The bus trace is empty.\n");
        for (const std::string& t : lines) std::printf("%s\n", t.c_str());
        return;
    }
    std::vector<sim::TraceRecord> shown;
    for (const sim::TraceRecord& r : edges ? records : sim::decodeTrace(records))
        if (window.contains(r.ns)) shown.push_back(r);
    if (shown.empty())
        std::printf(records.empty() ? "The bus trace is empty.\n" : "Nothing on the bus in this window.\n");
    int program = 0;
    for (const sim::TraceRecord& r : shown) {
        const double us = static_cast<double>(r.ns) / 1000.0;
        // What happened on the power-manager unit's bus says so; the standard bus's lines read as
        // they always did.
        const bool pwr = r.bus == sim::I2cBusId::PowerManager && r.kind != "R" && r.kind != "F";
        const char* bus = pwr ? "pwr: " : "";
        if (r.kind == "R") {
            // Each of a program's flushes begins with its record: said once where it takes over.
            if (r.pid != program) std::printf("%14.3f us  --- %s (process %d)\n", us, r.text.c_str(), r.pid);
            program = r.pid;
        } else if (r.kind == "F") {
            std::printf("%14.3f us  FAULT: %s\n", us, r.text.c_str());
        } else if (r.kind == "L") {
            std::printf("%14.3f us  %s%s %s\n", us, pwr ? "PWR_" : "", r.line.c_str(),
                        r.value ? "released (high)" : "pulled low");
        } else if (r.kind == "H") {
            std::printf("%14.3f us  %s%s held %s when the process looked at the bus\n", us, pwr ? "PWR_" : "",
                        r.line.c_str(), r.value ? "high" : "low");
        } else if (r.kind == "B") {
            std::printf("%14.3f us  %sbyte 0x%02X %s\n", us, bus, r.value, r.ack ? "ACK" : "NAK");
        } else if (r.kind == "ARB") {
            std::printf("%14.3f us  %sarbitration lost\n", us, bus);
        } else if (r.kind == "RCV") {
            // Clock pulses with no start before them: somebody freeing the bus from a slave stuck in
            // the middle of a byte, as the program does when it opens the bus.
            char stop[64] = " outside a transaction, no stop after them";
            if (r.endNs)
                std::snprintf(stop, sizeof stop, ", the last ending in a stop (at %.3f us)",
                              r.endNs / 1000.0);
            std::printf("%14.3f us  %sbus recovery: %u clock pulse%s on %sSCL%s\n", us, bus, r.pulses,
                        r.pulses == 1 ? "" : "s", pwr ? "PWR_" : "", stop);
        } else {
            const char* name = r.kind == "S" ? "start" : r.kind == "Sr" ? "repeated start" : "stop";
            // A condition's bus speed is that of the byte next to it; outside any byte (a stop after
            // bus recovery) there is none to show.
            const std::string speed =
                r.bitNs ? " (" + std::to_string((1000000 + r.bitNs / 2) / r.bitNs) + " kHz bus)" : "";
            std::printf("%14.3f us  %s%s%s\n", us, bus, name, speed.c_str());
        }
    }
}

// A view of the trace into a file or onto standard output (nothing else is written there, so
// that it goes into a pipe whole); a file appears only when complete.
void writeView(const std::string& file, const WindowOptions& o,
               const std::function<void(const std::vector<sim::TraceRecord>&, std::ostream&,
                                        const sim::TraceWindow&)>& view) {
    if (file.empty()) throw UsageError("the output file is empty (- writes to standard output)");
    const std::vector<sim::TraceRecord> records = boardTrace();
    std::ostringstream text;
    view(records, text, windowOf(o, records));
    if (file == "-") {
        const std::string s = text.str();
        if (std::fwrite(s.data(), 1, s.size(), stdout) != s.size() || std::fflush(stdout) != 0)
            throw sim::BoardError("cannot write to standard output: " + std::string(std::strerror(errno)));
        return;
    }
    sim::writeFileAtomically(file, text.str());
}

}  // namespace

void addTraceCommands(CLI::App& app) {
    CLI::App* cmd =
        app.add_subcommand("trace", "The I2C bus trace (trace.log): every edge of SCL and SDA, decoded");
    cmd->require_subcommand(1);
    static bool transactions = false;
    static bool edges = false;
    static WindowOptions showWindow, vcdWindow, svgWindow;
    CLI::App* showCmd = cmd->add_subcommand("show", "Print the decoded trace with board-uptime timestamps");
    showCmd->add_flag("-t,--transactions", transactions, "One line per transaction (start to stop)");
    showCmd->add_flag("-e,--edges", edges, "Every level change of SCL and SDA instead of the decoded bytes");
    addWindowOptions(showCmd, showWindow);
    showCmd->callback([] { show(transactions, edges, showWindow); });

    static std::string vcdFile;
    CLI::App* vcd = cmd->add_subcommand("vcd",
                                        "Write SCL and SDA as a VCD file for waveform viewers and decoders "
                                        "(timestamps: board uptime, ns); decode "
                                        "it with sigrok-cli -I vcd:compress=10000 (see the README)");
    vcd->add_option("file", vcdFile, "Output file, or - for standard output (a pipe into sigrok-cli -i -)")
        ->required();
    addWindowOptions(vcd, vcdWindow);
    vcd->callback([] { writeView(vcdFile, vcdWindow, sim::writeVcd); });

    static std::string svgFile;
    CLI::App* svg = cmd->add_subcommand(
        "svg", "Draw SCL and SDA as a logic analyser would, with the decoded bytes, ACK/NAK, start and stop");
    svg->add_option("file", svgFile, "Output file (SVG), or - for standard output")->required();
    addWindowOptions(svg, svgWindow);
    static std::string svgBus;
    svg->add_option(
        "--bus", svgBus,
        "The bus drawn: std (the standard unit's) or pwr (the power-manager unit's); default: the "
        "standard bus, or the power-manager bus when only it has traffic");
    svg->callback([] {
        if (!svgBus.empty() && svgBus != "std" && svgBus != "pwr")
            throw UsageError("--bus: expected std or pwr, got \"" + svgBus + "\"");
        writeView(
            svgFile, svgWindow,
            [](const std::vector<sim::TraceRecord>& records, std::ostream& out, const sim::TraceWindow& w) {
                bool standard = false;
                for (const sim::TraceRecord& r : records)
                    standard =
                        standard || (r.bus == sim::I2cBusId::Standard && r.kind != "R" && r.kind != "F");
                const bool pwr =
                    svgBus == "pwr" || (svgBus.empty() && !standard && sim::traceHasPowerManagerBus(records));
                sim::writeTraceSvg(records, out, w,
                                   pwr ? sim::I2cBusId::PowerManager : sim::I2cBusId::Standard);
            });
    });

    cmd->add_subcommand("clear", "Empty the trace")->callback([] {
        openBoard();
        const std::string path = sim::Board::current().path("trace.log");
        if (std::remove(path.c_str()) != 0 && errno != ENOENT)
            throw sim::BoardError(path + ": cannot remove: " + std::strerror(errno));
    });
}

}  // namespace vboard
