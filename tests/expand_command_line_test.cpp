// Expansion of the command-line template on the core linked in: the six
// placeholders, their order, first occurrence only, and the 260-character
// limit of CommandBuffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin/plugin_state.h"
#include "run/expand_command_line.h"

namespace {

struct HostTexts {
    std::string u, p, d, o, n;
};

HostRecord MakeHost(const HostTexts &texts) {
    HostRecord host{};
    snprintf(host.TextU, sizeof host.TextU, "%s", texts.u.c_str());
    snprintf(host.TextP, sizeof host.TextP, "%s", texts.p.c_str());
    snprintf(host.TextD, sizeof host.TextD, "%s", texts.d.c_str());
    snprintf(host.TextO, sizeof host.TextO, "%s", texts.o.c_str());
    snprintf(host.TextN, sizeof host.TextN, "%s", texts.n.c_str());
    return host;
}

struct Outcome {
    bool fits;
    std::string command;
    InsertedTexts inserted;
};

Outcome Expand(const std::string &templateText, const std::string &path, const HostTexts &texts) {
    EXPECT_LE(templateText.size(), 259u) << "a template holds at most 259 characters";
    snprintf(g_State.Settings.CommandLine, sizeof g_State.Settings.CommandLine, "%s", templateText.c_str());
    // Whatever the previous expansion left must not matter.
    memset(g_State.CommandBuffer, 'x', sizeof g_State.CommandBuffer - 1);
    g_State.CommandBuffer[sizeof g_State.CommandBuffer - 1] = '\0';
    const HostRecord host = MakeHost(texts);
    InsertedTexts inserted{0xFF, 0xFF};
    const bool fits = ExpandCommandLine(path.c_str(), &host, &inserted);
    return {fits, g_State.CommandBuffer, inserted};
}

const HostTexts kTexts{"user", "pass", "data", "other", "Name"};

struct Case {
    const char *name;
    const char *templateText;
    const char *path;
    HostTexts texts;
    const char *expected;
};

const Case kCases[] = {
    {"EmptyTemplate", "", "/t/se1.TMP", kTexts, ""},
    {"NoPlaceholderStaysUnchanged", "tool --flag 100%", "/t/se1.TMP", kTexts, "tool --flag 100%"},
    {"PathAlone", "%f", "/t/se1.TMP", kTexts, "/t/se1.TMP"},
    {"AllSixPlaceholders", "t %f %u %p %d %o %N", "/t/se1.TMP", kTexts, "t /t/se1.TMP user pass data other Name"},
    {"OnlyFirstOccurrenceOfPath", "%f %f", "/t/se1.TMP", kTexts, "/t/se1.TMP %f"},
    {"OnlyFirstOccurrenceOfEachText", "%u%u %N%N", "p", kTexts, "user%u Name%N"},
    {"DoubledPercentIsOrdinaryText", "%%f", "/t/se1.TMP", kTexts, "%/t/se1.TMP"},
    {"PercentBeforeOtherCharacterStays", "%x %1 %", "/t/se1.TMP", kTexts, "%x %1 %"},
    {"UpperCaseNOnlyIsAPlaceholder", "%n %N", "p", kTexts, "%n Name"},
    {"OtherPlaceholdersAreLowerCaseOnly", "%F %U %P %D %O", "p", kTexts, "%F %U %P %D %O"},
    {"EmptyHostTextJoinsTheTextAround", "a%ub%pc%dd%oe%Nf", "p", HostTexts{}, "abcdef"},
    {"EmptyPathJoinsTheTextAround", "[%f]", "", kTexts, "[]"},
    // "%u" is replaced before "%d", so a "%d" that TextU brings in comes
    // earlier than the template's own and is the one replaced.
    {"TextInsertedEarlierIsSearchedByLaterPlaceholders", "%u %d", "p", HostTexts{"<%d>", "", "D", "", ""},
     "<D> %d"},
    {"PathMayBringInAPlaceholder", "%f", "/x/%N/%u", kTexts, "/x/Name/user"},
    {"PlaceholderBeforeInsertedTextWins", "%d %u", "p", HostTexts{"<%d>", "", "D", "", ""}, "D <%d>"},
    // Replacement order is f u p d o N: "%N" inserted by TextO is replaced,
    // a "%u" inserted by TextO is not (its turn has passed).
    {"EarlierPlaceholdersAreNotSearchedAgain", "%o", "p", HostTexts{"U", "", "", "%u %N", "N"}, "%u N"},
    {"PlaceholderSplitByReplacementIsNotJoined", "%%uf", "P", HostTexts{"", "", "", "", ""}, "%f"},
    {"QuotedPath", "tool \"%f\"", "/a b/se1.TMP", kTexts, "tool \"/a b/se1.TMP\""},
    {"ValuesAreInsertedAsTheyAre", "%u", "p", HostTexts{" \"a\" & b ", "", "", "", ""}, " \"a\" & b "},
    // Backslashes of a host text directly before a closing quote are doubled,
    // so that the program receives them instead of a quotation mark.
    {"BackslashesBeforeAClosingQuoteAreDoubled", "t \"%u\" \"%f\"", "p", HostTexts{"C:\\Docs\\", "", "", "", ""},
     "t \"C:\\Docs\\\\\" \"p\""},
    {"BackslashesBeforeTheTemplatesOwnAreDoubledToo", "t \"%u\\\\\"", "p", HostTexts{"a\\", "", "", "", ""},
     "t \"a\\\\\\\\\""},
    {"BackslashesElsewhereStay", "t \"%u\\x\" %p\"y\" \"%d\"", "p", HostTexts{"a\\", "b\\", "", "", ""},
     "t \"a\\\\x\" b\\\"y\" \"\""},
    {"BackslashesInTheProgramItemStay", "\"%u\" x", "p", HostTexts{"C:\\t\\", "", "", "", ""}, "\"C:\\t\\\" x"},
};

class ExpandTable : public testing::TestWithParam<Case> {};

TEST_P(ExpandTable, GivesTheExpectedCommandLine) {
    const Case &c = GetParam();
    const Outcome outcome = Expand(c.templateText, c.path, c.texts);
    EXPECT_TRUE(outcome.fits);
    EXPECT_EQ(outcome.command, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Placeholders, ExpandTable, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// Which host texts the expansion used, and which of them brings a double
// quote inside quotes: only the template's quotes decide what is quoted.
struct InsertedCase {
    const char *name;
    const char *templateText;
    HostTexts texts;
    uint8_t used, quoteInQuotes; // bits: u p d o N
};
const InsertedCase kInsertedCases[] = {
    {"QuoteInsideQuotes", "t \"%u\" %p", HostTexts{"x\" \"y", "p", "", "", ""}, 0b00011, 0b00001},
    {"QuoteOutsideQuotesIsLeftAlone", "t %u \"%p\"", HostTexts{"a\"b", "x", "", "", ""}, 0b00011, 0},
    {"QuoteInTheQuotedProgramItem", "\"%u\" x", HostTexts{"a\"b", "", "", "", ""}, 0b00001, 0b00001},
    {"DoubledQuoteKeepsQuoting", "t \"a\"\"%u\"", HostTexts{"\"", "", "", "", ""}, 0b00001, 0b00001},
    {"EscapedTemplateQuoteOpensNothing", "t \\\"%u", HostTexts{"\"", "", "", "", ""}, 0b00001, 0},
    {"PlaceholderBroughtInByATextIsUsed", "t \"%u\"", HostTexts{"<%p>", "a\"b", "c", "", ""}, 0b00011, 0b00010},
    {"PlaceholderNotInTheLineIsUnused", "t %d", HostTexts{"u", "p", "d", "o", "n"}, 0b00100, 0},
};

TEST(ExpandInserted, TellsWhichTextsAreUsedAndWhichBreakOutOfQuotes) {
    for (const InsertedCase &c : kInsertedCases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = Expand(c.templateText, "p", c.texts);
        EXPECT_TRUE(outcome.fits);
        EXPECT_EQ(outcome.inserted.Used, c.used);
        EXPECT_EQ(outcome.inserted.QuoteInQuotes, c.quoteInQuotes);
    }
}

TEST(ExpandLimits, DoubledBackslashesCountAgainstTheLimit) {
    const std::string head = "t " + std::string(246, 'a') + " "; // 249 + "C:\Docs\" in quotes: 259, doubled 260
    EXPECT_EQ(Expand(head + "\"%u\"", "p", HostTexts{"C:\\Docs\\", "", "", "", ""}).command,
              head + "\"C:\\Docs\\\\\"");
    const Outcome refused = Expand(head + "\"%u\"", "p", HostTexts{"C:\\Docs\\\\", "", "", "", ""});
    EXPECT_FALSE(refused.fits);
    EXPECT_EQ(refused.command, "");
}

TEST(ExpandLimits, HostTextsOf63CharactersAreInsertedWhole) {
    const std::string u(63, 'u'), p(63, 'p'), d(63, 'd'), o(63, 'o'), n(63, 'N');
    // Four at once make 252 characters, which fit.
    const Outcome four = Expand("%u%p%d%o", "path", HostTexts{u, p, d, o, n});
    EXPECT_TRUE(four.fits);
    EXPECT_EQ(four.command, u + p + d + o);
    const Outcome name = Expand("<%N>", "path", HostTexts{u, p, d, o, n});
    EXPECT_TRUE(name.fits);
    EXPECT_EQ(name.command, "<" + n + ">");
}

TEST(ExpandLimits, UnterminatedHostTextIsReadNoFurtherThanItsField) {
    HostRecord host{};
    memset(host.TextU, 'u', sizeof host.TextU); // no terminator in the field
    memset(host.TextO, 'o', sizeof host.TextO);
    snprintf(g_State.Settings.CommandLine, sizeof g_State.Settings.CommandLine, "%s", "[%u]");
    EXPECT_TRUE(ExpandCommandLine("p", &host));
    EXPECT_EQ(std::string(g_State.CommandBuffer), "[" + std::string(63, 'u') + "]");
}

TEST(ExpandLimits, ResultOfExactly260CharactersFits) {
    const std::string head(257, 'a'); // 257 + 3 = 260
    const Outcome outcome = Expand(head + "%f", "xyz", kTexts);
    EXPECT_TRUE(outcome.fits);
    EXPECT_EQ(outcome.command, head + "xyz");
    EXPECT_EQ(outcome.command.size(), 260u);
}

TEST(ExpandLimits, ResultOf261CharactersIsRefusedAndLeavesAnEmptyCommand) {
    const std::string head(257, 'a');
    const Outcome outcome = Expand(head + "%f", "wxyz", kTexts);
    EXPECT_FALSE(outcome.fits);
    EXPECT_EQ(outcome.command, "");
}

TEST(ExpandLimits, OnlyTheFinishedLineMustFit) {
    // 255 + "%f%u": the path makes 260 characters; the user name then
    // replaces two characters by its own.
    const std::string head(255, 'a');
    const Outcome exact = Expand(head + "%f%u", "xyz", HostTexts{"uu", "", "", "", ""});
    EXPECT_TRUE(exact.fits);
    EXPECT_EQ(exact.command, head + "xyzuu");
    const Outcome refused = Expand(head + "%f%u", "xyz", HostTexts{"uuu", "", "", "", ""});
    EXPECT_FALSE(refused.fits);
    EXPECT_EQ(refused.command, "");
    // On the way the line holds 261 characters; the empty user name takes
    // two away again, and the finished line of 259 runs.
    const Outcome shrunk = Expand(head + "%f%u", "wxyz", HostTexts{"", "", "", "", ""});
    EXPECT_TRUE(shrunk.fits);
    EXPECT_EQ(shrunk.command, head + "wxyz");
}

TEST(ExpandLimits, LongestTemplateAndLongestPathNeverOverflow) {
    // 259-character template, 259-character path, five 63-character texts:
    // the largest expansion the plug-in can meet.
    const std::string templateText = "%f%u%p%d%o%N" + std::string(259 - 12, 'z');
    const std::string path(259, 'P');
    const std::string t(63, 'T');
    const Outcome outcome = Expand(templateText, path, HostTexts{t, t, t, t, t});
    EXPECT_FALSE(outcome.fits);
    EXPECT_EQ(outcome.command, "");
    // The state after CommandBuffer is untouched.
    EXPECT_EQ(g_State.TempFilePath[0], '\0');
}

TEST(ReplacePlaceholderTest, ReplacesFirstOccurrenceOnlyAndReportsWhatDoesNotFit) {
    char text[261];
    snprintf(text, sizeof text, "%s", "a %q b %q");
    EXPECT_TRUE(ReplacePlaceholder(text, 260, "%q", "VALUE"));
    EXPECT_STREQ(text, "a VALUE b %q");
    EXPECT_TRUE(ReplacePlaceholder(text, 260, "%z", "never"));
    EXPECT_STREQ(text, "a VALUE b %q");

    const std::string full(258, 'c');
    snprintf(text, sizeof text, "%s%%q", full.c_str());
    const std::string longest(259, 'v');
    EXPECT_FALSE(ReplacePlaceholder(text, 260, "%q", longest.c_str()));
    EXPECT_EQ(std::string(text), full + "%q") << "a refused replacement changes nothing";
    EXPECT_TRUE(ReplacePlaceholder(text, 260, "%q", "vv"));
    EXPECT_EQ(std::string(text), full + "vv");
}

} // namespace
