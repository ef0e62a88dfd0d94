#include "replay/Clock.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sys/prctl.h>

namespace velmora {

namespace {

    constexpr int64_t kNsPerSecond = 1'000'000'000;

} // namespace

CMonotonicClock::CMonotonicClock()
{
    const int i = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (i > 0 && ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0)
        m_lOldSlack = i;
}

CMonotonicClock::~CMonotonicClock()
{
    if (m_lOldSlack > 0)
        ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(m_lOldSlack), 0, 0, 0);
}

int64_t CMonotonicClock::Now()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

void CMonotonicClock::SleepUntil(int64_t llDeadlineNs)
{
    if (llDeadlineNs - Now() > m_llSpinNs) {
        const int64_t llWake = llDeadlineNs - m_llSpinNs;
        timespec ts {};
        ts.tv_sec = static_cast<time_t>(llWake / kNsPerSecond);
        ts.tv_nsec = static_cast<long>(llWake % kNsPerSecond);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) { }
        // Late wake-ups widen the spin at once; early ones narrow it by a sixteenth.
        const int64_t llLate = Now() - llWake;
        if (llLate + kSpinNs / 4 > m_llSpinNs)
            m_llSpinNs = std::min(kMaxSpinNs, llLate + kSpinNs / 2);
        else
            m_llSpinNs = std::max(kSpinNs, m_llSpinNs - (m_llSpinNs - llLate) / 16);
    }
    while (Now() < llDeadlineNs) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

} // namespace velmora
