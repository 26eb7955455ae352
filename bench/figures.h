// Times as the benchmarks print them and the README's tables give them.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

namespace bench {

enum Sign { kMagnitude, kSigned };

// A time in milliseconds: seconds from a second up, milliseconds below, each with three
// significant digits and at most two decimals ("6.22 s", "13.1 s", "658 ms", "0.78 ms"); an
// error (kSigned) with its sign, a magnitude without.
inline std::string figure(double ms, Sign sign) {
    const double magnitude = std::fabs(ms);
    const bool seconds = magnitude >= 999.5;  // what would round to "1000 ms"
    const double v = seconds ? magnitude / 1000 : magnitude;
    const int decimals = v < 9.995 ? 2 : v < 99.95 ? 1 : 0;
    const char* prefix = sign == kMagnitude ? "" : (ms < 0 ? "-" : "+");
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%.*f %s", prefix, decimals, v, seconds ? "s" : "ms");
    return buf;
}

}  // namespace bench
