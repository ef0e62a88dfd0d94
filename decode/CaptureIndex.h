#pragma once

// An index of a classic pcap file: one pass over the record headers keeps the
// file offset of each record (8 bytes per record), so that a packet list can
// read and decode only the rows it shows.
//
// Threads: one thread (a worker, or the window in steps) calls Open, then Step
// or Run; any thread may meanwhile call Count, Read, DecodeRecord, State,
// BytesDone and Error. Records below Count() never change, so a model can show them while
// the rest is still being read. Open must finish before other threads use the
// object, and the object must outlive them.

#include "decode/Decoder.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmora::vdecode {

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

    // Opens the file and reads its header. False (State() Closed, Error() set) when
    // the file cannot be opened, is empty, is shorter than a header, is not a
    // capture, is a pcapng capture, or has a version other than 2.x.
    bool Open(const std::string& csPath);

    // Indexes up to nMaxRecords more records. Returns Reading while more may follow,
    // Done at a clean end of file, Failed when a record is cut off by the end of
    // the file, claims more than 262,144 captured bytes, or the file cannot be
    // read (Error() says which record and why).
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

    // Header values; valid after a successful Open.
    uint32_t LinkType() const { return m_uLinkType; }
    bool NanoResolution() const { return m_bNano; }
    uint32_t SnapLen() const { return m_uSnapLen; }
    // Time stamp of record 0 (0 while there is none).
    int64_t FirstTimeNs() const { return m_llFirstTimeNs.load(std::memory_order_acquire); }
    // Heap bytes the index holds: the offset blocks and their table.
    uint64_t IndexBytes() const;

    // Reads record uIndex (< Count()) by seeking to it. False when uIndex is out
    // of range or the file cannot be read any more (changed under us). Captured
    // lengths above the file's snapshot length are cut to it, as when replaying.
    bool Read(uint64_t uIndex, SRecord& record) const;

    // A frame for the decoder, pointing into record.bytes (keep record alive).
    SFrame Frame(uint64_t uIndex, const SRecord& record) const;

private:
    struct SBlock;
    bool Fail(const std::string& csError);
    bool Refill(uint64_t uOffset, size_t nNeed);
    uint64_t OffsetOf(uint64_t uIndex) const;
    size_t BlockSize(size_t nBlock) const;

    int m_fd = -1;
    uint64_t m_uFileSize = 0;
    uint32_t m_uLinkType = 0;
    uint32_t m_uSnapLen = 0;
    bool m_bNano = false;
    bool m_bSwapped = false;

    // Offsets live in fixed blocks whose pointers are set once: readers never
    // see a block move, and no lock is needed on the read path.
    std::unique_ptr<std::atomic<uint64_t*>[]> m_blocks;
    size_t m_nBlocks = 0;
    uint64_t m_uMaxRecords = 0;

    // Reader state (the indexing thread only).
    uint64_t m_uNextOffset = 0;
    std::vector<uint8_t> m_buffer;
    uint64_t m_uBufferOffset = 0;
    size_t m_nBufferLen = 0;

    std::atomic<uint64_t> m_uCount { 0 };
    std::atomic<uint64_t> m_uBytesDone { 0 };
    std::atomic<int64_t> m_llFirstTimeNs { 0 };
    std::atomic<EState> m_eState { EState::Closed };
    mutable std::mutex m_errorMutex;
    std::string m_csError;
};

// Reads and decodes record uIndex for the packet list: the row, and on demand
// the field tree and the bytes (for the hex view). A record that cannot be
// read any more gives a malformed row that says so.
SRow DecodeRecord(const CCaptureIndex& index, uint64_t uIndex, std::vector<SField>* pTree = nullptr,
    std::vector<uint8_t>* pBytes = nullptr);

} // namespace velmora::vdecode
