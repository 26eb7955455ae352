#include "drift_report.h"

// A drift in parts per billion as the debug log shows it: sign, whole ppm, thousandths.
typedef struct PpmText {
    WCHAR sign;
    DWORD whole;
    DWORD thousandths;
} PpmText;

static PpmText Ppm(LONG ppb) {
    PpmText t;
    DWORD magnitude = (DWORD)(ppb < 0 ? -(LONGLONG)ppb : ppb);
    t.sign = ppb < 0 ? TEXT('-') : TEXT('+');
    t.whole = magnitude / APP_PPB_PER_PPM;
    t.thousandths = magnitude % APP_PPB_PER_PPM;
    return t;
}

// No crystal is that far off: such a drift, learnt or found, is not used.
static void RefuseDrift(LONG ppb, const WCHAR* where) {
    PpmText s = Ppm(ppb);
    NKDbgPrintfW(TEXT("Tamblin: RTC drift of %c%u.%.3u ppm%s refused: beyond 500 ppm\r\n"), s.sign, s.whole,
                 s.thousandths, where);
}

void ReportDriftInRegistryRefused(LONG ppb) {
    RefuseDrift(ppb, TEXT(" in the registry"));
}

static const WCHAR kLearned[] =
    TEXT("Tamblin: RTC drift of %c%u.%.3u ppm over %u h, learned drift now %c%u.%.3u ppm\r\n");
static const WCHAR kSetAside[] =
    TEXT("Tamblin: RTC drift of %c%u.%.3u ppm over %u h set aside, far from the learned %c%u.%.3u ppm\r\n");

static void ReportSample(const DriftOutcome* o) {
    PpmText s = Ppm(o->samplePpb);
    PpmText d = Ppm(o->learnedPpb);
    NKDbgPrintfW(o->verdict == DRIFT_SET_ASIDE ? kSetAside : kLearned, s.sign, s.whole, s.thousandths,
                 o->sampleHours, d.sign, d.whole, d.thousandths);
}

void ReportDriftOutcome(const DriftOutcome* o) {
    LONGLONG ahead = o->chipAhead;
    switch (o->verdict) {
        case DRIFT_LEARNED:
        case DRIFT_SET_ASIDE:
            ReportSample(o);
            break;
        case DRIFT_REFUSED:
            RefuseDrift(o->samplePpb, TEXT(""));
            break;
        case DRIFT_CLOCK_SET:
            NKDbgPrintfW(
                TEXT("Tamblin: RTC was %c%u s off the new time: the clock was set, no drift learned\r\n"),
                ahead < 0 ? TEXT('-') : TEXT('+'),
                (DWORD)((ahead < 0 ? -ahead : ahead) / APP_UNITS_PER_SECOND));
            break;
        case DRIFT_NOT_MEASURED:
            OutputDebugStringW(TEXT("Tamblin: RTC time not measured, no drift learned\r\n"));
            break;
        case DRIFT_ZONE_CHANGE:
            OutputDebugStringW(TEXT("Tamblin: time-zone change, no drift learned\r\n"));
            break;
        default:  // the first calibration, one too short: nothing to say yet
            break;
    }
}

void ReportCorrection(LONGLONG by, LONG driftPpb) {
    if (by / APP_UNITS_PER_MS == 0) return;
    PpmText d = Ppm(driftPpb);
    LONGLONG ms = (by < 0 ? -by : by) / APP_UNITS_PER_MS;
    NKDbgPrintfW(TEXT("Tamblin: RTC time corrected by %c%u.%.3u s (drift %c%u.%.3u ppm)\r\n"),
                 by < 0 ? TEXT('-') : TEXT('+'), (DWORD)(ms / 1000), (DWORD)(ms % 1000), d.sign, d.whole,
                 d.thousandths);
}
