#include "replay/Pace.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace velmora {

namespace {

    constexpr int64_t kNsPerSecond = 1'000'000'000;
    // Far enough that nothing is due there, near enough that adding a pause cannot overflow.
    constexpr int64_t kFarNs = INT64_MAX / 4;

    int64_t ClampedNs(long double ld)
    {
        if (!(ld < static_cast<long double>(kFarNs)))
            return kFarNs;
        return ld <= 0 ? 0 : std::llround(ld);
    }

    int64_t FarSum(int64_t ll, int64_t llAdd)
    {
        return llAdd >= kFarNs - ll ? kFarNs : ll + llAdd;
    }

} // namespace

int64_t StampNs(int64_t llSeconds, int64_t llFraction, bool bNano)
{
    const int64_t llSec = static_cast<uint32_t>(llSeconds);
    return llSec * kNsPerSecond + (bNano ? llFraction : llFraction * 1000);
}

CPaceScheduler::CPaceScheduler(const SPaceOptions& options)
    : m_options(options)
{
}

void CPaceScheduler::StartRound(int64_t llStartNs)
{
    m_llStart = llStartNs;
    m_llLastDue = llStartNs;
    m_uIndex = 0;
    m_ldBits = 0;
}

int64_t CPaceScheduler::Due(int64_t llStampNs, uint32_t uLength, bool* pbBackwards)
{
    bool bBackwards = false;
    int64_t llDue = m_llStart;
    switch (m_options.ePace) {
    case EPace::BackToBack:
        llDue = m_llLastDue;
        break;
    case EPace::Captured: {
        if (m_uIndex == 0) {
            m_llAnchorDue = m_llStart;
            m_llAnchorStamp = llStampNs;
        } else if (llStampNs < m_llLastStamp) {
            // Sent at once; the gaps after it count from here.
            bBackwards = true;
            m_llAnchorDue = m_llLastDue;
            m_llAnchorStamp = llStampNs;
        }
        const int64_t llGap = llStampNs - m_llAnchorStamp;
        // A multiplier of 1 stays in integers: exact for any capture.
        const int64_t llScaled = m_options.dMultiplier == 1
            ? llGap
            : ClampedNs(static_cast<long double>(llGap) / m_options.dMultiplier);
        llDue = FarSum(m_llAnchorDue, llScaled);
        m_llLastStamp = llStampNs;
        break;
    }
    case EPace::PacketsPerSecond:
        llDue = FarSum(m_llStart,
            ClampedNs(static_cast<long double>(m_uIndex) * kNsPerSecond / m_options.dRate));
        break;
    case EPace::MegabitsPerSecond:
        // bits / (rate * 10^6) seconds = bits * 1000 / rate nanoseconds
        llDue = FarSum(m_llStart, ClampedNs(m_ldBits * 1000 / m_options.dRate));
        m_ldBits += static_cast<long double>(uLength) * 8;
        break;
    }
    llDue = std::max(llDue, m_llLastDue);
    ++m_uIndex;
    m_llLastDue = llDue;
    if (pbBackwards)
        *pbBackwards = bBackwards;
    return llDue;
}

int64_t CPaceScheduler::NextDue() const
{
    int64_t llNext = m_llLastDue;
    if (m_options.ePace == EPace::PacketsPerSecond)
        llNext = FarSum(m_llStart,
            ClampedNs(static_cast<long double>(m_uIndex) * kNsPerSecond / m_options.dRate));
    else if (m_options.ePace == EPace::MegabitsPerSecond)
        llNext = FarSum(m_llStart, ClampedNs(m_ldBits * 1000 / m_options.dRate));
    return std::max(llNext, m_llLastDue);
}

void CPaceScheduler::Shift(int64_t llDeltaNs)
{
    m_llStart += llDeltaNs;
    m_llLastDue += llDeltaNs;
    m_llAnchorDue += llDeltaNs;
}

CPaceRun::CPaceRun(const SPaceOptions& options, IClock& clock)
    : m_options(options)
    , m_clock(clock)
    , m_scheduler(options)
    , m_bTimed(options.Paced() || options.dDurationSeconds > 0 || options.llLoopPauseMs > 0)
{
}

EPaceStep CPaceRun::WaitUntil(int64_t llTarget, bool bPause, const FPacePoll& poll)
{
    const int64_t llEnd = std::min(llTarget, m_llDeadline);
    int64_t llNow = m_clock.Now();
    const bool bCountdown = llTarget - llNow > kCountdownNs;
    if (llNow < llEnd && m_beforeWait)
        m_beforeWait();
    while (llNow < llEnd) {
        if (llEnd - llNow > kPollSliceNs) {
            const SPaceWait wait { llTarget - llNow, bCountdown, bPause,
                bPause ? m_llRound + 1 : m_llRound };
            if (poll && poll(wait))
                return EPaceStep::Stopped;
            m_clock.SleepUntil(llNow + kPollSliceNs);
        } else {
            m_clock.SleepUntil(llEnd);
        }
        llNow = m_clock.Now();
    }
    return llTarget > llEnd ? EPaceStep::TimeUp : EPaceStep::Go;
}

EPaceStep CPaceRun::BeginRound(const FPacePoll& poll)
{
    if (m_llRound > 0
        && (m_llInRound == 0 || (m_options.llLoops != 0 && m_llRound >= m_options.llLoops)))
        return EPaceStep::Done;
    int64_t llStart = 0;
    if (m_bTimed) {
        const int64_t llNow = m_clock.Now();
        if (m_llRound == 0) {
            llStart = llNow;
            if (m_options.dDurationSeconds > 0)
                m_llDeadline = FarSum(llNow,
                    ClampedNs(static_cast<long double>(m_options.dDurationSeconds) * kNsPerSecond));
        } else {
            // Counted from when the last frame was due, so rounds do not drift
            // either; at a set rate the last frame keeps its own gap too.
            const int64_t llPauseNs = m_options.llLoopPauseMs * 1'000'000;
            llStart = m_options.Paced() ? std::max(llNow, FarSum(m_scheduler.NextDue(), llPauseNs))
                                        : llNow + llPauseNs;
            const EPaceStep eStep = WaitUntil(llStart, true, poll);
            if (eStep != EPaceStep::Go)
                return eStep;
        }
        if (llStart >= m_llDeadline)
            return EPaceStep::TimeUp;
    }
    ++m_llRound;
    m_llInRound = 0;
    m_scheduler.StartRound(llStart);
    return EPaceStep::Go;
}

void CPaceRun::FirstSent(int64_t llHandedNs)
{
    if (!m_options.Paced() || m_llInRound != 1)
        return;
    const int64_t llLate = llHandedNs - m_scheduler.LastDue();
    if (llLate > 0)
        m_scheduler.Shift(llLate);
}

bool CPaceRun::SendNow() const
{
    return m_options.Paced() && m_clock.Now() - m_scheduler.LastDue() < kTogetherNs;
}

EPaceStep CPaceRun::Next(int64_t llStampNs, uint32_t uLength, const FPacePoll& poll)
{
    m_bBackwards = false;
    if (m_options.Paced()) {
        const int64_t llDue = m_scheduler.Due(llStampNs, uLength, &m_bBackwards);
        // Behind (after a stall), the frames catch up with gaps a fifth
        // shorter than asked, not back to back: every gap stays near its own,
        // and none is lost to drift.
        int64_t llTarget = llDue;
        if (m_llInRound > 0) {
            const int64_t llGap = llDue - m_llPrevDue;
            llTarget = std::max(llDue, m_llLastGo + llGap - llGap / kCatchUpShare);
        }
        m_llPrevDue = llDue;
        const EPaceStep eStep = WaitUntil(llTarget, false, poll);
        if (eStep != EPaceStep::Go)
            return eStep;
        m_llLastGo = m_clock.Now();
    } else if (m_llDeadline != INT64_MAX && m_clock.Now() >= m_llDeadline) {
        return EPaceStep::TimeUp;
    }
    ++m_llInRound;
    return EPaceStep::Go;
}

} // namespace velmora
