#include "Replay.h"

#include "Log.h"

#include <pcap/pcap.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kSnapLen = 65536;
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 1000;
constexpr size_t kCaptureStreamBuffer = 64 * 1024;
constexpr uint32_t kShortestFrame = 6;

std::chrono::milliseconds s_statusInterval { kStatusIntervalMs };

void ShowCount(IReplayWindow& window, int iCount)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "%d packets sent", iCount);
    window.SetStatusText(sz);
    window.PumpMessages();
}

// Closes the sink however the Send ends.
class CSinkCloser {
public:
    explicit CSinkCloser(IPacketSink& sink)
        : m_sink(sink)
    {
    }
    ~CSinkCloser() { m_sink.Close(); }
    CSinkCloser(const CSinkCloser&) = delete;
    CSinkCloser& operator=(const CSinkCloser&) = delete;

private:
    IPacketSink& m_sink;
};

// Steps 6 to 9: reads records and sends the chosen ones; the packet count.
int SendRecords(IReplayWindow& window, pcap_t* hCapture, int iMode, int iOffset, IPacketSink& sink)
{
    using Clock = std::chrono::steady_clock;
    // One open descriptor for the per-packet records instead of an open and close each.
    CDebugLogHold hold;
    long lIndex = 0;
    int iCount = 0;
    // The first packet shows at once, then the status follows the display's pace.
    Clock::time_point nextShow = Clock::time_point::min();
    bool bShowPending = false;
    for (;;) {
        pcap_pkthdr* pHeader = nullptr;
        const u_char* pData = nullptr;
        if (pcap_next_ex(hCapture, &pHeader, &pData) < 0)
            break;
        if (lIndex == iOffset || iMode == 1) {
            // The reader stores both time stamp fields as signed 32-bit values.
            DebugLog("[%03ld]  %ld:%ld (%ld)", lIndex,
                static_cast<long>(static_cast<int32_t>(pHeader->ts.tv_sec)),
                static_cast<long>(static_cast<int32_t>(pHeader->ts.tv_usec)),
                static_cast<long>(pHeader->len));
            // Straight from the reader's buffer: the bytes are the same as after
            // a copy into the send buffer, and a record longer than that buffer is
            // cut to it.
            const uint32_t uLength
                = pHeader->caplen < kSendBufferSize ? pHeader->caplen : kSendBufferSize;
            SendPacket(sink, pData, uLength);
            if (iCount < INT_MAX)
                ++iCount;
            const Clock::time_point now = Clock::now();
            if (now >= nextShow) {
                ShowCount(window, iCount);
                nextShow = now + s_statusInterval;
                bShowPending = false;
            } else {
                bShowPending = true;
            }
        }
        if (iMode != 1 && lIndex > iOffset)
            break;
        ++lIndex;
    }
    // The status always ends on the exact count.
    if (bShowPending)
        ShowCount(window, iCount);
    return iCount;
}

} // namespace

void SetStatusInterval(int iMs)
{
    s_statusInterval = std::chrono::milliseconds(iMs < 0 ? 0 : iMs);
}

CPcapSink::~CPcapSink()
{
    Close();
}

bool CPcapSink::Open(const std::string& csDeviceName, std::string& csError)
{
    Close();
    char szErrBuf[PCAP_ERRBUF_SIZE] = "";
    m_hAdapter
        = pcap_open_live(csDeviceName.c_str(), kSnapLen, kPromiscuous, kReadTimeoutMs, szErrBuf);
    if (!m_hAdapter)
        csError = szErrBuf;
    return m_hAdapter != nullptr;
}

bool CPcapSink::Transmit(const unsigned char* pData, uint32_t uLength)
{
    return m_hAdapter && pcap_sendpacket(m_hAdapter, pData, static_cast<int>(uLength)) == 0;
}

std::string CPcapSink::ErrorText()
{
    return m_hAdapter ? pcap_geterr(m_hAdapter) : "";
}

void CPcapSink::Close()
{
    if (m_hAdapter) {
        pcap_close(m_hAdapter);
        m_hAdapter = nullptr;
    }
}

CLocalCapture::CLocalCapture(pcap* hCapture, std::unique_ptr<char[]> pStreamBuffer)
    : m_hCapture(hCapture)
    , m_pStreamBuffer(std::move(pStreamBuffer))
{
}

CLocalCapture::~CLocalCapture()
{
    if (m_hCapture)
        pcap_close(m_hCapture); // closes the stream, which used m_pStreamBuffer
}

bool OpenSendDevice(IPacketSink& sink, const std::string& csSelectedDeviceName)
{
    std::string csError;
    if (sink.Open(csSelectedDeviceName, csError))
        return true;
    DebugLog("Err #849. pcap_open() csSelectedDeviceName=[%s] errbuf=[%s] ",
        csSelectedDeviceName.c_str(), csError.c_str());
    return false;
}

std::unique_ptr<CLocalCapture> OpenLocalDevice(const std::string& csPath)
{
    DebugLog("OpenLocalDevice File=[%s]", csPath.c_str());
    pcap_t* hCapture = nullptr;
    std::unique_ptr<char[]> pBuffer;
    // Non-blocking so that a FIFO or a device cannot hold the window; only a
    // regular file can be a capture.
    int fd = ::open(csPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st { };
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const int iFlags = ::fcntl(fd, F_GETFL);
        if (iFlags != -1)
            ::fcntl(fd, F_SETFL, iFlags & ~O_NONBLOCK);
        if (FILE* pFile = ::fdopen(fd, "rb")) {
            fd = -1; // the stream owns it now
            // glibc's default 4 KiB costs one read per big record.
            pBuffer = std::make_unique<char[]>(kCaptureStreamBuffer);
            std::setvbuf(pFile, pBuffer.get(), _IOFBF, kCaptureStreamBuffer);
            char szErrBuf[PCAP_ERRBUF_SIZE] = "";
            hCapture = pcap_fopen_offline(pFile, szErrBuf);
            if (!hCapture)
                std::fclose(pFile);
        }
    }
    if (fd >= 0)
        ::close(fd);
    if (!hCapture) {
        DebugLog("Error. Unable to open the file %s.", csPath.c_str());
        return nullptr;
    }
    return std::make_unique<CLocalCapture>(hCapture, std::move(pBuffer));
}

bool SendPacket(IPacketSink& sink, const unsigned char* pData, uint32_t uLength)
{
    if (!sink.IsOpen() || !pData || uLength < kShortestFrame)
        return false;
    if (sink.Transmit(pData, uLength))
        return true;
    DebugLog("Err. Can not send BACnet Eth packet iPacketSize=[%d] Error=[%s]",
        static_cast<int>(uLength), sink.ErrorText().c_str());
    return false;
}

int ReplayCapture(IReplayWindow& window, const std::string& csPath, int iMode, int iOffset,
    const std::string& csSelectedDeviceName, IPacketSink& sink)
{
    if (::access(csPath.c_str(), F_OK) != 0) {
        DebugLog("Error. Could not open file=[%s]", csPath.c_str());
        return -1;
    }
    CSinkCloser closer(sink);
    if (!OpenSendDevice(sink, csSelectedDeviceName)) {
        DebugLog("Error. Could not open send device");
        return -1;
    }
    std::unique_ptr<CLocalCapture> pCapture = OpenLocalDevice(csPath);
    if (!pCapture) {
        DebugLog("Error. Could not open local device");
        return -1;
    }
    window.EnableReplayControls(false);
    const int iCount = SendRecords(window, pCapture->Handle(), iMode, iOffset, sink);
    pCapture.reset();
    window.EnableReplayControls(true);
    return iCount;
}

void OnSendReplay(IReplayWindow& window, const std::string& csSelectedDeviceName, IPacketSink& sink)
{
    std::string csPath;
    int iMode = 0;
    int iOffset = 0;
    window.ReadReplayInputs(csPath, iMode, iOffset);
    const int iCount = ReplayCapture(window, csPath, iMode, iOffset, csSelectedDeviceName, sink);
    if (iCount >= 0)
        MessageAndLogOk("%d Packets have been sent", iCount);
}

void OnSendReplay(IReplayWindow& window, const std::string& csSelectedDeviceName)
{
    CPcapSink sink;
    OnSendReplay(window, csSelectedDeviceName, sink);
}
