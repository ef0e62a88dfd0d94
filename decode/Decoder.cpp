#include "decode/Decoder.h"

#include "decode/DecodeInternal.h"
#include "decode/FrameEdit.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

// The frame's own fields and the columns; the layers are in their own files
// (see DecodeInternal.h).

namespace velmora::dissect {

namespace internal {

    std::string Hex(const uint8_t* p, uint32_t n, const char* szSep)
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

    std::string Bytes(uint32_t n)
    {
        return Num(n) + (n == 1 ? " byte" : " bytes");
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

    std::string FirstBytes(const CReader& r)
    {
        if (!r.Left())
            return "no data";
        const uint32_t n = r.Left() < 16 ? r.Left() : 16;
        return Hex(r.Here(), n) + (r.Left() > n ? " ..." : "");
    }

} // namespace internal

using namespace internal;

namespace {

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

} // namespace

SRow internal::DecodeWith(const SFrame& frame, std::vector<SField>* pTree, SSegmentHook* pSegment)
{
    SRow row;
    row.uNumber = frame.uNumber;
    // Wraps instead of overflowing on absurd time stamps.
    row.llRelTimeNs = static_cast<int64_t>(
        static_cast<uint64_t>(frame.header.llTimeNs) - static_cast<uint64_t>(frame.llFirstTimeNs));
    row.bNanoResolution = frame.bNanoResolution;
    row.uCapLen = frame.header.uCapLen;
    row.uWireLen = frame.header.uWireLen;
    if (pTree)
        pTree->clear();
    SOut out { row, pTree, {}, pSegment };
    const uint32_t uLen = frame.pData ? frame.header.uCapLen : 0;

    if (SField* pFrame = !pTree ? nullptr
                                : TREE_ADD(out, nullptr, "Frame " + Num(frame.uNumber),
                                    Num(frame.header.uCapLen) + " bytes captured, "
                                        + Num(frame.header.uWireLen) + " on the wire",
                                    0, uLen)) {
        TREE_ADD(out, pFrame, "Arrival Time",
            TimeOfDay(frame.header.llTimeNs, frame.bNanoResolution), 0, 0);
        TREE_ADD(out, pFrame, "Time since record 0", ColumnText(row, EColumn::Time) + " s", 0, 0);
        TREE_ADD(out, pFrame, "Captured Length", Num(frame.header.uCapLen), 0, 0);
        TREE_ADD(out, pFrame, "Wire Length", Num(frame.header.uWireLen), 0, 0);
        TREE_ADD(out, pFrame, "Link Type", Num(frame.uLinkType), 0, 0);
    }

    if (frame.uLinkType != kLinkEthernet) {
        row.csProtocol = "link type " + Num(frame.uLinkType);
        row.csInfo = "link type " + Num(frame.uLinkType) + ", not decoded";
        return row;
    }
    DecodeEthernet(out, CReader(frame.pData, 0, uLen));
    // A kernel drops such a frame: a capture taken on the sending host holds
    // the checksums its NIC was left to fill in.
    if (uLen > 0 && frame.bChecksums) {
        const frame::SChecksums sums = frame::CheckFrame(frame.pData, uLen);
        const bool bIp = sums.eIp == frame::ESum::Wrong;
        const bool bUdp = sums.eUdp == frame::ESum::Wrong;
        if (bIp || bUdp) {
            row.bBadChecksum = true;
            row.csInfo += bIp && bUdp ? " [bad IPv4 and UDP checksums]"
                : bIp                 ? " [bad IPv4 checksum]"
                                      : " [bad UDP checksum]";
            if (pTree) {
                std::string cs;
                if (bIp)
                    cs = "IPv4 header, should be " + Hex16(sums.uIpShould);
                if (bUdp)
                    cs += (cs.empty() ? "" : "; ") + std::string("UDP, should be ")
                        + Hex16(sums.uUdpShould);
                TREE_ADD(out, nullptr, "Bad checksum", cs, 0, 0);
            }
        }
    }
    if (row.bMalformed) {
        row.csInfo += " [malformed]";
        TREE_ADD(out, nullptr, "Malformed", out.csMalformed, 0, 0);
    }
    return row;
}

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
    return DecodeWith(frame, nullptr, nullptr);
}

SRow DecodeTree(const SFrame& frame, std::vector<SField>* pTree)
{
    return DecodeWith(frame, pTree, nullptr);
}

} // namespace velmora::dissect
