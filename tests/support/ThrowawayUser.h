#pragma once

#include <string>
#include <sys/types.h>

namespace vtest {

// A system user in a group of its own, removed again at the end.
class CThrowawayUser {
public:
    CThrowawayUser();
    ~CThrowawayUser();
    CThrowawayUser(const CThrowawayUser&) = delete;
    CThrowawayUser& operator=(const CThrowawayUser&) = delete;
    bool Ok() const { return m_bUser; }
    const std::string& Name() const { return m_csName; }
    uid_t Uid() const { return m_uid; }
    gid_t Gid() const { return m_gid; }

private:
    std::string m_csName;
    bool m_bGroup = false;
    bool m_bUser = false;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

// The capabilities the package's postinst (at csPostinst) gives the
// executables; "" when it sets none.
std::string PackageCapabilities(const std::string& csPostinst);

} // namespace vtest
