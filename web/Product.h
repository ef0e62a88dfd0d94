#pragma once

#include <string>

namespace velmora {

// The product's fixed identity, shared by the windows and the web services.
inline constexpr const char* kProductName = "Velmora";
inline constexpr const char* kVersionNumber = "1.00";
inline constexpr char kVersionLetter1 = 'a';
inline constexpr char kVersionLetter2 = 'B';
inline constexpr const char* kLastUpdated = "August 04 2006";
inline constexpr const char* kBuildDate = "Aug  4 2006";
inline constexpr const char* kBuildTime = "10:32:33";

// "1.00aB", built with "%s%c%c".
std::string VersionText();

} // namespace velmora
