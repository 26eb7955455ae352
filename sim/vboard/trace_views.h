// The board's I2C bus trace (trace.log, as sim/board/i2c_trace.h records it) read back and shown:
// parsed into records, decoded as a decoder on the wire decodes it, as transactions, as the line
// levels over time, as a VCD file for waveform viewers and decoders, and as a picture.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "../board/i2c_bus.h"

namespace sim {

struct TraceRecord {
    uint64_t ns = 0;
    std::string kind;  // "L", "ARB", "F"; decoded: "S", "Sr", "B", "P"
    uint64_t bitNs = 0;
    uint8_t value = 0;  // B: the byte; L: the new level
    bool ack = false;   // B
    std::string line;   // L: "SCL" or "SDA"
    std::string text;   // F: what struck
};

// Parses trace.log text; malformed lines are a BoardError naming the line.
std::vector<TraceRecord> parseTrace(const std::string& text);

// What the edges mean: starts, repeated starts, bytes with their acknowledge bit and stops, as a
// decoder on the wire sees them, with the notes in their place (records sorted by time).
std::vector<TraceRecord> decodeTrace(const std::vector<TraceRecord>& records);
// One transaction per start...stop, as "S D0 A 00 A Sr D1 A .. N P".
std::vector<std::string> traceTransactions(const std::vector<TraceRecord>& records);

// The line levels over time: every change of SCL and SDA, in time order, from the edges (and the
// decoded records of older traces expanded into theirs).
struct LineEdge {
    uint64_t ns;
    BusLine line;
    bool high;
};
std::vector<LineEdge> traceEdges(const std::vector<TraceRecord>& records);

// A VCD file of SCL and SDA (1 ns timescale, the trace's own times) that waveform viewers and
// decoders read; injected faults are pulses on a third wire, FAULT.
void writeVcd(const std::vector<TraceRecord>& records, std::ostream& out);

// SCL and SDA as a logic analyser draws them, with the decoded bytes, addresses, acknowledges
// and bus conditions above the lines (SVG).
void writeTraceSvg(const std::vector<TraceRecord>& records, std::ostream& out);

}  // namespace sim
