// The time synchronisation application: configuration, time-change registration and the
// daylight-saving decision. The entry point is WinMain (main.cpp).
#pragma once

#include <windows.h>

#define APP_RUN_AFTER_TIME_CHANGE TEXT("AppRunAfterTimeChange")
#define APP_RUN_AFTER_TZ_CHANGE TEXT("AppRunAfterTzChange")
#define APP_CONFIG_KEY TEXT("SOFTWARE\\Vorlack\\Tamblin")  // under HKEY_LOCAL_MACHINE
#define APP_MODULE_PATH_CHARS 260
#define APP_CLEANUP_RETRY_MS 5000     // how long the boot retries the clean-up of old registrations
#define APP_CLEANUP_PAUSE_MAX_MS 256  // its pauses double from 1 ms up to this
#define APP_BUS_RETRY_MS 30000        // how long both paths try again to open a bus another driver holds
#define APP_BUS_PAUSE_FIRST_MS 250    // the first pause between those tries; it doubles
#define APP_BUS_PAUSE_MAX_MS 4000     // up to this
#define APP_SERVICE_NOTE_MS 10000     // a boot that has waited this long for the notification service says so

// Registry configuration: protocol number and chip address.
void ReadRtcConfig(DWORD* protocolOut, DWORD* slaveAddrOut);
// The I2C unit the chip is wired to, from the value I2CBus: the standard unit without it (or 0),
// the power-manager unit for 1; 0 for any other value, which has been said in the debug log.
#define APP_I2C_BUS_STANDARD 0
#define APP_I2C_BUS_PWRMGR 1
DWORD ReadI2CUnit(void);
// Clears every registration whose application path has `fileName` as its file name, in any letter
// case.
int ClearOwnNotifications(const WCHAR* fileName);
// Registers `modulePath` to be started with "AppRunAfterTimeChange" after every time change.
int RegisterTimeChangeNotification(WCHAR* modulePath);
// Registers `modulePath` to be started with "AppRunAfterTzChange" after every change of the time
// zone, which keeps the local time and moves UTC.
int RegisterZoneChangeNotification(WCHAR* modulePath);
// A command line of decimal digits alone is the launch number the kernel gives a program it starts
// from [HKEY_LOCAL_MACHINE\init]: 1 and the number in `number`; 0 for any other command line.
int LaunchNumberOf(const WCHAR* commandLine, DWORD* number);
// The part of `path` after its last "\" or "/" (the whole path when it has neither).
const WCHAR* FileNamePart(const WCHAR* path);

// Daylight-saving decision for a UTC time about to be set: 0 = the zone has no daylight rules,
// 1 = standard time, 2 = daylight time; tells the kernel through SetDaylightTime for 1 and 2.
int EvaluateDaylightTime(const SYSTEMTIME* utc, SYSTEMTIME* localOut);
BOOL HasDaylightRules(const TIME_ZONE_INFORMATION* tzi);
DWORD IsAutoDstEnabled(void);
int ResolveTransitionDate(SYSTEMTIME* rule, WORD year);
WORD FirstWeekdayOfMonth(const SYSTEMTIME* record);

// ---- Keeping time to the millisecond (registry values Precise and DriftCorrection) -------------
// Without either value every run is as it always was; each one turns on more work at boot and at
// each time change.
typedef struct AppOptions {
    DWORD precise;          // restore at the chip's second edge, store at the system's
    DWORD driftCorrection;  // learn the chip's drift at each store, correct each restore
} AppOptions;
void ReadTimeOptions(AppOptions* out);

#define APP_UNITS_PER_SECOND 10000000  // file time units (100 ns)
#define APP_UNITS_PER_MS 10000
#define APP_EDGE_WAIT_MS 1100  // longest watch for the chip's second to tick over

// A moment on two clocks: the performance counter, and a UTC time in file time units.
typedef struct TimePoint {
    LONGLONG counter;
    LONGLONG units;
} TimePoint;

LONGLONG CounterNow(void);
// A span of the performance counter in file time units, and the counts of a span (rounded up).
LONGLONG CounterSpanUnits(LONGLONG fromCount, LONGLONG toCount);
LONGLONG CountsOfUnits(LONGLONG units);
// Waits until the counter reaches `count` (a sleep for the long part, a spin for the rest).
void WaitForCounter(LONGLONG count);
// A time as file time units; -1 when it is no date.
LONGLONG UnitsOf(const SYSTEMTIME* time);
void SystemTimeOfUnits(LONGLONG units, SYSTEMTIME* time);
LONGLONG UnitsOfFileTime(const FILETIME* ft);
void FileTimeOfUnits(LONGLONG units, FILETIME* ft);
// The system clock, read as its millisecond ticks over, with the counter at that moment.
void SystemClockNow(TimePoint* now);

// Watching the chip's second: returned by FindChipEdge.
#define APP_EDGE_FOUND 1
#define APP_EDGE_STOPPED 0  // no tick within the bound: its oscillator stands
#define APP_EDGE_LOST (-1)  // the bus failed, or could not be had
// Reads the chip's counter again and again, the bus lock taken for each read alone, until it moves
// on from where it stood; `edge` gets the chip's time at that moment (from `read`, the chip's time
// read just before) and `byteUnits` the time one byte takes on the bus.
int FindChipEdge(DWORD protocol, BYTE slave, const SYSTEMTIME* read, TimePoint* edge, LONGLONG* byteUnits);

// What the program keeps in the registry about the chip: when its time was last set and how far
// off it was left, its learned drift, and the calibration under way.
typedef struct Calibration {
    int chipSet;            // the chip was set by a store at `setAt`
    LONGLONG setAt;         // system time at which the chip's second restarted
    LONG setOffsetUs;       // the chip minus the system clock just after
    LONG driftPpb;          // learned drift, parts per billion (the chip gains when positive)
    DWORD driftHours;       // calibration hours behind it; 0: none learned
    LONGLONG calibratedAt;  // start of the calibration under way
    LONG intervalDriftUs;   // drift measured in it so far, across the chip's settings
    LONG asidePpb;          // a sample far from the learned drift, held until another agrees
    DWORD asideHours;       // its weight; 0: none held
} Calibration;

#define APP_DRIFT_MAX_PPB 500000  // a learned drift beyond 500 ppm is refused
#define APP_CALIBRATION_MIN_UNITS ((LONGLONG)4 * 3600 * APP_UNITS_PER_SECOND)  // a calibration spans hours
#define APP_DRIFT_OUTLIER_PPB 20000  // a sample this far from the learned drift is set aside
#define APP_DRIFT_MAX_HOURS 720      // the weight of the learned drift stops growing here

void ReadCalibration(Calibration* c);
int SaveCalibration(const Calibration* c);
// The chip's time `chipUnits` corrected for the offset it was set with and its drift since.
LONGLONG CorrectChipTime(const Calibration* c, LONGLONG chipUnits);
// At a time change to `systemUnits`: the chip stood `chipAhead` units ahead of it, before its
// writing. Learns the drift from it when the calibration spans long enough.
void LearnFromStore(Calibration* c, LONGLONG chipAhead, LONGLONG systemUnits);
// The chip's second restarted at system time `restartAt`, `offsetUnits` ahead of it.
void NoteChipSet(Calibration* c, LONGLONG restartAt, LONGLONG offsetUnits);

// The two paths with these options: the restore's reading of the chip, and the whole store.
typedef struct ChipReading {
    TimePoint at;  // the chip's time (corrected) at a counter moment
} ChipReading;
// After the restore's read of `rtcTime` (counter `readCounter`): the chip's edge, its correction.
// A chip that does not tick is marked as not vouching for its time.
void TakeChipReading(DWORD protocol, BYTE slave, const AppOptions* options, SYSTEMTIME* rtcTime,
                     LONGLONG readCounter, ChipReading* reading);
// The system time the reading gives now; `exact`: waits for a whole millisecond of it first.
void ReadingNow(const ChipReading* reading, int exact, SYSTEMTIME* out);
// Whether the store can write the system time `now` to a chip of `protocol` at all; when not, it
// has said so in the debug log.
int StoreCanWrite(DWORD protocol, const SYSTEMTIME* now);
// The store path with the options: called holding the bus lock, returns with it released.
// `zoneChange`: started for a change of the time zone, which teaches the drift learner nothing.
void StoreTimed(DWORD protocol, BYTE slave, const AppOptions* options, int zoneChange);
