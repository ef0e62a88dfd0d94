// The listening benchmark, side by side in one run on a veth pair in a
// namespace of its own (root only):
//   1. the batched send rate at 60 B with listening off and on, in alternating
//      pairs, for test frames and for BACnet/IP requests (which the Send keeps
//      for judging): the target is at most 10% lost;
//   2. 10,000 readProperty requests answered back to back by the scripted
//      responder: every answer it sent must be heard and paired.
// Usage: velmora-listen-bench [--quick]

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
