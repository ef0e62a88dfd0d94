#pragma once

#include <string>

namespace velmora {

struct AppSettings {
    bool Debug = true;
    bool AutoUpdate = true;
    int Mode = 1;
    std::string OldPath;
    std::string NicDevice;
    int Offset = 0;

    bool LoadFrom(const std::string& csPath);
    bool SaveTo(const std::string& csPath) const;
};

// "<install dir>/settings.ini"; "/settings.ini" for an empty install dir.
std::string SettingsPath(const std::string& csInstallDir);

} // namespace velmora
