#pragma once

// What an answer says, compared with what the recorded answer said, field by
// field: the object, property and array index; each value's datatype
// (application tag) and shape (constructed values); then the value. A
// ReadPropertyMultiple answer is compared object by object and property by
// property, in any order: a property missing or extra, or an access error in
// place of a value, differs. Properties whose value changes by itself
// (judge/Volatile.h) change without differing. No I/O: bytes in, a verdict
// and its words out.

#include "decode/Frame.h"
#include "judge/Volatile.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace velmora::judge {

constexpr uint8_t kReadProperty = 12;
constexpr uint8_t kReadPropertyMultiple = 14;

// One property of a ReadProperty or ReadPropertyMultiple answer.
struct SPropertyValue {
    uint32_t uObjectType = 0;
    uint32_t uInstance = 0;
    uint32_t uProperty = 0;
    int64_t llIndex = -1; // the array index, -1 when none was named
    bool bError = false; // an access error in place of the value
    uint32_t uErrorClass = 0;
    uint32_t uErrorCode = 0;
    std::vector<uint8_t> value; // the encoded value(s) inside the value's opening and closing tags
};

// A ComplexACK's service data, read.
struct SAnswerContent {
    uint8_t uService = 0;
    // A ReadProperty or ReadPropertyMultiple answer whose parameters read:
    // properties holds them. Else only data is compared.
    bool bProperties = false;
    std::vector<SPropertyValue> properties;
    std::vector<uint8_t> data; // the service data after the service choice
};

SAnswerContent ReadAnswerContent(uint8_t uService, const uint8_t* pData, size_t nLength);

// The service choice and data of a ComplexACK in an Ethernet frame (a
// reassembled answer too). False for any other frame, and for a segment.
bool ComplexAckData(
    const uint8_t* pFrame, size_t nLength, uint8_t& uService, std::vector<uint8_t>& data);

// The bench device's instance read as the captured device's (the aim's
// device map, NEW back to OLD): in the objects named, and in object
// identifiers among the values.
void MapDevices(SAnswerContent& content, const std::vector<frame::SDeviceMap>& devices);

// The properties whose recorded answers differ among themselves: volatile
// for the Send that replays the capture. Keyed by the answering device's
// address, so that two devices' analog-input,1 stay apart.
class CLearnedVolatile {
public:
    void Add(const std::string& csAnswerer, const SPropertyValue& p);
    bool Contains(const std::string& csAnswerer, const SPropertyValue& p) const;
    size_t Size() const { return m_volatile.size(); }

private:
    static std::string Key(const std::string& csAnswerer, const SPropertyValue& p);
    std::unordered_map<std::string, std::vector<uint8_t>> m_first; // each property's first value
    std::unordered_set<std::string> m_volatile;
};

// What decides how values are compared.
struct SCompareRules {
    bool bValues = true; // off: the kind of answer alone (--compare kind)
    bool bProfile = true; // the built-in profile and what the capture taught (off: --strict)
    std::shared_ptr<const SVolatileFile> pFile; // --volatile FILE
    // Learned from the capture; the judge learns it itself when it is null.
    std::shared_ptr<const CLearnedVolatile> pLearned;
};

enum class EContent {
    Same,
    Within, // numbers that changed within their tolerance
    Changed, // a volatile property's value changed
    Differs,
};

struct SContentVerdict {
    EContent e = EContent::Same;
    // For Changed and Differs: the first such field, both values:
    // "device,1234 object-name "Other", recorded "Bench"", with " (and 2
    // more)" when more fields changed.
    std::string csWhat;
};

// Compares an answer's content with the recorded one's. csAnswerer: the
// recorded answer's device, as the learned volatile properties know it.
SContentVerdict CompareContent(const SAnswerContent& heard, const SAnswerContent& recorded,
    const SCompareRules& rules, const std::string& csAnswerer = std::string());

// A value's elements as text, the way a verdict shows them: "21.5",
// ""Bench"", "analog-input,1", "{1, 2}" ("?" for what does not read).
std::string ValueText(const std::vector<uint8_t>& value);

} // namespace velmora::judge
