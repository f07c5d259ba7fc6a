// plugin-host: loads an exttool module the way a host application does,
// fills a HostRecord with texts and callbacks of its own, and calls the
// module's entry points. It is how the plug-in is tried out without the
// real host.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#define dup _dup
#define dup2 _dup2
#define fdopen _fdopen
#define close _close
#else
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/file_replace_posix.h"
#endif

#include "plugin/host_contract.h"
#include "settings/settings_file.h"

namespace {

const char kUsage[] =
    "usage: plugin-host [COMMAND] [OPTIONS] MODULE\n"
    "\n"
    "Loads the plug-in MODULE (exttool.so or exttool.dll), installs it with OnInstall\n"
    "and prints the plug-in kind and caption it reports. The settings file is the\n"
    "module's path with the extension \"ini\" (exttool.ini beside the module).\n"
    "\n"
    "Commands:\n"
    "  install            only install the module (the default)\n"
    "  run                install, then call OnCall once: the text from --input goes\n"
    "                     to the external tool, and what comes back through PutText\n"
    "                     is written to --output (kind and caption, and what the\n"
    "                     tool prints, go to standard error, so standard output\n"
    "                     holds only the returned text). When no text comes back\n"
    "                     (a failed run, ReadOnly=1), --output is not touched:\n"
    "                     --input and --output may name the same file\n"
    "  settings           install, then call OnSettings (the settings dialog)\n"
    "\n"
    "Options:\n"
    "  --input FILE       text handed out through GetText (\"-\": standard input;\n"
    "                     default: an empty text); at most 102400 bytes are used\n"
    "  --output FILE      where the text received by PutText goes (\"-\": standard\n"
    "                     output, the default); written only once the run is over\n"
    "  --text-n TEXT      HostRecord.TextN, the value of %N (also --text-u, --text-o,\n"
    "                     --text-d, --text-p for %u, %o, %d, %p); at most 63 characters\n"
    "  --context N        the context value GetContext hands out (default 0)\n"
    "  --no-get-context   leave the GetContext slot null\n"
    "  --no-get-text      leave the GetText slot null (a run then does nothing)\n"
    "  --no-put-text      leave the PutText slot null\n"
    "  --verbose          report every callback on standard error, and whether the\n"
    "                     run used the exchange file or filter mode (Filter=1)\n"
    "  --help             show this text\n"
    "\n"
    "Exit codes: 0 done (a run that showed no message), 1 a run that showed a\n"
    "message (an \"Error\" or \"Execute Error!\" box; on Linux a line on standard\n"
    "error), 2 wrong usage, a module that cannot be loaded or lacks an entry point,\n"
    "or an --input or --output file that cannot be read or written.\n";

#if defined(_WIN32) && !defined(_WIN64)
#define HOST_CALL __stdcall
#else
#define HOST_CALL
#endif

typedef int32_t(HOST_CALL *OnInstallFunction)(InstallRecord *, HostRecord *);
typedef void(HOST_CALL *OnCallFunction)();
typedef int32_t(HOST_CALL *OnSettingsFunction)();

struct Options {
    const char *command = "install";
    const char *module = nullptr;
    const char *input = nullptr;
    const char *output = "-";
    int32_t context = 0;
    bool getContext = true;
    bool getText = true;
    bool putText = true;
    bool verbose = false;
    const char *texts[5] = {"", "", "", "", ""}; // N, U, O, D, P
};

Options g_Options;
// The host's side of the exchange: what GetText hands out.
char g_Text[kTextCapacity + 1];
size_t g_TextLength;
// The text that came back, written to --output once the run is over.
char g_Returned[kTextCapacity + 1];
size_t g_ReturnedLength;
int g_PutTextCalls;
int g_MessagesShown;

void HOST_CALL HostGetContext(int32_t *context) {
    if (g_Options.verbose) fprintf(stderr, "plugin-host: GetContext -> %ld\n", static_cast<long>(g_Options.context));
    *context = g_Options.context;
}

void HOST_CALL HostGetText(int32_t context, char *buffer, int32_t capacity) {
    if (g_Options.verbose)
        fprintf(stderr, "plugin-host: GetText(context %ld, capacity %ld) -> %zu bytes\n", static_cast<long>(context),
                static_cast<long>(capacity), g_TextLength);
    size_t length = g_TextLength;
    if (capacity < 0) return;
    if (length > static_cast<size_t>(capacity)) length = static_cast<size_t>(capacity);
    memcpy(buffer, g_Text, length);
    if (length < static_cast<size_t>(capacity)) buffer[length] = '\0';
}

void HOST_CALL HostPutText(int32_t context, const char *text) {
    const size_t length = strlen(text);
    if (g_Options.verbose)
        fprintf(stderr, "plugin-host: PutText(context %ld) <- %zu bytes\n", static_cast<long>(context), length);
    ++g_PutTextCalls;
    g_ReturnedLength = length < sizeof g_Returned ? length : sizeof g_Returned - 1;
    memcpy(g_Returned, text, g_ReturnedLength);
}

} // namespace

// Called by the module's message stand-in on POSIX each time it shows a
// message; exported from the program for the module to find.
extern "C" __attribute__((visibility("default"))) void PluginHostMessageShown() { ++g_MessagesShown; }

namespace {

#if defined(_WIN32)
// On Windows every message of a run is a message box (a dialog of class
// "#32770") created on this thread; a CBT hook counts them.
HHOOK g_BoxWatch;

LRESULT CALLBACK CountMessageBoxes(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        char className[16] = {};
        GetClassNameA(reinterpret_cast<HWND>(wParam), className, sizeof className);
        if (strcmp(className, "#32770") == 0) PluginHostMessageShown();
    }
    return CallNextHookEx(g_BoxWatch, code, wParam, lParam);
}

void WatchMessageBoxes(bool on) {
    if (on)
        g_BoxWatch = SetWindowsHookExA(WH_CBT, CountMessageBoxes, nullptr, GetCurrentThreadId());
    else if (g_BoxWatch)
        UnhookWindowsHookEx(g_BoxWatch);
}
#else
void WatchMessageBoxes(bool) {}
#endif

#if defined(_WIN32)
// The text into a new file beside `name`, which then replaces it
// (ReplaceFileA keeps the old file's attributes and security) or, where
// there is none yet, takes its name. Returns false, with the new file gone
// and the old one as it was, when any step fails.
bool ReplaceFileWith(const char *name, const char *data, size_t length) {
    char sibling[MAX_PATH + 32];
    if (snprintf(sibling, sizeof sibling, "%s.%lu.tmp", name, GetCurrentProcessId()) >= static_cast<int>(sizeof sibling)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const HANDLE file = CreateFileA(sibling, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return errno = EACCES, false;
    DWORD written = 0;
    bool ok = (length == 0 || WriteFile(file, data, static_cast<DWORD>(length), &written, nullptr)) &&
              written == length && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    if (ok && GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES)
        ok = ReplaceFileA(name, sibling, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    else if (ok)
        ok = MoveFileExA(sibling, name, MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        DeleteFileA(sibling);
        errno = EIO;
    }
    return ok;
}
#else
// The text through a new file beside `name` that replaces it in one step,
// as the module saves its settings file: the old file's owner, group and
// mode are kept, a link stays a link, and any failure leaves the old file
// whole. Where that way is refused (a sticky folder, a file with more than
// one name) the file is written in place, with its room reserved first.
bool ReplaceFileWith(const char *name, const char *data, size_t length) {
    char target[4096];
    if (!platform::FollowLinks(name, target, sizeof target)) return false;
    const int in = platform::OpenFileToEdit(target);
    if (in < 0 && errno != ENOENT) return false;
    struct stat status {};
    if (in >= 0 && fstat(in, &status) != 0) {
        const int error = errno;
        close(in);
        errno = error;
        return false;
    }
    platform::FileEdit edit{};
    edit.replaceTo = edit.fileLength = in >= 0 ? status.st_size : 0;
    edit.pieces[0] = data;
    edit.lengths[0] = length;
    edit.count = 1;
    edit.length = static_cast<off_t>(length);
    // A size limit fails the write (EFBIG) rather than ending the host.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    const bool ok = platform::ReplaceFileContent(target, in, edit);
    const int error = errno;
    sigaction(SIGXFSZ, &previous, nullptr);
    if (in >= 0) close(in);
    errno = error;
    return ok;
}
#endif

// The returned text into `name` ("-": standard output). A file is replaced
// only once the whole text is in a new file, so that --output may be the
// --input file and a failed write never leaves it cut short.
bool WriteReturnedText(const char *name) {
    bool ok;
    if (strcmp(name, "-") == 0)
        ok = fwrite(g_Returned, 1, g_ReturnedLength, stdout) == g_ReturnedLength && fflush(stdout) == 0;
    else
        ok = ReplaceFileWith(name, g_Returned, g_ReturnedLength);
    if (!ok) fprintf(stderr, "plugin-host: cannot write %s: %s\n", name, strerror(errno));
    return ok;
}

int Fail(const char *format, const char *detail) {
    fprintf(stderr, "plugin-host: ");
    fprintf(stderr, format, detail);
    fprintf(stderr, "\n");
    return 2;
}

bool IsCommand(const char *word) {
    return strcmp(word, "install") == 0 || strcmp(word, "run") == 0 || strcmp(word, "settings") == 0;
}

// Returns 0 when the options are complete, 1 after --help, 2 on a mistake.
int ParseOptions(int argc, char **argv) {
    static const char *const textOptions[5] = {"--text-n", "--text-u", "--text-o", "--text-d", "--text-p"};
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const bool hasValue = i + 1 < argc;
        bool matched = false;
        for (int t = 0; t < 5; ++t) {
            if (strcmp(arg, textOptions[t]) != 0) continue;
            if (!hasValue) return Fail("%s needs a text", arg);
            g_Options.texts[t] = argv[++i];
            if (strlen(g_Options.texts[t]) > static_cast<size_t>(kHostTextChars))
                return Fail("%s: a host text holds at most 63 characters", arg);
            matched = true;
        }
        if (matched) continue;
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(kUsage, stdout);
            return 1;
        } else if (strcmp(arg, "--input") == 0 && hasValue) {
            g_Options.input = argv[++i];
        } else if (strcmp(arg, "--output") == 0 && hasValue) {
            g_Options.output = argv[++i];
        } else if (strcmp(arg, "--context") == 0 && hasValue) {
            char *end = nullptr;
            const long value = strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < INT32_MIN || value > INT32_MAX) return Fail("--context: not a 32-bit number: %s", argv[i]);
            g_Options.context = static_cast<int32_t>(value);
        } else if (strcmp(arg, "--no-get-context") == 0) {
            g_Options.getContext = false;
        } else if (strcmp(arg, "--no-get-text") == 0) {
            g_Options.getText = false;
        } else if (strcmp(arg, "--no-put-text") == 0) {
            g_Options.putText = false;
        } else if (strcmp(arg, "--verbose") == 0) {
            g_Options.verbose = true;
        } else if (arg[0] == '-' && arg[1] == '-') {
            return Fail("unknown option or missing value: %s (see --help)", arg);
        } else if (IsCommand(arg) && !g_Options.module) {
            g_Options.command = arg;
        } else if (!g_Options.module) {
            g_Options.module = arg;
        } else {
            return Fail("one module only: %s (see --help)", arg);
        }
    }
    if (!g_Options.module) return Fail("%s", "no module named (see --help)");
    return 0;
}

bool ReadInput(const char *name) {
    g_TextLength = 0;
    if (!name) return true;
    FILE *file = strcmp(name, "-") == 0 ? stdin : fopen(name, "rb");
    if (!file) {
        fprintf(stderr, "plugin-host: cannot read %s: %s\n", name, strerror(errno));
        return false;
    }
    g_TextLength = fread(g_Text, 1, kTextCapacity, file);
    if (g_TextLength == static_cast<size_t>(kTextCapacity) && fgetc(file) != EOF)
        fprintf(stderr, "plugin-host: %s holds more than %d bytes; the rest is not handed out\n", name, kTextCapacity);
    if (file != stdin) fclose(file);
    return true;
}

struct Module {
    OnInstallFunction onInstall;
    OnCallFunction onCall;
    OnSettingsFunction onSettings;
    void *identity; // what the module's own code knows itself by
};

#if defined(_WIN32)
void *OpenModule(const char *path) {
    HMODULE handle = LoadLibraryA(path);
    if (!handle) fprintf(stderr, "plugin-host: cannot load %s: error %lu\n", path, GetLastError());
    return reinterpret_cast<void *>(handle);
}

void *FindEntry(void *module, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

// The instance handle, as DllMain hands it to the module.
void *IdentityOf(void *handle, const Module &) { return handle; }
#else
void *OpenModule(const char *path) {
    // dlopen searches the library path for a bare name; a module is named by path.
    char local[4096];
    if (!strchr(path, '/') && snprintf(local, sizeof local, "./%s", path) < static_cast<int>(sizeof local)) path = local;
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) fprintf(stderr, "plugin-host: cannot load %s\n", dlerror());
    return handle;
}

void *FindEntry(void *module, const char *name) { return dlsym(module, name); }

// An address inside the shared object, as the module knows itself.
void *IdentityOf(void *, const Module &module) { return reinterpret_cast<void *>(module.onCall); }
#endif

bool LoadModule(const char *path, Module &module) {
    void *handle = OpenModule(path);
    if (!handle) return false;
    module.onInstall = reinterpret_cast<OnInstallFunction>(FindEntry(handle, "OnInstall"));
    module.onCall = reinterpret_cast<OnCallFunction>(FindEntry(handle, "OnCall"));
    module.onSettings = reinterpret_cast<OnSettingsFunction>(FindEntry(handle, "OnSettings"));
    module.identity = IdentityOf(handle, module);
    return true;
}

// Whether the module's settings file turns filter mode on, found and read
// by the module's own settings code. Only for the --verbose report; the
// module reads the file itself when it is installed.
bool FilterModeIsOn(const Module &module) {
    static ToolSettings settings;
    static char settingsPath[kSettingsPathChars + 1];
    LoadSettings(module.identity, &settings, settingsPath);
    return settings.Filter != 0;
}

void FillHostRecord(HostRecord &record) {
    memset(&record, 0, sizeof record);
    char *const fields[5] = {record.TextN, record.TextU, record.TextO, record.TextD, record.TextP};
    for (int t = 0; t < 5; ++t) snprintf(fields[t], 64, "%s", g_Options.texts[t]);
    record.GetContext = g_Options.getContext ? HostGetContext : nullptr;
    record.GetText = g_Options.getText ? HostGetText : nullptr;
    record.PutText = g_Options.putText ? HostPutText : nullptr;
#if defined(_WIN32)
    record.OwnerWindow = GetConsoleWindow();
#endif
}

} // namespace

int main(int argc, char **argv) {
#if defined(_WIN32)
    // The text goes through standard input and output byte for byte, as
    // through --input and --output files: no "\r\n" translation.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const int parsed = ParseOptions(argc, argv);
    if (parsed != 0) return parsed == 1 ? 0 : 2;

    Module module{};
    if (!LoadModule(g_Options.module, module)) return 2;
    const char *const names[3] = {"OnInstall", "OnCall", "OnSettings"};
    const bool present[3] = {module.onInstall != nullptr, module.onCall != nullptr, module.onSettings != nullptr};
    for (int i = 0; i < 3; ++i)
        if (!present[i]) return Fail("the module lacks the entry point %s", names[i]);

    static HostRecord record;
    FillHostRecord(record);
    InstallRecord install;
    memset(&install, 0, sizeof install);
    module.onInstall(&install, &record);
    // With "run", standard output carries only the returned text.
    const bool run = strcmp(g_Options.command, "run") == 0;
    fprintf(run ? stderr : stdout, "plugin kind: %ld\ncaption: %.30s\n", static_cast<long>(install.PluginKind),
            install.Caption);
    fflush(stdout);

    if (run) {
        if (!ReadInput(g_Options.input)) return 2;
        // The tool inherits the host's standard output (on Windows the
        // standard handle, which _dup2 sets as well). For the run it is
        // pointed at standard error, and the returned text goes to the
        // standard output the host was given, so that nothing else lands there.
        fflush(stdout);
        const int text = dup(fileno(stdout));
        if (g_Options.verbose)
            fprintf(stderr, "plugin-host: OnCall in %s\n",
                    FilterModeIsOn(module) ? "filter mode (the text through the program's standard input "
                                                       "and output)"
                                                     : "file mode (the text through the exchange file)");
        dup2(fileno(stderr), fileno(stdout));
        WatchMessageBoxes(true);
        module.onCall();
        WatchMessageBoxes(false);
        fflush(stdout);
        dup2(text, fileno(stdout));
        close(text);
        if (g_PutTextCalls == 0)
            fprintf(stderr, "plugin-host: no text came back (PutText was not called); %s is left as it was\n",
                    strcmp(g_Options.output, "-") == 0 ? "standard output" : g_Options.output);
        else if (!WriteReturnedText(g_Options.output))
            return 2;
        return g_MessagesShown > 0 ? 1 : 0;
    } else if (strcmp(g_Options.command, "settings") == 0) {
        const int32_t result = module.onSettings();
        printf("settings dialog closed with %ld (%s)\n", static_cast<long>(result),
               result == 1 ? "OK" : result == 2 ? "Cancel" : "not shown");
    }
    return 0;
}
