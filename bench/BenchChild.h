#pragma once

#include <string>

// The measured side of the benchmark. It runs inside the namespace, one process
// per run, so that every run starts the way the program does: a fresh window,
// fresh logs and settings in a folder of its own.
//
// Times one Send with the given mode and offset; results go to standard output
// as lines "VB key value".
int RunBenchChild(char* szArgv0, const std::string& csCapture, bool bDebug, int iMode, int iOffset);
