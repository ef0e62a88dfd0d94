#include "cli/Command.h"
#include "replay/SendSocket.h"

#include <csignal>
#include <cstdio>

using namespace velmora;

namespace {

void OnStopSignal(int iSignal)
{
    RequestStop(iSignal);
}

} // namespace

int main(int argc, char** argv)
{
    // First of all: the send socket, then no capability left.
    if (SetUpSendSocket().bFailed) {
        std::fputs("velmora-replay: could not drop the capabilities it was started with\n", stderr);
        return kExitNotOpened;
    }
    // Ctrl-C and a service manager's stop end the send after the frame in
    // flight, so that the logs and the count stay whole.
    struct sigaction action { };
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return RunCommand(argc, argv, stdout, stderr);
}
