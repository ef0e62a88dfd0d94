#pragma once

#include <string>

namespace velmora {

// Every address of the maker's web server is built here. The host comes from
// the build (VELMORA_MAKER_HOST) and may carry a port for tests.
std::string MakerHost();
std::string MakerUrl(const std::string& csPath); // "http://" + host + path
std::string SiteRootUrl(); // "http://host/"
std::string HelpPageUrl(); // /forums/about422.html
std::string InstallerUrl(); // /files/resources/Installer_Velmora.exe
std::string CheckVersionUrl(); // /script/checkversion.php
std::string SendFeedbackUrl(); // /script/sendfeedback.php
std::string SupportEmail();

// Tests point the whole program at a local server.
void SetMakerHostForTesting(const std::string& csHost);

} // namespace velmora
