#include "Replay.h"

#include "Log.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr int kSnapLen = 65536;
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 1000;
constexpr size_t kCaptureStreamBuffer = 64 * 1024;
constexpr uint32_t kShortestFrame = 6;

std::chrono::milliseconds s_statusInterval { kStatusIntervalMs };

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx"))) void ZeroUpperAvx() { _mm256_zeroupper(); }
#endif

// On processors with VAES, Qt's string hashing (called while the window
// paints) returns with the upper halves of the AVX registers in use. Until
// they are cleared every SSE instruction pays a transition penalty, and
// libpcap's reader then runs three times slower. So the loop clears them after
// every call into the window.
void ClearUpperVectorState()
{
#if defined(__x86_64__) || defined(__i386__)
    static const bool bAvx = __builtin_cpu_supports("avx");
    if (bAvx)
        ZeroUpperAvx();
#endif
}

void ShowCount(IReplayWindow& window, int iCount)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "%d packets sent", iCount);
    window.SetStatusText(sz);
    window.PumpMessages();
    ClearUpperVectorState();
}

// "[%03ld]  %ld:%ld (%ld)", made by hand: printf's parsing costs as much as
// the write, and this record is made once per packet.
void LogPacketRecord(long lIndex, long lSec, long lUsec, long lWireLen)
{
    char sz[96];
    char* p = sz;
    char* const end = sz + sizeof sz;
    *p++ = '[';
    char szIndex[24];
    const auto index = std::to_chars(szIndex, szIndex + sizeof szIndex, lIndex);
    for (long lDigits = index.ptr - szIndex; lIndex >= 0 && lDigits < 3; ++lDigits)
        *p++ = '0';
    p = std::copy(szIndex, index.ptr, p);
    *p++ = ']';
    *p++ = ' ';
    *p++ = ' ';
    p = std::to_chars(p, end, lSec).ptr;
    *p++ = ':';
    p = std::to_chars(p, end, lUsec).ptr;
    *p++ = ' ';
    *p++ = '(';
    p = std::to_chars(p, end, lWireLen).ptr;
    *p++ = ')';
    DebugLogPlain(std::string_view(sz, static_cast<size_t>(p - sz)));
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

// The display's pace needs no better than a few milliseconds, and this clock
// costs a fraction of steady_clock.
struct CCoarseClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<CCoarseClock>;
    static constexpr bool is_steady = true;
    static time_point now()
    {
        timespec ts {};
        clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
        return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
    }
};

// Reads the records and sends the chosen ones (by mode and offset, or the
// sorted pSelection when there is one); gives the packet count.
int SendRecords(IReplayWindow& window, pcap_t* hCapture, int iMode, int iOffset,
    const CRecordSelection* pSelection, IPacketSink& sink)
{
    using Clock = CCoarseClock;
    // One open descriptor for the per-packet records instead of an open and close each.
    CDebugLogHold hold;
    long lIndex = 0;
    int iCount = 0;
    // The first packet shows at once, then the status follows the display's pace.
    Clock::time_point nextShow = Clock::time_point::min();
    const bool bEveryPacket = s_statusInterval.count() == 0;
    bool bShowPending = false;
    // Disabling the controls has just called into the window.
    ClearUpperVectorState();
    size_t nNextChosen = 0; // in *pSelection
    for (;;) {
        if (pSelection && nNextChosen == pSelection->size())
            break;
        pcap_pkthdr* pHeader = nullptr;
        const u_char* pData = nullptr;
        if (pcap_next_ex(hCapture, &pHeader, &pData) < 0)
            break;
        const bool bChosen = pSelection
            ? (*pSelection)[nNextChosen] == static_cast<uint64_t>(lIndex)
            : lIndex == iOffset || iMode == 1;
        if (bChosen) {
            if (pSelection)
                ++nNextChosen;
            // The reader stores both time stamp fields as signed 32-bit values.
            if (g_bDebug)
                LogPacketRecord(lIndex, static_cast<int32_t>(pHeader->ts.tv_sec),
                    static_cast<int32_t>(pHeader->ts.tv_usec), static_cast<long>(pHeader->len));
            // Straight from the reader's buffer: the bytes are the same as after
            // a copy into the send buffer, and a record longer than that buffer is
            // cut to it.
            const uint32_t uLength
                = pHeader->caplen < kSendBufferSize ? pHeader->caplen : kSendBufferSize;
            SendPacket(sink, pData, uLength);
            if (iCount < INT_MAX)
                ++iCount;
            // Even a coarse clock read is a few percent of a small frame's send:
            // look at it every 32nd packet (tens of microseconds apart).
            bShowPending = true;
            if (bEveryPacket || (iCount & 31) == 1) {
                const Clock::time_point now = Clock::now();
                if (now >= nextShow) {
                    ShowCount(window, iCount);
                    nextShow = now + s_statusInterval;
                    bShowPending = false;
                }
            }
        }
        if (!pSelection && iMode != 1 && lIndex > iOffset)
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

namespace {

// The adapter's descriptor when it is a raw packet socket on Ethernet, the only
// kind we send on directly; -1 for everything else (the "any" device, netlink,
// D-Bus, USB and Bluetooth monitors), which keeps to libpcap's own injection.
int DirectSendSocket(pcap* hAdapter)
{
    const int fd = pcap_fileno(hAdapter);
    if (fd < 0 || pcap_datalink(hAdapter) != DLT_EN10MB)
        return -1;
    int iDomain = 0, iType = 0;
    socklen_t n = sizeof iDomain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &iDomain, &n) != 0 || iDomain != AF_PACKET)
        return -1;
    n = sizeof iType;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &iType, &n) != 0 || iType != SOCK_RAW)
        return -1;
    return fd;
}

} // namespace

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
    m_iFd = m_hAdapter ? DirectSendSocket(m_hAdapter) : -1;
    return m_hAdapter != nullptr;
}

bool CPcapSink::Transmit(const unsigned char* pData, uint32_t uLength)
{
    if (!m_hAdapter)
        return false;
    // On an Ethernet packet socket pcap_sendpacket is a plain send(); making
    // the system call ourselves spares glibc's cancellation wrapper, a few
    // percent of a small frame. A refused frame goes through libpcap once more,
    // so that the error text is libpcap's own.
    if (m_iFd >= 0
        && syscall(SYS_sendto, m_iFd, pData, static_cast<size_t>(uLength), 0, nullptr, 0) >= 0)
        return true;
    return pcap_sendpacket(m_hAdapter, pData, static_cast<int>(uLength)) == 0;
}

std::string CPcapSink::ErrorText()
{
    return m_hAdapter ? pcap_geterr(m_hAdapter) : "";
}

namespace {

// Closing a packet socket waits for the kernel's grace periods (about 25 ms
// here), which nobody needs to wait for. The close runs on a thread of its own
// that the next close, or the end of the program, joins.
class CAdapterCloser {
public:
    ~CAdapterCloser() { Join(); }
    void Close(pcap* hAdapter)
    {
        Join();
        try {
            m_thread = std::thread([hAdapter] { pcap_close(hAdapter); });
        } catch (const std::system_error&) {
            pcap_close(hAdapter);
        }
    }
    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
};

CAdapterCloser s_adapterCloser;

} // namespace

void CPcapSink::Close()
{
    if (m_hAdapter) {
        s_adapterCloser.Close(m_hAdapter);
        m_hAdapter = nullptr;
    }
}

void WaitForAdapterClose() { s_adapterCloser.Join(); }

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

namespace {

int ReplayRecords(IReplayWindow& window, const std::string& csPath, int iMode, int iOffset,
    const CRecordSelection* pSelection, const std::string& csSelectedDeviceName, IPacketSink& sink)
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
    const int iCount = SendRecords(window, pCapture->Handle(), iMode, iOffset, pSelection, sink);
    pCapture.reset();
    window.EnableReplayControls(true);
    return iCount;
}

} // namespace

int ReplayCapture(IReplayWindow& window, const std::string& csPath, int iMode, int iOffset,
    const std::string& csSelectedDeviceName, IPacketSink& sink)
{
    return ReplayRecords(window, csPath, iMode, iOffset, nullptr, csSelectedDeviceName, sink);
}

int ReplayCapture(IReplayWindow& window, const std::string& csPath,
    const CRecordSelection& selection, const std::string& csSelectedDeviceName, IPacketSink& sink)
{
    CRecordSelection sorted(selection);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    return ReplayRecords(window, csPath, 1, 0, &sorted, csSelectedDeviceName, sink);
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

void OnSendSelection(IReplayWindow& window, const std::string& csPath,
    const CRecordSelection& selection, const std::string& csSelectedDeviceName, IPacketSink& sink)
{
    const int iCount = ReplayCapture(window, csPath, selection, csSelectedDeviceName, sink);
    if (iCount >= 0)
        MessageAndLogOk("%d Packets have been sent", iCount);
}

void OnSendSelection(IReplayWindow& window, const std::string& csPath,
    const CRecordSelection& selection, const std::string& csSelectedDeviceName)
{
    CPcapSink sink;
    OnSendSelection(window, csPath, selection, csSelectedDeviceName, sink);
}

void OnSendReplay(IReplayWindow& window, const std::string& csSelectedDeviceName)
{
    CPcapSink sink;
    OnSendReplay(window, csSelectedDeviceName, sink);
}
