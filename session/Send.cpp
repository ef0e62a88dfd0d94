#include "session/Send.h"

#include "capture/IndexRows.h"
#include "capture/OutputFile.h"
#include "judge/Bacnet.h"
#include "session/ReplayWords.h"
#include "session/RunFacts.h"
#include "session/Sha256.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace velmora {

int SendExitStatus(
    const SReplayResult& result, const judge::SJudgement& judgement, int iSignal, bool bWritten)
{
    // A later round that could not read the file fails as the first would.
    if (result.NotSent() || result.llUnreadRound > 0)
        return kExitNotOpened;
    if (iSignal != 0)
        return kExitSignalBase + iSignal;
    // Records "requests only" skipped are no failure.
    if (result.iRefused > 0 || result.llMissing > 0)
        return kExitSomeFailed;
    // Frames refused say more than answers missing: 1 goes first. A device
    // that stopped answering failed its requests, sent or not.
    if (result.listen.bListened && (judgement.bConfirmedFailed || !result.listen.csGaveUp.empty()))
        return kExitNotAnswered;
    // Nothing that asks was judged: a rig that tested nothing has not passed.
    if (result.listen.bListened && judge::NothingTested(judgement))
        return kExitSomeFailed;
    // A file not written fails a run the device passed; the device's
    // verdict is not hidden by it.
    if (!bWritten)
        return kExitSomeFailed;
    return kExitSent;
}

bool CheckSendOutputs(const SSendOutputs& outputs, COutputCheck& check, std::string& csError)
{
    for (const std::string* p : { &outputs.csAnswers, &outputs.csJUnit, &outputs.csReport }) {
        if (!p->empty() && !check.Check(*p, csError))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------

struct CSendIndex::SImpl {
    dissect::CCaptureIndex index;
    std::atomic<bool> bStop { false };
    std::thread thread;
    bool bStarted = false;
    bool bOpened = false;
    bool bFrames = false;
    bool bDigest = false;
    std::atomic<bool> bIndexed { false }; // read to its end
    std::vector<judge::SJudgedFrame> frames;
    std::string csSha256;

    void Work()
    {
        index.Run(bStop);
        if (index.State() != dissect::CCaptureIndex::EState::Done
            && index.State() != dissect::CCaptureIndex::EState::Failed)
            return;
        bIndexed = index.State() == dissect::CCaptureIndex::EState::Done;
        if (bDigest)
            Digest();
        if (bFrames)
            ReadFrames();
    }

    // The digest through the index's own opening.
    void Digest()
    {
        CSha256 sha;
        std::vector<uint8_t> buffer(1 << 20);
        uint64_t uAt = 0;
        for (;;) {
            if (bStop)
                return;
            const int64_t n = index.ReadBytes(uAt, buffer.data(), buffer.size());
            if (n < 0)
                return;
            if (n == 0)
                break;
            sha.Add(buffer.data(), static_cast<size_t>(n));
            uAt += static_cast<uint64_t>(n);
        }
        csSha256 = HexDigest(sha.Finish());
    }

    // The recorded BACnet frames as the Send reads the file: Ethernet
    // records that libpcap reaches, in file order.
    void ReadFrames()
    {
        if (index.InterfaceCount() == 0 || index.LinkType() != dissect::kLinkEthernet)
            return;
        const uint64_t uEnd = std::min(index.Count(), index.SendLimit());
        dissect::CCaptureIndex::SReadWindow window;
        dissect::SRecord record;
        for (uint64_t u = 0; u < uEnd && !bStop; ++u) {
            if (!index.Read(u, record, window))
                break;
            if (judge::ParseBacnet(record.bytes.data(), record.bytes.size()).eApdu
                == judge::EApdu::NotBacnet)
                continue;
            judge::SJudgedFrame f;
            f.uRecord = u;
            f.llNs = record.header.llTimeNs;
            f.bytes = std::move(record.bytes);
            frames.push_back(std::move(f));
        }
    }
};

CSendIndex::CSendIndex()
    : m_p(std::make_unique<SImpl>())
{
}

CSendIndex::~CSendIndex()
{
    Stop();
}

void CSendIndex::Start(const std::string& csPath, bool bFrames, bool bDigest)
{
    SImpl* p = m_p.get();
    if (p->bStarted)
        return;
    p->bStarted = true;
    p->bFrames = bFrames;
    p->bDigest = bDigest;
    if (!p->index.Open(csPath))
        return;
    p->bOpened = true;
    p->thread = std::thread([p] { p->Work(); });
}

bool CSendIndex::Started() const
{
    return m_p->bStarted;
}

uint64_t CSendIndex::Records() const
{
    return m_p->bIndexed ? m_p->index.Count() : 0;
}

uint64_t CSendIndex::Count() const
{
    return m_p->bOpened ? m_p->index.Count() : 0;
}

bool CSendIndex::Wait()
{
    if (m_p->thread.joinable())
        m_p->thread.join();
    return m_p->bOpened;
}

const std::vector<judge::SJudgedFrame>& CSendIndex::Frames() const
{
    return m_p->frames;
}

std::string CSendIndex::Sha256() const
{
    return m_p->csSha256;
}

bool CSendIndex::ReadRecord(uint64_t uRecord, std::vector<uint8_t>& bytes) const
{
    dissect::SRecord record;
    if (!m_p->bOpened || uRecord >= m_p->index.Count() || !m_p->index.Read(uRecord, record))
        return false;
    bytes = std::move(record.bytes);
    return true;
}

void CSendIndex::Stop()
{
    m_p->bStop = true;
    if (m_p->thread.joinable())
        m_p->thread.join();
}

// ---------------------------------------------------------------------------

// The shell's observer underneath, and the Send's own listening on top: the
// rounds go to the judge, the frames heard into their file.
class CSend::CObserver final : public IReplayObserver {
public:
    CObserver(IReplayObserver& shell, CListenJudge* pJudge, const std::string& csAnswers)
        : m_shell(shell)
        , m_pJudge(pJudge)
        , m_csAnswers(csAnswers)
    {
    }
    void OnStart() override { m_shell.OnStart(); }
    void OnProgress(const SReplayCounts& counts) override { m_shell.OnProgress(counts); }
    bool StopRequested() override { return m_shell.StopRequested(); }
    std::chrono::milliseconds ProgressInterval() const override
    {
        return m_shell.ProgressInterval();
    }
    void OnListening(const SListenCounts& counts) override { m_shell.OnListening(counts); }
    bool TakesListening() const override { return m_pJudge != nullptr; }
    void OnListened(SListenChunk& chunk) override
    {
        if (!m_csAnswers.empty() && !m_answers.IsOpen() && m_csAnswersError.empty())
            m_answers.Open(m_csAnswers, m_csAnswersError);
        if (m_answers.IsOpen()) {
            for (const SHeardFrame& f : chunk.heard)
                m_answers.Write(f);
        }
        m_pJudge->Add(chunk);
    }
    // False with a reason when the answers could not be written.
    bool CloseAnswers(std::string& csError)
    {
        if (!m_csAnswersError.empty()) {
            csError = m_csAnswersError;
            return false;
        }
        return m_answers.Close(csError);
    }

private:
    IReplayObserver& m_shell;
    CListenJudge* m_pJudge;
    std::string m_csAnswers;
    CHeardFileWriter m_answers;
    std::string m_csAnswersError;
};

CSend::CSend(const SReplayRequest& request, const SSendOutputs& outputs, size_t nKeep, FLine onLine)
    : m_request(request)
    , m_outputs(outputs)
    , m_pIndex(std::make_unique<CSendIndex>())
{
    if (!request.listen.bListen)
        return;
    CSendIndex* pIndex = m_pIndex.get();
    // The recorded answers come from the index, read once, when the first
    // round is judged.
    m_pJudge = std::make_unique<CListenJudge>(
        request,
        [onLine](const judge::SJudgeLine& line, const SHeardFrame*) {
            if (onLine)
                onLine(line);
        },
        nKeep,
        [pIndex]() -> const std::vector<judge::SJudgedFrame>* {
            return pIndex->Wait() ? &pIndex->Frames() : nullptr;
        });
}

CSend::~CSend() = default;

void CSend::StartIndex(bool bCount)
{
    const bool bJudged = m_request.listen.bListen && m_request.listen.bExpectCaptured;
    const bool bReport = m_request.listen.bListen && !m_outputs.csReport.empty();
    if ((bCount && m_request.eMode == EReplayMode::All) || bJudged || bReport)
        m_pIndex->Start(m_request.csPath, bJudged, bReport);
}

void CSend::CountRecords(bool bCount)
{
    StartIndex(bCount);
}

uint64_t CSend::Records() const
{
    return m_pIndex->Records();
}

const SReplayResult& CSend::Run(IReplayObserver& shell, IPacketSink* pSink)
{
    StartIndex(false);
    m_pObserver = std::make_unique<CObserver>(shell, m_pJudge.get(), m_outputs.csAnswers);
    const auto wallStart = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    m_result = pSink ? Replay(m_request, *pSink, *m_pObserver) : Replay(m_request, *m_pObserver);
    m_llDurationNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - start)
                         .count();
    m_llStartNs = std::chrono::duration_cast<std::chrono::nanoseconds>(wallStart.time_since_epoch())
                      .count();
    return m_result;
}

SSendOutcome CSend::Finish(int iSignal)
{
    SSendOutcome out;
    out.result = m_result;
    const SReplayResult& result = m_result;
    out.bListened = !result.NotSent() && result.listen.bListened && m_pJudge;
    bool bWritten = true;
    if (out.bListened) {
        out.judgement = m_pJudge->Judgement();
        out.heard = m_pJudge->Heard();
        out.nNotKept = m_pJudge->NotKept();
        out.csSummary = ListenSummaryText(result, m_request, out.judgement, &m_pJudge->Announced());
        std::string csError;
        if (!m_pObserver->CloseAnswers(csError)) {
            out.fileErrors.push_back(csError);
            bWritten = false;
        }
        if (!m_outputs.csJUnit.empty()) {
            judge::SJUnitRun run;
            run.llStartNs = m_llStartNs;
            run.csRig = m_outputs.csRig;
            run.properties = RunFacts(m_request, m_outputs.csRig);
            const std::string csXml
                = judge::JUnitXml(FileName(m_request.csPath), out.judgement, run);
            std::FILE* p = OpenOutputFile(m_outputs.csJUnit);
            const bool bDone = p && std::fwrite(csXml.data(), 1, csXml.size(), p) == csXml.size();
            if ((p && std::fclose(p) != 0) || !bDone) {
                out.fileErrors.push_back(OutputErrorText(m_outputs.csJUnit, errno));
                bWritten = false;
            }
        }
        out.facts = ReportFactsOf(m_request, result);
        out.facts.run = RunFacts(m_request, m_outputs.csRig);
        out.facts.llStartNs = m_llStartNs;
        out.facts.llDurationNs = m_llDurationNs;
        out.facts.csSummary = out.csSummary;
    }
    out.iExit = SendExitStatus(result, out.judgement, iSignal, bWritten);
    // A selection's missing records have a sentence; a single record past
    // the end has had its own.
    if (!result.NotSent() && result.llUnreadRound == 0 && iSignal == 0 && result.llMissing > 0
        && m_request.eMode == EReplayMode::Selection)
        out.csMissing = std::to_string(result.llMissing) + " of the chosen records are not in "
            + m_request.csPath;
    if (!out.bListened)
        return out;
    // The report says how the Send ended: written last, with the capture's
    // count and digest from the one index.
    out.facts.csExitStatus = ExitStatusWords(out.iExit);
    // Only a report waits for the whole file; else a count not done yet is
    // given up (the window's report reads the file when it is saved).
    if (m_outputs.csReport.empty())
        m_pIndex->Stop();
    if (m_pIndex->Started() && m_pIndex->Wait()) {
        out.facts.uRecords = m_outputs.csReport.empty() ? m_pIndex->Records() : m_pIndex->Count();
        out.facts.csSha256 = m_pIndex->Sha256();
    }
    if (!m_outputs.csReport.empty()) {
        const CSendIndex* pIndex = m_pIndex.get();
        // A baseline's answers are read from its own file.
        const RecordReader readRecord = !m_request.listen.csExpectFile.empty()
            ? CaptureRecordReader(m_request.listen.csExpectFile)
            : RecordReader([pIndex](uint64_t u, std::vector<uint8_t>& bytes) {
                  return pIndex->ReadRecord(u, bytes);
              });
        std::string csError;
        if (!WriteReportFile(
                m_outputs.csReport, out.facts, out.judgement, out.heard, readRecord, csError)) {
            out.csReportError = csError;
            out.iExit = SendExitStatus(result, out.judgement, iSignal, false);
        }
    }
    return out;
}

} // namespace velmora
