#include "run/run_tool.h"

#include <cstdio>
#include <cstring>

#include "plugin/plugin_state.h"
#include "run/expand_command_line.h"
#include "run/text_encoding.h"

namespace {

const char kErrorTitle[] = "Error";
const char kExecuteErrorTitle[] = "Execute Error!";
const char kCreateFailedFormat[] = "Could not create temporary file\n'%s'\nError code=%d";
const char kWriteFailedText[] = "Could not write TEMP file";
const char kCommandTooLongFormat[] = "Command line too long\n'%s'";
const char kReadFailedFormat[] = "Could not read TEMP file\n'%s'\nError code=%d";
const char kExecuteErrorFormat[] = "RUN : %s\nERROR: %d\nMSG:%s\n";
// Host texts that the program would not receive as data.
const char kRefusedForCmdFormat[] = "The command line was refused: %s holds characters that cmd.exe would interpret\n'%s'";
const char kRefusedQuoteFormat[] = "The command line was refused: %s holds a quotation mark inside quotes\n'%s'";
// Filter mode.
const char kOutputTooLongText[] = "The program's output is longer than 102400 bytes\nThe text was left as it was";
const char kExitCodeFormat[] = "The program ended with exit code %lu";
const char kSignalFormat[] = "The program was ended by signal %lu";
const char kEndUnknownText[] = "The program's exit code could not be read\nThe text was left as it was";
const char kErrorOutputTooLongText[] =
    "The program's error output is longer than 1048576 bytes\nThe text was left as it was";
// A run that the wait ended.
const char kTimedOutFormat[] = "The program did not end within the time limit of %lu s\nThe text was left as it was";
const char kWantedTerminalText[] =
    "The program stopped to use the terminal, which filter mode does not give it\nThe text was left as it was";
const char kWaitFailedFormat[] = "Waiting for the program failed with error code %lu\nThe text was left as it was";
// The most the error capture may hold while the program runs: 1 MiB. One
// byte more ends the run. Standard output may hold what the host can take
// back, before its conversion to the host's character set
// (ProgramOutputBound).
constexpr uint32_t kErrorOutputBound = 1048576;
// What a failed program's message shows of its error output (or, when that
// is empty, of its standard output).
constexpr uint32_t kShownOutputBytes = 1024;

// Characters of a signed 32-bit number in decimal, sign included.
constexpr size_t kCodeChars = 11;
// A system message as the run shows it: 259 characters and a terminator.
constexpr uint32_t kSystemMessageSize = 260;
// Every message is formatted into room for its longest possible text, so no
// message is ever cut: the formats' own characters, the longest path or
// command line (260), the code and, for "Execute Error!", the system message.
constexpr size_t kPathMessageSize = sizeof kCreateFailedFormat + kCommandChars + kCodeChars;
constexpr size_t kExecuteMessageSize = sizeof kExecuteErrorFormat + kCommandChars + kCodeChars + kSystemMessageSize;

// The host record is read afresh at every use: the host may change its slots
// and texts between runs, and a second OnInstall may replace it.
const HostRecord *Host() { return g_State.Host; }

platform::WindowHandle HostWindow() { return Host()->OwnerWindow; }

void ShowPathError(const char *format, const char *path, int32_t code) {
    char message[kPathMessageSize];
    snprintf(message, sizeof message, format, path, static_cast<int>(code));
    platform::ShowErrorBox(HostWindow(), message, kErrorTitle);
}

// Steps 2 and 3: a new, empty exchange file with the prefix "se" in
// WorkingDirectory or the system temporary directory. On failure the
// directory is left in `directory` for the message, TempFilePath stays empty
// and the error code is returned through `code`.
bool MakeExchangeFile(char *directory, uint32_t directorySize, int32_t *code) {
    g_State.TempFilePath[0] = '\0';
    const char *const working = g_State.Settings.WorkingDirectory;
    if (working[0] != '\0') {
        snprintf(directory, directorySize, "%s", working);
    } else if (platform::TempDirectory(directory, directorySize) == 0) {
        *code = static_cast<int32_t>(platform::LastError());
        return false;
    }
    if (!platform::CreateUniqueFile(directory, "se", ".TMP", g_State.TempFilePath)) {
        *code = static_cast<int32_t>(platform::LastError());
        g_State.TempFilePath[0] = '\0';
        return false;
    }
    return true;
}

// Step 8: the text up to its terminator, in the program's character set, in
// one write. Returns false when it did not reach the file whole: a result
// made from part of the text must never replace all of it.
bool WriteHostText(platform::FileHandle file, const char *data, uint32_t length) {
    uint32_t written = 0;
    if (platform::FileWrite(file, data, length, &written) && written >= length) return true;
    platform::ShowErrorBox(HostWindow(), kWriteFailedText, kErrorTitle);
    return false;
}

// The program the command line names, looked up before the host's text is
// fetched; a program that was not found gives its error code at the start.
struct Program {
    platform::ProgramFound Found;
    bool Known;
    uint32_t Error; // when not Known
};

// The "Execute Error!" text for the start that just failed, or for a
// program that was not found.
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

void ShowExecuteError(const Program &program) {
    char message[kExecuteMessageSize];
    FormatExecuteError(program, message, sizeof message);
    platform::ShowErrorBox(nullptr, message, kExecuteErrorTitle);
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

// The program's output, `read` bytes, back into TextBuffer in the ANSI
// character set. Returns false, with the text of the box that says why in
// `why` (kEncodingMessageSize bytes), when nothing may come back.
static_assert(sizeof kOutputTooLongText <= kEncodingMessageSize);
bool DecodeOutput(uint32_t read, bool goesOn, WhenTooLong whenTooLong, char *why) {
    const Decoded decoded = DecodeFromProgram(read, goesOn, whenTooLong, why);
    if (decoded == Decoded::TooLong) snprintf(why, kEncodingMessageSize, "%s", kOutputTooLongText);
    return decoded == Decoded::Done;
}

// Step 11 after the wait: the file's content back into TextBuffer and to the
// host. Nothing reaches PutText unless it was read from the file.
void ReadBackResult(int32_t context) {
    const platform::FileHandle file = platform::FileOpenExisting(g_State.TempFilePath);
    if (file == platform::kInvalidFile) {
        ShowPathError(kReadFailedFormat, g_State.TempFilePath, static_cast<int32_t>(platform::LastError()));
        return;
    }
    uint32_t read = 0;
    uint32_t capacity = 0;
    char *const output = ProgramOutputBuffer(&capacity);
    const bool readOk = platform::FileRead(file, output, capacity, &read);
    const int32_t code = readOk ? 0 : static_cast<int32_t>(platform::LastError());
    if (read > capacity) read = 0;
    output[readOk ? read : 0] = '\0';
    platform::FileClose(file);
    if (!readOk) {
        ShowPathError(kReadFailedFormat, g_State.TempFilePath, code);
        return;
    }
    char why[kEncodingMessageSize];
    if (!DecodeOutput(read, read == capacity, WhenTooLong::Cut, why)) {
        platform::ShowErrorBox(HostWindow(), why, kErrorTitle);
        return;
    }
    if (Host()->PutText) Host()->PutText(context, g_State.TextBuffer);
}

// The wait's limits: the time limit from the settings, the capture files'
// bounds in filter mode, and what the wait window shows.
platform::WaitLimits Limits(const char *outputPath, const char *errorPath) {
    return platform::WaitLimits{g_State.Settings.Timeout, outputPath, errorPath, ProgramOutputBound(), kErrorOutputBound,
                                g_State.ModuleInstance, HostWindow(), g_State.Settings.MenuItem, g_State.CommandBuffer};
}

// A run the wait ended, by Cancel or a limit. Returns false for a program
// that ended by itself; otherwise true, with what to show in `text`
// (kStoppedMessageSize bytes): nothing after Cancel, which the user asked for.
// A failed wait is never taken for the program's end: what it left is
// half done.
constexpr size_t kStoppedMessageSize = sizeof kTimedOutFormat + 10 + sizeof kErrorOutputTooLongText;
static_assert(sizeof kWantedTerminalText <= kStoppedMessageSize);
static_assert(sizeof kWaitFailedFormat <= sizeof kTimedOutFormat);
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

// The program is looked up as soon as the command line is known, before the
// host's text is fetched, and the host texts are checked against what it is.
bool LookUpAndRefuse(const InsertedTexts &inserted, Program *program) {
    program->Known = platform::FindProgram(g_State.CommandBuffer, false, &program->Found);
    program->Error = program->Known ? 0 : platform::LastError();
    return RefuseHostTexts(inserted, *program);
}

// Steps 9 to 11, once the command line is known: the file is closed before
// the program starts, and the plug-in holds no handle while it runs.
// Returns false when the program could not be started or the wait ended it;
// its exit code is not looked at.
bool StartAndWait(const Program &program) {
    const platform::ProcessHandle process =
        program.Known ? platform::ProcessStart(program.Found.Path, g_State.CommandBuffer, platform::StartOptions{nullptr, false}) : 0;
    if (!process) {
        ShowExecuteError(program);
        return false;
    }
    char stopped[kStoppedMessageSize];
    if (!DescribeStoppedRun(platform::ProcessWaitWithLimits(process, Limits(nullptr, nullptr)), stopped)) return true;
    if (stopped[0] != '\0') platform::ShowErrorBox(HostWindow(), stopped, kErrorTitle);
    return false;
}

// ---- Filter mode -------------------------------------------------------------
// The exchange file is the program's standard input; its standard output and
// standard error go to two capture files made beside the exchange file.

struct CaptureFiles {
    char Output[platform::kMaxPath + 2];
    char Error[platform::kMaxPath + 2];
};

// The longest filter-mode message: a failure's first line, "\n" and what the
// program said.
constexpr size_t kFailureMessageSize = sizeof kExitCodeFormat + 10 + 1 + kShownOutputBytes;
constexpr size_t kFilterMessageSize = kFailureMessageSize > kExecuteMessageSize ? kFailureMessageSize
                                                                                : kExecuteMessageSize;

// A filter-mode box waits until the capture files are gone, so that a host
// ended while it is up (as a hung one is) leaves none of them behind.
// Everything it shows is read before they go.
struct FilterMessage {
    char Text[kFilterMessageSize];
    const char *Title; // null: nothing to show
    platform::WindowHandle Owner;
};

void SetHostError(FilterMessage *message, const char *text) {
    snprintf(message->Text, sizeof message->Text, "%s", text);
    message->Title = kErrorTitle;
    message->Owner = HostWindow();
}

void SetPathError(FilterMessage *message, const char *format, const char *path, int32_t code) {
    char text[kPathMessageSize];
    snprintf(text, sizeof text, format, path, static_cast<int>(code));
    SetHostError(message, text);
}

// Both capture files, named and made private like the exchange file. When
// one cannot be made, says so with the directory it was to be in, as for
// the exchange file.
bool MakeCaptureFiles(const char *directory, CaptureFiles *captures, FilterMessage *message) {
    if (platform::CreateUniqueFile(directory, "se", ".TMP", captures->Output) &&
        platform::CreateUniqueFile(directory, "se", ".TMP", captures->Error))
        return true;
    SetPathError(message, kCreateFailedFormat, directory, static_cast<int32_t>(platform::LastError()));
    return false;
}

void DeleteCaptureFiles(const CaptureFiles *captures) {
    if (captures->Output[0] != '\0') platform::FileDelete(captures->Output);
    if (captures->Error[0] != '\0') platform::FileDelete(captures->Error);
}

// One read of at most `count` bytes from the start of the file at `path`.
// Returns false, with the error code in `code`, when the file could not be
// opened or read.
bool ReadCapture(const char *path, char *buffer, uint32_t count, uint32_t *read, int32_t *code) {
    *read = 0;
    const platform::FileHandle file = platform::FileOpenShared(path);
    if (file == platform::kInvalidFile) {
        *code = static_cast<int32_t>(platform::LastError());
        return false;
    }
    const bool readOk = platform::FileRead(file, buffer, count, read);
    *code = readOk ? 0 : static_cast<int32_t>(platform::LastError());
    platform::FileClose(file);
    if (!readOk || *read > count) *read = 0;
    return readOk;
}

// Exit code 0: standard output is the result. One byte more than the text
// can hold is asked for, so that a longer output is seen and refused
// rather than cut.
void PutCapturedOutput(const CaptureFiles *captures, int32_t context, FilterMessage *message) {
    uint32_t read = 0;
    int32_t code = 0;
    uint32_t capacity = 0;
    char *const output = ProgramOutputBuffer(&capacity);
    if (!ReadCapture(captures->Output, output, capacity + 1, &read, &code)) {
        output[0] = '\0';
        SetPathError(message, kReadFailedFormat, captures->Output, code);
        return;
    }
    if (read > capacity) {
        // Nothing of it is kept: the host's text stands.
        output[0] = '\0';
        output[capacity] = '\0';
        SetHostError(message, kOutputTooLongText);
        return;
    }
    output[read] = '\0';
    char why[kEncodingMessageSize];
    if (!DecodeOutput(read, false, WhenTooLong::Refuse, why)) {
        SetHostError(message, why);
        return;
    }
    if (Host()->PutText) Host()->PutText(context, g_State.TextBuffer);
}

// The start of a capture as a message shows it, zero bytes left out (one
// would end the message there). Returns its length: 0 when the file is
// empty, cannot be read or holds nothing but zero bytes.
uint32_t ReadExcerpt(const char *path, char *said) {
    uint32_t read = 0;
    int32_t code = 0;
    ReadCapture(path, said, kShownOutputBytes, &read, &code);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < read; ++i)
        if (said[i] != '\0') said[kept++] = said[i];
    said[kept] = '\0';
    return kept;
}

// A failed program: its exit code or signal, then what it said, from its
// error output or, when that shows nothing, its standard output, in the
// host's character set. A capture that cannot be read adds nothing: the
// exit code is the news.
void SetProgramFailure(const platform::ProcessEnd &end, const CaptureFiles *captures, FilterMessage *message) {
    char said[kShownOutputBytes + 1];
    if (ReadExcerpt(captures->Error, said) == 0) ReadExcerpt(captures->Output, said);
    DecodeForShowing(said, sizeof said);
    char text[kFailureMessageSize];
    const int length = snprintf(text, sizeof text,
                                end.Kind == platform::EndKind::Signalled ? kSignalFormat : kExitCodeFormat,
                                static_cast<unsigned long>(end.Code));
    if (said[0] != '\0' && length > 0) snprintf(text + length, sizeof text - length, "\n%s", said);
    SetHostError(message, text);
}

// How the program ended decides what comes of the captures: nothing of a
// run the wait ended, the error output of a failed program, the standard
// output of one that succeeded.
void TakeFilterResult(const platform::ProcessEnd &end, const CaptureFiles *captures, int32_t context,
                      FilterMessage *message) {
    char stopped[kStoppedMessageSize];
    if (DescribeStoppedRun(end, stopped)) {
        if (stopped[0] != '\0') SetHostError(message, stopped);
    } else if (end.Kind == platform::EndKind::Unknown) {
        SetHostError(message, kEndUnknownText);
    } else if (end.Kind == platform::EndKind::Signalled || end.Code != 0) {
        SetProgramFailure(end, captures, message);
    } else if (!g_State.Settings.ReadOnly) {
        PutCapturedOutput(captures, context, message);
    }
}

// Steps 10 and 11 in filter mode. A failed start ends as in file mode. The
// capture files go in every case.
void RunFilter(const Program &program, const char *directory, int32_t context) {
    CaptureFiles captures;
    captures.Output[0] = captures.Error[0] = '\0';
    FilterMessage message;
    message.Title = nullptr;
    if (MakeCaptureFiles(directory, &captures, &message)) {
        const platform::ProcessHandle process =
            program.Known ? platform::ProcessStartRedirected(program.Found.Path, g_State.CommandBuffer,
                                                             platform::StartOptions{nullptr, false}, g_State.TempFilePath, captures.Output, captures.Error)
                          : 0;
        if (!process) {
            FormatExecuteError(program, message.Text, sizeof message.Text);
            message.Title = kExecuteErrorTitle;
            message.Owner = nullptr;
        } else {
            TakeFilterResult(platform::ProcessWaitWithLimits(process, Limits(captures.Output, captures.Error)),
                             &captures, context, &message);
        }
    }
    DeleteCaptureFiles(&captures);
    if (message.Title) platform::ShowErrorBox(message.Owner, message.Text, message.Title);
}

} // namespace

int32_t FormatSystemError(char *buffer, uint32_t size) {
    if (size) buffer[0] = '\0';
    const uint32_t code = platform::LastError();
    platform::SystemMessage(code, buffer, size);
    return static_cast<int32_t>(code);
}

void RunTool() {
    if (!Host() || !Host()->GetText) return;

    char directory[platform::kMaxPath + 1];
    directory[0] = '\0';
    int32_t code = 0;
    if (!MakeExchangeFile(directory, sizeof directory, &code)) {
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
    } else if (LookUpAndRefuse(inserted, &program)) {
        // Nothing is fetched or started; the exchange file goes as DeleteTemp says.
        platform::FileClose(file);
    } else {
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
            if (whole) RunFilter(program, directory, context);
        } else if (StartAndWait(program) && whole && !g_State.Settings.ReadOnly) {
            ReadBackResult(context);
        }
    }

    if (g_State.Settings.DeleteTemp) platform::FileDelete(g_State.TempFilePath);
}
