#include "decode/Frame.h"

namespace velmora::frame {

namespace {

    inline uint32_t Get16(const uint8_t* p)
    {
        return static_cast<uint32_t>(p[0] << 8 | p[1]);
    }

    // The NPDU header from uAt up to uEnd: its fields' offsets, or nothing.
    void LocateNpdu(const uint8_t* p, uint32_t uAt, uint32_t uEnd, SFrameLayout& f)
    {
        if (uEnd < uAt + 2 || p[uAt] != kNpduVersion)
            return;
        const uint8_t uControl = p[uAt + 1];
        uint32_t u = uAt + 2;
        uint32_t uDnetAt = 0, uSnetAt = 0, uHopAt = 0;
        if (uControl & 0x20) {
            if (uEnd < u + 3 || p[u + 2] > kMaxNpduAddress)
                return;
            uDnetAt = u;
            u += 3 + p[u + 2];
        }
        if (uControl & 0x08) {
            // SNET needs a station: a source length of 0 is not allowed.
            if (uEnd < u + 3 || p[u + 2] == 0 || p[u + 2] > kMaxNpduAddress)
                return;
            uSnetAt = u;
            u += 3 + p[u + 2];
        }
        if (uControl & 0x20) {
            uHopAt = u;
            u += 1;
        }
        // The header and at least the first byte of what it carries.
        if (uEnd < u + 1)
            return;
        f.uNpduAt = uAt;
        f.uNpduControl = uControl;
        f.uDnetAt = uDnetAt;
        f.uSnetAt = uSnetAt;
        f.uHopCountAt = uHopAt;
        if (uControl & 0x80)
            f.uNetworkMessageAt = u;
        else
            f.uApduAt = u;
    }

    void LocateIpv4(const uint8_t* p, uint32_t n, SFrameLayout& f)
    {
        const uint32_t uIp = f.uTypeAt + 2;
        if (n < uIp + 20 || (p[uIp] >> 4) != 4) {
            f.eFault = EFrameFault::BrokenIpHeader;
            return;
        }
        const uint32_t uHeader = (p[uIp] & 0x0fu) * 4;
        const uint32_t uTotal = Get16(p + uIp + 2);
        if (uHeader < 20 || n < uIp + uHeader || uTotal < uHeader) {
            f.eFault = EFrameFault::BrokenIpHeader;
            return;
        }
        const uint32_t uFragment = Get16(p + uIp + 6);
        if ((uFragment & 0x1fff) != 0) {
            f.eFault = EFrameFault::IpFragment;
            return;
        }
        if (p[uIp + 9] != kIpProtocolUdp)
            return;
        const uint32_t uUdp = uIp + uHeader;
        if (uTotal < uHeader + 8 + 4 || n < uUdp + 8 + 1) {
            f.eFault = EFrameFault::TooShort;
            return;
        }
        const bool bFirstFragment = (uFragment & 0x2000) != 0;
        const uint32_t uUdpLength = Get16(p + uUdp + 4);
        if (uUdpLength < 8 + 4 || (!bFirstFragment && uUdpLength > uTotal - uHeader))
            return;
        if (!(IsBacnetPort(static_cast<uint16_t>(Get16(p + uUdp)))
                || IsBacnetPort(static_cast<uint16_t>(Get16(p + uUdp + 2))))
            || p[uUdp + 8] != kBvlcTypeIp)
            return;
        f.eKind = EFrameKind::BacnetIp;
        f.eFault = EFrameFault::None;
        f.uIpAt = uIp;
        f.uUdpAt = uUdp;
        f.uBvlcAt = uUdp + 8;
        f.bFirstFragment = bFirstFragment;
        uint32_t uEnd = uUdp + uUdpLength;
        if (uEnd > uIp + uTotal)
            uEnd = uIp + uTotal;
        f.bCut = uEnd > n;
        f.uEnd = f.bCut ? n : uEnd;
        // The BVLC length bounds the NPDU; one that overruns the datagram leaves none.
        const uint32_t uBvlc = f.uBvlcAt;
        if (f.uEnd < uBvlc + 4)
            return;
        f.uBvlcFunction = p[uBvlc + 1];
        const uint32_t uBvlcLength = Get16(p + uBvlc + 2);
        if (uBvlcLength < 4 || uBvlc + uBvlcLength > f.uEnd)
            return;
        f.uEnd = uBvlc + uBvlcLength;
        f.bBvlcFits = true;
        if (!BvlcCarriesNpdu(f.uBvlcFunction))
            return;
        const uint32_t uNpdu = uBvlc + 4 + (f.uBvlcFunction == kBvlcForwardedNpdu ? 6 : 0);
        LocateNpdu(p, uNpdu, f.uEnd, f);
    }

} // namespace

SFrameLayout LocateFrame(const uint8_t* p, size_t nLength)
{
    SFrameLayout f;
    if (!p || nLength < 14) {
        f.eFault = EFrameFault::TooShort;
        return f;
    }
    // No Ethernet frame is longer than a megabyte: offsets stay far from wrapping.
    const uint32_t n = nLength > (1u << 20) ? (1u << 20) : static_cast<uint32_t>(nLength);
    uint32_t uType = Get16(p + 12);
    while (f.uTags < kMaxVlanTags && IsVlanTpid(static_cast<uint16_t>(uType))) {
        if (n < f.uTypeAt + 4 + 2) {
            f.eFault = EFrameFault::TooShort;
            return f;
        }
        f.uTypeAt += 4;
        ++f.uTags;
        uType = Get16(p + f.uTypeAt);
    }
    if (uType == kEtherTypeIpv4) {
        LocateIpv4(p, n, f);
        return f;
    }
    if (uType > kMax8023Length)
        return f;
    const uint32_t uLlc = f.uTypeAt + 2;
    if (n < uLlc + 3) {
        f.eFault = EFrameFault::TooShort;
        return f;
    }
    if (uType < 3 || p[uLlc] != kBacnetLlc[0] || p[uLlc + 1] != kBacnetLlc[1]
        || p[uLlc + 2] != kBacnetLlc[2])
        return f;
    f.eKind = EFrameKind::BacnetEthernet;
    f.eFault = EFrameFault::None;
    f.uLlcAt = uLlc;
    f.bCut = uLlc + uType > n;
    f.uEnd = f.bCut ? n : uLlc + uType;
    LocateNpdu(p, uLlc + 3, f.uEnd, f);
    return f;
}

ERequestKind ClassifyRequest(const uint8_t* p, const SFrameLayout& f)
{
    if (f.uNetworkMessageAt)
        return p[f.uNetworkMessageAt] == 0x00 ? ERequestKind::RouterQuery : ERequestKind::Skipped;
    if (!f.uApduAt)
        return ERequestKind::Skipped;
    const uint32_t uLeft = f.uEnd - f.uApduAt;
    const uint8_t* a = p + f.uApduAt;
    switch (a[0] >> 4) {
    case 0: {
        // Type and flags, max segments, invoke ID, [sequence, window], service.
        const uint32_t uHeader = (a[0] & 0x08) ? 6 : 4;
        return uLeft >= uHeader ? ERequestKind::Confirmed : ERequestKind::Skipped;
    }
    case 1:
        // I-Am and I-Have answer; every other unconfirmed service asks.
        if (uLeft < 2 || a[1] == 0 || a[1] == 1)
            return ERequestKind::Skipped;
        return ERequestKind::Unconfirmed;
    default:
        return ERequestKind::Skipped;
    }
}

ERequestKind ClassifyRequest(const uint8_t* pData, size_t nLength)
{
    return ClassifyRequest(pData, LocateFrame(pData, nLength));
}

} // namespace velmora::frame
