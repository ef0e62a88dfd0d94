#pragma once

// Properties whose value changes by itself: a bench that reads another
// present-value or clock than the capture recorded has not regressed. Three
// sources, the most specific first:
//   - a volatile file (--volatile FILE) a user writes: properties added,
//     taken out, or given a tolerance for numbers;
//   - what the capture teaches: a property whose recorded answers differ
//     among themselves (the judge learns these, see judge/Content.h);
//   - the built-in profile below, each row with its reason.
//
// The file, one rule a line ('#' begins a comment, blank lines are skipped):
//   [-]OBJECT PROPERTY [TOLERANCE]
//     OBJECT     a type (analog-input), a type and instance (analog-input,3),
//                a type's number (0), or * for any
//     PROPERTY   a name (present-value) or number (85), or * for any
//     TOLERANCE  absolute (0.5) or of the recorded value (2%): numbers within
//                it are ok, beyond it they differ
//   A rule without a tolerance makes the property volatile; a leading '-'
//   compares it exactly, whatever the profile or the capture say.
// Of two rules that fit, the one naming an instance beats a type's, a type's
// beats *, a named property beats *; among equals the later line wins.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::judge {

constexpr uint32_t kAnyObjectType = 0xffffffff;
constexpr uint32_t kAnyProperty = 0xffffffff;
// An input, or an object that measures as one (profile rows only).
constexpr uint32_t kInputObjects = 0xfffffffe;

// How a property's value is compared.
enum class EVolatility {
    Compared, // any change differs
    Volatile, // any change of value (not of datatype) is "ok (value changed)"
    Tolerance, // numbers within the tolerance are ok; others compared
};

struct SVolatileRule {
    size_t nLine = 0; // in the file (1 first)
    uint32_t uObjectType = kAnyObjectType;
    bool bHasInstance = false;
    uint32_t uInstance = 0;
    uint32_t uProperty = kAnyProperty;
    EVolatility eVolatility = EVolatility::Volatile;
    double dTolerance = 0; // absolute, or percent of the recorded value
    bool bPercent = false;
};

struct SVolatileFile {
    std::vector<SVolatileRule> rules;
};

// Parses a volatile file's text. False with "line 3: unknown property
// 'presnt-value'" (the first bad line) when a line does not read.
bool ParseVolatileFile(const std::string& csText, SVolatileFile& file, std::string& csError);

// One row of the built-in profile.
struct SProfileRow {
    const char* szObject; // a type's name, "*" any, "input" kInputObjects
    const char* szProperty;
    const char* szWhy;
};
// Every row, in the order a reader reads them.
const std::vector<SProfileRow>& ProfileRows();
// Is the property in the built-in profile? The reason, when it is.
bool InProfile(uint32_t uObjectType, uint32_t uProperty, std::string* pcsWhy = nullptr);

// The verdict rule for one property.
struct SVolatility {
    EVolatility e = EVolatility::Compared;
    double dTolerance = 0;
    bool bPercent = false;
};

// How to compare a property's value: by the file first (pFile may be null),
// then, with bProfile (off: --strict), by bLearned (the capture taught it) and
// the profile.
SVolatility VolatilityOf(const SVolatileFile* pFile, bool bProfile, bool bLearned,
    uint32_t uObjectType, uint32_t uInstance, uint32_t uProperty);

// An object type or property by name or number: "analog-input" or "0",
// "present-value" or "85". False when neither.
bool ObjectTypeByName(const std::string& cs, uint32_t& uType);
bool PropertyByName(const std::string& cs, uint32_t& uProperty);

} // namespace velmora::judge
