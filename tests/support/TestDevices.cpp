#include "TestDevices.h"

#include <cstdio>
#include <filesystem>
#include <thread>

namespace vtest {

bool WaitReady(const CChild& device, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (device.Out().find("ready\n") == std::string::npos) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int ResponderDropped(const std::string& csOut)
{
    const size_t n = csOut.rfind("\ndropped ");
    int i = -1;
    if (n == std::string::npos || std::sscanf(csOut.c_str() + n, "\ndropped %d", &i) != 1)
        return -1;
    return i;
}

std::string NodeDeviceScript()
{
    return VELMORA_BACNET_DIR "/device.js";
}

std::string NodeDeviceMissing()
{
    if (!std::filesystem::exists("/usr/bin/node")
        && !std::filesystem::exists("/usr/local/bin/node"))
        return "node is not installed (scripts/install-deps.sh installs it)";
    if (!std::filesystem::exists(VELMORA_BACNET_DIR "/node_modules/@bacnet-js/client/package.json"))
        return "the npm package @bacnet-js/client is not in tests/bacnet/node_modules "
               "(scripts/install-deps.sh installs it)";
    return "";
}

} // namespace vtest
