#pragma once

// The packet list's filter: a row matches when the text occurs in any of its
// columns, ignoring case. Hyphens, underscores and spaces are ignored too, so
// "Present_Value", "present value" and "present-value" find the same rows, and
// "ReadProperty" or "Who-Is" find the BACnet service, "Analog Input" the object.

#include "decode/Decoder.h"

#include <string>
#include <string_view>

namespace velmora::vdecode {

class CRowFilter {
public:
    CRowFilter() = default;
    explicit CRowFilter(std::string_view svText);

    // True when the text is empty or only separators: every row matches.
    bool Empty() const { return m_csFolded.empty(); }
    bool Matches(const SRow& row) const;

private:
    std::string m_csFolded;
};

} // namespace velmora::vdecode
