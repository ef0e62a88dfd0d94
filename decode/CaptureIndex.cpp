#include "decode/CaptureIndex.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::vdecode {

namespace {

    constexpr uint32_t kFileHeaderSize = 24;
    constexpr uint32_t kRecordHeaderSize = 16;
    // libpcap's reader refuses longer records for Ethernet (and most link types).
    constexpr uint32_t kMaxCapLen = 262144;
    // Offsets per block: 512 KiB each, so a million records take 16 blocks.
    constexpr uint64_t kBlockRecords = 65536;
    constexpr size_t kReadBufferSize = 1 << 20;

    uint32_t Get32(const uint8_t* p, bool bSwapped)
    {
        const uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8
            | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        return bSwapped ? __builtin_bswap32(u) : u;
    }

    uint16_t Get16(const uint8_t* p, bool bSwapped)
    {
        const uint16_t u = static_cast<uint16_t>(p[0] | p[1] << 8);
        return bSwapped ? __builtin_bswap16(u) : u;
    }

    // "1,204": record numbers as the window writes them.
    std::string Thousands(uint64_t u)
    {
        const std::string csDigits = std::to_string(u);
        std::string cs;
        for (size_t i = 0; i < csDigits.size(); ++i) {
            if (i > 0 && (csDigits.size() - i) % 3 == 0)
                cs += ',';
            cs += csDigits[i];
        }
        return cs;
    }

    // pread until n bytes or the end of the file; -1 on an error (errno set).
    ssize_t ReadAt(int fd, void* p, size_t n, uint64_t uOffset)
    {
        size_t nDone = 0;
        while (nDone < n) {
            const ssize_t r = pread(fd, static_cast<uint8_t*>(p) + nDone, n - nDone,
                static_cast<off_t>(uOffset + nDone));
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return -1;
            if (r == 0)
                break;
            nDone += static_cast<size_t>(r);
        }
        return static_cast<ssize_t>(nDone);
    }

} // namespace

CCaptureIndex::CCaptureIndex() = default;

CCaptureIndex::~CCaptureIndex()
{
    for (size_t i = 0; i < m_nBlocks; ++i)
        delete[] m_blocks[i].load(std::memory_order_relaxed);
    if (m_fd >= 0)
        close(m_fd);
}

bool CCaptureIndex::Fail(const std::string& csError)
{
    {
        std::lock_guard<std::mutex> lock(m_errorMutex);
        m_csError = csError;
    }
    return false;
}

std::string CCaptureIndex::Error() const
{
    std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_csError;
}

bool CCaptureIndex::Open(const std::string& csPath)
{
    if (m_eState.load() != EState::Closed || m_fd >= 0)
        return Fail("The capture index is already in use.");
    m_fd = open(csPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        return Fail("Cannot open " + csPath + ": " + std::strerror(errno) + ".");
    struct stat st { };
    if (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(m_fd);
        m_fd = -1;
        return Fail(csPath + " is not a file.");
    }
    m_uFileSize = static_cast<uint64_t>(st.st_size);
    auto Refuse = [this](const std::string& cs) {
        close(m_fd);
        m_fd = -1;
        return Fail(cs);
    };
    if (m_uFileSize == 0)
        return Refuse("The file is empty: it holds no capture.");

    uint8_t header[kFileHeaderSize] = {};
    const ssize_t nGot = ReadAt(m_fd, header, sizeof header, 0);
    if (nGot < 0)
        return Refuse(std::string("Cannot read the file: ") + std::strerror(errno) + ".");
    const uint32_t uMagic = Get32(header, false);
    bool bKnown = true;
    switch (uMagic) {
    case 0xa1b2c3d4:
        break;
    case 0xd4c3b2a1:
        m_bSwapped = true;
        break;
    case 0xa1b23c4d:
        m_bNano = true;
        break;
    case 0x4d3cb2a1:
        m_bSwapped = m_bNano = true;
        break;
    default:
        bKnown = false;
    }
    if (nGot >= 4 && uMagic == 0x0a0d0d0a)
        return Refuse("The file is a pcapng capture; only pcap captures can be listed "
                      "(save it in the pcap format).");
    if (nGot < 4 || !bKnown)
        return Refuse("The file is not a capture: it does not start like a pcap file.");
    if (nGot < static_cast<ssize_t>(kFileHeaderSize))
        return Refuse("The capture is cut short: its file header has " + std::to_string(nGot)
            + " of 24 bytes.");
    const uint16_t uMajor = Get16(header + 4, m_bSwapped);
    const uint16_t uMinor = Get16(header + 6, m_bSwapped);
    if (uMajor != 2)
        return Refuse("The capture's format version " + std::to_string(uMajor) + "."
            + std::to_string(uMinor) + " is not supported (only 2.x).");
    m_uSnapLen = Get32(header + 16, m_bSwapped);
    m_uLinkType = Get32(header + 20, m_bSwapped) & 0x03ffffff; // upper bits: FCS length

    // Every record takes at least its header: that bounds the blocks once, and
    // they are never moved while readers look at them.
    const uint64_t uMaxRecords = (m_uFileSize - kFileHeaderSize) / kRecordHeaderSize;
    m_nBlocks = static_cast<size_t>(uMaxRecords / kBlockRecords + 1);
    m_blocks = std::make_unique<std::atomic<uint64_t*>[]>(m_nBlocks);
    for (size_t i = 0; i < m_nBlocks; ++i)
        m_blocks[i].store(nullptr, std::memory_order_relaxed);
    m_uMaxRecords = uMaxRecords;
    // A small file needs no big buffer.
    m_buffer.resize(
        m_uFileSize < kReadBufferSize ? static_cast<size_t>(m_uFileSize) : kReadBufferSize);
    m_uBufferOffset = 0;
    m_nBufferLen = 0;
    m_uNextOffset = kFileHeaderSize;
    m_uBytesDone.store(kFileHeaderSize, std::memory_order_relaxed);
    m_eState.store(EState::Reading, std::memory_order_release);
    return true;
}

bool CCaptureIndex::Refill(uint64_t uOffset, size_t nNeed)
{
    if (uOffset >= m_uBufferOffset && uOffset + nNeed <= m_uBufferOffset + m_nBufferLen)
        return true;
    const ssize_t n = ReadAt(m_fd, m_buffer.data(), m_buffer.size(), uOffset);
    if (n < 0)
        return false;
    m_uBufferOffset = uOffset;
    m_nBufferLen = static_cast<size_t>(n);
    return true;
}

CCaptureIndex::EState CCaptureIndex::Step(size_t nMaxRecords)
{
    EState eState = m_eState.load(std::memory_order_acquire);
    if (eState != EState::Reading)
        return eState;
    uint64_t uCount = m_uCount.load(std::memory_order_relaxed);
    auto Finish = [&](EState e, const std::string& csError) {
        if (!csError.empty())
            Fail(csError);
        m_uCount.store(uCount, std::memory_order_release);
        m_uBytesDone.store(m_uNextOffset, std::memory_order_relaxed);
        m_eState.store(e, std::memory_order_release);
        return e;
    };
    for (size_t i = 0; i < nMaxRecords; ++i) {
        const uint64_t uOffset = m_uNextOffset;
        if (uOffset >= m_uFileSize)
            return Finish(EState::Done, "");
        const uint64_t uLeft = m_uFileSize - uOffset;
        const std::string csRecord = "record " + Thousands(uCount);
        if (uLeft < kRecordHeaderSize)
            return Finish(EState::Failed,
                "The capture is cut short: " + csRecord + " has " + std::to_string(uLeft)
                    + " of its 16 header bytes.");
        if (!Refill(uOffset, kRecordHeaderSize))
            return Finish(EState::Failed,
                "Reading the capture failed at " + csRecord + ": " + std::strerror(errno) + ".");
        if (uOffset + kRecordHeaderSize > m_uBufferOffset + m_nBufferLen)
            return Finish(EState::Failed,
                "The capture is cut short: the file shrank while it was read (" + csRecord + ").");
        const uint8_t* p = m_buffer.data() + (uOffset - m_uBufferOffset);
        const uint32_t uCapLen = Get32(p + 8, m_bSwapped);
        if (uCapLen > kMaxCapLen)
            return Finish(EState::Failed,
                "The capture is damaged at " + csRecord + ": it claims " + Thousands(uCapLen)
                    + " captured bytes (at most 262,144).");
        if (uLeft - kRecordHeaderSize < uCapLen)
            return Finish(EState::Failed,
                "The capture is cut short: " + csRecord + " has "
                    + Thousands(uLeft - kRecordHeaderSize) + " of its " + Thousands(uCapLen)
                    + " bytes.");
        const size_t nBlock = static_cast<size_t>(uCount / kBlockRecords);
        if (nBlock >= m_nBlocks) // cannot happen: every record has a header
            return Finish(EState::Failed, "The capture index is full.");
        uint64_t* pBlock = m_blocks[nBlock].load(std::memory_order_relaxed);
        if (!pBlock) {
            pBlock = new uint64_t[BlockSize(nBlock)];
            m_blocks[nBlock].store(pBlock, std::memory_order_release);
        }
        pBlock[uCount % kBlockRecords] = uOffset;
        if (uCount == 0) {
            const uint32_t uSec = Get32(p, m_bSwapped), uFrac = Get32(p + 4, m_bSwapped);
            m_llFirstTimeNs.store(static_cast<int64_t>(uSec) * 1000000000
                    + static_cast<int64_t>(uFrac) * (m_bNano ? 1 : 1000),
                std::memory_order_relaxed);
        }
        ++uCount;
        m_uNextOffset = uOffset + kRecordHeaderSize + uCapLen;
    }
    m_uCount.store(uCount, std::memory_order_release);
    m_uBytesDone.store(m_uNextOffset, std::memory_order_relaxed);
    if (m_uNextOffset >= m_uFileSize)
        return Finish(EState::Done, "");
    return EState::Reading;
}

CCaptureIndex::EState CCaptureIndex::Run(
    const std::atomic<bool>& bStop, const ProgressFn& onProgress)
{
    using Clock = std::chrono::steady_clock;
    auto tLast = Clock::now();
    // A small first step puts the first screenful on show at once.
    size_t nStep = 1024;
    bool bFirst = true;
    EState e = State();
    while (e == EState::Reading) {
        if (bStop.load(std::memory_order_relaxed)) {
            m_eState.store(EState::Stopped, std::memory_order_release);
            e = EState::Stopped;
            break;
        }
        e = Step(nStep);
        nStep = 65536;
        const auto tNow = Clock::now();
        if (onProgress && e == EState::Reading
            && (bFirst || tNow - tLast >= std::chrono::milliseconds(100))) {
            onProgress(Count(), BytesDone(), m_uFileSize);
            tLast = tNow;
        }
        bFirst = false;
    }
    if (onProgress)
        onProgress(Count(), BytesDone(), m_uFileSize);
    return e;
}

size_t CCaptureIndex::BlockSize(size_t nBlock) const
{
    // The last block holds only as many records as the file could still have.
    const uint64_t uLeft = m_uMaxRecords - nBlock * kBlockRecords;
    return static_cast<size_t>(uLeft < kBlockRecords ? uLeft : kBlockRecords);
}

uint64_t CCaptureIndex::IndexBytes() const
{
    uint64_t u = m_nBlocks * sizeof(std::atomic<uint64_t*>);
    for (size_t i = 0; i < m_nBlocks; ++i)
        if (m_blocks[i].load(std::memory_order_acquire))
            u += BlockSize(i) * sizeof(uint64_t);
    return u;
}

uint64_t CCaptureIndex::OffsetOf(uint64_t uIndex) const
{
    const uint64_t* pBlock
        = m_blocks[static_cast<size_t>(uIndex / kBlockRecords)].load(std::memory_order_acquire);
    return pBlock[uIndex % kBlockRecords];
}

bool CCaptureIndex::Read(uint64_t uIndex, SRecord& record) const
{
    if (uIndex >= Count())
        return false;
    const uint64_t uOffset = OffsetOf(uIndex);
    // One read brings the header and, for all but long records, the bytes too.
    uint8_t buf[kRecordHeaderSize + 1536];
    const ssize_t nGot = ReadAt(m_fd, buf, sizeof buf, uOffset);
    if (nGot < static_cast<ssize_t>(kRecordHeaderSize))
        return false;
    const uint32_t uSec = Get32(buf, m_bSwapped), uFrac = Get32(buf + 4, m_bSwapped);
    const uint32_t uCapLen = Get32(buf + 8, m_bSwapped);
    if (uCapLen > kMaxCapLen)
        return false; // the file changed since it was indexed
    // libpcap cuts a record above the snapshot length to it; so does the replay.
    const uint32_t uSnap = m_uSnapLen == 0 || m_uSnapLen > kMaxCapLen ? kMaxCapLen : m_uSnapLen;
    const uint32_t uKeep = uCapLen < uSnap ? uCapLen : uSnap;
    record.header.llTimeNs = static_cast<int64_t>(uSec) * 1000000000
        + static_cast<int64_t>(uFrac) * (m_bNano ? 1 : 1000);
    record.header.uCapLen = uKeep;
    record.header.uWireLen = Get32(buf + 12, m_bSwapped);
    const size_t nHave = static_cast<size_t>(nGot) - kRecordHeaderSize;
    if (uKeep <= nHave) {
        record.bytes.assign(buf + kRecordHeaderSize, buf + kRecordHeaderSize + uKeep);
        return true;
    }
    record.bytes.resize(uKeep);
    return ReadAt(m_fd, record.bytes.data(), uKeep, uOffset + kRecordHeaderSize)
        == static_cast<ssize_t>(uKeep);
}

SFrame CCaptureIndex::Frame(uint64_t uIndex, const SRecord& record) const
{
    SFrame frame;
    frame.pData = record.bytes.data();
    frame.header = record.header;
    frame.header.uCapLen = static_cast<uint32_t>(record.bytes.size());
    frame.uLinkType = m_uLinkType;
    frame.uNumber = uIndex;
    frame.llFirstTimeNs = FirstTimeNs();
    frame.bNanoResolution = m_bNano;
    return frame;
}

SRow DecodeRecord(const CCaptureIndex& index, uint64_t uIndex, std::vector<SField>* pTree,
    std::vector<uint8_t>* pBytes)
{
    SRecord record;
    if (!index.Read(uIndex, record)) {
        SRow row;
        row.uNumber = uIndex;
        row.bNanoResolution = index.NanoResolution();
        row.csInfo = "the record cannot be read: the file changed since it was opened [malformed]";
        row.bMalformed = true;
        if (pTree)
            pTree->clear();
        if (pBytes)
            pBytes->clear();
        return row;
    }
    const SFrame frame = index.Frame(uIndex, record);
    SRow row = pTree ? DecodeTree(frame, pTree) : DecodeRow(frame);
    if (pBytes)
        *pBytes = std::move(record.bytes);
    return row;
}

} // namespace velmora::vdecode
