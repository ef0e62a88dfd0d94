#pragma once

#include <cstdio>

namespace velmora {

// Exit status of velmora-replay.
enum : int {
    kExitSent = 0, // every chosen record was sent
    kExitSomeFailed = 1,
    kExitUsage = 2,
    kExitNotOpened = 3, // the capture or the adapter could not be opened
    kExitNotAnswered = 4, // listening: a confirmed request unanswered or answered otherwise
    kExitSignalBase = 128, // plus the number of the signal that stopped the send
};

// Runs the command on its arguments; gives the exit status. Standard output
// takes listings and decoded rows, standard error everything else.
int RunCommand(int argc, const char* const* argv, std::FILE* pOut, std::FILE* pErr);

// Set from a SIGINT or SIGTERM handler (or a test): the send stops after the
// frame in flight and the status is 128 plus this signal.
void RequestStop(int iSignal);

} // namespace velmora
