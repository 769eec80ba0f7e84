#include "companion/Restore.h"

#include "backup/BackupStore.h"
#include "backup/MirrorRun.h"
#include "base/FileCalls.h"
#include "base/FileTree.h"
#include "base/Settings.h"
#include "client/ChatLocator.h"
#include "client/ProcessWatch.h"
#include "companion/FileHolders.h"
#include "companion/SlotList.h"
#include "contracts/ProgramFiles.h"

#include <algorithm>
#include <cwchar>
#include <string>

namespace {

// Room kept free on the data folder's volume beyond the copy itself, for QQ to go on
// writing: 64 MB.
constexpr unsigned long long SPACE_MARGIN_BYTES = 64ull << 20;

// How long a swap's rename is tried again while a program holds a file under the folder:
// 30 s. An indexer or a virus scanner holds a file for one read of it, well under a second
// for most files and a few seconds for a large Msg2.0.db read whole; 30 s covers that
// with room to spare, and is still a wait that a user watching the dialog sits through.
// A program that keeps its file open (a helper of QQ's, a viewer) does not let go
// however long the wait: for it the message that names it is the way out.
constexpr DWORD SWAP_RETRY_MS = 30000;

// The restore copies, never links: the client writes into the live data, and a file
// shared with a slot would carry those writes into a generation. The output is not kept:
// the exit code and the count of the copy decide.
bool RealRunCopy(const wchar_t* toolPath, const wchar_t* sourceDir, const wchar_t* targetDir,
                 const wchar_t* workingDir)
{
    return RunCopyTool(toolPath, sourceDir, targetDir, nullptr, workingDir, nullptr) == RUN_FINISHED;
}

bool RealMoveDirectory(const wchar_t* from, const wchar_t* to)
{
    // No MOVEFILE_COPY_ALLOWED: a rename or nothing, never a copy-and-delete.
    return Files().moveFileEx(LongPathOf(from).c_str(), LongPathOf(to).c_str(), 0) != 0;
}

// The pauses between the tries of a refused rename: from 100 ms, doubled each time, up to
// 2 s, so that a short hold costs little and a long one is not asked about many times.
constexpr DWORD FIRST_RETRY_PAUSE_MS = 100;
constexpr DWORD LONGEST_RETRY_PAUSE_MS = 2000;

// What a rename of a folder gets while a program holds a file under it (or the folder
// itself), and what ends when that program lets go.
bool HeldError(DWORD code)
{
    return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

// Renames the folder from to `to`. A rename refused for a held file is tried again, after
// growing pauses, for up to restoreSeams.swapRetryMs; if it is still refused then,
// outcome->holders names the programs that hold files under from.
bool MoveFolder(const wchar_t* from, const wchar_t* to, RestoreOutcome* outcome)
{
    ULONGLONG deadline = GetTickCount64() + restoreSeams.swapRetryMs;
    DWORD pause = FIRST_RETRY_PAUSE_MS;
    for (;;) {
        if (restoreSeams.moveDirectory(from, to)) return true;
        if (!HeldError(GetLastError())) return false;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            NameFileHolders(from, outcome->holders, HOLDERS_CAPACITY);
            return false;
        }
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pause, deadline - now)));
        pause = std::min(pause * 2, LONGEST_RETRY_PAUSE_MS);
    }
}

bool IsFolder(const wchar_t* path)
{
    DWORD attributes = AttributesOf(LongPathOf(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const wchar_t* path) { return AttributesOf(LongPathOf(path)) != INVALID_FILE_ATTRIBUTES; }

void Report(const RestoreJob& job, int step)
{
    if (job.progress) job.progress(job.context, step);
}

void ForwardStopPhase(void* context, int phase)
{
    const RestoreJob* job = static_cast<const RestoreJob*>(context);
    Report(*job, phase == STOP_PHASE_FINISHING_BACKUP ? STEP_RUNNER_FINISHING_BACKUP : STEP_STOPPING_RUNNER);
}

// A free name beside dataDir: "<dataDir>.<label>-YYYYMMDD-HHMMSS", with "-2" and up when
// that is taken. Null when none fits.
wchar_t* FreeSiblingName(const wchar_t* dataDir, const wchar_t* label, wchar_t* name, size_t capacity)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    for (int attempt = 1; attempt < 100; ++attempt) {
        int written = attempt == 1
            ? swprintf(name, capacity, L"%ls.%ls-%04u%02u%02u-%02u%02u%02u", dataDir, label, now.wYear, now.wMonth,
                       now.wDay, now.wHour, now.wMinute, now.wSecond)
            : swprintf(name, capacity, L"%ls.%ls-%04u%02u%02u-%02u%02u%02u-%d", dataDir, label, now.wYear,
                       now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, attempt);
        if (written < 0 || static_cast<size_t>(written) >= capacity) return nullptr;
        if (!Exists(name)) return name;
    }
    return nullptr;
}

// The label of the live history's set-aside name, the folder an undo puts back.
constexpr wchar_t SET_ASIDE_LABEL[] = L"before-restore";

// Skips count decimal digits at `at`; false when another character comes first.
bool SkipDigits(const wchar_t*& at, int count)
{
    for (int i = 0; i < count; ++i, ++at)
        if (*at < L'0' || *at > L'9') return false;
    return true;
}

// Whether name (a last component) is one FreeSiblingName gives beside a folder named
// dataName: "<dataName>.<label>-YYYYMMDD-HHMMSS", or that with "-2" up to "-99".
bool IsSiblingName(const std::wstring& name, const std::wstring& dataName, const wchar_t* label)
{
    std::wstring prefix = dataName + L"." + label + L"-";
    int n = static_cast<int>(prefix.size());
    if (name.size() < prefix.size() || CompareStringOrdinal(name.c_str(), n, prefix.c_str(), n, TRUE) != CSTR_EQUAL)
        return false;
    const wchar_t* at = name.c_str() + n;
    if (!SkipDigits(at, 8) || *at++ != L'-' || !SkipDigits(at, 6)) return false;
    if (*at == L'\0') return true;
    if (*at++ != L'-' || *at < L'1' || *at > L'9') return false;
    const wchar_t* number = at;
    while (*at >= L'0' && *at <= L'9') ++at;
    return *at == L'\0' && at - number <= 2 && wcstol(number, nullptr, 10) >= 2;
}

// A path as undo compares it: long, full (with "." and ".." resolved) and without a last
// separator. Empty when it cannot be made full.
std::wstring ComparablePath(const wchar_t* path)
{
    std::wstring full = LongPathOf(path);
    while (!full.empty() && full.back() == L'\\') full.pop_back();
    return full;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// The part of a comparable path before its last separator, and the part after it.
std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }
std::wstring NameOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

// Whether an undo may put asideDir in place of dataDir (both comparable): it must be one
// of the restore's own set-aside siblings of dataDir, and lie outside the store. A folder
// that an edited record names anywhere else, a slot above all, would become the live data
// that QQ writes into, and a slot's files are shared with the other generations.
bool IsOwnSetAside(const RestoreJob& job, const std::wstring& dataDir, const std::wstring& asideDir)
{
    if (asideDir.find(L'\\') == std::wstring::npos || !SamePath(ParentOf(asideDir), ParentOf(dataDir)) ||
        !IsSiblingName(NameOf(asideDir), NameOf(dataDir), SET_ASIDE_LABEL))
        return false;
    wchar_t store[PATH_CAPACITY];
    if (!FormSlotPath(store, PATH_CAPACITY, job.programDir, 1)) return true; // a drive's root: no store
    StripLastComponent(store);
    return !IsSameOrInside(asideDir, ComparablePath(store));
}

// Volume root of a path, such as "C:\"; false when it cannot be had.
bool VolumeOf(const wchar_t* path, wchar_t* volume, size_t capacity)
{
    return GetVolumePathNameW(path, volume, static_cast<DWORD>(capacity)) != 0;
}

bool SameVolume(const wchar_t* a, const wchar_t* b)
{
    wchar_t volumeA[PATH_CAPACITY], volumeB[PATH_CAPACITY];
    if (!VolumeOf(a, volumeA, PATH_CAPACITY) || !VolumeOf(b, volumeB, PATH_CAPACITY)) return false;
    return CompareStringOrdinal(volumeA, -1, volumeB, -1, TRUE) == CSTR_EQUAL;
}

bool UndoRecordPath(const wchar_t* programDir, wchar_t* path, size_t capacity)
{
    return JoinPath(path, capacity, programDir, UNDO_RECORD_FILE_NAME) != nullptr;
}

// The profile functions write a file in the ANSI code page unless it starts as UTF-16:
// a data folder under a Chinese user name must survive the round trip.
bool EnsureUnicodeProfile(const wchar_t* path)
{
    if (Exists(path)) return true;
    FileHandle file(
        Files().createFile(LongPathOf(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return Exists(path);
    const unsigned char bom[2] = {0xFF, 0xFE};
    DWORD written = 0;
    return WriteFile(file.get(), bom, 2, &written, nullptr) && written == 2;
}

bool WriteUndoRecord(const wchar_t* programDir, const wchar_t* dataDir, const wchar_t* asideDir, int slot)
{
    wchar_t path[PATH_CAPACITY];
    if (!UndoRecordPath(programDir, path, PATH_CAPACITY) || !EnsureUnicodeProfile(path)) return false;
    wchar_t slotText[8];
    swprintf(slotText, 8, L"%d", slot);
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t when[32];
    swprintf(when, 32, L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
             now.wSecond);
    // Dropping the old section first: no key of an earlier restore can survive beside the new.
    WritePrivateProfileStringW(UNDO_SECTION, nullptr, nullptr, path);
    bool ok = WriteSetting(path, UNDO_SECTION, L"DataDir", dataDir);
    ok = WriteSetting(path, UNDO_SECTION, L"SetAside", asideDir) && ok;
    ok = WriteSetting(path, UNDO_SECTION, L"Slot", slotText) && ok;
    ok = WriteSetting(path, UNDO_SECTION, L"When", when) && ok;
    return ok;
}

void ClearUndoRecord(const wchar_t* programDir)
{
    wchar_t path[PATH_CAPACITY];
    if (UndoRecordPath(programDir, path, PATH_CAPACITY) && Exists(path))
        WritePrivateProfileStringW(UNDO_SECTION, nullptr, nullptr, path);
}

// QQ must not run: it holds its history files open and writes them. A process list that
// cannot be read is taken as QQ running.
bool ClientMayRun() { return restoreSeams.isProcessRunning(CLIENT_PROCESS_NAME) != 0; }

// What identifies the backup in a slot: its stamp and its files.
struct SlotState {
    wchar_t stamp[STAMP_CAPACITY];
    unsigned long long files;
    unsigned long long bytes;
    unsigned long long writeTimes;
    bool listed;
};

void ReadSlotState(const RestoreJob& job, const wchar_t* slotPath, SlotState* state)
{
    *state = SlotState{};
    wchar_t configPath[PATH_CAPACITY];
    if (JoinPath(configPath, PATH_CAPACITY, job.programDir, CONFIG_FILE_NAME))
        ReadSlotStamp(configPath, job.slot, state->stamp, STAMP_CAPACITY);
    state->listed = IsFolder(slotPath) && CountTree(slotPath, &state->files, &state->bytes, &state->writeTimes);
}

bool SameSlotState(const SlotState& a, const SlotState& b)
{
    return a.listed == b.listed && wcscmp(a.stamp, b.stamp) == 0 && a.files == b.files && a.bytes == b.bytes &&
           a.writeTimes == b.writeTimes;
}

// Stops a running runner; false when it would not quit.
bool StopRunnerFor(const RestoreJob& job, RestoreOutcome* outcome, wchar_t* runnerPath)
{
    Report(job, STEP_STOPPING_RUNNER);
    int stopped = restoreSeams.stopRunner(job.runnerStopTimeoutMs, ForwardStopPhase,
                                          const_cast<RestoreJob*>(&job), runnerPath, PATH_CAPACITY);
    if (stopped == STOP_TIMED_OUT) return false;
    outcome->runnerWasRunning = stopped == STOP_ENDED;
    return true;
}

// Starts the runner again when it ran before; turns a done status into the one that says
// it could not be restarted.
int RestartRunner(const RestoreJob& job, RestoreOutcome* outcome, wchar_t* runnerPath, int status)
{
    if (!outcome->runnerWasRunning) return status;
    Report(job, STEP_RESTARTING_RUNNER);
    if (!runnerPath[0]) JoinPath(runnerPath, PATH_CAPACITY, job.programDir, RUNNER_FILE_NAME);
    outcome->runnerRestarted = restoreSeams.startRunner(runnerPath, job.programDir);
    if (!outcome->runnerRestarted && status == RESTORE_DONE) return RESTORE_DONE_RUNNER_NOT_RESTARTED;
    return status;
}

// The part of a restore that runs while the runner is stopped. chosen is the slot as the
// user chose it, read before the runner was asked to quit.
int CopyAndSwap(const RestoreJob& job, const wchar_t* toolPath, const wchar_t* slotPath, const SlotState& chosen,
                RestoreOutcome* outcome)
{
    // A runner that was finishing a backup may have written into this very slot (the oldest
    // is the one it refreshes): what is there now is not the backup the user chose.
    SlotState now;
    ReadSlotState(job, slotPath, &now);
    if (!SameSlotState(chosen, now)) return RESTORE_SLOT_CHANGED;

    Report(job, STEP_COPYING);
    wchar_t copyDir[PATH_CAPACITY];
    if (!FreeSiblingName(outcome->dataDir, L"restoring", copyDir, PATH_CAPACITY)) return RESTORE_COPY_FAILED;
    if (!Files().createDirectory(LongPathOf(copyDir).c_str(), nullptr)) return RESTORE_COPY_FAILED;

    bool copied = restoreSeams.runCopy(toolPath, slotPath, copyDir, job.programDir);
    Report(job, STEP_VERIFYING);
    unsigned long long files = 0, bytes = 0;
    // The tool's exit code alone does not prove the copy whole: it is counted again.
    copied = copied && CountTree(copyDir, &files, &bytes) && files == chosen.files && bytes == chosen.bytes;
    if (!copied) {
        DeleteTree(copyDir);
        return RESTORE_COPY_FAILED;
    }
    // QQ may have been started while the copy ran.
    if (ClientMayRun()) {
        DeleteTree(copyDir);
        return RESTORE_CLIENT_RUNNING;
    }

    Report(job, STEP_SWAPPING);
    bool liveExists = Exists(outcome->dataDir);
    wchar_t asideDir[PATH_CAPACITY] = L"";
    if (liveExists) {
        if (!FreeSiblingName(outcome->dataDir, SET_ASIDE_LABEL, asideDir, PATH_CAPACITY) ||
            !MoveFolder(outcome->dataDir, asideDir, outcome)) {
            DeleteTree(copyDir);
            return RESTORE_SET_ASIDE_FAILED;
        }
    }
    if (!MoveFolder(copyDir, outcome->dataDir, outcome)) {
        if (liveExists && !MoveFolder(asideDir, outcome->dataDir, outcome)) {
            // The history is whole, under its set-aside name; the copy stays as well, so
            // the user has both. Nothing is removed.
            wcscpy(outcome->asideDir, asideDir);
            return RESTORE_SWAP_UNDO_FAILED;
        }
        DeleteTree(copyDir);
        return RESTORE_SWAP_FAILED;
    }
    if (liveExists) {
        wcscpy(outcome->asideDir, asideDir);
        // A record that cannot be written costs only the offer to undo: the dialog still
        // says where the history lies.
        WriteUndoRecord(job.programDir, outcome->dataDir, asideDir, job.slot);
    } else {
        ClearUndoRecord(job.programDir);
    }
    return RESTORE_DONE;
}

int UndoSwap(const RestoreJob& job, const wchar_t* asideDir, RestoreOutcome* outcome)
{
    Report(job, STEP_SWAPPING);
    bool liveExists = Exists(outcome->dataDir);
    wchar_t restoredDir[PATH_CAPACITY] = L"";
    if (liveExists) {
        if (!FreeSiblingName(outcome->dataDir, L"undone-restore", restoredDir, PATH_CAPACITY) ||
            !MoveFolder(outcome->dataDir, restoredDir, outcome))
            return RESTORE_UNDO_FAILED;
    }
    if (!MoveFolder(asideDir, outcome->dataDir, outcome)) {
        if (liveExists && !MoveFolder(restoredDir, outcome->dataDir, outcome)) {
            wcscpy(outcome->asideDir, restoredDir);
            return RESTORE_SWAP_UNDO_FAILED;
        }
        return RESTORE_UNDO_FAILED;
    }
    wcscpy(outcome->asideDir, restoredDir);
    ClearUndoRecord(job.programDir);
    return RESTORE_DONE;
}

} // namespace

RestoreSeams RealRestoreSeams()
{
    RestoreSeams seams{};
    seams.isProcessRunning = IsProcessRunning;
    seams.locateChatData = LocateChatData;
    seams.stopRunner = StopRunner;
    seams.runCopy = RealRunCopy;
    seams.moveDirectory = RealMoveDirectory;
    seams.startRunner = StartRunner;
    seams.swapRetryMs = SWAP_RETRY_MS;
    return seams;
}

RestoreSeams restoreSeams = RealRestoreSeams();

bool ReadUndoRecord(const wchar_t* programDir, wchar_t* dataDir, wchar_t* asideDir, size_t capacity)
{
    wchar_t path[PATH_CAPACITY];
    if (!programDir || !UndoRecordPath(programDir, path, PATH_CAPACITY)) return false;
    return ReadSetting(path, UNDO_SECTION, L"DataDir", dataDir, capacity) &&
           ReadSetting(path, UNDO_SECTION, L"SetAside", asideDir, capacity);
}

int RunRestore(const RestoreJob& job, RestoreOutcome* outcome)
{
    *outcome = RestoreOutcome{};
    Report(job, STEP_CHECKING);
    if (!job.programDir) return outcome->status = EXIT_NO_PROGRAM_FILES;

    if (job.slot < 1 || job.slot > SLOT_COUNT) return outcome->status = RESTORE_EMPTY_SLOT;
    wchar_t slotPath[PATH_CAPACITY];
    wchar_t toolPath[PATH_CAPACITY];
    if (!FormSlotPath(slotPath, PATH_CAPACITY, job.programDir, job.slot) ||
        !JoinPath(toolPath, PATH_CAPACITY, job.programDir, COPY_TOOL_FILE_NAME))
        return outcome->status = EXIT_NO_PROGRAM_FILES;

    SlotState chosen;
    ReadSlotState(job, slotPath, &chosen);
    if (!chosen.listed || chosen.files == 0) return outcome->status = RESTORE_EMPTY_SLOT;

    if (!restoreSeams.locateChatData(outcome->dataDir, PATH_CAPACITY)) return outcome->status = RESTORE_NO_DATA_DIR;
    StripTrailingSeparator(outcome->dataDir);
    wchar_t parent[PATH_CAPACITY];
    wcscpy(parent, outcome->dataDir);
    StripLastComponent(parent);
    // The copy is made beside the data folder: its parent must be a folder.
    if (!outcome->dataDir[0] || wcscmp(parent, outcome->dataDir) == 0 || !IsFolder(parent))
        return outcome->status = RESTORE_NO_DATA_DIR;

    if (!SameVolume(slotPath, parent)) return outcome->status = RESTORE_OTHER_VOLUME;
    ULARGE_INTEGER freeBytes;
    if (GetDiskFreeSpaceExW(parent, &freeBytes, nullptr, nullptr) &&
        freeBytes.QuadPart < chosen.bytes + SPACE_MARGIN_BYTES)
        return outcome->status = RESTORE_NO_SPACE;
    if (!Exists(toolPath)) return outcome->status = RESTORE_COPY_FAILED;

    if (ClientMayRun()) return outcome->status = RESTORE_CLIENT_RUNNING;
    wchar_t runnerPath[PATH_CAPACITY] = L"";
    if (!StopRunnerFor(job, outcome, runnerPath)) return outcome->status = RESTORE_RUNNER_STILL_RUNNING;

    int status = CopyAndSwap(job, toolPath, slotPath, chosen, outcome);
    return outcome->status = RestartRunner(job, outcome, runnerPath, status);
}

int UndoLastRestore(const RestoreJob& job, RestoreOutcome* outcome)
{
    *outcome = RestoreOutcome{};
    Report(job, STEP_CHECKING);
    if (!job.programDir) return outcome->status = EXIT_NO_PROGRAM_FILES;
    wchar_t recordedDataDir[PATH_CAPACITY], asideDir[PATH_CAPACITY];
    if (!ReadUndoRecord(job.programDir, recordedDataDir, asideDir, PATH_CAPACITY) || !IsFolder(asideDir))
        return outcome->status = RESTORE_NOTHING_TO_UNDO;
    // The record is a file anyone can edit, and QQ's data folder can have moved since it
    // was written: it is undone only on the folder QQ uses now.
    if (!restoreSeams.locateChatData(outcome->dataDir, PATH_CAPACITY)) return outcome->status = RESTORE_NO_DATA_DIR;
    StripTrailingSeparator(outcome->dataDir);
    std::wstring dataDir = ComparablePath(outcome->dataDir);
    if (dataDir.empty() || !SamePath(dataDir, ComparablePath(recordedDataDir)))
        return outcome->status = RESTORE_UNDO_STALE;
    if (!IsOwnSetAside(job, dataDir, ComparablePath(asideDir))) return outcome->status = RESTORE_UNDO_RECORD_INVALID;

    if (ClientMayRun()) return outcome->status = RESTORE_CLIENT_RUNNING;
    wchar_t runnerPath[PATH_CAPACITY] = L"";
    if (!StopRunnerFor(job, outcome, runnerPath)) return outcome->status = RESTORE_RUNNER_STILL_RUNNING;

    // QQ may have been started while the runner was finishing a backup.
    int status = ClientMayRun() ? RESTORE_CLIENT_RUNNING : UndoSwap(job, asideDir, outcome);
    return outcome->status = RestartRunner(job, outcome, runnerPath, status);
}
