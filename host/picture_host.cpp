// picture_host: a window that stands in for a host application, for the
// pictures of the manual (scripts/screenshot). plugin-host has no window of
// its own, so the settings dialog and the wait window it shows stand alone;
// this one gives them an owner with a caption bar, a menu and a text, as a
// host editor has.
//
//   picture_host settings MODULE   shows the settings dialog over the window
//   picture_host run MODULE        makes one run, whose wait window shows
//                                  centred on the window
//
// Windows only; built by scripts/screenshot with MinGW, not by the project.
#include <windows.h>

#include <cstring>

#include "plugin/host_contract.h"

namespace {

const char kSampleText[] =
    "{\"name\": \"exttool\", \"kind\": 5,\r\n"
    " \"caption\": \"Format JSON with jq\",\r\n"
    " \"tools\": [\"jq\", \"sort\", \"clang-format\"]}\r\n";

HostRecord g_Record;
HWND g_Edit;

void EXTTOOL_WINAPI HostGetContext(int32_t *context) { *context = 0; }
void EXTTOOL_WINAPI HostGetText(int32_t, char *buffer, int32_t capacity) {
    GetWindowTextA(g_Edit, buffer, capacity);
}
void EXTTOOL_WINAPI HostPutText(int32_t, const char *text) { SetWindowTextA(g_Edit, text); }

LRESULT CALLBACK HostWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SIZE) MoveWindow(g_Edit, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeHostWindow(HINSTANCE instance) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = HostWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = "PictureHost";
    RegisterClassA(&windowClass);
    HMENU menu = CreateMenu();
    AppendMenuA(menu, MF_STRING, 1, "&File");
    AppendMenuA(menu, MF_STRING, 2, "&Edit");
    AppendMenuA(menu, MF_STRING, 3, "&Plug-ins");
    AppendMenuA(menu, MF_STRING, 4, "&Help");
    HWND window = CreateWindowExA(0, "PictureHost", "notes.json - Host editor", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                                  30, 560, 340, nullptr, menu, instance, nullptr);
    g_Edit = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", kSampleText,
                             WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL, 0, 0, 10, 10, window,
                             nullptr, instance, nullptr);
    RECT client;
    GetClientRect(window, &client);
    MoveWindow(g_Edit, 0, 0, client.right, client.bottom, TRUE);
    return window;
}

// Lets the window paint itself before the module takes over the thread.
void Pump(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    MSG message;
    while (GetTickCount() - start < milliseconds) {
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(10);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 || (strcmp(argv[1], "settings") != 0 && strcmp(argv[1], "run") != 0)) return 2;
    HMODULE module = LoadLibraryA(argv[2]);
    if (!module) return 2;
    auto onInstall = reinterpret_cast<int32_t(EXTTOOL_WINAPI *)(InstallRecord *, HostRecord *)>(
        reinterpret_cast<void *>(GetProcAddress(module, "OnInstall")));
    auto onCall = reinterpret_cast<void(EXTTOOL_WINAPI *)()>(reinterpret_cast<void *>(GetProcAddress(module, "OnCall")));
    auto onSettings =
        reinterpret_cast<int32_t(EXTTOOL_WINAPI *)()>(reinterpret_cast<void *>(GetProcAddress(module, "OnSettings")));
    if (!onInstall || !onCall || !onSettings) return 2;

    HWND window = MakeHostWindow(GetModuleHandleA(nullptr));
    Pump(500);
    g_Record.GetContext = HostGetContext;
    g_Record.GetText = HostGetText;
    g_Record.PutText = HostPutText;
    g_Record.OwnerWindow = window;
    InstallRecord install{};
    onInstall(&install, &g_Record);
    if (strcmp(argv[1], "settings") == 0)
        onSettings();
    else
        onCall();
    DestroyWindow(window);
    return 0;
}
