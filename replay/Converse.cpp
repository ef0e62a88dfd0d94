#include "replay/Converse.h"

#include "decode/BacnetFields.h"
#include "decode/Frame.h"
#include "decode/FrameEdit.h"
#include "decode/Segments.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <functional>
#include <map>

namespace velmora {

namespace {

    constexpr size_t kNone = SIZE_MAX;
    constexpr uint8_t kAbortTsmTimeout = 10;
    constexpr uint8_t kAbortBufferOverflow = 1;
    constexpr uint8_t kAbortInvalidApdu = 2;
    constexpr uint8_t kAbortWindowSize = 7;

    // A BACnet frame's fields and where its layers start.
    struct SLocated {
        frame::SBacnetFrame f;
        frame::ERequestKind eKind = frame::ERequestKind::Skipped;
        bool bApdu = false; // nApdu..nEnd holds an APDU
        size_t nLength8023 = kNone; // the 802.3 length field
        size_t nIp = kNone;
        size_t nUdp = kNone;
        size_t nBvlc = kNone;
        size_t nNpdu = 0;
        size_t nApdu = 0;
        size_t nEnd = 0; // the APDU's end, padding left out
        frame::SFrameLayout layout;
    };

    // The one place this file reads BACnet: the frame locator for the layers
    // and decode's frame fields for the rest.
    SLocated Locate(const uint8_t* p, size_t n)
    {
        SLocated at;
        at.f = frame::ParseBacnet(p, n);
        at.eKind = frame::ClassifyRequest(at.f);
        const frame::EApdu e = at.f.eApdu;
        if (e == frame::EApdu::NotBacnet || e == frame::EApdu::BvlcOnly
            || e == frame::EApdu::NetworkMessage)
            return at;
        const frame::SFrameLayout layout = frame::LocateFrame(p, n);
        if (!layout.uApduAt)
            return at;
        at.layout = layout;
        if (layout.eKind == frame::EFrameKind::BacnetIp) {
            at.nIp = layout.uIpAt;
            at.nUdp = layout.uUdpAt;
            at.nBvlc = layout.uBvlcAt;
        } else {
            at.nLength8023 = layout.uTypeAt;
        }
        at.nNpdu = layout.uNpduAt;
        at.nApdu = layout.uApduAt;
        at.nEnd = layout.uEnd;
        at.bApdu = at.nApdu < at.nEnd;
        return at;
    }

    // The headers of base (up to its APDU) and a new APDU, through the frame
    // editor: every length and both checksums anew (a real UDP checksum, even
    // where base had none), padded to 60 bytes. An 802.3 length cannot pass
    // 1500; a longer frame says 1500. VLAN tags stay.
    std::vector<uint8_t> WithApdu(const std::vector<uint8_t>& base, const SLocated& at,
        const uint8_t* pApdu, size_t nApdu, bool bReply)
    {
        std::vector<uint8_t> out(std::max(at.nApdu + nApdu, size_t { frame::kMinFrameLength }));
        std::copy(base.begin(), base.begin() + static_cast<ptrdiff_t>(at.nApdu), out.begin());
        const uint32_t uLength = static_cast<uint32_t>(at.nApdu);
        frame::CFrameEdit edit(out.data(), uLength, static_cast<uint32_t>(out.size()), at.layout);
        if (!bReply)
            edit.Put8(static_cast<uint32_t>(at.nNpdu + 1),
                out[at.nNpdu + 1] & static_cast<uint8_t>(~0x04)); // no reply expected
        if (at.nIp != kNone) {
            // Whole: no more fragments, offset 0 (DF stays).
            const uint8_t flags[2] = { static_cast<uint8_t>(out[at.nIp + 6] & 0x40), 0 };
            edit.Put(static_cast<uint32_t>(at.nIp + 6), flags, 2);
            edit.WantUdpChecksum();
        }
        edit.SetPayload(uLength, pApdu, nApdu);
        out.resize(edit.Finish());
        return out;
    }

    std::string DeviceKey(const frame::SBacnetFrame& r)
    {
        std::string cs(1, static_cast<char>(r.linkDestination.uLength));
        cs.append(r.linkDestination.bytes.begin(), r.linkDestination.bytes.end());
        if (r.bHasDnet) {
            cs += static_cast<char>(r.uDnet >> 8);
            cs += static_cast<char>(r.uDnet);
            cs += static_cast<char>(r.dadr.uLength);
            cs.append(r.dadr.bytes.begin(), r.dadr.bytes.end());
        }
        return cs;
    }

    // The device a request goes to, as the words of a give-up need it.
    SConverseDevice DeviceOf(const frame::SBacnetFrame& r)
    {
        SConverseDevice device;
        device.bIp = r.bIp;
        const frame::SStation& d = r.linkDestination;
        device.link.assign(d.bytes.begin(), d.bytes.begin() + d.uLength);
        device.bRouted = r.bHasDnet;
        device.uNet = r.uDnet;
        device.address.assign(r.dadr.bytes.begin(), r.dadr.bytes.begin() + r.dadr.uLength);
        return device;
    }

} // namespace

SConverseLimit ConverseLimit(EConverseSetting eSetting)
{
    switch (eSetting) {
    case EConverseSetting::Window:
        return { kMinConverseWindow, kMaxConverseWindow };
    case EConverseSetting::ApduTimeout:
        return { kMinApduTimeoutMs, kMaxApduTimeoutMs };
    case EConverseSetting::Retries:
        return { 0, kMaxConverseRetries };
    case EConverseSetting::GiveUp:
        return { 0, kMaxGiveUp };
    }
    return {};
}

bool SetConverseSetting(SConverseOptions& options, EConverseSetting eSetting, int64_t ll)
{
    const SConverseLimit limit = ConverseLimit(eSetting);
    if (ll < limit.llMin || ll > limit.llMax)
        return false;
    switch (eSetting) {
    case EConverseSetting::Window:
        options.iWindow = static_cast<int>(ll);
        break;
    case EConverseSetting::ApduTimeout:
        options.llApduTimeoutMs = ll;
        break;
    case EConverseSetting::Retries:
        options.iRetries = static_cast<int>(ll);
        break;
    case EConverseSetting::GiveUp:
        options.iGiveUp = static_cast<int>(ll);
        break;
    }
    return true;
}

namespace {

    std::string Hex(const std::vector<uint8_t>& bytes, char cSeparator)
    {
        std::string cs;
        char sz[4];
        for (size_t i = 0; i < bytes.size(); ++i) {
            std::snprintf(sz, sizeof sz, "%02x", bytes[i]);
            if (i > 0 && cSeparator)
                cs += cSeparator;
            cs += sz;
        }
        return cs;
    }

} // namespace

std::string ConverseGiveUpText(const SConverseGiveUp& giveUp)
{
    if (!giveUp.bGaveUp)
        return std::string();
    const SConverseDevice& d = giveUp.device;
    std::string csDevice;
    if (d.bIp && d.link.size() == 6) {
        csDevice = std::to_string(d.link[0]) + "." + std::to_string(d.link[1]) + "."
            + std::to_string(d.link[2]) + "." + std::to_string(d.link[3]) + ":"
            + std::to_string(d.link[4] << 8 | d.link[5]);
    } else {
        csDevice = Hex(d.link, ':');
    }
    if (d.bRouted)
        csDevice += ", network " + std::to_string(d.uNet) + " address " + Hex(d.address, 0);
    return "the device at " + csDevice + " stopped answering after record "
        + std::to_string(giveUp.uRecord);
}

namespace {

    // Where a confirmed request stands, as a client's state machine names it.
    enum class ERequestState {
        AwaitConfirmation, // sent; its answer, or an answer's first segment, is awaited
        SegmentedConf, // a segmented answer is on its way: more segments are awaited
    };

    // Where the conversation stands after the last offer.
    enum class EConverseState {
        Sending, // the last record offered went (or was skipped)
        Waiting, // a window was full: the loop waits for an answer
        GaveUp, // a device stopped answering: nothing more goes
    };

} // namespace

struct CConversation::SState {
    struct SRequest {
        std::string csDevice;
        SLocated at; // of the frame as sent
        std::vector<uint8_t> frame; // as sent, for retries and the frames we make
        SConverseResult result;
        int64_t llSentHeardNs = 0; // the first send, on the ear's clock
        int64_t llDeadline = 0; // of the answer, or of the next segment
        ERequestState eState = ERequestState::AwaitConfirmation;
        // A segmented answer on its way (SegmentedConf).
        uint8_t uInitialSequence = 0;
        uint8_t uWindow = 1; // the actual window size
        std::vector<uint8_t> first; // the first segment's frame
        SLocated firstAt;
        dissect::CSegmentJoin join; // the segments taken so far
    };
    struct SDevice {
        SConverseDevice device;
        int iOutstanding = 0;
        uint8_t uNextId = 0;
        std::array<bool, 256> held {};
        int iUnanswered = 0; // in a row
    };

    SConverseOptions options;
    IClock& clock;
    std::function<int64_t()> heardNow; // empty: the clock's
    int64_t llTimeoutNs;
    std::map<std::string, SDevice> devices;
    std::vector<SRequest> outstanding; // in send order
    std::vector<std::vector<uint8_t>> frames;
    std::vector<SConverseResult> results;
    uint64_t uOffered = 0;
    uint64_t uTotal = 0;
    bool bKeepChecksums = false;
    std::string csWaitingDevice; // the device whose window was full at the last offer
    EConverseState eState = EConverseState::Sending;
    SConverseGiveUp giveUp;

    SState(const SConverseOptions& o, IClock& c)
        : options(o)
        , clock(c)
        , llTimeoutNs(o.llApduTimeoutMs * 1'000'000)
    {
    }

    // Ends request i (and frees its invoke ID); bAnswered resets the device's count.
    void End(size_t i, EConverseOutcome eOutcome)
    {
        SRequest& r = outstanding[i];
        r.result.eOutcome = eOutcome;
        SDevice& d = devices[r.csDevice];
        d.held[r.result.uSentInvokeId] = false;
        --d.iOutstanding;
        if (eOutcome == EConverseOutcome::Answered || eOutcome == EConverseOutcome::Aborted)
            d.iUnanswered = 0;
        results.push_back(std::move(r.result));
        outstanding.erase(outstanding.begin() + static_cast<ptrdiff_t>(i));
    }

    void SegmentAck(const SRequest& r, uint8_t uSequence, bool bNegative)
    {
        const uint8_t apdu[4] = { static_cast<uint8_t>(0x40 | (bNegative ? 0x02 : 0)),
            r.result.uSentInvokeId, uSequence, r.uWindow };
        frames.push_back(WithApdu(r.frame, r.at, apdu, sizeof apdu, false));
    }

    void Abort(size_t i, uint8_t uReason)
    {
        const SRequest& r = outstanding[i];
        const uint8_t apdu[3] = { 0x70, r.result.uSentInvokeId, uReason };
        frames.push_back(WithApdu(r.frame, r.at, apdu, sizeof apdu, false));
        End(i, EConverseOutcome::Aborted);
    }

    // A segment of request i's answer.
    void Segment(size_t i, const uint8_t* p, const SLocated& a, int64_t llHeardNs)
    {
        SRequest& r = outstanding[i];
        dissect::SSegmentHeader h;
        if (!dissect::ReadSegmentHeader(p + a.nApdu, a.nEnd - a.nApdu, h))
            return Abort(i, kAbortInvalidApdu);
        const uint8_t* pData = p + a.nApdu + 5;
        const size_t nData = a.nEnd - a.nApdu - 5;
        if (r.eState == ERequestState::AwaitConfirmation) {
            // Only a first segment may open the answer.
            if (!r.join.IsNext(h))
                return Abort(i, kAbortInvalidApdu);
            if (h.uWindow == 0 || h.uWindow > 127)
                return Abort(i, kAbortWindowSize);
            r.eState = ERequestState::SegmentedConf;
            r.uWindow = h.uWindow; // the proposed size: we take it whole
            r.first.assign(p, p + a.nEnd);
            r.firstAt = a;
            r.uInitialSequence = 0;
            r.join.Add(h, pData, nData);
            r.result.iSegments = r.join.Segments();
            r.result.llAnsweredNs = llHeardNs;
            r.llDeadline = clock.Now() + llTimeoutNs;
            SegmentAck(r, 0, false);
            if (r.join.IsWhole())
                Complete(i);
            return;
        }
        r.llDeadline = clock.Now() + llTimeoutNs;
        if (!r.join.IsNext(h)) {
            // Out of order or again: say where we are, and count from there.
            SegmentAck(r, r.join.LastSequence(), true);
            r.uInitialSequence = r.join.LastSequence();
            return;
        }
        if (r.first.size() + r.join.Data().size() + nData > 65535)
            return Abort(i, kAbortBufferOverflow);
        r.join.Add(h, pData, nData);
        r.result.iSegments = r.join.Segments();
        r.result.llAnsweredNs = llHeardNs;
        if (r.join.IsWhole()) {
            SegmentAck(r, h.uSequence, false);
            return Complete(i);
        }
        if (h.uSequence == static_cast<uint8_t>(r.uInitialSequence + r.uWindow)) {
            SegmentAck(r, h.uSequence, false);
            r.uInitialSequence = h.uSequence;
        }
    }

    // The segmented answer is whole: one ComplexACK with all the data.
    void Complete(size_t i)
    {
        SRequest& r = outstanding[i];
        const std::vector<uint8_t> apdu = r.join.ComplexAckApdu(r.result.uSentInvokeId);
        r.result.answer = WithApdu(r.first, r.firstAt, apdu.data(), apdu.size(), true);
        End(i, EConverseOutcome::Answered);
    }
};

CConversation::CConversation(const SConverseOptions& options, IClock& clock)
    : m_p(std::make_unique<SState>(options, clock))
{
}

CConversation::~CConversation() = default;

void CConversation::SetTotal(uint64_t uTotal)
{
    m_p->uTotal = uTotal;
}

void CConversation::SetHeardClock(std::function<int64_t()> heardNow)
{
    m_p->heardNow = std::move(heardNow);
}

void CConversation::KeepChecksums(bool bKeep)
{
    m_p->bKeepChecksums = bKeep;
}

EConverseGate CConversation::Offer(uint64_t uRecord, uint8_t* pFrame, uint32_t uLength,
    int64_t& llUntilNs, SConverseOffered* pOffered)
{
    SState& s = *m_p;
    llUntilNs = 0;
    if (pOffered)
        *pOffered = SConverseOffered();
    if (s.eState == EConverseState::GaveUp)
        return EConverseGate::GaveUp;
    const SLocated at = Locate(pFrame, uLength);
    if (at.eKind == frame::ERequestKind::Skipped)
        return EConverseGate::Skip;
    // A window of 1 keeps the capture's order: nothing, unconfirmed requests
    // and other devices' included, leaves before the answer that is waited on.
    if (s.options.iWindow <= 1 && !s.outstanding.empty()) {
        llUntilNs = INT64_MAX;
        for (const SState::SRequest& r : s.outstanding)
            llUntilNs = std::min(llUntilNs, r.llDeadline);
        s.csWaitingDevice = s.outstanding.front().csDevice;
        s.eState = EConverseState::Waiting;
        return EConverseGate::Wait;
    }
    if (at.eKind != frame::ERequestKind::Confirmed || at.f.bSegmented || !at.bApdu
        || at.nEnd - at.nApdu < 3) {
        s.eState = EConverseState::Sending;
        ++s.uOffered;
        return EConverseGate::Go;
    }
    const std::string csKey = DeviceKey(at.f);
    auto [it, bNew] = s.devices.try_emplace(csKey);
    SState::SDevice& d = it->second;
    if (bNew)
        d.device = DeviceOf(at.f);
    if (d.iOutstanding >= s.options.iWindow) {
        llUntilNs = INT64_MAX;
        for (const SState::SRequest& r : s.outstanding)
            if (r.csDevice == csKey)
                llUntilNs = std::min(llUntilNs, r.llDeadline);
        s.csWaitingDevice = csKey;
        s.eState = EConverseState::Waiting;
        return EConverseGate::Wait;
    }
    s.eState = EConverseState::Sending;
    ++s.uOffered;
    // A fresh ID: the next one that no outstanding request to the device holds.
    while (d.held[d.uNextId])
        ++d.uNextId;
    const uint8_t uId = d.uNextId++;
    d.held[uId] = true;
    ++d.iOutstanding;

    SState::SRequest r;
    r.csDevice = csKey;
    r.result.uRecord = uRecord;
    r.result.uCapturedInvokeId = pFrame[at.nApdu + 2];
    r.result.uSentInvokeId = uId;
    if (pOffered) {
        pOffered->iInvokeAt = static_cast<int>(at.nApdu + 2);
        pOffered->uCapturedInvokeId = pFrame[at.nApdu + 2];
    }
    // UDP's checksum covers the invoke ID: the editor keeps it right.
    frame::CFrameEdit edit(pFrame, uLength, uLength, at.layout, s.bKeepChecksums);
    edit.Put8(static_cast<uint32_t>(at.nApdu + 2), uId);
    edit.Finish();
    r.frame.assign(pFrame, pFrame + uLength);
    r.at = at;
    r.at.f.uInvokeId = uId;
    r.result.llSentNs = s.clock.Now();
    r.llSentHeardNs = s.heardNow ? s.heardNow() : r.result.llSentNs;
    r.llDeadline = r.result.llSentNs + s.llTimeoutNs;
    s.outstanding.push_back(std::move(r));
    return EConverseGate::Go;
}

void CConversation::Heard(const uint8_t* pFrame, size_t nLength, int64_t llHeardNs)
{
    SState& s = *m_p;
    if (s.outstanding.empty())
        return;
    const SLocated a = Locate(pFrame, nLength);
    if (!frame::IsAnswer(a.f))
        return;
    for (size_t i = 0; i < s.outstanding.size(); ++i) {
        SState::SRequest& r = s.outstanding[i];
        // Heard before the request went: a late answer to an earlier one.
        if (!frame::AnswersConfirmed(r.at.f, a.f)
            || (llHeardNs != 0 && llHeardNs < r.llSentHeardNs))
            continue;
        if (a.f.eApdu == frame::EApdu::ComplexAck && a.f.bSegmented)
            return s.Segment(i, pFrame, a, llHeardNs);
        if (r.eState == ERequestState::SegmentedConf) {
            // Anything else in the middle of a segmented answer: a server's Abort
            // ends it; a stray answer breaks it.
            if (a.f.eApdu != frame::EApdu::Abort)
                return s.Abort(i, kAbortInvalidApdu);
        }
        r.result.llAnsweredNs = llHeardNs;
        r.result.answer.assign(pFrame, pFrame + nLength);
        r.result.iSegments = 0;
        return s.End(i, EConverseOutcome::Answered);
    }
}

void CConversation::Tick()
{
    SState& s = *m_p;
    const int64_t llNow = s.clock.Now();
    for (size_t i = 0; i < s.outstanding.size();) {
        SState::SRequest& r = s.outstanding[i];
        if (r.llDeadline > llNow) {
            ++i;
            continue;
        }
        if (r.eState == ERequestState::SegmentedConf) {
            s.Abort(i, kAbortTsmTimeout);
            continue;
        }
        if (r.result.iRetries < s.options.iRetries) {
            ++r.result.iRetries;
            s.frames.push_back(r.frame);
            r.llDeadline = llNow + s.llTimeoutNs;
            ++i;
            continue;
        }
        SState::SDevice& d = s.devices[r.csDevice];
        const uint64_t uRecord = r.result.uRecord;
        s.End(i, EConverseOutcome::TimedOut);
        if (++d.iUnanswered >= s.options.iGiveUp && s.options.iGiveUp > 0
            && s.eState != EConverseState::GaveUp) {
            s.eState = EConverseState::GaveUp;
            s.giveUp = { true, d.device, uRecord };
            while (!s.outstanding.empty())
                s.End(0, EConverseOutcome::GaveUp);
            return;
        }
    }
}

std::vector<std::vector<uint8_t>> CConversation::TakeFrames()
{
    return std::move(m_p->frames);
}

std::vector<SConverseResult> CConversation::TakeResults()
{
    return std::move(m_p->results);
}

int64_t CConversation::NextDeadline() const
{
    int64_t ll = INT64_MAX;
    for (const SState::SRequest& r : m_p->outstanding)
        ll = std::min(ll, r.llDeadline);
    return ll;
}

size_t CConversation::Outstanding() const
{
    return m_p->outstanding.size();
}

bool CConversation::GaveUp() const
{
    return m_p->eState == EConverseState::GaveUp;
}

const SConverseGiveUp& CConversation::GiveUpFacts() const
{
    return m_p->giveUp;
}

std::string CConversation::GiveUpText() const
{
    return ConverseGiveUpText(m_p->giveUp);
}

SConverseProgress CConversation::Progress() const
{
    const SState& s = *m_p;
    SConverseProgress progress;
    progress.uRequest = s.uOffered;
    progress.uTotal = s.uTotal;
    if (s.eState == EConverseState::Waiting) {
        for (const SState::SRequest& r : s.outstanding)
            if (r.csDevice == s.csWaitingDevice) {
                progress.bWaiting = true;
                progress.llWaitedNs = std::max<int64_t>(0, s.clock.Now() - r.result.llSentNs);
                break;
            }
    }
    return progress;
}

void CConversation::StopAll()
{
    while (!m_p->outstanding.empty())
        m_p->End(0, EConverseOutcome::Stopped);
}

} // namespace velmora
