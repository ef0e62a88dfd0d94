#include "replay/Gate.h"

#include <algorithm>

namespace velmora {

CConverseGate::CConverseGate(
    CConversation& conversation, IPacketSink& sink, IGateEar& ear, IClock& clock, int64_t llSliceNs)
    : m_conversation(conversation)
    , m_sink(sink)
    , m_ear(ear)
    , m_clock(clock)
    , m_llSliceNs(llSliceNs)
{
}

void CConverseGate::Pump(int64_t llWaitNs)
{
    m_heard.clear();
    m_ear.Hear(m_heard, llWaitNs);
    for (const SHeardFrame& f : m_heard)
        m_conversation.Heard(f.bytes.data(), f.bytes.size(), f.llNs);
    m_conversation.Tick();
    for (const std::vector<uint8_t>& f : m_conversation.TakeFrames())
        SendPacket(m_sink, f.data(), static_cast<uint32_t>(f.size()));
    for (SConverseResult& r : m_conversation.TakeResults()) {
        if (m_onResult)
            m_onResult(std::move(r));
        else
            m_results.push_back(std::move(r));
    }
}

bool CConverseGate::WaitSlice(int64_t llUntilNs)
{
    if (m_beforeSlice && m_beforeSlice())
        return true;
    Pump(std::clamp<int64_t>(llUntilNs - m_clock.Now(), 0, m_llSliceNs));
    return false;
}

EConverseGate CConverseGate::Pass(
    uint64_t uRecord, uint8_t* pFrame, uint32_t uLength, SConverseOffered& offered)
{
    for (;;) {
        Pump(0);
        int64_t llUntilNs = 0;
        const EConverseGate eGate
            = m_conversation.Offer(uRecord, pFrame, uLength, llUntilNs, &offered);
        if (eGate != EConverseGate::Wait)
            return eGate;
        if (WaitSlice(llUntilNs)) {
            m_bStopped = true;
            return EConverseGate::Wait;
        }
    }
}

bool CConverseGate::Finish()
{
    while (!m_bStopped && !m_conversation.GaveUp()) {
        Pump(0);
        if (m_conversation.Outstanding() == 0 || m_conversation.GaveUp())
            break;
        if (WaitSlice(m_conversation.NextDeadline()))
            m_bStopped = true;
    }
    return m_bStopped;
}

std::vector<SConverseResult> CConverseGate::TakeResults()
{
    std::vector<SConverseResult> results;
    results.swap(m_results);
    return results;
}

} // namespace velmora
