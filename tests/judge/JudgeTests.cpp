// Pairing and verdicts, one row per situation a device puts us in: every
// output line of a row is checked as the command prints it.
#include "FrameBuilder.h"
#include "judge/Judge.h"

#include <gtest/gtest.h>

using namespace velmora::judge;
using namespace vtest;

namespace {

constexpr int64_t kT0 = 1700000000000000000;
constexpr int64_t kMs = 1000000;

// Stations: 1 is us (the client), 2 and 3 devices, 9 a router or BBMD.
// BACnet/IP: 10.0.0.N:47808 (or uPort), MAC 02:76:6d:0a:00:0N.
Bytes From(uint8_t uFrom, uint8_t uTo, Bytes frame, bool bIp)
{
    frame[5] = uTo;
    frame[11] = uFrom;
    if (bIp) {
        frame[29] = uFrom;
        frame[33] = uTo;
    }
    return frame;
}

Bytes Ip(uint8_t uFrom, uint8_t uTo, const Bytes& npduApdu)
{
    return From(uFrom, uTo, BacnetIp(0x0a, npduApdu), true);
}

Bytes Eth(uint8_t uFrom, uint8_t uTo, const Bytes& npduApdu)
{
    return From(uFrom, uTo, BacnetEthernet(npduApdu), false);
}

// Requests and answers (NPDU and APDU).
const Bytes kReadPv5 = Hex("01 04 00 05 05 0c 0c 00000001 19 55");
const Bytes kReadPv6 = Hex("01 04 00 05 06 0c 0c 00000001 19 55");
const Bytes kAck5 = Hex("01 00 30 05 0c 0c 00000001 19 55 3e 44 41ac0000 3f"); // = 21.5
const Bytes kAck5Other = Hex("01 00 30 05 0c 0c 00000001 19 55 3e 44 41b00000 3f"); // = 22.0
const Bytes kAck6 = Hex("01 00 30 06 0c 0c 00000001 19 55 3e 44 41ac0000 3f");
const Bytes kError5 = Hex("01 00 50 05 0c 91 01 91 1f"); // object: unknown-object
const Bytes kError5Property = Hex("01 00 50 05 0c 91 02 91 20"); // property: unknown-property
const Bytes kError5OtherCode = Hex("01 00 50 05 0c 91 01 91 11"); // object, another code
const Bytes kReject5 = Hex("01 00 60 05 09");
const Bytes kAbort5 = Hex("01 00 71 05 04");
const Bytes kSegmentedAck5 = Hex("01 00 3c 05 00 04 0c 0c 00000001 19 55 3e 44 41ac0000");
const Bytes kWrite7 = Hex("01 04 00 05 07 0f 0c 00000001 19 55 3e 44 41ac0000 3f");
const Bytes kSimpleAck7 = Hex("01 00 20 07 0f");
const Bytes kWhoIs = Hex("01 20 ffff 00 ff 10 08");
const Bytes kWhoIs100To200 = Hex("01 00 10 08 09 64 1a 00 c8");
const Bytes kIAm150 = Hex("01 00 10 00 c4 02000096 22 01e0 91 00 21 0f");
const Bytes kIAm300 = Hex("01 00 10 00 c4 0200012c 22 01e0 91 00 21 0f");
const Bytes kIAm120 = Hex("01 00 10 00 c4 02000078 22 01e0 91 00 21 0f");
const Bytes kIAm200 = Hex("01 00 10 00 c4 020000c8 22 01e0 91 00 21 0f");
const Bytes kIAm201 = Hex("01 00 10 00 c4 020000c9 22 01e0 91 00 21 0f");
const Bytes kIAm100 = Hex("01 00 10 00 c4 02000064 22 01e0 91 00 21 0f");
// The capture's device 207 and the bench's 1234.
const Bytes kWhoIs207 = Hex("01 00 10 08 09 cf 19 cf");
const Bytes kWhoIs1234 = Hex("01 00 10 08 0a 04d2 1a 04d2");
const Bytes kWhoIs100To300 = Hex("01 00 10 08 09 64 1a 012c");
const Bytes kIAm207 = Hex("01 00 10 00 c4 020000cf 22 01e0 91 00 21 0f");
const Bytes kIAm1234 = Hex("01 00 10 00 c4 020004d2 22 01e0 91 00 21 0f");
const Bytes kReadName207 = Hex("01 04 00 05 05 0c 0c 020000cf 19 4d");
const Bytes kReadName1234 = Hex("01 04 00 05 05 0c 0c 020004d2 19 4d");
const Bytes kNameAck207 = Hex("01 00 30 05 0c 0c 020000cf 19 4d 3e 74 00 41 48 55 3f");
const Bytes kNameAck1234 = Hex("01 00 30 05 0c 0c 020004d2 19 4d 3e 74 00 41 48 55 3f");
const std::vector<velmora::decode::SDeviceMap> k207To1234 = { { 207, 1234 } };
const Bytes kTimeSync = Hex("01 00 10 06 a4 7e0c0701 b4 0c000000");

struct SRow {
    const char* szName;
    std::vector<SJudgedFrame> requests;
    std::vector<SJudgedFrame> heard;
    std::vector<SJudgedFrame> capture; // empty: no --expect
    std::string csLines;
    std::string csSummary;
    bool bConfirmedFailed;
    std::vector<velmora::decode::SDeviceMap> devices {}; // the aim's device map
};

SJudgedFrame Sent(uint64_t uRecord, int64_t llMs, Bytes b)
{
    return { uRecord, kT0 + llMs * kMs, std::move(b) };
}
// Sent with a time placed between two stamps, the earlier one llEarliestUs.
SJudgedFrame Placed(uint64_t uRecord, int64_t llUs, int64_t llEarliestUs, Bytes b)
{
    return { uRecord, kT0 + llUs * 1000, std::move(b), kT0 + llEarliestUs * 1000 };
}
SJudgedFrame Heard(int64_t llUs, Bytes b)
{
    return { 0, kT0 + llUs * 1000, std::move(b) };
}
SJudgedFrame Rec(uint64_t uRecord, Bytes b)
{
    return { uRecord, 0, std::move(b) };
}
// Sent by a conversation with invoke ID uSent where the capture held 5 (a
// BACnet/IP request's invoke ID is byte 50).
SJudgedFrame Fresh(uint64_t uRecord, int64_t llMs, Bytes b, uint8_t uSent)
{
    b[50] = uSent;
    SJudgedFrame f = Sent(uRecord, llMs, std::move(b));
    f.iInvokeAt = 50;
    f.uCapturedInvokeId = 5;
    return f;
}
// A segmented answer a conversation reassembled from iSegments segments.
SJudgedFrame Whole(int64_t llUs, Bytes b, int iSegments)
{
    SJudgedFrame f = Heard(llUs, std::move(b));
    f.iSegments = iSegments;
    return f;
}
// The segments of readProperty-ACK 5 (= 21.5), as a capture records them.
const Bytes kAck5Segment0 = Hex("01 00 3c 05 00 04 0c 0c 00000001 19 55");
const Bytes kAck5Segment1 = Hex("01 00 38 05 01 04 0c 3e 44 41ac0000 3f");

std::string Lines(const SJudgement& j)
{
    std::string cs;
    for (const SJudgeLine& line : j.lines)
        cs += TsvLine(line);
    return cs;
}

const std::string kRp5 = "readProperty[ 5] analog-input,1 present-value";

TEST(JudgeTest, PairingOnTheWire)
{
    // Routed: to DNET 5, DADR 07 through router 9.
    const Bytes routedRequest = Hex("01 24 0005 01 07 ff 00 05 05 0c 0c 00000001 19 55");
    const Bytes routedAck = Hex("01 08 0005 01 07 30 05 0c 0c 00000001 19 55 3e 44 41ac0000 3f");
    const Bytes routedAckOtherStation
        = Hex("01 08 0005 01 08 30 05 0c 0c 00000001 19 55 3e 44 41ac0000 3f");
    const Bytes forwardedAck = BacnetIp(0x04, Cat({ Hex("0a000002 bac0"), kAck5 }));
    const std::vector<SRow> rows = {
        { "answered over BACnet/IP", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(2000, Ip(2, 1, kAck5)) }, {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t2.000\n",
            "1 packet sent; 1 request: 1 answered (median 2.0 ms), 0 unanswered", false },
        { "answered over BACnet/Ethernet", { Sent(3, 0, Eth(1, 2, kReadPv5)) },
            { Heard(1500, Eth(2, 1, kAck5)) }, {},
            "3\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t1.500\n",
            "1 packet sent; 1 request: 1 answered (median 1.5 ms), 0 unanswered", false },
        { "Error, Reject and Abort answer too",
            { Sent(0, 0, Ip(1, 2, kReadPv5)), Sent(1, 10, Ip(1, 3, kReadPv5)),
                Sent(2, 20, Ip(1, 2, kReadPv6)) },
            { Heard(1000, Ip(2, 1, kError5)), Heard(11000, Ip(3, 1, kReject5)),
                Heard(21000, Ip(2, 1, Hex("01 00 71 06 04"))) },
            {},
            "0\t" + kRp5
                + "\tError[ 5] readProperty object: unknown-object\tanswered\t1.000\n"
                  "1\t"
                + kRp5
                + "\tReject[ 5] unrecognized-service\tanswered\t1.000\n"
                  "2\treadProperty[ 6] analog-input,1 present-value\tAbort[ 6] "
                  "segmentation-not-supported\tanswered\t1.000\n",
            "3 packets sent; 3 requests: 3 answered (median 1.0 ms), 0 unanswered", false },
        // Same invoke ID, but from another device, to another client, or before the request.
        { "answers that are not ours", { Sent(0, 10, Ip(1, 2, kReadPv5)) },
            { Heard(5000, Ip(2, 1, kAck5)), Heard(11000, Ip(3, 1, kAck5)),
                Heard(12000, Ip(2, 3, kAck5)), Heard(13000, Ip(2, 1, kAck6)) },
            {}, "0\t" + kRp5 + "\t-\tunanswered\t-\n",
            "1 packet sent; 1 request: 0 answered, 1 unanswered", true },
        // A placed send time may come out later than the answer: the answer
        // still counts, timed from the earliest the request can have left.
        { "answered before its placed send time", { Placed(0, 30, 0, Ip(1, 2, kReadPv5)) },
            { Heard(20, Ip(2, 1, kAck5)) }, {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t0.020\n",
            "1 packet sent; 1 request: 1 answered (median 0.0 ms), 0 unanswered", false },
        { "the first answer counts, once",
            { Sent(0, 0, Ip(1, 2, kReadPv5)), Sent(1, 10, Ip(1, 2, kReadPv5)) },
            { Heard(2000, Ip(2, 1, kAck5)), Heard(3000, Ip(2, 1, kError5)),
                Heard(14000, Ip(2, 1, kAck5)) },
            {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t2.000\n"
                  // The Error heard before the second request went out is no answer to it.
                  "1\t"
                + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t4.000\n",
            "2 packets sent; 2 requests: 2 answered (median 3.0 ms), 0 unanswered", false },
        { "through a router", { Sent(0, 0, Ip(1, 9, routedRequest)) },
            { Heard(1000, Ip(9, 1, routedAckOtherStation)), Heard(3000, Ip(9, 1, routedAck)) }, {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t3.000\n",
            "1 packet sent; 1 request: 1 answered (median 3.0 ms), 0 unanswered", false },
        { "forwarded by a BBMD", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(4000, From(9, 1, forwardedAck, true)) }, {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5 (from "
                  "10.0.0.2:47808)\tanswered\t4.000\n",
            "1 packet sent; 1 request: 1 answered (median 4.0 ms), 0 unanswered", false },
        { "segmented ComplexACK", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(2500, Ip(2, 1, kSegmentedAck5)) }, {},
            "0\t" + kRp5 + "\treadProperty-ACK[ 5] segment 0, more follows\tanswered\t2.500\n",
            "1 packet sent; 1 request: 1 answered (median 2.5 ms), 0 unanswered", false },
        { "Who-Is answered twice, I-Am out of its limits", { Sent(4, 0, Ip(1, 2, kWhoIs100To200)) },
            { Heard(1000, Ip(2, 1, kIAm150)), Heard(1200, Ip(3, 1, kIAm300)),
                Heard(2000, Ip(3, 1, kIAm120)) },
            {},
            "4\twho-Is 100-200\ti-Am device,150\tanswered\t1.000\n"
            "4\twho-Is 100-200\ti-Am device,120\tanswered\t2.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered", false },
        // The limits hold both ends: 100 and 200 answer, 201 does not.
        { "Who-Is answered at its limits", { Sent(4, 0, Ip(1, 2, kWhoIs100To200)) },
            { Heard(1000, Ip(2, 1, kIAm200)), Heard(1200, Ip(3, 1, kIAm201)),
                Heard(2000, Ip(3, 1, kIAm100)) },
            {},
            "4\twho-Is 100-200\ti-Am device,200\tanswered\t1.000\n"
            "4\twho-Is 100-200\ti-Am device,100\tanswered\t2.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered", false },
        // Aimed with --map-device 207=1234: the bench's I-Am answers for 207.
        { "Who-Is for the mapped device", { Sent(4, 0, Ip(1, 2, kWhoIs1234)) },
            { Heard(1000, Ip(2, 1, kIAm1234)) }, {},
            "4\twho-Is 1234-1234\ti-Am device,1234\tanswered\t1.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered", false,
            k207To1234 },
        { "Who-Is range left alone, answered by the bench device",
            { Sent(4, 0, Ip(1, 2, kWhoIs100To300)) }, { Heard(1000, Ip(2, 1, kIAm1234)) }, {},
            "4\twho-Is 100-300\ti-Am device,1234\tanswered\t1.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered", false,
            k207To1234 },
        { "Who-Is range without the map", { Sent(4, 0, Ip(1, 2, kWhoIs100To300)) },
            { Heard(1000, Ip(2, 1, kIAm1234)) }, {}, "4\twho-Is 100-300\t-\tunanswered\t-\n",
            "1 packet sent; 1 request: 0 answered, 1 unanswered", false },
        { "Who-Is unanswered, other unconfirmed requests not judged",
            { Sent(0, 0, Ip(1, 2, kWhoIs)), Sent(1, 1, Ip(1, 2, kTimeSync)) }, {}, {},
            "0\twho-Is\t-\tunanswered\t-\n", "2 packets sent; 1 request: 0 answered, 1 unanswered",
            false },
        // The captured ID answers nothing; the line names the request as captured.
        { "a fresh invoke ID: paired by it", { Fresh(0, 0, Ip(1, 2, kReadPv5), 0) },
            { Heard(1000, Ip(2, 1, kAck5)),
                Heard(2000, Ip(2, 1, Hex("01 00 30 00 0c 0c 00000001 19 55 3e 44 41ac0000 3f"))) },
            {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 0] analog-input,1 present-value = 21.5\tanswered\t2.000\n",
            "1 packet sent; 1 request: 1 answered (median 2.0 ms), 0 unanswered", false },
        // Reassembled whole: its first segment is no answer of its own.
        { "a segmented answer judged whole", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5Segment0)), Heard(2500, Ip(2, 1, kAck5Segment1)),
                Whole(2500, Ip(2, 1, kAck5), 2) },
            {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered (2 "
                  "segments)\t2.500\n",
            "1 packet sent; 1 request: 1 answered (median 2.5 ms), 0 unanswered", false },
        { "no send time stamp", { { 0, 0, Ip(1, 2, kReadPv5) } }, { Heard(2000, Ip(2, 1, kAck5)) },
            {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t-\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered", false },
    };
    for (const SRow& row : rows) {
        const SJudgement j = Judge(row.requests, row.heard, nullptr, row.devices);
        EXPECT_EQ(Lines(j), row.csLines) << row.szName;
        EXPECT_EQ(SummaryText(row.requests.size(), j), row.csSummary) << row.szName;
        EXPECT_EQ(j.bConfirmedFailed, row.bConfirmedFailed) << row.szName;
    }
}

TEST(JudgeTest, VerdictsAgainstTheCapture)
{
    // The capture: our request (record 0) and the device's answer (record 1),
    // then a write (2) with its SimpleACK (3), a read nobody answered (4) and
    // a Who-Is (5) with one I-Am (6).
    const std::vector<SJudgedFrame> capture = { Rec(0, Ip(1, 2, kReadPv5)),
        Rec(1, Ip(2, 1, kError5)), Rec(2, Ip(1, 2, kWrite7)), Rec(3, Ip(2, 1, kSimpleAck7)),
        Rec(4, Ip(1, 2, kReadPv6)), Rec(5, Ip(1, 2, kWhoIs)), Rec(6, Ip(2, 1, kIAm150)) };
    const Bytes captureAck5 = Ip(2, 1, kAck5);
    const std::vector<SJudgedFrame> captureAck
        = { Rec(0, Ip(1, 2, kReadPv5)), Rec(1, captureAck5) };
    const std::string csRecordedError = "Error readProperty object: unknown-object";
    const std::vector<SRow> rows = {
        { "the same Error came", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kError5)) }, capture,
            "0\t" + kRp5 + "\tError[ 5] readProperty object: unknown-object\tok\t1.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered", false },
        { "another Error code came", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kError5Property)) }, capture,
            "0\t" + kRp5
                + "\tError[ 5] readProperty property: unknown-property\tdiffers (Error "
                  "readProperty property: unknown-property; recorded "
                + csRecordedError + ")\t1.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered, 1 differs", true },
        { "the same Error class with another code came", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kError5OtherCode)) }, capture,
            "0\t" + kRp5
                + "\tError[ 5] readProperty object: no-objects-of-specified-type\tdiffers (Error "
                  "readProperty object: no-objects-of-specified-type; recorded "
                + csRecordedError + ")\t1.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered, 1 differs", true },
        { "an ACK came where an Error was recorded", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5)) }, capture,
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tdiffers "
                  "(readProperty-ACK; recorded "
                + csRecordedError + ")\t1.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered, 1 differs", true },
        { "Reject and Abort where an Error was recorded",
            { Sent(0, 0, Ip(1, 2, kReadPv5)), Sent(0, 10, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kReject5)), Heard(11000, Ip(2, 1, kAbort5)) }, capture,
            "0\t" + kRp5
                + "\tReject[ 5] unrecognized-service\tdiffers (Reject unrecognized-service; "
                  "recorded "
                + csRecordedError
                + ")\t1.000\n"
                  "0\t"
                + kRp5
                + "\tAbort[ 5] segmentation-not-supported\tdiffers (Abort "
                  "segmentation-not-supported; recorded "
                + csRecordedError + ")\t1.000\n",
            "2 packets sent; 2 requests: 2 answered (median 1.0 ms), 0 unanswered, 2 differ",
            true },
        { "another value is not a failure", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5Other)) }, captureAck,
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 22.0 (recorded: "
                  "readProperty-ACK[ 5] analog-input,1 present-value = 21.5)\tok\t1.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered", false },
        { "SimpleACK as recorded, nothing where something was",
            { Sent(2, 0, Ip(1, 2, kWrite7)), Sent(0, 10, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kSimpleAck7)) }, capture,
            "2\twriteProperty[ 7] analog-input,1 present-value = 21.5\tSimpleACK[ 7] "
            "writeProperty\tok\t1.000\n"
            "0\t"
                + kRp5 + "\t-\tunanswered\t-\n",
            "2 packets sent; 2 requests: 1 answered (median 1.0 ms), 1 unanswered", true },
        { "the bench device's I-Am as the recorded one", { Sent(0, 0, Ip(1, 2, kWhoIs1234)) },
            { Heard(1000, Ip(2, 1, kIAm1234)) },
            { Rec(0, Ip(1, 2, kWhoIs207)), Rec(1, Ip(2, 1, kIAm207)) },
            "0\twho-Is 1234-1234\ti-Am device,1234\tok\t1.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered", false,
            k207To1234 },
        { "an ACK naming the bench device as the recorded one",
            { Sent(0, 0, Ip(1, 2, kReadName1234)) }, { Heard(1000, Ip(2, 1, kNameAck1234)) },
            { Rec(0, Ip(1, 2, kReadName207)), Rec(1, Ip(2, 1, kNameAck207)) },
            "0\treadProperty[ 5] device,1234 object-name\treadProperty-ACK[ 5] device,1234 "
            "object-name = \"AHU\" (recorded: readProperty-ACK[ 5] device,207 object-name = "
            "\"AHU\")\tok\t1.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered", false,
            k207To1234 },
        { "no record to compare with", { Sent(4, 0, Ip(1, 2, kReadPv6)) },
            { Heard(1000, Ip(2, 1, kAck6)) }, capture,
            "4\treadProperty[ 6] analog-input,1 present-value\treadProperty-ACK[ 6] analog-input,1 "
            "present-value = 21.5\tno-record\t1.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered, 1 no record",
            false },
        // The recorded answer is reassembled too: the same text, no "(recorded: ...)".
        { "a whole answer against the capture's segments", { Fresh(0, 0, Ip(1, 2, kReadPv5), 9) },
            { Whole(3000, Ip(2, 1, Hex("01 00 30 09 0c 0c 00000001 19 55 3e 44 41ac0000 3f")), 2) },
            { Rec(0, Ip(1, 2, kReadPv5)), Rec(1, Ip(2, 1, kAck5Segment0)),
                Rec(2, Ip(2, 1, kAck5Segment1)) },
            "0\t" + kRp5
                + "\treadProperty-ACK[ 9] analog-input,1 present-value = 21.5\tok (2 "
                  "segments)\t3.000\n",
            "1 packet sent; 1 request: 1 answered (median 3.0 ms), 0 unanswered", false },
        { "Who-Is with its recorded I-Am", { Sent(5, 0, Ip(1, 2, kWhoIs)) },
            { Heard(1000, Ip(2, 1, kIAm150)), Heard(2000, Ip(3, 1, kIAm300)) }, capture,
            "5\twho-Is\ti-Am device,150\tok\t1.000\n"
            "5\twho-Is\ti-Am device,300\tok\t2.000\n",
            "1 packet sent; 1 request: 1 answered (median 1.0 ms), 0 unanswered", false },
    };
    for (const SRow& row : rows) {
        const SJudgement j = Judge(row.requests, row.heard, &row.capture, row.devices);
        EXPECT_EQ(Lines(j), row.csLines) << row.szName;
        EXPECT_EQ(SummaryText(row.requests.size(), j), row.csSummary) << row.szName;
        EXPECT_EQ(j.bConfirmedFailed, row.bConfirmedFailed) << row.szName;
    }
}

TEST(JudgeTest, RequestsOnly)
{
    struct SCase {
        const char* szName;
        Bytes frame;
        ERequestKind eKind;
    };
    const SCase cases[] = {
        { "confirmed request", Ip(1, 2, kReadPv5), ERequestKind::Confirmed },
        { "Who-Is", Ip(1, 2, kWhoIs), ERequestKind::Unconfirmed },
        { "TimeSynchronization", Ip(1, 2, kTimeSync), ERequestKind::Unconfirmed },
        { "Who-Is-Router-To-Network", Ip(1, 2, Hex("01 80 00")), ERequestKind::RouterQuery },
        { "I-Am", Ip(2, 1, kIAm150), ERequestKind::Skipped },
        { "I-Have", Ip(2, 1, Hex("01 00 10 01 c4 02000007 c4 00000001 75 04 00 41 42 43")),
            ERequestKind::Skipped },
        { "ComplexACK", Ip(2, 1, kAck5), ERequestKind::Skipped },
        { "SimpleACK", Ip(2, 1, kSimpleAck7), ERequestKind::Skipped },
        { "Error", Ip(2, 1, kError5), ERequestKind::Skipped },
        { "Reject", Ip(2, 1, kReject5), ERequestKind::Skipped },
        { "Abort", Ip(2, 1, kAbort5), ERequestKind::Skipped },
        { "SegmentACK", Ip(1, 2, Hex("01 00 40 05 01 04")), ERequestKind::Skipped },
        { "I-Am-Router-To-Network", Ip(9, 1, Hex("01 80 01 0005")), ERequestKind::Skipped },
        { "BVLC only", BacnetIp(0x05, Hex("003c")), ERequestKind::Skipped },
        { "ARP", EthernetII(0x0806, Hex("0001 0800 06 04 0001")), ERequestKind::Skipped },
        { "BACnet/Ethernet confirmed", Eth(1, 2, kReadPv5), ERequestKind::Confirmed },
    };
    for (const SCase& c : cases)
        EXPECT_EQ(ClassifyRequest(c.frame.data(), c.frame.size()), c.eKind) << c.szName;
}

TEST(JudgeTest, JUnitReport)
{
    // A Who-Is answered twice is one case.
    const std::vector<SJudgedFrame> requests = { Sent(0, 0, Ip(1, 2, kReadPv5)),
        Sent(2, 10, Ip(1, 2, kReadPv6)), Sent(3, 20, Ip(1, 2, kWhoIs100To200)) };
    const SJudgement j = Judge(requests,
        { Heard(20000, Ip(2, 1, kAck5)), Heard(21000, Ip(2, 1, kIAm150)),
            Heard(22000, Ip(3, 1, kIAm120)) },
        nullptr);
    ASSERT_EQ(j.lines.size(), 4u);
    EXPECT_EQ(JUnitXml("a<b>&\"c\".pcap", j),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
        "<testsuite name=\"a&lt;b&gt;&amp;&quot;c&quot;.pcap\" tests=\"3\" failures=\"1\">\n"
        "  <testcase classname=\"a&lt;b&gt;&amp;&quot;c&quot;.pcap\" name=\"record 0: "
            + kRp5
            + "\" time=\"0.020\"/>\n"
              "  <testcase classname=\"a&lt;b&gt;&amp;&quot;c&quot;.pcap\" name=\"record 2: "
              "readProperty[ 6] analog-input,1 present-value\" time=\"0.000\">\n"
              "    <failure message=\"unanswered\">answer: -\nrecorded: -</failure>\n"
              "  </testcase>\n"
              "  <testcase classname=\"a&lt;b&gt;&amp;&quot;c&quot;.pcap\" name=\"record 3: who-Is "
              "100-200\" time=\"0.001\"/>\n"
              "</testsuite>\n</testsuites>\n");
}

} // namespace
