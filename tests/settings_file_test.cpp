// The settings file, against the platform's real profile service: the
// Windows one under Wine, our own stand-in on Linux. The same expectations
// on both are what keeps the stand-in honest.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "settings/settings_file.h"
#include "test_support.h"

namespace {

class SettingsFileTest : public testing::Test {
protected:
    void SetUp() override {
        directory_ = test::MakeTempDir();
        path_ = test::JoinPath(directory_, "exttool.ini");
    }
    void TearDown() override { test::RemoveTree(directory_); }

    ToolSettings Read() {
        ToolSettings settings;
        memset(&settings, 0x5A, sizeof settings);
        ReadSettings(&settings, path_.c_str());
        return settings;
    }

    void Save(const ToolSettings &settings) {
        uint32_t error = 1;
        EXPECT_TRUE(SaveSettings(&settings, path_.c_str(), &error));
        EXPECT_EQ(error, 0u);
    }

    static ToolSettings Make(int32_t readOnly, int32_t deleteTemp, const char *directory, const char *command,
                             const char *menuItem) {
        ToolSettings settings{};
        settings.ReadOnly = readOnly;
        settings.DeleteTemp = deleteTemp;
        snprintf(settings.WorkingDirectory, sizeof settings.WorkingDirectory, "%s", directory);
        snprintf(settings.CommandLine, sizeof settings.CommandLine, "%s", command);
        snprintf(settings.MenuItem, sizeof settings.MenuItem, "%s", menuItem);
        return settings;
    }

    std::string directory_;
    std::string path_;
};

TEST_F(SettingsFileTest, NoFileGivesTheDefaults) {
    const ToolSettings settings = Read();
    EXPECT_EQ(settings.ReadOnly, 0);
    EXPECT_EQ(settings.DeleteTemp, 0);
    EXPECT_STREQ(settings.WorkingDirectory, "");
    EXPECT_STREQ(settings.CommandLine, "");
    EXPECT_STREQ(settings.MenuItem, "External program");
    EXPECT_EQ(settings.Filter, 0);
    EXPECT_EQ(settings.Timeout, 0u);
    EXPECT_EQ(settings.Encoding, TextEncoding::Ansi);
    EXPECT_FALSE(settings.EncodingInFile);
    EXPECT_EQ(std::string(settings.SuccessCodes) + settings.StartDirectory + settings.ExchangeExtension +
                  settings.Environment, "");
    EXPECT_FALSE(test::FileExists(path_)) << "reading must not create the file";
}

// Three values, without regard to case; anything else is ANSI, the bytes
// unchanged.
TEST_F(SettingsFileTest, EncodingIsOneOfThreeValuesWithoutRegardToCase) {
    struct Case {
        const char *line;
        TextEncoding encoding;
        bool inFile;
    };
    const Case cases[] = {
        {"Encoding=UTF-8", TextEncoding::Utf8, true},   {"encoding=utf-8", TextEncoding::Utf8, true},
        {"Encoding=Utf-8", TextEncoding::Utf8, true},   {"Encoding=\"UTF-8\" ", TextEncoding::Utf8, true},
        {"Encoding=OEM", TextEncoding::Oem, true},      {"Encoding=oem", TextEncoding::Oem, true},
        {"Encoding=ANSI", TextEncoding::Ansi, true},    {"Encoding=", TextEncoding::Ansi, true},
        {"Encoding=UTF8", TextEncoding::Ansi, true},    {"Encoding=UTF-8x", TextEncoding::Ansi, true},
        {"Encoding=UTF-16LE", TextEncoding::Ansi, true}, {"Encoding=OEM 850", TextEncoding::Ansi, true},
        {"Coding=UTF-8", TextEncoding::Ansi, false},
    };
    for (const Case &c : cases) {
        test::WriteFile(path_, "[Settings]\r\n" + std::string(c.line) + "\r\n");
        const ToolSettings settings = Read();
        EXPECT_EQ(settings.Encoding, c.encoding) << c.line;
        EXPECT_EQ(settings.EncodingInFile, c.inFile) << c.line;
    }
}

TEST_F(SettingsFileTest, SwitchKeepsTwoCharactersAsADecimalInteger) {
    struct Case {
        const char *text;
        int32_t value;
    };
    const Case cases[] = {
        {"yes", 0}, {"1", 1}, {"01", 1}, {"-1", -1}, {"100", 10}, {"0x", 0}, {"0", 0}, {"7", 7}, {"", 0}, {" 5", 5}, {"+3", 3},
    };
    for (const Case &c : cases) {
        test::WriteFile(path_, std::string("[Settings]\r\nReadOnly=") + c.text + "\r\nDeleteTemp=" + c.text +
                                   "\r\nFilter=" + c.text + "\r\n");
        const ToolSettings settings = Read();
        EXPECT_EQ(settings.ReadOnly, c.value) << "ReadOnly=" << c.text;
        EXPECT_EQ(settings.DeleteTemp, c.value) << "DeleteTemp=" << c.text;
        EXPECT_EQ(settings.Filter, c.value) << "Filter=" << c.text;
    }
}

// The run options as they stand; SuccessCodes and ExchangeExtension keep
// one character more than they may hold, so that the run refuses a longer
// value instead of taking its start.
TEST_F(SettingsFileTest, RunOptionsAreReadAsTheyStandAndTooLongOnesStayTooLong) {
    struct Case {
        std::string file;
        std::string successCodes;
        std::string startDirectory;
        std::string extension;
        std::string environment; // the lines and the final zero byte
        bool inFile;             // every one of the four, or none
    };
    const Case cases[] = {
        {"[Settings]\r\nSuccessCodes= 0, 3 \r\n[Path]\r\nStartDirectory=\"C:\\My dir\"\r\nExchangeExtension=js\r\n"
         "[environment]\r\nA=1\r\n  B=2  \r\n\r\nC=x=y\r\n",
         "0, 3", "C:\\My dir", "js", std::string("A=1\0B=2\0C=x=y\0", 15), true},
        {"[Settings]\r\nSuccessCodes=" + std::string(70, '1') + "\r\n[Path]\r\nStartDirectory=" +
             std::string(300, 'd') + "\r\nExchangeExtension=." + std::string(20, 'e') + "\r\n[Environment]\r\nA=1\r\n",
         std::string(64, '1'), std::string(259, 'd'), "." + std::string(16, 'e'), std::string("A=1\0", 5), true},
        // Keys of another section and an empty section do not count.
        {"[Path]\r\nSuccessCodes=1\r\n[Settings]\r\nStartDirectory=x\r\nExchangeExtension=js\r\n[Environment]\r\n",
         "", "", "", std::string(1, '\0'), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file.substr(0, 60));
        test::WriteFile(path_, c.file);
        const ToolSettings settings = Read();
        EXPECT_EQ(settings.SuccessCodes, c.successCodes);
        EXPECT_EQ(settings.StartDirectory, c.startDirectory);
        EXPECT_EQ(settings.ExchangeExtension, c.extension);
        EXPECT_EQ(std::string(settings.Environment, c.environment.size()), c.environment);
        EXPECT_EQ(settings.SuccessCodesInFile, c.inFile);
        EXPECT_EQ(settings.StartDirectoryInFile, c.inFile);
        EXPECT_EQ(settings.ExchangeExtensionInFile, c.inFile);
        EXPECT_EQ(settings.EnvironmentInFile, c.inFile);
    }
}

TEST_F(SettingsFileTest, TextsAreCutToTheirCapacity) {
    const std::string caption40 = "0123456789abcdefghijABCDEFGHIJ0123456789";
    const std::string long300(300, 'x');
    test::WriteFile(path_, "[Settings]\r\nMenuItem=" + caption40 + "\r\n[Path]\r\nWorkingDirectory=" + long300 +
                               "\r\nCommandLine=" + long300 + "\r\n");
    const ToolSettings settings = Read();
    EXPECT_EQ(std::string(settings.MenuItem), caption40.substr(0, 30));
    EXPECT_EQ(std::string(settings.WorkingDirectory), long300.substr(0, 259));
    EXPECT_EQ(std::string(settings.CommandLine), long300.substr(0, 259));
}

// A caption of 30 characters whose first character lies at byte `at` of its
// line: the blanks before it are dropped wherever the value starts.
std::string CaptionLineStartingAt(size_t at, char fill = 'v') {
    return "MenuItem=" + std::string(at - 9, ' ') + std::string(30, fill);
}

TEST_F(SettingsFileTest, HandWrittenValuesAsTheProfileServiceReadsThem) {
    struct Case {
        std::string line;
        std::string menuItem;
    };
    const Case cases[] = {
        {"MenuItem=\"Quoted Caption\"", "Quoted Caption"},
        {"MenuItem='Single'", "Single"},
        {"MenuItem=\"Unbalanced", "\"Unbalanced"},
        {"MenuItem=\"a\" b", "\"a\" b"},
        {"MenuItem=\"\"", ""},
        {"MenuItem=", ""},              // present but empty: not the default
        {"menuitem=Lower case key", "Lower case key"},
        {"MENUITEM=Upper case key", "Upper case key"},
        {"MenuItem", "External program"}, // no "=": no value, the default
        {"Menu=Other key", "External program"},
        // Values that begin late in a long line, and one that runs across
        // byte 2048 of its line.
        {CaptionLineStartingAt(2047), std::string(30, 'v')},
        {CaptionLineStartingAt(2048), std::string(30, 'v')},
        {CaptionLineStartingAt(2049), std::string(30, 'v')},
        {CaptionLineStartingAt(9000, 'f'), std::string(30, 'f')},
        {"MenuItem=" + std::string(2030, ' ') + "\"" + std::string(40, 'q') + "\"", std::string(30, 'q')},
        {std::string(3000, ' ') + "MenuItem = late name", "late name"},
        // The blanks dropped at both ends: space, tab, vertical tab, form
        // feed and Ctrl+Z, before the quotation marks; inside they stay.
        {"MenuItem=\f\"form feeds\"\f", "form feeds"},
        {"MenuItem=\v'vertical tabs'\v", "vertical tabs"},
        {"MenuItem=\x1A\"Ctrl+Z\" \x1A", "Ctrl+Z"},
        {"MenuItem= \t\v\f\x1A", ""},
        {"MenuItem=a\fb\vc\x1A" "d", "a\fb\vc\x1A" "d"},
        {"MenuItem=\x1B\"escape\"\x1C", "\x1B\"escape\"\x1C"},
    };
    for (const Case &c : cases) {
        test::WriteFile(path_, "[Settings]\r\n" + c.line + "\r\n");
        EXPECT_EQ(std::string(Read().MenuItem), c.menuItem) << c.line.substr(0, 40) << " (" << c.line.size() << ")";
    }
}

TEST_F(SettingsFileTest, SectionNamesMatchWithoutRegardToCase) {
    test::WriteFile(path_, "[settings]\r\nreadonly=1\r\n[PATH]\r\nCOMMANDLINE=tool %f\r\nworkingdirectory=/tmp\r\n");
    const ToolSettings settings = Read();
    EXPECT_EQ(settings.ReadOnly, 1);
    EXPECT_STREQ(settings.CommandLine, "tool %f");
    EXPECT_STREQ(settings.WorkingDirectory, "/tmp");
}

// How section lines and names are read, as Windows reads them: whole files
// and the caption they give.
TEST_F(SettingsFileTest, SectionLinesAsTheProfileServiceReadsThem) {
    struct Case {
        const char *file;
        const char *menuItem;
    };
    const Case cases[] = {
        {"\xEF\xBB\xBF[Settings]\r\nMenuItem=after a byte-order mark\r\n", "after a byte-order mark"},
        {"[Settings]\r\nReadOnly=1\r\n[Settings]\r\nMenuItem=second section\r\n", "External program"},
        {"[Settings]\r\nMenuItem=first\r\n[Path]\r\n[Settings]\r\nMenuItem=second\r\n", "first"},
        {"[ Settings\t]\r\nMenuItem=blanks inside\r\n", "blanks inside"},
        {"  [Settings]  \r\nMenuItem=indented\r\n", "indented"},
        {"[Settings] ; comment\r\nMenuItem=after a comment\r\n", "after a comment"},
        {"[Settings]]\r\nMenuItem=two brackets\r\n", "External program"},
        {"[Settings\r\nMenuItem=unclosed\r\n", "External program"},
        {"[Path]\r\n[Settings\r\nMenuItem=unclosed after a section\r\n", "External program"},
        {"[]\r\nMenuItem=empty name\r\n", "External program"},
        {"MenuItem=before any section\r\n[Settings]\r\n", "External program"},
        {"[Settings]\r\n;MenuItem=commented out\r\n", "External program"},
        {"[Settings]\r\n  MenuItem  =  spaced  \r\n", "spaced"},
        {"[Settings]\r\nMenuItem=first\r\nMenuItem=second\r\n", "first"},
        {"[Settings]\r\nMenuItem=a=b\r\n", "a=b"},
        {"[Settings]\nMenuItem=line feeds only\n", "line feeds only"},
        {"[Settings]\rMenuItem=carriage returns only\r", "carriage returns only"},
    };
    for (const Case &c : cases) {
        test::WriteFile(path_, c.file);
        EXPECT_STREQ(Read().MenuItem, c.menuItem) << c.file;
    }
}

TEST_F(SettingsFileTest, KeysCountOnlyInTheirOwnSection) {
    test::WriteFile(path_, "[Path]\r\nMenuItem=wrong section\r\nReadOnly=1\r\n[Settings]\r\nCommandLine=wrong\r\n");
    const ToolSettings settings = Read();
    EXPECT_STREQ(settings.MenuItem, "External program");
    EXPECT_EQ(settings.ReadOnly, 0);
    EXPECT_STREQ(settings.CommandLine, "");
}

TEST_F(SettingsFileTest, FileWrittenFromNothingHoldsBothSectionsInOrder) {
    const ToolSettings settings = Make(0, 5, "C:\\Temp", "notepad.exe %f", "Edit externally");
    Save(settings);
    EXPECT_EQ(test::NonBlankLines(test::ReadFile(path_)),
              test::SavedFile("0", "1", "Edit externally", "C:\\Temp", "notepad.exe %f"));
}

TEST_F(SettingsFileTest, SavingReplacesValuesInPlaceAndKeepsEverythingElse) {
    test::WriteFile(path_,
                    "; exttool settings\r\n"
                    "[Settings]\r\n"
                    "; switches\r\n"
                    "ReadOnly=1\r\n"
                    "Other=keep me\r\n"
                    "MenuItem=Old caption\r\n"
                    "[Path]\r\n"
                    "CommandLine=old command\r\n"
                    "; end of path\r\n"
                    "[Extra]\r\n"
                    "Key=value\r\n");
    const ToolSettings settings = Make(0, 1, "D:\\exchange", "new command \"%f\"", "New caption");
    Save(settings);
    const std::vector<std::string> expected = {
        "; exttool settings",
        "[Settings]",
        "; switches",
        "ReadOnly=0",
        "Other=keep me",
        "MenuItem=New caption",
        "DeleteTemp=1",
        "[Path]",
        "CommandLine=new command \"%f\"",
        "; end of path",
        "WorkingDirectory=D:\\exchange",
        "[Extra]",
        "Key=value",
    };
    EXPECT_EQ(test::NonBlankLines(test::ReadFile(path_)), expected);
}

// Filter, Timeout and Encoding are written after the five keys only when
// they are not at their defaults (off, 0, ANSI) or the file held them when
// the settings were read; a file that never had them keeps exactly the five
// keys.
TEST_F(SettingsFileTest, OptionalKeysAreSavedOnlyWhenSetOrAlreadyPresent) {
    struct Case {
        const char *before; // null: no file
        int32_t filter;
        uint32_t timeout;
        std::vector<std::string> after;
        TextEncoding encoding = TextEncoding::Ansi;
        const char *successCodes = "";
        const char *startDirectory = "";
        const char *extension = "";
        std::string environment = std::string(2, '\0');
    };
    const std::vector<std::string> five = test::SavedFile("0", "1", "Tool", "C:\\x", "t %f");
    const auto with = [&](const std::vector<std::string> &added) {
        std::vector<std::string> lines = five;
        lines.insert(lines.begin() + 4, added.begin(), added.end());
        return lines;
    };
    const Case cases[] = {
        {nullptr, 0, 0, five},
        {nullptr, 1, 0, with({"Filter=1"})},
        {nullptr, 7, 0, with({"Filter=1"})},
        {"[Settings]\r\nFilter=1\r\n", 0, 0, {"[Settings]", "Filter=0", "ReadOnly=0", "DeleteTemp=1", "MenuItem=Tool",
                                                  "[Path]", "WorkingDirectory=C:\\x", "CommandLine=t %f"}},
        {"[Settings]\r\nfilter=\r\n", 0, 0, {"[Settings]", "filter=0", "ReadOnly=0", "DeleteTemp=1", "MenuItem=Tool",
                                                 "[Path]", "WorkingDirectory=C:\\x", "CommandLine=t %f"}},
        // Only a key in [Settings] counts as present.
        {"[Path]\r\nFilter=1\r\nTimeout=9\r\n", 0, 0, {"[Path]", "Filter=1", "Timeout=9", "WorkingDirectory=C:\\x",
                                                           "CommandLine=t %f", "[Settings]", "ReadOnly=0",
                                                           "DeleteTemp=1", "MenuItem=Tool"}},
        {nullptr, 0, 30, with({"Timeout=30"})},
        {nullptr, 1, 999999999, with({"Filter=1", "Timeout=999999999"})},
        {"[Settings]\r\nTimeout=30\r\n", 0, 0, {"[Settings]", "Timeout=0", "ReadOnly=0", "DeleteTemp=1",
                                                    "MenuItem=Tool", "[Path]", "WorkingDirectory=C:\\x",
                                                    "CommandLine=t %f"}},
        {"[Settings]\r\nTimeout=none\r\n", 0, 5, {"[Settings]", "Timeout=5", "ReadOnly=0", "DeleteTemp=1",
                                                      "MenuItem=Tool", "[Path]", "WorkingDirectory=C:\\x",
                                                      "CommandLine=t %f"}},
        {nullptr, 0, 0, with({"Encoding=UTF-8"}), TextEncoding::Utf8},
        {nullptr, 0, 0, with({"Encoding=OEM"}), TextEncoding::Oem},
        {nullptr, 1, 7, with({"Filter=1", "Timeout=7", "Encoding=UTF-8"}), TextEncoding::Utf8},
        {"[Settings]\r\nEncoding=utf-8\r\n", 0, 0, {"[Settings]", "Encoding=ANSI", "ReadOnly=0", "DeleteTemp=1",
                                                     "MenuItem=Tool", "[Path]", "WorkingDirectory=C:\\x",
                                                     "CommandLine=t %f"}},
        {"[Settings]\r\nEncoding=\r\n", 0, 0, {"[Settings]", "Encoding=ANSI", "ReadOnly=0", "DeleteTemp=1",
                                                "MenuItem=Tool", "[Path]", "WorkingDirectory=C:\\x",
                                                "CommandLine=t %f"}},
        {"[Settings]\r\nEncoding=ANSI\r\n", 0, 0, {"[Settings]", "Encoding=OEM", "ReadOnly=0", "DeleteTemp=1",
                                                    "MenuItem=Tool", "[Path]", "WorkingDirectory=C:\\x",
                                                    "CommandLine=t %f"},
         TextEncoding::Oem},
        // The run options after all of them, without their outer blanks.
        {nullptr, 0, 0, {"[Settings]", "ReadOnly=0", "DeleteTemp=1", "MenuItem=Tool", "SuccessCodes=0 3", "[Path]",
                         "WorkingDirectory=C:\\x", "CommandLine=t %f", "StartDirectory=%d", "ExchangeExtension=.js",
                         "[Environment]", "A=1", "B=x y"},
         TextEncoding::Ansi, " 0 3 ", "%d ", "\t.js", std::string("A=1\0B=x y\0", 11)},
        {nullptr, 0, 0, five, TextEncoding::Ansi, " ", "\t", " "},
        {"[Settings]\r\nSuccessCodes=0\r\n[Path]\r\nStartDirectory=x\r\nExchangeExtension=js\r\n[Environment]\r\nA=1\r\n",
         0, 0, {"[Settings]", "SuccessCodes=", "ReadOnly=0", "DeleteTemp=1", "MenuItem=Tool", "[Path]",
                "StartDirectory=", "ExchangeExtension=", "WorkingDirectory=C:\\x", "CommandLine=t %f", "[Environment]"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before ? c.before : "no file");
        test::RemoveTree(path_);
        if (c.before) test::WriteFile(path_, c.before);
        ToolSettings settings = Read();
        const ToolSettings values = Make(0, 1, "C:\\x", "t %f", "Tool");
        settings.ReadOnly = values.ReadOnly;
        settings.DeleteTemp = values.DeleteTemp;
        memcpy(settings.WorkingDirectory, values.WorkingDirectory, sizeof values.WorkingDirectory);
        memcpy(settings.CommandLine, values.CommandLine, sizeof values.CommandLine);
        memcpy(settings.MenuItem, values.MenuItem, sizeof values.MenuItem);
        settings.Filter = c.filter;
        settings.Timeout = c.timeout;
        settings.Encoding = c.encoding;
        snprintf(settings.SuccessCodes, sizeof settings.SuccessCodes, "%s", c.successCodes);
        snprintf(settings.StartDirectory, sizeof settings.StartDirectory, "%s", c.startDirectory);
        snprintf(settings.ExchangeExtension, sizeof settings.ExchangeExtension, "%s", c.extension);
        memcpy(settings.Environment, c.environment.data(), c.environment.size());
        Save(settings);
        EXPECT_EQ(test::NonBlankLines(test::ReadFile(path_)), c.after);
    }
    // Byte for byte: the file of a user who never set either key.
    const std::string fiveKeys = "[Settings]\r\nReadOnly=0\r\nDeleteTemp=1\r\nMenuItem=Tool\r\n[Path]\r\n"
                                 "WorkingDirectory=C:\\x\r\nCommandLine=t %f\r\n";
    test::WriteFile(path_, fiveKeys);
    ToolSettings settings = Read();
    EXPECT_FALSE(settings.FilterInFile);
    EXPECT_FALSE(settings.TimeoutInFile);
    EXPECT_FALSE(settings.EncodingInFile);
    EXPECT_FALSE(settings.SuccessCodesInFile || settings.StartDirectoryInFile || settings.ExchangeExtensionInFile ||
                 settings.EnvironmentInFile);
    Save(settings);
    const std::string saved = test::ReadFile(path_);
    EXPECT_EQ(test::NonBlankLines(saved), test::NonBlankLines(fiveKeys));
    EXPECT_EQ(saved.find("Filter"), std::string::npos);
    EXPECT_EQ(saved.find("Timeout"), std::string::npos);
    EXPECT_EQ(saved.find("Encoding"), std::string::npos);
    for (const char *name : {"SuccessCodes", "StartDirectory", "ExchangeExtension", "Environment"})
        EXPECT_EQ(saved.find(name), std::string::npos) << name;
    Save(Read());
    EXPECT_EQ(test::ReadFile(path_), saved);
#if !defined(_WIN32)
    EXPECT_EQ(saved, fiveKeys) << "the stand-in replaces values where they stand";
#endif
}

// Whole seconds in decimal; absent, 0 or not a number is no limit.
TEST_F(SettingsFileTest, TimeoutIsWholeSecondsAndAnythingElseIsNoLimit) {
    struct Case {
        const char *text; // null: no key
        uint32_t value;
    };
    const Case cases[] = {{nullptr, 0},      {"", 0},         {"0", 0},      {"30", 30},    {"007", 7},
                          {"\"45\"", 45},    {"30s", 30},     {"1.5", 1},    {"-5", 0},     {"none", 0},
                          {"+5", 0},         {"999999999", 999999999},     {"12345678901", 123456789}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "no key");
        test::WriteFile(path_, c.text ? "[Settings]\r\nTimeout=" + std::string(c.text) + "\r\n" : "[Settings]\r\n");
        const ToolSettings settings = Read();
        EXPECT_EQ(settings.Timeout, c.value);
        EXPECT_EQ(settings.TimeoutInFile, c.text != nullptr);
        EXPECT_EQ(TimeoutValue(c.text ? c.text : ""), c.text && c.text[0] == '"' ? 0u : c.value);
    }
}

TEST_F(SettingsFileTest, SavingTurnsEveryOnValueIntoOne) {
    ToolSettings settings = Make(-1, 7, "", "", "");
    settings.Filter = -3;
    Save(settings);
    const ToolSettings back = Read();
    EXPECT_EQ(back.ReadOnly, 1);
    EXPECT_EQ(back.DeleteTemp, 1);
    EXPECT_EQ(back.Filter, 1);
    EXPECT_STREQ(back.MenuItem, "") << "an empty caption is saved as an empty key, not dropped";
}

// Values that begin and end with the same quotation mark would lose it on
// reading; they are saved so that they come back exactly as they were.
TEST_F(SettingsFileTest, EveryValueReadsBackExactlyAsSavedWithoutItsOuterBlanks) {
    const std::string quoted259 = "\"" + std::string(257, 'q') + "\"";
    struct Case {
        std::string saved;
        std::string readBack;
    };
    const Case cases[] = {
        {"\"C:\\Program Files\\Tool\\tool.exe\" \"%f\"", "\"C:\\Program Files\\Tool\\tool.exe\" \"%f\""},
        {"'quoted'", "'quoted'"},
        {"\"", "\""},
        {"\"\"", "\"\""},
        {"\"a\" b", "\"a\" b"},
        {"plain text", "plain text"},
        {"", ""},
        {quoted259, quoted259},
        {"'" + std::string(257, 's') + "'", "'" + std::string(257, 's') + "'"},
        {"\"mixed'", "\"mixed'"},
        // Blanks at either end, as a paste leaves them: the profile service
        // would drop them before the quotation marks.
        {"\"C:\\Tools\\tool.exe\" \"%f\" ", "\"C:\\Tools\\tool.exe\" \"%f\""},
        {" \t\"C:\\Tools\\tool.exe\" \"%f\"", "\"C:\\Tools\\tool.exe\" \"%f\""},
        {"\t'x' ", "'x'"},
        {"  padded  ", "padded"},
        {"   ", ""},
        {"\" inner blanks \"", "\" inner blanks \""},
        // The other blanks the profile service drops, as a typed form feed
        // or a Ctrl+Z leaves them.
        {"\"sed\" -i s/a/A/ \"%f\"\f", "\"sed\" -i s/a/A/ \"%f\""},
        {"\v'x'\x1A", "'x'"},
        {"\x1A\f\v", ""},
        {"\"a\fb\"", "\"a\fb\""},
        {"\x1B'escape'\x1C", "\x1B'escape'\x1C"},
    };
    for (const Case &c : cases) {
        ToolSettings settings = Make(0, 0, c.saved.c_str(), c.saved.c_str(), c.saved.substr(0, 30).c_str());
        snprintf(settings.StartDirectory, sizeof settings.StartDirectory, "%s", c.saved.c_str());
        settings.StartDirectoryInFile = true; // from the case before: also an emptied value is saved
        Save(settings);
        const ToolSettings back = Read();
        EXPECT_EQ(std::string(back.CommandLine), c.readBack) << c.saved;
        EXPECT_EQ(std::string(back.StartDirectory), c.readBack) << c.saved;
        EXPECT_EQ(std::string(back.WorkingDirectory), c.readBack) << c.saved;
        if (c.saved.size() <= 30) EXPECT_EQ(std::string(back.MenuItem), c.readBack) << c.saved;
        else EXPECT_EQ(std::string(back.MenuItem), c.saved.substr(0, 30)) << c.saved;
    }
}

TEST_F(SettingsFileTest, ShortQuotedCaptionsReadBackExactly) {
    const std::string captions[] = {"\"" + std::string(28, 'c') + "\"", "'x'", "\"\""};
    for (const std::string &caption : captions) {
        const ToolSettings settings = Make(0, 0, "", "", caption.c_str());
        Save(settings);
        EXPECT_EQ(std::string(Read().MenuItem), caption);
    }
}

// Every key is tried; the code of the first failure is what is reported.
TEST_F(SettingsFileTest, FailedSaveGivesTheFirstErrorCode) {
    const ToolSettings settings = Make(1, 0, "", "", "x");
    uint32_t error = 0;
    EXPECT_FALSE(SaveSettings(&settings, test::JoinPath(directory_, "missing/exttool.ini").c_str(), &error));
#if defined(_WIN32)
    EXPECT_EQ(error, 3u); // ERROR_PATH_NOT_FOUND
#else
    EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
    // Keys that fail with different codes: in a missing folder each one
    // fails with ENOENT but the caption, whose line break the stand-in
    // refuses first (EINVAL), and it is written last. The first code counts.
    const ToolSettings broken = Make(1, 0, "", "", "two\nlines");
    EXPECT_FALSE(SaveSettings(&broken, test::JoinPath(directory_, "missing/exttool.ini").c_str(), &error));
    EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
    EXPECT_FALSE(SaveSettings(&broken, path_.c_str(), &error));
    EXPECT_EQ(error, static_cast<uint32_t>(EINVAL));
#endif
    // Without a settings path nothing is written, and nothing failed.
    EXPECT_TRUE(SaveSettings(&settings, "", &error));
    EXPECT_EQ(error, 0u);
}

TEST(SettingsPath, LastDotOfTheWholePathBecomesIni) {
    struct Case {
        const char *module;
        const char *settings;
    };
    const Case cases[] = {
        {"C:\\Hosts\\plugins\\exttool.dll", "C:\\Hosts\\plugins\\exttool.ini"},
        {"/opt/host/exttool.so", "/opt/host/exttool.ini"},
        {"/x/a.b/plugin", "/x/a.ini"},          // the last "." of the whole path
        {"C:\\p\\tool.d", "C:\\p\\tool.ini"},    // two characters longer
        {"C:\\p\\trailing.", "C:\\p\\trailing.ini"},
        {"/no/dot/at/all", "/no/dot/at/all.ini"}, // never the module file itself
        {"", ""},
    };
    for (const Case &c : cases) {
        char path[kSettingsPathChars + 1];
        memset(path, 0x5A, sizeof path);
        EXPECT_EQ(SettingsPathForModule(c.module, path), c.module[0] != '\0') << c.module;
        EXPECT_STREQ(path, c.settings) << c.module;
    }
}

TEST(SettingsPath, LongestModulePathsFit) {
    char settings[kSettingsPathChars + 1];
    const std::string noDot(kModulePathChars, 'p');
    ASSERT_TRUE(SettingsPathForModule(noDot.c_str(), settings));
    EXPECT_EQ(std::string(settings), noDot + ".ini");
    const std::string oneLetter = std::string(kModulePathChars - 2, 'p') + ".d";
    ASSERT_TRUE(SettingsPathForModule(oneLetter.c_str(), settings));
    EXPECT_EQ(strlen(settings), oneLetter.size() + 2);
    const std::string tooLong(kModulePathChars + 1, 'p');
    EXPECT_FALSE(SettingsPathForModule(tooLong.c_str(), settings));
    EXPECT_STREQ(settings, "");
}

} // namespace
