#include "ReplayFakes.h"

#include "log/Log.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace velmora;

namespace vtest {

void CFakeWindow::ReadReplayInputs(std::string& csPathOut, int& iModeOut, int& iOffsetOut)
{
    ++iReads;
    csPathOut = csPath;
    iModeOut = iMode;
    iOffsetOut = iOffset;
}

void CFakeWindow::PumpMessages()
{
    ++iPumps;
    if (onPump)
        onPump();
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
