#pragma once

// Frames to rows and field trees, without widgets.
//
// One record decodes to an SRow (the packet list's columns) and, when asked,
// to a tree of SField (name, value and the bytes each field covers, so a hex
// view can highlight them). Decoding never reads past the captured bytes:
// whatever runs out of data or breaks the encoding decodes as far as it can
// and sets bMalformed, and the Info text then ends in " [malformed]".
//
// The Info text, as a BACnet engineer reads it:
//   Confirmed-Request   <service>[<id>] <parameters>        readProperty[ 5] analog-input,1
//   present-value ComplexACK          <service>-ACK[<id>] <parameters>    readProperty-ACK[ 5]
//   analog-input,1 present-value = 21.5 SimpleACK           SimpleACK[<id>] <service> SimpleACK[ 6]
//   writeProperty Unconfirmed         <service> <parameters>              who-Is, who-Is 100-200,
//   i-Am device,1234 Error               Error[<id>] <service> <class>: <code>  Error[ 7]
//   readProperty property: unknown-property Reject / Abort      Reject[<id>] <reason> Abort[ 9]
//   segmentation-not-supported SegmentACK          SegmentACK[<id>] seq <n> window <n> (SegmentNAK
//   when negative) network message     <message name> <parameters>         Who-Is-Router-To-Network
//   5 BVLC only           <function> <parameters>             Register-Foreign-Device ttl 60 s
// <id> is the invoke ID, right-aligned in two places ("[ 5]", "[42]", "[200]").
// Services use their ASN.1 identifiers (who-Is, readPropertyMultiple); objects
// read "type,instance" (analog-input,1; object type 130 reads "130,7"); properties use
// their ASN.1 names (present-value), with an array index as "priority-array[8]".
// WriteProperty adds " priority N". ReadPropertyMultiple lists its requests as
// "analog-input,1 present-value, status-flags; device,5 object-name"; subscribeCOV
// reads "analog-input,1 lifetime 300 s" (or "cancel"). A value follows " = ": REAL as 21.5 (50.0),
// Unsigned/Signed/Enumerated as numbers, Boolean true/false, "text" for
// CharacterString, NULL; several values are joined by ", ".
// Segmented requests and ACKs add " segment <seq>" and ", more follows".
// A Forwarded-NPDU adds " (from <ip>:<port>)", its originating address.
//
// Other frames:
//   ARP            who has 10.0.0.2? tell 10.0.0.1  /  10.0.0.2 is at 02:76:6d:00:00:02
//   TCP / UDP      40000 -> 80 [SYN]  /  5000 -> 6000 len 12
//   other IP       IPv4 protocol 47 (GRE)  /  IPv6 next header 58 (ICMPv6)
//   LLC            DSAP 0x42 SSAP 0x42 (Spanning Tree) UI
//   EtherType      EtherType 0x88b5 (Local Experimental): 00 00 00 01 52 9e ...
//   link type      link type 105 (the record is not decoded)

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::dissect {

// LINKTYPE_ETHERNET / DLT_EN10MB: the only link type decoded.
constexpr uint32_t kLinkEthernet = 1;

// One record as the capture describes it.
struct SRecordHeader {
    int64_t llTimeNs = 0; // since the epoch, nanoseconds (micro files are scaled)
    uint32_t uCapLen = 0; // bytes in the file (what the decoder sees)
    uint32_t uWireLen = 0; // bytes the frame had on the wire
};

// Everything one decode needs.
struct SFrame {
    const uint8_t* pData = nullptr; // uCapLen bytes (nullptr allowed when uCapLen is 0)
    SRecordHeader header;
    uint32_t uLinkType = kLinkEthernet;
    uint64_t uNumber = 0; // 0-based record number, the offset field's number
    int64_t llFirstTimeNs = 0; // time stamp of record 0, for the relative time
    bool bNanoResolution = false; // the file stores nanoseconds: show 9 decimals
    // Mark wrong IPv4 and UDP checksums (a capture's packet list). Frames
    // heard leave them out: a sender's kernel may leave its checksum to the
    // NIC, and the ear hears the frame before any NIC fills it in.
    bool bChecksums = true;
};

// The packet list's columns, in display order.
enum class EColumn { Number, Time, Source, Destination, Protocol, Length, Info };
constexpr int kColumnCount = 7;
const char* ColumnTitle(EColumn column); // "No.", "Time", ... "Info"

// One row of the packet list.
struct SRow {
    uint64_t uNumber = 0;
    int64_t llRelTimeNs = 0; // to record 0; negative when the capture goes back in time
    bool bNanoResolution = false;
    uint32_t uCapLen = 0;
    uint32_t uWireLen = 0;
    // "02:76:6d:0a:00:01", or "10.0.0.1:47808 (02:76:6d:0a:00:01)" where IP
    // and a port are present ("10.0.0.1 (02:...)" for IP without ports).
    std::string csSource;
    std::string csDestination;
    // "BACnet/IP", "BACnet/Ethernet", "BVLC", "ARP", "UDP", "TCP", "IPv4",
    // "IPv6", "ICMP", "LLC", an EtherType name, "Ethernet", or "link type N".
    std::string csProtocol;
    std::string csInfo;
    bool bMalformed = false;
    // An IPv4 header or UDP checksum that does not add up (a kernel drops the
    // frame): the Info text ends in " [bad UDP checksum]" or the like.
    bool bBadChecksum = false;
};

// The text a column shows: number "12"; time "0.001250" (nine decimals for
// nanosecond captures); length "60", or "40 of 60" when the record was cut
// short of its wire length.
std::string ColumnText(const SRow& row, EColumn column);

// One decoded field. Offsets are in the frame (byte 0 is the first byte of the
// destination MAC); uLength 0 marks a field that covers no bytes of its own
// (a summary or a note such as "Malformed: ...").
struct SField {
    std::string csName; // "Invoke ID"
    std::string csValue; // "5"
    uint32_t uOffset = 0;
    uint32_t uLength = 0;
    std::vector<SField> children;

    // "Invoke ID: 5", or the name alone when there is no value.
    std::string Text() const;
};

// Decodes the row. Never throws, never reads outside frame.pData[0, uCapLen).
SRow DecodeRow(const SFrame& frame);

// Decodes the row and fills *pTree with the top-level fields (one per layer:
// "Frame", "Ethernet II", "IPv4", "UDP", "BVLC", "NPDU", "APDU", ...). Meant
// for the one selected record: it costs more than DecodeRow.
SRow DecodeTree(const SFrame& frame, std::vector<SField>* pTree);

} // namespace velmora::dissect
