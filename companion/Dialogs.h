// The two dialogs: settings ("--options") and restore ("--restore"). Both return the
// process exit status.
#pragma once

#include "base/Platform.h"

// Loads config.ini beside the program as the runner takes it, lets the user change it,
// writes it on OK or Apply and tells a running Kestova to reload. 0, or 3 when the
// settings file cannot be named.
int RunOptionsDialog(HINSTANCE instance, const wchar_t* programDir);

// Lists the slots, restores the chosen one, offers to undo the last restore. slot (1..5,
// or 0) is selected at the start. The exit status is that of the last restore or undo,
// 0 when none was tried.
int RunRestoreDialog(HINSTANCE instance, const wchar_t* programDir, int slot, DWORD stopTimeoutMs);
