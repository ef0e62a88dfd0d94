#include "cli/ServeCommand.h"

#include "replay/Clock.h"
#include "serve/Learn.h"
#include "serve/ServeRun.h"

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

namespace velmora {

namespace {

    constexpr const char* kName = "velmora-replay";

    bool Number(std::string_view cs, uint64_t uMax, uint64_t& u)
    {
        if (cs.empty() || cs.front() < '0' || cs.front() > '9')
            return false;
        const auto r = std::from_chars(cs.data(), cs.data() + cs.size(), u);
        return r.ec == std::errc() && r.ptr == cs.data() + cs.size() && u <= uMax;
    }

    // "2", "0.5": seconds with up to three decimals, at most a day.
    bool Seconds(std::string_view cs, int64_t& llMs)
    {
        const size_t nDot = cs.find('.');
        uint64_t uWhole = 0;
        uint64_t uFraction = 0;
        const std::string_view fraction
            = nDot == std::string_view::npos ? std::string_view() : cs.substr(nDot + 1);
        if (!Number(cs.substr(0, nDot), 86400, uWhole) || fraction.size() > 3
            || (nDot != std::string_view::npos && !Number(fraction, 999, uFraction)))
            return false;
        for (size_t i = fraction.size(); i < 3; ++i)
            uFraction *= 10;
        llMs = static_cast<int64_t>(uWhole * 1000 + uFraction);
        return llMs > 0;
    }

    struct SServeCli {
        serve::SServeRequest request;
        std::string csCapture;
        std::string csJUnit;
        std::string csReport;
        bool bQuiet = false;
    };

    bool Parse(int argc, const char* const* argv, SServeCli& cli, std::string& csError)
    {
        std::vector<std::string> operands;
        for (int i = 1; i < argc; ++i) {
            const std::string csArg = argv[i];
            std::string csName = csArg;
            std::string csValue;
            bool bInline = false;
            const size_t nEq = csArg.find('=');
            if (csArg.rfind("--", 0) == 0 && nEq != std::string::npos) {
                csName = csArg.substr(0, nEq);
                csValue = csArg.substr(nEq + 1);
                bInline = true;
            }
            const auto value = [&](std::string& cs) {
                if (bInline) {
                    cs = csValue;
                    return true;
                }
                if (i + 1 >= argc) {
                    csError = csName + " needs a value";
                    return false;
                }
                cs = argv[++i];
                return true;
            };
            std::string cs;
            uint64_t u = 0;
            if (csName == "--serve" && !bInline) {
                continue;
            } else if (csName == "-i" || csName == "--adapter") {
                if (!value(cli.request.csAdapter))
                    return false;
            } else if (csName == "--device") {
                if (!value(cs))
                    return false;
                if (!Number(cs, 4194302, u)) {
                    csError = "--device: '" + cs + "' is no device instance (0 to 4194302)";
                    return false;
                }
                cli.request.options.devices.push_back(static_cast<uint32_t>(u));
            } else if (csName == "--duration") {
                if (!value(cs))
                    return false;
                if (!Seconds(cs, cli.request.llDurationMs)) {
                    csError = "--duration: '" + cs + "' is no number of seconds (up to 86400)";
                    return false;
                }
            } else if (csName == "--serve-ip") {
                if (!value(cli.request.csServeIp))
                    return false;
                uint32_t uIp = 0;
                if (!serve::ParseIpv4(cli.request.csServeIp, uIp)) {
                    csError = "--serve-ip: '" + cli.request.csServeIp + "' is no IPv4 address";
                    return false;
                }
            } else if (csName == "--read-only" && !bInline) {
                cli.request.options.bReadOnly = true;
            } else if (csName == "--history" && !bInline) {
                cli.request.options.bHistory = true;
            } else if (csName == "--segment-window") {
                if (!value(cs))
                    return false;
                if (!Number(cs, 127, u) || u < 1) {
                    csError = "--segment-window: '" + cs + "' is no window from 1 to 127";
                    return false;
                }
                cli.request.options.iWindow = static_cast<int>(u);
            } else if (csName == "--apdu-timeout") {
                if (!value(cs))
                    return false;
                if (!Number(cs, 3'600'000, u) || u < 1) {
                    csError = "--apdu-timeout: '" + cs
                        + "' is no number of milliseconds from 1 to 3600000";
                    return false;
                }
                cli.request.options.llSegmentTimeoutMs = static_cast<int64_t>(u);
            } else if (csName == "--retries") {
                if (!value(cs))
                    return false;
                if (!Number(cs, 3, u)) {
                    csError = "--retries: '" + cs + "' is no count from 0 to 3";
                    return false;
                }
                cli.request.options.iRetries = static_cast<int>(u);
            } else if (csName == "--junit" || csName == "--report") {
                if (!value(csName == "--junit" ? cli.csJUnit : cli.csReport))
                    return false;
            } else if ((csName == "-q" || csName == "--quiet") && !bInline) {
                cli.bQuiet = true;
            } else if (csArg.size() > 1 && csArg[0] == '-') {
                csError = "--serve does not take " + csName;
                return false;
            } else {
                operands.push_back(csArg);
            }
        }
        if (cli.request.csAdapter.empty()) {
            csError = "--serve needs the adapter to serve on: -i NAME";
            return false;
        }
        if (operands.size() != 1) {
            csError = operands.empty() ? "--serve needs a capture to learn the devices from"
                                       : "one capture file only";
            return false;
        }
        cli.csCapture = operands.front();
        return true;
    }

    class CServeObserver final : public serve::IServeObserver {
    public:
        CServeObserver(
            std::FILE* pOut, std::FILE* pErr, bool bQuiet, const std::function<int()>& stopSignal)
            : m_pOut(pOut)
            , m_pErr(pErr)
            , m_bQuiet(bQuiet)
            , m_stopSignal(stopSignal)
        {
        }
        void OnReady(const std::string& csAddress, const std::vector<uint32_t>& devices) override
        {
            m_csAddress = csAddress;
            m_devices = devices;
            if (!m_bQuiet) {
                std::string cs;
                for (uint32_t u : devices)
                    cs += (cs.empty() ? "" : ", ") + std::to_string(u);
                std::fprintf(m_pErr, "%s: serving device%s %s on %s\n", kName,
                    devices.size() == 1 ? "" : "s", cs.c_str(), csAddress.c_str());
                std::fflush(m_pErr);
            }
            std::fprintf(m_pOut, "%s\n", serve::ServedTsvHeader());
            std::fflush(m_pOut);
        }
        void OnServed(const serve::SServed& served, int64_t llStartNs) override
        {
            std::fprintf(m_pOut, "%s\n", serve::ServedTsvLine(served, llStartNs).c_str());
            std::fflush(m_pOut);
            m_llStartNs = llStartNs;
            if (m_bKeep)
                m_served.push_back(served);
        }
        // Keeps every request served, for the JUnit file.
        void Keep() { m_bKeep = true; }
        const std::vector<serve::SServed>& Served() const { return m_served; }
        int64_t StartNs() const { return m_llStartNs; }
        const std::string& Address() const { return m_csAddress; }
        const std::vector<uint32_t>& Devices() const { return m_devices; }
        bool StopRequested() override { return m_stopSignal() != 0; }

    private:
        std::FILE* m_pOut;
        std::FILE* m_pErr;
        bool m_bQuiet;
        const std::function<int()>& m_stopSignal;
        bool m_bKeep = false;
        std::vector<serve::SServed> m_served;
        int64_t m_llStartNs = 0;
        std::string m_csAddress;
        std::vector<uint32_t> m_devices;
    };

    // Writes cs to csPath; false when it cannot be written whole.
    bool WriteFile(const std::string& csPath, const std::string& cs)
    {
        std::FILE* p = std::fopen(csPath.c_str(), "wb");
        if (!p)
            return false;
        const bool bWritten = std::fwrite(cs.data(), 1, cs.size(), p) == cs.size();
        return std::fclose(p) == 0 && bWritten;
    }

} // namespace

bool IsServeCommand(int argc, const char* const* argv)
{
    bool bServe = false;
    for (int i = 1; i < argc; ++i) {
        // --help and --version answer before anything is served.
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0
            || std::strcmp(argv[i], "--version") == 0)
            return false;
        bServe = bServe || std::strcmp(argv[i], "--serve") == 0;
    }
    return bServe;
}

int RunServeCommand(int argc, const char* const* argv, std::FILE* pOut, std::FILE* pErr,
    const std::function<int()>& stopSignal)
{
    SServeCli cli;
    std::string csError;
    if (!Parse(argc, argv, cli, csError)) {
        std::fprintf(pErr, "%s: %s (see --help)\n", kName, csError.c_str());
        return 2;
    }
    serve::SLearned learned;
    if (!serve::LearnCapture(cli.csCapture, learned, csError)) {
        std::fprintf(pErr, "%s: %s: %s\n", kName, cli.csCapture.c_str(), csError.c_str());
        return 3;
    }
    if (!cli.bQuiet) {
        const serve::SLearnCounts& c = learned.counts;
        std::fprintf(pErr,
            "%s: learned %zu device%s from %llu records: %llu I-Am, %llu I-Have, %llu "
            "readProperty-ACK, %llu readPropertyMultiple-ACK (%llu results), %llu COV, %llu "
            "errors, %llu reassembled; %llu values\n",
            kName, learned.devices.size(), learned.devices.size() == 1 ? "" : "s",
            static_cast<unsigned long long>(c.uRecords), static_cast<unsigned long long>(c.uIAm),
            static_cast<unsigned long long>(c.uIHave), static_cast<unsigned long long>(c.uReadAcks),
            static_cast<unsigned long long>(c.uRpmAcks),
            static_cast<unsigned long long>(c.uRpmResults), static_cast<unsigned long long>(c.uCov),
            static_cast<unsigned long long>(c.uErrors),
            static_cast<unsigned long long>(c.uSegmented),
            static_cast<unsigned long long>(c.uValues));
        for (const std::string& csNote : learned.notes)
            std::fprintf(pErr, "%s: note: %s\n", kName, csNote.c_str());
    }
    CServeObserver observer(pOut, pErr, cli.bQuiet, stopSignal);
    if (!cli.csJUnit.empty() || !cli.csReport.empty())
        observer.Keep();
    CMonotonicClock clock;
    const serve::SServeOutcome outcome = serve::RunServe(cli.request, learned, observer, clock);
    if (!outcome.bOk) {
        std::fprintf(pErr, "%s: %s\n", kName, outcome.csError.c_str());
        return 3;
    }
    if (!cli.bQuiet)
        std::fprintf(pErr, "%s: %s\n", kName, serve::ServeSummary(outcome.counts).c_str());
    const size_t nSlash = cli.csCapture.rfind('/');
    const std::string csName
        = nSlash == std::string::npos ? cli.csCapture : cli.csCapture.substr(nSlash + 1);
    if (!cli.csJUnit.empty()
        && !WriteFile(
            cli.csJUnit, serve::ServedJUnitXml(csName, observer.Served(), observer.StartNs()))) {
        std::fprintf(pErr, "%s: %s: cannot be written\n", kName, cli.csJUnit.c_str());
        return 3;
    }
    if (!cli.csReport.empty()) {
        serve::SServeReportFacts facts;
        facts.csCapture = csName;
        facts.csAddress = observer.Address();
        facts.devices = observer.Devices();
        facts.csLearned = std::to_string(learned.devices.size()) + " device"
            + (learned.devices.size() == 1 ? "" : "s") + " learned from "
            + std::to_string(learned.counts.uRecords) + " records";
        facts.counts = outcome.counts;
        if (!WriteFile(cli.csReport,
                serve::ServedReportHtml(facts, observer.Served(), observer.StartNs()))) {
            std::fprintf(pErr, "%s: %s: cannot be written\n", kName, cli.csReport.c_str());
            return 3;
        }
    }
    return 0;
}

const char* ServeUsageText()
{
    return "\nServing as the captured devices (velmora-replay --serve -i ADAPTER CAPTURE):\n"
           "      --serve         learn the devices from the capture's answers and answer\n"
           "                      clients as they did, on the adapter's own IPv4 address,\n"
           "                      UDP port 47808; one line per request on standard output:\n"
           "                      time, client, request, answer, from, tab-separated\n"
           "      --device N      serve device N only (may be repeated; default: all)\n"
           "      --serve-ip IP   serve on this address of the adapter (default: its first)\n"
           "      --duration S    stop after S seconds (default: until stopped)\n"
           "      --read-only     refuse WriteProperty (Error write-access-denied)\n"
           "      --history       a property captured with several values gives them in\n"
           "                      captured order, one a read (default: the last)\n"
           "      --segment-window W  window proposed for a segmented answer (1-127; 16)\n"
           "      --apdu-timeout MS   resend a window after MS without a Segment-ACK (2000)\n"
           "      --retries N     windows resent before the Abort (0-3; default 3)\n"
           "      --junit FILE    on stop: one test case per request served, failed when\n"
           "                      the capture never showed what it asked\n"
           "      --report FILE   on stop: the report to hand over, one HTML file (the\n"
           "                      summary and every request served)\n";
}

} // namespace velmora
