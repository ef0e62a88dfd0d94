#pragma once

// Rows of an indexed capture: the passes of the packet list and the command
// over the index's records, through the decoder and its reassembler.

#include "capture/CaptureIndex.h"
#include "decode/RowFilter.h"
#include "decode/Segments.h"

#include <cstdint>
#include <vector>

namespace velmora::dissect {

// Adds records [uFrom, uTo) of the index to the assembler, reading each; returns
// the first record not added (short of uTo when a record cannot be read).
uint64_t AddRecords(
    CSegmentAssembler& assembler, const CCaptureIndex& index, uint64_t uFrom, uint64_t uTo);
// The same, reading in large pieces through window (one a thread): for a
// reader that follows the whole capture.
uint64_t AddRecords(CSegmentAssembler& assembler, const CCaptureIndex& index, uint64_t uFrom,
    uint64_t uTo, CCaptureIndex::SReadWindow& window);

// Reads a record's bytes back from the index, for the assembler's Decode and Whole.
CSegmentAssembler::ReadFn IndexReader(const CCaptureIndex& index);

// DecodeRecord (CaptureIndex.h) for a list that reassembles: the same row, tree
// and bytes, with what the record is in a segmented answer.
SRow DecodeRecord(const CCaptureIndex& index, const CSegmentAssembler& assembler, uint64_t uIndex,
    std::vector<SField>* pTree = nullptr, std::vector<uint8_t>* pBytes = nullptr);

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
