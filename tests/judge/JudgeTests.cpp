// Pairing and verdicts, one row per situation a device puts us in: every
// output line of a row is checked as the command prints it.
#include "FrameBuilder.h"
#include "judge/Baseline.h"
#include "judge/Discover.h"
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
const Bytes kAck6Other = Hex("01 00 30 06 0c 0c 00000001 19 55 3e 44 41b00000 3f"); // = 22.0
const Bytes kError5 = Hex("01 00 50 05 0c 91 01 91 1f"); // object: unknown-object
const Bytes kError5Property = Hex("01 00 50 05 0c 91 02 91 20"); // property: unknown-property
const Bytes kError5OtherCode = Hex("01 00 50 05 0c 91 01 91 11"); // object, another code
const Bytes kReject5 = Hex("01 00 60 05 09");
const Bytes kAbort5 = Hex("01 00 71 05 04");
const Bytes kSegmentedAck5 = Hex("01 00 3c 05 00 04 0c 0c 00000001 19 55 3e 44 41ac0000");
const Bytes kWrite7 = Hex("01 04 00 05 07 0f 0c 00000001 19 55 3e 44 41ac0000 3f");
const Bytes kWrite5 = Hex("01 04 00 05 05 0f 0c 00000001 19 55 3e 44 41ac0000 3f");
const Bytes kWriteError5 = Hex("01 00 50 05 0f 91 02 91 28"); // property: write-access-denied
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
const Bytes kNameAck207Other = Hex("01 00 30 05 0c 0c 020000cf 19 4d 3e 74 00 41 48 56 3f");
const Bytes kNameAck207Third = Hex("01 00 30 05 0c 0c 020000cf 19 4d 3e 74 00 41 48 57 3f");
const Bytes kNameAck1234 = Hex("01 00 30 05 0c 0c 020004d2 19 4d 3e 74 00 41 48 55 3f");
const std::vector<velmora::frame::SDeviceMap> k207To1234 = { { 207, 1234 } };
const Bytes kWhoHasAbc = Hex("01 00 10 07 3d 04 00 41 42 43");
const Bytes kIHave7 = Hex("01 00 10 01 c4 02000007 c4 00000001 75 04 00 41 42 43");
const Bytes kIAm7 = Hex("01 00 10 00 c4 02000007 22 01e0 91 00 21 0f");
const Bytes kTimeSync = Hex("01 00 10 06 a4 7e0c0701 b4 0c000000");

struct SRow {
    const char* szName;
    std::vector<SJudgedFrame> requests;
    std::vector<SJudgedFrame> heard;
    std::vector<SJudgedFrame> capture; // empty: no --expect
    std::string csLines;
    std::string csSummary;
    bool bConfirmedFailed;
    std::vector<velmora::frame::SDeviceMap> devices {}; // the aim's device map
    SCompareRules rules {};
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
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 2.0, median 2.0, "
            "p95 2.0, max 2.0 ms",
            false },
        { "answered over BACnet/Ethernet", { Sent(3, 0, Eth(1, 2, kReadPv5)) },
            { Heard(1500, Eth(2, 1, kAck5)) }, {},
            "3\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t1.500\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 1.5, median 1.5, "
            "p95 1.5, max 1.5 ms",
            false },
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
            "3 packets sent; 3 requests: 3 answered, 0 unanswered; round trip min 1.0, median 1.0, "
            "p95 1.0, max 1.0 ms",
            false },
        // The conversation's rule too: a client's Abort ends its own request.
        { "a client's Abort answers nothing", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, Hex("01 00 70 05 04"))) }, {},
            "0\t" + kRp5 + "\t-\tunanswered\t-\n",
            "1 packet sent; 1 request: 0 answered, 1 unanswered", true },
        // Same invoke ID, but from another device, to another client, or before the request.
        { "answers that are not ours", { Sent(0, 10, Ip(1, 2, kReadPv5)) },
            { Heard(5000, Ip(2, 1, kAck5)), Heard(11000, Ip(3, 1, kAck5)),
                Heard(12000, Ip(2, 3, kAck5)), Heard(13000, Ip(2, 1, kAck6)) },
            {}, "0\t" + kRp5 + "\t-\tunanswered\t-\n",
            "1 packet sent; 1 request: 0 answered, 1 unanswered; 2 answers heard paired with no "
            "request",
            true },
        // The same invoke ID to the same device twice, 30 us apart (the second
        // placed between two stamps): each answer by its service.
        { "an answer pairs by its service",
            { Sent(0, 0, Ip(1, 2, kWrite5)), Placed(1, 30, 0, Ip(1, 2, kReadPv5)) },
            { Heard(20, Ip(2, 1, kWriteError5)), Heard(200, Ip(2, 1, kAck5)) }, {},
            "0\twriteProperty[ 5] analog-input,1 present-value = 21.5\tError[ 5] writeProperty "
            "property: write-access-denied\tanswered\t0.020\n1\t"
                + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t0.170\n",
            "2 packets sent; 2 requests: 2 answered, 0 unanswered; round trip min 0.020, median "
            "0.095, p95 0.170, max 0.170 ms",
            false },
        // A device that answers a later request first: the Error names the
        // earlier request's service, and is the later one's answer no more.
        { "an Error of another service answers nothing",
            { Sent(0, 0, Ip(1, 2, kWrite5)), Sent(1, 10, Ip(1, 2, kReadPv5)) },
            { Heard(11000, Ip(2, 1, kWriteError5)), Heard(12000, Ip(2, 1, kAck5)) }, {},
            "0\twriteProperty[ 5] analog-input,1 present-value = 21.5\t-\tunanswered\t-\n1\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t2.000\n",
            "2 packets sent; 2 requests: 1 answered, 1 unanswered; 1 answer heard paired with no "
            "request; round trip min 2.0, median 2.0, p95 2.0, max 2.0 ms",
            true },
        // Heard before the later request's placed send time: the earlier one's.
        { "an answer before the next request with its ID went",
            { Sent(0, 0, Ip(1, 2, kReadPv5)), Placed(1, 30, 0, Ip(1, 2, kReadPv5)) },
            { Heard(20, Ip(2, 1, kAck5)), Heard(200, Ip(2, 1, kError5)) }, {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t0.020\n"
                  "1\t"
                + kRp5 + "\tError[ 5] readProperty object: unknown-object\tanswered\t0.170\n",
            "2 packets sent; 2 requests: 2 answered, 0 unanswered; round trip min 0.020, median "
            "0.095, p95 0.170, max 0.170 ms",
            false },
        // A placed send time may come out later than the answer: the answer
        // still counts, timed from the earliest the request can have left.
        { "answered before its placed send time", { Placed(0, 30, 0, Ip(1, 2, kReadPv5)) },
            { Heard(20, Ip(2, 1, kAck5)) }, {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t0.020\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 0.020, median "
            "0.020, "
            "p95 0.020, max 0.020 ms",
            false },
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
            "2 packets sent; 2 requests: 2 answered, 0 unanswered; 1 answer heard paired with no "
            "request; round trip min 2.0, median 3.0, p95 4.0, max 4.0 ms",
            false },
        // A replay reuses invoke IDs: a silent request does not take the
        // answer to the next one with its ID.
        { "an invoke ID reused after no answer",
            { Sent(0, 0, Ip(1, 2, kReadPv5)), Sent(1, 10, Ip(1, 2, kReadPv5)),
                Sent(2, 20, Ip(1, 3, kReadPv5)) },
            { Heard(11000, Ip(2, 1, kAck5)), Heard(24000, Ip(3, 1, kAck5)) }, {},
            "0\t" + kRp5 + "\t-\tunanswered\t-\n1\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t1.000\n2\t"
                + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t4.000\n",
            "3 packets sent; 3 requests: 2 answered, 1 unanswered; round trip min 1.0, median 2.5, "
            "p95 4.0, max 4.0 ms",
            true },
        { "through a router", { Sent(0, 0, Ip(1, 9, routedRequest)) },
            { Heard(1000, Ip(9, 1, routedAckOtherStation)), Heard(3000, Ip(9, 1, routedAck)) }, {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t3.000\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 3.0, median 3.0, "
            "p95 3.0, max 3.0 ms",
            false },
        { "forwarded by a BBMD", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(4000, From(9, 1, forwardedAck, true)) }, {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5 (from "
                  "10.0.0.2:47808)\tanswered\t4.000\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 4.0, median 4.0, "
            "p95 4.0, max 4.0 ms",
            false },
        { "segmented ComplexACK", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(2500, Ip(2, 1, kSegmentedAck5)) }, {},
            "0\t" + kRp5 + "\treadProperty-ACK[ 5] segment 0, more follows\tanswered\t2.500\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 2.5, median 2.5, "
            "p95 2.5, max 2.5 ms",
            false },
        { "Who-Is answered twice, I-Am out of its limits", { Sent(4, 0, Ip(1, 2, kWhoIs100To200)) },
            { Heard(1000, Ip(2, 1, kIAm150)), Heard(1200, Ip(3, 1, kIAm300)),
                Heard(2000, Ip(3, 1, kIAm120)) },
            {},
            "4\twho-Is 100-200\ti-Am device,150\tanswered\t1.000\n"
            "4\twho-Is 100-200\ti-Am device,120\tanswered\t2.000\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 1.0, median 1.0, "
            "p95 1.0, max 1.0 ms",
            false },
        // The limits hold both ends: 100 and 200 answer, 201 does not.
        { "Who-Is answered at its limits", { Sent(4, 0, Ip(1, 2, kWhoIs100To200)) },
            { Heard(1000, Ip(2, 1, kIAm200)), Heard(1200, Ip(3, 1, kIAm201)),
                Heard(2000, Ip(3, 1, kIAm100)) },
            {},
            "4\twho-Is 100-200\ti-Am device,200\tanswered\t1.000\n"
            "4\twho-Is 100-200\ti-Am device,100\tanswered\t2.000\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 1.0, median 1.0, "
            "p95 1.0, max 1.0 ms",
            false },
        // Aimed with --map-device 207=1234: the bench's I-Am answers for 207.
        { "Who-Is for the mapped device", { Sent(4, 0, Ip(1, 2, kWhoIs1234)) },
            { Heard(1000, Ip(2, 1, kIAm1234)) }, {},
            "4\twho-Is 1234-1234\ti-Am device,1234\tanswered\t1.000\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 1.0, median 1.0, "
            "p95 1.0, max 1.0 ms",
            false, k207To1234 },
        { "Who-Is range left alone, answered by the bench device",
            { Sent(4, 0, Ip(1, 2, kWhoIs100To300)) }, { Heard(1000, Ip(2, 1, kIAm1234)) }, {},
            "4\twho-Is 100-300\ti-Am device,1234\tanswered\t1.000\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 1.0, median 1.0, "
            "p95 1.0, max 1.0 ms",
            false, k207To1234 },
        // Two Who-Is in flight: each device's first I-Am answers the first,
        // its second the second.
        { "two Who-Is in flight", { Sent(0, 0, Ip(1, 2, kWhoIs)), Sent(4, 0, Ip(1, 2, kWhoIs)) },
            { Heard(1000, Ip(2, 1, kIAm150)), Heard(1200, Ip(3, 1, kIAm300)),
                Heard(1300, Ip(2, 1, kIAm150)) },
            {},
            "0\twho-Is\ti-Am device,150\tanswered\t1.000\n"
            "0\twho-Is\ti-Am device,300\tanswered\t1.200\n"
            "4\twho-Is\ti-Am device,150\tanswered\t1.300\n",
            "2 packets sent; 2 requests: 2 answered, 0 unanswered; round trip min 1.0, median 1.1, "
            "p95 1.3, max 1.3 ms",
            false },
        // A device's I-Am and I-Have are told apart: its I-Have goes to the first Who-Has.
        { "Who-Has and Who-Is answered by one device",
            { Sent(0, 0, Ip(1, 2, kWhoHasAbc)), Sent(1, 0, Ip(1, 2, kWhoIs)),
                Sent(2, 0, Ip(1, 2, kWhoHasAbc)) },
            { Heard(1000, Ip(2, 1, kIAm7)), Heard(1100, Ip(2, 1, kIHave7)) }, {},
            "0\twho-Has \"ABC\"\ti-Have device,7 analog-input,1 \"ABC\"\tanswered\t1.100\n"
            "1\twho-Is\ti-Am device,7\tanswered\t1.000\n"
            "2\twho-Has \"ABC\"\t-\tunanswered\t-\n",
            "3 packets sent; 3 requests: 2 answered, 1 unanswered; round trip min 1.0, median 1.1, "
            "p95 1.1, max 1.1 ms",
            false },
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
            "1 packet sent; 1 request: 1 answered, 0 unanswered; 1 answer heard paired with no "
            "request; round trip min 2.0, median 2.0, p95 2.0, max 2.0 ms",
            false },
        // Reassembled whole: its first segment is no answer of its own.
        { "a segmented answer judged whole", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5Segment0)), Heard(2500, Ip(2, 1, kAck5Segment1)),
                Whole(2500, Ip(2, 1, kAck5), 2) },
            {},
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered (2 "
                  "segments)\t2.500\n",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip min 2.5, median 2.5, "
            "p95 2.5, max 2.5 ms",
            false },
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
    const std::vector<SJudgedFrame> nameTwice
        = { Rec(0, Ip(1, 2, kReadName207)), Rec(1, Ip(2, 1, kNameAck207)),
              Rec(2, Ip(1, 2, kReadName207)), Rec(3, Ip(2, 1, kNameAck207Other)) };
    // Read twice from device 3, then once from device 2, which the bench is.
    const std::vector<SJudgedFrame> nameTwiceElsewhere
        = { Rec(0, Ip(1, 3, kReadName207)), Rec(1, Ip(3, 1, kNameAck207)),
              Rec(2, Ip(1, 3, kReadName207)), Rec(3, Ip(3, 1, kNameAck207Other)),
              Rec(4, Ip(1, 2, kReadName207)), Rec(5, Ip(2, 1, kNameAck207Other)) };
    const std::vector<SRow> rows = {
        { "the same Error came", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kError5)) }, capture,
            "0\t" + kRp5 + "\tError[ 5] readProperty object: unknown-object\tok\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 ok), 0 unanswered; round trip min 1.0, median "
            "1.0, p95 1.0, max 1.0 ms",
            false },
        { "another Error code came", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kError5Property)) }, capture,
            "0\t" + kRp5
                + "\tError[ 5] readProperty property: unknown-property\tdiffers (Error "
                  "readProperty property: unknown-property; recorded "
                + csRecordedError + ")\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 differs), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            true },
        { "the same Error class with another code came", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kError5OtherCode)) }, capture,
            "0\t" + kRp5
                + "\tError[ 5] readProperty object: no-objects-of-specified-type\tdiffers (Error "
                  "readProperty object: no-objects-of-specified-type; recorded "
                + csRecordedError + ")\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 differs), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            true },
        { "an ACK came where an Error was recorded", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5)) }, capture,
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tdiffers "
                  "(readProperty-ACK; recorded "
                + csRecordedError + ")\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 differs), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            true },
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
            "2 packets sent; 2 requests: 2 answered (2 differ), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            true },
        { "an input's other value is a change, not a failure", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5Other)) }, captureAck,
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 22.0\tok (value changed): "
                  "analog-input,1 present-value 22.0, recorded 21.5\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 value changed), 0 unanswered; round trip min "
            "1.0, median 1.0, p95 1.0, max 1.0 ms",
            false },
        { "compared strictly, it differs", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5Other)) }, captureAck,
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 22.0\tdiffers: "
                  "analog-input,1 present-value 22.0, recorded 21.5\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 differs), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            true, {}, { true, false, nullptr, nullptr } },
        { "compared by kind alone, it is ok", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5Other)) }, captureAck,
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 22.0 (recorded: "
                  "readProperty-ACK[ 5] analog-input,1 present-value = 21.5)\tok\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 ok), 0 unanswered; round trip min 1.0, median "
            "1.0, p95 1.0, max 1.0 ms",
            false, {}, { false, false, nullptr, nullptr } },
        { "another name differs", { Sent(0, 0, Ip(1, 2, kReadName207)) },
            { Heard(1000, Ip(2, 1, kNameAck207Other)) },
            { Rec(0, Ip(1, 2, kReadName207)), Rec(1, Ip(2, 1, kNameAck207)) },
            "0\treadProperty[ 5] device,207 object-name\treadProperty-ACK[ 5] device,207 "
            "object-name = \"AHV\"\tdiffers: device,207 object-name \"AHV\", recorded "
            "\"AHU\"\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 differs), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            true },
        // The capture read the name twice and heard two: it changes there by itself.
        { "a value that changed within the capture", { Sent(2, 0, Ip(1, 2, kReadName207)) },
            { Heard(1000, Ip(2, 1, kNameAck207Third)) }, nameTwice,
            "2\treadProperty[ 5] device,207 object-name\treadProperty-ACK[ 5] device,207 "
            "object-name = \"AHW\"\tok (value changed): device,207 object-name \"AHW\", "
            "recorded \"AHV\"\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 value changed), 0 unanswered; round trip min "
            "1.0, median 1.0, p95 1.0, max 1.0 ms",
            false },
        { "learned from the capture, but compared strictly", { Sent(2, 0, Ip(1, 2, kReadName207)) },
            { Heard(1000, Ip(2, 1, kNameAck207Third)) }, nameTwice,
            "2\treadProperty[ 5] device,207 object-name\treadProperty-ACK[ 5] device,207 "
            "object-name = \"AHW\"\tdiffers: device,207 object-name \"AHW\", recorded "
            "\"AHV\"\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 differs), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            true, {}, { true, false, nullptr, nullptr } },
        // Another device's name changing teaches nothing about this one's.
        { "learned for one device only", { Sent(4, 0, Ip(1, 2, kReadName207)) },
            { Heard(1000, Ip(2, 1, kNameAck207Third)) }, nameTwiceElsewhere,
            "4\treadProperty[ 5] device,207 object-name\treadProperty-ACK[ 5] device,207 "
            "object-name = \"AHW\"\tdiffers: device,207 object-name \"AHW\", recorded "
            "\"AHV\"\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 differs), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            true },
        { "SimpleACK as recorded, nothing where something was",
            { Sent(2, 0, Ip(1, 2, kWrite7)), Sent(0, 10, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kSimpleAck7)) }, capture,
            "2\twriteProperty[ 7] analog-input,1 present-value = 21.5\tSimpleACK[ 7] "
            "writeProperty\tok\t1.000\n"
            "0\t"
                + kRp5 + "\t-\tunanswered\t-\n",
            "2 packets sent; 2 requests: 1 answered (1 ok), 1 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            true },
        { "the bench device's I-Am as the recorded one", { Sent(0, 0, Ip(1, 2, kWhoIs1234)) },
            { Heard(1000, Ip(2, 1, kIAm1234)) },
            { Rec(0, Ip(1, 2, kWhoIs207)), Rec(1, Ip(2, 1, kIAm207)) },
            "0\twho-Is 1234-1234\ti-Am device,1234\tok\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 ok), 0 unanswered; round trip min 1.0, median "
            "1.0, "
            "p95 1.0, max 1.0 ms",
            false, k207To1234 },
        { "an ACK naming the bench device as the recorded one",
            { Sent(0, 0, Ip(1, 2, kReadName1234)) }, { Heard(1000, Ip(2, 1, kNameAck1234)) },
            { Rec(0, Ip(1, 2, kReadName207)), Rec(1, Ip(2, 1, kNameAck207)) },
            "0\treadProperty[ 5] device,1234 object-name\treadProperty-ACK[ 5] device,1234 "
            "object-name = \"AHU\" (recorded: readProperty-ACK[ 5] device,207 object-name = "
            "\"AHU\")\tok\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 ok), 0 unanswered; round trip min 1.0, median "
            "1.0, "
            "p95 1.0, max 1.0 ms",
            false, k207To1234 },
        { "no record to compare with", { Sent(4, 0, Ip(1, 2, kReadPv6)) },
            { Heard(1000, Ip(2, 1, kAck6)) }, capture,
            "4\treadProperty[ 6] analog-input,1 present-value\treadProperty-ACK[ 6] analog-input,1 "
            "present-value = 21.5\tno-record\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 no record), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            false },
        // The recorded answer is reassembled too: the same text, no "(recorded: ...)".
        { "a whole answer against the capture's segments", { Fresh(0, 0, Ip(1, 2, kReadPv5), 9) },
            { Whole(3000, Ip(2, 1, Hex("01 00 30 09 0c 0c 00000001 19 55 3e 44 41ac0000 3f")), 2) },
            { Rec(0, Ip(1, 2, kReadPv5)), Rec(1, Ip(2, 1, kAck5Segment0)),
                Rec(2, Ip(2, 1, kAck5Segment1)) },
            "0\t" + kRp5
                + "\treadProperty-ACK[ 9] analog-input,1 present-value = 21.5\tok (2 "
                  "segments)\t3.000\n",
            "1 packet sent; 1 request: 1 answered (1 ok), 0 unanswered; round trip min 3.0, median "
            "3.0, p95 3.0, max 3.0 ms",
            false },
        { "a whole answer's value against the capture's segments",
            { Fresh(0, 0, Ip(1, 2, kReadPv5), 9) },
            { Whole(3000, Ip(2, 1, Hex("01 00 30 09 0c 0c 00000001 19 55 3e 44 41b00000 3f")), 2) },
            { Rec(0, Ip(1, 2, kReadPv5)), Rec(1, Ip(2, 1, kAck5Segment0)),
                Rec(2, Ip(2, 1, kAck5Segment1)) },
            "0\t" + kRp5
                + "\treadProperty-ACK[ 9] analog-input,1 present-value = 22.0\tok (value changed, "
                  "2 segments): analog-input,1 present-value 22.0, recorded 21.5\t3.000\n",
            "1 packet sent; 1 request: 1 answered (1 value changed), 0 unanswered; round trip min "
            "3.0, median 3.0, p95 3.0, max 3.0 ms",
            false },
        { "Who-Is with its recorded I-Am", { Sent(5, 0, Ip(1, 2, kWhoIs)) },
            { Heard(1000, Ip(2, 1, kIAm150)), Heard(2000, Ip(3, 1, kIAm300)) }, capture,
            "5\twho-Is\ti-Am device,150\tok\t1.000\n"
            "5\twho-Is\ti-Am device,300\tok\t2.000\n",
            "1 packet sent; 1 request: 1 answered (1 ok), 0 unanswered; round trip min 1.0, median "
            "1.0, p95 1.0, max 1.0 ms",
            false },
        // A recorded answer that is broken is nothing to compare with, and
        // says why: its APDU cut before the invoke ID, or its value cut short.
        { "the recorded answer's APDU is cut", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5)) },
            { Rec(0, Ip(1, 2, kReadPv5)), Rec(1, Ip(2, 1, Hex("01 00 30"))) },
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\trecorded answer "
                  "malformed\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 no record), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            false },
        { "the recorded answer's value is cut", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5)) },
            { Rec(0, Ip(1, 2, kReadPv5)),
                Rec(1, Ip(2, 1, Hex("01 00 30 05 0c 0c 00000001 19 55 3e 44 41ac"))) },
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\trecorded answer "
                  "malformed\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 no record), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            false },
        { "a broken frame from another device is no recorded answer",
            { Sent(0, 0, Ip(1, 2, kReadPv5)) }, { Heard(1000, Ip(2, 1, kAck5)) },
            { Rec(0, Ip(1, 2, kReadPv5)), Rec(1, Ip(3, 1, Hex("01 00 30"))) },
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tno-record\t1.000\n",
            "1 packet sent; 1 request: 1 answered (1 no record), 0 unanswered; round trip min 1.0, "
            "median 1.0, p95 1.0, max 1.0 ms",
            false },
    };
    for (const SRow& row : rows) {
        const SJudgement j = Judge(row.requests, row.heard, &row.capture, row.devices, row.rules);
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
            + "\" time=\"0.020000\"/>\n"
              "  <testcase classname=\"a&lt;b&gt;&amp;&quot;c&quot;.pcap\" name=\"record 2: "
              "readProperty[ 6] analog-input,1 present-value\" time=\"0.000000\">\n"
              "    <failure message=\"unanswered\">answer: -\nrecorded: -</failure>\n"
              "  </testcase>\n"
              "  <testcase classname=\"a&lt;b&gt;&amp;&quot;c&quot;.pcap\" name=\"record 3: who-Is "
              "100-200\" time=\"0.001000\"/>\n"
              "</testsuite>\n</testsuites>\n");
}

// The run beside the cases: a rig's name in each class name, the start as a
// timestamp, the facts as properties, a round trip below a millisecond kept,
// and a request a stop cut short skipped as "stopped", not failed.
TEST(JudgeTest, JUnitOfARun)
{
    SJudgement j = Judge({ Sent(0, 0, Ip(1, 2, kReadPv5)), Sent(2, 10, Ip(1, 2, kReadPv6)) },
        { Heard(57, Ip(2, 1, kAck5)) }, nullptr);
    MarkStopped(j, kT0 + 500 * kMs, 3000 * kMs);
    SJUnitRun run;
    run.llStartNs = kT0; // 2023-11-14 22:13:20 UTC
    run.csRig = "rig-3";
    run.properties = { { "Window", "4 outstanding per device" }, { "Pace", "a<b" } };
    EXPECT_EQ(JUnitXml("s.pcap", j, run),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
        "<testsuite name=\"s.pcap\" tests=\"2\" failures=\"0\" skipped=\"1\" "
        "timestamp=\"2023-11-14T22:13:20\">\n"
        "  <properties>\n"
        "    <property name=\"Window\" value=\"4 outstanding per device\"/>\n"
        "    <property name=\"Pace\" value=\"a&lt;b\"/>\n"
        "  </properties>\n"
        "  <testcase classname=\"rig-3.s.pcap\" name=\"record 0: "
            + kRp5
            + "\" time=\"0.000057\" timestamp=\"2023-11-14T22:13:20\"/>\n"
              "  <testcase classname=\"rig-3.s.pcap\" name=\"record 2: readProperty[ 6] "
              "analog-input,1 present-value\" time=\"0.000000\" "
              "timestamp=\"2023-11-14T22:13:20\">\n"
              "    <skipped message=\"stopped\">the Send was stopped before an answer was "
              "due</skipped>\n  </testcase>\n"
              "</testsuite>\n</testsuites>\n");
}

// A stop cuts short only the requests that had not had their time for an
// answer: those stay out of the failures, the others fail as ever.
TEST(JudgeTest, StoppedAgainstUnanswered)
{
    struct SCase {
        const char* szName;
        int64_t llStopMs; // after kT0; 0: not stopped
        std::string csVerdicts; // each line's verdict word
        size_t nUnanswered;
        size_t nStopped;
        bool bConfirmedFailed;
        std::string csHeadline;
    };
    // Requests at 0, 10 and 20 ms; only the first answered. An answer is
    // given 100 ms.
    const std::vector<SCase> cases = {
        { "not stopped", 0, "answered unanswered unanswered", 2, 0, true,
            "FAIL: 3 requests: 1 answered, 2 unanswered" },
        { "stopped long after: both had their time", 1000, "answered unanswered unanswered", 2, 0,
            true, "FAIL: 3 requests: 1 answered, 2 unanswered" },
        { "stopped at 115 ms: the last had 95 ms of its 100", 115, "answered unanswered stopped", 1,
            1, true, "FAIL: 3 requests: 1 answered, 1 unanswered, 1 stopped" },
        { "stopped at 50 ms: neither had its time", 50, "answered stopped stopped", 0, 2, false,
            "PASS: 3 requests: 1 answered, 2 stopped" },
        { "exactly its time is enough", 110, "answered unanswered stopped", 1, 1, true,
            "FAIL: 3 requests: 1 answered, 1 unanswered, 1 stopped" },
    };
    for (const SCase& c : cases) {
        SJudgement j = Judge({ Sent(0, 0, Ip(1, 2, kReadPv5)), Sent(2, 10, Ip(1, 2, kReadPv6)),
                                 Sent(3, 20, Ip(1, 2, kReadPv6)) },
            { Heard(1000, Ip(2, 1, kAck5)) }, nullptr);
        MarkStopped(j, c.llStopMs ? kT0 + c.llStopMs * kMs : 0, 100 * kMs);
        std::string csVerdicts;
        for (const SJudgeLine& line : j.lines)
            csVerdicts += (csVerdicts.empty() ? "" : " ") + VerdictColumn(line);
        EXPECT_EQ(csVerdicts, c.csVerdicts) << c.szName;
        EXPECT_EQ(j.nUnanswered, c.nUnanswered) << c.szName;
        EXPECT_EQ(j.nStopped, c.nStopped) << c.szName;
        EXPECT_EQ(j.bConfirmedFailed, c.bConfirmedFailed) << c.szName;
        EXPECT_EQ(Headline(j), c.csHeadline) << c.szName;
    }
}

SJudgedFrame InRound(uint32_t uRound, SJudgedFrame frame)
{
    frame.uRound = uRound;
    return frame;
}

// Rounds that repeat a record: the TSV's sixth column and JUnit's names tell
// them apart; one round keeps five columns and the plain names.
TEST(JudgeTest, RoundsApart)
{
    struct SCase {
        const char* szName;
        std::vector<SJudgedFrame> requests;
        std::vector<SJudgedFrame> heard;
        std::string csLines;
        std::vector<std::string> names; // JUnit test case names, in order
    };
    const std::vector<SCase> cases = {
        { "three rounds of one record",
            { InRound(1, Sent(0, 0, Ip(1, 2, kReadPv5))),
                InRound(2, Sent(0, 10, Ip(1, 2, kReadPv5))),
                InRound(3, Sent(0, 20, Ip(1, 2, kReadPv5))) },
            { Heard(1000, Ip(2, 1, kAck5)), Heard(11000, Ip(2, 1, kAck5)) },
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t1.000\t1\n"
                  "0\t"
                + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t1.000\t2\n"
                  "0\t"
                + kRp5 + "\t-\tunanswered\t-\t3\n",
            { "record 0: " + kRp5 + " (round 1)", "record 0: " + kRp5 + " (round 2)",
                "record 0: " + kRp5 + " (round 3)" } },
        // A Send stopped in round 2 before any request of it went: one round judged.
        { "one round", { Sent(0, 0, Ip(1, 2, kReadPv5)) }, { Heard(1000, Ip(2, 1, kAck5)) },
            "0\t" + kRp5
                + "\treadProperty-ACK[ 5] analog-input,1 present-value = 21.5\tanswered\t1.000\n",
            { "record 0: " + kRp5 } },
        // A device's I-Am goes to the first round it has not answered yet.
        { "a Who-Is answered twice in round 1, once in round 2",
            { InRound(1, Sent(4, 0, Ip(1, 2, kWhoIs100To200))),
                InRound(2, Sent(4, 10, Ip(1, 2, kWhoIs100To200))) },
            { Heard(1000, Ip(2, 1, kIAm150)), Heard(11000, Ip(2, 1, kIAm150)),
                Heard(12000, Ip(3, 1, kIAm120)) },
            "4\twho-Is 100-200\ti-Am device,150\tanswered\t1.000\t1\n"
            "4\twho-Is 100-200\ti-Am device,120\tanswered\t12.000\t1\n"
            "4\twho-Is 100-200\ti-Am device,150\tanswered\t1.000\t2\n",
            { "record 4: who-Is 100-200 (round 1)", "record 4: who-Is 100-200 (round 2)" } },
    };
    for (const SCase& c : cases) {
        const SJudgement j = Judge(c.requests, c.heard, nullptr);
        std::string cs;
        for (const SJudgeLine& line : j.lines)
            cs += TsvLine(line, j.RoundsRepeat());
        EXPECT_EQ(cs, c.csLines) << c.szName;
        const std::string csXml = JUnitXml("s", j);
        std::vector<std::string> names;
        for (size_t n = csXml.find(" name=\"record "); n != std::string::npos;
             n = csXml.find(" name=\"record ", n + 1)) {
            const size_t nFrom = n + 7;
            names.push_back(csXml.substr(nFrom, csXml.find('"', nFrom) - nFrom));
        }
        EXPECT_EQ(names, c.names) << c.szName;
    }
}

TEST(JudgeTest, RoundTripStatistics)
{
    struct SCase {
        std::vector<int64_t> values;
        SRoundTripStats expected;
    };
    std::vector<int64_t> to20, to21, to100;
    for (int64_t i = 20; i >= 1; --i) // out of order on purpose
        to20.push_back(i);
    for (int64_t i = 1; i <= 21; ++i)
        to21.push_back(i);
    for (int64_t i = 1; i <= 100; ++i)
        to100.push_back(i * 10);
    const SCase cases[] = {
        { {}, { 0, -1, -1, -1, -1 } },
        { { 5 }, { 1, 5, 5, 5, 5 } },
        { { 4, 1 }, { 2, 1, 2, 4, 4 } }, // the median of two: between them, rounded down
        { { 3, 1, 2 }, { 3, 1, 2, 3, 3 } },
        { { 7, 7, 7, 7 }, { 4, 7, 7, 7, 7 } },
        { to20, { 20, 1, 10, 19, 20 } }, // nearest rank: the 19th of 20
        { to21, { 21, 1, 11, 20, 21 } }, // 95% of 21 is 19.95: the 20th
        { to100, { 100, 10, 505, 950, 1000 } },
        { { 0, 1000000000000 }, { 2, 0, 500000000000, 1000000000000, 1000000000000 } },
    };
    for (const SCase& c : cases) {
        const SRoundTripStats s = RoundTripStats(c.values);
        EXPECT_EQ(std::vector<int64_t>({ static_cast<int64_t>(s.nCount), s.llMinNs, s.llMedianNs,
                      s.llP95Ns, s.llMaxNs }),
            std::vector<int64_t>({ static_cast<int64_t>(c.expected.nCount), c.expected.llMinNs,
                c.expected.llMedianNs, c.expected.llP95Ns, c.expected.llMaxNs }))
            << c.values.size() << " values";
    }
}

// The headline over the table and the clue for unanswered requests, from
// what was sent and heard.
TEST(JudgeTest, HeadlineAndAimClue)
{
    Bytes toWrongMac = Ip(1, 2, kReadPv5);
    toWrongMac[5] = 0x0e; // the capture's MAC, not the device's
    Bytes fromPort47809 = Ip(3, 1, kIAm300);
    fromPort47809[35] = 0xc1;
    struct SCase {
        const char* szName;
        std::vector<SJudgedFrame> requests;
        std::vector<SJudgedFrame> heard;
        std::vector<SJudgedFrame> capture;
        std::string csHeadline;
        std::string csClue;
    };
    const std::vector<SJudgedFrame> captureAck = { Rec(0, Ip(1, 2, kReadPv5)),
        Rec(1, Ip(2, 1, kAck5)), Rec(2, Ip(1, 2, kReadPv6)), Rec(3, Ip(2, 1, kAck6)) };
    const std::vector<SCase> cases = {
        { "all answered", { Sent(0, 0, Ip(1, 2, kReadPv5)) }, { Heard(1000, Ip(2, 1, kAck5)) }, {},
            "PASS: 1 request: 1 answered", "" },
        { "ok and differs against the capture",
            { Sent(0, 0, Ip(1, 2, kReadPv5)), Sent(2, 10, Ip(1, 2, kReadPv6)) },
            { Heard(1000, Ip(2, 1, kAck5)),
                Heard(11000, Ip(2, 1, Hex("01 00 50 06 0c 91 01 91 1f"))) },
            captureAck, "FAIL: 2 requests: 1 ok, 1 differs", "" },
        { "a value changed is no failure",
            { Sent(0, 0, Ip(1, 2, kReadPv5)), Sent(2, 10, Ip(1, 2, kReadPv6)) },
            { Heard(1000, Ip(2, 1, kAck5)), Heard(11000, Ip(2, 1, kAck6Other)) }, captureAck,
            "PASS: 2 requests: 1 ok, 1 value changed", "" },
        { "nothing sent that asks: no pass", {}, {}, {}, "Nothing tested: 0 requests", "" },
        { "unanswered, the device announced itself elsewhere", { Sent(0, 0, toWrongMac) },
            { Heard(500, Ip(2, 1, kIAm150)) }, {}, "FAIL: 1 request: 1 unanswered",
            "device 150 answered from 02:76:6d:0a:00:02 / 10.0.0.2: aim at it?" },
        { "unanswered, the I-Am came from where it went", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(500, Ip(2, 1, kIAm150)), Heard(600, Ip(2, 1, kIAm150)) }, {},
            "FAIL: 1 request: 1 unanswered", "" },
        { "two devices elsewhere, each told once, another port shown",
            { Sent(0, 0, Ip(1, 2, kReadPv5)), Sent(2, 10, Ip(1, 2, kReadPv6)) },
            { Heard(500, Ip(4, 1, kIAm150)), Heard(600, Ip(4, 1, kIAm150)),
                Heard(700, fromPort47809), Heard(11500, Ip(2, 1, kAck6)) },
            {}, "FAIL: 2 requests: 1 answered, 1 unanswered",
            "device 150 answered from 02:76:6d:0a:00:04 / 10.0.0.4: aim at it?; device 300 "
            "answered from 02:76:6d:0a:00:03 / 10.0.0.3:47809: aim at it?" },
        { "BACnet/Ethernet: the MAC alone", { Sent(0, 0, Eth(1, 2, kReadPv5)) },
            { Heard(500, Eth(3, 1, kIAm150)) }, {}, "FAIL: 1 request: 1 unanswered",
            "device 150 answered from 02:76:6d:0a:00:03: aim at it?" },
        { "an answer that is no I-Am gives no clue", { Sent(0, 0, Ip(1, 2, kReadPv5)) },
            { Heard(500, Ip(3, 1, kAck6)) }, {}, "FAIL: 1 request: 1 unanswered", "" },
    };
    for (const SCase& c : cases) {
        const SJudgement j = Judge(c.requests, c.heard, c.capture.empty() ? nullptr : &c.capture);
        EXPECT_EQ(Headline(j), c.csHeadline) << c.szName;
        EXPECT_EQ(AimClue(c.heard, j), c.csClue) << c.szName;
    }
}

// A baseline is paired by what each request asks: the invoke IDs of today's
// conversation and of the baseline's own have nothing to do with each other.
TEST(JudgeTest, BaselinePairing)
{
    // Last month's bench, captured: requests with their own invoke IDs
    // (0x40...), answered; ai,99 unknown.
    const Bytes kReadPv99At41 = Hex("01 04 00 05 41 0c 0c 00000063 19 55");
    const Bytes kError99At41 = Hex("01 00 50 41 0c 91 01 91 1f");
    Bytes readPvAt40 = kReadPv5;
    readPvAt40[4] = 0x40;
    Bytes ackAt40 = kAck5;
    ackAt40[3] = 0x40;
    const std::vector<SJudgedFrame> bench = { Rec(0, Ip(1, 2, readPvAt40)),
        Rec(1, Ip(2, 1, ackAt40)), Rec(2, Ip(1, 2, kReadPv99At41)), Rec(3, Ip(2, 1, kError99At41)),
        Rec(4, Ip(1, 2, kWhoIs)), Rec(5, Ip(2, 1, kIAm150)) };
    // An earlier run's saved answers alone: in the order heard.
    const Bytes kReadPv99 = Hex("01 04 00 05 05 0c 0c 00000063 19 55");
    const Bytes kAckAv2 = Hex("01 00 30 05 0c 0c 00800002 19 55 3e 44 42480000 3f"); // av,2 = 50
    const std::vector<SJudgedFrame> answers = { Rec(0, Ip(2, 1, kAckAv2)), Rec(1, Ip(2, 1, kAck5)),
        Rec(2, Ip(2, 1, kError5)), Rec(3, Ip(3, 1, kIAm300)) };
    struct SCase {
        const char* szName;
        const std::vector<SJudgedFrame>* pBaseline;
        std::vector<SJudgedFrame> requests;
        std::vector<SJudgedFrame> heard;
        std::string csVerdicts; // each line's verdict column, "|" between
        std::string csRecorded; // each line's recorded text, "|" between
    };
    const std::vector<SCase> cases = {
        { "a bench capture: fresh invoke IDs on both sides", &bench,
            { Fresh(7, 0, Ip(1, 2, kReadPv5), 9) },
            { Heard(1000, Ip(2, 1, Hex("01 00 30 09 0c 0c 00000001 19 55 3e 44 41ac0000 3f"))) },
            "ok", "readProperty-ACK[64] analog-input,1 present-value = 21.5" },
        { "a bench capture: its Error was the answer then too", &bench,
            { Sent(3, 0, Ip(1, 2, kReadPv99)) }, { Heard(1000, Ip(2, 1, kError5)) }, "ok",
            "Error[65] readProperty object: unknown-object" },
        { "a bench capture: an ACK then, an Error now", &bench, { Sent(7, 0, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kError5)) },
            "differs (Error readProperty object: unknown-object; recorded readProperty-ACK)",
            "readProperty-ACK[64] analog-input,1 present-value = 21.5" },
        { "a bench capture: asked twice, answered once then: both find it", &bench,
            { Sent(7, 0, Ip(1, 2, kReadPv5)), Sent(7, 10, Ip(1, 2, kReadPv6)) },
            { Heard(1000, Ip(2, 1, kAck5)), Heard(11000, Ip(2, 1, kAck6)) }, "ok|ok",
            "readProperty-ACK[64] analog-input,1 present-value = 21.5|readProperty-ACK[64] "
            "analog-input,1 present-value = 21.5" },
        { "a bench capture: a question it never asked", &bench, { Sent(7, 0, Ip(1, 2, kWrite5)) },
            { Heard(1000, Ip(2, 1, Hex("01 00 20 05 0f"))) }, "no-record", "" },
        { "a bench capture: Who-Is and its I-Am", &bench, { Sent(9, 0, Ip(1, 2, kWhoIs)) },
            { Heard(1000, Ip(2, 1, kIAm150)) }, "ok", "i-Am device,150" },
        { "saved answers: an ACK of another object is skipped, the one that repeats the "
          "question taken",
            &answers, { Sent(0, 0, Ip(1, 2, kReadPv5)) }, { Heard(1000, Ip(2, 1, kAck5)) }, "ok",
            "readProperty-ACK[ 5] analog-input,1 present-value = 21.5" },
        { "saved answers: each taken once, in order", &answers,
            { Sent(0, 0, Ip(1, 2, kReadPv5)), Sent(1, 10, Ip(1, 2, kReadPv99)),
                Sent(2, 20, Ip(1, 2, kReadPv5)) },
            { Heard(1000, Ip(2, 1, kAck5)), Heard(11000, Ip(2, 1, kError5)),
                Heard(21000, Ip(2, 1, kAck5)) },
            "ok|ok|no-record",
            "readProperty-ACK[ 5] analog-input,1 present-value = 21.5|Error[ 5] readProperty "
            "object: unknown-object|" },
        { "saved answers: from the device the request went to", &answers,
            { Sent(0, 0, Ip(1, 3, kReadPv5)) }, { Heard(1000, Ip(3, 1, kAck5)) }, "no-record", "" },
        { "saved answers: a Who-Is finds the I-Am heard", &answers,
            { Sent(0, 0, Ip(1, 3, kWhoIs)) }, { Heard(1000, Ip(3, 1, kIAm300)) }, "ok",
            "i-Am device,300" },
    };
    for (const SCase& c : cases) {
        CBaseline baseline(*c.pBaseline);
        const std::vector<std::vector<size_t>> recorded = baseline.Pair(c.requests);
        const SJudgement j = Judge(c.requests, c.heard, &baseline.Frames(), {}, {}, &recorded);
        std::string csVerdicts;
        std::string csRecorded;
        for (const SJudgeLine& line : j.lines) {
            csVerdicts += (csVerdicts.empty() ? "" : "|") + VerdictColumn(line);
            csRecorded += (&line == &j.lines.front() ? "" : "|") + line.csRecorded;
        }
        EXPECT_EQ(csVerdicts, c.csVerdicts) << c.szName;
        EXPECT_EQ(csRecorded, c.csRecorded) << c.szName;
    }
    // Rounds go on where the last stopped: the second round's request takes
    // the next answer that fits (the Error of its service), not the first again.
    CBaseline baseline(answers);
    EXPECT_EQ(baseline.Pair({ Sent(1, 0, Ip(1, 2, kReadPv5)) }).front(), std::vector<size_t> { 1 });
    EXPECT_EQ(baseline.Pair({ Sent(1, 0, Ip(1, 2, kReadPv5)) }).front(), std::vector<size_t> { 2 });
    EXPECT_EQ(baseline.Pair({ Sent(1, 0, Ip(1, 2, kReadPv5)) }).front(), std::vector<size_t> {});
}

// The groups the Results window and the report open: one key per kind of
// difference, the row's own values left out, largest group first.
TEST(JudgeTest, GroupingRule)
{
    const std::vector<SJudgedFrame> capture = { Rec(0, Ip(1, 2, kReadPv5)), Rec(1, Ip(2, 1, kAck5)),
        Rec(2, Ip(1, 2, kReadPv6)), Rec(3, Ip(2, 1, Hex("01 00 50 06 0c 91 02 91 20"))),
        Rec(4, Ip(1, 2, kWrite7)), Rec(5, Ip(2, 1, kSimpleAck7)) };
    struct SCase {
        const char* szName;
        SJudgedFrame request;
        std::vector<SJudgedFrame> heard;
        std::string csKey;
    };
    const std::vector<SCase> cases = {
        { "ok joins no group", Sent(0, 0, Ip(1, 2, kReadPv5)), { Heard(1000, Ip(2, 1, kAck5)) },
            "" },
        { "an Error where the capture has an ACK", Sent(0, 0, Ip(1, 2, kReadPv5)),
            { Heard(1000, Ip(2, 1, kError5)) },
            "Error object/unknown-object where the capture has an ACK" },
        { "another code: its own group", Sent(0, 0, Ip(1, 2, kReadPv5)),
            { Heard(1000, Ip(2, 1, kError5Property)) },
            "Error property/unknown-property where the capture has an ACK" },
        { "an ACK where the capture has an Error", Sent(2, 0, Ip(1, 2, kReadPv6)),
            { Heard(1000, Ip(2, 1, kAck6)) },
            "an ACK where the capture has Error property/unknown-property" },
        { "a Reject", Sent(0, 0, Ip(1, 2, kReadPv5)), { Heard(1000, Ip(2, 1, kReject5)) },
            "Reject unrecognized-service where the capture has an ACK" },
        { "unanswered, by service", Sent(4, 0, Ip(1, 2, kWrite7)), {}, "unanswered writeProperty" },
        { "no record", Sent(9, 0, Ip(1, 2, kReadPv5)), { Heard(1000, Ip(2, 1, kAck5)) },
            "no record of an ACK" },
    };
    for (const SCase& c : cases) {
        const SJudgement j = Judge({ c.request }, c.heard, &capture);
        ASSERT_EQ(j.lines.size(), 1u) << c.szName;
        EXPECT_EQ(GroupKey(j.lines.front()), c.csKey) << c.szName;
    }
    // A verdict that names the field keeps the field and drops the values.
    const std::pair<const char*, const char*> words[] = {
        { "differs: device,1234 object-name \"Other\", recorded \"Bench\"",
            "differs: device object-name" },
        { "differs: analog-input,1 present-value 23.7, recorded 21.5 (beyond 0.5%)",
            "differs: analog-input present-value (beyond)" },
        { "ok (value changed: analog-input,1 present-value 23.7, recorded 21.5)",
            "ok (value changed: analog-input present-value)" },
        { "differs: analog-value,12 priority-array[8] Null, recorded 50.0",
            "differs: analog-value priority-array[] Null" },
    };
    for (const auto& [szVerdict, szKey] : words)
        EXPECT_EQ(VerdictWithoutValues(szVerdict), szKey) << szVerdict;

    // Largest first; a tie keeps the order the groups first came in.
    std::vector<SJudgeLine> lines(7);
    const EVerdict verdicts[] = { EVerdict::Unanswered, EVerdict::Ok, EVerdict::Differs,
        EVerdict::Differs, EVerdict::Stopped, EVerdict::Differs, EVerdict::Unanswered };
    for (size_t i = 0; i < lines.size(); ++i) {
        lines[i].eVerdict = verdicts[i];
        lines[i].csRequest = "readProperty[ 5] analog-input,1 present-value";
        lines[i].csHeardKind = "Error readProperty object: unknown-object";
        lines[i].csRecordedKind = "readProperty-ACK";
    }
    const std::vector<SLineGroup> groups = GroupLines(lines);
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0].csKey, "Error object/unknown-object where the capture has an ACK");
    EXPECT_EQ(groups[0].lines, (std::vector<size_t> { 2, 3, 5 }));
    EXPECT_EQ(groups[1].csKey, "unanswered readProperty");
    EXPECT_EQ(groups[1].lines, (std::vector<size_t> { 0, 6 }));
    EXPECT_EQ(groups[2].csKey, "stopped readProperty");
}

// Discover reads each I-Am into what a user aims at, and sends a Who-Is a
// kernel takes.
TEST(JudgeTest, DiscoverReadsIAm)
{
    Bytes forwarded
        = BacnetIp(0x04, Hex("0a000509 bac1 01 00 10 00 c4 02000385 22 05c4 91 03 21 07"));
    forwarded = From(9, 1, forwarded, true);
    struct SCase {
        const char* szName;
        Bytes frame;
        bool bOk;
        std::string csLine;
    };
    const std::vector<SCase> cases = {
        { "B/IP", Ip(2, 1, kIAm150), true,
            "150\t02:76:6d:0a:00:02\t10.0.0.2:47808\tlocal\t480\t15" },
        { "a Forwarded-NPDU: the origin's address", forwarded, true,
            "901\t02:76:6d:0a:00:09\t10.0.5.9:47809\tlocal\t1476\t7" },
        { "behind a router: its network and address",
            Ip(9, 1, Hex("01 08 0003 01 6c 10 00 c4 020000cf 22 01e0 91 03 22 0104")), true,
            "207\t02:76:6d:0a:00:09\t10.0.0.9:47808\t3:0x6c\t480\t260" },
        { "BACnet/Ethernet", Eth(3, 1, kIAm300), true,
            "300\t02:76:6d:0a:00:03\t-\tlocal\t480\t15" },
        { "cut before the vendor", Ip(2, 1, Hex("01 00 10 00 c4 02000096 22 01e0 91 00")), false,
            "" },
        { "an object that is no device",
            Ip(2, 1, Hex("01 00 10 00 c4 00000096 22 01e0 91 00 21 0f")), false, "" },
        { "a Who-Is is no I-Am", Ip(1, 2, kWhoIs), false, "" },
    };
    for (const SCase& c : cases) {
        SDiscovered d;
        EXPECT_EQ(ParseIAm(c.frame.data(), c.frame.size(), d), c.bOk) << c.szName;
        if (c.bOk) {
            EXPECT_EQ(DiscoveredLine(d), c.csLine) << c.szName;
        }
    }
    // The same device heard twice is listed once.
    EXPECT_EQ(
        DiscoveredDevices({ Ip(2, 1, kIAm150), Ip(3, 1, kIAm300), Ip(2, 1, kIAm150) }).size(), 2u);
    // The Who-Is: a global broadcast, every length and the IPv4 checksum right.
    const Bytes who = WhoIsFrame();
    const SBacnetFrame f = ParseBacnet(who.data(), who.size());
    EXPECT_EQ(f.eApdu, EApdu::UnconfirmedRequest);
    EXPECT_EQ(f.uService, velmora::frame::kWhoIs);
    EXPECT_TRUE(f.bHasDnet && f.uDnet == 0xffff);
    EXPECT_FALSE(f.bHasLimits);
    EXPECT_EQ(Hex("ffffffffffff"), Bytes(who.begin(), who.begin() + 6));
    EXPECT_EQ(who, Checksummed(who, false)) << "lengths or checksum not as a kernel takes them";
}

} // namespace
