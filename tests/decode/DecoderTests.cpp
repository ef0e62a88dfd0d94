#include "FrameBuilder.h"
#include "TestSupport.h"
#include "capture/IndexRows.h"
#include "decode/Decoder.h"
#include "decode/Segments.h"
#include "tools/CaptureWriter.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <thread>

using namespace vtest;
using namespace velmora::dissect;

namespace {

// The object identifier of analog-input,1 and analog-value,2, and present-value.
const char* const kAi1 = "0c 00 00 00 01";
const char* const kAv2 = "0c 00 80 00 02";

SFrame FrameOf(const Bytes& bytes, uint32_t uWireLen = 0, uint32_t uLinkType = kLinkEthernet)
{
    SFrame frame;
    frame.pData = bytes.data();
    frame.header.uCapLen = static_cast<uint32_t>(bytes.size());
    frame.header.uWireLen = uWireLen ? uWireLen : frame.header.uCapLen;
    frame.uLinkType = uLinkType;
    return frame;
}

struct SCase {
    const char* szName;
    Bytes frame;
    const char* szProtocol;
    std::string csInfo;
    std::string csReason {}; // the first malformation; empty: well-formed
    bool Malformed() const { return !csReason.empty(); }
};

Bytes Apdu(const std::string& cs)
{
    return Hex(cs);
}

// IPv6 from fe80::1 to fe80::2 in Ethernet II; uNext names the first header after it.
Bytes Ipv6Frame(uint8_t uNext, const Bytes& payload)
{
    Bytes h = Hex("60000000 0000 00 40 fe800000000000000000000000000001 "
                  "fe800000000000000000000000000002");
    h[4] = static_cast<uint8_t>(payload.size() >> 8);
    h[5] = static_cast<uint8_t>(payload.size());
    h[6] = uNext;
    return EthernetII(0x86dd, Cat({ h, payload }));
}

// A BACnet/IPv6 BVLC: type 0x82, function, length, body.
Bytes Bvlc6(uint8_t uFunction, const Bytes& body)
{
    const size_t n = body.size() + 4;
    return Cat(
        { { 0x82, uFunction, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n) }, body });
}

// BACnet/IPv6 on port 47808, then the BVLC.
Bytes BacnetIpv6(uint8_t uFunction, const Bytes& body)
{
    return Ipv6Frame(17, Udp(47808, 47808, Bvlc6(uFunction, body)));
}

std::vector<SCase> Cases()
{
    const std::string ai1 = kAi1, av2 = kAv2;
    return {
        // BACnet/IP, the services decoded in depth.
        { "who-Is", BacnetIp(0x0b, Hex("01 00 10 08")), "BACnet/IP", "who-Is" },
        { "who-Is range", BacnetIp(0x0b, Hex("01 00 10 08 09 64 1a 00 c8")), "BACnet/IP",
            "who-Is 100-200" },
        { "i-Am", BacnetIp(0x0b, Hex("01 00 10 00 c4 02 00 04 d2 22 05 c4 91 03 21 00")),
            "BACnet/IP", "i-Am device,1234" },
        { "i-Am of a proprietary object type",
            BacnetIp(0x0b, Hex("01 00 10 00 c4 20 80 00 07 22 05 c4 91 03 21 00")), "BACnet/IP",
            "i-Am 130,7" },
        { "who-Has object", BacnetIp(0x0b, Hex("01 00 10 07 2c 00 00 00 01")), "BACnet/IP",
            "who-Has analog-input,1" },
        { "who-Has name in a range",
            BacnetIp(0x0b, Hex("01 00 10 07 09 01 19 0a 3d 05 00 52 6f 6f 6d")), "BACnet/IP",
            "who-Has 1-10 \"Room\"" },
        { "i-Have",
            BacnetIp(0x0b, Hex("01 00 10 01 c4 02 00 04 d2 c4 00 00 00 01 75 05 00 52 6f 6f 6d")),
            "BACnet/IP", "i-Have device,1234 analog-input,1 \"Room\"" },
        { "readProperty", BacnetIp(0x0a, Apdu("01 04 00 05 05 0c" + ai1 + "19 55")), "BACnet/IP",
            "readProperty[ 5] analog-input,1 present-value" },
        { "readProperty with an array index",
            BacnetIp(0x0a, Apdu("01 04 00 05 2a 0c" + av2 + "19 57 29 08")), "BACnet/IP",
            "readProperty[42] analog-value,2 priority-array[8]" },
        { "readProperty of an unknown property, invoke ID 200",
            BacnetIp(0x0a, Apdu("01 04 00 05 c8 0c" + ai1 + "1a 02 00")), "BACnet/IP",
            "readProperty[200] analog-input,1 property 512" },
        { "readProperty-ACK REAL",
            BacnetIp(0x0a, Apdu("01 00 30 05 0c" + ai1 + "19 55 3e 44 41 ac 00 00 3f")),
            "BACnet/IP", "readProperty-ACK[ 5] analog-input,1 present-value = 21.5" },
        { "readProperty-ACK CharacterString",
            BacnetIp(
                0x0a, Hex("01 00 30 09 0c 0c 02 00 04 d2 19 4d 3e 75 06 00 52 6f 6f 6d 31 3f")),
            "BACnet/IP", "readProperty-ACK[ 9] device,1234 object-name = \"Room1\"" },
        { "readProperty-ACK ISO 8859-1 string",
            BacnetIp(0x0a, Hex("01 00 30 09 0c 0c 02 00 04 d2 19 4d 3e 74 05 42 e4 72 3f")),
            "BACnet/IP", "readProperty-ACK[ 9] device,1234 object-name = \"B\xc3\xa4r\"" },
        { "readProperty-ACK Enumerated of a binary object",
            BacnetIp(0x0a, Hex("01 00 30 0a 0c 0c 01 40 00 03 19 55 3e 91 01 3f")), "BACnet/IP",
            "readProperty-ACK[10] binary-value,3 present-value = active" },
        { "readProperty-ACK object-type",
            BacnetIp(0x0a, Apdu("01 00 30 0b 0c" + ai1 + "19 4f 3e 91 00 3f")), "BACnet/IP",
            "readProperty-ACK[11] analog-input,1 object-type = analog-input" },
        { "readProperty-ACK list of object identifiers",
            BacnetIp(0x0a,
                Hex("01 00 30 01 0c 0c 02 00 04 d2 19 4c 3e c4 02 00 04 d2 c4 00 00 00 01 c4 00 00 "
                    "00 "
                    "02 c4 00 80 00 02 3f")),
            "BACnet/IP",
            "readProperty-ACK[ 1] device,1234 object-list = device,1234, analog-input,1, "
            "analog-input,2, ... (4 values)" },
        { "readProperty-ACK constructed value",
            BacnetIp(0x0a, Hex("01 00 30 02 0c 0c 02 00 04 d2 19 7b 3e 0e 91 01 0f 3f")),
            "BACnet/IP", "readProperty-ACK[ 2] device,1234 weekly-schedule = (constructed value)" },
        { "writeProperty REAL with priority",
            BacnetIp(0x0a, Apdu("01 04 00 05 06 0f" + av2 + "19 55 3e 44 42 48 00 00 3f 49 08")),
            "BACnet/IP", "writeProperty[ 6] analog-value,2 present-value = 50.0 priority 8" },
        { "writeProperty NULL relinquishes",
            BacnetIp(0x0a, Apdu("01 04 00 05 06 0f" + av2 + "19 55 3e 00 3f 49 10")), "BACnet/IP",
            "writeProperty[ 6] analog-value,2 present-value = NULL priority 16" },
        { "writeProperty Signed",
            BacnetIp(0x0a, Hex("01 04 00 05 06 0f 0c 0b 40 00 01 19 55 3e 32 ff 38 3f")),
            "BACnet/IP", "writeProperty[ 6] integer-value,1 present-value = -200" },
        { "writeProperty Unsigned",
            BacnetIp(0x0a, Hex("01 04 00 05 06 0f 0c 0c 00 00 01 19 55 3e 23 01 00 00 3f")),
            "BACnet/IP", "writeProperty[ 6] positive-integer-value,1 present-value = 65536" },
        { "writeProperty Boolean",
            BacnetIp(0x0a, Apdu("01 04 00 05 06 0f" + ai1 + "19 51 3e 11 3f")), "BACnet/IP",
            "writeProperty[ 6] analog-input,1 out-of-service = true" },
        { "SimpleACK", BacnetIp(0x0a, Hex("01 00 20 06 0f")), "BACnet/IP",
            "SimpleACK[ 6] writeProperty" },
        { "Error", BacnetIp(0x0a, Hex("01 00 50 07 0c 91 01 91 1f")), "BACnet/IP",
            "Error[ 7] readProperty object: unknown-object" },
        { "Error of writeProperty", BacnetIp(0x0a, Hex("01 00 50 07 0f 91 02 91 28")), "BACnet/IP",
            "Error[ 7] writeProperty property: write-access-denied" },
        { "Error wrapped in [0]", BacnetIp(0x0a, Hex("01 00 50 08 0a 0e 91 03 91 12 0f 19 00")),
            "BACnet/IP", "Error[ 8] createObject resources: no-space-for-object" },
        { "Reject", BacnetIp(0x0a, Hex("01 00 60 05 09")), "BACnet/IP",
            "Reject[ 5] unrecognized-service" },
        { "Abort", BacnetIp(0x0a, Hex("01 00 71 05 04")), "BACnet/IP",
            "Abort[ 5] segmentation-not-supported" },
        { "SegmentACK", BacnetIp(0x0a, Hex("01 00 40 05 03 04")), "BACnet/IP",
            "SegmentACK[ 5] seq 3 window 4" },
        { "SegmentNAK", BacnetIp(0x0a, Hex("01 00 42 05 03 04")), "BACnet/IP",
            "SegmentNAK[ 5] seq 3 window 4" },
        { "segmented request, later segment",
            BacnetIp(0x0a, Hex("01 04 0c 05 05 02 04 0e 1e 09 55 1f")), "BACnet/IP",
            "readPropertyMultiple[ 5] segment 2, more follows" },
        { "segmented request, last segment: segmented without more follows",
            BacnetIp(0x0a, Hex("01 04 08 05 05 02 04 0e 1e 09 55 1f")), "BACnet/IP",
            "readPropertyMultiple[ 5] segment 2" },
        { "segmented request, first segment",
            BacnetIp(0x0a, Hex("01 04 0e 05 05 00 04 0e 0c 00 00 00 01 1e 09 55 1f")), "BACnet/IP",
            "readPropertyMultiple[ 5] segment 0, more follows" },
        { "segmented ComplexACK, last segment",
            BacnetIp(0x0a, Hex("01 00 38 05 02 04 0e 1e 29 55 1f")), "BACnet/IP",
            "readPropertyMultiple-ACK[ 5] segment 2" },
        { "subscribeCOV with a process ID of four bytes",
            BacnetIp(0x0a,
                Apdu("01 04 00 05 08 05 0c 12 34 56 78 1c" + ai1.substr(3) + "29 01 3a 01 2c")),
            "BACnet/IP", "subscribeCOV[ 8] analog-input,1 lifetime 300 s" },
        { "subscribeCOV with a process ID of five bytes",
            BacnetIp(0x0a, Apdu("01 04 00 05 08 05 0d 05 12 34 56 78 9a 1c" + ai1.substr(3))),
            "BACnet/IP", "subscribeCOV[ 8] [malformed]", "broken Subscriber Process Identifier" },
        { "subscribeCOV",
            BacnetIp(0x0a,
                Apdu("01 04 00 05 08 05 09 12 1c" + std::string("00 00 00 01 29 01 3a 01 2c"))),
            "BACnet/IP", "subscribeCOV[ 8] analog-input,1 lifetime 300 s" },
        { "subscribeCOV indefinite",
            BacnetIp(
                0x0a, Apdu("01 04 00 05 08 05 09 12 1c" + std::string("00 00 00 01 29 00 39 00"))),
            "BACnet/IP", "subscribeCOV[ 8] analog-input,1 lifetime indefinite" },
        { "subscribeCOV cancel", BacnetIp(0x0a, Apdu("01 04 00 05 08 05 09 12 1c" + ai1.substr(3))),
            "BACnet/IP", "subscribeCOV[ 8] analog-input,1 cancel" },
        { "readPropertyMultiple",
            BacnetIp(0x0a,
                Apdu("01 04 02 05 03 0e 0c" + ai1.substr(2)
                    + "1e 09 55 09 6f 1f 0c 02 00 00 05 1e 09 4d 1f")),
            "BACnet/IP",
            "readPropertyMultiple[ 3] analog-input,1 present-value, status-flags; device,5 "
            "object-name" },
        { "readPropertyMultiple with an array index",
            BacnetIp(0x0a, Apdu("01 04 02 05 03 0e 0c" + av2.substr(2) + "1e 09 57 19 10 1f")),
            "BACnet/IP", "readPropertyMultiple[ 3] analog-value,2 priority-array[16]" },
        { "readPropertyMultiple without its closing tag",
            BacnetIp(0x0a, Apdu("01 04 02 05 03 0e 0c" + ai1.substr(2) + "1e 09 55")), "BACnet/IP",
            "readPropertyMultiple[ 3] analog-input,1 present-value [malformed]",
            "the list of properties ends before its closing tag" },
        { "readPropertyMultiple with an empty list",
            BacnetIp(0x0a, Apdu("01 04 02 05 03 0e 0c" + ai1.substr(2) + "1e 1f")), "BACnet/IP",
            "readPropertyMultiple[ 3] analog-input,1 [malformed]", "an empty list of properties" },
        { "readPropertyMultiple-ACK of one value",
            BacnetIp(0x0a,
                Apdu("01 00 30 03 0e 0c" + ai1.substr(2) + "1e 29 55 4e 44 41 ac 00 00 4f 1f")),
            "BACnet/IP", "readPropertyMultiple-ACK[ 3] analog-input,1 present-value = 21.5" },
        // The services' parameters, bytes worked by hand from the encoding rules.
        // device,1234 = 02 00 04 d2; analog-output,1 = 00 40 00 01; file,1 = 02 80 00 01;
        // trend-log,1 = 05 00 00 01; 2026-12-07 (Monday) = a4 7e 0c 07 01; 14:30 = b4 0e 1e 00 00.
        { "confirmedCOVNotification",
            BacnetIp(0x0a,
                Hex("01 04 00 05 01 01 09 12 1c 02 00 04 d2 2c 00 40 00 01 39 00 4e 09 55 2e 44 "
                    "42 48 00 00 2f 09 6f 2e 82 04 00 2f 4f")),
            "BACnet/IP",
            "confirmedCOVNotification[ 1] device,1234 analog-output,1 present-value status-flags" },
        { "unconfirmedCOVNotification",
            BacnetIp(0x0b,
                Apdu("01 00 10 02 09 12 1c 02 00 04 d2 2c" + ai1.substr(3)
                    + "39 3c 4e 09 55 2e 44 41 ac 00 00 2f 4f")),
            "BACnet/IP", "unconfirmedCOVNotification device,1234 analog-input,1 present-value" },
        { "COV notification with a value list left open",
            BacnetIp(0x0b,
                Apdu("01 00 10 02 09 12 1c 02 00 04 d2 2c" + ai1.substr(3)
                    + "39 3c 4e 09 55 2e 44 41 ac 00 00 2f")),
            "BACnet/IP",
            "unconfirmedCOVNotification device,1234 analog-input,1 present-value [malformed]",
            "the list of values ends before its closing tag" },
        { "confirmedEventNotification",
            BacnetIp(0x0a,
                Apdu("01 04 00 05 03 02 09 01 1c 02 00 04 d2 2c" + ai1.substr(3)
                    + "3e 2e a4 7e 0c 07 01 b4 0e 1e 00 00 2f 3f 49 05 59 64 69 05 89 00 99 01 a9 "
                      "00 b9 03 ce 5e 0c 42 c8 00 00 1a 04 00 2c 3f 80 00 00 3c 42 c8 00 00 5f "
                      "cf")),
            "BACnet/IP",
            "confirmedEventNotification[ 3] device,1234 analog-input,1 out-of-range alarm normal "
            "-> "
            "high-limit" },
        { "event notification of an alarm without its new state",
            BacnetIp(0x0b,
                Apdu("01 00 10 03 09 01 1c 02 00 04 d2 2c" + ai1.substr(3)
                    + "3e 19 07 3f 49 05 59 64 69 05 89 00 a9 00")),
            "BACnet/IP",
            "unconfirmedEventNotification device,1234 analog-input,1 out-of-range alarm "
            "[malformed]",
            "ends before To State" },
        { "unconfirmedEventNotification, ack-notification without states",
            BacnetIp(0x0b,
                Apdu("01 00 10 03 09 01 1c 02 00 04 d2 2c" + ai1.substr(3)
                    + "3e 19 07 3f 49 05 59 64 69 05 89 02")),
            "BACnet/IP",
            "unconfirmedEventNotification device,1234 analog-input,1 out-of-range "
            "ack-notification" },
        { "acknowledgeAlarm",
            BacnetIp(0x0a,
                Apdu("01 04 00 05 04 00 09 01 1c" + ai1.substr(3)
                    + "29 03 3e 19 2a 3f 4b 00 6f 70 5e 0c 0e 1f 00 00 5f")),
            "BACnet/IP", "acknowledgeAlarm[ 4] analog-input,1 high-limit \"op\"" },
        { "acknowledgeAlarm without its time of acknowledgment",
            BacnetIp(0x0a,
                Apdu("01 04 00 05 04 00 09 01 1c" + ai1.substr(3)
                    + "29 03 3e 19 2a 3f 4b 00 6f 70")),
            "BACnet/IP", "acknowledgeAlarm[ 4] analog-input,1 high-limit \"op\" [malformed]",
            "ends before Time of Acknowledgment" },
        { "atomicReadFile stream",
            BacnetIp(0x0a, Hex("01 04 00 05 05 06 c4 02 80 00 01 0e 31 00 22 04 00 0f")),
            "BACnet/IP", "atomicReadFile[ 5] file,1 stream from 0, 1024 octets" },
        { "atomicReadFile records",
            BacnetIp(0x0a, Hex("01 04 00 05 05 06 c4 02 80 00 01 1e 31 03 21 02 1f")), "BACnet/IP",
            "atomicReadFile[ 5] file,1 records from 3, 2 records" },
        { "atomicReadFile-ACK stream, end of file",
            BacnetIp(0x0a, Hex("01 00 30 05 06 11 0e 31 00 63 01 02 03 0f")), "BACnet/IP",
            "atomicReadFile-ACK[ 5] stream from 0, 3 octets, end of file" },
        { "atomicReadFile-ACK records",
            BacnetIp(0x0a, Hex("01 00 30 05 06 10 1e 31 03 21 02 62 aa bb 61 cc 1f")), "BACnet/IP",
            "atomicReadFile-ACK[ 5] records from 3, 2 records" },
        { "atomicReadFile-ACK with file data past the end",
            BacnetIp(0x0a, Hex("01 00 30 05 06 10 0e 31 00 64 01 02 03")), "BACnet/IP",
            "atomicReadFile-ACK[ 5] [malformed]", "broken File Data" },
        { "atomicWriteFile stream",
            BacnetIp(0x0a, Hex("01 04 00 05 06 07 c4 02 80 00 01 0e 31 00 63 01 02 03 0f")),
            "BACnet/IP", "atomicWriteFile[ 6] file,1 stream from 0, 3 octets" },
        { "atomicWriteFile records",
            BacnetIp(
                0x0a, Hex("01 04 00 05 06 07 c4 02 80 00 01 1e 31 03 21 02 62 aa bb 61 cc 1f")),
            "BACnet/IP", "atomicWriteFile[ 6] file,1 records from 3, 2 records" },
        { "atomicWriteFile-ACK", BacnetIp(0x0a, Hex("01 00 30 06 07 09 00")), "BACnet/IP",
            "atomicWriteFile-ACK[ 6] stream from 0" },
        { "createObject by type with an initial value",
            BacnetIp(0x0a, Hex("01 04 00 05 07 0a 0e 09 02 0f 1e 09 4d 2e 74 00 41 42 43 2f 1f")),
            "BACnet/IP", "createObject[ 7] analog-value with object-name" },
        { "createObject by identifier",
            BacnetIp(0x0a, Hex("01 04 00 05 07 0a 0e 1c 00 80 00 05 0f")), "BACnet/IP",
            "createObject[ 7] analog-value,5" },
        { "createObject-ACK", BacnetIp(0x0a, Hex("01 00 30 07 0a c4 00 80 00 05")), "BACnet/IP",
            "createObject-ACK[ 7] analog-value,5" },
        { "deleteObject", BacnetIp(0x0a, Hex("01 04 00 05 08 0b c4 00 80 00 05")), "BACnet/IP",
            "deleteObject[ 8] analog-value,5" },
        { "readRange by position",
            BacnetIp(0x0a, Hex("01 04 00 05 09 1a 0c 05 00 00 01 19 83 3e 21 01 31 0a 3f")),
            "BACnet/IP", "readRange[ 9] trend-log,1 log-buffer by position 1 count 10" },
        { "readRange by sequence number, backwards",
            BacnetIp(0x0a, Hex("01 04 00 05 09 1a 0c 05 00 00 01 19 83 6e 21 05 31 f6 6f")),
            "BACnet/IP", "readRange[ 9] trend-log,1 log-buffer by sequence 5 count -10" },
        { "readRange by time",
            BacnetIp(0x0a,
                Hex("01 04 00 05 09 1a 0c 05 00 00 01 19 83 7e a4 7e 0c 07 01 b4 0e 1e 00 00 31 0a "
                    "7f")),
            "BACnet/IP",
            "readRange[ 9] trend-log,1 log-buffer by time 2026-12-07 14:30:00.00 count 10" },
        { "readRange-ACK",
            BacnetIp(0x0a,
                Hex("01 00 30 09 1a 0c 05 00 00 01 19 83 3a 05 c0 49 02 5e 0e a4 7e 0c 07 01 b4 0e "
                    "1e 00 00 0f 1e 2c 41 ac 00 00 1f 0e a4 7e 0c 07 01 b4 0e 1f 00 00 0f 1e 2c 41 "
                    "b0 00 00 1f 5f 69 05")),
            "BACnet/IP", "readRange-ACK[ 9] trend-log,1 log-buffer 2 items from #5" },
        { "lifeSafetyOperation",
            BacnetIp(0x0a, Hex("01 04 00 05 0a 1b 09 01 1b 00 6f 70 29 01 3c 05 40 00 01")),
            "BACnet/IP", "lifeSafetyOperation[10] life-safety-point,1 silence" },
        { "subscribeCOVProperty with an increment",
            BacnetIp(0x0a,
                Apdu("01 04 00 05 0b 1c 09 12 1c" + ai1.substr(3)
                    + "29 01 39 3c 4e 09 55 4f 5c 3f 00 00 00")),
            "BACnet/IP",
            "subscribeCOVProperty[11] analog-input,1 present-value increment 0.5 lifetime 60 s" },
        { "subscribeCOVProperty cancel",
            BacnetIp(0x0a, Apdu("01 04 00 05 0b 1c 09 12 1c" + ai1.substr(3) + "4e 09 55 4f")),
            "BACnet/IP", "subscribeCOVProperty[11] analog-input,1 present-value cancel" },
        { "subscribeCOVPropertyMultiple",
            BacnetIp(0x0a,
                Hex("01 04 00 05 0c 1e 09 12 19 01 29 3c 4e 0c 00 00 00 01 1e 0e 09 55 0f 29 00 0e "
                    "09 6f 0f 29 00 1f 4f")),
            "BACnet/IP",
            "subscribeCOVPropertyMultiple[12] analog-input,1 present-value, status-flags lifetime "
            "60 s" },
        { "confirmedCOVNotificationMultiple",
            BacnetIp(0x0a,
                Hex("01 04 00 05 0d 1f 09 12 1c 02 00 04 d2 29 3c 3e a4 7e 0c 07 01 b4 0e 1e 00 00 "
                    "3f 4e 0c 00 00 00 01 1e 09 55 2e 44 41 ac 00 00 2f 3c 0e 1e 00 00 1f 0c 00 00 "
                    "00 02 1e 09 55 2e 44 41 b0 00 00 2f 1f 4f")),
            "BACnet/IP",
            "confirmedCOVNotificationMultiple[13] device,1234 analog-input,1 present-value; "
            "analog-input,2 present-value" },
        { "you-Are",
            BacnetIp(
                0x0b, Hex("01 00 10 0e 21 05 74 00 4d 6f 64 74 00 53 4e 31 c4 02 00 04 d2 61 0a")),
            "BACnet/IP", "you-Are device,1234 vendor 5 \"Mod\" \"SN1\"" },
        { "unconfirmedTextMessage",
            BacnetIp(0x0b, Hex("01 00 10 05 0c 02 00 04 d2 29 01 3b 00 48 69")), "BACnet/IP",
            "unconfirmedTextMessage device,1234 urgent \"Hi\"" },
        { "confirmedTextMessage with a message class",
            BacnetIp(0x0a, Hex("01 04 00 05 10 13 0c 02 00 04 d2 1e 09 03 1f 29 00 3b 00 48 69")),
            "BACnet/IP", "confirmedTextMessage[16] device,1234 normal \"Hi\"" },
        { "readPropertyMultiple-ACK with values and an error",
            BacnetIp(0x0a,
                Apdu("01 00 30 03 0e 0c" + ai1.substr(2)
                    + "1e 29 55 4e 44 41 ac 00 00 4f 29 6f 4e 82 04 00 4f 1f 0c 02 00 00 05 1e 29 "
                      "1c 5e 91 02 91 20 5f 1f")),
            "BACnet/IP",
            "readPropertyMultiple-ACK[ 3] analog-input,1 present-value = 21.5, status-flags = "
            "{0000}; device,5 description (property: unknown-property)" },
        { "readPropertyMultiple-ACK with an array index",
            BacnetIp(0x0a,
                Apdu("01 00 30 03 0e 0c" + av2.substr(2)
                    + "1e 29 57 39 08 4e 44 42 48 00 00 4f 1f")),
            "BACnet/IP", "readPropertyMultiple-ACK[ 3] analog-value,2 priority-array[8] = 50.0" },
        { "readPropertyMultiple-ACK result with neither value nor error",
            BacnetIp(0x0a, Apdu("01 00 30 03 0e 0c" + ai1.substr(2) + "1e 29 55 1f")), "BACnet/IP",
            "readPropertyMultiple-ACK[ 3] analog-input,1 present-value [malformed]",
            "no Property Access Error where one belongs" },
        { "writePropertyMultiple",
            BacnetIp(0x0a,
                Apdu("01 04 00 05 0e 10 0c" + av2.substr(2)
                    + "1e 09 55 2e 44 42 48 00 00 2f 39 08 09 51 2e 11 2f 1f")),
            "BACnet/IP",
            "writePropertyMultiple[14] analog-value,2 present-value = 50.0 priority 8, "
            "out-of-service = true" },
        { "writePropertyMultiple with priority 17",
            BacnetIp(
                0x0a, Apdu("01 04 00 05 0e 10 0c" + av2.substr(2) + "1e 09 55 2e 00 2f 39 11 1f")),
            "BACnet/IP",
            "writePropertyMultiple[14] analog-value,2 present-value = NULL priority 17 [malformed]",
            "priority 17 outside 1-16" },
        { "writeProperty to an array index",
            BacnetIp(0x0a, Apdu("01 04 00 05 06 0f" + av2 + "19 57 29 08 3e 44 42 48 00 00 3f")),
            "BACnet/IP", "writeProperty[ 6] analog-value,2 priority-array[8] = 50.0" },
        { "readProperty-ACK BACnetDateTime",
            BacnetIp(0x0a,
                Hex("01 00 30 0f 0c 0c 0b 00 00 01 19 55 3e a4 7e 0c 07 01 b4 0e 1e 00 00 3f")),
            "BACnet/IP",
            "readProperty-ACK[15] datetime-value,1 present-value = 2026-12-07 14:30:00.00" },
        { "confirmedPrivateTransfer", BacnetIp(0x0a, Hex("01 04 00 05 01 12 09 07")), "BACnet/IP",
            "confirmedPrivateTransfer[ 1]" },
        { "unconfirmed timeSynchronization",
            BacnetIp(0x0b, Hex("01 00 10 06 a4 7e 0c 07 01 b4 0a 00 00 00")), "BACnet/IP",
            "timeSynchronization" },
        { "unknown confirmed service", BacnetIp(0x0a, Hex("01 04 00 05 01 c8")), "BACnet/IP",
            "confirmed service 200[ 1]" },

        // BVLC functions and the NPDU.
        { "Forwarded-NPDU", BacnetIp(0x04, Hex("c0 a8 0a 05 ba c0 01 00 10 08")), "BACnet/IP",
            "who-Is (from 192.168.10.5:47808)" },
        { "Distribute-Broadcast-To-Network", BacnetIp(0x09, Hex("01 00 10 08")), "BACnet/IP",
            "who-Is" },
        { "BVLC-Result NAK", BacnetIp(0x00, Hex("00 30")), "BVLC",
            "BVLC-Result: Register-Foreign-Device NAK" },
        { "BVLC-Result success", BacnetIp(0x00, Hex("00 00")), "BVLC",
            "BVLC-Result: Successful completion" },
        { "Register-Foreign-Device", BacnetIp(0x05, Hex("00 3c")), "BVLC",
            "Register-Foreign-Device ttl 60 s" },
        { "Read-Broadcast-Distribution-Table", BacnetIp(0x02, {}), "BVLC",
            "Read-Broadcast-Distribution-Table" },
        { "Read-Broadcast-Distribution-Table-Ack",
            BacnetIp(0x03, Hex("c0 a8 0a 01 ba c0 ff ff ff ff c0 a8 0b 01 ba c0 ff ff ff ff")),
            "BVLC", "Read-Broadcast-Distribution-Table-Ack, 2 entries" },
        { "Read-Foreign-Device-Table-Ack", BacnetIp(0x07, Hex("c0 a8 0a 09 ba c0 00 3c 00 1e")),
            "BVLC", "Read-Foreign-Device-Table-Ack, 1 entry" },
        { "Delete-Foreign-Device-Table-Entry", BacnetIp(0x08, Hex("c0 a8 0a 09 ba c0")), "BVLC",
            "Delete-Foreign-Device-Table-Entry 192.168.10.9:47808" },
        { "Secure-BVLL", BacnetIp(0x0c, Hex("00 01 02")), "BVLC", "Secure-BVLL" },
        { "Who-Is-Router-To-Network", BacnetIp(0x0b, Hex("01 80 00")), "BACnet/IP",
            "Who-Is-Router-To-Network" },
        { "Who-Is-Router-To-Network 5", BacnetIp(0x0b, Hex("01 80 00 00 05")), "BACnet/IP",
            "Who-Is-Router-To-Network 5" },
        { "I-Am-Router-To-Network", BacnetIp(0x0b, Hex("01 80 01 00 01 00 02")), "BACnet/IP",
            "I-Am-Router-To-Network 1, 2" },
        { "Reject-Message-To-Network", BacnetIp(0x0a, Hex("01 80 03 01 00 09")), "BACnet/IP",
            "Reject-Message-To-Network 9: not a router to the network" },
        { "Initialize-Routing-Table-Ack", BacnetIp(0x0a, Hex("01 80 07 01 00 05 01 00")),
            "BACnet/IP", "Initialize-Routing-Table-Ack, 1 port" },
        { "Network-Number-Is", BacnetIp(0x0b, Hex("01 80 13 00 07 01")), "BACnet/IP",
            "Network-Number-Is 7 (configured)" },
        { "What-Is-Network-Number", BacnetIp(0x0b, Hex("01 80 12")), "BACnet/IP",
            "What-Is-Network-Number" },
        { "proprietary network message", BacnetIp(0x0a, Hex("01 80 85 01 04 aa")), "BACnet/IP",
            "proprietary network message 0x85" },
        { "routed readProperty (DNET, SNET, hop count)",
            BacnetIp(0x0a, Apdu("01 2c 00 05 01 0a 00 07 01 03 fe 00 05 01 0c" + ai1 + "19 55")),
            "BACnet/IP", "readProperty[ 1] analog-input,1 present-value" },

        // BACnet/IPv6: virtual addresses of three bytes, B/IPv6 addresses of eighteen.
        { "BACnet/IPv6 Original-Unicast-NPDU",
            BacnetIpv6(0x01, Apdu("00 00 01 00 00 02 01 04 00 05 05 0c" + ai1 + "19 55")),
            "BACnet/IPv6", "readProperty[ 5] analog-input,1 present-value" },
        { "BACnet/IPv6 Original-Broadcast-NPDU", BacnetIpv6(0x02, Hex("00 00 01 01 00 10 08")),
            "BACnet/IPv6", "who-Is" },
        { "BACnet/IPv6 Distribute-Broadcast-To-Network",
            BacnetIpv6(0x0c, Hex("00 00 01 01 00 10 08")), "BACnet/IPv6", "who-Is" },
        { "BACnet/IPv6 Forwarded-NPDU",
            BacnetIpv6(0x08, Hex("00 00 01 fe800000000000000000000000000005 ba c0 01 00 10 08")),
            "BACnet/IPv6", "who-Is (from [fe80::5]:47808)" },
        { "BACnet/IPv6 Address-Resolution", BacnetIpv6(0x03, Hex("00 00 01 00 00 02")), "BVLC",
            "Address-Resolution 00:00:01 -> 00:00:02" },
        { "BACnet/IPv6 BVLC-Result", BacnetIpv6(0x00, Hex("00 00 01 00 90")), "BVLC",
            "BVLC-Result: Register-Foreign-Device NAK" },
        { "BACnet/IPv6 Register-Foreign-Device", BacnetIpv6(0x09, Hex("00 00 01 00 3c")), "BVLC",
            "Register-Foreign-Device ttl 60 s" },
        { "BACnet/IPv6 destination address cut", BacnetIpv6(0x01, Hex("00 00 01 00")), "BVLC",
            "Original-Unicast-NPDU [malformed]", "the Destination Virtual Address is cut off" },
        { "BACnet/IPv6 behind hop-by-hop and destination options",
            Ipv6Frame(0,
                Cat({ Hex("3c 00 01 04 00 00 00 00 11 00 01 04 00 00 00 00"),
                    Udp(47808, 47808, Bvlc6(0x02, Hex("00 00 01 01 00 10 08"))) })),
            "BACnet/IPv6", "who-Is" },
        { "IPv6 fragment past the first", Ipv6Frame(44, Hex("11 00 05 c8 00 00 00 01 00 01 02 03")),
            "IPv6", "IPv6 fragment of UDP at offset 1480" },
        { "IPv6 first fragment",
            Ipv6Frame(
                44, Cat({ Hex("11 00 00 01 00 00 00 01"), Udp(5000, 6000, Hex("01020304")) })),
            "UDP", "5000 -> 6000 len 4 (first fragment)" },
        { "IPv6 extension header cut", Ipv6Frame(0, Hex("11 02 00 00 00 00 00 00 00 00")), "IPv6",
            "IPv6 extension header cut off [malformed]",
            "the IPv6 Hop-by-Hop Options header is cut off" },

        // BACnet/Ethernet.
        { "BACnet/Ethernet who-Is", BacnetEthernet(Hex("01 20 ff ff 00 ff 10 08")),
            "BACnet/Ethernet", "who-Is" },
        { "BACnet/Ethernet readProperty", BacnetEthernet(Apdu("01 04 00 05 01 0c" + ai1 + "19 55")),
            "BACnet/Ethernet", "readProperty[ 1] analog-input,1 present-value" },

        // Malformed BACnet: what decoded stays, the mark follows.
        { "readProperty cut in the object", BacnetIp(0x0a, Hex("01 04 00 05 05 0c 0c 00 00")),
            "BACnet/IP", "readProperty[ 5] [malformed]", "broken Object Identifier" },
        { "readProperty without its property", BacnetIp(0x0a, Apdu("01 04 00 05 05 0c" + ai1)),
            "BACnet/IP", "readProperty[ 5] analog-input,1 [malformed]",
            "ends before Property Identifier" },
        { "NPDU without an APDU", BacnetIp(0x0a, Hex("01 00")), "BACnet/IP",
            "APDU missing [malformed]", "no APDU" },
        { "NPDU version 2", BacnetIp(0x0a, Hex("02 00 10 08")), "BACnet/IP",
            "NPDU version 2 [malformed]", "NPDU version 2" },
        { "NPDU cut in DNET", BacnetIp(0x0a, Hex("01 20 ff")), "BACnet/IP", "NPDU [malformed]",
            "the NPDU ends before DNET" },
        { "NPDU cut in DADR", BacnetIp(0x0a, Hex("01 20 00 05 06 0a 0b")), "BACnet/IP",
            "NPDU [malformed]", "the NPDU ends inside DADR" },
        { "NPDU source broadcast", BacnetIp(0x0a, Hex("01 08 00 05 00 10 08")), "BACnet/IP",
            "who-Is [malformed]", "SLEN 0: a source address cannot be a broadcast" },
        { "BVLC length beyond the datagram",
            Ipv4Frame(17, Udp(47808, 47808, Bvlc(0x0b, Hex("01 00 10 08"), 100))), "BACnet/IP",
            "who-Is [malformed]", "BVLC length 100 is more than the 8 bytes present" },
        { "BVLC length below its header",
            Ipv4Frame(17, Udp(47808, 47808, Bvlc(0x0b, Hex("01 00 10 08"), 2))), "BVLC",
            "Original-Broadcast-NPDU [malformed]", "BVLC length 2 is below its header's" },
        { "BVLC length shorter than the datagram: the rest is not the NPDU's",
            Ipv4Frame(17, Udp(47808, 47808, Bvlc(0x0b, Hex("01 00 10 08 09 64 1a 00 c8"), 8))),
            "BACnet/IP", "who-Is [malformed]", "5 bytes after the BVLC length" },
        { "the first malformation is the reason, not the last",
            BacnetIp(0x0a, Hex("01 08 00 05 00 10 08 ff")), "BACnet/IP", "who-Is [malformed]",
            "SLEN 0: a source address cannot be a broadcast" },
        // Too short for a BVLC header: under the frame rule, plain UDP.
        { "BVLC header cut", Ipv4Frame(17, Udp(47808, 47808, Hex("81 0a"))), "UDP",
            "47808 -> 47808 len 2" },
        { "REAL of three bytes",
            BacnetIp(0x0a, Apdu("01 00 30 05 0c" + ai1 + "19 55 3e 43 41 ac 00 3f")), "BACnet/IP",
            "readProperty-ACK[ 5] analog-input,1 present-value = invalid length 3 [malformed]",
            "a REAL value that does not fit its type" },
        { "value without its closing tag",
            BacnetIp(0x0a, Apdu("01 00 30 05 0c" + ai1 + "19 55 3e 44 41 ac 00 00")), "BACnet/IP",
            "readProperty-ACK[ 5] analog-input,1 present-value [malformed]",
            "the value ends before its closing tag" },
        { "string claiming four gigabytes",
            BacnetIp(0x0a, Apdu("01 00 30 05 0c" + ai1 + "19 4d 3e 75 ff ff ff ff ff 3f")),
            "BACnet/IP", "readProperty-ACK[ 5] analog-input,1 object-name [malformed]",
            "a value claims more bytes than there are" },
        { "bytes after who-Is", BacnetIp(0x0b, Hex("01 00 10 08 ff")), "BACnet/IP",
            "who-Is [malformed]", "1 byte after the parameters" },
        { "who-Is with one limit", BacnetIp(0x0b, Hex("01 00 10 08 09 64")), "BACnet/IP",
            "who-Is [malformed]", "ends before High Limit" },
        { "i-Am cut after the device", BacnetIp(0x0b, Hex("01 00 10 00 c4 02 00 04 d2 22")),
            "BACnet/IP", "i-Am device,1234 [malformed]", "broken Max APDU Length Accepted" },
        { "writeProperty priority 0",
            BacnetIp(0x0a, Apdu("01 04 00 05 06 0f" + av2 + "19 55 3e 00 3f 49 00")), "BACnet/IP",
            "writeProperty[ 6] analog-value,2 present-value = NULL priority 0 [malformed]",
            "priority 0 outside 1-16" },
        { "APDU type 8", BacnetIp(0x0a, Hex("01 00 80 00")), "BACnet/IP", "APDU type 8 [malformed]",
            "unknown APDU type 8" },
        { "Reject without a reason", BacnetIp(0x0a, Hex("01 00 60 05")), "BACnet/IP",
            "Reject[ 5] [malformed]", "the APDU ends before its reason" },
        { "Confirmed-Request of one byte", BacnetIp(0x0a, Hex("01 00 00")), "BACnet/IP",
            "Confirmed-Request [malformed]", "the APDU ends before its max segments/max APDU" },
        { "Error without a code", BacnetIp(0x0a, Hex("01 00 50 07 0c 91 01")), "BACnet/IP",
            "Error[ 7] readProperty [malformed]", "ends before Error Code" },
        { "tag number extended past the end", BacnetIp(0x0a, Hex("01 04 00 05 05 0c f8")),
            "BACnet/IP", "readProperty[ 5] [malformed]",
            "a cut-off tag where Object Identifier belongs" },
        { "I-Am-Router-To-Network with an odd byte", BacnetIp(0x0b, Hex("01 80 01 00 01 00")),
            "BACnet/IP", "I-Am-Router-To-Network 1 [malformed]",
            "an odd byte after the network numbers" },

        // Other frames.
        { "ARP request",
            EthernetII(
                0x0806, Hex("0001 0800 06 04 0001 02766d0a0001 0a000001 000000000000 0a000002")),
            "ARP", "who has 10.0.0.2? tell 10.0.0.1" },
        { "ARP reply",
            EthernetII(
                0x0806, Hex("0001 0800 06 04 0002 02766d0a0001 0a000001 02766d0a0002 0a000002")),
            "ARP", "10.0.0.1 is at 02:76:6d:0a:00:01" },
        { "ARP cut", EthernetII(0x0806, Hex("0001 0800 06 04 0001 02766d"), false), "ARP",
            "ARP request, cut off [malformed]", "the ARP addresses are cut off" },
        { "UDP", Ipv4Frame(17, Udp(5000, 6000, Hex("00 01 02 03 04 05 06 07 08 09 0a 0b"))), "UDP",
            "5000 -> 6000 len 12" },
        { "UDP on the BACnet port, no BVLC", Ipv4Frame(17, Udp(47808, 47808, Hex("45 00 00 00"))),
            "UDP", "47808 -> 47808 len 4" },
        { "UDP length beyond the datagram", Ipv4Frame(17, Udp(5000, 6000, Hex("00 01"), 400)),
            "UDP", "5000 -> 6000 len 2 [malformed]",
            "UDP length 400 is more than the bytes present" },
        // Checksums a kernel would not take: a capture made on the sending host.
        { "a UDP checksum left to the NIC",
            [] {
                Bytes f = Checksummed(BacnetIp(0x0a, Hex("01 04 00 05 01 0c 0c 02000001 19 55")));
                f[14 + 20 + 6] ^= 0x10;
                return f;
            }(),
            "BACnet/IP", "readProperty[ 1] device,1 present-value [bad UDP checksum]" },
        { "a right UDP checksum is no mark",
            Checksummed(BacnetIp(0x0a, Hex("01 04 00 05 01 0c 0c 02000001 19 55"))), "BACnet/IP",
            "readProperty[ 1] device,1 present-value" },
        { "an IPv4 header checksum left to the NIC",
            [] {
                Bytes f = Ipv4Frame(17, Udp(5000, 6000, Hex("00 01")));
                f[14 + 10] = f[14 + 11] = 0;
                return f;
            }(),
            "UDP", "5000 -> 6000 len 2 [bad IPv4 checksum]" },
        { "both left to the NIC, and malformed after",
            [] {
                Bytes f = Checksummed(BacnetIp(0x0a, Hex("01 00 60 05")));
                f[14 + 10] ^= 1;
                f[14 + 20 + 7] ^= 1;
                return f;
            }(),
            "BACnet/IP", "Reject[ 5] [bad IPv4 and UDP checksums] [malformed]",
            "the APDU ends before its reason" },
        // A UDP checksum of 0 is none; a fragment's covers other frames.
        { "UDP checksum 0 is no mark",
            Checksummed(BacnetIp(0x0a, Hex("01 04 00 05 01 0c 0c 02000001 19 55")), false),
            "BACnet/IP", "readProperty[ 1] device,1 present-value" },
        { "a first fragment's UDP checksum is not checked",
            [] {
                Bytes f
                    = Checksummed(Ipv4Frame(17, Udp(5000, 6000, Hex("00 01 02 03")), -1, 0x2000));
                f[14 + 20 + 6] = 0x12;
                return f;
            }(),
            "UDP", "5000 -> 6000 len 4 (first fragment)" },
        { "TCP SYN",
            Ipv4Frame(6, Hex("9c 40 00 50 00 00 00 01 00 00 00 00 50 02 ff ff 00 00 00 00")), "TCP",
            "40000 -> 80 [SYN] len 0" },
        { "ICMP echo request", Ipv4Frame(1, Hex("08 00 f7 ff 00 00 00 00")), "ICMP",
            "IPv4 protocol 1 (ICMP) type 8 code 0" },
        { "IPv4 fragment", Ipv4Frame(17, Hex("00 01 02 03"), -1, 185), "IPv4",
            "IPv4 fragment of UDP at offset 1480" },
        { "IPv4 total length beyond the frame", Ipv4Frame(17, Udp(5000, 6000, {}), 200), "UDP",
            "5000 -> 6000 len 0 [malformed]",
            "IPv4 total length 200 is more than the bytes present" },
        { "IPv4 header cut", EthernetII(0x0800, Hex("45 00 00 1c 00 00"), false), "IPv4",
            "IPv4 header cut off [malformed]", "the IPv4 header is cut off" },
        { "IPv6 UDP",
            EthernetII(0x86dd,
                Hex("60000000 000c 11 40 fe800000000000000000000000000001 "
                    "ff020000000000000000000000000001 1388 1770 000c 0000 01020304")),
            "UDP", "5000 -> 6000 len 4" },
        { "EtherType without a decoder",
            EthernetII(0x88b5, Hex("00 00 00 01 52 9e 11 22 33 44 55 66 77 88 99 aa bb"), false),
            "Local Experimental",
            "EtherType 0x88b5 (Local Experimental): 00 00 00 01 52 9e 11 22 33 44 55 66 77 88 99 "
            "aa "
            "..." },
        { "unknown EtherType", EthernetII(0x7777, Hex("01 02"), false), "Ethernet",
            "EtherType 0x7777: 01 02" },
        { "LLC Spanning Tree", Ieee8023(Hex("42 42 03 00 00 00 00")), "LLC",
            "DSAP 0x42 SSAP 0x42 (Spanning Tree) UI" },
        { "802.3 length beyond the frame", Ieee8023(Hex("82 82 03 01 00 10 08"), 200),
            "BACnet/Ethernet", "who-Is [malformed]",
            "the 802.3 length 200 is more than the 46 bytes present" },
        { "type/length neither", EthernetII(0x05ee, Hex("01 02"), false), "Ethernet",
            "type/length field 0x05ee: 01 02 [malformed]",
            "the type/length field is neither a length nor an EtherType" },
        { "VLAN-tagged BACnet/IP",
            [] {
                Bytes v = BacnetIp(0x0b, Hex("01 00 10 08"));
                v.insert(v.begin() + 12, { 0x81, 0x00, 0x00, 0x0a });
                return v;
            }(),
            "BACnet/IP", "VLAN 10: who-Is" },
        { "frame shorter than Ethernet", Hex("02 76 6d 0a 00 02 02 76 6d 0a"), "Ethernet",
            "frame of 10 bytes, shorter than an Ethernet header [malformed]",
            "shorter than an Ethernet header" },
        { "empty frame", {}, "Ethernet",
            "frame of 0 bytes, shorter than an Ethernet header [malformed]",
            "shorter than an Ethernet header" },
    };
}

TEST(DecoderTest, FramesDecodeToTheirInfoText)
{
    for (const SCase& c : Cases()) {
        SCOPED_TRACE(c.szName);
        const SRow row = DecodeRow(FrameOf(c.frame));
        EXPECT_EQ(row.csInfo, c.csInfo);
        EXPECT_EQ(row.csProtocol, c.szProtocol);
        EXPECT_EQ(row.bMalformed, c.Malformed());
    }
}

// The tree is built from the same walk: the same row, and every field inside the frame.
TEST(DecoderTest, TreesAgreeWithRowsAndStayInsideTheFrame)
{
    for (const SCase& c : Cases()) {
        SCOPED_TRACE(c.szName);
        std::vector<SField> tree;
        const SFrame frame = FrameOf(c.frame);
        const SRow row = DecodeTree(frame, &tree);
        EXPECT_EQ(row.csInfo, c.csInfo);
        EXPECT_EQ(row.bMalformed, c.Malformed());
        ASSERT_FALSE(tree.empty());
        EXPECT_EQ(tree.back().csName == "Malformed", c.Malformed());
        EXPECT_EQ(tree.back().csName == "Malformed" ? tree.back().csValue : "", c.csReason);
        std::function<void(const SField&)> Check = [&](const SField& f) {
            EXPECT_LE(uint64_t { f.uOffset } + f.uLength, c.frame.size()) << f.Text();
            for (const SField& child : f.children)
                Check(child);
        };
        for (const SField& f : tree)
            Check(f);
    }
}

// The packet list marks a checksum a kernel would refuse, and its tree says
// what it should be; frames heard (the judge, the report) are read without.
TEST(DecoderTest, WrongChecksumsAreMarkedInThePacketListOnly)
{
    Bytes f = Checksummed(BacnetIp(0x0a, Hex("01 04 00 05 01 0c 0c 02000001 19 55")));
    const Bytes right = f;
    f[14 + 20 + 6] ^= 0x10;
    char szShould[16];
    std::snprintf(szShould, sizeof szShould, "0x%02x%02x", right[40], right[41]);
    SFrame frame = FrameOf(f);
    std::vector<SField> tree;
    SRow row = DecodeTree(frame, &tree);
    EXPECT_TRUE(row.bBadChecksum);
    auto it = std::find_if(
        tree.begin(), tree.end(), [](const SField& x) { return x.csName == "Bad checksum"; });
    ASSERT_NE(it, tree.end());
    EXPECT_EQ(it->csValue, std::string("UDP, should be ") + szShould);
    frame.bChecksums = false;
    row = DecodeTree(frame, &tree);
    EXPECT_FALSE(row.bBadChecksum);
    EXPECT_EQ(row.csInfo, "readProperty[ 1] device,1 present-value");
    EXPECT_EQ(std::count_if(tree.begin(), tree.end(),
                  [](const SField& x) { return x.csName == "Bad checksum"; }),
        0);
}

// Each cut of a real frame short of its last byte decodes within its bytes and is marked.
TEST(DecoderTest, EveryTruncationIsMarkedAndStaysInBounds)
{
    struct STruncCase {
        Bytes frame;
        size_t nContent; // bytes before the padding
    };
    const Bytes rp = Hex("01 04 00 05 06 0f 0c 00 80 00 02 19 55 3e 44 42 48 00 00 3f 49 08");
    const STruncCase cases[] = {
        { BacnetIp(0x0a, Hex("01 2c 00 05 01 0a 00 07 01 03 fe 00 05 01 0c 0c 00 00 00 01 19 55")),
            68 },
        { BacnetIp(0x04, Hex("c0 a8 0a 05 ba c0 01 00 10 00 c4 02 00 04 d2 22 05 c4 91 03 21 00")),
            68 },
        { BacnetEthernet(rp), 17 + rp.size() },
        // Nested lists of the services' parameters: COV, event, readPropertyMultiple-ACK.
        { BacnetIp(0x0a,
              Hex("01 04 00 05 01 01 09 12 1c 02 00 04 d2 2c 00 40 00 01 39 00 4e 09 55 2e 44 42 "
                  "48 00 00 2f 09 6f 2e 82 04 00 2f 4f")),
            46 + 38 },
        { BacnetIp(0x0a,
              Hex("01 04 00 05 03 02 09 01 1c 02 00 04 d2 2c 00 00 00 01 3e 2e a4 7e 0c 07 01 b4 "
                  "0e 1e 00 00 2f 3f 49 05 59 64 69 05 89 00 99 01 a9 00 b9 03")),
            46 + 46 },
        { BacnetIp(0x0a,
              Hex("01 00 30 03 0e 0c 00 00 00 01 1e 29 55 4e 44 41 ac 00 00 4f 29 6f 4e 82 04 00 "
                  "4f 1f 0c 02 00 00 05 1e 29 1c 5e 91 02 91 20 5f 1f")),
            46 + 43 },
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(DecodeRow(FrameOf(c.frame)).bMalformed);
        for (size_t n = 0; n < c.nContent; ++n) {
            // A copy of exactly n bytes, so that the sanitizers see any overrun.
            const Bytes cut(c.frame.begin(), c.frame.begin() + static_cast<long>(n));
            std::vector<SField> tree;
            const SRow row = DecodeTree(FrameOf(cut, static_cast<uint32_t>(c.frame.size())), &tree);
            EXPECT_TRUE(row.bMalformed) << n << ": " << row.csInfo;
            EXPECT_NE(row.csInfo.find("[malformed]"), std::string::npos) << n;
        }
    }
}

// A record cut inside a value: the value reads "(broken)", and nothing is taken
// from the bytes past the cut, which are still in memory here, so a read past
// the end would show up as a value even without a sanitizer.
TEST(DecoderTest, ValuesCutByTheRecordReadBroken)
{
    struct SCutCase {
        const char* szName;
        Bytes frame; // whole
        uint32_t uCut; // bytes the record keeps
        const char* szField; // the APDU field cut
        const char* szInfo;
    };
    // The NPDU starts at byte 46 of a BACnet/IP frame.
    const SCutCase cases[] = {
        { "i-Am inside Max APDU",
            BacnetIp(0x0b, Hex("01 00 10 00 c4 02 00 04 d2 22 05 c4 91 03 21 00")), 46 + 11,
            "Max APDU Length Accepted", "i-Am device,1234 [malformed]" },
        { "i-Am inside Vendor ID",
            BacnetIp(0x0b, Hex("01 00 10 00 c4 02 00 04 d2 22 05 c4 91 03 22 01 04")), 46 + 16,
            "Vendor ID", "i-Am device,1234 [malformed]" },
        { "readProperty inside the object",
            BacnetIp(0x0a, Hex("01 04 00 05 05 0c 0c 00 00 00 01 19 55")), 46 + 8,
            "Object Identifier", "readProperty[ 5] [malformed]" },
        { "readProperty inside a two-byte property",
            BacnetIp(0x0a, Hex("01 04 00 05 05 0c 0c 00 00 00 01 1a 02 00")), 46 + 13,
            "Property Identifier", "readProperty[ 5] analog-input,1 [malformed]" },
        { "Error inside the code", BacnetIp(0x0a, Hex("01 00 50 07 0c 91 01 92 00 1f")), 46 + 9,
            "Error Code", "Error[ 7] readProperty [malformed]" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        ASSERT_FALSE(DecodeRow(FrameOf(c.frame)).bMalformed);
        SFrame frame = FrameOf(c.frame);
        frame.header.uCapLen = c.uCut;
        std::vector<SField> tree;
        const SRow row = DecodeTree(frame, &tree);
        EXPECT_EQ(row.csInfo, c.szInfo);
        const SField* pField = nullptr;
        for (const SField& layer : tree)
            if (layer.csName == "APDU")
                for (const SField& f : layer.children)
                    if (f.csName == c.szField)
                        pField = &f;
        ASSERT_NE(pField, nullptr);
        EXPECT_EQ(pField->csValue, "(broken)");
        EXPECT_LE(pField->uOffset + pField->uLength, c.uCut);
    }
}

// Bytes past the BVLC length are marked where they sit and not decoded.
TEST(DecoderTest, BytesAfterTheBvlcLengthAreMarked)
{
    const Bytes frame
        = Ipv4Frame(17, Udp(47808, 47808, Bvlc(0x0b, Hex("01 00 10 08 09 64 1a 00 c8"), 8)));
    std::vector<SField> tree;
    DecodeTree(FrameOf(frame), &tree);
    const SField* pExtra = nullptr;
    const SField* pApdu = nullptr;
    for (const SField& layer : tree) {
        if (layer.csName == "APDU")
            pApdu = &layer;
        for (const SField& f : layer.children)
            if (f.csName == "Bytes after the BVLC length")
                pExtra = &f;
    }
    ASSERT_NE(pExtra, nullptr);
    EXPECT_EQ(pExtra->csValue, "5 bytes");
    EXPECT_EQ(pExtra->uOffset, 14u + 20 + 8 + 8);
    EXPECT_EQ(pExtra->uLength, 5u);
    ASSERT_NE(pApdu, nullptr);
    EXPECT_EQ(pApdu->uOffset + pApdu->uLength, pExtra->uOffset);
}

// The field tree of the services' parameters: each part under its name, nested
// where the encoding nests it.
TEST(DecoderTest, ServiceFieldsShowTheirParameters)
{
    struct SFieldCase {
        const char* szName;
        Bytes frame;
        std::vector<std::string> path; // field names under "APDU"; the last one checked
        const char* szValue;
    };
    const Bytes cov = BacnetIp(0x0a,
        Hex("01 04 00 05 01 01 09 12 1c 02 00 04 d2 2c 00 40 00 01 39 00 4e 09 55 2e 44 42 48 00 "
            "00 2f 09 6f 2e 82 04 00 2f 4f"));
    const Bytes event = BacnetIp(0x0a,
        Hex("01 04 00 05 03 02 09 01 1c 02 00 04 d2 2c 00 00 00 01 3e 2e a4 7e 0c 07 01 b4 0e 1e "
            "00 00 2f 3f 49 05 59 64 69 05 89 00 99 01 a9 00 b9 03"));
    const Bytes rpmAck
        = BacnetIp(0x0a, Hex("01 00 30 03 0e 0c 02 00 00 05 1e 29 1c 5e 91 02 91 20 5f 1f"));
    const Bytes file = BacnetIp(0x0a, Hex("01 00 30 05 06 11 0e 31 00 63 01 02 03 0f"));
    const SFieldCase cases[] = {
        { "COV time remaining", cov, { "Time Remaining" }, "indefinite" },
        { "COV first value", cov, { "Property Value" }, "present-value = 50.0" },
        { "COV value's property", cov, { "Property Value", "Property Identifier" },
            "present-value (85)" },
        { "event time stamp", event, { "Time Stamp" }, "2026-12-07 14:30:00.00" },
        { "event time stamp's date", event, { "Time Stamp", "Date and Time", "Date" },
            "2026-12-07" },
        { "event type", event, { "Event Type" }, "out-of-range (5)" },
        { "event to-state", event, { "To State" }, "high-limit (3)" },
        { "event ack required", event, { "Ack Required" }, "true" },
        { "readPropertyMultiple-ACK error", rpmAck, { "Result" },
            "description (property: unknown-property)" },
        { "readPropertyMultiple-ACK error code", rpmAck, { "Result", "Error Code" },
            "unknown-property (32)" },
        { "atomicReadFile-ACK data", file, { "Stream Access", "File Data" }, "3 bytes" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        std::vector<SField> tree;
        const SRow row = DecodeTree(FrameOf(c.frame), &tree);
        EXPECT_FALSE(row.bMalformed) << row.csInfo;
        const SField* pAt = nullptr;
        for (const SField& layer : tree)
            if (layer.csName == "APDU")
                pAt = &layer;
        for (const std::string& csName : c.path) {
            ASSERT_NE(pAt, nullptr);
            const SField* pNext = nullptr;
            for (const SField& f : pAt->children)
                if (f.csName == csName && !pNext)
                    pNext = &f;
            pAt = pNext;
        }
        ASSERT_NE(pAt, nullptr);
        EXPECT_EQ(pAt->csValue, c.szValue);
    }
}

// Where a routed or forwarded frame came from and goes: what a user checks when
// an answer goes elsewhere than the request's sender.
TEST(DecoderTest, RoutedAndForwardedFramesShowTheirEnds)
{
    struct SRouteCase {
        const char* szName;
        Bytes frame;
        const char* szLayer;
        const char* szField; // nullptr: the layer's own value
        const char* szValue;
    };
    const SRouteCase cases[] = {
        { "Forwarded-NPDU's originator", BacnetIp(0x04, Hex("c0 a8 0a 05 ba c0 01 00 10 08")),
            "BVLC", "Original Source", "192.168.10.5:47808" },
        { "global broadcast", BacnetIp(0x0b, Hex("01 20 ff ff 00 ff 10 08")), "NPDU", nullptr,
            "APDU, to global broadcast" },
        { "remote broadcast", BacnetIp(0x0b, Hex("01 20 00 05 00 ff 10 08")), "NPDU", nullptr,
            "APDU, to broadcast on network 5" },
        { "answer from a routed device, B/IP SADR",
            BacnetIp(0x0a, Hex("01 08 00 07 06 c0 a8 0b 02 ba c0 20 05 0f")), "NPDU", "SADR",
            "192.168.11.2:47808" },
        { "B/IPv6 Forwarded-NPDU's originator",
            BacnetIpv6(0x08, Hex("00 00 01 fe800000000000000000000000000005 ba c0 01 00 10 08")),
            "BVLC", "Original Source Address", "[fe80::5]:47808" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        std::vector<SField> tree;
        const SRow row = DecodeTree(FrameOf(c.frame), &tree);
        EXPECT_FALSE(row.bMalformed) << row.csInfo;
        std::string csValue = "(absent)";
        for (const SField& layer : tree) {
            if (layer.csName != c.szLayer)
                continue;
            if (!c.szField)
                csValue = layer.csValue;
            for (const SField& f : layer.children)
                if (c.szField && f.csName == c.szField)
                    csValue = f.csValue;
        }
        EXPECT_EQ(csValue, c.szValue);
    }
}

TEST(DecoderTest, AddressesNameMacsAndIpPorts)
{
    struct SAddrCase {
        const char* szName;
        Bytes frame;
        const char* szSource;
        const char* szDestination;
    };
    const SAddrCase cases[] = {
        { "BACnet/IP", BacnetIp(0x0b, Hex("01 00 10 08")), "10.0.0.1:47808 (02:76:6d:0a:00:01)",
            "10.0.0.2:47808 (02:76:6d:0a:00:02)" },
        { "ICMP", Ipv4Frame(1, Hex("08 00 f7 ff 00 00 00 00")), "10.0.0.1 (02:76:6d:0a:00:01)",
            "10.0.0.2 (02:76:6d:0a:00:02)" },
        { "BACnet/Ethernet", BacnetEthernet(Hex("01 00 10 08")), "02:76:6d:0a:00:01",
            "02:76:6d:0a:00:02" },
        { "IPv6",
            EthernetII(0x86dd,
                Hex("60000000 0008 11 40 fe800000000000000000000000000001 "
                    "20010db8000000000000000000000010 1388 1770 0008 0000")),
            "[fe80::1]:5000 (02:76:6d:0a:00:01)", "[2001:db8::10]:6000 (02:76:6d:0a:00:02)" },
        { "cut inside the source MAC", Hex("ff ff ff ff ff ff 02 76"), "", "ff:ff:ff:ff:ff:ff" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        const SRow row = DecodeRow(FrameOf(c.frame));
        EXPECT_EQ(row.csSource, c.szSource);
        EXPECT_EQ(row.csDestination, c.szDestination);
    }
}

// The fields a hex view highlights: names, values and where they sit.
TEST(DecoderTest, TreeFieldsPointAtTheirBytes)
{
    // Ethernet 14 + IPv4 20 + UDP 8 + BVLC 4 = 46: the NPDU starts there.
    const Bytes frame
        = BacnetIp(0x0a, Hex("01 2c 00 05 01 0a 00 07 01 03 fe 00 05 09 0c 0c 00 00 00 01 19 55"));
    std::vector<SField> tree;
    DecodeTree(FrameOf(frame), &tree);
    auto Find = [&tree](const std::string& csLayer, const std::string& csName) -> const SField* {
        for (const SField& layer : tree)
            if (layer.csName == csLayer)
                for (const SField& f : layer.children)
                    if (f.csName == csName)
                        return &f;
        return nullptr;
    };
    struct SExpect {
        const char* szLayer;
        const char* szName;
        const char* szValue;
        uint32_t uOffset;
        uint32_t uLength;
    };
    const SExpect expected[] = {
        { "Ethernet II", "Source", "02:76:6d:0a:00:01", 6, 6 },
        { "IPv4", "Destination", "10.0.0.2", 30, 4 },
        { "UDP", "Destination Port", "47808", 36, 2 },
        { "BVLC", "Function", "Original-Unicast-NPDU (0x0a)", 43, 1 },
        { "NPDU", "DNET", "5", 48, 2 },
        { "NPDU", "DADR", "10", 51, 1 },
        { "NPDU", "SNET", "7", 52, 2 },
        { "NPDU", "SADR", "3", 55, 1 },
        { "NPDU", "Hop Count", "254", 56, 1 },
        { "APDU", "Invoke ID", "9", 59, 1 },
        { "APDU", "Service Choice", "readProperty (12)", 60, 1 },
        { "APDU", "Object Identifier", "analog-input,1", 61, 5 },
        { "APDU", "Property Identifier", "present-value (85)", 66, 2 },
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(std::string(e.szLayer) + " " + e.szName);
        const SField* p = Find(e.szLayer, e.szName);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->csValue, e.szValue);
        EXPECT_EQ(p->uOffset, e.uOffset);
        EXPECT_EQ(p->uLength, e.uLength);
    }
    for (const SField& layer : tree) {
        if (layer.csName == "NPDU") {
            EXPECT_EQ(layer.csValue,
                "APDU, expecting reply, to network 5 address 10, from network 7 address 3");
        }
    }
    const SField* pControl = Find("NPDU", "Control");
    ASSERT_NE(pControl, nullptr);
    std::vector<std::string> flags;
    for (const SField& f : pControl->children)
        flags.push_back(f.Text());
    EXPECT_EQ(flags,
        std::vector<std::string>({ "APDU", "Destination: present", "Source: present",
            "Expecting Reply: yes", "Priority: normal" }));
}

TEST(DecoderTest, ColumnsShowTimeLengthAndOtherLinkTypes)
{
    const Bytes bytes = BacnetIp(0x0b, Hex("01 00 10 08"));
    struct STimeCase {
        int64_t llTime, llFirst;
        bool bNano;
        const char* szTime;
    };
    const STimeCase times[] = {
        { 1001250000, 1000000000, false, "0.001250" },
        { 1000000000, 1000000000, false, "0.000000" },
        { 3000000001, 1000000000, true, "2.000000001" },
        { 999900000, 1000000000, false, "-0.000100" },
        { INT64_MIN, 0, true, "-9223372036.854775808" },
    };
    for (const auto& t : times) {
        SFrame frame = FrameOf(bytes);
        frame.header.llTimeNs = t.llTime;
        frame.llFirstTimeNs = t.llFirst;
        frame.bNanoResolution = t.bNano;
        EXPECT_EQ(ColumnText(DecodeRow(frame), EColumn::Time), t.szTime);
    }
    SFrame cut = FrameOf(bytes, 1514);
    cut.uNumber = 1234567;
    const SRow row = DecodeRow(cut);
    EXPECT_EQ(ColumnText(row, EColumn::Length), "60 of 1514");
    EXPECT_EQ(ColumnText(row, EColumn::Number), "1234567");
    EXPECT_EQ(ColumnText(DecodeRow(FrameOf(bytes)), EColumn::Length), "60");

    const SRow other = DecodeRow(FrameOf(bytes, 0, 105));
    EXPECT_EQ(other.csProtocol, "link type 105");
    EXPECT_EQ(other.csInfo, "link type 105, not decoded");
    EXPECT_EQ(other.csSource, "");
    EXPECT_FALSE(other.bMalformed);
}

// The one joining rule of segmented answers, as the packet list (segments in
// sequence order once all are there) and the conversation (segments as they
// come, the next or none) both use it. Rows from both sides: a segment given
// as "seq+" (more follows) or "seq" (the last), its data one byte of its own.
TEST(DecoderTest, SegmentsJoinByOneRule)
{
    using E = CSegmentJoin::EAdd;
    struct Row {
        const char* szName;
        std::vector<std::string> segments;
        std::vector<E> adds;
        bool bWhole;
        std::string csData; // the data joined, a byte a segment taken
    };
    const std::vector<Row> rows {
        { "one segment that is the last", { "0" }, { E::Whole }, true, "00" },
        { "three in order", { "0+", "1+", "2" }, { E::Joined, E::Joined, E::Whole }, true,
            "000102" },
        { "the first is not number 0", { "1+", "0+" }, { E::NotNext, E::Joined }, false, "00" },
        { "a lost segment is not skipped", { "0+", "2" }, { E::Joined, E::NotNext }, false, "00" },
        { "a segment heard twice is not data twice", { "0+", "1+", "1+", "2" },
            { E::Joined, E::Joined, E::NotNext, E::Whole }, true, "000102" },
        { "nothing joins after the last", { "0+", "1", "2" }, { E::Joined, E::Whole, E::NotNext },
            true, "0001" },
        { "a last that is not the highest", { "0+", "1", "2+" },
            { E::Joined, E::Whole, E::NotNext }, true, "0001" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        CSegmentJoin join;
        std::vector<E> adds;
        for (size_t i = 0; i < row.segments.size(); ++i) {
            SSegmentHeader header;
            header.uSequence = static_cast<uint8_t>(std::stoi(row.segments[i]));
            header.bMore = row.segments[i].back() == '+';
            header.uService = static_cast<uint8_t>(i == 0 ? 0x0e : 0x0c);
            const uint8_t uData = header.uSequence;
            adds.push_back(join.Add(header, &uData, 1));
        }
        EXPECT_EQ(adds, row.adds);
        EXPECT_EQ(join.IsWhole(), row.bWhole);
        std::string csData;
        for (uint8_t u : join.Data()) {
            char sz[3];
            std::snprintf(sz, sizeof sz, "%02x", u);
            csData += sz;
        }
        EXPECT_EQ(csData, row.csData);
    }
    // Past 255: 256 segments and one more, the last numbered 0 again.
    CSegmentJoin join;
    for (int i = 0; i < 257; ++i) {
        SSegmentHeader header;
        header.uSequence = static_cast<uint8_t>(i);
        header.bMore = i < 256;
        header.uService = 0x0e;
        const uint8_t uData = static_cast<uint8_t>(i);
        ASSERT_EQ(join.Add(header, &uData, 1), i < 256 ? E::Joined : E::Whole) << i;
    }
    EXPECT_EQ(join.Segments(), 257);
    EXPECT_EQ(join.Data().size(), 257u);
    // The whole answer is one ComplexACK: its type, the invoke ID, the first
    // segment's service choice, the data.
    const std::vector<uint8_t> apdu = join.ComplexAckApdu(7);
    ASSERT_EQ(apdu.size(), 3u + 257u);
    EXPECT_EQ(apdu[0], 0x30);
    EXPECT_EQ(apdu[1], 7);
    EXPECT_EQ(apdu[2], 0x0e);
    // The header is read from a segmented ComplexACK only, five bytes whole.
    SSegmentHeader header;
    const uint8_t segment[] = { 0x3c, 0x05, 0x02, 0x04, 0x0e };
    ASSERT_TRUE(ReadSegmentHeader(segment, sizeof segment, header));
    EXPECT_EQ(header.uInvokeId, 5);
    EXPECT_EQ(header.uSequence, 2);
    EXPECT_EQ(header.uWindow, 4);
    EXPECT_EQ(header.uService, 0x0e);
    EXPECT_TRUE(header.bMore);
    EXPECT_FALSE(ReadSegmentHeader(segment, 4, header));
    const uint8_t unsegmented[] = { 0x30, 0x05, 0x0e, 0x00, 0x00 };
    EXPECT_FALSE(ReadSegmentHeader(unsegmented, sizeof unsegmented, header));
}

// Segmented answers: each row of the table is a capture (segments named by the
// answer, a for invoke ID 5, b for invoke ID 6) and what every record reads.
TEST(DecoderTest, SegmentedAnswersAreReassembled)
{
    // The service data of two readPropertyMultiple-ACKs, cut into three segments each.
    const std::string a[]
        = { "0c 00 00 00 01 1e 29 55", "4e 44 41 ac 00 00 4f 29", "6f 4e 82 04 00 4f 1f" };
    const std::string b[] = { "0c 02 00 00 05 1e 29 1c", "5e 91 02 91 20 5f", "1f" };
    auto Segment = [](int iInvoke, int iSeq, bool bMore, const std::string& csData) {
        char sz[32];
        std::snprintf(
            sz, sizeof sz, "01 00 %02x %02x %02x 04 0e ", bMore ? 0x3c : 0x38, iInvoke, iSeq);
        return BacnetIp(0x0a, Hex(sz + csData));
    };
    const Bytes a0 = Segment(5, 0, true, a[0]), a1 = Segment(5, 1, true, a[1]),
                a2 = Segment(5, 2, false, a[2]);
    const Bytes b0 = Segment(6, 0, true, b[0]), b1 = Segment(6, 1, true, b[1]),
                b2 = Segment(6, 2, false, b[2]);
    const Bytes a1Other = Segment(5, 1, true, "4e 44 41 b0 00 00 4f 29");
    const std::string csA
        = "readPropertyMultiple-ACK[ 5] analog-input,1 present-value = 21.5, status-flags = "
          "{0000} (reassembled from 3 segments)";
    const std::string csB = "readPropertyMultiple-ACK[ 6] device,5 description (property: "
                            "unknown-property) (reassembled from 3 segments)";
    const std::string csA0 = "readPropertyMultiple-ACK[ 5] segment 0, more follows";
    const std::string csA1 = "readPropertyMultiple-ACK[ 5] segment 1, more follows";
    const std::string csA2 = "readPropertyMultiple-ACK[ 5] segment 2";
    struct SSegCase {
        const char* szName;
        std::vector<Bytes> frames;
        std::vector<std::string> infos;
        bool bFinish = true;
    };
    const SSegCase cases[] = {
        { "in order", { a0, a1, a2 },
            { csA0 + " (answer in record 2)", csA1 + " (answer in record 2)", csA } },
        { "out of order", { a0, a2, a1 },
            { csA0 + " (answer in record 2)", csA2 + " (answer in record 2)", csA } },
        { "a missing segment", { a0, a2 },
            { csA0 + " (answer incomplete: segment 1 missing)",
                csA2 + " (answer incomplete: segment 1 missing)" } },
        { "no last segment, capture ended", { a0, a1 },
            { csA0 + " (answer incomplete: no last segment)",
                csA1 + " (answer incomplete: no last segment)" } },
        { "no last segment yet", { a0, a1 },
            { csA0 + " (answer incomplete so far)", csA1 + " (answer incomplete so far)" }, false },
        { "a repeated segment", { a0, a1, a1, a2 },
            { csA0 + " (answer in record 3)", csA1 + " (answer in record 3)",
                csA1 + " (repeat of record 1)", csA } },
        { "a segment repeated with other bytes", { a0, a1, a1Other, a2 },
            { csA0 + " (not reassembled: segment 1 in records 1 and 2 differs)",
                csA1 + " (not reassembled: segment 1 in records 1 and 2 differs)",
                csA1 + " (not reassembled: segment 1 in records 1 and 2 differs)",
                csA2 + " (not reassembled: segment 1 in records 1 and 2 differs)" } },
        { "two interleaved answers", { a0, b0, a1, b1, a2, b2 },
            { csA0 + " (answer in record 4)",
                "readPropertyMultiple-ACK[ 6] segment 0, more follows (answer in record 5)",
                csA1 + " (answer in record 4)",
                "readPropertyMultiple-ACK[ 6] segment 1, more follows (answer in record 5)", csA,
                csB } },
        { "the same invoke ID again after a complete answer", { a0, a1, a2, b0 },
            { csA0 + " (answer in record 2)", csA1 + " (answer in record 2)", csA,
                "readPropertyMultiple-ACK[ 6] segment 0, more follows (answer incomplete: no last "
                "segment)" } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        CSegmentAssembler assembler;
        auto Frame = [&c](size_t i) {
            SFrame frame = FrameOf(c.frames[i]);
            frame.uNumber = i;
            return frame;
        };
        for (size_t i = 0; i < c.frames.size(); ++i)
            assembler.Add(Frame(i));
        if (c.bFinish)
            assembler.Finish();
        const CSegmentAssembler::ReadFn read = [&c](uint64_t u, std::vector<uint8_t>& bytes) {
            if (u >= c.frames.size())
                return false;
            bytes = c.frames[u];
            return true;
        };
        ASSERT_EQ(c.infos.size(), c.frames.size());
        for (size_t i = 0; i < c.frames.size(); ++i) {
            SCOPED_TRACE(i);
            const SRow row = assembler.Decode(Frame(i), nullptr, read);
            EXPECT_EQ(row.csInfo, c.infos[i]);
            EXPECT_FALSE(row.bMalformed);
            std::vector<SField> tree;
            EXPECT_EQ(assembler.Decode(Frame(i), &tree, read).csInfo, c.infos[i]);
            std::function<void(const SField&)> Check = [&](const SField& f) {
                EXPECT_LE(uint64_t { f.uOffset } + f.uLength, c.frames[i].size()) << f.Text();
                for (const SField& child : f.children)
                    Check(child);
            };
            for (const SField& f : tree)
                Check(f);
        }
    }
}

// The tree of a reassembled answer: the whole answer's fields, those in the last
// segment on its bytes; and a segment that cannot be read back is said so.
TEST(DecoderTest, ReassembledTreeAndUnreadableSegments)
{
    const Bytes s0 = BacnetIp(0x0a, Hex("01 00 3c 05 00 04 0e 0c 00 00 00 01 1e 29 55"));
    const Bytes s1 = BacnetIp(0x0a, Hex("01 00 38 05 01 04 0e 4e 44 41 ac 00 00 4f 1f"));
    CSegmentAssembler assembler;
    SFrame f0 = FrameOf(s0), f1 = FrameOf(s1);
    f1.uNumber = 1;
    assembler.Add(f0);
    assembler.Add(f1);
    const auto read = [&](uint64_t u, std::vector<uint8_t>& bytes) {
        bytes = u == 0 ? s0 : s1;
        return true;
    };
    std::vector<SField> tree;
    const SRow row = assembler.Decode(f1, &tree, read);
    EXPECT_EQ(row.csInfo,
        "readPropertyMultiple-ACK[ 5] analog-input,1 present-value = 21.5 (reassembled from 2 "
        "segments)");
    const SField* pWhole = nullptr;
    for (const SField& layer : tree)
        if (layer.csName == "APDU")
            for (const SField& f : layer.children)
                if (f.csName == "Reassembled Answer")
                    pWhole = &f;
    ASSERT_NE(pWhole, nullptr);
    EXPECT_EQ(pWhole->csValue, "2 segments, 16 bytes");
    std::vector<std::string> results;
    for (const SField& f : pWhole->children)
        if (f.csName == "Result")
            results.push_back(f.csValue);
    EXPECT_EQ(results, std::vector<std::string>({ "present-value = 21.5" }));
    // The object identifier came in segment 0: no bytes of this frame. The
    // closing of the list is in this one, right after the value.
    EXPECT_EQ(pWhole->children.front().csName, "Object Identifier");
    EXPECT_EQ(pWhole->children.front().uLength, 0u);
    // The value came in this one: 46 bytes to the NPDU, 2 of NPDU, 5 of segment header.
    const SField* pValue = nullptr;
    for (const SField& f : pWhole->children)
        for (const SField& part : f.children)
            if (part.csName == "Property Value")
                pValue = &part;
    ASSERT_NE(pValue, nullptr);
    EXPECT_EQ(pValue->csValue, "21.5");
    EXPECT_EQ(pValue->uOffset, 46u + 2 + 5);
    EXPECT_EQ(pValue->uLength, 7u);

    const auto unreadable = [](uint64_t, std::vector<uint8_t>&) { return false; };
    EXPECT_EQ(assembler.Decode(f1, nullptr, unreadable).csInfo,
        "readPropertyMultiple-ACK[ 5] segment 1 (not reassembled: record 0 cannot be read)");
    // A record changed under us (another capture file) is not taken for the segment.
    const auto changed = [&](uint64_t, std::vector<uint8_t>& bytes) {
        bytes = s1;
        return true;
    };
    EXPECT_EQ(assembler.Decode(f1, nullptr, changed).csInfo,
        "readPropertyMultiple-ACK[ 5] segment 1 (not reassembled: record 0 cannot be read)");
}

// Through a capture file, as the packet list reads it: the index's records added
// to the assembler, the answer read back from the other records.
TEST(DecoderTest, SegmentedAnswerFromACaptureFile)
{
    CTempDir dir;
    velmora::CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(dir.File("seg.pcap")));
    ASSERT_TRUE(writer.Write(BacnetIp(0x0b, Hex("01 00 10 08"))));
    ASSERT_TRUE(writer.Write(BacnetIp(0x0a, Hex("01 00 3c 05 00 04 0e 0c 00 00 00 01 1e 29 55"))));
    ASSERT_TRUE(writer.Write(BacnetIp(0x0a, Hex("01 00 38 05 01 04 0e 4e 44 41 ac 00 00 4f 1f"))));
    ASSERT_TRUE(writer.Close());
    CCaptureIndex index;
    ASSERT_TRUE(index.Open(dir.File("seg.pcap"))) << index.Error();
    ASSERT_EQ(index.Step(), CCaptureIndex::EState::Done);
    CSegmentAssembler assembler;
    EXPECT_EQ(AddRecords(assembler, index, 0, index.Count()), 3u);
    assembler.Finish();
    EXPECT_EQ(assembler.AnswerCount(), 1u);
    EXPECT_EQ(DecodeRecord(index, assembler, 0).csInfo, "who-Is");
    EXPECT_EQ(DecodeRecord(index, assembler, 1).csInfo,
        "readPropertyMultiple-ACK[ 5] segment 0, more follows (answer in record 2)");
    std::vector<SField> tree;
    std::vector<uint8_t> bytes;
    EXPECT_EQ(DecodeRecord(index, assembler, 2, &tree, &bytes).csInfo,
        "readPropertyMultiple-ACK[ 5] analog-input,1 present-value = 21.5 (reassembled from 2 "
        "segments)");
    EXPECT_EQ(bytes.size(), 46u + 15);
    EXPECT_FALSE(tree.empty());
}

// Against an independent decoder: tshark, when installed, reads the table's
// well-formed BACnet frames and the samples' records from a capture file, and the service, the
// invoke ID, the object instances and the properties must be the ones the tree names.
TEST(DecoderTest, AgreesWithTshark)
{
    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh installs it)";
    // What both sides say of one frame, each as text: "12", "5", "1,1234", "77,85".
    struct SSays {
        std::string csService, csInvoke, csInstances, csProperties;
        bool operator==(const SSays&) const = default;
    };
    auto Sorted = [](const std::multiset<std::string>& set) {
        std::string cs;
        for (const std::string& s : set)
            cs += (cs.empty() ? "" : ",") + s;
        return cs;
    };
    auto InParens = [](const std::string& cs) {
        const size_t a = cs.rfind('('), b = cs.rfind(')');
        return a != std::string::npos && b > a ? cs.substr(a + 1, b - a - 1) : std::string();
    };
    CTempDir dir;
    velmora::CCaptureWriter writer;
    ASSERT_TRUE(writer.Open(dir.File("diff.pcap")));
    std::vector<std::string> names;
    std::vector<SSays> ours;
    // The table's well-formed BACnet rows, then every record of the samples.
    std::vector<std::pair<std::string, Bytes>> frames;
    for (const SCase& c : Cases()) {
        const std::string csProtocol = c.szProtocol;
        if (!c.Malformed() && csProtocol.rfind("BACnet", 0) == 0)
            frames.emplace_back(c.szName, c.frame);
    }
    for (const char* szSample : { "bacnet-ip-sample.pcap", "bacnet-sample.pcap" }) {
        CCaptureIndex index;
        ASSERT_TRUE(index.Open(std::string(VELMORA_SAMPLES_DIR "/") + szSample));
        ASSERT_EQ(index.Step(), CCaptureIndex::EState::Done);
        SRecord record;
        for (uint64_t u = 0; u < index.Count(); ++u) {
            ASSERT_TRUE(index.Read(u, record));
            frames.emplace_back(
                std::string(szSample) + " record " + std::to_string(u), record.bytes);
        }
    }
    for (const auto& [csName, frame] : frames) {
        std::vector<SField> tree;
        DecodeTree(FrameOf(frame), &tree);
        SSays says;
        std::multiset<std::string> instances, properties;
        std::function<void(const SField&)> Walk = [&](const SField& f) {
            if (f.csName == "Service Choice" || f.csName == "Service ACK Choice"
                || f.csName == "Error Choice")
                says.csService = InParens(f.csValue);
            else if (f.csName == "Invoke ID")
                says.csInvoke = f.csValue;
            else if (f.csName == "Property Identifier")
                properties.insert(InParens(f.csValue));
            else if (f.csName.find("Identifier") != std::string::npos
                || f.csName == "Text Message Source Device") {
                const size_t n = f.csValue.rfind(',');
                if (n != std::string::npos)
                    instances.insert(f.csValue.substr(n + 1));
            }
            for (const SField& child : f.children)
                Walk(child);
        };
        for (const SField& layer : tree)
            if (layer.csName == "APDU")
                Walk(layer);
        says.csInstances = Sorted(instances);
        says.csProperties = Sorted(properties);
        names.push_back(csName);
        ours.push_back(says);
        ASSERT_TRUE(writer.Write(frame));
    }
    ASSERT_TRUE(writer.Close());
    const std::string csCommand = "tshark -r '" + dir.File("diff.pcap")
        + "' -T fields -E separator=/t -E aggregator=, -e bacapp.confirmed_service "
          "-e bacapp.unconfirmed_service -e bacapp.invoke_id -e bacapp.instance_number "
          "-e bacapp.property_identifier 2>/dev/null";
    FILE* pPipe = popen(csCommand.c_str(), "r");
    ASSERT_NE(pPipe, nullptr);
    std::string csOut;
    char sz[4096];
    while (size_t n = fread(sz, 1, sizeof sz, pPipe))
        csOut.append(sz, n);
    pclose(pPipe);
    std::istringstream lines(csOut);
    std::string csLine;
    size_t i = 0;
    for (; std::getline(lines, csLine) && i < ours.size(); ++i) {
        SCOPED_TRACE(names[i]);
        std::vector<std::string> cols;
        std::stringstream ss(csLine);
        std::string col;
        while (std::getline(ss, col, '\t'))
            cols.push_back(col);
        cols.resize(5);
        auto Split = [&](const std::string& cs) {
            std::multiset<std::string> set;
            std::stringstream parts(cs);
            std::string part;
            while (std::getline(parts, part, ','))
                if (!part.empty())
                    set.insert(part);
            return Sorted(set);
        };
        // tshark gives a service once per APDU; the first is the frame's.
        const std::string csService
            = (cols[0].empty() ? cols[1] : cols[0]).substr(0, (cols[0] + cols[1]).find(','));
        const SSays theirs { csService, cols[2], Split(cols[3]), Split(cols[4]) };
        EXPECT_EQ(ours[i].csService, theirs.csService);
        EXPECT_EQ(ours[i].csInvoke, theirs.csInvoke);
        EXPECT_EQ(ours[i].csInstances, theirs.csInstances);
        EXPECT_EQ(ours[i].csProperties, theirs.csProperties);
    }
    EXPECT_EQ(i, ours.size()) << csOut;
    RecordProperty("frames_compared", static_cast<int>(i));
}

// The list adds records on the thread that reads the capture while the window
// decodes rows: every row is either what it was before its answer was complete
// or what it is after, never anything else (and TSan sees no race).
TEST(DecoderTest, SegmentsAddedWhileRowsAreDecoded)
{
    std::vector<Bytes> frames;
    for (int i = 0; i < 200; ++i) {
        char sz[64];
        std::snprintf(sz, sizeof sz, "01 00 3c %02x 00 04 0e 0c 00 00 00 01 1e 29 55", i);
        frames.push_back(BacnetIp(0x0a, Hex(sz)));
        std::snprintf(sz, sizeof sz, "01 00 38 %02x 01 04 0e 4e 44 41 ac 00 00 4f 1f", i);
        frames.push_back(BacnetIp(0x0a, Hex(sz)));
    }
    auto Frame = [&frames](size_t i) {
        SFrame frame = FrameOf(frames[i]);
        frame.uNumber = i;
        return frame;
    };
    const CSegmentAssembler::ReadFn read = [&frames](uint64_t u, std::vector<uint8_t>& bytes) {
        bytes = frames[u];
        return true;
    };
    CSegmentAssembler assembler;
    std::atomic<size_t> nAdded { 0 };
    std::thread adder([&] {
        for (size_t i = 0; i < frames.size(); ++i) {
            assembler.Add(Frame(i));
            nAdded.store(i + 1);
        }
        assembler.Finish();
    });
    size_t nBad = 0;
    while (nAdded.load() < frames.size()) {
        const size_t n = nAdded.load();
        for (size_t i = n > 4 ? n - 4 : 0; i < n; ++i) {
            const std::string cs = assembler.Decode(Frame(i), nullptr, read).csInfo;
            const bool bKnown = cs.find("(answer in record") != std::string::npos
                || cs.find("(answer incomplete so far)") != std::string::npos
                || cs.find("(reassembled from 2 segments)") != std::string::npos;
            nBad += bKnown ? 0 : 1;
        }
    }
    adder.join();
    EXPECT_EQ(nBad, 0u);
    EXPECT_EQ(assembler.AnswerCount(), 200u);
    EXPECT_EQ(assembler.Decode(Frame(399), nullptr, read).csInfo,
        "readPropertyMultiple-ACK[199] analog-input,1 present-value = 21.5 (reassembled from 2 "
        "segments)");
}

} // namespace
