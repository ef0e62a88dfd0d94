#pragma once

// How text leaves the program for other readers: markup (the report's HTML,
// JUnit's XML, the served list's report) and TSV cells (the command's lines,
// the served list). One rule each, so the files never disagree.

#include <string>
#include <string_view>

namespace velmora {

enum class EMarkupText {
    Line, // a table cell, a title: every control character becomes a space
    Block, // XML text and attributes: tabs and line feeds stay, as XML 1.0 allows
};

// & < > " as entities; control characters a space, but a Block's tabs and
// line feeds. Other bytes (UTF-8 included) pass as they are.
std::string MarkupEscaped(std::string_view sv, EMarkupText eText = EMarkupText::Line);

// One TSV cell: tabs, line feeds and carriage returns become spaces, so that
// a cell can part neither columns nor lines.
std::string TsvCell(std::string cs);

} // namespace velmora
