// The conversation benchmark (root only): requests a second while conversing
// with the scripted responder, which answers at once, on a veth pair in a
// namespace of its own, at window 1 and window 8. The loop runs the gate a
// conversing Send runs (replay/Gate.h), then the batch's send; then the same requests
// through velmora-replay itself (its whole run, judge and report included).
// Targets: 5,000 requests/s at window 1 and 20,000 at window 8.
// Usage: velmora-converse-bench [--quick]

#include "Child.h"
#include "FrameBuilder.h"
#include "NetNs.h"
#include "TestSupport.h"
#include "replay/Converse.h"
#include "replay/Ear.h"
#include "replay/Gate.h"
#include "replay/SendSocket.h"
#include "tools/CaptureWriter.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velmora;
using namespace std::chrono_literals;

namespace {

struct SRun {
    double dPerSecond = 0;
    size_t nAnswered = 0;
    size_t nOther = 0;
};

SRun Converse(int iWindow, int iRequests)
{
    SRun run;
    CSocketSink sink;
    CEar ear;
    ear.SetPrompt(true);
    std::string csError;
    if (!sink.Open(vtest::CNetns::SendIf(), csError)
        || !ear.Start(vtest::CNetns::SendIf(), csError)) {
        std::fprintf(stderr, "velmora-converse-bench: %s\n", csError.c_str());
        return run;
    }
    CMonotonicClock clock;
    SConverseOptions options;
    options.iWindow = iWindow;
    CConversation conversation(options, clock);
    conversation.SetHeardClock(EarClockNs);
    // The send loop's own gate, waiting in slices of a millisecond.
    CDirectEar gateEar(ear);
    CConverseGate gate(conversation, sink, gateEar, clock, 1'000'000);
    gate.SetOnResult([&](SConverseResult&& r) {
        ++(r.eOutcome == EConverseOutcome::Answered ? run.nAnswered : run.nOther);
    });
    const vtest::Bytes request
        = vtest::BacnetIp(0x0a, vtest::Hex("01 04 00 05 05 0c 0c 00000001 19 55"));
    const int64_t llStart = clock.Now();
    for (int i = 0; i < iRequests; ++i) {
        vtest::Bytes frame = request;
        SConverseOffered offered;
        if (gate.Pass(static_cast<uint64_t>(i), frame.data(), static_cast<uint32_t>(frame.size()),
                offered)
            != EConverseGate::Go)
            return run;
        // The batch's part: the request goes at once.
        sink.Transmit(frame.data(), static_cast<uint32_t>(frame.size()));
    }
    gate.Finish();
    run.dPerSecond = iRequests / (static_cast<double>(clock.Now() - llStart) / 1e9);
    return run;
}

// velmora-replay conversing: the capture's requests over the whole run's time.
SRun Command(const vtest::CNetns& ns, const std::string& csDir, int iWindow)
{
    SRun run;
    const auto start = std::chrono::steady_clock::now();
    vtest::CChild command(
        std::vector<std::string> { VELMORA_REPLAY_EXE, "-i", vtest::CNetns::SendIf(), "--listen=0",
            "-q", "--window", std::to_string(iWindow), "c.pcap" },
        csDir, ns.Name());
    const int iExit = command.Wait(std::chrono::seconds(300));
    const double dSeconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    unsigned uRequests = 0;
    unsigned uAnswered = 0;
    const std::string csErr = command.Err();
    const size_t n = csErr.find(" requests: ");
    if (n != std::string::npos) {
        const size_t nFrom = csErr.rfind(' ', n - 1);
        std::sscanf(csErr.c_str() + nFrom + 1, "%u requests: %u answered", &uRequests, &uAnswered);
    }
    if (iExit != 0)
        std::fprintf(
            stderr, "velmora-converse-bench: velmora-replay: %d: %s", iExit, csErr.c_str());
    run.nAnswered = uAnswered;
    run.nOther = uRequests - std::min(uRequests, uAnswered);
    run.dPerSecond = dSeconds > 0 ? uRequests / dSeconds : 0;
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    const bool bQuick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    if (geteuid() != 0) {
        std::fputs("velmora-converse-bench: run it as root (it makes a namespace)\n", stderr);
        return 2;
    }
    vtest::CTempDir dir;
    vtest::CNetns ns("conversebench");
    if (!ns.Ok()) {
        std::fprintf(stderr, "velmora-converse-bench: %s\n", ns.Error().c_str());
        return 2;
    }
    vtest::CChild responder(
        { VELMORA_RESPONDER, vtest::CNetns::PeerIf() }, dir.Path().string(), ns.Name());
    for (int i = 0; i < 300 && responder.Out().find("ready") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    const int iRequests = bQuick ? 2000 : 20000;
    const int iRuns = bQuick ? 1 : 3;
    int iStatus = 0;
    {
        CCaptureWriter writer;
        const vtest::Bytes request
            = vtest::BacnetIp(0x0a, vtest::Hex("01 04 00 05 05 0c 0c 00000001 19 55"));
        if (!writer.Open(dir.File("c.pcap")))
            return 2;
        for (int i = 0; i < iRequests; ++i)
            writer.Write(request);
        if (!writer.Close())
            return 2;
    }
    std::printf("Conversing with a responder that answers at once (%d requests, median of %d):\n",
        iRequests, iRuns);
    {
        vtest::CEnterNetns enter(ns);
        for (const auto& [iWindow, dTarget] :
            { std::pair { 1, 5000.0 }, std::pair { 8, 20000.0 } }) {
            for (const bool bCommand : { false, true }) {
                std::vector<SRun> runs;
                for (int i = 0; i < iRuns; ++i)
                    runs.push_back(bCommand ? Command(ns, dir.Path().string(), iWindow)
                                            : Converse(iWindow, iRequests));
                std::sort(runs.begin(), runs.end(),
                    [](const SRun& a, const SRun& b) { return a.dPerSecond < b.dPerSecond; });
                const SRun& m = runs[runs.size() / 2];
                const bool bOk = m.dPerSecond >= dTarget && m.nAnswered == size_t(iRequests);
                std::printf("  window %d, %s: %.0f requests/s, %zu answered, %zu not (target "
                            "%.0f/s) %s\n",
                    iWindow, bCommand ? "velmora-replay" : "the gate's loop", m.dPerSecond,
                    m.nAnswered, m.nOther, dTarget, bOk ? "ok" : "BELOW THE TARGET");
                if (!bOk)
                    iStatus = 1;
            }
        }
    }
    responder.Signal(SIGTERM);
    responder.Wait();
    return iStatus;
}
