#pragma once

// Discover: one Who-Is on the chosen adapter, through the normal Send (the
// aim gives it the adapter's own MAC and IPv4 address), and the devices
// whose I-Am came back within the wait. Only where the user aimed: the
// adapter named, nothing else.

#include "judge/Discover.h"
#include "replay/Replay.h"

#include <chrono>
#include <string>
#include <vector>

namespace velmora {

struct SDiscovery {
    SReplayResult result; // the Send of the Who-Is (NotSent says why none went)
    std::vector<judge::SDiscovered> devices;
    std::string csError; // "" when the Who-Is went
};

// The Send Discover makes: the Who-Is from the file csCapture, on
// csAdapter, hearing for wait.
// pSource: the source the Who-Is goes from (its eSrcMac, srcMac, eSrcIp,
// srcIp, uSrcPort); null or as captured: the adapter's own.
SReplayRequest DiscoveryRequest(const std::string& csCapture, const std::string& csAdapter,
    std::chrono::milliseconds wait, const SAimOptions* pSource = nullptr);

// Sends the Who-Is and lists who answered; observer: the stop and the
// progress of the shell (a window pumps its messages). pSource as for
// DiscoveryRequest.
SDiscovery Discover(const std::string& csAdapter, std::chrono::milliseconds wait,
    IReplayObserver& observer, const SAimOptions* pSource = nullptr);

// "2 devices answered the Who-Is" or "no device answered the Who-Is within 3 s"
std::string DiscoverySummary(const SDiscovery& discovery, std::chrono::milliseconds wait);

} // namespace velmora
