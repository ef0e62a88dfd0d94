#pragma once

#include <string>

namespace velmora {

// The windows' members keep multi-line texts with "\r\n" line breaks, so a
// break counts two bytes wherever a length or the bytes sent matter (the
// feedback's limit does); Qt's text widgets want "\n".
std::string ToWidgetLineBreaks(const std::string& cs);
std::string ToMemberLineBreaks(const std::string& cs);

} // namespace velmora
