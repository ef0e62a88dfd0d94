#include "app/ReplayApp.h"

#include "app/QtPlatform.h"
#include "app/ReplayDlg.h"

#include <memory>

namespace velmora {

namespace {
    CQtMessageBox s_messageBox;
    CQtUrlOpener s_urlOpener;
} // namespace

CReplayApp::CReplayApp(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("velmora"));
    SetMessageBox(&s_messageBox);
    SetUrlOpener(&s_urlOpener);
}

CReplayApp::~CReplayApp()
{
    SetMessageBox(nullptr);
    SetUrlOpener(nullptr);
}

int CReplayApp::InitInstance()
{
    auto pDlg = std::make_unique<CReplayDlg>();
    s_messageBox.SetOwner(pDlg.get());
    pDlg->DoModal();
    s_messageBox.SetOwner(nullptr);
    pDlg.reset();
    return 0;
}

} // namespace velmora
