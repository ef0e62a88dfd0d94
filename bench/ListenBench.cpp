// The listening benchmark, side by side in one run on a veth pair in a
// namespace of its own (root only):
//   1. the batched send rate at 60 B with listening off and on, in alternating
//      pairs, for test frames and for BACnet/IP requests (which the Send keeps
//      for judging): the target is at most 10% lost;
//   2. 10,000 readProperty requests answered back to back by the scripted
//      responder: every answer it sent must be heard and paired.
//   3. with --endless S: a listening Send in rounds until stopped, back to
//      back against the responder for S seconds (its duration), judged round
//      by round as the shells judge it; the resident set size after a minute
//      and at the end. --whole keeps every request and frame instead (the
//      way before rounds were handed over), to show what that costs.
// Usage: velmora-listen-bench [--quick] | --endless S [--whole]

#include "Child.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "TestSupport.h"
#include "replay/Replay.h"
#include "replay/SendSocket.h"
#include "session/JudgeSend.h"
#include "tools/CaptureWriter.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velmora;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kMaxLoss = 0.10;

// Times the sending alone: from the start to the loop's last report (its
// exact count), leaving out the wait and the judging after it.
class CQuietObserver final : public IReplayObserver {
public:
    std::chrono::milliseconds ProgressInterval() const override { return 100ms; }
    void OnStart() override { m_start = Clock::now(); }
    void OnProgress(const SReplayCounts&) override { m_end = Clock::now(); }
    double Seconds() const { return std::chrono::duration<double>(m_end - m_start).count(); }

private:
    Clock::time_point m_start;
    Clock::time_point m_end;
};

// One Send of the whole capture; frames per second.
double SendRate(const std::string& csPath, bool bListen, SReplayResult* pResult = nullptr)
{
    SReplayRequest request;
    request.csPath = csPath;
    request.csAdapter = vtest::CNetns::SendIf();
    request.listen.bListen = bListen;
    request.listen.wait = 0ms;
    CQuietObserver observer;
    CSocketSink sink;
    SReplayResult result = Replay(request, sink, observer);
    const double dSeconds = observer.Seconds();
    WaitForAdapterClose();
    if (pResult)
        *pResult = std::move(result);
    return dSeconds > 0 ? result.iCount / dSeconds : 0;
}

vtest::Bytes ReadRequest(unsigned uInvoke)
{
    vtest::Bytes frame = vtest::BacnetIp(0x0a,
        vtest::Cat({ vtest::Hex("01 04 00 05"), { static_cast<uint8_t>(uInvoke & 0xff) },
            vtest::Hex("0c 0c 00000001 19 55") }));
    return frame;
}

bool WriteRequests(const std::string& csPath, unsigned uCount)
{
    CCaptureWriter writer;
    if (!writer.Open(csPath))
        return false;
    for (unsigned u = 0; u < uCount; ++u) {
        if (!writer.Write(ReadRequest(u)))
            return false;
    }
    return writer.Close();
}

long ResidentKiB()
{
    std::FILE* p = std::fopen("/proc/self/status", "r");
    if (!p)
        return -1;
    char sz[256];
    long l = -1;
    while (std::fgets(sz, sizeof sz, p)) {
        if (std::sscanf(sz, "VmRSS: %ld kB", &l) == 1)
            break;
    }
    std::fclose(p);
    return l;
}

// The shells' side of an endless listening Send: the rounds judged as they
// come, the resident set size at the first minute.
class CEndlessObserver final : public IReplayObserver {
public:
    CEndlessObserver(const SReplayRequest& request, bool bWhole)
        : m_judge(request, nullptr, 0)
        , m_bWhole(bWhole)
        , m_start(Clock::now())
    {
    }
    std::chrono::milliseconds ProgressInterval() const override { return 100ms; }
    void OnProgress(const SReplayCounts& counts) override
    {
        if (m_lMinuteKiB < 0 && Clock::now() - m_start >= 60s) {
            m_lMinuteKiB = ResidentKiB();
            std::printf("  after 1 min: RSS %.1f MB, %d packets sent, round %lld\n",
                static_cast<double>(m_lMinuteKiB) / 1024, counts.iHandled,
                static_cast<long long>(counts.llRound));
            std::fflush(stdout);
        }
    }
    bool TakesListening() const override { return !m_bWhole; }
    void OnListened(SListenChunk& chunk) override { m_judge.Add(chunk); }
    const CListenJudge& Judge() const { return m_judge; }
    long MinuteKiB() const { return m_lMinuteKiB; }

private:
    CListenJudge m_judge;
    bool m_bWhole;
    Clock::time_point m_start;
    long m_lMinuteKiB = -1;
};

int Endless(double dSeconds, bool bWhole)
{
    vtest::CTempDir dir;
    vtest::CNetns ns("listenendless");
    if (!ns.Ok()) {
        std::fprintf(stderr, "velmora-listen-bench: %s\n", ns.Error().c_str());
        return 2;
    }
    const std::string csPath = dir.File("requests.pcap");
    if (!WriteRequests(csPath, 1000))
        return 2;
    vtest::CChild responder(
        { VELMORA_RESPONDER, vtest::CNetns::PeerIf() }, dir.Path().string(), ns.Name());
    for (int i = 0; i < 300 && responder.Out().find("ready") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    SReplayRequest request;
    request.csPath = csPath;
    request.csAdapter = vtest::CNetns::SendIf();
    request.listen.bListen = true;
    request.listen.wait = 500ms;
    request.pace.llLoops = 0;
    request.pace.dDurationSeconds = dSeconds;
    std::printf("Endless listening: rounds of 1,000 readProperty requests back to back for %.0f s, "
                "%s\n",
        dSeconds, bWhole ? "every request and frame kept (--whole)" : "judged round by round");
    const long lStartKiB = ResidentKiB();
    CEndlessObserver observer(request, bWhole);
    SReplayResult result;
    {
        vtest::CEnterNetns enter(ns);
        CSocketSink sink;
        result = Replay(request, sink, observer);
    }
    const long lEndKiB = ResidentKiB();
    responder.Signal(SIGTERM);
    responder.Wait();
    const judge::SJudgement& j = observer.Judge().Judgement();
    std::printf(
        "  at the end:  RSS %.1f MB (%.1f MB at the start), %d packets sent in %lld rounds, "
        "%lld requests, %lld frames heard; judged %zu, answered %zu\n",
        static_cast<double>(lEndKiB) / 1024, static_cast<double>(lStartKiB) / 1024, result.iCount,
        static_cast<long long>(result.llRounds), result.listen.llRequests, result.listen.llHeard,
        j.nRequests, j.nAnswered);
    if (observer.MinuteKiB() >= 0)
        std::printf("  growth after the first minute: %.1f MB\n",
            static_cast<double>(lEndKiB - observer.MinuteKiB()) / 1024);
    return 0;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const bool bQuick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    if (geteuid() != 0) {
        std::fputs("velmora-listen-bench: run it as root (it makes a namespace)\n", stderr);
        return 2;
    }
    if (argc > 2 && std::strcmp(argv[1], "--endless") == 0)
        return Endless(std::atof(argv[2]), argc > 3 && std::strcmp(argv[3], "--whole") == 0);
    vtest::CTempDir dir;
    vtest::CNetns ns("listenbench");
    if (!ns.Ok()) {
        std::fprintf(stderr, "velmora-listen-bench: %s\n", ns.Error().c_str());
        return 2;
    }
    const unsigned uFrames = bQuick ? 100000 : 1000000;
    const int iPairs = bQuick ? 3 : 7;
    const std::string csTest = dir.File("test60.pcap");
    const std::string csBacnet = dir.File("requests.pcap");
    if (!WriteTestCapture(csTest, uFrames, 60) || !WriteRequests(csBacnet, uFrames))
        return 2;
    int iStatus = 0;
    {
        vtest::CEnterNetns enter(ns);
        std::printf("Batched send rate at 60 B, listening off and on (%d pairs of %u frames):\n",
            iPairs, uFrames);
        std::printf(
            "  %-22s %14s %14s %8s\n", "capture", "off (frames/s)", "on (frames/s)", "on/off");
        for (const std::string* pPath : { &csTest, &csBacnet }) {
            std::vector<double> off;
            std::vector<double> on;
            for (int i = 0; i < iPairs; ++i) {
                // Alternate which goes first, so that drift hits both alike.
                if (i % 2 == 0) {
                    off.push_back(SendRate(*pPath, false));
                    on.push_back(SendRate(*pPath, true));
                } else {
                    on.push_back(SendRate(*pPath, true));
                    off.push_back(SendRate(*pPath, false));
                }
            }
            const double dRatio = Median(on) / Median(off);
            std::printf("  %-22s %14.0f %14.0f %8.3f %s\n",
                pPath == &csTest ? "test frames" : "BACnet/IP requests", Median(off), Median(on),
                dRatio, dRatio >= 1 - kMaxLoss ? "ok" : "SLOWER THAN THE TARGET");
            if (dRatio < 1 - kMaxLoss)
                iStatus = 1;
        }
    }

    // 10,000 answers back to back.
    const unsigned uRequests = 10000;
    const std::string csTenThousand = dir.File("ten-thousand.pcap");
    if (!WriteRequests(csTenThousand, uRequests))
        return 2;
    vtest::CChild responder(
        { VELMORA_RESPONDER, vtest::CNetns::PeerIf() }, dir.Path().string(), ns.Name());
    for (int i = 0; i < 300 && responder.Out().find("ready") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    SReplayRequest request;
    request.csPath = csTenThousand;
    request.csAdapter = vtest::CNetns::SendIf();
    request.listen.bListen = true;
    request.listen.wait = 1000ms;
    CQuietObserver observer;
    SReplayResult result;
    {
        vtest::CEnterNetns enter(ns);
        CSocketSink sink;
        result = Replay(request, sink, observer);
    }
    responder.Signal(SIGTERM);
    responder.Wait();
    unsigned long ulAnswered = 0;
    std::sscanf(
        responder.Out().c_str() + responder.Out().find("answered"), "answered %lu", &ulAnswered);
    const judge::SJudgement j = JudgeSend(request, result);
    std::printf("\n%u requests answered back to back:\n", uRequests);
    std::printf("  sent %d, responder answered %lu, heard %zu, paired %zu, unanswered %zu, "
                "without a send stamp %zu\n",
        result.iCount - result.iRefused, ulAnswered, result.listen.heard.size(), j.nAnswered,
        j.nUnanswered, result.listen.nUnstamped);
    const bool bAll = ulAnswered == uRequests && result.listen.heard.size() == uRequests
        && j.nAnswered == uRequests;
    std::printf("  %s\n", bAll ? "ok: not one answer lost" : "ANSWERS LOST");
    std::printf(
        "  summary: %s\n", judge::SummaryText(static_cast<uint64_t>(result.iCount), j).c_str());
    return bAll ? iStatus : 1;
}
