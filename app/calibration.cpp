#include "calibration.h"

#include "config.h"
#include "drift_report.h"

static const WCHAR kSetAt[] = TEXT("RtcSetAt");             // FILETIME: the chip's second restarted
static const WCHAR kSetOffset[] = TEXT("RtcSetOffsetUs");   // the chip minus the system clock then
static const WCHAR kDrift[] = TEXT("DriftPpb");             // learned drift, parts per billion
static const WCHAR kDriftHours[] = TEXT("DriftHours");      // calibration hours behind it
static const WCHAR kCalibratedAt[] = TEXT("CalibratedAt");  // FILETIME: the calibration under way began
static const WCHAR kIntervalDrift[] = TEXT("CalibrationDriftUs");  // drift measured in it so far
static const WCHAR kAside[] = TEXT("DriftAsidePpb");               // a sample far from the learned drift
static const WCHAR kAsideHours[] = TEXT("DriftAsideHours");

static DWORD QueryDword(HKEY key, const WCHAR* name, DWORD fallback) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, 0, &type, (LPBYTE)&value, &size) != ERROR_SUCCESS ||
        size != sizeof(value))
        return fallback;
    return value;
}

static int QueryTime(HKEY key, const WCHAR* name, LONGLONG* out) {
    FILETIME ft;
    DWORD size = sizeof(ft);
    if (RegQueryValueExW(key, name, 0, 0, (LPBYTE)&ft, &size) != ERROR_SUCCESS || size != sizeof(ft))
        return 0;
    *out = UnitsOfFileTime(&ft);
    return 1;
}

static void ReadChipModel(HKEY key, ChipModel* chip) {
    chip->chipSet = QueryTime(key, kSetAt, &chip->setAt);
    chip->setOffsetUs = (LONG)QueryDword(key, kSetOffset, 0);
    chip->driftHours = QueryDword(key, kDriftHours, 0);
    chip->driftPpb = chip->driftHours ? (LONG)QueryDword(key, kDrift, 0) : 0;
    // A learned value out of bounds (the registry edited by hand) is no learned value.
    if (DriftOutOfBounds(chip->driftPpb)) {
        ReportDriftInRegistryRefused(chip->driftPpb);
        chip->driftPpb = 0;
        chip->driftHours = 0;
    }
}

static void ReadLearner(HKEY key, DriftLearner* learner) {
    if (!QueryTime(key, kCalibratedAt, &learner->calibratedAt)) learner->calibratedAt = 0;
    learner->intervalDriftUs = (LONG)QueryDword(key, kIntervalDrift, 0);
    learner->asideHours = QueryDword(key, kAsideHours, 0);
    learner->asidePpb = (LONG)QueryDword(key, kAside, 0);
    if (DriftOutOfBounds(learner->asidePpb)) learner->asideHours = 0;
}

void ReadCalibration(Calibration* c) {
    Calibration none = {{0, 0, 0, 0, 0}, {0, 0, 0, 0}};
    *c = none;
    HKEY key = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, APP_CONFIG_KEY, 0, 0, &key) != ERROR_SUCCESS) return;
    ReadChipModel(key, &c->chip);
    ReadLearner(key, &c->learner);
    RegCloseKey(key);
}

static int SetDword(HKEY key, const WCHAR* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&value, sizeof(value)) == ERROR_SUCCESS;
}

static int SetTime(HKEY key, const WCHAR* name, LONGLONG units) {
    FILETIME ft;
    FileTimeOfUnits(units, &ft);
    return RegSetValueExW(key, name, 0, REG_BINARY, (const BYTE*)&ft, sizeof(ft)) == ERROR_SUCCESS;
}

int SaveCalibration(const Calibration* c) {
    HKEY key = 0;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, APP_CONFIG_KEY, 0, 0, 0, 0, 0, &key, &disposition) !=
        ERROR_SUCCESS)
        return 0;
    const ChipModel* chip = &c->chip;
    const DriftLearner* learner = &c->learner;
    int ok = 1;
    if (chip->chipSet)
        ok = SetTime(key, kSetAt, chip->setAt) && SetDword(key, kSetOffset, (DWORD)chip->setOffsetUs);
    ok = ok && SetDword(key, kDrift, (DWORD)chip->driftPpb) && SetDword(key, kDriftHours, chip->driftHours);
    ok = ok && SetTime(key, kCalibratedAt, learner->calibratedAt) &&
         SetDword(key, kIntervalDrift, (DWORD)learner->intervalDriftUs);
    ok = ok && SetDword(key, kAside, (DWORD)learner->asidePpb) &&
         SetDword(key, kAsideHours, learner->asideHours);
    // Until it is flushed the registry holds it in RAM only, and a power cut would take it.
    ok = ok && RegFlushKey(key) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}
