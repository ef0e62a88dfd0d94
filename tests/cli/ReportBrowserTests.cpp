// velmora-replay --report against the scripted responder, then the report as
// a browser shows it: headless chromium's DOM against the TSV lines, its
// console, the requests it made, and a screenshot.
#include "Child.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "TestDevices.h"
#include "TestSupport.h"
#include "tools/CaptureWriter.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

using namespace velmora;
using namespace vtest;
using namespace std::chrono_literals;

namespace {

// Station N is 10.0.0.N:47808, MAC 02:76:6d:0a:00:0N; 1 is us, 2 the device.
// Checksums right: the responder hears as a device's kernel does.
Bytes Ip(uint8_t uFrom, uint8_t uTo, const Bytes& npduApdu)
{
    Bytes frame = BacnetIp(0x0a, npduApdu);
    frame[5] = uTo;
    frame[11] = uFrom;
    frame[29] = uFrom;
    frame[33] = uTo;
    return WithChecksums(frame);
}

Bytes ReadPv(uint8_t uInvoke)
{
    return Cat({ Hex("01 04 00 05"), { uInvoke }, Hex("0c 0c 00000001 19 55") });
}

Bytes Ack(uint8_t uInvoke)
{
    return Cat({ Hex("01 00 30"), { uInvoke }, Hex("0c 0c 00000001 19 55 3e 44 41ac0000 3f") });
}

std::string ReadText(const std::string& csPath)
{
    std::ifstream in(csPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Unescape(std::string cs)
{
    cs = std::regex_replace(cs, std::regex("<[^>]*>"), "");
    const std::pair<const char*, const char*> entities[]
        = { { "&lt;", "<" }, { "&gt;", ">" }, { "&quot;", "\"" }, { "&amp;", "&" } };
    for (const auto& [szFrom, szTo] : entities)
        cs = std::regex_replace(cs, std::regex(szFrom), szTo);
    return cs;
}

// The rows of the DOM's request table as TSV lines: record, request, answer,
// verdict (its summary when it opens), round trip.
std::string DomRows(const std::string& csDom)
{
    const size_t nBody = csDom.find("<tbody>", csDom.find("<table id=\"requests\""));
    const size_t nEnd = csDom.rfind("</tbody>");
    if (nBody == std::string::npos || nEnd == std::string::npos)
        return "no table body";
    const std::string csBody = csDom.substr(nBody, nEnd - nBody);
    std::string csLines;
    const std::regex row("<tr class=\"v-[a-z-]+\">([\\s\\S]*?)</tr>\\s*(?=<tr class=\"v-|$)");
    const std::regex cell("<td[^>]*>([\\s\\S]*?)</td>");
    for (std::sregex_iterator it(csBody.begin(), csBody.end(), row), end; it != end; ++it) {
        const std::string csRow = (*it)[1];
        std::vector<std::string> cells;
        // The verdict cell's table of fields has cells of its own: take the
        // summary in their stead.
        const std::string csFlat = std::regex_replace(csRow,
            std::regex("<details><summary>([\\s\\S]*?)</summary>[\\s\\S]*?</details>"), "$1");
        for (std::sregex_iterator c(csFlat.begin(), csFlat.end(), cell), e; c != e; ++c)
            cells.push_back(Unescape((*c)[1]));
        if (cells.size() < 6)
            return "a row of " + std::to_string(cells.size()) + " cells: " + csRow;
        csLines += cells[0] + "\t" + cells[1] + "\t" + cells[2] + "\t" + cells[3] + "\t" + cells[4]
            + "\n";
    }
    return csLines;
}

const char* const kChromium = "/usr/bin/chromium";

std::vector<std::string> Chromium(const std::string& csProfile)
{
    return { kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
        "--no-first-run", "--disable-background-networking", "--disable-component-update",
        "--disable-sync", "--user-data-dir=" + csProfile, "--host-resolver-rules=MAP * ~NOTFOUND",
        "--enable-logging=stderr", "--v=0" };
}

TEST(ReportBrowserTest, TheBrowserShowsWhatTheTsvSays)
{
    CNetns ns("clireport");
    VTEST_REQUIRE_NETNS(ns);
    CTempDir dir;
    {
        // 5 answered as recorded, 6 silent, 7 an Error where an ACK was recorded.
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(dir.File("c<&>.pcap")));
        for (const Bytes& frame : { Ip(1, 2, ReadPv(5)), Ip(2, 1, Ack(5)), Ip(1, 2, ReadPv(6)),
                 Ip(1, 2, ReadPv(7)), Ip(2, 1, Ack(7)) })
            ASSERT_TRUE(writer.Write(frame));
        ASSERT_TRUE(writer.Close());
    }
    CChild responder(
        { VELMORA_RESPONDER, CNetns::PeerIf(), "invoke=6=silent", "invoke=7=error=2,32" },
        dir.Path().string(), ns.Name());
    for (int i = 0; i < 200 && responder.Out().find("ready") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(responder.Out().find("ready"), std::string::npos) << responder.Err();
    CChild command({ VELMORA_REPLAY_EXE, "-i", CNetns::SendIf(), "--listen=0.3", "--expect",
                       "captured", "--requests-only", "--junit", "j.xml", "--report", "report.html",
                       "--no-converse", "c<&>.pcap" },
        dir.Path().string(), ns.Name());
    ASSERT_EQ(command.Wait(), 4) << command.Err();
    responder.Signal(SIGTERM);
    responder.Wait();
    EXPECT_EQ(ResponderDropped(responder.Out()), 0) << responder.Out();
    const std::string csTsv = command.Out();
    ASSERT_EQ(std::count(csTsv.begin(), csTsv.end(), '\n'), 3) << csTsv;
    const std::string csHtml = ReadText(dir.File("report.html"));
    // Self-contained: nothing to fetch, in any attribute or style.
    EXPECT_FALSE(std::regex_search(csHtml, std::regex("(src|href)\\s*=|url\\(|@import|https?://")))
        << "the report refers to something outside it";
    // The figures of standard error are the report's.
    const std::string csErr = command.Err();
    const size_t nSummary = csErr.find("3 packets sent; ");
    ASSERT_NE(nSummary, std::string::npos) << csErr;
    const std::string csSummary = csErr.substr(nSummary, csErr.find('\n', nSummary) - nSummary);
    EXPECT_NE(csHtml.find("<p id=summary>" + csSummary + "</p>"), std::string::npos) << csSummary;
    EXPECT_NE(csHtml.find("Exit status<td>4 ("), std::string::npos);
    EXPECT_NE(csHtml.find("c&lt;&amp;&gt;.pcap"), std::string::npos);

    if (!std::filesystem::exists(kChromium))
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it): the "
                        "report was checked as text only";
    // The browser runs inside the namespace too: no route leads out of it.
    std::vector<std::string> dump = Chromium(dir.File("profile"));
    dump.push_back("--dump-dom");
    dump.push_back("file://" + dir.File("report.html"));
    CChild browser(dump, dir.Path().string(), ns.Name());
    ASSERT_EQ(browser.Wait(120s), 0) << browser.Err();
    const std::string csDom = browser.Out();
    // The rows are the TSV's lines, in order.
    EXPECT_EQ(DomRows(csDom), csTsv);
    // The bar's counts are the TSV's verdicts, counted.
    std::map<std::string, int> tsvCounts;
    std::istringstream lines(csTsv);
    for (std::string cs; std::getline(lines, cs);) {
        std::string csVerdict = cs.substr(0, cs.rfind('\t'));
        csVerdict = csVerdict.substr(csVerdict.rfind('\t') + 1);
        ++tsvCounts[csVerdict.substr(0, csVerdict.find(' '))];
    }
    std::map<std::string, int> domCounts;
    const std::regex bar("data-verdict=\"([a-z-]+)\" data-count=\"([0-9]+)\"");
    for (std::sregex_iterator it(csDom.begin(), csDom.end(), bar), end; it != end; ++it)
        domCounts[(*it)[1]] = std::stoi((*it)[2]);
    EXPECT_EQ(domCounts, tsvCounts);
    EXPECT_EQ(tsvCounts,
        (std::map<std::string, int> { { "ok", 1 }, { "unanswered", 1 }, { "differs", 1 } }));
    // Its script ran without a word on the console, and asked for nothing.
    EXPECT_EQ(browser.Err().find(":CONSOLE("), std::string::npos) << browser.Err();
    EXPECT_FALSE(std::regex_search(browser.Err(), std::regex("ERR_NAME_NOT_RESOLVED|net::ERR_")))
        << browser.Err();
    // The differing row opens to the fields side by side, the Error's marked.
    EXPECT_TRUE(std::regex_search(csDom, std::regex("<tr class=\"d\"><td[^>]*>Error Class")))
        << csDom.substr(csDom.find("<details>"), 3000);

    std::vector<std::string> shot = Chromium(dir.File("profile2"));
    shot.push_back("--screenshot=" + dir.File("shot.png"));
    shot.push_back("--window-size=1280,1400");
    shot.push_back("file://" + dir.File("report.html"));
    CChild camera(shot, dir.Path().string(), ns.Name());
    ASSERT_EQ(camera.Wait(120s), 0) << camera.Err();
    const std::string csPng = ReadText(dir.File("shot.png"));
    ASSERT_GT(csPng.size(), 10000u);
    EXPECT_EQ(csPng.substr(0, 8), "\x89PNG\r\n\x1a\n");
    // For a person to look at: VELMORA_KEEP_SHOT=/tmp/shot.png keeps it, and the report beside it.
    if (const char* szKeep = std::getenv("VELMORA_KEEP_SHOT")) {
        std::filesystem::copy_file(
            dir.File("shot.png"), szKeep, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(dir.File("report.html"), std::string(szKeep) + ".html",
            std::filesystem::copy_options::overwrite_existing);
    }
}

} // namespace
