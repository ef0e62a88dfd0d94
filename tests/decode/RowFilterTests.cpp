#include "capture/IndexRows.h"
#include "decode/Decoder.h"
#include "decode/RowFilter.h"
#include "tools/CaptureWriter.h"

#include "TestSupport.h"

#include <algorithm>
#include <cctype>
#include <gtest/gtest.h>
#include <set>

using namespace velmora;

using namespace velmora::dissect;

namespace {

// The rows of the BACnet/IP sample, numbered as in the file.
std::vector<SRow> SampleRows()
{
    std::vector<SRow> rows;
    const auto frames = MakeBacnetIpSampleFrames();
    for (size_t i = 0; i < frames.size(); ++i) {
        SFrame frame;
        frame.pData = frames[i].data();
        frame.header.uCapLen = frame.header.uWireLen = static_cast<uint32_t>(frames[i].size());
        frame.header.llTimeNs = static_cast<int64_t>(i) * 250000000;
        frame.uNumber = i;
        rows.push_back(DecodeRow(frame));
    }
    return rows;
}

TEST(RowFilterTest, TextInAnyColumnAndBacnetNamesInAnySpelling)
{
    struct SCase {
        const char* szFilter;
        std::vector<uint64_t> matches;
    };
    const SCase cases[] = {
        { "", { 0, 1, 2, 3, 4, 5, 6, 7 } },
        { " - _", { 0, 1, 2, 3, 4, 5, 6, 7 } },
        { "who-Is", { 0 } },
        { "WHOIS", { 0 } },
        { "i-am", { 1 } },
        { "ReadProperty", { 2, 3, 6, 7 } },
        { "read property-ack", { 3 } },
        { "Present_Value", { 2, 3, 4, 6 } },
        { "Analog Input", { 2, 3, 6 } },
        { "analog-value,2", { 4 } },
        { "unknown-object", { 7 } },
        { "192.168.10.255", { 0, 1 } },
        { "02:76:6d:0a:00:02", { 1, 2, 3, 4, 5, 6, 7 } }, // from the device, or to it
        { "BACnet/IP", { 0, 1, 2, 3, 4, 5, 6, 7 } },
        { "1.500000", { 6 } }, // the time column
        { "[ 7]", { 6, 7 } }, // an invoke ID
        { "no such thing", {} },
    };
    const std::vector<SRow> rows = SampleRows();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szFilter);
        const CRowFilter filter(c.szFilter);
        std::vector<uint64_t> matches;
        for (const SRow& row : rows)
            if (filter.Matches(row))
                matches.push_back(row.uNumber);
        EXPECT_EQ(matches, c.matches);
    }
}

// The filter skips formatting No., Time and Length for texts that cannot occur
// there: it must still find exactly what a look at every column finds.
TEST(RowFilterTest, FindsWhatEveryFormattedColumnHolds)
{
    std::vector<SRow> rows = SampleRows();
    SRow cut = rows[3];
    cut.uCapLen = 40; // "40 of 65"
    cut.llRelTimeNs = -1250000;
    cut.uNumber = 1234567;
    rows.push_back(cut);
    auto Fold = [](const std::string& cs) {
        std::string out;
        for (char c : cs)
            if (c != '-' && c != '_' && c != ' ')
                out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    };
    std::set<std::string> needles = { "of", "40of", "0.", "-0.00125", "f", "1234567", "readprop" };
    for (const SRow& row : rows)
        for (int c = 0; c < kColumnCount; ++c) {
            const std::string cs = ColumnText(row, static_cast<EColumn>(c));
            for (size_t n = 1; n <= 4; ++n)
                for (size_t i = 0; i + n <= cs.size(); i += 3)
                    needles.insert(cs.substr(i, n));
        }
    int iChecked = 0;
    for (const std::string& csNeedle : needles) {
        const CRowFilter filter(csNeedle);
        for (const SRow& row : rows) {
            bool bAnyColumn = Fold(csNeedle).empty();
            for (int c = 0; c < kColumnCount && !bAnyColumn; ++c)
                bAnyColumn = Fold(ColumnText(row, static_cast<EColumn>(c))).find(Fold(csNeedle))
                    != std::string::npos;
            ASSERT_EQ(filter.Matches(row), bAnyColumn)
                << '"' << csNeedle << "\" row " << row.uNumber;
            ++iChecked;
        }
    }
    EXPECT_GT(iChecked, 1000);
}

// Shared among threads, the matches come back the same and in file order.
TEST(RowFilterTest, FindMatchesSplitAmongThreadsKeepsFileOrder)
{
    vtest::CTempDir dir;
    const auto frames = MakeBacnetIpSampleFrames();
    {
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(dir.File("ip.pcap")));
        for (uint32_t i = 0; i < 30011; ++i)
            ASSERT_TRUE(writer.Write(frames[(i * 7 + i / 5) % frames.size()]));
        ASSERT_TRUE(writer.Close());
    }
    CCaptureIndex index;
    ASSERT_TRUE(index.Open(dir.File("ip.pcap")));
    ASSERT_EQ(index.Step(100000), CCaptureIndex::EState::Done);
    for (const char* sz : { "readProperty-ACK", "5", "nothing like it" }) {
        SCOPED_TRACE(sz);
        const CRowFilter filter(sz);
        std::vector<uint64_t> expected;
        for (uint64_t u = 0; u < index.Count(); ++u)
            if (filter.Matches(DecodeRecord(index, u)))
                expected.push_back(u);
        for (unsigned nThreads : { 1u, 2u, 3u, 8u }) {
            std::vector<uint64_t> found = { 99 };
            FindMatches(index, filter, 5, index.Count(), found, nThreads);
            found.erase(found.begin());
            std::vector<uint64_t> want(
                std::lower_bound(expected.begin(), expected.end(), 5), expected.end());
            EXPECT_EQ(found, want) << nThreads << " threads";
        }
    }
}

} // namespace
