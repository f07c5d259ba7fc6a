// tool_press_ok (Windows): waits up to 60 seconds for a message box (a
// dialog of class "#32770") to show on the desktop and presses its OK
// button, as a user would. Exits with 0 once it has pressed it, 1 when no
// box showed.
#include <windows.h>

int main() {
    for (int i = 0; i < 600; ++i) {
        const HWND box = FindWindowA("#32770", nullptr);
        if (box) {
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(100);
    }
    return 1;
}
