#include "run/run_tool.h"

#include <cstdio>
#include <cstring>

#include "plugin/plugin_state.h"
#include "run/expand_command_line.h"

namespace {

const char kErrorTitle[] = "Error";
const char kExecuteErrorTitle[] = "Execute Error!";
const char kCreateFailedFormat[] = "Could not create temporary file\n'%s'\nError code=%d";
const char kWriteFailedText[] = "Could not write TEMP file";
const char kCommandTooLongFormat[] = "Command line too long\n'%s'";
const char kReadFailedFormat[] = "Could not read TEMP file\n'%s'\nError code=%d";
const char kExecuteErrorFormat[] = "RUN : %s\nERROR: %d\nMSG:%s\n";
// Filter mode.
const char kOutputTooLongText[] = "The program's output is longer than 102400 bytes\nThe text was left as it was";
const char kExitCodeFormat[] = "The program ended with exit code %lu";
const char kSignalFormat[] = "The program was ended by signal %lu";
const char kEndUnknownText[] = "The program's exit code could not be read\nThe text was left as it was";
const char kErrorOutputTooLongText[] =
    "The program's error output is longer than 1048576 bytes\nThe text was left as it was";
// A run that the wait ended.
const char kTimedOutFormat[] = "The program did not end within the time limit of %lu s\nThe text was left as it was";
// The most the captures may hold while the program runs: standard output what
// the host can take back, error output 1 MiB. One byte more ends the run.
constexpr uint32_t kOutputBound = kTextCapacity;
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
    if (!platform::CreateUniqueFile(directory, "se", g_State.TempFilePath)) {
        *code = static_cast<int32_t>(platform::LastError());
        g_State.TempFilePath[0] = '\0';
        return false;
    }
    return true;
}

// Step 8: the text up to its terminator, in one write.
void WriteHostText(platform::FileHandle file) {
    const uint32_t length = static_cast<uint32_t>(strnlen(g_State.TextBuffer, kTextCapacity));
    uint32_t written = 0;
    if (!platform::FileWrite(file, g_State.TextBuffer, length, &written) || written < length)
        platform::ShowErrorBox(HostWindow(), kWriteFailedText, kErrorTitle);
}

void ShowExecuteError() {
    char systemMessage[kSystemMessageSize];
    const int32_t code = FormatSystemError(systemMessage, sizeof systemMessage);
    char message[kExecuteMessageSize];
    snprintf(message, sizeof message, kExecuteErrorFormat, g_State.CommandBuffer, static_cast<int>(code),
             systemMessage);
    platform::ShowErrorBox(nullptr, message, kExecuteErrorTitle);
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
    const bool readOk = platform::FileRead(file, g_State.TextBuffer, kTextCapacity, &read);
    const int32_t code = readOk ? 0 : static_cast<int32_t>(platform::LastError());
    if (read > static_cast<uint32_t>(kTextCapacity)) read = 0;
    g_State.TextBuffer[readOk ? read : 0] = '\0';
    platform::FileClose(file);
    if (!readOk) {
        ShowPathError(kReadFailedFormat, g_State.TempFilePath, code);
        return;
    }
    if (Host()->PutText) Host()->PutText(context, g_State.TextBuffer);
}

// The wait's limits: the time limit from the settings, the capture files'
// bounds in filter mode, and what the wait window shows.
platform::WaitLimits Limits(const char *outputPath, const char *errorPath) {
    return platform::WaitLimits{g_State.Settings.Timeout, outputPath, errorPath, kOutputBound, kErrorOutputBound,
                                HostWindow(), g_State.Settings.MenuItem, g_State.CommandBuffer};
}

// A run the wait ended, by Cancel or a limit: says why, except after Cancel,
// which the user asked for. Returns false for a program that ended by itself.
bool ReportStoppedRun(const platform::ProcessEnd &end) {
    switch (end.Kind) {
    case platform::EndKind::Cancelled: return true;
    case platform::EndKind::TimedOut: {
        char message[sizeof kTimedOutFormat + 10];
        snprintf(message, sizeof message, kTimedOutFormat, static_cast<unsigned long>(g_State.Settings.Timeout));
        platform::ShowErrorBox(HostWindow(), message, kErrorTitle);
        return true;
    }
    case platform::EndKind::OutputTooLong:
        platform::ShowErrorBox(HostWindow(), kOutputTooLongText, kErrorTitle);
        return true;
    case platform::EndKind::ErrorOutputTooLong:
        platform::ShowErrorBox(HostWindow(), kErrorOutputTooLongText, kErrorTitle);
        return true;
    default: return false;
    }
}

// Steps 9 to 11, once the command line is known: the file is closed before
// the program starts, and the plug-in holds no handle while it runs.
// Returns false when the program could not be started or the wait ended it;
// its exit code is not looked at.
bool StartAndWait() {
    const platform::ProcessHandle process = platform::ProcessStart(g_State.CommandBuffer);
    if (!process) {
        ShowExecuteError();
        return false;
    }
    return !ReportStoppedRun(platform::ProcessWaitWithLimits(process, Limits(nullptr, nullptr)));
}

// ---- Filter mode -------------------------------------------------------------
// The exchange file is the program's standard input; its standard output and
// standard error go to two capture files made beside the exchange file.

struct CaptureFiles {
    char Output[platform::kMaxPath + 2];
    char Error[platform::kMaxPath + 2];
};

// Both capture files, named and made private like the exchange file. When
// one cannot be made, says so with the directory it was to be in, as for
// the exchange file.
bool MakeCaptureFiles(const char *directory, CaptureFiles *captures) {
    if (platform::CreateUniqueFile(directory, "se", captures->Output) &&
        platform::CreateUniqueFile(directory, "se", captures->Error))
        return true;
    ShowPathError(kCreateFailedFormat, directory, static_cast<int32_t>(platform::LastError()));
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
void PutCapturedOutput(const CaptureFiles *captures, int32_t context) {
    uint32_t read = 0;
    int32_t code = 0;
    if (!ReadCapture(captures->Output, g_State.TextBuffer, kTextCapacity + 1, &read, &code)) {
        g_State.TextBuffer[0] = '\0';
        ShowPathError(kReadFailedFormat, captures->Output, code);
        return;
    }
    if (read > static_cast<uint32_t>(kTextCapacity)) {
        // Nothing of it is kept: the host's text stands.
        g_State.TextBuffer[0] = '\0';
        g_State.TextBuffer[kTextCapacity] = '\0';
        platform::ShowErrorBox(HostWindow(), kOutputTooLongText, kErrorTitle);
        return;
    }
    g_State.TextBuffer[read] = '\0';
    if (Host()->PutText) Host()->PutText(context, g_State.TextBuffer);
}

// A failed program: its exit code or signal, then what it said, from its
// error output or, when that is empty, its standard output.
void ShowProgramFailure(const platform::ProcessEnd &end, const CaptureFiles *captures) {
    char said[kShownOutputBytes + 1];
    uint32_t read = 0;
    int32_t code = 0;
    // A capture that cannot be read adds nothing: the exit code is the news.
    if (!ReadCapture(captures->Error, said, kShownOutputBytes, &read, &code) || read == 0)
        ReadCapture(captures->Output, said, kShownOutputBytes, &read, &code);
    said[read] = '\0';
    // The longer format, a 32-bit number in decimal, "\n" and what it said.
    char message[sizeof kExitCodeFormat + 10 + 1 + kShownOutputBytes];
    const int length = snprintf(message, sizeof message,
                                end.Kind == platform::EndKind::Signalled ? kSignalFormat : kExitCodeFormat,
                                static_cast<unsigned long>(end.Code));
    if (said[0] != '\0' && length > 0) snprintf(message + length, sizeof message - length, "\n%s", said);
    platform::ShowErrorBox(HostWindow(), message, kErrorTitle);
}

// How the program ended decides what comes of the captures: nothing of a
// run the wait ended, the error output of a failed program, the standard
// output of one that succeeded.
void TakeFilterResult(const platform::ProcessEnd &end, const CaptureFiles *captures, int32_t context) {
    if (ReportStoppedRun(end)) return;
    if (end.Kind == platform::EndKind::Unknown)
        platform::ShowErrorBox(HostWindow(), kEndUnknownText, kErrorTitle);
    else if (end.Kind == platform::EndKind::Signalled || end.Code != 0)
        ShowProgramFailure(end, captures);
    else if (!g_State.Settings.ReadOnly)
        PutCapturedOutput(captures, context);
}

// Steps 10 and 11 in filter mode. A failed start ends as in file mode. The
// capture files go in every case.
void RunFilter(const char *directory, int32_t context) {
    CaptureFiles captures;
    captures.Output[0] = captures.Error[0] = '\0';
    if (MakeCaptureFiles(directory, &captures)) {
        const platform::ProcessHandle process = platform::ProcessStartRedirected(
            g_State.CommandBuffer, g_State.TempFilePath, captures.Output, captures.Error);
        if (!process) {
            ShowExecuteError();
        } else {
            TakeFilterResult(platform::ProcessWaitWithLimits(process, Limits(captures.Output, captures.Error)),
                             &captures, context);
        }
    }
    DeleteCaptureFiles(&captures);
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

    if (!ExpandCommandLine(g_State.TempFilePath, Host())) {
        platform::FileClose(file);
        char message[sizeof kCommandTooLongFormat + kPathChars];
        snprintf(message, sizeof message, kCommandTooLongFormat, g_State.Settings.CommandLine);
        platform::ShowErrorBox(HostWindow(), message, kErrorTitle);
    } else {
        // The host offers no context value without GetContext; 0 stands in.
        int32_t context = 0;
        if (Host()->GetContext) Host()->GetContext(&context);
        // GetText may have been cleared meanwhile: the text of the previous
        // run, still in TextBuffer, then goes out.
        if (Host()->GetText) Host()->GetText(context, g_State.TextBuffer, kTextCapacity);
        g_State.TextBuffer[kTextCapacity] = '\0';
        WriteHostText(file);
        platform::FileClose(file);

        if (g_State.Settings.Filter)
            RunFilter(directory, context);
        else if (StartAndWait() && !g_State.Settings.ReadOnly)
            ReadBackResult(context);
    }

    if (g_State.Settings.DeleteTemp) platform::FileDelete(g_State.TempFilePath);
}
