#pragma once

#include "session/Send.h" // the exit statuses

#include <cstdio>

namespace velmora {

// Runs the command on its arguments; gives the exit status. Standard output
// takes listings and decoded rows, standard error everything else.
int RunCommand(int argc, const char* const* argv, std::FILE* pOut, std::FILE* pErr);

// Set from a SIGINT or SIGTERM handler (or a test): the send stops after the
// frame in flight and the status is 128 plus this signal.
void RequestStop(int iSignal);

} // namespace velmora
