#pragma once

// The conversation's gate, one of the send loop's steps: it drives a
// CConversation (replay/Converse.h) over the sink the frames leave on and the
// ear the answers come in through. The send loop, the conversation's tests,
// its benchmark and its fuzz target all run this one driver.
//
// Before each offer, and in every slice of a wait, the gate pumps: the frames
// heard go in, the timers run, and what the conversation makes (retries,
// Segment-ACKs, Aborts) goes out on the sink at once. A record the gate lets
// through (Go) is the caller's to send: the batch does that in a Send, so
// that its debug record and send time come as for any other frame.

#include "replay/Converse.h"
#include "replay/Ear.h"
#include "replay/Listen.h"
#include "replay/Replay.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace velmora {

// Where the gate hears: the Send's listener, the ear itself, a script in tests.
class IGateEar {
public:
    virtual ~IGateEar() = default;
    // Waits up to llWaitNs (0: not at all) for frames, and appends every one
    // heard so far to heard, in arrival order.
    virtual void Hear(std::vector<SHeardFrame>& heard, int64_t llWaitNs) = 0;
};

// A listener's tapped frames as the gate's ear.
class CListenerEar final : public IGateEar {
public:
    explicit CListenerEar(CListener& listener)
        : m_listener(listener)
    {
    }
    void Hear(std::vector<SHeardFrame>& heard, int64_t llWaitNs) override
    {
        m_listener.TakeTapped(heard, llWaitNs);
    }

private:
    CListener& m_listener;
};

// The ear itself, read directly (the benchmark's; a Send hears through its listener).
class CDirectEar final : public IGateEar {
public:
    explicit CDirectEar(CEar& ear)
        : m_ear(ear)
    {
    }
    void Hear(std::vector<SHeardFrame>& heard, int64_t llWaitNs) override
    {
        m_ear.Read(heard, static_cast<int>((llWaitNs + 999'999) / 1'000'000));
    }

private:
    CEar& m_ear;
};

class CConverseGate {
public:
    // llSliceNs: the longest a wait goes on without asking the loop (its
    // status at the display's pace, and a stop).
    CConverseGate(CConversation& conversation, IPacketSink& sink, IGateEar& ear, IClock& clock,
        int64_t llSliceNs);
    CConverseGate(const CConverseGate&) = delete;
    CConverseGate& operator=(const CConverseGate&) = delete;

    // Asked before each slice of a wait; true ends the wait as a stop.
    void SetBeforeSlice(std::function<bool()> beforeSlice)
    {
        m_beforeSlice = std::move(beforeSlice);
    }
    // Each request's result as it ends (else they are kept for TakeResults).
    void SetOnResult(std::function<void(SConverseResult&&)> onResult)
    {
        m_onResult = std::move(onResult);
    }

    // Hears for up to llWaitNs, runs the timers and sends what they made.
    void Pump(int64_t llWaitNs);
    // Offers one record (the loop's copy, already aimed) until the
    // conversation lets it go or not: Go, Skip or GaveUp. Wait only when a
    // stop ended the wait (Stopped() then says so).
    EConverseGate Pass(
        uint64_t uRecord, uint8_t* pFrame, uint32_t uLength, SConverseOffered& offered);
    // After the last record: pumps until no answer is owed, the conversation
    // gave up, or a stop (then true).
    bool Finish();
    bool Stopped() const { return m_bStopped; }
    // The results not handed to SetOnResult's function, in the order they ended.
    std::vector<SConverseResult> TakeResults();

private:
    // One slice of a wait until llUntilNs; true when the loop asked for a stop.
    bool WaitSlice(int64_t llUntilNs);

    CConversation& m_conversation;
    IPacketSink& m_sink;
    IGateEar& m_ear;
    IClock& m_clock;
    int64_t m_llSliceNs;
    std::function<bool()> m_beforeSlice;
    std::function<void(SConverseResult&&)> m_onResult;
    std::vector<SHeardFrame> m_heard;
    std::vector<SConverseResult> m_results;
    bool m_bStopped = false;
};

} // namespace velmora
