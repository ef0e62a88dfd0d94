// velmora-replay conversing with a device of an independent BACnet stack
// (tests/bacnet/device.js on @bacnet-js/client): it hears through its kernel's
// UDP socket, so a request whose checksum or length is wrong is never
// answered. Each row a capture made here, with the answers the device really
// gives recorded in it, judged with --expect captured: every request answered
// and ok, and tshark finds nothing wrong with what the command sent.
#include "Child.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "PeerCapture.h"
#include "TestDevices.h"
#include "TestSupport.h"
#include "tools/CaptureWriter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>

using namespace velmora;
using namespace vtest;
using namespace std::chrono_literals;

namespace {

// The device's end of the veth pair and the sender's, with fixed addresses:
// the capture is aimed at the first (--dst-mac), the device's kernel answers
// to the second.
constexpr const char* kDeviceMac = "02:42:ac:11:00:02";
constexpr const char* kSenderMac = "02:42:ac:11:00:01";

// A BACnet/IP frame from one station to another (MACs 02:76:6d:0a:00:NN,
// 0xff: broadcast), port 47808, both checksums right.
Bytes Frame(const char* szFrom, uint8_t uFromMac, const char* szTo, uint8_t uToMac,
    uint8_t uFunction, const Bytes& body, int iBvlcLength = -1)
{
    Bytes f = Ipv4Frame(17, Udp(47808, 47808, Bvlc(uFunction, body, iBvlcLength)));
    for (int i = 0; i < 6; ++i)
        f[static_cast<size_t>(i)] = uToMac == 0xff ? 0xff : kMacA[i];
    f[5] = uToMac;
    f[11] = uFromMac;
    inet_pton(AF_INET, szFrom, &f[26]);
    inet_pton(AF_INET, szTo, &f[30]);
    return WithChecksums(f);
}

// What a sending host's capture holds when the NIC computes the UDP
// checksum: only the pseudo-header's sum, left there for the NIC.
Bytes AsSent(Bytes f)
{
    const size_t nUdp = static_cast<size_t>(f[38] << 8 | f[39]);
    uint32_t u = 17 + static_cast<uint32_t>(nUdp);
    for (size_t i = 26; i < 34; i += 2)
        u += static_cast<uint32_t>(f[i] << 8 | f[i + 1]);
    while (u >> 16)
        u = (u & 0xffff) + (u >> 16);
    f[40] = static_cast<uint8_t>(u >> 8);
    f[41] = static_cast<uint8_t>(u);
    return f;
}

struct SDeviceRow {
    const char* szName;
    std::vector<Bytes> capture; // empty: samples/bacnet-ip-sample.pcap
    std::string csDevices; // device.js's JSON
    std::vector<std::string> deviceArgs;
    std::vector<std::string> ips; // the device's addresses (/24, broadcast too)
    std::string csClient; // the requests' source
    std::vector<std::string> args;
    int iRequests; // requests the command sends, each answered ok
};

// One row: the device in a namespace, the command against it, every check.
void RunAgainstTheDevice(const SDeviceRow& row)
{
    SCOPED_TRACE(row.szName);
    CNetns ns("clidevice");
    VTEST_REQUIRE_NETNS(ns);
    // The install script puts node and the package there: CI must run this.
    const std::string csMissing = NodeDeviceMissing();
    if (!csMissing.empty() && std::getenv("CI"))
        FAIL() << csMissing;
    if (!csMissing.empty())
        GTEST_SKIP() << csMissing;
    const std::string n = "ip -n " + ns.Name() + " ";
    ASSERT_EQ(Shell(n + "link set " + CNetns::PeerIf() + " address " + kDeviceMac), 0);
    ASSERT_EQ(Shell(n + "link set " + CNetns::SendIf() + " address " + kSenderMac), 0);
    for (const std::string& csIp : row.ips)
        ASSERT_EQ(Shell(n + "addr add " + csIp + "/24 brd + dev " + CNetns::PeerIf()), 0);
    // The client's address stays off the sender's end (the kernel would keep
    // the answers inside): a fixed neighbour sends them down the veth.
    ASSERT_EQ(Shell(n + "neigh replace " + row.csClient + " lladdr " + kSenderMac + " dev "
                  + CNetns::PeerIf() + " nud permanent"),
        0);

    CTempDir dir;
    std::string csCapture = dir.File("c.pcap");
    if (row.capture.empty()) {
        csCapture = VELMORA_SAMPLES "/bacnet-ip-sample.pcap";
    } else {
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(csCapture));
        for (const Bytes& frame : row.capture)
            ASSERT_TRUE(writer.Write(frame));
        ASSERT_TRUE(writer.Close());
    }
    WriteFile(dir.File("devices.json"), row.csDevices);
    std::vector<std::string> deviceArgs
        = { "node", NodeDeviceScript(), "--config", dir.File("devices.json") };
    deviceArgs.insert(deviceArgs.end(), row.deviceArgs.begin(), row.deviceArgs.end());
    CChild device(deviceArgs, dir.Path().string(), ns.Name());
    ASSERT_TRUE(WaitReady(device)) << device.Out() << device.Err();

    std::unique_ptr<CPeerCapture> pWire;
    {
        CEnterNetns enter(ns);
        ASSERT_TRUE(enter.Ok());
        pWire = std::make_unique<CPeerCapture>(CNetns::SendIf(), 2048);
        ASSERT_TRUE(pWire->Ok());
    }
    std::vector<std::string> args
        = { VELMORA_REPLAY_EXE, "-i", CNetns::SendIf(), "--listen=0.5", "--expect", "captured",
              "--requests-only", "--apdu-timeout", "1000", "--dst-mac", kDeviceMac };
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back(csCapture);
    CChild command(args, dir.Path().string(), ns.Name());
    EXPECT_EQ(command.Wait(), 0) << command.Out() << command.Err();

    // Every request has its line, and every line says ok.
    std::istringstream out(command.Out());
    int iLines = 0;
    for (std::string cs; std::getline(out, cs); ++iLines)
        EXPECT_TRUE(std::regex_match(cs, std::regex("[0-9]+\t[^\t]+\t[^\t]+\tok\t[0-9.]+"))) << cs;
    EXPECT_EQ(iLines, row.iRequests) << command.Out();
    const std::string csSummary = std::to_string(row.iRequests)
        + " requests: " + std::to_string(row.iRequests) + " answered ("
        + std::to_string(row.iRequests) + " ok), 0 unanswered";
    EXPECT_NE(command.Err().find(csSummary), std::string::npos) << command.Err();

    // What the command put on the wire, as a device's kernel and tshark see it.
    const Frames wire = pWire->Collect(1000, 300);
    EXPECT_GE(wire.size(), static_cast<size_t>(row.iRequests));
    EXPECT_EQ(TsharkFaults(wire), "");

    device.Signal(SIGTERM);
    EXPECT_EQ(device.Wait(), 0) << device.Err();
    std::cout << row.szName << ":\n" << device.Out();
    EXPECT_NE(
        device.Out().find("answered " + std::to_string(row.iRequests) + "\n"), std::string::npos)
        << device.Out();
}

// A site's capture: three devices at three addresses, a router in front of
// one (DNET 3, station 0x6c) naming it 207 where the bench has 1234, invoke
// IDs used again and again, a broadcast Who-Is, and BVLC frames that are no
// requests (a BVLC-Result, a Forwarded-NPDU, a BVLC length that is not UDP's).
std::vector<Bytes> SiteCapture()
{
    const char* c = "10.0.1.1";
    const char* a = "10.0.1.2";
    const char* b = "10.0.1.3";
    const char* d = "10.0.1.4";
    const Bytes routed = Hex("01 24 0003 01 6c ff");
    const Bytes plain = Hex("01 04");
    const Bytes reply = Hex("01 00");
    const Bytes fromRouter = Hex("01 08 0003 01 6c"); // the router's SNET/SADR
    const Bytes iAm207 = Hex("10 00 c4 020000cf 22 01e0 91 03 21 00");
    const Bytes iAm301 = Hex("10 00 c4 0200012d 22 05c4 91 03 21 00");
    return {
        Frame(c, 1, a, 2, 0x0a, Cat({ Hex("01 20 0003 01 6c ff 10 08 09 cf 19 cf") })),
        Frame(a, 2, c, 1, 0x0a, Cat({ fromRouter, iAm207 })),
        Frame(c, 1, a, 2, 0x0a, Cat({ routed, Hex("00 05 01 0c 0c 020000cf 19 4d") })),
        Frame(a, 2, c, 1, 0x0a,
            Cat({ fromRouter, Hex("30 01 0c 0c 020000cf 19 4d 3e 75 08 00 4148552d323037 3f") })),
        Frame(c, 1, b, 3, 0x0a, Cat({ plain, Hex("00 05 01 0c 0c 00000001 19 55") })),
        Frame(
            b, 3, c, 1, 0x0a, Cat({ reply, Hex("30 01 0c 0c 00000001 19 55 3e 44 41ac0000 3f") })),
        Frame(c, 1, d, 4, 0x0a, Cat({ plain, Hex("00 05 01 0c 0c 00000001 19 55") })),
        Frame(
            d, 4, c, 1, 0x0a, Cat({ reply, Hex("30 01 0c 0c 00000001 19 55 3e 44 41980000 3f") })),
        Frame(c, 1, "255.255.255.255", 0xff, 0x0b, Cat({ reply, Hex("10 08 0a 012d 1a 012d") })),
        Frame(b, 3, c, 1, 0x0a, Cat({ reply, iAm301 })),
        Frame(c, 1, b, 3, 0x0a, Cat({ plain, Hex("00 05 02 0e 0c 00000001 1e 09 55 09 4d 1f") })),
        Frame(b, 3, c, 1, 0x0a,
            Cat({ reply,
                Hex("30 02 0e 0c 00000001 1e 29 55 4e 44 41ac0000 4f 29 4d 4e 75 07 00 "
                    "5a6f6e652031 4f 1f") })),
        Frame(c, 1, d, 4, 0x0a,
            Cat({ plain, Hex("00 05 02 0f 0c 00800002 19 55 3e 44 42480000 3f 49 08") })),
        Frame(d, 4, c, 1, 0x0a, Cat({ reply, Hex("20 02 0f") })),
        Frame(c, 1, b, 3, 0x0a, Cat({ plain, Hex("00 05 01 0c 0c 00000063 19 55") })),
        Frame(b, 3, c, 1, 0x0a, Cat({ reply, Hex("50 01 0c 91 01 91 1f") })),
        Frame("10.0.1.9", 9, c, 1, 0x00, Hex("0000")),
        Frame("10.0.1.9", 9, "255.255.255.255", 0xff, 0x04,
            Cat({ Hex("0a000509 bac0 01 00 10 00 c4 02000385 22 05c4 91 03 21 00") })),
        Frame(d, 4, "255.255.255.255", 0xff, 0x0b,
            Cat({ reply, Hex("10 00 c4 0200012e 22 05c4 91 03 21 00") }), 22),
        Frame(c, 1, a, 2, 0x0a, Cat({ routed, Hex("00 05 01 0c 0c 020000cf 19 78") })),
        Frame(a, 2, c, 1, 0x0a, Cat({ fromRouter, Hex("30 01 0c 0c 020000cf 19 78 3e 21 00 3f") })),
    };
}

const char* const kSiteDevices = R"({ "devices": [
  { "address": "10.0.1.2", "instance": 1234, "name": "AHU-207", "maxApdu": 480 },
  { "address": "10.0.1.3", "instance": 301, "objects": [ { "type": "analog-input", "instance": 1,
      "properties": { "present-value": 21.5, "object-name": "Zone 1" } } ] },
  { "address": "10.0.1.4", "instance": 302, "objects": [
      { "type": "analog-input", "instance": 1, "properties": { "present-value": 19 } },
      { "type": "analog-value", "instance": 2, "properties": { "present-value": 0 } } ] } ] })";

// Taken on the host that sent it: the requests' UDP checksums are what the
// NIC was left to finish; the answers came in whole.
std::vector<Bytes> SendingHostCapture()
{
    const char* c = "10.0.1.1";
    const char* a = "10.0.1.2";
    const Bytes plain = Hex("01 04");
    const Bytes reply = Hex("01 00");
    return {
        AsSent(Frame(c, 1, a, 2, 0x0a, Hex("01 00 10 08 0a 04d2 1a 04d2"))),
        Frame(a, 2, c, 1, 0x0a, Hex("01 00 10 00 c4 020004d2 22 05c4 91 03 21 00")),
        AsSent(Frame(c, 1, a, 2, 0x0a, Cat({ plain, Hex("00 05 07 0c 0c 00000001 19 55") }))),
        Frame(
            a, 2, c, 1, 0x0a, Cat({ reply, Hex("30 07 0c 0c 00000001 19 55 3e 44 41ac0000 3f") })),
        AsSent(Frame(c, 1, a, 2, 0x0a,
            Cat({ plain, Hex("00 05 08 0f 0c 00800002 19 55 3e 44 42480000 3f 49 08") }))),
        Frame(a, 2, c, 1, 0x0a, Cat({ reply, Hex("20 08 0f") })),
        AsSent(Frame(c, 1, a, 2, 0x0a, Cat({ plain, Hex("00 05 09 0c 0c 00800002 19 55") }))),
        Frame(
            a, 2, c, 1, 0x0a, Cat({ reply, Hex("30 09 0c 0c 00800002 19 55 3e 44 42480000 3f") })),
    };
}

const char* const kBenchDevice = R"({ "devices": [ { "address": "ADDRESS", "instance": 1234,
  "objects": [ { "type": "analog-input", "instance": 1, "properties": { "present-value": 21.5 } },
    { "type": "analog-value", "instance": 2, "properties": { "present-value": 0 } } ] } ] })";

std::string BenchDevice(const std::string& csAddress)
{
    return std::regex_replace(kBenchDevice, std::regex("ADDRESS"), csAddress);
}

TEST(DeviceCommandTest, ConversesWithADeviceOfAnotherStack)
{
    const std::vector<std::string> site = { "10.0.1.2", "10.0.1.3", "10.0.1.4" };
    const std::vector<std::string> aimed = { "--route", "direct", "--map-device", "207=1234" };
    std::vector<std::string> window4 = aimed;
    window4.insert(window4.end(), { "--window", "4" });
    const std::vector<SDeviceRow> rows = {
        { "a site's capture, window 1", SiteCapture(), kSiteDevices, {}, site, "10.0.1.1", aimed,
            9 },
        { "a site's capture, window 4", SiteCapture(), kSiteDevices, {}, site, "10.0.1.1", window4,
            9 },
        { "taken on the sending host: UDP checksums left to the NIC", SendingHostCapture(),
            BenchDevice("10.0.1.2"), {}, { "10.0.1.2" }, "10.0.1.1", {}, 4 },
        { "the sample, the device renumbered", {}, BenchDevice("192.168.10.2"),
            { "--instance", "1234=4321", "--broadcast", "192.168.10.255" }, { "192.168.10.2" },
            "192.168.10.1", { "--map-device", "1234=4321" }, 4 },
    };
    for (const SDeviceRow& row : rows)
        RunAgainstTheDevice(row);
}

// --discover against devices of another stack: one Who-Is on the adapter
// alone, and each device that answers listed once with its addresses.
TEST(DeviceCommandTest, DiscoverListsTheDevicesThatAnswer)
{
    CNetns ns("clidiscover");
    VTEST_REQUIRE_NETNS(ns);
    const std::string csMissing = NodeDeviceMissing();
    if (!csMissing.empty() && std::getenv("CI"))
        FAIL() << csMissing;
    if (!csMissing.empty())
        GTEST_SKIP() << csMissing;
    const std::string n = "ip -n " + ns.Name() + " ";
    ASSERT_EQ(Shell(n + "link set " + CNetns::PeerIf() + " address " + kDeviceMac), 0);
    ASSERT_EQ(Shell(n + "link set " + CNetns::SendIf() + " address " + kSenderMac), 0);
    for (const char* sz : { "10.0.1.2", "10.0.1.3" })
        ASSERT_EQ(Shell(n + "addr add " + sz + "/24 brd + dev " + CNetns::PeerIf()), 0);
    ASSERT_EQ(Shell(n + "neigh replace 10.0.1.1 lladdr " + kSenderMac + " dev " + CNetns::PeerIf()
                  + " nud permanent"),
        0);
    CTempDir dir;
    WriteFile(dir.File("devices.json"), R"({ "devices": [
      { "address": "10.0.1.2", "instance": 1234, "maxApdu": 480, "vendor": 15 },
      { "address": "10.0.1.3", "instance": 301, "vendor": 7 } ] })");
    CChild device({ "node", NodeDeviceScript(), "--config", dir.File("devices.json") },
        dir.Path().string(), ns.Name());
    ASSERT_TRUE(WaitReady(device)) << device.Out() << device.Err();
    std::unique_ptr<CPeerCapture> pWire;
    {
        CEnterNetns enter(ns);
        ASSERT_TRUE(enter.Ok());
        pWire = std::make_unique<CPeerCapture>(CNetns::SendIf(), 2048);
        ASSERT_TRUE(pWire->Ok());
    }
    // The sender's address stays off its end (see above): it is given, and
    // a test MAC that the wire's capture knows for ours.
    CChild command({ VELMORA_REPLAY_EXE, "-i", CNetns::SendIf(), "--discover=1", "--src-ip",
                       "10.0.1.1", "--src-mac", "02:76:6d:0a:00:01" },
        dir.Path().string(), ns.Name());
    EXPECT_EQ(command.Wait(), 0) << command.Err();
    std::istringstream out(command.Out());
    std::vector<std::string> lines;
    for (std::string cs; std::getline(out, cs);)
        lines.push_back(cs);
    std::sort(lines.begin() + (lines.empty() ? 0 : 1), lines.end());
    EXPECT_EQ(lines,
        (std::vector<std::string> { "instance\tMAC\tIP:port\tnetwork\tmax APDU\tvendor",
            "1234\t" + std::string(kDeviceMac) + "\t10.0.1.2:47808\tlocal\t480\t15",
            "301\t" + std::string(kDeviceMac) + "\t10.0.1.3:47808\tlocal\t1476\t7" }))
        << command.Out() << command.Err();
    EXPECT_NE(command.Err().find("2 devices answered the Who-Is"), std::string::npos)
        << command.Err();
    // One Who-Is went, a global broadcast, as a kernel takes it.
    const Frames wire = pWire->Collect(500, 300);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(Bytes(wire[0].begin(), wire[0].begin() + 6), Hex("ffffffffffff"));
    EXPECT_EQ(TsharkFaults(wire), "");
    device.Signal(SIGTERM);
    EXPECT_EQ(device.Wait(), 0) << device.Err();
}

} // namespace

// The bench's answers compared with the recorded ones value by value: a
// present-value of an input changes by itself, an object name does not.
// A capture of ReadProperty and ReadPropertyMultiple recorded against a
// device whose present-value was 21.5 and whose name was "Bench".
std::vector<Bytes> RecordedBench()
{
    const char* c = "10.0.1.1";
    const char* a = "10.0.1.2";
    const Bytes plain = Hex("01 04");
    const Bytes reply = Hex("01 00");
    return {
        Frame(c, 1, a, 2, 0x0a, Cat({ plain, Hex("00 05 07 0c 0c 00000001 19 55") })),
        Frame(
            a, 2, c, 1, 0x0a, Cat({ reply, Hex("30 07 0c 0c 00000001 19 55 3e 44 41ac0000 3f") })),
        Frame(c, 1, a, 2, 0x0a, Cat({ plain, Hex("00 05 08 0c 0c 020004d2 19 4d") })),
        Frame(a, 2, c, 1, 0x0a,
            Cat({ reply, Hex("30 08 0c 0c 020004d2 19 4d 3e 75 06 00 42656e6368 3f") })),
        // ReadPropertyMultiple: the value's name and present-value together.
        Frame(c, 1, a, 2, 0x0a, Cat({ plain, Hex("00 05 09 0e 0c 00800002 1e 09 4d 09 55 1f") })),
        Frame(a, 2, c, 1, 0x0a,
            Cat({ reply,
                Hex("30 09 0e 0c 00800002 1e 29 4d 4e 75 06 00 5a6f6e6532 4f 29 55 4e 44 00000000 "
                    "4f 1f") })),
    };
}

struct SContentRow {
    const char* szName;
    const char* szDevice; // device.js's JSON
    std::vector<std::string> args;
    int iExit;
    std::vector<const char*> verdicts; // each line's verdict column, as a regex
    const char* szSummary; // in the summary
};

TEST(DeviceCommandTest, JudgesTheValuesADeviceOfAnotherStackGives)
{
    const char* const kSame = R"({ "devices": [ { "address": "10.0.1.2", "instance": 1234,
      "name": "Bench", "objects": [
      { "type": "analog-input", "instance": 1, "properties": { "present-value": 21.5 } },
      { "type": "analog-value", "instance": 2, "properties": { "present-value": 0,
        "object-name": "Zone2" } } ] } ] })";
    const std::string csWarmer = std::regex_replace(kSame, std::regex("21\\.5"), "23.7");
    const std::string csRenamed
        = std::regex_replace(csWarmer, std::regex("\"Bench\""), "\"Other\"");
    const std::vector<SContentRow> rows = {
        { "the same device", kSame, {}, 0, { "ok", "ok", "ok" }, "3 ok" },
        { "an input warmer", csWarmer.c_str(), {}, 0,
            { "ok \\(value changed\\): analog-input,1 present-value 23.7, recorded 21.5", "ok",
                "ok" },
            "2 ok, 1 value changed" },
        { "warmer and renamed", csRenamed.c_str(), {}, 4,
            { "ok \\(value changed\\): .*",
                "differs: device,1234 object-name \"Other\", recorded "
                "\"Bench\"",
                "ok" },
            "1 ok, 1 value changed, 1 differs" },
        { "warmer, compared strictly", csWarmer.c_str(), { "--strict" }, 4,
            { "differs: analog-input,1 present-value 23.7, recorded 21.5", "ok", "ok" },
            "2 ok, 1 differs" },
        { "renamed, compared by kind alone", csRenamed.c_str(), { "--compare", "kind" }, 0,
            { "ok", "ok", "ok" }, "3 ok" },
        // 23.7 against 21.5: 2.2 apart.
        { "warmer, within the file's tolerance", csWarmer.c_str(), { "--volatile", "wide.txt" }, 0,
            { "ok", "ok", "ok" }, "3 ok" },
        { "warmer, beyond the file's tolerance", csWarmer.c_str(), { "--volatile", "narrow.txt" },
            4,
            { "differs: analog-input,1 present-value 23.7, recorded 21.5 \\(beyond 10%\\)", "ok",
                "ok" },
            "2 ok, 1 differs" },
    };
    for (const SContentRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CNetns ns("clicontent");
        VTEST_REQUIRE_NETNS(ns);
        const std::string csMissing = NodeDeviceMissing();
        if (!csMissing.empty() && std::getenv("CI"))
            FAIL() << csMissing;
        if (!csMissing.empty())
            GTEST_SKIP() << csMissing;
        const std::string n = "ip -n " + ns.Name() + " ";
        ASSERT_EQ(Shell(n + "link set " + CNetns::PeerIf() + " address " + kDeviceMac), 0);
        ASSERT_EQ(Shell(n + "link set " + CNetns::SendIf() + " address " + kSenderMac), 0);
        ASSERT_EQ(Shell(n + "addr add 10.0.1.2/24 brd + dev " + CNetns::PeerIf()), 0);
        ASSERT_EQ(Shell(n + "neigh replace 10.0.1.1 lladdr " + kSenderMac + " dev "
                      + CNetns::PeerIf() + " nud permanent"),
            0);
        CTempDir dir;
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(dir.File("c.pcap")));
        for (const Bytes& frame : RecordedBench())
            ASSERT_TRUE(writer.Write(frame));
        ASSERT_TRUE(writer.Close());
        WriteFile(dir.File("devices.json"), row.szDevice);
        WriteFile(dir.File("wide.txt"), "analog-input present-value 2.5\n");
        WriteFile(dir.File("narrow.txt"),
            "# an input that must hold\nanalog-input,1 present-value 10%\n");
        CChild device({ "node", NodeDeviceScript(), "--config", dir.File("devices.json") },
            dir.Path().string(), ns.Name());
        ASSERT_TRUE(WaitReady(device)) << device.Out() << device.Err();
        std::vector<std::string> args
            = { VELMORA_REPLAY_EXE, "-i", CNetns::SendIf(), "--listen=0.5", "--expect", "captured",
                  "--requests-only", "--apdu-timeout", "1000", "--dst-mac", kDeviceMac };
        args.insert(args.end(), row.args.begin(), row.args.end());
        args.push_back(dir.File("c.pcap"));
        CChild command(args, dir.Path().string(), ns.Name());
        EXPECT_EQ(command.Wait(), row.iExit) << command.Out() << command.Err();
        std::cout << row.szName << ":\n" << command.Out() << command.Err();
        std::istringstream out(command.Out());
        size_t nLine = 0;
        for (std::string cs; std::getline(out, cs); ++nLine) {
            std::vector<std::string> columns;
            std::istringstream line(cs);
            for (std::string csColumn; std::getline(line, csColumn, '\t');)
                columns.push_back(csColumn);
            ASSERT_EQ(columns.size(), 5u) << cs;
            ASSERT_LT(nLine, row.verdicts.size()) << cs;
            EXPECT_TRUE(std::regex_match(columns[3], std::regex(row.verdicts[nLine]))) << cs;
        }
        EXPECT_EQ(nLine, row.verdicts.size()) << command.Out();
        EXPECT_NE(command.Err().find(row.szSummary), std::string::npos) << command.Err();
        device.Signal(SIGTERM);
        EXPECT_EQ(device.Wait(), 0) << device.Err();
    }
}
