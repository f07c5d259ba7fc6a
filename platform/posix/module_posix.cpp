// The module's own file on POSIX: an address inside the shared object leads
// back to the file it was loaded from.
#include <dlfcn.h>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {
char g_AnchorInThisModule;
}

ModuleHandle CurrentModule() { return &g_AnchorInThisModule; }

uint32_t ModuleFileName(ModuleHandle module, char *buffer, uint32_t size) {
    if (size == 0) return 0;
    buffer[0] = '\0';
    Dl_info info;
    if (!module || dladdr(module, &info) == 0 || !info.dli_fname) return 0;
    // The loader keeps the name the module was loaded by, which may be
    // relative to a directory the host has since left.
    char resolved[PATH_MAX];
    if (!realpath(info.dli_fname, resolved)) return 0;
    const size_t length = strlen(resolved);
    if (length >= size) return 0;
    memcpy(buffer, resolved, length + 1);
    return static_cast<uint32_t>(length);
}

} // namespace platform
