#pragma once

#include <string>

// The kernel's limit for one core, as the benchmark measures it: one frame
// (the capture's first) sent again and again on a packet socket bound to the
// adapter, with nothing else to do. The ways to hand it over:
//   "mmsg"   sendmmsg, 64 at a time (the column every ratio is taken to)
//   "bypass" the same with PACKET_QDISC_BYPASS
//   "sndbuf" the same with a 4 MiB send buffer
//   "ring"   a PACKET_TX_RING of 64 slots, each frame's status read back
// Returns 0 when every one of uCount frames was taken.
int BareSendChild(
    const std::string& csCapture, const std::string& csIf, const std::string& csHow, long lCount);
