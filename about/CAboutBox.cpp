#include "about/CAboutBox.h"

#include "about/AboutBox.h"
#include "res/DialogTemplate.h"
#include "res/Resources.h"
#include "web/MakerSite.h"
#include "web/Product.h"
#include "web/WebServices.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>

#include <cstdio>

namespace velmora {

namespace {

    enum : int {
        IDC_WEB_LINK = 1001,
        IDC_VERSION_INFO = 1002,
        IDC_COMMENTS = 1003,
        IDC_SEND = 1004,
        IDC_EXIT = 1017,
        IDC_BANNER = 1018,
    };

    // Our own notice: headed sections, each line ending in CR LF, a blank line
    // between sections.
    constexpr const char* kLegalNotice
        = "Licence\r\n"
          "This program is provided to you free of charge for use on your own\r\n"
          "computers and networks. You may copy it and pass it on unchanged,\r\n"
          "but you may not sell it or pass it off as your own work.\r\n"
          "\r\n"
          "No warranty\r\n"
          "The program is provided as it is, without warranty of any kind,\r\n"
          "express or implied, including fitness for a particular purpose.\r\n"
          "The authors are not liable for any damage or loss of data that\r\n"
          "follows from its use or from being unable to use it.\r\n"
          "\r\n"
          "Network use\r\n"
          "Velmora writes recorded packets onto the network exactly as they\r\n"
          "were captured. Replaying traffic can disturb or control equipment\r\n"
          "on that network. Use it only on networks you are responsible for\r\n"
          "or have permission to test, and check the capture file first.\r\n"
          "You alone are responsible for the traffic you send with it.\r\n"
          "\r\n"
          "Web services\r\n"
          "The version check, the feedback form and the links contact the\r\n"
          "maker's web server. Feedback is sent without your name unless you\r\n"
          "write it into the message yourself.\r\n"
          "\r\n"
          "Third-party libraries\r\n"
          "Qt, under the GNU Lesser General Public License version 3.\r\n"
          "libpcap, under the BSD licence of its authors.\r\n"
          "libcurl, under the curl licence (MIT/X derivative).\r\n"
          "Each remains the property of its copyright holders.\r\n"
          "\r\n";

    constexpr const char* kRevisionTable
        = "Rev\tBy\tDate\t        Notes\r\n"
          "1.00aA\tTS\t07/14/2006\tFirst release: single packet and whole file replay\r\n"
          "1.00aB\tTS\t08/04/2006\tVersion check, feedback form and web links\r\n"
          "\r\n";

} // namespace

std::string AboutVersionInfo()
{
    char sz[256];
    std::snprintf(sz, sizeof sz, "%s v%s%c%c\r\nLast Updated %s\r\n\r\n", kProductName,
        kVersionNumber, kVersionLetter1, kVersionLetter2, kLastUpdated);
    return std::string(sz) + kLegalNotice + kRevisionTable;
}

std::string AboutLinkRef()
{
    char sz[128];
    std::snprintf(sz, sizeof sz, "%s (%s%c%c)", kProductName, kVersionNumber, kVersionLetter1,
        kVersionLetter2);
    return sz;
}

CAboutBox::CAboutBox(QWidget* pParent)
    : QDialog(pParent)
{
    SetUpDialogFrame(*this, kAboutDialogTemplate);
    setFixedSize(DialogClientSize(font(), kAboutDialogTemplate));

    m_controls = BuildControls(this, kAboutDialogTemplate);

    // The template has a plain button where the link goes: the link takes
    // over its rectangle and its place in the tab order.
    QWidget* pPlaceholder = m_controls.at(IDC_WEB_LINK);
    QRect rcLink = pPlaceholder->geometry();
    delete pPlaceholder;
    webLink.setParent(this);
    webLink.SetDlgCtrlId(IDC_WEB_LINK);
    webLink.setObjectName(QStringLiteral("ctl1001"));
    webLink.setText(QString::fromStdString(MakerHost()));
    // The address is wider than the template's 66 units in most desktop fonts:
    // widen the control about its centre rather than cut the text off.
    const int iTextWidth = QFontMetrics(webLink.font()).horizontalAdvance(webLink.text()) + 2;
    if (iTextWidth > rcLink.width()) {
        const int iCentre = rcLink.center().x();
        int iLeft = iCentre - iTextWidth / 2;
        iLeft = qBound(0, iLeft, qMax(0, width() - iTextWidth));
        rcLink = QRect(iLeft, rcLink.y(), qMin(iTextWidth, width()), rcLink.height());
    }
    webLink.setGeometry(rcLink);
    webLink.show();
    m_controls[IDC_WEB_LINK] = &webLink;

    // Template order is the tab order.
    QWidget* pPrev = nullptr;
    for (std::size_t i = 0; i < kAboutDialogTemplate.nControls; ++i) {
        const int iId = kAboutDialogTemplate.pControls[i].iId;
        if (iId < 0 || !(kAboutDialogTemplate.pControls[i].uFlags & kTabStop))
            continue;
        QWidget* pCur = m_controls.at(iId);
        if (pPrev)
            QWidget::setTabOrder(pPrev, pCur);
        pPrev = pCur;
    }

    m_pComments = static_cast<QPlainTextEdit*>(m_controls.at(IDC_COMMENTS));
    m_pVersionInfo = static_cast<QPlainTextEdit*>(m_controls.at(IDC_VERSION_INFO));
    m_pBanner = static_cast<QLabel*>(m_controls.at(IDC_BANNER));

    SetUpBanner(*m_pBanner, this);

    // No button here is ever the default, so Enter on any other control
    // presses nothing. Qt's autoDefault would make the first button the
    // default when the window shows: Enter on a focused Send or Exit is taken
    // by eventFilter instead.
    for (QPushButton* pb : findChildren<QPushButton*>()) {
        pb->setDefault(false);
        pb->setAutoDefault(false);
    }
    m_controls.at(IDC_SEND)->installEventFilter(this);
    m_controls.at(IDC_EXIT)->installEventFilter(this);

    connect(static_cast<QPushButton*>(m_controls.at(IDC_SEND)), &QPushButton::clicked, this,
        [this] { OnSendFeedback(); });
    connect(static_cast<QPushButton*>(m_controls.at(IDC_EXIT)), &QPushButton::clicked, this,
        [this] { OnOK(); });

    m_pComments->setFocus();
}

CAboutBox::~CAboutBox()
{
    // webLink is a member: take it out of the widget tree before the base
    // class deletes the children.
    webLink.setParent(nullptr);
}

QWidget* CAboutBox::Control(int iId) const
{
    const auto it = m_controls.find(iId);
    return it == m_controls.end() ? nullptr : it->second;
}

void CAboutBox::DoDataExchange(bool bSave)
{
    // The link is set up once in the constructor; no text moves for it.
    if (bSave) {
        // The members keep CR LF line breaks, so a line break counts two
        // bytes against the feedback's length limit.
        csComments = ToMemberLineBreaks(m_pComments->toPlainText().toStdString());
        csVersionInfo = ToMemberLineBreaks(m_pVersionInfo->toPlainText().toStdString());
    } else {
        m_pComments->setPlainText(QString::fromStdString(ToWidgetLineBreaks(csComments)));
        m_pVersionInfo->setPlainText(QString::fromStdString(ToWidgetLineBreaks(csVersionInfo)));
    }
}

int CAboutBox::DoModal()
{
    DoDataExchange(false);
    m_pComments->setFocus();
    return exec();
}

void CAboutBox::OnSendFeedback()
{
    DoDataExchange(true);
    SendFeedbackFromForm(csComments);
}

void CAboutBox::OnBanner()
{
    OpenReferralFromBanner();
}

void CAboutBox::OnOK()
{
    DoDataExchange(true);
    accept();
}

bool CAboutBox::eventFilter(QObject* pWatched, QEvent* e)
{
    // A press of the left button on the banner is its click.
    if (pWatched == m_pBanner && e->type() == QEvent::MouseButtonPress
        && static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
        OnBanner();
        return true;
    }
    if ((pWatched == m_controls.at(IDC_SEND) || pWatched == m_controls.at(IDC_EXIT))
        && e->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(e);
        if ((k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) && !k->isAutoRepeat()) {
            static_cast<QPushButton*>(pWatched)->click();
            return true;
        }
    }
    return QDialog::eventFilter(pWatched, e);
}

void RunAboutBox(QWidget* pOwner)
{
    CAboutBox box(pOwner);
    box.csVersionInfo = AboutVersionInfo();
    box.webLink.csRef = AboutLinkRef();
    box.DoModal();
}

} // namespace velmora
