// OnInstall and the entry points, on the built module loaded like a host
// loads it: a fresh copy in a directory of its own, with or without an
// exttool.ini beside it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "settings/settings_file.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#endif

namespace {

class EntryPointsTest : public testing::Test {
protected:
    void SetUp() override { directory_ = test::MakeTempDir(); }
    void TearDown() override {
        test::UnloadModule(module_);
        test::RemoveTree(directory_);
    }
    void WriteSettings(const std::string &content) {
        test::WriteFile(test::JoinPath(directory_, "exttool.ini"), content);
    }
    void Load() { module_ = test::LoadModuleCopy(directory_); }

    // An InstallRecord whose every byte is 0xCC, so untouched bytes show.
    static void Fill(InstallRecord &record) { memset(&record, 0xCC, sizeof record); }

    std::string directory_;
    test::LoadedModule module_;
    HostRecord host_{};
};

TEST_F(EntryPointsTest, NoSettingsFileInstallsKindFiveAndTheDefaultCaption) {
    Load();
    InstallRecord record;
    Fill(record);
    EXPECT_EQ(module_.OnInstall(&record, &host_), 0);
    EXPECT_EQ(record.PluginKind, 5);
    EXPECT_STREQ(record.Caption, "External program");
    const size_t length = strlen("External program");
    for (size_t i = length + 1; i < sizeof record.Caption; ++i)
        EXPECT_EQ(static_cast<unsigned char>(record.Caption[i]), 0xCC) << "caption byte " << i << " was written";
    for (int i = 0; i < 4; ++i) EXPECT_EQ(static_cast<unsigned char>(record.Reserved[i]), 0xCC);
}

TEST_F(EntryPointsTest, CaptionComesFromTheSettingsFileCutTo30) {
    WriteSettings("[Settings]\r\nMenuItem=0123456789abcdefghijABCDEFGHIJ0123456789\r\n");
    Load();
    InstallRecord record;
    Fill(record);
    module_.OnInstall(&record, &host_);
    EXPECT_EQ(std::string(record.Caption), "0123456789abcdefghijABCDEFGHIJ");
    EXPECT_EQ(record.Caption[30], '\0');
}

TEST_F(EntryPointsTest, EmptyCaptionLineGivesAnEmptyCaption) {
    WriteSettings("[Settings]\r\nMenuItem=\r\n");
    Load();
    InstallRecord record;
    Fill(record);
    module_.OnInstall(&record, &host_);
    EXPECT_EQ(record.Caption[0], '\0');
    EXPECT_EQ(static_cast<unsigned char>(record.Caption[1]), 0xCC);
}

TEST_F(EntryPointsTest, SecondInstallRereadsTheSettings) {
    Load();
    InstallRecord record;
    Fill(record);
    module_.OnInstall(&record, &host_);
    EXPECT_STREQ(record.Caption, "External program");
    WriteSettings("[Settings]\r\nMenuItem=Changed\r\n");
    HostRecord other{};
    Fill(record);
    EXPECT_EQ(module_.OnInstall(&record, &other), 0);
    EXPECT_STREQ(record.Caption, "Changed");
}

TEST_F(EntryPointsTest, NullRecordsAndCallsBeforeInstallHaveNoEffect) {
    WriteSettings("[Settings]\r\nMenuItem=Never shown\r\n[Path]\r\nCommandLine=tool %f\r\n");
    Load();
    InstallRecord record;
    Fill(record);
    EXPECT_EQ(module_.OnInstall(nullptr, &host_), 0);
    EXPECT_EQ(module_.OnInstall(&record, nullptr), 0);
    for (size_t i = 0; i < sizeof record; ++i)
        ASSERT_EQ(reinterpret_cast<unsigned char *>(&record)[i], 0xCC) << "byte " << i;
    // No host record yet: neither a run nor the dialog happens.
    module_.OnCall();
    EXPECT_EQ(module_.OnSettings(), 0);
    EXPECT_EQ(test::ListDirectory(directory_), test::Sorted({"exttool.ini", test::ModuleFileName("exttool")}));
}

TEST_F(EntryPointsTest, ModuleWithAnotherNameUsesItsOwnSettingsFile) {
    test::WriteFile(test::JoinPath(directory_, "renamed.ini"), "[Settings]\r\nMenuItem=Renamed module\r\n");
    WriteSettings("[Settings]\r\nMenuItem=Not this one\r\n");
    module_ = test::LoadModuleCopy(directory_, "renamed");
    InstallRecord record;
    Fill(record);
    module_.OnInstall(&record, &host_);
    EXPECT_STREQ(record.Caption, "Renamed module");
}

#if !defined(_WIN32)
// The settings file lies beside the name the host loaded the module by: a
// relative name stays right after the host changes its current directory,
// and a link reads the settings named after the link, beside the link. A
// ".." after a linked folder leads where the kernel takes it: to the parent
// of the link's target.
TEST_F(EntryPointsTest, ModuleIsKnownByTheNameItWasLoadedBy) {
    namespace fs = std::filesystem;
    struct Case {
        const char *loadAs;  // relative to the test's directory
        const char *linkTo;  // null: a copy of the module, else a link to this copy
        const char *settings;
        const char *folderLink = nullptr; // a link to a folder, made first ...
        const char *folderTarget = nullptr; // ... to this folder
    };
    const Case cases[] = {
        {"./plugins/../plugins/exttool.so", nullptr, "plugins/exttool.ini"},
        {"links/sed.so", "../real/exttool.so", "links/sed.ini"},
        {"lnk/../exttool.so", nullptr, "target/exttool.ini", "lnk", "target/deep"},
    };
    const fs::path original = fs::current_path();
    for (const Case &c : cases) {
        if (c.folderLink) {
            fs::create_directories(fs::path(directory_) / c.folderTarget);
            fs::create_directory_symlink(c.folderTarget, fs::path(directory_) / c.folderLink);
        }
        const fs::path file = fs::path(directory_) / c.loadAs;
        fs::create_directories(file.parent_path());
        const fs::path copy = c.linkTo ? (file.parent_path() / c.linkTo).lexically_normal() : file;
        fs::create_directories(copy.parent_path());
        fs::copy_file(EXTTOOL_MODULE_FILE, copy);
        if (c.linkTo) fs::create_symlink(c.linkTo, file);
        test::WriteFile((copy.parent_path() / "exttool.ini").string(), "[Settings]\nMenuItem=Beside the file\n");
        test::WriteFile(test::JoinPath(directory_, c.settings), "[Settings]\nMenuItem=Beside the name\n");

        fs::current_path(directory_);
        void *handle = dlopen(c.loadAs, RTLD_NOW | RTLD_LOCAL);
        fs::current_path("/");
        ASSERT_NE(handle, nullptr) << dlerror();
        auto install = reinterpret_cast<decltype(module_.OnInstall)>(dlsym(handle, "OnInstall"));
        InstallRecord record;
        Fill(record);
        install(&record, &host_);
        EXPECT_STREQ(record.Caption, "Beside the name") << c.loadAs;
        dlclose(handle);
    }
    fs::current_path(original);
}
#endif

#if defined(_WIN32)
// A folder the ANSI code page cannot name, or whose name it writes too long
// (double-byte characters), is reached through its short name: OnInstall
// reads the settings beside the module and saving writes there.
TEST_F(EntryPointsTest, ModuleInAFolderOutsideTheAnsiCodePageReadsAndSavesItsSettings) {
    std::vector<test::Path> folders;
    for (const wchar_t *name : test::kNonAnsiNames) folders.push_back(test::MakeNonAnsiDir(directory_, name));
    folders.push_back(test::MakeDeepCjkDir(directory_));
    for (const test::Path &folder : folders) {
        const test::Path ini = folder / "exttool.ini";
        test::WriteFile(ini, "[Settings]\r\nReadOnly=0\r\nDeleteTemp=0\r\nMenuItem=Beside the module\r\n");
        test::UnloadModule(module_);
        module_ = test::LoadModuleCopy(folder);
        InstallRecord record{};
        module_.OnInstall(&record, &host_);
        EXPECT_STREQ(record.Caption, "Beside the module") << folder.string();
        ToolSettings settings;
        char path[kSettingsPathChars + 1];
        LoadSettings(module_.handle, &settings, path);
        settings.ReadOnly = 1;
        uint32_t error = 0;
        EXPECT_TRUE(SaveSettings(&settings, path, &error)) << error;
        EXPECT_EQ(test::NonBlankLines(test::ReadFile(ini)), test::SavedFile("1", "0", "Beside the module", "", ""));
    }
}
#endif

} // namespace
