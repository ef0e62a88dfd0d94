#pragma once

#include <string>

// Multi-line fields hold "\r\n" line breaks, as the original edit controls
// delivered them; Qt's text widgets want "\n".
std::string ToWidgetLineBreaks(const std::string& cs);
std::string ToMemberLineBreaks(const std::string& cs);
