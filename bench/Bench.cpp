// The replay benchmark: Velmora's Send in all mode against tcpreplay on one
// veth pair in a namespace of its own, plus single mode against a bare read
// and the peak memory of long replays. Run it through bench/run.sh, as root.

#include "BareSend.h"
#include "BenchChild.h"
#include "NetNs.h"
#include "TestSupport.h"
#include "decode/Thousands.h"
#include "tools/CaptureWriter.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <map>
#include <net/if.h>
#include <pcap/pcap.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velmora;

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> s_bStop { false };

void OnSignal(int)
{
    s_bStop = true;
}

// Targets.
constexpr double kRatioDebugOff = 1.2;
constexpr double kRatioDebugOn = 1.0;
// Of the bare loop's rate (BareSend.h), by frame size: at 1,514 bytes the
// bare loop's one frame stays in the cache, a capture's never do.
constexpr double kOverBareSmall = 0.9;
constexpr double kOverBareLarge = 0.75;
constexpr double kSingleOverBare = 1.5;
constexpr double kRssGrowthMb = 10.0;
constexpr double kCommandOverWindow = 1.0;

struct SOptions {
    bool bQuick = false;
    bool bFastPaths = false;
    int iPairs = 5;
};

std::string Quote(const std::string& cs)
{
    std::string out = "'";
    for (char c : cs) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

using dissect::Thousands;

std::string Fixed(double d, int iDecimals)
{
    char sz[64];
    std::snprintf(sz, sizeof sz, "%.*f", iDecimals, d);
    return sz;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Mb(double dKb)
{
    return dKb * 1024.0 / 1e6;
}

struct SOutput {
    int iStatus = -1;
    std::string csText;
};

// Runs a shell command, standard error and output together.
SOutput Run(const std::string& csCommand)
{
    SOutput out;
    FILE* p = popen((csCommand + " 2>&1").c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.csText.append(buf, n);
    const int rc = pclose(p);
    out.iStatus = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// The child's "VB key value" lines; a key seen more than once keeps every value.
std::multimap<std::string, std::string> ChildValues(const std::string& csText)
{
    std::multimap<std::string, std::string> values;
    std::istringstream in(csText);
    std::string csLine;
    while (std::getline(in, csLine)) {
        if (csLine.rfind("VB ", 0) != 0)
            continue;
        const size_t nSpace = csLine.find(' ', 3);
        if (nSpace == std::string::npos)
            continue;
        values.emplace(csLine.substr(3, nSpace - 3), csLine.substr(nSpace + 1));
    }
    return values;
}

std::string Value(const std::multimap<std::string, std::string>& values, const std::string& csKey)
{
    const auto it = values.find(csKey);
    return it == values.end() ? std::string() : it->second;
}

// The number that ends the text before szMarker, e.g. "..., 394975.72 pps".
double NumberBefore(const std::string& csText, const char* szMarker)
{
    const size_t nMarker = csText.find(szMarker);
    if (nMarker == std::string::npos)
        return -1;
    size_t nStart = nMarker;
    while (nStart > 0 && csText[nStart - 1] == ' ')
        --nStart;
    const size_t nEnd = nStart;
    while (nStart > 0
        && (std::isdigit(static_cast<unsigned char>(csText[nStart - 1]))
            || csText[nStart - 1] == '.'))
        --nStart;
    return nStart == nEnd ? -1 : std::atof(csText.substr(nStart, nEnd - nStart).c_str());
}

// What reading alone costs: libpcap's reader as it comes, from the first
// record to the one at iOffset, in this plain process (no window has run
// here). Its seconds, or -1.
double BareRead(const std::string& csCapture, int iOffset)
{
    const Clock::time_point start = Clock::now();
    char szErr[PCAP_ERRBUF_SIZE] = "";
    pcap_t* hCapture = pcap_open_offline(csCapture.c_str(), szErr);
    if (!hCapture) {
        std::printf("  !! bare read: %s\n", szErr);
        return -1;
    }
    long lRead = 0;
    pcap_pkthdr* pHeader = nullptr;
    const u_char* pData = nullptr;
    while (pcap_next_ex(hCapture, &pHeader, &pData) >= 0) {
        if (lRead++ == iOffset)
            break;
    }
    pcap_close(hCapture);
    const double d = std::chrono::duration<double>(Clock::now() - start).count();
    return lRead == iOffset + 1L ? d : -1;
}

// Times a sender by the peer's receive counter, the same way for every
// sender: frames counted between the first change seen and the last, over
// the time between them. A thread inside the namespace reads the counter
// every 100 microseconds.
class CPeerClock {
public:
    CPeerClock(const vtest::CNetns& ns, const char* szIf)
        : m_csIf(std::string(szIf) + ":")
    {
        m_thread = std::thread([this, &ns] { Watch(ns); });
        while (!m_bReady)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    ~CPeerClock() { Stop(); }
    CPeerClock(const CPeerClock&) = delete;
    CPeerClock& operator=(const CPeerClock&) = delete;

    // Frames per second over the span seen; -1 when fewer than two readings moved.
    double Stop()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_llLast <= m_llFirst || m_last <= m_first)
            return -1;
        return static_cast<double>(m_llLast - m_llFirst)
            / std::chrono::duration<double>(m_last - m_first).count();
    }

private:
    // rx_packets of the interface from /proc/net/dev, -1 when not found.
    long long Read(int fd)
    {
        char buf[8192];
        const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
        if (n <= 0)
            return -1;
        buf[n] = '\0';
        const char* p = std::strstr(buf, m_csIf.c_str());
        if (!p)
            return -1;
        unsigned long long ullBytes = 0, ullPackets = 0;
        if (std::sscanf(p + m_csIf.size(), "%llu %llu", &ullBytes, &ullPackets) != 2)
            return -1;
        return static_cast<long long>(ullPackets);
    }

    void Watch(const vtest::CNetns& ns)
    {
        vtest::CEnterNetns enter(ns);
        const int fd = ::open("/proc/thread-self/net/dev", O_RDONLY | O_CLOEXEC);
        long long llPrev = fd >= 0 && enter.Ok() ? Read(fd) : -1;
        m_bReady = true;
        if (llPrev < 0) {
            if (fd >= 0)
                ::close(fd);
            return;
        }
        bool bMoved = false;
        // One more look after the stop: the last frames may be in since the last.
        for (bool bLast = false; !bLast;) {
            bLast = m_bStop;
            const long long ll = Read(fd);
            const Clock::time_point now = Clock::now();
            if (ll > llPrev) {
                if (!bMoved) {
                    m_llFirst = ll;
                    m_first = now;
                    bMoved = true;
                }
                m_llLast = ll;
                m_last = now;
                llPrev = ll;
            }
            if (!bLast)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        ::close(fd);
    }

    std::string m_csIf;
    std::thread m_thread;
    std::atomic<bool> m_bReady { false };
    std::atomic<bool> m_bStop { false };
    long long m_llFirst = 0;
    long long m_llLast = 0;
    Clock::time_point m_first {};
    Clock::time_point m_last {};
};

// velmora-replay as built with the benchmark, or another build of it named by
// VELMORA_BENCH_REPLAY_EXE (to compare two versions by their ratios).
std::string ReplayExe()
{
    const char* sz = std::getenv("VELMORA_BENCH_REPLAY_EXE");
    return sz && *sz ? sz : VELMORA_REPLAY_EXE;
}

class CBench {
public:
    CBench(const SOptions& options, const vtest::CNetns& ns, const std::string& csSelf,
        const std::string& csWorkDir)
        : m_options(options)
        , m_ns(ns)
        , m_csSelf(csSelf)
        , m_csWorkDir(csWorkDir)
    {
    }

    // One run of either tool; pps < 0 when it failed.
    struct SRun {
        double dPps = -1; // by the peer's receive counter, first frame seen to last
        double dOwnPps = -1; // by the sender's own clock (tcpreplay's rate, Velmora's loop)
        double dSendPps = -1; // Velmora: over the whole Send, click to answered box
        double dSeconds = 0;
        long lRssKb = 0;
        long long llDelivered = 0;
    };

    SRun Tcpreplay(const std::string& csCapture, unsigned long long ullCount)
    {
        SRun run;
        const long long llBefore = m_ns.RxPackets(vtest::CNetns::PeerIf());
        CPeerClock clock(m_ns, vtest::CNetns::PeerIf());
        const SOutput out = Run(m_ns.ExecPrefix() + "tcpreplay --topspeed --no-flow-stats -i "
            + vtest::CNetns::SendIf() + " " + Quote(csCapture));
        const double dPeerPps = clock.Stop();
        run.llDelivered = m_ns.RxPackets(vtest::CNetns::PeerIf()) - llBefore;
        // tcpreplay's own rate: its clock runs from the first packet to the last.
        const double dPps = NumberBefore(out.csText, " pps");
        const double dSent = NumberBefore(out.csText, " packets (");
        if (out.iStatus != 0 || dPps <= 0 || dSent != static_cast<double>(ullCount)
            || dPeerPps <= 0) {
            Problem("tcpreplay " + csCapture + " failed:\n" + out.csText);
            return run;
        }
        run.dPps = dPeerPps;
        run.dOwnPps = dPps;
        run.dSeconds = static_cast<double>(ullCount) / dPps;
        CheckDelivery("tcpreplay", csCapture, run.llDelivered, static_cast<long long>(ullCount));
        return run;
    }

    SRun Velmora(const std::string& csCapture, unsigned long long ullCount, bool bDebug)
    {
        SRun run;
        const long long llBefore = m_ns.RxPackets(vtest::CNetns::PeerIf());
        CPeerClock clock(m_ns, vtest::CNetns::PeerIf());
        const SOutput out = Run(m_ns.ExecPrefix() + Quote(m_csSelf) + " --child " + Quote(csCapture)
            + (bDebug ? " 1" : " 0") + " 1 0");
        const double dPeerPps = clock.Stop();
        run.llDelivered = m_ns.RxPackets(vtest::CNetns::PeerIf()) - llBefore;
        const auto values = ChildValues(out.csText);
        const double dSeconds = std::atof(Value(values, "seconds").c_str());
        const double dLoopSeconds = std::atof(Value(values, "loop_seconds").c_str());
        const std::string csExpected = std::to_string(ullCount) + " Packets have been sent";
        if (out.iStatus != 0 || dSeconds <= 0 || dLoopSeconds <= 0 || dPeerPps <= 0
            || Value(values, "box") != csExpected) {
            Problem("Velmora " + csCapture + " failed (box [" + Value(values, "box")
                + "], expected [" + csExpected + "]):\n" + out.csText);
            return run;
        }
        run.dSeconds = dSeconds;
        run.dPps = dPeerPps;
        run.dOwnPps = static_cast<double>(ullCount) / dLoopSeconds;
        run.dSendPps = static_cast<double>(ullCount) / dSeconds;
        run.lRssKb = std::atol(Value(values, "rss_kb").c_str());
        CheckDelivery(bDebug ? "Velmora debug on" : "Velmora debug off", csCapture, run.llDelivered,
            static_cast<long long>(ullCount));
        return run;
    }

    // velmora-replay, debug off, timed by the peer's receive counter like the
    // others; the whole process, exec to exit, gives dSendPps.
    SRun Command(const std::string& csCapture, unsigned long long ullCount)
    {
        SRun run;
        const long long llBefore = m_ns.RxPackets(vtest::CNetns::PeerIf());
        CPeerClock clock(m_ns, vtest::CNetns::PeerIf());
        const Clock::time_point start = Clock::now();
        const SOutput out
            = Run("cd " + Quote(m_csWorkDir) + " && " + m_ns.ExecPrefix() + Quote(ReplayExe())
                + " -q --no-debug -i " + vtest::CNetns::SendIf() + " " + Quote(csCapture));
        const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double dPeerPps = clock.Stop();
        run.llDelivered = m_ns.RxPackets(vtest::CNetns::PeerIf()) - llBefore;
        if (out.iStatus != 0 || dPeerPps <= 0) {
            Problem("velmora-replay " + csCapture + " failed (status " + std::to_string(out.iStatus)
                + "):\n" + out.csText);
            return run;
        }
        run.dSeconds = dSeconds;
        run.dPps = dPeerPps;
        run.dSendPps = static_cast<double>(ullCount) / dSeconds;
        CheckDelivery(
            "velmora-replay", csCapture, run.llDelivered, static_cast<long long>(ullCount));
        return run;
    }

    // The bare loop (BareSendChild, csHow the way it hands frames over: "mmsg"
    // for the column), as many frames as the capture holds, timed like the others.
    SRun Bare(const std::string& csCapture, unsigned long long ullCount,
        const std::string& csHow = "mmsg")
    {
        SRun run;
        const long long llBefore = m_ns.RxPackets(vtest::CNetns::PeerIf());
        CPeerClock clock(m_ns, vtest::CNetns::PeerIf());
        const SOutput out = Run(m_ns.ExecPrefix() + Quote(m_csSelf) + " --bare " + Quote(csCapture)
            + " " + vtest::CNetns::SendIf() + " " + csHow + " " + std::to_string(ullCount));
        const double dPeerPps = clock.Stop();
        run.llDelivered = m_ns.RxPackets(vtest::CNetns::PeerIf()) - llBefore;
        if (out.iStatus != 0 || dPeerPps <= 0) {
            Problem("bare " + csHow + " " + csCapture + " failed:\n" + out.csText);
            return run;
        }
        run.dPps = dPeerPps;
        CheckDelivery(("bare " + csHow).c_str(), csCapture, run.llDelivered,
            static_cast<long long>(ullCount));
        return run;
    }

    // One Send in single mode at iOffset: its seconds, or -1.
    double Single(const std::string& csCapture, int iOffset, bool bDebug)
    {
        const long long llBefore = m_ns.RxPackets(vtest::CNetns::PeerIf());
        const SOutput out = Run(m_ns.ExecPrefix() + Quote(m_csSelf) + " --child " + Quote(csCapture)
            + (bDebug ? " 1" : " 0") + " 0 " + std::to_string(iOffset));
        const long long llDelivered = m_ns.RxPackets(vtest::CNetns::PeerIf()) - llBefore;
        const auto values = ChildValues(out.csText);
        const double dSeconds = std::atof(Value(values, "seconds").c_str());
        if (out.iStatus != 0 || dSeconds <= 0
            || Value(values, "box") != "1 Packets have been sent") {
            Problem("single mode " + csCapture + " failed:\n" + out.csText);
            return -1;
        }
        CheckDelivery("Velmora single mode", csCapture, llDelivered, 1);
        return dSeconds;
    }

    int DeliveryFailures() const { return m_iDeliveryFailures; }
    int Problems() const { return m_iProblems; }

private:
    void CheckDelivery(const char* szWho, const std::string& csCapture, long long llDelivered,
        long long llExpected)
    {
        if (llDelivered == llExpected)
            return;
        ++m_iDeliveryFailures;
        std::printf("  !! %s, %s: vm1 received %lld frames, %lld sent\n", szWho, csCapture.c_str(),
            llDelivered, llExpected);
    }

    void Problem(const std::string& cs)
    {
        ++m_iProblems;
        std::printf("  !! %s\n", cs.c_str());
    }

    const SOptions& m_options;
    const vtest::CNetns& m_ns;
    std::string m_csSelf;
    std::string m_csWorkDir;
    int m_iDeliveryFailures = 0;
    int m_iProblems = 0;
};

struct SCase {
    uint32_t uSize = 0;
    unsigned long long ullCount = 0;
    std::string csCapture;
    std::vector<double> tcp, off, on; // pps, first packet to last
    std::vector<double> cli, cliWhole, ratioCli, cliOverWindow; // velmora-replay
    std::vector<double> bare, cliOverBare, offOverBare, onOverBare; // the bare loop, per pair
    std::vector<double> sendOff, sendOn; // pps over the whole Send
    std::vector<double> ratioOff, ratioOn; // per pair
    std::vector<double> rssOff, rssOn; // kB
};

struct SSingle {
    uint32_t uSize = 0;
    bool bDebug = false;
    std::vector<double> bare, send, ratio;
};

int Usage()
{
    std::fprintf(stderr,
        "usage: velmora-bench [--quick] [--pairs N]\n"
        "  Needs root: makes a network namespace with a veth pair and sends on it only.\n"
        "  --quick    10,000 and 100,000 records, 3 pairs (a smoke run, not the targets)\n"
        "  --pairs N  runs of each tool per case (default 5)\n"
        "  --fast-paths  only the kernel's ways in the bare loop, without and with a qdisc\n");
    return 2;
}

// The kernel's ways to take frames, measured in the bare loop side by side:
// sendmmsg, with PACKET_QDISC_BYPASS, with a large send buffer, through a
// TX ring; then the first two again with a pfifo_fast qdisc on the sending
// end (a veth has none of its own).
int FastPaths(CBench& bench, const vtest::CNetns& ns, const std::vector<SCase>& cases,
    unsigned long long ullCount, int iPairs)
{
    const std::vector<std::string> ways { "mmsg", "bypass", "sndbuf", "ring" };
    const std::string csQdisc = ns.ExecPrefix() + "tc qdisc ";
    const std::string csDev = std::string(" dev ") + vtest::CNetns::SendIf() + " root";
    std::printf("\nThe bare loop's ways, packets per second (median of %d; per-pair ratio to "
                "mmsg)\n\n%-7s %-9s | %10s %6s\n",
        iPairs, "frame", "way", "pps", "/ mmsg");
    for (const SCase& c : cases) {
        if (c.ullCount != ullCount)
            continue;
        for (const bool bQdisc : { false, true }) {
            if (bQdisc && Run(csQdisc + "add" + csDev + " pfifo_fast").iStatus != 0) {
                std::printf("  !! no pfifo_fast qdisc on %s\n", vtest::CNetns::SendIf());
                continue;
            }
            const size_t nWays = bQdisc ? 2 : ways.size();
            std::vector<std::vector<double>> pps(nWays), ratio(nWays);
            for (int i = 0; i < iPairs && !s_bStop; ++i) {
                std::vector<double> one(nWays, -1);
                for (size_t k = 0; k < nWays; ++k) {
                    const size_t w = (k + static_cast<size_t>(i)) % nWays;
                    one[w] = bench.Bare(c.csCapture, c.ullCount, ways[w]).dPps;
                }
                for (size_t w = 0; w < nWays; ++w) {
                    if (one[w] > 0)
                        pps[w].push_back(one[w]);
                    if (one[w] > 0 && one[0] > 0)
                        ratio[w].push_back(one[w] / one[0]);
                }
            }
            for (size_t w = 0; w < nWays; ++w)
                std::printf("%-7s %-9s | %10s %6s\n", (std::to_string(c.uSize) + " B").c_str(),
                    (ways[w] + (bQdisc ? "+qdisc" : "")).c_str(),
                    Thousands(static_cast<unsigned long long>(Median(pps[w]))).c_str(),
                    Fixed(Median(ratio[w]), 2).c_str());
            if (bQdisc)
                Run(csQdisc + "del" + csDev);
        }
    }
    return bench.Problems() == 0 && bench.DeliveryFailures() == 0 ? 0 : 1;
}

std::string SelfPath()
{
    char sz[4096];
    const ssize_t n = readlink("/proc/self/exe", sz, sizeof sz - 1);
    if (n <= 0)
        return {};
    return std::string(sz, static_cast<size_t>(n));
}

std::string Verdict(bool b)
{
    return b ? "PASS" : "FAIL";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::strcmp(argv[1], "--bare") == 0)
        return BareSendChild(argv[2], argv[3], argv[4], std::atol(argv[5]));
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0) {
        if (argc != 6)
            return Usage();
        return RunBenchChild(
            argv[0], argv[2], std::atoi(argv[3]) != 0, std::atoi(argv[4]), std::atoi(argv[5]));
    }

    SOptions options;
    int iPairsAsked = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string cs = argv[i];
        if (cs == "--quick") {
            options.bQuick = true;
        } else if (cs == "--fast-paths") {
            options.bFastPaths = true;
        } else if (cs == "--pairs" && i + 1 < argc) {
            iPairsAsked = std::atoi(argv[++i]);
            if (iPairsAsked < 1 || iPairsAsked > 99)
                return Usage();
        } else {
            return Usage();
        }
    }
    options.iPairs = iPairsAsked > 0 ? iPairsAsked : options.bQuick ? 3 : 5;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (geteuid() != 0) {
        std::fprintf(stderr, "velmora-bench: needs root (it makes a network namespace)\n");
        return 2;
    }
    const SOutput version = Run("tcpreplay -V");
    if (version.iStatus != 0) {
        std::fprintf(stderr, "velmora-bench: tcpreplay is not installed\n");
        return 2;
    }
    const std::string csSelf = SelfPath();
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    const Clock::time_point start = Clock::now();
    vtest::CNetns ns("bench");
    if (!ns.Ok()) {
        std::fprintf(stderr, "velmora-bench: no network namespace: %s\n", ns.Error().c_str());
        return 2;
    }
    vtest::CTempDir dir;

    const std::vector<uint32_t> sizes { 60, 1514 };
    const std::vector<unsigned long long> counts = options.bQuick
        ? std::vector<unsigned long long> { 10000, 100000 }
        : std::vector<unsigned long long> { 100000, 1000000 };
    const unsigned long long ullLong = counts.back();
    const int iPairs = options.iPairs;

    std::printf("Velmora replay benchmark: %s, namespace %s, %s -> %s, %d pairs per case\n",
        version.csText.substr(0, version.csText.find('\n')).c_str(), ns.Name().c_str(),
        vtest::CNetns::SendIf(), vtest::CNetns::PeerIf(), iPairs);

    std::vector<SCase> cases;
    for (uint32_t uSize : sizes) {
        for (unsigned long long ullCount : counts) {
            SCase c;
            c.uSize = uSize;
            c.ullCount = ullCount;
            c.csCapture = dir.File(
                "frames-" + std::to_string(uSize) + "-" + std::to_string(ullCount) + ".pcap");
            std::string csError;
            if (!WriteTestCapture(c.csCapture, ullCount, uSize, 0, &csError)) {
                std::fprintf(stderr, "velmora-bench: cannot write %s: %s\n", c.csCapture.c_str(),
                    csError.c_str());
                return 2;
            }
            cases.push_back(std::move(c));
        }
    }
    std::printf("captures written to %s in %.1f s\n", dir.Path().c_str(),
        std::chrono::duration<double>(Clock::now() - start).count());

    vtest::CTempDir workDir; // velmora-replay's logs
    CBench bench(options, ns, csSelf, workDir.Path().string());
    if (options.bFastPaths)
        return FastPaths(bench, ns, cases, counts.back(), iPairs);
    for (SCase& c : cases) {
        std::printf("%u B x %s records:", c.uSize, Thousands(c.ullCount).c_str());
        for (int i = 0; i < iPairs && !s_bStop; ++i) {
            // The order of the five runs turns with every pair, so that none
            // always goes first after a pause or a neighbour's build.
            CBench::SRun runs[5];
            for (int k = 0; k < 5 && !s_bStop; ++k) {
                const int iWhich = (i + k) % 5;
                if (iWhich == 0)
                    runs[0] = bench.Tcpreplay(c.csCapture, c.ullCount);
                else if (iWhich == 3)
                    runs[3] = bench.Command(c.csCapture, c.ullCount);
                else if (iWhich == 4)
                    runs[4] = bench.Bare(c.csCapture, c.ullCount);
                else
                    runs[iWhich] = bench.Velmora(c.csCapture, c.ullCount, iWhich == 2);
            }
            if (runs[4].dPps > 0) {
                c.bare.push_back(runs[4].dPps);
                if (runs[3].dPps > 0)
                    c.cliOverBare.push_back(runs[3].dPps / runs[4].dPps);
                if (runs[1].dPps > 0)
                    c.offOverBare.push_back(runs[1].dPps / runs[4].dPps);
                if (runs[2].dPps > 0)
                    c.onOverBare.push_back(runs[2].dPps / runs[4].dPps);
            }
            if (runs[3].dPps > 0) {
                c.cli.push_back(runs[3].dPps);
                c.cliWhole.push_back(runs[3].dSendPps);
                if (runs[0].dPps > 0)
                    c.ratioCli.push_back(runs[3].dPps / runs[0].dPps);
                if (runs[1].dPps > 0)
                    c.cliOverWindow.push_back(runs[3].dPps / runs[1].dPps);
            }
            if (runs[0].dPps > 0) {
                c.tcp.push_back(runs[0].dPps);
                if (runs[1].dPps > 0)
                    c.ratioOff.push_back(runs[1].dPps / runs[0].dPps);
                if (runs[2].dPps > 0)
                    c.ratioOn.push_back(runs[2].dPps / runs[0].dPps);
            }
            if (runs[1].dPps > 0) {
                c.off.push_back(runs[1].dPps);
                c.sendOff.push_back(runs[1].dSendPps);
                c.rssOff.push_back(static_cast<double>(runs[1].lRssKb));
            }
            if (runs[2].dPps > 0) {
                c.on.push_back(runs[2].dPps);
                c.sendOn.push_back(runs[2].dSendPps);
                c.rssOn.push_back(static_cast<double>(runs[2].lRssKb));
            }
            std::printf(" .");
        }
        std::printf("\n");
    }

    std::vector<SSingle> singles;
    for (const SCase& c : cases) {
        if (c.ullCount != ullLong)
            continue;
        for (bool bDebug : { false, true }) {
            if (s_bStop)
                break;
            SSingle s;
            s.uSize = c.uSize;
            s.bDebug = bDebug;
            std::printf("single mode, %u B, debug %s:", c.uSize, bDebug ? "on" : "off");
            const int iOffset = static_cast<int>(ullLong - 1);
            // Fills the page cache, so that neither side pays for the disk.
            BareRead(c.csCapture, iOffset);
            for (int i = 0; i < iPairs && !s_bStop; ++i) {
                double dBare = -1;
                double dSend = -1;
                // Which side goes first changes with every pair.
                for (int k = 0; k < 2; ++k) {
                    if ((k == 0) == (i % 2 == 0))
                        dBare = BareRead(c.csCapture, iOffset);
                    else
                        dSend = bench.Single(c.csCapture, iOffset, bDebug);
                }
                if (dBare > 0 && dSend > 0) {
                    s.bare.push_back(dBare);
                    s.send.push_back(dSend);
                    s.ratio.push_back(dSend / dBare);
                }
                std::printf(" .");
            }
            std::printf("\n");
            singles.push_back(std::move(s));
        }
    }
    if (s_bStop) {
        std::printf("interrupted\n");
        return 2;
    }

    // The tables.
    std::printf("\nAll mode, packets per second (median of %d pairs; ratio = median of the "
                "per-pair ratios Velmora / tcpreplay)\n",
        iPairs);
    std::printf("  tcpreplay: --topspeed --no-flow-stats; Velmora: its Send through the window\n");
    std::printf("  both timed alike by the peer's receive counter, from the first frame seen to "
                "the last (read every 100 us)\n");
    std::printf("  Send:      Velmora over the whole CReplayDlg::OnSend() (opening and closing the "
                "adapter and the file, the final box): for information\n\n");
    std::printf("  bare:      one frame sent again and again, sendmmsg 64 at a time (the "
                "one-core limit); / bare: per pair\n\n");
    std::printf("%-7s %9s | %9s %9s | %-34s | %-34s | %s\n", "", "", "", "", "debug off",
        "debug on", "peak RSS (MB)");
    std::printf("%-7s %9s | %9s %9s | %9s %6s %6s %10s | %9s %6s %6s %10s | %6s %6s\n", "frame",
        "records", "tcpreplay", "bare", "Velmora", "ratio", "/ bare", "Send", "Velmora", "ratio",
        "/ bare", "Send", "off", "on");
    auto pps = [](const std::vector<double>& v) {
        return Thousands(static_cast<unsigned long long>(Median(v)));
    };
    for (const SCase& c : cases) {
        std::printf("%-7s %9s | %9s %9s | %9s %6s %6s %10s | %9s %6s %6s %10s | %6s %6s\n",
            (std::to_string(c.uSize) + " B").c_str(), Thousands(c.ullCount).c_str(),
            pps(c.tcp).c_str(), pps(c.bare).c_str(), pps(c.off).c_str(),
            Fixed(Median(c.ratioOff), 2).c_str(), Fixed(Median(c.offOverBare), 2).c_str(),
            pps(c.sendOff).c_str(), pps(c.on).c_str(), Fixed(Median(c.ratioOn), 2).c_str(),
            Fixed(Median(c.onOverBare), 2).c_str(), pps(c.sendOn).c_str(),
            Fixed(Mb(Median(c.rssOff)), 1).c_str(), Fixed(Mb(Median(c.rssOn)), 1).c_str());
    }

    std::printf("\nvelmora-replay, debug off, packets per second (median of %d pairs)\n", iPairs);
    std::printf("  command: by the peer's receive counter, as the others; ratio and / window: per "
                "pair, to tcpreplay and to the window (debug off)\n");
    std::printf("  whole:   over the whole process, exec to exit: for information\n");
    std::printf("  bare:    as above; / bare: per pair\n\n");
    std::printf("%-7s %9s | %9s | %9s %6s %9s | %10s | %9s %7s\n", "frame", "records", "tcpreplay",
        "command", "ratio", "/ window", "whole", "bare", "/ bare");
    for (const SCase& c : cases) {
        std::printf("%-7s %9s | %9s | %9s %6s %9s | %10s | %9s %7s\n",
            (std::to_string(c.uSize) + " B").c_str(), Thousands(c.ullCount).c_str(),
            pps(c.tcp).c_str(), pps(c.cli).c_str(), Fixed(Median(c.ratioCli), 2).c_str(),
            Fixed(Median(c.cliOverWindow), 2).c_str(), pps(c.cliWhole).c_str(), pps(c.bare).c_str(),
            Fixed(Median(c.cliOverBare), 2).c_str());
    }

    std::printf("\nSingle mode, offset %s of %s records, one frame sent (median of %d pairs)\n",
        Thousands(ullLong - 1).c_str(), Thousands(ullLong).c_str(), iPairs);
    std::printf("  bare read: pcap_open_offline, pcap_next_ex up to the record, pcap_close, in "
                "a process without a window\n");
    std::printf("  Velmora:   wall time of CReplayDlg::OnSend(), the first Send of a fresh "
                "window\n\n");
    std::printf(
        "%-7s %-5s | %12s | %12s | %6s\n", "frame", "debug", "bare read ms", "Velmora ms", "ratio");
    for (const SSingle& s : singles) {
        std::printf("%-7s %-5s | %12s | %12s | %6s\n", (std::to_string(s.uSize) + " B").c_str(),
            s.bDebug ? "on" : "off", Fixed(Median(s.bare) * 1000, 1).c_str(),
            Fixed(Median(s.send) * 1000, 1).c_str(), Fixed(Median(s.ratio), 2).c_str());
    }

    std::printf("\nTargets\n");
    int iFailed = 0;
    int iTargets = 0;
    auto target = [&](bool bPass, const std::string& cs) {
        ++iTargets;
        if (!bPass)
            ++iFailed;
        std::printf("  %s  %s\n", Verdict(bPass).c_str(), cs.c_str());
    };
    for (const SCase& c : cases) {
        const std::string csCase
            = std::to_string(c.uSize) + " B, " + Thousands(c.ullCount) + " records";
        const bool bAllOff = static_cast<int>(c.ratioOff.size()) == iPairs;
        const bool bAllOn = static_cast<int>(c.ratioOn.size()) == iPairs;
        target(bAllOff && Median(c.ratioOff) >= kRatioDebugOff,
            "debug off, " + csCase + ": ratio " + Fixed(Median(c.ratioOff), 2)
                + " >= " + Fixed(kRatioDebugOff, 2));
        target(bAllOn && Median(c.ratioOn) >= kRatioDebugOn,
            "debug on,  " + csCase + ": ratio " + Fixed(Median(c.ratioOn), 2)
                + " >= " + Fixed(kRatioDebugOn, 2));
        const double dOverBare = c.uSize <= 60 ? kOverBareSmall : kOverBareLarge;
        auto all
            = [&](const std::vector<double>& v) { return static_cast<int>(v.size()) == iPairs; };
        target(all(c.offOverBare) && Median(c.offOverBare) >= dOverBare,
            "debug off, " + csCase + ": " + Fixed(Median(c.offOverBare), 2)
                + " of the bare loop >= " + Fixed(dOverBare, 2));
        target(all(c.ratioCli) && Median(c.ratioCli) >= kRatioDebugOff,
            "velmora-replay, " + csCase + ": ratio " + Fixed(Median(c.ratioCli), 2)
                + " >= " + Fixed(kRatioDebugOff, 2));
        target(all(c.cliOverBare) && Median(c.cliOverBare) >= dOverBare,
            "velmora-replay, " + csCase + ": " + Fixed(Median(c.cliOverBare), 2)
                + " of the bare loop >= " + Fixed(dOverBare, 2));
        // The command's whole run against the window's loop alone.
        target(static_cast<int>(c.cliOverWindow.size()) == iPairs
                && Median(c.cliOverWindow) >= kCommandOverWindow,
            "velmora-replay, " + csCase + ": " + Fixed(Median(c.cliOverWindow), 2)
                + " x the window's rate >= " + Fixed(kCommandOverWindow, 2)
                + " (ratio to tcpreplay " + Fixed(Median(c.ratioCli), 2) + ")");
    }
    for (const SSingle& s : singles) {
        target(static_cast<int>(s.ratio.size()) == iPairs && Median(s.ratio) <= kSingleOverBare,
            "single mode, " + std::to_string(s.uSize) + " B, debug " + (s.bDebug ? "on" : "off")
                + ": " + Fixed(Median(s.ratio), 2)
                + " x the bare read <= " + Fixed(kSingleOverBare, 1));
    }
    for (uint32_t uSize : sizes) {
        const SCase* pShort = nullptr;
        const SCase* pLong = nullptr;
        for (const SCase& c : cases) {
            if (c.uSize == uSize && c.ullCount == counts.front())
                pShort = &c;
            if (c.uSize == uSize && c.ullCount == ullLong)
                pLong = &c;
        }
        for (bool bDebug : { false, true }) {
            const auto& rssShort = bDebug ? pShort->rssOn : pShort->rssOff;
            const auto& rssLong = bDebug ? pLong->rssOn : pLong->rssOff;
            const double dGrowth = Mb(Median(rssLong) - Median(rssShort));
            target(!rssShort.empty() && !rssLong.empty() && dGrowth <= kRssGrowthMb,
                "peak RSS, " + std::to_string(uSize) + " B, debug " + (bDebug ? "on: " : "off:")
                    + " " + Thousands(ullLong) + " records " + Fixed(Mb(Median(rssLong)), 1)
                    + " MB, " + Thousands(counts.front()) + " records "
                    + Fixed(Mb(Median(rssShort)), 1) + " MB, growth " + Fixed(dGrowth, 1)
                    + " MB <= " + Fixed(kRssGrowthMb, 0) + " MB");
        }
    }
    target(bench.DeliveryFailures() == 0 && bench.Problems() == 0,
        "every frame of every run arrived at " + std::string(vtest::CNetns::PeerIf())
            + " (receive counter; " + std::to_string(bench.DeliveryFailures()) + " runs short, "
            + std::to_string(bench.Problems()) + " runs failed)");
    if (options.bQuick)
        std::printf("  (--quick: smaller files and fewer pairs than the targets ask for)\n");
    std::printf("\n%d of %d targets met; %.0f s in all\n", iTargets - iFailed, iTargets,
        std::chrono::duration<double>(Clock::now() - start).count());
    return iFailed == 0 ? 0 : 1;
}
