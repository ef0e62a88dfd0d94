#pragma once

// The judge's verdict on a listening Send, for both shells: the requests the
// Send put on the wire against the frames heard, and, with --expect captured,
// against the answers the capture recorded.

#include "judge/Baseline.h"
#include "judge/Judge.h"
#include "replay/Replay.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// Reads the capture's records for judging (BACnet frames only, each with its
// record number; those BACnet by their link whose NPDU or APDU is broken too,
// so that a recorded answer can be told malformed). False with a reason when
// the file cannot be read.
bool ReadCaptureForJudging(
    const std::string& csPath, std::vector<judge::SJudgedFrame>& frames, std::string& csError);

// The requests and frames a Send handed back, as the judge takes them.
std::vector<judge::SJudgedFrame> JudgedRequests(const std::vector<SSentRequest>& requests);
std::vector<judge::SJudgedFrame> JudgedHeard(const std::vector<SHeardFrame>& heard);

// Judges a listening Send (an empty judgement when it did not listen); reads
// the capture when the request asks for its recorded answers, or the
// baseline (SListenOptions::csExpectFile).
judge::SJudgement JudgeSend(const SReplayRequest& request, const SReplayResult& result);

// Judges a listening Send round by round as its shell is handed the rounds
// (IReplayObserver::OnListened), so that one that runs until stopped keeps
// about two rounds, not every request and frame. A round's requests are
// judged once the next round is over, against the frames heard in both, so
// an answer that comes late still counts; an answer a request has taken is
// not offered to the next round's. A Send of one round is judged as a whole,
// as JudgeSend judges it.
class CListenJudge {
public:
    // Every line, in order, with the frame that answered (null: none).
    using FLine = std::function<void(const judge::SJudgeLine&, const SHeardFrame*)>;
    // nKeep: the lines (and frames heard) Judgement and Heard keep at most.
    CListenJudge(const SReplayRequest& request, FLine onLine, size_t nKeep);
    // The recorded frames, asked for once, when the first round is judged
    // (null: none); the request's --expect decides whether it is asked.
    using FCapture = std::function<const std::vector<judge::SJudgedFrame>*()>;
    CListenJudge(const SReplayRequest& request, FLine onLine, size_t nKeep, FCapture capture);
    void Add(SListenChunk& chunk);
    // The counts of every request; the first lines (each answered one's
    // nAnswer an index into Heard); round trips, a sample of 100,000 when
    // there are more.
    const judge::SJudgement& Judgement() const { return m_total; }
    const std::vector<SHeardFrame>& Heard() const { return m_kept; }
    // Lines judged and not kept.
    size_t NotKept() const { return m_nNotKept; }
    // The first I-Am frames heard, however few frames are kept (for judge::AimClue).
    const std::vector<SHeardFrame>& Announced() const { return m_announced; }
    static constexpr size_t kAnnouncedKept = 64;

    static constexpr size_t kRoundTripSample = 100'000;

private:
    // bLast: every frame in the window leaves with this judgement.
    void JudgePending(bool bLast = false, int64_t llStopNs = 0);

    FLine m_onLine;
    size_t m_nKeep;
    std::vector<judge::SJudgedFrame> m_capture;
    bool m_bCapture = false;
    FCapture m_getCapture; // until asked
    const std::vector<judge::SJudgedFrame>* m_pCapture = nullptr;
    std::unique_ptr<judge::CRecordedAnswers> m_pRecorded; // paired once, for every round
    judge::SCompareRules m_rules;
    std::unique_ptr<judge::CBaseline> m_pBaseline; // --expect FILE
    // The timing and the comparison's rules; false when a baseline replaces the capture.
    bool Setup(const SReplayRequest& request);
    std::vector<frame::SDeviceMap> m_devices; // the aim's device map, read back
    int64_t m_llAnswerNs = 0; // the time an answer is given (a stop cuts shorter ones)
    std::vector<SSentRequest> m_pending; // the round not judged yet
    std::vector<SHeardFrame> m_window; // heard since that round began
    std::vector<size_t> m_keptAt; // each window frame's place in m_kept, or SIZE_MAX
    size_t m_nOlder = 0; // of m_window, heard before the newest chunk
    judge::SJudgement m_total;
    std::vector<SHeardFrame> m_kept;
    std::vector<SHeardFrame> m_announced;
    size_t m_nNotKept = 0;
    size_t m_nRequestsBefore = 0;
    uint64_t m_uRoundTrips = 0; // seen, for the sample
    uint64_t m_uSeed = 0x9e3779b97f4a7c15ULL;
};

} // namespace velmora
