#include "NetNs.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vtest {

int Shell(const std::string& csCommand)
{
    const std::string cs = csCommand + " >/dev/null 2>&1";
    const int rc = std::system(cs.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string ShellOutput(const std::string& csCommand)
{
    std::string csOut;
    if (FILE* p = popen((csCommand + " 2>/dev/null").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            csOut.append(buf, n);
        pclose(p);
    }
    return csOut;
}

namespace {
std::atomic<int> s_iCounter { 0 };

bool WaitLowerUp(const std::string& csNs, const std::string& csIf)
{
    for (int i = 0; i < 100; ++i) {
        const std::string cs = ShellOutput("ip -n " + csNs + " link show " + csIf);
        if (cs.find("LOWER_UP") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}
} // namespace

CNetns::CNetns(const std::string& csTag)
{
    m_csName = "velmora-" + csTag + "-" + std::to_string(getpid()) + "-"
        + std::to_string(s_iCounter++);
    if (geteuid() != 0) {
        m_csError = "not root";
        return;
    }
    if (Shell("ip netns add " + m_csName) != 0) {
        m_csError = "ip netns add failed";
        m_csName.clear();
        return;
    }
    Shell(ExecPrefix() + "sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
    Shell(ExecPrefix() + "sysctl -qw net.ipv6.conf.default.disable_ipv6=1");
    Shell("ip -n " + m_csName + " link set lo up");
    if (!AddVethPair(SendIf(), PeerIf())) {
        m_csError = "veth pair could not be made or brought up";
        return;
    }
    m_bOk = true;
}

CNetns::~CNetns()
{
    if (!m_csName.empty())
        Shell("ip netns del " + m_csName);
}

bool CNetns::AddVethPair(const std::string& a, const std::string& b)
{
    const std::string n = "ip -n " + m_csName + " ";
    if (Shell(n + "link add " + a + " type veth peer name " + b) != 0)
        return false;
    Shell(n + "link set " + a + " up");
    Shell(n + "link set " + b + " up");
    return WaitLowerUp(m_csName, a) && WaitLowerUp(m_csName, b);
}

long long CNetns::RxPackets(const std::string& csIf) const
{
    const std::string cs
        = ShellOutput(ExecPrefix() + "cat /sys/class/net/" + csIf + "/statistics/rx_packets");
    if (cs.empty())
        return -1;
    return std::atoll(cs.c_str());
}

CEnterNetns::CEnterNetns(const CNetns& ns)
{
    if (!ns.Ok())
        return;
    m_iOldFd = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int fd = ::open(("/var/run/netns/" + ns.Name()).c_str(), O_RDONLY | O_CLOEXEC);
    if (m_iOldFd >= 0 && fd >= 0 && setns(fd, CLONE_NEWNET) == 0)
        m_bOk = true;
    if (fd >= 0)
        ::close(fd);
}

CEnterNetns::~CEnterNetns()
{
    if (m_iOldFd >= 0) {
        if (m_bOk)
            setns(m_iOldFd, CLONE_NEWNET);
        ::close(m_iOldFd);
    }
}

} // namespace vtest
