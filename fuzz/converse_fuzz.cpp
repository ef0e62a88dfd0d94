// Any bytes as a conversation: the input is split at each 0xff 0xfe pair into
// pieces; a piece whose first byte is even offers the rest as a record to
// send, an odd one has the rest heard, and every third frame lets the clock run past a time-out.
// No crash, no read or write outside a frame (the sanitizers watch), no
// frame made shorter than an Ethernet header, nothing left outstanding after
// a stop. The frame editor's rule: an offered request whose checksums were
// right has them right after its new invoke ID, at the place the gate names,
// and every Segment-ACK and Abort the conversation makes has both right and
// 60 bytes or more.

#include "decode/FrameEdit.h"
#include "replay/Converse.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

class CStepClock final : public velmora::IClock {
public:
    int64_t Now() override { return llNow; }
    void SleepUntil(int64_t llDeadlineNs) override
    {
        llNow = llDeadlineNs > llNow ? llDeadlineNs : llNow;
    }
    int64_t llNow = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    std::vector<std::vector<uint8_t>> frames(1);
    for (size_t i = 0; i < nSize; ++i) {
        if (i + 1 < nSize && pData[i] == 0xff && pData[i + 1] == 0xfe) {
            frames.emplace_back();
            ++i;
            continue;
        }
        frames.back().push_back(pData[i]);
    }
    CStepClock clock;
    velmora::SConverseOptions options;
    options.iWindow = 2;
    options.iRetries = 1;
    options.iGiveUp = 3;
    velmora::CConversation conversation(options, clock);
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].empty())
            continue;
        const bool bHeard = frames[i][0] & 1;
        std::vector<uint8_t> frame(frames[i].begin() + 1, frames[i].end());
        if (bHeard) {
            conversation.Heard(frame.data(), frame.size(), static_cast<int64_t>(i));
        } else {
            int64_t llUntil = 0;
            const std::vector<uint8_t> before(frame);
            velmora::SConverseOffered offered;
            conversation.Offer(
                i, frame.data(), static_cast<uint32_t>(frame.size()), llUntil, &offered);
            const bool bWasRight
                = !velmora::frame::CheckFrame(before.data(), before.size()).AnyWrong();
            if (bWasRight && velmora::frame::CheckFrame(frame.data(), frame.size()).AnyWrong())
                std::abort();
            if (offered.iInvokeAt >= 0) {
                const size_t nAt = static_cast<size_t>(offered.iInvokeAt);
                if (nAt >= frame.size() || before[nAt] != offered.uCapturedInvokeId)
                    std::abort();
            } else if (frame != before) {
                std::abort();
            }
        }
        if (i % 3 == 2)
            clock.SleepUntil(clock.llNow + 3'000'000'001);
        conversation.Tick();
        for (const std::vector<uint8_t>& made : conversation.TakeFrames()) {
            if (made.size() < 14)
                std::abort();
            // Segment-ACKs and Aborts are ours; a retry is the request as it went.
            const velmora::frame::SFrameLayout layout
                = velmora::frame::LocateFrame(made.data(), made.size());
            const uint8_t uType = layout.uApduAt ? made[layout.uApduAt] >> 4 : 0;
            if ((uType == 4 || uType == 7)
                && (made.size() < 60
                    || velmora::frame::CheckFrame(made.data(), made.size()).AnyWrong()))
                std::abort();
        }
        conversation.TakeResults();
        conversation.Progress();
    }
    conversation.StopAll();
    if (conversation.Outstanding() != 0)
        std::abort();
    return 0;
}
