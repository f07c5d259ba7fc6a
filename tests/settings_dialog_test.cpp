// The real settings dialog of the built module, driven like a user drives it.
//
// OnSettings runs the dialog modally on the test's thread, so a driver thread
// waits for the dialog to appear, then looks at it and works it: it reads the
// caption and the controls, follows the tab order, posts mnemonic keys that
// the dialog manager's own loop handles, types into the edit fields, clicks
// the check boxes and closes the dialog with OK, Cancel, Enter, Escape or
// the close box. Afterwards the test looks at the end code, the settings
// file and (through this program's own copy of the module's code, bound to
// the module copy's file and resources) the settings in memory.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "plugin/plugin_state.h"
#include "settings/settings_dialog.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

constexpr char kCaption[] = "Run external tool plug-in Settings";
const std::string kForty = "0123456789abcdefghijABCDEFGHIJ0123456789";

// The controls of the template, in template order.
struct DesignedControl {
    int id;                // -1 for the labels
    const char *className; // as the dialog manager registers it
    WORD atom;             // the class as the template names it
    const char *text;
    short x, y, cx, cy;
    DWORD style; // without WS_CHILD | WS_VISIBLE
};

constexpr DWORD kMultiLine = ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | WS_VSCROLL;
const DesignedControl kControls[] = {
    {1000, "Button", 0x80, "&Read only", 9, 5, 48, 10, BS_AUTOCHECKBOX | WS_TABSTOP},
    {1001, "Button", 0x80, "&Delete temporary file", 9, 18, 80, 10, BS_AUTOCHECKBOX | WS_TABSTOP},
    {-1, "Static", 0x82, "&Working directory", 7, 51, 88, 8, SS_LEFT | WS_GROUP},
    {1006, "Edit", 0x81, "", 99, 48, 138, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
    {-1, "Static", 0x82, "&Command line", 7, 69, 88, 8, SS_LEFT | WS_GROUP},
    {1007, "Edit", 0x81, "", 99, 66, 138, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
    {IDOK, "Button", 0x80, "OK", 133, 222, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
    {IDCANCEL, "Button", 0x80, "Cancel", 187, 222, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
    {-1, "Static", 0x82, "&Menu item", 7, 33, 88, 8, SS_LEFT | WS_GROUP},
    {1008, "Edit", 0x81, "", 99, 30, 138, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
    {1009, "Button", 0x80, "&Filter: standard input to output", 99, 5, 138, 20,
     BS_AUTOCHECKBOX | BS_MULTILINE | BS_TOP | WS_TABSTOP},
    {-1, "Static", 0x82, "Time &limit (s)", 7, 87, 88, 8, SS_LEFT | WS_GROUP},
    {1010, "Edit", 0x81, "", 99, 84, 40, 14, WS_BORDER | ES_AUTOHSCROLL | ES_NUMBER | WS_TABSTOP},
    {-1, "Static", 0x82, "&Encoding", 7, 105, 88, 8, SS_LEFT | WS_GROUP},
    // The height of a drop-down list includes its open list.
    {1011, "ComboBox", 0x85, "", 99, 102, 60, 60, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
    {-1, "Static", 0x82, "&Start directory", 7, 123, 88, 8, SS_LEFT | WS_GROUP},
    {1012, "Edit", 0x81, "", 99, 120, 138, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
    {-1, "Static", 0x82, "S&uccess exit codes", 7, 141, 88, 8, SS_LEFT | WS_GROUP},
    {1014, "Edit", 0x81, "", 99, 138, 60, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
    {-1, "Static", 0x82, "E&xchange file extension", 7, 159, 88, 8, SS_LEFT | WS_GROUP},
    {1015, "Edit", 0x81, "", 99, 156, 40, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
    {-1, "Static", 0x82, "En&vironment", 7, 177, 88, 8, SS_LEFT | WS_GROUP},
    {1013, "Edit", 0x81, "", 99, 174, 138, 40, WS_BORDER | ES_AUTOHSCROLL | kMultiLine | WS_TABSTOP},
};
constexpr int kDialogWidth = 242;
constexpr int kDialogHeight = 243;
// The choices of the Encoding list, in their order.
const char *const kEncodings[] = {"ANSI", "UTF-8", "OEM"};
constexpr int kControlCount = sizeof kControls / sizeof kControls[0];

using test::SavedFile;

// ---- Looking at and working the dialog from the driver thread ----------------

// A state, not a time: the margin is wide, since Wine under load may take seconds to
// create or update a window, and costs nothing when the state comes at once.
bool WaitUntil(const std::function<bool()> &condition, DWORD milliseconds = 20000) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > milliseconds) return false;
        Sleep(10);
    }
    return true;
}

std::string ClassOf(HWND window) {
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string TextOf(HWND window) {
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

HWND FocusOf(DWORD thread) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

// The children of the dialog in creation (template) order.
std::vector<HWND> ChildrenOf(HWND dialog) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

// Where the dialog manager puts a control given in dialog units: its origin
// and its size are each converted on their own.
RECT DialogUnitsToPixels(HWND dialog, int x, int y, int cx, int cy) {
    RECT origin{x, y, x, y};
    RECT size{0, 0, cx, cy};
    MapDialogRect(dialog, &origin);
    MapDialogRect(dialog, &size);
    return RECT{origin.left, origin.top, origin.left + size.right, origin.top + size.bottom};
}

// Where a control stands in the dialog's client area, in pixels.
RECT ClientRectOfControl(HWND dialog, HWND control) {
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

std::string Describe(const RECT &r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " - " + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

// Replaces the field's text the way typing does: everything selected, then
// one WM_CHAR per character; a "\r\n" is typed as Enter, one "\r".
void TypeInto(HWND dialog, int id, const std::string &text) {
    HWND edit = GetDlgItem(dialog, id);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    if (text.empty()) SendMessageA(edit, WM_CHAR, VK_BACK, 1);
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\n' || i == 0 || text[i - 1] != '\r')
            SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(text[i]), 1);
}

bool IsChecked(HWND dialog, int id) { return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }

// Clicks the box when its state is not the wanted one.
void SetBox(HWND dialog, int id, bool checked) {
    if (IsChecked(dialog, id) != checked) SendDlgItemMessageA(dialog, id, BM_CLICK, 0, 0);
}

void FocusControl(HWND dialog, int id) {
    SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, id)), TRUE);
}

// A key as the keyboard delivers it to the control with the focus; the
// dialog manager's loop sees it before the control does.
void PostKey(DWORD thread, HWND dialog, UINT message, WPARAM key) {
    HWND target = FocusOf(thread);
    if (!target) target = dialog;
    const LPARAM altDown = message == WM_SYSCHAR || message == WM_SYSKEYDOWN ? (1 << 29) : 0;
    PostMessageA(target, message, key, 1 | altDown);
}

enum class Close { OkButton, CancelButton, EnterKey, EscapeKey, CloseBox };

void CloseDialog(DWORD thread, HWND dialog, Close how) {
    switch (how) {
    case Close::OkButton: SendDlgItemMessageA(dialog, IDOK, BM_CLICK, 0, 0); break;
    case Close::CancelButton: SendDlgItemMessageA(dialog, IDCANCEL, BM_CLICK, 0, 0); break;
    case Close::EnterKey:
        FocusControl(dialog, 1007);
        PostKey(thread, dialog, WM_KEYDOWN, VK_RETURN);
        break;
    case Close::EscapeKey:
        FocusControl(dialog, 1006);
        PostKey(thread, dialog, WM_KEYDOWN, VK_ESCAPE);
        break;
    case Close::CloseBox: PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); break;
    }
}

// ---- Running the modal dialog with a driver beside it --------------------------

using Script = std::function<void(DWORD thread, HWND dialog)>;

struct DialogRun {
    intptr_t result = 0;
    bool shown = false;    // the dialog appeared
    bool leftOpen = false; // the script did not close it; Cancel was sent
};

struct DriverContext {
    DWORD dialogThread;
    const Script *script;
    std::atomic<bool> openReturned{false};
    HWND dialog = nullptr;
    bool leftOpen = false;
};

BOOL CALLBACK FindDialogWindow(HWND window, LPARAM context) {
    if (ClassOf(window) != "#32770" || !IsWindowVisible(window)) return TRUE;
    *reinterpret_cast<HWND *>(context) = window;
    return FALSE;
}

DWORD WINAPI DriveDialog(void *parameter) {
    auto *context = static_cast<DriverContext *>(parameter);
    HWND dialog = nullptr;
    WaitUntil([&] {
        EnumThreadWindows(context->dialogThread, FindDialogWindow, reinterpret_cast<LPARAM>(&dialog));
        return dialog != nullptr || context->openReturned.load();
    }, 30000);
    if (!dialog) return 0;
    context->dialog = dialog;
    (*context->script)(context->dialogThread, dialog);
    // Whatever the script did, the test's thread must come back: a dialog
    // still open after the script is a failure, and Cancel closes it.
    if (!WaitUntil([&] { return !IsWindow(dialog); })) {
        context->leftOpen = true;
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
    return 0;
}

DialogRun RunDialog(const std::function<intptr_t()> &open, const Script &script) {
    DriverContext context;
    context.dialogThread = GetCurrentThreadId();
    context.script = &script;
    HANDLE driver = CreateThread(nullptr, 0, DriveDialog, &context, 0, nullptr);
    DialogRun run;
    run.result = open();
    context.openReturned = true;
    WaitForSingleObject(driver, 30000);
    CloseHandle(driver);
    run.shown = context.dialog != nullptr;
    run.leftOpen = context.leftOpen;
    return run;
}

// ---- Fixture -------------------------------------------------------------------

LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

class SettingsDialogTest : public test::ModuleCopyTest {
protected:
    // One host window for all tests: without a window manager, Wine waits
    // two seconds for every window it takes off the screen.
    static void SetUpTestSuite() {
        if (owner_) return;
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = OwnerProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "ExttoolTestOwner";
        RegisterClassA(&windowClass);
        owner_ = CreateWindowExA(0, "ExttoolTestOwner", "Host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 120, 90, 600, 450,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    }

    void SetUp() override {
        ASSERT_NE(owner_, nullptr);
        ASSERT_TRUE(IsWindowEnabled(owner_)) << "a dialog of an earlier test is still open";
        ModuleCopyTest::SetUp();
        host_.OwnerWindow = owner_;
    }

    std::string Install() {
        InstallRecord record{};
        module_.OnInstall(&record, &host_);
        return record.Caption;
    }

    // Installs the module copy and drives its OnSettings.
    DialogRun RunModuleDialog(const Script &script) {
        Install();
        DialogRun run = RunDialog([&] { return static_cast<intptr_t>(module_.OnSettings()); }, script);
        EXPECT_TRUE(run.shown) << "the dialog did not appear";
        EXPECT_FALSE(run.leftOpen) << "the dialog was still open after the script";
        return run;
    }

    // The same dialog through this program's own copy of the module's code,
    // bound to the module copy (its file and its template), so that the
    // settings in memory can be looked at afterwards.
    DialogRun RunLinkedDialog(const Script &script) {
        g_State.ModuleInstance = module_.handle;
        g_State.Host = &host_;
        DialogRun run = RunDialog([] { return OpenSettingsDialog(); }, script);
        EXPECT_TRUE(run.shown) << "the dialog did not appear";
        EXPECT_FALSE(run.leftOpen) << "the dialog was still open after the script";
        return run;
    }

    HostRecord host_{};
    static inline HWND owner_ = nullptr;
};

// ---- The template as it lies in the module -------------------------------------

// Reads a WORD-aligned sz_Or_Ord field: 0 (none), 0xFFFF and an ordinal, or
// a UTF-16 string, returned as its ASCII characters.
const WORD *ReadNameOrOrdinal(const WORD *at, std::string *name, WORD *ordinal) {
    name->clear();
    *ordinal = 0;
    if (*at == 0xFFFF) {
        *ordinal = at[1];
        return at + 2;
    }
    while (*at) name->push_back(static_cast<char>(*at++));
    return at + 1;
}

TEST_F(SettingsDialogTest, TemplateIsTheDesignedOneInUsEnglish) {
    HMODULE module = static_cast<HMODULE>(module_.handle);
    HRSRC resource = FindResourceExA(module, MAKEINTRESOURCEA(5) /* RT_DIALOG */, MAKEINTRESOURCEA(101),
                                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(resource, nullptr) << "no U.S. English dialog 101";
    const auto *dialog = static_cast<const DLGTEMPLATE *>(LockResource(LoadResource(module, resource)));
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->style, static_cast<DWORD>(WS_POPUP | DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | DS_SETFONT));
    EXPECT_EQ(dialog->style & DS_CENTER, 0u) << "the dialog stands at 0, 0, not centred";
    EXPECT_EQ(dialog->dwExtendedStyle, 0u);
    ASSERT_EQ(dialog->cdit, kControlCount);
    EXPECT_EQ(dialog->x, 0);
    EXPECT_EQ(dialog->y, 0);
    EXPECT_EQ(dialog->cx, kDialogWidth);
    EXPECT_EQ(dialog->cy, kDialogHeight);

    const WORD *at = reinterpret_cast<const WORD *>(dialog + 1);
    std::string text;
    WORD ordinal;
    at = ReadNameOrOrdinal(at, &text, &ordinal);
    EXPECT_TRUE(text.empty() && ordinal == 0) << "the dialog has no menu";
    at = ReadNameOrOrdinal(at, &text, &ordinal);
    EXPECT_TRUE(text.empty() && ordinal == 0) << "the dialog has the standard class";
    at = ReadNameOrOrdinal(at, &text, &ordinal);
    EXPECT_EQ(text, kCaption);
    EXPECT_EQ(*at++, 8) << "font size";
    at = ReadNameOrOrdinal(at, &text, &ordinal);
    EXPECT_EQ(text, "MS Sans Serif");

    for (const DesignedControl &designed : kControls) {
        SCOPED_TRACE(designed.text[0] ? designed.text : "edit " + std::to_string(designed.id));
        at = reinterpret_cast<const WORD *>((reinterpret_cast<uintptr_t>(at) + 3) & ~uintptr_t{3});
        const auto *item = reinterpret_cast<const DLGITEMTEMPLATE *>(at);
        EXPECT_EQ(item->style, designed.style | WS_CHILD | WS_VISIBLE);
        EXPECT_EQ(item->dwExtendedStyle, 0u);
        EXPECT_EQ(item->x, designed.x);
        EXPECT_EQ(item->y, designed.y);
        EXPECT_EQ(item->cx, designed.cx);
        EXPECT_EQ(item->cy, designed.cy);
        EXPECT_EQ(item->id, static_cast<WORD>(designed.id));
        at = reinterpret_cast<const WORD *>(item + 1);
        // The resource compiler names the check boxes' class "BUTTON" where
        // the other controls carry its ordinal; the dialog manager takes both.
        at = ReadNameOrOrdinal(at, &text, &ordinal);
        EXPECT_TRUE(ordinal == designed.atom || (ordinal == 0 && _stricmp(text.c_str(), designed.className) == 0))
            << "class " << text << ordinal;
        at = ReadNameOrOrdinal(at, &text, &ordinal);
        EXPECT_EQ(text, designed.text);
        const WORD extra = *at++;
        EXPECT_EQ(extra, 0);
        at = reinterpret_cast<const WORD *>(reinterpret_cast<const BYTE *>(at) + extra);
    }
}

// The wait window: the settings dialog's font, one line of fixed text, the
// command line (cut with an ellipsis, "&" shown as it is), the seconds, and
// Cancel as the default button, so that Enter presses it.
TEST_F(SettingsDialogTest, WaitWindowTemplateHasTheSettingsFontAndOneButton) {
    HMODULE module = static_cast<HMODULE>(module_.handle);
    HRSRC resource = FindResourceExA(module, MAKEINTRESOURCEA(5) /* RT_DIALOG */, MAKEINTRESOURCEA(102),
                                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(resource, nullptr) << "no U.S. English dialog 102";
    const auto *dialog = static_cast<const DLGTEMPLATE *>(LockResource(LoadResource(module, resource)));
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->style, static_cast<DWORD>(WS_POPUP | DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | DS_SETFONT));
    ASSERT_EQ(dialog->cdit, 4);
    const WORD *at = reinterpret_cast<const WORD *>(dialog + 1);
    std::string text;
    WORD ordinal;
    at = ReadNameOrOrdinal(at, &text, &ordinal);
    at = ReadNameOrOrdinal(at, &text, &ordinal);
    at = ReadNameOrOrdinal(at, &text, &ordinal);
    EXPECT_EQ(*at++, 8) << "font size";
    at = ReadNameOrOrdinal(at, &text, &ordinal);
    EXPECT_EQ(text, "MS Sans Serif");
    struct Item {
        int id;
        DWORD style;
    };
    const Item items[] = {{-1, SS_LEFT | WS_GROUP},
                          {1020, SS_LEFT | SS_ENDELLIPSIS | SS_NOPREFIX | WS_GROUP},
                          {1021, SS_LEFT | SS_NOPREFIX | WS_GROUP},
                          {IDCANCEL, BS_DEFPUSHBUTTON | WS_TABSTOP}};
    for (const Item &expected : items) {
        at = reinterpret_cast<const WORD *>((reinterpret_cast<uintptr_t>(at) + 3) & ~uintptr_t{3});
        const auto *item = reinterpret_cast<const DLGITEMTEMPLATE *>(at);
        EXPECT_EQ(item->id, static_cast<WORD>(expected.id));
        EXPECT_EQ(item->style, expected.style | WS_CHILD | WS_VISIBLE) << expected.id;
        at = reinterpret_cast<const WORD *>(item + 1);
        at = ReadNameOrOrdinal(at, &text, &ordinal);
        at = ReadNameOrOrdinal(at, &text, &ordinal);
        if (expected.id == IDCANCEL) EXPECT_EQ(text, "Cancel");
        const WORD extra = *at++;
        at = reinterpret_cast<const WORD *>(reinterpret_cast<const BYTE *>(at) + extra);
    }
}

// ---- The dialog on screen ---------------------------------------------------------

TEST_F(SettingsDialogTest, ShowsCaptionAndControlsWhereTheTemplatePutsThem) {
    const DialogRun run = RunModuleDialog([&](DWORD thread, HWND dialog) {
        EXPECT_EQ(TextOf(dialog), kCaption);
        EXPECT_EQ(GetWindow(dialog, GW_OWNER), owner_);
        const LONG style = GetWindowLongA(dialog, GWL_STYLE);
        EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU), WS_POPUP | WS_CAPTION | WS_SYSMENU);

        // Placed at 0, 0 of the owner's client area: the dialog's client
        // area begins where the owner's does (its frame lies outside).
        POINT ownerOrigin{0, 0}, dialogOrigin{0, 0};
        ClientToScreen(owner_, &ownerOrigin);
        ClientToScreen(dialog, &dialogOrigin);
        EXPECT_EQ(dialogOrigin.x, ownerOrigin.x);
        EXPECT_EQ(dialogOrigin.y, ownerOrigin.y);
        RECT client;
        GetClientRect(dialog, &client);
        const RECT size = DialogUnitsToPixels(dialog, 0, 0, kDialogWidth, kDialogHeight);
        EXPECT_EQ(client.right, size.right);
        EXPECT_EQ(client.bottom, size.bottom);

        const std::vector<HWND> children = ChildrenOf(dialog);
        ASSERT_EQ(children.size(), static_cast<size_t>(kControlCount));
        for (int i = 0; i < kControlCount; ++i) {
            const DesignedControl &designed = kControls[i];
            HWND control = children[i];
            SCOPED_TRACE(std::string("control ") + std::to_string(i + 1) + " " + designed.text);
            EXPECT_EQ(ClassOf(control), designed.className);
            EXPECT_EQ(static_cast<short>(GetDlgCtrlID(control)), designed.id);
            // The edit fields show the settings: the defaults, as there is no file.
            EXPECT_EQ(TextOf(control), designed.id == 1008   ? "External program"
                                       : designed.id == 1010 ? "0"
                                       : designed.id == 1011 ? "ANSI"
                                                             : designed.text);
            RECT expected = DialogUnitsToPixels(dialog, designed.x, designed.y, designed.cx, designed.cy);
            RECT shown = ClientRectOfControl(dialog, control);
            // A closed drop-down list is as high as its selection field.
            if (designed.atom == 0x85) expected.bottom = shown.bottom;
            EXPECT_EQ(Describe(shown), Describe(expected));
            const DWORD live = static_cast<DWORD>(GetWindowLongA(control, GWL_STYLE));
            EXPECT_EQ(live & (WS_TABSTOP | WS_GROUP), designed.style & (WS_TABSTOP | WS_GROUP));
            if (designed.atom == 0x81) {
                EXPECT_NE(live & ES_AUTOHSCROLL, 0u);
                EXPECT_EQ(live & ES_NUMBER, designed.style & ES_NUMBER);
                EXPECT_EQ(live & kMultiLine, designed.style & kMultiLine);
                // The dialog manager may draw the border as a client edge.
                const DWORD ex = static_cast<DWORD>(GetWindowLongA(control, GWL_EXSTYLE));
                EXPECT_TRUE((live & WS_BORDER) || (ex & WS_EX_CLIENTEDGE));
                EXPECT_GE(SendMessageA(control, EM_GETLIMITTEXT, 0, 0), 30000) << "typing is not limited";
            } else if (designed.atom == 0x80) {
                EXPECT_EQ(live & BS_TYPEMASK, designed.style & BS_TYPEMASK);
            } else if (designed.atom == 0x85) {
                EXPECT_EQ(live & 3u, static_cast<DWORD>(CBS_DROPDOWNLIST));
                ASSERT_EQ(SendMessageA(control, CB_GETCOUNT, 0, 0), 3);
                for (int choice = 0; choice < 3; ++choice) {
                    char item[16] = "";
                    SendMessageA(control, CB_GETLBTEXT, choice, reinterpret_cast<LPARAM>(item));
                    EXPECT_STREQ(item, kEncodings[choice]);
                }
            } else {
                EXPECT_EQ(live & SS_TYPEMASK, static_cast<DWORD>(SS_LEFT));
            }
        }
        CloseDialog(thread, dialog, Close::CancelButton);
    });
    EXPECT_EQ(run.result, 2);
    EXPECT_FALSE(test::FileExists(iniPath_));
}

TEST_F(SettingsDialogTest, TabOrderIsTheTemplateOrderWithTheLaterRowsLast) {
    const DialogRun run = RunModuleDialog([&](DWORD thread, HWND dialog) {
        const int order[] = {1000, 1001, 1006, 1007, IDOK, IDCANCEL, 1008, 1009, 1010, 1011,
                             1012, 1014, 1015, 1013, 1000};
        for (size_t i = 0; i + 1 < sizeof order / sizeof order[0]; ++i) {
            HWND next = GetNextDlgTabItem(dialog, GetDlgItem(dialog, order[i]), FALSE);
            EXPECT_EQ(GetDlgCtrlID(next), order[i + 1]) << "after " << order[i];
        }
        // The Tab key walks the same way through the dialog manager.
        FocusControl(dialog, 1007);
        // Tab leaves the multi-line Environment field too.
        const int walk[] = {IDOK, IDCANCEL, 1008, 1009, 1010, 1011, 1012, 1014, 1015, 1013, 1000};
        for (int id : walk) {
            PostKey(thread, dialog, WM_KEYDOWN, VK_TAB);
            EXPECT_TRUE(WaitUntil([&] { return FocusOf(thread) == GetDlgItem(dialog, id); }))
                << "Tab did not reach " << id << "; focus is on " << GetDlgCtrlID(FocusOf(thread));
        }
        CloseDialog(thread, dialog, Close::CancelButton);
    });
    EXPECT_EQ(run.result, 2);
}

TEST_F(SettingsDialogTest, EachMnemonicMovesTheFocusIntoItsControl) {
    struct Mnemonic {
        char key;
        int target;
    };
    const Mnemonic mnemonics[] = {{'w', 1006}, {'m', 1008}, {'c', 1007}, {'W', 1006}, {'r', 1000},
                                  {'d', 1001}, {'f', 1009}, {'l', 1010}, {'e', 1011}, {'s', 1012},
                                  {'u', 1014}, {'x', 1015}, {'v', 1013}, {'S', 1012}};
    const DialogRun run = RunModuleDialog([&](DWORD thread, HWND dialog) {
        FocusControl(dialog, IDCANCEL);
        for (const Mnemonic &m : mnemonics) {
            PostKey(thread, dialog, WM_SYSCHAR, static_cast<WPARAM>(m.key));
            EXPECT_TRUE(WaitUntil([&] { return FocusOf(thread) == GetDlgItem(dialog, m.target); }))
                << "Alt+" << m.key << " left the focus on " << GetDlgCtrlID(FocusOf(thread));
        }
        // The mnemonic of a check box also clicks it.
        EXPECT_TRUE(IsChecked(dialog, 1000));
        EXPECT_TRUE(IsChecked(dialog, 1001));
        EXPECT_TRUE(IsChecked(dialog, 1009));
        CloseDialog(thread, dialog, Close::EscapeKey);
    });
    EXPECT_EQ(run.result, 2);
    EXPECT_FALSE(test::FileExists(iniPath_));
}

TEST_F(SettingsDialogTest, OpensWithTheValuesOfTheFile) {
    WriteSettings("[Settings]\r\nReadOnly=7\r\nDeleteTemp=0\r\nFilter=2\r\nMenuItem=Mine\r\nTimeout=45\r\n"
                  "Encoding=utf-8\r\nSuccessCodes=0 1\r\n"
                  "[Path]\r\nWorkingDirectory=C:\\Exchange\r\nCommandLine=\"C:\\Tools\\fmt.exe\" %f\r\n"
                  "StartDirectory=%d\r\nExchangeExtension=.js\r\n[Environment]\r\nA=1\r\nPATH=C:\\a;C:\\b\r\n");
    const DialogRun run = RunModuleDialog([&](DWORD thread, HWND dialog) {
        EXPECT_TRUE(IsChecked(dialog, 1000)) << "a switch value of 7 is on";
        EXPECT_FALSE(IsChecked(dialog, 1001));
        EXPECT_TRUE(IsChecked(dialog, 1009)) << "a switch value of 2 is on";
        EXPECT_EQ(TextOf(GetDlgItem(dialog, 1008)), "Mine");
        EXPECT_EQ(SendDlgItemMessageA(dialog, 1011, CB_GETCURSEL, 0, 0), 1);
        EXPECT_EQ(TextOf(GetDlgItem(dialog, 1011)), "UTF-8");
        EXPECT_EQ(TextOf(GetDlgItem(dialog, 1006)), "C:\\Exchange");
        EXPECT_EQ(TextOf(GetDlgItem(dialog, 1007)), "\"C:\\Tools\\fmt.exe\" %f");
        EXPECT_EQ(TextOf(GetDlgItem(dialog, 1010)), "45");
        EXPECT_EQ(TextOf(GetDlgItem(dialog, 1012)), "%d");
        EXPECT_EQ(TextOf(GetDlgItem(dialog, 1014)), "0 1");
        EXPECT_EQ(TextOf(GetDlgItem(dialog, 1015)), ".js");
        EXPECT_EQ(TextOf(GetDlgItem(dialog, 1013)), "A=1\r\nPATH=C:\\a;C:\\b");
        CloseDialog(thread, dialog, Close::CloseBox);
    });
    EXPECT_EQ(run.result, 2);
}

// ---- What OK and Cancel leave in the file -------------------------------------------

struct Edit {
    int id;
    std::string text;
};

struct FileCase {
    const char *name;
    const char *initialFile; // null: no settings file
    std::vector<Edit> edits;
    int readOnly;   // -1: leave the box alone; 0 clear it; 1 check it
    int deleteTemp; // the same
    Close close;
    intptr_t endCode;
    Lines expected; // empty: the file is left exactly as it was (or absent)
    int filter = -1; // like readOnly
    int encoding = -1; // -1: leave the list alone; else the choice to select
};

void PrintTo(const FileCase &c, std::ostream *out) { *out << c.name; }

// The five keys of a file written from nothing, and Filter after MenuItem.
Lines WithFilter(Lines lines, const std::string &value) {
    lines.insert(lines.begin() + 4, "Filter=" + value);
    return lines;
}

const FileCase kFileCases[] = {
    {"EncodingChosenIsSavedAfterTheFiveKeys", nullptr, {}, -1, -1, Close::OkButton, 1,
     {"[Settings]", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "Encoding=UTF-8", "[Path]",
      "WorkingDirectory=", "CommandLine="},
     -1, 1},
    {"EncodingBackToAnsiIsSavedWhereTheFileHeldIt", "[Settings]\r\nEncoding=OEM\r\n", {}, -1, -1, Close::OkButton, 1,
     {"[Settings]", "Encoding=ANSI", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]",
      "WorkingDirectory=", "CommandLine="},
     -1, 0},
    {"EncodingOfTheFileIsKeptByOk", "[Settings]\r\nEncoding=oem\r\n", {}, -1, -1, Close::EnterKey, 1,
     {"[Settings]", "Encoding=OEM", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    {"EncodingChosenThenCancelledSavesNothing", "[Settings]\r\nEncoding=ANSI\r\n", {}, -1, -1, Close::CancelButton,
     2, {}, -1, 2},
    {"FilterCheckedIsSavedAfterTheFiveKeys", nullptr, {}, -1, -1, Close::OkButton, 1,
     WithFilter(SavedFile("0", "0", "External program", "", ""), "1"), 1},
    {"FilterClearedIsSavedAsZeroWhereTheFileHeldIt", "[Settings]\r\nFilter=1\r\n", {}, -1, -1, Close::OkButton, 1,
     {"[Settings]", "Filter=0", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]",
      "WorkingDirectory=", "CommandLine="},
     0},
    {"HandEditedFilterValueSurvivesOkAsOne", "[Settings]\r\nFilter=7\r\n", {}, -1, -1, Close::OkButton, 1,
     {"[Settings]", "Filter=1", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    // Typed characters other than digits do not reach the field (ES_NUMBER).
    {"TimeLimitIsSavedAfterTheOtherKeys", nullptr, {{1010, "3x0"}}, -1, -1, Close::OkButton, 1,
     {"[Settings]", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "Timeout=30", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    {"EmptiedTimeLimitIsSavedAsZeroWhereTheFileHeldIt", "[Settings]\r\nTimeout=5\r\n", {{1010, ""}}, -1, -1,
     Close::OkButton, 1,
     {"[Settings]", "Timeout=0", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]",
      "WorkingDirectory=", "CommandLine="}},
    {"OkWithoutChangesCreatesBothSectionsAndAllFiveKeys", nullptr, {}, -1, -1, Close::OkButton, 1,
     SavedFile("0", "0", "External program", "", "")},
    {"EveryFieldGoesToItsOwnKey",
     nullptr,
     {{1008, "My tool"}, {1006, "C:\\Exchange"}, {1007, "notepad.exe %f"}},
     1,
     1,
     Close::OkButton,
     1,
     SavedFile("1", "1", "My tool", "C:\\Exchange", "notepad.exe %f")},
    {"ACaptionOf40CharactersIsSavedAsItsFirst30", nullptr, {{1008, kForty}}, -1, -1, Close::OkButton, 1,
     SavedFile("0", "0", kForty.substr(0, 30), "", "")},
    {"LongPathsAreSavedAsTheirFirst259",
     nullptr,
     {{1006, std::string(300, 'w')}, {1007, std::string(270, 'c')}},
     -1,
     -1,
     Close::EnterKey,
     1,
     SavedFile("0", "0", "External program", std::string(259, 'w'), std::string(259, 'c'))},
    {"BothBoxesClearedWriteZero", "[Settings]\r\nReadOnly=1\r\nDeleteTemp=1\r\n", {}, 0, 0, Close::OkButton, 1,
     SavedFile("0", "0", "External program", "", "")},
    {"HandEditedSwitchValueSevenSurvivesOkAsOne", "[Settings]\r\nReadOnly=7\r\nDeleteTemp=7\r\n", {}, -1, -1,
     Close::OkButton, 1, SavedFile("1", "1", "External program", "", "")},
    {"EmptiedFieldsAreSavedEmpty",
     "[Settings]\r\nMenuItem=Old\r\n[Path]\r\nCommandLine=tool %f\r\n",
     {{1008, ""}, {1007, ""}},
     -1,
     -1,
     Close::EnterKey,
     1,
     {"[Settings]", "MenuItem=", "ReadOnly=0", "DeleteTemp=0", "[Path]", "CommandLine=", "WorkingDirectory="}},
    // The run options after the other keys; the Environment's lines without
    // their outer blanks, empty ones left out.
    {"RunOptionsAreSavedAfterTheOtherKeys",
     nullptr,
     {{1012, "C:\\Work "}, {1014, "0, 3"}, {1015, ".js"}, {1013, "A=1\r\n  B=x y \r\n\r\nPATH=C:\\a;C:\\b"}},
     -1,
     -1,
     Close::OkButton,
     1,
     {"[Settings]", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "SuccessCodes=0, 3", "[Path]",
      "WorkingDirectory=", "CommandLine=", "StartDirectory=C:\\Work", "ExchangeExtension=.js", "[Environment]", "A=1",
      "B=x y", "PATH=C:\\a;C:\\b"}},
    {"EmptiedRunOptionsAreSavedEmptyWhereTheFileHeldThem",
     "[Settings]\r\nSuccessCodes=1\r\n[Path]\r\nStartDirectory=C:\\x\r\nExchangeExtension=js\r\n[Environment]\r\nA=1\r\n",
     {{1012, ""}, {1014, ""}, {1015, ""}, {1013, ""}},
     -1,
     -1,
     Close::OkButton,
     1,
     {"[Settings]", "SuccessCodes=", "ReadOnly=0", "DeleteTemp=0", "MenuItem=External program", "[Path]",
      "StartDirectory=", "ExchangeExtension=", "WorkingDirectory=", "CommandLine=", "[Environment]"}},
    {"CancelButtonAfterEditingSavesNothing",
     "[Settings]\r\nMenuItem=Kept\r\n; a comment\r\n",
     {{1008, "New"}, {1006, "C:\\x"}, {1007, "y %f"}},
     1,
     1,
     Close::CancelButton,
     2,
     {}},
    {"EscapeAfterEditingSavesNothing", "[Settings]\r\nReadOnly=1\r\n", {{1008, "New"}}, 0, 1, Close::EscapeKey, 2,
     {}},
    {"CloseBoxAfterEditingSavesNothing", nullptr, {{1007, "tool %f"}}, 1, -1, Close::CloseBox, 2, {}},
};

class SettingsDialogFileTest : public SettingsDialogTest, public testing::WithParamInterface<FileCase> {};

TEST_P(SettingsDialogFileTest, EndCodeAndFile) {
    const FileCase &c = GetParam();
    if (c.initialFile) WriteSettings(c.initialFile);
    const DialogRun run = RunModuleDialog([&](DWORD thread, HWND dialog) {
        for (const Edit &edit : c.edits) {
            TypeInto(dialog, edit.id, edit.text);
            const std::string shown = TextOf(GetDlgItem(dialog, edit.id));
            std::string typed = edit.text;
            if (edit.id == 1010) std::erase_if(typed, [](char c) { return c < '0' || c > '9'; });
            EXPECT_EQ(shown, typed) << "field " << edit.id;
        }
        if (c.readOnly >= 0) SetBox(dialog, 1000, c.readOnly == 1);
        if (c.deleteTemp >= 0) SetBox(dialog, 1001, c.deleteTemp == 1);
        if (c.filter >= 0) SetBox(dialog, 1009, c.filter == 1);
        if (c.encoding >= 0) SendDlgItemMessageA(dialog, 1011, CB_SETCURSEL, static_cast<WPARAM>(c.encoding), 0);
        CloseDialog(thread, dialog, c.close);
    });
    EXPECT_EQ(run.result, c.endCode);
    if (!c.expected.empty()) {
        EXPECT_EQ(SettingsLines(), c.expected);
    } else if (c.initialFile) {
        EXPECT_EQ(Settings(), c.initialFile) << "the file changed";
    } else {
        EXPECT_FALSE(test::FileExists(iniPath_)) << "a file was created";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsDialogFileTest, testing::ValuesIn(kFileCases),
                         [](const testing::TestParamInfo<FileCase> &info) { return std::string(info.param.name); });

TEST_F(SettingsDialogTest, NewCaptionReachesTheHostAtTheNextInstall) {
    const DialogRun run = RunModuleDialog([&](DWORD thread, HWND dialog) {
        TypeInto(dialog, 1008, kForty);
        CloseDialog(thread, dialog, Close::OkButton);
    });
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(Install(), kForty.substr(0, 30));
}

TEST_F(SettingsDialogTest, OnlyAPlainOkOrCancelCommandClosesTheDialog) {
    const DialogRun run = RunModuleDialog([&](DWORD thread, HWND dialog) {
        // Notifications whose low word happens to be 1 or 2, and other ids.
        const WPARAM others[] = {MAKEWPARAM(IDOK, EN_CHANGE), MAKEWPARAM(IDCANCEL, EN_SETFOCUS),
                                 MAKEWPARAM(IDOK, 1), MAKEWPARAM(1000, BN_CLICKED), 0, 3};
        for (WPARAM command : others) {
            SendMessageA(dialog, WM_COMMAND, command, 0);
            EXPECT_TRUE(IsWindowVisible(dialog)) << "closed by command " << command;
        }
        EXPECT_FALSE(test::FileExists(iniPath_));
        CloseDialog(thread, dialog, Close::OkButton);
    });
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(test::FileExists(iniPath_));
}

// The host may not call in while the dialog is open; a run asked for
// meanwhile does nothing. The command line names a tool that does nothing,
// so that a run that did start would end without a message box.
int g_GetTextCalls;
void TEST_CALL CountGetText(int32_t, char *buffer, int32_t) {
    ++g_GetTextCalls;
    buffer[0] = '\0';
}

TEST_F(SettingsDialogTest, RunAskedForWhileTheDialogIsOpenIsRefused) {
    std::string tool = std::string(EXTTOOL_TOOLS_DIR) + "\\tool_nothing.exe";
    for (char &c : tool)
        if (c == '/') c = '\\';
    WriteSettings("[Settings]\r\nDeleteTemp=1\r\n[Path]\r\nCommandLine=" + tool + " %f\r\n");
    host_.GetText = CountGetText;
    g_GetTextCalls = 0;
    const DialogRun run = RunModuleDialog([&](DWORD thread, HWND dialog) {
        module_.OnCall();
        CloseDialog(thread, dialog, Close::CancelButton);
    });
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(g_GetTextCalls, 0) << "a run took place while the dialog was open";
    // Once the dialog has closed, runs take place again.
    module_.OnCall();
    EXPECT_EQ(g_GetTextCalls, 1);
}

TEST_F(SettingsDialogTest, AnInvalidOwnerWindowShowsNoDialogAndSavesNothing) {
    Install();
    host_.OwnerWindow = reinterpret_cast<void *>(static_cast<uintptr_t>(0x7ffe1234));
    const DialogRun run = RunDialog([&] { return static_cast<intptr_t>(module_.OnSettings()); },
                                    [](DWORD thread, HWND dialog) { CloseDialog(thread, dialog, Close::OkButton); });
    EXPECT_FALSE(run.shown);
    EXPECT_EQ(run.result, 0);
    EXPECT_FALSE(test::FileExists(iniPath_));
}

// ---- The settings in memory ---------------------------------------------------

TEST_F(SettingsDialogTest, CancelLeavesTheFileButMemoryHoldsWhatWasReadAtOpening) {
    // Memory holds something else before the dialog opens; the file was
    // changed by hand since the last install.
    strcpy(g_State.Settings.CommandLine, "stale");
    g_State.Settings.ReadOnly = 0;
    const std::string content = "[Settings]\r\nReadOnly=7\r\nMenuItem=On disk\r\n[Path]\r\nCommandLine=disk %f\r\n";
    WriteSettings(content);
    const DialogRun run = RunLinkedDialog([&](DWORD thread, HWND dialog) {
        TypeInto(dialog, 1008, "Typed");
        TypeInto(dialog, 1006, "C:\\typed");
        TypeInto(dialog, 1007, "typed %f");
        SetBox(dialog, 1000, false);
        SetBox(dialog, 1001, true);
        CloseDialog(thread, dialog, Close::CancelButton);
    });
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(Settings(), content);
    const ToolSettings &s = g_State.Settings;
    EXPECT_EQ(s.ReadOnly, 7);
    EXPECT_EQ(s.DeleteTemp, 0);
    EXPECT_STREQ(s.MenuItem, "On disk");
    EXPECT_STREQ(s.WorkingDirectory, "");
    EXPECT_STREQ(s.CommandLine, "disk %f");
    EXPECT_STREQ(g_State.SettingsFilePath, iniPath_.c_str());
}

TEST_F(SettingsDialogTest, OkTakesTheFieldsIntoMemoryCutToTheirCapacity) {
    WriteSettings("[Settings]\r\nDeleteTemp=-3\r\n");
    const DialogRun run = RunLinkedDialog([&](DWORD thread, HWND dialog) {
        TypeInto(dialog, 1008, kForty);
        TypeInto(dialog, 1006, std::string(300, 'd'));
        TypeInto(dialog, 1007, std::string(260, 'c'));
        SetBox(dialog, 1000, true);
        CloseDialog(thread, dialog, Close::OkButton);
    });
    EXPECT_EQ(run.result, 1);
    const ToolSettings &s = g_State.Settings;
    EXPECT_EQ(s.ReadOnly, 1);
    EXPECT_EQ(s.DeleteTemp, 1) << "a hand-edited -3 is on and OK keeps it on as 1";
    EXPECT_EQ(std::string(s.MenuItem), kForty.substr(0, 30));
    EXPECT_EQ(std::string(s.WorkingDirectory), std::string(259, 'd'));
    EXPECT_EQ(std::string(s.CommandLine), std::string(259, 'c'));
}

// Enter in the Environment field starts a new line (ES_WANTRETURN) instead
// of pressing OK.
TEST_F(SettingsDialogTest, EnterInTheEnvironmentFieldStartsANewLine) {
    const DialogRun run = RunModuleDialog([&](DWORD thread, HWND dialog) {
        HWND field = GetDlgItem(dialog, 1013);
        TypeInto(dialog, 1013, "A=1");
        FocusControl(dialog, 1013);
        EXPECT_TRUE(WaitUntil([&] { return FocusOf(thread) == field; }));
        SendMessageA(field, EM_SETSEL, 3, 3);
        PostKey(thread, dialog, WM_KEYDOWN, VK_RETURN);
        EXPECT_TRUE(WaitUntil([&] { return TextOf(field) == "A=1\r\n"; })) << TextOf(field);
        EXPECT_TRUE(IsWindowVisible(dialog)) << "Enter closed the dialog";
        CloseDialog(thread, dialog, Close::CancelButton);
    });
    EXPECT_EQ(run.result, 2);
}

// A directory in the settings file's place: every write fails. OK shows an
// "Error" box owned by the dialog; once it is closed, the dialog ends with 1
// and the values apply in memory.
struct SeenBox {
    HWND window = nullptr;
    HWND owner = nullptr;
    std::string title;
    std::string text;
};

BOOL CALLBACK FindErrorBox(HWND window, LPARAM found) {
    char title[64] = {};
    GetWindowTextA(window, title, sizeof title);
    if (ClassOf(window) != "#32770" || strcmp(title, "Error") != 0) return TRUE;
    *reinterpret_cast<HWND *>(found) = window;
    return FALSE;
}

TEST_F(SettingsDialogTest, OkWhoseSaveFailsSaysSoOverTheDialog) {
    ASSERT_TRUE(CreateDirectoryA(iniPath_.c_str(), nullptr));
    SeenBox box;
    HWND shownDialog = nullptr;
    const DialogRun run = RunLinkedDialog([&](DWORD thread, HWND dialog) {
        shownDialog = dialog;
        TypeInto(dialog, 1008, "Not saved");
        // Posted: a sent click would wait for the box that it brings up.
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        WaitUntil([&] {
            EnumThreadWindows(thread, FindErrorBox, reinterpret_cast<LPARAM>(&box.window));
            return box.window != nullptr;
        }, 10000);
        if (!box.window) return;
        char text[1024] = {};
        GetWindowTextA(box.window, text, sizeof text);
        box.title = text;
        GetDlgItemTextA(box.window, 0xFFFF, text, sizeof text);
        box.text = text;
        box.owner = GetWindow(box.window, GW_OWNER);
        PostMessageA(box.window, WM_COMMAND, IDOK, 0);
    });
    ASSERT_NE(box.window, nullptr) << "no message box";
    EXPECT_EQ(box.owner, shownDialog);
    EXPECT_EQ(box.text, "Could not save settings\n'" + iniPath_ + "'\nError code=5");
    EXPECT_EQ(run.result, 1);
    EXPECT_STREQ(g_State.Settings.MenuItem, "Not saved");
}

} // namespace
