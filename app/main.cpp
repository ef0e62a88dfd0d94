#include "LinkButton.h"
#include "ReplayApp.h"
#include "SingleInstance.h"

#include <csignal>

int main(int argc, char** argv)
{
    WmLinkClicked();
    InstanceQueryMessage();
    // Before the application connects to the display: a second copy leaves
    // without a window and without touching logs or settings.
    GuardSingleInstance();
    std::signal(SIGPIPE, SIG_IGN);
    CReplayApp app(argc, argv);
    return app.InitInstance();
}
