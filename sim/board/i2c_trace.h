// The board's I2C bus trace: every level change of SCL and SDA with its board-uptime time, and
// notes of what the wire cannot show (a unit that lost arbitration, an injected fault and the
// byte it struck), appended to <board>/trace.log by every process that moves the bus. A logic
// analyser's view: decoding the edges gives the starts, bytes, acknowledges and stops.
//
// trace.log, one record a line:
//   <ns> L SCL|SDA 0|1               a line changed level
//   <ns> ARB <bitNs>                 an I2C unit lost arbitration here
//   <ns> F <text>                    an injected fault struck here ("nak on byte 3")
// Traces of earlier builds also hold decoded records, which are read as they are:
//   <ns> S|Sr|P <bitNs>              start, repeated start, stop
//   <ns> B <bitNs> <hex> A|N         a byte (first bit at <ns>) and its acknowledge bit
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "i2c_bus.h"

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

// Recording (the bus and the I2C units call these); records go to trace.log at every stop and
// when the process ends.
void traceLevelChange(BusLine line, bool high, uint64_t ns);
void traceNote(const TraceRecord& r);
void traceFlush();
// Drops what has not been flushed (the process moves to another board).
void traceDiscard();

// Parses trace.log text; malformed lines are a BoardError naming the line.
std::vector<TraceRecord> parseTrace(const std::string& text);
std::string formatTraceRecord(const TraceRecord& r);

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

}  // namespace sim
