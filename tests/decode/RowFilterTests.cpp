#include "decode/Decoder.h"
#include "decode/RowFilter.h"
#include "tools/CaptureWriter.h"

#include <gtest/gtest.h>

using namespace velmora;

using namespace velmora::vdecode;

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

} // namespace
