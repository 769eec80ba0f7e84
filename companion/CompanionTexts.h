// The companion's user-facing texts (Simplified Chinese, in the runner's wording) and the
// reports built from them, shared by the dialogs and the command-line forms.
#pragma once

#include "companion/LastRun.h"
#include "companion/Restore.h"

#include <cstddef>

// The caption of every message box the companion shows.
constexpr const wchar_t TEXT_CAPTION[] = L"Kestova";

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
constexpr const wchar_t TEXT_NO_PROGRAM_DIR[] = L"无法确定程序所在的目录。";

// The command-line forms.
constexpr const wchar_t TEXT_USAGE[] =
    L"用法：\r\n"
    L"  Marrowby.exe --options [--set Key=Value ...]\r\n"
    L"  Marrowby.exe --restore [--slot N [--yes]] [--wait-seconds S]\r\n"
    L"  Marrowby.exe --undo-restore --yes [--wait-seconds S]\r\n";
constexpr const wchar_t TEXT_UNKNOWN_SETTING[] = L"未知的设置项：";  // followed by the assignment
constexpr const wchar_t TEXT_INVALID_SETTING[] = L"设置值无效：";    // followed by the assignment
constexpr const wchar_t TEXT_TIME_WITHOUT_SCHEDULE[] =
    L"没有定时备份时不会保存时间，请同时指定 Mode=PRE_DAY 或 Mode=PRE_WEEK。";
constexpr const wchar_t TEXT_SCHEDULE_WITHOUT_TIME[] = L"定时备份需要指定时间，例如 Time=21:30。";
constexpr const wchar_t TEXT_WEEKLY_WITHOUT_DAY[] = L"每周定时备份需要指定星期，例如 Time=\"21:30 FIR\"。";
constexpr const wchar_t TEXT_RUNNER_TOLD_TO_RELOAD[] = L"已通知 Kestova 重新读取设置。";

// The settings dialog.
constexpr const wchar_t* const TEXT_WEEKDAYS[7] = {L"星期日", L"星期一", L"星期二", L"星期三",
                                                  L"星期四", L"星期五", L"星期六"};
constexpr const wchar_t TEXT_SLOT_TIME_FORMAT[] = L"第 %d 份：%ls"; // slot number, finish time

// The restore dialog.
constexpr const wchar_t TEXT_SLOT_LINE_EMPTY_FORMAT[] = L"第 %d 份\t%ls\t（空）"; // number, time
// Slot number, finish time, number of files, size.
constexpr const wchar_t TEXT_SLOT_LINE_FORMAT[] = L"第 %d 份\t%ls\t%llu 个文件\t%ls";
constexpr const wchar_t TEXT_DATA_DIR_NOT_FOUND[] = L"（没有找到。暂时只支持QQ2010。）";
constexpr const wchar_t TEXT_RESTORE_NOT_STARTED[] = L"无法开始还原。";
constexpr const wchar_t TEXT_CHOOSE_SLOT_FIRST[] = L"请先选择一份备份。";
constexpr const wchar_t TEXT_CONFIRM_RESTORE_FORMAT[] = // slot number
    L"确定要用第 %d 份备份还原QQ聊天记录吗？\r\n\r\n如果 Kestova 正在运行，会先让它退出，还原后再启动它。"
    L"当前的聊天记录会改名保留，不会被删除。";
constexpr const wchar_t TEXT_CONFIRM_UNDO[] =
    L"确定要撤销上次还原，换回还原前的聊天记录吗？\r\n\r\n还原后的聊天记录会改名保留。";

// The last run's outcome in the settings dialog's status part.
constexpr const wchar_t TEXT_LAST_RUN_NONE[] = L"上次备份：没有记录。";
constexpr const wchar_t TEXT_LAST_RUN_SUCCEEDED[] = L"上次备份：成功。";
constexpr const wchar_t TEXT_LAST_RUN_UNFINISHED[] = L"上次备份：没有完成（正在进行，或者被中断）。";
constexpr const wchar_t TEXT_LAST_RUN_FILES_FAILED_FORMAT[] = L"上次备份：失败，%llu 个文件无法复制："; // count
constexpr const wchar_t TEXT_LAST_RUN_DIRS_FAILED_FORMAT[] = L"上次备份：失败，%llu 个文件夹无法复制。"; // count
constexpr const wchar_t TEXT_LAST_RUN_FAILED[] = L"上次备份：失败。";
constexpr const wchar_t TEXT_MORE[] = L"……";

// What each step of a restore or an undo is doing, in the order of RestoreStep.
constexpr const wchar_t* const TEXT_RESTORE_STEPS[] = {
    L"正在检查……",                                         // STEP_CHECKING
    L"正在等待 Kestova 退出……",                             // STEP_STOPPING_RUNNER
    L"Kestova 正在完成备份，备份完成后才能还原，请稍等……", // STEP_RUNNER_FINISHING_BACKUP
    L"正在复制备份……",                                     // STEP_COPYING
    L"正在核对复制的文件……",                               // STEP_VERIFYING
    L"正在替换聊天记录……",                                 // STEP_SWAPPING
    L"正在重新启动 Kestova……",                             // STEP_RESTARTING_RUNNER
};
static_assert(sizeof TEXT_RESTORE_STEPS / sizeof TEXT_RESTORE_STEPS[0] == STEP_RESTARTING_RUNNER + 1,
              "one text for each restore step");

// What a restore or an undo came to, the first line of its report.
constexpr const wchar_t TEXT_RESTORE_DONE[] = L"还原成功完成！";
constexpr const wchar_t TEXT_UNDO_DONE[] = L"已撤销上次还原，聊天记录已恢复为还原前的样子。";
constexpr const wchar_t TEXT_RESTORE_CLIENT_RUNNING[] = L"QQ正在运行（或无法确认它没有运行）。请先退出QQ，再进行还原。";
constexpr const wchar_t TEXT_RESTORE_RUNNER_STILL_RUNNING[] =
    L"Kestova 没有在规定的时间内退出（可能仍在备份）。请等备份完成后再试。什么都没有改变。";
constexpr const wchar_t TEXT_RESTORE_NO_DATA_DIR[] = L"找不到QQ聊天记录目录。暂时只支持QQ2010。";
constexpr const wchar_t TEXT_RESTORE_EMPTY_SLOT[] = L"所选的备份是空的，不能用来还原。";
constexpr const wchar_t TEXT_RESTORE_OTHER_VOLUME[] = L"备份和QQ聊天记录不在同一个磁盘分区上，无法还原。";
constexpr const wchar_t TEXT_RESTORE_NO_SPACE[] = L"QQ聊天记录所在的磁盘分区空间不足，无法复制备份。";
constexpr const wchar_t TEXT_RESTORE_COPY_FAILED[] = L"复制备份失败。当前的聊天记录没有任何改变。";
constexpr const wchar_t TEXT_RESTORE_SET_ASIDE_FAILED[] =
    L"无法将当前的聊天记录改名保留（可能有文件正在使用）。当前的聊天记录没有任何改变。";
constexpr const wchar_t TEXT_RESTORE_SWAP_FAILED[] =
    L"无法用备份替换当前的聊天记录，已经恢复原样。当前的聊天记录没有任何改变。";
constexpr const wchar_t TEXT_UNDO_SWAP_FAILED[] = L"撤销失败。聊天记录没有任何改变。";
// Followed by the folder that now holds the history, then TEXT_ORIGINAL_DIR.
constexpr const wchar_t TEXT_RESTORE_SWAP_UNDO_FAILED[] =
    L"替换失败，而且无法改回原来的名字。您的聊天记录完好无损，但现在位于下面的目录中，"
    L"请将它改名回原来的目录：";
constexpr const wchar_t TEXT_RESTORE_NOTHING_TO_UNDO[] = L"没有可以撤销的还原（或者保留的聊天记录目录已被删除）。";
constexpr const wchar_t TEXT_RESTORE_UNDO_FAILED[] = L"撤销失败（可能有文件正在使用）。聊天记录没有任何改变。";
constexpr const wchar_t TEXT_RESTORE_SLOT_CHANGED[] =
    L"在等待 Kestova 退出期间，所选的备份被更新了，它已不是您选择的那一份。请重新选择要还原的备份。"
    L"当前的聊天记录没有任何改变。";
constexpr const wchar_t TEXT_RESTORE_UNDO_STALE[] =
    L"上次还原时的QQ聊天记录目录已不是QQ现在使用的目录，不能撤销。聊天记录没有任何改变。";
constexpr const wchar_t TEXT_RESTORE_UNDO_RECORD_INVALID[] =
    L"还原记录（Marrowby.ini）中要换回的目录不是还原时改名保留的聊天记录，不能撤销。聊天记录没有任何改变。";
constexpr const wchar_t TEXT_UNKNOWN_ERROR[] = L"发生了未知的错误。";
// A rename refused because a program holds a file in the folder: the line before the
// programs, and how each is named (program name, process id) and joined.
constexpr const wchar_t TEXT_FILES_HELD_BY[] = L"下面的程序正在使用其中的文件，请关闭它，然后再试：";
constexpr const wchar_t TEXT_FILE_HOLDER_FORMAT[] = L"%ls（进程 %lu）";
constexpr const wchar_t TEXT_FILE_HOLDER_SEPARATOR[] = L"、";

// The lines of a report that follow the outcome.
constexpr const wchar_t TEXT_ORIGINAL_DIR[] = L"原来的目录：";                // followed by the data folder
constexpr const wchar_t TEXT_PREVIOUS_HISTORY_KEPT_AT[] = L"原来的聊天记录保留在："; // restore; then the folder
constexpr const wchar_t TEXT_RESTORED_HISTORY_KEPT_AT[] = L"还原后的聊天记录保留在："; // undo; then the folder
constexpr const wchar_t TEXT_DELETE_OR_UNDO[] = L"不再需要时可以删除它；也可以用“撤销上次还原”换回来。";
constexpr const wchar_t TEXT_DELETE_WHEN_DONE[] = L"不再需要时可以删除它。";
constexpr const wchar_t TEXT_RUNNER_RESTARTED[] = L"Kestova 已重新启动。";
constexpr const wchar_t TEXT_RUNNER_NOT_RESTARTED[] = L"无法重新启动 Kestova，请手动启动它。";

// What one step of a restore or an undo is doing; empty for a step it does not know.
const wchar_t* RestoreStepText(int step);

// The last run's outcome: what happened and, for a failure, the count and the first paths
// of the files that could not be copied (or the tool's first error line).
wchar_t* FormatLastRun(const LastRun& run, wchar_t* buffer, size_t capacity);

// The full report of a restore (undo false) or an undo (undo true): what happened, where
// the history and the set-aside folder lie, and whether Kestova runs again.
wchar_t* FormatRestoreReport(const RestoreOutcome& outcome, bool undo, wchar_t* buffer, size_t capacity);
