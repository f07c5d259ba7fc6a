// The run options: what the settings add to a run besides the command line
// (the exit codes that count as success, the program's start directory, its
// environment and the exchange file's extension), checked and turned into
// what the platform's start call takes. A setting left empty changes
// nothing: no environment is built and no directory is looked at.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "settings/settings_file.h"

constexpr int kMaxSuccessCodes = 16;

struct RunOptions {
    uint32_t SuccessCodes[kMaxSuccessCodes];
    int SuccessCodeCount; // 0: the modes' own rule
    char Extension[kExtensionChars + 1]; // with its dot
    char StartDirectory[kPathChars + 1]; // expanded; empty: the host's
    bool OwnEnvironment;                 // the settings changed the program's environment
};

// The options that need nothing of the host: the exit codes and the
// extension. Returns false, with the "Error" box shown, for a value that is
// not valid; nothing of the run has happened then.
bool PrepareFileOptions(const ToolSettings &settings, RunOptions *options);

// The options that need the host's texts, as the last command-line
// expansion copied them: the start directory (expanded and checked to
// exist) and the environment (built from the host's). Returns false, with
// the "Error" box shown, when the run is refused.
bool PrepareStartOptions(const ToolSettings &settings, RunOptions *options);

platform::StartOptions StartOptionsOf(const RunOptions &options);

// Whether an exit code counts as success: with SuccessCodes, one of them;
// without, `withoutList` (0 only in filter mode; any code in file mode,
// which looks at none).
bool IsSuccessCode(const RunOptions &options, uint32_t code, bool anyWithoutList);

// The exit codes a SuccessCodes text lists: decimal numbers of at most 32
// bits separated by commas and blanks, at most kMaxSuccessCodes of them in
// at most kSuccessCodesChars characters. Returns false for anything else
// (an empty text gives no codes and is valid).
bool ParseSuccessCodes(const char *text, uint32_t *codes, int *count);

// The exchange file's extension with its dot, from the setting ("js" and
// ".js" both give ".js"; empty gives ".TMP"): letters, digits, "_", "-" and
// inner dots, at most 15 characters after the dot. Returns false for
// anything else.
bool ExchangeExtensionOf(const char *text, char *extension);
