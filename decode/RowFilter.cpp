#include "decode/RowFilter.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace velmora::dissect {

namespace {

    // Lower case without separators: what the filter and the columns compare as.
    void Fold(std::string_view sv, std::string& out)
    {
        out.resize(sv.size());
        size_t n = 0;
        for (char c : sv) {
            if (c == '-' || c == '_' || c == ' ')
                continue;
            out[n++] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        }
        out.resize(n);
    }

    bool Contains(std::string_view svText, const std::string& csFolded)
    {
        // One buffer a thread: a filter over a million rows allocates nothing.
        thread_local std::string s_csBuffer;
        Fold(svText, s_csBuffer);
        return s_csBuffer.find(csFolded) != std::string::npos;
    }

} // namespace

CRowFilter::CRowFilter(std::string_view svText)
{
    Fold(svText, m_csFolded);
    m_bNumeric = std::all_of(m_csFolded.begin(), m_csFolded.end(),
        [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == 'o' || c == 'f'; });
}

bool CRowFilter::MatchesText(std::string_view sv) const
{
    return m_csFolded.empty() || Contains(sv, m_csFolded);
}

bool CRowFilter::Matches(const SRow& row) const
{
    if (m_csFolded.empty())
        return true;
    // The decoded texts as they are; Info first, where most searches end.
    for (const std::string* p : { &row.csInfo, &row.csProtocol, &row.csSource, &row.csDestination })
        if (Contains(*p, m_csFolded))
            return true;
    if (!m_bNumeric)
        return false;
    for (EColumn column : { EColumn::Number, EColumn::Time, EColumn::Length })
        if (Contains(ColumnText(row, column), m_csFolded))
            return true;
    return false;
}

} // namespace velmora::dissect
