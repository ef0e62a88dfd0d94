#include "session/ReplayWords.h"

#include "log/Log.h"

namespace velmora {

std::string ProgressText(const SReplayCounts& counts)
{
    std::string cs = std::to_string(counts.iHandled) + " packets sent";
    if (counts.llRound > 1)
        cs += " (round " + std::to_string(counts.llRound) + ")";
    if (counts.llWaitLeftMs >= 0)
        cs += std::string(counts.bPause ? ", next round in " : ", next packet in ")
            + std::to_string((counts.llWaitLeftMs + 999) / 1000) + " s";
    return cs;
}

std::string SentBoxText(int iCount)
{
    return std::to_string(iCount) + " Packets have been sent";
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

std::string ReplayStatusText(const SReplayResult& result, const std::string& csPath,
    const std::string& csDevice, const std::string& csPickHint)
{
    switch (result.eNotSent) {
    case ENotSent::None:
        break;
    case ENotSent::NoFile:
        return csPath.empty() ? "Not sent: no capture file chosen"
                              : "Not sent: " + csPath + " does not exist";
    case ENotSent::NoAccess:
        return "Not sent: no permission to read " + csPath;
    case ENotSent::NoAdapter:
        return "Not sent: " + AdapterSentence(result.eOpenError, csDevice, csPickHint);
    case ENotSent::NotCapture:
        return "Not sent: " + FileName(csPath) + " is not a capture file";
    }
    // A timed Send that was stopped, or whose duration ran out, says where.
    std::string csWhere;
    if (result.llRounds > 0 && result.bStopped)
        csWhere = std::string(result.bTimeUp ? "Time up" : "Stopped") + " in round "
            + std::to_string(result.llRounds) + " after its packet "
            + std::to_string(result.llRoundFrames) + ": ";
    if (result.iRefused == 0)
        return csWhere.empty() ? std::string()
                               : csWhere + std::to_string(result.iCount) + " packets sent";
    // Only refusals by the adapter leave a record; a debug log that is off has none.
    return csWhere + std::to_string(result.iCount - result.iRefused) + " packets sent, "
        + std::to_string(result.iRefused) + " refused"
        + (g_bDebug && result.iFailed > 0 ? " (see Debuglog.txt)" : "");
}

} // namespace velmora
