// The judge's small BACnet parser, row by row: what it must read from each
// layer, and what must not parse.
#include "FrameBuilder.h"
#include "judge/Bacnet.h"

#include <gtest/gtest.h>

using namespace velmora::judge;
using namespace vtest;

namespace {

SBacnetFrame Parse(const Bytes& b)
{
    return ParseBacnet(b.data(), b.size());
}

Bytes Ip(const Bytes& npduApdu)
{
    return BacnetIp(0x0a, npduApdu);
}

TEST(JudgeBacnetTest, ApduHeaders)
{
    struct SRow {
        const char* szName;
        Bytes npduApdu;
        EApdu eApdu;
        uint8_t uInvokeId;
        uint8_t uService;
        bool bSegmented;
        uint8_t uSequence;
    };
    const SRow rows[] = {
        { "confirmed readProperty", Hex("01 04 00 05 07 0c 0c 00000001 19 55"),
            EApdu::ConfirmedRequest, 7, 12, false, 0 },
        { "confirmed, segmented", Hex("01 04 0e 05 08 02 04 0e 0c 00000001"),
            EApdu::ConfirmedRequest, 8, 14, true, 2 },
        { "SimpleACK", Hex("01 00 20 09 0f"), EApdu::SimpleAck, 9, 15, false, 0 },
        { "ComplexACK", Hex("01 00 30 05 0c 0c 00000001 19 55 3e 44 41ac0000 3f"),
            EApdu::ComplexAck, 5, 12, false, 0 },
        { "ComplexACK, first segment", Hex("01 00 3c 05 00 04 0e 0c"), EApdu::ComplexAck, 5, 14,
            true, 0 },
        { "SegmentACK", Hex("01 00 41 05 03 04"), EApdu::SegmentAck, 5, 0, false, 3 },
        { "Error", Hex("01 00 50 05 0c 91 02 91 20"), EApdu::Error, 5, 12, false, 0 },
        { "Reject", Hex("01 00 60 05 09"), EApdu::Reject, 5, 0, false, 0 },
        { "Abort", Hex("01 00 71 05 04"), EApdu::Abort, 5, 0, false, 0 },
        { "Who-Is", Hex("01 20 ffff 00 ff 10 08"), EApdu::UnconfirmedRequest, 0, 8, false, 0 },
        { "Who-Is-Router-To-Network", Hex("01 80 00"), EApdu::NetworkMessage, 0, 0, false, 0 },
        // Cut short before the service: no APDU header to judge by.
        { "confirmed cut short", Hex("01 04 00 05 07"), EApdu::NotBacnet, 0, 0, false, 0 },
        { "segmented cut short", Hex("01 04 08 05 07 00"), EApdu::NotBacnet, 0, 0, false, 0 },
        { "APDU type 8", Hex("01 00 80 05"), EApdu::NotBacnet, 0, 0, false, 0 },
        { "NPDU version 2", Hex("02 00 20 09 0f"), EApdu::NotBacnet, 0, 0, false, 0 },
        { "empty APDU", Hex("01 00"), EApdu::NotBacnet, 0, 0, false, 0 },
    };
    for (const SRow& row : rows) {
        for (const Bytes& frame : { Ip(row.npduApdu), BacnetEthernet(row.npduApdu) }) {
            const SBacnetFrame f = Parse(frame);
            EXPECT_EQ(f.eApdu, row.eApdu) << row.szName;
            if (f.eApdu == EApdu::NotBacnet)
                continue;
            EXPECT_EQ(f.uInvokeId, row.uInvokeId) << row.szName;
            EXPECT_EQ(f.uService, row.uService) << row.szName;
            EXPECT_EQ(f.bSegmented, row.bSegmented) << row.szName;
            EXPECT_EQ(f.uSequence, row.uSequence) << row.szName;
        }
    }
}

TEST(JudgeBacnetTest, ParametersThatDecideAVerdict)
{
    struct SRow {
        const char* szName;
        Bytes npduApdu;
        bool bCodes;
        uint32_t uClass, uCode;
        uint8_t uReason;
        bool bServer;
        bool bLimits;
        uint32_t uLow, uHigh;
        bool bDevice;
        uint32_t uDevice;
    };
    const SRow rows[] = {
        { "Error property/unknown-property", Hex("01 00 50 05 0c 91 02 91 20"), true, 2, 32, 0,
            false, false, 0, 0, false, 0 },
        { "Error inside a constructed [0]", Hex("01 00 50 05 0a 0e 91 01 91 1f 0f"), true, 1, 31, 0,
            false, false, 0, 0, false, 0 },
        { "Error with a two-byte code", Hex("01 00 50 05 0c 91 05 92 01 00"), true, 5, 256, 0,
            false, false, 0, 0, false, 0 },
        { "Error cut after its service", Hex("01 00 50 05 0c"), false, 0, 0, 0, false, false, 0, 0,
            false, 0 },
        { "Error with a context tag instead", Hex("01 00 50 05 0c 09 02 19 20"), false, 0, 0, 0,
            false, false, 0, 0, false, 0 },
        { "Reject unrecognized-service", Hex("01 00 60 05 09"), false, 0, 0, 9, false, false, 0, 0,
            false, 0 },
        { "Abort by the server", Hex("01 00 71 05 04"), false, 0, 0, 4, true, false, 0, 0, false,
            0 },
        { "Abort by the client", Hex("01 00 70 05 01"), false, 0, 0, 1, false, false, 0, 0, false,
            0 },
        { "Who-Is 100-200", Hex("01 00 10 08 09 64 1a 00 c8"), false, 0, 0, 0, false, true, 100,
            200, false, 0 },
        { "Who-Is without limits", Hex("01 00 10 08"), false, 0, 0, 0, false, false, 0, 0, false,
            0 },
        { "Who-Is with a low limit only", Hex("01 00 10 08 09 64"), false, 0, 0, 0, false, false, 0,
            0, false, 0 },
        { "Who-Is 0-4194303", Hex("01 00 10 08 09 00 1b 3f ff ff"), false, 0, 0, 0, false, true, 0,
            4194303, false, 0 },
        { "I-Am device,1234", Hex("01 00 10 00 c4 020004d2 22 01e0 91 00 21 0f"), false, 0, 0, 0,
            false, false, 0, 0, true, 1234 },
        { "I-Am of an analog input (not a device)", Hex("01 00 10 00 c4 000004d2"), false, 0, 0, 0,
            false, false, 0, 0, false, 0 },
        { "Who-Has 5-9 by name", Hex("01 00 10 07 09 05 19 09 3d 04 00 41 42 43"), false, 0, 0, 0,
            false, true, 5, 9, false, 0 },
        { "I-Have from device,7", Hex("01 00 10 01 c4 02000007 c4 00000001 75 04 00 41 42 43"),
            false, 0, 0, 0, false, false, 0, 0, true, 7 },
    };
    for (const SRow& row : rows) {
        const SBacnetFrame f = Parse(Ip(row.npduApdu));
        ASSERT_NE(f.eApdu, EApdu::NotBacnet) << row.szName;
        EXPECT_EQ(f.bHasErrorCodes, row.bCodes) << row.szName;
        EXPECT_EQ(f.uErrorClass, row.uClass) << row.szName;
        EXPECT_EQ(f.uErrorCode, row.uCode) << row.szName;
        EXPECT_EQ(f.uReason, row.uReason) << row.szName;
        EXPECT_EQ(f.bServer, row.bServer) << row.szName;
        EXPECT_EQ(f.bHasLimits, row.bLimits) << row.szName;
        EXPECT_EQ(f.uLowLimit, row.uLow) << row.szName;
        EXPECT_EQ(f.uHighLimit, row.uHigh) << row.szName;
        EXPECT_EQ(f.bHasDevice, row.bDevice) << row.szName;
        EXPECT_EQ(f.uDeviceInstance, row.uDevice) << row.szName;
    }
}

SStation St(std::initializer_list<uint8_t> bytes)
{
    SStation s;
    for (uint8_t b : bytes)
        s.bytes[s.uLength++] = b;
    return s;
}

TEST(JudgeBacnetTest, Addresses)
{
    const SStation a = St({ 10, 0, 0, 1, 0xba, 0xc0 });
    const SStation b = St({ 10, 0, 0, 2, 0xba, 0xc0 });
    const SStation macA = St({ 0x02, 0x76, 0x6d, 0x0a, 0x00, 0x01 });
    const SStation macB = St({ 0x02, 0x76, 0x6d, 0x0a, 0x00, 0x02 });
    const Bytes ack = Hex("20 05 0f");
    struct SRow {
        const char* szName;
        Bytes frame;
        bool bIp;
        SStation source, destination, bacnetSource;
        bool bDnet;
        uint16_t uDnet;
        SStation dadr;
        bool bSnet;
        uint16_t uSnet;
        SStation sadr;
    };
    const SRow rows[] = {
        { "BACnet/IP", Ip(Cat({ Hex("01 00"), ack })), true, a, b, a, false, 0, {}, false, 0, {} },
        { "BACnet/Ethernet", BacnetEthernet(Cat({ Hex("01 00"), ack })), false, macA, macB, macA,
            false, 0, {}, false, 0, {} },
        { "routed to DNET 5, DADR 07",
            Ip(Cat({ Hex("01 24 0005 01 07 ff"), Hex("00 05 05 0c 0c 00000001 19 55") })), true, a,
            b, a, true, 5, St({ 7 }), false, 0, {} },
        { "broadcast on DNET 5", Ip(Cat({ Hex("01 20 0005 00 ff"), Hex("10 08") })), true, a, b, a,
            true, 5, {}, false, 0, {} },
        { "from SNET 5, SADR 07", Ip(Cat({ Hex("01 08 0005 01 07"), ack })), true, a, b, a, false,
            0, {}, true, 5, St({ 7 }) },
        { "both, to an IP station",
            Ip(Cat({ Hex("01 28 0003 06 0a000009bac0 0005 01 07 fe"), ack })), true, a, b, a, true,
            3, St({ 10, 0, 0, 9, 0xba, 0xc0 }), true, 5, St({ 7 }) },
        { "Forwarded-NPDU from 10.0.0.7", BacnetIp(0x04, Cat({ Hex("0a000007 bac0 01 00"), ack })),
            true, a, b, St({ 10, 0, 0, 7, 0xba, 0xc0 }), false, 0, {}, false, 0, {} },
        { "802.1Q BACnet/IP",
            [&] {
                Bytes f = Ip(Cat({ Hex("01 00"), ack }));
                const Bytes t = Hex("8100 0005");
                f.insert(f.begin() + 12, t.begin(), t.end());
                return f;
            }(),
            true, a, b, a, false, 0, {}, false, 0, {} },
    };
    for (const SRow& row : rows) {
        const SBacnetFrame f = Parse(row.frame);
        ASSERT_NE(f.eApdu, EApdu::NotBacnet) << row.szName;
        EXPECT_EQ(f.bIp, row.bIp) << row.szName;
        EXPECT_EQ(f.linkSource, row.source) << row.szName;
        EXPECT_EQ(f.linkDestination, row.destination) << row.szName;
        EXPECT_EQ(BacnetSource(f), row.bacnetSource) << row.szName;
        EXPECT_EQ(f.bHasDnet, row.bDnet) << row.szName;
        EXPECT_EQ(f.uDnet, row.uDnet) << row.szName;
        EXPECT_EQ(f.dadr, row.dadr) << row.szName;
        EXPECT_EQ(f.bHasSnet, row.bSnet) << row.szName;
        EXPECT_EQ(f.uSnet, row.uSnet) << row.szName;
        EXPECT_EQ(f.sadr, row.sadr) << row.szName;
    }
}

TEST(JudgeBacnetTest, NotBacnet)
{
    const Bytes apdu = Hex("01 00 20 05 0f");
    Bytes laterFragment = Ipv4Frame(17, Udp(47808, 47808, Bvlc(0x0a, apdu)), -1, 185);
    Bytes ipOptions = Ipv4Frame(17, Udp(47808, 47808, Bvlc(0x0a, apdu)));
    {
        const Bytes opts = Hex("01010100");
        ipOptions.insert(ipOptions.begin() + 34, opts.begin(), opts.end());
        ipOptions[14] = 0x46;
        ipOptions[17] = static_cast<uint8_t>(ipOptions[17] + 4);
    }
    // A SimpleACK cut by the IP length: the rest is padding, not its service.
    Bytes cutByIpLength = Ipv4Frame(17, Udp(47808, 47808, Bvlc(0x0a, Hex("01 00 20 05"))));
    for (size_t i = 50; i < cutByIpLength.size(); ++i)
        cutByIpLength[i] = 0x0f;
    struct SRow {
        const char* szName;
        Bytes frame;
        EApdu eApdu;
    };
    const SRow rows[] = {
        { "IPv4 options before BACnet/IP", ipOptions, EApdu::SimpleAck },
        { "later fragment", laterFragment, EApdu::NotBacnet },
        { "ARP", EthernetII(0x0806, Hex("0001 0800 06 04 0001")), EApdu::NotBacnet },
        { "BVLC type 0x82", Ipv4Frame(17, Udp(47808, 47808, Hex("82 0a 0009 01 00 20 05 0f"))),
            EApdu::NotBacnet },
        { "BVLC longer than the datagram",
            Ipv4Frame(17, Udp(47808, 47808, Hex("81 0a 0020 01 00 20 05 0f"))), EApdu::NotBacnet },
        { "BVLC length below 4", Ipv4Frame(17, Udp(47808, 47808, Hex("81 0a 0002 01 00 20 05 0f"))),
            EApdu::NotBacnet },
        { "Register-Foreign-Device", BacnetIp(0x05, Hex("003c")), EApdu::BvlcOnly },
        { "padding is not payload", cutByIpLength, EApdu::NotBacnet },
        { "LLC 82 82 13", Ieee8023(Cat({ Hex("82 82 13"), apdu })), EApdu::NotBacnet },
        { "802.3 length cuts the APDU", Ieee8023(Cat({ Hex("82 82 03"), apdu }), 6),
            EApdu::NotBacnet },
        { "TCP", Ipv4Frame(6, Udp(47808, 47808, Bvlc(0x0a, apdu))), EApdu::NotBacnet },
        { "DADR of 7 bytes", Ip(Hex("01 20 0005 07 01020304050607 ff 20 05 0f")),
            EApdu::SimpleAck },
        { "DADR longer than 18",
            Ip(Hex("01 20 0005 13 0102030405060708090a0b0c0d0e0f10111213 ff 20 05 0f")),
            EApdu::NotBacnet },
        { "SADR of length 0", Ip(Hex("01 08 0005 00 20 05 0f")), EApdu::NotBacnet },
        { "Ethernet header only", Hex("02766d0a0002 02766d0a0001 0800"), EApdu::NotBacnet },
        { "13 bytes", Hex("02766d0a0002 02766d0a0001 08"), EApdu::NotBacnet },
    };
    for (const SRow& row : rows)
        EXPECT_EQ(Parse(row.frame).eApdu, row.eApdu) << row.szName;
    EXPECT_EQ(ParseBacnet(nullptr, 0).eApdu, EApdu::NotBacnet);
}

} // namespace
