#include "res/DialogTemplate.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

namespace velmora {

namespace {

    constexpr SControl kMainControls[] = {
        { 1, ECtl::DefPushButton, "Send", 124, 247, 50, 14, kTabStop },
        { 2, ECtl::PushButton, "Exit", 240, 262, 50, 14, kTabStop },
        { 1000, ECtl::Edit, "", 26, 159, 192, 14, kTabStop | kAutoHScroll },
        { 1001, ECtl::AutoRadio, "Single Packet", 27, 189, 60, 10, kGroup },
        { 1002, ECtl::AutoRadio, "All packets", 159, 189, 51, 10, 0 },
        { -1, ECtl::GroupBox, "Mutable packets ", 155, 180, 122, 65, 0 },
        { -1, ECtl::GroupBox, "Single packet", 22, 180, 122, 65, 0 },
        { -1, ECtl::GroupBox, "Ethereal log file:", 22, 148, 255, 30, 0 },
        { 1003, ECtl::PushButton, "Browse ", 223, 159, 50, 14, kTabStop },
        { 1004, ECtl::Edit, "", 74, 225, 40, 14, kGroup | kTabStop | kAutoHScroll },
        { 1006, ECtl::AutoCheck, "Automatically check for updates", 77, 266, 117, 10, kTabStop },
        { 1007, ECtl::PushButton, "Check for updates", 7, 262, 63, 14, kTabStop },
        { -1, ECtl::Static, "Send all the packets from the ethereal log file", 159, 202, 112, 28,
            0 },
        { -1, ECtl::Static,
            "Send only a single packet from the Ethereal log file with the offset of ", 29, 202,
            109, 19, 0 },
        { -1, ECtl::Static, "Offset:", 49, 228, 22, 8, 0 },
        { 1012, ECtl::Picture, "", 7, 7, 283, 41, kNotify },
        { 1011, ECtl::Edit, "", 12, 61, 274, 52,
            kMultiLine | kReadOnly | kVScroll | kTabStop | kNoBorder },
        { -1, ECtl::GroupBox, "Information", 7, 52, 283, 65, 0 },
        { -1, ECtl::Static, "Or", 145, 211, 8, 8, 0 },
        // A row of its own across the window, so that a sentence saying why a Send
        // stopped can be read whole.
        { 1013, ECtl::Edit, "", 7, 279, 283, 12, kReadOnly | kCentre | kNoBorder | kTabStop },
        { 1014, ECtl::DropDownCombo, "", 26, 129, 247, 152, kVScroll | kTabStop },
        { -1, ECtl::GroupBox, "Device", 22, 119, 255, 27, 0 },
    };

    constexpr SControl kAboutControls[] = {
        { 1003, ECtl::Edit, "", 13, 164, 264, 64, kMultiLine | kVScroll | kWantReturn | kTabStop },
        { 1004, ECtl::PushButton, "Send", 118, 230, 50, 14, kTabStop },
        { 1001, ECtl::PushButton, "", 109, 47, 66, 14, kTabStop },
        { 1017, ECtl::PushButton, "Exit", 227, 230, 50, 14, kTabStop },
        { 1018, ECtl::Picture, "", 7, 7, 272, 40, kSunken | kNotify | kTabStop },
        { 1002, ECtl::Edit, "", 12, 73, 264, 43,
            kMultiLine | kReadOnly | kVScroll | kAutoVScroll | kTabStop | kNoBorder },
        { -1, ECtl::GroupBox, "Version info", 7, 62, 272, 60, 0 },
        { -1, ECtl::GroupBox, "Comments and Suggestions ", 7, 125, 272, 121, 0 },
        { -1, ECtl::Static,
            "Your comments will be sent anonymously.\nIf you require a response please include "
            "some "
            "contact information (Name, Email, Phone number...)",
            13, 135, 264, 27, 0 },
    };

    int MulDiv(int a, int b, int c)
    {
        return static_cast<int>((static_cast<long long>(a) * b * 2 + c) / (2 * c));
    }

    void BaseUnits(const QFont& font, int& iAvgWidth, int& iHeight)
    {
        const QFontMetrics fm(font);
        // The average character width: both alphabets' width over 52, rounded.
        const int w = fm.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        iAvgWidth = (w / 26 + 1) / 2;
        iHeight = fm.height();
    }

    QWidget* MakeControl(QWidget* pParent, const SControl& c)
    {
        const QString text = QString::fromLatin1(c.szText);
        switch (c.kind) {
        case ECtl::DefPushButton: {
            auto* p = new QPushButton(text, pParent);
            p->setAutoDefault(true);
            p->setDefault(true);
            return p;
        }
        case ECtl::PushButton: {
            // A focused button takes Enter for itself; elsewhere Enter goes to the
            // window's default button.
            auto* p = new QPushButton(text, pParent);
            p->setAutoDefault(true);
            return p;
        }
        case ECtl::Edit:
            if (c.uFlags & kMultiLine) {
                auto* p = new QPlainTextEdit(pParent);
                p->setReadOnly(c.uFlags & kReadOnly);
                p->setVerticalScrollBarPolicy(
                    (c.uFlags & kVScroll) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
                p->setLineWrapMode(QPlainTextEdit::WidgetWidth);
                p->setTabChangesFocus(true);
                if (c.uFlags & kNoBorder)
                    p->setFrameShape(QFrame::NoFrame);
                if (c.uFlags & kReadOnly)
                    p->setTextInteractionFlags(
                        Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
                return p;
            } else {
                auto* p = new QLineEdit(pParent);
                p->setReadOnly(c.uFlags & kReadOnly);
                if (c.uFlags & kNoBorder)
                    p->setFrame(false);
                if (c.uFlags & kCentre)
                    p->setAlignment(Qt::AlignCenter);
                return p;
            }
        case ECtl::AutoRadio:
            return new QRadioButton(text, pParent);
        case ECtl::AutoCheck:
            return new QCheckBox(text, pParent);
        case ECtl::GroupBox:
            return new QGroupBox(text, pParent);
        case ECtl::Static: {
            auto* p = new QLabel(text, pParent);
            p->setWordWrap(true);
            p->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            return p;
        }
        case ECtl::Picture: {
            auto* p = new QLabel(pParent);
            p->setAlignment(Qt::AlignCenter);
            if (c.uFlags & kSunken)
                p->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            return p;
        }
        case ECtl::DropDownCombo: {
            auto* p = new QComboBox(pParent);
            p->setEditable(true);
            p->setInsertPolicy(QComboBox::NoInsert);
            p->setCompleter(nullptr);
            p->setMaxVisibleItems(12);
            return p;
        }
        }
        return nullptr;
    }

} // namespace

const SDialogTemplate kMainDialogTemplate
    = { 102, "Velmora", 297, 294, kMainControls, std::size(kMainControls) };
const SDialogTemplate kAboutDialogTemplate
    = { 100, "About Velmora", 286, 254, kAboutControls, std::size(kAboutControls) };

const SMenuItem kMainMenuItems[3] = {
    { "About", ID_APP_ABOUT },
    { "Help", ID_HELP_PAGE },
    { "Exit", ID_APP_EXIT },
};

QRect DialogUnitsToPixels(const QFont& font, int x, int y, int cx, int cy)
{
    int w, h;
    BaseUnits(font, w, h);
    return QRect(MulDiv(x, w, 4), MulDiv(y, h, 8), MulDiv(cx, w, 4), MulDiv(cy, h, 8));
}

QSize DialogClientSize(const QFont& font, const SDialogTemplate& tmpl)
{
    return DialogUnitsToPixels(font, 0, 0, tmpl.cx, tmpl.cy).size();
}

std::map<int, QWidget*> BuildControls(QWidget* pParent, const SDialogTemplate& tmpl)
{
    std::map<int, QWidget*> byId;
    std::vector<QWidget*> groupBoxes;
    const QFont font = pParent->font();
    for (std::size_t i = 0; i < tmpl.nControls; ++i) {
        const SControl& c = tmpl.pControls[i];
        QWidget* w = MakeControl(pParent, c);
        QRect r = DialogUnitsToPixels(font, c.x, c.y, c.cx, c.cy);
        if (c.kind == ECtl::DropDownCombo)
            r.setHeight(
                qMax(w->sizeHint().height(), DialogUnitsToPixels(font, 0, 0, 0, 14).height()));
        // Desktop fonts often run wider than the layout allows for: let a
        // text that would be cut grow into the free space instead.
        if (c.kind == ECtl::Static) {
            auto* pLabel = static_cast<QLabel*>(w);
            r.setHeight(qMax(r.height(), pLabel->heightForWidth(r.width())));
        } else if (c.kind == ECtl::AutoCheck || c.kind == ECtl::AutoRadio) {
            r.setWidth(qMax(r.width(), w->sizeHint().width()));
        }
        w->setGeometry(r);
        if ((c.uFlags & kReadOnly) && (c.uFlags & kNoBorder)) {
            // A read-only field without a border is part of the window's face:
            // paint it in the window's colour.
            QPalette pal = w->palette();
            pal.setColor(QPalette::Base, pal.color(QPalette::Window));
            w->setPalette(pal);
            w->setAutoFillBackground(true);
        }
        if (c.kind == ECtl::GroupBox || c.kind == ECtl::Static) {
            w->setAttribute(Qt::WA_TransparentForMouseEvents);
            w->setFocusPolicy(Qt::NoFocus);
        } else if (c.kind == ECtl::Picture) {
            w->setFocusPolicy((c.uFlags & kTabStop) ? Qt::TabFocus : Qt::NoFocus);
        } else if (!(c.uFlags & kTabStop) && c.kind != ECtl::AutoRadio) {
            w->setFocusPolicy(Qt::ClickFocus);
        }
        if (c.kind == ECtl::GroupBox)
            groupBoxes.push_back(w);
        if (c.iId >= 0) {
            w->setObjectName(QStringLiteral("ctl%1").arg(c.iId));
            byId[c.iId] = w;
        }
    }
    for (QWidget* g : groupBoxes)
        g->lower();
    return byId;
}

} // namespace velmora
