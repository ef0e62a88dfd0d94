#pragma once

#include <QColor>
#include <QEvent>
#include <QFont>
#include <QPushButton>

#include <memory>
#include <string>

class QCursor;

namespace velmora {

// The event type "WM_LINK_CLICKED": registered with Qt at the first call, the
// same number for the rest of the process. The application calls it at start.
int WmLinkClicked();

// Sent to the link's parent when the browser could not be started.
class CLinkClickedEvent final : public QEvent {
public:
    CLinkClickedEvent(int iWParam, int iLParam)
        : QEvent(static_cast<QEvent::Type>(WmLinkClicked()))
        , wParam(iWParam)
        , lParam(iLParam)
    {
    }
    int wParam; // the control's id
    int lParam; // always 0
};

// A push button that looks and acts like a web link to the maker's site.
//
// Keyboard: Enter or Space going down arms the control; Enter coming up while
// armed follows the link. Any input event that reaches the control in between
// (another key, a pointer move, press or wheel, the pointer entering or
// leaving, focus coming or going) disarms it. Paint, timer and other internal
// events do not count: Qt sends them all the time.
class CLinkButton : public QPushButton {
    Q_OBJECT
public:
    explicit CLinkButton(QWidget* pParent = nullptr);
    ~CLinkButton() override;

    // Follows the link: opens the site root with "?ref=" and csRef unencoded.
    void OnClicked();

    // The id the parent is told about when the link cannot be opened.
    void SetDlgCtrlId(int iId) { iDlgCtrlId = iId; }
    int DlgCtrlId() const { return iDlgCtrlId; }

    // What the next drawing will use; for tests and diagnostics.
    QColor TextColour() const;
    bool DrawsUnderlined() const;

    std::string csRef;
    QColor crLink;
    QColor crHover;
    QColor crVisited;
    QColor crDisabled;
    bool bHover = false;
    bool bTracking = false;
    bool bVisited = false;
    std::unique_ptr<QFont> pUnderlineFont;
    bool bKeyDown = false;

    // Shared by every link, loaded once and kept until the process ends.
    static const QCursor* hLinkCursor;

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void enterEvent(QEnterEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;

private:
    // Returns true when the key event was handled here and must go no further.
    bool HandleKey(QKeyEvent* e);
    void StartHover();

    int iDlgCtrlId = 0;
};

} // namespace velmora
