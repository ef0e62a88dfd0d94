#include "web/MakerSite.h"

#include "web/Product.h"

#include <cstdio>

namespace velmora {

namespace {
    std::string& HostOverride()
    {
        static std::string s_csHost;
        return s_csHost;
    }
} // namespace

std::string VersionText()
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "%s%c%c", kVersionNumber, kVersionLetter1, kVersionLetter2);
    return sz;
}

std::string MakerHost()
{
    const std::string& csOverride = HostOverride();
    return csOverride.empty() ? std::string(VELMORA_MAKER_HOST) : csOverride;
}

std::string MakerUrl(const std::string& csPath)
{
    return "http://" + MakerHost() + csPath;
}
std::string SiteRootUrl()
{
    return MakerUrl("/");
}
std::string HelpPageUrl()
{
    return MakerUrl("/forums/about422.html");
}
std::string InstallerUrl()
{
    return MakerUrl("/files/resources/Installer_Velmora.exe");
}
std::string CheckVersionUrl()
{
    return MakerUrl("/script/checkversion.php");
}
std::string SendFeedbackUrl()
{
    return MakerUrl("/script/sendfeedback.php");
}
std::string SupportEmail()
{
    return "support@tarnsoftware.example";
}

void SetMakerHostForTesting(const std::string& csHost)
{
    HostOverride() = csHost;
}

} // namespace velmora
