#include "run/run_tool.h"

#include "plugin/plugin_state.h"

void RunTool() {}
