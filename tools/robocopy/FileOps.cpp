// The file operations that keep other links intact: new files under temporary names,
// replacing by rename, hard links, removals, the read-only bit, and directories.
#include "tools/robocopy/FileOps.h"

#include "base/ScopedWin.h"
#include "tools/robocopy/MirrorTool.h"

namespace {

// Attributes carried from a source file to its copy. Compression, encryption, sparseness
// and the like belong to the target volume, not to the data.
constexpr DWORD COPIED_FILE_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Copies the data of in into out, then gives out the times of s.
DWORD CopyData(HANDLE in, HANDLE out, const Entry& s, void* buffer)
{
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, buffer, COPY_BUFFER_BYTES, &got, nullptr)) return GetLastError();
        if (got == 0) break;
        const char* at = static_cast<const char*>(buffer);
        while (got > 0) {
            DWORD wrote = 0;
            if (!WriteFile(out, at, got, &wrote, nullptr) || wrote == 0)
                return GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
            at += wrote;
            got -= wrote;
        }
    }
    return SetFileTime(out, &s.creation, &s.access, &s.write) ? 0 : GetLastError();
}

// Runs action (a removal of path, or a rename over it) and, where the file system refuses
// that for a read-only entry, once more with the read-only bit lifted. Attributes belong to
// the file, not to one name of it: the file is held open meanwhile and its attributes are
// put back through the handle, so that the other links of a hard-linked file (another
// slot's copy) and an entry that stays because the action failed keep them. Times are left
// as they are. 0 or the action's error.
template <typename Action>
DWORD EvenIfReadOnly(const std::wstring& path, DWORD attributes, Action action)
{
    DWORD code = action();
    if (code != ERROR_ACCESS_DENIED || !(attributes & FILE_ATTRIBUTE_READONLY)) return code;
    // Attribute access is granted whatever sharing others asked for; delete sharing lets
    // the action go on while the handle is held.
    UniqueHandle held(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_BASIC_INFO kept;
    if (!held || !GetFileInformationByHandleEx(held.get(), FileBasicInfo, &kept, sizeof kept)) return code;
    FILE_BASIC_INFO lifted{}; // zero times: left as they are
    lifted.FileAttributes = kept.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (lifted.FileAttributes == 0) lifted.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(held.get(), FileBasicInfo, &lifted, sizeof lifted)) return code;
    code = action();
    // Also after a removal: the file may live on under another name, and a link in the
    // target may have been opened as what it leads to.
    FILE_BASIC_INFO restored{};
    restored.FileAttributes = kept.FileAttributes;
    SetFileInformationByHandle(held.get(), FileBasicInfo, &restored, sizeof restored);
    return code;
}

} // namespace

std::wstring TempPathBeside(const std::wstring& to, unsigned attempt)
{
    std::wstring path = to.substr(0, to.find_last_of(L'\\') + 1);
    return path + FormatText(L"~kestova-%08lx-%u.tmp", static_cast<unsigned long>(GetCurrentProcessId()), attempt);
}

DWORD ReplaceTargetFile(const std::wstring& temp, const std::wstring& to, const Entry& existing)
{
    return EvenIfReadOnly(to, existing.attributes, [&] {
        return MoveFileExW(temp.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : GetLastError();
    });
}

DWORD CopyOneFile(const std::wstring& from, const std::wstring& to, const Entry& s, const Entry* existing,
                  void* buffer)
{
    UniqueHandle in(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) return GetLastError();
    // Read-only is set after the data is written; the other attributes go in at creation.
    DWORD createAttributes = s.attributes & COPIED_FILE_ATTRIBUTES & ~FILE_ATTRIBUTE_READONLY;
    if (createAttributes == 0) createAttributes = FILE_ATTRIBUTE_NORMAL;
    auto createNew = [&](const std::wstring& path) {
        return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           createAttributes | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    };
    std::wstring written = to;
    UniqueHandle out;
    Entry found;
    if (!existing) {
        out.reset(createNew(to));
        if (!out) {
            DWORD code = GetLastError();
            if (code != ERROR_FILE_EXISTS) return code;
            // The listing showed no target by this name, yet the name reaches one: a source
            // name that differs from another only in letter case, paired with that file
            // already. It may be linked to another generation's file, so it is replaced
            // like any target, never written into.
            WIN32_FILE_ATTRIBUTE_DATA info;
            if (!GetFileAttributesExW(to.c_str(), GetFileExInfoStandard, &info)) return GetLastError();
            if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
            found.attributes = info.dwFileAttributes;
            existing = &found;
        }
    }
    for (unsigned attempt = 0; !out; ++attempt) {
        written = TempPathBeside(to, attempt);
        out.reset(createNew(written));
        DWORD code = out ? 0 : GetLastError();
        if (code && (code != ERROR_FILE_EXISTS || attempt + 1 >= TEMP_NAME_TRIES)) return code;
    }

    DWORD code = CopyData(in.get(), out.get(), s, buffer);
    HANDLE done = out.release();
    if (!CloseHandle(done) && !code) code = GetLastError();
    if (!code && existing) code = ReplaceTargetFile(written, to, *existing);
    if (code) {
        DeleteFileW(written.c_str());
        return code;
    }
    if (s.attributes & FILE_ATTRIBUTE_READONLY) {
        DWORD finalAttributes = s.attributes & COPIED_FILE_ATTRIBUTES;
        if (!SetFileAttributesW(to.c_str(), finalAttributes)) return GetLastError();
    }
    return 0;
}

bool RefusesAllLinks(DWORD code)
{
    return code == ERROR_NOT_SAME_DEVICE || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED;
}

DWORD LinkOneFile(const std::wstring& from, const std::wstring& to, const Entry& reference, const Entry* existing)
{
    if (!existing) return CreateHardLinkW(to.c_str(), from.c_str(), nullptr) ? 0 : GetLastError();
    std::wstring temp;
    for (unsigned attempt = 0;; ++attempt) {
        temp = TempPathBeside(to, attempt);
        if (CreateHardLinkW(temp.c_str(), from.c_str(), nullptr)) break;
        DWORD code = GetLastError();
        if ((code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) || attempt + 1 >= TEMP_NAME_TRIES)
            return code;
    }
    DWORD code = ReplaceTargetFile(temp, to, *existing);
    // The new name shares the reference's attributes, read-only ones too; they stay its.
    if (code) RemoveTargetFile(temp, reference.attributes);
    return code;
}

DWORD RemoveTargetFile(const std::wstring& path, DWORD attributes)
{
    return EvenIfReadOnly(path, attributes, [&] { return DeleteFileW(path.c_str()) ? 0 : GetLastError(); });
}

DWORD RemoveTargetDirectory(const std::wstring& path, DWORD attributes)
{
    return EvenIfReadOnly(path, attributes, [&] { return RemoveDirectoryW(path.c_str()) ? 0 : GetLastError(); });
}

DWORD CreateDirectoryPath(const std::wstring& path, bool withParents)
{
    if (CreateDirectoryW(path.c_str(), nullptr)) return 0;
    DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS) {
        DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                   ? 0
                   : ERROR_ALREADY_EXISTS;
    }
    if (code != ERROR_PATH_NOT_FOUND || !withParents) return code;
    size_t cut = path.find_last_of(L'\\');
    // "\\?\C:\" or "\\?\UNC\server\share" is as far up as creation may go.
    if (cut == std::wstring::npos || cut <= 7) return code;
    DWORD parent = CreateDirectoryPath(path.substr(0, cut), true);
    if (parent) return parent;
    return CreateDirectoryW(path.c_str(), nullptr) ? 0 : GetLastError();
}
