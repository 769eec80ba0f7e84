#include "companion/CompanionTexts.h"

#include <cwchar>
#include <string>

const wchar_t* RestoreStepText(int step)
{
    constexpr int STEP_COUNT = sizeof TEXT_RESTORE_STEPS / sizeof TEXT_RESTORE_STEPS[0];
    return step >= 0 && step < STEP_COUNT ? TEXT_RESTORE_STEPS[step] : L"";
}

static const wchar_t* StatusText(int status, bool undo)
{
    switch (status) {
    case RESTORE_DONE:
    case RESTORE_DONE_RUNNER_NOT_RESTARTED: return undo ? TEXT_UNDO_DONE : TEXT_RESTORE_DONE;
    case EXIT_NO_PROGRAM_FILES: return TEXT_NO_PROGRAM_DIR;
    case RESTORE_CLIENT_RUNNING: return TEXT_RESTORE_CLIENT_RUNNING;
    case RESTORE_RUNNER_STILL_RUNNING: return TEXT_RESTORE_RUNNER_STILL_RUNNING;
    case RESTORE_NO_DATA_DIR: return TEXT_RESTORE_NO_DATA_DIR;
    case RESTORE_EMPTY_SLOT: return TEXT_RESTORE_EMPTY_SLOT;
    case RESTORE_OTHER_VOLUME: return TEXT_RESTORE_OTHER_VOLUME;
    case RESTORE_NO_SPACE: return TEXT_RESTORE_NO_SPACE;
    case RESTORE_COPY_FAILED: return TEXT_RESTORE_COPY_FAILED;
    case RESTORE_SET_ASIDE_FAILED: return TEXT_RESTORE_SET_ASIDE_FAILED;
    case RESTORE_SWAP_FAILED: return undo ? TEXT_UNDO_SWAP_FAILED : TEXT_RESTORE_SWAP_FAILED;
    case RESTORE_SWAP_UNDO_FAILED: return TEXT_RESTORE_SWAP_UNDO_FAILED;
    case RESTORE_NOTHING_TO_UNDO: return TEXT_RESTORE_NOTHING_TO_UNDO;
    case RESTORE_UNDO_FAILED: return TEXT_RESTORE_UNDO_FAILED;
    case RESTORE_SLOT_CHANGED: return TEXT_RESTORE_SLOT_CHANGED;
    case RESTORE_UNDO_STALE: return TEXT_RESTORE_UNDO_STALE;
    case RESTORE_UNDO_RECORD_INVALID: return TEXT_RESTORE_UNDO_RECORD_INVALID;
    default: return TEXT_UNKNOWN_ERROR;
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
    auto addLine = [&](const wchar_t* text) {
        add(L"\r\n");
        add(text);
    };
    buffer[0] = L'\0';
    add(StatusText(outcome.status, undo));
    bool done = outcome.status == RESTORE_DONE || outcome.status == RESTORE_DONE_RUNNER_NOT_RESTARTED;
    if (outcome.status == RESTORE_SWAP_UNDO_FAILED) {
        addLine(outcome.asideDir);
        addLine(TEXT_ORIGINAL_DIR);
        add(outcome.dataDir);
    }
    if (outcome.holders[0]) {
        addLine(TEXT_FILES_HELD_BY);
        addLine(outcome.holders);
    }
    if (done && outcome.asideDir[0]) {
        addLine(undo ? TEXT_RESTORED_HISTORY_KEPT_AT : TEXT_PREVIOUS_HISTORY_KEPT_AT);
        addLine(outcome.asideDir);
        addLine(undo ? TEXT_DELETE_WHEN_DONE : TEXT_DELETE_OR_UNDO);
    }
    if (outcome.runnerWasRunning) addLine(outcome.runnerRestarted ? TEXT_RUNNER_RESTARTED : TEXT_RUNNER_NOT_RESTARTED);
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
