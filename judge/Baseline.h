#pragma once

// A baseline: the answers of an earlier run (its saved answers), or a capture
// taken at the bench, to judge today's answers against, request by request:
// "this bench today against this bench last month".
//
// Each request sent today finds its answer in the baseline by what it asks,
// not by its record number or invoke ID (a conversation gives fresh ones):
//   - A baseline that holds requests (a capture of the bench): the n-th
//     request today that asks the same (the APDU without its invoke ID and
//     segmentation fields) takes the n-th such request of the baseline (the
//     count starts again when today's rounds outnumber the baseline's), and
//     with it the answers the judge's own pairing gives it there.
//   - A baseline of answers alone: a confirmed request takes, in the
//     baseline's order, the first answer not yet taken that fits it: of its
//     service (an ACK of ReadProperty, ReadPropertyMultiple and the like
//     only when it repeats the request's first object, as such ACKs begin),
//     or a Reject or Abort; from the device it went to, when the baseline
//     heard that device.
//     A Who-Is, Who-Has or router query takes every answer of its kind that
//     fits it.

#include "judge/Judge.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace velmora::judge {

class CBaseline {
public:
    explicit CBaseline(std::vector<SJudgedFrame> frames);
    // The baseline's frames, for Judge's pCapture.
    const std::vector<SJudgedFrame>& Frames() const { return m_frames; }
    bool HoldsRequests() const { return m_bRequests; }
    // For each request (in send order, as Judge takes them), the indices of
    // its answers among Frames(); called round after round, the pairing
    // goes on where it stopped.
    std::vector<std::vector<size_t>> Pair(const std::vector<SJudgedFrame>& requests);

private:
    std::vector<SJudgedFrame> m_frames;
    std::vector<SBacnetFrame> m_parsed;
    bool m_bRequests = false;
    // Requests held: their indices by what they ask, and their answers.
    std::unordered_map<std::string, std::vector<size_t>> m_byQuestion;
    std::unordered_map<size_t, std::vector<size_t>> m_answersOf;
    std::unordered_map<std::string, size_t> m_asked; // today's count by what was asked
    std::vector<bool> m_taken; // answers alone: taken by an earlier request
};

// What a request asks, as the baseline matches it: the APDU's type and
// service with its service data, without the invoke ID and segmentation
// fields ("" when the frame is no BACnet request).
std::string QuestionKey(const std::vector<uint8_t>& frame);

} // namespace velmora::judge
