#pragma once

// The packet list's filter: a row matches when the text occurs in any of its
// columns, ignoring case. Hyphens, underscores and spaces are ignored too, so
// "Present_Value", "present value" and "present-value" find the same rows, and
// "ReadProperty" or "Who-Is" find the BACnet service, "Analog Input" the object.
// In a capture from several interfaces the interface's name counts as a column.

#include "decode/CaptureIndex.h"
#include "decode/Decoder.h"
#include "decode/Segments.h"

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

// Appends to found the records of [uFrom, uTo) that match, in order: each read
// through a window, decoded, and matched on its row and, when the capture has
// more than one interface, its interface's name. Decoding is most of the cost,
// so up to nThreads threads (this one among them) take a share of the range
// each; without a thread to be had, this one does it all. With pAssembler
// (which has seen the records up to uTo) a segmented answer's rows are matched
// as the list shows them: the completing record with the whole answer.
void FindMatches(const CCaptureIndex& index, const CRowFilter& filter, uint64_t uFrom, uint64_t uTo,
    std::vector<uint64_t>& found, unsigned nThreads = 1,
    const CSegmentAssembler* pAssembler = nullptr);

} // namespace velmora::dissect
