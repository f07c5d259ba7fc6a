// Helpers shared by the tests: scratch directories, whole-file reads and
// writes, and a private copy of the built module loaded like a host does.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "plugin/host_contract.h"

namespace test {

// A new empty directory under the system's temporary directory.
std::string MakeTempDir();
// Wide paths on Windows, so that any folder name can be reached.
using Path = std::filesystem::path;
void RemoveTree(const Path &path);
std::string JoinPath(const std::string &directory, const std::string &name);
void WriteFile(const Path &path, const std::string &content);
std::string ReadFile(const Path &path);
bool FileExists(const Path &path);
// Names of the entries in a directory, "." and ".." left out, sorted.
std::vector<std::string> ListDirectory(const Path &path);
std::vector<std::string> Sorted(std::vector<std::string> names);
// The lines of a text without their "\r\n" or "\n", blank lines left out.
std::vector<std::string> NonBlankLines(const std::string &text);
// The non-blank lines of a settings file written from nothing with these
// values: both sections and all five keys in the order they are saved.
std::vector<std::string> SavedFile(const std::string &readOnly, const std::string &deleteTemp,
                                   const std::string &menuItem, const std::string &workingDirectory,
                                   const std::string &commandLine);

#if !defined(_WIN32)
// Makes the locale LANGUAGE.CHARSET (say en_US.ISO-8859-1) with localedef,
// from the locales package, in `directory`, for LOCPATH. Returns false, with
// a test failure naming the cause, when it cannot be made.
bool MakeLocale(const std::string &directory, const std::string &language, const std::string &charset);
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define TEST_CALL __stdcall
#else
#define TEST_CALL
#endif

// The built module, copied as NAME (exttool.so / exttool.dll) into a
// directory of the test's own and loaded from there: every copy is a fresh
// instance with zeroed state and its own settings file beside it.
struct LoadedModule {
    void *handle = nullptr;
    std::string path;
    int32_t(TEST_CALL *OnInstall)(InstallRecord *, const HostRecord *) = nullptr;
    void(TEST_CALL *OnCall)() = nullptr;
    int32_t(TEST_CALL *OnSettings)() = nullptr;
};
LoadedModule LoadModuleCopy(const Path &directory, const std::string &name = "exttool");
void UnloadModule(LoadedModule &module);
// The module file name with this platform's extension.
std::string ModuleFileName(const std::string &name);

#if defined(_WIN32)
// Folder names outside code page 1252 (Polish, Cyrillic, CJK), and one made in
// `parent` through CreateDirectoryW: the test fails where the ANSI code page is
// UTF-8 (no name is then out of reach) or the folder gets no ASCII short name.
inline const wchar_t *const kNonAnsiNames[] = {L"\u0141ukasz", L"\u042E\u043B\u0438\u044F", L"\u6F22\u5B57"};
Path MakeNonAnsiDir(const Path &parent, const wchar_t *name);
// Two nested folders of 70 CJK characters each in `parent`: with a
// double-byte code page (932) the path fits MAX_PATH in wide characters but
// its exact ANSI form takes some 320 bytes; elsewhere it cannot be written.
Path MakeDeepCjkDir(const Path &parent);
#endif

// A fixture with a fresh module copy in a scratch directory of its own and
// the path of the settings file beside it.
class ModuleCopyTest : public testing::Test {
protected:
    void SetUp() override {
        directory_ = MakeTempDir();
        module_ = LoadModuleCopy(directory_);
        iniPath_ = JoinPath(directory_, "exttool.ini");
    }
    void TearDown() override {
        UnloadModule(module_);
        RemoveTree(directory_);
    }
    void WriteSettings(const std::string &content) { WriteFile(iniPath_, content); }
    std::string Settings() const { return ReadFile(iniPath_); }
    std::vector<std::string> SettingsLines() const { return NonBlankLines(Settings()); }

    std::string directory_;
    LoadedModule module_;
    std::string iniPath_;
};

} // namespace test
