// The settings form on POSIX, driven through standard input the way a script
// drives `plugin-host settings`: file descriptor 0 is pointed at a file with
// the answers and descriptor 1 at a file that catches the prompts while
// OnSettings of a fresh module copy runs. What the form leaves in the
// settings file is checked byte for byte, and the settings in memory through
// this program's own copy of the module's code, bound to the same file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "plugin/plugin_state.h"
#include "settings/settings_dialog.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kForty = "0123456789abcdefghijABCDEFGHIJ0123456789";

using test::SavedFile;

class SettingsFormTest : public test::ModuleCopyTest {
protected:
    // Runs `body` with `input` on standard input; returns what it printed.
    // `consumed` receives how many bytes of the input were read.
    std::string WithInput(const std::string &input, const std::function<void()> &body, off_t *consumed = nullptr) {
        const std::string inputPath = test::JoinPath(directory_, "input.txt");
        const std::string outputPath = test::JoinPath(directory_, "output.txt");
        test::WriteFile(inputPath, input);
        fflush(stdout);
        const int savedIn = dup(0), savedOut = dup(1);
        const int in = open(inputPath.c_str(), O_RDONLY);
        const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(in, 0);
        EXPECT_GE(out, 0);
        dup2(in, 0);
        dup2(out, 1);
        body();
        fflush(stdout);
        if (consumed) *consumed = lseek(0, 0, SEEK_CUR);
        dup2(savedIn, 0);
        dup2(savedOut, 1);
        for (int fd : {in, out, savedIn, savedOut}) close(fd);
        return test::ReadFile(outputPath);
    }

    void Install() {
        InstallRecord record{};
        module_.OnInstall(&record, &host_);
        caption_ = record.Caption;
    }

    // Installs the module copy, then runs OnSettings on `input`.
    int32_t RunModuleForm(const std::string &input, std::string *output = nullptr) {
        Install();
        int32_t result = 0;
        const std::string printed = WithInput(input, [&] { result = module_.OnSettings(); });
        if (output) *output = printed;
        return result;
    }

    // The same form through this program's own copy of the module's code,
    // bound to the module copy's file, so that the settings in memory can be
    // looked at afterwards.
    intptr_t RunLinkedForm(const std::string &input) {
        g_State.ModuleInstance = reinterpret_cast<void *>(module_.OnInstall);
        g_State.Host = &host_;
        intptr_t result = 0;
        WithInput(input, [&] { result = OpenSettingsDialog(); });
        return result;
    }

    HostRecord host_{};
    std::string caption_;
};

// ---- What OK and Cancel leave in the file ---------------------------------

struct FileCase {
    const char *name;
    const char *initialFile; // null: no settings file
    std::string input;
    int32_t endCode;
    Lines expected; // empty: the file is left exactly as it was (or absent)
};

const FileCase kFileCases[] = {
    {"OkWithoutChangesCreatesBothSectionsAndAllFiveKeys", nullptr, "\n\n\n\n\n\n\n\n\n\n\n\no\n", 1,
     SavedFile("0", "0", "External program", "", "")},
    {"OkWithoutChangesRewritesEveryKeyOfAnExistingFile",
     "[Path]\r\nCommandLine=notepad %f\r\n", "\n\n\n\n\n\n\n\n\n\n\n\nok\n", 1,
     {"[Path]", "CommandLine=notepad %f", "WorkingDirectory=", "[Settings]", "ReadOnly=0", "DeleteTemp=0",
      "MenuItem=External program"}},
    {"EveryFieldGoesToItsOwnKey", nullptr, "y\nyes\n\nMy tool\n/tmp/exchange\nsed -e s/a/b/ %f\n\n\n\n\n\n\nO\n", 1,
     SavedFile("1", "1", "My tool", "/tmp/exchange", "sed -e s/a/b/ %f")},
    {"ACaptionOf40CharactersIsSavedAsItsFirst30", nullptr, "\n\n\n" + kForty + "\n\n\n\n\n\n\n\n\no\n", 1,
     SavedFile("0", "0", kForty.substr(0, 30), "", "")},
    {"LongPathsAreSavedAsTheirFirst259", nullptr,
     "\n\n\n\n" + std::string(300, 'w') + "\n" + std::string(300, 'c') + "\n\n\n\n\n\n\no\n", 1,
     SavedFile("0", "0", "External program", std::string(259, 'w'), std::string(259, 'c'))},
    {"BothBoxesClearedWriteZero", "[Settings]\nReadOnly=1\nDeleteTemp=1\n", "n\nno\n\n\n\n\n\n\n\n\n\n\no\n", 1,
     {"[Settings]", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]", "WorkingDirectory=",
      "CommandLine="}},
    {"HandEditedSwitchValueSevenSurvivesOkAsOne", "[Settings]\nReadOnly=7\nDeleteTemp=7\nFilter=7\n",
     "\n\n\n\n\n\n\n\n\n\n\n\no\n", 1,
     {"[Settings]", "ReadOnly=1", "DeleteTemp=1", "Filter=1", "MenuItem=External program", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    {"FilterCheckedIsSavedAfterTheFiveKeys", nullptr, "\n\ny\n\n\n\n\n\n\n\n\n\no\n", 1,
     {"[Settings]", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "Filter=1", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    {"FilterClearedIsSavedAsZeroWhereTheFileHeldIt", "[Settings]\nFilter=1\n", "\n\nn\n\n\n\n\n\n\n\n\n\no\n", 1,
     {"[Settings]", "Filter=0", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    // Timeout is saved after the other keys once it is not 0, and where the
    // file held it; the field takes digits only, like the ES_NUMBER edit.
    {"TimeLimitIsSavedAfterTheOtherKeys", nullptr, "\n\n\n\n\n\n30\n\n\n\n\n\no\n", 1,
     {"[Settings]", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "Timeout=30", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    {"TimeLimitTakesDigitsOnlyAndEmptiedIsNoLimit", "[Settings]\nTimeout=5\n", "\n\n\n\n\n\n1.5\n-3\n=\n\n\n\n\n\no\n", 1,
     {"[Settings]", "Timeout=0", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    {"EncodingChosenIsSavedAfterTheOtherKeys", nullptr, "\n\n\n\n\n\n\nutf-8\n\n\n\n\no\n", 1,
     {"[Settings]", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "Encoding=UTF-8", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    {"EncodingBackToAnsiIsSavedWhereTheFileHeldIt", "[Settings]\nEncoding=OEM\n", "\n\n\n\n\n\n\nAnsi\n\n\n\n\no\n", 1,
     {"[Settings]", "Encoding=ANSI", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    {"EqualsSignAloneEmptiesAText", "[Settings]\nMenuItem=Old\n[Path]\nCommandLine=tool %f\n", "\n\n\n=\n\n=\n\n\n\n\n\n\no\n",
     1, {"[Settings]", "MenuItem=", "ReadOnly=0", "DeleteTemp=0", "[Path]", "CommandLine=", "WorkingDirectory="}},
    // The form keeps what follows "=" exactly; the file holds it without the
    // blanks at its ends, which reading would drop anyway.
    {"EqualsSignKeepsWhatFollowsExactly", nullptr, "\n\n\n==x\n=  two spaces\n\n\n\n\n\n\n\no\n", 1,
     SavedFile("0", "0", "=x", "two spaces", "")},
    {"LinesEndingInCarriageReturnLineFeed", nullptr, "y\r\n\r\n\r\nTool\r\n\r\nrun %f\r\n\r\n\r\n\r\n\r\n\r\n\r\no\r\n", 1,
     SavedFile("1", "0", "Tool", "", "run %f")},
    // The run options after the other keys, the entries of the Environment
    // separated by " ; " (an empty one left out, a ";" of a value kept).
    {"RunOptionsAreSavedAfterTheOtherKeys", nullptr, "\n\n\n\n\n\n\n\n/start\n 0, 3 \n.js\nA=1 ; PATH=/a;/b ;  ; B = 2\no\n",
     1,
     {"[Settings]", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "SuccessCodes=0, 3", "[Path]",
      "WorkingDirectory=", "CommandLine=", "StartDirectory=/start", "ExchangeExtension=.js", "[Environment]", "A=1",
      "PATH=/a;/b", "B = 2"}},
    {"EqualsSignAloneEmptiesTheRunOptionsWhereTheFileHeldThem",
     "[Settings]\nSuccessCodes=1\n[Path]\nStartDirectory=/s\nExchangeExtension=js\n[Environment]\nA=1\nB=2\n",
     "\n\n\n\n\n\n\n\n=\n=\n=\n=\no\n", 1,
     {"[Settings]", "SuccessCodes=", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]",
      "StartDirectory=", "ExchangeExtension=", "WorkingDirectory=", "CommandLine=", "[Environment]"}},
    {"EnterKeepsTheEnvironmentLines", "[Environment]\nA=1\nB=x ; y\n", "\n\n\n\n\n\n\n\n\n\n\n\no\n", 1,
     {"[Environment]", "A=1", "B=x ; y", "[Settings]", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program",
      "[Path]", "WorkingDirectory=", "CommandLine="}},
    {"UnclearAnswersAreAskedAgain", nullptr, "maybe\ny\n\n\n\n\n\n\nutf-16\n\n\n\n\n\nsave\nC\n", 2, {}},
    {"CancelAfterEditingSavesNothing", "[Settings]\r\nMenuItem=Kept\r\n; a comment\r\n", "y\ny\n\nNew\n/x\ny %f\n9\nOEM\n\n\n\n\nc\n",
     2, {}},
    {"CancelWithoutAFileCreatesNone", nullptr, "\n\n\nNew\n\n\n\ncancel\n", 2, {}},
};

void PrintTo(const FileCase &c, std::ostream *out) { *out << c.name; }

class SettingsFormFileTest : public SettingsFormTest, public testing::WithParamInterface<FileCase> {};

TEST_P(SettingsFormFileTest, EndCodeAndFile) {
    const FileCase &c = GetParam();
    if (c.initialFile) WriteSettings(c.initialFile);
    const std::string before = c.initialFile ? c.initialFile : "";
    EXPECT_EQ(RunModuleForm(c.input), c.endCode);
    if (!c.expected.empty()) {
        EXPECT_EQ(SettingsLines(), c.expected);
    } else if (c.initialFile) {
        EXPECT_EQ(Settings(), before) << "the file changed";
    } else {
        EXPECT_FALSE(test::FileExists(iniPath_)) << "a file was created";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsFormFileTest, testing::ValuesIn(kFileCases),
                         [](const testing::TestParamInfo<FileCase> &info) { return std::string(info.param.name); });

// ---- End of input is Cancel, wherever it comes ------------------------------

TEST_F(SettingsFormTest, EndOfInputAtAnyPromptIsCancel) {
    const std::string content = "[Settings]\nReadOnly=1\nMenuItem=Kept\n";
    // The input ends before each prompt in turn, once in the middle of a
    // line, and once after an answer the final question does not accept.
    const std::string inputs[] = {"",
                                  "n\n",
                                  "n\ny\n",
                                  "n\ny\ny\n",
                                  "n\ny\n\nChanged\n",
                                  "n\ny\n\nChanged\n/tmp\n",
                                  "n\ny\n\nChanged\n/tmp\ntool %f\n",
                                  "n\ny\n\nChanged\n/tmp\ntool %f\n30\n",
                                  "n\ny\n\nChanged\n/tmp\ntool %f\n30\nutf-8\n",
                                  "n\ny\n\nChanged\n/tmp\ntool %f\n30\nutf-8\n/s\n",
                                  "n\ny\n\nChanged\n/tmp\ntool %f\n30\nutf-8\n/s\n0\n.js\nA=1\n",
                                  "n\ny\n\nChan",
                                  "n\ny\n\nChanged\n/tmp\ntool %f\n30\nutf-8\n/s\n0\n.js\nA=1\nsave\n"};
    for (const std::string &input : inputs) {
        WriteSettings(content);
        std::string output;
        EXPECT_EQ(RunModuleForm(input, &output), 2) << "input: " << input;
        EXPECT_EQ(Settings(), content) << "input: " << input;
        EXPECT_NE(output.find("End of input: Cancel."), std::string::npos) << output;
    }
}

TEST_F(SettingsFormTest, FinalAnswerWithoutLineEndStillCounts) {
    EXPECT_EQ(RunModuleForm("\n\n\nTool\n\n\n\n\n\n\n\n\no"), 1);
    EXPECT_EQ(SettingsLines(), SavedFile("0", "0", "Tool", "", ""));
}

// ---- What the form shows ----------------------------------------------------

TEST_F(SettingsFormTest, ShowsCaptionThenRowsInScreenOrderWithTheirValues) {
    WriteSettings("[Settings]\nReadOnly=7\nDeleteTemp=0\nFilter=2\nMenuItem=Mi\x1B[2Jne\nTimeout=12\nEncoding=utf-8\n"
                  "SuccessCodes=0 1\n[Path]\nWorkingDirectory=/w\nCommandLine=c %f\nStartDirectory=/s\n"
                  "ExchangeExtension=.js\n[Environment]\nA=1\nB=x;y\x7F\n");
    std::string output;
    EXPECT_EQ(RunModuleForm("\n\n\n\n\n\n\n\n\n\n\n\nc\n", &output), 2);
    const std::string expected[] = {"Run external tool plug-in Settings\n", "Read only [x] (y/n): ",
                                    "Delete temporary file [ ] (y/n): ",
                                    "Filter: standard input to output [x] (y/n): ", "Menu item [Mi?[2Jne]: ",
                                    "Working directory [/w]: ", "Command line [c %f]: ", "Time limit (s) [12]: ",
                                    "Encoding [UTF-8] (ANSI/UTF-8/OEM): ", "Start directory [/s]: ",
                                    "Success exit codes [0 1]: ", "Exchange file extension [.js]: ",
                                    "Environment (NAME=value ; ...) [A=1 ; B=x;y?]: ", "OK or Cancel (o/c): "};
    size_t at = 0;
    for (const std::string &part : expected) {
        const size_t found = output.find(part, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << part << "\nin:\n" << output;
        at = found + part.size();
    }
    EXPECT_EQ(output.find("Run external tool plug-in Settings"), 0u);
}

TEST_F(SettingsFormTest, TakesOnlyItsOwnLinesFromTheInput) {
    const std::string form = "y\n\n\n\n\n\n\n\n\n\n\n\no\n";
    off_t consumed = -1;
    Install();
    int32_t result = 0;
    WithInput(form + "next command\n", [&] { result = module_.OnSettings(); }, &consumed);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(consumed, static_cast<off_t>(form.size()));
}

// The host may not call in while the form is open; a run asked for
// meanwhile (from another thread, as the form waits for its input) does
// nothing. The command line names a tool that does nothing, so that a run
// that did start would end without a message.
int g_GetTextCalls;
void CountGetText(int32_t, char *buffer, int32_t) {
    ++g_GetTextCalls;
    buffer[0] = '\0';
}

TEST_F(SettingsFormTest, RunAskedForWhileTheFormIsOpenIsRefused) {
    WriteSettings("[Settings]\nDeleteTemp=1\n[Path]\nCommandLine=" + std::string(EXTTOOL_TOOLS_DIR) +
                  "/tool_nothing %f\n");
    host_.GetText = CountGetText;
    g_GetTextCalls = 0;
    Install();
    const std::string outputPath = test::JoinPath(directory_, "output.txt");
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    fflush(stdout);
    const int savedIn = dup(0), savedOut = dup(1);
    const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(input[0], 0);
    dup2(out, 1);
    int32_t result = 0;
    std::thread form([&] { result = module_.OnSettings(); });
    // The form is open once its first prompt is out.
    for (int i = 0; i < 500 && test::ReadFile(outputPath).find("Read only") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    module_.OnCall();
    const int callsWhileOpen = g_GetTextCalls;
    const std::string answers = "\n\n\n\n\n\n\n\n\n\n\n\nc\n";
    EXPECT_EQ(write(input[1], answers.data(), answers.size()), static_cast<ssize_t>(answers.size()));
    // The end of input is Cancel: a form that asks more than was answered
    // ends rather than waits.
    close(input[1]);
    form.join();
    fflush(stdout);
    dup2(savedIn, 0);
    dup2(savedOut, 1);
    for (int fd : {input[0], out, savedIn, savedOut}) close(fd);
    EXPECT_NE(test::ReadFile(outputPath).find("Read only"), std::string::npos);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(callsWhileOpen, 0) << "a run took place while the form was open";
    // Once the form has closed, runs take place again.
    module_.OnCall();
    EXPECT_EQ(g_GetTextCalls, 1);
}

TEST_F(SettingsFormTest, NewCaptionReachesTheHostAtTheNextInstall) {
    EXPECT_EQ(RunModuleForm("\n\n\n" + kForty + "\n\n\n\n\n\n\n\n\no\n"), 1);
    EXPECT_EQ(caption_, "External program");
    Install();
    EXPECT_EQ(caption_, kForty.substr(0, 30));
}

// ---- The settings in memory ---------------------------------------------------

TEST_F(SettingsFormTest, CancelLeavesTheFileButMemoryHoldsWhatWasReadAtOpening) {
    // Memory holds something else before the form opens; the file was
    // changed by hand since the last install.
    strcpy(g_State.Settings.CommandLine, "stale");
    g_State.Settings.ReadOnly = 0;
    g_State.Settings.Encoding = TextEncoding::Ansi;
    const std::string content =
        "[Settings]\r\nReadOnly=7\r\nMenuItem=On disk\r\nEncoding=OEM\r\n[Path]\r\nCommandLine=disk %f\r\n";
    WriteSettings(content);
    EXPECT_EQ(RunLinkedForm("n\ny\n\nTyped\n/typed\ntyped %f\n5\nutf-8\n/s\n0\n.js\nA=1\nc\n"), 2);
    EXPECT_EQ(Settings(), content);
    const ToolSettings &s = g_State.Settings;
    EXPECT_EQ(s.ReadOnly, 7);
    EXPECT_EQ(s.DeleteTemp, 0);
    EXPECT_STREQ(s.MenuItem, "On disk");
    EXPECT_STREQ(s.WorkingDirectory, "");
    EXPECT_STREQ(s.CommandLine, "disk %f");
    EXPECT_EQ(s.Timeout, 0u);
    EXPECT_EQ(s.Encoding, TextEncoding::Oem);
    EXPECT_STREQ(s.StartDirectory, "");
    EXPECT_STREQ(s.SuccessCodes, "");
    EXPECT_EQ(s.Environment[0], '\0');
    EXPECT_EQ(std::string(g_State.SettingsFilePath), iniPath_);
}

TEST_F(SettingsFormTest, OkTakesTheFieldsIntoMemoryCutToTheirCapacity) {
    EXPECT_EQ(RunLinkedForm("y\n\n\n" + kForty + "\n" + std::string(300, 'd') + "\n" + std::string(260, 'c') +
                            "\n\n oem \n" + std::string(300, 's') + "\n" + std::string(70, '1') + "\n" +
                            std::string(20, 'e') + "\nA=1 ; B=2\no\n"),
              1);
    const ToolSettings &s = g_State.Settings;
    EXPECT_EQ(s.ReadOnly, 1);
    EXPECT_EQ(s.DeleteTemp, 0);
    EXPECT_EQ(std::string(s.MenuItem), kForty.substr(0, 30));
    EXPECT_EQ(std::string(s.WorkingDirectory), std::string(259, 'd'));
    EXPECT_EQ(std::string(s.CommandLine), std::string(259, 'c'));
    EXPECT_EQ(s.Encoding, TextEncoding::Oem);
    // One character more than a run takes, so that the run refuses them.
    EXPECT_EQ(std::string(s.SuccessCodes), std::string(64, '1'));
    EXPECT_EQ(std::string(s.ExchangeExtension), std::string(17, 'e'));
    EXPECT_EQ(std::string(s.StartDirectory), std::string(259, 's'));
    EXPECT_EQ(std::string(s.Environment, 9), std::string("A=1\0B=2\0", 9));
    Lines saved = SavedFile("1", "0", kForty.substr(0, 30), std::string(259, 'd'), std::string(259, 'c'));
    saved.insert(saved.begin() + 4, {"Encoding=OEM", "SuccessCodes=" + std::string(64, '1')});
    saved.insert(saved.end(), {"StartDirectory=" + std::string(259, 's'), "ExchangeExtension=" + std::string(17, 'e'),
                               "[Environment]", "A=1", "B=2"});
    EXPECT_EQ(SettingsLines(), saved);
}

TEST_F(SettingsFormTest, OkTurnsAHandEditedSwitchIntoOneInMemory) {
    WriteSettings("[Settings]\nDeleteTemp=-3\n");
    EXPECT_EQ(RunLinkedForm("\n\n\n\n\n\n\n\n\n\n\n\no\n"), 1);
    EXPECT_EQ(g_State.Settings.DeleteTemp, 1);
    EXPECT_EQ(g_State.Settings.ReadOnly, 0);
}

// ---- The dialog's logic on its own ------------------------------------------

// A directory in the settings file's place: every write fails. OK says so
// on standard error, still ends with 1, and the values apply in memory.
TEST_F(SettingsFormTest, OkWhoseSaveFailsSaysSoAndStillEndsWithOne) {
    ASSERT_EQ(mkdir(iniPath_.c_str(), 0700), 0);
    testing::internal::CaptureStderr();
    const intptr_t result = RunLinkedForm("\n\n\nNot saved\n\n\n\n\n\n\n\n\no\n");
    const std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(message, "Error: Could not save settings\n'" + iniPath_ + "'\nError code=" + std::to_string(EISDIR) + "\n");
    EXPECT_STREQ(g_State.Settings.MenuItem, "Not saved");
    EXPECT_EQ(test::ListDirectory(iniPath_), std::vector<std::string>{});
}

TEST_F(SettingsFormTest, CommandsOtherThanOkAndCancelAreNotHandled) {
    // Only the whole first parameter 1 or 2 closes the dialog: a notification
    // whose low word happens to be 1 or 2 does not.
    const uintptr_t others[] = {0, 3, 1000, 1006, (1u << 16) | 1u, (0x0300u << 16) | 2u};
    for (uintptr_t command : others) EXPECT_EQ(SettingsDialogCommand(nullptr, command), 0) << command;
    EXPECT_FALSE(test::FileExists(iniPath_));
}

} // namespace
