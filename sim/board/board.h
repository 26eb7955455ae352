// The virtual board: a directory holding the board's configuration (board.json), its registry
// (registry.reg), the state that persists between runs (state.json), the debug log (debug.log),
// the I2C bus trace (trace.log) and the named kernel objects shared by the processes that run on
// it (objects/).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "config.h"
#include "state.h"

namespace sim {

// The board directory of a process that is told no other: $TAMBLIN_BOARD, else ./board. `named`,
// when given, says whether $TAMBLIN_BOARD named it.
std::string processBoardDir(bool* named = nullptr);

class Board {
  public:
    // The board of this process: processBoardDir(); ./board is created with the
    // defaults when it does not exist yet, a $TAMBLIN_BOARD that names nothing is refused.
    static Board& current();
    // Switches this process to the board in `dir` (tests and vboard). Creates nothing.
    static void use(const std::string& dir);
    static bool isOpen();

    const std::string& dir() const { return dir_; }
    // Tells this opening of a board from every other one in the process, also of the same
    // directory (device models are made per opening).
    uint64_t serial() const { return serial_; }
    const BoardConfig& config() const { return config_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // The persisted state, read or changed under the board's lock so that concurrent processes
    // on one board never lose each other's changes. `updateState` writes the state back
    // atomically, and only when `change` returns normally.
    BoardState readState() const;
    void updateState(const std::function<void(BoardState&)>& change) const;

    // This process runs as a program on the board (start-up code). The board must be powered;
    // from then on every read and update of the state checks that it still is, the same power-on
    // as at the start: a program on a board that went off (power down, init --force) ends there
    // as a board fault, and changes nothing more.
    void startProgram() const;

    // The zone record board.json holds now (the registry's persistent copy of the platform's zone),
    // read again when another process has replaced the file since.
    TimeZoneConfig persistedTimeZone() const;

    // Appends to the board's debug log (UTF-8) and to its bus trace.
    void appendDebugLog(const std::string& utf8) const;
    void appendTrace(const std::string& lines) const;

  private:
    explicit Board(std::string dir);
    void checkProgramPower(const BoardState& state) const;
    std::string dir_;
    BoardConfig config_;
    uint64_t serial_ = 0;
    mutable std::optional<int64_t> programPowerOn_;  // a program: the power-on it started in
};

// Holds the board's lock for a command that changes the board beyond one state update (board.json,
// registry.reg, several files): every other such command and every state update of the programs
// on the board waits until it is released, so N commands in parallel leave N changes. Within its
// scope the state updates of this thread take no lock of their own. Read the files to change
// after taking it. The directory must exist.
class BoardLock {
  public:
    explicit BoardLock(const std::string& dir);
    ~BoardLock();
    BoardLock(const BoardLock&) = delete;
    BoardLock& operator=(const BoardLock&) = delete;

  private:
    int fd_ = -1;
};

// Writes a new board directory; `config` and `registryText` become board.json and registry.reg.
// The state starts with the system clock at the host's time and each chip holding that time.
void createBoard(const std::string& dir, const BoardConfig& config, const std::string& registryText);
BoardConfig defaultBoardConfig();
std::string defaultRegistryText();
// The persisted state of the board in `dir`, read or changed under its lock, as Board does for
// the board of this process (for tools and tests that look at a board from outside).
BoardState readBoardState(const std::string& dir);
void updateBoardState(const std::string& dir, const std::function<void(BoardState&)>& change);
// Reads and checks a board.json (refusals name the file and the field).
BoardConfig loadBoardConfig(const std::string& file);
// Replaces one top-level entry of board.json (absent: removes it), the rest of the file as it was;
// the new file must read as a board, or nothing changes.
void replaceBoardJsonEntry(const std::string& dir, const std::string& key, const std::optional<json>& value);
// Replaces board.json of an existing board, checked first as any reader would check it.
void writeBoardConfig(const std::string& dir, const BoardConfig& config);

// The start of a program on the board, as the start-up code makes it (the host build's and the
// device loader's): opens the board of this process ($TAMBLIN_BOARD, which must exist, else
// ./board, made with the defaults, which is said in one line, when it is not there), checks that the board
// can run the program (Board::startProgram) and starts the process's time. Returns 0, or 2 after saying on
// standard error, after the program's name, why the board cannot be opened or cannot run it.
int startProgramOnBoard(const std::string& name);

// The directory of the running executable (for mapping device paths to host programs).
std::string selfExeDir();

// The most each board file may hold. Every program on the board reads them whole, so a file beyond
// these (one written in a loop, the wrong file copied in) is refused before it is read, naming the
// limit: the largest platform registries are a few megabytes, a board's configuration a few
// kilobytes, its state a notification database and the registry's unflushed values.
constexpr uint64_t kMaxBoardJsonBytes = 1u << 20;
constexpr uint64_t kMaxStateJsonBytes = 32u << 20;
constexpr uint64_t kMaxRegistryBytes = 16u << 20;
// "41943040 bytes, more than the 32 MiB such a board file may hold (not read)".
std::string tooLargeText(uint64_t size, uint64_t limit);
// A board file whole, refused (BoardError naming the file) when it is larger than `limit` or
// cannot be read; nullopt when it does not exist.
std::optional<std::string> readBoardFile(const std::string& path, uint64_t limit);

// A whole file ("" when it cannot be read), and a file replaced in one step.
std::string readFile(const std::string& path);
void writeFileAtomically(const std::string& path, const std::string& text);

}  // namespace sim
