// Watching the chip's second tick over: how the options take the chip's time to the millisecond
// and the bus's speed. The bus lock is taken for each read alone, never across a wait.
#pragma once

#include "../rtc/rtc.h"
#include "counter.h"

#define APP_EDGE_WAIT_MS 1100  // longest watch for the chip's second to tick over

// Returned by FindChipEdge.
#define APP_EDGE_FOUND 1
#define APP_EDGE_STOPPED 0  // no tick within the bound: its oscillator stands
#define APP_EDGE_LOST (-1)  // the bus failed, or could not be had

// Reads the chip's counter again and again until it moves on from where it stood; `edge` gets the
// chip's time at that moment (from `read`, the chip's time read just before) and `byteUnits`, when
// given, the time one byte takes on the bus.
int FindChipEdge(const RtcProtocolEntry* entry, BYTE slave, const SYSTEMTIME* read, TimePoint* edge,
                 LONGLONG* byteUnits);
// The chip's time and where its second stands, for the store: read, then watched for its edge. 1
// when found.
int MeasureChip(const RtcProtocolEntry* entry, BYTE slave, TimePoint* edge, LONGLONG* byteUnits);
// How long a byte takes on the bus, from one timed read of the chip's counter; 0 when unknown.
LONGLONG ProbeByteUnits(const RtcProtocolEntry* entry, BYTE slave);
