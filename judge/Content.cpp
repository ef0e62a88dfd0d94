#include "judge/Content.h"

#include "decode/BacnetNames.h"
#include "decode/Frame.h"
#include "decode/Tags.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora::judge {

using frame::ReadTagAt;
using frame::SkipTagged;
using frame::STagHeader;

namespace {

    // Application tags.
    enum : uint32_t {
        kNull,
        kBoolean,
        kUnsigned,
        kSigned,
        kReal,
        kDouble,
        kOctets,
        kCharacters,
        kBits,
        kEnumerated,
        kDate,
        kTime,
        kObjectId,
    };
    const char* const kTypeNames[]
        = { "Null", "Boolean", "Unsigned", "Signed", "REAL", "Double", "OctetString",
              "CharacterString", "BitString", "Enumerated", "Date", "Time", "ObjectIdentifier" };

    // Shown values stay on one line of a table.
    constexpr size_t kShownMax = 96;

    uint64_t BigEndian(const uint8_t* p, size_t n)
    {
        uint64_t u = 0;
        for (size_t i = 0; i < n && i < 8; ++i)
            u = u << 8 | p[i];
        return u;
    }

    std::string HexText(const uint8_t* p, size_t n)
    {
        std::string cs = "X'";
        char sz[4];
        for (size_t i = 0; i < n && cs.size() < kShownMax; ++i) {
            std::snprintf(sz, sizeof sz, "%02x", p[i]);
            cs += sz;
        }
        return cs + "'";
    }

    // The shortest text that reads back as the same number; "22.0" for a
    // whole one, as the packet list shows a REAL.
    std::string FloatText(double d, bool bSingle)
    {
        if (std::isnan(d))
            return "NaN";
        if (std::isinf(d))
            return d > 0 ? "inf" : "-inf";
        char sz[48];
        const std::to_chars_result r = bSingle
            ? std::to_chars(sz, sz + sizeof sz, static_cast<float>(d))
            : std::to_chars(sz, sz + sizeof sz, d);
        std::string cs(sz, r.ptr);
        if (cs.find_first_of(".e") == std::string::npos)
            cs += ".0";
        return cs;
    }

    std::string ToleranceText(double d)
    {
        char sz[48];
        const std::to_chars_result r = std::to_chars(sz, sz + sizeof sz, d);
        return std::string(sz, r.ptr);
    }

    std::string Shown(std::string cs)
    {
        if (cs.size() > kShownMax) {
            size_t n = kShownMax;
            while (n > 0 && (static_cast<unsigned char>(cs[n]) & 0xc0) == 0x80)
                --n; // not inside a UTF-8 sequence
            cs.erase(n);
            cs += "...";
        }
        return cs;
    }

    struct SElement {
        STagHeader tag;
        const uint8_t* p = nullptr; // content
        size_t n = 0;
    };

    // Every tag of a value, in order; false when the tags do not read, or
    // open and close out of step.
    bool Elements(const std::vector<uint8_t>& v, std::vector<SElement>& out)
    {
        out.clear();
        int iDepth = 0;
        for (size_t nAt = 0; nAt < v.size();) {
            SElement e;
            if (!ReadTagAt(v.data(), v.size(), nAt, e.tag))
                return false;
            if (e.tag.bOpening && ++iDepth > 64)
                return false;
            if (e.tag.bClosing && --iDepth < 0)
                return false;
            e.p = v.data() + e.tag.nContent;
            e.n = e.tag.nEnd - e.tag.nContent;
            nAt = e.tag.nEnd;
            out.push_back(e);
        }
        return iDepth == 0;
    }

    bool SameShape(const SElement& a, const SElement& b)
    {
        return a.tag.bContext == b.tag.bContext && a.tag.bOpening == b.tag.bOpening
            && a.tag.bClosing == b.tag.bClosing && a.tag.uNumber == b.tag.uNumber;
    }

    bool Primitive(const SElement& e)
    {
        return !e.tag.bOpening && !e.tag.bClosing;
    }

    bool Numeric(const SElement& e, double& d);

    // The same content; a number encoded in more bytes than it needs is the same number.
    bool SameContent(const SElement& a, const SElement& b)
    {
        if (!a.tag.bContext && a.tag.uNumber == kBoolean && Primitive(a))
            return a.tag.uLength == b.tag.uLength;
        if (a.n == b.n && std::equal(a.p, a.p + a.n, b.p))
            return true;
        const bool bInteger = !a.tag.bContext && Primitive(a)
            && (a.tag.uNumber == kUnsigned || a.tag.uNumber == kSigned
                || a.tag.uNumber == kEnumerated);
        if (!bInteger || a.n < 1 || b.n < 1 || a.n > 8 || b.n > 8)
            return false;
        if (a.tag.uNumber != kSigned)
            return BigEndian(a.p, a.n) == BigEndian(b.p, b.n);
        double da = 0;
        double db = 0;
        return Numeric(a, da) && Numeric(b, db) && da == db;
    }

    bool Numeric(const SElement& e, double& d)
    {
        if (e.tag.bContext || !Primitive(e))
            return false;
        switch (e.tag.uNumber) {
        case kUnsigned:
            if (e.n < 1 || e.n > 8)
                return false;
            d = static_cast<double>(BigEndian(e.p, e.n));
            return true;
        case kSigned: {
            if (e.n < 1 || e.n > 8)
                return false;
            uint64_t u = BigEndian(e.p, e.n);
            if (e.n < 8 && (e.p[0] & 0x80))
                u |= ~uint64_t { 0 } << (8 * e.n);
            d = static_cast<double>(static_cast<int64_t>(u));
            return true;
        }
        case kReal: {
            if (e.n != 4)
                return false;
            const uint32_t u = static_cast<uint32_t>(BigEndian(e.p, 4));
            float f;
            std::memcpy(&f, &u, 4);
            d = f;
            return true;
        }
        case kDouble: {
            if (e.n != 8)
                return false;
            const uint64_t u = BigEndian(e.p, 8);
            std::memcpy(&d, &u, 8);
            return true;
        }
        default:
            return false;
        }
    }

    std::string DateText(const uint8_t* p)
    {
        static const char* const kDays[] = { "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun" };
        auto Part = [](uint32_t u, uint32_t uAny, int iWidth) {
            if (u == uAny)
                return std::string("*");
            char sz[16];
            std::snprintf(sz, sizeof sz, "%0*u", iWidth, u);
            return std::string(sz);
        };
        std::string cs = Part(p[0] == 255 ? 255 : p[0] + 1900u, 255, 4) + "-" + Part(p[1], 255, 2)
            + "-" + Part(p[2], 255, 2);
        if (p[3] >= 1 && p[3] <= 7)
            cs = std::string(kDays[p[3] - 1]) + " " + cs;
        return cs;
    }

    std::string TimeText(const uint8_t* p)
    {
        std::string cs;
        for (int i = 0; i < 4; ++i) {
            if (i > 0)
                cs += i == 3 ? "." : ":";
            char sz[8];
            std::snprintf(sz, sizeof sz, "%02u", p[i]);
            cs += p[i] == 255 ? "*" : sz;
        }
        return cs;
    }

    std::string CharacterText(const uint8_t* p, size_t n)
    {
        if (n == 0)
            return "?";
        if (p[0] != 0) // another character set than UTF-8: its number and bytes
            return "charset " + std::to_string(p[0]) + " " + HexText(p + 1, n - 1);
        std::string cs = "\"";
        auto Escaped = [&cs](uint8_t u) {
            char sz[8];
            std::snprintf(sz, sizeof sz, "\\x%02x", u);
            cs += sz;
        };
        for (size_t i = 1; i < n;) {
            const uint8_t u = p[i];
            // A UTF-8 sequence whole, or its bytes escaped: the text goes into XML.
            const size_t nLength = u < 0x80 ? 1
                : (u & 0xe0) == 0xc0        ? 2
                : (u & 0xf0) == 0xe0        ? 3
                : (u & 0xf8) == 0xf0        ? 4
                                            : 0;
            bool bWhole = nLength > 0 && i + nLength <= n && (nLength != 2 || u >= 0xc2);
            for (size_t k = 1; bWhole && k < nLength; ++k)
                bWhole = (p[i + k] & 0xc0) == 0x80;
            if (!bWhole) {
                Escaped(u);
                ++i;
            } else if (u < 0x20 || u == 0x7f) {
                Escaped(u);
                ++i;
            } else if (u == '"' || u == '\\') {
                cs += '\\';
                cs += static_cast<char>(u);
                ++i;
            } else {
                cs.append(reinterpret_cast<const char*>(p + i), nLength);
                i += nLength;
            }
        }
        return cs + "\"";
    }

    std::string ElementText(const SElement& e)
    {
        if (e.tag.bOpening)
            return "[" + std::to_string(e.tag.uNumber) + "]{";
        if (e.tag.bClosing)
            return "}";
        if (e.tag.bContext)
            return "[" + std::to_string(e.tag.uNumber) + "] " + HexText(e.p, e.n);
        double d = 0;
        switch (e.tag.uNumber) {
        case kNull:
            return "null";
        case kBoolean:
            return e.tag.uLength ? "true" : "false";
        case kUnsigned:
        case kSigned:
            if (!Numeric(e, d))
                break;
            if (e.tag.uNumber == kUnsigned)
                return std::to_string(BigEndian(e.p, e.n));
            return std::to_string(static_cast<int64_t>(d));
        case kReal:
        case kDouble:
            if (!Numeric(e, d))
                break;
            return FloatText(d, e.tag.uNumber == kReal);
        case kOctets:
            return HexText(e.p, e.n);
        case kCharacters:
            return CharacterText(e.p, e.n);
        case kBits: {
            if (e.n == 0 || e.p[0] > 7 || (e.n == 1 && e.p[0] != 0))
                break;
            std::string cs = "B'";
            const size_t nBits = (e.n - 1) * 8 - e.p[0];
            for (size_t i = 0; i < nBits && cs.size() < kShownMax; ++i)
                cs += (e.p[1 + i / 8] >> (7 - i % 8)) & 1 ? '1' : '0';
            return cs + "'";
        }
        case kEnumerated:
            if (e.n < 1 || e.n > 4)
                break;
            return std::to_string(BigEndian(e.p, e.n));
        case kDate:
            if (e.n != 4)
                break;
            return DateText(e.p);
        case kTime:
            if (e.n != 4)
                break;
            return TimeText(e.p);
        case kObjectId: {
            if (e.n != 4)
                break;
            const uint32_t u = static_cast<uint32_t>(BigEndian(e.p, 4));
            return dissect::ObjectText(u >> 22, u & 0x3fffff);
        }
        default:
            return "tag " + std::to_string(e.tag.uNumber) + " " + HexText(e.p, e.n);
        }
        return "?" + HexText(e.p, e.n); // the content does not fit its type
    }

    std::string TypedText(const SElement& e)
    {
        if (e.tag.bContext || !Primitive(e) || e.tag.uNumber > kObjectId)
            return ElementText(e);
        return std::string(kTypeNames[e.tag.uNumber]) + " " + ElementText(e);
    }

    std::string ElementsText(const std::vector<SElement>& v)
    {
        std::string cs;
        bool bAfterOpening = true;
        for (const SElement& e : v) {
            if (!bAfterOpening && !e.tag.bClosing)
                cs += ", ";
            cs += ElementText(e);
            bAfterOpening = e.tag.bOpening;
            if (cs.size() > kShownMax)
                break;
        }
        // A list of values in braces; one value, constructed or not, as it is.
        size_t nTop = 0;
        int iDepth = 0;
        for (const SElement& e : v) {
            nTop += iDepth == 0 && !e.tag.bClosing ? 1 : 0;
            iDepth += e.tag.bOpening ? 1 : e.tag.bClosing ? -1 : 0;
        }
        if (nTop != 1)
            cs = "{" + cs + "}";
        return Shown(cs);
    }

    std::string ErrorText(uint32_t uClass, uint32_t uCode)
    {
        return "error " + dissect::NameOr(dissect::ErrorClassName(uClass), "class", uClass) + "/"
            + dissect::NameOr(dissect::ErrorCodeName(uCode), "code", uCode);
    }

    std::string PropertyNameText(const SPropertyValue& p)
    {
        std::string cs = dissect::ObjectText(p.uObjectType, p.uInstance) + " "
            + dissect::PropertyText(p.uProperty);
        if (p.llIndex >= 0)
            cs += "[" + std::to_string(p.llIndex) + "]";
        return cs;
    }

    bool SameKey(const SPropertyValue& a, const SPropertyValue& b)
    {
        return a.uObjectType == b.uObjectType && a.uInstance == b.uInstance
            && a.uProperty == b.uProperty && a.llIndex == b.llIndex;
    }

    std::string SideText(const SPropertyValue& p)
    {
        return p.bError ? ErrorText(p.uErrorClass, p.uErrorCode) : ValueText(p.value);
    }

    // Two values of the same property.
    SContentVerdict CompareProperty(
        const SPropertyValue& h, const SPropertyValue& r, const SCompareRules& rules, bool bLearned)
    {
        SContentVerdict v;
        const std::string csName = PropertyNameText(h);
        if (h.bError || r.bError) {
            if (h.bError && r.bError && h.uErrorClass == r.uErrorClass
                && h.uErrorCode == r.uErrorCode)
                return v;
            v.e = EContent::Differs;
            v.csWhat = csName + " " + SideText(h) + ", recorded " + SideText(r);
            return v;
        }
        if (h.value == r.value)
            return v;
        const SVolatility vol = VolatilityOf(
            rules.pFile.get(), rules.bProfile, bLearned, r.uObjectType, r.uInstance, r.uProperty);
        std::vector<SElement> he;
        std::vector<SElement> re;
        const bool bRead = Elements(h.value, he) && Elements(r.value, re);
        const std::string csBoth
            = csName + " " + ValueText(h.value) + ", recorded " + ValueText(r.value);
        if (!bRead) {
            v.e = vol.e == EVolatility::Volatile ? EContent::Changed : EContent::Differs;
            v.csWhat = csBoth;
            return v;
        }
        // The first element that differs in shape or datatype, else in content.
        size_t nShape = 0;
        while (nShape < he.size() && nShape < re.size() && SameShape(he[nShape], re[nShape]))
            ++nShape;
        const bool bSameShape = nShape == he.size() && nShape == re.size();
        const bool bOneEach
            = he.size() == 1 && re.size() == 1 && Primitive(he[0]) && Primitive(re[0]);
        // Long values say where they first differ.
        auto At = [&](size_t i, const std::string& csHeard, const std::string& csRecorded) {
            if (bOneEach)
                return csName + " " + csHeard + ", recorded " + csRecorded;
            if (ValueText(h.value).size() + ValueText(r.value).size() <= kShownMax)
                return csBoth;
            return csName + " element " + std::to_string(i + 1) + ": " + csHeard + ", recorded "
                + csRecorded;
        };
        if (!bSameShape) {
            // A volatile list may grow and shrink; a single value keeps its datatype.
            if (vol.e == EVolatility::Volatile && !bOneEach) {
                v.e = EContent::Changed;
                v.csWhat = csBoth;
                return v;
            }
            v.e = EContent::Differs;
            if (nShape < he.size() && nShape < re.size())
                v.csWhat = At(nShape, TypedText(he[nShape]), TypedText(re[nShape]));
            else
                v.csWhat = csBoth;
            return v;
        }
        size_t nFirst = he.size();
        bool bBeyond = false;
        size_t nBeyond = he.size();
        for (size_t i = 0; i < he.size(); ++i) {
            if (SameContent(he[i], re[i]))
                continue;
            nFirst = std::min(nFirst, i);
            double dh = 0;
            double dr = 0;
            if (vol.e != EVolatility::Tolerance)
                continue;
            const bool bWithin = Numeric(he[i], dh) && Numeric(re[i], dr)
                && std::fabs(dh - dr)
                    <= (vol.bPercent ? std::fabs(dr) * vol.dTolerance / 100 : vol.dTolerance);
            if (!bWithin && !bBeyond) {
                bBeyond = true;
                nBeyond = i;
            }
        }
        if (nFirst == he.size())
            return v; // the same elements, encoded alike once read
        if (vol.e == EVolatility::Tolerance && !bBeyond) {
            v.e = EContent::Within;
            return v;
        }
        const size_t i = vol.e == EVolatility::Tolerance ? nBeyond : nFirst;
        v.e = vol.e == EVolatility::Volatile ? EContent::Changed : EContent::Differs;
        v.csWhat = At(i, ElementText(he[i]), ElementText(re[i]));
        if (vol.e == EVolatility::Tolerance)
            v.csWhat
                += " (beyond " + ToleranceText(vol.dTolerance) + (vol.bPercent ? "%" : "") + ")";
        return v;
    }

    // Reads a context-tagged unsigned [uTag] at nAt.
    bool ContextUnsigned(const uint8_t* p, size_t n, size_t& nAt, uint32_t uTag, uint64_t& u)
    {
        STagHeader t;
        if (!ReadTagAt(p, n, nAt, t) || !t.bContext || t.bOpening || t.bClosing || t.uNumber != uTag
            || t.uLength < 1 || t.uLength > 4)
            return false;
        u = BigEndian(p + t.nContent, t.uLength);
        nAt = t.nEnd;
        return true;
    }

    bool IsTag(const uint8_t* p, size_t n, size_t nAt, uint32_t uTag, bool bOpening, bool bClosing)
    {
        STagHeader t;
        return ReadTagAt(p, n, nAt, t) && t.bContext && t.uNumber == uTag && t.bOpening == bOpening
            && t.bClosing == bClosing;
    }

    // [uTag]{ values }[uTag] at nAt: the values' bytes.
    bool Enclosed(const uint8_t* p, size_t n, size_t& nAt, uint32_t uTag, std::vector<uint8_t>& v)
    {
        if (!IsTag(p, n, nAt, uTag, true, false))
            return false;
        size_t nAfter = 0;
        if (!SkipTagged(p, n, nAt, nAfter))
            return false;
        STagHeader open;
        ReadTagAt(p, n, nAt, open);
        // The closing tag is one byte for tags below 15, two above.
        const size_t nClose = uTag < 15 ? 1 : 2;
        if (nAfter < open.nEnd + nClose || !IsTag(p, n, nAfter - nClose, uTag, false, true))
            return false;
        v.assign(p + open.nEnd, p + nAfter - nClose);
        nAt = nAfter;
        return true;
    }

    bool ObjectAt(const uint8_t* p, size_t n, size_t& nAt, SPropertyValue& pv)
    {
        STagHeader t;
        if (!ReadTagAt(p, n, nAt, t) || !t.bContext || t.bOpening || t.bClosing || t.uNumber != 0
            || t.uLength != 4)
            return false;
        const uint32_t u = static_cast<uint32_t>(BigEndian(p + t.nContent, 4));
        pv.uObjectType = u >> 22;
        pv.uInstance = u & 0x3fffff;
        nAt = t.nEnd;
        return true;
    }

    bool ReadProperty(const uint8_t* p, size_t n, std::vector<SPropertyValue>& out)
    {
        SPropertyValue pv;
        size_t nAt = 0;
        uint64_t u = 0;
        if (!ObjectAt(p, n, nAt, pv) || !ContextUnsigned(p, n, nAt, 1, u))
            return false;
        pv.uProperty = static_cast<uint32_t>(u);
        if (ContextUnsigned(p, n, nAt, 2, u))
            pv.llIndex = static_cast<int64_t>(u);
        if (!Enclosed(p, n, nAt, 3, pv.value) || nAt != n)
            return false;
        out.push_back(std::move(pv));
        return true;
    }

    bool ApplicationEnumerated(const uint8_t* p, size_t n, size_t& nAt, uint32_t& u)
    {
        STagHeader t;
        if (!ReadTagAt(p, n, nAt, t) || t.bContext || t.uNumber != kEnumerated || t.uLength < 1
            || t.uLength > 4)
            return false;
        u = static_cast<uint32_t>(BigEndian(p + t.nContent, t.uLength));
        nAt = t.nEnd;
        return true;
    }

    bool ReadPropertyMultiple(const uint8_t* p, size_t n, std::vector<SPropertyValue>& out)
    {
        size_t nAt = 0;
        while (nAt < n) {
            SPropertyValue object;
            if (!ObjectAt(p, n, nAt, object) || !IsTag(p, n, nAt, 1, true, false))
                return false;
            ++nAt;
            while (!IsTag(p, n, nAt, 1, false, true)) {
                SPropertyValue pv = object;
                uint64_t u = 0;
                if (!ContextUnsigned(p, n, nAt, 2, u))
                    return false;
                pv.uProperty = static_cast<uint32_t>(u);
                if (ContextUnsigned(p, n, nAt, 3, u))
                    pv.llIndex = static_cast<int64_t>(u);
                if (IsTag(p, n, nAt, 5, true, false)) {
                    ++nAt;
                    pv.bError = true;
                    if (!ApplicationEnumerated(p, n, nAt, pv.uErrorClass)
                        || !ApplicationEnumerated(p, n, nAt, pv.uErrorCode)
                        || !IsTag(p, n, nAt, 5, false, true))
                        return false;
                    ++nAt;
                } else if (!Enclosed(p, n, nAt, 4, pv.value)) {
                    return false;
                }
                out.push_back(std::move(pv));
            }
            ++nAt;
        }
        return true;
    }

    std::string ServiceText(uint8_t u)
    {
        return dissect::NameOr(dissect::ConfirmedServiceName(u), "service", u);
    }

    // Answers that list what changes by itself: events, alarms, log records.
    bool VolatileService(uint8_t uService)
    {
        return uService == 3 || uService == 4 || uService == 26 || uService == 29;
    }

} // namespace

SAnswerContent ReadAnswerContent(uint8_t uService, const uint8_t* pData, size_t nLength)
{
    SAnswerContent c;
    c.uService = uService;
    c.data.assign(pData, pData + nLength);
    if (uService == kReadProperty)
        c.bProperties = ReadProperty(pData, nLength, c.properties);
    else if (uService == kReadPropertyMultiple)
        c.bProperties = ReadPropertyMultiple(pData, nLength, c.properties);
    if (!c.bProperties)
        c.properties.clear();
    return c;
}

bool ComplexAckData(
    const uint8_t* pFrame, size_t nLength, uint8_t& uService, std::vector<uint8_t>& data)
{
    const frame::SFrameLayout at = frame::LocateFrame(pFrame, nLength);
    const size_t nEnd = std::min<size_t>(at.uEnd, nLength);
    if (!at.IsBacnet() || at.uApduAt == 0 || at.uApduAt + 3 > nEnd)
        return false;
    const uint8_t* p = pFrame + at.uApduAt;
    if ((p[0] & 0xf0) != 0x30 || (p[0] & 0x08) != 0)
        return false;
    uService = p[2];
    data.assign(p + 3, pFrame + nEnd);
    return true;
}

void MapDevices(SAnswerContent& content, const std::vector<frame::SDeviceMap>& devices)
{
    constexpr uint32_t kDevice = 8;
    auto Map = [&](uint32_t& uInstance) {
        for (const frame::SDeviceMap& m : devices) {
            if (uInstance == m.uNew) {
                uInstance = m.uOld;
                return true;
            }
        }
        return false;
    };
    for (SPropertyValue& p : content.properties) {
        if (p.uObjectType == kDevice)
            Map(p.uInstance);
        std::vector<SElement> elements;
        if (!Elements(p.value, elements))
            continue;
        for (const SElement& e : elements) {
            if (e.tag.bContext || !Primitive(e) || e.tag.uNumber != kObjectId || e.n != 4)
                continue;
            const uint32_t u = static_cast<uint32_t>(BigEndian(e.p, 4));
            uint32_t uInstance = u & 0x3fffff;
            if (u >> 22 != kDevice || !Map(uInstance))
                continue;
            const uint32_t uMapped = kDevice << 22 | uInstance;
            uint8_t* pAt = p.value.data() + e.tag.nContent;
            for (int i = 0; i < 4; ++i)
                pAt[i] = static_cast<uint8_t>(uMapped >> (24 - 8 * i));
        }
    }
}

std::string ValueText(const std::vector<uint8_t>& value)
{
    std::vector<SElement> v;
    if (!Elements(value, v))
        return "?" + Shown(HexText(value.data(), value.size()));
    return ElementsText(v);
}

std::string CLearnedVolatile::Key(const std::string& csAnswerer, const SPropertyValue& p)
{
    return csAnswerer + "|" + std::to_string(p.uObjectType) + "," + std::to_string(p.uInstance)
        + "," + std::to_string(p.uProperty) + "," + std::to_string(p.llIndex);
}

void CLearnedVolatile::Add(const std::string& csAnswerer, const SPropertyValue& p)
{
    std::vector<uint8_t> value = p.value;
    if (p.bError) // an error where a value was recorded changes too
        value = { 0xff, static_cast<uint8_t>(p.uErrorClass), static_cast<uint8_t>(p.uErrorCode) };
    const std::string csKey = Key(csAnswerer, p);
    auto [it, bNew] = m_first.emplace(csKey, value);
    if (!bNew && it->second != value)
        m_volatile.insert(csKey);
}

bool CLearnedVolatile::Contains(const std::string& csAnswerer, const SPropertyValue& p) const
{
    return !m_volatile.empty() && m_volatile.count(Key(csAnswerer, p)) > 0;
}

SContentVerdict CompareContent(const SAnswerContent& heard, const SAnswerContent& recorded,
    const SCompareRules& rules, const std::string& csAnswerer)
{
    SContentVerdict v;
    if (!rules.bValues || heard.data == recorded.data)
        return v;
    const std::string csService = ServiceText(recorded.uService);
    if (heard.uService != recorded.uService) {
        v.e = EContent::Differs;
        v.csWhat = "service " + ServiceText(heard.uService) + ", recorded " + csService;
        return v;
    }
    if (!heard.bProperties || !recorded.bProperties) {
        v.e = rules.bProfile && VolatileService(recorded.uService) ? EContent::Changed
                                                                   : EContent::Differs;
        v.csWhat
            = csService + " " + ValueText(heard.data) + ", recorded " + ValueText(recorded.data);
        return v;
    }
    const std::vector<SPropertyValue>& h = heard.properties;
    const std::vector<SPropertyValue>& r = recorded.properties;
    if (h.size() == 1 && r.size() == 1 && !SameKey(h[0], r[0])) {
        v.e = EContent::Differs;
        v.csWhat = PropertyNameText(h[0]) + ", recorded " + PropertyNameText(r[0]);
        return v;
    }
    size_t nDiffers = 0;
    size_t nChanged = 0;
    size_t nWithin = 0;
    std::string csDiffers;
    std::string csChanged;
    std::vector<bool> used(h.size(), false);
    for (const SPropertyValue& rp : r) {
        size_t i = 0;
        while (i < h.size() && (used[i] || !SameKey(h[i], rp)))
            ++i;
        if (i == h.size()) {
            if (nDiffers++ == 0)
                csDiffers = PropertyNameText(rp) + " missing, recorded " + SideText(rp);
            continue;
        }
        used[i] = true;
        const bool bLearned
            = rules.bProfile && rules.pLearned && rules.pLearned->Contains(csAnswerer, rp);
        const SContentVerdict one = CompareProperty(h[i], rp, rules, bLearned);
        if (one.e == EContent::Differs && nDiffers++ == 0)
            csDiffers = one.csWhat;
        if (one.e == EContent::Changed && nChanged++ == 0)
            csChanged = one.csWhat;
        nWithin += one.e == EContent::Within ? 1 : 0;
    }
    for (size_t i = 0; i < h.size(); ++i) {
        if (!used[i] && nDiffers++ == 0)
            csDiffers = PropertyNameText(h[i]) + " " + SideText(h[i]) + ", not recorded";
    }
    auto More = [](size_t n) {
        return n > 1 ? " (and " + std::to_string(n - 1) + " more)" : std::string();
    };
    if (nDiffers > 0) {
        v.e = EContent::Differs;
        v.csWhat = csDiffers + More(nDiffers);
    } else if (nChanged > 0) {
        v.e = EContent::Changed;
        v.csWhat = csChanged + More(nChanged);
    } else if (nWithin > 0) {
        v.e = EContent::Within;
    }
    return v;
}

} // namespace velmora::judge
