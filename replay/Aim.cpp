#include "replay/Aim.h"

#include "capture/IndexRows.h"
#include "decode/Frame.h"
#include "decode/FrameEdit.h"

#include "log/Log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
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

    inline uint16_t Get16(const uint8_t* p)
    {
        return static_cast<uint16_t>(p[0] << 8 | p[1]);
    }
} // namespace

bool SAimOptions::IsDefault() const
{
    return !bDstMac && eSrcMac == EAimSource::AsCaptured && !bDstIp
        && eSrcIp == EAimSource::AsCaptured && route.eRoute == ERoute::Captured && devices.empty();
}

int ListAdapterAddresses(const std::string& csAdapter, SAdapterAddresses& addresses)
{
    addresses = SAdapterAddresses();
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0)
        return errno != 0 ? errno : EIO;
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
            CIpv4Address broadcast {};
            if ((p->ifa_flags & IFF_BROADCAST) && p->ifa_broadaddr)
                std::memcpy(broadcast.data(),
                    &reinterpret_cast<const sockaddr_in*>(p->ifa_broadaddr)->sin_addr, 4);
            addresses.broadcast.push_back(broadcast);
        }
    }
    ::freeifaddrs(pList);
    return bFound ? 0 : ENODEV;
}

bool ReadAdapterAddresses(
    const std::string& csAdapter, SAdapterAddresses& addresses, std::string& csError)
{
    const int iError = ListAdapterAddresses(csAdapter, addresses);
    if (iError == ENODEV)
        csError = "there is no adapter " + csAdapter;
    else if (iError != 0)
        csError = "cannot list the adapters' addresses";
    return iError == 0;
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
    bool RewriteRequest(const SAimPlan& plan, const uint8_t* p, const frame::SFrameLayout& f,
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

} // namespace

EAimOutcome AimFrame(const SAimPlan& plan, uint8_t* pFrame, uint32_t& uLength, uint32_t uCapacity,
    bool* pWrongChecksums)
{
    if (pWrongChecksums)
        *pWrongChecksums = false;
    if (!plan.Active())
        return EAimOutcome::Unchanged;
    const frame::SFrameLayout layout = frame::LocateFrame(pFrame, uLength);
    switch (layout.eFault) {
    case frame::EFrameFault::None:
        break;
    case frame::EFrameFault::TooShort:
        return EAimOutcome::TooShort;
    case frame::EFrameFault::BrokenIpHeader:
        return EAimOutcome::BrokenIpHeader;
    case frame::EFrameFault::IpFragment:
        return EAimOutcome::IpFragment;
    case frame::EFrameFault::NotBacnet:
        return EAimOutcome::NotBacnet;
    }
    const bool bIp = layout.eKind == frame::EFrameKind::BacnetIp;
    // A first fragment's UDP checksum covers bytes in other frames.
    if (bIp && layout.bFirstFragment)
        return EAimOutcome::IpFragment;

    // The route and the device map, worked out before a byte changes.
    thread_local std::vector<uint8_t> deep;
    bool bDeep = false;
    uint32_t uNewEnd = layout.uEnd;
    if (plan.Deep() && layout.uNpduAt && !layout.bCut
        && !(bIp && layout.uBvlcFunction == frame::kBvlcForwardedNpdu)
        && frame::ClassifyRequest(pFrame, layout) != frame::ERequestKind::Skipped) {
        // Read to the end: the UDP datagram and the IPv4 one hold the BVLC and nothing more.
        const bool bWhole = !bIp
            || (Get16(pFrame + layout.uUdpAt + 4) == layout.uEnd - layout.uUdpAt
                && Get16(pFrame + layout.uIpAt + 2) == layout.uEnd - layout.uIpAt);
        bDeep = bWhole && RewriteRequest(plan, pFrame, layout, deep);
        if (bDeep) {
            uNewEnd = layout.uNpduAt + static_cast<uint32_t>(deep.size());
            const uint32_t uNewLength = std::max(uNewEnd, frame::kMinFrameLength);
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

    // Every change goes through the editor: the checksums stay right (a wrong
    // one is mended unless kept), a UDP checksum of 0 stays 0.
    frame::CFrameEdit edit(pFrame, uLength, uCapacity, layout, plan.bKeepChecksums);
    if (pWrongChecksums)
        *pWrongChecksums = edit.Before().AnyWrong();
    const bool bGroupMac = (pFrame[0] & 1) != 0;
    bool bAimed = false;
    bool bDestination = !bGroupMac || plan.bAlsoBroadcasts;
    if (bIp) {
        const uint8_t* const pDstIp = pFrame + layout.uIpAt + 16;
        const bool bBroadcast = bGroupMac
            || (pDstIp[0] == 255 && pDstIp[1] == 255 && pDstIp[2] == 255 && pDstIp[3] == 255)
            || pDstIp[0] >= 224;
        bDestination = !bBroadcast || plan.bAlsoBroadcasts;
    }
    if (bDestination && plan.bDstMac) {
        edit.Put(0, plan.dstMac.data(), 6);
        bAimed = true;
    }
    if (plan.bSrcMac) {
        edit.Put(6, plan.srcMac.data(), 6);
        bAimed = true;
    }
    if (bIp) {
        if (plan.bSrcIp) {
            edit.Put(layout.uIpAt + 12, plan.srcIp.data(), 4);
            bAimed = true;
        }
        if (plan.bSrcPort) {
            edit.Put16(layout.uUdpAt, plan.uSrcPort);
            bAimed = true;
        }
        if (bDestination && plan.bDstIp) {
            edit.Put(layout.uIpAt + 16, plan.dstIp.data(), 4);
            bAimed = true;
        }
        if (bDestination && plan.bDstPort) {
            edit.Put16(layout.uUdpAt + 2, plan.uDstPort);
            bAimed = true;
        }
    }
    if (bDeep) {
        if (uNewEnd == layout.uEnd)
            edit.Put(layout.uNpduAt, deep.data(), static_cast<uint32_t>(deep.size()));
        else
            edit.SetPayload(layout.uNpduAt, deep.data(), deep.size());
    }
    uLength = edit.Finish();
    if (bAimed || bDeep)
        return EAimOutcome::Aimed;
    return (plan.bDstMac || (bIp && plan.bDstIp)) ? EAimOutcome::Broadcast : EAimOutcome::Unchanged;
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

EAimOutcome AimRecord(const SAimPlan& plan, dissect::SRecord& record)
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

} // namespace velmora
