// The conversation on a fake clock: a client's rules held against devices
// that answer, stay silent, answer late, or segment.
#include "FakeClock.h"
#include "FrameBuilder.h"
#include "ReplayFakes.h"
#include "judge/Bacnet.h"
#include "replay/Converse.h"
#include "session/ReplayWords.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

using namespace velmora;
using namespace vtest;

namespace {

constexpr int64_t kMs = 1'000'000;

// Station 1 is us; 2 and 3 are devices (10.0.0.N:47808, MAC 02:76:6d:0a:00:0N).
Bytes From(uint8_t uFrom, uint8_t uTo, const Bytes& npduApdu)
{
    Bytes frame = BacnetIp(0x0a, npduApdu);
    frame[5] = uTo;
    frame[11] = uFrom;
    frame[29] = uFrom;
    frame[33] = uTo;
    return Checksummed(frame, false);
}

std::string H(uint8_t u)
{
    const char* sz = "0123456789abcdef";
    return { sz[u >> 4], sz[u & 15] };
}

Bytes ReadPv(uint8_t uTo, uint8_t uId)
{
    return From(1, uTo, Hex("01 04 02 75 " + H(uId) + " 0c 0c 00000001 19 55"));
}
Bytes Ack(uint8_t uFrom, uint8_t uId)
{
    return From(uFrom, 1, Hex("01 00 30 " + H(uId) + " 0c 0c 00000001 19 55 3e 44 41ac0000 3f"));
}
Bytes Segment(uint8_t uId, uint8_t uSeq, bool bMore, uint8_t uWindow, const std::string& csData)
{
    return From(2, 1,
        Hex("01 00 " + std::string(bMore ? "3c " : "38 ") + H(uId) + H(uSeq) + H(uWindow) + "0c"
            + csData));
}
const Bytes kWhoIs = From(1, 0xff, Hex("01 00 10 08"));

// Two VLAN tags (802.1ad, then 802.1Q) after the MACs.
Bytes DoubleTagged(Bytes frame)
{
    const Bytes tags = Hex("88a8 0001 8100 0002");
    frame.insert(frame.begin() + 12, tags.begin(), tags.end());
    return frame;
}

// The APDU of a BACnet/IP frame with no NPDU addresses, as hex without
// spaces; the IP total length ends it (no padding).
std::string ApduOf(const Bytes& frame)
{
    std::string cs;
    if (frame.size() < 18)
        return cs;
    const size_t nEnd = std::min<size_t>(frame.size(), 14u + (frame[16] << 8 | frame[17]));
    for (size_t i = 14 + 20 + 8 + 4 + 2; i < nEnd; ++i)
        cs += H(frame[i]);
    return cs;
}

bool IpChecksumHolds(const Bytes& f)
{
    uint32_t u = 0;
    for (size_t i = 14; i < 34; i += 2)
        u += static_cast<uint32_t>(f[i] << 8 | f[i + 1]);
    while (u >> 16)
        u = (u & 0xffff) + (u >> 16);
    return u == 0xffff;
}

// A device as the rows need it: what it does with each copy of a request.
struct SDevice {
    int64_t llDelayMs = 1; // after the request
    int iAnswerFrom = 0; // copies of a request ignored before one is answered
    int iSilentAfter = -1; // answers given before it falls silent; -1 never
    bool bEveryOther = false; // answers only every second request
    int iDrop = -1; // this request (counted from 0) is never answered
    int iDropToo = -1; // and this one
};

struct SRecord {
    uint8_t uTo; // 0: a Who-Is broadcast
    uint8_t uCapturedId;
};

// One record per capture: many devices' requests, captured with invoke IDs
// reused, sent by a loop that does what the send loop must do.
TEST(ConverseTest, TheGateKeepsAClientsRules)
{
    struct SRow {
        const char* szName;
        SConverseOptions options;
        std::vector<SRecord> records;
        std::map<uint8_t, SDevice> devices;
        // Expected
        std::vector<EConverseOutcome> outcomes; // in record order (confirmed only)
        int iMaxOutstanding; // to one device, seen on the wire
        size_t nOnWire; // frames sent, retries included
        std::string csGiveUp;
        int64_t llEndMs; // when the last result came
        std::vector<int64_t> wentMs {}; // when each record went; empty: not checked
    };
    const SConverseOptions o;
    auto With = [&](int iWindow, int iRetries, int iGiveUp) {
        SConverseOptions x = o;
        x.iWindow = iWindow;
        x.iRetries = iRetries;
        x.iGiveUp = iGiveUp;
        return x;
    };
    using E = EConverseOutcome;
    const std::vector<SRecord> five = { { 2, 5 }, { 2, 5 }, { 2, 5 }, { 2, 5 }, { 2, 5 } };
    const std::vector<SRow> rows {
        { "window 1: each request waits for the answer before", o, five, { { 2, { 10 } } },
            { E::Answered, E::Answered, E::Answered, E::Answered, E::Answered }, 1, 5, "", 50 },
        { "window 4 never holds more than 4, the capture's one ID notwithstanding", With(4, 0, 10),
            { { 2, 5 }, { 2, 5 }, { 2, 5 }, { 2, 5 }, { 2, 5 }, { 2, 5 }, { 2, 5 }, { 2, 5 },
                { 2, 5 } },
            { { 2, { 100 } } }, std::vector<E>(9, E::Answered), 4, 9, "", 300 },
        { "window 16 at its limit", With(16, 0, 10), std::vector<SRecord>(20, { 2, 7 }),
            { { 2, { 100 } } }, std::vector<E>(20, E::Answered), 16, 20, "", 200 },
        { "IDs wrap past 255 around one still outstanding", With(2, 0, 10),
            std::vector<SRecord>(300, { 2, 0 }), { { 2, { 1, 0, -1, false, 0 } } },
            [] {
                std::vector<E> v(300, E::Answered);
                v[0] = E::TimedOut;
                return v;
            }(),
            2, 300, "", 3000 },
        // Two IDs held side by side when the IDs come round again: both are skipped.
        { "IDs wrap past two held side by side", With(3, 0, 10),
            std::vector<SRecord>(300, { 2, 0 }), { { 2, { 1, 0, -1, false, 0, 1 } } },
            [] {
                std::vector<E> v(300, E::Answered);
                v[0] = v[1] = E::TimedOut;
                return v;
            }(),
            3, 300, "", 3000 },
        { "each device has a window of its own", With(2, 0, 10),
            { { 2, 1 }, { 3, 1 }, { 2, 1 }, { 3, 1 } }, { { 2, { 10 } }, { 3, { 10 } } },
            std::vector<E>(4, E::Answered), 2, 4, "", 10, { 0, 0, 0, 0 } },
        { "window 1: one request at a time, whatever the device", o,
            { { 2, 1 }, { 3, 1 }, { 2, 1 }, { 3, 1 } }, { { 2, { 10 } }, { 3, { 10 } } },
            std::vector<E>(4, E::Answered), 1, 4, "", 40, { 0, 10, 20, 30 } },
        { "window 1: an unconfirmed request waits for the answer before it", o,
            { { 2, 5 }, { 0, 0 }, { 0, 0 }, { 2, 5 } }, { { 2, { 10 } } },
            { E::Answered, E::Answered }, 1, 4, "", 20, { 0, 10, 10, 10 } },
        { "a larger window: unconfirmed requests go without waiting", With(2, 0, 10),
            { { 0, 0 }, { 2, 5 }, { 0, 0 }, { 0, 0 } }, { { 2, { 10 } } }, { E::Answered }, 1, 4,
            "", 10, { 0, 0, 0, 0 } },
        { "retries send the same frame until it is answered", With(1, 2, 10),
            { { 2, 5 }, { 2, 5 } }, { { 2, { 10, 2 } } }, { E::Answered, E::Answered }, 1, 6, "",
            2 * 6010 },
        { "no answer: a time-out, then the next request", o, { { 2, 5 }, { 2, 5 } },
            { { 2, { 10, 0, 0 } } }, { E::TimedOut, E::TimedOut }, 1, 2, "", 6000 },
        { "retries spent: a time-out after the last", With(1, 3, 10), { { 2, 5 } },
            { { 2, { 10, 0, 0 } } }, { E::TimedOut }, 1, 4, "", 12000 },
        { "an answer later than the time-out answers nothing", o, { { 2, 5 }, { 2, 5 } },
            { { 2, { 3500 } } }, { E::TimedOut, E::TimedOut }, 1, 2, "", 6000 },
        { "give-up after 3 in a row ends the Send", With(1, 0, 3), five, { { 2, { 10, 0, 1 } } },
            { E::Answered, E::TimedOut, E::TimedOut, E::TimedOut }, 1, 4,
            "the device at 10.0.0.2:47808 stopped answering after record 3", 9010 },
        { "give-up counts by device: another's answers in between do not reset it", With(1, 0, 2),
            { { 3, 1 }, { 2, 1 }, { 3, 1 }, { 2, 1 }, { 3, 1 } },
            { { 2, { 10 } }, { 3, { 10, 0, 0 } } }, { E::TimedOut, E::Answered, E::TimedOut }, 1, 3,
            "the device at 10.0.0.3:47808 stopped answering after record 2", 6010 },
        { "an answer between two silences resets the count", With(1, 0, 2),
            std::vector<SRecord>(6, { 2, 9 }), { { 2, { 10, 0, -1, true } } },
            { E::Answered, E::TimedOut, E::Answered, E::TimedOut, E::Answered, E::TimedOut }, 1, 6,
            "", 3 * 3010 },
        { "give-up 0 waits for every request", With(1, 0, 0), five, { { 2, { 10, 0, 0 } } },
            std::vector<E>(5, E::TimedOut), 1, 5, "", 15000 },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock;
        CConversation conversation(row.options, clock);
        conversation.SetTotal(row.records.size());
        // The shipped gate between a fake adapter and a scripted ear.
        CFakeSink sink;
        std::string csError;
        ASSERT_TRUE(sink.Open("fake", csError));
        CScriptedEar ear(clock); // the devices' answers by time
        CConverseGate gate(conversation, sink, ear, clock, kStatusIntervalMs * kMs);
        std::map<std::pair<uint8_t, uint8_t>, int> copies; // (device, ID) -> copies heard
        std::map<uint8_t, int> answered; // requests each device answered or ignored
        std::map<uint8_t, std::set<uint8_t>> held; // device -> IDs on the wire, unanswered
        int iMaxOutstanding = 0;
        size_t nOnWire = 0;
        std::vector<SConverseResult> results;
        int64_t llEndNs = 0;

        // The device hears a frame sent.
        auto Send = [&](const Bytes& frame) {
            ++nOnWire;
            const judge::SBacnetFrame f = judge::ParseBacnet(frame.data(), frame.size());
            if (f.eApdu != judge::EApdu::ConfirmedRequest)
                return;
            const uint8_t uDev = f.linkDestination.bytes[3];
            const SDevice& d = row.devices.at(uDev);
            const int iCopy = copies[{ uDev, f.uInvokeId }]++;
            if (iCopy == 0) {
                // A fresh ID: held by no other request to this device on the wire.
                EXPECT_TRUE(held[uDev].insert(f.uInvokeId).second) << int(f.uInvokeId);
                iMaxOutstanding = std::max(iMaxOutstanding, static_cast<int>(held[uDev].size()));
            }
            if (iCopy < d.iAnswerFrom)
                return;
            const int iNth = answered[uDev]++;
            if ((d.iSilentAfter >= 0 && iNth >= d.iSilentAfter) || (d.bEveryOther && iNth % 2)
                || iNth == d.iDrop || iNth == d.iDropToo)
                return;
            ear.At(clock.llNow + d.llDelayMs * kMs, Ack(uDev, f.uInvokeId));
        };
        // Retries, Segment-ACKs and Aborts leave on the sink.
        sink.onTransmit = Send;
        gate.SetOnResult([&](SConverseResult&& r) {
            llEndNs = clock.llNow;
            held[row.records[r.uRecord].uTo].erase(r.uSentInvokeId);
            results.push_back(std::move(r));
        });
        // Every wait's status: the window's line says what is waited for.
        int iSlices = 0;
        gate.SetBeforeSlice([&] {
            EXPECT_TRUE(conversation.Progress().bWaiting || conversation.Outstanding() > 0);
            return ++iSlices > 1'000'000;
        });
        bool bGaveUp = false;
        std::vector<int64_t> wentMs;
        for (size_t i = 0; i < row.records.size() && !bGaveUp; ++i) {
            Bytes frame = row.records[i].uTo
                ? ReadPv(row.records[i].uTo, row.records[i].uCapturedId)
                : kWhoIs;
            SConverseOffered offered;
            const EConverseGate e
                = gate.Pass(i, frame.data(), static_cast<uint32_t>(frame.size()), offered);
            ASSERT_FALSE(gate.Stopped());
            if (e == EConverseGate::Go) {
                wentMs.push_back(clock.llNow / kMs);
                Send(frame); // the batch's part
            }
            bGaveUp = e == EConverseGate::GaveUp;
        }
        EXPECT_FALSE(gate.Finish());
        EXPECT_EQ(conversation.Outstanding(), 0u);
        EXPECT_TRUE(gate.TakeResults().empty()); // all handed over as they ended

        std::vector<EConverseOutcome> outcomes;
        std::sort(results.begin(), results.end(),
            [](const auto& a, const auto& b) { return a.uRecord < b.uRecord; });
        for (const SConverseResult& r : results)
            outcomes.push_back(r.eOutcome);
        EXPECT_EQ(outcomes, row.outcomes);
        EXPECT_EQ(iMaxOutstanding, row.iMaxOutstanding);
        EXPECT_EQ(nOnWire, row.nOnWire);
        EXPECT_EQ(conversation.GiveUpText(), row.csGiveUp);
        EXPECT_EQ(conversation.GaveUp(), !row.csGiveUp.empty());
        EXPECT_EQ(llEndNs, row.llEndMs * kMs);
        if (!row.wentMs.empty()) {
            EXPECT_EQ(wentMs, row.wentMs);
        }
        for (const SConverseResult& r : results) {
            EXPECT_EQ(r.uCapturedInvokeId, row.records[r.uRecord].uCapturedId);
            if (r.eOutcome == E::Answered) {
                const judge::SBacnetFrame a = judge::ParseBacnet(r.answer.data(), r.answer.size());
                EXPECT_EQ(a.uInvokeId, r.uSentInvokeId);
                EXPECT_GT(r.llAnsweredNs, r.llSentNs);
            }
            EXPECT_LE(r.iRetries, row.options.iRetries);
        }
    }
}

// A segmented answer, step by step: what we hear, what we send back.
TEST(ConverseTest, SegmentedAnswersAreAcknowledgedAsAClientDoes)
{
    struct SStep {
        Bytes heard; // empty: let llAdvanceMs pass
        int64_t llAdvanceMs;
        std::vector<std::string> sent; // APDUs we send in return
    };
    struct SRow {
        const char* szName;
        std::vector<SStep> steps;
        EConverseOutcome eOutcome;
        int iSegments;
        std::string csAnswerApdu; // "" when no answer is kept
    };
    const std::string d0 = "0c00000001";
    const std::string d1 = "1e2955";
    const std::string d2 = "4e4441ac00004f1f";
    const std::string whole = "3000"
                              "0c"
        + d0 + d1 + d2;
    using E = EConverseOutcome;
    const std::vector<SRow> rows {
        { "3 segments, window 2: acknowledged at 0 and at the last, reassembled",
            { { Segment(0, 0, true, 2, d0), 0, { "40000002" } },
                { Segment(0, 1, true, 2, d1), 0, {} },
                { Segment(0, 2, false, 2, d2), 0, { "40000202" } } },
            E::Answered, 3, whole },
        { "window 1: every segment acknowledged",
            { { Segment(0, 0, true, 1, d0), 0, { "40000001" } },
                { Segment(0, 1, true, 1, d1), 0, { "40000101" } },
                { Segment(0, 2, false, 1, d2), 0, { "40000201" } } },
            E::Answered, 3, whole },
        { "a proposed window of 3: one ack for segments 1 to 3",
            { { Segment(0, 0, true, 3, d0), 0, { "40000003" } },
                { Segment(0, 1, true, 3, d1), 0, {} }, { Segment(0, 2, true, 3, ""), 0, {} },
                { Segment(0, 3, true, 3, d2), 0, { "40000303" } },
                { Segment(0, 4, false, 3, ""), 0, { "40000403" } } },
            E::Answered, 5, whole },
        { "a lost segment: a negative ack at the last in order, then the rest",
            { { Segment(0, 0, true, 2, d0), 0, { "40000002" } },
                { Segment(0, 2, false, 2, d2), 0, { "42000002" } },
                { Segment(0, 1, true, 2, d1), 0, {} },
                { Segment(0, 2, false, 2, d2), 0, { "40000202" } } },
            E::Answered, 3, whole },
        // The negative ack restarts the window at segment 1: the next ack
        // is at 1 + 3, not in the middle of the window resent.
        { "after a negative ack the window counts from where it says",
            { { Segment(0, 0, true, 3, d0), 0, { "40000003" } },
                { Segment(0, 1, true, 3, d1), 0, {} },
                { Segment(0, 3, true, 3, ""), 0, { "42000103" } },
                { Segment(0, 2, true, 3, ""), 0, {} }, { Segment(0, 3, true, 3, ""), 0, {} },
                { Segment(0, 4, true, 3, d2), 0, { "40000403" } },
                { Segment(0, 5, false, 3, ""), 0, { "40000503" } } },
            E::Answered, 6, whole },
        { "a segment heard twice is not data twice",
            { { Segment(0, 0, true, 2, d0), 0, { "40000002" } },
                { Segment(0, 1, true, 2, d1), 0, {} },
                { Segment(0, 1, true, 2, d1), 0, { "42000102" } },
                { Segment(0, 2, false, 2, d2), 0, { "40000202" } } },
            E::Answered, 3, whole },
        { "segments stop: an Abort at the segment time-out",
            { { Segment(0, 0, true, 2, d0), 0, { "40000002" } }, { {}, 2999, {} },
                { {}, 1, { "70000a" } } },
            E::Aborted, 1, "" },
        { "a window of 0: aborted as out of range",
            { { Segment(0, 0, true, 0, d0), 0, { "700007" } } }, E::Aborted, 0, "" },
        { "a first segment that is not number 0: aborted",
            { { Segment(0, 1, true, 2, d0), 0, { "700002" } } }, E::Aborted, 0, "" },
        { "a server's Abort in the middle ends the answer",
            { { Segment(0, 0, true, 2, d0), 0, { "40000002" } },
                { From(2, 1, Hex("01 00 71 00 04")), 0, {} } },
            E::Answered, 0, "710004" },
        { "another device's segment is not ours",
            { { Segment(0, 0, true, 2, d0), 0, { "40000002" } },
                { From(3, 1, Hex("01 00 38 00 01 02 0c" + d1)), 0, {} },
                { Segment(0, 1, false, 2, d1 + d2), 0, { "40000102" } } },
            E::Answered, 2, whole },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock;
        CConversation conversation(SConverseOptions(), clock);
        CFakeSink sink;
        std::string csError;
        ASSERT_TRUE(sink.Open("fake", csError));
        CScriptedEar ear(clock);
        CConverseGate gate(conversation, sink, ear, clock, kStatusIntervalMs * kMs);
        Bytes request = ReadPv(2, 9);
        SConverseOffered offered;
        ASSERT_EQ(gate.Pass(0, request.data(), static_cast<uint32_t>(request.size()), offered),
            EConverseGate::Go);
        ASSERT_EQ(request[14 + 20 + 8 + 4 + 2 + 2], 0); // the first fresh ID
        for (size_t i = 0; i < row.steps.size(); ++i) {
            const SStep& step = row.steps[i];
            SCOPED_TRACE(i);
            if (step.heard.empty())
                clock.SleepUntil(clock.llNow + step.llAdvanceMs * kMs);
            else
                ear.At(clock.llNow, step.heard);
            sink.frames.clear();
            gate.Pump(0);
            std::vector<std::string> sent;
            for (const Bytes& frame : sink.frames) {
                sent.push_back(ApduOf(frame));
                // Built on the request's addressing: to the device, lengths and checksum right.
                const judge::SBacnetFrame f = judge::ParseBacnet(frame.data(), frame.size());
                EXPECT_EQ(f.linkDestination.bytes[3], 2);
                EXPECT_EQ(f.linkSource.bytes[3], 1);
                EXPECT_EQ(frame[5], 2);
                EXPECT_TRUE(IpChecksumHolds(frame));
                // A real UDP checksum, though the request had none, and
                // padding to 60 bytes that no length counts.
                const SChecksumsHold hold = ChecksumsHold(frame);
                EXPECT_TRUE(hold.bIp && hold.bUdp && !hold.bUdpZero);
                EXPECT_EQ(frame.size(), std::max<size_t>(60, 14u + (frame[16] << 8 | frame[17])));
                EXPECT_EQ(frame[47] & 0x04, 0); // no reply expected
            }
            EXPECT_EQ(sent, step.sent);
        }
        const std::vector<SConverseResult> results = gate.TakeResults();
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].eOutcome, row.eOutcome);
        EXPECT_EQ(results[0].iSegments, row.iSegments);
        EXPECT_EQ(ApduOf(results[0].answer), row.csAnswerApdu);
        if (!row.csAnswerApdu.empty()) {
            const judge::SBacnetFrame a
                = judge::ParseBacnet(results[0].answer.data(), results[0].answer.size());
            EXPECT_NE(a.eApdu, judge::EApdu::NotBacnet);
            EXPECT_FALSE(a.bSegmented);
            if (row.iSegments > 0) {
                EXPECT_TRUE(IpChecksumHolds(results[0].answer));
            }
        }
        EXPECT_EQ(conversation.Outstanding(), 0u);
    }
}

// Sequence numbers count modulo 256: a long answer runs on past 255, joined
// by the same rule as the packet list's (decode/Segments).
TEST(ConverseTest, ALongSegmentedAnswerRunsItsSequencePast255)
{
    CFakeClock clock;
    CConversation conversation(SConverseOptions(), clock);
    Bytes request = ReadPv(2, 9);
    int64_t llUntil = 0;
    ASSERT_EQ(conversation.Offer(0, request.data(), static_cast<uint32_t>(request.size()), llUntil),
        EConverseGate::Go);
    const int iSegments = 300;
    std::string csData;
    int iAcks = 0;
    for (int i = 0; i < iSegments; ++i) {
        const Bytes segment = Segment(
            0, static_cast<uint8_t>(i), i + 1 < iSegments, 100, H(static_cast<uint8_t>(i)));
        csData += H(static_cast<uint8_t>(i));
        conversation.Heard(segment.data(), segment.size(), clock.llNow);
        for (const Bytes& frame : conversation.TakeFrames()) {
            ++iAcks;
            EXPECT_EQ(ApduOf(frame).substr(0, 2), "40") << i; // never a negative ack
        }
    }
    EXPECT_EQ(iAcks, 4); // at 0, 100 and 200 (the next window ends past the answer), and the last
    const std::vector<SConverseResult> results = conversation.TakeResults();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].eOutcome, EConverseOutcome::Answered);
    EXPECT_EQ(results[0].iSegments, iSegments);
    EXPECT_EQ(ApduOf(results[0].answer), "30000c" + csData);
}

// A UDP checksum as the sending host's capture holds it: its NIC was left to
// fill it in.
Bytes LeftToTheNic(Bytes frame)
{
    frame[14 + 20 + 6] ^= 0x5a;
    return frame;
}

TEST(ConverseTest, WhatIsNotSentAndWhatIsLeftAlone)
{
    struct SRow {
        const char* szName;
        Bytes frame;
        EConverseGate eGate;
        bool bRewritten;
        bool bKeep = false; // --keep-checksums
    };
    const Bytes kReadPvSummed = Checksummed(ReadPv(2, 77));
    const std::vector<SRow> rows {
        { "a captured answer", Ack(2, 5), EConverseGate::Skip, false },
        { "a captured Segment-ACK", From(1, 2, Hex("01 00 40 05 00 02")), EConverseGate::Skip,
            false },
        { "an I-Am", From(2, 0xff, Hex("01 00 10 00 c4 02000096 22 01e0 91 00 21 0f")),
            EConverseGate::Skip, false },
        { "not BACnet", Ipv4Frame(6, Hex("0000")), EConverseGate::Skip, false },
        { "a Who-Is", kWhoIs, EConverseGate::Go, false },
        { "a segmented confirmed request goes as captured",
            From(1, 2, Hex("01 04 0a 75 05 00 04 0e 0c")), EConverseGate::Go, false },
        { "a confirmed request gets ID 0", ReadPv(2, 77), EConverseGate::Go, true },
        { "over BACnet/Ethernet too", BacnetEthernet(Hex("01 04 02 75 4d 0c 0c 00000001 19 55")),
            EConverseGate::Go, true },
        { "behind two VLAN tags", DoubleTagged(ReadPv(2, 77)), EConverseGate::Go, true },
        { "a routed request", From(1, 9, Hex("01 24 0005 01 0b ff 02 75 4d 0c 0c 00000001 19 55")),
            EConverseGate::Go, true },
        // The UDP checksum covers the invoke ID.
        { "a UDP checksum stays right", kReadPvSummed, EConverseGate::Go, true },
        { "a UDP checksum behind two VLAN tags", DoubleTagged(kReadPvSummed), EConverseGate::Go,
            true },
        { "a routed request's UDP checksum",
            Checksummed(From(1, 9, Hex("01 24 0005 01 0b ff 02 75 4d 0c 0c 00000001 19 55"))),
            EConverseGate::Go, true },
        { "an odd datagram's UDP checksum",
            Checksummed(From(1, 2, Hex("01 04 02 75 4d 0c 0c 00000001 19 55 00"))),
            EConverseGate::Go, true },
        { "a UDP checksum left to the NIC is computed afresh", LeftToTheNic(kReadPvSummed),
            EConverseGate::Go, true },
        { "kept as wrong as captured", LeftToTheNic(kReadPvSummed), EConverseGate::Go, true, true },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock;
        CConversation conversation(SConverseOptions(), clock);
        conversation.KeepChecksums(row.bKeep);
        Bytes frame = row.frame;
        int64_t llUntil = 0;
        SConverseOffered offered;
        offered.iInvokeAt = 1234;
        EXPECT_EQ(conversation.Offer(
                      3, frame.data(), static_cast<uint32_t>(frame.size()), llUntil, &offered),
            row.eGate);
        EXPECT_EQ(conversation.Outstanding(), row.bRewritten ? 1u : 0u);
        if (!row.bRewritten) {
            EXPECT_EQ(frame, row.frame);
            EXPECT_EQ(offered.iInvokeAt, -1);
            continue;
        }
        // The gate says where the invoke ID is, and what it was.
        ASSERT_GT(offered.iInvokeAt, 14);
        ASSERT_LT(static_cast<size_t>(offered.iInvokeAt), frame.size());
        EXPECT_EQ(offered.uCapturedInvokeId, 77);
        EXPECT_EQ(row.frame[static_cast<size_t>(offered.iInvokeAt)], 77);
        const judge::SBacnetFrame f = judge::ParseBacnet(frame.data(), frame.size());
        EXPECT_EQ(f.eApdu, judge::EApdu::ConfirmedRequest);
        EXPECT_EQ(f.uInvokeId, 0);
        // Apart from the invoke ID, only the checksums may change, and they
        // hold where the captured ones held (or were wrong), summed here anew.
        Bytes want = row.frame;
        want[static_cast<size_t>(offered.iInvokeAt)] = 0;
        const SChecksumsHold captured = ChecksumsHold(row.frame);
        const SChecksumsHold hold = ChecksumsHold(frame);
        if (row.bKeep) {
            EXPECT_FALSE(hold.bUdp);
            // Just as wrong: the right sum is as far off as it was.
            // Just as wrong: as far off the right sum as it was (ones' complement).
            auto off = [](const Bytes& b) {
                const Bytes right = Checksummed(b);
                const int i = (b[40] << 8 | b[41]) - (right[40] << 8 | right[41]);
                return (i % 0xffff + 0xffff) % 0xffff;
            };
            EXPECT_EQ(off(frame), off(row.frame));
            EXPECT_NE(off(frame), 0);
            continue;
        }
        if (!captured.bUdpZero)
            want = Checksummed(want);
        EXPECT_EQ(frame, want);
        EXPECT_TRUE(hold.bIp);
        EXPECT_TRUE(hold.bUdp);
        EXPECT_EQ(hold.bUdpZero, captured.bUdpZero);
    }
}

TEST(ConverseTest, RoutedRequestsArePairedByTheirRemoteNetwork)
{
    // To network 5 address 0x0b through router 9; the answer comes back
    // through router 3 with SNET 5 / SADR 0x0b.
    CFakeClock clock;
    CConversation conversation(SConverseOptions(), clock);
    Bytes request = From(1, 9, Hex("01 24 0005 01 0b ff 02 75 05 0c 0c 00000001 19 55"));
    int64_t llUntil = 0;
    ASSERT_EQ(conversation.Offer(0, request.data(), static_cast<uint32_t>(request.size()), llUntil),
        EConverseGate::Go);
    const Bytes wrongNet = From(3, 1, Hex("01 08 0006 01 0b 30 00 0c 0c 00000001 19 55"));
    conversation.Heard(wrongNet.data(), wrongNet.size(), 1);
    EXPECT_EQ(conversation.Outstanding(), 1u);
    Bytes next = From(1, 9, Hex("01 24 0005 01 0b ff 02 75 05 0c 0c 00000001 19 55"));
    EXPECT_EQ(conversation.Offer(1, next.data(), static_cast<uint32_t>(next.size()), llUntil),
        EConverseGate::Wait);
    EXPECT_EQ(llUntil, 3000 * kMs);
    EXPECT_EQ(
        ConverseProgressText(conversation.Progress()), "request 1, waiting for the answer (0.0 s)");
    const Bytes answer = From(3, 1, Hex("01 08 0005 01 0b 30 00 0c 0c 00000001 19 55"));
    conversation.Heard(answer.data(), answer.size(), 2);
    EXPECT_EQ(conversation.Outstanding(), 0u);
    EXPECT_EQ(conversation.Offer(1, next.data(), static_cast<uint32_t>(next.size()), llUntil),
        EConverseGate::Go);
}

// What answers a request: from its device, with its invoke ID and, where
// the answer names one, its service, heard after the request went.
TEST(ConverseTest, AnAnswerIsTheRequestsOwn)
{
    struct SRow {
        const char* szName;
        Bytes heard;
        int64_t llHeardMs; // the request went at 10 ms
        bool bPaired;
    };
    const std::vector<SRow> rows {
        { "its ComplexACK", Ack(2, 0), 11, true },
        { "its ComplexACK heard before it went", Ack(2, 0), 9, false },
        { "heard as it went", Ack(2, 0), 10, true },
        { "another service's SimpleACK", From(2, 1, Hex("01 00 20 00 0f")), 11, false },
        { "its service's SimpleACK", From(2, 1, Hex("01 00 20 00 0c")), 11, true },
        { "another service's Error", From(2, 1, Hex("01 00 50 00 06 91 01 91 1f")), 11, false },
        { "its service's Error", From(2, 1, Hex("01 00 50 00 0c 91 01 91 1f")), 11, true },
        { "another service's answer in one segment", From(2, 1, Hex("01 00 38 00 00 02 0f")), 11,
            false },
        { "a Reject names no service", From(2, 1, Hex("01 00 60 00 09")), 11, true },
        { "a server's Abort", From(2, 1, Hex("01 00 71 00 04")), 11, true },
        { "a client's Abort", From(2, 1, Hex("01 00 70 00 04")), 11, false },
        { "another device's", Ack(3, 0), 11, false },
        { "another invoke ID", Ack(2, 1), 11, false },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock(10 * kMs);
        CConversation conversation(SConverseOptions(), clock);
        Bytes request = ReadPv(2, 9);
        int64_t llUntil = 0;
        ASSERT_EQ(
            conversation.Offer(0, request.data(), static_cast<uint32_t>(request.size()), llUntil),
            EConverseGate::Go);
        clock.llNow = 12 * kMs;
        conversation.Heard(row.heard.data(), row.heard.size(), row.llHeardMs * kMs);
        EXPECT_EQ(conversation.Outstanding(), row.bPaired ? 0u : 1u);
    }
}

// The gate's waits: never longer than a slice, the loop asked before each
// slice, and a stop there ends the offer or the wait for the last answers
// with nothing sent.
TEST(ConverseTest, TheGateWaitsInSlicesAndStops)
{
    struct SRow {
        const char* szName;
        int iStopAtSlice; // the slice whose question answers "stop"; -1: none
        bool bInFinish; // the stop comes after the last record
        EConverseGate eSecond; // what the second request's Pass says
        size_t nOnWire; // frames the sink got (retries, none here)
        int iMinSlices; // at least so many questions before the second went
    };
    const std::vector<SRow> rows {
        // The first request's 3 s time-out in slices of 100 ms.
        { "no stop: the second goes after the time-out", -1, false, EConverseGate::Go, 0, 30 },
        { "a stop in the first slice", 0, false, EConverseGate::Wait, 0, 1 },
        { "a stop in the tenth slice", 9, false, EConverseGate::Wait, 0, 10 },
        { "a stop while the last answer is owed", 3, true, EConverseGate::Go, 0, 30 },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        CFakeClock clock;
        CConversation conversation(SConverseOptions(), clock);
        CFakeSink sink;
        std::string csError;
        ASSERT_TRUE(sink.Open("fake", csError));
        CScriptedEar ear(clock);
        const int64_t llSlice = 100 * kMs;
        CConverseGate gate(conversation, sink, ear, clock, llSlice);
        int iSlices = 0;
        int64_t llLast = clock.llNow;
        bool bFinishing = false;
        gate.SetBeforeSlice([&] {
            EXPECT_LE(clock.llNow - llLast, llSlice);
            llLast = clock.llNow;
            const int iSlice = iSlices++;
            return (bFinishing == row.bInFinish) && iSlice == row.iStopAtSlice;
        });
        Bytes first = ReadPv(2, 9);
        SConverseOffered offered;
        ASSERT_EQ(gate.Pass(0, first.data(), static_cast<uint32_t>(first.size()), offered),
            EConverseGate::Go);
        EXPECT_EQ(iSlices, 0) << "nothing outstanding: no wait";
        Bytes second = ReadPv(2, 10);
        EXPECT_EQ(gate.Pass(1, second.data(), static_cast<uint32_t>(second.size()), offered),
            row.eSecond);
        EXPECT_EQ(gate.Stopped(), row.eSecond == EConverseGate::Wait);
        EXPECT_GE(iSlices, row.iMinSlices);
        if (row.eSecond == EConverseGate::Go) {
            bFinishing = true;
            iSlices = 0;
            EXPECT_EQ(gate.Finish(), row.bInFinish);
            EXPECT_EQ(conversation.Outstanding(), row.bInFinish ? 1u : 0u);
        }
        EXPECT_EQ(sink.frames.size(), row.nOnWire);
    }
}

// The engine gives facts; the session words them.
TEST(ConverseTest, ProgressSaysWhatIsWaitedFor)
{
    const std::pair<SConverseProgress, const char*> rows[] = {
        { { 12, 40, true, 1'250'000'000 }, "request 12 of 40, waiting for the answer (1.2 s)" },
        { { 12, 40, false, 1'250'000'000 }, "request 12 of 40" },
        { { 12, 0, false, 0 }, "request 12" },
        { { 1, 0, true, 0 }, "request 1, waiting for the answer (0.0 s)" },
        { { 0, 3, true, 59'960'000'000 }, "request 0 of 3, waiting for the answer (60.0 s)" },
    };
    for (const auto& [progress, szText] : rows)
        EXPECT_EQ(ConverseProgressText(progress), szText);
}

TEST(ConverseTest, AGiveUpNamesTheDeviceAndTheRecord)
{
    const SConverseDevice ip { true, { 10, 0, 0, 2, 0xba, 0xc0 }, false, 0, {} };
    const SConverseDevice mac { false, { 0x02, 0x76, 0x6d, 0x0a, 0x00, 0x02 }, false, 0, {} };
    const SConverseDevice mstp { false, { 0x1f }, false, 0, {} };
    const SConverseDevice routed { true, ip.link, true, 5, { 0x0a, 0x01 } };
    const std::pair<SConverseGiveUp, const char*> rows[] = {
        { { true, ip, 41 }, "the device at 10.0.0.2:47808 stopped answering after record 41" },
        { { true, mac, 0 }, "the device at 02:76:6d:0a:00:02 stopped answering after record 0" },
        { { true, mstp, 7 }, "the device at 1f stopped answering after record 7" },
        { { true, routed, 3 },
            "the device at 10.0.0.2:47808, network 5 address 0a01 stopped answering after "
            "record 3" },
        { { false, ip, 41 }, "" },
    };
    for (const auto& [giveUp, szText] : rows)
        EXPECT_EQ(ConverseGiveUpText(giveUp), szText);
    const std::pair<EConverseOutcome, const char*> words[] = {
        { EConverseOutcome::Answered, "answered" },
        { EConverseOutcome::TimedOut, "timed out" },
        { EConverseOutcome::Aborted, "aborted" },
        { EConverseOutcome::GaveUp, "gave up" },
        { EConverseOutcome::Stopped, "stopped" },
    };
    for (const auto& [eOutcome, szWord] : words)
        EXPECT_STREQ(ConverseOutcomeWord(eOutcome), szWord);
}

} // namespace
