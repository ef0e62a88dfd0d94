// The serving benchmark (root only): requests served a second to one client
// asking one at a time, readProperty of analog-input,1 present-value, against
// velmora-replay --serve in a namespace of its own, the client in another,
// over a veth pair (the kernel's sockets on both sides, as on a site). Then
// the server alone, without sockets: CServer::Receive on a fake clock.
// Target: 10,000 requests/s over the wire. Median of 3.
// --memory: learning a capture of about 1 GB (the site's answers again and
// again, with filler between) as --serve does: the time, and the peak memory,
// which must follow what the devices hold, not the capture's size.
// Usage: velmora-serve-bench [--quick | --memory [MB]]

#include "Child.h"
#include "NetNs.h"
#include "SiteCapture.h"
#include "TestSupport.h"
#include "capture/CaptureWriter.h"
#include "replay/Clock.h"
#include "serve/Codec.h"
#include "serve/Learn.h"
#include "serve/Server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velmora::serve;
using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> Request(uint8_t uInvoke)
{
    std::vector<uint8_t> v { 0x81, 0x0a, 0, 0, 0x01, 0x04, 0x02, 0x75, uInvoke, 0x0c };
    CtxObjectId(v, 0, ObjectId(0, 1));
    CtxUnsigned(v, 1, kPropPresentValue);
    v[3] = static_cast<uint8_t>(v.size());
    return v;
}

// Requests a second over the wire; answered counts the answers.
double Wire(int iRequests, int& iAnswered)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in own {};
    own.sin_family = AF_INET;
    own.sin_port = htons(47809);
    ::inet_pton(AF_INET, "10.9.0.1", &own.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0) {
        std::perror("velmora-serve-bench: client socket");
        return 0;
    }
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(47808);
    ::inet_pton(AF_INET, "10.9.0.2", &to.sin_addr);
    uint8_t buffer[1500];
    iAnswered = 0;
    // One to warm ARP and the server.
    const std::vector<uint8_t> first = Request(0);
    ::sendto(fd, first.data(), first.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd p { fd, POLLIN, 0 };
    if (::poll(&p, 1, 2000) == 1)
        ::recv(fd, buffer, sizeof buffer, 0);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iRequests; ++i) {
        const std::vector<uint8_t> v = Request(static_cast<uint8_t>(i));
        ::sendto(fd, v.data(), v.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (::poll(&p, 1, 1000) == 1) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 8 && buffer[6] == 0x30 && buffer[7] == static_cast<uint8_t>(i))
                ++iAnswered;
        }
    }
    const double dSeconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    return iRequests / dSeconds;
}

class CFakeClock final : public velmora::IClock {
public:
    int64_t Now() override { return 0; }
    void SleepUntil(int64_t) override { }
};

double Alone(const SLearned& learned, int iRequests)
{
    CFakeClock clock;
    CServer server(learned, {}, clock);
    const SPeer peer { 0x0a090001, 47809 };
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iRequests; ++i) {
        const std::vector<uint8_t> v = Request(static_cast<uint8_t>(i));
        server.Receive(peer, v.data(), v.size());
        server.TakeOut();
        server.TakeServed();
    }
    return iRequests
        / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long PeakKb()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Writes about uBytes of capture, streamed: the site's frames over and over,
// each round with filler (UDP that is not BACnet) between.
bool WriteBigCapture(const std::string& csPath, uint64_t uBytes, uint64_t& uRecords)
{
    const std::vector<std::vector<uint8_t>> site = vtest::SiteFrames();
    std::vector<uint8_t> filler = vtest::SiteFrame(vtest::kClientIp, 0x0a090063, CBytes(400, 0x55));
    filler[36] = 0x14; // port 5353
    filler[37] = 0xe9;
    velmora::CCaptureWriter writer;
    if (!writer.Open(csPath))
        return false;
    uint64_t uWritten = 24;
    uint32_t uSec = 1000;
    uint32_t uUsec = 0;
    while (uWritten < uBytes) {
        for (const auto& f : site) {
            for (int i = 0; i < 3; ++i) {
                if (!writer.Write(filler, uSec, uUsec++))
                    return false;
                uWritten += 16 + filler.size();
            }
            if (!writer.Write(f, uSec, uUsec++))
                return false;
            uWritten += 16 + f.size();
        }
        if (uUsec > 900000) {
            ++uSec;
            uUsec = 0;
        }
    }
    uRecords = writer.RecordCount();
    return writer.Close();
}

int Memory(uint64_t uMegabytes)
{
    vtest::CTempDir dir;
    const std::string csPath = dir.File("big.pcap");
    uint64_t uRecords = 0;
    const auto writeStart = std::chrono::steady_clock::now();
    if (!WriteBigCapture(csPath, uMegabytes << 20, uRecords)) {
        std::fputs("velmora-serve-bench: cannot write the capture\n", stderr);
        return 1;
    }
    const double dWrite
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - writeStart).count();
    const uint64_t uSize = std::filesystem::file_size(csPath);
    const long lBefore = PeakKb();
    SLearned learned;
    std::string csError;
    const auto start = std::chrono::steady_clock::now();
    const bool bOk = LearnCapture(csPath, learned, csError);
    const double dLearn
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::filesystem::remove(csPath);
    if (!bOk) {
        std::fprintf(stderr, "velmora-serve-bench: %s\n", csError.c_str());
        return 1;
    }
    uint64_t uKept = 0;
    for (const auto& [uInstance, device] : learned.devices)
        for (const auto& [uObject, object] : device.objects)
            for (const auto& [key, values] : object.values)
                uKept += values.size();
    std::printf("capture: %.1f MB, %llu records (written in %.1f s)\n", uSize / 1e6,
        static_cast<unsigned long long>(uRecords), dWrite);
    std::printf("learned %zu devices, %llu values kept, in %.1f s (%.0f MB/s)\n",
        learned.devices.size(), static_cast<unsigned long long>(uKept), dLearn,
        uSize / 1e6 / dLearn);
    std::printf(
        "peak RSS: %.1f MB before learning, %.1f MB after\n", lBefore / 1024.0, PeakKb() / 1024.0);
    return 0;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--memory") == 0)
        return Memory(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024);
    const bool bQuick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int iRequests = bQuick ? 2000 : 20000;
    vtest::CTempDir dir;
    if (!vtest::WriteSiteCapture(dir.File("site.pcap"))) {
        std::fputs("velmora-serve-bench: cannot write the capture\n", stderr);
        return 1;
    }
    SLearned learned;
    std::string csError;
    if (!LearnCapture(dir.File("site.pcap"), learned, csError)) {
        std::fprintf(stderr, "velmora-serve-bench: %s\n", csError.c_str());
        return 1;
    }
    vtest::CNetns ns("servebench");
    if (!ns.Ok()) {
        std::fprintf(stderr, "velmora-serve-bench: %s (needs root)\n", ns.Error().c_str());
        return 1;
    }
    const std::string csClient = ns.Name() + "-client";
    const std::string csIn = "ip netns exec " + csClient + " ";
    if (vtest::Shell("ip netns add " + csClient) != 0
        || vtest::Shell(ns.ExecPrefix() + "ip link set vm0 netns " + csClient) != 0
        || vtest::Shell(csIn + "ip addr add 10.9.0.1/24 brd + dev vm0") != 0
        || vtest::Shell(csIn + "ip link set vm0 up") != 0
        || vtest::Shell(ns.ExecPrefix() + "ip addr add 10.9.0.2/24 brd + dev vm1") != 0) {
        std::fputs("velmora-serve-bench: cannot set up the namespaces\n", stderr);
        vtest::Shell("ip netns del " + csClient);
        return 1;
    }
    std::vector<double> wire;
    int iAnswered = 0;
    {
        vtest::CChild server({ VELMORA_REPLAY_EXE, "--serve", "-i", "vm1", "-q", "site.pcap" },
            dir.Path().string(), ns.Name());
        std::this_thread::sleep_for(300ms);
        // The client side runs in the client's namespace: this thread moves there.
        const int iNs = ::open(("/var/run/netns/" + csClient).c_str(), O_RDONLY | O_CLOEXEC);
        const int iOld = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (iNs < 0 || iOld < 0 || ::setns(iNs, CLONE_NEWNET) != 0) {
            std::perror("velmora-serve-bench: setns");
            return 1;
        }
        for (int i = 0; i < 3; ++i) {
            wire.push_back(Wire(iRequests, iAnswered));
            std::printf("over the wire, run %d: %.0f requests/s, %d of %d answered\n", i + 1,
                wire.back(), iAnswered, iRequests);
        }
        ::setns(iOld, CLONE_NEWNET);
        ::close(iNs);
        ::close(iOld);
        server.Signal(SIGTERM);
        server.Wait(5s);
    }
    vtest::Shell("ip netns del " + csClient);
    std::vector<double> alone;
    for (int i = 0; i < 3; ++i)
        alone.push_back(Alone(learned, iRequests * 5));
    std::printf("served over the wire, one at a time: %.0f requests/s (median of 3; target "
                "10,000)\n",
        Median(wire));
    std::printf("the server alone (no sockets): %.0f requests/s (median of 3)\n", Median(alone));
    return Median(wire) >= 10000 ? 0 : 1;
}
