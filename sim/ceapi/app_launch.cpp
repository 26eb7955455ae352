// The notification service's reaction to an event (a change of the system time, of the time
// zone): every application registered for it is started, with its arguments, as a new process on
// this board.
#include <fcntl.h>
#include <notify.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "launch.h"
#include "notifydb.h"
#include "tools_api.h"

extern char** environ;

namespace sim {

std::string absoluteDir(const std::string& dir) {
    char buf[PATH_MAX];
    if (::realpath(dir.c_str(), buf)) return buf;
    return dir;
}

namespace {

// Arguments as the device passes them: one string, which the start-up code of the program
// rebuilds by joining argv with single spaces. Splitting at every space (keeping empty pieces)
// makes that round trip exact.
std::vector<std::string> splitArguments(const std::optional<std::string>& args) {
    std::vector<std::string> out;
    if (!args || args->empty()) return out;
    size_t from = 0;
    for (;;) {
        size_t sp = args->find(' ', from);
        out.push_back(args->substr(from, sp == std::string::npos ? std::string::npos : sp - from));
        if (sp == std::string::npos) break;
        from = sp + 1;
    }
    return out;
}

}  // namespace

const std::string* hostProgramFor(const BoardConfig& config, const std::string& devicePath) {
    const std::string want = asciiLower(devicePath);
    for (const auto& [path, exe] : config.apps)
        if (asciiLower(path) == want) return &exe;
    return nullptr;
}

std::string hostProgramPath(const std::string& exe, const std::string& boardDir) {
    // A relative program path in board.json is taken from the board directory.
    return (!exe.empty() && exe[0] == '/') ? exe : boardDir + "/" + exe;
}

void recordLaunches(const std::vector<LaunchRecord>& launches) {
    if (launches.empty()) return;
    Board::current().updateState([&](BoardState& s) {
        s.launches.insert(s.launches.end(), launches.begin(), launches.end());
        if (s.launches.size() > kMaxLaunchRecords)
            s.launches.erase(s.launches.begin(), s.launches.end() - kMaxLaunchRecords);
    });
}

namespace {

struct Launcher {
    std::string captureDir;
    std::vector<StartedApp> started;
};

Launcher& launcher() {
    static Launcher l;
    return l;
}

}  // namespace

int spawnOnBoard(const std::string& exe, const std::vector<std::string>& args, const std::string& boardDir,
                 const std::string& errFile) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "TAMBLIN_BOARD=", 14) != 0) env.emplace_back(*e);
    env.push_back("TAMBLIN_BOARD=" + boardDir);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argvStore;
    argvStore.push_back(exe);
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argvStore) argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!errFile.empty())
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? static_cast<int>(pid) : -rc;
}

std::vector<int> notifyTimeChanged() {
    return notifyEvent(NOTIFICATION_EVENT_TIME_CHANGE);
}

std::vector<int> notifyEvent(uint32_t event) {
    const Board& board = Board::current();
    const std::vector<NotificationRecord> records = board.readState().notifications.list;
    const std::string boardDir = absoluteDir(board.dir());
    std::vector<int> pids;
    std::vector<LaunchRecord> launches;
    // Event registrations stay in the database after firing: they fire on every such event.
    for (const NotificationRecord& r : records) {
        if (r.type != CNT_EVENT || r.event != event) continue;
        const std::string* exe = hostProgramFor(board.config(), r.application);
        if (!exe) {
            board.appendDebugLog("notification service: no program for " + r.application + "\n");
            continue;
        }
        const std::string path = hostProgramPath(*exe, boardDir);
        Launcher& l = launcher();
        const std::string errFile =
            l.captureDir.empty() ? "" : l.captureDir + "/" + std::to_string(l.started.size() + 1) + ".err";
        int pid = spawnOnBoard(path, splitArguments(r.arguments), boardDir, errFile);
        if (pid < 0) {
            board.appendDebugLog("notification service: cannot start " + path + " for " + r.application +
                                 ": " + std::strerror(-pid) + "\n");
            continue;
        }
        pids.push_back(pid);
        launches.push_back(LaunchRecord{r.application, r.arguments, path, pid});
        l.started.push_back(StartedApp{pid, r.application, r.arguments, errFile});
    }
    recordLaunches(launches);
    return pids;
}

void captureStartedAppsOutput(const std::string& dir) {
    launcher().captureDir = dir;
}

const std::vector<StartedApp>& startedApps() {
    return launcher().started;
}

std::vector<int> waitForStartedApps(const std::vector<int>& pids) {
    std::vector<int> codes;
    for (int pid : pids) {
        int status = 0;
        pid_t r;
        do r = ::waitpid(pid, &status, 0);
        while (r < 0 && errno == EINTR);
        if (r < 0)
            codes.push_back(-1);
        else if (WIFEXITED(status))
            codes.push_back(WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
            codes.push_back(128 + WTERMSIG(status));
        else
            codes.push_back(-1);
    }
    return codes;
}

}  // namespace sim
