#include "replay/Aim.h"

#include "decode/Frame.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>

namespace velmora {

bool SAimOptions::IsDefault() const
{
    return !bDstMac && eSrcMac == EAimSource::AsCaptured && !bDstIp
        && eSrcIp == EAimSource::AsCaptured;
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
            uint32_t u = static_cast<uint16_t>(~uChecksum) + m_uSum;
            while (u >> 16)
                u = (u & 0xffff) + (u >> 16);
            return static_cast<uint16_t>(~u);
        }

    private:
        uint32_t m_uSum = 0; // at most 10 words: no overflow
    };

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

EAimOutcome AimFrame(const SAimPlan& plan, uint8_t* pFrame, uint32_t uLength)
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
    const bool bGroupMac = (pFrame[0] & 1) != 0;
    if (layout.eKind == decode::EFrameKind::BacnetEthernet) {
        const bool bDestination = !bGroupMac || plan.bAlsoBroadcasts;
        if (AimMacs(plan, pFrame, bDestination))
            return EAimOutcome::Aimed;
        return plan.bDstMac ? EAimOutcome::Broadcast : EAimOutcome::Unchanged;
    }
    // A first fragment's UDP checksum covers bytes in other frames.
    if (layout.bFirstFragment)
        return EAimOutcome::IpFragment;
    uint8_t* const pIp = pFrame + layout.uIpAt;
    uint8_t* const pUdp = pFrame + layout.uUdpAt;
    const uint8_t* const pDstIp = pIp + 16;
    const bool bBroadcast = bGroupMac
        || (pDstIp[0] == 255 && pDstIp[1] == 255 && pDstIp[2] == 255 && pDstIp[3] == 255)
        || pDstIp[0] >= 224;
    const bool bDestination = !bBroadcast || plan.bAlsoBroadcasts;
    bool bAimed = AimMacs(plan, pFrame, bDestination);
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
    if (!bAimed)
        return (plan.bDstMac || plan.bDstIp) ? EAimOutcome::Broadcast : EAimOutcome::Unchanged;
    Put16(pIp + 10, ip.Apply(Get16(pIp + 10)));
    // Zero says "no checksum" and stays so; a sum that comes to zero is sent
    // as all ones, as RFC 768 asks.
    if (const uint16_t uUdpSum = Get16(pUdp + 6); uUdpSum != 0) {
        const uint16_t uNew = udp.Apply(uUdpSum);
        Put16(pUdp + 6, uNew == 0 ? 0xffff : uNew);
    }
    return EAimOutcome::Aimed;
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
    if (!csFrom.empty())
        cs += (csTo.empty() ? " from " : ", from ") + csFrom;
    if (options.bAlsoBroadcasts && (options.bDstMac || options.bDstIp))
        cs += ", broadcasts too";
    return cs;
}

} // namespace velmora
