#pragma once

// Names of BACnet's enumerations, as the standard's ASN.1 spells them. Each
// lookup returns nullptr for a value it does not know (proprietary or newer).

#include <cstdint>
#include <string>

namespace velmora::dissect {

const char* ConfirmedServiceName(uint32_t u);
const char* UnconfirmedServiceName(uint32_t u);
const char* ObjectTypeName(uint32_t u);
const char* PropertyName(uint32_t u);
const char* ErrorClassName(uint32_t u);
const char* ErrorCodeName(uint32_t u);
const char* RejectReasonName(uint32_t u);
const char* AbortReasonName(uint32_t u);
const char* SegmentationName(uint32_t u);
const char* NetworkMessageName(uint32_t u);
const char* BvlcFunctionName(uint32_t u);
const char* BvlcResultName(uint32_t u);
const char* Bvlc6FunctionName(uint32_t u); // BACnet/IPv6's BVLC
const char* Bvlc6ResultName(uint32_t u);
const char* EventStateName(uint32_t u);
const char* EventTypeName(uint32_t u);
const char* NotifyTypeName(uint32_t u);
const char* LifeSafetyOperationName(uint32_t u);
const char* MessagePriorityName(uint32_t u);

// "analog-input,1"; an unknown type reads as its number: "130,7".
std::string ObjectText(uint32_t uType, uint32_t uInstance);
// "present-value"; an unknown one reads "property 512".
std::string PropertyText(uint32_t uProperty);
// The name, or "<what> N" when there is none.
std::string NameOr(const char* szName, const char* szWhat, uint32_t u);

} // namespace velmora::dissect
