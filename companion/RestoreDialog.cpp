// The restore dialog. The restore itself runs on a thread of its own, so the dialog stays
// responsive through a long copy; that thread reports by posting to the dialog.
#include "companion/CompanionResource.h"
#include "companion/CompanionTexts.h"
#include "companion/Dialogs.h"
#include "companion/Restore.h"
#include "companion/SlotList.h"
#include "contracts/ProgramFiles.h"

#include "base/ScopedWin.h"
#include "base/Settings.h"

#include <cwchar>

namespace {

constexpr UINT WM_RESTORE_STEP = WM_APP + 1; // wParam: a RestoreStep
constexpr UINT WM_RESTORE_DONE = WM_APP + 2; // the outcome is in the state

constexpr size_t REPORT_CAPACITY = 3 * PATH_CAPACITY;

// Written by the dialog's thread before the restoring thread starts and after it has
// ended (WM_RESTORE_DONE); the restoring thread writes outcome alone, in between.
struct RestoreState {
    HWND dialog;
    wchar_t programDir[PATH_CAPACITY];
    int preselected;
    DWORD stopTimeoutMs;
    bool undo;              // the running job is an undo
    UniqueHandle thread;    // the restoring thread while one runs
    RestoreJob job;
    RestoreOutcome outcome;
    int lastStatus;
    wchar_t report[REPORT_CAPACITY];
};

void PostStep(void* context, int step)
{
    RestoreState* state = static_cast<RestoreState*>(context);
    PostMessageW(state->dialog, WM_RESTORE_STEP, static_cast<WPARAM>(step), 0);
}

DWORD WINAPI RestoreThread(void* parameter)
{
    RestoreState* state = static_cast<RestoreState*>(parameter);
    if (state->undo) UndoLastRestore(state->job, &state->outcome);
    else RunRestore(state->job, &state->outcome);
    PostMessageW(state->dialog, WM_RESTORE_DONE, 0, 0);
    return 0;
}

void FillSlotList(HWND dialog, RestoreState* state, int select)
{
    HWND list = GetDlgItem(dialog, IDC_SLOT_LIST);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    wchar_t configPath[PATH_CAPACITY];
    SlotInfo slots[SLOT_COUNT];
    ListSlots(state->programDir, JoinPath(configPath, PATH_CAPACITY, state->programDir, CONFIG_FILE_NAME), true,
              slots);
    SortSlotsNewestFirst(slots, SLOT_COUNT);
    int tabStops[3] = {40, 130, 190};
    SendMessageW(list, LB_SETTABSTOPS, 3, reinterpret_cast<LPARAM>(tabStops));
    for (const SlotInfo& slot : slots) {
        wchar_t time[64], size[32], line[256];
        FormatSlotTime(slot, time, 64);
        if (slot.files == 0) swprintf(line, 256, TEXT_SLOT_LINE_EMPTY_FORMAT, slot.number, time);
        else
            swprintf(line, 256, TEXT_SLOT_LINE_FORMAT, slot.number, time, slot.files,
                     FormatSize(slot.bytes, size, 32));
        LRESULT index = SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
        SendMessageW(list, LB_SETITEMDATA, static_cast<WPARAM>(index), slot.number);
        if (slot.number == select) SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    unsigned long long onDisk = 0;
    CountStoreOnDisk(slots, SLOT_COUNT, &onDisk);
    wchar_t size[32], total[128];
    swprintf(total, 128, TEXT_STORE_TOTAL_FORMAT, FormatSize(onDisk, size, 32));
    SetDlgItemTextW(dialog, IDC_STORE_TOTAL, total);
}

void ShowDataDir(HWND dialog)
{
    wchar_t dataDir[PATH_CAPACITY];
    if (restoreSeams.locateChatData(dataDir, PATH_CAPACITY)) SetDlgItemTextW(dialog, IDC_DATA_DIR, dataDir);
    else SetDlgItemTextW(dialog, IDC_DATA_DIR, TEXT_DATA_DIR_NOT_FOUND);
}

void EnableButtons(HWND dialog, RestoreState* state)
{
    bool running = state->thread.valid();
    wchar_t dataDir[PATH_CAPACITY], asideDir[PATH_CAPACITY];
    bool canUndo = ReadUndoRecord(state->programDir, dataDir, asideDir, PATH_CAPACITY) &&
                   GetFileAttributesW(asideDir) != INVALID_FILE_ATTRIBUTES;
    EnableWindow(GetDlgItem(dialog, IDC_DO_RESTORE), !running);
    EnableWindow(GetDlgItem(dialog, IDC_UNDO), !running && canUndo);
    EnableWindow(GetDlgItem(dialog, IDCANCEL), !running);
    EnableWindow(GetDlgItem(dialog, IDC_SLOT_LIST), !running);
}

void StartJob(HWND dialog, RestoreState* state, bool undo, int slot)
{
    state->undo = undo;
    state->job = RestoreJob{state->programDir, slot, state->stopTimeoutMs, PostStep, state};
    state->outcome = RestoreOutcome{};
    state->thread.reset(CreateThread(nullptr, 0, RestoreThread, state, 0, nullptr));
    if (!state->thread) {
        SetDlgItemTextW(dialog, IDC_RESTORE_STATUS, TEXT_RESTORE_NOT_STARTED);
        return;
    }
    EnableButtons(dialog, state);
}

void OnRestore(HWND dialog, RestoreState* state)
{
    HWND list = GetDlgItem(dialog, IDC_SLOT_LIST);
    LRESULT index = SendMessageW(list, LB_GETCURSEL, 0, 0);
    if (index == LB_ERR) {
        MessageBoxW(dialog, TEXT_CHOOSE_SLOT_FIRST, TEXT_CAPTION, MB_OK | MB_ICONINFORMATION);
        return;
    }
    int slot = static_cast<int>(SendMessageW(list, LB_GETITEMDATA, static_cast<WPARAM>(index), 0));
    wchar_t question[256];
    swprintf(question, 256, TEXT_CONFIRM_RESTORE_FORMAT, slot);
    if (MessageBoxW(dialog, question, TEXT_CAPTION, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) return;
    StartJob(dialog, state, false, slot);
}

void OnUndo(HWND dialog, RestoreState* state)
{
    if (MessageBoxW(dialog, TEXT_CONFIRM_UNDO, TEXT_CAPTION, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) return;
    StartJob(dialog, state, true, 0);
}

void OnDone(HWND dialog, RestoreState* state)
{
    WaitForSingleObject(state->thread.get(), INFINITE);
    state->thread.reset();
    state->lastStatus = state->outcome.status;
    FormatRestoreReport(state->outcome, state->undo, state->report, REPORT_CAPACITY);
    SetDlgItemTextW(dialog, IDC_RESTORE_STATUS, state->report);
    int selected = 0;
    HWND list = GetDlgItem(dialog, IDC_SLOT_LIST);
    LRESULT index = SendMessageW(list, LB_GETCURSEL, 0, 0);
    if (index != LB_ERR) selected = static_cast<int>(SendMessageW(list, LB_GETITEMDATA, static_cast<WPARAM>(index), 0));
    FillSlotList(dialog, state, selected);
    EnableButtons(dialog, state);
    bool done = state->lastStatus == RESTORE_DONE;
    MessageBoxW(dialog, state->report, TEXT_CAPTION, MB_OK | (done ? MB_ICONINFORMATION : MB_ICONWARNING));
}

INT_PTR CALLBACK RestoreProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    RestoreState* state = reinterpret_cast<RestoreState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        state = reinterpret_cast<RestoreState*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        state->dialog = dialog;
        FillSlotList(dialog, state, state->preselected);
        ShowDataDir(dialog);
        EnableButtons(dialog, state);
        return TRUE;
    case WM_RESTORE_STEP:
        SetDlgItemTextW(dialog, IDC_RESTORE_STATUS, RestoreStepText(static_cast<int>(wParam)));
        return TRUE;
    case WM_RESTORE_DONE:
        OnDone(dialog, state);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_DO_RESTORE:
            if (!state->thread) OnRestore(dialog, state);
            return TRUE;
        case IDC_UNDO:
            if (!state->thread) OnUndo(dialog, state);
            return TRUE;
        case IDCANCEL:
            // A restore that is under way is never abandoned half-done.
            if (!state->thread) EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

} // namespace

int RunRestoreDialog(HINSTANCE instance, const wchar_t* programDir, int slot, DWORD stopTimeoutMs)
{
    static RestoreState state; // large; one dialog per process
    state.preselected = slot;
    state.stopTimeoutMs = stopTimeoutMs;
    state.lastStatus = 0;
    if (!programDir) {
        MessageBoxW(nullptr, TEXT_NO_PROGRAM_DIR, TEXT_CAPTION, MB_OK | MB_ICONERROR);
        return EXIT_NO_PROGRAM_FILES;
    }
    wcscpy(state.programDir, programDir);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_RESTORE), nullptr, RestoreProc, reinterpret_cast<LPARAM>(&state));
    return state.lastStatus;
}
