#include "e2e_util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/board/rtc_chip.h"

extern char** environ;

namespace e2e {

namespace {

// This process's environment with TAMBLIN_BOARD set to `board` (unset when empty).
struct Environment {
    explicit Environment(const std::string& board) {
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("TAMBLIN_BOARD=", 0) != 0) strings.push_back(*e);
        if (!board.empty()) strings.push_back("TAMBLIN_BOARD=" + board);
        for (std::string& e : strings) pointers.push_back(e.data());
        pointers.push_back(nullptr);
    }
    std::vector<std::string> strings;
    std::vector<char*> pointers;
};

std::vector<char*> arguments(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

// Starts argv[0] on `board` with standard output to `outFile`; returns its pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::string& board, const std::string& outFile) {
    std::vector<char*> args = arguments(argv);
    Environment env(board);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (board + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    pid_t pid;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int run(const std::vector<std::string>& argv, const std::string& board, std::string* out) {
    const std::string outFile = board + "/.out." + std::to_string(getpid());
    const pid_t pid = spawn(argv, board, outFile);
    if (pid < 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (out) *out = readFile(outFile);
    std::remove(outFile.c_str());
    return exitCodeOf(status);
}

std::vector<std::string> tamblinArgv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{std::string(TAMBLIN_BIN_DIR) + "/" + program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<std::string> vboardArgv(const std::string& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv{std::string(TAMBLIN_BIN_DIR) + "/vboard", "--board", dir};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string runShell(const std::string& command, int* exitCode) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        *exitCode = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = pclose(p);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// sigrok's annotations ("Start", "Address write: 68", "Data read: 43", "ACK", "NACK", "Stop") in
// the trace's transaction notation.
std::vector<std::string> sigrokTransactions(const std::string& annotations) {
    std::vector<std::string> out;
    std::string current;
    std::istringstream in(annotations);
    std::string line;
    auto add = [&](const std::string& token) { current += (current.empty() ? "" : " ") + token; };
    while (std::getline(in, line)) {
        const std::string prefix = "i2c-1: ";
        if (line.rfind(prefix, 0) != 0) continue;
        const std::string a = line.substr(prefix.size());
        auto hexAfter = [&](const char* label) { return a.substr(std::string(label).size()); };
        if (a == "Start") {
            add("S");
        } else if (a == "Start repeat") {
            add("Sr");
        } else if (a == "Stop") {
            add("P");
            out.push_back(current);
            current.clear();
        } else if (a == "ACK") {
            add("A");
        } else if (a == "NACK") {
            add("N");
        } else if (a.rfind("Address write: ", 0) == 0) {
            const unsigned v = std::stoul(hexAfter("Address write: "), nullptr, 16) << 1;
            char b[12];
            std::snprintf(b, sizeof b, "%02X", v);
            add(b);
        } else if (a.rfind("Address read: ", 0) == 0) {
            const unsigned v = (std::stoul(hexAfter("Address read: "), nullptr, 16) << 1) | 1;
            char b[12];
            std::snprintf(b, sizeof b, "%02X", v);
            add(b);
        } else if (a.rfind("Data read: ", 0) == 0 || a.rfind("Data write: ", 0) == 0) {
            add(a.substr(a.find(": ") + 2));
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

void printCase(const std::string& words, std::ostream* os) {
    for (const char c : words) {
        const bool plain = c >= ' ' && c <= '~' && !std::strchr(";[]\\\"#$", c);
        *os << (plain ? c : '_');
    }
}

std::string caseName(const std::string& words, size_t index) {
    std::string name;
    bool gap = false;
    for (const char c : words) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            if (gap && !name.empty()) name += '_';
            name += c;
            gap = false;
        } else {
            gap = true;
        }
    }
    if (name.size() > 48) name.resize(48);
    return (name.empty() ? "case" : name) + "_" + std::to_string(index);
}

Output runProgram(const std::vector<std::string>& argv, const std::string& board, const std::string& cwd) {
    char tmpl[] = "/tmp/tamblin-run-XXXXXX";
    const std::string io = mkdtemp(tmpl);
    std::vector<char*> args = arguments(argv);
    Environment env(board);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (io + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (io + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    Output r;
    pid_t pid;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.pointers.data()) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        r.code = exitCodeOf(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    r.out = readFile(io + "/out");
    r.err = readFile(io + "/err");
    std::filesystem::remove_all(io);
    return r;
}

ProgramsForAnyone::ProgramsForAnyone(const std::vector<std::string>& names) {
    char tmpl[] = "/tmp/tamblin-programs-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir = tmpl;
    chmod(dir.c_str(), 0755);
    for (const std::string& name : names) {
        for (const std::string& file : {name, name + ".arm"}) {
            const std::string from = std::string(TAMBLIN_BIN_DIR) + "/" + file, to = dir + "/" + file;
            std::error_code ec;
            if (std::filesystem::exists(from) && std::filesystem::copy_file(from, to, ec))
                chmod(to.c_str(), 0755);
        }
    }
}

ProgramsForAnyone::~ProgramsForAnyone() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

std::vector<std::string> ProgramsForAnyone::asNobody(const std::string& name, std::string* why) const {
    const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups", "--"};
    std::string check = "true";
    for (const std::string& file : {name, name + ".arm"}) {
        const std::string path = dir + "/" + file;
        if (!dir.empty() && std::filesystem::exists(path))
            check += " && test -r " + path + " && test -x " + path;
    }
    std::vector<std::string> probe = nobody;
    probe.insert(probe.end(), {"/bin/sh", "-c", check});
    const Output r = dir.empty() ? Output{} : runProgram(probe, "");
    if (r.code != 0) {
        *why = "the user nobody cannot run " + name + " even from a copy in " + (dir.empty() ? "/tmp" : dir) +
               " " + r.err;
        return {};
    }
    std::vector<std::string> argv = nobody;
    argv.push_back(dir + "/" + name);
    return argv;
}

Board::Board(sim::BoardConfig config, const std::string& registry, const std::string& program)
    : program(program) {
    char tmpl[] = "/tmp/tamblin-e2e-XXXXXX";
    dir = mkdtemp(tmpl);
    config.apps[config.programPath] = std::string(TAMBLIN_BIN_DIR) + "/" + program;
    sim::createBoard(dir, config, registry);
}

Board::~Board() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

int Board::runTamblin(const std::vector<std::string>& args) const {
    return run(tamblinArgv(program, args), dir, nullptr);
}

int Board::runVboard(const std::vector<std::string>& args, std::string* out) const {
    return run(vboardArgv(dir, args), dir, out);
}

Board::Started Board::startTamblin(const std::vector<std::string>& args) const {
    Started s;
    s.outFile = dir + "/.out.tamblin." + std::to_string(++started_);
    s.pid = spawn(tamblinArgv(program, args), dir, s.outFile);
    return s;
}

Board::Started Board::startVboard(const std::vector<std::string>& args) const {
    Started s;
    s.outFile = dir + "/.out.vboard." + std::to_string(++started_);
    s.pid = spawn(vboardArgv(dir, args), dir, s.outFile);
    return s;
}

int Board::Started::waitMs(int ms) {
    if (exitCode >= 0) return exitCode;
    for (int waited = 0;; waited += 5) {
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
            exitCode = exitCodeOf(status);
            return exitCode;
        }
        if (waited >= ms) return -1;
        usleep(5000);
    }
}

void Board::Started::kill() {
    if (pid > 0 && exitCode < 0) {
        ::kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        exitCode = exitCodeOf(status);
    }
}

std::string Board::Started::output() const {
    return readFile(outFile);
}

std::string Board::file(const std::string& name) const {
    return readFile(dir + "/" + name);
}

std::string Board::debugLog() const {
    return file("debug.log");
}

sim::BoardState Board::state() const {
    return sim::readBoardState(dir);
}

void Board::changeState(const std::function<void(sim::BoardState&)>& change) const {
    sim::updateBoardState(dir, change);
}

namespace {

// Minutes from the kernel's local clock to UTC on the board in `dir`, with state `s`.
int64_t biasUnits(const std::string& dir, const sim::BoardState& s) {
    const sim::TimeZoneConfig zone =
        s.timeZoneNotFlushed ? *s.timeZoneNotFlushed : sim::loadBoardConfig(dir + "/board.json").timeZone;
    return static_cast<int64_t>(sim::zoneBiasMinutes(zone, s.daylight.value_or(false))) * 60 * 10'000'000LL;
}

}  // namespace

int64_t Board::systemClockSetTo() const {
    const sim::BoardState s = state();
    return s.systemClock.local + biasUnits(dir, s);
}

void Board::setSystemClock(int64_t utc, int64_t at) const {
    changeState([&](sim::BoardState& s) { s.systemClock = {utc - biasUnits(dir, s), at}; });
}

void Board::startAt(int64_t t) const {
    const sim::BoardConfig config = sim::loadBoardConfig(dir + "/board.json");
    changeState([&](sim::BoardState& s) {
        s.powerOnHost = t;
        s.uptimeNs = 0;
        s.systemClock = {t - biasUnits(dir, s), t};
        for (const sim::ChipConfig& c : config.chips)
            s.chips[c.stateKey()] = sim::chipModel(c.protocol).initialState(t);
    });
}

int64_t Board::trueTime() const {
    const sim::BoardState s = state();
    return s.powerOnHost + static_cast<int64_t>(s.uptimeNs / 100);
}

void Board::advance(uint64_t ns) const {
    changeState([&](sim::BoardState& s) { s.uptimeNs += ns; });
}

int64_t Board::chipTime(uint8_t address) const {
    const sim::BoardConfig config = sim::loadBoardConfig(dir + "/board.json");
    const sim::ChipConfig* c =
        config.chipAt(address & 0x7F, (address & sim::kPowerManagerBusKey) ? sim::I2cBusId::PowerManager
                                                                           : sim::I2cBusId::Standard);
    sim::ChipState chip = state().chips.at(address);
    const sim::RtcChipModel& model = sim::chipModel(c->protocol);
    const int64_t phase = model.catchUp(chip, sim::crystalOf(config, *c), trueTime());
    const sim::ChipTime t = model.timeOf(chip.regs);
    return fileTimeOf(2000 + static_cast<int>(t.year2), static_cast<int>(t.month), static_cast<int>(t.day),
                      static_cast<int>(t.hour), static_cast<int>(t.minute), static_cast<int>(t.second)) +
           phase;
}

int64_t Board::systemTime() const {
    const sim::BoardState s = state();
    return s.systemClock.local + biasUnits(dir, s) + (trueTime() - s.systemClock.atHost);
}

int64_t fileTimeOf(int y, int mo, int d, int h, int mi, int s, int ms) {
    auto leap = [](int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; };
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int64_t days = 0;
    for (int year = 1601; year < y; ++year) days += leap(year) ? 366 : 365;
    for (int m = 1; m < mo; ++m) days += kDays[m - 1] + (m == 2 && leap(y) ? 1 : 0);
    days += d - 1;
    return (((days * 24 + h) * 60 + mi) * 60 + s) * 10000000LL + ms * 10000LL;
}

sim::BoardConfig frozenConfig(int protocol) {
    sim::BoardConfig c = sim::defaultBoardConfig();
    c.frozen = true;
    c.chips.clear();
    c.chips.push_back(sim::ChipConfig{protocol, protocol == 3 ? uint8_t(0x51) : uint8_t(0x68)});
    return c;
}

sim::BoardConfig virtualConfig(int protocol) {
    sim::BoardConfig c = frozenConfig(protocol);
    c.virtualClocks = true;
    return c;
}

std::string registryFor(int protocol, int slaveAddr) {
    char buf[256];
    std::string text = sim::defaultRegistryText();
    std::snprintf(buf, sizeof buf,
                  "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin]\r\n\"Protocol\"=dword:%08x\r\n",
                  protocol);
    text += buf;
    if (slaveAddr >= 0) {
        std::snprintf(buf, sizeof buf, "\"SlaveAddr\"=dword:%08x\r\n", slaveAddr);
        text += buf;
    }
    return text;
}

}  // namespace e2e
