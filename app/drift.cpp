// The chip's drift: learnt at each time change from how far the chip had wandered since it was
// set, kept in the registry (flushed, so that a power cut keeps it) and taken off each restore.
#include "app.h"

static const WCHAR kSetAt[] = TEXT("RtcSetAt");             // FILETIME: the chip's second restarted
static const WCHAR kSetOffset[] = TEXT("RtcSetOffsetUs");   // the chip minus the system clock then
static const WCHAR kDrift[] = TEXT("DriftPpb");             // learned drift, parts per billion
static const WCHAR kDriftHours[] = TEXT("DriftHours");      // calibration hours behind it
static const WCHAR kCalibratedAt[] = TEXT("CalibratedAt");  // FILETIME: the calibration under way began
static const WCHAR kIntervalDrift[] = TEXT("CalibrationDriftUs");  // drift measured in it so far
static const WCHAR kAside[] = TEXT("DriftAsidePpb");               // a sample far from the learned drift
static const WCHAR kAsideHours[] = TEXT("DriftAsideHours");

#define TOLERANCE_UNITS ((LONGLONG)2 * APP_UNITS_PER_SECOND)  // beyond drift's reach: a clock set by hand

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

// A drift in parts per billion as the debug print shows it: sign, whole ppm, thousandths.
typedef struct PpmText {
    WCHAR sign;
    DWORD whole;
    DWORD thousandths;
} PpmText;

static PpmText Ppm(LONG ppb) {
    PpmText t;
    DWORD magnitude = (DWORD)(ppb < 0 ? -(LONGLONG)ppb : ppb);
    t.sign = ppb < 0 ? TEXT('-') : TEXT('+');
    t.whole = magnitude / 1000;
    t.thousandths = magnitude % 1000;
    return t;
}

static int OutOfBounds(LONG ppb) {
    return ppb > APP_DRIFT_MAX_PPB || ppb < -APP_DRIFT_MAX_PPB;
}

// No crystal is that far off: such a drift, learnt or found, is not used.
static void RefuseDrift(LONG ppb, const WCHAR* where) {
    PpmText s = Ppm(ppb);
    NKDbgPrintfW(TEXT("Tamblin: RTC drift of %c%u.%.3u ppm%s refused: beyond 500 ppm\r\n"), s.sign, s.whole,
                 s.thousandths, where);
}

void ReadCalibration(Calibration* c) {
    c->chipSet = 0;
    c->setAt = 0;
    c->setOffsetUs = 0;
    c->driftPpb = 0;
    c->driftHours = 0;
    c->calibratedAt = 0;
    c->intervalDriftUs = 0;
    c->asidePpb = 0;
    c->asideHours = 0;
    HKEY key = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, APP_CONFIG_KEY, 0, 0, &key) != ERROR_SUCCESS) return;
    c->chipSet = QueryTime(key, kSetAt, &c->setAt);
    c->setOffsetUs = (LONG)QueryDword(key, kSetOffset, 0);
    c->driftHours = QueryDword(key, kDriftHours, 0);
    c->driftPpb = c->driftHours ? (LONG)QueryDword(key, kDrift, 0) : 0;
    // A learned value out of bounds (the registry edited by hand) is no learned value.
    if (OutOfBounds(c->driftPpb)) {
        RefuseDrift(c->driftPpb, TEXT(" in the registry"));
        c->driftPpb = 0;
        c->driftHours = 0;
    }
    if (!QueryTime(key, kCalibratedAt, &c->calibratedAt)) c->calibratedAt = 0;
    c->intervalDriftUs = (LONG)QueryDword(key, kIntervalDrift, 0);
    c->asideHours = QueryDword(key, kAsideHours, 0);
    c->asidePpb = (LONG)QueryDword(key, kAside, 0);
    if (OutOfBounds(c->asidePpb)) c->asideHours = 0;
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
    int ok = 1;
    if (c->chipSet) ok = SetTime(key, kSetAt, c->setAt) && SetDword(key, kSetOffset, (DWORD)c->setOffsetUs);
    ok = ok && SetDword(key, kDrift, (DWORD)c->driftPpb) && SetDword(key, kDriftHours, c->driftHours);
    ok = ok && SetTime(key, kCalibratedAt, c->calibratedAt) &&
         SetDword(key, kIntervalDrift, (DWORD)c->intervalDriftUs);
    ok = ok && SetDword(key, kAside, (DWORD)c->asidePpb) && SetDword(key, kAsideHours, c->asideHours);
    // Until it is flushed the registry holds it in RAM only, and a power cut would take it.
    ok = ok && RegFlushKey(key) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

// Of `counted` units a chip `ppb` fast has counted, those its drift added: counted x ppb / (1e9 +
// ppb), in whole units; worked in whole seconds and the rest, so that no product leaves 64 bits
// for any span a chip can count.
static LONGLONG DriftOf(LONGLONG counted, LONG ppb) {
    LONGLONG rate = (LONGLONG)1000000000 + ppb;
    LONGLONG seconds = counted / APP_UNITS_PER_SECOND;
    LONGLONG a = seconds * ppb;
    return a / rate * APP_UNITS_PER_SECOND + a % rate * APP_UNITS_PER_SECOND / rate +
           (counted % APP_UNITS_PER_SECOND) * ppb / rate;
}

LONGLONG CorrectChipTime(const Calibration* c, LONGLONG chipUnits) {
    if (!c->chipSet) return chipUnits;
    // What the chip has counted since it was set, and what that is in true time at its rate.
    LONGLONG counted = chipUnits - (LONGLONG)c->setOffsetUs * 10 - c->setAt;
    if (counted < 0) return chipUnits;  // set back since, by someone else: nothing is known
    LONGLONG corrected = c->setAt + counted - DriftOf(counted, c->driftPpb);
    LONGLONG by = corrected - chipUnits;
    if (by / APP_UNITS_PER_MS != 0) {
        PpmText d = Ppm(c->driftPpb);
        LONGLONG ms = (by < 0 ? -by : by) / APP_UNITS_PER_MS;
        NKDbgPrintfW(TEXT("Tamblin: RTC time corrected by %c%u.%.3u s (drift %c%u.%.3u ppm)\r\n"),
                     by < 0 ? TEXT('-') : TEXT('+'), (DWORD)(ms / 1000), (DWORD)(ms % 1000), d.sign, d.whole,
                     d.thousandths);
    }
    return corrected;
}

static void StartInterval(Calibration* c, LONGLONG systemUnits) {
    c->calibratedAt = systemUnits;
    c->intervalDriftUs = 0;
}

// n / d to the nearest whole number (d > 0).
static LONGLONG Rounded(LONGLONG n, LONGLONG d) {
    return (n < 0 ? n - d / 2 : n + d / 2) / d;
}

static LONG Average(LONG a, DWORD aHours, LONG b, DWORD bHours) {
    return (LONG)Rounded((LONGLONG)a * aHours + (LONGLONG)b * bHours, (LONGLONG)aHours + bHours);
}

static DWORD Capped(DWORD hours) {
    return hours > APP_DRIFT_MAX_HOURS ? APP_DRIFT_MAX_HOURS : hours;
}

// Folds one sample into the learned drift. Samples weigh by the hours they span; one that is far
// from what was learned is held aside, and changes the drift only when the next agrees with it
// (the crystal has moved to another temperature, say), so that one bad sample never does.
static void FoldSample(Calibration* c, LONG sample, DWORD hours) {
    PpmText s = Ppm(sample);
    LONG gap = sample - c->driftPpb;
    if (c->driftHours == 0) {
        c->driftPpb = sample;
        c->driftHours = Capped(hours);
    } else if ((gap <= APP_DRIFT_OUTLIER_PPB && gap >= -APP_DRIFT_OUTLIER_PPB) || c->driftHours < 24) {
        c->driftPpb = Average(c->driftPpb, c->driftHours, sample, hours);
        c->driftHours = Capped(c->driftHours + hours);
    } else if (c->asideHours != 0 && sample - c->asidePpb <= APP_DRIFT_OUTLIER_PPB &&
               sample - c->asidePpb >= -APP_DRIFT_OUTLIER_PPB) {
        c->driftPpb = Average(c->asidePpb, c->asideHours, sample, hours);
        c->driftHours = Capped(c->asideHours + hours);
    } else {
        PpmText d = Ppm(c->driftPpb);
        c->asidePpb = sample;
        c->asideHours = hours;
        NKDbgPrintfW(TEXT("Tamblin: RTC drift of %c%u.%.3u ppm over %u h set aside, far from the learned "
                          "%c%u.%.3u ppm\r\n"),
                     s.sign, s.whole, s.thousandths, hours, d.sign, d.whole, d.thousandths);
        return;
    }
    c->asideHours = 0;
    PpmText d = Ppm(c->driftPpb);
    NKDbgPrintfW(TEXT("Tamblin: RTC drift of %c%u.%.3u ppm over %u h, learned drift now %c%u.%.3u ppm\r\n"),
                 s.sign, s.whole, s.thousandths, hours, d.sign, d.whole, d.thousandths);
}

void LearnFromStore(Calibration* c, LONGLONG chipAhead, LONGLONG systemUnits) {
    if (!c->chipSet) {
        StartInterval(c, systemUnits);  // nothing to compare with yet
        return;
    }
    LONGLONG sinceSet = systemUnits - c->setAt;
    LONGLONG drift = chipAhead - (LONGLONG)c->setOffsetUs * 10;
    // Even a crystal twice as far off as any that is learned, and a little slack for the readings,
    // stay within this; beyond it the clock was set to another time (by a person, an hour on).
    LONGLONG reach = (sinceSet > 0 ? sinceSet : 0) / 1000 + TOLERANCE_UNITS;
    if (sinceSet <= 0 || drift > reach || drift < -reach) {
        LONGLONG off = (chipAhead < 0 ? -chipAhead : chipAhead) / APP_UNITS_PER_SECOND;
        NKDbgPrintfW(
            TEXT("Tamblin: RTC was %c%u s off the new time: the clock was set, no drift learned\r\n"),
            chipAhead < 0 ? TEXT('-') : TEXT('+'), (DWORD)off);
        StartInterval(c, systemUnits);
        return;
    }
    // No calibration under way (or one from a clock set back since): it starts where the chip was set.
    if (c->calibratedAt == 0 || c->calibratedAt > systemUnits) StartInterval(c, c->setAt);
    LONGLONG measured = (LONGLONG)c->intervalDriftUs * 10 + drift;
    LONGLONG span = systemUnits - c->calibratedAt;
    if (span < APP_CALIBRATION_MIN_UNITS) {
        // Too short to tell drift from the error of the readings: kept for the next time change.
        c->intervalDriftUs = (LONG)(measured / 10);
        return;
    }
    // Parts per billion: measured x 1e9 / span, as measured x 1e4 over span in 10-ms steps, which
    // stays inside 64 bits for any drift within reach.
    LONGLONG rate = Rounded(measured * 10000, span / 100000);
    LONG sample = rate > 2000000000 ? 2000000000 : rate < -2000000000 ? -2000000000 : (LONG)rate;
    DWORD hours = (DWORD)(span / ((LONGLONG)3600 * APP_UNITS_PER_SECOND));
    StartInterval(c, systemUnits);
    if (OutOfBounds(sample)) {
        RefuseDrift(sample, TEXT(""));
        return;
    }
    FoldSample(c, sample, hours);
}

void NoteChipSet(Calibration* c, LONGLONG restartAt, LONGLONG offsetUnits) {
    c->chipSet = 1;
    c->setAt = restartAt;
    c->setOffsetUs = (LONG)(offsetUnits / 10);
}
