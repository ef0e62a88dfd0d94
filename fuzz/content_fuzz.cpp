// Any bytes for the content comparison and the volatile file parser. The
// input is split at each 0xff 0xfe pair: a volatile file's text, then two
// ComplexACKs' service data (heard, recorded), each led by its service
// choice. The first byte's low bits choose the rules. No crash, no read
// outside the bytes, an answer always the same as itself, the same verdict
// either way round without tolerances, and every verdict
// on one line, without control characters, with words when it is not the same.

#include "judge/Content.h"
#include "judge/Volatile.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace velmora::judge;

namespace {

SAnswerContent Content(const std::vector<uint8_t>& part)
{
    if (part.empty())
        return ReadAnswerContent(kReadProperty, nullptr, 0);
    // Most inputs stay with the services whose parameters are read.
    const uint8_t uService = part[0] & 0x80 ? part[0]
        : part[0] & 1                       ? kReadPropertyMultiple
                                            : kReadProperty;
    return ReadAnswerContent(uService, part.data() + 1, part.size() - 1);
}

void Check(const SContentVerdict& v)
{
    for (char c : v.csWhat) {
        if (static_cast<unsigned char>(c) < 0x20)
            __builtin_trap(); // a line of a table, whatever the device sent
    }
    const bool bWords = v.e == EContent::Changed || v.e == EContent::Differs;
    if (bWords == v.csWhat.empty())
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    std::vector<std::vector<uint8_t>> parts(1);
    for (size_t i = 0; i < nSize; ++i) {
        if (i + 1 < nSize && pData[i] == 0xff && pData[i + 1] == 0xfe && parts.size() < 3) {
            parts.emplace_back();
            ++i;
            continue;
        }
        parts.back().push_back(pData[i]);
    }
    parts.resize(3);
    const uint8_t uChoice = nSize > 0 ? pData[0] : 0;

    SCompareRules rules;
    rules.bValues = (uChoice & 4) == 0;
    rules.bProfile = (uChoice & 8) == 0;
    auto pFile = std::make_shared<SVolatileFile>();
    std::string csError;
    const std::string csText(parts[0].begin(), parts[0].end());
    if (ParseVolatileFile(csText, *pFile, csError)) {
        for (const SVolatileRule& r : pFile->rules) {
            if (r.nLine == 0 || (r.eVolatility == EVolatility::Tolerance && !(r.dTolerance >= 0)))
                __builtin_trap();
        }
        if (!csError.empty())
            __builtin_trap();
        rules.pFile = pFile;
    } else if (csError.rfind("line ", 0) != 0) {
        __builtin_trap();
    }

    const SAnswerContent heard = Content(parts[1]);
    const SAnswerContent recorded = Content(parts[2]);
    for (const SAnswerContent* p : { &heard, &recorded }) {
        if (!p->bProperties && !p->properties.empty())
            __builtin_trap();
        for (const SPropertyValue& v : p->properties)
            ValueText(v.value);
    }
    // What the capture teaches: the recorded answer and the heard one, as
    // if both had been recorded.
    auto pLearned = std::make_shared<CLearnedVolatile>();
    for (const SAnswerContent* p : { &recorded, &heard })
        for (const SPropertyValue& v : p->properties)
            pLearned->Add("d", v);
    if (uChoice & 16)
        rules.pLearned = pLearned;

    const SContentVerdict there = CompareContent(heard, recorded, rules, "d");
    const SContentVerdict back = CompareContent(recorded, heard, rules, "d");
    Check(there);
    Check(back);
    // Without tolerances (the file's), which side was recorded does not change the verdict.
    if (!rules.pFile && there.e != back.e)
        __builtin_trap();
    for (const SAnswerContent* p : { &heard, &recorded }) {
        const SContentVerdict same = CompareContent(*p, *p, rules, "d");
        if (same.e != EContent::Same)
            __builtin_trap();
    }
    std::vector<velmora::frame::SDeviceMap> devices = { { 1, 2 }, { uChoice, 1234 } };
    SAnswerContent mapped = heard;
    MapDevices(mapped, devices);
    Check(CompareContent(mapped, recorded, rules, "d"));
    return 0;
}
