// Any bytes as a conversation through the send loop's gate: the input is
// split at each 0xff 0xfe pair into pieces; a piece whose first byte is even
// is offered as a record to send (the gate waits, hearing and letting the
// clock run, until it may go), an odd one is heard, and every third piece
// lets the clock run past a time-out. No crash, no read or write outside a
// frame (the sanitizers watch), no frame made shorter than an Ethernet
// header, nothing left outstanding after a stop. The frame editor's rule: an
// offered request whose checksums were right has them right after its new
// invoke ID, at the place the gate names, and every Segment-ACK and Abort the
// conversation makes has both right and 60 bytes or more.

#include "decode/FrameEdit.h"
#include "replay/Gate.h"

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

// Hears the pieces queued for it; a wait lets the clock run by the whole wait.
class CQueueEar final : public velmora::IGateEar {
public:
    explicit CQueueEar(CStepClock& clock)
        : m_clock(clock)
    {
    }
    void Hear(std::vector<velmora::SHeardFrame>& heard, int64_t llWaitNs) override
    {
        if (queued.empty() && llWaitNs > 0)
            m_clock.SleepUntil(m_clock.llNow + llWaitNs);
        for (std::vector<uint8_t>& f : queued) {
            velmora::SHeardFrame h;
            h.llNs = m_clock.llNow;
            h.bytes = std::move(f);
            heard.push_back(std::move(h));
        }
        queued.clear();
    }
    std::vector<std::vector<uint8_t>> queued;

private:
    CStepClock& m_clock;
};

// Checks each frame the conversation makes as it leaves.
class CCheckingSink final : public velmora::IPacketSink {
public:
    bool Open(const std::string&, std::string&) override { return true; }
    bool IsOpen() const override { return true; }
    bool Transmit(const unsigned char* pData, uint32_t uLength) override
    {
        if (uLength < 14)
            std::abort();
        // Segment-ACKs and Aborts are ours; a retry is the request as it went.
        const velmora::frame::SFrameLayout layout = velmora::frame::LocateFrame(pData, uLength);
        const uint8_t uType = layout.uApduAt ? pData[layout.uApduAt] >> 4 : 0;
        if ((uType == 4 || uType == 7)
            && (uLength < 60 || velmora::frame::CheckFrame(pData, uLength).AnyWrong()))
            std::abort();
        return true;
    }
    std::string ErrorText() override { return {}; }
    void Close() override { }
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
    CQueueEar ear(clock);
    CCheckingSink sink;
    // Slices of a second: few turns of the gate per time-out.
    velmora::CConverseGate gate(conversation, sink, ear, clock, 1'000'000'000);
    for (size_t i = 0; i < frames.size() && !conversation.GaveUp(); ++i) {
        if (frames[i].empty())
            continue;
        const bool bHeard = frames[i][0] & 1;
        std::vector<uint8_t> frame(frames[i].begin() + 1, frames[i].end());
        if (bHeard) {
            ear.queued.push_back(std::move(frame));
            gate.Pump(0);
        } else {
            const std::vector<uint8_t> before(frame);
            velmora::SConverseOffered offered;
            const velmora::EConverseGate eGate
                = gate.Pass(i, frame.data(), static_cast<uint32_t>(frame.size()), offered);
            if (eGate == velmora::EConverseGate::Wait)
                std::abort(); // nothing asks the gate to stop
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
        if (i % 3 == 2) {
            clock.SleepUntil(clock.llNow + 3'000'000'001);
            gate.Pump(0);
        }
        gate.TakeResults();
        conversation.Progress();
    }
    if (gate.Finish())
        std::abort();
    conversation.StopAll();
    if (conversation.Outstanding() != 0)
        std::abort();
    return 0;
}
