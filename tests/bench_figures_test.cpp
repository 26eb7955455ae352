// Times as the benchmarks print them, and the README's 30-day table written the way the benchmark
// prints it (its output once read "6220.99 ms" where the table said "6.22 s").
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "bench/figures.h"

namespace {

using bench::figure;
using bench::kMagnitude;
using bench::kSigned;

struct FigureCase {
    double ms;
    bench::Sign sign;
    const char* text;
};

TEST(BenchFigures, SecondsFromASecondUpMillisecondsBelowEachToThreeDigits) {
    const FigureCase cases[] = {
        {6220.99, kMagnitude, "6.22 s"},
        {-53.87, kSigned, "-53.9 ms"},
        {31800.4, kSigned, "+31.8 s"},
        {-41200, kSigned, "-41.2 s"},
        {0.78, kMagnitude, "0.78 ms"},
        {-0.07, kSigned, "-0.07 ms"},
        {994.29, kMagnitude, "994 ms"},
        {658.28, kMagnitude, "658 ms"},
        {3.27, kMagnitude, "3.27 ms"},
        {0, kSigned, "+0.00 ms"},
        {242.372, kMagnitude, "242 ms"},
        // Where rounding carries into the next digit or unit: never "1000 ms", "10.00 s" or "100.0 ms".
        {999.4, kMagnitude, "999 ms"},
        {999.5, kMagnitude, "1.00 s"},
        {-999.7, kSigned, "-1.00 s"},
        {9994, kMagnitude, "9.99 s"},
        {9996, kMagnitude, "10.0 s"},
        {99940, kMagnitude, "99.9 s"},
        {99960, kMagnitude, "100 s"},
        {9.994, kMagnitude, "9.99 ms"},
        {9.996, kMagnitude, "10.0 ms"},
        {99.94, kMagnitude, "99.9 ms"},
        {99.96, kMagnitude, "100 ms"},
        {1234567, kSigned, "+1235 s"},
    };
    for (const FigureCase& c : cases) EXPECT_EQ(figure(c.ms, c.sign), c.text) << c.ms;
}

std::vector<std::string> cellsOf(const std::string& row) {
    std::vector<std::string> cells;
    std::stringstream in(row.substr(1));
    std::string cell;
    while (std::getline(in, cell, '|')) {
        const size_t first = cell.find_first_not_of(' '), last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
}

// Every time in the table's columns of times is what the benchmark prints for it: read back and
// printed again, it is the same text; an error's column carries its sign. The boot cost column
// is in milliseconds throughout, as the benchmark prints it.
TEST(BenchFigures, TheReadmesThirtyDayTableIsWrittenAsTheBenchmarkPrintsIt) {
    std::ifstream readme(std::string(TAMBLIN_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(readme) << "README.md";
    std::string line;
    while (std::getline(readme, line) && line != "### The 30-day benchmark") {
    }
    ASSERT_FALSE(readme.eof()) << "no section \"The 30-day benchmark\"";
    std::vector<std::string> header;
    int figures = 0;
    const std::regex time(R"(([+-]?)(\d+(?:\.\d+)?) (ms|s)\b)");
    while (std::getline(readme, line) && line.rfind("#", 0) != 0) {
        if (line.rfind("|", 0) != 0 || line.rfind("|---", 0) == 0) continue;
        const std::vector<std::string> cells = cellsOf(line);
        if (header.empty()) {
            header = cells;
            continue;
        }
        ASSERT_EQ(cells.size(), header.size()) << line;
        for (size_t c = 0; c < cells.size(); ++c) {
            const std::string& name = header[c];
            if (name.find("boot cost") != std::string::npos) continue;
            const bool signedColumn = name == "median" || name == "worst" || name.rfind("last boot", 0) == 0;
            for (std::sregex_iterator m(cells[c].begin(), cells[c].end(), time), end; m != end; ++m) {
                const double value =
                    std::stod((*m)[2]) * ((*m)[3] == "s" ? 1000 : 1) * ((*m)[1] == "-" ? -1 : 1);
                EXPECT_EQ(figure(value, signedColumn ? kSigned : kMagnitude), m->str())
                    << "column \"" << name << "\" of: " << line;
                ++figures;
            }
        }
    }
    EXPECT_GE(figures, 60) << "the table's times were not found";
}

}  // namespace
