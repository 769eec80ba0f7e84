#include "tests/support/StrictFiles.h"

#include <map>
#include <mutex>
#include <set>
#include <vector>

// The rules, each with the documented Windows behaviour it models:
// - Replacing a file that has open handles: a rename that replaces a file succeeds on
//   NTFS only with POSIX semantics (FILE_RENAME_POSIX_SEMANTICS, "allow replacing a file
//   even if there are existing handles to it"), which MoveFileExW does not ask for; so
//   MoveFileExW over a held file fails with ERROR_ACCESS_DENIED.
// - Deleting a held file: "The DeleteFile function marks a file for deletion on close. ...
//   the file deletion does not occur until the last handle to the file is closed.
//   Subsequent calls to CreateFile to open the file fail with ERROR_ACCESS_DENIED." The
//   name stays in its folder meanwhile, so RemoveDirectoryW of the folder fails with
//   ERROR_DIR_NOT_EMPTY, and the name cannot be made again. A delete while a handle that
//   does not share delete access is open fails with ERROR_SHARING_VIOLATION.
// - Replacing a read-only file: MoveFileExW with MOVEFILE_REPLACE_EXISTING over a
//   read-only file fails with ERROR_ACCESS_DENIED (read-only: "applications ... cannot
//   write to it or delete it", and a replacing rename deletes the old file).
// - Renaming a folder while a file under it is open fails with ERROR_ACCESS_DENIED (NTFS
//   keeps the open files' paths fixed).
// - Short names: on volumes that make 8.3 names, a file can be reached by its short name
//   as well as its long one ("Naming Files, Paths, and Namespaces").
// - Long paths: "In the Windows API ..., the maximum length for a path is MAX_PATH, which
//   is defined as 260 characters", the terminating null included ("Maximum Path Length
//   Limitation"). Only the "\\?\" form goes past it on Windows 7, and on Windows 10 and 11
//   without both the system's opt-in and the program's longPathAware manifest entry. A
//   full path of 260 characters or more in the plain form fails with ERROR_PATH_NOT_FOUND.
// - FAT times: "on FAT, create time has a resolution of 10 milliseconds, write time has a
//   resolution of 2 seconds" ("File Times"); the time kept is the given one rounded up to
//   the next even second.

struct StrictFiles::State {
    struct Open {
        std::wstring key;
        DWORD share = 0;
    };
    struct Alias {
        std::wstring dirKey;
        std::wstring aliasKey; // lower case
        std::wstring longName;
    };

    mutable std::recursive_mutex lock;
    std::map<HANDLE, Open> open;           // handles opened through the layer
    std::map<std::wstring, std::wstring> pending; // key -> real path, deleted while held
    std::vector<Alias> aliases;
    std::vector<std::wstring> fatRoots;    // keys
    std::multimap<std::wstring, HANDLE> held; // Hold's handles by key
};

namespace {

StrictFiles::State* g_state = nullptr;

constexpr const wchar_t LONG_PREFIX[] = L"\\\\?\\";
constexpr const wchar_t UNC_PREFIX[] = L"\\\\?\\UNC\\";

std::wstring Lower(std::wstring text)
{
    if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Whether key names folder or something under it.
bool AtOrUnder(const std::wstring& key, const std::wstring& folder)
{
    return key == folder || (StartsWith(key, folder) && key.size() > folder.size() && key[folder.size()] == L'\\');
}

struct Resolved {
    std::wstring real; // the path to hand to the real call (short names replaced)
    std::wstring key;  // full, without the long-path prefix, lower case
    bool tooLong = false; // plain form, and MAX_PATH characters or more once made full
};

// The full path without a long-path prefix, a trailing separator, or a short name.
Resolved Resolve(const wchar_t* path)
{
    std::wstring text = path ? path : L"";
    bool longForm = false;
    if (StartsWith(text, UNC_PREFIX)) {
        text = L"\\\\" + text.substr(wcslen(UNC_PREFIX));
        longForm = true;
    } else if (StartsWith(text, LONG_PREFIX)) {
        text = text.substr(wcslen(LONG_PREFIX));
        longForm = true;
    }
    std::wstring full(32768, L'\0');
    DWORD n = GetFullPathNameW(text.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    full.resize(n > 0 && n < full.size() ? n : 0);
    if (full.empty()) full = text;
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    if (g_state) {
        for (const StrictFiles::State::Alias& alias : g_state->aliases) {
            std::wstring aliasPath = alias.dirKey + L"\\" + alias.aliasKey;
            std::wstring key = Lower(full);
            if (AtOrUnder(key, aliasPath))
                full = full.substr(0, alias.dirKey.size() + 1) + alias.longName + full.substr(aliasPath.size());
        }
    }
    Resolved r;
    r.tooLong = !longForm && full.size() >= MAX_PATH;
    r.key = Lower(full);
    if (longForm) r.real = (StartsWith(full, L"\\\\") ? UNC_PREFIX + full.substr(2) : LONG_PREFIX + full);
    else r.real = full;
    return r;
}

bool HeldAt(const std::wstring& key)
{
    for (const auto& [handle, open] : g_state->open)
        if (open.key == key) return true;
    return false;
}

bool HeldUnder(const std::wstring& folder)
{
    for (const auto& [handle, open] : g_state->open)
        if (open.key != folder && AtOrUnder(open.key, folder)) return true;
    return false;
}

bool PendingUnder(const std::wstring& folder)
{
    for (const auto& [key, real] : g_state->pending)
        if (key != folder && AtOrUnder(key, folder)) return true;
    return false;
}

template <typename T>
T Fail(DWORD code, T result)
{
    SetLastError(code);
    return result;
}

HANDLE WINAPI StrictCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE templateFile)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    Resolved r = Resolve(path);
    if (r.tooLong) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (g_state->pending.count(r.key)) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    HANDLE h = CreateFileW(r.real.c_str(), access, share, security, disposition, flags, templateFile);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError(); // ERROR_ALREADY_EXISTS for an opened existing file
        g_state->open[h] = {r.key, share};
        SetLastError(code);
    }
    return h;
}

BOOL WINAPI StrictCloseHandle(HANDLE h)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    auto it = g_state->open.find(h);
    std::wstring key;
    if (it != g_state->open.end()) {
        key = it->second.key;
        g_state->open.erase(it);
    }
    BOOL closed = CloseHandle(h);
    DWORD code = GetLastError();
    auto pending = key.empty() ? g_state->pending.end() : g_state->pending.find(key);
    if (pending != g_state->pending.end() && !HeldAt(key)) {
        // The last handle went: the delete takes effect now, whatever the attributes became
        // meanwhile.
        DWORD attributes = GetFileAttributesW(pending->second.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            SetFileAttributesW(pending->second.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        DeleteFileW(pending->second.c_str());
        g_state->pending.erase(pending);
    }
    SetLastError(code);
    return closed;
}

BOOL WINAPI StrictMoveFileEx(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    Resolved source = Resolve(from);
    Resolved target = to ? Resolve(to) : Resolved{};
    if (source.tooLong || target.tooLong) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (g_state->pending.count(source.key)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (to && g_state->pending.count(target.key)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    // A held file may be renamed only when every handle shares delete access.
    for (const auto& [handle, open] : g_state->open)
        if (open.key == source.key && !(open.share & FILE_SHARE_DELETE)) return Fail(ERROR_SHARING_VIOLATION, FALSE);
    if (HeldUnder(source.key)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (to && target.key != source.key && (flags & MOVEFILE_REPLACE_EXISTING) && HeldAt(target.key) &&
        GetFileAttributesW(target.real.c_str()) != INVALID_FILE_ATTRIBUTES)
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (to && target.key != source.key && (flags & MOVEFILE_REPLACE_EXISTING)) {
        DWORD attributes = GetFileAttributesW(target.real.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            return Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    if (!MoveFileExW(source.real.c_str(), to ? target.real.c_str() : nullptr, flags)) return FALSE;
    // Open handles go with the file (and with a folder's contents).
    for (auto& [handle, open] : g_state->open)
        if (AtOrUnder(open.key, source.key)) open.key = target.key + open.key.substr(source.key.size());
    return TRUE;
}

BOOL WINAPI StrictDeleteFile(LPCWSTR path)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    Resolved r = Resolve(path);
    if (r.tooLong) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (g_state->pending.count(r.key)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!HeldAt(r.key)) return DeleteFileW(r.real.c_str());
    for (const auto& [handle, open] : g_state->open)
        if (open.key == r.key && !(open.share & FILE_SHARE_DELETE)) return Fail(ERROR_SHARING_VIOLATION, FALSE);
    // The checks a real delete makes still apply: a read-only file is refused.
    DWORD attributes = GetFileAttributesW(r.real.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    g_state->pending[r.key] = r.real;
    return TRUE;
}

BOOL WINAPI StrictRemoveDirectory(LPCWSTR path)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    Resolved r = Resolve(path);
    if (r.tooLong) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (g_state->pending.count(r.key)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (PendingUnder(r.key) || HeldUnder(r.key)) return Fail(ERROR_DIR_NOT_EMPTY, FALSE);
    return RemoveDirectoryW(r.real.c_str());
}

BOOL WINAPI StrictCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    Resolved r = Resolve(path);
    if (r.tooLong) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (g_state->pending.count(r.key)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    return CreateDirectoryW(r.real.c_str(), security);
}

BOOL WINAPI StrictSetFileAttributes(LPCWSTR path, DWORD attributes)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    Resolved r = Resolve(path);
    if (r.tooLong) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (g_state->pending.count(r.key)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    return SetFileAttributesW(r.real.c_str(), attributes);
}

BOOL WINAPI StrictGetFileAttributesEx(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID info)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    Resolved r = Resolve(path);
    if (r.tooLong) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (g_state->pending.count(r.key)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    return GetFileAttributesExW(r.real.c_str(), level, info);
}

BOOL WINAPI StrictCreateHardLink(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    Resolved made = Resolve(link);
    Resolved from = Resolve(existing);
    if (made.tooLong || from.tooLong) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (g_state->pending.count(made.key) || g_state->pending.count(from.key)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    return CreateHardLinkW(made.real.c_str(), from.real.c_str(), security);
}

bool OnFat(const std::wstring& key)
{
    for (const std::wstring& root : g_state->fatRoots)
        if (AtOrUnder(key, root)) return true;
    return false;
}

BOOL WINAPI StrictSetFileTime(HANDLE h, const FILETIME* creation, const FILETIME* access, const FILETIME* write)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    auto it = g_state->open.find(h);
    if (!write || it == g_state->open.end() || !OnFat(it->second.key)) return SetFileTime(h, creation, access, write);
    // 2 s in 100 ns units, rounded up.
    constexpr unsigned long long STEP = 20000000ull;
    unsigned long long t = (static_cast<unsigned long long>(write->dwHighDateTime) << 32) | write->dwLowDateTime;
    t = (t + STEP - 1) / STEP * STEP;
    FILETIME kept{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    return SetFileTime(h, creation, access, &kept);
}

HANDLE WINAPI StrictFindFirstFileEx(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data, FINDEX_SEARCH_OPS ops,
                                    LPVOID filter, DWORD flags)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    // Only the folder part can be a short name here; the pattern's last part is a wildcard.
    std::wstring text = pattern ? pattern : L"";
    size_t cut = text.find_last_of(L'\\');
    if (cut == std::wstring::npos) return FindFirstFileExW(pattern, level, data, ops, filter, flags);
    Resolved dir = Resolve(text.substr(0, cut).c_str());
    // The limit applies to the pattern as a whole.
    if (Resolve(pattern).tooLong) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    return FindFirstFileExW((dir.real + text.substr(cut)).c_str(), level, data, ops, filter, flags);
}

BOOL WINAPI StrictGetVolumeInformation(LPCWSTR root, LPWSTR name, DWORD nameSize, LPDWORD serial,
                                       LPDWORD maxComponent, LPDWORD fsFlags, LPWSTR fsName, DWORD fsNameSize)
{
    std::lock_guard<std::recursive_mutex> guard(g_state->lock);
    Resolved r = Resolve(root);
    if (r.tooLong) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (!r.key.empty() && r.key.back() == L'\\') r.key.pop_back(); // "c:\" names the volume c:
    BOOL ok = GetVolumeInformationW(root, name, nameSize, serial, maxComponent, fsFlags, fsName, fsNameSize);
    bool fat = false;
    for (const std::wstring& fatRoot : g_state->fatRoots)
        if (AtOrUnder(fatRoot, r.key) || AtOrUnder(r.key, fatRoot)) fat = true;
    if (ok && fat && fsName && fsNameSize > 5) wcscpy(fsName, L"FAT32");
    return ok;
}

const FileCalls STRICT_FILE_CALLS = {
    StrictCreateFile,        StrictCloseHandle,          StrictMoveFileEx,        StrictDeleteFile,
    StrictRemoveDirectory,   StrictCreateDirectory,      StrictSetFileAttributes, StrictGetFileAttributesEx,
    StrictCreateHardLink,    StrictSetFileTime,          StrictFindFirstFileEx,   StrictGetVolumeInformation,
};

} // namespace

StrictFiles::StrictFiles() : state_(std::make_unique<State>())
{
    // One layer at a time: the table's functions find it here.
    g_state = state_.get();
}

StrictFiles::~StrictFiles()
{
    std::vector<HANDLE> handles;
    {
        std::lock_guard<std::recursive_mutex> guard(state_->lock);
        for (const auto& [key, handle] : state_->held) handles.push_back(handle);
        state_->held.clear();
    }
    for (HANDLE h : handles) StrictCloseHandle(h);
    g_state = nullptr;
}

const FileCalls& StrictFiles::calls() const { return STRICT_FILE_CALLS; }

bool StrictFiles::Hold(const std::wstring& path, DWORD share)
{
    HANDLE h = StrictCreateFile(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::lock_guard<std::recursive_mutex> guard(state_->lock);
    state_->held.emplace(Resolve(path.c_str()).key, h);
    return true;
}

void StrictFiles::Release(const std::wstring& path)
{
    std::vector<HANDLE> handles;
    {
        std::lock_guard<std::recursive_mutex> guard(state_->lock);
        auto [first, last] = state_->held.equal_range(Resolve(path.c_str()).key);
        for (auto it = first; it != last; ++it) handles.push_back(it->second);
        state_->held.erase(first, last);
    }
    for (HANDLE h : handles) StrictCloseHandle(h);
}

void StrictFiles::AddShortName(const std::wstring& dir, const std::wstring& alias, const std::wstring& longName)
{
    std::lock_guard<std::recursive_mutex> guard(state_->lock);
    std::wstring dirKey = Resolve(dir.c_str()).key;
    state_->aliases.push_back({dirKey, Lower(alias), longName});
}

void StrictFiles::MarkFat(const std::wstring& root)
{
    std::lock_guard<std::recursive_mutex> guard(state_->lock);
    state_->fatRoots.push_back(Resolve(root.c_str()).key);
}

size_t StrictFiles::PendingDeletes() const
{
    std::lock_guard<std::recursive_mutex> guard(state_->lock);
    return state_->pending.size();
}
