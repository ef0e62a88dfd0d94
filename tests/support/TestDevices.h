#pragma once

#include "Child.h"

#include <chrono>
#include <string>

namespace vtest {

// Waits until a test device (the responder, the npm device) says "ready".
bool WaitReady(const CChild& device, std::chrono::milliseconds limit = std::chrono::seconds(10));

// The responder's count of frames a device's kernel would have dropped, from
// its last line "dropped N (bad checksum or length)"; -1 when it printed none.
int ResponderDropped(const std::string& csOut);

// The BACnet/IP device of an independent stack: tests/bacnet/device.js.
std::string NodeDeviceScript();
// Why it cannot run here (no node, or the npm package not installed); "" when it can.
std::string NodeDeviceMissing();

} // namespace vtest
