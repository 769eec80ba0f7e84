// The copy tool's link queue: hard links to the link reference's files, made on a few
// threads of their own while the walk reads on, and settled on the walk's thread in the
// order they were queued. Only one directory is pending at a time: the one whose merge
// ended last, finished (FinishPending) as soon as the next directory's source has been
// listed and before anything else is reported or written, so the links are made while
// the walk lists, and the report keeps its order. Used by the walk (Walk.h).
#pragma once

#include "tools/robocopy/CallPool.h"
#include "tools/robocopy/Listing.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Hard links made at once. A link moves no data: it is a few calls to the file system,
// each spent mostly waiting for the answer (under emulation layers the more so), so a few
// in flight finish in a fraction of the time of the same made one after another. Copies
// stay on the walk's thread: on a hard disk, two copies at once make each other seek.
constexpr unsigned LINK_THREADS = 4;

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

// A directory whose merge is over, with what is still to be done for it (LinkQueue::pending).
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

// What the walk does, on its own thread, as a pending directory is finished. walk is
// handed back to each call.
struct PendingActions {
    void* walk;
    // A link of dir whose making is over (link.result): reported when made; otherwise the
    // file is copied instead.
    void (*settleLink)(void* walk, PendingDirectory& dir, const PendingLink& link);
    // dir's links are settled and its subdirectories done: its times and attributes.
    void (*finishDirectory)(void* walk, PendingDirectory& dir);
};

struct LinkQueue {
    // What is still to be done for the directory whose merge ended last: its links, being
    // made on the pool's threads, and (once its subdirectories are done) its times.
    PendingDirectory pending;
    // Declared after pending, so it is gone (its calls finished) before the links they
    // write into.
    std::unique_ptr<CallPool> pool; // null without a link reference
    // A link failed in a way that says the volume makes none (RefusesAllLinks): no more
    // attempts this run. Written on the walk's thread.
    bool linksRefused = false;
};

// The merge of the directory pair source / target begins. Nothing is pending (the
// directory before it was finished once this one's source was listed): links queued from
// now on are this directory's.
void BeginPendingDirectory(LinkQueue* q, const std::wstring& source, const std::wstring& target);

// Queues a link of the directory whose merge is at hand; it is made on the pool.
void QueueLink(LinkQueue* q, std::unique_ptr<PendingLink> link);

// Waits for the pending directory's links and settles them in the order they were queued,
// then, when its subdirectories are done, finishes the directory itself; nothing is
// pending afterwards. Does nothing when nothing is pending.
void FinishPending(LinkQueue* q, const PendingActions& actions);

// The directory pair source / target is done with its merge and its subdirectories (s and
// t its entries from the listings, t null when the walk created it; changed: its entries
// changed; created: the walk created it). What its last subdirectory left is finished
// first; then this directory waits, with its own links when it has no subdirectories, for
// the next listing.
void EndPendingDirectory(LinkQueue* q, const PendingActions& actions, const std::wstring& source,
                         const std::wstring& target, const Entry& s, const Entry* t, bool changed, bool created);
