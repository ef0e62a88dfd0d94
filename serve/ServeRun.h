#pragma once

// Serving on an adapter: a kernel UDP socket on one of the adapter's own IPv4
// addresses (so ARP, checksums and lengths are the kernel's), and two more
// for the broadcasts a Who-Is comes as (the subnet's and 255.255.255.255).
// Answers leave from the unicast socket to the requester's address and port.

#include "serve/Server.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::serve {

struct SServeRequest {
    std::string csAdapter;
    std::string csServeIp; // empty: the adapter's first IPv4 address
    uint16_t uPort = 47808;
    int64_t llDurationMs = 0; // 0: until stopped
    SServeOptions options;
};

class IServeObserver {
public:
    virtual ~IServeObserver() = default;
    // Listening on csAddress ("10.0.0.2:47808") as the devices given.
    virtual void OnReady(const std::string& csAddress, const std::vector<uint32_t>& devices) = 0;
    virtual void OnServed(const SServed& served, int64_t llStartNs) = 0;
    // Asked at least every 20 ms.
    virtual bool StopRequested() = 0;
};

struct SServeOutcome {
    bool bOk = false; // false: it could not start (csError says why)
    std::string csError;
    SServeCounts counts;
};

// One IPv4 address of an adapter, host order.
struct SAdapterAddress {
    uint32_t uIp = 0;
    uint32_t uBroadcast = 0; // 0: none
};
// The adapter's IPv4 addresses; false with a reason when it has none or does not exist.
bool AdapterAddresses(
    const std::string& csAdapter, std::vector<SAdapterAddress>& addresses, std::string& csError);
// "10.0.0.2" -> host order; false for anything else.
bool ParseIpv4(const std::string& cs, uint32_t& uIp);

// Serves what was learned until the duration ends or the observer asks to stop.
// When every device served spoke BACnet/Ethernet in the capture, they are
// served so: raw 802.3 frames from the adapter's MAC (needs the capability to
// send and hear raw frames, as a Send does).
// Fails to start when the adapter has no such address, the address is a
// served device's own captured address, no device is served, or the socket
// cannot be bound.
SServeOutcome RunServe(
    const SServeRequest& request, const SLearned& learned, IServeObserver& observer, IClock& clock);

} // namespace velmora::serve
