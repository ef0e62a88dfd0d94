#pragma once

#include "replay/Clock.h"

#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace velmora {

// When the frames of a Send go out: back to back (the default), at the
// capture's own pace scaled, or at a set rate; and how often the records are
// sent again.

enum class EPace {
    BackToBack, // as fast as the adapter takes them
    Captured, // the capture's gaps divided by dMultiplier
    PacketsPerSecond, // dRate frames a second
    MegabitsPerSecond, // dRate megabits a second, by the frames' sent bytes
};

// Limits a user may set (the command line and the window check them the same way).
constexpr double kMinMultiplier = 0.001;
constexpr double kMaxMultiplier = 1000;
constexpr double kMinRate = 0.001; // packets or megabits per second
constexpr double kMaxPacketsPerSecond = 100'000'000;
constexpr double kMaxMegabitsPerSecond = 1'000'000;
constexpr int64_t kMaxLoopPauseMs = 86'400'000; // a day
constexpr double kMaxDurationSeconds = 31'536'000; // a year

struct SPaceOptions {
    EPace ePace = EPace::BackToBack;
    double dMultiplier = 1; // Captured
    double dRate = 0; // PacketsPerSecond, MegabitsPerSecond
    int64_t llLoops = 1; // rounds; 0 repeats until stopped
    int64_t llLoopPauseMs = 0; // between two rounds
    double dDurationSeconds = 0; // ends the Send like a stop after this long; 0: no limit

    bool Paced() const { return ePace != EPace::BackToBack; }
    // Today's Send: one round, back to back, no limit.
    bool IsDefault() const
    {
        return !Paced() && llLoops == 1 && llLoopPauseMs == 0 && dDurationSeconds == 0;
    }
    bool operator==(const SPaceOptions&) const = default;
};

// A record's time stamp in nanoseconds. The file's seconds are an unsigned
// 32-bit field that libpcap hands over sign-extended, so a capture made after
// January 2038 would seem to run backwards; it is read as unsigned here.
// llFraction is in nanoseconds when bNano, else in microseconds.
int64_t StampNs(int64_t llSeconds, int64_t llFraction, bool bNano);

// Places the records of each round in time: frame i of a round goes at the
// round's start + (t_i - t_0) / M as captured, i / N s at N packets/s, or
// after the bits of frames 0..i-1 at N Mbit/s. Every time is computed from
// the start, so sleeps that end late do not add up.
class CPaceScheduler {
public:
    explicit CPaceScheduler(const SPaceOptions& options);

    // Anchors a round at llStartNs (a clock's time).
    void StartRound(int64_t llStartNs);
    // When the next record of the round is due. A time stamp before the last
    // one is due at once (at the last record's time), and the following ones
    // keep their gaps from it; *pbBackwards tells.
    int64_t Due(int64_t llStampNs, uint32_t uLength, bool* pbBackwards = nullptr);
    // The due time of the last record; the start before the first.
    int64_t LastDue() const { return m_llLastDue; }
    // When a record after the last would be due at a set rate: the last one's
    // own gap after it (LastDue as captured and back to back).
    int64_t NextDue() const;
    // Moves the round, the records so far included, llDeltaNs later.
    void Shift(int64_t llDeltaNs);

private:
    SPaceOptions m_options;
    int64_t m_llStart = 0;
    int64_t m_llLastDue = 0;
    int64_t m_llAnchorDue = 0; // (due, stamp) that the capture's gaps count from
    int64_t m_llAnchorStamp = 0;
    int64_t m_llLastStamp = 0;
    uint64_t m_uIndex = 0; // records of this round so far
    long double m_ldBits = 0; // their bits so far
};

// What a wait is doing, for the status line: the time left until the next
// frame (or round), and whether the wait is long enough for a countdown.
struct SPaceWait {
    int64_t llLeftNs = 0;
    bool bCountdown = false; // the gap is longer than a second
    bool bPause = false; // the pause between two rounds
    int64_t llRound = 1; // the round waited in (or for, in a pause)
};

// Called every kPollSliceNs or less while a wait is long; true stops the Send.
using FPacePoll = std::function<bool(const SPaceWait&)>;

enum class EPaceStep {
    Go, // send the record (or start the round)
    Stopped, // the poll asked to stop
    TimeUp, // the duration is over: ends like a stop
    Done, // no round is left
};

// Runs the rounds of a Send against a clock: waits for each record, the pause
// between rounds and the end of the duration, and asks for a stop while it
// waits. Back to back with no duration it never reads the clock.
class CPaceRun {
public:
    // Longest sleep between two polls: the display's pace.
    static constexpr int64_t kPollSliceNs = 16'000'000;
    // Waits longer than this show a countdown.
    static constexpr int64_t kCountdownNs = 1'000'000'000;

    CPaceRun(const SPaceOptions& options, IClock& clock);

    // Starts the next round: the first at once, the others after the pause.
    // Done when the rounds are over, or the last round had no record (so an
    // empty capture cannot repeat forever).
    EPaceStep BeginRound(const FPacePoll& poll);
    // Waits until the round's next record is due. Go to send it.
    EPaceStep Next(int64_t llStampNs, uint32_t uLength, const FPacePoll& poll);
    // Called once the round's first frame is out, with the time it was handed
    // to the kernel: the rest of the round counts from then, so that a late
    // first frame (a slow first read, a first batch to allocate) does not
    // shorten the first gap.
    void FirstSent(int64_t llHandedNs);

    // Called when a wait is about to begin (the next record is not due yet):
    // the moment to hand the frames staged so far to the kernel. Frames already
    // due go out together; none is held back for a later one.
    void SetBeforeWait(std::function<void()> beforeWait) { m_beforeWait = std::move(beforeWait); }

    // After Go: whether the record just let through should be handed to the
    // kernel at once. It should when it came on time (within kTogetherNs of
    // when it was due), so that reading the next record never delays it; a
    // Send that is behind keeps staging, and the frames already due go out
    // together before the next wait. Never for back to back.
    static constexpr int64_t kTogetherNs = 50'000;
    // A Send that fell behind shortens each gap by at most 1/kCatchUpShare.
    static constexpr int64_t kCatchUpShare = 5;
    bool SendNow() const;

    int64_t Round() const { return m_llRound; } // 1 is the first; 0 before it
    int64_t RecordsInRound() const { return m_llInRound; } // Go answers so far
    bool LastWasBackwards() const { return m_bBackwards; }
    // When the last record was let through (paced Sends only).
    int64_t LastGo() const { return m_llLastGo; }
    const SPaceOptions& Options() const { return m_options; }

private:
    // Waits until llTarget, polling; Go at the target, else why not.
    EPaceStep WaitUntil(int64_t llTarget, bool bPause, const FPacePoll& poll);

    SPaceOptions m_options;
    IClock& m_clock;
    CPaceScheduler m_scheduler;
    bool m_bTimed; // the clock is read at all
    int64_t m_llDeadline = INT64_MAX; // end of the duration
    int64_t m_llRound = 0;
    int64_t m_llInRound = 0;
    bool m_bBackwards = false;
    int64_t m_llPrevDue = 0; // the round's last record's time
    int64_t m_llLastGo = 0; // when it was let through
    std::function<void()> m_beforeWait;
};

} // namespace velmora
