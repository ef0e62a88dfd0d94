#include "FrameBuilder.h"

#include <iterator>
#include <stdexcept>

namespace vtest {

const uint8_t kMacA[6] = { 0x02, 0x76, 0x6d, 0x0a, 0x00, 0x01 };
const uint8_t kMacB[6] = { 0x02, 0x76, 0x6d, 0x0a, 0x00, 0x02 };

namespace {

    void Put16(Bytes& v, uint32_t u)
    {
        v.push_back(static_cast<uint8_t>(u >> 8));
        v.push_back(static_cast<uint8_t>(u));
    }

    Bytes Addresses()
    {
        Bytes v(kMacB, kMacB + 6);
        v.insert(v.end(), kMacA, kMacA + 6);
        return v;
    }

} // namespace

Bytes Hex(std::string_view sv)
{
    Bytes v;
    int iHigh = -1;
    for (char c : sv) {
        if (c == ' ')
            continue;
        int i;
        if (c >= '0' && c <= '9')
            i = c - '0';
        else if (c >= 'a' && c <= 'f')
            i = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            i = c - 'A' + 10;
        else
            throw std::invalid_argument("not hex: " + std::string(sv));
        if (iHigh < 0) {
            iHigh = i;
        } else {
            v.push_back(static_cast<uint8_t>(iHigh << 4 | i));
            iHigh = -1;
        }
    }
    if (iHigh >= 0)
        throw std::invalid_argument("odd hex digits: " + std::string(sv));
    return v;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes v;
    for (const Bytes& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

Bytes EthernetII(uint16_t uType, const Bytes& payload, bool bPad)
{
    Bytes v = Addresses();
    Put16(v, uType);
    v.insert(v.end(), payload.begin(), payload.end());
    if (bPad && v.size() < 60)
        v.resize(60, 0);
    return v;
}

Bytes Ieee8023(const Bytes& llcAndData, int iLength)
{
    Bytes v = Addresses();
    Put16(
        v, iLength < 0 ? static_cast<uint32_t>(llcAndData.size()) : static_cast<uint32_t>(iLength));
    v.insert(v.end(), llcAndData.begin(), llcAndData.end());
    if (v.size() < 60)
        v.resize(60, 0);
    return v;
}

Bytes BacnetEthernet(const Bytes& npduApdu)
{
    return Ieee8023(Cat({ Hex("82 82 03"), npduApdu }));
}

Bytes Ipv4Frame(uint8_t uProtocol, const Bytes& payload, int iTotal, uint16_t uFragment)
{
    Bytes ip = Hex("45 00");
    Put16(ip,
        iTotal < 0 ? static_cast<uint32_t>(20 + payload.size()) : static_cast<uint32_t>(iTotal));
    Put16(ip, 0x1234);
    Put16(ip, uFragment);
    ip.push_back(64);
    ip.push_back(uProtocol);
    Put16(ip, 0);
    ip.insert(ip.end(), { 10, 0, 0, 1, 10, 0, 0, 2 });
    ip.insert(ip.end(), payload.begin(), payload.end());
    return Checksummed(EthernetII(0x0800, ip), false);
}

namespace {

    uint32_t Word(const Bytes& b, size_t i)
    {
        return static_cast<uint32_t>(b[i] << 8 | b[i + 1]);
    }

    // The ones' complement sum of b[nFrom, nFrom + n), from scratch.
    uint32_t Sum(const Bytes& b, size_t nFrom, size_t n, uint32_t u = 0)
    {
        for (size_t i = 0; i + 1 < n; i += 2)
            u += Word(b, nFrom + i);
        if (n % 2)
            u += static_cast<uint32_t>(b[nFrom + n - 1] << 8);
        while (u >> 16)
            u = (u & 0xffff) + (u >> 16);
        return u;
    }

    // Where the IPv4 header starts (0: none) and, for whole UDP datagrams
    // that are not fragments, where UDP starts (0: none).
    void FindIpv4(const Bytes& f, size_t& nIp, size_t& nUdp)
    {
        nIp = nUdp = 0;
        size_t nType = 12;
        while (f.size() >= nType + 2 && (Word(f, nType) == 0x8100 || Word(f, nType) == 0x88a8))
            nType += 4;
        if (f.size() < nType + 2 + 20 || Word(f, nType) != 0x0800 || (f[nType + 2] >> 4) != 4)
            return;
        nIp = nType + 2;
        const size_t nHeader = (f[nIp] & 0x0fu) * 4;
        if (nHeader < 20 || f.size() < nIp + nHeader) {
            nIp = 0;
            return;
        }
        if (f[nIp + 9] != 17 || (Word(f, nIp + 6) & 0x3fff) != 0 || f.size() < nIp + nHeader + 8)
            return;
        const size_t nLength = Word(f, nIp + nHeader + 4);
        if (nLength >= 8 && f.size() >= nIp + nHeader + nLength)
            nUdp = nIp + nHeader;
    }

    uint32_t UdpSum(const Bytes& f, size_t nIp, size_t nUdp)
    {
        const uint32_t uLength = Word(f, nUdp + 4);
        return Sum(f, nUdp, uLength, Sum(f, nIp + 12, 8) + 17 + uLength);
    }

} // namespace

Bytes Checksummed(Bytes f, bool bUdp)
{
    size_t nIp = 0, nUdp = 0;
    FindIpv4(f, nIp, nUdp);
    if (!nIp)
        return f;
    const size_t nHeader = (f[nIp] & 0x0fu) * 4;
    f[nIp + 10] = f[nIp + 11] = 0;
    const uint32_t uIp = ~Sum(f, nIp, nHeader) & 0xffff;
    f[nIp + 10] = static_cast<uint8_t>(uIp >> 8);
    f[nIp + 11] = static_cast<uint8_t>(uIp);
    if (!nUdp)
        return f;
    f[nUdp + 6] = f[nUdp + 7] = 0;
    if (bUdp) {
        uint32_t u = ~UdpSum(f, nIp, nUdp) & 0xffff;
        u = u == 0 ? 0xffff : u;
        f[nUdp + 6] = static_cast<uint8_t>(u >> 8);
        f[nUdp + 7] = static_cast<uint8_t>(u);
    }
    return f;
}

SChecksumsHold ChecksumsHold(const Bytes& f)
{
    SChecksumsHold hold;
    size_t nIp = 0, nUdp = 0;
    FindIpv4(f, nIp, nUdp);
    if (!nIp)
        return hold;
    hold.bIp = Sum(f, nIp, (f[nIp] & 0x0fu) * 4) == 0xffff;
    if (!nUdp)
        return hold;
    hold.bUdpZero = Word(f, nUdp + 6) == 0;
    hold.bUdp = hold.bUdpZero || UdpSum(f, nIp, nUdp) == 0xffff;
    return hold;
}

Bytes Udp(uint16_t uSrc, uint16_t uDst, const Bytes& payload, int iLength)
{
    Bytes v;
    Put16(v, uSrc);
    Put16(v, uDst);
    Put16(v,
        iLength < 0 ? static_cast<uint32_t>(8 + payload.size()) : static_cast<uint32_t>(iLength));
    Put16(v, 0);
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
}

Bytes Bvlc(uint8_t uFunction, const Bytes& body, int iLength)
{
    Bytes v = { 0x81, uFunction };
    Put16(v, iLength < 0 ? static_cast<uint32_t>(4 + body.size()) : static_cast<uint32_t>(iLength));
    v.insert(v.end(), body.begin(), body.end());
    return v;
}

Bytes BacnetIp(uint8_t uFunction, const Bytes& body)
{
    return Ipv4Frame(17, Udp(47808, 47808, Bvlc(uFunction, body)));
}

namespace {

    uint32_t Fold(uint32_t u)
    {
        while (u >> 16)
            u = (u & 0xffff) + (u >> 16);
        return u;
    }

    uint32_t Sum(const uint8_t* p, size_t n, uint32_t u = 0)
    {
        for (size_t i = 0; i + 1 < n; i += 2)
            u += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
        if (n & 1)
            u += static_cast<uint32_t>(p[n - 1] << 8);
        return Fold(u);
    }

} // namespace

Bytes WithChecksums(Bytes f)
{
    if (f.size() < 34 || f[12] != 0x08 || f[13] != 0x00 || (f[14] >> 4) != 4)
        return f;
    const size_t nIhl = (f[14] & 0x0f) * 4u;
    if (nIhl < 20 || 14 + nIhl > f.size())
        return f;
    f[24] = f[25] = 0;
    const uint32_t uIp = ~Sum(&f[14], nIhl) & 0xffff;
    f[24] = static_cast<uint8_t>(uIp >> 8);
    f[25] = static_cast<uint8_t>(uIp);
    const size_t nUdpAt = 14 + nIhl;
    if (f[23] != 17 || nUdpAt + 8 > f.size())
        return f;
    const size_t nUdp = static_cast<size_t>(f[nUdpAt + 4] << 8 | f[nUdpAt + 5]);
    if (nUdp < 8 || nUdpAt + nUdp > f.size())
        return f;
    f[nUdpAt + 6] = f[nUdpAt + 7] = 0;
    const uint32_t uPseudo = Sum(&f[26], 8, 17 + static_cast<uint32_t>(nUdp));
    uint32_t uUdp = ~Sum(&f[nUdpAt], nUdp, uPseudo) & 0xffff;
    if (uUdp == 0)
        uUdp = 0xffff; // 0 would say "none"
    f[nUdpAt + 6] = static_cast<uint8_t>(uUdp >> 8);
    f[nUdpAt + 7] = static_cast<uint8_t>(uUdp);
    return f;
}

Bytes RpmAckSegment(uint8_t uInvoke, uint8_t uSeq, bool bMore, std::string_view svData)
{
    // PDU type 3 with "segmented" (and "more follows"), window 4, service 14.
    const uint8_t header[]
        = { 0x01, 0x00, static_cast<uint8_t>(bMore ? 0x3c : 0x38), uInvoke, uSeq, 0x04, 0x0e };
    return BacnetIp(0x0a, Cat({ Bytes(std::begin(header), std::end(header)), Hex(svData) }));
}

const char* const kThreeSegments[3]
    = { "0c 00 00 00 01 1e 29 55", "4e 44 41 ac 00 00 4f 29", "6f 4e 82 04 00 4f 1f" };

} // namespace vtest
