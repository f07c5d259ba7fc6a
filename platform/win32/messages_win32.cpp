// Error codes and messages on Windows.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace platform {

uint32_t LastError() { return GetLastError(); }

// The system allocates the text; it is copied and released here. Inserts are
// never filled from arguments that do not exist.
void SystemMessage(uint32_t code, char *buffer, uint32_t size) {
    if (size == 0) return;
    buffer[0] = '\0';
    HLOCAL allocated = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    if (length == 0 || !allocated) return;
    const char *const text = static_cast<const char *>(LocalLock(allocated));
    if (text) {
        const size_t kept = strnlen(text, size - 1);
        memcpy(buffer, text, kept);
        buffer[kept] = '\0';
        LocalUnlock(allocated);
    }
    LocalFree(allocated);
}

void ShowErrorBox(WindowHandle owner, const char *text, const char *title) {
    MessageBoxA(static_cast<HWND>(owner), text, title, MB_OK | MB_ICONERROR);
}

} // namespace platform
