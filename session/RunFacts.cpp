#include "session/RunFacts.h"

#include "session/CompareRules.h"
#include "session/ReplayWords.h"
#include "session/SendOptions.h"
#include "session/SendWords.h"

namespace velmora {

std::string VolatileProfileName(const SReplayRequest& request)
{
    const SListenOptions& listen = request.listen;
    std::string cs;
    switch (listen.eCompare) {
    case EAnswerCompare::Kind:
        return "none (the kind of answer only)";
    case EAnswerCompare::Strict:
        cs = "none (every value compared)";
        break;
    case EAnswerCompare::Values:
        cs = "built-in, and what the capture teaches";
        break;
    }
    if (!listen.csVolatileFile.empty())
        cs += ", with " + listen.csVolatileFile;
    return cs;
}

std::vector<SRunFact> RunFacts(const SReplayRequest& request, const std::string& csRig)
{
    std::vector<SRunFact> facts;
    if (!csRig.empty())
        facts.push_back({ "Rig", csRig });
    const SListenOptions& listen = request.listen;
    const SConverseOptions& c = listen.converse;
    if (listen.Conversing()) {
        facts.push_back({ "Conversation", "conversing as a client (fresh invoke IDs)" });
        facts.push_back({ "Window", std::to_string(c.iWindow) + " outstanding per device" });
        facts.push_back({ "APDU time-out", std::to_string(c.llApduTimeoutMs) + " ms" });
        facts.push_back({ "Retries", std::to_string(c.iRetries) });
        facts.push_back({ "Give up",
            c.iGiveUp == 0 ? std::string("never")
                           : "after " + std::to_string(c.iGiveUp) + " unanswered in a row" });
    } else {
        facts.push_back({ "Conversation", "open loop (no waiting for answers)" });
    }
    facts.push_back({ "Listening", FormatWaitSeconds(listen.wait) + " s after the last frame" });
    const std::string csPace = PaceSummary(request.pace);
    facts.push_back({ "Pace", csPace.empty() ? std::string("back to back, once") : csPace });
    const SAimOptions& aim = request.aim;
    std::string csAim = "as captured";
    if (aim.bDstMac || aim.bDstIp || aim.eSrcMac != EAimSource::AsCaptured
        || aim.eSrcIp != EAimSource::AsCaptured) {
        SAimOptions addresses = aim;
        addresses.route = SRoute();
        addresses.devices.clear();
        csAim = AimSummary(addresses);
    }
    facts.push_back({ "Aim", csAim });
    facts.push_back({ "Route", FormatRoute(aim.route) });
    std::string csMap;
    for (const SDeviceMap& m : aim.devices)
        csMap += (csMap.empty() ? "" : ", ") + FormatDeviceMap(m);
    facts.push_back({ "Device map", csMap.empty() ? std::string("none") : csMap });
    facts.push_back({ "Judged against",
        !listen.csExpectFile.empty() ? "the baseline " + listen.csExpectFile
            : listen.bExpectCaptured ? std::string("the captured answers")
                                     : std::string("nothing (answers heard only)") });
    facts.push_back({ "Compared", std::string(CompareWord(listen.eCompare)) });
    facts.push_back({ "Volatile profile", VolatileProfileName(request) });
    if (listen.bRequestsOnly)
        facts.push_back({ "Records", "requests only" });
    return facts;
}

} // namespace velmora
