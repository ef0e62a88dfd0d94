#include "FormServer.h"
#include "TestSupport.h"
#include "about/AboutBox.h"
#include "about/CAboutBox.h"
#include "log/Log.h"
#include "res/DialogTemplate.h"
#include "web/MakerSite.h"
#include "web/WebTexts.h"

#include <QApplication>
#include <QKeySequence>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

using namespace velmora;

namespace {

// Runs fn on the About window once its modal loop is going. A watchdog
// closes it should the test fail to, so that a fault cannot hang the suite;
// both timers die with pCtx, so none outlives its test.
void WhenShownIn(QObject* pCtx, std::function<void(CAboutBox&)> fn)
{
    QTimer::singleShot(0, pCtx, [fn] {
        auto* pBox = dynamic_cast<CAboutBox*>(QApplication::activeModalWidget());
        EXPECT_NE(pBox, nullptr) << "no About window is showing";
        if (pBox)
            fn(*pBox);
    });
    QTimer::singleShot(10000, pCtx, [] {
        if (QWidget* p = QApplication::activeModalWidget()) {
            ADD_FAILURE() << "About window left open";
            static_cast<QDialog*>(p)->reject();
        }
    });
}

QPlainTextEdit* Comments(CAboutBox& box)
{
    return static_cast<QPlainTextEdit*>(box.Control(1003));
}
QPlainTextEdit* VersionBox(CAboutBox& box)
{
    return static_cast<QPlainTextEdit*>(box.Control(1002));
}
QPushButton* Button(CAboutBox& box, int iId)
{
    return static_cast<QPushButton*>(box.Control(iId));
}

std::vector<std::string> CrLfLines(const std::string& cs)
{
    std::vector<std::string> lines;
    size_t pos = 0, next;
    while ((next = cs.find("\r\n", pos)) != std::string::npos) {
        lines.push_back(cs.substr(pos, next - pos));
        pos = next + 2;
    }
    EXPECT_EQ(pos, cs.size()) << "text after the last line break";
    return lines;
}

class AboutBoxTest : public ::testing::Test, protected vtest::CSandbox {
protected:
    void WhenShown(std::function<void(CAboutBox&)> fn) { WhenShownIn(&m_timers, std::move(fn)); }

    QObject m_timers;
};

TEST_F(AboutBoxTest, VersionTextBeginsWithNameVersionAndDate)
{
    const std::string cs = AboutVersionInfo();
    EXPECT_EQ(cs.rfind("Velmora v1.00aB\r\nLast Updated August 04 2006\r\n\r\n", 0), 0u);
    const auto lines = CrLfLines(cs);
    ASSERT_GT(lines.size(), 10u);
    // Every break is CR LF; no stray LF or CR anywhere.
    size_t nLf = 0, nCr = 0;
    for (char c : cs) {
        nLf += c == '\n';
        nCr += c == '\r';
    }
    EXPECT_EQ(nLf, lines.size());
    EXPECT_EQ(nCr, lines.size());
    // The revision table closes the text, followed by one empty line.
    const auto itHead = std::find(lines.begin(), lines.end(), "Rev\tBy\tDate\t        Notes");
    ASSERT_NE(itHead, lines.end());
    ASSERT_GT(lines.end() - itHead, 2);
    for (auto it = itHead + 1; it != lines.end() - 1; ++it)
        EXPECT_EQ(std::count(it->begin(), it->end(), '\t'), 3) << *it;
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(AboutLinkRef(), "Velmora (1.00aB)");
}

TEST_F(AboutBoxTest, WindowShowsTheTextsAndStartsInTheCommentBox)
{
    std::string csOpened;
    WhenShown([&](CAboutBox& box) {
        EXPECT_EQ(box.windowTitle(), QStringLiteral("About Velmora"));
        EXPECT_EQ(box.minimumSize(), box.maximumSize());
        EXPECT_FALSE(box.windowFlags() & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(box.windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_EQ(box.focusWidget(), Comments(box));

        // The box shows CR LF as plain line breaks.
        const QStringList shown = VersionBox(box)->toPlainText().split('\n');
        ASSERT_GT(shown.size(), 3);
        EXPECT_EQ(shown[0], QStringLiteral("Velmora v1.00aB"));
        EXPECT_EQ(shown[1], QStringLiteral("Last Updated August 04 2006"));
        EXPECT_EQ(shown[2], QString());
        EXPECT_FALSE(VersionBox(box)->toPlainText().contains('\r'));
        EXPECT_TRUE(VersionBox(box)->isReadOnly());

        EXPECT_EQ(box.webLink.text().toStdString(), MakerHost());
        EXPECT_EQ(box.webLink.csRef, "Velmora (1.00aB)");
        QTest::mouseClick(&box.webLink, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        box.reject();
    });
    RunAboutBox(nullptr);
    ASSERT_EQ(m_opener.opened.size(), 1u);
    EXPECT_EQ(m_opener.opened[0], SiteRootUrl() + "?ref=Velmora (1.00aB)");
}

TEST_F(AboutBoxTest, TabOrderFollowsTheTemplateAndNoButtonIsDefault)
{
    CAboutBox box;
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&box));
    EXPECT_EQ(box.Control(1001), &box.webLink);
    EXPECT_EQ(box.webLink.parentWidget(), &box);
    for (QPushButton* pb : box.findChildren<QPushButton*>())
        EXPECT_FALSE(pb->isDefault()) << pb->objectName().toStdString();

    std::vector<QString> order;
    Comments(box)->setFocus();
    for (int i = 0; i < 7; ++i) {
        order.push_back(QApplication::focusWidget()->objectName());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    const std::vector<QString> expected
        = { "ctl1003", "ctl1004", "ctl1001", "ctl1017", "ctl1018", "ctl1002", "ctl1003" };
    EXPECT_EQ(order, expected);
}

TEST_F(AboutBoxTest, LinkSitsOnTheTemplateRowAndBannerFillsItsControl)
{
    CAboutBox box;
    const QRect rc = DialogUnitsToPixels(box.font(), 109, 47, 66, 14);
    EXPECT_EQ(box.webLink.y(), rc.y());
    EXPECT_EQ(box.webLink.height(), rc.height());
    EXPECT_GE(box.webLink.width(), rc.width());
    // Either the template's rectangle, or one centred on it that holds the caption.
    EXPECT_LE(std::abs(box.webLink.geometry().center().x() - rc.center().x()), 1);
    EXPECT_LE(box.webLink.geometry().right(), box.width());

    auto* pBanner = static_cast<QLabel*>(box.Control(1018));
    EXPECT_EQ(pBanner->pixmap().size(), pBanner->contentsRect().size());
    EXPECT_EQ(pBanner->cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(AboutBoxTest, BannerClickOpensTheReferral)
{
    CAboutBox box;
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    QTest::mouseClick(box.Control(1018), Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    ASSERT_EQ(m_opener.opened.size(), 1u);
    EXPECT_EQ(m_opener.opened[0], SiteRootUrl() + "?ref=Velmora(1.00aB)");
    EXPECT_TRUE(box.isVisible());
}

TEST_F(AboutBoxTest, SecondShowingStartsAfresh)
{
    QString first, second, secondComments;
    WhenShown([&](CAboutBox& box) {
        first = VersionBox(box)->toPlainText();
        QTest::keyClicks(Comments(box), "not sent");
        QTest::mouseClick(&box.webLink, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        EXPECT_TRUE(box.webLink.bVisited);
        box.reject();
    });
    RunAboutBox(nullptr);
    WhenShown([&](CAboutBox& box) {
        second = VersionBox(box)->toPlainText();
        secondComments = Comments(box)->toPlainText();
        EXPECT_FALSE(box.webLink.bVisited);
        box.reject();
    });
    RunAboutBox(nullptr);
    EXPECT_FALSE(first.isEmpty());
    EXPECT_EQ(first, second);
    EXPECT_EQ(secondComments, QString());
}

TEST_F(AboutBoxTest, EnterInTheCommentBoxStartsANewLine)
{
    bool bOpenAfterEnter = false;
    CAboutBox box;
    box.csVersionInfo = AboutVersionInfo();
    WhenShown([&](CAboutBox& b) {
        QTest::keyClicks(Comments(b), "one");
        QTest::keyClick(Comments(b), Qt::Key_Return);
        QTest::keyClicks(Comments(b), "two");
        QTest::keyClick(Comments(b), Qt::Key_Enter);
        bOpenAfterEnter = b.isVisible();
        QTest::mouseClick(Button(b, 1017), Qt::LeftButton);
    });
    EXPECT_EQ(box.DoModal(), int(QDialog::Accepted));
    EXPECT_TRUE(bOpenAfterEnter);
    EXPECT_TRUE(m_box.shown.empty()); // Send was not pressed by Enter
    EXPECT_EQ(box.csComments, "one\r\ntwo\r\n");
    // Reading back leaves the version text byte for byte.
    EXPECT_EQ(box.csVersionInfo, AboutVersionInfo());
}

// Enter and Space on a focused button press that button; elsewhere Enter
// presses nothing, as no button here is the default.
TEST_F(AboutBoxTest, KeysGoToTheFocusedControl)
{
    const struct {
        int iFocus;
        Qt::Key key;
        const char* szRan; // "send": the feedback ran; "exit": closed as OK; "": nothing
    } rows[] = {
        { 1004, Qt::Key_Return, "send" },
        { 1004, Qt::Key_Enter, "send" },
        { 1004, Qt::Key_Space, "send" },
        { 1017, Qt::Key_Return, "exit" },
        { 1017, Qt::Key_Space, "exit" },
        { 1018, Qt::Key_Return, "" },
        { 1002, Qt::Key_Return, "" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(
            std::to_string(row.iFocus) + " " + QKeySequence(row.key).toString().toStdString());
        m_box.shown.clear();
        CAboutBox box;
        box.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&box));
        QWidget* pFocus = box.Control(row.iFocus);
        pFocus->setFocus();
        ASSERT_EQ(QApplication::focusWidget(), pFocus);
        QTest::keyClick(pFocus, row.key);
        std::string csRan;
        if (!m_box.shown.empty())
            csRan += "send"; // an empty comment is refused with a box
        if (!box.isVisible() && box.result() == QDialog::Accepted)
            csRan += "exit";
        EXPECT_EQ(csRan, row.szRan);
        EXPECT_TRUE(m_opener.opened.empty());
    }
}

TEST_F(AboutBoxTest, EscapeClosesWithoutReading)
{
    CAboutBox box;
    box.csComments = "kept";
    WhenShown([&](CAboutBox& b) {
        QTest::keyClicks(Comments(b), " and typed");
        QTest::keyClick(Comments(b), Qt::Key_Escape);
    });
    EXPECT_EQ(box.DoModal(), int(QDialog::Rejected));
    EXPECT_EQ(box.csComments, "kept");
}

TEST_F(AboutBoxTest, EnterOnTheLinkFollowsItAndNothingElse)
{
    bool bOpen = false;
    CAboutBox box;
    box.webLink.csRef = AboutLinkRef();
    WhenShown([&](CAboutBox& b) {
        QTest::keyClicks(Comments(b), "draft");
        b.webLink.setFocus();
        QTest::keyClick(&b.webLink, Qt::Key_Return);
        bOpen = b.isVisible();
        b.reject();
    });
    box.DoModal();
    EXPECT_TRUE(bOpen);
    ASSERT_EQ(m_opener.opened.size(), 1u);
    EXPECT_EQ(m_opener.opened[0], SiteRootUrl() + "?ref=Velmora (1.00aB)");
    EXPECT_TRUE(m_box.shown.empty()); // no Send
    EXPECT_EQ(box.csComments, "");
}

// A local feedback script that answers PASS and keeps what it got.
class FeedbackTest : public AboutBoxTest {
protected:
    FeedbackTest()
    {
        m_server.Answer(vtest::kFeedbackPath, "PASS");
        SetMakerHostForTesting(m_server.Host());
        m_about.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&m_about));
    }
    void Send(const QString& text)
    {
        m_box.shown.clear();
        Comments(m_about)->setPlainText(text);
        QTest::mouseClick(Button(m_about, 1004), Qt::LeftButton);
        // The window stays open and keeps the text, whatever happened.
        EXPECT_TRUE(m_about.isVisible());
        EXPECT_EQ(Comments(m_about)->toPlainText(), text);
    }
    ~FeedbackTest() override { SetMakerHostForTesting(""); }
    std::string LastShown() const { return m_box.shown.empty() ? "" : m_box.shown.back().csText; }
    std::vector<std::string> Bodies() const
    {
        std::vector<std::string> bodies;
        for (const auto& seen : m_server.Seen())
            bodies.push_back(seen.csBody);
        return bodies;
    }

    vtest::CFormServer m_server;
    CAboutBox m_about;
};

TEST_F(FeedbackTest, EmptyMessageIsNotSent)
{
    Send(QString());
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(LastShown(), kNoMessageText);
    EXPECT_TRUE(Bodies().empty());
}

TEST_F(FeedbackTest, LimitIs1024Bytes)
{
    Send(QString(1025, 'x'));
    EXPECT_EQ(LastShown(), kMessageTooLongText);
    EXPECT_TRUE(Bodies().empty());

    Send(QString(1024, 'x'));
    ASSERT_EQ(m_box.shown.size(), 1u);
    EXPECT_EQ(LastShown(), kMessageSentText);
    const auto bodies = Bodies();
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_NE(bodies[0].find("&Msg=" + std::string(1024, 'x') + "&Notes="), std::string::npos);
    EXPECT_EQ(m_about.csComments, std::string(1024, 'x'));
}

TEST_F(FeedbackTest, LineBreakCountsAsTwo)
{
    // 1,023 characters in the box, 1,024 in the member: sent with CR LF.
    Send(QString(1021, 'x') + "\n" + "y");
    EXPECT_EQ(LastShown(), kMessageSentText);
    auto bodies = Bodies();
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_NE(bodies[0].find("&Msg=" + std::string(1021, 'x') + "\r\ny&Notes="), std::string::npos);

    // 1,024 in the box are 1,025 in the member.
    Send(QString(1022, 'x') + "\n" + "y");
    EXPECT_EQ(LastShown(), kMessageTooLongText);
    EXPECT_EQ(Bodies().size(), 1u);
}

} // namespace
