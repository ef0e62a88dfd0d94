#include "settings/AppSettings.h"

#include "settings/SettingsFile.h"

namespace velmora {

namespace {

    // The product name names the one section of "settings.ini".
    constexpr const char* kSection = "Velmora";

} // namespace

std::string SettingsPath(const std::string& csInstallDir)
{
    return csInstallDir + "/settings.ini";
}

bool AppSettings::LoadFrom(const std::string& csPath)
{
    Debug = true;
    AutoUpdate = true;
    Mode = 1;
    Offset = 0;
    OldPath.clear();
    // NicDevice keeps its value: a file that cannot be read must not forget the adapter.

    CSettingsFile file(csPath);
    if (!file.Load())
        return false;
    Debug = file.GetBool(kSection, "Debug", Debug);
    AutoUpdate = file.GetBool(kSection, "AutoUpdate", AutoUpdate);
    Mode = file.GetInt(kSection, "Mode", Mode);
    Offset = file.GetInt(kSection, "Offset", Offset);
    OldPath = file.GetString(kSection, "OldPath", "");
    NicDevice = file.GetString(kSection, "NicDevice", "");
    return true;
}

bool AppSettings::SaveTo(const std::string& csPath) const
{
    // A fresh document: whatever else the file held is not carried over.
    CSettingsFile file(csPath);
    file.SetBool(kSection, "Debug", Debug, true);
    file.SetBool(kSection, "AutoUpdate", AutoUpdate, true);
    file.SetInt(kSection, "Mode", Mode, true);
    file.SetInt(kSection, "Offset", Offset, true);
    file.SetString(kSection, "OldPath", OldPath, true);
    file.SetString(kSection, "NicDevice", NicDevice, true);
    return file.Save();
}

} // namespace velmora
