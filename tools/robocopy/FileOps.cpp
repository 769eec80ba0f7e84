// The file operations that keep other links intact: new files under temporary names,
// replacing by rename, hard links, removals, the read-only bit, and directories.
#include "tools/robocopy/FileOps.h"

#include "base/FileCalls.h"
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
    return Files().setFileTime(out, &s.creation, &s.access, &s.write) ? 0 : GetLastError();
}

DWORD LastError(BOOL ok) { return ok ? 0 : GetLastError(); }

// Removes the name path of a read-only file (or file link) through a handle of its own:
// the bit is lifted on that handle, the name is marked for deletion on it, and the bit is
// put back before the handle closes. Attributes belong to the file, not to one name, so a
// file that lives on under another name (another generation's link, made by an earlier
// version of the tool) keeps it. The name goes when the handle closes. Nothing is done to
// the path while the handle is open: Windows refuses a delete or a rename of a path that
// some handle holds, but deleting through the handle itself (FileDispositionInfo) is the
// documented way.
DWORD DeleteReadOnlyName(const std::wstring& path)
{
    FileHandle held(Files().createFile(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
    if (!held) return GetLastError();
    FILE_BASIC_INFO kept;
    if (!GetFileInformationByHandleEx(held.get(), FileBasicInfo, &kept, sizeof kept)) return GetLastError();
    FILE_BASIC_INFO lifted{}; // zero times: left as they are
    lifted.FileAttributes = kept.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (lifted.FileAttributes == 0) lifted.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(held.get(), FileBasicInfo, &lifted, sizeof lifted)) return GetLastError();
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    DWORD code = LastError(SetFileInformationByHandle(held.get(), FileDispositionInfo, &disposition,
                                                      sizeof disposition));
    FILE_BASIC_INFO restored{};
    restored.FileAttributes = kept.FileAttributes;
    SetFileInformationByHandle(held.get(), FileBasicInfo, &restored, sizeof restored);
    if (!held.close() && !code) code = GetLastError();
    return code;
}

// Removes the file name path, read-only or not. 0 or the error.
DWORD DeleteName(const std::wstring& path, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_READONLY) return DeleteReadOnlyName(path);
    DWORD code = LastError(Files().deleteFile(path.c_str()));
    if (code != ERROR_ACCESS_DENIED) return code;
    // The listing may be older than the bit.
    DWORD now = AttributesOf(path);
    return now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_READONLY) ? DeleteReadOnlyName(path) : code;
}

} // namespace

std::wstring TempPathBeside(const std::wstring& to, unsigned attempt)
{
    std::wstring path = to.substr(0, to.find_last_of(L'\\') + 1);
    return path + FormatText(L"~kestova-%08lx-%u.tmp", static_cast<unsigned long>(GetCurrentProcessId()), attempt);
}

// A read-only target cannot be renamed over (Windows refuses to replace a read-only
// file), and lifting its bit would change the file under its other names too. So the old
// name is renamed aside (a rename of a read-only file is allowed), the new file is moved
// into the freed name, and the aside name is removed through its own handle.
DWORD ReplaceTargetFile(const std::wstring& temp, const std::wstring& to, const Entry& existing)
{
    DWORD code = LastError(Files().moveFileEx(temp.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
    if (code != ERROR_ACCESS_DENIED) return code;
    DWORD attributes = AttributesOf(to);
    if (attributes == INVALID_FILE_ATTRIBUTES) attributes = existing.attributes;
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return code;
    std::wstring aside;
    for (unsigned attempt = 0;; ++attempt) {
        aside = TempPathBeside(to, attempt + TEMP_NAME_TRIES); // apart from the new file's names
        DWORD moved = LastError(Files().moveFileEx(to.c_str(), aside.c_str(), 0));
        if (!moved) break;
        // The old file cannot be moved either (someone holds it): the refusal stands.
        if ((moved != ERROR_ALREADY_EXISTS && moved != ERROR_FILE_EXISTS) || attempt + 1 >= TEMP_NAME_TRIES)
            return code;
    }
    code = LastError(Files().moveFileEx(temp.c_str(), to.c_str(), 0));
    if (code) {
        Files().moveFileEx(aside.c_str(), to.c_str(), 0);
        return code;
    }
    // The target holds the new file now; an aside name that cannot be removed is an extra
    // of the target's folder, which the next run removes.
    DeleteReadOnlyName(aside);
    return 0;
}

DWORD CopyOneFile(const std::wstring& from, const std::wstring& to, const Entry& s, const Entry* existing,
                  void* buffer)
{
    FileHandle in(Files().createFile(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) return GetLastError();
    // Read-only is set after the data is written; the other attributes go in at creation.
    DWORD createAttributes = s.attributes & COPIED_FILE_ATTRIBUTES & ~FILE_ATTRIBUTE_READONLY;
    if (createAttributes == 0) createAttributes = FILE_ATTRIBUTE_NORMAL;
    auto createNew = [&](const std::wstring& path) {
        return Files().createFile(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  createAttributes | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    };
    std::wstring written = to;
    FileHandle out;
    Entry found;
    if (!existing) {
        out.reset(createNew(to));
        if (!out) {
            DWORD code = GetLastError();
            if (code != ERROR_FILE_EXISTS) return code;
            // The listing showed no target by this name, yet the name reaches one. Either a
            // source name that differs from another only in letter case, paired with that
            // file already: it may be linked to another generation's file, so it is
            // replaced like any target, never written into. Or a short (8.3) name that
            // another file of the folder has: that file is not this one's to replace.
            if (!NameReachesItself(to, &found)) return ERROR_FILE_EXISTS;
            if (IsDir(found)) return ERROR_ACCESS_DENIED;
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
    if (!out.close() && !code) code = GetLastError();
    if (!code && existing) code = ReplaceTargetFile(written, to, *existing);
    if (code) {
        Files().deleteFile(written.c_str());
        return code;
    }
    if (s.attributes & FILE_ATTRIBUTE_READONLY) {
        DWORD finalAttributes = s.attributes & COPIED_FILE_ATTRIBUTES;
        if (!Files().setFileAttributes(to.c_str(), finalAttributes)) return GetLastError();
    }
    return 0;
}

bool RefusesAllLinks(DWORD code)
{
    return code == ERROR_NOT_SAME_DEVICE || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED;
}

DWORD LinkOneFile(const std::wstring& from, const std::wstring& to, const Entry& reference, const Entry* existing)
{
    if (!existing) return LastError(Files().createHardLink(to.c_str(), from.c_str(), nullptr));
    std::wstring temp;
    for (unsigned attempt = 0;; ++attempt) {
        temp = TempPathBeside(to, attempt);
        if (Files().createHardLink(temp.c_str(), from.c_str(), nullptr)) break;
        DWORD code = GetLastError();
        if ((code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) || attempt + 1 >= TEMP_NAME_TRIES)
            return code;
    }
    DWORD code = ReplaceTargetFile(temp, to, *existing);
    // The new name shares the reference's attributes; removing it leaves them the
    // reference's.
    if (code) DeleteName(temp, reference.attributes);
    return code;
}

DWORD RemoveTargetFile(const std::wstring& path, DWORD attributes, const std::wstring& asideDir)
{
    // A file that another program holds (an indexer, a virus scanner) is only marked for
    // deletion: its name stays until that program lets go, and with it the folder cannot
    // be removed nor the name made again. Microsoft's advice for a name that must be free
    // at once: rename the file away first, then delete it. It goes to the target's root,
    // where a name left pending is an extra the next run removes.
    std::wstring aside;
    DWORD moved = ERROR_ALREADY_EXISTS;
    for (unsigned attempt = 0; !asideDir.empty() && attempt < TEMP_NAME_TRIES; ++attempt) {
        aside = TempPathBeside(asideDir + L"\\x", attempt);
        moved = LastError(Files().moveFileEx(path.c_str(), aside.c_str(), 0));
        if (moved != ERROR_ALREADY_EXISTS && moved != ERROR_FILE_EXISTS) break;
    }
    if (moved) return DeleteName(path, attributes); // no rename: removed where it is
    DWORD code = DeleteName(aside, attributes);
    // A name that could not be removed goes back where it was, for the retry and the report.
    if (code) Files().moveFileEx(aside.c_str(), path.c_str(), 0);
    return code;
}

DWORD RemoveTargetDirectory(const std::wstring& path, DWORD attributes)
{
    DWORD code = LastError(Files().removeDirectory(path.c_str()));
    if (code != ERROR_ACCESS_DENIED || !(attributes & FILE_ATTRIBUTE_READONLY)) return code;
    // A directory's read-only bit is its own (a directory has no other links): lifted for
    // the removal, and put back when the directory stays.
    DWORD lifted = attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    if (!Files().setFileAttributes(path.c_str(), lifted ? lifted : FILE_ATTRIBUTE_NORMAL)) return code;
    code = LastError(Files().removeDirectory(path.c_str()));
    if (code) Files().setFileAttributes(path.c_str(), attributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    return code;
}

DWORD CreateDirectoryPath(const std::wstring& path, bool withParents)
{
    if (Files().createDirectory(path.c_str(), nullptr)) return 0;
    DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS) {
        DWORD attributes = AttributesOf(path);
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
    return LastError(Files().createDirectory(path.c_str(), nullptr));
}
