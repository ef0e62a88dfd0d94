#pragma once

// The little of a BACnet frame the judge and the conversation need: who sent it to whom (link,
// BVLC and NPDU addresses), what kind of APDU it carries, its invoke ID and
// service, and the few parameters that decide a verdict (error class and
// code, reject and abort reasons, Who-Is limits, the I-Am/I-Have device).
// Never reads outside the bytes given; what does not parse is "not BACnet".

#include "decode/Frame.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora::frame {

enum class EApdu : uint8_t {
    NotBacnet, // not a BACnet frame, or cut short before its APDU header
    BvlcOnly, // a BVLC message without an NPDU (Register-Foreign-Device, ...)
    NetworkMessage,
    ConfirmedRequest,
    UnconfirmedRequest,
    SimpleAck,
    ComplexAck,
    SegmentAck,
    Error,
    Reject,
    Abort,
};

// A BACnet MAC or NPDU address: up to 18 bytes (a B/IPv6 address); longer
// ones do not parse.
struct SStation {
    uint8_t uLength = 0;
    std::array<uint8_t, 18> bytes {};
    bool operator==(const SStation&) const = default;
};

struct SBacnetFrame {
    EApdu eApdu = EApdu::NotBacnet;
    bool bIp = false; // BACnet/IP (else BACnet/Ethernet)

    // Link: MACs for BACnet/Ethernet, IP address and port (6 bytes, as BACnet
    // writes a B/IP address) for BACnet/IP.
    SStation linkSource;
    SStation linkDestination;
    uint8_t uBvlcFunction = 0;
    bool bForwarded = false; // a Forwarded-NPDU: origin holds its original source
    SStation origin;

    // NPDU
    bool bHasDnet = false;
    uint16_t uDnet = 0;
    SStation dadr; // empty for a broadcast on DNET
    bool bHasSnet = false;
    uint16_t uSnet = 0;
    SStation sadr;
    uint8_t uNetworkMessage = 0; // eApdu NetworkMessage

    // APDU
    uint8_t uInvokeId = 0;
    uint8_t uService = 0;
    bool bSegmented = false; // the SEG bit
    uint8_t uSequence = 0; // of a segment
    bool bServer = false; // Abort and SegmentACK: sent by the server
    uint32_t uErrorClass = 0;
    uint32_t uErrorCode = 0;
    bool bHasErrorCodes = false;
    uint8_t uReason = 0; // Reject, Abort

    // Who-Is / Who-Has limits (inclusive), when both were given.
    bool bHasLimits = false;
    uint32_t uLowLimit = 0;
    uint32_t uHighLimit = 0;
    // I-Am / I-Have: the device's instance number.
    bool bHasDevice = false;
    uint32_t uDeviceInstance = 0;
};

// Unconfirmed services and network messages the judge pairs.
constexpr uint8_t kIAm = 0;
constexpr uint8_t kIHave = 1;
constexpr uint8_t kWhoHas = 7;
constexpr uint8_t kWhoIs = 8;
constexpr uint8_t kWhoIsRouterToNetwork = 0x00;
constexpr uint8_t kIAmRouterToNetwork = 0x01;

// Parses an Ethernet frame (nLength bytes as captured) that frame::LocateFrame
// finds BACnet: its rules for tags, ports and padding hold here too. Never throws.
SBacnetFrame ParseBacnet(const uint8_t* pData, size_t nLength);

// What "Send requests only" does with a parsed frame (see decode/Frame.h).
ERequestKind ClassifyRequest(const SBacnetFrame& frame);

// The source and destination of a frame as BACnet sees them: a Forwarded-NPDU
// comes from its origin.
SStation BacnetSource(const SBacnetFrame& frame);

// The one pairing rule, the judge's and the conversation's. An answer is a
// SimpleACK, ComplexACK, Error or Reject, or an Abort the server sent (a
// client's Abort ends its own request and answers none).
bool IsAnswer(const SBacnetFrame& a);
// Does answer a come back from where confirmed request r went, to where it
// came from, with its invoke ID and, where the answer names one, its service?
// Routed: back to r's SNET/SADR when it named one (else its link source), and
// from its DNET/DADR.
bool AnswersConfirmed(const SBacnetFrame& r, const SBacnetFrame& a);

} // namespace velmora::frame
