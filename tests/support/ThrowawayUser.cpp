#include "ThrowawayUser.h"

#include "NetNs.h"

#include <fstream>
#include <unistd.h>

namespace vtest {

CThrowawayUser::CThrowawayUser()
    : m_csName("vlmt" + std::to_string(getpid()))
{
    if (Shell("groupadd " + m_csName) != 0)
        return;
    m_bGroup = true;
    if (Shell("useradd -M -N -g " + m_csName + " -s /usr/sbin/nologin " + m_csName) != 0)
        return;
    m_bUser = true;
    m_uid = static_cast<uid_t>(std::stoul(ShellOutput("id -u " + m_csName)));
    m_gid = static_cast<gid_t>(std::stoul(ShellOutput("id -g " + m_csName)));
}

CThrowawayUser::~CThrowawayUser()
{
    if (m_bUser)
        Shell("userdel " + m_csName);
    if (m_bGroup)
        Shell("groupdel " + m_csName);
}

std::string PackageCapabilities(const std::string& csPostinst)
{
    std::ifstream in(csPostinst);
    for (std::string cs; std::getline(in, cs);) {
        const auto at = cs.find("setcap ");
        if (at != std::string::npos && cs.find("$BIN") != std::string::npos) {
            const auto begin = at + 7;
            return cs.substr(begin, cs.find(' ', begin) - begin);
        }
    }
    return "";
}

} // namespace vtest
