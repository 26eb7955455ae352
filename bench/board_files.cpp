// How long the board's files take to load as they grow: a board.json with a fault list, a
// state.json with a notification database, a registry.reg, and a state.json with the registry's
// unflushed values, each of 1k, 10k, 100k and 1M entries, loaded by the readers every program on
// the board uses. The time per entry stays flat while a file loads (the readers are linear); a file
// beyond its limit (entries or bytes) is refused, and its time shows that it is refused at once.
//
//   board_files [--max N]   up to N entries (default 1000000)
//
// Not a test: the times depend on the host and on what else runs there.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "bench/figures.h"
#include "sim/board/board.h"
#include "sim/board/json_fields.h"
#include "sim/ceapi/regfile.h"

namespace {

// One kind of file: its name in the board, how N entries of it are written, how it is loaded.
struct Kind {
    const char* what;
    const char* file;
    std::function<std::string(const std::string& original, size_t n)> make;
    std::function<void(const std::string& dir)> load;
};

std::string faultList(const std::string& original, size_t n) {
    sim::json j = sim::json::parse(original);
    sim::json list = sim::json::array();
    for (size_t i = 1; i <= n; ++i) list.push_back({{"byte", i}, {"fault", "nak"}});
    j["faults"] = {{"i2c", list}};
    return j.dump(2);
}

std::string notifications(const std::string& original, size_t n) {
    sim::json j = sim::json::parse(original);
    sim::json list = sim::json::array();
    for (size_t i = 1; i <= n; ++i)
        list.push_back({{"handle", i},
                        {"type", 1},
                        {"event", 1},
                        {"application", "\\Windows\\App" + std::to_string(i) + ".exe"},
                        {"arguments", "AppRunAfterTimeChange"}});
    j["notifications"] = {{"nextHandle", n + 1}, {"list", list}};
    return j.dump(2);
}

// Ten values to a key, as a platform registry has them.
std::string registryValues(size_t n) {
    std::string text;
    text.reserve(n * 40);
    for (size_t i = 0; i < n; ++i) {
        if (i % 10 == 0)
            text += "\r\n[HKEY_LOCAL_MACHINE\\Software\\Bench\\Key" + std::to_string(i / 10) + "]\r\n";
        text += "\"Value" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\r\n";
    }
    return text;
}

std::string unflushed(const std::string& original, size_t n) {
    sim::json j = sim::json::parse(original);
    j["registryNotFlushed"] = registryValues(n);
    return j.dump(2);
}

void writeAll(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "board_files: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

std::string sizeText(size_t bytes) {
    char buf[32];
    if (bytes >= (1u << 20))
        std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    else
        std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(bytes) / 1024);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    size_t max = 1000000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--max") == 0 && i + 1 < argc) {
            max = std::strtoul(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: board_files [--max N]\n");
            return 2;
        }
    }
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("tamblin-board-files-" + std::to_string(::getpid())))
            .string();
    sim::createBoard(dir, sim::defaultBoardConfig(), sim::defaultRegistryText());
    const std::string boardJson = sim::readFile(dir + "/board.json");
    const std::string stateJson = sim::readFile(dir + "/state.json");

    const Kind kinds[] = {
        {"fault list", "board.json", faultList,
         [](const std::string& d) { sim::loadBoardConfig(d + "/board.json"); }},
        {"notifications", "state.json", notifications, [](const std::string& d) { sim::readBoardState(d); }},
        {"registry values", "registry.reg", [](const std::string&, size_t n) { return registryValues(n); },
         [](const std::string& d) { sim::reg::load(d + "/registry.reg"); }},
        {"unflushed values", "state.json", unflushed,
         [](const std::string& d) {
             sim::reg::parse(sim::readBoardState(d).registryNotFlushed, "registryNotFlushed");
         }},
    };

    std::printf("%-16s %-12s %9s %10s %11s %9s  %s\n", "entries of", "file", "entries", "size", "load",
                "per entry", "result");
    for (const Kind& k : kinds) {
        const std::string original = std::strcmp(k.file, "board.json") == 0 ? boardJson : stateJson;
        for (size_t n = 1000; n <= max; n *= 10) {
            const std::string text = k.make(original, n);
            writeAll(dir + "/" + k.file, text);
            std::string result = "loaded";
            const auto t0 = std::chrono::steady_clock::now();
            try {
                k.load(dir);
            } catch (const std::exception& e) {
                result = std::string("refused: ") + e.what();
                const size_t at = result.find(dir);
                if (at != std::string::npos) result.erase(at, dir.size() + 1);
            }
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            if (result.size() > 90) result = result.substr(0, 87) + "...";
            std::printf("%-16s %-12s %9zu %10s %11s %6.2f us  %s\n", k.what, k.file, n,
                        sizeText(text.size()).c_str(), bench::figure(ms, bench::kMagnitude).c_str(),
                        ms * 1000 / static_cast<double>(n), result.c_str());
            std::fflush(stdout);
        }
        // Back to the board's own file for the next kind.
        writeAll(dir + "/" + k.file,
                 std::strcmp(k.file, "registry.reg") == 0 ? sim::defaultRegistryText() : original);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
