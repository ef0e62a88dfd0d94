#include "decode/Text.h"

namespace velmora {

std::string MarkupEscaped(std::string_view sv, EMarkupText eText)
{
    std::string out;
    out.reserve(sv.size() + 8);
    for (char c : sv) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20
                || (eText == EMarkupText::Block && (c == '\t' || c == '\n')))
                out += c;
            else
                out += ' ';
        }
    }
    return out;
}

std::string TsvCell(std::string cs)
{
    for (char& c : cs)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return cs;
}

} // namespace velmora
