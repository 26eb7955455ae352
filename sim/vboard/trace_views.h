// The board's I2C bus trace (trace.log, as sim/board/i2c_trace.h records it) read back and shown:
// parsed into records, decoded as a decoder on the wire decodes it, as transactions, as the line
// levels over time, as a VCD file for waveform viewers and decoders, and as a picture; the whole
// trace or a window of it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "../board/i2c_bus.h"

namespace sim {

struct TraceRecord {
    uint64_t ns = 0;
    std::string kind;                   // "L", "H", "ARB", "F", "R"; decoded: "S", "Sr", "B", "P", "RCV"
    uint64_t bitNs = 0;                 // ARB; decoded: the bus's bit time (its speed), 0 where unknown
    uint8_t value = 0;                  // B: the byte; L, H: the level
    bool ack = false;                   // B
    uint64_t ackNs = 0;                 // B: where its ninth (acknowledge) bit begins
    uint64_t endNs = 0;                 // B: where it ends; RCV: the stop that ends it (0: none)
    unsigned pulses = 0;                // RCV: clock pulses on SCL outside any transaction
    std::string line;                   // L, H: "SCL" or "SDA"
    std::string text;                   // F: what struck; R: the program
    int pid = 0;                        // R
    I2cBusId bus = I2cBusId::Standard;  // the lines' records, decoded ones and ARB: whose bus
};

// Whether the trace holds anything of the power-manager unit's bus.
bool traceHasPowerManagerBus(const std::vector<TraceRecord>& records);

// Parses trace.log text; malformed lines are a BoardError naming the line.
std::vector<TraceRecord> parseTrace(const std::string& text);

// What the edges mean: starts, repeated starts, bytes with their acknowledge bit and stops, as a
// decoder on the wire sees them, with the notes in their place (records sorted by time). A
// condition's time is that of the SDA edge that makes it; a byte's bits are a bit time each around
// the rises of SCL that sample them. Levels found held (H) are levels, never conditions. Clock
// pulses outside any transaction are a bus recovery (RCV, at its first pulse): the pulses, and the
// stop that ends them, which is then no record of its own.
// Decoded records of older traces are taken as they are, their times brought to the same points.
// Each bus is decoded on its own, and the two merged by time.
std::vector<TraceRecord> decodeTrace(const std::vector<TraceRecord>& records);

// The line levels over time: every change of SCL and SDA, in time order, from the edges (and the
// decoded records of older traces expanded into theirs). `initial` gets the levels before the
// first change: high, unless the trace begins with a line found held.
struct LineEdge {
    uint64_t ns;
    BusLine line;
    bool high;
};
std::vector<LineEdge> traceEdges(const std::vector<TraceRecord>& records, BusLevels* initial = nullptr,
                                 I2cBusId bus = I2cBusId::Standard);

// A stretch of board uptime to show; open ends take the whole trace.
struct TraceWindow {
    std::optional<uint64_t> fromNs, toNs;
    bool contains(uint64_t ns) const { return (!fromNs || ns >= *fromNs) && (!toNs || ns <= *toNs); }
};
// The stretch the last program that used the bus took (from its first record to its last), by
// the R records that begin each program's part; nothing when the trace names no program.
std::optional<TraceWindow> lastProgramWindow(const std::vector<TraceRecord>& records);

// One transaction per start...stop, as "S D0 A 00 A Sr D1 A .. N P" (those within the window);
// those of the power-manager unit's bus begin with "pwr: ".
std::vector<std::string> traceTransactions(const std::vector<TraceRecord>& records,
                                           const TraceWindow& window = {});

// A VCD file of SCL and SDA (1 ns timescale, the trace's own times) that waveform viewers and
// decoders read; injected faults are pulses on a third wire, FAULT; a trace with the power-manager
// unit's bus has its lines too, PWR_SCL and PWR_SDA.
void writeVcd(const std::vector<TraceRecord>& records, std::ostream& out, const TraceWindow& window = {});

// SCL and SDA of one bus as a logic analyser draws them, with the decoded bytes, addresses,
// acknowledges, bus conditions and notes, in rows a common renderer accepts (SVG).
void writeTraceSvg(const std::vector<TraceRecord>& records, std::ostream& out, const TraceWindow& window = {},
                   I2cBusId bus = I2cBusId::Standard);

}  // namespace sim
