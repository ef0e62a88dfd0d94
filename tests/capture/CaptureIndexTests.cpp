#include "TestSupport.h"
#include "capture/IndexRows.h"
#include "tools/CaptureWriter.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

using namespace velmora;

using namespace vtest;
using namespace velmora::dissect;

namespace {

// A pcap file written byte by byte, in either byte order.
class CByteCapture {
public:
    CByteCapture(bool bBigEndian, bool bNano, uint32_t uSnapLen = 65535)
        : m_bBig(bBigEndian)
    {
        U32(bNano ? 0xa1b23c4d : 0xa1b2c3d4);
        U16(2);
        U16(4);
        U32(0);
        U32(0);
        U32(uSnapLen);
        U32(1);
    }
    void Record(uint32_t uSec, uint32_t uFrac, const std::vector<uint8_t>& bytes, uint32_t uWire)
    {
        U32(uSec);
        U32(uFrac);
        U32(static_cast<uint32_t>(bytes.size()));
        U32(uWire);
        m_cs.append(bytes.begin(), bytes.end());
    }
    const std::string& Bytes() const { return m_cs; }

private:
    void U16(uint16_t u)
    {
        const char b[2] = { static_cast<char>(u), static_cast<char>(u >> 8) };
        m_bBig ? m_cs.append({ b[1], b[0] }) : m_cs.append(b, 2);
    }
    void U32(uint32_t u)
    {
        for (int i = 0; i < 4; ++i)
            m_cs += static_cast<char>(m_bBig ? u >> (24 - 8 * i) : u >> (8 * i));
    }
    bool m_bBig;
    std::string m_cs;
};

TEST(CaptureIndexTest, ByteOrdersAndResolutionsReadBack)
{
    struct SCase {
        const char* szName;
        bool bBig, bNano;
        const char* szTime1; // record 1's time relative to record 0
    };
    const SCase cases[] = {
        { "little-endian micro", false, false, "1.000250" },
        { "little-endian nano", false, true, "1.000000250" },
        { "big-endian micro", true, false, "1.000250" },
        { "big-endian nano", true, true, "1.000000250" },
    };
    CTempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        CByteCapture cap(c.bBig, c.bNano);
        const auto f0 = MakeTestFrame(60, 0), f1 = MakeTestFrame(100, 1);
        cap.Record(1000, 500, f0, 60);
        cap.Record(1001, 750, f1, 1514);
        cap.Record(1001, 750, {}, 0);
        WriteFile(dir.File("c.pcap"), cap.Bytes());

        CCaptureIndex index;
        ASSERT_TRUE(index.Open(dir.File("c.pcap"))) << index.Error();
        EXPECT_EQ(index.Step(), CCaptureIndex::EState::Done);
        EXPECT_EQ(index.Error(), "");
        ASSERT_EQ(index.Count(), 3u);
        EXPECT_EQ(index.NanoResolution(), c.bNano);
        EXPECT_EQ(index.LinkType(), kLinkEthernet);
        EXPECT_EQ(index.FirstTimeNs(), 1000 * 1000000000LL + 500 * (c.bNano ? 1 : 1000));
        SRecord rec;
        ASSERT_TRUE(index.Read(1, rec));
        EXPECT_EQ(rec.bytes, f1);
        EXPECT_EQ(rec.header.uCapLen, 100u);
        EXPECT_EQ(rec.header.uWireLen, 1514u);
        EXPECT_EQ(rec.header.llTimeNs, 1001 * 1000000000LL + 750 * (c.bNano ? 1 : 1000));
        ASSERT_TRUE(index.Read(0, rec));
        EXPECT_EQ(rec.bytes, f0);
        ASSERT_TRUE(index.Read(2, rec));
        EXPECT_TRUE(rec.bytes.empty());
        EXPECT_FALSE(index.Read(3, rec));

        const SRow row = DecodeRecord(index, 1);
        EXPECT_EQ(ColumnText(row, EColumn::Time), c.szTime1);
        EXPECT_EQ(ColumnText(row, EColumn::Length), "100 of 1514");
        EXPECT_EQ(row.csProtocol, "Local Experimental");
    }
}

// Files that are no capture, or stop being one part of the way through.
TEST(CaptureIndexTest, BadFilesGiveOneLineAndKeepTheRecordsBefore)
{
    const auto frame = MakeTestFrame(60, 7);
    struct SCase {
        const char* szName;
        std::function<void(CRawCaptureWriter&)> write;
        bool bOpens;
        uint64_t uCount;
        std::string csError;
    };
    auto TwoGood = [&frame](CRawCaptureWriter& w) {
        w.FileHeader();
        w.Record(frame, 60);
        w.Record(frame, 60);
    };
    const SCase cases[] = {
        { "empty", [](CRawCaptureWriter&) {}, false, 0, "The file is empty: it holds no capture." },
        { "text", [](CRawCaptureWriter& w) { w.Bytes("this is no capture file at all\n", 31); },
            false, 0, "The file is not a capture: it does not start like a pcap or pcapng file." },
        { "three bytes", [](CRawCaptureWriter& w) { w.Bytes("\xd4\xc3\xb2", 3); }, false, 0,
            "The file is not a capture: it does not start like a pcap or pcapng file." },
        { "pcapng cut in its section header",
            [](CRawCaptureWriter& w) {
                w.U32(0x0a0d0d0a);
                w.U32(28);
            },
            false, 0, "The capture is cut short: its section header has 8 of at least 28 bytes." },
        { "header cut",
            [](CRawCaptureWriter& w) {
                w.U32(0xa1b2c3d4);
                w.U32(0x00040002);
                w.U32(0);
            },
            false, 0, "The capture is cut short: its file header has 12 of 24 bytes." },
        { "version 1", [](CRawCaptureWriter& w) { w.FileHeader(65535, 0xa1b2c3d4, 1, 0); }, false,
            0, "The capture's format version 1.0 is not supported (only 2.x)." },
        { "no records", [](CRawCaptureWriter& w) { w.FileHeader(); }, true, 0, "" },
        { "record data cut",
            [&](CRawCaptureWriter& w) {
                TwoGood(w);
                w.RecordHeader(0, 0, 100, 100);
                w.Bytes(frame.data(), 10);
            },
            true, 2, "The capture is cut short: record 2 has 10 of its 100 bytes." },
        { "record header cut",
            [&](CRawCaptureWriter& w) {
                TwoGood(w);
                w.Bytes(frame.data(), 7);
            },
            true, 2, "The capture is cut short: record 2 has 7 of its 16 header bytes." },
        // A header that claims a little more than the file holds: the 16 bytes
        // of the header itself must not count as the record's bytes.
        { "record claims one byte more than is left",
            [&](CRawCaptureWriter& w) {
                TwoGood(w);
                w.RecordHeader(0, 0, 61, 61);
                w.Bytes(frame);
            },
            true, 2, "The capture is cut short: record 2 has 60 of its 61 bytes." },
        { "record claims 16 bytes more than are left",
            [&](CRawCaptureWriter& w) {
                TwoGood(w);
                w.RecordHeader(0, 0, 76, 76);
                w.Bytes(frame);
            },
            true, 2, "The capture is cut short: record 2 has 60 of its 76 bytes." },
        { "absurd length in the middle",
            [&](CRawCaptureWriter& w) {
                TwoGood(w);
                w.RecordHeader(0, 0, 262145, 262145);
                w.Bytes(std::vector<uint8_t>(262145, 0x11));
                w.Record(frame, 60);
            },
            true, 2,
            "The capture is damaged at record 2: it claims 262,145 captured bytes (at most "
            "262,144)." },
        { "largest record",
            [&](CRawCaptureWriter& w) {
                TwoGood(w);
                w.Record(std::vector<uint8_t>(262144, 0x22), 262144);
            },
            true, 3, "" },
    };
    CTempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        CRawCaptureWriter w;
        ASSERT_TRUE(w.Open(dir.File("bad.pcap")));
        c.write(w);
        ASSERT_TRUE(w.Close());
        CCaptureIndex index;
        ASSERT_EQ(index.Open(dir.File("bad.pcap")), c.bOpens) << index.Error();
        if (c.bOpens) {
            std::atomic<bool> bStop { false };
            const auto eWant
                = c.csError.empty() ? CCaptureIndex::EState::Done : CCaptureIndex::EState::Failed;
            EXPECT_EQ(index.Run(bStop), eWant);
            EXPECT_EQ(index.State(), eWant);
        } else {
            EXPECT_EQ(index.State(), CCaptureIndex::EState::Closed);
        }
        EXPECT_EQ(index.Count(), c.uCount);
        EXPECT_EQ(index.Error(), c.csError);
        SRecord rec;
        for (uint64_t i = 0; i < c.uCount && i < 2; ++i) {
            ASSERT_TRUE(index.Read(i, rec));
            EXPECT_EQ(rec.bytes, frame);
        }
        EXPECT_FALSE(index.Read(c.uCount, rec));
    }
}

TEST(CaptureIndexTest, PathsThatAreNoFile)
{
    CTempDir dir;
    struct SCase {
        std::string csPath;
        std::string csError;
    };
    const SCase cases[] = {
        { dir.File("nope.pcap"),
            "Cannot open " + dir.File("nope.pcap") + ": No such file or directory." },
        { dir.Path().string(), dir.Path().string() + " is not a file." },
        { "", "Cannot open : No such file or directory." },
    };
    for (const auto& c : cases) {
        CCaptureIndex index;
        EXPECT_FALSE(index.Open(c.csPath));
        EXPECT_EQ(index.Error(), c.csError);
        EXPECT_EQ(index.Count(), 0u);
        EXPECT_EQ(index.Step(), CCaptureIndex::EState::Closed);
    }
}

// What libpcap hands the replay: above the snapshot length the record is cut to it.
TEST(CaptureIndexTest, RecordsAboveTheSnapshotLengthAreCutToIt)
{
    struct SCase {
        uint32_t uSnapLen;
        size_t nRead;
        bool bBig = false;
    };
    const SCase cases[] = { { 50, 50 }, { 100, 100 }, { 1000, 100 }, { 0, 100 }, { 400000, 100 },
        // Read unswapped, 50 would be 0x32000000: far above any record.
        { 50, 50, true }, { 1000, 100, true } };
    CTempDir dir;
    const auto frame = MakeTestFrame(100, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.uSnapLen) + (c.bBig ? " big-endian" : ""));
        if (c.bBig) {
            CByteCapture cap(true, false, c.uSnapLen);
            cap.Record(0, 0, frame, 200);
            WriteFile(dir.File("s.pcap"), cap.Bytes());
        } else {
            CRawCaptureWriter w;
            ASSERT_TRUE(w.Open(dir.File("s.pcap")));
            w.FileHeader(c.uSnapLen);
            w.Record(frame, 200);
            ASSERT_TRUE(w.Close());
        }
        CCaptureIndex index;
        ASSERT_TRUE(index.Open(dir.File("s.pcap")));
        EXPECT_EQ(index.Step(), CCaptureIndex::EState::Done);
        SRecord rec;
        ASSERT_TRUE(index.Read(0, rec));
        EXPECT_EQ(rec.bytes,
            std::vector<uint8_t>(frame.begin(), frame.begin() + static_cast<long>(c.nRead)));
        EXPECT_EQ(rec.header.uWireLen, 200u);
    }
}

TEST(CaptureIndexTest, StepsPublishRecordsAsTheyGoAndRunStops)
{
    CTempDir dir;
    ASSERT_TRUE(WriteTestCapture(dir.File("t.pcap"), 5000, 60));
    {
        CCaptureIndex index;
        ASSERT_TRUE(index.Open(dir.File("t.pcap")));
        EXPECT_EQ(index.Step(3), CCaptureIndex::EState::Reading);
        EXPECT_EQ(index.Count(), 3u);
        EXPECT_EQ(index.BytesDone(), 24u + 3 * 76);
        EXPECT_EQ(index.Step(4997), CCaptureIndex::EState::Done);
        EXPECT_EQ(index.Count(), 5000u);
        EXPECT_EQ(index.BytesDone(), index.FileSize());
        EXPECT_EQ(index.Step(), CCaptureIndex::EState::Done);
    }
    {
        // Stopped from the progress report after the first step.
        CCaptureIndex index;
        ASSERT_TRUE(index.Open(dir.File("t.pcap")));
        std::atomic<bool> bStop { false };
        std::vector<uint64_t> reports;
        const auto e = index.Run(bStop, [&](uint64_t uRecords, uint64_t uDone, uint64_t uSize) {
            reports.push_back(uRecords);
            EXPECT_LE(uDone, uSize);
            bStop = true;
        });
        EXPECT_EQ(e, CCaptureIndex::EState::Stopped);
        EXPECT_EQ(index.Count(), 1024u);
        EXPECT_EQ(reports, std::vector<uint64_t>({ 1024, 1024 }));
        SRecord rec;
        ASSERT_TRUE(index.Read(1023, rec));
        EXPECT_EQ(rec.bytes, MakeTestFrame(60, 1023));
        EXPECT_EQ(index.Error(), "");
    }
}

// A window reads rows while a worker indexes: every row it can see reads back whole.
TEST(CaptureIndexTest, RowsReadWhileAnotherThreadIndexes)
{
    CTempDir dir;
    const uint64_t uRecords = 300000;
    ASSERT_TRUE(WriteTestCapture(dir.File("big.pcap"), uRecords, 60));
    CCaptureIndex index;
    ASSERT_TRUE(index.Open(dir.File("big.pcap")));
    std::atomic<bool> bStop { false };
    std::thread worker([&] { index.Run(bStop); });
    uint64_t uChecked = 0;
    SRecord rec;
    while (index.State() == CCaptureIndex::EState::Reading || uChecked == 0) {
        const uint64_t uCount = index.Count();
        if (uCount == 0)
            continue;
        ASSERT_TRUE(index.Read(uCount - 1, rec));
        ASSERT_EQ(rec.bytes, MakeTestFrame(60, static_cast<uint32_t>(uCount - 1)));
        ++uChecked;
    }
    worker.join();
    EXPECT_EQ(index.State(), CCaptureIndex::EState::Done);
    EXPECT_EQ(index.Count(), uRecords);
    ASSERT_TRUE(index.Read(uRecords - 1, rec));
    EXPECT_EQ(rec.bytes, MakeTestFrame(60, static_cast<uint32_t>(uRecords - 1)));
    // Offsets only: 8 bytes a record, in blocks of 65,536.
    EXPECT_LE(index.IndexBytes(), uRecords * 16);
}

// Rows the decoder cannot or may not decode still come back as rows.
TEST(CaptureIndexTest, OtherLinkTypesAndFilesCutAfterIndexingGiveRows)
{
    CTempDir dir;
    const auto frame = MakeTestFrame(60, 1);
    {
        CRawCaptureWriter w;
        ASSERT_TRUE(w.Open(dir.File("raw.pcap")));
        w.FileHeader(65535, CRawCaptureWriter::kMagicMicro, 2, 4, 105);
        w.Record(frame, 60);
        ASSERT_TRUE(w.Close());
        CCaptureIndex index;
        ASSERT_TRUE(index.Open(dir.File("raw.pcap")));
        EXPECT_EQ(index.Step(), CCaptureIndex::EState::Done);
        EXPECT_EQ(index.LinkType(), 105u);
        const SRow row = DecodeRecord(index, 0);
        EXPECT_EQ(row.csProtocol, "link type 105");
        EXPECT_FALSE(row.bMalformed);
    }
    {
        ASSERT_TRUE(WriteTestCapture(dir.File("cut.pcap"), 10, 60));
        CCaptureIndex index;
        ASSERT_TRUE(index.Open(dir.File("cut.pcap")));
        EXPECT_EQ(index.Step(), CCaptureIndex::EState::Done);
        // Another program cuts the file while the list shows it.
        std::filesystem::resize_file(dir.File("cut.pcap"), 24 + 5 * 76 + 20);
        std::vector<SField> tree = { SField {} };
        std::vector<uint8_t> bytes = { 1 };
        EXPECT_EQ(DecodeRecord(index, 4, &tree, &bytes).csProtocol, "Local Experimental");
        const SRow row = DecodeRecord(index, 5, &tree, &bytes);
        EXPECT_TRUE(row.bMalformed);
        EXPECT_EQ(row.uNumber, 5u);
        EXPECT_EQ(row.csInfo,
            "the record cannot be read: the file changed since it was opened [malformed]");
        EXPECT_TRUE(tree.empty());
        EXPECT_TRUE(bytes.empty());
        EXPECT_TRUE(DecodeRecord(index, 9).bMalformed);
    }
}

// The committed samples, as the packet list shows them.
TEST(CaptureIndexTest, SamplesReadAsABacnetEngineerExpects)
{
    struct SCase {
        const char* szFile;
        std::vector<std::string> infos;
    };
    const SCase cases[] = {
        { "bacnet-sample.pcap",
            { "who-Is", "i-Am device,1234", "readProperty[ 1] analog-input,1 present-value",
                "readProperty-ACK[ 1] analog-input,1 present-value = 21.5" } },
        { "bacnet-ip-sample.pcap",
            { "who-Is", "i-Am device,1234", "readProperty[ 5] analog-input,1 present-value",
                "readProperty-ACK[ 5] analog-input,1 present-value = 21.5",
                "writeProperty[ 6] analog-value,2 present-value = 50.0 priority 8",
                "SimpleACK[ 6] writeProperty", "readProperty[ 7] analog-input,99 present-value",
                "Error[ 7] readProperty object: unknown-object" } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szFile);
        CCaptureIndex index;
        ASSERT_TRUE(index.Open(std::string(VELMORA_SAMPLES_DIR "/") + c.szFile)) << index.Error();
        EXPECT_EQ(index.Step(), CCaptureIndex::EState::Done);
        std::vector<std::string> infos;
        for (uint64_t i = 0; i < index.Count(); ++i) {
            const SRow row = DecodeRecord(index, i);
            EXPECT_FALSE(row.bMalformed) << i;
            infos.push_back(row.csInfo);
        }
        EXPECT_EQ(infos, c.infos);
    }
}

} // namespace
