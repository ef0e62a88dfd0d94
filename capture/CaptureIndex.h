#pragma once

// An index of a capture file, classic pcap or pcapng: one pass over the record
// headers keeps each record's file offset and interface in 8 bytes, so that a
// packet list can read and decode only the rows it shows.
//
// pcapng: sections in either byte order, interfaces with their link type,
// snapshot length and time resolution, and Enhanced, Simple and obsolete Packet
// Blocks as records; every other block is skipped by its length. Records are
// numbered as libpcap numbers them (the packet blocks in file order), so a
// number picked in the list is the record Send sends. Where libpcap would stop
// reading a file that is otherwise sound (a second link type, a section in the
// other byte order), the index reads on and SendLimit() says from which record
// Send cannot go.
//
// Threads: one thread (a worker, or the window in steps) calls Open, then Step
// or Run; any thread may meanwhile call Count, Read, DecodeRecord, State,
// BytesDone, Error and the interface and limit queries. Records below Count()
// never change, so a model can show them while the rest is still being read.
// Open must finish before other threads use the object, and the object must
// outlive them.

#include "decode/Decoder.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmora::dissect {

// One interface of the capture: a pcap file has one, a pcapng file one per
// Interface Description Block (numbered across sections in file order).
struct SCaptureInterface {
    uint32_t uLinkType = kLinkEthernet;
    uint32_t uSnapLen = 0; // as the file says; 0: none
    // Time stamps count units of 10^-uResolution s, or 2^-uResolution s.
    uint8_t uResolution = 6;
    bool bBinaryResolution = false;
    int64_t llOffsetSec = 0; // if_tsoffset: added to every time stamp
    bool bSwapped = false; // its section's byte order is not this machine's
    uint32_t uSection = 0; // 0-based
    uint32_t uId = 0; // its number within its section, as packet blocks name it
    std::string csName; // if_name; empty when the file gives none
};

// One record read back through the index.
struct SRecord {
    SRecordHeader header;
    std::vector<uint8_t> bytes; // header.uCapLen bytes
};

class CCaptureIndex {
public:
    enum class EState {
        Closed, // before Open, or Open failed
        Reading, // more records may follow
        Done, // the whole file is indexed
        Failed, // stopped by an error; the records before it stay readable
        Stopped, // Run returned because of its stop flag (for good: Step does no more)
    };

    CCaptureIndex();
    ~CCaptureIndex();
    CCaptureIndex(const CCaptureIndex&) = delete;
    CCaptureIndex& operator=(const CCaptureIndex&) = delete;

    // Opens the file and reads its header (a pcapng file: its first Section
    // Header Block). False (State() Closed, Error() set) when the file cannot be
    // opened, is empty, is shorter than a header, is not a capture, or has a
    // version other than pcap 2.x or pcapng 1.x.
    bool Open(const std::string& csPath);

    // Indexes up to nMaxRecords more records (pcapng: blocks). Returns Reading
    // while more may follow, Done at a clean end of file, Failed when the file
    // is cut short, a record claims more than 262,144 captured bytes (pcap), a
    // block is damaged (pcapng: a length under 12, not a multiple of 4, above
    // 16 MiB or unlike its trailer; a packet block too short for what it
    // claims or naming an interface its section does not describe; a section
    // header with an unknown byte-order mark or major version), or the file
    // cannot be read (Error() says where and why).
    EState Step(size_t nMaxRecords = 65536);

    // Steps until the end, an error or bStop; calls onProgress (on this thread)
    // after the first step and then at most every 100 ms, and once at the end.
    using ProgressFn
        = std::function<void(uint64_t uRecords, uint64_t uBytesDone, uint64_t uFileSize)>;
    EState Run(const std::atomic<bool>& bStop, const ProgressFn& onProgress = {});

    // Any thread.
    EState State() const { return m_eState.load(std::memory_order_acquire); }
    uint64_t Count() const { return m_uCount.load(std::memory_order_acquire); }
    uint64_t BytesDone() const { return m_uBytesDone.load(std::memory_order_relaxed); }
    uint64_t FileSize() const { return m_uFileSize; }
    // One line for the window, e.g. "The capture is cut short: record 1,204 has
    // 23 of its 60 bytes."; empty while nothing went wrong.
    std::string Error() const;

    bool Pcapng() const { return m_bPcapng; }
    // The first interface's values (pcap: the file header's); valid once
    // InterfaceCount() > 0, which for pcap is right after Open.
    uint32_t LinkType() const;
    bool NanoResolution() const;
    uint32_t SnapLen() const;
    // Time stamp of record 0 (0 while there is none).
    int64_t FirstTimeNs() const { return m_llFirstTimeNs.load(std::memory_order_acquire); }

    // Interfaces seen so far; they never change once seen.
    uint32_t InterfaceCount() const;
    SCaptureInterface Interface(uint32_t uInterface) const;
    // The interface record uIndex (< Count()) came from.
    uint32_t InterfaceOf(uint64_t uIndex) const;
    // How the list names an interface: its if_name, else "interface 1", with
    // " of section 2" when the file has more than one section.
    std::string InterfaceLabel(uint32_t uInterface) const;

    // The first record libpcap (and so Send) cannot reach, UINT64_MAX while
    // there is none; SendLimitNote() says why, in one line.
    uint64_t SendLimit() const { return m_uSendLimit.load(std::memory_order_acquire); }
    std::string SendLimitNote() const;

    // Heap bytes the index holds: the offset blocks and their table.
    uint64_t IndexBytes() const;

    // For one pass that never looks far back (learning a capture to serve):
    // lets go of the offsets of the records below uBelow, in whole blocks, so
    // that the index stays small however long the file. Those records can no
    // longer be read. Only while no other thread uses the object.
    void Forget(uint64_t uBelow);

    // Reads record uIndex (< Count()) by seeking to it. False when uIndex is out
    // of range or the file cannot be read any more (changed under us). pcap:
    // captured lengths above the file's snapshot length are cut to it, as when
    // replaying; pcapng: a Simple Packet Block holds at most the snapshot length.
    bool Read(uint64_t uIndex, SRecord& record) const;

    // For a pass over many records in file order (the filter): the same as
    // Read, but the file is read in large pieces kept in window. One window per
    // thread.
    struct SReadWindow {
        std::vector<uint8_t> buffer;
        uint64_t uOffset = 0;
        size_t nLen = 0;
    };
    bool Read(uint64_t uIndex, SRecord& record, SReadWindow& window) const;

    // Reads the file's raw bytes at uOffset (for its digest): how many came,
    // -1 when it cannot be read.
    int64_t ReadBytes(uint64_t uOffset, uint8_t* pData, size_t nLength) const;

    // A frame for the decoder, pointing into record.bytes (keep record alive).
    SFrame Frame(uint64_t uIndex, const SRecord& record) const;

private:
    // What Read needs of an interface, copied out under the lock.
    struct SClock {
        uint32_t uLinkType = kLinkEthernet;
        uint32_t uSnapLen = 0;
        uint8_t uResolution = 6;
        bool bBinaryResolution = false;
        bool bSwapped = false;
        int64_t llOffsetSec = 0;
    };
    bool Fail(const std::string& csError);
    bool Refill(uint64_t uOffset, size_t nNeed);
    uint64_t EntryOf(uint64_t uIndex) const;
    size_t BlockSize(size_t nBlock) const;
    SClock ClockOf(uint32_t uInterface) const;
    bool AddEntry(uint64_t uCount, uint64_t uOffset, uint32_t uInterface);
    void LimitSend(uint64_t uRecord, const std::string& csWhy);
    EState StepPcap(size_t nMaxRecords);
    EState StepPcapng(size_t nMaxRecords);
    bool ReadVia(uint64_t uIndex, SRecord& record, SReadWindow& window) const;
    const uint8_t* Fetch(SReadWindow& window, uint64_t uOffset, size_t n) const;
    bool OpenPcapng(const uint8_t* pHeader, size_t nGot);

    int m_fd = -1;
    uint64_t m_uFileSize = 0;
    bool m_bPcapng = false;

    // Interfaces, appended by the indexing thread, read by any.
    mutable std::mutex m_interfaceMutex;
    std::vector<SCaptureInterface> m_interfaces;
    uint32_t m_uSections = 0;

    // Entries (offset in the low 48 bits, interface above) live in fixed
    // blocks whose pointers are set once: readers never see a block move,
    // and no lock is needed on the read path.
    std::unique_ptr<std::atomic<uint64_t*>[]> m_blocks;
    size_t m_nBlocks = 0;
    uint64_t m_uMaxRecords = 0;

    // Reader state (the indexing thread only).
    uint64_t m_uNextOffset = 0;
    std::vector<uint8_t> m_buffer;
    uint64_t m_uBufferOffset = 0;
    size_t m_nBufferLen = 0;
    // pcapng: the current section's byte order and first interface.
    bool m_bSectionSwapped = false;
    bool m_bFirstSwapped = false;
    uint32_t m_uSectionFirst = 0;

    std::atomic<uint64_t> m_uCount { 0 };
    std::atomic<uint64_t> m_uBytesDone { 0 };
    std::atomic<int64_t> m_llFirstTimeNs { 0 };
    std::atomic<uint64_t> m_uSendLimit { UINT64_MAX };
    std::atomic<EState> m_eState { EState::Closed };
    uint64_t m_uForgotten = 0; // records below it have no entry any more
    mutable std::mutex m_errorMutex;
    std::string m_csError;
    std::string m_csSendLimit;
};

// Reads and decodes record uIndex for the packet list: the row, and on demand
// the field tree and the bytes (for the hex view). A record that cannot be
// read any more gives a malformed row that says so.
SRow DecodeRecord(const CCaptureIndex& index, uint64_t uIndex, std::vector<SField>* pTree = nullptr,
    std::vector<uint8_t>* pBytes = nullptr);
// The row alone, read through a window (a pass in file order).
SRow DecodeRecord(const CCaptureIndex& index, uint64_t uIndex, CCaptureIndex::SReadWindow& window);

// Time stamp units to nanoseconds since the epoch, saturating.
int64_t TimeStampNs(uint64_t uUnits, uint8_t uResolution, bool bBinary, int64_t llOffsetSec = 0);

} // namespace velmora::dissect
