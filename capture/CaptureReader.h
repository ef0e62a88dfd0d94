#pragma once

// Reads the records of a classic pcap file of Ethernet frames straight from
// its descriptor into one large buffer, and hands them out where they lie: a
// Send stages them for the kernel without copying them again. It reads what
// libpcap's reader reads, record for record (the same headers, time stamps,
// lengths and bytes, and the same records end a file or stop it as broken);
// files it does not take (pcapng, other link types, the patched format) are
// for libpcap.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace velmora {

// The longest record libpcap takes for Ethernet (and most link types); a
// longer one breaks the file. The reader, the index and the writer share it.
constexpr uint32_t kLongestRecord = 262144;
constexpr size_t kPcapFileHeaderSize = 24;

// A classic pcap file's header, as the reader and the index both read it.
struct SPcapFileHeader {
    bool bSwapped = false; // written in the other byte order
    bool bNano = false; // nanosecond time stamps
    uint16_t uMajor = 0;
    uint16_t uMinor = 0;
    uint32_t uSnapshot = 0; // as the file says
    uint32_t uLinkType = 0; // its low bits; the high ones say things of the frames' ends (FCS)
};
enum class EPcapHeader {
    Ok,
    NotPcap, // fewer than 4 bytes, or no pcap magic number in either order
    Short, // the magic number, but fewer than 24 bytes
};
// Reads the header from the nGot bytes at the file's start.
EPcapHeader ParsePcapFileHeader(const uint8_t* p, size_t nGot, SPcapFileHeader& header);

// One record as libpcap gives it: tv_usec holds nanoseconds when the reader
// was asked for them, microseconds otherwise.
struct SCaptureRecord {
    int64_t llSec = 0;
    int64_t llFraction = 0;
    uint32_t uCaptured = 0; // bytes in data
    uint32_t uWire = 0; // the frame's length on the wire
    const uint8_t* pData = nullptr;
};

class CPcapReader {
public:
    // The result of Next, as pcap_next_ex gives it.
    static constexpr int kRecord = 1;
    static constexpr int kEnd = -2;
    static constexpr int kBroken = -1;

    // Takes the descriptor (positioned at the start of the file) when its
    // header is one this reader reads; nullptr otherwise, and then the
    // descriptor is left as it was, at its start. uBufferBytes: how much is
    // read at a time (a record longer than that makes the buffer grow).
    // uMapWindow (0: none): the records are handed out where they lie in
    // the file's pages, mapped a window of that many bytes (whole pages) at a
    // time that slides on, so that a capture larger than memory holds no
    // more than that; a file that cannot be mapped is read as without.
    static std::unique_ptr<CPcapReader> Open(
        int fd, bool bNano, size_t uBufferBytes, size_t uMapWindow = 0);
    ~CPcapReader();
    CPcapReader(const CPcapReader&) = delete;
    CPcapReader& operator=(const CPcapReader&) = delete;

    int Next(SCaptureRecord& record);
    int Descriptor() const { return m_fd; }
    // Whether the records come from the file's mapped pages (else from reads).
    bool Mapped() const { return m_bMapping; }
    // Called before the buffer is refilled, which moves or overwrites the
    // records handed out so far: the moment to be done with them.
    void SetBeforeRefill(std::function<void()> beforeRefill)
    {
        m_beforeRefill = std::move(beforeRefill);
    }

private:
    CPcapReader(int fd, size_t uBufferBytes);
    // Makes nBytes readable from m_nPos; false at the end of the file (what
    // there is stays readable).
    bool Have(size_t nBytes);
    // Have, for a mapped file: the window slides on to hold nBytes from
    // m_nPos; false at the end of the file.
    bool HaveMapped(size_t nBytes);
    void Unmap();
    const uint8_t* Bytes() const { return m_pMap ? m_pMap : m_buffer.data(); }

    int m_fd;
    std::vector<uint8_t> m_buffer;
    size_t m_nPos = 0; // next unread byte in m_buffer
    size_t m_nEnd = 0; // bytes in m_buffer
    int64_t m_llOffset = 0; // in the file, of m_buffer's end
    bool m_bEof = false;
    bool m_bReadError = false;
    bool m_bBroken = false;
    bool m_bSwapped = false;
    bool m_bNanoFile = false;
    bool m_bNano = false;
    enum class ELengths { Kept, Swapped, MaybeSwapped } m_eLengths = ELengths::Kept;
    uint32_t m_uSnapshot = 0;
    std::function<void()> m_beforeRefill;
    // The mapped window: m_nPos and m_nEnd count in it, m_llOffset is the
    // file's offset of its end.
    bool m_bMapping = false;
    uint8_t* m_pMap = nullptr;
    size_t m_nMapBytes = 0;
    int64_t m_llFileBytes = 0; // as far as it is mapped
    size_t m_nWindowBytes = 0;
    size_t m_nBufferBytes = 0; // should mapping fail
};

} // namespace velmora
