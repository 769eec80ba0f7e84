// The vocabulary of the runner's posted-message protocol: between the tray window, the
// timers, the main loop, the worker thread and the companion program.
#pragma once

#include "base/Platform.h"
#include "contracts/NamedObjects.h"
#include "contracts/RunOutcome.h"

constexpr UINT WM_TRAYICON = WM_USER;             // 1024, the tray icon's callback
// WM_USER + 1 (1025) is WM_REGISTRATION_FALLBACK, of NamedObjects.h.
constexpr UINT WM_CHECK_CLIENT = 1026;
constexpr UINT WM_CLIENT_STATE = 1027;
constexpr UINT WM_BACKUP_REQUEST = 1028;
constexpr UINT WM_BACKUP_DONE = 1029;
constexpr UINT WM_BACKUP_STARTED = 1030;
constexpr UINT WM_EXIT_REQUEST = 1031;
constexpr UINT WM_WORKER_ENDED = 1032;
constexpr UINT WM_RESTORE_REQUEST = 1034;
constexpr UINT WM_OPTIONS_REQUEST = 1036;

// The numbers of messages the worker takes from its queue.
constexpr UINT WORKER_MESSAGE_FIRST = WM_USER;
constexpr UINT WORKER_MESSAGE_LAST = WM_USER + 100;

// Request origins (wParam of WM_BACKUP_REQUEST).
constexpr WPARAM REQUEST_MANUAL = 0;
constexpr WPARAM REQUEST_SCHEDULED = 1;
constexpr WPARAM REQUEST_MISSED = 2;

// Failures of a backup request (lParam of WM_BACKUP_DONE with wParam 1), beside the run
// statuses RUN_FINISHED, RUN_NOT_STARTED and RUN_TOOL_FAILED of RunOutcome.h.
constexpr LPARAM FAIL_NO_SLOT = 7;
constexpr LPARAM FAIL_TOOL_DAMAGED = 8;
constexpr LPARAM FAIL_NO_LOG = 9;
static_assert(FAIL_NO_SLOT > RUN_TOOL_FAILED, "a job failure must not read as a run status");

// Worker endings (wParam of WM_WORKER_ENDED).
constexpr WPARAM WORKER_STOPPED = 0;
constexpr WPARAM WORKER_NO_CONFIG = 1;
constexpr WPARAM WORKER_NO_DATA_DIR = 2;
