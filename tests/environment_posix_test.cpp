// The POSIX start options below the run cycle: the room of the program's
// copy of the environment and where a program is found. What the lines make
// of the copy is fuzzed against a model (fuzz/environment_fuzzer.cpp).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/run_posix_internal.h"
#include "test_support.h"

extern char **environ;

namespace {

using S = platform::EnvironmentStatus;

std::vector<std::string> Entries(char *const *block) {
    std::vector<std::string> entries;
    for (; *block; ++block) entries.emplace_back(*block);
    return entries;
}
std::string Copied(const char *name) {
    const char *value = platform::internal::CopiedValueOf(name);
    return value ? value : "<none>";
}
S Text(const std::string &t) { return platform::EnvironmentAppendText(t.data(), uint32_t(t.size())); }
S Put(const std::string &n) { return platform::EnvironmentPut(n.data(), uint32_t(n.size())); }
S Set(const std::string &n, const std::string &v) { return Text(v) == S::Done ? Put(n) : S::Invalid; }

// Whatever the copy goes through, the host's environment stays as it was.
class EnvironmentPosixTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("EXTTOOL_T", "one", 1);
        setenv("exttool_t", "lower", 1);
        host_ = Entries(environ);
    }
    void TearDown() override {
        EXPECT_EQ(Entries(environ), host_);
        unsetenv("EXTTOOL_T");
        unsetenv("exttool_t");
        test::RemoveTree(directory_);
    }
    std::string directory_ = test::MakeTempDir();
    std::vector<std::string> host_;
};

TEST_F(EnvironmentPosixTest, TheBlockIsFullOnlyWhenItsEntriesFillIt) {
    // A host variable that leaves room for five values at their longest:
    // replacing and removing them over and over never uses up that room.
    const std::string value(platform::kEnvironmentValueChars, 'v');
    size_t used = 0;
    for (const std::string &entry : host_) used += entry.size() + 1;
    const size_t room = 5 * (value.size() + 4), big = platform::kEnvironmentBlockChars - used - room - 13;
    setenv("EXTTOOL_BIG", std::string(big, 'b').c_str(), 1);
    ASSERT_EQ(platform::EnvironmentCopyHost(), S::Done);
    for (int turn = 0; turn < 100; ++turn) {
        for (const char *name : {"V1", "V2", "V3", "V4", "V5"}) ASSERT_EQ(Set(name, value.substr(turn % 7)), S::Done);
        ASSERT_EQ(Put("V4"), S::Done);
    }
    for (const char *name : {"V1", "V2", "V3", "V4", "V5"}) ASSERT_EQ(Set(name, value), S::Done);
    // The block is full to its last byte: a sixth is Full and changes nothing.
    EXPECT_EQ(Set("V6", "x"), S::Full);
    EXPECT_EQ(Copied("V6"), "<none>");
    EXPECT_EQ(Copied("V5"), value);
    // The host's own: one that fills the block exactly fits, one more byte not.
    setenv("EXTTOOL_BIG", std::string(big + room, 'b').c_str(), 1);
    EXPECT_EQ(platform::EnvironmentCopyHost(), S::Done);
    setenv("EXTTOOL_BIG", std::string(big + room + 1, 'b').c_str(), 1);
    EXPECT_EQ(platform::EnvironmentCopyHost(), S::Full);
    unsetenv("EXTTOOL_BIG");
    for (int i = 0; i < 4100; ++i) setenv(("EXTTOOL_N" + std::to_string(i)).c_str(), "", 1);
    EXPECT_EQ(platform::EnvironmentCopyHost(), S::Full) << "more variables than envp holds";
    for (int i = 0; i < 4100; ++i) unsetenv(("EXTTOOL_N" + std::to_string(i)).c_str());
}

TEST_F(EnvironmentPosixTest, ProgramsAreFoundFromTheHostsDirectoryAndTheCopysPath) {
    const std::string bin = test::JoinPath(directory_, "bin"), probe = bin + "/exttool-probe";
    mkdir(bin.c_str(), 0700);
    test::WriteFile(probe, "");
    chmod(probe.c_str(), 0700);
    char saved[platform::kMaxPath + 1];
    ASSERT_TRUE(getcwd(saved, sizeof saved));
    ASSERT_EQ(chdir(directory_.c_str()), 0);
    platform::ProgramFound found{};
    for (const char *line : {"./bin/exttool-probe a", ".//bin/exttool-probe", "bin/exttool-probe"})
        EXPECT_TRUE(platform::FindProgram(line, false, &found) && found.Path == probe) << line << ": " << found.Path;
    ASSERT_EQ(chdir(saved), 0);
    // A bare name is looked for in the copy's PATH, or the default one.
    ASSERT_EQ(platform::EnvironmentCopyHost(), S::Done);
    ASSERT_EQ(Set("PATH", bin + ":relative"), S::Done);
    EXPECT_TRUE(platform::FindProgram("exttool-probe x", true, &found) && found.Path == probe);
    EXPECT_FALSE(platform::FindProgram("exttool-probe x", false, &found));
    EXPECT_FALSE(platform::FindProgram("sh", true, &found));
    ASSERT_EQ(Put("PATH"), S::Done);
    EXPECT_TRUE(platform::FindProgram("sh", true, &found));
}

} // namespace
