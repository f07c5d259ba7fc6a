// The run cycle behind OnCall: the host's text goes out through an exchange
// file, the external program is started and waited for, and the file's
// content comes back to the host.
#pragma once

// One run on the settings held in memory and the remembered host record.
void RunTool();
