#include "session/Discover.h"

#include "capture/CaptureWriter.h"
#include "session/ReplayWords.h"
#include "session/SendOptions.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace velmora {

SReplayRequest DiscoveryRequest(const std::string& csCapture, const std::string& csAdapter,
    std::chrono::milliseconds wait, const SAimOptions* pSource)
{
    SReplayRequest request;
    request.csPath = csCapture;
    request.eMode = EReplayMode::All;
    request.csAdapter = csAdapter;
    // From the adapter's own addresses, so that the I-Am comes back to it.
    request.aim.eSrcMac = EAimSource::Adapter;
    request.aim.eSrcIp = EAimSource::Adapter;
    if (pSource && pSource->eSrcMac != EAimSource::AsCaptured) {
        request.aim.eSrcMac = pSource->eSrcMac;
        request.aim.srcMac = pSource->srcMac;
    }
    if (pSource && pSource->eSrcIp != EAimSource::AsCaptured) {
        request.aim.eSrcIp = pSource->eSrcIp;
        request.aim.srcIp = pSource->srcIp;
        request.aim.uSrcPort = pSource->uSrcPort;
    }
    request.listen.bListen = true;
    request.listen.bConverse = false; // a Who-Is waits for nobody
    request.listen.wait = wait;
    return request;
}

SDiscovery Discover(const std::string& csAdapter, std::chrono::milliseconds wait,
    IReplayObserver& observer, const SAimOptions* pSource)
{
    SDiscovery discovery;
    const char* szTmp = std::getenv("TMPDIR");
    std::string csPath = std::string(szTmp && *szTmp ? szTmp : "/tmp") + "/velmora-who-is-XXXXXX";
    const int fd = ::mkstemp(csPath.data());
    if (fd < 0) {
        discovery.csError = "no file for the Who-Is in " + csPath.substr(0, csPath.rfind('/'));
        discovery.result.eNotSent = ENotSent::NoFile;
        return discovery;
    }
    ::close(fd);
    CCaptureWriter writer;
    if (!writer.Open(csPath) || !writer.Write(judge::WhoIsFrame()) || !writer.Close()) {
        std::remove(csPath.c_str());
        discovery.csError = "the Who-Is could not be written to " + csPath;
        discovery.result.eNotSent = ENotSent::NoFile;
        return discovery;
    }
    const SReplayRequest request = DiscoveryRequest(csPath, csAdapter, wait, pSource);
    discovery.result = Replay(request, observer);
    std::remove(csPath.c_str());
    if (discovery.result.NotSent()) {
        discovery.csError = ReplayStatusText(discovery.result, request);
        return discovery;
    }
    std::vector<std::vector<uint8_t>> frames;
    frames.reserve(discovery.result.listen.heard.size());
    for (const SHeardFrame& f : discovery.result.listen.heard)
        frames.push_back(f.bytes);
    discovery.devices = judge::DiscoveredDevices(frames);
    return discovery;
}

std::string DiscoverySummary(const SDiscovery& discovery, std::chrono::milliseconds wait)
{
    if (!discovery.csError.empty())
        return discovery.csError;
    if (discovery.devices.empty())
        return "no device answered the Who-Is within " + FormatWaitSeconds(wait) + " s";
    return CountWords(discovery.devices.size(), "device", "devices") + " answered the Who-Is";
}

} // namespace velmora
