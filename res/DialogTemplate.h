#pragma once

#include <QRect>
#include <cstddef>
#include <map>

class QFont;
class QWidget;

namespace velmora {

// Both windows are laid out from these tables. Positions are in dialog
// units (a quarter of the font's average character width across, an eighth of
// its height down), so the layout grows with the desktop's font.
enum class ECtl {
    DefPushButton,
    PushButton,
    Edit,
    AutoRadio,
    AutoCheck,
    GroupBox,
    Static,
    Picture,
    DropDownCombo,
};

enum : unsigned {
    kTabStop = 1u << 0,
    kGroup = 1u << 1,
    kReadOnly = 1u << 2,
    kMultiLine = 1u << 3,
    kVScroll = 1u << 4,
    kNoBorder = 1u << 5,
    kCentre = 1u << 6,
    kWantReturn = 1u << 7,
    kSunken = 1u << 8,
    kNotify = 1u << 9,
    kAutoHScroll = 1u << 10,
    kAutoVScroll = 1u << 11,
};

struct SControl {
    int iId; // -1 for controls without an id
    ECtl kind;
    const char* szText;
    int x, y, cx, cy;
    unsigned uFlags;
};

struct SDialogTemplate {
    int iId;
    const char* szCaption;
    int cx, cy;
    const SControl* pControls;
    std::size_t nControls;
};

extern const SDialogTemplate kMainDialogTemplate;
extern const SDialogTemplate kAboutDialogTemplate;

// The main window's menu, and the text of an About entry.
struct SMenuItem {
    const char* szText;
    int iCommand;
};
inline constexpr const char* kMainMenuTitle = "Menu";
extern const SMenuItem kMainMenuItems[3];
inline constexpr const char* kAboutMenuString = "&About Velmora...";

enum : int {
    ID_APP_ABOUT = 32771,
    ID_APP_EXIT = 32772,
    ID_HELP_PAGE = 32773,
};

// x * average character width / 4, y * character height / 8, rounded.
QRect DialogUnitsToPixels(const QFont& font, int x, int y, int cx, int cy);

// Creates the template's controls as children of pParent, in template order
// (which is the tab order), and returns them by id. Controls without an id are
// created too but not returned. Group boxes sit behind the other controls and
// let clicks through.
std::map<int, QWidget*> BuildControls(QWidget* pParent, const SDialogTemplate& tmpl);

// The size of the template's client area in pixels.
QSize DialogClientSize(const QFont& font, const SDialogTemplate& tmpl);

} // namespace velmora
