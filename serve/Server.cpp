#include "serve/Server.h"

#include "decode/BacnetFields.h"
#include "decode/Decoder.h"
#include "decode/Frame.h"
#include "decode/Tags.h"
#include "decode/Text.h"
#include "judge/Judge.h"
#include "replay/Clock.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

namespace velmora::serve {

using frame::ReadTagAt;
using frame::STagHeader;

std::string PeerText(const SPeer& peer)
{
    char sz[32];
    if (peer.bEthernet) {
        std::snprintf(sz, sizeof sz, "%02x:%02x:%02x:%02x:%02x:%02x", peer.mac[0], peer.mac[1],
            peer.mac[2], peer.mac[3], peer.mac[4], peer.mac[5]);
        return sz;
    }
    std::snprintf(sz, sizeof sz, "%u.%u.%u.%u:%u", peer.uIp >> 24, (peer.uIp >> 16) & 0xff,
        (peer.uIp >> 8) & 0xff, peer.uIp & 0xff, peer.uPort);
    return sz;
}

const char* ServedFromWord(EServedFrom eFrom)
{
    switch (eFrom) {
    case EServedFrom::Captured:
        return "captured";
    case EServedFrom::Learned:
        return "learned";
    case EServedFrom::Written:
        return "written";
    case EServedFrom::Unknown:
        return "unknown";
    }
    return "";
}

namespace {

    constexpr uint8_t kReadProperty = 12;
    constexpr uint8_t kReadPropertyMultiple = 14;
    constexpr uint8_t kWriteProperty = 15;

    // Error classes and codes, reject and abort reasons a served device gives.
    constexpr uint32_t kClassObject = 1;
    constexpr uint32_t kClassProperty = 2;
    constexpr uint32_t kUnknownObject = 31;
    constexpr uint32_t kUnknownProperty = 32;
    constexpr uint32_t kWriteAccessDenied = 40;
    constexpr uint8_t kRejectInvalidTag = 4;
    constexpr uint8_t kRejectUnrecognizedService = 9;
    constexpr uint8_t kAbortBufferOverflow = 1;
    constexpr uint8_t kAbortSegmentationNotSupported = 4;
    constexpr uint8_t kAbortTsmTimeout = 10;

    // What REQUIRED asks for in an object of a type the table below does not
    // name: properties every object has, or a device must have.
    const std::set<uint32_t> kRequired = { 11, 12, 30, 36, 44, 62, 70, 73, 75, 76, 77, 79, 81, 85,
        96, 97, 98, 107, 111, 112, 117, 120, 121, 139, 155 };

    // The properties each standard object type must have, by type. Every type
    // has object-identifier (75), object-name (77), object-type (79) and
    // property-list (371) besides.
    const std::map<uint32_t, std::set<uint32_t>> kRequiredByType = [] {
        const std::set<uint32_t> point { 36, 81, 85, 111 }; // event-state ... status-flags
        const std::set<uint32_t> commanded { 87, 104, 431 }; // priority-array ... command priority
        std::map<uint32_t, std::set<uint32_t>> m {
            { 0, { 117 } }, // analog-input: units
            { 1, { 117 } }, // analog-output
            { 2, { 117 } }, // analog-value
            { 3, { 84 } }, // binary-input: polarity
            { 4, { 84 } }, // binary-output
            { 5, {} }, // binary-value
            { 6, { 85, 23 } }, // calendar: present-value, date-list
            { 8, // device
                { 112, 121, 120, 70, 44, 12, 98, 139, 97, 96, 76, 62, 107, 11, 73, 30, 155 } },
            { 9, { 37, 72, 83, 78, 36, 35, 0, 17, 130 } }, // event-enrollment
            { 10, { 43, 42, 71, 13, 99, 41 } }, // file
            { 12, // loop
                { 82, 60, 19, 21, 20, 109, 108, 2, 88 } },
            { 13, { 74 } }, // multi-state-input: number-of-states
            { 14, { 74 } }, // multi-state-output
            { 15, { 17, 86, 1, 102 } }, // notification-class
            { 16, { 92, 90, 111, 81 } }, // program
            { 17, { 85, 32, 174, 54, 88, 111, 103, 81 } }, // schedule
            { 19, { 74 } }, // multi-state-value
            { 20, { 133, 144, 126, 131, 141, 145, 197, 111, 36 } }, // trend-log
        };
        for (uint32_t uType : { 0u, 1u, 2u, 3u, 4u, 5u, 12u, 13u, 14u, 19u })
            m[uType].insert(point.begin(), point.end());
        for (uint32_t uType : { 1u, 4u, 14u })
            m[uType].insert(commanded.begin(), commanded.end());
        for (auto& [uType, required] : m)
            required.insert({ 75, 77, 79, 371 });
        return m;
    }();

    const std::set<uint32_t>& RequiredOf(uint32_t uObject)
    {
        const auto it = kRequiredByType.find(ObjectType(uObject));
        return it == kRequiredByType.end() ? kRequired : it->second;
    }

    // Tag reading over one service's parameters.
    struct SParams {
        const uint8_t* p;
        size_t n;
        size_t nPos = 0;

        bool AtEnd() const { return nPos >= n; }
        bool Peek(STagHeader& t) const { return ReadTagAt(p, n, nPos, t); }
        bool IsContext(uint32_t uTag) const
        {
            STagHeader t;
            return Peek(t) && t.bContext && !t.bOpening && !t.bClosing && t.uNumber == uTag;
        }
        bool Is(uint32_t uTag, bool bOpening) const
        {
            STagHeader t;
            return Peek(t) && (bOpening ? t.bOpening : t.bClosing) && t.uNumber == uTag;
        }
        bool Unsigned(uint32_t uTag, uint32_t& u)
        {
            STagHeader t;
            if (!Peek(t) || !t.bContext || t.bOpening || t.bClosing || t.uNumber != uTag
                || !ReadUnsigned(p + t.nContent, t.uLength, u))
                return false;
            nPos = t.nEnd;
            return true;
        }
        bool Take(uint32_t uTag, bool bOpening)
        {
            STagHeader t;
            if (!Peek(t) || (bOpening ? !t.bOpening : !t.bClosing) || t.uNumber != uTag)
                return false;
            nPos = t.nEnd;
            return true;
        }
        bool Enclosed(uint32_t uTag, CBytes& value)
        {
            STagHeader open;
            size_t nAfter = 0;
            if (!Peek(open) || !open.bOpening || open.uNumber != uTag
                || !frame::SkipTagged(p, n, nPos, nAfter))
                return false;
            value.assign(p + open.nEnd, p + nAfter - (uTag >= 15 ? 2 : 1));
            nPos = nAfter;
            return true;
        }
    };

    // The content of an application-tagged value (a CharacterString's bytes).
    bool Content(const CBytes& v, CBytes& content)
    {
        STagHeader t;
        if (!ReadTagAt(v.data(), v.size(), 0, t) || t.bContext)
            return false;
        content.assign(v.begin() + static_cast<ptrdiff_t>(t.nContent),
            v.begin() + static_cast<ptrdiff_t>(t.nEnd));
        return true;
    }

    // A datagram dressed as the Ethernet frame a capture would hold, so that
    // the decoder's one frame rule reads it (and the decoder words it).
    CBytes Dress(const SPeer& from, const SPeer& to, const uint8_t* p, size_t n)
    {
        CBytes f(42 + n, 0);
        f[12] = 0x08;
        const size_t nIp = 20 + 8 + n;
        f[14] = 0x45;
        f[16] = static_cast<uint8_t>(nIp >> 8);
        f[17] = static_cast<uint8_t>(nIp);
        f[22] = 64;
        f[23] = 17;
        for (int i = 0; i < 4; ++i) {
            f[26 + i] = static_cast<uint8_t>(from.uIp >> (24 - 8 * i));
            f[30 + i] = static_cast<uint8_t>(to.uIp >> (24 - 8 * i));
        }
        f[34] = static_cast<uint8_t>(from.uPort >> 8);
        f[35] = static_cast<uint8_t>(from.uPort);
        f[36] = static_cast<uint8_t>(to.uPort >> 8);
        f[37] = static_cast<uint8_t>(to.uPort);
        f[38] = static_cast<uint8_t>((8 + n) >> 8);
        f[39] = static_cast<uint8_t>(8 + n);
        std::copy(p, p + n, f.begin() + 42);
        return f;
    }

    std::string Words(const CBytes& frame)
    {
        dissect::SFrame f;
        f.pData = frame.data();
        f.header.uCapLen = f.header.uWireLen = static_cast<uint32_t>(frame.size());
        f.bChecksums = false; // a frame made up for its words: no checksum to judge
        return dissect::DecodeRow(f).csInfo;
    }

    // The property a reply names, and what it was asked.
    struct SAsk {
        uint32_t uObject = 0;
        SPropertyKey key;
    };

    struct SPick {
        const CBytes* pValue = nullptr;
        CBytes element; // an array element taken out of the whole array
        EServedFrom eFrom = EServedFrom::Unknown;
        uint32_t uErrorClass = kClassProperty;
        uint32_t uErrorCode = kUnknownProperty;
        const CBytes& Value() const { return pValue ? *pValue : element; }
    };

    // Combines the sources of the values of one answer.
    EServedFrom Worst(EServedFrom a, EServedFrom b)
    {
        if (a == EServedFrom::Written || b == EServedFrom::Written)
            return EServedFrom::Written;
        if (a == EServedFrom::Unknown)
            return b;
        if (b == EServedFrom::Unknown)
            return a;
        return a == EServedFrom::Captured && b == EServedFrom::Captured ? EServedFrom::Captured
                                                                        : EServedFrom::Learned;
    }

    // A segmented answer in flight.
    struct STransmit {
        CBytes prefix; // BVLC and NPDU
        uint8_t uInvoke = 0;
        uint8_t uService = 0;
        CBytes data;
        size_t nSegment = 0; // service data per segment
        uint32_t uCount = 0;
        uint32_t uFirst = 0; // the window's first sequence number
        uint32_t uWindow = 1;
        int iRetries = 0;
        int64_t llDeadlineNs = 0;
        // The request's line, so that giving the answer up is told against it.
        std::string csRequest;
        EServedFrom eFrom = EServedFrom::Unknown;
        uint32_t uDevice = UINT32_MAX;
    };

    // The address of a request as the answer must carry it back.
    struct SRoute {
        SPeer peer;
        frame::SBacnetFrame frame;
    };

} // namespace

struct CServer::SState {
    const SLearned& learned;
    SServeOptions options;
    IClock& clock;
    std::vector<const SLearnedDevice*> served; // lowest instance first
    std::map<std::tuple<uint32_t, uint32_t, SPropertyKey>, CBytes> written;
    std::map<std::tuple<uint32_t, uint32_t, SPropertyKey>, size_t> history;
    std::map<std::pair<SPeer, uint8_t>, STransmit> transmits;
    std::vector<SOutgoing> out;
    std::vector<SServed> log;
    SServeCounts counts;
    // The answer just put in segments, until its request is logged.
    std::pair<SPeer, uint8_t> newTransmit;
    bool bNewTransmit = false;

    // A request whose frame parsed: answers it, or takes its Segment-ACK or Abort.
    void Dispatch(SRoute& route, const CBytes& frame, const frame::SFrameLayout& layout);

    SState(const SLearned& l, const SServeOptions& o, IClock& c)
        : learned(l)
        , options(o)
        , clock(c)
    {
        for (const auto& [uInstance, device] : learned.devices)
            if (options.devices.empty()
                || std::find(options.devices.begin(), options.devices.end(), uInstance)
                    != options.devices.end())
                served.push_back(&device);
        options.iWindow = std::clamp(options.iWindow, 1, 127);
    }

    // BVLC (original unicast) and an NPDU back to the requester: to its
    // SNET/SADR when it came through a router, from the DNET/DADR it named.
    // BACnet/Ethernet: 802.3 from our MAC to the requester's, LLC 82 82 03.
    CBytes Prefix(const SRoute& route) const
    {
        const frame::SBacnetFrame& r = route.frame;
        CBytes v { 0x81, 0x0a, 0, 0, 0x01, 0x00 };
        if (route.peer.bEthernet) {
            v.assign(route.peer.mac.begin(), route.peer.mac.end());
            v.insert(v.end(), options.ownMac.begin(), options.ownMac.end());
            v.insert(v.end(), { 0, 0, 0x82, 0x82, 0x03, 0x01, 0x00 });
        }
        const size_t nControl = v.size() - 1;
        const bool bFrom = r.bHasDnet && r.dadr.uLength > 0;
        if (r.bHasSnet) {
            v[nControl] |= 0x20;
            v.push_back(static_cast<uint8_t>(r.uSnet >> 8));
            v.push_back(static_cast<uint8_t>(r.uSnet));
            v.push_back(r.sadr.uLength);
            v.insert(v.end(), r.sadr.bytes.begin(), r.sadr.bytes.begin() + r.sadr.uLength);
        }
        if (bFrom) {
            v[nControl] |= 0x08;
            v.push_back(static_cast<uint8_t>(r.uDnet >> 8));
            v.push_back(static_cast<uint8_t>(r.uDnet));
            v.push_back(r.dadr.uLength);
            v.insert(v.end(), r.dadr.bytes.begin(), r.dadr.bytes.begin() + r.dadr.uLength);
        }
        if (r.bHasSnet)
            v.push_back(255); // hop count
        return v;
    }

    // Sets the BVLC's length, or the 802.3 length and the padding to 60 bytes.
    static void Lengths(const SPeer& to, CBytes& v)
    {
        if (to.bEthernet) {
            v[12] = static_cast<uint8_t>((v.size() - 14) >> 8);
            v[13] = static_cast<uint8_t>(v.size() - 14);
            if (v.size() < 60)
                v.resize(60, 0);
            return;
        }
        v[2] = static_cast<uint8_t>(v.size() >> 8);
        v[3] = static_cast<uint8_t>(v.size());
    }

    void Send(const SPeer& to, CBytes v)
    {
        Lengths(to, v);
        out.push_back({ to, std::move(v) });
    }

    void Log(const SRoute& route, int64_t llNs, const std::string& csRequest,
        const std::string& csAnswer, EServedFrom eFrom, const SLearnedDevice* pDevice)
    {
        ++counts.uRequests;
        switch (eFrom) {
        case EServedFrom::Captured:
            ++counts.uCaptured;
            break;
        case EServedFrom::Learned:
            ++counts.uLearned;
            break;
        case EServedFrom::Written:
            ++counts.uWritten;
            break;
        case EServedFrom::Unknown:
            ++counts.uUnknown;
            break;
        }
        log.push_back({ llNs, route.peer, csRequest, csAnswer, eFrom,
            pDevice ? pDevice->uInstance : UINT32_MAX });
        if (std::exchange(bNewTransmit, false)) {
            const auto it = transmits.find(newTransmit);
            if (it != transmits.end()) {
                it->second.csRequest = csRequest;
                it->second.eFrom = eFrom;
                it->second.uDevice = log.back().uDevice;
            }
        }
    }

    // A segmented answer given up: its request no longer counts as answered
    // (one all of whose results were errors was counted unknown already).
    void GiveUp(const SPeer& peer, const STransmit& t, const std::string& csAnswer)
    {
        switch (t.eFrom) {
        case EServedFrom::Captured:
            --counts.uCaptured;
            ++counts.uUnknown;
            break;
        case EServedFrom::Learned:
            --counts.uLearned;
            ++counts.uUnknown;
            break;
        case EServedFrom::Written:
            --counts.uWritten;
            ++counts.uUnknown;
            break;
        case EServedFrom::Unknown:
            break;
        }
        log.push_back(
            { clock.Now(), peer, t.csRequest, csAnswer, EServedFrom::Unknown, t.uDevice });
    }

    // The device a request naming uObject goes to; nullptr when none is served.
    const SLearnedDevice* DeviceFor(uint32_t uObject) const
    {
        if (served.empty())
            return nullptr;
        if (ObjectType(uObject) == kObjectDevice && ObjectInstance(uObject) != kWildcardInstance) {
            for (const SLearnedDevice* p : served)
                if (p->uInstance == ObjectInstance(uObject))
                    return p;
            return served.front(); // answers that it has no such object
        }
        if (served.size() > 1)
            for (const SLearnedDevice* p : served)
                if (p->objects.count(uObject))
                    return p;
        return served.front();
    }

    static uint32_t Resolve(const SLearnedDevice& device, uint32_t uObject)
    {
        return ObjectType(uObject) == kObjectDevice && ObjectInstance(uObject) == kWildcardInstance
            ? ObjectId(kObjectDevice, device.uInstance)
            : uObject;
    }

    // The value of one property, and where it comes from. bReadProperty: the
    // answer is a ReadProperty-ACK (a value from one is then "captured").
    SPick Pick(const SLearnedDevice& device, uint32_t uObject, SPropertyKey key, bool bReadProperty)
    {
        SPick pick;
        const auto itObject = device.objects.find(uObject);
        if (itObject == device.objects.end()) {
            pick.uErrorClass = kClassObject;
            pick.uErrorCode = kUnknownObject;
            return pick;
        }
        const auto itWritten = written.find({ device.uInstance, uObject, key });
        if (itWritten != written.end()) {
            pick.pValue = &itWritten->second;
            pick.eFrom = EServedFrom::Written;
            return pick;
        }
        const SLearnedObject& object = itObject->second;
        const auto it = object.values.find(key);
        if (it != object.values.end() && !it->second.empty()) {
            const std::vector<SLearnedValue>& values = it->second;
            size_t nAt = values.size() - 1;
            if (options.bHistory) {
                size_t& nNext = history[{ device.uInstance, uObject, key }];
                nAt = std::min(nNext, values.size() - 1);
                nNext = nAt + 1;
            }
            const SLearnedValue& v = values[nAt];
            pick.pValue = &v.bytes;
            const EFrom eAsked = bReadProperty ? EFrom::ReadProperty : EFrom::ReadPropertyMultiple;
            pick.eFrom = v.eFrom == eAsked ? EServedFrom::Captured : EServedFrom::Learned;
            return pick;
        }
        if (key.uIndex != kNoIndex) {
            // One element of an array the capture showed whole.
            SPick whole = Pick(device, uObject, { key.uProperty, kNoIndex }, bReadProperty);
            if (whole.eFrom != EServedFrom::Unknown
                && ArrayElement(whole.Value(), key.uIndex, pick.element)) {
                pick.eFrom = whole.eFrom == EServedFrom::Written ? EServedFrom::Written
                                                                 : EServedFrom::Learned;
                return pick;
            }
            if (whole.eFrom != EServedFrom::Unknown) {
                pick.uErrorCode = 42; // invalid-array-index
                return pick;
            }
        }
        return pick;
    }

    void Reply(const SRoute& route, CBytes apdu)
    {
        CBytes v = Prefix(route);
        v.insert(v.end(), apdu.begin(), apdu.end());
        Send(route.peer, std::move(v));
    }

    static CBytes ErrorApdu(uint8_t uInvoke, uint8_t uService, uint32_t uClass, uint32_t uCode)
    {
        CBytes v { 0x50, uInvoke, uService };
        AppEnumerated(v, uClass);
        AppEnumerated(v, uCode);
        return v;
    }

    std::string AnswerWords(const SRoute& route, const CBytes& apdu) const
    {
        CBytes v = Prefix(route);
        v.insert(v.end(), apdu.begin(), apdu.end());
        Lengths(route.peer, v);
        return Words(route.peer.bEthernet ? v : Dress({}, route.peer, v.data(), v.size()));
    }

    // A ComplexACK, in segments when the client's or the device's APDU is too short for it.
    // Gives the answer's words; eFrom becomes Unknown when it had to be refused.
    std::string Complex(const SRoute& route, uint8_t uFlags, uint8_t uMaxCode, uint8_t uInvoke,
        uint8_t uService, CBytes data, const SLearnedDevice& device, EServedFrom& eFrom)
    {
        const uint32_t uMax = std::min<uint32_t>(
            MaxApduOfCode(uMaxCode & 0x0f), std::max<uint32_t>(device.uMaxApdu, 50));
        CBytes whole { 0x30, uInvoke, uService };
        whole.insert(whole.end(), data.begin(), data.end());
        std::string csWords = AnswerWords(route, whole);
        if (whole.size() <= uMax) {
            Reply(route, std::move(whole));
            return csWords;
        }
        const auto abort = [&](uint8_t uReason, const char* szWhy) {
            eFrom = EServedFrom::Unknown;
            Reply(route, { 0x71, uInvoke, uReason });
            ++counts.uAborted;
            return std::string("Abort[") + std::to_string(uInvoke) + "] " + szWhy + " (answer of "
                + std::to_string(whole.size()) + " bytes)";
        };
        // The device segments only where its I-Am says it transmits segments.
        if (!(uFlags & 0x02) || (device.uSegmentation != 0 && device.uSegmentation != 1))
            return abort(kAbortSegmentationNotSupported, "segmentation-not-supported");
        STransmit tx;
        tx.prefix = Prefix(route);
        tx.uInvoke = uInvoke;
        tx.uService = uService;
        tx.nSegment = uMax - 5;
        tx.uCount = static_cast<uint32_t>((data.size() + tx.nSegment - 1) / tx.nSegment);
        if (tx.uCount > 256 || tx.uCount > MaxSegmentsOfCode(static_cast<uint8_t>(uMaxCode >> 4)))
            return abort(kAbortBufferOverflow, "buffer-overflow");
        tx.data = std::move(data);
        ++counts.uSegmented;
        const std::string csCount = " (" + std::to_string(tx.uCount) + " segments)";
        STransmit& t = transmits[{ route.peer, uInvoke }] = std::move(tx);
        newTransmit = { route.peer, uInvoke };
        bNewTransmit = true;
        SendWindow(route.peer, t);
        return csWords + csCount;
    }

    void SendWindow(const SPeer& peer, STransmit& t)
    {
        const uint32_t uEnd = std::min(t.uFirst + t.uWindow, t.uCount);
        for (uint32_t u = t.uFirst; u < uEnd; ++u) {
            const bool bMore = u + 1 < t.uCount;
            CBytes v = t.prefix;
            v.insert(v.end(),
                { static_cast<uint8_t>(0x38 | (bMore ? 0x04 : 0)), t.uInvoke,
                    static_cast<uint8_t>(u), static_cast<uint8_t>(options.iWindow), t.uService });
            const size_t nFrom = size_t { u } * t.nSegment;
            const size_t nTo = std::min(nFrom + t.nSegment, t.data.size());
            v.insert(v.end(), t.data.begin() + static_cast<ptrdiff_t>(nFrom),
                t.data.begin() + static_cast<ptrdiff_t>(nTo));
            Send(peer, std::move(v));
            ++counts.uSegments;
        }
        t.llDeadlineNs = clock.Now() + options.llSegmentTimeoutMs * 1'000'000;
    }

    void SegmentAck(const SPeer& peer, const uint8_t* pApdu, size_t nApdu)
    {
        if (nApdu < 4)
            return;
        const auto it = transmits.find({ peer, pApdu[1] });
        if (it == transmits.end())
            return;
        STransmit& t = it->second;
        const uint32_t uSeq = pApdu[2];
        if (uSeq + 1 >= t.uCount) {
            transmits.erase(it);
            return;
        }
        t.uFirst = uSeq + 1;
        t.uWindow = std::clamp<uint32_t>(pApdu[3], 1, 127);
        t.iRetries = 0;
        SendWindow(peer, t);
    }

    void ReadProperty(const SRoute& route, const uint8_t* pApdu, size_t nApdu, int64_t llNs,
        const std::string& csRequest)
    {
        const uint8_t uInvoke = pApdu[2];
        SParams a { pApdu + 4, nApdu - 4 };
        SAsk ask;
        if (!a.Unsigned(0, ask.uObject) || !a.Unsigned(1, ask.key.uProperty)
            || (a.IsContext(2) && !a.Unsigned(2, ask.key.uIndex)) || !a.AtEnd())
            return Refuse(route, llNs, csRequest, uInvoke, kRejectInvalidTag);
        const SLearnedDevice* pDevice = DeviceFor(ask.uObject);
        const uint32_t uObject = Resolve(*pDevice, ask.uObject);
        const SPick pick = Pick(*pDevice, uObject, ask.key, true);
        if (pick.eFrom == EServedFrom::Unknown) {
            CBytes e = ErrorApdu(uInvoke, kReadProperty, pick.uErrorClass, pick.uErrorCode);
            const std::string csWords = AnswerWords(route, e);
            Reply(route, std::move(e));
            return Log(route, llNs, csRequest, csWords, EServedFrom::Unknown, pDevice);
        }
        CBytes data;
        CtxObjectId(data, 0, uObject);
        CtxUnsigned(data, 1, ask.key.uProperty);
        if (ask.key.uIndex != kNoIndex)
            CtxUnsigned(data, 2, ask.key.uIndex);
        PutOpening(data, 3);
        data.insert(data.end(), pick.Value().begin(), pick.Value().end());
        PutClosing(data, 3);
        EServedFrom eFrom = pick.eFrom;
        const std::string csWords = Complex(
            route, pApdu[0], pApdu[1], uInvoke, kReadProperty, std::move(data), *pDevice, eFrom);
        Log(route, llNs, csRequest, csWords, eFrom, pDevice);
    }

    // The properties ALL, REQUIRED or OPTIONAL stand for in one object.
    static std::vector<uint32_t> Expand(
        uint32_t uObject, const SLearnedObject& object, uint32_t uWhich)
    {
        const std::set<uint32_t>& required = RequiredOf(uObject);
        std::vector<uint32_t> v;
        for (uint32_t u : object.order) {
            const bool bRequired = required.count(u) != 0;
            if (uWhich == kPropAll || (uWhich == kPropRequired) == bRequired)
                v.push_back(u);
        }
        return v;
    }

    void ReadPropertyMultiple(const SRoute& route, const uint8_t* pApdu, size_t nApdu, int64_t llNs,
        const std::string& csRequest)
    {
        const uint8_t uInvoke = pApdu[2];
        SParams a { pApdu + 4, nApdu - 4 };
        struct SAccess {
            uint32_t uObject = 0;
            std::vector<SPropertyKey> keys;
        };
        std::vector<SAccess> accesses;
        while (!a.AtEnd()) {
            SAccess access;
            if (!a.Unsigned(0, access.uObject) || !a.Take(1, true))
                return Refuse(route, llNs, csRequest, uInvoke, kRejectInvalidTag);
            while (!a.Is(1, false)) {
                SPropertyKey key;
                if (!a.Unsigned(0, key.uProperty) || (a.IsContext(1) && !a.Unsigned(1, key.uIndex)))
                    return Refuse(route, llNs, csRequest, uInvoke, kRejectInvalidTag);
                access.keys.push_back(key);
            }
            a.Take(1, false);
            accesses.push_back(std::move(access));
        }
        if (accesses.empty())
            return Refuse(route, llNs, csRequest, uInvoke, kRejectInvalidTag);
        // The device: the first object that names one, else the first object.
        const SLearnedDevice* pDevice = DeviceFor(accesses.front().uObject);
        for (const SAccess& access : accesses)
            if (ObjectType(access.uObject) == kObjectDevice) {
                pDevice = DeviceFor(access.uObject);
                break;
            }
        const SLearnedDevice& device = *pDevice;
        EServedFrom eFrom = EServedFrom::Unknown;
        CBytes data;
        for (const SAccess& access : accesses) {
            const uint32_t uObject = Resolve(device, access.uObject);
            const auto itObject = device.objects.find(uObject);
            if (accesses.size() == 1 && itObject == device.objects.end()) {
                // One object, and the device has none such: the whole request fails.
                CBytes e = ErrorApdu(uInvoke, kReadPropertyMultiple, kClassObject, kUnknownObject);
                const std::string csWords = AnswerWords(route, e);
                Reply(route, std::move(e));
                return Log(route, llNs, csRequest, csWords, EServedFrom::Unknown, pDevice);
            }
            CtxObjectId(data, 0, uObject);
            PutOpening(data, 1);
            for (const SPropertyKey& asked : access.keys) {
                std::vector<SPropertyKey> keys { asked };
                const bool bGroup = asked.uProperty == kPropAll || asked.uProperty == kPropRequired
                    || asked.uProperty == kPropOptional;
                if (bGroup && itObject != device.objects.end()) {
                    keys.clear();
                    for (uint32_t u : Expand(uObject, itObject->second, asked.uProperty))
                        keys.push_back({ u, kNoIndex });
                }
                for (const SPropertyKey& key : keys) {
                    const SPick pick = Pick(device, uObject, key, false);
                    CtxUnsigned(data, 2, key.uProperty);
                    if (key.uIndex != kNoIndex)
                        CtxUnsigned(data, 3, key.uIndex);
                    if (pick.eFrom == EServedFrom::Unknown) {
                        PutOpening(data, 5);
                        AppEnumerated(data, pick.uErrorClass);
                        AppEnumerated(data, pick.uErrorCode);
                        PutClosing(data, 5);
                        continue;
                    }
                    eFrom = Worst(eFrom, pick.eFrom);
                    PutOpening(data, 4);
                    data.insert(data.end(), pick.Value().begin(), pick.Value().end());
                    PutClosing(data, 4);
                }
            }
            PutClosing(data, 1);
        }
        const std::string csWords = Complex(route, pApdu[0], pApdu[1], uInvoke,
            kReadPropertyMultiple, std::move(data), device, eFrom);
        Log(route, llNs, csRequest, csWords, eFrom, pDevice);
    }

    void WriteProperty(const SRoute& route, const uint8_t* pApdu, size_t nApdu, int64_t llNs,
        const std::string& csRequest)
    {
        const uint8_t uInvoke = pApdu[2];
        SParams a { pApdu + 4, nApdu - 4 };
        SAsk ask;
        CBytes value;
        uint32_t uPriority = 0;
        if (!a.Unsigned(0, ask.uObject) || !a.Unsigned(1, ask.key.uProperty)
            || (a.IsContext(2) && !a.Unsigned(2, ask.key.uIndex)) || !a.Enclosed(3, value)
            || (a.IsContext(4) && !a.Unsigned(4, uPriority)) || !a.AtEnd())
            return Refuse(route, llNs, csRequest, uInvoke, kRejectInvalidTag);
        const SLearnedDevice* pDevice = DeviceFor(ask.uObject);
        const uint32_t uObject = Resolve(*pDevice, ask.uObject);
        const SPick pick = Pick(*pDevice, uObject, ask.key, true);
        CBytes answer;
        EServedFrom eFrom = EServedFrom::Written;
        if (pick.eFrom == EServedFrom::Unknown || options.bReadOnly) {
            answer = ErrorApdu(uInvoke, kWriteProperty,
                options.bReadOnly ? kClassProperty : pick.uErrorClass,
                options.bReadOnly ? kWriteAccessDenied : pick.uErrorCode);
            eFrom = EServedFrom::Unknown;
        } else {
            // A Null relinquishes: the captured value shows again.
            if (value == CBytes { 0x00 })
                written.erase({ pDevice->uInstance, uObject, ask.key });
            else
                written[{ pDevice->uInstance, uObject, ask.key }] = std::move(value);
            answer = { 0x20, uInvoke, kWriteProperty };
        }
        const std::string csWords = AnswerWords(route, answer);
        Reply(route, std::move(answer));
        Log(route, llNs, csRequest, csWords, eFrom, pDevice);
    }

    void Refuse(const SRoute& route, int64_t llNs, const std::string& csRequest, uint8_t uInvoke,
        uint8_t uReason)
    {
        CBytes r { 0x60, uInvoke, uReason };
        const std::string csWords = AnswerWords(route, r);
        Reply(route, std::move(r));
        Log(route, llNs, csRequest, csWords, EServedFrom::Unknown, nullptr);
    }

    static bool InLimits(const frame::SBacnetFrame& f, uint32_t uInstance)
    {
        return !f.bHasLimits || (uInstance >= f.uLowLimit && uInstance <= f.uHighLimit);
    }

    void WhoIs(const SRoute& route, int64_t llNs, const std::string& csRequest)
    {
        std::string csWords;
        EServedFrom eFrom = EServedFrom::Unknown;
        const SLearnedDevice* pFirst = nullptr;
        for (const SLearnedDevice* p : served) {
            if (!InLimits(route.frame, p->uInstance))
                continue;
            CBytes v { 0x10, 0x00 };
            AppObjectId(v, kObjectDevice, p->uInstance);
            AppUnsigned(v, p->uMaxApdu);
            AppEnumerated(v, p->uSegmentation);
            AppUnsigned(v, p->uVendor);
            csWords += (csWords.empty() ? "" : "; ") + AnswerWords(route, v);
            Reply(route, std::move(v));
            eFrom = Worst(eFrom, p->bIAm ? EServedFrom::Captured : EServedFrom::Learned);
            pFirst = pFirst ? pFirst : p;
        }
        if (!pFirst) {
            ++counts.uIgnored;
            return;
        }
        Log(route, llNs, csRequest, csWords, eFrom, pFirst);
    }

    void WhoHas(const SRoute& route, const uint8_t* pApdu, size_t nApdu, int64_t llNs,
        const std::string& csRequest)
    {
        SParams a { pApdu + 2, nApdu - 2 };
        uint32_t uLow = 0;
        uint32_t uHigh = 0;
        if (a.IsContext(0) && (!a.Unsigned(0, uLow) || !a.Unsigned(1, uHigh))) {
            ++counts.uBad;
            return;
        }
        uint32_t uObject = 0;
        CBytes name;
        STagHeader t;
        const bool bById = a.Unsigned(2, uObject);
        if (!bById) {
            if (!a.Peek(t) || !t.bContext || t.uNumber != 3 || t.bOpening) {
                ++counts.uBad;
                return;
            }
            name.assign(a.p + t.nContent, a.p + t.nEnd);
        }
        std::string csWords;
        EServedFrom eFrom = EServedFrom::Unknown;
        const SLearnedDevice* pFirst = nullptr;
        for (const SLearnedDevice* p : served) {
            if (!InLimits(route.frame, p->uInstance))
                continue;
            for (const auto& [uId, object] : p->objects) {
                const auto it = object.values.find({ kPropObjectName, kNoIndex });
                if (it == object.values.end() || it->second.empty())
                    continue;
                const CBytes& objectName = it->second.back().bytes;
                CBytes content;
                if (bById ? uId != uObject : !Content(objectName, content) || content != name)
                    continue;
                CBytes v { 0x10, 0x01 };
                AppObjectId(v, kObjectDevice, p->uInstance);
                AppObjectId(v, ObjectType(uId), ObjectInstance(uId));
                v.insert(v.end(), objectName.begin(), objectName.end());
                csWords += (csWords.empty() ? "" : "; ") + AnswerWords(route, v);
                Reply(route, std::move(v));
                eFrom = Worst(eFrom,
                    it->second.back().eFrom == EFrom::IHave ? EServedFrom::Captured
                                                            : EServedFrom::Learned);
                pFirst = pFirst ? pFirst : p;
                break;
            }
        }
        if (!pFirst) {
            ++counts.uIgnored;
            return;
        }
        Log(route, llNs, csRequest, csWords, eFrom, pFirst);
    }
};

CServer::CServer(const SLearned& learned, const SServeOptions& options, IClock& clock)
    : m_p(std::make_unique<SState>(learned, options, clock))
{
}

CServer::~CServer() = default;

std::vector<uint32_t> CServer::Served() const
{
    std::vector<uint32_t> v;
    for (const SLearnedDevice* p : m_p->served)
        v.push_back(p->uInstance);
    return v;
}

void CServer::Receive(const SPeer& from, const uint8_t* pData, size_t nLength)
{
    SState& st = *m_p;
    if (nLength < 4 || nLength > 65535 || pData[0] != frame::kBvlcTypeIp) {
        ++st.counts.uBad;
        return;
    }
    const CBytes frame = Dress(from, { 0, 47808 }, pData, nLength);
    const frame::SFrameLayout layout = frame::LocateFrame(frame.data(), frame.size());
    SRoute route { from, frame::ParseBacnet(frame.data(), frame.size()) };
    if (route.frame.eApdu == frame::EApdu::NotBacnet || !layout.uApduAt) {
        ++st.counts.uBad;
        return;
    }
    if (route.frame.bForwarded) {
        // Through a BBMD: the answer goes to the request's origin.
        const frame::SStation& o = route.frame.origin;
        route.peer.uIp
            = uint32_t { o.bytes[0] } << 24 | o.bytes[1] << 16 | o.bytes[2] << 8 | o.bytes[3];
        route.peer.uPort = static_cast<uint16_t>(o.bytes[4] << 8 | o.bytes[5]);
    }
    st.Dispatch(route, frame, layout);
}

void CServer::ReceiveFrame(const uint8_t* pFrame, size_t nLength)
{
    SState& st = *m_p;
    if (nLength < 14 || nLength > 65535)
        return;
    const std::array<uint8_t, 6>& own = st.options.ownMac;
    const bool bOurs = std::equal(own.begin(), own.end(), pFrame);
    // Our own frames, and frames for another station, are not requests to us.
    if ((!bOurs && !(pFrame[0] & 0x01)) || std::equal(own.begin(), own.end(), pFrame + 6))
        return;
    const CBytes frame(pFrame, pFrame + nLength);
    const frame::SFrameLayout layout = frame::LocateFrame(frame.data(), frame.size());
    if (layout.eKind != frame::EFrameKind::BacnetEthernet)
        return;
    SRoute route;
    route.peer.bEthernet = true;
    std::copy(pFrame + 6, pFrame + 12, route.peer.mac.begin());
    route.frame = frame::ParseBacnet(frame.data(), frame.size());
    if (route.frame.eApdu == frame::EApdu::NotBacnet || !layout.uApduAt) {
        ++st.counts.uBad;
        return;
    }
    st.Dispatch(route, frame, layout);
}

void CServer::SState::Dispatch(
    SRoute& route, const CBytes& frame, const frame::SFrameLayout& layout)
{
    SState& st = *this;
    const int64_t llNs = st.clock.Now();
    const uint8_t* pApdu = frame.data() + layout.uApduAt;
    const size_t nApdu = layout.uEnd - layout.uApduAt;
    if (st.served.empty()) {
        ++st.counts.uIgnored;
        return;
    }
    switch (route.frame.eApdu) {
    case frame::EApdu::ConfirmedRequest: {
        const std::string csRequest = Words(frame);
        const uint8_t uInvoke = route.frame.uInvokeId;
        st.transmits.erase({ route.peer, uInvoke }); // a new request under the same invoke ID
        if (route.frame.bSegmented) {
            // Segmented requests are not taken: every request served fits one APDU.
            CBytes v { 0x71, uInvoke, kAbortSegmentationNotSupported };
            const std::string csWords = st.AnswerWords(route, v);
            st.Reply(route, std::move(v));
            ++st.counts.uAborted;
            return st.Log(route, llNs, csRequest, csWords, EServedFrom::Unknown, nullptr);
        }
        switch (route.frame.uService) {
        case kReadProperty:
            return st.ReadProperty(route, pApdu, nApdu, llNs, csRequest);
        case kReadPropertyMultiple:
            return st.ReadPropertyMultiple(route, pApdu, nApdu, llNs, csRequest);
        case kWriteProperty:
            return st.WriteProperty(route, pApdu, nApdu, llNs, csRequest);
        default:
            return st.Refuse(route, llNs, csRequest, uInvoke, kRejectUnrecognizedService);
        }
    }
    case frame::EApdu::UnconfirmedRequest:
        if (route.frame.uService == frame::kWhoIs)
            return st.WhoIs(route, llNs, Words(frame));
        if (route.frame.uService == frame::kWhoHas)
            return st.WhoHas(route, pApdu, nApdu, llNs, Words(frame));
        ++st.counts.uIgnored;
        return;
    case frame::EApdu::SegmentAck:
        return st.SegmentAck(route.peer, pApdu, nApdu);
    case frame::EApdu::Abort:
        st.transmits.erase({ route.peer, route.frame.uInvokeId });
        return;
    default:
        ++st.counts.uIgnored;
        return;
    }
}

void CServer::Tick()
{
    SState& st = *m_p;
    const int64_t llNow = st.clock.Now();
    for (auto it = st.transmits.begin(); it != st.transmits.end();) {
        STransmit& t = it->second;
        if (llNow < t.llDeadlineNs) {
            ++it;
            continue;
        }
        if (t.iRetries < st.options.iRetries) {
            ++t.iRetries;
            ++st.counts.uResent;
            st.SendWindow(it->first.first, t);
            ++it;
            continue;
        }
        // The client went silent: the answer is given up, as a server gives it up.
        CBytes v = t.prefix;
        v.insert(v.end(), { 0x71, t.uInvoke, kAbortTsmTimeout });
        st.Send(it->first.first, std::move(v));
        ++st.counts.uAborted;
        st.GiveUp(it->first.first, t,
            "Abort[" + std::to_string(t.uInvoke) + "] tsm-timeout (no Segment-ACK after "
                + std::to_string(st.options.iRetries + 1) + " windows: the answer given up)");
        it = st.transmits.erase(it);
    }
}

int64_t CServer::NextDeadline() const
{
    int64_t ll = INT64_MAX;
    for (const auto& [key, t] : m_p->transmits)
        ll = std::min(ll, t.llDeadlineNs);
    return ll;
}

std::vector<SOutgoing> CServer::TakeOut()
{
    return std::exchange(m_p->out, {});
}

std::vector<SServed> CServer::TakeServed()
{
    return std::exchange(m_p->log, {});
}

SServeCounts CServer::Counts() const
{
    return m_p->counts;
}

const char* ServedTsvHeader()
{
    return "time\tclient\trequest\tanswer\tfrom";
}

std::string ServedTsvLine(const SServed& served, int64_t llStartNs)
{
    const int64_t ll = served.llNs - llStartNs;
    char sz[48];
    std::snprintf(sz, sizeof sz, "%lld.%06lld", static_cast<long long>(ll / 1'000'000'000),
        static_cast<long long>((ll % 1'000'000'000) / 1000));
    return std::string(sz) + "\t" + PeerText(served.client) + "\t" + TsvCell(served.csRequest)
        + "\t" + TsvCell(served.csAnswer) + "\t" + ServedFromWord(served.eFrom);
}

std::string ServedJUnitXml(
    const std::string& csSuite, const std::vector<SServed>& served, int64_t llStartNs)
{
    size_t nFailures = 0;
    for (const SServed& s : served)
        nFailures += s.eFrom == EServedFrom::Unknown ? 1 : 0;
    std::string cs = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n<testsuite name=\""
        + MarkupEscaped(csSuite, EMarkupText::Block) + "\" tests=\"" + std::to_string(served.size())
        + "\" failures=\"" + std::to_string(nFailures) + "\">\n";
    for (const SServed& s : served) {
        // The TSV line's first three columns name the case: time, client, request.
        std::string csName = ServedTsvLine(s, llStartNs);
        const size_t nSecond = csName.find('\t', csName.find('\t') + 1);
        csName.erase(csName.find('\t', nSecond + 1));
        for (char& c : csName)
            c = c == '\t' ? ' ' : c;
        cs += "  <testcase classname=\"" + MarkupEscaped(csSuite, EMarkupText::Block) + "\" name=\""
            + MarkupEscaped(csName, EMarkupText::Block) + "\" time=\"0.000\"";
        if (s.eFrom != EServedFrom::Unknown) {
            cs += "/>\n";
            continue;
        }
        cs += ">\n    <failure message=\"not in the capture\">"
            + MarkupEscaped(TsvCell(s.csAnswer), EMarkupText::Block)
            + "</failure>\n  </testcase>\n";
    }
    return cs + "</testsuite>\n</testsuites>\n";
}

std::string ServedReportHtml(
    const SServeReportFacts& facts, const std::vector<SServed>& served, int64_t llStartNs)
{
    std::string csDevices;
    for (uint32_t u : facts.devices)
        csDevices += (csDevices.empty() ? "" : ", ") + std::to_string(u);
    std::string cs = "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8><title>Served: "
        + MarkupEscaped(facts.csCapture, EMarkupText::Block)
        + "</title><style>\n"
          "body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222}\n"
          "h1{font-size:1.5em;margin:0 0 .3em}\n"
          "table.facts td:first-child{color:#666;padding-right:1em}\n"
          "table.served{border-collapse:collapse}table.served td,table.served th{border-bottom:"
          "1px solid #ddd;padding:.2em .6em;text-align:left;vertical-align:top}\n"
          "tr.unknown td{background:#fdecea}\n"
          "</style></head><body>\n<h1>Served as the captured device"
        + std::string(facts.devices.size() == 1 ? "" : "s") + "</h1>\n<table class=facts>\n";
    const auto fact = [&cs](const char* szName, const std::string& csValue) {
        cs += std::string("<tr><td>") + szName + "</td><td>"
            + MarkupEscaped(csValue, EMarkupText::Block) + "</td></tr>\n";
    };
    fact("Capture", facts.csCapture);
    fact("Learned", facts.csLearned);
    fact(facts.devices.size() == 1 ? "Device" : "Devices", csDevices);
    fact("Address", facts.csAddress);
    fact("Summary", ServeSummary(facts.counts));
    cs += "</table>\n<table class=served>\n<tr><th>Time</th><th>Client</th><th>Request</th>"
          "<th>Answer</th><th>From</th></tr>\n";
    for (const SServed& s : served) {
        // The TSV line's columns, so that the report and the list say the same.
        const std::string csLine = ServedTsvLine(s, llStartNs);
        cs += s.eFrom == EServedFrom::Unknown ? "<tr class=unknown>" : "<tr>";
        size_t nStart = 0;
        for (;;) {
            const size_t nTab = csLine.find('\t', nStart);
            cs += "<td>" + MarkupEscaped(csLine.substr(nStart, nTab - nStart), EMarkupText::Block)
                + "</td>";
            if (nTab == std::string::npos)
                break;
            nStart = nTab + 1;
        }
        cs += "</tr>\n";
    }
    return cs + "</table>\n</body></html>\n";
}

std::string ServeSummary(const SServeCounts& c)
{
    std::string cs = "served " + std::to_string(c.uRequests) + " requests: "
        + std::to_string(c.uCaptured) + " captured, " + std::to_string(c.uLearned) + " learned, "
        + std::to_string(c.uWritten) + " written, " + std::to_string(c.uUnknown) + " unknown";
    cs += "; " + std::to_string(c.uSegmented) + " answers in " + std::to_string(c.uSegments)
        + " segments (" + std::to_string(c.uResent) + " windows sent again, "
        + std::to_string(c.uAborted) + " aborted)";
    cs += "; " + std::to_string(c.uIgnored) + " ignored, " + std::to_string(c.uBad) + " not BACnet";
    return cs;
}

} // namespace velmora::serve
