#pragma once

#include <cstdio>
#include <functional>

namespace velmora {

// The command line asks to serve (--serve is among the arguments).
bool IsServeCommand(int argc, const char* const* argv);

// velmora-replay --serve -i ADAPTER [options] CAPTURE: learns the captured
// devices and answers clients as them until stopped. One TSV line per request
// served on pOut; the devices, notes and the closing summary on pErr.
// stopSignal gives the signal that asks to stop (0: none). Exit status: 0
// when stopped (a signal or --duration), 2 usage, 3 the capture or the adapter
// could not be used.
int RunServeCommand(int argc, const char* const* argv, std::FILE* pOut, std::FILE* pErr,
    const std::function<int()>& stopSignal);

// The --help lines of serving.
const char* ServeUsageText();

} // namespace velmora
