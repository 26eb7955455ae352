// vboard trace: the board's I2C bus trace as text, as transactions, as a VCD file of SCL and SDA
// or as a picture.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cerrno>
#include <cstring>
#include <functional>

#include "../board/board.h"
#include "trace_views.h"
#include "commands.h"

namespace vboard {

namespace {

std::vector<sim::TraceRecord> boardTrace() {
    openBoard();
    std::ifstream in(sim::Board::current().path("trace.log"));
    std::stringstream s;
    s << in.rdbuf();
    return sim::parseTrace(s.str());
}

void show(bool transactions, bool edges) {
    const std::vector<sim::TraceRecord> records = boardTrace();
    if (records.empty()) std::printf("The bus trace is empty.\n");
    if (transactions) {
        for (const std::string& t : sim::traceTransactions(records)) std::printf("%s\n", t.c_str());
        return;
    }
    for (const sim::TraceRecord& r : edges ? records : sim::decodeTrace(records)) {
        const double us = static_cast<double>(r.ns) / 1000.0;
        if (r.kind == "F") {
            std::printf("%14.3f us  FAULT: %s\n", us, r.text.c_str());
        } else if (r.kind == "L") {
            std::printf("%14.3f us  %s %s\n", us, r.line.c_str(), r.value ? "released (high)" : "pulled low");
        } else if (r.kind == "B") {
            std::printf("%14.3f us  byte 0x%02X %s\n", us, r.value, r.ack ? "ACK" : "NAK");
        } else {
            const char* name = r.kind == "S"    ? "start"
                               : r.kind == "Sr" ? "repeated start"
                               : r.kind == "P"  ? "stop"
                                                : "arbitration lost";
            // A condition outside a byte (a stop after bus recovery) has no bit time to show.
            std::printf("%14.3f us  %s%s\n", us, name,
                        r.bitNs ? (" (" + std::to_string(1000000 / r.bitNs) + " kHz)").c_str() : "");
        }
    }
}

// A view of the trace into a file or onto standard output; a file appears only when complete.
void writeView(const std::string& file,
               const std::function<void(const std::vector<sim::TraceRecord>&, std::ostream&)>& view) {
    const std::vector<sim::TraceRecord> records = boardTrace();
    std::ostringstream text;
    view(records, text);
    if (file == "-") {
        std::fputs(text.str().c_str(), stdout);
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
    CLI::App* showCmd = cmd->add_subcommand("show", "Print the decoded trace with board-uptime timestamps");
    showCmd->add_flag("-t,--transactions", transactions, "One line per transaction (start to stop)");
    showCmd->add_flag("-e,--edges", edges, "Every level change of SCL and SDA instead of the decoded bytes");
    showCmd->callback([] { show(transactions, edges); });

    static std::string vcdFile;
    CLI::App* vcd = cmd->add_subcommand(
        "vcd",
        "Write SCL and SDA as a VCD file for waveform viewers and decoders (timestamps: board uptime, ns)");
    vcd->add_option("file", vcdFile, "Output file, or - for standard output")->required();
    vcd->callback([] { writeView(vcdFile, sim::writeVcd); });

    static std::string svgFile;
    CLI::App* svg = cmd->add_subcommand(
        "svg", "Draw SCL and SDA as a logic analyser would, with the decoded bytes, ACK/NAK, start and stop");
    svg->add_option("file", svgFile, "Output file (SVG), or - for standard output")->required();
    svg->callback([] { writeView(svgFile, sim::writeTraceSvg); });

    cmd->add_subcommand("clear", "Empty the trace")->callback([] {
        openBoard();
        const std::string path = sim::Board::current().path("trace.log");
        if (std::remove(path.c_str()) != 0 && errno != ENOENT)
            throw sim::BoardError(path + ": cannot remove: " + std::strerror(errno));
    });
}

}  // namespace vboard
