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

namespace {

    // Rows are decoded plainly and only a segment's again through the assembler:
    // its lock is not taken for every row of every thread.
    SRow FilterRow(const CCaptureIndex& index, uint64_t u, CCaptureIndex::SReadWindow& window,
        const CSegmentAssembler* pAssembler)
    {
        SRow row = DecodeRecord(index, u, window);
        if (pAssembler && MaySegment(row))
            row = DecodeRecord(index, *pAssembler, u);
        return row;
    }

    void FindMatchesHere(const CCaptureIndex& index, const CRowFilter& filter, uint64_t uFrom,
        uint64_t uTo, std::vector<uint64_t>& found, const CSegmentAssembler* pAssembler)
    {
        // A window a thread, kept: the filter's thread reads on where it was.
        thread_local CCaptureIndex::SReadWindow s_window;
        const bool bInterfaces = index.InterfaceCount() > 1;
        for (uint64_t u = uFrom; u < uTo; ++u) {
            if (filter.Matches(FilterRow(index, u, s_window, pAssembler))
                || (bInterfaces && filter.MatchesText(index.InterfaceLabel(index.InterfaceOf(u)))))
                found.push_back(u);
        }
    }

} // namespace

void FindMatches(const CCaptureIndex& index, const CRowFilter& filter, uint64_t uFrom, uint64_t uTo,
    std::vector<uint64_t>& found, unsigned nThreads, const CSegmentAssembler* pAssembler)
{
    if (uTo <= uFrom)
        return;
    // Below a few thousand records a thread costs more than it saves.
    const uint64_t uShares = std::clamp<uint64_t>((uTo - uFrom) / 4096, 1, nThreads ? nThreads : 1);
    const uint64_t uShare = (uTo - uFrom + uShares - 1) / uShares;
    std::vector<std::vector<uint64_t>> parts(static_cast<size_t>(uShares));
    std::vector<std::thread> threads;
    for (uint64_t i = 1; i < uShares; ++i) {
        const uint64_t uA = std::min(uTo, uFrom + i * uShare), uB = std::min(uTo, uA + uShare);
        auto& part = parts[static_cast<size_t>(i)];
        try {
            threads.emplace_back([&index, &filter, uA, uB, &part, pAssembler] {
                FindMatchesHere(index, filter, uA, uB, part, pAssembler);
            });
        } catch (const std::system_error&) {
            FindMatchesHere(index, filter, uA, uB, part, pAssembler);
        }
    }
    FindMatchesHere(index, filter, uFrom, std::min(uTo, uFrom + uShare), found, pAssembler);
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 1; i < parts.size(); ++i)
        found.insert(found.end(), parts[i].begin(), parts[i].end());
}

} // namespace velmora::dissect
