// The module's own file on POSIX: an address inside the shared object leads
// back to the name the loader used for it.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

char g_AnchorInThisModule;
// This module's path, made absolute while the module is loaded: a name the
// loader took relative to the current directory is wrong once the host has
// changed it.
char g_LoadedPath[PATH_MAX];

// Appends `name` to the absolute directory `out`, dropping only what never
// changes the file named: "." and empty components. ".." stays for the
// kernel to resolve, since "link/.." is the parent of the link's target, not
// the directory that holds the link. Links are not resolved either, so a
// module reached through a link keeps the link's own name and directory.
bool AppendLoadedName(char *out, size_t size, const char *name) {
    size_t used = strlen(out);
    while (*name) {
        const char *end = strchrnul(name, '/');
        const size_t length = static_cast<size_t>(end - name);
        if (length > 0 && !(length == 1 && name[0] == '.')) {
            const bool needsSeparator = used > 0 && out[used - 1] != '/';
            if (used + (needsSeparator ? 1 : 0) + length >= size) return false;
            if (needsSeparator) out[used++] = '/';
            memcpy(out + used, name, length);
            used += length;
        }
        out[used] = '\0';
        name = *end ? end + 1 : end;
    }
    return true;
}

// The absolute path of the module that contains `address`.
bool AbsoluteModulePath(const void *address, char *out, size_t size) {
    Dl_info info;
    if (!address || dladdr(address, &info) == 0 || !info.dli_fname || !info.dli_fname[0]) return false;
    if (info.dli_fname[0] == '/') {
        strcpy(out, "/");
    } else if (!getcwd(out, size)) {
        return false;
    }
    return AppendLoadedName(out, size, info.dli_fname) && strcmp(out, "/") != 0;
}

} // namespace

ModuleHandle CurrentModule() {
    if (!g_LoadedPath[0] && !AbsoluteModulePath(&g_AnchorInThisModule, g_LoadedPath, sizeof g_LoadedPath))
        g_LoadedPath[0] = '\0';
    return &g_AnchorInThisModule;
}

uint32_t ModuleFileName(ModuleHandle module, char *buffer, uint32_t size) {
    if (size == 0) return 0;
    buffer[0] = '\0';
    char scratch[PATH_MAX];
    const char *path = g_LoadedPath;
    if (module != &g_AnchorInThisModule || !path[0]) {
        if (!AbsoluteModulePath(module, scratch, sizeof scratch)) return 0;
        path = scratch;
    }
    const size_t length = strlen(path);
    if (length >= size) return 0;
    memcpy(buffer, path, length + 1);
    return static_cast<uint32_t>(length);
}

} // namespace platform
