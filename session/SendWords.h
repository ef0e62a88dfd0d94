#pragma once

// The words of a Send's options: how the command, the window and
// send-options.ini write the aim and the pace, parse them back and check
// them, and the one-line summaries the status line and the report show.

#include "replay/Aim.h"
#include "replay/Converse.h"
#include "replay/Pace.h"

#include <string>
#include <string_view>

namespace velmora {

// Text forms, for the command, the window and settings. A parser that
// fails leaves its outputs as they were.
std::string FormatMac(const CMacAddress& mac); // "02:00:00:00:00:2a"
std::string FormatIpv4(const CIpv4Address& ip); // "10.0.0.2"
// "02:00:00:00:00:2a" or "02-00-00-00-00-2A"; false for anything else.
bool ParseMac(const std::string& cs, CMacAddress& mac);
// Dotted quad with no leading zeros beyond "0", and an optional ":PORT"
// (1-65535); the port is 0 when none is given.
bool ParseIpv4Endpoint(const std::string& cs, CIpv4Address& ip, uint16_t& uPort);

// The source options as the command and the settings file write them:
// "adapter" or a MAC for the MAC; "adapter", "adapter:PORT", "IP" or
// "IP:PORT" for BACnet/IP. A source MAC must not be a group address.
bool ParseMacSource(const std::string& cs, EAimSource& eSource, CMacAddress& mac);
bool ParseIpSource(const std::string& cs, EAimSource& eSource, CIpv4Address& ip, uint16_t& uPort);
// "" for AsCaptured.
std::string FormatMacSource(EAimSource eSource, const CMacAddress& mac);
std::string FormatIpSource(EAimSource eSource, const CIpv4Address& ip, uint16_t uPort);
// "IP" or "IP:PORT".
std::string FormatIpv4Endpoint(const CIpv4Address& ip, uint16_t uPort);

// "captured", "direct", "NET:ADDR" with ADDR a MAC ("02:00:00:00:00:2a"),
// hex of 1 to 6 bytes ("0x1f", "0x0a01") or a decimal station 0-255; NET
// 1-65534.
bool ParseRoute(const std::string& cs, SRoute& route);
std::string FormatRoute(const SRoute& route);
// "OLD=NEW", each 0-4194302.
bool ParseDeviceMap(const std::string& cs, SDeviceMap& map);
std::string FormatDeviceMap(const SDeviceMap& map); // "207=1234"

// One line for the status row when the aim is not the default, e.g.
// "Aimed at 02:00:00:00:00:2a, 10.0.0.9:47808, route: direct, device 207 ->
// 1234"; "" for the default aim.
std::string AimSummary(const SAimOptions& options);

// Whole numbers as every option and setting holds them: digits only (leading
// zeros too), no sign, blanks or "0x", at most uMax. The one rule for counts,
// milliseconds, ports and record numbers; a caller may add a cap on digits.
bool ParseWholeNumber(std::string_view sv, uint64_t uMax, uint64_t& u);

// A conversing setting from its text: a whole number inside ConverseLimit,
// put into options; false leaves options as they were.
bool ParseConverseSetting(
    EConverseSetting eSetting, std::string_view sv, SConverseOptions& options);

// Plain decimals, as the command, the window and send-options.ini hold them: "2", "0.5",
// ".5"; no sign, exponent, "inf" or hex. The format is the shortest that reads
// back the same, never with an exponent.
bool ParsePaceNumber(const std::string& cs, double& d);
std::string FormatPaceNumber(double d);

// One line for the status before a Send when the timing is not the default
// ("Paced as captured × 1, 3 rounds"); "" at the default.
std::string PaceSummary(const SPaceOptions& options);

// False with a sentence naming the value when an option is out of its limits
// (a rate or multiplier that is no finite number inside them, a negative
// count, pause or duration).
bool CheckPaceOptions(const SPaceOptions& options, std::string& csError);

} // namespace velmora
