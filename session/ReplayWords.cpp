#include "session/ReplayWords.h"

#include "log/Log.h"
#include "replay/Aim.h"

#include <algorithm>
#include <cstdio>

namespace velmora {

const char* ConverseOutcomeWord(EConverseOutcome eOutcome)
{
    switch (eOutcome) {
    case EConverseOutcome::Answered:
        return "answered";
    case EConverseOutcome::TimedOut:
        return "timed out";
    case EConverseOutcome::Aborted:
        return "aborted";
    case EConverseOutcome::GaveUp:
        return "gave up";
    case EConverseOutcome::Stopped:
        return "stopped";
    }
    return "?";
}

std::string ConverseProgressText(const SConverseProgress& progress)
{
    std::string cs = "request " + std::to_string(progress.uRequest);
    if (progress.uTotal > 0)
        cs += " of " + std::to_string(progress.uTotal);
    if (progress.bWaiting) {
        char sz[32];
        std::snprintf(sz, sizeof sz, "%.1f", static_cast<double>(progress.llWaitedNs) / 1e9);
        cs += ", waiting for the answer (" + std::string(sz) + " s)";
    }
    return cs;
}

std::string ProgressText(const SReplayCounts& counts)
{
    // "%d packets sent" is the window's own running text, kept as it is.
    std::string cs = std::to_string(counts.iHandled) + " packets sent";
    if (counts.llRound > 1)
        cs += " (round " + std::to_string(counts.llRound) + ")";
    if (counts.llWaitLeftMs >= 0)
        cs += std::string(counts.bPause ? ", next round in " : ", next packet in ")
            + std::to_string((counts.llWaitLeftMs + 999) / 1000) + " s";
    if (counts.bConversing)
        cs += ", " + ConverseProgressText(counts.converse);
    return cs;
}

SProgressPlan ProgressPlanOf(const SReplayRequest& request, uint64_t uRecordsInCapture)
{
    SProgressPlan plan;
    switch (request.eMode) {
    case EReplayMode::Single:
        plan.uPerRound = 1;
        break;
    case EReplayMode::Selection:
        plan.uPerRound = request.selection.size();
        break;
    case EReplayMode::All:
        plan.uPerRound = uRecordsInCapture;
        break;
    }
    // Single Packet sends one record, once, whatever the timing says.
    if (request.eMode != EReplayMode::Single) {
        plan.llRounds = request.pace.llLoops;
        if (request.pace.ePace == EPace::PacketsPerSecond)
            plan.dPacketsPerSecond = request.pace.dRate;
    }
    return plan;
}

std::string ProgressLine(const SProgressPlan& plan, const SReplayCounts& counts, double dElapsedS)
{
    const uint64_t uDone = static_cast<uint64_t>(std::max(counts.iHandled, 0));
    std::string cs = std::to_string(uDone);
    const bool bKnown = plan.uPerRound > 0 && plan.llRounds > 0;
    const uint64_t uTotal = bKnown ? plan.uPerRound * static_cast<uint64_t>(plan.llRounds) : 0;
    cs += bKnown ? " of " + CountWords(uTotal, "record", "records") : " records";
    if (plan.llRounds != 1 && counts.llRound > 0)
        cs += ", round " + std::to_string(counts.llRound)
            + (plan.llRounds > 1 ? " of " + std::to_string(plan.llRounds) : std::string());
    if (dElapsedS >= 1) {
        char sz[48];
        std::snprintf(sz, sizeof sz, ", %.0f packets/s", static_cast<double>(uDone) / dElapsedS);
        cs += sz;
    }
    if (bKnown && plan.dPacketsPerSecond > 0 && uDone <= uTotal) {
        const long long llLeft = static_cast<long long>(
            static_cast<double>(uTotal - uDone) / plan.dPacketsPerSecond + 0.5);
        char sz[48];
        if (llLeft >= 3600)
            std::snprintf(sz, sizeof sz, ", %lld:%02lld:%02lld left", llLeft / 3600,
                llLeft / 60 % 60, llLeft % 60);
        else
            std::snprintf(sz, sizeof sz, ", %lld:%02lld left", llLeft / 60, llLeft % 60);
        cs += sz;
    }
    return cs;
}

std::string SentBoxText(int iCount)
{
    return std::to_string(iCount) + " Packets have been sent";
}

std::string CountWords(uint64_t uCount, const char* szOne, const char* szMany)
{
    return std::to_string(uCount) + " " + (uCount == 1 ? szOne : szMany);
}

std::string FileName(const std::string& csPath)
{
    const size_t i = csPath.find_last_of('/');
    const std::string cs = i == std::string::npos ? csPath : csPath.substr(i + 1);
    return cs.empty() ? csPath : cs;
}

namespace {

    std::string AdapterSentence(
        ESendOpenError eError, const std::string& csDevice, const std::string& csPickHint)
    {
        // An empty name opens nothing, whatever the sink makes of it.
        if (csDevice.empty())
            return "no adapter chosen (" + csPickHint + ")";
        switch (eError) {
        case ESendOpenError::NoSuchDevice:
            return "adapter " + csDevice + " is gone (" + csPickHint + ")";
        case ESendOpenError::NotUp:
            return "adapter " + csDevice + " is down";
        case ESendOpenError::NoPermission:
            return "no permission to send on " + csDevice + " (see Install in the README)";
        case ESendOpenError::NotEthernet:
            return csDevice + " is not an Ethernet adapter (" + csPickHint + ")";
        case ESendOpenError::None:
        case ESendOpenError::Other:
            break;
        }
        return "adapter " + csDevice + " cannot be opened"
            + (g_bDebug ? " (see Debuglog.txt)" : "");
    }

} // namespace

namespace {

    std::string SentStatusText(const SReplayResult& result);

    std::string RateNumber(double d)
    {
        char sz[32];
        std::snprintf(sz, sizeof sz, d >= 100 ? "%.0f" : d >= 1 ? "%.3g" : "%.2g", d);
        return sz;
    }

} // namespace

namespace {

    bool RatePaced(const SReplayResult& result, const SPaceOptions& pace)
    {
        return result.dReachedRate > 0
            && (pace.ePace == EPace::PacketsPerSecond || pace.ePace == EPace::MegabitsPerSecond);
    }

    bool FellBehind(const SReplayResult& result, const SPaceOptions& pace)
    {
        return RatePaced(result, pace) && result.dReachedRate < pace.dRate * 0.99;
    }

} // namespace

std::string ReachedRateText(const SReplayResult& result, const SPaceOptions& pace)
{
    if (!RatePaced(result, pace))
        return std::string();
    const bool bPackets = pace.ePace == EPace::PacketsPerSecond;
    const std::string csUnit = bPackets ? "/s" : " Mbit/s";
    const std::string csReached = "reached " + RateNumber(result.dReachedRate) + csUnit;
    if (!FellBehind(result, pace))
        return csReached;
    return "fell behind: asked " + RateNumber(pace.dRate) + csUnit + ", " + csReached;
}

std::string ChecksumsMendedText(const SReplayResult& result, const SReplayRequest& request)
{
    const long long ll = result.llWrongChecksums;
    if (ll <= 0)
        return "";
    const bool bRequests = result.llWrongRequests == ll;
    const uint64_t u = static_cast<uint64_t>(ll);
    std::string cs
        = bRequests ? CountWords(u, "request", "requests") : CountWords(u, "frame", "frames");
    cs += " carried checksums left to the NIC (a capture taken on the sending host?): ";
    cs += request.bKeepChecksums
        ? std::string("sent as captured; a device will drop ") + (ll == 1 ? "it" : "them")
        : std::string("mended");
    return cs;
}

std::string WrongChecksumsText(uint64_t uFrames)
{
    if (uFrames == 0)
        return "";
    return uFrames == 1 ? "1 BACnet/IP frame carries a wrong checksum (a capture taken on the "
                          "sending host?): a device will drop it"
                        : std::to_string(uFrames)
            + " BACnet/IP frames carry wrong checksums (a capture taken on the sending "
              "host?): a device will drop them";
}

std::string OffsetNotValidText()
{
    return "Not sent: the offset must be a whole number from 0 to 9999999";
}

bool SaysWhyNothingWent(const SReplayResult& result, const SReplayRequest& request)
{
    return result.NotSent() || (request.eMode == EReplayMode::Single && result.iCount == 0);
}

std::string ReplayStatusText(const SReplayResult& result, const SReplayRequest& request,
    const std::string& csPickHint, bool bOnPace)
{
    const std::string& csPath = request.csPath;
    switch (result.eNotSent) {
    case ENotSent::None:
        break;
    case ENotSent::NoFile:
        return csPath.empty() ? "Not sent: no capture file chosen"
                              : "Not sent: " + csPath + " does not exist";
    case ENotSent::NoAccess:
        return "Not sent: no permission to read " + csPath;
    case ENotSent::NoAdapter:
        return "Not sent: " + AdapterSentence(result.eOpenError, request.csAdapter, csPickHint);
    case ENotSent::NotCapture:
        return "Not sent: " + FileName(csPath) + " is not a capture file";
    case ENotSent::NoAimMac:
        return "Not sent: adapter " + request.csAdapter
            + " has no MAC address of its own to aim from (see Send options)";
    case ENotSent::NoAimIpv4:
        return "Not sent: adapter " + request.csAdapter
            + " has no IPv4 address of its own to aim from (see Send options)";
    case ENotSent::NoEar:
        return "Not sent: " + result.listen.csError;
    }
    if (request.eMode == EReplayMode::Single && result.iCount == 0 && request.iOffset < 0)
        return "Not sent: offset " + std::to_string(request.iOffset)
            + " is before the first record (0)";
    if (request.eMode == EReplayMode::Single && result.iCount == 0) {
        if (result.llMissing == 0 && result.listen.llSkipped > 0)
            return "Not sent: record " + std::to_string(request.iOffset)
                + " is not a request (requests only)";
        if (result.llRecordsRead == 0)
            return "Not sent: the capture holds no records";
        return "Not sent: offset " + std::to_string(request.iOffset) + " is past the last record ("
            + std::to_string(result.llRecordsRead - 1) + ")";
    }
    if (result.llUnreadRound > 0)
        return "Failed: round " + std::to_string(result.llUnreadRound) + " could not read "
            + FileName(csPath) + " again, after " + std::to_string(result.iCount) + " packets"
            + (g_bDebug ? " (see Debuglog.txt)" : "");
    // A device that stopped answering ended the Send: that is the news.
    if (!result.listen.csGaveUp.empty())
        return "Stopped: " + result.listen.csGaveUp;
    std::string cs = SentStatusText(result);
    const std::string csRate = request.eMode == EReplayMode::Single
        ? std::string()
        : ReachedRateText(result, request.pace);
    if (csRate.empty() || (!bOnPace && !FellBehind(result, request.pace)))
        return cs;
    if (cs.empty())
        cs = std::to_string(result.iCount - result.iRefused) + " packets sent";
    return cs + "; " + csRate;
}

namespace {

    std::string SentStatusText(const SReplayResult& result)
    {
        // Only refusals by the adapter, frames the aim sent as captured, and
        // Who-Is/Who-Has ranges that merely include a mapped device (sent as
        // captured, counted here) leave a record; a debug log that is off has none.
        const uint64_t llRanges = AimLimitsLeftAlone();
        const std::string csPointer
            = g_bDebug && (result.iFailed > 0 || result.iNotAimed > 0 || llRanges > 0)
            ? " (see Debuglog.txt)"
            : std::string();
        std::string csNotAimed = result.iNotAimed > 0
            ? std::to_string(result.iNotAimed) + " not aimed"
            : std::string();
        if (llRanges > 0)
            csNotAimed += (csNotAimed.empty() ? "" : ", ") + std::to_string(llRanges)
                + (llRanges == 1 ? " device range" : " device ranges") + " left as captured";
        if (result.bStopped) {
            std::string cs = std::string(result.bTimeUp ? "Time up after " : "Stopped after ")
                + CountWords(static_cast<uint64_t>(result.iCount), "packet", "packets");
            // A timed Send says where in its rounds.
            if (result.llRounds > 0)
                cs += " (round " + std::to_string(result.llRounds) + ", packet "
                    + std::to_string(result.llRoundFrames) + ")";
            if (result.iRefused > 0)
                cs += ": " + std::to_string(result.iCount - result.iRefused) + " sent, "
                    + std::to_string(result.iRefused) + " refused";
            if (!csNotAimed.empty())
                cs += (result.iRefused > 0 ? ", " : ": ") + csNotAimed;
            return result.iRefused > 0 || !csNotAimed.empty() ? cs + csPointer : cs;
        }
        if (result.iRefused == 0 && csNotAimed.empty())
            return std::string();
        std::string cs = CountWords(static_cast<uint64_t>(result.iCount - result.iRefused),
                             "packet", "packets")
            + " sent";
        if (result.iRefused > 0)
            cs += ", " + std::to_string(result.iRefused) + " refused";
        if (!csNotAimed.empty())
            cs += ", " + csNotAimed;
        return cs + csPointer;
    }

} // namespace

std::string ListeningText(const SListenCounts& counts)
{
    char sz[96];
    std::snprintf(sz, sizeof sz, "Listening for answers: %d heard, %.1f s left", counts.iHeard,
        static_cast<double>(counts.left.count()) / 1000.0);
    return sz;
}

std::string NoAnswerHints(const SReplayRequest& request, const judge::SJudgement& judgement)
{
    std::vector<std::string> hints;
    const SAimOptions& aim = request.aim;
    if (judgement.nRoutedUnanswered > 0 && aim.route.eRoute == ERoute::Captured)
        hints.push_back(CountWords(judgement.nRoutedUnanswered, "unanswered request names",
                            "unanswered requests name")
            + " a remote network (DNET) as captured: with the device on the adapter's network "
              "try --route direct, behind the bench's router --route NET:ADDR");
    if (judgement.nBroadcastUnanswered > 0 && !aim.bAlsoBroadcasts)
        hints.push_back(CountWords(judgement.nBroadcastUnanswered, "unanswered request went",
                            "unanswered requests went")
            + " to a broadcast address, which the aim leaves as captured: "
            + (aim.bDstMac || aim.bDstIp ? "add --aim-broadcasts"
                                         : "aim at the device with --dst-mac and --dst-ip, "
                                           "and --aim-broadcasts"));
    // Nothing at all came back: the addresses may be another device's.
    if (judgement.nAnswered == 0 && judgement.nUnanswered > 0)
        hints.push_back(
            "nothing answered: Discover (--discover) lists the devices on the adapter's "
            "network and their addresses");
    std::string cs;
    for (const std::string& csHint : hints)
        cs += (cs.empty() ? "" : "; ") + csHint;
    return cs;
}

std::string ListenSummaryText(const SReplayResult& result, const SReplayRequest& request,
    const judge::SJudgement& judgement, const std::vector<SHeardFrame>* pHeard)
{
    const SListenResult& listen = result.listen;
    std::string cs
        = judge::SummaryText(static_cast<uint64_t>(result.iCount - result.iRefused), judgement);
    if (request.listen.bRequestsOnly || (request.listen.Conversing() && listen.llSkipped > 0))
        cs += "; " + CountWords(static_cast<uint64_t>(listen.llSkipped), "record", "records")
            + " skipped (not requests)";
    if (listen.nUnstamped > 0)
        cs += "; " + CountWords(listen.nUnstamped, "request", "requests")
            + " without a send time stamp (no round trip)";
    if (!listen.csGaveUp.empty())
        cs += "; " + CountWords(static_cast<uint64_t>(listen.llNotSent), "request", "requests")
            + " not sent (" + listen.csGaveUp + ")";
    for (const std::string& csTaken : listen.portsTaken)
        cs += "; " + csTaken;
    if (pHeard && judgement.nUnanswered > 0) {
        std::vector<judge::SJudgedFrame> heard;
        heard.reserve(pHeard->size());
        for (const SHeardFrame& h : *pHeard)
            heard.push_back({ 0, h.llNs, h.bytes });
        const std::string csClue = judge::AimClue(heard, judgement);
        if (!csClue.empty())
            cs += "; " + csClue;
    }
    const std::string csHints = NoAnswerHints(request, judgement);
    if (!csHints.empty())
        cs += "; " + csHints;
    return cs;
}

} // namespace velmora
