// A stand-in for the bus contract that records every register transfer, fails the transfers a
// test chooses, and serves reads from a scripted queue or from a register image that the writes
// update. It also records the debug output.
#pragma once

#include <windows.h>

#include <deque>
#include <set>
#include <string>
#include <vector>

namespace rtctest {

struct BusCall {
    bool write;
    DWORD slave;
    int reg;
    DWORD length;
    std::vector<BYTE> bytes;  // written bytes, or the bytes handed back by a successful read
    bool ok;
};

struct RecordingBus {
    std::vector<BusCall> calls;
    std::set<size_t> failing;              // indexes (0-based, in call order) of transfers that fail
    std::deque<std::vector<BYTE>> script;  // served to reads before the image, one entry per read
    BYTE image[256] = {0};                 // register image, indexed by register number
    std::vector<std::u16string> debug;     // every OutputDebugStringW text

    void reset();
    void failCall(size_t index) { failing.insert(index); }
    void setImage(int reg, std::initializer_list<BYTE> bytes);
    size_t writes() const;
    size_t reads() const;
};

// The one bus every test in this binary talks to; reset before each test.
RecordingBus& bus();

}  // namespace rtctest
