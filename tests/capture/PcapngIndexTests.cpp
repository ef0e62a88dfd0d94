// pcapng through the capture index: the records libpcap reads, numbered as it
// numbers them; each interface's link type and clock; damaged blocks.

#include "PeerCapture.h"
#include "TestSupport.h"
#include "capture/IndexRows.h"
#include "decode/RowFilter.h"
#include "tools/CaptureWriter.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

using namespace velmora;
using namespace velmora::dissect;

namespace {

CCaptureIndex::EState IndexAll(CCaptureIndex& index)
{
    std::atomic<bool> bStop { false };
    return index.Run(bStop);
}

// libpcap (what Send reads through) is the judge of what a record is.
TEST(PcapngIndexTest, RecordsAreLibpcapsRecordsInItsOrder)
{
    vtest::CTempDir dir;
    const std::vector<SPcapngSample> samples = WritePcapngSamples(dir.Path().string());
    ASSERT_EQ(samples.size(), 10u);
    for (const SPcapngSample& s : samples) {
        SCOPED_TRACE(s.csName);
        const vtest::Frames libpcap = vtest::ReadCaptureFrames(s.csPath);
        ASSERT_EQ(libpcap.size(), s.nLibpcap);
        for (size_t i = 0; i < libpcap.size(); ++i)
            EXPECT_EQ(libpcap[i], s.frames[i]) << "libpcap's record " << i;

        CCaptureIndex index;
        ASSERT_TRUE(index.Open(s.csPath)) << index.Error();
        EXPECT_TRUE(index.Pcapng());
        EXPECT_EQ(IndexAll(index),
            s.bDamaged ? CCaptureIndex::EState::Failed : CCaptureIndex::EState::Done)
            << index.Error();
        EXPECT_EQ(index.Error().empty(), !s.bDamaged) << index.Error();
        ASSERT_EQ(index.Count(), s.frames.size());
        SRecord rec;
        for (uint64_t i = 0; i < index.Count(); ++i) {
            ASSERT_TRUE(index.Read(i, rec)) << i;
            EXPECT_EQ(rec.bytes, s.frames[i]) << "record " << i;
            EXPECT_EQ(rec.header.uWireLen, s.frames[i].size());
            EXPECT_FALSE(DecodeRecord(index, i).bMalformed) << i;
        }
        EXPECT_FALSE(index.Read(index.Count(), rec));
        // Where libpcap stops on a sound file, the list reads on and says so.
        const bool bLimited = !s.bDamaged && s.nLibpcap < s.frames.size();
        EXPECT_EQ(index.SendLimit(), bLimited ? s.nLibpcap : UINT64_MAX);
        EXPECT_EQ(index.SendLimitNote().empty(), !bLimited) << index.SendLimitNote();
    }

    // A Simple Packet Block longer than its interface's snapshot length holds
    // the frame cut to it; the wire length stays.
    const std::string csSimple = dir.File("simple-above-snaplen.pcapng");
    {
        CPcapngWriter w;
        ASSERT_TRUE(w.Open(csSimple));
        w.Section();
        w.Interface(1, 64);
        w.Simple(MakeTestFrame(100, 7));
        w.Simple(MakeTestFrame(60, 8));
        ASSERT_TRUE(w.Close());
    }
    const std::vector<uint8_t> full = MakeTestFrame(100, 7);
    const std::vector<uint8_t> cut(full.begin(), full.begin() + 64);
    EXPECT_EQ(vtest::ReadCaptureFrames(csSimple), vtest::Frames({ cut, MakeTestFrame(60, 8) }));
    CCaptureIndex index;
    ASSERT_TRUE(index.Open(csSimple)) << index.Error();
    EXPECT_EQ(IndexAll(index), CCaptureIndex::EState::Done) << index.Error();
    ASSERT_EQ(index.Count(), 2u);
    SRecord rec;
    ASSERT_TRUE(index.Read(0, rec));
    EXPECT_EQ(rec.bytes, cut);
    EXPECT_EQ(rec.header.uWireLen, 100u);
    ASSERT_TRUE(index.Read(1, rec));
    EXPECT_EQ(rec.bytes, MakeTestFrame(60, 8));
}

TEST(PcapngIndexTest, TimesFollowEachInterfacesResolution)
{
    vtest::CTempDir dir;
    const std::vector<SPcapngSample> samples = WritePcapngSamples(dir.Path().string());
    struct SCase {
        const char* szSample;
        uint64_t uRecord;
        const char* szTime; // relative to record 0
    };
    const SCase cases[] = {
        { "le-micro", 1, "0.000250" },
        { "le-micro", 5, "0.003000" },
        { "be-nano", 1, "0.000000249" },
        { "be-nano", 3, "0.999999999" },
        { "binary-1024", 1, "0.500000" },
        { "binary-1024", 2, "2.000976" },
        // eth0 counts microseconds, eth1 nanoseconds.
        { "two-interfaces", 1, "0.500000000" },
        { "two-interfaces", 3, "1.500000" },
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(std::string(c.szSample) + " " + std::to_string(c.uRecord));
        const auto it = std::find_if(samples.begin(), samples.end(),
            [&](const SPcapngSample& s) { return s.csName == c.szSample; });
        ASSERT_NE(it, samples.end());
        CCaptureIndex index;
        ASSERT_TRUE(index.Open(it->csPath));
        IndexAll(index);
        EXPECT_EQ(ColumnText(DecodeRecord(index, c.uRecord), EColumn::Time), c.szTime);
    }
    // A name of 3 bytes is padded to 4 before the resolution that follows it.
    const std::string csOddName = dir.File("odd-name.pcapng");
    {
        CPcapngWriter w;
        ASSERT_TRUE(w.Open(csOddName));
        w.Section();
        w.Interface(1, 0, 9, false, "vm0");
        w.Enhanced(0, MakeTestFrame(60, 0), 1'000'000'000);
        w.Enhanced(0, MakeTestFrame(60, 1), 1'000'000'250);
        ASSERT_TRUE(w.Close());
    }
    CCaptureIndex odd;
    ASSERT_TRUE(odd.Open(csOddName));
    IndexAll(odd);
    EXPECT_EQ(ColumnText(DecodeRecord(odd, 1), EColumn::Time), "0.000000250");
    EXPECT_EQ(odd.InterfaceLabel(0).find("vm0") != std::string::npos, true)
        << odd.InterfaceLabel(0);
    EXPECT_EQ(TimeStampNs(1, 10, true), 976562);
    EXPECT_EQ(TimeStampNs(7, 0, false, -2), 5000000000);
    EXPECT_EQ(TimeStampNs(123456789012, 12, false), 123456789);
    EXPECT_EQ(TimeStampNs(UINT64_MAX, 6, false), INT64_MAX);
}

TEST(PcapngIndexTest, InterfacesAndSectionsAreNamedAndKept)
{
    vtest::CTempDir dir;
    const std::vector<SPcapngSample> samples = WritePcapngSamples(dir.Path().string());
    auto open = [&](const char* szName, CCaptureIndex& index) {
        for (const SPcapngSample& s : samples)
            if (s.csName == szName)
                return index.Open(s.csPath) && IndexAll(index) == CCaptureIndex::EState::Done;
        return false;
    };
    {
        CCaptureIndex index;
        ASSERT_TRUE(open("two-interfaces", index));
        ASSERT_EQ(index.InterfaceCount(), 2u);
        EXPECT_EQ(index.InterfaceLabel(0), "eth0");
        EXPECT_EQ(index.InterfaceLabel(1), "eth1");
        std::vector<uint32_t> ids;
        for (uint64_t i = 0; i < index.Count(); ++i)
            ids.push_back(index.InterfaceOf(i));
        EXPECT_EQ(ids, std::vector<uint32_t>({ 0, 1, 1, 0 }));
        EXPECT_EQ(index.Interface(1).uResolution, 9);
        EXPECT_FALSE(index.NanoResolution());
        // The frame's summary in the tree names it too.
        std::vector<SField> tree;
        DecodeRecord(index, 2, &tree);
        ASSERT_FALSE(tree.empty());
        ASSERT_FALSE(tree[0].children.empty());
        EXPECT_EQ(tree[0].children[0].Text(), "Interface: eth1");
    }
    {
        CCaptureIndex index;
        ASSERT_TRUE(open("two-sections", index));
        ASSERT_EQ(index.InterfaceCount(), 2u);
        EXPECT_EQ(index.InterfaceLabel(0), "interface 0 of section 1");
        EXPECT_EQ(index.InterfaceLabel(1), "interface 0 of section 2");
        EXPECT_EQ(index.InterfaceOf(2), 1u);
        EXPECT_EQ(index.InterfaceOf(3), 1u); // a Simple Packet Block: its section's interface 0
    }
    {
        CCaptureIndex index;
        ASSERT_TRUE(open("two-link-types", index));
        EXPECT_EQ(index.Interface(1).uLinkType, 101u);
        EXPECT_EQ(DecodeRecord(index, 2).csProtocol, "link type 101");
        EXPECT_EQ(DecodeRecord(index, 3).csProtocol, "Local Experimental");
        EXPECT_EQ(index.SendLimitNote(),
            "Send stops before record 2: libpcap cannot read past the interface at byte 480: its "
            "link type 101 is not the first interface's (1).");
    }
    {
        CCaptureIndex index;
        ASSERT_TRUE(open("be-nano", index));
        EXPECT_TRUE(index.Interface(0).bSwapped);
        EXPECT_EQ(index.SnapLen(), 65535u);
        EXPECT_TRUE(index.NanoResolution());
    }
}

// A window reads rows and interfaces while a worker indexes and meets a new
// interface half-way: what it can see reads back whole.
TEST(PcapngIndexTest, RowsAndInterfacesReadWhileAnotherThreadIndexes)
{
    vtest::CTempDir dir;
    constexpr uint32_t kRecords = 60000;
    {
        CPcapngWriter w;
        ASSERT_TRUE(w.Open(dir.File("big.pcapng")));
        w.Section();
        w.Interface(1, 0, 6, false, "eth0");
        for (uint32_t i = 0; i < kRecords; ++i) {
            if (i == kRecords / 2)
                w.Interface(1, 0, 9, false, "eth1");
            w.Enhanced(i < kRecords / 2 ? 0 : i % 2, MakeTestFrame(60, i), i);
        }
        ASSERT_TRUE(w.Close());
    }
    CCaptureIndex index;
    ASSERT_TRUE(index.Open(dir.File("big.pcapng")));
    std::atomic<bool> bStop { false };
    std::thread worker([&] { index.Run(bStop); });
    SRecord rec;
    uint64_t uChecked = 0;
    while (index.State() == CCaptureIndex::EState::Reading || uChecked == 0) {
        const uint64_t uCount = index.Count();
        if (uCount == 0)
            continue;
        ASSERT_TRUE(index.Read(uCount - 1, rec));
        ASSERT_EQ(rec.bytes, MakeTestFrame(60, static_cast<uint32_t>(uCount - 1)));
        ASSERT_LT(index.InterfaceOf(uCount - 1), index.InterfaceCount());
        index.InterfaceLabel(index.InterfaceOf(uCount - 1));
        ++uChecked;
    }
    worker.join();
    ASSERT_EQ(index.Count(), kRecords);
    EXPECT_EQ(index.InterfaceLabel(index.InterfaceOf(kRecords - 1)), "eth1");
    std::vector<uint64_t> found;
    FindMatches(index, CRowFilter("eth1"), 0, kRecords, found, 4);
    EXPECT_EQ(found.size(), kRecords / 4);
}

// Damage stops the list with one line and keeps the records before it.
TEST(PcapngIndexTest, DamagedBlocksGiveOneLineAndKeepTheRecordsBefore)
{
    const auto frame = MakeTestFrame(60, 1);
    struct SCase {
        const char* szName;
        std::function<void(CPcapngWriter&)> write;
        bool bOpens;
        uint64_t uCount;
        std::string csError;
    };
    // Section header 28 bytes, interface 20, a 60-byte frame's block 92.
    auto Start = [&frame](CPcapngWriter& w) {
        w.Section();
        w.Interface();
        w.Enhanced(0, frame);
    };
    const SCase cases[] = {
        { "section header cut",
            [](CPcapngWriter& w) {
                w.CutNextBlock(20);
                w.Section();
            },
            false, 0, "The capture is cut short: its section header has 20 of its 28 bytes." },
        { "pcapng 2.0",
            [](CPcapngWriter& w) {
                w.Block(0x0a0d0d0a, { 0x4d, 0x3c, 0x2b, 0x1a, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 });
            },
            false, 0, "The capture's pcapng version 2.0 is not supported (only 1.x)." },
        { "no byte-order mark",
            [](CPcapngWriter& w) {
                w.Block(0x0a0d0d0a, { 1, 2, 3, 4, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 });
            },
            false, 0,
            "The file is not a capture: its pcapng section header has an unknown byte-order "
            "mark." },
        { "block header cut",
            [&](CPcapngWriter& w) {
                Start(w);
                w.CutNextBlock(6);
                w.Enhanced(0, frame);
            },
            true, 1,
            "The capture is cut short: the block at byte 140 has 6 of its 8 header bytes." },
        { "record cut",
            [&](CPcapngWriter& w) {
                Start(w);
                w.CutNextBlock(50);
                w.Enhanced(0, frame);
            },
            true, 1,
            "The capture is cut short: record 1 (the block at byte 140) has 50 of its 92 bytes." },
        { "other block cut",
            [&](CPcapngWriter& w) {
                Start(w);
                w.CutNextBlock(40);
                w.Custom(std::vector<uint8_t>(100, 0));
            },
            true, 1, "The capture is cut short: the block at byte 140 has 40 of its 116 bytes." },
        { "trailer unlike the length",
            [&](CPcapngWriter& w) {
                Start(w);
                w.NextTrailer(96);
                w.Enhanced(0, frame);
                w.Enhanced(0, frame);
            },
            true, 1,
            "The capture is damaged at byte 140: the block's length is 92 at its start and 96 at "
            "its end." },
        { "length not a multiple of 4",
            [&](CPcapngWriter& w) {
                Start(w);
                w.Block(6, {});
                // Overwritten below: a block of 33 bytes.
            },
            true, 1, "" },
        { "packet before any interface",
            [&](CPcapngWriter& w) {
                w.Section();
                w.Enhanced(0, frame);
            },
            true, 0,
            "The capture is damaged at record 0 (the block at byte 28): it names interface 0, "
            "which its section does not describe." },
        { "a second section without its interface",
            [&](CPcapngWriter& w) {
                Start(w);
                w.Section();
                w.Simple(frame);
            },
            true, 1,
            "The capture is damaged at record 1 (the block at byte 168): it names interface 0, "
            "which its section does not describe." },
        { "more captured bytes than the block holds",
            [&](CPcapngWriter& w) {
                Start(w);
                // Interface 0, time 0, 200 bytes captured of 200, then 60 bytes.
                std::vector<uint8_t> body(20 + frame.size(), 0);
                body[12] = body[16] = 200;
                std::copy(frame.begin(), frame.end(), body.begin() + 20);
                w.Block(6, body);
            },
            true, 1,
            "The capture is damaged at record 1 (the block at byte 140): it claims 200 captured "
            "bytes, and its block holds 60." },
        { "a packet block too short for its header",
            [&](CPcapngWriter& w) {
                Start(w);
                w.Block(6, { 0, 0, 0, 0 });
            },
            true, 1,
            "The capture is damaged at record 1 (the block at byte 140): its block is too short "
            "for a packet header." },
    };
    vtest::CTempDir dir;
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.szName);
        CPcapngWriter w;
        ASSERT_TRUE(w.Open(dir.File("bad.pcapng")));
        c.write(w);
        ASSERT_TRUE(w.Close());
        std::string csError = c.csError;
        if (std::string(c.szName) == "length not a multiple of 4") {
            // The writer rounds lengths up; put a bad one in by hand.
            std::string cs = vtest::ReadFile(dir.File("bad.pcapng"));
            cs[144] = 33;
            vtest::WriteFile(dir.File("bad.pcapng"), cs);
            csError = "The capture is damaged at byte 140: a block claims a length of 33 bytes (at "
                      "least 12, a multiple of 4).";
        }
        CCaptureIndex index;
        ASSERT_EQ(index.Open(dir.File("bad.pcapng")), c.bOpens) << index.Error();
        if (c.bOpens) {
            EXPECT_EQ(IndexAll(index), CCaptureIndex::EState::Failed);
            SRecord rec;
            for (uint64_t i = 0; i < c.uCount; ++i) {
                ASSERT_TRUE(index.Read(i, rec));
                EXPECT_EQ(rec.bytes, frame);
            }
        }
        EXPECT_EQ(index.Count(), c.uCount);
        EXPECT_EQ(index.Error(), csError);
    }
}

} // namespace
