#pragma once

// The words both shells use for a Send, so that the window's status line and
// box and velmora-replay's lines never drift apart.

#include "judge/Judge.h"
#include "replay/Converse.h"
#include "replay/Replay.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// The status line while a Send runs: "12 packets sent"; a timed Send adds
// its round after the first, and a countdown in a wait longer than a second:
// "40 packets sent (round 2), next packet in 5 s". A conversing Send adds
// ", request 12 of 40, waiting for the answer (1.2 s)".
std::string ProgressText(const SReplayCounts& counts);

// The conversation's words: "answered", "timed out", "aborted", "gave up",
// "stopped".
const char* ConverseOutcomeWord(EConverseOutcome eOutcome);
// "request 12 of 40, waiting for the answer (1.2 s)"; "request 12 of 40" when
// not waiting; "request 12" when the total is unknown.
std::string ConverseProgressText(const SConverseProgress& progress);

// What a progress line knows before a Send: records per round (0: unknown),
// rounds (0: until stopped) and the pace in packets/s (0: not set by rate).
struct SProgressPlan {
    uint64_t uPerRound = 0;
    int64_t llRounds = 1;
    double dPacketsPerSecond = 0;
};
// The plan of a request, given the capture's record count (0: unknown).
SProgressPlan ProgressPlanOf(const SReplayRequest& request, uint64_t uRecordsInCapture);

// One progress line: "120 of 1000 records, round 2 of 3, 812 packets/s, 1:05
// left". The time left only when the pace is a rate and the rounds end; the
// rate once a second has passed.
std::string ProgressLine(const SProgressPlan& plan, const SReplayCounts& counts, double dElapsedS);

// The closing box: "12 Packets have been sent".
std::string SentBoxText(int iCount);

// The status line after a Send: one sentence saying why nothing was sent, or
// that it was stopped, or the count with the refused frames; empty when the
// progress count stands. A timed Send that was stopped says the round and
// the packet in it: "Stopped after 6 packets (round 2, packet 2)" ("Time up"
// when --duration ended it). csPickHint tells where another adapter is chosen.
// A round that could not read the file again ends the Send with a failure
// sentence; a Send paced in packets or megabits a second says the rate it
// reached, and what it asked for when it fell more than 1% behind.
// bOnPace: also say the rate reached when it was on pace (velmora-replay -q
// keeps quiet about that).
std::string ReplayStatusText(const SReplayResult& result, const SReplayRequest& request,
    const std::string& csPickHint = "pick one under Device", bool bOnPace = true);

// "reached 2000/s" or "reached 9.5 Mbit/s"; "fell behind: asked 20000/s,
// reached 11200/s" when the rate is more than 1% below the pace's; "" when
// the Send was not paced by a rate or sent fewer than two frames.
std::string ReachedRateText(const SReplayResult& result, const SPaceOptions& pace);

// Whether ReplayStatusText tells why nothing was sent ("Not sent: ..."): a
// reason that goes with the next Send, where a count stays.
bool SaysWhyNothingWent(const SReplayResult& result, const SReplayRequest& request);

// The status line while a listening Send waits after its last frame:
// "Listening for answers: 3 heard, 2.4 s left".
std::string ListeningText(const SListenCounts& counts);

// The closing sentence of a listening Send, for both shells: the judge's
// summary, with the records "Send requests only" skipped, the requests
// that got no send time stamp, and, given the frames heard, a clue when
// requests went unanswered while a device announced itself elsewhere
// (judge::AimClue).
// What to try when requests went unanswered: routed requests (DNET) sent as
// captured, broadcasts the aim left alone, and, when nothing answered at all,
// Discover. "" when none fits.
std::string NoAnswerHints(const SReplayRequest& request, const judge::SJudgement& judgement);

std::string ListenSummaryText(const SReplayResult& result, const SReplayRequest& request,
    const judge::SJudgement& judgement, const std::vector<SHeardFrame>* pHeard = nullptr);

// A listening or aimed Send's BACnet/IP frames whose checksums were wrong
// as read: "3 requests carried checksums left to the NIC (a capture taken on
// the sending host?): mended" ("frames" when not all were requests; "sent as
// captured" with --keep-checksums); "" when none.
std::string ChecksumsMendedText(const SReplayResult& result, const SReplayRequest& request);

// A default Send's notice, counted apart from it: "2 BACnet/IP frames carry
// wrong checksums (a capture taken on the sending host?): a device will drop
// them"; "" for none.
std::string WrongChecksumsText(uint64_t uFrames);

// The status line when the offset field holds no offset in Single Packet mode.
std::string OffsetNotValidText();

// "1 packet", "2 packets": a count with its noun in the right number.
std::string CountWords(uint64_t uCount, const char* szOne, const char* szMany);

// The file's name after its last slash (the whole path when that is empty).
std::string FileName(const std::string& csPath);

} // namespace velmora
