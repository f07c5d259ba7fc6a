// The program's own environment and start options on Windows, called
// directly: the wide copy of the host's environment, the start directory,
// the exchange file's extension and the profile section that did not fit.
// What CreateProcessA is given for them is checked in the run's own test.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/internal_win32.h"
#include "test_support.h"

namespace {

using platform::EnvironmentStatus;

std::vector<std::wstring> Entries(const wchar_t *block) {
    std::vector<std::wstring> entries;
    for (const wchar_t *entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) entries.emplace_back(entry);
    return entries;
}

std::wstring ValueOf(const wchar_t *name) {
    uint32_t length = 0;
    const wchar_t *const value = platform::EnvironmentValue(name, &length);
    return value ? std::wstring(value, length) : L"(none)";
}

// The value is made of `pieces`, each a text or, after a "%", the value of
// another variable; the variable is put even after a failed piece. Returns
// the first status that is not Done.
EnvironmentStatus Put(const std::string &name, const std::vector<std::string> &pieces) {
    EnvironmentStatus first = EnvironmentStatus::Done;
    for (const std::string &piece : pieces) {
        const EnvironmentStatus status =
            piece[0] == '%' ? platform::EnvironmentAppendValueOf(piece.data() + 1, piece.size() - 1)
                            : platform::EnvironmentAppendText(piece.data(), piece.size());
        if (first == EnvironmentStatus::Done) first = status;
    }
    const EnvironmentStatus put = platform::EnvironmentPut(name.data(), name.size());
    return first == EnvironmentStatus::Done ? put : first;
}

const wchar_t kWideValue[] = L"C:\\Users\\\u042E\u043B\u0438\u044F";

class EnvironmentTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SetEnvironmentVariableW(L"EXTTOOL_TEST_WIDE", kWideValue));
        ASSERT_TRUE(SetEnvironmentVariableW(L"=Y:", L"Y:\\folder"));
        ASSERT_EQ(platform::EnvironmentCopyHost(), EnvironmentStatus::Done);
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"EXTTOOL_TEST_WIDE", nullptr);
        SetEnvironmentVariableW(L"=Y:", nullptr);
    }
};

// The copy is the host's block as it stands; what is put into it stays out
// of the host's; a block that cannot take an entry is kept as it was.
TEST_F(EnvironmentTest, CopyKeepsEveryInheritedEntryAndLeavesTheHostsAlone) {
    wchar_t *const host = GetEnvironmentStringsW();
    const std::vector<std::wstring> hostEntries = Entries(host);
    FreeEnvironmentStringsW(host);
    EXPECT_EQ(Entries(platform::EnvironmentBlock()), hostEntries);
    EXPECT_EQ(ValueOf(L"exttool_test_wide"), kWideValue);
    EnvironmentStatus status = EnvironmentStatus::Done;
    std::vector<std::wstring> before;
    for (int i = 0; i < 80 && status == EnvironmentStatus::Done; ++i) {
        before = Entries(platform::EnvironmentBlock());
        status = Put("EXTTOOL_TEST_FILL" + std::to_string(i), {std::string(1023, 'f')});
    }
    EXPECT_EQ(status, EnvironmentStatus::Full);
    EXPECT_EQ(Entries(platform::EnvironmentBlock()), before);
    EXPECT_EQ(GetEnvironmentVariableW(L"EXTTOOL_TEST_FILL0", nullptr, 0), 0u);
}

// A byte that begins a double-byte character but ends the text (or a lone
// continuation byte where the code page is UTF-8) is no character; in a
// single-byte code page such as 1252 it is one.
bool LoneLeadByteIsInvalid() { return GetACP() == 932 || GetACP() == CP_UTF8; }

TEST_F(EnvironmentTest, ValuesAreMadePutAndRemoved) {
    using enum EnvironmentStatus;
    const std::string x1000(1000, 'x');
    struct Case {
        const char *what;
        std::vector<std::pair<std::string, std::vector<std::string>>> puts;
        EnvironmentStatus last;
        const wchar_t *name;
        std::wstring value;
    } cases[] = {
        {"a later value wins, names without regard to case",
         {{"EXTTOOL_TEST_A", {"one"}}, {"exttool_test_a", {"two"}}}, Done, L"Exttool_Test_A", L"two"},
        {"an inherited value is replaced", {{"exttool_test_wide", {"new"}}}, Done, L"EXTTOOL_TEST_WIDE", L"new"},
        {"values of others, hidden ones too", {{"EXTTOOL_TEST_A", {"%=Y:", ";", "%exttool_test_wide"}}}, Done,
         L"EXTTOOL_TEST_A", std::wstring(L"Y:\\folder;") + kWideValue},
        {"1023 units fit", {{"EXTTOOL_TEST_A", {x1000, std::string(23, 'y')}}}, Done, L"EXTTOOL_TEST_A",
         std::wstring(1000, L'x') + std::wstring(23, L'y')},
        {"a piece past 1023 units appends nothing", {{"EXTTOOL_TEST_A", {x1000, std::string(24, 'y')}}}, TooLong,
         L"EXTTOOL_TEST_A", std::wstring(1000, L'x')},
        {"a zero byte is invalid", {{"EXTTOOL_TEST_A", {std::string("a\0b", 3)}}}, Invalid, L"EXTTOOL_TEST_A",
         L"(none)"},
        {"a name with \"=\" is invalid", {{"EXTTOOL_TEST_A=B", {"v"}}}, Invalid, L"EXTTOOL_TEST_A", L"(none)"},
        {"a lone lead byte", {{"EXTTOOL_TEST_A", {"\x82"}}}, LoneLeadByteIsInvalid() ? Invalid : Done,
         L"EXTTOOL_TEST_A", LoneLeadByteIsInvalid() ? L"(none)" : L"\u201A"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(platform::EnvironmentCopyHost(), Done);
        EnvironmentStatus status = Done;
        for (const auto &[name, pieces] : c.puts) status = Put(name, pieces);
        EXPECT_EQ(status, c.last);
        EXPECT_EQ(ValueOf(c.name), c.value);
        size_t named = 0;
        for (const std::wstring &entry : Entries(platform::EnvironmentBlock()))
            named += _wcsnicmp(entry.c_str(), c.name, wcslen(c.name)) == 0 && entry[wcslen(c.name)] == L'=';
        EXPECT_EQ(named, c.value == L"(none)" ? 0u : 1u);
    }
}

TEST(StartDirectoryTest, OnlyAnExistingDirectoryIsUsable) {
    const std::string directory = test::MakeTempDir();
    const std::string file = test::JoinPath(directory, "file.txt");
    test::WriteFile(file, "x");
    EXPECT_TRUE(platform::DirectoryUsable(directory.c_str()));
    for (const std::string &bad : {file, test::JoinPath(directory, "missing"), test::JoinPath(directory, "a\\b")}) {
        SetLastError(0);
        EXPECT_FALSE(platform::DirectoryUsable(bad.c_str())) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY)) << bad;
    }
    test::RemoveTree(directory);
}

// Whether the name fits MAX_PATH counts the extension given, dot included;
// one that could leave the folder is refused.
TEST(ExchangeFileTest, TheExtensionCountsForTheNamesLength) {
    char path[platform::kMaxPath + 1];
    struct Case {
        size_t directoryLength;
        const char *extension;
        DWORD error;
    } cases[] = {
        {236, ".sixteen-chars.x", ERROR_DIRECTORY},
        {237, ".sixteen-chars.x", ERROR_FILENAME_EXCED_RANGE},
        {237, ".TMP", ERROR_DIRECTORY},
        {10, ".seventeen-chars.", ERROR_INVALID_NAME},
        {10, "TMP", ERROR_INVALID_NAME},
        {10, ".\\..\\x", ERROR_INVALID_NAME},
    };
    for (const Case &c : cases) {
        const std::string missing = "Z:\\" + std::string(c.directoryLength - 3, 'd');
        EXPECT_FALSE(platform::CreateUniqueFile(missing.c_str(), "se", c.extension, path)) << c.extension;
        EXPECT_EQ(GetLastError(), c.error) << c.directoryLength << c.extension;
    }
}

// The system cuts the line that does not fit; the platform hands on whole
// lines only.
TEST(ProfileSectionTest, ASectionThatDoesNotFitEndsWithAWholeLine) {
    const std::string directory = test::MakeTempDir();
    const std::string ini = test::JoinPath(directory, "exttool.ini");
    test::WriteFile(ini, "[Environment]\r\nA=one\r\nB=two two\r\n[Other]\r\nC=3\r\n");
    char buffer[32];
    ASSERT_EQ(platform::ProfileReadSection("environment", buffer, sizeof buffer, ini.c_str()), 16u);
    EXPECT_EQ(std::string(buffer, 17), std::string("A=one\0B=two two\0", 17));
    for (const uint32_t size : {12u, 17u}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(platform::ProfileReadSection("Environment", buffer, size, ini.c_str()), size - 2);
        EXPECT_EQ(std::string(buffer, 7), std::string("A=one\0\0", 7));
    }
    test::RemoveTree(directory);
}

} // namespace
