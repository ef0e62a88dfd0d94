// Sending, listening and judging together against the scripted responder in
// a namespace: requests leave vm0 through the send socket with transmit
// stamps, the ear hears the answers on vm0, and the judge pairs them.
#include "Child.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "PeerCapture.h"
#include "TestDevices.h"
#include "TestSupport.h"
#include "judge/Judge.h"
#include "replay/Clock.h"
#include "replay/Converse.h"
#include "replay/Ear.h"
#include "replay/SendSocket.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace velmora;
using namespace velmora::judge;
using namespace vtest;
using namespace std::chrono_literals;

namespace {

// Station N is 10.0.0.N, MAC 02:76:6d:0a:00:0N; 1 is us.
Bytes From(uint8_t uFrom, uint8_t uTo, Bytes frame, bool bIp)
{
    frame[5] = uTo;
    frame[11] = uFrom;
    if (bIp) {
        frame[29] = uFrom;
        frame[33] = uTo;
    }
    return WithChecksums(frame);
}

Bytes Ip(uint8_t uTo, const Bytes& npduApdu)
{
    return From(1, uTo, BacnetIp(0x0a, npduApdu), true);
}

Bytes ReadPv(uint8_t uInvoke)
{
    return Cat({ Hex("01 04 00 05"), { uInvoke }, Hex("0c 0c 00000001 19 55") });
}

// The result lines without their round trips (checked on their own).
std::string Lines(const SJudgement& j)
{
    std::string cs;
    for (const SJudgeLine& line : j.lines) {
        std::string csLine = TsvLine(line);
        csLine.erase(csLine.rfind('\t') + 1);
        cs += csLine + (line.llRoundTripNs >= 0 ? "ms\n" : "-\n");
    }
    return cs;
}

struct SRow {
    const char* szName;
    std::vector<std::string> rules;
    std::vector<Bytes> requests;
    std::string csLines;
    int64_t llRoundTripMs = 0; // the least round trip: the responder's delay
};

const std::string kRp5 = "0\treadProperty[ 5] analog-input,1 present-value\t";
const std::string kAck5 = "readProperty-ACK[ 5] analog-input,1 present-value = 21.5";

// The line of record N, readProperty with invoke ID 5 + N, answered or not.
std::string RpLine(int iRecord, bool bAnswered)
{
    const std::string csId = std::to_string(5 + iRecord);
    const std::string csRp = "readProperty[ " + csId + "] analog-input,1 present-value";
    return std::to_string(iRecord) + "\t" + csRp + "\t"
        + (bAnswered ? "readProperty-ACK[ " + csId
                    + "] analog-input,1 present-value = 21.5"
                      "\tanswered\tms\n"
                     : "-\tunanswered\t-\n");
}

// Requests 5, 6, ... as records 0, 1, ...
std::vector<Bytes> ReadPvs(int n)
{
    std::vector<Bytes> v;
    for (int i = 0; i < n; ++i)
        v.push_back(Ip(2, ReadPv(static_cast<uint8_t>(5 + i))));
    return v;
}

TEST(ListenTest, TheRespondersScriptsAsJudged)
{
    const std::vector<SRow> rows = {
        { "answer over BACnet/IP", {}, { Ip(2, ReadPv(5)) }, kRp5 + kAck5 + "\tanswered\tms\n" },
        { "answer over BACnet/Ethernet", {}, { From(1, 2, BacnetEthernet(ReadPv(5)), false) },
            kRp5 + kAck5 + "\tanswered\tms\n" },
        { "Error", { "default=error=2,32" }, { Ip(2, ReadPv(5)) },
            kRp5 + "Error[ 5] readProperty property: unknown-property\tanswered\tms\n" },
        { "Reject", { "default=reject=9" }, { Ip(2, ReadPv(5)) },
            kRp5 + "Reject[ 5] unrecognized-service\tanswered\tms\n" },
        { "Abort", { "default=abort=4" }, { Ip(2, ReadPv(5)) },
            kRp5 + "Abort[ 5] segmentation-not-supported\tanswered\tms\n" },
        { "through a router", { "default=routed" },
            { Ip(9, Hex("01 24 0005 01 07 ff 00 05 05 0c 0c 00000001 19 55")) },
            "0\treadProperty[ 5] analog-input,1 present-value\t" + kAck5 + "\tanswered\tms\n" },
        { "through the wrong router address", { "default=routed=5,8" },
            { Ip(9, Hex("01 24 0005 01 07 ff 00 05 05 0c 0c 00000001 19 55")) },
            "0\treadProperty[ 5] analog-input,1 present-value\t-\tunanswered\t-\n" },
        { "silent", { "default=silent" }, { Ip(2, ReadPv(5)) }, kRp5 + "-\tunanswered\t-\n" },
        { "one silent, one answered", { "invoke=6=silent" }, { Ip(2, ReadPv(5)), Ip(2, ReadPv(6)) },
            kRp5 + kAck5 + "\tanswered\tms\n"
                + "1\treadProperty[ 6] analog-input,1 present-value\t-\tunanswered\t-\n" },
        { "late by 20 ms", { "default=late=20" }, { Ip(2, ReadPv(5)) },
            kRp5 + kAck5 + "\tanswered\tms\n", 20 },
        { "a Who-Is answered twice", { "whois=2", "device=77" }, { Ip(2, Hex("01 00 10 08")) },
            "0\twho-Is\ti-Am device,77\tanswered\tms\n0\twho-Is\ti-Am device,77\tanswered\tms\n" },
        // A busy device: a flood sent open loop loses what its queue cannot hold.
        { "a queue of 2 under a flood", { "queue=2,20" }, ReadPvs(5),
            RpLine(0, true) + RpLine(1, true) + RpLine(2, false) + RpLine(3, false)
                + RpLine(4, false) },
        { "silent after 1", { "silent-after=1" }, ReadPvs(3),
            RpLine(0, true) + RpLine(1, false) + RpLine(2, false) },
    };
    for (const SRow& row : rows) {
        CNetns ns("listen");
        VTEST_REQUIRE_NETNS(ns);
        CTempDir dir;
        std::vector<std::string> args = { VELMORA_RESPONDER, CNetns::PeerIf() };
        args.insert(args.end(), row.rules.begin(), row.rules.end());
        CChild responder(args, dir.Path().string(), ns.Name());
        for (int i = 0; i < 200 && responder.Out().find("ready") == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_NE(responder.Out().find("ready"), std::string::npos)
            << row.szName << responder.Err();

        CEnterNetns enter(ns);
        ASSERT_TRUE(enter.Ok());
        // The wire's own stamps of both frames: the responder's timer runs
        // late under load, the round trip must still be what the wire saw.
        CPeerCapture wire(CNetns::SendIf(), 512);
        ASSERT_TRUE(wire.Ok());
        CSocketSink sink;
        CEar ear;
        std::string csError;
        ASSERT_TRUE(sink.Open(CNetns::SendIf(), csError)) << csError;
        ASSERT_TRUE(SetSendStamps(sink.Fd(), true));
        ASSERT_TRUE(ear.Start(CNetns::SendIf(), csError)) << csError;
        std::vector<SJudgedFrame> requests;
        for (size_t i = 0; i < row.requests.size(); ++i) {
            const Bytes& frame = row.requests[i];
            ASSERT_TRUE(sink.Transmit(frame.data(), static_cast<uint32_t>(frame.size())));
            requests.push_back({ i, 0, frame });
        }
        std::vector<SHeardFrame> heard;
        while (ear.Read(heard, 300) > 0) { }
        ear.Stop();
        std::vector<SSendStamp> stamps;
        ReadSendStamps(sink.Fd(), stamps);
        ASSERT_EQ(stamps.size(), requests.size()) << row.szName;
        for (const SSendStamp& s : stamps)
            requests.at(s.uId).llNs = s.llNs;
        std::vector<SJudgedFrame> answers;
        for (const SHeardFrame& h : heard)
            answers.push_back({ 0, h.llNs, h.bytes });

        const SJudgement j = Judge(requests, answers, nullptr);
        EXPECT_EQ(Lines(j), row.csLines) << row.szName;
        const auto onWire = wire.CollectStamped(64, 300);
        for (const SJudgeLine& line : j.lines) {
            if (line.llRoundTripNs < 0)
                continue;
            const int64_t llWire = WireGapNs(
                onWire, requests.at(line.nRequest).bytes, answers.at(line.nAnswer).bytes);
            ASSERT_GT(llWire, 0) << row.szName;
            EXPECT_NEAR(static_cast<double>(line.llRoundTripNs) / 1e6,
                static_cast<double>(llWire) / 1e6, 0.1)
                << row.szName;
            // The responder waits at least its delay.
            EXPECT_GE(line.llRoundTripNs, row.llRoundTripMs * 1'000'000) << row.szName;
        }
        Frames wireFrames;
        for (const CPeerCapture::SStamped& f : onWire)
            wireFrames.push_back(f.bytes);
        EXPECT_EQ(TsharkFaults(wireFrames), "") << row.szName;
        responder.Signal(SIGTERM);
        EXPECT_EQ(responder.Wait(), 0) << row.szName;
        EXPECT_EQ(ResponderDropped(responder.Out()), 0) << row.szName << responder.Out();
    }
}

// A segmented answer nobody acknowledges: the window again three times at the
// segment time-out, then an Abort, as a server does.
TEST(ListenTest, TheResponderRetransmitsAnUnacknowledgedWindowThenAborts)
{
    CNetns ns("listen");
    VTEST_REQUIRE_NETNS(ns);
    CTempDir dir;
    CChild responder({ VELMORA_RESPONDER, CNetns::PeerIf(), "segments=3,2", "segtimeout=20" },
        dir.Path().string(), ns.Name());
    for (int i = 0; i < 200 && responder.Out().find("ready") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(responder.Out().find("ready"), std::string::npos) << responder.Err();
    CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    CSocketSink sink;
    CEar ear;
    std::string csError;
    ASSERT_TRUE(sink.Open(CNetns::SendIf(), csError)) << csError;
    ASSERT_TRUE(ear.Start(CNetns::SendIf(), csError)) << csError;
    const Bytes request = Ip(2, ReadPv(5));
    ASSERT_TRUE(sink.Transmit(request.data(), static_cast<uint32_t>(request.size())));
    std::vector<SHeardFrame> heard;
    while (ear.Read(heard, 300) > 0) { }
    ear.Stop();
    std::string csSeen;
    for (const SHeardFrame& h : heard) {
        const SBacnetFrame f = ParseBacnet(h.bytes.data(), h.bytes.size());
        if (f.eApdu == EApdu::ComplexAck)
            csSeen += "segment " + std::to_string(f.uSequence) + (f.bSegmented ? "" : "?") + "; ";
        else if (f.eApdu == EApdu::Abort)
            csSeen += "abort " + std::to_string(f.uReason) + (f.bServer ? " by the server" : "");
        else
            csSeen += "other; ";
    }
    EXPECT_EQ(csSeen, "segment 0; segment 0; segment 0; segment 0; abort 10 by the server");
    responder.Signal(SIGTERM);
    EXPECT_EQ(responder.Wait(), 0);
    EXPECT_EQ(ResponderDropped(responder.Out()), 0) << responder.Out();
}

} // namespace
