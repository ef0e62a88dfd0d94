#include "decode/Decoder.h"

#include "decode/BacnetNames.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace velmora::vdecode {

namespace {

    // ---------------------------------------------------------------------------
    // Bounded reading: every read checks the end first, so no decode can leave
    // the captured bytes whatever the frame claims.

    class CReader {
    public:
        CReader(const uint8_t* pData, uint32_t uBegin, uint32_t uEnd)
            : m_pData(pData)
            , m_uPos(uBegin)
            , m_uEnd(uEnd)
        {
        }
        uint32_t Pos() const { return m_uPos; }
        uint32_t End() const { return m_uEnd; }
        uint32_t Left() const { return m_uEnd - m_uPos; }
        bool Has(uint32_t n) const { return Left() >= n; }
        uint8_t Peek(uint32_t uAt = 0) const { return m_pData[m_uPos + uAt]; }
        const uint8_t* Here() const { return m_pData + m_uPos; }
        bool U8(uint8_t& u)
        {
            if (!Has(1))
                return false;
            u = m_pData[m_uPos++];
            return true;
        }
        bool U16(uint16_t& u)
        {
            if (!Has(2))
                return false;
            u = static_cast<uint16_t>(m_pData[m_uPos] << 8 | m_pData[m_uPos + 1]);
            m_uPos += 2;
            return true;
        }
        bool UN(uint32_t n, uint64_t& u) // big-endian, n <= 8
        {
            if (n > 8 || !Has(n))
                return false;
            u = 0;
            for (uint32_t i = 0; i < n; ++i)
                u = u << 8 | m_pData[m_uPos + i];
            m_uPos += n;
            return true;
        }
        bool Skip(uint32_t n)
        {
            if (!Has(n))
                return false;
            m_uPos += n;
            return true;
        }
        // A reader over the next n bytes (or what is left of them).
        CReader Sub(uint32_t n) const
        {
            return CReader(m_pData, m_uPos, n < Left() ? m_uPos + n : m_uEnd);
        }

    private:
        const uint8_t* m_pData;
        uint32_t m_uPos;
        uint32_t m_uEnd;
    };

    std::string Hex(const uint8_t* p, uint32_t n, const char* szSep = " ")
    {
        static const char kDigits[] = "0123456789abcdef";
        std::string cs;
        for (uint32_t i = 0; i < n; ++i) {
            if (i)
                cs += szSep;
            cs += kDigits[p[i] >> 4];
            cs += kDigits[p[i] & 15];
        }
        return cs;
    }

    std::string Hex16(uint32_t u)
    {
        char sz[16];
        std::snprintf(sz, sizeof sz, "0x%04x", u);
        return sz;
    }

    std::string Hex8(uint32_t u)
    {
        char sz[16];
        std::snprintf(sz, sizeof sz, "0x%02x", u);
        return sz;
    }

    std::string Mac(const uint8_t* p)
    {
        return Hex(p, 6, ":");
    }

    std::string Ipv4(const uint8_t* p)
    {
        char sz[20];
        std::snprintf(sz, sizeof sz, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
        return sz;
    }

    std::string Ipv6(const uint8_t* p)
    {
        // Groups without leading zeros; the longest run of two or more zero groups as "::".
        uint16_t g[8];
        for (int i = 0; i < 8; ++i)
            g[i] = static_cast<uint16_t>(p[2 * i] << 8 | p[2 * i + 1]);
        int iBest = -1, iBestLen = 0;
        for (int i = 0; i < 8;) {
            int j = i;
            while (j < 8 && g[j] == 0)
                ++j;
            if (j - i > iBestLen && j - i >= 2) {
                iBest = i;
                iBestLen = j - i;
            }
            i = j == i ? i + 1 : j;
        }
        std::string cs;
        char sz[8];
        for (int i = 0; i < 8; ++i) {
            if (i == iBest) {
                cs += "::";
                i += iBestLen - 1;
                continue;
            }
            if (!cs.empty() && cs.back() != ':')
                cs += ':';
            std::snprintf(sz, sizeof sz, "%x", g[i]);
            cs += sz;
        }
        return cs;
    }

    std::string Num(uint64_t u)
    {
        return std::to_string(u);
    }

    std::string InvokeId(uint32_t u)
    {
        char sz[8];
        std::snprintf(sz, sizeof sz, "[%2u]", u);
        return sz;
    }

    // ---------------------------------------------------------------------------
    // Output: the row, the tree when one is wanted, and the first malformation.

    struct SOut {
        SRow& row;
        std::vector<SField>* pTree;
        std::string csMalformed;

        bool Tree() const { return pTree != nullptr; }

        // Adds a field under parent (nullptr: top level); returns it, or nullptr
        // without a tree. A returned pointer is good until its parent gets another child.
        SField* Add(SField* pParent, std::string csName, std::string csValue, uint32_t uOffset,
            uint32_t uLength)
        {
            if (!pTree)
                return nullptr;
            std::vector<SField>& v = pParent ? pParent->children : *pTree;
            v.push_back({ std::move(csName), std::move(csValue), uOffset, uLength, {} });
            return &v.back();
        }
        void Malformed(const std::string& csWhy)
        {
            if (csMalformed.empty())
                csMalformed = csWhy;
            row.bMalformed = true;
        }
    };

    // Builds a field's name and value only when a tree is wanted: a row alone is
// decoded for every visible or filtered record, and the strings cost more than
// the decode.
#define TREE_ADD(o, ...) ((o).Tree() ? (o).Add(__VA_ARGS__) : nullptr)

    // ---------------------------------------------------------------------------
    // BACnet tags and primitive values.

    enum EAppTag : uint32_t {
        kNull = 0,
        kBoolean = 1,
        kUnsigned = 2,
        kSigned = 3,
        kReal = 4,
        kDouble = 5,
        kOctetString = 6,
        kCharacterString = 7,
        kBitString = 8,
        kEnumerated = 9,
        kDate = 10,
        kTime = 11,
        kObjectId = 12,
    };

    const char* const kAppTagNames[]
        = { "Null", "Boolean", "Unsigned", "Signed", "REAL", "Double", "OctetString",
              "CharacterString", "BitString", "Enumerated", "Date", "Time", "ObjectIdentifier" };

    struct STag {
        uint32_t uOffset = 0; // of the first tag byte
        uint32_t uNumber = 0;
        bool bContext = false;
        bool bOpening = false;
        bool bClosing = false;
        uint32_t uLength = 0; // content bytes (for an application Boolean, its value)
        uint32_t uContent = 0; // offset of the content
    };

    // Reads a tag header; false (reader where it was) when it is cut off.
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

    // Printable UTF-8 of a CharacterString's content (character set first).
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

    std::string Shorten(const std::string& cs, size_t nMax)
    {
        if (cs.size() <= nMax)
            return cs;
        size_t n = nMax;
        while (n > 0 && (static_cast<uint8_t>(cs[n]) & 0xc0) == 0x80)
            --n; // not inside a UTF-8 sequence
        return cs.substr(0, n) + "...";
    }

    // The property a value belongs to, so that some enumerations read as names.
    struct SValueContext {
        uint32_t uObjectType = 0xffffffff;
        uint32_t uProperty = 0xffffffff;
    };

    // Decodes the content of an application-tagged primitive into text. False when
    // the content does not fit its type (the text then says why).
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
    // APDU parameters.

    class CApdu {
    public:
        CApdu(SOut& out, CReader r, SField* pNode)
            : m_out(out)
            , m_r(r)
            , m_pNode(pNode)
        {
        }

        // The next tag without taking it.
        bool PeekTag(STag& t) const
        {
            CReader r = m_r;
            return ReadTag(r, t);
        }
        bool AtEnd() const { return m_r.Left() == 0; }

        // A context-tagged unsigned (or enumerated) [uTag]; absent is not an error
        // when bOptional. Returns false when absent or broken.
        bool ContextUnsigned(uint32_t uTag, const char* szName, uint64_t& u, bool bOptional = false)
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

        bool ContextObjectId(uint32_t uTag, const char* szName, uint32_t& uType, uint32_t& uInst)
        {
            STag t;
            if (!PeekTag(t) || !t.bContext || t.bOpening || t.bClosing || t.uNumber != uTag) {
                Missing(szName);
                return false;
            }
            return ObjectIdContent(szName, t, uType, uInst);
        }

        bool AppObjectId(const char* szName, uint32_t& uType, uint32_t& uInst)
        {
            STag t;
            if (!PeekTag(t) || t.bContext || t.uNumber != kObjectId) {
                Missing(szName);
                return false;
            }
            return ObjectIdContent(szName, t, uType, uInst);
        }

        // An application-tagged primitive of type uType; its text in cs.
        bool AppPrimitive(
            uint32_t uType, const char* szName, std::string& cs, uint64_t* pU = nullptr)
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

        // [uTag] opening, the values, [uTag] closing: their text ("21.5", "1, 2, 3").
        bool ContextValues(uint32_t uTag, const SValueContext& ctx, std::string& csValues)
        {
            STag t;
            if (!PeekTag(t) || !t.bOpening || t.uNumber != uTag) {
                Missing("Value");
                return false;
            }
            CReader r = m_r;
            ReadTag(r, t);
            const uint32_t uStart = t.uOffset;
            SField* pValues = TREE_ADD(m_out, m_pNode, "Property Value", "", uStart, 0);
            std::vector<std::string> texts;
            uint32_t uCount = 0;
            int iDepth = 0;
            bool bConstructed = false;
            for (;;) {
                STag v;
                if (!ReadTag(r, v)) {
                    m_out.Malformed("the value ends before its closing tag");
                    return false;
                }
                if (v.bClosing) {
                    if (iDepth == 0) {
                        if (v.uNumber != uTag) {
                            m_out.Malformed("closing tag " + Num(v.uNumber) + " where " + Num(uTag)
                                + " belongs");
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
                        m_out.Malformed("a "
                            + std::string(kAppTagNames[v.uNumber < 13 ? v.uNumber : 0])
                            + " value that does not fit its type");
                    ++uCount;
                    if (texts.size() < 4)
                        texts.push_back(Shorten(cs, 48));
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

        // Whatever follows the parameters a service has.
        void ExpectEnd()
        {
            if (m_r.Left()) {
                TREE_ADD(m_out, m_pNode, "Unexpected bytes",
                    Hex(m_r.Here(), m_r.Left() < 16 ? m_r.Left() : 16), m_r.Pos(), m_r.Left());
                m_out.Malformed(Num(m_r.Left()) + (m_r.Left() == 1 ? " byte" : " bytes")
                    + " after the parameters");
            }
        }

        void Rest(const char* szName)
        {
            if (m_r.Left())
                TREE_ADD(m_out, m_pNode, szName, Num(m_r.Left()) + " bytes", m_r.Pos(), m_r.Left());
        }

        SField* Node() { return m_pNode; }
        CReader& Reader() { return m_r; }
        void Missing(const char* szName)
        {
            STag t;
            m_out.Malformed(AtEnd() ? std::string("ends before ") + szName
                    : !PeekTag(t)   ? std::string("a cut-off tag where ") + szName + " belongs"
                                    : std::string("no ") + szName + " where one belongs");
        }

    private:
        void Broken(const char* szName, const STag& t)
        {
            TREE_ADD(m_out, m_pNode, szName, "(broken)", t.uOffset, m_r.End() - t.uOffset);
            m_out.Malformed(std::string("broken ") + szName);
        }

        bool ObjectIdContent(const char* szName, STag t, uint32_t& uType, uint32_t& uInst)
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
            TREE_ADD(
                m_out, m_pNode, szName, ObjectText(uType, uInst), t.uOffset, r.Pos() - t.uOffset);
            m_r = r;
            return true;
        }

        SOut& m_out;
        CReader m_r;
        SField* m_pNode;
    };

    // "analog-input,1 present-value[3]": object, property, index. False when broken.
    bool ObjectPropertyRef(CApdu& a, SOut& out, std::string& cs, SValueContext& ctx)
    {
        uint32_t uType, uInst;
        if (!a.ContextObjectId(0, "Object Identifier", uType, uInst))
            return false;
        cs = " " + ObjectText(uType, uInst);
        ctx.uObjectType = uType;
        const uint32_t uPropAt = a.Reader().Pos();
        uint64_t uProp;
        if (!a.ContextUnsigned(1, "Property Identifier", uProp))
            return false;
        ctx.uProperty = static_cast<uint32_t>(uProp);
        cs += " " + PropertyText(ctx.uProperty);
        TREE_ADD(out, a.Node(), "Property Identifier",
            PropertyText(ctx.uProperty) + " (" + Num(uProp) + ")", uPropAt,
            a.Reader().Pos() - uPropAt);
        const uint32_t uIndexAt = a.Reader().Pos();
        uint64_t uIndex;
        if (a.ContextUnsigned(2, "Property Array Index", uIndex, true)) {
            cs += "[" + Num(uIndex) + "]";
            TREE_ADD(out, a.Node(), "Property Array Index", Num(uIndex), uIndexAt,
                a.Reader().Pos() - uIndexAt);
        }
        return true;
    }

    // Device instance limits of Who-Is and Who-Has: " 100-200", or nothing.
    bool Limits(CApdu& a, SOut& out, std::string& cs)
    {
        STag t;
        if (!a.PeekTag(t) || !t.bContext || t.uNumber != 0)
            return true;
        const uint32_t uAt = a.Reader().Pos();
        uint64_t uLow, uHigh;
        if (!a.ContextUnsigned(0, "Low Limit", uLow) || !a.ContextUnsigned(1, "High Limit", uHigh))
            return false;
        cs += " " + Num(uLow) + "-" + Num(uHigh);
        TREE_ADD(out, a.Node(), "Device Instance Range", Num(uLow) + "-" + Num(uHigh), uAt,
            a.Reader().Pos() - uAt);
        return true;
    }

    // ReadPropertyMultiple's request: " analog-input,1 present-value, status-flags; device,5 ...".
    std::string ReadAccessSpecs(CApdu& a, SOut& out)
    {
        std::string cs;
        while (!a.AtEnd()) {
            uint32_t uType, uInst;
            if (!a.ContextObjectId(0, "Object Identifier", uType, uInst))
                return cs;
            cs += (cs.empty() ? " " : "; ") + ObjectText(uType, uInst);
            STag t;
            if (!a.PeekTag(t) || !t.bOpening || t.uNumber != 1) {
                a.Missing("list of properties");
                return cs;
            }
            ReadTag(a.Reader(), t);
            bool bFirst = true;
            for (;;) {
                if (a.PeekTag(t) && t.bClosing && t.uNumber == 1) {
                    ReadTag(a.Reader(), t);
                    break;
                }
                if (a.AtEnd()) {
                    out.Malformed("the list of properties ends before its closing tag");
                    return cs;
                }
                const uint32_t uAt = a.Reader().Pos();
                uint64_t uProp, uIndex;
                if (!a.ContextUnsigned(0, "Property Identifier", uProp))
                    return cs;
                std::string csProp = PropertyText(static_cast<uint32_t>(uProp));
                if (a.ContextUnsigned(1, "Property Array Index", uIndex, true))
                    csProp += "[" + Num(uIndex) + "]";
                TREE_ADD(out, a.Node(), "Property Reference", csProp, uAt, a.Reader().Pos() - uAt);
                cs += (bFirst ? " " : ", ") + csProp;
                bFirst = false;
            }
            if (bFirst)
                out.Malformed("an empty list of properties");
        }
        if (cs.empty())
            a.Missing("Object Identifier");
        return cs;
    }

    // SubscribeCOV: " analog-input,1 lifetime 300 s", or " analog-input,1 cancel".
    std::string SubscribeCov(CApdu& a, SOut& out)
    {
        std::string cs;
        uint32_t uAt = a.Reader().Pos();
        uint64_t uProcess, uConfirmed, uLifetime;
        if (!a.ContextUnsigned(0, "Subscriber Process Identifier", uProcess))
            return cs;
        TREE_ADD(out, a.Node(), "Subscriber Process Identifier", Num(uProcess), uAt,
            a.Reader().Pos() - uAt);
        uint32_t uType, uInst;
        if (!a.ContextObjectId(1, "Monitored Object Identifier", uType, uInst))
            return cs;
        cs = " " + ObjectText(uType, uInst);
        uAt = a.Reader().Pos();
        const bool bConfirmed
            = a.ContextUnsigned(2, "Issue Confirmed Notifications", uConfirmed, true);
        if (bConfirmed)
            TREE_ADD(out, a.Node(), "Issue Confirmed Notifications", uConfirmed ? "true" : "false",
                uAt, a.Reader().Pos() - uAt);
        uAt = a.Reader().Pos();
        const bool bLifetime = a.ContextUnsigned(3, "Lifetime", uLifetime, true);
        if (bLifetime) {
            const std::string csLife = uLifetime ? Num(uLifetime) + " s" : "indefinite";
            TREE_ADD(out, a.Node(), "Lifetime", csLife, uAt, a.Reader().Pos() - uAt);
            cs += " lifetime " + csLife;
        }
        if (!bConfirmed && !bLifetime)
            cs += " cancel";
        a.ExpectEnd();
        return cs;
    }

    // Parameters of the services decoded in depth; the text goes after the service name.
    std::string ServiceParameters(
        SOut& out, CApdu& a, bool bConfirmed, uint32_t uService, bool bAck)
    {
        std::string cs;
        SValueContext ctx;
        if (!bConfirmed) {
            switch (uService) {
            case 8: // who-Is
                if (Limits(a, out, cs))
                    a.ExpectEnd();
                return cs;
            case 0: { // i-Am
                uint32_t uType, uInst;
                if (!a.AppObjectId("I-Am Device Identifier", uType, uInst))
                    return cs;
                cs = " " + ObjectText(uType, uInst);
                std::string csMax, csSeg, csVendor;
                uint64_t uSeg = 0;
                if (a.AppPrimitive(kUnsigned, "Max APDU Length Accepted", csMax)
                    && a.AppPrimitive(kEnumerated, "Segmentation Supported", csSeg, &uSeg)
                    && a.AppPrimitive(kUnsigned, "Vendor ID", csVendor)) {
                    if (out.Tree() && SegmentationName(static_cast<uint32_t>(uSeg)))
                        a.Node()->children[a.Node()->children.size() - 2].csValue
                            = std::string(SegmentationName(static_cast<uint32_t>(uSeg))) + " ("
                            + csSeg + ")";
                    a.ExpectEnd();
                }
                return cs;
            }
            case 7: { // who-Has
                if (!Limits(a, out, cs))
                    return cs;
                STag t;
                if (a.PeekTag(t) && t.bContext && t.uNumber == 2) {
                    uint32_t uType, uInst;
                    if (a.ContextObjectId(2, "Object Identifier", uType, uInst))
                        cs += " " + ObjectText(uType, uInst);
                } else if (a.PeekTag(t) && t.bContext && t.uNumber == 3) {
                    CReader& r = a.Reader();
                    CReader s = r;
                    ReadTag(s, t);
                    std::string csName;
                    bool bBad = false;
                    if (s.Has(t.uLength) && !t.bOpening && !t.bClosing) {
                        csName = CharString(s.Here(), t.uLength, bBad);
                        s.Skip(t.uLength);
                    } else {
                        bBad = true;
                    }
                    if (bBad) {
                        out.Malformed("broken Object Name");
                        return cs;
                    }
                    TREE_ADD(out, a.Node(), "Object Name", csName, t.uOffset, s.Pos() - t.uOffset);
                    r = s;
                    cs += " " + Shorten(csName, 48);
                } else {
                    a.Missing("Object");
                    return cs;
                }
                a.ExpectEnd();
                return cs;
            }
            case 1: { // i-Have
                uint32_t uDevType, uDevInst, uType, uInst;
                std::string csName;
                if (a.AppObjectId("Device Identifier", uDevType, uDevInst)) {
                    cs = " " + ObjectText(uDevType, uDevInst);
                    if (a.AppObjectId("Object Identifier", uType, uInst)) {
                        cs += " " + ObjectText(uType, uInst);
                        if (a.AppPrimitive(kCharacterString, "Object Name", csName)) {
                            cs += " " + Shorten(csName, 48);
                            a.ExpectEnd();
                        }
                    }
                }
                return cs;
            }
            default:
                a.Rest("Service Parameters");
                return cs;
            }
        }
        switch (uService) {
        case 12: // readProperty
            if (!ObjectPropertyRef(a, out, cs, ctx))
                return cs;
            if (bAck) {
                std::string csValue;
                if (!a.ContextValues(3, ctx, csValue))
                    return cs;
                cs += " = " + csValue;
            }
            a.ExpectEnd();
            return cs;
        case 14: // readPropertyMultiple (the request; the ACK's results are not decoded)
            if (bAck)
                break;
            return Shorten(ReadAccessSpecs(a, out), 120);
        case 5: // subscribeCOV
            if (bAck)
                break;
            return SubscribeCov(a, out);
        case 15: { // writeProperty
            if (bAck)
                break;
            if (!ObjectPropertyRef(a, out, cs, ctx))
                return cs;
            std::string csValue;
            if (!a.ContextValues(3, ctx, csValue))
                return cs;
            cs += " = " + csValue;
            const uint32_t uAt = a.Reader().Pos();
            uint64_t uPriority;
            if (a.ContextUnsigned(4, "Priority", uPriority, true)) {
                cs += " priority " + Num(uPriority);
                TREE_ADD(out, a.Node(), "Priority", Num(uPriority), uAt, a.Reader().Pos() - uAt);
                if (uPriority < 1 || uPriority > 16)
                    out.Malformed("priority " + Num(uPriority) + " outside 1-16");
            }
            a.ExpectEnd();
            return cs;
        }
        default:
            break;
        }
        a.Rest("Service Parameters");
        return cs;
    }

    std::string ServiceName(bool bConfirmed, uint32_t u)
    {
        const char* sz = bConfirmed ? ConfirmedServiceName(u) : UnconfirmedServiceName(u);
        return sz ? sz : (bConfirmed ? "confirmed service " : "unconfirmed service ") + Num(u);
    }

    const char* const kApduTypes[] = { "Confirmed-Request", "Unconfirmed-Request", "SimpleACK",
        "ComplexACK", "SegmentACK", "Error", "Reject", "Abort" };

    const char* const kMaxSegments[]
        = { "unspecified", "2", "4", "8", "16", "32", "64", "more than 64" };
    const uint32_t kMaxApdu[] = { 50, 128, 206, 480, 1024, 1476 };

    // The APDU: its Info text.
    std::string DecodeApdu(SOut& out, CReader r)
    {
        SField* pNode = TREE_ADD(out, nullptr, "APDU", "", r.Pos(), r.Left());
        CApdu a(out, r, pNode);
        CReader& rd = a.Reader();
        uint8_t b0;
        if (!rd.U8(b0)) {
            out.Malformed("no APDU");
            return "APDU missing";
        }
        const uint32_t uType = b0 >> 4;
        if (uType > 7) {
            TREE_ADD(out, pNode, "PDU Type", Num(uType) + " (unknown)", rd.Pos() - 1, 1);
            out.Malformed("unknown APDU type " + Num(uType));
            return "APDU type " + Num(uType);
        }
        TREE_ADD(out, pNode, "PDU Type", std::string(kApduTypes[uType]) + " (" + Num(uType) + ")",
            rd.Pos() - 1, 1);
        if (pNode)
            pNode->csValue = kApduTypes[uType];

        auto Short = [&](const char* szWhat) {
            out.Malformed(std::string("the APDU ends before its ") + szWhat);
        };
        const bool bSeg = (b0 & 0x08) != 0;
        const bool bMore = (b0 & 0x04) != 0;
        std::string csInfo;
        switch (uType) {
        case 0: { // Confirmed-Request
            TREE_ADD(out, pNode, "Flags",
                std::string(bSeg ? "segmented" : "unsegmented") + (bMore ? ", more follows" : "")
                    + ((b0 & 0x02) ? ", segmented response accepted" : ""),
                rd.Pos() - 1, 1);
            uint8_t uMax, uInvoke, uSeq = 0, uWin = 0, uService;
            if (!rd.U8(uMax)) {
                Short("max segments/max APDU");
                return "Confirmed-Request";
            }
            const uint32_t uApduCode = uMax & 0x0f;
            TREE_ADD(out, pNode, "Max Segments Accepted", kMaxSegments[(uMax >> 4) & 7],
                rd.Pos() - 1, 1);
            TREE_ADD(out, pNode, "Max APDU Length Accepted",
                uApduCode < 6 ? Num(kMaxApdu[uApduCode]) + " bytes" : "reserved " + Num(uApduCode),
                rd.Pos() - 1, 1);
            if (!rd.U8(uInvoke)) {
                Short("invoke ID");
                return "Confirmed-Request";
            }
            TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
            if (bSeg) {
                if (!rd.U8(uSeq) || !rd.U8(uWin)) {
                    Short("sequence number");
                    return "Confirmed-Request" + InvokeId(uInvoke);
                }
                TREE_ADD(out, pNode, "Sequence Number", Num(uSeq), rd.Pos() - 2, 1);
                TREE_ADD(out, pNode, "Proposed Window Size", Num(uWin), rd.Pos() - 1, 1);
            }
            if (!rd.U8(uService)) {
                Short("service choice");
                return "Confirmed-Request" + InvokeId(uInvoke);
            }
            TREE_ADD(out, pNode, "Service Choice",
                ServiceName(true, uService) + " (" + Num(uService) + ")", rd.Pos() - 1, 1);
            csInfo = ServiceName(true, uService) + InvokeId(uInvoke);
            if (bSeg && (uSeq != 0 || bMore)) {
                // Only the first segment starts with the parameters.
                a.Rest("Segment");
                csInfo += " segment " + Num(uSeq) + (bMore ? ", more follows" : "");
                return csInfo;
            }
            return csInfo + ServiceParameters(out, a, true, uService, false);
        }
        case 1: { // Unconfirmed-Request
            uint8_t uService;
            if (!rd.U8(uService)) {
                Short("service choice");
                return "Unconfirmed-Request";
            }
            TREE_ADD(out, pNode, "Service Choice",
                ServiceName(false, uService) + " (" + Num(uService) + ")", rd.Pos() - 1, 1);
            return ServiceName(false, uService) + ServiceParameters(out, a, false, uService, false);
        }
        case 2: { // SimpleACK
            uint8_t uInvoke, uService;
            if (!rd.U8(uInvoke)) {
                Short("invoke ID");
                return "SimpleACK";
            }
            TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
            if (!rd.U8(uService)) {
                Short("service choice");
                return "SimpleACK" + InvokeId(uInvoke);
            }
            TREE_ADD(out, pNode, "Service ACK Choice",
                ServiceName(true, uService) + " (" + Num(uService) + ")", rd.Pos() - 1, 1);
            a.ExpectEnd();
            return "SimpleACK" + InvokeId(uInvoke) + " " + ServiceName(true, uService);
        }
        case 3: { // ComplexACK
            TREE_ADD(out, pNode, "Flags",
                std::string(bSeg ? "segmented" : "unsegmented") + (bMore ? ", more follows" : ""),
                rd.Pos() - 1, 1);
            uint8_t uInvoke, uSeq = 0, uWin = 0, uService;
            if (!rd.U8(uInvoke)) {
                Short("invoke ID");
                return "ComplexACK";
            }
            TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
            if (bSeg) {
                if (!rd.U8(uSeq) || !rd.U8(uWin)) {
                    Short("sequence number");
                    return "ComplexACK" + InvokeId(uInvoke);
                }
                TREE_ADD(out, pNode, "Sequence Number", Num(uSeq), rd.Pos() - 2, 1);
                TREE_ADD(out, pNode, "Proposed Window Size", Num(uWin), rd.Pos() - 1, 1);
            }
            if (!rd.U8(uService)) {
                Short("service choice");
                return "ComplexACK" + InvokeId(uInvoke);
            }
            TREE_ADD(out, pNode, "Service ACK Choice",
                ServiceName(true, uService) + " (" + Num(uService) + ")", rd.Pos() - 1, 1);
            csInfo = ServiceName(true, uService) + "-ACK" + InvokeId(uInvoke);
            if (bSeg && (uSeq != 0 || bMore)) {
                a.Rest("Segment");
                return csInfo + " segment " + Num(uSeq) + (bMore ? ", more follows" : "");
            }
            return csInfo + ServiceParameters(out, a, true, uService, true);
        }
        case 4: { // SegmentACK
            const bool bNak = (b0 & 0x02) != 0;
            TREE_ADD(out, pNode, "Flags",
                std::string(bNak ? "negative" : "positive") + ((b0 & 0x01) ? ", from server" : ""),
                rd.Pos() - 1, 1);
            uint8_t uInvoke, uSeq, uWin;
            const char* szName = bNak ? "SegmentNAK" : "SegmentACK";
            if (!rd.U8(uInvoke)) {
                Short("invoke ID");
                return szName;
            }
            TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
            if (!rd.U8(uSeq) || !rd.U8(uWin)) {
                Short("sequence number");
                return szName + InvokeId(uInvoke);
            }
            TREE_ADD(out, pNode, "Sequence Number", Num(uSeq), rd.Pos() - 2, 1);
            TREE_ADD(out, pNode, "Actual Window Size", Num(uWin), rd.Pos() - 1, 1);
            a.ExpectEnd();
            return szName + InvokeId(uInvoke) + " seq " + Num(uSeq) + " window " + Num(uWin);
        }
        case 5: { // Error
            uint8_t uInvoke, uService;
            if (!rd.U8(uInvoke)) {
                Short("invoke ID");
                return "Error";
            }
            TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
            if (!rd.U8(uService)) {
                Short("service choice");
                return "Error" + InvokeId(uInvoke);
            }
            TREE_ADD(out, pNode, "Error Choice",
                ServiceName(true, uService) + " (" + Num(uService) + ")", rd.Pos() - 1, 1);
            csInfo = "Error" + InvokeId(uInvoke) + " " + ServiceName(true, uService);
            // Some services wrap the class and code in [0] (and add parameters after).
            STag t;
            bool bWrapped = false;
            if (a.PeekTag(t) && t.bOpening && t.uNumber == 0) {
                ReadTag(rd, t);
                bWrapped = true;
            }
            std::string csClass, csCode;
            uint64_t uClass = 0, uCode = 0;
            if (!a.AppPrimitive(kEnumerated, "Error Class", csClass, &uClass)
                || !a.AppPrimitive(kEnumerated, "Error Code", csCode, &uCode))
                return csInfo;
            const std::string csClassName = NameOr(ErrorClassName(static_cast<uint32_t>(uClass)),
                "class", static_cast<uint32_t>(uClass));
            const std::string csCodeName = NameOr(
                ErrorCodeName(static_cast<uint32_t>(uCode)), "code", static_cast<uint32_t>(uCode));
            if (pNode) {
                auto& kids = a.Node()->children;
                kids[kids.size() - 2].csValue = csClassName + " (" + csClass + ")";
                kids.back().csValue = csCodeName + " (" + csCode + ")";
            }
            csInfo += " " + csClassName + ": " + csCodeName;
            if (bWrapped) {
                if (a.PeekTag(t) && t.bClosing && t.uNumber == 0) {
                    ReadTag(rd, t);
                    a.Rest("Error Parameters");
                } else {
                    out.Malformed("no closing tag after the error");
                }
            } else {
                a.ExpectEnd();
            }
            return csInfo;
        }
        case 6: // Reject
        case 7: { // Abort
            const bool bAbort = uType == 7;
            if (bAbort)
                TREE_ADD(out, pNode, "Flags", (b0 & 0x01) ? "from server" : "from client",
                    rd.Pos() - 1, 1);
            const char* szName = bAbort ? "Abort" : "Reject";
            uint8_t uInvoke, uReason;
            if (!rd.U8(uInvoke)) {
                Short("invoke ID");
                return szName;
            }
            TREE_ADD(out, pNode, "Invoke ID", Num(uInvoke), rd.Pos() - 1, 1);
            if (!rd.U8(uReason)) {
                Short("reason");
                return szName + InvokeId(uInvoke);
            }
            const char* szReason = bAbort ? AbortReasonName(uReason) : RejectReasonName(uReason);
            const std::string csReason = szReason
                ? szReason
                : (uReason >= 64 ? "proprietary reason " : "reason ") + Num(uReason);
            TREE_ADD(out, pNode, bAbort ? "Abort Reason" : "Reject Reason",
                csReason + " (" + Num(uReason) + ")", rd.Pos() - 1, 1);
            a.ExpectEnd();
            return szName + InvokeId(uInvoke) + " " + csReason;
        }
        }
        return csInfo;
    }

    // ---------------------------------------------------------------------------
    // NPDU.

    const char* const kPriorities[] = { "normal", "urgent", "critical-equipment", "life-safety" };

    const char* const kRejectNetworkReasons[]
        = { "other", "not a router to the network", "router busy", "unknown network message type",
              "message too long", "security error", "addressing error" };

    std::string NetworkAddress(const uint8_t* p, uint32_t n)
    {
        if (n == 0)
            return "broadcast";
        if (n == 6) // a B/IP address: IPv4 and port
            return Ipv4(p) + ":" + Num(static_cast<uint32_t>(p[4] << 8 | p[5]));
        if (n == 1)
            return Num(p[0]);
        return Hex(p, n, ":");
    }

    // The network-layer message: its Info text.
    std::string DecodeNetworkMessage(SOut& out, CReader& r, SField* pNode)
    {
        uint8_t uType;
        if (!r.U8(uType)) {
            out.Malformed("the NPDU ends before its message type");
            return "network message";
        }
        const char* szName = NetworkMessageName(uType);
        const std::string csName = szName ? szName
            : uType >= 0x80               ? "proprietary network message " + Hex8(uType)
                                          : "network message " + Hex8(uType);
        TREE_ADD(out, pNode, "Message Type", csName + " (" + Hex8(uType) + ")", r.Pos() - 1, 1);
        if (uType >= 0x80) {
            uint16_t uVendor;
            if (!r.U16(uVendor)) {
                out.Malformed("the NPDU ends before its vendor ID");
                return csName;
            }
            TREE_ADD(out, pNode, "Vendor ID", Num(uVendor), r.Pos() - 2, 2);
            if (r.Left())
                TREE_ADD(out, pNode, "Data", Num(r.Left()) + " bytes", r.Pos(), r.Left());
            return csName;
        }
        std::string cs = csName;
        auto Networks = [&](bool bOneOptional) {
            std::string csList;
            while (r.Left() >= 2) {
                uint16_t uNet;
                r.U16(uNet);
                TREE_ADD(out, pNode, "Network Number", Num(uNet), r.Pos() - 2, 2);
                csList += (csList.empty() ? " " : ", ") + Num(uNet);
                if (bOneOptional)
                    break;
            }
            if (r.Left()) {
                out.Malformed("an odd byte after the network numbers");
                r.Skip(r.Left());
            }
            return csList;
        };
        switch (uType) {
        case 0x00: // Who-Is-Router: an optional network
            return cs + Networks(true);
        case 0x01: // I-Am-Router, Router-Busy, Router-Available: a list
        case 0x04:
        case 0x05: {
            const std::string csList = Networks(false);
            if (csList.empty() && uType == 0x01)
                out.Malformed("no network numbers");
            return cs + csList;
        }
        case 0x02: { // I-Could-Be-Router: network, performance index
            uint16_t uNet;
            uint8_t uPerf;
            if (!r.U16(uNet) || !r.U8(uPerf)) {
                out.Malformed("the message ends early");
                return cs;
            }
            TREE_ADD(out, pNode, "Network Number", Num(uNet), r.Pos() - 3, 2);
            TREE_ADD(out, pNode, "Performance Index", Num(uPerf), r.Pos() - 1, 1);
            return cs + " " + Num(uNet);
        }
        case 0x03: { // Reject-Message: reason, network
            uint8_t uReason;
            uint16_t uNet;
            if (!r.U8(uReason) || !r.U16(uNet)) {
                out.Malformed("the message ends early");
                return cs;
            }
            const std::string csReason
                = uReason < 7 ? kRejectNetworkReasons[uReason] : "reason " + Num(uReason);
            TREE_ADD(
                out, pNode, "Reject Reason", csReason + " (" + Num(uReason) + ")", r.Pos() - 3, 1);
            TREE_ADD(out, pNode, "Network Number", Num(uNet), r.Pos() - 2, 2);
            return cs + " " + Num(uNet) + ": " + csReason;
        }
        case 0x06: // Initialize-Routing-Table (-Ack): ports
        case 0x07: {
            uint8_t uPorts;
            if (!r.U8(uPorts)) {
                if (uType == 0x07)
                    return cs; // an empty Ack is allowed
                out.Malformed("the message ends early");
                return cs;
            }
            TREE_ADD(out, pNode, "Number of Ports", Num(uPorts), r.Pos() - 1, 1);
            for (uint32_t i = 0; i < uPorts; ++i) {
                uint16_t uNet;
                uint8_t uPort, uInfoLen;
                const uint32_t uAt = r.Pos();
                if (!r.U16(uNet) || !r.U8(uPort) || !r.U8(uInfoLen) || !r.Skip(uInfoLen)) {
                    out.Malformed("a routing table entry is cut off");
                    return cs;
                }
                TREE_ADD(out, pNode, "Port", "network " + Num(uNet) + ", port " + Num(uPort), uAt,
                    r.Pos() - uAt);
            }
            return cs + ", " + Num(uPorts) + (uPorts == 1 ? " port" : " ports");
        }
        case 0x08: // Establish-Connection: network, time
        case 0x09: { // Disconnect-Connection: network
            uint16_t uNet;
            if (!r.U16(uNet)) {
                out.Malformed("the message ends early");
                return cs;
            }
            TREE_ADD(out, pNode, "Network Number", Num(uNet), r.Pos() - 2, 2);
            if (uType == 0x08) {
                uint8_t uTime;
                if (!r.U8(uTime)) {
                    out.Malformed("the message ends early");
                    return cs;
                }
                TREE_ADD(out, pNode, "Termination Time", Num(uTime) + " s", r.Pos() - 1, 1);
            }
            return cs + " " + Num(uNet);
        }
        case 0x13: { // Network-Number-Is: network, flag
            uint16_t uNet;
            uint8_t uFlag;
            if (!r.U16(uNet) || !r.U8(uFlag)) {
                out.Malformed("the message ends early");
                return cs;
            }
            TREE_ADD(out, pNode, "Network Number", Num(uNet), r.Pos() - 3, 2);
            TREE_ADD(out, pNode, "Flag", uFlag ? "configured" : "learned", r.Pos() - 1, 1);
            return cs + " " + Num(uNet) + (uFlag ? " (configured)" : " (learned)");
        }
        default:
            if (r.Left())
                TREE_ADD(out, pNode, "Data", Num(r.Left()) + " bytes", r.Pos(), r.Left());
            return cs;
        }
    }

    // The NPDU and what it carries: the Info text.
    std::string DecodeNpdu(SOut& out, CReader r)
    {
        SField* pNode = TREE_ADD(out, nullptr, "NPDU", "", r.Pos(), r.Left());
        uint8_t uVersion, uControl;
        if (!r.U8(uVersion)) {
            out.Malformed("no NPDU");
            return "NPDU missing";
        }
        TREE_ADD(out, pNode, "Version", Num(uVersion), r.Pos() - 1, 1);
        if (uVersion != 1) {
            out.Malformed("NPDU version " + Num(uVersion));
            return "NPDU version " + Num(uVersion);
        }
        if (!r.U8(uControl)) {
            out.Malformed("the NPDU ends before its control octet");
            return "NPDU";
        }
        const bool bNetMsg = (uControl & 0x80) != 0;
        const bool bDnet = (uControl & 0x20) != 0;
        const bool bSnet = (uControl & 0x08) != 0;
        const bool bReply = (uControl & 0x04) != 0;
        if (SField* pControl = TREE_ADD(out, pNode, "Control", Hex8(uControl), r.Pos() - 1, 1)) {
            const uint32_t uAt = r.Pos() - 1;
            TREE_ADD(out, pControl, bNetMsg ? "Network-layer message" : "APDU", "", uAt, 1);
            TREE_ADD(out, pControl, "Destination", bDnet ? "present" : "absent", uAt, 1);
            TREE_ADD(out, pControl, "Source", bSnet ? "present" : "absent", uAt, 1);
            TREE_ADD(out, pControl, "Expecting Reply", bReply ? "yes" : "no", uAt, 1);
            TREE_ADD(out, pControl, "Priority", kPriorities[uControl & 3], uAt, 1);
            if (uControl & 0x50)
                TREE_ADD(out, pControl, "Reserved bits", "set (should be 0)", uAt, 1);
        }
        auto Address = [&](const char* szNet, const char* szLen, const char* szAdr,
                           std::string& csAddr) {
            uint16_t uNet;
            uint8_t uLen;
            if (!r.U16(uNet)) {
                out.Malformed(std::string("the NPDU ends before ") + szNet);
                return false;
            }
            TREE_ADD(out, pNode, szNet, uNet == 0xffff ? "65535 (global broadcast)" : Num(uNet),
                r.Pos() - 2, 2);
            if (!r.U8(uLen)) {
                out.Malformed(std::string("the NPDU ends before ") + szLen);
                return false;
            }
            TREE_ADD(out, pNode, szLen, Num(uLen), r.Pos() - 1, 1);
            if (!r.Has(uLen)) {
                out.Malformed(std::string("the NPDU ends inside ") + szAdr);
                return false;
            }
            csAddr = uNet == 0xffff ? "global broadcast"
                : uLen == 0         ? "broadcast on network " + Num(uNet)
                            : "network " + Num(uNet) + " address " + NetworkAddress(r.Here(), uLen);
            if (uLen)
                TREE_ADD(out, pNode, szAdr, NetworkAddress(r.Here(), uLen), r.Pos(), uLen);
            r.Skip(uLen);
            return true;
        };
        std::string csDest, csSrc;
        if (bDnet && !Address("DNET", "DLEN", "DADR", csDest))
            return "NPDU";
        if (bSnet) {
            const uint32_t uAt = r.Pos();
            if (!Address("SNET", "SLEN", "SADR", csSrc))
                return "NPDU";
            if (r.Pos() - uAt == 3)
                out.Malformed("SLEN 0: a source address cannot be a broadcast");
        }
        if (bDnet) {
            uint8_t uHop;
            if (!r.U8(uHop)) {
                out.Malformed("the NPDU ends before its hop count");
                return "NPDU";
            }
            TREE_ADD(out, pNode, "Hop Count", Num(uHop), r.Pos() - 1, 1);
        }
        if (pNode) {
            pNode = &out.pTree->back();
            pNode->csValue = std::string(bNetMsg ? "network message" : "APDU")
                + (bReply ? ", expecting reply" : "") + (csDest.empty() ? "" : ", to " + csDest)
                + (csSrc.empty() ? "" : ", from " + csSrc);
            pNode->uLength = bNetMsg ? pNode->uLength : r.Pos() - pNode->uOffset;
        }
        if (bNetMsg)
            return DecodeNetworkMessage(out, r, pNode);
        return DecodeApdu(out, r);
    }

    // ---------------------------------------------------------------------------
    // BVLC (BACnet/IP).

    std::string DecodeBvlc(SOut& out, CReader r)
    {
        SField* pNode = TREE_ADD(out, nullptr, "BVLC", "", r.Pos(), r.Left());
        uint8_t uType = 0, uFunction = 0;
        uint16_t uLength = 0;
        r.U8(uType); // the caller has seen it
        TREE_ADD(out, pNode, "Type", Hex8(uType) + " (BACnet/IP)", r.Pos() - 1, 1);
        if (!r.U8(uFunction) || !r.U16(uLength)) {
            out.Malformed("the BVLC header is cut off");
            out.row.csProtocol = "BVLC";
            return "BVLC";
        }
        const char* szFunction = BvlcFunctionName(uFunction);
        const std::string csFunction = szFunction ? szFunction : "BVLC function " + Hex8(uFunction);
        TREE_ADD(out, pNode, "Function", csFunction + " (" + Hex8(uFunction) + ")", r.Pos() - 3, 1);
        TREE_ADD(out, pNode, "BVLC Length", Num(uLength), r.Pos() - 2, 2);
        if (pNode)
            out.pTree->back().csValue = csFunction;
        const uint32_t uStart = r.Pos() - 4;
        if (uLength < 4) {
            out.Malformed("BVLC length " + Num(uLength) + " is below its header's");
            out.row.csProtocol = "BVLC";
            return csFunction;
        }
        if (uLength > r.End() - uStart) {
            // Only a frame cut by the capture may hold fewer bytes than it says.
            out.Malformed("BVLC length " + Num(uLength) + " is more than the "
                + Num(r.End() - uStart) + " bytes present");
        } else if (uLength < r.End() - uStart) {
            // The datagram goes on past the BVLC: mark those bytes, never decode them.
            const uint32_t uAfter = uStart + uLength, uExtra = r.End() - uAfter;
            TREE_ADD(out, pNode, "Bytes after the BVLC length",
                Num(uExtra) + (uExtra == 1 ? " byte" : " bytes"), uAfter, uExtra);
            out.Malformed(
                Num(uExtra) + (uExtra == 1 ? " byte" : " bytes") + " after the BVLC length");
        }
        r = CReader(r).Sub(uLength - 4);
        out.row.csProtocol = "BVLC";
        auto Entries = [&](uint32_t uSize, const char* szName, bool bTtl) {
            uint32_t uCount = 0;
            while (r.Left() >= uSize) {
                const uint8_t* p = r.Here();
                std::string cs = Ipv4(p) + ":" + Num(static_cast<uint32_t>(p[4] << 8 | p[5]));
                if (bTtl)
                    cs += ", ttl " + Num(static_cast<uint32_t>(p[6] << 8 | p[7])) + " s, "
                        + Num(static_cast<uint32_t>(p[8] << 8 | p[9])) + " s left";
                else
                    cs += " mask " + Ipv4(p + 6);
                TREE_ADD(out, pNode, szName, cs, r.Pos(), uSize);
                r.Skip(uSize);
                ++uCount;
            }
            if (r.Left())
                out.Malformed("a table entry is cut off");
            return ", " + Num(uCount) + (uCount == 1 ? " entry" : " entries");
        };
        switch (uFunction) {
        case 0x00: { // BVLC-Result
            uint16_t uCode;
            if (!r.U16(uCode)) {
                out.Malformed("BVLC-Result without a result code");
                return csFunction;
            }
            const char* sz = BvlcResultName(uCode);
            const std::string cs = sz ? sz : "result " + Hex16(uCode);
            TREE_ADD(out, pNode, "Result Code", cs + " (" + Hex16(uCode) + ")", r.Pos() - 2, 2);
            return csFunction + ": " + cs;
        }
        case 0x01:
        case 0x03:
            return csFunction + Entries(10, "BDT Entry", false);
        case 0x07:
            return csFunction + Entries(10, "FDT Entry", true);
        case 0x02:
        case 0x06:
            return csFunction;
        case 0x05: { // Register-Foreign-Device
            uint16_t uTtl;
            if (!r.U16(uTtl)) {
                out.Malformed("Register-Foreign-Device without a time-to-live");
                return csFunction;
            }
            TREE_ADD(out, pNode, "Time-to-Live", Num(uTtl) + " s", r.Pos() - 2, 2);
            return csFunction + " ttl " + Num(uTtl) + " s";
        }
        case 0x08: { // Delete-Foreign-Device-Table-Entry
            if (!r.Has(6)) {
                out.Malformed("the entry's address is cut off");
                return csFunction;
            }
            const std::string cs = NetworkAddress(r.Here(), 6);
            TREE_ADD(out, pNode, "FDT Entry", cs, r.Pos(), 6);
            return csFunction + " " + cs;
        }
        case 0x04: // Forwarded-NPDU: the originating B/IP address, then the NPDU
        case 0x09:
        case 0x0a:
        case 0x0b: {
            std::string csFrom;
            if (uFunction == 0x04) {
                if (!r.Has(6)) {
                    out.Malformed("the originating address is cut off");
                    return csFunction;
                }
                csFrom = NetworkAddress(r.Here(), 6);
                TREE_ADD(out, pNode, "Original Source", csFrom, r.Pos(), 6);
                r.Skip(6);
            }
            out.row.csProtocol = "BACnet/IP";
            const std::string cs = DecodeNpdu(out, r);
            return csFrom.empty() ? cs : cs + " (from " + csFrom + ")";
        }
        default:
            if (r.Left())
                TREE_ADD(out, pNode, "Data", Num(r.Left()) + " bytes", r.Pos(), r.Left());
            return csFunction;
        }
    }

    // ---------------------------------------------------------------------------
    // Ethernet, LLC, IP.

    struct SEtherTypeName {
        uint16_t uType;
        const char* szName;
    };

    const SEtherTypeName kEtherTypes[] = { { 0x0800, "IPv4" }, { 0x0806, "ARP" },
        { 0x0842, "Wake-on-LAN" }, { 0x22f0, "AVTP" }, { 0x6003, "DECnet" }, { 0x8035, "RARP" },
        { 0x809b, "AppleTalk" }, { 0x80f3, "AARP" }, { 0x8100, "802.1Q VLAN" }, { 0x8137, "IPX" },
        { 0x8204, "QNX Qnet" }, { 0x86dd, "IPv6" }, { 0x8808, "Ethernet flow control" },
        { 0x8809, "Slow Protocols" }, { 0x8847, "MPLS" }, { 0x8848, "MPLS multicast" },
        { 0x8863, "PPPoE Discovery" }, { 0x8864, "PPPoE Session" }, { 0x887b, "HomePlug" },
        { 0x888e, "EAPOL" }, { 0x8892, "PROFINET" }, { 0x889a, "HyperSCSI" },
        { 0x88a2, "ATA over Ethernet" }, { 0x88a4, "EtherCAT" }, { 0x88a8, "802.1ad QinQ" },
        { 0x88ab, "Ethernet Powerlink" }, { 0x88b5, "Local Experimental" },
        { 0x88b6, "Local Experimental" }, { 0x88b8, "GOOSE" }, { 0x88ba, "Sampled Values" },
        { 0x88cc, "LLDP" }, { 0x88cd, "SERCOS III" }, { 0x88e1, "HomePlug AV" }, { 0x88e3, "MRP" },
        { 0x88e5, "MACsec" }, { 0x88e7, "PBB" }, { 0x88f7, "PTP" }, { 0x88fb, "PRP" },
        { 0x8902, "CFM" }, { 0x8906, "FCoE" }, { 0x8914, "FCoE Init" }, { 0x892f, "HSR" },
        { 0x9000, "Loopback" } };

    const char* EtherTypeName(uint16_t u)
    {
        for (const auto& e : kEtherTypes)
            if (e.uType == u)
                return e.szName;
        return nullptr;
    }

    const char* SapName(uint8_t u)
    {
        switch (u & 0xfe) {
        case 0x00:
            return "Null";
        case 0x02:
            return "LLC Sublayer Management";
        case 0x06:
            return "IP";
        case 0x0e:
            return "PROWAY";
        case 0x42:
            return "Spanning Tree";
        case 0x4e:
            return "MMS";
        case 0x7e:
            return "X.25 PLP";
        case 0x82:
            return "BACnet";
        case 0x8e:
            return "PROWAY Active Station List";
        case 0xaa:
            return "SNAP";
        case 0xe0:
            return "NetWare";
        case 0xf0:
            return "NetBIOS";
        case 0xf4:
            return "LAN Management";
        case 0xfe:
            return "ISO Network Layer";
        case 0xfc:
            return "Remote Program Load";
        default:
            return nullptr;
        }
    }

    const char* IpProtocolName(uint8_t u)
    {
        switch (u) {
        case 1:
            return "ICMP";
        case 2:
            return "IGMP";
        case 6:
            return "TCP";
        case 17:
            return "UDP";
        case 41:
            return "IPv6";
        case 47:
            return "GRE";
        case 50:
            return "ESP";
        case 51:
            return "AH";
        case 58:
            return "ICMPv6";
        case 89:
            return "OSPF";
        case 103:
            return "PIM";
        case 112:
            return "VRRP";
        case 132:
            return "SCTP";
        default:
            return nullptr;
        }
    }

    bool IsBacnetPort(uint16_t u)
    {
        return u >= 0xbac0 && u <= 0xbacf;
    }

    struct SIpEnds {
        std::string csSrcIp, csDstIp;
    };

    // TCP, UDP or another protocol on top of IP: protocol and Info of the row.
    void DecodeTransport(SOut& out, CReader r, uint8_t uProto, const SIpEnds& ends,
        const std::string& csSrcMac, const std::string& csDstMac, const char* szIp)
    {
        auto Ends = [&](const std::string& csSrcPort, const std::string& csDstPort) {
            out.row.csSource = ends.csSrcIp + csSrcPort + " (" + csSrcMac + ")";
            out.row.csDestination = ends.csDstIp + csDstPort + " (" + csDstMac + ")";
        };
        if (uProto == 17) {
            SField* pNode = TREE_ADD(out, nullptr, "UDP", "", r.Pos(), r.Left());
            uint16_t uSrc, uDst, uLen, uSum;
            out.row.csProtocol = "UDP";
            if (!r.U16(uSrc) || !r.U16(uDst) || !r.U16(uLen) || !r.U16(uSum)) {
                out.Malformed("the UDP header is cut off");
                out.row.csInfo = "UDP header cut off";
                return;
            }
            Ends(":" + Num(uSrc), ":" + Num(uDst));
            TREE_ADD(out, pNode, "Source Port", Num(uSrc), r.Pos() - 8, 2);
            TREE_ADD(out, pNode, "Destination Port", Num(uDst), r.Pos() - 6, 2);
            TREE_ADD(out, pNode, "Length", Num(uLen), r.Pos() - 4, 2);
            TREE_ADD(out, pNode, "Checksum", Hex16(uSum), r.Pos() - 2, 2);
            if (pNode)
                out.pTree->back().csValue = Num(uSrc) + " -> " + Num(uDst);
            uint32_t uPayload = r.Left();
            if (uLen < 8) {
                out.Malformed("UDP length " + Num(uLen) + " is below its header's");
            } else if (uLen - 8u > r.Left()) {
                out.Malformed("UDP length " + Num(uLen) + " is more than the bytes present");
            } else {
                uPayload = uLen - 8u;
            }
            CReader p = r.Sub(uPayload);
            if ((IsBacnetPort(uSrc) || IsBacnetPort(uDst)) && p.Left() >= 1 && p.Peek() == 0x81) {
                out.row.csInfo = DecodeBvlc(out, p);
                return;
            }
            out.row.csInfo = Num(uSrc) + " -> " + Num(uDst) + " len " + Num(uPayload);
            return;
        }
        if (uProto == 6) {
            SField* pNode = TREE_ADD(out, nullptr, "TCP", "", r.Pos(), r.Left());
            out.row.csProtocol = "TCP";
            uint16_t uSrc, uDst;
            uint64_t uSeq, uAck;
            uint8_t uOff, uFlags;
            if (!r.U16(uSrc) || !r.U16(uDst)) {
                out.Malformed("the TCP header is cut off");
                out.row.csInfo = "TCP header cut off";
                return;
            }
            Ends(":" + Num(uSrc), ":" + Num(uDst));
            TREE_ADD(out, pNode, "Source Port", Num(uSrc), r.Pos() - 4, 2);
            TREE_ADD(out, pNode, "Destination Port", Num(uDst), r.Pos() - 2, 2);
            out.row.csInfo = Num(uSrc) + " -> " + Num(uDst);
            if (!r.UN(4, uSeq) || !r.UN(4, uAck) || !r.U8(uOff) || !r.U8(uFlags)) {
                out.Malformed("the TCP header is cut off");
                return;
            }
            static const char* const kFlags[]
                = { "FIN", "SYN", "RST", "PSH", "ACK", "URG", "ECE", "CWR" };
            std::string csFlags;
            for (int i = 0; i < 8; ++i)
                if (uFlags & (1 << i))
                    csFlags += (csFlags.empty() ? "" : ", ") + std::string(kFlags[i]);
            TREE_ADD(out, pNode, "Sequence Number", Num(uSeq), r.Pos() - 10, 4);
            TREE_ADD(out, pNode, "Acknowledgment Number", Num(uAck), r.Pos() - 6, 4);
            TREE_ADD(out, pNode, "Header Length", Num((uOff >> 4) * 4u) + " bytes", r.Pos() - 2, 1);
            TREE_ADD(out, pNode, "Flags", csFlags.empty() ? "none" : csFlags, r.Pos() - 1, 1);
            if (pNode)
                out.pTree->back().csValue = out.row.csInfo;
            const uint32_t uHeader = (uOff >> 4) * 4u;
            if (uHeader < 20)
                out.Malformed("TCP header length " + Num(uHeader));
            out.row.csInfo += " [" + (csFlags.empty() ? std::string("none") : csFlags) + "]";
            const uint32_t uAfterHeader = uHeader > 14 ? uHeader - 14 : 0;
            if (uHeader >= 20 && r.Has(uAfterHeader))
                out.row.csInfo += " len " + Num(r.Left() - uAfterHeader);
            return;
        }
        Ends("", "");
        const char* szName = IpProtocolName(uProto);
        out.row.csProtocol = szName && uProto != 17 && uProto != 6 ? szName : szIp;
        out.row.csInfo = std::string(szIp) + (szIp[3] == '4' ? " protocol " : " next header ")
            + Num(uProto) + (szName ? std::string(" (") + szName + ")" : "");
        if ((uProto == 1 || uProto == 58) && r.Has(2)) {
            out.row.csInfo += " type " + Num(r.Peek()) + " code " + Num(r.Peek(1));
            TREE_ADD(out, nullptr, szName, "type " + Num(r.Peek()) + " code " + Num(r.Peek(1)),
                r.Pos(), r.Left());
        }
    }

    void DecodeIpv4(SOut& out, CReader r, const std::string& csSrcMac, const std::string& csDstMac)
    {
        SField* pNode = TREE_ADD(out, nullptr, "IPv4", "", r.Pos(), r.Left());
        out.row.csProtocol = "IPv4";
        const uint32_t uStart = r.Pos();
        if (!r.Has(20)) {
            out.Malformed("the IPv4 header is cut off");
            out.row.csInfo = "IPv4 header cut off";
            return;
        }
        const uint8_t* p = r.Here();
        const uint32_t uVersion = p[0] >> 4, uIhl = (p[0] & 15) * 4u;
        const uint32_t uTotal = static_cast<uint32_t>(p[2] << 8 | p[3]);
        const uint32_t uFrag = static_cast<uint32_t>((p[6] & 0x1f) << 8 | p[7]);
        const bool bMoreFrags = (p[6] & 0x20) != 0;
        const uint8_t uProto = p[9];
        SIpEnds ends { Ipv4(p + 12), Ipv4(p + 16) };
        out.row.csSource = ends.csSrcIp + " (" + csSrcMac + ")";
        out.row.csDestination = ends.csDstIp + " (" + csDstMac + ")";
        TREE_ADD(out, pNode, "Version", Num(uVersion), uStart, 1);
        TREE_ADD(out, pNode, "Header Length", Num(uIhl) + " bytes", uStart, 1);
        TREE_ADD(out, pNode, "Total Length", Num(uTotal), uStart + 2, 2);
        TREE_ADD(out, pNode, "Identification", Hex16(static_cast<uint32_t>(p[4] << 8 | p[5])),
            uStart + 4, 2);
        TREE_ADD(out, pNode, "Fragment Offset",
            Num(uFrag * 8) + ((p[6] & 0x40) ? ", don't fragment" : "")
                + (bMoreFrags ? ", more fragments" : ""),
            uStart + 6, 2);
        TREE_ADD(out, pNode, "Time to Live", Num(p[8]), uStart + 8, 1);
        const char* szProto = IpProtocolName(uProto);
        TREE_ADD(out, pNode, "Protocol",
            (szProto ? std::string(szProto) + " " : "") + "(" + Num(uProto) + ")", uStart + 9, 1);
        TREE_ADD(out, pNode, "Source", ends.csSrcIp, uStart + 12, 4);
        TREE_ADD(out, pNode, "Destination", ends.csDstIp, uStart + 16, 4);
        if (pNode)
            out.pTree->back().csValue = ends.csSrcIp + " -> " + ends.csDstIp;
        if (uVersion != 4 || uIhl < 20) {
            out.Malformed("IPv4 version " + Num(uVersion) + ", header length " + Num(uIhl));
            out.row.csInfo = "IPv4 header invalid";
            return;
        }
        if (!r.Has(uIhl)) {
            out.Malformed("the IPv4 options are cut off");
            out.row.csInfo = "IPv4 header cut off";
            return;
        }
        uint32_t uPayload = r.Left() - uIhl;
        if (uTotal < uIhl) {
            out.Malformed("IPv4 total length " + Num(uTotal) + " is below its header's");
        } else if (uTotal > r.Left()) {
            out.Malformed("IPv4 total length " + Num(uTotal) + " is more than the bytes present");
        } else {
            uPayload = uTotal - uIhl; // the rest is Ethernet padding
        }
        r.Skip(uIhl);
        if (uFrag != 0) {
            out.row.csInfo = "IPv4 fragment of " + std::string(szProto ? szProto : Num(uProto))
                + " at offset " + Num(uFrag * 8);
            return;
        }
        DecodeTransport(out, r.Sub(uPayload), uProto, ends, csSrcMac, csDstMac, "IPv4");
        if (bMoreFrags)
            out.row.csInfo += " (first fragment)";
    }

    void DecodeIpv6(SOut& out, CReader r, const std::string& csSrcMac, const std::string& csDstMac)
    {
        SField* pNode = TREE_ADD(out, nullptr, "IPv6", "", r.Pos(), r.Left());
        out.row.csProtocol = "IPv6";
        if (!r.Has(40)) {
            out.Malformed("the IPv6 header is cut off");
            out.row.csInfo = "IPv6 header cut off";
            return;
        }
        const uint8_t* p = r.Here();
        const uint32_t uStart = r.Pos();
        const uint32_t uPayloadLen = static_cast<uint32_t>(p[4] << 8 | p[5]);
        const uint8_t uNext = p[6];
        SIpEnds ends { Ipv6(p + 8), Ipv6(p + 24) };
        // A port goes after an IPv6 address in brackets.
        ends.csSrcIp = "[" + ends.csSrcIp + "]";
        ends.csDstIp = "[" + ends.csDstIp + "]";
        out.row.csSource = ends.csSrcIp + " (" + csSrcMac + ")";
        out.row.csDestination = ends.csDstIp + " (" + csDstMac + ")";
        const char* szNext = IpProtocolName(uNext);
        TREE_ADD(out, pNode, "Version", Num(p[0] >> 4), uStart, 1);
        TREE_ADD(out, pNode, "Payload Length", Num(uPayloadLen), uStart + 4, 2);
        TREE_ADD(out, pNode, "Next Header",
            (szNext ? std::string(szNext) + " " : "") + "(" + Num(uNext) + ")", uStart + 6, 1);
        TREE_ADD(out, pNode, "Hop Limit", Num(p[7]), uStart + 7, 1);
        TREE_ADD(out, pNode, "Source", Ipv6(p + 8), uStart + 8, 16);
        TREE_ADD(out, pNode, "Destination", Ipv6(p + 24), uStart + 24, 16);
        if ((p[0] >> 4) != 6)
            out.Malformed("IPv6 version " + Num(p[0] >> 4));
        r.Skip(40);
        uint32_t uPayload = r.Left();
        if (uPayloadLen > r.Left())
            out.Malformed(
                "IPv6 payload length " + Num(uPayloadLen) + " is more than the bytes present");
        else
            uPayload = uPayloadLen;
        DecodeTransport(out, r.Sub(uPayload), uNext, ends, csSrcMac, csDstMac, "IPv6");
    }

    void DecodeArp(SOut& out, CReader r)
    {
        SField* pNode = TREE_ADD(out, nullptr, "ARP", "", r.Pos(), r.Left());
        out.row.csProtocol = "ARP";
        if (!r.Has(8)) {
            out.Malformed("the ARP header is cut off");
            out.row.csInfo = "ARP header cut off";
            return;
        }
        const uint8_t* p = r.Here();
        const uint32_t uStart = r.Pos();
        const uint32_t uHw = static_cast<uint32_t>(p[0] << 8 | p[1]);
        const uint32_t uProto = static_cast<uint32_t>(p[2] << 8 | p[3]);
        const uint32_t uOp = static_cast<uint32_t>(p[6] << 8 | p[7]);
        TREE_ADD(out, pNode, "Hardware Type", Num(uHw), uStart, 2);
        TREE_ADD(out, pNode, "Protocol Type", Hex16(uProto), uStart + 2, 2);
        TREE_ADD(out, pNode, "Operation",
            uOp == 1       ? "request (1)"
                : uOp == 2 ? "reply (2)"
                           : Num(uOp),
            uStart + 6, 2);
        if (uHw != 1 || uProto != 0x0800 || p[4] != 6 || p[5] != 4) {
            out.row.csInfo = "ARP hardware " + Num(uHw) + ", protocol " + Hex16(uProto)
                + ", operation " + Num(uOp);
            return;
        }
        if (!r.Has(28)) {
            out.Malformed("the ARP addresses are cut off");
            out.row.csInfo = "ARP " + std::string(uOp == 1 ? "request" : "reply") + ", cut off";
            return;
        }
        const std::string csSenderIp = Ipv4(p + 14), csTargetIp = Ipv4(p + 24);
        TREE_ADD(out, pNode, "Sender MAC", Mac(p + 8), uStart + 8, 6);
        TREE_ADD(out, pNode, "Sender IP", csSenderIp, uStart + 14, 4);
        TREE_ADD(out, pNode, "Target MAC", Mac(p + 18), uStart + 18, 6);
        TREE_ADD(out, pNode, "Target IP", csTargetIp, uStart + 24, 4);
        if (uOp == 1) {
            out.row.csInfo = csSenderIp == csTargetIp
                ? "gratuitous ARP for " + csSenderIp
                : "who has " + csTargetIp + "? tell " + csSenderIp;
        } else if (uOp == 2) {
            out.row.csInfo = csSenderIp + " is at " + Mac(p + 8);
        } else {
            out.row.csInfo = "ARP operation " + Num(uOp);
        }
        if (pNode)
            out.pTree->back().csValue = out.row.csInfo;
    }

    // The first bytes of a payload nobody here decodes.
    std::string FirstBytes(const CReader& r)
    {
        if (!r.Left())
            return "no data";
        const uint32_t n = r.Left() < 16 ? r.Left() : 16;
        return Hex(r.Here(), n) + (r.Left() > n ? " ..." : "");
    }

    void DecodeEtherType(SOut& out, CReader r, uint16_t uType, const std::string& csSrcMac,
        const std::string& csDstMac, int iDepth);

    void DecodeLlc(
        SOut& out, CReader r, const std::string& csSrcMac, const std::string& csDstMac, int iDepth)
    {
        SField* pNode = TREE_ADD(out, nullptr, "LLC", "", r.Pos(), r.Left());
        out.row.csProtocol = "LLC";
        uint8_t uDsap, uSsap, uControl;
        if (!r.U8(uDsap) || !r.U8(uSsap) || !r.U8(uControl)) {
            out.Malformed("the LLC header is cut off");
            out.row.csInfo = "LLC header cut off";
            return;
        }
        const uint32_t uAt = r.Pos() - 3;
        const char* szDsap = SapName(uDsap);
        const char* szSsap = SapName(uSsap);
        TREE_ADD(out, pNode, "DSAP", Hex8(uDsap) + (szDsap ? std::string(" (") + szDsap + ")" : ""),
            uAt, 1);
        TREE_ADD(out, pNode, "SSAP",
            Hex8(uSsap & 0xfe) + (szSsap ? std::string(" (") + szSsap + ")" : "")
                + ((uSsap & 1) ? ", response" : ", command"),
            uAt + 1, 1);
        std::string csControl;
        uint32_t uControlLen = 1;
        if ((uControl & 3) == 3) {
            csControl = uControl == 0x03 ? "UI" : "U " + Hex8(uControl);
        } else {
            // I and S frames carry a second control byte.
            uint8_t u2;
            if (!r.U8(u2)) {
                out.Malformed("the LLC control field is cut off");
                out.row.csInfo = "LLC control cut off";
                return;
            }
            uControlLen = 2;
            csControl = (uControl & 1) ? "S" : "I";
        }
        TREE_ADD(out, pNode, "Control", csControl, uAt + 2, uControlLen);
        if (uDsap == 0x82 && uSsap == 0x82 && uControl == 0x03) {
            if (pNode)
                out.pTree->back().csValue = "BACnet";
            out.row.csProtocol = "BACnet/Ethernet";
            out.row.csInfo = DecodeNpdu(out, r);
            return;
        }
        if (uDsap == 0xaa && uSsap == 0xaa && uControl == 0x03) {
            if (!r.Has(5)) {
                out.Malformed("the SNAP header is cut off");
                out.row.csInfo = "SNAP header cut off";
                return;
            }
            const uint8_t* p = r.Here();
            const uint16_t uType = static_cast<uint16_t>(p[3] << 8 | p[4]);
            TREE_ADD(out, pNode, "SNAP OUI", Hex(p, 3, ":"), r.Pos(), 3);
            TREE_ADD(out, pNode, "SNAP Type", Hex16(uType), r.Pos() + 3, 2);
            r.Skip(5);
            if (p[0] == 0 && p[1] == 0 && p[2] == 0) {
                DecodeEtherType(out, r, uType, csSrcMac, csDstMac, iDepth + 1);
                return;
            }
            out.row.csInfo = "SNAP OUI " + Hex(p, 3, ":") + " type " + Hex16(uType);
            return;
        }
        out.row.csInfo = "DSAP " + Hex8(uDsap) + " SSAP " + Hex8(uSsap & 0xfe);
        if (szDsap && (uDsap & 0xfe) == (uSsap & 0xfe))
            out.row.csInfo += std::string(" (") + szDsap + ")";
        out.row.csInfo += " " + csControl;
        if (pNode)
            out.pTree->back().csValue = out.row.csInfo;
    }

    void DecodeEtherType(SOut& out, CReader r, uint16_t uType, const std::string& csSrcMac,
        const std::string& csDstMac, int iDepth)
    {
        switch (uType) {
        case 0x0800:
            DecodeIpv4(out, r, csSrcMac, csDstMac);
            return;
        case 0x86dd:
            DecodeIpv6(out, r, csSrcMac, csDstMac);
            return;
        case 0x0806:
            DecodeArp(out, r);
            return;
        case 0x8100:
        case 0x88a8:
            if (iDepth < 4) {
                uint16_t uTci, uInner;
                if (!r.U16(uTci) || !r.U16(uInner)) {
                    out.Malformed("the VLAN tag is cut off");
                    out.row.csProtocol = EtherTypeName(uType);
                    out.row.csInfo = "VLAN tag cut off";
                    return;
                }
                TREE_ADD(out, nullptr, uType == 0x8100 ? "802.1Q VLAN" : "802.1ad QinQ",
                    "ID " + Num(uTci & 0x0fffu) + ", priority " + Num(uTci >> 13u) + ", type "
                        + Hex16(uInner),
                    r.Pos() - 4, 4);
                DecodeEtherType(out, r, uInner, csSrcMac, csDstMac, iDepth + 1);
                out.row.csInfo = "VLAN " + Num(uTci & 0x0fffu) + ": " + out.row.csInfo;
                return;
            }
            break;
        default:
            break;
        }
        const char* szName = EtherTypeName(uType);
        out.row.csProtocol = szName ? szName : "Ethernet";
        out.row.csInfo = "EtherType " + Hex16(uType)
            + (szName ? std::string(" (") + szName + ")" : "") + ": " + FirstBytes(r);
        TREE_ADD(out, nullptr, "Data", Num(r.Left()) + " bytes", r.Pos(), r.Left());
    }

    std::string TimeOfDay(int64_t llNs, bool bNano)
    {
        int64_t llSec = llNs / 1000000000;
        int64_t llFrac = llNs % 1000000000;
        if (llFrac < 0) {
            llFrac += 1000000000;
            --llSec;
        }
        const time_t t = static_cast<time_t>(llSec);
        struct tm tmUtc { };
        char sz[64] = "";
        if (gmtime_r(&t, &tmUtc))
            std::strftime(sz, sizeof sz, "%Y-%m-%d %H:%M:%S", &tmUtc);
        char szFrac[16];
        if (bNano)
            std::snprintf(szFrac, sizeof szFrac, ".%09" PRId64, llFrac);
        else
            std::snprintf(szFrac, sizeof szFrac, ".%06" PRId64, llFrac / 1000);
        return std::string(sz) + szFrac + " UTC";
    }

    SRow Decode(const SFrame& frame, std::vector<SField>* pTree)
    {
        SRow row;
        row.uNumber = frame.uNumber;
        // Wraps instead of overflowing on absurd time stamps.
        row.llRelTimeNs = static_cast<int64_t>(static_cast<uint64_t>(frame.header.llTimeNs)
            - static_cast<uint64_t>(frame.llFirstTimeNs));
        row.bNanoResolution = frame.bNanoResolution;
        row.uCapLen = frame.header.uCapLen;
        row.uWireLen = frame.header.uWireLen;
        if (pTree)
            pTree->clear();
        SOut out { row, pTree, {} };
        const uint32_t uLen = frame.pData ? frame.header.uCapLen : 0;

        if (SField* pFrame = !pTree ? nullptr
                                    : TREE_ADD(out, nullptr, "Frame " + Num(frame.uNumber),
                                        Num(frame.header.uCapLen) + " bytes captured, "
                                            + Num(frame.header.uWireLen) + " on the wire",
                                        0, uLen)) {
            TREE_ADD(out, pFrame, "Arrival Time",
                TimeOfDay(frame.header.llTimeNs, frame.bNanoResolution), 0, 0);
            TREE_ADD(
                out, pFrame, "Time since record 0", ColumnText(row, EColumn::Time) + " s", 0, 0);
            TREE_ADD(out, pFrame, "Captured Length", Num(frame.header.uCapLen), 0, 0);
            TREE_ADD(out, pFrame, "Wire Length", Num(frame.header.uWireLen), 0, 0);
            TREE_ADD(out, pFrame, "Link Type", Num(frame.uLinkType), 0, 0);
        }

        if (frame.uLinkType != kLinkEthernet) {
            row.csProtocol = "link type " + Num(frame.uLinkType);
            row.csInfo = "link type " + Num(frame.uLinkType) + ", not decoded";
            return row;
        }
        CReader r(frame.pData, 0, uLen);
        if (!r.Has(14)) {
            if (r.Has(6))
                row.csDestination = Mac(r.Here());
            if (r.Has(12))
                row.csSource = Mac(r.Here() + 6);
            row.csProtocol = "Ethernet";
            row.csInfo = "frame of " + Num(uLen) + " bytes, shorter than an Ethernet header";
            out.Malformed("shorter than an Ethernet header");
        } else {
            const std::string csDst = Mac(r.Here()), csSrc = Mac(r.Here() + 6);
            row.csDestination = csDst;
            row.csSource = csSrc;
            r.Skip(12);
            uint16_t uType = 0;
            r.U16(uType);
            if (uType <= 1500) {
                // 802.3: a length, and LLC after it; the bytes past it are padding.
                SField* pEth = TREE_ADD(out, nullptr, "IEEE 802.3 Ethernet", "", 0, 14);
                TREE_ADD(out, pEth, "Destination", csDst, 0, 6);
                TREE_ADD(out, pEth, "Source", csSrc, 6, 6);
                TREE_ADD(out, pEth, "Length", Num(uType), 12, 2);
                if (uType > r.Left()) {
                    out.Malformed("the 802.3 length " + Num(uType) + " is more than the "
                        + Num(r.Left()) + " bytes present");
                }
                DecodeLlc(out, r.Sub(uType), csSrc, csDst, 0);
            } else if (uType < 0x0600) {
                TREE_ADD(
                    out, nullptr, "Ethernet", "type/length " + Num(uType) + " is neither", 12, 2);
                row.csProtocol = "Ethernet";
                row.csInfo = "type/length field " + Hex16(uType) + ": " + FirstBytes(r);
                out.Malformed("the type/length field is neither a length nor an EtherType");
            } else {
                SField* pEth = TREE_ADD(out, nullptr, "Ethernet II", "", 0, 14);
                const char* szName = EtherTypeName(uType);
                TREE_ADD(out, pEth, "Destination", csDst, 0, 6);
                TREE_ADD(out, pEth, "Source", csSrc, 6, 6);
                TREE_ADD(out, pEth, "Type",
                    Hex16(uType) + (szName ? std::string(" (") + szName + ")" : ""), 12, 2);
                DecodeEtherType(out, r, uType, csSrc, csDst, 0);
            }
        }
        if (row.bMalformed) {
            row.csInfo += " [malformed]";
            TREE_ADD(out, nullptr, "Malformed", out.csMalformed, 0, 0);
        }
        return row;
    }

} // namespace

const char* ColumnTitle(EColumn column)
{
    switch (column) {
    case EColumn::Number:
        return "No.";
    case EColumn::Time:
        return "Time";
    case EColumn::Source:
        return "Source";
    case EColumn::Destination:
        return "Destination";
    case EColumn::Protocol:
        return "Protocol";
    case EColumn::Length:
        return "Length";
    case EColumn::Info:
        return "Info";
    }
    return "";
}

std::string ColumnText(const SRow& row, EColumn column)
{
    switch (column) {
    case EColumn::Number:
        return Num(row.uNumber);
    case EColumn::Time: {
        const bool bNeg = row.llRelTimeNs < 0;
        // Magnitude without overflowing on the most negative value.
        const uint64_t u = bNeg ? 0 - static_cast<uint64_t>(row.llRelTimeNs)
                                : static_cast<uint64_t>(row.llRelTimeNs);
        char sz[48];
        if (row.bNanoResolution)
            std::snprintf(sz, sizeof sz, "%s%" PRIu64 ".%09" PRIu64, bNeg ? "-" : "",
                u / 1000000000, u % 1000000000);
        else
            std::snprintf(sz, sizeof sz, "%s%" PRIu64 ".%06" PRIu64, bNeg ? "-" : "",
                u / 1000000000, (u % 1000000000) / 1000);
        return sz;
    }
    case EColumn::Source:
        return row.csSource;
    case EColumn::Destination:
        return row.csDestination;
    case EColumn::Protocol:
        return row.csProtocol;
    case EColumn::Length:
        return row.uCapLen < row.uWireLen ? Num(row.uCapLen) + " of " + Num(row.uWireLen)
                                          : Num(row.uCapLen);
    case EColumn::Info:
        return row.csInfo;
    }
    return "";
}

std::string SField::Text() const
{
    return csValue.empty() ? csName : csName + ": " + csValue;
}

SRow DecodeRow(const SFrame& frame)
{
    return Decode(frame, nullptr);
}

SRow DecodeTree(const SFrame& frame, std::vector<SField>* pTree)
{
    return Decode(frame, pTree);
}

} // namespace velmora::vdecode
