// The drift the program learns at each time change and takes off each restore: which samples it
// folds in, which it holds aside or refuses, and the correction it makes of a chip's time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "testboard.h"

namespace drift_test {

constexpr int64_t kSecond = 10'000'000;
constexpr int64_t kHour = 3600 * kSecond;
const int64_t kStart = 134'000'000'000'000'000LL;  // some time in 2025

// One time change: so many hours after the last, the chip so far ahead of the new time.
struct Change {
    double hoursAfter;
    double chipAheadSeconds;  // what the chip shows less the new time, before it is written
    LONG driftPpb;            // the learned drift afterwards
    DWORD driftHours;
    DWORD asideHours;
    const char* says;  // a part of the debug log it writes ("" for nothing)
};

struct Story {
    const char* what;
    std::vector<Change> changes;
};

// Each change writes the chip exactly on the new time, as a precise store does.
void play(const Story& story) {
    TestBoard board;
    Calibration c;
    ReadCalibration(&c);  // none in the registry: nothing learned
    EXPECT_EQ(c.chipSet, 0);
    int64_t now = kStart;
    size_t logged = 0;
    for (size_t i = 0; i < story.changes.size(); ++i) {
        const Change& ch = story.changes[i];
        SCOPED_TRACE(std::string(story.what) + ", change " + std::to_string(i + 1));
        now += static_cast<int64_t>(ch.hoursAfter * kHour);
        LearnFromStore(&c, static_cast<int64_t>(ch.chipAheadSeconds * kSecond), now);
        NoteChipSet(&c, now, 0);
        EXPECT_NEAR(c.driftPpb, ch.driftPpb, 2);
        EXPECT_EQ(c.driftHours, ch.driftHours);
        EXPECT_EQ(c.asideHours, ch.asideHours);
        const std::string log = board.debugLog().substr(logged);
        logged += log.size();
        if (*ch.says == 0)
            EXPECT_EQ(log, "");
        else
            EXPECT_NE(log.find(ch.says), std::string::npos) << log;
    }
}

TEST(DriftLearning, FoldsSpacedSamplesAndNeverLetsOneBadSampleDecide) {
    const Story stories[] = {
        {"a week at +50 ppm",
         {{0, 12, 0, 0, 0, ""},  // the first calibration: nothing to compare with
          {168, 30.24, 50'000, 168, 0,
           "RTC drift of +50.000 ppm over 168 h, learned drift now +50.000 ppm"}}},
        {"time changes closer than the calibration needs add up",
         {{0, 0, 0, 0, 0, ""},
          {1, 0.18, 0, 0, 0, ""},  // an hour: too short to tell, kept
          {2, 0.36, 0, 0, 0, ""},  // three hours: still too short
          {2, 0.36, 50'000, 5, 0, "over 5 h, learned drift now +50.000 ppm"}}},
        {"a person's hour and a crystal no one makes",
         {{0, 0, 0, 0, 0, ""},
          {24, 3600 + 4.32, 0, 0, 0, "RTC was +3604 s off the new time: the clock was set, no drift learned"},
          {6, 17.28, 0, 0, 0, "RTC drift of +800.000 ppm refused: beyond 500 ppm"},
          {6, -1.08, -50'000, 6, 0, "learned drift now -50.000 ppm"}}},
        {"an outlier is held aside, and a second that agrees with it wins",
         {{0, 0, 0, 0, 0, ""},
          {168, 30.24, 50'000, 168, 0, "learned drift now +50.000 ppm"},
          {168, 54.432, 50'000, 168, 168,
           "RTC drift of +90.000 ppm over 168 h set aside, far from the learned +50.000 ppm"},
          {168, 53.2224, 89'000, 336, 0, "learned drift now +89.000 ppm"}}},
        {"an outlier that stays alone changes nothing",
         {{0, 0, 0, 0, 0, ""},
          {168, 30.24, 50'000, 168, 0, "learned drift now +50.000 ppm"},
          {168, 54.432, 50'000, 168, 168, "set aside"},
          {168, 30.8448, 50'500, 336, 0,
           "RTC drift of +51.000 ppm over 168 h, learned drift now +50.500 ppm"}}},
        {"the weight stops at 30 days, so that the drift can still move",
         {{0, 0, 0, 0, 0, ""},
          {700, 126.0, 50'000, 700, 0, "over 700 h, learned drift now +50.000 ppm"},
          {100, 18.36, 50'125, 720, 0,
           "RTC drift of +51.000 ppm over 100 h, learned drift now +50.125 ppm"}}},
    };
    for (const Story& s : stories) play(s);
}

TEST(DriftCorrection, TakesTheOffsetAndTheLearnedDriftOffTheChipsTime) {
    TestBoard board;
    Calibration c;
    ReadCalibration(&c);
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
    Calibration none;
    ReadCalibration(&none);
    EXPECT_EQ(CorrectChipTime(&none, kStart), kStart);
}

TEST(DriftCorrection, WhatIsSavedIsReadBackFromTheFlushedRegistry) {
    TestBoard board;
    Calibration c;
    ReadCalibration(&c);
    NoteChipSet(&c, kStart, -1234);
    c.driftPpb = -20'000;
    c.driftHours = 336;
    c.calibratedAt = kStart - kHour;
    c.intervalDriftUs = -5;
    c.asidePpb = 77'000;
    c.asideHours = 12;
    ASSERT_EQ(SaveCalibration(&c), 1);
    Calibration back;
    ReadCalibration(&back);
    EXPECT_EQ(back.chipSet, 1);
    EXPECT_EQ(back.setAt, kStart);
    EXPECT_EQ(back.setOffsetUs, -123);
    EXPECT_EQ(back.driftPpb, -20'000);
    EXPECT_EQ(back.driftHours, 336u);
    EXPECT_EQ(back.calibratedAt, kStart - kHour);
    EXPECT_EQ(back.intervalDriftUs, -5);
    EXPECT_EQ(back.asidePpb, 77'000);
    EXPECT_EQ(back.asideHours, 12u);
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
        NoteChipSet(&c, kStart, 0);
        c.driftPpb = k.driftPpb;
        c.driftHours = 168;
        c.asidePpb = k.asidePpb;
        c.asideHours = 12;
        ASSERT_EQ(SaveCalibration(&c), 1);
        Calibration back;
        ReadCalibration(&back);
        EXPECT_EQ(board.debugLog(), k.says);
        EXPECT_EQ(back.driftPpb, k.keptPpb);
        EXPECT_EQ(back.driftHours, k.keptPpb == 0 ? 0u : 168u);
        EXPECT_EQ(back.asideHours, k.keptAsideHours);
        // Corrected with what was kept: 30 days at the refused drift would have moved it minutes.
        const int64_t chip = kStart + 30 * 86400 * kSecond;
        if (k.keptPpb == 0) EXPECT_EQ(CorrectChipTime(&back, chip), chip);
    }
}

}  // namespace drift_test
