#pragma once

// The one place that changes a frame's bytes and keeps it whole: the aim, the
// conversation and the checksum mending all edit through here. The rules:
//   - a checksum that was right is updated for the changed words only
//     (RFC 1624), one that was wrong is computed afresh, and a UDP checksum
//     of 0 ("none") stays 0;
//   - a frame that changes length gets its BVLC, UDP, IPv4 total and 802.3
//     lengths and both checksums anew, and zeros up to 60 bytes: padding is
//     never payload, and never counted in a length.
// Bytes only: no file, no socket.

#include "decode/Frame.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::frame {

// Frames shorter than this (without the FCS) are padded on the wire.
inline constexpr uint32_t kMinFrameLength = 60;

// The ones' complement sum of p[0, n) added to uStart, folded to 16 bits; an
// odd last byte counts as its word's high half.
uint16_t OnesSum(const uint8_t* p, size_t n, uint64_t uStart = 0);

// How a checksum reads.
enum class ESum : uint8_t {
    Absent, // no such header, or not all of what it covers was captured
    Right,
    Wrong,
    None, // a UDP checksum of 0
};

struct SChecksums {
    ESum eIp = ESum::Absent;
    ESum eUdp = ESum::Absent;
    uint16_t uIpShould = 0; // what a wrong one should read
    uint16_t uUdpShould = 0;
    bool AnyWrong() const { return eIp == ESum::Wrong || eUdp == ESum::Wrong; }
};

// The checksums of an IPv4 header at uIpAt and of the UDP datagram after it
// (not of a fragment's, which covers bytes of other frames). Reads nothing
// outside p[0, n).
SChecksums CheckIpv4(const uint8_t* p, size_t n, uint32_t uIpAt);
// The same for any Ethernet frame (VLAN tags as the frame rules have them);
// both Absent when it carries no IPv4.
SChecksums CheckFrame(const uint8_t* p, size_t n);

// Wrong IPv4 and UDP checksums of a BACnet/IP frame as located: true when one
// was wrong (and, unless bKeep, is now right). Fragments and frames cut short
// are left alone.
bool HasWrongChecksums(const uint8_t* p, size_t n, const SFrameLayout& layout);
bool MendChecksums(uint8_t* p, size_t n, const SFrameLayout& layout);

// An edit of one located BACnet frame in place. Writes keep the length;
// SetPayload ends the frame after new bytes. Finish puts the lengths,
// checksums and padding right and gives the frame's length.
class CFrameEdit {
public:
    // pFrame holds uLength bytes in a buffer of uCapacity. bKeepWrong: a wrong
    // checksum is updated as a right one would be, so it stays as wrong as
    // it was captured (the user asked for the checksums as captured).
    CFrameEdit(uint8_t* pFrame, uint32_t uLength, uint32_t uCapacity, const SFrameLayout& layout,
        bool bKeepWrong = false);

    // What the checksums read before the edit.
    const SChecksums& Before() const { return m_before; }

    void Put(uint32_t uAt, const uint8_t* pNew, uint32_t n);
    void Put8(uint32_t uAt, uint8_t u) { Put(uAt, &u, 1); }
    void Put16(uint32_t uAt, uint16_t u);

    // The frame's BACnet payload from uFrom (past the link, IP, UDP and BVLC
    // headers) becomes pNew[0, n), and the frame ends there. False, and
    // nothing written, when the frame would not fit the buffer.
    bool SetPayload(uint32_t uFrom, const uint8_t* pNew, size_t n);
    // A UDP checksum even where the frame had none (frames of our own).
    void WantUdpChecksum() { m_bWantUdp = true; }

    // Lengths, checksums and padding; the frame's length.
    uint32_t Finish();

private:
    void Track(uint32_t uAt, uint32_t n, bool bAfter);

    uint8_t* m_p;
    uint32_t m_uLength;
    uint32_t m_uCapacity;
    SFrameLayout m_layout;
    bool m_bKeepWrong;
    bool m_bIp;
    SChecksums m_before;
    uint32_t m_uIpEnd = 0; // the header's end
    uint32_t m_uUdpEnd = 0; // the datagram's end as its length says (within the bytes)
    uint64_t m_uIpDelta = 0; // RFC 1624 eqn. 3: the sum of ~old and new words
    uint64_t m_uUdpDelta = 0;
    bool m_bChanged = false;
    bool m_bNewLength = false;
    bool m_bWantUdp = false;
    uint32_t m_uNewEnd = 0;
    std::vector<uint16_t> m_old; // words of the span being written
};

} // namespace velmora::frame
