#pragma once

// Finding the devices on an adapter's network: one Who-Is, and the I-Am
// answers read into what a user aims at (instance, MAC, IP and port, the
// network behind a router, the largest APDU, the vendor).

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::judge {

struct SDiscovered {
    uint32_t uInstance = 0;
    std::array<uint8_t, 6> mac {}; // the frame's Ethernet source
    bool bIp = false; // BACnet/IP (else BACnet/Ethernet)
    std::array<uint8_t, 4> ip {}; // BACnet/IP: the device's address (a Forwarded-NPDU's origin)
    uint16_t uPort = 0;
    // Behind a router: the network and the device's address on it (SNET/SADR).
    bool bRouted = false;
    uint16_t uNetwork = 0;
    std::vector<uint8_t> sadr;
    uint32_t uMaxApdu = 0;
    uint32_t uSegmentation = 3; // 0 both, 1 transmit, 2 receive, 3 none
    uint32_t uVendor = 0;
    bool operator==(const SDiscovered&) const = default;
};

// Reads an I-Am frame; false for any other frame, or an I-Am whose four
// values are not the application tags it must carry.
bool ParseIAm(const uint8_t* pFrame, size_t nLength, SDiscovered& device);

// The Who-Is Discover sends: a global broadcast (Ethernet and IPv4
// broadcast, BACnet/IP port 47808, DNET 0xffff), no limits. The source
// addresses are left for the aim to fill in (the adapter's own).
std::vector<uint8_t> WhoIsFrame();

// One line per device, tab-separated: instance, MAC, IP:port ("-" on
// BACnet/Ethernet), network ("local", or "NET:SADR"), max APDU, vendor.
std::string DiscoveredLine(const SDiscovered& device);
// The heading of those lines.
const char* DiscoveredHeading();

// The devices among frames heard, each once (the first of its instance
// and addresses), in the order heard.
std::vector<SDiscovered> DiscoveredDevices(const std::vector<std::vector<uint8_t>>& frames);

} // namespace velmora::judge
