// One table of frames held to one answer by the four parts that ask what a
// BACnet frame is: the locator and the decoder, the judge's parser, the aim,
// and the ear's filter (compiled by libpcap and run on each row, with and
// without an outer tag the kernel would have taken out).

#include "FrameBuilder.h"
#include "decode/Decoder.h"
#include "decode/Frame.h"
#include "judge/Bacnet.h"
#include "replay/Aim.h"
#include "replay/Ear.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

using namespace velmora;
using namespace vtest;

namespace {

const Bytes kReadProperty = Hex("01 04 00 05 01 0c 0c 02 00 00 01 19 55");
const Bytes kComplexAck = Hex("01 00 30 01 0c 0c 02 00 00 01 19 55 3e 44 41 ac 00 00 3f");
const Bytes kIAm = Hex("01 00 10 00 c4 02 00 00 cf 22 01 e0 91 00 21 07");

Bytes Tag(Bytes f, uint16_t uTpid)
{
    const Bytes tag = { uint8_t(uTpid >> 8), uint8_t(uTpid), 0x00, 0x05 };
    f.insert(f.begin() + 12, tag.begin(), tag.end());
    return f;
}

Bytes IpRp()
{
    return BacnetIp(0x0a, kReadProperty);
}

Bytes UdpBvlc(uint16_t uSrc, uint16_t uDst, const Bytes& npdu, uint16_t uFragment = 0)
{
    return Ipv4Frame(17, Udp(uSrc, uDst, Bvlc(0x0a, npdu)), -1, uFragment);
}

struct SRow {
    const char* szName;
    Bytes frame;
    bool bBacnet;
    uint32_t uTags;
    uint32_t uBvlcAt; // 0: none (BACnet/Ethernet, not BACnet)
    uint32_t uNpduAt; // 0: none
    uint32_t uApduAt; // 0: none
    uint32_t uEnd; // where the BACnet payload ends (0 when not BACnet)
    judge::EApdu eJudge; // what the judge sees
    EAimOutcome eAim; // with every address aimed
    decode::ERequestKind eKind;
};

void PrintTo(const SRow& row, std::ostream* pOut)
{
    *pOut << row.szName;
}

using judge::EApdu;
using K = decode::ERequestKind;

const SRow kRows[] = {
    { "BacnetIp", IpRp(), true, 0, 42, 46, 48, 59, EApdu::ConfirmedRequest, EAimOutcome::Aimed,
        K::Confirmed },
    { "BacnetIpTagged8100", Tag(IpRp(), 0x8100), true, 1, 46, 50, 52, 63, EApdu::ConfirmedRequest,
        EAimOutcome::Aimed, K::Confirmed },
    { "BacnetIpTagged88a8", Tag(IpRp(), 0x88a8), true, 1, 46, 50, 52, 63, EApdu::ConfirmedRequest,
        EAimOutcome::Aimed, K::Confirmed },
    { "BacnetIpTagged9100", Tag(IpRp(), 0x9100), true, 1, 46, 50, 52, 63, EApdu::ConfirmedRequest,
        EAimOutcome::Aimed, K::Confirmed },
    { "BacnetIpQinQ", Tag(Tag(IpRp(), 0x8100), 0x88a8), true, 2, 50, 54, 56, 67,
        EApdu::ConfirmedRequest, EAimOutcome::Aimed, K::Confirmed },
    { "BacnetIpTwo9100Then8100", Tag(Tag(IpRp(), 0x8100), 0x9100), true, 2, 50, 54, 56, 67,
        EApdu::ConfirmedRequest, EAimOutcome::Aimed, K::Confirmed },
    { "BacnetIpThreeTagsIsNot", Tag(Tag(Tag(IpRp(), 0x8100), 0x8100), 0x88a8), false, 0, 0, 0, 0, 0,
        EApdu::NotBacnet, EAimOutcome::NotBacnet, K::Skipped },
    { "BacnetEthernet", BacnetEthernet(kReadProperty), true, 0, 0, 17, 19, 30,
        EApdu::ConfirmedRequest, EAimOutcome::Aimed, K::Confirmed },
    { "BacnetEthernetTagged", Tag(BacnetEthernet(kReadProperty), 0x8100), true, 1, 0, 21, 23, 34,
        EApdu::ConfirmedRequest, EAimOutcome::Aimed, K::Confirmed },
    { "BacnetEthernetQinQ", Tag(Tag(BacnetEthernet(kReadProperty), 0x8100), 0x88a8), true, 2, 0, 25,
        27, 38, EApdu::ConfirmedRequest, EAimOutcome::Aimed, K::Confirmed },
    { "Llc8282With13IsNot", Ieee8023(Cat({ Hex("82 82 13"), kReadProperty })), false, 0, 0, 0, 0, 0,
        EApdu::NotBacnet, EAimOutcome::NotBacnet, K::Skipped },
    // A device answers from its own port to the port the client used.
    { "AnswerFrom47823ToAClientPort", UdpBvlc(47823, 50123, kComplexAck), true, 0, 42, 46, 48, 65,
        EApdu::ComplexAck, EAimOutcome::Aimed, K::Skipped },
    { "RequestFromAClientPortTo47808", UdpBvlc(50123, 47808, kReadProperty), true, 0, 42, 46, 48,
        59, EApdu::ConfirmedRequest, EAimOutcome::Aimed, K::Confirmed },
    { "Port47824IsNot", UdpBvlc(47824, 47824, kReadProperty), false, 0, 0, 0, 0, 0,
        EApdu::NotBacnet, EAimOutcome::NotBacnet, K::Skipped },
    { "Port47807IsNot", UdpBvlc(47807, 47807, kReadProperty), false, 0, 0, 0, 0, 0,
        EApdu::NotBacnet, EAimOutcome::NotBacnet, K::Skipped },
    { "Port53CarryingBvlcIsNot", UdpBvlc(53, 53, kReadProperty), false, 0, 0, 0, 0, 0,
        EApdu::NotBacnet, EAimOutcome::NotBacnet, K::Skipped },
    { "BvlcType82OnIpv4IsNot",
        Ipv4Frame(17, Udp(47808, 47808, Cat({ Hex("82 0a 00 11"), kReadProperty }))), false, 0, 0,
        0, 0, 0, EApdu::NotBacnet, EAimOutcome::NotBacnet, K::Skipped },
    { "UdpTooShortForABvlcIsNot", Ipv4Frame(17, Udp(47808, 47808, Hex("81 0a"))), false, 0, 0, 0, 0,
        0, EApdu::NotBacnet, EAimOutcome::TooShort, K::Skipped },
    { "TcpIsNot", Ipv4Frame(6, Udp(47808, 47808, Bvlc(0x0a, kReadProperty))), false, 0, 0, 0, 0, 0,
        EApdu::NotBacnet, EAimOutcome::NotBacnet, K::Skipped },
    { "LaterFragmentIsNot", UdpBvlc(47808, 47808, kReadProperty, 185), false, 0, 0, 0, 0, 0,
        EApdu::NotBacnet, EAimOutcome::IpFragment, K::Skipped },
    // BACnet, but its UDP checksum covers bytes the aim cannot see.
    { "FirstFragmentIsNotAimed", UdpBvlc(47808, 47808, kReadProperty, 0x2000), true, 0, 42, 46, 48,
        59, EApdu::ConfirmedRequest, EAimOutcome::IpFragment, K::Confirmed },
    { "RoutedWhoIs", BacnetIp(0x0b, Hex("01 20 ff ff 00 ff 10 08")), true, 0, 42, 46, 52, 54,
        EApdu::UnconfirmedRequest, EAimOutcome::Aimed, K::Unconfirmed },
    { "IAmIsNoRequest", BacnetIp(0x0b, kIAm), true, 0, 42, 46, 48, 62, EApdu::UnconfirmedRequest,
        EAimOutcome::Aimed, K::Skipped },
    { "WhoIsRouterToNetwork", BacnetIp(0x0b, Hex("01 80 00")), true, 0, 42, 46, 0, 49,
        EApdu::NetworkMessage, EAimOutcome::Aimed, K::RouterQuery },
    { "ForwardedNpdu", BacnetIp(0x04, Cat({ Hex("0a 00 00 07 ba c0"), kReadProperty })), true, 0,
        42, 52, 54, 65, EApdu::ConfirmedRequest, EAimOutcome::Aimed, K::Confirmed },
    { "RegisterForeignDevice", BacnetIp(0x05, Hex("00 3c")), true, 0, 42, 0, 0, 48, EApdu::BvlcOnly,
        EAimOutcome::Aimed, K::Skipped },
    // The IP total length ends the datagram: the padding after it is no APDU.
    { "PaddingIsNoPayload",
        [] {
            Bytes f = BacnetIp(0x0a, Hex("01 00 20 05"));
            for (size_t i = 50; i < f.size(); ++i)
                f[i] = 0x0f;
            return f;
        }(),
        true, 0, 42, 46, 48, 50, EApdu::NotBacnet, EAimOutcome::Aimed, K::Skipped },
    { "Arp", EthernetII(0x0806, Hex("0001 0800 06 04 0001 02766d0a0001 0a000001")), false, 0, 0, 0,
        0, 0, EApdu::NotBacnet, EAimOutcome::NotBacnet, K::Skipped },
};

class FrameRuleTest : public ::testing::TestWithParam<SRow> { };

TEST_P(FrameRuleTest, TheLocatorFindsTheLayers)
{
    const SRow& row = GetParam();
    const decode::SFrameLayout f = decode::LocateFrame(row.frame.data(), row.frame.size());
    ASSERT_EQ(f.IsBacnet(), row.bBacnet);
    EXPECT_EQ(decode::ClassifyRequest(row.frame.data(), row.frame.size()), row.eKind);
    if (!row.bBacnet)
        return;
    EXPECT_EQ(f.uTags, row.uTags);
    EXPECT_EQ(f.uBvlcAt, row.uBvlcAt);
    EXPECT_EQ(f.uNpduAt, row.uNpduAt);
    EXPECT_EQ(f.uApduAt, row.uApduAt);
    EXPECT_EQ(f.uEnd, row.uEnd);
}

// The decoder's rows and trees: BACnet where the rule says, its layers where
// the locator found them.
TEST_P(FrameRuleTest, TheDecoderAgrees)
{
    const SRow& row = GetParam();
    vdecode::SFrame frame;
    frame.pData = row.frame.data();
    frame.header.uCapLen = frame.header.uWireLen = static_cast<uint32_t>(row.frame.size());
    std::vector<vdecode::SField> tree;
    const vdecode::SRow decoded = vdecode::DecodeTree(frame, &tree);
    const bool bBacnet = decoded.csProtocol == "BACnet/IP"
        || decoded.csProtocol == "BACnet/Ethernet" || decoded.csProtocol == "BVLC";
    EXPECT_EQ(bBacnet, row.bBacnet) << decoded.csProtocol << ": " << decoded.csInfo;
    auto At = [&](const char* szName) -> uint32_t {
        for (const vdecode::SField& field : tree)
            if (field.csName == szName)
                return field.uOffset;
        return 0;
    };
    EXPECT_EQ(At("BVLC"), row.uBvlcAt);
    EXPECT_EQ(At("NPDU"), row.uNpduAt);
    EXPECT_EQ(At("APDU"), row.uApduAt);
}

TEST_P(FrameRuleTest, TheJudgeAgrees)
{
    const SRow& row = GetParam();
    EXPECT_EQ(judge::ParseBacnet(row.frame.data(), row.frame.size()).eApdu, row.eJudge);
}

TEST_P(FrameRuleTest, TheAimAgrees)
{
    const SRow& row = GetParam();
    SAimPlan plan;
    plan.bDstMac = plan.bSrcMac = plan.bDstIp = plan.bSrcIp = true;
    plan.dstMac = { 0x02, 0, 0, 0, 0, 0x2a };
    plan.srcMac = { 0x02, 0, 0, 0, 0, 0x2b };
    plan.dstIp = { 192, 168, 7, 42 };
    plan.srcIp = { 192, 168, 7, 5 };
    Bytes f = row.frame;
    EXPECT_EQ(AimOutcomeText(AimFrame(plan, f)), std::string(AimOutcomeText(row.eAim)));
    EXPECT_EQ(f != row.frame, row.eAim == EAimOutcome::Aimed);
}

// Runs the ear's rule for a frame holding up to uTags tags.
bool Heard(const Bytes& frame, uint32_t uTags)
{
    pcap_t* p = pcap_open_dead(DLT_EN10MB, 65535);
    bpf_program program {};
    const std::string cs = BacnetFilterExpression(uTags);
    if (pcap_compile(p, &program, cs.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        ADD_FAILURE() << pcap_geterr(p) << ": " << cs;
        pcap_close(p);
        return false;
    }
    pcap_pkthdr h {};
    h.caplen = h.len = static_cast<bpf_u_int32>(frame.size());
    const bool bHeard = pcap_offline_filter(&program, &h, frame.data()) != 0;
    pcap_freecode(&program);
    pcap_close(p);
    return bHeard;
}

TEST_P(FrameRuleTest, TheEarsFilterAgrees)
{
    const SRow& row = GetParam();
    EXPECT_EQ(Heard(row.frame, decode::kMaxVlanTags), row.bBacnet);
    // The kernel moves an outer 802.1Q or 802.1ad tag aside before the filter
    // runs: the rest of the frame, with one tag fewer allowed, has the same answer.
    const uint16_t uOuter = static_cast<uint16_t>(row.frame[12] << 8 | row.frame[13]);
    if (uOuter == 0x8100 || uOuter == 0x88a8) {
        Bytes stripped = row.frame;
        stripped.erase(stripped.begin() + 12, stripped.begin() + 16);
        EXPECT_EQ(Heard(stripped, decode::kMaxVlanTags - 1), row.bBacnet);
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, FrameRuleTest, ::testing::ValuesIn(kRows),
    [](const ::testing::TestParamInfo<SRow>& info) { return std::string(info.param.szName); });

// The program the ear attaches: both halves compiled, and the kernel's limit kept.
TEST(FrameRuleTest, TheEarsProgramIsBuilt)
{
    const std::vector<SFilterInstruction>& program = BacnetFilterProgram();
    ASSERT_GT(program.size(), 6u);
    EXPECT_LE(program.size(), 4096u);
}

} // namespace
