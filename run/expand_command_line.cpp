#include "run/expand_command_line.h"

#include "plugin/plugin_state.h"

bool ExpandCommandLine(const char *, const HostRecord *) {
    g_State.CommandBuffer[0] = '\0';
    return true;
}
