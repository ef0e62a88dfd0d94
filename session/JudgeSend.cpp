#include "session/JudgeSend.h"

#include "decode/Frame.h"
#include "judge/Bacnet.h"
#include "log/Log.h"
#include "session/CompareRules.h"

#include <algorithm>
#include <pcap/pcap.h>

namespace velmora {

bool ReadCaptureForJudging(
    const std::string& csPath, std::vector<judge::SJudgedFrame>& frames, std::string& csError)
{
    frames.clear();
    // The same reader as the Send's, so that both see the same records.
    const std::unique_ptr<CLocalCapture> pCapture
        = OpenCaptureStream(csPath, true, kPacedReadBuffer);
    if (!pCapture) {
        csError = csPath + ": cannot be read as a capture";
        return false;
    }
    const pcap_pkthdr* pHeader = nullptr;
    const u_char* pData = nullptr;
    const bool bEthernet = pCapture->DataLink() == DLT_EN10MB;
    for (uint64_t u = 0; bEthernet && pCapture->Next(pHeader, pData) == 1; ++u) {
        if (judge::ParseBacnet(pData, pHeader->caplen).eApdu == judge::EApdu::NotBacnet
            && !frame::LocateFrame(pData, pHeader->caplen).IsBacnet())
            continue;
        judge::SJudgedFrame f;
        f.uRecord = u;
        f.llNs = int64_t(pHeader->ts.tv_sec) * 1000000000 + pHeader->ts.tv_usec;
        f.bytes.assign(pData, pData + pHeader->caplen);
        frames.push_back(std::move(f));
    }
    return true;
}

std::vector<judge::SJudgedFrame> JudgedRequests(const std::vector<SSentRequest>& requests)
{
    std::vector<judge::SJudgedFrame> frames;
    frames.reserve(requests.size());
    for (const SSentRequest& r : requests) {
        judge::SJudgedFrame f;
        f.uRecord = r.uRecord;
        f.llNs = r.llNs;
        f.bytes = r.bytes;
        f.llEarliestNs = r.llEarliestNs;
        f.uRound = r.uRound;
        f.iInvokeAt = r.iInvokeAt;
        f.uCapturedInvokeId = r.uCapturedInvokeId;
        frames.push_back(std::move(f));
    }
    return frames;
}

std::vector<judge::SJudgedFrame> JudgedHeard(const std::vector<SHeardFrame>& heard)
{
    std::vector<judge::SJudgedFrame> frames;
    frames.reserve(heard.size());
    for (const SHeardFrame& h : heard) {
        judge::SJudgedFrame f;
        f.llNs = h.llNs;
        f.bytes = h.bytes;
        f.iSegments = h.iSegments;
        frames.push_back(std::move(f));
    }
    return frames;
}

judge::SJudgement JudgeSend(const SReplayRequest& request, const SReplayResult& result)
{
    if (result.NotSent() || !result.listen.bListened)
        return {};
    std::vector<judge::SJudgedFrame> capture;
    std::string csError;
    const std::vector<judge::SJudgedFrame> requests = JudgedRequests(result.listen.requests);
    if (!request.listen.csExpectFile.empty()) {
        if (!ReadCaptureForJudging(request.listen.csExpectFile, capture, csError))
            return judge::Judge(
                requests, JudgedHeard(result.listen.heard), nullptr, request.aim.devices);
        judge::CBaseline baseline(std::move(capture));
        const std::vector<std::vector<size_t>> recorded = baseline.Pair(requests);
        judge::SCompareRules rules;
        LoadCompareRules(request.listen, rules, csError); // checked before the Send
        return judge::Judge(requests, JudgedHeard(result.listen.heard), &baseline.Frames(),
            request.aim.devices, rules, &recorded);
    }
    const bool bCapture
        = request.listen.bExpectCaptured && ReadCaptureForJudging(request.csPath, capture, csError);
    judge::SCompareRules rules;
    LoadCompareRules(request.listen, rules, csError); // checked before the Send
    return judge::Judge(requests, JudgedHeard(result.listen.heard), bCapture ? &capture : nullptr,
        request.aim.devices, rules);
}

CListenJudge::CListenJudge(const SReplayRequest& request, FLine onLine, size_t nKeep)
    : m_onLine(std::move(onLine))
    , m_nKeep(nKeep)
    , m_devices(request.aim.devices)
{
    if (!Setup(request))
        return;
    std::string csError;
    m_bCapture = request.listen.bExpectCaptured
        && ReadCaptureForJudging(request.csPath, m_capture, csError);
    m_pCapture = m_bCapture ? &m_capture : nullptr;
}

CListenJudge::CListenJudge(
    const SReplayRequest& request, FLine onLine, size_t nKeep, FCapture capture)
    : m_onLine(std::move(onLine))
    , m_nKeep(nKeep)
    , m_devices(request.aim.devices)
{
    if (Setup(request) && request.listen.bExpectCaptured)
        m_getCapture = std::move(capture);
}

bool CListenJudge::Setup(const SReplayRequest& request)
{
    const SConverseOptions& c = request.listen.converse;
    m_llAnswerNs = request.listen.Conversing()
        ? c.llApduTimeoutMs * (c.iRetries + 1) * 1000000
        : static_cast<int64_t>(request.listen.wait.count()) * 1000000;
    std::string csError;
    LoadCompareRules(request.listen, m_rules, csError); // checked before the Send
    if (request.listen.csExpectFile.empty())
        return true;
    std::vector<judge::SJudgedFrame> baseline;
    if (ReadCaptureForJudging(request.listen.csExpectFile, baseline, csError))
        m_pBaseline = std::make_unique<judge::CBaseline>(std::move(baseline));
    return false;
}

void CListenJudge::Add(SListenChunk& chunk)
{
    for (SHeardFrame& f : chunk.heard) {
        // The devices that announced themselves, for the clue (a few suffice).
        if (m_announced.size() < kAnnouncedKept) {
            const judge::SBacnetFrame parsed = judge::ParseBacnet(f.bytes.data(), f.bytes.size());
            if (parsed.eApdu == judge::EApdu::UnconfirmedRequest && parsed.uService == judge::kIAm)
                m_announced.push_back(f);
        }
        size_t nAt = SIZE_MAX;
        if (m_kept.size() < m_nKeep) {
            nAt = m_kept.size();
            m_kept.push_back(f);
        }
        m_keptAt.push_back(nAt);
        m_window.push_back(std::move(f));
    }
    chunk.heard.clear();
    // The round before has now had the next round's time for late answers
    // (and frames heard in a round without requests go too).
    JudgePending();
    m_pending = std::move(chunk.requests);
    chunk.requests.clear();
    m_nOlder = m_window.size();
    if (chunk.bLast) {
        m_nOlder = 0; // nothing more comes: every frame left is the last round's
        JudgePending(true, chunk.bStopped ? chunk.llStopNs : 0);
        m_window.clear();
        m_keptAt.clear();
    }
}

void CListenJudge::JudgePending(bool bLast, int64_t llStopNs)
{
    if (m_getCapture) {
        m_pCapture = m_getCapture();
        m_getCapture = nullptr;
    }
    if (m_pCapture && !m_pRecorded)
        m_pRecorded = std::make_unique<judge::CRecordedAnswers>(*m_pCapture);
    const std::vector<judge::SJudgedFrame> requests = JudgedRequests(m_pending);
    judge::SJudgement j;
    if (m_pBaseline) {
        const std::vector<std::vector<size_t>> recorded = m_pBaseline->Pair(requests);
        j = judge::Judge(
            requests, JudgedHeard(m_window), &m_pBaseline->Frames(), m_devices, m_rules, &recorded);
    } else {
        j = judge::JudgeRound(
            requests, JudgedHeard(m_window), m_pRecorded.get(), m_devices, m_rules);
    }
    judge::MarkStopped(j, llStopNs, m_llAnswerNs);
    // An answer no request took is left over once it leaves the window
    // (the newest chunk's stay for the next round's requests).
    for (size_t i : j.unpaired)
        m_total.nUnpaired += bLast || i < m_nOlder ? 1 : 0;
    std::vector<bool> taken(m_window.size(), false);
    for (const judge::SJudgeLine& line : j.lines) {
        const bool bAnswer = line.bAnswered && line.nAnswer < m_window.size();
        if (bAnswer && line.bConfirmed)
            taken[line.nAnswer] = true;
        if (m_onLine)
            m_onLine(line, bAnswer ? &m_window[line.nAnswer] : nullptr);
        const bool bKeep
            = m_total.lines.size() < m_nKeep && (!bAnswer || m_keptAt[line.nAnswer] != SIZE_MAX);
        if (!bKeep) {
            ++m_nNotKept;
            continue;
        }
        judge::SJudgeLine kept = line;
        kept.nRequest += m_nRequestsBefore;
        if (bAnswer)
            kept.nAnswer = m_keptAt[line.nAnswer];
        m_total.lines.push_back(std::move(kept));
    }
    m_nRequestsBefore += m_pending.size();
    m_total.nRequests += j.nRequests;
    m_total.nConfirmed += j.nConfirmed;
    m_total.nAnswered += j.nAnswered;
    m_total.nUnanswered += j.nUnanswered;
    m_total.nDiffers += j.nDiffers;
    m_total.nNoRecord += j.nNoRecord;
    m_total.nOk += j.nOk;
    m_total.nValueChanged += j.nValueChanged;
    m_total.nStopped += j.nStopped;
    m_total.nRoutedUnanswered += j.nRoutedUnanswered;
    m_total.nBroadcastUnanswered += j.nBroadcastUnanswered;
    m_total.nAnsweredOnly += j.nAnsweredOnly;
    m_total.uRounds = std::max(m_total.uRounds, j.uRounds);
    m_total.bConfirmedFailed = m_total.bConfirmedFailed || j.bConfirmedFailed;
    // A uniform sample keeps the median honest without keeping every time.
    for (int64_t ll : j.roundTripsNs) {
        ++m_uRoundTrips;
        if (m_total.roundTripsNs.size() < kRoundTripSample) {
            m_total.roundTripsNs.push_back(ll);
            continue;
        }
        m_uSeed ^= m_uSeed << 13;
        m_uSeed ^= m_uSeed >> 7;
        m_uSeed ^= m_uSeed << 17;
        const uint64_t u = m_uSeed % m_uRoundTrips;
        if (u < kRoundTripSample)
            m_total.roundTripsNs[static_cast<size_t>(u)] = ll;
    }
    m_pending.clear();
    // The older frames go, and those taken; the newest chunk's stay for the
    // next round.
    std::vector<SHeardFrame> window;
    std::vector<size_t> keptAt;
    for (size_t i = m_nOlder; i < m_window.size(); ++i) {
        if (taken[i])
            continue;
        window.push_back(std::move(m_window[i]));
        keptAt.push_back(m_keptAt[i]);
    }
    m_window = std::move(window);
    m_keptAt = std::move(keptAt);
}

} // namespace velmora
