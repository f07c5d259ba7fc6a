// Splitting one command line into program and arguments by the rules of the
// Microsoft C run-time (2008 and later), as programs on Windows do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/argv_split.h"

namespace {

struct Case {
    const char *name;
    const char *commandLine;
    std::vector<std::string> items;
};

const Case kCases[] = {
    {"Empty", "", {}},
    {"OnlyBlanks", " \t  ", {}},
    {"ProgramAlone", "tool", {"tool"}},
    {"LeadingAndTrailingBlanks", "  tool  a\t\tb  ", {"tool", "a", "b"}},
    {"QuotesGroupBlanks", "tool \"a b\" c", {"tool", "a b", "c"}},
    {"QuotedProgramWithBlanks", "\"/opt/my tools/run\" x", {"/opt/my tools/run", "x"}},
    {"ProgramKeepsBackslashes", "C:\\tools\\\"x y\" z", {"C:\\tools\\x y", "z"}},
    {"ProgramHasNoEscapes", "a\\\"b c", {"a\\b c"}},
    {"QuotesInsideAnItemJoin", "tool a\"b c\"d", {"tool", "ab cd"}},
    {"EmptyQuotedItem", "tool \"\" x", {"tool", "", "x"}},
    {"BackslashesWithoutQuoteAreLiteral", "tool a\\\\b c\\d\\", {"tool", "a\\\\b", "c\\d\\"}},
    {"EscapedQuote", "tool a\\\"b", {"tool", "a\"b"}},
    {"EvenBackslashesBeforeQuote", "tool \"a\\\\\" b", {"tool", "a\\", "b"}},
    {"OddBackslashesBeforeQuote", "tool \"a\\\\\\\" b\"", {"tool", "a\\\" b"}},
    {"DoubledQuoteInsideQuotesStaysQuoted", "tool \"a\"\"b c\"", {"tool", "a\"b c"}},
    {"FourQuotesGiveOneQuote", "tool \"\"\"\"", {"tool", "\""}},
    {"DoubledQuoteOutsideQuotesIsEmpty", "tool a\"\"b", {"tool", "ab"}},
    {"UnclosedQuoteRunsToTheEnd", "tool \"a b", {"tool", "a b"}},
    {"QuotedBackslashPath", "tool \"C:\\Program Files\\\\\"", {"tool", "C:\\Program Files\\"}},
    {"ShellCharactersAreOrdinary", "tool ;rm -rf $HOME|x `y` > z", {"tool", ";rm", "-rf", "$HOME|x", "`y`", ">", "z"}},
    {"OtherWhiteSpaceIsNotASeparator", "tool a\nb\rc\vd", {"tool", "a\nb\rc\vd"}},
};

std::vector<std::string> Split(const char *commandLine, int *count) {
    char storage[2 * 260 + 2];
    char *argv[132];
    *count = platform::SplitCommandLine(commandLine, storage, sizeof storage, argv, 132);
    std::vector<std::string> items;
    for (int i = 0; i < *count; ++i) items.push_back(argv[i]);
    if (*count >= 0) EXPECT_EQ(argv[*count], nullptr) << "the list ends with a null pointer";
    return items;
}

class ArgvSplitTable : public testing::TestWithParam<Case> {};

TEST_P(ArgvSplitTable, SplitsLikeWindowsPrograms) {
    int count = 0;
    const std::vector<std::string> items = Split(GetParam().commandLine, &count);
    EXPECT_EQ(count, static_cast<int>(GetParam().items.size()));
    EXPECT_EQ(items, GetParam().items);
}

INSTANTIATE_TEST_SUITE_P(Rules, ArgvSplitTable, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

TEST(ArgvSplitLimits, LongestCommandLinesFitTheDocumentedRoom) {
    // 260 characters of one-letter items, and 260 characters of empty items.
    std::string letters = "p";
    while (letters.size() + 2 <= 260) letters += " a";
    std::string empties = "p";
    while (empties.size() + 3 <= 260) empties += " \"\"";
    int count = 0;
    EXPECT_EQ(Split(letters.c_str(), &count).size(), (letters.size() + 1) / 2);
    EXPECT_EQ(Split(empties.c_str(), &count).size(), (empties.size() - 1) / 3 + 1);
}

TEST(ArgvSplitLimits, TooLittleRoomIsReportedNotOverrun) {
    char storage[8];
    char *argv[3];
    // "abcdefgh" needs nine bytes with its terminator.
    EXPECT_EQ(platform::SplitCommandLine("abcdefgh", storage, sizeof storage, argv, 3), -1);
    EXPECT_EQ(platform::SplitCommandLine("abcdefg", storage, sizeof storage, argv, 3), 1);
    // Three items and the null pointer need four slots.
    EXPECT_EQ(platform::SplitCommandLine("a b c", storage, sizeof storage, argv, 3), -1);
    EXPECT_EQ(platform::SplitCommandLine("a b", storage, sizeof storage, argv, 3), 2);
}

} // namespace
