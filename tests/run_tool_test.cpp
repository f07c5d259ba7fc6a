// The run cycle end to end: OnCall of a fresh module copy with a fake host
// (recording every callback and its arguments) and small test tools as the
// external program. Every message is asserted by title, exact text and
// owner: on Windows a CBT hook reads each message box and presses OK; on
// POSIX the boxes are lines on standard error, which the test captures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

#if defined(_WIN32)
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

std::string Tool(const std::string &name) {
    std::string path = std::string(EXTTOOL_TOOLS_DIR) + "/" + name;
#if defined(_WIN32)
    for (char &c : path)
        if (c == '/') c = '\\';
    path += ".exe";
#endif
    return path;
}

// The tools' directory with a separator after it.
std::string ToolsDirectory() {
    const std::string tool = Tool("x");
    return tool.substr(0, tool.rfind(kSeparator) + 1);
}

std::string Lower(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Upper(std::string text) {
    for (char &c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// "se", one to four hexadecimal digits, ".TMP", as GetTempFileNameA names it.
bool IsExchangeFileName(const std::string &name) {
    const std::string lower = Lower(name);
    if (lower.size() < 7 || lower.size() > 10 || lower.compare(0, 2, "se") != 0 ||
        lower.compare(lower.size() - 4, 4, ".tmp") != 0)
        return false;
    if (name != "se" + Upper(name.substr(2))) return false; // "%X.TMP"
    return lower.find_first_not_of("0123456789abcdef", 2) == lower.size() - 4;
}

std::vector<std::string> ExchangeFiles(const test::Path &directory) {
    std::vector<std::string> names;
    for (const std::string &name : test::ListDirectory(directory))
        if (IsExchangeFileName(name)) names.push_back(name);
    return names;
}

// The number of files in `directory` once the run is over. Under Wine the
// console host that serves a console program without a window holds the
// program's standard handles a moment longer than the program lives, and a
// deleted capture file goes only when they are closed: there the count is
// given up to five seconds to settle. On Linux it must hold at once.
size_t FilesLeftIn(const std::string &directory, size_t expected) {
#if defined(_WIN32)
    for (int i = 0; i < 100 && test::ListDirectory(directory).size() != expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
#else
    (void)expected;
#endif
    return test::ListDirectory(directory).size();
}

// The system's message text for an error code, as the platform gives it.
std::string SystemMessageFor(int code) {
#if defined(_WIN32)
    char *text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message = text ? text : "";
    if (text) LocalFree(text);
    return message.substr(0, 259);
#else
    return strerror(code);
#endif
}

// ---- The fake host ------------------------------------------------------------

struct Call {
    int host; // which fake host record the callback belongs to
    std::string name;
    int32_t context;
    int32_t capacity;
    std::string text; // text handed back through PutText
};

struct FakeHost {
    std::vector<Call> calls;
    std::string text = "Hello, World";   // what GetText hands out
    bool fillWholeCapacity = false;      // GetText leaves no terminator
    HostRecord *clearGetTextOf = nullptr; // GetContext clears this record's GetText
    std::function<void()> duringGetText;  // once, inside the next GetText
};
FakeHost *g_Fake;

template <int Host>
void TEST_CALL FakeGetContext(int32_t *context) {
    g_Fake->calls.push_back({Host, "GetContext", 0, 0, ""});
    *context = 4700 + Host;
    if (g_Fake->clearGetTextOf) g_Fake->clearGetTextOf->GetText = nullptr;
}

template <int Host>
void TEST_CALL FakeGetText(int32_t context, char *buffer, int32_t capacity) {
    g_Fake->calls.push_back({Host, "GetText", context, capacity, ""});
    if (g_Fake->duringGetText) std::exchange(g_Fake->duringGetText, nullptr)();
    const std::string &text = g_Fake->text;
    const size_t length = std::min(text.size(), static_cast<size_t>(capacity));
    memcpy(buffer, text.data(), length);
    if (!g_Fake->fillWholeCapacity) buffer[length] = '\0';
}

template <int Host>
void TEST_CALL FakePutText(int32_t context, const char *text) {
    g_Fake->calls.push_back({Host, "PutText", context, 0, text});
}

template <int Host>
void FillHostRecord(HostRecord &record, void *window) {
    record = HostRecord{};
    snprintf(record.TextU, sizeof record.TextU, "user%d", Host);
    snprintf(record.TextP, sizeof record.TextP, "pass%d", Host);
    snprintf(record.TextD, sizeof record.TextD, "data%d", Host);
    snprintf(record.TextO, sizeof record.TextO, "other%d", Host);
    snprintf(record.TextN, sizeof record.TextN, "Name%d", Host);
    record.GetContext = FakeGetContext<Host>;
    record.GetText = FakeGetText<Host>;
    record.PutText = FakePutText<Host>;
    record.OwnerWindow = window;
}

std::vector<std::string> CallNames(const std::vector<Call> &calls) {
    std::vector<std::string> names;
    for (const Call &call : calls) names.push_back(call.name);
    return names;
}

// ---- Message capture ------------------------------------------------------------

struct Message {
    std::string title;
    std::string text;
    bool ownedByHost;
};

#if defined(_WIN32)
struct SeenBox {
    HWND window;
    std::string title;
    std::string text;
    HWND owner;
    DWORD tick = GetTickCount(); // when it was activated
};
thread_local std::vector<SeenBox> *t_Boxes;
thread_local HHOOK t_Hook;
// Called while each box is up, before OK is pressed.
thread_local std::function<void()> *t_DuringBox;
// The wait windows that appeared (recognised by their command-line control
// 1020); they are looked at, never pressed.
thread_local std::vector<SeenBox> *t_WaitWindows;

bool IsWaitWindow(HWND window) { return GetDlgItem(window, 1020) != nullptr; }

BOOL CALLBACK FindStaticText(HWND child, LPARAM found) {
    char className[32] = {};
    GetClassNameA(child, className, sizeof className);
    char text[4096] = {};
    GetWindowTextA(child, text, sizeof text);
    if (lstrcmpiA(className, "Static") == 0 && text[0] != '\0') {
        *reinterpret_cast<std::string *>(found) = text;
        return FALSE;
    }
    return TRUE;
}

LRESULT CALLBACK WatchMessageBoxes(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && t_Boxes) {
        HWND box = reinterpret_cast<HWND>(wParam);
        char className[32] = {};
        GetClassNameA(box, className, sizeof className);
        const bool seen = !t_Boxes->empty() && t_Boxes->back().window == box;
        if (strcmp(className, "#32770") == 0 && IsWaitWindow(box)) {
            char text[1024] = {}, command[1024] = {};
            GetWindowTextA(box, text, sizeof text);
            GetDlgItemTextA(box, 1020, command, sizeof command);
            const bool known = t_WaitWindows && !t_WaitWindows->empty() && t_WaitWindows->back().window == box;
            if (t_WaitWindows && !known) t_WaitWindows->push_back({box, text, command, GetWindow(box, GW_OWNER)});
        } else if (strcmp(className, "#32770") == 0 && !seen) {
            SeenBox seenBox{box, "", "", GetWindow(box, GW_OWNER)};
            char text[4096] = {};
            GetWindowTextA(box, text, sizeof text);
            seenBox.title = text;
            // The message text is the static control 0xFFFF of the box.
            if (GetDlgItemTextA(box, 0xFFFF, text, sizeof text) > 0)
                seenBox.text = text;
            else
                EnumChildWindows(box, FindStaticText, reinterpret_cast<LPARAM>(&seenBox.text));
            t_Boxes->push_back(seenBox);
            if (t_DuringBox && *t_DuringBox) (*t_DuringBox)();
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(t_Hook, code, wParam, lParam);
}

struct Captured {
    std::vector<SeenBox> boxes;
    std::vector<SeenBox> waitWindows;
    DWORD startTick = GetTickCount();
    std::string All() const {
        std::string all;
        for (const SeenBox &box : boxes) all += box.title + ": " + box.text + "\n";
        return all;
    }
};

bool WineFailedTheStart(const Captured &captured) {
    return captured.boxes.size() == 1 && captured.boxes[0].title == "Execute Error!" &&
           captured.boxes[0].text.find("\nERROR: 1359\n") != std::string::npos;
}
#else
struct Captured {
    std::string stderrText;
    std::string All() const { return stderrText; }
};
#endif

// The text between the first and the last single quote of what was shown.
std::string QuotedPart(const Captured &captured) {
    const std::string all = captured.All();
    const size_t first = all.find('\'');
    const size_t last = all.rfind('\'');
    if (first == std::string::npos || last <= first) return "";
    return all.substr(first + 1, last - first - 1);
}

// ---- The fixture ------------------------------------------------------------------

struct Settings {
    bool readOnly = false;
    bool deleteTemp = true;
    std::string workingDirectory; // empty: the exchange directory of the test
    bool useSystemTemp = false;
    std::string commandLine;
    bool filter = false;
    std::string encoding; // empty: no Encoding key
    uint32_t timeout = 0; // Timeout in seconds; 0: the key is not written
    std::string settingsKeys, pathKeys, environment; // more lines of [Settings], [Path], [Environment]
};

class RunToolTest : public testing::Test {
protected:
    void SetUp() override {
        g_Fake = &fake_;
        directory_ = test::MakeTempDir();
        moduleDirectory_ = test::JoinPath(directory_, "module");
        exchange_ = test::JoinPath(directory_, "exchange");
        fs::create_directory(moduleDirectory_);
        fs::create_directory(exchange_);
#if defined(_WIN32)
        hostWindow_ = CreateWindowExA(0, "STATIC", "fake host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                      GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(hostWindow_, nullptr);
        t_Hook = SetWindowsHookExA(WH_CBT, WatchMessageBoxes, nullptr, GetCurrentThreadId());
        ASSERT_NE(t_Hook, nullptr);
#else
        static int fakeWindow;
        hostWindow_ = &fakeWindow;
#endif
        FillHostRecord<1>(host_, hostWindow_);
    }

    void TearDown() override {
        test::UnloadModule(module_);
#if defined(_WIN32)
        UnhookWindowsHookEx(t_Hook);
        DestroyWindow(static_cast<HWND>(hostWindow_));
#endif
        g_Fake = nullptr;
        test::RemoveTree(directory_);
    }

    void Install(const Settings &settings, HostRecord *host = nullptr) {
        std::string ini = "[Settings]\r\nReadOnly=" + std::string(settings.readOnly ? "1" : "0") +
                          "\r\nDeleteTemp=" + (settings.deleteTemp ? "1" : "0") + "\r\n[Path]\r\nWorkingDirectory=" +
                          (settings.useSystemTemp ? ""
                           : settings.workingDirectory.empty() ? exchange_
                                                              : settings.workingDirectory) +
                          "\r\nCommandLine=" + settings.commandLine + "\r\n";
        if (settings.filter) ini.insert(ini.find("[Path]"), "Filter=1\r\n");
        if (!settings.encoding.empty()) ini.insert(ini.find("[Path]"), "Encoding=" + settings.encoding + "\r\n");
        if (settings.timeout) ini.insert(ini.find("[Path]"), "Timeout=" + std::to_string(settings.timeout) + "\r\n");
        ini.insert(ini.find("[Path]"), settings.settingsKeys);
        ini += settings.pathKeys;
        if (!settings.environment.empty()) ini += "[Environment]\r\n" + settings.environment;
        test::WriteFile(test::JoinPath(moduleDirectory_, "exttool.ini"), ini);
        if (!module_.handle) module_ = test::LoadModuleCopy(moduleDirectory_);
        InstallRecord record{};
        ASSERT_EQ(module_.OnInstall(&record, host ? host : &host_), 0);
    }

    Captured Run() {
        Captured captured;
#if defined(_WIN32)
        // Wine's CreateProcess fails now and then with ERROR_INTERNAL_ERROR
        // (1359) while other Wine programs start: such a run, which started
        // nothing, is made again, as a user would. The module never retries.
        const size_t callsBefore = fake_.calls.size();
        const std::function<void()> duringGetText = fake_.duringGetText;
        for (int attempt = 0; attempt < 3; ++attempt) {
            captured = Captured{};
            fake_.calls.resize(callsBefore);
            fake_.duringGetText = duringGetText;
            t_Boxes = &captured.boxes;
            t_DuringBox = &duringBox_;
            t_WaitWindows = &captured.waitWindows;
            module_.OnCall();
            t_Boxes = nullptr;
            t_DuringBox = nullptr;
            t_WaitWindows = nullptr;
            if (!WineFailedTheStart(captured)) break;
        }
#else
        const std::string file = test::JoinPath(directory_, "stderr.txt");
        fflush(stderr);
        const int saved = dup(STDERR_FILENO);
        const int fd = open(file.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
        module_.OnCall();
        fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        captured.stderrText = test::ReadFile(file);
#endif
        return captured;
    }

    void ExpectMessages(const Captured &captured, const std::vector<Message> &expected) {
#if defined(_WIN32)
        ASSERT_EQ(captured.boxes.size(), expected.size()) << captured.All();
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(captured.boxes[i].title, expected[i].title);
            EXPECT_EQ(captured.boxes[i].text, expected[i].text);
            EXPECT_EQ(captured.boxes[i].owner, expected[i].ownedByHost ? hostWindow_ : nullptr)
                << "owner of \"" << expected[i].title << "\"";
        }
#else
        // Title, ": ", the text and a line break unless the text has one.
        std::string lines;
        for (const Message &message : expected) {
            lines += message.title + ": " + message.text;
            if (message.text.empty() || message.text.back() != '\n') lines += "\n";
        }
        EXPECT_EQ(captured.stderrText, lines);
#endif
    }

    void ExpectNoMessage(const Captured &captured) { ExpectMessages(captured, {}); }

    std::string ExchangePathPrefix() const { return exchange_ + kSeparator; }

    void ExpectExchangePath(const std::string &path) {
        ASSERT_GT(path.size(), ExchangePathPrefix().size()) << path;
        EXPECT_EQ(path.substr(0, ExchangePathPrefix().size()), ExchangePathPrefix());
        EXPECT_TRUE(IsExchangeFileName(path.substr(ExchangePathPrefix().size()))) << path;
    }

    std::string OnlyExchangeFileContent() {
        const std::vector<std::string> files = ExchangeFiles(exchange_);
        if (files.size() != 1) {
            ADD_FAILURE() << files.size() << " exchange files";
            return "";
        }
        return test::ReadFile(test::JoinPath(exchange_, files[0]));
    }

    FakeHost fake_;
    std::function<void()> duringBox_; // Windows: runs while each box is up
    HostRecord host_{};
    void *hostWindow_ = nullptr;
    std::string directory_, moduleDirectory_, exchange_;
    test::LoadedModule module_;
};

// ---- A completed run ------------------------------------------------------------------

TEST_F(RunToolTest, TextGoesThroughTheToolAndComesBack) {
    Install({.commandLine = Tool("tool_upper_case") + " %f"});
    fake_.text = "Hello, World\r\nline two\n";
    ExpectNoMessage(Run());
    ASSERT_EQ(fake_.calls.size(), 3u);
    EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText", "PutText"}));
    EXPECT_EQ(fake_.calls[1].context, 4701);
    EXPECT_EQ(fake_.calls[1].capacity, 102400);
    EXPECT_EQ(fake_.calls[2].context, 4701);
    EXPECT_EQ(fake_.calls[2].text, "HELLO, WORLD\r\nLINE TWO\n");
    EXPECT_TRUE(ExchangeFiles(exchange_).empty()) << "DeleteTemp removes the exchange file";
}

TEST_F(RunToolTest, DeleteTempOffLeavesOneExchangeFilePerRun) {
    Install({.deleteTemp = false, .commandLine = Tool("tool_upper_case") + " %f"});
    fake_.text = "first";
    ExpectNoMessage(Run());
    fake_.text = "second";
    ExpectNoMessage(Run());
    const std::vector<std::string> files = ExchangeFiles(exchange_);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(test::Sorted({test::ReadFile(test::JoinPath(exchange_, files[0])),
                            test::ReadFile(test::JoinPath(exchange_, files[1]))}),
              (std::vector<std::string>{"FIRST", "SECOND"}));
    EXPECT_EQ(test::ListDirectory(exchange_).size(), 2u) << "nothing else is left behind";
}

TEST_F(RunToolTest, ReadOnlyNeverCallsPutText) {
    Install({.readOnly = true, .deleteTemp = false, .commandLine = Tool("tool_upper_case") + " %f"});
    fake_.text = "read only";
    ExpectNoMessage(Run());
    EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText"}));
    EXPECT_EQ(OnlyExchangeFileContent(), "READ ONLY") << "the tool ran on the file";
}

TEST_F(RunToolTest, LeftoverExchangeFilesAreNeitherReusedNorTouched) {
    std::vector<std::string> leftovers;
    for (int i = 0; i < 16; ++i) {
        char name[16];
        snprintf(name, sizeof name, "se%X.TMP", i);
        leftovers.push_back(name);
        test::WriteFile(test::JoinPath(exchange_, name), "leftover");
    }
    Install({.commandLine = Tool("tool_upper_case") + " %f"});
    fake_.text = "new";
    ExpectNoMessage(Run());
    ASSERT_EQ(fake_.calls.back().text, "NEW");
    EXPECT_EQ(test::ListDirectory(exchange_), test::Sorted(leftovers));
    for (const std::string &name : leftovers) EXPECT_EQ(test::ReadFile(test::JoinPath(exchange_, name)), "leftover");
}

#if !defined(_WIN32)
// A taken name moves on to the next number; only when all 65535 names are
// taken does the run give up, with the directory in the message.
TEST_F(RunToolTest, EveryNumberIsTriedBeforeTheRunGivesUp) {
    const unsigned free = 0x2A7;
    for (unsigned number = 1; number <= 0xFFFF; ++number) {
        if (number == free) continue;
        char name[16];
        snprintf(name, sizeof name, "se%X.TMP", number);
        const int fd = open(test::JoinPath(exchange_, name).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
        ASSERT_GE(fd, 0) << name;
        close(fd);
    }
    const std::string record = test::JoinPath(directory_, "record.txt");
    Install({.deleteTemp = false, .commandLine = Tool("tool_record_args") + " " + record + " %f"});
    ExpectNoMessage(Run());
    EXPECT_EQ(test::NonBlankLines(test::ReadFile(record)).at(1), "[" + ExchangePathPrefix() + "se2A7.TMP]");
    fake_.calls.clear();
    ExpectMessages(Run(), {{"Error",
                            "Could not create temporary file\n'" + exchange_ + "'\nError code=" +
                                std::to_string(EEXIST),
                            true}});
    EXPECT_TRUE(fake_.calls.empty());
    EXPECT_EQ(test::ListDirectory(exchange_).size(), 0xFFFFu);
}

// The exchange file's path is at most the directory, "/", "se", four digits
// and ".TMP": a directory that only a short number would fit is refused on
// every run, never on some runs only.
TEST_F(RunToolTest, WorkingDirectoryIsMeasuredAgainstTheLongestName) {
    for (const size_t length : {248u, 249u}) {
        std::string working = directory_ + "/";
        working += std::string(length - working.size(), 'w');
        fs::create_directory(working);
        fake_.calls.clear();
        // No "%f": the path would make the command line too long.
        Install({.workingDirectory = working, .commandLine = Tool("tool_nothing")});
        const Captured captured = Run();
        if (length == 248) {
            ExpectNoMessage(captured);
            EXPECT_EQ(fake_.calls.back().text, "Hello, World");
        } else {
            ExpectMessages(captured, {{"Error",
                                       "Could not create temporary file\n'" + working +
                                           "'\nError code=" + std::to_string(ENAMETOOLONG),
                                       true}});
        }
        EXPECT_TRUE(test::ListDirectory(working).empty());
    }
}
#endif

TEST_F(RunToolTest, ProgramGetsItsArgumentsAndTheHostsCurrentDirectory) {
    const std::string record = test::JoinPath(directory_, "record.txt");
    Install({.commandLine = Tool("tool_record_args") + " " + record +
                            " %f \"two words\" a\\\"b c\\\\d %u %p %d %o %N %x"});
    ExpectNoMessage(Run());
    const std::vector<std::string> lines = test::NonBlankLines(test::ReadFile(record));
    ASSERT_EQ(lines.size(), 11u) << test::ReadFile(record);
    EXPECT_EQ(lines[0], fs::current_path().string()) << "the program runs in the host's current directory";
    ASSERT_GE(lines[1].size(), 2u);
    ExpectExchangePath(lines[1].substr(1, lines[1].size() - 2));
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
              (std::vector<std::string>{"[two words]", "[a\"b]", "[c\\\\d]", "[user1]", "[pass1]", "[data1]",
                                        "[other1]", "[Name1]", "[%x]"}));
}

TEST_F(RunToolTest, HostRecordIsReadAfreshAtEveryRun) {
    const std::string record = test::JoinPath(directory_, "record.txt");
    Install({.commandLine = Tool("tool_record_args") + " " + record + " %u"});
    ExpectNoMessage(Run());
    EXPECT_EQ(test::NonBlankLines(test::ReadFile(record)).back(), "[user1]");
    snprintf(host_.TextU, sizeof host_.TextU, "%s", "changed");
    ExpectNoMessage(Run());
    EXPECT_EQ(test::NonBlankLines(test::ReadFile(record)).back(), "[changed]");
}

TEST_F(RunToolTest, SecondInstallWithAnotherHostRecordIsUsedByLaterRuns) {
    const std::string record = test::JoinPath(directory_, "record.txt");
    const Settings settings{.commandLine = Tool("tool_record_args") + " " + record + " %u %N"};
    Install(settings);
    ExpectNoMessage(Run());
    HostRecord second;
    FillHostRecord<2>(second, hostWindow_);
    Install(settings, &second);
    fake_.calls.clear();
    ExpectNoMessage(Run());
    const std::vector<std::string> lines = test::NonBlankLines(test::ReadFile(record));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "[user2]");
    EXPECT_EQ(lines[2], "[Name2]");
    ASSERT_EQ(fake_.calls.size(), 3u);
    for (const Call &call : fake_.calls) EXPECT_EQ(call.host, 2) << call.name;
    EXPECT_EQ(fake_.calls[2].context, 4702);
}

TEST_F(RunToolTest, EmptyWorkingDirectoryUsesTheSystemTemporaryDirectory) {
    std::vector<test::Path> temps = {test::JoinPath(directory_, "system-temp")};
    fs::create_directory(temps[0]);
#if defined(_WIN32)
    // Folders the ANSI code page cannot name, or writes too long: runs go
    // through their short names.
    for (const wchar_t *name : test::kNonAnsiNames) temps.push_back(test::MakeNonAnsiDir(directory_, name));
    temps.push_back(test::MakeDeepCjkDir(directory_));
    wchar_t saved[MAX_PATH] = {};
    const bool hadTmp = GetEnvironmentVariableW(L"TMP", saved, MAX_PATH) > 0;
#else
    const char *previous = getenv("TMPDIR");
    const std::string saved = previous ? previous : "";
#endif
    for (const test::Path &temp : temps) {
#if defined(_WIN32)
        SetEnvironmentVariableW(L"TMP", temp.c_str());
#else
        setenv("TMPDIR", temp.c_str(), 1);
#endif
        for (const bool deleteTemp : {false, true}) {
            Install({.deleteTemp = deleteTemp, .useSystemTemp = true, .commandLine = Tool("tool_upper_case") + " %f"});
            fake_.calls.clear();
            fake_.text = "temp";
            ExpectNoMessage(Run());
            EXPECT_EQ(fake_.calls.empty() ? "" : fake_.calls.back().text, "TEMP") << temp.string();
        }
        EXPECT_EQ(ExchangeFiles(temp).size(), 1u) << "only the run without DeleteTemp leaves its file";
    }
#if defined(_WIN32)
    SetEnvironmentVariableW(L"TMP", hadTmp ? saved : nullptr);
#else
    if (previous)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
#endif
    EXPECT_TRUE(ExchangeFiles(exchange_).empty());
}

// ---- Callbacks --------------------------------------------------------------------------

TEST_F(RunToolTest, NullGetTextMakesTheRunDoNothing) {
    const std::string record = test::JoinPath(directory_, "record.txt");
    host_.GetText = nullptr;
    Install({.commandLine = Tool("tool_record_args") + " " + record + " %f"});
    ExpectNoMessage(Run());
    EXPECT_TRUE(fake_.calls.empty());
    EXPECT_TRUE(test::ListDirectory(exchange_).empty());
    EXPECT_FALSE(test::FileExists(record)) << "no program was started";
}

TEST_F(RunToolTest, NullGetContextPassesContextZero) {
    host_.GetContext = nullptr;
    Install({.commandLine = Tool("tool_upper_case") + " %f"});
    fake_.text = "no context";
    ExpectNoMessage(Run());
    ASSERT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetText", "PutText"}));
    EXPECT_EQ(fake_.calls[0].context, 0);
    EXPECT_EQ(fake_.calls[1].context, 0);
    EXPECT_EQ(fake_.calls[1].text, "NO CONTEXT");
}

TEST_F(RunToolTest, GetTextClearedDuringTheRunWritesThePreviousText) {
    Install({.commandLine = Tool("tool_upper_case") + " %f"});
    fake_.text = "previous";
    ExpectNoMessage(Run());
    fake_.calls.clear();
    fake_.text = "never handed out";
    fake_.clearGetTextOf = &host_;
    ExpectNoMessage(Run());
    ASSERT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "PutText"}));
    EXPECT_EQ(fake_.calls[1].text, "PREVIOUS");
}

// A user can pick the plug-in again while a run is in progress (the host
// stays usable while the "Execute Error!" box shows): both entry points
// return at once, and the settings dialog is not shown.
TEST_F(RunToolTest, CallsDuringARunAreRefused) {
    Install({.deleteTemp = false, .commandLine = Tool("tool_upper_case") + " %f"});
    const std::string settingsBefore = test::ReadFile(test::JoinPath(moduleDirectory_, "exttool.ini"));
    fake_.text = "once";
    int32_t settingsResult = 0;
    std::string formOutput;
    fake_.duringGetText = [&] {
        module_.OnCall();
#if defined(_WIN32)
        settingsResult = module_.OnSettings();
#else
        // Cancel is also what the form ends with at the end of its input:
        // here it is given answers for OK, and must neither read nor print.
        const std::string in = test::JoinPath(directory_, "form-in.txt");
        const std::string out = test::JoinPath(directory_, "form-out.txt");
        test::WriteFile(in, "y\ny\n\nChanged\n\n\n\no\n");
        fflush(stdout);
        const int savedIn = dup(0), savedOut = dup(1);
        const int inFd = open(in.c_str(), O_RDONLY), outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(inFd, 0);
        dup2(outFd, 1);
        settingsResult = module_.OnSettings();
        fflush(stdout);
        dup2(savedIn, 0);
        dup2(savedOut, 1);
        for (int fd : {inFd, outFd, savedIn, savedOut}) close(fd);
        formOutput = test::ReadFile(out);
#endif
    };
    ExpectNoMessage(Run());
    EXPECT_EQ(settingsResult, 2);
    EXPECT_EQ(formOutput, "") << "the settings form was shown during the run";
    ASSERT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText", "PutText"}));
    EXPECT_EQ(fake_.calls[2].text, "ONCE");
    EXPECT_EQ(ExchangeFiles(exchange_).size(), 1u);
    EXPECT_EQ(test::ReadFile(test::JoinPath(moduleDirectory_, "exttool.ini")), settingsBefore);
    // The guard is lifted when the run is over.
    fake_.calls.clear();
    ExpectNoMessage(Run());
    EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText", "PutText"}));
}

TEST_F(RunToolTest, NullPutTextStillRunsTheTool) {
    host_.PutText = nullptr;
    Install({.deleteTemp = false, .commandLine = Tool("tool_upper_case") + " %f"});
    fake_.text = "quiet";
    ExpectNoMessage(Run());
    EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText"}));
    EXPECT_EQ(OnlyExchangeFileContent(), "QUIET");
}

// ---- What goes out and what comes back ----------------------------------------------------

TEST_F(RunToolTest, HostTextIsWrittenUpToAZeroByte) {
    Install({.deleteTemp = false, .commandLine = Tool("tool_nothing") + " %f"});
    fake_.text = std::string("visible\0hidden", 14);
    ExpectNoMessage(Run());
    EXPECT_EQ(OnlyExchangeFileContent(), "visible");
    EXPECT_EQ(fake_.calls.back().text, "visible");
}

TEST_F(RunToolTest, HostTextFillingTheWholeCapacityGoesOutWhole) {
    Install({.commandLine = Tool("tool_upper_case") + " %f"});
    fake_.text = std::string(102400, 'x');
    fake_.fillWholeCapacity = true;
    ExpectNoMessage(Run());
    EXPECT_EQ(fake_.calls.back().text, std::string(102400, 'X'));
}

TEST_F(RunToolTest, ResultLongerThan102400BytesIsCut) {
    Install({.commandLine = Tool("tool_write_big") + " %f"});
    ExpectNoMessage(Run());
    const std::string &text = fake_.calls.back().text;
    ASSERT_EQ(text.size(), 102400u);
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] != static_cast<char>('a' + i % 26)) FAIL() << "wrong byte at " << i;
}

TEST_F(RunToolTest, EmptiedFileGivesAnEmptyText) {
    Install({.commandLine = Tool("tool_empty") + " %f"});
    ExpectNoMessage(Run());
    ASSERT_EQ(fake_.calls.back().name, "PutText");
    EXPECT_EQ(fake_.calls.back().text, "");
}

TEST_F(RunToolTest, ZeroByteFromTheToolEndsTheText) {
    Install({.commandLine = Tool("tool_write_zero") + " %f"});
    ExpectNoMessage(Run());
    EXPECT_EQ(fake_.calls.back().text, "before");
}

TEST_F(RunToolTest, FailureExitCodeCountsAsSuccess) {
    Install({.commandLine = Tool("tool_fail") + " %f"});
    ExpectNoMessage(Run());
    EXPECT_EQ(fake_.calls.back().text, "failed on purpose");
}

// ---- Run options ------------------------------------------------------------------

struct RunOptionCase {
    const char *name;
    Settings settings;      // its commandLine after the tool's directory
    const char *put;        // PutText's text; null: not called
    std::string message;    // the host-owned "Error" box; empty: none
    bool fetched = true;    // the host's text was fetched
    std::string recorded{}; // tool_record_args' record, in order (each part found after the last)
};

TEST_F(RunToolTest, RunOptionsOutcomes) {
    const std::string record = test::JoinPath(directory_, "record.txt");
    const std::string recordArgs = "tool_record_args " + record + " ";
    // The host's D text is the document's folder.
    snprintf(host_.TextD, sizeof host_.TextD, "%s", directory_.c_str());
    const std::string missing = directory_ + kSeparator + "missing";
    const std::string longTemplate = std::string(250, 'a') + "%d";
    std::string tooMany, longValue = "LONG=" + std::string(1024, 'x') + "\r\n";
    for (int i = 1; i <= 33; ++i) tooMany += "V" + std::to_string(i) + "=1\r\n";
#if defined(_WIN32)
    _putenv("EXTTOOL_HOST=host");
    _putenv("EXTTOOL_GONE=present");
    const std::string missingCode = "267", caseFolded = "[$EXTTOOL_HOST=host!]";
#else
    setenv("EXTTOOL_HOST", "host", 1);
    setenv("EXTTOOL_GONE", "present", 1);
    const std::string missingCode = "2", caseFolded = "[$EXTTOOL_HOST=host]";
#endif
    const std::string kept = "\nThe text was left as it was";
    const RunOptionCase cases[] = {
        {"ListedExitCodeReadsTheFileBack", {.commandLine = "tool_fail %f", .settingsKeys = "SuccessCodes=0, 7\r\n"},
         "failed on purpose", ""},
        {"UnlistedExitCodeKeepsTheText", {.commandLine = "tool_fail %f", .settingsKeys = "SuccessCodes=0\r\n"},
         nullptr, "The program ended with exit code 7" + kept},
        {"UnlistedExitCodeIsShownWithReadOnly",
         {.readOnly = true, .commandLine = "tool_fail %f", .settingsKeys = "SuccessCodes=0\r\n"}, nullptr,
         "The program ended with exit code 7" + kept},
        {"SuccessCodesOtherThanAListAreRefusedBeforeTheFetch",
         {.commandLine = "tool_fail %f", .settingsKeys = "SuccessCodes=0;1\r\n"}, nullptr,
         "SuccessCodes is not a list of exit codes\n'0;1'", false},
        {"ExtensionNamesTheExchangeFile", {.commandLine = recordArgs + "%f", .pathKeys = "ExchangeExtension=js\r\n"},
         "Hello, World", "", true, ".js]\n"},
        {"InvalidExtensionIsRefusedBeforeAnyFile",
         {.commandLine = recordArgs + "%f", .pathKeys = "ExchangeExtension=j/s\r\n"}, nullptr,
         "The exchange file extension is not valid\n'j/s'", false},
        {"StartDirectoryIsExpandedFromTheHostsTexts",
         {.commandLine = recordArgs + "%f", .pathKeys = "StartDirectory=%d\r\n"}, "Hello, World", "", true,
         directory_ + "\n"},
        {"MissingStartDirectoryStartsNothing",
         {.commandLine = recordArgs + "%f", .pathKeys = "StartDirectory=%d" + std::string(1, kSeparator) + "missing\r\n"},
         nullptr, "Could not start the program in '" + missing + "'\nError code=" + missingCode, false},
        {"StartDirectoryTooLongIsRefused",
         {.commandLine = recordArgs + "%f", .pathKeys = "StartDirectory=" + longTemplate + "\r\n"}, nullptr,
         "Start directory too long\n'" + longTemplate + "'", false},
        {"EnvironmentChangesOnlyTheProgramsCopy",
         {.commandLine = recordArgs + "$EXTTOOL_SET $EXTTOOL_GONE $EXTTOOL_KEPT $EXTTOOL_HOST $EXTTOOL_NOTE",
          .environment = "EXTTOOL_SET=one\r\nEXTTOOL_SET = %EXTTOOL_SET%-%EXTTOOL_HOST%\r\nEXTTOOL_GONE=\r\n"
                         "EXTTOOL_KEPT=%EXTTOOL_UNSET%%\r\n;EXTTOOL_NOTE=comment\r\nEXTTOOL_NOTE\r\n"
                         "exttool_host=%EXTTOOL_HOST%!\r\n"},
         "Hello, World", "", true,
         "[$EXTTOOL_SET=one-host]\n[$EXTTOOL_GONE unset]\n[$EXTTOOL_KEPT=%EXTTOOL_UNSET%%]\n" + caseFolded +
             "\n[$EXTTOOL_NOTE unset]\n"},
        {"PathOfTheEnvironmentFindsTheProgram",
         {.commandLine = "", .environment = "PATH=" + ToolsDirectory().substr(0, ToolsDirectory().size() - 1) + "\r\n"},
         "Hello, World", "", true, "[$PATH="},
        {"MoreThan32VariablesAreRefused", {.commandLine = recordArgs, .environment = tooMany}, nullptr,
         "The [Environment] section sets more than 32 variables: 'V33' is one too many", false},
        {"ValueLongerThan1023CharactersIsRefused", {.commandLine = recordArgs, .environment = longValue}, nullptr,
         "The environment variable 'LONG' is longer than 1023 characters", false},
    };
    for (const RunOptionCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake_.calls.clear();
        fs::remove(record);
        Settings settings = c.settings;
        // A bare program name, looked up on the PATH the environment sets.
        settings.commandLine = settings.commandLine.empty() ? "tool_record_args " + record + " $PATH"
                                                            : ToolsDirectory() + settings.commandLine;
        Install(settings);
        const Captured captured = Run();
        if (c.message.empty())
            ExpectNoMessage(captured);
        else
            ExpectMessages(captured, {{"Error", c.message, true}});
        std::vector<std::string> names;
        if (c.fetched) names = {"GetContext", "GetText"};
        if (c.put) names.push_back("PutText");
        EXPECT_EQ(CallNames(fake_.calls), names);
        if (c.put) EXPECT_EQ(fake_.calls.back().text, c.put);
        EXPECT_TRUE(ExchangeFiles(exchange_).empty());
        EXPECT_TRUE(test::ListDirectory(exchange_).empty()) << "no file of another name is left";
        const std::string recorded = test::FileExists(record) ? test::ReadFile(record) : "";
        EXPECT_NE(recorded.find(c.recorded), std::string::npos) << recorded;
        if (!c.fetched) EXPECT_EQ(recorded, "") << "nothing was started";
    }
    EXPECT_STREQ(getenv("EXTTOOL_GONE"), "present") << "the host's own environment is unchanged";
}

TEST_F(RunToolTest, TemplateWithoutPlaceholderStillUsesAnExchangeFile) {
    const std::string record = test::JoinPath(directory_, "record.txt");
    Install({.commandLine = Tool("tool_record_args") + " " + record});
    fake_.text = "untouched";
    ExpectNoMessage(Run());
    EXPECT_EQ(test::NonBlankLines(test::ReadFile(record)).size(), 1u) << "only the directory line";
    EXPECT_EQ(fake_.calls.back().text, "untouched");
    EXPECT_TRUE(ExchangeFiles(exchange_).empty());
}

// A program that starts another and ends at once ends the wait; nothing
// ends the other one, in either mode.
TEST_F(RunToolTest, ChildHandOffEndsTheWaitAtOnce) {
    for (const bool filter : {false, true}) {
        SCOPED_TRACE(filter ? "filter mode" : "file mode");
        fake_.calls.clear();
        const std::string marker = test::JoinPath(directory_, filter ? "marker-filter.txt" : "marker.txt");
        Install({.commandLine = Tool("tool_hand_off") + " " + marker + " 3", .filter = filter});
        fake_.text = "handed off";
        ExpectNoMessage(Run());
        EXPECT_FALSE(test::FileExists(marker)) << "the run waited for the child";
        EXPECT_EQ(fake_.calls.back().text, filter ? "" : "handed off");
        // The child does finish its work later on.
        for (int i = 0; i < 200 && !test::FileExists(marker); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(test::FileExists(marker));
    }
}

// ---- While a program runs: Cancel, the time limit, endless output -----------------------------

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Whether the marker of a tool's child appears within `seconds`.
bool MarkerAppears(const std::string &marker, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (test::FileExists(marker)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return test::FileExists(marker);
}

const char kTextKept[] = "\nThe text was left as it was";

// The time limit ends the program, and in filter mode (on Windows in both
// modes, through the job) the process it started; the text stays, and only
// the exchange file may stay, as DeleteTemp says.
TEST_F(RunToolTest, TimeLimitEndsTheProgramWithItsMessage) {
    for (const bool filter : {false, true}) {
        SCOPED_TRACE(filter ? "filter mode" : "file mode");
        fake_.calls.clear();
        const std::string marker = test::JoinPath(directory_, filter ? "child-filter.txt" : "child-file.txt");
        Install({.commandLine = Tool("tool_sleep") + " 30 " + marker + " 2", .filter = filter, .timeout = 1});
        const Clock::time_point start = Clock::now();
        const Captured captured = Run();
        const double took = SecondsSince(start);
        ExpectMessages(captured,
                       {{"Error", std::string("The program did not end within the time limit of 1 s") + kTextKept,
                         true}});
        EXPECT_GE(took, 0.9);
        EXPECT_LT(took, 8.0);
        EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText"}));
        EXPECT_EQ(FilesLeftIn(exchange_, 0), 0u);
#if defined(_WIN32)
        const bool childEnded = true;
#else
        // File mode ends the program alone: it keeps the terminal.
        const bool childEnded = filter;
#endif
        EXPECT_EQ(MarkerAppears(marker, 4), !childEnded);
    }
}

TEST_F(RunToolTest, NoTimeLimitLetsASlowProgramFinish) {
    Install({.commandLine = Tool("tool_sleep") + " 2", .filter = true, .timeout = 0});
    fake_.text = "slow";
    ExpectNoMessage(Run());
    EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText", "PutText"}));
    Install({.commandLine = Tool("tool_upper_case") + " %f", .timeout = 20});
    fake_.calls.clear();
    ExpectNoMessage(Run());
    EXPECT_EQ(fake_.calls.back().text, "SLOW") << "a limit that is not reached changes nothing";
}

// Filter mode: a capture that grows past its bound ends the program at
// once, long before the disk fills.
TEST_F(RunToolTest, EndlessOutputIsStopped) {
    const struct {
        const char *arguments;
        std::string message;
    } cases[] = {
        {" 2000000000", std::string("The program's output is longer than 102400 bytes") + kTextKept},
        {" 2000000000 err", std::string("The program's error output is longer than 1048576 bytes") + kTextKept},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments);
        fake_.calls.clear();
        Install({.commandLine = Tool("tool_write_n") + c.arguments, .filter = true});
        const Clock::time_point start = Clock::now();
        ExpectMessages(Run(), {{"Error", c.message, true}});
        EXPECT_LT(SecondsSince(start), 10.0);
        EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText"}));
        EXPECT_EQ(FilesLeftIn(exchange_, 0), 0u);
    }
}

#if defined(_WIN32)
// The host window of these tests, with its WM_PAINT messages counted.
std::atomic<int> g_HostPaints;
WNDPROC g_HostProc;
LRESULT CALLBACK CountPaints(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) ++g_HostPaints;
    return CallWindowProcA(g_HostProc, window, message, wParam, lParam);
}

BOOL CALLBACK FindWaitWindow(HWND window, LPARAM found) {
    if (!IsWindowVisible(window) || !IsWaitWindow(window)) return TRUE;
    *reinterpret_cast<HWND *>(found) = window;
    return FALSE;
}

bool WaitFor(const std::function<bool()> &condition, int milliseconds) {
    for (int waited = 0; !condition(); waited += 10) {
        if (waited >= milliseconds) return false;
        Sleep(10);
    }
    return true;
}

// The wait window of `thread` once it shows; null when none shows within 10 s.
HWND AwaitWaitWindow(DWORD thread) {
    HWND window = nullptr;
    WaitFor([&] {
        EnumThreadWindows(thread, FindWaitWindow, reinterpret_cast<LPARAM>(&window));
        return window != nullptr;
    }, 10000);
    return window;
}

// What a driver thread saw of the wait window while the run went on.
struct WaitWindowSeen {
    HWND window = nullptr;
    std::string title, command, elapsed;
    bool hostDisabled = false, hostPainted = false;
    RECT windowRect{}, hostRect{};
};

// The window shows half a second into a slow run: owned by the host and
// centred on it, with the caption, the command line and the seconds; the
// host is disabled but still painted; input for the host, queued before the
// window or sent while it shows, never reaches it; Cancel (the button, Esc
// or Enter) ends the program and the process it started, with no message.
TEST_F(RunToolTest, WaitWindowIsModalAndCancelEndsTheProgramAndItsChild) {
    const HWND host = static_cast<HWND>(hostWindow_);
    SetWindowPos(host, nullptr, 100, 80, 500, 300, SWP_NOZORDER | SWP_SHOWWINDOW);
    const HWND edit = CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE, 0, 0, 200, 20, host, nullptr,
                                      GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(edit, nullptr);
    g_HostProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(host, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountPaints)));
    const DWORD thread = GetCurrentThreadId();
    const char *const presses[] = {"button", "Escape", "Enter"};
    for (const char *press : presses) {
        SCOPED_TRACE(press);
        fake_.calls.clear();
        const bool first = press == presses[0];
        const std::string marker = test::JoinPath(directory_, std::string("child-") + press + ".txt");
        Install({.commandLine = Tool("tool_sleep") + " 30 " + marker + " 2", .filter = !first});
        // Typed before the window appears: queued, never to arrive.
        fake_.duringGetText = [&] { PostMessageA(edit, WM_CHAR, 'q', 1); };
        WaitWindowSeen seen;
        std::thread driver([&] {
            seen.window = AwaitWaitWindow(thread);
            if (!seen.window) return;
            char text[1024] = {};
            GetWindowTextA(seen.window, text, sizeof text);
            seen.title = text;
            GetDlgItemTextA(seen.window, 1020, text, sizeof text);
            seen.command = text;
            seen.hostDisabled = !IsWindowEnabled(host);
            GetWindowRect(seen.window, &seen.windowRect);
            GetWindowRect(host, &seen.hostRect);
            const int paints = g_HostPaints;
            InvalidateRect(host, nullptr, TRUE);
            seen.hostPainted = WaitFor([&] { return g_HostPaints > paints; }, 10000);
            PostMessageA(edit, WM_CHAR, 'w', 1);
            // The seconds go on.
            WaitFor([&] {
                GetDlgItemTextA(seen.window, 1021, text, sizeof text);
                return std::string(text) == "1 s elapsed";
            }, 3000);
            GetDlgItemTextA(seen.window, 1021, text, sizeof text);
            seen.elapsed = text;
            const HWND cancel = GetDlgItem(seen.window, IDCANCEL);
            if (std::string(press) == "button") {
                PostMessageA(cancel, BM_CLICK, 0, 0);
            } else {
                PostMessageA(cancel, WM_KEYDOWN, std::string(press) == "Escape" ? VK_ESCAPE : VK_RETURN, 1);
            }
        });
        const Clock::time_point start = Clock::now();
        const Captured captured = Run();
        const double took = SecondsSince(start);
        driver.join();
        ASSERT_NE(seen.window, nullptr) << "no wait window";
        EXPECT_FALSE(IsWindow(seen.window)) << "the window closed with the run";
        EXPECT_EQ(seen.title, "External program");
        EXPECT_EQ(seen.command, Tool("tool_sleep") + " 30 " + marker + " 2");
        EXPECT_TRUE(seen.hostDisabled);
        EXPECT_TRUE(seen.hostPainted);
        EXPECT_EQ(seen.elapsed, "1 s elapsed");
        // Centred to the pixel: a window and a host whose widths differ by an
        // odd number of pixels have centres half a pixel apart.
        EXPECT_NEAR((seen.windowRect.left + seen.windowRect.right) / 2, (seen.hostRect.left + seen.hostRect.right) / 2, 1);
        EXPECT_NEAR((seen.windowRect.top + seen.windowRect.bottom) / 2, (seen.hostRect.top + seen.hostRect.bottom) / 2, 1);
        ASSERT_EQ(captured.waitWindows.size(), 1u);
        EXPECT_EQ(captured.waitWindows[0].owner, host);
        EXPECT_LT(took, 25.0) << "the 30-second program was not ended";
        ExpectNoMessage(captured);
        EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText"}));
        EXPECT_TRUE(IsWindowEnabled(host));
        EXPECT_EQ(GetActiveWindow(), host) << "the host is active again";
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        char typed[16] = {};
        GetWindowTextA(edit, typed, sizeof typed);
        EXPECT_STREQ(typed, "") << "input reached the host's text";
        EXPECT_EQ(FilesLeftIn(exchange_, 0), 0u);
        if (first) EXPECT_FALSE(MarkerAppears(marker, 4)) << "the started process outlived Cancel";
    }
    SetWindowLongPtrA(host, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_HostProc));
    DestroyWindow(edit);
}

// The window shows only for a program still running half a second into the
// wait, owned by the host, centred on it as it stands when restored and
// inside the work area, so that Cancel is always in reach; without a host
// window, or with a handle that is no longer one, it is unowned and centred
// on the work area.
TEST_F(RunToolTest, WaitWindowShowsAfterHalfASecondWithinReach) {
    const HWND host = static_cast<HWND>(hostWindow_);
    const HWND gone = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    RECT work{};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const POINT hostCentre{350, 230}, workCentre{(work.left + work.right) / 2, (work.top + work.bottom) / 2};
    const struct {
        const char *name;
        std::string command;
        int show;    // ShowWindow of the host at (100, 80, 500 x 300); -1: moved off the screen
        HWND owner;  // the host record's window
        bool shown;
        const POINT *centre; // null: only inside the work area
    } cases[] = {
        {"FastProgram", Tool("tool_upper_case") + " %f", SW_SHOW, host, false, nullptr},
        {"SlowProgram", Tool("tool_sleep") + " 1", SW_SHOW, host, true, &hostCentre},
        {"MinimisedHost", Tool("tool_sleep") + " 1", SW_MINIMIZE, host, true, &hostCentre},
        {"HostOffTheScreen", Tool("tool_sleep") + " 1", -1, host, true, nullptr},
        {"NoHostWindow", Tool("tool_sleep") + " 1", SW_SHOW, nullptr, true, &workCentre},
        {"HostWindowGone", Tool("tool_sleep") + " 1", SW_SHOW, gone, true, &workCentre},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ShowWindow(host, SW_RESTORE);
        SetWindowPos(host, nullptr, c.show < 0 ? -3000 : 100, c.show < 0 ? -3000 : 80, 500, 300, SWP_NOZORDER);
        if (c.show >= 0) ShowWindow(host, c.show);
        host_.OwnerWindow = c.owner;
        Install({.commandLine = c.command});
        if (!c.shown) {
            // On a loaded machine Wine may take half a second to start a
            // program: such runs tell nothing of the rule, so the fast
            // program runs again until a run is well within it.
            bool quick = false;
            for (int attempt = 0; attempt < 5 && !quick; ++attempt) {
                const Clock::time_point start = Clock::now();
                const Captured captured = Run();
                const double took = SecondsSince(start);
                ExpectNoMessage(captured);
                quick = took < 0.45;
                EXPECT_TRUE(captured.waitWindows.empty() || took >= 0.5) << "a window after " << took << " s";
            }
            EXPECT_TRUE(quick) << "no run took less than 0.45 s";
            continue;
        }
        RECT rect{};
        std::thread driver([&] {
            if (const HWND window = c.shown ? AwaitWaitWindow(GetWindowThreadProcessId(host, nullptr)) : nullptr)
                GetWindowRect(window, &rect);
        });
        const Captured captured = Run();
        driver.join();
        ExpectNoMessage(captured);
        ASSERT_EQ(captured.waitWindows.size(), 1u);
        const SeenBox &seen = captured.waitWindows[0];
        EXPECT_EQ(seen.owner, c.owner == host ? host : nullptr);
        EXPECT_GE(seen.tick - captured.startTick, 500u) << "shown before the half second";
        EXPECT_TRUE(rect.left >= work.left && rect.top >= work.top && rect.right <= work.right &&
                    rect.bottom <= work.bottom)
            << rect.left << "," << rect.top;
        if (c.centre) EXPECT_NEAR((rect.left + rect.right) / 2, c.centre->x, 1);
        if (c.centre) EXPECT_NEAR((rect.top + rect.bottom) / 2, c.centre->y, 1);
    }
}

// The host's thread never holds the wait up: a host that posts itself
// messages without end (idle work) still sees the run end with the program,
// a WM_QUIT taken during the wait is there for its own loop afterwards, and
// a host window destroyed (WM_CLOSE, as taskkill sends it) ends the run as
// Cancel does, with the process the program started.
std::atomic<DWORD> g_FloodUntil;
LRESULT CALLBACK PostsItselfMessages(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP && GetTickCount() < g_FloodUntil) PostMessageA(window, WM_APP, 0, 0);
    return CallWindowProcA(g_HostProc, window, message, wParam, lParam);
}

TEST_F(RunToolTest, WaitEndsWhateverTheHostDoes) {
    const HWND host = static_cast<HWND>(hostWindow_);
    g_HostProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(host, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PostsItselfMessages)));
    const DWORD thread = GetCurrentThreadId();
    const std::string marker = test::JoinPath(directory_, "child.txt");
    const struct {
        const char *name;
        UINT message; // posted once the window shows
        std::string command;
        bool comesBack;
    } cases[] = {
        {"HostPostsItselfMessages", WM_APP, Tool("tool_sleep") + " 2", true},
        {"QuitIsLeftForTheHost", WM_QUIT, Tool("tool_sleep") + " 2", true},
        {"HostWindowClosed", WM_CLOSE, Tool("tool_sleep") + " 10 " + marker + " 5", false}, // the last: the host goes
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake_.calls.clear();
        g_FloodUntil = GetTickCount() + 12000;
        Install({.commandLine = c.command});
        std::thread driver([&] {
            AwaitWaitWindow(thread);
            if (c.message == WM_QUIT) PostThreadMessageA(thread, WM_QUIT, 7, 0);
            else PostMessageA(host, c.message, 0, 0);
        });
        const Clock::time_point start = Clock::now();
        const Captured captured = Run();
        const double took = SecondsSince(start);
        driver.join();
        g_FloodUntil = 0;
        ExpectNoMessage(captured);
        EXPECT_EQ(captured.waitWindows.size(), 1u);
        // A 2-second program, and Wine's own two seconds for a destroyed
        // window; the host's flood lasts 12.
        EXPECT_LT(took, 9.0);
        EXPECT_EQ(fake_.calls.size(), c.comesBack ? 3u : 2u) << "PutText called or not";
        MSG message;
        WPARAM quit = 0;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            if (message.message == WM_QUIT) quit = message.wParam;
        EXPECT_EQ(quit, c.message == WM_QUIT ? 7u : 0u);
    }
    EXPECT_FALSE(IsWindow(host));
    EXPECT_FALSE(MarkerAppears(marker, 4)) << "the started process outlived its host";
}
#else
std::atomic<int> g_HostInterrupts;
void HostInterruptHandler(int) { ++g_HostInterrupts; }

// Ctrl-C in the host's terminal during the wait is Cancel: the program's
// group is ended, nothing is shown or put back, and afterwards SIGINT is
// the host's again.
TEST_F(RunToolTest, InterruptDuringTheWaitIsCancel) {
    struct sigaction hosts {}, previous{};
    hosts.sa_handler = HostInterruptHandler;
    sigemptyset(&hosts.sa_mask);
    sigaction(SIGINT, &hosts, &previous);
    // Sent to the process from another thread, as a terminal sends it, or to
    // that other thread alone, as the kernel may choose: file mode has no
    // capture files to look at, so only the waiting thread can end its wait.
    for (const auto &[filter, toThread] : {std::pair{true, false}, {false, false}, {false, true}}) {
        SCOPED_TRACE(std::string(filter ? "filter mode" : "file mode") + (toThread ? ", to another thread" : ""));
        fake_.calls.clear();
        const std::string marker = test::JoinPath(
            directory_, filter ? "child-filter.txt" : toThread ? "child-thread.txt" : "child-file.txt");
        Install({.commandLine = Tool("tool_sleep") + " 30 " + marker + " 2", .filter = filter});
        std::thread interrupt([toThread] {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            if (toThread)
                tgkill(getpid(), gettid(), SIGINT);
            else
                kill(getpid(), SIGINT);
        });
        const Clock::time_point start = Clock::now();
        const Captured captured = Run();
        const double took = SecondsSince(start);
        interrupt.join();
        ExpectNoMessage(captured);
        EXPECT_LT(took, 5.0);
        EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText"}));
        EXPECT_EQ(FilesLeftIn(exchange_, 0), 0u);
        EXPECT_EQ(MarkerAppears(marker, 4), !filter) << "filter mode ends the whole group, file mode the program";
    }
    EXPECT_EQ(g_HostInterrupts, 0) << "the host's handler saw an interrupt of the wait";
    raise(SIGINT);
    EXPECT_EQ(g_HostInterrupts, 1) << "the host's handler was not restored";
    struct sigaction now {};
    sigaction(SIGINT, &previous, &now);
    EXPECT_EQ(now.sa_handler, HostInterruptHandler);
}

// The processes of a process group that have not ended (zombies have).
int LiveProcessesIn(pid_t group) {
    int live = 0;
    for (const std::string &name : test::ListDirectory("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // A process may go between the listing and the read.
        std::ifstream in("/proc/" + name + "/stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t end = stat.rfind(')');
        if (end == std::string::npos) continue;
        char state = 0;
        int parent = 0, processGroup = 0;
        if (sscanf(stat.c_str() + end + 1, " %c %d %d", &state, &parent, &processGroup) == 3 &&
            processGroup == group && state != 'Z')
            ++live;
    }
    return live;
}

// SIGTERM first; SIGKILL to whatever of the group is left as soon as the
// program itself has ended, or a second later when it ignores SIGTERM. The
// group is empty afterwards.
TEST_F(RunToolTest, WhatIgnoresTerminationIsKilled) {
    const std::string pidFile = test::JoinPath(directory_, "pid.txt");
    ASSERT_GT(LiveProcessesIn(getpgrp()), 0) << "the test's own group is seen";
    const struct {
        const char *name;
        std::string script; // the program's group leader writes its pid first
        double least, most; // seconds the run takes
    } cases[] = {
        {"ProgramIgnoresIt", "trap '' TERM; sleep 30", 1.9, 5.0},
        {"OnlyAChildIgnoresIt", "(trap '' TERM; sleep 30) & exec sleep 30", 0.9, 1.8},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Install({.commandLine = "sh -c \"echo $$ >" + pidFile + "; " + c.script + "\"", .filter = true, .timeout = 1});
        const Clock::time_point start = Clock::now();
        ExpectMessages(Run(), {{"Error", std::string("The program did not end within the time limit of 1 s") + kTextKept,
                                true}});
        const double took = SecondsSince(start);
        EXPECT_GE(took, c.least);
        EXPECT_LT(took, c.most);
        EXPECT_EQ(FilesLeftIn(exchange_, 0), 0u);
        const pid_t group = static_cast<pid_t>(atoi(test::ReadFile(pidFile).c_str()));
        ASSERT_GT(group, 1);
        // A killed child is a zombie until its new parent reaps it, which
        // some init processes never do.
        for (int i = 0; i < 50 && LiveProcessesIn(group) > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(LiveProcessesIn(group), 0) << "a process of the group is left";
    }
}
#endif

// ---- Failures and their messages ------------------------------------------------------------

// What the exchange file has become when the program ends: only a regular
// file of the user's own is read back; anything else is reported with the
// error code and nothing comes back.
struct ReadBackCase {
    const char *name;
    std::string arguments; // the tool and its arguments before and after %f
    const char *put;       // what PutText is given; null: it is not called
    int code;              // the error code of "Could not read TEMP file"; 0: no message
};

TEST_F(RunToolTest, ReadBackTakesOnlyARegularFileOfTheUsersOwn) {
    const std::string attacker = test::JoinPath(directory_, "attacker.txt");
    test::WriteFile(attacker, "ATTACKER'S TEXT");
    std::vector<ReadBackCase> cases = {{"DeletedFile", "tool_delete %f", nullptr, 2}};
#if !defined(_WIN32)
    cases.push_back({"ReplacedByANewFileAsSedDoes", "tool_replace new %f \"sed -i\"", "sed -i", 0});
    cases.push_back({"SymbolicLink", "tool_replace link %f " + attacker, nullptr, ELOOP});
    cases.push_back({"NamedPipe", "tool_replace fifo %f", nullptr, EPERM});
    if (geteuid() == 0) cases.push_back({"FileOfAnotherUser", "tool_replace owner %f 65534", nullptr, EPERM});
#endif
    for (const ReadBackCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake_.calls.clear();
        Install({.commandLine = Tool(c.arguments.substr(0, c.arguments.find(' '))) +
                                c.arguments.substr(c.arguments.find(' '))});
        fake_.text = "host text";
        const Captured captured = Run();
        std::vector<std::string> names = {"GetContext", "GetText"};
        if (c.put) names.push_back("PutText");
        EXPECT_EQ(CallNames(fake_.calls), names);
        if (c.put) EXPECT_EQ(fake_.calls.back().text, c.put);
        if (c.code == 0) {
            ExpectNoMessage(captured);
        } else {
            const std::string path = QuotedPart(captured);
            ExpectExchangePath(path);
            ExpectMessages(captured, {{"Error", "Could not read TEMP file\n'" + path + "'\nError code=" +
                                                    std::to_string(c.code), true}});
        }
        EXPECT_TRUE(test::ListDirectory(exchange_).empty());
    }
    EXPECT_EQ(test::ReadFile(attacker), "ATTACKER'S TEXT");
}

TEST_F(RunToolTest, MissingProgramShowsExecuteErrorWithoutOwner) {
    // 259 characters: the message holds the whole command line.
    std::string command = "no-such-program-of-exttool ";
    command += std::string(259 - command.size(), 'x');
    Install({.commandLine = command});
    fake_.text = "kept";
    const Captured captured = Run();
    ExpectMessages(captured,
                   {{"Execute Error!", "RUN : " + command + "\nERROR: 2\nMSG:" + SystemMessageFor(2) + "\n", false}});
    EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText"}));
    EXPECT_TRUE(test::ListDirectory(exchange_).empty()) << "DeleteTemp applies after a failed start";
}

TEST_F(RunToolTest, EmptyCommandLineIsAFailedStart) {
    Install({.deleteTemp = false, .commandLine = ""});
    fake_.text = "written anyway";
    const Captured captured = Run();
    const std::string all = captured.All();
    // The code depends on the platform; the message is checked against it.
    const size_t codeAt = all.find("ERROR: ");
    ASSERT_NE(codeAt, std::string::npos) << all;
    const int code = atoi(all.c_str() + codeAt + 7);
    EXPECT_NE(code, 0);
    ExpectMessages(captured, {{"Execute Error!",
                               "RUN : \nERROR: " + std::to_string(code) + "\nMSG:" + SystemMessageFor(code) + "\n",
                               false}});
    EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText"}));
    EXPECT_EQ(OnlyExchangeFileContent(), "written anyway");
}

TEST_F(RunToolTest, CommandLineTooLongIsRefusedBeforeAnyCallback) {
    const std::string record = test::JoinPath(directory_, "record.txt");
    std::string command = Tool("tool_record_args") + " " + record + " ";
    command += std::string(257 - command.size(), 'y') + "%f";
    ASSERT_EQ(command.size(), 259u);
    for (const bool deleteTemp : {true, false}) {
        SCOPED_TRACE(deleteTemp ? "DeleteTemp on" : "DeleteTemp off");
        fake_.calls.clear();
        Install({.deleteTemp = deleteTemp, .commandLine = command});
        ExpectMessages(Run(), {{"Error", "Command line too long\n'" + command + "'", true}});
        EXPECT_TRUE(fake_.calls.empty());
        EXPECT_FALSE(test::FileExists(record)) << "no program was started";
        if (deleteTemp)
            EXPECT_TRUE(test::ListDirectory(exchange_).empty());
        else
            EXPECT_EQ(OnlyExchangeFileContent(), "") << "the exchange file stays, empty";
    }
}

// ---- Host texts are data ----------------------------------------------------------------------

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

struct RefusalCase {
    const char *name;
    std::string commandLine; // "{rec}": the record file; "{bat}", "{cmd}": batch files that record
    std::string textU, textP;
    std::string message;               // the "Error" box; empty: the program runs
    std::vector<std::string> recorded; // the arguments it records after {rec}
};

const char kCmdRefusal[] = "The command line was refused: %s holds characters that cmd.exe would interpret\n'%s'";
const char kQuoteRefusal[] = "The command line was refused: %s holds a quotation mark inside quotes\n'%s'";
std::string Refusal(const char *format, const char *placeholder, const std::string &text) {
    char message[512];
    snprintf(message, sizeof message, format, placeholder, text.c_str());
    return message;
}

// A text that cmd.exe would read as commands never reaches a batch file or
// cmd, and a text that would end its quotes never reaches any program:
// nothing is fetched or started and the exchange file goes. Other texts go
// as they are, a trailing backslash before a closing quote included.
TEST_F(RunToolTest, HostTextsThatWouldBeReadAsCommandsOrQuotesAreRefused) {
    const std::string record = test::JoinPath(directory_, "record.txt");
    const std::string recorder = Tool("tool_record_args");
    const RefusalCase cases[] = {
#if defined(_WIN32)
        {"BatchFileGetsNoAmpersand", "{bat} {rec} %u", "report & mkdir INJ", "",
         Refusal(kCmdRefusal, "%u", "report & mkdir INJ"), {}},
        {"QuotesDoNotProtectABatchFile", "{bat} {rec} \"%u\"", "x\" & mkdir INJ & \"", "",
         Refusal(kCmdRefusal, "%u", "x\" & mkdir INJ & \""), {}},
        {"BatchFileGetsNoVariable", "{bat} {rec} \"%u\"", "budget %USERNAME%", "",
         Refusal(kCmdRefusal, "%u", "budget %USERNAME%"), {}},
        {"CaseAndTrailingDotsOfTheNameDoNotMatter", "{cmd}. {rec} %u %p", "plain", "a|b",
         Refusal(kCmdRefusal, "%p", "a|b"), {}},
        {"CmdItselfGetsNoAmpersand", "cmd /c \"" + recorder + "\" {rec} \"%u\"", "report & mkdir INJ", "",
         Refusal(kCmdRefusal, "%u", "report & mkdir INJ"), {}},
        {"ControlCharacterToABatchFile", "{bat} {rec} %u", "a\nb", "", Refusal(kCmdRefusal, "%u", "a\nb"), {}},
        {"PlainTextGoesToABatchFile", "{bat} {rec} \"%u\"", "Q3 report final.txt", "", "",
         {"[Q3 report final.txt]"}},
        {"UnusedTextIsNotLookedAt", "{bat} {rec} %u", "plain", "a&b", "", {"[plain]"}},
#endif
        {"OtherProgramsGetEveryCharacter", recorder + " {rec} \"%u\"", "R&D (draft) 100%.txt", "", "",
         {"[R&D (draft) 100%.txt]"}},
        {"QuoteCannotEndTheQuotes", recorder + " {rec} \"%u\" \"%f\"", "x\" \"--output=evil", "",
         Refusal(kQuoteRefusal, "%u", "x\" \"--output=evil"), {}},
        {"QuoteOfAPlaceholderBroughtInByAText", recorder + " {rec} \"%u\"", "%p", "a\"b",
         Refusal(kQuoteRefusal, "%p", "a\"b"), {}},
        {"TrailingBackslashArrivesAsItIs", recorder + " {rec} \"%u\" x", "C:\\Docs\\", "", "",
         {"[C:\\Docs\\]", "[x]"}},
    };
#if defined(_WIN32)
    const std::string batch = test::JoinPath(directory_, "tool.bat"), command = test::JoinPath(directory_, "TOOL.CMD");
    for (const std::string &file : {batch, command}) test::WriteFile(file, "@\"" + recorder + "\" %*\r\n");
#endif
    const fs::path injected = fs::current_path() / "INJ";
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.name);
        test::RemoveTree(record);
        fake_.calls.clear();
        snprintf(host_.TextU, sizeof host_.TextU, "%s", c.textU.c_str());
        snprintf(host_.TextP, sizeof host_.TextP, "%s", c.textP.c_str());
        std::string line = ReplaceAll(c.commandLine, "{rec}", record);
#if defined(_WIN32)
        line = ReplaceAll(ReplaceAll(line, "{bat}", batch), "{cmd}", command);
#endif
        Install({.commandLine = line});
        const Captured captured = Run();
        if (c.message.empty()) {
            ExpectNoMessage(captured);
            const std::vector<std::string> lines = test::NonBlankLines(test::ReadFile(record));
            EXPECT_EQ(std::vector<std::string>(lines.begin() + std::min<size_t>(1, lines.size()), lines.end()),
                      c.recorded);
            EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText", "PutText"}));
        } else {
            ExpectMessages(captured, {{"Error", c.message, true}});
            EXPECT_TRUE(fake_.calls.empty()) << "the host's text was fetched";
            EXPECT_FALSE(test::FileExists(record)) << "the program was started";
        }
        EXPECT_FALSE(fs::exists(injected)) << "a command of the host's text ran";
        fs::remove(injected);
        EXPECT_TRUE(test::ListDirectory(exchange_).empty());
    }
}

TEST_F(RunToolTest, MissingWorkingDirectoryIsReportedAndThePreviousFileIsNotReused) {
    Install({.deleteTemp = false, .commandLine = Tool("tool_upper_case") + " %f"});
    fake_.text = "first run";
    ExpectNoMessage(Run());
    ASSERT_EQ(OnlyExchangeFileContent(), "FIRST RUN");

    const std::string missing = test::JoinPath(directory_, "missing");
    fake_.calls.clear();
    fake_.text = "second run";
    Install({.deleteTemp = true, .workingDirectory = missing, .commandLine = Tool("tool_upper_case") + " %f"});
    const Captured captured = Run();
#if defined(_WIN32)
    const int expectedCode = 267; // ERROR_DIRECTORY, from GetTempFileNameA
#else
    const int expectedCode = 2; // ENOENT
#endif
    ExpectMessages(captured, {{"Error",
                               "Could not create temporary file\n'" + missing + "'\nError code=" +
                                   std::to_string(expectedCode),
                               true}});
    EXPECT_TRUE(fake_.calls.empty()) << "no callback";
    EXPECT_EQ(OnlyExchangeFileContent(), "FIRST RUN") << "the previous run's file is left alone";
    EXPECT_FALSE(test::FileExists(missing));
}

// ---- Filter mode: the text through standard input and output ---------------------------------

std::string Alphabet(size_t count) {
    std::string text(count, ' ');
    for (size_t i = 0; i < count; ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
}

// Every byte but zero, CR LF line ends and no final line break.
std::string EveryByte() {
    std::string text = "first line\r\nsecond line\r\n";
    for (int c = 1; c < 256; ++c) text += static_cast<char>(c);
    return text + "\r\nno final line break";
}

struct FilterCase {
    const char *name;
    std::string arguments; // after the tool's path
    std::string hostText;
    bool readOnly;
    const char *put; // what PutText is given; null: it is not called
    std::string message; // the "Error" box owned by the host window; empty: none
    bool swapped = false; // another file takes the exchange file's name while GetText runs
    std::string successCodes = ""; // SuccessCodes; empty: no key
};

TEST_F(RunToolTest, FilterModeOutcomes) {
    const std::string text = EveryByte();
#if defined(_WIN32)
    const std::string crash = "tool_exit 3221225477 out err";
    const std::string crashMessage = "The program ended with exit code 3221225477\nerr";
#else
    const std::string crash = "tool_exit signal out err";
    const std::string crashMessage = "The program was ended by signal 15\nerr";
#endif
    const std::string kept = "The text was left as it was";
    const FilterCase cases[] = {
        {"ByteExactRoundTrip", "tool_cat", text, false, text.c_str(), ""},
        {"ErrorOutputNeverReachesTheText", "tool_cat \"noise on standard error\"", "kept apart", false, "kept apart",
         ""},
        {"EmptyOutputIsAnEmptyText", "tool_exit 0", "all gone", false, "", ""},
        {"ZeroByteEndsTheText", "tool_exit 0 before~after", "x", false, "before", ""},
        {"ExitCodeShowsErrorOutputAndKeepsTheText", "tool_exit 3 \"half done\" \"line 7: bad|line 9: worse|\"", "host text",
         false, nullptr, "The program ended with exit code 3\nline 7: bad\nline 9: worse\n"},
        {"EmptyErrorOutputShowsStandardOutput", "tool_exit 4 \"what it said\"", "host text", false, nullptr,
         "The program ended with exit code 4\nwhat it said"},
        {"ZeroBytesAreLeftOutOfTheErrorOutput", "tool_exit 3 said ~hid~den~", "host text", false, nullptr,
         "The program ended with exit code 3\nhidden"},
        {"ErrorOutputOfZeroBytesOnlyShowsStandardOutput", "tool_exit 3 ~said ~~", "host text", false, nullptr,
         "The program ended with exit code 3\nsaid"},
        {"NothingSaidShowsOnlyTheCode", "tool_exit 255", "host text", false, nullptr,
         "The program ended with exit code 255"},
        {"OnlyTheFirst1024BytesOfErrorOutputAreShown", "tool_write_n 3000 err 9", "host text", false, nullptr,
         "The program ended with exit code 9\n" + Alphabet(1024)},
        {"CrashKeepsTheText", crash, "host text", false, nullptr, crashMessage},
        {"Exactly102400BytesAreTaken", "tool_write_n 102400", "host text", false, nullptr, ""},
        {"MoreThan102400BytesAreRefused", "tool_write_n 102401", "host text", false, nullptr,
         "The program's output is longer than 102400 bytes\n" + kept},
        {"ReadOnlyTakesNothingBack", "tool_cat", "checked", true, nullptr, ""},
        {"ListedExitCodeIsASuccess", "tool_exit 1 \"2 findings\"", "host text", false, "2 findings", "", false, "0 1"},
        {"UnlistedZeroIsAFailure", "tool_exit 0 out", "host text", false, nullptr,
         "The program ended with exit code 0\nout", false, "1,3"},
        {"ReadOnlyStillShowsAFailure", "tool_exit 1 \"\" \"2 findings\"", "checked", true, nullptr,
         "The program ended with exit code 1\n2 findings"},
#if !defined(_WIN32)
        // On a terminal, none of a program's control sequences take effect.
        {"ControlBytesShowAsQuestionMarks", "tool_exit 3 \"\" \"\x1b]0;title\x07\x1b[2J\x01\tend\x7f|\"",
         "host text", false, nullptr, "The program ended with exit code 3\n?]0;title??[2J?\tend?\n"},
        // The program reads the file that was written, not what now bears its name.
        {"StandardInputIsTheFileThatWasWritten", "tool_cat", "host text", false, "host text", "", true},
#endif
    };
    const std::string big = Alphabet(102400);
    // Only the exchange file is left while a box is up: a host ended then
    // leaves no capture file behind. (On Linux the order of the calls is
    // checked where they are recorded, in the fault-injection test.)
    size_t filesDuringBox = 0;
    duringBox_ = [&] { filesDuringBox = FilesLeftIn(exchange_, 1); };
    for (const FilterCase &c : cases) {
        SCOPED_TRACE(c.name);
        fake_.calls.clear();
        fake_.text = c.hostText;
        if (c.swapped)
            fake_.duringGetText = [&] {
                const std::string swap = test::JoinPath(directory_, "swap.txt");
                test::WriteFile(swap, "ATTACKER'S TEXT");
                fs::rename(swap, test::JoinPath(exchange_, ExchangeFiles(exchange_).at(0)));
            };
        Install({.readOnly = c.readOnly, .commandLine = Tool(c.arguments.substr(0, c.arguments.find(' '))) +
                                                        c.arguments.substr(std::min(c.arguments.find(' '),
                                                                                    c.arguments.size())),
                 .filter = true,
                 .settingsKeys = c.successCodes.empty() ? "" : "SuccessCodes=" + c.successCodes + "\r\n"});
        const Captured captured = Run();
        if (c.message.empty()) {
            ExpectNoMessage(captured);
        } else {
            ExpectMessages(captured, {{"Error", c.message, true}});
#if defined(_WIN32)
            EXPECT_EQ(filesDuringBox, 1u) << "files in the exchange directory while the box was up";
#endif
        }
        std::vector<std::string> names = {"GetContext", "GetText"};
        const bool bigResult = std::string(c.name) == "Exactly102400BytesAreTaken";
        if (c.put || bigResult) names.push_back("PutText");
        EXPECT_EQ(CallNames(fake_.calls), names);
        if (c.put) EXPECT_EQ(fake_.calls.back().text, c.put);
        if (bigResult) EXPECT_TRUE(fake_.calls.back().text == big) << fake_.calls.back().text.size() << " bytes";
        EXPECT_EQ(FilesLeftIn(exchange_, 0), 0u) << "no exchange or capture file is left";
    }
}

// Standard input is the exchange file, still there for "%f" too; the
// capture files lie beside it and go whatever DeleteTemp says.
TEST_F(RunToolTest, FilterModeLeavesOnlyTheExchangeFileWithoutDeleteTemp) {
    for (const std::string &command : {Tool("tool_cat"), Tool("tool_exit") + " 3 out err",
                                       std::string("no-such-program-of-exttool")}) {
        SCOPED_TRACE(command);
        test::RemoveTree(exchange_);
        fs::create_directory(exchange_);
        Install({.deleteTemp = false, .commandLine = command, .filter = true});
        fake_.text = "stays";
        Run();
        EXPECT_EQ(FilesLeftIn(exchange_, 1), 1u);
        EXPECT_EQ(OnlyExchangeFileContent(), "stays");
    }
}

TEST_F(RunToolTest, FilterModeFailedStartIsAnExecuteError) {
    const std::string command = "no-such-program-of-exttool %f";
    Install({.commandLine = command, .filter = true});
    const Captured captured = Run();
    const std::string all = captured.All();
    const size_t at = all.find("RUN : ") + 6;
    const std::string expanded = all.substr(at, all.find('\n', at) - at);
    ExpectMessages(captured, {{"Execute Error!",
                               "RUN : " + expanded + "\nERROR: 2\nMSG:" + SystemMessageFor(2) + "\n", false}});
    EXPECT_EQ(expanded.substr(0, 27), "no-such-program-of-exttool ");
    EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText"}));
    EXPECT_EQ(FilesLeftIn(exchange_, 0), 0u);
}

// Nothing of the host but the three standard handles reaches the program:
// a handle the host made inheritable stays out of its reach.
TEST_F(RunToolTest, FilterModeHandsOnNoOtherHandle) {
#if defined(_WIN32)
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const HANDLE semaphore = CreateSemaphoreA(&inheritable, 0, 10, nullptr);
    ASSERT_NE(semaphore, nullptr);
    Install({.commandLine = Tool("tool_list_handles") + " " +
                            std::to_string(reinterpret_cast<intptr_t>(semaphore)),
             .filter = true});
    ExpectNoMessage(Run());
    EXPECT_EQ(fake_.calls.back().text, "closed\r\n");
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the program released it";
    CloseHandle(semaphore);
#else
    const int open = ::open("/dev/null", O_RDONLY); // inheritable: no close-on-exec
    ASSERT_GE(open, 3);
    Install({.commandLine = Tool("tool_list_handles"), .filter = true});
    ExpectNoMessage(Run());
    EXPECT_EQ(fake_.calls.back().text, "0\n1\n2\n");
    close(open);
#endif
}

#if defined(_WIN32)
// ---- What CreateProcessA is given ---------------------------------------------------------
// Wine hands a child the standard handles even without inheritance and shows
// no console window, so no run can tell these arguments apart: the DLL's
// imports of CreateProcessA and UpdateProcThreadAttribute are pointed at
// recording functions that pass each call on.

struct StartCall {
    std::string application; // lpApplicationName
    BOOL inheritHandles;
    DWORD flags;
    DWORD startupSize, startupFlags;
    HANDLE standard[3];
    bool environment; // lpEnvironment given
    std::string directory; // lpCurrentDirectory
};
struct AttributeCall {
    DWORD_PTR attribute;
    SIZE_T size;
    std::vector<HANDLE> handles;
};
std::vector<StartCall> g_Starts;
std::vector<AttributeCall> g_Attributes;
std::vector<DWORD> g_JobLimits;
decltype(&CreateProcessA) g_RealCreateProcessA;
decltype(&UpdateProcThreadAttribute) g_RealUpdateProcThreadAttribute;
decltype(&SetInformationJobObject) g_RealSetInformationJobObject;

BOOL WINAPI RecordSetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS kind, LPVOID information, DWORD size) {
    g_JobLimits.push_back(static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION *>(information)->BasicLimitInformation.LimitFlags);
    return g_RealSetInformationJobObject(job, kind, information, size);
}

BOOL WINAPI RecordCreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES process,
                                 LPSECURITY_ATTRIBUTES thread, BOOL inheritHandles, DWORD flags, LPVOID environment,
                                 LPCSTR directory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION information) {
    g_Starts.push_back({application ? application : "(null)", inheritHandles, flags, startup->cb, startup->dwFlags,
                        {startup->hStdInput, startup->hStdOutput, startup->hStdError}, environment != nullptr,
                        directory ? directory : "(null)"});
    return g_RealCreateProcessA(application, commandLine, process, thread, inheritHandles, flags, environment,
                                directory, startup, information);
}

BOOL WINAPI RecordUpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                                            PVOID value, SIZE_T size, PVOID previous, PSIZE_T returnSize) {
    const HANDLE *handles = static_cast<const HANDLE *>(value);
    g_Attributes.push_back({attribute, size, std::vector<HANDLE>(handles, handles + size / sizeof(HANDLE))});
    return g_RealUpdateProcThreadAttribute(list, flags, attribute, value, size, previous, returnSize);
}

// Points the module's import of `name` from `dll` at `replacement`; returns
// what it pointed at before, or null when there is no such import.
void *ReplaceImport(void *module, const char *name, void *replacement, const char *dll = "KERNEL32.dll") {
    auto *const base = static_cast<unsigned char *>(module);
    const auto *const dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *const nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + import->Name), dll) != 0) continue;
        auto *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + import->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto *byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char *>(byName->Name), name) != 0) continue;
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            void *const previous = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return previous;
        }
    }
    return nullptr;
}
template <typename Function>
Function Replace(void *module, const char *name, Function replacement, const char *dll = "KERNEL32.dll") {
    return reinterpret_cast<Function>(ReplaceImport(module, name, reinterpret_cast<void *>(replacement), dll));
}

// File mode: no handle inherited and a start-up record that is all zero but
// its size. Filter mode: inheritance on, but through a handle list of exactly
// the three standard handles, and no console window. Both start suspended,
// so that the program is in its job before it can start another, a job
// that a child may leave when it asks to. Run options add the wide copy of
// the environment and the start directory, and nothing else.
TEST_F(RunToolTest, ProgramIsStartedWithTheDocumentedArguments) {
    for (const int run : {0, 1, 2, 3}) {
        const bool filter = run & 1, options = run & 2;
        SCOPED_TRACE(std::string(filter ? "filter mode" : "file mode") + (options ? ", run options" : ""));
        Install({.commandLine = filter ? Tool("tool_cat") : Tool("tool_upper_case") + " %f",
                 .filter = filter,
                 .pathKeys = options ? "StartDirectory=" + directory_ + "\r\n" : "",
                 .environment = options ? "EXTTOOL_SET=1\r\n" : ""});
        g_RealCreateProcessA = reinterpret_cast<decltype(g_RealCreateProcessA)>(
            ReplaceImport(module_.handle, "CreateProcessA", reinterpret_cast<void *>(RecordCreateProcessA)));
        g_RealUpdateProcThreadAttribute = reinterpret_cast<decltype(g_RealUpdateProcThreadAttribute)>(ReplaceImport(
            module_.handle, "UpdateProcThreadAttribute", reinterpret_cast<void *>(RecordUpdateProcThreadAttribute)));
        g_RealSetInformationJobObject = Replace(module_.handle, "SetInformationJobObject", &RecordSetInformationJobObject);
        ASSERT_NE(g_RealCreateProcessA, nullptr);
        ASSERT_NE(g_RealUpdateProcThreadAttribute, nullptr);
        ASSERT_NE(g_RealSetInformationJobObject, nullptr);
        g_Starts.clear();
        g_Attributes.clear();
        g_JobLimits.clear();
        fake_.text = "started";
        ExpectNoMessage(Run());
        EXPECT_EQ(fake_.calls.back().text, filter ? "started" : "STARTED");
        test::UnloadModule(module_); // the next Install loads a fresh copy
        ASSERT_EQ(g_Starts.size(), 1u);
        EXPECT_EQ(g_JobLimits, std::vector<DWORD>{JOB_OBJECT_LIMIT_BREAKAWAY_OK});
        const StartCall &start = g_Starts[0];
        EXPECT_EQ(start.application, filter ? Tool("tool_cat") : Tool("tool_upper_case"));
        EXPECT_EQ(start.environment, options);
        EXPECT_EQ(start.directory, options ? directory_ : "(null)");
        const DWORD unicode = options ? CREATE_UNICODE_ENVIRONMENT : 0;
        if (!filter) {
            EXPECT_EQ(start.inheritHandles, FALSE);
            EXPECT_EQ(start.flags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED | unicode));
            EXPECT_EQ(start.startupSize, sizeof(STARTUPINFOA));
            EXPECT_EQ(start.startupFlags, 0u);
            EXPECT_TRUE(g_Attributes.empty());
            continue;
        }
        EXPECT_EQ(start.inheritHandles, TRUE);
        EXPECT_EQ(start.flags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED | CREATE_NO_WINDOW |
                                                  EXTENDED_STARTUPINFO_PRESENT | unicode));
        EXPECT_EQ(start.startupSize, sizeof(STARTUPINFOEXA));
        EXPECT_EQ(start.startupFlags, static_cast<DWORD>(STARTF_USESTDHANDLES));
        ASSERT_EQ(g_Attributes.size(), 1u);
        EXPECT_EQ(g_Attributes[0].attribute, static_cast<DWORD_PTR>(PROC_THREAD_ATTRIBUTE_HANDLE_LIST));
        EXPECT_EQ(g_Attributes[0].size, 3 * sizeof(HANDLE));
        EXPECT_EQ(g_Attributes[0].handles,
                  (std::vector<HANDLE>{start.standard[0], start.standard[1], start.standard[2]}));
    }
}

// The files a run makes: CREATE_NEW with a protected DACL that grants its
// owner (OWNER RIGHTS) and SYSTEM everything and nobody else anything, so
// that a shared WorkingDirectory hands nothing down to them. Wine keeps the
// protected flag and OWNER RIGHTS only in the call, which is recorded; the
// file itself, read back, has no entry for Everyone, Users or
// Authenticated Users, which the folder would hand down.
struct CreateCall {
    DWORD disposition;
    std::vector<unsigned char> security; // the self-relative descriptor given, if any
};
std::vector<CreateCall> g_Creates;
decltype(&CreateFileA) g_RealCreateFileA;

HANDLE WINAPI RecordCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile) {
    CreateCall call{disposition, {}};
    if (security && security->lpSecurityDescriptor) {
        const auto *bytes = static_cast<const unsigned char *>(security->lpSecurityDescriptor);
        call.security.assign(bytes, bytes + GetSecurityDescriptorLength(security->lpSecurityDescriptor));
    }
    g_Creates.push_back(call);
    return g_RealCreateFileA(path, access, share, security, disposition, flags, templateFile);
}

// The SIDs of the entries of `dacl` that allow anything.
std::vector<std::string> AllowedSids(PACL dacl, std::vector<DWORD> *masks = nullptr) {
    std::vector<std::string> sids;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        char *text = nullptr;
        ConvertSidToStringSidA(&ace->SidStart, &text);
        sids.push_back(text ? text : "?");
        LocalFree(text);
        if (masks) masks->push_back(ace->Mask);
    }
    return sids;
}

TEST_F(RunToolTest, FilesOfARunAreOpenToTheirOwnerAndSystemAlone) {
    // A folder that hands every local user full access down to its files.
    const std::string shared = test::JoinPath(directory_, "shared");
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:(A;OICI;FA;;;WD)(A;OICI;FA;;;BU)(A;OICI;FA;;;AU)(A;OICI;FA;;;SY)", SDDL_REVISION_1, &open, nullptr));
    SECURITY_ATTRIBUTES folder{sizeof folder, open, FALSE};
    ASSERT_TRUE(CreateDirectoryA(shared.c_str(), &folder));
    LocalFree(open);
    Install({.deleteTemp = false, .workingDirectory = shared, .commandLine = Tool("tool_cat"), .filter = true});
    ASSERT_NE(g_RealCreateFileA = Replace(module_.handle, "CreateFileA", &RecordCreateFileA), nullptr);
    g_Creates.clear();
    fake_.text = "private";
    ExpectNoMessage(Run());
    EXPECT_EQ(fake_.calls.back().text, "private");
    test::UnloadModule(module_);

    size_t made = 0;
    for (const CreateCall &call : g_Creates) {
        if (call.disposition != CREATE_NEW) continue;
        ++made;
        if (call.security.empty()) {
            ADD_FAILURE() << "a file made without a security descriptor";
            continue;
        }
        const PSECURITY_DESCRIPTOR descriptor = const_cast<unsigned char *>(call.security.data());
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
        EXPECT_TRUE(control & SE_DACL_PROTECTED) << "inherited entries would be added";
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
        ASSERT_TRUE(present && dacl);
        EXPECT_TRUE(IsValidAcl(dacl));
        std::vector<DWORD> masks;
        EXPECT_EQ(AllowedSids(dacl, &masks), (std::vector<std::string>{"S-1-3-4", "S-1-5-18"}));
        EXPECT_EQ(dacl->AceCount, 2u);
        EXPECT_EQ(masks, (std::vector<DWORD>{FILE_ALL_ACCESS, FILE_ALL_ACCESS}));
    }
    EXPECT_EQ(made, 3u) << "the exchange file and the two capture files";

    ASSERT_EQ(FilesLeftIn(shared, 1), 1u);
    const std::vector<std::string> files = ExchangeFiles(shared);
    ASSERT_EQ(files.size(), 1u);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoA(test::JoinPath(shared, files[0]).c_str(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    const std::vector<std::string> sids = AllowedSids(dacl);
    LocalFree(descriptor);
    for (const char *everyone : {"S-1-1-0", "S-1-5-32-545", "S-1-5-11"})
        EXPECT_EQ(std::count(sids.begin(), sids.end(), everyone), 0) << everyone << " may use the file";
    EXPECT_EQ(std::count(sids.begin(), sids.end(), "S-1-5-18"), 1) << "the file's own entries are not there";
}

// Windows 7 and Vista refuse the QS_ALLINPUT of newer headers (with
// QS_TOUCH and QS_POINTER), and any wait may fail: a stand-in for
// MsgWaitForMultipleObjectsEx refuses the masks such a system refuses. A
// failed wait ends the program (TerminateJobObject, then a grace wait for
// it, recorded here since Wine ends a job at once), shows why and takes
// nothing back. A wait window that could not be made is tried again.
struct WaitCall {
    const char *name;
    HANDLE handle;
    DWORD timeout, result;
};
std::vector<WaitCall> g_WaitCalls;
DWORD g_RefusedMask; // MsgWaitForMultipleObjectsEx fails with any of these bits
int g_DialogFailures;
decltype(&MsgWaitForMultipleObjectsEx) g_RealMsgWait;
decltype(&WaitForSingleObject) g_RealWait;
decltype(&TerminateJobObject) g_RealTerminateJob;
decltype(&CreateDialogParamA) g_RealCreateDialog;

DWORD WINAPI RefusingMsgWait(DWORD count, const HANDLE *handles, DWORD timeout, DWORD mask, DWORD flags) {
    SetLastError(ERROR_INVALID_PARAMETER);
    const DWORD result = mask & g_RefusedMask ? WAIT_FAILED : g_RealMsgWait(count, handles, timeout, mask, flags);
    g_WaitCalls.push_back({"MsgWaitForMultipleObjectsEx", handles[0], timeout, result});
    return result;
}
DWORD WINAPI RecordWait(HANDLE handle, DWORD timeout) {
    const DWORD result = g_RealWait(handle, timeout);
    g_WaitCalls.push_back({"WaitForSingleObject", handle, timeout, result});
    return result;
}
BOOL WINAPI RecordTerminateJob(HANDLE job, UINT code) {
    g_WaitCalls.push_back({"TerminateJobObject", job, 0, 0});
    return g_RealTerminateJob(job, code);
}
HWND WINAPI FailingCreateDialog(HINSTANCE module, LPCSTR name, HWND owner, DLGPROC procedure, LPARAM parameter) {
    if (g_DialogFailures-- > 0) return SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
    return g_RealCreateDialog(module, name, owner, procedure, parameter);
}

TEST_F(RunToolTest, WaitThatFailsEndsTheProgramAndTakesNothingBack) {
    const std::string writes = Tool("tool_write_bytes") + " --delay 2500 ", done = "444f4e45"; // "DONE"
    const std::string failed = "Waiting for the program failed with error code 87" + std::string(kTextKept);
    const struct {
        const char *name;
        bool filter;
        DWORD refusedMask;
        int dialogFailures;
        const char *put; // null: not called
    } cases[] = {
        {"Windows7", false, ~0x04FFu, 0, "DONE"},
        {"Windows7Filter", true, ~0x04FFu, 0, "DONE"},
        {"WaitFails", false, ~0u, 0, nullptr},
        {"WaitFailsFilter", true, ~0u, 0, nullptr},
        {"WindowMadeOnTheSecondTry", false, 0, 1, "DONE"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        test::RemoveTree(exchange_);
        fs::create_directory(exchange_);
        fake_.calls.clear();
        Install({.deleteTemp = false, .commandLine = writes + (c.filter ? "" : "--file %f ") + done, .filter = c.filter});
        g_RealMsgWait = Replace(module_.handle, "MsgWaitForMultipleObjectsEx", &RefusingMsgWait, "USER32.dll");
        g_RealCreateDialog = Replace(module_.handle, "CreateDialogParamA", &FailingCreateDialog, "USER32.dll");
        g_RealWait = Replace(module_.handle, "WaitForSingleObject", &RecordWait);
        g_RealTerminateJob = Replace(module_.handle, "TerminateJobObject", &RecordTerminateJob);
        ASSERT_TRUE(g_RealMsgWait && g_RealCreateDialog && g_RealWait && g_RealTerminateJob);
        g_RefusedMask = c.refusedMask;
        g_DialogFailures = c.dialogFailures;
        g_WaitCalls.clear();
        const Captured captured = Run();
        test::UnloadModule(module_);
        if (c.put) ExpectNoMessage(captured);
        else ExpectMessages(captured, {{"Error", failed, true}});
        ASSERT_EQ(fake_.calls.size(), c.put ? 3u : 2u) << "PutText called or not";
        if (c.put) EXPECT_EQ(fake_.calls.back().text, c.put);
        EXPECT_EQ(captured.waitWindows.size(), 1u);
        if (!c.put) std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        if (!c.filter) EXPECT_EQ(OnlyExchangeFileContent() == "DONE", c.put != nullptr) << "whether the program was ended";
        // The grace wait: on the program, after its job was ended, until it has gone.
        const auto ended = std::find_if(g_WaitCalls.begin(), g_WaitCalls.end(),
                                        [](const WaitCall &call) { return call.name[0] == 'T'; });
        ASSERT_EQ(ended == g_WaitCalls.end(), c.put != nullptr);
        if (c.put) continue;
        EXPECT_TRUE(std::any_of(ended, g_WaitCalls.end(), [&](const WaitCall &call) {
            return call.handle == g_WaitCalls[0].handle && call.timeout > 0 && call.timeout <= 5000 &&
                   call.result == WAIT_OBJECT_0;
        }));
    }
}

// The process's handle count. Wine's GetProcessHandleCount is a stub that
// always reports 0, so the handle values are probed instead: handles are
// multiples of 4, and GetHandleInformation succeeds only on an open one.
size_t OpenHandleCount() {
    size_t count = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    DWORD reported = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &reported) && reported != 0) return reported;
    return count;
}

// Every handle a run opens is closed again, the started program's process
// and thread handles included.
TEST_F(RunToolTest, RunsLeaveNoHandleOpen) {
    for (const bool filter : {false, true}) {
        SCOPED_TRACE(filter ? "filter mode" : "file mode");
        Install({.commandLine = filter ? Tool("tool_cat") : Tool("tool_upper_case") + " %f", .filter = filter});
        ExpectNoMessage(Run()); // the first run may load what later runs share
        const size_t before = OpenHandleCount();
        ASSERT_GT(before, 0u);
        for (int i = 0; i < 3; ++i) ExpectNoMessage(Run());
        EXPECT_EQ(OpenHandleCount(), before);
    }
}
#endif

// ---- Which program runs ------------------------------------------------------------------------

struct LookupCase {
    const char *name;
    std::string commandLine; // "{dir}": the test's directory, "{rec}": the record file
    std::vector<std::string> path; // PATH entries ({dir} as above); empty: PATH as it is
    const char *who;         // "real", "planted" (a copy in the current directory), "none" (not found)
    std::string application; // Windows: what CreateProcessA is given as the program; empty: not started
};

#if defined(_WIN32)
const std::string kExe = ".exe";
const char kPathSeparator = ';';
std::string SystemProgram(const char *name) {
    char directory[MAX_PATH] = {};
    GetSystemDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\" + name;
}
#else
const std::string kExe;
const char kPathSeparator = ':';
#endif

// A bare name is never looked for in the current directory, where a
// document's folder may have planted one, nor in a relative or empty PATH
// entry; a path says where the program is; an unquoted path with blanks
// names the longest part that exists. "real" copies record their arguments,
// planted ones write "failed on purpose" into the record file.
TEST_F(RunToolTest, ProgramsAreNeverLookedForInTheCurrentDirectory) {
    const std::string record = test::JoinPath(directory_, "record.txt");
    const std::string cwd = test::JoinPath(directory_, "cwd");
    const std::string dir = directory_;
    const std::string bin = test::JoinPath(dir, "bin"), myTools = test::JoinPath(dir, "My Tools");
    for (const std::string &folder : {bin, cwd, test::JoinPath(cwd, "rel"), myTools}) fs::create_directories(folder);
    const auto copy = [](const std::string &tool, const std::string &to) {
        fs::copy_file(Tool(tool), to, fs::copy_options::overwrite_existing);
    };
    copy("tool_record_args", test::JoinPath(bin, "mytool" + kExe));
    copy("tool_record_args", test::JoinPath(myTools, "tool" + kExe));
    copy("tool_fail", test::JoinPath(cwd, "mytool" + kExe));
    copy("tool_fail", test::JoinPath(test::JoinPath(cwd, "rel"), "mytool" + kExe));
    copy("tool_fail", test::JoinPath(dir, "My" + kExe));
#if defined(_WIN32)
    copy("tool_fail", test::JoinPath(cwd, "find.exe"));
    const std::string local = ".\\mytool";
#else
    const std::string local = "./mytool";
#endif
    const LookupCase cases[] = {
        {"BareNameSkipsTheCurrentDirectoryAndRelativeEntries", "mytool {rec} %f", {"", ".", "rel", bin}, "real",
         test::JoinPath(bin, "mytool" + kExe)},
        {"BareNameFoundNowhereIsNotStarted", "mytool {rec}", {"", ".", "rel"}, "none", ""},
        {"RelativePathKeepsItsMeaning", local + " {rec}", {}, "planted", local + kExe},
#if defined(_WIN32)
        {"SystemFolderComesBeforeTheCurrentOne", "find x %f", {}, "none", SystemProgram("find.exe")},
        // The program's own split of an unquoted path is not exttool's: it
        // records nothing, but it is the one started.
        {"UnquotedPathWithBlanksNamesTheLongestThatExists", myTools + "\\tool {rec} %f", {}, "none",
         myTools + "\\tool.exe"},
        // The quotes the settings file dropped around a whole value.
        {"QuotesDroppedAroundTheValueDoNotRunAPrefix", myTools + "\\tool.exe\" \"{rec}\" \"%f", {}, "none",
         myTools + "\\tool.exe"},
#endif
    };
    const fs::path saved = fs::current_path();
#if defined(_WIN32)
    char savedPath[32768] = {};
    GetEnvironmentVariableA("PATH", savedPath, sizeof savedPath);
#else
    const std::string savedPath = getenv("PATH") ? getenv("PATH") : "";
#endif
    for (const LookupCase &c : cases) {
        SCOPED_TRACE(c.name);
        test::RemoveTree(record);
        std::string entries;
        for (const std::string &entry : c.path) entries += (entries.empty() ? "" : std::string(1, kPathSeparator)) + entry;
        if (!c.path.empty()) {
#if defined(_WIN32)
            SetEnvironmentVariableA("PATH", entries.c_str());
#else
            setenv("PATH", entries.c_str(), 1);
#endif
        }
        const std::string line = ReplaceAll(c.commandLine, "{rec}", record);
        Install({.commandLine = line});
#if defined(_WIN32)
        ASSERT_NE(g_RealCreateProcessA = Replace(module_.handle, "CreateProcessA", &RecordCreateProcessA), nullptr);
        g_Starts.clear();
#endif
        fs::current_path(cwd);
        const Captured captured = Run();
        fs::current_path(saved);
#if defined(_WIN32)
        SetEnvironmentVariableA("PATH", savedPath);
        test::UnloadModule(module_);
        ASSERT_EQ(g_Starts.size(), c.application.empty() ? 0u : 1u);
        if (!g_Starts.empty()) EXPECT_EQ(Lower(g_Starts[0].application), Lower(c.application));
#else
        setenv("PATH", savedPath.c_str(), 1);
#endif
        const std::string recorded = test::FileExists(record) ? test::ReadFile(record) : "";
        const std::string who = recorded.empty() ? "none" : recorded == "failed on purpose" ? "planted" : "real";
        EXPECT_EQ(who, c.who) << recorded;
        if (c.application.empty())
            ExpectMessages(captured, {{"Execute Error!", "RUN : " + line + "\nERROR: 2\nMSG:" + SystemMessageFor(2) + "\n",
                                       false}});
        EXPECT_TRUE(test::ListDirectory(test::JoinPath(cwd, "rel")).size() == 1u);
        EXPECT_FALSE(test::FileExists(test::JoinPath(cwd, "x"))) << "the planted find.exe ran";
    }
}

// ---- Encoding: the text in UTF-8 or OEM for the program ------------------------------------

// The character sets of these tests. On Windows the ANSI code page is Wine's
// (1252 by default, 932 under LC_ALL=ja_JP.UTF-8) and rows of the other one
// wait for that run; on Linux the user's character set is taken from LC_ALL,
// with locales of the same kind made for the test: CP1252, EUC-JP (double
// byte, as 932) and C.UTF-8.
#if defined(_WIN32)
int CurrentCodePage() { return static_cast<int>(GetACP()); }

// A UTF-8 text in code page `page`; "<lost>" when a character has no form there.
std::string InCodePage(UINT page, const std::string &utf8) {
    if (utf8.empty()) return "";
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                                    static_cast<int>(wide.size())));
    std::string text(wide.size() * 4, '\0');
    BOOL lost = FALSE;
    text.resize(WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                    text.data(), static_cast<int>(text.size()), nullptr, &lost));
    return lost ? "<lost>" : text;
}
std::string Ansi(const std::string &utf8) { return InCodePage(CP_ACP, utf8); }
std::string Oem(const std::string &utf8) { return InCodePage(CP_OEMCP, utf8); }
std::string CharsetName(int page) { return "code page " + std::to_string(page); }
#else
int g_CodePage = 1252;
int CurrentCodePage() { return g_CodePage; }
// 943 stands for Shift JIS, which reads the byte of "\\" as "¥".
const char *LocaleOf(int page) {
    return page == 932 ? "ja_JP.EUC-JP" : page == 943 ? "ja_JP.SHIFT_JIS" : page == 65001 ? "C.UTF-8" : "en_US.CP1252";
}
const char *CharsetOf(int page) {
    return page == 932 ? "EUC-JP" : page == 943 ? "SHIFT_JIS" : page == 65001 ? "UTF-8" : "CP1252";
}
std::string CharsetName(int page) { return std::string("character set ") + CharsetOf(page); }

std::string Ansi(const std::string &utf8) {
    const iconv_t converter = iconv_open(CharsetOf(g_CodePage), "UTF-8");
    std::string text(utf8.size() * 4 + 4, '\0');
    char *in = const_cast<char *>(utf8.data()), *out = text.data();
    size_t inLeft = utf8.size(), outLeft = text.size();
    const size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
    iconv_close(converter);
    if (result != 0) return "<lost>";
    text.resize(text.size() - outLeft);
    return text;
}
std::string Oem(const std::string &utf8) { return Ansi(utf8); } // OEM is the ANSI set on POSIX

// Makes the locales (localedef, from the locales package) under `directory`
// and points LOCPATH there; LC_ALL picks one per row.
void MakeLocales(const std::string &directory) {
    for (const int page : {1252, 932, 943}) {
        const std::string name = LocaleOf(page);
        ASSERT_TRUE(test::MakeLocale(directory, name.substr(0, name.find('.')), CharsetOf(page)));
    }
    // The system's own locales (C.UTF-8) stay in reach after these.
    setenv("LOCPATH", (directory + ":/usr/lib/locale").c_str(), 1);
}
#endif

// Bytes from hexadecimal digit pairs ("ed40").
std::string FromHex(const std::string &hex) {
    std::string bytes;
    for (size_t at = 0; at + 1 < hex.size(); at += 2) bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    return bytes;
}

struct EncodingCase {
    const char *name;
    int codePage;          // the ANSI code page the row is for
    const char *encoding;  // the Encoding value
    bool filter;
    std::string hostText;  // in UTF-8; the host hands it out in the ANSI set
    bool cutLastByte;      // the host's text ends in the first byte of a character (and so does what comes back)
    std::string arguments; // the tool and its arguments; "%f" in file mode
    const char *put;       // in UTF-8; null: PutText is not called
    std::string message;   // "{ansi}" stands for the ANSI set's name, "{oem}" for the OEM one's
    const char *exchange;  // what the exchange file holds in the program's set, in UTF-8; null: not looked at
    const char *hostBytes = nullptr; // hexadecimal: the host's text as bytes instead; `put` "=" is them again
};

TEST_F(RunToolTest, EncodingOutcomes) {
    const std::string kept = "\nThe text was left as it was";
    const std::string notUtf8 = "The program's output is not valid UTF-8" + kept;
    const std::string cannotHold = "The program's output holds characters that {ansi} cannot hold" + kept;
    const std::string e60000 = [] { std::string t; for (int i = 0; i < 60000; ++i) t += "é"; return t; }();
    const std::string e102400 = [] { std::string t; for (int i = 0; i < 102400; ++i) t += "é"; return t; }();
    const std::string euro102400 = [] { std::string t; for (int i = 0; i < 102400; ++i) t += "€"; return t; }();
    const std::string a51199 = "A" + e102400.substr(0, 102398); // 102,399 bytes
    // Longer than a piece of the comparison with what went out, with a
    // piece's end inside a character.
    const std::string longDuplicates = [] { std::string t = "41"; for (int i = 0; i < 3000; ++i) t += "ed40"; return t; }();
    const std::string aDay51199 = [] { std::string t = "A"; for (int i = 0; i < 51199; ++i) t += "日"; return t; }();
    // A file longer than the buffer for it: its last character read is cut in two.
    const std::string ab102398 = "AB" + e102400.substr(0, 2 * 102398);
    const std::string ab51199 = "AB" + e102400.substr(0, 102398);
    const std::string a102400(102400, 'A');
    const EncodingCase cases[] = {
        // The host's text goes out as UTF-8, without a byte-order mark, to a
        // program that refuses anything else, and comes back as it was.
        {"WesternOutAndBack", 1252, "UTF-8", false, "café €", false, "tool_utf8_echo %f", "café €", "", "café €"},
        {"WesternOutAndBackFilter", 1252, "utf-8", true, "café €\r\n", false, "tool_utf8_echo", "café €\r\n", "",
         nullptr},
        {"JapaneseOutAndBack", 932, "UTF-8", false, "日本語の時代", false, "tool_utf8_echo %f", "日本語の時代", "",
         "日本語の時代"},
        {"JapaneseOutAndBackFilter", 932, "UTF-8", true, "日本語", false, "tool_utf8_echo", "日本語", "", nullptr},
        // A character the ANSI set lacks never comes back as "?" or a look-alike.
        {"CharacterTheCodePageLacks", 1252, "UTF-8", false, "x", false, "tool_write_bytes --file %f 41e4b8ad",
         nullptr, cannotHold, nullptr},
        {"CharacterTheCodePageLacksFilter", 1252, "UTF-8", true, "x", false, "tool_write_bytes 41e4b8ad", nullptr,
         cannotHold, nullptr},
        // Characters with a best-fit look-alike in 1252 ("L8A").
        {"NoLookAlikeStandsIn", 1252, "UTF-8", true, "x", false, "tool_write_bytes c581e2889eefbca1", nullptr,
         cannotHold, nullptr},
        {"CharacterTheDoubleByteCodePageLacks", 932, "UTF-8", true, "x", false, "tool_write_bytes e697a5ed959c",
         nullptr, cannotHold, nullptr},
        {"OutputNotUtf8", 1252, "UTF-8", false, "x", false, "tool_write_bytes --file %f 41c328", nullptr, notUtf8,
         nullptr},
        {"OutputNotUtf8Filter", 1252, "UTF-8", true, "x", false, "tool_write_bytes 41e9", nullptr, notUtf8, nullptr},
        {"OutputCutInsideACharacter", 932, "UTF-8", true, "x", false, "tool_write_bytes e697a5e6", nullptr, notUtf8,
         nullptr},
        {"ByteOrderMarkDropped", 1252, "UTF-8", false, "x", false, "tool_write_bytes --file %f efbbbf41c3a9", "Aé", "",
         nullptr},
        {"ByteOrderMarkDroppedFilter", 1252, "UTF-8", true, "x", false, "tool_write_bytes efbbbf41c3a9", "Aé", "",
         nullptr},
        // The limit holds for what the host receives.
        {"SixtyThousandTwoByteCharactersComeBack", 1252, "UTF-8", false, "x", false,
         "tool_write_bytes --file %f c3a9*60000", e60000.c_str(), "", nullptr},
        // A program that is still running with all of it written is not
        // ended for output longer than the host's text.
        {"SixtyThousandTwoByteCharactersComeBackFilter", 1252, "UTF-8", true, "x", false,
         "tool_write_bytes --linger 400 c3a9*60000", e60000.c_str(), "", nullptr},
        {"LongerResultIsCutAtAWholeCharacter", 1252, "UTF-8", false, "x", false,
         "tool_write_bytes --file %f c3a9*102401", e102400.c_str(), "", nullptr},
        {"LongerFileThanTheBufferIsCutAtAWholeCharacter", 1252, "UTF-8", false, "x", false,
         "tool_write_bytes --file %f 4142 c3a9*160000", ab102398.c_str(), "", nullptr},
        {"LongerOutputIsRefusedInFilterMode", 1252, "UTF-8", true, "x", false, "tool_write_bytes c3a9*102401",
         nullptr, "The program's output is longer than 102400 bytes" + kept, nullptr},
        {"ThreeBytesForEachByteAndAMarkFit", 1252, "UTF-8", true, "x", false,
         "tool_write_bytes --linger 400 efbbbf e282ac*102400",
         euro102400.c_str(), "", nullptr},
        {"OneMoreByteIsTooLong", 1252, "UTF-8", true, "x", false, "tool_write_bytes efbbbf e282ac*102400 41", nullptr,
         "The program's output is longer than 102400 bytes" + kept, nullptr},
        // What the host's text cannot give.
        {"HostTextEndingInALeadByte", 932, "UTF-8", false, "日本語", true, "tool_utf8_echo %f", nullptr,
         "The text cannot be converted to UTF-8" + kept, ""},
        // A failed program's words read right; what does not convert shows as "?".
        {"FailureExcerptIsConverted", 1252, "UTF-8", true, "x", false, "tool_write_bytes --err --exit 5 c3a9ff41",
         nullptr, "The program ended with exit code 5\né?A", nullptr},
        // What a failed program says loses its byte-order mark, too.
        {"FailureExcerptLosesTheMark", 1252, "UTF-8", true, "x", false, "tool_write_bytes --err --exit 5 efbbbfc3a9",
         nullptr, "The program ended with exit code 5\né", nullptr},
        // Output of exactly what the host takes back is not ended while the
        // program still runs.
        {"ARunningProgramMayWriteExactlyTheLimit", 1252, "ANSI", true, "x", false,
         "tool_write_bytes --linger 400 41*102400", a102400.c_str(), "", nullptr},
        {"FailureExcerptKeepsTheByteAfterAnInvalidOne", 1252, "UTF-8", true, "x", false,
         "tool_write_bytes --err --exit 5 c341", nullptr, "The program ended with exit code 5\n?A", nullptr},
        // ANSI, also for a value it does not know, moves the bytes unchanged.
        {"AnsiMovesBytesUnchanged", 1252, "ANSI", true, "x", false, "tool_write_bytes c3a9", "Ã©", "", nullptr},
        {"UnknownValueIsAnsi", 1252, "UTF8", false, "café", false, "tool_nothing %f", "café", "", "café"},
#if defined(_WIN32)
        // OEM: the console code page, 437 or 850 under Wine; both hold "é".
        {"OemOutAndBack", 1252, "OEM", false, "café", false, "tool_nothing %f", "café", "", "café"},
        {"OemOutAndBackFilter", 1252, "oem", true, "café", false, "tool_cat", "café", "", nullptr},
        {"OemLacksTheEuro", 1252, "OEM", false, "5 €", false, "tool_nothing %f", nullptr,
         "The text cannot be converted to {oem}" + kept, ""},
        // OEM is 932 too: a longer result is cut in front of a lead byte.
        {"OemAsAnsiCutsAtAWholeCharacter", 932, "OEM", false, "x", false, "tool_write_bytes --file %f 41 93fa*60000",
         aDay51199.c_str(), "", nullptr},
        // The duplicate codes of 932 come back as the host gave them while
        // the program leaves the text alone, in Windows' own form once it
        // changes it (纊, ≒ and ￢ of the NEC and IBM extensions).
        {"UntouchedTextComesBackByteForByte", 932, "UTF-8", true, "", false, "tool_cat", "=", "", nullptr,
         "ed408790eef9"},
        {"UntouchedLongTextComesBackByteForByte", 932, "UTF-8", false, "", false, "tool_nothing %f", "=", "", nullptr,
         longDuplicates.c_str()},
        {"ChangedTextComesBackInTheCodePagesForm", 932, "UTF-8", false, "", false, "tool_upper_case %f", "A纊≒￢", "",
         nullptr, "61ed408790eef9"},
        // OEM is ANSI under 932: bytes that would not convert go and come unchanged.
        {"OemIsAnsiUnderTheDoubleByteCodePage", 932, "OEM", false, "日本", true, "tool_nothing %f", "日本", "",
         nullptr},
#else
        // A double-byte set: a longer result is cut in front of a lead byte.
        {"OemAsAnsiCutsAtAWholeCharacter", 932, "OEM", false, "x", false, "tool_write_bytes --file %f 41 c6fc*60000",
         aDay51199.c_str(), "", nullptr},
        // OEM is the ANSI set here: the bytes go and come unchanged.
        {"OemIsAnsi", 1252, "OEM", true, "5 €", false, "tool_cat", "5 €", "", nullptr},
        // The eighth byte of a word counts: "é" is a byte outside ASCII.
        {"EighthByteOutsideAscii", 1252, "UTF-8", false, "AAAAAAAé", false, "tool_utf8_echo %f", "AAAAAAAé", "",
         "AAAAAAAé"},
        // A set whose ASCII bytes are not ASCII's is always converted.
        {"ShiftJisConvertsItsAsciiBytes", 943, "UTF-8", false, "C:¥x", false, "tool_utf8_echo %f", "C:¥x", "",
         "C:¥x"},
        // Shown only: a character the set lacks is one "?", however many bytes.
        {"FailureExcerptShowsOneMarkPerCharacter", 1252, "UTF-8", true, "x", false,
         "tool_write_bytes --err --exit 5 41e4b8ad42", nullptr, "The program ended with exit code 5\nA?B", nullptr},
        // A UTF-8 locale: nothing converts, but the mark is dropped, invalid
        // output refused and the limit counted in UTF-8 bytes.
        {"Utf8LocaleTakesTheOutputAsItIs", 65001, "UTF-8", false, "日本", false, "tool_utf8_echo %f", "日本", "",
         "日本"},
        {"Utf8LocaleDropsTheMark", 65001, "UTF-8", true, "x", false, "tool_write_bytes efbbbf c3a9", "é", "", nullptr},
        {"Utf8LocaleRefusesInvalidOutput", 65001, "UTF-8", true, "x", false, "tool_write_bytes 41e9", nullptr,
         notUtf8, nullptr},
        {"Utf8LocaleRefusesATwoByteOverlongForm", 65001, "UTF-8", true, "x", false, "tool_write_bytes 41c080", nullptr,
         notUtf8, nullptr},
        {"Utf8LocaleRefusesAThreeByteOverlongForm", 65001, "UTF-8", true, "x", false, "tool_write_bytes 41e08080",
         nullptr, notUtf8, nullptr},
        {"Utf8LocaleRefusesASurrogate", 65001, "UTF-8", true, "x", false, "tool_write_bytes 41eda080", nullptr,
         notUtf8, nullptr},
        {"Utf8LocaleRefusesACodePointPast10FFFF", 65001, "UTF-8", true, "x", false, "tool_write_bytes 41f4908080",
         nullptr, notUtf8, nullptr},
        {"Utf8LocaleLooksAtTheEighthByte", 65001, "UTF-8", true, "x", false, "tool_write_bytes 41414141414141c3a9",
         "AAAAAAAé", "", nullptr},
        {"Utf8LocaleCutsAtAWholeCharacter", 65001, "UTF-8", false, "x", false,
         "tool_write_bytes --file %f 41 c3a9*60000", a51199.c_str(), "", nullptr},
        {"Utf8LocaleCutsALongerFileThanTheBufferAtAWholeCharacter", 65001, "UTF-8", false, "x", false,
         "tool_write_bytes --file %f 4142 c3a9*160000", ab51199.c_str(), "", nullptr},
        {"Utf8LocaleOemCutsAtAWholeCharacter", 65001, "OEM", false, "x", false,
         "tool_write_bytes --file %f 41 c3a9*60000", a51199.c_str(), "", nullptr},
        {"Utf8LocaleRefusesTheLongerOutputInFilterMode", 65001, "UTF-8", true, "x", false,
         "tool_write_bytes c3a9*60000", nullptr, "The program's output is longer than 102400 bytes" + kept, nullptr},
#endif
    };
#if !defined(_WIN32)
    MakeLocales(test::JoinPath(directory_, "locales"));
    if (HasFatalFailure()) return;
    const char *previous = getenv("LC_ALL");
    const std::string saved = previous ? previous : "";
#endif
    int rows = 0;
    for (const EncodingCase &c : cases) {
#if defined(_WIN32)
        if (c.codePage != CurrentCodePage()) continue;
#else
        g_CodePage = c.codePage;
        setenv("LC_ALL", LocaleOf(c.codePage), 1);
#endif
        SCOPED_TRACE(c.name);
        ++rows;
        test::RemoveTree(exchange_);
        fs::create_directory(exchange_);
        fake_.calls.clear();
        fake_.text = c.hostBytes ? FromHex(c.hostBytes) : Ansi(c.hostText);
        if (c.cutLastByte) fake_.text += Ansi("語").substr(0, 1);
        const std::string tool = c.arguments.substr(0, c.arguments.find(' '));
        Install({.deleteTemp = false,
                 .commandLine = Tool(tool) + c.arguments.substr(std::min(c.arguments.find(' '), c.arguments.size())),
                 .filter = c.filter,
                 .encoding = c.encoding});
        const Captured captured = Run();
        std::string message = Ansi(c.message);
        for (const auto &[from, to] : {std::pair<std::string, std::string>{"{ansi}", CharsetName(CurrentCodePage())},
                                       {"{oem}", "code page " + std::to_string(
#if defined(_WIN32)
                                                                    GetOEMCP()
#else
                                                                    0
#endif
                                                                        )}})
            if (message.find(from) != std::string::npos) message.replace(message.find(from), from.size(), to);
        if (message.empty())
            ExpectNoMessage(captured);
        else
            ExpectMessages(captured, {{"Error", message, true}});
        std::vector<std::string> names = {"GetContext", "GetText"};
        if (c.put) names.push_back("PutText");
        EXPECT_EQ(CallNames(fake_.calls), names);
        if (c.put && !fake_.calls.empty()) {
            const std::string expected = std::string(c.put) == "=" ? fake_.text
                                         : Ansi(c.put) + (c.cutLastByte ? Ansi("語").substr(0, 1) : "");
            EXPECT_TRUE(fake_.calls.back().text == expected)
                << fake_.calls.back().text.size() << " bytes came back, " << expected.size() << " expected";
        }
        if (c.exchange) {
            const std::string encoding = Lower(c.encoding);
            const std::string expected = encoding == "utf-8" ? std::string(c.exchange)
                                         : encoding == "oem" ? Oem(c.exchange)
                                                             : Ansi(c.exchange);
            EXPECT_EQ(OnlyExchangeFileContent(), expected);
        }
    }
#if defined(_WIN32)
    // 1252 and 932 each have their rows; any other code page is a mistake.
    EXPECT_GT(rows, 0) << "no rows for code page " << CurrentCodePage();
#else
    if (previous)
        setenv("LC_ALL", saved.c_str(), 1);
    else
        unsetenv("LC_ALL");
    unsetenv("LOCPATH");
#endif
}

#if !defined(_WIN32)
// The host's own signal state does not reach the program: a host that
// blocks SIGTERM and SIGINT and ignores SIGPIPE and SIGCHLD, as many GUI
// programs do, still starts it with nothing blocked or ignored. The
// exchange and capture files are private (0600) whatever the umask.
TEST_F(RunToolTest, ProgramStartsWithPrivateFilesAndAnUntouchedSignalState) {
    const mode_t savedUmask = umask(0);
    sigset_t blocked, savedMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &savedMask);
    struct sigaction ignore {}, savedPipe{}, savedChild{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &savedPipe);

    // Filter mode: standard input is the exchange file, standard output and
    // error the capture files. (An ignored SIGCHLD would leave the exit code
    // unknown here.)
    Install({.commandLine = Tool("tool_report_state") + " -", .filter = true});
    const Captured filtered = Run();
    const std::string filteredReport = fake_.calls.empty() ? "" : fake_.calls.back().text;
    // File mode, with SIGCHLD ignored as well.
    sigaction(SIGCHLD, &ignore, &savedChild);
    fake_.calls.clear();
    Install({.deleteTemp = false, .commandLine = Tool("tool_report_state") + " %f"});
    const Captured direct = Run();

    sigaction(SIGCHLD, &savedChild, nullptr);
    sigaction(SIGPIPE, &savedPipe, nullptr);
    sigprocmask(SIG_SETMASK, &savedMask, nullptr);
    umask(savedUmask);

    ExpectNoMessage(filtered);
    ExpectNoMessage(direct);
    EXPECT_EQ(filteredReport, "modes: 600 600 600\nblocked:\nignored:\n");
    ASSERT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText", "PutText"}));
    const std::string report = fake_.calls.back().text;
    EXPECT_EQ(report.substr(report.find('\n') + 1), "blocked:\nignored:\n");
    const std::vector<std::string> files = ExchangeFiles(exchange_);
    ASSERT_EQ(files.size(), 1u);
    struct stat status {};
    ASSERT_EQ(stat(test::JoinPath(exchange_, files[0]).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

// A signal whose handler was installed without SA_RESTART, arriving while
// the run waits for the program, does not cut the wait short.
TEST_F(RunToolTest, SignalDuringTheWaitDoesNotEndIt) {
    struct sigaction alarm {}, saved{};
    alarm.sa_handler = [](int) {};
    sigaction(SIGALRM, &alarm, &saved);
    for (const bool filter : {false, true}) {
        SCOPED_TRACE(filter ? "filter mode" : "file mode");
        fake_.calls.clear();
        Install({.commandLine = Tool("tool_report_state") + (filter ? " - 400" : " %f 400"), .filter = filter});
        itimerval timer{};
        timer.it_value.tv_usec = 100000;
        setitimer(ITIMER_REAL, &timer, nullptr);
        const Captured captured = Run();
        ExpectNoMessage(captured);
        ASSERT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText", "PutText"}));
        EXPECT_EQ(fake_.calls.back().text.substr(0, 6), "modes:") << "the result of the whole run";
    }
    sigaction(SIGALRM, &saved, nullptr);
}

// A stopped program is ended as promptly as a running one: SIGCONT goes
// with SIGTERM, rather than SIGKILL a second later.
TEST_F(RunToolTest, StoppedProgramIsEndedAtTheTimeLimit) {
    for (const bool filter : {false, true}) {
        SCOPED_TRACE(filter ? "filter mode" : "file mode");
        Install({.commandLine = "/bin/sh -c \"kill -STOP $$\"", .filter = filter, .timeout = 1});
        const Clock::time_point start = Clock::now();
        ExpectMessages(Run(), {{"Error", std::string("The program did not end within the time limit of 1 s") +
                                             kTextKept, true}});
        EXPECT_LT(SecondsSince(start), 1.7);
    }
}

// A filter runs in a process group of its own, outside the host's terminal:
// one that reads the terminal stops (SIGTTIN), and the run ends at once with
// a message instead of waiting for the time limit. The host leads a session
// on a pseudo-terminal of its own.
TEST_F(RunToolTest, FilterThatWantsTheTerminalEndsWithItsMessage) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_TRUE(grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string terminal = ptsname(master);
    Install({.commandLine = "/bin/sh -c \"read x < /dev/tty\"", .filter = true, .timeout = 5});
    int shown[2];
    ASSERT_EQ(pipe(shown), 0);
    const Clock::time_point start = Clock::now();
    const pid_t host = fork();
    if (host == 0) {
        const bool controlling = setsid() > 0 && open(terminal.c_str(), O_RDWR) >= 0;
        const std::string all = Run().All();
        _exit(controlling && write(shown[1], all.data(), all.size()) == static_cast<ssize_t>(all.size()) ? 0 : 1);
    }
    close(shown[1]);
    int status = -1;
    waitpid(host, &status, 0);
    char text[256] = {};
    const ssize_t got = read(shown[0], text, sizeof text - 1);
    close(shown[0]);
    close(master);
    EXPECT_TRUE(status == 0 && got > 0);
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_STREQ(text, "Error: The program stopped to use the terminal, which filter mode does not give it\n"
                       "The text was left as it was\n");
}

// A file-size limit makes the one write fall short: the run reports it and
// no result of the cut text replaces the host's text. In file mode the
// program still gets the file; in filter mode it is not started.
TEST_F(RunToolTest, ShortWriteIsReportedAndNothingComesBack) {
    const std::string record = test::JoinPath(directory_, "record.txt");
    for (const bool filter : {false, true}) {
        SCOPED_TRACE(filter ? "filter mode" : "file mode");
        test::RemoveTree(record);
        fake_.calls.clear();
        Install({.deleteTemp = false, .commandLine = Tool("tool_record_args") + " " + record + " %f",
                 .filter = filter});
        fake_.text = std::string(5000, 'w');
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        struct sigaction ignore {}, previous{};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &previous);
        rlimit limited = saved;
        limited.rlim_cur = 1000;
        setrlimit(RLIMIT_FSIZE, &limited);
        const Captured captured = Run();
        setrlimit(RLIMIT_FSIZE, &saved);
        sigaction(SIGXFSZ, &previous, nullptr);
        ExpectMessages(captured, {{"Error", "Could not write TEMP file", true}});
        EXPECT_EQ(CallNames(fake_.calls), (std::vector<std::string>{"GetContext", "GetText"}));
        EXPECT_EQ(test::FileExists(record), !filter) << "whether the program was started";
        EXPECT_EQ(OnlyExchangeFileContent(), std::string(1000, 'w')) << "no capture file is left";
        test::RemoveTree(exchange_);
        fs::create_directory(exchange_);
    }
}
#endif

} // namespace
