// What persists between the runs on a board (state.json), as one typed record. The board owns
// it: Board::readState and Board::updateState convert it from and to JSON under the board's lock
// (state_json.cpp), and everything else works on the record.
//
// The record holds the operating system's persistent state as well as the hardware's: the
// system clock and daylight flag, the notification database and the launches the notification
// service made, the board's power and uptime, and each RTC chip's registers and bus state.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct SysTime {  // a SYSTEMTIME as the board's files write it
    uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
    bool operator==(const SysTime&) const = default;
};

// The platform's time-zone record (TIME_ZONE_INFORMATION), as the board's files hold it.
struct TimeZoneConfig {
    std::string name;  // what the record was made from (a zone name or short name); "" when unknown
    int32_t bias = 0;  // minutes, UTC = local + bias
    std::string standardName = "Coordinated Universal Time";
    SysTime standardDate;
    int32_t standardBias = 0;
    std::string daylightName = "Coordinated Universal Time";
    SysTime daylightDate;
    int32_t daylightBias = 0;
    bool operator==(const TimeZoneConfig&) const = default;
};

// The kernel's clock, kept in local time as the OAL's real-time clock holds it: the local file
// time it was set to, and the board's true time at that moment (the host's clock; a board with
// virtual clocks: its virtual time). It advances with that time; on a frozen board it stands at
// `local`. UTC is derived from it with the zone record and the daylight flag (zoneBiasMinutes).
struct SystemClockState {
    int64_t local = 0;
    int64_t atHost = 0;
};

// Minutes from local time to UTC (UTC = local + bias) under `zone` with the kernel's daylight
// flag: the zone's bias and, by the flag, its daylight or its standard bias.
int32_t zoneBiasMinutes(const TimeZoneConfig& zone, bool daylight);

struct PowerState {
    bool on = true;
    int64_t changedAt = 0;  // host file time of the last switch
};

// The dialog/sound part of a registration (CE_USER_NOTIFICATION); strings UTF-8, absent = null.
struct UserNotificationRecord {
    uint32_t actionFlags = 0;
    std::optional<std::string> dialogTitle;
    std::optional<std::string> dialogText;
    std::optional<std::string> sound;
    uint32_t maxSound = 0;
    uint32_t reserved = 0;
};

// One registration: its trigger (CE_NOTIFICATION_TRIGGER) and, if given, its user notification.
struct NotificationRecord {
    uint32_t handle = 0;      // assigned by the database; stable for the life of the registration
    uint32_t type = 0;        // CNT_EVENT, CNT_TIME, CNT_PERIOD, CNT_CLASSICTIME
    uint32_t event = 0;       // NOTIFICATION_EVENT_... for CNT_EVENT
    std::string application;  // device path, as registered
    std::optional<std::string> arguments;  // absent = no arguments (null pointer)
    SysTime start;                         // time-based triggers
    SysTime end;
    uint32_t status = 0;
    std::optional<UserNotificationRecord> user;
};

struct NotificationDatabase {
    uint32_t nextHandle = 1;
    std::vector<NotificationRecord> list;  // oldest first
};

// A program the notification service started.
struct LaunchRecord {
    std::string app;                  // device path
    std::optional<std::string> args;  // absent = none
    std::string exe;                  // host program
    int pid = 0;
};

// Where a chip's I2C interface stands between two bus events. It survives the process that
// moved the bus: a chip left in the middle of a byte still holds SDA at the next boot.
enum class SlavePhase {
    Idle,      // waiting for a start condition
    Address,   // shifting in the address byte
    Receive,   // shifting in a byte from the master
    Transmit,  // shifting out a byte to the master
    Ignore,    // addressed elsewhere, or let go: waiting for the next start or stop
};

struct SlaveBusState {
    SlavePhase phase = SlavePhase::Idle;
    bool reading = false;     // the master asked to read
    bool addressed = false;   // this chip acknowledged the address
    unsigned bit = 0;         // clock pulses of the current byte seen so far (0..9)
    uint8_t shift = 0;        // byte being shifted in or out
    bool sdaLow = false;      // the chip pulls SDA low
    bool gotPointer = false;  // a write has set the register pointer in this transaction
    bool operator==(const SlaveBusState&) const = default;
};

// A chip's clock: the time registers count the ticks of its own oscillator, which runs at the
// crystal's rate (board.json's ppm), not at the true one. `clockAt` is a moment of the board's true
// time (the host's clock, or the virtual time of a board with virtual clocks) at which the chip's
// second had run `phase` of its own 100-ns units; the registers hold the time as of `ticks` seconds
// of the chip's after it. Writing the seconds (or what restarts the chip's divider) sets a new
// `clockAt` with the second restarted.
struct ChipState {
    int protocol = 1;
    std::vector<uint8_t> regs;   // the register file, the time registers `ticks` after `clockAt`
    uint8_t pointer = 0;         // the chip's register pointer
    int64_t clockAt = 0;         // true file time of the clock's reference point
    int64_t phase = 0;           // the chip's own 100-ns units into its second at `clockAt`
    int64_t ticks = 0;           // the chip's seconds counted since `clockAt`
    bool restartAtStop = false;  // a write the chip applies, restarting its second, at the stop
    std::optional<std::vector<uint8_t>> latch;  // the registers as the read in progress sees them
    std::optional<std::vector<uint8_t>> halt;   // protocol 4: time registers frozen at a power-down
    unsigned nakNext = 0;                       // coming address phases that the chip leaves unacknowledged
    SlaveBusState bus;
    bool operator==(const ChipState&) const = default;
};

struct BoardState {
    SystemClockState systemClock;
    std::optional<bool> daylight;  // the kernel's daylight-saving flag, as last set (absent: never)
    // A zone a program set (SetTimeZoneInformation) and nobody flushed yet: the registry's RAM
    // holds it, every program sees it, a flush writes it to board.json, a power-down loses it.
    std::optional<TimeZoneConfig> timeZoneNotFlushed;
    // The launch numbers of [HKEY_LOCAL_MACHINE\init] that have called SignalStarted since the
    // board was powered up, in the order they did.
    std::vector<uint32_t> signalledStarted;
    PowerState power;
    int64_t powerOnHost = 0;  // host file time of the board's power-on
    uint64_t uptimeNs = 0;    // frozen boards: the virtual uptime reached so far
    NotificationDatabase notifications;
    std::map<uint8_t, ChipState> chips;  // by 7-bit address, kPowerManagerBusKey set on that bus
    std::vector<LaunchRecord> launches;  // the latest ones, oldest first
    // Registry values the board's programs set but did not flush (.reg text): held in the
    // board's RAM, so a power-down loses them.
    std::string registryNotFlushed;
};

// Chips are kept by their 7-bit address; a chip on the power-manager unit's bus has this bit set in
// its key (state.json: "pwr:0x68"), since each bus may have a chip at the same address.
constexpr uint8_t kPowerManagerBusKey = 0x80;

// Launch records kept for inspection; older ones are dropped.
constexpr size_t kMaxLaunchRecords = 64;

}  // namespace sim
