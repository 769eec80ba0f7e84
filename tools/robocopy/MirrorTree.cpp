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
//
// This file holds the merge of each directory pair, the loop and into-target checks, and
// the walk's entry (MirrorTree). Below it, each in files of its own: the walk's steps on
// single entries (WalkSteps.cpp, through Walk.h), the link queue (LinkQueue.h), the file
// operations that keep other links intact (FileOps.h) and the listing (Listing.h). Each
// includes only the ones below it.
#include "tools/robocopy/Walk.h"

#include "contracts/CopyToolReport.h"
#include "tools/robocopy/FileOps.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// Links followed one inside another before the walk gives up on a branch: a backstop for
// loops that file identities cannot reveal (file systems without stable file indexes).
constexpr unsigned MAX_LINKS_FOLLOWED = 32;

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
            ReportError(code, REPORT_FOLLOWING_FILE_LINK, SourceRelative(w));
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
        if (SameFile(*dst, src, w.writeTimeStep)) {
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
    if (listed && !t && !w.reference.empty() && !w.links.linksRefused && HasPlainFile(*sources)) {
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
    code = CreateTargetDirectory(w, shown, isRoot);
    if (code) {
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
    BeginPendingDirectory(&w.links, w.source, w.target);
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
    EndPendingDirectory(&w.links, PendingActionsOf(w), w.source, w.target, s, t, changed, created);
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
    w.writeTimeStep = WriteTimeStepOf(options.target);
    if (!options.linkReference.empty()) {
        w.reference = LongPathOf(options.linkReference);
        w.links.pool = std::make_unique<CallPool>(LINK_THREADS);
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
