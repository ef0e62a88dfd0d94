#pragma once

// Segmented answers put back together for the packet list.
//
// A ComplexACK too long for one frame comes as segments: the same peers, the
// same invoke ID, sequence numbers from 0, "more follows" on all but the last.
// The assembler is fed every record of the capture in order (cheap for all but
// segmented ComplexACKs), then decodes a record as DecodeRow/DecodeTree do, and:
//   - the record that completes an answer shows the whole answer's parameters,
//     "readPropertyMultiple-ACK[ 5] analog-input,1 ... (reassembled from 3 segments)",
//     with a "Reassembled Answer" field over its parameters in the tree;
//   - every other segment says where its answer is: " (answer in record 12)";
//   - a segment seen again with the same bytes: " (repeat of record 7)";
//   - an answer that never completes: " (answer incomplete: segment 1 missing)",
//     or " (answer incomplete so far)" until Finish says the capture has ended;
//   - a sequence number seen twice with other bytes: the answer is not reassembled,
//     and its rows say so. Nothing missing is ever filled in or guessed.
//
// Threads: one thread adds (the one that reads the capture) while any thread
// decodes; a decode sees the answers as far as they have been added.

#include "decode/Decoder.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmora::dissect {

// A segmented ComplexACK's header: the APDU's first five bytes.
struct SSegmentHeader {
    uint8_t uInvokeId = 0;
    uint8_t uSequence = 0;
    uint8_t uWindow = 0; // the proposed window size
    uint8_t uService = 0;
    bool bMore = false; // more follows
};
// False unless pApdu holds a segmented ComplexACK's whole header.
bool ReadSegmentHeader(const uint8_t* pApdu, size_t nApdu, SSegmentHeader& header);

// One answer's segments joined: the rule of when an answer is whole and what
// its data is, for the packet list (which joins them in sequence order once
// all are there) and the conversation (which takes them as they come). A
// segment joins only as the one after the last, the first being number 0;
// sequence numbers run on past 255. The answer is whole at the segment that
// says no more follow; nothing joins after it.
class CSegmentJoin {
public:
    enum class EAdd {
        Joined, // more are to come
        Whole, // the answer is whole
        NotNext, // not the next segment (or the answer is whole): nothing changed
    };
    bool IsNext(const SSegmentHeader& header) const;
    EAdd Add(const SSegmentHeader& header, const uint8_t* pData, size_t nData);

    int Segments() const { return m_iSegments; }
    uint8_t LastSequence() const { return m_uLast; }
    bool IsWhole() const { return m_bWhole; }
    // The service data so far, every segment's in order.
    const std::vector<uint8_t>& Data() const { return m_data; }
    // The whole answer as one unsegmented ComplexACK APDU: its type, the
    // invoke ID, the first segment's service choice and all the data.
    std::vector<uint8_t> ComplexAckApdu(uint8_t uInvokeId) const;

private:
    int m_iSegments = 0;
    uint8_t m_uLast = 0;
    uint8_t m_uService = 0;
    bool m_bWhole = false;
    std::vector<uint8_t> m_data;
};

class CSegmentAssembler {
public:
    // The next record of the capture; records come in capture order, each once.
    void Add(const SFrame& frame);
    // The capture has no more records: answers still open are incomplete.
    void Finish();

    // The captured bytes of record uRecord; false when they cannot be read.
    using ReadFn = std::function<bool(uint64_t uRecord, std::vector<uint8_t>& bytes)>;
    // Decodes frame (a record already added) with what it is in its answer; pTree
    // nullptr for the row alone. read fetches the other segments of a completed answer.
    SRow Decode(const SFrame& frame, std::vector<SField>* pTree, const ReadFn& read) const;

    // Segmented answers seen so far.
    size_t AnswerCount() const;

    // For one pass that never looks far back (learning a capture to serve):
    // lets go of the answers whose every segment is below record uBelow, and
    // of those segments, so that memory does not grow with the capture.
    void Forget(uint64_t uBelow);

    // When frame (a record already added) completes a segmented answer: the
    // answer's service data, every segment's in sequence order. False for any
    // other record, and when another segment cannot be read back unchanged.
    bool Whole(const SFrame& frame, const ReadFn& read, std::vector<uint8_t>& data) const;

private:
    struct SSegment {
        uint64_t uRecord;
        uint8_t uSeq;
        bool bMore;
        uint32_t uDataOffset;
        uint32_t uDataLength;
        uint64_t uHash; // of the segment's data, to tell a repeat from a clash
    };
    struct SAnswer {
        std::vector<SSegment> segments; // one per sequence number, in capture order
        bool bClosed = false;
        bool bComplete = false;
        uint64_t uCompletedBy = 0; // the record that completed it
        std::string csProblem; // why it cannot be reassembled (a clash)
    };
    struct SRole {
        size_t nAnswer;
        bool bRepeat;
        uint64_t uFirst; // a repeat's first record
    };

    std::string Note(const SAnswer& answer) const;
    // In sequence order the segments join whole (CSegmentJoin's rule).
    static bool JoinsWhole(const SAnswer& answer);
    // The answer's data in sequence order; false (csProblem says why) when a record cannot be read.
    static bool Gather(const SAnswer& answer, const SFrame& frame, const ReadFn& read,
        std::vector<uint8_t>& whole, uint32_t& uOwnStart, std::string& csProblem);

    mutable std::mutex m_mutex; // guards the members below; never held while decoding
    std::unordered_map<size_t, SAnswer> m_answers; // by number, from 0 in capture order
    size_t m_nAnswers = 0; // answers numbered so far
    std::map<std::string, size_t> m_last; // peers, invoke ID and service -> latest answer
    std::unordered_map<uint64_t, SRole> m_roles; // segment records only
    bool m_bFinished = false;
};

// True when a row decoded without the assembler may read otherwise with it:
// a segment of a ComplexACK ("...-ACK[ 5] segment 1, more follows").
bool MaySegment(const SRow& row);

} // namespace velmora::dissect
