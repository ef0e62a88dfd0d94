#pragma once

// Conversing with the device: a Send that behaves as a BACnet client does.
// The send loop asks the conversation about each request before it goes and
// hands it every frame heard; the conversation keeps a window of outstanding
// confirmed requests per device, gives each a fresh invoke ID, times them out
// and retries them, acknowledges segmented answers window by window, and gives
// up on a device that stopped answering. Widget-free; time comes from an
// IClock, so the whole of it runs on a fake clock in tests.
//
// The loop's gate, for each record past the request filter and the aim (the
// ear started with SetPrompt(true), or every answer waits for its block):
//   for (;;) {
//       Heard() every frame heard so far; Tick(); send TakeFrames() at once;
//       Offer():  Go     -> send the copy now (its timer runs), next record
//                 Skip   -> count it skipped (never sent), next record
//                 GaveUp -> end the Send: GiveUpText(), exit 4, the rest unsent
//                 Wait   -> hear until min(llUntilNs, a poll slice); a stop
//                           ends the wait and StopAll()
//   }
// After the last record the same, until Outstanding() is 0; TakeResults()
// whenever convenient.

#include "replay/Clock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// Limits a user may set (see ConverseLimit).
constexpr int kMinConverseWindow = 1;
constexpr int kMaxConverseWindow = 16;
constexpr int64_t kMinApduTimeoutMs = 1;
constexpr int64_t kMaxApduTimeoutMs = 3'600'000; // an hour
constexpr int kMaxConverseRetries = 3;
constexpr int kMaxGiveUp = 1'000'000;

struct SConverseOptions {
    int iWindow = 1; // outstanding confirmed requests per device; 1: one request at a time
    int64_t llApduTimeoutMs = 3000; // also the segment time-out
    int iRetries = 0; // sends of the same frame after the first time-out
    int iGiveUp = 10; // unanswered requests in a row that end the Send; 0: never
    bool operator==(const SConverseOptions&) const = default;
};

// The settings a user gives, each checked against its limits by this one
// rule: the command's options, send-options.ini and the window's fields.
enum class EConverseSetting { Window, ApduTimeout, Retries, GiveUp };
struct SConverseLimit {
    int64_t llMin = 0;
    int64_t llMax = 0;
};
SConverseLimit ConverseLimit(EConverseSetting eSetting);
// Puts ll into options when it is inside its limits; else false, options as they were.
bool SetConverseSetting(SConverseOptions& options, EConverseSetting eSetting, int64_t ll);

// What the loop does with a record it offers.
enum class EConverseGate {
    Go, // send it now (a confirmed request's copy already carries its new invoke ID)
    Wait, // the device's window is full: wait (hearing) until the time given, then offer again
    Skip, // not a request: never sent while conversing
    GaveUp, // a device stopped answering: the Send ends
};

enum class EConverseOutcome {
    Answered, // an answer came (SimpleACK, ComplexACK whole, Error, Reject, a server's Abort)
    TimedOut, // no answer within the time-out, retries spent
    Aborted, // a segmented answer stopped or broke the rules: we sent an Abort
    GaveUp, // still outstanding when the Send gave up on a device
    Stopped, // still outstanding when the Send was stopped or ended
};

// Where Offer put a fresh invoke ID (-1: the frame goes as offered), and the
// captured one: the judge names the request as captured.
struct SConverseOffered {
    int iInvokeAt = -1;
    uint8_t uCapturedInvokeId = 0;
};

// What became of one confirmed request.
struct SConverseResult {
    uint64_t uRecord = 0; // the capture's record number
    uint8_t uCapturedInvokeId = 0;
    uint8_t uSentInvokeId = 0;
    EConverseOutcome eOutcome = EConverseOutcome::Stopped;
    int iRetries = 0; // retries sent
    int64_t llSentNs = 0; // the clock's time of the first send
    int64_t llAnsweredNs = 0; // the answer's time as heard (its last segment's)
    int iSegments = 0; // 0 for an answer in one piece
    // The answer, reassembled when segmented (one ComplexACK with every
    // segment's service data, lengths mended); empty when none came.
    std::vector<uint8_t> answer;
};

// For the status line and the command's progress.
struct SConverseProgress {
    uint64_t uRequest = 0; // requests let through so far (the last is the one waited on)
    uint64_t uTotal = 0; // 0 when unknown
    bool bWaiting = false; // for an answer, the window being full
    int64_t llWaitedNs = 0; // since the oldest outstanding request of that device went
};

// The device a request went to: its link address (IPv4 and port when bIp),
// and behind a router its network and address there.
struct SConverseDevice {
    bool bIp = false;
    std::vector<uint8_t> link;
    bool bRouted = false;
    uint16_t uNet = 0;
    std::vector<uint8_t> address;
};

// Why the Send gave up: the device that stopped answering, and the record of
// the request that made its count.
struct SConverseGiveUp {
    bool bGaveUp = false;
    SConverseDevice device;
    uint64_t uRecord = 0;
};
// "the device at 10.0.0.2:47808 stopped answering after record 41"; "" when
// it did not give up. The loop's Debug log and the session's sentences say it.
std::string ConverseGiveUpText(const SConverseGiveUp& giveUp);

class CConversation {
public:
    CConversation(const SConverseOptions& options, IClock& clock);
    ~CConversation();
    CConversation(const CConversation&) = delete;
    CConversation& operator=(const CConversation&) = delete;

    // The number of requests the Send will offer, for the progress.
    void SetTotal(uint64_t uTotal);
    // A wrong checksum of an offered request stays as wrong as it came
    // (--keep-checksums); else the new invoke ID goes out with it right.
    void KeepChecksums(bool bKeep);

    // Asks whether the record (the loop's copy, already aimed) may go. Go
    // rewrites a confirmed request's invoke ID in pFrame (its checksums kept
    // right, its length as it was), says where in *pOffered, and starts its
    // timer; Wait sets llUntilNs to the next time-out of that device (the loop
    // also offers again after it hands over heard frames). Unconfirmed
    // requests go at once; a segmented confirmed request goes as captured,
    // untracked. At a window of 1 every record waits while any request is
    // outstanding, so that the requests leave one at a time, in the capture's order.
    EConverseGate Offer(uint64_t uRecord, uint8_t* pFrame, uint32_t uLength, int64_t& llUntilNs,
        SConverseOffered* pOffered = nullptr);

    // The clock the heard frames' stamps come from (the kernel's receive
    // time); unset, the conversation's own. An answer is paired only with a
    // request that went before it was heard.
    void SetHeardClock(std::function<int64_t()> heardNow);

    // One frame heard, with its time stamp (0: unknown). An answer pairs with
    // an outstanding request to its device with its invoke ID and, for a
    // SimpleACK, ComplexACK or Error, its service.
    void Heard(const uint8_t* pFrame, size_t nLength, int64_t llHeardNs);
    // Runs the timers to the clock's time: retries, time-outs, segment
    // time-outs, give-up.
    void Tick();

    // Frames the conversation must send now (retries, Segment-ACKs, Aborts), in order.
    std::vector<std::vector<uint8_t>> TakeFrames();
    // Results of the requests that are over, in the order they ended.
    std::vector<SConverseResult> TakeResults();

    // The earliest timer; INT64_MAX when nothing is outstanding.
    int64_t NextDeadline() const;
    size_t Outstanding() const;
    bool GaveUp() const;
    const SConverseGiveUp& GiveUpFacts() const;
    // ConverseGiveUpText(GiveUpFacts()).
    std::string GiveUpText() const;
    SConverseProgress Progress() const;

    // Ends every outstanding request as Stopped (the user stopped, or the wait
    // after the last frame is over).
    void StopAll();

private:
    struct SState;
    std::unique_ptr<SState> m_p;
};

} // namespace velmora
