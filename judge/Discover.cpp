#include "judge/Discover.h"

#include "decode/Frame.h"
#include "judge/Bacnet.h"

#include <algorithm>
#include <cstdio>

namespace velmora::judge {

namespace {

    // An application-tagged value of up to four bytes: its tag number and value.
    bool AppValue(const uint8_t*& p, const uint8_t* pEnd, uint8_t uTag, uint32_t& uValue)
    {
        if (p >= pEnd || (*p >> 4) != uTag || (*p & 0x08) != 0)
            return false;
        const size_t nLength = *p & 0x07;
        if (nLength == 0 || nLength > 4 || static_cast<size_t>(pEnd - p) < 1 + nLength)
            return false;
        uValue = 0;
        for (size_t i = 1; i <= nLength; ++i)
            uValue = uValue << 8 | p[i];
        p += 1 + nLength;
        return true;
    }

    std::string Hex(const uint8_t* p, size_t n, char cSeparator)
    {
        std::string cs;
        char sz[4];
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(sz, sizeof sz, "%02x", p[i]);
            if (i > 0 && cSeparator)
                cs += cSeparator;
            cs += sz;
        }
        return cs;
    }

} // namespace

bool ParseIAm(const uint8_t* pFrame, size_t nLength, SDiscovered& device)
{
    const SBacnetFrame f = ParseBacnet(pFrame, nLength);
    if (f.eApdu != EApdu::UnconfirmedRequest || f.uService != kIAm)
        return false;
    const frame::SFrameLayout at = frame::LocateFrame(pFrame, nLength);
    if (at.uApduAt == 0 || at.uApduAt + 2 > at.uEnd || at.uEnd > nLength)
        return false;
    const uint8_t* p = pFrame + at.uApduAt + 2;
    const uint8_t* pEnd = pFrame + at.uEnd;
    SDiscovered d;
    uint32_t uObject = 0;
    // An object identifier is always four bytes, of type device (8).
    if (pEnd - p < 5 || p[0] != 0xc4)
        return false;
    uObject = static_cast<uint32_t>(p[1]) << 24 | p[2] << 16 | p[3] << 8 | p[4];
    p += 5;
    if ((uObject >> 22) != 8)
        return false;
    d.uInstance = uObject & 0x3fffff;
    if (!AppValue(p, pEnd, 2, d.uMaxApdu) || !AppValue(p, pEnd, 9, d.uSegmentation)
        || !AppValue(p, pEnd, 2, d.uVendor))
        return false;
    std::copy(pFrame + 6, pFrame + 12, d.mac.begin());
    d.bIp = f.bIp;
    if (f.bIp) {
        const SStation from = BacnetSource(f);
        std::copy(from.bytes.begin(), from.bytes.begin() + 4, d.ip.begin());
        d.uPort = static_cast<uint16_t>(from.bytes[4] << 8 | from.bytes[5]);
    }
    if (f.bHasSnet) {
        d.bRouted = true;
        d.uNetwork = f.uSnet;
        d.sadr.assign(f.sadr.bytes.begin(), f.sadr.bytes.begin() + f.sadr.uLength);
    }
    device = d;
    return true;
}

std::vector<uint8_t> WhoIsFrame()
{
    // Ethernet II, IPv4 (TTL 64, DF off), UDP 47808 -> 47808, BVLC
    // Original-Broadcast-NPDU, NPDU to DNET 0xffff (hop count 255), Who-Is.
    std::vector<uint8_t> f = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08,
        0x00, // Ethernet
        0x45, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x11, 0x00, 0x00, // IPv4
        0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, // from 0.0.0.0 (aimed), to broadcast
        0xba, 0xc0, 0xba, 0xc0, 0x00, 0x00, 0x00, 0x00, // UDP
        0x81, 0x0b, 0x00, 0x00, // BVLC
        0x01, 0x20, 0xff, 0xff, 0x00, 0xff, // NPDU
        0x10, 0x08 // Who-Is
    };
    const size_t nIp = f.size() - 14;
    const size_t nUdp = nIp - 20;
    const size_t nBvlc = nUdp - 8;
    f[16] = static_cast<uint8_t>(nIp >> 8);
    f[17] = static_cast<uint8_t>(nIp);
    f[38] = static_cast<uint8_t>(nUdp >> 8);
    f[39] = static_cast<uint8_t>(nUdp);
    f[44] = static_cast<uint8_t>(nBvlc >> 8);
    f[45] = static_cast<uint8_t>(nBvlc);
    // The IPv4 header's checksum; the aim mends both when it sets the source.
    uint32_t uSum = 0;
    for (size_t i = 14; i < 34; i += 2)
        uSum += static_cast<uint32_t>(f[i] << 8 | f[i + 1]);
    while (uSum >> 16)
        uSum = (uSum & 0xffff) + (uSum >> 16);
    f[24] = static_cast<uint8_t>(~uSum >> 8);
    f[25] = static_cast<uint8_t>(~uSum);
    return f;
}

const char* DiscoveredHeading()
{
    return "instance\tMAC\tIP:port\tnetwork\tmax APDU\tvendor";
}

std::string DiscoveredLine(const SDiscovered& d)
{
    std::string cs = std::to_string(d.uInstance) + "\t" + Hex(d.mac.data(), 6, ':') + "\t";
    if (d.bIp)
        cs += std::to_string(d.ip[0]) + "." + std::to_string(d.ip[1]) + "."
            + std::to_string(d.ip[2]) + "." + std::to_string(d.ip[3]) + ":"
            + std::to_string(d.uPort);
    else
        cs += "-";
    cs += "\t";
    if (d.bRouted)
        cs += std::to_string(d.uNetwork) + ":"
            + (d.sadr.empty() ? std::string("-") : "0x" + Hex(d.sadr.data(), d.sadr.size(), 0));
    else
        cs += "local";
    cs += "\t" + std::to_string(d.uMaxApdu) + "\t" + std::to_string(d.uVendor);
    return cs;
}

std::vector<SDiscovered> DiscoveredDevices(const std::vector<std::vector<uint8_t>>& frames)
{
    std::vector<SDiscovered> devices;
    for (const std::vector<uint8_t>& f : frames) {
        SDiscovered d;
        if (ParseIAm(f.data(), f.size(), d)
            && std::find(devices.begin(), devices.end(), d) == devices.end())
            devices.push_back(d);
    }
    return devices;
}

} // namespace velmora::judge
