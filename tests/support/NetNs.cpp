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
    m_csName
        = "velmora-" + csTag + "-" + std::to_string(getpid()) + "-" + std::to_string(s_iCounter++);
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

namespace {

    // rx_packets of one interface from a /proc/net/dev listing; -1 if not there.
    long long RxFromNetDev(const std::string& csDev, const std::string& csIf)
    {
        const std::string csKey = csIf + ":";
        for (size_t pos = 0; pos < csDev.size();) {
            size_t end = csDev.find('\n', pos);
            if (end == std::string::npos)
                end = csDev.size();
            const size_t first = csDev.find_first_not_of(' ', pos);
            if (first < end && csDev.compare(first, csKey.size(), csKey) == 0) {
                long long llBytes = 0, llPackets = -1;
                if (std::sscanf(
                        csDev.c_str() + first + csKey.size(), "%lld %lld", &llBytes, &llPackets)
                    == 2)
                    return llPackets;
                return -1;
            }
            pos = end + 1;
        }
        return -1;
    }

} // namespace

CRxWatch::CRxWatch(const CNetns& ns, const std::string& csIf)
{
    m_samples.reserve(1 << 16);
    m_thread = std::thread(&CRxWatch::Run, this, &ns, csIf);
    // The first sample is the count before anything the caller does next.
    while (m_llLatest.load() < 0 && !m_bStop.load())
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

CRxWatch::~CRxWatch()
{
    Stop();
}

void CRxWatch::Stop()
{
    m_bStop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void CRxWatch::Run(const CNetns* pNs, std::string csIf)
{
    // /proc/thread-self/net follows this thread's namespace, not the process's.
    CEnterNetns enter(*pNs);
    const int fd = enter.Ok() ? ::open("/proc/thread-self/net/dev", O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        m_bStop = true;
        return;
    }
    std::string csDev(16384, '\0');
    while (!m_bStop.load()) {
        const ssize_t n = ::pread(fd, csDev.data(), csDev.size(), 0);
        const long long llRx
            = n > 0 ? RxFromNetDev(csDev.substr(0, static_cast<size_t>(n)), csIf) : -1;
        if (llRx < 0)
            break;
        m_samples.push_back({ Clock::now(), llRx });
        m_llLatest = llRx;
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
    ::close(fd);
    m_bStop = true;
}

CRxWatch::Clock::time_point CRxWatch::SettledAt() const
{
    if (m_samples.empty())
        return Clock::time_point::max();
    size_t i = m_samples.size() - 1;
    while (i > 0 && m_samples[i - 1].llRx == m_samples.back().llRx)
        --i;
    return m_samples[i].t;
}

} // namespace vtest
