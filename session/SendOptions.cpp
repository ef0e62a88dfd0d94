#include "session/SendOptions.h"

#include <algorithm>

#include "session/CompareRules.h"
#include "session/SendWords.h"
#include "settings/SettingsFile.h"

#include <climits>
#include <cstdio>
#include <sys/stat.h>

namespace velmora {

namespace {

    constexpr const char* kAim = "Aim";
    constexpr const char* kTiming = "Timing";

    // The pace's names in the file.
    constexpr const char* kPaceNames[]
        = { "BackToBack", "Captured", "PacketsPerSecond", "MegabitsPerSecond" };

    // Each value that does not read, or is out of its limits, is its default;
    // a rate that is unusable leaves the Send back to back, as today's.
    void LoadTiming(const CSettingsFile& file, SPaceOptions& pace)
    {
        pace = SPaceOptions();
        const std::string csPace = file.GetString(kTiming, "Pace", "");
        for (int i = 0; i < 4; ++i)
            if (csPace == kPaceNames[i])
                pace.ePace = static_cast<EPace>(i);
        double d = 0;
        std::string csError;
        SPaceOptions probe;
        probe.ePace = EPace::Captured;
        if (ParsePaceNumber(file.GetString(kTiming, "Multiplier", ""), probe.dMultiplier)
            && CheckPaceOptions(probe, csError))
            pace.dMultiplier = probe.dMultiplier;
        if (pace.ePace == EPace::PacketsPerSecond || pace.ePace == EPace::MegabitsPerSecond) {
            probe = SPaceOptions();
            probe.ePace = pace.ePace;
            if (ParsePaceNumber(file.GetString(kTiming, "Rate", ""), probe.dRate)
                && CheckPaceOptions(probe, csError))
                pace.dRate = probe.dRate;
            else
                pace.ePace = EPace::BackToBack;
        }
        if (pace.ePace != EPace::Captured)
            pace.dMultiplier = 1;
        uint64_t u = 0;
        if (ParseWholeNumber(file.GetString(kTiming, "Rounds", ""), INT_MAX, u))
            pace.llLoops = static_cast<int64_t>(u);
        if (ParseWholeNumber(file.GetString(kTiming, "PauseMs", ""), kMaxLoopPauseMs, u))
            pace.llLoopPauseMs = static_cast<int64_t>(u);
        if (pace.llLoops == 1)
            pace.llLoopPauseMs = 0; // one round never waits for it
        if (ParsePaceNumber(file.GetString(kTiming, "DurationS", ""), d)
            && d <= kMaxDurationSeconds)
            pace.dDurationSeconds = d;
    }

    void SaveTiming(CSettingsFile& file, const SPaceOptions& pace)
    {
        file.SetString(kTiming, "Pace", kPaceNames[static_cast<int>(pace.ePace)], true);
        file.SetString(kTiming, "Multiplier", FormatPaceNumber(pace.dMultiplier), true);
        file.SetString(kTiming, "Rate", FormatPaceNumber(pace.dRate), true);
        file.SetString(kTiming, "Rounds", std::to_string(pace.llLoops), true);
        file.SetString(kTiming, "PauseMs", std::to_string(pace.llLoopPauseMs), true);
        file.SetString(kTiming, "DurationS", FormatPaceNumber(pace.dDurationSeconds), true);
    }
    constexpr const char* kListen = "Listen";

    // Conversing keys of [Listen]: a value out of its limits leaves the default.
    void LoadConverse(const CSettingsFile& file, SListenOptions& listen)
    {
        listen.converse = SConverseOptions();
        listen.bConverse = file.GetBool(kListen, "Converse", true);
        const std::pair<const char*, EConverseSetting> keys[] = {
            { "Window", EConverseSetting::Window },
            { "ApduTimeoutMs", EConverseSetting::ApduTimeout },
            { "Retries", EConverseSetting::Retries },
            { "GiveUp", EConverseSetting::GiveUp },
        };
        for (const auto& [szKey, eSetting] : keys)
            ParseConverseSetting(eSetting, file.GetString(kListen, szKey, ""), listen.converse);
    }

    // Written once they differ from the defaults; a file that has them keeps them up to date.
    void SaveConverse(CSettingsFile& file, const SListenOptions& listen)
    {
        const SListenOptions d;
        const bool bCreate = listen.bConverse != d.bConverse || !(listen.converse == d.converse);
        const SConverseOptions& c = listen.converse;
        file.SetBool(kListen, "Converse", listen.bConverse, bCreate);
        file.SetString(kListen, "Window", std::to_string(c.iWindow), bCreate);
        file.SetString(kListen, "ApduTimeoutMs", std::to_string(c.llApduTimeoutMs), bCreate);
        file.SetString(kListen, "Retries", std::to_string(c.iRetries), bCreate);
        file.SetString(kListen, "GiveUp", std::to_string(c.iGiveUp), bCreate);
    }

} // namespace

std::string ListenNotice(const SListenOptions& listen)
{
    std::string cs;
    if (listen.bListen) {
        cs = "Listening for answers until " + FormatWaitSeconds(listen.wait)
            + " s after the last frame";
        if (listen.bExpectCaptured)
            cs += ", expecting the captured answers";
        if (listen.bExpectCaptured && listen.eCompare == EAnswerCompare::Strict)
            cs += " (every value)";
        else if (listen.bExpectCaptured && listen.eCompare == EAnswerCompare::Kind)
            cs += " (their kind alone)";
    }
    if (listen.bRequestsOnly)
        cs += cs.empty() ? "Sending requests only" : ", requests only";
    return cs;
}

std::string FormatWaitSeconds(std::chrono::milliseconds wait)
{
    const long long llMs = wait.count();
    std::string cs = std::to_string(llMs / 1000);
    if (llMs % 1000 != 0) {
        char sz[8];
        std::snprintf(sz, sizeof sz, ".%03lld", llMs % 1000);
        std::string csFraction = sz;
        while (csFraction.back() == '0')
            csFraction.pop_back();
        cs += csFraction;
    }
    return cs;
}

bool ParseWaitSeconds(std::string_view sv, std::chrono::milliseconds& wait)
{
    const size_t nDot = sv.find('.');
    const std::string_view fraction
        = nDot == std::string_view::npos ? std::string_view() : sv.substr(nDot + 1);
    uint64_t uWhole = 0;
    uint64_t uFraction = 0;
    if (!ParseWholeNumber(sv.substr(0, nDot), kMaxListenWaitSeconds, uWhole) || fraction.size() > 3
        || (nDot != std::string_view::npos && !ParseWholeNumber(fraction, 999, uFraction)))
        return false;
    for (size_t i = fraction.size(); i < 3; ++i)
        uFraction *= 10;
    const uint64_t uMs = uWhole * 1000 + uFraction;
    if (uMs > kMaxListenWaitSeconds * 1000ULL)
        return false;
    wait = std::chrono::milliseconds(uMs);
    return true;
}

std::string SendOptionsPath(const std::string& csInstallDir)
{
    return csInstallDir + "/send-options.ini";
}

bool LoadSendOptions(const std::string& csPath, SSendOptions& options)
{
    options = SSendOptions();
    CSettingsFile file(csPath);
    if (!file.Load())
        return false;
    SAimOptions& aim = options.aim;
    const std::string csDstMac = file.GetString(kAim, "DstMac", "");
    aim.bDstMac = !csDstMac.empty() && ParseMac(csDstMac, aim.dstMac);
    aim.bAlsoBroadcasts = file.GetBool(kAim, "AlsoBroadcasts", false);
    if (!ParseMacSource(file.GetString(kAim, "SrcMac", ""), aim.eSrcMac, aim.srcMac))
        aim.eSrcMac = EAimSource::AsCaptured;
    const std::string csDstIp = file.GetString(kAim, "DstIp", "");
    aim.bDstIp = !csDstIp.empty() && ParseIpv4Endpoint(csDstIp, aim.dstIp, aim.uDstPort);
    if (!aim.bDstIp)
        aim.uDstPort = 0;
    if (!ParseIpSource(file.GetString(kAim, "SrcIp", ""), aim.eSrcIp, aim.srcIp, aim.uSrcPort)) {
        aim.eSrcIp = EAimSource::AsCaptured;
        aim.uSrcPort = 0;
    }
    if (!ParseRoute(file.GetString(kAim, "Route", "captured"), aim.route))
        aim.route = SRoute();
    // "207=1234,5=6": an entry that does not read is left out, the others kept.
    const std::string csDevices = file.GetString(kAim, "Devices", "");
    for (size_t nAt = 0; nAt < csDevices.size();) {
        size_t nEnd = csDevices.find(',', nAt);
        if (nEnd == std::string::npos)
            nEnd = csDevices.size();
        SDeviceMap map;
        if (ParseDeviceMap(csDevices.substr(nAt, nEnd - nAt), map)
            && std::none_of(aim.devices.begin(), aim.devices.end(),
                [&](const SDeviceMap& m) { return m.uOld == map.uOld; }))
            aim.devices.push_back(map);
        nAt = nEnd + 1;
    }
    options.bKeepChecksums = file.GetBool(kAim, "KeepChecksums", false);
    LoadTiming(file, options.pace);
    SListenOptions& listen = options.listen;
    listen.bListen = file.GetBool(kListen, "Listen", false);
    if (!ParseWaitSeconds(file.GetString(kListen, "Wait", ""), listen.wait))
        listen.wait = SListenOptions().wait;
    listen.bExpectCaptured = file.GetBool(kListen, "ExpectCaptured", false);
    listen.bRequestsOnly = file.GetBool(kListen, "RequestsOnly", false);
    if (!CompareFromWord(file.GetString(kListen, "Compare", ""), listen.eCompare))
        listen.eCompare = SListenOptions().eCompare;
    listen.csVolatileFile = file.GetString(kListen, "VolatileFile", "");
    LoadConverse(file, listen);
    return true;
}

bool SaveSendOptions(const std::string& csPath, const SSendOptions& options)
{
    struct stat st { };
    const bool bExists = ::stat(csPath.c_str(), &st) == 0;
    if (!bExists && options.IsDefault())
        return true;
    CSettingsFile file(csPath);
    file.Load(); // the other groups' sections and keys stay
    const SAimOptions& aim = options.aim;
    file.SetString(kAim, "DstMac", aim.bDstMac ? FormatMac(aim.dstMac) : "", true);
    file.SetBool(kAim, "AlsoBroadcasts", aim.bAlsoBroadcasts, true);
    file.SetString(kAim, "SrcMac", FormatMacSource(aim.eSrcMac, aim.srcMac), true);
    file.SetString(
        kAim, "DstIp", aim.bDstIp ? FormatIpv4Endpoint(aim.dstIp, aim.uDstPort) : "", true);
    file.SetString(kAim, "SrcIp", FormatIpSource(aim.eSrcIp, aim.srcIp, aim.uSrcPort), true);
    // Written once asked for, so that files of earlier versions gain no keys.
    const std::string csRoute
        = aim.route.eRoute == ERoute::Captured ? std::string() : FormatRoute(aim.route);
    file.SetString(kAim, "Route", csRoute, !csRoute.empty());
    std::string csDevices;
    for (const SDeviceMap& m : aim.devices)
        csDevices += (csDevices.empty() ? "" : ",") + FormatDeviceMap(m);
    file.SetString(kAim, "Devices", csDevices, !csDevices.empty());
    file.SetBool(kAim, "KeepChecksums", options.bKeepChecksums, options.bKeepChecksums);
    // A file made for another group gains no [Timing] while the timing is as today's.
    if (!(options.pace == SPaceOptions()) || file.SectionIndex(kTiming) >= 0)
        SaveTiming(file, options.pace);
    const SListenOptions& listen = options.listen;
    file.SetBool(kListen, "Listen", listen.bListen, true);
    file.SetString(kListen, "Wait", FormatWaitSeconds(listen.wait), true);
    file.SetBool(kListen, "ExpectCaptured", listen.bExpectCaptured, true);
    file.SetBool(kListen, "RequestsOnly", listen.bRequestsOnly, true);
    // Written once chosen, so that files of earlier versions gain no keys.
    const bool bCompare = listen.eCompare != EAnswerCompare::Values;
    file.SetString(kListen, "Compare", CompareWord(listen.eCompare), bCompare);
    file.SetString(kListen, "VolatileFile", listen.csVolatileFile, !listen.csVolatileFile.empty());
    SaveConverse(file, listen);
    return file.Save();
}

SReplayRequest MakeReplayRequest(const std::string& csPath, int iMode, int iOffset,
    const CRecordSelection* pSelection, const std::string& csAdapter, const SSendOptions& options)
{
    SReplayRequest request;
    request.csPath = csPath;
    if (pSelection) {
        request.eMode = EReplayMode::Selection;
        request.selection = *pSelection;
    } else {
        request.eMode = iMode == 1 ? EReplayMode::All : EReplayMode::Single;
        request.iOffset = iOffset;
    }
    request.csAdapter = csAdapter;
    request.aim = options.aim;
    request.pace = options.pace;
    request.listen = options.listen;
    request.bKeepChecksums = options.bKeepChecksums;
    return request;
}

} // namespace velmora
