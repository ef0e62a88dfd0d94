#include "cli/Command.h"

#include "capture/OutputFile.h"
#include "cli/Options.h"
#include "cli/ServeCommand.h"
#include "decode/CaptureIndex.h"
#include "decode/Segments.h"
#include "judge/Judge.h"
#include "log/Log.h"
#include "log/MessageBox.h"
#include "replay/AdapterList.h"
#include "replay/Aim.h"
#include "replay/Replay.h"
#include "session/Discover.h"
#include "session/JudgeSend.h"
#include "session/RecordCounter.h"
#include "session/ReplayWords.h"
#include "session/Report.h"
#include "session/RunFacts.h"
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
        // pCounter: where the capture's records are being counted (All mode).
        void SetPlan(const SProgressPlan& plan, const CRecordCounter* pCounter)
        {
            m_plan = plan;
            m_pCounter = pCounter;
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
            if (m_pCounter && m_plan.uPerRound == 0)
                m_plan.uPerRound = m_pCounter->Records();
            std::fprintf(m_pErr, "\r%s\033[K", ProgressLine(m_plan, counts, dSeconds).c_str());
            std::fflush(m_pErr);
        }
        bool StopRequested() override { return s_iStopSignal != 0; }
        // A listening Send's lines go out round by round, and its answers
        // into their file, so that a Send until stopped keeps no more.
        void Listen(const SCliOptions& options, const SReplayRequest& request, std::FILE* pOut)
        {
            m_pOptions = &options;
            // Rounds that repeat a record get a sixth column, decided before
            // the first line goes out.
            const bool bRounds = request.eMode != EReplayMode::Single && request.pace.llLoops != 1;
            // A lab's lines say which rig they came from, before the first.
            if (!options.csRig.empty())
                std::fprintf(pOut, "# rig: %s; capture: %s\n", options.csRig.c_str(),
                    FileName(options.csCapture).c_str());
            m_pJudge = std::make_unique<CListenJudge>(
                request,
                [pOut, bRounds](const judge::SJudgeLine& line, const SHeardFrame*) {
                    std::fputs(judge::TsvLine(line, bRounds).c_str(), pOut);
                },
                options.csJUnit.empty() && options.csReport.empty() ? 0 : SIZE_MAX);
        }
        bool TakesListening() const override { return m_pJudge != nullptr; }
        void OnListened(SListenChunk& chunk) override
        {
            if (!m_pOptions->csAnswers.empty() && !m_answers.IsOpen() && m_csAnswersError.empty())
                m_answers.Open(m_pOptions->csAnswers, m_csAnswersError);
            if (m_answers.IsOpen()) {
                for (const SHeardFrame& f : chunk.heard)
                    m_answers.Write(f);
            }
            m_pJudge->Add(chunk);
        }
        const CListenJudge& Judge() const { return *m_pJudge; }
        // False with a reason when the answers could not be written.
        bool CloseAnswers(std::string& csError)
        {
            if (!m_csAnswersError.empty()) {
                csError = m_csAnswersError;
                return false;
            }
            return m_answers.Close(csError);
        }
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
        const CRecordCounter* m_pCounter = nullptr;
        const SCliOptions* m_pOptions = nullptr;
        std::unique_ptr<CListenJudge> m_pJudge;
        CHeardFileWriter m_answers;
        std::string m_csAnswersError;
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

    // One column's text on one line: tabs part the columns.
    std::string Cell(const vdecode::SRow& row, vdecode::EColumn eColumn)
    {
        std::string cs = vdecode::ColumnText(row, eColumn);
        for (char& c : cs) {
            if (c == '\t' || c == '\n' || c == '\r')
                c = ' ';
        }
        return cs;
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
    vdecode::SRow DecodeAimed(const vdecode::CCaptureIndex& index,
        const vdecode::CSegmentAssembler& assembler, uint64_t uIndex, const SAimPlan& plan)
    {
        vdecode::SRecord record;
        if (!index.Read(uIndex, record))
            return vdecode::DecodeRecord(index, uIndex);
        // A pcapng file may mix link types: each record is aimed by its own.
        if (index.Frame(uIndex, record).uLinkType == vdecode::kLinkEthernet)
            AimRecord(plan, record);
        // Other segments as captured: the aim leaves service data alone.
        const auto read = [&index](uint64_t u, std::vector<uint8_t>& bytes) {
            vdecode::SRecord other;
            if (!index.Read(u, other))
                return false;
            bytes = std::move(other.bytes);
            return true;
        };
        return assembler.Decode(index.Frame(uIndex, record), nullptr, read);
    }

    int Decode(const SCliOptions& options, std::FILE* pOut, std::FILE* pErr)
    {
        using vdecode::CCaptureIndex;
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
        vdecode::CSegmentAssembler assembler;
        CCaptureIndex::SReadWindow window;
        uint64_t uAssembled = 0;
        while (eState == CCaptureIndex::EState::Reading && (bAll || nNext < chosen.size())) {
            if (s_iStopSignal != 0)
                return kExitSignalBase + s_iStopSignal;
            eState = index.Step();
            const uint64_t uCount = index.Count();
            while (uAssembled < uCount) {
                uAssembled = vdecode::AddRecords(assembler, index, uAssembled, uCount, window);
                if (uAssembled < uCount)
                    ++uAssembled; // unreadable: nothing to add, its row says why
            }
            // No more records: answers still open are incomplete, not "so far".
            if (eState != CCaptureIndex::EState::Reading)
                assembler.Finish();
            for (; bAll ? uPrinted < uCount : nNext < chosen.size() && chosen[nNext] < uCount;) {
                const uint64_t u = bAll ? uPrinted : chosen[nNext++];
                const vdecode::SRow row = plan.Active()
                    ? DecodeAimed(index, assembler, u, plan)
                    : vdecode::DecodeRecord(index, assembler, u);
                std::string csLine;
                for (int i = 0; i < vdecode::kColumnCount; ++i) {
                    if (i > 0)
                        csLine += '\t';
                    csLine += Cell(row, static_cast<vdecode::EColumn>(i));
                }
                // A capture from several interfaces says which, in an eighth column.
                if (index.InterfaceCount() > 1) {
                    std::string csInterface = index.InterfaceLabel(index.InterfaceOf(u));
                    for (char& c : csInterface) {
                        if (c == '\t' || c == '\n' || c == '\r')
                            c = ' ';
                    }
                    csLine += '\t' + csInterface;
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

    // The listening's report: a line per request on standard output, the
    // summary on standard error, the answers and the JUnit file. False when a
    // file could not be written.
    // The lines went out as the rounds were judged; the answers are in their
    // file.
    bool ReportListening(const SCliOptions& options, const SReplayRequest& request,
        const SReplayResult& result, CCommandObserver& observer, int64_t llStartNs, std::FILE* pOut,
        std::FILE* pErr)
    {
        const judge::SJudgement& judgement = observer.Judge().Judgement();
        std::fflush(pOut);
        const std::string csSummary
            = ListenSummaryText(result, request, judgement, &observer.Judge().Announced());
        std::fprintf(pErr, "%s: %s\n", kName, csSummary.c_str());
        bool bOk = true;
        std::string csError;
        if (!observer.CloseAnswers(csError)) {
            std::fprintf(pErr, "%s: %s\n", kName, csError.c_str());
            bOk = false;
        }
        if (!options.csJUnit.empty()) {
            judge::SJUnitRun run;
            run.llStartNs = llStartNs;
            run.csRig = options.csRig;
            run.properties = RunFacts(request, options.csRig);
            const std::string csXml = judge::JUnitXml(FileName(options.csCapture), judgement, run);
            std::FILE* p = OpenOutputFile(options.csJUnit);
            const bool bWritten
                = p && std::fwrite(csXml.data(), 1, csXml.size(), p) == csXml.size();
            if ((p && std::fclose(p) != 0) || !bWritten) {
                std::fprintf(
                    pErr, "%s: %s\n", kName, OutputErrorText(options.csJUnit, errno).c_str());
                bOk = false;
            }
        }
        return bOk;
    }

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
        CCommandObserver observer(options, pErr);
        // Nobody sends aimed frames by surprise: the aim is said before the Send.
        if (!options.bQuiet && !request.aim.IsDefault())
            std::fprintf(pErr, "%s: %s\n", kName, AimSummary(request.aim).c_str());
        // Only a terminal sees the progress: only then are the records
        // counted, beside the Send.
        CRecordCounter counter;
        if (observer.ShowsProgress()) {
            observer.SetPlan(ProgressPlanOf(request, 0), &counter);
            if (request.eMode == EReplayMode::All)
                counter.Start(request.csPath);
        }
        // A default Send never looks at checksums: the capture is read apart
        // from it, beside it, when the line will be shown.
        CWrongChecksumCounter checksums;
        if (!options.bQuiet)
            checksums.Start(request);
        const auto wallStart = std::chrono::system_clock::now();
        const auto start = std::chrono::steady_clock::now();
        if (request.listen.bListen)
            observer.Listen(options, request, pOut);
        const SReplayResult result = Replay(request, observer);
        const auto duration = std::chrono::steady_clock::now() - start;
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
        const int64_t llStartNs
            = std::chrono::duration_cast<std::chrono::nanoseconds>(wallStart.time_since_epoch())
                  .count();
        const bool bReported = !result.NotSent() && result.listen.bListened
            && ReportListening(options, request, result, observer, llStartNs, pOut, pErr);
        int iExit = kExitSent;
        if (result.NotSent() || result.llUnreadRound > 0) {
            // A later round that could not read the file fails as the first would.
            iExit = kExitNotOpened;
        } else if (iSignal != 0) {
            iExit = kExitSignalBase + iSignal;
        } else {
            if (result.iRefused > 0)
                iExit = kExitSomeFailed;
            // Records "requests only" skipped are no failure; a single record
            // past the end has had its sentence.
            if (result.llMissing > 0) {
                if (options.records)
                    std::fprintf(pErr, "%s: %lld of the chosen records are not in %s\n", kName,
                        static_cast<long long>(result.llMissing), options.csCapture.c_str());
                iExit = kExitSomeFailed;
            }
            // Frames refused say more than answers missing: 1 goes first.
            if (iExit == kExitSent && result.listen.bListened
                && observer.Judge().Judgement().bConfirmedFailed)
                iExit = kExitNotAnswered;
            // A device that stopped answering failed its requests, sent or not.
            if (iExit == kExitSent && !result.listen.csGaveUp.empty())
                iExit = kExitNotAnswered;
            // Nothing that asks was judged: a rig that tested nothing has not passed.
            if (iExit == kExitSent && result.listen.bListened
                && judge::NothingTested(observer.Judge().Judgement()))
                iExit = kExitSomeFailed;
            // A file not written fails a run the device passed; the device's
            // verdict is not hidden by it (its line on stderr names the file).
            if (iExit == kExitSent && result.listen.bListened && !bReported)
                iExit = kExitSomeFailed;
        }
        // The report says how the command ended: written last.
        if (!options.csReport.empty() && !result.NotSent() && result.listen.bListened) {
            SReportFacts facts = ReportFactsOf(request, result);
            facts.run = RunFacts(request, options.csRig);
            facts.llStartNs = llStartNs;
            facts.llDurationNs
                = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
            const judge::SJudgement& judgement = observer.Judge().Judgement();
            facts.csSummary
                = ListenSummaryText(result, request, judgement, &observer.Judge().Announced());
            facts.csExitStatus = ExitStatusWords(iExit);
            std::string csError;
            // A report that cannot be written fails the run as a JUnit file
            // does: only a run that would have ended with 0.
            if (!WriteReport(
                    options.csReport, facts, judgement, observer.Judge().Heard(), csError)) {
                std::fprintf(pErr, "%s: %s\n", kName, csError.c_str());
                if (iExit == kExitSent)
                    iExit = kExitSomeFailed;
            }
        }
        session.ShutDown();
        return iExit;
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
    for (const std::string* p : { &options.csAnswers, &options.csJUnit, &options.csReport }) {
        if (!p->empty() && !outputs.Check(*p, csError)) {
            std::fprintf(pErr, "%s: cannot write %s; nothing sent\n", kName, csError.c_str());
            return kExitUsage;
        }
    }
    return Send(options, pOut, pErr);
}

} // namespace velmora
