// Sending chosen records: the replay core's selection, through the fakes.

#include "ReplayFakes.h"
#include "log/Log.h"

#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

using namespace velmora;

using namespace vtest;
using Strings = std::vector<std::string>;

namespace {

class ReplaySelectionTest : public ::testing::Test, public CReplayFixtureBase {
protected:
    CFakeWindow m_window;
    CFakeSink m_sink;
};

// The per-packet debug records among the debug log's texts.
Strings PacketRecords(const Strings& texts)
{
    Strings records;
    for (const auto& cs : texts)
        if (cs.size() > 5 && cs[0] == '[' && cs[4] == ']')
            records.push_back(cs);
    return records;
}

TEST_F(ReplaySelectionTest, SendsExactlyTheChosenRecordsInFileOrder)
{
    const std::vector<uint32_t> sizes { 60, 61, 62, 63, 64, 65, 66, 67, 68, 69 };
    const auto frames = WriteFrames(File("c.pcap"), sizes);
    struct Row {
        const char* szCase;
        CRecordSelection selection;
        std::vector<size_t> sent;
    };
    const Row rows[] = {
        { "one record", { 2 }, { 2 } },
        { "first and last", { 0, 9 }, { 0, 9 } },
        { "given out of order", { 7, 1, 4 }, { 1, 4, 7 } },
        { "duplicates once", { 3, 3, 5, 3 }, { 3, 5 } },
        { "past the end", { 8, 10, 1000000 }, { 8 } },
        { "only past the end", { 10 }, {} },
        { "nothing chosen", {}, {} },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        m_sink.frames.clear();
        m_box.shown.clear();
        m_window.enableCalls.clear();
        ResetDebugLogFile();

        SendSelection(m_window, File("c.pcap"), row.selection, "vm0", m_sink);

        std::vector<std::vector<uint8_t>> expected;
        Strings records;
        for (size_t i : row.sent) {
            expected.push_back(frames[i]);
            char sz[64];
            std::snprintf(sz, sizeof sz, "[%03zu]  %zu:%zu (%u)", i, 1000 + i, i * 10, sizes[i]);
            records.push_back(sz);
        }
        EXPECT_EQ(m_sink.frames, expected);
        EXPECT_EQ(PacketRecords(DebugTexts()), records);
        ASSERT_EQ(m_box.shown.size(), 1u);
        EXPECT_EQ(
            m_box.shown[0].csText, std::to_string(row.sent.size()) + " Packets have been sent");
        EXPECT_EQ(m_window.enableCalls, std::vector<bool>({ false, true }));
        EXPECT_FALSE(m_sink.IsOpen());
        // The window's own mode and offset play no part.
        EXPECT_EQ(m_window.iReads, 0);
    }
}

TEST_F(ReplaySelectionTest, AFailedFrameIsLoggedAndTheRestStillGo)
{
    const auto frames = WriteFrames(File("c.pcap"), { 60, 60, 60, 60, 60 });
    m_sink.failAt = [](size_t nPosition) { return nPosition == 1; };
    SendSelection(m_window, File("c.pcap"), { 0, 2, 4 }, "vm0", m_sink);
    // The fake keeps what it was handed, failed or not; the count is of attempts, as for Send.
    EXPECT_EQ(
        m_sink.frames, std::vector<std::vector<uint8_t>>({ frames[0], frames[2], frames[4] }));
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(m_box.shown[0].csText, "3 Packets have been sent");
    const Strings texts = DebugTexts();
    EXPECT_EQ(
        std::count(texts.begin(), texts.end(),
            "Err. Can not send BACnet Eth packet iPacketSize=[60] Error=[send: Message too long]"),
        1);
}

TEST_F(ReplaySelectionTest, StopsBeforeTheLoopLikeSend)
{
    WriteFrames(File("c.pcap"), { 60, 60 });
    struct Row {
        const char* szCase;
        std::string csPath;
        bool bOpenOk;
    };
    const Row rows[] = {
        { "missing capture", File("missing.pcap"), true },
        { "adapter will not open", File("c.pcap"), false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        m_sink.bOpenOk = row.bOpenOk;
        EXPECT_TRUE(SendSelection(m_window, row.csPath, { 0, 1 }, "vm0", m_sink).NotSent());
        EXPECT_TRUE(m_sink.frames.empty());
        EXPECT_TRUE(m_box.shown.empty());
        EXPECT_TRUE(m_window.enableCalls.empty());
    }
}

} // namespace
