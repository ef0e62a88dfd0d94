#pragma once

// Pairing the requests a Send put on the wire with the answers heard, and
// judging them against the answers the capture recorded. No widgets, no I/O:
// frames in, lines out; the shells print them.
//
// A confirmed request is answered by the first SimpleACK, ComplexACK, Error,
// Reject or Abort, heard after it was sent and not already taken by an
// earlier request, that carries its invoke ID (and, a SimpleACK, ComplexACK
// or Error, its service) and comes back
//   - to the address the request came from (its link source), and
//   - from the device it was sent to: the same MAC (BACnet/Ethernet), the same
//     IP and port or a Forwarded-NPDU whose origin is that address
//     (BACnet/IP), or, when the request named a DNET/DADR, an NPDU source
//     network and address equal to them (whichever router brought it back).
// A segmented ComplexACK is answered at its first segment. Who-Is is answered
// by every I-Am within its limits, Who-Has by every I-Have, and
// Who-Is-Router-To-Network by every I-Am-Router-To-Network; each such answer
// goes to the earliest request of its kind sent before it that it fits and
// that has no answer from the same device (or router) yet, else to the
// latest it fits.

#include "decode/Frame.h"
#include "judge/Bacnet.h"
#include "judge/Content.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velmora::judge {

// One frame with its record number (in the capture) or time (sent or heard).
struct SJudgedFrame {
    uint64_t uRecord = 0; // the capture's record number (0-based); unused for heard frames
    int64_t llNs = 0; // kernel time stamp: sent for requests, received for answers; 0 unknown
    std::vector<uint8_t> bytes;
    // Requests: the earliest the frame can have left, when llNs was placed
    // between two stamps rather than stamped (0: llNs). No answer before it.
    int64_t llEarliestNs = 0;
    uint32_t uRound = 1; // the round a request went out in (1 first)
    // A request a conversation gave a fresh invoke ID: where it sits (-1: sent
    // as captured), and the captured ID, which the request's text shows.
    int iInvokeAt = -1;
    uint8_t uCapturedInvokeId = 0;
    // Heard: a segmented answer reassembled from that many segments. Where one
    // is among the frames, the segments themselves answer nothing.
    int iSegments = 0;
};

// What "Send requests only" does with a record: decode's classifier, named
// here too for the judge's callers.
using frame::ClassifyRequest;
using frame::ERequestKind;

enum class EVerdict {
    Answered, // an answer came (no --expect)
    Ok, // the same kind came as the capture recorded
    Differs, // another kind came
    Unanswered, // nothing came
    NoRecord, // something came, but the capture held no answer to compare with
    ValueChanged, // the same kind, and a volatile property's value changed: ok
    Stopped, // nothing came before the Send was stopped, short of the time an answer has
};
// "answered", "ok", "differs", "unanswered", "no-record", "value-changed", "stopped".
const char* VerdictWord(EVerdict eVerdict);

// One result line: one per request, or one per answer of Who-Is, Who-Has and
// Who-Is-Router-To-Network (each with the request's record number).
struct SJudgeLine {
    uint64_t uRecord = 0; // the request's record number in the capture (0-based)
    uint32_t uRound = 1; // the request's round
    int64_t llSentNs = 0; // the request's send time stamp (0 unknown), for the plots
    // Where the request went (its Ethernet destination and BACnet link
    // destination), for the clue about unanswered requests.
    std::array<uint8_t, 6> requestMac {};
    SStation requestTo;
    size_t nRequest = 0; // index into the requests judged
    std::string csRequest; // the request's Info text
    bool bConfirmed = false;
    // A confirmed request's invoke IDs: as captured, and as sent (paired by
    // it); -1 for other requests.
    int iCapturedInvokeId = -1;
    int iSentInvokeId = -1;
    bool bAnswered = false;
    size_t nAnswer = 0; // index into the frames heard, when answered
    std::string csAnswer; // the answer's Info text, "" when none
    bool bSegmented = false; // a segmented ComplexACK, answered at its first segment
    int iSegments = 0; // or reassembled whole from that many: "ok (3 segments)"
    int64_t llRoundTripNs = -1; // -1 when either time stamp is missing
    EVerdict eVerdict = EVerdict::Unanswered;
    std::string
        csHeardKind; // "ComplexACK readProperty", "Error readProperty object: unknown-object"
    std::string csRecordedKind; // the same for the recorded answer ("" when none)
    std::string csRecorded; // the recorded answer's Info text ("" when none)
    // The content compared (Differs and ValueChanged of the same kind): the
    // first field and both values, "device,1234 object-name "Other",
    // recorded "Bench""; "" when the kinds differ.
    std::string csContent;
    bool bHasRecorded = false;
    uint64_t uRecordedRecord = 0;
    // The recorded answer could not be read as BACnet (a truncated record, a
    // broken APDU): nothing to compare with, and said so.
    bool bRecordedMalformed = false;

    // Failed in a report: unanswered or differs.
    bool Failed() const
    {
        return eVerdict == EVerdict::Unanswered || eVerdict == EVerdict::Differs;
    }
};

struct SJudgement {
    std::vector<SJudgeLine> lines;
    size_t nRequests = 0; // requests judged (lines may be more)
    size_t nConfirmed = 0;
    size_t nAnswered = 0; // requests with at least one answer
    size_t nUnanswered = 0;
    size_t nDiffers = 0; // requests with a line that differs
    size_t nNoRecord = 0;
    bool bConfirmedFailed = false; // a confirmed request unanswered or differing: exit 4
    std::vector<int64_t> roundTripsNs; // first answer of each answered request, when timed
    size_t nOk = 0; // requests whose every line is ok
    size_t nValueChanged = 0; // requests ok but for a volatile value that changed
    size_t nAnsweredOnly = 0; // answered, with nothing to compare (no --expect)
    uint32_t uRounds = 1; // the highest round among the requests
    bool RoundsRepeat() const { return uRounds > 1; }
    // Answers (SimpleACK, ComplexACK, Error, Reject, Abort) heard from a
    // device a request went to, back to where it came from, that no request
    // took: indices into the frames heard, and how many (a judge of many
    // parts counts them without the indices).
    std::vector<size_t> unpaired;
    size_t nUnpaired = 0;
    size_t nStopped = 0; // requests cut short by a stop (not counted unanswered)
    // Of the unanswered requests: those that named a remote network (a DNET
    // other than the global broadcast), and those sent to a broadcast
    // address, for the hints when nothing answers.
    size_t nRoutedUnanswered = 0;
    size_t nBroadcastUnanswered = 0;
};

// Round trips at a glance; all -1 when none was timed. The median of an even
// count is the mean of the middle two; p95 is the nearest rank.
struct SRoundTripStats {
    size_t nCount = 0;
    int64_t llMinNs = -1;
    int64_t llMedianNs = -1;
    int64_t llP95Ns = -1;
    int64_t llMaxNs = -1;
};
SRoundTripStats RoundTripStats(std::vector<int64_t> roundTripsNs);
// A statistic in milliseconds as the summary writes it: "2.1", or "0.057"
// below a millisecond.
std::string ShortMs(int64_t llNs);

// Counts per verdict over requests (not lines): a request with a differing
// line differs, an unanswered one is unanswered, else its first line's word.
struct SVerdictCounts {
    size_t nOk = 0;
    size_t nValueChanged = 0;
    size_t nAnswered = 0;
    size_t nDiffers = 0;
    size_t nUnanswered = 0;
    size_t nNoRecord = 0;
    size_t nStopped = 0;
};
SVerdictCounts CountVerdicts(const SJudgement& judgement);

// "PASS: 3 requests, 2 ok, 1 value changed" or "FAIL: 5 requests: 2 ok, 1 differs, 2 unanswered";
// a verdict with no request is left out. FAIL when any request failed;
// "Nothing tested: 0 requests" when no request was judged (no pass either).
std::string Headline(const SJudgement& judgement);

// True when the Send judged no request: no PASS, whatever else went well.
inline bool NothingTested(const SJudgement& judgement)
{
    return judgement.nRequests == 0;
}

// A Send stopped before its end: the unanswered requests sent less than
// llAnswerNs (the time an answer is given: the APDU time-out with its
// retries, or the wait after the last frame) before llStopNs are "stopped",
// not "unanswered". Counts follow; a confirmed request so cut short fails
// nothing.
void MarkStopped(SJudgement& judgement, int64_t llStopNs, int64_t llAnswerNs);

// The differences grouped by what differs: one group per key, largest first
// (ties in the order their first row came), each with its rows.
//
// GroupKey is a row's verdict in words without the values of that row: a
// differing kind "Error object/unknown-object where the capture has an ACK",
// "unanswered readProperty", "stopped", "recorded answer malformed", and for
// a verdict that names a field ("differs: device,1234 object-name "Other",
// recorded "Bench"") its words with the quoted values, numbers and instance
// numbers left out ("differs: device object-name"). "" for a plain ok or
// answered row, which joins no group.
std::string GroupKey(const SJudgeLine& line);
// The words of a verdict without its row's values, as GroupKey takes them.
std::string VerdictWithoutValues(const std::string& csVerdict);
struct SLineGroup {
    std::string csKey;
    std::vector<size_t> lines; // indices into the judgement's lines
};
std::vector<SLineGroup> GroupLines(const std::vector<SJudgeLine>& lines);

// A hint for unanswered requests: the devices that announced themselves
// (I-Am) from an address none of the requests went to. "device 1234
// answered from 0e:11:b7:31:d0:b1 / 192.168.10.2: aim at it?", several
// joined by "; "; "" when every request was answered or none fits.
std::string AimClue(const std::vector<SJudgedFrame>& heard, const SJudgement& judgement);

// Judges the requests sent (in send order, bytes as sent, llNs their send
// time) against the frames heard (in arrival order). With pCapture, each
// request's recorded answer is looked up in the capture's records (all of
// them, in file order, bytes as recorded): the record uRecord is the request
// as captured, and its answer is paired there by the same rules.
//
// With devices (the aim's device map), the judge sees the Send as captured:
// a Who-Is sent for NEW alone asks for OLD, and an I-Am or I-Have of NEW
// answers as OLD.
//
// rules: how an answer of the recorded kind is compared with the recorded
// answer (judge/Content.h); without a learned set, the judge learns one from
// pCapture.
//
// With pRecordedFor (a baseline, judge/Baseline.h), each request's recorded
// answers are given, as indices into *pCapture, rather than looked up by its
// record number; the comparison is the same.
SJudgement Judge(const std::vector<SJudgedFrame>& requests, const std::vector<SJudgedFrame>& heard,
    const std::vector<SJudgedFrame>* pCapture, const std::vector<frame::SDeviceMap>& devices = {},
    const SCompareRules& rules = {},
    const std::vector<std::vector<size_t>>* pRecordedFor = nullptr);

// The properties whose answers in the capture differ among themselves
// (segmented answers reassembled), for a judge that is called once a round.
std::shared_ptr<const CLearnedVolatile> LearnVolatile(const std::vector<SJudgedFrame>& capture);

// The device that gave an answer, as the learned set keys it.
std::string AnswererKey(const SBacnetFrame& frame);

// The capture's requests paired with their recorded answers once, by the
// same rules, for judging many rounds against it (Judge pairs them afresh at
// every call). The frames stay the caller's and must outlive it.
class CRecordedAnswers {
public:
    explicit CRecordedAnswers(const std::vector<SJudgedFrame>& capture);
    ~CRecordedAnswers();
    CRecordedAnswers(const CRecordedAnswers&) = delete;
    CRecordedAnswers& operator=(const CRecordedAnswers&) = delete;

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_p;
    friend SJudgement JudgeRound(const std::vector<SJudgedFrame>&, const std::vector<SJudgedFrame>&,
        const CRecordedAnswers*, const std::vector<frame::SDeviceMap>&, const SCompareRules&,
        const std::vector<std::vector<size_t>>*);
};

// Judge against the capture paired once (null: no --expect).
SJudgement JudgeRound(const std::vector<SJudgedFrame>& requests,
    const std::vector<SJudgedFrame>& heard, const CRecordedAnswers* pRecorded,
    const std::vector<frame::SDeviceMap>& devices = {}, const SCompareRules& rules = {},
    const std::vector<std::vector<size_t>>* pRecordedFor = nullptr);

// "12 packets sent; 5 requests: 4 answered, 1 unanswered; round trip min
// 1.0, median 2.1, p95 3.0, max 3.2 ms", with ", 1 differs" and ", 1 no
// record" when there are such, ", 3 ok" when judged against the capture, and
// "; 2 answers heard paired with no request" before the round trips when
// answers were left over.
std::string SummaryText(uint64_t uPacketsSent, const SJudgement& judgement);

// One tab-separated line (with its newline): record, request, answer ("-"
// when none), verdict, round trip in ms with three decimals or "-". Tabs and
// line breaks inside a text become spaces. With bRound (the Send went in
// more than one round), a sixth column: the round. A differing verdict names both
// kinds: "differs (Error readProperty object: unknown-object; recorded
// ComplexACK readProperty)". Where an ACK's text differs from the recorded
// one, the answer column adds it: "... = 22.0 (recorded: ... = 21.5)".
std::string TsvLine(const SJudgeLine& line, bool bRound = false);
// Its columns one by one, for the window and the report: the answer column
// (with the recorded text where an ok answer's differs), the verdict column
// and the round trip ("1.234" or "-").
std::string AnswerColumn(const SJudgeLine& line);
std::string VerdictColumn(const SJudgeLine& line);
std::string RoundTripColumn(const SJudgeLine& line);

// What a JUnit file says of the run beside its cases.
struct SJUnitRun {
    int64_t llStartNs = 0; // wall clock, since the epoch; 0: no timestamp
    std::string csRig; // the rig's name: the cases' class name "RIG.SUITE" ("" none)
    std::vector<std::pair<std::string, std::string>> properties; // the run's facts
};

// JUnit XML: one test suite named csSuite, one test case per request (named
// by its record and Info text, and its round when rounds repeat, timed by its
// first round trip in seconds to the microsecond), failed when unanswered or
// when an answer differs, skipped ("stopped") when a stop cut it short. With
// run, the suite and each case carry the run's start as a timestamp, and the
// suite its facts as properties.
std::string JUnitXml(const std::string& csSuite, const SJudgement& judgement);
std::string JUnitXml(const std::string& csSuite, const SJudgement& judgement, const SJUnitRun& run);

} // namespace velmora::judge
