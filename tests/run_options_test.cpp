// The run options' own rules: which SuccessCodes texts are lists of exit
// codes, and which ExchangeExtension texts make an extension.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/run_options.h"

namespace {

TEST(RunOptionsTest, SuccessCodesAreDecimalNumbersSeparatedByCommasAndBlanks) {
    struct Case {
        const char *text;
        bool valid;
        std::vector<uint32_t> codes;
    } const cases[] = {
        {"", true, {}},
        {"0,1", true, {0, 1}},
        {" 0 3 ", true, {0, 3}},
        {"0,,\t7", true, {0, 7}},
        {"4294967295", true, {4294967295u}},
        {"4294967296", false, {}},
        {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16", true, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        {"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17", false, {}},
        {"0;1", false, {}},
        {"-1", false, {}},
        {"0x10", false, {}},
        {", ,", false, {}}, // separators alone list nothing
        {"0000000000000000000000000000000000000000000000000000000000000001", false, {}}, // 64 characters
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t codes[kMaxSuccessCodes];
        int count = -1;
        ASSERT_EQ(ParseSuccessCodes(c.text, codes, &count), c.valid);
        if (c.valid) EXPECT_EQ(std::vector<uint32_t>(codes, codes + count), c.codes);
    }
}

TEST(RunOptionsTest, ExchangeExtensionsAreShortNamesWithInnerDotsOnly) {
    struct Case {
        const char *text;
        const char *extension; // null: refused
    } const cases[] = {
        {"", ".TMP"},           {"js", ".js"},         {".js", ".js"},
        {"tar.gz", ".tar.gz"},  {"c-_9", ".c-_9"},     {"abcdefghijklmno", ".abcdefghijklmno"},
        {"abcdefghijklmnop", nullptr}, {".", nullptr},  {"..js", nullptr},
        {"js.", nullptr},       {"j s", nullptr},      {"..\\x", nullptr},
        {"a/b", nullptr},       {"\xE9t\xE9", nullptr}, {"js:stream", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        char extension[kExtensionChars + 1];
        ASSERT_EQ(ExchangeExtensionOf(c.text, extension), c.extension != nullptr);
        if (c.extension) EXPECT_STREQ(extension, c.extension);
    }
}

} // namespace
