#pragma once

// The report of a listening Send: one self-contained HTML file (inline CSS,
// SVG and a little script for sorting and filtering; nothing fetched) to hand
// to a colleague or keep as a CI artifact. Built from the same judgement as
// the TSV lines and JUnit, so its figures are theirs.

#include "judge/Judge.h"
#include "replay/Replay.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace velmora {

struct SReportFacts {
    std::string csCapturePath;
    uint64_t uRecords = 0; // records in the capture
    std::string csSha256; // "" when the file could not be read
    std::string csAdapter;
    std::vector<std::string> options; // every send option not at its default, in words
    int64_t llStartNs = 0; // wall clock, since the epoch
    int64_t llDurationNs = 0;
    std::string csVersion;
    std::string csExitStatus; // in words
    std::string csSummary; // the closing sentence the shells print
    uint64_t uPacketsSent = 0;
    // The file the recorded answers come from: a baseline's ("" the capture).
    std::string csRecordedPath;
    // How the Send ran (session/RunFacts.h), the rig's name among them.
    std::vector<std::pair<std::string, std::string>> run;
};

// The facts a report needs that a Send's request and result give: the
// capture's path, the adapter, the options in words, the packets sent and the
// version; cheap (the file is read when the report is written). The times,
// the exit status and the summary are the caller's.
SReportFacts ReportFactsOf(const SReplayRequest& request, const SReplayResult& result);

// Velmora's version, "1.0.0".
const char* VelmoraVersion();

// The command's exit status in words: "0 (every chosen record sent; every
// request answered as expected)".
std::string ExitStatusWords(int iExit);

// Reads a capture record's bytes (for the recorded answers); false when it
// cannot. May be empty: differing rows then show the heard answer alone.
using RecordReader = std::function<bool(uint64_t uRecord, std::vector<uint8_t>& bytes)>;

// A reader of the capture's records by number (CCaptureIndex underneath);
// indexes the file at its first call.
RecordReader CaptureRecordReader(const std::string& csPath);

// A recorded and a heard answer side by side, field by field: the BACnet
// content only (the link, IP, UDP, BVLC and NPDU layers, lengths and the
// invoke ID folded away), the differing fields first. pRecorded null: the
// heard fields alone, each differing.
struct SCompareRow {
    int iDepth = 0;
    std::string csName;
    bool bRecorded = false;
    std::string csRecorded;
    bool bHeard = false;
    std::string csHeard;
    bool bDiffers = false;
};
std::vector<SCompareRow> CompareAnswers(
    const std::vector<uint8_t>* pRecorded, const std::vector<uint8_t>& heard);

// The report's HTML.
// heard: the frames heard that the lines' nAnswer index.
std::string ReportHtml(const SReportFacts& facts, const judge::SJudgement& judgement,
    const std::vector<SHeardFrame>& heard, const RecordReader& readRecord);

// Writes the report as the facts say (records and digest included), reading
// recorded answers through readRecord; false with a reason when the file
// cannot be written.
bool WriteReportFile(const std::string& csPath, const SReportFacts& facts,
    const judge::SJudgement& judgement, const std::vector<SHeardFrame>& heard,
    const RecordReader& readRecord, std::string& csError);

// Writes the report, reading the capture for its records and digest first;
// false with a reason when the file cannot be written.
bool WriteReport(const std::string& csPath, const SReportFacts& facts,
    const judge::SJudgement& judgement, const std::vector<SHeardFrame>& heard,
    std::string& csError);

} // namespace velmora
