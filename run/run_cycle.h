// What the run cycle (run_tool.cpp) and its two modes share: the host, the
// program that was looked up, the messages both modes show and the wait's
// limits. File mode (run_file_mode.cpp) hands the program the exchange file
// by name and reads it back; filter mode (run_filter_mode.cpp) makes it the
// program's standard input and takes its standard output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/plugin_state.h"
#include "run/run_options.h"
#include "run/text_encoding.h"

inline constexpr char kErrorTitle[] = "Error";
inline constexpr char kExecuteErrorTitle[] = "Execute Error!";
inline constexpr char kCreateFailedFormat[] = "Could not create temporary file\n'%s'\nError code=%d";
inline constexpr char kReadFailedFormat[] = "Could not read TEMP file\n'%s'\nError code=%d";
inline constexpr char kExecuteErrorFormat[] = "RUN : %s\nERROR: %d\nMSG:%s\n";
inline constexpr char kOutputTooLongText[] =
    "The program's output is longer than 102400 bytes\nThe text was left as it was";
inline constexpr char kExitCodeFormat[] = "The program ended with exit code %lu";
inline constexpr char kSignalFormat[] = "The program was ended by signal %lu";
inline constexpr char kEndUnknownText[] = "The program's exit code could not be read\nThe text was left as it was";
inline constexpr char kLeftAsItWas[] = "The text was left as it was";

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
inline const HostRecord *Host() { return g_State.Host; }
inline platform::WindowHandle HostWindow() { return Host()->OwnerWindow; }

void ShowPathError(const char *format, const char *path, int32_t code);

// The program the command line names, looked up before the host's text is
// fetched; a program that was not found gives its error code at the start.
struct Program {
    platform::ProgramFound Found;
    bool Known;
    uint32_t Error; // when not Known
};

// The "Execute Error!" text for the start that just failed, or for a
// program that was not found; the box has no owner.
void FormatExecuteError(const Program &program, char *message, size_t size);

// The program's output, `read` bytes, back into TextBuffer in the ANSI
// character set. Returns false, with the text of the box that says why in
// `why` (kEncodingMessageSize bytes), when nothing may come back.
bool DecodeOutput(uint32_t read, bool goesOn, WhenTooLong whenTooLong, char *why);

// The wait's limits: the time limit from the settings, the capture files'
// bounds in filter mode (null paths in file mode), and what the wait window
// shows.
platform::WaitLimits Limits(const char *outputPath, const char *errorPath);

// A run the wait ended, by Cancel or a limit. Returns false for a program
// that ended by itself; otherwise true, with what to show in `text`
// (kStoppedMessageSize bytes): nothing after Cancel, which the user asked for.
constexpr size_t kStoppedMessageSize = 160;
bool DescribeStoppedRun(const platform::ProcessEnd &end, char *text);

// The first line of a failed program's message: its exit code, or the
// signal that ended it. Returns the length written into `text` of `size`
// bytes.
int DescribeFailedEnd(const platform::ProcessEnd &end, char *text, size_t size);

// The modes, once the exchange file holds the host's text (`whole` false:
// only part of it reached the file) and the program is known.
void RunFileMode(const Program &program, const RunOptions &options, bool whole, int32_t context);
void RunFilterMode(const Program &program, const RunOptions &options, const char *directory, int32_t context);
