#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace test {

namespace fs = std::filesystem;

std::string MakeTempDir() {
    static unsigned counter;
    const fs::path base = fs::temp_directory_path();
    for (;;) {
#if defined(_WIN32)
        const unsigned long pid = GetCurrentProcessId();
#else
        const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
        fs::path candidate = base / ("exttool-test-" + std::to_string(pid) + "-" + std::to_string(counter++));
        std::error_code error;
        if (fs::create_directory(candidate, error)) return candidate.string();
        if (error) throw std::runtime_error("cannot create " + candidate.string() + ": " + error.message());
    }
}

namespace {

// One pass over a tree, depth first; false when something is still there.
bool RemoveTreeOnce(const Path &path) {
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(path, error))) {
        std::vector<Path> entries;
        for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
            entries.push_back(it->path());
        for (const Path &entry : entries) RemoveTreeOnce(entry);
    }
    fs::remove(path, error);
    return !fs::exists(fs::symlink_status(path, error));
}

} // namespace

// Under Wine a deleted file stays listed while another process still holds
// it (the console host of a program without a window lets go of its
// standard handles a moment after the program ends), and fs::remove_all then
// loops without end. Passes are repeated for up to ten seconds instead; what
// is left after that stays in the temporary directory.
void RemoveTree(const Path &path) {
    for (int pass = 0; pass < 200 && !RemoveTreeOnce(path); ++pass)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

#if !defined(_WIN32)
#if defined(__SANITIZE_ADDRESS__)
// glibc's newlocale leaks its copy of LOCPATH on every call (2.36), and the
// tests point LOCPATH at the locales they make: that leak is not the module's.
extern "C" const char *__lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }
#endif

bool MakeLocale(const std::string &directory, const std::string &language, const std::string &charset) {
    fs::create_directories(directory);
    const std::string name = language + "." + charset;
    const std::string command =
        "localedef -i " + language + " -f " + charset + " '" + JoinPath(directory, name) + "' >/dev/null 2>&1";
    if (system(command.c_str()) == -1 || !fs::exists(JoinPath(directory, name))) {
        ADD_FAILURE() << "localedef could not make " << name << " (the locales package is needed)";
        return false;
    }
    return true;
}
#endif

std::string JoinPath(const std::string &directory, const std::string &name) {
    return (fs::path(directory) / name).string();
}

void WriteFile(const Path &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const Path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const Path &path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

std::vector<std::string> ListDirectory(const Path &path) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(path)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> NonBlankLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> SavedFile(const std::string &readOnly, const std::string &deleteTemp,
                                   const std::string &menuItem, const std::string &workingDirectory,
                                   const std::string &commandLine) {
    return {"[Settings]",          "ReadOnly=" + readOnly, "DeleteTemp=" + deleteTemp,
            "MenuItem=" + menuItem, "[Path]",               "WorkingDirectory=" + workingDirectory,
            "CommandLine=" + commandLine};
}

std::string ModuleFileName(const std::string &name) {
#if defined(_WIN32)
    return name + ".dll";
#else
    return name + ".so";
#endif
}

LoadedModule LoadModuleCopy(const Path &directory, const std::string &name) {
    LoadedModule module;
    const Path file = directory / (name.find('.') == std::string::npos ? ModuleFileName(name) : name);
    module.path = file.string();
    fs::copy_file(EXTTOOL_MODULE_FILE, file, fs::copy_options::overwrite_existing);
#if defined(_WIN32)
    HMODULE handle = LoadLibraryW(file.c_str());
    if (!handle) throw std::runtime_error("cannot load " + module.path);
    module.handle = handle;
    auto find = [&](const char *symbol) { return reinterpret_cast<void *>(GetProcAddress(handle, symbol)); };
#else
    void *handle = dlopen(module.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw std::runtime_error(std::string("cannot load: ") + dlerror());
    module.handle = handle;
    auto find = [&](const char *symbol) { return dlsym(handle, symbol); };
#endif
    module.OnInstall = reinterpret_cast<decltype(module.OnInstall)>(find("OnInstall"));
    module.OnCall = reinterpret_cast<decltype(module.OnCall)>(find("OnCall"));
    module.OnSettings = reinterpret_cast<decltype(module.OnSettings)>(find("OnSettings"));
    if (!module.OnInstall || !module.OnCall || !module.OnSettings)
        throw std::runtime_error("an entry point is missing in " + module.path);
    return module;
}

#if defined(_WIN32)
Path MakeNonAnsiDir(const Path &parent, const wchar_t *name) {
    EXPECT_NE(GetACP(), static_cast<UINT>(CP_UTF8)) << "the ANSI code page is UTF-8: nothing is out of reach";
    const Path folder = parent / name;
    if (!CreateDirectoryW(folder.c_str(), nullptr)) throw std::runtime_error("cannot create " + folder.string());
    wchar_t shortPath[MAX_PATH + 1];
    const DWORD length = GetShortPathNameW(folder.c_str(), shortPath, MAX_PATH + 1);
    EXPECT_TRUE(length > 0 && length <= MAX_PATH &&
                std::all_of(shortPath, shortPath + length, [](wchar_t c) { return c < 0x80; }))
        << "no ASCII short name for " << folder.string();
    return folder;
}

Path MakeDeepCjkDir(const Path &parent) {
    std::wstring name;
    for (int i = 0; i < 35; ++i) name += L"\u6F22\u5B57";
    return MakeNonAnsiDir(MakeNonAnsiDir(parent, name.c_str()), name.c_str());
}
#endif

void UnloadModule(LoadedModule &module) {
    if (!module.handle) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(module.handle));
#else
    dlclose(module.handle);
#endif
    module.handle = nullptr;
}

} // namespace test
