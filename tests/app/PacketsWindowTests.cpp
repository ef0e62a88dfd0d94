// The Packets window: its list, its reading of bad files, and the two ways it
// drives the main window (Use as offset, Send selected on a veth pair).

#include "Child.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "PeerCapture.h"
#include "TestSupport.h"
#include "app/PacketsWnd.h"
#include "app/QtPlatform.h"
#include "app/ReplayDlg.h"
#include "capture/IndexRows.h"
#include "log/Log.h"
#include "tools/CaptureWriter.h"
#include "web/MakerSite.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTest>
#include <QTreeWidget>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <thread>

using namespace velmora;

using vtest::ReadFile;
using Frames = std::vector<std::vector<uint8_t>>;

namespace {

// Waits until the window has read everything and any filter is through, and
// has taken all they found. Idle is asked before the poll, in the order Poll
// itself uses: a filter that finishes between a poll and the question would
// otherwise say idle with its last matches never taken.
bool WaitIdle(CPacketsWnd& wnd)
{
    return QTest::qWaitFor(
        [&] {
            const bool bIdle = wnd.Idle();
            wnd.Poll();
            return bIdle;
        },
        10000);
}

// Makes iRow the only selected row and the current one, whatever modifier
// the last key event left behind.
void ChooseRow(QTableView* pTable, int iRow)
{
    pTable->selectionModel()->setCurrentIndex(pTable->model()->index(iRow, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

class CScriptedFileDialog final : public IFileDialog {
public:
    CScriptedFileDialog() { SetFileDialog(this); }
    ~CScriptedFileDialog() override { SetFileDialog(nullptr); }
    std::string GetOpenFileName(QWidget*) override { return csAnswer; }
    std::string csAnswer;
};

// Answers for the main window without one: what the window asked for.
class CRecordingOwner final : public IPacketsOwner {
public:
    std::string UseRecordAsOffset(uint64_t uRecord) override
    {
        offsets.push_back(uRecord);
        return "";
    }
    void SendRecordSelection(const std::string& csPath, const CRecordSelection& selection) override
    {
        sends.push_back({ csPath, selection });
    }
    std::vector<uint64_t> offsets;
    std::vector<std::pair<std::string, CRecordSelection>> sends;
};

// A main window in its own folder, initialised as at start-up, no version check.
class PacketsWindowTest : public ::testing::Test, protected vtest::CSandbox {
protected:
    PacketsWindowTest() { SetMakerHostForTesting("127.0.0.1:9"); }
    ~PacketsWindowTest() override
    {
        m_pDlg.reset();
        SetMakerHostForTesting("");
    }
    void Start(const std::string& csSettings)
    {
        vtest::WriteFile(m_dir.File("settings.ini"), "[Velmora]\r\nAutoUpdate=0\r\n" + csSettings);
        m_pDlg = std::make_unique<CReplayDlg>();
        m_pDlg->OnInitDialog();
        m_pDlg->Timer1().stop();
        m_pDlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pDlg.get()));
    }
    // Capture > Packets by its shortcut, read to the end.
    CPacketsWnd* OpenPackets()
    {
        QApplication::setActiveWindow(m_pDlg.get());
        QTest::keyClick(m_pDlg.get(), Qt::Key_L, Qt::ControlModifier);
        CPacketsWnd* pWnd = m_pDlg->PacketsWindow();
        if (pWnd) {
            EXPECT_TRUE(WaitIdle(*pWnd));
        }
        return pWnd;
    }
    std::string Settings() const { return ReadFile(m_dir.File("settings.ini")); }
    std::vector<std::string> PacketRecords() const
    {
        std::vector<std::string> v;
        for (const auto& r : vtest::LogRecords(m_dir.File("Debuglog.txt"))) {
            const std::string cs = vtest::RecordText(r);
            if (cs.size() > 5 && cs[0] == '[' && cs[4] == ']')
                v.push_back(cs.substr(0, 5));
        }
        return v;
    }
    QString Cell(CPacketsWnd& wnd, int iRow, dissect::EColumn column)
    {
        return wnd.Model().index(iRow, wnd.Model().ViewColumn(column)).data().toString();
    }

    CScriptedFileDialog m_files;
    std::unique_ptr<CReplayDlg> m_pDlg;
};

TEST_F(PacketsWindowTest, CaptureMenuFollowsMenuAndOpensTheListOnCtrlL)
{
    ASSERT_TRUE(WriteTestCapture(m_dir.File("frames.pcap"), 20, 60));
    Start("Mode=1\r\nOldPath=" + m_dir.File("other.pcap") + "\r\n");
    const QList<QAction*> menus = m_pDlg->findChild<QMenuBar*>()->actions();
    ASSERT_EQ(menus.size(), 2);
    // Every menu and item has a mnemonic; the titles read as before.
    QStringList texts;
    for (QAction* pMenu : menus) {
        texts << pMenu->text();
        for (QAction* pItem : pMenu->menu()->actions())
            texts << pItem->text();
    }
    EXPECT_EQ(texts.join(QLatin1Char('|')),
        QString::fromUtf8("&Menu|&About|&Help|E&xit|&Capture|&Packets\u2026|&Send "
                          "options\u2026|&Results\u2026|Ser&ve as the captured device\u2026"));
    // F10 opens the first menu, Escape closes it.
    QTest::keyClick(m_pDlg.get(), Qt::Key_F10);
    EXPECT_TRUE(menus[0]->menu()->isVisible());
    QTest::keyClick(menus[0]->menu(), Qt::Key_Escape);
    QTest::keyClick(m_pDlg->findChild<QMenuBar*>(), Qt::Key_Escape);
    EXPECT_FALSE(menus[0]->menu()->isVisible());
    auto* pPackets = m_pDlg->findChild<QAction*>("menuPackets");
    ASSERT_NE(pPackets, nullptr);
    EXPECT_EQ(pPackets->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));

    // The path as typed in the field, not as saved.
    auto* pPath = m_pDlg->Controls().pPath;
    pPath->setText(QString::fromStdString(m_dir.File("frames.pcap")));
    CPacketsWnd* pWnd = OpenPackets();
    ASSERT_NE(pWnd, nullptr);
    EXPECT_TRUE(pWnd->isVisible());
    EXPECT_TRUE(pWnd->isWindow());
    ASSERT_NE(pWnd->windowHandle(), nullptr);
    EXPECT_EQ(pWnd->windowHandle()->transientParent(), m_pDlg->windowHandle());
    EXPECT_FALSE(pWnd->isModal());
    EXPECT_EQ(pWnd->Model().rowCount(), 20);
    EXPECT_EQ(pWnd->StatusLine(), "frames.pcap: 20 records");
    // Capture > Serve: its own window, for the capture in the path field.
    m_pDlg->findChild<QAction*>("menuServe")->trigger();
    ASSERT_NE(m_pDlg->ServeWindow(), nullptr);
    EXPECT_TRUE(m_pDlg->ServeWindow()->isVisible());
    EXPECT_EQ(m_pDlg->ServeWindow()->windowHandle()->transientParent(), m_pDlg->windowHandle());
    EXPECT_NE(m_pDlg->ServeWindow()
                  ->findChild<QLabel*>("serveSource")
                  ->text()
                  .toStdString()
                  .find(m_dir.File("frames.pcap")),
        std::string::npos);
    m_pDlg->ServeWindow()->close();
    EXPECT_EQ(pWnd->windowTitle(), "Packets - frames.pcap");
    // The first row is chosen, its fields and bytes shown.
    EXPECT_EQ(pWnd->Table()->selectionModel()->selectedRows().size(), 1);
    EXPECT_GT(pWnd->FieldTree()->topLevelItemCount(), 0);
    EXPECT_TRUE(pWnd->HexView()->toPlainText().startsWith("0000  02 76 6d"));

    // Browsing to another file while it is open lists that file.
    ASSERT_TRUE(WriteTestCapture(m_dir.File("second.pcap"), 7, 60));
    m_files.csAnswer = m_dir.File("second.pcap");
    m_pDlg->Controls().pBrowse->click();
    ASSERT_TRUE(WaitIdle(*pWnd));
    EXPECT_EQ(pWnd->StatusLine(), "second.pcap: 7 records");

    // Escape closes it; opening again keeps the same window.
    QTest::keyClick(pWnd->Table(), Qt::Key_Escape);
    EXPECT_FALSE(pWnd->isVisible());
    EXPECT_TRUE(m_pDlg->isVisible());
    EXPECT_EQ(OpenPackets(), pWnd);
    EXPECT_TRUE(pWnd->isVisible());
}

TEST_F(PacketsWindowTest, TabGoesThroughTheWindowInReadingOrder)
{
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    ASSERT_TRUE(WriteTestCapture(m_dir.File("f.pcap"), 3, 60));
    wnd.ShowCapture(m_dir.File("f.pcap"));
    wnd.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&wnd));
    ASSERT_TRUE(WaitIdle(wnd));
    wnd.FilterField()->setFocus();
    const std::vector<QWidget*> order { wnd.Table(), wnd.FieldTree(), wnd.HexView(),
        wnd.ShowAimedBox(), wnd.UseAsOffsetButton(), wnd.SendSelectedButton(),
        wnd.findChild<QPushButton*>("close"), wnd.FilterField() };
    for (QWidget* pExpected : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), pExpected)
            << QApplication::focusWidget()->objectName().toStdString();
    }
}

TEST_F(PacketsWindowTest, ModelDecodesOnlyTheRowsAskedFor)
{
    constexpr uint64_t kRecords = 100000;
    ASSERT_TRUE(WriteTestCapture(m_dir.File("big.pcap"), kRecords, 60));
    CCaptureLoader loader(m_dir.File("big.pcap"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return loader.Stage() == CCaptureLoader::EStage::Open
                && loader.Index().State() == dissect::CCaptureIndex::EState::Done;
        },
        10000));
    CPacketModel model;
    model.SetIndex(&loader.Index());
    model.ShowRecords(loader.Index().Count());
    ASSERT_EQ(model.rowCount(), static_cast<int>(kRecords));
    EXPECT_EQ(model.DecodeCount(), 0u);

    // Every column of a row, asked twice, costs one decode; a new row one more.
    for (int iColumn = 0; iColumn < model.columnCount(); ++iColumn)
        for (int iRole : { int(Qt::DisplayRole), int(Qt::BackgroundRole), int(Qt::DisplayRole) })
            model.index(5, iColumn).data(iRole);
    EXPECT_EQ(model.DecodeCount(), 1u);
    EXPECT_EQ(model.index(5, 0).data().toString(), "5");
    EXPECT_EQ(model.index(99999, 0).data().toString(), "99999");
    EXPECT_EQ(model.DecodeCount(), 2u);
    EXPECT_EQ(model.headerData(6, Qt::Horizontal).toString(), "Info");

    // A view scrolled to the end decodes about a screenful, not the file.
    QTableView view;
    view.setModel(&model);
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.resize(600, 400);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.scrollToBottom();
    view.viewport()->repaint();
    QApplication::processEvents();
    const int iVisible
        = view.viewport()->height() / view.verticalHeader()->defaultSectionSize() + 1;
    EXPECT_GT(model.DecodeCount(), 2u + iVisible / 2);
    EXPECT_LE(model.DecodeCount(), 2u + 2 * static_cast<uint64_t>(iVisible));
    EXPECT_EQ(view.indexAt(QPoint(5, view.viewport()->height() - 5)).row(),
        static_cast<int>(kRecords) - 1);
}

TEST_F(PacketsWindowTest, FilterShowsTheMatchingRecordsByTheirOwnNumbers)
{
    ASSERT_TRUE(WriteBacnetIpSample(m_dir.File("ip.pcap")));
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    wnd.ShowCapture(m_dir.File("ip.pcap"));
    ASSERT_TRUE(WaitIdle(wnd));
    ASSERT_EQ(wnd.Model().rowCount(), 8);
    struct Row {
        const char* szFilter;
        std::vector<QString> numbers;
    };
    const Row rows[] = {
        { "Who-Is", { "0" } },
        { "i am", { "1" } },
        { "READ_PROPERTY", { "2", "3", "6", "7" } },
        { "analog-value,2", { "4" } },
        { "no such text anywhere", {} },
        { " - ", { "0", "1", "2", "3", "4", "5", "6", "7" } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szFilter);
        wnd.FilterField()->setText(row.szFilter);
        QTest::keyClick(wnd.FilterField(), Qt::Key_Return);
        ASSERT_TRUE(WaitIdle(wnd));
        std::vector<QString> numbers;
        for (int i = 0; i < wnd.Model().rowCount(); ++i)
            numbers.push_back(Cell(wnd, i, dissect::EColumn::Number));
        EXPECT_EQ(numbers, row.numbers);
        // The details show the first match, or nothing at all.
        EXPECT_EQ(wnd.FieldTree()->topLevelItemCount() > 0, !row.numbers.empty());
        EXPECT_EQ(wnd.HexView()->toPlainText().isEmpty(), row.numbers.empty());
    }
    // Use as offset and Send selected speak of records, not rows.
    wnd.FilterField()->setText("readProperty");
    QTest::keyClick(wnd.FilterField(), Qt::Key_Return);
    ASSERT_TRUE(WaitIdle(wnd));
    ChooseRow(wnd.Table(), 1);
    wnd.UseAsOffsetButton()->click();
    wnd.Table()->selectAll();
    wnd.SendSelectedButton()->click();
    EXPECT_EQ(owner.offsets, std::vector<uint64_t>({ 3 }));
    ASSERT_EQ(owner.sends.size(), 1u);
    EXPECT_EQ(owner.sends[0].first, m_dir.File("ip.pcap"));
    EXPECT_EQ(owner.sends[0].second, CRecordSelection({ 2, 3, 6, 7 }));
}

TEST_F(PacketsWindowTest, AMalformedRecordStandsOutInEveryColumn)
{
    const Frames frames = MakeBacnetIpSampleFrames();
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(m_dir.File("m.pcap")));
    writer.Write(frames[2]);
    // The ACK cut inside its APDU, as a short snapshot length would leave it.
    writer.Write(frames[3].data(), 50, static_cast<uint32_t>(frames[3].size()));
    ASSERT_TRUE(writer.Close());
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    wnd.ShowCapture(m_dir.File("m.pcap"));
    ASSERT_TRUE(WaitIdle(wnd));
    ASSERT_EQ(wnd.Model().rowCount(), 2);
    EXPECT_TRUE(Cell(wnd, 1, dissect::EColumn::Info).endsWith("[malformed]"));
    EXPECT_EQ(Cell(wnd, 1, dissect::EColumn::Length), "50 of 65");
    for (int iColumn = 0; iColumn < dissect::kColumnCount; ++iColumn) {
        EXPECT_FALSE(wnd.Model().index(0, iColumn).data(Qt::BackgroundRole).isValid());
        EXPECT_TRUE(wnd.Model().index(1, iColumn).data(Qt::BackgroundRole).isValid()) << iColumn;
        EXPECT_TRUE(wnd.Model()
                        .index(1, iColumn)
                        .data(Qt::ToolTipRole)
                        .toString()
                        .contains("does not decode"));
    }
}

// A capture taken on the sending host: the UDP checksum its NIC was left to
// fill in is marked, and the tooltip says why it matters.
TEST_F(PacketsWindowTest, AChecksumLeftToTheNicIsMarked)
{
    const Frames frames = MakeBacnetIpSampleFrames();
    std::vector<uint8_t> nic = frames[2];
    nic[14 + 20 + 6] ^= 0x21;
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(m_dir.File("nic.pcap")));
    writer.Write(frames[2]);
    writer.Write(nic);
    ASSERT_TRUE(writer.Close());
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    wnd.ShowCapture(m_dir.File("nic.pcap"));
    ASSERT_TRUE(WaitIdle(wnd));
    ASSERT_EQ(wnd.Model().rowCount(), 2);
    const QString qGood = Cell(wnd, 0, dissect::EColumn::Info);
    EXPECT_FALSE(qGood.contains("[bad"));
    EXPECT_EQ(Cell(wnd, 1, dissect::EColumn::Info), qGood + " [bad UDP checksum]");
    const auto tip = [&](int iRow) {
        return wnd.Model()
            .index(iRow, wnd.Model().ViewColumn(dissect::EColumn::Info))
            .data(Qt::ToolTipRole)
            .toString();
    };
    EXPECT_TRUE(tip(1).contains("a device drops this frame"));
    EXPECT_FALSE(tip(0).contains("a device drops this frame"));
}

TEST_F(PacketsWindowTest, AFieldsBytesAreMarkedInTheHexDump)
{
    ASSERT_TRUE(WriteBacnetIpSample(m_dir.File("ip.pcap")));
    const Frames frames = MakeBacnetIpSampleFrames();
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    wnd.ShowCapture(m_dir.File("ip.pcap"));
    ASSERT_TRUE(WaitIdle(wnd));
    ChooseRow(wnd.Table(), 3);
    const QString qDump = wnd.HexView()->toPlainText();
    EXPECT_EQ(qDump.split('\n').size(), static_cast<int>((frames[3].size() + 15) / 16));
    EXPECT_TRUE(qDump.split('\n').value(1).startsWith("0010  "));

    // Every field with bytes of its own: the marks spell exactly those bytes.
    int iChecked = 0;
    for (QTreeWidgetItemIterator it(wnd.FieldTree()); *it; ++it) {
        const uint32_t uOffset = (*it)->data(0, Qt::UserRole).toUInt();
        const uint32_t uLength = (*it)->data(0, Qt::UserRole + 1).toUInt();
        if (uLength == 0 || uOffset + uLength > frames[3].size())
            continue;
        wnd.FieldTree()->setCurrentItem(*it);
        QString qMarked;
        const auto marks = wnd.HexView()->extraSelections();
        for (int i = 0; i < marks.size(); i += 2) // hex, then text, per line
            qMarked += (qMarked.isEmpty() ? "" : " ") + marks[i].cursor.selectedText();
        QString qExpected;
        for (uint32_t i = uOffset; i < uOffset + uLength; ++i)
            qExpected += QString::asprintf(i == uOffset ? "%02x" : " %02x", frames[3][i]);
        EXPECT_EQ(qMarked, qExpected) << (*it)->text(0).toStdString();
        ++iChecked;
    }
    EXPECT_GT(iChecked, 10);
}

TEST_F(PacketsWindowTest, CaptureErrorsShowAsOneLineWithTheRowsReadSoFar)
{
    const std::vector<uint8_t> frame = MakeTestFrame(60, 0);
    auto write = [&](const std::string& csName, int iGood,
                     const std::function<void(CRawCaptureWriter&)>& tail) {
        CRawCaptureWriter w;
        EXPECT_TRUE(w.Open(m_dir.File(csName)));
        w.FileHeader();
        for (int i = 0; i < iGood; ++i)
            w.Record(frame, 60);
        tail(w);
        EXPECT_TRUE(w.Close());
        return m_dir.File(csName);
    };
    vtest::WriteFile(m_dir.File("text.pcap"), "This is a note, not a capture file at all.\n");
    vtest::WriteFile(m_dir.File("empty.pcap"), "");
    ASSERT_EQ(mkfifo(m_dir.File("fifo.pcap").c_str(), 0600), 0);
    vtest::WriteFile(m_dir.File("ng.pcapng"),
        std::string("\x0a\x0d\x0d\x0a\x1c\x00\x00\x00\x4d\x3c\x2b\x1a", 12));
    struct Row {
        const char* szCase;
        std::string csPath;
        int iRows;
        const char* szSays;
    };
    const Row rows[] = {
        { "not a capture", m_dir.File("text.pcap"), 0, "not a capture" },
        { "empty file", m_dir.File("empty.pcap"), 0, "empty" },
        { "missing file", m_dir.File("missing.pcap"), 0, "Cannot open" },
        { "pcapng cut in its section header", m_dir.File("ng.pcapng"), 0,
            "The capture is cut short: its section header has 12 of its 28 bytes." },
        { "a FIFO, which would block", m_dir.File("fifo.pcap"), 0, "is not a file" },
        { "a folder", m_dir.Path().string(), 0, "is not a file" },
        { "a character device that never ends", "/dev/zero", 0, "is not a file" },
        { "cut short in a record",
            write("cut.pcap", 10,
                [&](CRawCaptureWriter& w) {
                    w.RecordHeader(0, 0, 60, 60);
                    w.Bytes(frame.data(), 20);
                }),
            10, "The list shows the 10 records read before it." },
        { "a record that claims too much",
            write("huge.pcap", 3,
                [&](CRawCaptureWriter& w) {
                    w.RecordHeader(0, 0, 300000, 300000);
                    w.Bytes(frame);
                }),
            3, "The list shows the 3 records read before it." },
        { "cut short in a record header",
            write("hdr.pcap", 5, [&](CRawCaptureWriter& w) { w.U32(7); }), 5,
            "The list shows the 5 records read before it." },
    };
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        wnd.ShowCapture(row.csPath);
        ASSERT_TRUE(WaitIdle(wnd));
        EXPECT_EQ(wnd.Model().rowCount(), row.iRows);
        const QString qLine = wnd.StatusLine();
        EXPECT_TRUE(qLine.contains(row.szSays)) << qLine.toStdString();
        EXPECT_FALSE(qLine.contains('\n'));
        // The rows read are whole and readable.
        if (row.iRows > 0) {
            EXPECT_EQ(Cell(wnd, row.iRows - 1, dissect::EColumn::Length), "60");
        }
    }
    wnd.ShowCapture("");
    EXPECT_EQ(wnd.Model().rowCount(), 0);
    EXPECT_EQ(wnd.StatusLine(), "No capture to list: the main window's path field is empty.");
}

TEST_F(PacketsWindowTest, ANameThatIsNotUtf8IsReadByItsBytes)
{
    const std::string csPath = m_dir.File("caps-\xff\xfe.pcap");
    ASSERT_TRUE(WriteTestCapture(csPath, 4, 60));
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    wnd.ShowCapture(csPath);
    ASSERT_TRUE(WaitIdle(wnd));
    EXPECT_EQ(wnd.Model().rowCount(), 4);
    wnd.Table()->selectAll();
    wnd.SendSelectedButton()->click();
    ASSERT_EQ(owner.sends.size(), 1u);
    EXPECT_EQ(owner.sends[0].first, csPath);
}

// Use as offset sets the main window as a click on Single Packet and typing would.
TEST_F(PacketsWindowTest, UseAsOffsetSetsSinglePacketAndSaves)
{
    ASSERT_TRUE(WriteTestCapture(m_dir.File("f.pcap"), 30, 60));
    enum class EHow { Button, DoubleClick, Enter };
    struct Row {
        const char* szCase;
        EHow how;
        int iRow;
    };
    const Row rows[] = {
        { "button", EHow::Button, 17 },
        { "double-click", EHow::DoubleClick, 4 },
        { "Enter", EHow::Enter, 29 },
        { "Enter on record 0", EHow::Enter, 0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        m_pDlg.reset();
        Start("Mode=1\r\nOffset=3\r\nOldPath=" + m_dir.File("f.pcap") + "\r\n");
        ASSERT_FALSE(m_pDlg->Controls().pOffset->isEnabled());
        CPacketsWnd* pWnd = OpenPackets();
        ASSERT_NE(pWnd, nullptr);
        QTableView* pTable = pWnd->Table();
        if (row.how != EHow::DoubleClick)
            ChooseRow(pTable, row.iRow);
        switch (row.how) {
        case EHow::Button:
            QTest::mouseClick(pWnd->UseAsOffsetButton(), Qt::LeftButton);
            break;
        case EHow::DoubleClick: {
            const QPoint at = pTable->visualRect(pTable->model()->index(row.iRow, 6)).center();
            // What the desktop delivers: press, release, then the double click.
            QTest::mouseClick(pTable->viewport(), Qt::LeftButton, {}, at);
            QTest::mouseDClick(pTable->viewport(), Qt::LeftButton, {}, at);
            break;
        }
        case EHow::Enter:
            pTable->setFocus();
            QTest::keyClick(pTable, Qt::Key_Return);
            break;
        }
        const std::string csOffset = std::to_string(row.iRow);
        EXPECT_NE(Settings().find("Mode=0\r\nOffset=" + csOffset + "\r\n"), std::string::npos)
            << Settings();
        EXPECT_TRUE(m_pDlg->Controls().pSingle->isChecked());
        EXPECT_FALSE(m_pDlg->Controls().pAll->isChecked());
        EXPECT_EQ(m_pDlg->Controls().pOffset->text().toStdString(), csOffset);
        EXPECT_TRUE(m_pDlg->Controls().pOffset->isEnabled());
        EXPECT_EQ(m_pDlg->Settings().Offset, row.iRow);
        EXPECT_EQ(m_pDlg->Settings().Mode, 0);
        EXPECT_EQ(
            pWnd->NoteLine().toStdString(), "Single Packet at offset " + csOffset + ", saved.");
        EXPECT_TRUE(m_box.shown.empty());
    }
}

// The current row (the focus frame) may be one the user just Ctrl-clicked off:
// the action and the details then follow the selection, never that row.
TEST_F(PacketsWindowTest, UseAsOffsetTakesTheSelectedRowWhenTheCurrentOneIsNot)
{
    ASSERT_TRUE(WriteTestCapture(m_dir.File("f.pcap"), 10, 60));
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    wnd.ShowCapture(m_dir.File("f.pcap"));
    wnd.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&wnd));
    ASSERT_TRUE(WaitIdle(wnd));
    QTableView* pTable = wnd.Table();
    auto click = [&](int iRow, Qt::KeyboardModifiers modifiers) {
        QTest::mouseClick(pTable->viewport(), Qt::LeftButton, modifiers,
            pTable->visualRect(pTable->model()->index(iRow, 0)).center());
    };
    click(3, Qt::NoModifier);
    click(6, Qt::ControlModifier);
    click(6, Qt::ControlModifier); // off again; it stays the current row
    ASSERT_EQ(pTable->selectionModel()->currentIndex().row(), 6);
    ASSERT_EQ(pTable->selectionModel()->selectedRows().size(), 1);
    EXPECT_TRUE(wnd.HexView()->toPlainText().split('\n').value(1).startsWith("0010  00 03"))
        << wnd.HexView()->toPlainText().toStdString();
    wnd.UseAsOffsetButton()->click();
    pTable->setFocus();
    QTest::keyClick(pTable, Qt::Key_Return);
    EXPECT_EQ(owner.offsets, std::vector<uint64_t>({ 3, 3 }));
}

TEST_F(PacketsWindowTest, HomeAndEndGoToTheFirstAndLastRecord)
{
    ASSERT_TRUE(WriteTestCapture(m_dir.File("f.pcap"), 500, 60));
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    wnd.ShowCapture(m_dir.File("f.pcap"));
    wnd.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&wnd));
    ASSERT_TRUE(WaitIdle(wnd));
    QTableView* pTable = wnd.Table();
    pTable->setFocus();
    ChooseRow(pTable, 10);
    pTable->selectionModel()->setCurrentIndex(
        pTable->model()->index(10, 4), QItemSelectionModel::NoUpdate);
    auto selected = [&] {
        std::vector<int> rows;
        for (const QModelIndex& i : pTable->selectionModel()->selectedRows())
            rows.push_back(i.row());
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    // On screen from top to bottom (the columns may scroll sideways).
    auto visible = [&](int iRow) {
        QApplication::processEvents();
        const QRect r = pTable->visualRect(pTable->model()->index(iRow, 0));
        return r.top() >= 0 && r.bottom() <= pTable->viewport()->height();
    };
    QTest::keyClick(pTable, Qt::Key_End);
    EXPECT_EQ(pTable->currentIndex().row(), 499);
    EXPECT_EQ(pTable->currentIndex().column(), 4); // the column stays
    EXPECT_EQ(selected(), std::vector<int>({ 499 }));
    EXPECT_TRUE(visible(499));
    EXPECT_TRUE(wnd.HexView()->toPlainText().split('\n').value(1).startsWith("0010  01 f3"));
    QTest::keyClick(pTable, Qt::Key_Home);
    EXPECT_EQ(pTable->currentIndex().row(), 0);
    EXPECT_EQ(selected(), std::vector<int>({ 0 }));
    EXPECT_TRUE(visible(0));
    ChooseRow(pTable, 497);
    QTest::keyClick(pTable, Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(selected(), std::vector<int>({ 497, 498, 499 }));
    EXPECT_EQ(pTable->currentIndex().row(), 499);
    ChooseRow(pTable, 2);
    QTest::keyClick(pTable, Qt::Key_Home, Qt::ShiftModifier);
    EXPECT_EQ(selected(), std::vector<int>({ 0, 1, 2 }));
    // Enter then acts on the record Home chose.
    QTest::keyClick(pTable, Qt::Key_End);
    QTest::keyClick(pTable, Qt::Key_Return);
    EXPECT_EQ(owner.offsets, std::vector<uint64_t>({ 499 }));
}

// Two interfaces: a column says which; a capture libpcap stops reading early
// is listed whole, and the window says where Send stops.
TEST_F(PacketsWindowTest, PcapngListsEachRecordsInterfaceAndWhereSendStops)
{
    const std::vector<SPcapngSample> samples = WritePcapngSamples(m_dir.Path().string());
    ASSERT_EQ(samples.size(), 10u);
    auto path = [&](const char* szName) {
        for (const SPcapngSample& s : samples)
            if (s.csName == szName)
                return s.csPath;
        return std::string();
    };
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    wnd.ShowCapture(path("two-interfaces"));
    ASSERT_TRUE(WaitIdle(wnd));
    ASSERT_EQ(wnd.Model().rowCount(), 4);
    ASSERT_EQ(wnd.Model().columnCount(), dissect::kColumnCount + 1);
    EXPECT_EQ(wnd.Model().headerData(2, Qt::Horizontal).toString(), "Interface");
    EXPECT_EQ(wnd.Model().headerData(3, Qt::Horizontal).toString(), "Source");
    std::vector<QString> interfaces, times;
    for (int i = 0; i < 4; ++i) {
        interfaces.push_back(wnd.Model().index(i, 2).data().toString());
        times.push_back(Cell(wnd, i, dissect::EColumn::Time));
    }
    EXPECT_EQ(interfaces, std::vector<QString>({ "eth0", "eth1", "eth1", "eth0" }));
    EXPECT_EQ(
        times, std::vector<QString>({ "0.000000", "0.500000000", "1.000000000", "1.500000" }));
    EXPECT_EQ(Cell(wnd, 1, dissect::EColumn::Protocol), "Local Experimental");
    EXPECT_EQ(wnd.StatusLine(), "two-interfaces.pcapng: 4 records");
    // The filter finds records by their interface too.
    wnd.FilterField()->setText("ETH1");
    QTest::keyClick(wnd.FilterField(), Qt::Key_Return);
    ASSERT_TRUE(WaitIdle(wnd));
    ASSERT_EQ(wnd.Model().rowCount(), 2);
    EXPECT_EQ(Cell(wnd, 0, dissect::EColumn::Number), "1");
    EXPECT_EQ(Cell(wnd, 1, dissect::EColumn::Number), "2");
    wnd.FilterField()->clear();
    QTest::keyClick(wnd.FilterField(), Qt::Key_Return);

    // One interface: no such column.
    wnd.ShowCapture(path("le-micro"));
    ASSERT_TRUE(WaitIdle(wnd));
    EXPECT_EQ(wnd.Model().rowCount(), 6);
    EXPECT_EQ(wnd.Model().columnCount(), dissect::kColumnCount);

    wnd.ShowCapture(path("two-link-types"));
    ASSERT_TRUE(WaitIdle(wnd));
    EXPECT_EQ(wnd.Model().rowCount(), 4);
    EXPECT_EQ(Cell(wnd, 2, dissect::EColumn::Protocol), "link type 101");
    EXPECT_EQ(wnd.StatusLine(),
        "two-link-types.pcapng: 4 records. Send stops before record 2: libpcap cannot read past "
        "the interface at byte 480: its link type 101 is not the first interface's (1).");
    wnd.FilterField()->setText("link type");
    QTest::keyClick(wnd.FilterField(), Qt::Key_Return);
    ASSERT_TRUE(WaitIdle(wnd));
    EXPECT_EQ(wnd.StatusLine(),
        "two-link-types.pcapng: 4 records; the filter matches 1. Send stops before record 2: "
        "libpcap cannot read past the interface at byte 480: its link type 101 is not the first "
        "interface's (1).");
    wnd.FilterField()->clear();
    QTest::keyClick(wnd.FilterField(), Qt::Key_Return);
    ASSERT_TRUE(WaitIdle(wnd));
    // Sending past the limit says why only some records went.
    wnd.Table()->selectAll();
    wnd.SendSelectedButton()->click();
    ASSERT_EQ(owner.sends.size(), 1u);
    EXPECT_EQ(owner.sends[0].second, CRecordSelection({ 0, 1, 2, 3 }));
    EXPECT_TRUE(wnd.NoteLine().startsWith("Send stops before record 2"))
        << wnd.NoteLine().toStdString();
    ChooseRow(wnd.Table(), 1);
    wnd.UseAsOffsetButton()->click();
    EXPECT_EQ(wnd.NoteLine(), "Single Packet at offset 1, saved.");

    wnd.ShowCapture(path("truncated"));
    ASSERT_TRUE(WaitIdle(wnd));
    EXPECT_EQ(wnd.Model().rowCount(), 3);
    EXPECT_TRUE(wnd.StatusLine().startsWith("The capture is cut short: record 3"))
        << wnd.StatusLine().toStdString();
    EXPECT_TRUE(wnd.StatusLine().endsWith("The list shows the 3 records read before it."));
}

TEST_F(PacketsWindowTest, UseAsOffsetRefusesARecordBeyondTheOffsetRange)
{
    Start("Mode=1\r\nOffset=3\r\n");
    const std::string csBefore = Settings();
    EXPECT_EQ(m_pDlg->UseRecordAsOffset(10000000),
        "Record 10000000 is beyond the offset field's range (0 to 9999999): use Send selected for "
        "it.");
    EXPECT_EQ(Settings(), csBefore);
    EXPECT_EQ(m_pDlg->Settings().Mode, 1);
    EXPECT_EQ(m_pDlg->UseRecordAsOffset(9999999), "");
    EXPECT_EQ(m_pDlg->Settings().Offset, 9999999);
    EXPECT_NE(Settings().find("Mode=0\r\nOffset=9999999\r\n"), std::string::npos);
}

// Frames from our own stations (02:76:6d:...) arriving on the peer end.
class CPeer {
public:
    CPeer()
    {
        char szErr[PCAP_ERRBUF_SIZE] = "";
        m_h = pcap_create(vtest::CNetns::PeerIf(), szErr);
        if (!m_h)
            return;
        pcap_set_snaplen(m_h, 2048);
        pcap_set_immediate_mode(m_h, 1);
        pcap_set_buffer_size(m_h, 4 << 20);
        bpf_program prog {};
        if (pcap_activate(m_h) < 0
            || pcap_compile(
                   m_h, &prog, "(ether[6:4] & 0xffffff00) = 0x02766d00", 1, PCAP_NETMASK_UNKNOWN)
                != 0
            || pcap_setfilter(m_h, &prog) != 0 || pcap_setnonblock(m_h, 1, szErr) != 0) {
            pcap_close(m_h);
            m_h = nullptr;
        }
        pcap_freecode(&prog);
    }
    ~CPeer()
    {
        if (m_h)
            pcap_close(m_h);
    }
    bool Ok() const { return m_h != nullptr; }
    // What arrives within the wait; a quarter second more once nMax are in.
    Frames Collect(size_t nMax, int iWaitMs)
    {
        Frames frames;
        using Clock = std::chrono::steady_clock;
        auto end = Clock::now() + std::chrono::milliseconds(iWaitMs);
        while (frames.size() <= nMax && Clock::now() < end) {
            pcap_pkthdr* pHeader = nullptr;
            const u_char* pData = nullptr;
            const int rc = pcap_next_ex(m_h, &pHeader, &pData);
            if (rc == 1) {
                frames.emplace_back(pData, pData + pHeader->caplen);
                // All in: a little longer for any frame that should not come.
                if (frames.size() == nMax)
                    end = std::min(end, Clock::now() + std::chrono::milliseconds(250));
            } else if (rc == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            else
                break;
        }
        return frames;
    }

private:
    pcap_t* m_h = nullptr;
};

TEST_F(PacketsWindowTest, SendSelectedPutsExactlyTheChosenFramesOnTheWire)
{
    vtest::CNetns ns("pkts");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());

    Frames testFrames;
    {
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(m_dir.File("f.pcap")));
        for (uint32_t i = 0; i < 12; ++i) {
            testFrames.push_back(MakeTestFrame(60 + i, i));
            writer.Write(testFrames.back(), 1000 + i, i);
        }
        ASSERT_TRUE(writer.Close());
    }
    ASSERT_TRUE(WriteBacnetIpSample(m_dir.File("ip.pcap")));
    const Frames ipFrames = MakeBacnetIpSampleFrames();
    const std::vector<SPcapngSample> samples = WritePcapngSamples(m_dir.Path().string());
    ASSERT_FALSE(samples.empty());
    const SPcapngSample& ng = samples.front(); // Enhanced, Simple and obsolete blocks
    ASSERT_EQ(ng.csName, "le-micro");

    struct Row {
        const char* szCase;
        std::string csFile;
        const Frames* pFrames;
        const char* szFilter;
        std::vector<int> clickedRows; // the first a plain click, the rest with Ctrl
        std::vector<size_t> records;
    };
    const Row rows[] = {
        { "one record", m_dir.File("f.pcap"), &testFrames, "", { 7 }, { 7 } },
        { "several, clicked out of order", m_dir.File("f.pcap"), &testFrames, "", { 11, 2, 6, 5 },
            { 2, 5, 6, 11 } },
        { "rows of a filtered list", m_dir.File("ip.pcap"), &ipFrames, "readProperty", { 3, 0, 1 },
            { 2, 3, 7 } },
        // Record 2 is a Simple Packet Block, 3 an obsolete Packet Block.
        { "a pcapng capture", ng.csPath, &ng.frames, "", { 5, 2, 3 }, { 2, 3, 5 } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        CPeer peer;
        ASSERT_TRUE(peer.Ok());
        m_pDlg.reset();
        m_box.shown.clear();
        Start("Mode=0\r\nOffset=1\r\nNicDevice=vm0\r\nOldPath=" + row.csFile + "\r\n");
        CPacketsWnd* pWnd = OpenPackets();
        ASSERT_NE(pWnd, nullptr);
        if (*row.szFilter) {
            pWnd->FilterField()->setText(row.szFilter);
            QTest::keyClick(pWnd->FilterField(), Qt::Key_Return);
            ASSERT_TRUE(WaitIdle(*pWnd));
        }
        QTableView* pTable = pWnd->Table();
        for (size_t i = 0; i < row.clickedRows.size(); ++i) {
            const QPoint at
                = pTable->visualRect(pTable->model()->index(row.clickedRows[i], 0)).center();
            QTest::mouseClick(
                pTable->viewport(), Qt::LeftButton, i ? Qt::ControlModifier : Qt::NoModifier, at);
        }
        // Looks at the controls from inside the Send, at its first status update.
        // The main window's Send is its Stop meanwhile, for a selection too.
        bool bLooked = false, bMainSendIsStop = false, bSendSelectedOff = false, bUseOff = false;
        QTimer::singleShot(0, pWnd, [&] {
            bLooked = true;
            auto* pMainSend = m_pDlg->Controls().pSend;
            bMainSendIsStop = pMainSend->isEnabled() && pMainSend->text() == "Stop";
            bSendSelectedOff = !pWnd->SendSelectedButton()->isEnabled();
            bUseOff = !pWnd->UseAsOffsetButton()->isEnabled();
        });
        QTest::mouseClick(pWnd->SendSelectedButton(), Qt::LeftButton);
        EXPECT_TRUE(bLooked && bMainSendIsStop && bSendSelectedOff && bUseOff);

        Frames expected;
        std::vector<std::string> logged;
        for (size_t n : row.records) {
            expected.push_back((*row.pFrames)[n]);
            char sz[8];
            std::snprintf(sz, sizeof sz, "[%03zu]", n);
            logged.push_back(sz);
        }
        EXPECT_EQ(peer.Collect(expected.size(), 1500), expected);
        const std::string csCount = std::to_string(row.records.size());
        ASSERT_EQ(m_box.shown.size(), 1u);
        EXPECT_EQ(m_box.shown[0].csText, csCount + " Packets have been sent");
        EXPECT_EQ(m_pDlg->StatusText(), csCount + " packets sent");
        EXPECT_EQ(PacketRecords(), logged);
        EXPECT_TRUE(m_pDlg->Controls().pSend->isEnabled());
        EXPECT_TRUE(pWnd->SendSelectedButton()->isEnabled());
        // The main window's own choice stays as it was.
        EXPECT_EQ(m_pDlg->Settings().Mode, 0);
        EXPECT_EQ(m_pDlg->Settings().Offset, 1);
    }
}

// Aimed at the device under test: the peer gets exactly the aimed bytes, from
// the window by Send and by Send selected, and from the command with
// --records; the window says so before the Send and shows the aimed frames.
TEST_F(PacketsWindowTest, AimedSendsPutTheAimedBytesOnTheWire)
{
    vtest::CNetns ns("aim");
    VTEST_REQUIRE_NETNS(ns);
    // The adapter's own MAC, in our stations' range so that the peer sees it.
    ASSERT_EQ(
        std::system(("ip -n " + ns.Name() + " link set vm0 address 02:76:6d:0a:00:99").c_str()), 0);
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());

    // The BACnet/IP sample and, last, a fragment that the aim leaves alone.
    Frames frames = MakeBacnetIpSampleFrames();
    frames.push_back(frames[2]);
    frames.back()[14 + 6] = 0x20; // More Fragments
    const std::string csCapture = m_dir.File("ip.pcap");
    {
        CCaptureWriter writer;
        ASSERT_TRUE(writer.Open(csCapture));
        for (size_t i = 0; i < frames.size(); ++i)
            ASSERT_TRUE(writer.Write(frames[i], 1000 + static_cast<uint32_t>(i), 0));
        ASSERT_TRUE(writer.Close());
    }
    vtest::WriteFile(m_dir.File("send-options.ini"),
        "[Aim]\r\nDstMac=02:76:6d:00:00:2a\r\nSrcMac=adapter\r\nDstIp=192.168.7.42:47809\r\n"
        "SrcIp=192.168.7.5\r\n");
    // What each frame becomes, worked out by the aim on its own.
    SAimPlan plan;
    plan.bDstMac = plan.bSrcMac = plan.bDstIp = plan.bDstPort = plan.bSrcIp = true;
    plan.dstMac = { 0x02, 0x76, 0x6d, 0, 0, 0x2a };
    plan.srcMac = { 0x02, 0x76, 0x6d, 0x0a, 0, 0x99 };
    plan.dstIp = { 192, 168, 7, 42 };
    plan.uDstPort = 47809;
    plan.srcIp = { 192, 168, 7, 5 };
    Frames aimed = frames;
    for (auto& f : aimed)
        AimFrame(plan, f);
    ASSERT_NE(aimed[2], frames[2]);
    ASSERT_EQ(aimed.back(), frames.back());
    const std::string csAim = "Aimed at 02:76:6d:00:00:2a and 192.168.7.42:47809, from the "
                              "adapter's MAC and 192.168.7.5";

    // Send, every record.
    {
        CPeer peer;
        ASSERT_TRUE(peer.Ok());
        Start("Mode=1\r\nNicDevice=vm0\r\nOldPath=" + csCapture + "\r\n");
        const std::string csIni = Settings();
        EXPECT_EQ(m_pDlg->StatusText(), csAim);
        QTest::mouseClick(static_cast<QPushButton*>(m_pDlg->Control(1)), Qt::LeftButton);
        const Frames got = peer.Collect(aimed.size(), 1500);
        EXPECT_EQ(got, aimed);
        // As a device's kernel hears them (the fragment, made here, left out).
        if (!got.empty()) {
            EXPECT_EQ(vtest::TsharkFaults(Frames(got.begin(), got.end() - 1)), "");
        }
        EXPECT_EQ(m_pDlg->StatusText(),
            std::to_string(frames.size()) + " packets sent, 1 not aimed (see Debuglog.txt). "
                + csAim);
        const auto records = vtest::LogRecords(m_dir.File("Debuglog.txt"));
        int iNotAimed = 0;
        for (const auto& r : records)
            iNotAimed += vtest::RecordText(r)
                == "FYI. Record [008] not aimed: an IP fragment; sent as captured";
        EXPECT_EQ(iNotAimed, 1);
        // The aim lives beside settings.ini, which stays as the window writes it.
        EXPECT_EQ(Settings(), csIni);
    }
    // Send selected, with the aimed frames shown.
    {
        CPeer peer;
        ASSERT_TRUE(peer.Ok());
        CPacketsWnd* pWnd = OpenPackets();
        ASSERT_NE(pWnd, nullptr);
        const QString qsCaptured = Cell(*pWnd, 2, dissect::EColumn::Destination);
        EXPECT_EQ(qsCaptured, "192.168.10.2:47808 (02:76:6d:0a:00:02)");
        pWnd->ShowAimedBox()->setChecked(true);
        EXPECT_EQ(Cell(*pWnd, 2, dissect::EColumn::Destination),
            "192.168.7.42:47809 (02:76:6d:00:00:2a)");
        EXPECT_EQ(
            Cell(*pWnd, 2, dissect::EColumn::Source), "192.168.7.5:47808 (02:76:6d:0a:00:99)");
        QTableView* pTable = pWnd->Table();
        QTest::mouseClick(pTable->viewport(), Qt::LeftButton, Qt::NoModifier,
            pTable->visualRect(pTable->model()->index(2, 0)).center());
        QTest::mouseClick(pTable->viewport(), Qt::LeftButton, Qt::ControlModifier,
            pTable->visualRect(pTable->model()->index(8, 0)).center());
        EXPECT_EQ(pWnd->HexView()->toPlainText(), HexDump(aimed[8]));
        QTest::mouseClick(pTable->viewport(), Qt::LeftButton, Qt::ControlModifier,
            pTable->visualRect(pTable->model()->index(0, 0)).center());
        EXPECT_EQ(pWnd->SendSelectedButton()->text(), "&Send 3 records on vm0");
        pWnd->ShowAimedBox()->setChecked(false);
        EXPECT_EQ(Cell(*pWnd, 2, dissect::EColumn::Destination), qsCaptured);
        QTest::mouseClick(pWnd->SendSelectedButton(), Qt::LeftButton);
        EXPECT_EQ(peer.Collect(3, 1500), Frames({ aimed[0], aimed[2], aimed[8] }));
    }
    // The command, with the same aim as options.
    {
        CPeer peer;
        ASSERT_TRUE(peer.Ok());
        vtest::CChild command({ VELMORA_REPLAY_EXE, "-i", "vm0", "--records", "8,2,0", "--dst-mac",
                                  "02:76:6d:00:00:2a", "--src-mac", "adapter", "--dst-ip",
                                  "192.168.7.42:47809", "--src-ip", "192.168.7.5", csCapture },
            m_dir.Path().string(), ns.Name());
        EXPECT_EQ(command.Wait(), 0) << command.Err();
        EXPECT_EQ(peer.Collect(3, 1500), Frames({ aimed[0], aimed[2], aimed[8] }));
        EXPECT_NE(
            command.Err().find("3 packets sent, 1 not aimed (see Debuglog.txt)"), std::string::npos)
            << command.Err();
    }
}

// A segmented answer out of order and one with a segment missing: the row that
// completes the first shows the whole answer, in the list, the tree and the
// filter; the other segments say where their answer is, or what it lacks.
TEST_F(PacketsWindowTest, SegmentedAnswersAreListedReassembled)
{
    using vtest::RpmAckSegment;
    const char* const* seg = vtest::kThreeSegments;
    const Frames frames = { RpmAckSegment(5, 0, true, seg[0]), RpmAckSegment(5, 2, false, seg[2]),
        RpmAckSegment(5, 1, true, seg[1]), RpmAckSegment(6, 0, true, seg[0]),
        RpmAckSegment(6, 2, false, seg[2]) };
    CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(m_dir.File("seg.pcap")));
    for (const auto& frame : frames)
        writer.Write(frame);
    ASSERT_TRUE(writer.Close());
    CRecordingOwner owner;
    CPacketsWnd wnd(owner);
    wnd.ShowCapture(m_dir.File("seg.pcap"));
    ASSERT_TRUE(WaitIdle(wnd));
    ASSERT_EQ(wnd.Model().rowCount(), 5);
    const QString qWhole = "readPropertyMultiple-ACK[ 5] analog-input,1 present-value = 21.5, "
                           "status-flags = {0000} (reassembled from 3 segments)";
    const QString qMissing = " (answer incomplete: segment 1 missing)";
    const QString infos[] = {
        "readPropertyMultiple-ACK[ 5] segment 0, more follows (answer in record 2)",
        "readPropertyMultiple-ACK[ 5] segment 2 (answer in record 2)",
        qWhole,
        "readPropertyMultiple-ACK[ 6] segment 0, more follows" + qMissing,
        "readPropertyMultiple-ACK[ 6] segment 2" + qMissing,
    };
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Cell(wnd, i, dissect::EColumn::Info), infos[i]) << i;

    // The tree of the completing record: the whole answer's fields, each
    // marking bytes inside this record.
    ChooseRow(wnd.Table(), 2);
    QTreeWidgetItem* pWhole = nullptr;
    QStringList fields;
    for (QTreeWidgetItemIterator it(wnd.FieldTree()); *it; ++it) {
        if ((*it)->text(0).startsWith("Reassembled Answer"))
            pWhole = *it;
        const uint32_t uEnd
            = (*it)->data(0, Qt::UserRole).toUInt() + (*it)->data(0, Qt::UserRole + 1).toUInt();
        EXPECT_LE(uEnd, frames[2].size()) << (*it)->text(0).toStdString();
    }
    ASSERT_NE(pWhole, nullptr);
    EXPECT_TRUE(pWhole->text(0).startsWith("Reassembled Answer: 3 segments"))
        << pWhole->text(0).toStdString();
    std::function<void(QTreeWidgetItem*)> Collect = [&](QTreeWidgetItem* p) {
        fields << p->text(0);
        for (int i = 0; i < p->childCount(); ++i)
            Collect(p->child(i));
    };
    Collect(pWhole);
    const QString qFields = fields.join('|');
    for (const char* sz : { "analog-input", "present-value", "21.5", "status-flags" })
        EXPECT_TRUE(qFields.contains(sz)) << sz << " in " << qFields.toStdString();

    // The model asked again once the assembler knows more: a segment decoded
    // while its answer was open reads anew after Refresh.
    dissect::CCaptureIndex index;
    ASSERT_TRUE(index.Open(m_dir.File("seg.pcap")));
    index.Step();
    dissect::CSegmentAssembler assembler;
    dissect::AddRecords(assembler, index, 0, index.Count());
    CPacketModel model;
    model.SetIndex(&index, &assembler);
    model.ShowRecords(index.Count());
    const QModelIndex info3 = model.index(3, static_cast<int>(dissect::EColumn::Info));
    EXPECT_TRUE(info3.data().toString().endsWith("(answer incomplete so far)"));
    assembler.Finish();
    model.Refresh();
    EXPECT_EQ(info3.data().toString(), infos[3]);

    // The filter reads the rows as the list shows them.
    struct Row {
        const char* szFilter;
        std::vector<QString> numbers;
    };
    const Row rows[] = {
        { "present value = 21.5", { "2" } },
        { "reassembled from 3", { "2" } },
        { "answer in record 2", { "0", "1" } },
        { "segment 1 missing", { "3", "4" } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szFilter);
        wnd.FilterField()->setText(row.szFilter);
        QTest::keyClick(wnd.FilterField(), Qt::Key_Return);
        ASSERT_TRUE(WaitIdle(wnd));
        std::vector<QString> numbers;
        for (int i = 0; i < wnd.Model().rowCount(); ++i)
            numbers.push_back(Cell(wnd, i, dissect::EColumn::Number));
        EXPECT_EQ(numbers, row.numbers);
    }
}

} // namespace
