#include "i2c_trace.h"

#include <unistd.h>

#include <cstdio>

#include "board.h"

namespace sim {

namespace {

std::string& pendingText() {
    static std::string* p = new std::string;  // flushed at exit after other statics are gone
    return *p;
}

// This program as its command line names it (the program file's name without its folder, and
// without the .arm of the ARM build's programs), for the R records.
const std::string& programName() {
    static const std::string name = [] {
        std::string args = readFile("/proc/self/cmdline"), out;
        size_t at = 0;
        for (bool first = true; at < args.size(); first = false) {
            size_t end = args.find('\0', at);
            if (end == std::string::npos) end = args.size();
            std::string arg = args.substr(at, end - at);
            if (first) {
                arg = arg.substr(arg.rfind('/') == std::string::npos ? 0 : arg.rfind('/') + 1);
                if (arg.size() > 4 && arg.compare(arg.size() - 4, 4, ".arm") == 0) arg.resize(arg.size() - 4);
            }
            out += (first ? "" : " ") + arg;
            at = end + 1;
        }
        for (char& c : out)
            if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        if (out.size() > 120) out = out.substr(0, 117) + "...";
        return out.empty() ? std::string("?") : out;
    }();
    return name;
}

// The text still to be written, each flush's beginning with the R record of this process.
std::string& pending(uint64_t ns) {
    std::string& p = pendingText();
    if (p.empty()) p = std::to_string(ns) + " R " + std::to_string(::getpid()) + " " + programName() + "\n";
    return p;
}

void appendLevel(const char* kind, BusLine line, bool high, uint64_t ns, I2cBusId bus) {
    const bool pwr = bus == I2cBusId::PowerManager;
    char text[48];
    const int n =
        std::snprintf(text, sizeof text, "%llu %s %s%s %c\n", static_cast<unsigned long long>(ns), kind,
                      pwr ? "PWR_" : "", line == BusLine::SCL ? "SCL" : "SDA", high ? '1' : '0');
    pending(ns).append(text, static_cast<size_t>(n));
}

}  // namespace

// Every edge of every bit comes through here: written straight into the pending text.
void traceLevelChange(BusLine line, bool high, uint64_t ns, I2cBusId bus) {
    appendLevel("L", line, high, ns, bus);
}

void traceLevelFound(BusLine line, bool high, uint64_t ns, I2cBusId bus) {
    appendLevel("H", line, high, ns, bus);
}

void traceArbitrationLost(uint64_t ns, uint64_t bitNs, I2cBusId bus) {
    pending(ns) += std::to_string(ns) + " ARB " + std::to_string(bitNs) +
                   (bus == I2cBusId::PowerManager ? " PWR" : "") + "\n";
}

void traceFault(uint64_t ns, const std::string& text) {
    pending(ns) += std::to_string(ns) + " F " + text + "\n";
}

void traceFlush() {
    std::string& p = pendingText();
    if (p.empty() || !Board::isOpen()) return;
    // One append per flush: O_APPEND keeps the records of concurrent processes whole.
    Board::current().appendTrace(p);
    p.clear();
}

void traceDiscard() {
    pendingText().clear();
}

}  // namespace sim
