#pragma once

#include "replay/Clock.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace vtest {

// Time that moves only when slept on: every sleep ends llOvershootNs late, as
// a real one may, and is recorded.
class CFakeClock final : public velmora::IClock {
public:
    explicit CFakeClock(int64_t llStartNs = 0)
        : llNow(llStartNs)
    {
    }
    int64_t Now() override
    {
        const int64_t ll = llNow;
        llNow += llPerReadNs;
        return ll;
    }
    void SleepUntil(int64_t llDeadlineNs) override
    {
        sleeps.push_back(llDeadlineNs);
        llNow = std::max(llNow, llDeadlineNs) + llOvershootNs;
    }

    int64_t llNow;
    int64_t llOvershootNs = 0;
    int64_t llPerReadNs = 0; // how far each reading moves the time (work between sends)
    std::vector<int64_t> sleeps; // deadlines asked for
};

} // namespace vtest
