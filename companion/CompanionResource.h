// Resource and control identifiers of the companion, shared by its resource script, its
// dialogs and the tests that drive them.
#pragma once

#define IDD_OPTIONS 201
#define IDD_RESTORE 202

// Options dialog.
#define IDC_AFTER_QUIT 1001
#define IDC_MODE_NONE 1002
#define IDC_MODE_DAY 1003
#define IDC_MODE_WEEK 1004
#define IDC_WEEKDAY 1005
#define IDC_HOUR 1006
#define IDC_MINUTE 1007
#define IDC_MISSED 1008
#define IDC_APPLY 1009
#define IDC_RUNNER_STATE 1010
#define IDC_SLOT_TIMES 1011
#define IDC_STOP_RUNNER 1012
#define IDC_LAST_RUN 1013
#define IDC_OPEN_LOG 1014

// Restore dialog.
#define IDC_SLOT_LIST 1101
#define IDC_DATA_DIR 1102
#define IDC_RESTORE_STATUS 1103
#define IDC_DO_RESTORE 1104
#define IDC_UNDO 1105
#define IDC_STORE_TOTAL 1106
