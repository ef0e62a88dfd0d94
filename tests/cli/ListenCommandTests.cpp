// velmora-replay --listen against the scripted responder in a namespace: each
// row a capture and a script (open loop: --no-converse), checking every line of standard output and
// standard error, the exit status, the JUnit file and the saved answers.
#include "Child.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "PeerCapture.h"
#include "TestDevices.h"
#include "TestSupport.h"
#include "tools/CaptureWriter.h"

#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace velmora;
using namespace vtest;
using namespace std::chrono_literals;

namespace {

// Station N is 10.0.0.N:47808, MAC 02:76:6d:0a:00:0N; 1 is us, 2 the device.
// Checksums right, as a device's kernel wants them.
Bytes From(uint8_t uFrom, uint8_t uTo, Bytes frame, bool bIp)
{
    frame[5] = uTo;
    frame[11] = uFrom;
    if (bIp) {
        frame[29] = uFrom;
        frame[33] = uTo;
        return Checksummed(frame, false);
    }
    return WithChecksums(frame);
}

Bytes Ip(uint8_t uFrom, uint8_t uTo, const Bytes& npduApdu)
{
    return From(uFrom, uTo, BacnetIp(0x0a, npduApdu), true);
}

// A frame as the responder writes it: IP identification 1, both checksums.
Bytes Answer(uint8_t uFrom, uint8_t uTo, const Bytes& npduApdu)
{
    Bytes f = Ip(uFrom, uTo, npduApdu);
    f[18] = 0x00;
    f[19] = 0x01;
    return WithChecksums(f);
}

const Bytes kReadPv5 = Hex("01 04 00 05 05 0c 0c 00000001 19 55");
const Bytes kAck5 = Hex("01 00 30 05 0c 0c 00000001 19 55 3e 44 41ac0000 3f");
const Bytes kWhoIs = Hex("01 00 10 08");
const Bytes kIAm77 = Hex("01 00 10 00 c4 0200004d 22 01e0 91 03 21 00");

// The records of a pcap file: (captured length, wire length, bytes), time
// stamps left out; and its 24-byte header.
struct SPcap {
    Bytes header;
    std::vector<Bytes> frames;
    std::vector<uint32_t> wireLengths;
    bool bTimesRise = true;
};

SPcap ReadPcap(const std::string& csPath)
{
    std::ifstream in(csPath, std::ios::binary);
    const std::string cs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SPcap p;
    if (cs.size() < 24)
        return p;
    p.header.assign(cs.begin(), cs.begin() + 24);
    uint64_t uLast = 0;
    for (size_t i = 24; i + 16 <= cs.size();) {
        uint32_t v[4];
        std::memcpy(v, cs.data() + i, 16);
        const uint64_t uTime = uint64_t(v[0]) * 1000000000 + v[1];
        p.bTimesRise = p.bTimesRise && uTime >= uLast && v[1] < 1000000000;
        uLast = uTime;
        p.frames.emplace_back(cs.begin() + static_cast<long>(i + 16),
            cs.begin() + static_cast<long>(std::min(cs.size(), i + 16 + v[2])));
        p.wireLengths.push_back(v[3]);
        i += 16 + v[2];
    }
    return p;
}

// Round trips vary: "ms" and "round trip ms" stand in for them.
std::string Timeless(const std::string& cs)
{
    std::string out
        = std::regex_replace(cs, std::regex("\t[0-9]+\\.[0-9]{3}(\t[0-9]+)?\n"), "\tms$1\n");
    out = std::regex_replace(out,
        std::regex("round trip min [0-9.]+, median [0-9.]+, p95 [0-9.]+, max [0-9.]+ ms"),
        "round trip ms");
    // The run's start and facts: JudgeTest and RigFacts check them.
    out = std::regex_replace(out, std::regex(" timestamp=\"[0-9T:-]+\""), "");
    out = std::regex_replace(
        out, std::regex("  <properties>\n(    <property [^\n]*\n)*  </properties>\n"), "");
    return std::regex_replace(out, std::regex("time=\"[0-9.]+\""), "time=\"T\"");
}

const std::string kRouted = "1 unanswered request names a remote network (DNET) as captured: "
                            "with the device on the adapter's network try --route direct, behind "
                            "the bench's router --route NET:ADDR";
const std::string kNothingAnswered = "nothing answered: Discover (--discover) lists the devices "
                                     "on the adapter's network and their addresses";

struct SRow {
    const char* szName;
    std::vector<Bytes> capture;
    std::vector<std::string> rules;
    std::vector<std::string> args;
    std::string csOut;
    std::string csErr;
    int iExit;
    std::vector<Bytes> answers; // the saved pcap's frames
    std::string csJUnit; // "" to skip
};

const std::string kRp5 = "readProperty[ 5] analog-input,1 present-value";
const std::string kAckText = "readProperty-ACK[ 5] analog-input,1 present-value = 21.5";

TEST(ListenCommandTest, CapturesAgainstTheRespondersScripts)
{
    const Bytes routed = Hex("01 24 0005 01 07 ff 00 05 05 0c 0c 00000001 19 55");
    const Bytes routedAck = Hex("01 08 0005 01 07 30 05 0c 0c 00000001 19 55 3e 44 41ac0000 3f");
    // A site's requests to device 207 behind a router (network 3, station
    // 0x6c), and a bench device of its own (1234) on the adapter's network.
    const Bytes siteRead = Hex("01 24 0003 01 6c ff 00 05 05 0c 0c 020000cf 19 4d");
    const Bytes siteWhoIs = Hex("01 20 0003 01 6c ff 10 08 09 cf 19 cf");
    const std::vector<std::string> benchDevice = { "strict", "device=1234" };
    const std::vector<SRow> rows = {
        { "a routed capture aimed at the bench device", { Ip(1, 2, siteRead), Ip(1, 2, siteWhoIs) },
            benchDevice, { "--route", "direct", "--map-device", "207=1234" },
            "0\treadProperty[ 5] device,1234 object-name\treadProperty-ACK[ 5] device,1234 "
            "object-name = 21.5\tanswered\tms\n"
            "1\twho-Is 1234-1234\ti-Am device,1234\tanswered\tms\n",
            "velmora-replay: Aimed as captured, route: direct, device 207 -> 1234\n"
            "velmora-replay: 2 Packets have been sent\n"
            "velmora-replay: 2 packets sent; 2 requests: 2 answered, 0 unanswered; round trip ms\n",
            0,
            { Answer(2, 1, Hex("01 00 30 05 0c 0c 020004d2 19 4d 3e 44 41ac0000 3f")),
                Answer(2, 1, Hex("01 00 10 00 c4 020004d2 22 01e0 91 03 21 00")) },
            "" },
        { "a routed capture not aimed", { Ip(1, 2, siteRead), Ip(1, 2, siteWhoIs) }, benchDevice,
            {},
            "0\treadProperty[ 5] device,207 object-name\t-\tunanswered\t-\n"
            "1\twho-Is 207-207\t-\tunanswered\t-\n",
            "velmora-replay: 2 Packets have been sent\n"
            "velmora-replay: 2 packets sent; 2 requests: 0 answered, 2 unanswered; 2 unanswered "
            "requests name a remote network (DNET) as captured: with the device on the adapter's "
            "network try --route direct, behind the bench's router --route NET:ADDR; "
                + kNothingAnswered + "\n",
            4, {}, "" },
        // A baseline: the capture itself read as a capture of the bench,
        // paired by what each request asks.
        { "a baseline that recorded the same", { Ip(1, 2, kReadPv5), Ip(2, 1, kAck5) }, {},
            { "--requests-only", "--expect", "c.pcap" },
            "0\t" + kRp5 + "\t" + kAckText + "\tok\tms\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 1 answered (1 ok), 0 unanswered; round "
            "trip ms; 1 record skipped (not requests)\n",
            0, { Answer(2, 1, kAck5) }, "" },
        { "a baseline that recorded an ACK, an Error now", { Ip(1, 2, kReadPv5), Ip(2, 1, kAck5) },
            { "default=error=2,32" }, { "--requests-only", "--expect", "c.pcap" },
            "0\t" + kRp5
                + "\tError[ 5] readProperty property: unknown-property\tdiffers (Error "
                  "readProperty property: unknown-property; recorded readProperty-ACK)\tms\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 1 answered (1 differs), 0 unanswered; "
            "round trip ms; 1 record skipped (not requests)\n",
            4, { Answer(2, 1, Hex("01 00 50 05 0c 91 02 91 20")) }, "" },
        // Nothing that asks was sent: nothing tested, which is no pass.
        { "nothing tested", { Ip(2, 1, kAck5) }, {}, {}, "",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 0 requests: 0 answered, 0 unanswered\n",
            1, {}, "" },
        // A lab's rig: named in the lines' header and in each case's class.
        { "a rig named", { Ip(1, 2, kReadPv5) }, {}, { "--rig", "bench 3" },
            "# rig: bench 3; capture: c.pcap\n0\t" + kRp5 + "\t" + kAckText + "\tanswered\tms\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 1 answered, 0 unanswered; round trip ms\n",
            0, { Answer(2, 1, kAck5) },
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
            "<testsuite name=\"c.pcap\" tests=\"1\" failures=\"0\">\n"
            "  <testcase classname=\"bench 3.c.pcap\" name=\"record 0: "
                + kRp5 + "\" time=\"T\"/>\n</testsuite>\n</testsuites>\n" },
        // A report that fails as it is written (a full disk) is named; the
        // device's verdict (4) is not hidden by it.
        { "unanswered, the report on a full disk", { Ip(1, 2, siteRead) }, benchDevice,
            { "--report", "/dev/full" },
            "0\treadProperty[ 5] device,207 object-name\t-\tunanswered\t-\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 0 answered, 1 unanswered; "
                + kRouted + "; " + kNothingAnswered
                + "\n"
                  "velmora-replay: /dev/full: No space left on device\n",
            4, {}, "" },
        { "unanswered, JUnit on a full disk", { Ip(1, 2, siteRead) }, benchDevice,
            { "--junit", "/dev/full" },
            "0\treadProperty[ 5] device,207 object-name\t-\tunanswered\t-\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 0 answered, 1 unanswered; "
                + kRouted + "; " + kNothingAnswered
                + "\n"
                  "velmora-replay: /dev/full: No space left on device\n",
            4, {}, "" },
        // A run the device passed fails on the file alone.
        { "answered, the report on a full disk", { Ip(1, 2, kReadPv5) }, {},
            { "--report", "/dev/full" }, "0\t" + kRp5 + "\t" + kAckText + "\tanswered\tms\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 1 answered, 0 unanswered; round trip ms\n"
            "velmora-replay: /dev/full: No space left on device\n",
            1, { Answer(2, 1, kAck5) }, "" },
        { "answered", { Ip(1, 2, kReadPv5) }, {}, {},
            "0\t" + kRp5 + "\t" + kAckText + "\tanswered\tms\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 1 answered, 0 unanswered; round trip ms\n",
            0, { Answer(2, 1, kAck5) },
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
            "<testsuite name=\"c.pcap\" tests=\"1\" failures=\"0\">\n"
            "  <testcase classname=\"c.pcap\" name=\"record 0: "
                + kRp5 + "\" time=\"T\"/>\n</testsuite>\n</testsuites>\n" },
        { "an Error where the capture holds an ACK", { Ip(1, 2, kReadPv5), Ip(2, 1, kAck5) },
            { "default=error=2,32" }, { "--expect", "captured" },
            "0\t" + kRp5
                + "\tError[ 5] readProperty property: unknown-property\tdiffers (Error "
                  "readProperty "
                  "property: unknown-property; recorded readProperty-ACK)\tms\n",
            "velmora-replay: 2 Packets have been sent\n"
            "velmora-replay: 2 packets sent; 1 request: 1 answered (1 differs), 0 unanswered; "
            "round trip ms\n",
            4, { Answer(2, 1, Hex("01 00 50 05 0c 91 02 91 20")) },
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
            "<testsuite name=\"c.pcap\" tests=\"1\" failures=\"1\">\n"
            "  <testcase classname=\"c.pcap\" name=\"record 0: "
                + kRp5
                + "\" time=\"T\">\n"
                  "    <failure message=\"differs: Error readProperty property: unknown-property; "
                  "recorded readProperty-ACK\">answer: Error[ 5] readProperty property: "
                  "unknown-property\nrecorded: "
                + kAckText + "</failure>\n  </testcase>\n</testsuite>\n</testsuites>\n" },
        // Rounds are judged as they go: every round's request has its line and
        // every answer is in the file.
        // Rounds that repeat a record say which: a sixth column.
        { "three rounds", { Ip(1, 2, kReadPv5) }, {}, { "--loop", "3", "--loop-pause", "50" },
            "0\t" + kRp5 + "\t" + kAckText + "\tanswered\tms\t1\n0\t" + kRp5 + "\t" + kAckText
                + "\tanswered\tms\t2\n0\t" + kRp5 + "\t" + kAckText + "\tanswered\tms\t3\n",
            "velmora-replay: 3 Packets have been sent\n"
            "velmora-replay: 3 packets sent; 3 requests: 3 answered, 0 unanswered; round trip ms\n",
            0, { Answer(2, 1, kAck5), Answer(2, 1, kAck5), Answer(2, 1, kAck5) }, "" },
        { "Reject", { Ip(1, 2, kReadPv5) }, { "default=reject=9" }, {},
            "0\t" + kRp5 + "\tReject[ 5] unrecognized-service\tanswered\tms\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 1 answered, 0 unanswered; round trip ms\n",
            0, { Answer(2, 1, Hex("01 00 60 05 09")) }, "" },
        { "Abort", { Ip(1, 2, kReadPv5) }, { "default=abort=4" }, {},
            "0\t" + kRp5 + "\tAbort[ 5] segmentation-not-supported\tanswered\tms\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 1 answered, 0 unanswered; round trip ms\n",
            0, { Answer(2, 1, Hex("01 00 71 05 04")) }, "" },
        { "through a router", { Ip(1, 9, routed) }, { "default=routed" }, {},
            "0\t" + kRp5 + "\t" + kAckText + "\tanswered\tms\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 1 answered, 0 unanswered; round trip ms\n",
            0, { Answer(9, 1, routedAck) }, "" },
        // Captured on the sending host: its NIC was left to fill in the UDP
        // checksum. Mended on the way out, and said.
        { "a UDP checksum left to the NIC", { [&] {
             Bytes f = Checksummed(Ip(1, 2, kReadPv5));
             f[14 + 20 + 6] ^= 0x21;
             return f;
         }() },
            {}, {}, "0\t" + kRp5 + "\t" + kAckText + "\tanswered\tms\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 request carried checksums left to the NIC (a capture taken on the "
            "sending host?): mended\n"
            "velmora-replay: 1 packet sent; 1 request: 1 answered, 0 unanswered; round trip ms\n",
            0, { Answer(2, 1, kAck5) }, "" },
        { "silent", { Ip(1, 2, kReadPv5) }, { "default=silent" }, {},
            "0\t" + kRp5 + "\t-\tunanswered\t-\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 0 answered, 1 unanswered; "
                + kNothingAnswered + "\n",
            4, {},
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
            "<testsuite name=\"c.pcap\" tests=\"1\" failures=\"1\">\n"
            "  <testcase classname=\"c.pcap\" name=\"record 0: "
                + kRp5
                + "\" time=\"T\">\n    <failure message=\"unanswered\">answer: -\nrecorded: "
                  "-</failure>\n  </testcase>\n</testsuite>\n</testsuites>\n" },
        // The conversation replayed from the client's side: the recorded
        // answers stay in the file and are compared with.
        { "requests only, a Who-Is answered twice",
            { Ip(1, 2, kWhoIs), Ip(2, 1, kIAm77), Ip(1, 2, kReadPv5), Ip(2, 1, kAck5) },
            { "whois=2", "device=77" }, { "--requests-only", "--expect", "captured" },
            "0\twho-Is\ti-Am device,77\tok\tms\n0\twho-Is\ti-Am device,77\tok\tms\n2\t" + kRp5
                + "\t" + kAckText + "\tok\tms\n",
            "velmora-replay: 2 Packets have been sent\n"
            "velmora-replay: 2 packets sent; 2 requests: 2 answered (2 ok), 0 unanswered; round "
            "trip ms; 2 records skipped (not requests)\n",
            0, { Answer(2, 1, kIAm77), Answer(2, 1, kIAm77), Answer(2, 1, kAck5) }, "" },
        { "BACnet/Ethernet", { From(1, 2, BacnetEthernet(kReadPv5), false) }, {}, {},
            "0\t" + kRp5 + "\t" + kAckText + "\tanswered\tms\n",
            "velmora-replay: 1 Packets have been sent\n"
            "velmora-replay: 1 packet sent; 1 request: 1 answered, 0 unanswered; round trip ms\n",
            0, { From(2, 1, BacnetEthernet(kAck5), false) }, "" },
        // A frame refused (too short to send) says more than a silent device.
        { "refused goes first", { Hex("02766d0a0002"), Ip(1, 2, kReadPv5) }, { "default=silent" },
            {}, "1\t" + kRp5 + "\t-\tunanswered\t-\n",
            "velmora-replay: 2 Packets have been sent\n"
            "velmora-replay: 1 packet sent, 1 refused (see Debuglog.txt)\n"
            "velmora-replay: 1 packet sent; 1 request: 0 answered, 1 unanswered; "
                + kNothingAnswered + "\n",
            1, {}, "" },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CNetns ns("clilisten");
        VTEST_REQUIRE_NETNS(ns);
        CTempDir dir;
        {
            CCaptureWriter writer;
            ASSERT_TRUE(writer.Open(dir.File("c.pcap")));
            for (const Bytes& frame : row.capture)
                ASSERT_TRUE(writer.Write(frame));
            ASSERT_TRUE(writer.Close());
        }
        std::vector<std::string> responderArgs = { VELMORA_RESPONDER, CNetns::PeerIf() };
        responderArgs.insert(responderArgs.end(), row.rules.begin(), row.rules.end());
        CChild responder(responderArgs, dir.Path().string(), ns.Name());
        for (int i = 0; i < 200 && responder.Out().find("ready") == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_NE(responder.Out().find("ready"), std::string::npos) << responder.Err();
        std::unique_ptr<CPeerCapture> pWire;
        {
            CEnterNetns enter(ns);
            ASSERT_TRUE(enter.Ok());
            pWire = std::make_unique<CPeerCapture>(CNetns::SendIf(), 2048);
            ASSERT_TRUE(pWire->Ok());
        }

        std::vector<std::string> args = { VELMORA_REPLAY_EXE, "-i", CNetns::SendIf(),
            "--listen=0.3", "--answers", "answers.pcap", "--junit", "junit.xml", "--no-converse" };
        args.insert(args.end(), row.args.begin(), row.args.end());
        args.push_back("c.pcap");
        CChild command(args, dir.Path().string(), ns.Name());
        EXPECT_EQ(command.Wait(), row.iExit);
        EXPECT_EQ(Timeless(command.Out()), row.csOut);
        EXPECT_EQ(Timeless(command.Err()), row.csErr);

        const SPcap answers = ReadPcap(dir.File("answers.pcap"));
        EXPECT_EQ(answers.header, Hex("4d3cb2a1 0200 0400 00000000 00000000 00000400 01000000"));
        EXPECT_EQ(answers.frames, row.answers);
        for (size_t i = 0; i < answers.frames.size(); ++i)
            EXPECT_EQ(answers.wireLengths[i], answers.frames[i].size());
        EXPECT_TRUE(answers.bTimesRise);
        if (!row.csJUnit.empty()) {
            std::ifstream in(dir.File("junit.xml"));
            std::stringstream ss;
            ss << in.rdbuf();
            EXPECT_EQ(Timeless(ss.str()), row.csJUnit);
        }
        EXPECT_EQ(TsharkFaults(pWire->Collect(1000, 300)), "");
        responder.Signal(SIGTERM);
        EXPECT_EQ(responder.Wait(), 0);
        EXPECT_EQ(ResponderDropped(responder.Out()), 0) << responder.Out();
    }
}

// Conversing, seen on the wire between the command and the responder: each
// row a capture, a script and the command's options, with the frames the
// command put on the wire checked as a client's.
struct SWireRow {
    const char* szName;
    std::vector<Bytes> capture;
    std::vector<std::string> rules;
    std::vector<std::string> args; // "--listen=0.3" comes first unless bListen is false
    int iExit;
    std::string csOut; // a regular expression, over Timeless output
    std::string csErr; // the same
    int iWindow; // the most confirmed requests outstanding at once; -1: not checked
    std::vector<std::string> made; // our Segment-ACKs and Aborts: their first four APDU bytes
    int iRequests = -1; // confirmed requests we put on the wire; -1: not checked
    bool bOneId = false; // every request with one invoke ID (retries)
    bool bListen = true;
    bool bCaptureOnWire = false; // exactly the capture's frames went out
};

// What the wire shows of a conversation: BACnet/IP from 10.0.0.1 (us) and
// 10.0.0.2 (the device), the APDU at byte 48.
struct SWireSeen {
    size_t nMaxOutstanding = 0;
    int iSharedId = 0; // a request sent while another of the same ID was outstanding
    int iRequests = 0;
    std::set<int> ids;
    std::vector<std::string> made;
};

SWireSeen SeeWire(const Frames& frames, bool bRetries)
{
    SWireSeen seen;
    std::set<int> outstanding;
    for (const Bytes& f : frames) {
        if (f.size() < 52 || f[12] != 0x08 || f[13] != 0x00)
            continue;
        const uint8_t uType = f[48] >> 4;
        if (f[29] == 1 && uType == 0) {
            ++seen.iRequests;
            seen.ids.insert(f[50]);
            if (!outstanding.insert(f[50]).second && !bRetries)
                ++seen.iSharedId;
            seen.nMaxOutstanding = std::max(seen.nMaxOutstanding, outstanding.size());
        } else if (f[29] == 1 && (uType == 4 || uType == 7)) {
            static const char* const kHex = "0123456789abcdef";
            std::string cs;
            for (size_t i = 48; i < 52; ++i) {
                cs += kHex[f[i] >> 4];
                cs += kHex[f[i] & 15];
            }
            seen.made.push_back(cs);
        } else if (f[29] == 2 && uType >= 2 && uType <= 7 && uType != 4) {
            // A segment with more to follow leaves the request outstanding.
            if (!(uType == 3 && (f[48] & 0x0c) == 0x0c))
                outstanding.erase(f[49]);
        }
    }
    return seen;
}

// Text a regular expression matches as it is.
std::string Literal(const std::string& cs)
{
    return std::regex_replace(cs, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

TEST(ListenCommandTest, ConversingOnTheWire)
{
    std::vector<Bytes> flood(20, Ip(1, 2, kReadPv5));
    // The capture's own segmented answer, as the responder would cut it.
    Bytes data = Hex("0c 00000001 19 55 3e 65 78");
    for (int i = 0; i < 120; ++i)
        data.push_back(static_cast<uint8_t>(i));
    data.push_back(0x3f);
    std::vector<Bytes> segmented = { Ip(1, 2, kReadPv5) };
    const size_t nEach = (data.size() + 2) / 3;
    for (uint8_t u = 0; u < 3; ++u) {
        Bytes apdu = Hex("01 00");
        const Bytes head = { static_cast<uint8_t>(u < 2 ? 0x3c : 0x38), 5, u, 2, 12 };
        apdu.insert(apdu.end(), head.begin(), head.end());
        const size_t nTo = u < 2 ? (u + 1) * nEach : data.size();
        apdu.insert(apdu.end(), data.begin() + long(u * nEach), data.begin() + long(nTo));
        segmented.push_back(Ip(2, 1, apdu));
    }
    std::vector<Bytes> eight(8, Ip(1, 2, kReadPv5));
    const std::string kLine = "0\t" + Literal(kRp5) + "\t";
    const std::vector<SWireRow> rows = {
        { "open loop, a queue of 2 loses requests", flood, { "queue=2,2" }, { "--no-converse" }, 4,
            "([0-9]+\t[^\n]*\n){20}",
            // One invoke ID for all: an answer after the next request went is
            // the later one's, and the rest are left over.
            "[\\s\\S]*velmora-replay: 20 packets sent; 20 requests: [0-9]+ answered, "
            "[1-9][0-9]* unanswered(; [0-9]+ answers? heard paired with no request)?; round trip "
            "ms\n",
            -1, {}, 20, true },
        { "conversing, the same flood loses none", flood, { "queue=2,2" }, {}, 0,
            "([0-9]+\t" + Literal(kRp5)
                + "\treadProperty-ACK\\[ *[0-9]+\\][^\t]*\tanswered\tms\n){20}",
            "[\\s\\S]*velmora-replay: 20 packets sent; 20 requests: 20 answered, 0 unanswered; "
            "round trip ms\n",
            1, {}, 20 },
        { "window 4 against a queue of 4", flood, { "queue=4,2" }, { "--window", "4" }, 0,
            "([0-9]+\t[^\n]*\tanswered\tms\n){20}",
            "[\\s\\S]*20 answered, 0 unanswered; round trip ms\n", 4, {}, 20 },
        { "3 segments, window 2, against the capture's own", segmented, { "segments=3,2" },
            { "--expect", "captured" }, 0,
            kLine
                + "readProperty-ACK\\[ 0\\] analog-input,1 present-value = 00 01 [^\t(]*\tok \\(3 "
                  "segments\\)\tms\n",
            "[\\s\\S]*1 request: 1 answered \\(1 ok\\), 0 unanswered; round trip ms; 3 records "
            "skipped \\(not requests\\)\n",
            1, { "40000002", "40000202" }, 1 },
        { "a lost segment: a negative Segment-ACK, then the rest", { Ip(1, 2, kReadPv5) },
            { "segments=3,2", "lose=1" }, {}, 0,
            kLine + "readProperty-ACK[^\t]*\tanswered \\(3 segments\\)\tms\n",
            "[\\s\\S]*1 answered, 0 unanswered; round trip ms\n", 1,
            { "40000002", "42000002", "40000202" }, 1 },
        { "window 1 proposed: every segment acknowledged",
            { Ip(1, 2, kReadPv5), Ip(1, 2, kReadPv5) }, { "segments=3,1" }, {}, 0,
            "([0-9]\t" + Literal(kRp5)
                + "\treadProperty-ACK[^\t]*\tanswered \\(3 segments\\)\tms\n){2}",
            "[\\s\\S]*2 answered, 0 unanswered; round trip ms\n", 1,
            { "40000001", "40000101", "40000201", "40010001", "40010101", "40010201" }, 2 },
        { "retries carry the same invoke ID", { Ip(1, 2, kReadPv5) }, { "default=silent" },
            { "--retries", "2", "--apdu-timeout", "60", "--give-up", "0" }, 4,
            kLine + "-\tunanswered\t-\n",
            "[\\s\\S]*1 request: 0 answered, 1 unanswered; nothing answered: [^\n]*\n", 1, {}, 3,
            true },
        { "a device falls silent: give-up after 3", eight, { "silent-after=2" },
            { "--apdu-timeout", "200", "--give-up", "3" }, 4,
            "([0-9]\t[^\n]*\tanswered\tms\n){2}([0-9]\t[^\n]*\tunanswered\t-\n){3}",
            "velmora-replay: 5 Packets have been sent\n"
            "velmora-replay: Stopped: the device at 10.0.0.2:47808 stopped answering after "
            "record 4\n"
            "velmora-replay: 5 packets sent; 5 requests: 2 answered, 3 unanswered; round trip "
            "ms; 3 requests not sent \\(the device at 10.0.0.2:47808 stopped answering "
            "after record 4\\)\n",
            -1, {}, 5 },
        { "listening off: the capture's bytes, answers too",
            { Ip(1, 2, kReadPv5), Ip(2, 1, kAck5), Ip(2, 1, kIAm77) }, { "default=silent" }, {}, 0,
            "", "velmora-replay: 3 Packets have been sent\n", -1, {}, 1, true, false, true },
    };
    for (const SWireRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CNetns ns("cliconv");
        VTEST_REQUIRE_NETNS(ns);
        CTempDir dir;
        {
            CCaptureWriter writer;
            ASSERT_TRUE(writer.Open(dir.File("c.pcap")));
            for (const Bytes& frame : row.capture)
                ASSERT_TRUE(writer.Write(frame));
            ASSERT_TRUE(writer.Close());
        }
        std::vector<std::string> responderArgs = { VELMORA_RESPONDER, CNetns::PeerIf() };
        responderArgs.insert(responderArgs.end(), row.rules.begin(), row.rules.end());
        CChild responder(responderArgs, dir.Path().string(), ns.Name());
        for (int i = 0; i < 200 && responder.Out().find("ready") == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_NE(responder.Out().find("ready"), std::string::npos) << responder.Err();
        std::unique_ptr<CPeerCapture> pWire;
        {
            CEnterNetns enter(ns);
            ASSERT_TRUE(enter.Ok());
            pWire = std::make_unique<CPeerCapture>(CNetns::SendIf(), 2048);
            ASSERT_TRUE(pWire->Ok());
        }
        std::vector<std::string> args = { VELMORA_REPLAY_EXE, "-i", CNetns::SendIf() };
        if (row.bListen)
            args.push_back("--listen=0.3");
        args.insert(args.end(), row.args.begin(), row.args.end());
        args.push_back("c.pcap");
        CChild command(args, dir.Path().string(), ns.Name());
        EXPECT_EQ(command.Wait(), row.iExit) << command.Err();
        const std::string csOut = Timeless(command.Out());
        const std::string csErr = Timeless(command.Err());
        EXPECT_TRUE(std::regex_match(csOut, std::regex(row.csOut))) << csOut;
        EXPECT_TRUE(std::regex_match(csErr, std::regex(row.csErr))) << csErr;

        const Frames wire = pWire->Collect(1000, 300);
        const SWireSeen seen = SeeWire(wire, row.bOneId);
        if (row.iWindow >= 0) {
            EXPECT_EQ(seen.nMaxOutstanding, static_cast<size_t>(row.iWindow));
        }
        EXPECT_EQ(seen.iSharedId, 0);
        EXPECT_EQ(seen.made, row.made);
        if (row.iRequests >= 0) {
            EXPECT_EQ(seen.iRequests, row.iRequests);
        }
        if (row.bOneId) {
            EXPECT_EQ(seen.ids.size(), 1u);
        }
        if (row.bCaptureOnWire) {
            EXPECT_EQ(wire, Frames(row.capture.begin(), row.capture.end()));
        }
        EXPECT_EQ(TsharkFaults(wire), "");
        responder.Signal(SIGTERM);
        EXPECT_EQ(responder.Wait(), 0);
        EXPECT_EQ(ResponderDropped(responder.Out()), 0) << responder.Out();
    }
}

// The round trip a user reads is the device's delay: 20 ms scripted reads
// 20 ms within a millisecond.
TEST(ListenCommandTest, RoundTripReadsTheDevicesDelay)
{
    CNetns ns("clirtt");
    VTEST_REQUIRE_NETNS(ns);
    CTempDir dir;
    {
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(dir.File("c.pcap")));
        for (uint8_t u = 1; u <= 5; ++u) {
            Bytes request = kReadPv5;
            request[4] = u;
            ASSERT_TRUE(writer.Write(Ip(1, 2, request)));
        }
        ASSERT_TRUE(writer.Close());
    }
    CChild responder(
        { VELMORA_RESPONDER, CNetns::PeerIf(), "default=late=20" }, dir.Path().string(), ns.Name());
    for (int i = 0; i < 200 && responder.Out().find("ready") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(responder.Out().find("ready"), std::string::npos) << responder.Err();
    // The wire's own stamps of each request and its answer: the responder's
    // timer runs late under load, the round trip must still be what the wire saw.
    std::unique_ptr<CPeerCapture> pWire;
    {
        CEnterNetns enter(ns);
        ASSERT_TRUE(enter.Ok());
        pWire = std::make_unique<CPeerCapture>(CNetns::SendIf(), 512);
        ASSERT_TRUE(pWire->Ok());
    }
    // Open loop: each answer keeps its record's invoke ID.
    CChild command({ VELMORA_REPLAY_EXE, "-i", CNetns::SendIf(), "--listen=0.5", "--no-converse",
                       "-q", "c.pcap" },
        dir.Path().string(), ns.Name());
    EXPECT_EQ(command.Wait(), 0) << command.Err();
    const auto onWire = pWire->CollectStamped(10, 500);
    std::istringstream out(command.Out());
    int iLines = 0;
    for (std::string cs; std::getline(out, cs); ++iLines) {
        const double dMs = std::stod(cs.substr(cs.rfind('\t') + 1));
        const uint8_t uInvoke = static_cast<uint8_t>(std::stoi(cs) + 1); // record 0 asks with 1
        Bytes request = kReadPv5, ack = kAck5;
        request[4] = uInvoke;
        ack[3] = uInvoke;
        const int64_t llWire = WireGapNs(onWire, Ip(1, 2, request), Answer(2, 1, ack));
        ASSERT_GT(llWire, 0) << cs;
        EXPECT_NEAR(dMs, static_cast<double>(llWire) / 1e6, 0.1) << cs;
        EXPECT_GE(dMs, 20.0) << cs; // the responder's delay is the least it can take
    }
    EXPECT_EQ(iLines, 5);
    Frames wire;
    for (const CPeerCapture::SStamped& f : onWire)
        wire.push_back(f.bytes);
    EXPECT_EQ(TsharkFaults(wire), "");
    responder.Signal(SIGTERM);
    responder.Wait();
    EXPECT_EQ(ResponderDropped(responder.Out()), 0) << responder.Out();
}

} // namespace

namespace {

// A stop during the wait ends the listening at once, and what was sent is
// still judged and reported.
TEST(ListenCommandTest, AStopEndsTheWait)
{
    struct SStopRow {
        const char* szName;
        int iRequests;
        const char* szListen;
    };
    // Conversing: the second request waits up to 3 s for the first's answer.
    const std::vector<SStopRow> rows = { { "the wait after the last frame", 1, "--listen=60" },
        { "a conversing Send waiting for an answer", 2, "--listen=0.3" } };
    for (const SStopRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CNetns ns("clistop");
        VTEST_REQUIRE_NETNS(ns);
        CTempDir dir;
        {
            CCaptureWriter writer;
            ASSERT_TRUE(writer.Open(dir.File("c.pcap")));
            for (int i = 0; i < row.iRequests; ++i)
                ASSERT_TRUE(writer.Write(Ip(1, 2, kReadPv5)));
            ASSERT_TRUE(writer.Close());
        }
        CChild responder({ VELMORA_RESPONDER, CNetns::PeerIf(), "default=silent" },
            dir.Path().string(), ns.Name());
        for (int i = 0; i < 200 && responder.Out().find("ready") == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_NE(responder.Out().find("ready"), std::string::npos) << responder.Err();
        CChild command({ VELMORA_REPLAY_EXE, "-i", CNetns::SendIf(), row.szListen, "c.pcap" },
            dir.Path().string(), ns.Name());
        std::this_thread::sleep_for(700ms);
        const auto start = std::chrono::steady_clock::now();
        command.Signal(SIGINT);
        EXPECT_EQ(command.Wait(5s), 130);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        // Cut short by the stop, before its time for an answer was over.
        EXPECT_EQ(command.Out(), "0\t" + kRp5 + "\t-\tstopped\t-\n");
        EXPECT_NE(
            command.Err().find("1 packet sent; 1 request: 0 answered, 0 unanswered, 1 stopped"),
            std::string::npos)
            << command.Err();
        responder.Signal(SIGTERM);
        responder.Wait();
    }
}

} // namespace

namespace {

// The progress line goes to a terminal only: under script (a pseudo-terminal)
// it is redrawn, at most 10 times a second; in a pipe, and with -q, standard
// error holds exactly what it held before.
TEST(ProgressCommandTest, OnlyOnATerminal)
{
    CNetns ns("cliprogress");
    VTEST_REQUIRE_NETNS(ns);
    CTempDir dir;
    {
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(dir.File("c.pcap")));
        for (int i = 0; i < 15; ++i)
            ASSERT_TRUE(writer.Write(Ip(1, 2, kReadPv5)));
        ASSERT_TRUE(writer.Close());
    }
    const std::string csCommand
        = std::string(VELMORA_REPLAY_EXE) + " -i " + CNetns::SendIf() + " --pps 10 --loop 2 c.pcap";
    struct SRow {
        const char* szName;
        std::vector<std::string> args;
        bool bProgress;
    };
    const SRow rows[] = {
        { "terminal", { "/usr/bin/script", "-qefc", csCommand, "/dev/null" }, true },
        { "terminal, -q", { "/usr/bin/script", "-qefc", csCommand + " -q", "/dev/null" }, false },
        { "pipe", { "/bin/sh", "-c", csCommand + " 2>&1 | cat" }, false },
    };
    for (const SRow& row : rows) {
        const auto start = std::chrono::steady_clock::now();
        CChild command(row.args, dir.Path().string(), ns.Name());
        EXPECT_EQ(command.Wait(), 0) << row.szName << command.Err();
        const double dSeconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::string csOut = command.Out();
        const long lRedraws = std::count(csOut.begin(), csOut.end(), '\r');
        if (row.bProgress) {
            EXPECT_NE(csOut.find("of 30 records, round 2 of 2"), std::string::npos) << csOut;
            EXPECT_NE(csOut.find(" left"), std::string::npos) << csOut;
            // A terminal turns "\n" into "\r\n": those are no redraws.
            const long lLines = std::count(csOut.begin(), csOut.end(), '\n');
            EXPECT_LE(lRedraws - lLines, static_cast<long>(dSeconds * 10) + 2)
                << row.szName << ": " << dSeconds << " s";
            EXPECT_GE(lRedraws - lLines, 10) << row.szName;
        } else {
            EXPECT_EQ(csOut.find(" records"), std::string::npos) << row.szName << ": " << csOut;
        }
        if (std::string(row.szName) == "pipe") {
            EXPECT_EQ(csOut.rfind("velmora-replay: 30 Packets have been sent\n", 0), 0u) << csOut;
            EXPECT_EQ(csOut.find('\r'), std::string::npos) << csOut;
        }
    }
}

} // namespace

namespace {

// The responder hears as a device's kernel does: each row one frame, sent as
// it is (a raw socket, no Velmora in between), answered or dropped and counted.
TEST(ResponderTest, HearsAsADevicesKernelDoes)
{
    const Bytes good = Ip(1, 2, kReadPv5); // 59 bytes and one of padding
    auto with = [&](const std::function<void(Bytes&)>& change) {
        Bytes f = good;
        change(f);
        return f;
    };
    struct SKernelRow {
        const char* szName;
        Bytes frame;
        bool bAnswered;
    };
    const SKernelRow rows[] = {
        { "both checksums right", good, true },
        { "no UDP checksum (0)", with([](Bytes& f) { f[40] = f[41] = 0; }), true },
        { "padding that is not zero", with([](Bytes& f) { f[59] = 0xaa; }), true },
        { "a wrong IPv4 header checksum", with([](Bytes& f) { f[25] ^= 1; }), false },
        { "a wrong UDP checksum", with([](Bytes& f) { f[41] ^= 1; }), false },
        { "a UDP length that counts the padding", with([](Bytes& f) {
             f[39] += 1;
             f = WithChecksums(f);
         }),
            false },
        { "a total length past the frame", with([](Bytes& f) {
             f[17] += 8;
             f = WithChecksums(f);
         }),
            false },
        { "IP version 6 in an IPv4 frame", with([](Bytes& f) {
             f[14] = 0x65;
             f = WithChecksums(f);
         }),
            false },
    };
    for (const SKernelRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CNetns ns("responder");
        VTEST_REQUIRE_NETNS(ns);
        CTempDir dir;
        CChild responder({ VELMORA_RESPONDER, CNetns::PeerIf() }, dir.Path().string(), ns.Name());
        ASSERT_TRUE(WaitReady(responder)) << responder.Err();
        {
            CEnterNetns enter(ns);
            ASSERT_TRUE(enter.Ok());
            const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
            ASSERT_GE(fd, 0);
            sockaddr_ll sll {};
            sll.sll_family = AF_PACKET;
            sll.sll_ifindex = static_cast<int>(if_nametoindex(CNetns::SendIf()));
            sll.sll_halen = 6;
            EXPECT_EQ(sendto(fd, row.frame.data(), row.frame.size(), 0,
                          reinterpret_cast<sockaddr*>(&sll), sizeof sll),
                static_cast<ssize_t>(row.frame.size()));
            close(fd);
        }
        std::this_thread::sleep_for(100ms);
        responder.Signal(SIGTERM);
        EXPECT_EQ(responder.Wait(), 0);
        EXPECT_NE(responder.Out().find(row.bAnswered ? "answered 1\n" : "answered 0\n"),
            std::string::npos)
            << responder.Out();
        EXPECT_EQ(ResponderDropped(responder.Out()), row.bAnswered ? 0 : 1) << responder.Out();
    }
}

// On a terminal the records are counted beside the Send: a FIFO that nothing
// writes, a character device or a folder chosen as the capture ends with the
// sentence at once (a plain open() of the FIFO would wait for good), and
// nothing reaches the wire.
TEST(ProgressCommandTest, OddFilesEndAtOnceOnATerminal)
{
    CNetns ns("clioddfile");
    VTEST_REQUIRE_NETNS(ns);
    CTempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("fifo.pcap").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.File("folder.pcap"));
    const struct {
        const char* szPath;
        const char* szLine;
    } rows[] = {
        { "fifo.pcap", "Not sent: fifo.pcap is not a capture file" },
        { "/dev/zero", "Not sent: zero is not a capture file" },
        { "/dev/null", "Not sent: null is not a capture file" },
        { "folder.pcap", "Not sent: folder.pcap is not a capture file" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szPath);
        const long long llBefore = ns.RxPackets(CNetns::PeerIf());
        const std::string csCommand = std::string(VELMORA_REPLAY_EXE) + " -i " + CNetns::SendIf()
            + " --listen=0.2 " + row.szPath;
        CChild command(
            { "/usr/bin/script", "-qefc", csCommand, "/dev/null" }, dir.Path().string(), ns.Name());
        EXPECT_EQ(command.Wait(10s), 3);
        EXPECT_NE(command.Out().find(row.szLine), std::string::npos) << command.Out();
        EXPECT_EQ(ns.RxPackets(CNetns::PeerIf()), llBefore);
    }
}

} // namespace

namespace {

// The ICMP destination-unreachable messages the namespace's kernel has sent.
long long IcmpUnreachablesSent(const CNetns& ns)
{
    std::istringstream in(ShellOutput(ns.ExecPrefix() + "cat /proc/net/snmp"));
    std::string csNames, csValues;
    while (std::getline(in, csNames)) {
        if (csNames.rfind("Icmp: ", 0) == 0 && std::getline(in, csValues))
            break;
    }
    std::istringstream names(csNames), values(csValues);
    for (std::string csName, csValue; names >> csName && values >> csValue;) {
        if (csName == "OutDestUnreachs")
            return std::stoll(csValue);
    }
    return -1;
}

// While listening the command holds the UDP port its requests come from on
// the adapter's address, so the host's kernel answers none of the device's
// answers with an ICMP port-unreachable; a port another program holds is
// said in the summary, and the Send goes on.
TEST(ListenCommandTest, TheHostStaysQuietWhileListening)
{
    const std::string csTaken = "; UDP port 47808 on 10.0.0.1 is taken by another program on "
                                "this host: the answers reach it too";
    const struct {
        const char* szName;
        bool bTaken;
    } rows[] = { { "the port free", false }, { "the port taken by another program", true } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szName);
        CNetns ns("cliquiet");
        VTEST_REQUIRE_NETNS(ns);
        // The adapter is station 1 itself: the answers are its kernel's to take.
        ASSERT_EQ(Shell("ip -n " + ns.Name() + " link set vm0 address 02:76:6d:0a:00:01"), 0);
        ASSERT_EQ(Shell("ip -n " + ns.Name() + " addr add 10.0.0.1/24 dev vm0"), 0);
        CTempDir dir;
        {
            CCaptureWriter writer;
            ASSERT_TRUE(writer.Open(dir.File("c.pcap")));
            for (uint8_t u = 1; u <= 8; ++u) {
                Bytes request = kReadPv5;
                request[4] = u;
                ASSERT_TRUE(writer.Write(Ip(1, 2, request)));
            }
            ASSERT_TRUE(writer.Close());
        }
        int iOther = -1;
        if (row.bTaken) {
            CEnterNetns enter(ns);
            ASSERT_TRUE(enter.Ok());
            iOther = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in a {};
            a.sin_family = AF_INET;
            a.sin_port = htons(47808);
            a.sin_addr.s_addr = htonl(0x0a000001);
            ASSERT_EQ(::bind(iOther, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
        }
        CChild responder({ VELMORA_RESPONDER, CNetns::PeerIf() }, dir.Path().string(), ns.Name());
        for (int i = 0; i < 200 && responder.Out().find("ready") == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_NE(responder.Out().find("ready"), std::string::npos) << responder.Err();
        const long long llBefore = IcmpUnreachablesSent(ns);
        ASSERT_GE(llBefore, 0);
        std::unique_ptr<CPeerCapture> pWire;
        {
            CEnterNetns enter(ns);
            ASSERT_TRUE(enter.Ok());
            pWire = std::make_unique<CPeerCapture>(CNetns::SendIf(), 2048);
            ASSERT_TRUE(pWire->Ok());
        }
        CChild command({ VELMORA_REPLAY_EXE, "-i", CNetns::SendIf(), "--listen=0.3",
                           "--no-converse", "c.pcap" },
            dir.Path().string(), ns.Name());
        EXPECT_EQ(command.Wait(), 0) << command.Err();
        EXPECT_EQ(Timeless(command.Err()),
            "velmora-replay: 8 Packets have been sent\n"
            "velmora-replay: 8 packets sent; 8 requests: 8 answered, 0 unanswered; round trip ms"
                + std::string(row.bTaken ? csTaken : "") + "\n");
        EXPECT_EQ(IcmpUnreachablesSent(ns), llBefore);
        const std::string csDebug = vtest::ReadFile(dir.File("Debuglog.txt"));
        EXPECT_EQ(csDebug.find("Listen: UDP port 47808 on 10.0.0.1 is taken by another program")
                != std::string::npos,
            row.bTaken);
        EXPECT_EQ(TsharkFaults(pWire->Collect(1000, 300)), "");
        if (iOther >= 0)
            ::close(iOther);
        responder.Signal(SIGTERM);
        EXPECT_EQ(responder.Wait(), 0);
        EXPECT_EQ(ResponderDropped(responder.Out()), 0) << responder.Out();
    }
}

} // namespace
