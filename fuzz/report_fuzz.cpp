// Any bytes as Ethernet frames for the report: a judgement over them as in
// judge_fuzz (the first half requests, in rounds of three, the rest heard),
// then the HTML, the headline and the aim clue. No crash, and no text of a
// frame closes the report's script blocks early: the page keeps its two.

#include "judge/Judge.h"
#include "session/Report.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace velmora;

namespace {

size_t Count(const std::string& cs, const std::string& csWhat)
{
    size_t n = 0;
    for (size_t i = cs.find(csWhat); i != std::string::npos; i = cs.find(csWhat, i + 1))
        ++n;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    std::vector<judge::SJudgedFrame> frames;
    judge::SJudgedFrame current;
    for (size_t i = 0; i < nSize; ++i) {
        if (i + 1 < nSize && pData[i] == 0xff && pData[i + 1] == 0xfe) {
            frames.push_back(std::move(current));
            current = {};
            ++i;
            continue;
        }
        current.bytes.push_back(pData[i]);
    }
    frames.push_back(std::move(current));
    std::vector<judge::SJudgedFrame> requests;
    std::vector<SHeardFrame> heardFrames;
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i].uRecord = i;
        frames[i].llNs = static_cast<int64_t>(i) * 1000;
        frames[i].uRound = static_cast<uint32_t>(1 + i % 3);
        if (i < frames.size() / 2)
            requests.push_back(frames[i]);
        else
            heardFrames.push_back(
                { frames[i].llNs, static_cast<uint32_t>(frames[i].bytes.size()), frames[i].bytes });
    }
    std::vector<judge::SJudgedFrame> heard(
        frames.begin() + static_cast<long>(frames.size() / 2), frames.end());
    const judge::SJudgement judgement = judge::Judge(requests, heard, &frames);
    SReportFacts facts;
    facts.csCapturePath = "</script><script>x";
    facts.csSummary = judge::SummaryText(frames.size(), judgement);
    const RecordReader read = [&frames](uint64_t u, std::vector<uint8_t>& bytes) {
        if (u >= frames.size())
            return false;
        bytes = frames[u].bytes;
        return true;
    };
    const std::string csHtml = ReportHtml(facts, judgement, heardFrames, read);
    if (Count(csHtml, "<script") != 2 || Count(csHtml, "</script") != 2)
        __builtin_trap();
    judge::Headline(judgement);
    judge::AimClue(heard, judgement);
    return 0;
}
