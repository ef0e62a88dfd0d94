#pragma once

// One Send from start to verdict, for both shells. Prepare checks the files
// the Send will write and starts the capture's index beside it (the one
// reading of the file apart from the Send's own: record count, SHA-256, the
// recorded answers for the judge and the report). Run sends (replay/),
// hearing and judging the answers as the rounds end. Finish writes the files
// and hands back one outcome: the result, the judgement, the summary, the
// report's facts and the exit status by one rule. The shells print or show
// the outcome; they decide nothing.

#include "judge/Judge.h"
#include "replay/Replay.h"
#include "session/JudgeSend.h"
#include "session/Report.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// velmora-replay's exit statuses, which the window shows too.
enum : int {
    kExitSent = 0, // every chosen record was sent
    kExitSomeFailed = 1,
    kExitUsage = 2,
    kExitNotOpened = 3, // the capture or the adapter could not be opened
    kExitNotAnswered = 4, // listening: a confirmed request unanswered or answered otherwise
    kExitSignalBase = 128, // plus the number of the signal that stopped the send
};

// The one rule for a Send's exit status. iSignal: the signal that stopped
// the command, or the window's Stop as the command's Ctrl-C (0: none).
// bWritten: every file the Send was asked to write was written.
int SendExitStatus(
    const SReplayResult& result, const judge::SJudgement& judgement, int iSignal, bool bWritten);

// The files a listening Send writes (empty: none). The window writes none
// during a Send.
struct SSendOutputs {
    std::string csAnswers; // the frames heard, as pcap
    std::string csJUnit;
    std::string csReport;
    std::string csRig; // the rig's name, in the report's facts and the JUnit cases ("" none)
    bool Any() const { return !csAnswers.empty() || !csJUnit.empty() || !csReport.empty(); }
};

class COutputCheck;

// Files that cannot be written, found before the first frame, not after a
// run whose verdicts they would then hide; false with the first one's
// reason. check keeps what it must hold open until the Send is over.
bool CheckSendOutputs(const SSendOutputs& outputs, COutputCheck& check, std::string& csError);

// The capture as a Send indexes it, once, on a thread beside the Send: the
// record count, the digest and the recorded BACnet frames, read through one
// opening of the file.
class CSendIndex {
public:
    CSendIndex();
    ~CSendIndex(); // stops and waits for the thread
    CSendIndex(const CSendIndex&) = delete;
    CSendIndex& operator=(const CSendIndex&) = delete;

    // bFrames: keep the recorded BACnet frames; bDigest: hash the file too.
    void Start(const std::string& csPath, bool bFrames, bool bDigest);
    bool Started() const;
    // The count once the whole file is indexed; 0 until then (and for good
    // when it could not be read to its end). Any thread.
    uint64_t Records() const;
    // The records indexed, however far it got.
    uint64_t Count() const;
    // Waits for the end; false when the file could not be indexed.
    bool Wait();
    // After Wait: the recorded BACnet frames (Ethernet records that libpcap
    // reaches, each with its record number), the digest ("" unknown), and a
    // record's bytes.
    const std::vector<judge::SJudgedFrame>& Frames() const;
    std::string Sha256() const;
    bool ReadRecord(uint64_t uRecord, std::vector<uint8_t>& bytes) const;
    void Stop();

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_p;
};

// What a Send came to.
struct SSendOutcome {
    SReplayResult result;
    bool bListened = false; // sent, and heard (the judgement and facts hold)
    judge::SJudgement judgement;
    std::vector<SHeardFrame> heard; // the frames the judgement's lines index
    size_t nNotKept = 0; // lines judged and not kept
    std::string csSummary; // the closing sentence ("" when it did not listen)
    SReportFacts facts; // the report's (listening)
    // Lines for the shell, in the order they belong after the summary: a
    // file not written; chosen records missing; the report not written.
    std::vector<std::string> fileErrors;
    std::string csMissing;
    std::string csReportError;
    int iExit = kExitSent;
};

// One Send of a shell.
class CSend {
public:
    // Every line, in order, as a round is judged (the command's TSV).
    using FLine = std::function<void(const judge::SJudgeLine&)>;

    // Prepare. nKeep: the lines (and frames heard) the outcome keeps at most.
    CSend(const SReplayRequest& request, const SSendOutputs& outputs, size_t nKeep,
        FLine onLine = nullptr);
    ~CSend();
    CSend(const CSend&) = delete;
    CSend& operator=(const CSend&) = delete;

    const SReplayRequest& Request() const { return m_request; }
    // The capture's records once counted (0 until then), for the progress.
    // bCount: the shell shows the progress; only then is an All Send's file
    // counted (a listening Send that judges or reports indexes it anyway).
    void CountRecords(bool bCount);
    uint64_t Records() const;

    // Run: the Send on the shell's adapter (null: the program's socket), the
    // shell's observer seeing the progress and asking for the stop.
    const SReplayResult& Run(IReplayObserver& shell, IPacketSink* pSink = nullptr);
    // Finish: writes the files and makes the outcome. iSignal as for
    // SendExitStatus.
    SSendOutcome Finish(int iSignal);

    // While running and after: the judge (listening Sends).
    const CListenJudge* Judge() const { return m_pJudge.get(); }

private:
    class CObserver;
    void StartIndex(bool bCount);

    SReplayRequest m_request;
    SSendOutputs m_outputs;
    std::unique_ptr<CListenJudge> m_pJudge;
    std::unique_ptr<CSendIndex> m_pIndex;
    std::unique_ptr<CObserver> m_pObserver;
    SReplayResult m_result;
    int64_t m_llStartNs = 0;
    int64_t m_llDurationNs = 0;
};

} // namespace velmora
