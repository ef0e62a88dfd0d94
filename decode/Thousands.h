#pragma once

// "1,234,567": how record numbers and counts read in the window's lines, the
// index's errors and the command's messages, so they never drift apart.

#include <cstdint>
#include <string>

namespace velmora::dissect {

inline std::string Thousands(uint64_t u)
{
    std::string cs = std::to_string(u);
    for (int i = static_cast<int>(cs.size()) - 3; i > 0; i -= 3)
        cs.insert(static_cast<size_t>(i), 1, ',');
    return cs;
}

} // namespace velmora::dissect
