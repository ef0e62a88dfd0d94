#include "Child.h"
#include "NetNs.h"
#include "TestSupport.h"
#include "app/DialogInt.h"
#include "app/QtPlatform.h"
#include "app/ReplayDlg.h"
#include "app/SendOptionsDlg.h"
#include "log/Log.h"
#include "log/MessageBox.h"
#include "session/SendWords.h"
#include "tools/CaptureWriter.h"
#include "web/MakerSite.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <thread>

using namespace velmora;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vtest::LogRecords;
using vtest::ReadFile;
using vtest::RecordText;

namespace {

// A control of the main window, as a table row names it.
template <auto pMember> QWidget* Pick(const SMainControls& controls)
{
    return controls.*pMember;
}

class CScriptedFileDialog final : public IFileDialog {
public:
    CScriptedFileDialog() { SetFileDialog(this); }
    ~CScriptedFileDialog() override { SetFileDialog(nullptr); }
    std::string GetOpenFileName(QWidget*) override
    {
        ++iCalls;
        return csAnswer;
    }
    std::string csAnswer;
    int iCalls = 0;
};

// A main window in its own folder, initialised as at start-up, its timer
// stopped so no version check runs behind the test's back.
class MainWindowTest : public ::testing::Test, protected vtest::CSandbox {
protected:
    MainWindowTest()
    {
        SetMakerHostForTesting("127.0.0.1:9"); // nothing listens there
    }
    ~MainWindowTest() override
    {
        m_pDlg.reset();
        SetMakerHostForTesting("");
    }
    void Start()
    {
        m_pDlg = std::make_unique<CReplayDlg>();
        m_pDlg->OnInitDialog();
        m_pDlg->Timer1().stop();
        m_pDlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pDlg.get()));
    }
    // Starts afresh from this settings file, logs emptied.
    void Restart(const std::string& csSettings)
    {
        m_pDlg.reset();
        vtest::WriteFile(m_dir.File("settings.ini"), csSettings);
        Start();
        m_pDlg->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
    }
    SMainControls C() const { return m_pDlg->Controls(); }
    // Where keys for the control go: the adapter list types into its field.
    QWidget* KeyTarget(QWidget* pControl)
    {
        return pControl == C().pAdapters ? C().pAdapters->lineEdit() : pControl;
    }
    int CountDebug(const std::string& cs) const
    {
        const auto v = DebugTexts();
        return static_cast<int>(std::count(v.begin(), v.end(), cs));
    }
    std::string Settings() const { return ReadFile(m_dir.File("settings.ini")); }
    bool DebugHas(const std::string& cs) const
    {
        const auto v = DebugTexts();
        return std::find(v.begin(), v.end(), cs) != v.end();
    }

    CScriptedFileDialog m_files;
    std::unique_ptr<CReplayDlg> m_pDlg;
};

TEST_F(MainWindowTest, StartWritesDefaultsAndInformationText)
{
    Start();
    EXPECT_EQ(Settings(),
        "[Velmora]\r\nDebug=1\r\nAutoUpdate=1\r\nMode=1\r\nOffset=0\r\nOldPath=\r\nNicDevice="
        "\r\n\r\n");
    EXPECT_EQ(m_pDlg->InformationText(),
        "Velmora is a utility for rebroadcast captured packets from an ethereal log file. "
        "The utility can send a single particular packet or an entire set of packets. \r\n"
        "\r\n"
        "Directions\r\n"
        "1) Browse for a Ethereal log file \r\n"
        "2) Select either to send one single packet at offset X or send the entire series of "
        "packets. \r\n"
        "3) Click Send\r\n"
        "\r\n"
        "For more information or help please visit our webpage \r\n"
        "Menu -> Help \r\n");
    // A reading of the controls gives back the same bytes.
    EXPECT_TRUE(m_pDlg->DoDataExchange(true));
    EXPECT_EQ(m_pDlg->InformationText().substr(0, 20), "Velmora is a utility");
    EXPECT_EQ(m_pDlg->InformationText().size(), 393u);

    const auto texts = DebugTexts();
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[0], "Program starting up");
    EXPECT_EQ(texts[1], "FYI. Install directory=[" + m_dir.Path().string() + "]");
    EXPECT_EQ(texts[2].rfind("FYI. pcap_lib_version = [libpcap version ", 0), 0u) << texts[2];
    EXPECT_EQ(texts[3].rfind("FYI. Free space [", 0), 0u) << texts[3];
    EXPECT_NE(texts[3].find("]k on [" + m_dir.Path().string() + "]"), std::string::npos);

    // All packets: offset field off; Send has the focus.
    EXPECT_FALSE(C().pOffset->isEnabled());
    EXPECT_TRUE(C().pAll->isChecked());
    EXPECT_EQ(QApplication::focusWidget(), C().pSend);
}

TEST_F(MainWindowTest, RadioClicksSwitchTheOffsetFieldAndSave)
{
    Start();
    QTest::mouseClick(C().pSingle, Qt::LeftButton);
    EXPECT_TRUE(C().pOffset->isEnabled());
    EXPECT_NE(Settings().find("Mode=0\r\n"), std::string::npos);
    EXPECT_FALSE(C().pAll->isChecked());

    fs::remove(m_dir.File("settings.ini"));
    QTest::mouseClick(C().pAll, Qt::LeftButton);
    EXPECT_FALSE(C().pOffset->isEnabled());
    EXPECT_NE(Settings().find("Mode=1\r\n"), std::string::npos);

    fs::remove(m_dir.File("settings.ini"));
    QTest::mouseClick(C().pAutoUpdate, Qt::LeftButton);
    EXPECT_NE(Settings().find("AutoUpdate=0\r\n"), std::string::npos);
}

TEST_F(MainWindowTest, OffsetValidation)
{
    vtest::WriteFile(m_dir.File("settings.ini"), "[Velmora]\r\nMode=0\r\nOffset=7\r\n");
    Start();
    ASSERT_EQ(m_pDlg->Settings().Offset, 7);
    auto* pOffset = C().pOffset;

    // Each row starts from offset 7 in single mode; the action types into the
    // window and reads it (directly or through a click that saves).
    struct Row {
        const char* szName;
        std::function<void()> act;
        std::string csMessage; // empty: none shown
        int iOffset;
        std::vector<std::string> saved; // lines settings.ini must hold
        bool bOffsetEnabled;
    };
    const std::vector<Row> rows = {
        { "letters",
            [&] {
                pOffset->setText("12ab");
                EXPECT_FALSE(m_pDlg->DoDataExchange(true));
            },
            "Please enter an integer.", 7, {}, true },
        { "the largest offset",
            [&] {
                pOffset->setText("9999999");
                EXPECT_TRUE(m_pDlg->DoDataExchange(true));
            },
            "", 9999999, {}, true },
        { "one above the range, saved by a click",
            [&] {
                pOffset->setText("10000000");
                QTest::mouseClick(C().pSingle, Qt::LeftButton);
            },
            "Please enter an integer between 0 and 9999999.", 10000000,
            { "Offset=10000000\r\n", "Mode=0\r\n" }, true },
        // The path, mode and check box are read before the offset, so they are
        // saved although the offset is refused; the mode rule still runs.
        { "All packets over letters and a newly typed path",
            [&] {
                C().pPath->setText("/captures/new.pcap");
                C().pAutoUpdate->setChecked(false); // no click: no save of its own
                pOffset->setText("abc");
                QTest::mouseClick(C().pAll, Qt::LeftButton);
            },
            "Please enter an integer.", 7,
            { "Mode=1\r\n", "OldPath=/captures/new.pcap\r\n", "AutoUpdate=0\r\n", "Offset=7\r\n" },
            false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        pOffset->setText("7");
        ASSERT_TRUE(m_pDlg->DoDataExchange(true));
        m_box.shown.clear();
        fs::remove(m_dir.File("settings.ini"));
        C().pSend->setFocus();

        row.act();
        EXPECT_EQ(m_pDlg->Settings().Offset, row.iOffset);
        if (row.csMessage.empty()) {
            EXPECT_TRUE(m_box.shown.empty());
        } else {
            ASSERT_EQ(m_box.shown.size(), 1u);
            EXPECT_EQ(m_box.shown[0].csText, row.csMessage);
            EXPECT_EQ(m_box.shown[0].iType, MB_OK);
            // A field that the mode rule turns off gives its focus away.
            if (row.bOffsetEnabled) {
                EXPECT_EQ(QApplication::focusWidget(), pOffset);
                EXPECT_EQ(pOffset->selectedText(), pOffset->text());
            }
        }
        for (const std::string& cs : row.saved)
            EXPECT_NE(Settings().find(cs), std::string::npos) << cs << " in\n" << Settings();
        EXPECT_EQ(pOffset->isEnabled(), row.bOffsetEnabled);
    }
    // Shown straight: neither log holds them.
    EXPECT_EQ(ReadFile(m_dir.File("log.txt")), "");

    // Beyond 32 bits is out of range, not "no integer"; "+5" is 5.
    m_box.shown.clear();
    C().pOffset->setText("99999999999");
    EXPECT_FALSE(m_pDlg->DoDataExchange(true));
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(m_box.shown[0].csText, "Please enter an integer between 0 and 9999999.");
    C().pOffset->setText("+5");
    EXPECT_TRUE(m_pDlg->DoDataExchange(true));
    EXPECT_EQ(m_pDlg->Settings().Offset, 5);
}

// Text that is no number gives false; a number beyond 32 bits the nearest
// 32-bit value, so that the caller's range check speaks about it.
TEST(DialogInt, SignedDecimalWithBlanks)
{
    const struct {
        const char* szText;
        bool bOk;
        int iValue;
    } rows[] = {
        { " \t42\t ", true, 42 },
        { "+5", true, 5 },
        { "-5", true, -5 },
        { "+0", true, 0 },
        { "0000000000000000000007", true, 7 },
        { "2147483647", true, INT_MAX },
        { "-2147483648", true, INT_MIN },
        { "2147483648", true, INT_MAX },
        { "99999999999", true, INT_MAX },
        { "+99999999999999999999999", true, INT_MAX },
        { "-99999999999", true, INT_MIN },
        { "", false, 0 },
        { "  ", false, 0 },
        { "-", false, 0 },
        { "+", false, 0 },
        { "-0", false, 0 },
        { "+-5", false, 0 },
        { "4 2", false, 0 },
        { "0x10", false, 0 },
        { "12a", false, 0 },
    };
    for (const auto& row : rows) {
        int i = 99;
        EXPECT_EQ(ParseDialogInt(row.szText, i), row.bOk) << row.szText;
        EXPECT_EQ(i, row.bOk ? row.iValue : 99) << row.szText;
    }
}

// Enter and Space on a focused push button press that button; Enter in the
// fields and the adapter list goes to Send, on a choice to nothing. What ran is read from outside:
// Send's record about the missing file, the window closing, the file dialog
// being asked, the version check's record.
TEST_F(MainWindowTest, KeysGoToTheFocusedButtonElseToSend)
{
    const std::string csMissing = m_dir.File("missing.pcap");
    const struct {
        QWidget* (*pick)(const SMainControls&);
        Qt::Key key;
        const char* szRan;
    } rows[] = {
        { Pick<&SMainControls::pSend>, Qt::Key_Return, "send" },
        { Pick<&SMainControls::pSend>, Qt::Key_Space, "send" },
        { Pick<&SMainControls::pExit>, Qt::Key_Return, "exit" },
        { Pick<&SMainControls::pExit>, Qt::Key_Enter, "exit" },
        { Pick<&SMainControls::pExit>, Qt::Key_Space, "exit" },
        { Pick<&SMainControls::pBrowse>, Qt::Key_Return, "browse" },
        { Pick<&SMainControls::pBrowse>, Qt::Key_Space, "browse" },
        { Pick<&SMainControls::pCheckUpdates>, Qt::Key_Return, "check" },
        { Pick<&SMainControls::pCheckUpdates>, Qt::Key_Space, "check" },
        { Pick<&SMainControls::pPath>, Qt::Key_Return, "send" },
        { Pick<&SMainControls::pOffset>, Qt::Key_Return, "send" },
        { Pick<&SMainControls::pOffset>, Qt::Key_Enter, "send" },
        { Pick<&SMainControls::pAdapters>, Qt::Key_Return, "send" },
        // Enter is Send's key everywhere but on a push button.
        { Pick<&SMainControls::pSingle>, Qt::Key_Return, "send" },
        { Pick<&SMainControls::pAll>, Qt::Key_Enter, "send" },
        { Pick<&SMainControls::pAutoUpdate>, Qt::Key_Enter, "send" },
        { Pick<&SMainControls::pSingle>, Qt::Key_Space, "" },
    };
    for (const auto& row : rows) {
        Restart("[Velmora]\r\nAutoUpdate=0\r\nMode=0\r\nOldPath=" + csMissing + "\r\n");
        QWidget* pFocus = row.pick(C());
        SCOPED_TRACE(pFocus->objectName().toStdString() + " "
            + QKeySequence(row.key).toString().toStdString());
        m_files.iCalls = 0;
        m_box.shown.clear();
        pFocus->setFocus();
        ASSERT_EQ(QApplication::focusWidget(), pFocus);
        QTest::keyClick(KeyTarget(pFocus), row.key);

        std::string csRan;
        if (CountDebug("Error. Could not open file=[" + csMissing + "]") == 1)
            csRan += "send";
        if (!m_pDlg->isVisible())
            csRan += "exit";
        if (m_files.iCalls == 1)
            csRan += "browse";
        if (DebugHas("FYI. CheckVersion app_name=Velmora&app_ver=1.00aB&Notes="))
            csRan += "check";
        EXPECT_EQ(csRan, row.szRan);
    }
}

// The radio group is one tab stop, at the checked button or else the first;
// the arrow keys move the choice and run what a click runs.
TEST_F(MainWindowTest, RadioGroupIsOneTabStopAndArrowsChoose)
{
    const struct {
        int iMode;
        QWidget* (*pickTabStop)(const SMainControls&);
        Qt::Key key;
        int iModeAfter;
    } rows[] = {
        { 1, Pick<&SMainControls::pAll>, Qt::Key_Left, 0 },
        { 0, Pick<&SMainControls::pSingle>, Qt::Key_Down, 1 },
        { -1, Pick<&SMainControls::pSingle>, Qt::Key_Up, 1 },
    };
    auto tabFromPath = [&] {
        KeyTarget(C().pPath)->setFocus();
        QTest::keyClick(KeyTarget(C().pPath), Qt::Key_Tab);
        const QWidget* pStop = QApplication::focusWidget();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), C().pBrowse) << "one stop only";
        return pStop;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(
            std::to_string(row.iMode) + " " + QKeySequence(row.key).toString().toStdString());
        Restart("[Velmora]\r\nAutoUpdate=0\r\nMode=" + std::to_string(row.iMode) + "\r\n");
        QWidget* pTabStop = row.pickTabStop(C());
        EXPECT_EQ(tabFromPath(), pTabStop);

        pTabStop->setFocus();
        fs::remove(m_dir.File("settings.ini"));
        QTest::keyClick(pTabStop, row.key);
        QRadioButton* pChosen = row.iModeAfter == 0 ? C().pSingle : C().pAll;
        EXPECT_EQ(QApplication::focusWidget(), pChosen);
        EXPECT_TRUE(pChosen->isChecked());
        EXPECT_NE(
            Settings().find("Mode=" + std::to_string(row.iModeAfter) + "\r\n"), std::string::npos);
        EXPECT_EQ(C().pOffset->isEnabled(), row.iModeAfter == 0);
        EXPECT_EQ(tabFromPath(), pChosen);
    }
}

// Typing an entry's exact text chooses nothing: Enter there is Send, and
// leaving the field picks nothing either.
TEST_F(MainWindowTest, TypedAdapterTextChoosesNothing)
{
    const std::string csMissing = m_dir.File("missing.pcap");
    Restart("[Velmora]\r\nAutoUpdate=0\r\nOldPath=" + csMissing + "\r\n");
    auto* pList = C().pAdapters;
    ASSERT_GE(pList->findText("127.000.000.001 - lo"), 0) << "no loopback adapter listed";
    const std::string csBefore = Settings();

    pList->setFocus();
    QTest::keyClicks(KeyTarget(C().pAdapters), "127.000.000.001 - lo");
    QTest::keyClick(KeyTarget(C().pAdapters), Qt::Key_Return);
    EXPECT_EQ(CountDebug("Error. Could not open file=[" + csMissing + "]"), 1);
    KeyTarget(C().pPath)->setFocus(); // editing ends here too
    EXPECT_EQ(QApplication::focusWidget(), KeyTarget(C().pPath));

    EXPECT_EQ(pList->currentIndex(), -1);
    EXPECT_EQ(Settings(), csBefore);
    EXPECT_EQ(m_pDlg->Settings().NicDevice, "");
}

TEST_F(MainWindowTest, EscapeSavesAndCloses)
{
    Start();
    C().pPath->setText("/captures/typed.pcap");
    fs::remove(m_dir.File("settings.ini"));
    QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_NE(Settings().find("OldPath=/captures/typed.pcap\r\n"), std::string::npos);
    EXPECT_EQ(DebugTexts().back(), "Program shutting down");
}

TEST_F(MainWindowTest, BrowseTakesAPathButDoesNotSave)
{
    Start();
    const std::string csBefore = Settings();
    m_files.csAnswer = "";
    QTest::mouseClick(C().pBrowse, Qt::LeftButton);
    EXPECT_EQ(m_files.iCalls, 1);
    EXPECT_EQ(C().pPath->text(), "");

    m_files.csAnswer = "/root.pcap"; // a file directly in the root folder
    QTest::mouseClick(C().pBrowse, Qt::LeftButton);
    EXPECT_EQ(C().pPath->text(), "/root.pcap");
    EXPECT_EQ(Settings(), csBefore);

    {
        vtest::CTempDir other;
        vtest::CScopedCwd cwd(other.Path()); // as a file dialog may do
        QTest::mouseClick(C().pSingle, Qt::LeftButton);
        EXPECT_FALSE(fs::exists(other.File("settings.ini")));
    }
    EXPECT_NE(Settings().find("OldPath=/root.pcap\r\n"), std::string::npos);
}

TEST_F(MainWindowTest, AdapterPickSavesAtOnce)
{
    Start();
    auto* pList = C().pAdapters;
    const int iLo = pList->findText("127.000.000.001 - lo", Qt::MatchEndsWith);
    ASSERT_GE(iLo, 0) << "no loopback adapter listed";
    EXPECT_EQ(pList->currentIndex(), -1);
    EXPECT_EQ(pList->currentText(), "");
    pList->setCurrentIndex(iLo);
    emit pList->activated(iLo);
    EXPECT_NE(Settings().find("NicDevice=lo\r\n"), std::string::npos);
    EXPECT_EQ(m_pDlg->Settings().NicDevice, "lo");
}

TEST_F(MainWindowTest, SavedAdapterIsSelectedAndUnknownOnesKept)
{
    vtest::WriteFile(m_dir.File("settings.ini"), "[velmora]\r\nNicDevice=lo\r\nMode=5\r\n");
    Start();
    EXPECT_EQ(C().pAdapters->currentText().toStdString(), "127.000.000.001 - lo");
    // Mode 5 shows neither button and is written back as -1.
    EXPECT_FALSE(C().pSingle->isChecked());
    EXPECT_FALSE(C().pAll->isChecked());
    EXPECT_NE(Settings().find("Mode=-1\r\n"), std::string::npos);
    m_pDlg.reset();

    // Gone, or one of libpcap's pseudo-adapters that the list leaves out:
    // nothing selected, and the saved name stays.
    for (const std::string cs : { "gone0", "any" }) {
        m_pDlg.reset();
        vtest::WriteFile(m_dir.File("settings.ini"), "[Velmora]\r\nNicDevice=" + cs + "\r\n");
        Start();
        EXPECT_EQ(C().pAdapters->currentIndex(), -1) << cs;
        EXPECT_EQ(C().pAdapters->findText(QString::fromStdString(" " + cs), Qt::MatchEndsWith), -1)
            << cs;
        EXPECT_NE(Settings().find("NicDevice=" + cs + "\r\n"), std::string::npos) << cs;
    }
}

TEST_F(MainWindowTest, MenuAndBannerOpenTheirAddresses)
{
    Start();
    m_pDlg->findChild<QAction*>("menu32773")->trigger();
    QTest::mouseClick(C().pBanner, Qt::LeftButton);
    ASSERT_EQ(m_opener.opened.size(), 2u);
    EXPECT_EQ(m_opener.opened[0], "http://127.0.0.1:9/forums/about422.html");
    EXPECT_EQ(m_opener.opened[1], "http://127.0.0.1:9/?ref=Velmora(1.00aB)");
    EXPECT_EQ(C().pBanner->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(DebugHas("FYI. Referral csName=[Velmora] csVersion=[1.00aB]"));

    m_pDlg->findChild<QAction*>("menu32772")->trigger();
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_EQ(DebugTexts().back(), "Program shutting down");
}

TEST_F(MainWindowTest, TimerRearmsHourlyAndChecksOnlyWhenTicked)
{
    vtest::WriteFile(m_dir.File("settings.ini"), "[Velmora]\r\nAutoUpdate=0\r\n");
    Start();
    m_pDlg->OnTimer(1);
    EXPECT_EQ(m_pDlg->Timer1().interval(), 3600000);
    EXPECT_TRUE(m_pDlg->Timer1().isActive());
    for (const auto& cs : DebugTexts())
        EXPECT_EQ(cs.find("CheckVersion"), std::string::npos) << cs;

    QTest::mouseClick(C().pAutoUpdate, Qt::LeftButton);
    m_pDlg->OnTimer(1);
    EXPECT_TRUE(DebugHas("FYI. CheckVersion app_name=Velmora&app_ver=1.00aB&Notes="));
    EXPECT_TRUE(m_box.shown.empty()); // the automatic check stays silent on failure
}

// The status line says why a Send stopped; the next Send clears that sentence,
// while a count stays when a Send has nothing to send.
TEST_F(MainWindowTest, StatusLineSaysWhyUntilTheNextSend)
{
    vtest::CNetns ns("status");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());

    const std::string csCapture = m_dir.File("one.pcap");
    ASSERT_TRUE(WriteTestCapture(csCapture, 1, 60));
    const std::string csMissing = m_dir.File("a-folder-with-a-long-name/missing.pcap");
    vtest::WriteFile(
        m_dir.File("settings.ini"), "[Velmora]\r\nAutoUpdate=0\r\nMode=0\r\nNicDevice=vm0\r\n");
    Start();
    auto* pStatus = C().pStatus;
    struct Row {
        std::string csPath;
        const char* szOffset;
        std::string csStatus;
        size_t nBoxes; // boxes so far: the final ones and the offset field's
        long long llFrames; // on the peer from this Send
    };
    const std::string csNoOffset = "Not sent: the offset must be a whole number from 0 to 9999999";
    const std::vector<Row> rows = {
        { csCapture, "0", "1 packets sent", 1, 1 },
        { csCapture, "5", "Not sent: offset 5 is past the last record (0)", 2, 0 },
        { csMissing, "0", "Not sent: " + csMissing + " does not exist", 2, 0 },
        // A field that holds no number sends nothing in Single Packet mode,
        // not the last good offset; the field keeps what was typed.
        { csCapture, "abc", csNoOffset, 3, 0 },
        // A number out of range is told, then the Send goes on with it.
        { csCapture, "-1", "Not sent: offset -1 is before the first record (0)", 5, 0 },
        { csCapture, "10000000", "Not sent: offset 10000000 is past the last record (0)", 7, 0 },
        { "", "0", "Not sent: no capture file chosen", 7, 0 },
        { csCapture, "0", "1 packets sent", 8, 1 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.csPath + " @" + row.szOffset);
        const long long llBefore = ns.RxPackets("vm1");
        C().pPath->setText(QString::fromStdString(row.csPath));
        C().pOffset->setText(row.szOffset);
        QTest::mouseClick(C().pSend, Qt::LeftButton);
        EXPECT_EQ(m_pDlg->StatusText(), row.csStatus);
        EXPECT_EQ(pStatus->text().toStdString(), row.csStatus);
        EXPECT_EQ(m_box.shown.size(), row.nBoxes);
        EXPECT_EQ(C().pOffset->text().toStdString(), row.szOffset);
        ASSERT_TRUE(
            vtest::WaitUntil([&] { return ns.RxPackets("vm1") - llBefore >= row.llFrames; }, 2s));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(ns.RxPackets("vm1") - llBefore, row.llFrames);
        // A sentence wider than the field shows its beginning, and whole on hovering.
        EXPECT_EQ(pStatus->cursorPosition(), 0);
        EXPECT_EQ(pStatus->toolTip(), pStatus->text());
    }
    // "abc" gets no count; a number out of range gets its box, then the count.
    const std::vector<std::string> boxes = { "Please enter an integer.",
        "Please enter an integer between 0 and 9999999.", "0 Packets have been sent",
        "Please enter an integer between 0 and 9999999.", "0 Packets have been sent" };
    for (size_t i = 0; i < boxes.size(); ++i)
        EXPECT_EQ(m_box.shown.at(i + 2).csText, boxes[i]) << i;
    // A negative offset still opens the capture, and sends no record.
    const auto texts = DebugTexts();
    const auto itBox = std::find(
        texts.begin(), texts.end(), "MessageAndLog iType=[0] msg=[0 Packets have been sent]");
    ASSERT_NE(itBox, texts.end());
    ASSERT_NE(itBox, texts.begin());
    EXPECT_EQ(*std::prev(itBox), "OpenLocalDevice File=[" + csCapture + "]");
}

// All packets counts the records beside the Send: a FIFO that nothing writes,
// a character device or a folder chosen as the capture ends the Send with the
// sentence (a plain open() of the FIFO held the window for good), nothing
// reaches the wire, and Exit still closes the window.
TEST_F(MainWindowTest, OddFilesInAllModeEndWithTheSentence)
{
    vtest::CNetns ns("oddfile");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    const std::string csFifo = m_dir.File("fifo.pcap");
    ASSERT_EQ(::mkfifo(csFifo.c_str(), 0600), 0);
    const std::string csFolder = m_dir.File("folder.pcap");
    fs::create_directory(csFolder);
    vtest::WriteFile(
        m_dir.File("settings.ini"), "[Velmora]\r\nAutoUpdate=0\r\nMode=1\r\nNicDevice=vm0\r\n");
    Start();
    const struct {
        std::string csPath;
        const char* szStatus;
    } rows[] = {
        { csFifo, "Not sent: fifo.pcap is not a capture file" },
        { "/dev/zero", "Not sent: zero is not a capture file" },
        { "/dev/null", "Not sent: null is not a capture file" },
        { csFolder, "Not sent: folder.pcap is not a capture file" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.csPath);
        const long long llBefore = ns.RxPackets("vm1");
        C().pPath->setText(QString::fromStdString(row.csPath));
        QTest::mouseClick(C().pSend, Qt::LeftButton);
        EXPECT_EQ(m_pDlg->StatusText(), row.szStatus);
        EXPECT_EQ(C().pSend->text(), QStringLiteral("Send"));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(ns.RxPackets("vm1"), llBefore);
    }
    // Nothing went: no count box.
    EXPECT_TRUE(m_box.shown.empty());
    QTest::mouseClick(C().pExit, Qt::LeftButton);
    EXPECT_TRUE(vtest::WaitUntil([&] { return !m_pDlg->isVisible(); }, 2s));
}

// Single Packet mode reads the file up to its record and no further, and a
// box opened during a Send finds every record written before it in the debug
// file: only the replay's own packet records wait for their batch.
TEST_F(MainWindowTest, SingleReadsNoFurtherAndBoxesDuringASendFindTheirRecordsWritten)
{
    vtest::CNetns ns("single");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    const std::string csCapture = m_dir.File("big.pcap");
    ASSERT_TRUE(WriteTestCapture(csCapture, 200000, 60)); // about 15 MB
    auto readBytes = [] {
        const std::string cs = ReadFile("/proc/self/io");
        const size_t i = cs.find("rchar: ");
        return i == std::string::npos ? -1LL : std::stoll(cs.substr(i + 7));
    };
    for (int iOffset : { 0, 1000, -1 }) {
        SCOPED_TRACE(iOffset);
        Restart("[Velmora]\r\nAutoUpdate=0\r\nMode=0\r\nOffset=" + std::to_string(iOffset)
            + "\r\nOldPath=" + csCapture + "\r\nNicDevice=vm0\r\n");
        const long long llBefore = readBytes();
        ASSERT_GE(llBefore, 0);
        QTest::mouseClick(C().pSend, Qt::LeftButton);
        EXPECT_EQ(C().pStatus->text().toStdString(),
            iOffset < 0 ? "Not sent: offset -1 is before the first record (0)" : "1 packets sent");
        // The records up to the offset and one buffer of the reader, not the file.
        EXPECT_LT(readBytes() - llBefore, 1 << 20);
    }

    // Any box of the program, opened while the batched loop runs.
    class CPeekingBox final : public IMessageBox {
    public:
        explicit CPeekingBox(std::string csDebugLog)
            : m_csDebugLog(std::move(csDebugLog))
        {
            SetMessageBox(this);
        }
        ~CPeekingBox() override { SetMessageBox(nullptr); }
        int Show(const std::string& csText, int) override
        {
            bool bWritten = false;
            for (const std::string& cs : vtest::LogTexts(m_csDebugLog))
                bWritten |= cs == "MessageAndLog iType=[0] msg=[" + csText + "]";
            seen.push_back({ csText, bWritten });
            return IDOK;
        }
        std::vector<std::pair<std::string, bool>> seen;

    private:
        std::string m_csDebugLog;
    };
    Restart(
        "[Velmora]\r\nAutoUpdate=0\r\nMode=1\r\nOldPath=" + csCapture + "\r\nNicDevice=vm0\r\n");
    CPeekingBox box(m_dir.File("Debuglog.txt"));
    QTimer::singleShot(50, m_pDlg.get(), [] { MessageAndLogOk("A newer version is out"); });
    QTest::mouseClick(C().pSend, Qt::LeftButton);
    ASSERT_EQ(box.seen.size(), 2u);
    EXPECT_EQ(box.seen[0], std::make_pair(std::string("A newer version is out"), true));
    EXPECT_EQ(box.seen[1], std::make_pair(std::string("200000 Packets have been sent"), true));
}

TEST_F(MainWindowTest, SendAllPutsEveryRecordOnTheWire)
{
    vtest::CNetns ns("e2e");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());

    const std::string csCapture = m_dir.File("frames.pcap");
    constexpr int kFrames = 200;
    ASSERT_TRUE(WriteTestCapture(csCapture, kFrames, 60));
    vtest::WriteFile(m_dir.File("settings.ini"),
        "[Velmora]\r\nAutoUpdate=0\r\nMode=1\r\nOldPath=" + csCapture + "\r\nNicDevice=vm0\r\n");

    char szErr[PCAP_ERRBUF_SIZE];
    pcap_t* hPeer = pcap_create("vm1", szErr);
    ASSERT_NE(hPeer, nullptr) << szErr;
    pcap_set_snaplen(hPeer, 2048);
    pcap_set_immediate_mode(hPeer, 1);
    pcap_set_buffer_size(hPeer, 8 << 20);
    ASSERT_EQ(pcap_activate(hPeer), 0) << pcap_geterr(hPeer);
    bpf_program filter;
    ASSERT_EQ(
        pcap_compile(hPeer, &filter, "ether src 02:76:6d:00:00:01", 1, PCAP_NETMASK_UNKNOWN), 0);
    ASSERT_EQ(pcap_setfilter(hPeer, &filter), 0);
    pcap_freecode(&filter);
    pcap_setnonblock(hPeer, 1, szErr);

    Start();
    EXPECT_EQ(C().pAdapters->currentText().toStdString(), "000.000.000.000 - vm0");
    QTest::mouseClick(C().pSend, Qt::LeftButton);

    EXPECT_EQ(m_pDlg->StatusText(), std::to_string(kFrames) + " packets sent");
    EXPECT_EQ(C().pStatus->text().toStdString(), std::to_string(kFrames) + " packets sent");
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(m_box.shown[0].csText, std::to_string(kFrames) + " Packets have been sent");
    // The inputs are back, the offset field included.
    EXPECT_TRUE(C().pOffset->isEnabled());
    EXPECT_TRUE(C().pSend->isEnabled());

    int iSeen = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (iSeen < kFrames && std::chrono::steady_clock::now() < end) {
        pcap_pkthdr* pHdr;
        const u_char* pData;
        const int rc = pcap_next_ex(hPeer, &pHdr, &pData);
        if (rc == 1) {
            const auto expected = MakeTestFrame(60, static_cast<uint32_t>(iSeen));
            ASSERT_EQ(std::vector<uint8_t>(pData, pData + pHdr->caplen), expected)
                << "frame " << iSeen;
            ++iSeen;
        } else if (rc < 0) {
            break;
        }
    }
    pcap_close(hPeer);
    EXPECT_EQ(iSeen, kFrames);
    // One debug record per packet, in order.
    const auto texts = DebugTexts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                  [](const std::string& cs) {
                      return cs.size() > 6 && cs[0] == '[' && cs.find("]  ") != std::string::npos
                          && cs.compare(cs.size() - 4, 4, "(60)") == 0;
                  }),
        kFrames);
}

TEST_F(MainWindowTest, StopDuringALongSendEndsItWithin50MsAndAccountsExactly)
{
    vtest::CNetns ns("stop");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    // Some seconds of sending at this machine's rates.
    constexpr uint64_t kFrames = 2500000;
    const std::string csCapture = m_dir.File("long.pcap");
    ASSERT_TRUE(WriteTestCapture(csCapture, kFrames, 60));

    using Clock = vtest::CRxWatch::Clock;
    // The request comes as a user's would: from outside, at a moment the loop
    // does not choose, and waits for the window's next look at its messages.
    auto post = [](QObject* pTo, QEvent* pEvent) { QCoreApplication::postEvent(pTo, pEvent); };
    auto key = [&](QWidget* pTo, Qt::Key k) {
        post(pTo, new QKeyEvent(QEvent::KeyPress, k, Qt::NoModifier));
        post(pTo, new QKeyEvent(QEvent::KeyRelease, k, Qt::NoModifier));
    };
    // What a key held down sends after its first press.
    auto repeats = [](Qt::Key k) {
        return new QKeyEvent(QEvent::KeyPress, k, Qt::NoModifier, QString(), true);
    };
    // Made here: the first use creates a device, which must not happen off this thread.
    const QPointingDevice* pMouse = QPointingDevice::primaryPointingDevice();
    QInputDevice::primaryKeyboard();
    // Looked up on this thread before each Send; the requests only post to them.
    struct STargets {
        CReplayDlg* pDlg;
        QWidget* pSend;
        QAction* pMenuExit;
    };
    struct Row {
        const char* szName;
        std::function<void(const STargets&)> request; // runs on another thread
        bool bCloses;
        bool bHeldKeys = false; // Enter and Escape repeat before the request and after the stop
    };
    const std::vector<Row> rows = {
        { "Stop clicked",
            [&](const STargets& to) {
                const QPointF at(5, 5);
                for (QEvent::Type t : { QEvent::MouseButtonPress, QEvent::MouseButtonRelease })
                    post(to.pSend,
                        new QMouseEvent(t, at, at, Qt::LeftButton,
                            t == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                            Qt::NoModifier, pMouse));
            },
            false },
        { "Enter on the focused Stop button",
            [&](const STargets& to) { key(to.pSend, Qt::Key_Return); }, false },
        // Escape closes the window, as it does when no Send runs: after the frame
        // in flight and the box.
        { "Escape", [&](const STargets& to) { key(to.pSend, Qt::Key_Escape); }, true },
        { "held keys, then a fresh Escape",
            [&](const STargets& to) { key(to.pSend, Qt::Key_Escape); }, true, true },
        { "close box", [&](const STargets& to) { post(to.pDlg, new QCloseEvent); }, true },
        { "menu Exit",
            [](const STargets& to) {
                QMetaObject::invokeMethod(to.pMenuExit, &QAction::trigger, Qt::QueuedConnection);
            },
            true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        vtest::WriteFile(m_dir.File("settings.ini"),
            "[Velmora]\r\nAutoUpdate=0\r\nMode=1\r\nOldPath=" + csCapture
                + "\r\nNicDevice=vm0\r\n");
        m_pDlg.reset();
        m_box.shown.clear();
        Start();
        auto* pSend = C().pSend;
        const STargets targets { m_pDlg.get(), pSend, m_pDlg->findChild<QAction*>("menu32772") };
        ASSERT_NE(targets.pMenuExit, nullptr);

        vtest::CRxWatch watch(ns, "vm1");
        const long long llBefore = watch.Now();
        ASSERT_GE(llBefore, 0);
        QString csTextDuring;
        bool bPathEnabledDuring = true, bSendEnabledDuring = false, bFocusOnSend = false;
        QTimer::singleShot(500, m_pDlg.get(), [&] {
            csTextDuring = pSend->text();
            bSendEnabledDuring = pSend->isEnabled();
            bPathEnabledDuring = C().pPath->isEnabled();
            bFocusOnSend = m_pDlg->focusWidget() == pSend;
            fs::remove(m_dir.File("settings.ini"));
        });
        Clock::time_point tRequest, tHeld;
        long long llAtRequest = -1, llAfterHeld = -1;
        const auto tStart = Clock::now();
        std::thread requester([&] {
            if (row.bHeldKeys) {
                std::this_thread::sleep_until(tStart + std::chrono::milliseconds(600));
                tHeld = Clock::now();
                for (int i = 0; i < 3; ++i) {
                    post(targets.pSend, repeats(Qt::Key_Return));
                    post(targets.pSend, repeats(Qt::Key_Escape));
                }
                std::this_thread::sleep_until(tHeld + std::chrono::milliseconds(200));
                llAfterHeld = watch.Now();
            }
            std::this_thread::sleep_until(tStart + std::chrono::seconds(1));
            llAtRequest = watch.Now();
            tRequest = Clock::now();
            row.request(targets);
        });
        QTest::mouseClick(pSend, Qt::LeftButton); // returns when the Send is over
        requester.join();
        const auto tEnd = Clock::now();
        if (row.bHeldKeys) {
            // Still held after the stop: neither a second Send nor a close.
            for (Qt::Key k : { Qt::Key_Return, Qt::Key_Escape }) {
                std::unique_ptr<QKeyEvent> pRepeat(repeats(k));
                QApplication::sendEvent(pSend, pRepeat.get());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        watch.Stop();
        const long long llPeer = watch.Samples().back().llRx - llBefore;
        const double dStopMs
            = std::chrono::duration<double, std::milli>(watch.SettledAt() - tRequest).count();
        std::printf("[ stop     ] %-34s %lld frames, %.1f ms from the request to the last frame, "
                    "%.0f ms in all\n",
            row.szName, llPeer, dStopMs,
            std::chrono::duration<double, std::milli>(tEnd - tStart).count());

        EXPECT_EQ(csTextDuring, "Stop");
        EXPECT_TRUE(bSendEnabledDuring);
        EXPECT_TRUE(bFocusOnSend);
        EXPECT_FALSE(bPathEnabledDuring);
        ASSERT_GT(llAtRequest, llBefore) << "nothing was going out when the stop was asked for";
        // Frames still went out well after the repeats had been handled.
        if (row.bHeldKeys) {
            EXPECT_GT(llAtRequest, llAfterHeld);
        }
        EXPECT_LE(dStopMs, 50.0);
        ASSERT_GT(llPeer, 0);
        ASSERT_LT(llPeer, static_cast<long long>(kFrames));

        // The box, the status, the log and the peer agree; a close comes after the box.
        const std::string csCount = std::to_string(llPeer);
        ASSERT_EQ(m_box.shown.size(), 1u);
        EXPECT_EQ(m_box.shown[0].csText, csCount + " Packets have been sent");
        EXPECT_EQ(MessageTexts(),
            std::vector<std::string>(
                { "MessageAndLog iType=[0] msg=[" + csCount + " Packets have been sent]",
                    "MessageAndLog return = [ 1]" }));
        if (row.bCloses) {
            EXPECT_FALSE(m_pDlg->isVisible());
            EXPECT_NE(Settings().find("OldPath=" + csCapture + "\r\n"), std::string::npos);
        } else {
            EXPECT_TRUE(m_pDlg->isVisible());
            EXPECT_EQ(pSend->text(), "Send");
            EXPECT_TRUE(C().pPath->isEnabled());
            EXPECT_FALSE(fs::exists(m_dir.File("settings.ini"))); // a stop is no close
        }
        EXPECT_EQ(C().pStatus->text().toStdString(), "Stopped after " + csCount + " packets");
        const auto texts = DebugTexts();
        const auto itStop = std::find(
            texts.begin(), texts.end(), "Replay stopped by the user after " + csCount + " packets");
        ASSERT_NE(itStop, texts.end());
        ASSERT_NE(itStop, texts.begin());
        // A close saves and says goodbye at once, before the stop, the box and the end.
        auto itLast = std::prev(itStop);
        if (row.bCloses) {
            EXPECT_EQ(*itLast, "Program shutting down");
            ASSERT_NE(itLast, texts.begin());
            --itLast;
        }
        EXPECT_EQ(CountDebug("Program shutting down"), row.bCloses ? 1 : 0);
        // Zero-based: the last frame's record number is one below the count.
        char szLast[32];
        std::snprintf(szLast, sizeof szLast, "[%03lld]  ", llPeer - 1);
        EXPECT_EQ(itLast->rfind(szLast, 0), 0u) << *itLast;
        EXPECT_EQ(texts.back(), "MessageAndLog return = [ 1]");
    }
}

// The same send from the window and from velmora-replay leaves the same
// Debuglog.txt records, apart from time stamps and the free space reading.
TEST_F(MainWindowTest, CommandLeavesTheWindowsDebugRecords)
{
    vtest::CNetns ns("parity");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    const std::string csCapture = m_dir.File("frames.pcap");
    ASSERT_TRUE(WriteTestCapture(csCapture, 5, 60));
    // The free space changes between the two runs; the record's words do not.
    auto texts = [&] {
        std::vector<std::string> v = DebugTexts();
        for (std::string& cs : v) {
            if (cs.rfind("FYI. Free space [", 0) == 0)
                cs = "FYI. Free space [" + cs.substr(cs.find(']'));
        }
        return v;
    };
    struct Row {
        const char* szCase;
        int iMode;
        int iOffset;
        std::string csPath;
        std::vector<std::string> args; // the command's, for the same send
        int iExit;
        CRecordSelection selection = {}; // the window's Send selected, when not empty
    };
    const Row rows[] = {
        { "all", 1, 0, csCapture, { "--all" }, 0 },
        { "offset", 0, 3, csCapture, { "--offset", "3" }, 0 },
        { "records", 1, 0, csCapture, { "--records", "4,1-2" }, 0, { 4, 1, 2 } },
        { "missing capture", 1, 0, m_dir.File("missing.pcap"), {}, 3 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szCase);
        Restart("[Velmora]\r\nAutoUpdate=0\r\nMode=" + std::to_string(row.iMode) + "\r\nOffset="
            + std::to_string(row.iOffset) + "\r\nOldPath=" + row.csPath + "\r\nNicDevice=vm0\r\n");
        if (row.selection.empty())
            QTest::mouseClick(C().pSend, Qt::LeftButton);
        else
            m_pDlg->SendRecordSelection(row.csPath, row.selection);
        m_pDlg->OnCancel();
        const std::vector<std::string> window = texts();
        const std::vector<std::string> windowLog = MessageTexts();
        // The command adds to the logs; start it on empty ones to compare.
        for (const char* sz : { "log.txt", "Debuglog.txt" })
            fs::remove(m_dir.File(sz));

        std::vector<std::string> args { VELMORA_REPLAY_EXE, "-i", "vm0" };
        args.insert(args.end(), row.args.begin(), row.args.end());
        args.push_back(row.csPath);
        vtest::CChild command(args, m_dir.Path().string(), ns.Name());
        EXPECT_EQ(command.Wait(), row.iExit) << command.Err();
        EXPECT_EQ(texts(), window);
        // Both show the box, or neither: log.txt has the same records.
        EXPECT_EQ(MessageTexts(), windowLog);
        EXPECT_GE(window.size(), row.iExit == 0 ? 9u : 5u);
    }
}

// A file name that is not UTF-8 goes byte for byte from settings.ini into
// the field, into Send and back into settings.ini; so does one from Browse.
TEST_F(MainWindowTest, PathBytesSurviveFieldSendAndSave)
{
    vtest::CNetns ns("path");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());

    constexpr int kFrames = 5;
    const struct {
        const char* szName;
        bool bBrowse;
    } rows[] = {
        { "caf\xE9.pcap", false }, { "caf\xE9.pcap", true },
        { "\xFF\xFE/\xC3(.pcap", true }, // a folder that is no UTF-8 either
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.szName) + (row.bBrowse ? " by Browse" : " from settings"));
        const std::string csCapture = m_dir.File(row.szName);
        fs::create_directories(fs::path(csCapture).parent_path());
        ASSERT_TRUE(WriteTestCapture(csCapture, kFrames, 60));
        const std::string csStart = row.bBrowse ? "" : csCapture;
        Restart(
            "[Velmora]\r\nAutoUpdate=0\r\nMode=1\r\nOldPath=" + csStart + "\r\nNicDevice=vm0\r\n");
        EXPECT_NE(Settings().find("\r\nOldPath=" + csStart + "\r\n"), std::string::npos);
        if (row.bBrowse) {
            m_files.csAnswer = csCapture;
            QTest::mouseClick(C().pBrowse, Qt::LeftButton);
        }
        // Shown as Qt shows file names, the odd bytes as U+FFFD.
        EXPECT_EQ(C().pPath->text(), QFile::decodeName(csCapture.c_str()));

        const long long llBefore = ns.RxPackets("vm1");
        QTest::mouseClick(C().pSend, Qt::LeftButton);
        EXPECT_EQ(m_pDlg->StatusText(), std::to_string(kFrames) + " packets sent");
        for (int i = 0; i < 100 && ns.RxPackets("vm1") < llBefore + kFrames; ++i)
            QTest::qWait(20);
        EXPECT_EQ(ns.RxPackets("vm1"), llBefore + kFrames);

        QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);
        EXPECT_NE(Settings().find("\r\nOldPath=" + csCapture + "\r\n"), std::string::npos);
    }
}

// Qt hands a chosen file name over as text; the bytes are found on disk, and
// only where one entry alone reads as that text.
TEST(FileNameBytes, FoundOnDiskWhenTheTextIsNotTheName)
{
    vtest::CTempDir dir;
    const std::string csRoot = dir.Path().string() + "/";
    for (const char* sz : { "caf\xE9.pcap", "caf\xC3\xA9.pcap", "x\xE9", "x\xE8", "\xFF/y\xFE.pcap",
             "a\xEF\xBF\xBD" })
        vtest::WriteFile(
            (fs::create_directories(fs::path(csRoot + sz).parent_path()), csRoot + sz), "");
    auto text = [&](const std::string& cs) { return QFile::decodeName((csRoot + cs).c_str()); };
    const struct {
        const char* szChosen; // the name Qt decoded
        std::string csBytes; // what comes back
    } rows[] = {
        { "caf\xE9.pcap", csRoot + "caf\xE9.pcap" },
        { "caf\xC3\xA9.pcap", csRoot + "caf\xC3\xA9.pcap" },
        { "\xFF/y\xFE.pcap", csRoot + "\xFF/y\xFE.pcap" },
        // Two names read as "x\uFFFD": neither is guessed.
        { "x\xE9", csRoot + "x\xEF\xBF\xBD" },
        // A name that holds U+FFFD itself and one with an odd byte read alike.
        { "a\xEF\xBF\xBD", csRoot + "a\xEF\xBF\xBD" },
        { "gone\xE9", csRoot + "gone\xEF\xBF\xBD" },
    };
    for (const auto& row : rows)
        EXPECT_EQ(FileNameBytes(text(row.szChosen)), row.csBytes) << row.szChosen;
}

// A capture path with a line feed cannot go into settings.ini: everything
// else is still saved, the path keeps its last storable value, Send uses the
// path shown, and the Debuglog says so once.
TEST_F(MainWindowTest, LineFeedPathIsUsedButNotStored)
{
    Restart("[Velmora]\r\nAutoUpdate=0\r\nMode=1\r\nOldPath=/captures/kept.pcap\r\n");
    const std::string csOdd = m_dir.File("two\nlines.pcap");
    m_files.csAnswer = csOdd;
    QTest::mouseClick(C().pBrowse, Qt::LeftButton);

    QTest::mouseClick(C().pSingle, Qt::LeftButton);
    C().pOffset->setText("3");
    QTest::mouseClick(C().pAutoUpdate, Qt::LeftButton);
    QTest::mouseClick(C().pSend, Qt::LeftButton);
    EXPECT_EQ(CountDebug("Error. Could not open file=[" + csOdd + "]"), 1);
    QTest::keyClick(m_pDlg.get(), Qt::Key_Escape);

    EXPECT_EQ(Settings(),
        "[Velmora]\r\nDebug=1\r\nAutoUpdate=1\r\nMode=0\r\nOffset=3\r\nOldPath=/captures/"
        "kept.pcap\r\n"
        "NicDevice=\r\n\r\n");
    EXPECT_EQ(
        CountDebug(
            "Err. The capture file path holds a line feed and could not be stored in settings.ini"),
        1);
}

// A normal top-level window, run without modality, so task bars list it;
// boxes and the About window are transient for it.
// The reason a Send stopped is read in the window, not in a tooltip: the
// longest sentence fits the status line whole.
TEST_F(MainWindowTest, StatusLineHoldsTheLongestSentenceWhole)
{
    Start();
    auto* pStatus = C().pStatus;
    const QString csLongest = QStringLiteral(
        "Not sent: no permission to send on enp0s31f6 (see Install in the README)");
    EXPECT_LE(
        pStatus->fontMetrics().horizontalAdvance(csLongest), pStatus->contentsRect().width() - 8);
}

TEST_F(MainWindowTest, RunsAsANormalTopLevelWindow)
{
    vtest::WriteFile(m_dir.File("settings.ini"), "[Velmora]\r\nAutoUpdate=0\r\n");
    m_pDlg = std::make_unique<CReplayDlg>();
    CQtMessageBox qtBox;
    qtBox.SetOwner(m_pDlg.get());
    QObject ctx;
    QWindow* pMain = nullptr;
    QWindow* pBoxParent = nullptr;
    QWindow* pAboutParent = nullptr;
    // Notes the transient parent of the next modal window, and closes it.
    auto nextModalParent = [&](QWindow** ppParent) {
        QTimer::singleShot(0, &ctx, [ppParent] {
            if (QWidget* p = QApplication::activeModalWidget()) {
                *ppParent = p->windowHandle()->transientParent();
                static_cast<QDialog*>(p)->reject();
            }
        });
    };
    QTimer::singleShot(0, &ctx, [&] {
        pMain = m_pDlg->windowHandle();
        EXPECT_EQ(m_pDlg->windowType(), Qt::Window);
        EXPECT_EQ(pMain->modality(), Qt::NonModal);
        EXPECT_EQ(pMain->transientParent(), nullptr);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        nextModalParent(&pBoxParent);
        qtBox.Show("box", MB_OK);
        nextModalParent(&pAboutParent);
        m_pDlg->findChild<QAction*>("menu32771")->trigger();
        m_pDlg->OnCancel();
    });
    QTimer::singleShot(10000, &ctx, [&] {
        ADD_FAILURE() << "window left open";
        QCoreApplication::exit(1);
    });
    EXPECT_EQ(m_pDlg->DoModal(), int(QDialog::Rejected));
    ASSERT_NE(pMain, nullptr);
    EXPECT_EQ(pBoxParent, pMain);
    EXPECT_EQ(pAboutParent, pMain);
}

} // namespace

namespace {

// The desktop opener hands the address to the browser as one argument,
// without a shell: a stand-in "xdg-open" records what it was given.
TEST(QtUrlOpener, AddressReachesTheBrowserAsOneArgument)
{
    vtest::CTempDir dir;
    const std::string csLog = dir.File("args");
    vtest::WriteFile(
        dir.File("xdg-open"), "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$1\" > '" + csLog + "'\n");
    fs::permissions(dir.File("xdg-open"), fs::perms::owner_all);
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QByteArray(dir.Path().c_str()) + ":" + oldPath);

    CQtUrlOpener opener;
    const std::string csUrl
        = "http://127.0.0.1:9/?ref=Velmora (1.00aB) 'x' \"y\";touch " + dir.File("pwned");
    const bool bOpened = opener.Open(csUrl);
    qputenv("PATH", oldPath);
    ASSERT_TRUE(bOpened);
    for (int i = 0; i < 200 && !fs::exists(csLog); ++i)
        QTest::qWait(10);
    QTest::qWait(50);
    const std::string csArgs = vtest::ReadFile(csLog);
    ASSERT_FALSE(csArgs.empty());
    EXPECT_EQ(csArgs, "1\n" + csUrl + "\n");
    EXPECT_FALSE(fs::exists(dir.File("pwned")));
}

// Capture > Send options... by its shortcut: the choice is kept beside
// settings.ini, and the status line says the frames will be aimed.
TEST_F(MainWindowTest, SendOptionsByShortcutAreKeptAndShown)
{
    class CFakeSendOptions final : public ISendOptionsDialog {
    public:
        bool Edit(QWidget*, SSendOptions& options, const std::string& csAdapter,
            const SAdapterAddresses& adapter) override
        {
            shown.push_back(options);
            csAdapterSeen = csAdapter;
            bAdapterHasIpv4 = !adapter.ipv4.empty();
            if (!bAnswerOk)
                return false;
            options = answer;
            return true;
        }
        std::vector<SSendOptions> shown;
        std::string csAdapterSeen;
        bool bAdapterHasIpv4 = false;
        bool bAnswerOk = true;
        SSendOptions answer;
    } dialog;
    SetSendOptionsDialog(&dialog);
    struct SRestore {
        ~SRestore() { SetSendOptionsDialog(nullptr); }
    } restore;
    Restart("[Velmora]\r\nAutoUpdate=0\r\nNicDevice=lo\r\n");
    const std::string csIni = Settings();
    EXPECT_EQ(m_pDlg->StatusText(), "");
    ASSERT_TRUE(ParseMac("02:00:00:00:00:2a", dialog.answer.aim.dstMac));
    dialog.answer.aim.bDstMac = true;
    QTest::keyClick(m_pDlg.get(), Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_EQ(dialog.shown.size(), 1u);
    EXPECT_EQ(dialog.shown[0], SSendOptions());
    EXPECT_EQ(dialog.csAdapterSeen, "lo");
    EXPECT_TRUE(dialog.bAdapterHasIpv4); // 127.0.0.1
    EXPECT_EQ(m_pDlg->StatusText(), "Aimed at 02:00:00:00:00:2a");
    EXPECT_EQ(ReadFile(m_dir.File("send-options.ini")),
        "[Aim]\r\nDstMac=02:00:00:00:00:2a\r\nAlsoBroadcasts=0\r\nSrcMac=\r\nDstIp=\r\nSrcIp="
        "\r\n\r\n[Listen]\r\nListen=0\r\nWait=3\r\nExpectCaptured=0\r\nRequestsOnly=0\r\n\r\n");
    // Cancel changes nothing; the next run starts with the saved choice.
    dialog.bAnswerOk = false;
    QTest::keyClick(m_pDlg.get(), Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_EQ(dialog.shown.size(), 2u);
    EXPECT_EQ(dialog.shown[1], dialog.answer);
    Restart(csIni);
    EXPECT_EQ(m_pDlg->StatusText(), "Aimed at 02:00:00:00:00:2a");
    EXPECT_EQ(m_pDlg->SendOptions(), dialog.answer);
    // Listening joins the aim's notice, and each goes on its own.
    dialog.bAnswerOk = true;
    dialog.answer.listen.bListen = true;
    QTest::keyClick(m_pDlg.get(), Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(m_pDlg->StatusText(),
        "Aimed at 02:00:00:00:00:2a. Listening for answers until 3 s after the last frame");
    // A pace shows for All packets only, and no sentence before it hides the notices.
    const std::string csAimListen
        = "Aimed at 02:00:00:00:00:2a. Listening for answers until 3 s after the last frame";
    dialog.answer.pace.llLoops = 3;
    QTest::keyClick(m_pDlg.get(), Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(m_pDlg->StatusText(),
        "Aimed at 02:00:00:00:00:2a. Back to back, 3 rounds. "
        "Listening for answers until 3 s after the last frame");
    QTest::mouseClick(C().pSingle, Qt::LeftButton);
    EXPECT_EQ(m_pDlg->StatusText(), csAimListen);
    C().pOffset->setText("abc");
    QTest::mouseClick(C().pSend, Qt::LeftButton);
    EXPECT_EQ(m_pDlg->StatusText(),
        "Not sent: the offset must be a whole number from 0 to 9999999. " + csAimListen);
    // The reason stays until the next Send, the notices follow the options.
    const std::string csWhy = "Not sent: the offset must be a whole number from 0 to 9999999";
    C().pOffset->setText("0");
    QTest::mouseClick(C().pAll, Qt::LeftButton);
    dialog.answer.pace = SPaceOptions();
    dialog.answer.aim = SAimOptions();
    QTest::keyClick(m_pDlg.get(), Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(
        m_pDlg->StatusText(), csWhy + ". Listening for answers until 3 s after the last frame");
    // Back at the defaults, the notice goes.
    dialog.answer = SSendOptions();
    QTest::keyClick(m_pDlg.get(), Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(m_pDlg->StatusText(), csWhy);
    EXPECT_EQ(Settings(), csIni);
}

// A timed Send from the window: the notice before it, every round on the
// wire in order with box, status and log agreeing, and a stop inside a long
// gap that ends the wait at once.
TEST_F(MainWindowTest, TimedSendsRepeatInOrderAndStopInsideAGap)
{
    vtest::CNetns ns("timing");
    VTEST_REQUIRE_NETNS(ns);
    vtest::CEnterNetns enter(ns);
    ASSERT_TRUE(enter.Ok());
    // Four frames 2 ms apart, and two frames 5 s apart.
    auto write = [](const std::string& csPath, const std::vector<int64_t>& gapsNs) {
        CRawCaptureWriter writer;
        EXPECT_TRUE(writer.Open(csPath));
        writer.FileHeader(kMaxPcapSnapLen, CRawCaptureWriter::kMagicNano);
        int64_t llStamp = 1'700'000'000LL * 1'000'000'000;
        for (size_t i = 0; i <= gapsNs.size(); ++i) {
            writer.Record(MakeTestFrame(60, static_cast<uint32_t>(i)), 60,
                static_cast<uint32_t>(llStamp / 1'000'000'000),
                static_cast<uint32_t>(llStamp % 1'000'000'000));
            if (i < gapsNs.size())
                llStamp += gapsNs[i];
        }
        EXPECT_TRUE(writer.Close());
    };
    const std::string csFour = m_dir.File("four.pcap"), csGap = m_dir.File("gap.pcap");
    write(csFour, { 2'000'000, 2'000'000, 2'000'000 });
    write(csGap, { 5'000'000'000LL });
    const std::string csSettings = "[Velmora]\r\nAutoUpdate=0\r\nMode=1\r\nNicDevice=vm0\r\n";

    // Three rounds: the peer sees frames 0-3 three times over.
    vtest::WriteFile(m_dir.File("send-options.ini"),
        "[Timing]\r\nPace=Captured\r\nMultiplier=1\r\nRounds=3\r\nPauseMs=20\r\n");
    Restart(csSettings + "OldPath=" + csFour + "\r\n");
    const std::string csNotice = "Paced as captured \u00d7 1, 3 rounds 20 ms apart";
    EXPECT_EQ(m_pDlg->StatusText(), csNotice);
    char szErr[PCAP_ERRBUF_SIZE] = "";
    pcap_t* hPeer = pcap_create(vtest::CNetns::PeerIf(), szErr);
    ASSERT_NE(hPeer, nullptr) << szErr;
    pcap_set_snaplen(hPeer, 128);
    pcap_set_immediate_mode(hPeer, 1);
    ASSERT_EQ(pcap_activate(hPeer), 0) << pcap_geterr(hPeer);
    ASSERT_EQ(pcap_setnonblock(hPeer, 1, szErr), 0);
    QTest::mouseClick(C().pSend, Qt::LeftButton);
    std::vector<int> seen; // the frames' numbers, by their bytes
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (seen.size() < 12 && std::chrono::steady_clock::now() < deadline) {
        pcap_pkthdr* pHeader = nullptr;
        const u_char* pData = nullptr;
        if (pcap_next_ex(hPeer, &pHeader, &pData) != 1 || pHeader->caplen < 60
            || !std::equal(kTestSourceMac, kTestSourceMac + 6, pData + 6))
            continue;
        int iFrame = -1;
        for (int i = 0; i < 4; ++i) {
            const std::vector<uint8_t> frame = MakeTestFrame(60, static_cast<uint32_t>(i));
            if (std::equal(frame.begin(), frame.end(), pData))
                iFrame = i;
        }
        seen.push_back(iFrame);
    }
    pcap_close(hPeer);
    EXPECT_EQ(seen, std::vector<int>({ 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3 }));
    EXPECT_EQ(m_pDlg->StatusText(), "12 packets sent (round 3). " + csNotice);
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(m_box.shown[0].csText, "12 Packets have been sent");
    const auto texts = DebugTexts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                  [](const std::string& cs) {
                      return cs.size() > 6 && cs[0] == '[' && cs.find("]  ") != std::string::npos;
                  }),
        12);

    // A 5 s gap: the countdown shows, and Stop after 0.5 s ends the Send at once.
    vtest::WriteFile(
        m_dir.File("send-options.ini"), "[Timing]\r\nPace=Captured\r\nMultiplier=1\r\n");
    Restart(csSettings + "OldPath=" + csGap + "\r\n");
    m_box.shown.clear();
    auto* pSend = C().pSend;
    std::string csDuring;
    std::chrono::steady_clock::time_point tStop;
    QTimer::singleShot(500, m_pDlg.get(), [&] {
        csDuring = C().pStatus->text().toStdString();
        tStop = std::chrono::steady_clock::now();
        QTest::mouseClick(pSend, Qt::LeftButton);
    });
    const auto tStart = std::chrono::steady_clock::now();
    QTest::mouseClick(pSend, Qt::LeftButton); // returns when the Send is over
    const auto tEnd = std::chrono::steady_clock::now();
    EXPECT_EQ(csDuring, "1 packets sent, next packet in 5 s");
    EXPECT_LT(tEnd - tStart, 2s);
    EXPECT_LT(tEnd - tStop, 300ms);
    EXPECT_EQ(m_pDlg->StatusText(),
        "Stopped after 1 packet (round 1, packet 1). Paced as captured \u00d7 1");
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(m_box.shown[0].csText, "1 Packets have been sent");
}

} // namespace
