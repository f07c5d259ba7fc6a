// File mode: the program gets the exchange file's path on its command line,
// changes the file in place, and what the file holds when it ends comes
// back to the host.
#include <cstdio>

#include "run/run_cycle.h"

namespace {

void ShowExecuteError(const Program &program) {
    char message[kExecuteMessageSize];
    FormatExecuteError(program, message, sizeof message);
    platform::ShowErrorBox(nullptr, message, kExecuteErrorTitle);
}

// How the program ended decides whether the file is read back. Without
// SuccessCodes any end by itself is taken, as the program's exit code means
// nothing agreed; with them, only a listed exit code. Returns false, with
// the message shown, when the file is to be left alone.
bool EndedWithSuccess(const platform::ProcessEnd &end, const RunOptions &options) {
    char text[kStoppedMessageSize];
    if (DescribeStoppedRun(end, text)) {
        if (text[0] != '\0') platform::ShowErrorBox(HostWindow(), text, kErrorTitle);
        return false;
    }
    if (options.SuccessCodeCount == 0) return true;
    if (end.Kind == platform::EndKind::Exited && IsSuccessCode(options, end.Code, true)) return true;
    if (end.Kind == platform::EndKind::Unknown) {
        platform::ShowErrorBox(HostWindow(), kEndUnknownText, kErrorTitle);
    } else {
        const int length = DescribeFailedEnd(end, text, sizeof text);
        snprintf(text + length, sizeof text - static_cast<size_t>(length), "\n%s", kLeftAsItWas);
        platform::ShowErrorBox(HostWindow(), text, kErrorTitle);
    }
    return false;
}

// The file's content back into TextBuffer and to the host. Nothing reaches
// PutText unless it was read from the file.
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

} // namespace

// The program gets the file also when only part of the text reached it, but
// then nothing comes back. A failed exit code is shown with ReadOnly on too:
// it is news about the program, not about the text.
void RunFileMode(const Program &program, const RunOptions &options, bool whole, int32_t context) {
    const platform::ProcessHandle process =
        program.Known ? platform::ProcessStart(program.Found.Path, g_State.CommandBuffer, StartOptionsOf(options)) : 0;
    if (!process) {
        ShowExecuteError(program);
        return;
    }
    const platform::ProcessEnd end = platform::ProcessWaitWithLimits(process, Limits(nullptr, nullptr));
    if (EndedWithSuccess(end, options) && whole && !g_State.Settings.ReadOnly) ReadBackResult(context);
}
