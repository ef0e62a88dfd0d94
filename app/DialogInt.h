#pragma once

#include <string>

namespace velmora {

// Reads a number field the way the window's offset field is read: a signed
// decimal ("+" or "-", then digits) with blanks or tabs around it. False for
// anything else, "-0" included. A number beyond 32 bits gives the nearest
// 32-bit value, so that a range check speaks about it.
bool ParseDialogInt(const std::string& csText, int& iValue);

} // namespace velmora
