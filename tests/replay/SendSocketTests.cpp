// The send socket and the sink on it, on veth pairs in a namespace of our own.

#include "NetNs.h"
#include "PeerCapture.h"
#include "ReplayFakes.h"
#include "replay/SendSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace velmora;

using namespace vtest;

namespace {

class SendSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        VTEST_REQUIRE_NETNS(m_ns);
        m_pEnter = std::make_unique<CEnterNetns>(m_ns);
        ASSERT_TRUE(m_pEnter->Ok());
    }
    void TearDown() override { m_pEnter.reset(); }
    bool Ip(const std::string& cs) { return Shell("ip -n " + m_ns.Name() + " " + cs) == 0; }

    CNetns m_ns { "sock" };
    std::unique_ptr<CEnterNetns> m_pEnter;
};

TEST_F(SendSocketTest, AdapterThatCannotCarryOurFramesIsRefusedInLibpcapsWords)
{
    ASSERT_TRUE(m_ns.AddVethPair("vdown", "vdown1"));
    ASSERT_TRUE(Ip("link set vdown down"));
    ASSERT_TRUE(Ip("tuntap add mode tun name vtun"));
    ASSERT_TRUE(Ip("link set vtun up"));
    // Up, but its peer is down: no carrier. libpcap asks for "up", not for a carrier.
    ASSERT_TRUE(m_ns.AddVethPair("vnocarrier", "vnocarrier1"));
    ASSERT_TRUE(Ip("link set vnocarrier1 down"));
    struct Row {
        std::string csDevice;
        ESendOpenError eError;
        std::string csText;
    };
    const std::string csNotEthernet = ": EN10MB is not one of the DLTs supported by this device";
    const std::vector<Row> rows = {
        { "vm0", ESendOpenError::None, "" },
        // libpcap gives the loopback device Ethernet framing too.
        { "lo", ESendOpenError::None, "" },
        { "nosuchdev", ESendOpenError::NoSuchDevice,
            "nosuchdev: No such device exists (No such device exists)" },
        { "", ESendOpenError::NoSuchDevice, ": No such device exists (No such device exists)" },
        // One more than the kernel's names hold.
        { "vm0456789abcdef0", ESendOpenError::NoSuchDevice,
            "vm0456789abcdef0: No such device exists (No such device exists)" },
        { "vdown", ESendOpenError::NotUp, "vdown: That device is not up" },
        { "vnocarrier", ESendOpenError::None, "" },
        { "vtun", ESendOpenError::NotEthernet, "vtun" + csNotEthernet },
        { "any", ESendOpenError::NotEthernet, "any" + csNotEthernet },
    };
    CSocketSink sink;
    for (const Row& row : rows) {
        std::string csError;
        EXPECT_EQ(sink.Open(row.csDevice, csError), row.eError == ESendOpenError::None)
            << row.csDevice;
        EXPECT_EQ(sink.IsOpen(), row.eError == ESendOpenError::None) << row.csDevice;
        EXPECT_EQ(sink.OpenError(), row.eError) << row.csDevice;
        EXPECT_EQ(csError, row.csText) << row.csDevice;
    }
}

TEST_F(SendSocketTest, SocketStaysDeafWhateverItIsBoundTo)
{
    const int fd = OpenSendSocket();
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    // Nobody can lift or replace the filter.
    const int iDummy = 0;
    EXPECT_NE(::setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, &iDummy, sizeof iDummy), 0);
    EXPECT_EQ(errno, EPERM);
    sock_filter acceptAll[] = { BPF_STMT(BPF_RET | BPF_K, 0xffff) };
    sock_fprog prog { 1, acceptAll };
    EXPECT_NE(::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog), 0);
    EXPECT_EQ(errno, EPERM);

    // Bound to every protocol, next to an unfiltered socket that sees the frame.
    auto bindAll = [](int s, const char* szIf) {
        sockaddr_ll sll {};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(ETH_P_ALL);
        sll.sll_ifindex = static_cast<int>(if_nametoindex(szIf));
        return ::bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) == 0;
    };
    const int control = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    const int peer = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(bindAll(fd, CNetns::SendIf()));
    ASSERT_TRUE(bindAll(control, CNetns::SendIf()));
    ASSERT_TRUE(bindAll(peer, CNetns::PeerIf()));
    const std::vector<uint8_t> frame = MakeTestFrame(60, 1);
    ASSERT_EQ(::send(peer, frame.data(), frame.size(), 0), 60);
    std::vector<uint8_t> got(2048);
    ssize_t n = -1;
    for (int i = 0; i < 200 && n < 0; ++i) {
        n = ::recv(control, got.data(), got.size(), MSG_DONTWAIT);
        if (n < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(n, 60);
    EXPECT_LT(::recv(fd, got.data(), got.size(), MSG_DONTWAIT), 0);
    EXPECT_EQ(errno, EAGAIN);
    ::close(peer);
    ::close(control);
    ::close(fd);
}

// Runs fn in a child process as an unprivileged user; its exit code.
int AsNobody(const std::function<bool()>& fn)
{
    WaitForAdapterClose();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(2);
        _exit(fn() ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(SendSocketTest, WithoutPrivilegeEverySendIsRefusedAsLibpcapRefusesIt)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to become an unprivileged user";
    for (const std::string csDevice : { "vm0", "nosuchdev" }) {
        EXPECT_EQ(AsNobody([&] {
            CSocketSink sink;
            std::string csError;
            return !sink.Open(csDevice, csError) && !sink.IsOpen()
                && sink.OpenError() == ESendOpenError::NoPermission
                && csError
                == csDevice
                    + ": You don't have permission to perform this capture on that device "
                      "(socket: Operation not permitted)";
        }),
            0)
            << csDevice;
    }
}

TEST_F(SendSocketTest, StartUpKeepsRootsRightsAndSendsOnItsOneSocket)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    CPeerCapture peer(CNetns::PeerIf(), 2048);
    ASSERT_TRUE(peer.Ok());
    const std::vector<uint8_t> frame = MakeTestFrame(60, 7);
    WaitForAdapterClose();
    const pid_t pid = fork();
    if (pid == 0) {
        const SSendSocketSetup setup = SetUpSendSocket();
        if (setup.iSocket < 0 || setup.bDroppedCapabilities || setup.bFailed
            || ProcessSendSocket() != setup.iSocket)
            _exit(1);
        // Root is not in secure-execution mode: nothing was dropped.
        const std::string csStatus = ReadFile("/proc/self/status");
        if (csStatus.find("CapEff:\t0000000000000000") != std::string::npos)
            _exit(2);
        CSocketSink sink;
        std::string csError;
        if (!sink.Open(CNetns::SendIf(), csError) || !sink.Transmit(frame.data(), 60))
            _exit(3);
        sink.Close();
        // The process's socket outlives the Send.
        if (::fcntl(setup.iSocket, F_GETFD) < 0)
            _exit(4);
        _exit(0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(peer.Collect(2, 500), Frames({ frame }));
}

} // namespace
