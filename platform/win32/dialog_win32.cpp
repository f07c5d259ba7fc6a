// The settings form on Windows: dialog template 101 and its procedure.
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
