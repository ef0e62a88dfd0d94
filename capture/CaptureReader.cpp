#include "capture/CaptureReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

    constexpr uint32_t kMicroMagic = 0xa1b2c3d4;
    constexpr uint32_t kNanoMagic = 0xa1b23c4d;
    constexpr size_t kRecordHeader = 16;
    constexpr uint32_t kEthernet = 1;

    uint32_t Get32(const uint8_t* p, bool bSwapped)
    {
        uint32_t u;
        std::memcpy(&u, p, sizeof u);
        return bSwapped ? __builtin_bswap32(u) : u;
    }

    uint16_t Get16(const uint8_t* p, bool bSwapped)
    {
        uint16_t u;
        std::memcpy(&u, p, sizeof u);
        return bSwapped ? __builtin_bswap16(u) : u;
    }

} // namespace

EPcapHeader ParsePcapFileHeader(const uint8_t* p, size_t nGot, SPcapFileHeader& header)
{
    if (nGot < 4)
        return EPcapHeader::NotPcap;
    const uint32_t uMagic = Get32(p, false);
    header.bSwapped
        = uMagic == __builtin_bswap32(kMicroMagic) || uMagic == __builtin_bswap32(kNanoMagic);
    if (!header.bSwapped && uMagic != kMicroMagic && uMagic != kNanoMagic)
        return EPcapHeader::NotPcap;
    header.bNano = (header.bSwapped ? __builtin_bswap32(uMagic) : uMagic) == kNanoMagic;
    if (nGot < kPcapFileHeaderSize)
        return EPcapHeader::Short;
    header.uMajor = Get16(p + 4, header.bSwapped);
    header.uMinor = Get16(p + 6, header.bSwapped);
    header.uSnapshot = Get32(p + 16, header.bSwapped);
    header.uLinkType = Get32(p + 20, header.bSwapped) & 0x03ffffff;
    return EPcapHeader::Ok;
}

std::unique_ptr<CPcapReader> CPcapReader::Open(
    int fd, bool bNano, size_t uBufferBytes, size_t uMapWindow)
{
    uint8_t bytes[kPcapFileHeaderSize];
    ssize_t n;
    while ((n = ::pread(fd, bytes, sizeof bytes, 0)) < 0 && errno == EINTR) { }
    SPcapFileHeader header;
    if (n < 0 || ParsePcapFileHeader(bytes, static_cast<size_t>(n), header) != EPcapHeader::Ok)
        return nullptr;
    const uint16_t uMajor = header.uMajor;
    const uint16_t uMinor = header.uMinor;
    const uint32_t uSnapshot = header.uSnapshot;
    if (header.uLinkType != kEthernet)
        return nullptr;
    ELengths eLengths = ELengths::Kept;
    if (uMajor == 2 && uMinor < 3)
        eLengths = ELengths::Swapped;
    else if (uMajor == 2 && uMinor == 3)
        eLengths = ELengths::MaybeSwapped;
    else if (uMajor == 543 && uMinor == 0)
        eLengths = ELengths::Swapped;
    else if (!(uMajor == 2 && uMinor == 4))
        return nullptr;
    struct stat st { };
    const bool bMap = uMapWindow > 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
        && st.st_size > static_cast<off_t>(kPcapFileHeaderSize);
    // A mapped reader reads nothing into its buffer.
    std::unique_ptr<CPcapReader> pReader(
        new CPcapReader(fd, bMap ? 0 : std::max<size_t>(uBufferBytes, kRecordHeader)));
    pReader->m_bSwapped = header.bSwapped;
    pReader->m_bNanoFile = header.bNano;
    pReader->m_bNano = bNano;
    pReader->m_eLengths = eLengths;
    // A snapshot length of 0, or past what a signed int holds, means the
    // longest record.
    pReader->m_uSnapshot = uSnapshot == 0 || uSnapshot > 0x7fffffff ? kLongestRecord : uSnapshot;
    pReader->m_llOffset = kPcapFileHeaderSize;
    if (bMap) {
        pReader->m_bMapping = true;
        pReader->m_llFileBytes = st.st_size;
        const size_t nPage = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        pReader->m_nWindowBytes = (uMapWindow + nPage - 1) / nPage * nPage;
        pReader->m_nBufferBytes = std::max<size_t>(uBufferBytes, kRecordHeader);
    }
    return pReader;
}

CPcapReader::CPcapReader(int fd, size_t uBufferBytes)
    : m_fd(fd)
    , m_buffer(uBufferBytes)
{
}

CPcapReader::~CPcapReader()
{
    Unmap();
    ::close(m_fd);
}

void CPcapReader::Unmap()
{
    if (m_pMap)
        ::munmap(m_pMap, m_nMapBytes);
    m_pMap = nullptr;
    m_nMapBytes = 0;
}

bool CPcapReader::HaveMapped(size_t nBytes)
{
    // The file's offset of the next unread byte; the window starts on the
    // page that holds it.
    const int64_t llAt = m_llOffset - static_cast<int64_t>(m_nEnd - m_nPos);
    const int64_t llPage = ::sysconf(_SC_PAGESIZE);
    const int64_t llStart = llAt / llPage * llPage;
    if (llAt + static_cast<int64_t>(nBytes) > m_llFileBytes) {
        // A file that grew since is read on as it is now.
        struct stat st { };
        if (::fstat(m_fd, &st) == 0 && st.st_size > m_llFileBytes)
            m_llFileBytes = st.st_size;
    }
    const int64_t llBytes
        = std::min<int64_t>(std::max<int64_t>(static_cast<int64_t>(m_nWindowBytes),
                                llAt - llStart + static_cast<int64_t>(nBytes)),
            m_llFileBytes - llStart);
    if (m_pMap && llStart + llBytes <= m_llOffset) {
        m_bEof = true; // nothing past this window
        return false;
    }
    if (m_beforeRefill && m_pMap)
        m_beforeRefill();
    Unmap();
    void* p = llBytes > 0 ? ::mmap(nullptr, static_cast<size_t>(llBytes), PROT_READ, MAP_SHARED,
                  m_fd, static_cast<off_t>(llStart))
                          : MAP_FAILED;
    if (p == MAP_FAILED) {
        // Read from here on, as without a map.
        m_bMapping = false;
        m_nPos = m_nEnd = 0;
        m_llOffset = llAt;
        m_buffer.resize(m_nBufferBytes);
        return Have(nBytes);
    }
    ::madvise(p, static_cast<size_t>(llBytes), MADV_SEQUENTIAL);
    ::madvise(p, static_cast<size_t>(llBytes), MADV_WILLNEED);
    m_pMap = static_cast<uint8_t*>(p);
    m_nMapBytes = static_cast<size_t>(llBytes);
    m_nPos = static_cast<size_t>(llAt - llStart);
    m_nEnd = m_nMapBytes;
    m_llOffset = llStart + llBytes;
    return m_nEnd - m_nPos >= nBytes;
}

bool CPcapReader::Have(size_t nBytes)
{
    if (m_nEnd - m_nPos >= nBytes)
        return true;
    if (m_bEof)
        return false;
    if (m_bMapping)
        return HaveMapped(nBytes);
    if (m_beforeRefill)
        m_beforeRefill();
    std::memmove(m_buffer.data(), m_buffer.data() + m_nPos, m_nEnd - m_nPos);
    m_nEnd -= m_nPos;
    m_nPos = 0;
    if (m_buffer.size() < nBytes)
        m_buffer.resize(nBytes);
    while (m_nEnd < m_buffer.size()) {
        const ssize_t n
            = ::pread(m_fd, m_buffer.data() + m_nEnd, m_buffer.size() - m_nEnd, m_llOffset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_bEof = true;
            m_bReadError = n < 0;
            break;
        }
        m_nEnd += static_cast<size_t>(n);
        m_llOffset += n;
    }
    return m_nEnd - m_nPos >= nBytes;
}

int CPcapReader::Next(SCaptureRecord& record)
{
    if (m_bBroken)
        return kBroken;
    if (!Have(kRecordHeader)) {
        // A file may end only between records.
        m_bBroken = m_bReadError || m_nEnd != m_nPos;
        return m_bBroken ? kBroken : kEnd;
    }
    const uint8_t* p = Bytes() + m_nPos;
    auto u32 = [&](size_t nAt) { return Get32(p + nAt, m_bSwapped); };
    // The time stamp fields are signed 32-bit values in the file, and libpcap
    // reads them so in the host's order; swapped, it takes them unsigned.
    record.llSec = m_bSwapped ? int64_t(u32(0)) : int64_t(static_cast<int32_t>(u32(0)));
    record.llFraction = m_bSwapped ? int64_t(u32(4)) : int64_t(static_cast<int32_t>(u32(4)));
    if (m_bNanoFile && !m_bNano)
        record.llFraction /= 1000;
    else if (!m_bNanoFile && m_bNano)
        record.llFraction *= 1000;
    uint32_t uCaptured = u32(8);
    uint32_t uWire = u32(12);
    if (m_eLengths == ELengths::Swapped
        || (m_eLengths == ELengths::MaybeSwapped && uCaptured > uWire))
        std::swap(uCaptured, uWire);
    if (uCaptured > kLongestRecord) {
        m_bBroken = true;
        return kBroken;
    }
    m_nPos += kRecordHeader;
    // A record longer than the file's snapshot length is read whole and cut to it.
    if (!Have(uCaptured)) {
        m_bBroken = true;
        return kBroken;
    }
    record.pData = Bytes() + m_nPos;
    record.uCaptured = std::min(uCaptured, m_uSnapshot);
    record.uWire = uWire;
    m_nPos += uCaptured;
    return kRecord;
}

} // namespace velmora
