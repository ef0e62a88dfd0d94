// All mode in batches on a veth pair with a small MTU: the records, the count
// and the frames on the wire are those of one frame at a time.

#include "NetNs.h"
#include "PeerCapture.h"
#include "ReplayFakes.h"
#include "log/Log.h"
#include "replay/SendSocket.h"

#include <gtest/gtest.h>
#include <memory>

using namespace velmora;

using namespace vtest;
using Strings = std::vector<std::string>;

namespace {

constexpr uint32_t kMtu = 200;
constexpr const char* kTooLong = "send: Message too long";
constexpr const char* kTooShort = "send: Invalid argument";

class BatchSendTest : public ::testing::Test, public CReplayFixtureBase {
protected:
    void SetUp() override
    {
        VTEST_REQUIRE_NETNS(m_ns);
        m_pEnter = std::make_unique<CEnterNetns>(m_ns);
        ASSERT_TRUE(m_pEnter->Ok());
        const std::string n = "ip -n " + m_ns.Name() + " link set ";
        ASSERT_EQ(Shell(n + "vm0 mtu " + std::to_string(kMtu)), 0);
        m_pPeer = std::make_unique<CPeerCapture>(CNetns::PeerIf(), 2048);
        ASSERT_TRUE(m_pPeer->Ok());
        // A status update would end a batch: none before the end.
        m_window.statusInterval = std::chrono::minutes(1);
    }
    void TearDown() override
    {
        m_pPeer.reset();
        m_pEnter.reset();
    }

    struct SResult {
        Strings records;
        Frames delivered;
        long long llPeerCount = 0;
        std::string csBox;
        Strings status;
    };
    SResult Send(ESendPath ePath, const std::string& csPath, int iMode, int iOffset = 0,
        size_t nExpected = 0)
    {
        ResetDebugLogFile();
        m_box.shown.clear();
        m_window.statusTexts.clear();
        m_window.csPath = csPath;
        m_window.iMode = iMode;
        m_window.iOffset = iOffset;
        const long long llBefore = m_ns.RxPackets(CNetns::PeerIf());
        CSocketSink sink(ePath);
        SendReplay(m_window, CNetns::SendIf(), sink);
        SResult result;
        result.records = DebugTexts();
        // Then a short look for anything more.
        result.delivered = m_pPeer->Collect(nExpected, 2000);
        for (auto& extra : m_pPeer->Collect(1, 50))
            result.delivered.push_back(extra);
        result.llPeerCount = m_ns.RxPackets(CNetns::PeerIf()) - llBefore;
        result.csBox = m_box.shown.empty() ? "(no box)" : m_box.shown.back().csText;
        result.status = m_window.statusTexts;
        return result;
    }

    CNetns m_ns { "batch" };
    std::unique_ptr<CEnterNetns> m_pEnter;
    std::unique_ptr<CPeerCapture> m_pPeer;
    CFakeWindow m_window;
};

// What one frame at a time gives: each record, a refused frame's error right
// after it, and the frames the adapter takes.
struct SExpected {
    Strings records;
    Frames delivered;
};
SExpected Expect(const std::string& csPath, const Frames& frames)
{
    SExpected e;
    e.records.push_back("OpenLocalDevice File=[" + csPath + "]");
    for (size_t i = 0; i < frames.size(); ++i) {
        const size_t n = frames[i].size();
        e.records.push_back("["
            + std::string(i < 10 ? "00"
                    : i < 100    ? "0"
                                 : "")
            + std::to_string(i) + "]  " + std::to_string(1000 + i) + ":" + std::to_string(i * 10)
            + " (" + std::to_string(n) + ")");
        if (n < 6)
            continue;
        if (n < 14 || n > kMtu + 14)
            e.records.push_back("Err. Can not send BACnet Eth packet iPacketSize=["
                + std::to_string(n) + "] Error=[" + (n < 14 ? kTooShort : kTooLong) + "]");
        else
            e.delivered.push_back(frames[i]);
    }
    const std::string csBox = std::to_string(frames.size()) + " Packets have been sent";
    e.records.push_back("MessageAndLog iType=[0] msg=[" + csBox + "]");
    e.records.push_back("MessageAndLog return = [ 1]");
    return e;
}

std::vector<uint32_t> Sizes(size_t n, std::initializer_list<std::pair<size_t, uint32_t>> at)
{
    std::vector<uint32_t> sizes(n);
    for (size_t i = 0; i < n; ++i)
        sizes[i] = 60 + static_cast<uint32_t>(i % 7) * 20; // 60 to 180
    for (const auto& [i, size] : at)
        sizes[i] = size;
    return sizes;
}

TEST_F(BatchSendTest, RefusedFramesAnywhereInABatchAreLoggedAndCountedAsAlone)
{
    constexpr uint32_t kVlanRoom = kMtu + 18; // past the MTU, within a tagged frame's length
    const unsigned kBatch = CSocketSink::kBatchFrames;
    struct Row {
        const char* szName;
        std::vector<uint32_t> sizes;
    };
    const std::vector<Row> rows = {
        { "first", Sizes(8, { { 0, 300 } }) },
        { "middle", Sizes(8, { { 4, 300 } }) },
        { "last", Sizes(8, { { 7, 1514 } }) },
        { "just past the MTU", Sizes(8, { { 0, kVlanRoom }, { 3, kMtu + 15 } }) },
        { "all kinds", { 300, 3, 60, 10, 214, 215, 5, 70, kVlanRoom, 14, 13 } },
        { "every frame refused", { 300, 400, 1514, kVlanRoom } },
        { "at both edges of a batch",
            Sizes(2 * kBatch + 3,
                { { 0, 300 }, { kBatch - 1, 300 }, { kBatch, kVlanRoom }, { kBatch + 1, 10 },
                    { 2 * kBatch - 1, 300 }, { 2 * kBatch + 2, 300 } }) },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        const std::string csPath = File("c.pcap");
        const Frames frames = WriteFrames(csPath, row.sizes);
        const SExpected want = Expect(csPath, frames);
        for (ESendPath ePath : { ESendPath::Batch, ESendPath::Plain }) {
            SCOPED_TRACE(ePath == ESendPath::Batch ? "batch" : "plain");
            const SResult got = Send(ePath, csPath, 1, 0, want.delivered.size());
            EXPECT_EQ(got.records, want.records);
            EXPECT_EQ(got.delivered, want.delivered);
            EXPECT_EQ(got.llPeerCount, static_cast<long long>(want.delivered.size()));
            EXPECT_EQ(got.csBox, std::to_string(frames.size()) + " Packets have been sent");
            // Every row has a frame the adapter refuses.
            const size_t nRefused = frames.size() - want.delivered.size();
            ASSERT_FALSE(got.status.empty());
            EXPECT_EQ(got.status.back(),
                std::to_string(want.delivered.size()) + " packets sent, " + std::to_string(nRefused)
                    + " refused (see Debuglog.txt)");
        }
    }
}

TEST_F(BatchSendTest, CaptureShorterThanABatchGoesOutWholeAndTheCountEndsExact)
{
    const std::string csPath = File("c.pcap");
    const Frames frames = WriteFrames(csPath, { 60, 214, 61 });
    SResult got = Send(ESendPath::Batch, csPath, 1, 0, 3);
    EXPECT_EQ(got.delivered, frames);
    EXPECT_EQ(got.llPeerCount, 3);
    EXPECT_EQ(got.csBox, "3 Packets have been sent");
    // The first frame shows at once, the rest at the end, each once the kernel took it.
    EXPECT_EQ(got.status, Strings({ "1 packets sent", "3 packets sent" }));
    EXPECT_EQ(got.records, Expect(csPath, frames).records);

    // At every packet's pace the status climbs one by one.
    m_window.statusInterval = std::chrono::milliseconds(0);
    got = Send(ESendPath::Batch, csPath, 1, 0, 3);
    EXPECT_EQ(got.status, Strings({ "1 packets sent", "2 packets sent", "3 packets sent" }));
    EXPECT_EQ(got.delivered, frames);
}

TEST_F(BatchSendTest, SingleModeSendsItsOneFrameAsBefore)
{
    const std::string csPath = File("c.pcap");
    const Frames frames = WriteFrames(csPath, { 60, 300, 10, 214 });
    const SExpected all = Expect(csPath, frames);
    struct Row {
        int iOffset;
        Strings records;
        Frames delivered;
    };
    const std::vector<Row> rows = {
        { 0, { all.records[0], all.records[1] }, { frames[0] } },
        { 1, { all.records[0], all.records[2], all.records[3] }, {} },
        { 2, { all.records[0], all.records[4], all.records[5] }, {} },
        { 3, { all.records[0], all.records[6] }, { frames[3] } },
    };
    for (const Row& row : rows) {
        const SResult got = Send(ESendPath::Batch, csPath, 0, row.iOffset, row.delivered.size());
        Strings records = row.records;
        records.push_back("MessageAndLog iType=[0] msg=[1 Packets have been sent]");
        records.push_back("MessageAndLog return = [ 1]");
        EXPECT_EQ(got.records, records) << row.iOffset;
        EXPECT_EQ(got.delivered, row.delivered) << row.iOffset;
        EXPECT_EQ(got.csBox, "1 Packets have been sent");
    }
}

TEST_F(BatchSendTest, DebugOffSendsTheSameFramesAndWritesNothing)
{
    g_bDebug = false;
    const std::string csPath = File("c.pcap");
    const Frames frames = WriteFrames(csPath, Sizes(300, { { 5, 300 }, { 290, 10 } }));
    const SResult got = Send(ESendPath::Batch, csPath, 1, 0, 298);
    EXPECT_TRUE(got.records.empty());
    EXPECT_EQ(got.delivered, Expect(csPath, frames).delivered);
    EXPECT_EQ(got.csBox, "300 Packets have been sent");
}

} // namespace
