// velmora-replay --serve in a network namespace, asked by a client of an
// independent BACnet stack (tests/bacnet/client.js) over a veth pair.

#include "Child.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "SiteCapture.h"
#include "TestSupport.h"
#include "capture/CaptureWriter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <regex>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using vtest::CChild;
using vtest::CNetns;

namespace {

// The line of step szStep in the client's output.
std::string Step(const std::string& csOut, const std::string& csStep)
{
    const std::string csKey = "{\"step\":\"" + csStep + "\"";
    const size_t n = csOut.find(csKey);
    if (n == std::string::npos)
        return "";
    return csOut.substr(n, csOut.find('\n', n) - n);
}

bool Addresses(const CNetns& ns)
{
    return vtest::Shell(ns.ExecPrefix() + "ip addr add 10.9.0.1/24 brd + dev " + CNetns::SendIf())
        == 0
        && vtest::Shell(ns.ExecPrefix() + "ip addr add 10.9.0.2/24 brd + dev " + CNetns::PeerIf())
        == 0;
}

// The client's end of the veth pair in a namespace of its own, so that what
// it sends crosses the pair as from another host (ARP, broadcasts) and is not
// taken for the namespace's own traffic. Deleted again at the end.
class CClientNs {
public:
    explicit CClientNs(const CNetns& ns)
        : m_csName(ns.Name() + "-client")
    {
        const std::string csIn = "ip netns exec " + m_csName + " ";
        m_bOk = vtest::Shell("ip netns add " + m_csName) == 0
            && vtest::Shell(
                   ns.ExecPrefix() + "ip link set " + CNetns::SendIf() + " netns " + m_csName)
                == 0
            && vtest::Shell(csIn + "ip addr add 10.9.0.1/24 brd + dev " + CNetns::SendIf()) == 0
            && vtest::Shell(csIn + "ip link set " + CNetns::SendIf() + " up") == 0
            && vtest::Shell(
                   ns.ExecPrefix() + "ip addr add 10.9.0.2/24 brd + dev " + CNetns::PeerIf())
                == 0;
    }
    ~CClientNs() { vtest::Shell("ip netns del " + m_csName); }
    bool Ok() const { return m_bOk; }
    const std::string& Name() const { return m_csName; }

private:
    std::string m_csName;
    bool m_bOk = false;
};

// Starts the server and waits for its "serving" line.
bool Started(CChild& server)
{
    for (int i = 0; i < 500 && server.Err().find("serving device") == std::string::npos; ++i) {
        if (!server.Running())
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return server.Err().find("serving device") != std::string::npos;
}

} // namespace

TEST(ServeCommand, AnIndependentClientReadsTheServedDevice)
{
    const std::string csBacnet = VELMORA_BACNET_DIR;
    if (!std::filesystem::exists(csBacnet + "/node_modules/@bacnet-js/client")) {
        if (std::getenv("CI"))
            FAIL() << "tests/bacnet/node_modules is missing: run scripts/install-deps.sh";
        GTEST_SKIP() << "the npm BACnet stack is not installed in tests/bacnet";
    }
    CNetns ns("serve");
    VTEST_REQUIRE_NETNS(ns);
    CClientNs clientNs(ns);
    ASSERT_TRUE(clientNs.Ok());
    vtest::CTempDir dir;
    ASSERT_TRUE(vtest::WriteSiteCapture(dir.File("site.pcap")));
    CChild server({ VELMORA_REPLAY_EXE, "--serve", "-i", CNetns::PeerIf(), "--device", "1234",
                      "--segment-window", "2", "--apdu-timeout", "300", "--retries", "1", "--junit",
                      "junit.xml", "--report", "report.html", "site.pcap" },
        dir.Path().string(), ns.Name());
    ASSERT_TRUE(Started(server)) << server.Err();
    EXPECT_NE(server.Err().find("serving device 1234 on 10.9.0.2:47808"), std::string::npos)
        << server.Err();

    CChild client({ "node", csBacnet + "/client.js", "--ip", "10.9.0.1", "--port", "47809",
                      "--target", "10.9.0.2", "--broadcast", "10.9.0.255", "--silent-ms", "1500" },
        dir.Path().string(), clientNs.Name());
    ASSERT_EQ(client.Wait(30s), 0) << client.Err();
    const std::string csOut = client.Out();
    RecordProperty("client", csOut); // what the independent stack read, in the XML output
    struct SRow {
        const char* szStep;
        const char* szExpected; // a regular expression over the step's line
    } rows[] = {
        { "whois",
            R"("devices":\[\{"address":"10.9.0.2","deviceId":1234,"maxApdu":1476,"segmentation":0,"vendorId":999\}\])" },
        { "read-rpm-only", R"("values":\["Learned from RPM"\])" },
        { "rpm-all",
            R"("properties":\[\{"id":77,"value":\["Zone Temp"\]\},\{"id":85,"value":\[22.5\]\},\{"id":28,"value":\["Learned from RPM"\]\},\{"id":117,"value":\[62\]\},\{"id":111,)" },
        { "unknown-object", R"("error":"BacnetError - Class:1 - Code:31")" },
        { "segmented",
            R"("count":300,"first":\{"type":8,"instance":1234\},"last":\{"type":0,"instance":299\})" },
        { "write-read", R"("values":\[30.5\])" },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szStep);
        const std::string csLine = Step(csOut, row.szStep);
        EXPECT_TRUE(std::regex_search(csLine, std::regex(row.szExpected))) << csLine;
    }
    // A client silent after the first segment: that segment again at the
    // segment time-out, then an Abort (tsm-timeout), nothing more.
    const std::string csSilent = Step(csOut, "silent");
    const std::regex segment(R"(\{"ms":(\d+),"hex":"810a[0-9a-f]{4}0100(3[0-9a-f])4d(..)02)");
    std::vector<std::pair<int, std::string>> heard;
    for (auto it = std::sregex_iterator(csSilent.begin(), csSilent.end(), segment);
         it != std::sregex_iterator(); ++it)
        heard.emplace_back(std::stoi((*it)[1]), (*it)[3]);
    ASSERT_EQ(heard.size(), 2u) << csSilent;
    EXPECT_EQ(heard[0].second, "00");
    EXPECT_EQ(heard[1].second, "00");
    EXPECT_GE(heard[1].first - heard[0].first, 250);
    EXPECT_NE(csSilent.find(R"(0100714d0a")"), std::string::npos) << csSilent;

    // SIGTERM ends it within 50 ms, with the summary.
    const auto start = std::chrono::steady_clock::now();
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms); // a process's exit included
    const std::string csServed = server.Out();
    EXPECT_EQ(csServed.rfind("time\tclient\trequest\tanswer\tfrom\n", 0), 0u) << csServed;
    for (const char* sz : { "\t10.9.0.1:47809\treadProperty[", "\tlearned\n", "\tunknown\n",
             "\twritten\n", "(8 segments)",
             // The answer the silent client never took, given up: a later line.
             "readProperty[77] device,1234 object-list\tAbort[77] tsm-timeout (no Segment-ACK "
             "after 2 windows: the answer given up)\tunknown\n" })
        EXPECT_NE(csServed.find(sz), std::string::npos) << sz << "\n" << csServed;
    EXPECT_NE(server.Err().find("velmora-replay: served 8 requests: "), std::string::npos)
        << server.Err();
    EXPECT_NE(server.Err().find(" 2 unknown; "), std::string::npos) << server.Err();
    // Every request a test case, and the answer given up one more; the
    // unknown object and the answer given up failed.
    const std::string csJUnit = vtest::ReadFile(dir.File("junit.xml"));
    EXPECT_NE(csJUnit.find("<testsuite name=\"site.pcap\" tests=\"9\" failures=\"2\">"),
        std::string::npos)
        << csJUnit;
    // The report: the summary and a row per request, the unknown one marked.
    const std::string csReport = vtest::ReadFile(dir.File("report.html"));
    EXPECT_NE(csReport.find("<title>Served: site.pcap</title>"), std::string::npos);
    EXPECT_NE(csReport.find("<td>10.9.0.2:47808</td>"), std::string::npos);
    size_t nRows = 0;
    for (size_t n = csReport.find("<tr><td>"); n != std::string::npos;
         n = csReport.find("<tr><td>", n + 1))
        ++nRows;
    EXPECT_EQ(nRows, 5u + 7u); // five facts, seven requests answered from the capture
    EXPECT_NE(csReport.find("<tr class=unknown><td>"), std::string::npos) << csReport;
}

TEST(ServeCommand, RefusesWhatItCannotServe)
{
    CNetns ns("servebad");
    VTEST_REQUIRE_NETNS(ns);
    ASSERT_TRUE(Addresses(ns));
    ASSERT_EQ(
        vtest::Shell(ns.ExecPrefix() + "ip addr add 10.9.0.50/24 dev " + CNetns::PeerIf()), 0);
    vtest::CTempDir dir;
    ASSERT_TRUE(vtest::WriteSiteCapture(dir.File("site.pcap")));
    {
        std::FILE* p = std::fopen(dir.File("junk.pcap").c_str(), "w");
        ASSERT_TRUE(p);
        std::fputs("not a capture at all", p);
        std::fclose(p);
    }
    struct SRow {
        const char* szName;
        std::vector<std::string> args;
        int iExit;
        const char* szErr;
    } rows[] = {
        { "the captured device's own address", { "--serve-ip", "10.9.0.50", "site.pcap" }, 3,
            "10.9.0.50 is device 1234's own address in the capture" },
        { "an address the adapter does not have", { "--serve-ip", "10.9.0.77", "site.pcap" }, 3,
            "10.9.0.77 is not an address of the adapter vm1" },
        { "no such device", { "--device", "4242", "site.pcap" }, 3,
            "none of the devices asked for is in the capture" },
        { "not a capture", { "junk.pcap" }, 3, "junk.pcap: " },
        { "no capture", { "missing.pcap" }, 3, "missing.pcap: " },
        { "a bad window", { "--segment-window", "0", "site.pcap" }, 2,
            "--segment-window: '0' is no window from 1 to 127" },
        { "an unknown option", { "--pps", "5", "site.pcap" }, 2, "--serve does not take --pps" },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        std::vector<std::string> args = { VELMORA_REPLAY_EXE, "--serve", "-i", CNetns::PeerIf() };
        args.insert(args.end(), row.args.begin(), row.args.end());
        CChild server(args, dir.Path().string(), ns.Name());
        EXPECT_EQ(server.Wait(10s), row.iExit);
        EXPECT_NE(server.Err().find(row.szErr), std::string::npos) << server.Err();
    }
    // --duration ends it by itself.
    const auto start = std::chrono::steady_clock::now();
    CChild timed(
        { VELMORA_REPLAY_EXE, "--serve", "-i", CNetns::PeerIf(), "--duration", "0.3", "site.pcap" },
        dir.Path().string(), ns.Name());
    EXPECT_EQ(timed.Wait(5s), 0) << timed.Err();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_NE(timed.Err().find("served 0 requests"), std::string::npos) << timed.Err();
}

TEST(ServeCommand, StopsWithin50MsOfItsSignalOrItsDuration)
{
    CNetns ns("servestop");
    VTEST_REQUIRE_NETNS(ns);
    ASSERT_TRUE(Addresses(ns));
    vtest::CTempDir dir;
    ASSERT_TRUE(vtest::WriteSiteCapture(dir.File("site.pcap")));
    struct SRow {
        const char* szName;
        int iSignal; // 0: --duration 0.5 ends it
    } rows[] = { { "Ctrl-C", SIGINT }, { "SIGTERM", SIGTERM }, { "--duration", 0 } };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        std::vector<std::string> args = { VELMORA_REPLAY_EXE, "--serve", "-i", CNetns::PeerIf() };
        if (!row.iSignal)
            args.insert(args.end(), { "--duration", "0.5" });
        args.push_back("site.pcap");
        CChild server(args, dir.Path().string(), ns.Name());
        ASSERT_TRUE(Started(server)) << server.Err();
        // From the signal (or the moment it began serving, seen up to 10 ms
        // late) to its exit: the 50 ms asked, with room for a process's exit.
        const auto start = std::chrono::steady_clock::now();
        if (row.iSignal)
            server.Signal(row.iSignal);
        EXPECT_EQ(server.Wait(5s), 0) << server.Err();
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (row.iSignal) {
            EXPECT_LT(elapsed, 200ms);
        } else {
            EXPECT_LT(elapsed, 500ms + 200ms);
            EXPECT_GE(elapsed, 450ms);
        }
        EXPECT_NE(server.Err().find("served 0 requests"), std::string::npos) << server.Err();
    }
}

namespace {

// A raw BACnet/Ethernet station on an adapter of the namespace the calling thread is in.
class CRawStation {
public:
    explicit CRawStation(const char* szIf)
    {
        m_fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        ifreq ifr {};
        std::strncpy(ifr.ifr_name, szIf, sizeof ifr.ifr_name - 1);
        if (m_fd < 0 || ::ioctl(m_fd, SIOCGIFINDEX, &ifr) != 0)
            return;
        sockaddr_ll a {};
        a.sll_family = AF_PACKET;
        a.sll_protocol = htons(ETH_P_ALL);
        a.sll_ifindex = ifr.ifr_ifindex;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
            || ::ioctl(m_fd, SIOCGIFHWADDR, &ifr) != 0)
            return;
        std::memcpy(mac.data(), ifr.ifr_hwaddr.sa_data, 6);
        m_bOk = true;
    }
    ~CRawStation()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Ok() const { return m_bOk; }
    // Sends npdu+apdu in 802.3 with LLC 82 82 03 to the MAC given.
    void Send(const std::array<uint8_t, 6>& to, const std::vector<uint8_t>& npduApdu)
    {
        std::vector<uint8_t> v(to.begin(), to.end());
        v.insert(v.end(), mac.begin(), mac.end());
        const size_t n = 3 + npduApdu.size();
        v.insert(
            v.end(), { static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n), 0x82, 0x82, 0x03 });
        v.insert(v.end(), npduApdu.begin(), npduApdu.end());
        v.resize(std::max<size_t>(v.size(), 60), 0);
        ::send(m_fd, v.data(), v.size(), 0);
    }
    // The next BACnet/Ethernet frame for us within ms; empty when none came.
    std::vector<uint8_t> Next(int iMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
        uint8_t buffer[2000];
        while (std::chrono::steady_clock::now() < end) {
            pollfd p { m_fd, POLLIN, 0 };
            if (::poll(&p, 1, 10) != 1)
                continue;
            sockaddr_ll from {};
            socklen_t nFrom = sizeof from;
            const ssize_t n = ::recvfrom(
                m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
            if (n >= 17 && from.sll_pkttype != PACKET_OUTGOING && buffer[14] == 0x82
                && buffer[15] == 0x82 && std::equal(mac.begin(), mac.end(), buffer))
                return std::vector<uint8_t>(buffer, buffer + n);
        }
        return {};
    }
    std::array<uint8_t, 6> mac {};

private:
    int m_fd = -1;
    bool m_bOk = false;
};

} // namespace

TEST(ServeCommand, ABacnetEthernetDeviceIsServedWithRawFrames)
{
    CNetns ns("serveeth");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CTempDir dir;
    // The captured device at 02:00:00:00:00:0d: its I-Am and a readProperty-ACK.
    const std::array<uint8_t, 6> device { 0x02, 0, 0, 0, 0, 0x0d };
    const std::array<uint8_t, 6> client { 0x02, 0, 0, 0, 0, 0x0c };
    const auto frame = [](const std::array<uint8_t, 6>& to, const std::array<uint8_t, 6>& from,
                           const std::vector<uint8_t>& npduApdu) {
        std::vector<uint8_t> v(to.begin(), to.end());
        v.insert(v.end(), from.begin(), from.end());
        const size_t n = 3 + npduApdu.size();
        v.insert(
            v.end(), { static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n), 0x82, 0x82, 0x03 });
        v.insert(v.end(), npduApdu.begin(), npduApdu.end());
        v.resize(std::max<size_t>(v.size(), 60), 0);
        return v;
    };
    {
        velmora::CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(dir.File("eth.pcap")));
        writer.Write(frame({ 0xff, 0xff, 0xff, 0xff, 0xff, 0xff }, device,
            vtest::Hex("01 00 10 00 c4 02 00 00 4d 22 01 e0 91 00 21 05")));
        writer.Write(frame(client, device,
            vtest::Hex("01 00 30 01 0c 0c 00 00 00 01 19 55 3e 44 41 ac 00 00 3f")));
        ASSERT_TRUE(writer.Close());
    }
    CChild server({ VELMORA_REPLAY_EXE, "--serve", "-i", CNetns::PeerIf(), "eth.pcap" },
        dir.Path().string(), ns.Name());
    ASSERT_TRUE(Started(server)) << server.Err();
    EXPECT_NE(server.Err().find("(BACnet/Ethernet)"), std::string::npos) << server.Err();

    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    CRawStation station(CNetns::SendIf());
    ASSERT_TRUE(station.Ok());
    station.Send({ 0xff, 0xff, 0xff, 0xff, 0xff, 0xff }, vtest::Hex("01 00 10 08"));
    const std::vector<uint8_t> iAm = station.Next(2000);
    ASSERT_GE(iAm.size(), 60u);
    EXPECT_EQ(size_t { iAm[12] } << 8 | iAm[13], 3u + 2u + 14u); // padding not counted
    EXPECT_EQ(std::vector<uint8_t>(iAm.begin() + 17, iAm.begin() + 33),
        vtest::Hex("01 00 10 00 c4 02 00 00 4d 22 01 e0 91 00 21 05"));
    std::array<uint8_t, 6> served {};
    std::copy(iAm.begin() + 6, iAm.begin() + 12, served.begin());
    EXPECT_NE(served, device); // the adapter's own MAC, never the captured device's

    station.Send(served, vtest::Hex("01 04 02 05 2a 0c 0c 00 00 00 01 19 55"));
    const std::vector<uint8_t> ack = station.Next(2000);
    ASSERT_GE(ack.size(), 36u);
    EXPECT_EQ(std::vector<uint8_t>(ack.begin() + 17, ack.begin() + 36),
        vtest::Hex("01 00 30 2a 0c 0c 00 00 00 01 19 55 3e 44 41 ac 00 00 3f"));
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(5s), 0);
    EXPECT_NE(server.Out().find("\tcaptured\n"), std::string::npos) << server.Out();
}
