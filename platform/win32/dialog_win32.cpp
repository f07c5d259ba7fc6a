// The settings form on Windows: dialog template 101 and its procedure. What
// initialisation and OK do lives in settings/settings_dialog.cpp; this file
// only binds it to the dialog manager.
#include <windows.h>

#include "platform/platform.h"
#include "settings/settings_dialog.h"

namespace {

HWND AsWindow(platform::DialogHandle dialog) { return static_cast<HWND>(dialog); }

// Acts on initialisation and commands only; every other message is left to
// the dialog manager's default handling by returning FALSE.
INT_PTR CALLBACK SettingsDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    switch (message) {
    case WM_INITDIALOG:
        SettingsDialogInit(window);
        // FALSE: the default keyboard focus is not requested and no control
        // is given the focus here.
        return FALSE;
    case WM_COMMAND:
        // The whole first parameter decides, so a notification that merely
        // carries the identifier 1 or 2 in its low word (an edit field's
        // EN_CHANGE has the code in the high word) is not taken for OK or
        // Cancel: only a plain click or keypress of those buttons counts.
        return SettingsDialogCommand(window, static_cast<uintptr_t>(wParam));
    default:
        return FALSE;
    }
}

} // namespace

namespace platform {

intptr_t ShowSettingsDialog(ModuleHandle module, WindowHandle owner) {
    return DialogBoxParamA(static_cast<HINSTANCE>(module), MAKEINTRESOURCEA(kSettingsDialogTemplate),
                           static_cast<HWND>(owner), SettingsDialogProc, 0);
}

void DialogSetText(DialogHandle dialog, int item, const char *text) { SetDlgItemTextA(AsWindow(dialog), item, text); }

void DialogGetText(DialogHandle dialog, int item, char *buffer, uint32_t size) {
    if (size == 0) return;
    buffer[0] = '\0';
    // GetDlgItemTextA keeps at most size - 1 characters and terminates them.
    GetDlgItemTextA(AsWindow(dialog), item, buffer, static_cast<int>(size));
}

void DialogSetCheck(DialogHandle dialog, int item, bool checked) {
    SendDlgItemMessageA(AsWindow(dialog), item, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool DialogGetCheck(DialogHandle dialog, int item) {
    return SendDlgItemMessageA(AsWindow(dialog), item, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void DialogAddChoice(DialogHandle dialog, int item, const char *text) {
    SendDlgItemMessageA(AsWindow(dialog), item, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void DialogSetChoice(DialogHandle dialog, int item, int index) {
    SendDlgItemMessageA(AsWindow(dialog), item, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

// CB_ERR, -1, when nothing is selected.
int DialogGetChoice(DialogHandle dialog, int item) {
    return static_cast<int>(SendDlgItemMessageA(AsWindow(dialog), item, CB_GETCURSEL, 0, 0));
}

void DialogEnd(DialogHandle dialog, intptr_t result) { EndDialog(AsWindow(dialog), result); }

} // namespace platform
