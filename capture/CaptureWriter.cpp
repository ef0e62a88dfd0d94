#include "capture/CaptureWriter.h"

#include "capture/OutputFile.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstring>

namespace velmora {

namespace {

    constexpr size_t kStreamBufferSize = 1 << 20;

} // namespace

CCaptureWriter::~CCaptureWriter()
{
    Close();
}

bool CCaptureWriter::Open(const std::string& csPath, uint32_t uSnapLen, bool bNano)
{
    Close();
    m_csError.clear();
    m_uRecords = 0;
    m_hDead = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, static_cast<int>(uSnapLen),
        bNano ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO);
    if (!m_hDead) {
        m_csError = "pcap_open_dead failed";
        return false;
    }
    m_pFile = OpenOutputFile(csPath);
    if (!m_pFile) {
        const int iErrno = errno;
        m_csError = "cannot create " + OutputErrorText(csPath, iErrno);
        Close();
        errno = iErrno;
        return false;
    }
    // The dump stream's default 4 KiB buffer makes big captures crawl.
    m_pBuffer = std::make_unique<char[]>(kStreamBufferSize);
    std::setvbuf(m_pFile, m_pBuffer.get(), _IOFBF, kStreamBufferSize);
    m_pDumper = pcap_dump_fopen(m_hDead, m_pFile);
    if (!m_pDumper) {
        m_csError = pcap_geterr(m_hDead);
        Close();
        return false;
    }
    return true;
}

bool CCaptureWriter::Write(
    const void* pData, uint32_t uCapLen, uint32_t uWireLen, uint32_t uSec, uint32_t uUsec)
{
    if (!m_pDumper)
        return false;
    pcap_pkthdr hdr {};
    hdr.ts.tv_sec = static_cast<time_t>(uSec);
    hdr.ts.tv_usec = static_cast<suseconds_t>(uUsec);
    hdr.caplen = uCapLen;
    hdr.len = uWireLen;
    static const u_char s_empty[1] = { 0 };
    pcap_dump(reinterpret_cast<u_char*>(m_pDumper), &hdr,
        pData ? static_cast<const u_char*>(pData) : s_empty);
    ++m_uRecords;
    return true;
}

bool CCaptureWriter::Write(const std::vector<uint8_t>& bytes, uint32_t uSec, uint32_t uUsec)
{
    const auto uSize = static_cast<uint32_t>(bytes.size());
    return Write(bytes.data(), uSize, uSize, uSec, uUsec);
}

bool CCaptureWriter::Close()
{
    bool bOk = m_csError.empty();
    if (m_pDumper) {
        // pcap_dump_close reports nothing, so look at the stream first.
        if (std::fflush(m_pFile) != 0 || std::ferror(m_pFile)) {
            m_csError = std::string("write failed: ") + std::strerror(errno);
            bOk = false;
        }
        pcap_dump_close(m_pDumper); // closes m_pFile too
        m_pDumper = nullptr;
        m_pFile = nullptr;
    } else if (m_pFile) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
    m_pBuffer.reset();
    if (m_hDead) {
        pcap_close(m_hDead);
        m_hDead = nullptr;
    }
    return bOk;
}

} // namespace velmora
