// Any bytes as Ethernet frames for the judge: the parser, the request
// classification and a whole judgement over them. The input is split at each
// 0xff 0xfe pair into frames; the first half of them are requests, the rest
// heard answers, and all of them the capture (segmented answers there are
// reassembled; some requests carry fresh invoke IDs, some answers are whole
// ones). No crash, no read outside a
// frame, and every line stays on one line.

#include "judge/Bacnet.h"
#include "judge/Judge.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace velmora::judge;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    std::vector<SJudgedFrame> frames;
    SJudgedFrame current;
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
    std::vector<SJudgedFrame> requests;
    std::vector<SJudgedFrame> heard;
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i].uRecord = i;
        frames[i].llNs = static_cast<int64_t>(i) * 1000;
        const SBacnetFrame f = ParseBacnet(frames[i].bytes.data(), frames[i].bytes.size());
        const size_t nMost = f.dadr.bytes.size();
        if (f.linkSource.uLength > nMost || f.dadr.uLength > nMost || f.sadr.uLength > nMost)
            __builtin_trap();
        ClassifyRequest(f);
        // A frame's last byte decides whether a request carries a fresh
        // invoke ID (anywhere, even past its end) or an answer is a whole one.
        const uint8_t uLast = frames[i].bytes.empty() ? 0 : frames[i].bytes.back();
        if (uLast & 1) {
            frames[i].iInvokeAt = uLast >> 1;
            frames[i].uCapturedInvokeId = uLast;
            frames[i].iSegments = uLast & 7;
        }
        (i < frames.size() / 2 ? requests : heard).push_back(frames[i]);
    }
    const SJudgement j = Judge(requests, heard, &frames);
    for (const SJudgeLine& line : j.lines) {
        const std::string cs = TsvLine(line);
        if (cs.find('\n') != cs.size() - 1)
            __builtin_trap();
    }
    JUnitXml("fuzz", j);
    SummaryText(frames.size(), j);
    return 0;
}
