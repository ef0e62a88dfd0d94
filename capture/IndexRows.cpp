#include "capture/IndexRows.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace velmora::dissect {

uint64_t AddRecords(
    CSegmentAssembler& assembler, const CCaptureIndex& index, uint64_t uFrom, uint64_t uTo)
{
    SRecord record;
    for (uint64_t u = uFrom; u < uTo; ++u) {
        if (!index.Read(u, record))
            return u;
        assembler.Add(index.Frame(u, record));
    }
    return uTo;
}

uint64_t AddRecords(CSegmentAssembler& assembler, const CCaptureIndex& index, uint64_t uFrom,
    uint64_t uTo, CCaptureIndex::SReadWindow& window)
{
    SRecord record;
    for (uint64_t u = uFrom; u < uTo; ++u) {
        if (!index.Read(u, record, window))
            return u;
        assembler.Add(index.Frame(u, record));
    }
    return uTo;
}

CSegmentAssembler::ReadFn IndexReader(const CCaptureIndex& index)
{
    return [&index](uint64_t u, std::vector<uint8_t>& bytes) {
        SRecord other;
        if (!index.Read(u, other))
            return false;
        bytes = std::move(other.bytes);
        return true;
    };
}

SRow DecodeRecord(const CCaptureIndex& index, const CSegmentAssembler& assembler, uint64_t uIndex,
    std::vector<SField>* pTree, std::vector<uint8_t>* pBytes)
{
    SRecord record;
    if (!index.Read(uIndex, record))
        return DecodeRecord(index, uIndex, pTree, pBytes); // says it cannot be read
    const SFrame frame = index.Frame(uIndex, record);
    SRow row = assembler.Decode(frame, pTree, IndexReader(index));
    // Which interface, in the frame's own summary, as the plain DecodeRecord says it.
    if (pTree && !pTree->empty() && (*pTree)[0].csName.rfind("Frame", 0) == 0
        && index.InterfaceCount() > 1) {
        SField field;
        field.csName = "Interface";
        field.csValue = index.InterfaceLabel(index.InterfaceOf(uIndex));
        auto& children = (*pTree)[0].children;
        children.insert(children.begin(), std::move(field));
    }
    if (pBytes)
        *pBytes = std::move(record.bytes);
    return row;
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
