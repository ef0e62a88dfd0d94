#pragma once

// What a BACnet frame is, once, for every part of the program that asks: the
// decoder, the aim, the judge and the ear's filter. The rules:
//   - Ethernet, then up to kMaxVlanTags tags of kVlanTpids (802.1Q, 802.1ad,
//     the older 0x9100); a frame with more tags is not BACnet;
//   - BACnet/Ethernet: an 802.3 length (at most 1500, at least the LLC's 3
//     bytes), then LLC 82 82 03; the 802.3 length bounds the frame, the rest
//     is padding;
//   - BACnet/IP: IPv4 (version 4, header of 20 bytes or more, no later
//     fragment), UDP with either port in 47808-47823 and a length of at least
//     a UDP and a BVLC header that fits the datagram (a first fragment's may
//     reach past it), carrying BVLC type 0x81; the UDP length bounds the
//     frame, never the bytes captured;
//   - the NPDU: version 1, then DNET/DADR, SNET/SADR and the hop count as its
//     control octet says; an APDU follows unless it carries a network message.
// Nothing here reads outside the bytes given.

#include <cstddef>
#include <cstdint>

namespace velmora::frame {

inline constexpr uint16_t kVlanTpids[] = { 0x8100, 0x88a8, 0x9100 };
inline constexpr uint32_t kMaxVlanTags = 2;
inline constexpr uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr uint16_t kMax8023Length = 1500;
inline constexpr uint8_t kBacnetLlc[3] = { 0x82, 0x82, 0x03 };
inline constexpr uint8_t kIpProtocolUdp = 17;
inline constexpr uint16_t kBacnetPortLow = 47808;
inline constexpr uint16_t kBacnetPortHigh = 47823;
inline constexpr uint8_t kBvlcTypeIp = 0x81;
inline constexpr uint8_t kBvlcForwardedNpdu = 0x04;
inline constexpr uint8_t kNpduVersion = 0x01;
// The longest NPDU address taken (a B/IPv6 address); a longer one does not parse.
inline constexpr uint8_t kMaxNpduAddress = 18;

constexpr bool IsVlanTpid(uint16_t u)
{
    for (uint16_t uTpid : kVlanTpids)
        if (u == uTpid)
            return true;
    return false;
}

constexpr bool IsBacnetPort(uint16_t u)
{
    return u >= kBacnetPortLow && u <= kBacnetPortHigh;
}

// The BVLC functions that carry an NPDU, and where it starts after the header.
constexpr bool BvlcCarriesNpdu(uint8_t uFunction)
{
    return uFunction == kBvlcForwardedNpdu || (uFunction >= 0x09 && uFunction <= 0x0b);
}

enum class EFrameKind : uint8_t {
    NotBacnet,
    BacnetEthernet,
    BacnetIp,
};

// Why a frame is not BACnet, as the aim counts it.
enum class EFrameFault : uint8_t {
    None,
    TooShort, // the bytes end inside a header the rule has to read
    BrokenIpHeader, // an IPv4 header that is cut off or does not add up
    IpFragment, // a later fragment: it has no UDP header
    NotBacnet, // any other frame
};

// Where the layers of a frame start, as offsets into it (0: absent).
struct SFrameLayout {
    EFrameKind eKind = EFrameKind::NotBacnet;
    EFrameFault eFault = EFrameFault::NotBacnet;
    uint8_t uTags = 0;
    uint32_t uTypeAt = 12; // the EtherType or 802.3 length after the tags
    uint32_t uLlcAt = 0; // BACnet/Ethernet
    uint32_t uIpAt = 0; // BACnet/IP: IPv4, UDP and BVLC headers
    uint32_t uUdpAt = 0;
    uint32_t uBvlcAt = 0;
    bool bFirstFragment = false; // IPv4 More Fragments: the UDP checksum covers other frames
    uint8_t uBvlcFunction = 0;
    bool bBvlcFits = false; // a BVLC length of at least 4 that the datagram holds
    // The BACnet payload ends here: at what the 802.3, UDP or BVLC length
    // claims, or at the last byte captured when that is sooner.
    uint32_t uEnd = 0;
    bool bCut = false; // the frame holds fewer bytes than its lengths claim
    uint32_t uNpduAt = 0; // 0: no NPDU, or one that does not parse
    uint8_t uNpduControl = 0;
    uint32_t uDnetAt = 0; // the DNET field, when the control octet says there is one
    uint32_t uSnetAt = 0;
    uint32_t uHopCountAt = 0;
    uint32_t uApduAt = 0; // 0: none (a network message), or the NPDU does not parse
    uint32_t uNetworkMessageAt = 0;

    bool IsBacnet() const { return eKind != EFrameKind::NotBacnet; }
};

// A device instance of a capture and the bench device's in its place (the
// aim maps OLD to NEW on the way out, the judge NEW back to OLD).
struct SDeviceMap {
    uint32_t uOld = 0;
    uint32_t uNew = 0;
    bool operator==(const SDeviceMap&) const = default;
};

// Locates the layers of an Ethernet frame of nLength bytes as captured.
SFrameLayout LocateFrame(const uint8_t* pData, size_t nLength);

// What "Send requests only" does with a record.
enum class ERequestKind {
    Confirmed, // sent, and judged
    Unconfirmed, // sent; judged when it is Who-Is or Who-Has
    RouterQuery, // Who-Is-Router-To-Network: sent, and judged
    Skipped, // an answer, another network message, a BVLC message, not BACnet
};
ERequestKind ClassifyRequest(const uint8_t* pData, size_t nLength);
// The same from a located frame.
ERequestKind ClassifyRequest(const uint8_t* pData, const SFrameLayout& layout);

} // namespace velmora::frame
