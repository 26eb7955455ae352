// The board's I2C bus trace, as the board records it: every level change of SCL and SDA with its
// board-uptime time, and notes of what the wire cannot show (a unit that lost arbitration, an
// injected fault and what it struck), appended to <board>/trace.log by every process that moves
// the bus. A logic analyser's record; what the edges mean is worked out by the trace's readers
// (the board tool's views).
//
// trace.log, one record a line:
//   <ns> R <pid> <program>           the records up to the next R are this program's (each flush
//                                    of a process begins with one)
//   <ns> L SCL|SDA 0|1               a line changed level
//   <ns> H SCL|SDA 0|1               a line found at this level when the process looked at the bus
//                                    (held by a fault or a slave from before): a level, no edge a
//                                    master made
//   <ns> ARB <bitNs>                 an I2C unit lost arbitration here
// The power-manager unit's bus has lines of its own, PWR_SCL and PWR_SDA, in the same records
// (ARB with " PWR" after it); a trace without them is the standard unit's bus alone.
//   <ns> F <text>                    an injected fault struck here ("nak on byte 3")
// Traces of earlier builds also hold decoded records, which readers take as they are:
//   <ns> S|Sr|P <bitNs>              start, repeated start, stop
//   <ns> B <bitNs> <hex> A|N         a byte (first bit at <ns>) and its acknowledge bit
#pragma once

#include <cstdint>
#include <string>

#include "i2c_bus.h"

namespace sim {

// Recording (the bus, the I2C units and the injected faults call these); records go to
// trace.log at every stop and when the process ends.
void traceLevelChange(BusLine line, bool high, uint64_t ns, I2cBusId bus = I2cBusId::Standard);
void traceLevelFound(BusLine line, bool high, uint64_t ns, I2cBusId bus = I2cBusId::Standard);
void traceArbitrationLost(uint64_t ns, uint64_t bitNs, I2cBusId bus = I2cBusId::Standard);
void traceFault(uint64_t ns, const std::string& text);
void traceFlush();
// Drops what has not been flushed (the process moves to another board).
void traceDiscard();

}  // namespace sim
