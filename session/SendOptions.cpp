#include "session/SendOptions.h"

#include "settings/SettingsFile.h"

#include <sys/stat.h>

namespace velmora {

namespace {

    constexpr const char* kAim = "Aim";

} // namespace

std::string SendOptionsPath(const std::string& csInstallDir)
{
    return csInstallDir + "/send-options.ini";
}

bool LoadSendOptions(const std::string& csPath, SSendOptions& options)
{
    options = SSendOptions();
    CSettingsFile file(csPath);
    if (!file.Load())
        return false;
    SAimOptions& aim = options.aim;
    const std::string csDstMac = file.GetString(kAim, "DstMac", "");
    aim.bDstMac = !csDstMac.empty() && ParseMac(csDstMac, aim.dstMac);
    aim.bAlsoBroadcasts = file.GetBool(kAim, "AlsoBroadcasts", false);
    if (!ParseMacSource(file.GetString(kAim, "SrcMac", ""), aim.eSrcMac, aim.srcMac))
        aim.eSrcMac = EAimSource::AsCaptured;
    const std::string csDstIp = file.GetString(kAim, "DstIp", "");
    aim.bDstIp = !csDstIp.empty() && ParseIpv4Endpoint(csDstIp, aim.dstIp, aim.uDstPort);
    if (!aim.bDstIp)
        aim.uDstPort = 0;
    if (!ParseIpSource(file.GetString(kAim, "SrcIp", ""), aim.eSrcIp, aim.srcIp, aim.uSrcPort)) {
        aim.eSrcIp = EAimSource::AsCaptured;
        aim.uSrcPort = 0;
    }
    return true;
}

bool SaveSendOptions(const std::string& csPath, const SSendOptions& options)
{
    struct stat st { };
    const bool bExists = ::stat(csPath.c_str(), &st) == 0;
    if (!bExists && options.IsDefault())
        return true;
    CSettingsFile file(csPath);
    file.Load(); // the other groups' sections and keys stay
    const SAimOptions& aim = options.aim;
    file.SetString(kAim, "DstMac", aim.bDstMac ? FormatMac(aim.dstMac) : "", true);
    file.SetBool(kAim, "AlsoBroadcasts", aim.bAlsoBroadcasts, true);
    file.SetString(kAim, "SrcMac", FormatMacSource(aim.eSrcMac, aim.srcMac), true);
    file.SetString(
        kAim, "DstIp", aim.bDstIp ? FormatIpv4Endpoint(aim.dstIp, aim.uDstPort) : "", true);
    file.SetString(kAim, "SrcIp", FormatIpSource(aim.eSrcIp, aim.srcIp, aim.uSrcPort), true);
    return file.Save();
}

} // namespace velmora
