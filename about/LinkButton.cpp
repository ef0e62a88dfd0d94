#include "about/LinkButton.h"

#include "web/MakerSite.h"
#include "web/UrlOpener.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QPainter>
#include <QPalette>

namespace velmora {

const QCursor* CLinkButton::hLinkCursor = nullptr;

int WmLinkClicked()
{
    static const int s_iType = QEvent::registerEventType();
    return s_iType;
}

CLinkButton::CLinkButton(QWidget* pParent)
    : QPushButton(pParent)
{
    // The colours are taken now; a later change of the desktop scheme does not
    // reach an existing link.
    const QPalette pal = QApplication::palette();
    crLink = pal.color(QPalette::Active, QPalette::Highlight);
    crHover = pal.color(QPalette::Active, QPalette::Link);
    crVisited = QColor(128, 0, 128);
    crDisabled = pal.color(QPalette::Disabled, QPalette::Text);

    if (!hLinkCursor)
        hLinkCursor = new QCursor(Qt::PointingHandCursor);
    setCursor(*hLinkCursor);

    // Never the window's default button, whatever the template said.
    setDefault(false);
    setAutoDefault(false);
    // Pointer moves must reach us without a button held, to disarm the key.
    setMouseTracking(true);

    connect(this, &QAbstractButton::clicked, this, [this] { OnClicked(); });
}

CLinkButton::~CLinkButton() = default;

void CLinkButton::OnClicked()
{
    if (!isEnabled())
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);

    const std::string csAddress = SiteRootUrl() + "?ref=" + csRef;
    if (!OpenUrl(csAddress)) {
        if (QWidget* pParent = parentWidget()) {
            CLinkClickedEvent ev(iDlgCtrlId, 0);
            QCoreApplication::sendEvent(pParent, &ev);
        }
    }

    bVisited = true;
    bHover = false;
    update();
    QApplication::restoreOverrideCursor();
}

QColor CLinkButton::TextColour() const
{
    if (!isEnabled())
        return crDisabled;
    if (bHover)
        return crHover;
    if (bVisited)
        return crVisited;
    return crLink;
}

bool CLinkButton::DrawsUnderlined() const
{
    return isEnabled() && bHover;
}

bool CLinkButton::HandleKey(QKeyEvent* e)
{
    const int iKey = e->key();
    const bool bEnter = iKey == Qt::Key_Return || iKey == Qt::Key_Enter;
    const bool bSpace = iKey == Qt::Key_Space;
    if (e->type() == QEvent::KeyPress) {
        if (bEnter || bSpace) {
            // Held keys repeat their press; that keeps the control armed.
            bKeyDown = true;
            e->accept();
            return true;
        }
        bKeyDown = false;
        return false;
    }
    // Key release.
    if (bSpace) {
        e->accept();
        return true;
    }
    if (bEnter && e->isAutoRepeat()) {
        // X11 reports a held key as release/press pairs: only the real
        // release may follow the link.
        e->accept();
        return true;
    }
    if (bEnter && bKeyDown) {
        bKeyDown = false;
        e->accept();
        OnClicked();
        return true;
    }
    bKeyDown = false;
    return false;
}

bool CLinkButton::event(QEvent* e)
{
    switch (e->type()) {
    case QEvent::ShortcutOverride: {
        // Keep Enter and Space away from shortcuts so they arrive as keys.
        auto* k = static_cast<QKeyEvent*>(e);
        const int iKey = k->key();
        if (iKey == Qt::Key_Return || iKey == Qt::Key_Enter || iKey == Qt::Key_Space) {
            e->accept();
            return true;
        }
        break;
    }
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        if (HandleKey(static_cast<QKeyEvent*>(e)))
            return true;
        break;
    case QEvent::MouseButtonDblClick:
        // The second press of a double-click is already under way: let go of
        // it unclicked, so a double-click follows the link once.
        bKeyDown = false;
        setDown(false);
        e->accept();
        return true;
    case QEvent::MouseMove:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::Wheel:
    case QEvent::Enter:
    case QEvent::Leave:
    case QEvent::HoverEnter:
    case QEvent::HoverLeave:
    case QEvent::HoverMove:
    case QEvent::FocusIn:
    case QEvent::FocusOut:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
        bKeyDown = false;
        break;
    default:
        break;
    }
    return QPushButton::event(e);
}

void CLinkButton::StartHover()
{
    bTracking = true;
    bHover = true;
    update();
}

void CLinkButton::enterEvent(QEnterEvent* e)
{
    QPushButton::enterEvent(e);
    StartHover();
}

void CLinkButton::mouseMoveEvent(QMouseEvent* e)
{
    // A control shown under a resting pointer gets no enter; the first move
    // starts the hover then, as long as no leave has been seen since.
    if (!bTracking)
        StartHover();
    QPushButton::mouseMoveEvent(e);
}

void CLinkButton::leaveEvent(QEvent* e)
{
    bTracking = false;
    bHover = false;
    update();
    QPushButton::leaveEvent(e);
}

void CLinkButton::focusOutEvent(QFocusEvent* e)
{
    QPushButton::focusOutEvent(e);
    update(); // takes the focus rectangle away
}

void CLinkButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect rc = rect();

    if (hasFocus()) {
        QPen pen(palette().color(QPalette::WindowText));
        pen.setStyle(Qt::DotLine);
        pen.setWidth(0);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rc.adjusted(0, 0, -1, -1));
    }

    // Made once from the font the control has at its first drawing.
    if (!pUnderlineFont) {
        pUnderlineFont = std::make_unique<QFont>(font());
        pUnderlineFont->setUnderline(true);
    }

    if (DrawsUnderlined())
        painter.setFont(*pUnderlineFont);
    else
        painter.setFont(font());
    painter.setPen(TextColour());
    // One line from the top left; nothing else, not even a background.
    painter.drawText(rc, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text());
}

} // namespace velmora
