#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace vtest {

// A private network namespace holding one veth pair (SendIf <-> PeerIf), both
// up, IPv6 off so the kernel stays quiet. Deleted again at the end. Needs root;
// Ok() tells whether it could be made.
class CNetns {
public:
    explicit CNetns(const std::string& csTag);
    ~CNetns();
    CNetns(const CNetns&) = delete;
    CNetns& operator=(const CNetns&) = delete;

    bool Ok() const { return m_bOk; }
    const std::string& Error() const { return m_csError; }
    const std::string& Name() const { return m_csName; }
    static const char* SendIf() { return "vm0"; }
    static const char* PeerIf() { return "vm1"; }

    // Adds another veth pair (a, b) inside the namespace, both up.
    bool AddVethPair(const std::string& a, const std::string& b);
    // The kernel's receive counter of an interface inside the namespace, -1 on error.
    long long RxPackets(const std::string& csIf) const;
    // "ip netns exec NAME " for running a command inside.
    std::string ExecPrefix() const { return "ip netns exec " + m_csName + " "; }

private:
    std::string m_csName;
    std::string m_csError;
    bool m_bOk = false;
};

// Moves the calling thread into the namespace for the life of the object.
// libpcap handles opened meanwhile stay bound to it afterwards.
class CEnterNetns {
public:
    explicit CEnterNetns(const CNetns& ns);
    ~CEnterNetns();
    bool Ok() const { return m_bOk; }

private:
    int m_iOldFd = -1;
    bool m_bOk = false;
};

// Samples the receive counter of an interface inside the namespace about every
// quarter millisecond on a thread of its own, to tell when frames stopped
// arriving. Stops at destruction at the latest.
class CRxWatch {
public:
    using Clock = std::chrono::steady_clock;
    struct Sample {
        Clock::time_point t;
        long long llRx;
    };
    CRxWatch(const CNetns& ns, const std::string& csIf);
    ~CRxWatch();
    CRxWatch(const CRxWatch&) = delete;
    CRxWatch& operator=(const CRxWatch&) = delete;

    // The latest count; -1 until the first sample, and for good if none can be read.
    long long Now() const { return m_llLatest.load(); }
    // Ends the sampling; the samples are only read after this.
    void Stop();
    const std::vector<Sample>& Samples() const { return m_samples; }
    // The first sample that already shows the final count (the last sample's).
    Clock::time_point SettledAt() const;

private:
    void Run(const CNetns* pNs, std::string csIf);

    std::atomic<bool> m_bStop { false };
    std::atomic<long long> m_llLatest { -1 };
    std::vector<Sample> m_samples;
    std::thread m_thread;
};

// Runs a shell command quietly; its exit status.
int Shell(const std::string& csCommand);
// Runs a command and gives its standard output.
std::string ShellOutput(const std::string& csCommand);

} // namespace vtest

// Skips where namespaces are not possible, but fails under CI, where they must run.
#define VTEST_REQUIRE_NETNS(ns)                                                                    \
    do {                                                                                           \
        if (!(ns).Ok()) {                                                                          \
            if (std::getenv("CI"))                                                                 \
                FAIL() << "network namespace needed on CI: " << (ns).Error();                      \
            GTEST_SKIP() << "cannot create a network namespace: " << (ns).Error();                 \
        }                                                                                          \
    } while (0)
