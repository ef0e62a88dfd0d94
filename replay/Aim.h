#pragma once

// Aiming a capture at the device under test: new addresses in BACnet frames
// as they go out, every other byte as captured.

#include "decode/Frame.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::dissect {
struct SRecord;
} // namespace velmora::dissect

namespace velmora {

using CMacAddress = std::array<uint8_t, 6>;
using CIpv4Address = std::array<uint8_t, 4>; // in wire order: 10.0.0.1 is { 10, 0, 0, 1 }

// Where a new source address comes from.
enum class EAimSource {
    AsCaptured, // leave the source alone
    Adapter, // the sending adapter's own address, looked up when the Send starts
    Given, // the one typed
};

// Where routed requests go: as captured, to a device on the adapter's own
// network (DNET, DADR and the hop count taken out), or to a device behind the
// bench's router (network uNet, address addr on it).
enum class ERoute : uint8_t {
    Captured,
    Direct,
    Given,
};

struct SRoute {
    ERoute eRoute = ERoute::Captured;
    uint16_t uNet = 0;
    uint8_t uAddrLength = 0; // 1 to 6
    std::array<uint8_t, 6> addr {};
    bool operator==(const SRoute&) const = default;
};

using SDeviceMap = frame::SDeviceMap;

// The highest device instance; 4194303 is "any device", never a device's own.
inline constexpr uint32_t kMaxDeviceInstance = 4194302;

// What the user chose. Everything is off by default: a default aim changes
// no byte. The frames it touches are BACnet frames only: BACnet/Ethernet
// (802.3, LLC 82 82 03) and BACnet/IP (IPv4, UDP with a port in
// 47808-47823 on either side, as the decoder has it, and BVLC type 0x81).
// The NPDU's DNET/DADR and a Forwarded-NPDU's original source stay as they
// are: they name a device behind a router, not the next hop.
struct SAimOptions {
    bool bDstMac = false;
    CMacAddress dstMac {};
    // Also aim frames sent to a broadcast or multicast address (MAC group bit,
    // IPv4 255.255.255.255 or 224.0.0.0 and above).
    bool bAlsoBroadcasts = false;
    EAimSource eSrcMac = EAimSource::AsCaptured;
    CMacAddress srcMac {}; // for Given
    bool bDstIp = false;
    CIpv4Address dstIp {};
    uint16_t uDstPort = 0; // 0: the captured port
    EAimSource eSrcIp = EAimSource::AsCaptured;
    CIpv4Address srcIp {}; // for Given
    uint16_t uSrcPort = 0; // 0: the captured port
    // Requests only: the NPDU's route and the device instances they name.
    SRoute route;
    std::vector<SDeviceMap> devices;

    // True when no option is on (the source port counts only with a source).
    bool IsDefault() const;
    bool operator==(const SAimOptions&) const = default;
};

// The addresses an adapter has, for EAimSource::Adapter.
struct SAdapterAddresses {
    bool bHasMac = false;
    CMacAddress mac {};
    std::vector<CIpv4Address> ipv4; // in the kernel's order; the first is used
    std::vector<CIpv4Address> broadcast; // beside each of ipv4: its broadcast, 0.0.0.0 if none
};

// The one reading of an adapter's addresses from the kernel (getifaddrs), for
// aiming and serving: 0 when read, ENODEV when there is no such adapter, else
// the errno of the listing.
int ListAdapterAddresses(const std::string& csAdapter, SAdapterAddresses& addresses);
// The same for the aim: false with a reason when there is no such adapter.
bool ReadAdapterAddresses(
    const std::string& csAdapter, SAdapterAddresses& addresses, std::string& csError);

// The aim with every address known: what the rewrite works from.
struct SAimPlan {
    bool bDstMac = false;
    bool bSrcMac = false;
    bool bAlsoBroadcasts = false;
    bool bDstIp = false;
    bool bSrcIp = false;
    bool bDstPort = false;
    bool bSrcPort = false;
    CMacAddress dstMac {};
    CMacAddress srcMac {};
    CIpv4Address dstIp {};
    CIpv4Address srcIp {};
    uint16_t uDstPort = 0;
    uint16_t uSrcPort = 0;
    SRoute route;
    std::vector<SDeviceMap> devices;
    // A frame made longer than this (the IP total length, or the 802.3
    // length) is not sent.
    uint32_t uMtu = 1500;
    // Wrong IPv4 and UDP checksums stay as wrong as captured (--keep-checksums);
    // else they go out mended.
    bool bKeepChecksums = false;

    bool Deep() const { return route.eRoute != ERoute::Captured || !devices.empty(); }
    bool Active() const
    {
        return bDstMac || bSrcMac || bDstIp || bSrcIp || bDstPort || bSrcPort || Deep();
    }
    bool TouchesIp() const { return bDstIp || bSrcIp || bDstPort || bSrcPort; }
};

// Turns the options into a plan, taking "the adapter's own" from adapter.
// False with a reason (naming the adapter) when an adapter address is asked
// for and the adapter has none.
bool PlanAim(const SAimOptions& options, const std::string& csAdapter,
    const SAdapterAddresses& adapter, SAimPlan& plan, std::string& csError);

// What the aim did with one frame.
enum class EAimOutcome : uint8_t {
    Aimed, // at least one address was put in
    Unchanged, // nothing asked applies (no option, or the asked addresses are on another layer)
    Broadcast, // a broadcast or multicast destination, left alone by rule
    // Not aimed, sent as captured, counted:
    NotEthernet, // the capture's link layer is not Ethernet
    TooShort, // shorter than the headers the aim has to read
    BrokenIpHeader, // an IPv4 header that is cut off or does not add up
    IpFragment, // a fragment: its UDP checksum covers bytes in other frames
    NotBacnet, // neither BACnet/Ethernet nor BACnet/IP
    // Not sent at all, counted as refused:
    TooLong, // the route made it longer than the adapter's MTU
};

// True for the outcomes counted as "not aimed".
inline bool IsNotAimed(EAimOutcome e)
{
    return e >= EAimOutcome::NotEthernet && e != EAimOutcome::TooLong;
}

// A few words for the debug record: "not BACnet", "an IP fragment"...
const char* AimOutcomeText(EAimOutcome e);

// Rewrites one Ethernet frame of uLength bytes in place, in a buffer of
// uCapacity bytes, through the frame editor (decode/FrameEdit.h). A frame is
// aimed as a whole or left byte for byte as it was. Addresses and device
// identifiers keep the frame's length: Ethernet padding stays padding, and a
// right checksum is updated for the changed words only (RFC 1624), so it
// stays right, and a UDP checksum of 0 ("none") stays 0. A route or
// re-encoded Who-Is limits change the length: then uLength is the new one,
// the BVLC, UDP, IPv4 and 802.3 lengths and both checksums are computed afresh
// (a UDP checksum of 0 stays 0), and a frame shorter than 60 bytes is padded
// with zeros. A BACnet/IP frame whose IPv4 or UDP checksum was wrong as
// captured (left to the sending host's NIC) goes out with it computed afresh,
// aimed or not, unless plan.bKeepChecksums; *pWrongChecksums then says so.
// Requests only get the route and the device map: answers, Forwarded-NPDUs
// and requests that do not parse to their end keep them as captured.
// TooLong: uLength is 0, and the frame is not to be sent.
EAimOutcome AimFrame(const SAimPlan& plan, uint8_t* pFrame, uint32_t& uLength, uint32_t uCapacity,
    bool* pWrongChecksums = nullptr);

// The same on a frame of its own, which takes its new length (a frame not
// to be sent, TooLong, keeps its bytes).
EAimOutcome AimFrame(const SAimPlan& plan, std::vector<uint8_t>& frame);

// A capture's record aimed, for showing: its bytes, and its lengths when a
// route changed them (a record cut by the capture keeps its wire length).
EAimOutcome AimRecord(const SAimPlan& plan, dissect::SRecord& record);

// Who-Is and Who-Has limits that include a mapped device but are not its
// instance alone are left as captured, each with a debug record: how many
// since the last PlanAim.
uint64_t AimLimitsLeftAlone();

} // namespace velmora
