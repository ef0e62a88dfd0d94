#pragma once

// The packet list's filter: a row matches when the text occurs in any of its
// columns, ignoring case. Hyphens, underscores and spaces are ignored too, so
// "Present_Value", "present value" and "present-value" find the same rows, and
// "ReadProperty" or "Who-Is" find the BACnet service, "Analog Input" the object.
// In a capture from several interfaces the interface's name counts as a column.

#include "decode/Decoder.h"

#include <string>
#include <string_view>
#include <vector>

namespace velmora::dissect {

class CRowFilter {
public:
    CRowFilter() = default;
    explicit CRowFilter(std::string_view svText);

    // True when the text is empty or only separators: every row matches.
    bool Empty() const { return m_csFolded.empty(); }
    bool Matches(const SRow& row) const;
    // One more column's text, e.g. an interface's name.
    bool MatchesText(std::string_view sv) const;

private:
    std::string m_csFolded;
    // The text could occur in No., Time or Length (digits, '.', "of"): only
    // then are those columns formatted to be looked at.
    bool m_bNumeric = false;
};

} // namespace velmora::dissect
