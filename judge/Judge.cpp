#include "judge/Judge.h"

#include "decode/Decoder.h"
#include "decode/Segments.h"
#include "decode/Text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_map>
#include <unordered_set>

namespace velmora::judge {

namespace {

    // Answers to an unconfirmed request or router query, by kind.
    enum class EQuery { None, WhoIs, WhoHas, RouterQuery };

    EQuery QueryOf(const SBacnetFrame& f)
    {
        if (f.eApdu == EApdu::UnconfirmedRequest && f.uService == kWhoIs)
            return EQuery::WhoIs;
        if (f.eApdu == EApdu::UnconfirmedRequest && f.uService == kWhoHas)
            return EQuery::WhoHas;
        if (f.eApdu == EApdu::NetworkMessage && f.uNetworkMessage == kWhoIsRouterToNetwork)
            return EQuery::RouterQuery;
        return EQuery::None;
    }

    EQuery AnswerOf(const SBacnetFrame& f)
    {
        if (f.eApdu == EApdu::UnconfirmedRequest && f.uService == kIAm)
            return EQuery::WhoIs;
        if (f.eApdu == EApdu::UnconfirmedRequest && f.uService == kIHave)
            return EQuery::WhoHas;
        if (f.eApdu == EApdu::NetworkMessage && f.uNetworkMessage == kIAmRouterToNetwork)
            return EQuery::RouterQuery;
        return EQuery::None;
    }

    bool AnswersQuery(const SBacnetFrame& r, const SBacnetFrame& a)
    {
        const EQuery e = QueryOf(r);
        if (e == EQuery::None || AnswerOf(a) != e || a.bIp != r.bIp)
            return false;
        // Sent to one remote network: the answer must come from it.
        if (e != EQuery::RouterQuery && r.bHasDnet && r.uDnet != 0xffff
            && !(a.bHasSnet && a.uSnet == r.uDnet))
            return false;
        if (r.bHasLimits
            && (!a.bHasDevice || a.uDeviceInstance < r.uLowLimit
                || a.uDeviceInstance > r.uHighLimit))
            return false;
        return true;
    }

    std::string Info(const std::vector<uint8_t>& bytes)
    {
        dissect::SFrame frame;
        frame.pData = bytes.data();
        frame.header.uCapLen = static_cast<uint32_t>(bytes.size());
        frame.header.uWireLen = frame.header.uCapLen;
        frame.bChecksums = false; // the judge reads BACnet, not how a kernel takes it
        return dissect::DecodeRow(frame).csInfo;
    }

    // The kind of an answer as a reader sees it: its Info text without the
    // invoke ID, and without the values of an ACK.
    std::string KindText(const SBacnetFrame& f, const std::string& csInfo)
    {
        std::string cs = csInfo;
        const size_t nOpen = cs.find('[');
        const size_t nClose = cs.find(']', nOpen == std::string::npos ? 0 : nOpen);
        if (nOpen != std::string::npos && nClose != std::string::npos) {
            if (f.eApdu == EApdu::ComplexAck)
                return cs.substr(0, nOpen);
            cs.erase(nOpen, nClose + 1 - nOpen);
        }
        return cs;
    }

    bool SameKind(const SBacnetFrame& a, const SBacnetFrame& b)
    {
        const bool bAckA = a.eApdu == EApdu::SimpleAck || a.eApdu == EApdu::ComplexAck;
        const bool bAckB = b.eApdu == EApdu::SimpleAck || b.eApdu == EApdu::ComplexAck;
        if (bAckA || bAckB)
            return bAckA && bAckB && a.uService == b.uService;
        if (a.eApdu != b.eApdu)
            return false;
        if (a.eApdu == EApdu::Error)
            return a.uService == b.uService && a.bHasErrorCodes == b.bHasErrorCodes
                && a.uErrorClass == b.uErrorClass && a.uErrorCode == b.uErrorCode;
        return a.uReason == b.uReason;
    }

    // Pairs requests with answers among frames, each answer used once.
    class CPairer {
    public:
        explicit CPairer(const std::vector<SJudgedFrame>& frames)
            : m_frames(frames)
        {
            m_parsed.reserve(frames.size());
            m_taken.assign(frames.size(), false);
            m_bWhole = std::any_of(frames.begin(), frames.end(),
                [](const SJudgedFrame& f) { return f.iSegments > 0; });
            for (size_t i = 0; i < frames.size(); ++i) {
                m_parsed.push_back(ParseBacnet(frames[i].bytes.data(), frames[i].bytes.size()));
                const SBacnetFrame& p = m_parsed.back();
                if (m_bWhole && p.eApdu == EApdu::ComplexAck && p.bSegmented)
                    continue;
                if (IsAnswer(p))
                    m_byInvokeId[m_parsed.back().uInvokeId].push_back(i);
            }
        }
        const SBacnetFrame& Parsed(size_t i) const { return m_parsed[i]; }
        // The bench device's answers read as the captured device's.
        void MapBack(const std::vector<frame::SDeviceMap>& devices)
        {
            for (SBacnetFrame& f : m_parsed)
                for (const frame::SDeviceMap& m : devices)
                    if (f.bHasDevice && f.uDeviceInstance == m.uNew) {
                        f.uDeviceInstance = m.uOld;
                        break;
                    }
        }
        size_t Size() const { return m_frames.size(); }
        // An answer left for no request: one that could answer (a segmented
        // ComplexACK at its first segment only), taken by none.
        bool Unpaired(size_t i) const
        {
            const SBacnetFrame& a = m_parsed[i];
            if (m_taken[i] || !IsAnswer(a))
                return false;
            if (a.eApdu == EApdu::ComplexAck && a.bSegmented && (m_bWhole || a.uSequence > 0))
                return false;
            return true;
        }

        // The first untaken answer to r after nAfter (an index into the
        // frames, for a capture) or heard at or after llNs (for the wire).
        // On the wire, llBeforeNs (0: none) is when the request's invoke ID
        // went out again to the same device: an answer after it is the later one's.
        bool TakeConfirmed(const SBacnetFrame& r, size_t nAfter, int64_t llNs, bool bByTime,
            size_t& nFound, int64_t llBeforeNs = 0)
        {
            auto it = m_byInvokeId.find(r.uInvokeId);
            if (it == m_byInvokeId.end())
                return false;
            for (size_t i : it->second) {
                if (m_taken[i] || (!bByTime && i <= nAfter)
                    || (bByTime && llNs != 0 && m_frames[i].llNs != 0 && m_frames[i].llNs < llNs)
                    || (bByTime && llBeforeNs != 0 && m_frames[i].llNs >= llBeforeNs))
                    continue;
                if (AnswersConfirmed(r, m_parsed[i])) {
                    m_taken[i] = true;
                    nFound = i;
                    return true;
                }
            }
            return false;
        }

    private:
        const std::vector<SJudgedFrame>& m_frames;
        std::vector<SBacnetFrame> m_parsed;
        std::vector<bool> m_taken;
        bool m_bWhole = false; // segmented answers come reassembled too
        std::unordered_map<uint8_t, std::vector<size_t>> m_byInvokeId;
    };

    std::string StationKey(char cKind, const SStation& s)
    {
        std::string cs(1, cKind);
        cs += static_cast<char>(s.uLength);
        cs.append(reinterpret_cast<const char*>(s.bytes.data()), s.uLength);
        return cs;
    }
    std::string NetworkKey(uint16_t uNet, const SStation& s)
    {
        std::string cs = StationKey('n', s);
        cs += static_cast<char>(uNet >> 8);
        cs += static_cast<char>(uNet);
        return cs;
    }

    // The ways back from a confirmed request's device to where it came from,
    // as AnswersConfirmed allows them, for finding the answers sent to us.
    class CWaysBack {
    public:
        void Add(const SBacnetFrame& r)
        {
            const std::string csFrom
                = r.bHasDnet ? NetworkKey(r.uDnet, r.dadr) : StationKey('l', r.linkDestination);
            const std::string csIp(1, r.bIp ? 'i' : 'e');
            m_ways.insert(csIp + StationKey('l', BacnetSource(r)) + "|" + csFrom);
            if (r.bHasSnet)
                m_ways.insert(csIp + NetworkKey(r.uSnet, r.sadr) + "|" + csFrom);
        }
        // Does a come from a device a request went to, to where that came from?
        bool Back(const SBacnetFrame& a) const
        {
            const std::string csIp(1, a.bIp ? 'i' : 'e');
            std::vector<std::string> to { StationKey('l', a.linkDestination) };
            if (a.bHasDnet)
                to.push_back(NetworkKey(a.uDnet, a.dadr));
            std::vector<std::string> from { StationKey('l', BacnetSource(a)) };
            if (a.bHasSnet)
                from.push_back(NetworkKey(a.uSnet, a.sadr));
            for (const std::string& csTo : to)
                for (const std::string& csFrom : from)
                    if (m_ways.count(csIp + csTo + "|" + csFrom))
                        return true;
            return false;
        }

    private:
        std::unordered_set<std::string> m_ways;
    };

    // Who answered a query, and to which kind: the device (I-Am, I-Have) or
    // the router.
    std::string Answerer(const SBacnetFrame& a)
    {
        std::string cs(1, static_cast<char>('0' + static_cast<int>(AnswerOf(a))));
        if (a.bHasDevice)
            return cs + "d" + std::to_string(a.uDeviceInstance);
        cs += StationKey('l', BacnetSource(a));
        if (a.bHasSnet)
            cs += NetworkKey(a.uSnet, a.sadr);
        return cs;
    }

    // For each query among requests, the answers among frames: each answer
    // to the earliest query sent before it that it fits and that has no
    // answer from the same device yet; a device's answer again goes to the
    // latest query it fits.
    std::vector<std::vector<size_t>> QueryAnswers(const std::vector<SBacnetFrame>& queries,
        const std::vector<int64_t>& queryTimes, const CPairer& frames,
        const std::vector<int64_t>& frameTimes)
    {
        std::vector<std::vector<size_t>> answers(queries.size());
        // Per device: the queries before this one that it fits have its answer.
        std::unordered_map<std::string, size_t> answeredUpTo;
        for (size_t i = 0; i < frames.Size(); ++i) {
            if (AnswerOf(frames.Parsed(i)) == EQuery::None)
                continue;
            size_t& nFrom = answeredUpTo[Answerer(frames.Parsed(i))];
            auto Fits = [&](size_t q) {
                return queryTimes[q] <= frameTimes[i] && AnswersQuery(queries[q], frames.Parsed(i));
            };
            // Queries go in send order: none after one sent later than the answer fits.
            size_t q = nFrom;
            while (q < queries.size() && queryTimes[q] <= frameTimes[i] && !Fits(q))
                ++q;
            if (q < queries.size() && Fits(q)) {
                answers[q].push_back(i);
                nFrom = q + 1;
                continue;
            }
            for (q = std::min(nFrom, queries.size()); q-- > 0;) {
                if (Fits(q)) {
                    answers[q].push_back(i);
                    break;
                }
            }
        }
        return answers;
    }

    std::string Milliseconds(int64_t llNs)
    {
        char sz[32];
        std::snprintf(sz, sizeof sz, "%.3f", static_cast<double>(llNs) / 1e6);
        return sz;
    }

} // namespace

const char* VerdictWord(EVerdict eVerdict)
{
    switch (eVerdict) {
    case EVerdict::Answered:
        return "answered";
    case EVerdict::Ok:
        return "ok";
    case EVerdict::Differs:
        return "differs";
    case EVerdict::Unanswered:
        return "unanswered";
    case EVerdict::NoRecord:
        return "no-record";
    case EVerdict::ValueChanged:
        return "value-changed";
    case EVerdict::Stopped:
        return "stopped";
    }
    return "?";
}

namespace {

    int64_t EarliestSent(const SJudgedFrame& request)
    {
        return request.llEarliestNs != 0 ? request.llEarliestNs : request.llNs;
    }

    // A frame that is BACnet by its link but whose NPDU or APDU does not parse,
    // from where the request went (its IP address, or its MAC): the answer the
    // capture recorded, broken. Looked for among the few frames after it.
    bool MalformedAnswerAfter(const std::vector<SJudgedFrame>& capture, const CPairer& parsed,
        size_t nRequest, const SBacnetFrame& r)
    {
        constexpr size_t kLookAhead = 16;
        for (size_t i = nRequest + 1; i < capture.size() && i <= nRequest + kLookAhead; ++i) {
            if (parsed.Parsed(i).eApdu != EApdu::NotBacnet)
                continue;
            const std::vector<uint8_t>& b = capture[i].bytes;
            const frame::SFrameLayout at = frame::LocateFrame(b.data(), b.size());
            if (!at.IsBacnet())
                continue;
            const bool bIp = at.eKind == frame::EFrameKind::BacnetIp;
            if (bIp != r.bIp)
                continue;
            const uint8_t* pFrom = bIp ? b.data() + at.uIpAt + 12 : b.data() + 6;
            if (std::equal(pFrom, pFrom + (bIp ? 4 : 6), r.linkDestination.bytes.begin()))
                return true;
        }
        return false;
    }

} // namespace

// The capture's requests by record number, and their answers paired by
// the same rules as the wire's.
struct CRecordedAnswers::SImpl {
    explicit SImpl(const std::vector<SJudgedFrame>& frames)
        : capture(frames)
        , pairer(frames)
    {
        std::vector<int64_t> order;
        for (size_t i = 0; i < capture.size(); ++i) {
            captureIndex[capture[i].uRecord] = i;
            order.push_back(static_cast<int64_t>(i));
        }
        std::vector<SBacnetFrame> all;
        for (size_t i = 0; i < capture.size(); ++i)
            all.push_back(pairer.Parsed(i));
        recordedQueries = QueryAnswers(all, order, pairer, order);
        // Paired once, in file order, so that the capture's own reuse of an
        // invoke ID pairs as it happened, however often a record is sent.
        recordedConfirmed.resize(capture.size());
        for (size_t i = 0; i < capture.size(); ++i) {
            size_t nFound = 0;
            if (all[i].eApdu == EApdu::ConfirmedRequest
                && pairer.TakeConfirmed(all[i], i, 0, false, nFound))
                recordedConfirmed[i].push_back(nFound);
        }
    }

    dissect::SFrame Frame(size_t i) const
    {
        dissect::SFrame f;
        f.pData = capture[i].bytes.data();
        f.header.uCapLen = static_cast<uint32_t>(capture[i].bytes.size());
        f.header.uWireLen = f.header.uCapLen;
        f.uNumber = capture[i].uRecord;
        f.bChecksums = false;
        return f;
    }

    dissect::CSegmentAssembler::ReadFn Reader() const
    {
        return [this](uint64_t uRecord, std::vector<uint8_t>& bytes) {
            auto it = captureIndex.find(uRecord);
            if (it == captureIndex.end())
                return false;
            bytes = capture[it->second].bytes;
            return true;
        };
    }

    // The last segment of the answer whose first is iRec (iRec when none
    // ends it), the assembler fed.
    size_t LastSegment(size_t iRec) const
    {
        const std::vector<SJudgedFrame>& c = capture;
        const SBacnetFrame& first = pairer.Parsed(iRec);
        if (!pAssembler) {
            pAssembler = std::make_unique<dissect::CSegmentAssembler>();
            for (size_t i = 0; i < c.size(); ++i)
                pAssembler->Add(Frame(i));
            pAssembler->Finish();
        }
        // The first later one of the same answer without "more follows".
        for (size_t i = iRec; i < c.size(); ++i) {
            const SBacnetFrame& p = pairer.Parsed(i);
            if (p.eApdu != EApdu::ComplexAck || !p.bSegmented || p.uInvokeId != first.uInvokeId
                || p.linkDestination != first.linkDestination || p.uService != first.uService)
                continue;
            const frame::SFrameLayout at = frame::LocateFrame(c[i].bytes.data(), c[i].bytes.size());
            if (at.uApduAt == 0 || at.uApduAt >= c[i].bytes.size())
                continue;
            if ((c[i].bytes[at.uApduAt] & 0x04) == 0)
                return i;
        }
        return iRec;
    }

    // A recorded answer in segments reads as the whole answer, as the
    // packet list reassembles it from the capture's records.
    std::string RecordedInfo(size_t iRec) const
    {
        const std::vector<SJudgedFrame>& c = capture;
        const SBacnetFrame& first = pairer.Parsed(iRec);
        if (first.eApdu != EApdu::ComplexAck || !first.bSegmented)
            return Info(c[iRec].bytes);
        if (auto it = recordedInfo.find(iRec); it != recordedInfo.end())
            return it->second;
        const size_t nLast = LastSegment(iRec);
        std::string cs = pAssembler->Decode(Frame(nLast), nullptr, Reader()).csInfo;
        // The whole answer is said once, by the verdict's segment count.
        const size_t nNote = cs.rfind(" (reassembled from ");
        if (nLast != iRec && nNote != std::string::npos)
            cs.erase(nNote);
        else if (nLast == iRec)
            cs = Info(c[iRec].bytes);
        recordedInfo[iRec] = cs;
        return cs;
    }

    // The recorded answer's content, whole; false when it cannot be had (a
    // segmented answer never completed).
    bool RecordedContent(size_t iRec, SAnswerContent& content) const
    {
        const std::vector<SJudgedFrame>& c = capture;
        const SBacnetFrame& first = pairer.Parsed(iRec);
        uint8_t uService = 0;
        std::vector<uint8_t> data;
        if (!first.bSegmented) {
            if (!ComplexAckData(c[iRec].bytes.data(), c[iRec].bytes.size(), uService, data))
                return false;
        } else {
            const size_t nLast = LastSegment(iRec);
            if (nLast == iRec || !pAssembler->Whole(Frame(nLast), Reader(), data))
                return false;
            uService = first.uService;
        }
        content = ReadAnswerContent(uService, data.data(), data.size());
        return true;
    }

    // What the capture teaches of volatile properties, learned once.
    std::shared_ptr<const CLearnedVolatile> Learned() const
    {
        if (!pLearned)
            pLearned = LearnVolatile(capture);
        return pLearned;
    }

    const std::vector<SJudgedFrame>& capture;
    CPairer pairer;
    std::unordered_map<uint64_t, size_t> captureIndex;
    std::vector<std::vector<size_t>> recordedQueries;
    std::vector<std::vector<size_t>> recordedConfirmed; // one answer at most, per record
    mutable std::unique_ptr<dissect::CSegmentAssembler> pAssembler;
    mutable std::unordered_map<size_t, std::string> recordedInfo;
    mutable std::shared_ptr<const CLearnedVolatile> pLearned;
};

CRecordedAnswers::CRecordedAnswers(const std::vector<SJudgedFrame>& capture)
    : m_p(std::make_unique<SImpl>(capture))
{
}

CRecordedAnswers::~CRecordedAnswers() = default;

SJudgement Judge(const std::vector<SJudgedFrame>& requests, const std::vector<SJudgedFrame>& heard,
    const std::vector<SJudgedFrame>* pCapture, const std::vector<frame::SDeviceMap>& devices,
    const SCompareRules& rules, const std::vector<std::vector<size_t>>* pRecordedFor)
{
    if (!pCapture)
        return JudgeRound(requests, heard, nullptr, devices, rules);
    const CRecordedAnswers recorded(*pCapture);
    return JudgeRound(requests, heard, &recorded, devices, rules, pRecordedFor);
}

SJudgement JudgeRound(const std::vector<SJudgedFrame>& requests,
    const std::vector<SJudgedFrame>& heard, const CRecordedAnswers* pRecordedAnswers,
    const std::vector<frame::SDeviceMap>& devices, const SCompareRules& rules,
    const std::vector<std::vector<size_t>>* pRecordedFor)
{
    SJudgement j;
    CPairer wire(heard);
    wire.MapBack(devices);
    std::vector<SBacnetFrame> parsed;
    std::vector<int64_t> sentTimes;
    for (const SJudgedFrame& r : requests) {
        parsed.push_back(ParseBacnet(r.bytes.data(), r.bytes.size()));
        SBacnetFrame& f = parsed.back();
        for (const frame::SDeviceMap& m : devices)
            if (f.bHasLimits && f.uLowLimit == m.uNew && f.uHighLimit == m.uNew) {
                f.uLowLimit = f.uHighLimit = m.uOld;
                break;
            }
        sentTimes.push_back(EarliestSent(r));
    }
    // For each confirmed request, when its invoke ID next went to the same
    // place: the answer belongs to the latest request it can answer. The
    // later one's own send time counts, not the earliest it can have left: an
    // answer heard between the two is the earlier request's.
    std::vector<int64_t> reusedAt(requests.size(), 0);
    {
        std::unordered_map<std::string, int64_t> next;
        for (size_t n = requests.size(); n-- > 0;) {
            const SBacnetFrame& r = parsed[n];
            if (r.eApdu != EApdu::ConfirmedRequest)
                continue;
            std::string csKey(1, static_cast<char>(r.uInvokeId));
            csKey += r.bIp ? 'i' : 'e';
            for (const SStation* p : { &r.linkDestination, &r.linkSource, &r.dadr })
                csKey.append(reinterpret_cast<const char*>(p->bytes.data()), p->uLength) += '|';
            csKey += std::to_string(r.bHasDnet ? r.uDnet : -1);
            auto it = next.find(csKey);
            if (it != next.end())
                reusedAt[n] = it->second;
            next[csKey] = requests[n].llNs != 0 ? requests[n].llNs : EarliestSent(requests[n]);
        }
    }
    std::vector<int64_t> heardTimes;
    for (const SJudgedFrame& h : heard)
        heardTimes.push_back(h.llNs);
    const std::vector<std::vector<size_t>> wireQueries
        = QueryAnswers(parsed, sentTimes, wire, heardTimes);

    // The capture, paired once by whoever judges many rounds against it.
    const CRecordedAnswers::SImpl* pR = pRecordedAnswers ? pRecordedAnswers->m_p.get() : nullptr;
    const std::vector<SJudgedFrame>* pCapture = pR ? &pR->capture : nullptr;
    const CPairer* pRecorded = pR ? &pR->pairer : nullptr;
    auto RecordedInfo = [pR](size_t iRec) { return pR->RecordedInfo(iRec); };
    SCompareRules compare = rules;
    if (pR && rules.bValues && rules.bProfile && !compare.pLearned)
        compare.pLearned = pR->Learned();

    std::vector<std::string> heardInfo(heard.size());
    auto HeardInfo = [&](size_t i) -> const std::string& {
        if (heardInfo[i].empty())
            heardInfo[i] = Info(heard[i].bytes);
        return heardInfo[i];
    };

    for (size_t n = 0; n < requests.size(); ++n) {
        const SBacnetFrame& r = parsed[n];
        const bool bConfirmed = r.eApdu == EApdu::ConfirmedRequest;
        const EQuery eQuery = QueryOf(r);
        if (!bConfirmed && eQuery == EQuery::None)
            continue;
        ++j.nRequests;
        if (bConfirmed)
            ++j.nConfirmed;
        SJudgeLine base;
        base.uRecord = requests[n].uRecord;
        base.uRound = requests[n].uRound;
        base.llSentNs = requests[n].llNs;
        base.requestTo = r.linkDestination;
        if (requests[n].bytes.size() >= 6)
            std::copy(
                requests[n].bytes.begin(), requests[n].bytes.begin() + 6, base.requestMac.begin());
        j.uRounds = std::max(j.uRounds, requests[n].uRound);
        base.nRequest = n;
        const SJudgedFrame& sent = requests[n];
        const bool bFresh
            = sent.iInvokeAt >= 0 && static_cast<size_t>(sent.iInvokeAt) < sent.bytes.size();
        if (bFresh) {
            std::vector<uint8_t> captured = sent.bytes;
            captured[static_cast<size_t>(sent.iInvokeAt)] = sent.uCapturedInvokeId;
            base.csRequest = Info(captured);
        } else {
            base.csRequest = Info(sent.bytes);
        }
        base.bConfirmed = bConfirmed;
        if (bConfirmed) {
            base.iSentInvokeId = r.uInvokeId;
            base.iCapturedInvokeId = bFresh ? sent.uCapturedInvokeId : r.uInvokeId;
        }

        // What the capture recorded after this request.
        std::vector<size_t> recorded;
        bool bRecordKnown = false;
        bool bRecordedMalformed = false;
        if (pCapture && pRecordedFor) {
            bRecordKnown = n < pRecordedFor->size();
            if (bRecordKnown)
                recorded = (*pRecordedFor)[n];
        } else if (pCapture) {
            auto it = pR->captureIndex.find(requests[n].uRecord);
            if (it != pR->captureIndex.end()) {
                bRecordKnown = true;
                recorded = bConfirmed ? pR->recordedConfirmed[it->second]
                                      : pR->recordedQueries[it->second];
                if (bConfirmed && recorded.empty())
                    bRecordedMalformed = MalformedAnswerAfter(
                        *pCapture, *pRecorded, it->second, pRecorded->Parsed(it->second));
            }
        }
        auto Fill = [&](SJudgeLine& line, const SBacnetFrame* pHeard) {
            if (!recorded.empty()) {
                const size_t iRec = recorded.front();
                line.bHasRecorded = true;
                line.uRecordedRecord = (*pCapture)[iRec].uRecord;
                line.csRecorded = RecordedInfo(iRec);
                line.csRecordedKind = KindText(pRecorded->Parsed(iRec), line.csRecorded);
                // The decoder ends the text of a frame it could not read whole so.
                const std::string csMark = "[malformed]";
                bRecordedMalformed = line.csRecorded.size() >= csMark.size()
                    && line.csRecorded.compare(
                           line.csRecorded.size() - csMark.size(), csMark.size(), csMark)
                        == 0;
            }
            line.bRecordedMalformed = bRecordedMalformed;
            if (!pHeard)
                line.eVerdict = EVerdict::Unanswered;
            else if (!pCapture)
                line.eVerdict = EVerdict::Answered;
            else if (!bRecordKnown || recorded.empty() || bRecordedMalformed)
                line.eVerdict = EVerdict::NoRecord;
            else if (!bConfirmed || SameKind(*pHeard, pRecorded->Parsed(recorded.front())))
                line.eVerdict = EVerdict::Ok;
            else
                line.eVerdict = EVerdict::Differs;
        };
        // An answer of the recorded kind: its content against the recorded one's.
        auto CompareValues = [&](SJudgeLine& line, size_t i) {
            const size_t iRec = recorded.front();
            const SBacnetFrame& rec = pRecorded->Parsed(iRec);
            if (wire.Parsed(i).eApdu != EApdu::ComplexAck || rec.eApdu != EApdu::ComplexAck)
                return;
            SAnswerContent heardContent;
            SAnswerContent recordedContent;
            uint8_t uService = 0;
            std::vector<uint8_t> data;
            // An answer heard in segments, not reassembled, is judged by its kind.
            if (!ComplexAckData(heard[i].bytes.data(), heard[i].bytes.size(), uService, data)
                || !pR->RecordedContent(iRec, recordedContent))
                return;
            heardContent = ReadAnswerContent(uService, data.data(), data.size());
            MapDevices(heardContent, devices);
            const SContentVerdict v
                = CompareContent(heardContent, recordedContent, compare, AnswererKey(rec));
            if (v.e == EContent::Differs)
                line.eVerdict = EVerdict::Differs;
            else if (v.e == EContent::Changed)
                line.eVerdict = EVerdict::ValueChanged;
            line.csContent = v.csWhat;
        };
        auto Answer = [&](SJudgeLine& line, size_t i) {
            line.bAnswered = true;
            line.nAnswer = i;
            line.csAnswer = HeardInfo(i);
            line.csHeardKind = KindText(wire.Parsed(i), line.csAnswer);
            line.bSegmented
                = wire.Parsed(i).eApdu == EApdu::ComplexAck && wire.Parsed(i).bSegmented;
            line.iSegments = heard[i].iSegments;
            // An answer before a placed send time came soon after the
            // earliest the request can have left: counted from there.
            if (requests[n].llNs != 0 && heard[i].llNs != 0)
                line.llRoundTripNs = heard[i].llNs
                    - (heard[i].llNs < requests[n].llNs ? EarliestSent(requests[n])
                                                        : requests[n].llNs);
            Fill(line, &wire.Parsed(i));
            if (line.eVerdict == EVerdict::Ok && bConfirmed && rules.bValues)
                CompareValues(line, i);
        };

        std::vector<SJudgeLine> lines;
        if (bConfirmed) {
            size_t nFound = 0;
            SJudgeLine line = base;
            if (wire.TakeConfirmed(r, 0, EarliestSent(requests[n]), true, nFound, reusedAt[n]))
                Answer(line, nFound);
            else
                Fill(line, nullptr);
            lines.push_back(std::move(line));
        } else if (wireQueries[n].empty()) {
            SJudgeLine line = base;
            Fill(line, nullptr);
            lines.push_back(std::move(line));
        } else {
            for (size_t i : wireQueries[n]) {
                SJudgeLine line = base;
                Answer(line, i);
                lines.push_back(std::move(line));
            }
        }
        bool bDiffers = false;
        bool bChanged = false;
        for (const SJudgeLine& line : lines) {
            bDiffers = bDiffers || line.eVerdict == EVerdict::Differs;
            bChanged = bChanged || line.eVerdict == EVerdict::ValueChanged;
            if (line.eVerdict == EVerdict::NoRecord)
                ++j.nNoRecord;
        }
        if (lines.front().bAnswered) {
            ++j.nAnswered;
            if (lines.front().llRoundTripNs >= 0)
                j.roundTripsNs.push_back(lines.front().llRoundTripNs);
        } else {
            ++j.nUnanswered;
            if (r.bHasDnet && r.uDnet != 0xffff)
                ++j.nRoutedUnanswered;
            if (r.linkDestination.uLength > 0
                && (r.bIp ? r.linkDestination.bytes[3] == 0xff
                          : (r.linkDestination.bytes[0] & 1) != 0))
                ++j.nBroadcastUnanswered;
        }
        if (bDiffers)
            ++j.nDiffers;
        if (lines.front().eVerdict == EVerdict::Answered)
            ++j.nAnsweredOnly;
        else if (!bDiffers && bChanged)
            ++j.nValueChanged;
        else if (!bDiffers && lines.front().eVerdict == EVerdict::Ok)
            ++j.nOk;
        if (bConfirmed && (bDiffers || !lines.front().bAnswered))
            j.bConfirmedFailed = true;
        for (SJudgeLine& line : lines)
            j.lines.push_back(std::move(line));
    }
    // The answers to us, from a device we asked, that no request took.
    CWaysBack waysBack;
    for (const SBacnetFrame& r : parsed)
        if (r.eApdu == EApdu::ConfirmedRequest)
            waysBack.Add(r);
    for (size_t i = 0; i < heard.size(); ++i)
        if (wire.Unpaired(i) && waysBack.Back(wire.Parsed(i)))
            j.unpaired.push_back(i);
    j.nUnpaired = j.unpaired.size();
    return j;
}

std::string AnswererKey(const SBacnetFrame& f)
{
    std::string cs = StationKey(f.bIp ? 'i' : 'e', BacnetSource(f));
    if (f.bHasSnet)
        cs += NetworkKey(f.uSnet, f.sadr);
    return cs;
}

std::shared_ptr<const CLearnedVolatile> LearnVolatile(const std::vector<SJudgedFrame>& capture)
{
    auto pLearned = std::make_shared<CLearnedVolatile>();
    std::unique_ptr<dissect::CSegmentAssembler> pAssembler;
    std::unordered_map<uint64_t, size_t> byRecord;
    std::vector<uint8_t> data;
    for (size_t i = 0; i < capture.size(); ++i) {
        const SJudgedFrame& c = capture[i];
        const SBacnetFrame f = ParseBacnet(c.bytes.data(), c.bytes.size());
        if (f.eApdu != EApdu::ComplexAck
            || (f.uService != kReadProperty && f.uService != kReadPropertyMultiple))
            continue;
        uint8_t uService = f.uService;
        if (!f.bSegmented && !ComplexAckData(c.bytes.data(), c.bytes.size(), uService, data))
            continue;
        if (f.bSegmented) {
            // Its last segment brings the whole answer.
            if (!pAssembler) {
                pAssembler = std::make_unique<dissect::CSegmentAssembler>();
                for (size_t k = 0; k < capture.size(); ++k) {
                    dissect::SFrame frame;
                    frame.pData = capture[k].bytes.data();
                    frame.header.uCapLen = static_cast<uint32_t>(capture[k].bytes.size());
                    frame.header.uWireLen = frame.header.uCapLen;
                    frame.uNumber = capture[k].uRecord;
                    frame.bChecksums = false;
                    pAssembler->Add(frame);
                    byRecord[capture[k].uRecord] = k;
                }
                pAssembler->Finish();
            }
            dissect::SFrame frame;
            frame.pData = c.bytes.data();
            frame.header.uCapLen = static_cast<uint32_t>(c.bytes.size());
            frame.header.uWireLen = frame.header.uCapLen;
            frame.uNumber = c.uRecord;
            frame.bChecksums = false;
            const dissect::CSegmentAssembler::ReadFn read
                = [&](uint64_t uRecord, std::vector<uint8_t>& bytes) {
                      auto it = byRecord.find(uRecord);
                      if (it == byRecord.end())
                          return false;
                      bytes = capture[it->second].bytes;
                      return true;
                  };
            if (!pAssembler->Whole(frame, read, data))
                continue;
        }
        const SAnswerContent content = ReadAnswerContent(uService, data.data(), data.size());
        const std::string csAnswerer = AnswererKey(f);
        for (const SPropertyValue& p : content.properties)
            pLearned->Add(csAnswerer, p);
    }
    return pLearned;
}

SRoundTripStats RoundTripStats(std::vector<int64_t> v)
{
    SRoundTripStats stats;
    if (v.empty())
        return stats;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    stats.nCount = n;
    stats.llMinNs = v.front();
    stats.llMaxNs = v.back();
    stats.llMedianNs = n % 2 ? v[n / 2] : v[n / 2 - 1] + (v[n / 2] - v[n / 2 - 1]) / 2;
    // Nearest rank: the smallest value with at least 95% at or below it.
    stats.llP95Ns = v[(n * 95 + 99) / 100 - 1];
    return stats;
}

std::string ShortMs(int64_t llNs)
{
    // A LAN answers in tenths of a millisecond: those keep their digits.
    char sz[32];
    std::snprintf(sz, sizeof sz, llNs < 1000000 ? "%.3f" : "%.1f", static_cast<double>(llNs) / 1e6);
    return sz;
}

SVerdictCounts CountVerdicts(const SJudgement& j)
{
    SVerdictCounts c;
    c.nOk = j.nOk;
    c.nAnswered = j.nAnsweredOnly;
    c.nDiffers = j.nDiffers;
    c.nUnanswered = j.nUnanswered;
    c.nValueChanged = j.nValueChanged;
    c.nNoRecord = j.nAnswered - j.nAnsweredOnly - j.nOk - j.nValueChanged - j.nDiffers;
    c.nStopped = j.nStopped;
    return c;
}

namespace {

    std::string Count(size_t n, const char* szOne, const char* szMany)
    {
        return std::to_string(n) + " " + (n == 1 ? szOne : szMany);
    }

    bool AnyFailed(const SJudgement& j)
    {
        return j.nUnanswered > 0 || j.nDiffers > 0;
    }

    std::string MacText(const uint8_t* p)
    {
        char sz[24];
        std::snprintf(
            sz, sizeof sz, "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3], p[4], p[5]);
        return sz;
    }

    // Where a frame goes or comes from, as the clue compares them: the
    // Ethernet MAC and, for BACnet/IP, the B/IP address.
    struct SPlace {
        std::array<uint8_t, 6> mac {};
        SStation station;
        bool operator==(const SPlace&) const = default;
    };

} // namespace

std::string Headline(const SJudgement& j)
{
    const SVerdictCounts c = CountVerdicts(j);
    // No request judged is no pass: a rig that sent nothing that asks tested nothing.
    const char* szWord = NothingTested(j) ? "Nothing tested" : AnyFailed(j) ? "FAIL" : "PASS";
    std::string cs = std::string(szWord) + ": " + Count(j.nRequests, "request", "requests");
    std::string csCounts;
    const std::pair<size_t, const char*> counts[]
        = { { c.nOk, "ok" }, { c.nValueChanged, "value changed" }, { c.nAnswered, "answered" },
              { c.nDiffers, "differs" }, { c.nUnanswered, "unanswered" },
              { c.nNoRecord, "no record" }, { c.nStopped, "stopped" } };
    for (const auto& [n, sz] : counts) {
        if (n > 0)
            csCounts += (csCounts.empty() ? "" : ", ") + std::to_string(n) + " " + sz;
    }
    return csCounts.empty() ? cs : cs + ": " + csCounts;
}

std::string AimClue(const std::vector<SJudgedFrame>& heard, const SJudgement& j)
{
    if (j.nUnanswered == 0)
        return std::string();
    // Where the unanswered requests went.
    std::vector<SPlace> aimed;
    for (const SJudgeLine& line : j.lines) {
        if (!line.bAnswered && line.requestTo.uLength > 0)
            aimed.push_back({ line.requestMac, line.requestTo });
    }
    std::string cs;
    std::vector<std::pair<uint32_t, SPlace>> told;
    for (const SJudgedFrame& h : heard) {
        const SBacnetFrame f = ParseBacnet(h.bytes.data(), h.bytes.size());
        if (AnswerOf(f) != EQuery::WhoIs || !f.bHasDevice || h.bytes.size() < 12)
            continue;
        SPlace from;
        std::copy(h.bytes.begin() + 6, h.bytes.begin() + 12, from.mac.begin());
        from.station = BacnetSource(f);
        const bool bAimedThere = std::any_of(aimed.begin(), aimed.end(),
            [&](const SPlace& a) { return a.mac == from.mac && a.station == from.station; });
        const std::pair<uint32_t, SPlace> device { f.uDeviceInstance, from };
        if (bAimedThere || aimed.empty()
            || std::find(told.begin(), told.end(), device) != told.end())
            continue;
        told.push_back(device);
        if (told.size() > 3) {
            cs += "; and more";
            break;
        }
        std::string csFrom = MacText(from.mac.data());
        if (f.bIp && from.station.uLength == 6) {
            const uint8_t* p = from.station.bytes.data();
            csFrom += " / " + std::to_string(p[0]) + "." + std::to_string(p[1]) + "."
                + std::to_string(p[2]) + "." + std::to_string(p[3]);
            const unsigned uPort = (p[4] << 8) | p[5];
            if (uPort != 0xBAC0)
                csFrom += ":" + std::to_string(uPort);
        }
        cs += (cs.empty() ? "" : "; ") + std::string("device ") + std::to_string(f.uDeviceInstance)
            + " answered from " + csFrom + ": aim at it?";
    }
    return cs;
}

std::string SummaryText(uint64_t uPacketsSent, const SJudgement& j)
{
    const SVerdictCounts c = CountVerdicts(j);
    std::string cs = Count(uPacketsSent, "packet", "packets") + " sent; "
        + Count(j.nRequests, "request", "requests") + ": " + std::to_string(j.nAnswered)
        + " answered";
    // Against the capture: what the answers made of it.
    std::string csJudged;
    const std::pair<size_t, std::string> judged[] = { { c.nOk, "ok" },
        { c.nValueChanged, "value changed" },
        { c.nDiffers, c.nDiffers == 1 ? "differs" : "differ" }, { c.nNoRecord, "no record" } };
    for (const auto& [n, csWord] : judged) {
        if (n > 0)
            csJudged += (csJudged.empty() ? "" : ", ") + std::to_string(n) + " " + csWord;
    }
    if (!csJudged.empty())
        cs += " (" + csJudged + ")";
    cs += ", " + std::to_string(j.nUnanswered) + " unanswered";
    if (j.nStopped > 0)
        cs += ", " + std::to_string(j.nStopped) + " stopped";
    if (j.nUnpaired > 0)
        cs += "; " + Count(j.nUnpaired, "answer", "answers") + " heard paired with no request";
    const SRoundTripStats stats = RoundTripStats(j.roundTripsNs);
    if (stats.nCount > 0)
        cs += "; round trip min " + ShortMs(stats.llMinNs) + ", median " + ShortMs(stats.llMedianNs)
            + ", p95 " + ShortMs(stats.llP95Ns) + ", max " + ShortMs(stats.llMaxNs) + " ms";
    return cs;
}

std::string AnswerColumn(const SJudgeLine& line)
{
    std::string csAnswer = line.bAnswered ? TsvCell(line.csAnswer) : "-";
    // A fresh invoke ID is no difference from the recorded answer.
    auto WithoutInvoke = [](std::string cs) {
        const size_t nOpen = cs.find('[');
        const size_t nClose = cs.find(']', nOpen == std::string::npos ? 0 : nOpen);
        if (nOpen != std::string::npos && nClose != std::string::npos)
            cs.erase(nOpen, nClose + 1 - nOpen);
        return cs;
    };
    if (line.bAnswered && line.bHasRecorded && line.eVerdict == EVerdict::Ok
        && WithoutInvoke(line.csRecorded) != WithoutInvoke(line.csAnswer) && line.bConfirmed)
        csAnswer += " (recorded: " + TsvCell(line.csRecorded) + ")";
    return csAnswer;
}

std::string VerdictColumn(const SJudgeLine& line)
{
    const bool bChanged = line.eVerdict == EVerdict::ValueChanged;
    std::string csVerdict = bChanged ? "ok" : VerdictWord(line.eVerdict);
    if (line.eVerdict == EVerdict::NoRecord && line.bRecordedMalformed)
        csVerdict = "recorded answer malformed";
    const std::string csSegments
        = line.iSegments > 0 ? std::to_string(line.iSegments) + " segments" : std::string();
    if (bChanged)
        csVerdict += " (value changed" + (csSegments.empty() ? "" : ", " + csSegments) + ")";
    else if (!csSegments.empty())
        csVerdict += " (" + csSegments + ")";
    // The content: the first field that differs or changed, both values.
    if (!line.csContent.empty() && (bChanged || line.eVerdict == EVerdict::Differs))
        return csVerdict + ": " + TsvCell(line.csContent);
    if (line.eVerdict == EVerdict::Differs)
        csVerdict += " (" + TsvCell(line.csHeardKind) + "; recorded " + TsvCell(line.csRecordedKind)
            + ")";
    return csVerdict;
}

std::string RoundTripColumn(const SJudgeLine& line)
{
    return line.llRoundTripNs >= 0 ? Milliseconds(line.llRoundTripNs) : "-";
}

std::string TsvLine(const SJudgeLine& line, bool bRound)
{
    return std::to_string(line.uRecord) + "\t" + TsvCell(line.csRequest) + "\t" + AnswerColumn(line)
        + "\t" + VerdictColumn(line) + "\t" + RoundTripColumn(line)
        + (bRound ? "\t" + std::to_string(line.uRound) : std::string()) + "\n";
}

namespace {

    // ISO 8601 without a zone, as JUnit's timestamp attribute has it (UTC).
    std::string IsoTime(int64_t llNs)
    {
        const std::time_t t = static_cast<std::time_t>(llNs / 1000000000);
        std::tm tm {};
        gmtime_r(&t, &tm);
        char sz[32];
        std::strftime(sz, sizeof sz, "%Y-%m-%dT%H:%M:%S", &tm);
        return sz;
    }

    std::string Seconds(int64_t llNs)
    {
        char sz[32];
        std::snprintf(sz, sizeof sz, "%.6f", static_cast<double>(llNs) / 1e9);
        return sz;
    }

} // namespace

std::string JUnitXml(const std::string& csSuite, const SJudgement& j)
{
    return JUnitXml(csSuite, j, SJUnitRun());
}

std::string JUnitXml(const std::string& csSuite, const SJudgement& j, const SJUnitRun& run)
{
    // One test case per request: a Who-Is answered twice has two lines and
    // one case, failed when any of its lines failed. A request's lines follow
    // one another.
    std::vector<std::pair<size_t, size_t>> cases; // first line, lines
    for (size_t i = 0; i < j.lines.size(); ++i) {
        if (cases.empty() || j.lines[cases.back().first].nRequest != j.lines[i].nRequest)
            cases.push_back({ i, 0 });
        ++cases.back().second;
    }
    auto FailedLine = [&](const std::pair<size_t, size_t>& c) -> const SJudgeLine* {
        for (size_t i = c.first; i < c.first + c.second; ++i) {
            if (j.lines[i].Failed())
                return &j.lines[i];
        }
        return nullptr;
    };
    size_t nFailures = 0;
    size_t nSkipped = 0;
    for (const auto& c : cases) {
        nFailures += FailedLine(c) ? 1 : 0;
        nSkipped += j.lines[c.first].eVerdict == EVerdict::Stopped ? 1 : 0;
    }
    // A CI server shows the class name as the column that tells rigs apart.
    const std::string csClass = run.csRig.empty() ? csSuite : run.csRig + "." + csSuite;
    const std::string csStamp
        = run.llStartNs != 0 ? " timestamp=\"" + IsoTime(run.llStartNs) + "\"" : std::string();
    std::string cs = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n<testsuite name=\""
        + MarkupEscaped(csSuite, EMarkupText::Block) + "\" tests=\"" + std::to_string(cases.size())
        + "\" failures=\"" + std::to_string(nFailures) + "\""
        + (nSkipped > 0 ? " skipped=\"" + std::to_string(nSkipped) + "\"" : std::string()) + csStamp
        + ">\n";
    if (!run.properties.empty()) {
        cs += "  <properties>\n";
        for (const auto& [csName, csValue] : run.properties)
            cs += "    <property name=\"" + MarkupEscaped(TsvCell(csName), EMarkupText::Block)
                + "\" value=\"" + MarkupEscaped(TsvCell(csValue), EMarkupText::Block) + "\"/>\n";
        cs += "  </properties>\n";
    }
    for (const auto& c : cases) {
        const SJudgeLine& first = j.lines[c.first];
        // Rounds that repeat a record need names apart, or CI merges them.
        const std::string csRound
            = j.RoundsRepeat() ? " (round " + std::to_string(first.uRound) + ")" : std::string();
        cs += "  <testcase classname=\"" + MarkupEscaped(csClass, EMarkupText::Block)
            + "\" name=\"record " + std::to_string(first.uRecord) + ": "
            + MarkupEscaped(TsvCell(first.csRequest), EMarkupText::Block) + csRound
            + "\" time=\""
            // Seconds, as JUnit counts: the (first) round trip, to the microsecond.
            + (first.llRoundTripNs >= 0 ? Seconds(first.llRoundTripNs) : "0.000000") + "\""
            + csStamp;
        const SJudgeLine* pFailed = FailedLine(c);
        if (!pFailed && first.eVerdict == EVerdict::Stopped) {
            cs += ">\n    <skipped message=\"stopped\">the Send was stopped before an answer was "
                  "due</skipped>\n  </testcase>\n";
            continue;
        }
        if (!pFailed) {
            cs += "/>\n";
            continue;
        }
        const SJudgeLine& line = *pFailed;
        const std::string csWhy = line.eVerdict == EVerdict::Unanswered ? "unanswered"
            : !line.csContent.empty()
            ? "differs: " + line.csContent
            : "differs: " + line.csHeardKind + "; recorded " + line.csRecordedKind;
        cs += ">\n    <failure message=\"" + MarkupEscaped(TsvCell(csWhy), EMarkupText::Block)
            + "\">"
            + MarkupEscaped("answer: " + (line.bAnswered ? line.csAnswer : std::string("-"))
                    + "\nrecorded: " + (line.bHasRecorded ? line.csRecorded : std::string("-")),
                EMarkupText::Block)
            + "</failure>\n  </testcase>\n";
    }
    cs += "</testsuite>\n</testsuites>\n";
    return cs;
}

void MarkStopped(SJudgement& j, int64_t llStopNs, int64_t llAnswerNs)
{
    if (llStopNs <= 0)
        return;
    std::vector<bool> stopped;
    for (SJudgeLine& line : j.lines) {
        // Unsent stamps are unknown: such a request may have gone at the end.
        const bool bCut = line.eVerdict == EVerdict::Unanswered
            && (line.llSentNs == 0 || line.llSentNs + llAnswerNs > llStopNs);
        if (!bCut)
            continue;
        line.eVerdict = EVerdict::Stopped;
        if (j.nUnanswered > 0)
            --j.nUnanswered;
        ++j.nStopped;
    }
    // The confirmed failures again, without the requests cut short.
    j.bConfirmedFailed = std::any_of(j.lines.begin(), j.lines.end(),
        [](const SJudgeLine& l) { return l.bConfirmed && l.Failed(); });
}

namespace {

    bool IsAck(const std::string& csKind)
    {
        return csKind.rfind("SimpleACK", 0) == 0 || csKind.find("-ACK") != std::string::npos;
    }

    // A kind as a group names it: "an ACK", "Error object/unknown-object",
    // "Reject ...", "Abort ...".
    std::string KindPhrase(const std::string& csKind)
    {
        if (IsAck(csKind))
            return "an ACK";
        if (csKind.rfind("Error", 0) == 0) {
            // "Error readProperty object: unknown-object": the service goes,
            // the class and code stay.
            const size_t nColon = csKind.find(": ");
            const size_t nClass = csKind.rfind(' ', nColon);
            if (nColon != std::string::npos && nClass != std::string::npos)
                return "Error " + csKind.substr(nClass + 1, nColon - nClass - 1) + "/"
                    + csKind.substr(nColon + 2);
        }
        return csKind.empty() ? std::string("nothing") : csKind;
    }

    // The request's service: its Info text's first word, the invoke ID left out.
    std::string ServiceOf(const std::string& csRequest)
    {
        std::string cs = csRequest.substr(0, csRequest.find_first_of(" ["));
        return cs;
    }

} // namespace

// A verdict's words without the values of one row: quoted texts, numbers
// and the instances of object identifiers go.
std::string VerdictWithoutValues(const std::string& cs)
{
    std::string out;
    bool bQuoted = false;
    for (size_t i = 0; i < cs.size(); ++i) {
        const char c = cs[i];
        if (c == '"') {
            bQuoted = !bQuoted;
            continue;
        }
        if (bQuoted)
            continue;
        const bool bDigitStart = std::isdigit(static_cast<unsigned char>(c))
            && (i == 0 || !std::isalpha(static_cast<unsigned char>(cs[i - 1])));
        if (c == ',' && i + 1 < cs.size() && std::isdigit(static_cast<unsigned char>(cs[i + 1])))
            continue; // "device,1234": the comma of an instance
        if (bDigitStart) {
            while (i + 1 < cs.size()
                && (std::isdigit(static_cast<unsigned char>(cs[i + 1])) || cs[i + 1] == '.'
                    || cs[i + 1] == '%'))
                ++i;
            continue;
        }
        out += c;
    }
    // What the values left: ", recorded", blanks twice, a trailing comma.
    for (const char* sz : { ", recorded", " recorded", "()", " =" }) {
        for (size_t n; (n = out.find(sz)) != std::string::npos;)
            out.erase(n, std::strlen(sz));
    }
    std::string squeezed;
    for (char c : out) {
        if (c == ' ' && (squeezed.empty() || squeezed.back() == ' '))
            continue;
        if (c == ')' && !squeezed.empty() && squeezed.back() == ' ')
            squeezed.pop_back();
        squeezed += c;
    }
    while (!squeezed.empty() && (squeezed.back() == ' ' || squeezed.back() == ','))
        squeezed.pop_back();
    return squeezed;
}

std::string GroupKey(const SJudgeLine& line)
{
    switch (line.eVerdict) {
    case EVerdict::Ok:
    case EVerdict::Answered:
    case EVerdict::ValueChanged: // grouped by the property, below
        break;
    case EVerdict::Unanswered:
        return "unanswered " + ServiceOf(line.csRequest);
    case EVerdict::Stopped:
        return "stopped " + ServiceOf(line.csRequest);
    case EVerdict::NoRecord:
        return line.bRecordedMalformed ? "recorded answer malformed"
                                       : "no record of " + KindPhrase(line.csHeardKind);
    case EVerdict::Differs: {
        // A verdict that names what differs ("differs: ...") is grouped by
        // its words; a differing kind by the two kinds.
        const std::string csHeard = KindPhrase(line.csHeardKind);
        const std::string csRecorded = KindPhrase(line.csRecordedKind);
        if (VerdictColumn(line).rfind("differs:", 0) == 0 || csHeard == csRecorded)
            break;
        return csHeard + " where the capture has " + csRecorded;
    }
    }
    // Other verdicts speak for themselves: their words, without the values.
    if (line.eVerdict == EVerdict::Answered)
        return std::string();
    std::string csWords = VerdictColumn(line);
    const std::string csSegments = " (" + std::to_string(line.iSegments) + " segments)";
    if (const size_t n = csWords.find(csSegments); line.iSegments > 0 && n != std::string::npos)
        csWords.erase(n, csSegments.size());
    if (csWords == VerdictWord(EVerdict::Ok))
        return std::string();
    return VerdictWithoutValues(csWords);
}

std::vector<SLineGroup> GroupLines(const std::vector<SJudgeLine>& lines)
{
    std::vector<SLineGroup> groups;
    std::unordered_map<std::string, size_t> at;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string csKey = GroupKey(lines[i]);
        if (csKey.empty())
            continue;
        auto [it, bNew] = at.emplace(csKey, groups.size());
        if (bNew)
            groups.push_back({ csKey, {} });
        groups[it->second].lines.push_back(i);
    }
    std::stable_sort(groups.begin(), groups.end(),
        [](const SLineGroup& a, const SLineGroup& b) { return a.lines.size() > b.lines.size(); });
    return groups;
}

} // namespace velmora::judge
