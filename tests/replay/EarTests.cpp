// The ear's filter, run by the kernel: frames sent by the peer of a veth pair
// in a namespace, heard (or not) on the other end.
#include "FrameBuilder.h"
#include "NetNs.h"
#include "replay/Ear.h"
#include "replay/Listen.h"
#include "replay/SendSocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
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
        { "BACnet/IP answer from 47823 to a client port", UdpFrame(47823, 50123, Bvll()), true },
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
        { "two 802.1Q tags", Tagged(Tagged(UdpFrame(47808, 47808, Bvll()))), true },
        { "802.1ad over 802.1Q", Tagged(Tagged(UdpFrame(47808, 47808, Bvll())), 0x88a8), true },
        { "0x9100 BACnet/Ethernet", Tagged(BacnetEthernet(kNpduApdu), 0x9100), true },
        { "0x9100 over 802.1Q", Tagged(Tagged(BacnetEthernet(kNpduApdu)), 0x9100), true },
        { "three tags", Tagged(Tagged(Tagged(UdpFrame(47808, 47808, Bvll()))), 0x88a8), false },
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
    // In blocks, then frame by frame (a conversation's), on the one process ear.
    for (const bool bPrompt : { false, true }) {
        SCOPED_TRACE(bPrompt ? "prompt" : "in blocks");
        CEar ear(iEar);
        ear.SetPrompt(bPrompt);
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

    // Stopped, it is deaf again, and a new Start (in blocks again) hears only
    // what comes after it.
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

// Heard frames are stamped by the kernel as they arrive; a burst longer than
// any socket queue is kept whole while nobody reads.
TEST(EarTest, ABurstOfTenThousandIsHeardWholeInOrder)
{
    CNetns ns("earburst");
    VTEST_REQUIRE_NETNS(ns);
    CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    CRawSender peer(CNetns::PeerIf());
    ASSERT_TRUE(peer.Ok());
    CEar ear;
    std::string csError;
    ASSERT_TRUE(ear.Start(CNetns::SendIf(), csError)) << csError;
    timespec before {};
    clock_gettime(CLOCK_REALTIME, &before);
    constexpr uint32_t kFrames = 10000;
    for (uint32_t u = 0; u < kFrames; ++u) {
        const Bytes frame = UdpFrame(47808, 47808,
            Cat({ Hex("81 0a 00 14 01 00 10 08 00 00 00 00 00 00 00 00"),
                { uint8_t(u >> 24), uint8_t(u >> 16), uint8_t(u >> 8), uint8_t(u) } }));
        ASSERT_TRUE(peer.Send(frame)) << u;
    }
    timespec after {};
    clock_gettime(CLOCK_REALTIME, &after);
    ear.Settle();
    std::vector<SHeardFrame> heard;
    ear.Read(heard, 0);
    ASSERT_EQ(heard.size(), kFrames);
    const int64_t llBefore = int64_t(before.tv_sec) * 1000000000 + before.tv_nsec;
    const int64_t llAfter = int64_t(after.tv_sec) * 1000000000 + after.tv_nsec;
    for (uint32_t u = 0; u < kFrames; ++u) {
        const std::vector<uint8_t>& b = heard[u].bytes;
        ASSERT_GE(b.size(), 4u);
        const uint32_t uSeen = uint32_t(b[b.size() - 4]) << 24 | uint32_t(b[b.size() - 3]) << 16
            | uint32_t(b[b.size() - 2]) << 8 | b[b.size() - 1];
        ASSERT_EQ(uSeen, u);
        ASSERT_GE(heard[u].llNs, llBefore) << u;
        ASSERT_LE(heard[u].llNs, llAfter) << u;
        if (u > 0) {
            ASSERT_GE(heard[u].llNs, heard[u - 1].llNs) << u;
        }
    }
    ear.Stop();
}

// Send times for wanted frames without a stamp of their own are placed
// between the stamped ones of the same system call.
TEST(SendTimesTest, PlacedBetweenStampsOfTheSameCall)
{
    using W = CSocketSink::SWanted;
    struct SRow {
        const char* szName;
        std::vector<W> wanted; // uCall, uPos, bAsked, bSent, llKey
        std::vector<SSendStamp> stamps;
        std::vector<int64_t> times;
    };
    const std::vector<SRow> rows = {
        { "each its own", { { 0, 0, true, true, 0 }, { 1, 0, true, true, 1 } },
            { { 1, 2000 }, { 0, 1000 } }, { 1000, 2000 } },
        { "between by place", // frames 0, 1, 3 and 4 of a call, 0 and 4 stamped
            { { 7, 0, true, true, 0 }, { 7, 1, false, true, -1 }, { 7, 3, false, true, -1 },
                { 7, 4, true, true, 1 } },
            { { 0, 1000 }, { 1, 1400 } }, { 1000, 1100, 1300, 1400 } },
        { "neighbours from other calls", // never across a call
            { { 1, 0, true, true, 0 }, { 2, 0, false, true, -1 }, { 3, 0, true, true, 1 } },
            { { 0, 1000 }, { 1, 3000 } }, { 1000, 0, 3000 } },
        { "one side only", { { 1, 0, true, true, 0 }, { 1, 5, false, true, -1 } }, { { 0, 1000 } },
            { 1000, 0 } },
        { "refused", // sent false: no time, even between two stamps
            { { 1, 0, true, true, 0 }, { 1, 1, false, false, -1 }, { 1, 2, true, true, 1 } },
            { { 0, 1000 }, { 1, 1200 } }, { 1000, 0, 1200 } },
        { "a stamp that never came is skipped over",
            { { 1, 0, true, true, 0 }, { 1, 1, true, true, 1 }, { 1, 2, false, true, -1 },
                { 1, 4, true, true, 2 } },
            { { 0, 1000 }, { 2, 1400 } }, { 1000, 1100, 1200, 1400 } },
        { "stamp numbers beyond those asked are ignored", { { 1, 0, true, true, 0 } },
            { { 5, 9000 } }, { 0 } },
    };
    for (const SRow& row : rows) {
        uint64_t uKeys = 0;
        for (const W& w : row.wanted)
            uKeys += w.llKey >= 0 ? 1 : 0;
        EXPECT_EQ(PlaceSendTimes(row.wanted, uKeys, row.stamps), row.times) << row.szName;
    }
    // The earliest a placed frame can have left is its stamped neighbour before it.
    const std::vector<std::pair<size_t, std::vector<int64_t>>> earliestRows {
        { 1, { 1000, 1000, 1000, 1400 } },
        { 4, { 1000, 0, 1200 } },
        { 5, { 1000, 1000, 1000, 1400 } },
    };
    for (const auto& [nRow, expected] : earliestRows) {
        std::vector<int64_t> earliest;
        PlaceSendTimes(rows[nRow].wanted, 3, rows[nRow].stamps, &earliest);
        EXPECT_EQ(earliest, expected) << rows[nRow].szName;
    }
}

// A batch of requests: every one gets a send time, though only some carry a
// stamp; placed times are close to the kernel's own.
TEST(EarTest, EveryRequestOfABatchGetsASendTime)
{
    CNetns ns("earbatch");
    VTEST_REQUIRE_NETNS(ns);
    CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    const Bytes frame = UdpFrame(47808, 47808, Bvll());
    const uint32_t uLength = static_cast<uint32_t>(frame.size());
    constexpr unsigned kBatch = CSocketSink::kBatchFrames;
    std::string csError;
    {
        CSocketSink sink;
        ASSERT_TRUE(sink.Open(CNetns::SendIf(), csError)) << csError;
        ASSERT_TRUE(sink.StampFrames(true));
        for (int iBatch = 0; iBatch < 3; ++iBatch) {
            for (unsigned i = 0; i < kBatch; ++i) {
                sink.StampNext();
                ASSERT_TRUE(sink.Stage(frame.data(), uLength));
            }
            std::vector<IPacketSink::SRefused> refused;
            sink.Flush(refused);
            ASSERT_TRUE(refused.empty());
        }
        std::vector<int64_t> times;
        std::vector<int64_t> earliest;
        sink.TakeSendTimes(times, earliest);
        ASSERT_EQ(earliest.size(), times.size());
        ASSERT_EQ(times.size(), 3 * kBatch);
        for (size_t i = 0; i < times.size(); ++i) {
            ASSERT_GT(times[i], 0) << i;
            if (i > 0) {
                ASSERT_GE(times[i], times[i - 1]) << i;
            }
            ASSERT_GT(earliest[i], 0) << i;
            ASSERT_LE(earliest[i], times[i]) << i;
        }
    }
    // Every frame stamped by the kernel, then placed from the few a batch
    // stamps: the placed times against the kernel's own.
    // Half a batch: every frame's stamp must fit the error queue.
    constexpr unsigned kFrames = kBatch / 2;
    CSocketSink sink;
    ASSERT_TRUE(sink.Open(CNetns::SendIf(), csError)) << csError;
    ASSERT_TRUE(SetSendStamps(sink.Fd(), true));
    for (unsigned i = 0; i < kFrames; ++i)
        ASSERT_TRUE(sink.Stage(frame.data(), uLength));
    std::vector<IPacketSink::SRefused> refused;
    sink.Flush(refused);
    std::vector<SSendStamp> all;
    for (int i = 0; i < 50 && all.size() < kFrames; ++i) {
        ReadSendStamps(sink.Fd(), all);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(all.size(), kFrames);
    std::vector<CSocketSink::SWanted> wanted;
    std::vector<SSendStamp> some;
    for (unsigned i = 0; i < kFrames; ++i) {
        const bool bStamp = i % CSocketSink::kStampEvery == 0 || i + 1 == kFrames;
        wanted.push_back({ 0, i, bStamp, true, bStamp ? static_cast<int64_t>(some.size()) : -1 });
        if (bStamp)
            some.push_back({ static_cast<uint32_t>(some.size()), all[i].llNs });
    }
    const std::vector<int64_t> placed = PlaceSendTimes(wanted, some.size(), some);
    // Each placed time lies within the kernel's stamps of the stamped frames
    // around it. How close it comes to the frame's own stamp depends on the
    // load: printed, not judged.
    std::vector<int64_t> errors;
    int64_t llBracketStart = 0;
    for (unsigned i = 0; i < kFrames; ++i) {
        if (wanted[i].bAsked)
            llBracketStart = all[i].llNs;
        const unsigned uNext = std::min<unsigned>(
            kFrames - 1, (i / CSocketSink::kStampEvery + 1) * CSocketSink::kStampEvery);
        EXPECT_GE(placed[i], llBracketStart) << i;
        EXPECT_LE(placed[i], all[uNext].llNs) << i;
        errors.push_back(std::abs(placed[i] - all[i].llNs));
    }
    std::sort(errors.begin(), errors.end());
    std::printf("placed send times: median error %lld ns, largest %lld ns\n",
        static_cast<long long>(errors[kFrames / 2]), static_cast<long long>(errors.back()));
}

} // namespace

namespace {

// A free UDP port on 127.0.0.1, and a socket holding it when bKeep.
uint16_t LoopbackPort(int* pKeep = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
        return 0;
    if (pKeep)
        *pKeep = fd;
    else
        ::close(fd);
    return ntohs(a.sin_port);
}

// The listening Send's ports: each (address, port) of this host tried once
// and held; others' addresses, no address and broadcasts held by nobody; a
// port another socket holds is said once, and the Send goes on.
TEST(PortHolderTest, HoldsOwnPortsOnceAndSaysWhichAreTaken)
{
    int iOther = -1;
    const uint16_t uFree = LoopbackPort();
    const uint16_t uTaken = LoopbackPort(&iOther);
    ASSERT_NE(uFree, 0);
    ASSERT_NE(uTaken, 0);
    constexpr uint32_t kLoopback = 0x7f000001;
    struct SRow {
        const char* szName;
        uint32_t uAddress;
        uint16_t uPort;
        size_t nHeld; // after the row
        size_t nTaken;
    };
    const SRow rows[] = {
        { "our own address", kLoopback, uFree, 1, 0 },
        { "the same pair again", kLoopback, uFree, 1, 0 },
        { "another host's address", 0xc0000201, uFree, 1, 0 },
        { "no address", 0, uFree, 1, 0 },
        { "the broadcast", 0xffffffff, 47808, 1, 0 },
        { "a port another socket holds", kLoopback, uTaken, 1, 1 },
        { "that port again: said once", kLoopback, uTaken, 1, 1 },
    };
    CPortHolder holder;
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        holder.Hold(row.uAddress, row.uPort);
        EXPECT_EQ(holder.Held(), row.nHeld);
        EXPECT_EQ(holder.Taken().size(), row.nTaken);
    }
    EXPECT_EQ(holder.Taken().at(0),
        "UDP port " + std::to_string(uTaken)
            + " on 127.0.0.1 is taken by another program on this host: the answers reach it too");
    // Held: nobody else gets the port now.
    int iProbe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uFree);
    a.sin_addr.s_addr = htonl(kLoopback);
    EXPECT_NE(::bind(iProbe, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(errno, EADDRINUSE);
    ::close(iProbe);
    ::close(iOther);

    // A frame is read for its source: a BACnet/IP request from 127.0.0.1.
    const uint16_t uFramePort = LoopbackPort();
    Bytes frame = vtest::BacnetIp(0x0a, vtest::Hex("01 04 00 05 05 0c 0c 00000001 19 55"));
    const uint8_t loopback[] = { 127, 0, 0, 1 };
    std::copy(std::begin(loopback), std::end(loopback), frame.begin() + 26);
    frame[34] = static_cast<uint8_t>(uFramePort >> 8);
    frame[35] = static_cast<uint8_t>(uFramePort);
    CPortHolder fromFrames;
    fromFrames.Hold(frame.data(), frame.size());
    EXPECT_EQ(fromFrames.Held(), 1u);
    // Not BACnet/IP: nothing to hold.
    fromFrames.Hold(frame.data(), 20);
    EXPECT_EQ(fromFrames.Held(), 1u);
}

} // namespace
