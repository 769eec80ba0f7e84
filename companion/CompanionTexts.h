// The companion's user-facing texts (Simplified Chinese, in the runner's wording) and the
// reports built from them, shared by the dialogs and the command-line forms.
#pragma once

#include "companion/Restore.h"

#include <cstddef>

constexpr const wchar_t TEXT_NEVER_BACKED_UP[] = L"尚未备份";
// The store's size on disk; the generations share the files that did not change.
constexpr const wchar_t TEXT_STORE_TOTAL_FORMAT[] = L"全部备份共占用磁盘 %ls（各份中没有改动的文件只占一份空间）";
constexpr const wchar_t TEXT_RUNNER_RUNNING[] = L"Kestova 正在运行。";
constexpr const wchar_t TEXT_RUNNER_NOT_RUNNING[] = L"Kestova 没有运行。";
constexpr const wchar_t TEXT_RUNNER_STOP_WAITING[] = L"已通知 Kestova 退出，正在等待……";
constexpr const wchar_t TEXT_RUNNER_FINISHING[] = L"Kestova 正在完成备份，备份完成后就会退出。";
constexpr const wchar_t TEXT_RUNNER_GONE[] = L"Kestova 已经退出。";
constexpr const wchar_t TEXT_SETTINGS_NOT_SAVED[] =
    L"无法保存设置，请检查程序目录中的 config.ini 是否为只读。";
constexpr const wchar_t TEXT_SETTINGS_SAVED[] = L"设置已保存。";
constexpr const wchar_t TEXT_NO_CONFIG[] = L"获取配置文件失败！";

// What one step of a restore or an undo is doing.
const wchar_t* RestoreStepText(int step);

// The full report of a restore (undo false) or an undo (undo true): what happened, where
// the history and the set-aside folder lie, and whether Kestova runs again.
wchar_t* FormatRestoreReport(const RestoreOutcome& outcome, bool undo, wchar_t* buffer, size_t capacity);
