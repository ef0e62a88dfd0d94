// The report's pieces: where the plots put their marks, the digest that names
// the capture, and what the HTML holds for a few Sends (the browser's view of
// it is in tests/cli/ReportBrowserTests.cpp).
#include "FrameBuilder.h"
#include "TestSupport.h"
#include "session/Plot.h"
#include "session/ReplayWords.h"
#include "session/Report.h"
#include "session/Sha256.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

using namespace velmora;
using namespace vtest;

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kS = 1000000000;

std::string Dots(const SScatter& s)
{
    std::string cs;
    char sz[64];
    for (const SPlotDot& d : s.dots) {
        std::snprintf(sz, sizeof sz, "%s(%.1f,%.1f)%s", cs.empty() ? "" : " ", d.dX, d.dY,
            d.bUnanswered ? "u" : "");
        cs += sz;
    }
    return cs;
}

std::string Labels(const std::vector<SPlotTick>& ticks)
{
    std::string cs;
    for (const SPlotTick& t : ticks)
        cs += (cs.empty() ? "" : " ") + t.csLabel;
    return cs;
}

// A box 100 wide and 100 high at (10, 20): x from 10 to 110, y from 120 up to 20.
const SPlotBox kBox { 10, 20, 100, 100 };

TEST(PlotTest, WhereTheDotsLand)
{
    struct SCase {
        const char* szName;
        std::vector<SPlotSample> samples;
        size_t nMaxDots;
        std::string csDots;
        std::string csXTicks;
        std::string csYTicks;
        bool bThinned;
    };
    std::vector<SPlotSample> sameSpot(30000, { 0, 1 * kMs, 0 });
    std::vector<SPlotSample> spread;
    for (int i = 0; i < 100; ++i)
        spread.push_back({ i * 10 * kMs, (i % 10) * kMs / 10, static_cast<size_t>(i) });
    const std::vector<SCase> cases = {
        { "the corners", { { 0, 0, 0 }, { 1 * kS, 1 * kMs, 1 } }, 20000,
            "(10.0,120.0) (110.0,20.0)", "0 0.2 0.4 0.6 0.8 1", "0 0.2 0.4 0.6 0.8 1", false },
        { "the middle", { { 0, 0, 0 }, { kS / 2, kMs / 2, 1 }, { kS, kMs, 2 } }, 20000,
            "(10.0,120.0) (60.0,70.0) (110.0,20.0)", "0 0.2 0.4 0.6 0.8 1", "0 0.2 0.4 0.6 0.8 1",
            false },
        // Axis ends round up to 1, 2 or 5 times a power of ten.
        { "3 s and 0.3 ms on axes of 5 and 0.5", { { 3 * kS, 3 * kMs / 10, 0 } }, 20000,
            "(70.0,60.0)", "0 1 2 3 4 5", "0 0.1 0.2 0.3 0.4 0.5", false },
        { "120 ms on an axis of 200", { { 0, 120 * kMs, 0 } }, 20000, "(10.0,60.0)",
            "0 0.2 0.4 0.6 0.8 1", "0 40 80 120 160 200", false },
        // Unanswered requests: marks along the top edge, after the dots, where
        // no quick answer's dot hides them.
        { "unanswered along the top", { { 2 * kS, -1, 0 }, { 4 * kS, 2 * kMs, 1 } }, 20000,
            "(90.0,20.0) (50.0,20.0)u", "0 1 2 3 4 5", "0 0.4 0.8 1.2 1.6 2", false },
        { "nothing answered", { { 0, -1, 0 } }, 20000, "(10.0,20.0)u", "0 0.2 0.4 0.6 0.8 1",
            "0 0.2 0.4 0.6 0.8 1", false },
        // Small steps keep their digits, without the computer's notation.
        { "120 us on the wire", { { 120000, 57000, 0 } }, 20000, "(70.0,63.0)",
            "0 0.00004 0.00008 0.00012 0.00016 0.0002", "0 0.02 0.04 0.06 0.08 0.1", false },
        { "no samples", {}, 20000, "", "0 0.2 0.4 0.6 0.8 1", "0 0.2 0.4 0.6 0.8 1", false },
        // Above the limit: one dot per point covered, then every k-th.
        { "30000 on one spot", sameSpot, 20000, "(10.0,20.0)", "0 0.2 0.4 0.6 0.8 1",
            "0 0.2 0.4 0.6 0.8 1", true },
        { "100 spread, limit 10", spread, 10,
            "(10.0,120.0) (20.0,120.0) (30.0,120.0) (40.0,120.0) (50.0,120.0) (60.0,120.0) "
            "(70.0,120.0) (80.0,120.0) (90.0,120.0) (100.0,120.0)",
            "0 0.2 0.4 0.6 0.8 1", "0 0.2 0.4 0.6 0.8 1", true },
    };
    for (const SCase& c : cases) {
        const SScatter s = LayOutScatter(c.samples, kBox, c.nMaxDots);
        EXPECT_EQ(Dots(s), c.csDots) << c.szName;
        EXPECT_EQ(Labels(s.xTicks), c.csXTicks) << c.szName;
        EXPECT_EQ(Labels(s.yTicks), c.csYTicks) << c.szName;
        EXPECT_EQ(s.bThinned, c.bThinned) << c.szName;
        EXPECT_EQ(s.nSamples, c.samples.size()) << c.szName;
    }
    // The ticks sit where their values land: 0 at the bottom, the end at the top.
    const SScatter s = LayOutScatter({ { kS, kMs, 0 } }, kBox);
    EXPECT_EQ(s.yTicks.front().dAt, 120.0);
    EXPECT_EQ(s.yTicks.back().dAt, 20.0);
    EXPECT_EQ(s.xTicks.back().dAt, 110.0);
    // A click finds the dot under it, not one farther than the radius.
    EXPECT_EQ(NearestDot(s, 108, 22, 3), 0);
    EXPECT_EQ(NearestDot(s, 100, 30, 3), -1);
}

TEST(PlotTest, HistogramBarsAndMarks)
{
    struct SCase {
        const char* szName;
        std::vector<int64_t> roundTrips;
        size_t nBins;
        std::string csCounts; // per bin
        double dMaxMs;
        double dMedianX;
        double dP95X;
    };
    std::vector<int64_t> hundred;
    for (int i = 1; i <= 100; ++i)
        hundred.push_back(i * kMs / 10); // 0.1 to 10 ms
    const std::vector<SCase> cases = {
        // Median of 2 and 3 is 2.5 (x 50 of 100 on an axis of 5); p95 the 4th of 4.
        { "four", { 1 * kMs, 2 * kMs, 3 * kMs, 4 * kMs }, 4, "1 1 1 1", 5, 60, 90 },
        { "one", { 7 * kMs }, 2, "0 1", 10, 80, 80 },
        // The axis's end falls in the last bin.
        { "at the end", { 0, 5 * kMs }, 5, "1 0 0 0 1", 5, 60, 110 },
        { "a hundred", hundred, 10, "9 10 10 10 10 10 10 10 10 11", 10, 60.5, 105 },
        { "none", {}, 3, "0 0 0", 1, -1, -1 },
    };
    for (const SCase& c : cases) {
        const SHistogram h = LayOutHistogram(c.roundTrips, kBox, c.nBins);
        std::string csCounts;
        for (const SHistogramBar& bar : h.bars)
            csCounts += (csCounts.empty() ? "" : " ") + std::to_string(bar.nCount);
        EXPECT_EQ(csCounts, c.csCounts) << c.szName;
        EXPECT_DOUBLE_EQ(h.dMaxMs, c.dMaxMs) << c.szName;
        EXPECT_NEAR(h.dMedianX, c.dMedianX, 1e-9) << c.szName;
        EXPECT_NEAR(h.dP95X, c.dP95X, 1e-9) << c.szName;
        // The tallest bar fills the box; the others in proportion, from its bottom.
        for (const SHistogramBar& bar : h.bars) {
            EXPECT_DOUBLE_EQ(bar.dY + bar.dHeight, kBox.Bottom()) << c.szName;
            if (h.nMaxCount) {
                EXPECT_DOUBLE_EQ(bar.dHeight, 100.0 * bar.nCount / h.nMaxCount) << c.szName;
            }
        }
    }
}

TEST(Sha256Test, KnownDigests)
{
    struct SCase {
        std::string csInput;
        const char* szDigest;
    };
    const SCase cases[] = {
        { "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" },
        { "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" },
        // 56 bytes: the length no longer fits in the first block.
        { "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1" },
        { std::string(1000000, 'a'),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0" },
        { std::string(64, 'x'),
            "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c" },
    };
    for (const SCase& c : cases) {
        CSha256 sha;
        sha.Add(reinterpret_cast<const uint8_t*>(c.csInput.data()), c.csInput.size());
        EXPECT_EQ(HexDigest(sha.Finish()), c.szDigest) << c.csInput.size() << " bytes";
        // Fed a byte at a time, the same.
        CSha256 bytewise;
        for (char ch : c.csInput.substr(0, 200))
            bytewise.Add(reinterpret_cast<const uint8_t*>(&ch), 1);
        CSha256 whole;
        whole.Add(reinterpret_cast<const uint8_t*>(c.csInput.data()),
            std::min<size_t>(200, c.csInput.size()));
        EXPECT_EQ(HexDigest(bytewise.Finish()), HexDigest(whole.Finish()));
    }
    CTempDir dir;
    {
        std::ofstream out(dir.File("abc"), std::ios::binary);
        out << "abc";
    }
    std::string csError;
    EXPECT_EQ(FileSha256(dir.File("abc"), csError), cases[1].szDigest);
    EXPECT_EQ(FileSha256(dir.File("none"), csError), "");
    EXPECT_NE(csError.find("No such file"), std::string::npos) << csError;
    // What put in the capture's place is no file: said at once, never read
    // (a FIFO that nothing writes held the report for good, /dev/zero never ends).
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    for (const std::string& cs :
        { dir.File("fifo"), std::string("/dev/zero"), dir.Path().string() }) {
        csError.clear();
        EXPECT_EQ(FileSha256(cs, csError), "") << cs;
        EXPECT_EQ(csError, cs + ": not a file");
    }
}

// BACnet/IP from station uFrom to uTo (10.0.0.N, MAC 02:76:6d:0a:00:0N).
Bytes IpFrame(uint8_t uFrom, uint8_t uTo, const std::string& csNpduApdu)
{
    Bytes frame = BacnetIp(0x0a, Hex(csNpduApdu));
    frame[5] = uTo;
    frame[11] = uFrom;
    frame[29] = uFrom;
    frame[33] = uTo;
    return frame;
}

// The headline is styled by the same verdicts it counts: any request
// unanswered or differing fails it.
TEST(ReportTest, TheHeadlineFailsWithAnyRequestFailed)
{
    const std::string csRead5 = "01 04 00 05 05 0c 0c 00000001 19 55";
    const std::string csRead6 = "01 04 00 05 06 0c 0c 00000001 19 55";
    const std::string csAck5 = "01 00 30 05 0c 0c 00000001 19 55 3e 44 41ac0000 3f";
    struct SRow {
        const char* szName;
        std::vector<judge::SJudgedFrame> requests;
        std::vector<judge::SJudgedFrame> heard;
        std::string csHeadline; // the whole element
        std::vector<judge::SJudgedFrame> capture = {}; // with --expect captured
        const char* szBar = ""; // a part of the verdicts' bar
    };
    const std::string csAck5Warmer = "01 00 30 05 0c 0c 00000001 19 55 3e 44 41b00000 3f";
    const std::vector<judge::SJudgedFrame> capture
        = { { 0, 0, IpFrame(1, 2, csRead5) }, { 1, 0, IpFrame(2, 1, csAck5) } };
    const std::vector<SRow> rows = {
        { "every request answered", { { 0, kS, IpFrame(1, 2, csRead5) } },
            { { 0, kS + kMs, IpFrame(2, 1, csAck5) } },
            "<h1 id=headline class=pass>PASS: 1 request: 1 answered</h1>" },
        { "one request unanswered",
            { { 0, kS, IpFrame(1, 2, csRead5) }, { 1, kS + kMs, IpFrame(1, 2, csRead6) } },
            { { 0, kS + kMs / 2, IpFrame(2, 1, csAck5) } },
            "<h1 id=headline class=fail>FAIL: 2 requests: 1 answered, 1 unanswered</h1>" },
        // A run that judged no request is no pass.
        { "nothing that asks", {}, {},
            "<h1 id=headline class=none>Nothing tested: 0 requests</h1>" },
        // An input warmer than recorded: counted apart, in its own colour, no failure.
        { "a value changed", { { 0, kS, IpFrame(1, 2, csRead5) } },
            { { 0, kS + kMs, IpFrame(2, 1, csAck5Warmer) } },
            "<h1 id=headline class=pass>PASS: 1 request: 1 value changed</h1>", capture,
            "<span class=v-value-changed data-verdict=value-changed data-count=1 " },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        const judge::SJudgement j
            = judge::Judge(row.requests, row.heard, row.capture.empty() ? nullptr : &row.capture);
        std::vector<SHeardFrame> heard;
        for (const judge::SJudgedFrame& f : row.heard)
            heard.push_back({ f.llNs, static_cast<uint32_t>(f.bytes.size()), f.bytes });
        const std::string csHtml = ReportHtml(SReportFacts(), j, heard, nullptr);
        const size_t nAt = csHtml.find("<h1 ");
        ASSERT_NE(nAt, std::string::npos);
        EXPECT_EQ(csHtml.substr(nAt, csHtml.find("</h1>", nAt) + 5 - nAt), row.csHeadline);
        EXPECT_NE(csHtml.find(row.szBar), std::string::npos);
    }
}

// The progress line both shells show while a Send runs.
TEST(ProgressTest, PlansAndLines)
{
    SReplayRequest all;
    SReplayRequest chosen;
    chosen.eMode = EReplayMode::Selection;
    chosen.selection = { 1, 2, 5, 9 };
    chosen.pace.llLoops = 3;
    chosen.pace.ePace = EPace::PacketsPerSecond;
    chosen.pace.dRate = 2;
    SReplayRequest single;
    single.eMode = EReplayMode::Single;
    single.pace = chosen.pace; // ignored: one record, once
    SReplayRequest endless = all;
    endless.pace.llLoops = 0;
    endless.pace.ePace = EPace::PacketsPerSecond;
    endless.pace.dRate = 100;
    struct SCase {
        const char* szName;
        SReplayRequest request;
        uint64_t uRecords;
        int iHandled;
        int64_t llRound;
        double dElapsedS;
        std::string csLine;
    };
    const std::vector<SCase> cases = {
        { "all, at the start", all, 1000, 0, 0, 0, "0 of 1000 records" },
        { "all, a rate after a second", all, 1000, 120, 0, 2, "120 of 1000 records, 60 packets/s" },
        { "one record", all, 1, 1, 0, 0, "1 of 1 record" },
        { "count unknown", all, 0, 7, 0, 0, "7 records" },
        // 4 chosen x 3 rounds at 2/s: 7 left take 3.5 s, said as 0:04.
        { "paced rounds", chosen, 1000, 5, 2, 2.5,
            "5 of 12 records, round 2 of 3, 2 packets/s, 0:04 left" },
        { "single ignores the timing", single, 1000, 0, 0, 0, "0 of 1 record" },
        { "until stopped: no total, no time left", endless, 50, 120, 3, 1.2,
            "120 records, round 3, 100 packets/s" },
    };
    for (const SCase& c : cases) {
        SReplayCounts counts;
        counts.iHandled = c.iHandled;
        counts.llRound = c.llRound;
        EXPECT_EQ(
            ProgressLine(ProgressPlanOf(c.request, c.uRecords), counts, c.dElapsedS), c.csLine)
            << c.szName;
    }
    // An hour and more reads as hours.
    SProgressPlan slow { 7200, 1, 1 };
    SReplayCounts counts;
    EXPECT_EQ(ProgressLine(slow, counts, 0), "0 of 7200 records, 2:00:00 left");
}

} // namespace
