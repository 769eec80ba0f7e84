// The tree walk: one pass per directory pair, both listed once, merged by name.
//
// Why it is shaped like this: under emulation layers and on network drives every file
// system call is costly, so the walk takes names, sizes, times and attributes from the
// two directory listings alone and opens a file only to copy it. A run over an unchanged
// tree therefore lists each directory pair and opens nothing (only a link in the source is
// opened, to learn what it leads to).
//
// Safety rules kept throughout:
// - nothing outside the target is ever removed: a link (reparse point) in the target is
//   removed as a link, never followed, and never written through;
// - a source directory that cannot be listed leaves its target counterpart untouched;
// - a link in the source is followed: the target gets a plain copy of what it leads to.
//   A directory link that leads back to a directory on the walk's own chain (a loop that
//   would never end), or lies too many links deep, is reported and counted as a failed
//   directory, and its target counterpart is left as it is.
#include "tools/robocopy/MirrorTool.h"

#include "base/ScopedWin.h"
#include "tools/robocopy/CallPool.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <optional>
#include <vector>

namespace {

// One buffer for all copies: large reads and writes keep the call count per byte low.
constexpr DWORD COPY_BUFFER_BYTES = 1u << 20;

// Attributes carried from a source file to its copy. Compression, encryption, sparseness
// and the like belong to the target volume, not to the data.
constexpr DWORD COPIED_FILE_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// Attributes that make two files the same beside their size and last-write time. A target
// file that differs in them is replaced like one whose data differs: it may be shared with
// another generation, so changing them in place would change that one too.
constexpr DWORD MATCHED_FILE_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// For directories only hidden and system: read-only on a directory means nothing to the
// shell's users but would, under some emulations, forbid creating files in it.
constexpr DWORD COPIED_DIR_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
struct Entry {
    std::wstring name;
    DWORD attributes = 0;
    uint64_t size = 0;
    FILETIME creation{};
    FILETIME access{};
    FILETIME write{};
};

// Hard links made at once. A link moves no data: it is a few calls to the file system,
// each spent mostly waiting for the answer (under emulation layers the more so), so a few
// in flight finish in a fraction of the time of the same made one after another. Copies
// stay on the walk's thread: on a hard disk, two copies at once make each other seek.
constexpr unsigned LINK_THREADS = 4;

// Links followed one inside another before the walk gives up on a branch: a backstop for
// loops that file identities cannot reveal (file systems without stable file indexes).
constexpr unsigned MAX_LINKS_FOLLOWED = 32;

// What two paths to the same directory share.
struct FileId {
    DWORD volume = 0;
    DWORD high = 0;
    DWORD low = 0;
};

// A source directory on the walk's chain, from the root down to the one at hand. Its
// identity is asked only when a link is met, so a tree without links costs nothing more.
struct ChainLevel {
    size_t sourceLength; // w.source cut to this length names the directory
    bool known;
    FileId id;
};

bool IsDir(const Entry& e) { return (e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool IsLink(const Entry& e) { return (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsPlainDir(const Entry& e) { return IsDir(e) && !IsLink(e); }
bool IsPlainFile(const Entry& e) { return !IsDir(e) && !IsLink(e); }

bool SameTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Whether a copy of b need not be written again over a: same size, last-write time and
// attributes.
bool SameFile(const Entry& a, const Entry& b)
{
    return a.size == b.size && SameTime(a.write, b.write) &&
           (a.attributes & MATCHED_FILE_ATTRIBUTES) == (b.attributes & MATCHED_FILE_ATTRIBUTES);
}

// Names are compared as the file system compares them: ordinal, ignoring case.
int CompareNames(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) - CSTR_EQUAL;
}

// Entry from a listing record.
Entry EntryOf(const WIN32_FIND_DATAW& found)
{
    Entry e;
    e.name = found.cFileName;
    e.attributes = found.dwFileAttributes;
    e.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    e.creation = found.ftCreationTime;
    e.access = found.ftLastAccessTime;
    e.write = found.ftLastWriteTime;
    return e;
}

// Entry of one path, without its name; false when it does not exist or cannot be asked.
bool EntryOfPath(const std::wstring& path, Entry* e)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    e->attributes = data.dwFileAttributes;
    e->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    e->creation = data.ftCreationTime;
    e->access = data.ftLastAccessTime;
    e->write = data.ftLastWriteTime;
    return true;
}

// The entries of a directory (long form), "." and ".." left out, sorted by name.
// False, with the reason in *error, when the directory cannot be listed completely: a
// partial listing must never be taken for the whole, or purging would remove too much.
bool ListDirectory(const std::wstring& dir, std::vector<Entry>* entries, DWORD* error)
{
    entries->clear();
    std::wstring pattern = dir + (dir.back() == L'\\' ? L"*" : L"\\*");
    WIN32_FIND_DATAW found;
    UniqueFindHandle listing(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                              FindExSearchNameMatch, nullptr,
                                              FIND_FIRST_EX_LARGE_FETCH));
    if (!listing) {
        DWORD code = GetLastError();
        // A drive's root has no "." entry, so an empty root reports "not found".
        DWORD attributes = GetFileAttributesW(dir.c_str());
        if (code == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return true;
        *error = code;
        return false;
    }
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        entries->push_back(EntryOf(found));
    } while (FindNextFileW(listing.get(), &found));
    DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES) {
        *error = code;
        return false;
    }
    std::sort(entries->begin(), entries->end(),
              [](const Entry& a, const Entry& b) { return CompareNames(a.name, b.name) < 0; });
    return true;
}

// What path leads to, links followed: its identity, size, times and attributes.
DWORD FollowedInfo(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info)
{
    // Attribute access only: it is granted even while another process holds the file
    // open without sharing.
    UniqueHandle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return GetLastError();
    return GetFileInformationByHandle(h.get(), info) ? 0 : GetLastError();
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info)
{
    return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

bool SameId(const FileId& a, const FileId& b)
{
    return a.volume == b.volume && a.high == b.high && a.low == b.low;
}

// A link's entry takes the size, times and attributes of what it leads to: the listing
// shows the link's own, which would never match the copy.
void TakeFollowed(const BY_HANDLE_FILE_INFORMATION& info, Entry* e)
{
    e->attributes = info.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT;
    e->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    e->creation = info.ftCreationTime;
    e->access = info.ftLastAccessTime;
    e->write = info.ftLastWriteTime;
}

// Errors that waiting cannot mend: no retries for them.
bool IsRetryable(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_DIR_NOT_EMPTY:
        return false;
    default:
        return true;
    }
}

struct PendingLink;

// A directory whose merge is over, with what is still to be done for it (Walk::pending).
struct PendingDirectory {
    std::wstring source; // the directory pair the links and times belong to
    std::wstring target;
    std::vector<std::unique_ptr<PendingLink>> links; // in the order of the listing
    // Set once its subdirectories are done too: its times and attributes follow the links.
    bool done = false;
    Entry sourceEntry;
    std::optional<Entry> targetEntry;
    bool changed = false;
    bool created = false;
};

struct Walk {
    const ToolOptions* options = nullptr;
    MirrorStats* stats = nullptr;
    std::wstring source; // long form of the entry at hand in the source tree
    std::wstring target; // the same in the target tree
    size_t sourceRootLength = 0;
    size_t targetRootLength = 0;
    void* buffer = nullptr;
    std::vector<ChainLevel> chain;
    unsigned linksFollowed = 0; // directory links on the chain
    std::wstring resolvedTarget; // the target root, links resolved (ResolvedPath)
    std::wstring reference;      // long form of the link reference's root; empty when none
    bool linksRefused = false;   // the volume said no to links: no more attempts this run
    // The reference's listing of the directory at hand: taken with the source's when the
    // target directory is new (each of its files is written), otherwise when its first file
    // needs writing. One listing serves the directory, and it costs one call where asking
    // per file costs one per file.
    std::vector<Entry> referenceEntries;
    bool referenceListed = false;
    CallPool* linkPool = nullptr;
    // What is still to be done for the directory whose merge ended last: its links, being
    // made on the pool's threads, and (once its subdirectories are done) its times. It is
    // finished (FinishPending) as soon as the next directory's source has been listed, and
    // before anything else is reported or written, so the links are made while the walk
    // reads on, and the report keeps its order.
    PendingDirectory pending;
};

// Appends a name to a path; returns the length to cut back to.
size_t PushName(std::wstring* path, const std::wstring& name)
{
    size_t length = path->size();
    if (path->back() != L'\\') path->push_back(L'\\');
    path->append(name);
    return length;
}

// The path below its tree's root, as the report shows it ("" for the root).
std::wstring RelativeOf(const std::wstring& path, size_t rootLength)
{
    if (path.size() <= rootLength) return std::wstring();
    size_t from = path[rootLength] == L'\\' ? rootLength + 1 : rootLength;
    return path.substr(from);
}

std::wstring SourceRelative(const Walk& w) { return RelativeOf(w.source, w.sourceRootLength); }
std::wstring TargetRelative(const Walk& w) { return RelativeOf(w.target, w.targetRootLength); }

void FileLine(const wchar_t* label, uint64_t size, const std::wstring& relative)
{
    ReportLine(FormatText(L"  %-12ls %15llu  ", label, static_cast<unsigned long long>(size)) + relative);
}

void DirLine(const wchar_t* label, const std::wstring& relative)
{
    ReportLine(FormatText(L"  %-12ls %15ls  ", label, L"") + relative + L"\\");
}

// Runs attempt until it succeeds, fails for good, or the retries are spent. Every failure
// is reported; the last one is the caller's to count. Returns 0 or the last error.
template <typename Attempt>
DWORD WithRetries(const Walk& w, const wchar_t* what, const std::wstring& shown, Attempt attempt)
{
    for (unsigned tries = 0;; ++tries) {
        DWORD code = attempt();
        if (code == 0) return 0;
        ReportError(code, what, shown);
        if (!IsRetryable(code) || tries >= w.options->retries) return code;
        ReportLine(FormatText(L"Waiting %u seconds... Retrying...", w.options->waitSeconds));
        ReportFlush();
        Sleep(w.options->waitSeconds * 1000);
    }
}

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

// Names tried for the copy that replaces an existing target file. The copy lives only
// inside CopyOneFile: it is renamed over the target or removed before the walk goes on,
// and CREATE_NEW never takes over an entry that is already there.
constexpr unsigned TEMP_NAME_TRIES = 100;

std::wstring TempPathBeside(const std::wstring& to, unsigned attempt)
{
    std::wstring path = to.substr(0, to.find_last_of(L'\\') + 1);
    return path + FormatText(L"~kestova-%08lx-%u.tmp", static_cast<unsigned long>(GetCurrentProcessId()), attempt);
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

// Puts the finished copy temp in the place of the target file to. The target is replaced
// by a rename, never opened for writing: it may be a hard link to a file elsewhere (in
// another backup slot, or outside the target), and that file must keep its data and
// attributes.
DWORD ReplaceTargetFile(const std::wstring& temp, const std::wstring& to, const Entry& existing)
{
    return EvenIfReadOnly(to, existing.attributes, [&] {
        return MoveFileExW(temp.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : GetLastError();
    });
}

// Copies the contents of from to the target path to, then the times and the attributes
// of s. existing is the target file's entry when one is there (or turns out to be): the
// copy is then written to a new file beside it and renamed over it once complete, so a
// failed copy leaves the old one as it was. On failure the new file is removed: a half
// file must not look like a backup to anyone who opens it.
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

// Copies the source file s (w.source) over the target path (w.target). existing is the
// target file's entry when one is there.
void CopyFileEntry(Walk& w, const Entry& s, const Entry* existing, const wchar_t* label)
{
    FileLine(label, s.size, SourceRelative(w));
    DWORD code = WithRetries(w, L"Copying file", SourceRelative(w),
                             [&] { return CopyOneFile(w.source, w.target, s, existing, w.buffer); });
    if (code == 0) {
        w.stats->files.copied++;
        w.stats->bytes.copied += s.size;
    } else {
        w.stats->files.failed++;
        w.stats->bytes.failed += s.size;
    }
}

// Errors that say the target's volume makes no hard links to the reference's files at all
// (another volume, a file system without links): the rest of the run copies.
bool RefusesAllLinks(DWORD code)
{
    return code == ERROR_NOT_SAME_DEVICE || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED;
}

// Makes the target path to a hard link to the reference's file from. existing is the
// target file's entry when one is there: the link is then made under a new name beside it
// and renamed over it, as a copy would be, so the old file is never changed. 0 or the error.
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
    if (code) EvenIfReadOnly(temp, reference.attributes, [&] { return DeleteFileW(temp.c_str()) ? 0 : GetLastError(); });
    return code;
}

// Lists the reference's directory dir as the one of the directory at hand.
void ListReference(Walk& w, const std::wstring& dir)
{
    w.referenceListed = true;
    DWORD code = 0;
    // A directory the reference lacks, or cannot list, links nothing.
    if (!ListDirectory(dir, &w.referenceEntries, &code)) w.referenceEntries.clear();
}

// The reference's entry of the file at path (the counterpart of w.target), or null.
const Entry* ReferenceEntry(Walk& w, const std::wstring& path)
{
    size_t cut = path.find_last_of(L'\\');
    if (!w.referenceListed) ListReference(w, path.substr(0, cut));
    std::wstring name = path.substr(cut + 1);
    auto found = std::lower_bound(w.referenceEntries.begin(), w.referenceEntries.end(), name,
                                  [](const Entry& e, const std::wstring& n) { return CompareNames(e.name, n) < 0; });
    return found != w.referenceEntries.end() && CompareNames(found->name, name) == 0 ? &*found : nullptr;
}

// A hard link queued on the link pool: made there, judged on the walk's thread.
struct PendingLink {
    std::wstring from;            // the reference's file
    std::wstring to;              // the target path
    std::wstring sourceName;      // the names in the directory pair at hand
    std::wstring targetName;
    Entry source;                 // the source file, for the report and a fallback copy
    Entry reference;              // the reference's file
    std::optional<Entry> existing; // the target file it replaces, if any
    const wchar_t* label = nullptr; // the copy's report label, should the link fail
    DWORD result = ERROR_IO_PENDING; // written on the pool's thread; read after WaitIdle
};

void MakePendingLink(void* context)
{
    PendingLink& link = *static_cast<PendingLink*>(context);
    link.result = LinkOneFile(link.from, link.to, link.reference, link.existing ? &*link.existing : nullptr);
}

// Puts the source file s (w.source) into the target (w.target): as a hard link to the link
// reference's file of the same relative path when that one is the same as s, otherwise,
// or when no link can be made, as a copy. existing is the target file's entry when one is
// there. A link is queued (SettleLinks reports it, or copies where it failed); a copy is
// made at once.
void WriteFileEntry(Walk& w, const Entry& s, const Entry* existing, const wchar_t* label)
{
    if (!w.reference.empty() && !w.linksRefused) {
        std::wstring from = w.reference;
        PushName(&from, TargetRelative(w));
        const Entry* r = ReferenceEntry(w, from);
        if (r && IsPlainFile(*r) && SameFile(*r, s)) {
            auto link = std::make_unique<PendingLink>();
            link->from = std::move(from);
            link->to = w.target;
            link->sourceName = w.source.substr(w.source.find_last_of(L'\\') + 1);
            link->targetName = w.target.substr(w.target.find_last_of(L'\\') + 1);
            link->source = s;
            link->reference = *r;
            if (existing) link->existing = *existing;
            link->label = label;
            w.pending.links.push_back(std::move(link));
            w.linkPool->Add(MakePendingLink, w.pending.links.back().get());
            return;
        }
    }
    CopyFileEntry(w, s, existing, label);
}

// Waits for the queued links of the directory pair at hand (w.source / w.target) and
// settles them in the order they were queued: a made link is reported and counted; where
// none could be made, the file is copied instead.
void SettleLinks(Walk& w)
{
    if (w.pending.links.empty()) return;
    w.linkPool->WaitIdle();
    for (const std::unique_ptr<PendingLink>& link : w.pending.links) {
        size_t sourceCut = PushName(&w.source, link->sourceName);
        size_t targetCut = PushName(&w.target, link->targetName);
        if (link->result == 0) {
            FileLine(L"Linked", link->source.size, SourceRelative(w));
            w.stats->linkedFiles++;
            w.stats->linkedBytes += link->source.size;
        } else {
            if (RefusesAllLinks(link->result)) w.linksRefused = true;
            CopyFileEntry(w, link->source, link->existing ? &*link->existing : nullptr, link->label);
        }
        w.source.resize(sourceCut);
        w.target.resize(targetCut);
    }
    w.pending.links.clear();
}

// Removes the target entry e (at w.target): a file, a link, or a whole directory tree.
// A link is removed as a link; what it points to is never touched. True when it is gone.
bool RemoveEntry(Walk& w, const Entry& e)
{
    const std::wstring& path = w.target;
    if (IsPlainDir(e)) {
        std::vector<Entry> children;
        DWORD code = 0;
        if (!ListDirectory(path, &children, &code)) {
            ReportError(code, L"Listing extra directory", TargetRelative(w));
            w.stats->dirs.failed++;
            return false;
        }
        bool emptied = true;
        for (const Entry& child : children) {
            size_t cut = PushName(&w.target, child.name);
            emptied = RemoveEntry(w, child) && emptied;
            w.target.resize(cut);
        }
        if (!emptied) {
            w.stats->dirs.failed++;
            return false;
        }
    }
    if (IsDir(e)) {
        DirLine(L"*EXTRA Dir", TargetRelative(w));
        DWORD code = WithRetries(w, L"Removing extra directory", TargetRelative(w), [&] {
            return EvenIfReadOnly(path, e.attributes,
                                  [&] { return RemoveDirectoryW(path.c_str()) ? 0 : GetLastError(); });
        });
        if (code) {
            w.stats->dirs.failed++;
            return false;
        }
        w.stats->dirs.extras++;
        return true;
    }
    FileLine(L"*EXTRA File", e.size, TargetRelative(w));
    DWORD code = WithRetries(w, L"Removing extra file", TargetRelative(w), [&] {
        return EvenIfReadOnly(path, e.attributes, [&] { return DeleteFileW(path.c_str()) ? 0 : GetLastError(); });
    });
    if (code) {
        w.stats->files.failed++;
        w.stats->bytes.failed += e.size;
        return false;
    }
    w.stats->files.extras++;
    w.stats->bytes.extras += e.size;
    return true;
}

// An entry only the target has (at w.target). Removed when purging, else only counted.
// Returns whether the target directory changed.
bool HandleExtra(Walk& w, const Entry& e)
{
    if (IsDir(e) && !w.options->subdirectories) return false; // outside what this run covers
    if (w.options->purge) {
        RemoveEntry(w, e);
        return true;
    }
    if (IsDir(e)) {
        DirLine(L"*EXTRA Dir", TargetRelative(w));
        w.stats->dirs.extras++;
    } else {
        FileLine(L"*EXTRA File", e.size, TargetRelative(w));
        w.stats->files.extras++;
        w.stats->bytes.extras += e.size;
    }
    return false;
}

// Creates a directory, with its missing parents when withParents is set.
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

// Gives the target directory the source directory's times and attributes.
void ApplyDirectoryInfo(const Walk& w, const Entry& s, const Entry* t)
{
    DWORD want = s.attributes & COPIED_DIR_ATTRIBUTES;
    DWORD have = t ? (t->attributes & COPIED_DIR_ATTRIBUTES) : 0;
    if (want != have && !SetFileAttributesW(w.target.c_str(), want ? want : FILE_ATTRIBUTE_NORMAL))
        ReportError(GetLastError(), L"Setting attributes of directory", TargetRelative(w));
    UniqueHandle dir(CreateFileW(w.target.c_str(), FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!dir || !SetFileTime(dir.get(), &s.creation, &s.access, &s.write))
        ReportError(GetLastError(), L"Setting times of directory", TargetRelative(w));
}

// The source directory link at w.source, whose entry is *e: followed unless it leads to a
// directory on the walk's chain or lies too many links deep. When followed, *e takes the
// directory it leads to; otherwise it is reported and counted as a failed directory.
bool FollowDirectoryLink(Walk& w, Entry* e)
{
    const wchar_t* what = L"Following directory link";
    BY_HANDLE_FILE_INFORMATION info;
    DWORD code = FollowedInfo(w.source, &info);
    if (!code && w.linksFollowed >= MAX_LINKS_FOLLOWED) {
        code = ERROR_CANT_RESOLVE_FILENAME;
        what = L"Following directory link (too many links deep)";
    }
    for (size_t k = 0; !code && k < w.chain.size(); ++k) {
        ChainLevel& level = w.chain[k];
        if (!level.known) {
            BY_HANDLE_FILE_INFORMATION up;
            code = FollowedInfo(w.source.substr(0, level.sourceLength), &up);
            if (code) break;
            level.id = IdOf(up);
            level.known = true;
        }
        if (SameId(level.id, IdOf(info))) {
            code = ERROR_CANT_RESOLVE_FILENAME;
            what = L"Following directory link (it leads back into its own path)";
        }
    }
    if (code) {
        ReportError(code, what, SourceRelative(w));
        w.stats->dirs.total++;
        w.stats->dirs.failed++;
        return false;
    }
    TakeFollowed(info, e);
    return true;
}

// Whether the source directory link at w.source leads to the target, into it, or to a
// directory that holds it. Followed, such a link would copy the target into itself, level
// after level, until the path limit or the disk is reached. Compared as resolved paths,
// like the check of the two roots before the run.
bool LeadsIntoTarget(const Walk& w)
{
    std::wstring resolved = ResolvedPath(w.source);
    return IsSameOrInside(resolved, w.resolvedTarget) || IsSameOrInside(w.resolvedTarget, resolved);
}

// The source file link at path: *e takes the size, times and attributes of the file it
// leads to. 0 or the error.
DWORD FollowFileLink(const std::wstring& path, Entry* e)
{
    BY_HANDLE_FILE_INFORMATION info;
    DWORD code = FollowedInfo(path, &info);
    if (!code) TakeFollowed(info, e);
    return code;
}

struct SubDir {
    size_t sourceIndex;
    size_t targetIndex; // NO_ENTRY: the target has none (yet)
    bool viaLink;       // the source directory is a followed link
};
constexpr size_t NO_ENTRY = static_cast<size_t>(-1);

// Keeps w.chain in step with the recursion, on every way out of MirrorDirectory.
class ChainStep {
public:
    explicit ChainStep(Walk& w) : w_(w) { w_.chain.push_back({w_.source.size(), false, {}}); }
    ~ChainStep() { w_.chain.pop_back(); }
    ChainStep(const ChainStep&) = delete;
    ChainStep& operator=(const ChainStep&) = delete;

private:
    Walk& w_;
};

// The per-file step: the source file src (at w.source) against the target's entry of the
// same name, dst (at w.target), or null when the target has none. Returns whether the
// target directory changed.
bool MirrorFile(Walk& w, Entry& src, const Entry* dst)
{
    MirrorStats& stats = *w.stats;
    if (IsLink(src)) {
        DWORD code = FollowFileLink(w.source, &src);
        if (code) {
            // A file link that leads nowhere: its target counterpart stays as it is.
            ReportError(code, L"Following file link", SourceRelative(w));
            stats.files.total++;
            stats.files.failed++;
            return false;
        }
    }
    stats.files.total++;
    stats.bytes.total += src.size;
    if (!dst) {
        WriteFileEntry(w, src, nullptr, L"New File");
        return true;
    }
    if (IsPlainFile(*dst)) {
        if (SameFile(*dst, src)) {
            stats.files.skipped++;
            stats.bytes.skipped += src.size;
            return false;
        }
        LONG newer = CompareFileTime(&src.write, &dst->write);
        const wchar_t* label = newer > 0 ? L"Newer" : newer < 0 ? L"Older" : L"Changed";
        WriteFileEntry(w, src, dst, label);
        return true;
    }
    FileLine(L"*MISMATCH", src.size, SourceRelative(w));
    if (!w.options->purge) {
        stats.files.mismatch++;
        stats.bytes.mismatch += src.size;
        return false;
    }
    // A directory or a link where the source has a file: it makes way. Never written
    // through: a link could lead outside the target.
    if (!RemoveEntry(w, *dst)) {
        stats.files.failed++;
        stats.bytes.failed += src.size;
        return true;
    }
    // The new file takes the source's spelling of the name.
    w.target.resize(w.target.size() - dst->name.size());
    w.target += src.name;
    WriteFileEntry(w, src, nullptr, L"New File");
    return true;
}

// The per-folder step of the merge: the source directory src (at w.source) against the
// target's entry of the same name, dst (at w.target) or null. A pair to descend into is
// recorded in *subdirs, for after the files; the rest is settled here. Returns whether
// the target directory changed.
bool MirrorSubdirectory(Walk& w, Entry& src, size_t sourceIndex, const Entry* dst, size_t targetIndex,
                        std::vector<SubDir>* subdirs)
{
    MirrorStats& stats = *w.stats;
    // Outside what this run covers; a file of that name in the target stays too.
    if (!w.options->subdirectories) return false;
    bool viaLink = IsLink(src);
    if (viaLink && LeadsIntoTarget(w)) {
        // Never part of the history: what the target has under that name is an extra.
        DirLine(L"*EXCLUDED", SourceRelative(w));
        ReportLine(L"        (a link to the target, into it, or to a directory that holds it)");
        return dst && HandleExtra(w, *dst);
    }
    // Reported and counted; the target's counterpart stays as it is.
    if (viaLink && !FollowDirectoryLink(w, &src)) return false;
    if (!dst || IsPlainDir(*dst)) {
        subdirs->push_back({sourceIndex, dst ? targetIndex : NO_ENTRY, viaLink});
        return false;
    }
    DirLine(L"*MISMATCH", SourceRelative(w));
    if (!w.options->purge) {
        stats.dirs.total++;
        stats.dirs.mismatch++;
        return false;
    }
    // A file or a link where the source has a directory: it makes way.
    if (RemoveEntry(w, *dst)) {
        subdirs->push_back({sourceIndex, NO_ENTRY, viaLink});
    } else {
        stats.dirs.total++;
        stats.dirs.failed++;
    }
    return true;
}

// The last steps for the directory pair w.source / w.target once its entries and its
// subdirectories are done: s and t are its entries from the listings (t null when the
// target directory did not exist), changed tells that its entries changed, created that
// the walk created it. Changing a directory's entries moves its last-write time, so the
// source's times are put back after the entries are done; an untouched directory with the
// right times is left alone.
void FinishDirectory(Walk& w, const Entry& s, const Entry* t, bool changed, bool created)
{
    if (changed || !t || !SameTime(t->write, s.write) ||
        (t->attributes & COPIED_DIR_ATTRIBUTES) != (s.attributes & COPIED_DIR_ATTRIBUTES))
        ApplyDirectoryInfo(w, s, t);
    if (created) w.stats->dirs.copied++;
    else w.stats->dirs.skipped++;
}

// Does what is left for the directory whose merge ended last (Walk::pending): settles its
// links and, once its subdirectories are done, finishes it. Called before the walk reports
// or writes anything else.
void FinishPending(Walk& w)
{
    PendingDirectory& p = w.pending;
    if (p.links.empty() && !p.done) return;
    std::swap(w.source, p.source);
    std::swap(w.target, p.target);
    SettleLinks(w);
    if (p.done) FinishDirectory(w, p.sourceEntry, p.targetEntry ? &*p.targetEntry : nullptr, p.changed, p.created);
    std::swap(w.source, p.source);
    std::swap(w.target, p.target);
    p = PendingDirectory{};
}

bool HasPlainFile(const std::vector<Entry>& entries)
{
    return std::any_of(entries.begin(), entries.end(), [](const Entry& e) { return IsPlainFile(e); });
}

// Lists the source directory w.source and, when t says the target directory exists, the
// target directory w.target; creates the target directory when it does not. False, with
// the failure reported and counted, when the pair cannot be mirrored. *created tells that
// the target directory is new (and so known to be empty).
//
// The directory before it is finished (FinishPending) once the source is listed, and with
// it the reference when a link reference is given and the target directory is new (so
// each file will be written): those listings are made while that directory's links are.
bool OpenDirectoryPair(Walk& w, const Entry* t, bool isRoot, std::vector<Entry>* sources,
                       std::vector<Entry>* targets, bool* created)
{
    std::wstring shown = isRoot ? w.options->target : SourceRelative(w);
    DWORD code = 0;
    // The source is listed before anything is created, so a source directory that cannot be
    // read leaves no trace in the target.
    bool listed = ListDirectory(w.source, sources, &code);
    w.referenceListed = false;
    if (listed && !t && !w.reference.empty() && !w.linksRefused && HasPlainFile(*sources)) {
        std::wstring dir = w.reference;
        if (!isRoot) PushName(&dir, TargetRelative(w));
        ListReference(w, dir);
    }
    FinishPending(w);
    if (!listed) {
        ReportError(code, L"Listing source directory", isRoot ? w.options->source : shown);
        w.stats->dirs.failed++;
        return false;
    }
    *created = false;
    if (t) {
        if (ListDirectory(w.target, targets, &code)) return true;
        ReportError(code, L"Listing target directory", shown);
        w.stats->dirs.failed++;
        return false;
    }
    if (!isRoot) DirLine(L"New Dir", shown);
    code = CreateDirectoryPath(w.target, isRoot);
    if (code) {
        ReportError(code, L"Creating directory", shown);
        w.stats->dirs.failed++;
        return false;
    }
    *created = true;
    return true;
}

// The per-folder step: mirrors the directory pair w.source / w.target. s is the source
// directory's entry; t the target directory's, or null when the target directory does not
// exist. The two listings are merged by name; files are settled during the merge, and the
// subdirectories after it, so that a directory's own entries are done before the walk
// goes deeper.
void MirrorDirectory(Walk& w, const Entry& s, const Entry* t, bool isRoot)
{
    w.stats->dirs.total++;
    ChainStep step(w);
    std::vector<Entry> sources;
    std::vector<Entry> targets;
    bool created = false;
    if (!OpenDirectoryPair(w, t, isRoot, &sources, &targets, &created)) return;

    bool changed = created;
    std::vector<SubDir> subdirs;
    // Nothing is pending here (OpenDirectoryPair finished it): links queued by the merge
    // are this directory's.
    w.pending.source = w.source;
    w.pending.target = w.target;
    size_t i = 0, j = 0;
    while (i < sources.size() || j < targets.size()) {
        int order = i == sources.size() ? 1 : j == targets.size() ? -1
                                                                  : CompareNames(sources[i].name, targets[j].name);
        size_t sourceCut = w.source.size();
        size_t targetCut = w.target.size();
        if (order > 0) {
            PushName(&w.target, targets[j].name);
            changed = HandleExtra(w, targets[j]) || changed;
        } else {
            Entry& src = sources[i];
            const Entry* dst = order == 0 ? &targets[j] : nullptr;
            PushName(&w.source, src.name);
            PushName(&w.target, dst ? dst->name : src.name);
            bool dirChanged = IsDir(src) ? MirrorSubdirectory(w, src, i, dst, j, &subdirs) : MirrorFile(w, src, dst);
            changed = dirChanged || changed;
        }
        if (order >= 0) ++j;
        if (order <= 0) ++i;
        w.source.resize(sourceCut);
        w.target.resize(targetCut);
    }

    // The links are settled when the first subdirectory's source is listed, or with this
    // directory's times when it has none.
    for (const SubDir& sub : subdirs) {
        const Entry& src = sources[sub.sourceIndex];
        const Entry* dst = sub.targetIndex == NO_ENTRY ? nullptr : &targets[sub.targetIndex];
        size_t sourceCut = PushName(&w.source, src.name);
        size_t targetCut = PushName(&w.target, dst ? dst->name : src.name);
        if (!dst) changed = true;
        w.linksFollowed += sub.viaLink ? 1 : 0;
        MirrorDirectory(w, src, dst, false);
        w.linksFollowed -= sub.viaLink ? 1 : 0;
        w.source.resize(sourceCut);
        w.target.resize(targetCut);
    }

    // The last subdirectory's finishing comes first. Then this directory's own waits, with
    // its links when it has no subdirectories, for the next listing.
    if (w.pending.done) FinishPending(w);
    PendingDirectory& p = w.pending;
    p.source = w.source;
    p.target = w.target;
    p.done = true;
    p.sourceEntry = s;
    if (t) p.targetEntry = *t;
    p.changed = changed;
    p.created = created;
}

} // namespace

void MirrorTree(const ToolOptions& options, MirrorStats* stats)
{
    Walk w;
    w.options = &options;
    w.stats = stats;
    w.source = LongPathOf(options.source);
    w.target = LongPathOf(options.target);
    w.sourceRootLength = w.source.size();
    w.targetRootLength = w.target.size();
    w.resolvedTarget = ResolvedPath(options.target);
    std::unique_ptr<CallPool> linkPool;
    if (!options.linkReference.empty()) {
        w.reference = LongPathOf(options.linkReference);
        linkPool = std::make_unique<CallPool>(LINK_THREADS);
        w.linkPool = linkPool.get();
    }
    w.buffer = VirtualAlloc(nullptr, COPY_BUFFER_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!w.buffer) {
        ReportError(GetLastError(), L"Allocating the copy buffer", L"");
        stats->dirs.failed++;
        return;
    }
    Entry sourceRoot;
    Entry targetRoot;
    if (!EntryOfPath(w.source, &sourceRoot)) {
        ReportError(GetLastError(), L"Accessing source directory", options.source);
        stats->dirs.failed++;
    } else {
        bool targetExists = EntryOfPath(w.target, &targetRoot);
        MirrorDirectory(w, sourceRoot, targetExists ? &targetRoot : nullptr, true);
        FinishPending(w);
    }
    VirtualFree(w.buffer, 0, MEM_RELEASE);
}
