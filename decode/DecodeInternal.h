#pragma once

// What the layers of the decoder share, and nothing else includes: the bounded
// reader, the output (row, tree, first malformation), the BACnet tag reader,
// and each layer's entry point. A layer decodes its header and hands the rest
// to the next layer through its own table (EtherType, LLC SAP, UDP port, BVLC
// function, service choice).
//
//   Link.cpp       Ethernet, 802.3/LLC/SNAP, VLAN, ARP, IPv4, IPv6, UDP, TCP
//   Bvlc.cpp       BACnet/IP's BVLC
//   Npdu.cpp       the NPDU and the network-layer messages
//   Apdu.cpp       the APDU header: type, flags, invoke ID, segments, service choice
//   Services.cpp   each service's parameters, and the table that lists them
//   Values.cpp     tags, application-tagged values, and the parameter reader CApdu
//   BacnetNames.*  the names of BACnet's enumerations

#include "decode/Decoder.h"
#include "decode/Frame.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::dissect::internal {

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

// ---------------------------------------------------------------------------
// Text of numbers and addresses (Decoder.cpp).

std::string Hex(const uint8_t* p, uint32_t n, const char* szSep = " ");
std::string Hex16(uint32_t u); // "0x0800"
std::string Hex8(uint32_t u); // "0x0a"
std::string Mac(const uint8_t* p);
std::string Ipv4(const uint8_t* p);
std::string Ipv6(const uint8_t* p); // RFC 5952: "fe80::1"
std::string Num(uint64_t u);
std::string InvokeId(uint32_t u); // "[ 5]"
// "1 byte", "2 bytes"
std::string Bytes(uint32_t n);
// cs cut to nMax bytes (not inside a UTF-8 sequence) and "..." added.
std::string Shorten(const std::string& cs, size_t nMax);
// The first bytes of a payload nobody here decodes.
std::string FirstBytes(const CReader& r);

// ---------------------------------------------------------------------------
// Output: the row, the tree when one is wanted, and the first malformation.

// What the APDU layer says of a segmented ComplexACK, and what the segment
// assembler (Segments.cpp) gives back for it.
struct SSegmentHook {
    // Filled by the decode.
    bool bSegment = false; // a segmented ComplexACK whose header decoded
    uint8_t uInvoke = 0;
    uint8_t uSeq = 0;
    uint8_t uService = 0;
    bool bMore = false;
    uint32_t uDataOffset = 0; // in the frame: the service data after the service choice
    uint32_t uDataLength = 0;
    std::string csNetEnds; // the NPDU's routed destination and source, if any
    // Set by the assembler's Add: only a segmented ComplexACK's header is wanted.
    bool bSegmentsOnly = false;
    // Given by the assembler before the decode.
    const std::vector<uint8_t>* pWhole = nullptr; // the answer's service data, all segments
    uint32_t uSegments = 0;
    uint32_t uOwnStart = 0; // where this record's data sits in *pWhole
    std::string csNote; // what a segment row adds: " (answer in record 12)"
};

struct SOut {
    SRow& row;
    std::vector<SField>* pTree;
    std::string csMalformed;
    SSegmentHook* pSegment = nullptr; // only while assembling segmented answers
    // The one rule for a BACnet frame (decode/Frame.h), applied to the whole frame.
    frame::SFrameLayout layout {};

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
// BACnet tags and primitive values (Values.cpp).

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

inline constexpr const char* kAppTagNames[]
    = { "Null", "Boolean", "Unsigned", "Signed", "REAL", "Double", "OctetString", "CharacterString",
          "BitString", "Enumerated", "Date", "Time", "ObjectIdentifier" };

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
bool ReadTag(CReader& r, STag& t);
// The content bytes after the tag (none for an application Boolean or an opening/closing tag).
uint32_t ContentLength(const STag& t);
// Printable UTF-8 of a CharacterString's content (character set first); bBad when it has none.
std::string CharString(const uint8_t* p, uint32_t n, bool& bBad);

// The property a value belongs to, so that some enumerations read as names.
struct SValueContext {
    uint32_t uObjectType = 0xffffffff;
    uint32_t uProperty = 0xffffffff;
};

// Decodes the content of an application-tagged primitive into text. False when
// the content does not fit its type (the text then says why). p holds t.uLength bytes.
bool AppValueText(const uint8_t* p, const STag& t, const SValueContext& ctx, std::string& cs);

// Reads the tagged parameters of one APDU into the fields under its node.
// Every read that fails marks the frame malformed with the first cause.
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
    // The next tag is context tag uTag (opening, closing or primitive as asked).
    bool NextIs(uint32_t uTag, bool bOpening = false) const;
    bool NextIsClosing(uint32_t uTag) const;

    // A context-tagged unsigned (or enumerated) [uTag] of 1-4 bytes; absent is not an
    // error when bOptional. Returns false when absent or broken.
    bool ContextUnsigned(uint32_t uTag, const char* szName, uint64_t& u, bool bOptional = false);
    bool ContextObjectId(uint32_t uTag, const char* szName, uint32_t& uType, uint32_t& uInst);
    // A context-tagged primitive [uTag] read as application type uAppType, with a field of its
    // own; pfnName turns an enumeration into its name (cs then holds the name, or the number).
    bool Context(uint32_t uTag, uint32_t uAppType, const char* szName, std::string& cs,
        uint64_t* pU = nullptr, bool bOptional = false, const char* (*pfnName)(uint32_t) = nullptr);
    bool AppObjectId(const char* szName, uint32_t& uType, uint32_t& uInst);
    // An application-tagged primitive of type uType; its text in cs.
    bool AppPrimitive(uint32_t uType, const char* szName, std::string& cs, uint64_t* pU = nullptr);
    // [uTag] opening, the values, [uTag] closing: their text ("21.5", "1, 2, 3").
    bool ContextValues(uint32_t uTag, const SValueContext& ctx, std::string& csValues,
        const char* szName = "Property Value");
    // Takes an opening or closing tag [uTag]; false (and malformed) when another is there.
    bool Opening(uint32_t uTag, const char* szWhat);
    bool Closing(uint32_t uTag, const char* szWhat);

    // Whatever follows the parameters a service has.
    void ExpectEnd();
    // The bytes left, as one field.
    void Rest(const char* szName);

    SOut& Out() { return m_out; }
    SField* Node() { return m_pNode; }
    CReader& Reader() { return m_r; }
    // Marks a parameter that is not where it belongs.
    void Missing(const char* szName);
    // Adds a field over the bytes from uAt to the reader's position.
    SField* Field(const std::string& csName, const std::string& csValue, uint32_t uAt);

private:
    void Broken(const char* szName, const STag& t);
    bool ObjectIdContent(const char* szName, STag t, uint32_t& uType, uint32_t& uInst);

    SOut& m_out;
    CReader m_r;
    SField* m_pNode;
};

// ---------------------------------------------------------------------------
// The layers' entry points. Each returns (or sets) the row's Info text.

// Decoder.cpp: DecodeRow and DecodeTree with the segment hook (nullptr: none).
SRow DecodeWith(const SFrame& frame, std::vector<SField>* pTree, SSegmentHook* pSegment);

// Link.cpp: the Ethernet frame.
void DecodeEthernet(SOut& out, CReader r);
// Bvlc.cpp: a BVLC, r at its type byte.
std::string DecodeBvlc(SOut& out, CReader r);
// Bvlc.cpp: a BVLC of BACnet/IPv6 (type 0x82), r at its type byte.
std::string DecodeBvlc6(SOut& out, CReader r);
// Npdu.cpp: the NPDU and what it carries.
std::string DecodeNpdu(SOut& out, CReader r);
// "192.168.10.5:47808" for six bytes, "[fe80::1]:47808" for eighteen, "5" for one, else hex.
std::string NetworkAddress(const uint8_t* p, uint32_t n);
// Apdu.cpp: the APDU.
std::string DecodeApdu(SOut& out, CReader r);
// Services.cpp: the parameters after the service choice; the text goes after the service name.
std::string ServiceParameters(CApdu& a, bool bConfirmed, uint32_t uService, bool bAck);
// "readProperty", or "confirmed service 200".
std::string ServiceName(bool bConfirmed, uint32_t u);

} // namespace velmora::dissect::internal
