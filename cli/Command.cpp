#include "cli/Command.h"

#include "capture/IndexRows.h"
#include "capture/OutputFile.h"
#include "cli/Options.h"
#include "cli/ServeCommand.h"
#include "decode/Segments.h"
#include "decode/Text.h"
#include "judge/Judge.h"
#include "log/Log.h"
#include "log/MessageBox.h"
#include "replay/AdapterList.h"
#include "replay/Aim.h"
#include "replay/Replay.h"
#include "session/CompareRules.h"
#include "session/Discover.h"
#include "session/JudgeSend.h"
#include "session/RecordCounter.h"
#include "session/ReplayWords.h"
#include "session/Report.h"
#include "session/RunFacts.h"
#include "session/Send.h"
#include "session/SendWords.h"
#include "session/Session.h"
#include "settings/AppSettings.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace velmora {

namespace {

    constexpr const char* kName = "velmora-replay";

    volatile std::sig_atomic_t s_iStopSignal = 0;

    const char* SignalName(int iSignal)
    {
        return iSignal == SIGINT ? "SIGINT" : iSignal == SIGTERM ? "SIGTERM" : "a signal";
    }

    // The Send's view of the command: the count as a progress line on a
    // terminal, and the stop request from a signal.
    class CCommandObserver final : public IReplayObserver {
    public:
        CCommandObserver(const SCliOptions& options, std::FILE* pErr)
            : m_pErr(pErr)
            , m_bProgress(!options.bQuiet && ::isatty(::fileno(pErr)) == 1)
            , m_start(Clock::now())
        {
        }
        bool ShowsProgress() const { return m_bProgress; }
        // pSend: the Send whose capture's records are being counted (All mode).
        void SetPlan(const SProgressPlan& plan, const CSend* pSend)
        {
            m_plan = plan;
            m_pSend = pSend;
        }
        void OnProgress(const SReplayCounts& counts) override
        {
            if (!m_bProgress)
                return;
            const Clock::time_point now = Clock::now();
            if (m_bShown && now - m_lastShown < std::chrono::milliseconds(100))
                return;
            m_lastShown = now;
            m_bShown = true;
            const double dSeconds = std::chrono::duration<double>(now - m_start).count();
            if (m_pSend && m_plan.uPerRound == 0)
                m_plan.uPerRound = m_pSend->Records();
            std::fprintf(m_pErr, "\r%s\033[K", ProgressLine(m_plan, counts, dSeconds).c_str());
            std::fflush(m_pErr);
        }
        bool StopRequested() override { return s_iStopSignal != 0; }
        // Takes the progress line away before other lines follow.
        void EndProgress()
        {
            if (m_bShown)
                std::fputs("\r\033[K", m_pErr);
            m_bShown = false;
        }

    private:
        using Clock = std::chrono::steady_clock;
        std::FILE* m_pErr;
        bool m_bProgress;
        Clock::time_point m_start;
        Clock::time_point m_lastShown;
        bool m_bShown = false;
        SProgressPlan m_plan;
        const CSend* m_pSend = nullptr;
    };

    // One Who-Is on the adapter, and a line per device that answered.
    int DiscoverDevices(const SCliOptions& options, std::FILE* pOut, std::FILE* pErr)
    {
        if (s_iStopSignal != 0)
            return kExitSignalBase + s_iStopSignal;
        CSession session;
        session.StartUp(options.debug, CSession::ELogs::Append);
        CCommandObserver observer(options, pErr);
        // From the adapter's own addresses, unless --src-mac or --src-ip says otherwise.
        const SDiscovery discovery
            = Discover(*options.adapter, options.discoverWait, observer, &options.aim);
        session.ShutDown();
        if (discovery.result.NotSent()) {
            std::fprintf(
                pErr, "%s: %s\n", kName, DiscoverySummary(discovery, options.discoverWait).c_str());
            return kExitNotOpened;
        }
        if (!discovery.devices.empty())
            std::fprintf(pOut, "%s\n", judge::DiscoveredHeading());
        for (const judge::SDiscovered& d : discovery.devices)
            std::fprintf(pOut, "%s\n", judge::DiscoveredLine(d).c_str());
        std::fflush(pOut);
        if (!options.bQuiet)
            std::fprintf(
                pErr, "%s: %s\n", kName, DiscoverySummary(discovery, options.discoverWait).c_str());
        if (s_iStopSignal != 0)
            return kExitSignalBase + s_iStopSignal;
        return kExitSent;
    }

    int ListAdapterNames(std::FILE* pOut, std::FILE* pErr)
    {
        const auto entries = ListAdapters();
        if (!entries) {
            std::fprintf(pErr, "%s: %s\n", kName, kNoAdaptersText);
            return kExitNotOpened;
        }
        for (const SAdapterEntry& entry : *entries)
            std::fprintf(pOut, "%s\t%s\n", entry.csName.c_str(), entry.csText.c_str());
        return kExitSent;
    }

    // The adapter a Send would use: -i, else settings.ini's NicDevice (read
    // without starting a session, which would start the logs afresh).
    std::string ChosenAdapter(const SCliOptions& options)
    {
        if (options.adapter)
            return *options.adapter;
        AppSettings settings;
        settings.LoadFrom("settings.ini");
        return settings.NicDevice;
    }

    // The aim's plan for the chosen adapter; false after a line on pErr.
    bool PlanCommandAim(const SCliOptions& options, SAimPlan& plan, std::FILE* pErr)
    {
        SAdapterAddresses addresses;
        std::string csError;
        const bool bAdapter = options.aim.eSrcMac == EAimSource::Adapter
            || options.aim.eSrcIp == EAimSource::Adapter;
        const std::string csAdapter = bAdapter ? ChosenAdapter(options) : std::string();
        if (bAdapter && csAdapter.empty()) {
            std::fprintf(
                pErr, "%s: no adapter chosen to take the source address from (-i)\n", kName);
            return false;
        }
        if ((bAdapter && !ReadAdapterAddresses(csAdapter, addresses, csError))
            || !PlanAim(options.aim, csAdapter, addresses, plan, csError)) {
            std::fprintf(pErr, "%s: %s\n", kName, csError.c_str());
            return false;
        }
        return true;
    }

    // The record's row as the aim sends it.
    dissect::SRow DecodeAimed(const dissect::CCaptureIndex& index,
        const dissect::CSegmentAssembler& assembler, uint64_t uIndex, const SAimPlan& plan)
    {
        dissect::SRecord record;
        if (!index.Read(uIndex, record))
            return dissect::DecodeRecord(index, uIndex);
        // A pcapng file may mix link types: each record is aimed by its own.
        if (index.Frame(uIndex, record).uLinkType == dissect::kLinkEthernet)
            AimRecord(plan, record);
        // Other segments as captured: the aim leaves service data alone.
        const auto read = dissect::IndexReader(index);
        return assembler.Decode(index.Frame(uIndex, record), nullptr, read);
    }

    int Decode(const SCliOptions& options, std::FILE* pOut, std::FILE* pErr)
    {
        using dissect::CCaptureIndex;
        SAimPlan plan;
        if (options.bAimed && !PlanCommandAim(options, plan, pErr))
            return kExitNotOpened;
        CCaptureIndex index;
        if (!index.Open(options.csCapture)) {
            std::fprintf(
                pErr, "%s: %s: %s\n", kName, options.csCapture.c_str(), index.Error().c_str());
            return kExitNotOpened;
        }
        // The chosen numbers in order; none means every record.
        CRecordSelection chosen;
        if (options.records)
            chosen = *options.records;
        else if (options.iMode == 0)
            chosen = { static_cast<uint64_t>(options.iOffset) };
        const bool bAll = chosen.empty();
        size_t nNext = 0;
        uint64_t uPrinted = 0;
        CCaptureIndex::EState eState = CCaptureIndex::EState::Reading;
        // Segmented answers: a row is printed once the assembler has seen every
        // record up to it, so the completing record shows the whole answer.
        dissect::CSegmentAssembler assembler;
        CCaptureIndex::SReadWindow window;
        uint64_t uAssembled = 0;
        while (eState == CCaptureIndex::EState::Reading && (bAll || nNext < chosen.size())) {
            if (s_iStopSignal != 0)
                return kExitSignalBase + s_iStopSignal;
            eState = index.Step();
            const uint64_t uCount = index.Count();
            while (uAssembled < uCount) {
                uAssembled = dissect::AddRecords(assembler, index, uAssembled, uCount, window);
                if (uAssembled < uCount)
                    ++uAssembled; // unreadable: nothing to add, its row says why
            }
            // No more records: answers still open are incomplete, not "so far".
            if (eState != CCaptureIndex::EState::Reading)
                assembler.Finish();
            for (; bAll ? uPrinted < uCount : nNext < chosen.size() && chosen[nNext] < uCount;) {
                const uint64_t u = bAll ? uPrinted : chosen[nNext++];
                const dissect::SRow row = plan.Active()
                    ? DecodeAimed(index, assembler, u, plan)
                    : dissect::DecodeRecord(index, assembler, u);
                std::string csLine;
                for (int i = 0; i < dissect::kColumnCount; ++i) {
                    if (i > 0)
                        csLine += '\t';
                    csLine += TsvCell(dissect::ColumnText(row, static_cast<dissect::EColumn>(i)));
                }
                // A capture from several interfaces says which, in an eighth column.
                if (index.InterfaceCount() > 1) {
                    csLine += '\t' + TsvCell(index.InterfaceLabel(index.InterfaceOf(u)));
                }
                csLine += '\n';
                std::fputs(csLine.c_str(), pOut);
                if (bAll)
                    ++uPrinted;
            }
        }
        std::fflush(pOut);
        // Listed, but beyond what Send can read: say so once.
        const uint64_t uEnd = bAll ? uPrinted : chosen.back() + 1;
        if (index.SendLimit() < uEnd)
            std::fprintf(pErr, "%s: %s\n", kName, index.SendLimitNote().c_str());
        if (eState == CCaptureIndex::EState::Failed) {
            std::fprintf(pErr, "%s: %s\n", kName, index.Error().c_str());
            return kExitSomeFailed;
        }
        if (!bAll && nNext < chosen.size()) {
            std::fprintf(pErr,
                "%s: the capture holds %llu records; record %llu is not among them\n", kName,
                static_cast<unsigned long long>(index.Count()),
                static_cast<unsigned long long>(chosen[nNext]));
            return kExitSomeFailed;
        }
        return kExitSent;
    }

    // The options as one Send's request and outputs.
    int Send(const SCliOptions& options, std::FILE* pOut, std::FILE* pErr)
    {
        // Stopped before anything started: nothing is sent, nothing is logged.
        if (s_iStopSignal != 0)
            return kExitSignalBase + s_iStopSignal;
        CSession session;
        // The window empties the logs when it starts; a rig runs the command many
        // times, and next to a running window, so its records are added.
        session.StartUp(options.debug, CSession::ELogs::Append);
        SSendOptions sendOptions;
        sendOptions.aim = options.aim;
        sendOptions.pace = options.pace;
        sendOptions.listen = options.listen;
        sendOptions.bKeepChecksums = options.bKeepChecksums;
        const SReplayRequest request
            = MakeReplayRequest(options.csCapture, options.iMode, options.iOffset,
                options.records ? &*options.records : nullptr, *options.adapter, sendOptions);
        // A listening Send's lines go out round by round, and its answers
        // into their file, so that a Send until stopped keeps no more. Rounds
        // that repeat a record get a sixth column, decided before the first
        // line goes out.
        const bool bRounds = request.eMode != EReplayMode::Single && request.pace.llLoops != 1;
        const SSendOutputs outputs { options.csAnswers, options.csJUnit, options.csReport,
            options.csRig };
        // A lab's lines say which rig they came from, before the first.
        if (request.listen.bListen && !options.csRig.empty())
            std::fprintf(pOut, "# rig: %s; capture: %s\n", options.csRig.c_str(),
                FileName(options.csCapture).c_str());
        CSend send(request, outputs,
            options.csJUnit.empty() && options.csReport.empty() ? 0 : SIZE_MAX,
            [pOut, bRounds](const judge::SJudgeLine& line) {
                std::fputs(judge::TsvLine(line, bRounds).c_str(), pOut);
            });
        CCommandObserver observer(options, pErr);
        // Nobody sends aimed frames by surprise: the aim is said before the Send.
        if (!options.bQuiet && !request.aim.IsDefault())
            std::fprintf(pErr, "%s: %s\n", kName, AimSummary(request.aim).c_str());
        // Only a terminal sees the progress: only then are the records
        // counted, beside the Send.
        if (observer.ShowsProgress())
            observer.SetPlan(ProgressPlanOf(request, 0), &send);
        send.CountRecords(observer.ShowsProgress());
        // A default Send never looks at checksums: the capture is read apart
        // from it, beside it, when the line will be shown.
        CWrongChecksumCounter checksums;
        if (!options.bQuiet)
            checksums.Start(request);
        const SReplayResult& result = send.Run(observer);
        observer.EndProgress();
        const int iSignal = s_iStopSignal;
        if (!result.NotSent()) {
            // The window's closing box is a line here, logged as the window logs it.
            const std::string csBox = SentBoxText(result.iCount);
            LogShownMessage(MB_OK, csBox, IDOK);
            if (iSignal != 0)
                std::fprintf(
                    pErr, "%s: stopped by %s: %s\n", kName, SignalName(iSignal), csBox.c_str());
            else if (!options.bQuiet)
                std::fprintf(pErr, "%s: %s\n", kName, csBox.c_str());
        }
        // A stop by a signal has said so on its line already.
        const std::string csStatus = iSignal != 0 && result.bStopped
            ? std::string()
            : ReplayStatusText(result, request, "see --list-adapters", !options.bQuiet);
        if (!csStatus.empty())
            std::fprintf(pErr, "%s: %s\n", kName, csStatus.c_str());
        if (!options.bQuiet && !result.NotSent()) {
            std::string csChecksums = ChecksumsMendedText(result, request);
            uint64_t uWrong = 0;
            if (iSignal == 0 && !result.bStopped && checksums.Wait(uWrong))
                csChecksums = WrongChecksumsText(uWrong);
            if (!csChecksums.empty())
                std::fprintf(pErr, "%s: %s\n", kName, csChecksums.c_str());
        }
        checksums.Stop();
        // The lines went out as the rounds were judged; the rest is the outcome's.
        std::fflush(pOut);
        const SSendOutcome outcome = send.Finish(iSignal);
        if (outcome.bListened)
            std::fprintf(pErr, "%s: %s\n", kName, outcome.csSummary.c_str());
        for (const std::string& cs : outcome.fileErrors)
            std::fprintf(pErr, "%s: %s\n", kName, cs.c_str());
        if (!outcome.csMissing.empty())
            std::fprintf(pErr, "%s: %s\n", kName, outcome.csMissing.c_str());
        if (!outcome.csReportError.empty())
            std::fprintf(pErr, "%s: %s\n", kName, outcome.csReportError.c_str());
        session.ShutDown();
        return outcome.iExit;
    }

} // namespace

void RequestStop(int iSignal)
{
    s_iStopSignal = iSignal;
}

int RunCommand(int argc, const char* const* argv, std::FILE* pOut, std::FILE* pErr)
{
    if (IsServeCommand(argc, argv))
        return RunServeCommand(
            argc, argv, pOut, pErr, [] { return static_cast<int>(s_iStopSignal); });
    SCliOptions options;
    std::string csError;
    if (!ParseCommandLine(argc, argv, options, csError)) {
        std::fprintf(pErr, "%s: %s (see --help)\n", kName, csError.c_str());
        return kExitUsage;
    }
    switch (options.eAction) {
    case SCliOptions::EAction::Help:
        std::fputs(UsageText(), pOut);
        std::fputs(ServeUsageText(), pOut);
        return kExitSent;
    case SCliOptions::EAction::Version:
        std::fprintf(pOut, "%s %s\n", kName, VELMORA_VERSION);
        return kExitSent;
    case SCliOptions::EAction::ListAdapters:
        return ListAdapterNames(pOut, pErr);
    case SCliOptions::EAction::Decode:
        return Decode(options, pOut, pErr);
    case SCliOptions::EAction::Discover:
        if (!options.adapter) {
            std::fprintf(pErr, "%s: --discover needs an adapter: name one with -i\n", kName);
            return kExitUsage;
        }
        return DiscoverDevices(options, pOut, pErr);
    case SCliOptions::EAction::Send:
        break;
    }
    // A rig must say where frames go: a settings.ini that happens to lie in the
    // current folder is no choice of adapter.
    if (!options.adapter) {
        std::fprintf(
            pErr, "%s: no adapter chosen: name one with -i (see --list-adapters)\n", kName);
        return kExitUsage;
    }
    // A baseline that cannot be read is found before the first frame too.
    if (!options.listen.csExpectFile.empty()) {
        std::vector<judge::SJudgedFrame> baseline;
        if (!ReadCaptureForJudging(options.listen.csExpectFile, baseline, csError)) {
            std::fprintf(pErr, "%s: --expect: %s; nothing sent\n", kName, csError.c_str());
            return kExitNotOpened;
        }
    }
    // Files that cannot be written are found before the first frame, not
    // after a run whose verdicts they would then hide.
    COutputCheck outputs;
    if (!CheckSendOutputs(
            { options.csAnswers, options.csJUnit, options.csReport }, outputs, csError)) {
        std::fprintf(pErr, "%s: cannot write %s; nothing sent\n", kName, csError.c_str());
        return kExitUsage;
    }
    // A volatile file with a bad line is found before the first frame too.
    judge::SCompareRules rules;
    if (!LoadCompareRules(options.listen, rules, csError)) {
        std::fprintf(pErr, "%s: %s; nothing sent\n", kName, csError.c_str());
        return kExitUsage;
    }
    return Send(options, pOut, pErr);
}

} // namespace velmora
