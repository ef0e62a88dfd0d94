#include "decode/RowFilter.h"

#include <algorithm>

namespace velmora::vdecode {

namespace {

    // Lower case without separators: what the filter and the columns compare as.
    void Fold(std::string_view sv, std::string& out)
    {
        out.clear();
        for (char c : sv) {
            if (c == '-' || c == '_' || c == ' ')
                continue;
            out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        }
    }

} // namespace

CRowFilter::CRowFilter(std::string_view svText)
{
    Fold(svText, m_csFolded);
}

bool CRowFilter::Matches(const SRow& row) const
{
    if (m_csFolded.empty())
        return true;
    std::string csFolded;
    for (int i = 0; i < kColumnCount; ++i) {
        Fold(ColumnText(row, static_cast<EColumn>(i)), csFolded);
        if (csFolded.find(m_csFolded) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace velmora::vdecode
