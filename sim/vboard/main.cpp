// vboard: creates, shows and changes virtual boards.
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

constexpr const char* kVersion = "vboard 1.1 (Tamblin virtual board tool)";

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
    if (!boardDirOption().empty()) return boardDirOption();
    const char* env = std::getenv("TAMBLIN_BOARD");
    return (env && *env) ? env : "board";
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

namespace {

std::string commandPath(const CLI::App* app) {
    std::string path;
    for (; app && app->get_parent(); app = app->get_parent())
        path = app->get_name() + (path.empty() ? "" : " ") + path;
    return path;
}

std::vector<std::string> subcommandNames(const CLI::App* app) {
    std::vector<std::string> names;
    for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; }))
        names.push_back(sub->get_name());
    return names;
}

std::vector<std::string> optionNames(const CLI::App* app) {
    std::vector<std::string> names;
    for (; app; app = app->get_parent())
        for (const CLI::Option* o : app->get_options()) {
            for (const std::string& l : o->get_lnames()) names.push_back("--" + l);
            for (const std::string& s : o->get_snames()) names.push_back("-" + s);
        }
    return names;
}

std::string didYouMean(const std::string& word, const std::vector<std::string>& candidates,
                       const std::string& prefix = "") {
    const std::string best = closest(word, candidates);
    return best.empty() ? "" : " (did you mean '" + prefix + best + "'?)";
}

// The subcommand that `words` name below `app`; a UsageError names the first unknown word.
CLI::App* findCommand(CLI::App& app, const std::vector<std::string>& words) {
    CLI::App* cur = &app;
    for (const std::string& w : words) {
        CLI::App* next = nullptr;
        for (CLI::App* sub : cur->get_subcommands([](const CLI::App*) { return true; }))
            if (sub->get_name() == w) next = sub;
        if (!next) {
            const std::string path = commandPath(cur);
            const std::string prefix = path.empty() ? "" : path + " ";
            throw UsageError("unknown command '" + prefix + w + "'" +
                             didYouMean(w, subcommandNames(cur), prefix));
        }
        cur = next;
    }
    return cur;
}

// What a parse error means to the person who typed the line.
std::string explain(CLI::App& app, const CLI::ParseError& e) {
    CLI::App* cur = &app;
    for (;;) {
        const std::vector<CLI::App*> parsed = cur->get_subcommands();
        if (parsed.empty()) break;
        cur = parsed.front();
    }
    const std::string path = commandPath(cur);
    const std::string where = path.empty() ? "vboard" : "vboard " + path;
    const std::string help = " (see 'vboard help" + (path.empty() ? "" : " " + path) + "')";
    const std::vector<std::string> rest = app.remaining(true);
    if (!rest.empty()) {
        const std::string& word = rest.front();
        if (word.size() > 1 && word[0] == '-') {
            const std::string name = word.substr(0, word.find('='));
            return "unknown option '" + name + "' for '" + where + "'" + didYouMean(name, optionNames(cur)) +
                   help;
        }
        if (!subcommandNames(cur).empty() && cur->get_subcommands().empty()) {
            const std::string prefix = path.empty() ? "" : path + " ";
            return "unknown command '" + prefix + word + "'" +
                   didYouMean(word, subcommandNames(cur), prefix) + help;
        }
        return "unexpected argument '" + word + "' for '" + where + "'" + help;
    }
    if (!subcommandNames(cur).empty() && cur->get_subcommands().empty()) {
        std::string list;
        for (const std::string& n : subcommandNames(cur)) list += (list.empty() ? "" : ", ") + n;
        return "'" + where + "' needs a command: " + list + help;
    }
    // The caller puts "vboard: " before the message: the command's path alone here.
    return (path.empty() ? "" : path + ": ") + e.what() + help;
}

// A message on one line: what the user typed may hold line breaks and other control characters.
std::string oneLine(const std::string& message) {
    std::string out;
    for (unsigned char c : message) {
        char buf[8];
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

}  // namespace vboard

int main(int argc, char** argv) {
    CLI::App app{
        "vboard: the virtual board that Tamblin runs on.\n"
        "A board is a directory (board.json, registry.reg, state.json, debug.log, trace.log).\n"
        "Exit codes: 0 done, 1 the board refused or failed (nothing changed), 2 usage error.",
        "vboard"};
    // Options of vboard itself (--board) may stand anywhere on the line.
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("-V,--version", vboard::kVersion, "Print the version and exit");
    app.add_option("-b,--board", vboard::boardDirOption(),
                   "Board directory (default: $TAMBLIN_BOARD, else ./board); accepted anywhere on the line");
    vboard::addBoardCommands(app);
    vboard::addChipCommands(app);
    vboard::addNotificationCommands(app);
    vboard::addRegistryCommands(app);
    vboard::addTraceCommands(app);
    vboard::addZoneCommands(app);
    vboard::addPowerCommands(app);
    vboard::addBusCommands(app);
    vboard::addFaultCommands(app);

    CLI::App* help = app.add_subcommand("help", "Describe vboard or one of its commands: help [COMMAND...]");
    // Every word after help names a command, also words that are commands of vboard itself.
    help->prefix_command();
    help->allow_extras();
    help->fallthrough(false);
    help->callback([&app, help] {
        std::vector<std::string> words = help->remaining();
        words.erase(std::remove(words.begin(), words.end(), "--"), words.end());
        CLI::App* cmd = vboard::findCommand(app, words);
        const std::string path = vboard::commandPath(cmd);
        std::fputs(
            cmd->get_formatter()
                ->make_help(cmd, path.empty() ? "vboard" : "vboard " + path, CLI::AppFormatMode::Normal)
                .c_str(),
            stdout);
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "vboard: %s\n", vboard::oneLine(vboard::explain(app, e)).c_str());
        return 2;
    } catch (const vboard::UsageError& e) {
        std::fprintf(stderr, "vboard: %s\n", vboard::oneLine(e.what()).c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vboard: %s\n", vboard::oneLine(e.what()).c_str());
        return 1;
    }
    sim::timeEndProcess();
    sim::releaseProcessObjects();
    return 0;
}
