// Replays onto a veth pair inside a network namespace of our own and captures
// what arrives on the peer.

#include "NetNs.h"
#include "PeerCapture.h"
#include "ReplayFakes.h"
#include "log/Log.h"
#include "replay/SendSocket.h"

#include <chrono>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <memory>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace velmora;

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
        SendReplay(m_window, csDevice);
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

    // At or beyond the end: nothing goes out, and the status says why.
    Send(File("c.pcap"), 0, 3);
    Send(File("c.pcap"), 0, 100);
    EXPECT_TRUE(m_pPeer->Collect(1, 300).empty());
    EXPECT_EQ(m_box.shown.back().csText, "0 Packets have been sent");
    EXPECT_EQ(m_window.statusTexts,
        Strings(
            { "1 packets sent", "1 packets sent", "Not sent: offset 3 is past the last record (2)",
                "Not sent: offset 100 is past the last record (2)" }));
}

TEST_F(ReplayNetnsTest, AllModeDeliversEveryRecordByteForByteInFileOrder)
{
    // 3 and 5 bytes are never handed over; 10 bytes are refused by the kernel.
    const Frames frames = WriteFrames(File("c.pcap"), { 60, 3, 14, 1514, 5, 10, 100, 42 });
    Send(File("c.pcap"), 1, 5);
    EXPECT_EQ(
        m_pPeer->Collect(6), Frames({ frames[0], frames[2], frames[3], frames[6], frames[7] }));
    EXPECT_EQ(BoxTexts(), Strings({ "8 Packets have been sent" }));
    EXPECT_EQ(m_window.statusTexts.back(), "5 packets sent, 3 refused (see Debuglog.txt)");
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
        std::string csStatus;
    };
    const std::vector<Case> cases = {
        { File("missing.pcap"), "vm0",
            { "Error. Could not open file=[" + File("missing.pcap") + "]" },
            "Not sent: " + File("missing.pcap") + " does not exist" },
        { File("c.pcap"), "nosuchdev",
            { "Err #849. pcap_open() csSelectedDeviceName=[nosuchdev] errbuf=[nosuchdev: No such "
              "device exists (No such device exists)] ",
                "Error. Could not open send device" },
            "Not sent: adapter nosuchdev is gone (pick one under Device)" },
        { File("c.pcap"), "",
            { "Err #849. pcap_open() csSelectedDeviceName=[] errbuf=[: No such device exists (No "
              "such device exists)] ",
                "Error. Could not open send device" },
            "Not sent: no adapter chosen (pick one under Device)" },
        { File("notes.txt"), "vm0",
            { "OpenLocalDevice File=[" + File("notes.txt") + "]",
                "Error. Unable to open the file " + File("notes.txt") + ".",
                "Error. Could not open local device" },
            "Not sent: notes.txt is not a capture file" },
        { File("fifo"), "vm0",
            { "OpenLocalDevice File=[" + File("fifo") + "]",
                "Error. Unable to open the file " + File("fifo") + ".",
                "Error. Could not open local device" },
            "Not sent: fifo is not a capture file" },
    };
    for (const Case& c : cases) {
        ResetDebugLogFile();
        m_window.statusTexts.clear();
        const auto start = std::chrono::steady_clock::now();
        Send(c.csPath, 1, 0, c.csDevice);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(DebugTexts(), c.records) << c.csPath << " " << c.csDevice;
        EXPECT_EQ(m_window.statusTexts, Strings({ c.csStatus }));
    }
    EXPECT_TRUE(m_box.shown.empty());
    EXPECT_TRUE(m_window.enableCalls.empty());
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

TEST_F(ReplayNetnsTest, FramesAboveASmallMtuAreRefusedAndTheStatusSaysHowMany)
{
    // Twenty records; two are longer than the sender's MTU of 576 allows.
    std::vector<uint32_t> sizes(20, 100);
    sizes[5] = sizes[13] = 1000;
    const Frames frames = WriteFrames(File("c.pcap"), sizes);
    Frames fitting;
    for (size_t i = 0; i < frames.size(); ++i)
        if (sizes[i] == 100)
            fitting.push_back(frames[i]);
    ASSERT_EQ(Shell("ip -n " + m_ns.Name() + " link set vm0 mtu 576"), 0);
    for (const bool bDebug : { true, false }) {
        SCOPED_TRACE(bDebug ? "debug on" : "debug off");
        g_bDebug = bDebug;
        ResetDebugLogFile();
        m_box.shown.clear();
        m_window.statusTexts.clear();
        Send(File("c.pcap"), 1);
        EXPECT_EQ(m_pPeer->Collect(19, 500), fitting);
        // The box keeps counting records handled; the status line tells them apart.
        EXPECT_EQ(BoxTexts(), Strings({ "20 Packets have been sent" }));
        ASSERT_FALSE(m_window.statusTexts.empty());
        EXPECT_EQ(m_window.statusTexts.back(),
            bDebug ? "18 packets sent, 2 refused (see Debuglog.txt)"
                   : "18 packets sent, 2 refused");
        int iRefusals = 0;
        for (const std::string& cs : DebugTexts())
            iRefusals
                += cs.rfind("Err. Can not send BACnet Eth packet iPacketSize=[1000] Error=[", 0)
                == 0;
        EXPECT_EQ(iRefusals, bDebug ? 2 : 0);
    }
}

// libpcap's own reasons, sorted into kinds a user can act on; the error text
// stays the one pcap_open_live gives.
TEST_F(ReplayNetnsTest, AnAdapterThatCannotBeOpenedSaysWhichKindOfFailure)
{
    ASSERT_TRUE(m_ns.AddVethPair("va", "vb"));
    ASSERT_EQ(Shell("ip -n " + m_ns.Name() + " link set vb down"), 0);
    struct Row {
        const char* szDevice;
        ESendOpenError eError;
    };
    const std::vector<Row> rows = {
        { "vm0", ESendOpenError::None },
        { "lo", ESendOpenError::None },
        { "nosuchdev", ESendOpenError::NoSuchDevice },
        { "", ESendOpenError::NoSuchDevice },
        { "vb", ESendOpenError::NotUp },
        { "any", ESendOpenError::NotEthernet },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szDevice);
        CSocketSink sink;
        std::string csError;
        EXPECT_EQ(sink.Open(row.szDevice, csError), row.eError == ESendOpenError::None);
        EXPECT_EQ(sink.OpenError(), row.eError);
        EXPECT_EQ(sink.IsOpen(), row.eError == ESendOpenError::None);
        char szErrBuf[PCAP_ERRBUF_SIZE] = "";
        pcap_t* h = pcap_open_live(row.szDevice, 65536, 1, 1000, szErrBuf);
        if (row.eError == ESendOpenError::NotEthernet) {
            ASSERT_NE(h, nullptr) << szErrBuf;
            EXPECT_EQ(csError,
                std::string(row.szDevice)
                    + ": EN10MB is not one of the DLTs supported by this device");
        } else if (row.eError != ESendOpenError::None) {
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(csError, szErrBuf);
        }
        if (h)
            pcap_close(h);
        sink.Close();
    }
    WaitForAdapterClose();

    // Through a whole Send, the down adapter gives its sentence.
    WriteFrames(File("c.pcap"), { 60 });
    Send(File("c.pcap"), 1, 0, "vb");
    EXPECT_EQ(m_window.statusTexts, Strings({ "Not sent: adapter vb is down" }));
    EXPECT_EQ(DebugTexts(),
        Strings(
            { "Err #849. pcap_open() csSelectedDeviceName=[vb] errbuf=[vb: That device is not up] ",
                "Error. Could not open send device" }));
}

// Capabilities belong to a thread: one that gives up its effective ones sends
// as an ordinary user would.
bool DropEffectiveCapabilities()
{
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct data[2] {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[0].effective = 0;
    data[1].effective = 0;
    return syscall(SYS_capset, &header, data) == 0;
}

TEST_F(ReplayNetnsTest, SendWithoutThePrivilegeSaysSoOnTheStatusLine)
{
    WriteFrames(File("c.pcap"), { 60 });
    m_window.csPath = File("c.pcap");
    m_window.iMode = 1;
    bool bDropped = false;
    SReplayResult result;
    std::thread([&] {
        bDropped = DropEffectiveCapabilities();
        if (bDropped)
            result = SendReplay(m_window, "vm0");
    }).join();
    ASSERT_TRUE(bDropped);
    EXPECT_EQ(result.eNotSent, ENotSent::NoAdapter);
    EXPECT_EQ(result.eOpenError, ESendOpenError::NoPermission);
    EXPECT_EQ(m_window.statusTexts,
        Strings({ "Not sent: no permission to send on vm0 (see Install in the README)" }));
    EXPECT_EQ(DebugTexts(),
        Strings({ "Err #849. pcap_open() csSelectedDeviceName=[vm0] errbuf=[vm0: You don't have "
                  "permission to perform this capture on that device (socket: Operation not "
                  "permitted)] ",
            "Error. Could not open send device" }));
    EXPECT_TRUE(m_box.shown.empty());
    EXPECT_TRUE(m_window.enableCalls.empty());
    EXPECT_TRUE(m_pPeer->Collect(1, 200).empty());
}

} // namespace
