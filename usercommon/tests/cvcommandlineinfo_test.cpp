// The wizards' command line, word by word as the application object hands the words over.
#include <gtest/gtest.h>

#include <vector>

#include "cvcommandlineinfo.h"

namespace {

struct Line {
    std::vector<std::pair<const char16_t*, BOOL>> words;  // word (switch character removed), switch flag
    BOOL silent;
    BOOL help;
    const char16_t* parameter;
};

class CommandLineTest : public ::testing::TestWithParam<Line> {};

TEST_P(CommandLineTest, SetsTheFlagsAndKeepsTheLastPlainWord)
{
    const Line& line = GetParam();
    CCvCommandLineInfo info;
    for (size_t i = 0; i < line.words.size(); ++i)
        info.ParseParam(line.words[i].first, line.words[i].second, i + 1 == line.words.size());
    EXPECT_EQ(info.m_bSilent, line.silent);
    EXPECT_EQ(info.m_bHelp, line.help);
    EXPECT_EQ(std::u16string(info.m_strParameter), line.parameter);
}

INSTANTIATE_TEST_SUITE_P(
    Words, CommandLineTest,
    ::testing::Values(Line{{{u"s", TRUE}}, TRUE, FALSE, u""}, Line{{{u"S", TRUE}}, TRUE, FALSE, u""},
                      Line{{{u"sh", TRUE}}, TRUE, TRUE, u""}, Line{{{u"Hs", TRUE}}, TRUE, TRUE, u""},
                      Line{{{u"?", TRUE}}, FALSE, TRUE, u""}, Line{{{u"sq", TRUE}}, TRUE, FALSE, u""},
                      // A letter of another kind stops letter reading for the rest of the line; the
                      // exact words still count.
                      Line{{{u"x", TRUE}, {u"sh", TRUE}}, FALSE, FALSE, u""},
                      Line{{{u"x", TRUE}, {u"s", TRUE}}, TRUE, FALSE, u""},
                      Line{{{u"first", FALSE}, {u"second", FALSE}}, FALSE, FALSE, u"second"},
                      Line{{{u"", TRUE}}, FALSE, FALSE, u""}));

}  // namespace
