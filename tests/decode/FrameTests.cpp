// One table of frames held to one answer by the four parts that ask what a
// BACnet frame is: the locator and the decoder, the judge's parser, the aim,
// and the ear's filter (compiled by libpcap and run on each row, with and
// without an outer tag the kernel would have taken out).

#include "FrameBuilder.h"
#include "decode/Decoder.h"
#include "decode/Frame.h"
#include "decode/FrameEdit.h"
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
    frame::ERequestKind eKind;
};

void PrintTo(const SRow& row, std::ostream* pOut)
{
    *pOut << row.szName;
}

using judge::EApdu;
using K = frame::ERequestKind;

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
    const frame::SFrameLayout f = frame::LocateFrame(row.frame.data(), row.frame.size());
    ASSERT_EQ(f.IsBacnet(), row.bBacnet);
    EXPECT_EQ(frame::ClassifyRequest(row.frame.data(), row.frame.size()), row.eKind);
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
    dissect::SFrame frame;
    frame.pData = row.frame.data();
    frame.header.uCapLen = frame.header.uWireLen = static_cast<uint32_t>(row.frame.size());
    std::vector<dissect::SField> tree;
    const dissect::SRow decoded = dissect::DecodeTree(frame, &tree);
    const bool bBacnet = decoded.csProtocol == "BACnet/IP"
        || decoded.csProtocol == "BACnet/Ethernet" || decoded.csProtocol == "BVLC";
    EXPECT_EQ(bBacnet, row.bBacnet) << decoded.csProtocol << ": " << decoded.csInfo;
    auto At = [&](const char* szName) -> uint32_t {
        for (const dissect::SField& field : tree)
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
    EXPECT_EQ(Heard(row.frame, frame::kMaxVlanTags), row.bBacnet);
    // The kernel moves an outer 802.1Q or 802.1ad tag aside before the filter
    // runs: the rest of the frame, with one tag fewer allowed, has the same answer.
    const uint16_t uOuter = static_cast<uint16_t>(row.frame[12] << 8 | row.frame[13]);
    if (uOuter == 0x8100 || uOuter == 0x88a8) {
        Bytes stripped = row.frame;
        stripped.erase(stripped.begin() + 12, stripped.begin() + 16);
        EXPECT_EQ(Heard(stripped, frame::kMaxVlanTags - 1), row.bBacnet);
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

// ---------------------------------------------------------------------------
// The frame editor against checksums summed from scratch by the test support.

// readProperty device,1 present-value with invoke ID 5 at byte 50 (IPv4 at
// 14, UDP at 34, BVLC at 42, NPDU at 46, APDU at 48): an odd UDP datagram
// whose last byte is 58, then one byte of padding.
const char* const kRp = "01 04 00 05 05 0c 0c 02000001 19 55";

Bytes RpFrame(bool bUdpSum = true)
{
    return Checksummed(BacnetIp(0x0a, Hex(kRp)), bUdpSum);
}

// A checksum as the sending host's capture holds it: its NIC was to fill it in.
Bytes Nic(Bytes f, size_t nAt)
{
    f[nAt] ^= 0x5a;
    f[nAt + 1] ^= 0x0f;
    return f;
}

// Padding that is not zero: no sum may count it.
Bytes Padded(Bytes f)
{
    f.back() = 0xee;
    return f;
}

Bytes With(Bytes f, size_t nAt, const Bytes& put)
{
    std::copy(put.begin(), put.end(), f.begin() + static_cast<std::ptrdiff_t>(nAt));
    return f;
}

Bytes Vlan(const Bytes& f)
{
    Bytes v(f.begin(), f.begin() + 12);
    const Bytes tag = Hex("8100 0005");
    v.insert(v.end(), tag.begin(), tag.end());
    v.insert(v.end(), f.begin() + 12, f.end());
    return v;
}

struct SEditRow {
    const char* szName;
    Bytes in;
    void (*edit)(frame::CFrameEdit&);
    bool bKeep;
    Bytes want; // summed by the test support
};

void PrintTo(const SEditRow& row, std::ostream* pOut)
{
    *pOut << row.szName;
}

class FrameEditTest : public ::testing::TestWithParam<SEditRow> { };

const SEditRow kEditRows[] = {
    { "RightUdpSumFollowsTheInvokeId", RpFrame(), [](frame::CFrameEdit& e) { e.Put8(50, 0x33); },
        false, Checksummed(With(RpFrame(), 50, { 0x33 })) },
    { "WrongUdpSumIsComputedAfresh", Nic(RpFrame(), 40),
        [](frame::CFrameEdit& e) { e.Put8(50, 0x33); }, false,
        Checksummed(With(RpFrame(), 50, { 0x33 })) },
    { "WrongIpSumIsComputedAfresh", Nic(RpFrame(), 24),
        [](frame::CFrameEdit& e) { e.Put(6, Hex("02aabbccddee").data(), 6); }, false,
        Checksummed(With(RpFrame(), 6, Hex("02aabbccddee"))) },
    { "BothWrongAndNothingEditedAreMended", Nic(Nic(RpFrame(), 24), 40), [](frame::CFrameEdit&) {},
        false, RpFrame() },
    { "UdpSumZeroStaysZero", RpFrame(false), [](frame::CFrameEdit& e) { e.Put8(50, 0x33); }, false,
        Checksummed(With(RpFrame(false), 50, { 0x33 }), false) },
    { "AddressesInThePseudoHeader", RpFrame(),
        [](frame::CFrameEdit& e) {
            e.Put(14 + 12, Hex("c0a80705").data(), 4);
            e.Put16(34, 47900);
        },
        false, Checksummed(With(With(RpFrame(), 14 + 12, Hex("c0a80705")), 34, Hex("bb1c"))) },
    { "TaggedFrame", Vlan(RpFrame()), [](frame::CFrameEdit& e) { e.Put8(54, 0x33); }, false,
        Checksummed(Vlan(With(RpFrame(), 50, { 0x33 }))) },
    // An odd datagram: its last byte is the high half of a word, and the
    // padding after it is never summed.
    { "OddDatagramLastByte", Padded(RpFrame()), [](frame::CFrameEdit& e) { e.Put8(58, 0x56); },
        false, Padded(Checksummed(BacnetIp(0x0a, Hex("01 04 00 05 05 0c 0c 02000001 19 56")))) },
    { "OddDatagramWrongSumPaddingLeftOut", Padded(Nic(RpFrame(), 40)), [](frame::CFrameEdit&) {},
        false, Padded(RpFrame()) },
    // A new payload: every length from it, padding of zeros up to 60 and no
    // further, both sums anew.
    { "ShorterPayloadIsPaddedWithZeros",
        [] {
            Bytes f = RpFrame();
            f.back() = 0xee;
            return f;
        }(),
        [](frame::CFrameEdit& e) { e.SetPayload(46, Hex("01 00 10 08").data(), 4); }, false,
        Checksummed(BacnetIp(0x0a, Hex("01 00 10 08"))) },
    { "LongerPayloadIsNotPadded", RpFrame(),
        [](frame::CFrameEdit& e) {
            const Bytes b = Hex("01 24 0009 06 02000000002a ff 00 05 05 0c 0c 02000001 19 55");
            e.SetPayload(46, b.data(), b.size());
        },
        false,
        Checksummed(
            BacnetIp(0x0a, Hex("01 24 0009 06 02000000002a ff 00 05 05 0c 0c 02000001 19 55"))) },
    { "NewPayloadKeepsUdpSumZero", RpFrame(false),
        [](frame::CFrameEdit& e) { e.SetPayload(46, Hex("01 00 10 08").data(), 4); }, false,
        Checksummed(BacnetIp(0x0a, Hex("01 00 10 08")), false) },
    { "OurOwnFramesGetARealUdpSum", RpFrame(false),
        [](frame::CFrameEdit& e) {
            e.WantUdpChecksum();
            e.SetPayload(48, Hex("40 05 00 02").data(), 4);
        },
        false, Checksummed(BacnetIp(0x0a, Hex("01 04 40 05 00 02"))) },
    { "Ieee8023LengthFollows", BacnetEthernet(Hex(kRp)),
        [](frame::CFrameEdit& e) { e.SetPayload(17, Hex("01 00 10 08").data(), 4); }, false,
        BacnetEthernet(Hex("01 00 10 08")) },
    { "Ieee8023LongerPayload", BacnetEthernet(Hex("01 00 10 08")),
        [](frame::CFrameEdit& e) {
            const Bytes b = Cat({ Hex(kRp), Bytes(40, 0x55) });
            e.SetPayload(17, b.data(), b.size());
        },
        false, BacnetEthernet(Cat({ Hex(kRp), Bytes(40, 0x55) })) },
    // A frame the capture cut: the sum cannot be checked, so it is updated.
    { "CutFrameIsUpdated",
        [] {
            Bytes f = RpFrame();
            f.resize(52);
            return f;
        }(),
        [](frame::CFrameEdit& e) { e.Put8(50, 0x33); }, false,
        [] {
            Bytes f = Checksummed(With(RpFrame(), 50, { 0x33 }));
            f.resize(52);
            return f;
        }() },
};

TEST_P(FrameEditTest, ChecksumsComeOutAsSummedFromScratch)
{
    const SEditRow& row = GetParam();
    Bytes f = row.in;
    f.resize(row.in.size() + 128);
    const frame::SFrameLayout layout = frame::LocateFrame(row.in.data(), row.in.size());
    ASSERT_TRUE(layout.IsBacnet());
    frame::CFrameEdit edit(f.data(), static_cast<uint32_t>(row.in.size()),
        static_cast<uint32_t>(f.size()), layout, row.bKeep);
    row.edit(edit);
    f.resize(edit.Finish());
    EXPECT_EQ(f, row.want);
    if (row.want.size() >= 60 || row.want.size() == row.in.size()) {
        const SChecksumsHold hold = ChecksumsHold(f);
        EXPECT_TRUE(hold.bIp && hold.bUdp);
    }
}

INSTANTIATE_TEST_SUITE_P(Edits, FrameEditTest, ::testing::ValuesIn(kEditRows),
    [](const ::testing::TestParamInfo<SEditRow>& info) { return std::string(info.param.szName); });

// Kept as captured: a wrong sum stays as far off as it was, whatever changed.
TEST(FrameEditTest, AKeptWrongSumStaysAsWrong)
{
    auto off = [](const Bytes& b, size_t nAt) {
        const Bytes right = Checksummed(b);
        const int i = (b[nAt] << 8 | b[nAt + 1]) - (right[nAt] << 8 | right[nAt + 1]);
        return (i % 0xffff + 0xffff) % 0xffff;
    };
    for (const size_t nAt : { size_t { 24 }, size_t { 40 } }) {
        SCOPED_TRACE(nAt);
        const Bytes in = Nic(RpFrame(), nAt);
        Bytes f = in;
        frame::CFrameEdit edit(f.data(), static_cast<uint32_t>(f.size()),
            static_cast<uint32_t>(f.size()), frame::LocateFrame(in.data(), in.size()), true);
        EXPECT_TRUE(edit.Before().AnyWrong());
        edit.Put(14 + 16, Hex("c0a8072a").data(), 4);
        edit.Put8(50, 0x33);
        edit.Finish();
        EXPECT_EQ(f[50], 0x33);
        EXPECT_NE(off(f, nAt), 0);
        EXPECT_EQ(off(f, nAt), off(in, nAt));
    }
}

// What the checks say, and that MendChecksums leaves right ones alone.
TEST(FrameEditTest, ChecksAndMends)
{
    const struct {
        const char* szName;
        Bytes frame;
        frame::ESum eIp, eUdp;
    } rows[] = {
        { "right", RpFrame(), frame::ESum::Right, frame::ESum::Right },
        { "UDP none", RpFrame(false), frame::ESum::Right, frame::ESum::None },
        { "UDP left to the NIC", Nic(RpFrame(), 40), frame::ESum::Right, frame::ESum::Wrong },
        { "IP left to the NIC", Nic(RpFrame(), 24), frame::ESum::Wrong, frame::ESum::Right },
        { "cut short",
            [] {
                Bytes f = RpFrame();
                f.resize(52);
                return f;
            }(),
            frame::ESum::Right, frame::ESum::Absent },
        { "BACnet/Ethernet", BacnetEthernet(Hex(kRp)), frame::ESum::Absent, frame::ESum::Absent },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szName);
        const frame::SChecksums sums = frame::CheckFrame(row.frame.data(), row.frame.size());
        EXPECT_EQ(sums.eIp, row.eIp);
        EXPECT_EQ(sums.eUdp, row.eUdp);
        Bytes f = row.frame;
        const frame::SFrameLayout layout = frame::LocateFrame(f.data(), f.size());
        EXPECT_EQ(frame::MendChecksums(f.data(), f.size(), layout), sums.AnyWrong());
        EXPECT_EQ(f == row.frame, !sums.AnyWrong());
        EXPECT_FALSE(frame::CheckFrame(f.data(), f.size()).AnyWrong());
    }
}

} // namespace
