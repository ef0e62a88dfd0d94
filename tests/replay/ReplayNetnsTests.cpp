// Replays onto a veth pair inside a network namespace of our own and captures
// what arrives on the peer.

#include "Log.h"
#include "NetNs.h"
#include "PeerCapture.h"
#include "ReplayFakes.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <thread>

using namespace vtest;
using Strings = std::vector<std::string>;

namespace {

class ReplayNetnsTest : public ::testing::Test, public CReplayFixtureBase {
protected:
    void SetUp() override
    {
        VTEST_REQUIRE_NETNS(m_ns);
        m_pEnter = std::make_unique<CEnterNetns>(m_ns);
        ASSERT_TRUE(m_pEnter->Ok());
        StartPeer(2048);
    }
    void TearDown() override
    {
        m_pPeer.reset();
        m_pEnter.reset();
    }
    void StartPeer(int iSnapLen)
    {
        m_pPeer = std::make_unique<CPeerCapture>(CNetns::PeerIf(), iSnapLen);
        ASSERT_TRUE(m_pPeer->Ok());
    }
    void Send(const std::string& csPath, int iMode, int iOffset = 0,
        const std::string& csDevice = CNetns::SendIf())
    {
        m_window.csPath = csPath;
        m_window.iMode = iMode;
        m_window.iOffset = iOffset;
        OnSendReplay(m_window, csDevice);
    }
    Strings BoxTexts() const
    {
        Strings texts;
        for (const auto& shown : m_box.shown)
            texts.push_back(shown.csText);
        return texts;
    }

    CNetns m_ns { "replay" };
    std::unique_ptr<CEnterNetns> m_pEnter;
    std::unique_ptr<CPeerCapture> m_pPeer;
    CFakeWindow m_window;
};

TEST_F(ReplayNetnsTest, SingleModePutsExactlyTheChosenRecordOnTheWire)
{
    const Frames frames = WriteFrames(File("c.pcap"), { 60, 61, 62 });
    const int iDescriptors = OpenDescriptorCount();
    Send(File("c.pcap"), 0, 0);
    WaitForAdapterClose();
    EXPECT_EQ(OpenDescriptorCount(), iDescriptors); // adapter and capture closed again
    EXPECT_EQ(m_pPeer->Collect(2, 500), Frames({ frames[0] }));
    Send(File("c.pcap"), 0, 2);
    EXPECT_EQ(m_pPeer->Collect(2, 500), Frames({ frames[2] }));
    EXPECT_EQ(BoxTexts(), Strings({ "1 Packets have been sent", "1 Packets have been sent" }));
    EXPECT_EQ(m_window.statusTexts, Strings({ "1 packets sent", "1 packets sent" }));

    // At or beyond the end: nothing goes out, the status keeps its text.
    Send(File("c.pcap"), 0, 3);
    Send(File("c.pcap"), 0, 100);
    EXPECT_TRUE(m_pPeer->Collect(1, 300).empty());
    EXPECT_EQ(m_box.shown.back().csText, "0 Packets have been sent");
    EXPECT_EQ(m_window.statusTexts.size(), 2u);
}

TEST_F(ReplayNetnsTest, AllModeDeliversEveryRecordByteForByteInFileOrder)
{
    // 3 and 5 bytes are never handed over; 10 bytes are refused by the kernel.
    const Frames frames = WriteFrames(File("c.pcap"), { 60, 3, 14, 1514, 5, 10, 100, 42 });
    Send(File("c.pcap"), 1, 5);
    EXPECT_EQ(
        m_pPeer->Collect(6), Frames({ frames[0], frames[2], frames[3], frames[6], frames[7] }));
    EXPECT_EQ(BoxTexts(), Strings({ "8 Packets have been sent" }));
    EXPECT_EQ(m_window.statusTexts.back(), "8 packets sent");
    const Strings texts = DebugTexts();
    ASSERT_EQ(texts.size(), 1u + 8u + 1u + 2u);
    EXPECT_EQ(texts[6], "[005]  1005:50 (10)");
    EXPECT_EQ(texts[7].rfind("Err. Can not send BACnet Eth packet iPacketSize=[10] Error=[", 0), 0u)
        << texts[7];
    EXPECT_EQ(texts[8], "[006]  1006:60 (100)");
}

TEST_F(ReplayNetnsTest, RecordCutShortInTheFileGoesOutWithTheCapturedLength)
{
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(File("c.pcap"), 96));
    const auto frame = MakeTestFrame(96, 5);
    writer.Write(frame.data(), 96, 1514, 1, 2);
    ASSERT_TRUE(writer.Close());
    Send(File("c.pcap"), 1);
    EXPECT_EQ(m_pPeer->Collect(2, 500), Frames({ frame }));
    EXPECT_EQ(DebugTexts()[1], "[000]  1:2 (1514)");
}

TEST_F(ReplayNetnsTest, EmptyCaptureSendsNothing)
{
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(File("empty.pcap")));
    ASSERT_TRUE(writer.Close());
    const long long llBefore = m_ns.RxPackets(CNetns::PeerIf());
    Send(File("empty.pcap"), 1);
    EXPECT_EQ(BoxTexts(), Strings({ "0 Packets have been sent" }));
    EXPECT_TRUE(m_window.statusTexts.empty());
    EXPECT_TRUE(m_pPeer->Collect(1, 300).empty());
    EXPECT_EQ(m_ns.RxPackets(CNetns::PeerIf()), llBefore);
}

TEST_F(ReplayNetnsTest, FailedSendsLeaveExactlyTheirRecordsAndNothingElse)
{
    WriteFrames(File("c.pcap"), { 60 });
    WriteFile(File("notes.txt"), "not a capture\n");
    ASSERT_EQ(mkfifo(File("fifo").c_str(), 0600), 0);
    struct Case {
        std::string csPath;
        std::string csDevice;
        Strings records;
    };
    const std::vector<Case> cases = {
        { File("missing.pcap"), "vm0",
            { "Error. Could not open file=[" + File("missing.pcap") + "]" } },
        { File("c.pcap"), "nosuchdev",
            { "Err #849. pcap_open() csSelectedDeviceName=[nosuchdev] errbuf=[nosuchdev: No such "
              "device exists (No such device exists)] ",
                "Error. Could not open send device" } },
        { File("c.pcap"), "",
            { "Err #849. pcap_open() csSelectedDeviceName=[] errbuf=[: No such device exists (No "
              "such device exists)] ",
                "Error. Could not open send device" } },
        { File("notes.txt"), "vm0",
            { "OpenLocalDevice File=[" + File("notes.txt") + "]",
                "Error. Unable to open the file " + File("notes.txt") + ".",
                "Error. Could not open local device" } },
        { File("fifo"), "vm0",
            { "OpenLocalDevice File=[" + File("fifo") + "]",
                "Error. Unable to open the file " + File("fifo") + ".",
                "Error. Could not open local device" } },
    };
    for (const Case& c : cases) {
        ResetDebugLogFile();
        const auto start = std::chrono::steady_clock::now();
        Send(c.csPath, 1, 0, c.csDevice);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(DebugTexts(), c.records) << c.csPath << " " << c.csDevice;
    }
    EXPECT_TRUE(m_box.shown.empty());
    EXPECT_TRUE(m_window.enableCalls.empty());
    EXPECT_TRUE(m_window.statusTexts.empty());
    EXPECT_EQ(MessageLogBytes(), "");
    EXPECT_TRUE(m_pPeer->Collect(1, 300).empty());

    g_bDebug = false;
    ResetDebugLogFile();
    for (const Case& c : cases)
        Send(c.csPath, 1, 0, c.csDevice);
    EXPECT_EQ(DebugLogBytes(), "");
    EXPECT_EQ(MessageLogBytes(), "");
}

TEST_F(ReplayNetnsTest, OversizeRecordsGoOutCutToTheSendBuffer)
{
    const Frames frames = WriteFrames(File("big.pcap"), { 1600, 70000, 60 });
    // Above the MTU the kernel refuses the frame; the record is still counted.
    Send(File("big.pcap"), 1);
    EXPECT_EQ(m_pPeer->Collect(3, 500), Frames({ frames[2] }));
    EXPECT_EQ(BoxTexts(), Strings({ "3 Packets have been sent" }));
    const Strings texts = DebugTexts();
    ASSERT_GE(texts.size(), 6u);
    EXPECT_EQ(
        texts[2].rfind("Err. Can not send BACnet Eth packet iPacketSize=[1600] Error=[", 0), 0u);
    EXPECT_EQ(texts[3], "[001]  1001:10 (70000)");
    EXPECT_EQ(
        texts[4].rfind("Err. Can not send BACnet Eth packet iPacketSize=[65536] Error=[", 0), 0u);

    // With the largest MTU the cut frame itself reaches the peer.
    const std::string n = "ip -n " + m_ns.Name() + " link set ";
    ASSERT_EQ(Shell(n + "vm0 mtu 65535"), 0);
    ASSERT_EQ(Shell(n + "vm1 mtu 65535"), 0);
    StartPeer(262144);
    Send(File("big.pcap"), 0, 1);
    const Frames got = m_pPeer->Collect(2, 500);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].size(), kSendBufferSize);
    EXPECT_TRUE(std::equal(got[0].begin(), got[0].end(), frames[1].begin()));
}

TEST_F(ReplayNetnsTest, BacnetSampleReplaysAsCommitted)
{
    const std::string csSample = VELMORA_SAMPLES_DIR "/bacnet-sample.pcap";
    Send(csSample, 1);
    EXPECT_EQ(m_pPeer->Collect(5, 1000), MakeBacnetSampleFrames());
    EXPECT_EQ(BoxTexts(), Strings({ "4 Packets have been sent" }));
}

} // namespace
