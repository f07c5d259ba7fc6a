// What one OnCall costs beyond starting the external program: an OnCall of a
// 100 KB text through a tool, against a bare posix_spawn + waitpid of the
// same tool in the same process.
//   OnCall/nothing      vs  Spawn/nothing      (a tool that does nothing)
//   OnCall/upper_case   vs  Spawn/upper_case   (a tool that rewrites the file)
// and what filter mode costs beside file mode, with the same program moving
// the same 100 KB:
//   Filter/cat          vs  File/cat           (cat, reading standard input
//                                               vs reading the exchange file)
// and what Encoding=UTF-8 costs beside ANSI, the same 100 KB of ASCII through
// cat in filter mode (converted both ways from the character set of the
// environment's locale, or only checked where that is UTF-8):
//   Utf8/cat            vs  Filter/cat
// and what the run options cost, the same OnCall with a StartDirectory and
// an [Environment] of three lines (one of them extending PATH):
//   Options/upper_case  vs  OnCall/upper_case
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "plugin/host_contract.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

constexpr size_t kTextBytes = 100 * 1024;

std::string g_Text;
size_t g_Returned;

void GetText(int32_t, char *buffer, int32_t capacity) {
    const size_t length = std::min(g_Text.size(), static_cast<size_t>(capacity));
    memcpy(buffer, g_Text.data(), length);
    if (length < static_cast<size_t>(capacity)) buffer[length] = '\0';
}
void PutText(int32_t, const char *text) { g_Returned = strlen(text); }

struct Module {
    void *handle;
    int32_t (*onInstall)(InstallRecord *, const HostRecord *);
    void (*onCall)();
};

HostRecord g_Host;

fs::path ScratchDirectory() {
    fs::path directory = fs::temp_directory_path() / ("exttool-bench-" + std::to_string(getpid()));
    fs::create_directories(directory);
    return directory;
}

// A copy of the module with its own exttool.ini, loaded like a host does.
Module LoadModule(const fs::path &directory, const std::string &commandLine, bool filter = false,
                  const char *encoding = "ANSI", const std::string &options = "") {
    const fs::path moduleDirectory = directory / "module";
    fs::create_directories(moduleDirectory);
    fs::copy_file(EXTTOOL_MODULE_FILE, moduleDirectory / "exttool.so", fs::copy_options::overwrite_existing);
    std::ofstream(moduleDirectory / "exttool.ini") << "[Settings]\nReadOnly=0\nDeleteTemp=1\nFilter="
                                                   << (filter ? 1 : 0) << "\nEncoding=" << encoding
                                                   << "\n[Path]\nWorkingDirectory="
                                                   << directory.string() << "\nCommandLine=" << commandLine << "\n"
                                                   << options;
    Module module{};
    module.handle = dlopen((moduleDirectory / "exttool.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module.handle) {
        fprintf(stderr, "cannot load the module: %s\n", dlerror());
        exit(1);
    }
    module.onInstall = reinterpret_cast<decltype(module.onInstall)>(dlsym(module.handle, "OnInstall"));
    module.onCall = reinterpret_cast<decltype(module.onCall)>(dlsym(module.handle, "OnCall"));
    g_Host.GetText = GetText;
    g_Host.PutText = PutText;
    InstallRecord record{};
    module.onInstall(&record, &g_Host);
    return module;
}

void CallRun(benchmark::State &state, const char *tool, bool withOptions) {
    g_Text.assign(kTextBytes, 'x');
    const fs::path directory = ScratchDirectory();
    const std::string options = "StartDirectory=" + directory.string() +
                                "\n[Environment]\nPYTHONUTF8=1\nLC_ALL=C\nPATH=/opt/tools:%PATH%\n";
    Module module = LoadModule(directory, std::string(tool) + " %f", false, "ANSI", withOptions ? options : "");
    for (auto _ : state) module.onCall();
    if (g_Returned != kTextBytes) state.SkipWithError("the text did not come back whole");
    dlclose(module.handle);
    fs::remove_all(directory);
}
void OnCall(benchmark::State &state, const char *tool) { CallRun(state, tool, false); }
void Options(benchmark::State &state, const char *tool) { CallRun(state, tool, true); }

// cat with the text as its standard input (filter mode) or as the exchange
// file named by %f (file mode, where its output goes to the host's standard
// output, here /dev/null). Either way cat reads and writes 100 KB.
void CatRun(benchmark::State &state, bool filter, const char *encoding = "ANSI") {
    g_Text.assign(kTextBytes, 'x');
    const fs::path directory = ScratchDirectory();
    Module module = LoadModule(directory, filter ? "cat" : "cat %f", filter, encoding);
    fflush(stdout);
    const int savedOut = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    g_Returned = 0;
    for (auto _ : state) module.onCall();
    dup2(savedOut, STDOUT_FILENO);
    close(savedOut);
    close(null);
    if (g_Returned != kTextBytes) state.SkipWithError("the text did not come back whole");
    dlclose(module.handle);
    fs::remove_all(directory);
}
void Filter(benchmark::State &state, const char *) { CatRun(state, true); }
void File(benchmark::State &state, const char *) { CatRun(state, false); }
void Utf8(benchmark::State &state, const char *) { CatRun(state, true, "UTF-8"); }

void Spawn(benchmark::State &state, const char *tool) {
    const fs::path directory = ScratchDirectory();
    const std::string file = (directory / "bare.txt").string();
    std::ofstream(file) << std::string(kTextBytes, 'x');
    char *argv[] = {const_cast<char *>(tool), const_cast<char *>(file.c_str()), nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        if (posix_spawn(&pid, tool, nullptr, nullptr, argv, environ) != 0) state.SkipWithError("spawn failed");
        int status = 0;
        waitpid(pid, &status, 0);
    }
    fs::remove_all(directory);
}

BENCHMARK_CAPTURE(OnCall, nothing, EXTTOOL_TOOL_NOTHING)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Spawn, nothing, EXTTOOL_TOOL_NOTHING)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(OnCall, upper_case, EXTTOOL_TOOL_UPPER_CASE)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Spawn, upper_case, EXTTOOL_TOOL_UPPER_CASE)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Filter, cat, "cat")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(File, cat, "cat")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Utf8, cat, "cat")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Options, upper_case, EXTTOOL_TOOL_UPPER_CASE)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
