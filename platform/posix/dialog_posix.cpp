// The settings form on POSIX (a terminal stand-in for dialog template 101).
#include "platform/platform.h"

namespace platform {

intptr_t ShowSettingsDialog(ModuleHandle, WindowHandle) { return -1; }
void DialogSetText(DialogHandle, int, const char *) {}
void DialogGetText(DialogHandle, int, char *buffer, uint32_t size) {
    if (size) buffer[0] = '\0';
}
void DialogSetCheck(DialogHandle, int, bool) {}
bool DialogGetCheck(DialogHandle, int) { return false; }
void DialogEnd(DialogHandle, intptr_t) {}

} // namespace platform
