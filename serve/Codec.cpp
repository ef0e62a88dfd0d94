#include "serve/Codec.h"

#include <cstring>

namespace velmora::serve {

void PutTag(CBytes& v, uint32_t uNumber, bool bContext, uint32_t uLength)
{
    uint8_t u0 = bContext ? 0x08 : 0x00;
    const bool bExtended = uNumber >= 15;
    u0 |= static_cast<uint8_t>((bExtended ? 15 : uNumber) << 4);
    const bool bBoolean = !bContext && uNumber == kTagBoolean;
    u0 |= static_cast<uint8_t>(bBoolean ? (uLength ? 1 : 0) : (uLength < 5 ? uLength : 5));
    v.push_back(u0);
    if (bExtended)
        v.push_back(static_cast<uint8_t>(uNumber));
    if (bBoolean || uLength < 5)
        return;
    if (uLength < 254) {
        v.push_back(static_cast<uint8_t>(uLength));
    } else if (uLength < 65536) {
        v.push_back(254);
        v.push_back(static_cast<uint8_t>(uLength >> 8));
        v.push_back(static_cast<uint8_t>(uLength));
    } else {
        v.push_back(255);
        for (int i = 3; i >= 0; --i)
            v.push_back(static_cast<uint8_t>(uLength >> (8 * i)));
    }
}

void PutOpening(CBytes& v, uint32_t uNumber)
{
    if (uNumber >= 15) {
        v.push_back(0xfe);
        v.push_back(static_cast<uint8_t>(uNumber));
    } else {
        v.push_back(static_cast<uint8_t>(uNumber << 4 | 0x0e));
    }
}

void PutClosing(CBytes& v, uint32_t uNumber)
{
    if (uNumber >= 15) {
        v.push_back(0xff);
        v.push_back(static_cast<uint8_t>(uNumber));
    } else {
        v.push_back(static_cast<uint8_t>(uNumber << 4 | 0x0f));
    }
}

namespace {

    // Big-endian in as few bytes as hold it (at least one).
    void PutMinimal(CBytes& v, uint32_t uTag, bool bContext, uint64_t u)
    {
        uint32_t n = 1;
        while (n < 8 && (u >> (8 * n)) != 0)
            ++n;
        PutTag(v, uTag, bContext, n);
        for (uint32_t i = n; i-- > 0;)
            v.push_back(static_cast<uint8_t>(u >> (8 * i)));
    }

} // namespace

void AppNull(CBytes& v)
{
    PutTag(v, kTagNull, false, 0);
}

void AppBoolean(CBytes& v, bool b)
{
    PutTag(v, kTagBoolean, false, b ? 1 : 0);
}

void AppUnsigned(CBytes& v, uint64_t u)
{
    PutMinimal(v, kTagUnsigned, false, u);
}

void AppSigned(CBytes& v, int64_t ll)
{
    // Two's complement in as few bytes as keep the sign.
    uint32_t n = 1;
    while (n < 8) {
        const int64_t llMin = -(int64_t { 1 } << (8 * n - 1));
        const int64_t llMax = (int64_t { 1 } << (8 * n - 1)) - 1;
        if (ll >= llMin && ll <= llMax)
            break;
        ++n;
    }
    PutTag(v, kTagSigned, false, n);
    const uint64_t u = static_cast<uint64_t>(ll);
    for (uint32_t i = n; i-- > 0;)
        v.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

void AppReal(CBytes& v, float f)
{
    uint32_t u = 0;
    std::memcpy(&u, &f, 4);
    PutTag(v, kTagReal, false, 4);
    for (int i = 3; i >= 0; --i)
        v.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

void AppDouble(CBytes& v, double d)
{
    uint64_t u = 0;
    std::memcpy(&u, &d, 8);
    PutTag(v, kTagDouble, false, 8);
    for (int i = 7; i >= 0; --i)
        v.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

void AppOctetString(CBytes& v, const CBytes& octets)
{
    PutTag(v, kTagOctetString, false, static_cast<uint32_t>(octets.size()));
    v.insert(v.end(), octets.begin(), octets.end());
}

void AppCharacterString(CBytes& v, const std::string& csUtf8)
{
    PutTag(v, kTagCharacterString, false, static_cast<uint32_t>(csUtf8.size() + 1));
    v.push_back(0); // UTF-8
    v.insert(v.end(), csUtf8.begin(), csUtf8.end());
}

void AppBitString(CBytes& v, const std::vector<bool>& bits)
{
    const uint32_t uBytes = static_cast<uint32_t>((bits.size() + 7) / 8);
    PutTag(v, kTagBitString, false, uBytes + 1);
    v.push_back(static_cast<uint8_t>(uBytes * 8 - bits.size())); // unused bits in the last byte
    for (uint32_t i = 0; i < uBytes; ++i) {
        uint8_t u = 0;
        for (uint32_t b = 0; b < 8 && i * 8 + b < bits.size(); ++b)
            if (bits[i * 8 + b])
                u |= static_cast<uint8_t>(0x80 >> b);
        v.push_back(u);
    }
}

void AppEnumerated(CBytes& v, uint32_t u)
{
    PutMinimal(v, kTagEnumerated, false, u);
}

void AppDate(CBytes& v, uint8_t uYearSince1900, uint8_t uMonth, uint8_t uDay, uint8_t uWeekday)
{
    PutTag(v, kTagDate, false, 4);
    v.insert(v.end(), { uYearSince1900, uMonth, uDay, uWeekday });
}

void AppTime(CBytes& v, uint8_t uHour, uint8_t uMinute, uint8_t uSecond, uint8_t uHundredths)
{
    PutTag(v, kTagTime, false, 4);
    v.insert(v.end(), { uHour, uMinute, uSecond, uHundredths });
}

void AppObjectId(CBytes& v, uint32_t uType, uint32_t uInstance)
{
    const uint32_t u = ObjectId(uType, uInstance);
    PutTag(v, kTagObjectId, false, 4);
    for (int i = 3; i >= 0; --i)
        v.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

void CtxUnsigned(CBytes& v, uint32_t uTag, uint64_t u)
{
    PutMinimal(v, uTag, true, u);
}

void CtxObjectId(CBytes& v, uint32_t uTag, uint32_t uId)
{
    PutTag(v, uTag, true, 4);
    for (int i = 3; i >= 0; --i)
        v.push_back(static_cast<uint8_t>(uId >> (8 * i)));
}

bool ReadUnsigned(const uint8_t* p, uint32_t uLength, uint32_t& u)
{
    if (uLength < 1 || uLength > 4)
        return false;
    u = 0;
    for (uint32_t i = 0; i < uLength; ++i)
        u = u << 8 | p[i];
    return true;
}

uint32_t MaxApduOfCode(uint8_t uCode)
{
    static constexpr uint32_t kSizes[] = { 50, 128, 206, 480, 1024, 1476 };
    return uCode < 6 ? kSizes[uCode] : 1476;
}

uint32_t MaxSegmentsOfCode(uint8_t uCode)
{
    static constexpr uint32_t kCounts[] = { UINT32_MAX, 2, 4, 8, 16, 32, 64, UINT32_MAX };
    return kCounts[uCode & 7];
}

} // namespace velmora::serve
