// vboard trace: the board's I2C bus trace as text, as transactions, or as a VCD file of SCL and
// SDA; and vboard i2c-hold, another process holding the bus mutex "I2C" for a while.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "../board/board.h"
#include "../board/i2c_trace.h"
#include "../board/simtime.h"
#include "../ceapi/kernel_objects.h"
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
            std::printf("%14.3f us  %s (%s kHz)\n", us, name,
                        r.bitNs ? std::to_string(1000000 / r.bitNs).c_str() : "?");
        }
    }
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
    CLI::App* vcd =
        cmd->add_subcommand("vcd", "Write SCL and SDA as a VCD file for waveform viewers and decoders");
    vcd->add_option("file", vcdFile, "Output file")->required();
    vcd->callback([] {
        const std::vector<sim::TraceRecord> records = boardTrace();
        std::ofstream out(vcdFile, std::ios::trunc);
        if (!out) throw sim::BoardError("cannot write " + vcdFile);
        sim::writeVcd(records, out);
    });

    cmd->add_subcommand("clear", "Empty the trace")->callback([] {
        openBoard();
        std::remove(sim::Board::current().path("trace.log").c_str());
    });

    static unsigned holdMs = 0;
    CLI::App* hold =
        app.add_subcommand("i2c-hold", "Hold the bus mutex \"I2C\" for a while, as another driver would");
    hold->add_option("ms", holdMs, "How long, in milliseconds of real time")->required();
    hold->callback([] {
        openBoard();
        HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("I2C"));
        if (!m || WaitForSingleObject(m, INFINITE) != WAIT_OBJECT_0)
            throw sim::BoardError("cannot take the mutex I2C");
        std::printf("holding I2C\n");
        std::fflush(stdout);
        ::usleep(holdMs * 1000u);
        ReleaseMutex(m);
        CloseHandle(m);
    });
}

}  // namespace vboard
