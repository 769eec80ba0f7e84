// How one copy run ended: the copy tool's caller reports it, and WM_BACKUP_DONE carries it
// to the main loop beside the job failures of ControlMessages.h.
#pragma once

constexpr int RUN_FINISHED = 1;    // the tool ran to the end and reported success (0 to 7)
constexpr int RUN_NOT_STARTED = 2; // the tool was not started; nothing was written
constexpr int RUN_TOOL_FAILED = 3; // the tool ran but failed (code 8 or more, crash, unreadable)
