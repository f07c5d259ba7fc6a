#include "plugin/plugin_state.h"

// Static storage: zero at load, no allocation.
PluginState g_State;
