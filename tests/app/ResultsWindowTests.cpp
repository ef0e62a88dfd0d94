// The window's listening, end to end: Send options on, Send in the main
// window against the scripted responder in a namespace, then the status
// line, the results rows, the answer's fields and bytes, the filter and
// "Save answers...". And a Stop during the wait after the last frame.
#include "Child.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "TestDevices.h"
#include "TestSupport.h"
#include "app/QtPlatform.h"
#include "app/ReplayDlg.h"
#include "app/ResultsWnd.h"
#include "app/RoundTripPlot.h"
#include "tools/CaptureWriter.h"
#include "web/MakerSite.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <regex>
#include <sys/stat.h>
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

class CSaveAs final : public IFileDialog {
public:
    CSaveAs() { SetFileDialog(this); }
    ~CSaveAs() override { SetFileDialog(nullptr); }
    std::string GetOpenFileName(QWidget*) override { return std::string(); }
    std::string GetSaveFileName(QWidget*, const std::string& csSuggested) override
    {
        csOffered = csSuggested;
        return csAnswer;
    }
    std::string csOffered;
    std::string csAnswer;
};

std::vector<Bytes> PcapFrames(const std::string& csPath)
{
    std::vector<Bytes> frames;
    char szErr[PCAP_ERRBUF_SIZE];
    pcap_t* h = pcap_open_offline(csPath.c_str(), szErr);
    if (!h)
        return frames;
    pcap_pkthdr* pHdr;
    const u_char* pData;
    while (pcap_next_ex(h, &pHdr, &pData) == 1)
        frames.emplace_back(pData, pData + pHdr->caplen);
    pcap_close(h);
    return frames;
}

std::string Timeless(const std::string& cs)
{
    const std::string out = std::regex_replace(cs,
        std::regex("round trip min [0-9.]+, median [0-9.]+, p95 [0-9.]+, max [0-9.]+ ms"),
        "round trip ms");
    return std::regex_replace(out, std::regex("[0-9]+\\.[0-9]{3} ms"), "ms");
}

// A capture, a responder on the peer end and a main window on vm0 with
// listening set in send-options.ini, as a user who ticked it last time.
class ResultsWindowTest : public ::testing::Test, protected CSandbox {
protected:
    ResultsWindowTest() { SetMakerHostForTesting("127.0.0.1:9"); }
    ~ResultsWindowTest() override
    {
        m_pDlg.reset();
        if (m_pResponder) {
            m_pResponder->Signal(SIGTERM);
            m_pResponder->Wait();
            EXPECT_EQ(ResponderDropped(m_pResponder->Out()), 0) << m_pResponder->Out();
        }
        SetMakerHostForTesting("");
    }
    void Start(const std::vector<Bytes>& capture, const std::vector<std::string>& rules,
        const std::string& csListen)
    {
        const std::string csCapture = m_dir.File("c.pcap");
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(csCapture));
        for (const Bytes& frame : capture)
            ASSERT_TRUE(writer.Write(frame));
        ASSERT_TRUE(writer.Close());
        std::vector<std::string> args = { VELMORA_RESPONDER, CNetns::PeerIf() };
        args.insert(args.end(), rules.begin(), rules.end());
        m_pResponder = std::make_unique<CChild>(args, m_dir.Path().string(), m_ns.Name());
        for (int i = 0; i < 200 && m_pResponder->Out().find("ready") == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_NE(m_pResponder->Out().find("ready"), std::string::npos) << m_pResponder->Err();
        WriteFile(m_dir.File("settings.ini"),
            "[Velmora]\r\nAutoUpdate=0\r\nMode=1\r\nOldPath=" + csCapture
                + "\r\nNicDevice=vm0\r\n");
        WriteFile(m_dir.File("send-options.ini"), "[Listen]\r\n" + csListen);
        m_pDlg = std::make_unique<CReplayDlg>();
        m_pDlg->OnInitDialog();
        m_pDlg->Timer1().stop();
        m_pDlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pDlg.get()));
    }

    CNetns m_ns { "reswin" };
    std::unique_ptr<CChild> m_pResponder;
    std::unique_ptr<CReplayDlg> m_pDlg;
};

const std::string kRp = "readProperty[ %] analog-input,1 present-value";
std::string Rp(int i)
{
    return std::regex_replace(kRp, std::regex("%"), std::to_string(i));
}
const std::string kAck5 = "readProperty-ACK[ 5] analog-input,1 present-value = 21.5";
const std::string kAck7 = "readProperty-ACK[ 7] analog-input,1 present-value = 21.5";

TEST_F(ResultsWindowTest, SendThroughToTheRowsAndTheStatusLine)
{
    VTEST_REQUIRE_NETNS(m_ns);
    CEnterNetns enter(m_ns);
    ASSERT_TRUE(enter.Ok());
    // The conversation from the client's side: 5 answered as recorded, 6 not
    // at all, 7 with an Error where the capture holds an ACK. Open loop, so
    // that the responder knows each request by its captured invoke ID.
    Start({ Ip(1, 2, ReadPv(5)), Ip(2, 1, Ack(5)), Ip(1, 2, ReadPv(6)), Ip(1, 2, ReadPv(7)),
              Ip(2, 1, Ack(7)) },
        { "invoke=6=silent", "invoke=7=error=2,32" },
        "Listen=1\r\nWait=0.3\r\nExpectCaptured=1\r\nRequestsOnly=1\r\nConverse=0\r\n");
    const std::string csNotice = "Listening for answers until 0.3 s after the last frame, "
                                 "expecting the captured answers, requests only";
    // Before Send the status line says the next Send listens.
    EXPECT_EQ(m_pDlg->StatusText(), csNotice);
    EXPECT_EQ(m_pDlg->ResultsWindow(), nullptr);

    QTest::mouseClick(m_pDlg->Controls().pSend, Qt::LeftButton);

    const std::string csSummary = "3 packets sent; 3 requests: 2 answered (1 ok, 1 differs), 1 "
                                  "unanswered; round trip ms; 2 records skipped (not requests)";
    EXPECT_EQ(Timeless(m_pDlg->StatusText()), csSummary + ". " + csNotice);
    EXPECT_EQ(
        Timeless(m_pDlg->Controls().pStatus->text().toStdString()), csSummary + ". " + csNotice);
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(m_box.shown[0].csText, "3 Packets have been sent");

    CResultsWnd* pResults = m_pDlg->ResultsWindow();
    ASSERT_NE(pResults, nullptr);
    EXPECT_TRUE(pResults->isVisible());
    EXPECT_EQ(Timeless(pResults->SummaryLine().toStdString()), "c.pcap: " + csSummary);
    QTableWidget* pTable = pResults->Table();
    std::string csRows;
    EXPECT_EQ(
        pResults->HeadlineText().toStdString(), "FAIL: 3 requests: 1 ok, 1 differs, 1 unanswered");
    // One round: no round column.
    EXPECT_TRUE(pTable->isColumnHidden(CResultsWnd::Round));
    for (int i = 0; i < pTable->rowCount(); ++i) {
        for (int iColumn = 0; iColumn < CResultsWnd::kColumns; ++iColumn) {
            if (!pTable->isColumnHidden(iColumn))
                csRows += (iColumn ? "|" : "") + pTable->item(i, iColumn)->text().toStdString();
        }
        const bool bMarked = pTable->item(i, 0)->background().style() != Qt::NoBrush;
        csRows += bMarked ? " [marked]\n" : "\n";
    }
    EXPECT_EQ(Timeless(csRows),
        "0|" + Rp(5) + "|" + kAck5 + "|ok|ms|" + kAck5 + "\n" + "2|" + Rp(6)
            + "|-|unanswered|-| [marked]\n" + "3|" + Rp(7)
            + "|Error[ 7] readProperty property: unknown-property|differs (Error readProperty "
              "property: unknown-property; recorded readProperty-ACK)|ms|"
            + kAck7 + " [marked]\n");

    // The verdict column shows "unanswered" whole (and its icon), not "unans...".
    const QFontMetrics metrics(pTable->font());
    EXPECT_GE(pTable->columnWidth(CResultsWnd::Verdict),
        metrics.horizontalAdvance(pTable->item(1, CResultsWnd::Verdict)->text()) + 16);
    // The first failure is selected; then the first row: its answer's fields and bytes.
    EXPECT_EQ(pTable->currentRow(), 1);
    pTable->selectRow(0);
    ASSERT_EQ(pTable->currentRow(), 0);
    std::vector<std::string> layers;
    for (int i = 0; i < pResults->FieldTree()->topLevelItemCount(); ++i)
        layers.push_back(pResults->FieldTree()->topLevelItem(i)->text(0).toStdString());
    ASSERT_GE(layers.size(), 4u);
    EXPECT_EQ(layers[1].rfind("Ethernet II", 0), 0u) << layers[1];
    EXPECT_EQ(layers.back().rfind("APDU", 0), 0u) << layers.back();
    // Answered to us (station 1) by the device (station 2).
    EXPECT_EQ(pResults->HexView()->toPlainText().left(41).toStdString(),
        "0000  02 76 6d 0a 00 01 02 76 6d 0a 00 02");
    // The unanswered row has no bytes to show, and says so.
    pTable->selectRow(1);
    EXPECT_EQ(pResults->FieldTree()->topLevelItemCount(), 0);
    EXPECT_EQ(pResults->HexView()->toPlainText().toStdString(), "No answer was heard to record 2.");

    // The differences by kind above the table, each opening to its rows; a
    // row picked there is picked in the table.
    QTreeWidget* pGroups = pResults->Groups();
    ASSERT_TRUE(pGroups->isVisible());
    std::vector<std::string> groups;
    for (int i = 0; i < pGroups->topLevelItemCount(); ++i)
        groups.push_back(pGroups->topLevelItem(i)->text(0).toStdString() + " / "
            + std::to_string(pGroups->topLevelItem(i)->childCount()));
    EXPECT_EQ(groups,
        (std::vector<std::string> { "1 \u00d7 unanswered readProperty / 1",
            "1 \u00d7 Error property/unknown-property where the capture has an ACK / 1" }));
    pGroups->setCurrentItem(pGroups->topLevelItem(1)->child(0));
    EXPECT_EQ(pTable->currentRow(), 2);
    // The differing answer beside the recorded one: BACnet content only,
    // the differing fields first, no invoke ID.
    QTableWidget* pCompare = pResults->Comparison();
    ASSERT_TRUE(pCompare->isVisible());
    ASSERT_GE(pCompare->rowCount(), 2);
    EXPECT_NE(pCompare->item(0, 0)->background().style(), Qt::NoBrush);
    for (int i = 0; i < pCompare->rowCount(); ++i) {
        EXPECT_NE(pCompare->item(i, 0)->text().trimmed().toStdString(), "Invoke ID");
        EXPECT_FALSE(pCompare->item(i, 0)->text().contains(QStringLiteral("Address")))
            << pCompare->item(i, 0)->text().toStdString();
    }
    EXPECT_GE(pCompare->width(), pResults->width() * 8 / 10);
    EXPECT_GE(pCompare->height(), pCompare->verticalHeader()->defaultSectionSize() * 3);
    // Large enough to read: a good part of the screen, many rows of the table.
    const QRect screen = pResults->screen()->availableGeometry();
    EXPECT_GE(pResults->width(), std::min(screen.width(), 1100));
    EXPECT_GE(pResults->height(), std::min(screen.height(), 700));
    EXPECT_GE(pTable->height(), pResults->height() * 3 / 10);
    pTable->selectRow(0);

    // The filter finds the failures by their words.
    struct SFilter {
        const char* szText;
        int iRows;
    };
    for (const SFilter& f : std::vector<SFilter> { { "differs", 1 }, { "unanswered", 1 },
             { "unknown property", 1 }, { "read-property", 3 }, { "no such", 0 }, { "", 3 } }) {
        pResults->FilterField()->setText(QString::fromLatin1(f.szText));
        EXPECT_EQ(pResults->VisibleRows(), f.iRows) << f.szText;
    }

    // The plot: a dot for each answered row, a mark for the unanswered one;
    // the filter thins it as it thins the table, and a click on a dot
    // selects its row.
    CRoundTripPlot* pPlot = pResults->Plot();
    pPlot->LayOut();
    auto Dots = [&] {
        std::string cs;
        for (const SPlotDot& d : pPlot->Scatter().dots)
            cs += std::to_string(d.nLine) + (d.bUnanswered ? "u " : " ");
        return cs;
    };
    EXPECT_EQ(Dots(), "0 2 1u ");
    EXPECT_EQ(pPlot->Histogram().stats.nCount, 2u);
    pResults->FilterField()->setText(QStringLiteral("differs"));
    EXPECT_EQ(Dots(), "2 ");
    EXPECT_EQ(pPlot->Histogram().stats.nCount, 1u);
    pResults->FilterField()->clear();
    EXPECT_EQ(Dots(), "0 2 1u ");
    for (const size_t nLine : { 2u, 0u, 1u }) {
        const SPlotDot& dot = *std::find_if(pPlot->Scatter().dots.begin(),
            pPlot->Scatter().dots.end(), [&](const SPlotDot& d) { return d.nLine == nLine; });
        QTest::mouseClick(pPlot, Qt::LeftButton, {},
            QPoint(static_cast<int>(std::lround(dot.dX)), static_cast<int>(std::lround(dot.dY))));
        EXPECT_EQ(pTable->currentRow(), static_cast<int>(nLine));
    }

    // A filter that hides the selected row moves the details to a row it shows.
    pTable->selectRow(0);
    pResults->FilterField()->setText(QStringLiteral("differs"));
    EXPECT_EQ(pTable->currentRow(), 2);
    EXPECT_TRUE(pResults->HexView()->toPlainText().contains(QStringLiteral(" 50 07 0c ")))
        << pResults->HexView()->toPlainText().toStdString();
    pResults->FilterField()->clear();

    // Save answers: the two frames heard, as a pcap.
    CSaveAs save;
    save.csAnswer = m_dir.File("heard.pcap");
    QTest::mouseClick(pResults->SaveButton(), Qt::LeftButton);
    EXPECT_EQ(save.csOffered, m_dir.File("c-answers.pcap"));
    const std::vector<Bytes> frames = PcapFrames(save.csAnswer);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Bytes(frames[0].begin() + 42, frames[0].end()).size(), Ack(5).size() + 4);
    EXPECT_EQ(frames[1][42 + 4 + 2], 0x50); // BVLC, NPDU, then the Error PDU
    EXPECT_EQ(pResults->NoteLine().toStdString(), "2 frames heard saved in " + save.csAnswer);
    // A path that cannot be written says why and leaves nothing.
    save.csAnswer = m_dir.File("no/such/folder/heard.pcap");
    QTest::mouseClick(pResults->SaveButton(), Qt::LeftButton);
    EXPECT_EQ(pResults->NoteLine().toStdString().rfind("Not saved: ", 0), 0u)
        << pResults->NoteLine().toStdString();
    // A FIFO that nothing reads says so at once: the window is not held in open().
    const std::string csFifo = m_dir.File("fifo");
    ASSERT_EQ(::mkfifo(csFifo.c_str(), 0600), 0);
    save.csAnswer = csFifo;
    QTest::mouseClick(pResults->SaveButton(), Qt::LeftButton);
    EXPECT_EQ(
        pResults->NoteLine().toStdString(), "Not saved: " + csFifo + ": a FIFO that nothing reads");

    // For a person to look at: VELMORA_RESULTS_SHOT=/tmp/results.png keeps a picture.
    if (const char* szShot = std::getenv("VELMORA_RESULTS_SHOT"))
        pResults->grab().save(QString::fromLocal8Bit(szShot));

    // Save report: the file holds the headline, the summary and a row per line.
    save.csAnswer = m_dir.File("report.html");
    QTest::mouseClick(pResults->SaveReportButton(), Qt::LeftButton);
    EXPECT_EQ(save.csOffered, m_dir.File("c-report.html"));
    EXPECT_EQ(pResults->NoteLine().toStdString(), "Report saved in " + save.csAnswer);
    const std::string csHtml = ReadFile(save.csAnswer);
    EXPECT_NE(csHtml.find(">FAIL: 3 requests: 1 ok, 1 differs, 1 unanswered<"), std::string::npos);
    EXPECT_NE(csHtml.find("<p id=summary>" + pResults->SummaryLine().mid(8).toStdString()),
        std::string::npos);
    EXPECT_NE(csHtml.find("Records<td>5<"), std::string::npos);
    EXPECT_NE(csHtml.find("<table id=requests data-rows=3>"), std::string::npos);
    save.csAnswer = csFifo;
    QTest::mouseClick(pResults->SaveReportButton(), Qt::LeftButton);
    EXPECT_EQ(
        pResults->NoteLine().toStdString(), "Not saved: " + csFifo + ": a FIFO that nothing reads");

    // Capture > Results brings the same window back after it was closed.
    pResults->close();
    QAction* pMenu = m_pDlg->findChild<QAction*>(QStringLiteral("menuResults"));
    ASSERT_NE(pMenu, nullptr);
    pMenu->trigger();
    EXPECT_EQ(m_pDlg->ResultsWindow(), pResults);
    EXPECT_TRUE(pResults->isVisible());
    EXPECT_EQ(pTable->rowCount(), 3);
}

// A long wait after the last frame ends at once on Stop; the window stays
// responsive meanwhile and says it is listening.
TEST_F(ResultsWindowTest, StopEndsTheWaitAtOnce)
{
    struct SRow {
        const char* szName;
        int iRequests;
        std::vector<std::string> rules;
        std::string csListen;
        std::string csDuring; // the status line 400 ms in: a regular expression
        std::string csBar; // the progress bar then
        std::string csAfter;
    };
    const std::vector<SRow> rows = {
        { "the wait after the last frame", 1, {}, "Listen=1\r\nWait=30\r\n",
            "Listening for answers: 1 heard, 2[0-9]\\.[0-9] s left", "1 of 1 record (1/1)",
            "1 packet sent; 1 request: 1 answered, 0 unanswered; round trip ms (listening "
            "stopped early). Listening for answers until 30 s after the last frame" },
        // Conversing: the second request waits up to 3 s for the first's answer.
        { "a conversing Send waiting for an answer", 2, { "default=silent" },
            "Listen=1\r\nWait=1\r\n",
            "1 packets? sent, request 1 of 2, waiting for the answer \\(0\\.[2-9] s\\)",
            "1 of 2 records (1/2)",
            // Cut short by the stop before its time-out: stopped, not unanswered.
            "Stopped after 1 packet. 1 packet sent; 1 request: 0 answered, 0 unanswered, 1 "
            "stopped. Listening for answers until 1 s after the last frame" },
    };
    for (const SRow& row : rows) {
        SCOPED_TRACE(row.szName);
        VTEST_REQUIRE_NETNS(m_ns);
        CEnterNetns enter(m_ns);
        ASSERT_TRUE(enter.Ok());
        if (m_pResponder) {
            m_pResponder->Signal(SIGTERM);
            m_pResponder->Wait();
            EXPECT_EQ(ResponderDropped(m_pResponder->Out()), 0) << m_pResponder->Out();
        }
        m_pDlg.reset();
        Start(std::vector<Bytes>(static_cast<size_t>(row.iRequests), Ip(1, 2, ReadPv(5))),
            row.rules, row.csListen);
        std::string csDuring;
        std::chrono::steady_clock::time_point stopped;
        std::string csBar;
        QRect statusDuring;
        const QRect statusBefore = m_pDlg->Controls().pStatus->geometry();
        QTimer::singleShot(400, m_pDlg.get(), [&] {
            csDuring = m_pDlg->Controls().pStatus->text().toStdString();
            if (m_pDlg->ProgressBar()->isVisible())
                csBar = m_pDlg->ProgressBar()->text().toStdString() + " ("
                    + std::to_string(m_pDlg->ProgressBar()->value()) + "/"
                    + std::to_string(m_pDlg->ProgressBar()->maximum()) + ")";
            statusDuring = m_pDlg->Controls().pStatus->geometry();
            stopped = std::chrono::steady_clock::now();
            QTest::mouseClick(m_pDlg->Controls().pSend, Qt::LeftButton); // reads Stop
        });
        const auto start = std::chrono::steady_clock::now();
        QTest::mouseClick(m_pDlg->Controls().pSend, Qt::LeftButton);
        const auto end = std::chrono::steady_clock::now();
        ASSERT_NE(stopped, std::chrono::steady_clock::time_point());
        EXPECT_LT(end - stopped, 200ms);
        EXPECT_LT(end - start, 5s);
        EXPECT_TRUE(std::regex_match(csDuring, std::regex(row.csDuring))) << csDuring;
        // What came before the stop is judged all the same.
        EXPECT_EQ(Timeless(m_pDlg->StatusText()), row.csAfter);
        ASSERT_NE(m_pDlg->ResultsWindow(), nullptr);
        EXPECT_EQ(m_pDlg->ResultsWindow()->Table()->rowCount(), 1);
        EXPECT_EQ(m_pDlg->Controls().pSend->text().toStdString(), "Send");
        // The progress bar stood beside a shorter status line, and went with the Send.
        EXPECT_EQ(csBar, row.csBar);
        EXPECT_LT(statusDuring.width(), statusBefore.width());
        EXPECT_EQ(statusDuring.left(), statusBefore.left());
        EXPECT_FALSE(m_pDlg->ProgressBar()->isVisible());
        EXPECT_EQ(m_pDlg->Controls().pStatus->geometry(), statusBefore);
    }
}

} // namespace
