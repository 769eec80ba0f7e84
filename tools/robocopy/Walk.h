// The copy tool's walk: its state, and the steps on single entries (WalkSteps.cpp) that
// the merge of each directory pair (MirrorTree.cpp) takes. Above the listing (Listing.h),
// the file operations (FileOps.h) and the link queue (LinkQueue.h).
#pragma once

#include "tools/robocopy/LinkQueue.h"
#include "tools/robocopy/Listing.h"
#include "tools/robocopy/MirrorTool.h"

#include <cstdint>
#include <string>
#include <vector>

// A source directory on the walk's chain, from the root down to the one at hand. Its
// identity is asked only when a link is met, so a tree without links costs nothing more.
struct ChainLevel {
    size_t sourceLength; // w.source cut to this length names the directory
    bool known;
    FileId id;
};

struct Walk {
    const ToolOptions* options = nullptr;
    MirrorStats* stats = nullptr;
    std::wstring source; // long form of the entry at hand in the source tree
    std::wstring target; // the same in the target tree
    size_t sourceRootLength = 0;
    size_t targetRootLength = 0;
    void* buffer = nullptr; // COPY_BUFFER_BYTES, for every copy
    std::vector<ChainLevel> chain;
    unsigned linksFollowed = 0; // directory links on the chain
    std::wstring resolvedTarget; // the target root, links resolved (ResolvedPath)
    std::wstring reference;      // long form of the link reference's root; empty when none
    // The step in which the target's volume keeps last-write times (WriteTimeStepOf): a
    // copy on a FAT-family volume never has its source's time exactly.
    uint64_t writeTimeStep = 0;
    // The reference's listing of the directory at hand: taken with the source's when the
    // target directory is new (each of its files is written), otherwise when its first file
    // needs writing. One listing serves the directory, and it costs one call where asking
    // per file costs one per file.
    std::vector<Entry> referenceEntries;
    bool referenceListed = false;
    // The links being made, and the directory whose merge ended last (LinkQueue.h).
    LinkQueue links;
};

// Appends a name to a path; returns the length to cut back to.
size_t PushName(std::wstring* path, const std::wstring& name);

// The entry at hand below its tree's root, as the report shows it ("" for the root).
std::wstring SourceRelative(const Walk& w);
std::wstring TargetRelative(const Walk& w);

// The report's lines for one file and for one directory.
void FileLine(const wchar_t* label, uint64_t size, const std::wstring& relative);
void DirLine(const wchar_t* label, const std::wstring& relative);

// Creates the target directory at hand (w.target), with its missing parents when
// withParents is set, retried like a file: a name still pending deletion (a folder removed
// while another program held it) cannot be made again until that program lets go. Every
// failure is reported as "Creating directory" shown. 0 or the last error.
DWORD CreateTargetDirectory(const Walk& w, const std::wstring& shown, bool withParents);

// Lists the reference's directory dir as the one of the directory at hand.
void ListReference(Walk& w, const std::wstring& dir);

// Puts the source file s (w.source) into the target (w.target): as a hard link to the link
// reference's file of the same relative path when that one is the same as s, otherwise,
// or when no link can be made, as a copy. existing is the target file's entry when one is
// there. A link is queued (its settling reports it, or copies where it failed); a copy is
// made at once.
void WriteFileEntry(Walk& w, const Entry& s, const Entry* existing, const wchar_t* label);

// Removes the target entry e (at w.target): a file, a link, or a whole directory tree.
// A link is removed as a link; what it points to is never touched. True when it is gone.
bool RemoveEntry(Walk& w, const Entry& e);

// An entry only the target has (at w.target). Removed when purging, else only counted.
// Returns whether the target directory changed.
bool HandleExtra(Walk& w, const Entry& e);

// What the walk does as its pending directory is finished: reports or copies in place of
// each link, then sets the directory's times and attributes.
PendingActions PendingActionsOf(Walk& w);
// Finishes the pending directory (FinishPending of the link queue) with those actions.
void FinishPending(Walk& w);
