#include "decode/BacnetNames.h"
#include "decode/DecodeInternal.h"
#include "decode/Tags.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace velmora::dissect::internal {

bool ReadTag(CReader& r, STag& t)
{
    CReader s = r;
    uint8_t b;
    if (!s.U8(b))
        return false;
    t = {};
    t.uOffset = r.Pos();
    t.uNumber = b >> 4;
    t.bContext = (b & 0x08) != 0;
    const uint32_t uLvt = b & 0x07;
    if (t.uNumber == 15) {
        uint8_t u;
        if (!s.U8(u))
            return false;
        t.uNumber = u;
    }
    if (t.bContext && uLvt == 6) {
        t.bOpening = true;
    } else if (t.bContext && uLvt == 7) {
        t.bClosing = true;
    } else if (uLvt == 5) {
        uint8_t u;
        if (!s.U8(u))
            return false;
        t.uLength = u;
        if (u == 254 || u == 255) {
            uint64_t ull;
            if (!s.UN(u == 254 ? 2 : 4, ull))
                return false;
            t.uLength = static_cast<uint32_t>(ull);
        }
    } else {
        t.uLength = uLvt;
    }
    t.uContent = s.Pos();
    // An application Boolean carries its value in the length field, no content.
    if (!t.bContext && t.uNumber == kBoolean && !t.bOpening && !t.bClosing) {
        r = s;
        return true;
    }
    r = s;
    return true;
}

uint32_t ContentLength(const STag& t)
{
    return (!t.bContext && t.uNumber == kBoolean) || t.bOpening || t.bClosing ? 0 : t.uLength;
}

namespace {

    std::string RealText(double d, bool bFloat)
    {
        char sz[64];
        const auto res = bFloat ? std::to_chars(sz, sz + sizeof sz - 3, static_cast<float>(d))
                                : std::to_chars(sz, sz + sizeof sz - 3, d);
        std::string cs(sz, res.ptr);
        // Keep REALs recognisable: 50 reads 50.0.
        if (cs.find_first_of(".eEn") == std::string::npos)
            cs += ".0";
        return cs;
    }

} // namespace

std::string CharString(const uint8_t* p, uint32_t n, bool& bBad)
{
    if (n == 0) {
        bBad = true;
        return "";
    }
    const uint8_t uSet = p[0];
    ++p;
    --n;
    std::string cs;
    auto PutCode = [&cs](uint32_t c) {
        if (c < 0x20 || c == 0x7f) {
            cs += '.';
        } else if (c < 0x80) {
            cs += static_cast<char>(c);
        } else if (c < 0x800) {
            cs += static_cast<char>(0xc0 | c >> 6);
            cs += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c >= 0xd800 && c < 0xe000) {
            cs += '?';
        } else {
            cs += static_cast<char>(0xe0 | c >> 12);
            cs += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            cs += static_cast<char>(0x80 | (c & 0x3f));
        }
    };
    if (uSet == 0) { // UTF-8: keep valid sequences, mark the rest
        for (uint32_t i = 0; i < n;) {
            const uint8_t c = p[i];
            uint32_t uLen = c < 0x80 ? 1
                : (c & 0xe0) == 0xc0 ? 2
                : (c & 0xf0) == 0xe0 ? 3
                : (c & 0xf8) == 0xf0 ? 4
                                     : 0;
            bool bOk = uLen > 0 && i + uLen <= n;
            for (uint32_t k = 1; bOk && k < uLen; ++k)
                bOk = (p[i + k] & 0xc0) == 0x80;
            if (!bOk) {
                cs += '?';
                ++i;
            } else if (uLen == 1) {
                PutCode(c);
                ++i;
            } else {
                cs.append(reinterpret_cast<const char*>(p + i), uLen);
                i += uLen;
            }
        }
    } else if (uSet == 5) { // ISO 8859-1
        for (uint32_t i = 0; i < n; ++i)
            PutCode(p[i]);
    } else if (uSet == 4) { // UCS-2, big-endian
        for (uint32_t i = 0; i + 1 < n; i += 2)
            PutCode(static_cast<uint32_t>(p[i] << 8 | p[i + 1]));
    } else {
        cs = "(character set " + Num(uSet) + ", " + Num(n) + " bytes)";
        return cs;
    }
    return "\"" + cs + "\"";
}

bool AppValueText(const uint8_t* p, const STag& t, const SValueContext& ctx, std::string& cs)
{
    const uint32_t n = t.uLength;
    auto Be = [p](uint32_t k) {
        uint64_t u = 0;
        for (uint32_t i = 0; i < k; ++i)
            u = u << 8 | p[i];
        return u;
    };
    switch (t.uNumber) {
    case kNull:
        cs = "NULL";
        return n == 0;
    case kBoolean:
        cs = n == 0 ? "false" : n == 1 ? "true" : "invalid Boolean " + Num(n);
        return n <= 1;
    case kUnsigned:
    case kEnumerated:
        if (n < 1 || n > 8) {
            cs = "invalid length " + Num(n);
            return false;
        }
        cs = Num(Be(n));
        if (t.uNumber == kEnumerated) {
            const uint64_t u = Be(n);
            const bool bBinary = ctx.uObjectType >= 3 && ctx.uObjectType <= 5;
            if (bBinary && (ctx.uProperty == 85 || ctx.uProperty == 104) && u <= 1)
                cs = u ? "active" : "inactive";
            else if (ctx.uProperty == 79 && ObjectTypeName(static_cast<uint32_t>(u)))
                cs = ObjectTypeName(static_cast<uint32_t>(u));
        }
        return true;
    case kSigned: {
        if (n < 1 || n > 8) {
            cs = "invalid length " + Num(n);
            return false;
        }
        uint64_t u = Be(n);
        if (n < 8 && (u >> (8 * n - 1)) & 1)
            u |= ~0ull << (8 * n);
        cs = std::to_string(static_cast<int64_t>(u));
        return true;
    }
    case kReal: {
        if (n != 4) {
            cs = "invalid length " + Num(n);
            return false;
        }
        const uint32_t u = static_cast<uint32_t>(Be(4));
        float f;
        std::memcpy(&f, &u, 4);
        cs = RealText(f, true);
        return true;
    }
    case kDouble: {
        if (n != 8) {
            cs = "invalid length " + Num(n);
            return false;
        }
        const uint64_t u = Be(8);
        double d;
        std::memcpy(&d, &u, 8);
        cs = RealText(d, false);
        return true;
    }
    case kOctetString:
        cs = Hex(p, n < 32 ? n : 32) + (n > 32 ? " ..." : "");
        return true;
    case kCharacterString: {
        bool bBad = false;
        cs = CharString(p, n, bBad);
        return !bBad;
    }
    case kBitString: {
        if (n < 1 || p[0] > 7 || (n == 1 && p[0] != 0)) {
            cs = "invalid BitString";
            return false;
        }
        const uint32_t uBits = (n - 1) * 8 - p[0];
        cs.clear();
        for (uint32_t i = 0; i < uBits && i < 64; ++i)
            cs += (p[1 + i / 8] >> (7 - i % 8)) & 1 ? '1' : '0';
        if (uBits > 64)
            cs += "...";
        cs = "{" + cs + "}";
        return true;
    }
    case kDate: {
        if (n != 4) {
            cs = "invalid length " + Num(n);
            return false;
        }
        auto Part = [](uint32_t u, uint32_t uAdd, int iWidth) {
            if (u == 255)
                return std::string("*");
            char sz[8];
            std::snprintf(sz, sizeof sz, "%0*u", iWidth, u + uAdd);
            return std::string(sz);
        };
        cs = Part(p[0], 1900, 4) + "-" + Part(p[1], 0, 2) + "-" + Part(p[2], 0, 2);
        return true;
    }
    case kTime: {
        if (n != 4) {
            cs = "invalid length " + Num(n);
            return false;
        }
        auto Part = [](uint32_t u) {
            if (u == 255)
                return std::string("*");
            char sz[8];
            std::snprintf(sz, sizeof sz, "%02u", u);
            return std::string(sz);
        };
        cs = Part(p[0]) + ":" + Part(p[1]) + ":" + Part(p[2]) + "." + Part(p[3]);
        return true;
    }
    case kObjectId: {
        if (n != 4) {
            cs = "invalid length " + Num(n);
            return false;
        }
        const uint32_t u = static_cast<uint32_t>(Be(4));
        cs = ObjectText(u >> 22, u & 0x3fffff);
        return true;
    }
    default:
        cs = "application tag " + Num(t.uNumber) + ", " + Num(n) + " bytes";
        return true;
    }
}

// ---------------------------------------------------------------------------
// CApdu.

bool CApdu::ContextUnsigned(uint32_t uTag, const char* szName, uint64_t& u, bool bOptional)
{
    STag t;
    if (!PeekTag(t) || !t.bContext || t.bOpening || t.bClosing || t.uNumber != uTag) {
        if (!bOptional)
            Missing(szName);
        return false;
    }
    CReader r = m_r;
    ReadTag(r, t);
    if (t.uLength < 1 || t.uLength > 4 || !r.UN(t.uLength, u)) {
        Broken(szName, t);
        return false;
    }
    m_r = r;
    return true;
}

bool CApdu::ContextObjectId(uint32_t uTag, const char* szName, uint32_t& uType, uint32_t& uInst)
{
    STag t;
    if (!PeekTag(t) || !t.bContext || t.bOpening || t.bClosing || t.uNumber != uTag) {
        Missing(szName);
        return false;
    }
    return ObjectIdContent(szName, t, uType, uInst);
}

bool CApdu::AppObjectId(const char* szName, uint32_t& uType, uint32_t& uInst)
{
    STag t;
    if (!PeekTag(t) || t.bContext || t.uNumber != kObjectId) {
        Missing(szName);
        return false;
    }
    return ObjectIdContent(szName, t, uType, uInst);
}

bool CApdu::AppPrimitive(uint32_t uType, const char* szName, std::string& cs, uint64_t* pU)
{
    STag t;
    if (!PeekTag(t) || t.bContext || t.uNumber != uType) {
        Missing(szName);
        return false;
    }
    CReader r = m_r;
    ReadTag(r, t);
    const uint32_t n = ContentLength(t);
    if (!r.Has(n)) {
        Broken(szName, t);
        return false;
    }
    if (!AppValueText(r.Here(), t, {}, cs)) {
        Broken(szName, t);
        return false;
    }
    if (pU) {
        uint64_t u = 0;
        for (uint32_t i = 0; i < n && i < 8; ++i)
            u = u << 8 | r.Here()[i];
        *pU = u;
    }
    r.Skip(n);
    TREE_ADD(m_out, m_pNode, szName, cs, t.uOffset, r.Pos() - t.uOffset);
    m_r = r;
    return true;
}

bool CApdu::ContextValues(
    uint32_t uTag, const SValueContext& ctx, std::string& csValues, const char* szName)
{
    STag t;
    if (!PeekTag(t) || !t.bOpening || t.uNumber != uTag) {
        Missing(szName);
        return false;
    }
    CReader r = m_r;
    ReadTag(r, t);
    const uint32_t uStart = t.uOffset;
    SField* pValues = TREE_ADD(m_out, m_pNode, szName, "", uStart, 0);
    std::vector<std::string> texts;
    uint32_t uCount = 0;
    int iDepth = 0;
    bool bConstructed = false;
    bool bAfterDate = false;
    for (;;) {
        STag v;
        if (!ReadTag(r, v)) {
            m_out.Malformed("the value ends before its closing tag");
            return false;
        }
        if (v.bClosing) {
            if (iDepth == 0) {
                if (v.uNumber != uTag) {
                    m_out.Malformed(
                        "closing tag " + Num(v.uNumber) + " where " + Num(uTag) + " belongs");
                    return false;
                }
                break;
            }
            --iDepth;
            continue;
        }
        if (v.bOpening) {
            ++iDepth;
            bConstructed = true;
            continue;
        }
        const uint32_t n = ContentLength(v);
        if (!r.Has(n)) {
            m_out.Malformed("a value claims more bytes than there are");
            return false;
        }
        if (iDepth == 0 && !v.bContext) {
            std::string cs;
            const bool bOk = AppValueText(r.Here(), v, ctx, cs);
            if (!bOk)
                m_out.Malformed("a " + std::string(kAppTagNames[v.uNumber < 13 ? v.uNumber : 0])
                    + " value that does not fit its type");
            if (v.uNumber == kTime && bAfterDate) {
                // A Date and a Time side by side are one BACnetDateTime.
                if (uCount <= texts.size())
                    texts.back() += " " + cs;
                bAfterDate = false;
            } else {
                ++uCount;
                if (texts.size() < 4)
                    texts.push_back(Shorten(cs, 48));
                bAfterDate = v.uNumber == kDate;
            }
            if (pValues) {
                const std::string csType
                    = v.uNumber < 13 ? kAppTagNames[v.uNumber] : "tag " + Num(v.uNumber);
                TREE_ADD(m_out, pValues, csType, cs, v.uOffset, r.Pos() + n - v.uOffset);
            }
        } else {
            bConstructed = true;
        }
        r.Skip(n);
    }
    if (bConstructed) {
        csValues = "(constructed value)";
    } else {
        for (size_t i = 0; i < texts.size() && i < 3; ++i)
            csValues += (i ? ", " : "") + texts[i];
        if (uCount > 3)
            csValues += ", ... (" + Num(uCount) + " values)";
    }
    if (pValues) {
        pValues = &m_pNode->children.back();
        pValues->csValue = csValues;
        pValues->uLength = r.Pos() - uStart;
    }
    m_r = r;
    return true;
}

void CApdu::ExpectEnd()
{
    if (m_r.Left()) {
        TREE_ADD(m_out, m_pNode, "Unexpected bytes",
            Hex(m_r.Here(), m_r.Left() < 16 ? m_r.Left() : 16), m_r.Pos(), m_r.Left());
        m_out.Malformed(
            Num(m_r.Left()) + (m_r.Left() == 1 ? " byte" : " bytes") + " after the parameters");
    }
}

void CApdu::Rest(const char* szName)
{
    if (m_r.Left())
        TREE_ADD(m_out, m_pNode, szName, Num(m_r.Left()) + " bytes", m_r.Pos(), m_r.Left());
}

void CApdu::Missing(const char* szName)
{
    STag t;
    m_out.Malformed(AtEnd() ? std::string("ends before ") + szName
            : !PeekTag(t)   ? std::string("a cut-off tag where ") + szName + " belongs"
                            : std::string("no ") + szName + " where one belongs");
}

void CApdu::Broken(const char* szName, const STag& t)
{
    TREE_ADD(m_out, m_pNode, szName, "(broken)", t.uOffset, m_r.End() - t.uOffset);
    m_out.Malformed(std::string("broken ") + szName);
}

bool CApdu::ObjectIdContent(const char* szName, STag t, uint32_t& uType, uint32_t& uInst)
{
    CReader r = m_r;
    ReadTag(r, t);
    uint64_t u;
    if (t.uLength != 4 || !r.UN(4, u)) {
        Broken(szName, t);
        return false;
    }
    uType = static_cast<uint32_t>(u >> 22);
    uInst = static_cast<uint32_t>(u & 0x3fffff);
    TREE_ADD(m_out, m_pNode, szName, ObjectText(uType, uInst), t.uOffset, r.Pos() - t.uOffset);
    m_r = r;
    return true;
}

bool CApdu::Context(uint32_t uTag, uint32_t uAppType, const char* szName, std::string& cs,
    uint64_t* pU, bool bOptional, const char* (*pfnName)(uint32_t))
{
    STag t;
    if (!PeekTag(t) || !t.bContext || t.bOpening || t.bClosing || t.uNumber != uTag) {
        if (!bOptional)
            Missing(szName);
        return false;
    }
    CReader r = m_r;
    ReadTag(r, t);
    const uint32_t n = t.uLength;
    if (!r.Has(n)) {
        Broken(szName, t);
        return false;
    }
    const uint8_t* p = r.Here();
    bool bOk;
    if (uAppType == kBoolean) {
        // A context Boolean holds its value in one content byte, not in the tag.
        bOk = n == 1 && p[0] <= 1;
        cs = bOk && p[0] ? "true" : "false";
    } else {
        STag as = t;
        as.bContext = false;
        as.uNumber = uAppType;
        bOk = AppValueText(p, as, {}, cs);
    }
    if (!bOk) {
        Broken(szName, t);
        return false;
    }
    uint64_t u = 0;
    for (uint32_t i = 0; i < n && i < 8; ++i)
        u = u << 8 | p[i];
    if (pU)
        *pU = u;
    r.Skip(n);
    std::string csField = cs;
    if (pfnName) {
        const char* sz = u <= 0xffffffff ? pfnName(static_cast<uint32_t>(u)) : nullptr;
        cs = sz ? sz : Num(u);
        csField = cs + " (" + Num(u) + ")";
    }
    TREE_ADD(m_out, m_pNode, szName, csField, t.uOffset, r.Pos() - t.uOffset);
    m_r = r;
    return true;
}

bool CApdu::NextIs(uint32_t uTag, bool bOpening) const
{
    STag t;
    return PeekTag(t) && t.bContext && t.uNumber == uTag && t.bOpening == bOpening && !t.bClosing;
}

bool CApdu::NextIsClosing(uint32_t uTag) const
{
    STag t;
    return PeekTag(t) && t.bClosing && t.uNumber == uTag;
}

bool CApdu::Opening(uint32_t uTag, const char* szWhat)
{
    if (!NextIs(uTag, true)) {
        Missing(szWhat);
        return false;
    }
    STag t;
    ReadTag(m_r, t);
    return true;
}

bool CApdu::Closing(uint32_t uTag, const char* szWhat)
{
    if (!NextIsClosing(uTag)) {
        m_out.Malformed(AtEnd() ? std::string("ends before the closing tag of ") + szWhat
                                : std::string("no closing tag after ") + szWhat);
        return false;
    }
    STag t;
    ReadTag(m_r, t);
    return true;
}

SField* CApdu::Field(const std::string& csName, const std::string& csValue, uint32_t uAt)
{
    return TREE_ADD(m_out, m_pNode, csName, csValue, uAt, m_r.Pos() - uAt);
}

} // namespace velmora::dissect::internal

namespace velmora::frame {

bool ReadTagAt(const uint8_t* pData, size_t nLength, size_t nPos, STagHeader& tag)
{
    using namespace dissect::internal;
    if (nPos >= nLength || nLength > UINT32_MAX)
        return false;
    CReader r(pData, static_cast<uint32_t>(nPos), static_cast<uint32_t>(nLength));
    STag t;
    if (!ReadTag(r, t))
        return false;
    tag.uNumber = t.uNumber;
    tag.bContext = t.bContext;
    tag.bOpening = t.bOpening;
    tag.bClosing = t.bClosing;
    tag.uLength = t.uLength;
    tag.nContent = t.uContent;
    tag.nEnd = size_t { t.uContent } + ContentLength(t);
    return tag.nEnd <= nLength;
}

bool SkipTagged(const uint8_t* pData, size_t nLength, size_t nPos, size_t& nAfter)
{
    int iDepth = 0;
    do {
        STagHeader tag;
        if (!ReadTagAt(pData, nLength, nPos, tag))
            return false;
        if (tag.bOpening && ++iDepth > 64)
            return false;
        if (tag.bClosing && --iDepth < 0)
            return false;
        nPos = tag.nEnd;
    } while (iDepth > 0);
    nAfter = nPos;
    return true;
}

} // namespace velmora::frame
