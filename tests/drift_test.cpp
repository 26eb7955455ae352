// The drift the program learns at each time change and takes off each restore: which samples it
// folds in, which it holds aside or refuses, and the correction it makes of a chip's time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/calibration.h"
#include "app/drift_report.h"
#include "testboard.h"

namespace drift_test {

constexpr int64_t kSecond = 10'000'000;
constexpr int64_t kHour = 3600 * kSecond;
const int64_t kStart = 134'000'000'000'000'000LL;  // some time in 2025

// One time change: so many hours after the last, the chip so far ahead of the new time.
struct Change {
    double hoursAfter;
    double chipAheadSeconds;  // what the chip shows less the new time, before it is written
    DriftVerdict verdict;
    LONG samplePpb;  // learned, set aside, refused: the sample
    LONG driftPpb;   // the learned drift afterwards
    DWORD driftHours;
    DWORD asideHours;
};

struct Story {
    const char* what;
    std::vector<Change> changes;
};

// Each change writes the chip exactly on the new time, as a precise store does. The learner is
// pure: it says nothing, its outcome says what it decided.
void play(const Story& story) {
    Calibration c = {};
    int64_t now = kStart;
    for (size_t i = 0; i < story.changes.size(); ++i) {
        const Change& ch = story.changes[i];
        SCOPED_TRACE(std::string(story.what) + ", change " + std::to_string(i + 1));
        now += static_cast<int64_t>(ch.hoursAfter * kHour);
        const DriftOutcome o = LearnFromStore(&c, static_cast<int64_t>(ch.chipAheadSeconds * kSecond), now);
        NoteChipSet(&c.chip, now, 0);
        EXPECT_EQ(o.verdict, ch.verdict);
        if (ch.samplePpb != 0) EXPECT_NEAR(o.samplePpb, ch.samplePpb, 2);
        EXPECT_NEAR(c.chip.driftPpb, ch.driftPpb, 2);
        EXPECT_EQ(c.chip.driftHours, ch.driftHours);
        EXPECT_EQ(c.learner.asideHours, ch.asideHours);
        if (ch.verdict != DRIFT_TOO_SHORT)
            EXPECT_EQ(c.learner.calibratedAt, now) << "a decided change starts the next calibration";
    }
}

TEST(DriftLearning, FoldsSpacedSamplesAndNeverLetsOneBadSampleDecide) {
    const Story stories[] = {
        {"a week at +50 ppm",
         {{0, 12, DRIFT_FIRST, 0, 0, 0, 0},  // the first calibration: nothing to compare with
          {168, 30.24, DRIFT_LEARNED, 50'000, 50'000, 168, 0}}},
        {"time changes closer than the calibration needs add up",
         {{0, 0, DRIFT_FIRST, 0, 0, 0, 0},
          {1, 0.18, DRIFT_TOO_SHORT, 0, 0, 0, 0},  // an hour: too short to tell, kept
          {2, 0.36, DRIFT_TOO_SHORT, 0, 0, 0, 0},  // three hours: still too short
          {2, 0.36, DRIFT_LEARNED, 50'000, 50'000, 5, 0}}},
        {"a person's hour and a crystal no one makes",
         {{0, 0, DRIFT_FIRST, 0, 0, 0, 0},
          {24, 3600 + 4.32, DRIFT_CLOCK_SET, 0, 0, 0, 0},
          {6, 17.28, DRIFT_REFUSED, 800'000, 0, 0, 0},
          {6, -1.08, DRIFT_LEARNED, -50'000, -50'000, 6, 0}}},
        {"an outlier is held aside, and a second that agrees with it wins",
         {{0, 0, DRIFT_FIRST, 0, 0, 0, 0},
          {168, 30.24, DRIFT_LEARNED, 50'000, 50'000, 168, 0},
          {168, 54.432, DRIFT_SET_ASIDE, 90'000, 50'000, 168, 168},
          {168, 53.2224, DRIFT_LEARNED, 88'000, 89'000, 336, 0}}},
        {"an outlier that stays alone changes nothing",
         {{0, 0, DRIFT_FIRST, 0, 0, 0, 0},
          {168, 30.24, DRIFT_LEARNED, 50'000, 50'000, 168, 0},
          {168, 54.432, DRIFT_SET_ASIDE, 90'000, 50'000, 168, 168},
          {168, 30.8448, DRIFT_LEARNED, 51'000, 50'500, 336, 0}}},
        {"the weight stops at 30 days, so that the drift can still move",
         {{0, 0, DRIFT_FIRST, 0, 0, 0, 0},
          {700, 126.0, DRIFT_LEARNED, 50'000, 50'000, 700, 0},
          {100, 18.36, DRIFT_LEARNED, 51'000, 50'125, 720, 0}}},
        {"a young learned drift takes a far sample in rather than setting it aside",
         {{0, 0, DRIFT_FIRST, 0, 0, 0, 0},
          {6, 1.08, DRIFT_LEARNED, 50'000, 50'000, 6, 0},
          {6, 2.16, DRIFT_LEARNED, 100'000, 75'000, 12, 0}}},
    };
    for (const Story& s : stories) play(s);
}

// The limits follow from the named ones: 500 ppm is kept and one part more is refused; a chip
// further off than a crystal of 1000 ppm could drift, plus 2 s, was set by a person.
TEST(DriftLearning, TheBoundsOfASampleAndOfDriftsReach) {
    struct Case {
        const char* what;
        int64_t chipAhead;  // after 24 hours, the chip set exactly then
        DriftVerdict verdict;
    } cases[] = {
        {"+500 ppm", 432'000'000, DRIFT_LEARNED},
        {"-500 ppm", -432'000'000, DRIFT_LEARNED},
        {"just beyond +500 ppm", 432'001'000, DRIFT_REFUSED},
        {"just beyond -500 ppm", -432'001'000, DRIFT_REFUSED},
        {"+1000 ppm and 2 s: still drift, refused", 864'000'000 + 2 * kSecond, DRIFT_REFUSED},
        {"a unit beyond that: a person's move", 864'000'000 + 2 * kSecond + 1, DRIFT_CLOCK_SET},
        {"the same behind", -(864'000'000 + 2 * kSecond + 1), DRIFT_CLOCK_SET},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Calibration c = {};
        NoteChipSet(&c.chip, kStart, 0);
        const DriftOutcome o = LearnFromStore(&c, k.chipAhead, kStart + 24 * kHour);
        EXPECT_EQ(o.verdict, k.verdict);
        if (k.verdict == DRIFT_CLOCK_SET) EXPECT_EQ(o.chipAhead, k.chipAhead);
        if (k.verdict != DRIFT_LEARNED) EXPECT_EQ(c.chip.driftHours, 0u);
    }
    // A clock set back to before the chip's setting is no drift either.
    Calibration c = {};
    NoteChipSet(&c.chip, kStart, 0);
    EXPECT_EQ(LearnFromStore(&c, 0, kStart - kHour).verdict, DRIFT_CLOCK_SET);
}

TEST(DriftLearning, ATimeChangeWithoutAMeasureStartsTheCalibrationAfreshAndKeepsWhatWasLearned) {
    for (int zoneChange = 0; zoneChange <= 1; ++zoneChange) {
        Calibration c = {};
        c.chip.driftPpb = 50'000;
        c.chip.driftHours = 168;
        c.learner.calibratedAt = kStart - 48 * kHour;
        c.learner.intervalDriftUs = 1234;
        const DriftOutcome o = RestartCalibration(&c.learner, kStart, zoneChange);
        EXPECT_EQ(o.verdict, zoneChange ? DRIFT_ZONE_CHANGE : DRIFT_NOT_MEASURED);
        EXPECT_EQ(c.learner.calibratedAt, kStart);
        EXPECT_EQ(c.learner.intervalDriftUs, 0);
        EXPECT_EQ(c.chip.driftPpb, 50'000);
        EXPECT_EQ(c.chip.driftHours, 168u);
    }
}

// What each outcome says in the debug log, once.
TEST(DriftLearning, EachOutcomeIsOneLineOfTheDebugLog) {
    struct Case {
        DriftOutcome outcome;
        const char* line;
    } cases[] = {
        {{DRIFT_LEARNED, 50'000, 168, 50'000, 0},
         "Tamblin: RTC drift of +50.000 ppm over 168 h, learned drift now +50.000 ppm\r\n"},
        {{DRIFT_SET_ASIDE, 90'000, 168, 50'000, 0},
         "Tamblin: RTC drift of +90.000 ppm over 168 h set aside, far from the learned +50.000 ppm\r\n"},
        {{DRIFT_LEARNED, -1'234, 5, -567, 0},
         "Tamblin: RTC drift of -1.234 ppm over 5 h, learned drift now -0.567 ppm\r\n"},
        {{DRIFT_REFUSED, 800'000, 6, 0, 0}, "Tamblin: RTC drift of +800.000 ppm refused: beyond 500 ppm\r\n"},
        {{DRIFT_CLOCK_SET, 0, 0, 0, 3604 * kSecond + 3'200'000},
         "Tamblin: RTC was +3604 s off the new time: the clock was set, no drift learned\r\n"},
        {{DRIFT_CLOCK_SET, 0, 0, 0, -3500 * kSecond},
         "Tamblin: RTC was -3500 s off the new time: the clock was set, no drift learned\r\n"},
        {{DRIFT_NOT_MEASURED, 0, 0, 0, 0}, "Tamblin: RTC time not measured, no drift learned\r\n"},
        {{DRIFT_ZONE_CHANGE, 0, 0, 0, 0}, "Tamblin: time-zone change, no drift learned\r\n"},
        {{DRIFT_FIRST, 0, 0, 0, 0}, ""},
        {{DRIFT_TOO_SHORT, 0, 0, 0, 0}, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.line);
        TestBoard board;
        ReportDriftOutcome(&k.outcome);
        EXPECT_EQ(board.debugLog(), k.line);
    }
    struct Correction {
        int64_t by;
        const char* line;
    } corrections[] = {
        {-993'650'000, "Tamblin: RTC time corrected by -99.365 s (drift +50.000 ppm)\r\n"},
        {10'000, "Tamblin: RTC time corrected by +0.001 s (drift +50.000 ppm)\r\n"},
        {9'999, ""},  // under a millisecond: nothing to say
        {-9'999, ""},
    };
    for (const Correction& k : corrections) {
        TestBoard board;
        ReportCorrection(k.by, 50'000);
        EXPECT_EQ(board.debugLog(), k.line) << k.by;
    }
}

TEST(DriftCorrection, TakesTheOffsetAndTheLearnedDriftOffTheChipsTime) {
    ChipModel c = {};
    NoteChipSet(&c, kStart, -250 * 10'000);  // the chip was left 250 ms behind
    c.driftPpb = 50'000;
    c.driftHours = 168;
    struct Case {
        int64_t chipShows;  // after kStart
        int64_t trueTime;   // what it stands for, after kStart
    } cases[] = {
        {0 - 250 * 10'000, 0},
        {30 * 86400 * kSecond + 1'296'000'000 - 250 * 10'000, 30 * 86400 * kSecond},  // +129.6 s in 30 days
        {-kHour, -kHour},  // behind its setting: set back by someone else, left as it is
    };
    for (const Case& k : cases)
        EXPECT_NEAR(static_cast<double>(CorrectChipTime(&c, kStart + k.chipShows) - kStart),
                    static_cast<double>(k.trueTime), 10'000.0)
            << k.chipShows;
    // Nothing learned and never set: the time stays.
    TestBoard board;
    Calibration none;
    ReadCalibration(&none);
    EXPECT_EQ(CorrectChipTime(&none.chip, kStart), kStart);
}

TEST(DriftCorrection, WhatIsSavedIsReadBackFromTheFlushedRegistry) {
    TestBoard board;
    Calibration c;
    ReadCalibration(&c);
    EXPECT_EQ(c.chip.chipSet, 0);  // none in the registry: nothing learned
    NoteChipSet(&c.chip, kStart, -1234);
    c.chip.driftPpb = -20'000;
    c.chip.driftHours = 336;
    c.learner.calibratedAt = kStart - kHour;
    c.learner.intervalDriftUs = -5;
    c.learner.asidePpb = 77'000;
    c.learner.asideHours = 12;
    ASSERT_EQ(SaveCalibration(&c), 1);
    Calibration back;
    ReadCalibration(&back);
    EXPECT_EQ(back.chip.chipSet, 1);
    EXPECT_EQ(back.chip.setAt, kStart);
    EXPECT_EQ(back.chip.setOffsetUs, -123);
    EXPECT_EQ(back.chip.driftPpb, -20'000);
    EXPECT_EQ(back.chip.driftHours, 336u);
    EXPECT_EQ(back.learner.calibratedAt, kStart - kHour);
    EXPECT_EQ(back.learner.intervalDriftUs, -5);
    EXPECT_EQ(back.learner.asidePpb, 77'000);
    EXPECT_EQ(back.learner.asideHours, 12u);
    EXPECT_TRUE(sim::Board::current().readState().registryNotFlushed.empty());
}

// A registry edited by hand may hold a drift no crystal has: it is refused in one line, and the
// restore takes the chip's time with no drift rather than with that one.
TEST(DriftCorrection, ADriftBeyondFiveHundredPpmInTheRegistryIsRefused) {
    struct Case {
        LONG driftPpb;
        LONG asidePpb;
        const char* says;
        LONG keptPpb;
        DWORD keptAsideHours;
    } cases[] = {
        {800'000, 0, "Tamblin: RTC drift of +800.000 ppm in the registry refused: beyond 500 ppm\r\n", 0, 12},
        {-500'001, 0, "Tamblin: RTC drift of -500.001 ppm in the registry refused: beyond 500 ppm\r\n", 0,
         12},
        {-500'000, 0, "", -500'000, 12},
        {20'000, 900'000, "", 20'000, 0},  // a sample held aside that far off is dropped silently
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.driftPpb);
        TestBoard board;
        Calibration c;
        ReadCalibration(&c);
        NoteChipSet(&c.chip, kStart, 0);
        c.chip.driftPpb = k.driftPpb;
        c.chip.driftHours = 168;
        c.learner.asidePpb = k.asidePpb;
        c.learner.asideHours = 12;
        ASSERT_EQ(SaveCalibration(&c), 1);
        Calibration back;
        ReadCalibration(&back);
        EXPECT_EQ(board.debugLog(), k.says);
        EXPECT_EQ(back.chip.driftPpb, k.keptPpb);
        EXPECT_EQ(back.chip.driftHours, k.keptPpb == 0 ? 0u : 168u);
        EXPECT_EQ(back.learner.asideHours, k.keptAsideHours);
        // Corrected with what was kept: 30 days at the refused drift would have moved it minutes.
        const int64_t chip = kStart + 30 * 86400 * kSecond;
        if (k.keptPpb == 0) EXPECT_EQ(CorrectChipTime(&back.chip, chip), chip);
    }
}

}  // namespace drift_test
