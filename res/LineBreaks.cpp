#include "res/LineBreaks.h"

namespace velmora {

std::string ToWidgetLineBreaks(const std::string& cs)
{
    std::string out;
    out.reserve(cs.size());
    for (size_t i = 0; i < cs.size(); ++i) {
        if (cs[i] == '\r' && i + 1 < cs.size() && cs[i + 1] == '\n')
            continue;
        out += cs[i];
    }
    return out;
}

std::string ToMemberLineBreaks(const std::string& cs)
{
    std::string out;
    out.reserve(cs.size() + cs.size() / 8);
    for (size_t i = 0; i < cs.size(); ++i) {
        if (cs[i] == '\n' && (i == 0 || cs[i - 1] != '\r'))
            out += '\r';
        out += cs[i];
    }
    return out;
}

} // namespace velmora
