#include "serve/ServeRun.h"

#include "replay/Aim.h"
#include "replay/Clock.h"
#include "replay/Ear.h"
#include "replay/SendSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmora::serve {

namespace {

    // An owned socket.
    class CFd {
    public:
        CFd() = default;
        explicit CFd(int fd)
            : m_fd(fd)
        {
        }
        ~CFd()
        {
            if (m_fd >= 0)
                ::close(m_fd);
        }
        CFd(CFd&& o) noexcept
            : m_fd(std::exchange(o.m_fd, -1))
        {
        }
        CFd& operator=(CFd&&) = delete;
        int Get() const { return m_fd; }

    private:
        int m_fd = -1;
    };

    std::string IpText(uint32_t uIp)
    {
        in_addr a {};
        a.s_addr = htonl(uIp);
        char sz[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &a, sz, sizeof sz);
        return sz;
    }

    // A UDP socket bound to uIp:uPort; -1 with errno when it cannot be.
    int Bind(uint32_t uIp, uint16_t uPort)
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        const int iOn = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof iOn);
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &iOn, sizeof iOn);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(uPort);
        a.sin_addr.s_addr = htonl(uIp);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            const int iErr = errno;
            ::close(fd);
            errno = iErr;
            return -1;
        }
        return fd;
    }

    // The adapter's MAC; false when it has none.
    bool AdapterMac(const std::string& csAdapter, std::array<uint8_t, 6>& mac)
    {
        ifreq ifr {};
        if (csAdapter.empty() || csAdapter.size() >= sizeof ifr.ifr_name)
            return false;
        std::memcpy(ifr.ifr_name, csAdapter.c_str(), csAdapter.size());
        CFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (fd.Get() < 0 || ::ioctl(fd.Get(), SIOCGIFHWADDR, &ifr) != 0)
            return false;
        std::memcpy(mac.data(), ifr.ifr_hwaddr.sa_data, 6);
        return mac != std::array<uint8_t, 6> {};
    }

    // Devices that spoke BACnet/Ethernet: raw frames from the adapter's MAC,
    // heard through the BACnet ear, sent through the send socket.
    SServeOutcome RunEthernet(const SServeRequest& request, const SLearned& learned,
        IServeObserver& observer, IClock& clock)
    {
        SServeOutcome outcome;
        SServeOptions options = request.options;
        if (!AdapterMac(request.csAdapter, options.ownMac)) {
            outcome.csError = "the adapter " + request.csAdapter + " has no MAC to serve from";
            return outcome;
        }
        CServer server(learned, options, clock);
        CSocketSink sink(ESendPath::Plain);
        CEar ear;
        ear.SetPrompt(true);
        if (!sink.Open(request.csAdapter, outcome.csError)
            || !ear.Start(request.csAdapter, outcome.csError))
            return outcome;
        SPeer own;
        own.bEthernet = true;
        own.mac = options.ownMac;
        const int64_t llStartNs = clock.Now();
        const int64_t llEndNs
            = request.llDurationMs > 0 ? llStartNs + request.llDurationMs * 1'000'000 : INT64_MAX;
        observer.OnReady(PeerText(own) + " (BACnet/Ethernet)", server.Served());
        std::vector<SHeardFrame> heard;
        while (!observer.StopRequested()) {
            const int64_t llNow = clock.Now();
            if (llNow >= llEndNs)
                break;
            const int64_t llWake = std::min({ server.NextDeadline(), llEndNs, llNow + 20'000'000 });
            heard.clear();
            ear.Read(heard,
                static_cast<int>(std::max<int64_t>(0, (llWake - llNow + 999'999) / 1'000'000)));
            for (const SHeardFrame& h : heard)
                server.ReceiveFrame(h.bytes.data(), h.bytes.size());
            server.Tick();
            for (const SOutgoing& o : server.TakeOut())
                sink.Transmit(o.bytes.data(), static_cast<uint32_t>(o.bytes.size()));
            for (const SServed& s : server.TakeServed())
                observer.OnServed(s, llStartNs);
        }
        outcome.bOk = true;
        outcome.counts = server.Counts();
        return outcome;
    }

} // namespace

bool ParseIpv4(const std::string& cs, uint32_t& uIp)
{
    in_addr a {};
    if (::inet_pton(AF_INET, cs.c_str(), &a) != 1)
        return false;
    uIp = ntohl(a.s_addr);
    return true;
}

bool AdapterAddresses(
    const std::string& csAdapter, std::vector<SAdapterAddress>& addresses, std::string& csError)
{
    addresses.clear();
    SAdapterAddresses read;
    const int iError = ListAdapterAddresses(csAdapter, read);
    if (iError != 0 && iError != ENODEV) {
        csError = std::string("the adapters cannot be listed: ") + std::strerror(iError);
        return false;
    }
    const auto host = [](const CIpv4Address& ip) {
        return static_cast<uint32_t>(ip[0]) << 24 | ip[1] << 16 | ip[2] << 8 | ip[3];
    };
    for (size_t i = 0; i < read.ipv4.size(); ++i)
        addresses.push_back({ host(read.ipv4[i]), host(read.broadcast[i]) });
    if (addresses.empty()) {
        csError = iError == 0 ? "the adapter " + csAdapter + " has no IPv4 address to serve on"
                              : "there is no adapter " + csAdapter;
        return false;
    }
    return true;
}

SServeOutcome RunServe(
    const SServeRequest& request, const SLearned& learned, IServeObserver& observer, IClock& clock)
{
    SServeOutcome outcome;
    {
        // Devices heard only on BACnet/Ethernet are served as they spoke.
        const CServer probe(learned, request.options, clock);
        bool bAllEthernet = !probe.Served().empty();
        for (uint32_t uInstance : probe.Served())
            bAllEthernet = bAllEthernet && learned.devices.at(uInstance).bEthernet;
        if (bAllEthernet)
            return RunEthernet(request, learned, observer, clock);
    }
    std::vector<SAdapterAddress> addresses;
    if (!AdapterAddresses(request.csAdapter, addresses, outcome.csError))
        return outcome;
    SAdapterAddress address = addresses.front();
    if (!request.csServeIp.empty()) {
        uint32_t uIp = 0;
        if (!ParseIpv4(request.csServeIp, uIp)) {
            outcome.csError = "--serve-ip: '" + request.csServeIp + "' is no IPv4 address";
            return outcome;
        }
        bool bOwn = false;
        for (const SAdapterAddress& a : addresses)
            if (a.uIp == uIp) {
                address = a;
                bOwn = true;
            }
        if (!bOwn) {
            outcome.csError
                = request.csServeIp + " is not an address of the adapter " + request.csAdapter;
            return outcome;
        }
    }
    CServer server(learned, request.options, clock);
    const std::vector<uint32_t> served = server.Served();
    if (served.empty()) {
        outcome.csError = "none of the devices asked for is in the capture";
        return outcome;
    }
    for (uint32_t uInstance : served) {
        const SLearnedDevice& device = learned.devices.at(uInstance);
        if (device.bIp && device.uIp == address.uIp) {
            outcome.csError = IpText(address.uIp) + " is device " + std::to_string(uInstance)
                + "'s own address in the capture: serve from another address (--serve-ip)";
            return outcome;
        }
    }
    CFd unicast(Bind(address.uIp, request.uPort));
    if (unicast.Get() < 0) {
        outcome.csError = "cannot listen on " + IpText(address.uIp) + ":"
            + std::to_string(request.uPort) + ": " + std::strerror(errno);
        return outcome;
    }
    // Broadcasts reach a socket bound to their own address only; one that
    // cannot be bound leaves Who-Is to unicast.
    std::vector<CFd> fds;
    fds.push_back(std::move(unicast));
    if (address.uBroadcast && address.uBroadcast != address.uIp)
        fds.emplace_back(Bind(address.uBroadcast, request.uPort));
    fds.emplace_back(Bind(INADDR_BROADCAST, request.uPort));
    // 255.255.255.255 arrives on every adapter: hear it on ours only where the
    // kernel lets us say so (it asks no privilege from 5.7 on).
    if (fds.back().Get() >= 0
        && ::setsockopt(fds.back().Get(), SOL_SOCKET, SO_BINDTODEVICE, request.csAdapter.c_str(),
               static_cast<socklen_t>(request.csAdapter.size()))
            != 0) {
        // Left as it is: a Who-Is from another adapter is answered too.
    }

    const int64_t llStartNs = clock.Now();
    const int64_t llEndNs
        = request.llDurationMs > 0 ? llStartNs + request.llDurationMs * 1'000'000 : INT64_MAX;
    observer.OnReady(IpText(address.uIp) + ":" + std::to_string(request.uPort), served);
    std::vector<pollfd> polls;
    for (const CFd& fd : fds)
        if (fd.Get() >= 0)
            polls.push_back({ fd.Get(), POLLIN, 0 });
    std::vector<uint8_t> buffer(65536);
    while (!observer.StopRequested()) {
        const int64_t llNow = clock.Now();
        if (llNow >= llEndNs)
            break;
        const int64_t llWake = std::min({ server.NextDeadline(), llEndNs, llNow + 20'000'000 });
        const int iWaitMs
            = static_cast<int>(std::max<int64_t>(0, (llWake - llNow + 999'999) / 1'000'000));
        const int iReady = ::poll(polls.data(), polls.size(), iWaitMs);
        if (iReady < 0 && errno != EINTR)
            break;
        for (const pollfd& p : polls) {
            if (!(p.revents & POLLIN))
                continue;
            // Drain what is there, so a burst is answered in one turn.
            for (int i = 0; i < 64; ++i) {
                sockaddr_in from {};
                socklen_t nFrom = sizeof from;
                const ssize_t n = ::recvfrom(p.fd, buffer.data(), buffer.size(), 0,
                    reinterpret_cast<sockaddr*>(&from), &nFrom);
                if (n < 0)
                    break;
                const SPeer peer { ntohl(from.sin_addr.s_addr), ntohs(from.sin_port) };
                // Our own broadcasts and answers never come back here, but be sure.
                if (peer.uIp == address.uIp && peer.uPort == request.uPort)
                    continue;
                server.Receive(peer, buffer.data(), static_cast<size_t>(n));
            }
        }
        server.Tick();
        for (const SOutgoing& o : server.TakeOut()) {
            sockaddr_in to {};
            to.sin_family = AF_INET;
            to.sin_port = htons(o.to.uPort);
            to.sin_addr.s_addr = htonl(o.to.uIp);
            ::sendto(polls.front().fd, o.bytes.data(), o.bytes.size(), 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
        for (const SServed& s : server.TakeServed())
            observer.OnServed(s, llStartNs);
    }
    outcome.bOk = true;
    outcome.counts = server.Counts();
    return outcome;
}

} // namespace velmora::serve
