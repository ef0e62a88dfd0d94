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

private:
    pcap* m_h = nullptr;
};

// Every record of a capture file as libpcap reads it.
Frames ReadCaptureFrames(const std::string& csPath);

} // namespace vtest
