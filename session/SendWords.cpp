#include "session/SendWords.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace velmora {

namespace {

    std::string Number(double d)
    {
        char sz[64];
        std::snprintf(sz, sizeof sz, "%g", d);
        return sz;
    }

    bool InRange(double d, double dMin, double dMax)
    {
        return std::isfinite(d) && d >= dMin && d <= dMax;
    }

} // namespace

bool ParseWholeNumber(std::string_view sv, uint64_t uMax, uint64_t& u)
{
    if (sv.empty() || sv.front() < '0' || sv.front() > '9')
        return false;
    uint64_t uValue = 0;
    const auto r = std::from_chars(sv.data(), sv.data() + sv.size(), uValue);
    if (r.ec != std::errc() || r.ptr != sv.data() + sv.size() || uValue > uMax)
        return false;
    u = uValue;
    return true;
}

bool ParseConverseSetting(EConverseSetting eSetting, std::string_view sv, SConverseOptions& options)
{
    uint64_t u = 0;
    return ParseWholeNumber(sv, static_cast<uint64_t>(ConverseLimit(eSetting).llMax), u)
        && SetConverseSetting(options, eSetting, static_cast<int64_t>(u));
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

    // Five digits at most, as addresses and ports are written.
    bool ParseDecimal(std::string_view sv, uint32_t uMax, uint32_t& u)
    {
        uint64_t uValue = 0;
        if (sv.size() > 5 || !ParseWholeNumber(sv, uMax, uValue))
            return false;
        u = static_cast<uint32_t>(uValue);
        return true;
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
        uint64_t uValue = 0;
        if (s.size() > 7 || !ParseWholeNumber(s, kMaxDeviceInstance, uValue))
            return false;
        u = static_cast<uint32_t>(uValue);
        return true;
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

bool CheckPaceOptions(const SPaceOptions& options, std::string& csError)
{
    switch (options.ePace) {
    case EPace::BackToBack:
        break;
    case EPace::Captured:
        if (!InRange(options.dMultiplier, kMinMultiplier, kMaxMultiplier)) {
            csError = "the multiplier must be from " + Number(kMinMultiplier) + " to "
                + Number(kMaxMultiplier);
            return false;
        }
        break;
    case EPace::PacketsPerSecond:
        if (!InRange(options.dRate, kMinRate, kMaxPacketsPerSecond)) {
            csError = "the rate must be from " + Number(kMinRate) + " to 100000000 packets/s";
            return false;
        }
        break;
    case EPace::MegabitsPerSecond:
        if (!InRange(options.dRate, kMinRate, kMaxMegabitsPerSecond)) {
            csError = "the rate must be from " + Number(kMinRate) + " to 1000000 Mbit/s";
            return false;
        }
        break;
    }
    if (options.llLoops < 0) {
        csError = "the number of rounds cannot be negative";
        return false;
    }
    if (options.llLoopPauseMs < 0 || options.llLoopPauseMs > kMaxLoopPauseMs) {
        csError = "the pause between rounds must be from 0 to 86400000 ms";
        return false;
    }
    if (!InRange(options.dDurationSeconds, 0, kMaxDurationSeconds)) {
        csError = "the duration must be from 0 to 31536000 s";
        return false;
    }
    return true;
}

bool ParsePaceNumber(const std::string& cs, double& d)
{
    if (cs.empty() || cs.find_first_not_of("0123456789.") != std::string::npos
        || cs.find_first_of("0123456789") == std::string::npos || cs.find('.') != cs.rfind('.'))
        return false;
    const auto r = std::from_chars(cs.data(), cs.data() + cs.size(), d);
    return r.ec == std::errc() && r.ptr == cs.data() + cs.size() && std::isfinite(d);
}

std::string FormatPaceNumber(double d)
{
    char sz[400];
    const auto r = std::to_chars(sz, sz + sizeof sz, d, std::chars_format::fixed);
    return r.ec == std::errc() ? std::string(sz, r.ptr) : Number(d);
}

std::string PaceSummary(const SPaceOptions& options)
{
    if (options.IsDefault())
        return std::string();
    std::string cs;
    switch (options.ePace) {
    case EPace::BackToBack:
        cs = "Back to back";
        break;
    case EPace::Captured:
        cs = "Paced as captured \u00d7 " + FormatPaceNumber(options.dMultiplier);
        break;
    case EPace::PacketsPerSecond:
        cs = "Paced at " + FormatPaceNumber(options.dRate) + " packets/s";
        break;
    case EPace::MegabitsPerSecond:
        cs = "Paced at " + FormatPaceNumber(options.dRate) + " Mbit/s";
        break;
    }
    if (options.llLoops == 0)
        cs += ", rounds until stopped";
    else if (options.llLoops > 1)
        cs += ", " + std::to_string(options.llLoops) + " rounds";
    if (options.llLoops != 1 && options.llLoopPauseMs > 0)
        cs += " " + std::to_string(options.llLoopPauseMs) + " ms apart";
    if (options.dDurationSeconds > 0)
        cs += ", for at most " + Number(options.dDurationSeconds) + " s";
    return cs;
}

} // namespace velmora
