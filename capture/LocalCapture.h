#pragma once

// Opening a capture file for a Send: our own reader for classic pcap files of
// Ethernet frames, else libpcap's.

#include "capture/CaptureReader.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct pcap;
struct pcap_pkthdr;

namespace velmora {

// Read sizes. Our reader's for a whole Send: large enough to keep the batches
// full between two reads (and no larger: the frames are sent from it while it
// is still in the cache); single mode reads no further than it must, and a
// timed Send little at a time, so that a read never holds a frame back.
constexpr size_t kCaptureStreamBuffer = 64 * 1024;
constexpr size_t kSendReadBuffer = 512 * 1024;
constexpr size_t kPacedReadBuffer = 64 * 1024;
// The window of a whole Send's mapped capture: few slides (each waits for the
// batch in flight), and no more of the file held at once.
constexpr size_t kSendMapWindow = 2 * 1024 * 1024;

// An open capture file: our own reader for classic pcap files of Ethernet
// frames (capture/CaptureReader.h), which hands records out where they lie in
// its buffer; else libpcap's reader over a stream with a 64 KiB buffer of our
// own. Closing it closes the file.
class CLocalCapture {
public:
    CLocalCapture(pcap* hCapture, std::unique_ptr<char[]> pStreamBuffer);
    explicit CLocalCapture(std::unique_ptr<CPcapReader> pReader);
    ~CLocalCapture();
    CLocalCapture(const CLocalCapture&) = delete;
    CLocalCapture& operator=(const CLocalCapture&) = delete;
    // The next record as pcap_next_ex gives it: 1; -2 at the end of the file,
    // -1 when the file is broken there.
    int Next(const pcap_pkthdr*& pHeader, const unsigned char*& pData);
    int DataLink() const; // libpcap's DLT_ value
    // Whether a record's bytes stay where Next put them until the call set
    // by SetBeforeRefill (else only until the next Next).
    bool InPlace() const { return m_pReader != nullptr; }
    void SetBeforeRefill(std::function<void()> beforeRefill);
    // The open file's descriptor (for CCaptureReopener).
    int Descriptor() const;
    // Called once the file is closed.
    void SetOnClose(std::function<void()> onClose) { m_onClose = std::move(onClose); }

private:
    pcap* m_hCapture = nullptr;
    std::unique_ptr<char[]> m_pStreamBuffer; // must outlive the stream
    std::unique_ptr<CPcapReader> m_pReader;
    std::unique_ptr<pcap_pkthdr> m_pHeader; // the last record's, from m_pReader
    std::function<void()> m_onClose;
};

// Opens a capture file for reading (regular files only, never blocks); logs
// the attempt ("OpenLocalDevice File=[...]") and the failure. Nothing on
// failure: no such file, no permission, not a regular file, not a capture.
// bWhole: the whole file will be read back to back (from its mapped pages
// where it can be mapped, else a larger buffer).
std::unique_ptr<CLocalCapture> OpenCaptureFile(const std::string& csPath, bool bWhole = false);

// The same without a record: through our reader (reading uBufferBytes at a
// time, or from the file's pages mapped uMapWindow bytes at a time where the
// file allows) or as
// a stream with our own buffer for libpcap; time stamps in nanoseconds when
// bNano (either kind of file is scaled).
std::unique_ptr<CLocalCapture> OpenCaptureStream(
    const std::string& csPath, bool bNano, size_t uBufferBytes, size_t uMapWindow = 0);

// How many times this process has opened a capture file by its path, to
// send or to index it: the tests hold a Send to one opening of each.
uint64_t CaptureOpenings();
void CountCaptureOpening();

// The capture file as a Send opened it, read again from its start for each
// later pass (a timed Send's rounds, the count of its requests) through a
// duplicate of the one descriptor, so that a Send opens its capture once.
// While the path no longer names that file, or may no longer be read, a pass
// opens the path afresh, as a new opening would find it.
class CCaptureReopener {
public:
    CCaptureReopener(const std::string& csPath, const CLocalCapture& capture);
    ~CCaptureReopener();
    CCaptureReopener(const CCaptureReopener&) = delete;
    CCaptureReopener& operator=(const CCaptureReopener&) = delete;
    // As OpenCaptureStream; nothing when the file cannot be read.
    std::unique_ptr<CLocalCapture> Open(
        bool bNano, size_t uBufferBytes, size_t uMapWindow = 0) const;

private:
    std::string m_csPath;
    int m_fd = -1;
};

} // namespace velmora
