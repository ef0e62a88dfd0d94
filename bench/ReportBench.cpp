// The report of a long Send: its size and the time headless chromium takes to
// open it, for 100,000 requests (bench/run.sh --report). Not a timed test.
//
// The Send is made up: readProperty requests 1 ms apart, answered in 2 to 9 ms
// with a slow band every 200th, every 50th unanswered and every 97th answered
// with an Error where the capture recorded an ACK.
#include "judge/Judge.h"
#include "session/Report.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <vector>

using namespace velmora;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Frame(uint8_t uFrom, uint8_t uTo, const Bytes& apdu)
{
    Bytes f = { 0x02, 0x76, 0x6d, 0x0a, 0x00, uTo, 0x02, 0x76, 0x6d, 0x0a, 0x00, uFrom, 0x08, 0x00,
        0x45, 0x00, 0, 0, 0x12, 0x34, 0x00, 0x00, 0x40, 0x11, 0x00, 0x00, 10, 0, 0, uFrom, 10, 0, 0,
        uTo, 0xba, 0xc0, 0xba, 0xc0, 0, 0, 0, 0, 0x81, 0x0a, 0, 0, 0x01, 0x04 };
    if (apdu[0] != 0x00)
        f.back() = 0x00;
    f.insert(f.end(), apdu.begin(), apdu.end());
    const size_t nIp = f.size() - 14;
    const size_t nUdp = f.size() - 34;
    const size_t nBvlc = f.size() - 42;
    f[16] = static_cast<uint8_t>(nIp >> 8);
    f[17] = static_cast<uint8_t>(nIp);
    f[38] = static_cast<uint8_t>(nUdp >> 8);
    f[39] = static_cast<uint8_t>(nUdp);
    f[44] = static_cast<uint8_t>(nBvlc >> 8);
    f[45] = static_cast<uint8_t>(nBvlc);
    return f;
}

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Runs argv and waits; its output goes to /dev/null. The exit status.
int Run(const std::vector<std::string>& args)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        std::vector<char*> argv;
        for (const std::string& cs : args)
            argv.push_back(const_cast<char*>(cs.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int iStatus = 0;
    waitpid(pid, &iStatus, 0);
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
}

} // namespace

int main(int argc, char** argv)
{
    size_t nRequests = 100000;
    if (argc > 1 && std::strcmp(argv[1], "--quick") == 0)
        nRequests = 10000;
    constexpr int64_t kT0 = 1700000000000000000;
    std::vector<judge::SJudgedFrame> requests, capture;
    std::vector<judge::SJudgedFrame> heard;
    judge::SJudgement judgement;
    std::vector<SHeardFrame> heardFrames;
    for (size_t i = 0; i < nRequests; ++i) {
        const uint8_t uInvoke = static_cast<uint8_t>(i);
        const Bytes request = Frame(1, 2,
            { 0x00, 0x05, uInvoke, 0x0c, 0x0c, 0x00, 0x00, 0x00, static_cast<uint8_t>(i % 50), 0x19,
                0x55 });
        const Bytes ack = Frame(2, 1,
            { 0x30, uInvoke, 0x0c, 0x0c, 0x00, 0x00, 0x00, static_cast<uint8_t>(i % 50), 0x19, 0x55,
                0x3e, 0x44, 0x41, 0xac, 0x00, 0x00, 0x3f });
        const int64_t llSent = kT0 + static_cast<int64_t>(i) * 1000000;
        requests.push_back({ 2 * i, llSent, request });
        capture.push_back({ 2 * i, 0, request });
        capture.push_back({ 2 * i + 1, 0, ack });
        if (i % 50 == 49)
            continue;
        const int64_t llRoundTrip
            = (i % 200 < 20 ? 40000000 : 2000000) + static_cast<int64_t>((i * 7919) % 7000) * 1000;
        const Bytes answer
            = i % 97 == 0 ? Frame(2, 1, { 0x50, uInvoke, 0x0c, 0x91, 0x02, 0x91, 0x20 }) : ack;
        heard.push_back({ 0, llSent + llRoundTrip, answer });
    }
    // Answers in the order they came.
    std::sort(heard.begin(), heard.end(),
        [](const judge::SJudgedFrame& a, const judge::SJudgedFrame& b) { return a.llNs < b.llNs; });
    auto start = std::chrono::steady_clock::now();
    judgement = judge::Judge(requests, heard, &capture);
    const double dJudge = Seconds(std::chrono::steady_clock::now() - start);
    for (const judge::SJudgedFrame& h : heard)
        heardFrames.push_back({ h.llNs, static_cast<uint32_t>(h.bytes.size()), h.bytes });

    SReportFacts facts;
    facts.csCapturePath = "made-up.pcap";
    facts.uRecords = capture.size();
    facts.csAdapter = "veth0";
    facts.csVersion = VelmoraVersion();
    facts.csExitStatus = ExitStatusWords(4);
    facts.csSummary = judge::SummaryText(nRequests, judgement);
    facts.uPacketsSent = nRequests;
    const RecordReader read = [&capture](uint64_t u, std::vector<uint8_t>& bytes) {
        if (u >= capture.size())
            return false;
        bytes = capture[u].bytes;
        return true;
    };
    start = std::chrono::steady_clock::now();
    const std::string csHtml = ReportHtml(facts, judgement, heardFrames, read);
    const double dWrite = Seconds(std::chrono::steady_clock::now() - start);
    const std::filesystem::path dir = std::filesystem::temp_directory_path()
        / ("velmora-report-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string csPath = (dir / "report.html").string();
    std::FILE* p = std::fopen(csPath.c_str(), "wb");
    std::fwrite(csHtml.data(), 1, csHtml.size(), p);
    std::fclose(p);
    std::printf("Report of %zu requests (%zu lines): %.1f MB (limit 30 MB); judged in %.2f s, "
                "written in %.2f s\n",
        nRequests, judgement.lines.size(), csHtml.size() / 1e6, dJudge, dWrite);
    std::printf("  %s\n", facts.csSummary.c_str());

    const char* szChromium = "/usr/bin/chromium";
    if (!std::filesystem::exists(szChromium)) {
        std::printf("chromium is not installed: no open time\n");
        return 0;
    }
    // Headless chromium, its own fresh profile each time: the time until the
    // DOM is dumped (parsed, laid out, script run), and until a screenshot.
    for (const char* szWhat : { "--dump-dom", "--screenshot" }) {
        for (int iRun = 0; iRun < 3; ++iRun) {
            const std::string csProfile = (dir / ("profile" + std::to_string(iRun))).string();
            std::vector<std::string> args = { szChromium, "--headless", "--no-sandbox",
                "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--user-data-dir=" + csProfile, "--host-resolver-rules=MAP * ~NOTFOUND" };
            args.push_back(std::strcmp(szWhat, "--screenshot") == 0
                    ? "--screenshot=" + (dir / "shot.png").string()
                    : std::string(szWhat));
            args.push_back("--window-size=1280,1400");
            args.push_back("file://" + csPath);
            start = std::chrono::steady_clock::now();
            const int iExit = Run(args);
            std::printf("  chromium %s, run %d: %.2f s (exit %d)\n", szWhat, iRun + 1,
                Seconds(std::chrono::steady_clock::now() - start), iExit);
            std::filesystem::remove_all(csProfile);
        }
    }
    // An empty page for the browser's own start-up cost.
    const std::string csEmpty = (dir / "empty.html").string();
    std::FILE* pEmpty = std::fopen(csEmpty.c_str(), "wb");
    std::fputs("<!DOCTYPE html><title>empty</title>", pEmpty);
    std::fclose(pEmpty);
    start = std::chrono::steady_clock::now();
    Run({ szChromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
        "--user-data-dir=" + (dir / "profile-empty").string(), "--dump-dom", "file://" + csEmpty });
    std::printf("  chromium --dump-dom of an empty page: %.2f s (its start-up)\n",
        Seconds(std::chrono::steady_clock::now() - start));
    std::filesystem::remove_all(dir);
    return 0;
}
