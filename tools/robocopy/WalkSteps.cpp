// The walk's steps on single entries: the report lines, retries, writing a file as a copy
// or a queued link, settling what the link queue hands back, and removing extras.
#include "tools/robocopy/Walk.h"

#include "base/FileCalls.h"
#include "base/ScopedWin.h"
#include "contracts/CopyToolReport.h"
#include "tools/robocopy/FileOps.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace {

// For directories only hidden and system: read-only on a directory means nothing to the
// shell's users but would, under some emulations, forbid creating files in it.
constexpr DWORD COPIED_DIR_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

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
        return false;
    // ERROR_DIR_NOT_EMPTY is waited for too: a folder whose last file another program
    // still holds keeps that name until the program lets go (an indexer, a virus scanner).
    default:
        return true;
    }
}

// The path below its tree's root, as the report shows it ("" for the root).
std::wstring RelativeOf(const std::wstring& path, size_t rootLength)
{
    if (path.size() <= rootLength) return std::wstring();
    size_t from = path[rootLength] == L'\\' ? rootLength + 1 : rootLength;
    return path.substr(from);
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

// Copies the source file s (w.source) over the target path (w.target). existing is the
// target file's entry when one is there.
void CopyFileEntry(Walk& w, const Entry& s, const Entry* existing, const wchar_t* label)
{
    FileLine(label, s.size, SourceRelative(w));
    DWORD code = WithRetries(w, REPORT_COPYING_FILE, SourceRelative(w),
                             [&] { return CopyOneFile(w.source, w.target, s, existing, w.buffer); });
    if (code == 0) {
        w.stats->files.copied++;
        w.stats->bytes.copied += s.size;
    } else {
        w.stats->files.failed++;
        w.stats->bytes.failed += s.size;
    }
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

// Gives the target directory the source directory's times and attributes.
void ApplyDirectoryInfo(const Walk& w, const Entry& s, const Entry* t)
{
    DWORD want = s.attributes & COPIED_DIR_ATTRIBUTES;
    DWORD have = t ? (t->attributes & COPIED_DIR_ATTRIBUTES) : 0;
    if (want != have && !Files().setFileAttributes(w.target.c_str(), want ? want : FILE_ATTRIBUTE_NORMAL))
        ReportError(GetLastError(), L"Setting attributes of directory", TargetRelative(w));
    FileHandle dir(Files().createFile(w.target.c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!dir || !Files().setFileTime(dir.get(), &s.creation, &s.access, &s.write))
        ReportError(GetLastError(), L"Setting times of directory", TargetRelative(w));
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

// Points the walk at a pending directory pair while it is finished, and back after: the
// report and a copy made in place of a link name that directory's entries.
class AtPending {
public:
    AtPending(Walk& w, PendingDirectory& p) : w_(w), p_(p) { Swap(); }
    ~AtPending() { Swap(); }
    AtPending(const AtPending&) = delete;
    AtPending& operator=(const AtPending&) = delete;

private:
    void Swap()
    {
        std::swap(w_.source, p_.source);
        std::swap(w_.target, p_.target);
    }
    Walk& w_;
    PendingDirectory& p_;
};

// A made link is reported and counted; where none could be made, the file is copied
// instead.
void SettleLink(void* walk, PendingDirectory& dir, const PendingLink& link)
{
    Walk& w = *static_cast<Walk*>(walk);
    AtPending at(w, dir);
    size_t sourceCut = PushName(&w.source, link.sourceName);
    size_t targetCut = PushName(&w.target, link.targetName);
    if (link.result == 0) {
        FileLine(L"Linked", link.source.size, SourceRelative(w));
        w.stats->linkedFiles++;
        w.stats->linkedBytes += link.source.size;
    } else {
        CopyFileEntry(w, link.source, link.existing ? &*link.existing : nullptr, link.label);
    }
    w.source.resize(sourceCut);
    w.target.resize(targetCut);
}

void FinishPendingDirectory(void* walk, PendingDirectory& dir)
{
    Walk& w = *static_cast<Walk*>(walk);
    AtPending at(w, dir);
    FinishDirectory(w, dir.sourceEntry, dir.targetEntry ? &*dir.targetEntry : nullptr, dir.changed, dir.created);
}

} // namespace

DWORD CreateTargetDirectory(const Walk& w, const std::wstring& shown, bool withParents)
{
    return WithRetries(w, L"Creating directory", shown, [&] { return CreateDirectoryPath(w.target, withParents); });
}

size_t PushName(std::wstring* path, const std::wstring& name)
{
    size_t length = path->size();
    if (path->back() != L'\\') path->push_back(L'\\');
    path->append(name);
    return length;
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

void ListReference(Walk& w, const std::wstring& dir)
{
    w.referenceListed = true;
    DWORD code = 0;
    // A directory the reference lacks, or cannot list, links nothing.
    if (!ListDirectory(dir, &w.referenceEntries, &code)) w.referenceEntries.clear();
}

void WriteFileEntry(Walk& w, const Entry& s, const Entry* existing, const wchar_t* label)
{
    if (!w.reference.empty() && !w.links.linksRefused) {
        std::wstring from = w.reference;
        PushName(&from, TargetRelative(w));
        const Entry* r = ReferenceEntry(w, from);
        // A read-only file is never linked: each one in the store then has one name, and
        // lifting its bit (to replace or remove it) touches no other generation.
        if (r && IsPlainFile(*r) && !(s.attributes & FILE_ATTRIBUTE_READONLY) && SameFile(*r, s, w.writeTimeStep)) {
            auto link = std::make_unique<PendingLink>();
            link->from = std::move(from);
            link->to = w.target;
            link->sourceName = w.source.substr(w.source.find_last_of(L'\\') + 1);
            link->targetName = w.target.substr(w.target.find_last_of(L'\\') + 1);
            link->source = s;
            link->reference = *r;
            if (existing) link->existing = *existing;
            link->label = label;
            QueueLink(&w.links, std::move(link));
            return;
        }
    }
    CopyFileEntry(w, s, existing, label);
}

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
        DWORD code = WithRetries(w, L"Removing extra directory", TargetRelative(w),
                                 [&] { return RemoveTargetDirectory(path, e.attributes); });
        if (code) {
            w.stats->dirs.failed++;
            return false;
        }
        w.stats->dirs.extras++;
        return true;
    }
    FileLine(L"*EXTRA File", e.size, TargetRelative(w));
    DWORD code = WithRetries(w, L"Removing extra file", TargetRelative(w),
                             [&] { return RemoveTargetFile(path, e.attributes, w.target.substr(0, w.targetRootLength)); });
    if (code) {
        w.stats->files.failed++;
        w.stats->bytes.failed += e.size;
        return false;
    }
    w.stats->files.extras++;
    w.stats->bytes.extras += e.size;
    return true;
}

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

PendingActions PendingActionsOf(Walk& w)
{
    return {&w, SettleLink, FinishPendingDirectory};
}

void FinishPending(Walk& w)
{
    FinishPending(&w.links, PendingActionsOf(w));
}
