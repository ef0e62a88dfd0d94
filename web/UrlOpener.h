#pragma once

#include <string>

namespace velmora {

// Hands an address to the user's browser. The program uses Qt's desktop
// services; tests record. The address is passed as one argument, never
// through a shell.
class IUrlOpener {
public:
    virtual ~IUrlOpener() = default;
    virtual bool Open(const std::string& csUrl) = 0;
};

// Not owned; nullptr restores the fallback, which opens nothing and fails.
void SetUrlOpener(IUrlOpener* pOpener);
IUrlOpener& GetUrlOpener();
bool OpenUrl(const std::string& csUrl);

} // namespace velmora
