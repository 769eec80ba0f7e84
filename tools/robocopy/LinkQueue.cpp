// The link queue: pending links, made on the pool, settled in order on the walk's thread.
#include "tools/robocopy/LinkQueue.h"

#include "tools/robocopy/FileOps.h"

namespace {

void MakePendingLink(void* context)
{
    PendingLink& link = *static_cast<PendingLink*>(context);
    link.result = LinkOneFile(link.from, link.to, link.reference, link.existing ? &*link.existing : nullptr);
}

} // namespace

void BeginPendingDirectory(LinkQueue* q, const std::wstring& source, const std::wstring& target)
{
    q->pending.source = source;
    q->pending.target = target;
}

void QueueLink(LinkQueue* q, std::unique_ptr<PendingLink> link)
{
    q->pending.links.push_back(std::move(link));
    q->pool->Add(MakePendingLink, q->pending.links.back().get());
}

void FinishPending(LinkQueue* q, const PendingActions& actions)
{
    PendingDirectory& p = q->pending;
    if (p.links.empty() && !p.done) return;
    if (!p.links.empty()) {
        q->pool->WaitIdle();
        for (const std::unique_ptr<PendingLink>& link : p.links) {
            if (link->result != 0 && RefusesAllLinks(link->result)) q->linksRefused = true;
            actions.settleLink(actions.walk, p, *link);
        }
        p.links.clear();
    }
    if (p.done) actions.finishDirectory(actions.walk, p);
    p = PendingDirectory{};
}

void EndPendingDirectory(LinkQueue* q, const PendingActions& actions, const std::wstring& source,
                         const std::wstring& target, const Entry& s, const Entry* t, bool changed, bool created)
{
    if (q->pending.done) FinishPending(q, actions);
    PendingDirectory& p = q->pending;
    p.source = source;
    p.target = target;
    p.done = true;
    p.sourceEntry = s;
    if (t) p.targetEntry = *t;
    p.changed = changed;
    p.created = created;
}
