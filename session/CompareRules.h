#pragma once

// The Send's choices for comparing answers (--compare, --strict, --volatile)
// as the judge takes them.

#include "judge/Content.h"
#include "replay/Listen.h"

#include <string>

namespace velmora {

// Reads the volatile file, if any. False with "FILE: line 3: unknown
// property 'presnt-value'" when it cannot be read or a line does not parse.
bool LoadCompareRules(
    const SListenOptions& listen, judge::SCompareRules& rules, std::string& csError);

// "kind", "values" or "strict", as the command line and the settings spell them.
const char* CompareWord(EAnswerCompare e);
bool CompareFromWord(const std::string& cs, EAnswerCompare& e);

} // namespace velmora
