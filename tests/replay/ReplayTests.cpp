#include "ReplayFakes.h"
#include "log/Log.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <list>
#include <sys/stat.h>
#include <thread>

using namespace velmora;

using namespace vtest;
using Strings = std::vector<std::string>;

namespace {

class ReplayTest : public ::testing::Test, public CReplayFixtureBase {
protected:
    // A Send of the window's capture through the fake sink.
    SReplayResult Send(const std::string& csDevice = "vm0")
    {
        return SendReplay(m_window, csDevice, m_sink);
    }

    Strings BoxTexts() const
    {
        Strings texts;
        for (const auto& shown : m_box.shown)
            texts.push_back(shown.csText);
        return texts;
    }

    // A Send that stopped before the loop: no box, nothing touched, and the
    // status line says why (one sentence per Send).
    void ExpectStoppedBeforeTheLoop(const Strings& sentences)
    {
        EXPECT_TRUE(m_box.shown.empty());
        EXPECT_TRUE(m_window.enableCalls.empty());
        EXPECT_EQ(m_window.statusTexts, sentences);
        EXPECT_EQ(m_window.iPumps, 0);
        EXPECT_TRUE(m_sink.frames.empty());
        EXPECT_FALSE(m_sink.IsOpen());
        EXPECT_EQ(MessageLogBytes(), "");
    }

    CFakeWindow m_window;
    CFakeSink m_sink;
};

TEST_F(ReplayTest, SingleModeSendsTheRecordAtTheOffset)
{
    const auto frames = WriteFrames(File("c.pcap"), { 60, 61, 62, 63 });
    m_window.csPath = File("c.pcap");
    m_window.iMode = 0;

    m_window.iOffset = 0;
    // Reading ends with the chosen record.
    EXPECT_EQ(Send().llRecordsRead, 1);
    ASSERT_EQ(m_sink.frames.size(), 1u);
    EXPECT_EQ(m_sink.frames[0], frames[0]);
    EXPECT_EQ(m_window.statusTexts, Strings({ "1 packets sent" }));
    EXPECT_EQ(BoxTexts(), Strings({ "1 Packets have been sent" }));
    EXPECT_EQ(m_window.enableCalls, std::vector<bool>({ false, true }));
    EXPECT_EQ(m_sink.openedNames, Strings({ "vm0" }));
    EXPECT_EQ(DebugTexts(),
        Strings({ "OpenLocalDevice File=[" + File("c.pcap") + "]", "[000]  1000:0 (60)",
            "MessageAndLog iType=[0] msg=[1 Packets have been sent]",
            "MessageAndLog return = [ 1]" }));
    EXPECT_EQ(MessageTexts(),
        Strings({ "MessageAndLog iType=[0] msg=[1 Packets have been sent]",
            "MessageAndLog return = [ 1]" }));

    // The mode is "single" for anything but 1, the unset radio buttons too.
    m_window.iMode = -1;
    m_window.iOffset = 2;
    EXPECT_EQ(Send().llRecordsRead, 3);
    m_window.iOffset = 3;
    Send();
    ASSERT_EQ(m_sink.frames.size(), 3u);
    EXPECT_EQ(m_sink.frames[2], frames[3]);
    EXPECT_EQ(DebugTexts()[9], "[003]  1003:30 (63)");
}

TEST_F(ReplayTest, OffsetOutsideTheFileSendsNothingAndReportsZero)
{
    WriteFrames(File("c.pcap"), { 60, 60, 60 });
    m_window.csPath = File("c.pcap");
    m_window.iMode = 0;
    for (int iOffset : { 3, 4, 9999999, -1 }) {
        m_window.iOffset = iOffset;
        Send();
    }
    EXPECT_TRUE(m_sink.frames.empty());
    // The box keeps its count of 0; the status says why.
    EXPECT_EQ(m_window.statusTexts,
        Strings({ "Not sent: offset 3 is past the last record (2)",
            "Not sent: offset 4 is past the last record (2)",
            "Not sent: offset 9999999 is past the last record (2)",
            "Not sent: offset -1 is before the first record (0)" }));
    EXPECT_EQ(m_window.iPumps, 0);
    EXPECT_EQ(BoxTexts(), Strings(4, "0 Packets have been sent"));
    EXPECT_EQ(m_window.enableCalls.size(), 8u);
    EXPECT_EQ(m_sink.iCloses, 4);

    // "Requests only" on a record that asks nothing: read, skipped, and said
    // so; nothing is missing from the file.
    m_window.bRequestsOnly = true;
    m_window.statusTexts.clear();
    m_window.iOffset = 1;
    const SReplayResult skipped = Send();
    EXPECT_TRUE(m_sink.frames.empty());
    EXPECT_EQ(skipped.listen.llSkipped, 1);
    EXPECT_EQ(skipped.llMissing, 0);
    EXPECT_EQ(m_window.statusTexts.back(), "Not sent: record 1 is not a request (requests only)");
    m_window.iOffset = 3;
    EXPECT_EQ(Send().llMissing, 1);
    EXPECT_EQ(m_window.statusTexts.back(), "Not sent: offset 3 is past the last record (2)");
}

TEST_F(ReplayTest, AllModeSendsEveryRecordInOrderAndIgnoresTheOffset)
{
    const auto frames = WriteFrames(File("c.pcap"), { 60, 1514, 14, 100, 61 });
    m_window.csPath = File("c.pcap");
    m_window.iMode = 1;
    m_window.iOffset = 2;
    Send();
    EXPECT_EQ(m_sink.frames, frames);
    EXPECT_EQ(m_window.statusTexts,
        Strings({ "1 packets sent", "2 packets sent", "3 packets sent", "4 packets sent",
            "5 packets sent" }));
    EXPECT_EQ(m_window.iPumps, 5);
    EXPECT_EQ(BoxTexts(), Strings({ "5 Packets have been sent" }));
    const Strings texts = DebugTexts();
    ASSERT_GE(texts.size(), 6u);
    EXPECT_EQ(texts[1], "[000]  1000:0 (60)");
    EXPECT_EQ(texts[2], "[001]  1001:10 (1514)");
    EXPECT_EQ(texts[5], "[004]  1004:40 (61)");
}

TEST_F(ReplayTest, StatusKeepsTheDisplaysPaceAndEndsOnTheExactCount)
{
    WriteFrames(File("c.pcap"), std::vector<uint32_t>(2000, 60));
    m_window.csPath = File("c.pcap");
    m_window.statusInterval = std::chrono::hours(1);
    Send();
    EXPECT_EQ(m_sink.frames.size(), 2000u);
    // The first packet shows at once, the last one always.
    EXPECT_EQ(m_window.statusTexts, Strings({ "1 packets sent", "2000 packets sent" }));
    EXPECT_EQ(m_window.iPumps, 2);

    // With a pace the loop can keep, the status shows in between too.
    m_window.statusInterval = std::chrono::milliseconds(1);
    m_window.statusTexts.clear();
    m_sink.onTransmit = [](const std::vector<uint8_t>&) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    };
    Send();
    EXPECT_GT(m_window.statusTexts.size(), 10u);
    EXPECT_LT(m_window.statusTexts.size(), 2000u);
    EXPECT_EQ(m_window.statusTexts.back(), "2000 packets sent");
}

TEST_F(ReplayTest, ShortRecordsAreCountedButNotSent)
{
    const auto frames = WriteFrames(File("c.pcap"), { 0, 1, 5, 6, 60 });
    m_window.csPath = File("c.pcap");
    Send();
    ASSERT_EQ(m_sink.frames.size(), 2u);
    EXPECT_EQ(m_sink.frames[0], frames[3]);
    EXPECT_EQ(m_sink.frames[1], frames[4]);
    // Short records leave no record in the debug log, so the status points to none.
    ASSERT_GE(m_window.statusTexts.size(), 2u);
    EXPECT_EQ(m_window.statusTexts.end()[-2], "5 packets sent");
    EXPECT_EQ(m_window.statusTexts.back(), "2 packets sent, 3 refused");
    EXPECT_EQ(BoxTexts(), Strings({ "5 Packets have been sent" }));
    const Strings texts = DebugTexts();
    ASSERT_EQ(texts.size(), 8u); // open, five packets, two box records
    EXPECT_EQ(texts[1], "[000]  1000:0 (0)");
    EXPECT_EQ(texts[3], "[002]  1002:20 (5)");
}

TEST_F(ReplayTest, FailedTransmissionIsLoggedAndStillCounted)
{
    WriteFrames(File("c.pcap"), { 60, 1600, 60 });
    m_window.csPath = File("c.pcap");
    m_sink.failAt = [](size_t i) { return i == 1; };
    Send();
    EXPECT_EQ(m_sink.frames.size(), 3u);
    EXPECT_EQ(BoxTexts(), Strings({ "3 Packets have been sent" }));
    EXPECT_EQ(m_window.statusTexts,
        Strings({ "1 packets sent", "2 packets sent", "3 packets sent",
            "2 packets sent, 1 refused (see Debuglog.txt)" }));
    const Strings texts = DebugTexts();
    ASSERT_GE(texts.size(), 6u);
    EXPECT_EQ(texts[2], "[001]  1001:10 (1600)");
    EXPECT_EQ(texts[3],
        "Err. Can not send BACnet Eth packet iPacketSize=[1600] Error=[send: Message too long]");
    EXPECT_EQ(texts[4], "[002]  1002:20 (60)");
}

TEST_F(ReplayTest, RecordShorterThanOnTheWireGoesOutWithTheCapturedBytes)
{
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(File("c.pcap"), 96));
    const auto frame = MakeTestFrame(96, 1);
    writer.Write(frame.data(), 96, 1514, 7, 8);
    ASSERT_TRUE(writer.Close());
    m_window.csPath = File("c.pcap");
    Send();
    ASSERT_EQ(m_sink.frames.size(), 1u);
    EXPECT_EQ(m_sink.frames[0], frame);
    EXPECT_EQ(DebugTexts()[1], "[000]  7:8 (1514)");
}

TEST_F(ReplayTest, LogFieldsAreSignedTimeStampsAndTheWireLength)
{
    CRawCaptureWriter raw;
    ASSERT_TRUE(raw.Open(File("c.pcap")));
    raw.FileHeader();
    const auto frame = MakeTestFrame(60, 0);
    raw.Record(frame, 0xffffffffu, 0xffffffffu, 2000000);
    raw.Record(frame, 40, 0x80000000u, 0);
    ASSERT_TRUE(raw.Close());
    WriteTestCapture(File("many.pcap"), 1001, 60);

    m_window.csPath = File("c.pcap");
    Send();
    m_window.csPath = File("many.pcap");
    m_window.iMode = 0;
    m_window.iOffset = 1000;
    Send();
    const Strings texts = DebugTexts();
    ASSERT_GE(texts.size(), 8u);
    EXPECT_EQ(texts[1], "[000]  -1:2000000 (4294967295)");
    // Captured length above the wire length is sent as captured.
    EXPECT_EQ(texts[2], "[001]  -2147483648:0 (40)");
    EXPECT_EQ(m_sink.frames.size(), 3u);
    EXPECT_EQ(texts[6], "[1000]  1154680000:1000 (60)");
}

TEST_F(ReplayTest, EmptyCaptureReportsZero)
{
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(File("empty.pcap")));
    ASSERT_TRUE(writer.Close());
    m_window.csPath = File("empty.pcap");
    Send();
    EXPECT_TRUE(m_sink.frames.empty());
    EXPECT_TRUE(m_window.statusTexts.empty());
    EXPECT_EQ(BoxTexts(), Strings({ "0 Packets have been sent" }));
    EXPECT_EQ(m_window.enableCalls, std::vector<bool>({ false, true }));
}

// What libpcap 1.10 delivers: a record above the file's snapshot length is cut
// to it by the reader, up to 262,144 bytes is delivered whole, anything longer
// is a read error. The replay cuts whatever still exceeds its buffer.
TEST_F(ReplayTest, RecordsLongerThanTheSendBufferAreCutToIt)
{
    std::vector<uint32_t> sizes = { 70000, 65536, 65537, 262144, 60 };
    const auto frames = WriteFrames(File("big.pcap"), sizes);
    m_window.csPath = File("big.pcap");
    Send();
    ASSERT_EQ(m_sink.frames.size(), 5u);
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(m_sink.frames[i].size(), kSendBufferSize) << i;
        EXPECT_TRUE(
            std::equal(m_sink.frames[i].begin(), m_sink.frames[i].end(), frames[i].begin()));
    }
    EXPECT_EQ(m_sink.frames[4], frames[4]);
    EXPECT_EQ(DebugTexts()[1], "[000]  1000:0 (70000)");
    EXPECT_EQ(BoxTexts(), Strings({ "5 Packets have been sent" }));
}

TEST_F(ReplayTest, ReadErrorEndsTheReplayWithTheCountSoFar)
{
    const auto frame = MakeTestFrame(60, 0);
    for (int iCase = 0; iCase < 2; ++iCase) {
        CRawCaptureWriter raw;
        ASSERT_TRUE(raw.Open(File("bad.pcap")));
        raw.FileHeader();
        raw.Record(frame, 60);
        raw.Record(frame, 60);
        if (iCase == 0) {
            // Longer than libpcap accepts: garbage follows as far as it can tell.
            raw.RecordHeader(0, 0, 262145, 262145);
            raw.Bytes(std::vector<uint8_t>(262145, 0x11));
        } else {
            raw.RecordHeader(0, 0, 100, 100); // cut off by the end of the file
            raw.Bytes(frame.data(), 10);
        }
        raw.Record(frame, 60);
        ASSERT_TRUE(raw.Close());
        m_window.csPath = File("bad.pcap");
        m_sink.frames.clear();
        m_box.shown.clear();
        Send();
        EXPECT_EQ(m_sink.frames.size(), 2u) << iCase;
        EXPECT_EQ(BoxTexts(), Strings({ "2 Packets have been sent" }));
    }
}

TEST_F(ReplayTest, MissingFileStopsBeforeTheAdapter)
{
    for (const std::string& csPath : { File("nope.pcap"), std::string() }) {
        m_window.csPath = csPath;
        Send();
    }
    ExpectStoppedBeforeTheLoop({ "Not sent: " + File("nope.pcap") + " does not exist",
        "Not sent: no capture file chosen" });
    EXPECT_TRUE(m_sink.openedNames.empty());
    EXPECT_EQ(DebugTexts(),
        Strings({ "Error. Could not open file=[" + File("nope.pcap") + "]",
            "Error. Could not open file=[]" }));
}

TEST_F(ReplayTest, AdapterThatCannotBeOpenedStopsTheSend)
{
    WriteFrames(File("c.pcap"), { 60 });
    m_window.csPath = File("c.pcap");
    m_sink.bOpenOk = false;
    m_sink.csOpenError = "nosuchdev: No such device exists (No such device exists)";
    Send("nosuchdev");
    ExpectStoppedBeforeTheLoop({ "Not sent: adapter nosuchdev is gone (pick one under Device)" });
    EXPECT_EQ(DebugTexts(),
        Strings({ "Err #849. pcap_open() csSelectedDeviceName=[nosuchdev] errbuf=[nosuchdev: No "
                  "such device exists (No such device exists)] ",
            "Error. Could not open send device" }));
}

// Every way a Send can stop before its first record: the sentence on the status
// line is the same with the debug log on or off, and the log's records are
// those a Send has always written.
TEST_F(ReplayTest, StopCauseBecomesOneStatusSentenceWhateverTheDebugFlag)
{
    WriteFrames(File("c.pcap"), { 60 });
    WriteFile(File("notes.txt"), "not a capture\n");
    std::filesystem::create_directory(File("folder"));
    // The two records of an adapter that does not open, and of a file that is no capture.
    auto noAdapter = [](const std::string& csDevice) {
        return Strings(
            { "Err #849. pcap_open() csSelectedDeviceName=[" + csDevice + "] errbuf=[open failed] ",
                "Error. Could not open send device" });
    };
    auto noCapture = [&](const std::string& csName) {
        return Strings({ "OpenLocalDevice File=[" + File(csName) + "]",
            "Error. Unable to open the file " + File(csName) + ".",
            "Error. Could not open local device" });
    };
    struct Row {
        std::string csPath;
        std::string csDevice;
        ESendOpenError eOpen; // None: the adapter opens
        std::string csSentence;
        std::string csSentenceDebugOff; // empty: as with the flag on
        Strings records;
    };
    const std::string csCapture = File("c.pcap");
    const std::vector<Row> rows = {
        { File("gone.pcap"), "vm0", ESendOpenError::None,
            "Not sent: " + File("gone.pcap") + " does not exist", "",
            { "Error. Could not open file=[" + File("gone.pcap") + "]" } },
        { "", "vm0", ESendOpenError::None, "Not sent: no capture file chosen", "",
            { "Error. Could not open file=[]" } },
        { csCapture, "", ESendOpenError::NoSuchDevice,
            "Not sent: no adapter chosen (pick one under Device)", "", noAdapter("") },
        { csCapture, "vb", ESendOpenError::NoSuchDevice,
            "Not sent: adapter vb is gone (pick one under Device)", "", noAdapter("vb") },
        { csCapture, "vb", ESendOpenError::NotUp, "Not sent: adapter vb is down", "",
            noAdapter("vb") },
        { csCapture, "lo", ESendOpenError::NoPermission,
            "Not sent: no permission to send on lo (see Install in the README)", "",
            noAdapter("lo") },
        { csCapture, "any", ESendOpenError::NotEthernet,
            "Not sent: any is not an Ethernet adapter (pick one under Device)", "",
            noAdapter("any") },
        { csCapture, "vb", ESendOpenError::Other,
            "Not sent: adapter vb cannot be opened (see Debuglog.txt)",
            "Not sent: adapter vb cannot be opened", noAdapter("vb") },
        { File("notes.txt"), "vm0", ESendOpenError::None,
            "Not sent: notes.txt is not a capture file", "", noCapture("notes.txt") },
        { File("folder"), "vm0", ESendOpenError::None, "Not sent: folder is not a capture file", "",
            noCapture("folder") },
    };
    for (const bool bDebug : { true, false }) {
        for (const Row& row : rows) {
            SCOPED_TRACE(row.csSentence + (bDebug ? " (debug on)" : " (debug off)"));
            g_bDebug = bDebug;
            ResetDebugLogFile();
            m_window = CFakeWindow();
            m_window.csPath = row.csPath;
            m_sink = CFakeSink();
            m_sink.bOpenOk = row.eOpen == ESendOpenError::None;
            m_sink.eOpenError = row.eOpen;
            m_sink.csOpenError = "open failed";
            Send(row.csDevice);
            const std::string& csExpected = !bDebug && !row.csSentenceDebugOff.empty()
                ? row.csSentenceDebugOff
                : row.csSentence;
            ExpectStoppedBeforeTheLoop({ csExpected });
            if (bDebug)
                EXPECT_EQ(DebugTexts(), row.records);
            else
                EXPECT_EQ(DebugLogBytes(), "");
        }
    }
}

TEST_F(ReplayTest, EntriesThatAreNoCaptureFailLikeAnUnreadableFile)
{
    WriteFile(File("notes.txt"), "this is no capture file at all\n");
    WriteFile(File("short.pcap"), std::string("\xd4\xc3\xb2\xa1", 4));
    std::filesystem::create_directory(File("folder"));
    ASSERT_EQ(mkfifo(File("fifo").c_str(), 0600), 0);
    for (const char* sz : { "notes.txt", "short.pcap", "folder", "fifo" }) {
        ResetDebugLogFile();
        m_window.csPath = File(sz);
        m_window.statusTexts.clear();
        const auto start = std::chrono::steady_clock::now();
        Send();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << sz;
        ExpectStoppedBeforeTheLoop({ std::string("Not sent: ") + sz + " is not a capture file" });
        EXPECT_EQ(DebugTexts(),
            Strings({ "OpenLocalDevice File=[" + File(sz) + "]",
                "Error. Unable to open the file " + File(sz) + ".",
                "Error. Could not open local device" }))
            << sz;
    }
    // The adapter was opened each time and closed again.
    EXPECT_EQ(m_sink.openedNames.size(), 4u);
    EXPECT_EQ(m_sink.iCloses, 4);
}

TEST_F(ReplayTest, WithTheDebugFlagOffFailuresLeaveNoTrace)
{
    g_bDebug = false;
    WriteFile(File("notes.txt"), "no capture");
    m_window.csPath = File("missing.pcap");
    Send();
    m_window.csPath = File("notes.txt");
    Send();
    m_sink.bOpenOk = false;
    Send();
    ExpectStoppedBeforeTheLoop({ "Not sent: " + File("missing.pcap") + " does not exist",
        "Not sent: notes.txt is not a capture file",
        "Not sent: adapter vm0 is gone (pick one under Device)" });
    EXPECT_EQ(DebugLogBytes(), "");

    // A good Send writes only the box's records to the message log.
    WriteFrames(File("c.pcap"), { 60, 60 });
    m_sink.bOpenOk = true;
    m_sink.failAt = [](size_t) { return true; };
    m_window.csPath = File("c.pcap");
    Send();
    EXPECT_EQ(DebugLogBytes(), "");
    // No debug log to point to.
    EXPECT_EQ(m_window.statusTexts.back(), "0 packets sent, 2 refused");
    EXPECT_EQ(MessageTexts(),
        Strings({ "MessageAndLog iType=[0] msg=[2 Packets have been sent]",
            "MessageAndLog return = [ 1]" }));
}

TEST_F(ReplayTest, EachPacketsRecordIsInTheFileBeforeItGoesOut)
{
    WriteFrames(File("c.pcap"), { 60, 70, 80 });
    m_window.csPath = File("c.pcap");
    std::vector<std::string> lastSeen;
    m_sink.onTransmit
        = [&](const std::vector<uint8_t>&) { lastSeen.push_back(DebugTexts().back()); };
    Send();
    EXPECT_EQ(
        lastSeen, Strings({ "[000]  1000:0 (60)", "[001]  1001:10 (70)", "[002]  1002:20 (80)" }));
}

TEST_F(ReplayTest, BothHandlesAreClosedWhenTheSendEnds)
{
    WriteFrames(File("c.pcap"), { 60, 60 });
    WriteFile(File("notes.txt"), "no capture");
    const int iBefore = OpenDescriptorCount();
    m_window.csPath = File("c.pcap");
    Send();
    m_window.csPath = File("notes.txt");
    Send();
    EXPECT_EQ(OpenDescriptorCount(), iBefore);
    EXPECT_EQ(m_sink.iCloses, 2);
    EXPECT_FALSE(m_sink.IsOpen());
}

TEST_F(ReplayTest, WindowIsReadOnceAndControlsComeBackAfterTheLoop)
{
    WriteFrames(File("c.pcap"), { 60, 60 });
    m_window.csPath = File("c.pcap");
    // While packets go out the controls are off; the loop sees no change of inputs.
    m_window.onPump = [&] {
        EXPECT_EQ(m_window.enableCalls, std::vector<bool>({ false }));
        m_window.iMode = 0;
        m_window.iOffset = 50;
    };
    Send();
    EXPECT_EQ(m_window.iReads, 1);
    EXPECT_EQ(m_sink.frames.size(), 2u);
    EXPECT_EQ(m_window.enableCalls, std::vector<bool>({ false, true }));
}

TEST_F(ReplayTest, StopEndsTheLoopAfterTheFrameInFlightWithExactAccounts)
{
    WriteFrames(File("c.pcap"), std::vector<uint32_t>(8, 60));
    m_window.csPath = File("c.pcap");
    const std::string csOpen = "OpenLocalDevice File=[" + File("c.pcap") + "]";
    struct Row {
        const char* szName;
        int iMode, iOffset;
        EReplayStop stop;
        int iAtPump; // the request is made during this pump (1 first) ...
        int iAtFrame; // ... or, like a signal handler, while this frame goes out (0 first)
        int iSent;
        Strings debug, box, messages;
    };
    const Strings boxOf3 = { "MessageAndLog iType=[0] msg=[3 Packets have been sent]",
        "MessageAndLog return = [ 1]" };
    const std::vector<Row> rows = {
        { "button or Escape", 1, 0, EReplayStop::Stop, 3, -1, 3,
            { csOpen, "[000]  1000:0 (60)", "[001]  1001:10 (60)", "[002]  1002:20 (60)",
                "Replay stopped by the user after 3 packets", boxOf3[0], boxOf3[1] },
            { "3 Packets have been sent" }, boxOf3 },
        { "window closing: the box still comes", 1, 0, EReplayStop::StopAndClose, 2, -1, 2,
            { csOpen, "[000]  1000:0 (60)", "[001]  1001:10 (60)",
                "Replay stopped by the user after 2 packets",
                "MessageAndLog iType=[0] msg=[2 Packets have been sent]",
                "MessageAndLog return = [ 1]" },
            { "2 Packets have been sent" },
            { "MessageAndLog iType=[0] msg=[2 Packets have been sent]",
                "MessageAndLog return = [ 1]" } },
        { "flag set from outside the window", 1, 0, EReplayStop::Stop, -1, 2, 3,
            { csOpen, "[000]  1000:0 (60)", "[001]  1001:10 (60)", "[002]  1002:20 (60)",
                "Replay stopped by the user after 3 packets", boxOf3[0], boxOf3[1] },
            { "3 Packets have been sent" }, boxOf3 },
        { "single mode: nothing left to stop", 0, 5, EReplayStop::Stop, 1, -1, 1,
            { csOpen, "[005]  1005:50 (60)",
                "MessageAndLog iType=[0] msg=[1 Packets have been sent]",
                "MessageAndLog return = [ 1]" },
            { "1 Packets have been sent" },
            { "MessageAndLog iType=[0] msg=[1 Packets have been sent]",
                "MessageAndLog return = [ 1]" } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        ResetLogFile();
        ResetDebugLogFile();
        m_box.shown.clear();
        m_sink.frames.clear();
        m_window.statusTexts.clear();
        m_window.iPumps = 0;
        m_window.stop = EReplayStop::None;
        m_window.iMode = row.iMode;
        m_window.iOffset = row.iOffset;
        m_window.onPump = [&] {
            if (m_window.iPumps == row.iAtPump)
                m_window.stop = row.stop;
        };
        m_sink.onTransmit = [&](const std::vector<uint8_t>&) {
            if (static_cast<int>(m_sink.frames.size()) == row.iAtFrame + 1)
                m_window.stop = row.stop;
        };
        Send();
        EXPECT_EQ(static_cast<int>(m_sink.frames.size()), row.iSent);
        ASSERT_FALSE(m_window.statusTexts.empty());
        // Single mode has nothing to stop: its count stands.
        EXPECT_EQ(m_window.statusTexts.back(),
            row.iMode == 1 ? "Stopped after " + std::to_string(row.iSent) + " packets"
                           : std::to_string(row.iSent) + " packets sent");
        EXPECT_EQ(DebugTexts(), row.debug);
        EXPECT_EQ(BoxTexts(), row.box);
        EXPECT_EQ(MessageTexts(), row.messages);
        EXPECT_EQ(m_window.enableCalls.back(), true);
        EXPECT_FALSE(m_sink.IsOpen());
    }
}

TEST(SendPacketTest, RefusesShortOrMissingFramesWithoutARecord)
{
    CReplayFixtureBase fixture;
    CFakeSink sink;
    const std::vector<uint8_t> frame(6, 0xab);
    EXPECT_FALSE(SendPacket(sink, frame.data(), 6)); // not open
    std::string csError;
    ASSERT_TRUE(sink.Open("x", csError));
    EXPECT_FALSE(SendPacket(sink, nullptr, 6));
    EXPECT_FALSE(SendPacket(sink, frame.data(), 5));
    EXPECT_TRUE(sink.frames.empty());
    EXPECT_TRUE(SendPacket(sink, frame.data(), 6));
    EXPECT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(fixture.DebugLogBytes(), "");
}

// Takes frames in place as the socket does, and keeps their bytes as they are
// when flushed.
class CInPlaceSink final : public IPacketSink {
public:
    bool Open(const std::string&, std::string&) override { return true; }
    bool IsOpen() const override { return true; }
    bool Transmit(const unsigned char* p, uint32_t n) override
    {
        sent.emplace_back(p, p + n);
        return true;
    }
    std::string ErrorText() override { return ""; }
    void Close() override { }
    bool Stage(const unsigned char* p, uint32_t n) override
    {
        if (m_staged.size() == 256)
            return false;
        m_copies.emplace_back(p, p + n);
        m_staged.push_back({ m_copies.back().data(), n });
        return true;
    }
    bool StageInPlace(const unsigned char* p, uint32_t n) override
    {
        if (m_staged.size() == 256)
            return false;
        m_staged.push_back({ p, n });
        ++nInPlace;
        return true;
    }
    void Flush(std::vector<SRefused>&) override
    {
        for (const auto& [p, n] : m_staged)
            sent.emplace_back(p, p + n);
        m_staged.clear();
        m_copies.clear();
    }

    std::vector<std::vector<uint8_t>> sent;
    size_t nInPlace = 0;

private:
    std::vector<std::pair<const unsigned char*, uint32_t>> m_staged;
    std::list<std::vector<uint8_t>> m_copies;
};

// Frames staged where the reader holds them go out before it reads on: a
// capture of many full reads goes out byte for byte.
TEST_F(ReplayTest, ACaptureLongerThanOneReadGoesOutByteForByte)
{
    std::vector<uint32_t> sizes(24000);
    for (size_t i = 0; i < sizes.size(); ++i)
        sizes[i] = 60 + static_cast<uint32_t>(i * 37 % 300);
    m_window.csPath = File("long.pcap");
    const auto frames = WriteFrames(m_window.csPath, sizes);
    ASSERT_GT(std::filesystem::file_size(m_window.csPath), 5u << 20);
    m_window.iMode = 1;
    m_window.statusInterval = std::chrono::minutes(1); // a status update would end a batch
    CInPlaceSink sink;
    SendReplay(m_window, "vm0", sink);
    EXPECT_EQ(sink.nInPlace, frames.size());
    ASSERT_EQ(sink.sent.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i)
        ASSERT_EQ(sink.sent[i], frames[i]) << "frame " << i;
}

} // namespace
