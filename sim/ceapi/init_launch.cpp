// The kernel's start-up of [HKEY_LOCAL_MACHINE\init], and SignalStarted.
//
// The platform's pages: the kernel starts the programs listed as LaunchNN "in order", waiting
// before each for every launch its DependNN names to "run and initialize", that is to call
// SignalStarted with its number; it passes each program its launch number as the command line; a
// program that never calls SignalStarted keeps the programs that depend on it from ever running.
// At most 32 launches. Here the start-up runs in the tool that powers the board up; the programs
// it starts are processes on the board like any other, and report their SignalStarted through the
// board's state.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "../board/board.h"
#include "kernel_objects.h"
#include "launch.h"
#include "notifydb.h"
#include "tools_api.h"

namespace sim {

namespace {

constexpr size_t kMaxLaunches = 32;  // what the platform's pages allow
constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr auto kStillWaitingAfter = std::chrono::seconds(10);

// Programs of the platform itself that an image's common registry starts: on the board they do
// nothing but say they have started.
const char* const kPlatformPrograms[] = {"shell.exe",    "device.exe",        "gwes.exe",
                                         "explorer.exe", "servicesStart.exe", "taskman.exe"};

// "Launch25" -> 25; a name of another form gives false. Up to two digits, as the pages write nn.
bool launchName(const std::string& name, const char* prefix, uint32_t* number) {
    const size_t len = std::strlen(prefix);
    if (name.size() <= len || name.size() > len + 2 || !reg::sameName(name.substr(0, len), prefix))
        return false;
    uint32_t n = 0;
    for (size_t i = len; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        n = n * 10 + static_cast<uint32_t>(name[i] - '0');
    }
    *number = n;
    return true;
}

std::string stringOf(const reg::Value& v) {
    std::u16string w;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
        if (c == 0) break;
        w += c;
    }
    return toUtf8(w);
}

std::string fileNamePart(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isPlatformProgram(const std::string& program) {
    for (const char* p : kPlatformPrograms)
        if (reg::sameName(fileNamePart(program), p)) return true;
    return false;
}

// A name without a path is looked for where the image's modules are.
std::string devicePathOf(const std::string& program) {
    return program.find('\\') == std::string::npos ? "\\Windows\\" + program : program;
}

bool hasSignalled(uint32_t number) {
    const std::vector<uint32_t> s = Board::current().readState().signalledStarted;
    return std::find(s.begin(), s.end(), number) != s.end();
}

// The exit code of a process that has ended (128 + N after signal N); nothing while it runs.
std::optional<int> endedWith(int pid) {
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid, &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0) return std::nullopt;
    if (r < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::string launchText(uint32_t number) {
    return "launch " + std::to_string(number);
}

}  // namespace

std::vector<InitLaunch> initLaunches(const reg::Registry& registry, std::vector<std::string>* notes) {
    std::map<uint32_t, InitLaunch> launches;
    std::map<uint32_t, const reg::Value*> depends;
    for (const reg::Key& key : registry.keys()) {
        if (!reg::sameName(key.path, "HKEY_LOCAL_MACHINE\\init")) continue;
        for (const reg::Value& v : key.values) {
            uint32_t n = 0;
            if (launchName(v.name, "Launch", &n)) {
                InitLaunch& l = launches[n];
                l.number = n;
                if (v.type != reg::kSz)
                    l.problem = "Launch" + std::to_string(n) + " is not a string (REG_SZ)";
                else
                    l.program = stringOf(v);
                if (l.problem.empty() && l.program.empty())
                    l.problem = "Launch" + std::to_string(n) + " is empty";
            } else if (launchName(v.name, "Depend", &n)) {
                depends[n] = &v;
            } else if (notes) {
                notes->push_back("\"" + v.name +
                                 "\" is no LaunchNN or DependNN value: the kernel ignores it");
            }
        }
    }
    for (const auto& [n, v] : depends) {
        auto it = launches.find(n);
        if (it == launches.end()) {
            if (notes)
                notes->push_back("Depend" + std::to_string(n) + " without Launch" + std::to_string(n) +
                                 ": ignored");
            continue;
        }
        InitLaunch& l = it->second;
        if (v->type != reg::kBinary || v->data.size() % 2 != 0) {
            if (l.problem.empty())
                l.problem = "Depend" + std::to_string(n) +
                            " is not a list of launch numbers (hex: with two bytes each, low byte first)";
            continue;
        }
        for (size_t i = 0; i < v->data.size(); i += 2)
            l.depends.push_back(static_cast<uint32_t>(v->data[i] | (v->data[i + 1] << 8)));
    }
    std::vector<InitLaunch> out;
    for (auto& [n, l] : launches) out.push_back(std::move(l));
    return out;
}

InitStartUp runInitStartUp(const std::string& captureDir,
                           const std::function<void(const InitOutcome&)>& report,
                           const std::function<void(const InitOutcome&, uint32_t)>& stillWaiting) {
    InitStartUp result;
    const std::shared_ptr<const reg::Registry> registry = registryAsProgramsSeeIt();
    if (!registry) {
        result.registryReadable = false;
        return result;
    }
    std::vector<InitLaunch> launches = initLaunches(*registry, &result.notes);
    if (launches.size() > kMaxLaunches) {
        result.notes.push_back(std::to_string(launches.size()) +
                               " launches, where the platform takes at most " + std::to_string(kMaxLaunches) +
                               ": those after Launch" + std::to_string(launches[kMaxLaunches - 1].number) +
                               " are not started");
        launches.resize(kMaxLaunches);
    }

    const Board& board = Board::current();
    const std::string boardDir = absoluteDir(board.dir());
    std::map<uint32_t, size_t> done;  // launch number -> its outcome
    std::vector<LaunchRecord> records;
    std::string stoppedAt;  // the launch the start-up waits at for ever
    for (const InitLaunch& launch : launches) {
        InitOutcome o;
        o.launch = launch;
        if (!stoppedAt.empty()) {
            o.kind = InitOutcome::Kind::NeverStarted;
            o.why = "the start-up waits at " + stoppedAt + " for ever";
            result.outcomes.push_back(o);
            report(o);
            continue;
        }
        // Every dependency in turn, until it has signalled or never will.
        std::string never;
        for (uint32_t d : launch.depends) {
            auto it = done.find(d);
            if (it == done.end()) {
                const bool listed = std::any_of(launches.begin(), launches.end(),
                                                [&](const InitLaunch& l) { return l.number == d; });
                never = d == launch.number ? "itself"
                        : listed
                            ? launchText(d) + ", which comes after it in the order and so never before it"
                            : launchText(d) + ", which the registry does not have";
                break;
            }
            InitOutcome& dep = result.outcomes[it->second];
            if (dep.kind == InitOutcome::Kind::Platform) continue;
            if (dep.kind != InitOutcome::Kind::Started) {
                never = launchText(d) + " (" + dep.launch.program + "), which was not started";
                break;
            }
            const auto since = std::chrono::steady_clock::now();
            bool said = false;
            while (!dep.signalled) {
                if (hasSignalled(d)) {
                    dep.signalled = true;
                    break;
                }
                if (!dep.exitCode) dep.exitCode = endedWith(dep.pid);
                // Ended: it may have signalled just before it did.
                if (dep.exitCode) {
                    dep.signalled = hasSignalled(d);
                    if (!dep.signalled)
                        never = launchText(d) + " (" + dep.launch.program +
                                "), which ended without SignalStarted";
                    break;
                }
                if (!said && std::chrono::steady_clock::now() - since >= kStillWaitingAfter) {
                    said = true;
                    if (stillWaiting) stillWaiting(o, d);
                }
                std::this_thread::sleep_for(kPoll);
            }
            if (!never.empty()) break;
        }
        if (!never.empty()) {
            o.kind = InitOutcome::Kind::NeverStarted;
            o.why = "it waits for " + never;
            stoppedAt = "Launch" + std::to_string(launch.number);
        } else if (!launch.problem.empty()) {
            o.kind = InitOutcome::Kind::NotStarted;
            o.why = launch.problem;
        } else {
            o.devicePath = devicePathOf(launch.program);
            const std::string* exe = hostProgramFor(board.config(), o.devicePath);
            if (!exe && isPlatformProgram(launch.program)) {
                o.kind = InitOutcome::Kind::Platform;
                o.signalled = true;
            } else if (!exe) {
                o.kind = InitOutcome::Kind::NotFound;
                o.why = "the board has no program " + o.devicePath + " (board.json \"apps\")";
            } else {
                const std::string path = hostProgramPath(*exe, boardDir);
                o.outputFile =
                    captureDir.empty() ? "" : captureDir + "/launch" + std::to_string(launch.number) + ".err";
                const int pid = spawnOnBoard(path, {std::to_string(launch.number)}, boardDir, o.outputFile);
                if (pid < 0) {
                    o.kind = InitOutcome::Kind::NotStarted;
                    o.why = "cannot start " + path + ": " + std::strerror(-pid);
                } else {
                    o.kind = InitOutcome::Kind::Started;
                    o.pid = pid;
                    records.push_back(LaunchRecord{o.devicePath, std::to_string(launch.number), path, pid});
                }
            }
        }
        if (o.kind == InitOutcome::Kind::NotFound || o.kind == InitOutcome::Kind::NotStarted)
            board.appendDebugLog("Kernel: Launch" + std::to_string(launch.number) + " " + launch.program +
                                 " not started: " + o.why + "\r\n");
        done[launch.number] = result.outcomes.size();
        result.outcomes.push_back(o);
        report(result.outcomes.back());
    }
    recordLaunches(records);
    return result;
}

}  // namespace sim

using namespace sim;

void SignalStarted(DWORD dw) {
    // Called by a program the start-up did not start, it changes nothing that matters (the pages:
    // "system operation will not be affected").
    Board::current().updateState([&](BoardState& s) {
        if (std::find(s.signalledStarted.begin(), s.signalledStarted.end(), dw) == s.signalledStarted.end())
            s.signalledStarted.push_back(dw);
    });
}
