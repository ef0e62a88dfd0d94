#pragma once

#include "capture/CaptureReader.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace velmora {

// The largest captured length libpcap's reader accepts for Ethernet captures.
constexpr uint32_t kMaxPcapSnapLen = kLongestRecord;

// The one pcap writer: a classic pcap file (Ethernet link type) through
// libpcap's dump routines, with microsecond or nanosecond time stamps. Every
// record's captured length, wire length and time stamp are the caller's, and
// the stream has a large buffer of its own so that millions of records go
// quickly. The frames a Send heard and the test tools' captures both come
// from here.
class CCaptureWriter {
public:
    CCaptureWriter() = default;
    ~CCaptureWriter();
    CCaptureWriter(const CCaptureWriter&) = delete;
    CCaptureWriter& operator=(const CCaptureWriter&) = delete;

    // uSnapLen goes into the file header as it is; bNano: the time stamps'
    // fractions are nanoseconds (the file says so), else microseconds.
    bool Open(const std::string& csPath, uint32_t uSnapLen = kMaxPcapSnapLen, bool bNano = false);
    // One record of uCapLen bytes from pData that claims uWireLen on the wire;
    // uUsec is in nanoseconds in a nanosecond file.
    bool Write(const void* pData, uint32_t uCapLen, uint32_t uWireLen, uint32_t uSec = 0,
        uint32_t uUsec = 0);
    // One record holding all of the bytes, wire length equal to captured length.
    bool Write(const std::vector<uint8_t>& bytes, uint32_t uSec = 0, uint32_t uUsec = 0);
    // Flushes and closes; false if anything could not be written.
    bool Close();

    bool IsOpen() const { return m_pDumper != nullptr; }
    uint64_t RecordCount() const { return m_uRecords; }
    const std::string& Error() const { return m_csError; }

private:
    pcap* m_hDead = nullptr;
    pcap_dumper* m_pDumper = nullptr;
    FILE* m_pFile = nullptr;
    std::unique_ptr<char[]> m_pBuffer;
    uint64_t m_uRecords = 0;
    std::string m_csError;
};

} // namespace velmora
