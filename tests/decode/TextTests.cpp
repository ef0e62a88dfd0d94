// The text rules of the files written: the report's HTML, JUnit's XML and the
// served list's report share one escaper; the command's lines, the TSV of the
// judge and the served list share one cell cleaner.

#include "decode/Text.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

TEST(TextTest, MarkupIsEscapedOneWay)
{
    using E = EMarkupText;
    struct Row {
        std::string cs;
        E eText;
        std::string csOut;
    };
    const Row rows[] = {
        { "a<b>&\"c\"", E::Line, "a&lt;b&gt;&amp;&quot;c&quot;" },
        { "a<b>&\"c\"", E::Block, "a&lt;b&gt;&amp;&quot;c&quot;" },
        { "&amp;", E::Line, "&amp;amp;" }, // escaped again, never taken as done
        { "it's", E::Line, "it's" }, // an apostrophe needs nothing inside double quotes
        // The copies differed here: the report's HTML put a space for every
        // control character, JUnit kept tabs and line feeds (XML 1.0 allows
        // them, and a failure's lines read as lines). Each keeps its own.
        { "a\tb\nc\rd", E::Line, "a b c d" },
        { "a\tb\nc\rd", E::Block, "a\tb\nc d" },
        { std::string("a\0b", 3), E::Block, "a b" },
        { "\x01\x1f", E::Block, "  " },
        { "\x7f", E::Line, "\x7f" },
        // UTF-8 passes whole: no byte of it is below 0x20.
        { "\u2014 \u00d7", E::Line, "\u2014 \u00d7" },
        { "", E::Line, "" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cs);
        EXPECT_EQ(MarkupEscaped(row.cs, row.eText), row.csOut);
    }
}

TEST(TextTest, ATsvCellPartsNeitherColumnsNorLines)
{
    const std::pair<std::string, std::string> rows[] = {
        { "who-Is", "who-Is" },
        { "a\tb", "a b" },
        { "a\nb\r\n", "a b  " },
        { "\t\t", "  " },
        { "a\x01<b>", "a\x01<b>" }, // only what parts a TSV line
        { "", "" },
    };
    for (const auto& [cs, csOut] : rows) {
        SCOPED_TRACE(cs);
        EXPECT_EQ(TsvCell(cs), csOut);
    }
}

} // namespace
