// The virtual board: a directory holding the board's configuration (board.json), its registry
// (registry.reg), the state that persists between runs (state.json), the debug log (debug.log)
// and the named kernel objects shared by the processes that run on it (objects/).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

using json = nlohmann::json;

// Bad board configuration or state: the message names the file and the field.
struct BoardError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct SysTime {  // a SYSTEMTIME as the board's configuration writes it
    uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};

struct TimeZoneConfig {
    std::string name;  // what the record was made from (a zone name or short name); "" when unknown
    int32_t bias = 0;
    std::string standardName = "Coordinated Universal Time";
    SysTime standardDate;
    int32_t standardBias = 0;
    std::string daylightName = "Coordinated Universal Time";
    SysTime daylightDate;
    int32_t daylightBias = 0;
};

struct ChipConfig {
    int protocol = 1;
    uint8_t address = 0x68;
};

enum class ApiReady { AtStart, AfterMs, Never };

struct BoardConfig {
    uint32_t mainId = 0x69054117;  // processor ID 17
    bool privileged = false;       // the program runs in user mode unless the board says otherwise
    std::string programPath = "\\Windows\\Tamblin.exe";
    std::map<std::string, std::string> apps;  // device path -> host executable
    bool frozen = false;                      // clocks stand still; process timing is virtual
    TimeZoneConfig timeZone;
    ApiReady apiReady = ApiReady::AtStart;
    uint32_t apiReadyAfterMs = 0;
    std::vector<ChipConfig> chips;
    json faults = json::object();  // fault injection, read by the device models
    json raw;                      // the whole file, for device models with settings of their own
};

// Parses board.json's text; throws BoardError naming the field.
BoardConfig parseBoardConfig(const json& j, const std::string& file);
json boardConfigToJson(const BoardConfig& c);

// Main ID register values for the processor IDs the program knows.
uint32_t mainIdForProcessor(uint32_t processorId);

class Board {
  public:
    // The board of this process: $TAMBLIN_BOARD, else ./board; created with the defaults when
    // the directory does not exist yet.
    static Board& current();
    // Switches this process to the board in `dir` (tests and vboard). Creates nothing.
    static void use(const std::string& dir);
    static bool isOpen();

    const std::string& dir() const { return dir_; }
    const BoardConfig& config() const { return config_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Reads or changes the persisted state under the board's lock, so that concurrent processes
    // on one board never lose each other's changes. `update` writes the state back atomically.
    json readState() const;
    void updateState(const std::function<void(json&)>& change) const;

    // Appends to the board's debug log (UTF-8).
    void appendDebugLog(const std::string& utf8) const;

  private:
    explicit Board(std::string dir);
    std::string dir_;
    BoardConfig config_;
};

// Writes a new board directory; `config` and `registryText` become board.json and registry.reg.
// The state starts with the system clock at the host's time and each chip holding that time.
void createBoard(const std::string& dir, const BoardConfig& config, const std::string& registryText);
BoardConfig defaultBoardConfig();
std::string defaultRegistryText();

// The directory of the running executable (for mapping device paths to host programs).
std::string selfExeDir();

}  // namespace sim
