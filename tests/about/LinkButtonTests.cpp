#include "TestSupport.h"
#include "about/LinkButton.h"
#include "web/MakerSite.h"

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

using namespace velmora;

namespace {

// Stands in for the About window: counts the link's failure events.
class CRecordingParent : public QWidget {
public:
    struct Got {
        int wParam;
        int lParam;
    };
    std::vector<Got> got;

protected:
    bool event(QEvent* e) override
    {
        if (e->type() == WmLinkClicked()) {
            auto* p = static_cast<CLinkClickedEvent*>(e);
            got.push_back({ p->wParam, p->lParam });
            return true;
        }
        return QWidget::event(e);
    }
};

int CountExact(const QImage& img, const QColor& c)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixelColor(x, y).rgb() == c.rgb())
                ++n;
    return n;
}

// The longest horizontal run of pixels in colour c: an underline spans the
// whole caption, letters never do.
int LongestRun(const QImage& img, const QColor& c)
{
    int iBest = 0;
    for (int y = 0; y < img.height(); ++y) {
        int iRun = 0;
        for (int x = 0; x < img.width(); ++x) {
            iRun = img.pixelColor(x, y).rgb() == c.rgb() ? iRun + 1 : 0;
            iBest = std::max(iBest, iRun);
        }
    }
    return iBest;
}

class LinkButtonTest : public ::testing::Test {
protected:
    LinkButtonTest()
    {
        m_parent.resize(400, 100);
        m_pLink = new CLinkButton(&m_parent);
        m_pLink->SetDlgCtrlId(1001);
        m_pLink->setText(QStringLiteral("www.maker.example"));
        m_pLink->setGeometry(20, 20, 220, 24);
        m_pOther = new QWidget(&m_parent);
        m_pOther->setGeometry(20, 60, 100, 20);
        m_pOther->setFocusPolicy(Qt::StrongFocus);
        m_parent.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&m_parent));
        QApplication::setActiveWindow(&m_parent);
        // Park the pointer away from the link.
        QTest::mouseMove(&m_parent, QPoint(300, 90));
        QApplication::processEvents();
    }

    QImage Shot()
    {
        QApplication::processEvents();
        return m_pLink->grab().toImage();
    }
    int CaptionWidth() const
    {
        return QFontMetrics(m_pLink->font()).horizontalAdvance(m_pLink->text());
    }
    // The caption is drawn in exactly this colour (and none of the others).
    void ExpectDrawnIn(const QColor& c, bool bUnderlined)
    {
        const QImage img = Shot();
        EXPECT_GT(CountExact(img, c), 10) << "colour " << c.name().toStdString();
        for (const QColor& other :
            { m_pLink->crLink, m_pLink->crHover, m_pLink->crVisited, m_pLink->crDisabled }) {
            if (other != c) {
                EXPECT_EQ(CountExact(img, other), 0) << "colour " << other.name().toStdString();
            }
        }
        if (bUnderlined) {
            EXPECT_GE(LongestRun(img, c), CaptionWidth() * 9 / 10);
        } else {
            EXPECT_LT(LongestRun(img, c), CaptionWidth() / 3);
        }
    }
    void PointerOnLink(QPoint at = QPoint(10, 8)) { QTest::mouseMove(m_pLink, at); }
    void PointerAway() { QTest::mouseMove(&m_parent, QPoint(300, 90)); }
    void Key(QEvent::Type type, int iKey, bool bRepeat = false)
    {
        QKeyEvent ev(type, iKey, Qt::NoModifier, QString(), bRepeat);
        QApplication::sendEvent(m_pLink, &ev);
    }

    vtest::CRecordingOpener m_opener;
    CRecordingParent m_parent;
    CLinkButton* m_pLink = nullptr;
    QWidget* m_pOther = nullptr;
};

TEST_F(LinkButtonTest, ColoursComeFromThePaletteAndDiffer)
{
    const QPalette pal = QApplication::palette();
    EXPECT_EQ(m_pLink->crLink, pal.color(QPalette::Active, QPalette::Highlight));
    EXPECT_EQ(m_pLink->crHover, pal.color(QPalette::Active, QPalette::Link));
    EXPECT_EQ(m_pLink->crDisabled, pal.color(QPalette::Disabled, QPalette::Text));
    EXPECT_EQ(m_pLink->crVisited, QColor(128, 0, 128));
    // The pixel checks below need four different colours.
    ASSERT_NE(m_pLink->crLink, m_pLink->crHover);
    ASSERT_NE(m_pLink->crLink, m_pLink->crDisabled);
    ASSERT_NE(m_pLink->crHover, m_pLink->crVisited);
}

TEST_F(LinkButtonTest, ColoursAreSampledOnceAtConstruction)
{
    const QPalette saved = QApplication::palette();
    QPalette changed = saved;
    changed.setColor(QPalette::Highlight, QColor(1, 2, 3));
    QApplication::setPalette(changed);
    CLinkButton later;
    QApplication::setPalette(saved);

    EXPECT_EQ(later.crLink, QColor(1, 2, 3));
    EXPECT_EQ(m_pLink->crLink, saved.color(QPalette::Active, QPalette::Highlight));
    ExpectDrawnIn(m_pLink->crLink, false);
}

TEST_F(LinkButtonTest, FreshHoverAndLeave)
{
    ExpectDrawnIn(m_pLink->crLink, false);

    PointerOnLink();
    EXPECT_TRUE(m_pLink->bHover);
    EXPECT_TRUE(m_pLink->bTracking);
    ExpectDrawnIn(m_pLink->crHover, true);

    PointerAway();
    EXPECT_FALSE(m_pLink->bHover);
    EXPECT_FALSE(m_pLink->bTracking);
    ExpectDrawnIn(m_pLink->crLink, false);
}

TEST_F(LinkButtonTest, ClickTurnsPurpleWithoutUnderlineUntilThePointerComesBack)
{
    PointerOnLink();
    QTest::mouseClick(m_pLink, Qt::LeftButton, Qt::NoModifier, QPoint(10, 8));
    ASSERT_EQ(m_opener.opened.size(), 1u);
    EXPECT_TRUE(m_pLink->bVisited);
    EXPECT_FALSE(m_pLink->bHover);
    ExpectDrawnIn(m_pLink->crVisited, false);

    // Resting and moving about on it keeps the plain visited look.
    PointerOnLink(QPoint(30, 10));
    PointerOnLink(QPoint(40, 12));
    ExpectDrawnIn(m_pLink->crVisited, false);

    PointerAway();
    ExpectDrawnIn(m_pLink->crVisited, false);
    PointerOnLink();
    ExpectDrawnIn(m_pLink->crHover, true);
    PointerAway();
    ExpectDrawnIn(m_pLink->crVisited, false);
}

TEST_F(LinkButtonTest, DisabledIsGreyNeverUnderlinedAndIgnoresClicksAndEnter)
{
    m_pLink->setEnabled(false);
    ExpectDrawnIn(m_pLink->crDisabled, false);
    PointerOnLink();
    ExpectDrawnIn(m_pLink->crDisabled, false);
    QTest::mouseClick(m_pLink, Qt::LeftButton, Qt::NoModifier, QPoint(10, 8));
    m_pLink->OnClicked();
    Key(QEvent::KeyPress, Qt::Key_Return);
    Key(QEvent::KeyRelease, Qt::Key_Return);
    EXPECT_TRUE(m_opener.opened.empty());
    EXPECT_FALSE(m_pLink->bVisited);
    EXPECT_TRUE(m_parent.got.empty());
}

TEST_F(LinkButtonTest, FocusRectangleWhileFocused)
{
    const QColor frame = m_pLink->palette().color(QPalette::WindowText);
    auto framePixels = [&](const QImage& img) {
        int n = 0;
        for (int x = 0; x < img.width(); ++x)
            n += img.pixelColor(x, 0).rgb() == frame.rgb();
        for (int y = 0; y < img.height(); ++y)
            n += img.pixelColor(img.width() - 1, y).rgb() == frame.rgb();
        return n;
    };
    m_pOther->setFocus();
    ASSERT_FALSE(m_pLink->hasFocus());
    EXPECT_EQ(framePixels(Shot()), 0);
    m_pLink->setFocus();
    ASSERT_TRUE(m_pLink->hasFocus());
    EXPECT_GT(framePixels(Shot()), 20);
    m_pOther->setFocus();
    ASSERT_FALSE(m_pLink->hasFocus());
    EXPECT_EQ(framePixels(Shot()), 0);
}

TEST_F(LinkButtonTest, UnderlineFontIsMadeAtTheFirstDrawingOnly)
{
    // Seen from outside: the hover underline keeps the size the caption had
    // when the link was first drawn, whatever font comes later.
    CLinkButton link(&m_parent);
    link.setText(QStringLiteral("www.maker.example"));
    link.setGeometry(0, 0, 400, 60);
    QFont big = link.font();
    big.setPointSize(20);
    link.setFont(big);
    const int iBigWidth = QFontMetrics(big).horizontalAdvance(link.text());
    link.show();
    link.raise();
    QTest::mouseMove(&link, QPoint(5, 5));
    QApplication::processEvents();
    const QImage first = link.grab().toImage();
    EXPECT_GE(LongestRun(first, link.crHover), iBigWidth * 9 / 10);

    QFont small = big;
    small.setPointSize(7);
    link.setFont(small);
    const int iSmallWidth = QFontMetrics(small).horizontalAdvance(link.text());
    ASSERT_LT(iSmallWidth * 3 / 2, iBigWidth);
    QTest::mouseMove(&link, QPoint(6, 5));
    QApplication::processEvents();
    const QImage later = link.grab().toImage();
    EXPECT_GE(LongestRun(later, link.crHover), iBigWidth * 9 / 10);
}

TEST_F(LinkButtonTest, EnterDownAndUpFollowsTheLink)
{
    m_pLink->csRef = "Velmora (1.00aB)";
    m_pLink->setFocus();
    QTest::keyClick(m_pLink, Qt::Key_Return);
    ASSERT_EQ(m_opener.opened.size(), 1u);
    EXPECT_EQ(m_opener.opened[0], SiteRootUrl() + "?ref=Velmora (1.00aB)");
    EXPECT_FALSE(m_pLink->bKeyDown);
    // The keypad's Enter is the same key.
    QTest::keyClick(m_pLink, Qt::Key_Enter);
    EXPECT_EQ(m_opener.opened.size(), 2u);
}

// Mouse events as the window system delivers them: a double-click is press,
// release, press, double-click, release.
TEST_F(LinkButtonTest, DoubleClickFollowsOnce)
{
    constexpr auto P = QEvent::MouseButtonPress;
    constexpr auto R = QEvent::MouseButtonRelease;
    constexpr auto D = QEvent::MouseButtonDblClick;
    const struct {
        const char* szName;
        std::vector<QEvent::Type> events;
        size_t nOpened;
    } rows[] = {
        { "double-click", { P, R, P, D, R }, 1 },
        { "two single clicks", { P, R, P, R }, 2 },
        { "double-click, then a click", { P, R, P, D, R, P, R }, 2 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szName);
        m_opener.opened.clear();
        for (QEvent::Type type : row.events) {
            const QPointF at(10, 8);
            const Qt::MouseButtons held = type == R ? Qt::NoButton : Qt::LeftButton;
            QMouseEvent ev(
                type, at, m_pLink->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
            QApplication::sendEvent(m_pLink, &ev);
        }
        EXPECT_FALSE(m_pLink->isDown());
        EXPECT_EQ(m_opener.opened.size(), row.nOpened);
    }
}

TEST_F(LinkButtonTest, SpaceIsSwallowedAndDoesNothingAlone)
{
    bool bClicked = false;
    QObject::connect(m_pLink, &QAbstractButton::pressed, [&] { bClicked = true; });
    m_pLink->setFocus();
    QTest::keyClick(m_pLink, Qt::Key_Space);
    EXPECT_TRUE(m_opener.opened.empty());
    EXPECT_FALSE(bClicked);
    EXPECT_FALSE(m_pLink->bVisited);

    // Space down then Enter up still follows.
    Key(QEvent::KeyPress, Qt::Key_Space);
    Key(QEvent::KeyRelease, Qt::Key_Return);
    EXPECT_EQ(m_opener.opened.size(), 1u);
}

TEST_F(LinkButtonTest, InputBetweenDownAndUpDisarms)
{
    m_pLink->setFocus();

    Key(QEvent::KeyPress, Qt::Key_Return);
    EXPECT_TRUE(m_pLink->bKeyDown);
    PointerOnLink(QPoint(12, 9));
    EXPECT_FALSE(m_pLink->bKeyDown);
    Key(QEvent::KeyRelease, Qt::Key_Return);
    EXPECT_TRUE(m_opener.opened.empty());

    Key(QEvent::KeyPress, Qt::Key_Return);
    Key(QEvent::KeyPress, Qt::Key_A);
    Key(QEvent::KeyRelease, Qt::Key_Return);
    EXPECT_TRUE(m_opener.opened.empty());

    // An Enter up with no down before it does nothing either.
    Key(QEvent::KeyRelease, Qt::Key_Return);
    EXPECT_TRUE(m_opener.opened.empty());

    // Paints and timers are not input: they leave the key armed.
    Key(QEvent::KeyPress, Qt::Key_Return);
    m_pLink->repaint();
    QApplication::processEvents();
    Key(QEvent::KeyRelease, Qt::Key_Return);
    EXPECT_EQ(m_opener.opened.size(), 1u);
}

TEST_F(LinkButtonTest, HeldEnterFollowsOnceOnRelease)
{
    m_pLink->setFocus();
    Key(QEvent::KeyPress, Qt::Key_Return);
    for (int i = 0; i < 3; ++i) {
        Key(QEvent::KeyRelease, Qt::Key_Return, true);
        Key(QEvent::KeyPress, Qt::Key_Return, true);
    }
    EXPECT_TRUE(m_opener.opened.empty());
    Key(QEvent::KeyRelease, Qt::Key_Return);
    EXPECT_EQ(m_opener.opened.size(), 1u);
}

TEST_F(LinkButtonTest, EnterDoesNotReachTheParent)
{
    // A parent that would act on Enter: nothing may get there.
    struct CKeyCatcher : QObject {
        int n = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::KeyPress || e->type() == QEvent::KeyRelease)
                ++n;
            return false;
        }
    } catcher;
    m_parent.installEventFilter(&catcher);
    m_pLink->setFocus();
    QTest::keyClick(m_pLink, Qt::Key_Return);
    QTest::keyClick(m_pLink, Qt::Key_Space);
    EXPECT_EQ(catcher.n, 0);
    m_parent.removeEventFilter(&catcher);
}

TEST_F(LinkButtonTest, AddressQueryIsUnencoded)
{
    m_pLink->OnClicked();
    m_pLink->csRef = "a b(c)&d=%20";
    m_pLink->OnClicked();
    ASSERT_EQ(m_opener.opened.size(), 2u);
    EXPECT_EQ(m_opener.opened[0], SiteRootUrl() + "?ref=");
    EXPECT_EQ(m_opener.opened[1], SiteRootUrl() + "?ref=a b(c)&d=%20");
}

TEST_F(LinkButtonTest, FailureTellsTheParentOnceSuccessNothing)
{
    m_pLink->OnClicked();
    EXPECT_TRUE(m_parent.got.empty());

    m_opener.bResult = false;
    m_pLink->OnClicked();
    ASSERT_EQ(m_parent.got.size(), 1u);
    EXPECT_EQ(m_parent.got[0].wParam, 1001);
    EXPECT_EQ(m_parent.got[0].lParam, 0);
    EXPECT_TRUE(m_pLink->bVisited);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Without a parent there is nobody to tell, and no crash.
    CLinkButton orphan;
    orphan.OnClicked();
    EXPECT_TRUE(orphan.bVisited);
    EXPECT_EQ(m_parent.got.size(), 1u);
}

TEST(LinkClickedEvent, RegisteredOnceAsAUserType)
{
    const int iType = WmLinkClicked();
    EXPECT_GE(iType, int(QEvent::User));
    EXPECT_LE(iType, int(QEvent::MaxUser));
    EXPECT_EQ(WmLinkClicked(), iType);
    CLinkClickedEvent ev(1001, 0);
    EXPECT_EQ(int(ev.type()), iType);
}

TEST(LinkCursor, EveryLinkShowsTheHand)
{
    CLinkButton a;
    CLinkButton b;
    EXPECT_EQ(a.cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(b.cursor().shape(), Qt::PointingHandCursor);
}

} // namespace
