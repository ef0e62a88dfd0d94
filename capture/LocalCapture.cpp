#include "capture/LocalCapture.h"

#include "log/Log.h"

#include <pcap/pcap.h>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

CLocalCapture::CLocalCapture(pcap* hCapture, std::unique_ptr<char[]> pStreamBuffer)
    : m_hCapture(hCapture)
    , m_pStreamBuffer(std::move(pStreamBuffer))
{
}

CLocalCapture::CLocalCapture(std::unique_ptr<CPcapReader> pReader)
    : m_pReader(std::move(pReader))
    , m_pHeader(std::make_unique<pcap_pkthdr>())
{
}

CLocalCapture::~CLocalCapture()
{
    if (m_hCapture)
        pcap_close(m_hCapture); // closes the stream, which used m_pStreamBuffer
    m_pReader.reset();
    if (m_onClose)
        m_onClose();
}

int CLocalCapture::Descriptor() const
{
    if (m_pReader)
        return m_pReader->Descriptor();
    std::FILE* pFile = pcap_file(m_hCapture);
    return pFile ? ::fileno(pFile) : -1;
}

int CLocalCapture::Next(const pcap_pkthdr*& pHeader, const unsigned char*& pData)
{
    if (!m_pReader) {
        pcap_pkthdr* pLibpcapHeader = nullptr;
        const int i = pcap_next_ex(m_hCapture, &pLibpcapHeader, &pData);
        pHeader = pLibpcapHeader;
        return i;
    }
    SCaptureRecord record;
    const int i = m_pReader->Next(record);
    if (i != CPcapReader::kRecord)
        return i;
    m_pHeader->ts.tv_sec = static_cast<time_t>(record.llSec);
    m_pHeader->ts.tv_usec = static_cast<suseconds_t>(record.llFraction);
    m_pHeader->caplen = record.uCaptured;
    m_pHeader->len = record.uWire;
    pHeader = m_pHeader.get();
    pData = record.pData;
    return 1;
}

int CLocalCapture::DataLink() const
{
    return m_pReader ? DLT_EN10MB : pcap_datalink(m_hCapture);
}

void CLocalCapture::SetBeforeRefill(std::function<void()> beforeRefill)
{
    if (m_pReader)
        m_pReader->SetBeforeRefill(std::move(beforeRefill));
}

// The capture through our reader (reading uBufferBytes at a time) or as a
// stream with our own buffer for libpcap; time stamps in nanoseconds when
// bNano (either kind of file is scaled). Nothing on failure.
namespace {

    std::atomic<uint64_t> s_uOpenings { 0 };

    // The capture on fd (a regular file, at its start), which it takes.
    std::unique_ptr<CLocalCapture> OpenCaptureOn(
        int fd, bool bNano, size_t uBufferBytes, size_t uMapWindow)
    {
        pcap_t* hCapture = nullptr;
        std::unique_ptr<char[]> pBuffer;
        if (std::unique_ptr<CPcapReader> pReader
            = CPcapReader::Open(fd, bNano, uBufferBytes, uMapWindow))
            return std::make_unique<CLocalCapture>(std::move(pReader));
        if (FILE* pFile = ::fdopen(fd, "rb")) {
            fd = -1; // the stream owns it now
            // glibc's default 4 KiB costs one read per big record.
            pBuffer = std::make_unique<char[]>(kCaptureStreamBuffer);
            std::setvbuf(pFile, pBuffer.get(), _IOFBF, kCaptureStreamBuffer);
            char szErrBuf[PCAP_ERRBUF_SIZE] = "";
            hCapture = pcap_fopen_offline_with_tstamp_precision(
                pFile, bNano ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO, szErrBuf);
            if (!hCapture)
                std::fclose(pFile);
        }
        if (fd >= 0)
            ::close(fd);
        if (!hCapture)
            return nullptr;
        return std::make_unique<CLocalCapture>(hCapture, std::move(pBuffer));
    }

} // namespace

// The capture through our reader (reading uBufferBytes at a time) or as a
// stream with our own buffer for libpcap; time stamps in nanoseconds when
// bNano (either kind of file is scaled). Nothing on failure.
std::unique_ptr<CLocalCapture> OpenCaptureStream(
    const std::string& csPath, bool bNano, size_t uBufferBytes, size_t uMapWindow)
{
    // Non-blocking so that a FIFO or a device cannot hold the window; only a
    // regular file can be a capture.
    CountCaptureOpening();
    const int fd = ::open(csPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st { };
    if (fd < 0)
        return nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    const int iFlags = ::fcntl(fd, F_GETFL);
    if (iFlags != -1)
        ::fcntl(fd, F_SETFL, iFlags & ~O_NONBLOCK);
    return OpenCaptureOn(fd, bNano, uBufferBytes, uMapWindow);
}

uint64_t CaptureOpenings()
{
    return s_uOpenings.load(std::memory_order_relaxed);
}

void CountCaptureOpening()
{
    s_uOpenings.fetch_add(1, std::memory_order_relaxed);
}

CCaptureReopener::CCaptureReopener(const std::string& csPath, const CLocalCapture& capture)
    : m_csPath(csPath)
{
    const int fd = capture.Descriptor();
    if (fd >= 0)
        m_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

CCaptureReopener::~CCaptureReopener()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::unique_ptr<CLocalCapture> CCaptureReopener::Open(
    bool bNano, size_t uBufferBytes, size_t uMapWindow) const
{
    struct stat held { };
    struct stat named { };
    const bool bSame = m_fd >= 0 && ::fstat(m_fd, &held) == 0
        && ::stat(m_csPath.c_str(), &named) == 0 && held.st_dev == named.st_dev
        && held.st_ino == named.st_ino && ::access(m_csPath.c_str(), R_OK) == 0;
    if (!bSame)
        return OpenCaptureStream(m_csPath, bNano, uBufferBytes, uMapWindow);
    const int fd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    // The duplicate shares the file position: libpcap's stream reads from
    // it, so the position the Send's own stream left goes back once done.
    const off_t llWas = ::lseek(fd, 0, SEEK_CUR);
    ::lseek(fd, 0, SEEK_SET);
    std::unique_ptr<CLocalCapture> pCapture = OpenCaptureOn(fd, bNano, uBufferBytes, uMapWindow);
    const int fdHeld = m_fd;
    if (pCapture && llWas >= 0)
        pCapture->SetOnClose([fdHeld, llWas] { ::lseek(fdHeld, llWas, SEEK_SET); });
    else if (llWas >= 0)
        ::lseek(fdHeld, llWas, SEEK_SET);
    return pCapture;
}

std::unique_ptr<CLocalCapture> OpenCaptureFile(const std::string& csPath, bool bWhole)
{
    DebugLog("OpenLocalDevice File=[%s]", csPath.c_str());
    std::unique_ptr<CLocalCapture> pCapture = OpenCaptureStream(csPath, false,
        bWhole ? kSendReadBuffer : kCaptureStreamBuffer, bWhole ? kSendMapWindow : 0);
    if (!pCapture)
        DebugLog("Error. Unable to open the file %s.", csPath.c_str());
    return pCapture;
}

} // namespace velmora
