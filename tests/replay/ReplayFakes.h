#pragma once

#include "FakeClock.h"
#include "TestSupport.h"
#include "replay/Gate.h"
#include "replay/Replay.h"
#include "tools/CaptureWriter.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vtest {

// What a running Send has been asked besides sending.
enum class EReplayStop { None, Stop, StopAndClose };

// A shell in miniature: holds the window's inputs, records what the Send
// reports, and ends a Send the way the main window does (SendReplay below).
class CFakeWindow final : public IReplayObserver {
public:
    void OnStart() override { enableCalls.push_back(false); }
    void OnProgress(const SReplayCounts& counts) override;
    bool StopRequested() override { return stop != EReplayStop::None; }
    std::chrono::milliseconds ProgressInterval() const override { return statusInterval; }

    std::string csPath;
    int iMode = 1; // 1 all, else the one at iOffset
    int iOffset = 0;
    SPaceOptions pace;
    int iReads = 0; // requests made from the inputs
    int iPumps = 0;
    std::vector<bool> enableCalls;
    std::vector<std::string> statusTexts;
    std::function<void()> onPump;
    EReplayStop stop = EReplayStop::None;
    std::chrono::milliseconds statusInterval { 0 }; // at every packet
    velmora::IClock* pClock = nullptr; // the Send's clock; null: the real one
    bool bRequestsOnly = false;
};

// A Send of the fake window's inputs, or of a selection, ended as the main
// window ends one: the controls back, the status sentence, then the box.
SReplayResult SendReplay(CFakeWindow& window, const std::string& csDevice, IPacketSink& sink);
SReplayResult SendReplay(CFakeWindow& window, const std::string& csDevice);
SReplayResult SendSelection(CFakeWindow& window, const std::string& csPath,
    const CRecordSelection& selection, const std::string& csDevice, IPacketSink& sink);

// Takes frames instead of an adapter.
class CFakeSink final : public IPacketSink {
public:
    bool Open(const std::string& csDeviceName, std::string& csError) override;
    ESendOpenError OpenError() const override { return bOpen ? ESendOpenError::None : eOpenError; }
    bool IsOpen() const override { return bOpen; }
    bool Transmit(const unsigned char* pData, uint32_t uLength) override;
    std::string ErrorText() override { return csSendError; }
    void Close() override;

    bool bOpenOk = true;
    std::string csOpenError = "no such adapter";
    ESendOpenError eOpenError = ESendOpenError::NoSuchDevice;
    std::string csSendError = "send: Message too long";
    // Decides by the frame's position (0 first) whether the transmission fails.
    std::function<bool(size_t)> failAt;
    std::function<void(const std::vector<uint8_t>&)> onTransmit;
    bool bOpen = false;
    std::vector<std::string> openedNames;
    int iCloses = 0;
    std::vector<std::vector<uint8_t>> frames;
};

// Frames heard at set times of a fake clock, for the conversation's gate: a
// wait moves the clock on to the next frame due, or by the whole wait.
class CScriptedEar final : public velmora::IGateEar {
public:
    explicit CScriptedEar(CFakeClock& clock)
        : m_clock(clock)
    {
    }
    void Hear(std::vector<SHeardFrame>& heard, int64_t llWaitNs) override;
    // A frame heard at llNs.
    void At(int64_t llNs, const std::vector<uint8_t>& frame) { frames.emplace(llNs, frame); }
    std::multimap<int64_t, std::vector<uint8_t>> frames; // not heard yet, by time
    int iWaits = 0; // Hear calls that moved the clock

private:
    CFakeClock& m_clock;
};

// The sandbox with fresh logs.
class CReplayFixtureBase : public CSandbox {
public:
    CReplayFixtureBase();

    std::string DebugLogBytes() const { return ReadFile(m_dir.File("Debuglog.txt")); }
    std::string MessageLogBytes() const { return ReadFile(m_dir.File("log.txt")); }
};

// Records with the given sizes, made by MakeTestFrame, time stamps 1000+i : i*10.
std::vector<std::vector<uint8_t>> WriteFrames(
    const std::string& csPath, const std::vector<uint32_t>& sizes);

// How many descriptors the process holds open.
int OpenDescriptorCount();

} // namespace vtest
