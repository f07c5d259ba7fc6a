// The operating-system seam of exttool.
//
// Everything the plug-in needs from the system goes through the functions
// declared here, and nothing else in the module includes a system header.
// platform/win32/ implements them with the real kernel32 and user32 calls
// (named in each contract below); platform/posix/ implements them with our
// own stand-ins that keep the same contract.
//
// Texts are 8-bit, zero-terminated. Sizes are buffer sizes in bytes, the
// terminator included. No function allocates memory that the caller frees.
#pragma once

#include <cstdint>

namespace platform {

// What identifies the module's own file: the instance handle on Windows, an
// address inside the shared object on POSIX.
using ModuleHandle = void *;
// A window handle on Windows; unused (null) on POSIX.
using WindowHandle = void *;
// An open file; kInvalidFile when an open failed.
using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;
// A started process that has not been waited for yet; 0 when none.
using ProcessHandle = intptr_t;

// Longest path the platform hands out (MAX_PATH less the terminator).
constexpr int kMaxPath = 259;

// ---- Module -------------------------------------------------------------

// The module instance of this module, for builds without DllMain; called
// when the module is loaded. On POSIX it records the module's absolute path
// then, before the host can change its current directory. On Windows
// DllMain receives the instance from the loader and this is never called.
ModuleHandle CurrentModule();

// GetModuleFileNameW, converted into the ANSI code page (win32/
// ansi_path_win32.h): the full path of the module's file into `buffer`; where
// a folder's name holds characters the code page cannot write, the short 8.3
// form. Returns the length, or 0 on failure (buffer then empty). A path that
// does not fit, or that neither form can write, is a failure rather than a
// silently cut or altered path. On POSIX the path is the name the loader
// used, joined to the directory that was current at load ("." components
// dropped, ".." left to the kernel): a module reached through a link is
// known by the link's name.
uint32_t ModuleFileName(ModuleHandle module, char *buffer, uint32_t size);

// ---- Profile (INI) service ---------------------------------------------

// The blanks of the profile service: what GetPrivateProfileStringA drops at
// both ends of a value before it drops enclosing quotation marks, and around
// section and key names. Space, tab, vertical tab, form feed and Ctrl+Z
// (0x1A); a "\r" only ever ends a line.
constexpr bool IsProfileBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
}

// GetPrivateProfileStringA: the value of `key` in `section` of the INI file
// at `path`, or `defaultValue` when file, section or key is missing.
// Section and key names match without regard to case; a key present with an
// empty value gives an empty text; quotation marks (single or double)
// enclosing the whole value are dropped; at most size - 1 characters are
// kept. Returns the number of characters stored.
uint32_t ProfileReadString(const char *section, const char *key, const char *defaultValue,
                           char *buffer, uint32_t size, const char *path);

// WritePrivateProfileStringA: sets `key` in `section` to `value`, replacing
// the value where the key stands, appending a missing key at the end of its
// section and a missing section at the end of the file, creating a missing
// file. Every other line is kept. Returns false on failure, with the reason
// in LastError.
bool ProfileWriteString(const char *section, const char *key, const char *value, const char *path);
// GetPrivateProfileSectionA: every line of `section` of the INI file at
// `path` that is not blank, with the blanks at its ends dropped (comment
// lines may be among them), each followed by a zero byte, and one more zero
// byte after the last (an empty section or a missing file or section: two
// zero bytes). Lines are given as they stand, "=" or not (Wine drops the
// blanks around the first "=" and leaves ";" comment lines out). Where the
// lines do not fit into `size` bytes, the buffer ends with the last line that
// fits whole and size - 2 is returned (Windows: or the line before it, as
// what the system stores last may be cut and is left out). Otherwise
// returns the number of bytes stored, the final zero byte not counted.
uint32_t ProfileReadSection(const char *section, char *buffer, uint32_t size, const char *path);
// WritePrivateProfileSectionA: replaces the lines of `section` by `lines`
// (zero-terminated lines, an empty line ends them), appending a missing
// section at the end of the file and creating a missing file. Every line of
// other sections is kept. Returns false on failure, with the reason in
// LastError.
bool ProfileWriteSection(const char *section, const char *lines, const char *path);

// ---- Files and the exchange file --------------------------------------

// GetTempPathW, converted as ModuleFileName's path is: the system temporary
// directory, ending in a separator. Returns its length, 0 on failure (buffer
// then empty; LastError ERROR_BUFFER_OVERFLOW for a path longer than
// kMaxPath or than size - 1 characters).
uint32_t TempDirectory(char *buffer, uint32_t size);

// Creates a new, empty file with a unique name in `directory`, as
// GetTempFileNameA(directory, prefix, 0, path) names it: the prefix, one to
// four hexadecimal digits of a number from 1 to FFFF and `extension` (".TMP",
// or another one beginning with its dot, at most 16 characters), with a
// separator after a directory that lacks one; a name that is taken moves on
// to the next number, until all 65535 have been tried. Stores its full path
// (at most kMaxPath characters) in `path`, a buffer of kMaxPath + 1 bytes.
// A directory too long for the longest name is refused on every call.
// Windows: CreateFileA with CREATE_NEW and a protected DACL that grants
// access to the file's owner (OWNER RIGHTS) and SYSTEM alone, whatever the
// folder would hand down; a directory that does not exist is
// ERROR_DIRECTORY (267). POSIX: open with O_CREAT | O_EXCL and mode 0600;
// the descriptor it was made with is kept until the next start or the
// file's deletion, so that what another user puts in its place in a shared
// folder is never used; an extension without its dot, longer than 16
// characters or holding a "/" is refused (EINVAL).
// Returns false when no file could be made.
constexpr int kMaxExtensionChars = 16;
bool CreateUniqueFile(const char *directory, const char *prefix, const char *extension, char *path);

// CreateFileA, read and write access, no sharing, normal attributes.
// CreateAlways truncates an existing file; OpenExisting fails without one.
// POSIX: CreateAlways of a file CreateUniqueFile made gives a copy of the
// descriptor it was made with; OpenExisting and OpenShared refuse a link, a
// file that is not a regular one and a file of another user (EPERM).
FileHandle FileCreateAlways(const char *path);
FileHandle FileOpenExisting(const char *path);
// CreateFileA, read access, OPEN_EXISTING, shared for reading, writing and
// deletion: a capture file, which a process that inherited the program's
// handles (on Windows the console host that serves it) may hold a moment
// longer than the program lives.
FileHandle FileOpenShared(const char *path);
// One WriteFile / ReadFile call. Return false on failure; `done` receives the
// number of bytes moved.
bool FileWrite(FileHandle file, const void *data, uint32_t count, uint32_t *done);
bool FileRead(FileHandle file, void *data, uint32_t count, uint32_t *done);
// CloseHandle.
void FileClose(FileHandle file);
// DeleteFileA. Returns false on failure.
bool FileDelete(const char *path);

// ---- Processes -----------------------------------------------------------
// Whether `directory` exists and may be entered as a program's current
// directory (POSIX: a directory the user may search). Returns false, with
// LastError: Windows ERROR_DIRECTORY (267) for one that does not exist or is
// not a directory, or the system's code; POSIX errno (ENOENT, ENOTDIR,
// EACCES).
bool DirectoryUsable(const char *directory);
// ---- The program's environment ------------------------------------------
// A changed environment for the program: a copy of the host's, in a static
// block of the platform's own, that the calls below change. The host's own
// environment is never changed. Windows: GetEnvironmentStringsW, kept wide,
// so that every inherited variable stays exactly as it is (values outside
// the ANSI code page included), names compared without regard to case (as
// Windows does), and the "=C:"-style entries kept; the texts given below are
// ANSI, converted with MB_ERR_INVALID_CHARS. POSIX: `environ`, names
// compared exactly, texts taken as bytes.
enum class EnvironmentStatus {
    Done,
    Unknown,  // EnvironmentAppendValueOf: the copy has no such variable
    TooLong,  // the value being made (Windows: or a name) would exceed kEnvironmentValueChars characters
    Full,     // the block would exceed kEnvironmentBlockChars characters
    Invalid,  // a text with a zero byte, or a name that is empty or holds "=" (Windows: past
              // its first character), which no entry can carry; Windows: an ANSI text
              // that does not convert
};
// The longest value a variable may be given, and the whole block (names,
// "=", values and terminators), in characters (Windows: UTF-16 units).
constexpr uint32_t kEnvironmentValueChars = 1023;
constexpr uint32_t kEnvironmentBlockChars = 65536;
// Starts a new copy of the host's environment and an empty value being
// made. Full when the host's own does not fit.
EnvironmentStatus EnvironmentCopyHost();
// Appends `length` bytes of `text` to the value being made.
EnvironmentStatus EnvironmentAppendText(const char *text, uint32_t length);
// Appends the value the copy gives the variable named by `length` bytes of
// `name`; Unknown (nothing appended) when it has none.
EnvironmentStatus EnvironmentAppendValueOf(const char *name, uint32_t length);
// Gives the variable named by `length` bytes of `name` the value made, in
// place of any value it had, or removes it when the value is empty; then
// starts an empty value again.
EnvironmentStatus EnvironmentPut(const char *name, uint32_t length);
// How the program is started besides its command line.
struct StartOptions {
    const char *Directory; // its current directory; null: the host's
    bool OwnEnvironment;   // the copy the Environment calls made; false: the host's own, inherited
};

// The program a command line names, as ProcessStart is to start it.
struct ProgramFound {
    char Path[kMaxPath + 1];
    // Windows: a batch file (.bat or .cmd, in any case, trailing dots and
    // blanks ignored) or cmd.exe itself, which reads the whole command line by
    // cmd's own rules; always false on POSIX, where no shell is run.
    bool ThroughCommandInterpreter;
};

// Finds the program the first item of `commandLine` names, never in the
// current directory, where a document's folder may have put one.
// Windows: a quoted first item is the text between its quotes; an unquoted
// one ends at a blank, except that an unquoted path (holding "\", "/" or
// ":") followed by blanks is the longest part of the line, ending at a blank,
// that names an existing file (with its double quotes, which no file name
// holds, left out), never a shorter one. ".exe" is appended to a name
// without an extension, as CreateProcessA does. A path keeps its meaning
// (".\tool.exe" is the current directory's, on purpose); a bare name is
// looked for in the folder of the host's program, GetSystemDirectoryA,
// GetWindowsDirectoryA and the absolute entries of PATH, in this order.
// POSIX: the first item by the Windows argv rules (argv_split.h); an
// absolute path is taken as it is, a relative one with a "/" is joined to
// getcwd (its leading "./" dropped), a bare name is looked for in the
// absolute entries of PATH (empty ones, "." and relative ones skipped;
// "/bin:/usr/bin" when PATH is not set) as an executable regular file.
// With `ownEnvironment`, PATH is the one the Environment calls made (Windows:
// its entries that the ANSI code page can write). A relative path with a
// separator is taken from the host's current directory on both systems,
// whatever StartOptions.Directory is: POSIX makes it absolute here.
// Returns false, with LastError 2 (ERROR_FILE_NOT_FOUND, ENOENT), when a bare
// name is found nowhere or the line names no program.
bool FindProgram(const char *commandLine, bool ownEnvironment, ProgramFound *found);

// CreateProcessA with `program` as the application name (lpApplicationName,
// as FindProgram found it) and `commandLine`, unchanged, as the whole command
// line (POSIX: posix_spawn of `program` with the items of `commandLine`,
// split by the Windows argv rules, as its arguments), no inheritance of the host's handles, normal priority,
// the host's environment and current directory. On Windows the program is
// created suspended, put into a job object of its own (JOB_OBJECT_LIMIT_
// BREAKAWAY_OK, so a child that asks to leave it may) and only then resumed,
// so that every process it starts is in the job; where the host's own job
// refuses a nested one, the program runs without a job. On POSIX the program
// starts with no signal blocked and every signal at its default action,
// whatever the host blocks or ignores. Returns 0 when the program could not
// be started (LastError tells why).
// `options` give the current directory (Windows: lpCurrentDirectory; POSIX:
// posix_spawn_file_actions_addchdir_np) and the environment (Windows: the
// wide block with CREATE_UNICODE_ENVIRONMENT; POSIX: the copy as envp);
// without them the program inherits the host's.
ProcessHandle ProcessStart(const char *program, const char *commandLine, const StartOptions &options);

// ProcessStart with the three standard handles given: standard input reads
// the file at `inputPath` from its start, standard output and standard error
// write the existing files at `outputPath` and `errorPath` from their start.
// These three are the only handles the program inherits (Windows: an
// extended start-up record whose PROC_THREAD_ATTRIBUTE_HANDLE_LIST holds
// exactly them; POSIX: every other descriptor closed), a console program gets
// no console window (CREATE_NO_WINDOW), and the host keeps none of them open
// once the program runs. On POSIX the program leads a process group of its
// own (POSIX_SPAWN_SETPGROUP), so that it and everything it starts can be
// ended together, and a file CreateUniqueFile made is handed on through the
// descriptor it was made with, not opened again by name. Returns 0 when a file could not be opened or the program
// not started (LastError tells why).
ProcessHandle ProcessStartRedirected(const char *program, const char *commandLine, const StartOptions &options,
                                     const char *inputPath, const char *outputPath, const char *errorPath);

// How a waited-for process ended. The last six are runs the wait itself
// ended: the program and what it started were ended, and nothing it left
// is to be used.
enum class EndKind {
    Exited,             // Code: the exit code (Windows: all 32 bits)
    Signalled,          // Code: the signal's number (POSIX)
    Unknown,            // the status could not be had
    Cancelled,          // the user pressed Cancel (POSIX: SIGINT), or the owner window went
    TimedOut,           // the time limit was reached
    OutputTooLong,      // the standard-output capture outgrew its bound
    ErrorOutputTooLong, // the standard-error capture outgrew its bound
    WantedTerminal,     // POSIX: the program in a group of its own stopped to use the terminal
    WaitFailed,         // the wait itself failed; Code: the system's error code
};
struct ProcessEnd {
    EndKind Kind;
    uint32_t Code;
};

// What the wait watches besides the program's end.
struct WaitLimits {
    uint32_t Seconds;        // the time limit; 0: none
    const char *OutputPath;  // filter mode: the capture files, whose sizes are
    const char *ErrorPath;   // checked at least ten times a second; null: none
    uint32_t OutputBytes;    // the most each capture may hold
    uint32_t ErrorBytes;
    ModuleHandle Module;     // Windows: the module whose dialog template 102 is shown
    WindowHandle Owner;      // Windows: the wait window's owner (may be null)
    const char *Title;       // Windows: the wait window's caption
    const char *CommandLine; // Windows: the command line it shows
};

// Waits until the started process has ended or one of `limits` ends it, then
// closes every handle of it; returns how the run ended (Exited and
// Signalled as the status tells, Unknown when it could not be had, as when
// another reaper, a host that ignores SIGCHLD, took the child first). The
// wait wakes on the process's end (Windows: MsgWaitForMultipleObjects on its
// handle; POSIX: ppoll on a pidfd, or 10 ms steps where none can be had),
// and otherwise only for the limits.
//
// Windows: half a second after the wait began, a still running program gets
// the wait window, dialog template 102: owned by `Owner` (none where that is
// null or no longer a window) and centred on it as it stands when restored
// (on the primary monitor without an owner), kept inside the work area of
// the nearest monitor, titled `Title`, showing `CommandLine` (cut with an
// ellipsis) and the seconds elapsed, with one button, Cancel, which Esc and
// Enter also press. A window that cannot be made is tried again once a
// second. From the half second on every message of the thread is
// dispatched, a bounded number per turn so that the program's end and the
// limits are looked at on every turn (MsgWaitForMultipleObjectsEx with the
// QS_ALLINPUT of Windows Vista and 7, 0x04FF); while the window shows it is
// modal like a message box: `Owner` is disabled, and keyboard and mouse
// messages for any other window (also those queued before the window
// appeared) are dropped, so none reaches the host's text. An owner destroyed
// during the wait ends it as Cancel does. When the wait ends the owner is
// enabled and activated again. A wait that fails ends the program
// (WaitFailed), never taken for its end.
//
// Ending a run: Windows ends the job (TerminateJobObject), or the program
// alone where it has none, and waits up to five seconds for it to go,
// handling the thread's messages as before. POSIX sends SIGTERM to the program's process
// group (a program from ProcessStartRedirected) or to the program alone,
// then SIGKILL to whatever is left as soon as the program itself has ended
// or after one second; SIGCONT goes with SIGTERM, for a stopped program. The
// program alone is signalled through its pidfd where it has one. A program
// that ends by itself ends nothing else: whatever it started keeps running.
//
// POSIX: a program in a group of its own that stops to read the terminal or
// change its settings (SIGTTIN, SIGTTOU: the terminal is the host's) is seen
// at the next look at the captures and ended, as WantedTerminal. A wait
// that cannot sleep on the pidfd (ppoll fails) sleeps in steps instead and
// never takes the failure for the program's end.
//
// POSIX: SIGINT is Cancel. A handler of the module's own is installed for
// the wait only and the host's disposition restored after it; a SIGINT the
// handler forwarded to the waiting thread is taken before that, so none
// reaches the host's handler.
ProcessEnd ProcessWaitWithLimits(ProcessHandle process, const WaitLimits &limits);

// ---- Character sets --------------------------------------------------------

// The character sets a text moves between: the ANSI code page the host's
// text is in (CP_ACP; on POSIX the character set of the user's environment),
// the OEM code page (CP_OEMCP; on POSIX the ANSI one) and UTF-8.
enum class Charset { Ansi, Oem, Utf8 };
enum class CharsetKind {
    Utf8,   // the set is UTF-8 itself (code page 65001, a UTF-8 locale)
    AsAnsi, // Oem only: the OEM set is the ANSI one, so nothing converts
    Other,
};

// GetACP / GetOEMCP; POSIX: nl_langinfo_l(CODESET) of
// newlocale(LC_CTYPE_MASK, "", 0), which leaves the host's own locale alone
// and works for a host that never called setlocale. Writes how messages name
// the set ("code page 1252", "character set ISO-8859-1"; "UTF-8" for
// Charset::Utf8) into `name` and returns its kind.
CharsetKind DescribeCharset(Charset charset, char *name, uint32_t size);

// The longest text either conversion takes: a program's output may hold
// three bytes for each of the 102,400 the host takes, and a byte-order mark.
constexpr uint32_t kMaxConvertedBytes = 3 * 102400 + 3;

enum class Conversion {
    Done,
    Invalid,         // the source holds bytes that are not valid in its character set
    Unrepresentable, // the target cannot hold a character of the source
    TooLong,         // the whole result does not fit into the buffer
};

// MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS), then WideCharToMultiByte
// into CP_UTF8 (no flags: Windows refuses both below for UTF-8) or CP_OEMCP
// (WC_NO_BEST_FIT_CHARS, and lpUsedDefaultChar watched, so no look-alike or
// "?" ever stands in); POSIX: iconv from the user's character set to UTF-8,
// and for Oem a plain copy. `target` is Utf8 or Oem. Converts `length` bytes
// of `text` (zero bytes included; at most kMaxConvertedBytes) into `buffer`
// of `size` bytes, stores the number of bytes made in `done`, adds no
// terminator and no byte-order mark.
// A result that does not fit is TooLong (buffer content then undefined).
Conversion ConvertFromAnsi(Charset target, const char *text, uint32_t length, char *buffer, uint32_t size,
                           uint32_t *done);

// The way back: MultiByteToWideChar(CP_UTF8 or CP_OEMCP,
// MB_ERR_INVALID_CHARS), then WideCharToMultiByte(CP_ACP) with
// WC_NO_BEST_FIT_CHARS and lpUsedDefaultChar (neither where the ANSI code
// page is UTF-8); POSIX: iconv from UTF-8 to the user's character set, and
// for Oem a plain copy. `source` is Utf8 or Oem. Any character the ANSI set
// cannot hold anywhere in the text makes it Unrepresentable. A result longer
// than `size` bytes is TooLong, with the longest run of whole characters that
// fits in `buffer` and its length in `done`. `lossy` is for text that is only
// shown: an invalid byte or a character without an ANSI form becomes "?",
// and only TooLong can still come back.
Conversion ConvertToAnsi(Charset source, const char *text, uint32_t length, char *buffer, uint32_t size,
                         uint32_t *done, bool lossy);

// The longest start of `length` bytes of `text`, in the ANSI set, that holds
// at most `limit` bytes and ends between whole characters: a double-byte
// set's lead byte (IsDBCSLeadByteEx) or a UTF-8 character is never parted
// from the rest of its character. A byte that begins no character counts as
// one; where the set cannot be looked at, `limit`.
uint32_t WholeAnsiCharacters(const char *text, uint32_t length, uint32_t limit);

// ---- Errors and messages ------------------------------------------------

// GetLastError: the code of the last failed platform call on this thread.
uint32_t LastError();
// FormatMessageA (system text, inserts ignored, user's default language):
// the system's message text for `code`, cut to size - 1 characters. Leaves
// `buffer` empty when there is no text.
void SystemMessage(uint32_t code, char *buffer, uint32_t size);
// MessageBoxA with MB_OK | MB_ICONERROR, owned by `owner` (may be null).
// Returns when the user has closed it. On POSIX "title: text" goes to
// standard error, its control bytes but "\n" and "\t", and DEL, shown as
// "?", and a host program that exports
// `extern "C" void PluginHostMessageShown()` has it called each time.
void ShowErrorBox(WindowHandle owner, const char *text, const char *title);

// ---- Settings dialog -----------------------------------------------------

// Dialog item identifiers of dialog template 101.
constexpr int kSettingsDialogTemplate = 101;
constexpr int kItemReadOnly = 1000;
constexpr int kItemDeleteTemp = 1001;
constexpr int kItemWorkingDirectory = 1006;
constexpr int kItemCommandLine = 1007;
constexpr int kItemMenuItem = 1008;
constexpr int kItemFilter = 1009;
constexpr int kItemTimeout = 1010; // an ES_NUMBER edit
constexpr int kItemEncoding = 1011; // a drop-down list
constexpr int kItemStartDirectory = 1012;
constexpr int kItemEnvironment = 1013; // multi-line: one NAME=value a line, lines ended by "\r\n"
constexpr int kItemSuccessCodes = 1014;
constexpr int kItemExchangeExtension = 1015;
constexpr int kCommandOk = 1;
constexpr int kCommandCancel = 2;

using DialogHandle = void *;

// DialogBoxParamA(module, template 101, owner, procedure, 0): shows the
// settings dialog modally and returns its end code (1 OK, 2 Cancel), or the
// platform's failure value. The dialog calls SettingsDialogInit and
// SettingsDialogCommand (settings/settings_dialog.h) for its logic.
intptr_t ShowSettingsDialog(ModuleHandle module, WindowHandle owner);
// SetDlgItemTextA / GetDlgItemTextA (cut to size - 1 characters).
void DialogSetText(DialogHandle dialog, int item, const char *text);
void DialogGetText(DialogHandle dialog, int item, char *buffer, uint32_t size);
// BM_SETCHECK / BM_GETCHECK: 1 checked, 0 not.
void DialogSetCheck(DialogHandle dialog, int item, bool checked);
bool DialogGetCheck(DialogHandle dialog, int item);
// CB_ADDSTRING / CB_SETCURSEL / CB_GETCURSEL of a drop-down list: appends a
// choice, selects the one at `index` (from 0, in the order added), and gives
// the selected one's index (-1: none).
void DialogAddChoice(DialogHandle dialog, int item, const char *text);
void DialogSetChoice(DialogHandle dialog, int item, int index);
int DialogGetChoice(DialogHandle dialog, int item);
// EndDialog.
void DialogEnd(DialogHandle dialog, intptr_t result);

} // namespace platform
