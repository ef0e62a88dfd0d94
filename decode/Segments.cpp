#include "decode/Segments.h"

#include "decode/DecodeInternal.h"

#include <algorithm>

namespace velmora::dissect {

using namespace internal;

namespace {

    uint64_t Fnv1a(const uint8_t* p, uint32_t n)
    {
        uint64_t u = 0xcbf29ce484222325ull;
        for (uint32_t i = 0; i < n; ++i)
            u = (u ^ p[i]) * 0x100000001b3ull;
        return u;
    }

    const CSegmentAssembler::ReadFn kNoRead;

} // namespace

bool ReadSegmentHeader(const uint8_t* pApdu, size_t nApdu, SSegmentHeader& header)
{
    if (nApdu < 5 || (pApdu[0] & 0xf8) != 0x38)
        return false;
    header.bMore = (pApdu[0] & 0x04) != 0;
    header.uInvokeId = pApdu[1];
    header.uSequence = pApdu[2];
    header.uWindow = pApdu[3];
    header.uService = pApdu[4];
    return true;
}

bool CSegmentJoin::IsNext(const SSegmentHeader& header) const
{
    if (m_bWhole)
        return false;
    return m_iSegments == 0 ? header.uSequence == 0
                            : header.uSequence == static_cast<uint8_t>(m_uLast + 1);
}

CSegmentJoin::EAdd CSegmentJoin::Add(
    const SSegmentHeader& header, const uint8_t* pData, size_t nData)
{
    if (!IsNext(header))
        return EAdd::NotNext;
    if (m_iSegments++ == 0)
        m_uService = header.uService;
    m_uLast = header.uSequence;
    if (nData > 0)
        m_data.insert(m_data.end(), pData, pData + nData);
    m_bWhole = !header.bMore;
    return m_bWhole ? EAdd::Whole : EAdd::Joined;
}

std::vector<uint8_t> CSegmentJoin::ComplexAckApdu(uint8_t uInvokeId) const
{
    std::vector<uint8_t> apdu { 0x30, uInvokeId, m_uService };
    apdu.insert(apdu.end(), m_data.begin(), m_data.end());
    return apdu;
}

void CSegmentAssembler::Add(const SFrame& frame)
{
    SSegmentHook hook;
    hook.bSegmentsOnly = true;
    const SRow row = DecodeWith(frame, nullptr, &hook);
    if (!hook.bSegment)
        return;
    const SSegment segment { frame.uNumber, hook.uSeq, hook.bMore, hook.uDataOffset,
        hook.uDataLength, Fnv1a(frame.pData + hook.uDataOffset, hook.uDataLength) };
    // An answer of one segment needs nothing put together.
    if (segment.uSeq == 0 && !segment.bMore)
        return;
    const std::string csKey = row.csSource + ">" + row.csDestination + "|" + hook.csNetEnds + "|"
        + std::to_string(hook.uInvoke) + "|" + std::to_string(hook.uService);
    const std::lock_guard lock(m_mutex);

    auto it = m_last.find(csKey);
    if (it != m_last.end()) {
        SAnswer& answer = m_answers.at(it->second);
        for (const SSegment& s : answer.segments) {
            if (s.uSeq != segment.uSeq)
                continue;
            if (s.uHash == segment.uHash) {
                m_roles[segment.uRecord] = { it->second, true, s.uRecord };
                return;
            }
            if (!answer.bClosed && segment.uSeq != 0) {
                // The same segment with other bytes: which one belongs is not ours to
                // guess. The answer keeps its later segments but is never put together.
                if (answer.csProblem.empty())
                    answer.csProblem = "segment " + std::to_string(segment.uSeq) + " in records "
                        + std::to_string(s.uRecord) + " and " + std::to_string(segment.uRecord)
                        + " differs";
                answer.segments.push_back(segment);
                m_roles[segment.uRecord] = { it->second, false, 0 };
                return;
            }
            // A new first segment: a new answer under the same invoke ID.
            answer.bClosed = true;
            it = m_last.end();
            break;
        }
        if (it != m_last.end() && answer.bClosed)
            it = m_last.end(); // a segment after its answer closed starts another one
    }
    if (it == m_last.end()) {
        m_answers.try_emplace(m_nAnswers);
        it = m_last.insert_or_assign(csKey, m_nAnswers++).first;
    }
    SAnswer& answer = m_answers.at(it->second);
    answer.segments.push_back(segment);
    m_roles[segment.uRecord] = { it->second, false, 0 };

    // Complete: in sequence order the segments join whole, none left over.
    if (answer.csProblem.empty() && JoinsWhole(answer)) {
        answer.bClosed = answer.bComplete = true;
        answer.uCompletedBy = segment.uRecord;
    }
}

bool CSegmentAssembler::JoinsWhole(const SAnswer& answer)
{
    std::vector<const SSegment*> order;
    order.reserve(answer.segments.size());
    for (const SSegment& s : answer.segments)
        order.push_back(&s);
    std::stable_sort(order.begin(), order.end(),
        [](const SSegment* pA, const SSegment* pB) { return pA->uSeq < pB->uSeq; });
    CSegmentJoin join;
    for (const SSegment* p : order) {
        SSegmentHeader header;
        header.uSequence = p->uSeq;
        header.bMore = p->bMore;
        if (join.Add(header, nullptr, 0) == CSegmentJoin::EAdd::NotNext)
            return false;
    }
    return join.IsWhole();
}

void CSegmentAssembler::Finish()
{
    const std::lock_guard lock(m_mutex);
    m_bFinished = true;
}

size_t CSegmentAssembler::AnswerCount() const
{
    const std::lock_guard lock(m_mutex);
    return m_nAnswers;
}

void CSegmentAssembler::Forget(uint64_t uBelow)
{
    const std::lock_guard lock(m_mutex);
    for (auto it = m_roles.begin(); it != m_roles.end();)
        it = it->first < uBelow ? m_roles.erase(it) : std::next(it);
    for (auto it = m_answers.begin(); it != m_answers.end();) {
        bool bOld = true;
        for (const SSegment& s : it->second.segments)
            bOld = bOld && s.uRecord < uBelow;
        it = bOld ? m_answers.erase(it) : std::next(it);
    }
    for (auto it = m_last.begin(); it != m_last.end();)
        it = m_answers.count(it->second) ? std::next(it) : m_last.erase(it);
}

std::string CSegmentAssembler::Note(const SAnswer& answer) const
{
    if (!answer.csProblem.empty())
        return " (not reassembled: " + answer.csProblem + ")";
    if (answer.bComplete)
        return " (answer in record " + std::to_string(answer.uCompletedBy) + ")";
    if (!answer.bClosed && !m_bFinished)
        return " (answer incomplete so far)";
    // Which sequence numbers are missing, up to the last one seen.
    int iMax = 0;
    bool bLast = false;
    for (const SSegment& s : answer.segments) {
        iMax = s.uSeq > iMax ? s.uSeq : iMax;
        bLast = bLast || !s.bMore;
    }
    std::string csMissing;
    int iMissing = 0;
    for (int i = 0; i <= iMax; ++i) {
        bool bHave = false;
        for (const SSegment& s : answer.segments)
            bHave = bHave || s.uSeq == i;
        if (!bHave) {
            csMissing += (iMissing ? ", " : " ") + std::to_string(i);
            ++iMissing;
        }
    }
    std::string cs = " (answer incomplete:";
    if (iMissing)
        cs += (iMissing == 1 ? " segment" : " segments") + csMissing + " missing";
    if (!bLast)
        cs += std::string(iMissing ? "," : "") + " no last segment";
    return cs + ")";
}

SRow CSegmentAssembler::Decode(
    const SFrame& frame, std::vector<SField>* pTree, const ReadFn& read) const
{
    // A copy of what this record is, so that the decode runs without the lock.
    SRole role {};
    SAnswer answer;
    std::string csNote;
    bool bSegment = false;
    {
        const std::lock_guard lock(m_mutex);
        const auto itRole = m_roles.find(frame.uNumber);
        if (itRole != m_roles.end()) {
            bSegment = true;
            role = itRole->second;
            answer = m_answers.at(role.nAnswer);
            csNote = Note(answer);
        }
    }
    if (!bSegment)
        return DecodeWith(frame, pTree, nullptr);
    SSegmentHook hook;
    if (role.bRepeat) {
        hook.csNote = " (repeat of record " + std::to_string(role.uFirst) + ")";
        return DecodeWith(frame, pTree, &hook);
    }
    if (!answer.bComplete || answer.uCompletedBy != frame.uNumber) {
        hook.csNote = csNote;
        return DecodeWith(frame, pTree, &hook);
    }
    // The record that completes the answer: every segment's data, in sequence order.
    std::vector<uint8_t> whole;
    std::string csProblem;
    if (!Gather(answer, frame, read, whole, hook.uOwnStart, csProblem)) {
        hook.csNote = " (not reassembled: " + csProblem + ")";
        return DecodeWith(frame, pTree, &hook);
    }
    hook.pWhole = &whole;
    hook.uSegments = static_cast<uint32_t>(answer.segments.size());
    return DecodeWith(frame, pTree, &hook);
}

bool CSegmentAssembler::Gather(const SAnswer& answer, const SFrame& frame, const ReadFn& read,
    std::vector<uint8_t>& whole, uint32_t& uOwnStart, std::string& csProblem)
{
    CSegmentJoin join;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < answer.segments.size(); ++i) {
        for (const SSegment& s : answer.segments) {
            if (s.uSeq != i)
                continue;
            const uint8_t* p = nullptr;
            if (s.uRecord == frame.uNumber) {
                uOwnStart = static_cast<uint32_t>(join.Data().size());
                p = frame.pData;
            } else if (read && read(s.uRecord, bytes)
                && bytes.size() >= uint64_t { s.uDataOffset } + s.uDataLength
                && Fnv1a(bytes.data() + s.uDataOffset, s.uDataLength) == s.uHash) {
                p = bytes.data();
            } else {
                csProblem = "record " + std::to_string(s.uRecord) + " cannot be read";
                return false;
            }
            SSegmentHeader header;
            header.uSequence = s.uSeq;
            header.bMore = s.bMore;
            join.Add(header, p + s.uDataOffset, s.uDataLength);
        }
    }
    whole = join.Data();
    return true;
}

bool CSegmentAssembler::Whole(
    const SFrame& frame, const ReadFn& read, std::vector<uint8_t>& data) const
{
    SAnswer answer;
    {
        const std::lock_guard lock(m_mutex);
        const auto it = m_roles.find(frame.uNumber);
        if (it == m_roles.end() || it->second.bRepeat)
            return false;
        answer = m_answers.at(it->second.nAnswer);
    }
    if (!answer.bComplete || answer.uCompletedBy != frame.uNumber)
        return false;
    data.clear();
    uint32_t uOwnStart = 0;
    std::string csProblem;
    return Gather(answer, frame, read, data, uOwnStart, csProblem);
}

bool MaySegment(const SRow& row)
{
    const size_t nAck = row.csInfo.find("-ACK[");
    return nAck != std::string::npos && row.csInfo.find(" segment ", nAck) != std::string::npos;
}

} // namespace velmora::dissect
