#include "run/run_tool.h"

#include <cstdio>
#include <cstring>

#include "run/expand_command_line.h"
#include "run/run_cycle.h"

namespace {

const char kWriteFailedText[] = "Could not write TEMP file";
const char kCommandTooLongFormat[] = "Command line too long\n'%s'";
// Host texts that the program would not receive as data.
const char kRefusedForCmdFormat[] = "The command line was refused: %s holds characters that cmd.exe would interpret\n'%s'";
const char kRefusedQuoteFormat[] = "The command line was refused: %s holds a quotation mark inside quotes\n'%s'";
// A run the wait ended.
const char kTimedOutFormat[] = "The program did not end within the time limit of %lu s\nThe text was left as it was";
const char kWantedTerminalText[] =
    "The program stopped to use the terminal, which filter mode does not give it\nThe text was left as it was";
const char kWaitFailedFormat[] = "Waiting for the program failed with error code %lu\nThe text was left as it was";
const char kErrorOutputTooLongText[] =
    "The program's error output is longer than 1048576 bytes\nThe text was left as it was";
static_assert(sizeof kTimedOutFormat + 10 <= kStoppedMessageSize && sizeof kWantedTerminalText <= kStoppedMessageSize &&
              sizeof kWaitFailedFormat + 10 <= kStoppedMessageSize &&
              sizeof kErrorOutputTooLongText <= kStoppedMessageSize && sizeof kOutputTooLongText <= kStoppedMessageSize);
// The most the error capture may hold while the program runs: 1 MiB. One
// byte more ends the run. Standard output may hold what the host can take
// back, before its conversion to the host's character set
// (ProgramOutputBound).
constexpr uint32_t kErrorOutputBound = 1048576;

// A new, empty exchange file with the prefix "se" and the extension of the
// settings in WorkingDirectory or the system temporary directory. On failure
// the directory is left in `directory` for the message, TempFilePath stays
// empty and the error code is returned through `code`.
bool MakeExchangeFile(const char *extension, char *directory, uint32_t directorySize, int32_t *code) {
    g_State.TempFilePath[0] = '\0';
    const char *const working = g_State.Settings.WorkingDirectory;
    if (working[0] != '\0') {
        snprintf(directory, directorySize, "%s", working);
    } else if (platform::TempDirectory(directory, directorySize) == 0) {
        *code = static_cast<int32_t>(platform::LastError());
        return false;
    }
    if (!platform::CreateUniqueFile(directory, "se", extension, g_State.TempFilePath)) {
        *code = static_cast<int32_t>(platform::LastError());
        g_State.TempFilePath[0] = '\0';
        return false;
    }
    return true;
}

// The text up to its terminator, in the program's character set, in one
// write. Returns false when it did not reach the file whole: a result made
// from part of the text must never replace all of it.
bool WriteHostText(platform::FileHandle file, const char *data, uint32_t length) {
    uint32_t written = 0;
    if (platform::FileWrite(file, data, length, &written) && written >= length) return true;
    platform::ShowErrorBox(HostWindow(), kWriteFailedText, kErrorTitle);
    return false;
}

// What cmd.exe reads as commands, variables, escapes or quoting, and the
// control characters, which end or split its line.
bool IsCmdMetacharacter(char c) {
    return static_cast<unsigned char>(c) < 0x20 || strchr("\"%!^&|<>()", c) != nullptr;
}

bool HoldsCmdMetacharacter(const char *text) {
    for (; *text != '\0'; ++text)
        if (IsCmdMetacharacter(*text)) return true;
    return false;
}

// The first host text, in the order of replacement, among `texts` (a mask)
// that `refused` says no to; -1 when there is none.
int FirstHostText(uint8_t texts, bool (*refused)(const char *)) {
    for (int i = 0; i < kHostTexts; ++i)
        if ((texts & (1u << i)) && (!refused || refused(ExpandedHostText(i)))) return i;
    return -1;
}

// A host text is data. A program that cmd.exe runs (a batch file, or cmd
// itself) gets the line re-read by cmd's rules, where "&" starts another
// command and "%VAR%" expands even inside quotes: a used host text that
// holds any of its characters refuses the run. A double quote of a host
// text inside quotes would end the quoting and bring in arguments of its
// own. Returns true, with the message shown, when the run is refused.
bool RefuseHostTexts(const InsertedTexts &inserted, const Program &program) {
    int text = -1;
    const char *format = nullptr;
    if (program.Known && program.Found.ThroughCommandInterpreter &&
        (text = FirstHostText(inserted.Used, HoldsCmdMetacharacter)) >= 0) {
        format = kRefusedForCmdFormat;
    } else if ((text = FirstHostText(inserted.QuoteInQuotes, nullptr)) >= 0) {
        format = kRefusedQuoteFormat;
    } else {
        return false;
    }
    char message[sizeof kRefusedForCmdFormat + kHostTextChars];
    snprintf(message, sizeof message, format, HostPlaceholder(text), ExpandedHostText(text));
    platform::ShowErrorBox(HostWindow(), message, kErrorTitle);
    return true;
}

// Once the command line is known, before the host's text is fetched: the
// start directory and environment are made from the settings, the program
// is looked up (on the environment's PATH where it sets one) and the host
// texts are checked against what it is. Returns false, with the message
// shown, when the run is refused.
bool PrepareStart(const InsertedTexts &inserted, RunOptions *options, Program *program) {
    if (!PrepareStartOptions(g_State.Settings, options)) return false;
    program->Known = platform::FindProgram(g_State.CommandBuffer, options->OwnEnvironment, &program->Found);
    program->Error = program->Known ? 0 : platform::LastError();
    return !RefuseHostTexts(inserted, *program);
}

// The host's text into the exchange file, which is closed before the
// program starts, so that the plug-in holds no handle while it runs; then
// the mode the settings ask for.
void FetchAndRun(platform::FileHandle file, const Program &program, const RunOptions &options,
                 const char *directory) {
    // The host offers no context value without GetContext; 0 stands in.
    int32_t context = 0;
    if (Host()->GetContext) Host()->GetContext(&context);
    // GetText may have been cleared meanwhile: the text of the previous
    // run, still in TextBuffer, then goes out.
    if (Host()->GetText) Host()->GetText(context, g_State.TextBuffer, kTextCapacity);
    g_State.TextBuffer[kTextCapacity] = '\0';
    const char *data = nullptr;
    uint32_t length = 0;
    char message[kEncodingMessageSize];
    const bool encoded = EncodeForProgram(&data, &length, message);
    const bool whole = encoded && WriteHostText(file, data, length);
    platform::FileClose(file);

    // A text cut short is not filtered; in file mode the program still
    // gets the file, but nothing comes back from it.
    if (!encoded) {
        platform::ShowErrorBox(HostWindow(), message, kErrorTitle);
    } else if (g_State.Settings.Filter) {
        if (whole) RunFilterMode(program, options, directory, context);
    } else {
        RunFileMode(program, options, whole, context);
    }
}

} // namespace

void ShowPathError(const char *format, const char *path, int32_t code) {
    char message[kPathMessageSize];
    snprintf(message, sizeof message, format, path, static_cast<int>(code));
    platform::ShowErrorBox(HostWindow(), message, kErrorTitle);
}

void FormatExecuteError(const Program &program, char *message, size_t size) {
    char systemMessage[kSystemMessageSize];
    int32_t code = 0;
    if (program.Known) {
        code = FormatSystemError(systemMessage, sizeof systemMessage);
    } else {
        code = static_cast<int32_t>(program.Error);
        platform::SystemMessage(program.Error, systemMessage, sizeof systemMessage);
    }
    snprintf(message, size, kExecuteErrorFormat, g_State.CommandBuffer, static_cast<int>(code), systemMessage);
}

static_assert(sizeof kOutputTooLongText <= kEncodingMessageSize);
bool DecodeOutput(uint32_t read, bool goesOn, WhenTooLong whenTooLong, char *why) {
    const Decoded decoded = DecodeFromProgram(read, goesOn, whenTooLong, why);
    if (decoded == Decoded::TooLong) snprintf(why, kEncodingMessageSize, "%s", kOutputTooLongText);
    return decoded == Decoded::Done;
}

platform::WaitLimits Limits(const char *outputPath, const char *errorPath) {
    return platform::WaitLimits{g_State.Settings.Timeout, outputPath, errorPath, ProgramOutputBound(), kErrorOutputBound,
                                g_State.ModuleInstance, HostWindow(), g_State.Settings.MenuItem, g_State.CommandBuffer};
}

// A failed wait is never taken for the program's end: what it left is half
// done.
bool DescribeStoppedRun(const platform::ProcessEnd &end, char *text) {
    text[0] = '\0';
    switch (end.Kind) {
    case platform::EndKind::Cancelled: return true;
    case platform::EndKind::TimedOut:
        snprintf(text, kStoppedMessageSize, kTimedOutFormat, static_cast<unsigned long>(g_State.Settings.Timeout));
        return true;
    case platform::EndKind::WaitFailed:
        snprintf(text, kStoppedMessageSize, kWaitFailedFormat, static_cast<unsigned long>(end.Code));
        return true;
    case platform::EndKind::OutputTooLong: snprintf(text, kStoppedMessageSize, "%s", kOutputTooLongText); return true;
    case platform::EndKind::ErrorOutputTooLong:
        snprintf(text, kStoppedMessageSize, "%s", kErrorOutputTooLongText);
        return true;
    case platform::EndKind::WantedTerminal: snprintf(text, kStoppedMessageSize, "%s", kWantedTerminalText); return true;
    default: return false;
    }
}

int DescribeFailedEnd(const platform::ProcessEnd &end, char *text, size_t size) {
    const int length = snprintf(text, size, end.Kind == platform::EndKind::Signalled ? kSignalFormat : kExitCodeFormat,
                                static_cast<unsigned long>(end.Code));
    return length > 0 ? length : 0;
}

int32_t FormatSystemError(char *buffer, uint32_t size) {
    if (size) buffer[0] = '\0';
    const uint32_t code = platform::LastError();
    platform::SystemMessage(code, buffer, size);
    return static_cast<int32_t>(code);
}

void RunTool() {
    if (!Host() || !Host()->GetText) return;

    // Options that refuse the run do so before anything is made.
    RunOptions options;
    if (!PrepareFileOptions(g_State.Settings, &options)) return;

    char directory[platform::kMaxPath + 1];
    directory[0] = '\0';
    int32_t code = 0;
    if (!MakeExchangeFile(options.Extension, directory, sizeof directory, &code)) {
        // No file was made: the message names the directory it was to be in.
        ShowPathError(kCreateFailedFormat, directory, code);
        return;
    }

    const platform::FileHandle file = platform::FileCreateAlways(g_State.TempFilePath);
    if (file == platform::kInvalidFile) {
        ShowPathError(kCreateFailedFormat, g_State.TempFilePath, static_cast<int32_t>(platform::LastError()));
        return;
    }

    InsertedTexts inserted{0, 0};
    Program program{};
    if (!ExpandCommandLine(g_State.TempFilePath, Host(), &inserted)) {
        platform::FileClose(file);
        char message[sizeof kCommandTooLongFormat + kPathChars];
        snprintf(message, sizeof message, kCommandTooLongFormat, g_State.Settings.CommandLine);
        platform::ShowErrorBox(HostWindow(), message, kErrorTitle);
    } else if (!PrepareStart(inserted, &options, &program)) {
        // Nothing is fetched or started; the exchange file goes as DeleteTemp says.
        platform::FileClose(file);
    } else {
        FetchAndRun(file, program, options, directory);
    }

    if (g_State.Settings.DeleteTemp) platform::FileDelete(g_State.TempFilePath);
}
