#pragma once

// The judge's verdict on a listening Send, for both shells: the requests the
// Send put on the wire against the frames heard, and, with --expect captured,
// against the answers the capture recorded.

#include "judge/Judge.h"
#include "replay/Replay.h"

#include <string>
#include <vector>

namespace velmora {

// Reads the capture's records for judging (BACnet frames only, each with its
// record number). False with a reason when the file cannot be read.
bool ReadCaptureForJudging(
    const std::string& csPath, std::vector<judge::SJudgedFrame>& frames, std::string& csError);

// The requests and frames a Send handed back, as the judge takes them.
std::vector<judge::SJudgedFrame> JudgedRequests(const std::vector<SSentRequest>& requests);
std::vector<judge::SJudgedFrame> JudgedHeard(const std::vector<SHeardFrame>& heard);

// Judges a listening Send (an empty judgement when it did not listen); reads
// the capture when the request asks for its recorded answers.
judge::SJudgement JudgeSend(const SReplayRequest& request, const SReplayResult& result);

} // namespace velmora
