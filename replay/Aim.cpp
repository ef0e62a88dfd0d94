#include "replay/Aim.h"

#include "decode/CaptureIndex.h"
#include "decode/Frame.h"

#include "log/Log.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmora {

namespace {
    std::atomic<uint64_t> s_llLimitsLeft { 0 };
} // namespace

bool SAimOptions::IsDefault() const
{
    return !bDstMac && eSrcMac == EAimSource::AsCaptured && !bDstIp
        && eSrcIp == EAimSource::AsCaptured && route.eRoute == ERoute::Captured && devices.empty();
}

bool ReadAdapterAddresses(
    const std::string& csAdapter, SAdapterAddresses& addresses, std::string& csError)
{
    addresses = SAdapterAddresses();
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0) {
        csError = "cannot list the adapters' addresses";
        return false;
    }
    bool bFound = false;
    for (const ifaddrs* p = pList; p; p = p->ifa_next) {
        if (!p->ifa_name || csAdapter != p->ifa_name)
            continue;
        bFound = true;
        if (!p->ifa_addr)
            continue;
        if (p->ifa_addr->sa_family == AF_PACKET) {
            const auto* pLink = reinterpret_cast<const sockaddr_ll*>(p->ifa_addr);
            if (pLink->sll_halen == 6) {
                addresses.bHasMac = true;
                std::memcpy(addresses.mac.data(), pLink->sll_addr, 6);
            }
        } else if (p->ifa_addr->sa_family == AF_INET) {
            const auto* pIn = reinterpret_cast<const sockaddr_in*>(p->ifa_addr);
            CIpv4Address ip;
            std::memcpy(ip.data(), &pIn->sin_addr, 4);
            addresses.ipv4.push_back(ip);
        }
    }
    ::freeifaddrs(pList);
    if (!bFound)
        csError = "there is no adapter " + csAdapter;
    return bFound;
}

bool PlanAim(const SAimOptions& options, const std::string& csAdapter,
    const SAdapterAddresses& adapter, SAimPlan& plan, std::string& csError)
{
    plan = SAimPlan();
    plan.bAlsoBroadcasts = options.bAlsoBroadcasts;
    plan.bDstMac = options.bDstMac;
    plan.dstMac = options.dstMac;
    if (options.eSrcMac == EAimSource::Adapter) {
        if (!adapter.bHasMac) {
            csError = "adapter " + csAdapter + " has no MAC address to send from";
            return false;
        }
        plan.bSrcMac = true;
        plan.srcMac = adapter.mac;
    } else if (options.eSrcMac == EAimSource::Given) {
        plan.bSrcMac = true;
        plan.srcMac = options.srcMac;
    }
    if (options.bDstIp) {
        plan.bDstIp = true;
        plan.dstIp = options.dstIp;
        plan.bDstPort = options.uDstPort != 0;
        plan.uDstPort = options.uDstPort;
    }
    if (options.eSrcIp == EAimSource::Adapter) {
        if (adapter.ipv4.empty()) {
            csError = "adapter " + csAdapter + " has no IPv4 address to send from";
            return false;
        }
        plan.bSrcIp = true;
        plan.srcIp = adapter.ipv4.front();
    } else if (options.eSrcIp == EAimSource::Given) {
        plan.bSrcIp = true;
        plan.srcIp = options.srcIp;
    }
    if (options.eSrcIp != EAimSource::AsCaptured) {
        plan.bSrcPort = options.uSrcPort != 0;
        plan.uSrcPort = options.uSrcPort;
    }
    plan.route = options.route;
    plan.devices = options.devices;
    s_llLimitsLeft.store(0, std::memory_order_relaxed);
    if (plan.Deep()) {
        // The adapter's MTU bounds what a longer route may make of a frame.
        ifreq ifr {};
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && !csAdapter.empty() && csAdapter.size() < sizeof ifr.ifr_name) {
            std::memcpy(ifr.ifr_name, csAdapter.c_str(), csAdapter.size());
            if (::ioctl(fd, SIOCGIFMTU, &ifr) == 0 && ifr.ifr_mtu > 0)
                plan.uMtu = static_cast<uint32_t>(ifr.ifr_mtu);
        }
        if (fd >= 0)
            ::close(fd);
    }
    return true;
}

const char* AimOutcomeText(EAimOutcome e)
{
    switch (e) {
    case EAimOutcome::Aimed:
        return "aimed";
    case EAimOutcome::Unchanged:
        return "nothing to aim";
    case EAimOutcome::Broadcast:
        return "a broadcast";
    case EAimOutcome::NotEthernet:
        return "not Ethernet";
    case EAimOutcome::TooShort:
        return "too short";
    case EAimOutcome::BrokenIpHeader:
        return "a broken IP header";
    case EAimOutcome::IpFragment:
        return "an IP fragment";
    case EAimOutcome::NotBacnet:
        return "not BACnet";
    case EAimOutcome::TooLong:
        return "longer than the adapter's MTU";
    }
    return "?";
}

namespace {

    inline uint16_t Get16(const uint8_t* p)
    {
        return static_cast<uint16_t>(p[0] << 8 | p[1]);
    }
    inline void Put16(uint8_t* p, uint16_t u)
    {
        p[0] = static_cast<uint8_t>(u >> 8);
        p[1] = static_cast<uint8_t>(u);
    }

    // RFC 1624, eqn. 3: HC' = ~(~HC + ~m + m'), summed over the changed words.
    class CChecksumDelta {
    public:
        void Change(const uint8_t* pOld, const uint8_t* pNew, size_t nBytes)
        {
            for (size_t i = 0; i < nBytes; i += 2)
                Change16(Get16(pOld + i), Get16(pNew + i));
        }
        void Change16(uint16_t uOld, uint16_t uNew)
        {
            m_uSum += static_cast<uint16_t>(~uOld);
            m_uSum += uNew;
        }
        uint16_t Apply(uint16_t uChecksum) const
        {
            uint64_t u = static_cast<uint16_t>(~uChecksum) + m_uSum;
            while (u >> 16)
                u = (u & 0xffff) + (u >> 16);
            return static_cast<uint16_t>(~u);
        }

    private:
        uint64_t m_uSum = 0; // a frame's words at most: no overflow
    };

    // The ones' complement sum of p[0, n), an odd last byte padded with zero.
    uint32_t OnesSum(const uint8_t* p, uint32_t n, uint64_t u = 0)
    {
        for (uint32_t i = 0; i + 1 < n; i += 2)
            u += Get16(p + i);
        if (n & 1)
            u += static_cast<uint32_t>(p[n - 1] << 8);
        while (u >> 16)
            u = (u & 0xffff) + (u >> 16);
        return static_cast<uint32_t>(u);
    }

    // ---------------------------------------------------------------------
    // The route and the device map: requests read to their end, then the
    // NPDU header and the APDU written anew.

    struct STagAt {
        uint32_t uAt = 0;
        uint32_t uContent = 0;
        uint32_t uLength = 0;
        uint32_t uNumber = 0;
        bool bContext = false;
        bool bOpening = false;
        bool bClosing = false;
    };

    bool ReadTagAt(const uint8_t* p, uint32_t u, uint32_t uEnd, STagAt& t)
    {
        if (u >= uEnd)
            return false;
        const uint8_t b = p[u];
        t = STagAt();
        t.uAt = u++;
        t.uNumber = b >> 4;
        t.bContext = (b & 0x08) != 0;
        uint32_t uLength = b & 0x07;
        if (t.uNumber == 15) {
            if (u >= uEnd)
                return false;
            t.uNumber = p[u++];
        }
        t.bOpening = t.bContext && uLength == 6;
        t.bClosing = t.bContext && uLength == 7;
        if (t.bOpening || t.bClosing || (!t.bContext && t.uNumber == 1)) {
            t.uContent = u; // no content: an application Boolean holds its value in the tag
            return true;
        }
        if (uLength == 5) {
            if (u >= uEnd)
                return false;
            uLength = p[u++];
            if (uLength == 254 || uLength == 255) {
                const uint32_t n = uLength == 254 ? 2 : 4;
                if (uEnd - u < n)
                    return false;
                uLength = 0;
                for (uint32_t i = 0; i < n; ++i)
                    uLength = uLength << 8 | p[u++];
            }
        }
        if (uEnd - u < uLength)
            return false;
        t.uContent = u;
        t.uLength = uLength;
        return true;
    }

    // The context tags that hold an object identifier in each service's own
    // parameters (not inside property values, where only application tags say so).
    uint32_t ObjectIdContextTags(bool bConfirmed, uint8_t uService)
    {
        if (bConfirmed) {
            switch (uService) {
            case 0: // acknowledgeAlarm: eventObjectIdentifier
            case 5: // subscribeCOV: monitoredObjectIdentifier
            case 28: // subscribeCOVProperty
                return 1u << 1;
            case 1: // confirmedCOVNotification: initiating device, monitored object
            case 2: // confirmedEventNotification
                return 1u << 1 | 1u << 2;
            case 8: // addListElement
            case 9: // removeListElement
            case 12: // readProperty
            case 14: // readPropertyMultiple
            case 15: // writeProperty
            case 16: // writePropertyMultiple
            case 26: // readRange
            case 29: // getEventInformation
                return 1u << 0;
            case 27: // lifeSafetyOperation
                return 1u << 3;
            default:
                return 0;
            }
        }
        switch (uService) {
        case 2: // unconfirmedCOVNotification
        case 3: // unconfirmedEventNotification
            return 1u << 1 | 1u << 2;
        case 7: // who-Has: objectIdentifier
            return 1u << 2;
        default:
            return 0;
        }
    }

    constexpr uint8_t kWhoHas = 7;
    constexpr uint8_t kWhoIs = 8;
    constexpr uint32_t kDeviceType = 8;

    const SDeviceMap* MappedDevice(const SAimPlan& plan, uint32_t uObjectId)
    {
        if ((uObjectId >> 22) != kDeviceType)
            return nullptr;
        for (const SDeviceMap& m : plan.devices)
            if (m.uOld == (uObjectId & 0x3fffff))
                return &m;
        return nullptr;
    }

    uint32_t UnsignedAt(const uint8_t* p, const STagAt& t)
    {
        uint32_t u = 0;
        for (uint32_t i = 0; i < t.uLength; ++i)
            u = u << 8 | p[t.uContent + i];
        return u;
    }

    void PutUnsigned(std::vector<uint8_t>& out, uint32_t uTag, uint32_t u)
    {
        const uint32_t n = u < 0x100 ? 1 : u < 0x10000 ? 2 : u < 0x1000000 ? 3 : 4;
        out.push_back(static_cast<uint8_t>(uTag << 4 | 0x08 | n));
        for (uint32_t i = n; i-- > 0;)
            out.push_back(static_cast<uint8_t>(u >> (8 * i)));
    }

    // The NPDU and APDU of a request as they go out, in out; false when the
    // request keeps them as captured (nothing to change, or not read to its end).
    bool RewriteRequest(const SAimPlan& plan, const uint8_t* p, const decode::SFrameLayout& f,
        std::vector<uint8_t>& out)
    {
        const uint32_t uBody = f.uApduAt ? f.uApduAt : f.uNetworkMessageAt;
        out.clear();
        // The NPDU header.
        out.push_back(p[f.uNpduAt]);
        uint8_t uControl = f.uNpduControl;
        const bool bDnet = (uControl & 0x20) != 0;
        if (bDnet && plan.route.eRoute == ERoute::Direct)
            uControl = static_cast<uint8_t>(uControl & ~0x20);
        out.push_back(uControl);
        const bool bNewDnet = bDnet && plan.route.eRoute == ERoute::Given;
        if (bDnet && plan.route.eRoute == ERoute::Captured)
            out.insert(out.end(), p + f.uDnetAt, p + f.uDnetAt + 3 + p[f.uDnetAt + 2]);
        if (bNewDnet) {
            out.push_back(static_cast<uint8_t>(plan.route.uNet >> 8));
            out.push_back(static_cast<uint8_t>(plan.route.uNet));
            out.push_back(plan.route.uAddrLength);
            out.insert(out.end(), plan.route.addr.begin(),
                plan.route.addr.begin() + plan.route.uAddrLength);
        }
        if (f.uSnetAt)
            out.insert(out.end(), p + f.uSnetAt, p + f.uSnetAt + 3 + p[f.uSnetAt + 2]);
        if (bDnet && uControl & 0x20)
            out.push_back(p[f.uHopCountAt]);
        bool bChanged = out.size() != uBody - f.uNpduAt
            || std::memcmp(out.data(), p + f.uNpduAt, out.size()) != 0;
        const size_t nApdu = out.size();
        out.insert(out.end(), p + uBody, p + f.uEnd);
        if (!f.uApduAt)
            return bChanged; // a network message: its NPDU is all there is to change

        // The APDU: its header, then every tag to the end.
        const uint8_t* a = p + f.uApduAt;
        const uint32_t uType = a[0] >> 4;
        uint32_t uData = 0;
        if (uType == 0) {
            if (a[0] & 0x08) // a segment: the rest of the request is in other frames
                return bChanged;
            uData = f.uApduAt + 4;
        } else {
            uData = f.uApduAt + 2;
        }
        const bool bConfirmed = uType == 0;
        const uint8_t uService = p[uData - 1];
        const uint32_t uIdTags = ObjectIdContextTags(bConfirmed, uService);
        const bool bLimits = !bConfirmed && (uService == kWhoIs || uService == kWhoHas);
        STagAt low, high;
        bool bLow = false, bHigh = false;
        int iDepth = 0;
        for (uint32_t u = uData; u < f.uEnd;) {
            STagAt t;
            if (!ReadTagAt(p, u, f.uEnd, t))
                return false;
            u = t.uContent + t.uLength;
            if (t.bOpening) {
                ++iDepth;
                continue;
            }
            if (t.bClosing) {
                if (--iDepth < 0)
                    return false;
                continue;
            }
            const bool bId = t.uLength == 4
                && (t.bContext ? iDepth == 0 && t.uNumber < 32 && (uIdTags >> t.uNumber & 1)
                               : t.uNumber == 12);
            if (bId && !plan.devices.empty()) {
                const uint32_t uId = UnsignedAt(p, t);
                if (const SDeviceMap* m = MappedDevice(plan, uId)) {
                    const uint32_t uNew = kDeviceType << 22 | m->uNew;
                    uint8_t* q = out.data() + nApdu + (t.uContent - f.uApduAt);
                    for (int i = 0; i < 4; ++i)
                        q[i] = static_cast<uint8_t>(uNew >> (24 - 8 * i));
                    bChanged = true;
                }
            }
            if (bLimits && iDepth == 0 && t.bContext && t.uLength >= 1 && t.uLength <= 4) {
                if (t.uNumber == 0 && t.uAt == uData) {
                    low = t;
                    bLow = true;
                } else if (t.uNumber == 1 && bLow && t.uAt == low.uContent + low.uLength) {
                    high = t;
                    bHigh = true;
                }
            }
        }
        if (iDepth != 0)
            return false;
        if (!bHigh)
            return bChanged;
        const uint32_t uLow = UnsignedAt(p, low), uHigh = UnsignedAt(p, high);
        for (const SDeviceMap& m : plan.devices) {
            if (uLow == m.uOld && uHigh == m.uOld) {
                // OLD-OLD becomes NEW-NEW, each as short as it goes.
                std::vector<uint8_t> limits;
                PutUnsigned(limits, 0, m.uNew);
                PutUnsigned(limits, 1, m.uNew);
                const size_t nAt = nApdu + (low.uAt - f.uApduAt);
                const size_t nOld = high.uContent + high.uLength - low.uAt;
                out.erase(out.begin() + static_cast<std::ptrdiff_t>(nAt),
                    out.begin() + static_cast<std::ptrdiff_t>(nAt + nOld));
                out.insert(
                    out.begin() + static_cast<std::ptrdiff_t>(nAt), limits.begin(), limits.end());
                return true;
            }
            if (uLow <= m.uOld && m.uOld <= uHigh) {
                s_llLimitsLeft.fetch_add(1, std::memory_order_relaxed);
                DebugLog("FYI. %s limits %u-%u include device %u: left as captured",
                    uService == kWhoIs ? "Who-Is" : "Who-Has", uLow, uHigh, m.uOld);
            }
        }
        return bChanged;
    }

    // Puts the MAC addresses in; true when one was asked for.
    inline bool AimMacs(const SAimPlan& plan, uint8_t* pFrame, bool bDestination)
    {
        if (bDestination && plan.bDstMac)
            std::memcpy(pFrame, plan.dstMac.data(), 6);
        if (plan.bSrcMac)
            std::memcpy(pFrame + 6, plan.srcMac.data(), 6);
        return (bDestination && plan.bDstMac) || plan.bSrcMac;
    }

} // namespace

EAimOutcome AimFrame(const SAimPlan& plan, uint8_t* pFrame, uint32_t& uLength, uint32_t uCapacity)
{
    if (!plan.Active())
        return EAimOutcome::Unchanged;
    const decode::SFrameLayout layout = decode::LocateFrame(pFrame, uLength);
    switch (layout.eFault) {
    case decode::EFrameFault::None:
        break;
    case decode::EFrameFault::TooShort:
        return EAimOutcome::TooShort;
    case decode::EFrameFault::BrokenIpHeader:
        return EAimOutcome::BrokenIpHeader;
    case decode::EFrameFault::IpFragment:
        return EAimOutcome::IpFragment;
    case decode::EFrameFault::NotBacnet:
        return EAimOutcome::NotBacnet;
    }
    const bool bIp = layout.eKind == decode::EFrameKind::BacnetIp;
    // A first fragment's UDP checksum covers bytes in other frames.
    if (bIp && layout.bFirstFragment)
        return EAimOutcome::IpFragment;

    // The route and the device map, worked out before a byte changes.
    thread_local std::vector<uint8_t> deep;
    bool bDeep = false;
    uint32_t uNewEnd = layout.uEnd;
    if (plan.Deep() && layout.uNpduAt && !layout.bCut
        && !(bIp && layout.uBvlcFunction == decode::kBvlcForwardedNpdu)
        && decode::ClassifyRequest(pFrame, layout) != decode::ERequestKind::Skipped) {
        // Read to the end: the UDP datagram and the IPv4 one hold the BVLC and nothing more.
        const bool bWhole = !bIp
            || (Get16(pFrame + layout.uUdpAt + 4) == layout.uEnd - layout.uUdpAt
                && Get16(pFrame + layout.uIpAt + 2) == layout.uEnd - layout.uIpAt);
        bDeep = bWhole && RewriteRequest(plan, pFrame, layout, deep);
        if (bDeep) {
            uNewEnd = layout.uNpduAt + static_cast<uint32_t>(deep.size());
            const uint32_t uNewLength = uNewEnd < 60 ? 60 : uNewEnd;
            const uint32_t uMtu = bIp ? plan.uMtu : std::min<uint32_t>(plan.uMtu, 1500);
            const uint32_t uNetLength = uNewEnd - (bIp ? layout.uIpAt : layout.uLlcAt);
            if (uNewEnd != layout.uEnd && (uNetLength > uMtu || uNewLength > uCapacity)) {
                DebugLog("FYI. A request the route makes %u bytes long is longer than the "
                         "adapter's MTU of %u: not sent",
                    uNetLength, uMtu);
                uLength = 0;
                return EAimOutcome::TooLong;
            }
        }
    }

    const bool bGroupMac = (pFrame[0] & 1) != 0;
    bool bAimed = false;
    uint8_t* const pIp = bIp ? pFrame + layout.uIpAt : nullptr;
    uint8_t* const pUdp = bIp ? pFrame + layout.uUdpAt : nullptr;
    if (!bIp) {
        const bool bDestination = !bGroupMac || plan.bAlsoBroadcasts;
        bAimed = AimMacs(plan, pFrame, bDestination);
    } else {
        const uint8_t* const pDstIp = pIp + 16;
        const bool bBroadcast = bGroupMac
            || (pDstIp[0] == 255 && pDstIp[1] == 255 && pDstIp[2] == 255 && pDstIp[3] == 255)
            || pDstIp[0] >= 224;
        const bool bDestination = !bBroadcast || plan.bAlsoBroadcasts;
        bAimed = AimMacs(plan, pFrame, bDestination);
        // The IP header checksum covers the addresses; the UDP one covers them
        // (through the pseudo-header) and the ports.
        CChecksumDelta ip;
        CChecksumDelta udp;
        if (plan.bSrcIp) {
            ip.Change(pIp + 12, plan.srcIp.data(), 4);
            udp.Change(pIp + 12, plan.srcIp.data(), 4);
            std::memcpy(pIp + 12, plan.srcIp.data(), 4);
            bAimed = true;
        }
        if (plan.bSrcPort) {
            udp.Change16(Get16(pUdp), plan.uSrcPort);
            Put16(pUdp, plan.uSrcPort);
            bAimed = true;
        }
        if (bDestination && plan.bDstIp) {
            ip.Change(pIp + 16, plan.dstIp.data(), 4);
            udp.Change(pIp + 16, plan.dstIp.data(), 4);
            std::memcpy(pIp + 16, plan.dstIp.data(), 4);
            bAimed = true;
        }
        if (bDestination && plan.bDstPort) {
            udp.Change16(Get16(pUdp + 2), plan.uDstPort);
            Put16(pUdp + 2, plan.uDstPort);
            bAimed = true;
        }
        // The same length: the changed words of the BACnet payload join the
        // incremental update, taken from the UDP header's word boundaries.
        if (bDeep && uNewEnd == layout.uEnd) {
            auto OldByte = [&](uint32_t u) -> uint32_t { return u < layout.uEnd ? pFrame[u] : 0; };
            auto NewByte = [&](uint32_t u) -> uint32_t {
                return u >= layout.uEnd  ? 0
                    : u < layout.uNpduAt ? pFrame[u]
                                         : deep[u - layout.uNpduAt];
            };
            const uint32_t uFrom = layout.uNpduAt - ((layout.uNpduAt - layout.uUdpAt) & 1);
            for (uint32_t u = uFrom; u < layout.uEnd; u += 2)
                udp.Change16(static_cast<uint16_t>(OldByte(u) << 8 | OldByte(u + 1)),
                    static_cast<uint16_t>(NewByte(u) << 8 | NewByte(u + 1)));
        }
        if (bAimed || bDeep) {
            Put16(pIp + 10, ip.Apply(Get16(pIp + 10)));
            // Zero says "no checksum" and stays so; a sum that comes to zero is
            // sent as all ones, as RFC 768 asks.
            if (const uint16_t uUdpSum = Get16(pUdp + 6); uUdpSum != 0) {
                const uint16_t uNew = udp.Apply(uUdpSum);
                Put16(pUdp + 6, uNew == 0 ? 0xffff : uNew);
            }
        }
    }
    if (!bDeep) {
        if (bAimed)
            return EAimOutcome::Aimed;
        return (plan.bDstMac || (bIp && plan.bDstIp)) ? EAimOutcome::Broadcast
                                                      : EAimOutcome::Unchanged;
    }
    std::memcpy(pFrame + layout.uNpduAt, deep.data(), deep.size());
    if (uNewEnd == layout.uEnd)
        return EAimOutcome::Aimed;

    // Another length: every length and both checksums from the new content.
    const uint32_t uNewLength = uNewEnd < 60 ? 60 : uNewEnd;
    if (uNewLength > uNewEnd)
        std::memset(pFrame + uNewEnd, 0, uNewLength - uNewEnd);
    uLength = uNewLength;
    if (!bIp) {
        Put16(pFrame + layout.uTypeAt, static_cast<uint16_t>(uNewEnd - layout.uLlcAt));
        return EAimOutcome::Aimed;
    }
    Put16(pFrame + layout.uBvlcAt + 2, static_cast<uint16_t>(uNewEnd - layout.uBvlcAt));
    Put16(pUdp + 4, static_cast<uint16_t>(uNewEnd - layout.uUdpAt));
    Put16(pIp + 2, static_cast<uint16_t>(uNewEnd - layout.uIpAt));
    const uint32_t uHeader = layout.uUdpAt - layout.uIpAt;
    Put16(pIp + 10, 0);
    Put16(pIp + 10, static_cast<uint16_t>(~OnesSum(pIp, uHeader)));
    if (Get16(pUdp + 6) != 0) {
        const uint32_t uUdpLength = uNewEnd - layout.uUdpAt;
        Put16(pUdp + 6, 0);
        uint64_t u = OnesSum(pIp + 12, 8);
        u += 17 + uUdpLength;
        const uint16_t uSum = static_cast<uint16_t>(~OnesSum(pUdp, uUdpLength, u));
        Put16(pUdp + 6, uSum == 0 ? 0xffff : uSum);
    }
    return EAimOutcome::Aimed;
}

EAimOutcome AimFrame(const SAimPlan& plan, std::vector<uint8_t>& frame)
{
    // A route adds six bytes of DADR at most, and limits six bytes of encoding.
    constexpr uint32_t kRoom = 64;
    uint32_t uLength = static_cast<uint32_t>(frame.size());
    std::vector<uint8_t> f(frame);
    f.resize(frame.size() + kRoom);
    const EAimOutcome e = AimFrame(plan, f.data(), uLength, static_cast<uint32_t>(f.size()));
    if (e != EAimOutcome::TooLong) {
        f.resize(uLength);
        frame.swap(f);
    }
    return e;
}

EAimOutcome AimRecord(const SAimPlan& plan, vdecode::SRecord& record)
{
    const size_t nOld = record.bytes.size();
    const EAimOutcome e = AimFrame(plan, record.bytes);
    if (record.bytes.size() != nOld) {
        if (record.header.uWireLen == nOld)
            record.header.uWireLen = static_cast<uint32_t>(record.bytes.size());
        record.header.uCapLen = static_cast<uint32_t>(record.bytes.size());
    }
    return e;
}

uint64_t AimLimitsLeftAlone()
{
    return s_llLimitsLeft.load(std::memory_order_relaxed);
}

std::string FormatMac(const CMacAddress& mac)
{
    char sz[18];
    std::snprintf(sz, sizeof sz, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
        mac[4], mac[5]);
    return sz;
}

std::string FormatIpv4(const CIpv4Address& ip)
{
    return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "."
        + std::to_string(ip[3]);
}

namespace {

    int HexDigit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // Digits only, no sign, at most uMax.
    bool ParseDecimal(std::string_view sv, uint32_t uMax, uint32_t& u)
    {
        if (sv.empty() || sv.size() > 5 || sv.front() < '0' || sv.front() > '9')
            return false;
        const auto r = std::from_chars(sv.data(), sv.data() + sv.size(), u);
        return r.ec == std::errc() && r.ptr == sv.data() + sv.size() && u <= uMax;
    }

} // namespace

bool ParseMac(const std::string& cs, CMacAddress& mac)
{
    if (cs.size() != 17)
        return false;
    const char cSeparator = cs[2];
    if (cSeparator != ':' && cSeparator != '-')
        return false;
    CMacAddress parsed;
    for (size_t i = 0; i < 6; ++i) {
        const int iHigh = HexDigit(cs[i * 3]);
        const int iLow = HexDigit(cs[i * 3 + 1]);
        if (iHigh < 0 || iLow < 0 || (i < 5 && cs[i * 3 + 2] != cSeparator))
            return false;
        parsed[i] = static_cast<uint8_t>(iHigh << 4 | iLow);
    }
    mac = parsed;
    return true;
}

bool ParseIpv4Endpoint(const std::string& cs, CIpv4Address& ip, uint16_t& uPort)
{
    std::string_view sv(cs);
    uint16_t uParsedPort = 0;
    if (const size_t nColon = sv.find(':'); nColon != std::string_view::npos) {
        uint32_t u = 0;
        if (!ParseDecimal(sv.substr(nColon + 1), 65535, u) || u == 0)
            return false;
        uParsedPort = static_cast<uint16_t>(u);
        sv = sv.substr(0, nColon);
    }
    CIpv4Address parsed;
    for (size_t i = 0; i < 4; ++i) {
        const size_t nDot = sv.find('.');
        if ((i < 3) == (nDot == std::string_view::npos))
            return false;
        const std::string_view part = sv.substr(0, nDot);
        uint32_t u = 0;
        if (!ParseDecimal(part, 255, u) || (part.size() > 1 && part.front() == '0'))
            return false;
        parsed[i] = static_cast<uint8_t>(u);
        sv = nDot == std::string_view::npos ? std::string_view() : sv.substr(nDot + 1);
    }
    ip = parsed;
    uPort = uParsedPort;
    return true;
}

bool ParseMacSource(const std::string& cs, EAimSource& eSource, CMacAddress& mac)
{
    if (cs == "adapter") {
        eSource = EAimSource::Adapter;
        return true;
    }
    CMacAddress parsed;
    if (!ParseMac(cs, parsed) || (parsed[0] & 1) != 0)
        return false;
    eSource = EAimSource::Given;
    mac = parsed;
    return true;
}

bool ParseIpSource(const std::string& cs, EAimSource& eSource, CIpv4Address& ip, uint16_t& uPort)
{
    if (cs.rfind("adapter", 0) == 0) {
        // An optional ":PORT", checked by the endpoint parser on a stand-in address.
        const std::string csRest = cs.substr(7);
        uint16_t uParsedPort = 0;
        CIpv4Address unused;
        if (!csRest.empty()
            && (csRest[0] != ':' || !ParseIpv4Endpoint("0.0.0.0" + csRest, unused, uParsedPort)))
            return false;
        eSource = EAimSource::Adapter;
        uPort = uParsedPort;
        return true;
    }
    CIpv4Address parsed;
    uint16_t uParsedPort = 0;
    if (!ParseIpv4Endpoint(cs, parsed, uParsedPort))
        return false;
    eSource = EAimSource::Given;
    ip = parsed;
    uPort = uParsedPort;
    return true;
}

std::string FormatIpv4Endpoint(const CIpv4Address& ip, uint16_t uPort)
{
    return FormatIpv4(ip) + (uPort != 0 ? ":" + std::to_string(uPort) : std::string());
}

std::string FormatMacSource(EAimSource eSource, const CMacAddress& mac)
{
    switch (eSource) {
    case EAimSource::AsCaptured:
        break;
    case EAimSource::Adapter:
        return "adapter";
    case EAimSource::Given:
        return FormatMac(mac);
    }
    return std::string();
}

std::string FormatIpSource(EAimSource eSource, const CIpv4Address& ip, uint16_t uPort)
{
    switch (eSource) {
    case EAimSource::AsCaptured:
        break;
    case EAimSource::Adapter:
        return "adapter" + (uPort != 0 ? ":" + std::to_string(uPort) : std::string());
    case EAimSource::Given:
        return FormatIpv4Endpoint(ip, uPort);
    }
    return std::string();
}

bool ParseRoute(const std::string& cs, SRoute& route)
{
    if (cs == "captured" || cs == "direct") {
        route = SRoute();
        route.eRoute = cs == "direct" ? ERoute::Direct : ERoute::Captured;
        return true;
    }
    const size_t nColon = cs.find(':');
    uint32_t uNet = 0;
    if (nColon == std::string::npos
        || !ParseDecimal(std::string_view(cs).substr(0, nColon), 65534, uNet) || uNet == 0)
        return false;
    const std::string csAddr = cs.substr(nColon + 1);
    SRoute parsed;
    parsed.eRoute = ERoute::Given;
    parsed.uNet = static_cast<uint16_t>(uNet);
    CMacAddress mac;
    uint32_t uStation = 0;
    if (ParseMac(csAddr, mac)) {
        parsed.uAddrLength = 6;
        parsed.addr = mac;
    } else if (csAddr.size() > 2 && csAddr.size() % 2 == 0 && csAddr.size() <= 14
        && (csAddr.rfind("0x", 0) == 0 || csAddr.rfind("0X", 0) == 0)) {
        for (size_t i = 2; i < csAddr.size(); i += 2) {
            const int iHigh = HexDigit(csAddr[i]);
            const int iLow = HexDigit(csAddr[i + 1]);
            if (iHigh < 0 || iLow < 0)
                return false;
            parsed.addr[parsed.uAddrLength++] = static_cast<uint8_t>(iHigh << 4 | iLow);
        }
    } else if (ParseDecimal(csAddr, 255, uStation)) {
        parsed.uAddrLength = 1;
        parsed.addr[0] = static_cast<uint8_t>(uStation);
    } else {
        return false;
    }
    route = parsed;
    return true;
}

std::string FormatRoute(const SRoute& route)
{
    switch (route.eRoute) {
    case ERoute::Captured:
        return "captured";
    case ERoute::Direct:
        return "direct";
    case ERoute::Given:
        break;
    }
    std::string cs = std::to_string(route.uNet) + ":";
    if (route.uAddrLength == 6) {
        CMacAddress mac;
        std::copy(route.addr.begin(), route.addr.end(), mac.begin());
        return cs + FormatMac(mac);
    }
    cs += "0x";
    for (uint8_t i = 0; i < route.uAddrLength; ++i) {
        char sz[3];
        std::snprintf(sz, sizeof sz, "%02x", route.addr[i]);
        cs += sz;
    }
    return cs;
}

bool ParseDeviceMap(const std::string& cs, SDeviceMap& map)
{
    const size_t nEq = cs.find('=');
    uint32_t uOld = 0, uNew = 0;
    if (nEq == std::string::npos)
        return false;
    const std::string_view sv(cs);
    auto Instance = [](std::string_view s, uint32_t& u) {
        // Seven digits at most: ParseDecimal takes five.
        if (s.empty() || s.size() > 7 || s.front() < '0' || s.front() > '9')
            return false;
        const auto r = std::from_chars(s.data(), s.data() + s.size(), u);
        return r.ec == std::errc() && r.ptr == s.data() + s.size() && u <= kMaxDeviceInstance;
    };
    if (!Instance(sv.substr(0, nEq), uOld) || !Instance(sv.substr(nEq + 1), uNew))
        return false;
    map = { uOld, uNew };
    return true;
}

std::string FormatDeviceMap(const SDeviceMap& map)
{
    return std::to_string(map.uOld) + "=" + std::to_string(map.uNew);
}

std::string AimSummary(const SAimOptions& options)
{
    if (options.IsDefault())
        return std::string();
    std::string csTo;
    if (options.bDstMac)
        csTo = FormatMac(options.dstMac);
    if (options.bDstIp) {
        if (!csTo.empty())
            csTo += " and ";
        csTo += FormatIpv4(options.dstIp);
        if (options.uDstPort != 0)
            csTo += ":" + std::to_string(options.uDstPort);
    }
    std::string csFrom;
    if (options.eSrcMac != EAimSource::AsCaptured)
        csFrom = options.eSrcMac == EAimSource::Adapter ? "the adapter's MAC"
                                                        : FormatMac(options.srcMac);
    if (options.eSrcIp != EAimSource::AsCaptured) {
        if (!csFrom.empty())
            csFrom += " and ";
        csFrom += options.eSrcIp == EAimSource::Adapter ? "the adapter's IPv4 address"
                                                        : FormatIpv4(options.srcIp);
        if (options.uSrcPort != 0)
            csFrom += ":" + std::to_string(options.uSrcPort);
    }
    std::string cs = "Aimed";
    if (!csTo.empty())
        cs += " at " + csTo;
    else if (csFrom.empty())
        cs += " as captured"; // a route or a device map alone
    if (!csFrom.empty())
        cs += (csTo.empty() ? " from " : ", from ") + csFrom;
    if (options.bAlsoBroadcasts && (options.bDstMac || options.bDstIp))
        cs += ", broadcasts too";
    if (options.route.eRoute != ERoute::Captured)
        cs += ", route: " + FormatRoute(options.route);
    for (size_t i = 0; i < options.devices.size(); ++i)
        cs += (i == 0 ? ", device " : ", ") + std::to_string(options.devices[i].uOld) + " -> "
            + std::to_string(options.devices[i].uNew);
    return cs;
}

} // namespace velmora
