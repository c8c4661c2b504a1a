// The wizards' command line, word by word as ParseCommandLine hands it over.
#include <gtest/gtest.h>

#include "cvcommandlineinfo.h"

namespace {

struct Word {
    const WCHAR* text;
    BOOL flag;
};

struct Case {
    const char* name;
    std::vector<Word> words;
    BOOL silent;
    BOOL help;
    std::u16string parameter;
};

TEST(CvCommandLineInfoTest, SwitchesAreReadWholeThenLetterByLetterUntilAnUnknownLetter)
{
    const Case cases[] = {
        {"/s", {{u"s", TRUE}}, TRUE, FALSE, u""},
        {"-S", {{u"S", TRUE}}, TRUE, FALSE, u""},
        {"/sh", {{u"sh", TRUE}}, TRUE, TRUE, u""},
        {"/hs", {{u"hs", TRUE}}, TRUE, TRUE, u""},
        {"/?", {{u"?", TRUE}}, FALSE, TRUE, u""},
        {"/x /sh", {{u"x", TRUE}, {u"sh", TRUE}}, FALSE, FALSE, u""},
        {"/x /s", {{u"x", TRUE}, {u"s", TRUE}}, TRUE, FALSE, u""},
        {"/sq", {{u"sq", TRUE}}, TRUE, FALSE, u""},
        {"/qs", {{u"qs", TRUE}}, FALSE, FALSE, u""},
        {"two words", {{u"first", FALSE}, {u"second", FALSE}}, FALSE, FALSE, u"second"},
        {"/", {{u"", TRUE}}, FALSE, FALSE, u""},
    };
    for (const Case& c : cases) {
        CCvCommandLineInfo info;
        for (size_t index = 0; index < c.words.size(); ++index)
            info.ParseParam(c.words[index].text, c.words[index].flag, index + 1 == c.words.size());
        EXPECT_EQ(info.m_bSilent, c.silent) << c.name;
        EXPECT_EQ(info.m_bHelp, c.help) << c.name;
        EXPECT_EQ(std::u16string(info.m_strParameter.GetString()), c.parameter) << c.name;
    }
}

}  // namespace
