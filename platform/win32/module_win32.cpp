// The module's own file and the private-profile service on Windows.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/ansi_path_win32.h"

namespace platform {

// DllMain hands the instance to the plug-in; this serves builds linked into
// an executable, where the instance is the executable's.
ModuleHandle CurrentModule() { return GetModuleHandleA(nullptr); }

// The ANSI call would hand out a path with "?" where the module's folder
// holds characters the code page lacks; the wide path is converted instead.
uint32_t ModuleFileName(ModuleHandle module, char *buffer, uint32_t size) {
    if (size == 0) return 0;
    buffer[0] = '\0';
    wchar_t path[kWidePathChars];
    const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(module), path, kWidePathChars);
    // A full buffer means the path was cut (and maybe not terminated).
    if (length == 0 || length >= kWidePathChars) return 0;
    return AnsiPathFromWide(path, buffer, size);
}

uint32_t ProfileReadString(const char *section, const char *key, const char *defaultValue, char *buffer,
                           uint32_t size, const char *path) {
    return GetPrivateProfileStringA(section, key, defaultValue, buffer, size, path);
}

bool ProfileWriteString(const char *section, const char *key, const char *value, const char *path) {
    return WritePrivateProfileStringA(section, key, value, path) != 0;
}

// Where the lines do not fit, the system cuts the last one it stores (Wine
// does, and the documentation promises nothing better); that line is left
// out, so that only whole lines are handed on.
uint32_t ProfileReadSection(const char *section, char *buffer, uint32_t size, const char *path) {
    const DWORD length = GetPrivateProfileSectionA(section, buffer, size, path);
    if (size < 2 || length != size - 2) return length;
    uint32_t last = length;
    while (last > 0 && buffer[last - 1] != '\0') --last;
    buffer[last] = '\0';
    buffer[last + 1] = '\0';
    return length;
}

bool ProfileWriteSection(const char *section, const char *lines, const char *path) {
    return WritePrivateProfileSectionA(section, lines, path) != 0;
}

} // namespace platform
