// The scheduler and the rounds of a paced Send against a clock that moves only
// when slept on.

#include "FakeClock.h"
#include "replay/Pace.h"
#include "session/SendWords.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace velmora;
using vtest::CFakeClock;

namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kUs = 1'000;
constexpr int64_t kS = 1'000'000'000;
// Far from zero, so that a time measured from zero instead of the start shows.
constexpr int64_t kBase = 7 * kS + 123;

struct SRecord {
    int64_t llStamp;
    uint32_t uLength;
};

SPaceOptions Pace(EPace ePace, double d = 1)
{
    SPaceOptions options;
    options.ePace = ePace;
    if (ePace == EPace::Captured)
        options.dMultiplier = d;
    else
        options.dRate = d;
    return options;
}

// Sends the records through one round; the time each went, from the round's start.
std::vector<int64_t> SendTimes(
    const SPaceOptions& options, const std::vector<SRecord>& records, CFakeClock& clock)
{
    CPaceRun run(options, clock);
    const int64_t llStart = clock.llNow;
    EXPECT_EQ(run.BeginRound(nullptr), EPaceStep::Go);
    std::vector<int64_t> times;
    for (const SRecord& r : records) {
        EXPECT_EQ(run.Next(r.llStamp, r.uLength, nullptr), EPaceStep::Go);
        times.push_back(clock.llNow - llStart);
    }
    return times;
}

TEST(PaceTest, EveryPaceIsAnchoredToTheStartOfTheRound)
{
    // Stamps of a capture that starts late, so anchoring to its first record shows.
    const int64_t t0 = 1'700'000'000 * kS;
    const std::vector<SRecord> captured { { t0, 60 }, { t0 + 1 * kMs, 60 }, { t0 + 3 * kMs, 60 },
        { t0 + 3 * kMs, 60 }, { t0 + 10 * kMs, 60 } };
    // 125 bytes are 1000 bits: 1 ms at 1 Mbit/s.
    const std::vector<SRecord> sized { { t0, 125 }, { t0, 250 }, { t0, 125 }, { t0, 1 } };
    struct SRow {
        const char* szName;
        SPaceOptions options;
        std::vector<SRecord> records;
        int64_t llOvershoot;
        std::vector<int64_t> expected;
    };
    const std::vector<SRow> rows {
        { "back to back", Pace(EPace::BackToBack), captured, 0, { 0, 0, 0, 0, 0 } },
        { "as captured", Pace(EPace::Captured), captured, 0,
            { 0, 1 * kMs, 3 * kMs, 3 * kMs, 10 * kMs } },
        { "x10", Pace(EPace::Captured, 10), captured, 0,
            { 0, 100 * kUs, 300 * kUs, 300 * kUs, 1 * kMs } },
        { "x0.5", Pace(EPace::Captured, 0.5), captured, 0,
            { 0, 2 * kMs, 6 * kMs, 6 * kMs, 20 * kMs } },
        { "x0.001", Pace(EPace::Captured, 0.001), captured, 0,
            { 0, 1 * kS, 3 * kS, 3 * kS, 10 * kS } },
        { "x1000", Pace(EPace::Captured, 1000), captured, 0,
            { 0, 1 * kUs, 3 * kUs, 3 * kUs, 10 * kUs } },
        { "1000 packets/s", Pace(EPace::PacketsPerSecond, 1000), captured, 0,
            { 0, 1 * kMs, 2 * kMs, 3 * kMs, 4 * kMs } },
        { "3 packets/s", Pace(EPace::PacketsPerSecond, 3), captured, 0,
            { 0, 333'333'333, 666'666'667, 1 * kS, 1'333'333'333 } },
        { "1 Mbit/s", Pace(EPace::MegabitsPerSecond, 1), sized, 0,
            { 0, 1 * kMs, 3 * kMs, 4 * kMs } },
        // Every sleep ends 30 us late, but no lateness is carried to the next frame;
        // a frame whose time has passed goes at once.
        { "as captured, late sleeps", Pace(EPace::Captured), captured, 30 * kUs,
            { 0, 1 * kMs + 30 * kUs, 3 * kMs + 30 * kUs, 3 * kMs + 30 * kUs,
                10 * kMs + 30 * kUs } },
        { "1000 packets/s, late sleeps", Pace(EPace::PacketsPerSecond, 1000), captured, 30 * kUs,
            { 0, 1 * kMs + 30 * kUs, 2 * kMs + 30 * kUs, 3 * kMs + 30 * kUs, 4 * kMs + 30 * kUs } },
        { "1 Mbit/s, late sleeps", Pace(EPace::MegabitsPerSecond, 1), sized, 30 * kUs,
            { 0, 1 * kMs + 30 * kUs, 3 * kMs + 30 * kUs, 4 * kMs + 30 * kUs } },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock(kBase);
        clock.llOvershootNs = row.llOvershoot;
        EXPECT_EQ(SendTimes(row.options, row.records, clock), row.expected);
        if (!row.options.Paced()) {
            EXPECT_TRUE(clock.sleeps.empty());
        }
    }
}

TEST(PaceTest, ABackwardsTimeStampSendsAtOnceAndTheGapsAfterItHold)
{
    const std::vector<int64_t> stamps { 100 * kMs, 110 * kMs, 105 * kMs, 108 * kMs, 120 * kMs,
        120 * kMs };
    const std::vector<int64_t> expected { 0, 10 * kMs, 10 * kMs, 13 * kMs, 25 * kMs, 25 * kMs };
    const std::vector<bool> backwards { false, false, true, false, false, false };
    // The staged frames are handed over before each wait, and only then.
    const std::vector<int> beforeWaits { 0, 1, 1, 2, 3, 3 };
    CFakeClock clock(kBase);
    CPaceRun run(Pace(EPace::Captured), clock);
    int iBeforeWaits = 0;
    run.SetBeforeWait([&] { ++iBeforeWaits; });
    ASSERT_EQ(run.BeginRound(nullptr), EPaceStep::Go);
    for (size_t i = 0; i < stamps.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(run.Next(stamps[i], 60, nullptr), EPaceStep::Go);
        EXPECT_EQ(clock.llNow - kBase, expected[i]);
        EXPECT_EQ(run.LastWasBackwards(), backwards[i]);
        EXPECT_EQ(iBeforeWaits, beforeWaits[i]);
    }
}

TEST(PaceTest, RoundsRepeatAfterTheirPause)
{
    struct SRow {
        const char* szName;
        SPaceOptions options;
        int64_t llPerRead; // work between two readings of the clock
        std::vector<int64_t> expected; // send times from the start, round after round
    };
    SPaceOptions captured3 = Pace(EPace::Captured);
    captured3.llLoops = 3;
    captured3.llLoopPauseMs = 100;
    SPaceOptions b2b2 = Pace(EPace::BackToBack);
    b2b2.llLoops = 2;
    b2b2.llLoopPauseMs = 250;
    SPaceOptions captured2NoPause = Pace(EPace::Captured);
    captured2NoPause.llLoops = 2;
    const std::vector<SRow> rows {
        // The next round starts a pause after the last frame was due, not after it went.
        { "as captured, 3 rounds", captured3, 10 * kUs,
            { 0, 50 * kMs, 150 * kMs, 200 * kMs, 300 * kMs, 350 * kMs } },
        { "back to back, 2 rounds", b2b2, 0, { 0, 0, 250 * kMs, 250 * kMs } },
        { "as captured, no pause", captured2NoPause, 0, { 0, 50 * kMs, 50 * kMs, 100 * kMs } },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock(kBase);
        CPaceRun run(row.options, clock);
        std::vector<int64_t> times;
        std::vector<int64_t> rounds;
        while (run.BeginRound(nullptr) == EPaceStep::Go) {
            rounds.push_back(run.Round());
            for (int64_t llStamp : { 5 * kS, 5 * kS + 50 * kMs }) {
                ASSERT_EQ(run.Next(llStamp, 60, nullptr), EPaceStep::Go);
                // Reading the time here stands for the send: later than the due time.
                times.push_back(clock.llNow - kBase);
                clock.llNow += row.llPerRead;
            }
        }
        // The times the frames were due, give or take the simulated work.
        ASSERT_EQ(times.size(), row.expected.size());
        for (size_t i = 0; i < times.size(); ++i) {
            EXPECT_GE(times[i], row.expected[i]) << i;
            EXPECT_LE(times[i], row.expected[i] + row.llPerRead) << i;
        }
        EXPECT_EQ(static_cast<int64_t>(rounds.size()), row.options.llLoops);
        EXPECT_EQ(run.BeginRound(nullptr), EPaceStep::Done);
    }
}

TEST(PaceTest, RoundsUntilStoppedEndOnlyByAStopOrAnEmptyRound)
{
    SPaceOptions options = Pace(EPace::BackToBack);
    options.llLoops = 0;
    options.llLoopPauseMs = 2000;
    CFakeClock clock(kBase);
    CPaceRun run(options, clock);
    int iPolls = 0;
    // The stop comes in the fifth pause, half a second into it.
    const auto poll = [&](const SPaceWait& wait) {
        ++iPolls;
        EXPECT_TRUE(wait.bPause);
        EXPECT_TRUE(wait.bCountdown);
        EXPECT_EQ(wait.llRound, run.Round() + 1);
        return clock.llNow >= kBase + 4 * 2 * kS + kS / 2;
    };
    EPaceStep eStep;
    while ((eStep = run.BeginRound(poll)) == EPaceStep::Go)
        ASSERT_EQ(run.Next(0, 60, poll), EPaceStep::Go);
    EXPECT_EQ(eStep, EPaceStep::Stopped);
    EXPECT_EQ(run.Round(), 5);
    EXPECT_GT(iPolls, 4 * 2000 / 16);
    EXPECT_LE(clock.llNow - (kBase + 17 * kS / 2), CPaceRun::kPollSliceNs);

    // A round without records ends the repeats: nothing to send forever.
    CPaceRun empty(options, clock);
    EXPECT_EQ(empty.BeginRound(nullptr), EPaceStep::Go);
    EXPECT_EQ(empty.BeginRound(nullptr), EPaceStep::Done);
}

TEST(PaceTest, AStopInsideALongGapEndsTheWaitWithinOneSlice)
{
    struct SRow {
        const char* szName;
        int64_t llGap;
        int64_t llStopAfter; // from the first frame; past the gap: no stop
        bool bCountdown;
    };
    const std::vector<SRow> rows {
        { "10 s gap, stop at 3 s", 10 * kS, 3 * kS, true },
        { "an hour's gap, stop at once", 3600 * kS, 0, true },
        { "half a second, no stop", kS / 2, kS, false },
        { "1.5 s, no stop", 3 * kS / 2, 2 * kS, true },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock(kBase);
        clock.llOvershootNs = 20 * kUs;
        CPaceRun run(Pace(EPace::Captured), clock);
        ASSERT_EQ(run.BeginRound(nullptr), EPaceStep::Go);
        ASSERT_EQ(run.Next(kS, 60, nullptr), EPaceStep::Go);
        std::vector<SPaceWait> waits;
        const auto poll = [&](const SPaceWait& wait) {
            waits.push_back(wait);
            return clock.llNow - kBase >= row.llStopAfter;
        };
        const size_t nSleepsBefore = clock.sleeps.size();
        const EPaceStep eStep = run.Next(kS + row.llGap, 60, poll);
        const bool bStops = row.llStopAfter < row.llGap;
        EXPECT_EQ(eStep, bStops ? EPaceStep::Stopped : EPaceStep::Go);
        if (bStops) {
            EXPECT_GE(clock.llNow - kBase, row.llStopAfter);
            EXPECT_LE(clock.llNow - kBase, row.llStopAfter + CPaceRun::kPollSliceNs + 20 * kUs);
        } else {
            EXPECT_EQ(clock.llNow - kBase, row.llGap + 20 * kUs);
        }
        // Asked at every slice, counting down; no sleep longer than a slice.
        ASSERT_FALSE(waits.empty());
        for (size_t i = 0; i < waits.size(); ++i) {
            EXPECT_EQ(waits[i].bCountdown, row.bCountdown);
            EXPECT_FALSE(waits[i].bPause);
            if (i > 0) {
                EXPECT_LT(waits[i].llLeftNs, waits[i - 1].llLeftNs);
            }
        }
        EXPECT_LE(waits.front().llLeftNs, row.llGap);
        int64_t llFrom = kBase;
        for (size_t i = nSleepsBefore; i < clock.sleeps.size(); ++i) {
            EXPECT_LE(clock.sleeps[i] - llFrom, CPaceRun::kPollSliceNs + 20 * kUs);
            llFrom = clock.sleeps[i];
        }
    }
}

TEST(PaceTest, TheDurationEndsTheSendLikeAStop)
{
    struct SRow {
        const char* szName;
        SPaceOptions options;
        int64_t llPerRead;
        int64_t llGo; // records sent before the time was up
        int64_t llRounds;
        int iPerRound = 20; // records 100 ms apart
    };
    auto with = [](SPaceOptions o, double dSeconds, int64_t llLoops, int64_t llPauseMs) {
        o.dDurationSeconds = dSeconds;
        o.llLoops = llLoops;
        o.llLoopPauseMs = llPauseMs;
        return o;
    };
    const std::vector<SRow> rows {
        // Frames 0 to 10 are due within the second (the last one at its very end).
        { "10 packets/s for 1 s", with(Pace(EPace::PacketsPerSecond, 10), 1, 1, 0), 0, 11, 1 },
        // 2 us of work per frame: 500,000 frames fit into a second.
        { "back to back for 1 s", with(Pace(EPace::BackToBack), 1, 1, 0), 2 * kUs, 500'000, 1,
            1'000'000 },
        // Rounds of 20 frames 100 ms apart (1.9 s) and 1 s pauses: the time is up
        // inside the second pause.
        { "as captured, rounds", with(Pace(EPace::Captured), 5, 0, 1000), 0, 40, 2 },
        { "a 0.25 s duration", with(Pace(EPace::Captured), 0.25, 0, 0), 0, 3, 1 },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock(kBase);
        clock.llPerReadNs = row.llPerRead;
        CPaceRun run(row.options, clock);
        int64_t llGo = 0;
        EPaceStep eStep = EPaceStep::Go;
        while (eStep == EPaceStep::Go && llGo < 10'000'000) {
            eStep = run.BeginRound(nullptr);
            for (int i = 0; eStep == EPaceStep::Go && i < row.iPerRound; ++i) {
                eStep = run.Next(i * 100 * kMs, 60, nullptr);
                if (eStep == EPaceStep::Go)
                    ++llGo;
            }
        }
        EXPECT_EQ(eStep, EPaceStep::TimeUp);
        EXPECT_EQ(run.Round(), row.llRounds);
        if (row.llPerRead == 0) {
            EXPECT_EQ(llGo, row.llGo);
            // Waits end at the deadline, not at the next frame's time.
            EXPECT_EQ(clock.llNow - kBase,
                static_cast<int64_t>(std::llround(row.options.dDurationSeconds * kS)));
        } else {
            EXPECT_NEAR(static_cast<double>(llGo), static_cast<double>(row.llGo), 2);
        }
    }
}

TEST(PaceTest, NanosecondAndMicrosecondCapturesKeepTheirResolution)
{
    struct SRow {
        int64_t llSec;
        int64_t llFrac;
        bool bNano;
        int64_t llNs;
    };
    const std::vector<SRow> rows {
        { 0, 0, false, 0 },
        { 1, 999'999, false, 1'999'999'000 },
        { 1, 999'999'999, true, 1'999'999'999 },
        { 1'700'000'000, 1, true, 1'700'000'000 * kS + 1 },
        { 1'700'000'000, 1, false, 1'700'000'000 * kS + 1000 },
        // The largest seconds a signed 32-bit field holds, and the first past it,
        // as libpcap hands it over (sign-extended).
        { INT32_MAX, 999'999, false, static_cast<int64_t>(INT32_MAX) * kS + 999'999'000 },
        { INT32_MIN, 0, true, (int64_t { 1 } << 31) * kS },
        { -1, 5, true, static_cast<int64_t>(UINT32_MAX) * kS + 5 },
    };
    for (const SRow& row : rows)
        EXPECT_EQ(StampNs(row.llSec, row.llFrac, row.bNano), row.llNs) << row.llSec;

    // Gaps of a nanosecond capture, sent as captured and at x1000.
    for (double dMultiplier : { 1.0, 1000.0 }) {
        CFakeClock clock(kBase);
        const std::vector<int64_t> times = SendTimes(Pace(EPace::Captured, dMultiplier),
            { { StampNs(10, 1, true), 60 }, { StampNs(10, 1'501, true), 60 },
                { StampNs(11, 0, true), 60 } },
            clock);
        const std::vector<int64_t> expected = dMultiplier == 1
            ? std::vector<int64_t> { 0, 1'500, kS - 1 }
            : std::vector<int64_t> { 0, 2, 1'000'000 };
        EXPECT_EQ(times, expected) << dMultiplier;
    }
}

TEST(PaceTest, ACaptureAtALargeTimeStampRunsForwardAcrossTheSignedLimit)
{
    // Starts a millisecond before 2^31 s and goes on past it, as libpcap reads it.
    const std::vector<SRecord> records {
        { StampNs(INT32_MAX, 999'000, false), 60 },
        { StampNs(INT32_MIN, 1'000, false), 60 },
        { StampNs(INT32_MIN, 3'000, false), 60 },
    };
    for (double dMultiplier : { 1.0, 0.001 }) {
        CFakeClock clock(kBase);
        CPaceRun run(Pace(EPace::Captured, dMultiplier), clock);
        ASSERT_EQ(run.BeginRound(nullptr), EPaceStep::Go);
        std::vector<int64_t> times;
        for (const SRecord& r : records) {
            ASSERT_EQ(run.Next(r.llStamp, r.uLength, nullptr), EPaceStep::Go);
            EXPECT_FALSE(run.LastWasBackwards());
            times.push_back(clock.llNow - kBase);
        }
        const int64_t llScale = dMultiplier == 1 ? 1 : 1000;
        EXPECT_EQ(times, (std::vector<int64_t> { 0, 2 * kMs * llScale, 4 * kMs * llScale }));
    }
}

TEST(PaceTest, OptionsOutsideTheirLimitsAreRefused)
{
    const double dNan = std::numeric_limits<double>::quiet_NaN();
    const double dInf = std::numeric_limits<double>::infinity();
    struct SRow {
        SPaceOptions options;
        bool bOk;
    };
    auto with = [](SPaceOptions o, int64_t llLoops, int64_t llPauseMs, double dSeconds) {
        o.llLoops = llLoops;
        o.llLoopPauseMs = llPauseMs;
        o.dDurationSeconds = dSeconds;
        return o;
    };
    const std::vector<SRow> rows {
        { SPaceOptions(), true },
        { Pace(EPace::Captured, 0.001), true },
        { Pace(EPace::Captured, 1000), true },
        { Pace(EPace::Captured, 0.0009), false },
        { Pace(EPace::Captured, 1000.5), false },
        { Pace(EPace::Captured, dNan), false },
        { Pace(EPace::PacketsPerSecond, 0), false },
        { Pace(EPace::PacketsPerSecond, 1e8), true },
        { Pace(EPace::PacketsPerSecond, dInf), false },
        { Pace(EPace::MegabitsPerSecond, -1), false },
        { Pace(EPace::MegabitsPerSecond, 1e6), true },
        { with(SPaceOptions(), 0, 0, 0), true },
        { with(SPaceOptions(), -1, 0, 0), false },
        { with(SPaceOptions(), 1, -1, 0), false },
        { with(SPaceOptions(), 1, kMaxLoopPauseMs + 1, 0), false },
        { with(SPaceOptions(), 1, 0, -0.5), false },
        { with(SPaceOptions(), 1, 0, dNan), false },
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        std::string csError;
        EXPECT_EQ(CheckPaceOptions(rows[i].options, csError), rows[i].bOk) << i;
        EXPECT_EQ(csError.empty(), rows[i].bOk) << i;
    }
}

TEST(PaceTest, TheRealClockNeverWakesEarly)
{
    CMonotonicClock clock;
    for (int64_t llAhead : { int64_t { 0 }, 10 * kUs, 200 * kUs, 2 * kMs }) {
        const int64_t llDeadline = clock.Now() + llAhead;
        clock.SleepUntil(llDeadline);
        EXPECT_GE(clock.Now(), llDeadline) << llAhead;
    }
}

TEST(PaceTest, ALateFirstFrameDoesNotShortenTheFirstGap)
{
    struct SRow {
        const char* szName;
        SPaceOptions options;
        std::vector<int64_t> expected; // after each round's first frame handed over 70 us late
    };
    SPaceOptions twoRounds = Pace(EPace::PacketsPerSecond, 10);
    twoRounds.llLoops = 2;
    const std::vector<SRow> rows {
        { "as captured", Pace(EPace::Captured), { 0, 1 * kMs + 70 * kUs, 2 * kMs + 70 * kUs } },
        { "1000 packets/s", Pace(EPace::PacketsPerSecond, 1000),
            { 0, 1 * kMs + 70 * kUs, 2 * kMs + 70 * kUs } },
        { "back to back", Pace(EPace::BackToBack), { 0, 90 * kUs, 90 * kUs } },
        // Round 2 starts a rate's gap after round 1's last frame, and its
        // late first frame moves the rest of the round too.
        { "10 packets/s, 2 rounds", twoRounds,
            { 0, 100 * kMs + 70 * kUs, 200 * kMs + 70 * kUs, 300 * kMs + 70 * kUs,
                400 * kMs + 140 * kUs, 500 * kMs + 140 * kUs } },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock(kBase);
        CPaceRun run(row.options, clock);
        std::vector<int64_t> times;
        for (int64_t llRound = 0; llRound < std::max<int64_t>(row.options.llLoops, 1); ++llRound) {
            ASSERT_EQ(run.BeginRound(nullptr), EPaceStep::Go);
            for (int i = 0; i < 3; ++i) {
                ASSERT_EQ(run.Next(5 * kS + i * kMs, 60, nullptr), EPaceStep::Go);
                times.push_back(clock.llNow - kBase);
                if (i == 0) {
                    clock.llNow += 70 * kUs;
                    // The send itself took 20 us more: it does not count.
                    run.FirstSent(clock.llNow);
                    clock.llNow += 20 * kUs;
                }
            }
        }
        EXPECT_EQ(times, row.expected);
    }
}

// A frame let through on time goes to the kernel at once; a Send that is
// behind keeps staging, so that the frames already due go out together.
TEST(PaceTest, OnTimeFramesGoAtOnceAndLateOnesTogether)
{
    struct SRow {
        const char* szName;
        SPaceOptions options;
        int64_t llOvershoot; // how late every wait ends
        int64_t llStartLate; // how late the round's frames start (the Send fell behind)
        std::vector<bool> sendNow;
    };
    const std::vector<SRow> rows {
        { "on time", Pace(EPace::Captured), 0, 0, { true, true, true } },
        { "a little late", Pace(EPace::Captured), 49 * kUs, 0, { true, true, true } },
        // The first frame waits for nothing.
        { "late past the window", Pace(EPace::Captured), 50 * kUs, 0, { true, false, false } },
        // 200 us behind at 100 us gaps: behind until the catching up (below)
        // brings the frames within the window.
        { "behind, catching up", Pace(EPace::Captured, 10), 0, 200 * kUs,
            { false, false, false, false, true, true, true, true, true, true, true, true } },
        { "back to back", Pace(EPace::BackToBack), 0, 0, { false, false, false } },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock(kBase);
        clock.llOvershootNs = row.llOvershoot;
        CPaceRun run(row.options, clock);
        ASSERT_EQ(run.BeginRound(nullptr), EPaceStep::Go);
        std::vector<bool> sendNow;
        for (size_t i = 0; i < row.sendNow.size(); ++i) {
            ASSERT_EQ(run.Next(kS + static_cast<int64_t>(i) * kMs, 60, nullptr), EPaceStep::Go);
            if (i == 0)
                clock.llNow += row.llStartLate;
            sendNow.push_back(run.SendNow());
        }
        EXPECT_EQ(sendNow, row.sendNow);
    }
}

// After a stall the frames catch up with every gap a fifth shorter than asked,
// never back to back, and then keep their times: no drift.
TEST(PaceTest, AStallIsCaughtUpWithGapsAFifthShorter)
{
    CFakeClock clock(kBase);
    CPaceRun run(Pace(EPace::Captured, 10), clock);
    ASSERT_EQ(run.BeginRound(nullptr), EPaceStep::Go);
    std::vector<int64_t> times;
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(run.Next(kS + i * kMs, 60, nullptr), EPaceStep::Go);
        times.push_back(clock.llNow - kBase);
        if (i == 0)
            clock.llNow += 200 * kUs; // the stall
    }
    // The frame the stall held goes at once; the gaps after it are 80 us
    // until the frames are on time again at 600 us.
    const std::vector<int64_t> expected { 0, 200 * kUs, 280 * kUs, 360 * kUs, 440 * kUs, 520 * kUs,
        600 * kUs, 700 * kUs, 800 * kUs, 900 * kUs, 1000 * kUs, 1100 * kUs };
    EXPECT_EQ(times, expected);
}

} // namespace
