// The ear's filter, run by the kernel: frames sent by the peer of a veth pair
// in a namespace, heard (or not) on the other end.
#include "FrameBuilder.h"
#include "NetNs.h"
#include "replay/Ear.h"
#include "replay/SendSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#ifndef SO_LOCK_FILTER
#define SO_LOCK_FILTER 44
#endif

using namespace velmora;
using namespace vtest;

namespace {

// A raw sender bound to one interface of the namespace (open it inside).
class CRawSender {
public:
    explicit CRawSender(const char* szIf)
    {
        m_fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        sockaddr_ll sll {};
        sll.sll_family = AF_PACKET;
        sll.sll_ifindex = static_cast<int>(if_nametoindex(szIf));
        if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~CRawSender()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }
    bool Send(const Bytes& frame) const
    {
        return send(m_fd, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
    }

private:
    int m_fd = -1;
};

// Everything heard until nothing more came for iQuietMs.
std::vector<SHeardFrame> HearAll(CEar& ear, int iQuietMs = 200)
{
    std::vector<SHeardFrame> heard;
    while (ear.Read(heard, iQuietMs) > 0) { }
    return heard;
}

Bytes Bytes16(uint16_t u)
{
    return { uint8_t(u >> 8), uint8_t(u) };
}

// IPv4 UDP between the given ports, carrying payload.
Bytes UdpFrame(uint16_t uSrc, uint16_t uDst, const Bytes& payload, uint16_t uFragment = 0)
{
    return Ipv4Frame(17, Udp(uSrc, uDst, payload), -1, uFragment);
}

const Bytes kNpduApdu = Hex("01 04 00 05 01 0c 0c 02 00 00 01 19 55"); // readProperty

Bytes Bvll()
{
    return Bvlc(0x0a, kNpduApdu);
}

// An IPv4 frame with four bytes of options (header length 6 words).
Bytes WithIpOptions(Bytes frame, const Bytes& options, uint8_t uIhl = 6)
{
    frame.insert(frame.begin() + 34, options.begin(), options.end());
    frame[14] = static_cast<uint8_t>(0x40 | uIhl);
    const unsigned uTotal = (frame[16] << 8 | frame[17]) + options.size();
    frame[16] = uint8_t(uTotal >> 8);
    frame[17] = uint8_t(uTotal);
    return frame;
}

// The frame with one 802.1Q tag (VLAN 5) after the addresses.
Bytes Tagged(Bytes frame, uint16_t uTpid = 0x8100)
{
    const Bytes tag = Cat({ Bytes16(uTpid), Hex("00 05") });
    frame.insert(frame.begin() + 12, tag.begin(), tag.end());
    return frame;
}

struct SRow {
    const char* szName;
    Bytes frame;
    bool bHeard;
};

std::vector<SRow> Rows()
{
    Bytes laterFragment = UdpFrame(47808, 47808, Bvll(), 185);
    Bytes truncated = UdpFrame(47808, 47808, Bvll());
    truncated.resize(30);
    Bytes arp = EthernetII(
        ETH_P_ARP, Hex("0001 0800 06 04 0001 02766d0a0001 0a000001 000000000000 0a000002"));
    return {
        { "BACnet/Ethernet", BacnetEthernet(kNpduApdu), true },
        { "LLC 82 82 with another control", Ieee8023(Cat({ Hex("82 82 13"), kNpduApdu })), false },
        { "LLC AA AA 03 (SNAP)", Ieee8023(Cat({ Hex("aa aa 03 000000 0800"), kNpduApdu })), false },
        { "EtherType 0x8282", EthernetII(0x8282, Cat({ Hex("03"), kNpduApdu })), false },
        { "ARP", arp, false },
        { "BACnet/IP 47808 to 47808", UdpFrame(47808, 47808, Bvll()), true },
        { "BACnet/IP answer to a client port", UdpFrame(47808, 50123, Bvll()), true },
        { "BACnet/IP from a client port", UdpFrame(50123, 47823, Bvll()), true },
        { "UDP 47824 both ways", UdpFrame(47824, 47824, Bvll()), false },
        { "UDP 47807 both ways", UdpFrame(47807, 47807, Bvll()), false },
        { "UDP 47808 without BVLC 0x81",
            UdpFrame(47808, 47808, Cat({ Hex("82 0a 00 11"), kNpduApdu })), false },
        { "UDP 53 carrying 0x81", UdpFrame(53, 53, Bvll()), false },
        { "TCP 47808", Ipv4Frame(6, Udp(47808, 47808, Bvll())), false },
        { "IPv4 options before BACnet/IP",
            WithIpOptions(UdpFrame(47808, 47808, Bvll()), Hex("01 01 01 00")), true },
        // Read with a fixed 20-byte header, the options look like ports 47808.
        { "IPv4 options looking like BACnet ports",
            WithIpOptions(UdpFrame(53, 53, Hex("00 00 81 0a")), Hex("ba c0 ba c0")), false },
        { "IPv4 header length 4", WithIpOptions(UdpFrame(47808, 47808, Bvll()), {}, 4), false },
        { "first fragment", UdpFrame(47808, 47808, Bvll(), 0x2000), true },
        { "later fragment starting like BACnet/IP", laterFragment, false },
        { "IPv6",
            EthernetII(ETH_P_IPV6,
                Cat({ Hex("60 00 00 00 0014 11 40"), Bytes(32, 0), Udp(47808, 47808, Bvll()) })),
            false },
        { "802.1Q BACnet/IP", Tagged(UdpFrame(47808, 47808, Bvll())), true },
        { "802.1Q BACnet/Ethernet", Tagged(BacnetEthernet(kNpduApdu)), true },
        { "802.1Q ARP", Tagged(arp), false },
        { "two 802.1Q tags", Tagged(Tagged(UdpFrame(47808, 47808, Bvll()))), false },
        { "truncated IPv4", truncated, false },
    };
}

TEST(EarTest, TheFilterHearsIncomingBacnetOnly)
{
    CNetns ns("ear");
    VTEST_REQUIRE_NETNS(ns);
    CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    const int iEar = OpenEarSocket();
    ASSERT_GE(iEar, 0) << std::strerror(errno);
    CRawSender peer(CNetns::PeerIf());
    CRawSender self(CNetns::SendIf());
    ASSERT_TRUE(peer.Ok() && self.Ok());
    const std::vector<SRow> rows = Rows();

    // Before a Start the ear hears nothing at all.
    for (const SRow& row : rows)
        ASSERT_TRUE(peer.Send(row.frame)) << row.szName;
    {
        CEar ear(iEar);
        std::string csError;
        ASSERT_TRUE(ear.Start(CNetns::SendIf(), csError)) << csError;
        EXPECT_TRUE(HearAll(ear, 100).empty());
        EXPECT_NE(ShellOutput(ns.ExecPrefix() + "ip -d link show vm0").find("promiscuity 1"),
            std::string::npos);

        for (const SRow& row : rows) {
            ASSERT_TRUE(peer.Send(row.frame)) << row.szName;
            // Our own frames leaving the adapter are not answers.
            ASSERT_TRUE(self.Send(row.frame)) << row.szName;
        }
        const std::vector<SHeardFrame> heard = HearAll(ear);
        size_t nNext = 0;
        for (const SRow& row : rows) {
            const bool bHeard = nNext < heard.size() && heard[nNext].bytes == row.frame;
            EXPECT_EQ(bHeard, row.bHeard) << row.szName;
            if (bHeard) {
                EXPECT_EQ(heard[nNext].uWireLength, row.frame.size()) << row.szName;
                EXPECT_GT(heard[nNext].llNs, 0) << row.szName;
                ++nNext;
            }
        }
        EXPECT_EQ(nNext, heard.size()) << "frames heard that no row sent";
        ear.Stop();
        EXPECT_EQ(ShellOutput(ns.ExecPrefix() + "ip -d link show vm0").find("promiscuity 1"),
            std::string::npos);
    }

    // Stopped, it is deaf again, and a new Start hears only what comes after it.
    for (const SRow& row : rows)
        ASSERT_TRUE(peer.Send(row.frame));
    CEar again(iEar);
    std::string csError;
    ASSERT_TRUE(again.Start(CNetns::SendIf(), csError)) << csError;
    EXPECT_TRUE(HearAll(again, 100).empty());
    ASSERT_TRUE(peer.Send(rows[0].frame));
    const std::vector<SHeardFrame> heard = HearAll(again);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].bytes, rows[0].frame);
    again.Stop();
    close(iEar);
}

TEST(EarTest, NobodyLiftsOrReplacesTheFilter)
{
    const int iEar = OpenEarSocket();
    if (iEar < 0)
        GTEST_SKIP() << "no packet socket: " << std::strerror(errno);
    sock_filter acceptAll[] = { BPF_STMT(BPF_RET | BPF_K, 0x40000) };
    sock_fprog prog { 1, acceptAll };
    const int iZero = 0;
    struct SCase {
        const char* szWhat;
        int iOption;
        const void* pValue;
        socklen_t nLength;
    };
    for (const SCase& c : { SCase { "detach", SO_DETACH_FILTER, &iZero, sizeof iZero },
             SCase { "replace", SO_ATTACH_FILTER, &prog, sizeof prog },
             SCase { "unlock", SO_LOCK_FILTER, &iZero, sizeof iZero } }) {
        errno = 0;
        EXPECT_EQ(setsockopt(iEar, SOL_SOCKET, c.iOption, c.pValue, c.nLength), -1) << c.szWhat;
        EXPECT_EQ(errno, EPERM) << c.szWhat;
    }
    close(iEar);
}

TEST(EarTest, SendStampsComeBackNumberedInSendOrder)
{
    CNetns ns("stamps");
    VTEST_REQUIRE_NETNS(ns);
    CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    CSocketSink sink;
    std::string csError;
    ASSERT_TRUE(sink.Open(CNetns::SendIf(), csError)) << csError;
    ASSERT_TRUE(SetSendStamps(sink.Fd(), true)) << std::strerror(errno);
    timespec before {};
    clock_gettime(CLOCK_REALTIME, &before);
    const Bytes frame = UdpFrame(47808, 47808, Bvll());
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(sink.Transmit(frame.data(), static_cast<uint32_t>(frame.size())));
    // A batch too.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sink.Stage(frame.data(), static_cast<uint32_t>(frame.size())));
    std::vector<IPacketSink::SRefused> refused;
    sink.Flush(refused);
    ASSERT_TRUE(refused.empty());
    std::vector<SSendStamp> stamps;
    for (int i = 0; i < 50 && stamps.size() < 8; ++i) {
        ReadSendStamps(sink.Fd(), stamps);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(stamps.size(), 8u);
    const int64_t llBefore = int64_t(before.tv_sec) * 1000000000 + before.tv_nsec;
    for (uint32_t i = 0; i < stamps.size(); ++i) {
        EXPECT_EQ(stamps[i].uId, i);
        EXPECT_GE(stamps[i].llNs, llBefore);
        EXPECT_LT(stamps[i].llNs, llBefore + 1000000000);
        if (i > 0) {
            EXPECT_GE(stamps[i].llNs, stamps[i - 1].llNs);
        }
    }
    // Off and on again counts from 0.
    ASSERT_TRUE(SetSendStamps(sink.Fd(), false));
    ASSERT_TRUE(SetSendStamps(sink.Fd(), true));
    ASSERT_TRUE(sink.Transmit(frame.data(), static_cast<uint32_t>(frame.size())));
    stamps.clear();
    for (int i = 0; i < 50 && stamps.empty(); ++i) {
        ReadSendStamps(sink.Fd(), stamps);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_EQ(stamps[0].uId, 0u);
    SetSendStamps(sink.Fd(), false);
}

} // namespace
