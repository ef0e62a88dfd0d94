#include "session/CompareRules.h"

#include <fstream>
#include <sstream>

namespace velmora {

namespace {

    // A volatile file is a page of rules, not a capture.
    constexpr std::streamsize kVolatileFileMax = 1 << 20;

} // namespace

bool LoadCompareRules(
    const SListenOptions& listen, judge::SCompareRules& rules, std::string& csError)
{
    rules = {};
    rules.bValues = listen.eCompare != EAnswerCompare::Kind;
    rules.bProfile = listen.eCompare == EAnswerCompare::Values;
    if (listen.csVolatileFile.empty())
        return true;
    std::ifstream in(listen.csVolatileFile, std::ios::binary);
    if (!in) {
        csError = listen.csVolatileFile + ": cannot be read";
        return false;
    }
    std::string csText(static_cast<size_t>(kVolatileFileMax) + 1, '\0');
    in.read(csText.data(), kVolatileFileMax + 1);
    if (in.bad()) {
        csError = listen.csVolatileFile + ": cannot be read";
        return false;
    }
    csText.resize(static_cast<size_t>(in.gcount()));
    if (csText.size() > static_cast<size_t>(kVolatileFileMax)) {
        csError = listen.csVolatileFile + ": too long for a volatile file (1 MiB at most)";
        return false;
    }
    auto pFile = std::make_shared<judge::SVolatileFile>();
    std::string csWhy;
    if (!judge::ParseVolatileFile(csText, *pFile, csWhy)) {
        csError = listen.csVolatileFile + ": " + csWhy;
        return false;
    }
    rules.pFile = std::move(pFile);
    return true;
}

const char* CompareWord(EAnswerCompare e)
{
    switch (e) {
    case EAnswerCompare::Kind:
        return "kind";
    case EAnswerCompare::Strict:
        return "strict";
    case EAnswerCompare::Values:
        break;
    }
    return "values";
}

bool CompareFromWord(const std::string& cs, EAnswerCompare& e)
{
    for (EAnswerCompare one :
        { EAnswerCompare::Values, EAnswerCompare::Strict, EAnswerCompare::Kind }) {
        if (cs == CompareWord(one)) {
            e = one;
            return true;
        }
    }
    return false;
}

} // namespace velmora
