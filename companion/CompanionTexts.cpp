#include "companion/CompanionTexts.h"

#include <cwchar>
#include <string>

const wchar_t* RestoreStepText(int step)
{
    switch (step) {
    case STEP_CHECKING: return L"正在检查……";
    case STEP_STOPPING_RUNNER: return L"正在等待 Kestova 退出……";
    case STEP_RUNNER_FINISHING_BACKUP: return L"Kestova 正在完成备份，备份完成后才能还原，请稍等……";
    case STEP_COPYING: return L"正在复制备份……";
    case STEP_VERIFYING: return L"正在核对复制的文件……";
    case STEP_SWAPPING: return L"正在替换聊天记录……";
    case STEP_RESTARTING_RUNNER: return L"正在重新启动 Kestova……";
    default: return L"";
    }
}

static const wchar_t* StatusText(int status, bool undo)
{
    switch (status) {
    case RESTORE_DONE:
    case RESTORE_DONE_RUNNER_NOT_RESTARTED:
        return undo ? L"已撤销上次还原，聊天记录已恢复为还原前的样子。" : L"还原成功完成！";
    case EXIT_NO_PROGRAM_FILES: return TEXT_NO_PROGRAM_DIR;
    case RESTORE_CLIENT_RUNNING: return L"QQ正在运行（或无法确认它没有运行）。请先退出QQ，再进行还原。";
    case RESTORE_RUNNER_STILL_RUNNING:
        return L"Kestova 没有在规定的时间内退出（可能仍在备份）。请等备份完成后再试。什么都没有改变。";
    case RESTORE_NO_DATA_DIR: return L"找不到QQ聊天记录目录。暂时只支持QQ2010。";
    case RESTORE_EMPTY_SLOT: return L"所选的备份是空的，不能用来还原。";
    case RESTORE_OTHER_VOLUME: return L"备份和QQ聊天记录不在同一个磁盘分区上，无法还原。";
    case RESTORE_NO_SPACE: return L"QQ聊天记录所在的磁盘分区空间不足，无法复制备份。";
    case RESTORE_COPY_FAILED: return L"复制备份失败。当前的聊天记录没有任何改变。";
    case RESTORE_SET_ASIDE_FAILED:
        return L"无法将当前的聊天记录改名保留（可能有文件正在使用）。当前的聊天记录没有任何改变。";
    case RESTORE_SWAP_FAILED:
        return undo ? L"撤销失败。聊天记录没有任何改变。"
                    : L"无法用备份替换当前的聊天记录，已经恢复原样。当前的聊天记录没有任何改变。";
    case RESTORE_SWAP_UNDO_FAILED:
        return L"替换失败，而且无法改回原来的名字。您的聊天记录完好无损，但现在位于下面的目录中，"
               L"请将它改名回原来的目录：";
    case RESTORE_NOTHING_TO_UNDO: return L"没有可以撤销的还原（或者保留的聊天记录目录已被删除）。";
    case RESTORE_UNDO_FAILED: return L"撤销失败（可能有文件正在使用）。聊天记录没有任何改变。";
    case RESTORE_SLOT_CHANGED:
        return L"在等待 Kestova 退出期间，所选的备份被更新了，它已不是您选择的那一份。请重新选择要还原的备份。"
               L"当前的聊天记录没有任何改变。";
    default: return L"发生了未知的错误。";
    }
}

wchar_t* FormatRestoreReport(const RestoreOutcome& outcome, bool undo, wchar_t* buffer, size_t capacity)
{
    if (!buffer || capacity == 0) return nullptr;
    size_t used = 0;
    auto add = [&](const wchar_t* text) {
        int written = swprintf(buffer + used, capacity - used, L"%ls", text);
        if (written > 0) used += static_cast<size_t>(written);
    };
    buffer[0] = L'\0';
    add(StatusText(outcome.status, undo));
    bool done = outcome.status == RESTORE_DONE || outcome.status == RESTORE_DONE_RUNNER_NOT_RESTARTED;
    if (outcome.status == RESTORE_SWAP_UNDO_FAILED) {
        add(L"\r\n");
        add(outcome.asideDir);
        add(L"\r\n原来的目录：");
        add(outcome.dataDir);
    }
    if (done && outcome.asideDir[0]) {
        add(undo ? L"\r\n还原后的聊天记录保留在：\r\n" : L"\r\n原来的聊天记录保留在：\r\n");
        add(outcome.asideDir);
        add(undo ? L"\r\n不再需要时可以删除它。" : L"\r\n不再需要时可以删除它；也可以用“撤销上次还原”换回来。");
    }
    if (outcome.runnerWasRunning)
        add(outcome.runnerRestarted ? L"\r\nKestova 已重新启动。" : L"\r\n无法重新启动 Kestova，请手动启动它。");
    return buffer;
}

wchar_t* FormatLastRun(const LastRun& run, wchar_t* buffer, size_t capacity)
{
    std::wstring text;
    wchar_t line[128];
    switch (run.outcome) {
    case LAST_RUN_SUCCEEDED: text = TEXT_LAST_RUN_SUCCEEDED; break;
    case LAST_RUN_UNFINISHED: text = TEXT_LAST_RUN_UNFINISHED; break;
    case LAST_RUN_FAILED:
        if (run.failedFiles > 0) {
            swprintf(line, 128, TEXT_LAST_RUN_FILES_FAILED_FORMAT, run.failedFiles);
            text = line;
            for (int i = 0; i < run.pathCount; ++i) text += std::wstring(L"\r\n") + run.paths[i];
            if (run.failedFiles > static_cast<unsigned long long>(run.pathCount)) text += std::wstring(L"\r\n") + TEXT_MORE;
        } else if (run.failedDirs > 0) {
            swprintf(line, 128, TEXT_LAST_RUN_DIRS_FAILED_FORMAT, run.failedDirs);
            text = line;
        } else {
            text = TEXT_LAST_RUN_FAILED;
            if (run.firstError[0]) text += std::wstring(L"\r\n") + run.firstError;
        }
        break;
    default: text = TEXT_LAST_RUN_NONE; break;
    }
    if (capacity == 0) return buffer;
    size_t n = text.size() < capacity ? text.size() : capacity - 1;
    wmemcpy(buffer, text.c_str(), n);
    buffer[n] = L'\0';
    return buffer;
}
