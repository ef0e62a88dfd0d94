// Any bytes as a capture file, replayed in all mode and in single mode against
// a window and an adapter that only count: no crash, no hang, and never a frame
// longer than the send buffer handed to the sender.

#include "log/Log.h"
#include "replay/Replay.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace velmora;

namespace {

class CQuietObserver final : public IReplayObserver { };

class CCountingSink final : public IPacketSink {
public:
    bool Open(const std::string&, std::string&) override
    {
        m_bOpen = true;
        return true;
    }
    bool IsOpen() const override { return m_bOpen; }
    bool Transmit(const unsigned char* pData, uint32_t uLength) override
    {
        if (!m_bOpen || !pData || uLength < 6 || uLength > kSendBufferSize)
            __builtin_trap();
        // Touch both ends so that the sanitizers see a short buffer.
        m_uSum = m_uSum + pData[0] + pData[uLength - 1];
        // Every third frame fails, so the error path runs too.
        return ++m_uFrames % 3 != 0;
    }
    std::string ErrorText() override { return "send: fuzz"; }
    void Close() override { m_bOpen = false; }

private:
    bool m_bOpen = false;
    uint64_t m_uFrames = 0;
    volatile unsigned m_uSum = 0;
};

// The input lives in a memory file reachable by a path, as a capture must.
const std::string& CapturePath(int& fd)
{
    static int s_fd = memfd_create("replay_fuzz", MFD_CLOEXEC);
    static const std::string s_csPath = "/proc/self/fd/" + std::to_string(s_fd);
    fd = s_fd;
    return s_csPath;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    g_bDebug = false; // no debug log in the fuzzer's folder
    int fd = -1;
    const std::string& csPath = CapturePath(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0)
        return 0;
    if (nSize > 0 && pwrite(fd, pData, nSize, 0) != static_cast<ssize_t>(nSize))
        return 0;

    CQuietObserver observer;
    CCountingSink sink;
    SReplayRequest request;
    request.csPath = csPath;
    request.csAdapter = "fuzz0";
    const SReplayResult all = Replay(request, sink, observer);
    request.eMode = EReplayMode::Single;
    request.iOffset = static_cast<int>(nSize % 4);
    const SReplayResult one = Replay(request, sink, observer);
    const int iAll = all.NotSent() ? -1 : all.iCount;
    const int iOne = one.NotSent() ? -1 : one.iCount;
    // A file that opens for one Send opens for the other; single mode sends at most one.
    if ((iAll < 0) != (iOne < 0) || iOne > 1 || (iOne == 1 && iAll < 1))
        __builtin_trap();
    // Refused frames are among those counted.
    if (all.iRefused < 0 || all.iRefused > all.iCount || all.iFailed > all.iRefused)
        __builtin_trap();
    if (sink.IsOpen())
        __builtin_trap();
    return 0;
}
