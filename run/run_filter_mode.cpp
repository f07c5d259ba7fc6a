// Filter mode: the exchange file is the program's standard input; its
// standard output and standard error go to two capture files made beside
// the exchange file, and a successful program's standard output comes back
// to the host.
#include <cstdio>

#include "run/run_cycle.h"

namespace {

// What a failed program's message shows of its error output (or, when that
// is empty, of its standard output).
constexpr uint32_t kShownOutputBytes = 1024;

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

// Both capture files, named and made private like the exchange file, and
// always ".TMP": only the exchange file is for the program to recognise.
// When one cannot be made, says so with the directory it was to be in, as
// for the exchange file.
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

// A successful program: standard output is the result. One byte more than
// the text can hold is asked for, so that a longer output is seen and
// refused rather than cut.
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
    const int length = DescribeFailedEnd(end, text, sizeof text);
    if (said[0] != '\0') snprintf(text + length, sizeof text - static_cast<size_t>(length), "\n%s", said);
    SetHostError(message, text);
}

// How the program ended decides what comes of the captures: nothing of a
// run the wait ended, the error output of a failed program, the standard
// output of one that succeeded (exit code 0, or one SuccessCodes lists).
void TakeFilterResult(const platform::ProcessEnd &end, const RunOptions &options, const CaptureFiles *captures,
                      int32_t context, FilterMessage *message) {
    char stopped[kStoppedMessageSize];
    if (DescribeStoppedRun(end, stopped)) {
        if (stopped[0] != '\0') SetHostError(message, stopped);
    } else if (end.Kind == platform::EndKind::Unknown) {
        SetHostError(message, kEndUnknownText);
    } else if (end.Kind == platform::EndKind::Signalled || !IsSuccessCode(options, end.Code, false)) {
        SetProgramFailure(end, captures, message);
    } else if (!g_State.Settings.ReadOnly) {
        PutCapturedOutput(captures, context, message);
    }
}

} // namespace

// A failed start ends as in file mode. The capture files go in every case.
void RunFilterMode(const Program &program, const RunOptions &options, const char *directory, int32_t context) {
    CaptureFiles captures;
    captures.Output[0] = captures.Error[0] = '\0';
    FilterMessage message;
    message.Title = nullptr;
    if (MakeCaptureFiles(directory, &captures, &message)) {
        const platform::ProcessHandle process =
            program.Known ? platform::ProcessStartRedirected(program.Found.Path, g_State.CommandBuffer,
                                                             StartOptionsOf(options), g_State.TempFilePath,
                                                             captures.Output, captures.Error)
                          : 0;
        if (!process) {
            FormatExecuteError(program, message.Text, sizeof message.Text);
            message.Title = kExecuteErrorTitle;
            message.Owner = nullptr;
        } else {
            TakeFilterResult(platform::ProcessWaitWithLimits(process, Limits(captures.Output, captures.Error)),
                             options, &captures, context, &message);
        }
    }
    DeleteCaptureFiles(&captures);
    if (message.Title) platform::ShowErrorBox(message.Owner, message.Text, message.Title);
}
