// Frames through the aim, against bytes worked out apart from it: whole
// checksums summed here from scratch (not the aim's incremental update), and
// one frame written out byte for byte.

#include "FakeClock.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "ReplayFakes.h"
#include "TestSupport.h"
#include "replay/Aim.h"
#include "replay/Converse.h"
#include "session/SendWords.h"
#include "tools/CaptureWriter.h"

#include <cstdio>
#include <gtest/gtest.h>

using namespace velmora;
using namespace vtest;

namespace {

constexpr CMacAddress kDstMac = { 0x02, 0x00, 0x00, 0x00, 0x00, 0x2a };
constexpr CMacAddress kSrcMac = { 0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee };
constexpr CIpv4Address kDstIp = { 192, 168, 7, 42 };
constexpr CIpv4Address kSrcIp = { 192, 168, 7, 5 };
constexpr uint16_t kDstPort = 47809;

uint16_t Get16(const Bytes& b, size_t i)
{
    return static_cast<uint16_t>(b[i] << 8 | b[i + 1]);
}
void Put16(Bytes& b, size_t i, uint32_t u)
{
    b[i] = static_cast<uint8_t>(u >> 8);
    b[i + 1] = static_cast<uint8_t>(u);
}

// The ones' complement sum, from scratch.
uint32_t Sum(const uint8_t* p, size_t n, uint32_t u = 0)
{
    for (size_t i = 0; i + 1 < n; i += 2)
        u += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2)
        u += static_cast<uint32_t>(p[n - 1] << 8);
    while (u >> 16)
        u = (u & 0xffff) + (u >> 16);
    return u;
}

// The UDP sum over the pseudo-header and the datagram's own length (the UDP
// length field's, so Ethernet padding is left out).
uint32_t UdpSum(const Bytes& f, size_t nIp)
{
    const size_t nUdp = nIp + (f[nIp] & 0x0f) * 4u;
    const uint32_t uUdpLength = Get16(f, nUdp + 4);
    uint32_t u = Sum(&f[nIp + 12], 8);
    u = Sum(nullptr, 0, u + 17 + uUdpLength);
    return Sum(&f[nUdp], uUdpLength, u);
}

// Right checksums into a built frame (FrameBuilder leaves them 0); bUdp
// false leaves the UDP one 0 ("none").
Bytes WithChecksums(Bytes f, size_t nIp = 14, bool bUdp = true)
{
    Put16(f, nIp + 10, 0);
    Put16(f, nIp + 10, ~Sum(&f[nIp], (f[nIp] & 0x0f) * 4u) & 0xffff);
    if (bUdp) {
        const size_t nUdp = nIp + (f[nIp] & 0x0f) * 4u;
        Put16(f, nUdp + 6, 0);
        const uint32_t u = ~UdpSum(f, nIp) & 0xffff;
        Put16(f, nUdp + 6, u == 0 ? 0xffff : u);
    }
    return f;
}

// Both checksums add up (a UDP checksum of 0 means none).
void ExpectChecksumsRight(const Bytes& f, size_t nIp = 14)
{
    EXPECT_EQ(Sum(&f[nIp], (f[nIp] & 0x0f) * 4u), 0xffffu) << "IP header checksum";
    const size_t nUdp = nIp + (f[nIp] & 0x0f) * 4u;
    if (Get16(f, nUdp + 6) != 0) {
        EXPECT_EQ(UdpSum(f, nIp), 0xffffu) << "UDP checksum";
    }
}

// The addresses put in by hand, at their places in an untagged frame.
Bytes Aimed(Bytes f, bool bDst, bool bSrc, size_t nIp = 14)
{
    if (bDst) {
        std::copy(kDstMac.begin(), kDstMac.end(), f.begin());
        if (nIp) {
            std::copy(kDstIp.begin(), kDstIp.end(), f.begin() + nIp + 16);
            Put16(f, nIp + 20 + 2, kDstPort);
        }
    }
    if (bSrc) {
        std::copy(kSrcMac.begin(), kSrcMac.end(), f.begin() + 6);
        if (nIp)
            std::copy(kSrcIp.begin(), kSrcIp.end(), f.begin() + nIp + 12);
    }
    return f;
}

SAimPlan FullPlan(bool bAlsoBroadcasts = false)
{
    SAimPlan plan;
    plan.bDstMac = plan.bSrcMac = plan.bDstIp = plan.bSrcIp = plan.bDstPort = true;
    plan.dstMac = kDstMac;
    plan.srcMac = kSrcMac;
    plan.dstIp = kDstIp;
    plan.srcIp = kSrcIp;
    plan.uDstPort = kDstPort;
    plan.bAlsoBroadcasts = bAlsoBroadcasts;
    return plan;
}

SAimPlan MacOnlyPlan(bool bAlsoBroadcasts = false)
{
    SAimPlan plan;
    plan.bDstMac = true;
    plan.dstMac = kDstMac;
    plan.bAlsoBroadcasts = bAlsoBroadcasts;
    return plan;
}

Bytes Broadcast(Bytes f)
{
    std::fill(f.begin(), f.begin() + 6, 0xff);
    return f;
}

// A readProperty: 13 bytes of NPDU and APDU make the IP total 45, one short
// of the 46 that fill a 60-byte frame: the last byte is Ethernet padding.
const Bytes kReadProperty = Hex("01 04 00 05 01 0c 0c 02 00 00 01 19 55");
const Bytes kWhoIs = Hex("01 20 ff ff 00 ff 10 08");

Bytes Padded(Bytes f, uint8_t uPad)
{
    f.back() = uPad;
    return f;
}

Bytes Tagged(const Bytes& f)
{
    Bytes v(f.begin(), f.begin() + 12);
    const Bytes tag = Hex("81 00 20 64");
    v.insert(v.end(), tag.begin(), tag.end());
    v.insert(v.end(), f.begin() + 12, f.end());
    return v;
}

struct SRow {
    const char* szName;
    SAimPlan plan;
    Bytes in;
    EAimOutcome eOutcome;
    Bytes out; // empty: the same bytes as in
    size_t nIp = 0; // where the IPv4 header is, to check the checksums; 0 for none
};

void PrintTo(const SRow& row, std::ostream* pOut)
{
    *pOut << row.szName;
}

class AimTableTest : public ::testing::TestWithParam<SRow> { };

TEST_P(AimTableTest, AimsTheFrameAsWorkedOut)
{
    const SRow& row = GetParam();
    Bytes f = row.in;
    const EAimOutcome e = AimFrame(row.plan, f);
    EXPECT_EQ(AimOutcomeText(e), std::string(AimOutcomeText(row.eOutcome)));
    const Bytes& expected = row.out.empty() ? row.in : row.out;
    EXPECT_EQ(f, expected);
    if (row.nIp)
        ExpectChecksumsRight(f, row.nIp);
}

// A checksum as the sending host's capture holds it (24: IPv4's, 40: UDP's).
Bytes LeftToTheNic(Bytes f, size_t nAt)
{
    f[nAt] ^= 0x3c;
    f[nAt + 1] ^= 0x01;
    return f;
}

const Bytes kUnicastIp = WithChecksums(BacnetIp(0x0a, kReadProperty));
const Bytes kPaddedIp = Padded(kUnicastIp, 0xee);
const Bytes kBroadcastIp = WithChecksums(Broadcast([] {
    Bytes f = BacnetIp(0x0b, kWhoIs);
    f[14 + 16 + 3] = 255; // 10.0.0.255
    return f;
}()));
const Bytes kEthernetUnicast = BacnetEthernet(kReadProperty);
const Bytes kTaggedIp = WithChecksums(Tagged(BacnetIp(0x0a, kReadProperty)), 18);
// A Forwarded-NPDU from a BBMD: the original source 10.0.0.7:47808 inside.
const Bytes kForwarded
    = WithChecksums(BacnetIp(0x04, Cat({ Hex("0a 00 00 07 ba c0"), kReadProperty })));
// A readProperty routed on to network 5, station 0x0d.
const Bytes kRouted
    = WithChecksums(BacnetIp(0x0a, Hex("01 24 00 05 01 0d ff 00 05 01 0c 0c 02 00 00 01 19 55")));

// The readProperty of samples/bacnet-ip-sample.pcap, record 2, as captured.
const Bytes kSampleReadProperty
    = Hex("02 76 6d 0a 00 02 02 76 6d 0a 00 01 08 00 45 00 00 2d 00 02 00 00 40 11 e5 6a c0 a8 "
          "0a 01 c0 a8 0a 02 ba c0 ba c0 00 19 0b 9d 81 0a 00 11 01 04 00 05 05 0c 0c 00 00 00 "
          "01 19 55 00");
// Found by search: the only 10.1.x.y whose change to this header's checksum
// carries out of 16 bits twice.
constexpr CIpv4Address kCarryIp = { 10, 1, 166, 21 };

SAimPlan DstIpPlan(const CIpv4Address& ip)
{
    SAimPlan plan;
    plan.bDstIp = true;
    plan.dstIp = ip;
    return plan;
}

Bytes WithDstIp(Bytes f, const CIpv4Address& ip)
{
    std::copy(ip.begin(), ip.end(), f.begin() + 14 + 16);
    return WithChecksums(f);
}

// Requests naming device 207, and the same as aimed at device 1234 by hand.
// Object identifiers: device,207 is 02 00 00 cf; device,1234 02 00 04 d2;
// device,208 02 00 00 d0; file,207 02 80 00 cf.
const char* const kRpDevice = "00 05 01 0c 0c 020000cf 19 4d";
const char* const kRpDeviceMapped = "00 05 01 0c 0c 020004d2 19 4d";
const char* const kRoutedNpdu = "01 24 0005 01 0d ff"; // to network 5, station 0x0d
const char* const kLocalNpdu = "01 04";

SAimPlan DeepPlan(
    ERoute eRoute, std::vector<SDeviceMap> devices = {}, uint16_t uNet = 0, const Bytes& addr = {})
{
    SAimPlan plan;
    plan.route.eRoute = eRoute;
    plan.route.uNet = uNet;
    plan.route.uAddrLength = static_cast<uint8_t>(addr.size());
    std::copy(addr.begin(), addr.end(), plan.route.addr.begin());
    plan.devices = std::move(devices);
    return plan;
}

const std::vector<SDeviceMap> k207 = { { 207, 1234 } };

Bytes IpReq(const std::string& csNpdu, const std::string& csApdu, bool bUdpSum = true)
{
    return WithChecksums(BacnetIp(0x0a, Hex(csNpdu + csApdu)), 14, bUdpSum);
}

Bytes EthReq(const std::string& csNpdu, const std::string& csApdu)
{
    return BacnetEthernet(Hex(csNpdu + csApdu));
}

Bytes WhoIs(const std::string& csLimits)
{
    return WithChecksums(BacnetIp(0x0b, Hex("01 20 ffff 00 ff 10 08" + csLimits)));
}

const SRow kRows[] = {
    // Worked out byte for byte apart from the aim: the route taken out, the
    // device put in, every length and both checksums anew, padded to 60.
    { "RouteDirectDeviceMappedLiteral", DeepPlan(ERoute::Direct, k207),
        IpReq(kRoutedNpdu, kRpDevice), EAimOutcome::Aimed,
        Hex("02 76 6d 0a 00 02 02 76 6d 0a 00 01 08 00 45 00 00 2d 12 34 00 00 40 11 54 8a 0a 00 "
            "00 01 0a 00 00 02 ba c0 ba c0 00 19 c7 e7 81 0a 00 11 01 04 00 05 01 0c 0c 02 00 04 "
            "d2 19 4d 00"),
        14 },
    { "RouteDirectIp", DeepPlan(ERoute::Direct), IpReq(kRoutedNpdu, kRpDevice), EAimOutcome::Aimed,
        IpReq(kLocalNpdu, kRpDevice), 14 },
    { "RouteGivenIpTwoByteAddress", DeepPlan(ERoute::Given, {}, 7, Hex("0a0b")),
        IpReq(kRoutedNpdu, kRpDevice), EAimOutcome::Aimed,
        IpReq("01 24 0007 02 0a0b ff", kRpDevice), 14 },
    { "RouteGivenIpMac", DeepPlan(ERoute::Given, k207, 9, Hex("02 00 00 00 00 2a")),
        IpReq(kRoutedNpdu, kRpDevice), EAimOutcome::Aimed,
        IpReq("01 24 0009 06 02000000002a ff", kRpDeviceMapped), 14 },
    { "RouteGivenLeavesALocalRequest", DeepPlan(ERoute::Given, {}, 7, Hex("0a")),
        IpReq(kLocalNpdu, kRpDevice), EAimOutcome::Unchanged, {}, 14 },
    { "RouteDirectEthernet", DeepPlan(ERoute::Direct), EthReq(kRoutedNpdu, kRpDevice),
        EAimOutcome::Aimed, EthReq(kLocalNpdu, kRpDevice) },
    { "RouteGivenEthernet", DeepPlan(ERoute::Given, k207, 5, Hex("0e")),
        EthReq(kRoutedNpdu, kRpDevice), EAimOutcome::Aimed,
        EthReq("01 24 0005 01 0e ff", kRpDeviceMapped) },
    // The source network stays; only the destination goes.
    { "RouteDirectKeepsSnet", DeepPlan(ERoute::Direct),
        IpReq("01 2c 0005 01 0d 0003 01 21 ff", kRpDevice), EAimOutcome::Aimed,
        IpReq("01 0c 0003 01 21", kRpDevice), 14 },
    { "ReadPropertyDeviceSameLength", DeepPlan(ERoute::Captured, k207),
        IpReq(kLocalNpdu, kRpDevice), EAimOutcome::Aimed, IpReq(kLocalNpdu, kRpDeviceMapped), 14 },
    // The identifier and a value naming the device, context and application tagged.
    { "WritePropertyDevice", DeepPlan(ERoute::Captured, k207),
        IpReq(kLocalNpdu, "00 05 02 0f 0c 020000cf 19 79 3e c4 020000cf 3f"), EAimOutcome::Aimed,
        IpReq(kLocalNpdu, "00 05 02 0f 0c 020004d2 19 79 3e c4 020004d2 3f"), 14 },
    { "ReadPropertyMultipleSomeDevices", DeepPlan(ERoute::Captured, k207),
        IpReq(kLocalNpdu,
            "00 05 03 0e 0c 020000cf 1e 09 4d 1f 0c 00000001 1e 09 55 1f 0c 020000d0 1e 09 4d 1f "
            "0c 020000cf 1e 09 70 1f"),
        EAimOutcome::Aimed,
        IpReq(kLocalNpdu,
            "00 05 03 0e 0c 020004d2 1e 09 4d 1f 0c 00000001 1e 09 55 1f 0c 020000d0 1e 09 4d 1f "
            "0c 020004d2 1e 09 70 1f"),
        14 },
    { "SubscribeCovDevice", DeepPlan(ERoute::Captured, k207),
        IpReq(kLocalNpdu, "00 05 04 05 09 12 1c 020000cf 29 01 39 3c"), EAimOutcome::Aimed,
        IpReq(kLocalNpdu, "00 05 04 05 09 12 1c 020004d2 29 01 39 3c"), 14 },
    // A file of the same instance is no device.
    { "AtomicReadFileOfFile207", DeepPlan(ERoute::Captured, k207),
        IpReq(kLocalNpdu, "00 05 05 06 c4 028000cf 0e 31 00 21 40 0f"), EAimOutcome::Unchanged, {},
        14 },
    // An unsigned that happens to read as device,207 in a context tag no
    // identifier has is left: [3] of subscribeCOV is its lifetime.
    { "ContextUnsignedIsNoIdentifier", DeepPlan(ERoute::Captured, k207),
        IpReq(kLocalNpdu, "00 05 04 05 09 12 1c 00000001 29 01 3c 020000cf"),
        EAimOutcome::Unchanged, {}, 14 },
    { "WhoIsLimitsOneByteToTwo", DeepPlan(ERoute::Captured, k207), WhoIs("09 cf 19 cf"),
        EAimOutcome::Aimed, WhoIs("0a 04d2 1a 04d2"), 14 },
    { "WhoIsLimitsThreeBytesToOne", DeepPlan(ERoute::Captured, { { 70000, 5 } }),
        WhoIs("0b 011170 1b 011170"), EAimOutcome::Aimed, WhoIs("09 05 19 05"), 14 },
    { "WhoIsRangeIncludingTheDeviceIsLeft", DeepPlan(ERoute::Captured, k207),
        WhoIs("09 64 1a 012c"), EAimOutcome::Unchanged, {}, 14 },
    { "WhoIsRoutedDirectAndLimits", DeepPlan(ERoute::Direct, k207), WhoIs("09 cf 19 cf"),
        EAimOutcome::Aimed, WithChecksums(BacnetIp(0x0b, Hex("01 00 10 08 0a 04d2 1a 04d2"))), 14 },
    { "WhoHasLimitsAndObject", DeepPlan(ERoute::Captured, k207),
        IpReq(kLocalNpdu, "10 07 09 cf 19 cf 2c 020000cf"), EAimOutcome::Aimed,
        IpReq(kLocalNpdu, "10 07 0a 04d2 1a 04d2 2c 020004d2"), 14 },
    { "ForwardedNpduStaysAsItIs", DeepPlan(ERoute::Direct, k207),
        WithChecksums(BacnetIp(0x04, Hex(std::string("0a000007 bac0 ") + kRoutedNpdu + kRpDevice))),
        EAimOutcome::Unchanged, {}, 14 },
    // Answers are never rewritten, whatever device they name.
    { "AnAnswerStaysAsItIs", DeepPlan(ERoute::Direct, k207),
        IpReq("01 08 0005 01 0d", "30 05 0c 0c 020000cf 19 4d 3e 74 00 41 42 43 3f"),
        EAimOutcome::Unchanged, {}, 14 },
    { "ARequestCutInsideATagIsLeft", DeepPlan(ERoute::Direct, k207),
        IpReq(kRoutedNpdu, "00 05 01 0c 0c 020000cf 19"), EAimOutcome::Unchanged, {}, 14 },
    { "ARequestWithAnOpenTagIsLeft", DeepPlan(ERoute::Direct),
        IpReq(kRoutedNpdu, "00 05 02 0f 0c 020000cf 19 55 3e 44 41ac0000"), EAimOutcome::Unchanged,
        {}, 14 },
    { "UdpChecksumZeroStaysZero", DeepPlan(ERoute::Direct, k207),
        IpReq(kRoutedNpdu, kRpDevice, false), EAimOutcome::Aimed,
        IpReq(kLocalNpdu, kRpDeviceMapped, false), 14 },
    // Padded before (the datagram ends at 54) and after (it ends at 50): the
    // old padding is no payload, the new one zeros.
    { "PaddedBeforeAndAfter", DeepPlan(ERoute::Direct),
        Padded(IpReq("01 20 ffff 00 ff", "10 08"), 0xee), EAimOutcome::Aimed,
        WithChecksums(BacnetIp(0x0a, Hex("01 00 10 08"))), 14 },
    { "LongerThanTheMtuIsNotSent",
        [] {
            SAimPlan plan = DeepPlan(ERoute::Given, {}, 7, Hex("02 00 00 00 00 2a"));
            plan.uMtu = 56; // the request's IPv4 datagram grows from 52 bytes to 57
            return plan;
        }(),
        IpReq("01 24 0005 01 0d ff", "00 05 01 0c 0c 020000cf 19 4d 19 4d"), EAimOutcome::TooLong,
        {}, 14 },
    // Summing the change to the IPv4 header checksum carries out of 16 bits
    // twice: one fold is not enough.
    { "IpChecksumCarriesTwice", DstIpPlan(kCarryIp), kSampleReadProperty, EAimOutcome::Aimed,
        WithDstIp(kSampleReadProperty, kCarryIp), 14 },
    { "BacnetEthernetUnicast", FullPlan(), kEthernetUnicast, EAimOutcome::Aimed,
        Aimed(kEthernetUnicast, true, true, 0) },
    { "BacnetEthernetBroadcastKeepsItsDestination", FullPlan(), Broadcast(kEthernetUnicast),
        EAimOutcome::Aimed, Aimed(Broadcast(kEthernetUnicast), false, true, 0) },
    { "BacnetEthernetBroadcastDestinationOnly", MacOnlyPlan(), Broadcast(kEthernetUnicast),
        EAimOutcome::Broadcast, {} },
    { "BacnetEthernetBroadcastAlsoBroadcasts", MacOnlyPlan(true), Broadcast(kEthernetUnicast),
        EAimOutcome::Aimed, Aimed(kEthernetUnicast, true, false, 0) },
    // Worked out byte for byte apart from the test's own sums.
    { "BacnetIpUnicastPaddedTo60Literal", FullPlan(), kPaddedIp, EAimOutcome::Aimed,
        Hex("02 00 00 00 00 2a 02 aa bb cc dd ee 08 00 45 00 00 2d 12 34 00 00 40 11 d9 0c c0 a8 "
            "07 05 c0 a8 07 2a ba c0 ba c1 00 19 15 6e 81 0a 00 11 01 04 00 05 01 0c 0c 02 00 00 "
            "01 19 55 ee"),
        14 },
    { "BacnetIpUnicastChecksumNonZero", FullPlan(), kUnicastIp, EAimOutcome::Aimed,
        WithChecksums(Aimed(kUnicastIp, true, true)), 14 },
    { "BacnetIpUnicastChecksumZeroStaysZero", FullPlan(),
        WithChecksums(BacnetIp(0x0a, kReadProperty), 14, false), EAimOutcome::Aimed,
        WithChecksums(Aimed(BacnetIp(0x0a, kReadProperty), true, true), 14, false), 14 },
    { "BacnetIpBroadcastKeepsItsDestination", FullPlan(), kBroadcastIp, EAimOutcome::Aimed,
        WithChecksums(Aimed(kBroadcastIp, false, true)), 14 },
    { "BacnetIpBroadcastDestinationOnly", MacOnlyPlan(), kBroadcastIp, EAimOutcome::Broadcast, {},
        14 },
    { "BacnetIpBroadcastAlsoBroadcasts", FullPlan(true), kBroadcastIp, EAimOutcome::Aimed,
        WithChecksums(Aimed(kBroadcastIp, true, true)), 14 },
    { "Tagged8021Q", FullPlan(), kTaggedIp, EAimOutcome::Aimed,
        WithChecksums(Tagged(Aimed(BacnetIp(0x0a, kReadProperty), true, true)), 18), 18 },
    { "ForwardedNpduKeepsTheOriginalSource", FullPlan(), kForwarded, EAimOutcome::Aimed,
        WithChecksums(Aimed(kForwarded, true, true)), 14 },
    { "RoutedNpduKeepsDnetAndDadr", FullPlan(), kRouted, EAimOutcome::Aimed,
        WithChecksums(Aimed(kRouted, true, true)), 14 },
    { "IpFragmentMoreFragments", FullPlan(),
        WithChecksums(Ipv4Frame(17, Udp(47808, 47808, Bvlc(0x0a, kReadProperty)), -1, 0x2000)),
        EAimOutcome::IpFragment, {} },
    { "IpFragmentLaterPart", FullPlan(),
        WithChecksums(Ipv4Frame(17, Hex("81 0a 00 11"), -1, 0x0003), 14, false),
        EAimOutcome::IpFragment, {} },
    { "Arp", FullPlan(),
        EthernetII(0x0806, Hex("0001 0800 06 04 0002 02766d0a0001 0a000001 02766d0a0002 0a000002")),
        EAimOutcome::NotBacnet, {} },
    { "OtherUdp", FullPlan(), WithChecksums(Ipv4Frame(17, Udp(5353, 53, Hex("81 0a 00 04")))),
        EAimOutcome::NotBacnet, {} },
    { "BacnetPortWithoutBvlc", FullPlan(),
        WithChecksums(Ipv4Frame(17, Udp(47808, 47808, Hex("82 0a 00 04")))), EAimOutcome::NotBacnet,
        {} },
    { "TooShort", FullPlan(), Hex("02 76 6d 0a 00 02 02 76 6d 0a"), EAimOutcome::TooShort, {} },
    { "TruncatedIpHeader", FullPlan(),
        Hex("02 76 6d 0a 00 02 02 76 6d 0a 00 01 08 00 45 00 00 2d 12 34 00 00 40 11"),
        EAimOutcome::BrokenIpHeader, {} },
    { "IpHeaderLengthBelowTwenty", FullPlan(),
        [] {
            Bytes f = kUnicastIp;
            f[14] = 0x44;
            return f;
        }(),
        EAimOutcome::BrokenIpHeader, {} },
    { "DefaultPlanChangesNothing", SAimPlan(), kUnicastIp, EAimOutcome::Unchanged, {} },
    // Captured on the sending host: checksums its NIC was left to fill in go
    // out computed afresh, aimed or not; a UDP checksum of 0 stays 0.
    { "UdpChecksumLeftToTheNicIsMended", FullPlan(), LeftToTheNic(kUnicastIp, 40),
        EAimOutcome::Aimed, WithChecksums(Aimed(kUnicastIp, true, true)), 14 },
    { "IpChecksumLeftToTheNicIsMended", FullPlan(), LeftToTheNic(kUnicastIp, 24),
        EAimOutcome::Aimed, WithChecksums(Aimed(kUnicastIp, true, true)), 14 },
    { "ABroadcastLeftAloneIsStillMended", MacOnlyPlan(), LeftToTheNic(kBroadcastIp, 40),
        EAimOutcome::Broadcast, kBroadcastIp, 14 },
    { "ARouteOverAWrongChecksum", DeepPlan(ERoute::Direct),
        LeftToTheNic(IpReq(kRoutedNpdu, kRpDevice), 40), EAimOutcome::Aimed,
        IpReq(kLocalNpdu, kRpDevice), 14 },
    { "AMappedDeviceOverAWrongChecksum", DeepPlan(ERoute::Captured, k207),
        LeftToTheNic(IpReq(kLocalNpdu, kRpDevice), 40), EAimOutcome::Aimed,
        IpReq(kLocalNpdu, kRpDeviceMapped), 14 },
    { "ZeroUdpChecksumAndAWrongIpOne", FullPlan(),
        LeftToTheNic(WithChecksums(BacnetIp(0x0a, kReadProperty), 14, false), 24),
        EAimOutcome::Aimed,
        WithChecksums(Aimed(BacnetIp(0x0a, kReadProperty), true, true), 14, false), 14 },
    // Not BACnet: never touched.
    { "OtherUdpLeftToTheNicStaysAsCaptured", FullPlan(),
        LeftToTheNic(WithChecksums(Ipv4Frame(17, Udp(5353, 53, Hex("81 0a 00 04")))), 40),
        EAimOutcome::NotBacnet, {} },
};

INSTANTIATE_TEST_SUITE_P(Frames, AimTableTest, ::testing::ValuesIn(kRows),
    [](const ::testing::TestParamInfo<SRow>& info) { return std::string(info.param.szName); });

// A second opinion on the checksums: tcpdump -vv checks both of every aimed
// frame of the table.
TEST(AimTest, TcpdumpFindsTheAimedChecksumsRight)
{
    if (std::system("tcpdump --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no tcpdump";
    vtest::CTempDir dir;
    const std::string csPath = dir.File("aimed.pcap");
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(csPath));
    int iUdpSums = 0;
    int iFrames = 0;
    int iFromSource = 0;
    for (const SRow& row : kRows) {
        if (row.eOutcome != EAimOutcome::Aimed || row.nIp == 0)
            continue;
        Bytes f = row.in;
        AimFrame(row.plan, f);
        ASSERT_TRUE(writer.Write(f));
        ++iFrames;
        iFromSource += row.plan.bSrcIp;
        iUdpSums += Get16(f, row.nIp + 20 + 6) != 0;
    }
    ASSERT_TRUE(writer.Close());
    FILE* p = popen(("tcpdump -vv -n -r " + csPath + " 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string csOut;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        csOut.append(buf, n);
    pclose(p);
    auto count = [&](const std::string& cs) {
        int i = 0;
        for (size_t n = csOut.find(cs); n != std::string::npos; n = csOut.find(cs, n + 1))
            ++i;
        return i;
    };
    EXPECT_GE(iFrames, 8);
    EXPECT_GE(iUdpSums, 6);
    EXPECT_EQ(count("bad"), 0) << csOut;
    EXPECT_EQ(count("[udp sum ok]"), iUdpSums) << csOut;
    EXPECT_EQ(count("192.168.7.5.47808 > "), iFromSource) << csOut;
    EXPECT_EQ(count(" > "), iFrames) << csOut;
}

// An independent decoder on every frame a route or a device map changed, and
// on the conversation's: tshark, checking both checksums, finds no malformed
// or bad field, and reads the device the map put in.
TEST(AimTest, TsharkFindsTheRoutedAndMappedFramesWhole)
{
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no tshark";
    vtest::CTempDir dir;
    const std::string csPath = dir.File("deep.pcap");
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(csPath));
    int iFrames = 0, iIp = 0, iUdpSums = 0, iMapped = 0, iUnmapped = 0;
    for (const SRow& row : kRows) {
        if (row.eOutcome != EAimOutcome::Aimed || !row.plan.Deep())
            continue;
        Bytes f = row.in;
        AimFrame(row.plan, f);
        ASSERT_TRUE(writer.Write(f));
        ++iFrames;
        if (row.nIp) {
            ++iIp;
            iUdpSums += Get16(f, row.nIp + 20 + 6) != 0;
        }
        const Bytes id = Hex("020004d2");
        const Bytes old = Hex("020000cf");
        iMapped += std::search(f.begin(), f.end(), id.begin(), id.end()) != f.end();
        iUnmapped += std::search(f.begin(), f.end(), old.begin(), old.end()) != f.end();
    }
    // The conversation's frames: requests with a fresh invoke ID (one
    // captured with a UDP checksum left to the NIC, one with none, one
    // tagged), and the Segment-ACK and Abort it makes of a segmented answer.
    CFakeClock clock;
    SConverseOptions options;
    options.iWindow = 4; // at a window of 1 the second request would wait for the first's answer
    CConversation conversation(options, clock);
    CFakeSink sink;
    std::string csError;
    ASSERT_TRUE(sink.Open("fake", csError));
    CScriptedEar ear(clock);
    CConverseGate gate(conversation, sink, ear, clock, kStatusIntervalMs * 1'000'000LL);
    const struct {
        Bytes frame;
        size_t nIp;
        bool bUdpSum;
        bool bNic;
    } requests[] = { { BacnetIp(0x0a, kReadProperty), 14, true, false },
        { BacnetIp(0x0a, kReadProperty), 14, true, true },
        { BacnetIp(0x0a, kReadProperty), 14, false, false },
        { Tagged(BacnetIp(0x0a, kReadProperty)), 18, true, false } };
    std::vector<std::pair<Bytes, size_t>> conversed;
    for (const auto& r : requests) {
        // Each to a device of its own.
        Bytes f = r.frame;
        f[r.nIp + 19] = static_cast<uint8_t>(10 + conversed.size());
        f = WithChecksums(f, r.nIp, r.bUdpSum);
        if (r.bNic)
            f = LeftToTheNic(f, r.nIp + 26);
        SConverseOffered offered;
        ASSERT_EQ(
            gate.Pass(0, f.data(), static_cast<uint32_t>(f.size()), offered), EConverseGate::Go);
        conversed.emplace_back(f, r.nIp);
    }
    // The first device answers in segments, then stops: a Segment-ACK, then an Abort.
    Bytes segment = RpmAckSegment(0, 0, true, kThreeSegments[0]);
    segment[14 + 20 + 8 + 4 + 6] = 0x0c; // the service asked: readProperty
    std::swap_ranges(segment.begin(), segment.begin() + 6, segment.begin() + 6);
    std::copy(kUnicastIp.begin() + 26, kUnicastIp.begin() + 30, segment.begin() + 30);
    std::copy(
        conversed[0].first.begin() + 30, conversed[0].first.begin() + 34, segment.begin() + 26);
    segment = WithChecksums(segment);
    ear.At(clock.llNow, segment);
    gate.Pump(0);
    clock.SleepUntil(clock.llNow + 4'000'000'000);
    gate.Pump(0);
    const std::vector<std::vector<uint8_t>>& made = sink.frames;
    ASSERT_EQ(made.size(), 2u);
    for (const std::vector<uint8_t>& m : made) {
        EXPECT_GE(m.size(), 60u);
        EXPECT_NE(Get16(m, 14 + 26), 0) << "a real UDP checksum";
        conversed.emplace_back(m, 14);
    }
    for (const auto& [f, nIp] : conversed) {
        ExpectChecksumsRight(f, nIp);
        ASSERT_TRUE(writer.Write(f));
        ++iFrames;
        ++iIp;
        iUdpSums += Get16(f, nIp + 26) != 0;
    }
    ASSERT_TRUE(writer.Close());
    const std::string csOut = ShellOutput("tshark -o ip.check_checksum:TRUE -o "
                                          "udp.check_checksum:TRUE -V -r "
        + csPath + " 2>&1");
    auto count = [&](const std::string& cs) {
        int i = 0;
        for (size_t n = csOut.find(cs); n != std::string::npos; n = csOut.find(cs, n + 1))
            ++i;
        return i;
    };
    EXPECT_GE(iFrames, 15);
    EXPECT_EQ(count("[Protocols in frame:"), iFrames) << csOut;
    EXPECT_EQ(count("bacnet"), iFrames) << csOut;
    EXPECT_EQ(count("Malformed"), 0) << csOut;
    EXPECT_EQ(count("[Bad"), 0) << csOut;
    EXPECT_EQ(count("incorrect"), 0) << csOut;
    EXPECT_EQ(count("Expert Info (Error"), 0) << csOut;
    EXPECT_EQ(count("[Header checksum status: Good]"), iIp) << csOut;
    EXPECT_EQ(count("[Checksum Status: Good]"), iUdpSums) << csOut;
    EXPECT_GE(count("device, 1234"), iMapped) << csOut;
    // Only where no map was asked for.
    EXPECT_EQ(count("device, 207"), iUnmapped) << csOut;
}

// The literal row's input is the frame the padded row starts from, so the
// two ways of working it out agree.
TEST(AimTest, TheLiteralRowStartsFromTheBuiltFrame)
{
    EXPECT_EQ(kPaddedIp,
        Hex("02 76 6d 0a 00 02 02 76 6d 0a 00 01 08 00 45 00 00 2d 12 34 00 00 40 11 54 8a 0a 00 "
            "00 01 0a 00 00 02 ba c0 ba c0 00 19 90 ec 81 0a 00 11 01 04 00 05 01 0c 0c 02 00 00 "
            "01 19 55 ee"));
}

// A UDP checksum that comes to zero after the aim is sent as all ones: zero
// would say "no checksum".
TEST(AimTest, AChecksumThatComesToZeroIsSentAsAllOnes)
{
    // Find the last two APDU bytes that make the aimed frame's sum come to zero.
    for (uint32_t u = 0; u <= 0xffff; ++u) {
        Bytes want = Aimed(BacnetIp(0x0a, kReadProperty), true, true);
        Put16(want, 14 + 20 + 8 + 4 + 11, u);
        Put16(want, 14 + 20 + 6, 0);
        if ((~UdpSum(want, 14) & 0xffff) != 0)
            continue;
        Bytes f = BacnetIp(0x0a, kReadProperty);
        Put16(f, 14 + 20 + 8 + 4 + 11, u);
        f = WithChecksums(f);
        ASSERT_NE(Get16(f, 14 + 26), 0);
        EXPECT_EQ(AimFrame(FullPlan(), f), EAimOutcome::Aimed);
        EXPECT_EQ(Get16(f, 14 + 26), 0xffff);
        ExpectChecksumsRight(f);
        return;
    }
    FAIL() << "no such frame";
}

// Only the source port, and only the source address: each word on its own.
TEST(AimTest, SourceAloneAndPortsAloneKeepTheChecksumsRight)
{
    SAimPlan plan;
    plan.bSrcIp = plan.bSrcPort = true;
    plan.srcIp = kSrcIp;
    plan.uSrcPort = 47900;
    Bytes f = kUnicastIp;
    ASSERT_EQ(AimFrame(plan, f), EAimOutcome::Aimed);
    EXPECT_EQ(Get16(f, 34), 47900);
    EXPECT_EQ(Get16(f, 36), 47808);
    EXPECT_TRUE(std::equal(kSrcIp.begin(), kSrcIp.end(), f.begin() + 26));
    EXPECT_TRUE(std::equal(f.begin(), f.begin() + 12, kUnicastIp.begin()));
    ExpectChecksumsRight(f);
    // An IP-only aim leaves a BACnet/Ethernet frame as it is, and says so.
    Bytes e = kEthernetUnicast;
    EXPECT_EQ(AimFrame(plan, e), EAimOutcome::Unchanged);
    EXPECT_EQ(e, kEthernetUnicast);
}

TEST(AimTest, OutcomesCountedAsNotAimed)
{
    EXPECT_FALSE(IsNotAimed(EAimOutcome::Aimed));
    EXPECT_FALSE(IsNotAimed(EAimOutcome::Unchanged));
    EXPECT_FALSE(IsNotAimed(EAimOutcome::Broadcast));
    for (EAimOutcome e : { EAimOutcome::NotEthernet, EAimOutcome::TooShort,
             EAimOutcome::BrokenIpHeader, EAimOutcome::IpFragment, EAimOutcome::NotBacnet })
        EXPECT_TRUE(IsNotAimed(e)) << AimOutcomeText(e);
}

TEST(AimTest, ParsesAddresses)
{
    struct {
        const char* sz;
        bool bOk;
        CMacAddress mac;
    } const macs[] = {
        { "02:00:00:00:00:2a", true, kDstMac },
        { "02-AA-bb-CC-dd-EE", true, kSrcMac },
        { "02:00:00:00:00:2", false, {} },
        { "02:00:00:00:00:2a:", false, {} },
        { "02:00-00:00:00:2a", false, {} },
        { "02:00:00:00:00:2g", false, {} },
        { "", false, {} },
    };
    for (const auto& row : macs) {
        CMacAddress mac {};
        EXPECT_EQ(ParseMac(row.sz, mac), row.bOk) << row.sz;
        if (row.bOk) {
            EXPECT_EQ(mac, row.mac) << row.sz;
        }
    }
    struct {
        const char* sz;
        bool bOk;
        CIpv4Address ip;
        uint16_t uPort;
    } const ips[] = {
        { "192.168.7.42", true, kDstIp, 0 },
        { "192.168.7.42:47809", true, kDstIp, 47809 },
        { "0.0.0.0:65535", true, { 0, 0, 0, 0 }, 65535 },
        { "192.168.7.42:0", false, {}, 0 },
        { "192.168.7.42:65536", false, {}, 0 },
        { "192.168.7.42:", false, {}, 0 },
        { "192.168.7", false, {}, 0 },
        { "192.168.7.42.1", false, {}, 0 },
        { "192.168.7.256", false, {}, 0 },
        { "192.168.07.42", false, {}, 0 },
        { "192.168.7.-1", false, {}, 0 },
        { "192.168..42", false, {}, 0 },
        { "host.example", false, {}, 0 },
        { "", false, {}, 0 },
    };
    for (const auto& row : ips) {
        CIpv4Address ip {};
        uint16_t uPort = 1;
        EXPECT_EQ(ParseIpv4Endpoint(row.sz, ip, uPort), row.bOk) << row.sz;
        if (!row.bOk) {
            // A failed parse leaves what it was given alone.
            EXPECT_EQ(ip, CIpv4Address {}) << row.sz;
            EXPECT_EQ(uPort, 1) << row.sz;
        }
        if (row.bOk) {
            EXPECT_EQ(ip, row.ip) << row.sz;
            EXPECT_EQ(uPort, row.uPort) << row.sz;
        }
    }
}

TEST(AimTest, ParsesAndWritesSources)
{
    struct {
        const char* sz;
        bool bOk;
        EAimSource eSource;
        uint16_t uPort;
    } const ipRows[] = {
        { "adapter", true, EAimSource::Adapter, 0 },
        { "adapter:47810", true, EAimSource::Adapter, 47810 },
        { "192.168.7.5", true, EAimSource::Given, 0 },
        { "192.168.7.5:47810", true, EAimSource::Given, 47810 },
        { "adapter:", false, EAimSource::AsCaptured, 0 },
        { "adapter:0", false, EAimSource::AsCaptured, 0 },
        { "adapters", false, EAimSource::AsCaptured, 0 },
        { "adapter47810", false, EAimSource::AsCaptured, 0 },
        { "eth0", false, EAimSource::AsCaptured, 0 },
    };
    for (const auto& row : ipRows) {
        EAimSource eSource = EAimSource::AsCaptured;
        CIpv4Address ip {};
        uint16_t uPort = 7;
        EXPECT_EQ(ParseIpSource(row.sz, eSource, ip, uPort), row.bOk) << row.sz;
        if (!row.bOk)
            continue;
        EXPECT_EQ(eSource, row.eSource) << row.sz;
        EXPECT_EQ(uPort, row.uPort) << row.sz;
        EXPECT_EQ(FormatIpSource(eSource, ip, uPort), row.sz);
    }
    EAimSource eSource = EAimSource::AsCaptured;
    CMacAddress mac {};
    EXPECT_TRUE(ParseMacSource("adapter", eSource, mac));
    EXPECT_EQ(eSource, EAimSource::Adapter);
    EXPECT_TRUE(ParseMacSource("02:aa:bb:cc:dd:ee", eSource, mac));
    EXPECT_EQ(eSource, EAimSource::Given);
    EXPECT_EQ(FormatMacSource(eSource, mac), "02:aa:bb:cc:dd:ee");
    // A group address can be no frame's source.
    EXPECT_FALSE(ParseMacSource("01:00:5e:00:00:01", eSource, mac));
    EXPECT_FALSE(ParseMacSource("ff:ff:ff:ff:ff:ff", eSource, mac));
    EXPECT_EQ(FormatMacSource(EAimSource::AsCaptured, mac), "");
}

TEST(AimTest, PlansFromTheAdapterOrSaysWhatIsMissing)
{
    SAimOptions options;
    options.eSrcMac = EAimSource::Adapter;
    options.eSrcIp = EAimSource::Adapter;
    options.uSrcPort = 47810;
    SAdapterAddresses adapter;
    SAimPlan plan;
    std::string csError;
    EXPECT_FALSE(PlanAim(options, "vm0", adapter, plan, csError));
    EXPECT_EQ(csError, "adapter vm0 has no MAC address to send from");
    adapter.bHasMac = true;
    adapter.mac = kSrcMac;
    EXPECT_FALSE(PlanAim(options, "vm0", adapter, plan, csError));
    EXPECT_EQ(csError, "adapter vm0 has no IPv4 address to send from");
    adapter.ipv4 = { kSrcIp, kDstIp };
    ASSERT_TRUE(PlanAim(options, "vm0", adapter, plan, csError));
    EXPECT_TRUE(plan.bSrcMac && plan.bSrcIp && plan.bSrcPort);
    EXPECT_EQ(plan.srcMac, kSrcMac);
    EXPECT_EQ(plan.srcIp, kSrcIp);
    EXPECT_EQ(plan.uSrcPort, 47810);
    EXPECT_FALSE(plan.bDstMac || plan.bDstIp || plan.bDstPort);
    // The default asks nothing of the adapter.
    ASSERT_TRUE(PlanAim(SAimOptions(), "gone0", SAdapterAddresses(), plan, csError));
    EXPECT_FALSE(plan.Active());
}

TEST(AimTest, ReadsTheLoopbackAdaptersAddresses)
{
    SAdapterAddresses addresses;
    std::string csError;
    ASSERT_TRUE(ReadAdapterAddresses("lo", addresses, csError)) << csError;
    const CIpv4Address loopback = { 127, 0, 0, 1 };
    EXPECT_NE(
        std::find(addresses.ipv4.begin(), addresses.ipv4.end(), loopback), addresses.ipv4.end());
    EXPECT_FALSE(ReadAdapterAddresses("no-such-adapter0", addresses, csError));
    EXPECT_EQ(csError, "there is no adapter no-such-adapter0");
}

TEST(AimTest, SummaryForTheStatusLine)
{
    EXPECT_EQ(AimSummary(SAimOptions()), "");
    SAimOptions options;
    options.bAlsoBroadcasts = true; // alone it aims nothing
    EXPECT_EQ(AimSummary(options), "");
    options.bDstMac = true;
    options.dstMac = kDstMac;
    EXPECT_EQ(AimSummary(options), "Aimed at 02:00:00:00:00:2a, broadcasts too");
    options.bAlsoBroadcasts = false;
    options.bDstIp = true;
    options.dstIp = kDstIp;
    options.uDstPort = kDstPort;
    options.eSrcMac = EAimSource::Adapter;
    EXPECT_EQ(AimSummary(options),
        "Aimed at 02:00:00:00:00:2a and 192.168.7.42:47809, from the adapter's MAC");
    SAimOptions source;
    source.eSrcIp = EAimSource::Given;
    source.srcIp = kSrcIp;
    EXPECT_EQ(AimSummary(source), "Aimed from 192.168.7.5");
    source.route.eRoute = ERoute::Direct;
    source.devices = { { 207, 1234 }, { 5, 6 } };
    EXPECT_EQ(
        AimSummary(source), "Aimed from 192.168.7.5, route: direct, device 207 -> 1234, 5 -> 6");
    SAimOptions deep;
    ASSERT_TRUE(ParseRoute("5:0x1f", deep.route));
    EXPECT_FALSE(deep.IsDefault());
    EXPECT_EQ(AimSummary(deep), "Aimed as captured, route: 5:0x1f");
}

TEST(AimTest, ParsesRoutesAndDeviceMaps)
{
    const struct {
        const char* sz;
        bool bOk;
        const char* szFormatted; // "" when as given
    } routes[] = {
        { "captured", true, "" },
        { "direct", true, "" },
        { "5:0x1f", true, "" },
        { "65534:0x0A0b", true, "65534:0x0a0b" },
        { "5:31", true, "5:0x1f" },
        { "5:02:00:00:00:00:2a", true, "" },
        { "5:0x010203040506", true, "5:01:02:03:04:05:06" },
        { "5:0x01020304050607", false, "" }, // seven bytes
        { "5:0x1", false, "" },
        { "5:0x", false, "" },
        { "5:256", false, "" },
        { "0:0x1f", false, "" },
        { "65535:0x1f", false, "" }, // the global broadcast is no route
        { "5", false, "" },
        { ":0x1f", false, "" },
        { "Direct", false, "" },
        { "", false, "" },
    };
    for (const auto& row : routes) {
        SRoute route;
        route.uNet = 77;
        EXPECT_EQ(ParseRoute(row.sz, route), row.bOk) << row.sz;
        if (row.bOk)
            EXPECT_EQ(FormatRoute(route), *row.szFormatted ? row.szFormatted : row.sz);
        else
            EXPECT_EQ(route.uNet, 77) << row.sz;
    }
    const struct {
        const char* sz;
        bool bOk;
        SDeviceMap map;
    } maps[] = {
        { "207=1234", true, { 207, 1234 } },
        { "0=4194302", true, { 0, 4194302 } },
        { "4194303=1", false, {} },
        { "1=4194303", false, {} },
        { "207=", false, {} },
        { "=1234", false, {} },
        { "207", false, {} },
        { "-1=5", false, {} },
        { "1=2=3", false, {} },
        { "12345678=1", false, {} },
    };
    for (const auto& row : maps) {
        SDeviceMap map { 9, 9 };
        EXPECT_EQ(ParseDeviceMap(row.sz, map), row.bOk) << row.sz;
        const SDeviceMap expected = row.bOk ? row.map : SDeviceMap { 9, 9 };
        EXPECT_EQ(map, expected) << row.sz;
        if (row.bOk) {
            EXPECT_EQ(FormatDeviceMap(map), row.sz);
        }
    }
}

} // namespace
