#pragma once

// A small site capture for the serving tests, made with the serve encoders
// (checked against the decoder in CodecTests): client 10.9.0.1:47808 asks,
// device 1234 at 10.9.0.50 and device 5678 at 10.9.0.51 answer.
//
// Device 1234 (I-Am: max APDU 1476, segmentation both, vendor 999):
//   analog-input,1 present-value: readProperty-ACK 21.5, later a COV 22.0,
//     then a readProperty-ACK 22.5 (three values in order)
//   analog-input,1 by RPM (ALL): object-name "Zone Temp", present-value 21.5,
//     description "Learned from RPM", units 62, status-flags {0000}
//   analog-input,1 property 9999: Error property/unknown-property
//   analog-input,99: Error object/unknown-object
//   device,1234 by a segmented RPM-ACK (3 segments): object-name "Plant",
//     object-list of kObjectListCount entries, vendor-name "Velmora Test"
//   analog-value,7 object-name "Setpoint" by I-Have only
// Device 5678 (I-Am: max APDU 480, segmentation none, vendor 7):
//   binary-input,3 present-value: readProperty-ACK active (enumerated 1)
// And an answer from 10.9.0.60, which never names its device (noted, not served).

#include "serve/Codec.h"

#include <string>
#include <vector>

namespace vtest {

constexpr uint32_t kObjectListCount = 300;

// BACnet/IP frame from ip:port to ip:port (host order) holding npdu+apdu as
// an original unicast (bBroadcast: original broadcast).
std::vector<uint8_t> SiteFrame(uint32_t uSrcIp, uint32_t uDstIp,
    const std::vector<uint8_t>& npduApdu, bool bBroadcast = false);

std::vector<std::vector<uint8_t>> SiteFrames();
bool WriteSiteCapture(const std::string& csPath);

// The object-list the capture shows for device 1234.
velmora::serve::CBytes SiteObjectList();

constexpr uint32_t kClientIp = 0x0a090001; // 10.9.0.1
constexpr uint32_t kDeviceIp = 0x0a090032; // 10.9.0.50
constexpr uint32_t kDevice2Ip = 0x0a090033; // 10.9.0.51
constexpr uint32_t kNamelessIp = 0x0a09003c; // 10.9.0.60

} // namespace vtest
