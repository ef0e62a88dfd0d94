#include "serve/Learn.h"

#include "capture/IndexRows.h"
#include "decode/BacnetFields.h"
#include "decode/Frame.h"
#include "decode/Segments.h"
#include "decode/Tags.h"

#include <cstdio>
#include <unordered_map>

namespace velmora::serve {

using frame::ReadTagAt;
using frame::STagHeader;

const char* FromText(EFrom eFrom)
{
    switch (eFrom) {
    case EFrom::ReadProperty:
        return "readProperty-ACK";
    case EFrom::ReadPropertyMultiple:
        return "readPropertyMultiple-ACK";
    case EFrom::Cov:
        return "COV notification";
    case EFrom::IHave:
        return "I-Have";
    case EFrom::IAm:
        return "I-Am";
    }
    return "";
}

namespace {

    // A cursor over one service's parameters.
    struct SParams {
        const uint8_t* p;
        size_t n;
        size_t nPos = 0;

        bool AtEnd() const { return nPos >= n; }
        bool Peek(STagHeader& tag) const { return ReadTagAt(p, n, nPos, tag); }
        bool IsContext(uint32_t uTag) const
        {
            STagHeader t;
            return Peek(t) && t.bContext && !t.bOpening && !t.bClosing && t.uNumber == uTag;
        }
        bool IsOpening(uint32_t uTag) const
        {
            STagHeader t;
            return Peek(t) && t.bOpening && t.uNumber == uTag;
        }
        bool IsClosing(uint32_t uTag) const
        {
            STagHeader t;
            return Peek(t) && t.bClosing && t.uNumber == uTag;
        }
        // A context (or, bApp, application) primitive read as an unsigned of 1-4 bytes.
        bool Unsigned(uint32_t uTag, uint32_t& u, bool bApp = false)
        {
            STagHeader t;
            if (!Peek(t) || t.bOpening || t.bClosing || t.bContext == bApp || t.uNumber != uTag
                || !ReadUnsigned(p + t.nContent, t.uLength, u))
                return false;
            nPos = t.nEnd;
            return true;
        }
        // One opening or closing tag [uTag].
        bool Take(uint32_t uTag)
        {
            STagHeader t;
            if (!Peek(t) || !(t.bOpening || t.bClosing) || t.uNumber != uTag)
                return false;
            nPos = t.nEnd;
            return true;
        }
        bool Skip()
        {
            size_t nAfter = 0;
            if (!frame::SkipTagged(p, n, nPos, nAfter))
                return false;
            nPos = nAfter;
            return true;
        }
        // [uTag] opening, anything, [uTag] closing: the bytes between.
        bool Enclosed(uint32_t uTag, CBytes& value)
        {
            STagHeader open;
            size_t nAfter = 0;
            if (!Peek(open) || !open.bOpening || open.uNumber != uTag
                || !frame::SkipTagged(p, n, nPos, nAfter))
                return false;
            const size_t nClose = uTag >= 15 ? 2 : 1;
            value.assign(p + open.nEnd, p + nAfter - nClose);
            nPos = nAfter;
            return true;
        }
    };

    std::string Hex(const uint8_t* p, size_t n)
    {
        std::string cs;
        char sz[4];
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(sz, sizeof sz, "%02x", p[i]);
            cs += sz;
        }
        return cs;
    }

    std::string LinkText(const frame::SStation& s, bool bIp)
    {
        if (bIp && s.uLength == 6) {
            char sz[32];
            std::snprintf(sz, sizeof sz, "%u.%u.%u.%u:%u", s.bytes[0], s.bytes[1], s.bytes[2],
                s.bytes[3], s.bytes[4] << 8 | s.bytes[5]);
            return sz;
        }
        std::string cs;
        for (size_t i = 0; i < s.uLength; ++i)
            cs += (i ? ":" : "") + Hex(&s.bytes[i], 1);
        return cs;
    }

    std::string StationText(
        const frame::SStation& link, bool bIp, bool bNet, uint16_t uNet, const frame::SStation& adr)
    {
        std::string cs = LinkText(link, bIp);
        if (bNet)
            cs += " net " + std::to_string(uNet) + " adr " + Hex(adr.bytes.data(), adr.uLength);
        return cs;
    }

    struct SPending {
        uint8_t uService = 0;
        uint32_t uObject = 0;
        uint32_t uProperty = 0;
    };

    // What one answering address showed.
    struct SStationFacts {
        SLearnedDevice device;
        bool bInstance = false;
        bool bFromIAm = false;
    };

} // namespace

struct CLearner::SState {
    std::map<std::string, SStationFacts> stations;
    std::unordered_map<std::string, SPending> pending; // client>server#invoke
    SLearnCounts counts;
    std::vector<std::string> notes;

    SStationFacts& Station(const std::string& csKey, const frame::SBacnetFrame& f)
    {
        SStationFacts& s = stations[csKey];
        if (s.device.csAddress.empty()) {
            s.device.csAddress = csKey;
            s.device.bEthernet = !f.bIp;
            const frame::SStation src = frame::BacnetSource(f);
            if (f.bIp && !f.bHasSnet && src.uLength == 6) {
                s.device.bIp = true;
                s.device.uIp = uint32_t { src.bytes[0] } << 24 | src.bytes[1] << 16
                    | src.bytes[2] << 8 | src.bytes[3];
            }
        }
        return s;
    }

    void Name(SStationFacts& s, uint32_t uInstance, bool bIAm)
    {
        if (s.bFromIAm && !bIAm)
            return;
        s.bInstance = true;
        s.bFromIAm = s.bFromIAm || bIAm;
        s.device.uInstance = uInstance;
    }

    void Value(SStationFacts& s, uint32_t uObject, SPropertyKey key, CBytes&& bytes, EFrom eFrom,
        uint64_t uRecord)
    {
        if (ObjectType(uObject) == kObjectDevice && ObjectInstance(uObject) != kWildcardInstance)
            Name(s, ObjectInstance(uObject), false);
        SLearnedObject& object = s.device.objects[uObject];
        std::vector<SLearnedValue>& values = object.values[key];
        if (values.empty() && key.uIndex == kNoIndex && object.nListed == 0) {
            bool bListed = false;
            for (uint32_t u : object.order)
                bListed = bListed || u == key.uProperty;
            if (!bListed)
                object.order.push_back(key.uProperty);
        }
        if (!values.empty() && values.back().bytes == bytes)
            return;
        if (values.size() >= kMaxChanges) {
            // A value that keeps changing: the last one stays the latest, the
            // changes between are not kept (memory follows the devices).
            values.back() = { std::move(bytes), eFrom, uRecord };
            ++counts.uChangesDropped;
            return;
        }
        values.push_back({ std::move(bytes), eFrom, uRecord });
        ++counts.uValues;
    }

    void ReadAck(SStationFacts& s, SParams a, uint64_t uRecord)
    {
        uint32_t uObject = 0;
        SPropertyKey key;
        CBytes value;
        if (!a.Unsigned(0, uObject) || !a.Unsigned(1, key.uProperty)
            || (a.IsContext(2) && !a.Unsigned(2, key.uIndex)) || !a.Enclosed(3, value)) {
            ++counts.uBroken;
            return;
        }
        ++counts.uReadAcks;
        Value(s, uObject, key, std::move(value), EFrom::ReadProperty, uRecord);
    }

    void RpmAck(SStationFacts& s, SParams a, uint64_t uRecord)
    {
        ++counts.uRpmAcks;
        while (!a.AtEnd()) {
            uint32_t uObject = 0;
            if (!a.Unsigned(0, uObject) || !a.IsOpening(1) || !a.Take(1)) {
                ++counts.uBroken;
                return;
            }
            std::vector<uint32_t> listed;
            while (!a.IsClosing(1)) {
                SPropertyKey key;
                CBytes value;
                if (!a.Unsigned(2, key.uProperty)
                    || (a.IsContext(3) && !a.Unsigned(3, key.uIndex))) {
                    ++counts.uBroken;
                    return;
                }
                ++counts.uRpmResults;
                if (a.IsOpening(4)) {
                    if (!a.Enclosed(4, value)) {
                        ++counts.uBroken;
                        return;
                    }
                    if (key.uIndex == kNoIndex)
                        listed.push_back(key.uProperty);
                    Value(s, uObject, key, std::move(value), EFrom::ReadPropertyMultiple, uRecord);
                } else if (a.IsOpening(5)) {
                    CBytes error;
                    if (!a.Enclosed(5, error)) {
                        ++counts.uBroken;
                        return;
                    }
                    SParams e { error.data(), error.size() };
                    uint32_t uClass = 0;
                    uint32_t uCode = 0;
                    if (e.Unsigned(kTagEnumerated, uClass, true)
                        && e.Unsigned(kTagEnumerated, uCode, true))
                        Unknown(s, uObject, key.uProperty, uClass, uCode);
                } else {
                    ++counts.uBroken;
                    return;
                }
            }
            a.Take(1); // the closing [1]
            SLearnedObject& object = s.device.objects[uObject];
            if (listed.size() > object.nListed) {
                object.order = listed;
                object.nListed = listed.size();
            }
        }
    }

    // A COV notification: [0] process, [1] initiating device, [2] object,
    // [3] time remaining, [4] the values.
    void Cov(const std::string& csKey, const frame::SBacnetFrame& f, SParams a, uint64_t uRecord)
    {
        uint32_t uProcess = 0;
        uint32_t uDevice = 0;
        uint32_t uObject = 0;
        uint32_t uRemaining = 0;
        CBytes list;
        if (!a.Unsigned(0, uProcess) || !a.Unsigned(1, uDevice) || !a.Unsigned(2, uObject)
            || !a.Unsigned(3, uRemaining) || !a.Enclosed(4, list)) {
            ++counts.uBroken;
            return;
        }
        ++counts.uCov;
        SStationFacts& s = Station(csKey, f);
        if (ObjectType(uDevice) == kObjectDevice)
            Name(s, ObjectInstance(uDevice), false);
        SParams v { list.data(), list.size() };
        while (!v.AtEnd()) {
            SPropertyKey key;
            CBytes value;
            uint32_t uPriority = 0;
            if (!v.Unsigned(0, key.uProperty) || (v.IsContext(1) && !v.Unsigned(1, key.uIndex))
                || !v.Enclosed(2, value) || (v.IsContext(3) && !v.Unsigned(3, uPriority))) {
                ++counts.uBroken;
                return;
            }
            Value(s, uObject, key, std::move(value), EFrom::Cov, uRecord);
        }
    }

    void Unknown(
        SStationFacts& s, uint32_t uObject, uint32_t uProperty, uint32_t uClass, uint32_t uCode)
    {
        if (uClass == 1 && uCode == 31) {
            s.device.unknownObjects.insert(uObject);
            ++counts.uErrors;
        } else if (uClass == 2 && uCode == 32) {
            s.device.objects[uObject].unknownProperties.insert(uProperty);
            ++counts.uErrors;
        }
    }
};

CLearner::CLearner()
    : m_p(std::make_unique<SState>())
{
}

CLearner::~CLearner() = default;

void CLearner::Add(const uint8_t* pData, size_t nLength, uint64_t uRecord, const CBytes* pWhole)
{
    SState& st = *m_p;
    ++st.counts.uRecords;
    const frame::SFrameLayout layout = frame::LocateFrame(pData, nLength);
    if (!layout.IsBacnet() || !layout.uApduAt || layout.uEnd <= layout.uApduAt)
        return;
    const frame::SBacnetFrame f = frame::ParseBacnet(pData, nLength);
    if (f.eApdu == frame::EApdu::NotBacnet)
        return;
    const uint8_t* pApdu = pData + layout.uApduAt;
    const size_t nApdu = layout.uEnd - layout.uApduAt;
    const std::string csFrom
        = StationText(frame::BacnetSource(f), f.bIp, f.bHasSnet, f.uSnet, f.sadr);
    const std::string csTo = StationText(f.linkDestination, f.bIp, f.bHasDnet, f.uDnet, f.dadr);

    switch (f.eApdu) {
    case frame::EApdu::ConfirmedRequest: {
        if (f.bSegmented || nApdu < 4)
            return;
        SParams a { pApdu + 4, nApdu - 4 };
        if (f.uService == 1) { // confirmed COV notification: the device speaks
            st.Cov(csFrom, f, a, uRecord);
            return;
        }
        SPending pending;
        pending.uService = f.uService;
        // ReadProperty, ReadPropertyMultiple, WriteProperty: the first object and property.
        if ((f.uService == 12 || f.uService == 14 || f.uService == 15)
            && a.Unsigned(0, pending.uObject)) {
            if (f.uService == 14)
                a.Take(1);
            a.Unsigned(f.uService == 14 ? 0 : 1, pending.uProperty);
            st.pending[csFrom + ">" + csTo + "#" + std::to_string(f.uInvokeId)] = pending;
        }
        return;
    }
    case frame::EApdu::UnconfirmedRequest: {
        if (nApdu < 2)
            return;
        SParams a { pApdu + 2, nApdu - 2 };
        if (f.uService == frame::kIAm) {
            uint32_t uDevice = 0;
            uint32_t uMax = 0;
            uint32_t uSegmentation = 0;
            uint32_t uVendor = 0;
            if (!a.Unsigned(kTagObjectId, uDevice, true) || ObjectType(uDevice) != kObjectDevice
                || !a.Unsigned(kTagUnsigned, uMax, true)
                || !a.Unsigned(kTagEnumerated, uSegmentation, true)
                || !a.Unsigned(kTagUnsigned, uVendor, true)) {
                ++st.counts.uBroken;
                return;
            }
            ++st.counts.uIAm;
            SStationFacts& s = st.Station(csFrom, f);
            st.Name(s, ObjectInstance(uDevice), true);
            s.device.bIAm = true;
            s.device.uMaxApdu = uMax;
            s.device.uSegmentation = uSegmentation;
            s.device.uVendor = uVendor;
        } else if (f.uService == frame::kIHave) {
            uint32_t uDevice = 0;
            uint32_t uObject = 0;
            STagHeader name;
            if (!a.Unsigned(kTagObjectId, uDevice, true) || ObjectType(uDevice) != kObjectDevice
                || !a.Unsigned(kTagObjectId, uObject, true) || !a.Peek(name) || name.bContext
                || name.uNumber != kTagCharacterString) {
                ++st.counts.uBroken;
                return;
            }
            ++st.counts.uIHave;
            SStationFacts& s = st.Station(csFrom, f);
            st.Name(s, ObjectInstance(uDevice), false);
            st.Value(s, uObject, { kPropObjectName, kNoIndex },
                CBytes(a.p + a.nPos, a.p + name.nEnd), EFrom::IHave, uRecord);
        } else if (f.uService == 2) { // unconfirmed COV notification
            st.Cov(csFrom, f, a, uRecord);
        }
        return;
    }
    case frame::EApdu::ComplexAck: {
        st.pending.erase(csTo + ">" + csFrom + "#" + std::to_string(f.uInvokeId));
        CBytes data;
        if (f.bSegmented) {
            if (!pWhole)
                return; // a segment: learned when its answer is whole
            data = *pWhole;
            ++st.counts.uSegmented;
        } else if (nApdu > 3) {
            data.assign(pApdu + 3, pApdu + nApdu);
        }
        if (f.uService != 12 && f.uService != 14)
            return;
        SStationFacts& s = st.Station(csFrom, f);
        SParams a { data.data(), data.size() };
        if (f.uService == 12)
            st.ReadAck(s, a, uRecord);
        else
            st.RpmAck(s, a, uRecord);
        return;
    }
    case frame::EApdu::Error: {
        const auto it = st.pending.find(csTo + ">" + csFrom + "#" + std::to_string(f.uInvokeId));
        if (it == st.pending.end())
            return;
        const SPending pending = it->second;
        st.pending.erase(it);
        if (!f.bHasErrorCodes || pending.uService != f.uService)
            return;
        st.Unknown(
            st.Station(csFrom, f), pending.uObject, pending.uProperty, f.uErrorClass, f.uErrorCode);
        return;
    }
    case frame::EApdu::SimpleAck:
    case frame::EApdu::Reject:
    case frame::EApdu::Abort:
        st.pending.erase(csTo + ">" + csFrom + "#" + std::to_string(f.uInvokeId));
        return;
    default:
        return;
    }
}

SLearned CLearner::Finish()
{
    SState& st = *m_p;
    SLearned learned;
    learned.counts = st.counts;
    learned.notes = st.notes;
    if (st.counts.uChangesDropped)
        learned.notes.push_back(std::to_string(st.counts.uChangesDropped)
            + " changes of values that changed more than " + std::to_string(kMaxChanges)
            + " times not kept: --history gives their first changes, then the last value");
    for (auto& [csAddress, s] : st.stations) {
        if (!s.bInstance) {
            learned.notes.push_back("the answers from " + csAddress
                + " never name their device (no I-Am, no device object): not served");
            continue;
        }
        auto [it, bNew] = learned.devices.try_emplace(s.device.uInstance, std::move(s.device));
        if (bNew)
            continue;
        // One device at two addresses (moved, or routed and direct): what the
        // address with its I-Am showed is kept, the other's objects are added.
        learned.notes.push_back("device " + std::to_string(it->first) + " answered from "
            + it->second.csAddress + " and " + csAddress + ": served as one");
        SLearnedDevice& into = it->second;
        SLearnedDevice& other = s.device;
        if (!into.bIAm && other.bIAm) {
            std::swap(into, other);
        }
        for (auto& [uObject, object] : other.objects)
            into.objects.try_emplace(uObject, std::move(object));
        into.unknownObjects.insert(other.unknownObjects.begin(), other.unknownObjects.end());
    }
    // What an I-Am said is the device object's too, where no answer showed it.
    for (auto& [uInstance, device] : learned.devices) {
        SLearnedObject& object = device.objects[ObjectId(kObjectDevice, uInstance)];
        const auto add = [&object](uint32_t uProperty, CBytes bytes) {
            auto& values = object.values[{ uProperty, kNoIndex }];
            if (values.empty())
                values.push_back({ std::move(bytes), EFrom::IAm, 0 });
        };
        CBytes v;
        AppObjectId(v, kObjectDevice, uInstance);
        add(kPropObjectIdentifier, v);
        v.clear();
        AppEnumerated(v, kObjectDevice);
        add(kPropObjectType, v);
        if (device.bIAm) {
            v.clear();
            AppUnsigned(v, device.uMaxApdu);
            add(kPropMaxApdu, v);
            v.clear();
            AppEnumerated(v, device.uSegmentation);
            add(kPropSegmentation, v);
            v.clear();
            AppUnsigned(v, device.uVendor);
            add(kPropVendorIdentifier, v);
        }
    }
    return learned;
}

bool LearnCapture(const std::string& csPath, SLearned& learned, std::string& csError)
{
    using namespace dissect;
    CCaptureIndex index;
    if (!index.Open(csPath)) {
        csError = index.Error();
        return false;
    }
    CSegmentAssembler assembler;
    CLearner learner;
    CCaptureIndex::SReadWindow window;
    SRecord record;
    const auto read = IndexReader(index);
    // Indexed and learned a step at a time, the offsets of records far behind
    // let go: memory follows the devices, not the capture's length. A segment
    // is read back only for its answer, which comes within the records kept.
    constexpr uint64_t kKeepRecords = 1 << 18;
    CCaptureIndex::EState eState = CCaptureIndex::EState::Reading;
    uint64_t u = 0;
    while (eState == CCaptureIndex::EState::Reading) {
        eState = index.Step();
        for (; u < index.Count(); ++u) {
            if (!index.Read(u, record, window)) {
                csError = "record " + std::to_string(u) + " of the capture cannot be read";
                return false;
            }
            const SFrame frame = index.Frame(u, record);
            if (frame.uLinkType != kLinkEthernet)
                continue;
            assembler.Add(frame);
            CBytes whole;
            const bool bWhole = assembler.Whole(frame, read, whole);
            learner.Add(record.bytes.data(), record.bytes.size(), u, bWhole ? &whole : nullptr);
        }
        if (u > kKeepRecords) {
            index.Forget(u - kKeepRecords);
            assembler.Forget(u - kKeepRecords);
        }
    }
    if (eState != CCaptureIndex::EState::Done && index.Count() == 0) {
        csError = index.Error().empty() ? "the capture holds no record" : index.Error();
        return false;
    }
    learned = learner.Finish();
    if (eState == CCaptureIndex::EState::Failed)
        learned.notes.push_back("the capture is damaged after record "
            + std::to_string(index.Count()) + ": " + index.Error());
    if (learned.devices.empty()) {
        csError = "the capture shows no device that can be served (no answer names its device)";
        return false;
    }
    return true;
}

bool ArrayElement(const CBytes& whole, uint32_t uIndex, CBytes& element)
{
    size_t nPos = 0;
    uint32_t uCount = 0;
    while (nPos < whole.size()) {
        size_t nAfter = 0;
        if (!frame::SkipTagged(whole.data(), whole.size(), nPos, nAfter))
            return false;
        ++uCount;
        if (uCount == uIndex) {
            element.assign(whole.begin() + static_cast<ptrdiff_t>(nPos),
                whole.begin() + static_cast<ptrdiff_t>(nAfter));
            return true;
        }
        nPos = nAfter;
    }
    if (uIndex != 0)
        return false;
    element.clear();
    AppUnsigned(element, uCount);
    return true;
}

} // namespace velmora::serve
