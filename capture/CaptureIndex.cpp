#include "capture/CaptureIndex.h"

#include "capture/CaptureReader.h"
#include "capture/LocalCapture.h"
#include "decode/Thousands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::dissect {

namespace {

    constexpr uint32_t kFileHeaderSize = kPcapFileHeaderSize;
    constexpr uint32_t kRecordHeaderSize = 16;
    // Entries per block: 512 KiB each, so a million records take 16 blocks.
    constexpr uint64_t kBlockRecords = 65536;
    constexpr size_t kReadBufferSize = 1 << 20;

    // pcapng block types and sizes.
    constexpr uint32_t kBlockSection = 0x0a0d0d0a;
    constexpr uint32_t kBlockInterface = 1;
    constexpr uint32_t kBlockPacketObsolete = 2;
    constexpr uint32_t kBlockSimplePacket = 3;
    constexpr uint32_t kBlockEnhancedPacket = 6;
    constexpr uint32_t kByteOrderMagic = 0x1a2b3c4d;
    constexpr uint32_t kMinBlock = 12; // type, length, trailer
    constexpr uint32_t kMinSection = 28;
    constexpr uint32_t kMinInterface = 20;
    constexpr uint32_t kPacketHeader = 28; // Enhanced and obsolete Packet Blocks
    constexpr uint32_t kSimpleHeader = 12;
    // libpcap refuses longer blocks.
    constexpr uint32_t kMaxBlock = 16 * 1024 * 1024;
    // The entry's upper 16 bits name the interface.
    constexpr int kInterfaceShift = 48;
    constexpr uint64_t kOffsetMask = (uint64_t { 1 } << kInterfaceShift) - 1;
    constexpr uint32_t kMaxInterfaces = 65535;

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

    uint64_t Get64(const uint8_t* p, bool bSwapped)
    {
        uint64_t u = 0;
        for (int i = 7; i >= 0; --i)
            u = u << 8 | p[i];
        return bSwapped ? __builtin_bswap64(u) : u;
    }

    // What libpcap makes of a snapshot length: none or too large is the most it reads.
    uint32_t AdjustedSnapLen(uint32_t uSnapLen)
    {
        return uSnapLen == 0 || uSnapLen > kLongestRecord ? kLongestRecord : uSnapLen;
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

    std::string AtByte(uint64_t uOffset)
    {
        return "byte " + Thousands(uOffset);
    }

    bool IsPacketBlock(uint32_t uType)
    {
        return uType == kBlockEnhancedPacket || uType == kBlockSimplePacket
            || uType == kBlockPacketObsolete;
    }

} // namespace

int64_t TimeStampNs(uint64_t uUnits, uint8_t uResolution, bool bBinary, int64_t llOffsetSec)
{
    __int128 ns;
    if (bBinary) {
        ns = (static_cast<__int128>(uUnits) * 1000000000) >> uResolution;
    } else {
        __int128 scale = 1;
        for (int i = uResolution; i < 9; ++i)
            scale *= 10;
        ns = static_cast<__int128>(uUnits) * scale;
        for (int i = 9; i < uResolution; ++i)
            ns /= 10;
    }
    ns += static_cast<__int128>(llOffsetSec) * 1000000000;
    if (ns > INT64_MAX)
        return INT64_MAX;
    if (ns < INT64_MIN)
        return INT64_MIN;
    return static_cast<int64_t>(ns);
}

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

std::string CCaptureIndex::SendLimitNote() const
{
    std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_csSendLimit;
}

void CCaptureIndex::LimitSend(uint64_t uRecord, const std::string& csWhy)
{
    if (SendLimit() != UINT64_MAX)
        return;
    {
        std::lock_guard<std::mutex> lock(m_errorMutex);
        m_csSendLimit = "Send stops before record " + Thousands(uRecord) + ": " + csWhy;
    }
    m_uSendLimit.store(uRecord, std::memory_order_release);
}

uint32_t CCaptureIndex::InterfaceCount() const
{
    std::lock_guard<std::mutex> lock(m_interfaceMutex);
    return static_cast<uint32_t>(m_interfaces.size());
}

SCaptureInterface CCaptureIndex::Interface(uint32_t uInterface) const
{
    std::lock_guard<std::mutex> lock(m_interfaceMutex);
    return uInterface < m_interfaces.size() ? m_interfaces[uInterface] : SCaptureInterface {};
}

std::string CCaptureIndex::InterfaceLabel(uint32_t uInterface) const
{
    std::lock_guard<std::mutex> lock(m_interfaceMutex);
    if (uInterface >= m_interfaces.size())
        return "";
    const SCaptureInterface& i = m_interfaces[uInterface];
    if (!i.csName.empty())
        return i.csName;
    std::string cs = "interface " + std::to_string(i.uId);
    if (m_uSections > 1)
        cs += " of section " + std::to_string(i.uSection + 1);
    return cs;
}

uint32_t CCaptureIndex::LinkType() const
{
    return Interface(0).uLinkType;
}

bool CCaptureIndex::NanoResolution() const
{
    const SCaptureInterface i = Interface(0);
    return i.bBinaryResolution ? i.uResolution >= 20 : i.uResolution > 6;
}

uint32_t CCaptureIndex::SnapLen() const
{
    return Interface(0).uSnapLen;
}

CCaptureIndex::SClock CCaptureIndex::ClockOf(uint32_t uInterface) const
{
    std::lock_guard<std::mutex> lock(m_interfaceMutex);
    SClock clock;
    if (uInterface < m_interfaces.size()) {
        const SCaptureInterface& i = m_interfaces[uInterface];
        clock.uLinkType = i.uLinkType;
        clock.uSnapLen = i.uSnapLen;
        clock.uResolution = i.uResolution;
        clock.bBinaryResolution = i.bBinaryResolution;
        clock.bSwapped = i.bSwapped;
        clock.llOffsetSec = i.llOffsetSec;
    }
    return clock;
}

bool CCaptureIndex::Open(const std::string& csPath)
{
    if (m_eState.load() != EState::Closed || m_fd >= 0)
        return Fail("The capture index is already in use.");
    // Non-blocking: a FIFO without a writer or a device must not hold the
    // caller (the window's thread) in open(); only a regular file is read.
    CountCaptureOpening();
    m_fd = open(csPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

    uint8_t header[kMinSection] = {};
    const ssize_t nGot = ReadAt(m_fd, header, sizeof header, 0);
    if (nGot < 0)
        return Refuse(std::string("Cannot read the file: ") + std::strerror(errno) + ".");
    const uint32_t uMagic = Get32(header, false);
    if (nGot >= 4 && uMagic == kBlockSection) {
        if (!OpenPcapng(header, static_cast<size_t>(nGot))) {
            close(m_fd);
            m_fd = -1;
            return false;
        }
    } else {
        SCaptureInterface i;
        SPcapFileHeader pcap;
        const EPcapHeader eHeader = ParsePcapFileHeader(header, static_cast<size_t>(nGot), pcap);
        if (eHeader == EPcapHeader::NotPcap)
            return Refuse(
                "The file is not a capture: it does not start like a pcap or pcapng file.");
        if (eHeader == EPcapHeader::Short)
            return Refuse("The capture is cut short: its file header has " + std::to_string(nGot)
                + " of 24 bytes.");
        i.bSwapped = pcap.bSwapped;
        i.uResolution = pcap.bNano ? 9 : 6;
        const uint16_t uMajor = pcap.uMajor;
        const uint16_t uMinor = pcap.uMinor;
        if (uMajor != 2)
            return Refuse("The capture's format version " + std::to_string(uMajor) + "."
                + std::to_string(uMinor) + " is not supported (only 2.x).");
        i.uSnapLen = pcap.uSnapshot;
        i.uLinkType = pcap.uLinkType;
        m_interfaces.push_back(i);
        m_uSections = 1;
        m_uNextOffset = kFileHeaderSize;
    }

    // Every record takes at least 16 bytes: that bounds the blocks once, and
    // they are never moved while readers look at them.
    const uint64_t uMaxRecords = (m_uFileSize - m_uNextOffset) / kRecordHeaderSize;
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
    m_uBytesDone.store(m_uNextOffset, std::memory_order_relaxed);
    m_eState.store(EState::Reading, std::memory_order_release);
    return true;
}

// The first Section Header Block; the rest of the file is read by Step.
bool CCaptureIndex::OpenPcapng(const uint8_t* pHeader, size_t nGot)
{
    m_bPcapng = true;
    if (nGot < 12)
        return Fail("The capture is cut short: its section header has " + std::to_string(nGot)
            + " of at least 28 bytes.");
    const uint32_t uMagic = Get32(pHeader + 8, false);
    if (uMagic != kByteOrderMagic && uMagic != __builtin_bswap32(kByteOrderMagic))
        return Fail("The file is not a capture: its pcapng section header has an unknown "
                    "byte-order mark.");
    const bool bSwapped = uMagic != kByteOrderMagic;
    const uint32_t uLength = Get32(pHeader + 4, bSwapped);
    if (uLength < kMinSection || uLength % 4 != 0 || uLength > kMaxBlock)
        return Fail(
            "The capture is damaged: its section header claims " + Thousands(uLength) + " bytes.");
    if (uLength > m_uFileSize || nGot < kMinSection)
        return Fail("The capture is cut short: its section header has "
            + Thousands(std::min<uint64_t>(m_uFileSize, uLength)) + " of its " + Thousands(uLength)
            + " bytes.");
    const uint16_t uMajor = Get16(pHeader + 12, bSwapped);
    const uint16_t uMinor = Get16(pHeader + 14, bSwapped);
    if (uMajor != 1)
        return Fail("The capture's pcapng version " + std::to_string(uMajor) + "."
            + std::to_string(uMinor) + " is not supported (only 1.x).");
    uint8_t trailer[4];
    if (ReadAt(m_fd, trailer, 4, uLength - 4) != 4 || Get32(trailer, bSwapped) != uLength)
        return Fail("The capture is damaged: its section header's length is " + Thousands(uLength)
            + " at its start but not at its end.");
    m_bSectionSwapped = m_bFirstSwapped = bSwapped;
    m_uSectionFirst = 0;
    m_uSections = 1;
    m_uNextOffset = uLength;
    if (uMinor != 0 && uMinor != 2)
        LimitSend(0,
            "libpcap reads pcapng versions 1.0 and 1.2 only, and this file is 1."
                + std::to_string(uMinor) + ".");
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

bool CCaptureIndex::AddEntry(uint64_t uCount, uint64_t uOffset, uint32_t uInterface)
{
    const size_t nBlock = static_cast<size_t>(uCount / kBlockRecords);
    if (nBlock >= m_nBlocks) // cannot happen: every record takes 16 bytes
        return false;
    uint64_t* pBlock = m_blocks[nBlock].load(std::memory_order_relaxed);
    if (!pBlock) {
        pBlock = new uint64_t[BlockSize(nBlock)];
        m_blocks[nBlock].store(pBlock, std::memory_order_release);
    }
    pBlock[uCount % kBlockRecords] = uOffset | static_cast<uint64_t>(uInterface) << kInterfaceShift;
    return true;
}

CCaptureIndex::EState CCaptureIndex::Step(size_t nMaxRecords)
{
    const EState eState = m_eState.load(std::memory_order_acquire);
    if (eState != EState::Reading)
        return eState;
    return m_bPcapng ? StepPcapng(nMaxRecords) : StepPcap(nMaxRecords);
}

CCaptureIndex::EState CCaptureIndex::StepPcap(size_t nMaxRecords)
{
    uint64_t uCount = m_uCount.load(std::memory_order_relaxed);
    auto Finish = [&](EState e, const std::string& csError) {
        if (!csError.empty())
            Fail(csError);
        m_uCount.store(uCount, std::memory_order_release);
        m_uBytesDone.store(m_uNextOffset, std::memory_order_relaxed);
        m_eState.store(e, std::memory_order_release);
        return e;
    };
    const SCaptureInterface& file = m_interfaces.front(); // set once by Open
    for (size_t i = 0; i < nMaxRecords; ++i) {
        const uint64_t uOffset = m_uNextOffset;
        if (uOffset >= m_uFileSize)
            return Finish(EState::Done, "");
        const uint64_t uLeft = m_uFileSize - uOffset;
        // Words for a failure only: made for every record, they cost the
        // count beside a Send a third of its time.
        const auto record = [uCount] { return "record " + Thousands(uCount); };
        if (uLeft < kRecordHeaderSize)
            return Finish(EState::Failed,
                "The capture is cut short: " + record() + " has " + std::to_string(uLeft)
                    + " of its 16 header bytes.");
        if (!Refill(uOffset, kRecordHeaderSize))
            return Finish(EState::Failed,
                "Reading the capture failed at " + record() + ": " + std::strerror(errno) + ".");
        if (uOffset + kRecordHeaderSize > m_uBufferOffset + m_nBufferLen)
            return Finish(EState::Failed,
                "The capture is cut short: the file shrank while it was read (" + record() + ").");
        const uint8_t* p = m_buffer.data() + (uOffset - m_uBufferOffset);
        const uint32_t uCapLen = Get32(p + 8, file.bSwapped);
        if (uCapLen > kLongestRecord)
            return Finish(EState::Failed,
                "The capture is damaged at " + record() + ": it claims " + Thousands(uCapLen)
                    + " captured bytes (at most 262,144).");
        if (uLeft - kRecordHeaderSize < uCapLen)
            return Finish(EState::Failed,
                "The capture is cut short: " + record() + " has "
                    + Thousands(uLeft - kRecordHeaderSize) + " of its " + Thousands(uCapLen)
                    + " bytes.");
        if (!AddEntry(uCount, uOffset, 0))
            return Finish(EState::Failed, "The capture index is full.");
        if (uCount == 0) {
            const uint32_t uSec = Get32(p, file.bSwapped), uFrac = Get32(p + 4, file.bSwapped);
            m_llFirstTimeNs.store(static_cast<int64_t>(uSec) * 1000000000
                    + static_cast<int64_t>(uFrac) * (file.uResolution == 9 ? 1 : 1000),
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

CCaptureIndex::EState CCaptureIndex::StepPcapng(size_t nMaxRecords)
{
    uint64_t uCount = m_uCount.load(std::memory_order_relaxed);
    auto Finish = [&](EState e, const std::string& csError) {
        if (!csError.empty())
            Fail(csError);
        m_uCount.store(uCount, std::memory_order_release);
        m_uBytesDone.store(m_uNextOffset, std::memory_order_relaxed);
        m_eState.store(e, std::memory_order_release);
        return e;
    };
    // Blocks, not only records, count against the step: a file of nothing but
    // custom blocks still returns now and then.
    for (size_t n = 0; n < nMaxRecords; ++n) {
        const uint64_t uOffset = m_uNextOffset;
        if (uOffset >= m_uFileSize)
            return Finish(EState::Done, "");
        const uint64_t uLeft = m_uFileSize - uOffset;
        const std::string csAt = AtByte(uOffset);
        if (uLeft < 8)
            return Finish(EState::Failed,
                "The capture is cut short: the block at " + csAt + " has " + std::to_string(uLeft)
                    + " of its 8 header bytes.");
        const size_t nHead = static_cast<size_t>(std::min<uint64_t>(kPacketHeader, uLeft));
        if (!Refill(uOffset, nHead))
            return Finish(EState::Failed,
                "Reading the capture failed at " + csAt + ": " + std::strerror(errno) + ".");
        if (uOffset + nHead > m_uBufferOffset + m_nBufferLen)
            return Finish(EState::Failed,
                "The capture is cut short: the file shrank while it was read (" + csAt + ").");
        const uint8_t* p = m_buffer.data() + (uOffset - m_uBufferOffset);
        // A new section may change the byte order: its mark says which. Its
        // type reads the same both ways.
        bool bSwapped = m_bSectionSwapped;
        const uint32_t uType = Get32(p, bSwapped);
        if (uType == kBlockSection) {
            if (uLeft < 12 || uOffset + 12 > m_uBufferOffset + m_nBufferLen)
                return Finish(EState::Failed,
                    "The capture is cut short: the section header at " + csAt + " has "
                        + std::to_string(uLeft) + " of at least 28 bytes.");
            const uint32_t uMagic = Get32(p + 8, false);
            if (uMagic != kByteOrderMagic && uMagic != __builtin_bswap32(kByteOrderMagic))
                return Finish(EState::Failed,
                    "The capture is damaged at " + csAt
                        + ": a section header has an unknown byte-order mark.");
            bSwapped = uMagic != kByteOrderMagic;
        }
        const uint32_t uLength = Get32(p + 4, bSwapped);
        if (uLength < kMinBlock || uLength % 4 != 0)
            return Finish(EState::Failed,
                "The capture is damaged at " + csAt + ": a block claims a length of "
                    + Thousands(uLength) + " bytes (at least 12, a multiple of 4).");
        if (uLength > kMaxBlock)
            return Finish(EState::Failed,
                "The capture is damaged at " + csAt + ": a block claims " + Thousands(uLength)
                    + " bytes (at most 16,777,216).");
        const bool bPacket = IsPacketBlock(uType);
        const std::string csWhat = bPacket
            ? "record " + Thousands(uCount) + " (the block at " + csAt + ")"
            : "the block at " + csAt;
        if (uLeft < uLength)
            return Finish(EState::Failed,
                "The capture is cut short: " + csWhat + " has " + Thousands(uLeft) + " of its "
                    + Thousands(uLength) + " bytes.");
        // The fixed part of the block, and then its trailer.
        const uint32_t uFixed = uLength - 4 < kPacketHeader ? uLength - 4 : kPacketHeader;
        uint8_t fixed[kPacketHeader] = {};
        std::memcpy(fixed, p, uFixed);
        if (!Refill(uOffset + uLength - 4, 4))
            return Finish(EState::Failed,
                "Reading the capture failed at " + csAt + ": " + std::strerror(errno) + ".");
        if (uOffset + uLength > m_uBufferOffset + m_nBufferLen)
            return Finish(EState::Failed,
                "The capture is cut short: the file shrank while it was read (" + csAt + ").");
        const uint32_t uTrailer
            = Get32(m_buffer.data() + (uOffset + uLength - 4 - m_uBufferOffset), bSwapped);
        if (uTrailer != uLength)
            return Finish(EState::Failed,
                "The capture is damaged at " + csAt + ": the block's length is "
                    + Thousands(uLength) + " at its start and " + Thousands(uTrailer)
                    + " at its end.");
        const uint32_t uBody = uLength - kMinBlock; // between the length and the trailer

        if (uType == kBlockSection) {
            if (uLength < kMinSection)
                return Finish(EState::Failed,
                    "The capture is damaged at " + csAt + ": a section header of "
                        + Thousands(uLength) + " bytes (at least 28).");
            const uint16_t uMajor = Get16(fixed + 12, bSwapped);
            if (uMajor != 1)
                return Finish(EState::Failed,
                    "The capture's section at " + csAt + " has pcapng version "
                        + std::to_string(uMajor) + "." + std::to_string(Get16(fixed + 14, bSwapped))
                        + ", which is not supported (only 1.x).");
            if (bSwapped != m_bFirstSwapped)
                LimitSend(uCount,
                    "libpcap cannot read on into the section at " + csAt
                        + ", whose byte order differs from the first section's.");
            m_bSectionSwapped = bSwapped;
            {
                std::lock_guard<std::mutex> lock(m_interfaceMutex);
                m_uSectionFirst = static_cast<uint32_t>(m_interfaces.size());
                ++m_uSections;
            }
        } else if (uType == kBlockInterface) {
            if (uLength < kMinInterface)
                return Finish(EState::Failed,
                    "The capture is damaged at " + csAt + ": an interface description of "
                        + Thousands(uLength) + " bytes (at least 20).");
            SCaptureInterface i;
            i.uLinkType = Get16(fixed + 8, bSwapped);
            i.uSnapLen = Get32(fixed + 12, bSwapped);
            i.bSwapped = bSwapped;
            i.uSection = m_uSections - 1;
            // Options: code, length, value padded to 4 bytes; up to the trailer.
            std::vector<uint8_t> options(uLength - kMinInterface);
            if (!options.empty()
                && ReadAt(m_fd, options.data(), options.size(), uOffset + 16)
                    != static_cast<ssize_t>(options.size()))
                return Finish(EState::Failed,
                    "Reading the capture failed at " + csAt + ": " + std::strerror(errno) + ".");
            for (size_t o = 0; o + 4 <= options.size();) {
                const uint16_t uCode = Get16(options.data() + o, bSwapped);
                const uint16_t uLen = Get16(options.data() + o + 2, bSwapped);
                if (uCode == 0 || o + 4 + uLen > options.size())
                    break;
                const uint8_t* v = options.data() + o + 4;
                if (uCode == 2) // if_name
                    i.csName.assign(reinterpret_cast<const char*>(v), uLen);
                else if (uCode == 9 && uLen >= 1) { // if_tsresol
                    i.bBinaryResolution = (v[0] & 0x80) != 0;
                    i.uResolution = v[0] & 0x7f;
                    if (i.uResolution > (i.bBinaryResolution ? 63 : 19))
                        return Finish(EState::Failed,
                            "The capture is damaged at " + csAt + ": an interface's time "
                                + "resolution of " + (i.bBinaryResolution ? "2^-" : "10^-")
                                + std::to_string(i.uResolution) + " s cannot be read.");
                } else if (uCode == 14 && uLen >= 8) // if_tsoffset
                    i.llOffsetSec = static_cast<int64_t>(Get64(v, bSwapped));
                o += 4 + ((uLen + 3u) & ~3u);
            }
            // Names end at their first NUL, if any.
            i.csName.resize(std::strlen(i.csName.c_str()));
            uint32_t uCount32 = 0;
            {
                std::lock_guard<std::mutex> lock(m_interfaceMutex);
                uCount32 = static_cast<uint32_t>(m_interfaces.size());
            }
            if (uCount32 >= kMaxInterfaces)
                return Finish(EState::Failed,
                    "The capture has more than 65,535 interfaces; the list stops at " + csAt + ".");
            i.uId = uCount32 - m_uSectionFirst;
            if (uCount32 > 0) {
                // libpcap gives the whole file the first interface's link type
                // and snapshot length, and stops at an interface that differs.
                const SCaptureInterface first = Interface(0);
                if (i.uLinkType != first.uLinkType)
                    LimitSend(uCount,
                        "libpcap cannot read past the interface at " + csAt + ": its link type "
                            + std::to_string(i.uLinkType) + " is not the first interface's ("
                            + std::to_string(first.uLinkType) + ").");
                else if (AdjustedSnapLen(i.uSnapLen) != AdjustedSnapLen(first.uSnapLen))
                    LimitSend(uCount,
                        "libpcap cannot read past the interface at " + csAt
                            + ": its snapshot length " + Thousands(i.uSnapLen)
                            + " is not the first interface's (" + Thousands(first.uSnapLen) + ").");
            }
            std::lock_guard<std::mutex> lock(m_interfaceMutex);
            m_interfaces.push_back(std::move(i));
        } else if (bPacket) {
            const uint32_t uHeader
                = uType == kBlockSimplePacket ? kSimpleHeader - 8 : kPacketHeader - 8;
            if (uBody < uHeader)
                return Finish(EState::Failed,
                    "The capture is damaged at " + csWhat + ": its block is too short for a "
                        + "packet header.");
            uint32_t uId = 0;
            if (uType == kBlockEnhancedPacket)
                uId = Get32(fixed + 8, bSwapped);
            else if (uType == kBlockPacketObsolete)
                uId = Get16(fixed + 8, bSwapped);
            uint32_t uInterfaces = 0;
            {
                std::lock_guard<std::mutex> lock(m_interfaceMutex);
                uInterfaces = static_cast<uint32_t>(m_interfaces.size());
            }
            if (uId >= uInterfaces - m_uSectionFirst)
                return Finish(EState::Failed,
                    "The capture is damaged at " + csWhat + ": it names interface "
                        + std::to_string(uId) + ", which its section does not describe.");
            const uint32_t uInterface = m_uSectionFirst + uId;
            const SCaptureInterface& i = m_interfaces[uInterface]; // this thread appends
            const uint32_t uSnap = AdjustedSnapLen(i.uSnapLen);
            uint32_t uCapLen = 0;
            if (uType == kBlockSimplePacket) {
                const uint32_t uWire = Get32(fixed + 8, bSwapped);
                uCapLen = uWire < uSnap ? uWire : uSnap;
            } else {
                uCapLen = Get32(fixed + 20, bSwapped);
            }
            if (uCapLen > uBody - uHeader)
                return Finish(EState::Failed,
                    "The capture is damaged at " + csWhat + ": it claims " + Thousands(uCapLen)
                        + " captured bytes, and its block holds " + Thousands(uBody - uHeader)
                        + ".");
            if (uType != kBlockSimplePacket
                && uCapLen > AdjustedSnapLen(m_interfaces.front().uSnapLen))
                LimitSend(uCount,
                    "libpcap refuses it: it claims " + Thousands(uCapLen)
                        + " captured bytes, above the snapshot length of "
                        + Thousands(AdjustedSnapLen(m_interfaces.front().uSnapLen)) + ".");
            if (!AddEntry(uCount, uOffset, uInterface))
                return Finish(EState::Failed, "The capture index is full.");
            if (uCount == 0) {
                // A Simple Packet Block has no time stamp: libpcap gives it 0.
                uint64_t uUnits = 0;
                if (uType != kBlockSimplePacket)
                    uUnits = uint64_t { Get32(fixed + 12, bSwapped) } << 32
                        | Get32(fixed + 16, bSwapped);
                m_llFirstTimeNs.store(uType == kBlockSimplePacket
                        ? 0
                        : TimeStampNs(uUnits, i.uResolution, i.bBinaryResolution, i.llOffsetSec),
                    std::memory_order_relaxed);
            }
            ++uCount;
        }
        // Any other block (statistics, names, custom, ...) is skipped by its length.
        m_uNextOffset = uOffset + uLength;
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
    std::lock_guard<std::mutex> lock(m_interfaceMutex);
    return u + m_interfaces.capacity() * sizeof(SCaptureInterface);
}

void CCaptureIndex::Forget(uint64_t uBelow)
{
    const size_t nEnd = static_cast<size_t>(std::min(uBelow, Count()) / kBlockRecords);
    for (size_t i = static_cast<size_t>(m_uForgotten / kBlockRecords); i < nEnd && i < m_nBlocks;
         ++i)
        delete[] m_blocks[i].exchange(nullptr, std::memory_order_acq_rel);
    m_uForgotten = std::max<uint64_t>(m_uForgotten, uint64_t { nEnd } * kBlockRecords);
}

uint64_t CCaptureIndex::EntryOf(uint64_t uIndex) const
{
    const uint64_t* pBlock
        = m_blocks[static_cast<size_t>(uIndex / kBlockRecords)].load(std::memory_order_acquire);
    return pBlock[uIndex % kBlockRecords];
}

uint32_t CCaptureIndex::InterfaceOf(uint64_t uIndex) const
{
    if (uIndex >= Count() || uIndex < m_uForgotten)
        return 0;
    return static_cast<uint32_t>(EntryOf(uIndex) >> kInterfaceShift);
}

// A window on the file: n bytes at uOffset, read afresh when they are not in it.
const uint8_t* CCaptureIndex::Fetch(SReadWindow& window, uint64_t uOffset, size_t n) const
{
    if (uOffset >= window.uOffset && uOffset + n <= window.uOffset + window.nLen)
        return window.buffer.data() + (uOffset - window.uOffset);
    if (n > window.buffer.size())
        return nullptr;
    const ssize_t nGot = ReadAt(m_fd, window.buffer.data(), window.buffer.size(), uOffset);
    window.uOffset = uOffset;
    window.nLen = nGot < 0 ? 0 : static_cast<size_t>(nGot);
    return n <= window.nLen ? window.buffer.data() : nullptr;
}

bool CCaptureIndex::ReadVia(uint64_t uIndex, SRecord& record, SReadWindow& window) const
{
    if (uIndex >= Count() || uIndex < m_uForgotten)
        return false;
    const uint64_t uEntry = EntryOf(uIndex);
    const uint64_t uOffset = uEntry & kOffsetMask;
    const SClock clock = ClockOf(static_cast<uint32_t>(uEntry >> kInterfaceShift));
    const bool bSw = clock.bSwapped;
    uint32_t uHeader = kRecordHeaderSize, uCapLen = 0;
    if (m_bPcapng) {
        const uint8_t* p = Fetch(window, uOffset, kSimpleHeader);
        if (!p)
            return false;
        const uint32_t uType = Get32(p, bSw);
        const uint32_t uLength = Get32(p + 4, bSw);
        if (!IsPacketBlock(uType) || uLength < kMinBlock || uLength > kMaxBlock)
            return false; // the file changed since it was indexed
        uint64_t uUnits = 0;
        if (uType == kBlockSimplePacket) {
            uHeader = kSimpleHeader;
            record.header.uWireLen = Get32(p + 8, bSw);
            const uint32_t uSnap = AdjustedSnapLen(clock.uSnapLen);
            uCapLen = record.header.uWireLen < uSnap ? record.header.uWireLen : uSnap;
        } else {
            uHeader = kPacketHeader;
            p = Fetch(window, uOffset, kPacketHeader);
            if (!p)
                return false;
            uUnits = uint64_t { Get32(p + 12, bSw) } << 32 | Get32(p + 16, bSw);
            uCapLen = Get32(p + 20, bSw);
            record.header.uWireLen = Get32(p + 24, bSw);
        }
        if (uLength < uHeader + 4 || uCapLen > uLength - uHeader - 4)
            return false;
        // A Simple Packet Block has no time stamp: libpcap gives it 0.
        record.header.llTimeNs = uType == kBlockSimplePacket
            ? 0
            : TimeStampNs(uUnits, clock.uResolution, clock.bBinaryResolution, clock.llOffsetSec);
    } else {
        const uint8_t* p = Fetch(window, uOffset, kRecordHeaderSize);
        if (!p)
            return false;
        const uint32_t uSec = Get32(p, bSw), uFrac = Get32(p + 4, bSw);
        const uint32_t uStored = Get32(p + 8, bSw);
        if (uStored > kLongestRecord)
            return false; // the file changed since it was indexed
        // libpcap cuts a record above the snapshot length to it; so does the replay.
        const uint32_t uSnap = AdjustedSnapLen(clock.uSnapLen);
        uCapLen = uStored < uSnap ? uStored : uSnap;
        record.header.llTimeNs = static_cast<int64_t>(uSec) * 1000000000
            + static_cast<int64_t>(uFrac) * (clock.uResolution == 9 ? 1 : 1000);
        record.header.uWireLen = Get32(p + 12, bSw);
    }
    record.header.uCapLen = uCapLen;
    if (const uint8_t* p = Fetch(window, uOffset, uHeader + size_t { uCapLen })) {
        record.bytes.assign(p + uHeader, p + uHeader + uCapLen);
        return true;
    }
    // Longer than the window: straight from the file.
    record.bytes.resize(uCapLen);
    return ReadAt(m_fd, record.bytes.data(), uCapLen, uOffset + uHeader)
        == static_cast<ssize_t>(uCapLen);
}

bool CCaptureIndex::Read(uint64_t uIndex, SRecord& record, SReadWindow& window) const
{
    if (window.buffer.empty())
        window.buffer.resize(256 * 1024);
    return ReadVia(uIndex, record, window);
}

bool CCaptureIndex::Read(uint64_t uIndex, SRecord& record) const
{
    // One read brings the header and, for all but long records, the bytes too.
    SReadWindow window;
    window.buffer.resize(kPacketHeader + 1536);
    return ReadVia(uIndex, record, window);
}

int64_t CCaptureIndex::ReadBytes(uint64_t uOffset, uint8_t* pData, size_t nLength) const
{
    if (m_fd < 0)
        return -1;
    return ReadAt(m_fd, pData, nLength, uOffset);
}

SFrame CCaptureIndex::Frame(uint64_t uIndex, const SRecord& record) const
{
    const SClock clock = ClockOf(InterfaceOf(uIndex));
    SFrame frame;
    frame.pData = record.bytes.data();
    frame.header = record.header;
    frame.header.uCapLen = static_cast<uint32_t>(record.bytes.size());
    frame.uLinkType = clock.uLinkType;
    frame.uNumber = uIndex;
    frame.llFirstTimeNs = FirstTimeNs();
    // Finer than a microsecond shows nine decimals.
    frame.bNanoResolution
        = clock.bBinaryResolution ? clock.uResolution >= 20 : clock.uResolution > 6;
    return frame;
}

namespace {

    SRow UnreadableRow(const CCaptureIndex& index, uint64_t uIndex)
    {
        SRow row;
        row.uNumber = uIndex;
        row.bNanoResolution = index.NanoResolution();
        row.csInfo = "the record cannot be read: the file changed since it was opened [malformed]";
        row.bMalformed = true;
        return row;
    }

} // namespace

SRow DecodeRecord(const CCaptureIndex& index, uint64_t uIndex, std::vector<SField>* pTree,
    std::vector<uint8_t>* pBytes)
{
    SRecord record;
    if (!index.Read(uIndex, record)) {
        if (pTree)
            pTree->clear();
        if (pBytes)
            pBytes->clear();
        return UnreadableRow(index, uIndex);
    }
    const SFrame frame = index.Frame(uIndex, record);
    SRow row = pTree ? DecodeTree(frame, pTree) : DecodeRow(frame);
    // Which interface, in the frame's own summary, when there is a choice.
    if (pTree && !pTree->empty() && (*pTree)[0].csName.rfind("Frame", 0) == 0
        && index.InterfaceCount() > 1) {
        SField field;
        field.csName = "Interface";
        field.csValue = index.InterfaceLabel(index.InterfaceOf(uIndex));
        auto& children = (*pTree)[0].children;
        children.insert(children.begin(), std::move(field));
    }
    if (pBytes)
        *pBytes = std::move(record.bytes);
    return row;
}

SRow DecodeRecord(const CCaptureIndex& index, uint64_t uIndex, CCaptureIndex::SReadWindow& window)
{
    SRecord record;
    if (!index.Read(uIndex, record, window))
        return UnreadableRow(index, uIndex);
    return DecodeRow(index.Frame(uIndex, record));
}

} // namespace velmora::dissect
