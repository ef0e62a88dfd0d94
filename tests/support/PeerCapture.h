#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct pcap;

namespace vtest {

using Frames = std::vector<std::vector<uint8_t>>;

// Captures our test frames (source addresses beginning 02:76:6d) on one
// interface, without blocking. Open it inside the namespace (CEnterNetns).
class CPeerCapture {
public:
    CPeerCapture(const char* szIf, int iSnapLen);
    ~CPeerCapture();
    CPeerCapture(const CPeerCapture&) = delete;
    CPeerCapture& operator=(const CPeerCapture&) = delete;
    bool Ok() const { return m_h != nullptr; }

    // What arrived, until nMax frames are in or the time is up.
    Frames Collect(size_t nMax, int iWaitMs = 2000);
    // The same with the kernel's time stamp of each frame, in nanoseconds:
    // an independent clock for round trips.
    struct SStamped {
        std::vector<uint8_t> bytes;
        int64_t llNs = 0;
    };
    std::vector<SStamped> CollectStamped(size_t nMax, int iWaitMs = 2000);

private:
    pcap* m_h = nullptr;
};

// From the first frame that begins with first to the next one after it that
// begins with second, by the kernel's stamps: a round trip as the wire saw
// it. -1 when either is missing.
int64_t WireGapNs(const std::vector<CPeerCapture::SStamped>& frames,
    const std::vector<uint8_t>& first, const std::vector<uint8_t>& second);

// Every record of a capture file as libpcap reads it.
Frames ReadCaptureFrames(const std::string& csPath);

// What tshark, checking IPv4 and UDP checksums, finds wrong with frames seen
// on the wire: one line per frame with a bad checksum, a malformed packet or
// an expert error, and a line when tshark cannot read them all. "" when a
// device's kernel and stack would take every one.
std::string TsharkFaults(const Frames& frames);

} // namespace vtest
