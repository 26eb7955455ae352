#include "board.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "fault.h"
#include "rtc_chip.h"
#include "simtime.h"
#include "state_json.h"

namespace sim {

namespace {

std::unique_ptr<Board> gBoard;
thread_local int gStateLockDepth = 0;

// The lock file of the board whose BoardLock this thread holds (device and inode), if any.
struct HeldBoardLock {
    dev_t dev = 0;
    ino_t ino = 0;
    int depth = 0;
};
thread_local HeldBoardLock gBoardLock;

// Opens the board's lock file and locks it; -1 for a board the user may only read whose lock
// file was never made (nobody writes such a board).
int lockBoardFile(const std::string& dir, bool exclusive) {
    const std::string file = dir + "/.lock";
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && !exclusive) fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && !exclusive && errno == ENOENT) return -1;
    if (fd < 0) throw BoardError(file + ": cannot open: " + std::strerror(errno));
    while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            const int error = errno;
            ::close(fd);
            throw BoardError(file + ": cannot lock: " + std::strerror(error));
        }
    }
    return fd;
}

bool holdsBoardLock(const std::string& dir) {
    if (gBoardLock.depth == 0) return false;
    struct stat st;
    return ::stat((dir + "/.lock").c_str(), &st) == 0 && st.st_dev == gBoardLock.dev &&
           st.st_ino == gBoardLock.ino;
}

// Holds the board's state lock for one read or update, unless this thread holds the BoardLock of
// the board already. A board the user may only read is still readable: its lock file is opened
// read-only for the shared lock.
class StateLock {
  public:
    StateLock(const std::string& dir, bool exclusive) {
        if (gStateLockDepth > 0)
            throw std::logic_error("board state lock taken twice in one thread (nested state update)");
        if (!holdsBoardLock(dir)) {
            fd_ = lockBoardFile(dir, exclusive);
            if (fd_ < 0) return;
        }
        counted_ = true;
        ++gStateLockDepth;
    }
    ~StateLock() {
        if (counted_) --gStateLockDepth;
        if (fd_ < 0) return;
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

  private:
    int fd_ = -1;
    bool counted_ = false;
};

// The state a board starts with: the system clock at `now`, each chip holding that time.
BoardState initialState(const BoardConfig& config, int64_t now) {
    BoardState s;
    s.daylight = false;
    // The kernel keeps local time: the clock shows the local time of `now` under the board's zone.
    s.systemClock = SystemClockState{
        now - static_cast<int64_t>(zoneBiasMinutes(config.timeZone, false)) * kFileTimeUnitsPerMinute, now};
    s.power = PowerState{true, now};
    s.powerOnHost = now;
    s.uptimeNs = 0;
    for (const ChipConfig& chip : config.chips)
        s.chips[chip.stateKey()] = chipModel(chip.protocol).initialState(now);
    return s;
}

// The last state this process read or wrote, and the file it came from. A file replaced since
// (every write is a new file) has another inode, so a match means nobody has changed it.
struct CachedState {
    std::string file;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec mtime = {};
    BoardState state;
};

CachedState& cache() {
    static CachedState* c = new CachedState;
    return *c;
}

bool sameFile(const CachedState& c, const std::string& file, const struct stat& st) {
    return c.file == file && c.inode == st.st_ino && c.size == st.st_size &&
           c.mtime.tv_sec == st.st_mtim.tv_sec && c.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

void remember(const std::string& file, const BoardState& state) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0) return;
    cache() = CachedState{file, st.st_ino, st.st_size, st.st_mtim, state};
}

BoardState loadState(const std::string& dir) {
    const std::string file = dir + "/state.json";
    struct stat st;
    if (::stat(file.c_str(), &st) == 0 && sameFile(cache(), file, st)) return cache().state;
    // A state made up here would be a new power-on for every reader: nothing is taken for it.
    const std::optional<std::string> text = readBoardFile(file, kMaxStateJsonBytes);
    if (!text)
        throw BoardError(file +
                         ": missing: the board's state is gone ('vboard init --force' makes the board anew)");
    BoardState state = stateFromJson(parseBoardJson(*text, file), file,
                                     [&] { return loadBoardConfig(dir + "/board.json").timeZone; });
    remember(file, state);
    return state;
}

void storeState(const std::string& dir, const BoardState& state) {
    const std::string file = dir + "/state.json";
    writeFileAtomically(file, stateToJson(state).dump(2) + "\n");
    remember(file, state);
}

}  // namespace

std::string tooLargeText(uint64_t size, uint64_t limit) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%llu bytes, more than the %llu MiB such a board file may hold (not read)",
                  static_cast<unsigned long long>(size), static_cast<unsigned long long>(limit >> 20));
    return text;
}

std::optional<std::string> readBoardFile(const std::string& path, uint64_t limit) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return std::nullopt;
        throw BoardError(path + ": cannot read: " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) throw BoardError(path + ": a directory, not a file");
    if (static_cast<uint64_t>(st.st_size) > limit)
        throw BoardError(path + ": " + tooLargeText(static_cast<uint64_t>(st.st_size), limit));
    std::ifstream in(path, std::ios::binary);
    if (!in) throw BoardError(path + ": cannot read: " + std::strerror(errno));
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFileAtomically(const std::string& path, const std::string& text) {
    // A name of this process's own beside the file: rename() within one directory replaces the
    // file in one step, so readers see the old text or the new, never a part.
    const std::string tmp = path + ".tmp." + std::to_string(getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw BoardError(tmp + ": cannot write: " + std::strerror(errno));
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            ::close(fd);
            std::remove(tmp.c_str());
            throw BoardError(tmp + ": write failed: " + std::strerror(error));
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(tmp.c_str());
        throw BoardError(path + ": cannot replace: " + std::strerror(error));
    }
}

std::string selfExeDir() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    std::string p(buf);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

BoardConfig defaultBoardConfig() {
    BoardConfig c;
    c.mainId = 0x69054117;
    c.privileged = false;
    c.programPath = "\\Windows\\Tamblin.exe";
    c.apps[c.programPath] = selfExeDir() + "/tamblin";
    c.frozen = false;
    // Central European time: daylight from the last Sunday of March 02:00 to the last Sunday of
    // October 03:00.
    c.timeZone.name = "cet";
    c.timeZone.bias = -60;
    c.timeZone.standardName = "W. Europe Standard Time";
    c.timeZone.standardDate = SysTime{0, 10, 0, 5, 3, 0, 0, 0};
    c.timeZone.standardBias = 0;
    c.timeZone.daylightName = "W. Europe Daylight Time";
    c.timeZone.daylightDate = SysTime{0, 3, 0, 5, 2, 0, 0, 0};
    c.timeZone.daylightBias = -60;
    c.apiReady = ApiReady::AtStart;
    c.chips.push_back(ChipConfig{1, 0x68});
    return c;
}

std::string defaultRegistryText() {
    return "; Registry of the virtual board, in the platform image's .reg format.\r\n"
           "\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock]\r\n"
           "\"AutoDST\"=dword:00000001\r\n";
}

BoardConfig loadBoardConfig(const std::string& file) {
    const std::optional<std::string> text = readBoardFile(file, kMaxBoardJsonBytes);
    if (!text) throw BoardError(file + ": missing (is this a board directory?)");
    return parseBoardConfig(parseBoardJson(*text, file), file);
}

void replaceBoardJsonEntry(const std::string& dir, const std::string& key, const std::optional<json>& value) {
    const std::string file = dir + "/board.json";
    json j = parseBoardJson(readFile(file), file);
    if (value)
        j[key] = *value;
    else
        j.erase(key);
    parseBoardConfig(j, file);
    writeFileAtomically(file, j.dump(2) + "\n");
}

void writeBoardConfig(const std::string& dir, const BoardConfig& config) {
    const std::string file = dir + "/board.json";
    const std::string text = boardConfigToJson(config).dump(2) + "\n";
    parseBoardConfig(parseBoardJson(text, file), file);  // what a reader will make of it
    writeFileAtomically(file, text);
}

void createBoard(const std::string& dir, const BoardConfig& config, const std::string& registryText) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw BoardError(dir + ": cannot create the board directory: " + std::strerror(errno));
    ::mkdir((dir + "/objects").c_str(), 0755);
    writeBoardConfig(dir, config);
    writeFileAtomically(dir + "/registry.reg", registryText);
    writeFileAtomically(dir + "/state.json",
                        stateToJson(initialState(config, hostFileTimeNow())).dump(2) + "\n");
    std::ofstream(dir + "/debug.log", std::ios::app);
}

namespace {

// What identifies one version of a file: every write replaces it with a new one.
struct FileStamp {
    bool present = false;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {};
};

FileStamp stampOf(const std::string& file) {
    FileStamp f;
    struct stat st;
    if (::stat(file.c_str(), &st) != 0) return f;
    f.present = true;
    f.ino = st.st_ino;
    f.size = st.st_size;
    f.mtime = st.st_mtim;
    return f;
}

bool operator==(const FileStamp& a, const FileStamp& b) {
    return a.present == b.present && a.ino == b.ino && a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
           a.mtime.tv_nsec == b.mtime.tv_nsec;
}

// board.json's zone record as this process last read it.
struct PersistedZone {
    std::string file;
    FileStamp stamp;
    TimeZoneConfig zone;
};

PersistedZone& persistedZone() {
    static PersistedZone* z = new PersistedZone;
    return *z;
}

}  // namespace

TimeZoneConfig Board::persistedTimeZone() const {
    // Another process may have flushed a new zone since this one opened the board: every process
    // on a board converts its clock by the same record.
    const std::string file = path("board.json");
    PersistedZone& z = persistedZone();
    const FileStamp now = stampOf(file);
    if (z.file == file && z.stamp == now) return z.zone;
    TimeZoneConfig zone = config_.timeZone;
    try {
        if (now.present) zone = loadBoardConfig(file).timeZone;
    } catch (const std::exception&) {
        // A board.json broken meanwhile: the zone this process read when it opened the board.
    }
    z = PersistedZone{file, now, zone};
    return zone;
}

Board::Board(std::string dir) : dir_(std::move(dir)) {
    static uint64_t openings = 0;
    serial_ = ++openings;
    // The file's stamp before its text: a board.json replaced in between is read again later.
    const FileStamp stamp = stampOf(path("board.json"));
    config_ = loadBoardConfig(dir_ + "/board.json");
    persistedZone() = PersistedZone{path("board.json"), stamp, config_.timeZone};
    ::mkdir((dir_ + "/objects").c_str(), 0755);  // absent on a read-only board: nothing will be locked
}

std::string processBoardDir(bool* named) {
    const char* env = std::getenv("TAMBLIN_BOARD");
    if (named) *named = env && *env;
    return (env && *env) ? env : "board";
}

Board& Board::current() {
    if (!gBoard) {
        bool named = false;
        const std::string dir = processBoardDir(&named);
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0) {
            // A board named on purpose that is not there is most likely a slip in the path: a fresh
            // board made there would take the run, and the board meant would stay as it was.
            if (named)
                throw BoardError(
                    "TAMBLIN_BOARD=" + dir + ": " + std::strerror(errno) +
                    ", so no board there; nothing was created (a slip in the path? 'vboard --board " + dir +
                    " init' makes a board there)");
            createBoard(dir, defaultBoardConfig(), defaultRegistryText());
        }
        gBoard.reset(new Board(dir));
    }
    return *gBoard;
}

void Board::use(const std::string& dir) {
    gBoard.reset(new Board(dir));
}

bool Board::isOpen() {
    return gBoard != nullptr;
}

BoardState Board::readState() const {
    StateLock lock(dir_, false);
    BoardState state = loadState(dir_);
    checkProgramPower(state);
    return state;
}

void Board::updateState(const std::function<void(BoardState&)>& change) const {
    StateLock lock(dir_, true);
    BoardState state = loadState(dir_);
    checkProgramPower(state);
    change(state);
    storeState(dir_, state);
}

int startProgramOnBoard(const std::string& name) {
    try {
        // Without TAMBLIN_BOARD the program runs on ./board, made with the defaults when it is not
        // there: a board that appears unasked is worth one line.
        bool named = false;
        const std::string dir = processBoardDir(&named);
        struct stat st;
        const bool creates = !named && ::stat(dir.c_str(), &st) != 0;
        Board::current();
        if (creates)
            std::fprintf(stderr, "%s: TAMBLIN_BOARD is not set: created the default board in ./board\n",
                         name.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: cannot open the virtual board: %s\n", name.c_str(), e.what());
        return 2;
    }
    try {
        Board::current().startProgram();
        timeStartProcess();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: cannot run on the virtual board: %s\n", name.c_str(), e.what());
        return 2;
    }
    return 0;
}

void Board::startProgram() const {
    // A program writes its debug output, its bus trace and the state: a board it may not write
    // cannot run it, and the file that refused is named.
    for (const char* name : {".lock", "debug.log", "trace.log"}) {
        const std::string file = path(name);
        const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            throw BoardError(file + ": cannot open for writing: " + std::strerror(errno) +
                             " (a program on the board writes there)");
        ::close(fd);
    }
    if (::access(dir_.c_str(), W_OK | X_OK) != 0)
        throw BoardError(dir_ + ": cannot write in the board directory: " + std::strerror(errno) +
                         " (a program on the board replaces state.json there)");
    const BoardState state = readState();
    if (!state.power.on)
        throw BoardError(
            dir_ + ": the board is powered down, and a board that is off runs nothing ('vboard power up')");
    programPowerOn_ = state.powerOnHost;
}

void Board::checkProgramPower(const BoardState& state) const {
    if (!programPowerOn_ || (state.power.on && state.powerOnHost == *programPowerOn_)) return;
    boardFault(state.power.on ? "the board was replaced or powered down and up again while the program ran: "
                                "the program ends here and changes nothing more"
                              : "the board was powered down while the program ran: the program ends here "
                                "and changes nothing more");
}

BoardLock::BoardLock(const std::string& dir) {
    if (holdsBoardLock(dir)) {
        ++gBoardLock.depth;
        return;
    }
    if (gStateLockDepth > 0) throw std::logic_error("board lock taken inside a state update");
    fd_ = lockBoardFile(dir, true);
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        ::close(fd_);
        throw BoardError(dir + "/.lock: cannot look at: " + std::strerror(errno));
    }
    gBoardLock = HeldBoardLock{st.st_dev, st.st_ino, 1};
}

BoardLock::~BoardLock() {
    if (--gBoardLock.depth > 0 || fd_ < 0) return;
    gBoardLock = HeldBoardLock{};
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
}

BoardState readBoardState(const std::string& dir) {
    StateLock lock(dir, false);
    return loadState(dir);
}

void updateBoardState(const std::string& dir, const std::function<void(BoardState&)>& change) {
    StateLock lock(dir, true);
    BoardState state = loadState(dir);
    change(state);
    storeState(dir, state);
}

namespace {

void appendTo(const std::string& file, const std::string& text) {
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    ::close(fd);
}

}  // namespace

void Board::appendDebugLog(const std::string& utf8) const {
    appendTo(dir_ + "/debug.log", utf8);
}

void Board::appendTrace(const std::string& lines) const {
    appendTo(dir_ + "/trace.log", lines);
}

}  // namespace sim
