#pragma once

// Test data: odd and damaged captures, pcapng files and test frames. The
// product's pcap writer is capture/CaptureWriter.h.

#include "capture/CaptureWriter.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// Writes the bytes of a pcap file exactly as asked, for files that libpcap's
// dump routines would never produce: odd magic numbers or versions, a captured
// length above the snapshot length or above the wire length, a record cut off
// by the end of the file, garbage. Little-endian, like the dump routines here.
class CRawCaptureWriter {
public:
    static constexpr uint32_t kMagicMicro = 0xa1b2c3d4;
    static constexpr uint32_t kMagicNano = 0xa1b23c4d;
    static constexpr uint32_t kLinkEthernet = 1;

    CRawCaptureWriter() = default;
    ~CRawCaptureWriter();
    CRawCaptureWriter(const CRawCaptureWriter&) = delete;
    CRawCaptureWriter& operator=(const CRawCaptureWriter&) = delete;

    bool Open(const std::string& csPath);
    void FileHeader(uint32_t uSnapLen = kMaxPcapSnapLen, uint32_t uMagic = kMagicMicro,
        uint16_t uMajor = 2, uint16_t uMinor = 4, uint32_t uLinkType = kLinkEthernet);
    void RecordHeader(uint32_t uSec, uint32_t uUsec, uint32_t uCapLen, uint32_t uWireLen);
    void Bytes(const void* pData, size_t nSize);
    void Bytes(const std::vector<uint8_t>& bytes) { Bytes(bytes.data(), bytes.size()); }
    // A complete record: header and data, wire length given.
    void Record(const std::vector<uint8_t>& bytes, uint32_t uWireLen, uint32_t uSec = 0,
        uint32_t uUsec = 0);
    void U32(uint32_t u);
    bool Close();

private:
    FILE* m_pFile = nullptr;
    bool m_bFailed = false;
};

// Writes a pcapng file block by block, in either byte order, with the damage a
// test asks for. Everything is the caller's choice; nothing is checked.
class CPcapngWriter {
public:
    static constexpr uint32_t kPen = 32473; // the documentation enterprise number

    CPcapngWriter() = default;
    ~CPcapngWriter();
    CPcapngWriter(const CPcapngWriter&) = delete;
    CPcapngWriter& operator=(const CPcapngWriter&) = delete;

    bool Open(const std::string& csPath);
    // A Section Header Block; the blocks after it use its byte order.
    void Section(bool bBigEndian = false, uint16_t uMinor = 0);
    // An Interface Description Block; returns its number within the section.
    // uResolution: 10^-uResolution s, or 2^-uResolution s when bBinary (no
    // if_tsresol option is written for the default, 10^-6).
    uint32_t Interface(uint32_t uLinkType = 1, uint32_t uSnapLen = 0, uint8_t uResolution = 6,
        bool bBinary = false, const std::string& csName = "");
    // Packet blocks; uWireLen 0: the captured length.
    void Enhanced(uint32_t uInterface, const std::vector<uint8_t>& bytes, uint64_t uUnits = 0,
        uint32_t uWireLen = 0);
    void Simple(const std::vector<uint8_t>& bytes, uint32_t uWireLen = 0);
    void Obsolete(uint16_t uInterface, const std::vector<uint8_t>& bytes, uint64_t uUnits = 0);
    // A Custom Block (type 0x00000bad) and an Interface Statistics Block.
    void Custom(const std::vector<uint8_t>& data);
    void Statistics(uint32_t uInterface);
    // Any block: type and body (padded to 4 bytes here).
    void Block(uint32_t uType, const std::vector<uint8_t>& body);
    // Damage to the next block only: keep its first nKeep bytes (and end the
    // file there, as a cut-off copy would); or give its trailer another length.
    void CutNextBlock(size_t nKeep) { m_nCut = nKeep; }
    void NextTrailer(uint32_t uLength) { m_uTrailer = uLength; }
    // Flushes and closes; false if anything could not be written.
    bool Close();

private:
    void Put16(std::vector<uint8_t>& v, uint16_t u) const;
    void Put32(std::vector<uint8_t>& v, uint32_t u) const;
    FILE* m_pFile = nullptr;
    bool m_bFailed = false;
    bool m_bBig = false;
    uint32_t m_uInterfaces = 0;
    size_t m_nCut = SIZE_MAX;
    uint32_t m_uTrailer = 0;
};

// The pcapng shapes the tests list, decode and send, one file each.
struct SPcapngSample {
    std::string csName; // "le-micro", "two-link-types", ...
    std::string csPath;
    // Every record the file holds whole, in file order, as its block holds it.
    std::vector<std::vector<uint8_t>> frames;
    size_t nLibpcap = 0; // how many of them libpcap reads before it stops
    bool bDamaged = false; // the file ends in a damaged block after the frames
};
// Writes them all into csFolder: both byte orders; 10^-6, 10^-9 and 2^-10 s
// resolutions; two interfaces (names and resolutions differ); two interfaces of
// different link types; two sections (same and other byte order); custom and
// statistics blocks; Simple and obsolete Packet Blocks; a truncated block; a
// block whose trailer gives another length. Frames are MakeTestFrame, each of
// its own size. Empty when a file cannot be written.
std::vector<SPcapngSample> WritePcapngSamples(const std::string& csFolder);

// Source address of every frame made below, so that a capture on the peer can
// pick them out: 02:76:6d:00:00:01 (locally administered).
extern const uint8_t kTestSourceMac[6];

// A frame of uSize bytes: destination and source address, the local
// experimental EtherType 0x88b5, then uSeq and a pattern that depends on it.
// Frames shorter than the header hold the first bytes of that layout.
std::vector<uint8_t> MakeTestFrame(uint32_t uSize, uint32_t uSeq);

// uCount records of MakeTestFrame(uSize, i); wire length uWireLen (0: the
// captured length); time stamps one microsecond apart.
bool WriteTestCapture(const std::string& csPath, uint64_t uCount, uint32_t uSize,
    uint32_t uWireLen = 0, std::string* pError = nullptr);

// The four frames of samples/bacnet-sample.pcap (BACnet on 802.3 with LLC):
// Who-Is, I-Am, ReadProperty of analog-input 1 Present_Value, and its ACK.
std::vector<std::vector<uint8_t>> MakeBacnetSampleFrames();
bool WriteBacnetSample(const std::string& csPath, std::string* pError = nullptr);

// The frames of samples/bacnet-ip-sample.pcap (BACnet/IP: Ethernet II, IPv4,
// UDP port 47808, BVLC): Who-Is, I-Am of device 1234, ReadProperty of
// analog-input 1 Present_Value and its ACK (REAL 21.5), WriteProperty of
// analog-value 2 Present_Value (REAL 50.0, priority 8) and its SimpleACK, and a
// ReadProperty of analog-input 99 answered by an Error (object, unknown-object).
std::vector<std::vector<uint8_t>> MakeBacnetIpSampleFrames();
bool WriteBacnetIpSample(const std::string& csPath, std::string* pError = nullptr);

} // namespace velmora
