#include "recording_bus.h"

#include <gtest/gtest.h>

#include "i2c/i2c.h"

namespace rtctest {

RecordingBus& bus() {
    static RecordingBus b;
    return b;
}

void RecordingBus::reset() {
    calls.clear();
    failing.clear();
    script.clear();
    std::fill(std::begin(image), std::end(image), BYTE{0});
    debug.clear();
}

void RecordingBus::setImage(int reg, std::initializer_list<BYTE> bytes) {
    for (BYTE b : bytes) image[(reg++) & 0xFF] = b;
}

size_t RecordingBus::writes() const {
    size_t n = 0;
    for (const BusCall& c : calls) n += c.write ? 1 : 0;
    return n;
}

size_t RecordingBus::reads() const {
    return calls.size() - writes();
}

}  // namespace rtctest

using rtctest::bus;

int I2CWriteRegs(DWORD slave, const BYTE* data, int reg, DWORD length) {
    rtctest::RecordingBus& b = bus();
    const bool ok = b.failing.count(b.calls.size()) == 0;
    b.calls.push_back({true, slave, reg, length, std::vector<BYTE>(data, data + length), ok});
    if (!ok) return 0;
    for (DWORD i = 0; i < length; ++i) b.image[(reg + i) & 0xFF] = data[i];
    return 1;
}

int I2CReadRegs(DWORD slave, BYTE* buffer, int reg, DWORD length) {
    rtctest::RecordingBus& b = bus();
    const bool ok = b.failing.count(b.calls.size()) == 0;
    b.calls.push_back({false, slave, reg, length, {}, ok});
    if (!ok) {
        // A failed transfer leaves rubbish behind; a driver that used it would show.
        for (DWORD i = 0; i < length; ++i) buffer[i] = 0xA5;
        return 0;
    }
    if (!b.script.empty()) {
        std::vector<BYTE> next = b.script.front();
        b.script.pop_front();
        EXPECT_EQ(next.size(), length) << "scripted read of the wrong length";
        for (DWORD i = 0; i < length; ++i) buffer[i] = i < next.size() ? next[i] : 0;
    } else {
        for (DWORD i = 0; i < length; ++i) buffer[i] = b.image[(reg + i) & 0xFF];
    }
    b.calls.back().bytes.assign(buffer, buffer + length);
    return 1;
}

void OutputDebugStringW(LPCWSTR text) {
    bus().debug.push_back(text ? std::u16string(text) : std::u16string());
}

// Nothing in the chip routines formats a message; a call here is a fault in itself.
void NKDbgPrintfW(LPCWSTR, ...) {
    ADD_FAILURE() << "NKDbgPrintfW called by a chip routine";
}
