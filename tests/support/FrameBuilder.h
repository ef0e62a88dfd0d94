#pragma once

// Hand-built frames for decoder tests: hex text for the bytes a test is about,
// helpers for the layers around them. Lengths are filled in unless a test
// overrides them to make a frame lie.

#include <cstdint>
#include <string_view>
#include <vector>

namespace vtest {

using Bytes = std::vector<uint8_t>;

// "01 20 ff ff"; spaces are ignored. Throws on anything but hex digits.
Bytes Hex(std::string_view sv);
Bytes Cat(std::initializer_list<Bytes> parts);

// Station A (02:76:6d:0a:00:01, 10.0.0.1) sends to station B (02:76:6d:0a:00:02, 10.0.0.2).
extern const uint8_t kMacA[6];
extern const uint8_t kMacB[6];

// Ethernet II from A to B, padded to 60 bytes unless bPad is false.
Bytes EthernetII(uint16_t uType, const Bytes& payload, bool bPad = true);
// 802.3 from A to B with the given LLC bytes and data; iLength -1: the real length.
Bytes Ieee8023(const Bytes& llcAndData, int iLength = -1);
// BACnet/Ethernet: 802.3 with LLC 82 82 03, then the NPDU and APDU.
Bytes BacnetEthernet(const Bytes& npduApdu);

// IPv4 from 10.0.0.1 to 10.0.0.2 inside Ethernet II, its header checksum
// right; iTotal -1: the real total length.
Bytes Ipv4Frame(uint8_t uProtocol, const Bytes& payload, int iTotal = -1, uint16_t uFragment = 0);
// A UDP header and payload; iLength -1: the real length.
Bytes Udp(uint16_t uSrc, uint16_t uDst, const Bytes& payload, int iLength = -1);
// A BVLC: type 0x81, function, length (-1: the real one), body.
Bytes Bvlc(uint8_t uFunction, const Bytes& body, int iLength = -1);
// A whole BACnet/IP frame, port 47808 to 47808.
Bytes BacnetIp(uint8_t uFunction, const Bytes& body);
// The frame with its IPv4 header checksum and UDP checksum filled in from
// the lengths its headers give (Ethernet padding is no payload), as a
// device's kernel checks them. Other frames come back as they are.
Bytes WithChecksums(Bytes frame);

// Checksums summed here from scratch, apart from the program's frame editor.
// The IPv4 header (after up to two VLAN tags) gets a right checksum, and the
// UDP datagram one too when bUdp (else 0, "none"); other frames stay as they are.
Bytes Checksummed(Bytes frame, bool bUdp = true);
// Whether a kernel would take the frame: the IPv4 header checksum adds up,
// and the UDP one does or is 0. True for what carries no IPv4 (or UDP).
struct SChecksumsHold {
    bool bIp = true;
    bool bUdp = true;
    bool bUdpZero = false; // the UDP checksum is 0
};
SChecksumsHold ChecksumsHold(const Bytes& frame);

// Segment uSeq of a readPropertyMultiple-ACK with invoke ID uInvoke over
// BACnet/IP: a segmented ComplexACK, "more follows" when bMore; svData is the
// segment's service data in hex.
Bytes RpmAckSegment(uint8_t uInvoke, uint8_t uSeq, bool bMore, std::string_view svData);
// One answer's service data cut into three segments, and the row that
// completes it: "readPropertyMultiple-ACK[ 5] analog-input,1 present-value =
// 21.5, status-flags = {0000} (reassembled from 3 segments)" for invoke ID 5.
extern const char* const kThreeSegments[3];

} // namespace vtest
