#include "ReplayFakes.h"

#include "log/Log.h"
#include "session/ReplayWords.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace velmora;

namespace vtest {

void CFakeWindow::OnProgress(const SReplayCounts& counts)
{
    statusTexts.push_back(ProgressText(counts));
    ++iPumps;
    if (onPump)
        onPump();
}

namespace {

    SReplayResult RunAndReport(
        CFakeWindow& window, const SReplayRequest& request, IPacketSink* pSink)
    {
        const size_t nEnables = window.enableCalls.size();
        const SReplayResult result = pSink && window.pClock
            ? Replay(request, *pSink, window, *window.pClock)
            : pSink ? Replay(request, *pSink, window)
                    : Replay(request, window);
        if (window.enableCalls.size() > nEnables)
            window.enableCalls.push_back(true);
        const std::string csStatus = ReplayStatusText(result, request);
        if (!csStatus.empty())
            window.statusTexts.push_back(csStatus);
        if (!result.NotSent())
            MessageAndLogOk("%s", SentBoxText(result.iCount).c_str());
        return result;
    }

    SReplayRequest InputsOf(CFakeWindow& window, const std::string& csDevice)
    {
        ++window.iReads;
        SReplayRequest request;
        request.csPath = window.csPath;
        request.eMode = window.iMode == 1 ? EReplayMode::All : EReplayMode::Single;
        request.iOffset = window.iOffset;
        request.csAdapter = csDevice;
        request.pace = window.pace;
        request.listen.bRequestsOnly = window.bRequestsOnly;
        return request;
    }

} // namespace

SReplayResult SendReplay(CFakeWindow& window, const std::string& csDevice, IPacketSink& sink)
{
    return RunAndReport(window, InputsOf(window, csDevice), &sink);
}

SReplayResult SendReplay(CFakeWindow& window, const std::string& csDevice)
{
    return RunAndReport(window, InputsOf(window, csDevice), nullptr);
}

SReplayResult SendSelection(CFakeWindow& window, const std::string& csPath,
    const CRecordSelection& selection, const std::string& csDevice, IPacketSink& sink)
{
    SReplayRequest request;
    request.csPath = csPath;
    request.eMode = EReplayMode::Selection;
    request.selection = selection;
    request.csAdapter = csDevice;
    return RunAndReport(window, request, &sink);
}

bool CFakeSink::Open(const std::string& csDeviceName, std::string& csError)
{
    openedNames.push_back(csDeviceName);
    if (!bOpenOk) {
        csError = csOpenError;
        return false;
    }
    bOpen = true;
    return true;
}

bool CFakeSink::Transmit(const unsigned char* pData, uint32_t uLength)
{
    EXPECT_TRUE(bOpen);
    EXPECT_LE(uLength, kSendBufferSize);
    frames.emplace_back(pData, pData + uLength);
    if (onTransmit)
        onTransmit(frames.back());
    return !(failAt && failAt(frames.size() - 1));
}

void CScriptedEar::Hear(std::vector<SHeardFrame>& heard, int64_t llWaitNs)
{
    if (llWaitNs > 0 && (frames.empty() || frames.begin()->first > m_clock.llNow)) {
        int64_t llTo = m_clock.llNow + llWaitNs;
        if (!frames.empty())
            llTo = std::min(llTo, frames.begin()->first);
        m_clock.SleepUntil(llTo);
        ++iWaits;
    }
    while (!frames.empty() && frames.begin()->first <= m_clock.llNow) {
        SHeardFrame f;
        f.llNs = frames.begin()->first;
        f.bytes = frames.begin()->second;
        f.uWireLength = static_cast<uint32_t>(f.bytes.size());
        heard.push_back(std::move(f));
        frames.erase(frames.begin());
    }
}

void CFakeSink::Close()
{
    ++iCloses;
    bOpen = false;
}

CReplayFixtureBase::CReplayFixtureBase()
{
    ResetLogFile();
    ResetDebugLogFile();
}

std::vector<std::vector<uint8_t>> WriteFrames(
    const std::string& csPath, const std::vector<uint32_t>& sizes)
{
    std::vector<std::vector<uint8_t>> frames;
    CCaptureWriter writer;
    EXPECT_TRUE(writer.Open(csPath)) << writer.Error();
    for (size_t i = 0; i < sizes.size(); ++i) {
        frames.push_back(MakeTestFrame(sizes[i], static_cast<uint32_t>(i)));
        writer.Write(frames.back(), static_cast<uint32_t>(1000 + i), static_cast<uint32_t>(i * 10));
    }
    EXPECT_TRUE(writer.Close()) << writer.Error();
    return frames;
}

int OpenDescriptorCount()
{
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

} // namespace vtest
