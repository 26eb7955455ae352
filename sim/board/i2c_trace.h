// The board's I2C bus trace: every start, repeated start, stop, byte and acknowledge that crosses the
// wire, with board-uptime timestamps, appended to <board>/trace.log by every process that moves the
// bus. Edges that something other than the controller makes (a GPIO pin clearing a stuck bus, a
// chip holding SDA) are recorded line by line.
//
// trace.log, one record a line:
//   <ns> S <bitNs>                   start condition
//   <ns> Sr <bitNs>                  repeated start
//   <ns> B <bitNs> <hex> A|N         a byte (first bit at <ns>) and its acknowledge bit
//   <ns> P <bitNs>                   stop condition
//   <ns> ARB <bitNs>                 the controller lost arbitration before its byte
//   <ns> L SCL|SDA 0|1               a line changed level, driven by a GPIO pin or a chip
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace sim {

struct TraceRecord {
    uint64_t ns = 0;
    std::string kind;  // "S", "Sr", "B", "P", "ARB", "L"
    uint64_t bitNs = 0;
    uint8_t value = 0;  // B: the byte; L: the new level
    bool ack = false;   // B
    std::string line;   // L: "SCL" or "SDA"
};

// Appends one record to the current board's trace.
void traceRecord(const TraceRecord& r);
// While the controller emits the edges of its own bytes, line observers do not record them.
void traceSuppressLines(bool on);
bool traceLinesSuppressed();

// Parses trace.log text; malformed lines are a BoardError naming the line.
std::vector<TraceRecord> parseTrace(const std::string& text);
std::string formatTraceRecord(const TraceRecord& r);

// One transaction per start...stop, as "S D0 A 00 A Sr D1 A 55 A 59 N P".
std::vector<std::string> traceTransactions(const std::vector<TraceRecord>& records);

// The line changes the records stand for, in time order, each a real change from the level
// before it (both lines idle high at the start). Views of the trace draw from these.
struct TraceEdge {
    uint64_t ns = 0;
    int line = 0;  // 0 SCL, 1 SDA
    int level = 0;
};
std::vector<TraceEdge> traceEdges(const std::vector<TraceRecord>& records);

// A VCD file of SCL and SDA that waveform viewers and decoders read; its timestamps are the
// trace's own (1 ns timescale, board uptime).
void writeVcd(const std::vector<TraceRecord>& records, std::ostream& out);

}  // namespace sim
