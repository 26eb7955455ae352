// How well Tamblin keeps time over 30 days of a board's life, with the true time known: the
// program as it always was against the registry's Precise and DriftCorrection values, for a chip whose
// crystal gains 50 ppm (protocol 1) and one that loses 20 ppm (protocol 4).
//
//   accuracy [--svg FILE] [--csv FILE] [--days N]   (defaults: accuracy.svg, no CSV, 30 days)
//
// Each life runs on a board whose clocks run on virtual time: the programs (tamblin, vboard) run
// as they always do, and nothing waits in real time. Every day the board is switched on at 7:00
// and booted, rebooted at 10:00, 13:00, 16:00 and 19:00 (a minute off each time) and switched off
// at 22:00 until the next morning; the times wander by a few minutes so that the chip's second
// meets each boot at another point. A network time client sets the true time on days 0, 3 and 7
// and never after; on day 10 a person moves the clock an hour on at 12:00 and back at 15:30 (the
// boot at 13:00 restores the hour the person set: it is counted apart). A last boot comes on the
// morning of day 30, 23 days after the last time set.
//
// Printed for each life: the system clock's error after each boot (system time less true time),
// its median, 95th percentile and worst, the error at the last boot, and what a boot costs in
// board time; and for the stores, how long each held the bus lock. The SVG shows the error after
// every boot over the 30 days.
//
// Not a test: it prints figures. The runs are exactly repeatable.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/figures.h"
#include "tests/e2e_util.h"

namespace {

using bench::figure;
using bench::kMagnitude;
using bench::kSigned;

constexpr int64_t kMs = 10'000;  // file time units
constexpr int64_t kSecond = 1000 * kMs;
constexpr int64_t kMinute = 60 * kSecond;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;
const int64_t kStart = e2e::fileTimeOf(2026, 3, 2, 0, 0, 0);  // day 0, 00:00 UTC

struct Chip {
    const char* name;
    int protocol;
    double ppm;
};
const Chip kChips[] = {{"+50 ppm, protocol 1", 1, 50}, {"-20 ppm, protocol 4", 4, -20}};

struct Variant {
    const char* name;
    bool precise, drift;
};
const Variant kVariants[] = {
    {"neither", false, false},
    {"Precise", true, false},
    {"DriftCorrection", false, true},
    {"both", true, true},
};

struct BootResult {
    double day;
    double errorMs;     // system clock less true time
    double transferMs;  // system clock less what the chip shows: the boot's own part of the error
    double costMs;
    bool moved;  // the boot restored the hour a person had set
};

struct Life {
    std::vector<BootResult> boots;
    std::vector<double> lockHoldMs;  // per store: the bus lock held, all its holds together
    std::vector<double> lockSpans;   // per store: how many separate holds
    double longestHoldMs = 0;        // the longest single hold of any store
};

// Repeatable wandering: minutes, seconds and milliseconds off the schedule.
class Wander {
  public:
    int64_t next(int64_t range) {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<int64_t>((state_ >> 33) % static_cast<uint64_t>(range));
    }

  private:
    uint64_t state_ = 20260302;
};

std::string registryFor(const Chip& chip, const Variant& v) {
    std::string text = e2e::registryFor(chip.protocol);
    if (v.precise) text += "\"Precise\"=dword:00000001\r\n";
    if (v.drift) text += "\"DriftCorrection\"=dword:00000001\r\n";
    return text;
}

std::string isoTime(int64_t t) {
    const int64_t unixUnits = t - e2e::fileTimeOf(1970, 1, 1, 0, 0, 0);
    const time_t secs = static_cast<time_t>(unixUnits / kSecond);
    struct tm tm;
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%07lld", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long long>(unixUnits % kSecond));
    return buf;
}

void must(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "accuracy: %s failed\n", what);
    std::exit(1);
}

class Player {
  public:
    Player(const Chip& chip, const Variant& variant, const std::string& lockLog)
        : board_(config(chip), registryFor(chip, variant)),
          lockLog_(lockLog),
          address_(chip.protocol == 3 ? 0x51 : 0x68) {}

    Life play(int days) {
        // The board was last switched off the evening before; its chip is 2.7 s behind.
        board_.startAt(kStart - 9 * kHour);
        board_.changeState([](sim::BoardState& s) {
            for (auto& [address, chip] : s.chips) {
                (void)address;
                chip.clockAt += 27'000'000;
            }
        });
        must(board_.runVboard({"power", "down"}) == 0, "power down");
        for (int day = 0; day <= days; ++day) {
            const int64_t midnight = kStart + day * kDay;
            advanceTo(midnight + 7 * kHour + wander(20));
            must(board_.runVboard({"power", "up"}) == 0, "power up");
            boot(day);
            if (day == days) break;
            if (day == 0 || day == 3 || day == 7) {
                advanceTo(midnight + 7 * kHour + 30 * kMinute + wander(10));
                setTime(0);  // a network time client sets the true time
            }
            for (int hour : {10, 13, 16, 19}) {
                if (day == 10 && hour == 13) {
                    advanceTo(midnight + 12 * kHour + wander(5));
                    setTime(kHour, true);  // a person moves the clock an hour on
                }
                advanceTo(midnight + hour * kHour + wander(15));
                must(board_.runVboard({"power", "down"}) == 0, "power down");
                advanceTo(board_.trueTime() + kMinute + wander(1));
                must(board_.runVboard({"power", "up"}) == 0, "power up");
                boot(day, day == 10 && hour == 13);
                if (day == 10 && hour == 13) {
                    advanceTo(midnight + 15 * kHour + 30 * kMinute + wander(5));
                    setTime(-kHour, true);  // and back, by hand
                }
            }
            advanceTo(midnight + 22 * kHour + wander(20));
            must(board_.runVboard({"power", "down"}) == 0, "power down");
        }
        return life_;
    }

  private:
    static sim::BoardConfig config(const Chip& chip) {
        sim::BoardConfig c = e2e::virtualConfig(chip.protocol);
        c.chips[0].ppm = chip.ppm;
        return c;
    }

    // A few minutes off the schedule, with seconds and milliseconds.
    int64_t wander(int minutes) { return wander_.next(minutes * kMinute / kMs) * kMs; }

    void advanceTo(int64_t t) {
        const int64_t now = board_.trueTime();
        if (t > now) board_.advance(static_cast<uint64_t>(t - now) * 100);
    }

    void boot(int day, bool moved = false) {
        const sim::BoardState before = board_.state();
        must(board_.runTamblin() == 1, "boot");
        const sim::BoardState after = board_.state();
        const double error = static_cast<double>(board_.systemTime() - board_.trueTime()) / kMs;
        const double transfer = static_cast<double>(board_.systemTime() - board_.chipTime(address_)) / kMs;
        const double at = static_cast<double>(board_.trueTime() - kStart) / kDay;
        life_.boots.push_back(
            {at, error, transfer, static_cast<double>(after.uptimeNs - before.uptimeNs) / 1e6, moved});
        (void)day;
    }

    // A time change by `vboard set-time`, as a program on the board makes it; the notification
    // service starts the store path and set-time waits for it. `offset` from the true time, or
    // from the system clock when `fromSystem`.
    void setTime(int64_t offset, bool fromSystem = false) {
        // The clock takes whole milliseconds: the time is set as the true time reaches one.
        advanceTo((board_.trueTime() + kMs - 1) / kMs * kMs);
        const int64_t base = fromSystem ? board_.systemTime() : board_.trueTime();
        std::remove(lockLog_.c_str());
        setenv("TAMBLIN_MUTEX_LOG", lockLog_.c_str(), 1);
        std::string out;
        must(board_.runVboard({"set-time", isoTime(base + offset)}, &out) == 0, "set-time");
        unsetenv("TAMBLIN_MUTEX_LOG");
        // The holds of the "I2C" mutex by the store it started.
        std::ifstream log(lockLog_);
        std::string name;
        unsigned long long from = 0, to = 0;
        double held = 0;
        int spans = 0;
        while (log >> name >> from >> to) {
            if (name != "I2C") continue;
            held += static_cast<double>(to - from) / 1e6;
            life_.longestHoldMs = std::max(life_.longestHoldMs, static_cast<double>(to - from) / 1e6);
            ++spans;
        }
        life_.lockHoldMs.push_back(held);
        life_.lockSpans.push_back(spans);
    }

    e2e::Board board_;
    std::string lockLog_;
    uint8_t address_;
    Wander wander_;
    Life life_;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

// ---- The picture -------------------------------------------------------------------------------

// The error on a scale that shows milliseconds and minutes at once: linear within +-1 ms,
// logarithmic beyond.
double scaled(double errorMs) {
    const double a = std::fabs(errorMs);
    const double s = a <= 1 ? a : 1 + std::log10(a);
    return errorMs < 0 ? -s : s;
}

const char* const kColours[] = {"#888888", "#1f77b4", "#d62728", "#2ca02c"};

void writeSvg(const std::string& file, const std::vector<std::vector<Life>>& lives, int days) {
    const double panelW = 760, panelH = 300, left = 80, top = 50, gap = 70;
    const double maxScale = 1 + 6;  // 1000 s
    std::ostringstream svg;
    const double height = top + 2 * (panelH + gap) + 20;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << left + panelW + 180 << "\" height=\""
        << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg << "<text x=\"" << left
        << "\" y=\"24\" font-size=\"15\">System clock less true time after each boot, " << days
        << " days (scale linear within 1 ms, logarithmic beyond)</text>\n";
    for (size_t c = 0; c < lives.size(); ++c) {
        const double y0 = top + static_cast<double>(c) * (panelH + gap);
        auto y = [&](double errorMs) { return y0 + panelH / 2 - scaled(errorMs) / maxScale * (panelH / 2); };
        auto x = [&](double day) { return left + day / days * panelW; };
        svg << "<text x=\"" << left << "\" y=\"" << y0 - 8 << "\" font-size=\"13\">Chip " << kChips[c].name
            << "</text>\n";
        svg << "<rect x=\"" << left << "\" y=\"" << y0 << "\" width=\"" << panelW << "\" height=\"" << panelH
            << "\" fill=\"none\" stroke=\"#000\"/>\n";
        const struct {
            double ms;
            const char* label;
        } ticks[] = {{1e6, "+1000 s"}, {1e4, "+10 s"},    {100, "+100 ms"}, {1, "+1 ms"},     {0, "0"},
                     {-1, "-1 ms"},    {-100, "-100 ms"}, {-1e4, "-10 s"},  {-1e6, "-1000 s"}};
        for (const auto& t : ticks) {
            svg << "<line x1=\"" << left << "\" x2=\"" << left + panelW << "\" y1=\"" << y(t.ms) << "\" y2=\""
                << y(t.ms) << "\" stroke=\"#ddd\"/>\n";
            svg << "<text x=\"" << left - 6 << "\" y=\"" << y(t.ms) + 4 << "\" text-anchor=\"end\">"
                << t.label << "</text>\n";
        }
        for (int d = 0; d <= days; d += 5)
            svg << "<text x=\"" << x(d) << "\" y=\"" << y0 + panelH + 16 << "\" text-anchor=\"middle\">day "
                << d << "</text>\n";
        for (size_t v = 0; v < lives[c].size(); ++v) {
            std::ostringstream path;
            const char* sep = "M";
            for (const BootResult& b : lives[c][v].boots) {
                if (b.moved) continue;
                path << sep << x(b.day) << "," << y(b.errorMs) << " ";
                sep = "L";
            }
            // A faint line through a dot for each boot: errors that change sign from boot to boot
            // (the whole-second read) stay readable.
            svg << "<path d=\"" << path.str() << "\" fill=\"none\" stroke=\"" << kColours[v]
                << "\" stroke-width=\"1\" stroke-opacity=\"0.35\"/>\n";
            for (const BootResult& b : lives[c][v].boots)
                if (!b.moved)
                    svg << "<circle cx=\"" << x(b.day) << "\" cy=\"" << y(b.errorMs) << "\" r=\"2\" fill=\""
                        << kColours[v] << "\"/>\n";
            svg << "<text x=\"" << left + panelW + 12 << "\" y=\"" << y0 + 20 + 18 * static_cast<double>(v)
                << "\" fill=\"" << kColours[v] << "\">" << kVariants[v].name << "</text>\n";
        }
    }
    svg << "</svg>\n";
    std::ofstream(file) << svg.str();
}

}  // namespace

int main(int argc, char** argv) {
    std::string svgFile = "accuracy.svg";
    std::string csvFile;
    int days = 30;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--svg" && i + 1 < argc) {
            svgFile = argv[++i];
        } else if (a == "--csv" && i + 1 < argc) {
            csvFile = argv[++i];
        } else if (a == "--days" && i + 1 < argc) {
            days = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: accuracy [--svg FILE] [--csv FILE] [--days N]   (N at least 8)\n");
            return 2;
        }
    }
    if (days < 8) days = 8;
    char tmpl[] = "/tmp/tamblin-accuracy-XXXXXX";
    const std::string scratch = mkdtemp(tmpl);
    const std::string lockLog = scratch + "/locks";

    std::printf("Tamblin accuracy: %d days of a board's life on a board with virtual clocks\n", days);
    std::printf(
        "Error: system clock less true time after each boot (the boot that restores a person's\n"
        "hour left out). Transfer: system clock less the chip after the boot, the boot's own part\n"
        "(not shown where DriftCorrection sets the clock apart from the chip on purpose).\n"
        "Offline: the boots after the last time set (day 7), when drift has had its time.\n\n");
    std::vector<std::vector<Life>> lives;
    FILE* csv = csvFile.empty() ? nullptr : std::fopen(csvFile.c_str(), "w");
    if (csv) std::fprintf(csv, "chip,variant,day,error_ms,transfer_ms,cost_ms,moved\n");
    for (const Chip& chip : kChips) {
        std::printf("Chip %s\n", chip.name);
        std::printf("  %-16s %5s | %10s %10s %10s | %10s %10s | %10s | %s\n", "", "boots", "median",
                    "95% within", "worst", "offline", "last boot", "transfer", "boot cost mean/max");
        std::printf("  %-16s %5s | %32s | %21s | %10s |\n", "", "", "error, all boots", "error, offline",
                    "worst");
        std::vector<Life> row;
        for (const Variant& v : kVariants) {
            std::fflush(stdout);
            Life life = Player(chip, v, lockLog).play(days);
            std::vector<double> errors, magnitudes, offline, transfers, costs;
            for (const BootResult& b : life.boots) {
                if (csv)
                    std::fprintf(csv, "%d,%s,%.6f,%.4f,%.4f,%.3f,%d\n", chip.protocol, v.name, b.day,
                                 b.errorMs, b.transferMs, b.costMs, b.moved ? 1 : 0);
                if (b.moved) continue;
                errors.push_back(b.errorMs);
                magnitudes.push_back(std::fabs(b.errorMs));
                if (b.day >= 8) offline.push_back(std::fabs(b.errorMs));
                transfers.push_back(std::fabs(b.transferMs));
                costs.push_back(b.costMs);
            }
            double worst = 0;
            for (double e : errors)
                if (std::fabs(e) > std::fabs(worst)) worst = e;
            double mean = 0;
            for (double c : costs) mean += c;
            mean /= static_cast<double>(costs.size());
            std::printf("  %-16s %5zu | %10s %10s %10s | %10s %10s | %10s | %.0f / %.0f ms\n", v.name,
                        errors.size(), figure(percentile(errors, 0.5), kSigned).c_str(),
                        figure(percentile(magnitudes, 0.95), kMagnitude).c_str(),
                        figure(worst, kSigned).c_str(), figure(percentile(offline, 1.0), kMagnitude).c_str(),
                        figure(errors.back(), kSigned).c_str(),
                        v.drift ? "-" : figure(percentile(transfers, 1.0), kMagnitude).c_str(), mean,
                        *std::max_element(costs.begin(), costs.end()));
            row.push_back(life);
        }
        std::printf(
            "  bus lock held by each store: all its holds together (median / worst), how many holds,\n"
            "  and the longest single hold:\n");
        for (size_t v = 0; v < row.size(); ++v) {
            const std::vector<double>& holds = row[v].lockHoldMs;
            const std::string median = figure(percentile(holds, 0.5), kMagnitude);
            const std::string worst = figure(*std::max_element(holds.begin(), holds.end()), kMagnitude);
            const std::string longest = figure(row[v].longestHoldMs, kMagnitude);
            std::printf("    %-16s %s / %s in %.0f holds, longest %s\n", kVariants[v].name, median.c_str(),
                        worst.c_str(), percentile(row[v].lockSpans, 0.5), longest.c_str());
        }
        std::printf("\n");
        lives.push_back(row);
    }
    if (csv) std::fclose(csv);
    writeSvg(svgFile, lives, days);
    std::printf("Plot: %s\n", svgFile.c_str());
    std::remove(lockLog.c_str());
    ::rmdir(scratch.c_str());
    return 0;
}
