// The helpers every group of vboard's commands uses: the board directory, numbers, addresses and
// buses as the command line gives them, the bus mutex, and names close to a slip of the keyboard.
#include <windows.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "../board/board.h"
#include "../board/format.h"
#include "../board/simtime.h"
#include "../ceapi/tools_api.h"
#include "commands.h"

namespace vboard {

namespace {

bool isDecimal(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isHex(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

}  // namespace

std::string& boardDirOption() {
    static std::string dir;
    return dir;
}

std::string boardDir() {
    return boardDirOption().empty() ? sim::processBoardDir() : boardDirOption();
}

uint32_t parseNumber(const std::string& text, const std::string& what, uint32_t max) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    unsigned long long v = 0;
    bool ok = hex ? isHex(digits) : isDecimal(digits);
    if (ok) {
        const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v, hex ? 16 : 10);
        ok = r.ec == std::errc() && r.ptr == digits.data() + digits.size();
    }
    if (!ok)
        throw UsageError(what + ": expected a number, decimal or 0x followed by hex digits, got \"" + text +
                         "\"");
    if (v > max) {
        char buf[16];
        std::snprintf(buf, sizeof buf, max > 0xFFFF ? "0x%X" : "%u", max);
        throw UsageError(what + ": " + text + " is out of range (0.." + buf + ")");
    }
    return static_cast<uint32_t>(v);
}

int protocolNumber(const std::string& text, const std::string& what) {
    const bool ok = text.size() == 1 && text[0] >= '1' && text[0] <= '4';
    if (!ok) throw UsageError(what + ": the chip protocols are 1, 2, 3 and 4, got \"" + text + "\"");
    return text[0] - '0';
}

uint8_t parseAddress(const std::string& text, const std::string& what) {
    uint32_t a = 0;
    try {
        a = parseNumber(text, what, 0x7F);
    } catch (const UsageError&) {
        std::string hint;
        if (isHex(text.size() > 2 ? text.substr(2) : "x") || isDecimal(text)) {
            unsigned long long v = std::strtoull(text.c_str(), nullptr, 0);
            char buf[96];
            if (v >= 0x80 && v <= 0xFF) {
                std::snprintf(buf, sizeof buf,
                              " (0x%02llX looks like an 8-bit address: the 7-bit address is 0x%02llX)", v,
                              v >> 1);
                hint = buf;
            }
        }
        throw UsageError(what + ": a 7-bit I2C address is 0x00..0x7F, got \"" + text + "\"" + hint);
    }
    return static_cast<uint8_t>(a);
}

std::optional<sim::I2cBusId> parseBus(const std::string& text, const std::string& what) {
    if (text.empty()) return std::nullopt;
    if (text == "std") return sim::I2cBusId::Standard;
    if (text == "pwr") return sim::I2cBusId::PowerManager;
    throw UsageError(
        what + ": expected std (the standard I2C unit's bus) or pwr (the power-manager unit's), got \"" +
        text + "\"");
}

std::pair<uint8_t, std::optional<sim::I2cBusId>> parseChipAddress(const std::string& text,
                                                                  const std::string& what) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return {parseAddress(text, what), std::nullopt};
    return {parseAddress(text.substr(colon + 1), what), parseBus(text.substr(0, colon), what)};
}

std::string powerManagerBusMissing(uint32_t mainId) {
    const uint32_t id = sim::processorIdForMainId(mainId);
    return (id ? "processor ID " + std::to_string(id) : "the processor of main ID " + sim::hex(mainId, 8)) +
           " has no power-manager I2C unit and no bus of it (only processor ID 17 has them)";
}

void replaceBoardJsonEntry(const std::string& key, const std::optional<sim::json>& value) {
    sim::replaceBoardJsonEntry(sim::Board::current().dir(), key, value);
}

void openBoard() {
    sim::Board::use(boardDir());
    sim::timeStartProcess();
}

std::unique_ptr<sim::BoardLock> openBoardForChange() {
    const std::string dir = boardDir();
    sim::loadBoardConfig(dir + "/board.json");  // no board there: refused before a lock file is made
    auto lock = std::make_unique<sim::BoardLock>(dir);
    openBoard();
    return lock;
}

namespace {
constexpr DWORD kMutexWaitMs = 5000;
}  // namespace

std::shared_ptr<void> takeBusMutex() {
    HANDLE handle = CreateMutexW(nullptr, FALSE, TEXT("I2C"));
    if (!handle) throw sim::BoardError("cannot open the bus mutex I2C");
    if (WaitForSingleObject(handle, kMutexWaitMs) != WAIT_OBJECT_0) {
        CloseHandle(handle);
        throw sim::BoardError("the bus is in use: another process has held the mutex I2C for " +
                              std::to_string(kMutexWaitMs / 1000) + " s");
    }
    return std::shared_ptr<void>(handle, [](void* h) {
        ReleaseMutex(h);
        CloseHandle(h);
    });
}

namespace {

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string lowerCase(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    return s;
}

std::string closest(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    size_t bestDistance = std::max<size_t>(2, word.size() / 3) + 1;
    for (const std::string& c : candidates) {
        const size_t d = editDistance(word, c);
        if (d < bestDistance || (d == bestDistance && best.empty() && c.rfind(word, 0) == 0)) {
            bestDistance = d;
            best = c;
        }
    }
    return best;
}

}  // namespace vboard
