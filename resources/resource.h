// Resource and command identifiers, shared by the resource script and the code.
#pragma once

#define IDI_APP 101
#define IDR_TRAYMENU 102
#define IDI_TRAY 103
#define IDI_TRAY_FAILED 104 // the tray icon while the last backup has failed

#define IDM_EXIT 40001
#define IDM_BACKUP_NOW 40002
#define IDM_RESTORE 40003
#define IDM_OPTIONS 40005
// The status item, which the tray menu shows only while the icon shows a failure.
#define IDM_STATUS 40006
