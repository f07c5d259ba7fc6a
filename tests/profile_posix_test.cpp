// Our POSIX profile service beyond what the settings file relies on: how it
// rewrites the file. Windows' own service needs no such test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "test_support.h"

namespace {

class ProfilePosixTest : public testing::Test {
protected:
    void SetUp() override {
        directory_ = test::MakeTempDir();
        path_ = test::JoinPath(directory_, "exttool.ini");
    }
    void TearDown() override {
        chmod(directory_.c_str(), 0700);
        test::RemoveTree(directory_);
    }
    // Without a key, `value` is the section's lines.
    bool Write(const char *section, const char *key, const char *value) {
        return key ? platform::ProfileWriteString(section, key, value, path_.c_str())
                   : platform::ProfileWriteSection(section, value, path_.c_str());
    }
    // The same write by a user who may not write the directory (nobody, when
    // the tests run as root, in `group` if given), with the settings file's
    // and the directory's permissions set first; the directory is writable
    // again afterwards.
    bool WriteAsUser(const char *section, const char *key, const char *value, mode_t fileMode,
                     mode_t directoryMode = 0555, gid_t group = 65534) {
        if (access(path_.c_str(), F_OK) == 0) chmod(path_.c_str(), fileMode);
        chmod(directory_.c_str(), directoryMode);
        const pid_t child = fork();
        if (child == 0) {
            if (getuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(65534) != 0)) _exit(2);
            _exit(Write(section, key, value) ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        chmod(directory_.c_str(), 0755);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 2) << "the child could not become another user";
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::string Read(const char *section, const char *key, uint32_t size = 300) {
        char buffer[300];
        platform::ProfileReadString(section, key, "<default>", buffer, size, path_.c_str());
        return buffer;
    }
    std::string directory_;
    std::string path_;
};

TEST_F(ProfilePosixTest, WritesChangeOnlyTheValueAndKeepEveryOtherByte) {
    struct Case {
        const char *before;
        const char *section;
        const char *key;
        const char *value;
        const char *after;
    };
    const Case cases[] = {
        // In place, the line's own spelling and ending kept.
        {"[S]\r\n  readonly = 1  \r\n; c\r\n", "s", "ReadOnly", "0", "[S]\r\n  readonly =0\r\n; c\r\n"},
        {"[S]\nK=old\n[T]\nK=other\n", "T", "K", "new", "[S]\nK=old\n[T]\nK=new\n"},
        // Appended after the section's last line, before blank lines.
        {"[S]\nA=1\n\n[T]\n", "S", "B", "2", "[S]\nA=1\nB=2\n\n[T]\n"},
        {"[S]\r\nA=1\r\n", "S", "B", "2", "[S]\r\nA=1\r\nB=2\r\n"},
        // A file whose last line has no line break.
        {"[S]\nA=1", "S", "B", "2", "[S]\nA=1\nB=2\n"},
        {"[S]\nA=1", "T", "B", "2", "[S]\nA=1\n[T]\nB=2\n"},
        // ... and one whose last line ends in a lone "\r": "\n" completes it.
        {"[S]\r\nA=1\r", "T", "B", "2", "[S]\r\nA=1\r\n[T]\r\nB=2\r\n"},
        // Lone "\r" line ends, as Windows reads them: values replaced before
        // them, new lines after them with the "\r" completed.
        {"[S]\rA=1\r[T]\rX=1\r", "S", "A", "2", "[S]\rA=2\r[T]\rX=1\r"},
        {"[S]\rA=1\r[T]\rX=1\r", "S", "B", "2", "[S]\rA=1\r\nB=2\r\n[T]\rX=1\r"},
        // A byte-order mark stays where it is.
        {"\xEF\xBB\xBF[S]\r\nA=1\r\n", "S", "A", "2", "\xEF\xBB\xBF[S]\r\nA=2\r\n"},
        // A key without "=" gets its value.
        {"[S]\nFlag\nX=1\n", "S", "Flag", "on", "[S]\nFlag=on\nX=1\n"},
        // Only the first of two equal sections is changed, also where only
        // the second holds the key or neither does.
        {"[S]\nA=1\n[S]\nA=2\n", "S", "A", "3", "[S]\nA=3\n[S]\nA=2\n"},
        {"[S]\nA=1\n[S]\nB=2\n", "S", "B", "3", "[S]\nA=1\nB=3\n[S]\nB=2\n"},
        {"[S]\nA=1\n[T]\n[S]\nC=2\n", "S", "B", "3", "[S]\nA=1\nB=3\n[T]\n[S]\nC=2\n"},
        // An empty file and an empty value.
        {"", "S", "A", "", "[S]\nA=\n"},
        // A whole section: every line of the first of its name replaced,
        // comments too, the blank lines before the next section kept.
        {"[S]\r\nA=1\r\n; c\r\n\r\nB=2\r\n\r\n[T]\r\nX=1\r\n", "s", nullptr, "C=3\0D=4\0",
         "[S]\r\nC=3\r\nD=4\r\n\r\n[T]\r\nX=1\r\n"},
        {"[E]\nA=1\n[E]\nB=2\n", "E", nullptr, "C=3\0", "[E]\nC=3\n[E]\nB=2\n"},
        {"[E]\nX=1\n[T]\n", "E", nullptr, "", "[E]\n[T]\n"},
        {"[S]\nA=1", "E", nullptr, "X=1\0", "[S]\nA=1\n[E]\nX=1\n"},
        {"", "E", nullptr, "X=1\0Y\0", "[E]\nX=1\nY\n"},
        {"[E]", "E", nullptr, "A=1\0", "[E]\nA=1\n"},
        {"[E]\rA=1\r[T]\rX=1\r", "E", nullptr, "B=2\0", "[E]\r\nB=2\r\n[T]\rX=1\r"},
        {"\xEF\xBB\xBF[E]\r\nA=1", "E", nullptr, "B=2\0", "\xEF\xBB\xBF[E]\r\nB=2\r\n"},
    };
    // Through a new file renamed over the old one, and in place where only
    // the file may be written.
    for (const bool inPlace : {false, true}) {
        for (const Case &c : cases) {
            test::WriteFile(path_, c.before);
            ASSERT_TRUE(inPlace ? WriteAsUser(c.section, c.key, c.value, 0666) : Write(c.section, c.key, c.value))
                << c.before << (inPlace ? " (in place)" : "");
            EXPECT_EQ(test::ReadFile(path_), c.after) << c.before << (inPlace ? " (in place)" : "");
        }
    }
}

// A section's lines as Windows gives them: not blank, trimmed of blanks,
// each ended by a zero byte and one more after the last; where they do not
// all fit, the lines that fit whole and size - 2.
TEST_F(ProfilePosixTest, SectionIsReadAsItsTrimmedLinesThatFitWhole) {
    struct Case {
        std::string file;
        uint32_t size;
        std::string lines; // with the final zero byte
        uint32_t returned;
    };
    const std::string longLine = "L=" + std::string(3000, 'l');
    const Case cases[] = {
        {"[s]\r\n  A = 1 \t\r\n\r\n; c\r\nFlag\r\n[T]\r\nX=1\r\n", 100, std::string("A = 1\0; c\0Flag\0", 16), 15},
        {"[T]\nX=1\n", 100, std::string("\0\0", 2), 0},
        {"[S]\n[T]\nX=1\n", 100, std::string("\0\0", 2), 0},
        {"[S]\nA=1\n[S]\nB=2\n", 100, std::string("A=1\0", 5), 4},
        {"\xEF\xBB\xBF[S]\rA=1\rB=2\r", 100, std::string("A=1\0B=2\0", 9), 8},
        {"[S]\n\v\x1A" "A=1\f\x1A\n", 100, std::string("A=1\0", 5), 4},
        {"[S]\n" + longLine + "\nB=2", 3100, longLine + std::string("\0B=2\0", 6), 3007},
        // Cut: "AAA=1" and both zero bytes fill 7 of 8; "B=2" does not fit.
        {"[S]\nAAA=1\nB=2\n", 8, std::string("AAA=1\0", 7), 6},
        {"[S]\nAAA=1\nB=2\n", 7, std::string("AAA=1\0", 7), 5},
        {"[S]\nAAA=1\n", 6, std::string("\0\0", 2), 4},
        {"[S]\n" + longLine + "\n", 3002, std::string("\0\0", 2), 3000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file.substr(0, 40));
        test::WriteFile(path_, c.file);
        char buffer[4000];
        memset(buffer, 0x5A, sizeof buffer);
        EXPECT_EQ(platform::ProfileReadSection("S", buffer, c.size, path_.c_str()), c.returned);
        EXPECT_EQ(std::string(buffer, c.lines.size()), c.lines);
        EXPECT_EQ(buffer[c.size], 0x5A) << "written beyond the buffer";
    }
    char buffer[4] = "xyz";
    EXPECT_EQ(platform::ProfileReadSection("S", buffer, 4, test::JoinPath(directory_, "none.ini").c_str()), 0u);
    EXPECT_EQ(std::string(buffer, 2), std::string("\0\0", 2));
}

TEST_F(ProfilePosixTest, LongLinesAreKeptWholeAndLongValuesReadCut) {
    const std::string longComment = "; " + std::string(20000, 'c');
    const std::string longValue(5000, 'v');
    const std::string before = longComment + "\n[S]\nLong=" + longValue + "\n" + longComment + "\nA=1\n";
    test::WriteFile(path_, before);
    ASSERT_TRUE(Write("S", "A", "2"));
    EXPECT_EQ(test::ReadFile(path_), longComment + "\n[S]\nLong=" + longValue + "\n" + longComment + "\nA=2\n");
    EXPECT_EQ(Read("S", "Long", 260), std::string(259, 'v'));
    // In place, the bytes after the value move by more than one chunk, both
    // ways.
    ASSERT_TRUE(WriteAsUser("S", "Long", "short", 0666));
    EXPECT_EQ(test::ReadFile(path_), longComment + "\n[S]\nLong=short\n" + longComment + "\nA=2\n");
    ASSERT_TRUE(WriteAsUser("S", "Long", longValue.c_str(), 0666));
    EXPECT_EQ(test::ReadFile(path_), longComment + "\n[S]\nLong=" + longValue + "\n" + longComment + "\nA=2\n");
}

// Who may write what decides whether a save succeeds, as on Windows: a file
// that may not be written is never replaced, and a missing file is created
// only where the directory may be written. A file that may be written keeps
// its owner and group: where the saver cannot give them to a new file, or
// may not replace the old one, the file is changed in place. (Run as root,
// the file belongs to root and nobody saves it; otherwise the file is the
// saver's own.)
TEST_F(ProfilePosixTest, PermissionsOfFileAndDirectoryDecideTheSave) {
    struct Case {
        bool fileExists;
        mode_t fileMode;
        mode_t directoryMode;
        bool saved;
        gid_t group = 0; // file, directory and saver in this group, when root
    };
    const Case cases[] = {
        {true, 0666, 0555, true},   // in place
        {true, 0666, 0777, true},   // a new file cannot be given the owner: in place
        {true, 0444, 0777, false},
        {true, 0444, 0555, false},
        {false, 0, 0555, false},
        {false, 0, 0777, true},
        {true, 0666, 01777, true},  // a sticky folder refuses to replace another's file
        {true, 0660, 0775, true, 4242}, // a member of the file's group
    };
    const bool root = getuid() == 0;
    for (const Case &c : cases) {
        unlink(path_.c_str());
        if (c.fileExists) test::WriteFile(path_, "[S]\nA=1\n");
        const gid_t group = root && c.group ? c.group : getgid();
        if (root && c.group) {
            ASSERT_EQ(chown(directory_.c_str(), 0, c.group), 0);
            if (c.fileExists) ASSERT_EQ(chown(path_.c_str(), 0, c.group), 0);
        }
        const bool saved = WriteAsUser("S", "A", "2", c.fileMode, c.directoryMode, c.group ? c.group : 65534);
        chown(directory_.c_str(), getuid(), getgid());
        EXPECT_EQ(saved, c.saved) << std::oct << c.fileMode << " in " << c.directoryMode;
        const std::string expected = c.saved ? "[S]\nA=2\n" : c.fileExists ? "[S]\nA=1\n" : "";
        EXPECT_EQ(test::FileExists(path_) ? test::ReadFile(path_) : "", expected) << std::oct << c.fileMode;
        EXPECT_EQ(test::ListDirectory(directory_).size(), test::FileExists(path_) ? 1u : 0u) << "a new file was left";
        struct stat status;
        if (!c.fileExists || stat(path_.c_str(), &status) != 0) continue;
        EXPECT_EQ(status.st_uid, getuid()) << std::oct << c.fileMode << " in " << c.directoryMode;
        EXPECT_EQ(status.st_gid, group) << std::oct << c.fileMode << " in " << c.directoryMode;
        EXPECT_EQ(status.st_mode & 07777, c.fileMode);
    }
}

// Owner, group and every permission bit stay; as root, for a file of
// another user. A name too long for the new file beside it is changed in
// place.
TEST_F(ProfilePosixTest, RewriteLeavesNoOtherFileAndKeepsOwnerGroupAndPermissions) {
    struct Case {
        std::string name;
        mode_t mode;
    };
    const Case cases[] = {
        {"exttool.ini", 0640},
        {"exttool.ini", 0600},
        {"exttool.ini", 02770},
        {std::string(251, 'n') + ".ini", 0640},
    };
    const bool root = getuid() == 0;
    const uid_t owner = root ? 65534 : getuid();
    const gid_t group = root ? 4242 : getgid();
    for (const Case &c : cases) {
        test::RemoveTree(directory_);
        directory_ = test::MakeTempDir();
        path_ = test::JoinPath(directory_, c.name);
        test::WriteFile(path_, "[S]\nA=1\n");
        ASSERT_EQ(chown(path_.c_str(), owner, group), 0);
        ASSERT_EQ(chmod(path_.c_str(), c.mode), 0);
        ASSERT_TRUE(Write("S", "A", "2")) << c.name.size() << " " << std::oct << c.mode;
        EXPECT_EQ(test::ReadFile(path_), "[S]\nA=2\n");
        EXPECT_EQ(test::ListDirectory(directory_), std::vector<std::string>{c.name});
        struct stat status;
        ASSERT_EQ(stat(path_.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, c.mode) << c.name.size();
        EXPECT_EQ(status.st_uid, owner);
        EXPECT_EQ(status.st_gid, group);
    }
}

// A single file mounted in place of the settings file, as containers mount
// one configuration file: it cannot be replaced, so it is changed in place.
// The mount is made in a mount namespace of a child of the test's own.
TEST_F(ProfilePosixTest, BindMountedFileIsChangedInPlace) {
    const std::string source = test::JoinPath(directory_, "source.ini");
    test::WriteFile(source, "[S]\nA=1\n");
    test::WriteFile(path_, "");
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    const pid_t child = fork();
    if (child == 0) {
        // Without root, a user namespace of one's own gives the right to mount.
        const auto writeTo = [](const char *file, const std::string &text) {
            const int fd = open(file, O_WRONLY);
            const bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            if (fd >= 0) close(fd);
            return ok;
        };
        if (uid != 0 && (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !writeTo("/proc/self/setgroups", "deny") ||
                         !writeTo("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
                         !writeTo("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")))
            _exit(3);
        if (uid == 0 && unshare(CLONE_NEWNS) != 0) _exit(3);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(source.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) != 0)
            _exit(3);
        _exit(Write("S", "A", "2") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "no mount namespace of our own to mount a file in";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::ReadFile(source), "[S]\nA=2\n");
    EXPECT_EQ(test::ListDirectory(directory_), test::Sorted({"exttool.ini", "source.ini"}));
}

TEST_F(ProfilePosixTest, SymbolicLinkStaysALinkToTheChangedFile) {
    // The link's target exists, or is created by the save.
    for (const bool targetExists : {true, false}) {
        const std::string target = test::JoinPath(directory_, "real.ini");
        unlink(path_.c_str());
        unlink(target.c_str());
        if (targetExists) test::WriteFile(target, "[S]\nA=1\n");
        ASSERT_EQ(symlink("real.ini", path_.c_str()), 0);
        ASSERT_TRUE(Write("S", "A", "2")) << targetExists;
        struct stat status;
        ASSERT_EQ(lstat(path_.c_str(), &status), 0);
        EXPECT_TRUE(S_ISLNK(status.st_mode));
        EXPECT_EQ(test::ReadFile(target), "[S]\nA=2\n");
    }
}

// A file with a second name (a hard link) is changed in place, as Windows
// changes it: both names keep naming one file, with the new content.
TEST_F(ProfilePosixTest, HardLinkedFileIsChangedInPlace) {
    const std::string other = test::JoinPath(directory_, "other.ini");
    test::WriteFile(path_, "[S]\nA=1\n");
    ASSERT_EQ(link(path_.c_str(), other.c_str()), 0);
    struct stat before;
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    ASSERT_TRUE(Write("S", "A", "2"));
    ASSERT_TRUE(Write("T", nullptr, "B=3\0"));
    struct stat after;
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(test::ReadFile(other), "[S]\nA=2\n[T]\nB=3\n");
    EXPECT_EQ(test::ListDirectory(directory_), test::Sorted({"exttool.ini", "other.ini"}));
}

TEST_F(ProfilePosixTest, UnreadableOldFileIsNeitherReplacedNorRead) {
    // A directory in the settings file's place: opening works, reading fails.
    ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
    EXPECT_FALSE(Write("S", "A", "2"));
    EXPECT_EQ(test::ListDirectory(directory_), std::vector<std::string>{"exttool.ini"});
    EXPECT_EQ(test::ListDirectory(path_), std::vector<std::string>{});
    EXPECT_EQ(Read("S", "A"), "<default>");
}

TEST_F(ProfilePosixTest, LineBreaksInValuesAreRefused) {
    test::WriteFile(path_, "[S]\nA=1\n");
    EXPECT_FALSE(Write("S", "A", "2\n[Evil]"));
    EXPECT_FALSE(Write("S", "A", "2\r"));
    // Nor may a section's line split it or start another section.
    EXPECT_FALSE(Write("S", nullptr, "B=2\0C=3\nD=4\0"));
    EXPECT_FALSE(Write("S", nullptr, "B=2\0 [Settings] x\0"));
    EXPECT_FALSE(Write("S\n[T]", nullptr, "B=2\0"));
    EXPECT_EQ(test::ReadFile(path_), "[S]\nA=1\n");
}

TEST_F(ProfilePosixTest, MissingDirectoryFailsWithoutCreatingAnything) {
    path_ = test::JoinPath(directory_, "missing/exttool.ini");
    EXPECT_FALSE(Write("S", "A", "1"));
    EXPECT_EQ(Read("S", "A"), "<default>");
}

} // namespace
