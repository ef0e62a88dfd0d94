#include "NetNs.h"
#include "TestSupport.h"
#include "tools/CaptureWriter.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

using namespace velmora;

using namespace vtest;

namespace {

struct ReadRecord {
    uint32_t uCapLen;
    uint32_t uWireLen;
    long lSec;
    long lUsec;
    std::vector<uint8_t> bytes;
};

// Everything libpcap's reader makes of a file; rc is the last pcap_next_ex result.
std::vector<ReadRecord> ReadBack(
    const std::string& csPath, int* pSnapLen = nullptr, int* pRc = nullptr)
{
    std::vector<ReadRecord> records;
    char szErr[PCAP_ERRBUF_SIZE] = "";
    pcap_t* h = pcap_open_offline(csPath.c_str(), szErr);
    EXPECT_NE(h, nullptr) << szErr;
    if (!h)
        return records;
    if (pSnapLen)
        *pSnapLen = pcap_snapshot(h);
    EXPECT_EQ(pcap_datalink(h), DLT_EN10MB);
    pcap_pkthdr* pHeader = nullptr;
    const u_char* pData = nullptr;
    int rc;
    while ((rc = pcap_next_ex(h, &pHeader, &pData)) == 1)
        records.push_back({ pHeader->caplen, pHeader->len, static_cast<long>(pHeader->ts.tv_sec),
            static_cast<long>(pHeader->ts.tv_usec),
            std::vector<uint8_t>(pData, pData + pHeader->caplen) });
    if (pRc)
        *pRc = rc;
    pcap_close(h);
    return records;
}

TEST(CaptureWriterTest, RecordsComeBackAsWritten)
{
    CTempDir dir;
    const std::string csPath = dir.File("w.pcap");
    const auto big = MakeTestFrame(70000, 3);
    const auto small = MakeTestFrame(60, 4);
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(csPath));
    EXPECT_TRUE(writer.Write(nullptr, 0, 0, 1, 2));
    EXPECT_TRUE(writer.Write(big, 3, 999999));
    EXPECT_TRUE(writer.Write(small.data(), 40, 60, 0x7fffffff, 5)); // cut short
    EXPECT_TRUE(writer.Write(small.data(), 60, 20, 6, 7)); // longer than on the wire
    EXPECT_EQ(writer.RecordCount(), 4u);
    ASSERT_TRUE(writer.Close());

    int iSnap = 0;
    const auto records = ReadBack(csPath, &iSnap);
    EXPECT_EQ(iSnap, static_cast<int>(kMaxPcapSnapLen));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].uCapLen, 0u);
    EXPECT_EQ(records[0].lSec, 1);
    EXPECT_EQ(records[0].lUsec, 2);
    EXPECT_EQ(records[1].bytes, big);
    EXPECT_EQ(records[1].lUsec, 999999);
    EXPECT_EQ(records[2].uCapLen, 40u);
    EXPECT_EQ(records[2].uWireLen, 60u);
    EXPECT_EQ(records[2].lSec, 0x7fffffff);
    EXPECT_TRUE(std::equal(records[2].bytes.begin(), records[2].bytes.end(), small.begin()));
    EXPECT_EQ(records[3].uCapLen, 60u);
    EXPECT_EQ(records[3].uWireLen, 20u);
}

TEST(CaptureWriterTest, ManyRecordsHaveTheExactFileSize)
{
    CTempDir dir;
    const std::string csPath = dir.File("many.pcap");
    std::string csError;
    ASSERT_TRUE(WriteTestCapture(csPath, 200000, 60, 0, &csError)) << csError;
    EXPECT_EQ(std::filesystem::file_size(csPath), 24u + 200000u * (16u + 60u));
    const auto records = ReadBack(csPath);
    ASSERT_EQ(records.size(), 200000u);
    EXPECT_EQ(records[123456].bytes, MakeTestFrame(60, 123456));
    EXPECT_EQ(records[199999].lUsec, 199999);
}

TEST(CaptureWriterTest, FailuresAreReported)
{
    CCaptureWriter writer;
    EXPECT_FALSE(writer.Open("/nonexistent-folder/x.pcap"));
    EXPECT_FALSE(writer.Error().empty());
    EXPECT_FALSE(writer.Write(MakeTestFrame(60, 0)));
    if (std::filesystem::exists("/dev/full")) {
        ASSERT_TRUE(writer.Open("/dev/full"));
        for (int i = 0; i < 100; ++i)
            writer.Write(MakeTestFrame(60000, 0));
        EXPECT_FALSE(writer.Close());
        EXPECT_FALSE(writer.Error().empty());
    }
}

TEST(CaptureWriterTest, RawWriterMakesWhatLibpcapWouldNot)
{
    CTempDir dir;
    const std::string csPath = dir.File("raw.pcap");
    const auto frame = MakeTestFrame(100, 1);
    CRawCaptureWriter raw;
    ASSERT_TRUE(raw.Open(csPath));
    raw.FileHeader(64);
    raw.Record(frame, 100, 9, 10); // above the snapshot length
    raw.RecordHeader(0, 0, 50, 50);
    raw.Bytes(frame.data(), 7); // cut off by the end of the file
    ASSERT_TRUE(raw.Close());
    EXPECT_EQ(std::filesystem::file_size(csPath), 24u + 16u + 100u + 16u + 7u);

    int iSnap = 0;
    int rc = 0;
    const auto records = ReadBack(csPath, &iSnap, &rc);
    EXPECT_EQ(iSnap, 64);
    ASSERT_EQ(records.size(), 1u);
    // The reader cuts a record at the file's snapshot length itself.
    EXPECT_EQ(records[0].uCapLen, 64u);
    EXPECT_EQ(records[0].uWireLen, 100u);
    EXPECT_EQ(rc, -1);
}

TEST(CaptureWriterTest, TestFramesCarryTheirSequenceBehindOurAddresses)
{
    const auto f = MakeTestFrame(64, 0x01020304);
    ASSERT_EQ(f.size(), 64u);
    EXPECT_EQ(0, std::memcmp(f.data() + 6, kTestSourceMac, 6));
    EXPECT_EQ(f[12], 0x88);
    EXPECT_EQ(f[13], 0xb5);
    EXPECT_EQ(
        std::vector<uint8_t>(f.begin() + 14, f.begin() + 18), std::vector<uint8_t>({ 1, 2, 3, 4 }));
    EXPECT_NE(MakeTestFrame(64, 1), MakeTestFrame(64, 2));
    EXPECT_EQ(MakeTestFrame(3, 9), std::vector<uint8_t>(f.begin(), f.begin() + 3));
    EXPECT_TRUE(MakeTestFrame(0, 9).empty());
}

// Reads a BACnet frame: 802.3 length, LLC, then NPDU and APDU.
struct BacnetFrame {
    std::vector<uint8_t> dest;
    std::vector<uint8_t> npdu;
    std::vector<uint8_t> apdu;
};

BacnetFrame Parse(const std::vector<uint8_t>& f)
{
    BacnetFrame b;
    EXPECT_EQ(f.size(), 60u);
    const size_t nLength = static_cast<size_t>(f[12] << 8 | f[13]);
    EXPECT_LE(14 + nLength, f.size());
    EXPECT_LT(nLength, 1536u); // a length, not an EtherType
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 14, f.begin() + 17),
        std::vector<uint8_t>({ 0x82, 0x82, 0x03 }));
    b.dest.assign(f.begin(), f.begin() + 6);
    EXPECT_EQ(f[17], 0x01); // NPDU version
    const size_t nNpdu = (f[18] & 0x20) ? 6 : 2; // with DNET, DLEN 0 and hop count
    b.npdu.assign(f.begin() + 17, f.begin() + 17 + static_cast<long>(nNpdu));
    b.apdu.assign(
        f.begin() + 17 + static_cast<long>(nNpdu), f.begin() + 14 + static_cast<long>(nLength));
    // The padding is zeros.
    for (size_t i = 14 + nLength; i < f.size(); ++i)
        EXPECT_EQ(f[i], 0) << i;
    return b;
}

TEST(BacnetSampleTest, FramesAreWhoIsIAmReadPropertyAndItsAck)
{
    const auto frames = MakeBacnetSampleFrames();
    ASSERT_EQ(frames.size(), 4u);
    const std::vector<uint8_t> broadcast(6, 0xff);

    const BacnetFrame whoIs = Parse(frames[0]);
    EXPECT_EQ(whoIs.dest, broadcast);
    EXPECT_EQ(whoIs.apdu, std::vector<uint8_t>({ 0x10, 0x08 }));

    const BacnetFrame iAm = Parse(frames[1]);
    ASSERT_GE(iAm.apdu.size(), 7u);
    EXPECT_EQ(iAm.apdu[0], 0x10);
    EXPECT_EQ(iAm.apdu[1], 0x00);
    EXPECT_EQ(iAm.apdu[2], 0xc4); // application tag 12, object identifier
    const uint32_t uObject = static_cast<uint32_t>(iAm.apdu[3]) << 24 | iAm.apdu[4] << 16
        | iAm.apdu[5] << 8 | iAm.apdu[6];
    EXPECT_EQ(uObject >> 22, 8u); // device
    EXPECT_EQ(uObject & 0x3fffff, 1234u);

    const BacnetFrame request = Parse(frames[2]);
    EXPECT_EQ(request.npdu, std::vector<uint8_t>({ 0x01, 0x04 })); // expects a reply
    EXPECT_EQ(request.dest, std::vector<uint8_t>(frames[1].begin() + 6, frames[1].begin() + 12));
    ASSERT_EQ(request.apdu.size(), 11u);
    EXPECT_EQ(request.apdu[0] >> 4, 0); // confirmed request
    EXPECT_EQ(request.apdu[3], 12); // readProperty
    EXPECT_EQ(std::vector<uint8_t>(request.apdu.begin() + 4, request.apdu.end()),
        std::vector<uint8_t>({ 0x0c, 0x00, 0x00, 0x00, 0x01, 0x19, 85 }));

    const BacnetFrame ack = Parse(frames[3]);
    EXPECT_EQ(ack.dest, std::vector<uint8_t>(frames[2].begin() + 6, frames[2].begin() + 12));
    ASSERT_EQ(ack.apdu.size(), 17u);
    EXPECT_EQ(ack.apdu[0] >> 4, 3); // complex ACK
    EXPECT_EQ(ack.apdu[1], request.apdu[2]); // same invoke id
    EXPECT_EQ(ack.apdu[2], 12);
    EXPECT_EQ(ack.apdu[10], 0x3e);
    EXPECT_EQ(ack.apdu[11], 0x44); // REAL
    float f = 0;
    const uint32_t uBits = static_cast<uint32_t>(ack.apdu[12]) << 24 | ack.apdu[13] << 16
        | ack.apdu[14] << 8 | ack.apdu[15];
    std::memcpy(&f, &uBits, 4);
    EXPECT_FLOAT_EQ(f, 21.5f);
    EXPECT_EQ(ack.apdu[16], 0x3f);
}

TEST(BacnetSampleTest, CommittedSampleIsWhatTheGeneratorWrites)
{
    CTempDir dir;
    ASSERT_TRUE(WriteBacnetSample(dir.File("s.pcap")));
    const std::string csCommitted = ReadFile(VELMORA_SAMPLES_DIR "/bacnet-sample.pcap");
    ASSERT_FALSE(csCommitted.empty());
    EXPECT_EQ(csCommitted, ReadFile(dir.File("s.pcap")));
    const auto records = ReadBack(VELMORA_SAMPLES_DIR "/bacnet-sample.pcap");
    ASSERT_EQ(records.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(records[i].bytes, MakeBacnetSampleFrames()[i]);
}

TEST(BacnetSampleTest, CommittedIpSampleIsWhatTheGeneratorWrites)
{
    CTempDir dir;
    ASSERT_TRUE(WriteBacnetIpSample(dir.File("s.pcap")));
    const std::string csCommitted = ReadFile(VELMORA_SAMPLES_DIR "/bacnet-ip-sample.pcap");
    ASSERT_FALSE(csCommitted.empty());
    EXPECT_EQ(csCommitted, ReadFile(dir.File("s.pcap")));
    const auto frames = MakeBacnetIpSampleFrames();
    const auto records = ReadBack(VELMORA_SAMPLES_DIR "/bacnet-ip-sample.pcap");
    ASSERT_EQ(records.size(), 8u);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].bytes, frames[i]) << i;
        // Ethernet II, IPv4, UDP 47808 to 47808, BVLC 0x81: what makes it BACnet/IP.
        ASSERT_GE(frames[i].size(), 46u);
        EXPECT_EQ(frames[i][12] << 8 | frames[i][13], 0x0800) << i;
        EXPECT_EQ(frames[i][23], 17) << i;
        EXPECT_EQ(frames[i][34] << 8 | frames[i][35], 47808) << i;
        EXPECT_EQ(frames[i][36] << 8 | frames[i][37], 47808) << i;
        EXPECT_EQ(frames[i][42], 0x81) << i;
    }
}

TEST(MakePcapToolTest, WritesTheAskedRecordsAndRefusesNonsense)
{
    CTempDir dir;
    const std::string csTool = VELMORA_MKPCAP;
    ASSERT_EQ(Shell(csTool + " --count 3 --size 100 --wire-len 200 " + dir.File("t.pcap")), 0);
    const auto records = ReadBack(dir.File("t.pcap"));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].bytes, MakeTestFrame(100, 2));
    EXPECT_EQ(records[2].uWireLen, 200u);
    ASSERT_EQ(Shell(csTool + " --bacnet " + dir.File("b.pcap")), 0);
    EXPECT_EQ(ReadBack(dir.File("b.pcap")).size(), 4u);
    ASSERT_EQ(Shell(csTool + " --bacnet-ip " + dir.File("ip.pcap")), 0);
    EXPECT_EQ(
        ReadFile(dir.File("ip.pcap")), ReadFile(VELMORA_SAMPLES_DIR "/bacnet-ip-sample.pcap"));
    EXPECT_EQ(Shell(csTool + " --size 262145 " + dir.File("x.pcap")), 2);
    EXPECT_EQ(Shell(csTool + " --count -1 " + dir.File("x.pcap")), 2);
    EXPECT_EQ(Shell(csTool), 2);
    EXPECT_EQ(Shell(csTool + " --count 1 /nonexistent-folder/x.pcap"), 1);
}

} // namespace
