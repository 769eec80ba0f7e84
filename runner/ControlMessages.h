// The vocabulary of the runner's posted-message protocol: between the tray window, the
// timers, the main loop, the worker thread and the companion program.
#pragma once

#include "backup/MirrorRun.h"
#include "base/Platform.h"

constexpr UINT WM_TRAYICON = WM_USER;             // 1024, the tray icon's callback
constexpr UINT WM_REGISTRATION_FALLBACK = WM_USER + 1; // 1025, stands in for a failed registration
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

constexpr const wchar_t CONFIG_RELOAD_MESSAGE_NAME[] = L"Kestova_Config_Reload";
constexpr const wchar_t EXIT_MESSAGE_NAME[] = L"Kestova_Brannet_Exit";

// Request origins (wParam of WM_BACKUP_REQUEST).
constexpr WPARAM REQUEST_MANUAL = 0;
constexpr WPARAM REQUEST_SCHEDULED = 1;
constexpr WPARAM REQUEST_MISSED = 2;

// Failures of a backup request (lParam of WM_BACKUP_DONE with wParam 1), beside the run
// statuses RUN_FINISHED, RUN_NOT_STARTED and RUN_TOOL_FAILED.
constexpr LPARAM FAIL_NO_SLOT = 7;
constexpr LPARAM FAIL_TOOL_DAMAGED = 8;
constexpr LPARAM FAIL_NO_LOG = 9;

// Worker endings (wParam of WM_WORKER_ENDED).
constexpr WPARAM WORKER_STOPPED = 0;
constexpr WPARAM WORKER_NO_CONFIG = 1;
constexpr WPARAM WORKER_NO_DATA_DIR = 2;

// Named objects other programs see.
constexpr const wchar_t INSTANCE_MUTEX_NAME[] = L"Kestova_Brannet";
constexpr const wchar_t WINDOW_CLASS_NAME[] = L"Kestova_Brannet_Msgwnd_Class";
constexpr const wchar_t WINDOW_CAPTION[] = L"Kestova_Brannet_Msgwnd_Caption";
