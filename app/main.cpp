#include "about/LinkButton.h"
#include "app/ReplayApp.h"
#include "app/SingleInstance.h"
#include "replay/SendSocket.h"

#include <csignal>
#include <cstdio>

using namespace velmora;

int main(int argc, char** argv)
{
    // First of all, before the toolkit or any plugin it loads sees argv or the
    // environment: the send socket, then no capability left.
    if (SetUpSendSocket().bFailed) {
        std::fputs("velmora: could not drop the capabilities it was started with\n", stderr);
        return 1;
    }
    WmLinkClicked();
    InstanceQueryMessage();
    // Before the application connects to the display: a second copy leaves
    // without a window and without touching logs or settings.
    GuardSingleInstance();
    std::signal(SIGPIPE, SIG_IGN);
    CReplayApp app(argc, argv);
    return app.InitInstance();
}
