#include "judge/Volatile.h"

#include "decode/BacnetNames.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>

namespace velmora::judge {

namespace {

    // Objects that measure: their present value, flags and state follow the
    // world, not the configuration.
    const char* const kInputs[] = { "analog-input", "binary-input", "multi-state-input",
        "accumulator", "pulse-converter", "credential-data-input" };

    const std::vector<SProfileRow> kProfile = {
        { "input", "present-value", "an input reads what it measures, which moves by itself" },
        { "input", "status-flags", "in alarm or in fault as the measured value or sensor goes" },
        { "input", "event-state", "follows the measured value across its limits" },
        { "input", "reliability", "a sensor can open, short or drift at any time" },
        { "loop", "present-value", "a loop's output follows its controlled variable" },
        { "loop", "controlled-variable-value", "measured" },
        { "*", "feedback-value", "an output's feedback is measured" },
        { "*", "tracking-value", "follows what the output really does" },
        { "device", "local-date", "the device's clock" },
        { "device", "local-time", "the device's clock" },
        { "device", "daylight-savings-status", "turns with the date" },
        // utc-offset is not here: it is set by hand, and a change is news.
        { "device", "database-revision", "goes up with every change to the configuration" },
        { "device", "last-restore-time", "when a backup was last restored" },
        { "device", "203", "when the device last started (time-of-device-restart)" },
        { "device", "last-restart-reason", "why the device last started" },
        { "device", "active-cov-subscriptions", "other clients subscribe and their time runs out" },
        { "*", "event-time-stamps", "when the object's last transitions happened" },
        { "*", "change-of-state-count", "counts every change of state" },
        { "*", "change-of-state-time", "when the state last changed" },
        { "*", "elapsed-active-time", "runs while the object is active" },
        { "*", "time-of-active-time-reset", "set whenever the active time is reset" },
        { "*", "time-of-state-count-reset", "set whenever the count is reset" },
        { "*", "log-buffer", "a log fills as it runs" },
        { "*", "record-count", "a log fills as it runs" },
        { "*", "total-record-count", "a log fills as it runs" },
        { "*", "records-since-notification", "a log fills as it runs" },
        { "*", "last-notify-record", "a log fills as it runs" },
        { "*", "count", "a pulse counter counts" },
        { "*", "count-change-time", "when the count last changed" },
        { "*", "pulse-rate", "measured" },
        { "*", "value-change-time", "when the value was last set" },
        { "averaging", "average-value", "a window of samples moves on" },
        { "averaging", "minimum-value", "a window of samples moves on" },
        { "averaging", "maximum-value", "a window of samples moves on" },
        { "averaging", "variance-value", "a window of samples moves on" },
        { "averaging", "minimum-value-timestamp", "a window of samples moves on" },
        { "averaging", "maximum-value-timestamp", "a window of samples moves on" },
        { "averaging", "attempted-samples", "a window of samples moves on" },
        { "averaging", "valid-samples", "a window of samples moves on" },
    };

    // BACnet's names run to a few hundred; a map each way, made once.
    struct SNames {
        std::map<std::string, uint32_t> types;
        std::map<std::string, uint32_t> properties;
    };
    const SNames& Names()
    {
        static const SNames names = [] {
            SNames n;
            for (uint32_t u = 0; u < 1024; ++u) {
                if (const char* sz = dissect::ObjectTypeName(u))
                    n.types.emplace(sz, u);
                if (const char* sz = dissect::PropertyName(u))
                    n.properties.emplace(sz, u);
            }
            return n;
        }();
        return names;
    }

    bool Number(const std::string& cs, uint32_t uMax, uint32_t& u)
    {
        if (cs.empty() || cs.size() > 10
            || !std::all_of(cs.begin(), cs.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        const unsigned long long ull = std::strtoull(cs.c_str(), nullptr, 10);
        if (ull > uMax)
            return false;
        u = static_cast<uint32_t>(ull);
        return true;
    }

    struct SProfileEntry {
        uint32_t uObjectType;
        uint32_t uProperty;
        size_t nRow;
    };
    const std::vector<SProfileEntry>& Profile()
    {
        static const std::vector<SProfileEntry> entries = [] {
            std::vector<SProfileEntry> v;
            for (size_t i = 0; i < kProfile.size(); ++i) {
                uint32_t uProperty = 0;
                if (!PropertyByName(kProfile[i].szProperty, uProperty))
                    continue; // the profile's own test names such a row
                const std::string csObject = kProfile[i].szObject;
                if (csObject == "input") {
                    for (const char* sz : kInputs) {
                        uint32_t uType = 0;
                        if (ObjectTypeByName(sz, uType))
                            v.push_back({ uType, uProperty, i });
                    }
                    continue;
                }
                uint32_t uType = kAnyObjectType;
                if (csObject != "*" && !ObjectTypeByName(csObject, uType))
                    continue;
                v.push_back({ uType, uProperty, i });
            }
            return v;
        }();
        return entries;
    }

    // How closely a rule fits: -1 not at all, else higher is closer.
    int Fit(const SVolatileRule& r, uint32_t uType, uint32_t uInstance, uint32_t uProperty)
    {
        if (r.uProperty != kAnyProperty && r.uProperty != uProperty)
            return -1;
        if (r.uObjectType != kAnyObjectType && r.uObjectType != uType)
            return -1;
        if (r.bHasInstance && r.uInstance != uInstance)
            return -1;
        const int iObject = r.bHasInstance ? 2 : r.uObjectType != kAnyObjectType ? 1 : 0;
        return iObject * 2 + (r.uProperty != kAnyProperty ? 1 : 0);
    }

    // bRule: the line holds a rule (not blank, not only a comment).
    bool ParseLine(std::string cs, SVolatileRule& rule, bool& bRule, std::string& csError)
    {
        bRule = false;
        if (const size_t n = cs.find('#'); n != std::string::npos)
            cs.erase(n);
        std::istringstream in(cs);
        std::vector<std::string> words;
        for (std::string w; in >> w;)
            words.push_back(w);
        if (words.empty())
            return true;
        bRule = true;
        bool bRemove = false;
        if (words.front() == "-") {
            bRemove = true;
            words.erase(words.begin());
        } else if (words.front().size() > 1 && words.front()[0] == '-') {
            bRemove = true;
            words.front().erase(0, 1);
        }
        if (words.size() < 2) {
            csError = "an object and a property are wanted: OBJECT PROPERTY [TOLERANCE]";
            return false;
        }
        if (words.size() > 3) {
            csError = "'" + words[3] + "' is one word too many: OBJECT PROPERTY [TOLERANCE]";
            return false;
        }
        std::string csType = words[0];
        if (const size_t nComma = csType.find(','); nComma != std::string::npos) {
            if (!Number(csType.substr(nComma + 1), 0x3fffff, rule.uInstance)) {
                csError = "bad instance in '" + words[0] + "' (0 to 4194303)";
                return false;
            }
            rule.bHasInstance = true;
            csType.erase(nComma);
        }
        if (csType == "*") {
            if (rule.bHasInstance) {
                csError = "'" + words[0] + "': an instance needs an object type";
                return false;
            }
        } else if (!ObjectTypeByName(csType, rule.uObjectType)) {
            csError = "unknown object type '" + csType + "'";
            return false;
        }
        if (words[1] != "*" && !PropertyByName(words[1], rule.uProperty)) {
            csError = "unknown property '" + words[1] + "'";
            return false;
        }
        rule.eVolatility = bRemove ? EVolatility::Compared : EVolatility::Volatile;
        if (words.size() == 3) {
            if (bRemove) {
                csError = "a property compared exactly ('-') takes no tolerance";
                return false;
            }
            std::string csTol = words[2];
            if (csTol.size() > 1 && csTol.back() == '%') {
                rule.bPercent = true;
                csTol.pop_back();
            }
            if (!csTol.empty() && csTol[0] == '+')
                csTol.erase(0, 1);
            char* pEnd = nullptr;
            errno = 0;
            const double d = csTol.empty() ? -1 : std::strtod(csTol.c_str(), &pEnd);
            const bool bDigits = std::all_of(csTol.begin(), csTol.end(), [](char c) {
                return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '-'
                    || c == '+';
            });
            if (csTol.empty() || !bDigits || !pEnd || *pEnd != '\0' || errno != 0
                || !std::isfinite(d) || d < 0) {
                csError = "bad tolerance '" + words[2] + "' (a number such as 0.5, or 2%)";
                return false;
            }
            rule.eVolatility = EVolatility::Tolerance;
            rule.dTolerance = d;
        }
        return true;
    }

} // namespace

bool ObjectTypeByName(const std::string& cs, uint32_t& uType)
{
    if (Number(cs, 1023, uType))
        return true;
    const auto& types = Names().types;
    auto it = types.find(cs);
    if (it == types.end())
        return false;
    uType = it->second;
    return true;
}

bool PropertyByName(const std::string& cs, uint32_t& uProperty)
{
    if (Number(cs, 0x3fffff, uProperty))
        return true;
    const auto& properties = Names().properties;
    auto it = properties.find(cs);
    if (it == properties.end())
        return false;
    uProperty = it->second;
    return true;
}

bool ParseVolatileFile(const std::string& csText, SVolatileFile& file, std::string& csError)
{
    file.rules.clear();
    size_t nLine = 0;
    size_t nAt = 0;
    while (nAt < csText.size()) {
        size_t nEnd = csText.find('\n', nAt);
        if (nEnd == std::string::npos)
            nEnd = csText.size();
        std::string cs = csText.substr(nAt, nEnd - nAt);
        nAt = nEnd + 1;
        ++nLine;
        if (!cs.empty() && cs.back() == '\r')
            cs.pop_back();
        if (cs.find('\0') != std::string::npos) {
            csError = "line " + std::to_string(nLine) + ": not text";
            return false;
        }
        SVolatileRule rule;
        rule.nLine = nLine;
        std::string csWhy;
        bool bRule = false;
        if (!ParseLine(cs, rule, bRule, csWhy)) {
            csError = "line " + std::to_string(nLine) + ": " + csWhy;
            return false;
        }
        if (bRule)
            file.rules.push_back(rule);
    }
    return true;
}

const std::vector<SProfileRow>& ProfileRows()
{
    return kProfile;
}

bool InProfile(uint32_t uObjectType, uint32_t uProperty, std::string* pcsWhy)
{
    for (const SProfileEntry& e : Profile()) {
        if (e.uProperty == uProperty
            && (e.uObjectType == kAnyObjectType || e.uObjectType == uObjectType)) {
            if (pcsWhy)
                *pcsWhy = kProfile[e.nRow].szWhy;
            return true;
        }
    }
    return false;
}

SVolatility VolatilityOf(const SVolatileFile* pFile, bool bProfile, bool bLearned,
    uint32_t uObjectType, uint32_t uInstance, uint32_t uProperty)
{
    SVolatility v;
    if (pFile) {
        const SVolatileRule* pBest = nullptr;
        int iBest = -1;
        for (const SVolatileRule& r : pFile->rules) {
            const int i = Fit(r, uObjectType, uInstance, uProperty);
            if (i >= iBest && i >= 0) {
                iBest = i;
                pBest = &r;
            }
        }
        if (pBest) {
            v.e = pBest->eVolatility;
            v.dTolerance = pBest->dTolerance;
            v.bPercent = pBest->bPercent;
            return v;
        }
    }
    if (bProfile && (bLearned || InProfile(uObjectType, uProperty)))
        v.e = EVolatility::Volatile;
    return v;
}

} // namespace velmora::judge
