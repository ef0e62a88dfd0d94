#include "judge/Baseline.h"

#include "decode/Frame.h"

#include <algorithm>

namespace velmora::judge {

namespace {

    // The service data of an APDU: where it starts, after the fixed header
    // its type gives it (segment fields when the SEG bit is set).
    struct SService {
        bool bOk = false;
        uint8_t uType = 0;
        uint8_t uService = 0;
        const uint8_t* pData = nullptr;
        size_t nLength = 0;
    };

    SService ServiceOf(const std::vector<uint8_t>& frame)
    {
        SService s;
        const frame::SFrameLayout at = frame::LocateFrame(frame.data(), frame.size());
        if (!at.IsBacnet() || at.uApduAt == 0 || at.uApduAt >= at.uEnd || at.uEnd > frame.size())
            return s;
        const uint8_t* p = frame.data() + at.uApduAt;
        const size_t n = at.uEnd - at.uApduAt;
        s.uType = p[0] >> 4;
        const bool bSegmented = (p[0] & 0x08) != 0;
        size_t nHeader = 0;
        switch (s.uType) {
        case 0: // confirmed request: type, max segments/APDU, invoke ID
            nHeader = bSegmented ? 5 : 3;
            break;
        case 1: // unconfirmed request
            nHeader = 1;
            break;
        case 2: // SimpleACK
        case 5: // Error
            nHeader = 2;
            break;
        case 3: // ComplexACK
            nHeader = bSegmented ? 4 : 2;
            break;
        default: // Reject and Abort name no service
            return s;
        }
        if (n <= nHeader)
            return s;
        s.bOk = true;
        s.uService = p[nHeader];
        s.pData = p + nHeader + 1;
        s.nLength = n - nHeader - 1;
        return s;
    }

    bool IsQuery(const SBacnetFrame& f)
    {
        return (f.eApdu == EApdu::UnconfirmedRequest
                   && (f.uService == kWhoIs || f.uService == kWhoHas))
            || (f.eApdu == EApdu::NetworkMessage && f.uNetworkMessage == kWhoIsRouterToNetwork);
    }

    bool StartsWith(const SService& a, const uint8_t* p, size_t n)
    {
        return a.nLength >= n && std::equal(p, p + n, a.pData);
    }

} // namespace

std::string QuestionKey(const std::vector<uint8_t>& frame)
{
    const SBacnetFrame f = ParseBacnet(frame.data(), frame.size());
    if (f.eApdu == EApdu::NetworkMessage && f.uNetworkMessage == kWhoIsRouterToNetwork) {
        const frame::SFrameLayout at = frame::LocateFrame(frame.data(), frame.size());
        std::string cs = "n";
        if (at.uNetworkMessageAt > 0 && at.uNetworkMessageAt < at.uEnd && at.uEnd <= frame.size())
            cs.append(reinterpret_cast<const char*>(frame.data() + at.uNetworkMessageAt),
                at.uEnd - at.uNetworkMessageAt);
        return cs;
    }
    if (f.eApdu != EApdu::ConfirmedRequest && f.eApdu != EApdu::UnconfirmedRequest)
        return std::string();
    const SService s = ServiceOf(frame);
    if (!s.bOk)
        return std::string();
    std::string cs(1, static_cast<char>('0' + s.uType));
    cs += static_cast<char>(s.uService);
    cs.append(reinterpret_cast<const char*>(s.pData), s.nLength);
    return cs;
}

CBaseline::CBaseline(std::vector<SJudgedFrame> frames)
    : m_frames(std::move(frames))
{
    m_parsed.reserve(m_frames.size());
    std::vector<SJudgedFrame> requests;
    std::vector<size_t> requestAt;
    for (size_t i = 0; i < m_frames.size(); ++i) {
        m_parsed.push_back(ParseBacnet(m_frames[i].bytes.data(), m_frames[i].bytes.size()));
        const SBacnetFrame& f = m_parsed.back();
        if (f.eApdu == EApdu::ConfirmedRequest || IsQuery(f)) {
            requests.push_back(m_frames[i]);
            requestAt.push_back(i);
        }
    }
    m_taken.assign(m_frames.size(), false);
    m_bRequests = std::any_of(requestAt.begin(), requestAt.end(),
        [this](size_t i) { return m_parsed[i].eApdu == EApdu::ConfirmedRequest; });
    if (!m_bRequests)
        return;
    // The baseline paired within itself, as the wire is: its requests, and
    // every frame of it heard.
    std::vector<SJudgedFrame> heard = m_frames;
    for (SJudgedFrame& h : heard)
        h.iSegments = 0;
    const SJudgement j = Judge(requests, heard, nullptr);
    for (const SJudgeLine& line : j.lines) {
        if (line.bAnswered)
            m_answersOf[requestAt[line.nRequest]].push_back(line.nAnswer);
    }
    for (size_t n = 0; n < requests.size(); ++n)
        m_byQuestion[QuestionKey(requests[n].bytes)].push_back(requestAt[n]);
}

std::vector<std::vector<size_t>> CBaseline::Pair(const std::vector<SJudgedFrame>& requests)
{
    std::vector<std::vector<size_t>> out(requests.size());
    for (size_t n = 0; n < requests.size(); ++n) {
        const std::vector<uint8_t>& bytes = requests[n].bytes;
        const SBacnetFrame r = ParseBacnet(bytes.data(), bytes.size());
        const bool bConfirmed = r.eApdu == EApdu::ConfirmedRequest;
        if (!bConfirmed && !IsQuery(r))
            continue;
        const std::string csKey = QuestionKey(bytes);
        if (m_bRequests) {
            auto it = m_byQuestion.find(csKey);
            if (it == m_byQuestion.end())
                continue;
            const size_t nAsked = m_asked[csKey]++;
            const size_t iRequest = it->second[nAsked % it->second.size()];
            auto at = m_answersOf.find(iRequest);
            if (at != m_answersOf.end())
                out[n] = at->second;
            continue;
        }
        if (!bConfirmed) {
            // Every announcement of the baseline that fits the query.
            for (size_t i = 0; i < m_frames.size(); ++i) {
                const SBacnetFrame& a = m_parsed[i];
                const bool bKind = r.eApdu == EApdu::NetworkMessage
                    ? a.eApdu == EApdu::NetworkMessage && a.uNetworkMessage == kIAmRouterToNetwork
                    : a.eApdu == EApdu::UnconfirmedRequest
                        && a.uService == (r.uService == kWhoIs ? kIAm : kIHave);
                if (!bKind)
                    continue;
                if (r.uService == kWhoIs && r.bHasLimits
                    && (!a.bHasDevice || a.uDeviceInstance < r.uLowLimit
                        || a.uDeviceInstance > r.uHighLimit))
                    continue;
                out[n].push_back(i);
            }
            continue;
        }
        const SService q = ServiceOf(bytes);
        // Heard at all (an I-Am will do): then only its answers are its.
        const bool bHeardDevice
            = std::any_of(m_parsed.begin(), m_parsed.end(), [&](const SBacnetFrame& a) {
                  return a.eApdu != EApdu::NotBacnet && BacnetSource(a) == r.linkDestination;
              });
        // The first answer not yet taken that fits, in the baseline's order.
        // An ACK that can repeat the question's first object must: a
        // ReadProperty-ACK or ReadPropertyMultiple-ACK of another object
        // answered another request.
        const bool bEchoes = q.bOk && q.nLength >= 5 && q.pData[0] == 0x0c;
        size_t nBest = SIZE_MAX;
        for (size_t i = 0; i < m_frames.size() && nBest == SIZE_MAX; ++i) {
            const SBacnetFrame& a = m_parsed[i];
            if (m_taken[i] || !IsAnswer(a) || a.bIp != r.bIp)
                continue;
            if (bHeardDevice && BacnetSource(a) != r.linkDestination)
                continue;
            // The first segment of a segmented answer stands for it.
            if (a.eApdu == EApdu::ComplexAck && a.bSegmented && a.uSequence > 0)
                continue;
            bool bFits = a.eApdu == EApdu::Reject || a.eApdu == EApdu::Abort;
            if (!bFits && a.uService == r.uService)
                bFits = a.eApdu != EApdu::ComplexAck || !bEchoes
                    || StartsWith(ServiceOf(m_frames[i].bytes), q.pData, 5);
            if (bFits)
                nBest = i;
        }
        if (nBest != SIZE_MAX) {
            m_taken[nBest] = true;
            out[n].push_back(nBest);
        }
    }
    return out;
}

} // namespace velmora::judge
