// The Send options window: what it shows is what it gives back, and OK stays
// off while an address does not parse.

#include "TestSupport.h"
#include "app/SendOptionsDlg.h"
#include "session/SendWords.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>

using namespace velmora;

namespace {

template <class T> T* Find(QWidget& w, const char* szName)
{
    T* p = w.findChild<T*>(QString::fromLatin1(szName));
    EXPECT_NE(p, nullptr) << szName;
    return p;
}

SAdapterAddresses Adapter()
{
    SAdapterAddresses adapter;
    adapter.bHasMac = true;
    EXPECT_TRUE(ParseMac("02:76:6d:0a:00:01", adapter.mac));
    adapter.ipv4 = { { 10, 0, 0, 1 }, { 10, 0, 0, 7 } };
    return adapter;
}

SSendOptions Everything()
{
    SSendOptions options;
    SAimOptions& aim = options.aim;
    aim.bDstMac = true;
    EXPECT_TRUE(ParseMac("02:00:00:00:00:2a", aim.dstMac));
    aim.bAlsoBroadcasts = true;
    aim.eSrcMac = EAimSource::Given;
    EXPECT_TRUE(ParseMac("02:aa:bb:cc:dd:ee", aim.srcMac));
    aim.bDstIp = true;
    EXPECT_TRUE(ParseIpv4Endpoint("192.168.7.42:47809", aim.dstIp, aim.uDstPort));
    aim.eSrcIp = EAimSource::Adapter;
    aim.uSrcPort = 47810;
    EXPECT_TRUE(ParseRoute("5:0x1f", aim.route));
    aim.devices = { { 207, 1234 }, { 5, 6 }, { 7, 8 }, { 9, 10 }, { 11, 12 } };
    options.listen.bListen = true;
    options.listen.wait = std::chrono::milliseconds(2500);
    options.listen.bExpectCaptured = true;
    options.listen.bRequestsOnly = true;
    options.listen.eCompare = EAnswerCompare::Strict;
    options.listen.converse = { 16, 3600000, 3, 1000000 };
    options.bKeepChecksums = true;
    return options;
}

TEST(SendOptionsTest, GivesBackWhatItShows)
{
    SSendOptions open = Everything();
    open.listen.bConverse = false;
    open.listen.converse = { 1, 1, 0, 0 };
    for (const SSendOptions& options : { SSendOptions(), Everything(), open }) {
        CSendOptionsDlg dlg(options, "vm0", Adapter());
        EXPECT_EQ(dlg.Problem(), "");
        EXPECT_EQ(dlg.Options(), options);
    }
}

// Listening off leaves its wait and "expect" dark, but kept; requests only
// stands on its own. Keys reach the group as a user would press them.
TEST(SendOptionsTest, ListenGroupFollowsItsSwitch)
{
    CSendOptionsDlg dlg(SSendOptions(), "vm0", Adapter());
    auto* pListen = Find<QCheckBox>(dlg, "listenOn");
    auto* pWait = Find<QDoubleSpinBox>(dlg, "listenWait");
    auto* pExpect = Find<QCheckBox>(dlg, "listenExpectCaptured");
    auto* pRequestsOnly = Find<QCheckBox>(dlg, "listenRequestsOnly");
    EXPECT_FALSE(pListen->isChecked());
    EXPECT_EQ(pWait->value(), 3.0);
    EXPECT_FALSE(pWait->isEnabled());
    EXPECT_FALSE(pExpect->isEnabled());
    EXPECT_TRUE(pRequestsOnly->isEnabled());
    pListen->setChecked(true);
    EXPECT_TRUE(pWait->isEnabled());
    EXPECT_TRUE(pExpect->isEnabled());
    pWait->setValue(0.5);
    pExpect->setChecked(true);
    SSendOptions expected;
    expected.listen.bListen = true;
    expected.listen.wait = std::chrono::milliseconds(500);
    expected.listen.bExpectCaptured = true;
    EXPECT_EQ(dlg.Options(), expected);
    // How answers are compared: lit with "expect"; a volatile file's bad line
    // keeps OK dark and is named.
    auto* pCompare = Find<QComboBox>(dlg, "listenCompare");
    auto* pVolatile = Find<QLineEdit>(dlg, "listenVolatileFile");
    EXPECT_TRUE(pCompare->isEnabled());
    EXPECT_TRUE(pVolatile->isEnabled());
    vtest::CTempDir dir;
    const std::string csVolatile = dir.File("v.txt");
    vtest::WriteFile(csVolatile, "analog-value present-value 0.5\n- device\n");
    pVolatile->setText(QString::fromStdString(csVolatile));
    EXPECT_EQ(dlg.Problem(),
        "The volatile properties file: " + csVolatile
            + ": line 2: an object and a property are wanted: OBJECT PROPERTY [TOLERANCE].");
    vtest::WriteFile(csVolatile, "analog-value present-value 0.5\n");
    EXPECT_EQ(dlg.Problem(), "");
    expected.listen.csVolatileFile = csVolatile;
    EXPECT_EQ(dlg.Options(), expected);
    pCompare->setCurrentIndex(2);
    EXPECT_FALSE(pVolatile->isEnabled());
    expected.listen.eCompare = EAnswerCompare::Kind;
    EXPECT_EQ(dlg.Options(), expected);
    pCompare->setCurrentIndex(0);
    pVolatile->clear();
    expected.listen.eCompare = EAnswerCompare::Values;
    expected.listen.csVolatileFile.clear();
    pExpect->setChecked(false);
    EXPECT_FALSE(pCompare->isEnabled());
    pExpect->setChecked(true);
    // Conversing is on with listening, its numbers dark while it is off.
    auto* pConverse = Find<QCheckBox>(dlg, "listenConverse");
    auto* pWindow = Find<QSpinBox>(dlg, "converseWindow");
    auto* pGiveUp = Find<QSpinBox>(dlg, "converseGiveUp");
    EXPECT_TRUE(pConverse->isChecked());
    EXPECT_TRUE(pConverse->isEnabled());
    EXPECT_TRUE(pWindow->isEnabled());
    // Each box keeps to the limits the command and the file check.
    const std::pair<const char*, EConverseSetting> boxes[] = {
        { "converseWindow", EConverseSetting::Window },
        { "converseApduTimeout", EConverseSetting::ApduTimeout },
        { "converseRetries", EConverseSetting::Retries },
        { "converseGiveUp", EConverseSetting::GiveUp },
    };
    for (const auto& [szBox, eSetting] : boxes) {
        SCOPED_TRACE(szBox);
        EXPECT_EQ(Find<QSpinBox>(dlg, szBox)->minimum(), ConverseLimit(eSetting).llMin);
        EXPECT_EQ(Find<QSpinBox>(dlg, szBox)->maximum(), ConverseLimit(eSetting).llMax);
    }
    pWindow->setValue(17); // the box keeps to its limits
    expected.listen.converse.iWindow = 16;
    pGiveUp->setValue(0);
    EXPECT_EQ(pGiveUp->text(), "never");
    expected.listen.converse.iGiveUp = 0;
    EXPECT_EQ(dlg.Options(), expected);
    pConverse->setChecked(false);
    EXPECT_FALSE(pWindow->isEnabled());
    EXPECT_FALSE(Find<QSpinBox>(dlg, "converseApduTimeout")->isEnabled());
    expected.listen.bConverse = false;
    EXPECT_EQ(dlg.Options(), expected);
    pListen->setChecked(false);
    EXPECT_FALSE(pConverse->isEnabled());
    expected.listen.bListen = false;
    EXPECT_EQ(dlg.Options(), expected);
    Find<QPushButton>(dlg, "defaults")->click();
    EXPECT_EQ(dlg.Options(), SSendOptions());
}

TEST(SendOptionsTest, SaysWhatIsLeftAloneAndWhichAdapter)
{
    CSendOptionsDlg dlg(SSendOptions(), "vm0", Adapter());
    const QString qsNote = Find<QLabel>(dlg, "aimNote")->text();
    EXPECT_TRUE(qsNote.contains("DNET/DADR")) << qsNote.toStdString();
    EXPECT_TRUE(qsNote.contains("Forwarded-NPDU")) << qsNote.toStdString();
    EXPECT_EQ(Find<QComboBox>(dlg, "aimSrcMacFrom")->itemText(1),
        "The adapter's own (vm0: 02:76:6d:0a:00:01)");
    EXPECT_EQ(Find<QComboBox>(dlg, "aimSrcIpFrom")->itemText(1),
        "The adapter's own (vm0: 10.0.0.1, its first)");
    CSendOptionsDlg none(SSendOptions(), "", SAdapterAddresses());
    EXPECT_EQ(Find<QComboBox>(none, "aimSrcIpFrom")->itemText(1),
        "The adapter's own (none chosen has none)");
}

// The offscreen screen (800x600) is shorter than the groups: they scroll
// inside a window that fits, with every note and the device table whole.
TEST(SendOptionsTest, ShortScreenScrollsTheGroupsInsteadOfCuttingThem)
{
    CSendOptionsDlg dlg(SSendOptions(), "vm0", Adapter());
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    const QRect screen = dlg.screen()->availableGeometry();
    EXPECT_LE(dlg.frameGeometry().height(), screen.height());
    auto* pScroll = Find<QScrollArea>(dlg, "groups");
    EXPECT_TRUE(pScroll->verticalScrollBar()->isVisible());
    auto* pDevices = Find<QTableWidget>(dlg, "aimDevices");
    EXPECT_GE(pDevices->viewport()->height(), 4 * pDevices->rowHeight(0));
    for (const char* szNote : { "aimNote", "listenNote" }) {
        auto* pNote = Find<QLabel>(dlg, szNote);
        EXPECT_GE(pNote->height(), pNote->heightForWidth(pNote->width())) << szNote;
    }
    // Tabbing to a field below the fold brings it into view.
    pScroll->verticalScrollBar()->setValue(0);
    auto* pRequestsOnly = Find<QCheckBox>(dlg, "listenRequestsOnly");
    Find<QCheckBox>(dlg, "listenOn")->setFocus();
    for (int i = 0; i < 10 && QApplication::focusWidget() != pRequestsOnly; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), pRequestsOnly);
    const QPoint at = pRequestsOnly->mapTo(pScroll->viewport(), QPoint(0, 0));
    EXPECT_GE(at.y(), 0);
    EXPECT_LE(at.y() + pRequestsOnly->height(), pScroll->viewport()->height());
}

// Typed as a user types: OK is off while the address is half done, and the
// line under the groups says what is missing.
TEST(SendOptionsTest, OkWaitsForAnAddressThatParses)
{
    CSendOptionsDlg dlg(SSendOptions(), "vm0", Adapter());
    dlg.show();
    auto* pOk = Find<QPushButton>(dlg, "ok");
    auto* pProblem = Find<QLabel>(dlg, "problem");
    auto* pDstMac = Find<QLineEdit>(dlg, "aimDstMac");
    EXPECT_FALSE(pDstMac->isEnabled());
    QTest::mouseClick(Find<QCheckBox>(dlg, "aimDstMacOn"), Qt::LeftButton, {},
        QPoint(4, Find<QCheckBox>(dlg, "aimDstMacOn")->height() / 2));
    EXPECT_TRUE(pDstMac->isEnabled());
    EXPECT_FALSE(pOk->isEnabled());
    EXPECT_TRUE(pProblem->text().contains("destination MAC"));
    QTest::keyClicks(pDstMac, "02:00:00:00:00:2");
    EXPECT_FALSE(pOk->isEnabled());
    QTest::keyClicks(pDstMac, "a");
    EXPECT_TRUE(pOk->isEnabled());
    EXPECT_TRUE(pProblem->isHidden());

    struct {
        const char* szEdit;
        const char* szText;
        const char* szProblem;
    } const rows[] = {
        { "aimDstIp", "192.168.7.300", "BACnet/IP destination" },
        { "aimDstPort", "65536", "destination port" },
        { "aimSrcMac", "01:00:5e:00:00:01", "no group address" },
        { "aimSrcIp", "10.0.0", "BACnet/IP source" },
        { "aimSrcPort", "0", "source port" },
    };
    Find<QCheckBox>(dlg, "aimDstIpOn")->setChecked(true);
    Find<QLineEdit>(dlg, "aimDstIp")->setText("192.168.7.42");
    Find<QComboBox>(dlg, "aimSrcMacFrom")->setCurrentIndex(2);
    Find<QLineEdit>(dlg, "aimSrcMac")->setText("02:aa:bb:cc:dd:ee");
    Find<QComboBox>(dlg, "aimSrcIpFrom")->setCurrentIndex(2);
    Find<QLineEdit>(dlg, "aimSrcIp")->setText("10.0.0.9");
    ASSERT_TRUE(pOk->isEnabled()) << dlg.Problem();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szEdit);
        auto* pEdit = Find<QLineEdit>(dlg, row.szEdit);
        const QString qsGood = pEdit->text();
        pEdit->setText(row.szText);
        EXPECT_FALSE(pOk->isEnabled());
        EXPECT_TRUE(pProblem->text().contains(row.szProblem)) << pProblem->text().toStdString();
        pEdit->setText(qsGood);
        EXPECT_TRUE(pOk->isEnabled());
    }
    EXPECT_EQ(AimSummary(dlg.Options().aim),
        "Aimed at 02:00:00:00:00:2a and 192.168.7.42, from 02:aa:bb:cc:dd:ee and 10.0.0.9");
    // An option switched off forgets its half-typed address rather than block OK.
    Find<QLineEdit>(dlg, "aimDstIp")->setText("nonsense");
    Find<QCheckBox>(dlg, "aimDstIpOn")->setChecked(false);
    EXPECT_TRUE(pOk->isEnabled());
    EXPECT_FALSE(dlg.Options().aim.bDstIp);
    QTest::mouseClick(Find<QPushButton>(dlg, "defaults"), Qt::LeftButton);
    EXPECT_EQ(dlg.Options(), SSendOptions());
}

// The route and the device table by keyboard alone: the route's choice by
// arrow keys, the address typed, the table's cells typed and left with Tab.
TEST(SendOptionsTest, RouteAndDeviceTableByKeyboard)
{
    CSendOptionsDlg dlg(SSendOptions(), "vm0", Adapter());
    dlg.show();
    auto* pOk = Find<QPushButton>(dlg, "ok");
    auto* pProblem = Find<QLabel>(dlg, "problem");
    auto* pRoute = Find<QComboBox>(dlg, "aimRoute");
    auto* pRouteTo = Find<QLineEdit>(dlg, "aimRouteTo");
    auto* pDevices = Find<QTableWidget>(dlg, "aimDevices");
    EXPECT_FALSE(pRouteTo->isEnabled());
    pRoute->setFocus();
    QTest::keyClick(pRoute, Qt::Key_Down);
    EXPECT_EQ(dlg.Options().aim.route.eRoute, ERoute::Direct);
    QTest::keyClick(pRoute, Qt::Key_Down);
    EXPECT_TRUE(pRouteTo->isEnabled());
    EXPECT_FALSE(pOk->isEnabled());
    EXPECT_TRUE(pProblem->text().contains("NET:ADDR")) << pProblem->text().toStdString();
    QTest::keyClicks(pRouteTo, "5:0x1f");
    EXPECT_TRUE(pOk->isEnabled()) << dlg.Problem();
    EXPECT_EQ(FormatRoute(dlg.Options().aim.route), "5:0x1f");

    // Keys go where a user's would: to the widget with the focus, the cell's
    // editor once typing opened it.
    auto type = [](const char* sz) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F2); // opens the cell's editor
        QApplication::processEvents();
        QTest::keyClicks(QApplication::focusWidget(), sz);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QApplication::processEvents();
    };
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    pDevices->setFocus();
    pDevices->setCurrentCell(0, 0);
    ASSERT_EQ(QApplication::focusWidget(), pDevices);
    type("207");
    ASSERT_EQ(pDevices->item(0, 0)->text().toStdString(), "207");
    // Half a row: OK waits for the bench device.
    EXPECT_FALSE(pOk->isEnabled());
    EXPECT_TRUE(pProblem->text().contains("both of a row")) << pProblem->text().toStdString();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    type("1234");
    EXPECT_TRUE(pOk->isEnabled()) << dlg.Problem();
    EXPECT_EQ(dlg.Options().aim.devices, (std::vector<SDeviceMap> { { 207, 1234 } }));
    pDevices->item(1, 0)->setText("207");
    pDevices->item(1, 1)->setText("5");
    EXPECT_TRUE(pProblem->text().contains("mapped twice")) << pProblem->text().toStdString();
    pDevices->item(1, 0)->setText("4194303");
    EXPECT_TRUE(pProblem->text().contains("0 to 4194302")) << pProblem->text().toStdString();
    pDevices->item(1, 0)->setText("");
    pDevices->item(1, 1)->setText("");
    EXPECT_TRUE(pOk->isEnabled());
    EXPECT_EQ(
        AimSummary(dlg.Options().aim), "Aimed as captured, route: 5:0x1f, device 207 -> 1234");
}

// The Timing group gives back each pace as shown, and says which number is
// wrong while OK stays off.
TEST(SendOptionsTest, TimingShowsAndChecksItsNumbers)
{
    auto pace = [](EPace e, double dValue, int64_t llLoops, int64_t llPauseMs, double dDuration) {
        SSendOptions options;
        options.pace.ePace = e;
        (e == EPace::Captured ? options.pace.dMultiplier : options.pace.dRate) = dValue;
        options.pace.llLoops = llLoops;
        options.pace.llLoopPauseMs = llPauseMs;
        options.pace.dDurationSeconds = dDuration;
        return options;
    };
    for (const SSendOptions& options :
        { pace(EPace::Captured, 0.25, 3, 500, 0), pace(EPace::PacketsPerSecond, 150000, 0, 0, 12.5),
            pace(EPace::MegabitsPerSecond, 0.001, 2, 86400000, 0),
            pace(EPace::BackToBack, 0, 0, 10, 31536000) }) {
        SCOPED_TRACE(PaceSummary(options.pace));
        CSendOptionsDlg dlg(options, "vm0", Adapter());
        EXPECT_EQ(dlg.Problem(), "");
        EXPECT_EQ(dlg.Options(), options);
    }

    CSendOptionsDlg dlg(SSendOptions(), "vm0", Adapter());
    dlg.show();
    auto* pOk = Find<QPushButton>(dlg, "ok");
    auto* pProblem = Find<QLabel>(dlg, "problem");
    auto* pPace = Find<QComboBox>(dlg, "timingPace");
    auto* pValue = Find<QLineEdit>(dlg, "timingPaceValue");
    EXPECT_EQ(pPace->currentIndex(), 0);
    EXPECT_FALSE(pValue->isEnabled());
    EXPECT_FALSE(pValue->isVisible()); // back to back takes no number
    struct Row {
        int iPace; // timingPace's entry; -1 leaves it
        const char* szEdit;
        const char* szText;
        const char* szProblem; // nullptr: OK is on
    };
    const Row rows[] = {
        { 1, "timingPaceValue", "1", nullptr }, // as captured starts at × 1
        { -1, "timingPaceValue", "0.0009", "multiplier" },
        { -1, "timingPaceValue", "1001", "multiplier" },
        { -1, "timingPaceValue", "-1", "multiplier" },
        { -1, "timingPaceValue", "1e2", "multiplier" },
        { -1, "timingPaceValue", "0.001", nullptr },
        { 2, "timingPaceValue", "", "Packets per second" },
        { -1, "timingPaceValue", "100000001", "Packets per second" },
        { -1, "timingPaceValue", "150000", nullptr },
        { 3, "timingPaceValue", "1000001", "Megabits per second" },
        { -1, "timingPaceValue", "2.5", nullptr },
        { -1, "timingRounds", "0", "number of times" },
        { -1, "timingRounds", "2.5", "number of times" },
        { -1, "timingRounds", "2147483648", "number of times" },
        { -1, "timingRounds", "+3", "number of times" },
        { -1, "timingRounds", "2147483647", nullptr },
        { -1, "timingRounds", "3", nullptr },
        { -1, "timingPauseMs", "86400001", "pause between rounds" },
        { -1, "timingPauseMs", "0x10", "pause between rounds" },
        { -1, "timingPauseMs", "0086400000", nullptr },
        { -1, "timingPauseMs", "", "pause between rounds" },
        { -1, "timingPauseMs", "250", nullptr },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.szEdit) + "=" + row.szText);
        if (row.iPace >= 0)
            pPace->setCurrentIndex(row.iPace);
        if (row.iPace != 1)
            Find<QLineEdit>(dlg, row.szEdit)->setText(row.szText);
        EXPECT_EQ(pOk->isEnabled(), row.szProblem == nullptr);
        if (row.szProblem) {
            EXPECT_TRUE(pProblem->text().contains(row.szProblem)) << pProblem->text().toStdString();
        }
        EXPECT_EQ(Find<QLineEdit>(dlg, row.szEdit)->text().toStdString(), row.szText);
    }
    EXPECT_EQ(PaceSummary(dlg.Options().pace), "Paced at 2.5 Mbit/s, 3 rounds 250 ms apart");
    // Each pace keeps its number while another is chosen.
    pPace->setCurrentIndex(2);
    EXPECT_EQ(pValue->text(), "150000");
    pPace->setCurrentIndex(1);
    EXPECT_EQ(pValue->text(), "0.001");
    // Until stopped leaves the count aside; a duration must be above 0.
    Find<QComboBox>(dlg, "timingRepeat")->setCurrentIndex(1);
    Find<QLineEdit>(dlg, "timingRounds")->setText("x");
    EXPECT_FALSE(Find<QLineEdit>(dlg, "timingRounds")->isEnabled());
    EXPECT_TRUE(pOk->isEnabled()) << dlg.Problem();
    Find<QCheckBox>(dlg, "timingDurationOn")->setChecked(true);
    EXPECT_FALSE(pOk->isEnabled());
    EXPECT_TRUE(pProblem->text().contains("seconds above 0"));
    Find<QLineEdit>(dlg, "timingDuration")->setText("0");
    EXPECT_FALSE(pOk->isEnabled());
    Find<QLineEdit>(dlg, "timingDuration")->setText("90");
    EXPECT_TRUE(pOk->isEnabled());
    EXPECT_EQ(PaceSummary(dlg.Options().pace),
        "Paced as captured \u00d7 0.001, rounds until stopped 250 ms apart, for at most 90 s");
    QTest::mouseClick(Find<QPushButton>(dlg, "defaults"), Qt::LeftButton);
    EXPECT_EQ(dlg.Options(), SSendOptions());
    EXPECT_FALSE(pValue->isEnabled());
}

} // namespace

namespace {

// The letter after the lone '&' of a label or check box, lower case; 0 for none.
QChar Mnemonic(const QString& qs)
{
    for (int i = 0; i + 1 < qs.size(); ++i) {
        if (qs[i] != QLatin1Char('&'))
            continue;
        if (qs[i + 1] == QLatin1Char('&')) {
            ++i;
            continue;
        }
        return qs[i + 1].toLower();
    }
    return QChar();
}

} // namespace

// Each Alt+letter names one control, and the letter ticks or focuses it.
TEST(SendOptionsTest, MnemonicsAreUniqueAndWork)
{
    CSendOptionsDlg dlg(SSendOptions(), "vm0", Adapter());
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    std::map<QChar, QString> seen;
    auto Note = [&](const QString& qs) {
        const QChar c = Mnemonic(qs);
        if (c.isNull())
            return;
        EXPECT_EQ(seen.count(c), 0u) << "Alt+" << QString(c).toStdString() << ": "
                                     << seen[c].toStdString() << " and " << qs.toStdString();
        seen[c] = qs;
    };
    for (const QLabel* p : dlg.findChildren<QLabel*>())
        if (p->buddy())
            Note(p->text());
    for (const QAbstractButton* p : dlg.findChildren<QAbstractButton*>())
        Note(p->text());
    EXPECT_GE(seen.size(), 20u);
    // Alt+R: the Repeat box alone, focused; Alt+N ticks "requests only".
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    auto* pListen = Find<QCheckBox>(dlg, "listenOn");
    if (pListen && !pListen->isChecked())
        pListen->setChecked(true);
    QTest::keyClick(&dlg, Qt::Key_R, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), Find<QComboBox>(dlg, "timingRepeat"));
    QTest::keyClick(&dlg, Qt::Key_U, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), Find<QComboBox>(dlg, "aimRoute"));
    const bool bBefore = dlg.Options().listen.bRequestsOnly;
    QTest::keyClick(&dlg, Qt::Key_N, Qt::AltModifier);
    // A button's mnemonic clicks it as a press shows: after a short while.
    for (int i = 0; i < 50 && dlg.Options().listen.bRequestsOnly == bBefore; ++i)
        QTest::qWait(10);
    EXPECT_NE(dlg.Options().listen.bRequestsOnly, bBefore);
}

// Discover: the device that answered the Who-Is fills the aim: its MAC, its
// address and port, the adapter's own as the source, the route to it.
TEST(SendOptionsTest, DiscoverFillsTheAim)
{
    struct SCase {
        const char* szName;
        std::vector<uint8_t> iAm; // the frame heard
        std::string csAim; // AimSummary after the fill
        std::string csNote; // the line beside the button
    };
    // An I-Am from 10.0.0.2:47809 (MAC 02:76:6d:0a:00:02), and one behind a
    // router (network 3, station 0x6c) heard from the router 10.0.0.9.
    const std::vector<uint8_t> head = { 0x02, 0x76, 0x6d, 0x0a, 0x00, 0x01, 0x02, 0x76, 0x6d, 0x0a,
        0x00, 0x02, 0x08, 0x00, 0x45, 0, 0, 0, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 2, 10, 0, 0, 1,
        0xba, 0xc1, 0xba, 0xc0, 0, 0, 0, 0, 0x81, 0x0a, 0, 0 };
    auto Frame = [&](std::vector<uint8_t> npdu, uint8_t uFrom) {
        std::vector<uint8_t> f = head;
        f[11] = uFrom;
        f[29] = uFrom;
        f.insert(f.end(), npdu.begin(), npdu.end());
        const size_t nIp = f.size() - 14;
        f[16] = static_cast<uint8_t>(nIp >> 8);
        f[17] = static_cast<uint8_t>(nIp);
        f[39] = static_cast<uint8_t>(nIp - 20);
        f[45] = static_cast<uint8_t>(nIp - 28);
        return f;
    };
    const std::vector<SCase> cases = {
        { "a device on the adapter's network",
            Frame({ 0x01, 0x00, 0x10, 0x00, 0xc4, 0x02, 0x00, 0x04, 0xd2, 0x22, 0x01, 0xe0, 0x91,
                      0x03, 0x21, 0x0f },
                2),
            "Aimed at 02:76:6d:0a:00:02 and 10.0.0.2:47809, from the adapter's MAC and the "
            "adapter's IPv4 address, route: direct",
            "1 device answered the Who-Is; aimed at device 1234" },
        { "a device behind a router",
            Frame({ 0x01, 0x08, 0x00, 0x03, 0x01, 0x6c, 0x10, 0x00, 0xc4, 0x02, 0x00, 0x00, 0xcf,
                      0x22, 0x01, 0xe0, 0x91, 0x03, 0x21, 0x0f },
                9),
            "Aimed at 02:76:6d:0a:00:09 and 10.0.0.9:47809, from the adapter's MAC and the "
            "adapter's IPv4 address, route: 3:0x6c",
            "1 device answered the Who-Is; aimed at device 207" },
        { "nobody answered", {}, "", "no device answered the Who-Is within 3 s" },
    };
    for (const SCase& c : cases) {
        std::string csAskedOn;
        CSendOptionsDlg::SetDiscover([&](const std::string& csAdapter) {
            csAskedOn = csAdapter;
            SDiscovery d;
            if (!c.iAm.empty())
                d.devices = judge::DiscoveredDevices({ c.iAm });
            return d;
        });
        CSendOptionsDlg dlg(SSendOptions(), "vm0", Adapter());
        auto* pDiscover = Find<QPushButton>(dlg, "aimDiscover");
        ASSERT_TRUE(pDiscover->isEnabled()) << c.szName;
        pDiscover->click();
        EXPECT_EQ(csAskedOn, "vm0") << c.szName;
        EXPECT_EQ(AimSummary(dlg.Options().aim), c.csAim) << c.szName;
        EXPECT_EQ(Find<QLabel>(dlg, "aimDiscovered")->text().toStdString(), c.csNote) << c.szName;
        EXPECT_TRUE(Find<QPushButton>(dlg, "ok")->isEnabled()) << dlg.Problem();
        // For a person to look at: VELMORA_SENDOPTIONS_SHOT=/tmp/options.png.
        if (const char* szShot = std::getenv("VELMORA_SENDOPTIONS_SHOT");
            szShot && &c == &cases[1]) {
            dlg.show();
            EXPECT_TRUE(QTest::qWaitForWindowExposed(&dlg));
            dlg.grab().save(QString::fromLocal8Bit(szShot));
        }
    }
    CSendOptionsDlg::SetDiscover(nullptr);
    // No adapter chosen: nowhere to ask.
    CSendOptionsDlg none(SSendOptions(), "", Adapter());
    EXPECT_FALSE(Find<QPushButton>(none, "aimDiscover")->isEnabled());
}
