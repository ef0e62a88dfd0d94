#pragma once

// Learning the captured devices from their answers, so that they can be
// served. For each device: its instance and I-Am (max APDU, segmentation,
// vendor); every property value its answers show (ReadProperty-ACK, every
// result of a ReadPropertyMultiple-ACK, COV notifications, I-Have), each kept
// as the bytes the device encoded, in captured order, only where it changed
// (at most kMaxChanges a property, the last always); the objects and
// properties it said it does not have (Error unknown-object, unknown-property,
// paired with their request by addresses and invoke ID). Segmented answers
// are reassembled by decode/Segments before they are learned.
//
// A device is told by the BACnet address it answered from (link address and,
// routed, SNET/SADR); its instance comes from an I-Am, a COV notification's
// initiating device, or an answer about its device object. Answers from an
// address that never names its device cannot be served and are noted.

#include "serve/Codec.h"

#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace velmora::serve {

constexpr uint32_t kNoIndex = UINT32_MAX;
// Values kept of one property; later changes replace the last one.
constexpr size_t kMaxChanges = 1024;

// Property identifiers the learning and the server name.
enum : uint32_t {
    kPropAll = 8,
    kPropMaxApdu = 62,
    kPropObjectIdentifier = 75,
    kPropObjectList = 76,
    kPropObjectName = 77,
    kPropObjectType = 79,
    kPropOptional = 80,
    kPropPresentValue = 85,
    kPropRequired = 105,
    kPropSegmentation = 107,
    kPropVendorIdentifier = 120,
};

// Where a learned value came from.
enum class EFrom : uint8_t { ReadProperty, ReadPropertyMultiple, Cov, IHave, IAm };
// "readProperty-ACK", "readPropertyMultiple-ACK", "COV notification", "I-Have", "I-Am".
const char* FromText(EFrom eFrom);

struct SLearnedValue {
    CBytes bytes; // the value as encoded between its opening and closing tag
    EFrom eFrom = EFrom::ReadProperty;
    uint64_t uRecord = 0;
    bool operator==(const SLearnedValue&) const = default;
};

struct SPropertyKey {
    uint32_t uProperty = 0;
    uint32_t uIndex = kNoIndex;
    auto operator<=>(const SPropertyKey&) const = default;
};

struct SLearnedObject {
    // In captured order; a value equal to the one before it is not kept again,
    // and past kMaxChanges a change replaces the last.
    std::map<SPropertyKey, std::vector<SLearnedValue>> values;
    // The properties as the fullest ReadPropertyMultiple result listed them
    // (what ALL gives back), else as they were first seen.
    std::vector<uint32_t> order;
    size_t nListed = 0; // properties in the fullest ReadPropertyMultiple result
    std::set<uint32_t> unknownProperties;
};

struct SLearnedDevice {
    uint32_t uInstance = 0;
    bool bIAm = false;
    uint32_t uMaxApdu = 1476;
    uint32_t uSegmentation = 0; // both, unless an I-Am said otherwise
    uint32_t uVendor = 0;
    std::string csAddress; // "10.0.0.2:47808", "10.0.0.9:47808 net 5 adr 03"
    bool bIp = false;
    uint32_t uIp = 0; // BACnet/IP: the address it answered from (host order)
    bool bEthernet = false; // it answered on BACnet/Ethernet
    std::map<uint32_t, SLearnedObject> objects; // by object identifier
    std::set<uint32_t> unknownObjects;
};

struct SLearnCounts {
    uint64_t uRecords = 0;
    uint64_t uIAm = 0;
    uint64_t uIHave = 0;
    uint64_t uReadAcks = 0;
    uint64_t uRpmAcks = 0;
    uint64_t uRpmResults = 0; // property results in them, errors included
    uint64_t uCov = 0;
    uint64_t uErrors = 0; // unknown-object and unknown-property answers learned
    uint64_t uSegmented = 0; // answers learned from segments put together
    uint64_t uValues = 0; // values kept
    uint64_t uChangesDropped = 0; // changes beyond kMaxChanges, not kept
    uint64_t uBroken = 0; // answers that did not parse to their end
};

struct SLearned {
    std::map<uint32_t, SLearnedDevice> devices; // by instance
    SLearnCounts counts;
    std::vector<std::string> notes; // one line for each thing that could not be learned
};

class CLearner {
public:
    CLearner();
    ~CLearner();
    CLearner(const CLearner&) = delete;
    CLearner& operator=(const CLearner&) = delete;

    // The next record of the capture (an Ethernet frame as captured). pWhole:
    // when the record completes a segmented answer, the answer's service data.
    void Add(
        const uint8_t* pData, size_t nLength, uint64_t uRecord, const CBytes* pWhole = nullptr);
    // Gathers what was learned by device.
    SLearned Finish();

private:
    struct SState;
    std::unique_ptr<SState> m_p;
};

// Learns a pcap or pcapng capture. False with one line in csError when it
// cannot be opened or read, or shows no device that can be served.
bool LearnCapture(const std::string& csPath, SLearned& learned, std::string& csError);

// The value of an array element learned as the whole array: index 0 the
// element count, 1..N an element. False when the bytes hold fewer elements.
bool ArrayElement(const CBytes& whole, uint32_t uIndex, CBytes& element);

} // namespace velmora::serve
