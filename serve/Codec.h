#pragma once

// Encoding BACnet values and the APDUs a served device sends. The decoder
// reads; this writes what it reads back (the tests check one against the other).

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::serve {

using CBytes = std::vector<uint8_t>;

// Application tag numbers.
enum EAppTag : uint8_t {
    kTagNull = 0,
    kTagBoolean = 1,
    kTagUnsigned = 2,
    kTagSigned = 3,
    kTagReal = 4,
    kTagDouble = 5,
    kTagOctetString = 6,
    kTagCharacterString = 7,
    kTagBitString = 8,
    kTagEnumerated = 9,
    kTagDate = 10,
    kTagTime = 11,
    kTagObjectId = 12,
};

constexpr uint32_t kObjectDevice = 8;
constexpr uint32_t kWildcardInstance = 4194303; // "the device that hears this"
constexpr uint32_t ObjectId(uint32_t uType, uint32_t uInstance)
{
    return (uType & 0x3ff) << 22 | (uInstance & 0x3fffff);
}
constexpr uint32_t ObjectType(uint32_t uId)
{
    return uId >> 22;
}
constexpr uint32_t ObjectInstance(uint32_t uId)
{
    return uId & 0x3fffff;
}

// A tag header; uLength is the content length (an application Boolean: its value).
void PutTag(CBytes& v, uint32_t uNumber, bool bContext, uint32_t uLength);
void PutOpening(CBytes& v, uint32_t uNumber);
void PutClosing(CBytes& v, uint32_t uNumber);

// Application-tagged primitives.
void AppNull(CBytes& v);
void AppBoolean(CBytes& v, bool b);
void AppUnsigned(CBytes& v, uint64_t u);
void AppSigned(CBytes& v, int64_t ll);
void AppReal(CBytes& v, float f);
void AppDouble(CBytes& v, double d);
void AppOctetString(CBytes& v, const CBytes& octets);
void AppCharacterString(CBytes& v, const std::string& csUtf8); // character set 0 (UTF-8)
void AppBitString(CBytes& v, const std::vector<bool>& bits);
void AppEnumerated(CBytes& v, uint32_t u);
// 255 in a field: unspecified.
void AppDate(CBytes& v, uint8_t uYearSince1900, uint8_t uMonth, uint8_t uDay, uint8_t uWeekday);
void AppTime(CBytes& v, uint8_t uHour, uint8_t uMinute, uint8_t uSecond, uint8_t uHundredths);
void AppObjectId(CBytes& v, uint32_t uType, uint32_t uInstance);

// Context-tagged unsigned (or enumerated) and object identifier.
void CtxUnsigned(CBytes& v, uint32_t uTag, uint64_t u);
void CtxObjectId(CBytes& v, uint32_t uTag, uint32_t uId);

// Reads an unsigned of 1-4 content bytes; false for any other length.
bool ReadUnsigned(const uint8_t* p, uint32_t uLength, uint32_t& u);

// Max-APDU-length-accepted codes of a confirmed request: 50, 128, 206, 480,
// 1024, 1476 (codes above 5 are reserved: read as 1476, the most BACnet/IP carries).
uint32_t MaxApduOfCode(uint8_t uCode);
// Max-segments-accepted codes: 0 unspecified (here: any), 1 -> 2, ... 6 -> 64, 7 -> more than 64.
uint32_t MaxSegmentsOfCode(uint8_t uCode);

} // namespace velmora::serve
